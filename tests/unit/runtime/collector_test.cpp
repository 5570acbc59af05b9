#include "runtime/collector.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/words.h"
#include "runtime/external.h"
#include "runtime/hashtable.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/slot_table.h"
#include "runtime/stack.h"

using namespace kiv;

namespace {

// Each test runs in a world of its own: a fresh memory manager with one node frame, one series
// frame and a value stack, no root block, the collector on. Whatever the process had is set aside
// and put back afterwards.
class Collector : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_manager_ = memory::manager;
    saved_fixups_ = std::move(memory::fixups);
    saved_enabled_ = collector::enabled;
    saved_cycles_ = {collector::series_cycles, collector::nodes_cycles};
    saved_callbacks_ = collector::callbacks;
    saved_stack_[0] = stack::bottom;
    saved_stack_[1] = stack::top;
    saved_stack_[2] = stack::end;
    saved_stack_[3] = stack::arguments;
    saved_stack_node_ = stack::value_node;
    saved_frame_node_ = stack::frame_node;
    saved_frames_[0] = stack::frame_bottom;
    saved_frames_[1] = stack::frame_top;
    saved_frames_[2] = stack::frame_end;
    saved_root_ = words::root_block;
    saved_slots_ = slots::block;
    saved_externals_ = externals::table;
    saved_cycle_top_ = mold::cycle_top;
    saved_torture_ = collector::torture_every;

    collector::enabled = false;
    memory::init();
    memory::new_node_frame(memory::node_frame_slots);
    memory::new_series_frame();
    // A value stack of our own and no frame stack (stack::init would register the unit's roots).
    stack::value_node = memory::alloc_unmanaged_series(stack::value_stack_cells, sizeof(Cell), 0);
    SeriesBuffer* vs = buffer_of(stack::value_node);
    stack::bottom = stack::top = stack::arguments = vs->head_ptr<Cell>();
    stack::end = stack::bottom + stack::value_stack_cells;
    stack::frame_node = Ref<Node>{};
    stack::frame_bottom = stack::frame_top = stack::frame_end = nullptr;
    words::root_block = Cell{type::none, 0, 0, 0};
    slots::block = Cell{type::none, 0, 0, 0};
    externals::init();
    mold::cycle_top = 0;
    collector::callbacks = {};
    // What the collector marks in the types these tests build, as their units register it.
    collector::set_mark_procedure(type::block, collector::mark_any_block);
    collector::set_mark_procedure(type::string, collector::mark_any_string);
    collector::set_mark_procedure(type::binary, collector::mark_bytes);
    collector::set_mark_procedure(type::hash, collector::mark_hash);
    collector::set_mark_procedure(type::handle, collector::mark_handle);
    collector::init();
    collector::set_torture(0);  // the tests that want torture mode turn it on themselves
    saved_torture_nodes_ = collector::torture_nodes;
    collector::torture_nodes = true;
    collector::enabled = true;
  }

  void TearDown() override {
    collector::enabled = false;
    collector::set_torture(saved_torture_);
    collector::torture_nodes = saved_torture_nodes_;
    collector::release_quarantine();
    memory::free_all();
    memory::manager = saved_manager_;
    memory::fixups = std::move(saved_fixups_);
    collector::enabled = saved_enabled_;
    collector::series_cycles = saved_cycles_.first;
    collector::nodes_cycles = saved_cycles_.second;
    collector::callbacks = saved_callbacks_;
    stack::bottom = saved_stack_[0];
    stack::top = saved_stack_[1];
    stack::end = saved_stack_[2];
    stack::arguments = saved_stack_[3];
    stack::value_node = saved_stack_node_;
    stack::frame_node = saved_frame_node_;
    stack::frame_bottom = saved_frames_[0];
    stack::frame_top = saved_frames_[1];
    stack::frame_end = saved_frames_[2];
    words::root_block = saved_root_;
    slots::block = saved_slots_;
    externals::table = saved_externals_;
    mold::cycle_top = saved_cycle_top_;
  }

  // ---- Values built on the raw manager (no datatype unit needed) ----

  static Cell new_block(i32 cells = 4) { return Cell{type::block, 0, memory::alloc_cells(cells).offset(), 0}; }
  static Cell new_bytes(std::string_view text, u32 type_id = type::string) {
    Ref<Node> n = memory::alloc_bytes(static_cast<i32>(text.size()));
    SeriesBuffer* b = buffer_of(n);
    std::memcpy(b->data(), text.data(), text.size());
    b->tail = b->head + static_cast<u32>(text.size());
    return Cell{type_id, 0, n.offset(), 0};
  }
  static Cell int_cell(i32 v) { return Cell{type::integer, 0, static_cast<u32>(v), 0}; }

  // Appends a copy of the value to the block in `blk` (a cell that stays put: stack or rooted).
  static void append(const Cell* blk, Cell value) {
    RootCell keep(value);
    Ref<Node> node(blk->w2);
    RootNode keep_node(node);
    SeriesBuffer* b = buffer_of(node);
    if (b->tail + sizeof(Cell) > b->end_offset()) b = memory::expand_series(b, 0);
    *b->tail_ptr<Cell>() = value;
    b->tail += sizeof(Cell);
  }
  static void append_text(const Cell* s, std::string_view text) {
    Ref<Node> node(s->w2);
    RootNode keep_node(node);
    SeriesBuffer* b = buffer_of(node);
    while (b->tail + text.size() > b->end_offset()) b = memory::expand_series(b, 0);
    std::memcpy(b->tail_ptr(), text.data(), text.size());
    b->tail += static_cast<u32>(text.size());
  }
  static i32 length(const Cell* blk) { return static_cast<i32>(buffer_of(Ref<Node>(blk->w2))->used_bytes() / 16); }
  static Cell* at(const Cell* blk, i32 i) { return buffer_of(Ref<Node>(blk->w2))->head_ptr<Cell>() + i; }
  static std::string text(const Cell* s) {
    SeriesBuffer* b = buffer_of(Ref<Node>(s->w2));
    return std::string(b->head_ptr<char>(), b->used_bytes());
  }
  static Cell* push(const Cell& c) { return stack::push_value(&c); }

  // ---- The manager's figures ----

  static u32 nodes_in_use() {
    u32 n = 0;
    for (u32 f = memory::manager.first_node_frame; f; f = arena::at<NodeFrame>(f)->next) n += arena::at<NodeFrame>(f)->used;
    return n;
  }
  static std::vector<SeriesFrame*> series_frames() {
    std::vector<SeriesFrame*> out;
    for (u32 f = memory::manager.first_series_frame; f; f = arena::at<SeriesFrame>(f)->next)
      out.push_back(arena::at<SeriesFrame>(f));
    return out;
  }
  static std::vector<NodeFrame*> node_frames() {
    std::vector<NodeFrame*> out;
    for (u32 f = memory::manager.first_node_frame; f; f = arena::at<NodeFrame>(f)->next)
      out.push_back(arena::at<NodeFrame>(f));
    return out;
  }
  static u64 frame_bytes() {
    u64 n = 0;
    for (SeriesFrame* f : series_frames()) n += f->heap - f->data_offset();
    return n;
  }
  static SeriesFrame* frame_of(const SeriesBuffer* b) {
    u32 o = arena::offset_of(b);
    for (SeriesFrame* f : series_frames())
      if (o >= f->data_offset() && o < f->end) return f;
    return nullptr;
  }

  MemoryManager saved_manager_{};
  std::vector<Fixup> saved_fixups_;
  bool saved_enabled_ = false;
  std::pair<u32, u32> saved_cycles_;
  collector::Callbacks saved_callbacks_;
  Cell* saved_stack_[4]{};
  Ref<Node> saved_stack_node_, saved_frame_node_;
  stack::Frame* saved_frames_[3]{};
  Cell saved_root_{}, saved_slots_{};
  externals::Table saved_externals_;
  u32 saved_cycle_top_ = 0;
  u32 saved_torture_ = 0;
  bool saved_torture_nodes_ = true;
};

}  // namespace

// ---- Reclaiming ----

TEST_F(Collector, UnreachableSeriesAndNodesAreReclaimedAndLiveOnesKeepTheirContent) {
  Cell* keep = push(new_block());
  append(keep, new_bytes("kept string"));
  append(keep, new_bytes(std::string(300, 'b'), type::binary));
  append(keep, int_cell(42));
  u32 live_nodes = nodes_in_use();
  u64 live_bytes = frame_bytes();

  for (int i = 0; i < 2000; ++i) {
    Cell g = new_block(3);
    RootCell hold(g);
    append(&g, new_bytes("garbage"));
  }
  ASSERT_GT(nodes_in_use(), live_nodes + 3000);
  u32 cycles = collector::series_cycles;

  collector::collect();
  EXPECT_EQ(collector::series_cycles, cycles + 1);
  EXPECT_EQ(nodes_in_use(), live_nodes);
  EXPECT_EQ(frame_bytes(), live_bytes);
  EXPECT_EQ(memory::stats_total(), live_nodes * 4.0 + static_cast<double>(live_bytes));
  EXPECT_EQ(collector::recycle(), memory::stats_total());
  ASSERT_EQ(length(keep), 3);
  EXPECT_EQ(text(at(keep, 0)), "kept string");
  EXPECT_EQ(text(at(keep, 1)), std::string(300, 'b'));
  EXPECT_EQ(at(keep, 2)->as_int(), 42);
  // The marks are gone: a second collection finds the same live set.
  collector::collect();
  EXPECT_EQ(nodes_in_use(), live_nodes);
  EXPECT_EQ(text(at(keep, 0)), "kept string");
}

TEST_F(Collector, SlidesLiveBuffersDownAndMovesRegisteredPointersWithThem) {
  Cell* keep = push(new_block());
  new_bytes(std::string(5000, 'x'));  // dead, below the live ones
  Cell a = new_bytes("first live");
  RootCell hold_a(a);
  new_bytes(std::string(700, 'y'));  // dead, between them
  Cell blk = new_block(8);
  RootCell hold_blk(blk);
  for (int i = 0; i < 5; ++i) append(&blk, int_cell(i * 11));

  SeriesBuffer* before_a = buffer_of(Ref<Node>(a.w2));
  SeriesBuffer* before_blk = buffer_of(Ref<Node>(blk.w2));
  Cell* cursor = before_blk->head_ptr<Cell>() + 3;
  char* tail_cursor = before_a->tail_ptr<char>();  // one past the content
  RootInterior<Cell> hold_cursor(cursor);
  RootInterior<char> hold_tail(tail_cursor);

  collector::collect();
  SeriesBuffer* after_a = buffer_of(Ref<Node>(a.w2));
  SeriesBuffer* after_blk = buffer_of(Ref<Node>(blk.w2));
  EXPECT_LT(after_a, before_a);
  EXPECT_LT(after_blk, before_blk);
  EXPECT_EQ(after_a->node, a.w2);
  EXPECT_EQ(after_a->head, after_a->data_offset());
  EXPECT_EQ(text(&a), "first live");
  EXPECT_EQ(cursor, after_blk->head_ptr<Cell>() + 3);
  EXPECT_EQ(cursor->as_int(), 33);
  EXPECT_EQ(tail_cursor, after_a->tail_ptr<char>());
  EXPECT_EQ(length(keep), 0);
}

TEST_F(Collector, AnInteriorPointerAloneKeepsItsBufferAlive) {
  Cell s = new_bytes("only reached through a raw pointer");
  char* p = buffer_of(Ref<Node>(s.w2))->head_ptr<char>() + 5;
  RootInterior<char> hold(p);
  new_bytes("garbage below nothing");
  collector::collect();
  EXPECT_EQ(std::string(p, 7), "reached");
}

TEST_F(Collector, AnAbandonedBufferIsReclaimedWithoutFreeingItsNode) {
  Cell* s = push(new_bytes("grow me"));
  u32 nodes = nodes_in_use();
  append_text(s, std::string(100, '!'));  // moves the series; the old buffer stays behind
  collector::collect();
  EXPECT_EQ(collector::figures.nodes_freed, 0u);
  EXPECT_EQ(nodes_in_use(), nodes);
  EXPECT_EQ(text(s), "grow me" + std::string(100, '!'));
  EXPECT_EQ(frame_bytes(), u64{buffer_of(Ref<Node>(s->w2))->size + memory::buffer_overhead});
}

TEST_F(Collector, BigSeriesAreSweptAndUnmanagedBuffersNeverMove) {
  constexpr i32 big = 3 << 20;
  Cell* kept = push(Cell{type::binary, 0, memory::alloc_bytes(big).offset(), 0});
  buffer_of(Ref<Node>(kept->w2))->data()[big - 1] = std::byte{7};
  memory::alloc_bytes(big);  // dead
  // An unmanaged block holding the only reference to a string.
  Ref<Node> um = memory::alloc_unmanaged_series(4, 16, 0);
  Cell um_cell{type::block, 0, um.offset(), 0};
  RootCell hold(um_cell);
  append(&um_cell, new_bytes("held by an unmanaged block"));
  SeriesBuffer* um_buffer = buffer_of(um);
  ASSERT_EQ(memory::stats_figures().big_series.size(), 2u);

  for (int round = 0; round < 2; ++round) {
    collector::collect();
    EXPECT_EQ(memory::stats_figures().big_series.size(), 1u);
    EXPECT_EQ(buffer_of(Ref<Node>(kept->w2))->data()[big - 1], std::byte{7});
    EXPECT_EQ(buffer_of(Ref<Node>(um_cell.w2)), um_buffer);
    EXPECT_FALSE(um_buffer->flags & series_flag::mark) << "unmanaged marks are cleared";
    EXPECT_EQ(text(at(&um_cell, 0)), "held by an unmanaged block");
  }
  memory::free_unmanaged_series(Ref<Node>(um_cell.w2));
}

// ---- Frames ----

TEST_F(Collector, EmptiedFramesGoBackToTheSystemAndTheLastIsKept) {
  Cell* keep = push(new_block());
  append(keep, new_bytes("survivor"));
  u64 committed = arena::committed();
  u64 in_use = memory::stats_total();
  {
    Cell hold = new_block(16);
    RootCell guard(hold);
    for (int i = 0; i < 4000; ++i) append(&hold, new_bytes(std::string(2000, 'g')));
    ASSERT_GE(series_frames().size(), 4u);
  }
  collector::collect();
  std::vector<SeriesFrame*> frames = series_frames();
  ASSERT_EQ(frames.size(), 2u) << "the first frame and the (empty) last one";
  EXPECT_EQ(frames[1]->heap, frames[1]->data_offset());
  EXPECT_EQ(memory::stats_total(), in_use);
  EXPECT_LE(arena::committed(), committed + memory::max_frame_size + 2 * arena::page_size);
  EXPECT_EQ(text(at(keep, 0)), "survivor");
  EXPECT_GT(collector::figures.series_frames_freed, 0u);
}

TEST_F(Collector, RunsMoveIntoTheFreeTailOfTheFrameBelow) {
  // Frame 1 holds a little live data; frame 2 is filled with live buffers (after garbage that
  // pushed them up there). Compaction brings them down into frame 1's free tail.
  Cell* keep = push(new_block(64));
  {
    Cell hold = new_block(64);
    RootCell guard(hold);
    while (series_frames().size() < 2) append(&hold, new_bytes(std::string(4000, 'd')));
  }
  for (int i = 0; i < 20; ++i) append(keep, new_bytes(std::string(1000, static_cast<char>('a' + i))));
  ASSERT_EQ(frame_of(buffer_of(Ref<Node>(at(keep, 0)->w2))), series_frames()[1]);
  collector::collect();
  SeriesFrame* first = series_frames()[0];
  for (int i = 0; i < 20; ++i) {
    SeriesBuffer* b = buffer_of(Ref<Node>(at(keep, i)->w2));
    EXPECT_EQ(frame_of(b), first) << i;
    EXPECT_EQ(text(at(keep, i)), std::string(1000, static_cast<char>('a' + i)));
  }
}

TEST_F(Collector, AStableSparseNodeFrameIsEvacuatedAndEveryReferenceFollows) {
  // Three node frames: the first keeps 9,000 live nodes, the second none, the third 100.
  Cell* keep = push(new_block(16));
  std::vector<NodeFrame*> frames;
  {
    Cell all = new_block(16);
    RootCell guard(all);
    while (node_frames().size() < 4) append(&all, new_bytes("n"));
    frames = node_frames();
    std::map<NodeFrame*, int> kept;
    for (i32 i = 0; i < length(&all); ++i) {
      Cell c = *at(&all, i);
      NodeFrame* f = memory::node_frame_of(Ref<Node>(c.w2));
      int quota = f == frames[0] ? 9000 : f == frames[2] ? 100 : 0;
      if (kept[f] < quota) {
        ++kept[f];
        c.w1 = static_cast<u32>(i);  // remembers where it came from: head index, checked below
        append(keep, c);
        SeriesBuffer* b = buffer_of(Ref<Node>(c.w2));
        *b->head_ptr<char>() = static_cast<char>('A' + i % 26);
      }
    }
  }
  NodeFrame* sparse = frames[2];
  Ref<Node> local(at(keep, 9000)->w2);  // a node of the sparse frame held by C++ code
  ASSERT_EQ(memory::node_frame_of(local), sparse);
  RootNode hold(local);
  mold::push_cycle(local);

  // A weak table of our own: the sweep callback sees the nodes' old and new addresses.
  static std::vector<u32> weak;
  static u32 alive_count;
  weak = {local.offset()};
  collector::add_sweep_callback([] {
    alive_count = 0;
    for (u32& n : weak) {
      alive_count += collector::alive(n);
      n = collector::remap(n);
    }
  });

  u32 nodes_cycles = collector::nodes_cycles;
  int collections = 0;
  while (collector::nodes_cycles == nodes_cycles && collections < 12) {
    collector::collect();
    ++collections;
  }
  EXPECT_EQ(collections, 8) << "evacuated once stable over six collections";
  EXPECT_EQ(collector::nodes_cycles, nodes_cycles + 1);
  std::vector<NodeFrame*> now = node_frames();
  EXPECT_EQ(now.size(), 1u) << "the emptied frame was freed";
  EXPECT_NE(memory::node_frame_of(local), nullptr);
  EXPECT_EQ(weak[0], local.offset());
  EXPECT_EQ(alive_count, 1u);
  EXPECT_EQ(mold::cycle_stack[0], local);
  mold::reset_cycles();
  ASSERT_EQ(length(keep), 9100);
  for (i32 i = 0; i < 9100; ++i) {
    Cell* c = at(keep, i);
    SeriesBuffer* b = buffer_of(Ref<Node>(c->w2));
    ASSERT_EQ(b->node, c->w2) << i;
    ASSERT_EQ(*b->head_ptr<char>(), static_cast<char>('A' + c->w1 % 26)) << i;
  }
  // Collections after the move leave the counter alone.
  collector::collect();
  EXPECT_EQ(collector::nodes_cycles, nodes_cycles + 1);
}

// ---- Mends ----

TEST_F(Collector, MarkingABlockNestedAMillionDeepUsesNoCppRecursion) {
  constexpr int depth = 1000000;
  Cell* top = push(new_block(1));
  for (int i = 0; i < depth; ++i) {
    Cell outer = new_block(1);
    RootCell guard(outer);
    append(&outer, *top);
    *top = outer;
  }
  append(top, int_cell(7));  // the outermost block also ends with an integer
  collector::collect();
  // The whole chain survived: walk it without recursion.
  Cell c = *top;
  int levels = 0;
  while (length(&c) > 0 && at(&c, 0)->type() == type::block) {
    c = *at(&c, 0);
    ++levels;
  }
  EXPECT_EQ(levels, depth);
  EXPECT_EQ(at(top, 1)->as_int(), 7);
}

TEST_F(Collector, APointerKeyedTableDoesNotKeepItsKeysAlive) {
  static Ref<Node> table;
  table = hashtable::make(8, nullptr, hashtable::kind_owners, 3);
  collector::add_root_callback([] { collector::mark_table(reinterpret_cast<u32*>(&table)); });
  collector::add_sweep_callback([] { hashtable::sweep_weak(table, collector::alive, collector::remap); });

  Cell* owner = push(new_block());
  Cell* live = push(new_bytes("owned and referenced"));
  Ref<Node> dead_key;
  {
    Cell dead = new_bytes("owned only");
    RootCell guard(dead);
    dead_key = Ref<Node>(dead.w2);
    for (const Cell* s : {static_cast<const Cell*>(&dead), static_cast<const Cell*>(live)}) {
      Cell* e = hashtable::put_key(table, s->w2);
      e[0] = *s;
      e[1] = *owner;
      e[2] = int_cell(0);
    }
  }
  ASSERT_EQ(hashtable::size_of(table), 2);
  collector::collect();
  EXPECT_EQ(hashtable::size_of(table), 1);
  EXPECT_EQ(hashtable::get_key(table, live->w2)->w2, live->w2);
  EXPECT_NE(buffer_of(Ref<Node>(live->w2))->node, 0u);
  // The table itself is alive and usable.
  EXPECT_EQ(hashtable::get_key(table, dead_key.offset()), nullptr);
  // When nodes move, the survivor's key and the series value it keeps follow (not its head index).
  u32 old_node = live->w2;
  collector::set_torture(1);
  collector::collect();
  collector::set_torture(0);
  ASSERT_NE(live->w2, old_node);
  Cell* e = hashtable::get_key(table, live->w2);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e[0].w2, live->w2);
  EXPECT_EQ(e[0].w1, 0u);
  table = Ref<Node>{};
}

TEST_F(Collector, RunningOutOfShadowRootsIsACatchableStackOverflow) {
  const u32 before = roots::top;
  std::vector<Cell> cells(roots::capacity - before + 1);
  std::vector<std::unique_ptr<RootCell>> guards;
  try {
    for (Cell& c : cells) guards.push_back(std::make_unique<RootCell>(c));
    ADD_FAILURE() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_STREQ(e.id, "stack-overflow");
    EXPECT_EQ(e.category, ErrorCategory::internal);
  }
  EXPECT_EQ(roots::top, roots::capacity) << "the refused guard took no entry";
  while (!guards.empty()) guards.pop_back();  // youngest first: guards are released in order
  EXPECT_EQ(roots::top, before);
  collector::collect();  // the registry is whole again
}

namespace {
struct ReleaseLog {
  std::vector<std::pair<void*, bool>> calls;  // object, collecting? at the time of the call
};
ReleaseLog release_log;
}  // namespace

TEST_F(Collector, ExternalResourcesAreReleasedAfterTheCollectionAndMayAllocate) {
  release_log = {};
  u32 kind = externals::register_kind("test", [](void* object) {
    release_log.calls.push_back({object, collector::collecting});
    // A release procedure that allocates (and so may collect again) is safe here.
    for (int i = 0; i < 100; ++i) memory::alloc_bytes(1000);
    collector::collect();
  });
  static int a_object, b_object;
  Cell* live = push(Cell{type::handle, 0, 0, static_cast<u32>(externals::add(&a_object, kind))});
  externals::add(&b_object, kind);  // a handle! that nothing holds
  ASSERT_EQ(externals::used_count(), 2u);
  collector::collect();
  ASSERT_EQ(release_log.calls.size(), 1u);
  EXPECT_EQ(release_log.calls[0].first, &b_object);
  EXPECT_FALSE(release_log.calls[0].second) << "released inside a collection";
  EXPECT_EQ(externals::used_count(), 1u);
  EXPECT_EQ(externals::table.slots[live->w3].object, &a_object);
}

TEST_F(Collector, RecycleOffKeepsTheAllocatorFromCollectingButCollectStillRuns) {
  collector::enabled = false;
  u32 cycles = collector::series_cycles;
  for (int i = 0; i < 3000; ++i) memory::alloc_bytes(2000);
  memory::alloc_bytes(3 << 20);  // a big series: would collect first when enabled
  EXPECT_EQ(collector::series_cycles, cycles);
  collector::collect();
  EXPECT_EQ(collector::series_cycles, cycles + 1);
  collector::enabled = true;
  for (int i = 0; i < 3000; ++i) memory::alloc_bytes(2000);
  EXPECT_GT(collector::series_cycles, cycles + 1) << "the allocator collects when frames fill";
  EXPECT_LE(series_frames().size(), 3u);
}

TEST_F(Collector, NoCollectionStartsInsideACollection) {
  static u32 inner_cycles;
  collector::add_root_callback([] {
    u32 before = collector::series_cycles;
    collector::collect();
    collector::collect_if_enabled();
    inner_cycles = collector::series_cycles - before;
  });
  collector::collect();
  EXPECT_EQ(inner_cycles, 0u);
  EXPECT_FALSE(collector::collecting);
}

// ---- Extension points ----

TEST_F(Collector, TypesAddedLaterBringTheirOwnMarking) {
  constexpr u32 late_type = 60;  // a type the core does not know: w3 holds a block node
  collector::set_mark_procedure(late_type, [](Cell* c) { collector::mark_block(&c->w3); });
  Cell inner = new_block();
  RootCell guard(inner);
  append(&inner, new_bytes("reached through a late type"));
  Cell* v = push(Cell{late_type, 0, 0, inner.w2});
  inner = Cell{};
  collector::collect();
  collector::set_mark_procedure(late_type, nullptr);
  Cell b{type::block, 0, v->w3, 0};
  EXPECT_EQ(text(at(&b, 0)), "reached through a late type");
  EXPECT_EQ(collector::mark_procedure(type::integer), nullptr);
  EXPECT_EQ(collector::mark_procedure(type::block), &collector::mark_any_block);
}

TEST_F(Collector, RootCallbacksMarkAndRewriteWhatUnitsKeep) {
  static Cell unit_global;
  static Ref<Node> unit_node;
  unit_global = new_bytes("kept by a unit's global cell");
  unit_node = Ref<Node>(new_bytes("kept by a unit's node").w2);
  auto proc = [] {
    collector::mark_cell(&unit_global);
    collector::mark_node(&unit_node);
  };
  collector::add_root_callback(proc);
  collector::set_torture(1);  // moves every buffer and node
  collector::collect();
  EXPECT_EQ(text(&unit_global), "kept by a unit's global cell");
  Cell n{type::string, 0, unit_node.offset(), 0};
  EXPECT_EQ(text(&n), "kept by a unit's node");
  collector::remove_root_callback(proc);
  collector::set_torture(0);
  collector::collect();
  EXPECT_EQ(nodes_in_use(), 1u) << "only the value stack's node is left";
}

// ---- Pinning ----

TEST_F(Collector, APinnedBufferNeitherMovesNorDies) {
  Cell* s = push(new_bytes(std::string(64, 'p')));
  new_bytes(std::string(3000, 'x'));  // dead space the compaction would slide into
  Cell* blk = push(new_block(2));
  append(blk, new_bytes("in the pinned block"));
  SeriesBuffer* before = buffer_of(Ref<Node>(blk->w2));
  Cell* raw = before->head_ptr<Cell>();
  {
    collector::Pin pin(Ref<Node>(blk->w2));
    for (u32 torture : {0u, 1u}) {
      collector::set_torture(torture);
      collector::collect();
      EXPECT_EQ(buffer_of(Ref<Node>(blk->w2)), before);
      EXPECT_EQ(text(raw), "in the pinned block");
    }
    collector::set_torture(0);
    // Growing abandons the pinned buffer; it stays readable while pinned.
    for (int i = 0; i < 10; ++i) append(blk, int_cell(i));
    EXPECT_NE(buffer_of(Ref<Node>(blk->w2)), before);
    collector::collect();
    EXPECT_EQ(text(raw), "in the pinned block");
  }
  collector::collect();
  EXPECT_EQ(text(at(blk, 0)), "in the pinned block");
  EXPECT_EQ(at(blk, 10)->as_int(), 9);
  EXPECT_EQ(text(s), std::string(64, 'p'));
  EXPECT_EQ(frame_bytes(), buffer_of(Ref<Node>(s->w2))->size + buffer_of(Ref<Node>(blk->w2))->size +
                               buffer_of(Ref<Node>(at(blk, 0)->w2))->size + 3u * memory::buffer_overhead)
      << "the pinned buffer and the gap below it are reclaimed once unpinned";
}

// ---- Torture ----

TEST_F(Collector, TortureMovesEveryLiveBufferAndNode) {
  Cell* blk = push(new_block());
  append(blk, new_bytes("moves"));
  SeriesBuffer* old_buffer = buffer_of(Ref<Node>(blk->w2));
  u32 old_node = blk->w2, old_inner = at(blk, 0)->w2;
  collector::set_torture(1);
  memory::alloc_bytes(1);  // the allocation collects
  EXPECT_NE(blk->w2, old_node);
  EXPECT_NE(at(blk, 0)->w2, old_inner);
  EXPECT_NE(buffer_of(Ref<Node>(blk->w2)), old_buffer);
  EXPECT_EQ(text(at(blk, 0)), "moves");
  // Every allocation collects: N = 3 collects on every third.
  collector::set_torture(3);
  u32 cycles = collector::series_cycles;
  for (int i = 0; i < 9; ++i) memory::alloc_bytes(1);
  EXPECT_EQ(collector::series_cycles, cycles + 3);
  collector::set_torture(0);
}

TEST_F(Collector, TortureMakesAStalePointerFault) {
  Cell* s = push(new_bytes("stale"));
  EXPECT_DEATH(
      {
        char* raw = buffer_of(Ref<Node>(s->w2))->head_ptr<char>();
        collector::set_torture(1);
        memory::alloc_bytes(1);
        std::fprintf(stderr, "%c\n", *static_cast<volatile char*>(raw));
      },
      "");
}

// ---- A model-based random test ----
// A graph of blocks, strings and binaries is changed at random (new values, shared references,
// cycles, removals, growth), with collections at random points; after every step the graph reached
// from the root must equal a shadow model, and after every collection the nodes and frame bytes in
// use must be exactly those of the reachable values. KIV_GC_MODEL_OPS sets the step count (a
// million for a long run), KIV_GC_MODEL_SEED the seed, KIV_GC_MODEL_TORTURE the torture period of
// the second pass (every 7th allocation by default, for at most 20,000 steps unless it is given).

namespace {

struct ModelValue {
  bool integer;
  i32 v;  // the integer, or the object's id
};
struct ModelObject {
  u32 kind;
  std::vector<ModelValue> cells;  // blocks
  std::string bytes;              // strings, binaries
};

class Model {
 public:
  std::vector<ModelObject> objects{{type::block, {}, {}}};  // 0: the root block

  // The objects reachable from the root. Walks stamp what they saw, so that a walk costs what it
  // visits, not the size of the whole history.
  std::vector<int> reachable() {
    if (seen.size() < objects.size()) seen.resize(objects.size() + 1024, 0);
    ++stamp;
    std::vector<int> out, work{0};
    seen[0] = stamp;
    while (!work.empty()) {
      int id = work.back();
      work.pop_back();
      out.push_back(id);
      for (const ModelValue& v : objects[static_cast<size_t>(id)].cells) {
        if (!v.integer && seen[static_cast<size_t>(v.v)] != stamp) {
          seen[static_cast<size_t>(v.v)] = stamp;
          work.push_back(v.v);
        }
      }
    }
    return out;
  }

 private:
  std::vector<u32> seen;
  u32 stamp = 0;
};

}  // namespace

class CollectorModel : public Collector {
 protected:
  std::mt19937 rng;
  Model model;
  Cell* root = nullptr;

  u32 rand(u32 n) { return std::uniform_int_distribution<u32>(0, n - 1)(rng); }

  // A random walk from the root to a block; answers the path of cell indexes and the model id.
  std::pair<std::vector<i32>, int> random_block() {
    std::vector<i32> path;
    int id = 0;
    for (u32 depth = rand(6); depth > 0; --depth) {
      const auto& cells = model.objects[static_cast<size_t>(id)].cells;
      std::vector<i32> blocks;
      for (size_t i = 0; i < cells.size(); ++i)
        if (!cells[i].integer && model.objects[static_cast<size_t>(cells[i].v)].kind == type::block)
          blocks.push_back(static_cast<i32>(i));
      if (blocks.empty()) break;
      i32 pick = blocks[rand(static_cast<u32>(blocks.size()))];
      path.push_back(pick);
      id = cells[static_cast<size_t>(pick)].v;
    }
    return {path, id};
  }
  Cell resolve(const std::vector<i32>& path) {
    Cell c = *root;
    for (i32 i : path) c = *at(&c, i);
    return c;
  }

  void step() {
    auto [path, id] = random_block();
    ModelObject& target = model.objects[static_cast<size_t>(id)];
    u32 op = rand(100);
    size_t size = model.reachable().size();
    if (target.cells.size() > 40 && op < 55) op = 60;  // keep blocks short: removals instead
    if (op < 30 && size < 600) {  // a new value appended to a block
      u32 kind = std::array<u32, 3>{type::block, type::string, type::binary}[rand(3)];
      std::string bytes(rand(40), static_cast<char>('a' + rand(26)));
      Cell v{};
      RootCell hold(v);
      if (kind == type::block) v = new_block(static_cast<i32>(rand(8)));
      else if (kind == type::binary) binary::make_from(&v, bytes);
      else v = new_bytes(bytes, kind);
      Cell t = resolve(path);
      RootCell hold_t(t);
      append(&t, v);
      model.objects.push_back({kind, {}, kind == type::block ? std::string() : bytes});
      model.objects[static_cast<size_t>(id)].cells.push_back({false, static_cast<i32>(model.objects.size() - 1)});
    } else if (op < 45) {  // a shared reference (cycles included) to a reachable value
      std::vector<int> ids = model.reachable();
      int other = ids[rand(static_cast<u32>(ids.size()))];
      auto [opath, oid] = find_path(other);
      Cell v = resolve(opath);
      Cell t = resolve(path);
      RootCell hold(t);
      append(&t, v);
      target.cells.push_back({false, oid});
    } else if (op < 55) {
      Cell t = resolve(path);
      RootCell hold(t);
      i32 n = static_cast<i32>(rand(1000));
      append(&t, int_cell(n));
      model.objects[static_cast<size_t>(id)].cells.push_back({true, n});
    } else if (op < 80 && !target.cells.empty()) {  // a reference dropped
      i32 i = static_cast<i32>(rand(static_cast<u32>(target.cells.size())));
      Cell t = resolve(path);
      SeriesBuffer* b = buffer_of(Ref<Node>(t.w2));
      Cell* c = b->head_ptr<Cell>();
      std::memmove(c + i, c + i + 1, (b->used_bytes() / 16 - static_cast<u32>(i) - 1) * sizeof(Cell));
      b->tail -= sizeof(Cell);
      target.cells.erase(target.cells.begin() + i);
    } else if (op < 92) {  // a string or binary grows
      std::vector<int> ids = model.reachable();
      int other = ids[rand(static_cast<u32>(ids.size()))];
      if (model.objects[static_cast<size_t>(other)].kind == type::block) return;
      auto [opath, oid] = find_path(other);
      Cell s = resolve(opath);
      RootCell hold(s);
      std::string& bytes = model.objects[static_cast<size_t>(oid)].bytes;
      if (bytes.size() > 2000) {  // emptied rather than grown without end
        SeriesBuffer* b = buffer_of(Ref<Node>(s.w2));
        b->tail = b->head;
        bytes.clear();
      }
      std::string more(rand(200), static_cast<char>('A' + rand(26)));
      if (s.type() == type::binary) binary::append_bytes(&s, more.data(), static_cast<i32>(more.size()));
      else append_text(&s, more);
      model.objects[static_cast<size_t>(oid)].bytes += more;
    } else {
      collector::collect();
      check_exact_use();
    }
  }

  // The path to a reachable object (breadth-first over the model).
  std::pair<std::vector<i32>, int> find_path(int goal) {
    std::unordered_map<int, std::pair<int, i32>> parent;  // id -> (parent id, cell index)
    parent.reserve(2048);
    std::vector<int> queue{0};
    parent[0] = {-1, -1};
    for (size_t q = 0; q < queue.size(); ++q) {
      int id = queue[q];
      if (id == goal) break;
      const auto& cells = model.objects[static_cast<size_t>(id)].cells;
      for (size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].integer || parent.count(cells[i].v)) continue;
        parent[cells[i].v] = {id, static_cast<i32>(i)};
        queue.push_back(cells[i].v);
      }
    }
    std::vector<i32> path;
    for (int id = goal; parent[id].first != -1; id = parent[id].first) path.insert(path.begin(), parent[id].second);
    return {path, goal};
  }

  // Node -> model id for one walk: open addressing, entries of older walks told apart by a stamp
  // (a step must cost what the graph holds, not a heap allocation per value).
  struct NodeIds {
    std::vector<u32> keys, ids, stamps;
    u32 stamp = 0;
    void start(size_t at_least) {
      size_t n = 1024;
      while (n < 2 * at_least) n *= 2;
      if (keys.size() < n) keys.assign(n, 0), ids.assign(n, 0), stamps.assign(n, 0);
      ++stamp;
    }
    // The id recorded for the node, or -1 after recording `id` for it.
    i32 find_or_add(u32 node, i32 id) {
      size_t mask = keys.size() - 1, i = (node * 0x9E3779B1u) & mask;
      while (stamps[i] == stamp) {
        if (keys[i] == node) return static_cast<i32>(ids[i]);
        i = (i + 1) & mask;
      }
      stamps[i] = stamp, keys[i] = node, ids[i] = static_cast<u32>(id);
      return -1;
    }
  };
  NodeIds node_ids;
  std::vector<u32> id_nodes, id_stamps;

  // Walks the real graph and the model side by side; answers how many series it reached and the
  // footprint of their buffers. Mismatches are test failures.
  std::pair<size_t, u64> compare() {
    node_ids.start(model.objects.size() < 4096 ? model.objects.size() : 4096);
    if (id_nodes.size() < model.objects.size()) {
      id_nodes.resize(model.objects.size() + 4096);
      id_stamps.resize(model.objects.size() + 4096);
    }
    const u32 stamp = node_ids.stamp;
    std::vector<std::pair<u32, int>> work{{root->w2, 0}};
    node_ids.find_or_add(root->w2, 0);
    id_nodes[0] = root->w2, id_stamps[0] = stamp;
    size_t reached = 1;
    u64 bytes = 0;
    while (!work.empty()) {
      auto [node, id] = work.back();
      work.pop_back();
      const ModelObject& m = model.objects[static_cast<size_t>(id)];
      SeriesBuffer* b = buffer_of(Ref<Node>(node));
      if (b->node != node) ADD_FAILURE() << "object " << id << ": the buffer names another node";
      bytes += b->size + memory::buffer_overhead;
      if (m.kind != type::block) {
        if (std::string_view(b->head_ptr<char>(), b->used_bytes()) != m.bytes) ADD_FAILURE() << "object " << id;
        continue;
      }
      if (b->used_bytes() / 16 != m.cells.size()) {
        ADD_FAILURE() << "object " << id << ": " << b->used_bytes() / 16 << " cells for " << m.cells.size();
        return {reached, bytes};
      }
      Cell* c = b->head_ptr<Cell>();
      for (size_t i = 0; i < m.cells.size(); ++i) {
        const ModelValue& v = m.cells[i];
        if (v.integer) {
          if (c[i].type() != type::integer || c[i].as_int() != v.v) ADD_FAILURE() << "object " << id << " cell " << i;
          continue;
        }
        if (c[i].type() != model.objects[static_cast<size_t>(v.v)].kind) ADD_FAILURE() << "object " << id << " cell " << i;
        u32 child = c[i].w2;
        i32 seen = node_ids.find_or_add(child, v.v);
        if (seen >= 0) {
          if (seen != v.v) ADD_FAILURE() << "sharing differs";
          continue;
        }
        if (id_stamps[static_cast<size_t>(v.v)] == stamp) ADD_FAILURE() << "one model value, two series";
        id_nodes[static_cast<size_t>(v.v)] = child, id_stamps[static_cast<size_t>(v.v)] = stamp;
        ++reached;
        work.push_back({child, v.v});
      }
    }
    return {reached, bytes};
  }

  void check_exact_use() {
    auto [nodes, bytes] = compare();
    EXPECT_EQ(nodes, model.reachable().size());
    EXPECT_EQ(nodes_in_use(), nodes + 1) << "reachable values and the value stack's node";
    EXPECT_EQ(frame_bytes(), bytes) << "the frames hold exactly the reachable buffers";
  }
};

TEST_F(CollectorModel, RandomGraphMatchesItsShadowModelAcrossCollections) {
  const char* ops_text = std::getenv("KIV_GC_MODEL_OPS");
  const char* seed_text = std::getenv("KIV_GC_MODEL_SEED");
  const char* torture_text = std::getenv("KIV_GC_MODEL_TORTURE");
  const long ops = ops_text ? std::strtol(ops_text, nullptr, 10) : 1500;
  const u32 seed = seed_text ? static_cast<u32>(std::strtoul(seed_text, nullptr, 10)) : 20240611u;
  for (u32 torture : {0u, torture_text ? static_cast<u32>(std::strtoul(torture_text, nullptr, 10)) : 7u}) {
    SCOPED_TRACE(torture);
    rng.seed(seed + torture);
    model = Model{};
    stack::top = stack::bottom;
    root = push(new_block());
    collector::collect();
    collector::set_torture(torture);
    // Torture collections copy the whole heap: a long run keeps that pass short unless asked.
    const long steps = torture && !torture_text ? std::min(ops, 20000L) : ops;
    for (long i = 0; i < steps; ++i) {
      step();
      compare();
      if (HasFailure()) {
        ADD_FAILURE() << "step " << i;
        return;
      }
    }
    collector::set_torture(0);
    collector::collect();
    check_exact_use();
  }
}
