// JPEG on libjpeg-turbo: read straight into BGRA (grey, YCbCr and RGB), CMYK and YCCK through the
// library's CMYK output turned to RGB here (Adobe's inverted samples honoured); the EXIF
// orientation is not applied. Written at quality 90 with 4:2:0 chroma, alpha dropped.
//
// The library reports errors by longjmp: as with PNG, the procedures that call it keep their state
// in a record the caller owns.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "io/image_codecs.h"

namespace kiv::image_codecs {

namespace {

struct Error {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void fail(j_common_ptr c) { std::longjmp(reinterpret_cast<Error*>(c->err)->jump, 1); }
void quiet(j_common_ptr, int) {}
void silent(j_common_ptr) {}

void install(Error& e) {
  jpeg_std_error(&e.mgr);
  e.mgr.error_exit = fail;
  e.mgr.emit_message = quiet;
  e.mgr.output_message = silent;
}

struct Reader {
  jpeg_decompress_struct cinfo;
  Error error;
  pixels::Bitmap* out;
  i64 cap;
  std::vector<u8> cmyk;  // one row of CMYK samples
};

bool read_jpeg(Reader* r, const u8* data, size_t size) {
  jpeg_decompress_struct& c = r->cinfo;
  if (setjmp(r->error.jump)) return false;
  jpeg_mem_src(&c, data, static_cast<unsigned long>(size));
  jpeg_read_header(&c, TRUE);
  if (!pixels::fits(c.image_width, c.image_height, r->cap)) return false;
  const bool cmyk = c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK;
  c.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  jpeg_start_decompress(&c);
  if (!r->out->allocate(static_cast<i32>(c.output_width), static_cast<i32>(c.output_height), r->cap)) return false;
  const bool inverted = cmyk && c.saw_Adobe_marker;
  if (cmyk) r->cmyk.resize(size_t{c.output_width} * 4);
  while (c.output_scanline < c.output_height) {
    u32* dst = r->out->row(static_cast<i32>(c.output_scanline));
    JSAMPROW row = cmyk ? r->cmyk.data() : reinterpret_cast<JSAMPROW>(dst);
    jpeg_read_scanlines(&c, &row, 1);
    if (!cmyk) continue;
    // R = (1 - C)(1 - K) and so on; Adobe writes the samples inverted, so then R = C K / 255.
    const u8* s = r->cmyk.data();
    for (u32 x = 0; x < c.output_width; ++x, s += 4) {
      u32 k = s[3], ch[3] = {s[0], s[1], s[2]};
      if (!inverted) {
        k = 255 - k;
        for (u32& v : ch) v = 255 - v;
      }
      for (u32& v : ch) v = (v * k + 127) / 255;
      dst[x] = pixels::pack(ch[0], ch[1], ch[2], 255);
    }
  }
  jpeg_finish_decompress(&c);
  return true;
}

struct Writer {
  jpeg_compress_struct cinfo;
  Error error;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
};

bool write_jpeg(Writer* w, const pixels::Bitmap* in) {
  jpeg_compress_struct& c = w->cinfo;
  if (setjmp(w->error.jump)) return false;
  jpeg_mem_dest(&c, &w->buffer, &w->size);
  c.image_width = static_cast<JDIMENSION>(in->width);
  c.image_height = static_cast<JDIMENSION>(in->height);
  c.input_components = 4;
  c.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&c);  // YCbCr with 2x2 luma sampling: 4:2:0
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<u32*>(in->row(static_cast<i32>(c.next_scanline))));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  return true;
}

}  // namespace

bool decode_jpeg(const u8* data, size_t size, pixels::Bitmap& out, i64 cap) {
  Reader r{};
  r.out = &out;
  r.cap = cap;
  install(r.error);
  r.cinfo.err = &r.error.mgr;
  jpeg_create_decompress(&r.cinfo);
  const bool ok = read_jpeg(&r, data, size);
  jpeg_destroy_decompress(&r.cinfo);
  return ok;
}

bool encode_jpeg(const pixels::Bitmap& in, std::vector<u8>& out) {
  if (!in.width || !in.height) return false;
  Writer w{};
  install(w.error);
  w.cinfo.err = &w.error.mgr;
  jpeg_create_compress(&w.cinfo);
  const bool ok = write_jpeg(&w, &in);
  jpeg_destroy_compress(&w.cinfo);
  if (ok) out.assign(w.buffer, w.buffer + w.size);
  std::free(w.buffer);
  return ok;
}

}  // namespace kiv::image_codecs
