// float!: the 64-bit IEEE 754 number of the language (type id 12, no parent), parent of time! and
// percent!. The double lives at byte offset 8 of the cell (w2 low word, w3 high word).
//
// This unit also holds the mixed-type arithmetic dispatcher through which every number mix that is
// not a pure integer! pair reaches the float core, and the tolerant float equality used by every
// equality test on floats (10 units in the last place; == and ordering are exact).
//
// Float arithmetic never raises a language error by itself: division by zero gives an infinity,
// 0.0 / 0.0 a NaN (C++ on x86-64 runs with every floating-point exception masked).
#pragma once
#include <bit>
#include <string>

#include "runtime/cell.h"

namespace kiv::float_ {

inline constexpr double max_finite = std::bit_cast<double>(u64{0x7FEFFFFFFFFFFFFF});
inline constexpr double infinity = std::bit_cast<double>(u64{0x7FF0000000000000});
inline constexpr double minus_infinity = std::bit_cast<double>(u64{0xFFF0000000000000});
inline constexpr double quiet_nan = std::bit_cast<double>(u64{0x7FF8000000000000});
inline constexpr double below_half = std::bit_cast<double>(u64{0x3FDFFFFFFFFFFFFF});  // 0.49999999999999994
inline constexpr double epsilon = 2.220446049250313e-16;

// The float-pretty setting (system/options/float/pretty?); changes only form's text.
inline bool pretty = false;

// A fresh cell of the given float-family type (whole header written).
inline Cell* box(Cell* out, double d, u32 type_id = type::float_) {
  out->header = type_id;
  out->w1 = 0;
  out->set_double(d);
  return out;
}
// Turns the cell into float! keeping its other header flags.
inline Cell* make_at(Cell* out, double d) {
  cell::set_type(out, type::float_);
  out->w1 = 0;
  out->set_double(d);
  return out;
}
inline double get(const Cell* c) { return c->as_double(); }
inline double abs(double d) { return std::bit_cast<double>(std::bit_cast<u64>(d) & ~(u64{1} << 63)); }
inline bool nan_q(double d) {
  u64 b = std::bit_cast<u64>(d);
  return (b & 0x7FF0000000000000) == 0x7FF0000000000000 && (b & 0x000FFFFFFFFFFFFF) != 0;
}
inline bool nan32_q(float f) {
  u32 b = std::bit_cast<u32>(f);
  return (b & 0x7F800000) == 0x7F800000 && (b & 0x007FFFFF) != 0;
}
inline bool special_q(double d) { return (std::bit_cast<u64>(d) & 0x7FF0000000000000) == 0x7FF0000000000000; }

Cell* push(double d);
Cell* push_words(u32 low, u32 high);
Cell* add_to_block(Cell* block, u32 low, u32 high);
Cell* set_result(double d);

// (x + 0.49999999999999994) truncated toward zero, saturated to the 32-bit range (NaN gives 0).
i32 round_to_integer(double x);

bool almost_equal_q(double a, double b);
bool equal32_q(float a, float b);

// The text of x for a float-text kind (runtime/float_text.h), under the current pretty setting.
const char* to_cstring(double x, int kind);

// The float core. op 0 add, 1 subtract, 2 multiply, 3 divide, 4 remainder; a code above 4 raises
// script cannot-use (so and~ or~ xor~ refuse floats).
double do_math_op(double a, double b, i32 op);
// The mixed-type dispatcher on the two operands at the arguments base; the result is left in the
// first cell with the result type of the mix (time! wins, a percent! first operand stays percent!,
// else the first operand's type, float! for an integer!).
void do_math(i32 op);

// The double of an integer! or float! cell; another type raises script bad-to-arg.
double number_of(const Cell* c);

// The text reader behind `to float!` of a string: `chars` holds `count` characters of `unit` bytes
// (1, 2 or 4), at most 312 of them, ',' read as '.', in the float literal syntax (' separators,
// exponent). Status 0 on success; status -1 and a quiet NaN otherwise.
double from_text(const std::byte* chars, i32 count, u32 unit, i32* status);
// The same over a string-family value from its head.
double from_text(const Cell* text, i32* status);

// A random double between 0 and max.
double random_up_to(double max, bool secure);

// Action entries.
Cell* make(Cell* proto, Cell* spec, u32 type);  // also `to`
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);
void absolute();
void add();
void subtract();
void multiply();
void divide();
void remainder();
Cell* negate(Cell* value);
void power();
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling);
bool even_q(const Cell* value);
bool odd_q(const Cell* value);

// The hash-table hash of the float family (the double in words 2-3): 0.0 and -0.0 are equal, so
// they hash alike.
u32 hash(const Cell* value, bool case_);

void init();

// Where the extended number types (money!, pair!, point2D!, point3D!, tuple!, vector!, date!) plug
// into the integer! and float! dispatchers; their units set their entry at init. Until one is set, a
// mix with that type raises script invalid-type.
// Arithmetic of an extended type, indexed by that type's id, with the operands at the arguments
// base as the dispatchers leave them and the result left there. From integer! (first operand), a
// pair!, point, tuple! or date! second operand is swapped into the first place (for a pair or point
// op 1 then means number - pair); from float!, percent! and time!, pairs and points are swapped
// likewise while tuple! stays second; time! + date! swaps the date first; money! and vector! always
// stay where they were written.
inline void (*math[type::count + 1])(i32 op) = {};

}  // namespace kiv::float_
