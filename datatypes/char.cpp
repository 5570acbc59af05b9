// char!: making characters, their arithmetic (staying characters), comparison, form and mold.
#include "datatypes/char.h"

#include <vector>

#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kiv::char_ {

namespace {

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell kind;
  datatype::make_at(&kind, type::char_);
  raise_error(ErrorCategory::script, "bad-to-arg", kind, *spec);
}

bool in_range(i64 n) { return n >= 0 && n <= max_code_point; }

// The characters of a double truncated toward zero to 32 bits, or out-of-range.
i32 from_double(const Cell* spec) {
  double d = spec->as_double();
  if (!(d > -2147483649.0 && d < 2147483648.0)) raise_error(ErrorCategory::script, "out-of-range", *spec);
  i32 n = static_cast<i32>(d);
  if (!in_range(n)) raise_error(ErrorCategory::script, "out-of-range", *spec);
  return n;
}

}  // namespace

Cell* push(i32 cp) { return box(stack::push_cell(), cp); }

Cell* add_to_block(Cell* block, i32 cp) {
  return box(cell::reserve_tail_cell(kiv::buffer_of(Ref<Node>(block->w2))), cp);
}

Cell* make(Cell* proto, Cell* spec, u32) {
  i32 cp;
  switch (spec->type()) {
    case type::char_:
    case type::integer:
      cp = spec->as_int();
      if (!in_range(cp)) raise_error(ErrorCategory::script, "out-of-range", *spec);
      break;
    case type::float_:
    case type::percent: cp = from_double(spec); break;
    case type::binary: {
      SeriesBuffer* b = kiv::buffer_of(Ref<Node>(spec->w2));
      i64 head = std::max<i64>(static_cast<i32>(spec->w1), 0);
      i64 avail = i64{b->tail - b->head} - head;
      // An empty binary, or bytes that are not one whole UTF-8 sequence, make no character.
      if (avail <= 0) bad_to_arg(spec);
      const u8* p = b->head_ptr<u8>() + head;
      i32 len = unicode::utf8_sequence_length(*p);
      if (len == 0) len = 1;
      if (len > avail) bad_to_arg(spec);
      std::vector<u8> bytes(p, p + len);  // the decoder may raise with a binary of its own
      i32 count = len;
      cp = unicode::decode_utf8_char(bytes.data(), count);
      if (!in_range(cp)) bad_to_arg(spec);
      break;
    }
    default:
      if (!string::any_string_q(spec->type())) bad_to_arg(spec);
      if (string::at_tail_q(spec)) bad_to_arg(spec);
      cp = string::char_at(spec, std::max(string::head_index(spec), 0));
      break;
  }
  cell::set_type(proto, type::char_);
  proto->w1 = 0;
  proto->w2 = static_cast<u32>(cp);
  proto->w3 = 0;
  return proto;
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  string::append_char(out, code_point(value));
  return limit - 1;
}

i32 mold(const Cell* value, Cell* out, bool, bool all, bool, const Cell*, i32 limit, i32) {
  i32 cp = code_point(value);
  string::append_c_string(out, "#\"");
  string::append_escaped_char(out, cp, true, all);
  string::append_char(out, '"');
  return limit - 4;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  u32 tb = b->type();
  if ((op == compare_op::strict_equal || op == compare_op::find) && tb != type::char_) return 1;
  if (tb != type::char_ && tb != type::integer) return -2;
  i32 x = code_point(a), y = b->as_int();
  return x < y ? -1 : x > y ? 1 : 0;
}

void do_math(i32 op) {
  Cell* left = stack::arguments;
  Cell* right = left + 1;
  i32 n;
  switch (right->type()) {
    case type::char_:
    case type::integer: n = right->as_int(); break;
    case type::float_: {
      double d = right->as_double();
      if (!(d > -2147483649.0 && d < 2147483648.0)) raise_error(ErrorCategory::math, "overflow");
      n = static_cast<i32>(d);
      break;
    }
    case type::vector:
      if (auto fn = float_::math[type::vector]) {
        fn(op);
        return;
      }
      [[fallthrough]];
    default: {
      Cell kind;
      datatype::make_at(&kind, right->type());
      raise_error(ErrorCategory::script, "invalid-type", kind);
    }
  }
  Cell check = *left;
  i32 r = integer::do_math_op(code_point(left), n, op, op == 3 ? nullptr : &check);
  if (check.type() == type::float_ || !in_range(r)) raise_error(ErrorCategory::math, "overflow");
  left->w2 = static_cast<u32>(r);
  cell::set_type(left, type::char_);
}

void add() { do_math(0); }
void subtract() { do_math(1); }
void multiply() { do_math(2); }
void divide() { do_math(3); }
void remainder() { do_math(4); }
void or_t() { do_math(5); }
void and_t() { do_math(6); }
void xor_t() { do_math(7); }

void init() {
  using action::inherit;
  datatype::register_type(type::char_, type::integer, "char!",
                          {
                              .make = make,
                              .random = inherit,
                              .to = make,
                              .form = form,
                              .mold = mold,
                              .compare = compare,
                              .absolute = inherit,
                              .add = add,
                              .divide = divide,
                              .multiply = multiply,
                              .remainder = remainder,
                              .subtract = subtract,
                              .even_q = inherit,
                              .odd_q = inherit,
                              .and_t = and_t,
                              .or_t = or_t,
                              .xor_t = xor_t,
                          });
  hashtable::set_hash_procedure(type::char_, integer::hash);
}

}  // namespace kiv::char_
