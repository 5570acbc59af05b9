// typeset!: making from specs (words resolved), find, the set operations, comparison, complement,
// the loader's forms and the text, through the action table.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

Cell DT(u32 id) { return Cell{type::datatype, id, 0, 0}; }
Cell TS(std::initializer_list<u32> ids) {
  Cell ts{};
  typeset::make_at(&ts);
  for (u32 id : ids) typeset::add(&ts, id);
  return ts;
}
// The builders answer value-stack cells, which the collector keeps and rewrites: hold them by
// reference, or root a copy.
// A global word holding the value.
Cell& W(const char* name, const Cell& value) {
  Cell v = value;
  RootCell keep(v);
  Cell w = word::load(name);
  Cell* pushed = stack::push_value(&w);
  word::set(pushed, &v);
  return *pushed;
}
Cell& W(const char* name) {
  Cell w = word::load(name);
  return *stack::push_value(&w);
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "";
}

const action::Row& row() { return datatype::row(type::typeset); }

Cell make(const Cell& spec) {
  Cell proto = DT(type::typeset), s = spec;
  RootCell keep(s);
  return *row().make(&proto, &s, type::typeset);
}

// The result of a two-operand action on the value stack.
Cell op2(const Cell& a, const Cell& b, const std::function<void()>& body) { return test::call({a, b}, body); }

class TypesetTest : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

TEST_F(TypesetTest, MakeResolvesWordsAndSortsTheText) {
  Cell number = TS({type::integer, type::float_, type::percent});
  Cell& num_word = W("ts-number!", number);
  Cell& int_word = W("ts-int", DT(type::integer));
  test::Building building;
  struct Case {
    const char* what;
    Cell spec{};
    const char* text;
  } cases[] = {
      {"empty", test::block_of({}), "make typeset! []"},
      {"two", test::block_of({DT(type::integer), DT(type::float_)}), "make typeset! [integer! float!]"},
      {"spec order ignored", test::block_of({DT(type::float_), DT(type::integer)}), "make typeset! [integer! float!]"},
      {"repeats", test::block_of({DT(type::block), DT(type::block)}), "make typeset! [block!]"},
      {"typeset word and datatype word", test::block_of({num_word, int_word, DT(type::block)}),
       "make typeset! [block! integer! float! percent!]"},
      {"nested typeset", test::block_of({TS({type::string, type::none})}), "make typeset! [none! string!]"},
  };
  test::RootCells keep_cases(cases, &Case::spec);
  building.release();
  for (const Case& c : cases) {
    Cell ts = make(c.spec);
    ASSERT_EQ(ts.type(), u32{type::typeset}) << c.what;
    EXPECT_EQ(test::form_text(ts), c.text) << c.what;
    EXPECT_EQ(test::mold_text(ts), c.text) << c.what;
  }
  // percent! is a member through number! whether or not it is registered: only registered ids show.
  EXPECT_TRUE(typeset::has(&number, type::percent));
  Cell same = TS({type::time});
  EXPECT_EQ(make(same).w2, same.w2);  // a typeset spec is taken as it is
}

TEST_F(TypesetTest, MakeErrors) {
  Cell& unset_word = W("ts-never-set");
  Cell& int_value = W("ts-int-value", test::int_cell(5));
  test::Building building;
  struct Case {
    const char* what;
    Cell spec{};
    const char* id;
    Cell arg;  // the error's first argument
  } cases[] = {
      {"integer in spec", test::block_of({test::int_cell(11)}), "invalid-arg", test::int_cell(11)},
      {"word of a non-type", test::block_of({int_value}), "invalid-arg", int_value},
      {"unset word", test::block_of({DT(type::integer), unset_word}), "no-value", unset_word},
      {"not a block", test::int_cell(3), "bad-to-arg", DT(type::typeset)},
  };
  test::RootCells keep_specs(cases, &Case::spec), keep_args(cases, &Case::arg);
  building.release();
  for (const Case& c : cases) {
    try {
      make(c.spec);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const LanguageError& e) {
      EXPECT_STREQ(e.id, c.id) << c.what;
      EXPECT_EQ(e.args[0].type(), c.arg.type()) << c.what;
      EXPECT_TRUE(e.args[0].w1 == c.arg.w1 && e.args[0].w2 == c.arg.w2) << c.what;
    }
  }
}

TEST_F(TypesetTest, FindAnswersLogicAndRefusesNonDatatypes) {
  Cell ts = TS({type::integer, type::block});
  Cell in = DT(type::integer), out = DT(type::float_), id = test::int_cell(11), w = W("integer!");
  auto find = [&](Cell& v) { return *row().find(&ts, &v, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false); };
  Cell r = find(in);
  EXPECT_EQ(r.type(), u32{type::logic});
  EXPECT_EQ(r.w1, 1u);
  r = find(out);
  EXPECT_EQ(r.type(), u32{type::logic});  // false, never none
  EXPECT_EQ(r.w1, 0u);
  EXPECT_EQ(error_of([&] { find(id); }), "invalid-arg");
  EXPECT_EQ(error_of([&] { find(w); }), "invalid-arg");
}

TEST_F(TypesetTest, SetOperations) {
  Cell a = TS({type::integer, type::float_, type::block});
  Cell b = TS({type::float_, type::string});
  struct Case {
    const char* what;
    i32 code;
    Cell second{};
    Cell want{};
  } cases[] = {
      {"or", 5, b, TS({type::integer, type::float_, type::block, type::string})},
      {"union", 9, b, TS({type::integer, type::float_, type::block, type::string})},
      {"and", 6, b, TS({type::float_})},
      {"intersect", 10, b, TS({type::float_})},
      {"xor", 7, b, TS({type::integer, type::block, type::string})},
      {"difference", 12, b, TS({type::integer, type::block, type::string})},
      {"exclude", 11, b, TS({type::integer, type::block})},
      {"unique", 8, b, a},
      {"union datatype", 9, DT(type::time), TS({type::integer, type::float_, type::block, type::time})},
      {"exclude datatype", 11, DT(type::float_), TS({type::integer, type::block})},
      {"and datatype", 6, DT(type::block), TS({type::block})},
      {"high ids", 9, TS({90, 95}), TS({type::integer, type::float_, type::block, 90, 95})},
  };
  for (const Case& c : cases) {
    Cell r = op2(a, c.second, [&] { typeset::do_set_operation(c.code); });
    ASSERT_EQ(r.type(), u32{type::typeset}) << c.what;
    EXPECT_TRUE(r.w1 == c.want.w1 && r.w2 == c.want.w2 && r.w3 == c.want.w3) << c.what << ": " << test::mold_text(r);
  }
  // The action slots use the codes of and~, or~, xor~.
  Cell r = op2(a, b, [] { actions::call_stack_style(action::slot::xor_t); });
  EXPECT_EQ(test::mold_text(r), "make typeset! [block! string! integer!]");
  r = op2(a, b, [] { actions::call_stack_style(action::slot::and_t); });
  EXPECT_EQ(test::mold_text(r), "make typeset! [float!]");
  Cell bad = test::int_cell(1);
  EXPECT_EQ(error_of([&] { op2(a, bad, [] { typeset::do_set_operation(9); }); }), "invalid-arg");
  EXPECT_EQ(op2(a, bad, [] { typeset::do_set_operation(8); }).w2, a.w2);  // unique takes no second operand
}

TEST_F(TypesetTest, Compare) {
  Cell a = make(test::block_of({DT(type::integer), DT(type::float_)}));
  Cell b = make(test::block_of({DT(type::float_), DT(type::integer)}));
  Cell c = TS({type::integer});
  Cell dt = DT(type::integer);
  EXPECT_EQ(actions::compare(&a, &b, compare_op::equal), 1);
  EXPECT_EQ(actions::compare(&a, &b, compare_op::strict_equal), 1);
  EXPECT_EQ(actions::compare(&a, &c, compare_op::equal), 0);
  EXPECT_EQ(actions::compare(&a, &c, compare_op::not_equal), 1);
  EXPECT_EQ(actions::compare(&a, &dt, compare_op::equal), 0);  // another type is never equal
  EXPECT_EQ(error_of([&] { actions::compare(&a, &b, compare_op::lesser); }), "invalid-compare");
  // Sorting orders by the number of members.
  EXPECT_GT(typeset::compare(&a, &c, compare_op::sort), 0);
  EXPECT_LT(typeset::compare(&c, &a, compare_op::sort), 0);
  EXPECT_EQ(typeset::compare(&a, &b, compare_op::case_sort), 0);
}

TEST_F(TypesetTest, ComplementHoldsEveryRegisteredTypeAndTheUnusedIds) {
  Cell empty = TS({});
  Cell all = *row().complement(&empty);
  std::string want = "make typeset! [";
  i32 registered = 0;
  for (u32 id = 1; id <= datatype::highest_type_id; ++id) {
    if (!datatype::names[id].name) continue;
    want += datatype::names[id].name;
    want += ' ';
    ++registered;
  }
  want.back() = ']';
  EXPECT_EQ(test::mold_text(all), want);
  EXPECT_EQ(typeset::count(&all), registered);
  EXPECT_TRUE(typeset::has(&all, 0));
  EXPECT_TRUE(typeset::has(&all, 95));
  Cell back = *row().complement(&all);
  EXPECT_EQ(back.w1 | back.w2 | back.w3, 0u);
}

TEST_F(TypesetTest, TextOnlyAndPart) {
  Cell ts = TS({type::integer, type::float_});
  EXPECT_EQ(test::mold_text(ts, true), "integer! float!");
  EXPECT_EQ(test::mold_text(TS({}), true), "");
  EXPECT_EQ(test::mold_text(ts, false, false, false, 20), "make typeset! [integ");
  EXPECT_EQ(test::form_text(ts, 5), "make ");
  // The remaining budget is the limit minus what was written.
  struct Case {
    bool only;
    Cell ts{};
    i32 limit;
    i32 left;
    const char* text;
  } cases[] = {
      {false, ts, 100, 100 - 31, "make typeset! [integer! float!]"},
      {true, ts, 100, 100 - 15, "integer! float!"},
      {false, TS({}), 100, 100 - 16, "make typeset! []"},
      {true, TS({}), 100, 100, ""},
      // With /part the names stop once the budget is spent (the caller cuts the excess).
      {false, TS({type::block, type::string, type::integer}), 20, 20 - 15 - 7, "make typeset! [block! "},
  };
  for (const Case& c : cases) {
    Cell out{}, part = test::int_cell(c.limit);
    RootCell keep(out);
    string::make_at(&out, 16);
    EXPECT_EQ(typeset::mold_text(&c.ts, &out, c.only, &part, c.limit), c.left) << c.text;
    EXPECT_EQ(string::to_utf8(&out), c.text);
  }
}

TEST_F(TypesetTest, LoaderFormsAndBlocks) {
  Cell& blk = test::block_of({});
  Cell& num_word = W("ts-loader-number!", TS({type::integer, type::float_}));
  Cell& word_word = W("ts-loader-word", W("anything"));
  typeset::add_to_block(&blk, 0x1044u, 0, 0);  // bytes 44 10: datatype! block! integer!
  typeset::add_any_value(&blk);
  Cell& spec = test::block_of({DT(type::string), num_word, test::block_of({}), word_word});
  typeset::add_from_spec(&blk, &spec);
  ASSERT_EQ(block::length(&blk), 3);
  Cell decoded = *block::cell_at(&blk, 0);
  EXPECT_TRUE(typeset::has(&decoded, type::datatype));  // byte 0 mask 0x40
  EXPECT_TRUE(typeset::has(&decoded, type::integer));   // byte 1 mask 0x10
  EXPECT_TRUE(typeset::has(&decoded, type::block));     // byte 0 mask 0x04
  EXPECT_EQ(typeset::count(&decoded), 3);
  Cell any = *block::cell_at(&blk, 1);
  EXPECT_FALSE(typeset::has(&any, type::unset));
  EXPECT_TRUE(typeset::has(&any, type::none));
  EXPECT_TRUE(typeset::has(&any, 0));
  Cell loaded = *block::cell_at(&blk, 2);
  EXPECT_EQ(test::mold_text(loaded), "make typeset! [string! integer! float! object!]");
  Cell& bad = test::block_of({test::int_cell(1)});
  EXPECT_EQ(error_of([&] { typeset::add_from_spec(&blk, &bad); }), "invalid-type-spec");
}

TEST_F(TypesetTest, ToBlockGivesWordsInIdOrder) {
  Cell ts = TS({type::time, type::block, type::integer});
  Cell& blk = test::block_of({});
  typeset::to_block(&ts, &blk);
  ASSERT_EQ(block::length(&blk), 3);
  const char* names[] = {"block!", "integer!", "time!"};
  for (i32 i = 0; i < 3; ++i) {
    Cell w = *block::cell_at(&blk, i);
    EXPECT_EQ(w.type(), u32{type::word});
    EXPECT_EQ(word::name_of(&w), names[i]);
  }
}

}  // namespace
}  // namespace kiv
