#include "datatypes/triple.h"

#include <string>

#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"

namespace kiv::triple {

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  std::string text = "make triple! [";
  for (const u32 w : {value->w1, value->w2, value->w3}) {
    text += integer::to_decimal(static_cast<i32>(w));
    text += ' ';
  }
  text.back() = ']';
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  return form(value, out, part, limit);
}

void init() {
  action::Entries e;
  e.form = form;
  e.mold = mold;
  datatype::register_type(type::triple, 0, "triple!", e);
}

}  // namespace kiv::triple
