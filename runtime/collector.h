// The garbage collector: stop-the-world mark and compact.
//
// A collection marks every buffer reachable from the roots, releases the external resources no
// live value reaches, slides the live buffers of the series frames down (or into the free tail of
// the frame below), rewrites each moved buffer's node and every registered interior pointer, and
// frees dead nodes, dead big series and emptied frames. Sparse node frames are emptied by moving
// their live nodes elsewhere; every node reference the marking meets is then rewritten, so a
// reference the collector does not see goes stale. Hence the rules for C++ code:
//
// - Hold a series through its node or a cell that the collector sees: a cell of a live block, a
//   value-stack cell, a shadow root (roots.h: RootNode, RootCell), or a root callback (below).
//   Re-read buffer addresses after every call that may allocate.
// - A raw pointer into a buffer that must survive an allocation is registered with RootInterior:
//   it keeps its buffer alive and moves with it. A loop that calls back into the language over a
//   buffer can instead pin it (Pin): the buffer then neither moves nor dies while pinned.
// - A unit holding nodes or cells in its own globals registers a root callback that marks them
//   through the marking API below; that also rewrites them when their nodes move.
// - A table whose keys must not keep their series alive (weak) is not marked through its keys: it
//   registers a sweep callback that drops the entries whose key is not alive() and rewrites the
//   others through remap().
// - Every value type that references collected memory registers its mark procedure
//   (set_mark_procedure) when it registers itself; the generic markers below serve the common
//   layouts. A cell of a type that registered none marks nothing.
//
// Nothing here recurses on the C++ stack: marking runs off an explicit stack, so the depth of the
// data does not matter. No collection starts inside another, and the release procedures of
// external resources run after the collection is complete, never inside it. Callbacks run inside
// the collection: they must not allocate series, nodes or frames.
//
// Torture mode (KIV_TORTURE=N in the environment, or set_torture(N)): every Nth buffer allocation
// collects (when the collector is enabled), and each collection moves every live buffer to fresh
// frames and every live node to fresh node frames. The frames left behind stay inaccessible for a
// few collections, so a stale buffer pointer or node reference faults at once, and every node
// reference met while marking is checked (a stale one is reported with the root it was reached
// from). Pinned buffers and unmanaged buffers never move. The unit tests run under it with
//   KIV_TORTURE=1 ctest        (in the Sanitize build; KIV_TORTURE=N for every Nth allocation)
// KIV_GC_VERIFY=1 checks node references in ordinary collections too.
#pragma once
#include <array>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kiv::collector {

inline bool enabled = false;     // recycle/on, recycle/off; off until the start-up switches it on
inline bool collecting = false;  // true while a collection runs
inline u32 series_cycles = 0;    // completed collections
inline u32 nodes_cycles = 0;     // collections that evacuated a node frame

// The root block, the first root every collection marks: an unmanaged block! holding what start-up
// made for good (the words unit makes it and says what its fixed cells are). None until then.
inline Cell root_block{type::none, 0, 0, 0};

// "It may have moved": buffers and nodes move only in a collection, so code that keeps an address
// across calls that may allocate can ask whether a collection ran instead of reading the address
// again each time. An Epoch is armed when made; moved() answers whether a collection completed
// since it was last armed, and arms it again.
//   collector::Epoch gc;
//   ... calls that may allocate ...
//   if (gc.moved()) [[unlikely]] cells = buffer_of(node)->head_ptr<Cell>();
struct Epoch {
  u32 seen = series_cycles;
  bool moved() {
    if (seen == series_cycles) return false;
    seen = series_cycles;
    return true;
  }
};

// A node frame whose used count has not changed over the last history_depth + 1 collections is a
// candidate for evacuation.
constexpr u32 history_depth = 5;
constexpr u32 max_callbacks = 100;
// Room below which the frame under a frame being compacted takes no more buffers.
constexpr u32 refill_threshold = memory::new_frame_threshold;

// Counters to 0; reads KIV_TORTURE. Keeps the registered callbacks and mark procedures (the units
// register them during the boot, before this step).
void init();

// One full collection, whether or not the collector is enabled; nothing when one is running.
void collect();
inline void collect_if_enabled() {
  if (enabled && !collecting) collect();
}
// recycle: collects, then answers the bytes in use (memory::stats_total).
double recycle();

// A node whose buffer died goes back to its frame (during a collection the frame is found through
// the collection's sorted frame index).
void queue_dead_node(Ref<Node> node);

// Keeps collections off for its scope and restores the previous state.
class Suspend {
  bool saved_;

 public:
  Suspend() : saved_(enabled) { enabled = false; }
  ~Suspend() { enabled = saved_; }
  Suspend(const Suspend&) = delete;
  Suspend& operator=(const Suspend&) = delete;
};

// ---- Marking (inside root callbacks and mark procedures only) -----------------------------------
// Every procedure takes the address of the reference so that it can rewrite it when the node moved.

// Marks the node's buffer; true when it was not marked before. A zero reference marks nothing.
// The buffer alone: a buffer of cells must go through mark_block, since once marked it is not
// entered again, and cells nobody visited keep references to nodes that have moved.
bool mark_node(u32* slot);
inline bool mark_node(Ref<Node>* ref) { return mark_node(reinterpret_cast<u32*>(ref)); }
void unmark_node(Ref<Node> node);
// mark_node, then (when newly marked and the buffer holds cells) the cells from head to tail.
void mark_block(u32* slot);
inline void mark_block(Ref<Node>* ref) { mark_block(reinterpret_cast<u32*>(ref)); }
// The series in the cell's word 2, as mark_block.
void mark_series(Cell* cell);
// A context node: the context series with its two cells (the context cell, then the owner).
void mark_context(u32* slot);
// What each cell of [first, last) references, by type. The cells must not move during the
// collection (cells of a buffer, of an unmanaged block, or C++ cells).
void mark_cells(Cell* first, Cell* last);
inline void mark_cell(Cell* cell) { mark_cells(cell, cell + 1); }
// A hash table record (node at *slot) with its arrays and backing block (hashtable::mark).
void mark_table(u32* slot);

// Set on the buffer of a hash-table record (a byte series holding nodes): a RootNode on such a node
// then keeps the whole table (record, arrays, backing block) instead of the record alone. (Bit 26
// of the buffer flags is the collector's own, set on pinned buffers during a collection.)
constexpr u32 table_record_flag = 1u << 25;

// ---- After marking (sweep callbacks) -------------------------------------------------------------

// The node's current address: a node moved by this collection answers its new node.
u32 remap(u32 node);
// Rewrites each entry of [first, last) through remap.
void remap_nodes(u32* first, u32* last);
// Whether the node (old or new address) holds a marked buffer.
bool alive(u32 node);

// ---- Per-type marking ---------------------------------------------------------------------------

using MarkProc = void (*)(Cell* cell);
constexpr u32 type_slots = 256;
// Sets what the collector marks for cells of the type (null: nothing).
void set_mark_procedure(u32 type_id, MarkProc proc);
MarkProc mark_procedure(u32 type_id);

// The generic markers, for the types whose cells share a layout.
void mark_any_block(Cell* c);    // a block in w2 with its cells (block!, paren!, the paths)
void mark_any_string(Cell* c);   // the string family: node in w2, work buffer node in w3 when set
void mark_any_word(Cell* c);     // the word family and issue!: context in w1
void mark_native(Cell* c);       // native!, action!: blocks in w2 and w3
void mark_function(Cell* c);     // function!, routine!: context in w1, blocks in w2 and w3
void mark_bytes(Cell* c);        // a byte series in w2 (bitset!, binary!)
void mark_object(Cell* c);       // object!, error!: context in w1, node in w3 when set
void mark_hash(Cell* c);         // an indexed block: block in w2, its hash table in w3
void mark_handle(Cell* c);       // an external-resource slot in w3 unless negative

// ---- Root and sweep callbacks -------------------------------------------------------------------
// A root callback marks what the unit keeps (mark_node, mark_block, mark_cells ... on its own
// globals); a sweep callback runs after marking and before compaction (weak tables: hashtable::
// sweep_weak(table, alive, remap)) and may mark what surviving entries hold. Both are called in
// registration order; at most max_callbacks of each.

using Callback = void (*)();

struct Callbacks {
  std::array<Callback, max_callbacks> roots{};
  u32 root_count = 0;
  std::array<Callback, max_callbacks> sweeps{};
  u32 sweep_count = 0;
};
inline Callbacks callbacks;

void add_root_callback(Callback proc);
void remove_root_callback(Callback proc);  // its entry becomes empty
void add_sweep_callback(Callback proc);
void remove_sweep_callback(Callback proc);

// ---- Pinning ------------------------------------------------------------------------------------

// Keeps the node's current buffer where it is and alive for the guard's scope, even when the series
// is grown meanwhile (the abandoned buffer stays readable) or dropped. Pins nest like scopes.
class Pin {
  u32 buffer_;

 public:
  explicit Pin(Ref<Node> node);
  ~Pin();
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;
};

// ---- Torture mode -------------------------------------------------------------------------------

inline u32 torture_every = 0;      // 0: off
inline u32 torture_countdown = 0;  // allocations left until the next torture collection
// Whether torture collections also move every node (KIV_TORTURE_NODES=0 leaves nodes where they
// are, for code that is not yet clean about unrooted copies of cells and nodes).
inline bool torture_nodes = true;
// Every Nth allocation collects (0 turns torture off).
void set_torture(u32 every);
// Called by the allocator when torture_every is set.
void torture_tick();
// Returns the frames held back by torture mode to the system (before freeing all memory).
void release_quarantine();

// ---- Figures ------------------------------------------------------------------------------------

struct Figures {
  u32 collections = 0;
  double last_pause_ms = 0, max_pause_ms = 0, total_pause_ms = 0;
  // Of the last collection:
  u32 marked = 0;               // buffers marked
  u32 buffers_freed = 0;        // dead frame buffers reclaimed
  u64 bytes_freed = 0;          // their footprints
  u64 bytes_moved = 0;          // live bytes moved by compaction
  u32 series_frames_freed = 0;  // emptied series frames returned to the system
  u32 node_frames_evacuated = 0;
  u32 nodes_freed = 0;
  double mark_ms = 0;     // node compaction and marking
  double compact_ms = 0;  // compaction of the series frames, sweeps and upkeep
};
inline Figures figures;

}  // namespace kiv::collector
