#include "datatypes/ref.h"

#include "datatypes/registry.h"
#include "datatypes/string.h"

namespace kiv::ref {

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  string::append_char(out, '@');
  return string::form(value, out, part, limit - 1);
}

void init() {
  using action::inherit;
  datatype::register_type(type::ref, type::string, "ref!",
                          {
                              .make = inherit,
                              .reflect = inherit,
                              .to = inherit,
                              .form = inherit,
                              .mold = mold,
                              .compare = inherit,
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
  string::register_family_type(type::ref);
}

}  // namespace kiv::ref
