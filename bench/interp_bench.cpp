// Interpreter speed inside one process: recursive calls, exits and two counting loops.
//   bench-interp_bench                       all four
//   bench-interp_bench --benchmark_filter=Fib
// The comparison with CPython and Lua 5.4 running the same programs (whole processes, one hyperfine
// run per program family) is bench/interp/run.sh.
#include <benchmark/benchmark.h>

#include <string_view>

#include "app/startup.h"
#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

namespace kiv {
namespace {

void boot() {
  static bool done = false;
  if (done) return;
  done = true;
  sys::init_stack_bounds();
  boot::start_language();
}

// Loads the definitions once, then evaluates the timed expression per iteration.
void run(benchmark::State& state, std::string_view setup, std::string_view timed) {
  boot();
  Cell out{type::none, 0, 0, 0};
  RootCell keep(out);
  if (!interpreter::do_text_safe(setup, &out)) {
    state.SkipWithError(error::report(&out).c_str());
    return;
  }
  Cell code{type::none, 0, 0, 0};
  RootCell keep_code(code);
  lexer::load_text(timed, &code);
  for (auto _ : state) {
    if (!interpreter::do_safe(&code, &out)) {
      state.SkipWithError(error::report(&out).c_str());
      return;
    }
  }
}

void BM_FibEither(benchmark::State& state) {
  run(state, "fib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]]", "fib 27");
}
BENCHMARK(BM_FibEither)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_FibReturn(benchmark::State& state) {
  run(state, "fib: func [n] [if n < 2 [return n] (fib n - 1) + (fib n - 2)]", "fib 27");
}
BENCHMARK(BM_FibReturn)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_CountingLoop(benchmark::State& state) { run(state, "n: 0", "n: 0 loop 10000000 [n: n + 1]"); }
BENCHMARK(BM_CountingLoop)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_WhileLoop(benchmark::State& state) { run(state, "n: 0", "n: 0 while [n < 10000000] [n: n + 1]"); }
BENCHMARK(BM_WhileLoop)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
