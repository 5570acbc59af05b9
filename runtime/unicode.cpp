// Unicode: UTF-8 and UTF-16 decoding and encoding, string unit widths, widening in place, loading
// outside text into string series and converting string values for the outside world.
#include "runtime/unicode.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "runtime/roots.h"
#include "runtime/sys.h"

namespace kiv::unicode {

namespace {

// ---- the table-driven decoder ----
// A deterministic automaton over byte classes: states are multiples of 12 (0 accept, 12 reject),
// so one lookup gives a byte's class and one more the next state. It accepts exactly well-formed
// UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.

constexpr u8 class_of(u32 b) {
  if (b < 0x80) return 0;
  if (b < 0x90) return 1;
  if (b < 0xA0) return 9;
  if (b < 0xC0) return 7;
  if (b < 0xC2) return 8;
  if (b < 0xE0) return 2;
  if (b == 0xE0) return 10;
  if (b == 0xED) return 4;
  if (b < 0xF0) return 3;
  if (b == 0xF0) return 11;
  if (b < 0xF4) return 6;
  if (b == 0xF4) return 5;
  return 8;
}

constexpr u8 transitions[108] = {
    0,  12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72,  // 0: accept
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 12: reject
    12, 0,  12, 12, 12, 12, 12, 0,  12, 0,  12, 12,  // 24: one continuation byte to go
    12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,  // 36: two to go
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12,  // 48: after E0, A0-BF
    12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,  // 60: after ED, 80-9F
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,  // 72: after F0, 90-BF
    12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,  // 84: after F1-F3
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 96: after F4, 80-8F
};

constexpr std::array<u8, 364> make_decoder_table() {
  std::array<u8, 364> t{};
  for (u32 b = 0; b < 256; ++b) t[b] = class_of(b);
  for (u32 i = 0; i < 108; ++i) t[256 + i] = transitions[i];
  return t;
}

constexpr std::array<u8, 364> decoder = make_decoder_table();
constexpr u32 accept = 0;
constexpr u32 reject = 12;

constexpr u64 high_bits = 0x8080808080808080ull;
constexpr u64 ones = 0x0101010101010101ull;

inline u64 load64(const void* p) {
  u64 w;
  std::memcpy(&w, p, 8);
  return w;
}

// Non-zero when some byte of w is 0x0D (valid for words whose bytes are all below 0x80).
inline u64 has_cr(u64 w) {
  u64 x = w ^ (ones * 0x0D);
  return (x - ones) & ~x & high_bits;
}

// The same automaton, bounded: a sequence cut by end counts as one invalid sequence ending there,
// as it would if the byte at end could not continue it.
inline const u8* next_bounded(const u8* p, const u8* end) {
  u32 type = decoder[*p++];
  u32 state = decoder[256 + type];
  while (state != accept) {
    if (state == reject || p >= end) return p;
    state = decoder[256 + state + decoder[*p++]];
  }
  return p;
}

[[noreturn]] void bad_unit() { sys::quit(sys::Fatal::no_switch); }

inline u32 read_unit(const std::byte* p, u32 unit) {
  switch (unit) {
    case 1: return static_cast<u8>(*p);
    case 2: { u16 v; std::memcpy(&v, p, 2); return v; }
    case 4: { u32 v; std::memcpy(&v, p, 4); return v; }
    default: bad_unit();
  }
}

inline void write_unit(std::byte* p, u32 unit, u32 cp) {
  switch (unit) {
    case 1: *p = static_cast<std::byte>(cp); break;
    case 2: { u16 v = static_cast<u16>(cp); std::memcpy(p, &v, 2); break; }
    case 4: std::memcpy(p, &cp, 4); break;
    default: bad_unit();
  }
}

[[noreturn]] void raise_invalid_char(i32 cp) {
  raise_error(ErrorCategory::script, "invalid-char", Cell{type::integer, 0, static_cast<u32>(cp), 0});
}

[[noreturn]] void raise_invalid_utf8(const u8* p, i32 available) {
  // The bytes are copied out first: the allocation may move the buffer they lie in.
  u8 bytes[4];
  i32 n = std::clamp(available, 0, 4);
  std::memcpy(bytes, p, static_cast<size_t>(n));
  Ref<Node> node = memory::alloc_bytes(n);
  SeriesBuffer* b = buffer_of(node);
  std::memcpy(b->head_ptr(), bytes, static_cast<size_t>(n));
  b->tail = b->head + static_cast<u32>(n);
  raise_error(ErrorCategory::access, "invalid-utf8", Cell{type::binary, 0, node.offset(), 0});
}

// Registers a source pointer that lies in a series buffer, so that a collection run by a growing
// target moves it along with its buffer.
class SourceRoot {
  static constexpr u32 none = ~0u;
  u32 index_ = none;

 public:
  explicit SourceRoot(const u8*& p) {
    if (p && arena::contains(p)) index_ = roots::push(&p, roots::Kind::interior);
  }
  ~SourceRoot() {
    if (index_ != none) roots::pop(index_);
  }
  SourceRoot(const SourceRoot&) = delete;
  SourceRoot& operator=(const SourceRoot&) = delete;
};

// Writes characters at the start of a string buffer, widening it (0-255 stay in unit 1) and
// growing it as needed. The node is rooted for the writer's life; `b` is always current.
class Writer {
 public:
  Ref<Node> node;
  SeriesBuffer* b;
  std::byte* data;  // the buffer's first character
  u32 unit;
  u32 capacity;     // characters the buffer holds
  u32 n = 0;        // characters written
  u32 grow2, grow4; // bytes added when a buffer of unit 2 (of unit 4) is full

 private:
  RootNode root_;

  void refresh() {
    unit = b->unit();
    if (unit != 1 && unit != 2 && unit != 4) bad_unit();
    data = b->head_ptr();
    capacity = (b->end_offset() - b->head) / unit;
  }

 public:
  Writer(Ref<Node> series, u64 grow_unit2, u64 grow_unit4) : node(series), root_(node) {
    b = buffer_of(node);
    b->tail = b->head;
    grow2 = static_cast<u32>(std::clamp<u64>(grow_unit2, 16, 1u << 30));
    grow4 = static_cast<u32>(std::clamp<u64>(grow_unit4, 16, 1u << 30));
    refresh();
  }

  std::byte* at(u32 i) const { return data + static_cast<size_t>(i) * unit; }
  void finish() { b->tail = b->head + n * unit; }

  void widen(u32 to) {
    finish();
    b = to == 2 ? widen_1_to_2(b) : unit == 1 ? widen_1_to_4(b) : widen_2_to_4(b);
    refresh();
  }

  void grow(u32 extra_bytes) {
    finish();
    u64 size = u64{b->size} + extra_bytes;
    b = memory::expand_series(b, static_cast<i32>(std::min<u64>(size, 0x7FFFFFF0) & ~u64{3}));
    refresh();
  }

  void put(u32 cp) {
    if (n < capacity) {
      if (unit == 1) {
        if (cp <= 0xFF) {
          data[n++] = static_cast<std::byte>(cp);
          return;
        }
      } else if (unit == 2) {
        if (cp <= 0xFFFF) {
          u16 v = static_cast<u16>(cp);
          std::memcpy(data + size_t{n++} * 2, &v, 2);
          return;
        }
      } else {
        std::memcpy(data + size_t{n++} * 4, &cp, 4);
        return;
      }
    }
    put_slow(cp);
  }

  void put_slow(u32 cp) {
    if (cp > 0xFF && unit < 4) {
      if (cp > 0xFFFF) widen(4);
      else if (unit == 1) widen(2);
    }
    if (n >= capacity) grow(unit == 4 ? grow4 : grow2);
    write_unit(at(n), unit, cp);
    ++n;
  }
};

inline u32 head_index_clipped(Cell* s, SeriesBuffer* b) {
  u32 total = b->used_bytes() / b->unit();
  i32 head = static_cast<i32>(s->w1);
  if (head < 0) head = 0;
  if (static_cast<u32>(head) > total) {
    s->w1 = total;
    return total;
  }
  return static_cast<u32>(head);
}

inline SeriesBuffer* string_buffer(const Cell* s) { return buffer_of(Ref<Node>(s->w2)); }

// Characters from the head of a string value (0 when the head is past the tail).
inline u32 length_from_head(const Cell* s) {
  SeriesBuffer* b = string_buffer(s);
  u32 total = b->used_bytes() / b->unit();
  i32 head = static_cast<i32>(s->w1);
  if (head < 0) head = 0;
  return static_cast<u32>(head) >= total ? 0 : total - static_cast<u32>(head);
}

inline const std::byte* head_address(const Cell* s) {
  SeriesBuffer* b = string_buffer(s);
  i32 head = std::max<i32>(static_cast<i32>(s->w1), 0);
  return b->head_ptr() + static_cast<size_t>(head) * b->unit();
}

// Characters to convert: the length from the head, lowered to `limit` when that is not negative.
inline u32 convert_count(Cell* s, i32 limit) {
  head_index_clipped(s, string_buffer(s));
  u32 n = length_from_head(s);
  if (limit >= 0 && static_cast<u32>(limit) < n) n = static_cast<u32>(limit);
  return n;
}

inline i32 clamp_size(u64 bytes) {
  return bytes > 0x7FFFFFF0 ? 0x7FFFFFF0 : static_cast<i32>(bytes);
}

}  // namespace

const u16 cp1251_high[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// ---- decoding ----

const u8* decode_utf8_sequence(const u8* p, i32& cp) {
  u32 byte = *p++;
  u32 type = decoder[byte];
  u32 code = (0xFFu >> type) & byte;
  u32 state = decoder[256 + type];
  while (state != accept) {
    if (state == reject) {
      cp = -1;
      return p;
    }
    byte = *p++;
    code = (byte & 0x3Fu) | (code << 6);
    state = decoder[256 + state + decoder[byte]];
  }
  cp = static_cast<i32>(code);
  return p;
}

i32 count_codepoints(const u8* start, const u8* end) {
  i32 n = 0;
  const u8* p = start;
  while (p < end) {
    while (end - p >= 8 && !(load64(p) & high_bits)) {
      p += 8;
      n += 8;
    }
    if (p >= end) break;
    p = *p < 0x80 ? p + 1 : next_bounded(p, end);
    ++n;
  }
  return n;
}

const u8* skip_codepoints(const u8* start, const u8* end, i32 n) {
  const u8* p = start;
  while (n > 0 && p < end) {
    if (n >= 8 && end - p >= 8 && !(load64(p) & high_bits)) {
      p += 8;
      n -= 8;
      continue;
    }
    p = *p < 0x80 ? p + 1 : next_bounded(p, end);
    --n;
  }
  return p;
}

i32 utf8_sequence_length(u8 lead) {
  if ((lead & 0xF0) == 0xF0) return 4;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xC0) == 0xC0) return 2;
  return 0;
}

i32 decode_utf8_char(const u8* p, i32& count) {
  u32 b = p[0];
  if (b < 0x80) {
    count = 1;
    return static_cast<i32>(b);
  }
  i32 available = count;
  i32 need = b < 0xC0 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : 0;
  if (need == 0) raise_invalid_utf8(p, available);
  if (available < need) {
    count = 0;
    return -1;
  }
  // 0xFFFE stands for "invalid", so the well-formed U+FFFE is refused as well.
  u32 cp = b & (0x7Fu >> need);
  for (i32 i = 1; i < need; ++i) {
    u32 c = p[i];
    if ((c & 0xC0) != 0x80) raise_invalid_utf8(p, available);
    cp = (cp << 6) | (c & 0x3F);
  }
  if ((need == 3 && cp >= 0xDC00 && cp <= 0xDCFF) || (need == 4 && cp > 0x10FFFF) || cp == 0xFFFE)
    raise_invalid_utf8(p, available);
  count = need;
  return static_cast<i32>(cp);
}

// ---- lengths and encoders ----

i32 utf8_length_of(i32 cp) {
  u32 c = static_cast<u32>(cp);
  if (c <= 0x7F) return 1;
  if (c <= 0x7FF) return 2;
  if (c <= 0xFFFF) return 3;
  if (c <= 0x10FFFF) return 4;
  raise_invalid_char(cp);
}

i32 utf8_length_of_range(const std::byte* start, const std::byte* end, u32 unit) {
  i64 n = 0;
  switch (unit) {
    case 1:
      for (const std::byte* p = start; p < end; ++p) n += 1 + (static_cast<u8>(*p) >> 7);
      break;
    case 2:
      for (const std::byte* p = start; p < end; p += 2) {
        u32 c = read_unit(p, 2);
        n += c <= 0x7F ? 1 : c <= 0x7FF ? 2 : 3;
      }
      break;
    case 4:
      for (const std::byte* p = start; p < end; p += 4) n += utf8_length_of(static_cast<i32>(read_unit(p, 4)));
      break;
    default:
      bad_unit();
  }
  return static_cast<i32>(n);
}

i32 encode_utf8(i32 cp, u8* out) {
  u32 c = static_cast<u32>(cp);
  if (c <= 0x7F) {
    out[0] = static_cast<u8>(c);
    return 1;
  }
  if (c <= 0x7FF) {
    out[0] = static_cast<u8>(0xC0 | (c >> 6));
    out[1] = static_cast<u8>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c <= 0xFFFF) {
    out[0] = static_cast<u8>(0xE0 | (c >> 12));
    out[1] = static_cast<u8>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<u8>(0x80 | (c & 0x3F));
    return 3;
  }
  if (c <= 0x10FFFF) {
    out[0] = static_cast<u8>(0xF0 | (c >> 18));
    out[1] = static_cast<u8>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<u8>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<u8>(0x80 | (c & 0x3F));
    return 4;
  }
  raise_invalid_char(cp);
}

i32 encode_utf8_bounded(i32 cp, u8* out, i32 capacity) {
  u8 seq[4];
  i32 n = encode_utf8(cp, seq);
  if (capacity < n) n = std::max(capacity, 0);
  std::memcpy(out, seq, static_cast<size_t>(n));
  return n;
}

i32 encode_utf16(i32 cp, u16* out) {
  u32 c = static_cast<u32>(cp);
  if (c < 0x10000) {
    out[0] = static_cast<u16>(c);
    return 1;
  }
  if (c <= 0x10FFFF) {
    out[0] = static_cast<u16>(0xD800 + ((c - 0x10000) >> 10));
    out[1] = static_cast<u16>(0xDC00 + (c & 0x3FF));
    return 2;
  }
  return 0;
}

void ascii_to_utf16(const char* text, u16* out) {
  while (*text) *out++ = static_cast<u8>(*text++);
  *out = 0;
}

// ---- widening ----

namespace {

// Rewrites the characters in the wider unit from the last to the first, so that none is
// overwritten before it is read; the buffer keeps room for one more character.
template <class From, class To>
SeriesBuffer* widen(SeriesBuffer* b) {
  u32 chars = b->used_bytes() / sizeof(From);
  u64 need = u64{chars} * sizeof(To) + sizeof(To);
  if (b->end_offset() - b->head < need) {
    b->tail = b->head + chars * sizeof(From);
    b = memory::expand_series(b, clamp_size((need + 15) & ~u64{15}));
  }
  std::byte* start = b->head_ptr();
  for (u32 i = chars; i-- > 0;) {
    From v;
    std::memcpy(&v, start + size_t{i} * sizeof(From), sizeof(From));
    To w = v;
    std::memcpy(start + size_t{i} * sizeof(To), &w, sizeof(To));
  }
  b->tail = b->head + chars * static_cast<u32>(sizeof(To));
  b->flags = (b->flags & ~series_flag::unit_mask) | static_cast<u32>(sizeof(To));
  return b;
}

}  // namespace

SeriesBuffer* widen_1_to_2(SeriesBuffer* b) { return widen<u8, u16>(b); }
SeriesBuffer* widen_1_to_4(SeriesBuffer* b) { return widen<u8, u32>(b); }
SeriesBuffer* widen_2_to_4(SeriesBuffer* b) { return widen<u16, u32>(b); }

// ---- loading ----

Ref<Node> load_utf8(const u8* bytes, i32 count, SeriesBuffer* target, i32* unconsumed, bool crlf) {
  if (count < 0) count = 0;
  u32 capacity = count ? static_cast<u32>(count) : 1;
  SourceRoot keep_source(bytes);
  Ref<Node> node;
  if (target) {
    node = Ref<Node>(target->node);
    u32 unit = target->unit();
    target->tail = target->head;
    if ((target->end_offset() - target->head) / unit < capacity)
      memory::expand_series(target, clamp_size(u64{capacity} * unit));
  } else {
    node = memory::alloc_string_buffer(static_cast<i32>(capacity), 1);
  }
  Writer w(node, u64{static_cast<u32>(count)} / 4, static_cast<u32>(count));

  const u8* p = bytes;
  i32 remaining = count;
  if (remaining >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
    p += 3;
    remaining -= 3;
  }
  SourceRoot keep_cursor(p);
  while (remaining > 0) {
    // ASCII runs go eight bytes at a time while the buffer still has its first unit.
    if (w.unit == 1) {
      std::byte* out = w.at(w.n);
      u32 room = w.capacity - w.n;
      u32 copied = 0;
      while (remaining >= 8 && room - copied >= 8) {
        u64 word = load64(p);
        if ((word & high_bits) || (crlf && has_cr(word))) break;
        std::memcpy(out + copied, &word, 8);
        copied += 8;
        p += 8;
        remaining -= 8;
      }
      w.n += copied;
      if (remaining == 0) break;
    }
    u32 cp = *p;
    i32 used = 1;
    if (cp >= 0xC0 && cp < 0xE0 && remaining >= 2 && (p[1] & 0xC0) == 0x80) {
      cp = ((cp & 0x1F) << 6) | (p[1] & 0x3Fu);  // two bytes, as the strict decoder reads them
      used = 2;
    } else if (cp >= 0x80) {
      used = remaining;
      i32 c = decode_utf8_char(p, used);
      if (c < 0) break;
      cp = static_cast<u32>(c);
    }
    p += used;
    remaining -= used;
    if (cp == '\r' && crlf) {
      if (remaining > 0 && *p == '\n') continue;
      cp = '\n';
    }
    w.put(cp);
  }
  w.finish();
  if (unconsumed) *unconsumed = remaining;
  return w.node;
}

Ref<Node> load_utf8_into(const u8* bytes, i32 count, Cell* target, i32* unconsumed) {
  return load_utf8(bytes, count, string_buffer(target), unconsumed, false);
}

Ref<Node> load_utf8_new(const u8* bytes, i32 count) { return load_utf8(bytes, count, nullptr, nullptr, false); }

u32 utf16_unit_width(const u16* units, i32 count) {
  u32 width = 1;
  for (i32 i = 0; i < count; ++i) {
    u32 high = units[i] >> 8;
    if (high >= 0xD8 && high <= 0xDF) return 4;
    if (high) width = 2;
  }
  return width;
}

namespace {

const u8* work_buffer_data(const Cell* s) {
  if (!s || !s->w3) return nullptr;
  return reinterpret_cast<const u8*>(buffer_of(Ref<Node>(s->w3))->data());
}

}  // namespace

Ref<Node> load_utf16(const u16* units, i32 count, Cell* target, bool crlf) {
  if (count < 0) count = 0;
  const u8* source = units ? reinterpret_cast<const u8*>(units) : work_buffer_data(target);
  if (!source) count = 0;
  u32 unit = count ? utf16_unit_width(reinterpret_cast<const u16*>(source), count) : 2;

  SourceRoot keep_source(source);
  Ref<Node> node;
  if (target) {
    node = Ref<Node>(target->w2);
    SeriesBuffer* b = buffer_of(node);
    b->tail = b->head;
    if (b->end_offset() - b->head < u64{static_cast<u32>(count)} * unit)
      b = memory::expand_series(b, clamp_size(u64{static_cast<u32>(count)} * unit));
    b->flags = (b->flags & ~series_flag::unit_mask) | unit;
  } else {
    node = memory::alloc_string_buffer(count ? count : 1, static_cast<i32>(unit));
  }
  SeriesBuffer* b = buffer_of(node);
  std::byte* out = b->head_ptr();
  u32 n = 0;
  auto unit_at = [source](i32 i) {
    u16 v;
    std::memcpy(&v, source + 2 * i, 2);
    return static_cast<u32>(v);
  };
  for (i32 i = 0; i < count; ++i) {
    u32 c = unit_at(i);
    if (c == '\r' && crlf) continue;
    if (unit == 4 && c >= 0xD800 && c <= 0xDBFF) {
      // A high surrogate without its low half cannot be represented; it becomes U+FFFD.
      u32 low = i + 1 < count ? unit_at(i + 1) : 0;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + (((c & 0x3FF) << 10) | (low & 0x3FF));
        ++i;
      } else {
        c = 0xFFFD;
      }
    }
    write_unit(out + size_t{n} * unit, unit, c);
    ++n;
  }
  b->tail = b->head + n * unit;
  return node;
}

Ref<Node> load_cp1251(const u8* bytes, i32 count, Cell* target, bool crlf) {
  if (count < 0) count = 0;
  const u8* source = bytes ? bytes : work_buffer_data(target);
  if (!source) count = 0;
  SourceRoot keep_source(source);
  Ref<Node> node = target ? Ref<Node>(target->w2) : memory::alloc_string_buffer(count ? count : 1, 1);
  Writer w(node, u64{static_cast<u32>(count)} * 2, u64{static_cast<u32>(count)} * 4);
  for (i32 i = 0; i < count; ++i) {
    u32 c = source[i];
    if (c >= 0x80) {
      c = cp1251_high[c - 0x80];
    } else if (c == '\r' && crlf) {
      if (i + 1 < count && source[i + 1] == '\n') continue;
      c = '\n';
    }
    w.put(c);
  }
  w.finish();
  return w.node;
}

// ---- converting string values ----

std::byte* reserve_work_buffer(Cell* s, i32 bytes) {
  if (bytes < 1) bytes = 1;
  Ref<Node> work(s->w3);
  if (!work) {
    work = memory::alloc_bytes(bytes);
    s->w3 = work.offset();
  } else {
    SeriesBuffer* b = buffer_of(work);
    if (b->size < static_cast<u32>(bytes)) {
      b->tail = b->head;  // the old text need not be kept
      memory::expand_series(b, bytes);
    }
  }
  return buffer_of(work)->data();
}

namespace {

template <class T>
inline u32 load_char(const std::byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// Encodes n characters of unit T as UTF-8 (an LF as CR LF with crlf); returns the end.
template <class T>
u8* encode_run(const std::byte* src, u32 n, u8* o, bool crlf) {
  u32 i = 0;
  if constexpr (sizeof(T) == 1) {
    while (n - i >= 8) {
      u64 word = load64(src + i);
      u64 lf = word ^ (ones * 0x0A);
      if ((word & high_bits) || (crlf && ((lf - ones) & ~lf & high_bits))) break;
      std::memcpy(o, &word, 8);
      o += 8;
      i += 8;
    }
  }
  for (; i < n; ++i) {
    u32 c = load_char<T>(src + size_t{i} * sizeof(T));
    if (c < 0x80) {
      if (c == '\n' && crlf) *o++ = '\r';
      *o++ = static_cast<u8>(c);
    } else {
      o += encode_utf8(static_cast<i32>(c), o);
    }
  }
  return o;
}

u8* encode_chars(const std::byte* src, u32 n, u32 unit, u8* o, bool crlf) {
  switch (unit) {
    case 1: return encode_run<u8>(src, n, o, crlf);
    case 2: return encode_run<u16>(src, n, o, crlf);
    case 4: return encode_run<u32>(src, n, o, crlf);
    default: bad_unit();
  }
}

char* to_utf8_with(Cell* s, i32& length, bool crlf) {
  u32 n = convert_count(s, length);
  u32 unit = string_buffer(s)->unit();
  u32 worst = unit == 1 ? 2 : unit == 2 ? 3 : 4;
  auto* out = reinterpret_cast<u8*>(reserve_work_buffer(s, clamp_size((u64{n} + 1) * worst)));
  // Read the head after the reservation: it may have moved the string's buffer.
  u8* o = encode_chars(head_address(s), n, unit, out, crlf);
  *o = 0;
  length = static_cast<i32>(o - out);
  return reinterpret_cast<char*>(out);
}

u64 count_line_feeds(const std::byte* p, size_t n) {
  u64 count = 0;
  const std::byte* end = p + n;
  while (p < end && (p = static_cast<const std::byte*>(std::memchr(p, '\n', static_cast<size_t>(end - p))))) {
    ++count;
    ++p;
  }
  return count;
}

// The extra 16-bit units of n characters: one per LF (with crlf) and one per surrogate pair.
template <class T>
u64 utf16_extra(const std::byte* src, u32 n, bool crlf) {
  u64 extra = 0;
  for (u32 i = 0; i < n; ++i) {
    u32 c = load_char<T>(src + size_t{i} * sizeof(T));
    extra += (crlf && c == '\n') + (c > 0xFFFF);
  }
  return extra;
}

// Writes n characters of unit T as UTF-16; returns the end, or null for a character above
// U+10FFFF.
template <class T>
u16* utf16_run(const std::byte* src, u32 n, u16* __restrict o, bool crlf) {
  if constexpr (sizeof(T) == 1) {
    // Runs between line feeds widen eight characters at a time.
    const u8* __restrict p = reinterpret_cast<const u8*>(src);
    const u8* end = p + n;
    while (p < end) {
      const u8* lf = crlf ? static_cast<const u8*>(std::memchr(p, '\n', static_cast<size_t>(end - p))) : nullptr;
      size_t k = static_cast<size_t>((lf ? lf : end) - p);
      size_t j = 0;
      for (; j + 8 <= k; j += 8) {
        u8 in[8];
        u16 wide[8];
        std::memcpy(in, p + j, 8);
        for (int b = 0; b < 8; ++b) wide[b] = in[b];
        std::memcpy(o + j, wide, 16);
      }
      for (; j < k; ++j) o[j] = p[j];
      o += k;
      p += k;
      if (lf) {
        *o++ = '\r';
        *o++ = '\n';
        ++p;
      }
    }
    return o;
  }
  if constexpr (sizeof(T) == 2) {
    if (!crlf) {
      std::memcpy(o, src, size_t{n} * 2);
      return o + n;
    }
  }
  for (u32 i = 0; i < n; ++i) {
    u32 c = load_char<T>(src + size_t{i} * sizeof(T));
    if constexpr (sizeof(T) == 4) {
      if (c > 0xFFFF) {
        i32 k = encode_utf16(static_cast<i32>(c), o);
        if (k == 0) return nullptr;
        o += k;
        continue;
      }
    }
    if (c == '\n' && crlf) *o++ = '\r';
    *o++ = static_cast<u16>(c);
  }
  return o;
}

}  // namespace

char* to_utf8(Cell* s, i32& length) { return to_utf8_with(s, length, false); }
char* to_utf8_crlf(Cell* s, i32& length) { return to_utf8_with(s, length, true); }

i32 string_to_utf8(const Cell* s, u8* out, i32 count, bool nul) {
  u32 n = length_from_head(s);
  if (count >= 0 && static_cast<u32>(count) < n) n = static_cast<u32>(count);
  u8* o = encode_chars(head_address(s), n, string_buffer(s)->unit(), out, false);
  if (nul) *o = 0;
  return static_cast<i32>(o - out);
}

i32 string_to_utf8_bounded(const Cell* s, u8* out, i32 capacity, i32 count, bool nul) {
  u32 length = length_from_head(s);
  u32 n = count >= 1 && static_cast<u32>(count) < length ? static_cast<u32>(count) : length;
  u32 unit = string_buffer(s)->unit();
  const std::byte* src = head_address(s);
  i32 written = 0;
  for (u32 i = 0; i < n && written < capacity; ++i)
    written += encode_utf8_bounded(static_cast<i32>(read_unit(src + size_t{i} * unit, unit)), out + written,
                                   capacity - written);
  if (nul) out[written] = 0;
  return written;
}

u16* to_utf16_part(Cell* s, i32& count, bool crlf) {
  u32 n = convert_count(s, count);
  u32 unit = string_buffer(s)->unit();
  const std::byte* src = head_address(s);
  u64 extra = 0;
  switch (unit) {
    case 1: extra = crlf ? count_line_feeds(src, n) : 0; break;
    case 2: extra = crlf ? utf16_extra<u16>(src, n, true) : 0; break;
    case 4: extra = utf16_extra<u32>(src, n, crlf); break;
    default: bad_unit();
  }
  auto* out = reinterpret_cast<u16*>(reserve_work_buffer(s, clamp_size(u64{n} * 2 + 2 + extra * 2)));
  src = head_address(s);  // the reservation may have moved the string's buffer
  u16* o = unit == 1 ? utf16_run<u8>(src, n, out, crlf)
           : unit == 2 ? utf16_run<u16>(src, n, out, crlf)
                       : utf16_run<u32>(src, n, out, crlf);
  if (!o) {
    count = 0;
    return nullptr;
  }
  *o = 0;
  count = static_cast<i32>(o - out);
  return out;
}

u16* to_utf16(Cell* s) {
  i32 count = -1;
  return to_utf16_part(s, count, true);
}

}  // namespace kiv::unicode
