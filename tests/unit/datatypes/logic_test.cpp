// unset!, none! and logic!: their actions, the preset cells and the truth rule.
#include <gtest/gtest.h>

#include <cmath>

#include "datatypes/dispatch.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

using test::boot_core;

template <class F>
std::string error_id(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "(no error)";
}

Cell float_cell(double d) {
  Cell c{type::float_, 0, 0, 0};
  c.set_double(d);
  return c;
}

TEST(Logic, MakeAndTo) {
  boot_core();
  Cell str = test::ints({});  // any value of another type
  struct Case {
    const char* what;
    bool make;
    Cell spec{};
    bool expected;
  } cases[] = {
      {"make 0", true, test::int_cell(0), false},
      {"make 7", true, test::int_cell(7), true},
      {"make 0.0", true, float_cell(0.0), false},
      {"make -0.0", true, float_cell(-0.0), false},
      {"make NaN", true, float_cell(std::nan("")), true},
      {"make none", true, test::none_cell(), false},
      {"to 0", false, test::int_cell(0), true},
      {"to none", false, test::none_cell(), false},
      {"to block", false, str, true},
      {"to false", false, test::logic_cell(false), false},
  };
  for (Case& c : cases) {
    Cell proto = test::logic_cell(false);
    Cell* r = c.make ? logic::make(&proto, &c.spec, type::logic) : logic::to(&proto, &c.spec, type::logic);
    ASSERT_EQ(r->type(), u32{type::logic}) << c.what;
    EXPECT_EQ(logic::get(r), c.expected ? 1u : 0u) << c.what;
  }
}

TEST(Logic, FormMoldAndConstants) {
  boot_core();
  Cell unset{type::unset, 0, 0, 0};
  struct Case {
    Cell value{};
    const char* form;
    const char* mold;
    const char* mold_all;
  } cases[] = {
      {test::logic_cell(true), "true", "true", "#(true)"},
      {test::logic_cell(false), "false", "false", "#(false)"},
      {test::none_cell(), "none", "none", "#(none)"},
      {unset, "", "unset", "#(unset)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(test::form_text(c.value), c.form);
    EXPECT_EQ(test::mold_text(c.value), c.mold);
    EXPECT_EQ(test::mold_text(c.value, false, true), c.mold_all);
  }
  // The budget counts exactly the characters written.
  Cell out{};
  string::make_at(&out, 8);
  EXPECT_EQ(logic::mold(&logic::false_value, &out, false, true, false, nullptr, 100, 0), 92);
  EXPECT_EQ(unset::form(&unset::value, &out, nullptr, 100), 100);
  EXPECT_EQ(logic::get(&logic::true_value), 1u);
  EXPECT_EQ(none::value.type(), u32{type::none});
}

TEST(Logic, Comparison) {
  boot_core();
  Cell t = test::logic_cell(true), f = test::logic_cell(false), n = test::none_cell();
  Cell u{type::unset, 0, 0, 0};
  EXPECT_EQ(actions::compare(&n, &n, compare_op::equal), 1);
  EXPECT_EQ(actions::compare(&u, &u, compare_op::strict_equal), 1);
  EXPECT_EQ(actions::compare(&n, &f, compare_op::equal), 0);
  EXPECT_EQ(actions::compare(&f, &n, compare_op::equal), 0);
  EXPECT_EQ(actions::compare(&t, &t, compare_op::equal), 1);
  EXPECT_LT(logic::compare(&f, &t, compare_op::sort), 0);  // false sorts first
  EXPECT_EQ(error_id([&] { actions::compare(&f, &t, compare_op::lesser); }), "invalid-compare");
  EXPECT_EQ(error_id([&] { actions::compare(&n, &n, compare_op::greater); }), "invalid-compare");
}

TEST(Logic, OperatorsAndComplement) {
  boot_core();
  struct Case {
    void (*op)();
    bool a, b, expected;
  } cases[] = {
      {logic::and_t, true, false, false}, {logic::and_t, true, true, true},   {logic::or_t, false, false, false},
      {logic::or_t, false, true, true},   {logic::xor_t, true, true, false},  {logic::xor_t, true, false, true},
  };
  for (const Case& c : cases) {
    Cell r = test::call({test::logic_cell(c.a), test::logic_cell(c.b)}, [&] { c.op(); });
    EXPECT_EQ(logic::get(&r), c.expected ? 1u : 0u);
  }
  EXPECT_EQ(error_id([] { test::call({test::logic_cell(true), test::int_cell(1)}, [] { logic::and_t(); }); }),
            "expect-arg");
  Cell t = test::logic_cell(true);
  EXPECT_EQ(logic::get(logic::complement(&t)), 0u);
  EXPECT_EQ(logic::get(logic::complement(&t)), 1u);
}

TEST(Logic, TruthRule) {
  boot_core();
  Cell weird{type::logic, 2, 0, 0};  // a flag that is not exactly 1 reads as false
  Cell u{type::unset, 0, 0, 0};
  Cell empty = test::ints({});
  EXPECT_TRUE(logic::true_q(&logic::true_value));
  EXPECT_FALSE(logic::true_q(&logic::false_value));
  EXPECT_FALSE(logic::true_q(&none::value));
  EXPECT_FALSE(logic::true_q(&weird));
  Cell zero = test::int_cell(0);
  EXPECT_TRUE(logic::true_q(&zero));
  EXPECT_TRUE(logic::true_q(&empty));
  EXPECT_TRUE(logic::true_q(&u));
  EXPECT_EQ(error_id([&] { logic::true_q(&u, true); }), "no-value");

  test::call({u}, [] { EXPECT_EQ(error_id([] { logic::true_result_q(); }), "no-return"); });
  test::call({u}, [] { EXPECT_FALSE(logic::false_result_q()); });
  test::call({test::none_cell()}, [] {
    EXPECT_TRUE(logic::false_result_q());
    EXPECT_TRUE(logic::top_false_q());  // nothing pushed: the result cell
    logic::push(true);
    EXPECT_TRUE(logic::top_true_q());
  });
}

TEST(Logic, RandomAndSeed) {
  boot_core();
  Cell v = test::logic_cell(true);
  EXPECT_EQ(logic::random(&v, true, false, false)->type(), u32{type::unset});
  int trues = 0;
  for (int i = 0; i < 200; ++i) {
    Cell w = test::logic_cell(false);
    trues += logic::get(logic::random(&w, false, false, false)) == 1;
  }
  EXPECT_GT(trues, 50);
  EXPECT_LT(trues, 150);
}

TEST(None, SeriesActionsAnswerNone) {
  boot_core();
  Cell n = test::none_cell();
  EXPECT_EQ(test::call({n}, [] { actions::length_q(); }).type(), u32{type::none});
  EXPECT_EQ(test::call({n}, [] { actions::clear(); }).type(), u32{type::none});
  EXPECT_EQ(test::call({n}, [] { actions::take(-1, -1, -1); }).type(), u32{type::none});
  EXPECT_EQ(test::call({n}, [] { actions::remove(-1, -1); }).type(), u32{type::none});
  EXPECT_EQ(actions::dispatch_find(&n, &n, nullptr, false, false, false, false, nullptr, nullptr, false, false,
                                   false, false)
                ->type(),
            u32{type::none});
  // make none! / make unset! push a new value.
  Cell* made = none::make(&n, &n, type::none);
  EXPECT_EQ(made, stack::last_value());
  EXPECT_EQ(unset::make(&n, &n, type::unset)->type(), u32{type::unset});
}

}  // namespace
}  // namespace kiv
