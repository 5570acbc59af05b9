// The lexer's automaton, token loop, scopes, paths, braced strings, callbacks and syntax errors. The
// token loaders are in loaders.cpp.
#include "lexer/lexer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "lexer/lexer_internal.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/unicode.h"

namespace kiv::lexer {

// ---- Tables ------------------------------------------------------------------------------------------

namespace {

constexpr std::array<u32, 256> build_char_class() {
  std::array<u32, 256> t{};
  for (u32 b = 0; b < 256; ++b) t[b] = 37;  // printable ASCII not listed below, and lead bytes
  t[0] = 39 | flag::nul;
  for (u32 b = 1; b < 32; ++b) t[b] = 35;
  t['\t'] = 0;
  t['\r'] = 0;
  t[' '] = 0;
  t['\n'] = 1;
  for (u32 b = '1'; b <= '9'; ++b) t[b] = 2;
  t['0'] = 3;
  t['['] = 4;
  t[']'] = 5;
  t['('] = 6;
  t[')'] = 7;
  t['{'] = 8;
  t['}'] = 9;
  t['"'] = 10;
  t['#'] = 11 | flag::hash;
  t['\''] = 12 | flag::quote;
  t[':'] = 13 | flag::colon;
  t['x'] = 14;
  t['X'] = 14;
  t['T'] = 15;
  t['h'] = 16;
  t['e'] = 17 | flag::exponent;
  t['E'] = 18 | flag::exponent;
  for (char c : {'a', 'b', 'c', 'd', 'f'}) t[static_cast<u8>(c)] = 19;
  for (char c : {'A', 'B', 'C', 'D', 'F'}) t[static_cast<u8>(c)] = 20;
  t['/'] = 21;
  t['\\'] = 22;
  t['<'] = 23 | flag::lesser;
  t['>'] = 24 | flag::greater;
  t['='] = 25;
  t['%'] = 26 | flag::percent;
  t[','] = 27 | flag::comma;
  t[';'] = 28;
  t['@'] = 29;
  t['.'] = 30 | flag::point;
  t['$'] = 31;
  t['+'] = 32 | flag::sign;
  t['-'] = 33 | flag::sign;
  t['^'] = 34 | flag::caret;
  t[0x7F] = 36 | flag::continuation;
  for (u32 b = 0x80; b <= 0xBF; ++b) t[b] = 36 | flag::continuation;
  t[0xC0] = 38;
  t[0xC1] = 38;
  for (u32 b = 0xC2; b <= 0xEF; ++b) t[b] = 37 | flag::wide2;
  for (u32 b = 0xF0; b <= 0xF7; ++b) t[b] = 37 | flag::wide4;
  for (u32 b = 0xF8; b <= 0xFF; ++b) t[b] = 38;
  return t;
}

// The transition table, one row per state: the default target, then lists of classes and their
// target. Row 12 (after a raw string's closing brace and some of its %) returns to the body on any
// byte that cannot follow a complete fence, so that %%{a}%b}%% holds the text a}%b. Row 26 (in an
// exponent after e) ends a percent at %, as row 27 does after E: percent! molds 1e-10% that way.
constexpr const char* transition_rows[state_count] = {
    "0 52; 0 1 35 > 0; 28 > 1; 10 > 2; 26 > 6; 21 > 13; 11 > 16; 2 3 > 23; 31 > 36; 18 20 > 40; 23 > 43; 32 33 > 47; "
    "30 > 49; 12 13 > 51; 29 > 57; 25 > 58; 39 > 66; 9 22 36 38 > 67; 4 > 68; 5 > 69; 6 > 70; 7 > 71; 8 > 72; 27 > 78",
    "1 1; 38 > 67; 1 39 > 77",
    "2 2; 34 > 3; 1 38 39 > 67; 10 > 79",
    "3 2; 38 39 > 67",
    "4 4; 34 > 5; 38 39 > 67; 8 > 72; 9 > 73",
    "5 4; 38 39 > 67",
    "6 7; 10 > 8; 26 > 9; 8 > 10; 13 > 54; 38 > 67; 0 1 4 5 6 7 9 28 29 35 39 > 80",
    "7 7; 10 38 > 67; 0 1 4 5 6 7 8 9 13 28 29 39 > 85",
    "8 8; 1 38 39 > 67; 10 > 85",
    "9 7; 26 > 9; 8 > 10; 38 > 67; 0 1 4 5 6 7 9 10 22 28 35 39 > 80",
    "10 10; 9 > 11; 38 39 > 67",
    "11 10; 9 > 11; 26 > 12; 38 39 > 67",
    "12 10; 9 > 11; 26 > 12; 38 > 67; 0 1 4 5 6 7 8 10 23 28 35 39 > 100",
    "13 14; 21 > 15; 13 > 53; 27 38 > 67; 0 1 4 5 6 7 8 9 10 11 28 29 35 39 > 80",
    "14 14; 13 27 38 > 67; 0 1 4 5 6 7 8 9 10 21 28 29 35 39 > 83",
    "15 52; 21 > 15; 26 27 31 38 > 67; 0 1 4 5 6 7 8 9 10 11 28 29 35 39 > 80",
    "16 22; 8 > 17; 10 > 19; 6 > 21; 0 1 5 7 9 13 23 24 27 38 > 67; 4 > 74; 28 29 35 39 > 81",
    "17 67; 0 1 2 3 14 15 16 17 18 19 20 21 25 32 37 > 17; 28 > 18; 9 > 86",
    "18 18; 1 > 17; 38 39 > 67",
    "19 19; 34 > 20; 38 39 > 67; 10 > 84",
    "20 19; 38 39 > 67",
    "21 21; 38 39 > 67; 7 > 76",
    "22 22; 13 21 38 > 67; 0 1 4 5 6 7 8 9 10 28 29 35 39 > 81",
    "23 82; 11 > 16; 2 3 12 > 23; 30 > 24; 17 > 26; 18 > 27; 15 21 33 > 30; 13 > 31; 14 > 33; 20 > 39; 16 > 42; "
    "29 > 56; 19 22 24 25 31 32 34 36 37 38 > 67; 26 > 87",
    "24 67; 2 3 12 > 25; 17 18 > 26; 11 > 28; 14 > 33; 26 > 87; 0 1 4 5 6 7 8 9 10 21 23 27 28 35 39 > 88",
    "25 88; 2 3 12 > 25; 17 18 > 26; 30 > 29; 14 > 33; 29 > 56; 11 15 16 19 20 22 24 25 31 32 33 34 36 37 38 > 67; "
    "26 > 87",
    "26 67; 2 3 32 33 > 26; 29 > 56; 26 > 87; 0 1 4 5 6 7 8 9 10 13 21 23 27 28 35 39 > 88",
    "27 88; 32 33 > 26; 2 3 > 27; 30 > 29; 18 20 > 40; 16 > 42; 29 > 56; "
    "11 12 14 15 17 19 22 24 25 28 31 34 36 37 38 > 67; 26 > 87",
    "28 89; 14 15 16 17 18 19 20 24 25 30 32 33 36 37 > 28; 11 12 13 26 29 31 34 38 > 67; 2 > 88",
    "29 67; 2 3 30 > 29; 0 1 4 5 6 7 8 9 10 13 21 23 28 35 39 > 90",
    "30 30; 26 27 29 34 36 38 > 67; 0 1 4 5 6 7 8 9 10 23 28 31 35 39 > 91",
    "31 67; 2 3 > 32",
    "32 67; 2 3 13 30 > 32; 0 1 4 5 6 7 8 9 10 21 23 28 35 39 > 94",
    "33 67; 2 3 32 33 > 34; 29 > 56",
    "34 67; 2 3 17 18 30 > 34; 29 > 56; 0 1 4 5 6 7 8 9 10 13 21 23 28 35 39 > 92",
    "35 67; 0 2 3 5 11 17 18 19 20 27 30 32 33 37 > 35; 7 > 93",
    "36 67; 2 3 > 37",
    "37 67; 2 3 12 > 37; 30 > 38; 0 1 4 5 6 7 8 9 10 11 13 21 23 28 35 39 > 95",
    "38 67; 2 3 12 > 38; 0 1 4 5 6 7 8 9 10 11 13 21 23 28 35 39 > 95",
    "39 67; 2 3 18 20 > 39; 16 > 41; 29 > 56",
    "40 80; 31 > 37; 2 3 18 20 > 40; 16 > 41; 12 14 15 17 19 23 24 25 30 32 33 34 36 37 > 52; 13 > 53; 29 > 56; "
    "26 27 38 > 67; 21 > 75",
    "41 52; 31 > 37; 13 > 53; 29 > 56; 11 26 27 38 > 67; 21 > 75; 0 1 4 5 6 7 8 9 10 22 28 35 39 > 99",
    "42 67; 31 > 37; 29 > 56; 21 > 75; 0 1 4 5 6 7 8 9 10 22 23 28 35 39 > 99",
    "43 44; 23 > 43; 12 > 46; 24 25 33 > 52; 13 > 53; 38 > 67; 0 1 4 5 6 7 8 9 10 28 35 39 > 80",
    "44 44; 10 > 45; 12 > 46; 38 39 > 67; 24 > 96",
    "45 45; 10 > 44; 38 39 > 67",
    "46 46; 12 > 44; 38 39 > 67",
    "47 52; 2 3 > 23; 31 > 37; 30 > 49; 12 26 34 38 > 67; 21 > 75; 0 1 4 5 6 7 8 9 10 11 22 28 35 39 > 80",
    "48 52; 12 26 31 34 38 > 67; 21 > 75; 0 1 4 5 6 7 8 9 10 11 22 28 35 39 > 80",
    "49 52; 2 3 32 33 > 50; 13 > 53; 29 > 56; 26 27 31 38 > 67; 21 > 75; 0 1 4 5 6 7 8 9 10 11 22 28 35 39 > 80",
    "50 67; 14 > 33; 2 3 17 18 32 33 > 50; 29 > 56; 26 > 87; 0 1 4 5 6 7 8 9 10 13 21 23 35 39 > 88",
    "51 67; 21 > 13; 23 > 43; 32 33 > 48; 14 15 16 17 18 19 20 24 30 34 36 37 > 52; 26 > 54; 25 > 58",
    "52 52; 31 > 36; 13 > 53; 29 > 56; 26 27 38 > 67; 21 > 75; 0 1 4 5 6 7 8 9 10 11 22 23 28 35 39 > 80",
    "53 55; 23 38 > 67; 0 1 4 5 6 7 8 9 10 22 28 35 39 > 80",
    "54 67; 26 > 54; 0 1 4 5 6 7 8 9 22 28 35 39 > 80",
    "55 55; 24 34 38 > 67; 0 1 4 5 6 7 8 9 10 22 23 28 35 39 > 97",
    "56 98; 2 3 14 15 16 17 18 19 20 26 30 32 33 36 37 > 56; 11 12 13 24 25 27 29 31 34 38 > 67",
    "57 57; 11 12 22 24 25 27 29 31 34 38 > 67; 0 1 4 5 6 7 8 9 10 23 28 35 39 > 101",
    "58 52; 11 26 27 29 31 38 > 67; 21 > 75; 0 1 4 5 6 7 8 9 10 13 22 28 35 39 > 80",
    "59 67; 10 > 2; 31 > 36; 23 > 43; 29 > 57; 2 3 > 60; 12 13 > 61; 14 15 16 17 18 19 20 24 25 30 36 37 > 62; "
    "11 > 63; 32 33 > 64; 6 > 70; 7 > 71",
    "60 67; 30 > 24; 17 18 > 26; 14 > 33; 29 > 56; 2 3 12 > 60; 0 1 4 5 6 7 8 9 10 13 21 23 28 35 39 > 82; 26 > 87",
    "61 67; 14 15 16 17 18 19 20 23 24 25 30 32 33 36 37 > 62",
    "62 62; 31 > 36; 29 > 56; 11 26 27 38 > 67; 0 1 4 5 6 7 8 9 10 13 21 22 28 35 39 > 80",
    "63 22; 10 > 19; 4 > 21; 0 1 5 6 7 8 9 13 21 23 24 25 27 28 29 35 38 39 > 67",
    "64 80; 31 > 36; 29 > 56; 2 3 > 60; 14 15 16 17 18 19 20 24 25 30 36 37 > 62; 32 33 > 64; "
    "11 12 23 26 27 34 38 > 67",
};

constexpr int read_number(const char*& p) {
  while (*p == ' ' || *p == ';') ++p;
  int n = 0;
  while (*p >= '0' && *p <= '9') n = n * 10 + (*p++ - '0');
  return n;
}

constexpr std::array<u8, state_count * class_count> build_transitions() {
  std::array<u8, state_count * class_count> t{};
  for (const char* row : transition_rows) {
    const char* p = row;
    int state = read_number(p);
    int target = read_number(p);
    for (u32 c = 0; c < class_count; ++c) t[state * class_count + c] = static_cast<u8>(target);
    while (*p) {
      int classes[class_count] = {};
      int n = 0;
      while (*p && *p != '>') {
        while (*p == ' ' || *p == ';') ++p;
        if (*p == '>') break;
        classes[n++] = read_number(p);
        while (*p == ' ') ++p;
      }
      ++p;  // '>'
      target = read_number(p);
      for (int i = 0; i < n; ++i) t[state * class_count + classes[i]] = static_cast<u8>(target);
      while (*p == ' ') ++p;
    }
  }
  return t;
}

constexpr std::array<u8, 104> build_type_table() {
  std::array<u8, 104> t{};
  // Final states: the type of the token class.
  constexpr u8 final_types[token_class_count] = {
      0, type::error, 0, 0, 0, 0, 0, type::string, 0, 0, 0, 0, 0, type::string, type::word, type::issue,
      type::integer, type::refinement, type::char_, type::file, type::binary, type::percent, type::float_,
      type::float_, type::tuple, type::date, type::pair, type::point2D, type::time, type::money, type::tag,
      type::url, type::email, type::integer, type::string, type::ref,
  };
  for (i32 c = 0; c < token_class_count; ++c) t[first_final + c] = final_types[c];
  // Non-final states: the type in progress, named by a malformed token that stops there.
  constexpr u8 progress[state_count] = {
      0, 0, type::string, type::string, type::string, type::string, type::file, type::file, type::file,
      type::string, type::string, type::string, type::string, type::refinement, type::refinement,
      type::refinement, type::issue, type::binary, type::binary, type::char_, type::char_, type::datatype,
      type::issue, type::integer, type::float_, type::float_, type::float_, type::float_, type::float_,
      type::tuple, type::date, type::time, type::time, type::pair, type::pair, type::point2D, type::money,
      type::money, type::money, type::integer, type::word, type::word, type::integer, type::tag, type::tag,
      type::tag, type::tag, type::word, type::word, type::word, type::float_, type::word, type::word, type::url,
      type::word, type::url, type::email, type::ref, type::word, type::path, type::integer, type::path,
      type::word, type::path, type::word,
  };
  for (u32 s = 0; s < state_count; ++s) t[s] = progress[s];
  return t;
}

constexpr bool every_row_ends_at_input_end(const std::array<u8, state_count * class_count>& t) {
  for (u32 s = 0; s < state_count; ++s)
    if (t[s * class_count + end_class] < first_final) return false;
  return true;
}

}  // namespace

const std::array<u32, 256> char_class = build_char_class();
constexpr std::array<u8, state_count * class_count> transitions_data = build_transitions();
const std::array<u8, state_count * class_count> transitions = transitions_data;
const std::array<u8, 104> type_table = build_type_table();

namespace {
// The same transitions for the token loop: a non-final target as its row offset (state * 40), a
// final one as 0x8000 + state, so that the loop carries no multiplication in its dependency chain.
constexpr std::array<u16, state_count * class_count> build_rows() {
  std::array<u16, state_count * class_count> r{};
  for (u32 i = 0; i < r.size(); ++i) {
    u32 t = transitions_data[i];
    r[i] = static_cast<u16>(t >= first_final ? 0x8000 + t : t * class_count);
  }
  return r;
}
constexpr std::array<u16, state_count * class_count> rows = build_rows();

// Per state, the classes that leave it where it is: the loop runs through those bytes (the body of a
// word, a string, a comment, a run of blanks) without waiting on a table read per byte.
constexpr std::array<u64, state_count> build_stays() {
  std::array<u64, state_count> m{};
  for (u32 st = 0; st < state_count; ++st)
    for (u32 c = 0; c < class_count; ++c)
      if (transitions_data[st * class_count + c] == st) m[st] |= u64{1} << c;
  return m;
}
constexpr std::array<u64, state_count> stays = build_stays();
}  // namespace
// The input end always ends the token in progress, so the token loop needs no other exit.
static_assert(every_row_ends_at_input_end(transitions_data));

// ---- Active scans, token stack, work buffer ---------------------------------------------------------------

namespace {

State* first_state = nullptr;  // outermost active scan
State* last_state = nullptr;   // innermost
i32 scan_count = 0;

constexpr u32 initial_tokens = 1000;
constexpr u32 max_tokens = 1u << 26;       // 1 GiB of cells: beyond that, no-memory
constexpr u32 kept_tokens = 1u << 20;      // a stack grown past this goes back once no scan runs

// The UTF-8 work buffer: scans take their text from its fill point, nested scans after their outer
// scan's text. A scan that does not fit takes a buffer of its own, so no outer text ever moves.
constexpr size_t initial_work = 100000;
constexpr size_t kept_work = size_t{16} << 20;  // a bigger text gets a block of its own
u8* work = nullptr;
size_t work_capacity = 0;
size_t work_fill = 0;

bool initialised = false;

// The input text of one scan, in the work buffer or in a block of its own.
class Text {
  u8* own_ = nullptr;
  size_t saved_fill_ = 0;
  u8* data_ = nullptr;

 public:
  explicit Text(size_t bytes) : saved_fill_(work_fill) {
    size_t need = bytes + 1;  // the NUL the decoders stop at
    if (work_fill + need <= work_capacity) {
      data_ = work + work_fill;
      work_fill += need;
    } else if (work_fill == 0 && need <= kept_work) {
      size_t capacity = std::min(std::max(need, work_capacity * 2), kept_work);
      u8* p = static_cast<u8*>(std::realloc(work, capacity));
      if (!p) raise_error(ErrorCategory::internal, "no-memory");
      work = p;
      work_capacity = capacity;
      data_ = work;
      work_fill = need;
    } else {
      own_ = static_cast<u8*>(std::malloc(need));
      if (!own_) raise_error(ErrorCategory::internal, "no-memory");
      data_ = own_;
    }
  }
  ~Text() {
    std::free(own_);
    work_fill = saved_fill_;
  }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  u8* data() const { return data_; }
};

// Links a scan into the active list for its lifetime.
class Link {
  State* s_;

 public:
  explicit Link(State* s) : s_(s) {
    s->prev = last_state;
    if (last_state) last_state->next = s;
    else first_state = s;
    last_state = s;
    ++scan_count;
  }
  ~Link() {
    if (s_->prev) s_->prev->next = nullptr;
    else first_state = nullptr;
    last_state = s_->prev;
    --scan_count;
    if (!first_state && token_capacity > kept_tokens) {
      // One huge text does not keep its token stack for the rest of the session.
      if (void* p = std::realloc(token_cells, size_t{initial_tokens} * sizeof(Cell))) {
        token_cells = static_cast<Cell*>(p);
        token_capacity = initial_tokens;
      }
    }
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
};

}  // namespace

void grow_tokens() {
  if (token_capacity >= max_tokens) raise_error(ErrorCategory::internal, "no-memory");
  u32 capacity = token_capacity ? token_capacity * 2 : initial_tokens;
  void* p = std::realloc(token_cells, size_t{capacity} * sizeof(Cell));
  if (!p) raise_error(ErrorCategory::internal, "no-memory");
  token_cells = static_cast<Cell*>(p);
  token_capacity = capacity;
}

i32 active_scans() { return scan_count; }

void mark_states() {
  for (State* s = first_state; s; s = s->next) {
    // Scope markers carry offsets, not references: mark the runs between them.
    u32 run = s->base;
    for (u32 i = s->base; i < s->top; ++i) {
      if (token_at(i)->type() == scope_marker_type) {
        if (i > run) collector::mark_cells(token_at(run), token_at(i));
        run = i + 1;
      }
    }
    if (s->top > run) collector::mark_cells(token_at(run), token_at(s->top));
    collector::mark_cell(&s->input);
    if (s->trace) collector::mark_cell(const_cast<Cell*>(&s->trace->function));
  }
}

bool type_ready(u32 type_id) {
  return type_id < datatype::table_rows && datatype::actions[type_id].mold != nullptr;
}

bool path_end_q(const State* s, const u8* p) {
  if (p >= s->input_end) return true;
  switch (char_class[*p] & 0xFF) {
    case 0: case 1: case 4: case 5: case 6: case 7: case 8: case 10: case 13: case 23: case 28: case 37:
    case 38: case 39:
      return true;
    default: return false;
  }
}

bool unicode_blank_q(i32 cp) {
  switch (cp) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
    case 0x180E: case 0x200B: case 0x200C:
      return true;
    default: return cp >= 0x2000 && cp <= 0x200A;
  }
}

// ---- Positions for callbacks ---------------------------------------------------------------------------

namespace {

// The position of a byte pointer: characters from the input start for string input (counted from
// the cached pointer, so a trace over a long text stays linear), bytes otherwise.
i32 position_of(State* s, const u8* p) {
  if (p < s->input_start) p = s->input_start;
  if (p > s->input_end) p = s->input_end;
  if (!s->chars) return static_cast<i32>(p - s->input_start);
  if (!s->cache_ptr) {
    s->cache_ptr = s->input_start;
    s->cache_index = 0;
  }
  if (p >= s->cache_ptr) s->cache_index += unicode::count_codepoints(s->cache_ptr, p);
  else s->cache_index -= unicode::count_codepoints(p, s->cache_ptr);
  s->cache_ptr = p;
  return s->cache_index;
}

// The byte pointer of a position (the inverse of position_of).
const u8* pointer_of(State* s, i32 position) {
  if (position <= 0) return s->input_start;
  if (!s->chars) return s->input_start + std::min<i64>(position, s->input_end - s->input_start);
  return unicode::skip_codepoints(s->input_start, s->input_end, position);
}

// Words of the callback protocol, by name (the event names and the structural classes).
void word_named(const char* name, Cell* out) { word::make_at(symbol::make(name), out); }

constexpr const char* event_names[] = {"prescan", "scan", "load", "open", "close", "error"};
constexpr const char* structural_names[] = {"eof",   "error!", "block!", "block!", "paren!",    "paren!",
                                            "string!", "string!", "map!",   "path!",  "datatype!", "comment",
                                            "comma"};

void type_cell(i32 code, Cell* out) {
  if (code > 0) {
    datatype::make_at(out, static_cast<u32>(code));
  } else if (code < 0) {
    i32 n = -code - 1;
    if (hooks::exit_state && hooks::exit_state(n, out)) return;
    if (n >= 0 && n < 13) word_named(structural_names[n], out);
    else *out = Cell{type::none, 0, 0, 0};
  } else {
    *out = Cell{type::none, 0, 0, 0};
  }
}

}  // namespace

bool fire_event(State* s, u32 ev, i32 type_code, const Cell* loaded, const u8* start, const u8* end) {
  if (!wants(s, ev)) return true;
  Cell args[5];
  for (Cell& c : args) c = Cell{type::none, 0, 0, 0};
  RootCell r0(args[0]), r1(args[1]), r2(args[2]), r3(args[3]), r4(args[4]);
  i32 bit = 0;
  while ((1u << bit) != ev) ++bit;
  word_named(event_names[bit], &args[0]);
  bool at_start = ev == event::open || (ev == event::prescan && type_code <= 0);
  i32 start_pos = position_of(s, start);
  i32 end_pos = position_of(s, end);
  i32 reported = at_start ? start_pos : end_pos;
  i32 head = 0;
  if (s->input.type() != type::none) {
    args[1] = s->input;
    head = static_cast<i32>(s->input.w1);
    args[1].w1 = static_cast<u32>(head + reported);
  }
  type_cell(type_code, &args[2]);
  args[3] = Cell{type::integer, 0, static_cast<u32>(s->line), 0};
  if (ev == event::load && loaded) {
    args[4] = *loaded;
  } else {
    args[4] = Cell{type::pair, 0, static_cast<u32>(start_pos + 1), static_cast<u32>(end_pos + 1)};
  }
  bool result = s->trace->call(s->trace, args);
  if (s->input.type() != type::none && args[1].type() == s->input.type() && args[1].w2 == s->input.w2) {
    i32 moved = static_cast<i32>(args[1].w1) - head;
    // The callback moved the input: once the token at hand is handled, the scan goes on from there.
    if (moved != reported) s->moved_to = pointer_of(s, moved);
  }
  return result;
}

// ---- Syntax errors -------------------------------------------------------------------------------------

u32 current_scope(const State* s) {
  if (s->scope_start <= s->base) return 0;
  return token_at(s->scope_start - 1)->w2 & 0xFFFF;
}

namespace {

bool path_scope_q(u32 t) { return t >= type::path && t <= type::get_path; }

void close_scope(State* s, u32 expected, const u8* start, bool quietly);

// Closes every open scope without events (a failed scan's partial result).
void close_all(State* s) {
  while (s->scope_start > s->base) close_scope(s, 0, s->pos, true);
}

}  // namespace

void syntax_error(State* s, const u8* start, const u8* end, i32 code) {
  if (!s->load) {
    s->token_type = type::error;
    throw Stop{};
  }
  if (wants(s, event::error)) {
    if (s->entry_state == 59 && path_scope_q(current_scope(s))) close_scope(s, 0, start, true);
    i32 t = code > 0 ? code
            : s->scope_type > 0 ? s->scope_type
            : s->token_type > 0 ? s->token_type
            : s->type_override > 0 ? s->type_override
                                    : static_cast<i32>(type::error);
    if (!fire_event(s, event::error, t, nullptr, start, end)) {
      s->stopped = true;
      throw Stop{};
    }
  }
  // The near text: whole characters from the token start, up to a line end, the input end, or the
  // first character that starts 30 bytes or more after the start.
  if (start < s->input_start) start = s->input_start;
  if (start > s->input_end) start = s->input_end;
  // Invalid UTF-8 shows as U+FFFD: the near text must never fail to load itself.
  std::string near;
  for (const u8* p = start; p < s->input_end && *p != '\n' && *p != 0 && p - start < 30;) {
    i32 cp;
    const u8* next = unicode::decode_utf8_next(p, cp);
    if (next > s->input_end) {
      next = s->input_end;
      cp = -1;
    }
    if (cp < 0) near += "\xEF\xBF\xBD";
    else near.append(reinterpret_cast<const char*>(p), static_cast<size_t>(next - p));
    p = next;
  }
  std::string line_text = "(line " + std::to_string(s->line) + ")";
  u8 at_byte = start < s->input_end ? *start : 0;
  if (path_scope_q(current_scope(s))) code = code::bad_char;
  u32 scope = static_cast<u32>(s->scope_type);
  s->top = s->scope_start = s->base;  // what was loaded is dropped with the error

  Cell a1{type::none, 0, 0, 0}, a2{type::none, 0, 0, 0}, a3{type::none, 0, 0, 0};
  RootCell k1(a1), k2(a2), k3(a3);
  string::make_from_utf8(&a1, line_text);
  if (code > 0) {
    datatype::make_at(&a2, static_cast<u32>(code));
    string::make_from_utf8(&a3, near);
    raise_error(ErrorCategory::syntax, "invalid", a1, a2, a3);
  }
  if (code == code::bad_char) {
    string::make_from_utf8(&a2, near);
    raise_error(ErrorCategory::syntax, "bad-char", a1, a2);
  }
  if (code == code::bad_construction) {
    string::make_from_utf8(&a2, near);
    raise_error(ErrorCategory::syntax, "malconstruct", a1, a2);
  }
  if (code == code::missing_closer) at_byte = '_';
  i32 ch = 0;
  if (scope == type::block || scope == type::map) ch = at_byte == ']' ? '[' : ']';
  else if (scope == type::paren || scope == type::point2D) ch = at_byte == ')' ? '(' : ')';
  a2 = Cell{type::char_, 0, static_cast<u32>(ch), 0};
  string::make_from_utf8(&a3, near);
  raise_error(ErrorCategory::syntax, "missing", a1, a2, a3);
}

// ---- Scopes --------------------------------------------------------------------------------------------

namespace {

// Pushes a scope marker: word 1 the distance back to the previous scope start, word 2 the scope type
// (commas of a point scope above bit 16), word 3 the opener's offset from the input start.
void open_scope(State* s, u32 scope, const u8* opener) {
  if (current_scope(s) == type::point2D) syntax_error(s, opener, opener + 1, type::point2D);
  if (wants(s, event::open) && !fire_event(s, event::open, static_cast<i32>(scope), nullptr, opener, opener)) {
    s->entry_state = 0;
    return;
  }
  u32 i = push_token(s);
  Cell* m = token_at(i);
  m->header = scope_marker_type | (m->header & header::new_line);
  m->w1 = i + 1 - s->scope_start;
  m->w2 = scope;
  m->w3 = static_cast<u32>(opener - s->input_start);
  s->scope_start = i + 1;
  s->entry_state = 0;
}

// The cells above the innermost marker become a series of the type, in the marker's cell.
void make_series(State* s, u32 series_type) {
  u32 marker = s->scope_start - 1;
  u32 n = s->top - s->scope_start;
  if (!s->load) {
    *token_at(marker) = Cell{type::unset | (token_at(marker)->header & header::new_line), 0, 0, 0};
    return;
  }
  Cell blk{type::none, 0, 0, 0};
  RootCell keep(blk);
  block::make_at(&blk, static_cast<i32>(n));
  SeriesBuffer* b = block::buffer_of(&blk);
  if (n) std::memcpy(b->tail_ptr(), token_at(s->scope_start), size_t{n} * sizeof(Cell));
  b->tail += n * sizeof(Cell);
  Cell* m = token_at(marker);
  blk.header = series_type | (m->header & header::new_line);
  *m = blk;
}

const u8* opener_of(const State* s) {
  return s->input_start + token_at(s->scope_start - 1)->w3;
}

// Closes the innermost scope. expected: block!, paren!, path! (any path kind as it is), set-path!
// (a plain path becoming a set-path), or 0 (whatever is open, quietly).
void close_scope(State* s, u32 expected, const u8* start, bool quietly) {
  u32 open = current_scope(s);
  if (!quietly && wants(s, event::close)) {
    const u8* at = open ? opener_of(s) : start;
    if (!fire_event(s, event::close, static_cast<i32>(open ? open : expected), nullptr, at, start)) {
      s->entry_state = 0;
      return;
    }
  }
  if (!open) {
    s->scope_type = static_cast<i32>(expected);
    syntax_error(s, start, start + 1, code::missing_opener);
  }
  u32 result = open;
  if (!quietly && expected) {
    bool match = false;
    switch (expected) {
      case type::block: match = open == type::block || open == type::map; break;
      case type::paren: match = open == type::paren || open == type::point2D; break;
      case type::path: match = path_scope_q(open); break;
      case type::set_path:
        match = open == type::path;
        result = type::set_path;
        break;
      default: break;
    }
    if (!match) {
      s->scope_type = static_cast<i32>(open);
      if (expected == type::set_path) syntax_error(s, start, start + 1, static_cast<i32>(open));
      syntax_error(s, start, start + 1, code::missing_opener);
    }
  }
  const u8* opener = opener_of(s);
  // A map needs its datatype and maker, an even count, and keys of the types a map accepts; a map
  // closed quietly (a failed scan's partial result) that cannot be one stays a block.
  bool as_map = result == type::map && s->load && type_ready(type::map) && datatype::makers::map;
  if (result == type::map && s->load) {
    u32 n = s->top - s->scope_start;
    bool ok = as_map && n % 2 == 0;
    for (u32 i = 0; ok && i < n; i += 2) {
      switch (token_at(s->scope_start + i)->type()) {
        case type::string: case type::file: case type::url: case type::char_: case type::integer:
        case type::float_: case type::word: case type::set_word: case type::lit_word: case type::get_word:
        case type::refinement: case type::issue: case type::pair: case type::percent: case type::tuple:
        case type::binary: case type::time: case type::tag: case type::email: case type::date:
        case type::money: case type::ref: case type::point2D: case type::point3D:
          break;
        default: ok = false;
      }
    }
    if (!ok && !quietly) syntax_error(s, opener, start + 1, type::map);
    as_map = ok;
  }
  // A comma in a paren is never a point literal (the ( before it reads those whole): outside load
  // mode, where the comma itself did not fail, closing the scope does.
  if (result == type::point2D && !quietly) syntax_error(s, opener, start + 1, type::point2D);
  if (result == type::point2D) result = type::paren;
  u32 marker = s->scope_start - 1;
  u32 previous = marker + 1 - token_at(marker)->w1;
  make_series(s, result == type::map ? type::block : result);
  if (as_map && !datatype::makers::map(token_at(marker))) {
    if (!quietly) syntax_error(s, opener, start + 1, type::map);
    cell::set_type(token_at(marker), type::block);
  }
  s->top = marker + 1;
  s->scope_start = previous;
  s->token_type = static_cast<i32>(result);
  s->entry_state = path_scope_q(current_scope(s)) ? 59 : 0;
}

// ---- Scanners of the structural classes ------------------------------------------------------------

void scan_eof(State* s, const u8*, const u8*, u32, bool) { s->pos = s->input_end; }

void scan_error(State* s, const u8* start, const u8* end, u32, bool) {
  if (s->brace_depth > 0) syntax_error(s, s->brace_start, end, type::string);
  // The type in progress where the automaton failed; a construction has its own error.
  i32 code = type_table[s->prev_state];
  if (s->prev_state == 21) code = code::bad_construction;
  else if (code == 0) code = code::bad_char;
  s->token_type = type::error;
  syntax_error(s, start, end, code);
}

void scan_block_open(State* s, const u8*, const u8* end, u32, bool) {
  s->pos = end + 1;
  open_scope(s, type::block, end);
}

void scan_block_close(State* s, const u8*, const u8* end, u32, bool) {
  s->pos = end + 1;
  close_scope(s, type::block, end, false);
}

// The bytes a point literal is made of.
bool point_byte_q(u8 b) {
  switch (b) {
    case '\t': case ' ': case '#': case '+': case '-': case '.': case 'A': case 'E': case 'F': case 'I': case 'N':
    case 'a': case 'e': case 'f': case 'i': case 'n':
      return true;
    default: return b >= '0' && b <= '9';
  }
}

// Whether the ( at `open` starts a point literal: more than 3 bytes follow it, and the run of point
// bytes after it stops at a comma.
bool point_literal_q(const State* s, const u8* open) {
  const u8* p = open + 1;
  if (s->input_end - p <= 3) return false;
  while (p < s->input_end && point_byte_q(*p)) ++p;
  return p < s->input_end && *p == ',';
}

void scan_paren_open(State* s, const u8*, const u8* end, u32, bool) {
  s->pos = end + 1;
  if (point_literal_q(s, end)) {
    // The text from ( to ) is one point token.
    s->point_lines = s->lines_crossed;
    s->token_type = 0;
    s->entry_state = 35;
    return;
  }
  open_scope(s, type::paren, end);
}

void scan_paren_close(State* s, const u8*, const u8* end, u32, bool) {
  s->pos = end + 1;
  close_scope(s, type::paren, end, false);
}

void scan_brace_open(State* s, const u8*, const u8* end, u32 flags, bool) {
  s->pos = end + 1;
  if (s->brace_depth == 0) {
    fire_event(s, event::open, type::string, nullptr, end, end);
    s->brace_start = end;
    s->brace_lines = s->lines_crossed;
    s->brace_flags = 0;
  } else if (s->lines_crossed) {
    s->brace_flags |= flag::multi_line;
  }
  ++s->brace_depth;
  s->brace_flags |= flags;
  s->entry_state = 4;
}

void scan_brace_close(State* s, const u8*, const u8* end, u32 flags, bool load) {
  s->pos = end + 1;
  s->brace_flags |= flags | (s->lines_crossed ? flag::multi_line : 0);
  if (--s->brace_depth > 0) return;
  const u8* open = s->brace_start;
  u32 text_flags = s->brace_flags;
  s->brace_start = nullptr;
  s->brace_flags = 0;
  s->entry_state = 0;
  s->lines_crossed = s->brace_lines;  // the string starts a line when its { does
  s->token_type = type::string;
  fire_event(s, event::close, type::string, nullptr, open, end + 1);
  if (load) {
    if (!fire_event(s, event::scan, type::string, nullptr, open, end + 1)) return;
    u32 index = push_token(s);
    if (!load_text(s, index, open + 1, end, text_flags, true, type::string)) {
      s->top = index;
      syntax_error(s, open, end, type::string);
    }
    if (wants(s, event::load)) {
      Cell copy = *token_at(index);
      RootCell keep(copy);
      if (!fire_event(s, event::load, type::string, &copy, open, end + 1)) s->top = index;
    }
  } else {
    if (!check_text(open + 1, end, text_flags, true)) syntax_error(s, open, end, type::string);
    fire_event(s, event::scan, type::string, nullptr, open, end + 1);
  }
}

void scan_map_open(State* s, const u8* start, const u8* end, u32, bool) {
  s->pos = end + 1;
  if (start >= end || *start != '#') syntax_error(s, start, end + 1, type::map);
  open_scope(s, type::map, start);
}

void scan_path_start(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  const u8* p = start;
  u32 kind = type::path;
  if (*p == '\'') {
    kind = type::lit_path;
    ++p;
  } else if (*p == ':') {
    kind = type::get_path;
    ++p;
  }
  s->pos = end + 1;
  open_scope(s, kind, start);
  s->type_override = type::word;
  s->lines_crossed = 0;
  if (load && fire_event(s, event::scan, type::word, nullptr, p, end)) {
    load_word(s, p, end, type::word, flags);
    if (wants(s, event::load)) {
      u32 index = s->top - 1;
      Cell copy = *token_at(index);
      RootCell keep(copy);
      if (!fire_event(s, event::load, type::word, &copy, p, end)) s->top = index;
    }
  }
  s->entry_state = 59;
  if (s->pos >= s->input_end) syntax_error(s, start, s->input_end, type::path);
}

u8 ascii_lower(u8 c) { return c >= 'A' && c <= 'Z' ? static_cast<u8>(c + 32) : c; }

// #(name): the literal true, false, none, unset or a datatype name.
void scan_construction(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end + 1;
  const u8* name = start + 2;
  size_t n = static_cast<size_t>(end - name);
  auto same = [&](const char* text) {
    if (std::strlen(text) != n) return false;
    for (size_t i = 0; i < n; ++i)
      if (ascii_lower(name[i]) != ascii_lower(static_cast<u8>(text[i]))) return false;
    return true;
  };
  Cell value{type::none, 0, 0, 0};
  if (same("true")) value = Cell{type::logic, 1, 0, 0};
  else if (same("false")) value = Cell{type::logic, 0, 0, 0};
  else if (same("none")) value = Cell{type::none, 0, 0, 0};
  else if (same("unset")) value = Cell{type::unset, 0, 0, 0};
  else {
    bool found = false;
    for (u32 id = 1; id < datatype::table_rows && !found; ++id) {
      const char* type_name = datatype::names[id].name;
      if (type_name && same(type_name)) {
        datatype::make_at(&value, id);
        found = true;
      }
    }
    if (!found) syntax_error(s, start, end + 1, code::bad_construction);
  }
  s->token_type = static_cast<i32>(value.type());
  if (!load) return;
  u32 index = push_token(s);
  Cell* c = token_at(index);
  value.header |= c->header & header::new_line;
  *c = value;
}

void scan_comment(State* s, const u8* start, const u8* end, u32, bool) {
  s->pos = end;
  fire_event(s, event::scan, -(tok::comment + 1), nullptr, start, end);
}

void scan_comma(State* s, const u8* start, const u8* end, u32, bool load) {
  s->pos = end + 1;
  u32 open = current_scope(s);
  // A point literal never reaches here (the ( before it reads it whole): in load mode a comma is an
  // error; scans mark the paren as a point scope so that its commas are counted.
  if (load || (open != type::paren && open != type::point2D)) syntax_error(s, start, end + 1, type::point2D);
  Cell* m = token_at(s->scope_start - 1);
  u32 commas = (m->w2 >> 16) + 1;
  m->w2 = type::point2D | (commas << 16);
}

}  // namespace

const std::array<Procedure, token_class_count> scanners = [] {
  std::array<Procedure, token_class_count> t{};
  t[tok::eof] = scan_eof;
  t[tok::error] = scan_error;
  t[tok::block_open] = scan_block_open;
  t[tok::block_close] = scan_block_close;
  t[tok::paren_open] = scan_paren_open;
  t[tok::paren_close] = scan_paren_close;
  t[tok::brace_open] = scan_brace_open;
  t[tok::brace_close] = scan_brace_close;
  t[tok::map_open] = scan_map_open;
  t[tok::path_start] = scan_path_start;
  t[tok::construction] = scan_construction;
  t[tok::comment] = scan_comment;
  t[tok::comma] = scan_comma;
  t[tok::string] = scan_quoted;
  t[tok::word] = scan_word;
  t[tok::issue] = scan_issue;
  return t;
}();


// ---- The token loop --------------------------------------------------------------------------------

namespace {

// Where the scan goes on after a value token that no loader handles: the closing byte some classes
// stop on belongs to them.
const u8* default_end(const State* s, i32 cls, const u8* start, const u8* end) {
  const u8* next = end;
  switch (cls) {
    case tok::string: case tok::char_: case tok::tag: case tok::binary: case tok::percent: case tok::point:
      next = end + 1;
      break;
    case tok::file:
      if (end - start >= 2 && start[1] == '"') next = end + 1;
      break;
    default: break;
  }
  return std::min(next, s->input_end);
}

// Only a / goes on to another element: any other byte ends the path (and starts the next token), so a
// path never takes a stray byte for a separator and always molds back to what was read.
void path_next(State* s) {
  const u8* p = s->pos;
  if (p >= s->input_end || *p != '/') {
    if (p < s->input_end && *p == ':') {
      if (p + 1 < s->input_end && p[1] == '/') syntax_error(s, p, p + 2, type::path);
      s->pos = p + 1;
      close_scope(s, type::set_path, p, false);
    } else {
      close_scope(s, type::path, p, false);
    }
    return;
  }
  if (p + 1 >= s->input_end) syntax_error(s, s->token_start, p + 1, type::path);
  s->pos = p + 1;
}

void handle_token(State* s, i32 cls, const u8* start, const u8* end, u32 flags, u32 state) {
  bool value_class = cls >= tok::string;
  if (value_class) s->pos = default_end(s, cls, start, end);
  // Prescan follows the structure at once, whatever the callback says about the token.
  if (s->prescan && !value_class) scanners[cls](s, start, end, flags, false);
  bool accept = !s->prescan;
  if (s->trace) {
    accept = true;
    // Not inside a braced string, and not for the ( of a point literal (its token reports it).
    bool quiet = s->brace_depth > 0 || (cls == tok::paren_open && point_literal_q(s, end));
    if (!quiet) {
      i32 code = type_table[state] > 0 ? type_table[state] : -(cls + 1);
      // A point token's events start at its (.
      accept = fire_event(s, event::prescan, code, nullptr, cls == tok::point ? start - 1 : start, end);
    }
  }
  if (!accept) {
    if (!value_class && !s->prescan) s->pos = std::min(std::max(end, start + 1), s->input_end);
    return;
  }
  if (!value_class) {
    if (!s->prescan) scanners[cls](s, start, end, flags, s->load);
    return;
  }
  Procedure scanner = scanners[cls];
  Procedure loader = loaders[cls];
  const u8* from = cls == tok::point ? start - 1 : start;  // a point token's events start at its (
  // Load mode checks with the loader itself; a scanner still runs where it settles the kind.
  bool check = !s->load || wants(s, event::scan) || (scanner && cls != tok::string);
  if (check) {
    if (scanner) scanner(s, start, end, flags, false);
    else if (loader) loader(s, start, end, flags, false);
    end = s->token_end;
    if (s->trace) accept = fire_event(s, event::scan, s->token_type, nullptr, from, end);
  }
  if (!accept || !loader || !s->load) return;
  u32 before = s->top;
  loader(s, start, end, flags, true);
  if (s->top > before && wants(s, event::load)) {
    Cell copy = *token_at(before);
    RootCell keep(copy);
    if (!fire_event(s, event::load, s->token_type, &copy, from, s->pos)) s->top = before;
  }
}

void scan_tokens(State* s) {
  const u8* const input_end = s->input_end;
  i32 carried_lines = 0;  // lines before a run of blanks that turned out to be no token
  while (s->pos < input_end && !s->stopped) {
    const u8* const from = s->pos;
    u32 flags = 0;
    u32 row = static_cast<u32>(s->entry_state) * class_count;
    u64 stay = stays[static_cast<u32>(s->entry_state)];
    u32 state = 0;
    i32 line = s->line;
    const i32 line0 = line;
    i32 blanks = 0;
    const u8* p = from;
    for (; p < input_end; ++p) {
      u32 cc = char_class[*p];
      flags |= cc;
      u32 cls = cc & 0xFF;
      if (!(stay >> cls & 1)) {
        u32 next = rows[row + cls];
        if (next & 0x8000) {
          state = next & 0xFF;
          break;
        }
        row = next;
        stay = stays[row / class_count];
      }
      blanks += row == 0;
      line += cls == 1;
    }
    if (p == input_end) state = transitions[row + end_class];
    const u32 prev = row / class_count;
    const u8* start = from + blanks;
    s->line = line;
    s->pos = p;
    s->token_end = p;
    s->lines_crossed = carried_lines + (line - line0);
    s->prev_state = static_cast<i32>(prev);
    s->type_override = -1;
    s->token_type = type_table[state];
    i32 cls = static_cast<i32>(state - first_final);
    if (cls == tok::word && (flags & (flag::wide2 | flag::wide4))) {
      // Leading blanks of Unicode are no part of a word: skip them and read again from there.
      const u8* q = start;
      while (q < p) {
        i32 cp;
        const u8* next = unicode::decode_utf8_next(q, cp);
        if (!unicode_blank_q(cp)) break;
        q = next;
      }
      if (q > start) {
        s->pos = std::min(q, p);
        carried_lines = s->lines_crossed;
        continue;
      }
    }
    carried_lines = 0;
    s->token_start = start;
    s->token_flags = flags;
    s->token_class = cls;
    s->moved_to = nullptr;
    handle_token(s, cls, start, p, flags, state);
    if (s->moved_to) {
      s->pos = s->moved_to;
      s->moved_to = nullptr;
    } else {
      if (s->entry_state == 59 && cls != tok::path_start && cls != tok::error && !s->stopped) path_next(s);
      // Every token moves the scan on.
      if (s->pos <= from && !s->stopped) s->pos = std::min(std::max(p, start + 1), input_end);
    }
    if ((s->one_value || s->prescan) && s->token_type > 0 && cls != tok::path_start && s->brace_depth == 0 &&
        s->entry_state != 35 && s->scope_start == s->base) {
      u32 n = s->top - s->base;
      if (n == 0 || (n == 1 && token_at(s->base)->type() != scope_marker_type)) break;
    }
    s->last_type = s->token_type;
  }
}

struct Outcome {
  u32 type;
  i32 end;
  bool rest_blank;  // nothing but blanks after where the scan stopped
};

Outcome run(Cell* out, const u8* text, i32 length, const Options& o, const Cell* input, bool chars) {
  State st;
  st.base = st.scope_start = st.top = last_state ? last_state->top : 0;
  st.input_start = st.pos = text;
  st.input_end = text + length;
  st.load = !o.prescan && !o.scan;
  st.prescan = o.prescan;
  st.one_value = o.one_value || o.scan;
  st.trace = o.trace;
  st.chars = chars;
  if (input) st.input = *input;
  if (st.load) check_word_cache();
  Link link(&st);
  bool failed = false;
  try {
    scan_tokens(&st);
    if (st.entry_state == 4 && !st.stopped) syntax_error(&st, st.brace_start, st.input_end, type::string);
    if (st.scope_start > st.base) {
      u32 open = current_scope(&st);
      if (st.prescan && path_scope_q(open) && st.token_type != static_cast<i32>(type::error)) {
        st.token_type = static_cast<i32>(open);
        failed = true;
      } else {
        st.scope_type = static_cast<i32>(open);
        syntax_error(&st, opener_of(&st), st.input_end, code::missing_closer);
      }
    }
  } catch (Stop&) {
    failed = true;
    // A callback that stopped the load keeps what was loaded so far.
    if (st.load) close_all(&st);
  }
  Outcome result{static_cast<u32>(st.token_type), 0, true};
  if (failed && !st.load) result.type = st.token_type > 0 ? static_cast<u32>(st.token_type) : type::error;
  if (st.load) {
    u32 n = st.top - st.base;
    if (o.one_value) {
      if (n) token_at(st.base)->header &= ~header::new_line;
      if (o.into) {
        if (n) *cell::append_slot(o.into) = *token_at(st.base);
        *out = *o.into;
      } else if (n) {
        *out = *token_at(st.base);
      } else {
        *out = Cell{type::unset, 0, 0, 0};
      }
    } else if (o.into) {
      for (u32 i = 0; i < n; ++i) *cell::append_slot(o.into) = *token_at(st.base + i);
      *out = *o.into;
    } else {
      Cell blk{type::none, 0, 0, 0};
      RootCell keep(blk);
      block::make_at(&blk, static_cast<i32>(n));
      SeriesBuffer* b = block::buffer_of(&blk);
      if (n) std::memcpy(b->tail_ptr(), token_at(st.base), size_t{n} * sizeof(Cell));
      b->tail += n * sizeof(Cell);
      *out = blk;
    }
  }
  const u8* p = std::min(st.pos, st.input_end);
  result.end = position_of(&st, p);
  for (; p < st.input_end; ++p) {
    u32 cls = char_class[*p] & 0xFF;
    if (cls != 0 && cls != 1) {
      result.rest_blank = false;
      break;
    }
  }
  st.top = st.base;
  return result;
}

Outcome run_bytes(Cell* out, const u8* bytes, i32 length, const Options& o, const Cell* input) {
  init();
  if (length < 0) raise_error(ErrorCategory::script, "too-long");
  Text text(static_cast<size_t>(length));
  if (length) std::memcpy(text.data(), bytes, static_cast<size_t>(length));
  text.data()[length] = 0;
  return run(out, text.data(), length, o, input, false);
}

Outcome run_string(Cell* out, const Cell* source, i32 length, const Options& o) {
  init();
  Cell src = *source;
  RootCell keep(src);
  i32 n = string::length(&src);
  if (length >= 0 && length < n) n = length;
  u32 unit = string::buffer_of(&src)->unit();
  size_t per_char = unit == 1 ? 2 : unit == 2 ? 3 : 4;
  if (size_t{static_cast<u32>(n)} * per_char > 0x7FFFFFF0u) raise_error(ErrorCategory::script, "too-long");
  Text text(static_cast<size_t>(n) * per_char);
  i32 bytes = unicode::string_to_utf8(&src, text.data(), n, false);
  text.data()[bytes] = 0;
  return run(out, text.data(), bytes, o, &src, true);
}

}  // namespace

u32 scan_buffer(Cell* out, const u8* bytes, i32 length, const Options& options, i32* end_pos, const Cell* input) {
  Outcome r = run_bytes(out, bytes, length, options, input);
  if (end_pos) *end_pos = r.end;
  return r.type;
}

u32 scan_string(Cell* out, const Cell* text, i32 length, const Options& options, i32* end_pos) {
  Outcome r = run_string(out, text, length, options);
  if (end_pos) *end_pos = r.end;
  return r.type;
}

namespace {

// Texts are measured in 32-bit positions.
i32 checked_length(std::string_view utf8) {
  if (utf8.size() > 0x7FFFFFF0u) raise_error(ErrorCategory::script, "too-long");
  return static_cast<i32>(utf8.size());
}

}  // namespace

Cell* load_text(std::string_view utf8, Cell* out) {
  run_bytes(out, reinterpret_cast<const u8*>(utf8.data()), checked_length(utf8), Options{}, nullptr);
  return out;
}

bool load_one(std::string_view utf8, Cell* out) {
  Options o;
  o.one_value = true;
  run_bytes(out, reinterpret_cast<const u8*>(utf8.data()), checked_length(utf8), o, nullptr);
  return out->type() != type::unset;
}

u32 scan_type(const u8* text, i32 length) {
  Options o;
  o.scan = true;
  Cell unused{type::none, 0, 0, 0};
  Outcome r = run_bytes(&unused, text, length, o, nullptr);
  if (!r.rest_blank || r.type == type::error) return 0;
  return r.type;
}

u32 mask_of_body(const Cell* body) {
  Cell b = *body;
  if (!block::any_block_q(b.type()) || block::length(&b) == 0) return event::all;
  const Cell* first = block::head_pointer(&b);
  if (first->type() != type::block) return event::all;
  Cell events = *first;
  u32 mask = 0;
  for (i32 i = 0, n = block::length(&events); i < n; ++i) {
    const Cell* w = block::head_pointer(&events) + i;
    if (w->type() != type::word) continue;
    i32 sym = symbol::resolve(word::symbol_of(w));
    for (u32 bit = 0; bit < 6; ++bit)
      if (symbol::resolve(symbol::make(event_names[bit])) == sym) mask |= 1u << bit;
  }
  return mask;
}

namespace {

Cell* block_scan_hook(const Cell* text, Cell* out) {
  scan_string(out, text, -1, Options{}, nullptr);
  return out;
}

bool word_scan_value_hook(const u8* text, i32 length, Cell* out) {
  Options o;
  o.one_value = true;
  Outcome r = run_bytes(out, text, length, o, nullptr);
  return r.rest_blank && out->type() != type::unset;
}

}  // namespace

void init() {
  if (initialised) return;
  initialised = true;
  grow_tokens();
  work = static_cast<u8*>(std::malloc(initial_work));
  if (!work) raise_error(ErrorCategory::internal, "no-memory");
  work_capacity = initial_work;
  collector::add_root_callback(mark_states);
  hooks::scan_block = block_scan_hook;
  hooks::scan_type = scan_type;
  hooks::scan_value = word_scan_value_hook;
}

}  // namespace kiv::lexer
