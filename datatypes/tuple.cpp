// tuple!: makers from blocks, text, hexadecimal issues and binaries; byte-wise arithmetic clamped
// to 0..255; byte paths and pick; comparison over the longer length; reverse with records.
#include "datatypes/tuple.h"

#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/scalar.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kiv::tuple {

namespace {

using scalar::bad_to_arg;

[[noreturn]] void out_of_range(const Cell& index) { raise_error(ErrorCategory::script, "out-of-range", index); }

[[noreturn]] void out_of_range(i32 index) {
  Cell c;
  out_of_range(*integer::box(&c, index));
}

// One byte operation in 64 bits, exact for every 32-bit operand, before clamping.
i64 byte_op(i64 a, i64 b, i32 op) {
  switch (op) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    case 3:
      if (b == 0) raise_error(ErrorCategory::math, "zero-divide");
      return a / b;
    case 4:
      if (b == 0) raise_error(ErrorCategory::math, "zero-divide");
      return a % b;
    case 5: return a | b;
    case 6: return a & b;
    default: return a ^ b;
  }
}

// The byte of an element of a `to` block: integer!, char! or float! (truncated) within 0..255.
bool block_byte(const Cell& e, u8& out) {
  double d;
  switch (e.type()) {
    case type::integer:
    case type::char_: d = e.as_int(); break;
    case type::float_: d = std::trunc(e.as_double()); break;
    default: return false;
  }
  if (!(d >= 0 && d <= 255)) return false;
  out = static_cast<u8>(d);
  return true;
}

i32 hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// #RGB (each digit doubled), #RRGGBB or #RRGGBBAA.
Cell* from_issue(Cell* proto, const Cell* issue) {
  const std::string name = word::name_of(issue);
  const std::size_t n = name.size();
  if (n != 3 && n != 6 && n != 8) raise_error(ErrorCategory::script, "invalid-data", *issue);
  u8 bytes[4] = {};
  for (std::size_t i = 0; i < n; ++i) {
    i32 d = hex_digit(name[i]);
    if (d < 0) raise_error(ErrorCategory::script, "invalid-data", *issue);
    if (n == 3) bytes[i] = static_cast<u8>(d << 4 | d);
    else bytes[i / 2] = static_cast<u8>(bytes[i / 2] << 4 | d);
  }
  return make_at(proto, bytes, n == 8 ? 4 : 3);
}

// Writes the length into the header and the bytes into the payload, zeroing the rest.
void store(Cell* t, const u8* bytes, i32 count) {
  t->header = (t->header & ~(header::type_mask | length_mask)) | header_for(count);
  t->w1 = t->w2 = t->w3 = 0;
  std::memcpy(bytes_of(t), bytes, static_cast<std::size_t>(count));
}

}  // namespace

Cell* make_at(Cell* out, const u8* bytes, i32 count) {
  u8 padded[max_length] = {};
  count = std::min(count, max_length);
  if (count > 0) std::memcpy(padded, bytes, static_cast<std::size_t>(count));
  store(out, padded, std::max(count, min_length));
  return out;
}

Cell* push(const u8* bytes, i32 count) {
  Cell* c = stack::push_cell();
  c->header = type::tuple;
  return make_at(c, bytes, count);
}

Cell* make_rgba(Cell* out, i32 r, i32 g, i32 b, i32 a) {
  const u8 bytes[4] = {static_cast<u8>(r), static_cast<u8>(g), static_cast<u8>(b), static_cast<u8>(a)};
  out->header = type::tuple;
  return make_at(out, bytes, a == -1 ? 3 : 4);
}

u8 clamp(double d) {
  if (!(d > 0)) return 0;
  if (d >= 255) return 255;
  return static_cast<u8>(d);
}

void do_math(i32 op) {
  Cell* left = stack::arguments;
  Cell* right = left + 1;
  if (left->type() != type::tuple) {
    if (op == 1 || op == 3)
      raise_error(ErrorCategory::script, "not-related", scalar::word_arg(op == 1 ? "subtract" : "divide"),
                  scalar::datatype_arg(left->type()));
    std::swap(*left, *right);
  }
  const u8* a = bytes_of(left);
  const i32 la = stored_length(left);
  u8 out[max_length] = {};
  i32 count = la;
  // Every byte is worked out before anything is written: an error leaves both operands as they were.
  switch (right->type()) {
    case type::integer: {
      const i64 n = integer::get(right);
      for (i32 i = 0; i < la; ++i) out[i] = clamp(static_cast<double>(byte_op(a[i], n, op)));
      break;
    }
    case type::tuple: {
      const u8* b = bytes_of(right);
      const i32 lb = stored_length(right);
      count = std::max(la, lb);
      for (i32 i = 0; i < count; ++i)
        out[i] = clamp(static_cast<double>(byte_op(i < la ? a[i] : 0, i < lb ? b[i] : 0, op)));
      break;
    }
    case type::float_:
    case type::percent: {
      const double f = right->as_double();
      for (i32 i = 0; i < la; ++i) out[i] = clamp(std::trunc(float_::do_math_op(a[i], f, op)));
      break;
    }
    default: scalar::invalid_type(*right);
  }
  store(left, out, count);
}

Cell* make(Cell* proto, Cell* spec, u32) {
  switch (spec->type()) {
    case type::tuple: return cell::copy(spec, proto);
    case type::block:
    case type::paren:
    case type::hash: {
      i32 n;
      const Cell* e = scalar::block_cells(spec, n);
      if (n > max_length) bad_to_arg(type::tuple, *spec);
      u8 bytes[max_length] = {};
      for (i32 i = 0; i < n; ++i)
        if (!block_byte(e[i], bytes[i])) bad_to_arg(type::tuple, *spec);
      proto->header = type::tuple;
      return make_at(proto, bytes, n);
    }
    case type::string:
    case type::file:
    case type::url:
    case type::tag:
    case type::email:
    case type::ref: {
      Cell t;
      scalar::scan_text_as(spec, type::tuple, &t);
      return cell::copy(&t, proto);
    }
    case type::issue: proto->header = type::tuple; return from_issue(proto, spec);
    case type::binary: {
      u8 bytes[max_length] = {};
      const i32 n = std::min(binary::length_of(spec), max_length);
      std::memcpy(bytes, binary::head_pointer(spec), static_cast<std::size_t>(n));
      proto->header = type::tuple;
      return make_at(proto, bytes, n);
    }
    default: bad_to_arg(type::tuple, *spec);
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(static_cast<i32>(value->w1 ^ value->w2 ^ value->w3));
    return unset::make_at(value);
  }
  u8* b = bytes_of(value);
  for (i32 i = 0; i < stored_length(value); ++i) b[i] = static_cast<u8>(random::integer(secure, b[i] + 1) - 1);
  return value;
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  std::string text;
  const u8* b = bytes_of(value);
  for (i32 i = 0; i < stored_length(value); ++i) {
    if (i) text += '.';
    text += std::to_string(b[i]);
  }
  return scalar::append_text(out, text, limit);
}


Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell* gparent, Cell* p_item, i32, bool, bool, bool,
                bool) {
  if (element->type() != type::integer) scalar::invalid_type(*element);
  const i32 i = element->as_int();
  const i32 n = stored_length(parent);
  if (i < 1 || i > n) out_of_range(*element);
  if (!value) return integer::push(bytes_of(parent)[i - 1]);
  const Cell old = *parent;
  u8 bytes[max_length];
  std::memcpy(bytes, bytes_of(parent), max_length);
  i32 count = n;
  switch (value->type()) {
    case type::integer: bytes[i - 1] = clamp(integer::get(value)); break;
    case type::none:
      // The tuple ends before the byte written as none, never shorter than 3 bytes.
      count = std::max(min_length, i - 1);
      std::fill(bytes + i - 1, bytes + max_length, u8{0});
      break;
    default: scalar::invalid_type(*value);
  }
  store(parent, bytes, count);
  scalar::report_change(gparent, p_item, &old, parent);
  return value;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::tuple) return -2;
  const i32 la = stored_length(a), lb = stored_length(b);
  // A missing byte counts as 0 (1.2.3 = 1.2.3.0), but strictly the lengths must agree too.
  if ((op == compare_op::strict_equal || op == compare_op::same) && la != lb) return 1;
  const u8 *x = bytes_of(a), *y = bytes_of(b);
  for (i32 i = 0; i < std::max(la, lb); ++i) {
    const u8 p = i < la ? x[i] : 0, q = i < lb ? y[i] : 0;
    if (p != q) return p < q ? -1 : 1;
  }
  return 0;
}

Cell* complement(Cell* value) {
  u8* b = bytes_of(value);
  for (i32 i = 0; i < stored_length(value); ++i) b[i] = static_cast<u8>(255 - b[i]);
  return value;
}

i32 length_q(const Cell* value) { return stored_length(value); }

Cell* pick(Cell* value, i32 index, Cell* boxed) {
  if (index < 1 || index > stored_length(value)) {
    if (boxed) out_of_range(*boxed);
    out_of_range(index);
  }
  return integer::push(bytes_of(value)[index - 1]);
}

Cell* reverse(Cell* value, Cell* part, Cell* skip) {
  const i32 length = stored_length(value);
  i32 n = length;
  if (part) {
    if (part->type() != type::integer) actions::raise_invalid_refine_arg("part", part);
    if (part->as_int() < 0) out_of_range(*part);
    n = std::min(part->as_int(), length);
  }
  i32 record = 1;
  if (skip) {
    if (skip->type() != type::integer) actions::raise_invalid_refine_arg("skip", skip);
    record = skip->as_int();
    if (record < 1) out_of_range(*skip);
  }
  u8* b = bytes_of(value);
  if (record == 1) {
    std::reverse(b, b + n);
    return value;
  }
  if (record == n) return value;
  if (n < record || n % record) actions::raise_invalid_refine_arg("skip", skip);
  for (i32 lo = 0, hi = n - record; lo < hi; lo += record, hi -= record) std::swap_ranges(b + lo, b + lo + record, b + hi);
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
  e.add = scalar::math_entry<do_math, 0>;
  e.subtract = scalar::math_entry<do_math, 1>;
  e.multiply = scalar::math_entry<do_math, 2>;
  e.divide = scalar::math_entry<do_math, 3>;
  e.remainder = scalar::math_entry<do_math, 4>;
  e.and_t = scalar::math_entry<do_math, 6>;
  e.or_t = scalar::math_entry<do_math, 5>;
  e.xor_t = scalar::math_entry<do_math, 7>;
  e.complement = complement;
  e.length_q = length_q;
  e.pick = pick;
  e.reverse = reverse;
  datatype::register_type(type::tuple, 0, "tuple!", e);
  hashtable::set_hash_procedure(type::tuple, hash);
  float_::math[type::tuple] = do_math;
}

}  // namespace kiv::tuple
