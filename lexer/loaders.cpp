// Token loaders: for every token class that stands for a value, the procedure that makes the value
// from the token's bytes on the token stack, or (load flag clear) only checks the token. Also the
// text-to-number readers that `to integer!` and `to float!` use.
//
// A loader gets the token start (after leading blanks) and the token end (the byte the automaton
// stopped at: the delimiter, not part of the token, unless noted) and sets the position for the next
// token. Every failure is the lexer's syntax error naming the type, so the user reads e.g. an invalid
// tuple! at the token. A value is pushed only once its text is known to be good.
#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/context.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "lexer/lexer_internal.h"
#include "runtime/float_text.h"
#include "runtime/unicode.h"

namespace kiv::lexer {

namespace {

bool digit_q(u8 c) { return c >= '0' && c <= '9'; }
i32 hex_value(u8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
u8 lower(u8 c) { return c >= 'A' && c <= 'Z' ? static_cast<u8>(c + 32) : c; }

// A fresh cell on the token stack holding the value (the new-line flag of the token kept).
void push_value(State* s, Cell value) {
  u32 index = push_token(s);
  Cell* c = token_at(index);
  value.header = (value.header & ~header::new_line) | (c->header & header::new_line);
  *c = value;
}

void push_float(State* s, u32 type_id, double d) {
  Cell c{type_id, 0, 0, 0};
  c.set_double(d);
  push_value(s, c);
}

// The syntax error for a value type that has no loader yet (its datatype is not registered, or
// its maker is not set).
[[noreturn]] void not_ready(State* s, const u8* start, const u8* end, u32 type_id) {
  syntax_error(s, start, end, static_cast<i32>(type_id));
}

// ---- Text ------------------------------------------------------------------------------------------

// The decoded characters of [p, end): UTF-8 (or bytes as they are for width 1), escapes after '^'
// when asked. Writes them in units of Unit into out (when not null). Answers the character count,
// -1 for an invalid character or escape, -2 when a character does not fit the unit.
template <u32 Unit>
i32 decode_text(const u8* p, const u8* end, bool escapes, std::byte* out) {
  constexpr i32 limit = Unit == 1 ? 0xFF : Unit == 2 ? 0xFFFF : unicode::max_code_point;
  i32 n = 0;
  while (p < end) {
    i32 cp;
    u8 b = *p;
    if (escapes && b == '^') {
      cp = decode_escape(p + 1, end, &p);
      if (cp < 0) return -1;
    } else if (b < 0x80 || Unit == 1) {
      cp = b;
      ++p;
    } else {
      const u8* next = unicode::decode_utf8_next(p, cp);
      if (cp < 0 || next > end) return -1;
      p = next;
    }
    if (cp > limit) return cp > unicode::max_code_point ? -1 : -2;
    if (out) string::write_unit(out + static_cast<std::ptrdiff_t>(n) * Unit, Unit, cp);
    ++n;
  }
  return n;
}

i32 decode_text(u32 unit, const u8* p, const u8* end, bool escapes, std::byte* out) {
  switch (unit) {
    case 1: return decode_text<1>(p, end, escapes, out);
    case 2: return decode_text<2>(p, end, escapes, out);
    default: return decode_text<4>(p, end, escapes, out);
  }
}

// The width the text needs: from the token flags, widened by ^(...) escapes of more than 2 (4) hex
// digits.
u32 text_width(const u8* start, const u8* end, u32 flags, bool escapes) {
  u32 width = width_of(flags);
  if (!escapes || !(flags & flag::caret) || width == 4) return width;
  for (const u8* p = start; p + 1 < end; ++p) {
    if (*p != '^') continue;
    if (p[1] != '(') {
      ++p;  // the escaped byte
      continue;
    }
    const u8* q = p + 2;
    i32 digits = 0;
    while (q < end && hex_value(*q) >= 0) ++q, ++digits;
    if (q < end && *q == ')') {
      if (digits > 4) return 4;
      if (digits > 2) width = 2;
    }
    p = q - 1;
  }
  return width;
}

// Makes the token cell a string of the type holding the code points.
void store_code_points(u32 index, const std::u32string& text, u32 type_id) {
  i32 max = 0;
  for (char32_t c : text) max = std::max(max, static_cast<i32>(c));
  u32 unit = string::unit_for(max);
  i32 n = static_cast<i32>(text.size());
  string::make_at_sized(token_at(index), n, static_cast<i32>(unit));
  Cell* c = token_at(index);
  SeriesBuffer* b = string::buffer_of(c);
  for (i32 i = 0; i < n; ++i) string::write_unit(b->tail_ptr() + i * unit, unit, static_cast<i32>(text[i]));
  b->tail += static_cast<u32>(n) * unit;
  cell::set_type(c, type_id);
}

// Percent-decoding (%XX): an escaped whole UTF-8 sequence gives one code point; an escape that is
// not one stays as text. The rest of the text is UTF-8.
bool percent_decode(const u8* p, const u8* end, std::u32string& out) {
  auto escaped_byte = [&](const u8* q) -> i32 {
    if (end - q < 3 || *q != '%') return -1;
    i32 hi = hex_value(q[1]), lo = hex_value(q[2]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
  };
  while (p < end) {
    i32 b = escaped_byte(p);
    if (b >= 0) {
      u8 seq[4] = {static_cast<u8>(b), 0, 0, 0};
      i32 len = b < 0x80 ? 1 : unicode::utf8_sequence_length(static_cast<u8>(b));
      bool whole = len >= 1;
      for (i32 i = 1; whole && i < len; ++i) {
        i32 next = escaped_byte(p + 3 * i);
        if (next < 0x80 || next > 0xBF) whole = false;
        else seq[i] = static_cast<u8>(next);
      }
      if (whole) {
        u8 buffer[5] = {seq[0], seq[1], seq[2], seq[3], 0};
        i32 cp;
        const u8* after = unicode::decode_utf8_next(buffer, cp);
        if (cp >= 0 && after == buffer + len) {
          out.push_back(static_cast<char32_t>(cp));
          p += 3 * len;
          continue;
        }
      }
      out.push_back('%');
      ++p;
      continue;
    }
    if (*p < 0x80) {
      out.push_back(*p++);
      continue;
    }
    i32 cp;
    const u8* next = unicode::decode_utf8_next(p, cp);
    if (cp < 0 || next > end) return false;
    out.push_back(static_cast<char32_t>(cp));
    p = next;
  }
  return true;
}

}  // namespace

i32 decode_escape(const u8* p, const u8* end, const u8** next) {
  if (p >= end) return -1;
  u8 c = *p;
  if (c == '(') {
    const u8* q = p + 1;
    const u8* close = q;
    while (close < end && *close != ')' && close - q < 7) ++close;
    if (close >= end || *close != ')' || close == q) return -1;
    *next = close + 1;
    size_t n = static_cast<size_t>(close - q);
    static constexpr struct {
      const char* name;
      i32 cp;
    } names[] = {{"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};
    for (const auto& e : names) {
      if (std::strlen(e.name) != n) continue;
      bool same = true;
      for (size_t i = 0; i < n && same; ++i) same = lower(q[i]) == static_cast<u8>(e.name[i]);
      if (same) return e.cp;
    }
    if (n > 6) return -1;
    i32 v = 0;
    for (size_t i = 0; i < n; ++i) {
      i32 d = hex_value(q[i]);
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    return v > unicode::max_code_point ? -1 : v;
  }
  *next = p + 1;
  switch (c) {
    case '"': return '"';
    case '-': return '\t';
    case '/': return '\n';
    case '^': return '^';
    case '{': return '{';
    case '}': return '}';
    case '~': return 127;
    case '@': return 0;
    default: break;
  }
  if (c >= 'a' && c <= 'z') return c - 'a' + 1;
  if ((c >= 'A' && c <= 'Z') || c == '[' || c == '\\' || c == ']' || c == '_') return c - 64;
  if (c < 0x80) return c;
  i32 cp;
  const u8* after = unicode::decode_utf8_next(p, cp);
  if (cp < 0 || after > end) return -1;
  *next = after;
  return cp;
}

bool check_text(const u8* start, const u8* end, u32 flags, bool escapes) {
  u32 width = text_width(start, end, flags, escapes);
  i32 n = decode_text(width, start, end, escapes, nullptr);
  if (n == -2) n = decode_text(4, start, end, escapes, nullptr);
  return n >= 0;
}

bool load_text(State*, u32 index, const u8* start, const u8* end, u32 flags, bool escapes, u32 type_id) {
  u32 unit = text_width(start, end, flags, escapes);
  i32 capacity = static_cast<i32>(end - start);
  for (;;) {
    string::make_at_sized(token_at(index), capacity, static_cast<i32>(unit));
    Cell* c = token_at(index);
    SeriesBuffer* b = string::buffer_of(c);
    i32 n;
    if (unit == 1 && !(escapes && (flags & flag::caret))) {
      // Bytes as they are: ASCII, and a stray continuation byte becomes the character of its value.
      n = capacity;
      if (n) std::memcpy(b->tail_ptr(), start, static_cast<size_t>(n));
    } else {
      n = decode_text(unit, start, end, escapes, b->tail_ptr());
    }
    if (n == -1) return false;
    if (n == -2) {  // a character the flags did not announce: the widest unit
      unit = 4;
      continue;
    }
    b->tail += static_cast<u32>(n) * unit;
    if (type_id != type::string) cell::set_type(c, type_id);
    return true;
  }
}

// ---- Words -----------------------------------------------------------------------------------------

namespace {

// A name that holds bytes above 0x7F must be well-formed UTF-8.
bool name_ok(const u8* start, const u8* end) {
  for (const u8* p = start; p < end; ++p) {
    if (*p < 0x80) continue;
    while (p < end) {
      i32 cp;
      const u8* next = unicode::decode_utf8_next(p, cp);
      if (cp < 0 || next > end) return false;
      p = next;
    }
    return true;
  }
  return true;
}

}  // namespace

namespace {

// Recent words: name bytes to symbol and global-context index, so that a name met again costs a hash
// and a compare instead of two table lookups. Symbols are never removed and the global context only
// grows, so an entry stays true for the life of the symbol table and global context it was filled
// from; the cache is dropped when a scan starts on others (a new global context node, or fewer
// symbols or global words than before: a fresh boot).
struct WordEntry {
  i32 symbol = 0;
  i32 index = -1;
  u32 length = 0;
  u8 name[20] = {};
};
constexpr u32 word_cache_size = 4096;
WordEntry word_cache[word_cache_size];
u32 cache_context = 0;
i32 cache_symbols = 0;
i32 cache_words = 0;

u32 name_hash(const u8* p, u32 n) {
  u32 h = 2166136261u;
  for (u32 i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h ^ (h >> 15);
}

}  // namespace

void check_word_cache() {
  if (!words::root_ready_q()) return;
  Ref<Node> g = context::global();
  i32 symbols = symbol::count();
  i32 words = context::word_count(g);
  if (g.offset() != cache_context || symbols < cache_symbols || words < cache_words) {
    for (WordEntry& e : word_cache) e = WordEntry{};
    cache_context = g.offset();
  }
  cache_symbols = symbols;
  cache_words = words;
}

void load_word(State* s, const u8* start, const u8* end, u32 kind, u32 flags) {
  if ((flags & (flag::wide2 | flag::wide4 | flag::continuation)) && !name_ok(start, end))
    syntax_error(s, s->token_start, end, static_cast<i32>(kind));
  u32 length = static_cast<u32>(end - start);
  WordEntry* entry = nullptr;
  if (kind != type::issue && length > 0 && length <= sizeof(WordEntry::name)) {
    entry = &word_cache[name_hash(start, length) & (word_cache_size - 1)];
    if (entry->length == length && std::memcmp(entry->name, start, length) == 0) {
      u32 index = push_token(s);
      Cell* c = token_at(index);
      *c = Cell{kind | (c->header & header::new_line), context::global().offset(), static_cast<u32>(entry->symbol),
                static_cast<u32>(entry->index)};
      return;
    }
  }
  i32 sym = symbol::make_from_buffer(start, static_cast<i32>(length));
  u32 index = push_token(s);
  Cell* c = token_at(index);
  if (kind == type::issue) {
    u32 line_flag = c->header & header::new_line;
    word::init_at(c, type::issue, context::global(), sym, -1);
    c->header |= line_flag;
    return;
  }
  word::make_at(sym, c);  // the cell does not move: the token stack grows only in push_token
  cell::set_type(c, kind);
  if (entry) {
    i32 slot = static_cast<i32>(c->w3);
    if (slot >= 0) {
      entry->symbol = sym;
      entry->index = slot;
      entry->length = length;
      std::memcpy(entry->name, start, length);
    }
  }
}

u32 word_kind(State* s, const u8* start, const u8* end, u32 flags) {
  u32 kind = type::word;
  if (flags & flag::colon) {
    bool lead = *start == ':';
    bool trail = end - start > 1 && end[-1] == ':';
    if (lead && !trail) {
      kind = type::get_word;
    } else if (trail && !lead) {
      kind = type::set_word;
    } else {
      // A colon after a path element makes the path a set-path!; anything else is no word.
      bool path_set = s->entry_state == 59 && !lead && end < s->input_end && *end == ':' && path_end_q(s, end + 1);
      if (!path_set) syntax_error(s, start, end, type::word);
    }
  }
  if (*start == '\'') {
    if (kind == type::set_word) syntax_error(s, start, end, type::lit_word);
    kind = type::lit_word;
  }
  return kind;
}

void scan_word(State* s, const u8* start, const u8* end, u32 flags, bool) {
  if (flags & (flag::wide2 | flag::wide4)) {
    // A blank of Unicode ends the word.
    for (const u8* p = start; p < end;) {
      i32 cp;
      const u8* next = unicode::decode_utf8_next(p, cp);
      if (unicode_blank_q(cp)) {
        end = p;
        s->token_end = s->pos = p;
        flags = 0;
        for (const u8* q = start; q < end; ++q) flags |= char_class[*q];
        break;
      }
      p = next;
    }
  }
  s->token_type = static_cast<i32>(word_kind(s, start, end, flags));
}

void scan_issue(State* s, const u8* start, const u8* end, u32, bool) {
  if (end - start < 2 || *start != '#') syntax_error(s, start, end, type::issue);
  s->token_type = type::issue;
}

namespace {

// Word kinds (class 14, and issue! class 15): the kind was settled by the scanner.
void load_word_token(State* s, const u8* start, const u8* end, u32, bool load) {
  u32 kind = s->type_override > 0 ? static_cast<u32>(s->type_override) : static_cast<u32>(s->token_type);
  s->pos = end;
  switch (kind) {
    case type::get_word:
    case type::lit_word:
    case type::refinement:
    case type::issue:
      ++start;
      break;
    case type::set_word: --end; break;
    default: break;
  }
  // A sigil alone names nothing (a Unicode blank right after it ends the token there, as a space
  // does).
  if (start >= end) syntax_error(s, s->token_start, s->token_end, static_cast<i32>(kind));
  if (load) load_word(s, start, end, kind, s->token_flags);
  else if (!name_ok(start, end)) syntax_error(s, s->token_start, s->token_end, static_cast<i32>(kind));
}

void load_refinement(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  i64 n = end - start;
  u32 kind = type::refinement;
  if (n == 1 && *start == '/') {
    kind = type::word;
  } else if (n == 2 && (start[0] == '\'' || start[0] == ':' || start[1] == ':')) {
    kind = start[0] == '\'' ? type::lit_word : start[0] == ':' ? type::get_word : type::set_word;
  } else if (*start != '/') {
    syntax_error(s, start, end, type::refinement);
  }
  s->token_type = static_cast<i32>(kind);
  if (kind == type::word) {
    s->pos = end;
    if (load) load_word(s, start, end, kind, flags);
    return;
  }
  load_word_token(s, start, end, flags, load);
}

// ---- Numbers ---------------------------------------------------------------------------------------

enum class IntegerText { ok, no_digit, doubled_quote, as_float };

// [sign] digits with ' separators. At most 10 digits; a value outside 32 bits reads as a float.
IntegerText integer_text(const u8* p, const u8* end, i32& out) {
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  if (end - p == 1 && digit_q(*p)) {
    out = negative ? -(*p - '0') : *p - '0';
    return IntegerText::ok;
  }
  i64 value = 0;
  i32 digits = 0;
  for (; p < end; ++p) {
    if (*p == '\'') {
      if (p + 1 < end && p[1] == '\'') return IntegerText::doubled_quote;
      continue;
    }
    if (!digit_q(*p)) return IntegerText::no_digit;
    if (++digits > 10) return IntegerText::as_float;
    value = value * 10 + (*p - '0');
  }
  if (!digits) return IntegerText::no_digit;
  if (negative) value = -value;
  if (value > integer::max_value || value < integer::min_value) return IntegerText::as_float;
  out = static_cast<i32>(value);
  return IntegerText::ok;
}

// The decimal text [start, end) in the float literal syntax, parsed with the power-of-ten
// adjustment. Answers false on a malformed text.
bool parse_float(const u8* start, const u8* end, int adjust, double& out) {
  return float_text::parse_literal(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(end), adjust,
                                   out);
}

void load_float(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end;
  s->token_type = type::float_;
  double d;
  if (!parse_float(start, end, 0, d)) syntax_error(s, start, end, type::float_);
  if (load) push_float(s, type::float_, d);
}

void load_integer(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  s->pos = end;
  i32 v = 0;
  switch (integer_text(start, end, v)) {
    case IntegerText::ok:
      if (load) push_value(s, Cell{type::integer, 0, static_cast<u32>(v), 0});
      return;
    case IntegerText::no_digit: syntax_error(s, start, end, type::pair);
    case IntegerText::doubled_quote: syntax_error(s, start, end, type::integer);
    case IntegerText::as_float: load_float(s, start, end, flags, load); return;
  }
}

// [sign] 1.#INF or 1.#NaN.
void load_special_float(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end;
  const u8* p = start;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  double d = 0;
  if (end - p == 6 && p[0] == '1' && p[1] == '.' && p[2] == '#') {
    u8 a = lower(p[3]), b = lower(p[4]), c = lower(p[5]);
    if (a == 'n' && b == 'a' && c == 'n') d = float_::quiet_nan;
    else if (a == 'i' && b == 'n' && c == 'f') d = negative ? float_::minus_infinity : float_::infinity;
    else syntax_error(s, start, end, type::float_);
  } else {
    syntax_error(s, start, end, type::float_);
  }
  if (load) push_float(s, type::float_, d);
}

void load_percent(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end + 1;
  double d;
  if (!parse_float(start, end, -2, d)) syntax_error(s, start, end + 1, type::float_);
  if (!load) return;
  // percent! shares float!'s cell and the float unit makes it already.
  if (!type_ready(type::percent) && !type_ready(type::float_)) not_ready(s, start, end + 1, type::percent);
  push_float(s, type::percent, d);
}

void load_hex(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end;
  const u8* digits_end = end - 1;  // the trailing h
  i64 n = digits_end - start;
  bool letter = *start >= 'A' && *start <= 'F';
  if (letter && n < 2) syntax_error(s, start, end, type::word);
  u32 v = 0;
  for (const u8* p = start; p < digits_end; ++p) {
    i32 d = hex_value(*p);
    if (d < 0 || n < 2 || n > 8) syntax_error(s, start, end, type::integer);
    v = v << 4 | static_cast<u32>(d);
  }
  if (n < 2 || n > 8) syntax_error(s, start, end, type::integer);
  if (load) push_value(s, Cell{type::integer, 0, v, 0});
}

void load_tuple(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end;
  u8 bytes[12] = {};
  i32 count = 0;
  i32 value = 0;
  bool digits = false;
  for (const u8* p = start; p <= end; ++p) {
    if (p == end || *p == '.') {
      if (!digits && p != end) syntax_error(s, start, end, type::tuple);  // two points in a row
      if (count == 12) syntax_error(s, start, end, type::tuple);
      bytes[count++] = static_cast<u8>(value);
      value = 0;
      digits = false;
      continue;
    }
    if (!digit_q(*p)) syntax_error(s, start, end, type::tuple);
    value = value * 10 + (*p - '0');
    digits = true;
    if (value > 255) syntax_error(s, start, end, type::tuple);
  }
  if (count < 3) syntax_error(s, start, end, type::tuple);
  if (!load) return;
  if (!type_ready(type::tuple)) not_ready(s, start, end, type::tuple);
  Cell c{tuple::header_for(count), 0, 0, 0};
  std::memcpy(&c.w1, bytes, 12);
  push_value(s, c);
}

void load_pair(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end;
  const u8* x = start;
  while (x < end && *x != 'x' && *x != 'X') {
    if (*x == '.') syntax_error(s, start, end, type::pair);
    ++x;
  }
  for (const u8* p = x; p < end; ++p)
    if (*p == '.') syntax_error(s, start, end, type::pair);
  i32 a = 0, b = 0;
  if (x >= end || integer_text(start, x, a) != IntegerText::ok || integer_text(x + 1, end, b) != IntegerText::ok)
    syntax_error(s, start, end, type::pair);
  s->token_type = type::pair;
  if (!load) return;
  if (!type_ready(type::pair)) not_ready(s, start, end, type::pair);
  push_value(s, Cell{type::pair, 0, static_cast<u32>(a), static_cast<u32>(b)});
}

// [-|+] hours : minutes [: seconds | . seconds-fraction]
void load_time(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  s->pos = end;
  auto bad = [&]() { syntax_error(s, start, end, type::time); };
  const u8* p = start;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  auto number = [&](i64 limit, i64& out) {
    out = 0;
    bool any = false;
    for (; p < end && (digit_q(*p) || *p == '\''); ++p) {
      if (*p == '\'') continue;
      out = out * 10 + (*p - '0');
      any = true;
      if (out > limit) bad();
    }
    if (!any) bad();
  };
  i64 hours, minutes;
  const i64 hour_limit = negative ? i64{2147483648} : i64{2147483647};
  number(hour_limit, hours);
  if (p >= end || *p != ':') bad();
  ++p;
  const u8* minutes_start = p;
  number(i64{2147483647}, minutes);
  double seconds = 0;
  if (p < end) {
    if (p + 1 == end && *p == ':') bad();
    if ((*p != '.' && *p != ',' && *p != ':') || (flags & flag::exponent)) bad();
    const u8* from = *p == ':' ? p + 1 : minutes_start;
    if (*p != ':') {
      // h:m.f reads as minutes and seconds.
      minutes = hours;
      hours = 0;
    }
    if (!parse_float(from, end, 0, seconds) || seconds < 0) bad();
  }
  double total = static_cast<double>(hours) * 3600 + static_cast<double>(minutes) * 60 + seconds;
  // Minutes and seconds carry into the hours: the sum must still mold as a time that loads.
  if (total >= static_cast<double>(hour_limit + 1) * 3600) bad();
  if (negative) total = -total;
  if (load) push_float(s, type::time, total);
}

void load_char(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end + 1;
  auto bad = [&]() { syntax_error(s, start, end + 1, type::char_); };
  if (end - start < 3 || start[0] != '#' || start[1] != '"' || end >= s->input_end || *end != '"') bad();
  const u8* p = start + 2;
  i32 cp;
  const u8* next;
  if (*p == '^') {
    if (p + 1 >= end) bad();
    cp = decode_escape(p + 1, end, &next);
  } else if (*p < 0x80) {
    cp = *p;
    next = p + 1;
  } else {
    next = unicode::decode_utf8_next(p, cp);
  }
  if (cp < 0 || cp > unicode::max_code_point || next != end) bad();
  if (load) push_value(s, Cell{type::char_, 0, static_cast<u32>(cp), 0});
}

// A token whose text is loaded as a string-family value: raw (no ^ escapes) or escaped,
// percent-decoded when asked. Answers false when the text is invalid.
void load_as(State* s, const u8* start, const u8* end, u32 flags, bool escapes, bool percent, u32 type_id,
             const u8* error_start, const u8* error_end, bool load) {
  s->type_override = static_cast<i32>(type_id);
  if (percent) {
    std::u32string text;
    if (!percent_decode(start, end, text)) syntax_error(s, error_start, error_end, static_cast<i32>(type_id));
    if (!load) return;
    if (!type_ready(type_id)) not_ready(s, error_start, error_end, type_id);
    u32 index = push_token(s);
    store_code_points(index, text, type_id);
    return;
  }
  if (!load) {
    if (!check_text(start, end, flags, escapes)) syntax_error(s, error_start, error_end, static_cast<i32>(type_id));
    return;
  }
  if (!type_ready(type_id)) not_ready(s, error_start, error_end, type_id);
  u32 index = push_token(s);
  if (!load_text(s, index, start, end, flags, escapes, type_id)) {
    s->top = index;
    syntax_error(s, error_start, error_end, static_cast<i32>(type_id));
  }
}

void load_string(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  s->pos = end + 1;
  load_as(s, start + 1, end, flags, true, false, type::string, start, end + 1, load);
  s->type_override = -1;
}

void load_file(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  if (end - start >= 2 && start[1] == '"') {
    if (end >= s->input_end || *end != '"') syntax_error(s, start, end, type::file);
    s->pos = end + 1;
    load_as(s, start + 2, end, flags, true, false, type::file, start, end + 1, load);
    return;
  }
  s->pos = end;
  load_as(s, start + 1, end, flags, false, true, type::file, start, end, load);
}

void load_url(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  s->pos = end;
  if (*start == ':') syntax_error(s, start, end, type::get_word);
  if (*start == '\'') syntax_error(s, start, end, type::lit_word);
  load_as(s, start, end, flags, false, (flags & flag::percent) != 0, type::url, start, end, load);
}

void load_email(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  s->pos = end;
  load_as(s, start, end, flags, false, false, type::email, start, end, load);
}

void load_tag(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  s->pos = end + 1;
  if (*start != '<') syntax_error(s, start, end + 1, type::tag);
  load_as(s, start + 1, end, flags, false, false, type::tag, start, end + 1, load);
}

void load_ref(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  s->pos = end;
  load_as(s, start + 1, end, flags, false, false, type::ref, start, end, load);
}

// n %, {, the text, }, n %. The automaton ends a raw string after its first } and % run: with fewer %
// than the opening fence, the text goes on to the first } followed by n %.
void load_raw_string(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  auto bad = [&](const u8* to) { syntax_error(s, start, to, type::string); };
  const u8* open = start;
  while (open < end && *open == '%') ++open;
  i64 fence = open - start;
  if (open >= end || *open != '{') bad(end);
  const u8* close = end;
  while (close > open && close[-1] == '%') --close;
  i64 closing = end - close;
  if (close <= open || close[-1] != '}' || closing > fence) bad(end);
  const u8* text_end = close - 1;
  const u8* after = end;
  if (closing < fence) {
    const u8* q = close;
    for (;; ++q) {
      if (s->input_end - q < fence + 1) bad(s->input_end);
      if (*q == '}' && std::memcmp(q + 1, start, static_cast<size_t>(fence)) == 0) break;
    }
    for (const u8* p = end; p < q; ++p) {
      flags |= char_class[*p];
      s->line += *p == '\n';
    }
    text_end = q;
    after = q + 1 + fence;
  }
  s->pos = after;
  s->token_end = after;
  if (!load) {
    fire_event(s, event::open, type::string, nullptr, start, start);
    if (!check_text(open + 1, text_end, flags, false)) bad(after);
    fire_event(s, event::close, type::string, nullptr, start, after);
    return;
  }
  u32 index = push_token(s);
  if (!load_text(s, index, open + 1, text_end, flags, false, type::string)) {
    s->top = index;
    bad(after);
  }
}

// base#{...}: 16 (the default), 64 or 2.
void load_binary(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end + 1;
  auto bad = [&]() { syntax_error(s, start, end + 1, type::binary); };
  const u8* hash = start;
  while (hash < end && *hash != '#') ++hash;
  if (hash >= end || hash[1] != '{') bad();
  i32 base = 16;
  if (hash > start) {
    base = 0;
    for (const u8* p = start; p < hash; ++p) {
      if (!digit_q(*p) || base > 100) bad();
      base = base * 10 + (*p - '0');
    }
  }
  const u8* p = hash + 2;
  std::string bytes;
  auto blank = [](u8 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  auto skip_comment = [&]() {
    while (p < end && *p != '\n') ++p;
  };
  if (base == 16) {
    i32 half = -1;
    for (; p < end; ++p) {
      if (blank(*p)) continue;
      if (*p == ';') {
        skip_comment();
        if (p >= end) break;
        continue;
      }
      i32 d = hex_value(*p);
      if (d < 0) bad();
      if (half < 0) {
        half = d;
      } else {
        bytes.push_back(static_cast<char>(half * 16 + d));
        half = -1;
      }
    }
    if (half >= 0) bad();
  } else if (base == 64) {
    u32 group = 0;
    i32 n = 0;
    bool padded = false;
    for (; p < end; ++p) {
      u8 c = *p;
      if (blank(c)) continue;
      if (c == ';') {
        skip_comment();
        if (p >= end) break;
        continue;
      }
      if (c == '=') {
        if (!padded) {
          if (n == 2) {
            bytes.push_back(static_cast<char>(group >> 4));
          } else if (n == 3) {
            bytes.push_back(static_cast<char>(group >> 10));
            bytes.push_back(static_cast<char>(group >> 2));
          } else {
            bad();
          }
          padded = true;
          n = 0;
        }
        continue;
      }
      if (padded) bad();
      i32 v = c >= 'A' && c <= 'Z' ? c - 'A'
              : c >= 'a' && c <= 'z' ? c - 'a' + 26
              : c >= '0' && c <= '9' ? c - '0' + 52
              : c == '+' ? 62
              : c == '/' ? 63 : -1;
      if (v < 0) bad();
      group = group << 6 | static_cast<u32>(v);
      if (++n == 4) {
        bytes.push_back(static_cast<char>(group >> 16));
        bytes.push_back(static_cast<char>(group >> 8));
        bytes.push_back(static_cast<char>(group));
        group = 0;
        n = 0;
      }
    }
    if (n) bad();
  } else if (base == 2) {
    u32 byte = 0;
    i32 n = 0;
    for (; p < end; ++p) {
      u8 c = *p;
      if (blank(c)) continue;
      if (c == ';') {
        skip_comment();
        if (p >= end) break;
        continue;
      }
      if (c != '0' && c != '1') bad();
      byte = byte << 1 | static_cast<u32>(c - '0');
      if (++n == 8) {
        bytes.push_back(static_cast<char>(byte));
        byte = 0;
        n = 0;
      }
    }
    if (n) bad();
  } else {
    bad();
  }
  if (!load) return;
  if (!type_ready(type::binary) || !datatype::makers::binary) not_ready(s, start, end + 1, type::binary);
  u32 index = push_token(s);
  u32 line_flag = token_at(index)->header & header::new_line;
  if (!datatype::makers::binary(token_at(index), reinterpret_cast<const u8*>(bytes.data()), static_cast<i32>(bytes.size()))) {
    s->top = index;
    bad();
  }
  token_at(index)->header |= line_flag;
}

// (x, y) or (x, y, z): the token runs from the ( before start to the ) at end.
void load_point(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* open = start - 1;
  s->pos = end + 1;
  u32 scope = current_scope(s);
  s->entry_state = scope >= type::path && scope <= type::get_path ? 59 : 0;
  s->lines_crossed = s->point_lines;
  auto bad = [&](u32 t) { syntax_error(s, open, end + 1, static_cast<i32>(t)); };
  const u8* p = start;
  float coords[3] = {0, 0, 0};
  i32 count = 0;
  for (;;) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (p >= end || *p == ',' || *p == ')') bad(type::point2D);
    const u8* q = p;
    bool special = false;
    while (q < end && *q != ',' && *q != ')' && *q != ' ' && *q != '\t') special |= *q++ == '#';
    double d = 0;
    if (special) {
      const u8* r = p;
      bool negative = false;
      if (*r == '-' || *r == '+') negative = *r++ == '-';
      if (q - r != 6 || r[0] != '1' || r[1] != '.' || r[2] != '#') bad(type::float_);
      u8 a = lower(r[3]), b = lower(r[4]), c = lower(r[5]);
      if (a == 'n' && b == 'a' && c == 'n') d = float_::quiet_nan;
      else if (a == 'i' && b == 'n' && c == 'f') d = negative ? float_::minus_infinity : float_::infinity;
      else bad(type::float_);
    } else if (!parse_float(p, q, 0, d)) {
      bad(type::float_);
    }
    coords[count++] = point::to_float32(d);
    p = q;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (count == 1) {
      if (p >= end || *p != ',') bad(type::point2D);
      ++p;
      continue;
    }
    if (count == 2) {
      if (p < end && *p == ',') {
        ++p;
        continue;
      }
      if (p != end) bad(type::point2D);
      break;
    }
    if (p != end) bad(type::point3D);
    break;
  }
  u32 t = count == 3 ? type::point3D : type::point2D;
  s->token_type = static_cast<i32>(t);
  if (!load) return;
  if (!type_ready(t) || !datatype::makers::point) not_ready(s, open, end + 1, t);
  u32 index = push_token(s);
  u32 line_flag = token_at(index)->header & header::new_line;
  if (!datatype::makers::point(token_at(index), t, coords[0], coords[1], coords[2])) {
    s->top = index;
    bad(t);
  }
  token_at(index)->header |= line_flag;
}

// date! and money! are read by their own units through the makers; until those exist a scan takes
// the automaton's word for the token and a load is the syntax error of the type.
void load_by_maker(State* s, const u8* start, const u8* end, bool load, u32 t,
                   bool (*maker)(Cell*, const u8*, const u8*, bool)) {
  s->pos = end;
  if (!load) {
    Cell unused{type::none, 0, 0, 0};
    if (maker && !maker(&unused, start, end, false)) syntax_error(s, start, end, static_cast<i32>(t));
    return;
  }
  if (!type_ready(t) || !maker) not_ready(s, start, end, t);
  u32 index = push_token(s);
  u32 line_flag = token_at(index)->header & header::new_line;
  if (!maker(token_at(index), start, end, true)) {
    s->top = index;
    syntax_error(s, start, end, static_cast<i32>(t));
  }
  token_at(index)->header |= line_flag;
}

void load_date(State* s, const u8* start, const u8* end, u32, bool load) {
  load_by_maker(s, start, end, load, type::date, datatype::makers::date);
}

void load_money(State* s, const u8* start, const u8* end, u32, bool load) {
  load_by_maker(s, start, end, load, type::money, datatype::makers::money);
}

void scan_quoted_impl(State* s, const u8* start, const u8* end, u32 flags) {
  s->pos = end + 1;
  i32 t = s->type_override > 0 ? s->type_override : static_cast<i32>(type::string);
  if (!check_text(start + 1, end, flags, true)) syntax_error(s, start, end + 1, t);
}

}  // namespace

void scan_quoted(State* s, const u8* start, const u8* end, u32 flags, bool) { scan_quoted_impl(s, start, end, flags); }

const std::array<Procedure, token_class_count> loaders = [] {
  std::array<Procedure, token_class_count> t{};
  t[tok::string] = load_string;
  t[tok::word] = load_word_token;
  t[tok::issue] = load_word_token;
  t[tok::integer] = load_integer;
  t[tok::refinement] = load_refinement;
  t[tok::char_] = load_char;
  t[tok::file] = load_file;
  t[tok::binary] = load_binary;
  t[tok::percent] = load_percent;
  t[tok::float_] = load_float;
  t[tok::special_float] = load_special_float;
  t[tok::tuple] = load_tuple;
  t[tok::date] = load_date;
  t[tok::pair] = load_pair;
  t[tok::point] = load_point;
  t[tok::time] = load_time;
  t[tok::money] = load_money;
  t[tok::tag] = load_tag;
  t[tok::url] = load_url;
  t[tok::email] = load_email;
  t[tok::hex] = load_hex;
  t[tok::raw_string] = load_raw_string;
  t[tok::ref] = load_ref;
  return t;
}();

}  // namespace kiv::lexer
