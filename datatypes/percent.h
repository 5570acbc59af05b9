// percent!: a float! written with a percent sign (50%, 12.5%), type id 38, child of float!. The cell
// is a float! cell holding the fraction (50% holds 0.5); everything but the text is float!'s.
#pragma once
#include "runtime/cell.h"

namespace kiv::percent {

// Turns the cell into a percent! keeping its new-line mark.
inline Cell* make_at(Cell* out, double fraction) {
  cell::set_type(out, type::percent);
  out->w1 = 0;
  out->set_double(fraction);
  return out;
}
// Appends a new percent! at the block's tail; returns the new cell.
Cell* make_in(Cell* block, double fraction);

// The value times 100 with 13 significant digits and a "%": 0.125 forms as 12.5%.
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);

void init();

}  // namespace kiv::percent
