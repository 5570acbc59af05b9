// The value slot table: language values kept for native code (the GUI backend) by a small 1-based
// index instead of a pointer, since the collector moves buffers. The values live in one block that
// the collector marks as a root, so a value stays alive while its slot is in use.
//
// Every cell of the block's capacity is content. A free slot is an integer! cell whose word 2 is
// the 0-based number of the next free slot (-1 ends the list).
#pragma once
#include <vector>

#include "runtime/cell.h"

namespace kiv::slots {

constexpr i32 initial_slots = 100;

// The block (word 2 its node): a root of the collector, which marks its cells and rewrites them.
inline Cell block{type::none, 0, 0, 0};
inline i32 free_head = -1;
// Which slots are free, so that a slot freed twice (or a free slot read) is caught: a free slot's
// cell cannot tell itself apart from a stored integer!.
inline std::vector<bool> is_free;

// Makes the block (100 slots) and threads them all into the free list 0, 1, 2 ... 99.
void init();
// Copies the value into a free slot (doubling the table when none is free); returns its 1-based
// index. The value may lie anywhere, even in the table itself.
i32 add(const Cell* value);
// The slot's cell; valid until the next allocation.
Cell* cell_at(i32 index);
// Frees a slot in use (0 is ignored); the next add takes it again.
void free(i32 index);
// Slots the block has room for.
i32 capacity();

}  // namespace kiv::slots
