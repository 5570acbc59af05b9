// GIF on giflib: the first frame at its own size (the transparent index of its graphic control
// block gives alpha 0, interlaced rows put in place); written with the exact palette when the
// picture has at most 255 colours, giflib's median cut above that, and one more index for the
// pixels whose alpha is below 128.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "io/image_codecs.h"

namespace kiv::image_codecs {

namespace {

struct Source {
  const u8* data;
  size_t size;
  size_t at;
};

int read_bytes(GifFileType* gif, GifByteType* into, int n) {
  auto* s = static_cast<Source*>(gif->UserData);
  const size_t k = std::min(static_cast<size_t>(std::max(n, 0)), s->size - s->at);
  std::memcpy(into, s->data + s->at, k);
  s->at += k;
  return static_cast<int>(k);
}

struct Closer {
  GifFileType* gif;
  ~Closer() {
    int error;
    if (gif) DGifCloseFile(gif, &error);
  }
};

// The first image record; the transparent index of the control block before it, or -1.
bool first_frame(GifFileType* gif, i32& transparent) {
  transparent = -1;
  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
    if (type == IMAGE_DESC_RECORD_TYPE) return DGifGetImageDesc(gif) != GIF_ERROR;
    if (type == TERMINATE_RECORD_TYPE) return false;
    if (type != EXTENSION_RECORD_TYPE) continue;
    int code;
    GifByteType* block;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
    if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
      GraphicsControlBlock gcb;
      if (DGifExtensionToGCB(block[0], block + 1, &gcb) != GIF_ERROR) transparent = gcb.TransparentColor;
    }
    while (block) {
      if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
  }
}

}  // namespace

bool decode_gif(const u8* data, size_t size, pixels::Bitmap& out, i64 cap) {
  Source src{data, size, 0};
  int error;
  Closer gif{DGifOpen(&src, read_bytes, &error)};
  if (!gif.gif) return false;
  i32 transparent;
  if (!first_frame(gif.gif, transparent)) return false;
  const GifImageDesc& d = gif.gif->Image;
  const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif.gif->SColorMap;
  if (!map || d.Width <= 0 || d.Height <= 0) return false;
  if (!out.allocate(d.Width, d.Height, cap)) return false;
  u32 colours[256];
  for (i32 i = 0; i < 256; ++i) {
    const GifColorType& c = map->Colors[i < map->ColorCount ? i : 0];
    colours[i] = pixels::pack(c.Red, c.Green, c.Blue, i == transparent ? 0 : 255);
  }
  std::vector<GifPixelType> line(static_cast<size_t>(d.Width));
  auto read_row = [&](i32 y) {
    if (DGifGetLine(gif.gif, line.data(), d.Width) == GIF_ERROR) return false;
    u32* dst = out.row(y);
    for (i32 x = 0; x < d.Width; ++x) dst[x] = colours[line[static_cast<size_t>(x)]];
    return true;
  };
  if (d.Interlace) {
    static constexpr i32 start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
    for (i32 pass = 0; pass < 4; ++pass)
      for (i32 y = start[pass]; y < d.Height; y += step[pass])
        if (!read_row(y)) return false;
  } else {
    for (i32 y = 0; y < d.Height; ++y)
      if (!read_row(y)) return false;
  }
  return true;
}

namespace {

int write_bytes(GifFileType* gif, const GifByteType* from, int n) {
  auto* out = static_cast<std::vector<u8>*>(gif->UserData);
  out->insert(out->end(), from, from + n);
  return n;
}

// The pixels as palette indexes: the exact colours when there are at most 255, else median cut;
// index `transparent` (the entry after the colours) for alpha below 128, -1 when none is.
bool quantize(const pixels::Bitmap& in, std::vector<GifColorType>& palette, std::vector<GifByteType>& indexes,
              i32& transparent) {
  const size_t n = static_cast<size_t>(in.count());
  indexes.resize(n);
  bool any_clear = false;
  std::unordered_map<u32, u8> exact;
  for (size_t i = 0; i < n && exact.size() <= 255; ++i) {
    const u32 p = in.data[i];
    if (pixels::alpha(p) < 128) {
      any_clear = true;
      continue;
    }
    auto [it, added] = exact.try_emplace(p & 0xFFFFFF, static_cast<u8>(exact.size()));
    if (added && exact.size() <= 255) palette.push_back({pixels::red(p), pixels::green(p), pixels::blue(p)});
  }
  if (exact.size() <= 255) {
    transparent = any_clear ? static_cast<i32>(palette.size()) : -1;
    if (any_clear) palette.push_back({0, 0, 0});
    for (size_t i = 0; i < n; ++i) {
      const u32 p = in.data[i];
      indexes[i] = pixels::alpha(p) < 128 ? static_cast<u8>(transparent) : exact[p & 0xFFFFFF];
    }
    return true;
  }
  std::vector<GifByteType> r(n), g(n), b(n);
  for (size_t i = 0; i < n; ++i) {
    r[i] = pixels::red(in.data[i]);
    g[i] = pixels::green(in.data[i]);
    b[i] = pixels::blue(in.data[i]);
  }
  int size = 255;
  palette.assign(256, {0, 0, 0});
  if (GifQuantizeBuffer(static_cast<unsigned>(in.width), static_cast<unsigned>(in.height), &size, r.data(), g.data(),
                        b.data(), indexes.data(), palette.data()) == GIF_ERROR)
    return false;
  palette.resize(static_cast<size_t>(size));
  transparent = -1;
  // The same scan also stopped early at the 256th colour: look for clear pixels over the whole.
  for (size_t i = 0; i < n; ++i) {
    if (pixels::alpha(in.data[i]) >= 128) continue;
    if (transparent < 0) {
      transparent = static_cast<i32>(palette.size());
      palette.push_back({0, 0, 0});
    }
    indexes[i] = static_cast<u8>(transparent);
  }
  return true;
}

}  // namespace

bool encode_gif(const pixels::Bitmap& in, std::vector<u8>& out) {
  if (!in.width || !in.height) return false;
  std::vector<GifColorType> palette;
  std::vector<GifByteType> indexes;
  i32 transparent;
  if (!quantize(in, palette, indexes, transparent)) return false;
  // A colour table holds a power of two entries, at least two.
  i32 entries = 2;
  while (entries < static_cast<i32>(palette.size())) entries *= 2;
  palette.resize(static_cast<size_t>(entries), {0, 0, 0});
  int error;
  GifFileType* gif = EGifOpen(&out, write_bytes, &error);
  if (!gif) return false;
  // The 89a header, which the control block needs.
  EGifSetGifVersion(gif, true);
  ColorMapObject* map = GifMakeMapObject(entries, palette.data());
  bool ok = map && EGifPutScreenDesc(gif, in.width, in.height, 8, 0, map) != GIF_ERROR;
  if (ok && transparent >= 0) {
    GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, transparent};
    GifByteType block[4];
    EGifGCBToExtension(&gcb, block);
    ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block) != GIF_ERROR;
  }
  ok = ok && EGifPutImageDesc(gif, 0, 0, in.width, in.height, false, nullptr) != GIF_ERROR;
  for (i32 y = 0; ok && y < in.height; ++y)
    ok = EGifPutLine(gif, indexes.data() + static_cast<size_t>(y) * static_cast<size_t>(in.width), in.width) != GIF_ERROR;
  if (EGifCloseFile(gif, &error) == GIF_ERROR) ok = false;
  GifFreeMapObject(map);
  return ok;
}

}  // namespace kiv::image_codecs
