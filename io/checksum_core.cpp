#include "io/checksum_core.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kiv::checksum {
namespace {

// Eight tables: [0] is the classic byte table; [k][n] is the CRC of byte n followed by k zero
// bytes, so eight input bytes fold in with eight independent look-ups instead of a serial chain.
using CrcTables = std::array<std::array<u32, 256>, 8>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (u32 n = 0; n < 256; ++n) {
    u32 c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][n] = c;
  }
  for (u32 n = 0; n < 256; ++n)
    for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  return t;
}

constexpr CrcTables crc_tables = make_crc_tables();

inline u32 load_le32(const u8* p) {
  return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24;
}

#if defined(__x86_64__)

// CRC-32 by carry-less multiplication: four 128-bit lanes are folded forward 64 bytes at a time,
// then into one lane, then reduced to 32 bits (Barrett). The constants are powers of x modulo the
// reflected polynomial. Takes and answers the running register (not complemented); `length` is a
// multiple of 16 and at least 64.
#define KIV_CLMUL __attribute__((target("pclmul,sse4.1")))

KIV_CLMUL inline __m128i load(const u8* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// a * k (low halves) XOR a * k (high halves) XOR next: one fold step.
KIV_CLMUL inline __m128i fold(__m128i a, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(a, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(a, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

KIV_CLMUL u32 crc32_folded(u32 c, const u8* p, std::size_t length) {
  alignas(16) static const u64 k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const u64 k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const u64 k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const u64 poly[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  length -= 64;
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  while (length >= 64) {
    x1 = fold(x1, k, load(p));
    x2 = fold(x2, k, load(p + 16));
    x3 = fold(x3, k, load(p + 32));
    x4 = fold(x4, k, load(p + 48));
    p += 64;
    length -= 64;
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = fold(x1, k, x2);
  x1 = fold(x1, k, x3);
  x1 = fold(x1, k, x4);
  while (length >= 16) {
    x1 = fold(x1, k, load(p));
    p += 16;
    length -= 16;
  }
  // 128 bits to 64.
  __m128i x = _mm_clmulepi64_si128(x1, k, 0x10);
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00), x);
  // Barrett reduction to 32 bits.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
  x = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), k, 0x00);
  x1 = _mm_xor_si128(x1, x);
  return static_cast<u32>(_mm_extract_epi32(x1, 1));
}

#undef KIV_CLMUL

const bool has_clmul = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}();

#endif

}  // namespace

u32 crc32_update(u32 crc, const u8* bytes, std::size_t length) {
  const auto& t = crc_tables;
  u32 c = ~crc;
#if defined(__x86_64__)
  if (has_clmul && length >= 64) {
    std::size_t run = length & ~std::size_t{15};
    c = crc32_folded(c, bytes, run);
    bytes += run;
    length -= run;
  }
#endif
  while (length >= 8) {
    u32 lo = load_le32(bytes) ^ c;
    u32 hi = load_le32(bytes + 4);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    bytes += 8;
    length -= 8;
  }
  while (length--) c = (c >> 8) ^ t[0][(c ^ *bytes++) & 0xFF];
  return ~c;
}

u32 crc32(const u8* bytes, std::size_t length) { return crc32_update(0, bytes, length); }

u32 adler32_update(u32 adler, const u8* bytes, std::size_t length) {
  constexpr u32 base = 65521;
  // 3854 bytes keep both sums below 2^32 even when they start just under the modulus.
  constexpr std::size_t chunk = 3854;
  u32 a = adler & 0xFFFF, b = adler >> 16;
  while (length > 0) {
    std::size_t n = length < chunk ? length : chunk;
    length -= n;
    while (n >= 16) {
      for (int i = 0; i < 16; ++i) {
        a += bytes[i];
        b += a;
      }
      bytes += 16;
      n -= 16;
    }
    while (n--) {
      a += *bytes++;
      b += a;
    }
    a %= base;
    b %= base;
  }
  return b << 16 | a;
}

u32 adler32(const u8* bytes, std::size_t length) { return adler32_update(1, bytes, length); }

u32 tcp(const u8* bytes, std::size_t length) {
  // A 64-bit sum cannot overflow before 2^48 words; a 32-bit one would lose carries past 128 KiB.
  u64 sum = 0;
  std::size_t i = 0;
  for (; i + 1 < length; i += 2) sum += u32(bytes[i]) << 8 | bytes[i + 1];
  if (i < length) sum += u32(bytes[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return ~static_cast<u32>(sum) & 0xFFFF;
}

}  // namespace kiv::checksum
