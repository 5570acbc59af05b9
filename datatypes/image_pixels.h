// Pixel buffers: what an image holds, apart from any value cell, so that the codecs and the GUI
// backend can work on pixels without knowing cells.
//
// A pixel is one 32-bit word A << 24 | R << 16 | G << 8 | B, in memory B, G, R, A; alpha is straight
// (not premultiplied) and 255 is opaque. Rows run top-down with no padding: the stride is 4 x width.
#pragma once
#include <cstddef>
#include <vector>

#include "runtime/base.h"

namespace kiv::pixels {

// The largest picture kept, in pixels (256 MiB of pixel words): a forged header asking for more is
// refused before anything is allocated. Each side is also at most 65535, as an image! packs its size
// into two 16-bit halves.
constexpr i64 max_pixels = i64{1} << 26;
constexpr i32 max_side = 65535;

struct Bitmap {
  i32 width = 0;
  i32 height = 0;
  std::vector<u32> data;

  // Sizes the buffer (pixels zero); false, leaving it empty, for a size beyond the caps.
  bool allocate(i32 w, i32 h, i64 cap = max_pixels);
  i64 count() const { return i64{width} * height; }
  u32* row(i32 y) { return data.data() + static_cast<size_t>(y) * static_cast<size_t>(width); }
  const u32* row(i32 y) const { return data.data() + static_cast<size_t>(y) * static_cast<size_t>(width); }
};

// Whether a picture of that size may be made.
inline bool fits(i64 w, i64 h, i64 cap = max_pixels) {
  return w >= 0 && h >= 0 && w <= max_side && h <= max_side && w * h <= cap;
}

constexpr u32 pack(u32 r, u32 g, u32 b, u32 a) { return a << 24 | r << 16 | g << 8 | b; }
constexpr u8 red(u32 p) { return static_cast<u8>(p >> 16); }
constexpr u8 green(u32 p) { return static_cast<u8>(p >> 8); }
constexpr u8 blue(u32 p) { return static_cast<u8>(p); }
constexpr u8 alpha(u32 p) { return static_cast<u8>(p >> 24); }

// A pixel from premultiplied samples, each colour divided by the alpha (rounded, at most 255).
inline u32 straight(u32 r, u32 g, u32 b, u32 a) {
  if (a == 0 || a == 255) return pack(r, g, b, a);
  auto un = [a](u32 c) { return c >= a ? 255u : (c * 255 + a / 2) / a; };
  return pack(un(r), un(g), un(b), a);
}

// Nearest-neighbour scaling, sampling at pixel centres: source x = floor((x + 0.5) * sw / dw), the
// same for y. An empty source or target gives an empty bitmap.
Bitmap resize_nearest(const Bitmap& src, i32 width, i32 height);
// Turns the rows upside down in place.
void flip_vertical(Bitmap& b);
// The rectangle (x, y, w, h), already clipped to the source by the caller.
Bitmap copy_rect(const Bitmap& src, i32 x, i32 y, i32 w, i32 h);
// Copies `src` into `dst` with its top-left corner at (x, y), clipped to `dst`.
void blit(const Bitmap& src, Bitmap& dst, i32 x, i32 y);

// The GUI's forms. Premultiplied ARGB32 in native byte order (B, G, R, A in memory on a little-endian
// machine), rows `stride` bytes apart; straight R, G, B, A bytes, rows `stride` bytes apart.
void to_premultiplied(const Bitmap& src, u8* dst, i32 stride);
void from_premultiplied(const u8* src, i32 stride, Bitmap& dst);  // dst already sized
void to_rgba(const Bitmap& src, u8* dst, i32 stride);
void from_rgba(const u8* src, i32 stride, Bitmap& dst);  // dst already sized

}  // namespace kiv::pixels
