// block! and paren!: building, changing, molding and comparing blocks, and a differential run of
// block actions against a std::vector model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/none.h"
#include "datatypes/paren.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

using test::block_of;
using test::boot_core;
using test::int_cell;
using test::ints;
using test::mold_text;
using test::nl;

template <class F>
std::string error_id(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "(no error)";
}

Cell at_index(Cell s, i32 head) {
  series::set_head_index(&s, head);
  return s;
}

Cell& text(const char* utf8) {
  Cell* s = stack::push_cell();  // kept alive for the test
  string::make_from_utf8(s, utf8);
  return *s;
}

// ---- append, insert, change ----

TEST(Block, AppendAndInsert) {
  boot_core();
  Cell& empty = ints({});
  test::Building building;
  struct Case {
    const char* what;
    bool append;
    Cell value{};
    i32 part, dup;
    bool only;
    const char* result;  // mold of the answer
    const char* whole;   // mold of the target from its head
  } cases[] = {
      {"append block", true, ints({2, 3}), -1, 1, false, "[1 2 3]", "[1 2 3]"},
      {"append/only", true, ints({2, 3}), -1, 1, true, "[1 [2 3]]", "[1 [2 3]]"},
      {"append/part", true, ints({2, 3, 4}), 2, 1, false, "[1 2 3]", "[1 2 3]"},
      {"append/dup", true, int_cell(7), -1, 3, false, "[1 7 7 7]", "[1 7 7 7]"},
      {"append/dup many", true, ints({7, 8}), -1, 6, false, "[1 7 8 7 8 7 8 7 8 7 8 7 8]",
       "[1 7 8 7 8 7 8 7 8 7 8 7 8]"},
      {"append empty", true, empty, -1, 1, false, "[1]", "[1]"},
      {"insert answers after", false, ints({8, 9}), -1, 1, false, "[1]", "[8 9 1]"},
      {"insert value", false, int_cell(5), -1, 2, false, "[1]", "[5 5 1]"},
  };
  test::RootCells keep_cases(cases, &Case::value);
  building.release();
  for (Case& c : cases) {
    Cell& target = ints({1});
    Cell* r = block::insert(&target, &c.value, c.part, c.only, c.dup, c.append);
    EXPECT_EQ(mold_text(*r), c.result) << c.what;
    EXPECT_EQ(mold_text(at_index(*r, 0)), c.whole) << c.what;
  }
  // Appending from its own buffer, and inserting a block into itself.
  Cell& b = ints({1, 2});
  Cell same = b;
  RootCell keep_same(same);
  block::insert(&b, &same, -1, false, 1, true);
  EXPECT_EQ(mold_text(b), "[1 2 1 2]");
  Cell& c = ints({1, 2});
  Cell tail = at_index(c, 1);
  RootCell keep_tail(tail);
  Cell* r = block::insert(&c, &tail, -1, false, 1, false);
  EXPECT_EQ(series::head_index(r), 1);
  EXPECT_EQ(mold_text(at_index(c, 0)), "[2 1 2]");
  // A head past the tail is pulled back first.
  Cell& d = ints({1, 2});
  Cell far = at_index(d, 5);
  RootCell keep_far(far);
  Cell x = int_cell(3);
  block::insert(&far, &x, -1, false, 1, false);
  EXPECT_EQ(mold_text(d), "[1 2 3]");
}

TEST(Block, Change) {
  boot_core();
  test::Building building;
  struct Case {
    const char* what;
    i32 head;
    Cell value{};
    i32 part, dup;
    bool only;
    const char* result;
    const char* whole;
  } cases[] = {
      {"shorter block overwrites", 0, ints({8, 9}), -1, 1, false, "[3]", "[8 9 3]"},
      {"part 2 by one value", 0, int_cell(7), 2, 1, false, "[3]", "[7 3]"},
      {"dup", 0, int_cell(7), -1, 2, false, "[3]", "[7 7 3]"},
      {"longer than the rest", 2, ints({7, 8, 9}), -1, 1, false, "[]", "[1 2 7 8 9]"},
      {"only", 1, ints({7, 8}), -1, 1, true, "[3]", "[1 [7 8] 3]"},
      {"part grows", 0, ints({7, 8, 9}), 1, 1, false, "[2 3]", "[7 8 9 2 3]"},
      {"empty block with part removes", 0, ints({}), 2, 1, false, "[3]", "[3]"},
  };
  test::RootCells keep_cases(cases, &Case::value);
  building.release();
  for (Case& c : cases) {
    Cell& whole = ints({1, 2, 3});
    Cell s = at_index(whole, c.head);
    RootCell keep_s(s);
    Cell* r = block::change(&s, &c.value, c.part, c.only, c.dup);
    EXPECT_EQ(mold_text(*r), c.result) << c.what;
    EXPECT_EQ(mold_text(whole), c.whole) << c.what;
  }
  // The value lies in the changed block, after the range.
  Cell& b = ints({1, 2, 3, 4});
  Cell src = at_index(b, 2);
  RootCell keep_src(src);
  block::change(&b, &src, 1, false, 1);
  EXPECT_EQ(mold_text(at_index(b, 0)), "[3 4 2 3 4]");
}

TEST(Block, ChangeAndInsertThroughTheGenericEntries) {
  boot_core();
  Cell& b = ints({1, 2, 3, 4});
  Cell end = at_index(b, 3), r{};
  RootCell keep_end(end), keep_r(r);
  r = test::call({at_index(b, 1), int_cell(9), end}, [] { actions::change(2, -1, -1); });
  EXPECT_EQ(mold_text(r), "[4]");
  EXPECT_EQ(mold_text(b), "[1 9 4]");
  // A negative /part extends backwards.
  r = test::call({at_index(b, 2), int_cell(0), int_cell(-2)}, [] { actions::change(2, -1, -1); });
  EXPECT_EQ(mold_text(b), "[0 4]");
  r = test::call({b, int_cell(5), int_cell(0)}, [] { actions::insert(-1, -1, 2); });
  EXPECT_EQ(mold_text(b), "[0 4]");  // dup 0: unchanged
}

// ---- mold and form ----

TEST(Block, MoldAndForm) {
  boot_core();
  Cell& nested = ints({3, 4});
  Cell& flat = block_of({int_cell(1), text("a b"), nested});
  EXPECT_EQ(mold_text(flat), "[1 \"a b\" [3 4]]");
  EXPECT_EQ(mold_text(flat, true), "1 \"a b\" [3 4]");
  EXPECT_EQ(test::form_text(flat), "1 a b 3 4");
  EXPECT_EQ(mold_text(ints({})), "[]");
  EXPECT_EQ(test::form_text(ints({})), "");

  // Values loaded from several lines mold back on several lines, indented per level.
  Cell& inner = block_of({nl(int_cell(3)), int_cell(4)});
  Cell& lines = block_of({nl(int_cell(1)), nl(int_cell(2)), nl(inner)});
  EXPECT_EQ(mold_text(lines), "[\n    1\n    2\n    [\n        3 4\n    ]\n]");
  EXPECT_EQ(mold_text(lines, false, false, true), "[1 2 [3 4]]");
  EXPECT_EQ(mold_text(lines, true), "1\n2\n[\n    3 4\n]");
  // A new line in the middle of a one-line block.
  EXPECT_EQ(mold_text(block_of({int_cell(1), nl(int_cell(2))})), "[1\n2]");

  // Form puts no space after a value ending in a line break.
  EXPECT_EQ(test::form_text(block_of({text("x\n"), text("y"), int_cell(1)})), "x\ny 1");

  // /part stops early; the entry cuts the output to the limit exactly.
  Cell& many = ints({1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(mold_text(many, false, false, false, 5), "[1 2 ");
  EXPECT_EQ(test::form_text(many, 4), "1 2 ");
}

TEST(Block, MoldBudgetCountsEveryCharacter) {
  boot_core();
  Cell& inner = block_of({nl(int_cell(3))});
  Cell& lines = block_of({nl(inner)});
  Cell out{};
  RootCell keep_out(out);
  string::make_at(&out, 16);
  i32 left = block::mold(&lines, &out, false, false, false, nullptr, 1000, 0);
  EXPECT_EQ(1000 - left, string::total_length(&out));
  string::make_at(&out, 16);
  left = block::form(&lines, &out, nullptr, 1000);
  EXPECT_EQ(1000 - left, string::total_length(&out));
}

TEST(Block, CyclesMoldAsPlaceholders) {
  boot_core();
  Cell& b = ints({1});
  Cell self = b;
  RootCell keep_self(self);
  block::append_value(&b, &self);
  EXPECT_EQ(mold_text(b), "[1 [...]]");
  EXPECT_EQ(test::form_text(b), "1 ...");
  Cell& p = ints({1});
  cell::set_type(&p, type::paren);
  Cell pself = p;
  RootCell keep_pself(pself);
  block::append_value(&p, &pself);
  EXPECT_EQ(mold_text(p), "(1 (...))");
  EXPECT_EQ(mold::cycle_depth(), 0u);

  Cell out{};
  RootCell keep_out(out);
  EXPECT_EQ(error_id([&] { block::copy(&b, &out, nullptr, true, nullptr); }), "no-cycle");
  EXPECT_EQ(mold::cycle_depth(), 0u);
}

TEST(Block, NestingDeeperThanTheCycleStackIsRefused) {
  boot_core();
  Cell& b = ints({1});
  RootCell keep(b);
  for (int i = 0; i < 1100; ++i) {
    Cell& outer = block_of({b});
    b = outer;
  }
  Cell c = b;  // a second structure of the same shape, built the same way
  RootCell keep_c(c);
  EXPECT_EQ(error_id([&] { mold_text(b); }), "too-deep");
  EXPECT_EQ(mold::cycle_depth(), 0u);
  Cell out{};
  RootCell keep_out(out);
  EXPECT_EQ(error_id([&] { block::copy(&b, &out, nullptr, true, nullptr); }), "too-deep");
  EXPECT_EQ(mold::cycle_depth(), 0u);
  Cell& twin = ints({1});
  RootCell keep_twin(twin);
  for (int i = 0; i < 1100; ++i) {
    Cell& outer = block_of({twin});
    twin = outer;
  }
  EXPECT_EQ(error_id([&] { actions::compare(&c, &twin, compare_op::equal); }), "too-deep");
  EXPECT_EQ(mold::cycle_depth(), 0u);
}

TEST(Paren, MoldOnlyAndMissingTrim) {
  boot_core();
  Cell& p = ints({1, 2});
  cell::set_type(&p, type::paren);
  EXPECT_EQ(mold_text(p), "(1 2)");
  EXPECT_EQ(mold_text(p, true), "1 2");
  EXPECT_EQ(test::form_text(p), "1 2");
  Cell& q = block_of({int_cell(1), p});
  EXPECT_EQ(mold_text(q), "[1 (1 2)]");
  EXPECT_EQ(error_id([&] { actions::get<action::slot::trim>(&p); }), "expect-arg");

  Cell& b = ints({5});
  Cell* pushed = paren::push_as(&b);
  EXPECT_EQ(pushed->type(), u32{type::paren});
  EXPECT_EQ(pushed, stack::last_value());
}

// ---- comparison ----

TEST(Block, Compare) {
  boot_core();
  test::Building building;
  struct Case {
    Cell a, b;
    i32 op;
    i32 expected;  // actions::compare
  } cases[] = {
      {ints({1, 2}), ints({1, 2}), compare_op::equal, 1},
      {ints({1, 2}), ints({1, 3}), compare_op::lesser, 1},
      {ints({1}), ints({1, 2}), compare_op::lesser, 1},
      {ints({}), ints({1}), compare_op::lesser, 1},
      {ints({1, 2}), ints({1, 2, 3}), compare_op::equal, 0},
      {ints({2}), ints({1, 5}), compare_op::greater, 1},
      {block_of({int_cell(1), text("a")}), ints({1, 2}), compare_op::lesser, 1},  // string! 7 < integer! 11
      {ints({1, 2}), ints({1, 2}), compare_op::same, 0},
  };
  test::RootCells keep_a(cases, &Case::a), keep_b(cases, &Case::b);
  building.release();
  for (Case& c : cases) EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected) << mold_text(c.a) << mold_text(c.b);
  Cell& b = ints({1, 2});
  Cell same = b;
  RootCell keep_same(same);
  EXPECT_EQ(actions::compare(&b, &same, compare_op::same), 1);
  Cell& p = ints({1, 2});
  cell::set_type(&p, type::paren);
  EXPECT_EQ(actions::compare(&b, &p, compare_op::equal), 0);

  // Blocks that contain themselves compare without recursing forever.
  Cell &x = ints({1}), &y = ints({1});
  Cell xs = x, ys = y;
  RootCell keep_xs(xs), keep_ys(ys);
  block::append_value(&x, &xs);
  block::append_value(&y, &ys);
  EXPECT_EQ(actions::compare(&x, &y, compare_op::equal), 1);
  EXPECT_EQ(mold::cycle_depth(), 0u);
}

// ---- make, to, copy ----

TEST(Block, MakeAndTo) {
  boot_core();
  Cell proto{};
  datatype::make_at(&proto, type::block);
  Cell ten = int_cell(10);
  Cell* r = block::make(&proto, &ten, type::block);
  EXPECT_EQ(mold_text(*r), "[]");
  EXPECT_GE(block::buffer_of(r)->size, 160u);
  Cell neg = int_cell(-3);
  EXPECT_EQ(mold_text(*block::make(&proto, &neg, type::block)), "[]");
  Cell& src = block_of({int_cell(1), ints({2})});
  r = block::make(&proto, &src, type::paren);
  EXPECT_EQ(mold_text(*r), "(1 [2])");
  EXPECT_EQ(block::cell_at(r, 1)->w2, block::cell_at(&src, 1)->w2);  // not deep
  Cell& s = text("1 2");
  EXPECT_EQ(error_id([&] { block::make(&proto, &s, type::block); }), "bad-make-arg");
  Cell five = int_cell(5);
  EXPECT_EQ(mold_text(*block::to(&proto, &five, type::block)), "[5]");
  Cell ts{type::typeset, 0, 0, 0};
  cell::typeset_add(&ts, type::none);
  cell::typeset_add(&ts, type::block);
  EXPECT_EQ(mold_text(*block::to(&proto, &ts, type::block)), "[none! block!]");
}

TEST(Block, CopyDeepAndTypes) {
  boot_core();
  Cell& inner = ints({2});
  Cell inner_line = nl(inner);
  RootCell keep_line(inner_line);
  Cell& outer = block_of({int_cell(1), inner_line, text("s")});
  Cell shallow{}, deep{};
  RootCell k1(shallow), k2(deep);
  block::copy(&outer, &shallow, nullptr, false, nullptr);
  block::copy(&outer, &deep, nullptr, true, nullptr);
  EXPECT_EQ(block::cell_at(&shallow, 1)->w2, inner.w2);
  EXPECT_NE(block::cell_at(&deep, 1)->w2, inner.w2);
  EXPECT_NE(block::cell_at(&deep, 2)->w2, block::cell_at(&outer, 2)->w2);
  EXPECT_TRUE(block::cell_at(&deep, 1)->header & header::new_line);
  EXPECT_EQ(mold_text(deep), mold_text(outer));

  Cell only_blocks{};
  datatype::make_at(&only_blocks, type::block);
  Cell typed{};
  RootCell keep_typed(typed);
  block::copy(&outer, &typed, nullptr, false, &only_blocks);
  EXPECT_NE(block::cell_at(&typed, 1)->w2, inner.w2);
  EXPECT_EQ(block::cell_at(&typed, 2)->w2, block::cell_at(&outer, 2)->w2);  // string! not in the types
}

// ---- take, swap, trim, put ----

TEST(Block, TakeAnswersTheValueOrABlock) {
  boot_core();
  Cell& b = ints({1, 2, 3});
  Cell r = test::call({b}, [] { actions::take(-1, -1, -1); });
  RootCell keep_r(r);
  EXPECT_EQ(r.as_int(), 1);
  r = test::call({b}, [] { actions::take(-1, -1, 1); });
  EXPECT_EQ(r.as_int(), 3);
  EXPECT_EQ(mold_text(b), "[2]");
  r = test::call({b, int_cell(0)}, [] { actions::take(1, -1, -1); });
  EXPECT_EQ(mold_text(r), "[]");  // take/part 0: nothing, as a block
  EXPECT_EQ(mold_text(b), "[2]");
  Cell& p = ints({4, 5});
  cell::set_type(&p, type::paren);
  r = test::call({p, int_cell(1)}, [] { actions::take(1, -1, -1); });
  EXPECT_EQ(mold_text(r), "(4)");
  Cell& e = ints({});
  EXPECT_EQ(test::call({e}, [] { actions::take(-1, -1, -1); }).type(), u32{type::none});

  Cell& inner = ints({9});
  Cell& outer = block_of({inner});
  r = test::call({outer}, [] { actions::take(-1, 1, -1); });
  EXPECT_EQ(mold_text(r), "[9]");
  EXPECT_NE(r.w2, inner.w2);  // /deep copied it
}

TEST(Block, SwapTrimPut) {
  boot_core();
  Cell &a = ints({1, 2}), &b = ints({8, 9});
  Cell b1 = at_index(b, 1);
  RootCell keep_b1(b1);
  block::swap(&a, &b1);
  EXPECT_EQ(mold_text(a), "[9 2]");
  EXPECT_EQ(mold_text(b), "[8 1]");
  Cell n = int_cell(1);
  EXPECT_EQ(error_id([&] { block::swap(&a, &n); }), "invalid-arg");
  Cell t = at_index(b, 2);
  RootCell keep_t(t);
  block::swap(&a, &t);  // at its tail: nothing
  EXPECT_EQ(mold_text(a), "[9 2]");

  Cell& x = block_of({test::none_cell(), int_cell(1), test::none_cell(), int_cell(2), test::none_cell()});
  block::trim(&x, false, false, false, false, false, nullptr);
  EXPECT_EQ(mold_text(x), "[1 2]");

  test::PlainBlockFind find;
  Cell& m = ints({1, 10, 2, 20});
  Cell k2 = int_cell(2), k3 = int_cell(3), v = int_cell(99);
  block::put(&m, &k2, &v, false);
  EXPECT_EQ(mold_text(m), "[1 10 2 99]");
  block::put(&m, &k3, &v, false);
  EXPECT_EQ(mold_text(m), "[1 10 2 99 3 99]");
  Cell& last = ints({1, 2});
  Cell k = int_cell(2);
  block::put(&last, &k, &v, false);
  EXPECT_EQ(mold_text(last), "[1 2 99]");
}

TEST(Block, PathAccess) {
  boot_core();
  test::PlainBlockFind find;
  Cell& b = ints({1, 10, 2, 20});
  Cell two = int_cell(2), nine = int_cell(9), v = int_cell(77);
  Cell none = test::none_cell();
  EXPECT_EQ(block::eval_path(&b, &two, &none, nullptr, nullptr, nullptr, 0, false, false, true, false)->as_int(), 10);
  EXPECT_EQ(block::eval_path(&b, &nine, nullptr, nullptr, nullptr, nullptr, 0, false, false, true, false)->type(),
            u32{type::none});
  block::eval_path(&b, &two, &v, nullptr, nullptr, nullptr, 0, false, false, true, false);
  EXPECT_EQ(mold_text(b), "[1 77 2 20]");
  // Any other element is looked for, and the value after it is set.
  Cell& m = block_of({test::logic_cell(true), int_cell(1), test::logic_cell(false), int_cell(2)});
  Cell key = test::logic_cell(false);
  block::eval_path(&m, &key, &v, nullptr, nullptr, nullptr, 0, false, false, true, false);
  EXPECT_EQ(mold_text(m), "[true 1 false 77]");
  Cell missing{};
  datatype::make_at(&missing, type::block);
  EXPECT_EQ(error_id([&] {
              block::eval_path(&m, &missing, &v, nullptr, nullptr, nullptr, 0, false, false, true, false);
            }),
            "bad-path-set");
}

// ---- helpers ----

TEST(Block, Helpers) {
  boot_core();
  Cell& b = ints({1, 2, 3});
  Cell two = int_cell(2), seven = int_cell(7);
  EXPECT_EQ(block::select_value(&two, &b)->as_int(), 3);
  Cell three = int_cell(3);
  EXPECT_EQ(block::select_value(&three, &b)->type(), u32{type::none});
  EXPECT_EQ(block::remove_value(&seven, &b, false), 0);
  EXPECT_EQ(block::remove_value(&two, &b, false), 2);
  EXPECT_EQ(mold_text(b), "[1 3]");
  Cell at3 = at_index(b, 1);
  RootCell keep_at3(at3);
  Cell one = int_cell(1);
  EXPECT_EQ(block::remove_value(&one, &at3, true), -1);
  EXPECT_EQ(mold_text(b), "[3]");

  Cell w{type::word, 0, 5, 0}, sw{type::set_word, 0, 5, 0}, other{type::word, 0, 6, 0};
  Cell& words = block_of({other, int_cell(1), sw, int_cell(2)});
  EXPECT_EQ(block::select_word(&words, &w, true)->as_int(), 2);
  Cell& tail_word = block_of({w});
  EXPECT_EQ(block::select_word(&tail_word, &w, true)->type(), u32{type::none});

  Cell& c = ints({1});
  block::insert_value(&c, &seven, true, false);
  EXPECT_EQ(series::head_index(&c), 1);
  EXPECT_EQ(mold_text(at_index(c, 0)), "[7 1]");
  Cell far = at_index(c, 9);
  RootCell keep_far(far);
  EXPECT_EQ(block::head_pointer(&far), block::tail_pointer(&far));
  EXPECT_EQ(series::head_index(&far), 2);

  Cell& deep = block_of({ints({1}), int_cell(2)});
  Cell* cl = block::clone(&deep, true, false);
  EXPECT_EQ(mold_text(*cl), "[[1] 2]");
  EXPECT_NE(block::cell_at(cl, 0)->w2, block::cell_at(&deep, 0)->w2);
}

// ---- differential run against a model ----

std::vector<i32> contents(const Cell& b) {
  std::vector<i32> v;
  Cell h = at_index(b, 0);
  for (i32 i = 0; i < block::length(&h); ++i) v.push_back(block::cell_at(&h, i)->as_int());
  return v;
}

TEST(Block, DifferentialAgainstVector) {
  boot_core();
  const char* env = std::getenv("KIV_BLOCK_DIFF_STEPS");
  const int steps = env ? std::atoi(env) : 3000;
  std::mt19937 rng(12345);
  auto pick = [&](int n) { return static_cast<i32>(rng() % static_cast<u32>(n)); };
  Cell& b = ints({});
  RootCell keep(b);
  std::vector<i32> model;
  i32 next = 0;
  for (int step = 0; step < steps; ++step) {
    i32 size = static_cast<i32>(model.size());
    i32 pos = pick(size + 1);
    Cell s = at_index(b, pos);
    RootCell keep_s(s);
    int op = pick(9);
    switch (op) {
      case 0: {  // append one
        Cell v = int_cell(next);
        block::insert(&s, &v, -1, false, 1, true);
        model.push_back(next++);
        break;
      }
      case 1: {  // insert a block of k, with dup
        i32 k = pick(4), dup = 1 + pick(3);
        std::vector<i32> run;
        Cell& src = ints({});
        RootCell ks(src);
        for (i32 i = 0; i < k; ++i) {
          Cell v = int_cell(next);
          block::append_value(&src, &v);
          run.push_back(next++);
        }
        Cell* r = block::insert(&s, &src, -1, false, dup, false);
        std::vector<i32> all;
        for (i32 d = 0; d < dup; ++d) all.insert(all.end(), run.begin(), run.end());
        if (k) {
          model.insert(model.begin() + pos, all.begin(), all.end());
          ASSERT_EQ(series::head_index(r), pos + k * dup);
        }
        break;
      }
      case 2: {  // remove/part
        Cell part = int_cell(pick(4));
        series::remove(&s, &part, nullptr);
        i32 n = std::min(part.as_int(), size - pos);
        if (n > 0) model.erase(model.begin() + pos, model.begin() + pos + n);
        break;
      }
      case 3: {  // change with a block, optional /part
        i32 k = pick(3);
        i32 part = pick(2) ? pick(4) : -1;
        Cell& src = ints({});
        RootCell ks(src);
        std::vector<i32> run;
        for (i32 i = 0; i < k; ++i) {
          Cell v = int_cell(next);
          block::append_value(&src, &v);
          run.push_back(next++);
        }
        block::change(&s, &src, part, false, 1);
        i32 replaced = std::min(part >= 0 ? part : k, size - pos);
        model.erase(model.begin() + pos, model.begin() + pos + replaced);
        model.insert(model.begin() + pos, run.begin(), run.end());
        break;
      }
      case 4: {  // take/part, maybe /last
        bool last = pick(2);
        Cell part = int_cell(pick(4));
        Cell t = s;
        RootCell keep_t(t);
        series::take(&t, &part, false, last);
        i32 avail = size - pos, n = std::min(part.as_int(), avail);
        ASSERT_EQ(t.type(), u32{type::block});  // with /part always a block, even an empty one
        std::vector<i32> taken;
        if (last) {
          taken.assign(model.end() - n, model.end());
          model.erase(model.end() - n, model.end());
        } else {
          taken.assign(model.begin() + pos, model.begin() + pos + n);
          model.erase(model.begin() + pos, model.begin() + pos + n);
        }
        ASSERT_EQ(contents(t), taken);
        break;
      }
      case 5: {  // reverse/part
        Cell part = int_cell(1 + pick(5));
        series::reverse(&s, &part, nullptr);
        i32 n = std::min(part.as_int(), size - pos);
        if (n > 0) std::reverse(model.begin() + pos, model.begin() + pos + n);
        break;
      }
      case 6: {  // move one value within the block
        if (size < 2) break;
        i32 to = pick(size + 1);
        Cell target = at_index(b, to);
        Cell origin = at_index(b, pick(size));
        RootCell keep_target(target), keep_origin(origin);
        i32 from = series::head_index(&origin);
        series::move(&origin, &target, nullptr);
        if (to == from) break;
        if (to > from && to != size && size - to < 1) break;
        i32 v = model[from];
        model.erase(model.begin() + from);
        model.insert(model.begin() + (to == size ? size - 1 : to), v);
        break;
      }
      case 7: {  // clear, rarely
        if (pick(8)) break;
        series::clear(&s);
        model.resize(pos);
        break;
      }
      default: {  // poke
        if (size == 0) break;
        i32 at = pick(size);
        Cell v = int_cell(next);
        Cell h = at_index(b, 0);
        RootCell keep_h(h);
        series::poke(&h, at + 1, &v, nullptr);
        model[at] = next++;
        break;
      }
    }
    ASSERT_EQ(contents(b), model) << "step " << step << " op " << op;
  }
}

}  // namespace
}  // namespace kiv
