// pair!: two signed 32-bit integers written joined by an x (10x20): sizes, offsets and coordinates.
//
// Cell: header type 37; the first payload word unused (0); x in the second and y in the third, each
// a signed 32-bit integer.
//
// Arithmetic is 32-bit integer arithmetic coordinate by coordinate, but never wraps: when a
// coordinate overflows, or a division leaves a remainder, or the other operand has a fraction to
// multiply or divide by, the result is a point2D! instead.
#pragma once
#include "runtime/cell.h"

namespace kiv::pair {

inline i32 x_of(const Cell* p) { return static_cast<i32>(p->w2); }
inline i32 y_of(const Cell* p) { return static_cast<i32>(p->w3); }

// Turns the cell into a pair keeping its new-line mark.
inline Cell* make_at(Cell* out, i32 x, i32 y) {
  cell::set_type(out, type::pair);
  out->w1 = 0;
  out->w2 = static_cast<u32>(x);
  out->w3 = static_cast<u32>(y);
  return out;
}
// A fresh pair cell (whole header written).
inline Cell* box(Cell* out, i32 x, i32 y) {
  out->header = type::pair;
  return make_at(out, x, y);
}
Cell* push(i32 x, i32 y);
// Appends a new pair at the block's tail; returns the new cell.
Cell* make_in(Cell* block, i32 x, i32 y);

// 1 for the word x, 2 for y (ignoring case); 0 for anything else.
i32 get_axis(const Cell* word);

// A coordinate from an integer! or a float! truncated toward zero; a float that is not finite or
// does not fit in 32 bits raises script invalid-arg with it.
i32 coordinate_from(const Cell* number);

// The shared arithmetic on the operands at the arguments base, the pair first; the result is left
// in the first cell. op: 0 add, 1 subtract, 2 multiply, 3 divide, 4 remainder, 5 or, 6 and, 7 xor.
void do_math(i32 op);

// Action entries.
Cell* make(Cell* proto, Cell* spec, u32 type);  // also `to`
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
i32 compare(const Cell* a, const Cell* b, i32 op);
void absolute();
Cell* negate(Cell* value);
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling);
Cell* pick(Cell* value, i32 index, Cell* boxed);
Cell* reverse(Cell* value, Cell* part, Cell* skip);

void init();

}  // namespace kiv::pair
