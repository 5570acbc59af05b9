#include "datatypes/action.h"

#include "datatypes/native.h"
#include "datatypes/registry.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"

namespace kiv::action {

Cell* make(Cell* proto, Cell* spec, u32) { return native::make(proto, spec, type::action); }

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) { return native::form(value, out, part, limit); }

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  return native::mold(value, out, only, all, flat, part, limit, indent);
}

i32 compare(const Cell* a, const Cell* b, i32 op) { return native::compare_code(a, b, op); }

void init() {
  datatype::register_type(type::action, type::native, "action!",
                          {.make = make, .reflect = inherit, .form = form, .mold = mold, .compare = compare});
  hashtable::set_hash_procedure(type::action, hashtable::hash_word3, true);
  collector::set_mark_procedure(type::action, collector::mark_native);
}

}  // namespace kiv::action
