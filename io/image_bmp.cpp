// BMP, our own: info headers from the 12-byte core header to the 124-byte fifth version; 1, 4, 8,
// 16, 24 and 32 bits; uncompressed, RLE8, RLE4 and bit fields; bottom-up and top-down rows. A 32-bit
// file has alpha only when its alpha mask is not zero.
#include <algorithm>
#include <cstring>

#include "io/image_codecs.h"

namespace kiv::image_codecs {

namespace {

constexpr size_t file_header = 14;

enum Compression : u32 { rgb = 0, rle8 = 1, rle4 = 2, bitfields = 3, alpha_bitfields = 6 };

u32 le16(const u8* p) { return u32{p[0]} | u32{p[1]} << 8; }
u32 le32(const u8* p) { return le16(p) | le16(p + 2) << 16; }
void put16(std::vector<u8>& out, u32 v) {
  out.push_back(static_cast<u8>(v));
  out.push_back(static_cast<u8>(v >> 8));
}
void put32(std::vector<u8>& out, u32 v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// One channel of a bit-field pixel: its mask's position and width, widened to 8 bits by repeating
// its bits (5 bits v give v << 3 | v >> 2).
struct Channel {
  u32 mask = 0, shift = 0, bits = 0;
  explicit Channel(u32 m = 0) : mask(m) {
    if (!m) return;
    while (!(m & 1)) m >>= 1, ++shift;
    while (m & 1) m >>= 1, ++bits;
  }
  u32 get(u32 pixel, u32 absent) const {
    if (!bits) return absent;
    const u32 v = (pixel & mask) >> shift;
    if (bits >= 8) return v >> (bits - 8);
    u32 r = 0;
    for (i32 s = 8 - static_cast<i32>(bits);; s -= static_cast<i32>(bits)) {
      r |= s >= 0 ? v << s : v >> -s;
      if (s <= 0) break;
    }
    return r & 0xFF;
  }
};

struct Header {
  i32 width = 0, height = 0;
  bool top_down = false;
  u32 bits = 0, compression = rgb, colours = 0;
  u32 masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  size_t palette_at = 0, palette_entry = 4, data_at = 0;
};

bool read_header(const u8* d, size_t size, Header& h) {
  if (size < file_header + 12) return false;
  h.data_at = le32(d + 10);
  const u8* info = d + file_header;
  const u32 info_size = le32(info);
  if (info_size < 12 || file_header + info_size > size) return false;
  if (info_size == 12) {
    h.width = static_cast<i32>(le16(info + 4));
    h.height = static_cast<i32>(static_cast<int16_t>(le16(info + 6)));
    h.bits = le16(info + 10);
    h.palette_entry = 3;
  } else {
    if (info_size < 40) return false;
    h.width = static_cast<i32>(le32(info + 4));
    h.height = static_cast<i32>(le32(info + 8));
    h.bits = le16(info + 14);
    h.compression = le32(info + 16);
    h.colours = le32(info + 32);
    // Masks sit in the header from the second version on, else right after a 40-byte header.
    const size_t masks = file_header + 40;
    const u32 mask_count = h.compression == alpha_bitfields ? 4 : 3;
    if (h.compression == bitfields || h.compression == alpha_bitfields) {
      if (masks + 4 * mask_count > size) return false;
      for (u32 i = 0; i < mask_count; ++i) h.masks[i] = le32(d + masks + 4 * i);
    }
    if (info_size >= 56) h.masks[3] = le32(d + masks + 12);
  }
  h.palette_at = file_header + info_size;
  if (info_size == 40 && h.compression == bitfields) h.palette_at += 12;
  if (info_size == 40 && h.compression == alpha_bitfields) h.palette_at += 16;
  if (h.height < 0) {
    if (h.height == INT32_MIN) return false;
    h.height = -h.height;
    h.top_down = true;
  }
  if (h.width <= 0 || h.height <= 0) return false;
  switch (h.compression) {
    case rgb: return h.bits == 1 || h.bits == 4 || h.bits == 8 || h.bits == 16 || h.bits == 24 || h.bits == 32;
    case rle8: return h.bits == 8 && !h.top_down;
    case rle4: return h.bits == 4 && !h.top_down;
    case bitfields:
    case alpha_bitfields: return h.bits == 16 || h.bits == 32;
    default: return false;
  }
}

// The colour table (opaque), 2^bits entries when the header gives no count; entries missing from
// the file stay black.
bool read_palette(const u8* d, size_t size, const Header& h, std::vector<u32>& palette) {
  const u32 full = 1u << h.bits;
  const u32 n = h.colours && h.colours < full ? h.colours : full;
  palette.assign(full, pixels::pack(0, 0, 0, 255));
  for (u32 i = 0; i < n; ++i) {
    const size_t at = h.palette_at + i * h.palette_entry;
    if (at + 3 > size) return i > 0;
    palette[i] = pixels::pack(d[at + 2], d[at + 1], d[at], 255);
  }
  return true;
}

// RLE8 and RLE4: runs and literal runs of indexes, end-of-line, end-of-bitmap and delta codes;
// pixels no code reaches keep index 0. Rows come bottom-up.
bool decode_rle(const u8* p, const u8* end, const Header& h, const std::vector<u32>& palette, pixels::Bitmap& out) {
  const bool four = h.compression == rle4;
  i32 x = 0, y = h.height - 1;
  auto put = [&](u32 index) {
    if (x < h.width && y >= 0) out.row(y)[x] = palette[index];
    ++x;
  };
  std::fill(out.data.begin(), out.data.end(), palette[0]);
  while (p + 2 <= end) {
    const u32 count = p[0], code = p[1];
    p += 2;
    if (count) {
      for (u32 i = 0; i < count; ++i) put(four ? (i & 1 ? code & 15 : code >> 4) : code);
      continue;
    }
    if (code == 0) {
      x = 0;
      --y;
    } else if (code == 1) {
      return true;
    } else if (code == 2) {
      if (p + 2 > end) return false;
      x += p[0];
      y -= p[1];
      p += 2;
    } else {
      const size_t bytes = four ? (code + 1) / 2 : code;
      if (p + bytes > end) return false;
      for (u32 i = 0; i < code; ++i) put(four ? (i & 1 ? p[i / 2] & 15 : p[i / 2] >> 4) : p[i]);
      p += (bytes + 1) & ~size_t{1};  // literal runs are padded to 16 bits
    }
    if (y < 0) return true;
  }
  return true;  // a missing end-of-bitmap is forgiven
}

}  // namespace

bool decode_bmp(const u8* d, size_t size, pixels::Bitmap& out, i64 cap) {
  Header h;
  if (!read_header(d, size, h) || h.data_at >= size) return false;
  if (!pixels::fits(h.width, h.height, cap)) return false;
  std::vector<u32> palette;
  if (h.bits <= 8 && !read_palette(d, size, h, palette)) return false;
  const u8* data = d + h.data_at;
  const u8* end = d + size;
  if (h.compression == rle4 || h.compression == rle8) {
    if (!out.allocate(h.width, h.height, cap)) return false;
    return decode_rle(data, end, h, palette, out);
  }
  const u64 stride = (static_cast<u64>(h.width) * h.bits + 31) / 32 * 4;
  // The last row need not be padded.
  if (stride * (static_cast<u64>(h.height) - 1) + (static_cast<u64>(h.width) * h.bits + 7) / 8 >
      static_cast<u64>(end - data))
    return false;
  if (!out.allocate(h.width, h.height, cap)) return false;
  u32 default_masks[4] = {0x7C00, 0x3E0, 0x1F, 0};
  if (h.bits == 32) {
    default_masks[0] = 0xFF0000, default_masks[1] = 0xFF00, default_masks[2] = 0xFF;
  }
  const bool fields = h.compression == bitfields || h.compression == alpha_bitfields;
  const u32* masks = fields ? h.masks : default_masks;
  const Channel r(masks[0]), g(masks[1]), b(masks[2]), a(h.masks[3] && h.bits >= 16 ? h.masks[3] : 0);
  for (i32 row = 0; row < h.height; ++row) {
    const u8* s = data + stride * static_cast<u64>(row);
    u32* dst = out.row(h.top_down ? row : h.height - 1 - row);
    switch (h.bits) {
      case 1:
      case 4:
      case 8: {
        const u32 per_byte = 8 / h.bits, low = (1u << h.bits) - 1;
        for (i32 x = 0; x < h.width; ++x) {
          const u32 shift = 8 - h.bits * (static_cast<u32>(x) % per_byte + 1);
          dst[x] = palette[(s[static_cast<u32>(x) / per_byte] >> shift) & low];
        }
        break;
      }
      case 24:
        for (i32 x = 0; x < h.width; ++x, s += 3) dst[x] = pixels::pack(s[2], s[1], s[0], 255);
        break;
      default: {
        const bool wide = h.bits == 32;
        for (i32 x = 0; x < h.width; ++x, s += wide ? 4 : 2) {
          const u32 p = wide ? le32(s) : le16(s);
          dst[x] = pixels::pack(r.get(p, 0), g.get(p, 0), b.get(p, 0), a.get(p, 255));
        }
      }
    }
  }
  return true;
}

bool encode_bmp(const pixels::Bitmap& in, std::vector<u8>& out) {
  constexpr u32 info_size = 124;
  const u32 pixel_bytes = static_cast<u32>(in.count()) * 4;
  const u32 offset = file_header + info_size;
  out.reserve(offset + pixel_bytes);
  out.push_back('B');
  out.push_back('M');
  put32(out, offset + pixel_bytes);
  put32(out, 0);
  put32(out, offset);
  put32(out, info_size);
  put32(out, static_cast<u32>(in.width));
  put32(out, static_cast<u32>(in.height));  // bottom-up, which every reader takes
  put16(out, 1);
  put16(out, 32);
  put32(out, bitfields);
  put32(out, pixel_bytes);
  put32(out, 2835);  // 72 dots per inch, in dots per metre
  put32(out, 2835);
  put32(out, 0);
  put32(out, 0);
  for (u32 mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u}) put32(out, mask);
  put32(out, 0x73524742);  // "sRGB"
  out.resize(out.size() + 36 + 12);  // end points and gamma: unused with sRGB
  put32(out, 4);                     // intent: images
  put32(out, 0);
  put32(out, 0);
  put32(out, 0);
  for (i32 y = in.height - 1; y >= 0; --y) {
    const u8* row = reinterpret_cast<const u8*>(in.row(y));
    out.insert(out.end(), row, row + static_cast<size_t>(in.width) * 4);
  }
  return true;
}

}  // namespace kiv::image_codecs
