// native!: a built-in procedure of the natives table. action! (action.h) and op! (op.h) share its
// cell layout and most of its procedures.
//
// Cell (native! 21, action! 22):
// - header: the type id;
// - w1: the 1-based slot of the procedure in the natives table (native!) or the actions table
//   (action!), see evaluator/natives.h: a machine address never leaves the tables;
// - w2: the node of the spec block (the interface: argument words with type blocks, refinements,
//   doc strings), read from head 0;
// - w3: the node of a two-cell block: cell 0 a copy of the context cell of a function-kind context
//   holding the spec's words (values on the value stack), cell 1 none.
#pragma once
#include "runtime/cell.h"

namespace kiv::native {

// The table slot of a native!, an action! or an operator over one of them: a wrong value's word 1
// would index the table out of bounds and call whatever lies there.
inline i32 slot_of(const Cell* value) {
  KIV_ASSERT(value->type() - type::native <= type::op - type::native, "table slot of a value that is no native");
  return static_cast<i32>(value->w1);
}
inline Ref<Node> spec_node(const Cell* value) { return Ref<Node>(value->w2); }
inline Ref<Node> more_node(const Cell* value) { return Ref<Node>(value->w3); }

// The spec as a block! at head 0 sharing the spec series.
inline Cell* spec_block(const Cell* value, Cell* out) {
  *out = Cell{type::block, 0, value->w2, 0};
  return out;
}

// Comparison by word 1 (the table slot, or a function's context node): -2 when the second value is
// not of the first's type, and for the operators that order or sort nothing by identity.
i32 compare_code(const Cell* a, const Cell* b, i32 op);

// Actions. make serves native! and action! (the target type tells which table is read); reflect
// serves all three types.
Cell* make(Cell* proto, Cell* spec, u32 type_id);
Cell* reflect(Cell* value, i32 field);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers native!.
void init();

}  // namespace kiv::native
