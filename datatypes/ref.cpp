#include "datatypes/ref.h"

#include "datatypes/registry.h"
#include "datatypes/string.h"

namespace kiv::ref {

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  string::append_char(out, '@');
  return string::form(value, out, part, limit - 1);
}

void init() {
  action::Entries entries = string::kind_entries();
  entries.mold = mold;
  entries.eval_path = {};
  entries.append = {};
  entries.put = {};
  datatype::register_type(type::ref, type::string, "ref!", entries);
  string::register_family_type(type::ref);
}

}  // namespace kiv::ref
