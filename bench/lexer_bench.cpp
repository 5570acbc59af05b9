// Lexer throughput: loading a large generated source (nested blocks and parens, words of every kind,
// paths, quoted and braced strings, integers, floats, times, chars, issues, comments) into values.
// Reported as bytes per second of source text; argument 1 is pure ASCII, 0 mixes in UTF-8 text.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "datatypes/block.h"
#include "lexer/lexer.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.cpp"  // the shared boot of the core

using namespace kiv;

namespace {

// A deterministic source text of about `bytes` bytes.
std::string make_source(size_t bytes, bool ascii_only) {
  std::mt19937 rng(12345);
  std::vector<std::string> names;
  const char* stems[] = {"value", "count", "item", "name", "list", "total", "index", "data", "node", "text",
                         "width", "height", "color", "face", "size", "offset", "result", "buffer", "line", "pos"};
  for (int i = 0; i < 400; ++i) {
    std::string n = stems[rng() % 20];
    if (i >= 20) n += "-" + std::to_string(i);
    names.push_back(n);
  }
  auto name = [&] { return names[rng() % names.size()]; };
  std::string out;
  std::string open;  // the closers of the open scopes, innermost last
  out.reserve(bytes + 1024);
  int on_line = 0;
  while (out.size() < bytes) {
    switch (rng() % 24) {
      case 0: case 1: case 2: case 3: case 4: out += name(); break;
      case 5: out += name() + ":"; break;
      case 6: out += ":" + name(); break;
      case 7: out += "'" + name(); break;
      case 8: out += name() + "/" + name() + "/" + std::to_string(rng() % 10 + 1); break;
      case 9: case 10: out += std::to_string(static_cast<int>(rng() % 2000000) - 1000000); break;
      case 11: out += std::to_string(rng() % 100000) + "." + std::to_string(rng() % 1000); break;
      case 12: out += "\"" + name() + " and " + name() + "\""; break;
      case 13: out += ascii_only ? "\"tab^-line^/end\"" : "\"caf\xC3\xA9 \xE2\x82\xAC 5\""; break;
      case 14: out += "{multi\n    line " + name() + " text}"; break;
      case 15:
        out += std::to_string(rng() % 24) + ":" + std::to_string(10 + rng() % 50) + ":0" + std::to_string(rng() % 10);
        break;
      case 16: out += "#\"x\" #" + name(); break;
      case 17: out += "/" + name(); break;
      case 18: out += "; a comment about " + name() + "\n"; on_line = 0; break;
      case 19: case 20:
        if (open.size() < 12) {
          bool block = rng() % 3 != 0;
          out += block ? "[" : "(";
          open += block ? ']' : ')';
        }
        break;
      case 21:
        if (!open.empty()) {
          out += open.back();
          open.pop_back();
        }
        break;
      default: out += "1.#INF 1.5e-7 0Ah"; break;
    }
    if (++on_line > 10) {
      out += "\n    ";
      on_line = 0;
    } else {
      out += ' ';
    }
  }
  while (!open.empty()) {
    out += open.back();
    open.pop_back();
  }
  return out;
}

const std::string& source(bool ascii_only) {
  static std::string text[2];
  std::string& t = text[ascii_only];
  if (t.empty()) t = make_source(16 << 20, ascii_only);
  return t;
}

void BM_Load(benchmark::State& state) {
  test::boot_core();
  lexer::init();
  const std::string& text = source(state.range(0) != 0);
  for (auto _ : state) {
    stack::top = stack::arguments = stack::bottom;
    Cell out{type::none, 0, 0, 0};
    RootCell keep(out);
    lexer::load_text(text, &out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Load)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);


}  // namespace

BENCHMARK_MAIN();
