// The value stack: arguments are pushed here and results left here. The arguments base is the first
// argument cell of the current call and also its result cell. The buffer is an unmanaged block, so
// the collector never moves it and the registers below may be plain pointers; the collector marks
// the cells from bottom to top.
//
// Only the value-stack registers live here for now; the call-frame stack joins them with the
// evaluator.
#pragma once
#include "runtime/cell.h"

namespace kiv::stack {

constexpr i32 value_stack_cells = 20000;

inline Ref<Node> value_node{};    // the buffer's node (kept alive through the root block)
inline Cell* bottom = nullptr;    // first cell of the buffer
inline Cell* top = nullptr;       // next free cell
inline Cell* end = nullptr;       // one past the last cell
inline Cell* arguments = nullptr; // the current call's first argument, also its result cell

// Sets the registers on the given unmanaged block of cells, or on a new one when none is given.
void init(Ref<Node> buffer = Ref<Node>{});

// A new cell on top, set to unset!. A full stack empties the cycle stack and raises the internal
// error stack-overflow.
Cell* push_cell();
// A copy of the value on top; returns the new cell.
Cell* push_value(const Cell* value);
// The last pushed cell, or the bottom when the stack is empty.
Cell* last_value();
// Drops n cells, never below the bottom.
void drop(i32 n);
// Copies the value into the result cell at the arguments base and returns that cell.
Cell* set_result(const Cell* value);
// top = arguments base.
inline void reset_top() { top = arguments; }

// The word of the nearest named call (the where of expect-arg and kin). Until the call-frame stack
// exists there is none and the answer is the none cell.
const Cell* get_where();

// Starts a call whose arguments will be pushed from the current top; restores the caller's base and
// leaves exactly one result cell at the callee's base when it ends. Used by C++ code that calls an
// action entry directly.
class Call {
  Cell* saved_;

 public:
  Call() : saved_(arguments) { arguments = top; }
  ~Call() {
    top = arguments + 1;
    arguments = saved_;
  }
  Cell* result() const { return arguments; }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
};

}  // namespace kiv::stack
