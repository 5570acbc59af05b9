// The pointer map: 32-bit keys to 32-bit values in tracked memory, outside collected memory and
// unseen by the collector, which uses it as its forwarding map while it compacts. Same scheme as the
// hash tables: power-of-two buckets, two flag bits per bucket, triangular probing, fill limit 0.77,
// keys hashed with the 32-bit finaliser.
#pragma once
#include "runtime/base.h"

namespace kiv::pointer_map {

struct Entry {
  u32 key;
  u32 value;
};

struct PointerMap {
  i32 size;          // live entries
  u32* flags;        // bucket count / 4 bytes, two bits per bucket (0xAA: all empty)
  Entry* entries;    // one per bucket
  i32 n_occupied;    // live plus deleted buckets
  i32 n_buckets;
  i32 upper_bound;
};

// A map for n entries: pow2(max(n, 4) / 0.77) buckets, so make(0) has 8 buckets and a bound of 6.
PointerMap* make(i32 n);
void free(PointerMap* map);

// Adds the key or updates its value.
void put(PointerMap* map, u32 key, u32 value);
// The address of the key's value, or null.
u32* get(PointerMap* map, u32 key);
// The key's bucket, or -1.
i32 find(PointerMap* map, u32 key);
void delete_(PointerMap* map, u32 key);
void clear(PointerMap* map);
i32 size(const PointerMap* map);
// The next live entry after `entry` (the first for null), or null at the end.
Entry* next(PointerMap* map, Entry* entry);
// Moves the entries to pow2(request) buckets (at least 4). Answers 0, or -1 when the larger entry
// array cannot be had (the map is then unchanged). Does nothing when the entries would not fit.
i32 resize(PointerMap* map, i32 request);

}  // namespace kiv::pointer_map
