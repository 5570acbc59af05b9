// Internal to the string unit (string.cpp, string_actions.cpp, string_mold.cpp, string_search.cpp):
// growth limits, case folding for comparisons, the unit scanners behind find, and bitset tests.
#pragma once
#include "datatypes/string.h"
#include "runtime/case_table.h"

namespace kiv::string {

// The largest data area a string grows to: what an i32 size can say, rounded to 16 bytes.
constexpr i64 max_series_bytes = 0x7FFFFFF0;

// Grows a buffer so that `needed` bytes of content fit, to twice that when possible; raises
// internal no-memory beyond the largest area.
SeriesBuffer* grow_for(SeriesBuffer* b, i64 needed);

// Case folding of comparisons: both sides to upper case through the case tables.
inline i32 fold_upper(i32 cp) { return cp < 0 ? cp : unicode::to_upper_char(cp); }

// Registers string! storage state (the swap scratch area).
void init_storage();

namespace search {

// The code points that fold (fold_upper) to the same value as cp, restricted to those a buffer of
// `unit` bytes can hold; up to `capacity` of them are written to out. Returns how many there are
// (which may exceed capacity: the caller then scans with folding instead).
int fold_class(i32 cp, u32 unit, i32* out, int capacity);

// The first index in [from, to) of a buffer of `unit` whose character equals one of the `count`
// needles (1 to 4), or -1. Vectorised: this is what find of one character runs on.
i32 forward_any(const std::byte* base, i32 from, i32 to, u32 unit, const i32* needles, int count);
// The last such index in [from, to), or -1.
i32 backward_any(const std::byte* base, i32 from, i32 to, u32 unit, const i32* needles, int count);

}  // namespace search

// Whether n is a member of a bitset! value: bit 0x80 >> (n & 7) of byte n >> 3 of the stored bytes;
// numbers beyond them follow the complement flag.
inline bool bitset_has(const Cell* bitset, i32 n) {
  SeriesBuffer* b = kiv::buffer_of(Ref<Node>(bitset->w2));
  if (n < 0) return false;
  u32 byte = static_cast<u32>(n) >> 3;
  if (byte >= b->tail - b->head) return (b->flags & series_flag::complement) != 0;
  return (static_cast<u8>(b->head_ptr()[byte]) & (0x80 >> (n & 7))) != 0;
}

}  // namespace kiv::string
