// block! throughput: appending to a block (amortised growth) and molding a large nested block.
//   bench-block_bench --benchmark_filter=Append   (10 million integers)
//   bench-block_bench --benchmark_filter=Mold     (1 million cells in nested blocks)
#include <benchmark/benchmark.h>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/paren.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv {
namespace {

void boot() {
  static bool done = false;
  if (done) return;
  done = true;
  memory::init();
  memory::new_node_frame(memory::node_frame_slots);
  memory::new_series_frame();
  stack::init();
  datatype::init();
  unset::init();
  none::init();
  logic::init();
  series::init();
  block::init();
  integer::init();
  paren::init();
}

// The append action as the generic entry calls it, one integer at a time.
void BM_AppendIntegers(benchmark::State& state) {
  boot();
  const auto n = static_cast<i32>(state.range(0));
  for (auto _ : state) {
    Cell blk;
    RootCell keep(blk);
    block::make_at(&blk, 1);
    Cell v{type::integer, 0, 0, 0};
    for (i32 i = 0; i < n; ++i) {
      v.w2 = static_cast<u32>(i);
      block::insert(&blk, &v, -1, false, 1, true);
    }
    benchmark::DoNotOptimize(block::length(&blk));
    state.PauseTiming();
    memory::free_all();  // no collector yet: give the frames back between runs
    memory::init();
    memory::new_node_frame(memory::node_frame_slots);
    memory::new_series_frame();
    stack::init();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_AppendIntegers)->Arg(1'000'000)->Arg(10'000'000)->Iterations(5)->Unit(benchmark::kMillisecond);

// The helper natives and compiled code use: one cell copied to the tail.
void BM_AppendValue(benchmark::State& state) {
  boot();
  const auto n = static_cast<i32>(state.range(0));
  for (auto _ : state) {
    Cell blk;
    RootCell keep(blk);
    block::make_at(&blk, 1);
    Cell v{type::integer, 0, 0, 0};
    for (i32 i = 0; i < n; ++i) {
      v.w2 = static_cast<u32>(i);
      block::append_value(&blk, &v);
    }
    benchmark::DoNotOptimize(block::length(&blk));
    state.PauseTiming();
    memory::free_all();
    memory::init();
    memory::new_node_frame(memory::node_frame_slots);
    memory::new_series_frame();
    stack::init();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_AppendValue)->Arg(10'000'000)->Iterations(5)->Unit(benchmark::kMillisecond);

// 1,000 blocks of 1,000 integers in one outer block; with_lines marks every inner block's first
// value as starting a line, so the mold also indents.
void mold_nested(benchmark::State& state, bool with_lines) {
  boot();
  Cell outer;
  RootCell keep(outer);
  block::make_at(&outer, 1000);
  for (i32 i = 0; i < 1000; ++i) {
    Cell inner;
    RootCell keep_inner(inner);
    block::make_at(&inner, 1000);
    for (i32 j = 0; j < 1000; ++j) {
      Cell v{type::integer, 0, static_cast<u32>(i * 1000 + j), 0};
      if (with_lines && j == 0) v.header |= header::new_line;
      block::append_value(&inner, &v);
    }
    if (with_lines) inner.header |= header::new_line;
    block::append_value(&outer, &inner);
  }
  i64 chars = 0;
  for (auto _ : state) {
    Cell out;
    RootCell keep_out(out);
    actions::mold_to(&outer, &out);
    chars = string::total_length(&out);
    benchmark::DoNotOptimize(chars);
  }
  state.counters["chars"] = static_cast<double>(chars);
  state.SetItemsProcessed(state.iterations() * 1'000'000);
}
void BM_MoldNested(benchmark::State& state) { mold_nested(state, false); }
void BM_MoldNestedLines(benchmark::State& state) { mold_nested(state, true); }
BENCHMARK(BM_MoldNested)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MoldNestedLines)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
