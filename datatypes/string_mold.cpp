// string! form and mold: form copies the characters; mold writes the source form the lexer reads back,
// between "..." or {...}, with caret escapes.
#include <algorithm>
#include <cstring>

#include "datatypes/dispatch.h"
#include "datatypes/string_internal.h"
#include "runtime/roots.h"

namespace kiv::string {

namespace {

// The character written after '^' for code points 0 to 94 (0 when there is none).
constexpr char caret_table[95] = {
    '@', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '-', '/', 'K', 'L', 'M', 'N', 'O',  // 0-15
    'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', '[', '\\', ']', '^', '_',  // 16-31
    0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 32-47
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 48-63
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 64-79
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '^',         // 80-94
};

// Writes the escaped form of one character into dst (room for 12); returns how many characters.
int escape(i32 cp, bool table, bool all, i32* dst) {
  if (cp == 30 || (cp >= 128 && cp <= 159) || (all && cp > 127)) {
    int n = 0;
    dst[n++] = '^';
    dst[n++] = '(';
    for (const char* h = int_to_hex(cp, true); *h; ++h) dst[n++] = *h;
    dst[n++] = ')';
    return n;
  }
  if (table && cp >= 0 && cp < 95 && caret_table[cp]) {
    dst[0] = '^';
    dst[1] = caret_table[cp];
    return 2;
  }
  if (table && cp == 127) {
    dst[0] = '^';
    dst[1] = '~';
    return 2;
  }
  dst[0] = cp;
  return 1;
}

}  // namespace

void append_code_points(Cell* out, const i32* cps, i32 n, i32 max_cp) {
  if (n <= 0) return;
  // Rule A, decided once for the batch: the result is what appending one by one would give.
  u32 unit = max_cp > 0xFFFF ? 4 : max_cp > 0x7F ? 2 : 1;
  SeriesBuffer* b = buffer_of(out);
  if (b->unit() < unit) b = widen_to(b, b->unit(), unit);
  unit = b->unit();
  u32 shift = unit_shift(unit);
  i64 bytes = i64{n} << shift;
  if (b->tail + bytes > b->end_offset()) b = grow_for(b, i64{b->tail - b->head} + bytes);
  std::byte* at = b->tail_ptr();
  switch (unit) {
    case 1:
      for (i32 i = 0; i < n; ++i) at[i] = static_cast<std::byte>(cps[i]);
      break;
    case 2:
      for (i32 i = 0; i < n; ++i) write_unit(at + i * 2, 2, cps[i]);
      break;
    default: std::memcpy(at, cps, static_cast<size_t>(bytes)); break;
  }
  b->tail += static_cast<u32>(bytes);
}

namespace {

// Collects code points and appends them to a string in batches: one widening decision and one
// growth per batch instead of per character.
class Writer {
  Cell* out_;
  i32 buf_[8192];
  i32 n_ = 0;
  i32 bits_ = 0;

 public:
  explicit Writer(Cell* out) : out_(out) {}
  ~Writer() = default;
  static constexpr i32 capacity = 8192;
  bool room_for(i32 n) const { return n_ + n <= capacity; }
  void put(i32 cp) {
    buf_[n_++] = cp;
    bits_ |= cp;
  }
  // Direct writing for hot loops: write through cursor(), then hand the end back with commit().
  // `bits` is the OR of the characters written (or more bits): it decides the unit.
  i32* cursor() { return buf_ + n_; }
  void commit(i32* end, i32 bits) {
    n_ = static_cast<i32>(end - buf_);
    bits_ |= bits;
  }
  void put(const i32* cps, int n) {
    for (int i = 0; i < n; ++i) put(cps[i]);
  }
  void put_ascii(const char* s) {
    while (*s) put(static_cast<u8>(*s++));
  }
  // Appends what was collected (may allocate: re-read buffer addresses afterwards).
  void flush() {
    if (!n_) return;
    // The OR of the characters decides the unit as well as their maximum would: the limits of
    // rule A (0x7F, 0xFFFF) are all-ones bit patterns.
    append_code_points(out_, buf_, n_, bits_);
    n_ = 0;
    bits_ = 0;
  }
};

}  // namespace

void append_escaped_char(Cell* out, i32 cp, bool table, bool all) {
  i32 tmp[12];
  int n = escape(cp, table, all, tmp);
  if (n == 1) {
    append_char(out, cp);
    return;
  }
  append_code_points(out, tmp, n, '~');
}

namespace {

template <u32 Unit>
void count_in(const std::byte* start, i32 n, i32* quotes, i32* lines) {
  i32 q = 0, l = 0;  // locals: counting through the pointers would keep the loop from vectorising
  for (i32 i = 0; i < n; ++i) {
    i32 c = read_unit(start + i * Unit, Unit);
    q += c == '"';
    l += c == '\n';
  }
  *quotes += q;
  *lines += l;
}

// Counts the occurrences of a byte with memchr: quotes and line feeds are rare in most texts.
i32 count_byte(const std::byte* p, const std::byte* end, int byte) {
  i32 n = 0;
  while (p < end && (p = static_cast<const std::byte*>(std::memchr(p, byte, static_cast<size_t>(end - p))))) {
    ++n;
    ++p;
  }
  return n;
}

}  // namespace

void count_quotes_and_lines(const std::byte* start, const std::byte* end, u32 unit, i32* quotes, i32* lines) {
  i32 n = static_cast<i32>((end - start) >> unit_shift(unit));
  switch (unit) {
    case 1:
      *quotes += count_byte(start, end, '"');
      *lines += count_byte(start, end, '\n');
      break;
    case 2: count_in<2>(start, n, quotes, lines); break;
    default: count_in<4>(start, n, quotes, lines); break;
  }
}

bool brace_closes_q(const std::byte* start, const std::byte* end, u32 unit) {
  i32 depth = 0;
  for (const std::byte* p = start; p < end; p += unit) {
    i32 c = read_unit(p, unit);
    if (c == '{') ++depth;
    else if (c == '}' && --depth == 0) return true;
  }
  return false;
}

i32 form(const Cell* s, Cell* out, const Cell* part, i32 limit) {
  const SeriesBuffer* b = buffer_of(s);
  i32 total = static_cast<i32>((b->tail - b->head) >> unit_shift(b->unit()));
  i32 len = total - std::clamp(head_index(s), 0, total);
  i32 n = part ? std::max(limit, 0) : -1;  // what is left of the limit, within a larger form
  concatenate(out, s, n, true, 0);
  return limit - len;
}

namespace {

template <u32 Unit>
inline i32 load(const std::byte* base, i32 i) {
  if constexpr (Unit == 1) {
    return static_cast<u8>(base[i]);
  } else if constexpr (Unit == 2) {
    u16 v;
    std::memcpy(&v, base + 2 * i, 2);
    return v;
  } else {
    i32 v;
    std::memcpy(&v, base + 4 * i, 4);
    return v;
  }
}

// The body of mold for characters [from, end) of s, in batches: the output may grow (and move the
// source's buffer) only between batches.
template <u32 Unit>
void mold_chars(Writer& w, Cell* s, i32 from, i32 end, bool braces, bool all, i32 first_unclosed, i32& depth) {
  constexpr i32 chunk = 512;  // at most 9 characters each: always fits the writer
  for (; from < end; from += chunk) {
    const std::byte* base = buffer_of(s)->head_ptr();
    i32 to = std::min(end, from + chunk);
    i32* d = w.cursor();
    i32 bits = 0;  // of the characters written as themselves (escapes are ASCII)
    for (i32 i = from; i < to; ++i) {
      i32 c = load<Unit>(base, i);
      // Most characters are written as they are.
      if ((c >= 32 && c < 127 && c != '"' && c != '^' && c != '{' && c != '}') || (c >= 160 && !all)) {
        *d++ = c;
        bits |= c;
        continue;
      }
      if (braces) {
        if (c == '{') {
          if (i < first_unclosed) {
            ++depth;
          } else {
            *d++ = '^';
          }
          *d++ = '{';
          continue;
        }
        if (c == '}') {
          if (depth > 0) --depth;
          else *d++ = '^';
          *d++ = '}';
          continue;
        }
        if (c == '"') {
          *d++ = '"';
          continue;
        }
        if (c == '^') {
          *d++ = '^';
          *d++ = '^';
          continue;
        }
      }
      int n = escape(c, true, all, d);
      if (n == 1) bits |= c;
      d += n;
    }
    w.commit(d, bits);
    w.flush();
  }
}

// The first '{' of [head, end) that no '}' closes, or end. Only that one matters: from there on
// every '{' is escaped. One backward pass finds it (brace_closes_q at each '{' would be quadratic).
template <u32 Unit>
i32 first_unclosed_brace(const std::byte* base, i32 head, i32 end) {
  i32 first = end, closers = 0;
  for (i32 i = end - 1; i >= head; --i) {
    i32 c = load<Unit>(base, i);
    if (c == '}') {
      ++closers;
    } else if (c == '{') {
      if (closers > 0) --closers;
      else first = i;
    }
  }
  return first;
}

}  // namespace

namespace {

i32 mold_text(const Cell* s_in, Cell* out, bool all, const Cell* part, i32 limit, bool braces_allowed) {
  Cell s = *s_in;
  RootCell keep(s);
  SeriesBuffer* b = buffer_of(&s);
  u32 unit = b->unit();
  u32 shift = unit_shift(unit);
  i32 total = static_cast<i32>((b->tail - b->head) >> shift);
  i32 head = std::clamp(head_index(&s), 0, total);
  i32 end = total;
  if (part && part->as_int() != 0) end = limit < 0 ? head : static_cast<i32>(std::min<i64>(i64{head} + limit, total));
  i32 count = end - head;

  const std::byte* base = b->head_ptr();
  i32 quotes = 0, lines = 0;
  count_quotes_and_lines(base + (static_cast<u32>(head) << shift), base + (static_cast<u32>(end) << shift), unit,
                         &quotes, &lines);
  bool braces = braces_allowed && (lines >= 3 || quotes > 0 || total - head >= 50);

  i32 first_unclosed = end;
  if (braces) {
    switch (unit) {
      case 1: first_unclosed = first_unclosed_brace<1>(base, head, end); break;
      case 2: first_unclosed = first_unclosed_brace<2>(base, head, end); break;
      default: first_unclosed = first_unclosed_brace<4>(base, head, end); break;
    }
  }

  Writer w(out);
  w.put(braces ? '{' : '"');
  i32 depth = 0;
  switch (unit) {
    case 1: mold_chars<1>(w, &s, head, end, braces, all, first_unclosed, depth); break;
    case 2: mold_chars<2>(w, &s, head, end, braces, all, first_unclosed, depth); break;
    default: mold_chars<4>(w, &s, head, end, braces, all, first_unclosed, depth); break;
  }
  w.put(braces ? '}' : '"');
  w.flush();
  return limit - count - 2;
}

}  // namespace

i32 mold(const Cell* s, Cell* out, bool, bool all, bool, const Cell* part, i32 limit, i32) {
  return mold_text(s, out, all, part, limit, true);
}

i32 mold_quoted(const Cell* s, Cell* out, bool all, const Cell* part, i32 limit) {
  return mold_text(s, out, all, part, limit, false);
}

i32 form_into(Cell* out, const Cell* value, i32 limit) { return actions::dispatch_form(value, out, nullptr, limit); }

}  // namespace kiv::string
