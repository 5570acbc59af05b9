// block! sort and set operations on large blocks.
//   bench-block_sort_bench --benchmark_filter=Sort     (1 million random integers, quick and stable)
//   bench-block_sort_bench --benchmark_filter=Unique   (1 million cells, many or few repeats)
#include <benchmark/benchmark.h>

#include <random>

#include "datatypes/block.h"
#include "datatypes/block_search.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/case_table.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv {
namespace {

void start_memory() {
  memory::init();
  memory::new_node_frame(memory::node_frame_slots);
  memory::new_series_frame();
  stack::init();
}

void boot() {
  static bool done = false;
  if (done) return;
  done = true;
  start_memory();
  unicode::build_case_tables();
  datatype::init();
  unset::init();
  none::init();
  logic::init();
  series::init();
  block::init();
  string::init();
  integer::init();
  float_::init();
}

// No collector here: the frames are given back between runs.
void restart() {
  memory::free_all();
  start_memory();
}

// A block of n random integers below `range` on the value stack.
Cell* random_integers(i32 n, u32 range, u32 seed) {
  Cell* blk = block::push_new(n);
  SeriesBuffer* b = block::buffer_of(blk);
  std::mt19937 rng(seed);
  Cell* c = b->head_ptr<Cell>();
  for (i32 i = 0; i < n; ++i) c[i] = Cell{type::integer, 0, static_cast<u32>(rng() % range), 0};
  b->tail = b->head + static_cast<u32>(n) * sizeof(Cell);
  return blk;
}

void sort_integers(benchmark::State& state, bool stable) {
  boot();
  const auto n = static_cast<i32>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    restart();
    Cell* blk = random_integers(n, 0x7FFFFFFF, 42);
    state.ResumeTiming();
    block::sort(blk, false, nullptr, nullptr, nullptr, false, false, stable);
    benchmark::DoNotOptimize(block::cell_at(blk, 0)->w2);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_SortIntegers(benchmark::State& state) { sort_integers(state, false); }
void BM_SortIntegersStable(benchmark::State& state) { sort_integers(state, true); }
BENCHMARK(BM_SortIntegers)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SortIntegersStable)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// unique of n cells drawn from `range` distinct values.
void BM_Unique(benchmark::State& state) {
  boot();
  const auto n = static_cast<i32>(state.range(0));
  const auto range = static_cast<u32>(state.range(1));
  i32 kept = 0;
  for (auto _ : state) {
    state.PauseTiming();
    restart();
    Cell* blk = random_integers(n, range, 7);
    stack::arguments = blk;
    state.ResumeTiming();
    block::do_set_operation(false, nullptr, block::set_op::unique);
    kept = block::length(blk);
  }
  state.counters["kept"] = kept;
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Unique)->Args({1'000'000, 500'000})->Args({1'000'000, 1000})->Args({1'000'000, 0x7FFFFFFF})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
