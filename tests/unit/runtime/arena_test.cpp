#include "runtime/arena.h"

#include <gtest/gtest.h>

using namespace kiv;

TEST(Arena, TakesLowestFreeBlockFirstAndCoalesces) {
  arena::init();
  u32 a = arena::take(4096);
  u32 b = arena::take(8192);
  u32 c = arena::take(4096);
  ASSERT_NE(a, 0u);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  // Freshly committed memory reads as zero and is writable.
  EXPECT_EQ(*arena::at<u32>(b), 0u);
  *arena::at<u32>(b) = 42;
  arena::give_back(a, 4096);
  arena::give_back(b, 8192);
  // a and b coalesce into one range of three pages, reused from its lowest address.
  u32 d = arena::take(3 * 4096);
  EXPECT_EQ(d, a);
  EXPECT_EQ(*arena::at<u32>(d + 4096), 0u) << "a returned block must not keep old data";
  arena::give_back(d, 3 * 4096);
  arena::give_back(c, 4096);
}

TEST(Arena, RefIsA32BitOffset) {
  arena::init();
  u32 off = arena::take(16);
  Ref<u32> r(off);
  *r = 7;
  EXPECT_EQ(Ref<u32>::of(r.get()), r);
  EXPECT_EQ(sizeof(r), 4u);
  EXPECT_FALSE(Ref<u32>());
  arena::give_back(off, 16);
}
