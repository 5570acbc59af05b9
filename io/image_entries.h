// The image codecs as the language reaches them: decoding a binary! or a file into an image!, and
// encoding an image! into a binary! in one of the five formats. The codec objects of the library
// (system/codecs) call these.
#pragma once
#include "io/image_codecs.h"
#include "runtime/cell.h"

namespace kiv::image {

// A binary! decodes to an image!, or to none when its bytes begin with no known signature; a
// signature whose data does not decode raises access bad-media. A file! or url! is read first, and
// one that cannot be read or decoded raises access cannot-open with it. The result is pushed.
Cell* decode(Cell* data);
Cell* decode_binary(Cell* data);

// The image encoded as a new binary! (pushed), or into `where` when that is a binary! (its
// content replaced). An image without pixels, or one the library refuses, raises bad-media.
Cell* encode(Cell* image, image_codecs::Format format, Cell* where);

// Registers the codec routines "image/decode", "png/encode", "jpeg/encode", "bmp/encode",
// "gif/encode" and "tiff/encode".
void register_routines();

}  // namespace kiv::image
