// float!: makers, the float core and the mixed-type dispatcher, tolerant equality, conversions,
// rounding and text.
#include "datatypes/float.h"

#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/frame_words.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "runtime/float_text.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/random.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::float_ {

namespace {

Cell datatype_arg(u32 type_id) {
  Cell c;
  datatype::make_at(&c, type_id);
  return c;
}

Cell word_arg(const char* name) {
  Cell c{type::none, 0, 0, 0};
  if (hooks::word_named) hooks::word_named(name, &c);
  return c;
}

[[noreturn]] void invalid_type(const Cell* value) {
  raise_error(ErrorCategory::script, "invalid-type", datatype_arg(value->type()));
}

[[noreturn]] void bad_to_arg(u32 type_id, const Cell& spec) {
  raise_error(ErrorCategory::script, "bad-to-arg", datatype_arg(type_id), spec);
}

void extended_math(u32 owner, i32 op, const Cell* refused) {
  auto fn = math[owner];
  if (!fn) invalid_type(refused);
  fn(op);
}

bool is_number_family(u32 t) {
  return t == type::integer || t == type::char_ || t == type::float_ || t == type::percent || t == type::time;
}

// The double of an integer!, char!, float!, percent! or time! operand.
double operand(const Cell* c) {
  u32 t = c->type();
  return t == type::integer || t == type::char_ ? static_cast<double>(c->as_int()) : c->as_double();
}

// The 64-bit pattern mapped onto an unsigned line on which the doubles are ordered and adjacent
// doubles are 1 apart (+0.0 and -0.0 meet at 2^63).
u64 ordered(double d) {
  u64 b = std::bit_cast<u64>(d);
  return (b >> 63) ? u64{0} - b : b + (u64{1} << 63);
}

// The cells of a block from its head.
const Cell* block_cells(const Cell* block, i32& count) {
  Cell b = *block;
  count = block::length(&b);
  return block::head_pointer(&b);
}

}  // namespace

Cell* push(double d) { return box(stack::push_cell(), d); }

Cell* push_words(u32 low, u32 high) {
  Cell* c = box(stack::push_cell(), 0.0);
  c->w2 = low;
  c->w3 = high;
  return c;
}

Cell* add_to_block(Cell* block, u32 low, u32 high) {
  Cell* c = box(cell::append_slot(block), 0.0);
  c->w2 = low;
  c->w3 = high;
  return c;
}

Cell* set_result(double d) { return box(stack::arguments, d); }

i32 round_to_integer(double x) {
  double t = std::trunc(x + below_half);
  if (t != t) return 0;
  if (t >= 2147483647.0) return integer::max_value;
  if (t <= -2147483648.0) return integer::min_value;
  return static_cast<i32>(t);
}

bool almost_equal_q(double a, double b) {
  if (nan_q(a) || nan_q(b)) return false;
  if (a == b) return true;
  if (abs(a - b) < epsilon) return true;
  u64 x = ordered(a), y = ordered(b);
  return (x > y ? x - y : y - x) <= 10;
}

bool equal32_q(float a, float b) {
  if (nan32_q(a) || nan32_q(b)) return false;
  if (a == b) return true;
  u32 pa = std::bit_cast<u32>(a), pb = std::bit_cast<u32>(b);
  u32 ma = pa & 0x7FFFFFFF, mb = pb & 0x7FFFFFFF;
  if (ma >= 0x7F7FFFFF || mb >= 0x7F7FFFFF)
    return (pa >> 31) == (pb >> 31) && (ma > mb ? ma - mb : mb - ma) < 0x100000;
  if (ma == 0 && mb == 0) return true;
  auto map = [](u32 p) -> i64 {
    i32 s = static_cast<i32>(p);
    return s < 0 ? i64{-2147483647 - 1} - s : s;
  };
  i64 diff = map(pa) - map(pb);
  return diff >= -10 && diff <= 10;
}

const char* to_cstring(double x, int kind) { return float_text::to_cstring(x, kind, pretty); }

double do_math_op(double a, double b, i32 op) {
  switch (op) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    case 3: return a / b;
    case 4:
      if (b * 0.0 == 0.0) return std::fmod(a, b);
      if (b != b) return b;
      return std::isfinite(a) ? a : quiet_nan;
    default:
      raise_error(ErrorCategory::script, "cannot-use", *stack::get_where(), datatype_arg(type::float_));
  }
}

void do_math(i32 op) {
  Cell* left = stack::arguments;
  Cell* right = left + 1;
  const u32 lt = left->type(), rt = right->type();
  switch (rt) {
    case type::tuple:
    case type::money:
    case type::vector: extended_math(rt, op, right); return;
    case type::pair:
    case type::point2D:
    case type::point3D: {
      if (lt == type::time) invalid_type(right);
      if (op == 1 || op == 3)
        raise_error(ErrorCategory::script, "not-related", word_arg(op == 1 ? "subtract" : "divide"),
                    datatype_arg(rt));
      Cell t = *left;
      *left = *right;
      *right = t;
      extended_math(rt, op, left);
      return;
    }
    default: break;
  }
  if (!is_number_family(rt) || (rt == type::char_ && (lt == type::time || lt == type::percent)))
    invalid_type(right);
  // Computed before anything is written: a refused operator leaves both operands as they were.
  double r = do_math_op(operand(left), operand(right), op);
  u32 result_type = lt == type::time || rt == type::time ? type::time
                    : lt == type::percent                 ? type::percent
                    : lt == type::integer || lt == type::char_ ? type::float_
                                                                : lt;
  cell::set_type(left, result_type);
  left->w1 = 0;
  left->set_double(r);
}

void add() { do_math(0); }
void subtract() { do_math(1); }
void multiply() { do_math(2); }
void divide() { do_math(3); }
void remainder() { do_math(4); }

double number_of(const Cell* c) {
  switch (c->type()) {
    case type::integer: return static_cast<double>(c->as_int());
    case type::float_: return c->as_double();
    default: bad_to_arg(type::float_, *c);
  }
}

double random_up_to(double max, bool secure) {
  if (secure) {
    double r1 = random::secure_next(), r2 = random::secure_next();
    return (r2 + r1 / 2147483647.0) * max / 2147483648.0;
  }
  // next() is never negative: the draw is uniform over 0 .. max.
  return static_cast<double>(random::next()) / 2147483647.0 * max;
}

double from_text(const std::byte* chars, i32 count, u32 unit, i32* status) {
  *status = -1;
  if (count <= 0 || count > 312) return quiet_nan;
  char buffer[313];
  for (i32 i = 0; i < count; ++i) {
    i32 c = string::read_unit(chars + static_cast<std::ptrdiff_t>(i) * unit, unit);
    if (c <= 0 || c > 127) return quiet_nan;
    buffer[i] = c == ',' ? '.' : static_cast<char>(c);
  }
  double d;
  if (!float_text::parse_literal(buffer, buffer + count, 0, d)) return quiet_nan;
  *status = 0;
  return d;
}

double from_text(const Cell* text, i32* status) {
  Cell s = *text;
  i32 n = string::length(&s);
  return from_text(string::head_pointer(&s), n, string::buffer_of(&s)->unit(), status);
}

Cell* make(Cell* proto, Cell* spec, u32 type_id) {
  double d;
  switch (spec->type()) {
    case type::integer:
    case type::char_: d = static_cast<double>(spec->as_int()); break;
    case type::money:
      if (!hooks::money_to_float) bad_to_arg(type_id, *spec);
      d = hooks::money_to_float(spec);
      break;
    case type::time:
    case type::float_:
    case type::percent: d = spec->as_double(); break;
    case type::string:
    case type::file:
    case type::url:
    case type::tag:
    case type::email:
    case type::ref: {
      if (type_id != type::percent) {
        i32 status = 0;
        d = from_text(spec, &status);
        if (status != 0) bad_to_arg(type_id, *spec);
        break;
      }
      // percent!: the one value the text loads to, a number.
      Cell scanned{type::none, 0, 0, 0};
      RootCell keep(scanned);
      bool one = false;
      try {
        one = word::scan_value(spec, &scanned);
      } catch (const LanguageError& e) {
        if (e.category != ErrorCategory::syntax) throw;
      }
      if (one && scanned.type() == type::integer) d = scanned.as_int();
      else if (one && (scanned.type() == type::float_ || scanned.type() == type::percent)) d = scanned.as_double();
      else bad_to_arg(type_id, *spec);
      break;
    }
    case type::binary: {
      Cell s = *spec;
      i32 n = string::length(&s);
      const std::byte* p = string::head_pointer(&s);
      u64 bits = 0;
      for (i32 i = 0; i < n && i < 8; ++i) bits = (bits << 8) | static_cast<u8>(p[i]);
      d = std::bit_cast<double>(bits);
      break;
    }
    case type::block:
    case type::paren:
    case type::hash: {
      i32 n;
      const Cell* e = block_cells(spec, n);
      if (n != 2) bad_to_arg(type_id, *spec);
      for (i32 i = 0; i < 2; ++i)
        if (e[i].type() != type::integer && e[i].type() != type::float_) bad_to_arg(type::float_, e[i]);
      double mantissa = operand(&e[0]);
      double exponent = std::trunc(operand(&e[1]));
      d = mantissa * std::pow(10.0, exponent);
      break;
    }
    default: bad_to_arg(type_id, *spec);
  }
  cell::set_type(proto, type_id);
  proto->w1 = 0;
  proto->set_double(d);
  return proto;
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(static_cast<i32>(value->w2 ^ value->w3));
    return unset::make_at(value);
  }
  value->set_double(random_up_to(value->as_double(), secure));
  return value;
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  const char* text = to_cstring(value->as_double(), float_text::kind::float64);
  string::append_c_string(out, text);
  return limit - static_cast<i32>(std::strlen(text));
}

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell*, i32 limit, i32) {
  const char* text = float_text::form_float(value->as_double(), 0, true);
  string::append_c_string(out, text);
  return limit - static_cast<i32>(std::strlen(text));
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  const u32 bt = b->type();
  if ((op == 2 || op == 9 || op == 12) && a->type() != bt) return 1;
  const double x = a->as_double();
  double y;
  switch (bt) {
    case type::integer: y = static_cast<double>(b->as_int()); break;
    case type::float_:
    case type::percent:
    case type::time: y = b->as_double(); break;
    case type::money: return hooks::compare_money ? hooks::compare_money(a, b, op) : -2;
    default: return -2;
  }
  switch (op) {
    case 0:
    case 1: return almost_equal_q(x, y) ? 0 : 1;
    case 2: return x == y ? 0 : 1;
    case 9: return std::bit_cast<u64>(x) == std::bit_cast<u64>(y) ? 0 : 1;
    default: break;
  }
  if (nan_q(x) || nan_q(y)) {
    switch (op) {
      case 3:
      case 4: return 1;
      case 5:
      case 6: return -1;
      // A NaN matches nothing in find, select and parse.
      case 10:
      case 11:
      case 12: return 1;
      default: return 0;
    }
  }
  return (x > y) - (x < y);
}

void absolute() {
  Cell* v = stack::arguments;
  v->set_double(abs(v->as_double()));
}

Cell* negate(Cell* value) {
  value->set_double(0.0 - value->as_double());
  return value;
}

void power() {
  Cell* base = stack::arguments;
  Cell* exponent = base + 1;
  u32 et = exponent->type();
  if (et != type::integer && et != type::float_) actions::raise_expect_arg(et, 1);
  base->set_double(std::pow(base->as_double(), operand(exponent)));
}

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling) {
  if (scale && scale->type() == type::money)
    raise_error(ErrorCategory::script, "not-related", *stack::get_where(), datatype_arg(type::money));
  const bool is_percent = value->type() == type::percent;
  double d = value->as_double();
  double s = is_percent ? 0.01 : 1.0;
  if (scale) {
    u32 st = scale->type();
    if (st != type::integer && st != type::float_ && st != type::percent && st != type::time)
      raise_error(ErrorCategory::script, "invalid-arg", *scale);
    s = abs(operand(scale));
    // A plain number scales a percent in percent points (1 means 1%); a percent! scale already
    // holds its fraction.
    if (is_percent && st != type::percent) s /= 100.0;
    if (s == 0.0) return value;
  }
  if (s < abs(d) * 0x1p-53) return value;

  bool split = false;
  int e = 0;
  if (s >= 1.0) {
    d = d / s;
  } else {
    double m = std::frexp(s, &e);
    if (e <= -1022) {
      d = std::ldexp(d, -e);
      s = m;
      split = true;
    }
    d = d * (1.0 / s);
  }

  const double a = abs(d);
  const double lo = std::floor(a), hi = std::ceil(a);
  auto with_sign = [&](double r) { return d < 0 ? 0.0 - r : r; };
  const double toward = with_sign(lo), away = with_sign(hi);
  const bool half = a == lo + 0.5;
  double r;
  if (down) r = toward;
  else if (floor) r = std::floor(d);
  else if (ceiling) r = std::ceil(d);
  else if (!half) r = a - lo > 0.5 ? away : toward;
  else if (even) r = std::fmod(a, 2.0) < 1.0 ? toward : away;
  else if (half_down) r = toward;
  else if (half_ceiling) r = std::ceil(d);
  else r = away;

  double result;
  if (s >= 1.0) {
    result = r * s;
    // Scaling back past the largest double is an overflow, not an infinity.
    if (abs(result) == max_finite || (std::isinf(result) && !std::isinf(d))) raise_error(ErrorCategory::math, "overflow");
  } else {
    result = r / (1.0 / s);
    if (split) result = std::ldexp(result, e);
  }

  if (scale && scale->type() == type::integer) {
    if (integer::out_of_range_q(std::trunc(result))) raise_error(ErrorCategory::math, "overflow");
    return integer::make_at(value, static_cast<i32>(result));
  }
  if (scale) cell::set_type(value, scale->type());
  value->w1 = 0;
  value->set_double(result);
  return value;
}

bool even_q(const Cell* value) {
  double d = std::trunc(value->as_double());
  if (integer::out_of_range_q(d)) return true;
  return (static_cast<i32>(d) & 1) == 0;
}

bool odd_q(const Cell* value) { return !even_q(value); }

u32 hash(const Cell* value, bool case_) {
  Cell c = *value;
  if (c.as_double() == 0.0) c.set_double(0.0);
  return hashtable::hash_words23(&c, case_);
}

void init() {
  action::Entries e;
  e.make = make;
  e.random = random;
  e.to = make;
  e.form = form;
  e.mold = mold;
  e.compare = compare;
  e.absolute = absolute;
  e.add = add;
  e.divide = divide;
  e.multiply = multiply;
  e.negate = negate;
  e.power = power;
  e.remainder = remainder;
  e.round = round;
  e.subtract = subtract;
  e.even_q = even_q;
  e.odd_q = odd_q;
  datatype::register_type(type::float_, 0, "float!", e);
  hashtable::set_hash_procedure(type::float_, hash);
  // percent! values are floats of their own type (percent literals, percent arithmetic) before
  // percent! registers its actions.
  hashtable::set_hash_procedure(type::percent, hash);
}

}  // namespace kiv::float_
