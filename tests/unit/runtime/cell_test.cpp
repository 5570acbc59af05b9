#include "runtime/cell.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

using namespace kiv;

namespace {

class CellHelpers : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

Cell float_cell(double d) {
  Cell c{type::float_, 0, 0, 0};
  c.set_double(d);
  return c;
}

}  // namespace

TEST_F(CellHelpers, ReserveTailCellDoublesAFullBlockAndKeepsItsCells) {
  Ref<Node> node = memory::alloc_cells(2);
  RootNode keep(node);
  for (i32 i = 0; i < 2; ++i) cell::reserve_tail_cell(buffer_of(node))->w2 = static_cast<u32>(100 + i);
  SeriesBuffer* before = buffer_of(node);
  ASSERT_EQ(before->size, 32u);
  ASSERT_EQ(before->used_bytes(), 32u);

  Cell* c = cell::reserve_tail_cell(before);
  c->w2 = 102;
  SeriesBuffer* after = buffer_of(node);
  EXPECT_NE(after, before) << "a full block moves to a larger buffer";
  EXPECT_EQ(after->size, 64u);
  EXPECT_EQ(after->used_bytes(), 48u);
  EXPECT_EQ(c, after->head_ptr<Cell>() + 2);
  EXPECT_EQ(c->type(), type::unset);
  for (u32 i = 0; i < 3; ++i) EXPECT_EQ(after->head_ptr<Cell>()[i].w2, 100 + i);

  // append_slot reaches the same buffer through a block cell.
  Cell blk{type::block, 0, node.offset(), 0};
  Cell* d = cell::append_slot(&blk);
  EXPECT_EQ(d, buffer_of(node)->head_ptr<Cell>() + 3);
  EXPECT_EQ(buffer_of(node)->used_bytes(), 64u);
}

TEST_F(CellHelpers, ReserveTailCellGrowsAnEmptyDataArea) {
  // Doubling a zero-sized area would give zero: it gets room instead of failing.
  Ref<Node> node = memory::alloc_cells(0);
  RootNode keep(node);
  ASSERT_EQ(buffer_of(node)->size, 0u);
  Cell* c = cell::reserve_tail_cell(buffer_of(node));
  EXPECT_EQ(c->type(), type::unset);
  EXPECT_GE(buffer_of(node)->size, 16u);
  EXPECT_EQ(buffer_of(node)->used_bytes(), 16u);
}

TEST_F(CellHelpers, ReserveTailBytesGrowsToTwiceTheSizeOrTwiceTheRequest) {
  struct Case {
    i32 size, used, n;
    u32 expected_size;  // data size after the call
  } cases[] = {
      {32, 20, 12, 32},   // fits exactly: no growth
      {32, 20, 13, 64},   // twice the old size
      {32, 0, 40, 80},    // the request is larger than the old size: twice the request
      {32, 32, 32, 64},   // n equal to the size doubles
      {0, 0, 5, 16},      // 2 x 5 rounded to the 16-byte grain
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "size " << k.size << " used " << k.used << " n " << k.n);
    Ref<Node> node = k.size ? memory::alloc_bytes_filled(k.size, 0xAB) : memory::alloc_series(0, 1, 0);
    RootNode keep(node);
    SeriesBuffer* b = buffer_of(node);
    b->tail = b->head + static_cast<u32>(k.used);
    std::byte* old_tail = cell::reserve_tail_bytes(b, static_cast<u32>(k.n));
    b = buffer_of(node);
    EXPECT_EQ(b->size, k.expected_size);
    EXPECT_EQ(old_tail, b->head_ptr() + k.used) << "the answer is the old tail in the current buffer";
    EXPECT_EQ(b->used_bytes(), static_cast<u32>(k.used + k.n));
    for (i32 i = 0; i < k.used; ++i) ASSERT_EQ(b->head_ptr()[i], std::byte{0xAB}) << "content kept at " << i;
  }
}

TEST_F(CellHelpers, ToInt32Checked) {
  struct Case {
    Cell value{};
    bool raises;
    i32 expected;
  } cases[] = {
      {float_cell(2147483647.0), false, 2147483647},
      {float_cell(-2147483648.0), false, std::numeric_limits<i32>::min()},
      {float_cell(-1.9), false, -1},
      {float_cell(1.9), false, 1},
      {float_cell(2147483647.5), true, 0},
      {float_cell(-2147483649.0), true, 0},
      {float_cell(std::nan("")), true, 0},
      {float_cell(INFINITY), true, 0},
      {test::int_cell(-7), false, -7},
      {Cell{type::char_, 0, 0x10FFFF, 0}, false, 0x10FFFF},
  };
  for (const Case& k : cases) {
    if (!k.raises) {
      EXPECT_EQ(cell::to_int32_checked(&k.value), k.expected);
      continue;
    }
    try {
      cell::to_int32_checked(&k.value);
      ADD_FAILURE() << "no error for " << k.value.as_double();
    } catch (const LanguageError& e) {
      EXPECT_EQ(e.category, ErrorCategory::script);
      EXPECT_STREQ(e.id, "out-of-range");
      ASSERT_EQ(e.arg_count, 1u);
      EXPECT_EQ(std::memcmp(&e.args[0], &k.value, sizeof(Cell)), 0) << "the error carries the value";
    }
  }
}

TEST_F(CellHelpers, RaiseErrorCarriesItsArguments) {
  Cell a = test::int_cell(1), b = test::int_cell(2), c = test::int_cell(3);
  try {
    raise_error(ErrorCategory::user, "message", a, b, c);
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::user);
    EXPECT_STREQ(e.id, "message");
    ASSERT_EQ(e.arg_count, 3u);
    EXPECT_EQ(e.args[0].as_int() + e.args[1].as_int() + e.args[2].as_int(), 6);
  }
  try {
    raise_error(ErrorCategory::internal, "no-memory");
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.arg_count, 0u);
  }
}

TEST_F(CellHelpers, TypesetsHoldOneBitPerType) {
  Cell ts{type::typeset, 0, 0, 0};
  cell::typeset_add(&ts, type::integer);
  cell::typeset_add(&ts, type::block);
  cell::typeset_add(&ts, type::event);
  // Byte t >> 3 of the payload under 0x80 >> (t & 7): block! (5) is byte 0 under 0x04, integer!
  // (11) byte 1 under 0x10, event! (54) byte 6 (in word 2) under 0x02.
  u8 bytes[12];
  std::memcpy(bytes, &ts.w1, 12);
  EXPECT_EQ(bytes[0], 0x04);
  EXPECT_EQ(bytes[1], 0x10);
  EXPECT_EQ(bytes[6], 0x02);
  EXPECT_TRUE(cell::typeset_has(&ts, type::event));
  EXPECT_FALSE(cell::typeset_has(&ts, type::string));
  EXPECT_FALSE(cell::typeset_has(&ts, 200));
}
