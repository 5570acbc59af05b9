// The KIVBIN encoder: the walk over the value graph (record counters, reference paths, the symbol
// list) and the assembly of the header, the symbol table and the records in either form. The
// payload of each datatype is written by its codec (kivbin_types.cpp).
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/symbol.h"
#include "io/kivbin_internal.h"
#include "runtime/sys.h"

namespace kiv::kivbin {

void Encoder::bytes(const void* p, std::size_t n) {
  const u8* b = static_cast<const u8*>(p);
  out.insert(out.end(), b, b + n);
}

void Encoder::varint(u32 v) {
  while (v >= 0x80) {
    out.push_back(static_cast<u8>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<u8>(v));
}

void Encoder::word(u32 v) {
  const u8 b[4] = {static_cast<u8>(v), static_cast<u8>(v >> 8), static_cast<u8>(v >> 16), static_cast<u8>(v >> 24)};
  out.insert(out.end(), b, b + 4);
}

void Encoder::pad(u32 multiple) {
  if (compact) return;
  while (out.size() % multiple) out.push_back(0);
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
  auto [at, added] = symbol_index.try_emplace(id, static_cast<u32>(symbols.size()));
  if (added) symbols.push_back(id);
  return at->second;
}

bool Encoder::seen(u32 node) {
  auto [at, added] = written.try_emplace(node, static_cast<u32>(path_store.size()));
  if (!added) {
    found = at->second;
    return true;
  }
  path_store.push_back(static_cast<u32>(levels.size() + 1));
  path_store.insert(path_store.end(), levels.begin(), levels.end());
  path_store.push_back(counter);
  return false;
}

void Encoder::write_path() {
  const u32 n = path_store[found];
  u(n);
  for (u32 i = 1; i <= n; ++i) u(path_store[found + i]);
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
  file.bytes(e.out.data(), e.out.size());
  if (file.out.size() > 0x7FFFFFF0u) raise_error(ErrorCategory::internal, "no-memory");
  return binary::make_from(out, file.out.data(), static_cast<i32>(file.out.size()));
}

}  // namespace kiv::kivbin
