// tuple!: 3 to 12 unsigned bytes held in the cell itself (colours, versions, addresses).
//
// Cell: header type 39 with the length (3 to 12) in bits 19-22; the bytes packed from the first
// payload word on, byte 1 at the lowest address; bytes beyond the length are kept zero. This header
// holds the layout only: the type's unit registers the actions when it is built.
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

}  // namespace kiv::tuple
