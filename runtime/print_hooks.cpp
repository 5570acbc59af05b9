#include "runtime/print_hooks.h"

#include <cstring>

#include "runtime/sys.h"

namespace kiv::print_hooks {
namespace {

template <class Hook>
void make_list(HookList<Hook>& list) {
  if (list.entries) sys::free(list.entries);
  list.entries = static_cast<Hook*>(sys::allocate(initial_capacity * static_cast<i32>(sizeof(Hook))));
  list.count = 0;
  list.capacity = initial_capacity;
}

template <class Hook>
void append(HookList<Hook>& list, Hook hook) {
  if (!list.entries) make_list(list);
  if (list.count == list.capacity) {
    i32 capacity = list.capacity + capacity_step;
    auto* grown = static_cast<Hook*>(sys::allocate(capacity * static_cast<i32>(sizeof(Hook))));
    std::memcpy(grown, list.entries, static_cast<std::size_t>(list.count) * sizeof(Hook));
    sys::free(list.entries);
    list.entries = grown;
    list.capacity = capacity;
  }
  list.entries[list.count++] = hook;
}

template <class Hook>
void remove_last(HookList<Hook>& list, Hook hook) {
  for (i32 i = list.count - 1; i >= 0; --i) {
    if (list.entries[i] != hook) continue;
    std::memmove(list.entries + i, list.entries + i + 1, static_cast<std::size_t>(list.count - i - 1) * sizeof(Hook));
    --list.count;
    return;
  }
}

}  // namespace

void init() {
  make_list(value_hooks);
  make_list(output_hooks);
}

void register_(ValueHook value_hook, OutputHook output_hook) {
  if (value_hook) append(value_hooks, value_hook);
  if (output_hook) append(output_hooks, output_hook);
}

void unregister(ValueHook value_hook, OutputHook output_hook) {
  if (value_hook) remove_last(value_hooks, value_hook);
  if (output_hook) remove_last(output_hooks, output_hook);
}

// A hook may register or remove hooks while it runs: the list is re-read at every step.
void call_value_hooks(const Cell* text, i32 newline) {
  for (i32 i = 0; i < value_hooks.count; ++i) value_hooks.entries[i](text, newline);
}

void call_output_hooks(const char* text, i32 length, i32 flag) {
  for (i32 i = 0; i < output_hooks.count; ++i) output_hooks.entries[i](text, length, flag);
}

}  // namespace kiv::print_hooks
