// money!: the digit arithmetic against a binary fixed-point model (amounts as integers of
// hundred-thousandths), the literal round trip through the lexer on random amounts, the decimals
// option, and the currency list. What the language reaches is tested in tests/kiv/datatypes.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>

#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/money.h"
#include "lexer/lexer.h"
#include "runtime/hooks.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

namespace slot = action::slot;
using i128 = __int128;

constexpr i128 pow10(int n) {
  i128 v = 1;
  while (n-- > 0) v *= 10;
  return v;
}
constexpr i128 kScale = pow10(money::fraction_digits);
constexpr i128 kMax = pow10(money::digit_count) - 1;

i128 magnitude(i128 v) { return v < 0 ? -v : v; }
int significant(i128 v) {
  int n = 1;
  for (v = magnitude(v); v >= 10; v /= 10) ++n;
  return n;
}

// The cell of a model amount, built through the KIVBIN maker from its BCD bytes.
Cell money_of(i128 v, u8 currency = 0) {
  u8 bcd[money::digit_bytes] = {};
  i128 m = magnitude(v);
  for (int p = money::digit_count; p >= 1; --p, m /= 10) {
    u8 d = static_cast<u8>(m % 10);
    bcd[(p - 1) / 2] |= static_cast<u8>(p % 2 ? d << 4 : d);
  }
  Cell c;
  return *money::make_at(&c, v < 0, currency, bcd);
}

i128 value_of(const Cell& m) {
  i128 v = 0;
  const u8* bcd = money::digits_of(&m);
  for (int i = 0; i < money::digit_bytes; ++i) v = v * 100 + (bcd[i] >> 4) * 10 + (bcd[i] & 0xF);
  return money::negative_q(&m) ? -v : v;
}

std::string text_of(i128 v) {
  std::string s;
  for (i128 m = magnitude(v); m || s.empty(); m /= 10) s.insert(s.begin(), static_cast<char>('0' + m % 10));
  return (v < 0 ? "-" : "") + s;
}

struct Outcome {
  std::string error;  // "" when the operation gives a value
  i128 value = 0;
};

// The model: exact binary arithmetic on the scaled amounts, products and quotients truncated
// toward zero, with the same early type-limit tests on the significant digit counts.
Outcome model(i32 op, i128 a, i128 b) {
  i128 r = 0;
  switch (op) {
    case 0: r = a + b; break;
    case 1: r = a - b; break;
    case 2:
      if (significant(a) + significant(b) > 28) return {"type-limit"};
      r = a * b / kScale;
      break;
    default:
      if (b == 0) return {"zero-divide"};
      if (significant(a) - significant(b) + 6 > money::digit_count) return {"type-limit"};
      r = op == 3 ? a * kScale / b : a % b;
      break;
  }
  if (magnitude(r) > kMax) return {"type-limit"};
  return {"", r};
}

// The slot's action on two values, as `left op right` runs it.
Outcome run(u32 s, const Cell& left, const Cell& right) {
  Cell* saved = stack::top;
  Outcome o;
  try {
    stack::Call call;
    stack::push_value(&left);
    stack::push_value(&right);
    actions::call_stack_style(s);
    EXPECT_EQ(call.result()->type(), type::money);
    o.value = value_of(*call.result());
  } catch (const LanguageError& e) {
    o.error = e.id;
  }
  stack::top = saved;
  return o;
}

class MoneyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    lexer::init();
  }
  std::mt19937_64 rng{20240611};

  // Amounts of every length, with the edges that overflow comes from drawn often.
  i128 amount(int max_digits = money::digit_count) {
    std::uniform_int_distribution<int> pick(0, 15);
    std::uniform_int_distribution<int> length(1, max_digits);
    i128 v;
    switch (pick(rng)) {
      case 0: v = pow10(max_digits) - 1; break;
      case 1: v = pow10(length(rng) - 1); break;
      case 2: v = 0; break;
      default: {
        int n = length(rng);
        v = 0;
        for (int i = 0; i < n; ++i) v = v * 10 + static_cast<int>(rng() % 10);
      }
    }
    return rng() & 1 ? -v : v;
  }
};

TEST_F(MoneyTest, ArithmeticAgreesWithTheModel) {
  const u32 slots[] = {slot::add, slot::subtract, slot::multiply, slot::divide, slot::remainder};
  for (int i = 0; i < 1000000; ++i) {
    const i32 op = static_cast<i32>(rng() % 5);
    const i128 a = amount();
    // A product or quotient takes a number on the right: a float of at most 15 significant digits,
    // which reads back as exactly that decimal, or an integer. Sums and remainders take money.
    i128 b;
    Cell right;
    if (op == 2 || op == 3) {
      if (rng() % 4 == 0) {
        i32 n = static_cast<i32>(rng() % 2000001) - 1000000;
        integer::box(&right, n);
        b = n * kScale;
      } else {
        b = amount(15);
        float_::box(&right, static_cast<double>(b) / 1e5);
        // The double of that decimal, read the way money reads floats (shortest text).
        Cell back;
        money::from_float(&back, right.as_double(), false);
        ASSERT_EQ(value_of(back), b) << text_of(b);
      }
    } else {
      b = amount();
      right = money_of(b);
    }
    const Outcome want = model(op, a, b);
    const Outcome got = run(slots[op], money_of(a), right);
    ASSERT_EQ(got.error, want.error) << "op " << op << " on " << text_of(a) << " and " << text_of(b);
    if (want.error.empty()) {
      ASSERT_TRUE(got.value == want.value)
          << "op " << op << " on " << text_of(a) << " and " << text_of(b) << ": " << text_of(got.value) << ", not "
          << text_of(want.value);
    }
  }
}

TEST_F(MoneyTest, TypeLimitEdges) {
  struct Case {
    u32 slot;
    i128 a, b;  // b as money for add/subtract/remainder, as an integer for multiply/divide
    const char* error;
  };
  const i128 one = kScale, max_units = pow10(17) - 1;
  const Case cases[] = {
      {slot::add, kMax, 1, "type-limit"},
      {slot::add, kMax - 1, 1, ""},
      {slot::add, -kMax, -1, "type-limit"},
      {slot::add, kMax, -kMax, ""},
      {slot::subtract, -kMax, 1, "type-limit"},
      {slot::subtract, kMax, -1, "type-limit"},
      {slot::subtract, kMax, kMax, ""},
      {slot::add, 5 * pow10(21), 5 * pow10(21), "type-limit"},
      {slot::add, 5 * pow10(21) - 1, 5 * pow10(21), ""},
      {slot::multiply, max_units * one, 1, ""},
      {slot::multiply, max_units * one, 2, "type-limit"},
      {slot::multiply, pow10(16) * one, 9, ""},
      {slot::multiply, pow10(16) * one, 10, "type-limit"},
      {slot::multiply, -pow10(16) * one, -10, "type-limit"},
      {slot::divide, kMax, 1, ""},
      {slot::divide, kMax, -1, ""},
      {slot::divide, 1, 0, "zero-divide"},
      {slot::remainder, kMax, 7 * pow10(16), ""},
      {slot::remainder, -kMax, 7 * pow10(16), ""},
      {slot::remainder, 1, 0, "zero-divide"},
  };
  for (const Case& c : cases) {
    const bool number = c.slot == slot::multiply || c.slot == slot::divide;
    Cell right = money_of(c.b);
    if (number) integer::box(&right, static_cast<i32>(c.b));
    const i128 b = number ? c.b * kScale : c.b;
    const i32 op = c.slot == slot::add ? 0 : c.slot == slot::subtract ? 1 : c.slot == slot::multiply ? 2
                 : c.slot == slot::divide ? 3 : 4;
    const Outcome got = run(c.slot, money_of(c.a), right);
    EXPECT_EQ(got.error, c.error) << text_of(c.a) << " slot " << c.slot << " " << text_of(c.b);
    const Outcome want = model(op, c.a, b);
    EXPECT_EQ(want.error, c.error) << "the model disagrees on " << text_of(c.a);
    if (got.error.empty()) {
      EXPECT_TRUE(got.value == want.value) << text_of(got.value);
    }
  }
}

// load mold v = v with all decimals, and with the two decimals mold and form show when the amount
// has no more; the currency comes back too.
TEST_F(MoneyTest, MoldedAmountsLoadBack) {
  for (int i = 0; i < 100000; ++i) {
    // Collections have nothing to find in a money token: past the first few loads they would only
    // slow the round trip down under torture.
    std::optional<test::Building> quiet;
    if (i >= 300) quiet.emplace();
    i128 v = amount();
    const bool cents = i % 2;
    if (cents) v -= v % 1000;
    const u8 currency = rng() % 3 ? 0 : static_cast<u8>(1 + rng() % money::currency_count());
    Cell m = money_of(v, currency);
    std::string texts[] = {test::mold_text(m, false, true), cents ? test::mold_text(m) : "",
                           cents ? test::form_text(m) : ""};
    for (const std::string& text : texts) {
      if (text.empty()) continue;
      Cell* out = stack::push_cell();
      lexer::load_one(text, out);
      ASSERT_EQ(out->type(), type::money) << text;
      ASSERT_TRUE(value_of(*out) == v || (v == 0 && value_of(*out) == 0)) << text;
      ASSERT_EQ(money::currency_of(out), currency) << text;
      stack::top = out;
    }
  }
}

TEST_F(MoneyTest, DecimalsOption) {
  struct Case {
    i32 digits;
    const char* form;
  };
  const Case cases[] = {{0, "$1'234'567"}, {-3, "$1'234'567"}, {1, "$1'234'567.8"},
                        {4, "$1'234'567.8910"}, {9, "$1'234'567.89100"}};
  static i32 option = 2;
  auto saved = hooks::money_digits.get();
  hooks::money_digits = [] { return option; };
  Cell m = money_of(123456789100);
  for (const Case& c : cases) {
    option = c.digits;
    EXPECT_EQ(test::form_text(m), c.form) << c.digits;
    EXPECT_EQ(test::mold_text(m, false, true), "$1234567.89100") << "mold/all keeps all five";
  }
  hooks::money_digits = saved;
}

TEST_F(MoneyTest, CurrencyListGrowsAtItsEnd) {
  const i32 usd = money::currency_index("USD");
  ASSERT_GT(usd, 0);
  EXPECT_EQ(money::currency_index("usd"), usd);
  EXPECT_EQ(money::currency_name(usd), "USD");
  EXPECT_EQ(money::currency_index("US"), 0);
  EXPECT_EQ(money::add_currency("usd"), usd);  // already there
  EXPECT_EQ(money::add_currency("ABCD"), 0);
  const i32 first = money::currency_count() + 1;
  EXPECT_EQ(money::add_currency("Qqa"), first);
  EXPECT_EQ(money::currency_index("QQA"), first);
  Cell m;
  ASSERT_TRUE(money::from_text("qqa$1", true, &m));
  EXPECT_EQ(money::to_text(&m, true, false), "Qqa$1.00");
  // The index is a byte: the list stops at 255 names.
  for (char c = 'b'; money::currency_count() < money::max_currencies; ++c)
    for (char d = 'a'; d <= 'z' && money::currency_count() < money::max_currencies; ++d)
      money::add_currency(std::string{'Q', c, d});
  EXPECT_EQ(money::add_currency("ZZZ"), 0);
  EXPECT_EQ(money::currency_index("USD"), usd);
}

}  // namespace
}  // namespace kiv
