// string! throughput: find of one character in 100 MB of text against memchr over the same bytes,
// appending characters, and molding a long text.
//   bench-string_bench --benchmark_filter=Find      (100 MB, the character at the very end)
//   bench-string_bench --benchmark_filter=Append
//   bench-string_bench --benchmark_filter=Mold
#include <benchmark/benchmark.h>

#include <climits>
#include <cstring>

#include "datatypes/string.h"
#include "runtime/case_table.h"
#include "runtime/memory.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv {
namespace {

constexpr i32 text_size = 100 << 20;

void boot() {
  static bool done = false;
  if (done) return;
  done = true;
  memory::init();
  memory::new_node_frame(memory::node_frame_slots);
  memory::new_series_frame();
  stack::init();
  unicode::build_case_tables();
}

// 100 MB of lower-case text of the given unit without the letter q, ending with one 'q'.
Cell* big_text(u32 unit) {
  static Cell* made[5] = {};
  if (made[unit]) return made[unit];
  Cell* s = stack::push_cell();
  string::make_at(s, text_size, static_cast<i32>(unit));
  SeriesBuffer* b = string::buffer_of(s);
  for (i32 i = 0; i < text_size - 1; ++i) string::write_unit(b->head_ptr() + i * unit, unit, "abcdefghijklmnoprstuvwxyz "[i % 26]);
  string::write_unit(b->head_ptr() + (text_size - 1) * unit, unit, 'q');
  b->tail = b->head + static_cast<u32>(text_size) * unit;
  return made[unit] = s;
}

void BM_Memchr(benchmark::State& state) {
  boot();
  Cell* s = big_text(1);
  const std::byte* p = string::head_pointer(s);
  for (auto _ : state) {
    const void* hit = std::memchr(p, 'q', text_size);
    benchmark::DoNotOptimize(hit);
  }
  state.SetBytesProcessed(state.iterations() * i64{text_size});
}
BENCHMARK(BM_Memchr)->Unit(benchmark::kMillisecond);

// find of one character: arg 0 is the unit, arg 1 selects /case (1) or folding (0).
void BM_Find(benchmark::State& state) {
  boot();
  u32 unit = static_cast<u32>(state.range(0));
  bool case_ = state.range(1) != 0;
  Cell* s = big_text(unit);
  Cell* q = stack::push_cell();
  *q = Cell{type::char_, 0, 'Q', 0};
  Cell* mark = stack::top;
  for (auto _ : state) {
    Cell* r = string::find(s, q, nullptr, false, case_, false, false, nullptr, nullptr, false, false, false, false);
    if (case_ != (r->type() == type::none)) state.SkipWithError("wrong answer");
    stack::top = mark;
  }
  state.SetBytesProcessed(state.iterations() * i64{text_size} * unit);
}
BENCHMARK(BM_Find)->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({4, 0})->Unit(benchmark::kMillisecond);

// find/last of one character, from the far end (the hit is at the start).
void BM_FindLast(benchmark::State& state) {
  boot();
  Cell* s = big_text(1);
  Cell* a = stack::push_cell();
  // 'a' occurs at every 26th character: look for a character that occurs only at the start.
  SeriesBuffer* b = string::buffer_of(s);
  b->head_ptr()[0] = std::byte{'#'};
  *a = Cell{type::char_, 0, '#', 0};
  Cell* mark = stack::top;
  for (auto _ : state) {
    Cell* r = string::find(s, a, nullptr, false, false, false, false, nullptr, nullptr, true, false, false, false);
    benchmark::DoNotOptimize(r);
    stack::top = mark;
  }
  b->head_ptr()[0] = std::byte{'a'};
  state.SetBytesProcessed(state.iterations() * i64{text_size});
}
BENCHMARK(BM_FindLast)->Unit(benchmark::kMillisecond);

void BM_AppendChar(benchmark::State& state) {
  boot();
  for (auto _ : state) {
    Cell* s = stack::push_cell();
    string::make_at(s, 16);
    for (i32 i = 0; i < 1'000'000; ++i) string::append_char(s, 'a' + i % 26);
    benchmark::DoNotOptimize(s);
    stack::drop(1);
  }
  state.SetItemsProcessed(state.iterations() * 1'000'000);
}
BENCHMARK(BM_AppendChar)->Unit(benchmark::kMillisecond);

void BM_Mold(benchmark::State& state) {
  boot();
  Cell* s = stack::push_cell();
  string::make_at(s, 10'000'000);
  for (i32 i = 0; i < 10'000'000; ++i) string::append_char(s, i % 61 == 0 ? '\n' : 'a' + i % 26);
  for (auto _ : state) {
    Cell* out = stack::push_cell();
    string::make_at(out, 16);
    string::mold(s, out, false, false, false, nullptr, INT_MAX, 0);
    benchmark::DoNotOptimize(out);
    stack::drop(1);
  }
  state.SetBytesProcessed(state.iterations() * 10'000'000);
}
BENCHMARK(BM_Mold)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
