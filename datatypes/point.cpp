// point2D! and point3D!: makers from numbers, blocks, pairs and text; coordinate arithmetic through
// the float core, rounded to single precision; the x, y and z fields; tolerant comparison; rounding,
// random and text.
#include "datatypes/point.h"

#include <cmath>
#include <string>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/scalar.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/float_text.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kiv::point {

namespace {

bool number_q(const Cell& c) { return c.type() == type::integer || c.type() == type::float_; }

double number_of(const Cell& c) { return c.type() == type::integer ? c.as_int() : c.as_double(); }

// The coordinate a word or an integer selects (1-based); 0 for another integer or another type. An
// unknown word raises cannot-use on the point.
i32 selected(const Cell* selector, const Cell* point) {
  const i32 n = count_of(point->type());
  if (selector->type() == type::word) {
    const i32 field = n == 3 ? scalar::field_named(selector, {"x", "y", "z"}) : scalar::field_named(selector, {"x", "y"});
    if (!field) raise_error(ErrorCategory::script, "cannot-use", *selector, *point);
    return field;
  }
  if (selector->type() == type::integer && selector->as_int() >= 1 && selector->as_int() <= n) return selector->as_int();
  return 0;
}

// The point's own arithmetic, the point first.
void own_math(i32 op) { do_math(op); }

// What the integer! and float! dispatchers hand over, the point swapped first: from integer! a
// subtract is number - point (float! refuses it).
void from_number(i32 op) { do_math(op, op == 1); }

bool make_literal(Cell* out, u32 type_id, float x, float y, float z) {
  out->header = type_id;
  make_at(out, type_id, x, y, z);
  return true;
}

}  // namespace

Cell* from_pair(Cell* out, const Cell* pair) {
  const float x = static_cast<float>(pair::x_of(pair)), y = static_cast<float>(pair::y_of(pair));
  return make_at(out, type::point2D, x, y);
}

void do_math(i32 op, bool reversed) {
  Cell* left = stack::arguments;
  const Cell* right = left + 1;
  const u32 t = left->type();
  const i32 n = count_of(t);
  double b[3];
  switch (right->type()) {
    case type::integer: b[0] = b[1] = b[2] = integer::get(right); break;
    case type::float_:
    case type::percent: {
      // A scale factor works in single precision, as the coordinates do.
      double f = right->as_double();
      if (op == 2 || op == 3) f = to_float32(f);
      b[0] = b[1] = b[2] = f;
      break;
    }
    case type::pair:
      if (t != type::point2D) scalar::invalid_type(*right);
      b[0] = pair::x_of(right);
      b[1] = pair::y_of(right);
      break;
    case type::point2D:
    case type::point3D:
      if (right->type() != t) scalar::invalid_type(*right);
      for (i32 i = 0; i < n; ++i) b[i] = get(right, i);
      break;
    default: scalar::invalid_type(*right);
  }
  float r[3];
  for (i32 i = 0; i < n; ++i) {
    const double a = get(left, i);
    r[i] = to_float32(reversed ? float_::do_math_op(b[i], a, op) : float_::do_math_op(a, b[i], op));
  }
  for (i32 i = 0; i < n; ++i) set(left, i, r[i]);
}

Cell* make(Cell* proto, Cell* spec, u32 type_id) {
  const i32 n = count_of(type_id);
  float c[3] = {0, 0, 0};
  switch (spec->type()) {
    case type::integer:
    case type::float_: c[0] = c[1] = c[2] = to_float32(number_of(*spec)); break;
    case type::block: {
      i32 count;
      const Cell* e = scalar::block_cells(spec, count);
      if (count < n) scalar::malconstruct(type_id, *spec);
      for (i32 i = 0; i < n; ++i) {
        if (!number_q(e[i])) scalar::malconstruct(type_id, *spec);
        c[i] = to_float32(number_of(e[i]));
      }
      break;
    }
    case type::pair:
      c[0] = static_cast<float>(pair::x_of(spec));
      c[1] = static_cast<float>(pair::y_of(spec));
      break;
    case type::point2D:
    case type::point3D:
      if (spec->type() == type::point3D && type_id == type::point2D) scalar::bad_to_arg(type_id, *spec);
      for (i32 i = 0; i < count_of(spec->type()); ++i) c[i] = get(spec, i);
      break;
    case type::string: {
      Cell p;
      scalar::scan_text_as(spec, type_id, &p);
      return cell::copy(&p, proto);
    }
    default: scalar::bad_to_arg(type_id, *spec);
  }
  proto->header = type_id;
  return make_at(proto, type_id, c[0], c[1], c[2]);
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(static_cast<i32>(hashtable::murmur3_32(&value->w1, 12)));
    return unset::make_at(value);
  }
  for (i32 i = 0; i < count_of(value->type()); ++i)
    if (const float c = get(value, i); c != 0) set(value, i, to_float32(float_::random_up_to(c, secure)));
  return value;
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  std::string text = "(";
  for (i32 i = 0; i < count_of(value->type()); ++i) {
    if (i) text += ", ";
    text += float_::to_cstring(get(value, i), float_text::kind::point);
  }
  text += ')';
  return scalar::append_text(out, text, limit);
}


Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32, bool, bool,
                bool, bool) {
  const i32 field = selected(element, parent);
  if (!field) raise_error(ErrorCategory::script, "invalid-path", path ? *path : Cell{type::none, 0, 0, 0}, *element);
  if (!value) return float_::push(get(parent, field - 1));
  if (!number_q(*value)) scalar::invalid_type(*value);
  const Cell old = *parent;
  set(parent, field - 1, to_float32(number_of(*value)));
  scalar::report_change(gparent, p_item, &old, parent);
  return value;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  const u32 t = a->type();
  Cell other = *b;
  if (b->type() == type::pair && t == type::point2D) {
    if (op == compare_op::strict_equal || op == compare_op::same || op == compare_op::find) return 1;
    from_pair(&other, b);
  } else if (b->type() != t) {
    return -2;
  }
  const i32 n = count_of(t);
  switch (op) {
    case compare_op::equal:
    case compare_op::not_equal:
      for (i32 i = 0; i < n; ++i)
        if (!float_::equal32_q(get(a, i), get(&other, i))) return 1;
      return 0;
    case compare_op::strict_equal:
    case compare_op::find:
      for (i32 i = 0; i < n; ++i)
        if (!(get(a, i) == get(&other, i))) return 1;
      return 0;
    case compare_op::same: return a->w1 == other.w1 && a->w2 == other.w2 && a->w3 == other.w3 ? 0 : 1;
    default:
      for (i32 i = 0; i < n; ++i) {
        const float x = get(a, i), y = get(&other, i);
        if (!float_::equal32_q(x, y)) return (x > y) - (x < y);
      }
      return 0;
  }
}

void absolute() {
  Cell* p = stack::arguments;
  for (i32 i = 0; i < count_of(p->type()); ++i) set(p, i, std::fabs(get(p, i)));
}

Cell* negate(Cell* value) {
  for (i32 i = 0; i < count_of(value->type()); ++i) set(value, i, 0.0f - get(value, i));
  return value;
}

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling) {
  const u32 t = value->type();
  const bool per_coordinate = scale && (scale->type() == t || (t == type::point2D && scale->type() == type::pair));
  float r[3];
  for (i32 i = 0; i < count_of(t); ++i) {
    Cell c, s;
    float_::box(&c, get(value, i));
    // An integer! scale rounds as a float would: the coordinate may lie beyond 32 bits.
    if (per_coordinate) float_::box(&s, scale->type() == type::pair ? (i ? pair::y_of(scale) : pair::x_of(scale)) : get(scale, i));
    else if (scale && scale->type() == type::integer) float_::box(&s, scale->as_int());
    else if (scale) s = *scale;
    float_::round(&c, scale ? &s : nullptr, even, down, half_down, floor, ceiling, half_ceiling);
    r[i] = to_float32(c.as_double());
  }
  for (i32 i = 0; i < count_of(t); ++i) set(value, i, r[i]);
  return value;
}

Cell* pick(Cell* value, i32 index, Cell* boxed) {
  if (boxed && boxed->type() == type::word) index = selected(boxed, value);
  if (index < 1 || index > count_of(value->type())) {
    Cell n;
    raise_error(ErrorCategory::script, "out-of-range", boxed ? *boxed : *integer::box(&n, index));
  }
  return float_::push(get(value, index - 1));
}

Cell* reverse(Cell* value, Cell*, Cell*) {
  const i32 last = count_of(value->type()) - 1;
  const float first = get(value, 0);
  set(value, 0, get(value, last));
  set(value, last, first);
  return value;
}

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
  e.add = scalar::math_entry<own_math, 0>;
  e.divide = scalar::math_entry<own_math, 3>;
  e.multiply = scalar::math_entry<own_math, 2>;
  e.negate = negate;
  e.remainder = scalar::math_entry<own_math, 4>;
  e.round = round;
  e.subtract = scalar::math_entry<own_math, 1>;
  e.pick = pick;
  e.reverse = reverse;
  datatype::register_type(type::point2D, 0, "point2D!", e);
  datatype::register_type(type::point3D, 0, "point3D!", e);
  for (u32 t : {type::point2D, type::point3D}) {
    hashtable::set_hash_procedure(t, hashtable::hash_words123);
    float_::math[t] = from_number;
  }
  datatype::makers::point = make_literal;
}

}  // namespace kiv::point

namespace kiv::point2D {
Cell* push(float x, float y) {
  Cell* c = stack::push_cell();
  c->header = type::point2D;
  return make_at(c, x, y);
}
}  // namespace kiv::point2D

namespace kiv::point3D {
Cell* push(float x, float y, float z) {
  Cell* c = stack::push_cell();
  c->header = type::point3D;
  return make_at(c, x, y, z);
}
}  // namespace kiv::point3D
