// The external-resource table: operating-system objects (bitmaps, fonts, graphics objects) owned
// by language values. Each object sits in a slot with a kind, and the kind names the procedure that
// releases it. Values refer to a slot by index (a handle! through payload word 3, an image! through
// its image record); the collector marks the slots that live values reach and sweeps the rest.
//
// Release procedures are foreign code and may allocate: none runs while a collection is in
// progress. The sweep only frees the slots and queues their objects; the collector calls
// run_pending_releases once the collection is over.
#pragma once
#include <vector>

#include "runtime/base.h"

namespace kiv::externals {

using Release = void (*)(void* object);

constexpr u32 max_kinds = 20;
constexpr u32 initial_slots = 1000;
constexpr u32 free_flags = 0x40000000;  // the flags word of a free slot
constexpr u32 mark_bit = 0x80000000;
constexpr u32 kind_mask = 0xFF;

struct Kind {
  const char* name;
  Release release;  // may be null: nothing to release
};

struct Slot {
  u32 flags;     // kind id in bits 0-7, collector mark in bit 31; exactly free_flags when free
  i32 next;      // next slot of the used list or of the free list; -1 ends a list
  void* object;  // null in a free slot
};

struct PendingRelease {
  u32 kind;
  void* object;
};

struct Table {
  Kind kinds[max_kinds];
  u32 kind_count = 0;
  std::vector<Slot> slots;
  i32 used_head = -1;  // newest registration first
  i32 free_head = -1;
  std::vector<PendingRelease> pending;
};

inline Table table;

// Kind table empty, 1,000 free slots threaded 0, 1, 2 ..., used list empty, nothing pending.
void init();
// Appends a kind and returns its 1-based id. More than 20 kinds is a fault of the program.
u32 register_kind(const char* name, Release release);
// Registers the object in a slot (the kind id in the flags' low 8 bits); returns the slot index.
// Taking the last free slot first doubles the table; indexes given out before stay valid.
i32 add(void* object, u32 flags);
// Stores a new object in a used slot, releasing the old one when it differs.
void replace_object(i32 index, void* object);
// Frees a used slot (releasing its object first when `release` is set); returns -1.
i32 remove(i32 index, bool release);
// Collector: marks the slot (storing the object when one is given); 1 when it was not marked yet.
i32 mark(i32 index, void* object);
// Calls proc(kind, object) for every used slot of the kind, newest first. The procedure may
// remove the slot it is given.
template <class Proc>
void for_each_of_kind(u32 kind, Proc&& proc) {
  for (i32 i = table.used_head; i != -1;) {
    Slot s = table.slots[static_cast<u32>(i)];
    i = s.next;  // read before the call, which may free the slot
    if ((s.flags & kind_mask) == kind) proc(kind, s.object);
  }
}
// Collector pass after marking: clears the marks of marked slots; unmarked slots are freed and
// their objects queued for release.
void sweep();
// Runs the queued releases (after the collection has finished). A release that throws leaves the
// ones after it queued.
void run_pending_releases();

// Used slots, for tests and statistics.
u32 used_count();
inline u32 capacity() { return static_cast<u32>(table.slots.size()); }

}  // namespace kiv::externals
