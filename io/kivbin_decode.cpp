// The KIVBIN decoder: the header and symbol table of either form, the expansion of compressed
// input, the record loop with its prefixes and special lead bytes, reference paths, and the boot
// data's definitions. The payload of each datatype is read by its codec (kivbin_types.cpp).
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/op.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "io/boot_lz.h"
#include "io/kivbin_internal.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

namespace kiv::kivbin {

namespace {

u32 le32(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }

i32 cells_in(const Cell* blk) {
  const SeriesBuffer* b = buffer_of(Ref<Node>(blk->w2));
  return static_cast<i32>(b->used_bytes() / sizeof(Cell));
}

bool any_block_kind_q(u32 t) { return t == type::block || t == type::paren || (t >= type::path && t <= type::get_path); }

}  // namespace

// ---- Reading ---------------------------------------------------------------------------------------

void Decoder::invalid(const u8* at) const {
  Cell offset;
  integer::box(&offset, static_cast<i32>(at - start) + 1);
  raise_error(ErrorCategory::script, "kb-invalid-record", offset);
}

u32 Decoder::varint() {
  const u8* at = p;
  u32 v = 0;
  for (u32 shift = 0;; shift += 7) {
    const u8 b = byte();
    // A value must fit in 32 bits: a fifth byte carries at most the top four.
    if (shift == 28 && b > 0x0F) invalid(at);
    v |= u32{b & 0x7Fu} << shift;
    if (!(b & 0x80)) return v;
  }
}

u32 Decoder::word() { return le32(take(4)); }

void Decoder::skip_pad() {
  while ((p - records) % 4) take(1);
}

i32 Decoder::symbol(u32 index, const u8* at) {
  if (index >= symbol_count) invalid(at);
  if (i32 id = symbol_ids[index]) return id;
  const u32 offset = le32(offsets + 4 * index);
  if (offset >= strings_size) invalid(at);
  // The strings area ends with a NUL (checked with the header), so the name ends inside it.
  const u8* name = strings + offset;
  const std::size_t length = std::strlen(reinterpret_cast<const char*>(name));
  if (length == 0) invalid(at);
  const i32 id = symbol::intern_name(name, static_cast<i32>(length), symbol::with_alias);
  symbol_ids[index] = id;
  return id;
}

u32 Decoder::word_count(u32 ctx) const {
  for (const Building& b : building)
    if (b.ctx->offset() == ctx) return b.words;
  return static_cast<u32>(context::word_count(Ref<Node>(ctx)));
}

// ---- Sinks -------------------------------------------------------------------------------------------

Cell* Decoder::slot(const Sink& s) { return buffer_of(Ref<Node>(s.container->w2))->head_ptr<Cell>() + s.index; }

Sink Decoder::append_to(Cell* container) {
  const i32 index = cells_in(container);
  cell::append_slot(container);
  return {container, index};
}

u32 Decoder::peek_type() const {
  const u8* q = p;
  if (compact) {
    while (q < end && (*q == lead::new_line || *q == lead::reference)) ++q;
    if (q >= end || *q >= 0x80 || (*q & lead::type_mask) == lead::type_escape) return 0;
    return *q & lead::type_mask;
  }
  while (end - q >= 4 && q[0] == fixed::padding) q += 4;
  return end - q >= 4 ? q[0] : 0;
}

Cell Decoder::root_cell(u32 index, const u8* at) const {
  if (index >= static_cast<u32>(cells_in(target) - root_base)) invalid(at);
  return buffer_of(Ref<Node>(target->w2))->head_ptr<Cell>()[root_base + static_cast<i32>(index)];
}

// ---- Reference paths ---------------------------------------------------------------------------------

u32 Decoder::context_of_cell(const Cell& c) {
  const u32 t = c.type();
  if ((t >= type::word && t <= type::refinement) || t == type::object || t == type::error || t == type::function)
    return c.w1;
  if (t == type::op && op::wrapped_type(&c) == type::function) return c.w1;
  return 0;
}

namespace {

// One step of a path into the value reached so far; false when the value has no cell `i`.
bool step(Cell& at, u32 i) {
  const u32 t = at.type();
  if (any_block_kind_q(t) || t == type::hash || t == type::map) {
    if (i >= static_cast<u32>(cells_in(&at))) return false;
    at = buffer_of(Ref<Node>(at.w2))->head_ptr<Cell>()[i];
    return true;
  }
  const u32 wrapped = t == type::op ? op::wrapped_type(&at) : t;
  if ((t >= type::word && t <= type::refinement) || t == type::object || t == type::error) {
    const Ref<Node> ctx(at.w1);
    if (!ctx || ctx == context::global() || context::on_stack_q(ctx)) return false;
    const Cell* values = context::values_of(ctx);
    // An error's path steps count from arg1: code, type and id are not written.
    const u32 first = t == type::error ? 3 : 0;
    const u32 n = t == type::error ? 6 : static_cast<u32>(context::word_count(ctx));
    if (!values || i >= n || first + i >= buffer_of(Ref<Node>(context::cell_of(ctx)->w2))->used_bytes() / sizeof(Cell))
      return false;
    at = values[first + i];
    return true;
  }
  if (wrapped == type::native || wrapped == type::action || wrapped == type::function) {
    if (i == 0) {
      at = Cell{type::block, 0, at.w2, 0};
      return true;
    }
    if (i == 1 && wrapped == type::function) {
      at = *function::more_cell(&at, function::more::body);
      return true;
    }
  }
  return false;
}

}  // namespace

Cell Decoder::designated() {
  const u8* at = p;
  const u32 n = u();
  if (n == 0 || n > max_path_steps || n > left()) invalid(at);
  // The root step counts from the first cell this decode appended.
  Cell c = root_cell(u(), at);
  for (u32 k = 1; k < n; ++k)
    if (!step(c, u())) invalid(at);
  return c;
}

Cell Decoder::designated_series(u32 type_id) {
  const u8* at = p;
  Cell c = designated();
  const u32 t = c.type();
  // The new value shares the designated series: it must be stored the way the type reads it.
  bool fits;
  if (any_block_kind_q(type_id) || type_id == type::hash) fits = any_block_kind_q(t) || t == type::hash;
  else if (type_id == type::binary || type_id == type::bitset || type_id == type::vector || type_id == type::map)
    fits = t == type_id;
  else fits = string::any_string_q(t);
  if (!fits) invalid(at);
  // A vector's element type and the index of a map or hash! go with the series; a hash! over a
  // block's series has no index yet (the block code makes one at the next change).
  if (t != type_id || (t != type::vector && t != type::map && t != type::hash)) c.w3 = 0;
  c.header = type_id;
  return c;
}

// ---- Records -----------------------------------------------------------------------------------------

namespace {

bool registered_q(u32 t) { return t < datatype::table_rows && datatype::names[t].name != nullptr; }

bool word_kind_q(u32 t) { return t >= type::word && t <= type::issue; }

[[noreturn]] void no_codec(u32 t) {
  Cell dt;
  datatype::make_at(&dt, t);
  raise_error(ErrorCategory::access, "no-codec", dt);
}

}  // namespace

// Reads one record into the sink. Answers whether it was a definition (boot data, root level only:
// the caller then reads the value and sets the word).
static bool read_one(Decoder& d, const Sink& s, bool root) {
  if (!sys::stack_ok()) [[unlikely]] raise_error(ErrorCategory::internal, "stack-overflow");
  Record r{};
  r.start = d.p;
  bool new_line = false;
  if (d.compact) {
    u8 lead_byte;
    const u8* lead_at;
    for (;;) {
      lead_at = d.p;
      lead_byte = d.byte();
      if (lead_byte == lead::new_line) new_line = true;
      else if (lead_byte == lead::reference) r.reference = true;
      else if (lead_byte == lead::definition) {
        if (!d.boot || !root) d.invalid(lead_at);
        r.definition = true;
      } else {
        break;
      }
    }
    if (lead_byte >= 0x80) {
      if (r.reference || r.definition) d.invalid(lead_at);
      Cell v;
      if (lead_byte < lead::new_line) integer::box(&v, lead_byte - lead::small_integer);
      else if (lead_byte == lead::logic_true || lead_byte == lead::logic_false)
        v = Cell{type::logic, lead_byte == lead::logic_true ? 1u : 0u, 0, 0};
      else if (lead_byte == lead::copy) v = d.designated();
      else d.invalid(lead_at);
      if (new_line) v.header |= header::new_line;
      *Decoder::slot(s) = v;
      return false;
    }
    r.type = lead_byte & lead::type_mask;
    r.flag = (lead_byte & lead::type_flag) != 0;
    if (r.type == lead::type_escape) r.type = d.varint();
    if (r.type == 0 || (r.definition && !word_kind_q(r.type))) d.invalid(lead_at);
  } else {
    u32 h;
    do {
      r.start = d.p;
      h = d.word();
    } while ((h & fixed::type_mask) == fixed::padding);
    r.type = h & fixed::type_mask;
    r.bits = h;
    r.reference = (h & fixed::reference) != 0;
    new_line = (h & fixed::new_line) != 0;
    if (r.type == fixed::copy) {
      Cell v = d.designated();
      if (new_line) v.header |= header::new_line;
      *Decoder::slot(s) = v;
      return false;
    }
    if (d.boot && word_kind_q(r.type) && (h & fixed::definition)) {
      if (!root) d.invalid(r.start);
      r.definition = true;
    }
  }
  if (no_codec_q(r.type)) no_codec(r.type);
  const TypeCodec* c = codec_of(r.type);
  if (!c || !c->read || (c->needs_registration && !registered_q(r.type))) d.invalid(r.start);
  if (d.compact && r.reference && !c->references) d.invalid(r.start);
  c->read(d, s, r);
  if (new_line) Decoder::slot(s)->header |= header::new_line;
  return r.definition;
}

void Decoder::record(const Sink& s) { read_one(*this, s, false); }

namespace {

// A definition of the boot data: the word at `word_at` of the target is set to the value after it,
// and both leave the root block.
void define(Decoder& d, i32 word_at, const u8* start) {
  Sink value = Decoder::append_to(d.target);
  read_one(d, value, false);
  Cell w = *Decoder::slot({d.target, word_at});
  Cell v = *Decoder::slot(value);
  RootCell keep_w(w), keep_v(v);
  if (w.type() == type::issue) word::make_at(word::symbol_of(&w), &w);
  cell::set_type(&w, type::word);
  try {
    word::set(&w, &v);
  } catch (const LanguageError&) {
    d.invalid(start);
  }
  block::set_tail(d.target, word_at);
}

// Reads the counts and the symbol table that follow the flags byte, and the records size; leaves
// the reader at the first record with `end` at the end of the records.
void read_tables(Decoder& d, u8 flags) {
  d.u();  // the root count: the records area says how many there are
  const u8* at = d.p;
  const u32 records_size = d.u();
  if (flags & flag::symbols) {
    const u8* table_at = d.p;
    d.symbol_count = d.u();
    d.strings_size = d.u();
    const u64 table = u64{d.symbol_count} * 4 + d.strings_size;
    if (d.symbol_count > 0x7FFFFFFF || d.strings_size > 0x7FFFFFFF || table > d.left()) d.invalid(table_at);
    d.offsets = d.p;
    d.strings = d.p + u64{d.symbol_count} * 4;
    d.p += table;
    if (d.strings_size && d.strings[d.strings_size - 1] != 0) d.invalid(table_at);
    d.symbol_ids.assign(d.symbol_count, 0);
  }
  if (records_size > 0x7FFFFFFF) d.invalid(at);
  // A records area cut short fails where the data ends.
  if (records_size > d.left()) d.invalid(d.end);
  d.records = d.p;
  d.end = d.p + records_size;
}

void read_roots(Decoder& d) {
  for (;;) {
    // Padding words may stand between records and after the last one.
    if (!d.compact)
      while (d.left() >= 4 && (d.p[0] & fixed::type_mask) == fixed::padding) d.p += 4;
    if (d.p >= d.end) break;
    const u8* start = d.p;
    Sink s = Decoder::append_to(d.target);
    if (read_one(d, s, true)) define(d, s.index, start);
  }
}

}  // namespace

i32 decode(const u8* data, std::size_t length, Cell* target, Mode mode) {
  if (length < sizeof magic || std::memcmp(data, magic, sizeof magic) != 0) throw BadInput{"Error: Not a Kivbin file!"};
  if (length < header_bytes) throw BadInput{"Error: Not a Kivbin file!"};
  const u8 flags = data[7];
  std::vector<u8> expanded;
  if (flags & flag::compressed) {
    u32 size = 0;
    u8* x = length > 0xFFFFFFFFu ? nullptr : boot_lz::decompress(data + header_bytes, static_cast<u32>(length - header_bytes), &size);
    if (!x) throw BadInput{"Error: Kivbin compressed data corrupted!"};
    // The expanded data takes the place of what followed the flags: offsets read as if it had
    // never been compressed.
    expanded.assign(data, data + header_bytes);
    expanded.insert(expanded.end(), x, x + size);
    boot_lz::free_stream(x);
    data = expanded.data();
    length = expanded.size();
  }
  const bool compact = flags & flag::compact;
  if (!compact && length < header_bytes + 8) throw BadInput{"Error: Not a Kivbin file!"};

  Decoder d;
  d.compact = compact;
  d.boot = mode == Mode::boot;
  d.start = data;
  d.p = data + header_bytes;
  d.end = data + length;
  d.target = target;
  d.root_base = cells_in(target);

  Cell* const saved_top = stack::top;
  const u32 saved_roots = roots::top;
  try {
    read_tables(d, flags);
    read_roots(d);
  } catch (...) {
    // User mode leaves the target as it was; the value stack and the shadow roots are back where
    // they were (an error thrown past a guard has already popped it).
    if (mode == Mode::user) block::set_tail(target, d.root_base);
    stack::top = saved_top;
    KIV_ASSERT(roots::top == saved_roots, "decoder left shadow roots behind");
    throw;
  }
  return d.root_base;
}

void decode_boot_data(const u8* blob, std::size_t length) {
  collector::Suspend quiet;
  try {
    literal_base = decode(blob, length, &collector::root_block, Mode::boot);
  } catch (const BadInput& bad) {
    sys::write_line(bad.message);
    sys::exit_process(0);
  }
}

Cell* literal_at(i32 n) { return words::root_at(literal_base + n); }

}  // namespace kiv::kivbin
