// Unicode: the run-time's one place for text encodings.
//
// Strings hold whole code points in units of 1, 2 or 4 bytes per character (little-endian, no
// surrogate pairs, no terminator); the unit of a buffer only grows. Text from and to the outside
// world is UTF-8, or UTF-16LE where data really is UTF-16. This unit decodes and encodes both,
// widens string buffers in place, loads outside bytes into string series (choosing the narrowest
// unit) and converts string values to NUL-terminated UTF-8 or UTF-16 in a work buffer kept in the
// value's cell. Case mapping is in case_table.h.
//
// String cells: w1 the head index in characters, w2 the series node, w3 the node of the work
// buffer (0 until the first conversion). Procedures taking a Cell* may allocate: the cell must stay
// where it is across the call (a value-stack cell, a rooted local); buffer addresses are re-read
// after every allocation. Procedures that take a SeriesBuffer* return the buffer to use afterwards.
#pragma once
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kiv::unicode {

constexpr i32 max_code_point = 0x10FFFF;

// ---- decoding ----

// Table-driven decoding of one sequence (the lexer's decoder). cp receives the code point, or -1
// for an invalid sequence: an invalid lead byte is consumed alone, a byte that breaks a sequence is
// consumed with it. It looks at no end pointer: the input must end with a byte that cannot continue
// a sequence (NUL). Returns the pointer after what was consumed.
inline const u8* decode_utf8_next(const u8* p, i32& cp);
// The same from a lead byte of 0x80 or above.
const u8* decode_utf8_sequence(const u8* p, i32& cp);
// Sequences decoded from start while the pointer is below end.
i32 count_codepoints(const u8* start, const u8* end);
// Advances over at most n sequences, never starting one at or past end.
const u8* skip_codepoints(const u8* start, const u8* end, i32 n);
// 4 for a lead byte 1111xxxx, 3 for 1110xxxx, 2 for 11xxxxxx, else 0 (ASCII included).
i32 utf8_sequence_length(u8 lead);

// The strict decoder. count holds the bytes available on entry and the bytes used on return.
// Returns the code point, or -1 when fewer bytes are available than the lead byte announces.
// Overlong 2- and 3-byte forms and the surrogates outside U+DC00-U+DCFF are accepted; an invalid
// sequence (and U+FFFE) raises access invalid-utf8 with the bytes (up to four) as a binary!.
i32 decode_utf8_char(const u8* p, i32& count);

// ---- lengths and encoders ----
// A code point above 0x10FFFF raises script invalid-char in the UTF-8 length and encoder procedures.

i32 utf8_length_of(i32 cp);
// UTF-8 bytes of the characters between two addresses of a buffer of the given unit.
i32 utf8_length_of_range(const std::byte* start, const std::byte* end, u32 unit);
i32 encode_utf8(i32 cp, u8* out);
// Writes only the first min(capacity, length) bytes of the sequence; returns their number.
i32 encode_utf8_bounded(i32 cp, u8* out, i32 capacity);
// One unit below 0x10000, a surrogate pair up to 0x10FFFF; 0 (nothing written) above.
i32 encode_utf16(i32 cp, u16* out);
// Widens each byte of a NUL-terminated text to a 16-bit unit, with a 16-bit 0 at the end.
void ascii_to_utf16(const char* text, u16* out);

// ---- widening in place (the buffer may move; the head index in characters stays valid) ----

SeriesBuffer* widen_1_to_2(SeriesBuffer* b);
SeriesBuffer* widen_1_to_4(SeriesBuffer* b);
SeriesBuffer* widen_2_to_4(SeriesBuffer* b);

// ---- loading into a string series ----

// Loads UTF-8 bytes. With a target buffer its unit is kept and it is overwritten from its start;
// without one a new unit-1 series is made. A leading byte order mark is skipped. Stores each
// character in the narrowest unit that holds it (0-255 stay in unit 1), widening as needed. An
// incomplete sequence at the end stops the load; unconsumed (when given) receives the bytes left,
// so the caller can prepend them to the next chunk. With crlf, CR LF becomes LF and a lone CR
// becomes LF. Returns the node of the series written.
Ref<Node> load_utf8(const u8* bytes, i32 count, SeriesBuffer* target, i32* unconsumed, bool crlf);
// Into the string cell's own series, without line-end conversion.
Ref<Node> load_utf8_into(const u8* bytes, i32 count, Cell* target, i32* unconsumed);
Ref<Node> load_utf8_new(const u8* bytes, i32 count);

// The unit UTF-16 text needs: 4 when any unit is a surrogate, else 2 when any is above 0xFF,
// else 1.
u32 utf16_unit_width(const u16* units, i32 count);
// Loads UTF-16LE units (source null: the target cell's work buffer) into the target cell's series
// (overwritten from its start, its unit set to the one the text needs) or a new series. Surrogate
// pairs join; a high surrogate without its low half is stored as U+FFFD. With crlf every CR is
// dropped. Returns the node.
Ref<Node> load_utf16(const u16* units, i32 count, Cell* target, bool crlf);
// Loads Windows-1251 bytes (source null: the target's work buffer) into the target cell in its
// current unit, or into a new series; widens as needed. Line ends as load_utf8.
Ref<Node> load_cp1251(const u8* bytes, i32 count, Cell* target, bool crlf);

// ---- converting a string value (from its head) ----

// NUL-terminated UTF-8 of at most length characters (-1: all) in the cell's work buffer; length
// receives the byte count without the NUL. The text is valid until the next conversion of the cell.
char* to_utf8(Cell* s, i32& length);
// The same with every LF written as CR LF.
char* to_utf8_crlf(Cell* s, i32& length);
// UTF-8 of count characters (-1 or not below the length: all) into out (room for 4 bytes per
// character, plus the NUL when asked); returns the byte count without the NUL.
i32 string_to_utf8(const Cell* s, u8* out, i32 count, bool nul);
// Stops at capacity bytes, possibly inside a sequence; a count outside 1 .. length - 1 means all.
// The NUL, when asked, goes after the last byte written (out must hold capacity + 1 bytes then).
i32 string_to_utf8_bounded(const Cell* s, u8* out, i32 capacity, i32 count, bool nul);
// NUL-terminated UTF-16LE with every LF written as CR LF, in the work buffer.
u16* to_utf16(Cell* s);
// The general form: count is the maximum characters on entry (-1: all) and the 16-bit units
// written (without the terminator) on return. A character above 0x10FFFF gives null.
u16* to_utf16_part(Cell* s, i32& count, bool crlf);
// The data address of the cell's work buffer, made or expanded to hold at least bytes.
std::byte* reserve_work_buffer(Cell* s, i32 bytes);

// Windows-1251 code points of the bytes 0x80-0xFF (0x98, unassigned there, maps to U+0098).
extern const u16 cp1251_high[128];

inline const u8* decode_utf8_next(const u8* p, i32& cp) {
  if (*p < 0x80) {
    cp = *p;
    return p + 1;
  }
  return decode_utf8_sequence(p, cp);
}

}  // namespace kiv::unicode
