// The common series actions (series!), through blocks, strings made by hand and the generic entries.
#include <gtest/gtest.h>

#include <vector>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/dispatch.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

using test::boot_core;
using test::int_cell;
using test::ints;

template <class F>
std::string error_id(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "(no error)";
}

// The builders answer value-stack cells, which the collector keeps and rewrites: hold them by
// reference, or root a copy.
Cell& at_index(const Cell& s, i32 head) {
  Cell* c = stack::push_value(&s);
  series::set_head_index(c, head);
  return *c;
}

TEST(Series, AtAndSkipClampToTheSeries) {
  boot_core();
  Cell& abc = ints({1, 2, 3});
  struct Case {
    bool at;
    i32 from, n, expected;
  } cases[] = {
      {true, 0, 0, 0},  {true, 0, 1, 0},  {true, 0, -5, 0}, {true, 0, 10, 3}, {true, 0, 2, 1},
      {true, 3, -1, 2}, {true, 1, 0, 1},  {false, 0, 10, 3}, {false, 2, -1, 1}, {false, 1, -9, 0},
  };
  for (const Case& c : cases) {
    Cell r = test::call({at_index(abc, c.from), int_cell(c.n)}, [&] { c.at ? series::at() : series::skip(); });
    EXPECT_EQ(series::head_index(&r), c.expected) << (c.at ? "at " : "skip ") << c.from << " " << c.n;
  }
  Cell pair{type::pair, 0, 1, 1};
  EXPECT_EQ(error_id([&] { test::call({abc, pair}, [] { series::at(); }); }), "invalid-arg");
}

TEST(Series, NavigationAndQueries) {
  boot_core();
  Cell& abc = ints({1, 2, 3});
  auto head_after = [](void (*fn)(), Cell s) {
    Cell r = test::call({s}, fn);
    return series::head_index(&r);
  };
  EXPECT_EQ(head_after(series::next, abc), 1);
  EXPECT_EQ(head_after(series::next, at_index(abc, 3)), 3);
  EXPECT_EQ(head_after(series::back, abc), 0);
  EXPECT_EQ(head_after(series::back, at_index(abc, 2)), 1);
  EXPECT_EQ(head_after(series::tail, abc), 3);
  EXPECT_EQ(head_after(series::head, at_index(abc, 2)), 0);
  EXPECT_EQ(test::call({at_index(abc, 3)}, series::index_q).as_int(), 4);
  EXPECT_EQ(test::call({at_index(abc, 3)}, series::tail_q).w1, 1u);
  EXPECT_EQ(test::call({at_index(abc, 1)}, series::head_q).w1, 0u);

  // A head left past the tail by another reference: length 0, and the head is pulled back.
  Cell& far = at_index(abc, 3);
  Cell shorter = abc;
  test::call({shorter}, [] { actions::clear(); });
  EXPECT_EQ(series::length_from_head(&far), 0);
  EXPECT_EQ(series::head_index(&far), 0);
}

TEST(Series, PickAndPoke) {
  boot_core();
  Cell& abc = ints({1, 2, 3});
  EXPECT_EQ(series::pick(&abc, 0, nullptr)->type(), u32{type::none});
  EXPECT_EQ(series::pick(&abc, 3, nullptr)->as_int(), 3);
  EXPECT_EQ(series::pick(&abc, 4, nullptr)->type(), u32{type::none});
  Cell& b1 = at_index(abc, 1);
  EXPECT_EQ(series::pick(&b1, -1, nullptr)->as_int(), 1);
  EXPECT_EQ(series::pick(&b1, -2, nullptr)->type(), u32{type::none});

  Cell x = int_cell(9);
  series::poke(&b1, 2, &x, nullptr);
  EXPECT_EQ(test::mold_text(abc), "[1 2 9]");
  for (i32 bad : {0, 3, -2}) EXPECT_EQ(error_id([&] { series::poke(&b1, bad, &x, nullptr); }), "out-of-range");
}

TEST(Series, StringElements) {
  boot_core();
  Cell& s = *stack::push_cell();
  string::make_from_utf8(&s, "abc");
  Cell* c = series::pick(&s, 2, nullptr);
  EXPECT_EQ(c->type(), u32{type::char_});
  EXPECT_EQ(char_::code_point(c), 'b');
  Cell& text = *stack::push_cell();
  string::make_from_utf8(&text, "x");
  EXPECT_EQ(error_id([&] { series::poke(&s, 1, &text, nullptr); }), "invalid-arg");
  Cell wide{};
  char_::box(&wide, 0x3B1);  // beyond one byte: the buffer widens first
  series::poke(&s, 1, &wide, nullptr);
  EXPECT_EQ(string::buffer_of(&s)->unit(), 2u);
  EXPECT_EQ(string::to_utf8(&s), "\xCE\xB1" "bc");
}

TEST(Series, RemoveWithPartAndKey) {
  boot_core();
  test::PlainBlockFind find;
  struct Case {
    const char* what;
    std::initializer_list<i32> data;
    Cell part;  // none: no /part
    Cell key;   // none: no /key
    const char* expected;
  } cases[] = {
      {"one", {1, 2, 3}, test::none_cell(), test::none_cell(), "[2 3]"},
      {"part 2", {1, 2, 3}, int_cell(2), test::none_cell(), "[3]"},
      {"part 0 changes nothing", {1, 2, 3}, int_cell(0), test::none_cell(), "[1 2 3]"},
      {"part past the tail", {1, 2, 3}, int_cell(10), test::none_cell(), "[]"},
      {"key and its value", {1, 10, 2, 20}, test::none_cell(), int_cell(2), "[1 10]"},
      {"key with part removes part + 1", {1, 10, 11, 2, 20}, int_cell(2), int_cell(10), "[1 20]"},
  };
  for (const Case& c : cases) {
    Cell& s = ints(c.data);
    Cell part = c.part, key = c.key;
    Cell* r = series::remove(&s, part.type() == type::none ? nullptr : &part,
                             key.type() == type::none ? nullptr : &key);
    EXPECT_EQ(test::mold_text(*r), c.expected) << c.what;
  }
  // /key answers the series at its own position, not at the removed key.
  Cell& s = ints({5, 1, 10, 2, 20});
  Cell& from = at_index(s, 1);
  Cell key = int_cell(2);
  Cell* r = series::remove(&from, nullptr, &key);
  EXPECT_EQ(series::head_index(r), 1);
  EXPECT_EQ(test::mold_text(*r), "[1 10]");
  Cell missing = int_cell(7);
  EXPECT_EQ(series::remove(&from, nullptr, &missing)->type(), u32{type::none});
  Cell& other = ints({1});
  EXPECT_EQ(error_id([&] { series::remove(&s, &other, nullptr); }), "invalid-refine-arg");
}

TEST(Series, ReverseWithPartAndSkip) {
  boot_core();
  struct Case {
    std::initializer_list<i32> data;
    i32 part;  // 0: none
    i32 skip;  // 0: none
    const char* expected;
  } cases[] = {
      {{1, 2, 3, 4}, 0, 0, "[4 3 2 1]"},
      {{1, 2, 3, 4, 5, 6}, 0, 2, "[5 6 3 4 1 2]"},
      {{1, 2, 3, 4}, 2, 0, "[2 1 3 4]"},
      {{1, 2, 3, 4}, 99, 0, "[4 3 2 1]"},  // a part past the tail stops at the tail
      {{1, 2, 3, 4}, 0, 4, "[1 2 3 4]"},
  };
  for (const Case& c : cases) {
    Cell& s = ints(c.data);
    Cell part = int_cell(c.part), skip = int_cell(c.skip);
    series::reverse(&s, c.part ? &part : nullptr, c.skip ? &skip : nullptr);
    EXPECT_EQ(test::mold_text(s), c.expected);
  }
  Cell& s = ints({1, 2, 3});
  Cell two = int_cell(2), zero = int_cell(0);
  EXPECT_EQ(error_id([&] { series::reverse(&s, nullptr, &two); }), "invalid-refine-arg");
  EXPECT_EQ(error_id([&] { series::reverse(&s, nullptr, &zero); }), "out-of-range");
}

TEST(Series, MoveWithinAndAcross) {
  boot_core();
  Cell& s = ints({1, 2, 3, 4, 5});
  Cell& to3 = at_index(s, 2);
  series::move(&s, &to3, nullptr);
  EXPECT_EQ(test::mold_text(s), "[2 3 1 4 5]");

  // Two values forward onto the last one: nothing moves, the origin answers.
  Cell& t = ints({1, 2, 3, 4, 5});
  Cell& last = at_index(t, 4);
  Cell two = int_cell(2);
  Cell* r = series::move(&t, &last, &two);
  EXPECT_EQ(r, &t);
  EXPECT_EQ(test::mold_text(t), "[1 2 3 4 5]");

  Cell& end = at_index(t, 5);
  series::move(&t, &end, &two);
  EXPECT_EQ(test::mold_text(t), "[3 4 5 1 2]");

  Cell &a = ints({1, 2, 3}), &b = ints({7, 8});
  Cell& b1 = at_index(b, 1);
  series::move(&a, &b1, &two);
  EXPECT_EQ(test::mold_text(a), "[3]");
  EXPECT_EQ(test::mold_text(b), "[7 1 2 8]");

  Cell& str = *stack::push_cell();
  string::make_from_utf8(&str, "ab");
  EXPECT_EQ(error_id([&] { series::move(&a, &str, nullptr); }), "move-bad");
  Cell n = int_cell(1);
  EXPECT_EQ(error_id([&] { series::move(&a, &n, nullptr); }), "expect-arg");
}

TEST(Series, APlainTakeKeepsItsScratchBufferAcrossCollectionsThatMoveIt) {
  boot_core();
  Cell& s = ints({1, 2, 3, 4});
  const bool enabled = collector::enabled;
  const u32 every = collector::torture_every;
  collector::enabled = true;
  collector::set_torture(1);  // every allocation moves every buffer and node, the scratch's too
  std::vector<i32> taken;
  for (int i = 0; i < 4; ++i) {
    Cell t = s;
    RootCell keep(t);
    series::take(&t, nullptr, false, false);
    taken.push_back(block::cell_at(&t, 0)->as_int());
    memory::alloc_bytes(16);
  }
  collector::set_torture(every);
  collector::enabled = enabled;
  EXPECT_EQ(taken, (std::vector<i32>{1, 2, 3, 4}));
  EXPECT_EQ(test::mold_text(s), "[]");
}

TEST(Series, TakeCore) {
  boot_core();
  struct Case {
    const char* what;
    i32 head;
    Cell part;  // none: no /part
    bool last;
    const char* taken;  // mold of the new series (blocks wrap it: see block tests)
    const char* left;
  } cases[] = {
      {"part 2", 0, int_cell(2), false, "[1 2]", "[3 4]"},
      {"part 2 last", 0, int_cell(2), true, "[3 4]", "[1 2]"},
      {"part 0 takes nothing", 1, int_cell(0), false, "[]", "[1 2 3 4]"},
      {"part 0 last takes nothing", 1, int_cell(0), true, "[]", "[1 2 3 4]"},
      {"negative part takes before the head", 3, int_cell(-2), false, "[2 3]", "[1 4]"},
      {"negative part is cut to the head", 1, int_cell(-5), false, "[1]", "[2 3 4]"},
      {"negative part last takes nothing", 2, int_cell(-1), true, "[]", "[1 2 3 4]"},
      {"part past the tail", 2, int_cell(9), false, "[3 4]", "[1 2]"},
  };
  for (const Case& c : cases) {
    Cell& whole = ints({1, 2, 3, 4});
    Cell& s = at_index(whole, c.head);
    Cell part = c.part;
    series::take(&s, part.type() == type::none ? nullptr : &part, false, c.last);
    ASSERT_EQ(s.type(), u32{type::block}) << c.what;
    EXPECT_EQ(series::head_index(&s), 0) << c.what;
    EXPECT_EQ(test::mold_text(s), c.taken) << c.what;
    EXPECT_EQ(test::mold_text(whole), c.left) << c.what;
  }
  // A position behind the head as /part takes nothing; the empty remainder answers none.
  Cell& whole = ints({1, 2, 3});
  Cell &s = at_index(whole, 2), &behind = at_index(whole, 1);
  series::take(&s, &behind, false, false);
  EXPECT_EQ(test::mold_text(s), "[]");
  Cell& empty = ints({});
  EXPECT_EQ(series::take(&empty, nullptr, false, false)->type(), u32{type::none});
  Cell& none_left = ints({}), two = int_cell(2);
  series::take(&none_left, &two, false, false);
  EXPECT_EQ(test::mold_text(none_left), "[]");  // /part always answers a series
}

TEST(Series, CopyCoreParts) {
  boot_core();
  Cell& base = ints({1, 2, 3, 4, 5});
  Cell& s = at_index(base, 2);  // at 3
  test::Building building;
  struct Case {
    const char* what;
    Cell part{};
    const char* expected;
  } cases[] = {
      {"whole rest", test::none_cell(), "[3 4 5]"},
      {"two", int_cell(2), "[3 4]"},
      {"too many", int_cell(99), "[3 4 5]"},
      {"negative", int_cell(-2), "[1 2]"},
      {"negative past start", int_cell(-9), "[1 2]"},
      {"pair 2x4", Cell{type::pair, 0, 2, 4}, "[4 5]"},
      {"pair reversed", Cell{type::pair, 0, 4, 2}, "[]"},
      {"series end", at_index(base, 4), "[3 4]"},
  };
  test::RootCells keep_cases(cases, &Case::part);
  building.release();
  for (Case& c : cases) {
    Cell out{};
    RootCell keep_out(out);
    series::copy(&s, &out, c.part.type() == type::none ? nullptr : &c.part, false, nullptr);
    EXPECT_EQ(test::mold_text(out), c.expected) << c.what;
  }
  Cell& other = ints({1});
  Cell out{};
  RootCell keep_out(out);
  EXPECT_EQ(error_id([&] { series::copy(&s, &out, &other, false, nullptr); }), "invalid-refine-arg");
}

TEST(Series, RandomShufflesOnlyAndSeed) {
  boot_core();
  Cell& s = ints({1, 2, 3, 4, 5, 6, 7, 8});
  series::random(&s, false, false, false);
  EXPECT_EQ(block::length(&s), 8);
  i32 sum = 0;
  for (i32 i = 0; i < 8; ++i) sum += block::cell_at(&s, i)->as_int();
  EXPECT_EQ(sum, 36);  // a permutation
  Cell& e = ints({});
  EXPECT_EQ(series::random(&e, false, false, true)->type(), u32{type::none});
  Cell& one = ints({42});
  EXPECT_EQ(series::random(&one, false, false, true)->as_int(), 42);
  Cell str{};
  string::make_from_utf8(&str, "seed");
  EXPECT_EQ(series::random(&str, true, false, false)->type(), u32{type::unset});
}

}  // namespace
}  // namespace kiv
