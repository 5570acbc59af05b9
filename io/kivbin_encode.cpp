// The KIVBIN encoder: the walk over the value graph (record counters, reference paths, the symbol
// list) and the assembly of the header, the symbol table and the records in either form. The
// payload of each datatype is written by its codec (kivbin_types.cpp).
#include <algorithm>
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/symbol.h"
#include "io/kivbin_internal.h"
#include "runtime/sys.h"

namespace kiv::kivbin {

void Chunks::next_chunk(std::size_t n) {
  if (!list.empty()) {
    sizes.push_back(size() - before);
    before = size();
  }
  const std::size_t last = list.empty() ? first_chunk / 2 : static_cast<std::size_t>(end - list.back().get());
  const std::size_t bytes = std::max(n, std::min(2 * last, chunk_bytes));
  list.emplace_back(new u8[bytes]);
  at = list.back().get();
  end = at + bytes;
}

void Chunks::copy_to(u8* to) const {
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::size_t n = i < sizes.size() ? sizes[i] : size() - before;
    if (n) std::memcpy(to, list[i].get(), n);
    to += n;
  }
}

void Encoder::bytes(const void* p, std::size_t n) {
  const u8* from = static_cast<const u8*>(p);
  while (n) {
    // Large data fills up the chunk and goes on in the next.
    std::size_t take = std::min(n, static_cast<std::size_t>(out.end - out.at));
    if (!take) {
      take = std::min(n, Chunks::chunk_bytes);
      out.room(take);
    }
    std::memcpy(out.at, from, take);
    out.at += take;
    from += take;
    n -= take;
  }
}

void Encoder::pad(u32 multiple) {
  if (compact) return;
  while (out.size() % multiple) byte(0);
}

void Encoder::lead(u32 type_id, bool flag, u32 bits, bool reference) {
  if (compact) {
    if (new_line) byte(lead::new_line);
    if (reference) byte(lead::reference);
    const u8 f = flag ? lead::type_flag : 0;
    if (type_id < lead::type_escape) {
      byte(static_cast<u8>(type_id | f));
    } else {
      byte(lead::type_escape | f);
      varint(type_id);
    }
  } else {
    word(type_id | bits | (reference ? fixed::reference : 0) | (new_line ? fixed::new_line : 0));
  }
  new_line = false;
}

void Encoder::special(u8 b) {
  if (new_line) byte(lead::new_line);
  byte(b);
  new_line = false;
}

u32 Encoder::symbol(i32 id) {
  const u32 k = static_cast<u32>(id);
  if (k >= symbol_slots.size()) symbol_slots.resize(std::max<std::size_t>(k + 1, symbol_slots.size() * 2), 0);
  u32& slot = symbol_slots[k];
  if (!slot) {
    symbols.push_back(id);
    slot = static_cast<u32>(symbols.size());
  }
  return slot - 1;
}

bool Encoder::seen(u32 node) {
  if (node >> leaf_shift != last_leaf) {
    last_leaf = node >> leaf_shift;
    std::unique_ptr<u32[]>& slots = leaves[last_leaf];
    if (!slots) slots.reset(new u32[(1u << leaf_shift) / 4]());
    leaf = slots.get();
  }
  u32& at = leaf[(node & ((1u << leaf_shift) - 1)) / 4];
  if (at) {
    found = at;
    return true;
  }
  at = here();
  return false;
}

void Encoder::write_path() {
  std::vector<u32> path;
  for (u32 k = found; k; k = steps[k].parent) path.push_back(steps[k].index);
  u(static_cast<u32>(path.size()));
  for (auto i = path.rbegin(); i != path.rend(); ++i) u(*i);
}

void Encoder::value(const Cell* v) {
  if (!sys::stack_ok()) [[unlikely]] raise_error(ErrorCategory::internal, "stack-overflow");
  const TypeCodec* c = codec_of(v->type());
  if (!c || !c->write) raise_error(ErrorCategory::access, "no-codec", *v);
  new_line = (v->header & header::new_line) != 0;
  c->write(*this, v);
}

namespace {

void put_le32(u8* at, u32 v) {
  at[0] = static_cast<u8>(v);
  at[1] = static_cast<u8>(v >> 8);
  at[2] = static_cast<u8>(v >> 16);
  at[3] = static_cast<u8>(v >> 24);
}

// The symbol table after the counts: one 4-byte offset per name, then the names, each ended by a
// NUL (and, in the fixed form, zero bytes up to a multiple of 8).
void write_symbol_table(const Encoder& e, Encoder& file) {
  std::vector<u8> names;
  std::vector<u8> offsets(e.symbols.size() * 4);
  for (std::size_t i = 0; i < e.symbols.size(); ++i) {
    put_le32(&offsets[i * 4], static_cast<u32>(names.size()));
    std::string_view name = symbol::name(e.symbols[i]);
    names.insert(names.end(), name.begin(), name.end());
    names.push_back(0);
    if (!e.compact)
      while (names.size() % 8) names.push_back(0);
  }
  file.u(static_cast<u32>(e.symbols.size()));
  file.u(static_cast<u32>(names.size()));
  file.bytes(offsets.data(), offsets.size());
  file.bytes(names.data(), names.size());
}

}  // namespace

Cell* encode(const Cell* value, bool compact, Cell* out) {
  Encoder e;
  e.compact = compact;
  e.symbol_slots.assign(static_cast<std::size_t>(symbol::count()) + 1, 0);
  e.value(value);
  // Sizes travel as 32-bit signed integers.
  if (e.out.size() > 0x7FFFFFF0u) raise_error(ErrorCategory::internal, "no-memory");

  Encoder file;
  file.compact = compact;
  file.bytes(magic, sizeof magic);
  file.byte(version);
  const bool with_symbols = !e.symbols.empty();
  file.byte(static_cast<u8>((compact ? flag::compact : 0) | (with_symbols ? flag::symbols : 0)));
  file.u(1);  // one root value
  file.u(static_cast<u32>(e.out.size()));
  if (with_symbols) write_symbol_table(e, file);
  const u64 size = u64{file.out.size()} + e.out.size();
  if (size > 0x7FFFFFF0u) raise_error(ErrorCategory::internal, "no-memory");
  binary::make_at(out, static_cast<i32>(size));
  SeriesBuffer* b = binary::buffer_of(out);
  u8* at = b->head_ptr<u8>();
  file.out.copy_to(at);
  e.out.copy_to(at + file.out.size());
  b->tail = b->head + static_cast<u32>(size);
  return out;
}

}  // namespace kiv::kivbin
