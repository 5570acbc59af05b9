#include "runtime/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

using namespace kiv;
namespace ft = kiv::float_text;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan_value = std::nan("");

u64 bits(double x) { return std::bit_cast<u64>(x); }

double parse(const std::string& text, int extra = 0, int* status_out = nullptr) {
  int status = -1;
  double d = ft::parse_decimal(text.data(), text.data() + text.size(), extra, status);
  if (status_out) *status_out = status;
  return d;
}

// Number of random cases of the differential tests; KIV_FLOAT_CASES raises it for long runs.
long case_count(long fallback) {
  const char* env = std::getenv("KIV_FLOAT_CASES");
  return env ? std::atol(env) : fallback;
}

TEST(FloatText, FormLayout) {
  struct Case {
    double x;
    int precision;
    bool dot_zero;
    const char* text;
  };
  const Case cases[] = {
      {0.1 + 0.2, 0, true, "0.30000000000000004"},
      {0.0, 0, true, "0.0"},
      {-0.0, 0, true, "-0.0"},
      {0.0, 0, false, "0"},
      {-0.0, 6, false, "-0"},
      {inf, 0, true, "1.#INF"},
      {-inf, 0, true, "-1.#INF"},
      {nan_value, 0, true, "1.#NaN"},
      {-nan_value, 0, true, "1.#NaN"},
      {123456789012345678.0, 0, true, "1.2345678901234568e17"},
      {12345678901234567.0, 0, true, "12345678901234568.0"},
      {1e17, 0, true, "1.0e17"},
      {1e17, 0, false, "1e17"},
      {1e16, 0, true, "10000000000000000.0"},
      {1e-7, 0, true, "0.0000001"},
      {-1e-7, 0, false, "-0.0000001"},
      {1e-8, 0, true, "1.0e-8"},
      {0.1, 0, true, "0.1"},
      {-2.5, 0, true, "-2.5"},
      {123.0, 0, true, "123.0"},
      {123.0, 0, false, "123"},
      {1.5e300, 0, true, "1.5e300"},
      {5e-324, 0, true, "5.0e-324"},
      {-1.7976931348623157e308, 0, true, "-1.7976931348623157e308"},
      {1.25e-5, 0, true, "0.0000125"},
      {3.14159265358979, 6, false, "3.14159"},
      {1234567.0, 6, false, "1234570"},
      {1234567.0, 6, true, "1234570.0"},
      {0.5, 6, false, "0.5"},
      {0.1, 22, true, "0.1000000000000000055511"},
      {-1e-300, 22, true, "-1.000000000000000025059e-300"},
  };
  for (const Case& c : cases) EXPECT_STREQ(ft::form_float(c.x, c.precision, c.dot_zero), c.text) << c.text;
}

TEST(FloatText, DigitsAndPosition) {
  int point, sign, count;
  EXPECT_STREQ(ft::digits(-1234.5, 0, point, sign, count, true), "12345");
  EXPECT_EQ(point, 4);
  EXPECT_EQ(sign, 1);
  EXPECT_EQ(count, 5);
  EXPECT_STREQ(ft::digits(0.00125, 0, point, sign, count, true), "125");
  EXPECT_EQ(point, -2);
  EXPECT_EQ(sign, 0);
  // Precision mode rounds half to even on the exact binary value and drops trailing zeros.
  EXPECT_STREQ(ft::digits(2.5, 1, point, sign, count, false), "2");
  EXPECT_STREQ(ft::digits(1.0, 17, point, sign, count, false), "1");
  EXPECT_EQ(count, 1);
  EXPECT_STREQ(ft::digits(-inf, 0, point, sign, count, true), "-1.#INF");
  EXPECT_EQ(point, ft::special_position);
  EXPECT_STREQ(ft::digits(-0.0, 0, point, sign, count, true), "-0.0");
  EXPECT_EQ(point, ft::zero_position);
}

TEST(FloatText, ParseSyntaxAndStatus) {
  struct Case {
    const char* text;
    int extra;
    double value;
    int status;
  };
  const Case cases[] = {
      {"1.5e3", 0, 1500.0, 0},
      {"12.5 ", 0, 12.5, 1},
      {"12.5", -2, 0.125, 0},
      {"50", -2, 0.5, 0},
      {"+7", 0, 7.0, 0},
      {".5", 0, 0.5, 0},
      {"5.", 0, 5.0, 0},
      {"0007.250", 0, 7.25, 0},
      {"1E-2", 0, 0.01, 0},
      {"1e400", 0, inf, 0},
      {"-1e400", 0, -inf, 0},
      {"1e-400", 0, 0.0, 0},
      {"1.#INF", 0, inf, 0},
      {"-1.#INF", 0, -inf, 0},
      {"1.#inf", 0, inf, 0},
      {"", 0, 0.0, 0},
      {"abc", 0, 0.0, 3},
      {"-", 0, 0.0, 1},
      {".", 0, 0.0, 1},
      {"0x10", 0, 0.0, 3},
      // An "e" without exponent digits is not part of the number.
      {"1e", 0, 1.0, 1},
      {"1e+", 0, 1.0, 2},
      // Exponent digits end at the first character that is not one.
      {"1e5x", 0, 1e5, 1},
      // Exponents far past the range saturate instead of wrapping around.
      {"1e99999999999999999999999999", 0, inf, 0},
      {"1e-99999999999999999999999999", 0, 0.0, 0},
      {"1e4294967296", 0, inf, 0},
      {"1e2147483648", -2, inf, 0},
      {"1e-2147483649", 0, 0.0, 0},
      {"2.2250738585072011e-308", 0, 2.2250738585072011e-308, 0},
      {"4.9406564584124654e-324", 0, 5e-324, 0},
      {"2.4703282292062327e-324", 0, 0.0, 0},
      {"2.4703282292062328e-324", 0, 5e-324, 0},
      {"1.7976931348623158e308", 0, 1.7976931348623157e308, 0},
      {"1.7976931348623159e308", 0, inf, 0},
  };
  for (const Case& c : cases) {
    int status;
    double d = parse(c.text, c.extra, &status);
    EXPECT_EQ(bits(d), bits(c.value)) << c.text << " gave " << d;
    EXPECT_EQ(status, c.status) << c.text;
  }
  double nan_read = parse("1.#NaN");
  EXPECT_TRUE(std::isnan(nan_read));
  EXPECT_FALSE(std::signbit(nan_read));
  EXPECT_TRUE(std::signbit(parse("-0.0")));
  EXPECT_TRUE(std::signbit(parse("-1e-400")));
  // Digits far to the left or right of the point, with an exponent that brings them back.
  EXPECT_EQ(parse("0." + std::string(399, '0') + "1e400"), 1.0);
  EXPECT_EQ(parse("1" + std::string(400, '0') + "e-400"), 1.0);
  EXPECT_EQ(parse(std::string(5000, '0') + "3.25"), 3.25);
}

TEST(FloatText, SpecialTextsReadBack) {
  for (double x : {inf, -inf, nan_value, 0.0, -0.0}) {
    const char* text = ft::form_float(x, 0, true);
    int status;
    double back = ft::parse_decimal(text, text + std::strlen(text), 0, status);
    EXPECT_EQ(status, 0) << text;
    if (std::isnan(x)) {
      EXPECT_TRUE(std::isnan(back));
    } else {
      EXPECT_EQ(bits(back), bits(x)) << text;
    }
  }
}

TEST(FloatText, TextKinds) {
  struct Case {
    double x;
    int kind;
    bool pretty;
    const char* text;
  };
  namespace k = ft::kind;
  const Case cases[] = {
      {3.0, k::float64, false, "3.0"},
      {1e20, k::float64, false, "1.0e20"},
      {1.5e-5, k::float64, false, "1.5e-5"},
      {-0.0, k::float64, false, "-0.0"},
      {0.1 + 0.2, k::float64, false, "0.3"},
      {0.1 + 0.7, k::float64, false, "0.7999999999999999"},
      {0.1 + 0.7, k::float64, true, "0.8"},
      {1.0 / 3.0, k::float64, true, "0.3333333333333333"},
      {123456789012345678.0, k::float64, false, "1.234567890123457e17"},
      {1e-17, k::float64, true, "0.0"},
      {1e-17, k::float64, false, "1.0e-17"},
      {-0.0, k::float64, true, "0.0"},
      {0.1f, k::float32, false, "0.1"},
      {3.0, k::float32, false, "3.0"},
      {1e-17, k::float32, true, "0.0"},
      {0.5, k::percent32, false, "0.5%"},
      {50.0, k::percent, false, "50%"},
      {1e20, k::percent, false, "1e20%"},
      {1e-17, k::percent, true, "0%"},
      {1e-17, k::percent32, true, "0%"},
      {1.5, k::seconds, false, "1.5"},
      {3.0, k::seconds, false, "3"},
      {0.1234567, k::seconds, false, "0.123457"},
      {59.999999999, k::seconds, false, "60"},
      {3.0, k::point, false, "3"},
      {2.5, k::point, false, "2.5"},
      {1e20, k::point, false, "1e20"},
      {1e-17, k::point, true, "0"},
      {inf, k::percent, false, "1.#INF"},
      {-inf, k::point, true, "-1.#INF"},
      {nan_value, k::float64, false, "1.#NaN"},
      {7.0, 9, false, "7.0"},
      {7.0, -1, false, "7.0"},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(ft::to_cstring(c.x, c.kind, c.pretty), c.text) << c.text << " kind " << c.kind;
}

// ---- differential runs against the C library ----

// x from random bit patterns: every binade, subnormals and both signs; specials skipped.
double random_double(std::mt19937_64& rng) {
  for (;;) {
    double x = std::bit_cast<double>(rng());
    if (std::isfinite(x)) return x;
  }
}

// Shortest digits as std::to_chars gives them (mantissa digits only).
int shortest_digit_count(double x) {
  char buf[64];
  char* end = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific).ptr;
  int n = 0;
  for (char* p = buf; p < end && *p != 'e'; ++p) n += *p != '.';
  return n;
}

TEST(FloatText, DifferentialRoundTrip) {
  std::mt19937_64 rng(20240611);
  long n = case_count(100000);
  char buf[64];
  for (long i = 0; i < n; ++i) {
    double x = random_double(rng);
    if (i % 4 == 1) x = std::ldexp(static_cast<double>(rng() >> 12), -1074);  // subnormal region
    if (i % 4 == 2) x = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 100);

    // The molded text reads back to the same double, through the C library and through us.
    const char* text = ft::form_float(x, 0, true);
    double back = std::strtod(text, nullptr);
    ASSERT_EQ(bits(back), bits(x)) << text;
    int status;
    ASSERT_EQ(bits(ft::parse_decimal(text, text + std::strlen(text), 0, status)), bits(x)) << text;
    ASSERT_EQ(status, 0);

    // It is as short as the shortest round-trip digits.
    int point, sign, count;
    ft::digits(x, 0, point, sign, count, true);
    if (x != 0) {
      ASSERT_EQ(count, shortest_digit_count(x)) << text;
    }

    // 17 significant digits agree with printf, and its text reads back through us exactly.
    std::snprintf(buf, sizeof buf, "%.17g", x);
    ASSERT_EQ(bits(ft::parse_decimal(buf, buf + std::strlen(buf), 0, status)), bits(x)) << buf;
    std::snprintf(buf, sizeof buf, "%.16e", std::fabs(x));
    std::string expected;
    for (char* p = buf; *p != 'e'; ++p)
      if (*p != '.') expected += *p;
    while (expected.size() > 1 && expected.back() == '0') expected.pop_back();
    if (x != 0) {
      ASSERT_EQ(std::string(ft::digits(x, 17, point, sign, count, false)), expected) << buf;
    }
  }
}

TEST(FloatText, DifferentialDecimalTexts) {
  std::mt19937_64 rng(7);
  long n = case_count(100000);
  for (long i = 0; i < n; ++i) {
    // Random digit strings: up to 40 digits, a point anywhere, exponents across the whole range.
    std::string text;
    if (rng() & 1) text += '-';
    int digits = 1 + static_cast<int>(rng() % 40);
    int point = static_cast<int>(rng() % (digits + 1));
    for (int d = 0; d < digits; ++d) {
      if (d == point) text += '.';
      text += static_cast<char>('0' + rng() % 10);
    }
    text += 'e';
    text += std::to_string(static_cast<int>(rng() % 700) - 350);
    double expected = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(bits(parse(text)), bits(expected)) << text;
  }
}

// Decimal texts of the exact midpoints between neighbouring doubles (ties go to even), and of
// values just above and below them. The midpoints are exact in x87 long double, whose 64-bit
// mantissa holds the 54 bits they need, and glibc prints them exactly: up to 800 digits.
TEST(FloatText, HalfwayCasesAndLongInputs) {
  std::mt19937_64 rng(99);
  std::vector<char> buf(1200);
  long n = case_count(100000) / 50;
  for (long i = 0; i < n; ++i) {
    double x = random_double(rng);
    if (i % 3 == 0) x = std::ldexp(static_cast<double>(rng() >> 12), -1074);
    x = std::fabs(x);
    double next = std::nextafter(x, inf);
    if (!std::isfinite(next)) continue;
    long double mid = (static_cast<long double>(x) + static_cast<long double>(next)) / 2;
    std::snprintf(buf.data(), buf.size(), "%.800Le", mid);
    std::string text = buf.data();
    std::string mantissa = text.substr(0, text.find('e'));
    std::string exponent = text.substr(text.find('e'));
    for (const std::string& t : {text, mantissa + "1" + exponent, mantissa.substr(0, mantissa.size() - 1) + exponent}) {
      double expected = std::strtod(t.c_str(), nullptr);
      ASSERT_EQ(bits(parse(t)), bits(expected)) << t;
    }
    double tie = parse(text);
    ASSERT_TRUE(tie == x || tie == next);
    ASSERT_EQ(bits(tie) & 1, 0u) << text;  // the even neighbour
  }
}

TEST(FloatText, PowersOfTen) {
  for (int e = -345; e <= 310; ++e) {
    std::string text = "1e" + std::to_string(e);
    double expected = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(bits(parse(text)), bits(expected)) << text;
    if (std::isfinite(expected) && expected != 0) {
      const char* formed = ft::form_float(expected, 0, true);
      ASSERT_EQ(bits(std::strtod(formed, nullptr)), bits(expected)) << formed;
    }
  }
}

TEST(FloatText, LiteralSyntax) {
  for (const char* good : {"1", "1.5", "1.", ".5", "1e5", "1E-5", "+1", "-1.5e+10", "1'000", "1.5'5", "1'5e3"})
    EXPECT_TRUE(ft::literal_syntax_q(good, static_cast<i32>(std::strlen(good)))) << good;
  for (const char* bad : {"", "e5", "1e", "1e+", "1..5", "1''0", "'1", "1.5.5", "1e5.5", "1x", "1+"})
    EXPECT_FALSE(ft::literal_syntax_q(bad, static_cast<i32>(std::strlen(bad)))) << bad;
}

}  // namespace
