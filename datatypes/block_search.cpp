#include "datatypes/block_search.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/sort.h"
#include "runtime/stack.h"

namespace kiv::block {

namespace {

constexpr u32 cell_bytes = sizeof(Cell);

i32 total_cells(const Cell* s) {
  SeriesBuffer* b = buffer_of(s);
  return static_cast<i32>((b->tail - b->head) / cell_bytes);
}
Cell* cells_of(Ref<Node> node) { return kiv::buffer_of(node)->head_ptr<Cell>(); }
i32 total_of(Ref<Node> node) {
  SeriesBuffer* b = kiv::buffer_of(node);
  return static_cast<i32>((b->tail - b->head) / cell_bytes);
}

// Restores the value stack's top when a scope ends, also when an error unwinds through it.
class StackMark {
  Cell* top_;

 public:
  StackMark() : top_(stack::top) {}
  ~StackMark() { stack::top = top_; }
  StackMark(const StackMark&) = delete;
  StackMark& operator=(const StackMark&) = delete;
};

// The three-way comparison of the first cell's type; a type without a comparison cannot compare.
i32 raw_compare(const Cell* a, const Cell* b, i32 op) {
  u32 t = a->type();
  if (t >= datatype::table_rows || !datatype::actions[t].compare) return -2;
  return actions::dispatch_compare(a, b, op);
}

// Whether cell i of the series equals the value under op. The cell is copied out first: a
// comparison may allocate and move the buffer.
bool equal_at(Ref<Node> node, i32 i, const Cell* value, i32 op) {
  Cell c = cells_of(node)[i];
  RootCell keep(c);
  return raw_compare(&c, value, op) == 0;
}

i32 search_op(bool case_, bool same) {
  return same ? compare_op::same : case_ ? compare_op::strict_equal : compare_op::find;
}

// The /skip record size of find and select: an integer! of at least 1.
i32 find_step(const Cell* skip) {
  if (!skip) return 1;
  if (skip->type() != type::integer) actions::raise_invalid_refine_arg("skip", skip);
  i32 n = skip->as_int();
  if (n < 1) raise_error(ErrorCategory::script, "out-of-range", *skip);
  return n;
}

enum class Kind { value, datatype, typeset, run };

struct Found {
  bool found = false;
  i32 at = 0;        // the matched cell, from the buffer's start
  i32 count = 1;     // cells matched (a run's length)
  bool run = false;  // a run of cells was matched
  bool backward = false;
  i32 step = 1;
};

// Whether the run of the value's cells matches the series at p (p + k within the series).
bool run_matches(Ref<Node> series, i32 p, const Cell* value, i32 k, i32 op) {
  Ref<Node> vnode = series::node_of(value);
  RootNode keep_v(vnode);
  RootNode keep_s(series);
  i32 vh = std::max(series::head_index(value), 0);
  for (i32 j = 0; j < k; ++j) {
    if (vh + j >= total_of(vnode) || p + j >= total_of(series)) return false;
    Cell want = cells_of(vnode)[vh + j];
    RootCell keep(want);
    if (!equal_at(series, p + j, &want, op)) return false;
  }
  return true;
}

Found find_core(Cell* series, Cell* value_in, Cell* part, bool only, bool case_, bool same, Cell* skip,
                bool last, bool reverse, bool match) {
  Found f;
  Cell value = *value_in;
  RootCell keep_value(value);
  i32 total = total_cells(series);
  if (total == 0) return f;
  i32 head = series::head_index(series);
  if (head < 0) head = 0;
  if (head >= total) {
    if (!reverse) return f;
    head = total;
  }
  i32 step = find_step(skip);
  f.step = step;
  i32 limit = -1;  // cells the search may cover (from the head, or before it with /reverse)
  if (part) {
    if (part->type() == type::integer) limit = part->as_int();
    else if (part->type() == series->type() && part->w2 == series->w2)
      limit = std::abs(series::head_index(part) - head);
    else actions::raise_invalid_refine_arg("part", part);
    if (limit < 1) return f;
  }

  u32 vt = value.type();
  Kind kind = Kind::value;
  i32 k = 1;
  if (!only && vt == type::datatype) kind = Kind::datatype;
  else if (!only && vt == type::typeset) kind = Kind::typeset;
  else if (!only && any_block_q(vt)) {
    kind = Kind::run;
    k = length(&value);
    if (k == 0) return f;  // an empty run is found nowhere
  }
  i32 op = search_op(case_, same);

  // The span [lo, hi) a match must lie in.
  i32 lo, hi;
  if (reverse) {
    hi = head;
    lo = limit < 0 ? 0 : std::max(head - limit, 0);
  } else {
    lo = head;
    hi = limit < 0 ? total : static_cast<i32>(std::min<i64>(i64{head} + limit, total));
  }
  if (hi - lo < k) return f;
  bool backward = last || reverse;
  f.backward = backward;
  f.count = k;
  f.run = kind == Kind::run;

  Ref<Node> node = series::node_of(series);
  RootNode keep_node(node);
  auto matches = [&](i32 p) {
    switch (kind) {
      case Kind::datatype: return cells_of(node)[p].type() == datatype::id_of(&value);
      case Kind::typeset: return cell::typeset_has(&value, cells_of(node)[p].type());
      case Kind::run: return run_matches(node, p, &value, k, op);
      default: return equal_at(node, p, &value, op);
    }
  };
  auto hit = [&](i32 p) {
    f.found = true;
    f.at = p;
    return f;
  };

  // A hash! answers through its key index where the index can: a single value (a block value only
  // by identity), found forward, or backward one cell at a time (the index does not count records
  // backward from the head), and never /last within a /part range (the index answers the last
  // match of the whole series).
  if (series->type() == type::hash && series->w3 != 0 && kind == Kind::value && !match &&
      (!any_block_q(vt) || (same && only)) && (vt != type::object || same) && (step == 1 || !backward) &&
      !(last && part)) {
    Ref<Node> table(series->w3);
    i32 at = hashtable::find_index(table, &value, head, step, op, last, reverse);
    if (at < lo || at + 1 > hi) return f;
    return hit(at);
  }

  if (match) {
    i32 p = backward ? hi - k : lo;
    return matches(p) ? hit(p) : f;
  }
  // Candidates lie a whole number of records away from the head: forward and /last at the head and
  // after it, /reverse before it.
  if (reverse) {
    // The nearest record start that leaves room for k (in 64 bits: a step near 2^31 would wrap).
    const i64 first_back = (i64{k} + step - 1) / step * step;
    for (i64 p = i64{head} - first_back; p >= lo; p -= step) {
      if (matches(static_cast<i32>(p))) return hit(static_cast<i32>(p));
    }
    return f;
  }
  if (last) {
    i32 span = hi - k - lo;  // the last start that leaves room for k cells
    for (i64 p = lo + span / step * step; p >= lo; p -= step) {
      if (matches(static_cast<i32>(p))) return hit(static_cast<i32>(p));
    }
    return f;
  }
  for (i64 p = lo; p + k <= hi; p += step) {
    if (matches(static_cast<i32>(p))) return hit(static_cast<i32>(p));
  }
  return f;
}

}  // namespace

Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool, Cell*, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
  Found f = find_core(series, value, part, only, case_, same, skip, last, reverse, match);
  if (!f.found) return &none::value;
  i32 at = f.at;
  if (tail) {
    if (f.run) at += f.count;
    else at += f.backward ? 1 : f.step;
    at = std::min(at, total_cells(series));
  }
  Cell* out = stack::push_value(series);
  series::set_head_index(out, at);
  return out;
}

Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool, Cell*, Cell* skip,
             bool last, bool reverse) {
  Found f = find_core(series, value, part, only, case_, same, skip, last, reverse, false);
  if (!f.found) return &none::value;
  // After a run, the value that follows the whole run (not a cell of the run itself).
  i32 at = f.at + (f.run ? f.count : 1);
  if (at >= total_cells(series)) return &none::value;
  Cell next = *cell_at(series, at);
  return stack::push_value(&next);
}

// ---- sort ----

i32 sort_compare_cells(const Cell* a, const Cell* b, i32 op) {
  if (a->type() == type::integer && b->type() == type::integer) {
    i32 x = a->as_int(), y = b->as_int();
    return (x > y) - (x < y);
  }
  Cell ca = *a, cb = *b;
  RootCell keep_a(ca), keep_b(cb);
  i32 r = raw_compare(&ca, &cb, op);
  if (r == -2) r = static_cast<i32>(ca.type()) - static_cast<i32>(cb.type());
  return r;
}

namespace {

// Comparator flags: bit 0 reverse (the records are exchanged first); bit 1 compare whole records;
// the bits from 2 up hold, with bit 1, the record size in cells, else the compared cell's offset.
constexpr u32 flag_reverse = 1;
constexpr u32 flag_all = 2;
constexpr u32 flag_shift = 2;

struct SortContext {
  i32 op = compare_op::sort;
  const Cell* function = nullptr;  // rooted by sort()
  Cell* scratch_a = nullptr;       // the records handed to a function under /all (rooted)
  Cell* scratch_b = nullptr;
};

i32 compare_default(const void* pa, const void* pb, std::uintptr_t context, u32 flags) {
  const auto& s = *reinterpret_cast<const SortContext*>(context);
  auto* a = static_cast<const Cell*>(pa);
  auto* b = static_cast<const Cell*>(pb);
  if (flags & flag_reverse) std::swap(a, b);
  u32 n = flags >> flag_shift;
  if (!(flags & flag_all)) return sort_compare_cells(a + n, b + n, s.op);
  // Whole records: a comparison may allocate and move the buffer, so both records are copied onto
  // the value stack first and compared there.
  StackMark mark;
  Cell* ra = stack::top;
  for (u32 i = 0; i < n; ++i) stack::push_value(a + i);
  Cell* rb = stack::top;
  for (u32 i = 0; i < n; ++i) stack::push_value(b + i);
  for (u32 i = 0; i < n; ++i) {
    i32 r = sort_compare_cells(ra + i, rb + i, s.op);
    if (r != 0) return r;
  }
  return 0;
}

// The default comparator over records whose compared cells are all integers: nothing to dispatch
// and nothing that can allocate.
i32 compare_integers(const void* pa, const void* pb, std::uintptr_t, u32 flags) {
  auto* a = static_cast<const Cell*>(pa);
  auto* b = static_cast<const Cell*>(pb);
  if (flags & flag_reverse) std::swap(a, b);
  u32 n = flags >> flag_shift;
  if (!(flags & flag_all)) {
    i32 x = a[n].as_int(), y = b[n].as_int();
    return (x > y) - (x < y);
  }
  for (u32 i = 0; i < n; ++i) {
    i32 x = a[i].as_int(), y = b[i].as_int();
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

// Whether every cell the default comparator would look at is an integer!.
bool integers_only(const Cell* first, i32 records, i32 size, u32 flags) {
  bool whole = flags & flag_all;
  u32 offset = whole ? 0 : flags >> flag_shift;
  for (i32 r = 0; r < records; ++r) {
    const Cell* rec = first + static_cast<i64>(r) * size;
    if (whole) {
      for (i32 k = 0; k < size; ++k)
        if (rec[k].type() != type::integer) return false;
    } else if (rec[offset].type() != type::integer) {
      return false;
    }
  }
  return true;
}

// Puts the n cells at `from` (value-stack cells) into a scratch block, growing it when the
// comparison function shrank it meanwhile.
void fill_scratch(Cell* scratch, const Cell* from, u32 n) {
  SeriesBuffer* b = buffer_of(scratch);
  b->tail = b->head;
  if (b->end_offset() - b->head < n * cell_bytes) {
    b = memory::expand_series(b, static_cast<i32>(n * cell_bytes));
    if (b->end_offset() - b->head < n * cell_bytes) raise_error(ErrorCategory::internal, "no-memory");
  }
  std::memcpy(b->head_ptr(), from, n * cell_bytes);
  b->tail = b->head + n * cell_bytes;
  series::set_head_index(scratch, 0);
}

i32 compare_function(const void* pa, const void* pb, std::uintptr_t context, u32 flags) {
  const auto& s = *reinterpret_cast<const SortContext*>(context);
  auto* a = static_cast<const Cell*>(pa);
  auto* b = static_cast<const Cell*>(pb);
  // The function sees (b, a), or (a, b) with /reverse: a function answering true when its first
  // argument comes first then sorts in that order.
  const Cell* first = (flags & flag_reverse) ? a : b;
  const Cell* second = (flags & flag_reverse) ? b : a;
  u32 n = flags >> flag_shift;
  StackMark mark;
  // Everything the call needs is copied onto the value stack before anything allocates.
  if (flags & flag_all) {
    Cell* ra = stack::top;
    for (u32 i = 0; i < n; ++i) stack::push_value(first + i);
    Cell* rb = stack::top;
    for (u32 i = 0; i < n; ++i) stack::push_value(second + i);
    fill_scratch(s.scratch_a, ra, n);
    fill_scratch(s.scratch_b, rb, n);
    stack::push_value(s.scratch_a);
    stack::push_value(s.scratch_b);
  } else {
    stack::push_value(first + n);
    stack::push_value(second + n);
  }
  if (!hooks::call_callback) raise_error(ErrorCategory::internal, "not-done");
  Cell result = *hooks::call_callback(s.function, 2);
  return string::sort_compare_result(&result);
}

}  // namespace

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare_arg, Cell* part, bool all, bool reverse,
           bool stable) {
  i32 total = total_cells(series);
  i32 head = series::head_index(series);
  if (head > total) {
    series::set_head_index(series, total);
    head = total;
  }
  head = std::max(head, 0);
  i32 count = total - head;
  if (part) {
    i32 n;
    if (part->type() == type::integer) n = part->as_int();
    else if (part->type() == series->type() && part->w2 == series->w2) n = series::head_index(part) - head;
    else actions::raise_invalid_refine_arg("part", part);
    if (n < 0) {
      // That many cells before the head: the series' own head moves back to the range's start.
      if (head + n < 0) {
        series::set_head_index(series, 0);
        return series;
      }
      head += n;
      series::set_head_index(series, head);
      n = -n;
    }
    count = std::min(n, total - head);
  }
  if (count <= 0) return series;
  i32 size = 1;
  if (skip) {
    size = skip->type() == type::integer ? skip->as_int() : 0;
    if (size < 1 || count % size != 0 || count < size) actions::raise_invalid_refine_arg("skip", skip);
  } else if (all) {
    raise_error(ErrorCategory::script, "bad-refines");
  }
  SortContext s;
  s.op = case_ ? compare_op::case_sort : compare_op::sort;
  u32 flags = reverse ? flag_reverse : 0;
  bool whole = all && size > 1;
  if (whole) flags |= flag_all | (static_cast<u32>(size) << flag_shift);
  bool function = false;
  if (compare_arg) {
    if (compare_arg->type() == type::integer) {
      if (!skip || all) raise_error(ErrorCategory::script, "bad-refines");
      i32 k = compare_arg->as_int();
      if (k < 1 || k > size) raise_error(ErrorCategory::script, "out-of-range", *compare_arg);
      flags |= static_cast<u32>(k - 1) << flag_shift;
    } else if (compare_arg->type() == type::function) {
      function = true;
    } else {
      actions::raise_invalid_refine_arg("compare", compare_arg);
    }
  }

  u32 records = static_cast<u32>(count / size);
  u32 width = static_cast<u32>(size) * cell_bytes;
  u32 offset = static_cast<u32>(head) * cell_bytes;
  Cell fn = function ? *compare_arg : none::value;
  // The scratch blocks belong to this sort alone, so that a comparison function that itself sorts
  // cannot overwrite the records its caller is comparing.
  Cell scratch_a = none::value, scratch_b = none::value;
  RootCell keep_fn(fn), keep_a(scratch_a), keep_b(scratch_b);
  if (function) {
    s.function = &fn;
    if (whole) {
      make_at(&scratch_a, size);
      make_at(&scratch_b, size);
      s.scratch_a = &scratch_a;
      s.scratch_b = &scratch_b;
    }
  }
  bool owned = series::notify(series, "sort", nullptr, head, count);
  Cell* first = buffer_of(series)->head_ptr<Cell>() + head;
  if (!function && integers_only(first, static_cast<i32>(records), size, flags)) {
    // Comparisons that cannot allocate: the records are sorted where they lie.
    (stable ? sorting::merge_sort : sorting::quick_sort)(first, records, width, 0, flags, compare_integers);
  } else {
    sorting::sort_series(series::node_of(series), offset, records, width, reinterpret_cast<std::uintptr_t>(&s),
                         flags, function ? compare_function : compare_default, stable);
  }
  series::hash_changed(series);
  if (owned) series::notify(series, "sorted", nullptr, head, count);
  return series;
}

// ---- set operations ----

namespace {

// A lookup table over the record-first cells of a block: open addressing with linear probing over
// positions in the block, each slot keeping its key's hash. It lives in C++ memory and holds only
// positions, so the collector has nothing to see; the block is held by the caller. Identities that
// hash by node address go stale when nodes move: the table is rebuilt when the compaction count
// changed since it was filled.
class RecordIndex {
  struct Slot {
    i32 position;  // -1: empty
    u32 hash;
  };
  Ref<Node> blk_;
  i32 head_ = 0, step_ = 1, op_ = 0;
  std::vector<Slot> slots_;
  u32 mask_ = 0;
  u32 stamp_ = 0;
  i32 count_ = 0;

  void place(i32 position, u32 hash) {
    for (u32 i = hash & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].position < 0) {
        slots_[i] = {position, hash};
        return;
      }
    }
  }
  void resize(size_t size) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{-1, 0});
    mask_ = static_cast<u32>(size - 1);
    for (const Slot& e : old) {
      if (e.position >= 0) place(e.position, e.hash);
    }
  }
  void rehash() {
    stamp_ = hashtable::compaction_count();
    std::fill(slots_.begin(), slots_.end(), Slot{-1, 0});
    for (i64 p = head_; p < total_of(blk_); p += step_) {
      Cell c = cells_of(blk_)[p];
      if (!any_block_q(c.type())) place(static_cast<i32>(p), hashtable::hash_value(&c, false));
    }
  }

 public:
  // An index for lookups under op over the records of blk from head (nothing indexed yet).
  RecordIndex(Ref<Node> blk, i32 head, i32 step, i32 op, i32 expected)
      : blk_(blk), head_(head), step_(step), op_(op), stamp_(hashtable::compaction_count()) {
    resize(std::max<u32>(hashtable::pow2(static_cast<u32>(std::max(expected, 1)) * 2), 16));
  }
  // Indexes every record already in the block.
  void fill() {
    count_ = 0;
    for (i64 p = head_; p < total_of(blk_); p += step_) ++count_;
    size_t size = slots_.size();
    while (static_cast<size_t>(count_) * 2 > size) size *= 2;
    if (size != slots_.size()) resize(size);
    rehash();
  }
  // Indexes the record at the position (its first cell is not of an any-block type).
  void add(i32 position, u32 hash) {
    if (static_cast<size_t>(++count_) * 2 > slots_.size()) resize(slots_.size() * 2);
    place(position, hash);
  }
  // Whether a record starts with a cell equal to the value (which hashes to `hash`).
  bool contains(const Cell* value, u32 hash) {
    if (stamp_ != hashtable::compaction_count()) rehash();
    for (u32 i = hash & mask_; slots_[i].position >= 0; i = (i + 1) & mask_) {
      if (slots_[i].hash != hash) continue;
      const Cell& c = cells_of(blk_)[slots_[i].position];
      if (c.type() != value->type()) continue;
      // Integers are equal under every lookup operator exactly when their values are.
      if (c.type() == type::integer) {
        if (c.w2 == value->w2) return true;
        continue;
      }
      if (equal_at(blk_, slots_[i].position, value, op_)) return true;
      // The comparison may have collected: the positions still hold, their hashes may not.
      if (stamp_ != hashtable::compaction_count()) return contains(value, hash);
    }
    return false;
  }
  Ref<Node>& block() { return blk_; }
};

// Cells of any-block types are found by value with find/only (their hash is their identity):
// the position of the first record of `series` from `head` whose first cell equals the value, or
// -1.
i32 linear_find(Ref<Node> series, i32 head, i32 step, const Cell* value, i32 op) {
  for (i64 p = head; p < total_of(series); p += step) {
    if (equal_at(series, static_cast<i32>(p), value, op)) return static_cast<i32>(p);
  }
  return -1;
}

// What membership is tested against: another series with either its own hash! index or an index
// of ours.
struct Other {
  Ref<Node> node;
  i32 head = 0;
  Ref<Node> table;                  // a hash!'s own index, or null
  RecordIndex* index = nullptr;     // else ours
};

struct SetScan {
  i32 op;              // lookup operator
  i32 step;            // record size
  RecordIndex* taken;  // the result block (rooted through it) and what it holds
};

bool member(Other& o, const Cell* value, u32 hash, const SetScan& s) {
  if (any_block_q(value->type())) return linear_find(o.node, o.head, s.step, value, s.op) >= 0;
  if (o.table) return hashtable::find_index(o.table, value, o.head, s.step, s.op, false, false) >= 0;
  return o.index->contains(value, hash);
}

// Scans the records of `from` and appends the kept ones not yet in the result. With another
// series, keep_members keeps the records found there (intersect) or those not found (exclude,
// difference); without one every record is kept.
void scan(const Cell* from, Other* other, bool keep_members, SetScan& s) {
  Ref<Node> node = series::node_of(from);
  RootNode keep_node(node);
  i32 head = std::max(series::head_index(from), 0);
  for (i64 p = head; p < total_of(node); p += s.step) {
    Cell key = cells_of(node)[p];
    RootCell keep_key(key);
    bool block_key = any_block_q(key.type());
    u32 hash = block_key ? 0 : hashtable::hash_value(&key, false);
    if (other && member(*other, &key, hash, s) != keep_members) continue;
    Ref<Node>& result = s.taken->block();
    if (block_key ? linear_find(result, 0, s.step, &key, s.op) >= 0 : s.taken->contains(&key, hash)) continue;
    i32 at = total_of(result);
    i32 n = static_cast<i32>(std::min<i64>(s.step, total_of(node) - p));
    SeriesBuffer* rb = kiv::buffer_of(result);
    if (rb->tail + static_cast<u32>(n) * cell_bytes > rb->end_offset()) {
      rb = memory::expand_series(rb, static_cast<i32>(std::max(rb->size * 2, rb->size + n * cell_bytes)));
    }
    std::memcpy(rb->tail_ptr(), cells_of(node) + p, static_cast<size_t>(n) * cell_bytes);
    rb->tail += static_cast<u32>(n) * cell_bytes;
    if (!block_key) s.taken->add(at, hash);
  }
}

}  // namespace

void do_set_operation(bool case_, const Cell* skip, i32 op) {
  Cell* a = stack::arguments;
  Cell* b = op == set_op::unique ? nullptr : stack::arguments + 1;
  i32 step = 1;
  if (skip) {
    step = skip->type() == type::integer ? skip->as_int() : 0;
    if (step < 1) actions::raise_invalid_refine_arg("skip", skip);
  }
  if (op < set_op::unique || op > set_op::difference) raise_error(ErrorCategory::internal, "not-done");
  for (Cell* s : {a, b}) {
    if (s && series::head_index(s) > total_cells(s)) series::set_head_index(s, total_cells(s));
  }
  bool hash = a->type() == type::hash || (b && b->type() == type::hash);
  i32 room = length(a);
  if (op == set_op::union_ || op == set_op::difference) room += length(b);
  room = std::max(room, 1);

  SetScan s;
  s.op = case_ ? compare_op::strict_equal : compare_op::find;
  s.step = step;
  Cell* result = push_new(room);
  RecordIndex taken(series::node_of(result), 0, step, s.op, room);
  RootNode keep_result(taken.block());
  s.taken = &taken;

  // Membership in a series: through its own index when it is a hash!, else through ours.
  auto other_of = [&](const Cell* series, std::unique_ptr<RecordIndex>& ours) {
    Other o;
    o.node = series::node_of(series);
    o.head = std::max(series::head_index(series), 0);
    if (series->type() == type::hash && series->w3 != 0) {
      o.table = Ref<Node>(series->w3);
    } else {
      ours = std::make_unique<RecordIndex>(o.node, o.head, step, s.op, length(series));
      ours->fill();
      o.index = ours.get();
    }
    return o;
  };
  if (op == set_op::unique || op == set_op::union_) {
    scan(a, nullptr, false, s);
    if (op == set_op::union_) scan(b, nullptr, false, s);
  } else {
    std::unique_ptr<RecordIndex> ours_b;
    Other in_b = other_of(b, ours_b);
    RootNode keep_b(in_b.node);
    hashtable::Root keep_b_table(in_b.table);
    RootNode keep_b_index(ours_b ? ours_b->block() : in_b.node);
    scan(a, &in_b, op == set_op::intersect, s);
    if (op == set_op::difference) {
      std::unique_ptr<RecordIndex> ours_a;
      Other in_a = other_of(a, ours_a);
      RootNode keep_a(in_a.node);
      hashtable::Root keep_a_table(in_a.table);
      RootNode keep_a_index(ours_a ? ours_a->block() : in_a.node);
      scan(b, &in_a, false, s);
    }
  }

  a->w1 = 0;
  a->w2 = taken.block().offset();
  a->w3 = 0;
  if (hash) {
    // A hash! carries an index of every cell of its block.
    Ref<Node> index = hashtable::make(total_of(taken.block()), a, hashtable::kind_hash, 0);
    a->w3 = index.offset();
    cell::set_type(a, type::hash);
  }
}

}  // namespace kiv::block
