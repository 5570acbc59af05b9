#include "runtime/sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "tests/unit/core_fixture.h"

using namespace kiv;

namespace {

using SortFn = void (*)(void*, u32, u32, std::uintptr_t, u32, sorting::Compare);

struct Counting {
  u64 calls = 0;
  u64 throw_at = 0;  // throw on this call (1-based); 0 never
};

// Records are `width` bytes; the key is the first 4 bytes (i32), the rest is a tag the sort must
// carry along untouched.
i32 compare_key(const void* a, const void* b, std::uintptr_t context, u32 flags) {
  auto* c = reinterpret_cast<Counting*>(context);
  if (c) {
    if (++c->calls == c->throw_at) throw 42;
  }
  i32 x, y;
  std::memcpy(&x, a, 4);
  std::memcpy(&y, b, 4);
  i32 r = x < y ? -1 : x > y ? 1 : 0;
  return flags ? -r : r;  // flags: reverse order
}

i32 compare_byte(const void* a, const void* b, std::uintptr_t, u32) {
  return static_cast<i32>(*static_cast<const u8*>(a)) - static_cast<i32>(*static_cast<const u8*>(b));
}

std::vector<i32> shape(const std::string& name, u32 n, u32 seed) {
  std::mt19937 rng(seed);
  std::vector<i32> v(n);
  if (name == "random") {
    for (auto& x : v) x = static_cast<i32>(rng());
  } else if (name == "sorted") {
    std::iota(v.begin(), v.end(), 0);
  } else if (name == "reversed") {
    for (u32 i = 0; i < n; ++i) v[i] = static_cast<i32>(n - i);
  } else if (name == "equal") {
    std::fill(v.begin(), v.end(), 7);
  } else if (name == "few") {
    for (auto& x : v) x = static_cast<i32>(rng() % 4);
  } else if (name == "organ") {
    for (u32 i = 0; i < n; ++i) v[i] = static_cast<i32>(i < n / 2 ? i : n - i);
  } else if (name == "sawtooth") {
    for (u32 i = 0; i < n; ++i) v[i] = static_cast<i32>(i % 37);
  } else if (name == "nearly") {
    std::iota(v.begin(), v.end(), 0);
    for (u32 i = 0; i < n / 50 + 1 && n > 1; ++i) std::swap(v[rng() % n], v[rng() % n]);
  } else if (name == "sorted-then-random") {
    for (u32 i = 0; i < n; ++i) v[i] = i < n / 2 ? static_cast<i32>(i) : static_cast<i32>(rng() % (n + 1));
  } else if (name == "median3-killer") {
    // The classic sequence that drives median-of-three quicksort quadratic.
    u32 k = n / 2;
    for (u32 i = 1; i <= k; ++i) {
      v[i - 1] = static_cast<i32>(i % 2 ? i : k + i - 1);
      v[k + i - 1] = static_cast<i32>(2 * i);
    }
    if (n % 2) v[n - 1] = static_cast<i32>(n);
  }
  return v;
}

// Records of `width` bytes: key, then the original position, then filler derived from both.
std::vector<std::byte> make_records(const std::vector<i32>& keys, u32 width) {
  std::vector<std::byte> out(keys.size() * width);
  for (size_t i = 0; i < keys.size(); ++i) {
    std::byte* r = out.data() + i * width;
    std::memcpy(r, &keys[i], std::min<u32>(width, 4));
    u32 pos = static_cast<u32>(i);
    if (width >= 8) std::memcpy(r + 4, &pos, 4);
    for (u32 b = 8; b < width; ++b) r[b] = static_cast<std::byte>((keys[i] + pos * 7 + b) & 0xFF);
  }
  return out;
}

i32 key_of(const std::vector<std::byte>& recs, u32 width, size_t i) {
  i32 k;
  std::memcpy(&k, recs.data() + i * width, 4);
  return k;
}

// The sorted records must be exactly the input records, rearranged.
void expect_permutation(std::vector<std::byte> before, std::vector<std::byte> after, u32 width) {
  ASSERT_EQ(before.size(), after.size());
  auto split = [&](const std::vector<std::byte>& v) {
    std::vector<std::string> r;
    for (size_t i = 0; i < v.size(); i += width) r.emplace_back(reinterpret_cast<const char*>(v.data() + i), width);
    std::sort(r.begin(), r.end());
    return r;
  };
  EXPECT_EQ(split(before), split(after)) << "records were lost or duplicated";
}

const char* const shapes[] = {"random", "sorted",  "reversed", "equal",  "few",
                              "organ",  "sawtooth", "nearly",  "sorted-then-random", "median3-killer"};
const u32 sizes[] = {0, 1, 2, 3, 7, 8, 23, 24, 25, 63, 64, 100, 511, 512, 1000, 5000, 20011};

}  // namespace

TEST(Sorting, BothSortsOrderEveryShapeSizeAndWidth) {
  for (u32 width : {4u, 8u, 12u, 16u, 32u, 20u}) {
    for (const char* s : shapes) {
      for (u32 n : sizes) {
        if (width != 4 && n > 5000) continue;
        auto keys = shape(s, n, n * 31 + width);
        auto input = make_records(keys, width);
        for (bool stable : {false, true}) {
          SCOPED_TRACE(std::string(s) + " n=" + std::to_string(n) + " width=" + std::to_string(width) +
                       (stable ? " merge" : " quick"));
          auto recs = input;
          SortFn sort = stable ? sorting::merge_sort : sorting::quick_sort;
          sort(recs.data(), n, width, 0, 0, compare_key);
          for (u32 i = 1; i < n; ++i) ASSERT_LE(key_of(recs, width, i - 1), key_of(recs, width, i)) << "at " << i;
          expect_permutation(input, recs, width);
          if (stable && width >= 8) {
            // Equal keys keep their original order (the position stored after the key).
            for (u32 i = 1; i < n; ++i) {
              if (key_of(recs, width, i - 1) != key_of(recs, width, i)) continue;
              u32 p, q;
              std::memcpy(&p, recs.data() + (i - 1) * width + 4, 4);
              std::memcpy(&q, recs.data() + i * width + 4, 4);
              ASSERT_LT(p, q) << "unstable at " << i;
            }
          }
        }
      }
    }
  }
}

TEST(Sorting, ByteWideRecordsAndFlagsReachTheComparison) {
  std::string text = "the quick brown fox jumps over the lazy dog";
  std::string expected = text;
  std::sort(expected.begin(), expected.end());
  for (SortFn sort : {sorting::merge_sort, sorting::quick_sort}) {
    std::string s = text;
    sort(s.data(), static_cast<u32>(s.size()), 1, 0, 0, compare_byte);
    EXPECT_EQ(s, expected);
  }
  // Odd widths swap byte by byte.
  std::vector<i32> keys = shape("random", 300, 5);
  for (auto& k : keys) k &= 0xFFFF;
  auto recs = make_records(keys, 3);
  auto input = recs;
  sorting::quick_sort(recs.data(), 300, 3, 0, 0, [](const void* a, const void* b, std::uintptr_t, u32) {
    u32 x = 0, y = 0;
    std::memcpy(&x, a, 3);
    std::memcpy(&y, b, 3);
    return x < y ? -1 : x > y ? 1 : 0;
  });
  expect_permutation(input, recs, 3);
  // flags travel to the comparison untouched: here they reverse the order.
  std::vector<i32> v = {3, 1, 2, 5, 4};
  sorting::merge_sort(v.data(), 5, 4, 0, 1, compare_key);
  EXPECT_EQ(v, (std::vector<i32>{5, 4, 3, 2, 1}));
}

TEST(Sorting, MergeSortTakesOrderedInputAsOneRun) {
  // Sorted or strictly descending input costs count - 1 comparisons: one run, reversed at most once.
  for (u32 n : {2u, 25u, 1000u}) {
    for (const char* s : {"sorted", "reversed"}) {
      auto v = shape(s, n, 1);
      Counting c;
      sorting::merge_sort(v.data(), n, 4, reinterpret_cast<std::uintptr_t>(&c), 0, compare_key);
      EXPECT_EQ(c.calls, n - 1) << s << " " << n;
      EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    }
  }
  // Nothing to do for 0 and 1 records: no comparison, nothing touched.
  for (SortFn sort : {sorting::merge_sort, sorting::quick_sort}) {
    i32 one = 9;
    Counting c;
    sort(&one, 1, 4, reinterpret_cast<std::uintptr_t>(&c), 0, compare_key);
    sort(nullptr, 0, 4, reinterpret_cast<std::uintptr_t>(&c), 0, compare_key);
    EXPECT_EQ(c.calls, 0u);
    EXPECT_EQ(one, 9);
  }
}

TEST(Sorting, QuickSortPrescanFinishesOrderedInputInLinearTime) {
  for (const char* s : {"sorted", "reversed", "equal"}) {
    auto v = shape(s, 10000, 1);
    Counting c;
    sorting::quick_sort(v.data(), 10000, 4, reinterpret_cast<std::uintptr_t>(&c), 0, compare_key);
    EXPECT_EQ(c.calls, 9999u) << s;
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
  }
}

namespace {
// McIlroy's adversary: values are decided lazily, always against the sort's current pivot
// candidate, which defeats any pivot choice that looks at few records. The records the prescan
// reads get fixed values below every lazy one, ordered so that the prefix breaks at once and the
// vote on the rest stays undecided: the partitioning itself is what gets attacked.
struct Adversary {
  std::vector<i32> val;
  std::vector<bool> used;
  i32 gas, next = 0, candidate = -1;
  u64 calls = 0;
  explicit Adversary(u32 n) : val(n, static_cast<i32>(n)), used(n, false), gas(static_cast<i32>(n)) {
    std::vector<u32> fixed = {0, 1, 2};
    for (u32 j = 2; j + 1 < n; j += 97) {
      if (j > 2) fixed.push_back(j);
      fixed.push_back(j + 1);
    }
    std::vector<i32> vals(fixed.size());
    std::iota(vals.begin(), vals.end(), 0);
    std::mt19937 rng(7);
    std::shuffle(vals.begin() + 3, vals.end(), rng);
    vals[0] = 2, vals[1] = 0, vals[2] = 1;
    for (size_t i = 0; i < fixed.size(); ++i) val[fixed[i]] = vals[i], used[vals[i]] = true;
  }
  i32 freeze() {
    while (used[next]) ++next;
    used[next] = true;
    return next;
  }
  static i32 compare(const void* a, const void* b, std::uintptr_t context, u32) {
    auto* s = reinterpret_cast<Adversary*>(context);
    ++s->calls;
    i32 x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    if (s->val[x] == s->gas && s->val[y] == s->gas) s->val[x == s->candidate ? y : x] = s->freeze();
    if (s->val[x] == s->gas) {
      s->candidate = x;
    } else if (s->val[y] == s->gas) {
      s->candidate = y;
    }
    return s->val[x] < s->val[y] ? -1 : s->val[x] > s->val[y] ? 1 : 0;
  }
};
}  // namespace

TEST(Sorting, QuickSortStaysNLogNAgainstAnAdversary) {
  // Without the heapsort fallback this adversary costs about 8 n log n comparisons at n = 100,000
  // and more as n grows.
  for (u32 n : {1000u, 100000u}) {
    Adversary adv(n);
    std::vector<i32> items(n);
    std::iota(items.begin(), items.end(), 0);
    sorting::quick_sort(items.data(), n, 4, reinterpret_cast<std::uintptr_t>(&adv), 0, Adversary::compare);
    EXPECT_LT(static_cast<double>(adv.calls), 4.0 * n * std::log2(static_cast<double>(n))) << "n=" << n;
    for (u32 i = 1; i < n; ++i) ASSERT_LT(adv.val[items[i - 1]], adv.val[items[i]]);
  }
  // The fixed killer shapes stay well within n log n too.
  for (const char* s : {"median3-killer", "organ", "sawtooth", "sorted-then-random"}) {
    u32 n = 100000;
    auto v = shape(s, n, 3);
    Counting c;
    sorting::quick_sort(v.data(), n, 4, reinterpret_cast<std::uintptr_t>(&c), 0, compare_key);
    EXPECT_LT(static_cast<double>(c.calls), 1.5 * n * std::log2(static_cast<double>(n))) << s;
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
  }
}

TEST(Sorting, AThrowingComparisonLeavesAPermutation) {
  // The comparison throws at every k-th call in turn; each time the records must all still be there,
  // whichever phase (run finding, insertion, merging from either end, partitioning, heap) was hit.
  for (bool stable : {true, false}) {
    for (u32 width : {4u, 16u, 12u}) {
      u32 n = 300;
      auto keys = shape("random", n, 11);
      for (auto& k : keys) k %= 50;  // plenty of equal keys
      auto input = make_records(keys, width);
      Counting probe;
      (stable ? sorting::merge_sort : sorting::quick_sort)(
          make_records(keys, width).data(), n, width, reinterpret_cast<std::uintptr_t>(&probe), 0, compare_key);
      for (u64 at = 1; at <= probe.calls; at += (at < 200 ? 1 : 37)) {
        auto recs = input;
        Counting c{0, at};
        bool thrown = false;
        try {
          (stable ? sorting::merge_sort : sorting::quick_sort)(recs.data(), n, width,
                                                               reinterpret_cast<std::uintptr_t>(&c), 0, compare_key);
        } catch (int) {
          thrown = true;
        }
        ASSERT_TRUE(thrown);
        expect_permutation(input, recs, width);
        if (HasFailure()) {
          ADD_FAILURE() << (stable ? "merge" : "quick") << " width " << width << " throw at call " << at;
          return;
        }
      }
    }
  }
}

TEST(Sorting, MergeSortRefusesAWorkBufferPastSignedSizes) {
  // count / 2 x width = 2^31 bytes: too-long before anything is touched.
  i32 dummy = 5;
  Counting c;
  try {
    sorting::merge_sort(&dummy, 0x10000000u, 16, reinterpret_cast<std::uintptr_t>(&c), 0, compare_key);
    FAIL() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::script);
    EXPECT_STREQ(e.id, "too-long");
  }
  EXPECT_EQ(c.calls, 0u);
  EXPECT_EQ(dummy, 5);
}

TEST(Sorting, SwapExchangesWholeRecords) {
  for (u32 width : {1u, 3u, 4u, 8u, 20u}) {
    std::vector<u8> a(width), b(width);
    std::iota(a.begin(), a.end(), 0);
    std::iota(b.begin(), b.end(), 100);
    auto a0 = a, b0 = b;
    sorting::swap(a.data(), b.data(), width);
    EXPECT_EQ(a, b0);
    EXPECT_EQ(b, a0);
  }
}

// A larger differential run against std::stable_sort, on demand.
TEST(Sorting, DifferentialAgainstStdStableSort) {
  const char* env = std::getenv("KIV_SORT_ROUNDS");
  u32 rounds = env ? static_cast<u32>(std::atoi(env)) : 30;
  std::mt19937 rng(99);
  for (u32 r = 0; r < rounds; ++r) {
    u32 n = rng() % 3000;
    u32 range = 1 + rng() % (r % 3 == 0 ? 5 : 100000);
    std::vector<std::pair<i32, u32>> v(n);
    for (u32 i = 0; i < n; ++i) v[i] = {static_cast<i32>(rng() % range), i};
    auto expected = v;
    std::stable_sort(expected.begin(), expected.end(), [](auto& x, auto& y) { return x.first < y.first; });
    auto got = v;
    sorting::merge_sort(got.data(), n, sizeof(got[0]), 0, 0, compare_key);
    ASSERT_EQ(got, expected) << "round " << r;
    got = v;
    sorting::quick_sort(got.data(), n, sizeof(got[0]), 0, 0, compare_key);
    for (u32 i = 1; i < n; ++i) ASSERT_LE(got[i - 1].first, got[i].first);
    std::sort(got.begin(), got.end());
    auto all = v;
    std::sort(all.begin(), all.end());
    ASSERT_EQ(got, all);
  }
}

// ---- Sorting a series whose comparison runs code that allocates ----

namespace {

// A comparison standing for language code: it reads both records first (as the block sort copies
// them onto the value stack), then grows the series now and then, which moves its buffer, and
// scribbles over the abandoned buffer so that any address kept from before shows up as garbage.
struct Meddler {
  Ref<Node>* series;
  u64 calls = 0;
  u64 throw_at = 0;
  u64 shrink_at = 0;
  static i32 compare(const void* a, const void* b, std::uintptr_t context, u32) {
    auto* m = reinterpret_cast<Meddler*>(context);
    Cell x = *static_cast<const Cell*>(a), y = *static_cast<const Cell*>(b);
    ++m->calls;
    if (m->calls % 7 == 0) {
      collector::Pin pin(*m->series);  // the abandoned buffer stays where it is, to be scribbled on
      SeriesBuffer* old = buffer_of(*m->series);
      memory::expand_series(old, static_cast<i32>(old->size));
      std::memset(old->data(), 0xEE, old->size);
    }
    if (m->calls == m->shrink_at) buffer_of(*m->series)->tail -= sizeof(Cell) * 3;
    if (m->calls == m->throw_at) throw 5;
    return x.as_int() < y.as_int() ? -1 : x.as_int() > y.as_int() ? 1 : 0;
  }
};

class SeriesSort : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }

  // Cells of the series: integers with keys 0-39, the original position in word 3.
  static Ref<Node> make(u32 n) {
    Ref<Node> node = memory::alloc_cells(static_cast<i32>(n));
    std::mt19937 rng(n);
    SeriesBuffer* b = buffer_of(node);
    for (u32 i = 0; i < n; ++i) b->head_ptr<Cell>()[i] = Cell{type::integer, 0, static_cast<u32>(rng() % 40), i};
    b->tail = b->head + n * sizeof(Cell);
    return node;
  }
  static std::vector<std::pair<u32, u32>> records(Ref<Node> node) {
    std::vector<std::pair<u32, u32>> out;
    SeriesBuffer* b = buffer_of(node);
    for (u32 i = 0; i < b->used_bytes() / sizeof(Cell); ++i) {
      const Cell& c = b->head_ptr<Cell>()[i];
      EXPECT_EQ(c.header, type::integer) << "garbage at " << i;
      out.emplace_back(c.w2, c.w3);
    }
    return out;
  }
};

}  // namespace

TEST_F(SeriesSort, BufferMovesDuringComparisonsAreFollowed) {
  for (bool stable : {false, true}) {
    Ref<Node> node = make(300);
    RootNode keep(node);
    auto before = records(node);
    Meddler m{&node};
    // Records 10 to 289 only; the ten at each end stay where they are.
    sorting::sort_series(node, 10 * sizeof(Cell), 280, sizeof(Cell), reinterpret_cast<std::uintptr_t>(&m), 0,
                         Meddler::compare, stable);
    ASSERT_GT(m.calls, 7u);
    auto after = records(node);
    ASSERT_EQ(after.size(), 300u);
    for (u32 i = 0; i < 10; ++i) EXPECT_EQ(after[i], before[i]);
    for (u32 i = 290; i < 300; ++i) EXPECT_EQ(after[i], before[i]);
    for (u32 i = 11; i < 290; ++i) {
      ASSERT_LE(after[i - 1].first, after[i].first) << i;
      if (stable && after[i - 1].first == after[i].first) {
        ASSERT_LT(after[i - 1].second, after[i].second) << i;
      }
    }
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after) << (stable ? "merge" : "quick");
  }
}

TEST_F(SeriesSort, AShrunkSeriesIsPastEndAndAFailedSortKeepsEveryRecord) {
  for (bool stable : {false, true}) {
    Ref<Node> node = make(200);
    RootNode keep(node);
    Meddler m{&node};
    m.shrink_at = 150;
    try {
      sorting::sort_series(node, 0, 200, sizeof(Cell), reinterpret_cast<std::uintptr_t>(&m), 0, Meddler::compare,
                           stable);
      ADD_FAILURE() << "no error";
    } catch (const LanguageError& e) {
      EXPECT_EQ(e.category, ErrorCategory::script);
      EXPECT_STREQ(e.id, "past-end");
    }
  }
  for (bool stable : {false, true}) {
    for (u64 at : {3u, 60u, 400u, 900u}) {
      Ref<Node> node = make(200);
      RootNode keep(node);
      auto before = records(node);
      Meddler m{&node};
      m.throw_at = at;
      EXPECT_THROW(sorting::sort_series(node, 0, 200, sizeof(Cell), reinterpret_cast<std::uintptr_t>(&m), 0,
                                        Meddler::compare, stable),
                   int);
      auto after = records(node);
      std::sort(before.begin(), before.end());
      std::sort(after.begin(), after.end());
      EXPECT_EQ(before, after) << (stable ? "merge" : "quick") << " throw at " << at;
    }
  }
}

namespace {
// Language code stands behind this comparison: every call allocates, and with torture mode every
// allocation collects and moves every live buffer and node.
struct Allocating {
  u64 calls = 0;
  static i32 compare(const void* a, const void* b, std::uintptr_t context, u32) {
    Cell x = *static_cast<const Cell*>(a), y = *static_cast<const Cell*>(b);
    ++reinterpret_cast<Allocating*>(context)->calls;
    memory::alloc_cells(2);
    return x.as_int() < y.as_int() ? -1 : x.as_int() > y.as_int() ? 1 : 0;
  }
};
}  // namespace

TEST_F(SeriesSort, CollectionsDuringComparisonsMoveNothingUnderTheSort) {
  bool was_enabled = collector::enabled;
  u32 was_every = collector::torture_every;
  collector::enabled = true;
  collector::set_torture(1);
  for (bool stable : {false, true}) {
    Ref<Node> node = make(120);
    RootNode keep(node);
    auto before = records(node);
    Allocating counter;
    u32 collections = collector::series_cycles;
    sorting::sort_series(node, 0, 120, sizeof(Cell), reinterpret_cast<std::uintptr_t>(&counter), 0,
                         Allocating::compare, stable);
    EXPECT_GT(collector::series_cycles - collections, 100u);
    auto after = records(node);
    for (u32 i = 1; i < 120; ++i) {
      ASSERT_LE(after[i - 1].first, after[i].first) << i;
      if (stable && after[i - 1].first == after[i].first) {
        ASSERT_LT(after[i - 1].second, after[i].second) << i;
      }
    }
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after) << (stable ? "merge" : "quick");
  }
  collector::set_torture(was_every);
  collector::enabled = was_enabled;
}
