// string! actions: make and to, comparison, find and select, sort, append, insert, change, swap, take,
// trim, path access, and the set operations on characters.
#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/char.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string_internal.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kiv::string {

// Declared in string_mold.cpp.
void append_code_points(Cell* out, const i32* cps, i32 n, i32 max_cp);

namespace {

// ---------------------------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------------------------

struct Range {
  i32 head;   // head index clipped to [0, total]
  i32 total;  // characters from the buffer's start to the tail
  i32 left() const { return total - head; }
};

Range range_of(const Cell* s) {
  i32 total = total_length(s);
  return {std::clamp(head_index(s), 0, total), total};
}

void clip_head(Cell* s) {
  i32 total = total_length(s);
  if (head_index(s) > total) set_head_index(s, total);
}

bool text_type_q(u32 t) { return any_string_q(t); }

// A temporary string on the value stack (so the collector keeps it) with room for n characters.
Cell* push_temp(i32 n, u32 unit = 1) {
  Cell* c = stack::push_cell();
  make_at(c, n, static_cast<i32>(unit));
  return c;
}

[[noreturn]] void not_done() { raise_error(ErrorCategory::internal, "not-done"); }

// Copies the content of a series from its head as raw units into a vector (for bytes a later
// allocation might move).
std::vector<std::byte> bytes_from_head(const Cell* s) {
  SeriesBuffer* b = kiv::buffer_of(Ref<Node>(s->w2));
  u32 shift = unit_shift(b->unit());
  i64 used = b->tail - b->head;
  i64 from = std::clamp<i64>(i64{head_index(s)} << shift, 0, used);
  return std::vector<std::byte>(b->head_ptr() + from, b->tail_ptr());
}

// A new binary! on the value stack holding the bytes.
Cell* push_binary(const std::byte* bytes, i32 n) {
  Cell* c = stack::push_cell();
  Ref<Node> node = memory::alloc_bytes(n);
  SeriesBuffer* b = kiv::buffer_of(node);
  if (n) std::memcpy(b->head_ptr(), bytes, static_cast<size_t>(n));
  b->tail = b->head + static_cast<u32>(n);
  *c = Cell{type::binary, 0, node.offset(), 0};
  return c;
}

// Widens b's unit to at least `unit`.
SeriesBuffer* widen_at_least(SeriesBuffer* b, u32 unit) {
  return b->unit() < unit ? widen_to(b, b->unit(), unit) : b;
}

// Rule A: the unit appending one character needs.
u32 append_unit(i32 cp) { return cp > 0xFFFF ? 4 : cp > 0x7F ? 2 : 1; }

// Ensures room for `more` bytes beyond the content.
SeriesBuffer* ensure_room(SeriesBuffer* b, i64 more) {
  i64 used = b->tail - b->head;
  if (used + more > max_series_bytes) raise_error(ErrorCategory::internal, "no-memory");
  if (b->tail + more > b->end_offset()) b = grow_for(b, used + more);
  return b;
}

// Copies n characters from (src, su) to (dst, du); du >= su.
void copy_chars(std::byte* dst, u32 du, const std::byte* src, u32 su, i32 n) {
  if (du == su) {
    std::memmove(dst, src, static_cast<size_t>(n) << unit_shift(du));
    return;
  }
  u32 ds = unit_shift(du), ss = unit_shift(su);
  for (i32 i = 0; i < n; ++i) write_unit(dst + (static_cast<u32>(i) << ds), du, read_unit(src + (static_cast<u32>(i) << ss), su));
}

// ---------------------------------------------------------------------------------------------
// The text a modifying action writes: a char!, or characters of a string cell from its head
// ---------------------------------------------------------------------------------------------

struct Piece {
  Cell text{type::unset, 0, 0, 0};  // string-family cell (rooted by the owner of the Piece)
  bool is_char = false;
  i32 cp = 0;
  i32 count = 0;  // characters
  u32 unit() const { return is_char ? append_unit(cp) : buffer_of(&text)->unit(); }
};

// Forms a value at the tail of `out` within a budget (a block element by element, no separator),
// cutting an overshoot off again; returns the characters added.
i32 form_at_tail(Cell* out, const Cell* value_in, i32 budget) {
  Cell value = *value_in;
  RootCell keep(value);
  i32 before = total_length(out);
  i32 limit = budget < 0 ? INT_MAX : budget;
  u32 t = value.type();
  if (t == type::block || t == type::paren || t == type::hash) {
    // Forming may allocate: the block's node and buffer can both move, so both are re-read from
    // the rooted cell at every step.
    auto count = [&value] {
      SeriesBuffer* b = kiv::buffer_of(Ref<Node>(value.w2));
      return static_cast<i32>((b->tail - b->head) / sizeof(Cell));
    };
    for (i32 i = std::max(head_index(&value), 0); i < count() && limit > 0; ++i) {
      Cell element = kiv::buffer_of(Ref<Node>(value.w2))->head_ptr<Cell>()[i];
      RootCell keep_element(element);
      limit = actions::dispatch_form(&element, out, nullptr, limit);
    }
  } else {
    limit = actions::dispatch_form(&value, out, nullptr, limit);
  }
  if (limit < 0) cut_tail_at(buffer_of(out), total_length(out) + limit);
  return total_length(out) - before;
}

// Makes `p` describe what to write for `value`, limited to `part` characters (negative: all).
// `series` is the target: a text of the same series, a tag, or a value of another type is copied
// into a temporary string first, so that writing can never read what it overwrites.
void make_piece(Cell* series, const Cell* value, i32 part, Piece& p) {
  u32 t = value->type();
  if (t == type::char_) {
    p.is_char = true;
    p.cp = char_::code_point(value);
    p.count = part == 0 ? 0 : 1;
    return;
  }
  if (text_type_q(t) && t != type::tag) {
    Range r = range_of(value);
    p.count = r.left();
    if (part >= 0 && part < p.count) p.count = part;
    if (value->w2 != series->w2) {
      p.text = *value;
      set_head_index(&p.text, r.head);
      return;
    }
    Cell* tmp = push_temp(p.count, buffer_of(value)->unit());
    concatenate(tmp, value, p.count, true, 0);
    p.text = *tmp;
    return;
  }
  Cell* tmp = push_temp(16);
  if (t == type::tag) {
    // The tag with its angle brackets, the budget counting each bracket.
    i32 budget = part < 0 ? INT_MAX : part;
    if (budget > 0) {
      append_char(tmp, '<');
      --budget;
      i32 n = std::min(budget, length(const_cast<Cell*>(value)));
      concatenate(tmp, value, n, true, 0);
      budget -= n;
      if (budget > 0) append_char(tmp, '>');
    }
  } else {
    form_at_tail(tmp, value, part);
  }
  p.text = *tmp;
  p.count = total_length(tmp);
}

// Writes the piece `dup` times at character index `at` of the series' buffer, which has the room
// and a unit at least the piece's.
void write_piece(Cell* series, i32 at, const Piece& p, i32 dup) {
  SeriesBuffer* b = buffer_of(series);
  u32 unit = b->unit();
  u32 shift = unit_shift(unit);
  std::byte* dst = b->head_ptr() + (static_cast<u32>(at) << shift);
  if (p.is_char) {
    write_unit(dst, unit, p.cp);
  } else {
    SeriesBuffer* sb = buffer_of(&p.text);
    u32 su = sb->unit();
    copy_chars(dst, unit, sb->head_ptr() + (static_cast<u32>(head_index(&p.text)) << unit_shift(su)), su, p.count);
  }
  if (dup > 1) memory::replicate_bytes(dst, p.count << shift, dup);
}

// Brings the target's unit up to what the piece needs. A narrower source text is widened in place
// rather than converted on every copy (its characters do not change, only their storage).
void match_units(Cell* series, Piece& p) {
  u32 pu = p.unit();
  widen_at_least(buffer_of(series), pu);
  if (!p.is_char) {
    u32 tu = buffer_of(series)->unit();
    SeriesBuffer* sb = buffer_of(&p.text);
    if (sb->unit() < tu) widen_to(sb, sb->unit(), tu);
  }
}

i64 checked_total(i64 count, i64 dup) {
  i64 total = count * dup;
  if (dup != 0 && total / dup != count) raise_error(ErrorCategory::internal, "no-memory");
  if (total > max_series_bytes) raise_error(ErrorCategory::internal, "no-memory");
  return total;
}

// ---------------------------------------------------------------------------------------------
// Case folding and comparison
// ---------------------------------------------------------------------------------------------

bool folds_q(i32 op) {
  return op != compare_op::strict_equal && op != compare_op::case_sort && op != compare_op::parse_match_case;
}

// A text operand of comparison: the string itself, or a symbol's name string read from 0.
const Cell* compare_operand(const Cell* v, Cell* tmp) {
  if (v->type() == type::symbol) {
    if (!hooks::symbol_name) not_done();
    *tmp = *hooks::symbol_name(v);
    tmp->w1 = 0;
    return tmp;
  }
  return v;
}

}  // namespace

i32 compare_strings(const Cell* a_in, const Cell* b_in, i32 op, bool match) {
  if (a_in->w2 == b_in->w2 && a_in->w1 == b_in->w1 && a_in->type() != type::symbol &&
      b_in->type() != type::symbol) {
    if (op == compare_op::same || op == compare_op::equal || op == compare_op::not_equal ||
        op == compare_op::strict_equal || op == compare_op::find)
      return 0;
  } else if (op == compare_op::same) {
    return -1;
  }
  Cell ta, tb;
  const Cell* a = compare_operand(a_in, &ta);
  const Cell* b = compare_operand(b_in, &tb);
  Range ra = range_of(a), rb = range_of(b);
  i32 na = ra.left(), nb = rb.left();
  bool equality = op == compare_op::equal || op == compare_op::not_equal || op == compare_op::strict_equal ||
                  op == compare_op::find;
  i32 n;
  if (match) {
    if (nb == 0) return op == compare_op::find ? 1 : 0;
    if (nb > na) return 1;
    n = nb;
  } else {
    if (na != nb) {
      if (equality || nb == 0) return 1;
    }
    if (na == 0 && nb == 0) return 0;
    if (na == 0) return -1;
    n = std::min(na, nb);
  }
  SeriesBuffer* ba = buffer_of(a);
  SeriesBuffer* bb = buffer_of(b);
  u32 ua = ba->unit(), ub = bb->unit();
  u32 sa = unit_shift(ua), sb = unit_shift(ub);
  const std::byte* pa = ba->head_ptr() + (static_cast<u32>(ra.head) << sa);
  const std::byte* pb = bb->head_ptr() + (static_cast<u32>(rb.head) << sb);
  bool fold = folds_q(op);
  i32 diff = 0;
  if (ua == ub && !fold && (ua == 1 || equality)) {
    // Same storage, exact comparison: bytes order like code points for 1-byte units.
    int c = std::memcmp(pa, pb, static_cast<size_t>(n) << sa);
    if (c != 0) {
      if (equality) return 1;
      diff = c;
    }
  } else {
    for (i32 i = 0; i < n; ++i) {
      i32 ca = read_unit(pa + (static_cast<u32>(i) << sa), ua);
      i32 cb = read_unit(pb + (static_cast<u32>(i) << sb), ub);
      if (ca != cb && fold) {
        ca = fold_upper(ca);
        cb = fold_upper(cb);
      }
      if (ca != cb) {
        diff = ca - cb;
        break;
      }
    }
  }
  if (diff != 0) return diff < 0 ? -1 : 1;
  if (match) return 0;
  return na < nb ? -1 : na > nb ? 1 : 0;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (a->type() != b->type()) {
    if (!(text_type_q(b->type()) && (op == compare_op::equal || op == compare_op::not_equal))) return -2;
  }
  return compare_strings(a, b, op, false);
}

// ---------------------------------------------------------------------------------------------
// make and to
// ---------------------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32 t) {
  u32 st = spec->type();
  if (st == type::integer || st == type::float_) {
    i32 n = cell::to_int32_checked(spec);
    if (n < 0) raise_error(ErrorCategory::script, "out-of-range", *spec);
    Ref<Node> node = memory::alloc_bytes(n);
    *proto = Cell{t, 0, node.offset(), 0};
    return proto;
  }
  if (t == type::binary) {
    if (st == type::money) {
      Cell kind;
      datatype::make_at(&kind, type::binary);
      raise_error(ErrorCategory::script, "bad-make-arg", kind, *spec);
    }
    if (!hooks::binary_to) not_done();
    return hooks::binary_to(proto, spec, t);
  }
  return to(proto, spec, t);
}

Cell* to(Cell* proto, Cell* spec, u32 t) {
  u32 st = spec->type();
  Cell* mark = stack::top;
  Cell* out = stack::push_cell();  // built here, then copied: proto and spec may be read meanwhile
  if (text_type_q(st)) {
    series::copy(spec, out, nullptr, false, nullptr);
  } else if (st == type::binary) {
    std::vector<std::byte> bytes = bytes_from_head(spec);
    i32 unconsumed = 0;
    Ref<Node> node = unicode::load_utf8(reinterpret_cast<const u8*>(bytes.data()), static_cast<i32>(bytes.size()),
                                        nullptr, &unconsumed, false);
    *out = Cell{type::string, 0, node.offset(), 0};
    if (unconsumed > 0) {
      Cell* rest = push_binary(bytes.data() + bytes.size() - unconsumed, unconsumed);
      raise_error(ErrorCategory::access, "invalid-utf8", *rest);
    }
  } else if (st == type::block || st == type::paren || st == type::hash) {
    make_at(out, 16);
    form_at_tail(out, spec, -1);
  } else if (st == type::refinement) {
    make_at(out, 16);
    if (t == type::string) actions::dispatch_form(spec, out, nullptr, INT_MAX);
    else actions::dispatch_mold(spec, out, true, true, true, nullptr, INT_MAX, 0);
  } else if (st == type::none) {
    Cell kind;
    datatype::make_at(&kind, type::string);
    raise_error(ErrorCategory::script, "bad-to-arg", kind, *spec);
  } else {
    make_at(out, 16);
    actions::dispatch_form(spec, out, nullptr, INT_MAX);
  }
  cell::set_type(out, t);
  *proto = *out;
  stack::top = mark;
  return proto;
}

// ---------------------------------------------------------------------------------------------
// find and select
// ---------------------------------------------------------------------------------------------

namespace {

struct Found {
  bool found = false;
  i32 at = 0;        // index of the match's first character, from the buffer's start
  i32 length = 0;    // characters matched
  bool text = false; // the value was searched as a text (select then skips its whole length)
};

// The pattern of a find, as code points (folded when folding applies), or a bitset.
struct Pattern {
  std::vector<i32> cps;
  const Cell* bitset = nullptr;
  bool text = false;
};

void build_pattern(Cell* series, const Cell* value, bool fold, Pattern& p) {
  u32 t = value->type();
  auto add_text = [&](const Cell* s) {
    Range r = range_of(s);
    SeriesBuffer* b = buffer_of(s);
    u32 unit = b->unit();
    u32 shift = unit_shift(unit);
    const std::byte* base = b->head_ptr();
    p.cps.reserve(static_cast<size_t>(r.left()));
    for (i32 i = r.head; i < r.total; ++i) p.cps.push_back(read_unit(base + (static_cast<u32>(i) << shift), unit));
  };
  if (t == type::char_) {
    p.cps.push_back(char_::code_point(value));
  } else if (t == type::bitset) {
    p.bitset = value;
  } else if (text_type_q(t)) {
    add_text(value);
    p.text = true;
  } else if (t == type::binary) {
    if (series->type() != type::binary) raise_error(ErrorCategory::script, "invalid-arg", *value);
    for (std::byte c : bytes_from_head(value)) p.cps.push_back(static_cast<u8>(c));
    p.text = true;
  } else if (series->type() == type::binary && (t == type::integer)) {
    // An integer is one element: outside 0-255 it is a value no byte equals (256).
    const i32 v = value->as_int();
    p.cps.push_back(v >= 0 && v <= 0xFF ? v : 0x100);
  } else {
    Cell* mark = stack::top;
    Cell* tmp = push_temp(16);
    actions::dispatch_form(value, tmp, nullptr, INT_MAX);
    add_text(tmp);
    stack::top = mark;
    p.text = t == type::word || t == type::lit_word || t == type::set_word || t == type::get_word ||
             t == type::refinement || t == type::issue;
  }
  // A binary holds bytes: a text or a character is looked for as its UTF-8 sequence.
  if (series->type() == type::binary && t != type::binary && t != type::integer && !p.bitset) {
    std::vector<i32> bytes;
    bytes.reserve(p.cps.size());
    for (i32 cp : p.cps) {
      u8 sequence[4];
      const i32 n = unicode::encode_utf8(cp, sequence);
      bytes.insert(bytes.end(), sequence, sequence + n);
    }
    p.cps = std::move(bytes);
  }
  if (fold)
    for (i32& c : p.cps) c = fold_upper(c);
}

// Whether the pattern matches at [pos, pos + m) of the buffer.
inline bool match_at(const std::byte* base, u32 unit, u32 shift, i32 pos, const Pattern& p, bool fold) {
  if (p.bitset) {
    return bitset_has(p.bitset, read_unit(base + (static_cast<u32>(pos) << shift), unit));
  }
  i32 m = static_cast<i32>(p.cps.size());
  for (i32 k = 0; k < m; ++k) {
    i32 c = read_unit(base + (static_cast<u32>(pos + k) << shift), unit);
    if (fold) c = fold_upper(c);
    if (c != p.cps[static_cast<size_t>(k)]) return false;
  }
  return true;
}

Found find_core(Cell* series, Cell* value, Cell* part, bool case_, bool same, bool any, Cell* with, Cell* skip,
                bool last, bool reverse, bool match) {
  Found f;
  SeriesBuffer* b = buffer_of(series);
  if (b->tail == b->head) return f;
  Range r = range_of(series);
  if (!reverse && r.head >= r.total) return f;
  if (any || with) not_done();
  i32 step = 1;
  if (skip) {
    step = cell::to_int32_checked(skip);
    if (step < 1) raise_error(ErrorCategory::script, "out-of-range", *skip);
  }
  i32 limit = -1;  // characters the search may cover (from the head, or before it with /reverse)
  if (part) {
    if (part->type() == type::integer) limit = part->as_int();
    else if (part->type() == series->type() && part->w2 == series->w2) limit = std::abs(head_index(part) - r.head);
    else actions::raise_invalid_refine_arg("part", part);
    if (limit < 1) return f;
  }
  u32 st = series->type();
  bool fold = text_type_q(st) && !case_ && !same;
  Pattern pat;
  build_pattern(series, value, fold, pat);
  i32 m = pat.bitset ? 1 : static_cast<i32>(pat.cps.size());
  if (m == 0) return f;  // an empty text is found nowhere

  // The span [lo, hi) of characters a match must lie in.
  i32 lo, hi;
  if (reverse) {
    if (match) return f;
    hi = r.head;
    lo = limit < 0 ? 0 : std::max(r.head - limit, 0);
  } else {
    lo = r.head;
    hi = limit < 0 ? r.total : static_cast<i32>(std::min<i64>(i64{r.head} + limit, r.total));
  }
  if (hi - lo < m) return f;
  b = buffer_of(series);
  u32 unit = b->unit();
  u32 shift = unit_shift(unit);
  const std::byte* base = b->head_ptr();
  bool backward = last || reverse;

  auto hit = [&](i32 start) {
    f.found = true;
    f.at = start;
    f.length = m;
    f.text = pat.text;
    return f;
  };

  if (match) {
    i32 start = backward ? hi - m : lo;
    if (match_at(base, unit, shift, start, pat, fold)) return hit(start);
    return f;
  }

  // Fast scan: step 1 over a text or a character, looking for one pattern character (and the few
  // characters that fold to it) with the vector scanners, then checking the rest.
  if (step == 1 && !pat.bitset) {
    i32 key_index = backward ? m - 1 : 0;
    i32 needles[4];
    int count;
    if (fold) {
      count = search::fold_class(pat.cps[static_cast<size_t>(key_index)], unit, needles, 4);
    } else {
      needles[0] = pat.cps[static_cast<size_t>(key_index)];
      count = 1;
    }
    if (count <= 4) {
      if (count == 0) return f;
      if (!backward) {
        for (i32 pos = lo; pos <= hi - m;) {
          i32 at = search::forward_any(base, pos, hi - m + 1, unit, needles, count);
          if (at < 0) return f;
          if (m == 1 || match_at(base, unit, shift, at, pat, fold)) return hit(at);
          pos = at + 1;
        }
      } else {
        for (i32 end = hi; end - m >= lo;) {  // the key is the pattern's last character
          i32 at = search::backward_any(base, lo + m - 1, end, unit, needles, count);
          if (at < 0) return f;
          if (m == 1 || match_at(base, unit, shift, at - m + 1, pat, fold)) return hit(at - m + 1);
          end = at;
        }
      }
      return f;
    }
  }

  if (!backward) {
    for (i64 pos = lo; pos + m <= hi; pos += step)
      if (match_at(base, unit, shift, static_cast<i32>(pos), pat, fold)) return hit(static_cast<i32>(pos));
  } else {
    // Candidates end at hi - 1, hi - 1 - step ...: the text ending at the current position.
    for (i64 end = hi - 1; end - m + 1 >= lo; end -= step)
      if (match_at(base, unit, shift, static_cast<i32>(end - m + 1), pat, fold))
        return hit(static_cast<i32>(end - m + 1));
  }
  return f;
}

}  // namespace

Cell* find(Cell* series, Cell* value, Cell* part, bool, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
  Found f = find_core(series, value, part, case_, same, any, with, skip, last, reverse, match);
  if (!f.found) return &none::value;
  Cell* out = stack::push_value(series);
  set_head_index(out, tail ? f.at + f.length : f.at);
  return out;
}

Cell* select(Cell* series, Cell* value, Cell* part, bool, bool case_, bool same, bool any, Cell* with, Cell* skip,
             bool last, bool reverse) {
  Found f = find_core(series, value, part, case_, same, any, with, skip, last, reverse, false);
  if (!f.found) return &none::value;
  i32 pos = f.at + (f.text ? f.length : 1);
  if (pos >= total_length(series)) return &none::value;
  i32 c = char_at(series, pos);
  Cell* out = stack::push_cell();
  if (series->type() == type::binary) integer::box(out, c);
  else char_::box(out, c);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Path access
// ---------------------------------------------------------------------------------------------

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool,
                bool) {
  u32 et = element->type();
  Cell path_arg = path ? *path : none::value;
  if (et == type::integer) {
    if (!value) return series::pick(parent, element->as_int(), element);
    return series::poke(parent, element->as_int(), value, element);
  }
  if (et == type::word) raise_error(ErrorCategory::script, "invalid-path", path_arg, *element);
  if (!value)
    return select(parent, element, nullptr, false, false, false, false, nullptr, nullptr, false, false);
  Cell* found = find(parent, element, nullptr, false, false, false, false, nullptr, nullptr, false, false, false,
                     false);
  if (found->type() == type::none) raise_error(ErrorCategory::script, "bad-path-set", path_arg, *element);
  Cell at = *found;
  RootCell keep(at);
  series::poke(&at, 2, value, nullptr);
  return value;
}

// ---------------------------------------------------------------------------------------------
// sort
// ---------------------------------------------------------------------------------------------

namespace {

struct SortSpec {
  u32 unit;
  u32 shift;
  bool fold;
  bool reverse;
  bool all;        // compare whole records
  i32 size;        // characters per record
  i32 offset;      // the compared character inside a record
  bool bytes;      // a binary!: its values are integers and its records binaries
  const Cell* function = nullptr;
};

inline i32 sort_key(const std::byte* rec, const SortSpec& s, i32 i) {
  i32 c = read_unit(rec + (static_cast<u32>(i) << s.shift), s.unit);
  return s.fold ? fold_upper(c) : c;
}

i32 compare_records(const void* a, const void* b, std::uintptr_t context, u32) {
  const SortSpec& s = *reinterpret_cast<const SortSpec*>(context);
  auto* ra = static_cast<const std::byte*>(a);
  auto* rb = static_cast<const std::byte*>(b);
  i32 d = 0;
  if (s.all) {
    for (i32 i = 0; i < s.size && d == 0; ++i) d = sort_key(ra, s, i) - sort_key(rb, s, i);
  } else {
    d = sort_key(ra, s, s.offset) - sort_key(rb, s, s.offset);
  }
  return s.reverse ? -d : d;
}

// The characters of a record, read before anything allocates (an allocation may move the buffer
// the record lies in).
void read_record(const std::byte* rec, const SortSpec& s, std::vector<i32>& out) {
  out.clear();
  if (!s.all) {
    out.push_back(read_unit(rec + (static_cast<u32>(s.offset) << s.shift), s.unit));
    return;
  }
  for (i32 i = 0; i < s.size; ++i) out.push_back(read_unit(rec + (static_cast<u32>(i) << s.shift), s.unit));
}

// One record as a value for a comparison function: a char! (an integer! for a binary!), or a new
// string! (binary!) of the whole record.
void push_record(const std::vector<i32>& cps, const SortSpec& s) {
  Cell* c = stack::push_cell();
  if (s.bytes) {
    if (!s.all) {
      integer::make_at(c, cps[0]);
      return;
    }
    std::vector<u8> record(cps.begin(), cps.end());
    binary::make_at(c, s.size);
    binary::append_bytes(c, record.data(), s.size);
    return;
  }
  if (!s.all) {
    char_::box(c, cps[0]);
    return;
  }
  make_at(c, s.size);
  i32 bits = 0;
  for (i32 cp : cps) bits |= cp;
  append_code_points(c, cps.data(), static_cast<i32>(cps.size()), bits);
}

i32 call_compare(const void* a, const void* b, std::uintptr_t context, u32) {
  const SortSpec& s = *reinterpret_cast<const SortSpec*>(context);
  // The second candidate goes first (the first with /reverse): a function answering true when its
  // first argument comes first then sorts in that order.
  std::vector<i32> first, second;
  read_record(static_cast<const std::byte*>(s.reverse ? a : b), s, first);
  read_record(static_cast<const std::byte*>(s.reverse ? b : a), s, second);
  Cell* base = stack::top;
  push_record(first, s);
  push_record(second, s);
  if (!hooks::call_callback) not_done();
  Cell result = *hooks::call_callback(s.function, 2);
  stack::top = base;
  return sort_compare_result(&result);
}

}  // namespace

i32 sort_compare_result(const Cell* r) {
  switch (r->type()) {
    case type::logic: return r->w1 ? 1 : -1;
    case type::integer: {
      i32 n = r->as_int();
      return n == INT_MIN ? 1 : -n;
    }
    case type::float_: {
      double d = r->as_double();
      return d > 0 ? -1 : d < 0 ? 1 : 0;
    }
    case type::none: return -1;
    default: return 1;
  }
}

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare_arg, Cell* part, bool all, bool reverse,
           bool stable) {
  clip_head(series);
  Range r = range_of(series);
  i32 len = r.left();
  if (part) {
    if (part->type() == type::integer) len = part->as_int();
    else if (part->type() == series->type() && part->w2 == series->w2) len = head_index(part) - r.head;
    else actions::raise_invalid_refine_arg("part", part);
    if (len < 0) {
      if (r.head + len < 0) {
        set_head_index(series, 0);
        return series;
      }
      set_head_index(series, r.head + len);
      r.head += len;
      len = -len;
    }
    len = std::min(len, r.total - r.head);
  }
  if (len <= 0) return series;
  i32 size = 1;
  if (skip) {
    size = skip->type() == type::integer ? skip->as_int() : 0;
    if (size < 1 || len % size != 0 || len < size) actions::raise_invalid_refine_arg("skip", skip);
  } else if (all) {
    raise_error(ErrorCategory::script, "bad-refines");
  }
  SeriesBuffer* b = buffer_of(series);
  SortSpec s{};
  s.unit = b->unit();
  s.shift = unit_shift(s.unit);
  // Without /case both sides fold to upper case through the case tables, whatever the storage
  // width, as comparison does: the order never depends on the unit.
  s.fold = text_type_q(series->type()) && !case_;
  s.bytes = series->type() == type::binary;
  s.reverse = reverse;
  s.all = all && skip;
  s.size = size;
  if (compare_arg) {
    if (compare_arg->type() == type::integer) {
      if (!skip || all) raise_error(ErrorCategory::script, "bad-refines");
      i32 k = compare_arg->as_int();
      if (k < 1 || k > size) raise_error(ErrorCategory::script, "out-of-range", *compare_arg);
      s.offset = k - 1;
    } else if (compare_arg->type() == type::function) {
      s.function = compare_arg;
    } else {
      actions::raise_invalid_refine_arg("compare", compare_arg);
    }
  }
  bool owned = series::notify(series, "sort", nullptr, r.head, len);
  if (owned) {
    // The owner's handler may have shortened, widened or moved the series.
    b = buffer_of(series);
    s.unit = b->unit();
    s.shift = unit_shift(s.unit);
    len = std::min(len, std::max(total_length(series) - r.head, 0));
  }
  i32 records = len / size;
  u32 width = static_cast<u32>(size) << s.shift;
  u32 offset = static_cast<u32>(r.head) << s.shift;
  if (s.function) {
    Cell fn = *compare_arg;
    RootCell keep(fn);
    s.function = &fn;
    sorting::sort_series(node_of(series), offset, static_cast<u32>(records), width,
                         reinterpret_cast<std::uintptr_t>(&s), 0, call_compare, stable);
  } else {
    // A sort asked to be stable is stable, with or without /case.
    auto fn = stable ? sorting::merge_sort : sorting::quick_sort;
    fn(b->head_ptr() + offset, static_cast<u32>(records), width, reinterpret_cast<std::uintptr_t>(&s), 0,
       compare_records);
  }
  if (owned) series::notify(series, "sorted", nullptr, r.head, len);
  return series;
}

// ---------------------------------------------------------------------------------------------
// append, insert, change
// ---------------------------------------------------------------------------------------------

namespace {

// Appends the value (part characters of it, negative: all) dup times at the tail; answers the
// number of characters appended.
i32 append_at_tail(Cell* series, Cell* value_in, i32 part, i32 dup) {
  Cell value = *value_in;
  RootCell keep(value);
  u32 t = value.type();
  i32 before = total_length(series);
  i32 run;  // characters of one copy
  if (t == type::char_) {
    if (part == 0) return 0;
    append_char(series, char_::code_point(&value));
    run = 1;
  } else if (text_type_q(t) && t != type::tag) {
    i32 n = length(&value);
    if (part >= 0 && part < n) n = part;
    if (n == 0) return 0;
    checked_total(i64{n} * dup + before, 4);
    concatenate(series, &value, n, false, 0);
    run = n;
  } else if (t == type::tag) {
    i32 budget = part < 0 ? INT_MAX : part;
    if (budget == 0) return 0;
    append_char(series, '<');
    --budget;
    i32 n = std::min(budget, length(&value));
    concatenate(series, &value, n, false, 0);
    budget -= n;
    if (budget > 0) append_char(series, '>');
    run = total_length(series) - before;
  } else {
    run = form_at_tail(series, &value, part);
    if (run == 0) return 0;
  }
  if (dup > 1) {
    SeriesBuffer* b = buffer_of(series);
    u32 shift = unit_shift(b->unit());
    i64 more = checked_total(i64{run} << shift, dup - 1);
    b = ensure_room(b, more);
    std::byte* start = b->tail_ptr() - (static_cast<u32>(run) << shift);
    memory::replicate_bytes(start, run << shift, dup);
    b->tail += static_cast<u32>(more);
  }
  return total_length(series) - before;
}

// Replaces `replaced` characters at the head by the piece written dup times; answers the characters
// written.
i32 splice(Cell* series, Piece& p, i32 replaced, i32 dup) {
  match_units(series, p);
  SeriesBuffer* b = buffer_of(series);
  u32 unit = b->unit();
  u32 shift = unit_shift(unit);
  i64 written = checked_total(p.count, dup);
  i64 delta = (written - replaced) << shift;
  if (delta > 0) b = ensure_room(b, delta);
  i32 head = range_of(series).head;
  std::byte* at = b->head_ptr() + (static_cast<u32>(head) << shift);
  std::byte* rest = at + (static_cast<u32>(replaced) << shift);
  std::memmove(rest + delta, rest, static_cast<size_t>(b->tail_ptr() - rest));
  b->tail = static_cast<u32>(b->tail + delta);
  write_piece(series, head, p, dup);
  return static_cast<i32>(written);
}

}  // namespace

namespace {

// The characters a change will write (part: -1 for all), for the report to an owned series' owner
// before the change, as blocks give it; 0 for a series no one owns (nothing is reported).
i32 planned_count(Cell* series, Cell* value, i32 part, i32 dup) {
  if (!(buffer_of(series)->flags & series_flag::owned)) return 0;
  Cell* mark = stack::top;
  Piece p;
  RootCell keep(p.text);
  make_piece(series, value, part, p);
  stack::top = mark;
  return static_cast<i32>(std::min<i64>(i64{p.count} * std::max(dup, 0), INT_MAX));
}

}  // namespace

Cell* append(Cell* series, Cell* value, i32 part, bool, i32 dup, bool append_flag) {
  if (!append_flag) return insert(series, value, part, false, dup, false);
  bool owned = series::notify(series, "append", value, total_length(series), planned_count(series, value, part, dup));
  i32 n = append_at_tail(series, value, part, dup);
  if (n > 0) {
    if (owned) series::notify(series, "appended", value, total_length(series) - n, n);
    set_head_index(series, 0);
  }
  return series;
}

Cell* insert(Cell* series, Cell* value, i32 part, bool, i32 dup, bool append_flag) {
  if (append_flag) return append(series, value, part, false, dup, true);
  clip_head(series);
  bool owned = series::notify(series, "insert", value, head_index(series), planned_count(series, value, part, dup));
  clip_head(series);  // the owner's handler may have shortened it
  if (at_tail_q(series)) {
    append_at_tail(series, value, part, dup);
    set_head_index(series, total_length(series));
    if (owned) series::notify(series, "inserted", value, head_index(series), 0);
    return series;
  }
  Cell* mark = stack::top;
  Piece p;
  RootCell keep(p.text);
  make_piece(series, value, part, p);
  i32 n = p.count > 0 ? splice(series, p, 0, dup) : 0;
  stack::top = mark;
  i32 head = head_index(series);
  set_head_index(series, std::min(head + n, total_length(series)));
  if (owned) series::notify(series, "inserted", value, head, n);
  return series;
}

Cell* change(Cell* series, Cell* value, i32 part, bool, i32 dup) {
  clip_head(series);
  bool owned = series::notify(series, "change", value, head_index(series), planned_count(series, value, -1, dup));
  clip_head(series);  // the owner's handler may have shortened it
  if (at_tail_q(series)) {
    append_at_tail(series, value, -1, dup);
    set_head_index(series, total_length(series));
    if (owned) series::notify(series, "changed", value, head_index(series), 0);
    return series;
  }
  Cell* mark = stack::top;
  Piece p;
  RootCell keep(p.text);
  make_piece(series, value, -1, p);
  i32 left = range_of(series).left();
  i64 replaced = part >= 0 ? std::min<i64>(part, left) : std::min<i64>(i64{p.count} * dup, left);
  i32 n = splice(series, p, static_cast<i32>(replaced), dup);
  stack::top = mark;
  i32 head = head_index(series);
  set_head_index(series, std::min(head + n, total_length(series)));
  if (owned) series::notify(series, "changed", value, head, n);
  return series;
}

// ---------------------------------------------------------------------------------------------
// swap, take
// ---------------------------------------------------------------------------------------------

Cell* swap(Cell* s1, Cell* s2) {
  u32 t2 = s2->type();
  if (!text_type_q(t2) && t2 != type::binary) raise_error(ErrorCategory::script, "invalid-arg", *s2);
  if (at_tail_q(s1) || at_tail_q(s2)) return s1;
  bool o1 = series::notify(s1, "swap", s2, head_index(s1), 1);
  bool o2 = series::notify(s2, "swap", s1, head_index(s2), 1);
  i32 h1 = range_of(s1).head, h2 = range_of(s2).head;
  i32 c1 = char_at(s1, h1), c2 = char_at(s2, h2);
  // A binary! holds bytes: it takes the low byte and never widens.
  auto put = [](Cell* s, i32 at, i32 cp) {
    if (s->type() == type::binary) write_unit(buffer_of(s)->head_ptr() + at, 1, cp & 0xFF);
    else poke_char_at(buffer_of(s), at, cp);
  };
  put(s1, h1, c2);
  put(s2, h2, c1);
  if (o1) series::notify(s1, "swaped", s2, h1, 1);
  if (o2) series::notify(s2, "swaped", s1, h2, 1);
  return s1;
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
  series::take(series, part, deep, last);
  if (!part && series->type() != type::none) {
    SeriesBuffer* b = buffer_of(series);
    if (b->tail - b->head == b->unit()) {
      i32 c = read_unit(b->head_ptr(), b->unit());
      if (series->type() == type::binary) integer::box(series, c);
      else char_::box(series, c);
    }
  }
  return series;
}

// ---------------------------------------------------------------------------------------------
// trim
// ---------------------------------------------------------------------------------------------

namespace {

// W: whitespace at the ends of a text and in /lines.
bool space_w(i32 c) {
  return (c >= 1 && c <= 32) || c == 133 || c == 160 || c == 5760 || c == 6158 || (c >= 8192 && c <= 8202) ||
         c == 8232 || c == 8233 || c == 8239 || c == 8287 || c == 12288;
}
// B: blanks inside a line.
bool space_b(i32 c) {
  return c == 9 || c == 32 || c == 133 || c == 160 || c == 5760 || c == 6158 || (c >= 8192 && c <= 8202) ||
         c == 8232 || c == 8233 || c == 8239 || c == 8287 || c == 12288;
}

}  // namespace

Cell* trim(Cell* series, bool head_f, bool tail_f, bool auto_, bool lines, bool all, Cell* with) {
  if (auto_) not_done();
  clip_head(series);
  Range r = range_of(series);
  bool owned = series::notify(series, "trim", nullptr, r.head, r.left());
  // The set for /all and /with, taken before the buffer is read (it may be another string).
  std::vector<i32> set;
  if (with) {
    u32 wt = with->type();
    if (text_type_q(wt)) {
      Pattern p;
      build_pattern(series, with, false, p);
      set = std::move(p.cps);
    } else if (wt == type::binary) {
      for (std::byte c : bytes_from_head(with)) set.push_back(static_cast<u8>(c));
    } else if (wt == type::char_ || wt == type::integer) {
      set.push_back(with->as_int());
    } else {
      raise_error(ErrorCategory::script, "invalid-arg", *with);
    }
  } else if (all) {
    set = {9, 10, 13, 32};
  }
  SeriesBuffer* b = buffer_of(series);
  u32 unit = b->unit();
  u32 shift = unit_shift(unit);
  std::byte* base = b->head_ptr() + (static_cast<u32>(r.head) << shift);
  i32 n = r.left();
  auto get = [&](i32 i) { return read_unit(base + (static_cast<u32>(i) << shift), unit); };
  i32 w = 0;  // write position (characters from the head)
  auto put = [&](i32 c) { write_unit(base + (static_cast<u32>(w++) << shift), unit, c); };

  if (all || with) {
    for (i32 i = 0; i < n; ++i) {
      i32 c = get(i);
      if (std::find(set.begin(), set.end(), c) == set.end()) put(c);
    }
  } else if (lines) {
    i32 i = 0;
    while (i < n && space_w(get(i))) ++i;
    while (i < n) {
      i32 c = get(i);
      if (!space_w(c)) {
        put(c);
        ++i;
        continue;
      }
      while (i < n && space_w(get(i))) ++i;
      if (i < n) put(' ');
    }
  } else {
    bool only_tail = tail_f && !head_f;
    bool only_head = head_f && !tail_f;
    i32 start = 0, end = n;
    if (!only_tail)
      while (start < end && space_w(get(start))) ++start;
    bool dropped_lf = false;
    if (!only_head)
      while (end > start && space_w(get(end - 1))) {
        if (get(end - 1) == '\n') dropped_lf = true;
        --end;
      }
    if (!head_f && !tail_f) {
      // Line by line: blanks opening every line after the first, and blanks before every line
      // feed, go.
      bool line_start = false;
      for (i32 i = start; i < end;) {
        i32 c = get(i);
        if (space_b(c)) {
          i32 j = i;
          while (j < end && space_b(get(j))) ++j;
          bool before_lf = j < end && get(j) == '\n';
          if (!line_start && !before_lf)
            for (i32 k = i; k < j; ++k) put(get(k));
          i = j;
          continue;
        }
        put(c);
        line_start = c == '\n';
        ++i;
      }
    } else {
      for (i32 i = start; i < end; ++i) put(get(i));
    }
    if (dropped_lf && !tail_f) put('\n');
  }
  b->tail = b->head + (static_cast<u32>(r.head + w) << shift);
  if (owned) series::notify(series, "trimmed", nullptr, r.head, w);
  return series;
}

// ---------------------------------------------------------------------------------------------
// Set operations
// ---------------------------------------------------------------------------------------------

Cell* do_set_operation(Cell* a, const Cell* b_in, bool case_, const Cell* skip, i32 op) {
  i32 step = 1;
  if (skip) {
    step = skip->type() == type::integer ? skip->as_int() : 0;
    if (step < 1) actions::raise_invalid_refine_arg("skip", skip);
  }
  clip_head(a);
  Cell b = b_in ? *b_in : *a;
  RootCell keep_b(b);
  if (b_in) clip_head(&b);
  bool two = op != 8;
  bool both_passes = op == 9 || op == 12;  // union, difference
  i32 na = length(a), nb = two ? length(&b) : 0;
  Cell* mark = stack::top;
  Cell* out = stack::push_cell();
  make_at(out, na + (both_passes ? nb : 0));

  auto key = [&](i32 c) { return case_ ? c : fold_upper(c); };
  // Membership as has_char_q with the record step: the first characters of the other series'
  // records, and the first characters of the records kept so far.
  auto firsts = [&](const Cell* s) {
    std::unordered_set<i32> set;
    Range r = range_of(s);
    // 64-bit positions: a step near 2^31 would wrap.
    for (i64 i = r.head; i < r.total; i += step) set.insert(key(char_at(s, static_cast<i32>(i))));
    return set;
  };
  std::unordered_set<i32> kept;
  std::vector<i32> record;
  auto pass = [&](const Cell* from, const std::unordered_set<i32>* other, bool keep_if_in) {
    Range r = range_of(from);
    for (i64 i = r.head; i < r.total; i += step) {
      i32 first = key(char_at(from, static_cast<i32>(i)));
      if (other && (other->count(first) != 0) != keep_if_in) continue;
      if (!kept.insert(first).second) continue;
      record.clear();
      i32 max_cp = 0;
      for (i32 k = static_cast<i32>(i); k < std::min<i64>(i + step, r.total); ++k) {
        record.push_back(char_at(from, k));
        max_cp = std::max(max_cp, record.back());
      }
      append_code_points(out, record.data(), static_cast<i32>(record.size()), max_cp);
    }
  };
  switch (op) {
    case 8: pass(a, nullptr, true); break;  // unique
    case 9: {                                // union
      pass(a, nullptr, true);
      pass(&b, nullptr, true);
      break;
    }
    case 10: {  // intersect
      auto in_b = firsts(&b);
      pass(a, &in_b, true);
      break;
    }
    case 11: {  // exclude
      auto in_b = firsts(&b);
      pass(a, &in_b, false);
      break;
    }
    case 12: {  // difference
      auto in_b = firsts(&b);
      auto in_a = firsts(a);
      pass(a, &in_b, false);
      pass(&b, &in_a, false);
      break;
    }
    default: break;
  }
  a->w1 = 0;
  a->w2 = out->w2;
  stack::top = mark;
  return a;
}

// ---------------------------------------------------------------------------------------------
// Parse support
// ---------------------------------------------------------------------------------------------

bool tag_brackets_q(Cell* s, const Cell* tag) {
  i32 tl = length(const_cast<Cell*>(tag));
  if (length(s) < tl + 2) return false;
  i32 h = range_of(s).head;
  return char_at(s, h) == '<' && char_at(s, h + tl + 1) == '>';
}

bool match_at_head_q(Cell* s, const Cell* value, i32 op) {
  u32 t = value->type();
  if (t == type::string || t == type::file || t == type::url || t == type::email || t == type::ref)
    return compare_strings(s, value, op, true) == 0;
  if (t == type::char_) {
    if (at_tail_q(s)) return false;
    i32 c = char_at(s, range_of(s).head), v = char_::code_point(value);
    if (folds_q(op)) {
      c = fold_upper(c);
      v = fold_upper(v);
    }
    return c == v;
  }
  if (t == type::tag) {
    if (!tag_brackets_q(s, value)) return false;
    Cell inner = *s;
    set_head_index(&inner, range_of(s).head + 1);
    return compare_strings(&inner, value, op, true) == 0;
  }
  return false;
}

bool head_in_bitset_q(Cell* s, const Cell* bitset) {
  if (at_tail_q(s)) return false;
  return bitset_has(bitset, char_at(s, range_of(s).head));
}

// ---------------------------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------------------------

action::Entries kind_entries() {
  using action::inherit;
  return {
      .make = inherit,
      .reflect = inherit,
      .to = inherit,
      .form = inherit,
      .mold = inherit,
      .eval_path = inherit,
      .compare = inherit,
      .append = inherit,
      .at = inherit,
      .back = inherit,
      .change = inherit,
      .clear = inherit,
      .copy = inherit,
      .find = inherit,
      .head = inherit,
      .head_q = inherit,
      .index_q = inherit,
      .insert = inherit,
      .length_q = inherit,
      .move = inherit,
      .next = inherit,
      .pick = inherit,
      .poke = inherit,
      .put = inherit,
      .remove = inherit,
      .reverse = inherit,
      .select = inherit,
      .skip = inherit,
      .swap = inherit,
      .tail = inherit,
      .tail_q = inherit,
      .take = inherit,
      .modify = inherit,
  };
}

void init() {
  init_storage();
  using action::inherit;
  datatype::register_type(type::string, type::series, "string!",
                          {
                              .make = make,
                              .random = inherit,
                              .reflect = inherit,
                              .to = to,
                              .form = form,
                              .mold = mold,
                              .eval_path = eval_path,
                              .compare = compare,
                              .append = append,
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
                              .swap = swap,
                              .tail = inherit,
                              .tail_q = inherit,
                              .take = take,
                              .trim = trim,
                              .modify = inherit,
                          });
  // tag!, email! and ref! values are kept in the family's storage before their units register their
  // actions: what the collector marks and how they hash is the family's.
  for (u32 t : {type::string, type::tag, type::email, type::ref}) register_family_type(t);
  hashtable::set_hash_procedure(hashtable::lookup_key_type, hash);
  hashtable::set_key_equality(hashtable::lookup_key_type, lookup_key_equal);
}

}  // namespace kiv::string
