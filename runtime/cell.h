// Value cells: every value is 16 bytes, a header and three payload words. Header bits 0-7 hold the
// type id, bit 30 marks a value that starts a new line; the datatypes own the other header bits and
// the payload layout. A float!, percent! or time! keeps its double at byte offset 8.
#pragma once
#include <bit>
#include <cstring>

#include "runtime/base.h"
#include "runtime/memory.h"

namespace kiv {

// Datatype ids, fixed: KIVBIN writes them and typesets test them.
namespace type {
enum : u32 {
  datatype = 1, unset, none, logic, block, paren, string, file, url, char_, integer, float_, symbol, context,
  word, set_word, lit_word, get_word, refinement, issue, native, action, op, function, path, lit_path,
  set_path, get_path, routine, bitset, triple, object, typeset, error, vector, hash, pair, percent, tuple,
  map, binary, series, time, tag, email, handle, date, port, money, ref, point2D, point3D, image, event,
};
constexpr u32 count = 54;
}  // namespace type

namespace header {
constexpr u32 type_mask = 0xFF;
constexpr u32 new_line = 1u << 30;
}  // namespace header

struct Cell {
  u32 header;
  u32 w1, w2, w3;

  u32 type() const { return header & header::type_mask; }
  double as_double() const { double d; std::memcpy(&d, &w2, 8); return d; }
  void set_double(double d) { std::memcpy(&w2, &d, 8); }
  i32 as_int() const { return static_cast<i32>(w2); }
};
static_assert(sizeof(Cell) == 16);
static_assert(offsetof(Cell, w2) == 8);

}  // namespace kiv

namespace kiv::cell {

inline Cell* set_type(Cell* c, u32 t) {
  c->header = (c->header & ~header::type_mask) | t;
  return c;
}
inline void clear_line_flag(Cell* c) { c->header &= ~header::new_line; }
inline Cell* copy(const Cell* src, Cell* dst) {
  if (src != dst) *dst = *src;
  return dst;
}

// A block's cell at its tail: grows the buffer (doubling) when full, gives the new cell header
// unset! and leaves its payload to the caller. The buffer may move: re-read it afterwards.
Cell* reserve_tail_cell(SeriesBuffer* b);
// Reserves n bytes at the tail (growing to 2n when n exceeds the old size, else doubling);
// returns the old tail.
std::byte* reserve_tail_bytes(SeriesBuffer* b, u32 n);

// A new cell at the tail of the block held by the cell (node in word 2): reserve_tail_cell on its
// buffer. Read the block cell before the call: it may itself live in a buffer that moves.
Cell* append_slot(const Cell* block);

// i32 of a float (raising out-of-range when it does not fit, or for NaN) or the integer payload.
i32 to_int32_checked(const Cell* value);

// Typesets: 96 bits in payload words 1-3, type t at byte t >> 3 under the mask 0x80 >> (t & 7).
inline bool typeset_has(const Cell* typeset, u32 t) {
  if (t >= 96) return false;
  u8 bytes[12];
  std::memcpy(bytes, &typeset->w1, 12);
  return bytes[t >> 3] & (0x80u >> (t & 7));
}
inline void typeset_add(Cell* typeset, u32 t) {
  KIV_ASSERT(t < 96, "type id beyond the 96 a typeset holds");
  u8 bytes[12];
  std::memcpy(bytes, &typeset->w1, 12);
  bytes[t >> 3] |= static_cast<u8>(0x80u >> (t & 7));
  std::memcpy(&typeset->w1, bytes, 12);
}

}  // namespace kiv::cell

namespace kiv {

// Operators of a comparison. A type's comparison answers below 0, 0, above 0, or -2 when the two
// values cannot be compared under that operator.
namespace compare_op {
enum : i32 {
  equal = 0, not_equal, strict_equal, lesser, lesser_or_equal, greater, greater_or_equal, sort, case_sort,
  same, parse_match_case, parse_match, find,
};
}  // namespace compare_op

// A language error in flight. It carries the category, the id word's name and up to three argument
// values; the error! value itself is made from these where it is caught or formed.
struct LanguageError {
  ErrorCategory category;
  const char* id;
  u32 arg_count;
  Cell args[3];
};

[[noreturn]] void raise_error(ErrorCategory category, const char* id);
[[noreturn]] void raise_error(ErrorCategory category, const char* id, const Cell& a1);
[[noreturn]] void raise_error(ErrorCategory category, const char* id, const Cell& a1, const Cell& a2);
[[noreturn]] void raise_error(ErrorCategory category, const char* id, const Cell& a1, const Cell& a2,
                              const Cell& a3);

}  // namespace kiv
