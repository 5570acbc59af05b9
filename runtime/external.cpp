#include "runtime/external.h"

#include <utility>

namespace kiv::externals {
namespace {

// Threads slots [from, to) into one free chain ending in -1.
void thread_free(u32 from, u32 to) {
  for (u32 i = from; i < to; ++i) {
    table.slots[i] = Slot{free_flags, i + 1 < to ? static_cast<i32>(i + 1) : -1, nullptr};
  }
}

// Doubles the slot table (1,000 slots when it has none); returns the first new slot.
u32 grow() {
  u32 old = capacity();
  u32 size = old ? old * 2 : initial_slots;
  table.slots.resize(size);
  thread_free(old, size);
  return old;
}

bool in_use(i32 index) {
  return index >= 0 && static_cast<u32>(index) < capacity() && table.slots[static_cast<u32>(index)].flags != free_flags;
}

void release(u32 kind, void* object) {
  if (kind >= 1 && kind <= table.kind_count && table.kinds[kind - 1].release) table.kinds[kind - 1].release(object);
}

void push_free(i32 index) {
  table.slots[static_cast<u32>(index)] = Slot{free_flags, table.free_head, nullptr};
  table.free_head = index;
}

}  // namespace

void init() {
  table.kind_count = 0;
  table.slots.clear();
  table.used_head = -1;
  table.pending.clear();
  table.free_head = static_cast<i32>(grow());
}

u32 register_kind(const char* name, Release release_proc) {
  KIV_ASSERT(table.kind_count < max_kinds, "too many external-resource kinds");
  table.kinds[table.kind_count] = Kind{name, release_proc};
  return ++table.kind_count;
}

i32 add(void* object, u32 flags) {
  if (table.free_head == -1) table.free_head = static_cast<i32>(grow());
  KIV_ASSERT((flags & ~mark_bit) != free_flags, "flags that read as a free slot");
  i32 index = table.free_head;
  // Never hand out the last free slot without a chain behind it.
  if (table.slots[static_cast<u32>(index)].next == -1) {
    i32 chain = static_cast<i32>(grow());
    table.slots[static_cast<u32>(index)].next = chain;
  }
  Slot& slot = table.slots[static_cast<u32>(index)];  // the growth may have moved the table
  table.free_head = slot.next;
  slot = Slot{flags & ~mark_bit, table.used_head, object};
  table.used_head = index;
  return index;
}

void replace_object(i32 index, void* object) {
  KIV_ASSERT(in_use(index), "replace_object on a slot that is not in use");
  Slot& s = table.slots[static_cast<u32>(index)];
  void* old = s.object;
  s.object = object;
  if (old != object) release(s.flags & kind_mask, old);
}

i32 remove(i32 index, bool release_object) {
  KIV_ASSERT(in_use(index), "remove of a slot that is not in use");
  Slot s = table.slots[static_cast<u32>(index)];
  if (table.used_head == index) {
    table.used_head = s.next;
  } else {
    i32 prev = table.used_head;
    while (prev != -1 && table.slots[static_cast<u32>(prev)].next != index) prev = table.slots[static_cast<u32>(prev)].next;
    KIV_ASSERT(prev != -1, "used slot missing from the used list");
    table.slots[static_cast<u32>(prev)].next = s.next;
  }
  push_free(index);
  // Released once the table is consistent again: the procedure may register or remove slots.
  if (release_object) release(s.flags & kind_mask, s.object);
  return -1;
}

i32 mark(i32 index, void* object) {
  // A stale reference to a slot that is gone marks nothing.
  if (!in_use(index)) return 0;
  Slot& s = table.slots[static_cast<u32>(index)];
  if (object) s.object = object;
  if (s.flags & mark_bit) return 0;
  s.flags |= mark_bit;
  return 1;
}

void sweep() {
  i32 prev = -1;
  for (i32 i = table.used_head; i != -1;) {
    Slot& s = table.slots[static_cast<u32>(i)];
    i32 next = s.next;
    if (s.flags & mark_bit) {
      s.flags &= ~mark_bit;
      prev = i;
    } else {
      if (prev == -1) {
        table.used_head = next;
      } else {
        table.slots[static_cast<u32>(prev)].next = next;
      }
      u32 kind = s.flags & kind_mask;
      if (kind >= 1 && kind <= table.kind_count && table.kinds[kind - 1].release) {
        table.pending.push_back({kind, s.object});
      }
      push_free(i);
    }
    i = next;
  }
}

void run_pending_releases() {
  std::vector<PendingRelease> batch;
  batch.swap(table.pending);
  for (size_t i = 0; i < batch.size(); ++i) {
    try {
      release(batch[i].kind, batch[i].object);
    } catch (...) {
      // Whatever the releases queued meanwhile stays behind the ones not yet run.
      std::vector<PendingRelease> rest(batch.begin() + static_cast<std::ptrdiff_t>(i) + 1, batch.end());
      rest.insert(rest.end(), table.pending.begin(), table.pending.end());
      table.pending = std::move(rest);
      throw;
    }
  }
}

u32 used_count() {
  u32 n = 0;
  for (i32 i = table.used_head; i != -1; i = table.slots[static_cast<u32>(i)].next) ++n;
  return n;
}

}  // namespace kiv::externals
