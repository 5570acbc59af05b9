#include "datatypes/unset.h"

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace kiv::unset {

Cell* set_result() { return make_at(stack::arguments); }
Cell* push() { return stack::push_cell(); }
Cell* add_to_block(Cell* block) { return block::append_value(block, &value); }

Cell* make(Cell*, Cell*, u32) { return push(); }

i32 form(const Cell*, Cell*, const Cell*, i32 limit) { return limit; }

i32 mold(const Cell*, Cell* out, bool, bool all, bool, const Cell*, i32 limit, i32) {
  string::append_c_string(out, all ? "#(unset)" : "unset");
  return limit - (all ? 8 : 5);
}

// unset! and none! are equal to themselves under the equality and sort operators and to nothing
// else; they have no order.
i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != a->type()) return -2;
  switch (op) {
    case compare_op::equal:
    case compare_op::not_equal:
    case compare_op::strict_equal:
    case compare_op::sort:
    case compare_op::case_sort:
    case compare_op::same:
    case compare_op::find:
      return 0;
    default:
      return -2;
  }
}

void init() {
  value = Cell{type::unset, 0, 0, 0};
  datatype::register_type(type::unset, 0, "unset!",
                          {.make = make, .to = make, .form = form, .mold = mold, .compare = compare});
  hashtable::set_hash_procedure(type::unset, [](const Cell*, bool) { return static_cast<u32>(-2); });
}

}  // namespace kiv::unset
