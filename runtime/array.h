// Internal arrays: unboxed bytes, 32-bit integers or native pointers for the run-time's own
// bookkeeping (the chains of hash! indexes, lists of the GUI backend). An array is an ordinary
// series whose unit bits hold the element size; it is allocated, grown, moved and collected like
// any series and is held by its node. Elements lie from the head (the data start) to the tail.
//
// Positions are 1-based for element access; searches answer byte offsets (0-based), -1 when
// nothing matches. Positions are not checked: callers pass positions inside the array.
//
// Every operation that appends or inserts may allocate, and so move the buffer of any series:
// addresses returned stay valid only until the next allocation.
#pragma once
#include "runtime/cell.h"

namespace kiv::array {

// Room for `count` elements of `size` bytes (1, 4, or sizeof(void*) for pointer arrays); empty.
Ref<Node> make(i32 count, i32 size);
i32 length(Ref<Node> a);
void clear(Ref<Node> a);
// Keeps the first p - 1 elements.
void cut(Ref<Node> a, i32 p);
Ref<Node> copy(Ref<Node> a);
u32 flags(Ref<Node> a);

std::byte* append_byte(Ref<Node> a, u8 byte);
u8 pick_byte(Ref<Node> a, i32 p);
// Appends `length` bytes copied from `source` (which may lie in a series, even this one); returns
// the address of the copy.
std::byte* append_bytes(Ref<Node> a, const void* source, u32 length);

void append_int32(Ref<Node> a, i32 value);
void append_int32(const Cell* holder, i32 value);  // the array is the node in the cell's word 2
// Inserts before the 0-based element index, moving the following elements up.
void insert_int32(Ref<Node> a, i32 value, i32 index);
i32 find_int32(Ref<Node> a, i32 value);
i32 pick_int32(Ref<Node> a, i32 p);
void poke_int32(Ref<Node> a, i32 p, i32 value);

// Pointer arrays hold native pointers (sizeof(void*) bytes each). References into the arena are
// 32-bit and go in int32 arrays instead.
void append_pointer(Ref<Node> a, const void* p);
void* pick_pointer(Ref<Node> a, i32 p);
i32 find_pointer(Ref<Node> a, const void* p);
// Removes the first equal element; answers its byte offset, or -1 (nothing removed) when absent.
i32 remove_pointer(Ref<Node> a, const void* p);

// Removes `count` bytes at the byte offset, moving the rest down.
void remove_bytes(Ref<Node> a, i32 offset, i32 count);

}  // namespace kiv::array
