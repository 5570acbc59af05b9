// The natives table and the shape of the actions table.
//
// A native! or action! value keeps no machine address: its word 1 holds its 1-based slot in one of
// these tables, and the interpreter calls what the slot holds. Each slot also records how its
// procedure is called (its convention and its number of refinement arguments), so that a value can
// only be made from a slot whose procedure follows the convention of the value's type: a native!
// from a native, an action! from a generic action entry. An empty slot, or one holding the
// path-step or comparison entry of the actions table, makes no value at all.
//
// The natives table has 120 slots; slots 1..107 hold the natives below in that order (the slot
// numbers are part of the boot data and of KIVBIN, so a native keeps its number for good), 108..120
// stay free. The actions table has the 62 action slots; actions::init fills it.
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

// ---- The natives, in slot order: (procedure name, word, refinement count) ----
//
// Each is declared here with its exact type; the units that implement them define
// `Exit kiv::natives::NAME(bool check, ...)`. Natives not written yet have a placeholder in
// evaluator/natives_pending.cpp that raises internal not-done: whoever writes one deletes its line
// there.
#define KIV_NATIVES(X)                                                                                        \
  X(if_, "if", 0) X(unless, "unless", 0) X(either, "either", 0) X(any, "any", 0) X(all, "all", 0)              \
  X(while_, "while", 0) X(until, "until", 0) X(loop, "loop", 0) X(repeat, "repeat", 0)                         \
  X(forever, "forever", 0) X(foreach, "foreach", 0) X(forall, "forall", 0) X(remove_each, "remove-each", 0)   \
  X(func, "func", 0) X(function, "function", 1) X(does, "does", 0) X(has, "has", 0) X(switch_, "switch", 1)   \
  X(case_, "case", 1) X(do_, "do", 4) X(get, "get", 2) X(set, "set", 4) X(print, "print", 0)                   \
  X(prin, "prin", 0) X(equal_q, "equal?", 0) X(not_equal_q, "not-equal?", 0)                                   \
  X(strict_equal_q, "strict-equal?", 0) X(lesser_q, "lesser?", 0) X(greater_q, "greater?", 0)                \
  X(lesser_or_equal_q, "lesser-or-equal?", 0) X(greater_or_equal_q, "greater-or-equal?", 0)                   \
  X(same_q, "same?", 0) X(not_, "not", 0) X(type_q, "type?", 1) X(reduce, "reduce", 1)                         \
  X(compose, "compose", 3) X(stats, "stats", 2) X(bind, "bind", 1) X(in, "in", 0) X(parse, "parse", 3)         \
  X(union_, "union", 2) X(intersect, "intersect", 2) X(unique, "unique", 2) X(difference, "difference", 2)    \
  X(exclude, "exclude", 2) X(complement_q, "complement?", 0) X(dehex, "dehex", 0) X(enhex, "enhex", 0)        \
  X(negative_q, "negative?", 0) X(positive_q, "positive?", 0) X(max, "max", 0) X(min, "min", 0)               \
  X(shift, "shift", 2) X(to_hex, "to-hex", 1) X(sine, "sine", 1) X(cosine, "cosine", 1)                        \
  X(tangent, "tangent", 1) X(arcsine, "arcsine", 1) X(arccosine, "arccosine", 1)                               \
  X(arctangent, "arctangent", 1) X(arctangent2, "arctangent2", 1) X(nan_q, "NaN?", 0) X(log_2, "log-2", 0)    \
  X(log_10, "log-10", 0) X(log_e, "log-e", 0) X(exp, "exp", 0) X(square_root, "square-root", 0)               \
  X(construct, "construct", 2) X(value_q, "value?", 0) X(try_, "try", 2) X(uppercase, "uppercase", 1)          \
  X(lowercase, "lowercase", 1) X(as_pair, "as-pair", 0) X(as_point2d, "as-point2D", 0)                        \
  X(as_point3d, "as-point3D", 0) X(as_money, "as-money", 0) X(break_, "break", 1) X(continue_, "continue", 0) \
  X(exit_, "exit", 0) X(return_, "return", 0) X(throw_, "throw", 1) X(catch_, "catch", 1)                      \
  X(extend, "extend", 1) X(debase, "debase", 1) X(to_local_file, "to-local-file", 1) X(wait, "wait", 1)       \
  X(checksum, "checksum", 1) X(unset, "unset", 0) X(new_line, "new-line", 2) X(new_line_q, "new-line?", 0)    \
  X(enbase, "enbase", 1) X(context_q, "context?", 0) X(set_env, "set-env", 0) X(get_env, "get-env", 0)        \
  X(list_env, "list-env", 0) X(now, "now", 10) X(sign_q, "sign?", 0) X(as, "as", 0) X(call, "call", 7)        \
  X(zero_q, "zero?", 0) X(size_q, "size?", 0) X(browse, "browse", 0) X(compress, "compress", 0)               \
  X(decompress, "decompress", 1) X(recycle, "recycle", 2) X(transcode, "transcode", 7) X(apply, "apply", 2)

#define KIV_NATIVE_DECLARE(name, word, refinements) Proc<refinements> name;
KIV_NATIVES(KIV_NATIVE_DECLARE)
#undef KIV_NATIVE_DECLARE

// Slot numbers by procedure name: id::if_ == 1 ... id::apply == 107.
namespace id {
enum : i32 {
  none_ = 0,
#define KIV_NATIVE_ID(name, word, refinements) name,
  KIV_NATIVES(KIV_NATIVE_ID)
#undef KIV_NATIVE_ID
};
}  // namespace id

// The word of a boot native by slot (1..107), e.g. "if"; null outside.
const char* word_of(i32 slot);
// The refinement count a boot native's procedure takes; -1 outside 1..107.
i32 refinements_of(i32 slot);

// ---- Registration ----

// natives/register: stores each procedure at the next free slot, in list order. Procedures past
// the last slot are not stored; answers how many were.
i32 register_natives(std::span<const Entry> procedures);
// The same for procedures without refinements given as plain addresses.
i32 register_natives(std::span<const Procedure> procedures);

// natives/init: empties the table, registers the 107 natives in slot order (next_free then reads
// 108) and makes the print buffer. Runs once at boot, after actions::init.
void init();

// Defines the core vocabulary until the boot data does: the datatype words, the core typesets
// (any-type!, number!, series! ...), the 59 action words, the native words of the filled slots and
// the operators (+ - * / // ** = <> == < > <= >= =? and or xor), each value made from its table slot
// with its interface spec. After actions::init and natives::init.
void define_words();

// The block of 32 cells into which print and prin reduce a block argument (an unmanaged block!
// cell, kept for the whole run).
Cell* print_buffer();

// Calls the native in a slot with its refinement positions (-1 for unused; at least as many as the
// slot takes); the arguments are on the value stack from stack::arguments. The interpreter's call;
// a compiled-style C++ caller may use it with check = true.
Exit invoke(const Slot& slot, bool check, const i32* refinements);

}  // namespace kiv::natives
