// vector!: a packed series of numbers of one element type and one width, a child of string! that
// navigates in units of the element width.
//
// Cell: header type 35; w1 the head index in elements; w2 the series node; w3 the element type id:
// char! or integer! (1, 2 or 4 bytes), float! (4 or 8 bytes). The buffer's unit is the width.
//
// Elements: integers little-endian two's complement, read sign-extended from 1 and 2 bytes, stored
// as their low 8, 16 or 32 bits; characters read zero-extended (a character has no sign); floats IEEE
// single or double. Integer arithmetic is 32-bit and wraps. Defaults: integer! and char! 32 bits,
// float! 64.
//
// Collector contract: the vector cells passed in stay where they are across a call (value-stack
// cells, rooted locals); buffers are re-read after every allocation.
#pragma once
#include <cstddef>

#include "runtime/cell.h"

namespace kiv::vector {

// Makes `out` an empty vector with room for `length` elements of `width` bytes (a size beyond 32
// bits raises internal no-memory).
Cell* make_at(Cell* out, i32 length, u32 element_type, u32 width);
// One element as a new cell of the element type / a value of that type stored in one element.
void push_element(const std::byte* at, u32 width, u32 element_type, Cell* out);
void set_element(std::byte* at, const Cell* value, u32 width);
// Grows the vector by one 4-byte element at the tail holding the value.
void append_int32(Cell* v, i32 value);
// A new block of one cell per element from the head.
Cell* to_block(const Cell* v, Cell* out);
// Elements from the head to the tail; and cutting the tail back to the head.
i32 length_of(const Cell* v);
void truncate_at_head(Cell* v);
// Arithmetic of a vector with a scalar, in place from the head: op(element, scalar), or
// op(scalar, element) with scalar_first. The vector is the result.
void do_math_scalar(i32 op, Cell* v, const Cell* scalar, bool scalar_first);

// Registers vector! (after string!) and its arithmetic with the number types.
void init();

}  // namespace kiv::vector
