#include "runtime/pointer_map.h"

#include <algorithm>
#include <cstring>

#include "runtime/hashtable.h"
#include "runtime/sys.h"

namespace kiv::pointer_map {

namespace {

// Bigger maps would need an entry array beyond what one tracked block can hold.
constexpr u32 max_buckets = 1u << 27;

inline bool is_empty(const u32* f, u32 i) { return (f[i >> 4] >> ((i & 15) << 1)) & 2; }
inline bool is_deleted(const u32* f, u32 i) { return (f[i >> 4] >> ((i & 15) << 1)) & 1; }
inline bool is_either(const u32* f, u32 i) { return (f[i >> 4] >> ((i & 15) << 1)) & 3; }
inline void set_deleted(u32* f, u32 i) { f[i >> 4] |= 1u << ((i & 15) << 1); }
inline void set_live(u32* f, u32 i) { f[i >> 4] &= ~(3u << ((i & 15) << 1)); }
inline void clear_empty(u32* f, u32 i) { f[i >> 4] &= ~(2u << ((i & 15) << 1)); }

inline i32 flag_bytes(u32 buckets) { return static_cast<i32>(std::max(buckets / 4, 4u)); }

u32* new_flags(u32 buckets) {
  auto* f = static_cast<u32*>(sys::allocate(flag_bytes(buckets)));
  std::memset(f, 0xAA, static_cast<size_t>(flag_bytes(buckets)));
  return f;
}

}  // namespace

PointerMap* make(i32 n) {
  auto* m = static_cast<PointerMap*>(sys::allocate_zeroed(sizeof(PointerMap)));
  u32 wanted = static_cast<u32>(std::max(n, 4) / hashtable::load_factor);
  u32 buckets = hashtable::pow2(std::min(wanted, max_buckets));
  m->n_buckets = static_cast<i32>(buckets);
  m->upper_bound = static_cast<i32>(buckets * hashtable::load_factor);
  m->flags = new_flags(buckets);
  m->entries = static_cast<Entry*>(sys::allocate(static_cast<i32>(buckets * sizeof(Entry))));
  return m;
}

void free(PointerMap* map) {
  if (!map) return;
  sys::free(map->flags);
  sys::free(map->entries);
  sys::free(map);
}

i32 find(PointerMap* map, u32 key) {
  const u32 mask = static_cast<u32>(map->n_buckets) - 1;
  const u32 start = hashtable::hash_pointer(key) & mask;
  u32 i = start;
  for (u32 step = 1;; ++step) {
    if (is_empty(map->flags, i)) return -1;
    if (!is_deleted(map->flags, i) && map->entries[i].key == key) return static_cast<i32>(i);
    i = (i + step) & mask;
    if (i == start) return -1;
  }
}

u32* get(PointerMap* map, u32 key) {
  i32 i = find(map, key);
  return i < 0 ? nullptr : &map->entries[i].value;
}

void put(PointerMap* map, u32 key, u32 value) {
  if (map->n_occupied >= map->upper_bound) {
    // Many deleted buckets: rehash at the same size; otherwise double.
    i32 request = map->size * 2 < map->n_buckets ? map->n_buckets - 1 : map->n_buckets + 1;
    if (resize(map, request) < 0 && map->n_occupied >= map->n_buckets) sys::quit(sys::Fatal::out_of_memory);
  }
  const u32 mask = static_cast<u32>(map->n_buckets) - 1;
  const u32 start = hashtable::hash_pointer(key) & mask;
  i32 site = -1, found = -1, empty = -1;
  u32 i = start;
  for (u32 step = 1;; ++step) {
    if (is_empty(map->flags, i)) {
      empty = static_cast<i32>(i);
      break;
    }
    if (is_deleted(map->flags, i)) {
      if (site < 0) site = static_cast<i32>(i);
    } else if (map->entries[i].key == key) {
      found = static_cast<i32>(i);
      break;
    }
    i = (i + step) & mask;
    if (i == start) break;
  }
  if (found >= 0) {
    map->entries[found].value = value;
    return;
  }
  i32 x = site >= 0 ? site : empty;
  if (x < 0) sys::quit(sys::Fatal::out_of_memory);  // cannot happen: the fill limit keeps buckets free
  if (is_empty(map->flags, static_cast<u32>(x))) ++map->n_occupied;
  set_live(map->flags, static_cast<u32>(x));
  map->entries[x] = {key, value};
  ++map->size;
}

void delete_(PointerMap* map, u32 key) {
  i32 i = find(map, key);
  if (i < 0) return;
  set_deleted(map->flags, static_cast<u32>(i));
  --map->size;
}

void clear(PointerMap* map) {
  std::memset(map->flags, 0xAA, static_cast<size_t>(flag_bytes(static_cast<u32>(map->n_buckets))));
  map->size = 0;
  map->n_occupied = 0;
}

i32 size(const PointerMap* map) { return map->size; }

Entry* next(PointerMap* map, Entry* entry) {
  u32 i = entry ? static_cast<u32>(entry - map->entries) + 1 : 0;
  for (u32 n = static_cast<u32>(map->n_buckets); i < n; ++i)
    if (!is_either(map->flags, i)) return &map->entries[i];
  return nullptr;
}

i32 resize(PointerMap* map, i32 request) {
  if (request > static_cast<i32>(max_buckets)) return -1;
  const u32 buckets = std::max(hashtable::pow2(static_cast<u32>(std::max(request, 0))), 4u);
  const i32 upper = static_cast<i32>(buckets * hashtable::load_factor + 0.5);
  if (map->size >= upper) return 0;
  u32* fresh = new_flags(buckets);
  const u32 old_buckets = static_cast<u32>(map->n_buckets);
  if (buckets > old_buckets)
    map->entries = static_cast<Entry*>(sys::resize(map->entries, static_cast<i32>(buckets * sizeof(Entry))));
  // The eviction walk: each live entry goes to the first empty bucket of its new probe sequence,
  // carrying on any entry found there that has not moved yet.
  const u32 mask = buckets - 1;
  for (u32 j = 0; j < old_buckets; ++j) {
    if (is_either(map->flags, j)) continue;
    Entry e = map->entries[j];
    set_deleted(map->flags, j);
    for (;;) {
      u32 i = hashtable::hash_pointer(e.key) & mask;
      for (u32 step = 1; !is_empty(fresh, i); ++step) i = (i + step) & mask;
      clear_empty(fresh, i);
      if (i < old_buckets && !is_either(map->flags, i)) {
        std::swap(e, map->entries[i]);
        set_deleted(map->flags, i);
      } else {
        map->entries[i] = e;
        break;
      }
    }
  }
  if (buckets < old_buckets)
    map->entries = static_cast<Entry*>(sys::resize(map->entries, static_cast<i32>(buckets * sizeof(Entry))));
  sys::free(map->flags);
  map->flags = fresh;
  map->n_buckets = static_cast<i32>(buckets);
  map->upper_bound = upper;
  map->n_occupied = map->size;
  return 0;
}

}  // namespace kiv::pointer_map
