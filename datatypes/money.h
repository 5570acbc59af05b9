// money!: an exact decimal amount with an optional currency, 17 integral and 5 fractional digits.
//
// Cell: header type 49 with the sign in bit 14 (1 = negative); payload byte 0 (the cell's fifth
// byte) the currency index (0: none); payload bytes 1-11 22 BCD digits, two a byte, the first digit
// in the high nibble, most significant first. A zero amount may carry the sign bit: every sign test
// treats all-zero digits as zero. This header holds the layout only: the type's unit registers the
// actions when it is built.
#pragma once
#include <algorithm>

#include "runtime/cell.h"
#include "runtime/hashtable.h"

namespace kiv::money {

constexpr u32 sign_bit = 1u << 14;
constexpr i32 digit_bytes = 11;

inline bool negative_q(const Cell* m) { return m->header & sign_bit; }
inline u8 currency_of(const Cell* m) { return reinterpret_cast<const u8*>(&m->w1)[0]; }
inline const u8* digits_of(const Cell* m) { return reinterpret_cast<const u8*>(&m->w1) + 1; }
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

}  // namespace kiv::money
