// The path family: form and mold of the four types, cycles and part limits, make and to, the
// registrations (what paths inherit from block! and what they lack), copy and push-as.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/path.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

class Paths : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

// The builders answer value-stack cells, which the collector keeps and rewrites: hold them by
// reference, or root a copy.
Cell& w(const char* name, u32 t = type::word) {
  Cell c{};
  word::load_at(name, &c);
  cell::set_type(&c, t);
  return *stack::push_value(&c);
}
Cell dt(u32 t) {
  Cell c{};
  return *datatype::make_at(&c, t);
}

template <class Body>
std::string error_id(Body&& body, LanguageError* out = nullptr) {
  try {
    body();
  } catch (const LanguageError& e) {
    if (out) *out = e;
    return e.id;
  }
  return "";
}

// a/b/1 as the given path type.
Cell& a_b_1(u32 t = type::path) { return test::block_of({w("a"), w("b"), test::int_cell(1)}, t); }

Cell& make(u32 t, Cell spec) {
  RootCell keep(spec);
  Cell proto = dt(t);
  return *stack::push_value(datatype::row(t).make(&proto, &spec, t));
}
Cell& to(u32 t, Cell spec) {
  RootCell keep(spec);
  Cell proto = dt(t);
  return *stack::push_value(datatype::row(t).to(&proto, &spec, t));
}
i32 capacity(const Cell* p) { return static_cast<i32>(block::buffer_of(p)->size / sizeof(Cell)); }

TEST_F(Paths, FormAndMoldOfTheFourTypes) {
  struct Case {
    u32 type;
    const char* form;
    const char* mold;
  };
  const Case cases[] = {
      {type::path, "a/b/1", "a/b/1"},
      {type::lit_path, "a/b/1", "'a/b/1"},
      {type::get_path, "a/b/1", ":a/b/1"},
      {type::set_path, "a/b/1", "a/b/1:"},
  };
  for (const Case& c : cases) {
    Cell& p = a_b_1(c.type);
    EXPECT_EQ(test::form_text(p), c.form) << datatype::names[c.type].name;
    EXPECT_EQ(test::mold_text(p), c.mold) << datatype::names[c.type].name;
  }
  EXPECT_EQ(test::form_text(test::block_of({}, type::path)), "");
  EXPECT_EQ(test::mold_text(test::block_of({}, type::set_path)), ":");

  // Values mold with their own brackets, even under /only (a path has none of its own to drop).
  Cell& s = *stack::push_cell();
  string::make_from_utf8(&s, "x y");
  Cell& mixed = test::block_of({w("a"), test::block_of({w("b")}, type::paren), test::block_of({w("c")}), s}, type::path);
  EXPECT_EQ(test::mold_text(mixed), "a/(b)/[c]/\"x y\"");
  EXPECT_EQ(test::mold_text(mixed, true), "a/(b)/[c]/\"x y\"");
  EXPECT_EQ(test::form_text(mixed), "a/b/c/x y");

  // A path from a later head shows the values from there.
  Cell& later = a_b_1();
  series::set_head_index(&later, 1);
  EXPECT_EQ(test::mold_text(later), "b/1");
}

TEST_F(Paths, APathInsideItselfIsShownOnce) {
  Cell& p = a_b_1();
  block::append_value(&p, &p);
  EXPECT_EQ(test::form_text(p), "a/b/1/...");
  EXPECT_EQ(test::mold_text(p), "a/b/1/...");
  Cell lit = p;
  cell::set_type(&lit, type::lit_path);
  EXPECT_EQ(test::mold_text(lit), "'a/b/1/...");
}

TEST_F(Paths, APartLimitStopsTheWalk) {
  Cell& p = test::block_of({w("alpha"), w("beta"), w("gamma")}, type::path);
  Cell out{}, part = test::int_cell(3);
  RootCell keep(out);
  string::make_at(&out, 16);
  i32 left = datatype::row(type::path).form(&p, &out, &part, 3);
  EXPECT_EQ(string::to_utf8(&out), "alpha") << "stops after the value that used the budget up";
  EXPECT_EQ(left, -2);
  EXPECT_EQ(test::mold_text(p, false, false, false, 8), "alpha/be");
  string::make_at(&out, 16);
  EXPECT_EQ(datatype::row(type::path).form(&p, &out, nullptr, 100), 100 - 16) << "without /part the whole path";
}

TEST_F(Paths, MakeTakesASizeOrABlock) {
  struct SizeCase {
    Cell spec{};
    i32 room;
  };
  Cell pct{};
  float_::box(&pct, 3.7, type::percent);
  Cell neg_float{};
  float_::box(&neg_float, -2.5);
  const SizeCase sizes[] = {
      {test::int_cell(0), 1}, {test::int_cell(5), 5}, {test::int_cell(-3), 1}, {neg_float, 1}, {pct, 3},
  };
  for (const SizeCase& c : sizes) {
    Cell& p = make(type::path, c.spec);
    EXPECT_EQ(p.type(), u32{type::path});
    EXPECT_EQ(block::length(&p), 0);
    EXPECT_GE(capacity(&p), c.room);
  }
  Cell two_nine{};
  float_::box(&two_nine, 2.9);
  Cell& p = make(type::get_path, two_nine);
  EXPECT_EQ(p.type(), u32{type::get_path});
  EXPECT_GE(capacity(&p), 2);
  Cell huge{};
  float_::box(&huge, 1e12);
  EXPECT_EQ(error_id([&] { make(type::path, huge); }), "out-of-range");

  Cell& from_block = make(type::set_path, test::block_of({w("a"), w("b")}));
  EXPECT_EQ(from_block.type(), u32{type::set_path});
  EXPECT_EQ(test::mold_text(from_block), "a/b:");
  Cell& from_path = make(type::lit_path, a_b_1());
  EXPECT_EQ(test::mold_text(from_path), "'a/b/1");
  EXPECT_NE(from_path.w2, a_b_1().w2) << "a copy";

  LanguageError e{};
  Cell& text = *stack::push_cell();
  string::make_from_utf8(&text, "a/b");
  EXPECT_EQ(error_id([&] { make(type::path, text); }, &e), "bad-make-arg");
  EXPECT_EQ(datatype::id_of(&e.args[0]), u32{type::path}) << "the error names the target type";
  EXPECT_EQ(error_id([&] { make(type::path, test::none_cell()); }), "bad-make-arg");
}

TEST_F(Paths, ToWrapsContainersAndConvertsTheRestAsBlocks) {
  Cell ts{type::typeset, 0, 0, 0};
  cell::typeset_add(&ts, type::integer);
  Cell& p = to(type::path, ts);
  ASSERT_EQ(block::length(&p), 1);
  EXPECT_EQ(block::cell_at(&p, 0)->type(), u32{type::typeset}) << "a typeset is one value, not its types";

  Cell& ab = to(type::get_path, test::block_of({w("a"), w("b")}));
  EXPECT_EQ(ab.type(), u32{type::get_path});
  EXPECT_EQ(test::mold_text(ab), ":a/b");
  Cell& five = to(type::path, test::int_cell(5));
  EXPECT_EQ(test::mold_text(five), "5");
  Cell& flagged = test::block_of({w("a")});
  flagged.header |= header::new_line;
  EXPECT_EQ(to(type::path, flagged).header, u32{type::path}) << "the whole header is replaced";
}

TEST_F(Paths, TheRegistrations) {
  const auto& block_row = datatype::row(type::block);
  for (u32 t = type::path; t <= type::get_path; ++t) {
    const auto& row = datatype::row(t);
    const char* name = datatype::names[t].name;
    EXPECT_EQ(row.random, nullptr) << name;
    EXPECT_EQ(row.sort, nullptr) << name;
    EXPECT_EQ(row.trim, nullptr) << name;
    EXPECT_EQ(row.append, block_row.append) << name;
    EXPECT_EQ(row.pick, block_row.pick) << name;
    EXPECT_EQ(row.compare, block_row.compare) << name;
    EXPECT_EQ(row.eval_path, block_row.eval_path) << name;
    EXPECT_EQ(row.copy, block_row.copy) << name;
    EXPECT_EQ(row.form, datatype::row(type::path).form) << name;
    EXPECT_EQ(row.make, datatype::row(type::path).make) << name;
  }
  EXPECT_NE(datatype::row(type::set_path).mold, datatype::row(type::path).mold);
  EXPECT_STREQ(datatype::names[type::lit_path].name, "lit-path!");
  EXPECT_STREQ(datatype::names[type::get_path].name, "get-path!");
}

TEST_F(Paths, CopyKeepsTheTypeAndPushAsReplacesTheHeader) {
  Cell& p = a_b_1(type::set_path);
  Cell fresh{type::unset, 0, 0, 0};
  RootCell keep(fresh);
  Cell copy = *actions::dispatch_copy(&p, &fresh, nullptr, false, nullptr);
  EXPECT_EQ(copy.type(), u32{type::set_path});
  EXPECT_NE(copy.w2, p.w2);
  EXPECT_EQ(test::mold_text(copy), "a/b/1:");

  Cell& q = a_b_1();
  q.header |= header::new_line;
  Cell* top = stack::top;
  Cell* pushed = get_path::push_as(&q);
  EXPECT_EQ(q.header, u32{type::get_path}) << "in place, flags cleared";
  EXPECT_EQ(pushed, top);
  EXPECT_EQ(pushed->header, u32{type::get_path});
  EXPECT_EQ(pushed->w2, q.w2);
  EXPECT_EQ(path::push_as(&q)->header, u32{type::path});
  EXPECT_EQ(lit_path::push_as(&q)->header, u32{type::lit_path});
  EXPECT_EQ(set_path::push_as(&q)->header, u32{type::set_path});

  Cell made{};
  RootCell keep_made(made);
  path::make_at(&made, 0);
  EXPECT_EQ(made.type(), u32{type::path});
  EXPECT_EQ(block::length(&made), 0);
  EXPECT_GE(capacity(&made), 1);
}

TEST_F(Paths, PathsCompareAsBlocks) {
  Cell &p = a_b_1(), &q = a_b_1(), &lit = a_b_1(type::lit_path);
  EXPECT_EQ(actions::dispatch_compare(&p, &q, compare_op::equal), 0);
  EXPECT_EQ(actions::dispatch_compare(&p, &lit, compare_op::equal), -2);
  EXPECT_EQ(actions::dispatch_compare(&p, &lit, compare_op::parse_match), 0) << "parse matches path and lit-path";
}

}  // namespace
}  // namespace kiv
