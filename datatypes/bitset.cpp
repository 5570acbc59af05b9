#include "datatypes/bitset.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

namespace kiv::bitset {

namespace {

Cell datatype_arg(u32 type_id) {
  Cell c;
  datatype::make_at(&c, type_id);
  return c;
}

inline u8* bytes_of(SeriesBuffer* b) { return b->head_ptr<u8>(); }
inline u32 stored(const SeriesBuffer* b) { return b->tail - b->head; }
inline u8 mask_of(i64 n) { return static_cast<u8>(0x80u >> (n & 7)); }

// A word! of one of the static symbols (compared exactly, without case aliases).
bool word_q(const Cell* c, u32 sym) {
  return c->type() == type::word && static_cast<i32>(c->w2) == static_words::symbol(sym);
}

[[noreturn]] void bad_spec(const Cell* value, i32 mode) {
  switch (mode) {
    case make_error: raise_error(ErrorCategory::script, "bad-make-arg", datatype_arg(type::bitset), *value);
    case to_error: raise_error(ErrorCategory::script, "bad-to-arg", datatype_arg(type::bitset), *value);
    default: raise_error(ErrorCategory::script, "invalid-arg", *value);
  }
}

// The member number a char!, integer! or float! (truncated toward zero) stands for. Numbers that
// cannot be members raise out-of-range, except when testing: there a negative number answers
// `absent` and one above the 32-bit range `beyond` (it lies past any stored byte).
enum class Number { ok, absent, beyond };
Number number_of(const Cell* v, i32 op, i64& n) {
  if (v->type() == type::float_) {
    double d = std::trunc(v->as_double());
    if (std::isnan(d) || d < 0 || d > 2147483647.0) {
      if (op != test_bits) raise_error(ErrorCategory::script, "out-of-range", *v);
      return d > 2147483647.0 ? Number::beyond : Number::absent;
    }
    n = static_cast<i64>(d);
    return Number::ok;
  }
  n = v->as_int();
  if (n < 0) {
    if (op != test_bits) raise_error(ErrorCategory::script, "out-of-range", *v);
    return Number::absent;
  }
  return Number::ok;
}

// Applies the operation to bits lo .. hi (inclusive), all within the stored bytes; a test answers
// whether they are all set. Whole bytes are done at once.
bool bits_op(u8* d, i64 lo, i64 hi, i32 op) {
  while (lo <= hi) {
    if ((lo & 7) == 0 && hi - lo >= 7) {
      u8& byte = d[lo >> 3];
      if (op == set_bits) byte = 0xFF;
      else if (op == clear_bits) byte = 0;
      else if (byte != 0xFF) return false;
      lo += 8;
      continue;
    }
    u8& byte = d[lo >> 3];
    if (op == set_bits) byte |= mask_of(lo);
    else if (op == clear_bits) byte &= static_cast<u8>(~mask_of(lo));
    else if (!(byte & mask_of(lo))) return false;
    ++lo;
  }
  return true;
}

// Whether an operation on bits up to n has to store them: setting in a plain bitset, clearing in a
// complemented one. Otherwise the numbers beyond the stored bytes already are what is asked.
bool needs_growth(const SeriesBuffer* b, i32 op) {
  return (op == set_bits && !complemented_q(b)) || (op == clear_bits && complemented_q(b));
}

bool apply_number(Cell* bits, i64 n, i32 op) {
  if (op == measure) return true;
  SeriesBuffer* b = buffer_of(bits);
  if (op == test_bits) return has(bits, static_cast<i32>(n));
  if (static_cast<u64>(n >> 3) >= stored(b) && !needs_growth(b, op)) return true;
  u8* d = reinterpret_cast<u8*>(ensure_bit(bits, static_cast<i32>(n)));
  if (op == set_bits) d[n >> 3] |= mask_of(n);
  else d[n >> 3] &= static_cast<u8>(~mask_of(n));
  return true;
}

bool walk(const Cell* spec, Cell* bits, i32 op, i32 mode, i64& largest);

bool walk_block(const Cell* spec, Cell* bits, i32 op, i32 mode, i64& largest) {
  if (!sys::stack_ok()) raise_error(ErrorCategory::internal, "stack-overflow");
  i32 total = series::total_length(spec);
  for (i32 i = std::max(block::head_index(spec), 0); i < total; ++i) {
    Cell e = *block::cell_at(spec, i);
    RootCell keep(e);
    u32 t = e.type();
    if ((t == type::char_ || t == type::integer) && i + 1 < total && word_q(block::cell_at(spec, i + 1),
                                                                           static_words::sym::minus)) {
      Cell hi = i + 2 < total ? *block::cell_at(spec, i + 2) : none::value;
      if (hi.type() != type::char_ && hi.type() != type::integer) raise_error(ErrorCategory::script, "past-end");
      if (hi.type() != t) raise_error(ErrorCategory::script, "invalid-arg", hi);
      i64 low = e.as_int(), high = hi.as_int();
      if (high < low) raise_error(ErrorCategory::script, "past-end");
      i += 2;
      if (low < 0) {
        if (op == test_bits) return false;
        raise_error(ErrorCategory::script, "out-of-range", e);
      }
      largest = std::max(largest, high);
      if (op != measure && !process_range(bits, static_cast<i32>(low), static_cast<i32>(high), op)) return false;
      continue;
    }
    if (!walk(&e, bits, op, mode, largest)) return false;
  }
  return true;
}

bool walk(const Cell* spec, Cell* bits, i32 op, i32 mode, i64& largest) {
  switch (spec->type()) {
    case type::char_:
    case type::integer:
    case type::float_: {
      i64 n = 0;
      switch (number_of(spec, op, n)) {
        case Number::absent: return false;
        case Number::beyond: return complemented_q(bits);
        case Number::ok: break;
      }
      largest = std::max(largest, n);
      return apply_number(bits, n, op);
    }
    case type::string: {
      i32 r = process_string(spec, bits, op);
      if (op == measure) largest = std::max<i64>(largest, r);
      return op != test_bits || r != 0;
    }
    case type::block: return walk_block(spec, bits, op, mode, largest);
    case type::binary: raise_error(ErrorCategory::internal, "not-done");
    default: bad_spec(spec, mode);
  }
}

// A copy of the bitset with the flag toggled and every byte inverted: the same bytes read the
// other way round, so it holds exactly the numbers the original does not.
void complemented_copy(const Cell* value, Cell* out) {
  Ref<Node> n = memory::copy_series(buffer_of(value));
  SeriesBuffer* b = kiv::buffer_of(n);
  b->flags ^= series_flag::complement;
  invert_bytes(b);
  *out = Cell{type::bitset, 0, n.offset(), 0};
}

// The text of form and mold.
i32 text(const Cell* bits, Cell* out, const Cell* part, i32 limit) {
  bool comp = complemented_q(bits);
  string::append_c_string(out, comp ? "make bitset! [not #{" : "make bitset! #{");
  limit -= comp ? 13 + 5 + 2 : 13 + 2;
  limit = form_hex(bits, out, part != nullptr, limit, comp);
  if (part && limit <= 0) return limit;
  string::append_c_string(out, comp ? "}]" : "}");
  return limit - (comp ? 2 : 1);
}

}  // namespace

Cell* make_at(Cell* out, i32 bytes, bool complemented) {
  Ref<Node> n = memory::alloc_bytes_filled(bytes, complemented ? 0xFF : 0x00);
  SeriesBuffer* b = kiv::buffer_of(n);
  b->tail = b->head + static_cast<u32>(bytes);
  if (complemented) b->flags |= series_flag::complement;
  *out = Cell{type::bitset, 0, n.offset(), 0};
  return out;
}

bool has(const Cell* bits, i32 n) {
  if (n < 0) return false;
  SeriesBuffer* b = buffer_of(bits);
  u32 byte = static_cast<u32>(n) >> 3;
  if (byte >= stored(b)) return complemented_q(b);
  return (bytes_of(b)[byte] & mask_of(n)) != 0;
}

std::byte* get_data(const Cell* bits) { return buffer_of(bits)->head_ptr(); }
std::byte* get_tail(const Cell* bits) { return buffer_of(bits)->tail_ptr(); }

std::byte* ensure_bit(Cell* bits, i32 n) {
  SeriesBuffer* b = buffer_of(bits);
  u32 need = (static_cast<u32>(n) >> 3) + 1;
  u32 have = stored(b);
  if (need <= have) return b->head_ptr();
  u8 fill = fill_of(b);
  if (need > b->end_offset() - b->head) {
    // Room to spare, so that a run of growing appends does not move the buffer every time.
    i64 size = std::max<i64>(need, i64{b->size} * 2);
    if (size > memory::max_data_size) size = need;
    b = memory::expand_series(b, static_cast<i32>(size));
  }
  // The bytes past the old tail are not known to hold the fill byte (a set operation's result, a
  // cleared tail): write it.
  std::memset(b->head_ptr() + have, fill, need - have);
  b->tail = b->head + need;
  return b->head_ptr();
}

bool out_of_range_q(const Cell* bits, i32 n) { return n < 0 || (static_cast<u32>(n) >> 3) >= stored(buffer_of(bits)); }

void invert_bytes(SeriesBuffer* b) {
  for (u8 *p = bytes_of(b), *end = arena::at<u8>(b->end_offset()); p < end; ++p) *p = static_cast<u8>(~*p);
}

i32 form_hex(const Cell* bits, Cell* out, bool part, i32 limit, bool invert) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string hex;
  {
    SeriesBuffer* b = buffer_of(bits);
    const u8* d = bytes_of(b);
    u32 n = stored(b);
    hex.reserve(std::size_t{n} * 2);
    for (u32 i = 0; i < n; ++i) {
      if (part && limit < 0) break;
      u8 v = invert ? static_cast<u8>(~d[i]) : d[i];
      hex.push_back(digits[v >> 4]);
      hex.push_back(digits[v & 15]);
      limit -= 2;
    }
  }
  // One append for the lot: appending may collect and move the bitset's buffer.
  if (!hex.empty()) string::append_bytes(out, hex.data(), static_cast<i32>(hex.size()));
  return limit;
}

bool process_range(Cell* bits, i32 low, i32 high, i32 op) {
  if (op == measure) return true;
  SeriesBuffer* b = buffer_of(bits);
  if (op != test_bits && needs_growth(b, op)) {
    ensure_bit(bits, high);
    b = buffer_of(bits);
  }
  i64 last = i64{stored(b)} * 8 - 1;  // the last stored bit
  if (op == test_bits && high > last && !complemented_q(b)) return false;
  if (low > last) return true;
  return bits_op(bytes_of(b), low, std::min<i64>(high, last), op);
}

i32 process_string(const Cell* str, Cell* bits, i32 op) {
  Cell s = *str;
  RootCell keep(s);
  i32 from = std::max(string::head_index(&s), 0);
  i32 total = string::total_length(&s);
  auto each = [&](auto&& fn) {
    SeriesBuffer* sb = string::buffer_of(&s);
    u32 unit = sb->unit(), shift = string::unit_shift(unit);
    for (i32 i = from; i < total; ++i) {
      if (!fn(string::read_unit(sb->head_ptr() + (static_cast<u32>(i) << shift), unit))) return false;
    }
    return true;
  };
  i32 largest = -1;
  each([&](i32 cp) {
    largest = std::max(largest, cp);
    return true;
  });
  if (op == measure) return largest;
  if (largest < 0) return 1;
  if (op != test_bits && needs_growth(buffer_of(bits), op)) ensure_bit(bits, largest);
  // Nothing below allocates: the buffers may be held.
  SeriesBuffer* b = buffer_of(bits);
  u8* d = bytes_of(b);
  u32 n = stored(b);
  bool comp = complemented_q(b);
  bool all = each([&](i32 cp) {
    u32 byte = static_cast<u32>(cp) >> 3;
    if (byte >= n) return op != test_bits || comp;  // beyond: already what set or clear asks
    if (op == set_bits) d[byte] |= mask_of(cp);
    else if (op == clear_bits) d[byte] &= static_cast<u8>(~mask_of(cp));
    else return (d[byte] & mask_of(cp)) != 0;
    return true;
  });
  return all ? 1 : 0;
}

i32 process(const Cell* spec, Cell* bits, i32 op, bool no_resize, i32 error_mode) {
  i64 largest = 0;
  bool all = walk(spec, bits, op, error_mode, largest);
  if (op == test_bits) return all ? 1 : 0;
  if (op == clear_bits) return 0;
  if (!no_resize && op == set_bits) ensure_bit(bits, static_cast<i32>(largest));
  return static_cast<i32>((largest >> 3) + 1);
}

Cell* make_from_spec(Cell* result, Cell* spec, i32 mode) {
  Cell s = *spec;
  RootCell keep(s);
  bool negated = false;
  if (s.type() == type::block && block::length(&s) > 0 &&
      word_q(block::cell_at(&s, std::max(block::head_index(&s), 0)), static_words::sym::not_)) {
    negated = true;
    series::set_head_index(&s, std::max(block::head_index(&s), 0) + 1);  // a copy: the argument is untouched
    if (block::length(&s) > 0) {
      Cell* first = block::cell_at(&s, block::head_index(&s));
      if (first->type() == type::binary) s = *first;
    }
  }
  switch (s.type()) {
    case type::bitset: {
      Ref<Node> n = memory::copy_series(buffer_of(&s));
      *result = Cell{type::bitset, 0, n.offset(), 0};
      return result;
    }
    case type::integer:
    case type::float_: {
      if (mode == to_error) bad_spec(spec, mode);
      i32 n = cell::to_int32_checked(&s);
      if (n < 0) raise_error(ErrorCategory::script, "out-of-range", *spec);
      return make_at(result, static_cast<i32>((i64{n} + 7) >> 3), false);
    }
    case type::binary: {
      i32 h = std::max(series::head_index(&s), 0);
      i32 n = std::max(series::total_length(&s) - h, 0);
      make_at(result, n, negated);
      SeriesBuffer* src = series::buffer_of(&s);  // after the allocation
      u8* d = bytes_of(buffer_of(result));
      std::memcpy(d, bytes_of(src) + h, static_cast<std::size_t>(n));
      if (negated) {
        for (i32 i = 0; i < n; ++i) d[i] = static_cast<u8>(~d[i]);
      }
      return result;
    }
    default: {
      i32 count = process(&s, nullptr, measure, false, mode);
      make_at(result, count, negated);
      process(&s, result, negated ? clear_bits : set_bits, false, mode);
      return result;
    }
  }
}

void do_set_operation(i32 code) {
  if (code == 8) return;  // unique: the first operand as it is
  Cell* args = stack::arguments;
  if (args[1].type() != type::bitset) raise_error(ErrorCategory::script, "invalid-type", datatype_arg(args[1].type()));
  // Each operand reads as its fill byte past its stored bytes, so the bytes and the flags are
  // combined alike and every operation keeps its meaning when an operand is complemented.
  auto combine = [code](u32 x, u32 y) -> u32 {
    switch (code) {
      case 5: case 9: return x | y;
      case 6: case 10: return x & y;
      case 7: case 12: return x ^ y;
      case 11: return x & ~y;
      default: sys::quit(sys::Fatal::no_switch);
    }
  };
  SeriesBuffer* a = buffer_of(&args[0]);
  SeriesBuffer* b = buffer_of(&args[1]);
  u32 la = stored(a), lb = stored(b);
  bool fa = complemented_q(a), fb = complemented_q(b);
  bool flag = combine(fa, fb) & 1;
  u32 len = std::max(la, lb);
  // and~ keeps the shorter operand's length; past it the result is the fill byte of the flag
  // when the shorter operand is plain.
  if (code == 6 && la != lb && !(la < lb ? fa : fb)) len = std::min(la, lb);
  Cell r = none::value;
  RootCell keep(r);
  make_at(&r, static_cast<i32>(len), flag);
  a = buffer_of(&args[0]);
  b = buffer_of(&args[1]);
  const u8 *da = bytes_of(a), *db = bytes_of(b);
  u8 pa = fill_of(a), pb = fill_of(b);
  u8* dr = bytes_of(buffer_of(&r));
  for (u32 i = 0; i < len; ++i) dr[i] = static_cast<u8>(combine(i < la ? da[i] : pa, i < lb ? db[i] : pb));
  stack::set_result(&r);
}

Cell* make(Cell*, Cell* spec, u32) { return make_from_spec(stack::push_cell(), spec, make_error); }
Cell* to(Cell*, Cell* spec, u32) { return make_from_spec(stack::push_cell(), spec, to_error); }

Cell* reflect(Cell* value, i32 field) { return series::reflect(value, field); }

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) { return text(value, out, part, limit); }

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  return text(value, out, part, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool tail,
                bool) {
  u32 t = element->type();
  if (t != type::integer && t != type::char_) raise_error(ErrorCategory::script, "invalid-type", datatype_arg(t));
  // A get passes none (or nothing); only the final step of a set-path sets, and there none clears.
  bool set = value && (value->type() != type::none || (tail && path && path->type() == type::set_path));
  if (set) {
    poke(parent, element->as_int(), value, element);
    return value;
  }
  return pick(parent, element->as_int(), element);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::bitset) return -2;
  if (op == compare_op::same) return a->w2 == b->w2 ? 0 : 1;
  SeriesBuffer* ba = buffer_of(a);
  SeriesBuffer* bb = buffer_of(b);
  u32 la = stored(ba), lb = stored(bb);
  if (la != lb) return la < lb ? -1 : 1;
  // The flag is weighed even with no stored bytes: an empty complemented bitset holds everything.
  bool fa = complemented_q(ba), fb = complemented_q(bb);
  if (fa != fb) return fa ? 1 : -1;
  const u8 *da = bytes_of(ba), *db = bytes_of(bb);
  for (u32 i = la; i-- > 0;) {
    if (da[i] != db[i]) return da[i] < db[i] ? -1 : 1;
  }
  return 0;
}

Cell* negate(Cell* value) {
  complemented_copy(value, value);
  return value;
}

Cell* complement(Cell* value) {
  Cell* out = stack::push_cell();
  complemented_copy(value, out);
  return out;
}

void and_t() { do_set_operation(6); }
void or_t() { do_set_operation(5); }
void xor_t() { do_set_operation(7); }

Cell* append(Cell* series, Cell* value, i32, bool, i32, bool) {
  bool owned = series::notify(series, "insert", value, 0, 0);
  process(value, series, set_bits, false, action_error);
  if (owned) series::notify(series, "inserted", value, 0, 0);
  return series;
}

Cell* clear(Cell* series) {
  bool owned = series::notify(series, "clear", nullptr, 0, 0);
  SeriesBuffer* b = buffer_of(series);
  std::memset(b->head_ptr(), fill_of(b), stored(b));
  if (owned) series::notify(series, "cleared", nullptr, 0, 0);
  return series;
}

Cell* copy(Cell* value, Cell* result, Cell*, bool, Cell*) {
  Ref<Node> n = memory::copy_series(buffer_of(value));
  *result = Cell{type::bitset, 0, n.offset(), 0};
  return result;
}

Cell* find(Cell* series, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
  return process(value, series, test_bits, true, action_error) ? &logic::true_value : &none::value;
}

i32 length_q(const Cell* series) {
  // 2^28 bytes (bit 2147483647 stored) count one bit more than an integer! holds.
  return static_cast<i32>(std::min<i64>(i64{byte_count(series)} * 8, 2147483647));
}

Cell* pick(Cell* series, i32, Cell* boxed) {
  return process(boxed, series, test_bits, true, action_error) ? &logic::true_value : &logic::false_value;
}

Cell* poke(Cell* series, i32 index, Cell* data, Cell* boxed) {
  u32 t = data->type();
  bool off = t == type::none || (t == type::logic && data->w1 == 0) || (t == type::integer && data->as_int() == 0) ||
             (t == type::float_ && data->as_double() == 0.0);
  bool owned = series::notify(series, "poke", data, index, 1);
  process(boxed, series, off ? clear_bits : set_bits, false, action_error);
  if (owned) series::notify(series, "poked", data, index, 1);
  return data;
}

Cell* remove(Cell* series, Cell* part, Cell*) {
  if (!part) raise_error(ErrorCategory::script, "missing-arg");
  bool owned = series::notify(series, "remove", part, 0, 0);
  process(part, series, clear_bits, false, action_error);
  if (owned) series::notify(series, "removed", part, 0, 0);
  return series;
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool case_) { return series::modify(target, field, value, case_); }

void init() {
  datatype::register_type(type::bitset, 0, "bitset!",
                          {.make = make,
                           .reflect = reflect,
                           .to = to,
                           .form = form,
                           .mold = mold,
                           .eval_path = eval_path,
                           .compare = compare,
                           .negate = negate,
                           .and_t = and_t,
                           .complement = complement,
                           .or_t = or_t,
                           .xor_t = xor_t,
                           .append = append,
                           .clear = clear,
                           .copy = copy,
                           .find = find,
                           .insert = append,
                           .length_q = length_q,
                           .pick = pick,
                           .poke = poke,
                           .remove = remove,
                           .modify = modify});
  collector::set_mark_procedure(type::bitset, collector::mark_bytes);
}

}  // namespace kiv::bitset
