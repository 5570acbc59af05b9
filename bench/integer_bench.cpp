// integer! arithmetic: the 32-bit core against the compiler's overflow builtins over 100 million
// random pairs (a differential check reported as counters: mismatches must be 0), and the speed
// of the core and of the stack-style actions through the action table.
//
//   bench-integer_bench --benchmark_filter=Differential   (the check, about a minute)
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "runtime/memory.h"
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
  integer::init();
  float_::init();
}

std::vector<std::pair<i32, i32>> random_pairs(std::size_t n, u64 seed) {
  std::mt19937_64 gen(seed);
  std::vector<std::pair<i32, i32>> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    u64 r = gen();
    i32 a = static_cast<i32>(r), b = static_cast<i32>(r >> 32);
    // Mix in small operands so that multiply and divide also take their exact paths.
    switch (i % 4) {
      case 1: b = static_cast<i16>(b); break;
      case 2: a = static_cast<i16>(a), b = static_cast<i8>(b); break;
      case 3: a = static_cast<i32>(r >> 40) - (1 << 23), b = static_cast<i16>(b >> 3); break;
      default: break;
    }
    v[i] = {a, b};
  }
  return v;
}

// One pair, all five operators; the number of disagreements with the builtins.
int check(i32 a, i32 b) {
  int bad = 0;
  Cell c;
  auto expect_int = [&](i32 op, i32 want) {
    integer::box(&c, 0);
    i32 got = integer::do_math_op(a, b, op, &c);
    bad += c.type() != type::integer || got != want || c.as_int() != want;
  };
  auto expect_float = [&](i32 op, double want) {
    integer::box(&c, 0);
    integer::do_math_op(a, b, op, &c);
    bad += c.type() != type::float_ || c.as_double() != want;
  };
  i32 r;
  double da = a, db = b;
  if (__builtin_add_overflow(a, b, &r)) expect_float(0, da + db); else expect_int(0, r);
  if (__builtin_sub_overflow(a, b, &r)) expect_float(1, da - db); else expect_int(1, r);
  if (__builtin_mul_overflow(a, b, &r)) expect_float(2, da * db); else expect_int(2, r);
  if (b != 0 && !(a == integer::min_value && b == -1)) {
    i64 q = static_cast<i64>(a) / b, m = static_cast<i64>(a) % b;
    if (m) expect_float(3, da / db); else expect_int(3, static_cast<i32>(q));
    expect_int(4, static_cast<i32>(m));
  }
  return bad;
}

void BM_DifferentialAgainstBuiltins(benchmark::State& state) {
  boot();
  const long total = state.range(0);
  constexpr std::size_t chunk = 1 << 22;
  long mismatches = 0, checked = 0;
  for (auto _ : state) {
    u64 seed = 1;
    for (long done = 0; done < total; done += chunk, ++seed) {
      auto pairs = random_pairs(static_cast<std::size_t>(std::min<long>(chunk, total - done)), seed);
      for (auto [a, b] : pairs) mismatches += check(a, b);
      checked += static_cast<long>(pairs.size());
    }
    // The edge values against each other.
    const i32 edges[] = {0, 1, -1, 2, -2, 46340, 46341, -46341, 65536, integer::max_value, integer::min_value,
                         integer::max_value - 1, integer::min_value + 1, 1 << 30, -(1 << 30)};
    for (i32 a : edges)
      for (i32 b : edges) mismatches += check(a, b), ++checked;
  }
  state.counters["pairs"] = static_cast<double>(checked);
  state.counters["mismatches"] = static_cast<double>(mismatches);
  if (mismatches) state.SkipWithError("the core disagrees with the overflow builtins");
}
BENCHMARK(BM_DifferentialAgainstBuiltins)->Arg(100'000'000)->Iterations(1)->Unit(benchmark::kSecond);

void BM_CoreOp(benchmark::State& state) {
  boot();
  const i32 op = static_cast<i32>(state.range(0));
  auto pairs = random_pairs(1 << 16, 7);
  for (auto& [a, b] : pairs)
    if (b == 0 || (op >= 3 && b == -1)) b = 3;
  Cell c;
  std::size_t i = 0;
  for (auto _ : state) {
    auto [a, b] = pairs[i++ & 0xFFFF];
    integer::box(&c, 0);
    benchmark::DoNotOptimize(integer::do_math_op(a, b, op, &c));
    benchmark::DoNotOptimize(c);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CoreOp)->DenseRange(0, 4)->ArgName("op");

void BM_AddThroughActionTable(benchmark::State& state) {
  boot();
  auto pairs = random_pairs(1 << 16, 9);
  std::size_t i = 0;
  Cell* const base = stack::top;
  for (auto _ : state) {
    auto [a, b] = pairs[i++ & 0xFFFF];
    {
      stack::Call call;
      integer::box(stack::push_cell(), a);
      integer::box(stack::push_cell(), b);
      actions::call_stack_style(action::slot::add);
      benchmark::DoNotOptimize(*call.result());
    }
    stack::top = base;  // a finished call leaves its result cell
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddThroughActionTable);

}  // namespace

BENCHMARK_MAIN();
