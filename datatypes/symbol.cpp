#include "datatypes/symbol.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/words.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/unicode.h"

namespace kiv::symbol {

namespace {

Ref<Node> block_node() { return Ref<Node>(block_cell()->w2); }
Ref<Node> table_node() { return Ref<Node>(block_cell()->w3); }

Cell* cells() { return buffer_of(block_node())->head_ptr<Cell>(); }

Ref<Node> name_node(const Cell* sym) { return Ref<Node>(sym->w3); }

const u8* name_bytes(const Cell* sym, i32& length) {
  SeriesBuffer* b = buffer_of(name_node(sym));
  length = static_cast<i32>(b->used_bytes());
  return b->head_ptr<u8>();
}

// One walk along the name's chain from its start bucket. Answers the position of the symbol with
// exactly these bytes (with `exact_pass`), else -1 with `folded` the position of the first symbol
// equal ignoring ASCII case (-1 when none) and `empty` the first empty bucket reached (-1 when the
// walk came back to its start). One walk serves both passes: the exact match may lie anywhere in
// the chain, and the first case-insensitive match is the first in chain order either way.
i32 probe(const hashtable::Table* t, u32 start, const u8* bytes, i32 length, bool exact_pass, i32& folded,
          i32& empty) {
  const u32 mask = static_cast<u32>(t->n_buckets) - 1;
  const u32* flags = hashtable::flags_of(t);
  const i32* keys = hashtable::keys_of(t);
  const Cell* syms = cells();
  folded = -1;
  empty = -1;
  u32 i = start;
  for (u32 step = 1;; ++step) {
    u32 f = hashtable::bucket_flags(flags, i);
    if (f == hashtable::empty_bucket) {
      empty = static_cast<i32>(i);
      return -1;
    }
    if (f == hashtable::live_bucket) {
      i32 pos = keys[i];
      i32 n;
      const u8* name = name_bytes(syms + pos, n);
      if (n == length) {
        if (exact_pass && hashtable::compare_names(name, bytes, length, false)) return pos;
        if (folded < 0 && hashtable::compare_names(name, bytes, length, true)) {
          folded = pos;
          if (!exact_pass) return -1;
        }
      }
    }
    i = (i + step) & mask;
    if (i == start) return -1;
  }
}

// Appends the symbol cell and its name series; answers the new id. The bytes must not lie in a
// buffer that an allocation can move.
i32 add_symbol(const u8* bytes, i32 length, i32 alias_id, u32 bucket) {
  Ref<Node> name = memory::alloc_bytes(length + 1);
  RootNode keep(name);
  SeriesBuffer* nb = buffer_of(name);
  if (length) std::memcpy(nb->data(), bytes, static_cast<size_t>(length));
  nb->data()[length] = std::byte{0};
  nb->tail = nb->head + static_cast<u32>(length);

  Cell* c = cell::reserve_tail_cell(buffer_of(block_node()));
  *c = Cell{type::symbol, static_cast<u32>(alias_id), 0, name.offset()};
  i32 pos = count() - 1;

  hashtable::Table* t = hashtable::record_of(table_node());
  hashtable::set_live(t, bucket, pos);
  ++t->size;
  ++t->n_occupied;
  return pos + 1;
}

// A symbol's id from a symbol! cell that is not in the symbol block: its name looked up exactly.
i32 id_by_name(const Cell* sym) {
  i32 n;
  const u8* bytes = name_bytes(sym, n);
  std::string copy(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
  return intern_name(reinterpret_cast<const u8*>(copy.data()), n, with_alias);
}

// The string! view of a symbol's name for the string routines (a cell read from position 0).
const Cell* name_as_string(const Cell* sym) {
  static Cell view;
  Ref<Node> s = get_name_string(sym);
  view = Cell{type::string, 0, s.offset(), 0};
  return &view;
}

i32 resolve_hook(i32 id) { return resolve(id); }

}  // namespace

Cell* block_cell() { return words::root_at(words::root_index::symbols); }

i32 count() { return static_cast<i32>(buffer_of(block_node())->used_bytes() / sizeof(Cell)); }

Cell* cell_of(i32 id) { return cells() + (id - 1); }

i32 intern_name(const u8* bytes, i32 length, i32 mode) {
  // A name read from a series buffer would move under an allocation: take it out first.
  std::string moved;
  if (arena::contains(bytes)) {
    moved.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    bytes = reinterpret_cast<const u8*>(moved.data());
  }

  hashtable::Table* t = hashtable::record_of(table_node());
  if (t->n_occupied >= t->upper_bound) {
    hashtable::grow_word_table(table_node());
    t = hashtable::record_of(table_node());
  }

  u32 hash = hashtable::murmur3_32(hashtable::fold_ascii(bytes, length), length);
  u32 start = hash & (static_cast<u32>(t->n_buckets) - 1);
  i32 folded, empty;
  i32 pos = probe(t, start, bytes, length, mode == with_alias, folded, empty);
  if (pos >= 0) return pos + 1;
  if (folded >= 0) {
    // The chain is walked oldest first only until the table is rehashed; resolving the match
    // keeps the alias pointing at the canonical form whatever order the chain has now.
    i32 canonical = resolve(folded + 1);
    if (mode == no_alias) return canonical;
    if (empty >= 0) return add_symbol(bytes, length, canonical, static_cast<u32>(empty));
  } else if (empty >= 0) {
    return add_symbol(bytes, length, -1, static_cast<u32>(empty));
  }
  // No empty bucket on the chain (the fill limit makes this unreachable): grow and try again.
  hashtable::grow_word_table(table_node());
  return intern_name(bytes, length, mode);
}

i32 make(const char* name) {
  return intern_name(reinterpret_cast<const u8*>(name), static_cast<i32>(std::strlen(name)), with_alias);
}
i32 make(std::string_view name) {
  return intern_name(reinterpret_cast<const u8*>(name.data()), static_cast<i32>(name.size()), with_alias);
}
i32 make_no_alias(const char* name) {
  return intern_name(reinterpret_cast<const u8*>(name), static_cast<i32>(std::strlen(name)), no_alias);
}
i32 make_from_buffer(const u8* bytes, i32 length) { return intern_name(bytes, length, with_alias); }

i32 make_from_string(const Cell* text, i32 count) {
  Cell s = *text;
  std::string utf8 = string::to_utf8(&s);
  if (count >= 0) {
    // Cut after `count` characters.
    const u8* p = reinterpret_cast<const u8*>(utf8.data());
    const u8* end = unicode::skip_codepoints(p, p + utf8.size(), count);
    utf8.resize(static_cast<size_t>(end - p));
  }
  return make(std::string_view(utf8));
}

i32 resolve(i32 id) {
  i32 a = static_cast<i32>(cell_of(id)->w1);
  return a > 0 ? a : id;
}

i32 alias(i32 id) { return static_cast<i32>(cell_of(id)->w1); }

std::string_view name(i32 id) {
  i32 n;
  const u8* bytes = name_bytes(cell_of(id), n);
  return {reinterpret_cast<const char*>(bytes), static_cast<size_t>(n)};
}

Ref<Node> get_name_string(i32 id) {
  if (u32 s = cell_of(id)->w2) return Ref<Node>(s);
  std::u32string cps;
  {
    std::string_view text = name(id);
    std::string copy(text);  // NUL-ended for the decoder
    const u8* p = reinterpret_cast<const u8*>(copy.c_str());
    const u8* end = p + copy.size();
    while (p < end) {
      i32 cp;
      p = unicode::decode_utf8_next(p, cp);
      cps.push_back(static_cast<char32_t>(cp < 0 ? 0xFFFD : cp));
    }
  }
  i32 max_cp = 0;
  for (char32_t c : cps) max_cp = std::max(max_cp, static_cast<i32>(c));
  Cell out{type::none, 0, 0, 0};
  RootCell keep(out);
  string::make_at(&out, static_cast<i32>(cps.size()));
  if (!cps.empty())
    string::append_code_points(&out, reinterpret_cast<const i32*>(cps.data()), static_cast<i32>(cps.size()),
                               max_cp);
  cell_of(id)->w2 = out.w2;  // re-read: the symbol block may have moved
  return Ref<Node>(out.w2);
}

i32 id_of(const Cell* sym) {
  SeriesBuffer* b = buffer_of(block_node());
  const Cell* first = b->head_ptr<Cell>();
  const Cell* last = b->tail_ptr<Cell>();
  if (sym >= first && sym < last) return static_cast<i32>(sym - first) + 1;
  return id_by_name(sym);
}

Ref<Node> get_name_string(const Cell* sym) {
  if (sym->w2) return Ref<Node>(sym->w2);
  return get_name_string(id_of(sym));
}

Cell* get(i32 id) {
  get_name_string(id);
  return cell_of(id);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::symbol) return -2;
  Cell sa = *a, sb = *b;
  RootCell keep_a(sa), keep_b(sb);
  Cell ta = Cell{type::string, 0, get_name_string(&sa).offset(), 0};
  RootCell keep_ta(ta);
  Cell tb = Cell{type::string, 0, get_name_string(&sb).offset(), 0};
  return string::compare_strings(&ta, &tb, op, false);
}

void make_block() {
  Cell blk{type::none, 0, 0, 0};
  RootCell keep(blk);
  block::make_at(&blk, boot_symbols);
  blk.header = type::hash;  // its index (w3) is the symbol table, made at step 13
  words::record(&blk);
}

void make_table() {
  Cell blk = *block_cell();
  RootCell keep(blk);
  blk.header = type::block;
  Ref<Node> table = hashtable::make(boot_symbols, &blk, hashtable::kind_word, 0);
  block_cell()->w3 = table.offset();
  hooks::symbol_name = name_as_string;
  hooks::symbol_resolve = resolve_hook;
}

namespace {

// A symbol cell: its name bytes (node in w3) hashed without case.
u32 hash(const Cell* symbol, bool) {
  SeriesBuffer* b = buffer_of(Ref<Node>(symbol->w3));
  return hashtable::murmur3_32_folded(b->head_ptr(), static_cast<i32>(b->used_bytes()));
}

// The name bytes in w3, the cached name string in w2 when made.
void mark(Cell* c) {
  collector::mark_node(&c->w3);
  if (c->w2) collector::mark_node(&c->w2);
}

}  // namespace

void init() {
  datatype::register_type(type::symbol, 0, "symbol!", {.compare = compare});
  hashtable::set_hash_procedure(type::symbol, hash);
  collector::set_mark_procedure(type::symbol, mark);
  // The symbol block is a hash! cell (the block and its index) in the root block, made before
  // hash! registers: what the collector marks in it is set here.
  collector::set_mark_procedure(type::hash, collector::mark_hash);
}

}  // namespace kiv::symbol
