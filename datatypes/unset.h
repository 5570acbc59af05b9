// unset!: the value of nothing. The header alone, no payload.
#pragma once
#include "runtime/cell.h"

namespace kiv::unset {

// The preset unset cell that procedures return by reference. Read it; never write through it.
inline Cell value{type::unset, 0, 0, 0};

inline Cell* make_at(Cell* out) {
  *out = Cell{type::unset, 0, 0, 0};
  return out;
}
Cell* set_result();
Cell* push();
Cell* add_to_block(Cell* block);

Cell* make(Cell* proto, Cell* spec, u32 type);  // also `to`
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);

void init();

}  // namespace kiv::unset
