// binary!: a series of bytes (1-byte units), written #{0A1B}. A child of string!: the navigation and
// the generic series actions come from there and work on bytes; this unit owns what differs (bytes
// of a value, conversion, form and mold, comparison, append/insert/change/trim, the bitwise
// operations) and the four text encodings of bytes (base 2, 16, 58 and 64).
//
// Cell: header type 41, w1 the head index in bytes (signed; may lie past the tail), w2 the series
// node (a buffer with unit 1), w3 0.
//
// Collector contract: every procedure that takes a Cell* may allocate; the cells passed in must stay
// where they are across the call (value-stack cells, rooted C++ locals, unmanaged cells). Raw byte
// addresses (head_pointer, byte_at) are valid only until the next allocation.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/registry.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kiv::binary {

inline Ref<Node> node_of(const Cell* b) { return Ref<Node>(b->w2); }
inline SeriesBuffer* buffer_of(const Cell* b) { return kiv::buffer_of(node_of(b)); }
inline i32 head_index(const Cell* b) { return static_cast<i32>(b->w1); }
inline void set_head_index(Cell* b, i32 i) { b->w1 = static_cast<u32>(i); }

// ---------------------------------------------------------------------------------------------
// Making and reading (these work on any byte series: a binary! or a 1-byte-unit buffer)
// ---------------------------------------------------------------------------------------------

// Makes `out` an empty binary! (whole header written) with room for `size` bytes.
Cell* make_at(Cell* out, i32 size);
// Makes `out` a binary! holding a copy of the bytes.
Cell* make_from(Cell* out, const void* bytes, i32 length);
inline Cell* make_from(Cell* out, std::string_view bytes) {
  return make_from(out, bytes.data(), static_cast<i32>(bytes.size()));
}
// A new binary! holding a copy of the bytes, appended to the block (its new cell answered) or,
// with a null block, pushed on the value stack.
Cell* load_in(const void* bytes, i32 length, Cell* block);
Cell* load(const void* bytes, i32 length);
// Pushes a copy of the cell on the value stack.
Cell* push(const Cell* value);

// Bytes from the head to the tail (0 when the head lies past the tail).
i32 length_of(const Cell* b);
// Address of the head byte (clipped to the tail).
std::byte* head_pointer(const Cell* b);
// The byte at `index` counted from the head (unchecked).
inline u8 byte_at(const Cell* b, i32 index) { return static_cast<u8>(head_pointer(b)[index]); }
// The bytes from the head, copied out (safe to hold across allocations).
std::vector<u8> bytes_of(const Cell* b);
std::string to_std_string(const Cell* b);

// Appends `length` bytes at the tail (the source must not lie in a buffer that may move, or be the
// binary's own buffer read before the call: it is copied after the room is made).
void append_bytes(Cell* b, const void* bytes, i32 length);
// Inserts `length` bytes at `offset` bytes from the buffer's start, opening a gap; grows to the
// needed size plus twice the old size.
void insert_bytes(Cell* b, i32 offset, const void* bytes, i32 length);
// Appends four bytes, most significant first.
void append_int32_be(Cell* b, u32 value);
void append_byte(Cell* b, u8 value);

// Stores the low byte of an integer! or char!; any other value raises invalid-arg.
void value_to_byte(std::byte* at, const Cell* value);

// ---------------------------------------------------------------------------------------------
// Comparison and parse support
// ---------------------------------------------------------------------------------------------

// Three-way byte comparison of two byte series from their heads under a compare-op; -2 when b is
// not string-like. With `match` a prefix of a equal to b answers 0.
i32 compare_bytes(const Cell* a, const Cell* b, i32 op, bool match);
// Parse byte tests at the head of a binary: a bitset matches when the head byte's bit is set (past
// the bitset's end its complement flag decides); a string or binary matches its bytes at the head;
// a char! one byte equal to its code; an integer! one byte equal to its low byte.
bool match_bitset_q(const Cell* b, const Cell* bitset);
bool match_value_q(const Cell* b, const Cell* value, bool case_sensitive);

// ---------------------------------------------------------------------------------------------
// Base encodings
// ---------------------------------------------------------------------------------------------

// Characters each encoder writes for `length` bytes; -1 when the size does not fit in 32 bits.
i64 encoded_size(i32 base, i64 length);
// Encoders: write the text of the bytes at `out` (1-byte characters); return the end of the text.
char* encode_2(char* out, const u8* bytes, i32 length);
char* encode_16(char* out, const u8* bytes, i32 length);
char* encode_58(char* out, const u8* bytes, i32 length);
char* encode_64(char* out, const u8* bytes, i32 length);
// Decoders over text in units of 1, 2 or 4 bytes: the decoded bytes into `out`; false on failure.
bool decode_2(const std::byte* text, i32 length, u32 unit, std::vector<u8>& out);
bool decode_16(const std::byte* text, i32 length, u32 unit, std::vector<u8>& out);
bool decode_58(const std::byte* text, i32 length, u32 unit, std::vector<u8>& out);
bool decode_64(const std::byte* text, i32 length, u32 unit, std::vector<u8>& out);
// The same as a new binary! pushed on the value stack; null on failure.
Cell* decode(i32 base, const std::byte* text, i32 length, u32 unit);

// ---------------------------------------------------------------------------------------------
// Actions
// ---------------------------------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, u32 type);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* append(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);  // also insert
Cell* change(Cell* series, Cell* value, i32 part, bool only, i32 dup);
Cell* trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
void and_t();
void or_t();
void xor_t();
Cell* complement(Cell* value);

// Registers binary! (after string!).
void init();

}  // namespace kiv::binary
