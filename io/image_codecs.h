// The image codecs over plain pixel buffers: BMP (our own), PNG, JPEG, GIF and TIFF (on their
// libraries). Nothing here knows value cells; the language's entries are io/image_entries.h.
//
// Decoding reads the first frame only and fills a bitmap of straight BGRA pixels (image_pixels.h);
// any fault of the data, and any size beyond the pixel cap, answers false without an image (and
// without allocating for a forged size). Encoding writes a whole file into memory.
#pragma once
#include <cstddef>
#include <vector>

#include "datatypes/image_pixels.h"

namespace kiv::image_codecs {

// The format numbers the codec entries use.
enum class Format : i32 { unknown = -1, bmp = 0, png = 1, gif = 2, jpeg = 3, tiff = 4 };

// The format the bytes begin with: 137 "PNG"; 255 216 255; "BM"; "GIF87a" or "GIF89a"; "II*" 0 or
// "MM" 0 "*".
Format sniff(const u8* data, size_t size);

bool decode(Format format, const u8* data, size_t size, pixels::Bitmap& out, i64 cap = pixels::max_pixels);
// False for an unknown format or a failure of the library.
bool encode(Format format, const pixels::Bitmap& in, std::vector<u8>& out);

bool decode_bmp(const u8* data, size_t size, pixels::Bitmap& out, i64 cap);
bool decode_png(const u8* data, size_t size, pixels::Bitmap& out, i64 cap);
bool decode_jpeg(const u8* data, size_t size, pixels::Bitmap& out, i64 cap);
bool decode_gif(const u8* data, size_t size, pixels::Bitmap& out, i64 cap);
bool decode_tiff(const u8* data, size_t size, pixels::Bitmap& out, i64 cap);

// BMP: V5 header, 32 bits with bit fields and an alpha mask, bottom-up. PNG: 8-bit RGBA. JPEG:
// quality 90, 4:2:0, alpha dropped. GIF: the exact palette up to 255 colours, median cut above,
// plus a transparent index for alpha below 128. TIFF: 8-bit RGBA, unassociated alpha, LZW.
bool encode_bmp(const pixels::Bitmap& in, std::vector<u8>& out);
bool encode_png(const pixels::Bitmap& in, std::vector<u8>& out);
bool encode_jpeg(const pixels::Bitmap& in, std::vector<u8>& out);
bool encode_gif(const pixels::Bitmap& in, std::vector<u8>& out);
bool encode_tiff(const pixels::Bitmap& in, std::vector<u8>& out);

}  // namespace kiv::image_codecs
