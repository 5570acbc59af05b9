// DEFLATE beside zlib on the same input in one run: ratio (counter "ratio" = compressed / input)
// and speed (bytes of uncompressed data per second) for compression at the default effort and
// for inflate. The text corpus is the project's own Markdown documents, read at run time; set
// KIV_BENCH_TEXT to a file to use another.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "io/boot_lz.h"
#include "io/checksum_core.h"
#include "io/deflate.h"

namespace {

using Bytes = std::vector<unsigned char>;
using i64 = std::int64_t;
namespace dz = kiv::deflate;

Bytes read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

const Bytes& text_corpus() {
  static const Bytes text = [] {
    Bytes all;
    if (const char* env = std::getenv("KIV_BENCH_TEXT")) return read_file(env);
    // The project's own sources make a realistic mixed text corpus of a couple of megabytes.
    std::vector<std::filesystem::path> files;
    for (const char* dir : {"runtime", "datatypes", "evaluator", "io", "lexer", "library"}) {
      std::error_code ec;
      for (const auto& e : std::filesystem::recursive_directory_iterator(std::filesystem::path(KIV_SOURCE_DIR) / dir, ec)) {
        auto ext = e.path().extension();
        if (ext == ".cpp" || ext == ".h" || ext == ".inc") files.push_back(e.path());
      }
    }
    std::sort(files.begin(), files.end());
    for (const auto& p : files) {
      Bytes b = read_file(p);
      all.insert(all.end(), b.begin(), b.end());
    }
    if (all.empty()) {
      std::fprintf(stderr, "no text corpus found; set KIV_BENCH_TEXT\n");
      std::exit(1);
    }
    return all;
  }();
  return text;
}

// A binary corpus: the benchmark executable itself.
const Bytes& binary_corpus() {
  static const Bytes bin = read_file("/proc/self/exe");
  return bin;
}

const Bytes& corpus(int which) { return which == 0 ? text_corpus() : binary_corpus(); }
const char* corpus_name(int which) { return which == 0 ? "text" : "binary"; }

Bytes zlib_raw(const Bytes& in, int level) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&s, in.size()));
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = uInt(in.size());
  s.next_out = out.data();
  s.avail_out = uInt(out.size());
  ::deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

Bytes ours_raw(const Bytes& in) {
  Bytes out(in.size() + in.size() / 1000 + 64);
  kiv::u32 size = kiv::u32(out.size());
  dz::compress(out.data(), size, in.data(), kiv::u32(in.size()));
  out.resize(size);
  return out;
}

void BM_Compress_Ours(benchmark::State& st) {
  const Bytes& in = corpus(int(st.range(0)));
  Bytes out(in.size() + in.size() / 1000 + 64);
  kiv::u32 size = 0;
  for (auto _ : st) {
    size = kiv::u32(out.size());
    dz::compress(out.data(), size, in.data(), kiv::u32(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  st.SetLabel(corpus_name(int(st.range(0))));
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
  st.counters["ratio"] = double(size) / double(in.size());
}

void BM_Compress_Zlib6(benchmark::State& st) {
  const Bytes& in = corpus(int(st.range(0)));
  Bytes out;
  for (auto _ : st) {
    out = zlib_raw(in, 6);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetLabel(corpus_name(int(st.range(0))));
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
  st.counters["ratio"] = double(out.size()) / double(in.size());
}

// Both inflaters get the same stream: range(1) 0 = zlib level 6's, 1 = ours.
Bytes stream_for(const benchmark::State& st) {
  const Bytes& in = corpus(int(st.range(0)));
  return st.range(1) == 0 ? zlib_raw(in, 6) : ours_raw(in);
}

void BM_Inflate_Ours(benchmark::State& st) {
  const Bytes& in = corpus(int(st.range(0)));
  Bytes packed = stream_for(st);
  Bytes out(in.size());
  for (auto _ : st) {
    kiv::u32 size = kiv::u32(out.size());
    if (dz::inflate(out.data(), size, packed.data(), kiv::u32(packed.size())) != dz::ok || out != in)
      st.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  st.SetLabel(std::string(corpus_name(int(st.range(0)))) + (st.range(1) ? ", our stream" : ", zlib's stream"));
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
}

void BM_Inflate_Zlib(benchmark::State& st) {
  const Bytes& in = corpus(int(st.range(0)));
  Bytes packed = stream_for(st);
  Bytes out(in.size());
  for (auto _ : st) {
    z_stream s{};
    inflateInit2(&s, -15);
    s.next_in = packed.data();
    s.avail_in = uInt(packed.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    if (::inflate(&s, Z_FINISH) != Z_STREAM_END) st.SkipWithError("inflate failed");
    inflateEnd(&s);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetLabel(std::string(corpus_name(int(st.range(0)))) + (st.range(1) ? ", our stream" : ", zlib's stream"));
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
}

void BM_Crc32_Ours(benchmark::State& st) {
  const Bytes& in = text_corpus();
  for (auto _ : st) benchmark::DoNotOptimize(kiv::checksum::crc32(in.data(), in.size()));
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
}
void BM_Crc32_Zlib(benchmark::State& st) {
  const Bytes& in = text_corpus();
  for (auto _ : st) benchmark::DoNotOptimize(::crc32(0, in.data(), uInt(in.size())));
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
}
void BM_Adler32_Ours(benchmark::State& st) {
  const Bytes& in = text_corpus();
  for (auto _ : st) benchmark::DoNotOptimize(kiv::checksum::adler32(in.data(), in.size()));
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
}
void BM_Adler32_Zlib(benchmark::State& st) {
  const Bytes& in = text_corpus();
  for (auto _ : st) benchmark::DoNotOptimize(::adler32(1, in.data(), uInt(in.size())));
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
}

void BM_BootLz_Compress(benchmark::State& st) {
  const Bytes& in = text_corpus();
  Bytes out(in.size());
  kiv::i32 n = 0;
  for (auto _ : st) n = kiv::boot_lz::compress(in.data(), kiv::u32(in.size()), out.data());
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
  st.counters["ratio"] = double(n) / double(in.size());
}
void BM_BootLz_Decompress(benchmark::State& st) {
  const Bytes& in = text_corpus();
  Bytes image(in.size());
  kiv::i32 n = kiv::boot_lz::compress(in.data(), kiv::u32(in.size()), image.data());
  for (auto _ : st) {
    kiv::u8* p = kiv::boot_lz::decompress(image.data(), kiv::u32(n));
    if (!p) st.SkipWithError("decompress failed");
    kiv::boot_lz::free_stream(p);
  }
  st.SetBytesProcessed(i64(st.iterations()) * i64(in.size()));
}

}  // namespace

BENCHMARK(BM_Compress_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compress_Zlib6)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inflate_Ours)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inflate_Zlib)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32_Ours);
BENCHMARK(BM_Crc32_Zlib);
BENCHMARK(BM_Adler32_Ours);
BENCHMARK(BM_Adler32_Zlib);
BENCHMARK(BM_BootLz_Compress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BootLz_Decompress)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
