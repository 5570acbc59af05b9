// time!: makers, arithmetic rules, fields through paths and pick (negative times included), text,
// parity and rounding, through the action table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "lexer/lexer.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

namespace slot = action::slot;

Cell I(i32 n) { Cell c; return *integer::box(&c, n); }
Cell F(double d) { Cell c; return *float_::box(&c, d); }
Cell P(double d) { Cell c; return *float_::box(&c, d, type::percent); }
Cell T(double s) { Cell c; return *time::box(&c, s); }
Cell Ch(i32 cp) { return Cell{type::char_, 0, static_cast<u32>(cp), 0}; }
Cell none() { return Cell{type::none, 0, 0, 0}; }

// Words for the field names, until the words unit exists: w1 picks the name.
const char* const kWordNames[] = {"hour", "minute", "second", "HOUR", "day"};
Cell W(int i) { return Cell{type::word, static_cast<u32>(i), 0, 0}; }
std::string word_name(const Cell* w) { return kWordNames[w->w1]; }

// Puts the value stack's top back where it was (a finished call leaves its result cell).
struct KeepTop {
  Cell* saved = stack::top;
  ~KeepTop() { stack::top = saved; }
};

Cell run2(u32 s, const Cell& a, const Cell& b) {
  KeepTop keep;
  stack::Call call;
  stack::push_value(&a);
  stack::push_value(&b);
  actions::call_stack_style(s);
  return *call.result();
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "";
}

bool same_value(const Cell& a, const Cell& b) {
  if (a.type() != b.type()) return false;
  if (a.type() == type::integer) return a.as_int() == b.as_int();
  return std::bit_cast<u64>(a.as_double()) == std::bit_cast<u64>(b.as_double());
}

class TimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    lexer::init();  // time! text is read by the lexer
    saved_ = hooks::word_name.get();
    hooks::word_name = word_name;
  }
  void TearDown() override { hooks::word_name = saved_; }
  std::string (*saved_)(const Cell*) = nullptr;
};

TEST_F(TimeTest, MakeFromNumbersAndBlocks) {
  struct Case {
    Cell spec{};
    double want;  // NaN: bad-to-arg
  };
  const double bad = std::numeric_limits<double>::quiet_NaN();
  test::Building building;
  const Case cases[] = {
      {I(90), 90},
      {F(1.5), 1.5},
      {P(0.5), 0.5},
      {T(7), 7},
      {test::block_of({I(1), I(2), F(3.5)}), 3723.5},
      {test::block_of({I(-1), I(30)}), -5400},
      {test::block_of({I(2)}), 7200},
      {test::block_of({}), 0},
      {test::block_of({I(1), I(-30)}), bad},
      {test::block_of({I(1), I(2), I(3), I(4)}), bad},
      {test::block_of({F(1.5)}), bad},
      {test::block_of({I(1), F(2.5)}), bad},
      {test::block_of({I(1), I(2), F(-3.0)}), bad},
      {test::block_of({I(1), none()}), bad},
      {logic::true_value, bad},
      {Ch('a'), bad},
  };
  test::RootCells keep_cases(cases, &Case::spec);
  building.release();
  const action::Row& row = datatype::row(type::time);
  for (const Case& c : cases) {
    Cell spec = c.spec, out = none();
    RootCell keep_spec(spec);
    std::string err = error_of([&] { row.to(&out, &spec, type::time); });
    if (std::isnan(c.want)) {
      EXPECT_EQ(err, "bad-to-arg") << time::to_text(c.want) << " from type " << c.spec.type();
    } else {
      ASSERT_EQ(err, "") << "from type " << c.spec.type();
      EXPECT_TRUE(same_value(out, T(c.want))) << time::to_text(out.as_double());
    }
  }
}

TEST_F(TimeTest, MakeFromText) {
  const std::pair<const char*, double> good[] = {
      {"10:20", 37200},  {"1:2:3.5", 3723.5},  {"-1:00", -3600}, {"+0:30", 1800},   {"1:30.5", 90.5},
      {" 0:00:01 ", 1},  {"100:00", 360000}, {"1'000:00", 3600000},
  };
  // The text is read by the lexer: a comma ends a time token, so 1:30,5 is no time.
  const char* bad[] = {"abc", "10", "10:", "10:20:", "1:2:x", "1:-2", "1:2:-3", "1:2e3", "", "1:2:3:4", ":30",
                       "1:30,5"};
  const action::Row& row = datatype::row(type::time);
  for (auto [text, want] : good) {
    Cell* spec = string::make_from_utf8(stack::push_cell(), text);
    Cell* out = stack::push_cell();
    ASSERT_EQ(error_of([&] { row.make(out, spec, type::time); }), "") << text;
    EXPECT_TRUE(same_value(*out, T(want))) << text << " gave " << time::to_text(out->as_double());
  }
  for (const char* text : bad) {
    Cell* spec = string::make_from_utf8(stack::push_cell(), text);
    Cell* out = stack::push_cell();
    EXPECT_EQ(error_of([&] { row.make(out, spec, type::time); }), "bad-to-arg") << '"' << text << '"';
  }
}

TEST_F(TimeTest, Arithmetic) {
  struct Case {
    u32 s;
    Cell a, b, want;
  };
  const Case cases[] = {
      {slot::add, T(3600), I(30), T(3630)},
      {slot::add, I(30), T(3600), T(3630)},
      {slot::multiply, T(3600), I(2), T(7200)},
      {slot::divide, T(3600), T(1800), F(2.0)},
      {slot::divide, T(3600), I(2), T(1800)},
      {slot::add, T(3600), P(0.1), T(3600.1)},
      {slot::subtract, T(60), F(90.0), T(-30)},
      {slot::subtract, F(90.0), T(60), T(30)},
      {slot::remainder, T(3630), T(60), T(30)},  // inherited from float!
  };
  for (const Case& c : cases) {
    Cell got = run2(c.s, c.a, c.b);
    EXPECT_TRUE(same_value(got, c.want)) << "slot " << c.s << " gave type " << got.type() << " "
                                         << time::to_text(got.as_double());
  }
  const std::pair<u32, Cell> refused[] = {
      {slot::multiply, T(1800)}, {slot::subtract, Cell{type::date, 0, 0, 0}}, {slot::add, Ch('a')}};
  const char* ids[] = {"not-related", "not-related", "invalid-type"};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(error_of([&] { run2(refused[i].first, T(3600), refused[i].second); }), ids[i]) << i;
  // power has no entry for time!.
  EXPECT_EQ(error_of([] { run2(slot::power, T(2), I(2)); }), "expect-arg");
}

TEST_F(TimeTest, InheritedActionsKeepTheType) {
  {
    stack::Call call;
    Cell t = T(-5400);
    stack::push_value(&t);
    actions::call_stack_style(slot::absolute);
    EXPECT_TRUE(same_value(*call.result(), T(5400)));
  }
  const action::Row& row = datatype::row(type::time);
  Cell t = T(90);
  EXPECT_TRUE(same_value(*row.negate(&t), T(-90)));
  Cell a = T(3600), b = I(3600);
  EXPECT_EQ(actions::compare(&a, &b, 0), 1);
  EXPECT_EQ(actions::compare(&a, &b, 2), 0);
  EXPECT_EQ(datatype::row(type::time).random, datatype::row(type::float_).random);
}

Cell path_get(Cell& t, Cell element) { return *datatype::row(type::time).eval_path(&t, &element, nullptr, nullptr, nullptr, nullptr, -1, false, false, true, false); }
void path_set(Cell& t, Cell element, Cell value) {
  Cell path = none();
  datatype::row(type::time).eval_path(&t, &element, &value, &path, nullptr, nullptr, -1, false, false, true, false);
}

TEST_F(TimeTest, FieldsThroughPathsAndPick) {
  Cell t = T(3723);  // 1:02:03
  EXPECT_TRUE(same_value(path_get(t, W(0)), I(1)));
  EXPECT_TRUE(same_value(path_get(t, W(3)), I(1)));  // case-insensitive
  EXPECT_TRUE(same_value(path_get(t, W(1)), I(2)));
  EXPECT_TRUE(same_value(path_get(t, I(3)), F(3.0)));
  path_set(t, W(1), I(59));
  EXPECT_EQ(time::to_text(t.as_double()), "1:59:03");
  path_set(t, I(1), I(10));
  EXPECT_EQ(time::to_text(t.as_double()), "10:59:03");
  path_set(t, W(2), F(4.5));
  EXPECT_EQ(time::to_text(t.as_double()), "10:59:04.5");
  EXPECT_EQ(error_of([&] { path_get(t, I(4)); }), "invalid-path");
  EXPECT_EQ(error_of([&] { path_get(t, W(4)); }), "invalid-path");
  EXPECT_EQ(error_of([&] { path_get(t, F(1.0)); }), "invalid-path");
  EXPECT_EQ(error_of([&] { path_set(t, W(0), F(1.0)); }), "invalid-arg");
  EXPECT_EQ(error_of([&] { path_set(t, W(2), none()); }), "invalid-arg");
  EXPECT_EQ(time::to_text(t.as_double()), "10:59:04.5");  // unchanged by the refusals

  const action::Row& row = datatype::row(type::time);
  Cell w = W(1);
  EXPECT_TRUE(same_value(*row.pick(&t, 0, &w), I(59)));
  Cell idx = I(1);
  EXPECT_TRUE(same_value(*row.pick(&t, 1, &idx), I(10)));
  idx = I(4);
  EXPECT_EQ(error_of([&] { row.pick(&t, 4, &idx); }), "out-of-range");
  w = W(4);
  EXPECT_EQ(error_of([&] { row.pick(&t, 0, &w); }), "cannot-use");
}

TEST_F(TimeTest, NegativeTimeFields) {
  Cell t = T(-3661.5);  // -1:01:01.5
  EXPECT_TRUE(same_value(path_get(t, W(0)), I(-1)));
  EXPECT_TRUE(same_value(path_get(t, W(1)), I(1)));
  EXPECT_TRUE(same_value(path_get(t, W(2)), F(-1.5)));
  EXPECT_EQ(time::to_text(t.as_double()), "-1:01:01.5");
  // Setting a field to the value it reads leaves every time as it was.
  const double times[] = {-3661.5, -90, -0.5, -7199.25, -36000, 3661.5, 0, 59.75, -86399.999};
  for (double s : times) {
    for (int field = 0; field < 3; ++field) {
      Cell v = T(s);
      Cell current = path_get(v, W(field));
      path_set(v, W(field), current);
      EXPECT_EQ(v.as_double(), s) << s << " field " << field;
    }
  }
  // And setting one field changes only that one.
  t = T(-3661.5);
  path_set(t, W(1), I(5));
  EXPECT_EQ(time::to_text(t.as_double()), "-1:05:01.5");
  path_set(t, W(0), I(-2));
  EXPECT_EQ(time::to_text(t.as_double()), "-2:05:01.5");
}

TEST_F(TimeTest, FormText) {
  const std::pair<double, const char*> cases[] = {
      {3661.5, "1:01:01.5"},   {30, "0:00:30"},      {-90, "-0:01:30"},       {360000, "100:00:00"},
      {5.25, "0:00:05.25"},    {0, "0:00:00"},       {1e-7, "0:00:00"},       {-3661.5, "-1:01:01.5"},
      {59.9999999, "0:01:00"}, {3599.9999999, "1:00:00"}, {0.001, "0:00:00.001"},
      {1e13, "2777777777:46:40"}, {std::numeric_limits<double>::infinity(), "1.#INF"},
  };
  const action::Row& row = datatype::row(type::time);
  for (auto [s, text] : cases) {
    Cell v = T(s);
    Cell* out = string::make_at(stack::push_cell(), 16);
    EXPECT_EQ(row.form(&v, out, nullptr, 100), 100 - i32(std::strlen(text))) << s;
    EXPECT_EQ(string::to_utf8(out), text) << s;
    out = string::make_at(stack::push_cell(), 16);
    row.mold(&v, out, false, false, false, nullptr, 100, 0);
    EXPECT_EQ(string::to_utf8(out), text) << s;
  }
}

TEST_F(TimeTest, ParityOfTheSecondsField) {
  const std::pair<double, bool> cases[] = {{2, true},  {3, false},        {63, false}, {62.5, true},
                                           {1.9999999, true}, {-3, false}, {-4, true},  {0, true}};
  const action::Row& row = datatype::row(type::time);
  for (auto [s, even] : cases) {
    Cell v = T(s);
    EXPECT_EQ(row.even_q(&v), even) << s;
    EXPECT_EQ(row.odd_q(&v), !even) << s;
  }
}

TEST_F(TimeTest, RoundStaysATime) {
  const action::Row& row = datatype::row(type::time);
  struct Case {
    double s;
    Cell scale{};
    double want;
  };
  const Case cases[] = {
      {3753, T(60), 3780}, {3753, I(60), 3780}, {1.5, none(), 2}, {-1.5, none(), -2}, {3753, F(0.5), 3753},
      {1e12 + 0.5, I(1), 1e12 + 1},  // beyond 32 bits of seconds: no integer on the way
  };
  for (const Case& c : cases) {
    Cell v = T(c.s), scale = c.scale;
    Cell got = *row.round(&v, c.scale.type() == type::none ? nullptr : &scale, false, false, false, false, false,
                          false);
    EXPECT_TRUE(same_value(got, T(c.want))) << c.s << " gave type " << got.type() << " " << got.as_double();
  }
  Cell v = T(1), money{type::money, 0, 0, 0};
  EXPECT_EQ(error_of([&] { row.round(&v, &money, false, false, false, false, false, false); }), "not-related");
}

}  // namespace
}  // namespace kiv
