// The image decoders on arbitrary bytes: a picture or a refusal, never a fault, and never more
// memory than the pixel cap allows (a smaller cap here keeps each case quick). Bytes with a known
// signature go to their decoder; others pick a decoder by their first byte and give it the rest,
// so every decoder also meets data that lies about its format. A picture decoded must survive a
// lossless round trip through each lossless encoder.
#include <cstddef>
#include <cstdint>

#include "io/image_codecs.h"

using namespace kiv;
using image_codecs::Format;

namespace {

constexpr i64 cap = i64{1} << 22;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Format format = image_codecs::sniff(data, size);
  if (format == Format::unknown) {
    if (!size) return 0;
    format = static_cast<Format>(data[0] % 5);
    ++data;
    --size;
  }
  pixels::Bitmap picture;
  if (!image_codecs::decode(format, data, size, picture, cap)) {
    check(picture.data.empty());
    return 0;
  }
  check(picture.width > 0 && picture.height > 0 && picture.count() <= cap);
  check(picture.data.size() == static_cast<size_t>(picture.count()));
  // Small pictures only: the encoders are not what is fuzzed here.
  if (picture.count() > 4096) return 0;
  for (Format f : {Format::bmp, Format::png, Format::tiff}) {
    std::vector<u8> bytes;
    check(image_codecs::encode(f, picture, bytes));
    pixels::Bitmap back;
    check(image_codecs::decode(f, bytes.data(), bytes.size(), back));
    check(back.width == picture.width && back.height == picture.height && back.data == picture.data);
  }
  return 0;
}
