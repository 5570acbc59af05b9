// The imaging layer: the record behind every image! value and the one place where an image's
// pixels are reached.
//
// The image node is a small byte series whose only content is the index of the image's slot in the
// external-resource table; the slot holds the Record (C++ memory: the pixels and the GUI's cached
// form). The node gives an image its identity (same?, ownership) and is what the collector sees; a
// node that dies leaves its slot unmarked, and the sweep releases the record.
//
// Two flags replace a GUI's bitmap machinery: `changed` (pixels written since the GUI last cached
// them: its cached form is stale) and `drawn` (the GUI drew into its cached form: the pixels must be
// read back from it before they are next read or written).
#pragma once
#include "datatypes/image_pixels.h"
#include "runtime/cell.h"

namespace kiv::image_os {

namespace flag {
constexpr u32 changed = 0x02;
constexpr u32 drawn = 0x20;
}  // namespace flag

struct Record {
  u32 flags = 0;
  pixels::Bitmap bitmap;
  void* render_cache = nullptr;  // the GUI backend's form of the pixels, or null
};

// Set by the GUI backend: frees a render cache; copies a drawn cache back into the bitmap.
inline void (*release_render_cache)(void* cache) = nullptr;
inline void (*read_back)(Record* record) = nullptr;

// The external-resource kind of images (0 until init).
inline u32 kind = 0;

// Registers the "image" resource kind.
void init();

// A node over the bitmap, which it takes over. Allocates (and may collect) before the record is
// registered, so nothing of the caller's is at risk but cells it holds unrooted.
Ref<Node> make_node(pixels::Bitmap&& bitmap);
// The record of a node (null for node 0).
Record* record_of(Ref<Node> node);

// The pixels to read (read back first when the GUI drew), and to write (the render cache dropped).
pixels::Bitmap& pixels_to_read(Ref<Node> node);
pixels::Bitmap& pixels_to_write(Ref<Node> node);

// Collector: marks the node of an image cell (in word 2) and its resource slot.
void mark(Cell* image);

}  // namespace kiv::image_os
