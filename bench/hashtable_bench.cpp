// Hash tables against std::unordered_map<std::string, i32>: inserting and finding one million string
// keys (the keys are 8 to 20 ASCII characters).
//   bench-hashtable_bench --benchmark_filter=Insert
//   bench-hashtable_bench --benchmark_filter=Find
// A table indexes cells that already hold the strings; the std map copies each key in. Lookups use
// separate copies of the keys (no shortcut on the same buffer), folded to upper case by the table.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/case_table.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv {
namespace {

constexpr i32 key_count = 1'000'000;

std::vector<std::string> make_keys() {
  std::mt19937 rng(2024);
  std::vector<std::string> keys;
  keys.reserve(key_count);
  const char* alphabet = "abcdefghijklmnopqrstuvwxyz0123456789-_";
  for (i32 i = 0; i < key_count; ++i) {
    std::string k = "k" + std::to_string(i) + "-";
    size_t n = 4 + rng() % 12;
    while (k.size() < n + 6) k += alphabet[rng() % 38];
    keys.push_back(std::move(k));
  }
  return keys;
}

const std::vector<std::string>& keys() {
  static const std::vector<std::string> k = make_keys();
  return k;
}

// Two blocks of the same strings: one indexed by the tables, one to look up with.
Cell stored{type::none, 0, 0, 0}, probes{type::none, 0, 0, 0};

void boot() {
  static bool done = false;
  if (done) return;
  done = true;
  memory::init();
  memory::new_node_frame(memory::node_frame_slots);
  memory::new_series_frame();
  stack::init();
  unicode::build_case_tables();
  random::init();
  datatype::init();
  unset::init();
  none::init();
  logic::init();
  series::init();
  block::init();
  string::init();
  integer::init();
  roots::push(&stored, roots::Kind::cell);
  roots::push(&probes, roots::Kind::cell);
  for (Cell* blk : {&stored, &probes}) {
    block::make_at(blk, key_count);
    for (const std::string& k : keys()) {
      Cell* s = string::make_from_utf8(stack::push_cell(), k);
      block::append_value(blk, s);
      stack::drop(1);
    }
  }
}

void BM_KivInsert(benchmark::State& state) {
  boot();
  const i32 kind = static_cast<i32>(state.range(0));
  const bool presized = state.range(1) != 0;
  for (auto _ : state) {
    Cell blk = stored;
    RootCell keep(blk);
    // An empty index over the block, then every key put one by one.
    Ref<Node> t = hashtable::make(presized ? key_count : 0, nullptr, kind, 0);
    hashtable::Root keep_t(t);
    hashtable::record_of(t)->blk = blk.w2;
    for (i32 i = 0; i < key_count; ++i) hashtable::put_index(t, i);
    benchmark::DoNotOptimize(hashtable::size_of(t));
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}
BENCHMARK(BM_KivInsert)
    ->ArgsProduct({{hashtable::kind_hash, hashtable::kind_map}, {0, 1}})
    ->ArgNames({"kind", "presized"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_StdInsert(benchmark::State& state) {
  const bool presized = state.range(0) != 0;
  const auto& k = keys();
  for (auto _ : state) {
    std::unordered_map<std::string, i32> m;
    if (presized) m.reserve(key_count);
    for (i32 i = 0; i < key_count; ++i) m.emplace(k[static_cast<size_t>(i)], i);
    benchmark::DoNotOptimize(m.size());
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}
BENCHMARK(BM_StdInsert)->Arg(0)->Arg(1)->ArgName("presized")->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_KivFind(benchmark::State& state) {
  boot();
  const i32 kind = static_cast<i32>(state.range(0));
  const i32 op = state.range(1) ? compare_op::strict_equal : compare_op::equal;
  Cell blk = stored;
  RootCell keep(blk);
  Ref<Node> t = hashtable::make(0, nullptr, kind, 0);
  hashtable::Root keep_t(t);
  hashtable::record_of(t)->blk = blk.w2;
  for (i32 i = 0; i < key_count; ++i) hashtable::put_index(t, i);
  for (auto _ : state) {
    i64 found = 0;
    for (i32 i = 0; i < key_count; ++i) {
      Cell q = *block::cell_at(&probes, i);
      found += hashtable::find_index(t, &q, 0, 1, op, false, false) == i;
    }
    if (found != key_count) state.SkipWithError("a key was not found where it was put");
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}
BENCHMARK(BM_KivFind)
    ->ArgsProduct({{hashtable::kind_hash, hashtable::kind_map}, {0, 1}})
    ->ArgNames({"kind", "case"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_StdFind(benchmark::State& state) {
  const auto& k = keys();
  std::unordered_map<std::string, i32> m;
  for (i32 i = 0; i < key_count; ++i) m.emplace(k[static_cast<size_t>(i)], i);
  // Separate copies of the keys, as the table's probes are.
  std::vector<std::string> probe(k.begin(), k.end());
  for (auto _ : state) {
    i64 found = 0;
    for (i32 i = 0; i < key_count; ++i) {
      auto it = m.find(probe[static_cast<size_t>(i)]);
      found += it != m.end() && it->second == i;
    }
    if (found != key_count) state.SkipWithError("a key was not found");
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * key_count);
}
BENCHMARK(BM_StdFind)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
