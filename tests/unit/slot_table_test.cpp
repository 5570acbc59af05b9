#include "runtime/slot_table.h"

#include <gtest/gtest.h>

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
  Cell first = test::ints({1, 2, 3});
  slots::add(&first);
  Cell v = test::int_cell(0);
  for (i32 i = 2; i <= 100; ++i) slots::add(&v);
  i32 again = slots::add(slots::cell_at(1));
  EXPECT_EQ(again, 101);
  const Cell* copy = slots::cell_at(101);
  EXPECT_EQ(copy->type(), type::block);
  EXPECT_EQ(copy->w2, first.w2);
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
