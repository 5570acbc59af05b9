// Names and binding throughput.
//   bench-words_bench --benchmark_filter=Intern   (1 million distinct names into the symbol table)
//   bench-words_bench --benchmark_filter=Bind     (deep bind of nested blocks of 125k to 1M cells;
//                                                   the fitted complexity should read O(N))
//   bench-words_bench --benchmark_filter=Lookup   (global word lookups of case variants)
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/paren.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "runtime/case_table.h"
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
  unicode::build_case_tables();
  datatype::init();
  unset::init();
  none::init();
  logic::init();
  series::init();
  block::init();
  string::init();
  integer::init();
  paren::init();
  words::boot_word_machinery();
}

// Distinct names, made before the clock starts.
std::vector<std::string> names(i32 n, const char* prefix) {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(n));
  for (i32 i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

void Intern1M(benchmark::State& state) {
  boot();
  static i32 round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::string> batch = names(1000000, ("n" + std::to_string(round++) + "-").c_str());
    state.ResumeTiming();
    for (const std::string& s : batch) benchmark::DoNotOptimize(symbol::make(s.c_str()));
  }
  state.counters["symbols"] = symbol::count();
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(Intern1M)->Unit(benchmark::kMillisecond)->Iterations(1);

// A context of 1,000 words and a block of N cells: 1,000-cell sub-blocks of words (half of them in
// the context, some case variants), nested 1 level under the outer block.
void Bind(benchmark::State& state) {
  boot();
  const i32 n = static_cast<i32>(state.range(0));
  std::vector<std::string> vocab = names(1000, "bind-w");
  Ref<Node> ctx = context::make(1000, false, false, Ref<Node>{}, context::object);
  RootNode keep_ctx(ctx);
  for (i32 i = 0; i < 1000; i += 2) {
    Cell w;
    word::init_at(&w, type::word, Ref<Node>{}, symbol::make(vocab[static_cast<size_t>(i)].c_str()), -1);
    context::find_or_add_word_slot(ctx, &w);
  }
  std::vector<i32> syms;
  for (i32 i = 0; i < 1000; ++i) {
    std::string s = vocab[static_cast<size_t>(i)];
    if (i % 7 == 0) s[0] = 'B';  // a case variant
    syms.push_back(symbol::make(s.c_str()));
  }
  Cell outer{type::none, 0, 0, 0};
  RootCell keep_outer(outer);
  block::make_at(&outer, n / 1000 + 1);
  for (i32 b = 0; b < n / 1000; ++b) {
    Cell inner{type::none, 0, 0, 0};
    RootCell keep_inner(inner);
    block::make_at(&inner, 1000);
    for (i32 i = 0; i < 1000; ++i) {
      Cell w;
      word::init_at(&w, type::word, Ref<Node>{}, syms[static_cast<size_t>(i)], -1);
      block::append_value(&inner, &w);
    }
    block::append_value(&outer, &inner);
  }
  for (auto _ : state) benchmark::DoNotOptimize(context::bind_block(&outer, ctx, false));
  state.SetItemsProcessed(state.iterations() * n);
  state.SetComplexityN(n);
}
BENCHMARK(Bind)->RangeMultiplier(2)->Range(125000, 1000000)->Unit(benchmark::kMillisecond)->Complexity();

void LookupVariants(benchmark::State& state) {
  boot();
  std::vector<std::string> base = names(4096, "look-");
  std::vector<std::string> upper = base;
  for (std::string& s : upper) s[0] = 'L';
  for (const std::string& s : base) word::from_symbol(symbol::make(s.c_str()));
  size_t i = 0;
  Cell out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(word::load_at(upper[i++ & 4095].c_str(), &out));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(LookupVariants);

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
