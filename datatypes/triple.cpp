#include "datatypes/triple.h"

#include <string>

#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/scalar.h"
#include "datatypes/string.h"

namespace kiv::triple {

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  std::string text = "make triple! [";
  for (const u32 w : {value->w1, value->w2, value->w3}) {
    text += integer::to_decimal(static_cast<i32>(w));
    text += ' ';
  }
  text.back() = ']';
  return scalar::append_text(out, text, limit);
}


void init() {
  action::Entries e;
  e.form = form;
  e.mold = scalar::mold_as_form<form>;
  datatype::register_type(type::triple, 0, "triple!", e);
}

}  // namespace kiv::triple
