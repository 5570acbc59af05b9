// PNG on libpng: every colour type and depth read as 8-bit BGRA (palettes and low depths expanded,
// 16 bits cut to their high byte, grey made RGB, tRNS made alpha, interlacing undone, no gamma
// applied); written as 8-bit RGBA.
//
// libpng reports errors by longjmp: the procedures that call it keep their state in a record the
// caller owns, and hold no C++ object of their own across the calls.
#include <png.h>

#include <cstring>

#include "io/image_codecs.h"

namespace kiv::image_codecs {

namespace {

struct Reader {
  const u8* data;
  size_t size;
  size_t at = 0;
  pixels::Bitmap* out;
  i64 cap;
  std::vector<png_bytep> rows;
};

void fail(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void quiet(png_structp, png_const_charp) {}

void read_bytes(png_structp png, png_bytep into, size_t n) {
  auto* r = static_cast<Reader*>(png_get_io_ptr(png));
  if (n > r->size - r->at) png_error(png, "truncated");
  std::memcpy(into, r->data + r->at, n);
  r->at += n;
}

// The part under setjmp: nothing but the reader's record changes here.
bool read_png(png_structp png, png_infop info, Reader* r) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, r, read_bytes);
  png_set_user_limits(png, pixels::max_side, pixels::max_side);
  png_read_info(png, info);
  const u32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  if (!pixels::fits(w, h, r->cap)) return false;
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t{w} * 4) return false;
  if (!r->out->allocate(static_cast<i32>(w), static_cast<i32>(h), r->cap)) return false;
  r->rows.resize(h);
  for (u32 y = 0; y < h; ++y) r->rows[y] = reinterpret_cast<png_bytep>(r->out->row(static_cast<i32>(y)));
  png_read_image(png, r->rows.data());
  return true;
}

struct Writer {
  std::vector<u8>* out;
};

void write_bytes(png_structp png, png_bytep from, size_t n) {
  auto* w = static_cast<Writer*>(png_get_io_ptr(png));
  w->out->insert(w->out->end(), from, from + n);
}
void flush(png_structp) {}

bool write_png(png_structp png, png_infop info, const pixels::Bitmap* in, Writer* w) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, w, write_bytes, flush);
  png_set_IHDR(png, info, static_cast<u32>(in->width), static_cast<u32>(in->height), 8, PNG_COLOR_TYPE_RGBA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // The compression level the common tools use by default: a fair balance of size and time.
  png_set_compression_level(png, 6);
  png_write_info(png, info);
  png_set_bgr(png);
  for (i32 y = 0; y < in->height; ++y) png_write_row(png, reinterpret_cast<png_const_bytep>(in->row(y)));
  png_write_end(png, info);
  return true;
}

}  // namespace

bool decode_png(const u8* data, size_t size, pixels::Bitmap& out, i64 cap) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, fail, quiet);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  Reader r{data, size, 0, &out, cap, {}};
  const bool ok = info && read_png(png, info, &r);
  png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  return ok;
}

bool encode_png(const pixels::Bitmap& in, std::vector<u8>& out) {
  if (!in.width || !in.height) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, fail, quiet);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  Writer w{&out};
  const bool ok = info && write_png(png, info, &in, &w);
  png_destroy_write_struct(&png, info ? &info : nullptr);
  return ok;
}

}  // namespace kiv::image_codecs
