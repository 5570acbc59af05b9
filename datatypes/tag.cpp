#include "datatypes/tag.h"

#include "datatypes/registry.h"
#include "datatypes/string.h"

namespace kiv::tag {

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  string::append_char(out, '<');
  limit = string::form(value, out, part, limit - 1);
  string::append_char(out, '>');
  return limit - 1;
}

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  return form(value, out, part, limit);
}

void init() {
  action::Entries entries = string::kind_entries();
  entries.form = form;
  entries.mold = mold;
  datatype::register_type(type::tag, type::string, "tag!", entries);
  string::register_family_type(type::tag);
}

}  // namespace kiv::tag
