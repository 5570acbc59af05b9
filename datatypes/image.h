// image!: a rectangle of 32-bit pixels that behaves as a series of pixels in row-major order. It
// has a head, navigates by index or x-y pair, picks and pokes pixels as tuples, and is read and
// written whole through the rgb, alpha and argb paths.
//
// Cell: header type 53; w1 the head index (a pixel offset from the top-left, 0-based); w2 the image
// node (image_os.h), 0 for an image without pixels; w3 the packed size width | height << 16.
//
// The language shows alpha inverted: a pixel is the tuple R.G.B.A with A = 255 - the stored alpha,
// so 0 is opaque; a 3-byte tuple written to an image is opaque.
#pragma once
#include <vector>

#include "datatypes/image_pixels.h"
#include "runtime/cell.h"

namespace kiv::image {

inline i32 width_of(const Cell* i) { return static_cast<i32>(i->w3 & 0xFFFF); }
inline i32 height_of(const Cell* i) { return static_cast<i32>(i->w3 >> 16); }
inline i32 pixel_count(const Cell* i) { return width_of(i) * height_of(i); }
inline i32 head_of(const Cell* i) { return static_cast<i32>(i->w1); }
inline Ref<Node> node_of(const Cell* i) { return Ref<Node>(i->w2); }

// What data the rgb, alpha and argb paths read and write.
enum class Data : i32 { alpha = 0, rgb = 1, argb = 2 };

// A new image over the bitmap (taken over), pushed on the value stack; a bitmap without pixels
// gives an image without node of the bitmap's size.
Cell* push(pixels::Bitmap&& bitmap);
// The pixels of an image, read-only (an empty bitmap for one without node).
const pixels::Bitmap& bitmap_of(const Cell* image);

// The data of all pixels from the top-left as a new binary! on the value stack.
Cell* extract_data(const Cell* image, Data kind);
// Sets the data of all pixels from a binary! or a colour (tuple! or integer!).
void set_data(Cell* image, const Cell* value, Data kind);

// Action entries.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* change(Cell* series, Cell* value, i32 part, bool only, i32 dup);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* pick(Cell* series, i32 index, Cell* boxed);
Cell* poke(Cell* series, i32 index, Cell* data, Cell* boxed);

void init();

}  // namespace kiv::image
