// UTF-8 and UTF-16 throughput (counter bytes_per_second, of the input text): loading into a
// string series (ASCII, Latin-1, Cyrillic, mixed with emoji), the lexer's table decoder, counting
// code points, and converting a string back to UTF-8 and UTF-16. Loads go into one reused target
// buffer so that the figures are the decoder's, not the allocator's.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace {

using namespace kiv;
namespace uc = kiv::unicode;
using Bytes = std::vector<u8>;

constexpr size_t text_size = 1 << 20;

void start_memory() {
  static bool started = [] {
    collector::enabled = false;
    memory::init();
    return true;
  }();
  (void)started;
}

// Text of about 1 MiB drawn from the given code points (lines of 60 characters).
Bytes make_text(const std::u32string& alphabet) {
  std::mt19937 rng(1);
  Bytes out;
  int column = 0;
  while (out.size() < text_size) {
    char32_t c = alphabet[rng() % alphabet.size()];
    if (++column == 60) c = U'\n', column = 0;
    u8 seq[4];
    i32 n = uc::encode_utf8(static_cast<i32>(c), seq);
    out.insert(out.end(), seq, seq + n);
  }
  return out;
}

const Bytes& text(int kind) {
  static Bytes texts[4];
  if (texts[kind].empty()) {
    std::u32string ascii = U"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:-()[]";
    const std::u32string alphabets[4] = {
        ascii,
        ascii + U"\u00E9\u00E8\u00E0\u00FC\u00F6\u00E4\u00DF",
        U"\u0430\u0431\u0432\u0433\u0434\u0435\u0436\u0437\u0438\u043A\u043B\u043C\u043D\u043E\u043F  .,",
        ascii + U"\u20AC\U0001F600\u4E2D\u6587",
    };
    texts[kind] = make_text(alphabets[kind]);
  }
  return texts[kind];
}

const char* const kind_names[4] = {"ascii", "latin1", "cyrillic", "mixed"};

void BM_LoadUtf8(benchmark::State& state) {
  start_memory();
  const Bytes& in = text(static_cast<int>(state.range(0)));
  Ref<Node> target = memory::alloc_string_buffer(static_cast<i32>(in.size()), 4);
  for (auto _ : state) {
    // The target keeps its widest unit after the first pass; start each pass at unit 1 again.
    SeriesBuffer* b = buffer_of(target);
    b->flags = (b->flags & ~series_flag::unit_mask) | 1;
    benchmark::DoNotOptimize(uc::load_utf8(in.data(), static_cast<i32>(in.size()), b, nullptr, true));
  }
  state.SetLabel(kind_names[state.range(0)]);
  state.SetBytesProcessed(static_cast<i64>(state.iterations() * in.size()));
}
BENCHMARK(BM_LoadUtf8)->DenseRange(0, 3);

void BM_DecodeNext(benchmark::State& state) {
  Bytes in = text(static_cast<int>(state.range(0)));
  in.push_back(0);
  for (auto _ : state) {
    const u8* p = in.data();
    i32 cp, sum = 0;
    while (*p) {
      p = uc::decode_utf8_next(p, cp);
      sum += cp;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetLabel(kind_names[state.range(0)]);
  state.SetBytesProcessed(static_cast<i64>(state.iterations() * (in.size() - 1)));
}
BENCHMARK(BM_DecodeNext)->DenseRange(0, 3);

void BM_CountCodepoints(benchmark::State& state) {
  const Bytes& in = text(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(uc::count_codepoints(in.data(), in.data() + in.size()));
  state.SetLabel(kind_names[state.range(0)]);
  state.SetBytesProcessed(static_cast<i64>(state.iterations() * in.size()));
}
BENCHMARK(BM_CountCodepoints)->DenseRange(0, 3);

void BM_ToUtf8(benchmark::State& state) {
  start_memory();
  const Bytes& in = text(static_cast<int>(state.range(0)));
  Cell s{type::string, 0, uc::load_utf8_new(in.data(), static_cast<i32>(in.size())).offset(), 0};
  for (auto _ : state) {
    i32 length = -1;
    benchmark::DoNotOptimize(uc::to_utf8(&s, length));
  }
  state.SetLabel(kind_names[state.range(0)]);
  state.SetBytesProcessed(static_cast<i64>(state.iterations() * in.size()));
}
BENCHMARK(BM_ToUtf8)->DenseRange(0, 3);

void BM_ToUtf16(benchmark::State& state) {
  start_memory();
  const Bytes& in = text(static_cast<int>(state.range(0)));
  Cell s{type::string, 0, uc::load_utf8_new(in.data(), static_cast<i32>(in.size())).offset(), 0};
  for (auto _ : state) benchmark::DoNotOptimize(uc::to_utf16(&s));
  state.SetLabel(kind_names[state.range(0)]);
  state.SetBytesProcessed(static_cast<i64>(state.iterations() * in.size()));
}
BENCHMARK(BM_ToUtf16)->DenseRange(0, 3);

}  // namespace

BENCHMARK_MAIN();
