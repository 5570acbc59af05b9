#include "runtime/slot_table.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/collector.h"
#include "runtime/external.h"
#include "tests/unit/core_fixture.h"

using namespace kiv;

namespace {

class SlotTable : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    slots::init();
  }
};

}  // namespace

TEST_F(SlotTable, The101stAddDoublesTheTableAndKeepsEveryValue) {
  for (i32 i = 1; i <= 100; ++i) {
    Cell v = test::int_cell(i * 10);
    ASSERT_EQ(slots::add(&v), i);
  }
  EXPECT_EQ(slots::capacity(), 100);
  Cell v = test::int_cell(1010);
  EXPECT_EQ(slots::add(&v), 101);
  EXPECT_EQ(slots::capacity(), 200);
  for (i32 i = 1; i <= 101; ++i) ASSERT_EQ(slots::cell_at(i)->as_int(), i * 10) << i;
  // The whole capacity is the block's content, so the collector sees every slot.
  EXPECT_EQ(buffer_of(Ref<Node>(slots::block.w2))->used_bytes(), 200 * sizeof(Cell));
  // Free slots are integer! cells chaining to the next free slot.
  EXPECT_EQ(slots::cell_at(101)->type(), type::integer);
  EXPECT_EQ(slots::free_head, 101);
}

TEST_F(SlotTable, LastFreedIsFirstReused) {
  Cell v = test::int_cell(1);
  for (i32 i = 0; i < 5; ++i) slots::add(&v);
  slots::free(0);  // ignored
  slots::free(3);
  slots::free(2);
  EXPECT_EQ(slots::add(&v), 2);
  EXPECT_EQ(slots::add(&v), 3);
  EXPECT_EQ(slots::add(&v), 6);
}

TEST_F(SlotTable, AddingAValueThatLivesInTheTableWhileItGrows) {
  // The growth moves the table's buffer; the value is read before that.
  Cell& first = test::ints({1, 2, 3});
  slots::add(&first);
  Cell v = test::int_cell(0);
  for (i32 i = 2; i <= 100; ++i) slots::add(&v);
  i32 again = slots::add(slots::cell_at(1));
  EXPECT_EQ(again, 101);
  const Cell* copy = slots::cell_at(101);
  EXPECT_EQ(copy->type(), type::block);
  EXPECT_EQ(copy->w2, first.w2);
}

namespace {
// Watches one node through collections: a sweep callback asks the collector whether it is alive.
u32 watched = 0;
bool watched_alive = false;
void watch() {
  watched_alive = collector::alive(watched);
  if (watched_alive) watched = collector::remap(watched);
}
std::vector<void*> released;
void record_release(void* object) { released.push_back(object); }
}  // namespace

TEST_F(SlotTable, AValueKeptOnlyHereSurvivesCollectionsUntilFreed) {
  collector::add_sweep_callback(watch);
  Ref<Node> node = memory::alloc_cells(3);
  SeriesBuffer* nb = buffer_of(node);
  for (i32 k = 0; k < 3; ++k) nb->head_ptr<Cell>()[k] = test::int_cell(4 + k);
  nb->tail = nb->head + 3 * sizeof(Cell);
  Cell blk{type::block, 0, node.offset(), 0};
  i32 i = slots::add(&blk);
  watched = blk.w2;
  blk = test::none_cell();  // from now on only the table holds the block
  for (int round = 0; round < 3; ++round) {
    collector::collect();
    ASSERT_TRUE(watched_alive) << "round " << round;
  }
  const Cell* kept = slots::cell_at(i);
  EXPECT_EQ(kept->w2, watched) << "the slot follows its node when it moves";
  SeriesBuffer* b = buffer_of(Ref<Node>(kept->w2));
  ASSERT_EQ(b->used_bytes(), 3 * sizeof(Cell));
  EXPECT_EQ(b->head_ptr<Cell>()[2].as_int(), 6);

  slots::free(i);
  collector::collect();
  EXPECT_FALSE(watched_alive) << "a freed slot no longer keeps its value";
  collector::remove_sweep_callback(watch);
}

TEST_F(SlotTable, AHandleInTheTableKeepsItsExternalResource) {
  auto saved = std::move(externals::table);
  externals::table = externals::Table{};
  externals::init();
  // handle! marks its external-resource slot, as its unit registers it.
  collector::set_mark_procedure(type::handle, collector::mark_handle);
  released.clear();
  u32 kind = externals::register_kind("bitmap", record_release);
  int bitmap = 0, orphan = 0;
  i32 ext = externals::add(&bitmap, kind);
  externals::add(&orphan, kind);
  Cell handle{type::handle, 0, 0, static_cast<u32>(ext)};
  i32 i = slots::add(&handle);

  collector::collect();
  EXPECT_EQ(released, std::vector<void*>{&orphan}) << "released once the collection is over";
  EXPECT_EQ(externals::used_count(), 1u);
  slots::free(i);
  collector::collect();
  EXPECT_EQ(released, (std::vector<void*>{&orphan, &bitmap}));
  EXPECT_EQ(externals::used_count(), 0u);
  externals::table = std::move(saved);
}

TEST(SlotTableDeathTest, FreeingASlotTwiceIsCaught) {
  test::boot_core();
  slots::init();
  Cell v = test::int_cell(5);
  i32 i = slots::add(&v);
  slots::free(i);
  EXPECT_DEATH(slots::free(i), "freed twice");
  EXPECT_DEATH(slots::cell_at(i), "not in use");
  EXPECT_DEATH(slots::free(500), "out of range");
}
