#include "datatypes/vector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/collector.h"
#include "runtime/float_text.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::vector {

namespace {

using Bytes = std::vector<std::byte>;

// percent! elements are doubles holding the fraction (50% is 0.5), always 64 bits wide.
bool float_type_q(u32 et) { return et == type::float_ || et == type::percent; }
u32 default_width(u32 et) { return float_type_q(et) ? 8 : 4; }
u32 width_of(const Cell* v) { return series::buffer_of(v)->unit(); }
u32 element_type(const Cell* v) { return v->w3; }
i32 total_of(const Cell* v) { return series::total_length(v); }
i32 head_of(const Cell* v) { return std::clamp(series::head_index(v), 0, total_of(v)); }
std::byte* element_at(const Cell* v, i32 i) { return series::unit_at(series::buffer_of(v), i); }

i64 get_int(const std::byte* p, u32 width, u32 et) {
  switch (width) {
    case 1: return et == type::char_ ? i64{static_cast<u8>(*p)} : i64{static_cast<i8>(*p)};
    case 2: {
      u16 v;
      std::memcpy(&v, p, 2);
      return et == type::char_ ? i64{v} : i64{static_cast<i16>(v)};
    }
    default: {
      i32 v;
      std::memcpy(&v, p, 4);
      return v;
    }
  }
}

void put_int(std::byte* p, u32 width, i64 value) {
  u32 v = static_cast<u32>(value);
  std::memcpy(p, &v, width);  // little-endian: the low bytes come first
}

double get_float(const std::byte* p, u32 width) {
  if (width == 4) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  }
  double d;
  std::memcpy(&d, p, 8);
  return d;
}

void put_float(std::byte* p, u32 width, double d) {
  if (width == 4) {
    auto f = static_cast<float>(d);
    std::memcpy(p, &f, 4);
  } else {
    std::memcpy(p, &d, 8);
  }
}

// Any element as a double (comparison and conversion between element types).
double get_number(const std::byte* p, u32 width, u32 et) {
  return float_type_q(et) ? get_float(p, width) : static_cast<double>(get_int(p, width, et));
}

Cell datatype_arg(u32 t) {
  Cell c;
  datatype::make_at(&c, t);
  return c;
}

[[noreturn]] void bad_make(const Cell* spec) {
  raise_error(ErrorCategory::script, "bad-make-arg", datatype_arg(type::vector), *spec);
}

[[noreturn]] void no_memory() { raise_error(ErrorCategory::internal, "no-memory"); }

// ---- 32-bit integer and float element arithmetic ----

i32 int_op(i32 a, i32 b, i32 op) {
  const u32 x = static_cast<u32>(a), y = static_cast<u32>(b);
  switch (op) {
    case 0: return static_cast<i32>(x + y);
    case 1: return static_cast<i32>(x - y);
    case 2: return static_cast<i32>(x * y);
    case 3:
      if (b == 0) raise_error(ErrorCategory::math, "zero-divide");
      return b == -1 ? static_cast<i32>(0u - x) : a / b;
    case 4:
      if (b == 0) raise_error(ErrorCategory::math, "zero-divide");
      return b == -1 ? 0 : a % b;
    case 5: return a | b;
    case 6: return a & b;
    case 7: return a ^ b;
    default: raise_error(ErrorCategory::internal, "not-done");
  }
}

// Whether op with this right operand leaves every element as it is.
bool identity_q(i32 op, double right) { return ((op == 0 || op == 1) && right == 0) || ((op == 2 || op == 3) && right == 1); }

// One operation of every element of type T (read and written in place) with a scalar, the operands
// in the arithmetic type A (i32 wraps, double as float!). The common operators get a loop of their
// own, which the compiler can vectorise; the others go through the generic operation per element.
template <class T, class A>
void scalar_loop(std::byte* base, i32 n, i32 op, A s, bool first) {
  auto run = [&](auto f) {
    for (i32 i = 0; i < n; ++i) {
      T x;
      std::memcpy(&x, base + static_cast<size_t>(i) * sizeof(T), sizeof(T));
      const A a = static_cast<A>(x);
      x = static_cast<T>(first ? f(s, a) : f(a, s));
      std::memcpy(base + static_cast<size_t>(i) * sizeof(T), &x, sizeof(T));
    }
  };
  if constexpr (std::is_same_v<A, i32>) {
    auto wrap = [](u32 r) { return static_cast<i32>(r); };
    switch (op) {
      case 0: return run([&](i32 a, i32 b) { return wrap(static_cast<u32>(a) + static_cast<u32>(b)); });
      case 1: return run([&](i32 a, i32 b) { return wrap(static_cast<u32>(a) - static_cast<u32>(b)); });
      case 2: return run([&](i32 a, i32 b) { return wrap(static_cast<u32>(a) * static_cast<u32>(b)); });
      case 5: return run([](i32 a, i32 b) { return a | b; });
      case 6: return run([](i32 a, i32 b) { return a & b; });
      case 7: return run([](i32 a, i32 b) { return a ^ b; });
      default: return run([op](i32 a, i32 b) { return int_op(a, b, op); });
    }
  } else {
    switch (op) {
      case 0: return run([](double a, double b) { return a + b; });
      case 1: return run([](double a, double b) { return a - b; });
      case 2: return run([](double a, double b) { return a * b; });
      case 3: return run([](double a, double b) { return a / b; });
      default: return run([op](double a, double b) { return float_::do_math_op(a, b, op); });
    }
  }
}

// ---- elements as a run of bytes ----

// The values of a block as elements of the vector's type and width; a value of another type
// raises invalid-arg before anything changes.
Bytes encode_cells(const Cell* v, const Cell* blk, i32 count) {
  const u32 et = element_type(v), w = width_of(v);
  Bytes out(static_cast<size_t>(count) * w);
  const i32 head = std::max(block::head_index(blk), 0);
  for (i32 i = 0; i < count; ++i) {
    const Cell* c = block::cell_at(blk, head + i);
    if (c->type() != et) raise_error(ErrorCategory::script, "invalid-arg", *c);
    set_element(out.data() + static_cast<size_t>(i) * w, c, w);
  }
  return out;
}

// The elements of another vector, converted to this one's type and width.
Bytes encode_vector(const Cell* v, const Cell* other) {
  const u32 w = width_of(v), ow = width_of(other), et = element_type(v), oet = element_type(other);
  const i32 n = total_of(other) - head_of(other);
  Bytes out(static_cast<size_t>(n) * w);
  for (i32 i = 0; i < n; ++i) {
    const std::byte* from = element_at(other, head_of(other) + i);
    std::byte* to = out.data() + static_cast<size_t>(i) * w;
    if (float_type_q(et)) put_float(to, w, get_number(from, ow, oet));
    else if (float_type_q(oet)) put_int(to, w, static_cast<i64>(get_float(from, ow)));
    else put_int(to, w, get_int(from, ow, oet));
  }
  return out;
}

// Replaces `removed` elements at `at` by `dup` copies of the run. Owners hear of the change.
void splice(Cell* v, i32 at, i32 removed, const Bytes& run, i32 dup, const char* word, const char* done,
            const Cell* value) {
  const u32 w = width_of(v);
  const u64 written = u64{run.size()} * static_cast<u64>(std::max(dup, 0));
  const u64 gone = u64{static_cast<u32>(removed)} * w;
  SeriesBuffer* b = series::buffer_of(v);
  const u64 used = b->used_bytes();
  const u64 needed = used - gone + written;
  if (needed > memory::max_data_size) no_memory();
  const i32 count = static_cast<i32>(written / w);
  const bool owned = series::notify(v, word, value, at, count);
  b = series::buffer_of(v);  // the owner's handler may have run and collected
  if (b->head + needed > b->end_offset()) {
    u64 size = std::max<u64>(needed, u64{b->size} * 2);
    b = memory::expand_series(b, static_cast<i32>(std::min<u64>(size, memory::max_data_size)));
  }
  std::byte* p = b->head_ptr() + static_cast<size_t>(at) * w;
  std::memmove(p + written, p + gone, static_cast<size_t>(used - static_cast<u64>(at) * w - gone));
  for (u64 done_bytes = 0; done_bytes < written; done_bytes += run.size())
    std::memcpy(p + done_bytes, run.data(), run.size());
  b->tail = static_cast<u32>(b->head + needed);
  if (owned) series::notify(v, done, value, at, count);
}

// ---- make ----

// The element type named by a word of a spec block, or 0.
u32 named_type(const Cell* word) {
  if (!hooks::word_name) return 0;
  std::string name = hooks::word_name(word);
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (name == "integer!") return type::integer;
  if (name == "char!") return type::char_;
  if (name == "float!") return type::float_;
  if (name == "percent!") return type::percent;
  return 0;
}

bool width_ok(u32 et, i32 bits) {
  if (et == type::percent) return true;  // any size asked: 64 bits
  if (float_type_q(et)) return bits == 32 || bits == 64;
  return bits == 8 || bits == 16 || bits == 32;
}

Cell* fill(Cell* out, u32 et, u32 w, i32 count, const Cell* values) {
  const i32 n = values ? block::length(values) : 0;
  const i32 length = std::max(count, n);
  if (i64{length} * w > memory::max_data_size) no_memory();
  Bytes run;
  make_at(out, length, et, w);
  if (values) run = encode_cells(out, values, n);
  run.resize(static_cast<size_t>(length) * w);
  splice(out, 0, 0, run, 1, "insert", "inserted", &none::value);
  return out;
}

Cell* make(Cell*, Cell* spec, u32) {
  const u32 st = spec->type();
  Cell* out = stack::push_cell();
  if (st == type::integer || st == type::float_) return fill(out, type::integer, 4, std::max(cell::to_int32_checked(spec), 0), nullptr);
  if (st != type::block) raise_error(ErrorCategory::internal, "not-done");
  const i32 n = block::length(spec);
  const i32 head = std::max(block::head_index(spec), 0);
  auto at = [&](i32 i) { return block::cell_at(spec, head + i); };
  if (n == 0) return make_at(out, 0, type::integer, 4);
  if (at(0)->type() != type::word) {
    const u32 et = at(0)->type();
    if (et != type::integer && et != type::char_ && !float_type_q(et))
      raise_error(ErrorCategory::script, "invalid-type", datatype_arg(et));
    return fill(out, et, default_width(et), 0, spec);
  }
  if (n < 2) bad_make(spec);
  const u32 et = named_type(at(0));
  if (!et) bad_make(spec);
  i32 pos = 1;
  // Only percent! may go without a size.
  const bool sized = at(1)->type() == type::integer;
  if (!sized && et != type::percent) raise_error(ErrorCategory::script, "invalid-spec-field", *at(1));
  if (sized && !width_ok(et, at(1)->as_int())) bad_make(spec);
  const u32 w = et == type::percent ? 8 : static_cast<u32>(at(1)->as_int() / 8);
  if (sized) ++pos;
  i32 count = 0;
  if (pos < n && at(pos)->type() == type::integer) count = std::max(at(pos++)->as_int(), 0);
  Cell values = none::value;
  RootCell keep(values);
  if (pos < n && at(pos)->type() == type::block) values = *at(pos++);
  if (pos < n) raise_error(ErrorCategory::script, "invalid-spec-field", *at(pos));
  return fill(out, et, w, count, values.type() == type::block ? &values : nullptr);
}

// ---- form and mold ----

// The shortest text that reads back to the same single-precision float.
const char* float32_text(double d) {
  for (int precision = 6; precision < 9; ++precision) {
    const char* text = float_text::form_float(d, precision, true);
    int status;
    double back = float_text::parse_decimal(text, text + std::strlen(text), 0, status);
    if (static_cast<float>(back) == static_cast<float>(d)) return float_text::form_float(d, precision, true);
  }
  return float_text::form_float(d, 9, true);
}

i32 elements(const Cell* v, Cell* out, bool molded, const Cell* part, i32 limit) {
  const u32 et = element_type(v), w = width_of(v);
  Cell item;
  for (i32 i = head_of(v), n = total_of(v); i < n; ++i) {
    if (part && limit <= 0) break;
    if (i > head_of(v)) {
      string::append_char(out, ' ');
      --limit;
    }
    const std::byte* p = element_at(v, i);
    std::string text;
    if (et == type::percent) {
      push_element(p, w, et, &item);
      limit = molded ? actions::dispatch_mold(&item, out, false, false, false, part, limit, 0)
                     : actions::dispatch_form(&item, out, part, limit);
      continue;
    }
    if (et == type::char_) {
      // Formed, a character stands for itself, but with mold's escapes for the unprintable ones.
      push_element(p, w, et, &item);
      if (molded) {
        limit = actions::dispatch_mold(&item, out, false, false, false, part, limit, 0);
      } else {
        string::append_escaped_char(out, static_cast<i32>(get_int(p, w, et)), true, false);
        --limit;
      }
      continue;
    }
    if (float_type_q(et)) {
      const double d = get_float(p, w);
      text = molded ? (w == 4 ? float32_text(d) : float_text::form_float(d, 0, true))
                    : float_text::to_cstring(d, w == 4 ? float_text::kind::float32 : float_text::kind::float64, false);
    } else {
      text = std::to_string(get_int(p, w, et));
    }
    string::append_utf8(out, text);
    limit -= static_cast<i32>(text.size());
  }
  return limit;
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) { return elements(value, out, false, part, limit); }

i32 mold(const Cell* value, Cell* out, bool only, bool, bool, const Cell* part, i32 limit, i32) {
  if (only) return elements(value, out, true, part, limit);
  const u32 et = element_type(value), w = width_of(value);
  const bool plain = total_of(value) > head_of(value) && w == default_width(et);
  std::string open = "make vector! [";
  if (!plain) open += std::string(datatype::names[et].name) + " " + std::to_string(w * 8) + " [";
  string::append_utf8(out, open);
  limit = elements(value, out, true, part, limit - static_cast<i32>(open.size()));
  string::append_utf8(out, plain ? "]" : "]]");
  return limit - (plain ? 1 : 2);
}

// ---- comparison ----

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::vector) return -2;
  if (element_type(a) != element_type(b)) raise_error(ErrorCategory::script, "not-same-type");
  if (a->w2 == b->w2 && head_of(a) == head_of(b)) return 0;
  if (op == compare_op::same) return 1;
  const i32 la = total_of(a) - head_of(a), lb = total_of(b) - head_of(b);
  const bool equality = op == compare_op::equal || op == compare_op::not_equal || op == compare_op::strict_equal ||
                        op == compare_op::find;
  if (equality && la != lb) return 1;
  const u32 et = element_type(a), wa = width_of(a), wb = width_of(b);
  for (i32 i = 0, n = std::min(la, lb); i < n; ++i) {
    const double x = get_number(element_at(a, head_of(a) + i), wa, et);
    const double y = get_number(element_at(b, head_of(b) + i), wb, et);
    if (x != y) return x < y ? -1 : 1;
  }
  return la < lb ? -1 : la > lb ? 1 : 0;
}

// ---- arithmetic ----

void vector_math(i32 op, Cell* left, const Cell* right) {
  if (element_type(left) != element_type(right)) raise_error(ErrorCategory::script, "not-same-type");
  const u32 et = element_type(left);
  const i32 n = std::min(total_of(left) - head_of(left), total_of(right) - head_of(right));
  const u32 w = std::max(width_of(left), width_of(right));
  Cell result;
  RootCell keep(result);
  make_at(&result, n, et, w);
  SeriesBuffer* rb = series::buffer_of(&result);
  for (i32 i = 0; i < n; ++i) {
    const std::byte* pa = element_at(left, head_of(left) + i);
    const std::byte* pb = element_at(right, head_of(right) + i);
    std::byte* to = rb->head_ptr() + static_cast<size_t>(i) * w;
    if (float_type_q(et)) {
      put_float(to, w, float_::do_math_op(get_float(pa, width_of(left)), get_float(pb, width_of(right)), op));
    } else {
      put_int(to, w, int_op(static_cast<i32>(get_int(pa, width_of(left), et)),
                            static_cast<i32>(get_int(pb, width_of(right), et)), op));
    }
  }
  rb->tail = rb->head + static_cast<u32>(n) * w;
  *left = result;
}

// The arithmetic actions: the vector is the first operand.
void math(i32 op) {
  Cell* left = stack::arguments;
  Cell* right = left + 1;
  switch (right->type()) {
    case type::vector: vector_math(op, left, right); return;
    case type::integer:
    case type::float_:
    case type::percent: do_math_scalar(op, left, right, false); return;
    default: raise_error(ErrorCategory::internal, "not-done");
  }
}

// From integer!, char! and float!: the number is the first operand, the vector the second.
void math_from_number(i32 op) {
  Cell* left = stack::arguments;
  do_math_scalar(op, left + 1, left, true);
  *left = left[1];
}

void add() { math(0); }
void subtract() { math(1); }
void multiply() { math(2); }
void divide() { math(3); }
void remainder() { math(4); }
void or_t() { math(5); }
void and_t() { math(6); }
void xor_t() { math(7); }

// ---- series actions of its own ----

Cell* insert(Cell* v, Cell* value, i32 part, bool, i32 dup, bool append_flag) {
  Cell source = *value;
  RootCell keep(source);
  const u32 st = source.type();
  Bytes run;
  if (st == type::block || st == type::paren || st == type::hash) {
    i32 n = block::length(&source);
    if (part >= 0) n = std::min(n, part);
    run = encode_cells(v, &source, std::max(n, 0));
  } else {
    if (st != element_type(v)) raise_error(ErrorCategory::script, "invalid-arg", source);
    run.resize(width_of(v));
    set_element(run.data(), &source, width_of(v));
  }
  if (run.empty() || dup < 1) return v;
  const i32 h = head_of(v);
  const i32 at = append_flag ? total_of(v) : h;
  splice(v, at, 0, run, dup, append_flag ? "append" : "insert", append_flag ? "appended" : "inserted", &source);
  if (!append_flag) series::set_head_index(v, h + static_cast<i32>(run.size() / width_of(v)) * dup);
  return v;
}

Cell* change(Cell* v, Cell* value, i32 part, bool, i32 dup) {
  Cell source = *value;
  RootCell keep(source);
  const u32 st = source.type();
  Bytes run;
  if (block::any_block_q(st)) {
    run = encode_cells(v, &source, block::length(&source));
  } else if (st == type::vector) {
    run = encode_vector(v, &source);
  } else {
    if (st != element_type(v)) raise_error(ErrorCategory::script, "invalid-arg", source);
    run.resize(width_of(v));
    set_element(run.data(), &source, width_of(v));
  }
  const i32 h = head_of(v);
  const i32 written = static_cast<i32>(run.size() / width_of(v)) * std::max(dup, 1);
  const i32 replaced = std::min(part >= 0 ? part : written, total_of(v) - h);
  splice(v, h, replaced, run, std::max(dup, 1), "change", "changed", &source);
  series::set_head_index(v, std::min(h + written, total_of(v)));
  return v;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool, bool) {
  if (element->type() != type::integer) {
    Cell where = path ? *path : none::value;
    raise_error(ErrorCategory::script, "invalid-path", where, *element);
  }
  if (!value) return series::pick(parent, element->as_int(), element);
  return series::poke(parent, element->as_int(), value, element);
}

// The number a searched value stands for, or false when it can equal no element.
bool probe_of(const Cell* v, const Cell* value, double* out) {
  const u32 t = value->type(), et = element_type(v);
  if (et == type::percent ? t != type::percent
      : float_type_q(et)  ? (t != type::float_ && t != type::integer)
                          : (t != type::integer && t != type::char_))
    return false;
  *out = float_type_q(t) ? value->as_double() : static_cast<double>(value->as_int());
  return true;
}

// The element position a find answers, or -1.
i32 search(Cell* v, Cell* value, Cell* part, Cell* skip, bool last, bool reverse, bool match) {
  double wanted;
  if (!probe_of(v, value, &wanted)) return -1;
  const u32 et = element_type(v), w = width_of(v);
  const i32 h = head_of(v);
  i32 hi = total_of(v);
  if (part && part->type() == type::integer) hi = std::clamp(h + part->as_int(), h, hi);
  if (hi <= h && !reverse) return -1;
  const i32 step = skip && skip->type() == type::integer ? std::max(skip->as_int(), 1) : 1;
  auto hit = [&](i32 i) { return get_number(element_at(v, i), w, et) == wanted; };
  if (match) return h < hi && hit(h) ? h : -1;
  if (reverse) {
    for (i32 i = h - step; i >= 0; i -= step)
      if (hit(i)) return i;
    return -1;
  }
  if (last) {
    for (i32 i = h + (hi - 1 - h) / step * step; i >= h; i -= step)
      if (hit(i)) return i;
    return -1;
  }
  for (i32 i = h; i < hi; i += step)
    if (hit(i)) return i;
  return -1;
}

Cell* find(Cell* v, Cell* value, Cell* part, bool, bool, bool, bool, Cell*, Cell* skip, bool last, bool reverse,
           bool tail, bool match) {
  const i32 at = search(v, value, part, skip, last, reverse, match);
  if (at < 0) return &none::value;
  Cell* out = stack::push_value(v);
  series::set_head_index(out, at + (tail || match ? 1 : 0));
  return out;
}

Cell* select(Cell* v, Cell* value, Cell* part, bool, bool, bool, bool, Cell*, Cell* skip, bool last, bool reverse) {
  const i32 at = search(v, value, part, skip, last, reverse, false);
  if (at < 0 || at + 1 >= total_of(v)) return &none::value;
  Cell* out = stack::push_cell();
  push_element(element_at(v, at + 1), width_of(v), element_type(v), out);
  return out;
}

Cell* sort(Cell* v, bool, Cell*, Cell* compare_fn, Cell* part, bool, bool reverse, bool) {
  if (compare_fn) raise_error(ErrorCategory::internal, "not-done");
  const u32 et = element_type(v), w = width_of(v);
  const i32 h = head_of(v);
  i32 n = total_of(v) - h;
  if (part && part->type() == type::integer) n = std::clamp(part->as_int(), 0, n);
  std::vector<double> values(static_cast<size_t>(n));
  for (i32 i = 0; i < n; ++i) values[static_cast<size_t>(i)] = get_number(element_at(v, h + i), w, et);
  if (reverse) std::sort(values.begin(), values.end(), std::greater<>());
  else std::sort(values.begin(), values.end());
  const bool owned = series::notify(v, "sort", nullptr, h, n);
  for (i32 i = 0; i < n; ++i) {
    std::byte* p = element_at(v, h + i);
    if (float_type_q(et)) put_float(p, w, values[static_cast<size_t>(i)]);
    else put_int(p, w, static_cast<i64>(values[static_cast<size_t>(i)]));
  }
  if (owned) series::notify(v, "sorted", nullptr, h, n);
  return v;
}

// A plain take answers the element itself, not a one-element vector.
Cell* take(Cell* v, Cell* part, bool deep, bool last) {
  series::take(v, part, deep, last);
  if (part || v->type() != type::vector) return v;
  Cell taken = *v;
  push_element(element_at(&taken, 0), width_of(&taken), element_type(&taken), v);
  return v;
}

Cell* body_maker(const Cell* spec, Cell* out) { return to_block(spec, out); }

void get_hook(const Cell* v, i32 index, Cell* out) { push_element(element_at(v, index), width_of(v), element_type(v), out); }
void set_hook(Cell* v, i32 index, const Cell* value) { set_element(element_at(v, index), value, width_of(v)); }

}  // namespace

Cell* make_at(Cell* out, i32 length, u32 et, u32 width) {
  if (i64{std::max(length, 1)} * width > memory::max_data_size) no_memory();
  unset::make_at(out);
  Ref<Node> node = memory::alloc_series(std::max(length, 1), static_cast<i32>(width), 0);
  *out = Cell{type::vector, 0, node.offset(), et};
  return out;
}

void push_element(const std::byte* at, u32 width, u32 et, Cell* out) {
  if (float_type_q(et)) {
    *out = Cell{et, 0, 0, 0};
    out->set_double(get_float(at, width));
  } else if (et == type::char_) {
    char_::box(out, static_cast<i32>(get_int(at, width, et)));
  } else {
    integer::box(out, static_cast<i32>(get_int(at, width, et)));
  }
}

void set_element(std::byte* at, const Cell* value, u32 width) {
  if (value->type() == type::float_ || value->type() == type::percent) put_float(at, width, value->as_double());
  else put_int(at, width, value->as_int());
}

void append_int32(Cell* v, i32 value) {
  Bytes run(4);
  put_int(run.data(), 4, value);
  splice(v, total_of(v), 0, run, 1, "append", "appended", &none::value);
}

Cell* to_block(const Cell* v_in, Cell* out) {
  Cell v = *v_in;
  RootCell keep(v);
  const i32 n = total_of(&v) - head_of(&v);
  block::make_at(out, std::max(n, 1));
  for (i32 i = 0; i < n; ++i) {
    Cell item;
    push_element(element_at(&v, head_of(&v) + i), width_of(&v), element_type(&v), &item);
    block::append_value(out, &item);
  }
  return out;
}

i32 length_of(const Cell* v) { return total_of(v) - head_of(v); }

void truncate_at_head(Cell* v) {
  SeriesBuffer* b = series::buffer_of(v);
  b->tail = b->head + static_cast<u32>(head_of(v)) * b->unit();
}

void do_math_scalar(i32 op, Cell* v, const Cell* scalar, bool scalar_first) {
  const u32 st = scalar->type();
  if (st != type::integer && st != type::float_ && st != type::percent && st != type::char_)
    raise_error(ErrorCategory::internal, "not-done");
  const bool float_scalar = st == type::float_ || st == type::percent;
  const u32 et = element_type(v), w = width_of(v);
  const i32 h = head_of(v), n = total_of(v) - h;
  // Nothing below allocates: the elements stay where they are for the whole loop.
  std::byte* base = element_at(v, h);
  if (float_type_q(et)) {
    const double s = float_scalar ? scalar->as_double() : static_cast<double>(scalar->as_int());
    if (!scalar_first && identity_q(op, s)) return;
    if (w == 4) return scalar_loop<float, double>(base, n, op, s, scalar_first);
    return scalar_loop<double, double>(base, n, op, s, scalar_first);
  }
  i32 s = scalar->as_int();
  if (float_scalar) {
    const double d = std::trunc(scalar->as_double());
    if (!(d > -2147483649.0 && d < 2147483648.0)) raise_error(ErrorCategory::script, "out-of-range", *scalar);
    s = static_cast<i32>(d);
  }
  if (!scalar_first && identity_q(op, s)) return;
  const bool chars = et == type::char_;
  switch (w) {
    case 1: return chars ? scalar_loop<u8, i32>(base, n, op, s, scalar_first) : scalar_loop<i8, i32>(base, n, op, s, scalar_first);
    case 2: return chars ? scalar_loop<u16, i32>(base, n, op, s, scalar_first)
                         : scalar_loop<i16, i32>(base, n, op, s, scalar_first);
    default: return scalar_loop<i32, i32>(base, n, op, s, scalar_first);
  }
}

void init() {
  using action::inherit;
  datatype::register_type(type::vector, type::string, "vector!",
                          {.make = make,
                           .random = inherit,
                           .reflect = inherit,
                           .form = form,
                           .mold = mold,
                           .eval_path = eval_path,
                           .compare = compare,
                           .add = add,
                           .divide = divide,
                           .multiply = multiply,
                           .remainder = remainder,
                           .subtract = subtract,
                           .and_t = and_t,
                           .or_t = or_t,
                           .xor_t = xor_t,
                           .append = insert,
                           .at = inherit,
                           .back = inherit,
                           .change = change,
                           .clear = inherit,
                           .copy = inherit,
                           .find = find,
                           .head = inherit,
                           .head_q = inherit,
                           .index_q = inherit,
                           .insert = insert,
                           .length_q = inherit,
                           .move = inherit,
                           .next = inherit,
                           .pick = inherit,
                           .poke = inherit,
                           .remove = inherit,
                           .reverse = inherit,
                           .select = select,
                           .sort = sort,
                           .skip = inherit,
                           .tail = inherit,
                           .tail_q = inherit,
                           .take = take,
                           .modify = inherit});
  collector::set_mark_procedure(type::vector, collector::mark_bytes);
  hashtable::set_hash_procedure(type::vector, hashtable::hash_words12, true);
  float_::math[type::vector] = math_from_number;
  block::body_makers[type::vector] = body_maker;
  hooks::vector_get = get_hook;
  hooks::vector_set = set_hook;
}

}  // namespace kiv::vector
