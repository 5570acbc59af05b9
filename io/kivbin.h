// KIVBIN: the binary serialisation of values. One value, with everything it reaches, is stored as
// bytes and read back identical: a series or context met a second time is stored as a reference
// path to its first occurrence, so sharing and cycles survive, and words keep their binding to
// the object or function that owns their context.
//
// Two forms share one header ("KIVBIN", a version byte, a flags byte):
// - compact: lead bytes and LEB128 varints (zig-zag for signed values); the boot data and the
//   codec's default output;
// - fixed: 32-bit little-endian words.
// Either may carry a symbol table (the names the words use) and either may be compressed with the
// boot-data compressor (io/boot_lz.h); the encoders never compress.
//
// The decoder runs in user mode (the codec) or boot mode (the boot data: definition records,
// words bound by root index, stored class ids, the literal base). Reference paths and boot-mode
// root indexes count from the first cell the decode appended to its target block.
//
// Errors: a malformed record raises script kb-invalid-record with its 1-based byte offset (into
// the expanded data when the input was compressed); a wrong magic or a failed expansion raises
// script invalid-data (boot mode prints a message and ends the process instead); a value of a
// type without a codec (routine!, triple!, handle!, port!, event!) raises access no-codec.
#pragma once
#include <cstddef>

#include "runtime/cell.h"

namespace kiv::kivbin {

// ---- The format ------------------------------------------------------------------------------

constexpr char magic[6] = {'K', 'I', 'V', 'B', 'I', 'N'};
constexpr u8 version = 2;  // what the encoders write; readers ignore it
constexpr u32 header_bytes = 8;

namespace flag {
constexpr u8 compact = 1;
constexpr u8 compressed = 2;
constexpr u8 symbols = 4;
}  // namespace flag

// Compact form: the bytes that are not a type lead byte.
namespace lead {
constexpr u8 type_mask = 0x3F;    // a lead byte below 0x80: the type id in bits 0-5
constexpr u8 type_flag = 0x40;    // and the record's flag in bit 6
constexpr u8 type_escape = 63;    // type field 63: the type id follows as a varint
constexpr u8 small_integer = 0x80;  // 0x80-0xBF: the integers 0 to 63
constexpr u8 new_line = 0xC0;     // prefix: the value starts a new line
constexpr u8 reference = 0xC1;    // prefix: the series or context was stored before; a path follows
constexpr u8 logic_true = 0xC2;
constexpr u8 logic_false = 0xC3;
constexpr u8 definition = 0xC4;   // prefix, boot data only, before a word: the word is set to the next record
constexpr u8 copy = 0xFF;         // a copy of an earlier cell; a path follows
}  // namespace lead

// Fixed form: the header word of a record (the type id in the low byte).
namespace fixed {
constexpr u32 type_mask = 0xFF;
constexpr u32 unit_shift = 8;              // string kinds: bytes per character; tuple!: the length
constexpr u32 wrapped_shift = 16;          // op!: the wrapped value's type
constexpr u32 reference = 1u << 19;        // the series (or a word's owner) was stored before
constexpr u32 money_negative = 1u << 22;
constexpr u32 complemented = 1u << 23;     // bitset!
constexpr u32 events = 1u << 24;           // object!: the on-change* and on-deep-change* slots follow
constexpr u32 global_word = 1u << 25;      // encoder output: the word is bound to the global context
constexpr u32 definition = 1u << 25;       // boot data: the word is set to the next record
constexpr u32 context_kind_shift = 26;     // context flags (context records and the context part)
constexpr u32 context_self = 1u << 28;
constexpr u32 context_on_stack = 1u << 29;
constexpr u32 context_values = 1u << 30;
constexpr u32 new_line = 1u << 31;
constexpr u32 padding = 0;                 // a header word of type 0 is skipped
constexpr u32 copy = 255;                  // a copy of an earlier cell; a path follows
}  // namespace fixed

// Compact context records: the flags byte.
namespace context_byte {
constexpr u8 kind_mask = 3;
constexpr u8 on_stack = 4;
constexpr u8 self = 8;
constexpr u8 values = 16;
}  // namespace context_byte

constexpr u32 max_path_steps = 65536;

// ---- Encoding --------------------------------------------------------------------------------

// Encodes the value in the compact or the fixed form into a new binary! at `out` (a cell that stays
// where it is). The same value always gives the same bytes.
Cell* encode(const Cell* value, bool compact, Cell* out);

// ---- Decoding --------------------------------------------------------------------------------

enum class Mode { user, boot };

// Decodes `length` bytes, appending the root values to the target block (a cell that stays where
// it is). Answers the index in the target of the first cell appended. In user mode a failure
// leaves the target as it was.
i32 decode(const u8* data, std::size_t length, Cell* target, Mode mode);

// Thrown by decode for a wrong magic or a failed expansion, before anything is appended; user mode
// turns it into invalid-data, boot mode prints the message and ends the process.
struct BadInput {
  const char* message;
};

// Decodes the boot blob into the root block in boot mode and keeps the index of its first literal
// (the root values that are not definitions, numbered from 0).
void decode_boot_data(const u8* blob, std::size_t length);

// The literal base of the boot data (-1 before the boot data is decoded) and literal n.
inline i32 literal_base = -1;
Cell* literal_at(i32 n);

// ---- The codec's entries -----------------------------------------------------------------------

// Registers the codec's routines ("kivbin/encode*", "kivbin/decode"), which system/codecs/kivbin
// holds.
void register_routines();

}  // namespace kiv::kivbin
