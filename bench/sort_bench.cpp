// Sorting 1,000,000 32-bit integers: the quicksort and the merge sort against std::sort, and each on
// the inputs that defeat naive quicksorts. Run: bench-sort_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "runtime/sort.h"

using namespace kiv;

namespace {

constexpr u32 n = 1000000;

i32 compare_int(const void* a, const void* b, std::uintptr_t, u32) {
  i32 x, y;
  std::memcpy(&x, a, 4);
  std::memcpy(&y, b, 4);
  return x < y ? -1 : x > y ? 1 : 0;
}

enum Shape { random_, organ_pipe, all_equal, sorted_, reversed_, median3_killer, few_distinct, nearly_sorted };

std::vector<i32> make(Shape s) {
  std::mt19937 rng(12345);
  std::vector<i32> v(n);
  switch (s) {
    case random_: for (auto& x : v) x = static_cast<i32>(rng()); break;
    case organ_pipe: for (u32 i = 0; i < n; ++i) v[i] = static_cast<i32>(i < n / 2 ? i : n - i); break;
    case all_equal: std::fill(v.begin(), v.end(), 42); break;
    case sorted_: std::iota(v.begin(), v.end(), 0); break;
    case reversed_: for (u32 i = 0; i < n; ++i) v[i] = static_cast<i32>(n - i); break;
    case median3_killer: {
      u32 k = n / 2;
      for (u32 i = 1; i <= k; ++i) {
        v[i - 1] = static_cast<i32>(i % 2 ? i : k + i - 1);
        v[k + i - 1] = static_cast<i32>(2 * i);
      }
      break;
    }
    case few_distinct: for (auto& x : v) x = static_cast<i32>(rng() % 16); break;
    case nearly_sorted:
      std::iota(v.begin(), v.end(), 0);
      for (u32 i = 0; i < n / 100; ++i) std::swap(v[rng() % n], v[rng() % n]);
      break;
  }
  return v;
}

template <class Sort>
void run(benchmark::State& state, Sort sort) {
  const std::vector<i32> input = make(static_cast<Shape>(state.range(0)));
  std::vector<i32> v;
  for (auto _ : state) {
    state.PauseTiming();
    v = input;
    state.ResumeTiming();
    sort(v);
    benchmark::DoNotOptimize(v.data());
  }
  if (!std::is_sorted(v.begin(), v.end())) state.SkipWithError("not sorted");
}

void BM_std_sort(benchmark::State& state) {
  run(state, [](std::vector<i32>& v) { std::sort(v.begin(), v.end()); });
}
// std::sort paying the same indirect call per comparison as ours.
void BM_std_sort_callback(benchmark::State& state) {
  run(state, [](std::vector<i32>& v) {
    sorting::Compare volatile cmp = compare_int;
    sorting::Compare c = cmp;
    std::sort(v.begin(), v.end(), [c](const i32& a, const i32& b) { return c(&a, &b, 0, 0) < 0; });
  });
}
void BM_quick_sort(benchmark::State& state) {
  run(state, [](std::vector<i32>& v) { sorting::quick_sort(v.data(), n, 4, 0, 0, compare_int); });
}
void BM_merge_sort(benchmark::State& state) {
  run(state, [](std::vector<i32>& v) { sorting::merge_sort(v.data(), n, 4, 0, 0, compare_int); });
}
void BM_std_stable_sort(benchmark::State& state) {
  run(state, [](std::vector<i32>& v) { std::stable_sort(v.begin(), v.end()); });
}

void shapes(benchmark::internal::Benchmark* b) {
  b->ArgName("shape");
  for (int s = random_; s <= nearly_sorted; ++s) b->Arg(s);
  b->Unit(benchmark::kMillisecond);
}

}  // namespace

// shape: 0 random, 1 organ pipe, 2 all equal, 3 sorted, 4 reversed, 5 median-of-3 killer,
// 6 few distinct, 7 nearly sorted.
BENCHMARK(BM_std_sort)->Apply(shapes);
BENCHMARK(BM_std_sort_callback)->Apply(shapes);
BENCHMARK(BM_quick_sort)->Apply(shapes);
BENCHMARK(BM_merge_sort)->Apply(shapes);
BENCHMARK(BM_std_stable_sort)->Apply(shapes);
BENCHMARK_MAIN();
