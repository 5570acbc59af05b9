// The natives table and the shape of the actions table.
//
// A native! or action! value keeps no machine address: its word 1 holds its 1-based slot in one of
// these tables, and the interpreter calls what the slot holds. Each slot also records how its
// procedure is called (its convention and its number of refinement arguments), so that a value can
// only be made from a slot whose procedure follows the convention of the value's type: a native!
// from a native, an action! from a generic action entry. An empty slot, or one holding the
// path-step or comparison entry of the actions table, makes no value at all.
//
// The natives table has 120 slots; slots 1..107 hold the boot natives of evaluator/natives.h in
// their order (the slot numbers are part of the boot data and of KIVBIN, so a native keeps its
// number for good), 108..120 stay free. The actions table has the 62 action slots; actions::init fills it.
//
// ---- The native calling convention ----
//
//   Exit name(bool check, i32 refinement1, i32 refinement2, ...)
//
// - The mandatory arguments lie on the value stack from stack::arguments (argument 0 there, 1 above
//   it, ...); stack::arguments is also the result cell: a native leaves its result there.
// - `check`: when true the native verifies its arguments' datatypes against its spec first and raises
//   script expect-arg on a mismatch (compiled callers pass true). The interpreter has checked them
//   already and passes false.
// - One i32 per refinement, in spec order: -1 when the refinement is not used, otherwise the
//   position (in cells from stack::arguments) of its first argument; for a refinement without
//   arguments any value other than -1 means "used".
// - The answer is the exit status (stack.h): Exit::none normally. A native that evaluates code
//   passes on any other status it receives and does not handle, after popping the frames it pushed
//   (the interpreter pops the native's own call frame). Language errors are C++ exceptions
//   (LanguageError) and need no handling on the way through.
// - break, continue, return, exit and throw are made by stack::break_exit, return_exit and
//   throw_exit (stack.h); try and catch use stack::Mark and the catch procedures there.
#pragma once
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "runtime/base.h"
#include "runtime/stack.h"

namespace kiv::natives {

constexpr i32 slot_count = 120;
constexpr i32 action_slot_count = 62;
constexpr i32 boot_native_count = 107;

// How the procedure in a slot is called.
//  native:     natives::Proc<n>: the check flag, then one integer per refinement; answers Exit.
//  action:     actions::Proc<n>: one integer per refinement, as for natives, without the check flag;
//              answers nothing.
//  path_step:  the path-step entry (actions slot 7): parent and element on the stack.
//  comparison: the comparison entry (actions slot 9).
enum class Convention : u8 { empty = 0, native, action, path_step, comparison };

// A procedure as the table stores it; the caller casts it back by the slot's convention and
// refinement count.
using Procedure = void (*)();

struct Slot {
  Procedure code = nullptr;
  Convention convention = Convention::empty;
  u8 refinements = 0;  // number of refinement integers the procedure takes
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

// ---- Procedure types ----

constexpr i32 max_refinements = 12;

namespace detail {
template <std::size_t>
using I32 = i32;
template <class Seq>
struct NativeOf;
template <std::size_t... Is>
struct NativeOf<std::index_sequence<Is...>> {
  using type = Exit(bool, I32<Is>...);
};
template <class Seq>
struct ActionOf;
template <std::size_t... Is>
struct ActionOf<std::index_sequence<Is...>> {
  using type = void(I32<Is>...);
};
}  // namespace detail

// The function type of a native with n refinements: Exit(bool check, i32 ... n times).
template <std::size_t N>
using Proc = typename detail::NativeOf<std::make_index_sequence<N>>::type;
// The function type of a generic action entry with n refinements: void(i32 ... n times).
template <std::size_t N>
using ActionProc = typename detail::ActionOf<std::make_index_sequence<N>>::type;

// A registration entry: the procedure with its refinement count, deduced from its type.
struct Entry {
  Procedure code = nullptr;
  u8 refinements = 0;
};
template <class... I>
Entry entry(Exit (*fn)(bool, I...)) {
  static_assert((std::is_same_v<I, i32> && ...), "a native takes i32 refinement positions");
  static_assert(sizeof...(I) <= max_refinements);
  return {reinterpret_cast<Procedure>(fn), static_cast<u8>(sizeof...(I))};
}

template <class... I>
Entry action_entry(void (*fn)(I...)) {
  static_assert((std::is_same_v<I, i32> && ...), "an action entry takes i32 refinement positions");
  static_assert(sizeof...(I) <= max_refinements);
  return {reinterpret_cast<Procedure>(fn), static_cast<u8>(sizeof...(I))};
}

// natives/register: stores each procedure at the next free slot, in list order. Procedures past
// the last slot are not stored; answers how many were.
i32 register_natives(std::span<const Entry> procedures);
// The same for procedures without refinements given as plain addresses.
i32 register_natives(std::span<const Procedure> procedures);

// Calls the native in a slot with its refinement positions (-1 for unused; at least as many as the
// slot takes); the arguments are on the value stack from stack::arguments. The interpreter's call;
// a compiled-style C++ caller may use it with check = true.
Exit invoke(const Slot& slot, bool check, const i32* refinements);

}  // namespace kiv::natives
