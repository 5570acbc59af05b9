// url!: a string with its own literal syntax. It stores text exactly like string! (its parent) and
// inherits most series actions from it; what differs is here: make and to from a block (scheme,
// host, port, path, fragment), mold with percent-encoding, path joining with "/", the I/O actions
// that hand over to the HTTP client or to a port, and percent-encoding and decoding of text.
//
// file! is registered with url! as its parent (datatypes/file.h).
//
// Collector contract: as string! (datatypes/string.h): cells passed in stay where they are across a
// call; results are written to the given cell or pushed on the value stack.
#pragma once
#include <string_view>

#include "runtime/cell.h"

namespace kiv::url {

// Character classes over 7-bit codes (a code of 0x80 or above is in no class).
// url-safe: written as it is when a url! is molded or text is encoded in URL mode: letters, digits
// and @ ! # $ & ' ( ) * + , - . / : = ? _ ~
bool safe_q(i32 c);
// url-unreserved: kept by strict encoding: letters, digits and - . _ ~
bool unreserved_q(i32 c);
// 0-15 for a hex digit (either case), -1 for anything else.
i32 hex_digit_value(i32 c);

// Encoding modes.
constexpr i32 mode_strict = 254;  // enhex of a string!
constexpr i32 mode_url = 255;     // enhex of any other value

// Percent-encodes the text of a string-family value from its head (as UTF-8) at the tail of
// `target`: a byte series (binary!) receives bytes, a string-family target characters.
void encode(const Cell* s, Cell* target, i32 mode);
// Percent-decodes the text of a string-family value from its head at the tail of the string
// `target`. An escaped whole UTF-8 sequence becomes one character; an escape of a lone byte that
// leads no sequence becomes that byte as a character; any other "%" stays as it is.
void decode(const Cell* s, Cell* target);
// The same over UTF-8 text (the lexer's url! and file! literals).
void decode_utf8(std::string_view text, Cell* target);
// "%" and two hex digits at p (p + 3 <= end): true with the byte in *out.
bool decode_hex_pair(const u8* p, const u8* end, u8* out);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as);

// Registers url! (after string!, before file!).
void init();

}  // namespace kiv::url
