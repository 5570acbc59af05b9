// The pointer map: sizing, put/get/update/delete, iteration, growth and rehashing in place, checked
// against a std::unordered_map model.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <unordered_map>

#include "runtime/pointer_map.h"
#include "runtime/sys.h"

namespace kiv {
namespace {

namespace pm = pointer_map;

// Frees the map at the end of a test.
struct Owned {
  pm::PointerMap* m;
  explicit Owned(i32 n) : m(pm::make(n)) {}
  ~Owned() { pm::free(m); }
  pm::PointerMap* operator->() const { return m; }
};

TEST(PointerMap, Sizing) {
  struct Case {
    i32 n, buckets, upper;
  };
  for (const Case& c : {Case{0, 8, 6}, Case{4, 8, 6}, Case{-3, 8, 6}, Case{7, 16, 12}, Case{1000, 2048, 1576}}) {
    Owned m(c.n);
    EXPECT_EQ(m->n_buckets, c.buckets) << c.n;
    EXPECT_EQ(m->upper_bound, c.upper) << c.n;
    EXPECT_EQ(pm::size(m.m), 0);
    EXPECT_EQ(pm::next(m.m, nullptr), nullptr);
  }
}

TEST(PointerMap, PutGetUpdateDelete) {
  Owned m(0);
  EXPECT_EQ(pm::get(m.m, 0x1000), nullptr);
  EXPECT_EQ(pm::find(m.m, 0x1000), -1);
  pm::put(m.m, 0x1000, 1);
  pm::put(m.m, 0, 2);  // 0 is a key like any other
  pm::put(m.m, 0x1000, 3);
  EXPECT_EQ(pm::size(m.m), 2);
  ASSERT_NE(pm::get(m.m, 0x1000), nullptr);
  EXPECT_EQ(*pm::get(m.m, 0x1000), 3u) << "put updates";
  EXPECT_EQ(*pm::get(m.m, 0), 2u);
  i32 b = pm::find(m.m, 0x1000);
  ASSERT_GE(b, 0);
  EXPECT_EQ(m->entries[b].key, 0x1000u);
  *pm::get(m.m, 0) = 7;  // the value's address is writable
  EXPECT_EQ(*pm::get(m.m, 0), 7u);
  pm::delete_(m.m, 0x1000);
  pm::delete_(m.m, 0x1000);
  EXPECT_EQ(pm::size(m.m), 1);
  EXPECT_EQ(pm::get(m.m, 0x1000), nullptr);
  pm::put(m.m, 0x1000, 9);
  EXPECT_EQ(*pm::get(m.m, 0x1000), 9u);
  EXPECT_EQ(m->n_occupied, 2) << "the deleted bucket was reused";
  pm::clear(m.m);
  EXPECT_EQ(pm::size(m.m), 0);
  EXPECT_EQ(pm::get(m.m, 0), nullptr);
  EXPECT_EQ(pm::next(m.m, nullptr), nullptr);
}

TEST(PointerMap, RehashesInPlaceWhenHalfDeleted) {
  Owned m(0);
  for (u32 k = 1; k <= 6; ++k) pm::put(m.m, k * 64, k);
  for (u32 k = 1; k <= 5; ++k) pm::delete_(m.m, k * 64);
  pm::put(m.m, 7 * 64, 7);
  EXPECT_EQ(m->n_buckets, 8);
  EXPECT_EQ(m->n_occupied, 2);
  EXPECT_EQ(*pm::get(m.m, 6 * 64), 6u);
  EXPECT_EQ(*pm::get(m.m, 7 * 64), 7u);
  // Without deletions the same fill doubles.
  Owned d(0);
  for (u32 k = 1; k <= 7; ++k) pm::put(d.m, k * 64, k);
  EXPECT_EQ(d->n_buckets, 16);
}

TEST(PointerMap, AgreesWithAModel) {
  Owned m(0);
  std::unordered_map<u32, u32> model;
  std::mt19937 rng(77);
  for (int i = 0; i < 50000; ++i) {
    u32 key = (rng() % 4096) * 16;  // node-like addresses, many repeats
    switch (rng() % 3) {
      case 0:
      case 1:
        pm::put(m.m, key, static_cast<u32>(i));
        model[key] = static_cast<u32>(i);
        break;
      default:
        pm::delete_(m.m, key);
        model.erase(key);
    }
  }
  ASSERT_EQ(pm::size(m.m), static_cast<i32>(model.size()));
  EXPECT_LT(m->n_occupied, m->upper_bound);
  for (auto [k, v] : model) {
    u32* got = pm::get(m.m, k);
    ASSERT_NE(got, nullptr) << k;
    ASSERT_EQ(*got, v) << k;
  }
  // Iteration visits each live entry once.
  std::unordered_map<u32, u32> seen;
  for (pm::Entry* e = pm::next(m.m, nullptr); e; e = pm::next(m.m, e)) seen[e->key] = e->value;
  EXPECT_EQ(seen, model);
  // Explicit resizes, down to the smallest that fits and up again, keep every entry.
  i32 n = static_cast<i32>(model.size());
  EXPECT_EQ(pm::resize(m.m, 4), 0);
  EXPECT_EQ(pm::size(m.m), n) << "too small: unchanged";
  EXPECT_EQ(pm::resize(m.m, n * 2), 0);
  EXPECT_EQ(m->n_buckets, static_cast<i32>(std::bit_ceil(static_cast<u32>(n * 2))));
  EXPECT_EQ(pm::resize(m.m, 1 << 16), 0);
  EXPECT_EQ(m->n_buckets, 1 << 16);
  for (auto [k, v] : model) ASSERT_EQ(*pm::get(m.m, k), v) << k;
  EXPECT_EQ(pm::resize(m.m, 1 << 30), -1) << "beyond what the entry array can hold";
  EXPECT_EQ(m->n_buckets, 1 << 16);
}

}  // namespace
}  // namespace kiv
