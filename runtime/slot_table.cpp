#include "runtime/slot_table.h"


#include "runtime/roots.h"

namespace kiv::slots {
namespace {

SeriesBuffer* buffer() { return buffer_of(Ref<Node>(block.w2)); }
Cell* cells() { return reinterpret_cast<Cell*>(buffer()->data()); }

// Threads slots [from, capacity) into the free list and makes the whole capacity content.
void thread_free(i32 from) {
  SeriesBuffer* b = buffer();
  i32 cap = capacity();
  Cell* c = cells();
  for (i32 i = from; i < cap; ++i) c[i] = Cell{type::integer, 0, static_cast<u32>(i + 1 < cap ? i + 1 : -1), 0};
  free_head = from;
  b->head = b->data_offset();
  b->tail = b->end_offset();
  is_free.resize(static_cast<size_t>(cap), true);
}

}  // namespace

i32 capacity() { return static_cast<i32>(buffer()->size / sizeof(Cell)); }

void init() {
  Ref<Node> node = memory::alloc_cells(initial_slots);
  block = Cell{type::block, 0, node.offset(), 0};
  is_free.clear();
  thread_free(0);
}

i32 add(const Cell* value) {
  Cell v = *value;  // the value may sit in the table, or anywhere else that growth can move
  RootCell keep(v);
  if (free_head == -1) {
    i32 old = capacity();
    memory::expand_series(buffer(), 0);
    thread_free(old);
  }
  i32 slot = free_head;
  Cell* c = cells() + slot;
  free_head = static_cast<i32>(c->w2);
  *c = v;
  is_free[static_cast<size_t>(slot)] = false;
  return slot + 1;
}

Cell* cell_at(i32 index) {
  KIV_ASSERT(index >= 1 && index <= capacity() && !is_free[static_cast<size_t>(index - 1)], "slot not in use");
  return cells() + (index - 1);
}

void free(i32 index) {
  if (index == 0) return;
  KIV_ASSERT(index >= 1 && index <= capacity(), "slot index out of range");
  KIV_ASSERT(!is_free[static_cast<size_t>(index - 1)], "slot freed twice");
  i32 slot = index - 1;
  cells()[slot] = Cell{type::integer, 0, static_cast<u32>(free_head), 0};
  free_head = slot;
  is_free[static_cast<size_t>(slot)] = true;
}

}  // namespace kiv::slots
