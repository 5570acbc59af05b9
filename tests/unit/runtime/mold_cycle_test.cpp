#include <gtest/gtest.h>

#include <string>

#include "runtime/mold.h"

using namespace kiv;

namespace {

class CycleStack : public ::testing::Test {
 protected:
  void SetUp() override { mold::reset_cycles(); }
  void TearDown() override { mold::reset_cycles(); }
};

Ref<Node> node(u32 n) { return Ref<Node>(0x1000 + 4 * n); }

// A walk over a chain of nested nodes in the way mold walks blocks; it fails at `fail_at` depth.
void walk(u32 depth, u32 fail_at) {
  if (depth == fail_at) throw 7;
  if (mold::find_cycle(node(depth))) return;
  mold::CycleGuard guard(node(depth));
  walk(depth + 1, fail_at);
}

}  // namespace

TEST_F(CycleStack, TooDeepOnThe1000thPushAndTheStackIsLeftEmpty) {
  for (u32 i = 0; i < 999; ++i) mold::push_cycle(node(i));
  EXPECT_EQ(mold::cycle_depth(), 999u);
  EXPECT_TRUE(mold::find_cycle(node(998)));
  try {
    mold::push_cycle(node(999));
    FAIL() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::internal);
    EXPECT_STREQ(e.id, "too-deep");
  }
  EXPECT_EQ(mold::cycle_depth(), 0u);
  EXPECT_FALSE(mold::find_cycle(node(0)));
}

TEST_F(CycleStack, PopAndDropNeverGoBelowTheBottom) {
  mold::pop_cycle();
  EXPECT_EQ(mold::cycle_depth(), 0u);
  EXPECT_FALSE(mold::find_cycle(Ref<Node>()));
  for (u32 i = 0; i < 5; ++i) mold::push_cycle(node(i));
  mold::drop_cycles(2);
  EXPECT_EQ(mold::cycle_depth(), 3u);
  EXPECT_TRUE(mold::find_cycle(node(2)));
  EXPECT_FALSE(mold::find_cycle(node(3))) << "dropped entries are no longer found";
  mold::drop_cycles(10);
  EXPECT_EQ(mold::cycle_depth(), 0u);
}

TEST_F(CycleStack, AFailedWalkLeavesNoStaleEntry) {
  // Without the guard the entries pushed before the error would stay, and every later mold of
  // those values would print a placeholder instead of the value.
  EXPECT_THROW(walk(0, 50), int);
  EXPECT_EQ(mold::cycle_depth(), 0u);
  Cell blk{type::block, 0, node(3).offset(), 0};
  i32 remaining = 100;
  std::string out;
  EXPECT_FALSE(mold::emit_cycle(&blk, [&](std::string_view s) { out += s; }, remaining, true));
  EXPECT_EQ(out, "");

  // Guards inside an outer walk restore exactly the outer depth.
  mold::push_cycle(node(500));
  EXPECT_THROW(walk(0, 20), int);
  EXPECT_EQ(mold::cycle_depth(), 1u);
  // A reset in the middle of a guarded walk is not undone by the guards.
  {
    mold::CycleGuard a(node(1));
    mold::CycleGuard b(node(2));
    mold::reset_cycles();
  }
  EXPECT_EQ(mold::cycle_depth(), 0u);
  // A too-deep raised inside guards leaves the stack empty once they unwind.
  EXPECT_THROW(walk(0, 5000), LanguageError);
  EXPECT_EQ(mold::cycle_depth(), 0u);
}

TEST_F(CycleStack, PlaceholdersForValuesBeingWalked) {
  struct Case {
    u32 type;
    const char* mold;
  } cases[] = {
      {type::block, "[...]"},  {type::hash, "[...]"},     {type::paren, "(...)"},
      {type::map, "#[...]"},   {type::object, "make object! [...]"},
      {type::path, "..."},     {type::lit_path, "..."},   {type::set_path, "..."}, {type::get_path, "..."},
  };
  for (const Case& k : cases) {
    Ref<Node> n = node(k.type);
    // An object is keyed by its context (word 1), everything else by its series (word 2).
    Cell v = k.type == type::object ? Cell{k.type, n.offset(), 0, 0} : Cell{k.type, 0, n.offset(), 0};
    mold::CycleGuard guard(n);
    for (bool as_mold : {true, false}) {
      std::string out = "x";
      i32 remaining = 40;
      ASSERT_TRUE(mold::emit_cycle(&v, [&](std::string_view s) { out += s; }, remaining, as_mold));
      std::string expected = as_mold ? k.mold : "...";
      EXPECT_EQ(out, "x" + expected) << k.type;
      EXPECT_EQ(remaining, 40 - static_cast<i32>(expected.size()));
    }
  }
  // A value whose node is not being walked emits nothing.
  Cell other{type::block, 0, node(77).offset(), 0};
  i32 remaining = 40;
  EXPECT_FALSE(mold::emit_cycle(&other, [](std::string_view) { FAIL(); }, remaining, true));
  EXPECT_EQ(remaining, 40);
}

TEST_F(CycleStack, IndentAndTheCollectorsView) {
  std::string out;
  EXPECT_EQ(mold::indent([&](std::string_view s) { out += s; }, 3, 20), 8);
  EXPECT_EQ(out, std::string(12, ' '));
  EXPECT_EQ(mold::indent([&](std::string_view s) { out += s; }, 0, 20), 20);

  // The collector rewrites moved nodes through the live entries.
  mold::push_cycle(node(1));
  mold::push_cycle(node(2));
  auto entries = mold::cycle_entries();
  ASSERT_EQ(entries.size(), 2u);
  entries[1] = node(40);
  EXPECT_TRUE(mold::find_cycle(node(40)));
  EXPECT_FALSE(mold::find_cycle(node(2)));
}
