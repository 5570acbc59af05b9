// What the KIVBIN encoder, decoder and the per-type codecs share: the state of one encode and of
// one decode, and the table that gives each datatype its payload writer and reader.
//
// The encoder writes into C++ buffers and reads the value graph without allocating anything in the
// run-time's memory, so nothing moves under it until the finished bytes become a binary!. The
// decoder allocates at every record; it places each new value in its destination (a sink: a slot
// of a cells series reached through a rooted cell) before it reads what the value contains, so a
// reference path met inside a value can already reach that value (cycles), and so everything made
// is reachable by the collector.
#pragma once
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "io/kivbin.h"
#include "runtime/cell.h"

namespace kiv::kivbin {

// ---- Encoder ---------------------------------------------------------------------------------

// The records area as a list of chunks: it grows without copying what was written. room(n) gives
// n contiguous bytes at `at`; the writer moves `at` past what it wrote.
struct Chunks {
  // Chunks double from the first size up to the largest: a small output takes a small buffer.
  static constexpr std::size_t first_chunk = 4096, chunk_bytes = std::size_t{1} << 24;
  std::vector<std::unique_ptr<u8[]>> list;
  std::vector<std::size_t> sizes;  // of the chunks before the last
  u8* at = nullptr;
  u8* end = nullptr;
  std::size_t before = 0;  // the bytes of the chunks before the last

  u8* room(std::size_t n) {
    if (static_cast<std::size_t>(end - at) < n) [[unlikely]] next_chunk(n);
    return at;
  }
  void next_chunk(std::size_t n);
  std::size_t size() const { return list.empty() ? 0 : before + static_cast<std::size_t>(at - list.back().get()); }
  void copy_to(u8* out) const;
};

struct Encoder {
  bool compact = true;
  Chunks out;  // the records area

  // The output's symbol list, in order of first use, and by symbol id 1 + the index of the symbol
  // in it (0: not used yet).
  std::vector<i32> symbols;
  std::vector<u32> symbol_slots;

  // A path is the list of record counters from the root to a value. The paths of the values that
  // hold a node or enter a level form a tree: entry k is a step from the entry of the enclosing
  // level (entry 0 is the root, above the root values). Each series or context node already
  // written is mapped to its entry; the map is made at the first node.
  struct Step {
    u32 parent, index;
  };
  std::deque<Step> steps;
  // Node to entry, indexed by the node's arena offset (nodes are 4-byte slots, so the offset over 4
  // tells them apart): a leaf for each 4 KB of the arena, made when a node in it is first met, holds
  // an entry per slot, 0 while that node was not written. Nodes met one after the other mostly
  // share a leaf: the last one is kept at hand.
  static constexpr u32 leaf_shift = 12;
  std::unordered_map<u32, std::unique_ptr<u32[]>> leaves;
  u32 last_leaf = ~0u;
  u32* leaf = nullptr;
  struct Level {
    u32 counter, entry;
  };
  std::vector<Level> levels;  // the enclosing levels
  u32 counter = 0;            // the current level's counter: the position of the next record
  u32 entry = 0;              // the current level's entry
  u32 found = 0;              // the entry of the node seen() last answered true for

  bool new_line = false;  // of the record being written
  u32 owner = 0;          // a context whose path a word has just recorded: its owner is written in full

  Encoder() { steps.push_back({0, 0}); }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  ~Encoder() = default;

  // Bytes and numbers. u and s are a varint and a zig-zag varint in the compact form, a 32-bit word
  // in the fixed form.
  void byte(u8 b) {
    *out.room(1) = b;
    ++out.at;
  }
  void bytes(const void* p, std::size_t n);
  void varint(u32 v) {
    u8* p = out.room(5);
    for (; v >= 0x80; v >>= 7) *p++ = static_cast<u8>(v | 0x80);
    *p++ = static_cast<u8>(v);
    out.at = p;
  }
  void zigzag(i32 v) { varint((static_cast<u32>(v) << 1) ^ static_cast<u32>(v >> 31)); }
  void word(u32 v) {
    u8* p = out.room(4);
    p[0] = static_cast<u8>(v);
    p[1] = static_cast<u8>(v >> 8);
    p[2] = static_cast<u8>(v >> 16);
    p[3] = static_cast<u8>(v >> 24);
    out.at = p + 4;
  }
  void u(u32 v) { compact ? varint(v) : word(v); }
  void s(i32 v) { compact ? zigzag(v) : word(static_cast<u32>(v)); }
  // Fixed form: zero bytes up to a multiple of 4 (8) of the records area.
  void pad(u32 multiple);

  // The record's lead: in the compact form the 0xC0 and 0xC1 prefixes and the lead byte (type id
  // and flag); in the fixed form the header word (type id, the record's bits, bit 19 for a
  // reference, bit 31 for a new line).
  void lead(u32 type_id, bool flag, u32 bits = 0, bool reference = false);
  // Compact form: a special lead byte (0x80 to 0xFF) after the 0xC0 prefix of a new line.
  void special(u8 b);

  // The index of a symbol in the output's list, added when new.
  u32 symbol(i32 id);

  // The entry of the value at the current position: the last one made when it is that value's.
  u32 here() {
    const Step& last = steps.back();
    if (steps.size() > 1 && last.parent == entry && last.index == counter) return static_cast<u32>(steps.size() - 1);
    steps.push_back({entry, counter});
    return static_cast<u32>(steps.size() - 1);
  }
  // Whether the node was written before (its path is then what write_path writes); a new node has
  // the current path recorded for it.
  bool seen(u32 node);
  void write_path();
  // seen() for the node of a value about to be written, except for the owner a word just recorded.
  bool reference_to(u32 node) {
    if (node == owner) {
      owner = 0;
      return false;
    }
    return seen(node);
  }

  // One record at the current level; child() also counts it. enter() starts the level of a value's
  // inner records, leave() goes back to the outer one.
  void value(const Cell* v);
  void child(const Cell* v) {
    value(v);
    ++counter;
  }
  void enter() {
    const u32 inner = here();
    levels.push_back({counter, entry});
    counter = 0;
    entry = inner;
  }
  void leave() {
    counter = levels.back().counter;
    entry = levels.back().entry;
    levels.pop_back();
  }
};

// ---- Decoder ---------------------------------------------------------------------------------

// Where a record's value goes: cell `index` of the cells series in the container cell's word 2.
// The container is a rooted cell (or one in a series that does not move), so the slot is found
// again after every allocation.
struct Sink {
  Cell* container;
  i32 index;
};

// What the core read before a record's payload.
struct Record {
  u32 type;
  bool flag;        // compact: bit 6 of the lead byte
  u32 bits;         // fixed: the header word
  bool reference;   // compact: the 0xC1 prefix; fixed: header bit 19
  bool definition;  // the 0xC4 prefix (compact, boot mode)
  const u8* start;  // where the record began (for error offsets)
};

struct Decoder {
  bool compact = true;
  bool boot = false;
  const u8* start = nullptr;  // the (expanded) buffer, for error offsets
  const u8* p = nullptr;
  const u8* end = nullptr;  // of the records area
  const u8* records = nullptr;

  Cell* target = nullptr;  // the block that receives the root values (stays put)
  i32 root_base = 0;       // its length when the decode began

  // The symbol table: names in the strings area, interned when first met (0 until then).
  const u8* offsets = nullptr;
  const u8* strings = nullptr;
  u32 symbol_count = 0;
  u32 strings_size = 0;
  std::vector<i32> symbol_ids;

  // The contexts whose words are still being read, with the word count their record gives: in the
  // fixed form a value may hold a word bound to a word of its context that comes later. Each entry
  // points at a rooted local, which the collector keeps up to date.
  struct Building {
    const Ref<Node>* ctx;
    u32 words;
  };
  std::vector<Building> building;
  // The words a context has, or will have once its record is read.
  u32 word_count(u32 ctx) const;

  [[noreturn]] void invalid(const u8* at) const;
  [[noreturn]] void invalid() const { invalid(p); }
  void need(std::size_t n) const {
    if (static_cast<std::size_t>(end - p) < n) invalid();
  }
  std::size_t left() const { return static_cast<std::size_t>(end - p); }

  u8 byte() {
    need(1);
    return *p++;
  }
  const u8* take(std::size_t n) {
    need(n);
    const u8* at = p;
    p += n;
    return at;
  }
  u32 varint();
  i32 zigzag() {
    u32 c = varint();
    return static_cast<i32>((c >> 1) ^ (0u - (c & 1)));
  }
  u32 word();
  u32 u() { return compact ? varint() : word(); }
  i32 s() { return compact ? zigzag() : static_cast<i32>(word()); }
  // A count of things each taking at least one byte: refused when more than the bytes left.
  u32 count() {
    const u8* at = p;
    u32 n = u();
    if (n > left()) invalid(at);
    return n;
  }
  // Fixed form: skips to a multiple of 4 of the records area.
  void skip_pad();

  i32 symbol(u32 index, const u8* at);
  i32 read_symbol() {
    const u8* at = p;
    return symbol(u(), at);
  }

  // The slot a sink designates; valid until the next allocation.
  static Cell* slot(const Sink& s);
  // Appends an unset! cell to the cells series of the container; answers its sink.
  static Sink append_to(Cell* container);

  // One record into the sink.
  void record(const Sink& s);
  // The type id of the next record (after its 0xC0 and 0xC1 prefixes, or padding), without reading
  // it; 0 for a special lead byte or the end.
  u32 peek_type() const;
  // Root value `index` (counted from the first cell this decode appended); `at` is the offset
  // reported when there is none.
  Cell root_cell(u32 index, const u8* at) const;
  // A reference path: the copy of the cell it designates.
  Cell designated();
  // After a 0xC1 series record: the designated cell, checked to hold a series of the storage the
  // type needs.
  Cell designated_series(u32 type_id);
  // The node of the context that a designated cell stands for (a word's, an object's, a function's,
  // an error's, an operator's wrapped function's); 0 when it has none.
  static u32 context_of_cell(const Cell& c);
};

// ---- The per-type codecs -------------------------------------------------------------------------

// One datatype's payload in both forms. write() is called with the cell to write and writes the
// lead (Encoder::lead) and the payload; read() is called once the core has read the record's lead
// (prefixes and lead byte, or the header word) and places the value in the sink.
struct TypeCodec {
  void (*write)(Encoder& e, const Cell* v) = nullptr;
  void (*read)(Decoder& d, const Sink& s, const Record& r) = nullptr;
  bool references = false;         // a compact record may carry the 0xC1 prefix
  bool needs_registration = true;  // read only once the datatype has registered
};

// The codec of a type id, or null (the type cannot be written or read).
const TypeCodec* codec_of(u32 type_id);

// The types that cannot be written or read at all: no-codec.
bool no_codec_q(u32 type_id);

}  // namespace kiv::kivbin
