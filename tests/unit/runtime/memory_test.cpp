#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/sys.h"

using namespace kiv;
namespace flag = kiv::series_flag;

namespace {

// Each test gets a manager of its own in the shared arena; whatever other tests left in the
// process-wide manager is set aside and put back afterwards, with the collector kept off.
class Memory : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = memory::manager;
    saved_fixups_ = std::move(memory::fixups);
    saved_enabled_ = collector::enabled;
    collector::enabled = false;
    memory::init();
  }
  void TearDown() override {
    memory::free_all();
    memory::manager = saved_;
    memory::fixups = std::move(saved_fixups_);
    collector::enabled = saved_enabled_;
  }

  static std::vector<SeriesFrame*> series_frames() {
    std::vector<SeriesFrame*> out;
    for (u32 f = memory::manager.first_series_frame; f; f = arena::at<SeriesFrame>(f)->next) {
      out.push_back(arena::at<SeriesFrame>(f));
    }
    return out;
  }
  static std::vector<NodeFrame*> node_frames() {
    std::vector<NodeFrame*> out;
    for (u32 f = memory::manager.first_node_frame; f; f = arena::at<NodeFrame>(f)->next) {
      out.push_back(arena::at<NodeFrame>(f));
    }
    return out;
  }
  static u32 data_area(const SeriesFrame* f) { return f->end - f->data_offset(); }
  static bool inside(const SeriesFrame* f, const SeriesBuffer* b) {
    u32 o = arena::offset_of(b);
    return o >= f->data_offset() && o < f->end;
  }
  // A byte series whose buffer has exactly this footprint (header, data, spare word).
  static Ref<Node> bytes_with_footprint(u32 footprint) {
    return memory::alloc_bytes(static_cast<i32>(footprint - memory::buffer_overhead));
  }

 private:
  MemoryManager saved_{};
  std::vector<Fixup> saved_fixups_;
  bool saved_enabled_ = false;
};

constexpr u32 node_frame_block = 40960;   // 36 + 40,000 bytes and the size word, in pages
constexpr u32 small_frame_block = 1052672;  // 1 MB data area, header and size word, in pages
constexpr u32 large_frame_block = 2101248;  // 2 MB likewise

template <class F>
std::string internal_error_of(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::internal);
    return e.id;
  }
  return "";
}

TEST_F(Memory, SeriesFramesGrowFromOneToTwoMegabytes) {
  // 100,024-byte footprints: ten fill the first frame; each later frame takes twenty.
  for (int i = 0; i < 10 + 20 + 1; ++i) bytes_with_footprint(100024);
  auto frames = series_frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(data_area(frames[0]), 0x100000u);
  EXPECT_EQ(data_area(frames[1]), 0x200000u);
  EXPECT_EQ(data_area(frames[2]), 0x200000u);
  EXPECT_EQ(frames[0]->size, 0x100000u + 20);
  EXPECT_EQ(frames[0]->heap - frames[0]->data_offset(), 10 * 100024u);
  EXPECT_EQ(frames[2]->heap - frames[2]->data_offset(), 100024u);
  EXPECT_EQ(memory::manager.current_series_frame, arena::offset_of(frames[2]));
  EXPECT_EQ(memory::manager.next_frame_size, memory::max_frame_size);
  EXPECT_LT(arena::offset_of(frames[0]), arena::offset_of(frames[1])) << "list in address order";
  EXPECT_LT(arena::offset_of(frames[1]), arena::offset_of(frames[2]));
  EXPECT_EQ(memory::manager.bytes_in_use, node_frame_block + small_frame_block + 2 * large_frame_block);
}

TEST_F(Memory, AFrameWithLittleRoomLeftIsNotReused) {
  struct Case {
    u32 room_left_in_first;
    bool reused;
  };
  for (Case c : {Case{40008, false}, Case{0xCCCC + 12, true}}) {
    SCOPED_TRACE(c.room_left_in_first);
    memory::free_all();
    memory::init();
    bytes_with_footprint(0x100000 - c.room_left_in_first);
    bytes_with_footprint(100024);  // too big for the first frame: a second one becomes current
    bytes_with_footprint(0x200000 - 100024 - 1008);  // the second frame keeps 1,008 bytes
    ASSERT_EQ(series_frames().size(), 2u);
    SeriesFrame* first = series_frames()[0];

    // Fits the first frame but not the current one.
    SeriesBuffer* b = buffer_of(bytes_with_footprint(10024));
    EXPECT_EQ(inside(first, b), c.reused);
    EXPECT_EQ(series_frames().size(), c.reused ? 2u : 3u);
  }
}

TEST_F(Memory, BigSeriesFromTheMaximumFootprintOn) {
  // Data areas round up to 16: 2,097,112 and 2,097,120 bytes give a footprint of 2,097,144, the
  // largest a frame takes; 2,097,128 rounds to 2,097,136 (footprint 2,097,160) and is big.
  for (i32 n : {2097112, 2097120}) {
    SeriesBuffer* b = buffer_of(memory::alloc_bytes(n));
    EXPECT_FALSE(b->flags & flag::big) << n;
    EXPECT_EQ(b->size, 2097120u);
    EXPECT_EQ(memory::manager.first_big_series, 0u);
    SeriesFrame* f = series_frames().back();
    EXPECT_TRUE(inside(f, b));
    EXPECT_EQ(data_area(f), 0x200000u) << "a footprint above the next frame size lifts it";
  }
  EXPECT_EQ(series_frames().size(), 2u);

  Ref<Node> at = memory::alloc_bytes(2097128);
  SeriesBuffer* big = buffer_of(at);
  EXPECT_TRUE(big->flags & flag::big);
  EXPECT_EQ(big->size, 2097136u);
  EXPECT_EQ(big->node, at.offset());
  auto* record = arena::at<BigSeries>(memory::manager.first_big_series);
  EXPECT_EQ(record->buffer(), big);
  EXPECT_EQ(record->footprint, 2097160u);
  EXPECT_EQ(record->next, 0u);
  EXPECT_EQ(series_frames().size(), 2u);
  // The big series' whole data area is usable.
  std::memset(big->data(), 0x5A, big->size);

  Ref<Node> second = memory::alloc_cells(200000);
  auto* r2 = arena::at<BigSeries>(record->next);
  EXPECT_EQ(r2->buffer(), buffer_of(second)) << "appended at the end of the big list";
  memory::free_big_series(big);
  EXPECT_EQ(memory::manager.first_big_series, arena::offset_of(r2));
}

TEST_F(Memory, UnitSizesAndZeroSizedRequests) {
  struct Case {
    Ref<Node> node;
    u32 size, unit;
  };
  Case cases[] = {
      {memory::alloc_bytes(0), 16, 1},           {memory::alloc_string_buffer(0, 1), 16, 1},
      {memory::alloc_string_buffer(0, 2), 16, 2}, {memory::alloc_string_buffer(0, 4), 16, 4},
      {memory::alloc_series(3, 2, 0), 16, 2},     {memory::alloc_series(5, 4, 0), 32, 4},
      {memory::alloc_cells(3), 48, 16},           {memory::alloc_bytes(17), 32, 1},
  };
  for (const Case& c : cases) {
    SeriesBuffer* b = buffer_of(c.node);
    EXPECT_EQ(b->size, c.size);
    EXPECT_EQ(b->unit(), c.unit);
    EXPECT_EQ(b->flags, c.unit | flag::in_use | flag::managed);
    EXPECT_EQ(b->head, b->data_offset());
    EXPECT_EQ(b->tail, b->head);
    EXPECT_EQ(b->node, c.node.offset());
  }
  // Buffers lie back to back: header, data, spare word.
  SeriesBuffer* a = buffer_of(cases[0].node);
  EXPECT_EQ(arena::offset_of(buffer_of(cases[1].node)), a->end_offset() + 4);
}

TEST_F(Memory, FilledAndUnsetAllocations) {
  SeriesBuffer* b = buffer_of(memory::alloc_bytes_filled(20, 0xAB));
  ASSERT_EQ(b->size, 32u);
  for (u32 i = 0; i < b->size; ++i) ASSERT_EQ(b->data()[i], std::byte{0xAB});

  // Reused frame memory is dirty: presetting must cover the whole area.
  std::memset(series_frames()[0]->heap + arena::base, 0xFF, 256);
  SeriesBuffer* c = buffer_of(memory::alloc_unset_cells(3));
  auto* cells = reinterpret_cast<Cell*>(c->data());
  for (u32 i = 0; i < c->size / 16; ++i) {
    EXPECT_EQ(cells[i].header, type::unset);
    EXPECT_EQ(cells[i].w1 | cells[i].w2 | cells[i].w3, 0u);
  }
}

TEST_F(Memory, HeadInTheMiddleAndGrowth) {
  Ref<Node> n = memory::alloc_series(40, 1, -1);
  SeriesBuffer* b = buffer_of(n);
  ASSERT_EQ(b->size, 48u);
  EXPECT_EQ(b->head, b->data_offset() + 24);
  EXPECT_TRUE(b->flags & flag::head_inside);
  std::memcpy(b->head_ptr(), "middle", 6);
  b->tail = b->head + 6;
  u32 heap_before = series_frames()[0]->heap;

  SeriesBuffer* old = b;
  b = memory::expand_series(b, 0);
  EXPECT_EQ(b, buffer_of(n)) << "the node follows the buffer";
  EXPECT_EQ(b->size, 96u);
  EXPECT_EQ(b->head, b->data_offset()) << "content moves to the start of the new area";
  EXPECT_EQ(std::string(b->head_ptr<char>(), b->used_bytes()), "middle");
  EXPECT_FALSE(b->flags & flag::head_inside);
  EXPECT_TRUE(b->flags & flag::in_use);
  EXPECT_EQ(b->node, n.offset());
  // The old buffer stays in its frame, abandoned, until compaction.
  EXPECT_EQ(old->node, 0u);
  EXPECT_FALSE(old->flags & flag::in_use);
  EXPECT_EQ(series_frames()[0]->heap, heap_before + 96 + memory::buffer_overhead);
}

TEST_F(Memory, ReallocExpandAndShrink) {
  Ref<Node> n = memory::alloc_cells(4);
  SeriesBuffer* b = buffer_of(n);
  b->flags |= flag::owned;
  auto* cells = reinterpret_cast<Cell*>(b->data());
  for (u32 i = 0; i < 4; ++i) cells[i] = Cell{type::integer, 0, i + 1, 0};
  b->tail = b->head + 64;

  b = memory::expand_series(b, 160);
  EXPECT_EQ(b->size, 160u);
  EXPECT_EQ(b->unit(), 16u);
  EXPECT_TRUE(b->flags & flag::owned) << "same series, same owner";
  EXPECT_EQ(b->used_bytes(), 64u);
  EXPECT_EQ(reinterpret_cast<Cell*>(b->data())[3].w2, 4u);

  // realloc keeps the content's length but not its bytes.
  SeriesBuffer* r = memory::realloc_series(b, 320);
  EXPECT_EQ(r->size, 320u);
  EXPECT_EQ(r->used_bytes(), 64u);
  EXPECT_EQ(buffer_of(n), r);
  r->tail = r->head + 48;
  std::memcpy(r->data(), cells, 48);

  // Shrinking below the content keeps what fits and nothing past the new area.
  SeriesBuffer* s = memory::expand_series(r, 32);
  EXPECT_EQ(s->size, 32u);
  EXPECT_EQ(s->used_bytes(), 32u);
  EXPECT_EQ(reinterpret_cast<Cell*>(s->data())[1].w2, 2u);

  SeriesBuffer* f = memory::expand_series_filled(s, 64, 0xEE);
  EXPECT_EQ(f->size, 64u);
  EXPECT_EQ(reinterpret_cast<Cell*>(f->data())[1].w2, 2u);
  for (u32 i = 32; i < 64; ++i) ASSERT_EQ(f->data()[i], std::byte{0xEE});

  // An empty area doubles to the smallest one instead of failing.
  Ref<Node> empty = memory::alloc_cells(0);
  EXPECT_EQ(buffer_of(empty)->size, 0u);
  EXPECT_EQ(memory::expand_series(buffer_of(empty), 0)->size, 16u);
}

TEST_F(Memory, GrowingAcrossTheBigThresholdSetsAndClearsTheBigFlag) {
  Ref<Node> n = memory::alloc_bytes(0x100000);
  SeriesBuffer* b = memory::expand_series(buffer_of(n), 0);
  EXPECT_TRUE(b->flags & flag::big);
  EXPECT_EQ(b->size, 0x200000u);
  b = memory::expand_series(b, 100);
  EXPECT_FALSE(b->flags & flag::big) << "a frame buffer must not claim to be big";
}

TEST_F(Memory, SizeErrorsAreInternalNoMemory) {
  Ref<Node> n = memory::alloc_bytes(10);
  u32 before = memory::manager.bytes_in_use;
  EXPECT_EQ(internal_error_of([&] { memory::realloc_series(buffer_of(n), -5); }), "no-memory");
  EXPECT_EQ(internal_error_of([&] { memory::alloc_cells(-1); }), "no-memory");
  EXPECT_EQ(internal_error_of([&] { memory::alloc_cells(0x10000000); }), "no-memory");
  EXPECT_EQ(internal_error_of([&] { memory::os_alloc(0xFFFFFFF0u); }), "no-memory");
  EXPECT_EQ(memory::manager.bytes_in_use, before) << "a refused request is never counted";
  EXPECT_EQ(buffer_of(n)->size, 16u);
  EXPECT_EQ(internal_error_of([&] { memory::os_free(12345); }), "wrong-mem");
}

TEST(MemoryDeathTest, ACommitTheSystemRefusesIsRuntimeError94) {
  EXPECT_EXIT(
      {
        memory::init();
        // Two blocks of 3 GiB cannot both fit the 4 GiB arena.
        memory::os_alloc(0xC0000000u);
        memory::os_alloc(0xC0000000u);
      },
      ::testing::ExitedWithCode(94), "Runtime Error 94: out of memory");
}

TEST_F(Memory, CopySeriesMakesAFreshUnownedSeries) {
  Ref<Node> n = memory::alloc_series(30, 2, -1);
  SeriesBuffer* b = buffer_of(n);
  std::memcpy(b->head_ptr(), "a\0b\0c\0", 6);
  b->tail = b->head + 6;
  b->flags |= flag::owned | flag::mark | flag::complement;

  Ref<Node> c = memory::copy_series(b);
  SeriesBuffer* cb = buffer_of(c);
  EXPECT_NE(c, n);
  EXPECT_EQ(cb->size, b->size);
  EXPECT_EQ(cb->unit(), 2u);
  EXPECT_EQ(cb->flags, 2u | flag::in_use | flag::managed | flag::complement);
  EXPECT_EQ(cb->head, cb->data_offset());
  EXPECT_EQ(cb->used_bytes(), 6u);
  EXPECT_EQ(std::memcmp(cb->head_ptr(), "a\0b\0c\0", 6), 0);
  EXPECT_EQ(cb->node, c.offset());
  EXPECT_TRUE(b->flags & flag::owned) << "the source is left alone";
}

TEST_F(Memory, NodeFramesFillAndReuseFreedSlots) {
  std::vector<Ref<Node>> first;
  for (u32 i = 0; i < memory::node_frame_slots; ++i) first.push_back(memory::alloc_node());
  ASSERT_EQ(node_frames().size(), 1u);
  NodeFrame* f1 = node_frames()[0];
  EXPECT_EQ(f1->used, memory::node_frame_slots);
  EXPECT_EQ(f1->free_list, 0u);
  EXPECT_EQ(f1->capacity, 10000u);
  EXPECT_EQ(first[1].offset(), first[0].offset() + 4) << "slots are handed out in order";
  EXPECT_EQ(first[0]->buffer, 0u);

  Ref<Node> n = memory::alloc_node();
  ASSERT_EQ(node_frames().size(), 2u);
  NodeFrame* f2 = node_frames()[1];
  EXPECT_EQ(memory::node_frame_of(n), f2);
  EXPECT_EQ(memory::node_frame_of(first[9999]), f1);
  EXPECT_EQ(memory::manager.bytes_in_use, 2 * node_frame_block);

  // A freed slot in an older frame is taken only once the current frame is full.
  memory::free_node(f1, first[500]);
  EXPECT_EQ(f1->used, 9999u);
  for (u32 i = 1; i < memory::node_frame_slots; ++i) ASSERT_EQ(memory::node_frame_of(memory::alloc_node()), f2);
  Ref<Node> reused = memory::alloc_node();
  EXPECT_EQ(reused, first[500]);
  EXPECT_EQ(reused->buffer, 0u) << "the free-list link is cleared";
  EXPECT_EQ(memory::manager.current_node_frame, arena::offset_of(f1));

  // An evacuated frame is never refilled.
  memory::free_node(f1, first[7]);
  f1->evacuated = 1;
  memory::manager.current_node_frame = arena::offset_of(f2);
  Ref<Node> fresh = memory::alloc_node();
  EXPECT_EQ(node_frames().size(), 3u);
  EXPECT_EQ(memory::node_frame_of(fresh), node_frames()[2]);
}

TEST_F(Memory, UpdateNodeFramesFreesEmptyAndEvacuatedFrames) {
  memory::new_node_frame(memory::node_frame_slots);  // a: stays empty
  NodeFrame* b = memory::new_node_frame(memory::node_frame_slots);
  NodeFrame* c = memory::new_node_frame(memory::node_frame_slots);
  NodeFrame* d = memory::new_node_frame(memory::node_frame_slots);
  memory::manager.current_node_frame = arena::offset_of(b);
  for (int i = 0; i < 3; ++i) memory::alloc_node();
  memory::manager.current_node_frame = arena::offset_of(c);
  memory::alloc_node();
  c->evacuated = 1;
  memory::manager.current_node_frame = arena::offset_of(d);
  memory::alloc_node();

  memory::update_node_frames();
  auto frames = node_frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], b);
  EXPECT_EQ(frames[1], d);
  EXPECT_EQ(memory::manager.first_node_frame, arena::offset_of(b));
  EXPECT_EQ(memory::manager.last_node_frame, arena::offset_of(d));
  EXPECT_EQ(memory::manager.current_node_frame, arena::offset_of(b)) << "the first frame with room";
  EXPECT_EQ(b->prev, 0u);
  EXPECT_EQ(d->prev, arena::offset_of(b));
  EXPECT_EQ(memory::manager.bytes_in_use, 2 * node_frame_block);

  // The history records whether the used count held still since the previous pass.
  EXPECT_EQ(b->stable_history, 0u);
  EXPECT_EQ(b->used_last, 3u);
  memory::update_node_frames();
  memory::alloc_node();  // from b
  memory::update_node_frames();
  EXPECT_EQ(b->stable_history, 0b10u);
  EXPECT_EQ(d->stable_history, 0b11u);
}

TEST_F(Memory, SweepBigSeriesFreesUnmarkedOnesAndTheirNodes) {
  Ref<Node> keep = memory::alloc_bytes(0x300000);
  Ref<Node> drop = memory::alloc_bytes(0x300000);
  Ref<Node> keep2 = memory::alloc_bytes(0x300000);
  buffer_of(keep)->flags |= flag::mark;
  buffer_of(keep2)->flags |= flag::mark;
  NodeFrame* nf = memory::node_frame_of(drop);
  u32 used = nf->used;
  u32 bytes = memory::manager.bytes_in_use;

  memory::sweep_big_series();
  EXPECT_EQ(nf->used, used - 1) << "the dead node is returned to its frame";
  EXPECT_EQ(nf->free_list, drop.offset());
  EXPECT_EQ(memory::manager.bytes_in_use, bytes - 0x301000u);
  BigSeries* r = arena::at<BigSeries>(memory::manager.first_big_series);
  EXPECT_EQ(r->buffer(), buffer_of(keep));
  EXPECT_EQ(arena::at<BigSeries>(r->next)->buffer(), buffer_of(keep2));
  EXPECT_FALSE(buffer_of(keep)->flags & flag::mark);
  EXPECT_FALSE(buffer_of(keep2)->flags & flag::mark);

  memory::sweep_big_series();  // nothing marked now
  EXPECT_EQ(memory::manager.first_big_series, 0u);
}

TEST_F(Memory, UnmanagedSeriesStayOutsideTheFrames) {
  memory::alloc_bytes(10);
  u32 bytes = memory::manager.bytes_in_use;
  Ref<Node> n = memory::alloc_unmanaged_series(100, 16, 32);
  SeriesBuffer* b = buffer_of(n);
  EXPECT_EQ(b->flags, 0xA0100000u | 16);
  EXPECT_EQ(b->size, 1600u);
  EXPECT_EQ(b->head, b->data_offset() + 32);
  EXPECT_EQ(b->node, n.offset());
  EXPECT_FALSE(inside(series_frames()[0], b));
  EXPECT_EQ(memory::manager.bytes_in_use, bytes) << "only frames and big series count there";
  EXPECT_EQ(memory::manager.unmanaged_bytes, 4096u);

  // Growth keeps it unmanaged and out of the frames; the old block goes at the next sweep.
  b->tail = b->head + 16;
  SeriesBuffer* g = memory::expand_series(b, 0x10000);
  EXPECT_EQ(g->flags, 0xA0100000u | 16);
  EXPECT_FALSE(inside(series_frames()[0], g));
  EXPECT_EQ(buffer_of(n), g);
  EXPECT_EQ(memory::manager.unmanaged_bytes, 4096u + 69632u);
  memory::sweep_big_series();
  EXPECT_EQ(memory::manager.unmanaged_bytes, 69632u);

  memory::free_unmanaged_series(n);
  EXPECT_EQ(memory::manager.unmanaged_bytes, 0u);
  EXPECT_EQ(memory::manager.first_unmanaged, 0u);
}

TEST_F(Memory, StatisticsFigures) {
  memory::alloc_bytes(100);                      // footprint 136
  memory::alloc_cells(2);                        // footprint 56
  Ref<Node> big = memory::alloc_bytes(0x200000);  // footprint 0x200018
  memory::alloc_unmanaged_series(10, 1, 0);

  EXPECT_DOUBLE_EQ(memory::stats_total(), 4 * 4 + 136 + 56 + 0x200018);

  collector::enabled = true;
  memory::MemoryFigures m = memory::stats_figures();
  EXPECT_TRUE(collector::enabled) << "the collector's state is restored";
  collector::enabled = false;

  ASSERT_EQ(m.node_frames.size(), 1u);
  EXPECT_EQ(m.node_frames[0].free, 9996u);
  EXPECT_EQ(m.node_frames[0].used, 4u);
  EXPECT_EQ(m.node_frames[0].capacity, 10000u);
  ASSERT_EQ(m.series_frames.size(), 1u);
  EXPECT_EQ(m.series_frames[0].used, 192u);
  EXPECT_EQ(m.series_frames[0].free, 0x100000u - 192);
  EXPECT_EQ(m.series_frames[0].total, 0x100000u);
  ASSERT_EQ(m.big_series.size(), 1u);
  EXPECT_EQ(m.big_series[0], 0x200018u);
  double tracked = static_cast<double>(sys::tracked_bytes()) + 4096;
  EXPECT_DOUBLE_EQ(m.tracked_bytes, tracked);
  EXPECT_DOUBLE_EQ(m.all_bytes, 36 + 40000 + (0x100000 + 20) + (0x200018 + 12) + tracked);
  (void)big;
}

TEST_F(Memory, FreeAllReturnsEverything) {
  u64 committed = arena::committed();
  for (int i = 0; i < 40; ++i) memory::alloc_bytes(60000);
  memory::alloc_bytes(0x250000);
  memory::alloc_unmanaged_series(1000, 4, 0);
  EXPECT_GT(arena::committed(), committed);
  memory::free_all();
  EXPECT_EQ(memory::manager.bytes_in_use, 0u);
  EXPECT_EQ(memory::manager.unmanaged_bytes, 0u);
  EXPECT_EQ(arena::committed(), committed);
  EXPECT_EQ(memory::manager.first_series_frame | memory::manager.first_node_frame |
                memory::manager.first_big_series | memory::manager.current_series_frame,
            0u);
  // And the manager works again from there.
  EXPECT_EQ(buffer_of(memory::alloc_bytes(5))->size, 16u);
}

TEST(MemoryBytes, FillAndReplicate) {
  char buf[32];
  std::memset(buf, '.', sizeof buf);
  auto* s = reinterpret_cast<std::byte*>(buf);
  memory::fill_range(s + 2, s + 5, 'x');
  memory::fill_range(s + 5, s + 2, 'y');  // an inverted range does nothing
  EXPECT_EQ(std::string(buf, 7), "..xxx..");

  struct Case {
    i32 pattern, count;
    const char* expect;
  };
  for (Case c : {Case{3, 5, "abcabcabcabcabc."}, Case{3, 1, "abc............."}, Case{1, 7, "aaaaaaa........."},
                 Case{2, 4, "abababab........"}, Case{0, 5, "abc............."},
                 Case{3, 0, "abc............."}}) {
    std::memset(buf, '.', sizeof buf);
    std::memcpy(buf, "abc", 3);
    std::byte* end = memory::replicate_bytes(s, c.pattern, c.count);
    EXPECT_EQ(std::string(buf, 16), c.expect) << c.pattern << " x " << c.count;
    EXPECT_EQ(end - s, c.pattern > 0 && c.count > 0 ? c.pattern * c.count : 0);
  }
}

}  // namespace
