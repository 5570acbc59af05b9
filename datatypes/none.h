// none!: the explicit "no value". The header alone, no payload. The series actions that make sense
// on "nothing" (clear, find, length?, remove, select, take) accept none and answer none.
#pragma once
#include "runtime/cell.h"

namespace kiv::none {

// The preset none cell that procedures return by reference. Read it; never write through it.
inline Cell value{type::none, 0, 0, 0};

inline Cell* make_at(Cell* out) {
  *out = Cell{type::none, 0, 0, 0};
  return out;
}
Cell* set_result();
Cell* push();
Cell* add_to_block(Cell* block);

Cell* make(Cell* proto, Cell* spec, u32 type);  // also `to`
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* clear(Cell* value);
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
i32 length_q(const Cell* value);
Cell* remove(Cell* series, Cell* part, Cell* key);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* take(Cell* series, Cell* part, bool deep, bool last);

void init();

}  // namespace kiv::none
