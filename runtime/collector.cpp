#include "runtime/collector.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/external.h"
#include "runtime/hashtable.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/slot_table.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

namespace kiv::collector {
namespace {

using memory::manager;

// Set on a pinned buffer while a collection runs: compaction leaves it where it is.
constexpr u32 pinned_flag = 1u << 26;

template <class T>
T* at_or_null(u32 offset) {
  return offset ? arena::at<T>(offset) : nullptr;
}

inline SeriesBuffer* buffer_at(u32 offset) { return arena::at<SeriesBuffer>(offset); }
inline u32 footprint(const SeriesBuffer* b) { return b->size + memory::buffer_overhead; }

// What the marking is working through, for the report of a bad reference.
const char* phase = "";
u32 phase_index = 0;
const Cell* marking_cell = nullptr;

[[noreturn]] [[gnu::cold]] void corrupt(const char* what, u32 a, u32 b) {
  std::fprintf(stderr, "*** collector: %s (%08X %08X)\n", what, a, b);
  if (*phase) std::fprintf(stderr, "*** while marking %s #%u\n", phase, phase_index);
  if (marking_cell) {
    std::fprintf(stderr, "*** in a cell of type %u at %s%08X: %08X %08X %08X %08X\n", marking_cell->type(),
                 arena::contains(marking_cell) ? "arena offset " : "host address ",
                 arena::contains(marking_cell) ? arena::offset_of(marking_cell)
                                               : static_cast<u32>(reinterpret_cast<std::uintptr_t>(marking_cell)),
                 marking_cell->header, marking_cell->w1, marking_cell->w2, marking_cell->w3);
  }
  std::fflush(stderr);
  sys::quit(sys::Fatal::assertion);
}

inline void set_phase(const char* name, u32 index = 0) {
  phase = name;
  phase_index = index;
  marking_cell = nullptr;
}

// ---- State of one collection ----

struct Range {
  Cell* first;
  Cell* last;
};
std::vector<Range> mark_stack;  // cells still to mark; never the C++ stack
bool draining = false;

// The node frames in use, sorted by address, for returning dead nodes to their frames.
std::vector<NodeFrame*> node_index;
std::vector<u32> pins;  // pinned buffers (offsets), innermost last

// Slot areas of the node frames evacuated by this collection: an evacuated slot holds the node it
// moved to, so a reference is forwarded by reading the old slot.
struct SlotArea {
  u32 first, end;
};
std::vector<SlotArea> evacuated;
u32 evacuated_lo = 0, evacuated_hi = 0;

// Frames held back inaccessible by torture mode, released after a few collections.
struct Held {
  u32 block;  // the arena block (its committed-size word included)
  u32 bytes;
  u32 until;  // series_cycles value at which it goes back to the system
};
std::vector<Held> quarantine;
constexpr u32 quarantine_cycles = 4;

u32 marked_count = 0;

// Verification (torture mode, or KIV_GC_VERIFY set): every node reference must name a slot of a
// node frame in use; the slot areas of those frames, sorted.
bool verifying = false;
std::vector<SlotArea> live_slot_areas;

// ---- Node forwarding ----

u32 forward_slow(u32 n) {
  while (n >= evacuated_lo && n < evacuated_hi) {
    auto it = std::upper_bound(evacuated.begin(), evacuated.end(), n,
                               [](u32 v, const SlotArea& a) { return v < a.first; });
    if (it == evacuated.begin() || n >= (it - 1)->end) break;
    u32 to = arena::at<Node>(n)->buffer;
    // A free slot holds 0 or a link within its own frame: the reference was stale before the move.
    if (!to || (to >= (it - 1)->first && to < (it - 1)->end)) corrupt("a reference to a free node", n, to);
    n = to;
  }
  return n;
}

inline u32 forward(u32 n) { return evacuated.empty() ? n : forward_slow(n); }

// ---- The mark stack ----

void drain();

inline void push_range(Cell* first, Cell* last) {
  if (first >= last) return;
  mark_stack.push_back({first, last});
  if (!draining) drain();
}

inline void push_content(SeriesBuffer* b) {
  if (b->unit() == sizeof(Cell) && b->tail > b->head) push_range(b->head_ptr<Cell>(), b->tail_ptr<Cell>());
}

// Marks a buffer met other than through a node (pins, interior pointers).
void mark_buffer(SeriesBuffer* b) {
  if (b->flags & series_flag::mark) return;
  b->flags |= series_flag::mark;
  ++marked_count;
  push_content(b);
}

// ---- Per-type procedures ----

std::array<MarkProc, type_slots> procedures{};

// Types whose word 2 is always a node (or 0), known from the generic marker they register: the
// drain fetches their buffers' headers ahead.
std::array<bool, type_slots> node_in_w2{};
constexpr u32 prefetch_distance = 6;  // cells

void drain() {
  draining = true;
  while (!mark_stack.empty()) {
    Range& r = mark_stack.back();
    Cell* c = r.first++;
    // Marking is bound by the misses on buffer headers: start them a few cells early. (Not while
    // verifying, where a bad node must be reported rather than read.)
    if (Cell* ahead = c + prefetch_distance; ahead < r.last && !verifying) {
      if (u32 n = ahead->w2; n && node_in_w2[ahead->header & header::type_mask])
        __builtin_prefetch(arena::at(arena::at<Node>(n)->buffer));
    }
    if (r.first >= r.last) mark_stack.pop_back();
    if (MarkProc p = procedures[c->header & header::type_mask]) {
      marking_cell = c;
      p(c);
    }
  }
  marking_cell = nullptr;
  draining = false;
}

const hashtable::Marker marker{
    [](u32* slot) { return mark_node(slot); },
    [](u32* slot) { mark_block(slot); },
    [](Cell* first, Cell* last) { mark_cells(first, last); },
};

// ---- Frame lists ----

std::vector<SeriesFrame*> series_frames() {
  std::vector<SeriesFrame*> out;
  for (auto* f = at_or_null<SeriesFrame>(manager.first_series_frame); f; f = at_or_null<SeriesFrame>(f->next))
    out.push_back(f);
  return out;
}

std::vector<NodeFrame*> node_frames() {
  std::vector<NodeFrame*> out;
  for (auto* f = at_or_null<NodeFrame>(manager.first_node_frame); f; f = at_or_null<NodeFrame>(f->next))
    out.push_back(f);
  return out;
}

inline u32 slots_begin(NodeFrame* f) { return arena::offset_of(f->slots()); }
inline u32 slots_end(NodeFrame* f) { return slots_begin(f) + 4 * f->capacity; }

void unlink_series_frame(SeriesFrame* f) {
  u32 self = arena::offset_of(f);
  if (f->prev) {
    arena::at<SeriesFrame>(f->prev)->next = f->next;
  } else {
    manager.first_series_frame = f->next;
  }
  if (f->next) {
    arena::at<SeriesFrame>(f->next)->prev = f->prev;
  } else {
    manager.last_series_frame = f->prev;
  }
  if (manager.current_series_frame == self) manager.current_series_frame = manager.last_series_frame;
}

void unlink_node_frame(NodeFrame* f) {
  u32 self = arena::offset_of(f);
  if (f->prev) {
    arena::at<NodeFrame>(f->prev)->next = f->next;
  } else {
    manager.first_node_frame = f->next;
  }
  if (f->next) {
    arena::at<NodeFrame>(f->next)->prev = f->prev;
  } else {
    manager.last_node_frame = f->prev;
  }
  if (manager.current_node_frame == self) manager.current_node_frame = manager.last_node_frame;
}

// Takes an unlinked frame (an os_alloc block) out of the manager's figures and makes it
// inaccessible until a later collection gives it back.
void hold_back(u32 block) {
  u32 start = block - 4;
  u32 bytes = *arena::at<u32>(start);
  manager.bytes_in_use -= bytes;
  mprotect(arena::base + start, bytes, PROT_NONE);
  quarantine.push_back({start, bytes, series_cycles + quarantine_cycles});
}

void age_quarantine(bool all) {
  auto keep = std::remove_if(quarantine.begin(), quarantine.end(), [all](const Held& h) {
    if (!all && h.until > series_cycles) return false;
    arena::give_back(h.block, h.bytes);
    return true;
  });
  quarantine.erase(keep, quarantine.end());
}

// ---- Node compaction ----

bool slot_free(NodeFrame* f, u32 v) { return v == 0 || (v >= slots_begin(f) && v < slots_end(f)); }

// Moves every live node of `from` to nodes taken from pick(), leaving the new node in the old slot.
template <class Pick>
void evacuate(NodeFrame* from, Pick&& pick) {
  Node* s = from->slots();
  u32 first = slots_begin(from);
  for (u32 i = 0; i < from->capacity; ++i) {
    u32 v = s[i].buffer;
    if (slot_free(from, v)) continue;
    u32 old = first + 4 * i;
    NodeFrame* to = pick();
    u32 fresh = to->free_list;
    Node* n = arena::at<Node>(fresh);
    to->free_list = n->buffer;
    n->buffer = v;
    ++to->used;
    --from->used;
    SeriesBuffer* b = buffer_at(v);
    if (b->node == old) b->node = fresh;
    s[i].buffer = fresh;
  }
  from->evacuated = 1;
  evacuated.push_back({first, first + 4 * from->capacity});
  ++figures.node_frames_evacuated;
}

void finish_evacuation() {
  if (evacuated.empty()) return;
  std::sort(evacuated.begin(), evacuated.end(), [](const SlotArea& a, const SlotArea& b) { return a.first < b.first; });
  evacuated_lo = evacuated.front().first;
  evacuated_hi = evacuated.back().end;
  ++nodes_cycles;
}

// Empties the sparse node frames whose population has been stable for a while.
void compact_nodes() {
  std::vector<NodeFrame*> frames = node_frames();
  NodeFrame* current = nullptr;
  for (NodeFrame* f : frames) {
    if (f->free_list && !f->evacuated) {
      current = f;
      break;
    }
  }
  if (!current) return;
  manager.current_node_frame = arena::offset_of(current);

  i64 free = 0;
  for (NodeFrame* f : frames)
    if (f->free_list && !f->evacuated) free += f->capacity - f->used;

  constexpr u32 stable_mask = (1u << (history_depth + 1)) - 1;
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    NodeFrame* f = *it;
    if ((f->stable_history & stable_mask) != stable_mask || f->used >= memory::node_frame_slots / 2 ||
        free <= i64{memory::node_frame_slots} || f == current || f->evacuated)
      continue;
    free -= memory::node_frame_slots;
    evacuate(f, [f]() {
      auto* cur = at_or_null<NodeFrame>(manager.current_node_frame);
      if (cur && cur->free_list && !cur->evacuated && cur != f) return cur;
      for (auto* g = cur ? at_or_null<NodeFrame>(cur->next) : nullptr; g; g = at_or_null<NodeFrame>(g->next)) {
        if (g->free_list && g != f && !g->evacuated) {
          manager.current_node_frame = arena::offset_of(g);
          return g;
        }
      }
      // The free count said there was room; should it be wrong, a frame of our own takes the rest.
      NodeFrame* g = memory::new_node_frame(memory::node_frame_slots);
      manager.current_node_frame = arena::offset_of(g);
      return g;
    });
  }
  finish_evacuation();
}

// Torture: every live node moves to fresh node frames.
void evacuate_all_nodes() {
  std::vector<NodeFrame*> frames = node_frames();
  NodeFrame* fresh = nullptr;
  for (NodeFrame* f : frames) {
    if (f->evacuated) continue;
    evacuate(f, [&fresh]() {
      if (!fresh || !fresh->free_list) fresh = memory::new_node_frame(memory::node_frame_slots);
      return fresh;
    });
  }
  if (fresh) manager.current_node_frame = arena::offset_of(fresh);
  finish_evacuation();
}

// ---- Roots ----

// The buffer of a series frame or big series that holds the address, or null.
SeriesBuffer* buffer_containing(u32 address, bool* in_frame) {
  *in_frame = false;
  for (auto* f = at_or_null<SeriesFrame>(manager.first_series_frame); f; f = at_or_null<SeriesFrame>(f->next)) {
    if (address < f->data_offset() || address >= f->heap) continue;
    for (u32 p = f->data_offset(); p < f->heap;) {
      SeriesBuffer* b = buffer_at(p);
      u32 next = p + footprint(b);
      if (address < next) {
        *in_frame = true;
        return b;
      }
      p = next;
    }
    return nullptr;
  }
  for (auto* r = at_or_null<BigSeries>(manager.first_big_series); r; r = at_or_null<BigSeries>(r->next)) {
    u32 start = arena::offset_of(r->buffer());
    if (address >= start && address < start + r->footprint) return r->buffer();
  }
  return nullptr;
}

// Raw pointers registered with RootInterior: each keeps its buffer alive, and the ones into series
// frames are listed (sorted by target) to be moved with their buffers.
void mark_interior_roots() {
  memory::fixups.clear();
  for (u32 i = 0; i < roots::top; ++i) {
    const roots::Entry& e = roots::entries[i];
    if (e.kind != roots::Kind::interior) continue;
    std::byte* p;
    std::memcpy(&p, e.address, sizeof p);
    if (!p || !arena::contains(p)) continue;
    bool in_frame;
    SeriesBuffer* b = buffer_containing(arena::offset_of(p), &in_frame);
    if (!b) continue;
    mark_buffer(b);
    if (in_frame) memory::fixups.push_back({arena::offset_of(p), e.address});
  }
  std::sort(memory::fixups.begin(), memory::fixups.end(), [](const Fixup& a, const Fixup& b) {
    return a.target != b.target ? a.target < b.target : a.slot < b.slot;
  });
  // A variable registered twice must be moved once.
  auto last = std::unique(memory::fixups.begin(), memory::fixups.end(),
                          [](const Fixup& a, const Fixup& b) { return a.slot == b.slot; });
  memory::fixups.erase(last, memory::fixups.end());
}

void mark_roots() {
  // The root block: every value made at start-up.
  set_phase("the root block");
  mark_cell(&root_block);
  // The value stack's buffer and its live cells.
  set_phase("the value stack");
  if (stack::value_node) mark_node(&stack::value_node);
  if (stack::bottom && stack::top > stack::bottom) mark_cells(stack::bottom, stack::top);
  // The value slot table.
  set_phase("the slot table");
  mark_cell(&slots::block);
  // Shadow roots of C++ code.
  for (u32 i = 0; i < roots::top; ++i) {
    const roots::Entry& e = roots::entries[i];
    set_phase("shadow root", i);
    if (e.kind == roots::Kind::node) {
      auto* slot = static_cast<u32*>(e.address);
      if (*slot && (buffer_of(Ref<Node>(remap(*slot)))->flags & table_record_flag)) {
        mark_table(slot);
      } else if (mark_node(slot)) {
        push_content(buffer_of(Ref<Node>(*slot)));
      }
    } else if (e.kind == roots::Kind::cell) {
      mark_cell(static_cast<Cell*>(e.address));
    }
  }
  set_phase("interior pointers");
  mark_interior_roots();
  set_phase("pins");
  for (u32 p : pins) {
    SeriesBuffer* b = buffer_at(p);
    b->flags |= pinned_flag;
    mark_buffer(b);
  }
  for (u32 i = 0; i < callbacks.root_count; ++i) {
    set_phase("root callback", i);
    if (Callback c = callbacks.roots[i]) c();
  }
  drain();
}

void prepare_verification() {
  verifying = torture_every != 0 || std::getenv("KIV_GC_VERIFY");
  live_slot_areas.clear();
  if (!verifying) return;
  for (NodeFrame* f : node_frames())
    if (!f->evacuated) live_slot_areas.push_back({slots_begin(f), slots_end(f)});
  std::sort(live_slot_areas.begin(), live_slot_areas.end(),
            [](const SlotArea& a, const SlotArea& b) { return a.first < b.first; });
}

[[gnu::noinline]] void verify_node(u32 n) {
  auto it = std::upper_bound(live_slot_areas.begin(), live_slot_areas.end(), n,
                             [](u32 v, const SlotArea& a) { return v < a.first; });
  if (it == live_slot_areas.begin() || n >= (it - 1)->end || (n - (it - 1)->first) % sizeof(Node))
    corrupt("a reference to something that is not a node in use (stale or never rooted?)", n, 0);
}

// ---- Compaction of the series frames ----

// A dead buffer: its node (when it still refers to it) goes back to its frame.
void reclaim(SeriesBuffer* b) {
  ++figures.buffers_freed;
  figures.bytes_freed += footprint(b);
  if (!b->node || !(b->flags & series_flag::in_use)) return;
  if (arena::at<Node>(b->node)->buffer == arena::offset_of(b)) queue_dead_node(Ref<Node>(b->node));
}

// Marks the bytes [at, at + bytes) as one dead buffer, so that the frame can still be walked.
void fill_gap(u32 at, u32 bytes) {
  SeriesBuffer* b = buffer_at(at);
  b->flags = series_flag::managed;
  b->node = 0;
  b->size = bytes - memory::buffer_overhead;
  b->head = b->tail = b->data_offset();
}

// Moves the buffers [from, end) to `to` and tells their nodes and the interior pointers into them.
void move_run(u32 from, u32 end, u32 to) {
  u32 bytes = end - from;
  std::memmove(arena::at(to), arena::at(from), bytes);
  figures.bytes_moved += bytes;
  u32 delta = to - from;  // modulo 2^32, as every offset
  for (u32 p = to; p < to + bytes;) {
    SeriesBuffer* b = buffer_at(p);
    if (b->node) arena::at<Node>(b->node)->buffer = p;
    b->head += delta;
    b->tail += delta;
    p += footprint(b);
  }
  auto it = std::lower_bound(memory::fixups.begin(), memory::fixups.end(), from,
                             [](const Fixup& f, u32 v) { return f.target < v; });
  for (; it != memory::fixups.end() && it->target < end; ++it) {
    std::byte* p;
    std::memcpy(&p, it->slot, sizeof p);
    p = arena::at(it->target + delta);
    std::memcpy(it->slot, &p, sizeof p);
  }
}

// Slides the live buffers of the frame down, sending runs into the free tail of the frame below
// while that one has more than the threshold free.
void compact_frame(SeriesFrame* f, SeriesFrame* below) {
  u32 scan = f->data_offset(), heap = f->heap, fill = scan;
  bool to_below = below && below->end - below->heap > refill_threshold;
  while (scan < heap) {
    SeriesBuffer* b = buffer_at(scan);
    u32 fp = footprint(b);
    // The walk chases sizes from header to header; neighbours tend to be alike.
    __builtin_prefetch(arena::at(scan + 2 * fp));
    if (!(b->flags & series_flag::mark)) {
      reclaim(b);
      scan += fp;
      continue;
    }
    if (b->flags & pinned_flag) {
      b->flags &= ~(series_flag::mark | pinned_flag);
      if (fill < scan) fill_gap(fill, scan - fill);
      scan += fp;
      fill = scan;
      continue;
    }
    // A maximal run of marked, unpinned buffers.
    u32 start = scan, end = scan;
    while (end < heap) {
      SeriesBuffer* r = buffer_at(end);
      if ((r->flags & (series_flag::mark | pinned_flag)) != series_flag::mark) break;
      r->flags &= ~series_flag::mark;
      u32 size = footprint(r);
      __builtin_prefetch(arena::at(end + 3 * size));
      end += size;
    }
    while (start < end) {
      if (to_below) {
        u32 room = below->end - below->heap;
        u32 cut = start;
        if (room > refill_threshold) {
          while (cut < end) {
            u32 next = cut + footprint(buffer_at(cut));
            if (next - start > room) break;
            cut = next;
          }
        }
        if (cut > start) {
          move_run(start, cut, below->heap);
          below->heap += cut - start;
          start = cut;
          continue;
        }
        to_below = false;
      }
      if (fill != start) move_run(start, end, fill);
      fill += end - start;
      start = end;
    }
    scan = end;
  }
  f->heap = fill;
}

void compact_series_frames() {
  SeriesFrame* below = nullptr;
  for (auto* f = at_or_null<SeriesFrame>(manager.first_series_frame); f;) {
    auto* next = at_or_null<SeriesFrame>(f->next);
    compact_frame(f, below);
    if (f->heap == f->data_offset() && next) {
      memory::free_series_frame(f);
      ++figures.series_frames_freed;
    } else {
      below = f;
    }
    f = next;
  }
}

// Torture: every live buffer moves to a fresh frame; the old frames are held back inaccessible.
void evacuate_series_frames() {
  std::vector<SeriesFrame*> old = series_frames();
  SeriesFrame* to = nullptr;
  for (SeriesFrame* f : old) {
    u32 scan = f->data_offset(), heap = f->heap, fill = scan;
    bool pinned = false;
    while (scan < heap) {
      SeriesBuffer* b = buffer_at(scan);
      u32 fp = footprint(b);
      if (!(b->flags & series_flag::mark)) {
        reclaim(b);
      } else if (b->flags & pinned_flag) {
        b->flags &= ~(series_flag::mark | pinned_flag);
        if (fill < scan) fill_gap(fill, scan - fill);
        fill = scan + fp;
        pinned = true;
      } else {
        b->flags &= ~series_flag::mark;
        if (!to || to->end - to->heap < fp) {
          if (fp >= manager.next_frame_size) manager.next_frame_size = manager.max_frame_size;
          to = memory::new_series_frame();
        }
        move_run(scan, scan + fp, to->heap);
        to->heap += fp;
      }
      scan += fp;
    }
    if (pinned) {
      f->heap = fill;
    } else {
      unlink_series_frame(f);
      hold_back(arena::offset_of(f));
      ++figures.series_frames_freed;
    }
  }
  if (to) manager.current_series_frame = arena::offset_of(to);
}

void clear_unmanaged_marks() {
  for (auto* r = at_or_null<BigSeries>(manager.first_unmanaged); r; r = at_or_null<BigSeries>(r->next))
    r->buffer()->flags &= ~(series_flag::mark | pinned_flag);
  for (u32 p : pins) buffer_at(p)->flags &= ~pinned_flag;
}

void hold_back_evacuated_node_frames() {
  for (NodeFrame* f : node_frames()) {
    if (!f->evacuated) continue;
    unlink_node_frame(f);
    hold_back(arena::offset_of(f));
  }
}

void run_collection() {
  figures.marked = figures.buffers_freed = figures.series_frames_freed = 0;
  figures.node_frames_evacuated = figures.nodes_freed = 0;
  figures.bytes_freed = figures.bytes_moved = 0;
  marked_count = 0;
  const bool torture = torture_every != 0;

  auto t0 = std::chrono::steady_clock::now();
  if (torture && torture_nodes) {
    evacuate_all_nodes();
  } else {
    compact_nodes();
  }
  node_index.clear();
  for (NodeFrame* f : node_frames())
    if (!f->evacuated) node_index.push_back(f);
  std::sort(node_index.begin(), node_index.end());

  prepare_verification();
  mark_roots();
  set_phase("the cycle stack");
  for (auto& entry : mold::cycle_entries()) entry = Ref<Node>(remap(entry.offset()));
  set_phase("external resources");
  externals::sweep();
  for (u32 i = 0; i < callbacks.sweep_count; ++i) {
    set_phase("sweep callback", i);
    if (Callback c = callbacks.sweeps[i]) c();
  }
  drain();
  set_phase("");
  figures.marked = marked_count;
  auto t1 = std::chrono::steady_clock::now();
  figures.mark_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();

  if (torture) {
    evacuate_series_frames();
  } else {
    compact_series_frames();
  }
  memory::sweep_big_series();
  if (torture) hold_back_evacuated_node_frames();
  memory::update_node_frames();
  evacuated.clear();
  clear_unmanaged_marks();
  memory::fixups.clear();
  ++series_cycles;
  age_quarantine(false);
  figures.compact_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t1).count();
}

}  // namespace

// ---- Entry points ----

void init() {
  series_cycles = 0;
  nodes_cycles = 0;
  if (const char* n = std::getenv("KIV_TORTURE")) set_torture(static_cast<u32>(std::strtoul(n, nullptr, 10)));
}

void collect() {
  if (collecting) return;
  collecting = true;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  auto t0 = std::chrono::steady_clock::now();
  try {
    run_collection();
  } catch (...) {
    corrupt("a collection was interrupted by an error", 0, 0);
  }
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++figures.collections;
  figures.last_pause_ms = ms;
  figures.total_pause_ms += ms;
  figures.max_pause_ms = std::max(figures.max_pause_ms, ms);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  collecting = false;
  // Release procedures are foreign code that may allocate or call back into the language.
  externals::run_pending_releases();
}

double recycle() {
  collect();
  return memory::stats_total();
}

void queue_dead_node(Ref<Node> node) {
  if (!node) return;
  if (!collecting) {
    if (NodeFrame* f = memory::node_frame_of(node)) memory::free_node(f, node);
    return;
  }
  // Within a collection the frame is found in the sorted index, not by walking the list.
  u32 n = node.offset();
  auto it = std::upper_bound(node_index.begin(), node_index.end(), n,
                             [](u32 v, NodeFrame* f) { return v < slots_begin(f); });
  if (it == node_index.begin() || n >= slots_end(*(it - 1))) return;
  memory::free_node(*(it - 1), node);
  ++figures.nodes_freed;
}

// ---- Marking ----

bool mark_node(u32* slot) {
  u32 n = *slot;
  if (!n) return false;
  if (!evacuated.empty()) {
    u32 f = forward_slow(n);
    if (f != n) *slot = n = f;
  }
  if (verifying) verify_node(n);
  u32 at = arena::at<Node>(n)->buffer;
  if (at < arena::page_size) corrupt("a reference to a node without a buffer", n, at);
  SeriesBuffer* b = buffer_at(at);
  if (b->node != n) corrupt("a reference to a node that does not own its buffer", n, at);
  if (b->flags & series_flag::mark) return false;
  b->flags |= series_flag::mark;
  ++marked_count;
  return true;
}

void unmark_node(Ref<Node> node) {
  if (node) buffer_of(node)->flags &= ~series_flag::mark;
}

void mark_block(u32* slot) {
  if (mark_node(slot)) push_content(buffer_at(arena::at<Node>(*slot)->buffer));
}

void mark_series(Cell* cell) { mark_block(&cell->w2); }

void mark_context(u32* slot) { mark_block(slot); }

void mark_cells(Cell* first, Cell* last) { push_range(first, last); }

void mark_table(u32* slot) { hashtable::mark(slot, marker); }

u32 remap(u32 node) { return node ? forward(node) : 0; }

void remap_nodes(u32* first, u32* last) {
  if (evacuated.empty()) return;
  for (; first < last; ++first) *first = remap(*first);
}

bool alive(u32 node) {
  if (!node) return false;
  u32 at = arena::at<Node>(forward(node))->buffer;
  return at >= arena::page_size && (buffer_at(at)->flags & series_flag::mark);
}

// ---- Per-type marking ----

void set_mark_procedure(u32 type_id, MarkProc proc) {
  if (type_id >= type_slots) return;
  procedures[type_id] = proc;
  node_in_w2[type_id] = proc == mark_any_block || proc == mark_any_string || proc == mark_bytes || proc == mark_hash;
}

MarkProc mark_procedure(u32 type_id) { return type_id < type_slots ? procedures[type_id] : nullptr; }

void mark_any_block(Cell* c) { mark_block(&c->w2); }

void mark_any_string(Cell* c) {
  mark_node(&c->w2);
  if (c->w3) mark_node(&c->w3);
}

void mark_any_word(Cell* c) { mark_context(&c->w1); }

void mark_native(Cell* c) {
  mark_block(&c->w2);
  mark_block(&c->w3);
}

void mark_function(Cell* c) {
  mark_context(&c->w1);
  mark_block(&c->w2);
  mark_block(&c->w3);
}

void mark_bytes(Cell* c) { mark_node(&c->w2); }

void mark_object(Cell* c) {
  mark_context(&c->w1);
  if (c->w3) mark_node(&c->w3);
}

void mark_hash(Cell* c) {
  mark_block(&c->w2);
  mark_table(&c->w3);
}

void mark_handle(Cell* c) {
  auto slot = static_cast<i32>(c->w3);
  if (slot >= 0) externals::mark(slot, nullptr);
}

// ---- Callbacks ----

namespace {

void add_to(std::array<Callback, max_callbacks>& list, u32& count, Callback proc) {
  if (count >= max_callbacks) corrupt("too many collector callbacks", count, 0);
  list[count++] = proc;
}

void remove_from(std::array<Callback, max_callbacks>& list, u32 count, Callback proc) {
  for (u32 i = 0; i < count; ++i)
    if (list[i] == proc) list[i] = nullptr;
}

}  // namespace

void add_root_callback(Callback proc) { add_to(callbacks.roots, callbacks.root_count, proc); }
void remove_root_callback(Callback proc) { remove_from(callbacks.roots, callbacks.root_count, proc); }
void add_sweep_callback(Callback proc) { add_to(callbacks.sweeps, callbacks.sweep_count, proc); }
void remove_sweep_callback(Callback proc) { remove_from(callbacks.sweeps, callbacks.sweep_count, proc); }

// ---- Pinning ----

Pin::Pin(Ref<Node> node) : buffer_(node ? node->buffer : 0) {
  if (buffer_) pins.push_back(buffer_);
}

Pin::~Pin() {
  if (!buffer_) return;
  for (auto it = pins.rbegin(); it != pins.rend(); ++it) {
    if (*it == buffer_) {
      pins.erase(std::next(it).base());
      return;
    }
  }
}

// ---- Torture ----

void set_torture(u32 every) {
  torture_every = every;
  torture_countdown = every;
}

void torture_tick() {
  if (torture_countdown > 1) {
    --torture_countdown;
    return;
  }
  torture_countdown = torture_every;
  collect_if_enabled();
}

void release_quarantine() { age_quarantine(true); }

namespace {
// The environment switches torture mode on before anything allocates.
const bool torture_from_environment = [] {
  if (const char* n = std::getenv("KIV_TORTURE")) set_torture(static_cast<u32>(std::strtoul(n, nullptr, 10)));
  if (const char* n = std::getenv("KIV_TORTURE_NODES")) torture_nodes = std::strtoul(n, nullptr, 10) != 0;
  return true;
}();
}  // namespace

}  // namespace kiv::collector
