// The value-keyed kinds of hash table (open addressing over a backing block) and the hashing.
#include "runtime/hashtable.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/array.h"
#include "runtime/case_table.h"
#include "runtime/collector.h"
#include "runtime/hashtable_internal.h"
#include "runtime/hooks.h"
#include "runtime/random.h"
#include "runtime/roots.h"
#include "runtime/sys.h"

namespace kiv::hashtable {

using namespace internal;

// ---- Storage helpers -----------------------------------------------------------------------
// Helpers that may allocate take the table by reference to the caller's rooted variable, which the
// collector rewrites when the node moves.

namespace internal {

void too_big() { raise_error(ErrorCategory::internal, "no-memory"); }

u32 buckets_for(i64 wanted) {
  if (wanted < 0) wanted = 0;
  if (wanted > i64{max_buckets}) too_big();
  return pow2(static_cast<u32>(wanted));
}

Ref<Node> new_array(u32 bytes, int fill) {
  Ref<Node> n = fill >= 0 ? memory::alloc_bytes_filled(static_cast<i32>(bytes), static_cast<u8>(fill))
                          : memory::alloc_bytes(static_cast<i32>(bytes));
  SeriesBuffer* b = buffer_of(n);
  b->tail = b->head + b->size;
  return n;
}

void fill_flags(const Table* t) {
  SeriesBuffer* b = buf(t->flags);
  std::memset(b->data(), 0xAA, b->size);
}

}  // namespace internal

namespace {

inline u32* tags_of(const Table* t) { return reinterpret_cast<u32*>(keys_of(t) + t->n_buckets); }

// The reverse index of kind 0: capacity in entries, and the entry of a position (-1 beyond it).
inline i32* reverse_of(const Table* t) { return buf(t->indexes)->head_ptr<i32>(); }
inline i32 reverse_capacity(const Table* t) { return static_cast<i32>(buf(t->indexes)->size / 4); }
inline i32 reverse_at(const Table* t, i32 p) {
  return p >= 0 && p < reverse_capacity(t) ? reverse_of(t)[p] : -1;
}
// Makes room for entries [0, n); new entries are -1.
void reserve_reverse(Ref<Node>& table, i32 n) {
  Table* t = record_of(table);
  if (n <= reverse_capacity(t)) return;
  i64 bytes = i64{n} * 8;
  if (bytes > memory::max_data_size) too_big();
  SeriesBuffer* b = memory::expand_series_filled(buf(t->indexes), static_cast<i32>(bytes), 0xFF);
  b->tail = b->head + b->size;
}
void fill_reverse(const Table* t) {
  SeriesBuffer* b = buf(t->indexes);
  std::memset(b->data(), 0xFF, b->size);
}

// Chains of kind 0: chain k is entry k (1-based) of the chain list.
inline Ref<Node> chain_list(const Table* t) { return Ref<Node>(t->chains); }
inline Ref<Node> chain_at(const Table* t, i32 k) { return Ref<Node>(static_cast<u32>(array::pick_int32(chain_list(t), k))); }
inline i32 chain_length(Ref<Node> c) { return array::length(c); }
inline i32* chain_data(Ref<Node> c) { return buffer_of(c)->head_ptr<i32>(); }

// The position of the first key of a bucket's key word (a single position, or -chain number).
inline i32 first_position(const Table* t, i32 key) { return key >= 0 ? key : chain_data(chain_at(t, -key))[0]; }

// ---- Hashing ------------------------------------------------------------------------------------

inline u32 rotl(u32 x, int r) { return (x << r) | (x >> (32 - r)); }
inline u32 fmix(u32 h) {
  h ^= h >> 16;
  h *= 0x85ebca6b;
  h ^= h >> 13;
  h *= 0xc2b2ae35;
  h ^= h >> 16;
  return h;
}
inline u32 mix_block(u32 h, u32 k) {
  k *= 0xcc9e2d51;
  k = rotl(k, 15);
  k *= 0x1b873593;
  h ^= k;
  h = rotl(h, 13);
  return h * 5 + 0xe6546b64;
}
inline u32 fold_byte(u32 c) { return c - 'A' < 26 ? c + 32 : c; }

template <bool Fold>
u32 murmur(const u8* p, i32 length) {
  u32 h = random::hash_seed;
  i32 blocks = length / 4;
  for (i32 i = 0; i < blocks; ++i, p += 4) {
    u32 k;
    if constexpr (Fold) {
      k = fold_byte(p[0]) | fold_byte(p[1]) << 8 | fold_byte(p[2]) << 16 | fold_byte(p[3]) << 24;
    } else {
      std::memcpy(&k, p, 4);
    }
    h = mix_block(h, k);
  }
  u32 k = 0;
  auto byte = [&](int i) { return Fold ? fold_byte(p[i]) : u32{p[i]}; };
  switch (length & 3) {
    case 3: k ^= byte(2) << 16; [[fallthrough]];
    case 2: k ^= byte(1) << 8; [[fallthrough]];
    case 1:
      k ^= byte(0);
      k *= 0xcc9e2d51;
      k = rotl(k, 15);
      k *= 0x1b873593;
      h ^= k;
  }
  return fmix(h ^ static_cast<u32>(length));
}

inline u32 fold_upper(u32 c) {
  if (c < 0x80) return c - 'a' < 26 ? c - 32 : c;
  return static_cast<u32>(unicode::to_upper_char(static_cast<i32>(c)));
}

template <class Unit, bool Fold>
u32 hash_units(const std::byte* p, i32 n) {
  u32 h = random::hash_seed;
  for (i32 i = 0; i < n; ++i) {
    Unit u;
    std::memcpy(&u, p + i * sizeof(Unit), sizeof(Unit));
    u32 c = static_cast<u32>(u);
    if constexpr (Fold) c = fold_upper(c);
    h = mix_block(h, c);
  }
  return fmix(h ^ static_cast<u32>(n) * 4);
}

u32 murmur_words(const Cell* c, int first, int count) {
  u32 w[3] = {c->w1, c->w2, c->w3};
  return murmur<false>(reinterpret_cast<const u8*>(w + first - 1), count * 4);
}

// ---- Key comparison ---------------------------------------------------------------------------

// Whether a stored key cell equals the probe under op. The cells are copies held by the caller.
bool keys_equal(const Cell* key, const Cell* probe, i32 op) {
  if (KeyEqualProc p = key_equalities[probe->type()]) return p(key, probe, op);
  return hooks::compare_values(key, probe, op) == 0;
}

// ---- Probing the value-keyed kinds ----------------------------------------------------------

// Probes for the cell at `index` of the backing block with the insertion equality of the kind
// (kind 0: same type and equal; kinds 1-2: strictly equal). Buffers are re-read after every
// comparison, which may allocate.
Placement probe_for_put(Ref<Node>& table, const Cell* key, u32 hash) {
  Placement r;
  Table* t = record_of(table);
  const bool chains = t->kind == kind_hash;
  const bool tagged = tagged_kind(t->kind);
  const i32 op = chains ? compare_op::equal : compare_op::strict_equal;
  const u32 mask = static_cast<u32>(t->n_buckets) - 1;
  const u32 start = hash & mask;
  i32 deleted = -1;
  Cell other{};
  RootCell keep(other);
  u32 i = start;
  for (u32 step = 1;; ++step) {
    t = record_of(table);
    const u32* flags = flags_of(t);
    u32 f = bucket_flags(flags, i);
    if (f == empty_bucket) {
      r.site = deleted >= 0 ? deleted : static_cast<i32>(i);
      return r;
    }
    if (f == deleted_bucket) {
      if (deleted < 0) deleted = static_cast<i32>(i);
    } else if (!tagged || tags_of(t)[i] == hash) {
      other = cells_of(t->blk)[first_position(t, keys_of(t)[i])];
      if (other.type() == key->type() && keys_equal(&other, key, op)) {
        r.found = static_cast<i32>(i);
        return r;
      }
    }
    i = (i + step) & mask;
    if (i == start) break;
  }
  r.site = deleted;
  return r;
}

void count_claim(Table* t, u32 bucket) {
  if (is_empty(flags_of(t), bucket)) ++t->n_occupied;
  ++t->size;
}

// Adds position `index` to the chain of a kind-0 bucket (making the chain from its single index
// first).
void add_to_chain(Ref<Node>& table, u32 bucket, i32 index) {
  Table* t = record_of(table);
  i32 key = keys_of(t)[bucket];
  if (key < 0) {
    array::append_int32(chain_at(t, -key), index);
    return;
  }
  Ref<Node> chain = array::make(4, 4);
  RootNode keep(chain);
  array::append_int32(chain, key);
  array::append_int32(chain, index);
  // The list may grow, and the chain move, while the slot is appended: fill it in afterwards.
  array::append_int32(chain_list(record_of(table)), 0);
  t = record_of(table);
  i32 number = array::length(chain_list(t));
  array::poke_int32(chain_list(t), number, static_cast<i32>(chain.offset()));
  keys_of(t)[bucket] = -number;
}

void grow_before_put(Ref<Node>& table, bool* rebuilt) {
  Table* t = record_of(table);
  *rebuilt = false;
  if (t->n_occupied < t->upper_bound) return;
  switch (t->kind) {
    case kind_hash:
      reset(table, t->size * 2 < t->n_buckets ? t->n_buckets - 1 : t->n_buckets + 1);
      *rebuilt = true;
      break;
    case kind_word:
      grow_word_table(table);
      break;
    default:
      resize(table, t->n_buckets + 1);
      break;
  }
}

// Positions chosen by a kind-0 find among the indexes of one bucket.
struct Choice {
  i32 head, skip;
  bool last, reverse;
  i32 best = -1;

  bool counts(i32 l) const {
    if (reverse ? l >= head : l < head) return false;
    i32 dist = (last || reverse) ? head - l - 1 : l - head;
    i32 r = dist % skip;
    if (r < 0) r += skip;
    return r == 0;
  }
  void offer(i32 l) {
    if (!counts(l)) return;
    if (best < 0 || ((last || reverse) ? l > best : l < best)) best = l;
  }
};

// Applies a renumbering of positions [lo, hi) to the keys and chains of a kind-0 table, visiting
// each chain once (renumbered entries may collide with ones not yet visited, so nothing is looked up
// by value). With permute_reverse the reverse index entries move along: entry p goes to f(p), and
// the entries of [lo, hi) that nothing moves into become -1.
template <class F>
void renumber(Ref<Node>& table, i32 lo, i32 hi, bool permute_reverse, F f) {
  Table* t = record_of(table);
  if (hi <= lo) return;
  std::vector<u8> done(static_cast<size_t>(array::length(chain_list(t))) + 1, 0);
  i32* keys = keys_of(t);
  std::vector<i32> moved(static_cast<size_t>(hi - lo));
  for (i32 p = lo; p < hi; ++p) {
    i32 b = reverse_at(t, p);
    moved[static_cast<size_t>(p - lo)] = b;
    if (b < 1) continue;
    i32& key = keys[b - 1];
    if (key >= 0) {
      key = f(key);
    } else if (!done[static_cast<size_t>(-key)]) {
      done[static_cast<size_t>(-key)] = 1;
      Ref<Node> c = chain_at(t, -key);
      i32* e = chain_data(c);
      for (i32 j = 0, n = chain_length(c); j < n; ++j) e[j] = f(e[j]);
    }
  }
  if (!permute_reverse) return;
  i32* rev = reverse_of(t);
  i32 cap = reverse_capacity(t);
  for (i32 p = lo; p < std::min(hi, cap); ++p) rev[p] = -1;
  for (i32 p = lo; p < hi; ++p) {
    i32 q = f(p);
    if (q >= 0 && q < cap) rev[q] = moved[static_cast<size_t>(p - lo)];
  }
}

}  // namespace

// ---- Hashing ------------------------------------------------------------------------------------

u32 compaction_count() { return collector::nodes_cycles; }

u32 pow2(u32 x) {
  if (x <= 1) return x;
  return u32{1} << (32 - std::countl_zero(x - 1));
}

u32 murmur3_32(const void* bytes, i32 length) { return murmur<false>(static_cast<const u8*>(bytes), length); }

u32 murmur3_32_folded(const void* bytes, i32 length) { return murmur<true>(static_cast<const u8*>(bytes), length); }

u32 hash_pointer(u32 value) { return fmix(value); }

u32 hash_chars(const std::byte* p, i32 n, u32 unit, bool case_) {
  switch (unit) {
    case 1: return case_ ? hash_units<u8, false>(p, n) : hash_units<u8, true>(p, n);
    case 2: return case_ ? hash_units<u16, false>(p, n) : hash_units<u16, true>(p, n);
    default: return case_ ? hash_units<u32, false>(p, n) : hash_units<u32, true>(p, n);
  }
}

void set_hash_procedure(u32 type_id, HashProc proc, bool identity) {
  if (type_id >= type_slots) return;
  hash_procedures[type_id] = proc;
  identity_hashed[type_id] = identity;
}

void set_key_equality(u32 type_id, KeyEqualProc proc) {
  if (type_id < type_slots) key_equalities[type_id] = proc;
}

u32 hash_word1(const Cell* v, bool) { return hash_pointer(v->w1); }
u32 hash_word2(const Cell* v, bool) { return hash_pointer(v->w2); }
u32 hash_word3(const Cell* v, bool) { return hash_pointer(v->w3); }
u32 hash_words12(const Cell* v, bool) { return murmur_words(v, 1, 2); }
u32 hash_words23(const Cell* v, bool) { return murmur_words(v, 2, 2); }
u32 hash_words123(const Cell* v, bool) { return murmur_words(v, 1, 3); }

const u8* fold_ascii(const u8* bytes, i32 length) {
  static u8* scratch = nullptr;
  static i32 capacity = 0;
  if (length > capacity) {
    capacity = std::max(length, 256);
    scratch = static_cast<u8*>(sys::resize(scratch, capacity));
  }
  for (i32 i = 0; i < length; ++i) scratch[i] = static_cast<u8>(fold_byte(bytes[i]));
  return scratch;
}

bool compare_names(const u8* a, const u8* b, i32 length, bool fold) {
  if (!fold) return std::memcmp(a, b, static_cast<size_t>(length)) == 0;
  for (i32 i = 0; i < length; ++i)
    if (a[i] != b[i] && fold_byte(a[i]) != fold_byte(b[i])) return false;
  return true;
}

// ---- Value-keyed tables ---------------------------------------------------------------------

Ref<Node> make(i32 size, const Cell* blk, i32 kind, i32 n) {
  Cell value = blk ? *blk : Cell{type::none, 0, 0, 0};
  RootCell keep_value(value);
  if (kind == kind_word && n == 2 && blk && value.type() == type::context) return clone_word_table(Ref<Node>(value.w1));

  if (size < 4) size = 4;
  if (kind == kind_word && size >= 4000) size = size > (1 << 29) ? (1 << 30) : size * 2;
  u32 buckets = buckets_for(static_cast<i64>(size / load_factor));

  Ref<Node> table = new_array(sizeof(Table), 0);
  // Marks the record as a table's, so that a node root on it keeps the whole table.
  buffer_of(table)->flags |= collector::table_record_flag;
  Root keep(table);
  {
    Table* t = record_of(table);
    t->kind = kind;
    t->n_buckets = static_cast<i32>(buckets);
    t->upper_bound = static_cast<i32>(buckets * load_factor);
  }
  Ref<Node> a = new_flags(buckets);
  record_of(table)->flags = a.offset();
  a = new_keys(buckets, kind);
  record_of(table)->keys = a.offset();

  if (kind == kind_hash) {
    a = new_array(static_cast<u32>(size) * 4, 0xFF);
    record_of(table)->indexes = a.offset();
    a = array::make(4, 4);
    record_of(table)->chains = a.offset();
  } else if (kind >= kind_pointer) {
    Table* t = record_of(table);
    t->indexes = static_cast<u32>(sizeof(Cell) * (std::max(n, 0) + 1));
    t->stamp = compaction_count() + 1;
  }

  if (kind <= kind_word && blk && value.type() != type::none) {
    record_of(table)->blk = value.w2;
    // A block value: its head index in w1, its node in w2.
    fill_from_block(table, std::max(static_cast<i32>(value.w1), 0), kind == kind_map ? 2 : 1);
  } else {
    a = memory::alloc_cells(size);
    record_of(table)->blk = a.offset();
  }
  return table;
}

void reset(Ref<Node> table, i32 n) {
  // Identities hashed before a collection that moves nodes would not match those hashed after it.
  collector::Suspend hold;
  Root keep(table);
  u32 wanted = buckets_for(static_cast<i64>(std::max(n, 0) * 1.5));
  u32 buckets = std::max(wanted, 4u);
  Ref<Node> f = new_flags(buckets);
  record_of(table)->flags = f.offset();
  Ref<Node> k = new_keys(buckets, record_of(table)->kind);
  Table* t = record_of(table);
  t->keys = k.offset();
  t->n_buckets = static_cast<i32>(buckets);
  t->upper_bound = static_cast<i32>(wanted * load_factor);
  t->size = 0;
  t->n_occupied = 0;
  if (t->kind == kind_hash) {
    t->stamp = 0;
    array::clear(chain_list(t));
    fill_reverse(t);
  }
  fill_from_block(table, 0, t->kind == kind_map ? 2 : 1);
}

void put_index(Ref<Node> table, i32 index, i32* status) {
  Root keep(table);
  if (status) *status = 0;
  if (record_of(table)->kind >= kind_pointer) return;
  bool rebuilt;
  grow_before_put(table, &rebuilt);
  if (rebuilt) {
    if (status) *status = 2;
    return;
  }
  Table* t = record_of(table);
  // A cell indexed already (a rebuild indexed the whole block) is not added twice.
  if (t->kind == kind_hash && reverse_at(t, index) >= 1) return;
  Cell key = cells_of(t->blk)[index];
  RootCell keep_key(key);
  u32 hash = hash_value(&key, false);
  t = record_of(table);
  if (t->kind == kind_hash && t->stamp == 0 && identity_hashed[key.type()]) t->stamp = compaction_count() + 1;

  Placement at = probe_for_put(table, &key, hash);
  t = record_of(table);
  if (at.found >= 0) {
    if (t->kind != kind_hash) return;
    add_to_chain(table, static_cast<u32>(at.found), index);
  } else {
    if (at.site < 0) raise_error(ErrorCategory::internal, "no-memory");  // the fill limit prevents this
    count_claim(t, static_cast<u32>(at.site));
    set_live(t, static_cast<u32>(at.site), index);
    if (tagged_kind(t->kind)) tags_of(t)[at.site] = hash;
    if (t->kind != kind_hash) return;
  }
  reserve_reverse(table, index + 1);
  reverse_of(record_of(table))[index] = (at.found >= 0 ? at.found : at.site) + 1;
}

Cell* put_with_status(Ref<Node> table, Cell* cell, i32* status) {
  Table* t = record_of(table);
  i32 index = static_cast<i32>(cell - cells_of(t->blk));
  put_index(table, index, status);
  return cells_of(record_of(table)->blk) + index;
}

Cell* put(Ref<Node> table, Cell* cell) {
  i32 status;
  return put_with_status(table, cell, &status);
}

void fill_from_block(Ref<Node> table, i32 first, i32 step) {
  Root keep(table);
  if (step < 1) step = 1;
  Table* t = record_of(table);
  if (t->kind != kind_map) {
    for (i64 i = first; i < cell_count(record_of(table)->blk); i += step) {  // 64 bits: no wrap
      i32 status;
      put_index(table, static_cast<i32>(i), &status);
      if (status == 2) return;
    }
    return;
  }
  Ref<Node> blk(t->blk);
  RootNode keep_blk(blk);
  for (i32 i = first; i < cell_count(blk.offset());) {
    Cell key = cells_of(blk.offset())[i];
    RootCell keep_key(key);
    i32 j = find_index(table, &key, 0, 1, compare_op::strict_equal, false, false);
    if (j < 0) {
      put_index(table, i);
      if (hooks::map_normalize_key) hooks::map_normalize_key(blk, i);
      i += step;
      continue;
    }
    // A repeated key: the first pair takes this value and this pair leaves the block.
    SeriesBuffer* b = buffer_of(blk);
    Cell* c = b->head_ptr<Cell>();
    i32 n = cell_count(blk.offset());
    i32 gone = std::min(2, n - i);
    if (gone == 2) c[j + 1] = c[i + 1];
    std::memmove(c + i, c + i + gone, static_cast<size_t>(n - i - gone) * sizeof(Cell));
    b->tail -= static_cast<u32>(gone) * sizeof(Cell);
  }
}

i32 find_index(Ref<Node> table, const Cell* value, i32 head, i32 skip, i32 op, bool last, bool reverse) {
  Root keep(table);
  Cell probe = *value;
  RootCell keep_probe(probe);
  check_compaction(table);
  Table* t = record_of(table);
  const i32 kind = t->kind;
  if (kind >= kind_pointer) return -1;
  if (kind == kind_map && hooks::map_normalize_probe) hooks::map_normalize_probe(&probe);
  const u32 hash = hash_value(&probe, false);
  const u32 mask = static_cast<u32>(t->n_buckets) - 1;
  const u32 start = hash & mask;
  const bool tagged = tagged_kind(kind);
  Choice choice{head, skip < 1 ? 1 : skip, last, reverse};
  Cell key{};
  RootCell keep_key(key);
  u32 i = start;
  for (u32 step = 1;; ++step) {
    t = record_of(table);
    u32 f = bucket_flags(flags_of(t), i);
    if (f == empty_bucket) return -1;
    if (f == live_bucket && (!tagged || tags_of(t)[i] == hash)) {
      i32 k = keys_of(t)[i];
      if (kind != kind_hash) {
        key = cells_of(t->blk)[k];
        if ((key.type() == probe.type() || probe.type() == lookup_key_type) && keys_equal(&key, &probe, op)) return k;
      } else {
        key = cells_of(t->blk)[first_position(t, k)];
        if (key.type() == probe.type() && keys_equal(&key, &probe, compare_op::equal)) {
          choice.best = -1;
          if (k >= 0) {
            if (op == compare_op::equal || keys_equal(&key, &probe, op)) choice.offer(k);
          } else {
            // Copy the chain: comparisons may allocate and move it.
            Ref<Node> c = chain_at(t, -k);
            std::vector<i32> members(chain_data(c), chain_data(c) + chain_length(c));
            for (i32 l : members) {
              if (!choice.counts(l)) continue;
              key = cells_of(record_of(table)->blk)[l];
              if (keys_equal(&key, &probe, op)) choice.offer(l);
            }
          }
          if (choice.best >= 0) return choice.best;
        }
      }
    }
    i = (i + step) & mask;
    if (i == start) return -1;
  }
}

Cell* find(Ref<Node> table, const Cell* value, i32 head, i32 skip, i32 op, bool last, bool reverse) {
  i32 k = find_index(table, value, head, skip, op, last, reverse);
  return k < 0 ? nullptr : cells_of(record_of(table)->blk) + k;
}

Cell* find_next(Ref<Node> table, const Cell* value, ProbeState* state) {
  Root keep(table);
  if (state->bucket == -2) return nullptr;
  Cell probe = *value;
  RootCell keep_probe(probe);
  Table* t = record_of(table);
  if (t->kind == kind_map && hooks::map_normalize_probe) hooks::map_normalize_probe(&probe);
  const u32 mask = static_cast<u32>(t->n_buckets) - 1;
  const u32 hash = hash_value(&probe, false);
  const bool tagged = tagged_kind(t->kind);
  u32 i;
  if (state->bucket < 0) {
    state->start = static_cast<i32>(hash & mask);
    state->step = 0;
    i = static_cast<u32>(state->start);
  } else {
    i = (static_cast<u32>(state->bucket) + static_cast<u32>(++state->step)) & mask;
    if (i == static_cast<u32>(state->start)) {
      state->bucket = -2;
      return nullptr;
    }
  }
  Cell key{};
  RootCell keep_key(key);
  for (;;) {
    t = record_of(table);
    u32 f = bucket_flags(flags_of(t), i);
    if (f == empty_bucket) break;
    if (f == live_bucket && t->kind != kind_hash && (!tagged || tags_of(t)[i] == hash)) {
      i32 k = keys_of(t)[i];
      key = cells_of(t->blk)[k];
      if ((key.type() == probe.type() || probe.type() == lookup_key_type) &&
          keys_equal(&key, &probe, compare_op::equal)) {
        state->bucket = static_cast<i32>(i);
        return cells_of(record_of(table)->blk) + k;
      }
    }
    i = (i + static_cast<u32>(++state->step)) & mask;
    if (i == static_cast<u32>(state->start)) break;
  }
  state->bucket = -2;
  return nullptr;
}

void delete_index(Ref<Node> table, i32 index) {
  Root keep(table);
  Table* t = record_of(table);
  switch (t->kind) {
    case kind_hash: {
      i32 b = reverse_at(t, index);
      if (b < 1) return;
      reverse_of(t)[index] = -1;
      u32 bucket = static_cast<u32>(b - 1);
      i32 key = keys_of(t)[bucket];
      if (key < 0) {
        Ref<Node> c = chain_at(t, -key);
        i32 off = array::find_int32(c, index);
        if (off >= 0) array::remove_bytes(c, off, 4);
        if (chain_length(c) > 0) return;
        array::poke_int32(chain_list(t), -key, 0);
      }
      set_deleted(flags_of(t), bucket);
      --t->size;
      return;
    }
    case kind_map: {
      if (index + 1 >= cell_count(t->blk)) return;
      Cell* v = cells_of(t->blk) + index + 1;
      if (v->header == 0) return;  // already removed
      v->header = 0;
      --t->size;
      return;
    }
    case kind_word: {
      Cell key = cells_of(t->blk)[index];
      const u32 mask = static_cast<u32>(t->n_buckets) - 1;
      const u32 start = hash_value(&key, false) & mask;
      u32* flags = flags_of(t);
      i32* keys = keys_of(t);
      u32 i = start;
      for (u32 step = 1;; ++step) {
        if (is_empty(flags, i)) return;
        if (is_live(flags, i) && keys[i] == index) {
          set_deleted(flags, i);
          --t->size;
          return;
        }
        i = (i + step) & mask;
        if (i == start) return;
      }
    }
    default:
      return;
  }
}

void delete_(Ref<Node> table, Cell* cell) {
  delete_index(table, static_cast<i32>(cell - cells_of(record_of(table)->blk)));
}

void remove_range(Ref<Node> table, i32 first, i32 count) {
  Root keep(table);
  Table* t = record_of(table);
  i32 n = cell_count(t->blk);
  if (first < 0) {
    count += first;
    first = 0;
  }
  count = std::min(count, n - first);
  if (count <= 0) return;
  if (first == 0 && count == n) {
    clear(table);
    return;
  }
  for (i32 p = first; p < first + count; ++p) delete_index(table, p);
}

i32 shift_indexes(Ref<Node> table, i32 d, i32 c, i32 n, bool move_reverse) {
  if (n > max_shift) return 1;
  Root keep(table);
  if (record_of(table)->kind != kind_hash || d == 0 || n < 0) return 0;
  if (move_reverse && d < 0)
    for (i32 p = std::max(c + d, 0); p < c; ++p) delete_index(table, p);
  if (move_reverse) reserve_reverse(table, std::max(c + n, c + n + d));
  const i32 lo = c, hi = c + n;
  renumber(table, lo, hi, move_reverse, [=](i32 x) { return x >= lo && x < hi ? x + d : x; });
  return 0;
}

void move_indexes(Ref<Node> table, i32 b, i32 c, i32 n) {
  if (n <= 0 || b == c) return;
  Root keep(table);
  if (record_of(table)->kind != kind_hash) return;
  if (b > c) {
    reserve_reverse(table, b + n);
    renumber(table, c, b + n, true, [=](i32 x) {
      if (x >= c && x < c + n) return x + (b - c);
      if (x >= c + n && x < b + n) return x - n;
      return x;
    });
  } else {
    reserve_reverse(table, c + n);
    renumber(table, b, c + n, true, [=](i32 x) {
      if (x >= c && x < c + n) return x - (c - b);
      if (x >= b && x < c) return x + n;
      return x;
    });
  }
}

Ref<Node> copy(Ref<Node> table, Ref<Node> blk) {
  Root keep(table);
  RootNode keep_blk(blk);
  Ref<Node> out = memory::copy_series(buffer_of(table));
  Root keep_out(out);
  Ref<Node> a = memory::copy_series(buf(record_of(table)->flags));
  record_of(out)->flags = a.offset();
  a = memory::copy_series(buf(record_of(table)->keys));
  record_of(out)->keys = a.offset();
  if (!blk) blk = memory::copy_series(buf(record_of(table)->blk));
  record_of(out)->blk = blk.offset();
  if (record_of(table)->kind == kind_hash) {
    a = memory::copy_series(buf(record_of(table)->indexes));
    record_of(out)->indexes = a.offset();
    a = array::copy(chain_list(record_of(table)));
    record_of(out)->chains = a.offset();
    // Each table owns its chains: a shared chain would let one table's changes reach the other.
    for (i32 k = 1, n = array::length(chain_list(record_of(out))); k <= n; ++k) {
      Ref<Node> c(static_cast<u32>(array::pick_int32(chain_list(record_of(out)), k)));
      if (!c) continue;
      Ref<Node> copied = array::copy(c);
      array::poke_int32(chain_list(record_of(out)), k, static_cast<i32>(copied.offset()));
    }
  }
  return out;
}

void clear(Ref<Node> table) {
  Table* t = record_of(table);
  t->size = 0;
  t->n_occupied = 0;
  fill_flags(t);
  if (t->kind == kind_hash) {
    array::clear(chain_list(t));
    fill_reverse(t);
    t->stamp = 0;
  } else if (t->kind >= kind_pointer) {
    // The entries go too, or a rehash would bring them back.
    SeriesBuffer* b = buf(t->blk);
    b->tail = b->head;
  }
}

void resize(Ref<Node> table, i32 request) {
  Root keep(table);
  // Kind 0 buckets are named by the reverse index and pointer tables own their entries: both are
  // rebuilt instead of moved.
  if (record_of(table)->kind == kind_hash) return reset(table, request);
  if (record_of(table)->kind >= kind_pointer) return rebuild_pointer_table(table, request);
  const u32 buckets = std::max(buckets_for(request), 4u);
  const i32 upper = static_cast<i32>(buckets * load_factor + 0.5);
  if (record_of(table)->size >= upper) return;
  Ref<Node> fresh = new_flags(buckets);
  RootNode keep_fresh(fresh);
  Table* t = record_of(table);
  const u32 old_buckets = static_cast<u32>(t->n_buckets);
  const bool tagged = tagged_kind(t->kind);
  const u32 key_bytes = buckets * (tagged ? 8 : 4);
  if (key_bytes > buf(t->keys)->size) {
    SeriesBuffer* k = memory::expand_series(buf(t->keys), static_cast<i32>(key_bytes));
    k->tail = k->head + k->size;
    t = record_of(table);
  }
  // The eviction walk: no allocation from here on. The hashes of a tagged table are set aside
  // first, since its new keys overlap where the old hashes were.
  u32* old_flags = flags_of(t);
  u32* new_flags_p = buffer_of(fresh)->head_ptr<u32>();
  i32* keys = keys_of(t);
  std::vector<u32> old_tags, new_tags;
  if (tagged) {
    old_tags.assign(reinterpret_cast<u32*>(keys + old_buckets), reinterpret_cast<u32*>(keys + 2 * old_buckets));
    new_tags.resize(buckets);
  }
  const Cell* cells = cells_of(t->blk);
  const u32 mask = buckets - 1;
  for (u32 j = 0; j < old_buckets; ++j) {
    if (!is_live(old_flags, j)) continue;
    i32 key = keys[j];
    u32 hash = tagged ? old_tags[j] : hash_value(cells + key, false);
    set_deleted(old_flags, j);
    for (;;) {
      u32 i = hash & mask;
      for (u32 step = 1; !is_empty(new_flags_p, i); ++step) i = (i + step) & mask;
      clear_empty(new_flags_p, i);
      if (i < old_buckets && is_live(old_flags, i)) {
        std::swap(key, keys[i]);
        set_deleted(old_flags, i);
        if (tagged) {
          new_tags[i] = hash;
          hash = old_tags[i];
        } else {
          hash = hash_value(cells + key, false);
        }
      } else {
        keys[i] = key;
        if (tagged) new_tags[i] = hash;
        break;
      }
    }
  }
  if (tagged) std::memcpy(keys + buckets, new_tags.data(), buckets * 4);
  t->flags = fresh.offset();
  t->n_buckets = static_cast<i32>(buckets);
  t->upper_bound = upper;
  t->n_occupied = t->size;
}

void grow_word_table(Ref<Node> table) {
  Table* t = record_of(table);
  i64 request = (t->size * 2 < t->n_buckets ? i64{t->n_buckets} - 1 : i64{t->n_buckets} + 1) * 16;
  resize(table, static_cast<i32>(std::min<i64>(request, max_buckets)));
}

Ref<Node> clone_word_table(Ref<Node> table) {
  Root keep(table);
  Ref<Node> out = memory::copy_series(buffer_of(table));
  Root keep_out(out);
  Ref<Node> a = memory::copy_series(buf(record_of(table)->flags));
  record_of(out)->flags = a.offset();
  a = memory::copy_series(buf(record_of(table)->keys));
  record_of(out)->keys = a.offset();
  a = memory::copy_series(buf(record_of(table)->blk));
  record_of(out)->blk = a.offset();
  return out;
}

void check_compaction(Ref<Node> table) {
  Table* t = record_of(table);
  if (t->stamp == 0 || t->stamp == compaction_count() + 1 || collector::collecting) return;
  if (t->kind == kind_hash)
    reset(table, cell_count(t->blk));
  else if (t->kind >= kind_pointer)
    rehash_pointer_table(table);
  else
    t->stamp = 0;
}

void dump(Ref<Node> table) {
  Table* t = record_of(table);
  auto line = [&](u32 i) {
    std::string s;
    i32 key = keys_of(t)[i];
    if (t->kind >= kind_pointer) {
      Cell* e = entry_at(t, key);
      s = std::to_string(e->w1);
      for (i32 j = 1; j <= value_cells(t); ++j) s += " " + std::to_string(e[j].type());
    } else {
      s = std::to_string(cells_of(t->blk)[first_position(t, key)].type());
      if (t->kind == kind_map) s += " " + std::to_string(cells_of(t->blk)[key + 1].type());
    }
    sys::write_line(s);
  };
  sys::write_line("\n== Deleted keys ==");
  for (u32 i = 0; i < static_cast<u32>(t->n_buckets); ++i)
    if (bucket_flags(flags_of(t), i) == deleted_bucket && t->kind >= kind_pointer) line(i);
  sys::write_line("== Alive keys ==");
  for (u32 i = 0; i < static_cast<u32>(t->n_buckets); ++i)
    if (is_live(flags_of(t), i)) line(i);
}

}  // namespace kiv::hashtable
