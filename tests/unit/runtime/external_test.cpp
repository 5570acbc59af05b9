#include "runtime/external.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace kiv;

namespace {

std::vector<void*> released;
void record_release(void* object) { released.push_back(object); }
void throwing_release(void* object) {
  released.push_back(object);
  throw 1;
}

void* obj(uintptr_t n) { return reinterpret_cast<void*>(n * 16); }

class Externals : public ::testing::Test {
 protected:
  u32 kind = 0, silent = 0;
  void SetUp() override {
    released.clear();
    saved_ = std::move(externals::table);
    externals::table = externals::Table{};
    externals::init();
    kind = externals::register_kind("image", record_release);
    silent = externals::register_kind("font", nullptr);
  }
  void TearDown() override { externals::table = std::move(saved_); }

 private:
  externals::Table saved_;
};

}  // namespace

TEST_F(Externals, SlotsComeFromTheFreeListAndTheTableDoublesKeepingIndexes) {
  EXPECT_EQ(kind, 1u);
  EXPECT_EQ(silent, 2u);
  EXPECT_EQ(externals::capacity(), 1000u);
  for (u32 i = 0; i < 999; ++i) ASSERT_EQ(externals::add(obj(i + 1), kind), static_cast<i32>(i));
  EXPECT_EQ(externals::capacity(), 1000u);
  // The 1,000th registration takes the last free slot: the table doubles first.
  EXPECT_EQ(externals::add(obj(1000), kind), 999);
  EXPECT_EQ(externals::capacity(), 2000u);
  EXPECT_EQ(externals::add(obj(1001), kind), 1000);
  EXPECT_EQ(externals::table.slots[5].object, obj(6)) << "slots given out before keep their objects";
  EXPECT_EQ(externals::used_count(), 1001u);

  // Newest first.
  std::vector<void*> seen;
  externals::for_each_of_kind(kind, [&](u32 k, void* o) {
    EXPECT_EQ(k, kind);
    seen.push_back(o);
  });
  ASSERT_EQ(seen.size(), 1001u);
  EXPECT_EQ(seen.front(), obj(1001));
  EXPECT_EQ(seen.back(), obj(1));
}

TEST_F(Externals, ReplaceAndRemove) {
  i32 a = externals::add(obj(1), kind);
  i32 b = externals::add(obj(2), kind);
  externals::replace_object(a, obj(1));
  EXPECT_TRUE(released.empty()) << "the same object is not released";
  externals::replace_object(a, obj(3));
  EXPECT_EQ(released, std::vector<void*>{obj(1)});

  EXPECT_EQ(externals::remove(a, false), -1);
  EXPECT_EQ(released.size(), 1u);
  EXPECT_EQ(externals::table.slots[static_cast<u32>(a)].flags, externals::free_flags);
  EXPECT_EQ(externals::add(obj(4), kind), a) << "the freed slot is the next one taken";
  externals::remove(b, true);
  EXPECT_EQ(released.back(), obj(2));
  EXPECT_EQ(externals::used_count(), 1u);

  // Removal from the middle of the used list keeps the list whole.
  i32 c = externals::add(obj(5), kind), d = externals::add(obj(6), silent);
  externals::remove(c, true);
  std::vector<void*> left;
  for (u32 k : {kind, silent}) externals::for_each_of_kind(k, [&](u32, void* o) { left.push_back(o); });
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<void*>{obj(4), obj(6)}));
  (void)d;
}

TEST_F(Externals, SweepFreesUnmarkedSlotsAndDefersTheirRelease) {
  i32 kept = externals::add(obj(1), kind);
  i32 lost = externals::add(obj(2), kind);
  i32 lost_silent = externals::add(obj(3), silent);
  i32 kept_last = externals::add(obj(4), kind);

  EXPECT_EQ(externals::mark(kept, nullptr), 1);
  EXPECT_EQ(externals::mark(kept, nullptr), 0) << "already marked";
  EXPECT_EQ(externals::mark(kept_last, obj(40)), 1);
  EXPECT_EQ(externals::mark(5000, nullptr), 0) << "a stale index marks nothing";
  EXPECT_EQ(externals::mark(-1, nullptr), 0);

  externals::sweep();
  EXPECT_TRUE(released.empty()) << "no release procedure runs inside the collection";
  EXPECT_EQ(externals::used_count(), 2u);
  EXPECT_EQ(externals::table.slots[static_cast<u32>(kept_last)].object, obj(40));
  EXPECT_EQ(externals::table.slots[static_cast<u32>(kept)].flags & externals::mark_bit, 0u) << "marks cleared";
  EXPECT_EQ(externals::table.slots[static_cast<u32>(lost)].flags, externals::free_flags);
  EXPECT_EQ(externals::table.slots[static_cast<u32>(lost_silent)].flags, externals::free_flags);

  externals::run_pending_releases();
  EXPECT_EQ(released, std::vector<void*>{obj(2)}) << "a kind without a release procedure calls nothing";
  externals::run_pending_releases();
  EXPECT_EQ(released.size(), 1u) << "each release runs once";

  // The freed indexes are reused; the next sweep without marks frees everything.
  i32 again = externals::add(obj(5), kind);
  EXPECT_TRUE(again == lost || again == lost_silent);
  externals::sweep();
  EXPECT_EQ(externals::used_count(), 0u);
}

TEST_F(Externals, AThrowingReleaseLeavesTheRestQueued) {
  u32 bad = externals::register_kind("com-object", throwing_release);
  externals::add(obj(1), kind);
  externals::add(obj(2), bad);
  externals::add(obj(3), kind);
  externals::sweep();  // newest first: 3, 2 (throws), 1
  EXPECT_THROW(externals::run_pending_releases(), int);
  EXPECT_EQ(released, (std::vector<void*>{obj(3), obj(2)}));
  externals::run_pending_releases();
  EXPECT_EQ(released.back(), obj(1));
  EXPECT_EQ(released.size(), 3u);
}

TEST(ExternalsDeathTest, RemovingAFreeSlotIsCaught) {
  auto saved = std::move(externals::table);
  externals::table = externals::Table{};
  externals::init();
  i32 i = externals::add(obj(1), 0);
  externals::remove(i, false);
  EXPECT_DEATH(externals::remove(i, false), "not in use");
  externals::table = std::move(saved);
}
