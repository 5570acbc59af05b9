// integer!: the 32-bit core against the compiler's overflow builtins, the mixed dispatcher, power,
// round, conversions, comparison, text and random, all reached through the action table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "runtime/hooks.h"
#include "runtime/random.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

namespace slot = action::slot;

Cell I(i32 n) { Cell c; return *integer::box(&c, n); }
Cell F(double d) { Cell c; return *float_::box(&c, d); }
Cell T(double s) { Cell c; return *time::box(&c, s); }
Cell Ch(i32 cp) { return Cell{type::char_, 0, static_cast<u32>(cp), 0}; }
Cell none() { return Cell{type::none, 0, 0, 0}; }

constexpr i32 kMin = integer::min_value;
constexpr i32 kMax = integer::max_value;

// Puts the value stack's top back where it was (a finished call leaves its result cell).
struct KeepTop {
  Cell* saved = stack::top;
  ~KeepTop() { stack::top = saved; }
};

// A stack-style action on two operands, through the table of the first operand's type.
Cell run2(u32 s, const Cell& a, const Cell& b) {
  KeepTop keep;
  stack::Call call;
  stack::push_value(&a);
  stack::push_value(&b);
  actions::call_stack_style(s);
  return *call.result();
}

Cell run1(u32 s, const Cell& a) {
  KeepTop keep;
  stack::Call call;
  stack::push_value(&a);
  actions::call_stack_style(s);
  return *call.result();
}

// The id of the language error the call raises, or "" when it raises none.
std::string error_of(const std::function<void()>& f, ErrorCategory* category = nullptr) {
  try {
    f();
  } catch (const LanguageError& e) {
    if (category) *category = e.category;
    return e.id;
  }
  return "";
}

bool same_value(const Cell& a, const Cell& b) {
  if (a.type() != b.type()) return false;
  if (a.type() == type::integer) return a.as_int() == b.as_int();
  return std::bit_cast<u64>(a.as_double()) == std::bit_cast<u64>(b.as_double());
}

std::string text_of(const Cell& v) {
  return string::to_utf8(actions::form_to(&v, stack::push_cell()));
}

class IntegerTest : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

// --- the core against __builtin_*_overflow ---------------------------------------------------

// The value the language must give for a op b (add 0, subtract 1, multiply 2, divide 3,
// remainder 4), or the error id.
struct Expected {
  Cell value{};
  const char* error;
};

Expected reference(i32 a, i32 b, i32 op) {
  i32 r;
  double da = a, db = b;
  switch (op) {
    case 0: return {__builtin_add_overflow(a, b, &r) ? F(da + db) : I(r), nullptr};
    case 1: return {__builtin_sub_overflow(a, b, &r) ? F(da - db) : I(r), nullptr};
    case 2: return {__builtin_mul_overflow(a, b, &r) ? F(da * db) : I(r), nullptr};
    case 3:
      if (b == 0) return {none(), "zero-divide"};
      if (a == kMin && b == -1) return {none(), "overflow"};
      return {static_cast<i64>(a) % b ? F(da / db) : I(static_cast<i32>(static_cast<i64>(a) / b)), nullptr};
    default:
      if (b == 0) return {none(), "zero-divide"};
      if (a == kMin && b == -1) return {none(), "overflow"};
      return {I(static_cast<i32>(static_cast<i64>(a) % b)), nullptr};
  }
}

constexpr u32 kOpSlots[] = {slot::add, slot::subtract, slot::multiply, slot::divide, slot::remainder};

int check_pair(i32 a, i32 b) {
  int failures = 0;
  for (i32 op = 0; op < 5; ++op) {
    Expected want = reference(a, b, op);
    Cell got{};
    std::string err = error_of([&] { got = run2(kOpSlots[op], I(a), I(b)); });
    bool ok = want.error ? err == want.error : err.empty() && same_value(got, want.value);
    if (!ok && ++failures <= 5)
      ADD_FAILURE() << a << " op" << op << " " << b << " gave " << (err.empty() ? text_of(got) : err);
  }
  return failures;
}

const i32 kEdges[] = {0, 1, -1, 2, -2, 3, -3, 7, -7, 10, 46340, 46341, -46340, -46341, 65535, 65536, -65536,
                      0x7FFF, 0x8000, 1 << 30, -(1 << 30), kMax, kMax - 1, kMin, kMin + 1, kMax / 2,
                      kMin / 2, 1000000007};

TEST_F(IntegerTest, CoreMatchesOverflowBuiltinsOnEdgeValues) {
  int failures = 0;
  for (i32 a : kEdges)
    for (i32 b : kEdges) failures += check_pair(a, b);
  EXPECT_EQ(failures, 0);
}

// KIV_INTEGER_PAIRS raises the count (the benchmark runs 100 million).
TEST_F(IntegerTest, CoreMatchesOverflowBuiltinsOnRandomPairs) {
  long pairs = 200000;
  if (const char* env = std::getenv("KIV_INTEGER_PAIRS")) pairs = std::atol(env);
  std::mt19937_64 gen(20240611);
  int failures = 0;
  for (long i = 0; i < pairs && failures < 20; ++i) {
    u64 r = gen();
    i32 a = static_cast<i32>(r), b = static_cast<i32>(r >> 32);
    // A third of the pairs small enough that multiply and divide stay exact.
    if (i % 3 == 1) b = static_cast<i32>(static_cast<i16>(b));
    if (i % 3 == 2) a = static_cast<i32>(static_cast<i16>(a)), b = static_cast<i32>(static_cast<i8>(b));
    failures += check_pair(a, b);
  }
  EXPECT_EQ(failures, 0);
}

TEST_F(IntegerTest, CoreWithoutResultCellNeverWritesAndNeverTraps) {
  EXPECT_EQ(integer::do_math_op(7, 2, 3, nullptr), 3);  // truncated quotient
  EXPECT_EQ(error_of([] { integer::do_math_op(kMin, -1, 4, nullptr); }), "overflow");
  EXPECT_EQ(error_of([] { integer::do_math_op(kMin, -1, 3, nullptr); }), "overflow");
  EXPECT_EQ(error_of([] { integer::do_math_op(kMax, 1, 0, nullptr); }), "overflow");
  EXPECT_EQ(error_of([] { integer::do_math_op(kMin, -1, 2, nullptr); }), "overflow");
  EXPECT_EQ(integer::do_math_op(12, 10, 5, nullptr), 14);
  EXPECT_EQ(integer::do_math_op(12, 10, 6, nullptr), 8);
  EXPECT_EQ(integer::do_math_op(12, 10, 7, nullptr), 6);
  // A char! result cell keeps its type; the value word changes.
  Cell c = Ch('a');
  EXPECT_EQ(integer::do_math_op('a', 1, 0, &c), 'b');
  EXPECT_EQ(c.type(), type::char_);
  EXPECT_EQ(c.as_int(), 'b');
}

// --- the dispatcher ----------------------------------------------------------------------------

TEST_F(IntegerTest, MixedOperandsTakeTheirResultType) {
  struct Case {
    u32 s;
    Cell a, b, want;
  };
  const Case cases[] = {
      {slot::add, I(1), F(2.5), F(3.5)},
      {slot::add, I(1), T(1), T(2)},
      {slot::multiply, I(3), T(20), T(60)},
      {slot::subtract, I(5), Ch(2), I(3)},
      {slot::add, I(kMax), I(1), F(2147483648.0)},
      {slot::subtract, I(kMin), I(1), F(-2147483649.0)},
      {slot::multiply, I(65536), I(65536), F(4294967296.0)},
      {slot::divide, I(7), I(2), F(3.5)},
      {slot::divide, I(6), I(3), I(2)},
      {slot::remainder, I(-7), I(2), I(-1)},
      {slot::remainder, I(7), I(-2), I(1)},
      {slot::remainder, I(kMin), I(1), I(0)},
      {slot::and_t, I(12), I(10), I(8)},
      {slot::or_t, I(12), I(10), I(14)},
      {slot::xor_t, I(12), I(10), I(6)},
  };
  for (const Case& c : cases) {
    Cell got = run2(c.s, c.a, c.b);
    EXPECT_TRUE(same_value(got, c.want)) << "slot " << c.s << " " << text_of(c.a) << " " << text_of(c.b)
                                         << " gave " << text_of(got);
  }
}

TEST_F(IntegerTest, DispatcherRefusals) {
  struct Case {
    u32 s;
    Cell b{};
    const char* error;
  };
  const Case cases[] = {
      {slot::add, none(), "invalid-type"},
      {slot::add, logic::true_value, "invalid-type"},
      {slot::and_t, F(1.0), "cannot-use"},  // the float core refuses bitwise codes
      {slot::divide, I(0), "zero-divide"},
      {slot::remainder, I(0), "zero-divide"},
      {slot::divide, Cell{type::pair, 0, 0, 0}, "not-related"},
      {slot::subtract, Cell{type::tuple, 0, 0, 0}, "not-related"},
      {slot::multiply, Cell{type::date, 0, 0, 0}, "not-related"},
  };
  for (const Case& c : cases) {
    Cell a = I(5);
    EXPECT_EQ(error_of([&] { run2(c.s, a, c.b); }), c.error) << "slot " << c.s;
  }
  // The divide that does not fit is refused, not trapped.
  EXPECT_EQ(error_of([] { run2(slot::divide, I(kMin), I(-1)); }), "overflow");
}

// --- unary actions, power ------------------------------------------------------------------

TEST_F(IntegerTest, UnaryActions) {
  EXPECT_EQ(run1(slot::absolute, I(-5)).as_int(), 5);
  EXPECT_EQ(error_of([] { run1(slot::absolute, I(kMin)); }), "overflow");
  const action::Row& row = datatype::row(type::integer);
  Cell v = I(kMax);
  EXPECT_EQ(row.negate(&v)->as_int(), -kMax);
  v = I(kMin);
  EXPECT_EQ(error_of([&] { row.negate(&v); }), "overflow");
  EXPECT_EQ(v.as_int(), kMin);  // left as it was
  v = I(0);
  EXPECT_EQ(row.complement(&v)->as_int(), -1);
  Cell e = I(-4), o = I(kMin + 1);
  EXPECT_TRUE(row.even_q(&e));
  EXPECT_FALSE(row.odd_q(&e));
  EXPECT_TRUE(row.odd_q(&o));
}

TEST_F(IntegerTest, PowerIsExactUntilItOverflows) {
  struct Case {
    Cell base, exponent, want;
  };
  const Case cases[] = {
      {I(2), I(10), I(1024)},       {I(2), I(31), F(2147483648.0)}, {I(-2), I(31), I(kMin)},
      {I(2), I(-1), F(0.5)},        {I(0), I(0), I(1)},             {I(-3), I(3), I(-27)},
      {I(46341), I(2), F(2147488281.0)}, {I(4), F(0.5), F(2.0)},    {I(1), I(kMax), I(1)},
      {I(-1), I(kMax), I(-1)},      {I(3), I(20), F(3486784401.0)}, {I(65536), I(1), I(65536)},
  };
  for (const Case& c : cases) {
    Cell got = run2(slot::power, c.base, c.exponent);
    EXPECT_TRUE(same_value(got, c.want)) << text_of(c.base) << " ** " << text_of(c.exponent) << " gave "
                                         << text_of(got);
  }
  EXPECT_EQ(error_of([] { run2(slot::power, I(2), none()); }), "expect-arg");
}

// --- round ----------------------------------------------------------------------------------

struct RoundCase {
  i32 n;
  i32 scale;  // 0 with has_scale false: no /to
  bool has_scale;
  const char* flags;
  i64 want;  // a value outside 32 bits expects math overflow
};

Cell round_with(Cell v, Cell* scale, const std::string& f) {
  auto has = [&](const char* w) { return f.find(w) != std::string::npos; };
  bool half_ceiling = has("half-ceiling"), half_down = has("half-down");
  bool ceiling = has("ceiling") && !half_ceiling, down = has("down") && !half_down;
  return *datatype::row(v.type()).round(&v, scale, has("even"), down, half_down, has("floor"), ceiling,
                                        half_ceiling);
}

TEST_F(IntegerTest, RoundTable) {
  const RoundCase cases[] = {
      {17, 5, true, "", 15},
      {18, 5, true, "", 20},
      {-17, 5, true, "", -15},
      {15, 10, true, "", 20},
      {25, 10, true, "even", 20},
      {35, 10, true, "even", 40},
      {15, 10, true, "half-down", 10},
      {15, 10, true, "half-ceiling", 20},
      {-15, 10, true, "half-ceiling", -10},
      {-11, 10, true, "floor", -20},
      {-11, 10, true, "ceiling", -10},
      {19, 10, true, "down", 10},
      {-19, 10, true, "down", -10},
      {5, 0, true, "", 5},
      {5, -3, true, "", 6},
      {kMin, 0, false, "", kMin},
      // Only a result that does not fit is an overflow.
      {kMax, 10, true, "floor", 2147483640},
      {kMax, 10, true, "ceiling", 2147483650LL},
      {-kMax, 2, true, "floor", kMin},
      {kMin + 1, 10, true, "ceiling", -2147483640},
      {kMin, 10, true, "", -2147483650LL},
      {kMin, 10, true, "down", -2147483640},
      {kMin, 3, true, "ceiling", -2147483646},
      {kMin, 3, true, "floor", -2147483649LL},
      {kMin, kMin, true, "", kMin},
      {5, kMin, true, "", 0},
      {kMax, kMin, true, "", 2147483648LL},
  };
  for (const RoundCase& c : cases) {
    Cell scale = I(c.scale);
    Cell got{};
    std::string err = error_of([&] { got = round_with(I(c.n), c.has_scale ? &scale : nullptr, c.flags); });
    std::string label = std::to_string(c.n) + " to " + std::to_string(c.scale) + " " + c.flags;
    if (c.want < kMin || c.want > kMax) {
      EXPECT_EQ(err, "overflow") << label;
    } else {
      ASSERT_EQ(err, "") << label;
      EXPECT_TRUE(same_value(got, I(static_cast<i32>(c.want)))) << label << " gave " << text_of(got);
    }
  }
}

TEST_F(IntegerTest, RoundToAFloatScaleGivesTheScalesType) {
  Cell scale = F(0.5);
  EXPECT_TRUE(same_value(round_with(I(7), &scale, ""), F(7.0)));
  scale = Cell{type::money, 0, 0, 0};
  EXPECT_EQ(error_of([&] { round_with(I(7), &scale, ""); }), "not-related");
}

// --- make, to -------------------------------------------------------------------------------

TEST_F(IntegerTest, ToConversions) {
  struct Case {
    Cell spec{};
    i32 want;
    const char* error;
  };
  const Case cases[] = {
      {I(-5), -5, nullptr},
      {Ch('A'), 65, nullptr},
      {F(-1.9), -1, nullptr},
      {F(2147483647.0), kMax, nullptr},
      {F(-2147483648.0), kMin, nullptr},
      {F(2147483647.5), 0, "type-limit"},
      {F(-2147483648.5), 0, "type-limit"},
      {F(2147483648.0), 0, "type-limit"},
      {F(-2147483649.0), 0, "type-limit"},
      {F(float_::quiet_nan), 0, "type-limit"},
      {F(float_::infinity), 0, "type-limit"},
      {T(1.5), 2, nullptr},
      {T(-1.5), -1, nullptr},
      {T(2147483646.6), 2147483647, nullptr},
      {T(2147483647.5), 0, "type-limit"},
      {T(-2147483648.5), kMin, nullptr},
      {T(-2147483650.0), 0, "type-limit"},
      {logic::true_value, 0, "bad-to-arg"},
      {none(), 0, "bad-to-arg"},
  };
  for (const Case& c : cases) {
    Cell out{}, spec = c.spec;
    std::string err = error_of([&] { datatype::row(type::integer).to(&out, &spec, type::integer); });
    if (c.error) {
      EXPECT_EQ(err, c.error) << text_of(c.spec);
    } else {
      EXPECT_EQ(err, "") << text_of(c.spec);
      EXPECT_TRUE(same_value(out, I(c.want))) << text_of(c.spec) << " gave " << text_of(out);
    }
  }
  Cell out{}, spec = logic::true_value;
  EXPECT_EQ(datatype::row(type::integer).make(&out, &spec, type::integer)->as_int(), 1);
}

TEST_F(IntegerTest, ToFromText) {
  struct Case {
    const char* text;
    i32 want;
    bool ok;
  };
  const Case cases[] = {
      {"12", 12, true},           {"-2147483648", kMin, true}, {"+2147483647", kMax, true},
      {"1'000'000", 1000000, true}, {"2147483648", 0, false},  {"-2147483649", 0, false},
      {"1.5", 0, false},          {"", 0, false},              {"-", 0, false},
      {"12a", 0, false},          {" 12", 0, false},           {"99999999999999999999", 0, false},
  };
  for (const Case& c : cases) {
    Cell* spec = string::make_from_utf8(stack::push_cell(), c.text);
    Cell* out = stack::push_cell();
    std::string err = error_of([&] { datatype::row(type::integer).to(out, spec, type::integer); });
    if (c.ok) {
      EXPECT_EQ(err, "") << c.text;
      EXPECT_EQ(out->as_int(), c.want) << c.text;
    } else {
      EXPECT_EQ(err, "bad-to-arg") << '"' << c.text << '"';
    }
  }
  // binary!: the first up to four bytes, big-endian.
  Cell* bin = string::make_from_utf8(stack::push_cell(), std::string("\x01\x02", 2));
  cell::set_type(bin, type::binary);
  Cell* out = stack::push_cell();
  EXPECT_EQ(datatype::row(type::integer).to(out, bin, type::integer)->as_int(), 258);
  bin = string::make_from_utf8(stack::push_cell(), std::string("\x01\x02\x03\x04\x05", 5));
  cell::set_type(bin, type::binary);
  EXPECT_EQ(datatype::row(type::integer).to(out, bin, type::integer)->as_int(), 0x01020304);
}

TEST_F(IntegerTest, IssueNamesReadAsHex) {
  struct Case {
    std::u32string text;
    bool ok;
    i32 want;
  };
  const Case cases[] = {
      {U"FF", true, 255},           {U"ff", true, 255},          {U"7FFFFFFF", true, kMax},
      {U"FFFFFFFF", true, -1},      {U"123456789", false, 0},    {U"G", false, 0},
      {U"\x1F", false, 0},          {U"", true, 0},              {U"\x00C6", true, 0xF},  // 0xC6 & 0x7F is F
  };
  for (const Case& c : cases) {
    i32 v = 0;
    EXPECT_EQ(integer::hex_to_int(c.text, v), c.ok);
    if (c.ok) {
      EXPECT_EQ(v, c.want);
    }
  }
  // Through `to`, with the name coming from the words unit's hook.
  static std::string name;
  auto saved = hooks::word_name.get();
  hooks::word_name = [](const Cell*) { return name; };
  Cell issue{type::issue, 0, 0, 0}, out{};
  name = "ff";
  EXPECT_EQ(datatype::row(type::integer).to(&out, &issue, type::integer)->as_int(), 255);
  name = "123456789";
  EXPECT_EQ(error_of([&] { datatype::row(type::integer).to(&out, &issue, type::integer); }), "invalid-data");
  hooks::word_name = saved;
}

// --- compare, form, random --------------------------------------------------------------------

TEST_F(IntegerTest, Compare) {
  struct Case {
    Cell a, b;
    i32 op, want;
  };
  const Case cases[] = {
      {I(65), Ch('A'), 0, 0},  {I(65), Ch('A'), 2, 1},  {I(1), F(1.0), 0, 0},   {I(1), F(1.0), 2, 1},
      {I(1), F(1.0), 9, 1},    {I(1), I(1), 9, 0},      {I(kMin), I(kMax), 3, -1}, {I(2), F(1.5), 5, 1},
      {I(3), T(3), 0, 0},      {I(1), none(), 0, -2},   {I(1), none(), 3, -2},  {I(1), I(1), 12, 0},
      {I(1), F(1.0), 12, 1},
  };
  for (const Case& c : cases) {
    i32 got = datatype::row(type::integer).compare(&c.a, &c.b, c.op);
    i32 norm = got == -2 ? -2 : (got > 0) - (got < 0);
    EXPECT_EQ(norm, c.want) << text_of(c.a) << " op" << c.op << " " << text_of(c.b);
  }
}

TEST_F(IntegerTest, FormAndMoldWithBudget) {
  const std::pair<i32, const char*> cases[] = {{0, "0"}, {-2147483648, "-2147483648"}, {kMax, "2147483647"},
                                               {-1, "-1"}, {1000, "1000"}};
  for (auto [n, text] : cases) {
    Cell v = I(n);
    Cell* out = string::make_at(stack::push_cell(), 16);
    EXPECT_EQ(datatype::row(type::integer).form(&v, out, nullptr, 100), 100 - i32(std::strlen(text)));
    EXPECT_EQ(string::to_utf8(out), text);
    out = string::make_at(stack::push_cell(), 16);
    EXPECT_EQ(datatype::row(type::integer).mold(&v, out, false, false, false, nullptr, 3, 0), 3 - i32(std::strlen(text)));
    EXPECT_EQ(string::to_utf8(out), text);
  }
}

TEST_F(IntegerTest, Random) {
  const action::Row& row = datatype::row(type::integer);
  Cell v = I(42);
  EXPECT_EQ(row.random(&v, true, false, false)->type(), type::unset);
  // The same seed, the same draws.
  i32 first[3], second[3];
  for (i32* out : {first, second}) {
    random::seed(42);
    for (int i = 0; i < 3; ++i) {
      v = I(1000);
      out[i] = row.random(&v, false, false, false)->as_int();
    }
  }
  EXPECT_EQ(std::memcmp(first, second, sizeof first), 0);
  v = I(0);
  EXPECT_EQ(row.random(&v, false, false, false)->as_int(), 0);
  for (bool secure : {false, true}) {
    int seen[4] = {};
    for (int i = 0; i < 4000; ++i) {
      v = I(-3);
      i32 r = row.random(&v, false, secure, false)->as_int();
      ASSERT_TRUE(r >= -3 && r <= -1) << r;
      ++seen[-r];
    }
    for (int k = 1; k <= 3; ++k) EXPECT_GT(seen[k], 1100) << k;
    v = I(kMin);
    i32 r = row.random(&v, false, secure, false)->as_int();
    EXPECT_TRUE(r < 0);
    v = I(1);
    EXPECT_EQ(row.random(&v, false, secure, false)->as_int(), 1);
  }
}

TEST_F(IntegerTest, GeneratorOutputsAreNeverNegativeAndRepeatAfterSeeding) {
  random::seed(-12345);
  std::vector<i32> a;
  for (int i = 0; i < 2000; ++i) a.push_back(random::next());
  random::seed(-12345);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(random::next(), a[i]);
  for (i32 x : a) ASSERT_GE(x, 0);
  for (int i = 0; i < 200; ++i) ASSERT_GE(random::secure_next(), 0);
  // High bit of the outputs: about half of them have bit 30 set (no sign confusion).
  int high = 0;
  for (int i = 0; i < 20000; ++i) high += (random::next() >> 30) & 1;
  EXPECT_NEAR(high, 10000, 400);
}

TEST_F(IntegerTest, TableRowHasExactlyTheIntegerSlots) {
  const action::Row& row = datatype::row(type::integer);
  EXPECT_EQ(std::string(datatype::names[type::integer].name), "integer!");
  EXPECT_EQ(row.reflect, nullptr);
  EXPECT_EQ(row.eval_path, nullptr);
  EXPECT_EQ(row.append, nullptr);
  EXPECT_NE(row.and_t, nullptr);
  EXPECT_NE(row.complement, nullptr);
}

// ---- Text ----

i32 to_int(std::u32string_view text, u32 unit, i32* status) {
  std::string bytes;
  for (char32_t c : text) {
    u8 b[4];
    std::memcpy(b, &c, 4);
    bytes.append(reinterpret_cast<const char*>(b), unit);
  }
  return integer::from_text(reinterpret_cast<const std::byte*>(bytes.data()), static_cast<i32>(text.size()), unit,
                            status);
}

TEST(IntegerFromText, ReadsSignDigitsAndSeparators) {
  struct Case {
    std::u32string_view text;
    i32 value;
    i32 status;
  } cases[] = {
      {U"0", 0, 0},
      {U"123", 123, 0},
      {U"-123", -123, 0},
      {U"+5", 5, 0},
      {U"1'000'000", 1000000, 0},
      {U"2147483647", 2147483647, 0},
      {U"-2147483648", -2147483647 - 1, 0},
      {U"2147483648", 0, -2},
      {U"-2147483649", 0, -2},
      {U"99999999999999999999", 0, -2},
      {U"12x", 12, -1},
      {U"", 0, -1},
      {U"-", 0, -1},
      {U"1.5", 1, -1},
      {U"\u0661", 0, -1},  // a digit of another script is no digit here
  };
  for (const Case& c : cases) {
    for (u32 unit : {1u, 2u, 4u}) {
      if (unit == 1 && c.text.find_first_of(U"\u0661") != std::u32string_view::npos) {
        continue;
      }
      i32 status = 7;
      EXPECT_EQ(to_int(c.text, unit, &status), c.value) << unit;
      EXPECT_EQ(status, c.status) << unit;
    }
  }
}

}  // namespace
}  // namespace kiv
