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
  using action::inherit;
  datatype::register_type(type::tag, type::string, "tag!",
                          {
                              .make = inherit,
                              .reflect = inherit,
                              .to = inherit,
                              .form = form,
                              .mold = mold,
                              .eval_path = inherit,
                              .compare = inherit,
                              .append = inherit,
                              .at = inherit,
                              .back = inherit,
                              .change = inherit,
                              .clear = inherit,
                              .copy = inherit,
                              .find = inherit,
                              .head = inherit,
                              .head_q = inherit,
                              .index_q = inherit,
                              .insert = inherit,
                              .length_q = inherit,
                              .move = inherit,
                              .next = inherit,
                              .pick = inherit,
                              .poke = inherit,
                              .put = inherit,
                              .remove = inherit,
                              .reverse = inherit,
                              .select = inherit,
                              .skip = inherit,
                              .swap = inherit,
                              .tail = inherit,
                              .tail_q = inherit,
                              .take = inherit,
                              .modify = inherit,
                          });
  string::register_family_type(type::tag);
}

}  // namespace kiv::tag
