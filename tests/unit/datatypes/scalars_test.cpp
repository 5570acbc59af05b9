// The compound scalars against small models on random operands: tuple! clamping, pair! arithmetic
// and its turn into point2D!, and the round trip of every literal form through mold and load. The
// language tests hold the cases by name; these hold the rules over many operands.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "lexer/lexer.h"
#include "runtime/float_text.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

std::mt19937_64 rng(20240611);

i64 uniform(i64 low, i64 high) { return std::uniform_int_distribution<i64>(low, high)(rng); }
bool chance(int percent) { return uniform(1, 100) <= percent; }

// An integer operand: edges, small values and anything in 32 bits.
i32 some_int() {
  static const i32 edges[] = {0, 1, -1, 2, 255, 256, -256, integer::max_value, integer::min_value, 65536};
  switch (uniform(0, 2)) {
    case 0: return edges[uniform(0, std::size(edges) - 1)];
    case 1: return static_cast<i32>(uniform(-300, 300));
    default: return static_cast<i32>(uniform(integer::min_value, integer::max_value));
  }
}

// A finite float operand: whole, fractional, large and zero.
double some_double() {
  switch (uniform(0, 3)) {
    case 0: return static_cast<double>(uniform(-300, 300));
    case 1: return static_cast<double>(uniform(-3000, 3000)) / 8.0;
    case 2: return std::ldexp(static_cast<double>(uniform(-1000000, 1000000)), static_cast<int>(uniform(-20, 40)));
    default: return 0.0;
  }
}

Cell real(double d) {
  Cell c;
  return *float_::box(&c, d);
}

// The id of the error the body raises, "" when it raises none.
std::string raised(auto&& body) {
  try {
    body();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "";
}

// The result of a call of the arithmetic on a and b, the value stack left as it was.
Cell do_math(const Cell& a, const Cell& b, void (*math)(i32), i32 op, std::string& error) {
  Cell r{type::none, 0, 0, 0};
  Cell* const mark = stack::top;
  error = raised([&] { r = test::call({a, b}, [&] { math(op); }); });
  stack::top = mark;
  return r;
}

// ---- tuple!: every byte op(b, n) exact, then clamped to 0..255 -------------------------------------------

struct Bytes {
  i32 length = 0;
  u8 b[12] = {};
};

Cell tuple_cell(const Bytes& t) {
  Cell c{tuple::header_for(t.length), 0, 0, 0};
  std::memcpy(tuple::bytes_of(&c), t.b, 12);
  return c;
}

u8 clamp_model(double v) { return std::isnan(v) || v <= 0 ? 0 : v >= 255 ? 255 : static_cast<u8>(std::trunc(v)); }

// The model's byte, or false for a zero divisor.
bool byte_model(i64 a, i64 b, i32 op, u8& out) {
  if ((op == 3 || op == 4) && b == 0) return false;
  const i64 r[] = {a + b, a - b, a * b, op == 3 ? a / b : 0, op == 4 ? a % b : 0, a | b, a & b, a ^ b};
  out = clamp_model(static_cast<double>(r[op]));
  return true;
}

TEST(TupleModel, RandomOperandsClampEveryByte) {
  test::boot_core();
  i32 failures = 0;
  for (i32 run = 0; run < 20000 && failures < 10; ++run) {
    Bytes left;
    left.length = static_cast<i32>(uniform(3, 12));
    for (i32 i = 0; i < left.length; ++i) left.b[i] = static_cast<u8>(uniform(0, 255));
    const i32 op = static_cast<i32>(uniform(0, 7));
    Cell right;
    Bytes want;
    std::string want_error;
    switch (uniform(0, 2)) {
      case 0: {  // integer!
        const i32 n = some_int();
        integer::box(&right, n);
        want.length = left.length;
        for (i32 i = 0; i < left.length && want_error.empty(); ++i)
          if (!byte_model(left.b[i], n, op, want.b[i])) want_error = "zero-divide";
        break;
      }
      case 1: {  // tuple!: the longer length, a missing byte 0
        Bytes r;
        r.length = static_cast<i32>(uniform(3, 12));
        for (i32 i = 0; i < r.length; ++i) r.b[i] = chance(10) ? 0 : static_cast<u8>(uniform(0, 255));
        right = tuple_cell(r);
        want.length = std::max(left.length, r.length);
        for (i32 i = 0; i < want.length && want_error.empty(); ++i)
          if (!byte_model(left.b[i], r.b[i], op, want.b[i])) want_error = "zero-divide";
        break;
      }
      default: {  // float!: codes 0-4 in floating point, truncated
        const double f = some_double();
        right = real(f);
        want.length = left.length;
        if (op > 4) want_error = "cannot-use";
        for (i32 i = 0; i < left.length && op <= 4; ++i) {
          const double a = left.b[i];
          const double r[] = {a + f, a - f, a * f, a / f, std::fmod(a, f)};
          want.b[i] = clamp_model(r[op]);
        }
      }
    }
    std::string error;
    const Cell got = do_math(tuple_cell(left), right, tuple::do_math, op, error);
    const bool ok = want_error.empty() ? error.empty() && got.type() == type::tuple &&
                                             tuple::length_of(&got) == want.length &&
                                             std::memcmp(tuple::bytes_of(&got), want.b, 12) == 0
                                       : error == want_error;
    if (!ok) {
      ++failures;
      ADD_FAILURE() << test::mold_text(tuple_cell(left)) << " op " << op << " " << test::mold_text(right) << " gave "
                    << (error.empty() ? test::mold_text(got) : error);
    }
  }
}

// ---- pair!: 32-bit coordinates while exact, else the whole operation in point2D! ----------------------

struct PairModel {
  std::string error;
  bool point = false;
  i32 x = 0, y = 0;  // the pair result
  float px = 0, py = 0;
};

PairModel pair_model(i32 x, i32 y, const Cell& right, i32 op) {
  PairModel m;
  const i64 a[2] = {x, y};
  double as_point[2];  // the right operand as point arithmetic takes it
  i64 b[2];
  bool promote = false;
  switch (right.type()) {
    case type::integer:
      b[0] = b[1] = integer::get(&right);
      as_point[0] = as_point[1] = integer::get(&right);
      break;
    case type::pair:
      b[0] = pair::x_of(&right);
      b[1] = pair::y_of(&right);
      as_point[0] = pair::x_of(&right);
      as_point[1] = pair::y_of(&right);
      break;
    default: {
      const double f = right.as_double();
      if (op == 3 && f == 0) return {"zero-divide"};
      // Multiply and divide scale in single precision; the other operators take f truncated.
      const double t = std::trunc(f);
      promote = op == 2 || op == 3 || t < integer::min_value || t > integer::max_value;
      as_point[0] = as_point[1] = (op == 2 || op == 3) ? static_cast<float>(f) : t;
      b[0] = b[1] = promote ? 0 : static_cast<i64>(t);
    }
  }
  if (!promote) {
    i64 r[2];
    for (i32 i = 0; i < 2; ++i) {
      if ((op == 3 || op == 4) && b[i] == 0) return {"zero-divide"};
      const i64 all[] = {a[i] + b[i], a[i] - b[i], a[i] * b[i], op == 3 ? a[i] / b[i] : 0, op == 4 ? a[i] % b[i] : 0,
                         a[i] | b[i], a[i] & b[i], a[i] ^ b[i]};
      r[i] = all[op];
      promote |= r[i] < integer::min_value || r[i] > integer::max_value || (op == 3 && a[i] % b[i] != 0);
    }
    m.x = static_cast<i32>(r[0]);
    m.y = static_cast<i32>(r[1]);
  }
  if (promote) {
    if (op > 4) return {"cannot-use"};
    m.point = true;
    float p[2];
    for (i32 i = 0; i < 2; ++i) {
      const double c = static_cast<float>(a[i]), d = as_point[i];
      const double r[] = {c + d, c - d, c * d, c / d, std::fmod(c, d)};
      p[i] = static_cast<float>(r[op]);
    }
    m.px = p[0];
    m.py = p[1];
  }
  return m;
}

TEST(PairModel, RandomOperandsStayPairsOrBecomePoints) {
  test::boot_core();
  i32 failures = 0;
  for (i32 run = 0; run < 50000 && failures < 10; ++run) {
    const i32 x = some_int(), y = some_int(), op = static_cast<i32>(uniform(0, 7));
    Cell right;
    switch (uniform(0, 2)) {
      case 0: integer::box(&right, some_int()); break;
      case 1: pair::box(&right, some_int(), some_int()); break;
      default: right = real(some_double());
    }
    Cell left;
    pair::box(&left, x, y);
    const PairModel want = pair_model(x, y, right, op);
    std::string error;
    const Cell got = do_math(left, right, pair::do_math, op, error);
    bool ok;
    if (!want.error.empty()) ok = error == want.error;
    else if (want.point)
      ok = error.empty() && got.type() == type::point2D &&
           std::bit_cast<u32>(point::get(&got, 0)) == std::bit_cast<u32>(want.px) &&
           std::bit_cast<u32>(point::get(&got, 1)) == std::bit_cast<u32>(want.py);
    else ok = error.empty() && got.type() == type::pair && pair::x_of(&got) == want.x && pair::y_of(&got) == want.y;
    if (!ok) {
      ++failures;
      ADD_FAILURE() << test::mold_text(left) << " op " << op << " " << test::mold_text(right) << " gave "
                    << (error.empty() ? test::mold_text(got) : error);
    }
  }
}

// A number on the left reaches the pair through the integer! dispatcher: the pair takes the number's
// place, and a subtraction takes each coordinate from the number.
TEST(PairModel, NumberFirstThroughTheDispatcher) {
  test::boot_core();
  for (i32 run = 0; run < 5000; ++run) {
    const i32 n = some_int(), x = some_int(), y = some_int();
    Cell p, number;
    pair::box(&p, x, y);
    integer::box(&number, n);
    for (i32 op : {0, 1, 2}) {
      std::string error;
      const Cell got = do_math(number, p, integer::do_math, op, error);
      ASSERT_EQ(error, "");
      Cell want;
      if (op == 1) {
        const i64 rx = i64{n} - x, ry = i64{n} - y;
        if (integer::out_of_range_q(static_cast<double>(rx)) || integer::out_of_range_q(static_cast<double>(ry))) {
          want.header = type::point2D;
          const double fx = static_cast<float>(x), fy = static_cast<float>(y);
          point2D::make_at(&want, static_cast<float>(n - fx), static_cast<float>(n - fy));
        } else {
          pair::box(&want, static_cast<i32>(rx), static_cast<i32>(ry));
        }
      } else {
        want = do_math(p, number, pair::do_math, op, error);
      }
      ASSERT_TRUE(got.type() == want.type() && got.w1 == want.w1 && got.w2 == want.w2 && got.w3 == want.w3)
          << n << " op " << op << " " << x << "x" << y << " gave " << test::mold_text(got);
    }
  }
}

// ---- point stores: every coordinate rounded to the nearest float, saturating at infinity -----------------

TEST(PointStore, CoordinatesRoundToSinglePrecision) {
  const double largest = std::numeric_limits<float>::max();
  const double half_unit = std::ldexp(1.0, 127 - 24);  // half the last unit of the largest float
  const struct {
    double in;
    float out;
  } cases[] = {
      {0.1, 0.1f},
      {-0.0, -0.0f},
      {16777217.0, 16777216.0f},  // a tie goes to even
      {largest, std::numeric_limits<float>::max()},
      {largest + half_unit / 2, std::numeric_limits<float>::max()},
      {largest + half_unit, std::numeric_limits<float>::infinity()},
      {-1e300, -std::numeric_limits<float>::infinity()},
      {1e-50, 0.0f},
  };
  for (const auto& c : cases)
    EXPECT_EQ(std::bit_cast<u32>(point::to_float32(c.in)), std::bit_cast<u32>(c.out)) << c.in;
  EXPECT_TRUE(std::isnan(point::to_float32(float_::quiet_nan)));
}

// ---- literals: load mold v = v ------------------------------------------------------------------------

float some_coordinate() {
  if (chance(5)) return chance(50) ? std::numeric_limits<float>::infinity() : 0.0f;
  for (;;) {
    const float f = std::bit_cast<float>(static_cast<u32>(uniform(0, 0xFFFFFFFF)));
    if (!std::isnan(f)) return f;
  }
}

// A percent of at most 13 significant digits, as its text holds it.
double some_percent() {
  const std::string text = std::to_string(uniform(-999999999999, 999999999999)) + "e" + std::to_string(uniform(-30, 30));
  int status = 0;
  return float_text::parse_decimal(text.data(), text.data() + text.size(), -2, status);
}

Cell some_value(u32 t) {
  Cell c{type::none, 0, 0, 0};
  switch (t) {
    case type::tuple: {
      Bytes b;
      b.length = static_cast<i32>(uniform(3, 12));
      for (i32 i = 0; i < b.length; ++i) b.b[i] = static_cast<u8>(uniform(0, 255));
      return tuple_cell(b);
    }
    case type::pair: return *pair::box(&c, some_int(), some_int());
    case type::point2D:
      c.header = t;
      return *point2D::make_at(&c, some_coordinate(), some_coordinate());
    case type::point3D:
      c.header = t;
      return *point3D::make_at(&c, some_coordinate(), some_coordinate(), some_coordinate());
    default: return *float_::box(&c, some_percent(), type::percent);
  }
}

TEST(Literals, LoadOfMoldIsEqual) {
  test::boot_core();
  lexer::init();
  const u32 torture = collector::torture_every;
  struct Restore {
    u32 every;
    ~Restore() { collector::set_torture(every); }
  } restore{torture};
  for (u32 t : {type::tuple, type::pair, type::point2D, type::point3D, type::percent}) {
    for (bool all : {false, true}) {
      i32 failures = 0;
      // 100 texts of 1000 values each: 10^5 values of each type and mold. Under the collector's
      // torture only the first text: the rest would take hours and test the text, not the collector.
      for (i32 batch = 0; batch < 100 && failures < 10; ++batch) {
        collector::set_torture(batch ? 0 : torture);
        Cell& values = test::block_of({});
        for (i32 i = 0; i < 1000; ++i) {
          const Cell v = some_value(t);
          block::append_value(&values, &v);
        }
        const std::string text = test::mold_text(values, true, all);
        Cell* loaded = stack::push_cell();
        const std::string error = raised([&] { lexer::load_text(text, loaded); });
        ASSERT_EQ(error, "") << text.substr(0, 200);
        ASSERT_EQ(block::length(loaded), 1000) << text.substr(0, 200);
        for (i32 i = 0; i < 1000 && failures < 10; ++i) {
          const Cell* a = block::cell_at(&values, i);
          const Cell* b = block::cell_at(loaded, i);
          if (b->type() != t || !actions::compare(a, b, compare_op::equal)) {
            ++failures;
            ADD_FAILURE() << test::mold_text(*a) << " loaded back as " << test::mold_text(*b);
          }
        }
        EXPECT_EQ(test::mold_text(*loaded, true, all), text);
        stack::top -= 2;
      }
    }
  }
}

TEST(Triple, FormsAsItsConstruction) {
  test::boot_core();
  Cell t;
  triple::make_at(&t, 1, -2, 3);
  EXPECT_EQ(test::form_text(t), "make triple! [1 -2 3]");
  EXPECT_EQ(test::mold_text(t), "make triple! [1 -2 3]");
  triple::make_at(&t, integer::min_value, 0, integer::max_value);
  EXPECT_EQ(test::mold_text(t, false, true), "make triple! [-2147483648 0 2147483647]");
  EXPECT_EQ(test::mold_text(t, false, false, false, 14), "make triple! [");
}

}  // namespace
}  // namespace kiv
