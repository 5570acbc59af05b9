// The codecs by format: the signatures and the dispatch.
#include "io/image_codecs.h"

#include <cstring>

namespace kiv::image_codecs {

namespace {

bool starts(const u8* data, size_t size, const char* sig, size_t n) { return size >= n && !std::memcmp(data, sig, n); }

}  // namespace

Format sniff(const u8* data, size_t size) {
  if (starts(data, size, "\x89PNG", 4)) return Format::png;
  if (starts(data, size, "\xFF\xD8\xFF", 3)) return Format::jpeg;
  if (starts(data, size, "BM", 2)) return Format::bmp;
  if (starts(data, size, "GIF87a", 6) || starts(data, size, "GIF89a", 6)) return Format::gif;
  if (starts(data, size, "II*\0", 4) || starts(data, size, "MM\0*", 4)) return Format::tiff;
  return Format::unknown;
}

bool decode(Format format, const u8* data, size_t size, pixels::Bitmap& out, i64 cap) {
  bool ok = false;
  switch (format) {
    case Format::bmp: ok = decode_bmp(data, size, out, cap); break;
    case Format::png: ok = decode_png(data, size, out, cap); break;
    case Format::jpeg: ok = decode_jpeg(data, size, out, cap); break;
    case Format::gif: ok = decode_gif(data, size, out, cap); break;
    case Format::tiff: ok = decode_tiff(data, size, out, cap); break;
    case Format::unknown: break;
  }
  if (!ok) out = pixels::Bitmap{};
  return ok;
}

bool encode(Format format, const pixels::Bitmap& in, std::vector<u8>& out) {
  out.clear();
  switch (format) {
    case Format::bmp: return encode_bmp(in, out);
    case Format::png: return encode_png(in, out);
    case Format::jpeg: return encode_jpeg(in, out);
    case Format::gif: return encode_gif(in, out);
    case Format::tiff: return encode_tiff(in, out);
    case Format::unknown: return false;
  }
  return false;
}

}  // namespace kiv::image_codecs
