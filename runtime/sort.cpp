#include "runtime/sort.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "runtime/cell.h"
#include "runtime/roots.h"

namespace kiv::sorting {
namespace {

using usize = std::size_t;

void swap_bytes(std::byte* a, std::byte* b, usize width) {
  if (width % 4 == 0) {
    for (usize i = 0; i < width; i += 4) {
      u32 x, y;
      std::memcpy(&x, a + i, 4);
      std::memcpy(&y, b + i, 4);
      std::memcpy(a + i, &y, 4);
      std::memcpy(b + i, &x, 4);
    }
  } else {
    for (usize i = 0; i < width; ++i) std::swap(a[i], b[i]);
  }
}

// Record widths known at compile time, so that a move is a plain load and store.
template <u32 W>
struct FixedWidth {
  explicit FixedWidth(u32) {}
  static constexpr usize width() { return W; }
  static void swap(std::byte* a, std::byte* b) {
    std::byte t[W];
    std::memcpy(t, a, W);
    std::memcpy(a, b, W);
    std::memcpy(b, t, W);
  }
};

struct AnyWidth {
  usize w;
  explicit AnyWidth(u32 width) : w(width) {}
  usize width() const { return w; }
  void swap(std::byte* a, std::byte* b) const { swap_bytes(a, b, w); }
};

// Where the records live. A caller's array never moves.
struct FixedArray {
  std::byte* base;
  bool refresh() { return true; }
  void reload() {}
};

// Records inside a series held through a rooted node: the buffer may move (or shrink) whenever the
// comparison runs, so the base is derived again after every comparison.
struct SeriesRange {
  Ref<Node>* node;
  u32 offset;
  u64 bytes;
  std::byte* base = nullptr;

  // False when the series no longer holds the range.
  bool refresh() {
    SeriesBuffer* b = buffer_of(*node);
    if (u64{b->used_bytes()} < offset + bytes) return false;
    base = b->head_ptr() + offset;
    return true;
  }
  void reload() {
    if (!refresh()) raise_error(ErrorCategory::script, "past-end");
  }
};

// c ? a : b without a jump: the merges pick their source by the comparison's unpredictable answer.
inline const std::byte* pick(bool c, const std::byte* a, const std::byte* b) {
  auto x = reinterpret_cast<std::uintptr_t>(a), y = reinterpret_cast<std::uintptr_t>(b);
  return reinterpret_cast<const std::byte*>(y ^ ((x ^ y) & (std::uintptr_t{0} - c)));
}

constexpr usize min_run = 24;     // runs shorter than this are extended by binary insertion
constexpr usize small_range = 7;  // quicksort ranges of at most this many records use insertion sort

usize log2_floor(usize n) {
  usize r = 0;
  while (n >>= 1) ++r;
  return r;
}

// W: the record width; S: the records; B: the merge sort's work buffer (unused by the quicksort).
// Everything is addressed by index and turned into an address only when used, because a comparison
// may move S and B.
template <class W, class S, class B>
class Sorter {
 public:
  Sorter(W w, S a, B buf, Compare compare, std::uintptr_t context, u32 flags)
      : w_(w), a_(a), buf_(buf), compare_(compare), context_(context), flags_(flags) {}

  void merge_sort(usize n);
  void quick_sort(usize n);

 private:
  W w_;
  S a_;
  B buf_;
  Compare compare_;
  std::uintptr_t context_;
  u32 flags_;

  std::byte* at(usize i) const { return a_.base + i * w_.width(); }
  std::byte* buf_at(usize i) const { return buf_.base + i * w_.width(); }

  i32 compare(const std::byte* x, const std::byte* y) {
    i32 r = compare_(x, y, context_, flags_);
    a_.reload();
    buf_.reload();
    return r;
  }
  i32 cmp(usize i, usize j) { return compare(at(i), at(j)); }
  void swap(usize i, usize j) { w_.swap(at(i), at(j)); }
  void reverse(usize lo, usize hi) {
    while (hi - lo > 1) swap(lo++, --hi);
  }
  void block_swap(usize a, usize b, usize k) {
    for (usize i = 0; i < k; ++i) swap(a + i, b + i);
  }

  void insertion_sort(usize lo, usize start, usize hi) {  // swaps only: nothing is held aside
    for (usize i = start; i < hi; ++i) {
      for (usize j = i; j > lo && cmp(j - 1, j) > 0; --j) swap(j - 1, j);
    }
  }

  // Merge sort.
  usize find_run(usize lo, usize n);
  void merge(usize lo, usize mid, usize hi);
  void put_back(usize dst, usize from, usize k);

  // Quicksort.
  usize prescan(usize n);
  usize extend_prefix(usize p, bool ascending, usize n);
  void sort_range(usize lo, usize n, i64 sample, i32 budget);
  void move_to_end(usize a, usize k, usize end);
  void move_to_front(usize a, usize k, usize end);
  void gather(usize lo, usize n, usize first, usize region);
  void median_of_three(usize lo, usize region);
  usize lomuto(usize first, usize end, usize pivot, bool or_equal, bool* saw_equal);
  std::pair<usize, usize> partition(usize lo, usize region, usize lower, usize upper);
  void heap_sort(usize lo, usize n);
};

// ---------------------------------------------------------------------------------------------
// Merge sort

// A natural run from lo: non-descending, or strictly descending and then reversed (strictness keeps
// equal records in order); a short run is extended by binary insertion.
template <class W, class S, class B>
usize Sorter<W, S, B>::find_run(usize lo, usize n) {
  usize i = lo + 1;
  if (i >= n) return n;
  if (cmp(lo, i) <= 0) {
    while (i + 1 < n && cmp(i, i + 1) <= 0) ++i;
  } else {
    while (i + 1 < n && cmp(i, i + 1) > 0) ++i;
    reverse(lo, i + 1);
  }
  usize end = i + 1;
  usize want = std::min(n, lo + min_run);
  const usize ws = w_.width();
  for (; end < want; ++end) {
    // After the last record that is not above it, so that equal records keep their order. The
    // search moves nothing; the work buffer (idle between merges) holds the record meanwhile.
    usize a = lo, b = end;
    while (a < b) {
      usize m = a + (b - a) / 2;
      if (cmp(m, end) > 0) {
        b = m;
      } else {
        a = m + 1;
      }
    }
    if (a == end) continue;
    std::memcpy(buf_at(0), at(end), ws);
    std::memmove(at(a + 1), at(a), (end - a) * ws);
    std::memcpy(at(a), buf_at(0), ws);
  }
  return end;
}

// Copies k buffered records back into the hole at dst after a comparison threw, so that no record
// is lost or doubled. When the comparison shrank the series there is no range left to repair.
template <class W, class S, class B>
void Sorter<W, S, B>::put_back(usize dst, usize from, usize k) {
  if (k && a_.refresh() && buf_.refresh()) std::memcpy(at(dst), buf_at(from), k * w_.width());
}

// Merges the adjacent sorted runs [lo, mid) and [mid, hi) through the work buffer, which takes the
// shorter run. Left records win ties, which is what makes the sort stable. While merging, the array
// has a hole exactly as large as what remains in the buffer; an exception fills it from the buffer.
template <class W, class S, class B>
void Sorter<W, S, B>::merge(usize lo, usize mid, usize hi) {
  if (cmp(mid - 1, mid) <= 0) return;  // already in order
  const usize ws = w_.width();
  const usize nl = mid - lo, nr = hi - mid;
  if (nr < nl) {
    std::memcpy(buf_at(0), at(mid), nr * ws);
    usize li = mid, bi = nr, d = hi;  // hole: [li, d), bi records
    try {
      while (li > lo && bi > 0) {
        bool left = compare(at(li - 1), buf_at(bi - 1)) > 0;
        std::memcpy(at(--d), pick(left, at(li - 1), buf_at(bi - 1)), ws);
        li -= left;
        bi -= !left;
      }
    } catch (...) {
      put_back(li, 0, bi);
      throw;
    }
    if (bi) std::memcpy(at(li), buf_at(0), bi * ws);
  } else {
    std::memcpy(buf_at(0), at(lo), nl * ws);
    usize bi = 0, ri = mid, d = lo;  // hole: [d, ri), nl - bi records
    try {
      while (bi < nl && ri < hi) {
        bool left = compare(buf_at(bi), at(ri)) <= 0;
        std::memcpy(at(d++), pick(left, buf_at(bi), at(ri)), ws);
        bi += left;
        ri += !left;
      }
    } catch (...) {
      put_back(d, bi, nl - bi);
      throw;
    }
    if (bi < nl) std::memcpy(at(d), buf_at(bi), (nl - bi) * ws);
  }
}

// Powersort: the power of the boundary between [s1, e1) and [e1, e2) is the depth at which the
// boundary would sit in a perfectly balanced merge tree over [0, n).
u32 node_power(usize s1, usize e1, usize e2, usize n) {
  u64 a = u64{s1} + e1, b = u64{e1} + e2, m = n;
  u32 p = 0;
  while ((a >= m) == (b >= m)) {
    ++p;
    if (a >= m) {
      a -= m;
      b -= m;
    }
    a <<= 1;
    b <<= 1;
  }
  return p + 1;
}

template <class W, class S, class B>
void Sorter<W, S, B>::merge_sort(usize n) {
  struct Run {
    usize start;
    u32 power;
  };
  // Powers on the stack strictly increase and never exceed log2(n) + 1.
  Run stack[66];
  usize top = 0;
  usize s1 = 0, e1 = find_run(0, n);
  while (e1 < n) {
    usize s2 = e1, e2 = find_run(s2, n);
    u32 p = node_power(s1, e1, e2, n);
    while (top > 0 && stack[top - 1].power > p) {
      merge(stack[top - 1].start, s1, e1);
      s1 = stack[--top].start;
    }
    KIV_ASSERT(top < std::size(stack), "merge-sort run stack full");
    stack[top++] = {s1, p};
    s1 = s2;
    e1 = e2;
  }
  while (top > 0) {
    merge(stack[top - 1].start, s1, n);
    s1 = stack[--top].start;
  }
}

// ---------------------------------------------------------------------------------------------
// Quicksort

// Moves [a, a + k) to the end of [a, end), keeping its order; the other records go to the front in
// any order.
template <class W, class S, class B>
void Sorter<W, S, B>::move_to_end(usize a, usize k, usize end) {
  if (k == 0) return;
  if (end - a - k >= k) {
    block_swap(a, end - k, k);
  } else {
    reverse(a, a + k);
    reverse(a + k, end);
    reverse(a, end);
  }
}

// Moves [end - k, end) to the front of [a, end), keeping its order.
template <class W, class S, class B>
void Sorter<W, S, B>::move_to_front(usize a, usize k, usize end) {
  if (k == 0) return;
  if (end - a - k >= k) {
    block_swap(a, end - k, k);
  } else {
    reverse(a, end - k);
    reverse(end - k, end);
    reverse(a, end);
  }
}

// Brings region - first records, taken at a regular stride from [lo + first, lo + n), to
// [lo + first, lo + region). A stride over the whole range makes the region a fair sample of it.
template <class W, class S, class B>
void Sorter<W, S, B>::gather(usize lo, usize n, usize first, usize region) {
  usize m = region - first;
  usize stride = (n - first) / m;
  if (stride <= 1) return;
  for (usize j = 1; j < m; ++j) swap(lo + first + j, lo + first + j * stride);
}

// Orders the first, middle and last record of the region and puts the median second: the first is
// then at most the pivot and the last at least the pivot.
template <class W, class S, class B>
void Sorter<W, S, B>::median_of_three(usize lo, usize region) {
  usize f = lo, m = lo + region / 2, l = lo + region - 1;
  if (cmp(f, m) > 0) swap(f, m);
  if (cmp(m, l) > 0) {
    swap(m, l);
    if (cmp(f, m) > 0) swap(f, m);
  }
  swap(lo + 1, m);
}

// Moves the records of [first, end) that compare below the pivot (at or below it with `or_equal`)
// to the front and returns the end of those. The comparisons of a block are made first and kept;
// the records are then exchanged unconditionally and only the boundary advances by the answer, so
// the unpredictable answer never steers a branch. Reports whether any record equalled the pivot.
template <class W, class S, class B>
usize Sorter<W, S, B>::lomuto(usize first, usize end, usize pivot, bool or_equal, bool* saw_equal) {
  constexpr usize block = 64;
  u8 take[block];
  u8 equal = 0;
  usize lt = first;
  for (usize i = first; i < end;) {
    usize m = std::min(block, end - i);
    for (usize k = 0; k < m; ++k) {
      i32 r = cmp(i + k, pivot);
      take[k] = or_equal ? r <= 0 : r < 0;
      equal |= r == 0;
    }
    for (usize k = 0; k < m; ++k, ++i) {
      swap(i, lt);
      lt += take[k];
    }
  }
  if (saw_equal) *saw_equal = equal;
  return lt;
}

// The region is [lo, lo + region): `lower` records at most the pivot, the pivot, the records to
// partition, then `upper` records at least the pivot. Three-way partition: records equal to the
// pivot end next to it, in the middle, and belong to neither side. Returns (end of the part below,
// start of the part above); the lower records stay at the front of the part below and the upper
// ones at the end of the part above.
//
// The records below the pivot are split off first; only when some record equalled the pivot is
// the rest split again into equal and above (distinct keys never pay for that second pass).
template <class W, class S, class B>
std::pair<usize, usize> Sorter<W, S, B>::partition(usize lo, usize region, usize lower, usize upper) {
  const usize p = lo + lower;
  const usize e = lo + region - upper;
  bool saw_equal = false;
  usize lt = lomuto(p + 1, e, p, false, &saw_equal);
  usize eq = saw_equal ? lomuto(lt, e, p, true, nullptr) : lt;
  usize less = lt - (p + 1);
  if (less) swap(p, lt - 1);  // the pivot joins the equal records
  return {p + less, eq};
}

template <class W, class S, class B>
void Sorter<W, S, B>::heap_sort(usize lo, usize n) {
  auto sift = [&](usize root, usize size) {
    for (;;) {
      usize child = 2 * root + 1;
      if (child >= size) return;
      if (child + 1 < size && cmp(lo + child, lo + child + 1) < 0) ++child;
      if (cmp(lo + root, lo + child) >= 0) return;
      swap(lo + root, lo + child);
      root = child;
    }
  };
  for (usize i = n / 2; i-- > 0;) sift(i, n);
  for (usize end = n; end > 1;) {
    swap(lo, lo + --end);
    sift(0, end);
  }
}

// Sorts [lo, lo + n). `sample` is the length of a sorted run of records at the front of the range,
// or minus its length when it lies at the end. A sorted sample gives near-exact pivots: its median
// splits the range, and its halves serve the two parts. Ranges whose sample is too small relative
// to them first sort a strided region of 16 x sample - 1 records, which then becomes the sample.
//
// The recursion takes the smaller part and the loop goes on with the larger, so the depth is
// logarithmic; a range that keeps splitting badly (more than 7/8 on one side, `budget` times) is
// finished by heapsort.
template <class W, class S, class B>
void Sorter<W, S, B>::sort_range(usize lo, usize n, i64 sample, i32 budget) {
  for (;;) {
    usize k = static_cast<usize>(sample < 0 ? -sample : sample);
    if (k >= n) return;  // all of it is the sorted sample
    if (n <= small_range) {
      insertion_sort(lo, lo + 1, lo + n);
      return;
    }
    if (budget <= 0) {
      heap_sort(lo, n);
      return;
    }
    if (k <= 2) k = 0;
    if (sample < 0) move_to_front(lo, k, lo + n);

    usize region, lower, upper;
    if (k > 2) {
      region = k > n / 256 ? n : 16 * k - 1;
      if (region < n) gather(lo, n, k, region);
      lower = k / 2;
      upper = k - lower - 1;
      move_to_end(lo + lower + 1, upper, lo + region);
    } else {
      region = n > 511 ? 63 : n;
      if (region < n) gather(lo, n, 0, region);
      median_of_three(lo, region);
      lower = upper = 1;
    }
    auto [below_end, above_start] = partition(lo, region, lower, upper);
    usize below = below_end - lo, above = lo + region - above_start;
    i64 below_sample = lower > 2 ? static_cast<i64>(lower) : 0;
    i64 above_sample = upper > 2 ? -static_cast<i64>(upper) : 0;

    if (region < n) {
      // The region is a small part of the range: finish it, and it becomes the next sample.
      sort_range(lo, below, below_sample, budget);
      sort_range(above_start, above, above_sample, budget);
      sample = static_cast<i64>(region);
      continue;
    }
    if (std::max(below, above) > n - n / 8) {
      // A lopsided split: the sample misled, so the larger part bootstraps a fresh one.
      --budget;
      below_sample = above_sample = 0;
    }
    if (below <= above) {
      sort_range(lo, below, below_sample, budget);
      lo = above_start;
      n = above;
      sample = above_sample;
    } else {
      sort_range(above_start, above, above_sample, budget);
      n = below;
      sample = below_sample;
    }
  }
}

// Takes in records that continue the prefix's order, in blocks of 10, moving the others aside
// (behind the prefix). A record must also keep the order with the one after it: a single outlier
// from far ahead would otherwise be taken in and shut out everything after it. A block in which
// fewer than half continue the order gives back the prefix's last record (in case an outlier got
// in after all); the third such block in a row ends the extension.
template <class W, class S, class B>
usize Sorter<W, S, B>::extend_prefix(usize p, bool ascending, usize n) {
  auto in_order = [&](usize a, usize b) {
    i32 r = cmp(a, b);
    return ascending ? r <= 0 : r >= 0;
  };
  usize j = p;
  u32 failures = 0;
  while (j < n) {
    usize end = std::min(n, j + 10), block = end - j, taken = 0;
    for (; j < end; ++j) {
      if (in_order(p - 1, j) && (j + 1 == n || in_order(j, j + 1))) {
        if (j != p) swap(p, j);
        ++p;
        ++taken;
      }
    }
    if (taken * 2 >= block) {
      failures = 0;
    } else if (++failures == 3) {
      break;
    } else if (p > 1) {
      --p;
    }
  }
  return p;
}

// The longest ordered prefix, extended when sampling says the rest is mostly in the same order,
// and turned ascending. Returns its length.
template <class W, class S, class B>
usize Sorter<W, S, B>::prescan(usize n) {
  usize i = 0;
  i32 r = 0;
  while (i + 1 < n && (r = cmp(i, i + 1)) == 0) ++i;
  if (i + 1 >= n) return n;  // all equal
  bool ascending = r < 0;
  ++i;
  while (i + 1 < n) {
    r = cmp(i, i + 1);
    if (ascending ? r > 0 : r < 0) break;
    ++i;
  }
  usize p = i + 1;
  if (p < n) {
    // Every 97th adjacent pair of the rest votes on its order.
    i64 estimate = ascending ? static_cast<i64>(p) : -static_cast<i64>(p);
    for (usize j = p; j + 1 < n; j += 97) {
      r = cmp(j, j + 1);
      estimate += r < 0 ? 1 : r > 0 ? -1 : 0;
    }
    if (static_cast<usize>(estimate < 0 ? -estimate : estimate) > n / 512) {
      if ((estimate > 0) != ascending) {
        ascending = estimate > 0;
        p = 1;
      } else if (p >= 2) {
        // The prefix broke either on a low record after it or on a high one at its end; the
        // latter would shut out everything that follows, so it is left to the rest.
        i32 r2 = cmp(p - 2, p);
        if (ascending ? r2 <= 0 : r2 >= 0) --p;
      }
      p = extend_prefix(p, ascending, n);
    }
  }
  if (!ascending) reverse(0, p);
  return p;
}

template <class W, class S, class B>
void Sorter<W, S, B>::quick_sort(usize n) {
  usize prefix = prescan(n);
  if (prefix >= n) return;
  sort_range(0, n, static_cast<i64>(prefix), static_cast<i32>(log2_floor(n)) + 1);
}

// ---------------------------------------------------------------------------------------------

template <class S, class B>
void dispatch(bool stable, u32 width, usize n, S a, B buf, Compare compare, std::uintptr_t context, u32 flags) {
  auto go = [&](auto w) {
    Sorter<decltype(w), S, B> s(w, a, buf, compare, context, flags);
    if (stable) {
      s.merge_sort(n);
    } else {
      s.quick_sort(n);
    }
  };
  switch (width) {
    case 1: go(FixedWidth<1>(width)); break;
    case 2: go(FixedWidth<2>(width)); break;
    case 4: go(FixedWidth<4>(width)); break;
    case 8: go(FixedWidth<8>(width)); break;
    case 16: go(FixedWidth<16>(width)); break;
    case 32: go(FixedWidth<32>(width)); break;
    default: go(AnyWidth(width)); break;
  }
}

// The merge sort's work buffer in bytes: count / 2 records, refused past 32-bit signed sizes.
u64 work_bytes(u32 count, u32 width) {
  u64 bytes = u64{count / 2} * width;
  if (bytes > 0x7FFFFFFF) raise_error(ErrorCategory::script, "too-long");
  return bytes;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

void swap(void* a, void* b, u32 width) {
  swap_bytes(static_cast<std::byte*>(a), static_cast<std::byte*>(b), width);
}

void merge_sort(void* base, u32 count, u32 width, std::uintptr_t context, u32 flags, Compare compare) {
  if (count < 2 || width == 0) return;
  u64 bytes = work_bytes(count, width);
  std::unique_ptr<std::byte, FreeDeleter> work(static_cast<std::byte*>(std::malloc(bytes)));
  if (!work) raise_error(ErrorCategory::internal, "no-memory");
  dispatch(true, width, count, FixedArray{static_cast<std::byte*>(base)}, FixedArray{work.get()}, compare, context,
           flags);
}

void quick_sort(void* base, u32 count, u32 width, std::uintptr_t context, u32 flags, Compare compare) {
  if (count < 2 || width == 0) return;
  dispatch(false, width, count, FixedArray{static_cast<std::byte*>(base)}, FixedArray{nullptr}, compare, context,
           flags);
}

void sort_series(Ref<Node> series, u32 offset, u32 count, u32 width, std::uintptr_t context, u32 flags,
                 Compare compare, bool stable) {
  if (count < 2 || width == 0) return;
  RootNode keep(series);
  SeriesRange a{&series, offset, u64{count} * width};
  a.reload();
  if (!stable) {
    dispatch(false, width, count, a, FixedArray{nullptr}, compare, context, flags);
    return;
  }
  u64 bytes = work_bytes(count, width);
  bool cells = buffer_of(series)->unit() == sizeof(Cell) && width % sizeof(Cell) == 0;
  Ref<Node> work = cells ? memory::alloc_unset_cells(static_cast<i32>(bytes / sizeof(Cell)))
                         : memory::alloc_bytes(static_cast<i32>(bytes));
  RootNode keep_work(work);
  // The whole area counts as content, so that the collector marks (and rewrites) every cell parked
  // in it during a merge.
  SeriesBuffer* wb = buffer_of(work);
  wb->tail = wb->end_offset();
  SeriesRange buf{&work, 0, bytes};
  buf.reload();
  a.reload();  // the allocation may have collected and moved the series
  dispatch(true, width, count, a, buf, compare, context, flags);
}

}  // namespace kiv::sorting
