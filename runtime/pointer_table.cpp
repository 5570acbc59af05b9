// The pointer-keyed tables (kinds 3 and 4: a series node to a few value cells, the keys weak) and
// what the collector does with tables of every kind: marking them and sweeping the weak keys.
#include <algorithm>

#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hashtable_internal.h"
#include "runtime/roots.h"

namespace kiv::hashtable {

using namespace internal;

namespace {

void copy_value_cells(Cell* to, const Cell* from, i32 n) {
  for (i32 i = 0; i < n; ++i) to[i] = from[i];
}

// Probes a pointer-keyed table: the bucket whose entry holds the key, and where a new one goes.
Placement probe_pointer(const Table* t, u32 key) {
  Placement r;
  const u32 mask = static_cast<u32>(t->n_buckets) - 1;
  const u32* flags = flags_of(t);
  const i32* keys = keys_of(t);
  const u32 start = hash_pointer(key) & mask;
  i32 deleted = -1;
  u32 i = start;
  for (u32 step = 1;; ++step) {
    u32 f = bucket_flags(flags, i);
    if (f == empty_bucket) {
      r.site = deleted >= 0 ? deleted : static_cast<i32>(i);
      return r;
    }
    if (f == deleted_bucket) {
      if (deleted < 0) deleted = static_cast<i32>(i);
    } else if (entry_at(t, keys[i])->w1 == key) {
      r.found = static_cast<i32>(i);
      return r;
    }
    i = (i + step) & mask;
    if (i == start) break;
  }
  r.site = deleted;
  return r;
}

// Places an in-use entry in the first empty bucket of its key's probe sequence.
void place_entry(Table* t, i32 offset) {
  const u32 mask = static_cast<u32>(t->n_buckets) - 1;
  u32* flags = flags_of(t);
  u32 i = hash_pointer(entry_at(t, offset)->w1) & mask;
  for (u32 step = 1; !is_empty(flags, i); ++step) i = (i + step) & mask;
  set_live(t, i, offset);
  ++t->size;
  ++t->n_occupied;
}

}  // namespace

// ---- Pointer-keyed tables ---------------------------------------------------------------------

Cell* put_key(Ref<Node> table, u32 key_node) {
  Root keep(table);
  // The key series must outlive a collection run by the growth below, and the key moves with it.
  Ref<Node> key_ref(key_node);
  RootNode keep_key(key_ref);
  u32 key = key_node;
  Placement at;
  for (;;) {
    check_compaction(table);
    Table* t = record_of(table);
    if (t->n_occupied >= t->upper_bound) {
      rebuild_pointer_table(table, t->size * 2 < t->n_buckets ? t->n_buckets - 1 : t->n_buckets + 1);
      continue;
    }
    key = key_ref.offset();
    at = probe_pointer(t, key);
    if (at.found < 0 && at.site >= 0 && is_empty(flags_of(t), static_cast<u32>(at.site))) {
      SeriesBuffer* eb = buf(t->blk);
      if (u64{eb->tail} + entry_width(t) > eb->end_offset()) {
        // A new entry needs room: grow, then probe again, so that nothing allocates between the
        // probe and the write.
        u64 size = std::max<u64>(u64{eb->size} * 2, u64{eb->used_bytes()} + entry_width(t));
        if (size > memory::max_data_size) too_big();
        memory::expand_series(eb, static_cast<i32>(size));
        continue;
      }
    }
    break;
  }
  Table* t = record_of(table);
  i32 offset;
  if (at.found >= 0) {
    offset = keys_of(t)[at.found];
  } else {
    if (at.site < 0) raise_error(ErrorCategory::internal, "no-memory");  // the fill limit prevents this
    u32 bucket = static_cast<u32>(at.site);
    if (is_empty(flags_of(t), bucket)) {
      SeriesBuffer* eb = buf(t->blk);
      offset = static_cast<i32>(eb->used_bytes());
      eb->tail += entry_width(t);
      ++t->n_occupied;
    } else {
      offset = keys_of(t)[bucket];  // a deleted bucket keeps its entry's storage
    }
    set_live(t, bucket, offset);
    ++t->size;
  }
  Cell* e = entry_at(t, offset);
  e->w1 = key;
  for (i32 i = 0; i <= value_cells(t); ++i) e[i].header = key_cell_header;
  return e + 1;
}

Cell* get_key(Ref<Node> table, u32 key) {
  check_compaction(table);
  Table* t = record_of(table);
  Placement at = probe_pointer(t, key);
  return at.found < 0 ? nullptr : entry_at(t, keys_of(t)[at.found]) + 1;
}

Cell* delete_key(Ref<Node> table, u32 key) {
  check_compaction(table);
  Table* t = record_of(table);
  Placement at = probe_pointer(t, key);
  if (at.found < 0) return nullptr;
  set_deleted(flags_of(t), static_cast<u32>(at.found));
  --t->size;
  Cell* e = entry_at(t, keys_of(t)[at.found]);
  e->header = 0;
  return e + 1;
}

void rebuild_pointer_table(Ref<Node> table, i32 request) {
  collector::Suspend hold;  // the old and new entry blocks are walked with raw pointers
  Root keep(table);
  const u32 buckets = std::max(buckets_for(request), 4u);
  Table* t = record_of(table);
  Ref<Node> old_blk(t->blk);
  RootNode keep_old(old_blk);
  const i32 per_entry = value_cells(t) + 1;
  const i32 room = std::max(per_entry * std::max(t->size, 1), 1);
  Ref<Node> a = new_flags(buckets);
  record_of(table)->flags = a.offset();
  a = new_keys(buckets, kind_pointer);
  record_of(table)->keys = a.offset();
  a = memory::alloc_cells(room);
  t = record_of(table);
  t->blk = a.offset();
  t->size = 0;
  t->n_occupied = 0;
  t->n_buckets = static_cast<i32>(buckets);
  t->upper_bound = static_cast<i32>(buckets * load_factor + 0.5);
  t->stamp = compaction_count() + 1;

  SeriesBuffer* ob = buffer_of(old_blk);
  const u32 width = entry_width(t);
  for (u32 off = 0; off + width <= ob->used_bytes(); off += width) {
    const Cell* old = reinterpret_cast<const Cell*>(ob->head_ptr() + off);
    if (old->header != key_cell_header) continue;
    SeriesBuffer* nb = buf(t->blk);
    if (u64{nb->tail} + width > nb->end_offset()) nb = memory::expand_series(nb, 0);
    i32 offset = static_cast<i32>(nb->used_bytes());
    nb->tail += width;
    copy_value_cells(entry_at(t, offset), old, per_entry);
    place_entry(t, offset);
  }
}

void rehash_pointer_table(Ref<Node> table) {
  Table* t = record_of(table);
  fill_flags(t);
  t->size = 0;
  t->n_occupied = 0;
  SeriesBuffer* eb = buf(t->blk);
  const u32 width = entry_width(t);
  for (u32 off = 0; off + width <= eb->used_bytes(); off += width)
    if (entry_at(t, static_cast<i32>(off))->header == key_cell_header) place_entry(t, static_cast<i32>(off));
  t->stamp = compaction_count() + 1;
}

// ---- The collector's side --------------------------------------------------------------------

void mark(u32* table_slot, const Marker& m) {
  if (!*table_slot) return;
  // The record may be marked already by a root that saw it as a plain byte series: its arrays are
  // visited all the same (each is entered once, by its own mark).
  m.node(table_slot);
  Table* t = record_of(Ref<Node>(*table_slot));
  m.node(&t->flags);
  m.node(&t->keys);
  if (t->kind == kind_hash) {
    m.node(&t->indexes);
    if (m.node(&t->chains)) {
      SeriesBuffer* l = buf(t->chains);
      u32* e = l->head_ptr<u32>();
      for (u32 j = 0, n = l->used_bytes() / 4; j < n; ++j)
        if (e[j]) m.node(&e[j]);
    }
  }
  if (t->kind <= kind_word) {
    m.block(&t->blk);
    return;
  }
  if (!m.node(&t->blk) || t->kind != kind_pointer) return;
  SeriesBuffer* eb = buf(t->blk);
  const u32 width = entry_width(t);
  const i32 n = value_cells(t);
  for (u32 off = 0; off + width <= eb->used_bytes(); off += width) {
    Cell* e = reinterpret_cast<Cell*>(eb->head_ptr() + off);
    if (e->header == key_cell_header && n > 0) m.cells(e + 1, e + 1 + n);
  }
}

void sweep_weak(Ref<Node> table, bool (*alive)(u32 node), u32 (*remap)(u32 node)) {
  if (!table) return;
  Table* t = record_of(table);
  if (t->kind < kind_pointer) return;
  u32* flags = flags_of(t);
  const i32* keys = keys_of(t);
  const bool owners = t->kind == kind_owners && value_cells(t) >= 2;
  for (u32 i = 0, n = static_cast<u32>(t->n_buckets); i < n; ++i) {
    if (!is_live(flags, i)) continue;
    Cell* e = entry_at(t, keys[i]);
    bool dead = !alive(e->w1) || (owners && e[2].w1 && !alive(e[2].w1));
    if (dead) {
      set_deleted(flags, i);
      --t->size;
      e->header = 0;
      e->w1 = 0;
    } else if (remap) {
      e->w1 = remap(e->w1);
      // The owned series value keeps its node in w2 (w1 is its head index); the owner keeps its
      // context in w1.
      if (owners) {
        if (e[1].w2) e[1].w2 = remap(e[1].w2);
        if (e[2].w1) e[2].w1 = remap(e[2].w1);
      }
    }
  }
}

}  // namespace kiv::hashtable
