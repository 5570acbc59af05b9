// Internal to the hash tables (hashtable.cpp, the value-keyed kinds; pointer_table.cpp, the
// pointer-keyed kinds and the collector's side): the storage of a table's arrays and entries.
#pragma once
#include <algorithm>

#include "runtime/hashtable.h"

namespace kiv::hashtable::internal {

constexpr u32 max_buckets = 1u << 27;  // a key array with hashes (8 bytes a bucket) stays a valid series
// The header of a pointer table's key cell while its entry is in use (0 once deleted).
constexpr u32 key_cell_header = type::unset;

inline SeriesBuffer* buf(u32 node) { return buffer_of(Ref<Node>(node)); }
inline Cell* cells_of(u32 node) { return buf(node)->head_ptr<Cell>(); }
inline i32 cell_count(u32 node) { return static_cast<i32>(buf(node)->used_bytes() / sizeof(Cell)); }

inline bool is_empty(const u32* flags, u32 i) { return (flags[i >> 4] >> ((i & 15) << 1)) & 2; }
inline bool is_live(const u32* flags, u32 i) { return bucket_flags(flags, i) == live_bucket; }
inline void clear_empty(u32* flags, u32 i) { flags[i >> 4] &= ~(2u << ((i & 15) << 1)); }

[[noreturn]] void too_big();
// The bucket count for `wanted` buckets: a power of two; too_big beyond max_buckets.
u32 buckets_for(i64 wanted);

// Byte arrays made here use their whole data area as content (tail at the end), so that copying
// and expanding a series keeps every byte. fill < 0: not filled.
Ref<Node> new_array(u32 bytes, int fill);
inline u32 flag_bytes(u32 buckets) { return std::max(buckets / 4, 4u); }
inline Ref<Node> new_flags(u32 buckets) { return new_array(flag_bytes(buckets), 0xAA); }
// Kinds 0 and 1 keep each live bucket's hash after the keys, in the same series (keys_of stays an
// int32 per bucket): a probe then passes over buckets of other hashes without reaching their cells,
// and a resize moves keys without hashing them again.
inline bool tagged_kind(i32 kind) { return kind == kind_hash || kind == kind_map; }
inline Ref<Node> new_keys(u32 buckets, i32 kind) { return new_array(buckets * (tagged_kind(kind) ? 8 : 4), -1); }
// Every bucket empty.
void fill_flags(const Table* t);

// The result of a probe.
struct Placement {
  i32 found = -1;  // live bucket holding an equal key
  i32 site = -1;   // where a new key goes, -1 when none (a full table)
};

// The entries of the pointer kinds: the entry width in bytes is kept where kind 0 keeps its reverse
// index.
inline u32 entry_width(const Table* t) { return t->indexes; }
inline i32 value_cells(const Table* t) { return static_cast<i32>(t->indexes / sizeof(Cell)) - 1; }
inline Cell* entry_at(const Table* t, i32 offset) {
  return reinterpret_cast<Cell*>(buf(t->blk)->head_ptr() + offset);
}

}  // namespace kiv::hashtable::internal
