// The natives table and the shape of the actions table.
//
// A native! or action! value keeps no machine address: its word 1 holds its 1-based slot in one of
// these tables, and the interpreter calls what the slot holds. Each slot also records how its
// procedure is called, so that a value can only be made from a slot whose procedure follows the
// convention of the value's type: a native! from a native, an action! from a generic action entry.
// An empty slot, or one holding the path-step or comparison entry of the actions table, makes no
// value at all.
//
// The natives table has 120 slots, filled at start-up in slot order from 1 by natives/register;
// the slot numbers are part of the boot data, so a native keeps its number for good. The actions
// table has the 62 action slots; actions/init fills it once every datatype has registered.
#pragma once
#include <span>

#include "runtime/base.h"

namespace kiv::natives {

constexpr i32 slot_count = 120;
constexpr i32 action_slot_count = 62;

// How the procedure in a slot is called.
//  native:     the check flag, then one integer per refinement (-1 when unused, else the position
//              of its first argument cell from the arguments base); arguments on the value stack.
//  action:     one integer per refinement, as for natives, without the check flag.
//  path_step:  the path-step entry (actions slot 7): parent and element on the stack.
//  comparison: the comparison entry (actions slot 9).
enum class Convention : u8 { empty = 0, native, action, path_step, comparison };

// A procedure as the table stores it; the caller casts it back by the slot's convention (and the
// refinement count of the value's spec).
using Procedure = void (*)();

struct Slot {
  Procedure code = nullptr;
  Convention convention = Convention::empty;
};

inline Slot table[slot_count];
inline i32 next_free = 1;  // the slot the next registered native takes

inline Slot actions_table[action_slot_count];

// The slot of a 1-based index, or null outside 1..slot_count (1..action_slot_count).
inline const Slot* native_slot(i32 index) {
  return index >= 1 && index <= slot_count ? &table[index - 1] : nullptr;
}
inline const Slot* action_slot(i32 index) {
  return index >= 1 && index <= action_slot_count ? &actions_table[index - 1] : nullptr;
}

// natives/register: stores each procedure at the next free slot, in list order. Procedures past
// the last slot are not stored; answers how many were.
inline i32 register_natives(std::span<const Procedure> procedures) {
  i32 stored = 0;
  for (Procedure p : procedures) {
    if (next_free > slot_count) break;
    table[next_free - 1] = {p, Convention::native};
    ++next_free;
    ++stored;
  }
  return stored;
}

}  // namespace kiv::natives
