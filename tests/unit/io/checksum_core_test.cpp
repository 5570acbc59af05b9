#include "io/checksum_core.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "tests/unit/compress_corpus.h"

using namespace kiv;

TEST(Checksum, KnownValues) {
  const u8 abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(checksum::crc32(abc, 3), 0x352441C2u);
  EXPECT_EQ(checksum::adler32(abc, 3), 0x024D0127u);
  EXPECT_EQ(checksum::crc32(nullptr, 0), 0u);
  EXPECT_EQ(checksum::adler32(nullptr, 0), 1u);
}

TEST(Checksum, AgreesWithZlibOnEveryLengthAndAlignment) {
  // zlib is the oracle. Lengths around the 8-byte step and the Adler chunk, every start offset,
  // and all-0xFF data, where the Adler sums grow fastest.
  std::vector<u8> data;
  test::append_random(data, 3 * 5552 + 100, 21);
  std::vector<u8> ones(70000, 0xFF);
  for (const auto* buf : {&data, &ones}) {
    for (std::size_t len : {0, 1, 7, 8, 9, 15, 16, 17, 63, 3853, 3854, 3855, 5552, 5553, 16000}) {
      for (std::size_t off = 0; off < 8; ++off) {
        const u8* p = buf->data() + off;
        ASSERT_EQ(checksum::crc32(p, len), ::crc32(0, p, uInt(len))) << len << "+" << off;
        ASSERT_EQ(checksum::adler32(p, len), ::adler32(1, p, uInt(len))) << len << "+" << off;
      }
    }
    EXPECT_EQ(checksum::adler32(buf->data(), buf->size()), ::adler32(1, buf->data(), uInt(buf->size())));
  }
  // Continuing a checksum equals taking it over the whole.
  u32 crc = 0, adler = 1;
  for (std::size_t at = 0; at < data.size(); at += 1001) {
    std::size_t n = std::min<std::size_t>(1001, data.size() - at);
    crc = checksum::crc32_update(crc, data.data() + at, n);
    adler = checksum::adler32_update(adler, data.data() + at, n);
  }
  EXPECT_EQ(crc, checksum::crc32(data.data(), data.size()));
  EXPECT_EQ(adler, checksum::adler32(data.data(), data.size()));
}
