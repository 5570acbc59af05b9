// string! storage: units, widening, single-character access, copying text between strings, loading
// outside bytes, hexadecimal digits and the swap scratch area.
#include "datatypes/string.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datatypes/string_internal.h"
#include "runtime/float_text.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"
#include "runtime/unicode.h"

namespace kiv::string {

namespace {

// One exchange of swap_regions normally fits here; larger ones borrow a bigger area for their own
// duration only.
constexpr i32 scratch_default_size = 64 << 10;
std::byte* scratch = nullptr;
i32 scratch_size = 0;

void ensure_scratch() {
  if (!scratch) {
    scratch = static_cast<std::byte*>(sys::allocate(scratch_default_size));
    scratch_size = scratch_default_size;
  }
}

}  // namespace

[[noreturn]] void bad_unit() { sys::quit(sys::Fatal::no_switch); }

bool any_string_q(u32 t) {
  return t == type::string || t == type::file || t == type::url || t == type::tag || t == type::email ||
         t == type::ref;
}

// ---------------------------------------------------------------------------------------------
// Making and measuring
// ---------------------------------------------------------------------------------------------

Cell* make_at(Cell* out, i32 size) {
  Ref<Node> n = memory::alloc_series(size > 0 ? size : 1, 1, 0);
  out->header = type::string;
  out->w1 = 0;
  out->w2 = n.offset();
  out->w3 = 0;
  return out;
}

Cell* make_at_sized(Cell* out, i32 size, i32 unit) {
  if (unit != 1 && unit != 2 && unit != 4) bad_unit();
  Ref<Node> n = memory::alloc_string_buffer(size > 0 ? size : 0, unit);
  cell::set_type(out, type::string);
  out->w1 = 0;
  out->w2 = n.offset();
  out->w3 = 0;
  return out;
}

Cell* make_at(Cell* out, i32 size, i32 unit) {
  if (unit == 1) return make_at(out, size);
  make_at_sized(out, size, unit);
  out->header = type::string;
  return out;
}

Cell* push(const Cell* value) { return stack::push_value(value); }

i32 total_length(const Cell* s) {
  const SeriesBuffer* b = buffer_of(s);
  return static_cast<i32>((b->tail - b->head) >> unit_shift(b->unit()));
}

i32 length(Cell* s) {
  i32 total = total_length(s);
  i32 head = head_index(s);
  if (head > total) {
    set_head_index(s, total);
    return 0;
  }
  return head < 0 ? total : total - head;
}

std::byte* head_pointer(Cell* s) {
  SeriesBuffer* b = buffer_of(s);
  u32 shift = unit_shift(b->unit());
  i32 total = static_cast<i32>((b->tail - b->head) >> shift);
  i32 head = head_index(s);
  if (head > total) set_head_index(s, head = total);
  if (head < 0) head = 0;
  return b->head_ptr() + (static_cast<u32>(head) << shift);
}

std::byte* tail_pointer(const Cell* s) { return buffer_of(s)->tail_ptr(); }

bool at_tail_q(const Cell* s) {
  const SeriesBuffer* b = buffer_of(s);
  i64 head = head_index(s);
  return b->head + (head << unit_shift(b->unit())) >= b->tail;
}

i32 get_char(const std::byte* p, u32 unit) { return read_unit(p, unit); }

i32 char_at(const Cell* s, i32 index) {
  SeriesBuffer* b = buffer_of(s);
  u32 unit = b->unit();
  return read_unit(b->head_ptr() + (static_cast<u32>(index) << unit_shift(unit)), unit);
}

Cell* reset(Cell* s) {
  SeriesBuffer* b = buffer_of(s);
  b->flags = (b->flags & ~series_flag::unit_mask) | 1;
  b->tail = b->head;
  set_head_index(s, 0);
  return s;
}

i32 find_char(Cell* s, i32 cp) {
  i32 len = length(s);
  if (len <= 0) return -1;
  SeriesBuffer* b = buffer_of(s);
  u32 unit = b->unit();
  i32 head = std::max(head_index(s), 0);
  i32 needle[1] = {cp};
  i32 at = search::forward_any(b->head_ptr(), head, head + len, unit, needle, 1);
  return at < 0 ? -1 : at - head;
}

bool has_char_q(Cell* s, i32 cp, i32 step, bool case_sensitive) {
  i32 len = length(s);
  if (len <= 0) return false;
  if (step < 1) step = 1;
  SeriesBuffer* b = buffer_of(s);
  u32 unit = b->unit();
  u32 shift = unit_shift(unit);
  const std::byte* p = b->head_ptr() + (static_cast<u32>(std::max(head_index(s), 0)) << shift);
  if (!case_sensitive) cp = fold_upper(cp);
  for (i64 i = 0; i < len; i += step) {  // 64 bits: a step near 2^31 would wrap
    i32 c = read_unit(p + (static_cast<u32>(i) << shift), unit);
    if (!case_sensitive) c = fold_upper(c);
    if (c == cp) return true;
  }
  return false;
}

bool starts_with_q(Cell* s, const char* text) {
  i32 n = static_cast<i32>(std::strlen(text));
  if (length(s) < n) return false;
  const std::byte* p = head_pointer(s);
  u32 unit = buffer_of(s)->unit();
  u32 shift = unit_shift(unit);
  for (i32 i = 0; i < n; ++i)
    if (read_unit(p + (static_cast<u32>(i) << shift), unit) != static_cast<u8>(text[i])) return false;
  return true;
}

void cut_tail_at(SeriesBuffer* b, i32 n) {
  if (n < 0) return;
  u64 at = b->head + (u64{static_cast<u32>(n)} << unit_shift(b->unit()));
  if (at <= b->end_offset() && at < b->tail) b->tail = static_cast<u32>(at);
}

void remove_at(Cell* s, i32 index, i32 n) {
  SeriesBuffer* b = buffer_of(s);
  u32 shift = unit_shift(b->unit());
  i32 total = static_cast<i32>((b->tail - b->head) >> shift);
  if (index < 0 || index >= total || n <= 0) return;
  n = std::min(n, total - index);
  std::byte* at = b->head_ptr() + (static_cast<u32>(index) << shift);
  std::byte* from = at + (static_cast<u32>(n) << shift);
  std::memmove(at, from, static_cast<size_t>(b->tail_ptr() - from));
  b->tail -= static_cast<u32>(n) << shift;
}

// ---------------------------------------------------------------------------------------------
// Widening and single characters
// ---------------------------------------------------------------------------------------------

SeriesBuffer* widen_to(SeriesBuffer* b, u32 from_unit, u32 to_unit) {
  if (from_unit == to_unit) return b;
  if (from_unit == 1 && to_unit == 2) return unicode::widen_1_to_2(b);
  if (from_unit == 1 && to_unit == 4) return unicode::widen_1_to_4(b);
  if (from_unit == 2 && to_unit == 4) return unicode::widen_2_to_4(b);
  bad_unit();
}

SeriesBuffer* regrow_widened(SeriesBuffer* b, i32 new_size, u32 new_unit) {
  u32 unit = b->unit();
  const bool widens = (unit == 1 && (new_unit == 2 || new_unit == 4)) || (unit == 2 && new_unit == 4);
  if (!widens) sys::quit(sys::Fatal::no_case);
  // Grow first, then widen in the room just made: widening works backwards in place, so the move
  // and the conversion together touch each character twice and need no second buffer.
  i64 chars = (b->tail - b->head) >> unit_shift(unit);
  i64 needed = (chars + 1) * new_unit;
  i64 size = new_size > 0 ? new_size : i64{b->size} * 2;
  size = std::max(size, needed);
  if (size > i64{memory::max_data_size}) raise_error(ErrorCategory::internal, "no-memory");
  b = memory::expand_series(b, static_cast<i32>(size));
  return widen_to(b, unit, new_unit);
}

SeriesBuffer* append_char(SeriesBuffer* b, i32 cp) {
  u32 unit = b->unit();
  if ((unit == 1 && cp > 0x7F) || (unit == 2 && cp > 0xFFFF)) {
    b = widen_to(b, unit, cp > 0xFFFF ? 4 : 2);
    unit = b->unit();
  }
  if (u64{b->tail} + unit <= b->end_offset()) {
    write_unit(b->tail_ptr(), unit, cp);
    b->tail += unit;
    return b;
  }
  Ref<Node> node(b->node);
  RootNode keep(node);
  std::byte* at = cell::reserve_tail_bytes(b, unit);
  b = kiv::buffer_of(node);
  write_unit(at, unit, cp);
  return b;
}

Cell* append_char(Cell* s, i32 cp) {
  append_char(buffer_of(s), cp);
  return s;
}

SeriesBuffer* poke_char(SeriesBuffer* b, std::byte* at, i32 cp) {
  u32 unit = b->unit();
  u32 need = unit_for(cp);
  if (need > unit) {
    u32 offset = static_cast<u32>(at - b->head_ptr());
    b = widen_to(b, unit, need);
    at = b->head_ptr() + offset * (need / unit);
    unit = need;
  }
  write_unit(at, unit, cp);
  return b;
}

SeriesBuffer* poke_char_at(SeriesBuffer* b, i32 index, i32 cp) {
  u32 unit = b->unit();
  u32 need = unit_for(cp);
  if (need > unit) {
    b = widen_to(b, unit, need);
    unit = need;
  }
  write_unit(b->head_ptr() + (static_cast<u32>(index) << unit_shift(unit)), unit, cp);
  return b;
}

SeriesBuffer* put_char_at(SeriesBuffer* b, i32 index, i32 cp) {
  u32 unit = b->unit();
  u32 need = unit_for(cp);
  if (need > unit) {
    b = widen_to(b, unit, need);
    unit = need;
  }
  u32 shift = unit_shift(unit);
  u64 end = b->head + (u64{static_cast<u32>(index) + 1} << shift);
  while (end > b->end_offset()) {
    b = memory::expand_series(b, 0);
    end = b->head + (u64{static_cast<u32>(index) + 1} << shift);
  }
  write_unit(b->head_ptr() + (static_cast<u32>(index) << shift), unit, cp);
  if (end > b->tail) b->tail = static_cast<u32>(end);
  return b;
}

SeriesBuffer* insert_char_at(SeriesBuffer* b, i32 index, i32 cp) {
  u32 unit = b->unit();
  u32 need = unit_for(cp);
  if (need > unit) {
    b = widen_to(b, unit, need);
    unit = need;
  }
  if (u64{b->tail} + unit > b->end_offset()) b = memory::expand_series(b, 0);
  u32 shift = unit_shift(unit);
  std::byte* at = b->head_ptr() + (static_cast<u32>(index) << shift);
  if (at > b->tail_ptr()) at = b->tail_ptr();
  std::memmove(at + unit, at, static_cast<size_t>(b->tail_ptr() - at));
  b->tail += unit;
  write_unit(at, unit, cp);
  return b;
}

void move_chars(Cell* source, Cell* target, i32 run_bytes) {
  SeriesBuffer* sb = buffer_of(source);
  i32 n = run_bytes >> unit_shift(sb->unit());
  i32 from = std::max(head_index(source), 0);
  i32 to = std::clamp(head_index(target), 0, total_length(target));
  for (i32 i = 0; i < n; ++i) {
    i32 cp = char_at(source, from + i);
    insert_char_at(buffer_of(target), to + i, cp);
  }
  remove_at(source, from, n);
}

// ---------------------------------------------------------------------------------------------
// Appending text
// ---------------------------------------------------------------------------------------------

// Grows a buffer so that `needed` bytes of content fit: to twice that when possible.
SeriesBuffer* grow_for(SeriesBuffer* b, i64 needed) {
  if (needed > max_series_bytes) raise_error(ErrorCategory::internal, "no-memory");
  return memory::expand_series(b, static_cast<i32>(std::min(needed * 2, max_series_bytes)));
}

namespace {

// Makes room for n more characters of the given unit at the tail of s (widening first when the
// string is narrower); returns the address where they go. The tail is moved past them.
std::byte* reserve_chars(Cell* s, i32 n, u32 unit) {
  SeriesBuffer* b = buffer_of(s);
  if (b->unit() < unit) b = widen_to(b, b->unit(), unit);
  unit = b->unit();
  i64 bytes = i64{n} << unit_shift(unit);
  i64 used = b->tail - b->head;
  if (b->tail + bytes > b->end_offset()) b = grow_for(b, used + bytes);
  std::byte* at = b->tail_ptr();
  b->tail += static_cast<u32>(bytes);
  return at;
}

void write_latin1(std::byte* at, u32 unit, const u8* text, i32 n) {
  switch (unit) {
    case 1: std::memcpy(at, text, static_cast<size_t>(n)); break;
    case 2:
      for (i32 i = 0; i < n; ++i) write_unit(at + i * 2, 2, text[i]);
      break;
    case 4:
      for (i32 i = 0; i < n; ++i) write_unit(at + i * 4, 4, text[i]);
      break;
    default: bad_unit();
  }
}

}  // namespace

Cell* append_bytes(Cell* s, const char* text, i32 n) {
  if (n <= 0) return s;
  auto* t = reinterpret_cast<const u8*>(text);
  // Appending character by character would widen at the first byte above 127: do it once.
  u32 unit = 1;
  for (i32 i = 0; i < n; ++i)
    if (t[i] > 0x7F) {
      unit = 2;
      break;
    }
  std::byte* at = reserve_chars(s, n, unit);
  write_latin1(at, buffer_of(s)->unit(), t, n);
  return s;
}

Cell* append_c_string(Cell* s, const char* text) {
  return append_bytes(s, text, static_cast<i32>(std::strlen(text)));
}

namespace {

// The length of the run of ASCII bytes at p, eight at a time.
size_t ascii_prefix(const u8* p, const u8* end) {
  const u8* q = p;
  for (; end - q >= 8; q += 8) {
    u64 w;
    std::memcpy(&w, q, 8);
    if (w & 0x8080808080808080ull) break;
  }
  while (q < end && *q < 0x80) ++q;
  return static_cast<size_t>(q - p);
}

// One character of UTF-8 at p: a malformed or cut sequence gives U+FFFD and consumes its valid
// prefix (one byte at least), a code point past U+10FFFF gives U+FFFD.
inline i32 decode_lenient(const u8*& p, const u8* end) {
  const u8 c = *p;
  i32 len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (len == 0 || end - p < len) {
    ++p;
    return 0xFFFD;
  }
  i32 cp = len == 1 ? c : c & (0x7F >> len);
  for (i32 i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      p += i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  p += len;
  return cp > unicode::max_code_point ? 0xFFFD : cp;
}

// Decodes [p, end) into units of `unit` bytes at `at`; answers the characters written.
template <u32 unit>
i32 decode_into(std::byte* at, const u8* p, const u8* end) {
  std::byte* o = at;
  while (p < end) {
    if (*p < 0x80) {
      const size_t run = ascii_prefix(p, end);
      for (size_t i = 0; i < run; ++i, o += unit) write_unit(o, unit, p[i]);
      p += run;
      continue;
    }
    write_unit(o, unit, decode_lenient(p, end));
    o += unit;
  }
  return static_cast<i32>((o - at) / unit);
}

}  // namespace

Cell* append_utf8(Cell* s, std::string_view utf8) {
  auto* p = reinterpret_cast<const u8*>(utf8.data());
  auto* end = p + utf8.size();
  const size_t ascii = ascii_prefix(p, end);
  if (ascii == utf8.size()) {  // plain ASCII: one block
    if (!utf8.empty()) {
      std::byte* at = reserve_chars(s, static_cast<i32>(utf8.size()), 1);
      write_latin1(at, buffer_of(s)->unit(), p, static_cast<i32>(utf8.size()));
    }
    return s;
  }
  // Beyond ASCII the text needs 2-byte units at least, and 4 only when a lead byte of a 4-byte
  // sequence appears: room for one character per byte is reserved, and the tail set back after.
  const bool wide = std::any_of(p + ascii, end, [](u8 c) { return c >= 0xF0; });
  const i32 bytes = static_cast<i32>(utf8.size());
  if (wide) {
    while (p < end) append_char(buffer_of(s), decode_lenient(p, end));
    return s;
  }
  std::byte* at = reserve_chars(s, bytes, 2);
  SeriesBuffer* b = buffer_of(s);
  const i32 n = b->unit() == 2 ? decode_into<2>(at, p, end) : decode_into<4>(at, p, end);
  b->tail -= static_cast<u32>(bytes - n) * b->unit();
  return s;
}

namespace {

// The text cell behind a source or target: a symbol! is read through its name string.
const Cell* text_cell(const Cell* v, Cell* tmp) {
  if (v->type() == type::symbol) {
    if (!hooks::symbol_name) raise_error(ErrorCategory::internal, "not-done");
    *tmp = *hooks::symbol_name(v);
    tmp->w1 = 0;
    return tmp;
  }
  return v;
}

}  // namespace

void concatenate(Cell* target, const Cell* source_in, i32 part, bool keep, i32 mode) {
  // The source may lie in a buffer that an allocation below moves: work on a rooted copy.
  Cell source = *source_in;
  RootCell keep_source(source);
  if (source.type() == type::symbol) source = *text_cell(source_in, &source);
  Cell tgt_sym{type::unset, 0, 0, 0};
  RootCell keep_tgt(tgt_sym);
  Cell* tgt = target;
  if (target->type() == type::symbol) {
    tgt_sym = *text_cell(target, &tgt_sym);
    tgt = &tgt_sym;
  }
  bool same = node_of(tgt) == node_of(&source);

  SeriesBuffer* tb = buffer_of(tgt);
  SeriesBuffer* sb = buffer_of(&source);
  u32 ut = tb->unit(), us = sb->unit();
  if (ut < us) {
    widen_to(tb, ut, us);
    ut = us;
  } else if (ut > us && !keep) {
    widen_to(sb, us, ut);
    us = ut;
  }
  sb = buffer_of(&source);
  u32 s_shift = unit_shift(us);
  i32 s_total = static_cast<i32>((sb->tail - sb->head) >> s_shift);
  i32 s_head = std::clamp(head_index(&source), 0, s_total);
  i32 n = s_total - s_head;
  if (part >= 0 && part < n) n = part;
  u32 t_shift = unit_shift(ut);
  i64 bytes = i64{n} << t_shift;
  if (bytes <= 0) return;

  tb = buffer_of(tgt);
  i64 used = tb->tail - tb->head;
  if (tb->head + used + bytes > tb->end_offset()) tb = grow_for(tb, used + bytes);
  sb = buffer_of(&source);

  i32 t_total = static_cast<i32>(used >> t_shift);
  i32 t_head = std::clamp(head_index(tgt), 0, t_total);
  std::byte* t_at = mode == 0 ? tb->tail_ptr() : tb->head_ptr() + (static_cast<u32>(t_head) << t_shift);
  const std::byte* s_at = sb->head_ptr() + (static_cast<u32>(s_head) << s_shift);

  std::vector<std::byte> self_copy;
  if (mode == 1) {
    if (same) {  // opening the gap shifts the source too: take it aside first
      self_copy.assign(s_at, s_at + bytes);
      s_at = self_copy.data();
    }
    std::memmove(t_at + bytes, t_at, static_cast<size_t>(tb->tail_ptr() - t_at));
  }
  if (us != ut) {
    for (i32 i = 0; i < n; ++i)
      write_unit(t_at + (static_cast<u32>(i) << t_shift), ut, read_unit(s_at + (static_cast<u32>(i) << s_shift), us));
  } else {
    std::memmove(t_at, s_at, static_cast<size_t>(bytes));
  }
  tb->tail += static_cast<u32>(bytes);
}

void swap_regions(std::byte* base, i32 a, std::byte* second, i32 b, i32 gap) {
  ensure_scratch();
  i32 saved = a > b ? b : a;
  bool borrowed = saved > scratch_size;
  if (borrowed) {
    scratch = static_cast<std::byte*>(sys::resize(scratch, saved));
    scratch_size = saved;
  }
  if (a > b) {
    std::memcpy(scratch, second, static_cast<size_t>(b));
    std::memmove(base + b + gap, base, static_cast<size_t>(a));
    std::memcpy(base, scratch, static_cast<size_t>(b));
  } else {
    std::memcpy(scratch, base, static_cast<size_t>(a));
    std::memmove(base, second, static_cast<size_t>(b));
    std::memcpy(base + b + gap, scratch, static_cast<size_t>(a));
  }
  if (borrowed) {
    scratch = static_cast<std::byte*>(sys::resize(scratch, scratch_default_size));
    scratch_size = scratch_default_size;
  }
}

// ---------------------------------------------------------------------------------------------
// Loading external bytes
// ---------------------------------------------------------------------------------------------

Cell* load_buffer(const std::byte* bytes, i32 length, Cell* target, i32 encoding) {
  Cell* c = target ? target : stack::push_cell();
  c->header = type::unset;
  c->w1 = c->w2 = c->w3 = 0;
  Ref<Node> node;
  switch (encoding) {
    case 0: node = unicode::load_utf8_new(reinterpret_cast<const u8*>(bytes), length); break;
    case -1: {
      // The bytes need not be 16-bit aligned.
      std::vector<u16> units(static_cast<size_t>(std::max(length, 0)));
      if (length > 0) std::memcpy(units.data(), bytes, units.size() * 2);
      node = unicode::load_utf16(units.data(), length, nullptr, false);
      break;
    }
    default:
      // A caller asking for an encoding nobody decodes is a fault of the program: stop, and say so
      // to whoever runs it (a zero status would read as success).
      sys::write_line("*** Loading Error: input encoding unsupported");
      sys::exit_process(load_error_status);
  }
  c->header = type::string;
  c->w2 = node.offset();
  return c;
}

Cell* load_into_block(const std::byte* bytes, i32 length, Cell* block, i32 encoding) {
  Cell tmp{type::unset, 0, 0, 0};
  RootCell keep(tmp);
  load_buffer(bytes, length, &tmp, encoding);
  SeriesBuffer* b = kiv::buffer_of(Ref<Node>(block->w2));
  Cell* slot = cell::reserve_tail_cell(b);
  *slot = tmp;
  return slot;
}

Cell* load_push(const std::byte* bytes, i32 length, i32 encoding) {
  return load_buffer(bytes, length, nullptr, encoding);
}

Cell* make_from_utf8(Cell* out, std::string_view utf8) {
  return load_buffer(reinterpret_cast<const std::byte*>(utf8.data()), static_cast<i32>(utf8.size()), out, 0);
}

namespace {

// Encodes the units [p, end) as UTF-8 at o; answers the end of what was written.
template <u32 unit>
char* encode_units(const std::byte* p, const std::byte* end, char* o) {
  while (p < end) {
    if constexpr (unit == 1) {
      const size_t run = ascii_prefix(reinterpret_cast<const u8*>(p), reinterpret_cast<const u8*>(end));
      std::memcpy(o, p, run);
      o += run;
      p += run;
      if (p == end) break;
    }
    const i32 cp = read_unit(p, unit);
    p += unit;
    if (cp < 0x80) {
      *o++ = static_cast<char>(cp);
    } else if (unit == 1 || cp < 0x800) {
      *o++ = static_cast<char>(0xC0 | cp >> 6);
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      o += unicode::encode_utf8(cp, reinterpret_cast<u8*>(o));
    }
  }
  return o;
}

}  // namespace

std::string to_utf8(const Cell* s) {
  const SeriesBuffer* b = buffer_of(s);
  const u32 unit = b->unit();
  const u32 shift = unit_shift(unit);
  const i32 total = static_cast<i32>((b->tail - b->head) >> shift);
  const i32 head = std::clamp(head_index(s), 0, total);
  const std::byte* from = arena::at(b->head) + (static_cast<u32>(head) << shift);
  const std::byte* to = arena::at(b->tail);
  std::string out(static_cast<size_t>(unicode::utf8_length_of_range(from, to, unit)), '\0');
  char* o = out.data();
  switch (unit) {
    case 1: o = encode_units<1>(from, to, o); break;
    case 2: o = encode_units<2>(from, to, o); break;
    default: o = encode_units<4>(from, to, o); break;
  }
  KIV_ASSERT(o == out.data() + out.size(), "the UTF-8 length was measured wrong");
  return out;
}

std::u32string to_u32(const Cell* s) {
  const SeriesBuffer* b = buffer_of(s);
  u32 unit = b->unit();
  u32 shift = unit_shift(unit);
  i32 total = static_cast<i32>((b->tail - b->head) >> shift);
  i32 head = std::clamp(head_index(s), 0, total);
  std::u32string out;
  const std::byte* p = arena::at(b->head);
  for (i32 i = head; i < total; ++i)
    out.push_back(static_cast<char32_t>(read_unit(p + (static_cast<u32>(i) << shift), unit)));
  return out;
}

double to_float(const std::byte* text, i32 length, i32* status) {
  int st = 0;
  auto* p = reinterpret_cast<const char*>(text);
  double d = float_text::parse_decimal(p, p + length, 0, st);
  if (status) *status = st;
  return d;
}

const char* byte_to_hex(i32 value) {
  static char area[3];
  static constexpr char digits[] = "0123456789ABCDEF";
  area[0] = digits[(value >> 4) & 15];
  area[1] = digits[value & 15];
  area[2] = 0;
  return area;
}

const char* int_to_hex(i32 value, bool trim) {
  static char area[9];
  static constexpr char digits[] = "0123456789ABCDEF";
  u32 v = static_cast<u32>(value);
  for (int i = 7; i >= 0; --i, v >>= 4) area[i] = digits[v & 15];
  area[8] = 0;
  if (!trim) return area;
  if (value == 0) return "00";
  const char* p = area;
  while (*p == '0') ++p;
  return p;
}

void init_storage() { ensure_scratch(); }

}  // namespace kiv::string
