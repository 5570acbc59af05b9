#include "runtime/mold.h"

namespace kiv::mold {

void push_cycle(Ref<Node> node) {
  cycle_stack[cycle_top++] = node;
  if (cycle_top == cycle_capacity) {
    cycle_top = 0;
    raise_error(ErrorCategory::internal, "too-deep");
  }
}

void pop_cycle() {
  if (cycle_top > 0) --cycle_top;
}

void drop_cycles(u32 n) { cycle_top = n < cycle_top ? cycle_top - n : 0; }

void reset_cycles() { cycle_top = 0; }

bool find_cycle(Ref<Node> node) {
  for (u32 i = 0; i < cycle_top; ++i) {
    if (cycle_stack[i] == node) return true;
  }
  return false;
}

std::string_view cycle_placeholder(const Cell* value, bool mold) {
  if (!find_cycle(cycle_key(value))) return {};
  if (!mold) return "...";
  switch (value->type()) {
    case type::block:
    case type::hash: return "[...]";
    case type::paren: return "(...)";
    case type::map: return "#[...]";
    case type::object: return "make object! [...]";
    default: return "...";  // the path family
  }
}

}  // namespace kiv::mold
