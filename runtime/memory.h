// The memory manager: node frames of 4-byte series nodes, series frames of variable-size series
// buffers laid end to end, big series in blocks of their own, and unmanaged series. Every address
// the design keeps in a 32-bit field is an arena offset here.
//
// Values refer to a buffer through its node, so the collector can move buffers: code holds a
// series through its node (or a rooted cell) and re-reads the buffer after any call that allocates.
#pragma once
#include <vector>

#include "runtime/arena.h"
#include "runtime/base.h"

namespace kiv {

struct Cell;

// A node slot: the offset of its buffer's header when in use; 0 or a free-list link when free.
struct Node {
  u32 buffer;
};
static_assert(sizeof(Node) == 4);

// Flags word of a series buffer.
namespace series_flag {
constexpr u32 unit_mask = 0x1F;          // the unit size in bytes: 1, 2, 4 or 16
constexpr u32 owned = 1u << 17;          // owned by an object (change reports)
constexpr u32 complement = 1u << 19;     // complemented bitset
constexpr u32 unmanaged = 1u << 20;      // outside the frames; never moved nor freed by the collector
constexpr u32 library = 1u << 21;        // code of a library module: raises no trace event, is no near
constexpr u32 gapped = 1u << 23;         // holds units awaiting removal (memory::open_gap)
constexpr u32 big = 1u << 24;            // big series
constexpr u32 mark = 1u << 27;           // collector mark
constexpr u32 head_inside = 1u << 28;    // the head was placed in the middle of the data area
constexpr u32 managed = 1u << 29;        // set on every buffer the manager makes
constexpr u32 in_use = 1u << 31;         // cleared on a buffer abandoned by expansion
}  // namespace series_flag

// Header of a series buffer; the data area follows, then one spare 32-bit word.
struct SeriesBuffer {
  u32 flags;
  u32 node;  // back-pointer to the node (0 on an abandoned buffer)
  u32 size;  // data area in bytes, a multiple of 16
  u32 head;  // where the content starts
  u32 tail;  // one past the last unit of content

  std::byte* data() { return reinterpret_cast<std::byte*>(this + 1); }
  u32 data_offset() const { return arena::offset_of(this) + sizeof(SeriesBuffer); }
  u32 end_offset() const { return data_offset() + size; }
  u32 unit() const { return flags & series_flag::unit_mask; }
  template <class T = std::byte>
  T* head_ptr() { return arena::at<T>(head); }
  template <class T = std::byte>
  T* tail_ptr() { return arena::at<T>(tail); }
  u32 used_bytes() const { return tail - head; }
};
static_assert(sizeof(SeriesBuffer) == 20);

struct NodeFrame {
  u32 next, prev;
  u32 capacity;   // always 10,000 slots
  u32 free_list;  // first free slot (offset), 0 when none
  u32 used;
  u32 created_at;
  u32 used_last;
  u32 stable_history;
  u32 evacuated;
  Node* slots() { return reinterpret_cast<Node*>(this + 1); }
};
static_assert(sizeof(NodeFrame) == 36);

struct SeriesFrame {
  u32 next, prev;
  u32 size;  // data area plus header
  u32 heap;  // first free byte
  u32 end;   // one past the data area
  u32 data_offset() const { return arena::offset_of(this) + sizeof(SeriesFrame); }
};
static_assert(sizeof(SeriesFrame) == 20);

struct BigSeries {
  u32 next;
  u32 reserved;
  u32 footprint;  // header + data size + spare word
  SeriesBuffer* buffer() { return reinterpret_cast<SeriesBuffer*>(this + 1); }
};
static_assert(sizeof(BigSeries) == 12);

struct MemoryManager {
  u32 bytes_in_use;  // committed bytes of frames and big series
  u32 first_node_frame, last_node_frame, current_node_frame;
  u32 first_series_frame, current_series_frame, last_series_frame;
  u32 default_frame_size;
  u32 next_frame_size;
  u32 max_frame_size;
  u32 first_big_series;
  u32 first_unmanaged;  // list of unmanaged series blocks (BigSeries-shaped records)
  u32 unmanaged_bytes;  // committed bytes of those blocks, outside bytes_in_use
};

// A raw pointer into a series frame that the collector adjusts when the buffer it points into moves:
// `target` is the pointer's arena offset, `slot` the address of the C++ variable holding it.
struct Fixup {
  u32 target;
  void* slot;
};

namespace memory {
void close_gap(SeriesBuffer* b);
}

// Every reader of a series comes through here, so a gap left by a batched removal is closed before
// anyone can see it.
inline SeriesBuffer* buffer_of(Ref<Node> n) {
  SeriesBuffer* b = arena::at<SeriesBuffer>(n->buffer);
  if (b->flags & series_flag::gapped) [[unlikely]] memory::close_gap(b);
  return b;
}
// The buffer as it lies, gap included: only for the code that keeps the gap.
inline SeriesBuffer* raw_buffer_of(Ref<Node> n) { return arena::at<SeriesBuffer>(n->buffer); }

}  // namespace kiv

namespace kiv::memory {

inline MemoryManager manager{};

constexpr u32 node_frame_slots = 10000;
constexpr u32 default_frame_size = 0x100000;
constexpr u32 max_frame_size = 0x200000;
constexpr u32 new_frame_threshold = 0xCCCC;  // a frame with less room left than this is not reused
constexpr u32 os_granularity = 4096;
constexpr u32 buffer_overhead = sizeof(SeriesBuffer) + 4;  // header and the spare word
constexpr u32 unmanaged_flags = series_flag::in_use | series_flag::managed | series_flag::unmanaged;
// Larger data areas are refused (no-memory): sizes travel as 32-bit signed integers.
constexpr u32 max_data_size = 0x7FFFFFF0;

// The collector's fix-up list, sorted by target after a scan; the collector owns its contents.
inline std::vector<Fixup> fixups;
constexpr u32 fixup_step = 1000;

// Sets the manager record to its start state. Frames are made on demand (or by the boot sequence).
void init();
// Arena block of at least size + 4 bytes; the first 32-bit word holds the committed size and the
// offset after it is returned. Counted in bytes_in_use. A request no 32-bit block can hold raises
// no-memory; a commit the system refuses ends the process (runtime error 94).
u32 os_alloc(u32 size);
void os_free(u32 block);  // a block that os_alloc did not give raises wrong-mem
// Releases every node frame, series frame, big series and unmanaged series.
void free_all();

NodeFrame* new_node_frame(u32 slots);
Ref<Node> alloc_node();
void free_node(NodeFrame* frame, Ref<Node> node);
void free_node_frame(NodeFrame* frame);
void update_node_frames();
// The node frame whose slot area holds the node, or null.
NodeFrame* node_frame_of(Ref<Node> node);

SeriesFrame* new_series_frame();
SeriesFrame* find_series_frame(u32 needed);
void free_series_frame(SeriesFrame* frame);

// head_offset -1 places the head in the middle of the data area. May collect when the collector is
// enabled: re-read every buffer address held across the call.
SeriesBuffer* alloc_buffer(i32 units, i32 unit, i32 head_offset);
Ref<Node> alloc_series(i32 units, i32 unit, i32 head_offset);
Ref<Node> alloc_cells(i32 n);
Ref<Node> alloc_unset_cells(i32 n);
Ref<Node> alloc_bytes(i32 n);
Ref<Node> alloc_string_buffer(i32 n, i32 unit);
Ref<Node> alloc_bytes_filled(i32 n, u8 byte);
// Outside the frames: never moved nor freed by the collector. Growing one gives another unmanaged
// buffer; the abandoned one is released at the next big-series sweep or by free_unmanaged_series.
Ref<Node> alloc_unmanaged_series(i32 units, i32 unit, i32 head_offset_bytes);
void free_unmanaged_series(Ref<Node> node);
void set_series_flags(Ref<Node> node, u32 bits);

// Growth moves the series to a new buffer; the node stays, the buffer address changes.
SeriesBuffer* realloc_series(SeriesBuffer* b, i32 new_size);
SeriesBuffer* expand_series(SeriesBuffer* b, i32 new_size);  // 0 doubles
SeriesBuffer* expand_series_filled(SeriesBuffer* b, i32 new_size, u8 byte);
Ref<Node> copy_series(SeriesBuffer* b);

void fill_range(std::byte* start, std::byte* end, u8 byte);
std::byte* replicate_bytes(std::byte* start, i32 pattern_length, i32 count);

SeriesBuffer* alloc_big_series(u32 footprint);
void free_big_series(SeriesBuffer* b);
// Collector pass: unmarked big series are freed (their nodes queued through collector::queue_dead_node),
// marked ones unmarked; abandoned unmanaged buffers are released too.
void sweep_big_series();

// The bytes held by series: node slots in use x 4, the carved part of every series frame, and the
// footprint of every big series (what `stats` and `recycle` return).
double stats_total();

// A removal batched by a loop over a series: the units [kept, rest) of the series, counted from its
// head, are dead and wait to be dropped. While the gap is open the buffer carries series_flag::gapped
// and the first buffer_of closes it (the rest moves down to `kept`, leaving kept == rest); the loop
// reads its record back after running the user's code. `series` is a rooted cell that stays put, so
// it follows the node when the collector moves it. Records end in the reverse order of their start.
struct Gap {
  const Cell* series;
  i32 kept, rest;
};
i32 begin_gap(const Cell* series, i32 at);  // an empty gap at `at`; the record's index
inline std::vector<Gap> gaps;
void set_gap(i32 index, i32 kept, i32 rest);
void end_gap(i32 index);  // closes the gap and drops the record

struct NodeFrameFigures {
  u32 free, used, capacity;  // slots
};
struct SeriesFrameFigures {
  u32 free, used, total;  // bytes of the data area
};
struct MemoryFigures {
  std::vector<NodeFrameFigures> node_frames;
  std::vector<SeriesFrameFigures> series_frames;
  std::vector<u32> big_series;  // footprints
  double all_bytes;      // frames and big series with their headers, plus the tracked blocks
  double tracked_bytes;  // the tracked allocator's blocks (unmanaged series included)
};
MemoryFigures stats_figures();

}  // namespace kiv::memory
