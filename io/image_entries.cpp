// The language's side of the image codecs: bytes in, image! out, and back.
#include "io/image_entries.h"

#include <vector>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/image.h"
#include "datatypes/none.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/url.h"
#include "runtime/stack.h"

namespace kiv::image {

namespace {

using image_codecs::Format;

// Decodes bytes copied out of the value (the decoders take their time and the value may move).
bool decode_bytes(const Cell* bytes, pixels::Bitmap& out, Format& format) {
  const std::vector<u8> data = binary::bytes_of(bytes);
  format = image_codecs::sniff(data.data(), data.size());
  return format != Format::unknown && image_codecs::decode(format, data.data(), data.size(), out);
}

}  // namespace

Cell* decode_binary(Cell* data) {
  pixels::Bitmap b;
  Format format;
  if (decode_bytes(data, b, format)) return push(std::move(b));
  if (format == Format::unknown) return none::push();
  raise_error(ErrorCategory::access, "bad-media");
}

Cell* decode(Cell* data) {
  if (data->type() == type::binary) return decode_binary(data);
  const bool is_url = data->type() == type::url;
  if (!is_url && data->type() != type::file) raise_error(ErrorCategory::access, "cannot-open", *data);
  Cell* bytes = is_url ? url::read(data, nullptr, nullptr, true, false, false, nullptr)
                       : file::read(data, nullptr, nullptr, true, false, false, nullptr);
  pixels::Bitmap b;
  Format format;
  if (bytes->type() != type::binary || !decode_bytes(bytes, b, format))
    raise_error(ErrorCategory::access, "cannot-open", *data);
  return push(std::move(b));
}

Cell* encode(Cell* image, Format format, Cell* where) {
  const pixels::Bitmap& b = bitmap_of(image);
  std::vector<u8> bytes;
  if (b.data.empty() || !image_codecs::encode(format, b, bytes)) raise_error(ErrorCategory::access, "bad-media");
  if (where && where->type() == type::binary) {
    series::clear(where);
    binary::append_bytes(where, bytes.data(), static_cast<i32>(bytes.size()));
    return where;
  }
  return binary::load(bytes.data(), static_cast<i32>(bytes.size()));
}

namespace {

template <Format F>
Cell* encode_entry(Cell* image, Cell* where) {
  return encode(image, F, where);
}

}  // namespace

void register_routines() {
  routine::add("image/decode", decode);
  routine::add("png/encode", encode_entry<Format::png>);
  routine::add("jpeg/encode", encode_entry<Format::jpeg>);
  routine::add("bmp/encode", encode_entry<Format::bmp>);
  routine::add("gif/encode", encode_entry<Format::gif>);
  routine::add("tiff/encode", encode_entry<Format::tiff>);
}

}  // namespace kiv::image
