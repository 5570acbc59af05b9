// binary! values and the base encodings of bytes.
#include "datatypes/binary.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "datatypes/char.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kiv::binary {

namespace {

// The largest data area a binary grows to: what an i32 size can say, rounded to 16 bytes.
constexpr i64 max_bytes = 0x7FFFFFF0;

[[noreturn]] void no_memory() { raise_error(ErrorCategory::internal, "no-memory"); }
[[noreturn]] void not_done() { raise_error(ErrorCategory::internal, "not-done"); }
[[noreturn]] void invalid_arg(const Cell& v) { raise_error(ErrorCategory::script, "invalid-arg", v); }
[[noreturn]] void bad_to_arg(const Cell& v) {
  Cell kind;
  datatype::make_at(&kind, type::binary);
  raise_error(ErrorCategory::script, "bad-to-arg", kind, v);
}

struct Span {
  const u8* data;
  i32 head;   // head clipped to [0, total]
  i32 total;  // bytes from the buffer's start to the tail
  i32 size() const { return total - head; }
  const u8* begin() const { return data + head; }
};

Span span_of(const Cell* b) {
  SeriesBuffer* buf = buffer_of(b);
  i32 total = static_cast<i32>(buf->tail - buf->head);
  return {reinterpret_cast<const u8*>(buf->head_ptr()), std::clamp(head_index(b), 0, total), total};
}

void clip_head(Cell* b) {
  Span s = span_of(b);
  if (head_index(b) > s.total) set_head_index(b, s.total);
}

// Makes room for `more` bytes beyond the content: the needed size or twice the old size, whichever
// is larger. Answers the buffer to use.
SeriesBuffer* ensure_room(Cell* b, i64 more) {
  SeriesBuffer* buf = buffer_of(b);
  i64 used = buf->tail - buf->head;
  if (used + more > max_bytes) no_memory();
  if (buf->tail + more > buf->end_offset()) {
    i64 size = std::max<i64>(used + more, i64{buf->size} * 2);
    buf = memory::expand_series(buf, static_cast<i32>(std::min(size, max_bytes)));
  }
  return buf;
}

// Appends the UTF-8 of the characters of a text (string family or symbol name) from its head.
void append_text_utf8(const Cell* s, std::vector<u8>& out) {
  SeriesBuffer* b = string::buffer_of(s);
  u32 unit = b->unit();
  u32 shift = string::unit_shift(unit);
  i32 total = static_cast<i32>((b->tail - b->head) >> shift);
  i32 head = std::clamp(string::head_index(s), 0, total);
  const std::byte* p = b->head_ptr();
  out.reserve(out.size() + static_cast<size_t>(total - head));
  if (unit == 1) {
    const u8* q = reinterpret_cast<const u8*>(p);
    for (i32 i = head; i < total; ++i) {
      u8 c = q[i];
      if (c < 0x80) {
        out.push_back(c);
      } else {
        out.push_back(static_cast<u8>(0xC0 | (c >> 6)));
        out.push_back(static_cast<u8>(0x80 | (c & 0x3F)));
      }
    }
    return;
  }
  for (i32 i = head; i < total; ++i) {
    u8 tmp[4];
    i32 n = unicode::encode_utf8(string::read_unit(p + (static_cast<u32>(i) << shift), unit), tmp);
    out.insert(out.end(), tmp, tmp + n);
  }
}

void append_char_utf8(i32 cp, std::vector<u8>& out) {
  u8 tmp[4];
  i32 n = unicode::encode_utf8(cp, tmp);
  out.insert(out.end(), tmp, tmp + n);
}

bool text_type_q(u32 t) { return string::any_string_q(t); }

// The bytes of a tuple!.
void append_tuple(const Cell* t, std::vector<u8>& out) {
  const u8* bytes = tuple::bytes_of(t);
  out.insert(out.end(), bytes, bytes + tuple::stored_length(t));
}

void append_bitset(const Cell* v, std::vector<u8>& out) {
  SeriesBuffer* b = kiv::buffer_of(Ref<Node>(v->w2));
  const u8* p = reinterpret_cast<const u8*>(b->head_ptr());
  out.insert(out.end(), p, p + (b->tail - b->head));
}

enum class Mode { append, change, to };

// The bytes a value stands for when written into a binary (see `to`, `append`, `change`).
void value_bytes(const Cell* v, Mode mode, std::vector<u8>& out, i32 depth = 0) {
  u32 t = v->type();
  if (t == type::binary) {
    Span s = span_of(v);
    out.insert(out.end(), s.begin(), s.begin() + s.size());
  } else if (text_type_q(t)) {
    append_text_utf8(v, out);
  } else if (t == type::char_) {
    append_char_utf8(char_::code_point(v), out);
  } else if (t == type::tuple) {
    append_tuple(v, out);
  } else if (t == type::integer && mode != Mode::to) {
    i32 n = v->as_int();
    if (n < -128 || n > 255) invalid_arg(*v);
    out.push_back(static_cast<u8>(n));
  } else if (t == type::block || t == type::paren || t == type::hash) {
    if (depth > 200) raise_error(ErrorCategory::internal, "stack-overflow");
    Ref<Node> node(v->w2);
    RootNode keep_block(node);
    SeriesBuffer* b = kiv::buffer_of(node);
    i32 n = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
    for (i32 i = std::max(series::head_index(v), 0); i < n; ++i) {
      // Forming (change) may allocate: the element is a rooted copy, the buffer re-read each round.
      Cell element = kiv::buffer_of(node)->head_ptr<Cell>()[i];
      RootCell keep(element);
      value_bytes(&element, mode == Mode::to ? Mode::append : mode, out, depth + 1);
      n = static_cast<i32>((kiv::buffer_of(node)->tail - kiv::buffer_of(node)->head) / sizeof(Cell));
    }
  } else if (mode == Mode::change) {
    Cell* mark = stack::top;
    Cell* text = stack::push_cell();
    string::make_at(text, 16);
    actions::dispatch_form(v, text, nullptr, INT_MAX);
    append_text_utf8(text, out);
    stack::top = mark;
  } else {
    bad_to_arg(*v);
  }
}

// Bytes of the value for append/insert/change, cut to `part` (negative: all).
std::vector<u8> bytes_for(const Cell* value, Mode mode, i32 part) {
  std::vector<u8> bytes;
  value_bytes(value, mode, bytes);
  if (part >= 0 && static_cast<size_t>(part) < bytes.size()) bytes.resize(static_cast<size_t>(part));
  return bytes;
}

i64 checked_total(i64 run, i64 dup) {
  if (dup > 0 && run > max_bytes / dup) no_memory();
  return run * dup;
}

// Writes the bytes dup times at `at` (room already made).
void write_repeated(std::byte* at, const std::vector<u8>& bytes, i32 dup) {
  if (bytes.empty()) return;
  std::memcpy(at, bytes.data(), bytes.size());
  memory::replicate_bytes(at, static_cast<i32>(bytes.size()), dup);
}

// Replaces `replaced` bytes at byte index `at` (from the buffer's start) by the bytes written dup
// times. Answers the bytes written.
i32 splice(Cell* b, i32 at, i32 replaced, const std::vector<u8>& bytes, i32 dup) {
  i64 written = checked_total(static_cast<i64>(bytes.size()), dup);
  i64 delta = written - replaced;
  SeriesBuffer* buf = delta > 0 ? ensure_room(b, delta) : buffer_of(b);
  std::byte* p = buf->head_ptr() + at;
  std::byte* rest = p + replaced;
  std::memmove(rest + delta, rest, static_cast<size_t>(buf->tail_ptr() - rest));
  buf->tail = static_cast<u32>(buf->tail + delta);
  write_repeated(p, bytes, dup);
  return static_cast<i32>(written);
}

// ---------------------------------------------------------------------------------------------
// Base encodings
// ---------------------------------------------------------------------------------------------

constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr char alphabet_58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char alphabet_64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Tables {
  i8 v58[128];
  i8 v64[128];
  Tables() {
    std::memset(v58, -1, sizeof v58);
    std::memset(v64, -1, sizeof v64);
    for (int i = 0; i < 58; ++i) v58[static_cast<u8>(alphabet_58[i])] = static_cast<i8>(i);
    for (int i = 0; i < 64; ++i) v64[static_cast<u8>(alphabet_64[i])] = static_cast<i8>(i);
  }
};
const Tables tables;

i32 hex_value(i32 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads characters of a text in its own unit width, skipping ";" comments to the end of the line.
class Reader {
  const std::byte* p_;
  const std::byte* end_;
  u32 unit_;

 public:
  Reader(const std::byte* text, i32 length, u32 unit)
      : p_(text), end_(text + static_cast<std::ptrdiff_t>(std::max(length, 0)) * unit), unit_(unit) {}
  // The next character, or -1 at the end.
  i32 next() {
    while (p_ < end_) {
      i32 c = string::read_unit(p_, unit_);
      p_ += unit_;
      if (c != ';') return c;
      while (p_ < end_ && string::read_unit(p_, unit_) != '\n') p_ += unit_;
    }
    return -1;
  }
};

// The characters base 58 and base 64 text may carry between digits.
bool skipped_58_64(i32 c) { return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == '\''; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Making and reading
// ---------------------------------------------------------------------------------------------

Cell* make_at(Cell* out, i32 size) {
  Ref<Node> node = memory::alloc_bytes(std::max(size, 0));
  *out = Cell{type::binary, 0, node.offset(), 0};
  return out;
}

Cell* make_from(Cell* out, const void* bytes, i32 length) {
  length = std::max(length, 0);
  Ref<Node> node = memory::alloc_bytes(length);
  SeriesBuffer* b = kiv::buffer_of(node);
  if (length) std::memcpy(b->head_ptr(), bytes, static_cast<size_t>(length));
  b->tail = b->head + static_cast<u32>(length);
  *out = Cell{type::binary, 0, node.offset(), 0};
  return out;
}

Cell* load_in(const void* bytes, i32 length, Cell* block) {
  if (!block) return load(bytes, length);
  Cell tmp{type::unset, 0, 0, 0};
  RootCell keep(tmp);
  make_from(&tmp, bytes, length);
  Cell* slot = cell::append_slot(block);
  *slot = tmp;
  return slot;
}

Cell* load(const void* bytes, i32 length) {
  Cell* c = stack::push_cell();
  return make_from(c, bytes, length);
}

Cell* push(const Cell* value) { return stack::push_value(value); }

i32 length_of(const Cell* b) { return span_of(b).size(); }

std::byte* head_pointer(const Cell* b) {
  Span s = span_of(b);
  return const_cast<std::byte*>(reinterpret_cast<const std::byte*>(s.begin()));
}

std::vector<u8> bytes_of(const Cell* b) {
  Span s = span_of(b);
  return std::vector<u8>(s.begin(), s.begin() + s.size());
}

std::string to_std_string(const Cell* b) {
  Span s = span_of(b);
  return std::string(reinterpret_cast<const char*>(s.begin()), static_cast<size_t>(s.size()));
}

void append_bytes(Cell* b, const void* bytes, i32 length) {
  if (length <= 0) return;
  SeriesBuffer* buf = ensure_room(b, length);
  std::memmove(buf->tail_ptr(), bytes, static_cast<size_t>(length));
  buf->tail += static_cast<u32>(length);
}

void insert_bytes(Cell* b, i32 offset, const void* bytes, i32 length) {
  if (length <= 0) return;
  SeriesBuffer* buf = buffer_of(b);
  i64 used = buf->tail - buf->head;
  if (used + length > max_bytes) no_memory();
  if (buf->tail + length > buf->end_offset()) {
    i64 size = std::min<i64>(used + length + i64{buf->size} * 2, max_bytes);
    buf = memory::expand_series(buf, static_cast<i32>(size));
  }
  offset = std::clamp(offset, 0, static_cast<i32>(used));
  std::byte* at = buf->head_ptr() + offset;
  std::memmove(at + length, at, static_cast<size_t>(used - offset));
  std::memmove(at, bytes, static_cast<size_t>(length));
  buf->tail += static_cast<u32>(length);
}

void append_int32_be(Cell* b, u32 value) {
  u8 bytes[4] = {static_cast<u8>(value >> 24), static_cast<u8>(value >> 16), static_cast<u8>(value >> 8),
                 static_cast<u8>(value)};
  append_bytes(b, bytes, 4);
}

void append_byte(Cell* b, u8 value) { append_bytes(b, &value, 1); }

void value_to_byte(std::byte* at, const Cell* value) {
  u32 t = value->type();
  if (t != type::integer && t != type::char_) invalid_arg(*value);
  *at = static_cast<std::byte>(value->w2 & 0xFF);
}

// ---------------------------------------------------------------------------------------------
// Comparison and parse support
// ---------------------------------------------------------------------------------------------

namespace {

// The bytes of a string-like value for comparisons: a binary's own, a text's UTF-8.
bool comparable_bytes(const Cell* v, std::vector<u8>& out, const u8*& data, i32& n) {
  u32 t = v->type();
  if (t == type::binary) {
    Span s = span_of(v);
    data = s.begin();
    n = s.size();
    return true;
  }
  if (text_type_q(t)) {
    append_text_utf8(v, out);
    data = out.data();
    n = static_cast<i32>(out.size());
    return true;
  }
  return false;
}

u8 fold_ascii(u8 c) { return c >= 'a' && c <= 'z' ? static_cast<u8>(c - 32) : c; }

}  // namespace

i32 compare_bytes(const Cell* a, const Cell* b, i32 op, bool match) {
  if (op == compare_op::same) {
    bool same = b->type() == type::binary && a->w2 == b->w2 && span_of(a).head == span_of(b).head;
    return same ? 0 : 1;
  }
  std::vector<u8> tmp_a, tmp_b;
  const u8 *da, *db;
  i32 na, nb;
  if (!comparable_bytes(b, tmp_b, db, nb)) return -2;
  if (!comparable_bytes(a, tmp_a, da, na)) return -2;
  if (a->w2 == b->w2 && a->type() == b->type() && span_of(a).head == span_of(b).head) return 0;
  bool equality = op == compare_op::equal || op == compare_op::not_equal || op == compare_op::strict_equal ||
                  op == compare_op::find;
  if (!match && equality && na != nb) return na < nb ? -1 : 1;
  i32 n = std::min(na, nb);
  if (op == compare_op::parse_match) {
    for (i32 i = 0; i < n; ++i) {
      u8 x = fold_ascii(da[i]), y = fold_ascii(db[i]);
      if (x != y) return x < y ? -1 : 1;
    }
  } else if (n > 0) {
    int d = std::memcmp(da, db, static_cast<size_t>(n));
    if (d != 0) return d < 0 ? -1 : 1;
  }
  if (match) return na >= nb ? 0 : -1;
  return na < nb ? -1 : na > nb ? 1 : 0;
}

bool match_bitset_q(const Cell* b, const Cell* bitset) {
  Span s = span_of(b);
  if (s.size() <= 0) return false;
  u8 c = s.begin()[0];
  SeriesBuffer* bits = kiv::buffer_of(Ref<Node>(bitset->w2));
  u32 byte = c >> 3;
  if (byte >= bits->tail - bits->head) return (bits->flags & series_flag::complement) != 0;
  return (static_cast<u8>(bits->head_ptr()[byte]) & (0x80 >> (c & 7))) != 0;
}

bool match_value_q(const Cell* b, const Cell* value, bool case_sensitive) {
  u32 t = value->type();
  if (t == type::char_ || t == type::integer) {
    Span s = span_of(b);
    return s.size() > 0 && s.begin()[0] == (value->w2 & 0xFF);
  }
  if (t == type::binary || text_type_q(t)) {
    bool fold = !case_sensitive && t != type::binary;
    return compare_bytes(b, value, fold ? compare_op::parse_match : compare_op::parse_match_case, true) == 0;
  }
  if (t == type::bitset) return match_bitset_q(b, value);
  return false;
}

// ---------------------------------------------------------------------------------------------
// Base encodings
// ---------------------------------------------------------------------------------------------

i64 encoded_size(i32 base, i64 length) {
  i64 n;
  switch (base) {
    case 2: n = length * 8; break;
    case 16: n = length * 2; break;
    case 58: n = length * 2; break;
    case 64: n = (length + 2) / 3 * 4; break;
    default: return -1;
  }
  return n > max_bytes ? -1 : n;
}

char* encode_2(char* out, const u8* bytes, i32 length) {
  for (i32 i = 0; i < length; ++i)
    for (int bit = 7; bit >= 0; --bit) *out++ = (bytes[i] >> bit) & 1 ? '1' : '0';
  return out;
}

char* encode_16(char* out, const u8* bytes, i32 length) {
  for (i32 i = 0; i < length; ++i) {
    *out++ = hex_digits[bytes[i] >> 4];
    *out++ = hex_digits[bytes[i] & 15];
  }
  return out;
}

char* encode_58(char* out, const u8* bytes, i32 length) {
  i32 zeros = 0;
  while (zeros < length && bytes[zeros] == 0) ++zeros;
  // Digits of the number, least significant first; log(256)/log(58) < 1.37 digits per byte.
  std::vector<u8> digits;
  digits.reserve(static_cast<size_t>(length - zeros) * 138 / 100 + 1);
  for (i32 i = zeros; i < length; ++i) {
    u32 carry = bytes[i];
    for (u8& d : digits) {
      carry += static_cast<u32>(d) << 8;
      d = static_cast<u8>(carry % 58);
      carry /= 58;
    }
    while (carry) {
      digits.push_back(static_cast<u8>(carry % 58));
      carry /= 58;
    }
  }
  for (i32 i = 0; i < zeros; ++i) *out++ = '1';
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) *out++ = alphabet_58[*it];
  return out;
}

char* encode_64(char* out, const u8* bytes, i32 length) {
  i32 i = 0;
  for (; i + 3 <= length; i += 3) {
    u32 g = u32{bytes[i]} << 16 | u32{bytes[i + 1]} << 8 | bytes[i + 2];
    *out++ = alphabet_64[g >> 18];
    *out++ = alphabet_64[(g >> 12) & 63];
    *out++ = alphabet_64[(g >> 6) & 63];
    *out++ = alphabet_64[g & 63];
  }
  if (i < length) {
    u32 g = u32{bytes[i]} << 16 | (i + 1 < length ? u32{bytes[i + 1]} << 8 : 0);
    *out++ = alphabet_64[g >> 18];
    *out++ = alphabet_64[(g >> 12) & 63];
    *out++ = i + 1 < length ? alphabet_64[(g >> 6) & 63] : '=';
    *out++ = '=';
  }
  return out;
}

bool decode_2(const std::byte* text, i32 length, u32 unit, std::vector<u8>& out) {
  Reader r(text, length, unit);
  u32 byte = 0;
  int bits = 0;
  for (i32 c; (c = r.next()) >= 0;) {
    if (c <= ' ') continue;
    if (c != '0' && c != '1') return false;
    byte = byte << 1 | static_cast<u32>(c - '0');
    if (++bits == 8) {
      out.push_back(static_cast<u8>(byte));
      byte = 0;
      bits = 0;
    }
  }
  return bits == 0;
}

bool decode_16(const std::byte* text, i32 length, u32 unit, std::vector<u8>& out) {
  Reader r(text, length, unit);
  i32 high = -1;
  out.reserve(static_cast<size_t>(std::max(length, 0)) / 2);
  for (i32 c; (c = r.next()) >= 0;) {
    if (c <= ' ') continue;
    // Only ASCII digits count: a wider character whose low bits happen to spell a digit is not one.
    i32 d = c < 128 ? hex_value(c) : -1;
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<u8>(high << 4 | d));
      high = -1;
    }
  }
  return true;  // an odd last digit is dropped
}

bool decode_58(const std::byte* text, i32 length, u32 unit, std::vector<u8>& out) {
  Reader r(text, length, unit);
  i32 zeros = 0;
  bool leading = true;
  std::vector<u8> bytes;  // least significant first
  for (i32 c; (c = r.next()) >= 0;) {
    if (c > 127) break;
    if (skipped_58_64(c)) continue;
    i32 v = tables.v58[c];
    if (v < 0) return false;
    if (leading && v == 0) {
      ++zeros;
      continue;
    }
    leading = false;
    u32 carry = static_cast<u32>(v);
    for (u8& b : bytes) {
      carry += u32{b} * 58;
      b = static_cast<u8>(carry);
      carry >>= 8;
    }
    while (carry) {
      bytes.push_back(static_cast<u8>(carry));
      carry >>= 8;
    }
  }
  out.insert(out.end(), static_cast<size_t>(zeros), 0);
  out.insert(out.end(), bytes.rbegin(), bytes.rend());
  return true;
}

bool decode_64(const std::byte* text, i32 length, u32 unit, std::vector<u8>& out) {
  Reader r(text, length, unit);
  u32 group = 0;
  int n = 0;
  out.reserve(static_cast<size_t>(std::max(length, 0)) / 4 * 3);
  for (i32 c; (c = r.next()) >= 0;) {
    if (c < 128 && skipped_58_64(c)) continue;
    if (c == '=') {
      if (n == 2) {
        out.push_back(static_cast<u8>(group >> 4));
      } else if (n == 3) {
        out.push_back(static_cast<u8>(group >> 10));
        out.push_back(static_cast<u8>(group >> 2));
      } else {
        return false;
      }
      return true;  // "=" ends the data
    }
    i32 v = c < 128 ? tables.v64[c] : -1;
    if (v < 0) return false;
    group = group << 6 | static_cast<u32>(v);
    if (++n == 4) {
      out.push_back(static_cast<u8>(group >> 16));
      out.push_back(static_cast<u8>(group >> 8));
      out.push_back(static_cast<u8>(group));
      group = 0;
      n = 0;
    }
  }
  return true;  // an unfinished group without "=" is dropped
}

Cell* decode(i32 base, const std::byte* text, i32 length, u32 unit) {
  std::vector<u8> bytes;
  bool ok;
  switch (base) {
    case 2: ok = decode_2(text, length, unit, bytes); break;
    case 16: ok = decode_16(text, length, unit, bytes); break;
    case 58: ok = decode_58(text, length, unit, bytes); break;
    case 64: ok = decode_64(text, length, unit, bytes); break;
    default: ok = false; break;
  }
  if (!ok) return nullptr;
  return load(bytes.data(), static_cast<i32>(bytes.size()));
}

// ---------------------------------------------------------------------------------------------
// to
// ---------------------------------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, u32) {
  Cell v = *spec;
  RootCell keep(v);
  std::vector<u8> bytes;
  switch (v.type()) {
    case type::integer: {
      u32 n = v.w2;
      bytes = {static_cast<u8>(n >> 24), static_cast<u8>(n >> 16), static_cast<u8>(n >> 8), static_cast<u8>(n)};
      break;
    }
    case type::float_:
    case type::percent: {
      u64 bits = std::bit_cast<u64>(v.as_double());
      for (int i = 7; i >= 0; --i) bytes.push_back(static_cast<u8>(bits >> (i * 8)));
      break;
    }
    case type::issue: {
      // Digit pairs, high digit first; an odd last digit is dropped. An issue's name may hold
      // blanks and ";", which are no digits here (unlike in debase text).
      std::string_view name = symbol::name(word::symbol_of(&v));
      i32 high = -1;
      for (char ch : name) {
        i32 d = hex_value(static_cast<u8>(ch));
        if (d < 0) raise_error(ErrorCategory::script, "invalid-data", v);
        if (high < 0) {
          high = d;
        } else {
          bytes.push_back(static_cast<u8>(high << 4 | d));
          high = -1;
        }
      }
      break;
    }
    case type::bitset: append_bitset(&v, bytes); break;
    case type::image:
      if (!hooks::image_bytes || !hooks::image_bytes(&v, bytes)) bad_to_arg(v);
      break;
    default: value_bytes(&v, Mode::to, bytes); break;
  }
  Cell* out = stack::push_cell();
  make_from(out, bytes.data(), static_cast<i32>(bytes.size()));
  *proto = *out;
  stack::top = out;
  return proto;
}

// ---------------------------------------------------------------------------------------------
// form and mold
// ---------------------------------------------------------------------------------------------

namespace {

i32 current_base() {
  i32 base = hooks::binary_base ? hooks::binary_base() : 16;
  return base == 2 || base == 64 ? base : 16;
}

}  // namespace

i32 mold(const Cell* value, Cell* out, bool only, bool, bool flat, const Cell* part, i32 limit, i32 indent) {
  i32 base = current_base();
  std::string text;
  {
    Span s = span_of(value);
    // Bytes per line: 64 characters of text.
    i32 per_line = base == 16 ? 32 : base == 2 ? 8 : 48;
    // With a budget only what fits (and a little more) is encoded.
    i64 n = s.size();
    if (part && limit >= 0) n = std::min<i64>(n, (i64{limit} + 64) / (base == 2 ? 8 : 1));
    i64 text_chars = encoded_size(base, s.size());
    bool multi = !flat && text_chars >= 62;
    if (!only) text += base == 16 ? "#{" : base == 2 ? "2#{" : "64#{";
    std::string pad(static_cast<size_t>(std::max(indent + 1, 0)) * 4, ' ');
    char line[128];
    for (i64 i = 0; i < n; i += per_line) {
      if (multi) {
        text += '\n';
        text += pad;
      }
      i32 k = static_cast<i32>(std::min<i64>(per_line, n - i));
      char* end = base == 16 ? encode_16(line, s.begin() + i, k)
                  : base == 2 ? encode_2(line, s.begin() + i, k)
                              : encode_64(line, s.begin() + i, k);
      text.append(line, static_cast<size_t>(end - line));
      if (part && static_cast<i64>(text.size()) > i64{limit}) break;
    }
    if (multi) {
      text += '\n';
      text.append(static_cast<size_t>(std::max(indent, 0)) * 4, ' ');
    }
    if (!only) text += '}';
  }
  // One append for the lot: it may collect and move the binary's buffer.
  if (part && limit >= 0 && static_cast<i64>(text.size()) > i64{limit}) text.resize(static_cast<size_t>(limit) + 1);
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  return mold(value, out, false, false, false, part, limit, 0);
}

// ---------------------------------------------------------------------------------------------
// Comparison
// ---------------------------------------------------------------------------------------------

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::binary) return -2;
  return compare_bytes(a, b, op, false);
}

// ---------------------------------------------------------------------------------------------
// append, insert, change, trim
// ---------------------------------------------------------------------------------------------

Cell* append(Cell* series, Cell* value, i32 part, bool, i32 dup, bool append_flag) {
  clip_head(series);
  if (dup < 1) return series;
  std::vector<u8> bytes = bytes_for(value, Mode::append, part);
  i32 head = head_index(series);
  bool owned = series::notify(series, append_flag ? "append" : "insert", value,
                              append_flag ? length_of(series) + head : head, 0);
  i32 n;
  i32 at = append_flag ? span_of(series).total : head;
  n = splice(series, at, 0, bytes, dup);
  if (!append_flag) set_head_index(series, head + n);
  if (owned) series::notify(series, append_flag ? "appended" : "inserted", value, at, n);
  return series;
}

Cell* change(Cell* series, Cell* value, i32 part, bool, i32 dup) {
  clip_head(series);
  if (dup < 1) dup = 1;
  std::vector<u8> bytes = bytes_for(value, Mode::change, -1);
  i32 head = head_index(series);
  bool owned = series::notify(series, "change", value, head, 0);
  i32 left = length_of(series);
  i64 written = checked_total(static_cast<i64>(bytes.size()), dup);
  i64 replaced = part >= 0 ? std::min<i64>(part, left) : std::min<i64>(written, left);
  i32 n = splice(series, head, static_cast<i32>(replaced), bytes, dup);
  set_head_index(series, head + n);
  if (owned) series::notify(series, "changed", value, head, n);
  return series;
}

Cell* trim(Cell* series, bool head_f, bool tail_f, bool auto_, bool lines, bool all, Cell* with) {
  if (auto_ || lines) not_done();
  clip_head(series);
  // The set of bytes to drop everywhere, read before the buffer (it may be this binary itself).
  bool drop[256] = {};
  bool everywhere = all || with;
  if (with) {
    u32 wt = with->type();
    if (wt == type::integer) {
      drop[with->w2 & 0xFF] = true;
    } else if (wt == type::binary || wt == type::char_ || text_type_q(wt)) {
      std::vector<u8> set;
      value_bytes(with, Mode::append, set);
      for (u8 c : set) drop[c] = true;
    } else {
      invalid_arg(*with);
    }
  } else {
    drop[0] = true;
  }
  bool owned = series::notify(series, "trim", nullptr, span_of(series).head, span_of(series).size());
  clip_head(series);  // the owner's handler may have changed the series
  Span s = span_of(series);
  SeriesBuffer* b = buffer_of(series);
  u8* base = reinterpret_cast<u8*>(b->head_ptr()) + s.head;
  i32 n = s.size(), w = 0;
  if (everywhere) {
    for (i32 i = 0; i < n; ++i)
      if (!drop[base[i]]) base[w++] = base[i];
  } else {
    bool both = head_f == tail_f;
    i32 start = 0, end = n;
    if (both || head_f)
      while (start < end && base[start] == 0) ++start;
    if (both || tail_f)
      while (end > start && base[end - 1] == 0) --end;
    w = end - start;
    std::memmove(base, base + start, static_cast<size_t>(w));
  }
  b->tail = b->head + static_cast<u32>(s.head + w);
  if (owned) series::notify(series, "trimmed", nullptr, s.head, w);
  return series;
}

// ---------------------------------------------------------------------------------------------
// Bitwise operations
// ---------------------------------------------------------------------------------------------

namespace {

void bitwise(int op) {
  Cell* args = stack::arguments;
  if (args[0].type() != type::binary) invalid_arg(args[0]);
  if (args[1].type() != type::binary) invalid_arg(args[1]);
  i32 la = length_of(&args[0]), lb = length_of(&args[1]);
  i32 len = std::max(la, lb);
  Cell r{type::unset, 0, 0, 0};
  RootCell keep(r);
  make_at(&r, len);
  Cell* a = stack::arguments;
  const u8* da = span_of(&a[0]).begin();
  const u8* db = span_of(&a[1]).begin();
  SeriesBuffer* rb = buffer_of(&r);
  u8* dr = reinterpret_cast<u8*>(rb->head_ptr());
  i32 shorter = std::min(la, lb);
  const u8* longer = la >= lb ? da : db;
  for (i32 i = 0; i < shorter; ++i)
    dr[i] = static_cast<u8>(op == 0 ? da[i] & db[i] : op == 1 ? da[i] | db[i] : da[i] ^ db[i]);
  for (i32 i = shorter; i < len; ++i) dr[i] = op == 0 ? 0 : longer[i];
  rb->tail = rb->head + static_cast<u32>(len);
  stack::set_result(&r);
}

}  // namespace

void and_t() { bitwise(0); }
void or_t() { bitwise(1); }
void xor_t() { bitwise(2); }

Cell* complement(Cell* value) {
  i32 n = length_of(value);
  Cell* out = stack::push_cell();
  make_at(out, n);
  const u8* src = span_of(value).begin();
  SeriesBuffer* b = buffer_of(out);
  u8* dst = reinterpret_cast<u8*>(b->head_ptr());
  for (i32 i = 0; i < n; ++i) dst[i] = static_cast<u8>(~src[i]);
  b->tail = b->head + static_cast<u32>(n);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------------------------

namespace {

bool lexer_maker(Cell* out, const u8* bytes, i32 length) {
  make_from(out, bytes, length);
  return true;
}

// The bytes from the head (a head past the tail hashes as empty).
u32 hash(const Cell* v, bool) {
  SeriesBuffer* b = series::buffer_of(v);
  i32 total = static_cast<i32>(b->used_bytes());
  i32 head = std::clamp(series::head_index(v), 0, total);
  return hashtable::murmur3_32(b->head_ptr<u8>() + head, total - head);
}

}  // namespace

void init() {
  using action::inherit;
  datatype::register_type(type::binary, type::string, "binary!",
                          {
                              .make = inherit,
                              .random = inherit,
                              .reflect = inherit,
                              .to = to,
                              .form = form,
                              .mold = mold,
                              .eval_path = inherit,
                              .compare = compare,
                              .and_t = and_t,
                              .complement = complement,
                              .or_t = or_t,
                              .xor_t = xor_t,
                              .append = append,
                              .at = inherit,
                              .back = inherit,
                              .change = change,
                              .clear = inherit,
                              .copy = inherit,
                              .find = inherit,
                              .head = inherit,
                              .head_q = inherit,
                              .index_q = inherit,
                              .insert = append,
                              .length_q = inherit,
                              .move = inherit,
                              .next = inherit,
                              .pick = inherit,
                              .poke = inherit,
                              .remove = inherit,
                              .reverse = inherit,
                              .select = inherit,
                              .sort = inherit,
                              .skip = inherit,
                              .swap = inherit,
                              .tail = inherit,
                              .tail_q = inherit,
                              .take = inherit,
                              .trim = trim,
                              .modify = inherit,
                          });
  hooks::binary_to = to;
  datatype::makers::binary = lexer_maker;
  hashtable::set_hash_procedure(type::binary, hash);
  collector::set_mark_procedure(type::binary, collector::mark_bytes);
}

}  // namespace kiv::binary
