// tuple!: 3 to 12 unsigned bytes held in the cell itself (colours, versions, addresses).
//
// Cell: header type 39 with the length (3 to 12) in bits 19-22; the bytes packed from the first
// payload word on, byte 1 at the lowest address; bytes beyond the length are kept zero.
//
// Arithmetic works byte by byte and clamps every result to 0..255; a tuple never wraps.
#pragma once
#include <algorithm>
#include <cstddef>

#include "runtime/cell.h"
#include "runtime/hashtable.h"

namespace kiv::tuple {

constexpr u32 length_shift = 19;
constexpr u32 length_mask = 0xFu << length_shift;
constexpr i32 min_length = 3;
constexpr i32 max_length = 12;

// The header of a tuple of `length` bytes.
constexpr u32 header_for(i32 length) { return type::tuple | static_cast<u32>(length) << length_shift; }

// The length as the header says it (a forged cell may say up to 15).
inline i32 length_of(const Cell* t) { return static_cast<i32>((t->header & length_mask) >> length_shift); }
// The length, never past the payload.
inline i32 stored_length(const Cell* t) { return std::min(length_of(t), max_length); }

// Taken from the cell's address, not from &w1: the bytes run over w2 and w3 too, and the compiler
// bounds a pointer by the object it was taken from.
inline u8* bytes_of(Cell* t) { return reinterpret_cast<u8*>(t) + offsetof(Cell, w1); }
inline const u8* bytes_of(const Cell* t) { return reinterpret_cast<const u8*>(t) + offsetof(Cell, w1); }

// The hash-table hash, for the type to register: the bytes within the length.
inline u32 hash(const Cell* t, bool) { return hashtable::murmur3_32(bytes_of(t), stored_length(t)); }

// Makes the cell a tuple of the first `count` bytes (padded with 0 up to 3, at most 12 taken),
// keeping its new-line mark.
Cell* make_at(Cell* out, const u8* bytes, i32 count);
// A new tuple on the value stack.
Cell* push(const u8* bytes, i32 count);
// r.g.b, or r.g.b.a when a is not -1.
Cell* make_rgba(Cell* out, i32 r, i32 g, i32 b, i32 a);

// An integer or float result clamped to a byte: below 0 (and NaN) gives 0, above 255 gives 255,
// a fraction is truncated toward zero.
u8 clamp(double d);

// The shared arithmetic on the operands at the arguments base (op 0 add, 1 subtract, 2 multiply,
// 3 divide, 4 remainder, 5 or, 6 and, 7 xor); the result is left in the first cell. A number first
// operand (as the float! dispatcher leaves it) takes the tuple's place for every operator but
// subtract and divide, which raise not-related.
void do_math(i32 op);

// Action entries.
Cell* make(Cell* proto, Cell* spec, u32 type);  // also `to`
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* complement(Cell* value);
i32 length_q(const Cell* value);
Cell* pick(Cell* value, i32 index, Cell* boxed);
Cell* reverse(Cell* value, Cell* part, Cell* skip);

void init();

}  // namespace kiv::tuple
