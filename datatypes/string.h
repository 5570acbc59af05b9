// string!: text stored as whole code points in units of 1, 2 or 4 bytes per character, and the
// storage model of the whole string family (file!, url!, tag!, email!, ref!).
//
// Storage rules every caller can rely on:
// - A buffer's unit (low bits of its flags) is 1, 2 or 4; every character fits its unit, there are no
//   surrogate pairs and no terminator. 2- and 4-byte units are little-endian.
// - The unit only grows; `reset` is the one operation that narrows (it empties the string).
// - Appending (rule A) keeps a 1-byte buffer for 0-127 only: 128-65535 widen it to 2 bytes. Writing
//   at a position (rule B: poke, put, insert-char) keeps 0-255 in a 1-byte buffer. Both widen to 4
//   above 65535.
//
// Value cell: header type 7 (or another string-family id), w1 the head index in characters (signed),
// w2 the series node, w3 an auxiliary word (0 when made; the Unicode layer's work buffer node).
//
// Collector contract: any procedure here that takes a Cell* may allocate. The cells passed in must
// stay where they are across the call (value-stack cells, rooted C++ locals, unmanaged cells); the
// procedures re-read buffer addresses from the cell after every allocation. Procedures that take or
// return a SeriesBuffer* hand back the buffer to use afterwards.
#pragma once
#include <cstring>
#include <string>
#include <string_view>

#include "datatypes/registry.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kiv::string {

// ---------------------------------------------------------------------------------------------
// Cell and buffer access
// ---------------------------------------------------------------------------------------------

inline Ref<Node> node_of(const Cell* s) { return Ref<Node>(s->w2); }
inline SeriesBuffer* buffer_of(const Cell* s) { return kiv::buffer_of(node_of(s)); }
inline i32 head_index(const Cell* s) { return static_cast<i32>(s->w1); }
inline void set_head_index(Cell* s, i32 i) { s->w1 = static_cast<u32>(i); }

// A unit other than 1, 2 or 4 is an internal fault: fatal runtime error 101.
[[noreturn]] void bad_unit();
// log2 of a unit of 1, 2 or 4 bytes.
inline u32 unit_shift(u32 unit) {
  if (unit == 1) return 0;
  if (unit == 2) return 1;
  if (unit == 4) return 2;
  bad_unit();
}
// The code unit at an address (little-endian; 1 and 2 bytes zero-extended).
inline i32 read_unit(const std::byte* p, u32 unit) {
  switch (unit) {
    case 1: return static_cast<i32>(static_cast<u8>(*p));
    case 2: { u16 v; std::memcpy(&v, p, 2); return v; }
    case 4: { i32 v; std::memcpy(&v, p, 4); return v; }
    default: bad_unit();
  }
}
inline void write_unit(std::byte* p, u32 unit, i32 cp) {
  switch (unit) {
    case 1: *p = static_cast<std::byte>(cp); break;
    case 2: { u16 v = static_cast<u16>(cp); std::memcpy(p, &v, 2); break; }
    case 4: std::memcpy(p, &cp, 4); break;
    default: bad_unit();
  }
}

// The string-family type ids (string!, file!, url!, tag!, email!, ref!).
bool any_string_q(u32 type_id);

// Makes `out` an empty string! (whole header written as 7, head 0, w3 0) with room for `size`
// 1-byte characters (0 is taken as 1).
Cell* make_at(Cell* out, i32 size);
// The same with `unit` bytes per character; only the type byte of the header is written, so flag
// bits survive. Capacity 0 gives 16 bytes.
Cell* make_at_sized(Cell* out, i32 size, i32 unit);
Cell* make_at(Cell* out, i32 size, i32 unit);

// Pushes a copy of a cell on the value stack; returns the new cell.
Cell* push(const Cell* value);

i32 length(Cell* s);                 // characters from head to tail; a head past the tail is clipped
i32 total_length(const Cell* s);     // characters from the buffer's start to the tail
std::byte* head_pointer(Cell* s);    // head clipped to the tail first
std::byte* tail_pointer(const Cell* s);
bool at_tail_q(const Cell* s);

// The code unit at an address (1 and 2 bytes zero-extended). Another unit is fatal error 101.
i32 get_char(const std::byte* p, u32 unit);
// The character at an index counted from the buffer's start (not from the head).
i32 char_at(const Cell* s, i32 index);

Cell* reset(Cell* s);
i32 find_char(Cell* s, i32 cp);                               // exact; distance from head or -1
bool has_char_q(Cell* s, i32 cp, i32 step, bool case_sensitive);
bool starts_with_q(Cell* s, const char* text);                // byte-for-byte (Latin-1) prefix
void cut_tail_at(SeriesBuffer* b, i32 n);
void remove_at(Cell* s, i32 index, i32 n);

// Widening and writing single characters.
SeriesBuffer* append_char(SeriesBuffer* b, i32 cp);                 // rule A
Cell* append_char(Cell* s, i32 cp);                                 // the same through a cell
SeriesBuffer* poke_char(SeriesBuffer* b, std::byte* at, i32 cp);    // rule B, at an address
SeriesBuffer* poke_char_at(SeriesBuffer* b, i32 index, i32 cp);     // rule B, index from the start
SeriesBuffer* put_char_at(SeriesBuffer* b, i32 index, i32 cp);      // index at most one past the tail
SeriesBuffer* insert_char_at(SeriesBuffer* b, i32 index, i32 cp);
void move_chars(Cell* source, Cell* target, i32 run_bytes);
SeriesBuffer* widen_to(SeriesBuffer* b, u32 from_unit, u32 to_unit);
SeriesBuffer* regrow_widened(SeriesBuffer* b, i32 new_size, u32 new_unit);  // new_size 0 doubles
// The narrowest unit that holds a code point under rule B (1 up to 255, 2 up to 65535, else 4).
inline u32 unit_for(i32 cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// Appending text.
Cell* append_c_string(Cell* s, const char* text);          // each byte as code point 0-255
Cell* append_bytes(Cell* s, const char* text, i32 n);      // the first n bytes, likewise
Cell* append_utf8(Cell* s, std::string_view utf8);         // decodes UTF-8 (invalid bytes: U+FFFD)
inline Cell* concatenate_literal(Cell* s, std::string_view utf8) { return append_utf8(s, utf8); }
// Copies all or `part` characters (negative: all) of a source text (string family or symbol!)
// into `target`: mode 0 appends at the tail, mode 1 inserts at the target's head. keep = true
// leaves the source's storage untouched; keep = false may widen the source in place.
void concatenate(Cell* target, const Cell* source, i32 part, bool keep, i32 mode);
// Appends another string value from its head (form semantics: the source is never altered).
inline void append_string(Cell* target, const Cell* source) { concatenate(target, source, -1, true, 0); }

// Appends n code points at once (max_cp their largest): the unit the string ends with is the one
// appending them one by one would give (rule A), decided once.
void append_code_points(Cell* out, const i32* cps, i32 n, i32 max_cp);

// Exchanges a run of `a` bytes at `base` with the `b` bytes at `second` (which follows it), leaving
// `gap` bytes between them: B ends at base, A at base + b + gap.
void swap_regions(std::byte* base, i32 a, std::byte* second, i32 b, i32 gap);

// Loading external bytes: encoding 0 UTF-8 (length in bytes), -1 UTF-16LE (length in 16-bit units).
// `target` null pushes a new cell. Any other encoding is a fault of the caller: the process ends
// with "*** Loading Error: input encoding unsupported" and exit status load_error_status.
constexpr i32 load_error_status = 1;
Cell* load_buffer(const std::byte* bytes, i32 length, Cell* target, i32 encoding);
Cell* load_into_block(const std::byte* bytes, i32 length, Cell* block, i32 encoding);
Cell* load_push(const std::byte* bytes, i32 length, i32 encoding);
// Makes `out` a string! holding the UTF-8 text (convenience for C++ callers and tests).
Cell* make_from_utf8(Cell* out, std::string_view utf8);

// Text of a string value from its head as UTF-8 (C++ callers and tests).
std::string to_utf8(const Cell* s);
// The characters from the head as code points (tests).
std::u32string to_u32(const Cell* s);

double to_float(const std::byte* text, i32 length, i32* status);
const char* byte_to_hex(i32 value);                // two uppercase digits, static area
const char* int_to_hex(i32 value, bool trim);      // eight digits, or trimmed ("00" for 0)

// ---------------------------------------------------------------------------------------------
// Form and mold (string_mold.cpp)
// ---------------------------------------------------------------------------------------------

// Appends the characters from the head (at most *part characters when given); returns the budget
// minus the string's length from its head.
i32 form(const Cell* s, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* s, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
// A string! molded between quotes whatever it holds (in a path, where braces cannot stand).
i32 mold_quoted(const Cell* s, Cell* out, bool all, const Cell* part, i32 limit);
// One character in escaped form: ^(hex) for 30, 128-159 and (with all) anything above 127; the caret
// table below 95 and ^~ for 127 when the table switch is on; else the character itself.
void append_escaped_char(Cell* out, i32 cp, bool table, bool all);
void count_quotes_and_lines(const std::byte* start, const std::byte* end, u32 unit, i32* quotes, i32* lines);
bool brace_closes_q(const std::byte* start, const std::byte* end, u32 unit);
// Forms any value at the tail of `out` (through the value's form action); returns the remaining
// budget.
i32 form_into(Cell* out, const Cell* value, i32 limit);

// ---------------------------------------------------------------------------------------------
// Actions (string_actions.cpp), in the registry's slot signatures
// ---------------------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable);
Cell* append(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);
Cell* insert(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);
Cell* change(Cell* series, Cell* value, i32 part, bool only, i32 dup);
Cell* swap(Cell* series1, Cell* series2);
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);

// Set operations on characters (8 unique, 9 union, 10 intersect, 11 exclude, 12 difference): the
// first series is `a` (also the result cell), the second `b` (ignored for unique).
Cell* do_set_operation(Cell* a, const Cell* b, bool case_, const Cell* skip, i32 op);
// Three-way text comparison under a compare-op, with the prefix-match rule when `match` is set.
i32 compare_strings(const Cell* a, const Cell* b, i32 op, bool match);
bool match_at_head_q(Cell* s, const Cell* value, i32 op);

// Hash tables: the hash of a string-family value (or of a hash-table lookup key) from its head,
// and whether a stored key equals a probe of the same type under a compare-op (the equality of
// compare_strings without its ordering work). The string-family types register both.
u32 hash(const Cell* s, bool case_);
bool key_equal(const Cell* key, const Cell* probe, i32 op);
// The same for a lookup key as the probe (its first w3 characters), against a stored key of any
// string type.
bool lookup_key_equal(const Cell* key, const Cell* probe, i32 op);
// Registers the hash-table procedures and the mark procedure of a string-family type.
void register_family_type(u32 type_id);
// The registration entries of a string kind (tag!, email!, ref!) that takes from string! its make,
// reflect, to, form, path access, comparison, the series actions from append to take but sort and
// trim, and modify: the kind then sets its own entries and clears those it lacks.
action::Entries kind_entries();
bool tag_brackets_q(Cell* s, const Cell* tag);
bool head_in_bitset_q(Cell* s, const Cell* bitset);

// sort/compare with a function: the function's answer for (second, first) as a comparator result
// (above 0 when the first must come after the second). true 1, false -1; an integer! n gives -n
// and a float! the opposite of its sign, so a three-way function answers below 0 when its first
// argument comes first (the same convention as block! sort); none -1; anything else 1.
i32 sort_compare_result(const Cell* result);

// Registers string! (allocates the swap scratch buffer first).
void init();

}  // namespace kiv::string
