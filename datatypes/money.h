// money!: an exact decimal amount with an optional currency, 17 integral and 5 fractional digits.
//
// Cell: header type 49 with the sign in bit 14 (1 = negative); payload byte 0 (the cell's fifth
// byte) the currency index (0: none); payload bytes 1-11 22 BCD digits, two a byte, the first digit
// in the high nibble, most significant first: digits 1-17 integral, 18-22 fractional. A zero amount
// may carry the sign bit (after negate): every sign test treats all-zero digits as zero.
//
// Sums and differences are exact; products and quotients keep 5 decimals, truncated. Whatever does
// not fit raises script type-limit before anything is stored.
#pragma once
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/hashtable.h"

namespace kiv::money {

constexpr u32 sign_bit = 1u << 14;
constexpr i32 digit_bytes = 11;
constexpr i32 digit_count = 22;
constexpr i32 integral_digits = 17;
constexpr i32 fraction_digits = digit_count - integral_digits;
// A currency index is one byte; index 0 means none.
constexpr i32 max_currencies = 255;

inline bool negative_q(const Cell* m) { return m->header & sign_bit; }
inline u8 currency_of(const Cell* m) { return reinterpret_cast<const u8*>(m)[offsetof(Cell, w1)]; }
inline void set_currency(Cell* m, u8 index) { reinterpret_cast<u8*>(m)[offsetof(Cell, w1)] = index; }
// Taken from the cell's address, not from &w1: the digits run over w2 and w3 too, and the compiler
// bounds a pointer by the object it was taken from.
inline const u8* digits_of(const Cell* m) { return reinterpret_cast<const u8*>(m) + offsetof(Cell, w1) + 1; }
inline u8* digits_of(Cell* m) { return reinterpret_cast<u8*>(m) + offsetof(Cell, w1) + 1; }
inline bool zero_q(const Cell* m) {
  const u8* d = digits_of(m);
  return std::all_of(d, d + digit_bytes, [](u8 b) { return b == 0; });
}
// money/sign-of: 0 for a zero amount, else -1 or 1 by the sign bit.
inline i32 sign_of(const Cell* m) { return zero_q(m) ? 0 : negative_q(m) ? -1 : 1; }

// The hash-table hash, for the type to register: the whole cell with only the type and the sign
// left of the header, the sign dropped from a zero amount.
inline u32 hash(const Cell* m, bool) {
  Cell c = *m;
  c.header &= header::type_mask | sign_bit;
  if (zero_q(&c)) c.header &= ~sign_bit;
  return hashtable::murmur3_32(&c, sizeof c);
}

// ---- Makers --------------------------------------------------------------------------------------

// A fresh money! cell from its parts (the KIVBIN decoder): 11 BCD bytes as the cell holds them.
Cell* make_at(Cell* out, bool negative, u8 currency, const u8* bcd);
// Fills the cell from digit texts (ASCII digits only): the integral digits right-aligned on digit 17,
// the fraction from digit 18 on, digits past 22 dropped. False, the cell untouched, for an unknown
// currency name (empty: none) or more than 17 integral digits.
bool load_digits(Cell* out, bool negative, std::string_view currency, std::string_view integral,
                 std::string_view fraction);
// Exact; never fails.
Cell* from_integer(Cell* out, i32 n);
// From the shortest decimal text of x. NaN, infinities, |x| >= 1e17 and a non-zero |x| below 1e-5
// raise script bad-make-arg; so does, with `strict`, a text of more than 5 decimals. Otherwise the
// decimals past 5 are dropped.
Cell* from_float(Cell* out, double x, bool strict);
double to_float(const Cell* m);
// The integral digits with the sign; beyond 32 bits raises script type-limit naming integer!.
i32 to_integer(const Cell* m);

// Reads money text: [sign] [CUR] $ digits [. decimals]. As a literal (the lexer's token) the `$` is
// required, a currency is any 3 bytes that name one, leading zeros and ' may follow the `$`, the
// decimal mark may be `,` too and at most 5 decimals are allowed. As a conversion (`to money!` of
// text) the currency is 3 letters, the `$` may be left out with it, and decimals past 5 are dropped.
// False when the text is not one amount.
bool from_text(std::string_view text, bool literal, Cell* out);

// The text of form (separators) and mold (all_decimals for mold/all).
std::string to_text(const Cell* m, bool separators, bool all_decimals);

// ---- Currencies ----------------------------------------------------------------------------------
// The list that system/locale/currencies/list shows: 170 three-letter words at start-up, growing
// only at its end (a script header's `currencies` entry appends), so an index never changes.

// The 1-based index of the name, compared without regard to case; 0 when it is not in the list.
i32 currency_index(std::string_view name);
// The name of an index (1 .. count); empty outside.
std::string_view currency_name(i32 index);
i32 currency_count();
// Appends a 3-character name; answers its index (the existing one when it is there already), or 0
// when the name has another length or the list is full.
i32 add_currency(std::string_view name);

// ---- Arithmetic and comparison -------------------------------------------------------------------

// money/do-math: op 0 add, 1 subtract, 2 multiply, 3 divide, 4 remainder, on the two operands at the
// arguments base (one of them money!); the result is left in the first.
void do_math(i32 op);
i32 compare(const Cell* a, const Cell* b, i32 op);

void init();

}  // namespace kiv::money
