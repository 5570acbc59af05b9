// The payload of each datatype in both KIVBIN forms: one writer and one reader per type, listed in
// the table at the end of this file. A datatype that arrives later adds its two procedures and its
// row there; nothing else in the codec changes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "io/kivbin_internal.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::kivbin {

namespace {

void place(const Sink& s, const Cell& v) { *Decoder::slot(s) = v; }

u32 cells_of(const Cell* v) { return buffer_of(Ref<Node>(v->w2))->used_bytes() / sizeof(Cell); }

// A maker that raises a language error on data it refuses: the record is malformed.
template <class F>
Cell made_or_invalid(Decoder& d, const u8* at, F make) {
  Cell* const top = stack::top;
  Cell v{type::unset, 0, 0, 0};
  try {
    v = *make();
  } catch (const LanguageError&) {
    stack::top = top;
    d.invalid(at);
  }
  stack::top = top;
  return v;
}

// The head index of a series record: compact only with the flag, fixed always.
i32 read_head(Decoder& d, const Record& r) {
  const u8* at = d.p;
  const u32 h = d.compact ? (r.flag ? d.varint() : 0) : d.word();
  if (h > 0x7FFFFFFF) d.invalid(at);
  return static_cast<i32>(h);
}

void write_head(Encoder& e, i32 head) {
  if (!e.compact) e.word(static_cast<u32>(head));
  else if (head) e.varint(static_cast<u32>(head));
}

// A series record with the 0xC1 prefix: the new value shares the designated series.
void place_shared(Decoder& d, const Sink& s, const Record& r, i32 head) {
  Cell c = d.designated_series(r.type);
  c.w1 = static_cast<u32>(head);
  place(s, c);
}

// ---- datatype!, unset!, none!, logic!, char!, integer! -----------------------------------------

void write_datatype(Encoder& e, const Cell* v) {
  e.lead(type::datatype, false);
  e.u(v->w1);
}
void read_datatype(Decoder& d, const Sink& s, const Record& r) {
  const u32 id = d.u();
  if (id == 0 || id >= datatype::table_rows || !datatype::names[id].name) d.invalid(r.start);
  place(s, Cell{type::datatype, id, 0, 0});
}

void write_bare(Encoder& e, const Cell* v) { e.lead(v->type(), false); }
void read_bare(Decoder&, const Sink& s, const Record& r) { place(s, Cell{r.type, 0, 0, 0}); }

// The compact form has lead bytes of their own for true and false; the fixed form a word.
void write_logic(Encoder& e, const Cell* v) {
  const bool yes = v->w1 == 1;
  if (e.compact) {
    e.special(yes ? lead::logic_true : lead::logic_false);
    return;
  }
  e.lead(type::logic, false);
  e.word(yes ? 1 : 0);
}
void read_logic(Decoder& d, const Sink& s, const Record& r) {
  if (d.compact) d.invalid(r.start);
  place(s, Cell{type::logic, d.word() != 0 ? 1u : 0u, 0, 0});
}

void write_char(Encoder& e, const Cell* v) {
  e.lead(type::char_, false);
  e.u(v->w2);
}
void read_char(Decoder& d, const Sink& s, const Record&) {
  const u8* at = d.p;
  const u32 cp = d.u();
  if (cp > static_cast<u32>(char_::max_code_point)) d.invalid(at);
  Cell c;
  place(s, *char_::box(&c, static_cast<i32>(cp)));
}

void write_integer(Encoder& e, const Cell* v) {
  const i32 n = integer::get(v);
  if (e.compact && n >= 0 && n < 64) {
    e.special(static_cast<u8>(lead::small_integer + n));
    return;
  }
  e.lead(type::integer, false);
  e.s(n);
}
void read_integer(Decoder& d, const Sink& s, const Record&) {
  Cell c;
  place(s, *integer::box(&c, d.s()));
}

// ---- float!, percent!, time! -------------------------------------------------------------------

// The integer that stands for the value in a flagged compact record (for percent! the value times
// 100), when one gives the double back exactly; never for a negative zero.
bool whole_form(double x, u32 t, i32& out) {
  const double w = t == type::percent ? x * 100 : x;
  if (!(w >= -2147483648.0 && w <= 2147483647.0) || w != std::trunc(w) || (w == 0 && std::signbit(x))) return false;
  out = static_cast<i32>(w);
  return t != type::percent || out / 100.0 == x;
}

void write_float(Encoder& e, const Cell* v) {
  const u32 t = v->type();
  i32 n;
  if (e.compact && whole_form(v->as_double(), t, n)) {
    e.lead(t, true);
    e.zigzag(n);
    return;
  }
  e.pad(8);
  e.lead(t, false);
  e.bytes(&v->w2, 8);
}
void read_float(Decoder& d, const Sink& s, const Record& r) {
  double x;
  if (d.compact && r.flag) {
    const i32 n = d.zigzag();
    x = r.type == type::percent ? n / 100.0 : n;
  } else {
    // No alignment is assumed: the padding of the fixed form counts from the records area.
    std::memcpy(&x, d.take(8), 8);
  }
  Cell c{r.type, 0, 0, 0};
  c.set_double(x);
  place(s, c);
}

// ---- typeset! ----------------------------------------------------------------------------------

void write_typeset(Encoder& e, const Cell* v) {
  e.lead(type::typeset, false);
  if (!e.compact) {
    e.word(v->w1);
    e.word(v->w2);
    e.word(v->w3);
    return;
  }
  u8 mask[12];
  std::memcpy(mask, &v->w1, 12);
  u8 n = 12;
  while (n && !mask[n - 1]) --n;
  e.byte(n);
  e.bytes(mask, n);
}
void read_typeset(Decoder& d, const Sink& s, const Record& r) {
  Cell c{type::typeset, 0, 0, 0};
  if (d.compact) {
    const u8 n = d.byte();
    if (n > 12) d.invalid(r.start);
    u8 mask[12] = {};
    std::memcpy(mask, d.take(n), n);
    std::memcpy(&c.w1, mask, 12);
  } else {
    c.w1 = d.word();
    c.w2 = d.word();
    c.w3 = d.word();
  }
  place(s, c);
}

// ---- pair!, point2D!, point3D!, tuple!, date!, money! ---------------------------------------------

void write_pair(Encoder& e, const Cell* v) {
  e.lead(type::pair, false);
  e.s(pair::x_of(v));
  e.s(pair::y_of(v));
}
void read_pair(Decoder& d, const Sink& s, const Record&) {
  const i32 x = d.s();
  const i32 y = d.s();
  Cell c;
  place(s, *pair::box(&c, x, y));
}

// The coordinates' raw 32-bit words, little-endian in both forms: every float comes back bit for bit.
void write_point(Encoder& e, const Cell* v) {
  e.lead(v->type(), false);
  for (i32 i = 0; i < point::count_of(v->type()); ++i) e.word((&v->w1)[i]);
}
void read_point(Decoder& d, const Sink& s, const Record& r) {
  Cell c{r.type, 0, 0, 0};
  for (i32 i = 0; i < point::count_of(r.type); ++i) (&c.w1)[i] = d.word();
  place(s, c);
}

// The fixed form always holds the 12 payload bytes; the compact form the bytes within the length,
// which is 3 unless the flag gives it.
void write_tuple(Encoder& e, const Cell* v) {
  const i32 n = tuple::stored_length(v);
  if (!e.compact) {
    e.lead(type::tuple, false, static_cast<u32>(n) << fixed::unit_shift);
    e.bytes(tuple::bytes_of(v), tuple::max_length);
    return;
  }
  e.lead(type::tuple, n != 3);
  if (n != 3) e.byte(static_cast<u8>(n));
  e.bytes(tuple::bytes_of(v), static_cast<std::size_t>(n));
}
void read_tuple(Decoder& d, const Sink& s, const Record& r) {
  const u8* at = d.compact ? d.p : r.start;
  u32 n = 3;
  if (!d.compact) n = (r.bits >> fixed::unit_shift) & 0xFF;
  else if (r.flag) n = d.byte();
  if (n == 0 || n > static_cast<u32>(tuple::max_length)) d.invalid(at);
  const u8* bytes = d.take(d.compact ? n : tuple::max_length);
  Cell c{type::tuple, 0, 0, 0};
  place(s, *tuple::make_at(&c, bytes, static_cast<i32>(n)));
}

// What the date code relies on: a month and a day of the calendar, a finite time that is 0 without
// the has-time flag and otherwise a local time of day within the day.
bool valid_date(u32 w, double stored) {
  const i32 month = date::month_of(w), day = date::day_of(w);
  if (month < 1 || month > 12 || day < 1 || day > date::month_length(date::year_of(w), month)) return false;
  if (!date::has_time_q(w)) return stored == 0;
  const double local = stored + date::zone_seconds(date::zone_of(w));
  return local >= 0 && local < date::day_seconds;
}

// The packed word, then the time's double: always in the fixed form, with the has-time flag in the
// compact form (which the record's flag repeats).
void write_date(Encoder& e, const Cell* v) {
  const u32 w = date::word_of(v);
  const bool timed = date::has_time_q(w);
  e.lead(type::date, timed);
  e.word(w);
  if (timed || !e.compact) e.bytes(&v->w2, 8);
}
void read_date(Decoder& d, const Sink& s, const Record& r) {
  const u8* at = d.p;
  const u32 w = d.word();
  const bool timed = date::has_time_q(w);
  if (d.compact && r.flag != timed) d.invalid(r.start);
  double stored = 0;
  if (timed || !d.compact) std::memcpy(&stored, d.take(8), 8);
  if (!valid_date(w, stored)) d.invalid(at);
  Cell c;
  place(s, *date::box(&c, w, timed ? stored : 0.0));
}

// The currency byte and the 11 digit bytes as the cell holds them; the sign in the flag (compact)
// or header bit 22 (fixed).
void write_money(Encoder& e, const Cell* v) {
  const bool negative = money::negative_q(v);
  e.lead(type::money, negative, negative ? fixed::money_negative : 0);
  e.byte(money::currency_of(v));
  e.bytes(money::digits_of(v), money::digit_bytes);
}
void read_money(Decoder& d, const Sink& s, const Record& r) {
  const bool negative = d.compact ? r.flag : (r.bits & fixed::money_negative) != 0;
  const u8* at = d.p;
  const u8* payload = d.take(1 + money::digit_bytes);
  bool valid = payload[0] <= money::currency_count();
  for (i32 i = 1; i <= money::digit_bytes; ++i) valid &= (payload[i] >> 4) <= 9 && (payload[i] & 15) <= 9;
  if (!valid) d.invalid(at);
  Cell c;
  place(s, *money::make_at(&c, negative, payload[0], payload + 1));
}

// ---- Block kinds ---------------------------------------------------------------------------------

// Every cell from the start of the buffer is written; the head index puts the position back.
void write_block(Encoder& e, const Cell* v) {
  const i32 head = series::head_index(v);
  const bool ref = e.reference_to(v->w2);
  e.lead(v->type(), head != 0, 0, ref);
  write_head(e, head);
  if (ref) {
    e.write_path();
    return;
  }
  const u32 n = cells_of(v);
  e.u(n);
  const Cell* cells = buffer_of(Ref<Node>(v->w2))->head_ptr<Cell>();
  e.enter();
  for (u32 i = 0; i < n; ++i) e.child(cells + i);
  e.leave();
}

// The block is placed before its cells are read, so a path inside it can reach it (a cycle).
// Room is made as the cells come: a count the data does not back allocates nothing. A hash! gets
// its index first, so that every copy of the cell made meanwhile shares it, and fills it at the end.
void read_block(Decoder& d, const Sink& s, const Record& r) {
  const i32 head = read_head(d, r);
  if (r.reference) return place_shared(d, s, r, head);
  const u32 n = d.count();
  Cell blk;
  block::make_at(&blk, static_cast<i32>(std::min<u32>(n, 256)));
  RootCell keep(blk);
  const bool indexed = r.type == type::hash;
  const u32 index = indexed ? hashtable::make(1, &blk, hashtable::kind_hash, 0).offset() : 0;
  place(s, Cell{r.type, static_cast<u32>(head), blk.w2, index});
  for (u32 i = 0; i < n; ++i) d.record(Decoder::append_to(&blk));
  // The sink's cell holds the index (and follows it when nodes move).
  if (indexed) hashtable::reset(Ref<Node>(Decoder::slot(s)->w3), static_cast<i32>(n));
}

// An empty block! record (a function without a body still has one in its place).
void write_empty_block(Encoder& e) {
  e.lead(type::block, false);
  write_head(e, 0);
  e.u(0);
}

// ---- String kinds and binary! ------------------------------------------------------------------

u32 unit_code(u32 unit) { return unit == 1 ? 0 : unit == 2 ? 1 : 2; }

void write_string(Encoder& e, const Cell* v) {
  const u32 t = v->type();
  const i32 head = series::head_index(v);
  const bool ref = e.reference_to(v->w2);
  SeriesBuffer* b = buffer_of(Ref<Node>(v->w2));
  const u32 unit = t == type::binary ? 1 : b->unit();
  e.lead(t, e.compact && head != 0, unit << fixed::unit_shift, ref);
  write_head(e, head);
  if (ref) {
    e.write_path();
    return;
  }
  const u32 bytes = b->used_bytes();
  const u32 count = bytes / unit;
  if (t == type::binary || !e.compact) {
    e.u(count);
  } else {
    if (count >= 1u << 30) raise_error(ErrorCategory::internal, "no-memory");
    e.varint(count << 2 | unit_code(unit));
  }
  e.bytes(b->head_ptr(), bytes);
  e.pad(4);
}

// Whether 4-byte characters are all code points: the case tables and the UTF-8 writer index by them.
bool code_points_q(const u8* chars, u32 count) {
  for (u32 i = 0; i < count; ++i) {
    u32 cp;
    std::memcpy(&cp, chars + 4 * i, 4);
    if (cp > static_cast<u32>(char_::max_code_point)) return false;
  }
  return true;
}

void read_string(Decoder& d, const Sink& s, const Record& r) {
  const bool bytes_only = r.type == type::binary;
  u32 unit = 1;
  if (!d.compact) {
    unit = (r.bits >> fixed::unit_shift) & 0xFF;
    if ((unit != 1 && unit != 2 && unit != 4) || (bytes_only && unit != 1)) d.invalid(r.start);
  }
  const i32 head = read_head(d, r);
  if (r.reference) return place_shared(d, s, r, head);
  const u8* at = d.p;
  u32 count;
  if (d.compact && !bytes_only) {
    const u32 l = d.varint();
    if ((l & 3) == 3) d.invalid(at);
    unit = 1u << (l & 3);
    count = l >> 2;
  } else {
    count = d.u();
  }
  const u64 size = u64{count} * unit;
  if (size > d.left()) d.invalid(at);
  const u8* src = d.take(size);
  if (unit == 4 && !code_points_q(src, count)) d.invalid(at);
  Cell c{type::unset, 0, 0, 0};
  if (bytes_only) {
    binary::make_from(&c, src, static_cast<i32>(count));
  } else {
    string::make_at_sized(&c, static_cast<i32>(count), static_cast<i32>(unit));
    SeriesBuffer* b = string::buffer_of(&c);
    if (size) std::memcpy(b->head_ptr(), src, size);
    b->tail = b->head + static_cast<u32>(size);
  }
  c.header = r.type;
  c.w1 = static_cast<u32>(head);
  if (!d.compact) d.skip_pad();
  place(s, c);
}

// ---- bitset! -------------------------------------------------------------------------------------

void write_bitset(Encoder& e, const Cell* v) {
  SeriesBuffer* b = bitset::buffer_of(v);
  const bool complemented = bitset::complemented_q(b);
  const bool ref = e.reference_to(v->w2);
  e.lead(type::bitset, complemented, complemented ? fixed::complemented : 0, ref);
  if (ref) {
    e.write_path();
    return;
  }
  e.u(b->used_bytes());
  e.bytes(b->head_ptr(), b->used_bytes());
  e.pad(4);
}
void read_bitset(Decoder& d, const Sink& s, const Record& r) {
  if (r.reference) return place_shared(d, s, r, 0);
  const bool complemented = d.compact ? r.flag : (r.bits & fixed::complemented) != 0;
  const u32 n = d.count();
  const u8* src = d.take(n);
  Cell c;
  bitset::make_at(&c, static_cast<i32>(n), complemented);
  if (n) std::memcpy(bitset::get_data(&c), src, n);
  if (!d.compact) d.skip_pad();
  place(s, c);
}

// ---- vector!, map! -------------------------------------------------------------------------------

// The element width's code in the compact kind byte: 1, 2, 4 or 8 bytes.
u32 width_code(u32 width) { return width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3; }

bool element_fits_q(u32 element_type, u32 width) {
  if (element_type == type::float_) return width == 4 || width == 8;
  return (element_type == type::integer || element_type == type::char_) && (width == 1 || width == 2 || width == 4);
}

// As a string, with the element type beside the width: the compact form's kind byte, the fixed
// form's third word.
void write_vector(Encoder& e, const Cell* v) {
  const i32 head = series::head_index(v);
  const bool ref = e.reference_to(v->w2);
  SeriesBuffer* b = buffer_of(Ref<Node>(v->w2));
  const u32 width = b->unit();
  e.lead(type::vector, e.compact && head != 0, width << fixed::unit_shift, ref);
  write_head(e, head);
  if (ref) {
    e.write_path();
    return;
  }
  const u32 bytes = b->used_bytes();
  if (e.compact) {
    e.byte(static_cast<u8>(v->w3 << 2 | width_code(width)));
    e.varint(bytes / width);
  } else {
    e.word(bytes / width);
    e.word(v->w3);
  }
  e.bytes(b->head_ptr(), bytes);
  e.pad(4);
}
void read_vector(Decoder& d, const Sink& s, const Record& r) {
  const i32 head = read_head(d, r);
  if (r.reference) return place_shared(d, s, r, head);
  const u8* at = d.p;
  u32 element_type, width, count;
  if (d.compact) {
    const u8 kind = d.byte();
    element_type = kind >> 2;
    width = 1u << (kind & 3);
    count = d.varint();
  } else {
    width = (r.bits >> fixed::unit_shift) & 0xFF;
    count = d.word();
    element_type = d.word();
  }
  const u64 size = u64{count} * width;
  if (!element_fits_q(element_type, width) || size > d.left()) d.invalid(at);
  const u8* src = d.take(size);
  if (element_type == type::char_ && width == 4 && !code_points_q(src, count)) d.invalid(at);
  Cell c;
  vector::make_at(&c, static_cast<i32>(count), element_type, width);
  SeriesBuffer* b = buffer_of(Ref<Node>(c.w2));
  if (size) std::memcpy(b->head_ptr(), src, size);
  b->tail = b->head + static_cast<u32>(size);
  c.w1 = static_cast<u32>(head);
  if (!d.compact) d.skip_pad();
  place(s, c);
}

// The live entries, key then value; removed ones are left out.
void write_map(Encoder& e, const Cell* v) {
  const bool ref = e.reference_to(v->w2);
  e.lead(type::map, false, 0, ref);
  if (ref) {
    e.write_path();
    return;
  }
  const Cell* cells = buffer_of(Ref<Node>(v->w2))->head_ptr<Cell>();
  const u32 n = cells_of(v) & ~1u;
  u32 live = 0;
  for (u32 i = 0; i < n; i += 2) live += cells[i + 1].type() != 0;
  e.u(2 * live);
  e.enter();
  for (u32 i = 0; i < n; i += 2) {
    if (!cells[i + 1].type()) continue;
    e.child(cells + i);
    e.child(cells + i + 1);
  }
  e.leave();
}

// The map is placed with an empty index before its entries are read (a path inside may reach it);
// the index is filled at the end, which keeps the later value of a repeated key.
void read_map(Decoder& d, const Sink& s, const Record& r) {
  if (r.reference) return place_shared(d, s, r, 0);
  const u8* at = d.p;
  const u32 n = d.count();
  if (n % 2) d.invalid(at);
  Cell m{type::none, 0, 0, 0};
  RootCell keep_m(m);
  map::make_at(&m, nullptr, 0);
  place(s, m);
  Cell entries{type::block, 0, m.w2, 0};
  RootCell keep(entries);
  for (u32 i = 0; i < n; ++i) {
    const u8* cell_at = d.p;
    const Sink entry = Decoder::append_to(&entries);
    d.record(entry);
    Cell* c = Decoder::slot(entry);
    cell::clear_line_flag(c);
    if (i % 2 == 0 && !map::valid_key_type_q(c->type())) d.invalid(cell_at);
  }
  hashtable::reset(Ref<Node>(Decoder::slot(s)->w3), static_cast<i32>(n / 2));
}

// ---- Words ---------------------------------------------------------------------------------------

// The object or function that owns a word's context; null for the global context and for a context
// without such an owner (the word is then written as a global word).
const Cell* owner_of_word(const Cell* w) {
  const Ref<Node> ctx(w->w1);
  if (!ctx || ctx == context::global()) return nullptr;
  const Cell* o = context::owner_of(ctx);
  if ((o->type() != type::object && o->type() != type::function) || o->w1 != ctx.offset()) return nullptr;
  return o;
}

// A bound word records the path of its context at its own position and then writes the owner in
// full there, unless the context was written before (then the word carries its path instead): a
// path step into the word reaches the owner's values.
void write_word(Encoder& e, const Cell* v) {
  const u32 t = v->type();
  const Cell* owner = owner_of_word(v);
  const u32 sym = e.symbol(word::symbol_of(v));
  if (!owner) {
    e.lead(t, false, fixed::global_word);
    e.u(sym);
    // Its index in the global context differs from run to run: the reader finds it by symbol.
    if (!e.compact) e.word(~0u);
    return;
  }
  const bool ref = e.seen(v->w1);
  e.lead(t, true, 0, ref);
  e.u(sym);
  e.s(word::index_of(v));
  if (ref) {
    e.write_path();
    return;
  }
  Cell o = *owner;
  o.header &= ~header::new_line;
  e.owner = v->w1;
  e.value(&o);
}

void place_global_word(const Sink& s, u32 t, i32 sym) {
  Cell w{type::unset, 0, 0, 0};
  word::make_at(sym, &w);
  cell::set_type(&w, t);
  place(s, w);
}

void bind_word(Decoder& d, const Sink& s, u32 t, i32 sym, u32 ctx, i32 index, const u8* at) {
  if (!ctx || index < -1 || (index >= 0 && static_cast<u32>(index) >= d.word_count(ctx))) d.invalid(at);
  place(s, Cell{t, ctx, static_cast<u32>(sym), static_cast<u32>(index)});
}

// The boot data binds a word through the root value that owns its context.
void read_boot_word(Decoder& d, const Sink& s, const Record& r, i32 sym) {
  const u8* at = d.p;
  u32 root;
  i32 index;
  if (d.compact) {
    if (!r.flag) return place_global_word(s, r.type, sym);
    root = d.varint();
    index = d.zigzag();
  } else {
    root = d.word();
    index = static_cast<i32>(d.word());
    if (root == ~0u) return place_global_word(s, r.type, sym);
  }
  const u32 ctx = Decoder::context_of_cell(d.root_cell(root, at));
  if (!ctx) d.invalid(at);
  if (index == -1) {
    index = context::find_word(Ref<Node>(ctx), sym, true);
    if (index < 0) d.invalid(at);
  }
  bind_word(d, s, r.type, sym, ctx, index, at);
}

void read_word(Decoder& d, const Sink& s, const Record& r) {
  const i32 sym = d.read_symbol();
  if (d.boot) return read_boot_word(d, s, r, sym);
  if (d.compact ? !r.flag : (r.bits & fixed::global_word) != 0) {
    if (!d.compact) d.word();
    return place_global_word(s, r.type, sym);
  }
  const u8* at = d.p;
  const i32 index = d.s();
  u32 ctx;
  if (r.reference) {
    ctx = Decoder::context_of_cell(d.designated());
  } else {
    // The owner's record, read in the word's place: its path is the word's.
    const u32 t = d.peek_type();
    if (t != type::object && t != type::function) d.invalid(d.p);
    d.record(s);
    ctx = Decoder::context_of_cell(*Decoder::slot(s));
  }
  bind_word(d, s, r.type, sym, ctx, index, at);
}

void write_issue(Encoder& e, const Cell* v) {
  e.lead(type::issue, false);
  e.u(e.symbol(word::symbol_of(v)));
}
void read_issue(Decoder& d, const Sink& s, const Record&) {
  const i32 sym = d.read_symbol();
  place(s, Cell{type::issue, context::global().offset(), static_cast<u32>(sym), ~0u});
}

// ---- Contexts, object!, error! -----------------------------------------------------------------

struct Shape {
  u32 kind;
  bool self, on_stack, values;
};

Shape shape_of_word(u32 w) {
  return {(w >> fixed::context_kind_shift) & 3, (w & fixed::context_self) != 0, (w & fixed::context_on_stack) != 0,
          (w & fixed::context_values) != 0};
}

// The compact context record after its lead byte, or the fixed context part: its flags.
Shape read_shape(Decoder& d) {
  if (!d.compact) return shape_of_word(d.word());
  const u8 f = d.byte();
  return {static_cast<u32>(f & context_byte::kind_mask), (f & context_byte::self) != 0,
          (f & context_byte::on_stack) != 0, (f & context_byte::values) != 0};
}

// A context record; the values follow when asked and at least one is set.
void write_context(Encoder& e, Ref<Node> ctx, bool with_values) {
  const u32 kind = context::kind_of(ctx);
  const bool self = context::self_q(ctx);
  const bool on_stack = context::on_stack_q(ctx);
  const u32 n = static_cast<u32>(context::word_count(ctx));
  const Cell* values = on_stack ? nullptr : context::values_of(ctx);
  const u32 stored = values ? buffer_of(Ref<Node>(context::cell_of(ctx)->w2))->used_bytes() / sizeof(Cell) : 0;
  bool follow = false;
  for (u32 i = 0; with_values && i < std::min(n, stored); ++i) follow |= values[i].type() != type::unset;
  const Cell unset{type::unset, 0, 0, 0};
  auto value = [&](u32 i) { return i < stored ? values + i : &unset; };
  // The encoder allocates nothing: the word list stays where it is.
  const Cell* words = n ? context::word_at(ctx, 0) : nullptr;
  auto symbol = [&](u32 i) { return e.symbol(word::symbol_of(words + i)); };
  if (e.compact) {
    e.lead(type::context, false);
    e.byte(static_cast<u8>(kind | (on_stack ? context_byte::on_stack : 0) | (self ? context_byte::self : 0) |
                           (follow ? context_byte::values : 0)));
    e.varint(n);
    for (u32 i = 0; i < n; ++i) e.varint(symbol(i));
    if (!follow) return;
    e.enter();
    for (u32 i = 0; i < n; ++i) e.child(value(i));
    e.leave();
    return;
  }
  e.word(kind << fixed::context_kind_shift | (self ? fixed::context_self : 0) |
         (on_stack ? fixed::context_on_stack : 0) | (follow ? fixed::context_values : 0));
  e.word(n);
  e.enter();
  for (u32 i = 0; i < n; ++i) {
    e.word(symbol(i));
    if (follow) e.child(value(i));
  }
  e.leave();
}

// Adds the next symbol of a context record as a word; a word met twice is malformed. The context is
// a rooted local: interning the name may move it.
void add_word(Decoder& d, Ref<Node>& ctx, Cell* values) {
  const u8* at = d.p;
  const i32 sym = d.read_symbol();
  i32 added = -1;
  if (context::find_or_add_word(ctx, sym, true, &added) >= 0) d.invalid(at);
  if (values) cell::append_slot(values);
}

// The object of a context record: placed before its values are read (they may refer to it), then
// given its change-event record from its fields.
void read_object_body(Decoder& d, const Sink& s, i32 class_id, Shape shape, const u8* at) {
  if (shape.kind > context::object) d.invalid(at);
  const u32 n = d.count();
  Ref<Node> ctx = context::make(static_cast<i32>(std::min<u32>(n, 16)), false, shape.self, Ref<Node>{}, shape.kind);
  RootNode keep_ctx(ctx);
  Cell obj{type::object, ctx.offset(), static_cast<u32>(class_id), 0};
  *context::owner_of(ctx) = obj;
  place(s, obj);
  Cell values{type::block, 0, context::cell_of(ctx)->w2, 0};
  RootCell keep_values(values);
  // Values stored with a context that keeps them on the value stack are not read.
  const bool follow = shape.values && !shape.on_stack;
  d.building.push_back({&ctx, n});
  for (u32 i = 0; i < n; ++i) {
    add_word(d, ctx, &values);
    if (follow && !d.compact) d.record({&values, static_cast<i32>(i)});
  }
  d.building.pop_back();
  if (follow && d.compact)
    for (u32 i = 0; i < n; ++i) d.record({&values, static_cast<i32>(i)});
  Cell o = *Decoder::slot(s);
  RootCell keep_o(o);
  try {
    object::finish(&o);
  } catch (const LanguageError&) {
    d.invalid(at);
  }
  place(s, o);
}

// A record with the 0xC1 prefix standing for an object or function written before: the owner of
// the designated context, which must be of that type.
void place_owner(Decoder& d, const Sink& s, u32 want) {
  const u8* at = d.p;
  const Cell c = d.designated();
  const u32 ctx = Decoder::context_of_cell(c);
  if (!ctx) d.invalid(at);
  Cell o = *context::owner_of(Ref<Node>(ctx));
  if (o.type() != want || o.w1 != ctx) d.invalid(at);
  o.header &= ~header::new_line;
  place(s, o);
}

void write_object(Encoder& e, const Cell* v) {
  const Ref<Node> ctx(v->w1);
  const bool ref = e.reference_to(ctx.offset());
  const Ref<Node> events(v->w3);
  const bool with_events = !ref && events;
  e.lead(type::object, with_events, with_events ? fixed::events : 0, ref);
  if (ref) {
    e.write_path();
    return;
  }
  e.s(object::class_of(v));
  if (with_events) {
    e.s(object::handler_of(events, object::on_change_entry).slot);
    e.s(object::handler_of(events, object::on_deep_change_entry).slot);
  }
  write_context(e, ctx, true);
}

// Objects keep their class id in the boot data; decoded by the codec they get -1.
void read_object(Decoder& d, const Sink& s, const Record& r) {
  if (r.reference) return place_owner(d, s, type::object);
  const i32 class_id = d.s();
  if (d.compact ? r.flag : (r.bits & fixed::events) != 0) {
    const u8* at = d.p;
    // The slots are found again from the fields' names.
    if (d.s() < -1 || d.s() < -1) d.invalid(at);
  }
  if (d.compact && d.byte() != type::context) d.invalid(d.p - 1);
  const u8* at = d.p;
  read_object_body(d, s, d.boot ? class_id : -1, read_shape(d), at);
}

// A context on its own reads as an object on it.
void read_context(Decoder& d, const Sink& s, const Record& r) {
  const u8* at = d.p;
  read_object_body(d, s, d.boot ? 0 : -1, d.compact ? read_shape(d) : shape_of_word(r.bits), at);
}

void write_error(Encoder& e, const Cell* v) {
  const bool ref = e.reference_to(v->w1);
  e.lead(type::error, false, 0, ref);
  if (ref) {
    e.write_path();
    return;
  }
  const Cell* code = error::field_of(v, error::field::code);
  e.u(code->type() == type::integer ? static_cast<u32>(integer::get(code)) : 0);
  e.enter();
  for (i32 f = error::field::arg1; f <= error::field::stack; ++f) e.child(error::field_of(v, f));
  e.leave();
}

// make error! from the code, then the six fields from arg1 to stack.
void read_error(Decoder& d, const Sink& s, const Record& r) {
  if (r.reference) {
    const u8* at = d.p;
    Cell c = d.designated();
    if (c.type() != type::error) d.invalid(at);
    c.header = type::error;
    return place(s, c);
  }
  const u8* at = d.p;
  Cell code;
  integer::box(&code, static_cast<i32>(d.u()));
  Cell proto{type::datatype, type::error, 0, 0};
  place(s, made_or_invalid(d, at, [&] { return error::make(&proto, &code, type::error); }));
  Cell fields{type::block, 0, context::cell_of(Ref<Node>(Decoder::slot(s)->w1))->w2, 0};
  RootCell keep(fields);
  for (i32 f = error::field::arg1; f <= error::field::stack; ++f) d.record({&fields, f});
}

// ---- function!, native!, action!, op! ------------------------------------------------------------

void write_function(Encoder& e, const Cell* v) {
  const bool ref = e.reference_to(v->w1);
  e.lead(type::function, false, 0, ref);
  if (ref) {
    e.write_path();
    return;
  }
  const Cell spec{type::block, 0, v->w2, 0};
  const Cell* body = function::more_cell(v, function::more::body);
  const bool has_body = body->type() == type::block;
  e.u(cells_of(&spec));
  e.u(has_body ? cells_of(body) : 0);
  write_context(e, Ref<Node>(v->w1), false);
  e.enter();
  e.child(&spec);
  if (has_body) {
    e.child(body);
  } else {
    write_empty_block(e);
    ++e.counter;
  }
  e.leave();
}

// The context's words must be the spec's, as making the function from the spec gives them.
bool words_match_spec(Ref<Node> ctx, const Cell* spec) {
  std::vector<i32> wanted;
  const Cell* cells = buffer_of(Ref<Node>(spec->w2))->head_ptr<Cell>();
  for (u32 i = 0, n = cells_of(spec); i < n; ++i) {
    const u32 t = cells[i].type();
    if (t != type::word && t != type::get_word && t != type::lit_word && t != type::refinement) continue;
    const i32 sym = symbol::resolve(word::symbol_of(cells + i));
    if (std::find(wanted.begin(), wanted.end(), sym) == wanted.end()) wanted.push_back(sym);
  }
  if (static_cast<i32>(wanted.size()) != context::word_count(ctx)) return false;
  for (std::size_t i = 0; i < wanted.size(); ++i)
    if (symbol::resolve(word::symbol_of(context::word_at(ctx, static_cast<i32>(i)))) != wanted[i]) return false;
  return true;
}

// The spec is read and checked first; the function is placed before its body is read, so words of
// the body reach their context through its path.
void read_function(Decoder& d, const Sink& s, const Record& r) {
  if (r.reference) return place_owner(d, s, type::function);
  d.count();  // the cells of the spec and of the body: the block records say it again
  d.count();
  if (d.compact && d.byte() != type::context) d.invalid(d.p - 1);
  const u8* at = d.p;
  const Shape shape = read_shape(d);
  if (shape.values && !shape.on_stack) d.invalid(at);
  const u32 n = d.count();
  Ref<Node> ctx = context::make(static_cast<i32>(std::min<u32>(n, 16)), true, shape.self, Ref<Node>{}, context::function);
  RootNode keep_ctx(ctx);
  for (u32 i = 0; i < n; ++i) add_word(d, ctx, nullptr);
  Ref<Node> more = memory::alloc_unset_cells(function::more::count);
  RootNode keep_more(more);
  {
    SeriesBuffer* b = buffer_of(more);
    b->tail = b->head + function::more::count * sizeof(Cell);
  }
  // Both blocks go to the function-more block: the spec to its reserved cell for now, the body to
  // its place.
  Cell m{type::block, 0, more.offset(), 0};
  RootCell keep_m(m);
  const Sink spec_sink{&m, function::more::reserved}, body_sink{&m, function::more::body};
  const u8* spec_at = d.p;
  if (d.peek_type() != type::block) d.invalid(d.p);
  d.record(spec_sink);
  Cell spec = *Decoder::slot(spec_sink);
  *Decoder::slot(spec_sink) = Cell{type::unset, 0, 0, 0};
  spec.header = type::block;
  spec.w1 = 0;
  u32 flags = 0;
  try {
    flags = function::validate_spec(&spec);
  } catch (const LanguageError&) {
    d.invalid(spec_at);
  }
  if (!words_match_spec(ctx, &spec)) d.invalid(spec_at);
  const Cell f{type::function | flags, ctx.offset(), spec.w2, more.offset()};
  *context::owner_of(ctx) = f;
  place(s, f);
  if (d.peek_type() != type::block) d.invalid(d.p);
  d.record(body_sink);
}

void write_native(Encoder& e, const Cell* v) {
  e.lead(v->type(), false);
  e.u(static_cast<u32>(native::slot_of(v)));
  const Cell spec{type::block, 0, v->w2, 0};
  e.enter();
  e.child(&spec);
  e.leave();
}

// Made by native!'s maker from the spec and the table slot, which checks the slot's procedure.
void read_native(Decoder& d, const Sink& s, const Record& r) {
  const u8* at = d.p;
  Cell index;
  integer::box(&index, static_cast<i32>(d.u()));
  Cell spec;
  block::make_at(&spec, 2);
  RootCell keep(spec);
  if (d.peek_type() != type::block) d.invalid(d.p);
  d.record(Decoder::append_to(&spec));
  block::append_value(&spec, &index);
  Cell proto{type::datatype, r.type, 0, 0};
  place(s, made_or_invalid(d, at, [&] { return native::make(&proto, &spec, r.type); }));
}

// The wrapped value's record stands in the operator's place (a path into an operator is one into
// what it wraps).
void write_op(Encoder& e, const Cell* v) {
  const u32 wrapped_type = op::wrapped_type(v);
  Cell wrapped{wrapped_type, v->w1, v->w2, v->w3};
  if (wrapped_type == type::function) {
    const Cell* kept = function::more_cell(v, function::more::op_value);
    if (kept->type() == type::function) wrapped = *kept;
  }
  wrapped.header &= ~header::new_line;
  e.lead(type::op, false, wrapped_type << fixed::wrapped_shift);
  e.value(&wrapped);
}
void read_op(Decoder& d, const Sink& s, const Record& r) {
  const u8* at = d.p;
  const u32 t = d.peek_type();
  if (t != type::native && t != type::action && t != type::function) d.invalid(at);
  if (!d.compact && ((r.bits >> fixed::wrapped_shift) & 0xFF) != t) d.invalid(r.start);
  d.record(s);
  Cell wrapped = *Decoder::slot(s);
  RootCell keep(wrapped);
  wrapped.header &= ~header::new_line;
  Cell proto{type::datatype, type::op, 0, 0};
  place(s, made_or_invalid(d, at, [&] { return op::make(&proto, &wrapped, type::op); }));
}

// ---- The table -----------------------------------------------------------------------------------
//
// One row per datatype with a payload. Types still to come add theirs here (image! 53). A type is
// read only once it has registered.

struct Row {
  u32 type_id;
  TypeCodec codec;
};

constexpr TypeCodec bare{write_bare, read_bare};
constexpr TypeCodec block_kind{write_block, read_block, true};
constexpr TypeCodec string_kind{write_string, read_string, true};
constexpr TypeCodec word_kind{write_word, read_word, true};
constexpr TypeCodec float_kind{write_float, read_float};
constexpr TypeCodec native_kind{write_native, read_native};
constexpr TypeCodec point_kind{write_point, read_point};

constexpr Row rows[] = {
    {type::datatype, {write_datatype, read_datatype}},
    {type::unset, bare},
    {type::none, bare},
    {type::logic, {write_logic, read_logic}},
    {type::block, block_kind},
    {type::paren, block_kind},
    {type::path, block_kind},
    {type::lit_path, block_kind},
    {type::set_path, block_kind},
    {type::get_path, block_kind},
    {type::string, string_kind},
    {type::file, string_kind},
    {type::url, string_kind},
    {type::tag, string_kind},
    {type::email, string_kind},
    {type::ref, string_kind},
    {type::binary, string_kind},
    {type::char_, {write_char, read_char}},
    {type::integer, {write_integer, read_integer}},
    {type::float_, float_kind},
    {type::time, float_kind},
    // percent! values exist before their type registers (the lexer makes them through float!).
    {type::percent, {write_float, read_float, false, false}},
    {type::context, {nullptr, read_context}},
    {type::word, word_kind},
    {type::set_word, word_kind},
    {type::lit_word, word_kind},
    {type::get_word, word_kind},
    {type::refinement, word_kind},
    {type::issue, {write_issue, read_issue}},
    {type::native, native_kind},
    {type::action, native_kind},
    {type::op, {write_op, read_op}},
    {type::function, {write_function, read_function, true}},
    {type::bitset, {write_bitset, read_bitset, true}},
    {type::typeset, {write_typeset, read_typeset}},
    {type::object, {write_object, read_object, true}},
    {type::error, {write_error, read_error, true}},
    {type::hash, block_kind},
    {type::map, {write_map, read_map, true}},
    {type::vector, {write_vector, read_vector, true}},
    {type::pair, {write_pair, read_pair}},
    {type::point2D, point_kind},
    {type::point3D, point_kind},
    {type::tuple, {write_tuple, read_tuple}},
    {type::date, {write_date, read_date}},
    {type::money, {write_money, read_money}},
};

struct Table {
  TypeCodec by_type[256] = {};
  bool present[256] = {};
  Table() {
    for (const Row& r : rows) {
      by_type[r.type_id] = r.codec;
      present[r.type_id] = true;
    }
  }
};

const Table table;

}  // namespace

const TypeCodec* codec_of(u32 type_id) {
  return type_id < 256 && table.present[type_id] ? &table.by_type[type_id] : nullptr;
}

bool no_codec_q(u32 type_id) {
  return type_id == type::routine || type_id == type::triple || type_id == type::handle || type_id == type::port ||
         type_id == type::event;
}

}  // namespace kiv::kivbin
