// What the lexer's scanner (lexer.cpp) and its token loaders (loaders.cpp) share: the byte tables,
// the running scan's state, the token stack and the error and event entries.
#pragma once
#include <array>

#include "lexer/lexer.h"

namespace kiv::lexer {

// ---- Character classes ---------------------------------------------------------------------------
// Low 8 bits: the class; the upper bits are flags ORed over every byte of a token.
namespace flag {
constexpr u32 continuation = 0x00010000;  // 0x7F and the UTF-8 continuation bytes (class 36)
constexpr u32 multi_line = 0x00020000;  // a braced string crossing lines
constexpr u32 percent = 0x00040000;
constexpr u32 greater = 0x00080000;
constexpr u32 lesser = 0x00100000;
constexpr u32 sign = 0x00200000;
constexpr u32 nul = 0x00400000;
constexpr u32 hash = 0x00800000;
constexpr u32 exponent = 0x01000000;
constexpr u32 quote = 0x02000000;
constexpr u32 colon = 0x04000000;
constexpr u32 comma = 0x08000000;
constexpr u32 point = 0x10000000;
constexpr u32 caret = 0x20000000;
constexpr u32 wide2 = 0x40000000;
constexpr u32 wide4 = 0x80000000;
}  // namespace flag

constexpr u32 class_count = 40;
constexpr u32 state_count = 65;   // non-final states
constexpr u32 first_final = 66;   // 66 + n ends a token of class n
constexpr u32 end_class = 39;     // NUL, and the column read at the input end

// Token classes.
namespace tok {
enum : i32 {
  eof = 0, error, block_open, block_close, paren_open, paren_close, brace_open, brace_close, map_open,
  path_start, construction, comment, comma, string, word, issue, integer, refinement, char_, file, binary,
  percent, float_, special_float, tuple, date, pair, point, time, money, tag, url, email, hex, raw_string,
  ref,
};
}
constexpr i32 token_class_count = 36;

extern const std::array<u32, 256> char_class;
extern const std::array<u8, state_count * class_count> transitions;
// The type id of a token ended in a final state, or in progress in a non-final state.
extern const std::array<u8, 104> type_table;

// Scope types.
constexpr u32 scope_marker_type = 31;  // the type byte of a scope marker: no loaded token has it

// Character width a token's text needs: 1, 2 or 4 bytes.
inline u32 width_of(u32 flags) {
  u32 w = 1u << (flags >> 30);
  return w > 4 ? 4 : w;
}

// ---- The scan state ------------------------------------------------------------------------------

struct State {
  State* next = nullptr;  // the inner (nested) scan
  State* prev = nullptr;  // the outer scan
  // Token stack indices: first cell, the cell after the innermost scope marker, next free cell.
  u32 base = 0, scope_start = 0, top = 0;
  const u8* input_start = nullptr;
  const u8* input_end = nullptr;
  const u8* pos = nullptr;        // where the next token starts
  const u8* token_end = nullptr;
  i32 line = 1;
  i32 lines_crossed = 0;          // since the previous token
  i32 type_override = -1;
  i32 token_type = 0;
  i32 entry_state = 0;
  i32 prev_state = 0;
  i32 scope_type = 0;
  i32 last_type = 0;
  const u8* brace_start = nullptr;  // the outermost open {
  i32 brace_depth = 0;
  u32 brace_flags = 0;
  i32 brace_lines = 0;            // lines crossed before the outermost {
  i32 point_lines = 0;            // lines crossed before a point literal's (
  const Trace* trace = nullptr;
  Cell input{type::none, 0, 0, 0};  // the input value (none for C++ text)
  bool load = false;
  bool prescan = false;
  bool one_value = false;
  bool chars = false;             // positions in characters (string input)
  const u8* cache_ptr = nullptr;  // character-position cache
  i32 cache_index = 0;
  // The token being handled.
  const u8* token_start = nullptr;
  u32 token_flags = 0;
  i32 token_class = 0;
  bool stopped = false;           // a callback said stop
  const u8* moved_to = nullptr;   // where a callback moved the input, applied after the token
};

// The quiet stop of a scan (outside load mode, or a callback that answered false).
struct Stop {};

// ---- The token stack -----------------------------------------------------------------------------

inline Cell* token_cells = nullptr;
inline u32 token_capacity = 0;

inline Cell* token_at(u32 index) { return token_cells + index; }
// Doubles the token stack (internal error no-memory when it cannot).
void grow_tokens();
// A new unset! cell on top, with the new-line flag when the token followed a line break. Answers its
// index (the stack may move when it grows: re-read cells by index).
inline u32 push_token(State* s) {
  if (s->top >= token_capacity) [[unlikely]] grow_tokens();
  *token_at(s->top) = Cell{type::unset | (s->lines_crossed > 0 ? header::new_line : 0u), 0, 0, 0};
  return s->top++;
}

// The type of the innermost open scope (0 at the top level).
u32 current_scope(const State* s);

// ---- Shared entries --------------------------------------------------------------------------------

using Procedure = void (*)(State* s, const u8* start, const u8* end, u32 flags, bool load);
extern const std::array<Procedure, token_class_count> scanners;
// The scanners of the value classes that have one (loaders.cpp).
void scan_quoted(State* s, const u8* start, const u8* end, u32 flags, bool load);
void scan_word(State* s, const u8* start, const u8* end, u32 flags, bool load);
void scan_issue(State* s, const u8* start, const u8* end, u32 flags, bool load);
extern const std::array<Procedure, token_class_count> loaders;

// The syntax error (code: a type id or one of lexer::code) for the token that starts at `start`.
// Outside load mode the scan stops quietly with the type error!.
[[noreturn]] void syntax_error(State* s, const u8* start, const u8* end, i32 code);
// Fires an event to the trace callback; answers its truth (true when there is none or the event is
// masked out).
bool fire_event(State* s, u32 event, i32 type_code, const Cell* loaded, const u8* start, const u8* end);
inline bool wants(const State* s, u32 event) { return s->trace && (s->trace->mask & event); }

// Whether a datatype is registered (its loader may make values of it).
bool type_ready(u32 type_id);

// The escape after '^' at p (p points after the '^'), not past end: answers the code point, or -1
// when invalid; *next receives the byte after the escape.
i32 decode_escape(const u8* p, const u8* end, const u8** next);

// Loads the text [start, end) as a string! (or the override type) into the token cell `index`:
// with escapes decoded unless raw. Answers false on an invalid character or escape.
bool load_text(State* s, u32 index, const u8* start, const u8* end, u32 flags, bool escapes, u32 type_id);
// Checks the same text without making anything.
bool check_text(const u8* start, const u8* end, u32 flags, bool escapes);

// The word loader on [start, end) for the kind (a word-family type id or issue!), into a new token.
// flags: the token's flags (whether the name holds bytes above 0x7F).
void load_word(State* s, const u8* start, const u8* end, u32 kind, u32 flags);
// Drops the loader's cache of recent words when the symbol table or the global context is not the
// one it was filled from (called when a scan starts).
void check_word_cache();
// Settles the kind of a word token (class 14) from its colons and quote; raises the word errors.
u32 word_kind(State* s, const u8* start, const u8* end, u32 flags);

// Path-end classes: after a path element, a byte of one of these classes ends the path.
bool path_end_q(const State* s, const u8* p);

// The code point is one of the blanks that end a word.
bool unicode_blank_q(i32 cp);

}  // namespace kiv::lexer
