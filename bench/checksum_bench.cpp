// Checksums over 100 MB of random bytes: ours (CRC-32, Adler-32, the Internet checksum) beside
// zlib's, and the digests through the cryptographic library, all in one run. Throughput is
// reported as bytes per second. bench/checksum_bench.py puts the same CRC-32 through the
// language (`checksum data 'crc32`) beside Python's zlib.crc32.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "io/checksum.h"

namespace {

using Bytes = std::vector<unsigned char>;
namespace ck = kiv::checksum;

constexpr std::size_t size = 100u << 20;

const Bytes& data() {
  static const Bytes bytes = [] {
    Bytes b(size);
    std::mt19937_64 rng(42);
    for (std::size_t i = 0; i < size; i += 8) {
      std::uint64_t r = rng();
      for (int k = 0; k < 8; ++k) b[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
    return b;
  }();
  return bytes;
}

template <class F>
void run(benchmark::State& st, F&& f) {
  const Bytes& d = data();
  std::uint32_t r = 0;
  for (auto _ : st) {
    r = f(d.data(), d.size());
    benchmark::DoNotOptimize(r);
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations()) * static_cast<std::int64_t>(d.size()));
}

void BM_Crc32_Ours(benchmark::State& st) {
  run(st, [](const unsigned char* p, std::size_t n) { return ck::crc32(p, n); });
}
void BM_Crc32_Zlib(benchmark::State& st) {
  run(st, [](const unsigned char* p, std::size_t n) { return static_cast<std::uint32_t>(::crc32(0, p, uInt(n))); });
}
void BM_Adler32_Ours(benchmark::State& st) {
  run(st, [](const unsigned char* p, std::size_t n) { return ck::adler32(p, n); });
}
void BM_Adler32_Zlib(benchmark::State& st) {
  run(st, [](const unsigned char* p, std::size_t n) { return static_cast<std::uint32_t>(::adler32(1, p, uInt(n))); });
}
void BM_Tcp_Ours(benchmark::State& st) { run(st, [](const unsigned char* p, std::size_t n) { return ck::tcp(p, n); }); }
void BM_Digest(benchmark::State& st) {
  int index = static_cast<int>(st.range(0));
  run(st, [index](const unsigned char* p, std::size_t n) {
    unsigned char out[ck::max_digest];
    ck::crypto_hash(p, n, index, out);
    return std::uint32_t{out[0]};
  });
  static const char* names[] = {"", "", "md5", "sha1", "sha256", "sha384", "sha512"};
  st.SetLabel(names[index]);
}

}  // namespace

BENCHMARK(BM_Crc32_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32_Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Adler32_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Adler32_Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tcp_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Digest)->DenseRange(ck::md5, ck::sha512)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
