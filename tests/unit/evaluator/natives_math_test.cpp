// The math natives on the compound scalars (pair!, point2D!, point3D!, tuple!, money!), whose
// cells are built here by their layouts: the language cannot write them until their units exist.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "datatypes/money.h"
#include "datatypes/tuple.h"
#include "evaluator/natives.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

Cell pair(i32 x, i32 y) { return Cell{type::pair, 0, static_cast<u32>(x), static_cast<u32>(y)}; }
Cell point2(float x, float y) { return Cell{type::point2D, std::bit_cast<u32>(x), std::bit_cast<u32>(y), 0}; }
Cell point3(float x, float y, float z) {
  return Cell{type::point3D, std::bit_cast<u32>(x), std::bit_cast<u32>(y), std::bit_cast<u32>(z)};
}
Cell tuple(std::initializer_list<u8> bytes) {
  Cell c{tuple::header_for(static_cast<i32>(bytes.size())), 0, 0, 0};
  std::memcpy(&c.w1, std::data(bytes), bytes.size());
  return c;
}
Cell real(double d) {
  Cell c{type::float_, 0, 0, 0};
  c.set_double(d);
  return c;
}
// money!: 22 BCD digits in bytes 5-15 (17 integral, 5 fractional).
Cell money(bool negative, u8 units) {
  Cell c{type::money | (negative ? money::sign_bit : 0u), 0, 0, 0};
  auto* bytes = reinterpret_cast<u8*>(&c);
  // Digit 17, the units, is the high nibble of byte 13.
  bytes[13] = static_cast<u8>(units % 10 << 4);
  return c;
}

bool same_cell(const Cell& a, const Cell& b) { return std::memcmp(&a, &b, sizeof(Cell)) == 0; }

std::string raised(auto&& body) {
  try {
    body();
  } catch (const LanguageError& e) {
    return e.id ? e.id : "";
  }
  return "";
}

Cell max_of(const Cell& a, const Cell& b) { return test::call({a, b}, [] { natives::max(true); }); }
Cell min_of(const Cell& a, const Cell& b) { return test::call({a, b}, [] { natives::min(true); }); }

TEST(NativesMath, MaxAndMinOfCompoundsAndNumbers) {
  test::boot_core();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* what;
    Cell a, b;
    bool max;
    Cell expected;
  } cases[] = {
      {"max 1x5 3", pair(1, 5), test::int_cell(3), true, pair(3, 5)},
      {"min 1x5 3", pair(1, 5), test::int_cell(3), false, pair(1, 3)},
      {"max 3 1x5: the compound comes first", test::int_cell(3), pair(1, 5), true, pair(3, 5)},
      {"max 1x5 2.7: truncated", pair(1, 5), real(2.7), true, pair(2, 5)},
      {"min 1x5 -2.7: truncated toward zero", pair(1, 5), real(-2.7), false, pair(-2, -2)},
      {"max 1x5 1e10: a point", pair(1, 5), real(1e10), true, point2(1e10f, 1e10f)},
      {"min 1x5 1e10: a point all the same", pair(1, 5), real(1e10), false, point2(1.0f, 5.0f)},
      {"max 1x5 NaN: a point, unchanged", pair(1, 5), real(nan), true, point2(1.0f, 5.0f)},
      {"max 1x5 3x2", pair(1, 5), pair(3, 2), true, pair(3, 5)},
      {"min 1x5 3x2", pair(1, 5), pair(3, 2), false, pair(1, 2)},
      {"max of point2D and 2", point2(1.5f, 2.5f), test::int_cell(2), true, point2(2.0f, 2.5f)},
      {"min of point3D and 0.25", point3(1.0f, -1.0f, 0.0f), real(0.25), false, point3(0.25f, -1.0f, 0.0f)},
      {"max of two points", point2(1.0f, 4.0f), point2(3.0f, 2.0f), true, point2(3.0f, 4.0f)},
      {"max 1.2.3 2", tuple({1, 2, 3}), test::int_cell(2), true, tuple({2, 2, 3})},
      {"max 1.2.3 300: clamped to 255", tuple({1, 2, 3}), test::int_cell(300), true, tuple({255, 255, 255})},
      {"min 1.2.3 -5: clamped to 0", tuple({1, 2, 3}), test::int_cell(-5), false, tuple({0, 0, 0})},
      {"min 10.20.30 25.9", tuple({10, 20, 30}), real(25.9), false, tuple({10, 20, 25})},
      {"max 1.5.3 4.2.3", tuple({1, 5, 3}), tuple({4, 2, 3}), true, tuple({4, 5, 3})},
      {"min 1.5.3.9 4.2.3.0", tuple({1, 5, 3, 9}), tuple({4, 2, 3, 0}), false, tuple({1, 2, 3, 0})},
  };
  for (const auto& c : cases) {
    const Cell r = c.max ? max_of(c.a, c.b) : min_of(c.a, c.b);
    EXPECT_TRUE(same_cell(r, c.expected)) << c.what;
  }
  // A float that no integer stands for cannot clamp the bytes of a tuple.
  for (double bad : {nan, 1e10, -3e9, std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(raised([&] { max_of(tuple({1, 2, 3}), real(bad)); }), "type-limit") << bad;
    EXPECT_EQ(raised([&] { min_of(real(bad), tuple({1, 2, 3})); }), "type-limit") << bad;
  }
}

TEST(NativesMath, ZeroAndSignsOfCompounds) {
  test::boot_core();
  auto zero = [](const Cell& v) { return test::call({v}, [] { natives::zero_q(true); }).w1 == 1; };
  auto sign = [](const Cell& v) { return static_cast<i32>(test::call({v}, [] { natives::sign_q(true); }).w2); };
  EXPECT_TRUE(zero(pair(0, 0)));
  EXPECT_FALSE(zero(pair(0, 1)));
  EXPECT_TRUE(zero(tuple({0, 0, 0, 0})));
  EXPECT_FALSE(zero(tuple({0, 0, 1})));
  EXPECT_TRUE(zero(point2(0.0f, -0.0f)));
  EXPECT_FALSE(zero(point3(0.0f, 0.0f, 1e-30f)));
  EXPECT_TRUE(zero(money(false, 0)));
  EXPECT_TRUE(zero(money(true, 0)));  // a negated zero is still zero
  EXPECT_FALSE(zero(money(false, 3)));
  EXPECT_EQ(sign(money(true, 3)), -1);
  EXPECT_EQ(sign(money(false, 3)), 1);
  EXPECT_EQ(sign(money(true, 0)), 0);
  auto negative = [](const Cell& v) { return test::call({v}, [] { natives::negative_q(true); }).w1 == 1; };
  EXPECT_TRUE(negative(money(true, 1)));
  EXPECT_FALSE(negative(money(true, 0)));
  // Outside their argument types the sign tests refuse the value even when the caller checked nothing.
  EXPECT_EQ(raised([&] { test::call({pair(1, 1)}, [] { natives::sign_q(false); }); }), "expect-arg");
}

}  // namespace
}  // namespace kiv
