#include "runtime/array.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/collector.h"
#include "runtime/roots.h"
#include "tests/unit/core_fixture.h"

using namespace kiv;

namespace {

class InternalArray : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }

  static std::vector<i32> ints_of(Ref<Node> a) {
    std::vector<i32> out;
    for (i32 p = 1; p <= array::length(a); ++p) out.push_back(array::pick_int32(a, p));
    return out;
  }
  static Ref<Node> int_array(std::initializer_list<i32> values) {
    Ref<Node> a = array::make(static_cast<i32>(values.size()), 4);
    for (i32 v : values) array::append_int32(a, v);
    return a;
  }
};

}  // namespace

TEST_F(InternalArray, FindCutAndInsert) {
  Ref<Node> empty = array::make(4, 4);
  RootNode k0(empty);
  EXPECT_EQ(array::length(empty), 0);
  EXPECT_EQ(array::find_int32(empty, 7), -1);
  EXPECT_EQ(array::flags(empty) & series_flag::unit_mask, 4u);

  Ref<Node> a = int_array({7, 9, 7});
  RootNode k1(a);
  EXPECT_EQ(array::find_int32(a, 7), 0);
  EXPECT_EQ(array::find_int32(a, 9), 4);
  EXPECT_EQ(array::find_int32(a, 8), -1);
  array::poke_int32(a, 2, -5);
  EXPECT_EQ(ints_of(a), (std::vector<i32>{7, -5, 7}));
  array::cut(a, 2);
  EXPECT_EQ(ints_of(a), (std::vector<i32>{7}));
  array::cut(a, 1);
  EXPECT_EQ(array::length(a), 0);

  struct Case {
    i32 index;
    std::vector<i32> expected;
  } cases[] = {{0, {99, 1, 2}}, {1, {1, 99, 2}}, {2, {1, 2, 99}}};
  for (const Case& k : cases) {
    Ref<Node> b = int_array({1, 2});
    RootNode kb(b);
    array::insert_int32(b, 99, k.index);
    EXPECT_EQ(ints_of(b), k.expected) << "index " << k.index;
  }
  // Inserting into an array made with no room at all.
  Ref<Node> z = array::make(0, 4);
  RootNode kz(z);
  array::insert_int32(z, 3, 0);
  array::insert_int32(z, 4, 0);
  EXPECT_EQ(ints_of(z), (std::vector<i32>{4, 3}));
}

TEST_F(InternalArray, GrowthKeepsTheElementsAndCopiesAreIndependent) {
  Ref<Node> a = array::make(1, 4);
  RootNode k(a);
  for (i32 i = 0; i < 1000; ++i) array::append_int32(a, i * 3);
  ASSERT_EQ(array::length(a), 1000);
  for (i32 p = 1; p <= 1000; ++p) ASSERT_EQ(array::pick_int32(a, p), (p - 1) * 3);
  array::remove_bytes(a, 4, 8);  // elements 2 and 3
  EXPECT_EQ(array::length(a), 998);
  EXPECT_EQ(array::pick_int32(a, 2), 9);

  Ref<Node> c = array::copy(a);
  RootNode kc(c);
  array::poke_int32(c, 1, -1);
  EXPECT_EQ(array::pick_int32(a, 1), 0);
  EXPECT_EQ(array::length(c), 998);
  array::clear(a);
  EXPECT_EQ(array::length(a), 0);
  EXPECT_EQ(array::length(c), 998);

  // The node-in-a-cell entry form.
  Cell holder{type::binary, 0, a.offset(), 0};
  array::append_int32(&holder, 42);
  EXPECT_EQ(array::pick_int32(a, 1), 42);
}

TEST_F(InternalArray, BytesEvenFromTheArrayItself) {
  Ref<Node> a = array::make(4, 1);
  RootNode k(a);
  std::byte* first = array::append_bytes(a, "abcd", 4);
  EXPECT_EQ(first, buffer_of(a)->head_ptr());
  array::append_byte(a, 'e');
  EXPECT_EQ(array::length(a), 5);
  // The source lies in the buffer that the append must grow.
  for (int round = 0; round < 4; ++round) {
    array::append_bytes(a, buffer_of(a)->head_ptr(), static_cast<u32>(array::length(a)));
  }
  ASSERT_EQ(array::length(a), 80);
  std::string got(reinterpret_cast<const char*>(buffer_of(a)->head_ptr()), 80);
  std::string unit = "abcde";
  std::string expected;
  for (int i = 0; i < 16; ++i) expected += unit;
  EXPECT_EQ(got, expected);
  EXPECT_EQ(array::pick_byte(a, 7), 'b');
}

TEST_F(InternalArray, PointerArrays) {
  Ref<Node> a = array::make(2, sizeof(void*));
  RootNode k(a);
  int x, y, z;
  array::append_pointer(a, &x);
  array::append_pointer(a, &y);
  array::append_pointer(a, &z);
  EXPECT_EQ(array::length(a), 3);
  EXPECT_EQ(array::find_pointer(a, &y), static_cast<i32>(sizeof(void*)));
  EXPECT_EQ(array::remove_pointer(a, &y), static_cast<i32>(sizeof(void*)));
  EXPECT_EQ(array::remove_pointer(a, &y), -1);
  EXPECT_EQ(array::length(a), 2);
  EXPECT_EQ(array::pick_pointer(a, 2), &z);
}

TEST_F(InternalArray, InsertingWhileEveryAllocationMovesTheArray) {
  Ref<Node> a = array::make(1, 4);
  RootNode keep(a);
  const bool enabled = collector::enabled;
  const u32 every = collector::torture_every;
  collector::enabled = true;
  collector::set_torture(1);  // each growth collects and moves every buffer and node
  for (i32 i = 0; i < 40; ++i) array::insert_int32(a, i, 0);
  collector::set_torture(every);
  collector::enabled = enabled;
  std::vector<i32> want;
  for (i32 i = 39; i >= 0; --i) want.push_back(i);
  EXPECT_EQ(ints_of(a), want);
}
