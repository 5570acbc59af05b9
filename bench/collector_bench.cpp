// The collector's figures: the pause of a full collection per 50 MB of live data (blocks, strings
// and binaries), with nothing to reclaim and with dead values of 100 or 1,200 bytes interleaved
// after every live one (so that everything live moves); and how much comes back after 500 MB are
// allocated, dropped and collected.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <cstring>
#include <string>

#include "runtime/arena.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

using namespace kiv;

namespace {

void boot() {
  static bool done = false;
  if (done) return;
  done = true;
  memory::init();
  memory::new_node_frame(memory::node_frame_slots);
  memory::new_series_frame();
  stack::init();
  collector::init();
  collector::enabled = true;
}

Cell new_block(i32 cells) { return Cell{type::block, 0, memory::alloc_cells(cells).offset(), 0}; }

Cell new_bytes(u32 type_id, i32 n, char fill) {
  Ref<Node> node = memory::alloc_bytes(n);
  SeriesBuffer* b = buffer_of(node);
  std::memset(b->data(), fill, static_cast<size_t>(n));
  b->tail = b->head + static_cast<u32>(n);
  return Cell{type_id, 0, node.offset(), 0};
}

void append(const Cell* blk, Cell value) {
  RootCell keep(value);
  Ref<Node> node(blk->w2);
  RootNode keep_node(node);
  SeriesBuffer* b = buffer_of(node);
  if (b->tail + sizeof(Cell) > b->end_offset()) b = memory::expand_series(b, 0);
  *b->tail_ptr<Cell>() = value;
  b->tail += sizeof(Cell);
}

double footprint_of(const Cell& c) { return buffer_of(Ref<Node>(c.w2))->size + memory::buffer_overhead + 4.0; }

// Fills the block with groups of 64 values: strings of 200 bytes, binaries of 1,000, small blocks
// of 8 integers and references back to the group, until about `bytes` are live. With `garbage`, a
// dead string of that many bytes follows every value.

void build(Cell* root, double bytes, i32 garbage) {
  double live = 0;
  while (live < bytes) {
    Cell group = new_block(64);
    RootCell keep(group);
    for (int i = 0; i < 64; ++i) {
      switch (i % 4) {
        case 0: {
          Cell s = new_bytes(type::string, 200, 's');
          live += footprint_of(s);
          append(&group, s);
          break;
        }
        case 1: {
          Cell b = new_bytes(type::binary, 1000, 'b');
          live += footprint_of(b);
          append(&group, b);
          break;
        }
        case 2: {
          Cell small = new_block(8);
          RootCell keep_small(small);
          for (int k = 0; k < 8; ++k) append(&small, Cell{type::integer, 0, static_cast<u32>(k), 0});
          live += footprint_of(small);
          append(&group, small);
          break;
        }
        default: append(&group, Cell{type::block, 0, group.w2, 0});  // a cycle
      }
      if (garbage) new_bytes(type::string, garbage, 'g');
    }
    live += footprint_of(group);
    append(root, group);
  }
}

double cpu_ms() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

void BM_FullCollectionPer50MB(benchmark::State& state) {
  boot();
  const i32 garbage = static_cast<i32>(state.range(0));  // dead bytes made after each live value
  collector::enabled = false;  // the figures are for one collection over the whole heap
  double total_ms = 0, cpu_total = 0, live = 0, moved = 0, mark_ms = 0, compact_ms = 0;
  bool built = false;
  for (auto _ : state) {
    if (garbage || !built) {
      state.PauseTiming();
      // With garbage, dead values lie between the live ones and everything live moves down.
      stack::top = stack::bottom;
      collector::collect();
      double base = memory::stats_total();
      Cell fresh = new_block(1024);
      build(stack::push_value(&fresh), 50e6, garbage);
      if (!garbage) collector::collect();
      live = memory::stats_total() - base;
      built = true;
      state.ResumeTiming();
    }
    auto t0 = std::chrono::steady_clock::now();
    double c0 = cpu_ms();
    collector::collect();
    cpu_total += cpu_ms() - c0;
    auto t1 = std::chrono::steady_clock::now();
    total_ms += std::chrono::duration<double, std::milli>(t1 - t0).count();
    moved = static_cast<double>(collector::figures.bytes_moved);
    mark_ms += collector::figures.mark_ms;
    compact_ms += collector::figures.compact_ms;
    if (garbage) live = memory::stats_total();
  }
  collector::enabled = true;
  double per = total_ms / static_cast<double>(state.iterations());
  state.counters["live_MB"] = live / 1e6;
  state.counters["pause_ms"] = per;
  state.counters["pause_ms_per_50MB"] = per * 50e6 / live;
  state.counters["cpu_ms_per_50MB"] = cpu_total / static_cast<double>(state.iterations()) * 50e6 / live;
  state.counters["moved_MB"] = moved / 1e6;
  state.counters["mark_ms"] = mark_ms / static_cast<double>(state.iterations());
  state.counters["compact_ms"] = compact_ms / static_cast<double>(state.iterations());
  stack::top = stack::bottom;
  collector::collect();
}
BENCHMARK(BM_FullCollectionPer50MB)->Arg(0)->Arg(100)->Arg(1200)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Drop500MBAndCollect(benchmark::State& state) {
  boot();
  for (auto _ : state) {
    // 10 MB that stay live throughout.
    stack::top = stack::bottom;
    Cell fresh_base = new_block(64);
    build(stack::push_value(&fresh_base), 10e6, 0);
    collector::collect();
    double start_in_use = memory::stats_total();
    u64 start_committed = arena::committed();
    {
      Cell fresh = new_block(1024);
      Cell* root = stack::push_value(&fresh);
      while (memory::stats_total() - start_in_use < 500e6) {
        Cell group = new_block(256);
        RootCell keep(group);
        for (int i = 0; i < 256; ++i) append(&group, new_bytes(i % 2 ? type::string : type::binary, 4000, 'x'));
        append(root, group);
      }
      // A few big series too.
      for (int i = 0; i < 8; ++i) append(root, new_bytes(type::binary, 3 << 20, 'B'));
      state.counters["peak_committed_MB"] = static_cast<double>(arena::committed()) / 1e6;
      stack::drop(1);
    }
    auto t0 = std::chrono::steady_clock::now();
    double after = collector::recycle();
    auto t1 = std::chrono::steady_clock::now();
    state.counters["collect_ms"] = std::chrono::duration<double, std::milli>(t1 - t0).count();
    state.counters["in_use_start_KB"] = start_in_use / 1e3;
    state.counters["in_use_after_KB"] = after / 1e3;
    state.counters["in_use_growth_pct"] = (after - start_in_use) / start_in_use * 100;
    state.counters["committed_start_MB"] = static_cast<double>(start_committed) / 1e6;
    state.counters["committed_after_MB"] = static_cast<double>(arena::committed()) / 1e6;
    state.counters["frames_freed"] = collector::figures.series_frames_freed;
  }
}
BENCHMARK(BM_Drop500MBAndCollect)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
