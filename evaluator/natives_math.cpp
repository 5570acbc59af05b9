// The numeric natives that are not generic actions: the sign tests, max and min, shift, the
// trigonometric functions in degrees or radians, the logarithms, exp, square-root and NaN?.
//
// The compound scalars (pair!, point2D!, point3D!, tuple!, money!) are read by their cell layouts,
// as their headers lay them out.
#include <bit>
#include <cmath>
#include <numbers>

#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"

namespace kiv::natives {

using namespace detail;

namespace {

constexpr Types float_family = bit(type::float_) | bit(type::percent);
constexpr Types numbers = bit(type::integer) | float_family;                  // number!
constexpr Types signed_types = numbers | bit(type::money) | bit(type::time);  // [number! money! time!]
constexpr Types angle_types = bit(type::integer) | bit(type::float_);
constexpr Types log_types = angle_types | bit(type::percent);

// ---- Sign tests ----

// The sign of a number!, money! or time!: NaN has none (0). Another type raises expect-arg.
i32 sign_of(const Cell* v) {
  switch (v->type()) {
    case type::integer: return integer::sign_of(integer::get(v));
    case type::float_:
    case type::percent:
    case type::time: {
      const double d = v->as_double();
      return (d > 0.0) - (d < 0.0);
    }
    case type::money: return money::sign_of(v);
    default: actions::raise_expect_arg(v->type(), 0);
  }
}

Exit sign_test(bool check, i32 wanted) {
  if (check) check_args({signed_types});
  Cell* a = stack::arguments;
  logic::box(a, sign_of(a) == wanted);
  return Exit::none;
}

bool zero_value_q(const Cell* v) {
  switch (v->type()) {
    case type::integer:
    case type::char_: return integer::get(v) == 0;
    case type::float_:
    case type::percent:
    case type::time: return v->as_double() == 0.0;
    case type::pair: return pair::x_of(v) == 0 && pair::y_of(v) == 0;
    case type::tuple: {
      const u8* bytes = tuple::bytes_of(v);
      for (i32 i = 0; i < tuple::length_of(v); ++i)
        if (bytes[i] != 0) return false;
      return true;
    }
    case type::money: return money::sign_of(v) == 0;
    case type::point2D:
    case type::point3D:
      for (i32 i = 0; i < point::count_of(v->type()); ++i)
        if (point::get(v, i) != 0.0f) return false;
      return true;
    default: return false;
  }
}

// ---- max and min ----

bool number_q(u32 t) { return t == type::integer || t == type::float_ || t == type::percent; }
bool nan_value_q(const Cell* v) {
  return (v->type() == type::float_ || v->type() == type::percent) && float_::nan_q(v->as_double());
}
bool compound_q(u32 t) { return t == type::pair || t == type::point2D || t == type::point3D || t == type::tuple; }

double number_value(const Cell* n) {
  return n->type() == type::integer ? static_cast<double>(integer::get(n)) : n->as_double();
}

// Each coordinate of a point replaced by the larger (max) or smaller (min) of itself and x. A NaN
// x wins no comparison and leaves the coordinates as they are.
void clamp_point(Cell* p, double x, bool max) {
  for (i32 i = 0; i < point::count_of(p->type()); ++i) {
    const double c = point::get(p, i);
    if (max ? x > c : x < c) point::set(p, i, point::to_float32(x));
  }
}

// The number `n` as a whole number (a float truncated) in *k; false when no integer stands for it.
bool whole_number(const Cell* n, i32* k) {
  if (n->type() == type::integer) {
    *k = integer::get(n);
    return true;
  }
  const double d = std::trunc(n->as_double());
  if (integer::out_of_range_q(d)) return false;
  *k = static_cast<i32>(d);
  return true;
}

// The compound value in `c` combined with the number `n`, component by component.
void clamp_compound(Cell* c, const Cell* n, bool max) {
  i32 k;
  switch (c->type()) {
    case type::pair: {
      if (!whole_number(n, &k)) {
        // No integer can stand for the number: the pair becomes a point and takes it as it is.
        point::from_pair(c, c);
        clamp_point(c, n->as_double(), max);
        return;
      }
      const i32 x = pair::x_of(c), y = pair::y_of(c);
      pair::make_at(c, (max ? k > x : k < x) ? k : x, (max ? k > y : k < y) ? k : y);
      return;
    }
    case type::point2D:
    case type::point3D: clamp_point(c, number_value(n), max); return;
    case type::tuple: {
      if (!whole_number(n, &k)) {
        const Cell integer_type{type::datatype, type::integer, 0, 0};
        raise_error(ErrorCategory::script, "type-limit", integer_type);
      }
      const u8 b = static_cast<u8>(k < 0 ? 0 : k > 255 ? 255 : k);
      u8* bytes = tuple::bytes_of(c);
      for (i32 i = 0; i < tuple::length_of(c); ++i)
        if (max ? b > bytes[i] : b < bytes[i]) bytes[i] = b;
      return;
    }
    default: return;
  }
}

// Two values of one compound type combined component by component into `a`. False for two tuples
// of different lengths (those are ordered as whole values).
bool combine_compounds(Cell* a, const Cell* b, bool max) {
  switch (a->type()) {
    case type::pair: {
      auto pick = [max](i32 x, i32 y) { return (max ? y > x : y < x) ? y : x; };
      pair::make_at(a, pick(pair::x_of(a), pair::x_of(b)), pick(pair::y_of(a), pair::y_of(b)));
      return true;
    }
    case type::point2D:
    case type::point3D:
      for (i32 i = 0; i < point::count_of(a->type()); ++i) {
        const float x = point::get(a, i), y = point::get(b, i);
        if (max ? y > x : y < x) point::set(a, i, y);
      }
      return true;
    case type::tuple: {
      if (tuple::length_of(a) != tuple::length_of(b)) return false;
      u8* x = tuple::bytes_of(a);
      const u8* y = tuple::bytes_of(b);
      for (i32 i = 0; i < tuple::length_of(a); ++i)
        if (max ? y[i] > x[i] : y[i] < x[i]) x[i] = y[i];
      return true;
    }
    default: return false;
  }
}

Exit max_min(bool check, bool max) {
  if (check) {
    constexpr Types scalar = numbers | bit(type::char_) | bit(type::pair) | bit(type::tuple) | bit(type::time) |
                             bit(type::date) | bit(type::money) | bit(type::point2D) | bit(type::point3D);
    check_args({scalar | series, scalar | series});
  }
  Cell* a = stack::arguments;
  Cell* b = a + 1;
  const u32 ta = a->type(), tb = b->type();
  if (number_q(ta) && number_q(tb)) {
    if (nan_value_q(a)) return Exit::none;
    if (nan_value_q(b)) return result(*b);
  }
  if (compound_q(ta) && number_q(tb)) {
    clamp_compound(a, b, max);
    return Exit::none;
  }
  if (number_q(ta) && compound_q(tb)) {
    const Cell n = *a;
    *a = *b;
    clamp_compound(a, &n, max);
    return Exit::none;
  }
  if (ta == tb && compound_q(ta) && combine_compounds(a, b, max)) return Exit::none;
  const bool less = actions::compare(a, b, compare_op::lesser) != 0;
  // max: value2 when value1 < value2; min: value2 unless value1 < value2. Equal values give max
  // value1 and min value2.
  if (max == less) *a = *b;
  return Exit::none;
}

// ---- Trigonometry ----

// The double of an integer! or float! argument (a percent! is read as the float it holds).
double angle_value(const Cell* v, i32 position) {
  switch (v->type()) {
    case type::integer: return static_cast<double>(integer::get(v));
    case type::float_:
    case type::percent: return v->as_double();
    default: actions::raise_expect_arg(v->type(), position);
  }
}

enum class Trig : u8 { sine, cosine, tangent };

// Degrees brought into -180..180 (and, for sine and tangent, into -90..90 by the function's own
// symmetry), then radians.
double degrees_to_radians(double x, Trig f) {
  x = std::fmod(x, 360.0);
  if (x > 180.0 || x < -180.0) x += x < 0.0 ? 360.0 : -360.0;
  if (x > 90.0 || x < -90.0) {
    if (f == Trig::tangent) x += x < 0.0 ? 180.0 : -180.0;
    else if (f == Trig::sine) x = x < 0.0 ? -180.0 - x : 180.0 - x;
  }
  return x * std::numbers::pi / 180.0;
}

Exit trig(bool check, i32 radians, Trig f) {
  if (check) check_args({angle_types});
  Cell* a = stack::arguments;
  double x = angle_value(a, 0);
  if (radians < 0) x = degrees_to_radians(x, f);
  double r;
  if (f == Trig::tangent) {
    constexpr double half_pi = std::numbers::pi / 2.0;
    r = x == half_pi ? float_::infinity : x == -half_pi ? float_::minus_infinity : std::tan(x);
  } else {
    r = f == Trig::sine ? std::sin(x) : std::cos(x);
    // The residue of pi's rounding (sine 180 degrees is 1.2e-16) reads as the zero it stands for.
    if (std::fabs(r) < float_::epsilon) r = 0.0;
  }
  float_::make_at(a, r);
  return Exit::none;
}

Exit arc(bool check, i32 radians, double (*fn)(double)) {
  if (check) check_args({angle_types});
  Cell* a = stack::arguments;
  double r = fn(angle_value(a, 0));
  if (radians < 0) r = r * 180.0 / std::numbers::pi;
  float_::make_at(a, r);
  return Exit::none;
}

// ---- Logarithms and roots ----

Exit float_function(bool check, double (*fn)(double)) {
  if (check) check_args({log_types});
  Cell* a = stack::arguments;
  float_::make_at(a, fn(angle_value(a, 0)));
  return Exit::none;
}

double log2_of(double x) { return std::log(x) / 0.6931471805599453; }
double log10_of(double x) { return std::log10(x); }
double ln_of(double x) { return std::log(x); }
double exp_of(double x) { return std::exp(x); }
double sqrt_of(double x) { return std::sqrt(x); }
double arc_sine(double x) { return std::asin(x); }
double arc_cosine(double x) { return std::acos(x); }
double arc_tangent(double x) { return std::atan(x); }

}  // namespace

// ---- Sign tests ----

Exit negative_q(bool check) { return sign_test(check, -1); }
Exit positive_q(bool check) { return sign_test(check, 1); }

Exit sign_q(bool check) {
  if (check) check_args({signed_types});
  Cell* a = stack::arguments;
  integer::make_at(a, sign_of(a));
  return Exit::none;
}

Exit zero_q(bool check) {
  if (check) {
    check_args({numbers | bit(type::money) | bit(type::pair) | bit(type::time) | bit(type::char_) |
                bit(type::tuple) | bit(type::point2D) | bit(type::point3D)});
  }
  Cell* a = stack::arguments;
  logic::box(a, zero_value_q(a));
  return Exit::none;
}

Exit nan_q(bool check) {
  if (check) check_args({numbers});
  Cell* a = stack::arguments;
  logic::box(a, nan_value_q(a));
  return Exit::none;
}

// ---- max, min, shift ----

Exit max(bool check) { return max_min(check, true); }
Exit min(bool check) { return max_min(check, false); }

Exit shift(bool check, i32 left, i32 logical) {
  if (check) check_args({bit(type::integer), bit(type::integer)});
  Cell* a = stack::arguments;
  const i32 data = integer::get(a);
  i32 bits = integer::get(a + 1);
  if (bits < 0) bits = 0;
  // Shifting a 32-bit word by 32 or more is undefined in the machine's terms: the result is what
  // shifting one bit at a time would leave.
  i32 r;
  if (left >= 0) r = bits >= 32 ? 0 : static_cast<i32>(static_cast<u32>(data) << bits);
  else if (logical >= 0) r = bits >= 32 ? 0 : static_cast<i32>(static_cast<u32>(data) >> bits);
  else r = bits >= 32 ? (data < 0 ? -1 : 0) : data >> bits;
  integer::make_at(a, r);
  return Exit::none;
}

// ---- Trigonometry ----

Exit sine(bool check, i32 radians) { return trig(check, radians, Trig::sine); }
Exit cosine(bool check, i32 radians) { return trig(check, radians, Trig::cosine); }
Exit tangent(bool check, i32 radians) { return trig(check, radians, Trig::tangent); }
Exit arcsine(bool check, i32 radians) { return arc(check, radians, arc_sine); }
Exit arccosine(bool check, i32 radians) { return arc(check, radians, arc_cosine); }
Exit arctangent(bool check, i32 radians) { return arc(check, radians, arc_tangent); }

Exit arctangent2(bool check, i32 radians) {
  if (check) check_args({angle_types, angle_types});
  Cell* a = stack::arguments;
  double r = std::atan2(angle_value(a, 0), angle_value(a + 1, 1));
  if (radians < 0) r = r * 180.0 / std::numbers::pi;
  float_::make_at(a, r);
  return Exit::none;
}

// ---- Logarithms and roots ----

Exit log_2(bool check) { return float_function(check, log2_of); }
Exit log_10(bool check) { return float_function(check, log10_of); }
Exit log_e(bool check) { return float_function(check, ln_of); }
Exit exp(bool check) { return float_function(check, exp_of); }
Exit square_root(bool check) { return float_function(check, sqrt_of); }

}  // namespace kiv::natives
