#include "evaluator/stack.h"

#include "datatypes/none.h"
#include "runtime/mold.h"

namespace kiv::stack {

void init(Ref<Node> buffer) {
  if (!buffer) buffer = memory::alloc_unmanaged_series(value_stack_cells, sizeof(Cell), 0);
  value_node = buffer;
  SeriesBuffer* b = buffer_of(buffer);
  bottom = reinterpret_cast<Cell*>(b->data());
  top = arguments = bottom;
  end = reinterpret_cast<Cell*>(b->data() + b->size);
}

Cell* push_cell() {
  if (top >= end) {
    mold::reset_cycles();
    raise_error(ErrorCategory::internal, "stack-overflow");
  }
  Cell* c = top++;
  *c = Cell{type::unset, 0, 0, 0};
  return c;
}

Cell* push_value(const Cell* value) {
  // The value may itself lie on the stack: copy it before the push can raise.
  Cell copy = *value;
  Cell* c = push_cell();
  *c = copy;
  return c;
}

Cell* last_value() { return top > bottom ? top - 1 : bottom; }

void drop(i32 n) {
  if (n <= 0) return;
  top = (top - bottom > n) ? top - n : bottom;
}

Cell* set_result(const Cell* value) { return cell::copy(value, arguments); }

const Cell* get_where() { return &none::value; }

}  // namespace kiv::stack
