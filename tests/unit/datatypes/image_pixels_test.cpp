// Pixel buffers: the GUI's premultiplied and RGBA forms, nearest-neighbour scaling, flips and
// rectangles, and the cap on sizes. The language reaches none of the GUI forms.
#include <gtest/gtest.h>

#include "datatypes/image_pixels.h"

namespace kiv {
namespace {

using pixels::Bitmap;
using pixels::pack;

Bitmap make(i32 w, i32 h, std::vector<u32> data) {
  Bitmap b;
  b.width = w;
  b.height = h;
  b.data = std::move(data);
  return b;
}

TEST(ImagePixels, PremultipliedFormRoundsAndComesBack) {
  struct Case {
    u32 straight, premultiplied;
  };
  const Case cases[] = {
      {pack(200, 100, 50, 255), pack(200, 100, 50, 255)},  // opaque: unchanged
      {pack(200, 100, 50, 128), pack(100, 50, 25, 128)},
      {pack(255, 1, 0, 1), pack(1, 0, 0, 1)},
      {pack(0, 0, 0, 0), pack(0, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    const Bitmap src = make(1, 1, {c.straight});
    u32 out = 0;
    pixels::to_premultiplied(src, reinterpret_cast<u8*>(&out), 4);
    EXPECT_EQ(out, c.premultiplied) << std::hex << c.straight;
  }
  // Every straight colour survives the trip where alpha keeps it apart from its neighbours.
  for (u32 a : {255u, 128u, 64u})
    for (u32 v = 0; v < 256; v += 17) {
      Bitmap src = make(1, 1, {pack(v, 255 - v, v / 2, a)}), back = make(1, 1, {0});
      u32 mid;
      pixels::to_premultiplied(src, reinterpret_cast<u8*>(&mid), 4);
      pixels::from_premultiplied(reinterpret_cast<const u8*>(&mid), 4, back);
      const i32 tolerance = a == 255 ? 0 : static_cast<i32>(255 / a);
      for (u32 shift : {0u, 8u, 16u})
        EXPECT_LE(std::abs(static_cast<i32>((src.data[0] >> shift & 255)) - static_cast<i32>(back.data[0] >> shift & 255)),
                  tolerance);
      EXPECT_EQ(back.data[0] >> 24, a);
    }
}

TEST(ImagePixels, RgbaFormHonoursTheStride) {
  const Bitmap src = make(2, 2, {pack(1, 2, 3, 4), pack(5, 6, 7, 8), pack(9, 10, 11, 12), pack(13, 14, 15, 16)});
  std::vector<u8> rgba(2 * 12, 0xEE);  // rows of 12 bytes: 4 bytes of padding each
  pixels::to_rgba(src, rgba.data(), 12);
  const std::vector<u8> want = {1, 2,  3,  4,  5,  6,  7,  8,  0xEE, 0xEE, 0xEE, 0xEE,
                                9, 10, 11, 12, 13, 14, 15, 16, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(rgba, want);
  Bitmap back = make(2, 2, std::vector<u32>(4));
  pixels::from_rgba(rgba.data(), 12, back);
  EXPECT_EQ(back.data, src.data);
}

TEST(ImagePixels, NearestNeighbourSamplesPixelCentres) {
  const Bitmap row = make(4, 1, {1, 2, 3, 4});
  struct Case {
    i32 w;
    std::vector<u32> want;
  };
  const Case cases[] = {
      {2, {2, 4}},              // centres 1 and 3
      {3, {1, 3, 4}},           // (x + 0.5) * 4 / 3: 0.67, 2, 3.33
      {8, {1, 1, 2, 2, 3, 3, 4, 4}},
      {1, {3}},
  };
  for (const Case& c : cases) EXPECT_EQ(pixels::resize_nearest(row, c.w, 1).data, c.want) << c.w;
  EXPECT_EQ(pixels::resize_nearest(make(1, 3, {7, 8, 9}), 2, 2).data, (std::vector<u32>{7, 7, 9, 9}));
  EXPECT_TRUE(pixels::resize_nearest(row, 0, 5).data.empty());
}

TEST(ImagePixels, FlipsRectanglesAndClippedCopies) {
  Bitmap b = make(2, 3, {1, 2, 3, 4, 5, 6});
  pixels::flip_vertical(b);
  EXPECT_EQ(b.data, (std::vector<u32>{5, 6, 3, 4, 1, 2}));
  EXPECT_EQ(pixels::copy_rect(b, 1, 1, 1, 2).data, (std::vector<u32>{4, 2}));
  Bitmap dst = make(3, 2, std::vector<u32>(6, 0));
  pixels::blit(make(2, 2, {7, 8, 9, 10}), dst, 2, -1);  // only the bottom-left source pixel lands
  EXPECT_EQ(dst.data, (std::vector<u32>{0, 0, 9, 0, 0, 0}));
}

TEST(ImagePixels, SizesPastTheCapAreRefusedWithoutAllocating) {
  Bitmap b;
  EXPECT_FALSE(b.allocate(65536, 1));
  EXPECT_FALSE(b.allocate(65535, 65535));
  EXPECT_FALSE(b.allocate(-1, 3));
  EXPECT_FALSE(b.allocate(100, 100, 9999));
  EXPECT_TRUE(b.data.empty());
  EXPECT_TRUE(b.allocate(100, 100, 10000));
  EXPECT_EQ(b.data.size(), 10000u);
}

}  // namespace
}  // namespace kiv
