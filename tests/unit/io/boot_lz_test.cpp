// The boot-data format: round trips over the shared corpus and hand-made images that must fail.
#include "io/boot_lz.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/unit/compress_corpus.h"

using namespace kiv;
using Bytes = std::vector<u8>;

namespace {

// Decompresses into a vector; false when the decompressor refuses the image.
bool unpack(const Bytes& image, Bytes& out) {
  u32 size = 0xDEADBEEF;
  u8* buf = boot_lz::decompress(image.data(), u32(image.size()), &size);
  if (!buf) return false;
  out.assign(buf, buf + size);
  boot_lz::free_stream(buf);
  return true;
}

// Builds images by hand: tokens as the format defines them, least significant bit first.
struct Image {
  Bytes area;
  u32 acc = 0, n = 0;
  void put(u32 v, u32 count) {
    for (u32 i = 0; i < count; ++i) {
      acc |= ((v >> i) & 1) << n;
      if (++n == 8) flush();
    }
  }
  void flush() {
    if (n) area.push_back(u8(acc));
    acc = n = 0;
  }
  void block(u32 len) {
    flush();
    for (int i = 0; i < 4; ++i) area.push_back(u8(len >> (8 * i)));
  }
  void literal(u8 b) {
    put(0, 1);
    put(b, 8);
  }
  // Match of m + 3 bytes from d + 1 back, with the 0-3 length form and the n = 2 distance form.
  void short_match(u32 m, u32 d) {
    put(1, 1);
    put(1, 1);
    put(m, 2);
    put(0, 4);
    put(d, 3);
  }
  Bytes done(u32 u) {
    flush();
    Bytes img(8);
    u32 c = u32(area.size());
    for (int i = 0; i < 4; ++i) {
      img[i] = u8(c >> (8 * i));
      img[4 + i] = u8(u >> (8 * i));
    }
    img.insert(img.end(), area.begin(), area.end());
    return img;
  }
};

}  // namespace

TEST(BootLz, RoundTripsTheCorpus) {
  for (const auto& item : test::make_corpus()) {
    SCOPED_TRACE(item.name);
    Bytes image(item.data.size() + 8);
    i32 n = boot_lz::compress(item.data.data(), u32(item.data.size()), image.data());
    if (item.data.size() <= 127 || item.name == "random") {
      EXPECT_EQ(n, -1);  // too small, or does not compress
      continue;
    }
    ASSERT_GT(n, 8);
    ASSERT_LT(std::size_t(n), item.data.size());
    image.resize(std::size_t(n));
    Bytes back;
    ASSERT_TRUE(unpack(image, back));
    ASSERT_TRUE(back == item.data);
  }
}

TEST(BootLz, CompressorRefusals) {
  // Up to 127 bytes are refused however well they compress.
  Bytes same(128, 'q');
  Bytes image(200);
  EXPECT_EQ(boot_lz::compress(same.data(), 127, image.data()), -1);
  EXPECT_GT(boot_lz::compress(same.data(), 128, image.data()), 0);
}

TEST(BootLz, HandMadeTokens) {
  Bytes out;
  // D = 0, M = 0 repeats the previous byte three times; a longer match repeats a pattern.
  Image a;
  a.block(9);
  a.literal('x');
  a.short_match(0, 0);
  a.literal('y');
  a.short_match(1, 1);  // 4 bytes from 2 back: "xy" pattern
  ASSERT_TRUE(unpack(a.done(9), out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "xxxxyxyxy");

  // Every length form and the largest distances decode.
  std::vector<u8> data;
  test::append_text(data, 280000, 32);
  for (std::size_t i = 270000; i < 270000 + 566; ++i) data[i] = data[i - 262144];
  Bytes image(data.size() + 8);
  i32 n = boot_lz::compress(data.data(), u32(data.size()), image.data());
  ASSERT_GT(n, 0);
  image.resize(std::size_t(n));
  ASSERT_TRUE(unpack(image, out));
  EXPECT_TRUE(out == data);
}

TEST(BootLz, CorruptImagesFailCleanly) {
  Bytes out;
  auto fails = [&](const Bytes& img) { return !unpack(img, out); };
  // Block lengths 0 and 1,048,577.
  for (u32 len : {0u, (1u << 20) + 1}) {
    Image i;
    i.block(len);
    i.literal('a');
    EXPECT_TRUE(fails(i.done(len))) << len;
  }
  // A first token that is a match, and a match running past the block's length.
  {
    Image i;
    i.block(3);
    i.short_match(0, 0);
    EXPECT_TRUE(fails(i.done(3)));
    Image j;
    j.block(3);
    j.literal('a');
    j.short_match(0, 0);  // 1 + 3 > 3
    EXPECT_TRUE(fails(j.done(3)));
    Image k;
    k.block(4);
    k.literal('a');
    k.short_match(0, 1);  // distance 2 with one byte out
    EXPECT_TRUE(fails(k.done(4)));
  }
  // Blocks that do not add up to U, either way.
  {
    Image i;
    i.block(2);
    i.literal('a');
    i.literal('b');
    Image j = i;
    EXPECT_TRUE(fails(i.done(3)));
    EXPECT_TRUE(fails(j.done(1)));
  }
  // A valid image cut anywhere, or claiming a larger block area than it has.
  Bytes text;
  test::append_text(text, 5000, 33);
  Bytes image(text.size());
  i32 n = boot_lz::compress(text.data(), u32(text.size()), image.data());
  ASSERT_GT(n, 0);
  image.resize(std::size_t(n));
  ASSERT_TRUE(unpack(image, out));
  for (std::size_t cut = 0; cut < image.size(); ++cut)
    ASSERT_TRUE(fails(Bytes(image.begin(), image.begin() + cut))) << cut;
  Bytes longer = image;
  longer[0]++;
  EXPECT_TRUE(fails(longer));
  longer.push_back(0);
  EXPECT_TRUE(fails(longer)) << "a stray byte where a block length should start";
  // A tiny image claiming gigabytes is refused before anything is allocated for it.
  Bytes huge = image;
  huge[4] = huge[5] = huge[6] = 0xFF;
  huge[7] = 0x7F;
  EXPECT_TRUE(fails(huge));
  EXPECT_TRUE(fails(Bytes{0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(boot_lz::decompress(nullptr, 0) == nullptr);
  // Random damage never crashes (the sanitizer build checks the reads and writes).
  test::Rng r(34);
  for (int t = 0; t < 2000; ++t) {
    Bytes bad = image;
    for (int k = 0; k < 3; ++k) bad[8 + r.below(u32(bad.size() - 8))] ^= u8(1 << r.below(8));
    unpack(bad, out);
  }
}
