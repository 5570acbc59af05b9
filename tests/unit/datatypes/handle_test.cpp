// handle!: made only by the run-time, so its texts, its comparison and the handle table are tested
// here.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/dispatch.h"
#include "datatypes/handle.h"
#include "datatypes/integer.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

Cell H(i32 value, u32 kind) {
  Cell c;
  return *handle::make_at(&c, value, kind);
}

class HandleTest : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

TEST_F(HandleTest, Texts) {
  struct Case {
    Cell h;
    const char* form;
    const char* mold_all;
  };
  const Case cases[] = {
      {H(0, handle::kind::null), "00000000h", "#[handle! 00000000h]"},
      {H(0xA01F2, handle::kind::window), "000A01F2h", "#[handle! 000A01F2h window]"},
      {H(3, handle::kind::fd), "00000003h", "#[handle! 00000003h fd]"},
      {H(-1, handle::kind::rich_text), "FFFFFFFFh", "#[handle! FFFFFFFFh rich-text]"},
      {H(0x1A2B4, handle::kind::monitor), "0001A2B4h", "#[handle! 0001A2B4h monitor]"},
      {H(16, handle::kind::font), "00000010h", "#[handle! 00000010h font]"},
      {H(5, 77), "00000005h", "#[handle! 00000005h]"},  // a kind without a name shows none
  };
  for (const Case& c : cases) {
    EXPECT_EQ(test::form_text(c.h), c.form);
    EXPECT_EQ(test::mold_text(c.h), "handle!");
    EXPECT_EQ(test::mold_text(c.h, false, true), c.mold_all);
  }
}

// Handles order by value as signed numbers under every operator, kinds aside; other types are
// unequal, even an integer of the same value.
TEST_F(HandleTest, Comparison) {
  const Cell a = H(1, handle::kind::window), b = H(2, handle::kind::fd), minus = H(-1, handle::kind::fd);
  const Cell same = H(1, handle::kind::font), one = test::int_cell(1);
  for (i32 op : {compare_op::equal, compare_op::strict_equal, compare_op::lesser, compare_op::same,
                 compare_op::find}) {
    EXPECT_EQ(actions::dispatch_compare(&a, &same, op), 0) << op;
    EXPECT_LT(actions::dispatch_compare(&a, &b, op), 0) << op;
    EXPECT_LT(actions::dispatch_compare(&minus, &a, op), 0) << op;
    EXPECT_NE(actions::dispatch_compare(&a, &one, op), 0) << op;
  }
  EXPECT_FALSE(actions::compare(&one, &a, compare_op::equal));
}

TEST_F(HandleTest, TableGivesEachObjectOneValue) {
  int x = 0, y = 0;
  const i32 vx = handle::enter(&x), vy = handle::enter(&y);
  EXPECT_NE(vx, 0);
  EXPECT_NE(vx, vy);
  EXPECT_EQ(handle::enter(&x), vx);
  EXPECT_EQ(handle::enter(nullptr), 0);
  EXPECT_EQ(handle::object_of(vx), &x);
  EXPECT_EQ(handle::object_of(0), nullptr);
  EXPECT_EQ(handle::object_of(vy + 1000), nullptr);
  handle::forget(&x);
  EXPECT_EQ(handle::object_of(vx), nullptr);
  const i32 again = handle::enter(&x);
  EXPECT_NE(again, vx);  // a forgotten value is not given to anything again
  EXPECT_EQ(handle::object_of(again), &x);
}

// The language never makes one: every action but form, mold and comparison is refused, nothing
// comes from integer!.
TEST_F(HandleTest, OnlyItsOwnActions) {
  const action::Row& row = datatype::row(type::handle);
  EXPECT_EQ(row.add, nullptr);
  EXPECT_EQ(row.make, nullptr);
  EXPECT_EQ(row.to, nullptr);
  EXPECT_EQ(row.random, nullptr);
  EXPECT_NE(row.form, nullptr);
}

}  // namespace
}  // namespace kiv
