// Pixel buffers: allocation under the cap, scaling, flips, rectangles and the GUI's pixel forms.
#include "datatypes/image_pixels.h"

#include <algorithm>
#include <cstring>

namespace kiv::pixels {

bool Bitmap::allocate(i32 w, i32 h, i64 cap) {
  data.clear();
  width = height = 0;
  if (!fits(w, h, cap)) return false;
  data.resize(static_cast<size_t>(i64{w} * h));
  width = w;
  height = h;
  return true;
}

Bitmap resize_nearest(const Bitmap& src, i32 width, i32 height) {
  Bitmap out;
  if (!out.allocate(width, height) || !src.width || !src.height) return out;
  // Column map computed once: (x + 0.5) * sw / dw in integers is (2x + 1) * sw / (2 dw).
  std::vector<i32> xs(static_cast<size_t>(width));
  for (i32 x = 0; x < width; ++x) xs[static_cast<size_t>(x)] = static_cast<i32>((2 * i64{x} + 1) * src.width / (2 * i64{width}));
  for (i32 y = 0; y < height; ++y) {
    const u32* s = src.row(static_cast<i32>((2 * i64{y} + 1) * src.height / (2 * i64{height})));
    u32* d = out.row(y);
    for (i32 x = 0; x < width; ++x) d[x] = s[xs[static_cast<size_t>(x)]];
  }
  return out;
}

void flip_vertical(Bitmap& b) {
  for (i32 top = 0, bottom = b.height - 1; top < bottom; ++top, --bottom)
    std::swap_ranges(b.row(top), b.row(top) + b.width, b.row(bottom));
}

Bitmap copy_rect(const Bitmap& src, i32 x, i32 y, i32 w, i32 h) {
  Bitmap out;
  if (!out.allocate(w, h)) return out;
  for (i32 r = 0; r < h; ++r) std::memcpy(out.row(r), src.row(y + r) + x, static_cast<size_t>(w) * 4);
  return out;
}

void blit(const Bitmap& src, Bitmap& dst, i32 x, i32 y) {
  const i32 x0 = std::max(x, 0), y0 = std::max(y, 0);
  const i32 x1 = std::min(x + src.width, dst.width), y1 = std::min(y + src.height, dst.height);
  if (x0 >= x1 || y0 >= y1) return;
  for (i32 r = y0; r < y1; ++r)
    std::memcpy(dst.row(r) + x0, src.row(r - y) + (x0 - x), static_cast<size_t>(x1 - x0) * 4);
}

namespace {

// a * c / 255 rounded to nearest, exact for bytes.
inline u32 scale(u32 c, u32 a) {
  const u32 t = c * a + 128;
  return (t + (t >> 8)) >> 8;
}

}  // namespace

void to_premultiplied(const Bitmap& src, u8* dst, i32 stride) {
  for (i32 y = 0; y < src.height; ++y) {
    const u32* s = src.row(y);
    u32* d = reinterpret_cast<u32*>(dst + static_cast<ptrdiff_t>(y) * stride);
    for (i32 x = 0; x < src.width; ++x) {
      const u32 p = s[x], a = alpha(p);
      d[x] = a == 255 ? p : pack(scale(red(p), a), scale(green(p), a), scale(blue(p), a), a);
    }
  }
}

void from_premultiplied(const u8* src, i32 stride, Bitmap& dst) {
  for (i32 y = 0; y < dst.height; ++y) {
    const u32* s = reinterpret_cast<const u32*>(src + static_cast<ptrdiff_t>(y) * stride);
    u32* d = dst.row(y);
    for (i32 x = 0; x < dst.width; ++x) {
      const u32 p = s[x];
      d[x] = straight(red(p), green(p), blue(p), alpha(p));
    }
  }
}

void to_rgba(const Bitmap& src, u8* dst, i32 stride) {
  for (i32 y = 0; y < src.height; ++y) {
    const u32* s = src.row(y);
    u8* d = dst + static_cast<ptrdiff_t>(y) * stride;
    for (i32 x = 0; x < src.width; ++x, d += 4) {
      const u32 p = s[x];
      d[0] = red(p);
      d[1] = green(p);
      d[2] = blue(p);
      d[3] = alpha(p);
    }
  }
}

void from_rgba(const u8* src, i32 stride, Bitmap& dst) {
  for (i32 y = 0; y < dst.height; ++y) {
    const u8* s = src + static_cast<ptrdiff_t>(y) * stride;
    u32* d = dst.row(y);
    for (i32 x = 0; x < dst.width; ++x, s += 4) d[x] = pack(s[0], s[1], s[2], s[3]);
  }
}

}  // namespace kiv::pixels
