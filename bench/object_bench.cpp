// Objects, their change events and errors.
//   bench-object_bench --benchmark_filter=Make      (make from a 10-field prototype; copy/deep of it)
//   bench-object_bench --benchmark_filter=Change    (a set-path with and without an on-change* handler)
//   bench-object_bench --benchmark_filter=Deep      (append to an owned block: two on-deep-change* calls)
//   bench-object_bench --benchmark_filter=Error     (an error made from the catalogue and formed)
#include <benchmark/benchmark.h>

#include <string_view>

#include "app/startup.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
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

constexpr std::string_view definitions =
    "proto: make object! [a: 1 b: 2 c: \"three\" d: [4 5] e: 5.0 f: 'six g: none h: [x [y]] i: 9 j: 10] "
    "plain: make object! [a: 0] "
    "watched: make object! [a: 0 on-change*: func [word old new] []] "
    "owner: make object! [items: [] on-deep-change*: func [o w t a n i p] []]";

void run(benchmark::State& state, std::string_view timed) {
  boot();
  Cell out{type::none, 0, 0, 0};
  RootCell keep(out);
  if (!interpreter::do_text_safe(definitions, &out)) {
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

void BM_MakeFromPrototype(benchmark::State& state) { run(state, "make proto [a: 2]"); }
BENCHMARK(BM_MakeFromPrototype)->Unit(benchmark::kMicrosecond);

void BM_MakeCopyDeep(benchmark::State& state) { run(state, "copy/deep proto"); }
BENCHMARK(BM_MakeCopyDeep)->Unit(benchmark::kMicrosecond);

void BM_ChangePlainField(benchmark::State& state) { run(state, "loop 100000 [plain/a: 1]"); }
BENCHMARK(BM_ChangePlainField)->Unit(benchmark::kMillisecond);

void BM_ChangeWatchedField(benchmark::State& state) { run(state, "loop 100000 [watched/a: 1]"); }
BENCHMARK(BM_ChangeWatchedField)->Unit(benchmark::kMillisecond);

void BM_DeepChangeAppend(benchmark::State& state) { run(state, "clear owner/items loop 10000 [append owner/items 1]"); }
BENCHMARK(BM_DeepChangeAppend)->Unit(benchmark::kMillisecond);

void BM_ErrorCreateAndForm(benchmark::State& state) {
  boot();
  Cell arg{type::integer, 0, 7, 0}, err{type::none, 0, 0, 0};
  RootCell keep(err);
  for (auto _ : state) {
    error::create(ErrorCategory::script, "invalid-arg", std::span<const Cell>(&arg, 1), &err);
    benchmark::DoNotOptimize(error::report(&err));
  }
}
BENCHMARK(BM_ErrorCreateAndForm)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
