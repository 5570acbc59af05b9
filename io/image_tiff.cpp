// TIFF on libtiff, over memory. The first directory is read; 8-bit contiguous RGB and grey, with or
// without alpha, in strips or tiles, are read sample by sample (so unassociated alpha comes back
// exactly); everything else goes through the library's RGBA reader, top-left, with associated
// alpha un-premultiplied. Written as 8-bit RGBA with unassociated alpha, LZW.
#include <tiffio.h>

#include <algorithm>
#include <cstring>

#include "io/image_codecs.h"

namespace kiv::image_codecs {

namespace {

// A file in memory: read-only over the caller's bytes, or growing into a vector.
struct Memory {
  const u8* data;
  size_t size;
  size_t at = 0;
  std::vector<u8>* out = nullptr;
};

tsize_t read_proc(thandle_t h, tdata_t into, tsize_t n) {
  auto* m = static_cast<Memory*>(h);
  const size_t k = std::min(static_cast<size_t>(std::max<tsize_t>(n, 0)), m->at < m->size ? m->size - m->at : 0);
  if (k) std::memcpy(into, m->data + m->at, k);
  m->at += k;
  return static_cast<tsize_t>(k);
}

tsize_t write_proc(thandle_t h, tdata_t from, tsize_t n) {
  auto* m = static_cast<Memory*>(h);
  if (!m->out || n < 0) return -1;
  const size_t end = m->at + static_cast<size_t>(n);
  if (end > m->out->size()) m->out->resize(end);
  std::memcpy(m->out->data() + m->at, from, static_cast<size_t>(n));
  m->at = end;
  m->data = m->out->data();
  m->size = m->out->size();
  return n;
}

toff_t seek_proc(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<Memory*>(h);
  const u64 base = whence == SEEK_CUR ? m->at : whence == SEEK_END ? m->size : 0;
  const u64 to = base + off;
  if (to > (u64{1} << 40)) return static_cast<toff_t>(-1);
  m->at = static_cast<size_t>(to);
  return to;
}

int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t h) { return static_cast<Memory*>(h)->size; }
int map_proc(thandle_t, tdata_t*, toff_t*) { return 0; }
void unmap_proc(thandle_t, tdata_t, toff_t) {}

// libtiff writes its warnings and errors to the diagnostic output unless told otherwise.
void quiet() {
  static const bool done = [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return true;
  }();
  (void)done;
}

TIFF* open(const char* mode, Memory& m) {
  quiet();
  return TIFFClientOpen("memory", mode, &m, read_proc, write_proc, seek_proc, close_proc, size_proc, map_proc,
                        unmap_proc);
}

struct Layout {
  u16 samples, photometric;
  bool alpha, associated;
};

// Whether the direct reader takes the file, and how its samples are laid out.
bool direct_layout(TIFF* tif, Layout& l) {
  u16 bits = 0, planar = 0, orientation = 0, extra_count = 0;
  u16* extra = nullptr;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &l.photometric)) return false;
  if (bits != 8 || planar != PLANARCONFIG_CONTIG || orientation != ORIENTATION_TOPLEFT) return false;
  const u16 colour = l.photometric == PHOTOMETRIC_RGB ? 3 : l.photometric == PHOTOMETRIC_MINISBLACK ? 1 : 0;
  if (!colour || l.samples < colour) return false;
  l.alpha = l.samples > colour && extra_count > 0 && extra && extra[0] != EXTRASAMPLE_UNSPECIFIED;
  l.associated = l.alpha && extra[0] == EXTRASAMPLE_ASSOCALPHA;
  return true;
}

u32 sample_pixel(const u8* s, const Layout& l) {
  const u32 a = l.alpha ? s[l.photometric == PHOTOMETRIC_RGB ? 3 : 1] : 255;
  u32 r = s[0], g = s[0], b = s[0];
  if (l.photometric == PHOTOMETRIC_RGB) g = s[1], b = s[2];
  return l.associated ? pixels::straight(r, g, b, a) : pixels::pack(r, g, b, a);
}

bool read_direct(TIFF* tif, const Layout& l, pixels::Bitmap& out) {
  const size_t w = static_cast<size_t>(out.width);
  if (!TIFFIsTiled(tif)) {
    if (static_cast<size_t>(TIFFScanlineSize(tif)) < w * l.samples) return false;
    std::vector<u8> line(static_cast<size_t>(TIFFScanlineSize(tif)));
    for (i32 y = 0; y < out.height; ++y) {
      if (TIFFReadScanline(tif, line.data(), static_cast<u32>(y), 0) < 0) return false;
      u32* dst = out.row(y);
      for (size_t x = 0; x < w; ++x) dst[x] = sample_pixel(line.data() + x * l.samples, l);
    }
    return true;
  }
  u32 tw = 0, th = 0;
  TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
  TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
  if (!tw || !th || static_cast<u64>(TIFFTileSize(tif)) < u64{tw} * th * l.samples) return false;
  std::vector<u8> tile(static_cast<size_t>(TIFFTileSize(tif)));
  for (u32 ty = 0; ty < static_cast<u32>(out.height); ty += th) {
    for (u32 tx = 0; tx < static_cast<u32>(out.width); tx += tw) {
      if (TIFFReadTile(tif, tile.data(), tx, ty, 0, 0) < 0) return false;
      for (u32 y = ty; y < std::min<u32>(ty + th, static_cast<u32>(out.height)); ++y) {
        const u8* s = tile.data() + (size_t{y - ty} * tw) * l.samples;
        u32* dst = out.row(static_cast<i32>(y));
        for (u32 x = tx; x < std::min<u32>(tx + tw, static_cast<u32>(out.width)); ++x)
          dst[x] = sample_pixel(s + size_t{x - tx} * l.samples, l);
      }
    }
  }
  return true;
}

// The library's reader: ABGR words (R in the low byte), always with associated alpha.
bool read_rgba(TIFF* tif, pixels::Bitmap& out) {
  u32* raster = out.data.data();
  if (!TIFFReadRGBAImageOriented(tif, static_cast<u32>(out.width), static_cast<u32>(out.height), raster,
                                 ORIENTATION_TOPLEFT, 0))
    return false;
  for (u32& p : out.data) p = pixels::straight(TIFFGetR(p), TIFFGetG(p), TIFFGetB(p), TIFFGetA(p));
  return true;
}

}  // namespace

bool decode_tiff(const u8* data, size_t size, pixels::Bitmap& out, i64 cap) {
  Memory m{data, size};
  TIFF* tif = open("rm", m);
  if (!tif) return false;
  u32 w = 0, h = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  bool ok = w && h && pixels::fits(w, h, cap) && out.allocate(static_cast<i32>(w), static_cast<i32>(h), cap);
  if (ok) {
    Layout l{};
    ok = direct_layout(tif, l) ? read_direct(tif, l, out) : read_rgba(tif, out);
  }
  TIFFClose(tif);
  return ok;
}

bool encode_tiff(const pixels::Bitmap& in, std::vector<u8>& out) {
  if (!in.width || !in.height) return false;
  Memory m{nullptr, 0, 0, &out};
  TIFF* tif = open("w", m);
  if (!tif) return false;
  const u16 extra[] = {EXTRASAMPLE_UNASSALPHA};
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<u32>(in.width));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<u32>(in.height));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  std::vector<u8> line(static_cast<size_t>(in.width) * 4);
  bool ok = true;
  for (i32 y = 0; ok && y < in.height; ++y) {
    const u32* s = in.row(y);
    for (i32 x = 0; x < in.width; ++x) {
      u8* d = line.data() + static_cast<size_t>(x) * 4;
      d[0] = pixels::red(s[x]);
      d[1] = pixels::green(s[x]);
      d[2] = pixels::blue(s[x]);
      d[3] = pixels::alpha(s[x]);
    }
    ok = TIFFWriteScanline(tif, line.data(), static_cast<u32>(y), 0) >= 0;
  }
  TIFFClose(tif);
  if (!ok) out.clear();
  return ok;
}

}  // namespace kiv::image_codecs
