// op!: an infix operator wrapping a native!, action!, function! or routine!.
//
// Cell: header op! (23) with the wrapped value's type id in bits 16-23; words 1-3 those of the
// wrapped value, so the operator shares its code (table slot or context), spec and extra block
// with it. Making an operator from a function! or routine! also keeps a copy of the wrapped value
// in cell 3 of its function-more block, where the interpreter finds what the header no longer says
// (a routine's arity and calling flag).
#pragma once
#include "runtime/cell.h"

namespace kiv::op {

constexpr u32 wrapped_shift = 16;
// Read on every operator call: checked only in the builds with the loop-level checks.
inline u32 wrapped_type(const Cell* value) {
  KIV_DEBUG_ASSERT(value->type() == type::op, "wrapped type of a value that is not an operator");
  return (value->header >> wrapped_shift) & 0xFF;
}

// Whether a spec block describes exactly two arguments, the first a plain word (the operator spec
// check). Reads the spec series from its start.
bool spec_ok_q(Ref<Node> spec);

// Actions. reflect is native!'s.
Cell* make(Cell* proto, Cell* spec, u32 type_id);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers op! (parent native!).
void init();

}  // namespace kiv::op
