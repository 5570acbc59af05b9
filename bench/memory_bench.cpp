// Small-series allocation on the fast path (a bump of the current frame's heap and a pop of the
// current node frame's free list) beside glibc malloc of the same sizes.
//
// Each iteration allocates a batch; between batches the series are released outside the timing:
// "fresh" returns every frame to the system (the next batch faults its pages in again), "warm"
// empties the frames in place as a compaction that kept nothing would.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "runtime/collector.h"
#include "runtime/memory.h"

using namespace kiv;

namespace {

constexpr int batch = 100000;

// Data sizes in bytes: fixed, or a mix of short strings and small blocks.
std::vector<i32> sizes_for(int kind) {
  std::vector<i32> s(batch);
  u32 x = 12345;
  for (int i = 0; i < batch; ++i) {
    if (kind > 0) {
      s[i] = kind;
    } else {
      x = x * 1103515245 + 12345;
      s[i] = static_cast<i32>(8 + (x >> 16) % 120);  // 8..127 bytes
    }
  }
  return s;
}

void empty_frames_in_place(std::vector<Ref<Node>>& nodes) {
  for (u32 f = memory::manager.first_series_frame; f; f = arena::at<SeriesFrame>(f)->next) {
    auto* frame = arena::at<SeriesFrame>(f);
    frame->heap = frame->data_offset();
  }
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) memory::free_node(memory::node_frame_of(*it), *it);
  memory::manager.current_series_frame = memory::manager.first_series_frame;
  memory::manager.current_node_frame = memory::manager.first_node_frame;
}

void kiv_series(benchmark::State& state, bool warm) {
  collector::enabled = false;
  memory::init();
  std::vector<i32> sizes = sizes_for(static_cast<int>(state.range(0)));
  std::vector<Ref<Node>> nodes(batch);
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) nodes[i] = memory::alloc_series(sizes[i], 1, 0);
    benchmark::DoNotOptimize(nodes.data());
    state.PauseTiming();
    if (warm) {
      empty_frames_in_place(nodes);
    } else {
      memory::free_all();
      memory::init();
    }
    state.ResumeTiming();
  }
  memory::free_all();
  state.SetItemsProcessed(state.iterations() * batch);
}

void BM_KivSeriesFresh(benchmark::State& state) { kiv_series(state, false); }
void BM_KivSeriesWarm(benchmark::State& state) { kiv_series(state, true); }

void BM_Malloc(benchmark::State& state) {
  std::vector<i32> sizes = sizes_for(static_cast<int>(state.range(0)));
  std::vector<void*> blocks(batch);
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) blocks[i] = std::malloc(static_cast<size_t>(sizes[i]));
    benchmark::DoNotOptimize(blocks.data());
    state.PauseTiming();
    for (void* p : blocks) std::free(p);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * batch);
}

void BM_MallocFree(benchmark::State& state) {
  std::vector<i32> sizes = sizes_for(static_cast<int>(state.range(0)));
  std::vector<void*> blocks(batch);
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) blocks[i] = std::malloc(static_cast<size_t>(sizes[i]));
    benchmark::DoNotOptimize(blocks.data());
    for (void* p : blocks) std::free(p);
  }
  state.SetItemsProcessed(state.iterations() * batch);
}

// Argument: the data size in bytes, or 0 for the 8-127 byte mix.
BENCHMARK(BM_KivSeriesFresh)->Arg(16)->Arg(64)->Arg(0);
BENCHMARK(BM_KivSeriesWarm)->Arg(16)->Arg(64)->Arg(0);
BENCHMARK(BM_Malloc)->Arg(16)->Arg(64)->Arg(0);
BENCHMARK(BM_MallocFree)->Arg(16)->Arg(64)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
