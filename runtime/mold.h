// The cycle stack: the series and context nodes being molded, formed, compared or walked right now.
// A walker asks find_cycle before descending into a node, pushes it, and pops it afterwards, so a
// value that contains itself is met once and then printed as a placeholder. Mold's indentation
// lives here too.
//
// Push through CycleGuard wherever an error can unwind past the walker: the guard drops what it
// pushed on every exit, so an error in the middle of a mold never leaves a stale entry behind that
// would make a later, unrelated mold print "[...]".
#pragma once
#include <span>
#include <string_view>

#include "runtime/cell.h"

namespace kiv::mold {

constexpr u32 cycle_capacity = 1000;

// Entries [0, cycle_top) are live. Node references: the collector rewrites them through
// cycle_entries() when it moves nodes.
inline Ref<Node> cycle_stack[cycle_capacity];
inline u32 cycle_top = 0;

// Pushes the node. The push that fills the last entry empties the stack and raises the internal
// error too-deep instead (so 999 nested pushes succeed and the 1,000th fails), leaving room for the
// error itself to be molded.
void push_cycle(Ref<Node> node);
// Drops the top entry; nothing on an empty stack.
void pop_cycle();
// Drops n entries, never below the bottom.
void drop_cycles(u32 n);
// Empties the stack (before stack-overflow, no-cycle, and wherever a walk is abandoned).
void reset_cycles();
// Whether the node is being walked.
bool find_cycle(Ref<Node> node);
inline u32 cycle_depth() { return cycle_top; }

// The live entries, for the collector to mark and to rewrite when nodes move.
inline std::span<Ref<Node>> cycle_entries() { return {cycle_stack, cycle_top}; }

// Pushes a node for the guard's scope. On exit it brings the stack back to the depth it found
// (never deeper: a reset in between stays a reset).
class CycleGuard {
  u32 depth_;

 public:
  explicit CycleGuard(Ref<Node> node) : depth_(cycle_top) { push_cycle(node); }
  ~CycleGuard() {
    if (cycle_top > depth_) cycle_top = depth_;
  }
  CycleGuard(const CycleGuard&) = delete;
  CycleGuard& operator=(const CycleGuard&) = delete;
};

// The node whose presence on the stack means "already being walked": word 1 (the context) of an
// object!, word 2 (the series) of the other types.
inline Ref<Node> cycle_key(const Cell* value) {
  return Ref<Node>(value->type() == type::object ? value->w1 : value->w2);
}

// The placeholder that stands for a value already being walked, or an empty view when the value's
// node is not on the stack.
std::string_view cycle_placeholder(const Cell* value, bool mold);

// When the value is already being walked, appends its placeholder through `append` (called with a
// std::string_view), subtracts the placeholder's length from `remaining` and answers true; else
// appends nothing and answers false. The output is whatever the caller's appender writes to, so
// the string datatype adapts it to its own buffers.
template <class Append>
bool emit_cycle(const Cell* value, Append&& append, i32& remaining, bool mold) {
  std::string_view text = cycle_placeholder(value, mold);
  if (text.empty()) return false;
  append(text);
  remaining -= static_cast<i32>(text.size());
  return true;
}

// Appends four spaces n times; returns remaining - 4 x n.
template <class Append>
i32 indent(Append&& append, i32 n, i32 remaining) {
  for (i32 i = 0; i < n; ++i) append(std::string_view("    "));
  return remaining - 4 * (n > 0 ? n : 0);
}

}  // namespace kiv::mold
