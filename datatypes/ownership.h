// Series ownership: which object owns a series stored in one of its fields (or nested inside one),
// and through which field, so that a series changed in place can tell its owner's on-deep-change*
// handler.
//
// The owners table is a pointer-keyed hash table (kind 4) from a series node to three cells: the
// owned series value as registered, the owner object and the owner's field word. Keys and owners
// are weak: the collector drops an entry whose series or owner died (and then clears the series'
// owned mark, so that another owner can take it). An owned series carries the owned flag on its
// buffer (an image! on its value header instead); an object that owns its series carries
// object::owner_flag on its context cell, and the walkers leave such an object's series to it.
//
// Collector contract: the value cells passed in stay where they are across a call (value-stack
// cells, rooted locals, unmanaged cells).
#pragma once
#include "runtime/cell.h"

namespace kiv::ownership {

// Header bit of an image! value that plays the buffer's owned flag.
constexpr u32 image_owned_flag = 0x10000;

// Makes the owners table and registers it with the collector; installs the series, case-change
// and modify hooks. Idempotent.
void init();
// The table's node (0 before init).
Ref<Node> table();

// Records every series reachable from the value as owned by `owner` through `word` (none: no field
// word). A series owned already keeps its first owner.
void set_owner(Cell* value, const Cell* owner, const Cell* word);
// set_owner, then marks the owner object as owning its series.
void own(Cell* value, const Cell* owner, const Cell* word);
// Removes every series reachable from the value from the table.
void unset_owner(Cell* value);
void unset_owner_range(Cell* block, i32 index, i32 count);
// The owner object of the series node, or null.
Cell* find_owner(Ref<Node> series);
// Tells the owner of an owned series about a change: fires its on-deep-change* handler with the
// action word, the new value (null: none), the index and the part. True when an owner with change
// handlers was found.
bool notify_change(Cell* series, const Cell* action, const Cell* value, i32 index, i32 part);
// The same with the action named (a static word when there is one).
bool notify_change(Cell* series, const char* action, const Cell* value, i32 index, i32 part);

// The weak sweep, as the collector runs it after marking (the entries whose series or owner is not
// alive are dropped, the others rewritten through remap). Exposed for tests.
void sweep(bool (*alive)(u32 node), u32 (*remap)(u32 node));

// Live entries (tests).
i32 entry_count();

}  // namespace kiv::ownership
