#include "evaluator/checksum_core.h"

#include <array>
#include <cstring>

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

}  // namespace

u32 crc32_update(u32 crc, const u8* bytes, std::size_t length) {
  const auto& t = crc_tables;
  u32 c = ~crc;
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

}  // namespace kiv::checksum
