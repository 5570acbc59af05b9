// point2D! and point3D!: points of two or three single-precision coordinates, written (1.5, 2) and
// (1, 2, 3). The two types share one design; point3D! adds z and has no dealings with pair!.
//
// Cell: header type 51 or 52; x, y (and z) as IEEE single-precision floats in the payload words from
// the first on; a point2D! keeps its third payload word 0. Every result is rounded to single
// precision when it is stored, while arithmetic and text work in double precision.
#pragma once
#include <bit>
#include <limits>

#include "runtime/cell.h"

namespace kiv::point {

inline i32 count_of(u32 type_id) { return type_id == type::point3D ? 3 : 2; }
// Coordinate n (0 x, 1 y, 2 z).
inline float get(const Cell* p, i32 n) { return std::bit_cast<float>((&p->w1)[n]); }
inline void set(Cell* p, i32 n, float f) { (&p->w1)[n] = std::bit_cast<u32>(f); }

// The nearest float to d, as IEEE rounding gives it (the C++ conversion is undefined beyond the float
// range): every coordinate is stored through this.
inline float to_float32(double d) {
  constexpr double largest = 3.4028234663852886e38;             // the largest float
  constexpr double rounds_to_infinity = 3.4028235677973366e38;  // the largest float + half its last unit
  constexpr float infinity = std::numeric_limits<float>::infinity();
  const double m = d < 0 ? -d : d;
  if (m >= rounds_to_infinity) return d < 0 ? -infinity : infinity;
  if (m > largest) return d < 0 ? -std::numeric_limits<float>::max() : std::numeric_limits<float>::max();
  return static_cast<float>(d);
}

// Turns the cell into a point of the type keeping its new-line mark (z ignored for point2D!).
inline Cell* make_at(Cell* out, u32 type_id, float x, float y, float z = 0) {
  cell::set_type(out, type_id);
  set(out, 0, x);
  set(out, 1, y);
  out->w3 = type_id == type::point3D ? std::bit_cast<u32>(z) : 0;
  return out;
}
// The pair! (x in w2, y in w3) as a point2D!, keeping the cell's new-line mark.
Cell* from_pair(Cell* out, const Cell* pair);

// The shared arithmetic on the operands at the arguments base, the point first; the result is left
// in the first cell. op: 0 add, 1 subtract, 2 multiply, 3 divide, 4 remainder (others raise
// float!'s cannot-use). `reversed` computes other op point, coordinate by coordinate.
void do_math(i32 op, bool reversed = false);

// Action entries of both types.
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

// Registers point2D! and point3D! and the lexer's maker of point literals.
void init();

}  // namespace kiv::point

namespace kiv::point2D {
inline Cell* make_at(Cell* out, float x, float y) { return point::make_at(out, type::point2D, x, y); }
Cell* push(float x, float y);
}  // namespace kiv::point2D

namespace kiv::point3D {
inline Cell* make_at(Cell* out, float x, float y, float z) { return point::make_at(out, type::point3D, x, y, z); }
Cell* push(float x, float y, float z);
}  // namespace kiv::point3D
