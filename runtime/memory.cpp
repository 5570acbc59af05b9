#include "runtime/memory.h"

#include <algorithm>
#include <cstring>

#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/sys.h"

namespace kiv::memory {
namespace {

[[noreturn]] void no_memory() { raise_error(ErrorCategory::internal, "no-memory"); }

u64 round_granularity(u64 n) { return (n + os_granularity - 1) & ~u64{os_granularity - 1}; }

// An arena block with its committed size in the first word; returns the offset after that word.
// Nothing is counted until the commit has succeeded, so a failure never leaves the figures high.
u32 take_block(u64 size, u32* committed) {
  u64 rounded = round_granularity(size + 4);
  if (rounded > 0xFFFFF000u) no_memory();  // no 32-bit block can hold it
  u32 block = arena::take(static_cast<u32>(rounded));
  if (!block) sys::quit(sys::Fatal::out_of_memory);  // the system (or the 4 GiB arena) is out of memory
  *arena::at<u32>(block) = static_cast<u32>(rounded);
  *committed = static_cast<u32>(rounded);
  return block + 4;
}

// Gives a block of take_block back and returns its committed size.
u32 give_block(u32 block) {
  if (block < os_granularity + 4 || (block - 4) % os_granularity) raise_error(ErrorCategory::internal, "wrong-mem");
  u32 size = *arena::at<u32>(block - 4);
  if (!size || size % os_granularity) raise_error(ErrorCategory::internal, "wrong-mem");
  arena::give_back(block - 4, size);
  return size;
}

template <class T>
T* at_or_null(u32 offset) {
  return offset ? arena::at<T>(offset) : nullptr;
}

// Data size in bytes for units x unit, rounded up to 16; refuses what no buffer can hold.
u32 data_size_of(i32 units, i32 unit) {
  if (units < 0 || unit <= 0 || unit > static_cast<i32>(series_flag::unit_mask)) no_memory();
  u64 bytes = (static_cast<u64>(units) * static_cast<u64>(unit) + 15) & ~u64{15};
  if (bytes > max_data_size) no_memory();
  return static_cast<u32>(bytes);
}

SeriesBuffer* init_header(SeriesBuffer* b, u32 flags, u32 size, i32 head_offset) {
  b->flags = flags;
  b->node = 0;
  b->size = size;
  u32 h = static_cast<u32>(head_offset);
  if (head_offset == -1) {
    h = size >> 1;
    b->flags |= series_flag::head_inside;
  }
  b->head = b->data_offset() + h;
  b->tail = b->head;
  return b;
}

[[gnu::noinline]] NodeFrame* node_frame_with_room() {
  for (NodeFrame* f = at_or_null<NodeFrame>(manager.first_node_frame); f; f = at_or_null<NodeFrame>(f->next)) {
    if (f->free_list && !f->evacuated) return f;
  }
  return new_node_frame(node_frame_slots);
}

SeriesBuffer* carve(SeriesFrame* f, u32 footprint) {
  auto* b = arena::at<SeriesBuffer>(f->heap);
  f->heap += footprint;
  return b;
}

// The frame for a buffer that the current frame cannot hold.
[[gnu::noinline]] SeriesFrame* frame_for(u32 footprint) {
  SeriesFrame* f = find_series_frame(footprint);
  if (!f) {
    collector::collect_if_enabled();
    f = find_series_frame(footprint);
  }
  if (!f || f->end - f->heap < new_frame_threshold) {
    if (footprint >= manager.next_frame_size) manager.next_frame_size = manager.max_frame_size;
    f = new_series_frame();
  }
  manager.current_series_frame = arena::offset_of(f);
  return f;
}

// Unmanaged blocks: [committed size][BigSeries record: next, prev, footprint][buffer].
BigSeries* unmanaged_record(SeriesBuffer* b) {
  return reinterpret_cast<BigSeries*>(reinterpret_cast<std::byte*>(b) - sizeof(BigSeries));
}

SeriesBuffer* alloc_unmanaged_buffer(i32 units, i32 unit, i32 head_offset_bytes) {
  u32 size = data_size_of(units, unit);
  u32 footprint = size + buffer_overhead;
  u32 committed;
  u32 block = take_block(u64{footprint} + sizeof(BigSeries), &committed);
  manager.unmanaged_bytes += committed;
  auto* r = arena::at<BigSeries>(block);
  r->next = manager.first_unmanaged;
  r->reserved = 0;
  r->footprint = footprint;
  if (r->next) arena::at<BigSeries>(r->next)->reserved = block;
  manager.first_unmanaged = block;
  return init_header(r->buffer(), unmanaged_flags | static_cast<u32>(unit), size, head_offset_bytes);
}

void free_unmanaged_buffer(SeriesBuffer* b) {
  BigSeries* r = unmanaged_record(b);
  u32 block = arena::offset_of(r);
  if (r->reserved) {
    arena::at<BigSeries>(r->reserved)->next = r->next;
  } else {
    manager.first_unmanaged = r->next;
  }
  if (r->next) arena::at<BigSeries>(r->next)->reserved = r->reserved;
  manager.unmanaged_bytes -= give_block(block);
}

// Moves the series of b into a new buffer of new_size bytes (0 doubles), copying the content when
// asked. Content beyond a smaller new area is cut off rather than written past its end.
SeriesBuffer* move_series(SeriesBuffer* b, i32 new_size, bool copy) {
  i64 s = new_size;
  if (new_size == 0) s = b->size ? i64{b->size} * 2 : 16;  // an empty area still grows
  if (s < 1 || s > i64{max_data_size}) no_memory();
  i32 unit = static_cast<i32>(b->unit() ? b->unit() : 1);
  i32 units = static_cast<i32>(s / unit);

  Ref<Node> node(b->node);
  RootNode keep(node);  // the old buffer must survive a collection run by the allocation
  SeriesBuffer* nb;
  if (b->flags & series_flag::unmanaged) {
    nb = alloc_unmanaged_buffer(units, unit, 0);
  } else {
    nb = alloc_buffer(units, unit, 0);
    if (node) b = buffer_of(node);
  }

  u32 used = std::min(b->tail - b->head, nb->size);
  nb->flags = (b->flags & ~(series_flag::big | series_flag::head_inside)) | (nb->flags & series_flag::big);
  nb->node = node.offset();
  nb->tail = nb->head + used;
  if (node) node->buffer = arena::offset_of(nb);
  if (copy && used) std::memcpy(nb->data(), b->head_ptr(), used);

  b->node = 0;
  b->flags &= ~series_flag::in_use;
  if (hooks::on_buffer_replaced) hooks::on_buffer_replaced(b);
  return nb;
}

void free_node_list() {
  for (u32 f = manager.first_node_frame; f;) {
    u32 next = arena::at<NodeFrame>(f)->next;
    os_free(f);
    f = next;
  }
  manager.first_node_frame = manager.last_node_frame = manager.current_node_frame = 0;
}

}  // namespace

void init() {
  arena::init();
  manager = MemoryManager{};
  manager.default_frame_size = default_frame_size;
  manager.next_frame_size = default_frame_size;
  manager.max_frame_size = max_frame_size;
  fixups.clear();
  fixups.reserve(fixup_step);
}

u32 os_alloc(u32 size) {
  u32 committed;
  u32 block = take_block(size, &committed);
  manager.bytes_in_use += committed;
  return block;
}

void os_free(u32 block) { manager.bytes_in_use -= give_block(block); }

void free_all() {
  free_node_list();
  for (u32 f = manager.first_series_frame; f;) {
    u32 next = arena::at<SeriesFrame>(f)->next;
    os_free(f);
    f = next;
  }
  manager.first_series_frame = manager.current_series_frame = manager.last_series_frame = 0;
  for (u32 r = manager.first_big_series; r;) {
    u32 next = arena::at<BigSeries>(r)->next;
    os_free(r);
    r = next;
  }
  manager.first_big_series = 0;
  for (u32 r = manager.first_unmanaged; r;) {
    u32 next = arena::at<BigSeries>(r)->next;
    manager.unmanaged_bytes -= give_block(r);
    r = next;
  }
  manager.first_unmanaged = 0;
}

// ---- node frames ----

NodeFrame* new_node_frame(u32 slots) {
  u32 block = os_alloc(static_cast<u32>(sizeof(NodeFrame)) + 4 * slots);
  auto* f = arena::at<NodeFrame>(block);
  *f = NodeFrame{};
  f->capacity = slots;
  f->created_at = collector::series_cycles;
  Node* s = f->slots();
  u32 first = arena::offset_of(s);
  for (u32 i = 0; i + 1 < slots; ++i) s[i].buffer = first + 4 * (i + 1);
  if (slots) s[slots - 1].buffer = 0;
  f->free_list = slots ? first : 0;

  if (!manager.last_node_frame) {
    manager.first_node_frame = manager.last_node_frame = manager.current_node_frame = block;
  } else {
    f->prev = manager.last_node_frame;
    arena::at<NodeFrame>(manager.last_node_frame)->next = block;
    manager.last_node_frame = block;
  }
  return f;
}

void free_node(NodeFrame* frame, Ref<Node> node) {
  node->buffer = frame->free_list;
  frame->free_list = node.offset();
  --frame->used;
}

void free_node_frame(NodeFrame* frame) {
  u32 self = arena::offset_of(frame);
  if (frame->prev) {
    arena::at<NodeFrame>(frame->prev)->next = frame->next;
  } else {
    manager.first_node_frame = frame->next;
  }
  if (frame->next) {
    arena::at<NodeFrame>(frame->next)->prev = frame->prev;
  } else {
    manager.last_node_frame = frame->prev;
  }
  if (manager.current_node_frame == self) manager.current_node_frame = manager.last_node_frame;
  os_free(self);
}

void update_node_frames() {
  bool current_chosen = false;
  for (NodeFrame* f = at_or_null<NodeFrame>(manager.first_node_frame); f;) {
    NodeFrame* next = at_or_null<NodeFrame>(f->next);
    if (f->used == 0 || f->evacuated) {
      free_node_frame(f);
    } else {
      if (!current_chosen && f->used < f->capacity) {
        manager.current_node_frame = arena::offset_of(f);
        current_chosen = true;
      }
      f->stable_history = (f->stable_history << 1) | (f->used == f->used_last ? 1u : 0u);
      f->used_last = f->used;
    }
    f = next;
  }
}

NodeFrame* node_frame_of(Ref<Node> node) {
  u32 n = node.offset();
  for (NodeFrame* f = at_or_null<NodeFrame>(manager.first_node_frame); f; f = at_or_null<NodeFrame>(f->next)) {
    u32 first = arena::offset_of(f->slots());
    if (n >= first && n < first + 4 * f->capacity) return f;
  }
  return nullptr;
}

// ---- series frames ----

SeriesFrame* new_series_frame() {
  u32 data = manager.next_frame_size;
  u32 block = os_alloc(static_cast<u32>(sizeof(SeriesFrame)) + data);
  auto* f = arena::at<SeriesFrame>(block);
  f->size = data + static_cast<u32>(sizeof(SeriesFrame));
  f->heap = f->data_offset();
  f->end = f->heap + data;
  if (manager.next_frame_size < manager.max_frame_size) {
    manager.next_frame_size = std::min(manager.next_frame_size * 2, manager.max_frame_size);
  }

  // Keep the list in address order: the arena may hand out a block below existing frames.
  u32 prev = 0, next = manager.first_series_frame;
  while (next && next < block) {
    prev = next;
    next = arena::at<SeriesFrame>(next)->next;
  }
  f->prev = prev;
  f->next = next;
  if (prev) {
    arena::at<SeriesFrame>(prev)->next = block;
  } else {
    manager.first_series_frame = block;
  }
  if (next) {
    arena::at<SeriesFrame>(next)->prev = block;
  } else {
    manager.last_series_frame = block;
  }
  if (!manager.current_series_frame) manager.current_series_frame = block;
  return f;
}

SeriesFrame* find_series_frame(u32 needed) {
  for (SeriesFrame* f = at_or_null<SeriesFrame>(manager.first_series_frame); f;
       f = at_or_null<SeriesFrame>(f->next)) {
    if (u64{f->heap} + needed < f->end) return f;
  }
  return nullptr;
}

void free_series_frame(SeriesFrame* frame) {
  u32 self = arena::offset_of(frame);
  if (frame->prev) {
    arena::at<SeriesFrame>(frame->prev)->next = frame->next;
  } else {
    manager.first_series_frame = frame->next;
  }
  if (frame->next) {
    arena::at<SeriesFrame>(frame->next)->prev = frame->prev;
  } else {
    manager.last_series_frame = frame->prev;
  }
  if (manager.current_series_frame == self) manager.current_series_frame = manager.last_series_frame;
  os_free(self);
}

// ---- buffers ----

namespace {

// The common case, a bump of the current frame's heap and a pop of the current node frame's free
// list, is inlined into the allocators; everything else is out of line.
[[gnu::noinline]] SeriesBuffer* alloc_big_buffer(u32 footprint) {
  collector::collect_if_enabled();
  return alloc_big_series(footprint);
}

[[gnu::always_inline]] inline SeriesBuffer* carve_buffer(i32 units, i32 unit, i32 head_offset) {
  if (collector::torture_every) [[unlikely]] collector::torture_tick();
  u32 size = data_size_of(units, unit);
  u32 footprint = size + buffer_overhead;
  u32 flags = static_cast<u32>(unit) | series_flag::in_use | series_flag::managed;
  SeriesBuffer* b;
  if (footprint >= manager.max_frame_size) [[unlikely]] {
    b = alloc_big_buffer(footprint);
    flags |= series_flag::big;
  } else {
    SeriesFrame* f = at_or_null<SeriesFrame>(manager.current_series_frame);
    if (!f || u64{f->heap} + footprint >= f->end) [[unlikely]] f = frame_for(footprint);
    b = carve(f, footprint);
  }
  return init_header(b, flags, size, head_offset);
}

[[gnu::always_inline]] inline Ref<Node> take_node() {
  NodeFrame* f = at_or_null<NodeFrame>(manager.current_node_frame);
  if (!f || !f->free_list) [[unlikely]] {
    f = node_frame_with_room();
    manager.current_node_frame = arena::offset_of(f);
  }
  u32 slot = f->free_list;
  Node* n = arena::at<Node>(slot);
  f->free_list = n->buffer;
  n->buffer = 0;
  ++f->used;
  return Ref<Node>(slot);
}

}  // namespace

SeriesBuffer* alloc_buffer(i32 units, i32 unit, i32 head_offset) { return carve_buffer(units, unit, head_offset); }

Ref<Node> alloc_node() { return take_node(); }

Ref<Node> alloc_series(i32 units, i32 unit, i32 head_offset) {
  SeriesBuffer* b = carve_buffer(units, unit, head_offset);
  Ref<Node> n = take_node();  // takes no collection, so b stays put
  n->buffer = arena::offset_of(b);
  b->node = n.offset();
  return n;
}

Ref<Node> alloc_cells(i32 n) { return alloc_series(n, 16, 0); }

Ref<Node> alloc_unset_cells(i32 n) {
  Ref<Node> node = alloc_cells(n);
  SeriesBuffer* b = buffer_of(node);
  auto* c = reinterpret_cast<Cell*>(b->data());
  for (u32 i = 0, count = b->size / 16; i < count; ++i) c[i] = Cell{type::unset, 0, 0, 0};
  return node;
}

Ref<Node> alloc_bytes(i32 n) { return alloc_series(n ? n : 16, 1, 0); }

Ref<Node> alloc_string_buffer(i32 n, i32 unit) {
  if (n == 0) n = 16 >> (unit >> 1);
  return alloc_series(n, unit, 0);
}

Ref<Node> alloc_bytes_filled(i32 n, u8 byte) {
  Ref<Node> node = alloc_bytes(n);
  SeriesBuffer* b = buffer_of(node);
  std::memset(b->data(), byte, b->size);
  return node;
}

Ref<Node> alloc_unmanaged_series(i32 units, i32 unit, i32 head_offset_bytes) {
  SeriesBuffer* b = alloc_unmanaged_buffer(units, unit, head_offset_bytes);
  Ref<Node> n = alloc_node();
  n->buffer = arena::offset_of(b);
  b->node = n.offset();
  return n;
}

void free_unmanaged_series(Ref<Node> node) {
  SeriesBuffer* b = buffer_of(node);
  free_unmanaged_buffer(b);
  if (NodeFrame* f = node_frame_of(node)) free_node(f, node);
}

void set_series_flags(Ref<Node> node, u32 bits) { buffer_of(node)->flags |= bits; }

SeriesBuffer* realloc_series(SeriesBuffer* b, i32 new_size) { return move_series(b, new_size, false); }

SeriesBuffer* expand_series(SeriesBuffer* b, i32 new_size) { return move_series(b, new_size, true); }

SeriesBuffer* expand_series_filled(SeriesBuffer* b, i32 new_size, u8 byte) {
  u32 old_size = b->size;
  SeriesBuffer* nb = expand_series(b, new_size);
  if (nb->size > old_size) std::memset(nb->data() + old_size, byte, nb->size - old_size);
  return nb;
}

Ref<Node> copy_series(SeriesBuffer* b) {
  Ref<Node> src(b->node);
  RootNode keep(src);
  Ref<Node> n = alloc_bytes(static_cast<i32>(b->size));
  if (src) b = buffer_of(src);
  SeriesBuffer* nb = buffer_of(n);
  // The copy is a fresh, unowned, unmarked frame series whose content starts at its data area.
  constexpr u32 dropped = series_flag::owned | series_flag::mark | series_flag::head_inside |
                          series_flag::unmanaged | series_flag::big;
  nb->flags = (b->flags & ~dropped) | (nb->flags & series_flag::big);
  u32 used = std::min(b->tail - b->head, nb->size);
  if (used) std::memcpy(nb->data(), b->head_ptr(), used);
  nb->tail = nb->head + used;
  return n;
}

void fill_range(std::byte* start, std::byte* end, u8 byte) {
  if (end > start) std::memset(start, byte, static_cast<size_t>(end - start));
}

std::byte* replicate_bytes(std::byte* start, i32 pattern_length, i32 count) {
  if (pattern_length <= 0 || count <= 0) return start;
  size_t total = static_cast<size_t>(pattern_length) * static_cast<size_t>(count);
  size_t filled = static_cast<size_t>(pattern_length);
  while (filled * 2 <= total) {
    std::memcpy(start + filled, start, filled);
    filled *= 2;
  }
  if (filled < total) std::memcpy(start + filled, start, total - filled);
  return start + total;
}

// ---- big series ----

SeriesBuffer* alloc_big_series(u32 footprint) {
  u32 block = os_alloc(footprint + static_cast<u32>(sizeof(BigSeries)));
  auto* r = arena::at<BigSeries>(block);
  r->next = 0;
  r->reserved = 0;
  r->footprint = footprint;
  u32* link = &manager.first_big_series;
  while (*link) link = &arena::at<BigSeries>(*link)->next;
  *link = block;
  return r->buffer();
}

void free_big_series(SeriesBuffer* b) {
  u32 block = arena::offset_of(b) - static_cast<u32>(sizeof(BigSeries));
  u32* link = &manager.first_big_series;
  while (*link && *link != block) link = &arena::at<BigSeries>(*link)->next;
  if (!*link) raise_error(ErrorCategory::internal, "wrong-mem");
  *link = arena::at<BigSeries>(block)->next;
  os_free(block);
}

void sweep_big_series() {
  u32* link = &manager.first_big_series;
  while (*link) {
    u32 block = *link;
    auto* r = arena::at<BigSeries>(block);
    SeriesBuffer* b = r->buffer();
    if (b->flags & series_flag::mark) {
      b->flags &= ~series_flag::mark;
      link = &r->next;
      continue;
    }
    *link = r->next;
    if (b->node) collector::queue_dead_node(Ref<Node>(b->node));
    os_free(block);
  }
  // Unmanaged buffers left behind by growth are reclaimed here, where no code still reads them.
  for (u32 r = manager.first_unmanaged; r;) {
    auto* rec = arena::at<BigSeries>(r);
    u32 next = rec->next;
    if (!(rec->buffer()->flags & series_flag::in_use)) free_unmanaged_buffer(rec->buffer());
    r = next;
  }
}

// ---- statistics ----

double stats_total() {
  collector::Suspend quiet;
  double total = 0;
  for (NodeFrame* f = at_or_null<NodeFrame>(manager.first_node_frame); f; f = at_or_null<NodeFrame>(f->next)) {
    total += f->used * 4.0;
  }
  for (SeriesFrame* f = at_or_null<SeriesFrame>(manager.first_series_frame); f;
       f = at_or_null<SeriesFrame>(f->next)) {
    total += f->heap - f->data_offset();
  }
  for (BigSeries* r = at_or_null<BigSeries>(manager.first_big_series); r; r = at_or_null<BigSeries>(r->next)) {
    total += r->footprint;
  }
  return total;
}

MemoryFigures stats_figures() {
  collector::Suspend quiet;
  MemoryFigures m{};
  double frames = 0;
  for (NodeFrame* f = at_or_null<NodeFrame>(manager.first_node_frame); f; f = at_or_null<NodeFrame>(f->next)) {
    m.node_frames.push_back({f->capacity - f->used, f->used, f->capacity});
    frames += sizeof(NodeFrame) + 4.0 * f->capacity;
  }
  for (SeriesFrame* f = at_or_null<SeriesFrame>(manager.first_series_frame); f;
       f = at_or_null<SeriesFrame>(f->next)) {
    m.series_frames.push_back({f->end - f->heap, f->heap - f->data_offset(), f->end - f->data_offset()});
    frames += f->size;  // data area and header
  }
  for (BigSeries* r = at_or_null<BigSeries>(manager.first_big_series); r; r = at_or_null<BigSeries>(r->next)) {
    m.big_series.push_back(r->footprint);
    frames += r->footprint + double{sizeof(BigSeries)};
  }
  m.tracked_bytes = static_cast<double>(sys::tracked_bytes()) + manager.unmanaged_bytes;
  m.all_bytes = frames + m.tracked_bytes;
  return m;
}

// ---- Batched removals ----

namespace {

SeriesBuffer* gap_buffer(const Gap& g) { return raw_buffer_of(Ref<Node>(g.series->w2)); }

void shut(Gap& g, SeriesBuffer* b) {
  const u32 unit = b->unit();
  std::byte* head = b->head_ptr();
  std::byte* rest = head + static_cast<u32>(g.rest) * unit;
  std::memmove(head + static_cast<u32>(g.kept) * unit, rest, static_cast<size_t>(b->tail_ptr() - rest));
  b->tail -= static_cast<u32>(g.rest - g.kept) * unit;
  g.rest = g.kept;
  b->flags &= ~series_flag::gapped;
}

}  // namespace

void close_gap(SeriesBuffer* b) {
  // The collector walks buffers as they lie: moving cells under its scan could hide one from it.
  if (collector::collecting) return;
  for (size_t i = gaps.size(); i-- > 0;) {
    if (gap_buffer(gaps[i]) == b) return shut(gaps[i], b);
  }
  KIV_ASSERT(false, "a series marked as gapped has no gap record");
}

i32 begin_gap(const Cell* series, i32 at) {
  gaps.push_back({series, at, at});
  return static_cast<i32>(gaps.size() - 1);
}

void set_gap(i32 index, i32 kept, i32 rest) {
  Gap& g = gaps[static_cast<size_t>(index)];
  SeriesBuffer* b = gap_buffer(g);
  g.kept = kept;
  g.rest = rest;
  if (kept < rest) b->flags |= series_flag::gapped;
  else b->flags &= ~series_flag::gapped;
}

void end_gap(i32 index) {
  KIV_ASSERT(static_cast<size_t>(index) + 1 == gaps.size(), "gaps end in reverse order");
  Gap& g = gaps.back();
  SeriesBuffer* b = gap_buffer(g);
  if (b->flags & series_flag::gapped) shut(g, b);
  gaps.pop_back();
}

}  // namespace kiv::memory
