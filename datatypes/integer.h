// integer!: the 32-bit signed integer of the language (type id 11, no parent). The value is the
// cell's second payload word (w2); w1 and w3 carry nothing. char! and handle! are children and keep
// their number in the same word.
//
// Arithmetic is 32-bit two's complement and never wraps: an overflowing add, subtract or multiply,
// and a divide that leaves a remainder, give a float! holding the exact double result.
#pragma once
#include <string_view>

#include "runtime/cell.h"

namespace kiv::integer {

constexpr i32 min_value = -2147483647 - 1;
constexpr i32 max_value = 2147483647;

// A fresh integer! cell (whole header written).
inline Cell* box(Cell* out, i32 value) {
  out->header = type::integer;
  out->w1 = 0;
  out->w2 = static_cast<u32>(value);
  out->w3 = 0;
  return out;
}
// Turns the cell into integer! keeping its other header flags (the new-line mark).
inline Cell* make_at(Cell* out, i32 value) {
  cell::set_type(out, type::integer);
  out->w1 = 0;
  out->w2 = static_cast<u32>(value);
  out->w3 = 0;
  return out;
}
// The second payload word of any cell: the value of an integer!, char! or handle!.
inline i32 get(const Cell* c) { return static_cast<i32>(c->w2); }
inline i32 sign_of(i32 n) { return (n > 0) - (n < 0); }

Cell* push(i32 value);                       // a new integer! on the value stack
Cell* add_to_block(Cell* block, i32 value);  // appended at the block's tail; returns the new cell
Cell* set_result(i32 value);                 // integer! in the result cell at the arguments base
i32 get_result();                            // the result cell's value word, unchecked
i32 get_result_checked();                    // the result cell's value when integer!, else 0

// |n|; -2147483648 raises math overflow.
i32 abs(i32 n);
// Decimal text in a static buffer, valid until the next call ("0" and "-2147483648" are fixed texts).
const char* to_decimal(i32 n);
// True when the double is above 2147483647.0, below -2147483648.0, or NaN. Applied to a value
// already truncated it says whether the truncation fits in 32 bits.
inline bool out_of_range_q(double d) { return !(d >= -2147483648.0 && d <= 2147483647.0); }
// The same for the double in a cell (float!, percent!, time!).
bool float_out_of_range_q(const Cell* c);

// The key hash of integer! and char!: runs of 16 neighbours (aligned) land in neighbouring buckets
// while the runs themselves scatter, so dense keys stay in the cache and strided ones still spread.
u32 hash(const Cell* value, bool case_);

// The text reader behind `to integer!` of a string: `chars` holds `count` characters of `unit`
// bytes (1, 2 or 4); an optional sign, digits, ' separators skipped, -2147483648 accepted. Status 0
// on success, -1 on any other character (the value read so far is answered), -2 on overflow (0
// answered).
i32 from_text(const std::byte* chars, i32 count, u32 unit, i32* status);
// The same over a string-family value from its head.
i32 from_text(const Cell* text, i32* status);

// The 32-bit core. op: 0 add, 1 subtract, 2 multiply, 3 divide, 4 remainder, 5 or, 6 and, 7 xor.
// With a result cell: an overflowing add/subtract/multiply or an inexact divide turns the cell into
// float! holding the exact double result and answers 0; otherwise the value word of the cell is
// written (header untouched) and the result answered. Without a result cell an overflow raises math
// overflow and divide answers the truncated quotient. A zero divisor raises math zero-divide;
// -2147483648 / -1 raises math overflow; -2147483648 // -1 is 0. Another code is fatal error 101.
i32 do_math_op(i32 left, i32 right, i32 op, Cell* result);

// The mixed-type dispatcher: first operand (integer! or char!) at the arguments base, second after
// it; the result is left in the first cell.
void do_math(i32 op);

// Action entries.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
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
void and_t();
void or_t();
void xor_t();
Cell* negate(Cell* value);
void power();
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling);
bool even_q(const Cell* value);
bool odd_q(const Cell* value);
Cell* complement(Cell* value);

// The hexadecimal value of an issue's name (at most 8 digits; each character reduced to its low 7
// bits); false for a longer name, a character below 32 or a non-hex digit.
bool hex_to_int(std::u32string_view text, i32& out);
// Text read as an integer literal: optional sign, digits, ' separators skipped; false when the text
// is not exactly that or does not fit in 32 bits.
bool text_to_int(std::u32string_view text, i32& out);

void init();

}  // namespace kiv::integer
