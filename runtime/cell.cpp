// Value-cell helpers shared by every datatype, and the one place language errors leave the
// run-time.
#include "runtime/cell.h"

#include <cmath>
#include <limits>

namespace kiv::cell {

Cell* reserve_tail_cell(SeriesBuffer* b) {
  if (b->tail + sizeof(Cell) > b->end_offset()) {
    // An empty data area cannot double; one that would pass the largest buffer stops there.
    u64 size = b->size ? u64{b->size} * 2 : 4 * sizeof(Cell);
    if (size > memory::max_data_size) size = memory::max_data_size;
    if (u64{b->used_bytes()} + sizeof(Cell) > size) raise_error(ErrorCategory::internal, "no-memory");
    b = memory::expand_series(b, static_cast<i32>(size));
  }
  Cell* c = b->tail_ptr<Cell>();
  c->header = type::unset;
  b->tail += sizeof(Cell);
  return c;
}

std::byte* reserve_tail_bytes(SeriesBuffer* b, u32 n) {
  if (u64{b->tail} + n > b->end_offset()) {
    // Doubling always leaves room: the content is at most the old size, and either n is at most
    // the old size too, or the new size is 2n.
    u64 size = n > b->size ? u64{n} * 2 : u64{b->size} * 2;
    if (size > memory::max_data_size) {
      // Still enough when doubling overshoots the largest buffer but the content plus n fits.
      u64 needed = u64{b->used_bytes()} + n;
      if (needed > memory::max_data_size) raise_error(ErrorCategory::internal, "no-memory");
      size = memory::max_data_size;
    }
    b = memory::expand_series(b, static_cast<i32>(size));
  }
  std::byte* old_tail = b->tail_ptr();
  b->tail += n;
  return old_tail;
}

Cell* append_slot(const Cell* block) { return reserve_tail_cell(buffer_of(Ref<Node>(block->w2))); }

i32 to_int32_checked(const Cell* value) {
  if (value->type() != type::float_) return static_cast<i32>(value->w2);
  double d = value->as_double();
  // The negated form also catches NaN, for which every comparison is false.
  if (!(d <= 2147483647.0 && d >= -2147483648.0)) raise_error(ErrorCategory::script, "out-of-range", *value);
  return static_cast<i32>(d);  // truncation toward zero
}

}  // namespace kiv::cell

namespace kiv {

void raise_error(ErrorCategory category, const char* id) { throw LanguageError{category, id, 0, {}}; }

void raise_error(ErrorCategory category, const char* id, const Cell& a1) {
  throw LanguageError{category, id, 1, {a1, {}, {}}};
}

void raise_error(ErrorCategory category, const char* id, const Cell& a1, const Cell& a2) {
  throw LanguageError{category, id, 2, {a1, a2, {}}};
}

void raise_error(ErrorCategory category, const char* id, const Cell& a1, const Cell& a2, const Cell& a3) {
  throw LanguageError{category, id, 3, {a1, a2, a3}};
}

}  // namespace kiv
