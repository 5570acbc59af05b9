// triple!: three signed 32-bit integers in the three payload words, in order (type id 31). It can
// only be formed and molded, as "make triple! [1 -2 3]".
#pragma once
#include "runtime/cell.h"

namespace kiv::triple {

inline Cell* make_at(Cell* out, i32 a, i32 b, i32 c) {
  *out = Cell{type::triple, static_cast<u32>(a), static_cast<u32>(b), static_cast<u32>(c)};
  return out;
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);

void init();

}  // namespace kiv::triple
