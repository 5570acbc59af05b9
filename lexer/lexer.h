// The lexer: UTF-8 source text to values. It is the engine behind `transcode` (and so behind `load`,
// `do` of text and the console's delimiter check) and behind the text-to-value conversions of the
// datatypes (`to block!`, `to time!`, `make word!` of a string), which reach it through the hooks
// it installs at init.
//
// One table-driven automaton over bytes: a class table maps every byte to one of 40 classes, a
// transition table gives the next state, and a final state names one of 36 token classes. Each token
// class has a scanner (checks a token, handles nesting, paths and braced strings) and/or a loader
// (makes the value, lexer/loaders.cpp). Values are made in place on a private token stack; nesting is
// kept on the same stack with scope markers; the top-level cells are copied into the result block
// once at the end. Bytes above 0x7F only set width flags while classifying: UTF-8 is decoded only
// inside tokens that keep text.
//
// Modes: load (values made, malformed tokens raise the syntax error), scan (tokens checked, no
// values; a malformed token ends the scan with the type error!), prescan (only the structure is
// followed; answers the guessed type). A trace callback can watch and steer all three.
//
// Collector contract: every active scan is a collector root (its token cells, its input value and
// its callback). The `out` and `into` cells given to the entries must stay where they are across the
// call (value-stack cells, rooted locals). The input text is copied into the lexer's own work buffer
// first, so it may live anywhere.
#pragma once
#include <string_view>

#include "runtime/cell.h"

namespace kiv::lexer {

// The callback events (lexer-event bits).
namespace event {
enum : u32 { prescan = 1, scan = 2, load = 4, open = 8, close = 16, error = 32, all = 63 };
}

// Syntax error codes other than a datatype id.
namespace code {
enum : i32 { bad_char = -1, bad_construction = -2, missing_opener = -3, missing_closer = -4 };
}

// A trace callback. `call` receives the five arguments of the callback protocol in args[0..4]:
// the event word, the input value with its index at the token (none for C++ text input), the type
// (datatype!, a word of the structural classes, or none), the line (integer!) and the token (the
// loaded value for `load`, else a pair! of the 1-based start and end positions). It answers the truth
// of the callback's result. It may move the index of args[1]: the scan then resumes there.
// An event outside `mask` is not sent and counts as true.
struct Trace {
  bool (*call)(const Trace* self, Cell* args) = nullptr;
  Cell function{type::none, 0, 0, 0};  // the language function, kept alive by the scan
  u32 mask = event::all;
  i32 locals = 0;         // locals of the function, passed as none by the language bridge
  void* data = nullptr;   // for C++ observers
};

u32 mask_of_body(const Cell* body_block);

struct Options {
  bool one_value = false;   // /next, /one, /scan: stop after the first complete value
  bool prescan = false;     // /prescan
  bool scan = false;        // /scan, which also stops after the first value (load mode when neither is set)
  const Trace* trace = nullptr;
  Cell* into = nullptr;     // /into: a block the values are appended to
};

// Scans UTF-8 bytes. In load mode the values go to `out`: the first top-level value with
// one_value, else a new block of all of them (or appended to `into`, `out` then receiving that
// block). `input` is the value the text came from (string!, binary!, or null for C++ text); positions
// reported to callbacks and through end_pos are in characters for string input, bytes otherwise.
// Answers the recognised type (the last token's type; error! when a scan or prescan failed). A syntax
// error in load mode raises the syntax category error.
u32 scan_buffer(Cell* out, const u8* bytes, i32 length, const Options& options, i32* end_pos,
                const Cell* input = nullptr);
// The same for a string! (or any string-family value) from its head: at most `length` characters
// (-1: all).
u32 scan_string(Cell* out, const Cell* text, i32 length, const Options& options, i32* end_pos);

// Conveniences for C++ callers: all values of the text in a new block; the first value only (answers
// false when the text holds no value).
Cell* load_text(std::string_view utf8, Cell* out);
bool load_one(std::string_view utf8, Cell* out);

// The type of the one token a UTF-8 text scans to (scan mode), 0 when it is not exactly one token.
u32 scan_type(const u8* text, i32 length);

// The literals of the types that arrive after the lexer are made by the makers those types register
// (datatype::makers, registry.h).

// Boot: the token stack, the work buffer, the tables, the collector root and the hooks through which
// the datatypes reach the scanner (block! scan, word scan, ...). Idempotent.
void init();

// Collector root callback: the token cells, input values and callbacks of every active scan.
void mark_states();

// Number of scans running right now (nested scans from callbacks count).
i32 active_scans();

}  // namespace kiv::lexer
