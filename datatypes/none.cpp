#include "datatypes/none.h"

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace kiv::none {

Cell* set_result() { return make_at(stack::arguments); }
Cell* push() { return make_at(stack::push_cell()); }
Cell* add_to_block(Cell* block) { return block::append_value(block, &value); }

Cell* make(Cell*, Cell*, u32) { return push(); }

i32 form(const Cell*, Cell* out, const Cell*, i32 limit) {
  string::append_c_string(out, "none");
  return limit - 4;
}

i32 mold(const Cell*, Cell* out, bool, bool all, bool, const Cell*, i32 limit, i32) {
  string::append_c_string(out, all ? "#(none)" : "none");
  return limit - (all ? 7 : 4);
}

i32 compare(const Cell* a, const Cell* b, i32 op) { return unset::compare(a, b, op); }

Cell* clear(Cell*) { return &value; }
Cell* find(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) { return &value; }
i32 length_q(const Cell*) { return -1; }
Cell* remove(Cell*, Cell*, Cell*) { return &value; }
Cell* select(Cell*, Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) { return &value; }
Cell* take(Cell*, Cell*, bool, bool) { return &value; }

void init() {
  value = Cell{type::none, 0, 0, 0};
  datatype::register_type(type::none, 0, "none!",
                          {.make = make,
                           .to = make,
                           .form = form,
                           .mold = mold,
                           .compare = compare,
                           .clear = clear,
                           .find = find,
                           .length_q = length_q,
                           .remove = remove,
                           .select = select,
                           .take = take});
  hashtable::set_hash_procedure(type::none, [](const Cell*, bool) { return static_cast<u32>(-1); });
}

}  // namespace kiv::none
