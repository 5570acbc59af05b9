// Print hooks: two lists of procedures called on every print, so that a component without a
// console of its own (the GUI console) sees everything that is printed.
//
// Value hooks receive each `print`/`prin` text as a string! cell and the newline flag (1 for
// print, 0 for prin). Output hooks receive every piece of UTF-8 text the console writer puts out,
// its length in bytes (negative: up to a NUL byte) and a flag (0 from the console writer).
//
// Both lists are arrays of tracked blocks with a count and a capacity; the capacity starts at 5
// and grows by 5. A procedure registered twice is called twice. Hooks are called synchronously, in
// registration order, before the print returns.
#pragma once
#include "runtime/base.h"

namespace kiv {
struct Cell;
}

namespace kiv::print_hooks {

using ValueHook = void (*)(const Cell* text, i32 newline);
using OutputHook = void (*)(const char* text, i32 length, i32 flag);

template <class Hook>
struct HookList {
  Hook* entries;
  i32 count;
  i32 capacity;
};

constexpr i32 initial_capacity = 5;
constexpr i32 capacity_step = 5;

inline HookList<ValueHook> value_hooks{};
inline HookList<OutputHook> output_hooks{};

// Allocates both lists empty, with the initial capacity (a second call starts them afresh).
void init();

// Appends each hook that is not null to its list (the lists are made on first use when init has
// not run).
void register_(ValueHook value_hook, OutputHook output_hook);

// Removes the most recent registration of each hook that is not null; an unknown hook is ignored.
void unregister(ValueHook value_hook, OutputHook output_hook);

void call_value_hooks(const Cell* text, i32 newline);
void call_output_hooks(const char* text, i32 length, i32 flag);

}  // namespace kiv::print_hooks
