// integer!: makers, the 32-bit arithmetic core, the mixed-type dispatcher, conversions, exact power
// and rounding, comparison and decimal text.
#include "datatypes/integer.h"

#include <cmath>
#include <cstring>

#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/frame_words.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/sys.h"
#include "runtime/unicode.h"

namespace kiv::integer {

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

[[noreturn]] void math_error(const char* id) { raise_error(ErrorCategory::math, id); }

[[noreturn]] void not_related(const char* action, u32 type_id) {
  raise_error(ErrorCategory::script, "not-related", word_arg(action), datatype_arg(type_id));
}

[[noreturn]] void invalid_type(const Cell* value) {
  raise_error(ErrorCategory::script, "invalid-type", datatype_arg(value->type()));
}

[[noreturn]] void bad_to_arg(const Cell* spec) {
  raise_error(ErrorCategory::script, "bad-to-arg", datatype_arg(type::integer), *spec);
}

// Hands the operation to an extended type's arithmetic, or refuses the second operand.
void extended_math(u32 owner, i32 op, const Cell* second) {
  auto fn = float_::math[owner];
  if (!fn) invalid_type(second);
  fn(op);
}

void swap_operands(Cell* a, Cell* b) {
  Cell t = *a;
  *a = *b;
  *b = t;
}

// Fits a 64-bit result into the value or raises math overflow.
i32 narrow(i64 v) {
  if (v < min_value || v > max_value) math_error("overflow");
  return static_cast<i32>(v);
}

}  // namespace

Cell* push(i32 value) { return box(stack::push_cell(), value); }

Cell* add_to_block(Cell* block, i32 value) {
  return box(cell::append_slot(block), value);
}

Cell* set_result(i32 value) { return box(stack::arguments, value); }
i32 get_result() { return get(stack::arguments); }
i32 get_result_checked() { return stack::arguments->type() == type::integer ? get(stack::arguments) : 0; }

i32 abs(i32 n) {
  if (n == min_value) math_error("overflow");
  return n < 0 ? -n : n;
}

const char* to_decimal(i32 n) {
  static char buffer[12];
  if (n == 0) return "0";
  if (n == min_value) return "-2147483648";
  char* p = buffer + sizeof buffer - 1;
  *p = 0;
  bool negative = n < 0;
  u32 m = negative ? static_cast<u32>(-n) : static_cast<u32>(n);
  while (m) {
    *--p = static_cast<char>('0' + m % 10);
    m /= 10;
  }
  if (negative) *--p = '-';
  return p;
}

u32 hash(const Cell* value, bool) { return hashtable::hash_pointer(value->w2 >> 4) << 4 | (value->w2 & 15); }

bool float_out_of_range_q(const Cell* c) { return out_of_range_q(c->as_double()); }

i32 do_math_op(i32 left, i32 right, i32 op, Cell* result) {
  i32 r = 0;
  switch (op) {
    case 0:
    case 1:
    case 2: {
      bool overflow = op == 0   ? __builtin_add_overflow(left, right, &r)
                      : op == 1 ? __builtin_sub_overflow(left, right, &r)
                                : __builtin_mul_overflow(left, right, &r);
      if (overflow) {
        if (!result) math_error("overflow");
        double a = left, b = right;
        float_::make_at(result, op == 0 ? a + b : op == 1 ? a - b : a * b);
        return 0;
      }
      break;
    }
    case 3:
      if (right == 0) math_error("zero-divide");
      // The one quotient that does not fit; the hardware division would trap on it.
      if (left == min_value && right == -1) math_error("overflow");
      if (result && left % right != 0) {
        float_::make_at(result, static_cast<double>(left) / static_cast<double>(right));
        return 0;
      }
      r = left / right;
      break;
    case 4:
      if (right == 0) math_error("zero-divide");
      // The quotient behind it does not fit, as for divide; the hardware would trap on it.
      if (left == min_value && right == -1) math_error("overflow");
      r = left % right;
      break;
    case 5: r = left | right; break;
    case 6: r = left & right; break;
    case 7: r = left ^ right; break;
    default: sys::quit(sys::Fatal::no_switch);
  }
  if (result) result->w2 = static_cast<u32>(r);
  return r;
}

void do_math(i32 op) {
  Cell* left = stack::arguments;
  Cell* right = left + 1;
  switch (right->type()) {
    case type::integer:
    case type::char_: do_math_op(get(left), get(right), op, left); return;
    case type::float_:
    case type::percent:
    case type::time: float_::do_math(op); return;
    case type::money:
    case type::vector: extended_math(right->type(), op, right); return;
    case type::pair:
    case type::point2D:
    case type::point3D:
      if (op == 3) not_related("divide", type::integer);
      swap_operands(left, right);
      extended_math(left->type(), op, left);
      return;
    case type::tuple:
      if (op == 1) not_related("subtract", type::integer);
      if (op == 3) not_related("divide", type::integer);
      swap_operands(left, right);
      extended_math(left->type(), op, left);
      return;
    case type::date:
      if (op != 0) not_related("subtract", type::integer);
      swap_operands(left, right);
      extended_math(left->type(), op, left);
      return;
    default: invalid_type(right);
  }
}

void add() { do_math(0); }
void subtract() { do_math(1); }
void multiply() { do_math(2); }
void divide() { do_math(3); }
void remainder() { do_math(4); }
void or_t() { do_math(5); }
void and_t() { do_math(6); }
void xor_t() { do_math(7); }

bool hex_to_int(std::u32string_view text, i32& out) {
  if (text.size() > 8) return false;
  u32 v = 0;
  for (char32_t ch : text) {
    if (ch < 32) return false;
    u32 c = static_cast<u32>(ch) & 0x7F;
    u32 digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return false;
    v = (v << 4) | digit;
  }
  out = static_cast<i32>(v);
  return true;
}

bool text_to_int(std::u32string_view text, i32& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  i64 v = 0;
  bool digits = false;
  for (; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c == '\'') continue;
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    digits = true;
    if (v > i64{max_value} + 1) return false;
  }
  if (!digits) return false;
  if (negative) v = -v;
  if (v > max_value) return false;
  out = static_cast<i32>(v);
  return true;
}

Cell* make(Cell* proto, Cell* spec, u32 type_id) {
  if (spec->type() == type::logic) return box(proto, logic::get(spec) ? 1 : 0);
  return to(proto, spec, type_id);
}

i32 from_text(const std::byte* chars, i32 count, u32 unit, i32* status) {
  *status = 0;
  i32 i = 0;
  bool negative = false;
  auto at = [&](i32 k) { return string::read_unit(chars + static_cast<std::ptrdiff_t>(k) * unit, unit); };
  if (count > 0 && (at(0) == '-' || at(0) == '+')) negative = at(i++) == '-';
  i64 value = 0;
  bool digits = false;
  for (; i < count; ++i) {
    i32 c = at(i);
    if (c == '\'') continue;
    if (c < '0' || c > '9') {
      *status = -1;
      return static_cast<i32>(negative ? -value : value);
    }
    value = value * 10 + (c - '0');
    digits = true;
    if (value > i64{2147483648} || (value == i64{2147483648} && !negative)) {
      *status = -2;
      return 0;
    }
  }
  if (!digits) *status = -1;
  return static_cast<i32>(negative ? -value : value);
}

i32 from_text(const Cell* text, i32* status) {
  Cell s = *text;
  i32 n = string::length(&s);
  return from_text(string::head_pointer(&s), n, string::buffer_of(&s)->unit(), status);
}

Cell* to(Cell* proto, Cell* spec, u32) {
  switch (spec->type()) {
    case type::integer:
    case type::char_: return box(proto, get(spec));
    case type::float_:
    case type::percent: {
      double d = spec->as_double();
      if (out_of_range_q(d)) raise_error(ErrorCategory::script, "type-limit", datatype_arg(type::integer));
      return box(proto, static_cast<i32>(d));
    }
    case type::time: {
      // Round half away from zero by truncating s + 0.5 (1.5 s gives 2, -1.5 s gives -1).
      double d = std::trunc(spec->as_double() + 0.5);
      if (out_of_range_q(d)) raise_error(ErrorCategory::script, "type-limit", datatype_arg(type::integer));
      return box(proto, static_cast<i32>(d));
    }
    case type::money:
      if (!hooks::money_to_integer) bad_to_arg(spec);
      return box(proto, hooks::money_to_integer(spec));
    case type::date: {
      const i64 seconds = date::to_epoch(spec);
      if (seconds < min_value || seconds > max_value)
        raise_error(ErrorCategory::script, "type-limit", datatype_arg(type::integer));
      return box(proto, static_cast<i32>(seconds));
    }
    case type::binary: {
      Cell s = *spec;
      i32 n = string::length(&s);
      const std::byte* p = string::head_pointer(&s);
      u32 v = 0;
      for (i32 i = 0; i < n && i < 4; ++i) v = (v << 8) | static_cast<u8>(p[i]);
      return box(proto, static_cast<i32>(v));
    }
    case type::issue: {
      i32 v = 0;
      std::string name = hooks::word_name ? hooks::word_name(spec) : std::string();
      std::u32string text;
      const u8* p = reinterpret_cast<const u8*>(name.c_str());  // NUL-terminated: the decoder stops there
      const u8* end = p + name.size();
      while (p < end) {
        i32 cp;
        p = unicode::decode_utf8_next(p, cp);
        text.push_back(cp < 0 ? U'\uFFFD' : static_cast<char32_t>(cp));
      }
      if (!hooks::word_name || !hex_to_int(text, v))
        raise_error(ErrorCategory::script, "invalid-data", *spec);
      return box(proto, v);
    }
    case type::string:
    case type::file:
    case type::url:
    case type::tag:
    case type::email:
    case type::ref: {
      i32 status = 0;
      i32 v = from_text(spec, &status);
      if (status != 0) bad_to_arg(spec);
      return box(proto, v);
    }
    default: bad_to_arg(spec);
  }
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  const char* text = to_decimal(get(value));
  string::append_c_string(out, text);
  return limit - static_cast<i32>(std::strlen(text));
}

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  return form(value, out, part, limit);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  // Strict equality, sameness and find equality also ask for the same type.
  if ((op == 2 || op == 9 || op == 12) && b->type() != type::integer) return 1;
  switch (b->type()) {
    case type::integer:
    case type::char_: {
      i32 x = get(a), y = get(b);
      return (x > y) - (x < y);
    }
    case type::float_:
    case type::percent:
    case type::time: {
      Cell as_float;
      float_::box(&as_float, static_cast<double>(get(a)));
      return float_::compare(&as_float, b, op);
    }
    case type::money:
      return hooks::compare_money ? hooks::compare_money(a, b, op) : -2;
    default: return -2;
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(get(value));
    return unset::make_at(value);
  }
  i32 n = get(value);
  if (n != 0) value->w2 = static_cast<u32>(random::integer(secure, n));
  return value;
}

void absolute() {
  Cell* v = stack::arguments;
  v->w2 = static_cast<u32>(abs(get(v)));
}

Cell* negate(Cell* value) {
  i32 n = get(value);
  if (n == min_value) math_error("overflow");
  value->w2 = static_cast<u32>(-n);
  return value;
}

Cell* complement(Cell* value) {
  value->w2 = ~value->w2;
  return value;
}

bool even_q(const Cell* value) { return (value->w2 & 1) == 0; }
bool odd_q(const Cell* value) { return (value->w2 & 1) != 0; }

void power() {
  Cell* base = stack::arguments;
  Cell* exponent = base + 1;
  u32 et = exponent->type();
  if (et != type::integer && et != type::float_) actions::raise_expect_arg(et, 1);
  if (et == type::integer && get(exponent) >= 0) {
    i32 b = get(base);
    u32 e = static_cast<u32>(get(exponent));
    i32 result = 1;
    bool exact = true;
    while (e) {
      if ((e & 1) && __builtin_mul_overflow(result, b, &result)) {
        exact = false;
        break;
      }
      e >>= 1;
      if (e && __builtin_mul_overflow(b, b, &b)) {
        exact = false;
        break;
      }
    }
    if (exact) {
      base->w2 = static_cast<u32>(result);
      return;
    }
  }
  float_::make_at(base, static_cast<double>(get(base)));
  float_::power();
}

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling) {
  if (scale && scale->type() == type::money)
    raise_error(ErrorCategory::script, "not-related", *stack::get_where(), datatype_arg(type::money));
  i64 s = 1;
  if (scale) {
    if (scale->type() != type::integer) {
      float_::make_at(value, static_cast<double>(get(value)));
      return float_::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
    }
    s = get(scale);
    if (s < 0) s = -s;
  }
  // Everything below runs in 64 bits, so -2147483648 and a scale of -2147483648 need no special
  // case: only a result that does not fit in 32 bits is an overflow.
  if (s == 0) return value;
  const i64 n = get(value);
  const i64 a = n < 0 ? -n : n;
  const i64 r = a % s;
  if (r == 0) return value;
  const i64 d = s - r;
  const i64 sign = n < 0 ? -1 : 1;
  const i64 toward = sign * (a - r);
  const i64 away = sign * (a + d);
  i64 result;
  if (down) result = toward;
  else if (floor) result = n > 0 ? toward : away;
  else if (ceiling) result = n < 0 ? toward : away;
  else if (r < d) result = toward;
  else if (r > d) result = away;
  else if (even) result = (a / s) % 2 == 0 ? toward : away;
  else if (half_down) result = toward;
  else if (half_ceiling) result = n < 0 ? toward : away;
  else result = away;
  value->w2 = static_cast<u32>(narrow(result));
  return value;
}

void init() {
  action::Entries e;
  e.make = make;
  e.random = random;
  e.to = to;
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
  e.and_t = and_t;
  e.complement = complement;
  e.or_t = or_t;
  e.xor_t = xor_t;
  datatype::register_type(type::integer, 0, "integer!", e);
  hashtable::set_hash_procedure(type::integer, hash);
}

}  // namespace kiv::integer
