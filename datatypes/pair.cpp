// pair!: makers from numbers, blocks, text and points; coordinate arithmetic that turns into point2D!
// arithmetic where 32 bits cannot hold the result; the x and y fields; rounding and random.
#include "datatypes/pair.h"

#include <cmath>
#include <string>

#include "datatypes/float.h"
#include "datatypes/frame_words.h"
#include "datatypes/integer.h"
#include "datatypes/point.h"
#include "datatypes/registry.h"
#include "datatypes/scalar.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kiv::pair {

namespace {

[[noreturn]] void invalid_arg(const Cell& value) { raise_error(ErrorCategory::script, "invalid-arg", value); }

// A double truncated toward zero into 32 bits; invalid-arg with the culprit when it cannot be.
i32 truncated(double d, const Cell& culprit) {
  const double t = std::trunc(d);
  if (integer::out_of_range_q(t)) invalid_arg(culprit);
  return static_cast<i32>(t);
}

// One coordinate operation in 64 bits; false when the result is no 32-bit integer (an overflow, or
// a division that leaves a remainder). A zero divisor raises math zero-divide.
bool coordinate_op(i64 a, i64 b, i32 op, i32& out) {
  i64 r;
  switch (op) {
    case 0: r = a + b; break;
    case 1: r = a - b; break;
    case 2: r = a * b; break;
    case 3:
      if (b == 0) raise_error(ErrorCategory::math, "zero-divide");
      if (a % b) return false;
      r = a / b;
      break;
    case 4:
      if (b == 0) raise_error(ErrorCategory::math, "zero-divide");
      r = a % b;
      break;
    case 5: r = a | b; break;
    case 6: r = a & b; break;
    default: r = a ^ b; break;
  }
  if (r < integer::min_value || r > integer::max_value) return false;
  out = static_cast<i32>(r);
  return true;
}

// The pair at the arguments base becomes a point2D! and the operation is redone as point arithmetic.
void as_points(i32 op, bool reversed) {
  point::from_pair(stack::arguments, stack::arguments);
  point::do_math(op, reversed);
}

// The arithmetic with the pair first; `reversed` computes other op pair (the integer! dispatcher's
// number - pair).
void compute(i32 op, bool reversed) {
  Cell* left = stack::arguments;
  Cell* right = left + 1;
  i64 b[2];
  switch (right->type()) {
    case type::integer: b[0] = b[1] = integer::get(right); break;
    case type::pair:
      b[0] = x_of(right);
      b[1] = y_of(right);
      break;
    case type::float_:
    case type::percent: {
      const double f = right->as_double();
      if (!std::isfinite(f)) invalid_arg(*right);
      if (op == 3 && f == 0) raise_error(ErrorCategory::math, "zero-divide");
      if (op == 2 || op == 3) return as_points(op, reversed);
      // Any other operator takes f truncated, in point arithmetic too.
      const double t = std::trunc(f);
      float_::box(right, t);
      if (integer::out_of_range_q(t)) return as_points(op, reversed);
      b[0] = b[1] = static_cast<i32>(t);
      break;
    }
    case type::point2D: return as_points(op, reversed);
    default: scalar::invalid_type(*right);
  }
  const i64 a[2] = {x_of(left), y_of(left)};
  i32 r[2];
  bool exact = true;
  for (i32 i = 0; i < 2; ++i) exact &= reversed ? coordinate_op(b[i], a[i], op, r[i]) : coordinate_op(a[i], b[i], op, r[i]);
  if (!exact) return as_points(op, reversed);
  make_at(left, r[0], r[1]);
}

// What the integer! and float! dispatchers hand over, the pair swapped first: from integer! a
// subtract is number - pair (float! refuses it).
void from_number(i32 op) { compute(op, op == 1); }

}  // namespace

Cell* push(i32 x, i32 y) { return box(stack::push_cell(), x, y); }

Cell* make_in(Cell* block, i32 x, i32 y) { return box(cell::append_slot(block), x, y); }

i32 get_axis(const Cell* word) { return scalar::field_named(word, {"x", "y"}); }

i32 coordinate_from(const Cell* number) {
  if (number->type() == type::integer) return integer::get(number);
  return truncated(number->as_double(), *number);
}

void do_math(i32 op) { compute(op, false); }

Cell* make(Cell* proto, Cell* spec, u32) {
  switch (spec->type()) {
    case type::pair: return cell::copy(spec, proto);
    case type::integer:
    case type::float_: {
      const i32 n = coordinate_from(spec);
      return box(proto, n, n);
    }
    case type::block: {
      i32 n;
      const Cell* e = scalar::block_cells(spec, n);
      auto number_q = [](const Cell& c) { return c.type() == type::integer || c.type() == type::float_; };
      if (n < 2 || !number_q(e[0]) || !number_q(e[1])) scalar::malconstruct(type::pair, *spec);
      const Cell x = e[0], y = e[1];
      return box(proto, coordinate_from(&x), coordinate_from(&y));
    }
    case type::string: {
      Cell p;
      scalar::scan_text_as(spec, type::pair, &p);
      return cell::copy(&p, proto);
    }
    case type::point2D: {
      const Cell point = *spec;
      return box(proto, truncated(point::get(&point, 0), point), truncated(point::get(&point, 1), point));
    }
    default: scalar::bad_to_arg(type::pair, *spec);
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(x_of(value) ^ y_of(value));
    return unset::make_at(value);
  }
  return make_at(value, random::integer(secure, x_of(value)), random::integer(secure, y_of(value)));
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  std::string text = integer::to_decimal(x_of(value));
  text += 'x';
  text += integer::to_decimal(y_of(value));
  return scalar::append_text(out, text, limit);
}


Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32, bool, bool,
                bool, bool) {
  i32 axis = element->type() == type::word ? get_axis(element) : 0;
  if (element->type() == type::integer && (element->as_int() == 1 || element->as_int() == 2)) axis = element->as_int();
  if (!axis) raise_error(ErrorCategory::script, "invalid-path", path ? *path : Cell{type::none, 0, 0, 0}, *element);
  if (!value) return integer::push(axis == 1 ? x_of(parent) : y_of(parent));
  if (value->type() != type::integer) scalar::invalid_type(*value);
  const Cell old = *parent;
  (axis == 1 ? parent->w2 : parent->w3) = value->w2;
  scalar::report_change(gparent, p_item, &old, parent);
  return value;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  switch (b->type()) {
    case type::pair: {
      auto sign = [](i64 d) { return static_cast<i32>((d > 0) - (d < 0)); };
      const i64 dx = i64{x_of(a)} - x_of(b);
      return dx ? sign(dx) : sign(i64{y_of(a)} - y_of(b));
    }
    case type::point2D: {
      if (op == compare_op::strict_equal || op == compare_op::same || op == compare_op::find) return 1;
      Cell p = *a;
      return point::compare(point::from_pair(&p, a), b, op);
    }
    default: return -2;
  }
}

void absolute() {
  Cell* p = stack::arguments;
  make_at(p, integer::abs(x_of(p)), integer::abs(y_of(p)));
}

Cell* negate(Cell* value) {
  // 32-bit negation: -2147483648 stays itself.
  value->w2 = 0u - value->w2;
  value->w3 = 0u - value->w3;
  return value;
}

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling) {
  if (scale && scale->type() == type::money)
    raise_error(ErrorCategory::script, "not-related", *stack::get_where(), scalar::datatype_arg(type::money));
  i32 r[2];
  for (i32 i = 0; i < 2; ++i) {
    Cell c, s;
    integer::box(&c, i ? y_of(value) : x_of(value));
    if (scale && scale->type() == type::pair) integer::box(&s, i ? y_of(scale) : x_of(scale));
    else if (scale) s = *scale;
    integer::round(&c, scale ? &s : nullptr, even, down, half_down, floor, ceiling, half_ceiling);
    if (c.type() == type::integer) {
      r[i] = integer::get(&c);
    } else {
      const double t = std::trunc(c.as_double());
      if (integer::out_of_range_q(t)) raise_error(ErrorCategory::math, "overflow");
      r[i] = static_cast<i32>(t);
    }
  }
  return make_at(value, r[0], r[1]);
}

Cell* pick(Cell* value, i32 index, Cell* boxed) {
  if (boxed && boxed->type() == type::word) {
    index = get_axis(boxed);
    if (!index) raise_error(ErrorCategory::script, "cannot-use", *boxed, *value);
  }
  if (index != 1 && index != 2) {
    Cell n;
    raise_error(ErrorCategory::script, "out-of-range", boxed ? *boxed : *integer::box(&n, index));
  }
  return integer::push(index == 1 ? x_of(value) : y_of(value));
}

Cell* reverse(Cell* value, Cell*, Cell*) { return make_at(value, y_of(value), x_of(value)); }


void init() {
  action::Entries e;
  e.make = make;
  e.random = random;
  e.to = make;
  e.form = form;
  e.mold = scalar::mold_as_form<form>;
  e.eval_path = eval_path;
  e.compare = compare;
  e.absolute = absolute;
  e.add = scalar::math_entry<do_math, 0>;
  e.divide = scalar::math_entry<do_math, 3>;
  e.multiply = scalar::math_entry<do_math, 2>;
  e.negate = negate;
  e.remainder = scalar::math_entry<do_math, 4>;
  e.round = round;
  e.subtract = scalar::math_entry<do_math, 1>;
  e.and_t = scalar::math_entry<do_math, 6>;
  e.or_t = scalar::math_entry<do_math, 5>;
  e.xor_t = scalar::math_entry<do_math, 7>;
  e.pick = pick;
  e.reverse = reverse;
  datatype::register_type(type::pair, 0, "pair!", e);
  hashtable::set_hash_procedure(type::pair, hashtable::hash_words123);
  float_::math[type::pair] = from_number;
}

}  // namespace kiv::pair
