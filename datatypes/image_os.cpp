// The imaging layer: image records in the external-resource table, reached through image nodes.
#include "datatypes/image_os.h"

#include "runtime/collector.h"
#include "runtime/external.h"
#include "runtime/memory.h"

namespace kiv::image_os {

namespace {

i32 slot_of(Ref<Node> node) { return *buffer_of(node)->head_ptr<i32>(); }

void drop_render_cache(Record* r) {
  if (r->render_cache && release_render_cache) release_render_cache(r->render_cache);
  r->render_cache = nullptr;
}

void release(void* object) {
  auto* r = static_cast<Record*>(object);
  drop_render_cache(r);
  delete r;
}

}  // namespace

void init() {
  // Once per table: a boot that starts the table afresh registers the kind again.
  const auto& t = externals::table;
  if (!kind || kind > t.kind_count || t.kinds[kind - 1].release != release) kind = externals::register_kind("image", release);
}

Ref<Node> make_node(pixels::Bitmap&& bitmap) {
  Ref<Node> node = memory::alloc_bytes(sizeof(i32));
  // From here on nothing allocates in the arena until the caller stores the node.
  auto* r = new Record;
  r->bitmap = std::move(bitmap);
  const i32 slot = externals::add(r, kind);
  SeriesBuffer* b = buffer_of(node);
  *b->head_ptr<i32>() = slot;
  b->tail = b->head + sizeof(i32);
  return node;
}

Record* record_of(Ref<Node> node) {
  if (!node) return nullptr;
  return static_cast<Record*>(externals::table.slots[static_cast<u32>(slot_of(node))].object);
}

pixels::Bitmap& pixels_to_read(Ref<Node> node) {
  Record* r = record_of(node);
  if (r->flags & flag::drawn) {
    if (read_back) read_back(r);
    r->flags &= ~flag::drawn;
  }
  return r->bitmap;
}

pixels::Bitmap& pixels_to_write(Ref<Node> node) {
  pixels::Bitmap& b = pixels_to_read(node);
  Record* r = record_of(node);
  r->flags |= flag::changed;
  drop_render_cache(r);
  return b;
}

void mark(Cell* image) {
  if (!image->w2) return;
  if (collector::mark_node(&image->w2)) externals::mark(slot_of(Ref<Node>(image->w2)), nullptr);
}

}  // namespace kiv::image_os
