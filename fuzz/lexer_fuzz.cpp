// The lexer on arbitrary bytes, in every mode: load (then mold the values and load the mold again,
// which must give the same text), one value, scan, prescan, string input, and a trace callback that
// answers and moves the input by the bytes it is given. The only way out of a scan is a value or one
// of the syntax errors; anything else (a crash, another error, a different reload) traps.
// fuzz/lexer.dict holds the tokens of the literals (run with -dict=fuzz/lexer.dict).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/string.h"
#include "fuzz/fuzz_support.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "tests/unit/core_fixture.cpp"  // the shared boot of the core

using namespace kiv;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void check_syntax_error(const LanguageError& e) {
  check(e.category == ErrorCategory::syntax);
  std::string_view id = e.id;
  check(id == "invalid" || id == "missing" || id == "bad-char" || id == "malconstruct");
}

struct Answers {
  const u8* bytes;
  size_t size;
  size_t next = 0;
  u8 take() { return size ? bytes[next++ % size] : 0; }
};

bool answer(const lexer::Trace* trace, Cell* args) {
  auto* a = static_cast<Answers*>(trace->data);
  u8 b = a->take();
  // Now and then move a string input forward by a few characters.
  if ((b & 0x70) == 0x70 && args[1].type() == type::string) args[1].w1 += b & 3;
  return (b & 7) != 0;
}

// Whether the values (nested blocks, parens, paths and maps included) are all of the types (the string kinds and dates too) whose mold this
// target holds to reloading as the same text. Points mold 7 significant digits, which a float can
// need more than: their text holds from the second mold on (`points` says that one is there).
bool core_only(const Cell& block, bool& points) {
  Cell b = block;
  i32 n = block::length(&b);
  for (i32 i = 0; i < n; ++i) {
    Cell c = *block::cell_at(&b, block::head_index(&b) + i);
    switch (c.type()) {
      case type::block: case type::paren: case type::path: case type::lit_path: case type::set_path:
      case type::get_path:
        if (!core_only(c, points)) return false;
        break;
      case type::map: {  // its entries, as a block
        const Cell entries{type::block, 0, c.w2, 0};
        if (!core_only(entries, points)) return false;
        break;
      }
      case type::string: case type::char_: case type::integer: case type::float_: case type::time: case type::word:
      case type::set_word: case type::lit_word: case type::get_word: case type::refinement: case type::issue:
      case type::logic: case type::none: case type::unset: case type::datatype: case type::tuple: case type::pair:
      case type::date: case type::percent: case type::money: case type::tag: case type::email: case type::ref:
        break;
      case type::point2D: case type::point3D:
        points = true;
        break;
      default: return false;
    }
  }
  return true;
}

// The values of a block molded without its brackets.
std::string mold_of(const Cell& block) {
  Cell v = block, out{type::none, 0, 0, 0};
  RootCell kv(v), ko(out);
  actions::mold_to(&v, &out, true);
  return string::to_utf8(&out);
}

void scan(const u8* data, size_t size, lexer::Options o) {
  Cell* out = stack::push_cell();
  i32 end = -1;
  try {
    lexer::scan_buffer(out, data, static_cast<i32>(size), o, &end);
    check(end >= 0 && static_cast<size_t>(end) <= size);
  } catch (const LanguageError& e) {
    check(!o.prescan && !o.scan);
    check_syntax_error(e);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::start_core_case(test::boot_core);
  mold::reset_cycles();
  i32 length = static_cast<i32>(size);

  // Load, mold, load the mold: the same text again.
  Cell* out = stack::push_cell();
  bool loaded = false;
  try {
    lexer::load_text(std::string_view(reinterpret_cast<const char*>(data), size), out);
    loaded = true;
  } catch (const LanguageError& e) {
    check_syntax_error(e);
  }
  std::string text;
  bool points = false;
  loaded = loaded && core_only(*out, points);
  if (loaded) {
    text = mold_of(*out);
    Cell* again = stack::push_cell();
    try {
      lexer::load_text(text, again);
      if (points) {
        text = mold_of(*again);
        lexer::load_text(text, again);
      }
    } catch (const LanguageError&) {
      check(false);
    }
    check(mold_of(*again) == text);
  }

  lexer::Options one;
  one.one_value = true;
  scan(data, size, one);
  lexer::Options scan_only;
  scan_only.scan = true;
  scan(data, size, scan_only);
  lexer::Options prescan;
  prescan.prescan = true;
  scan(data, size, prescan);

  // A callback answering by the input's bytes, on string input when the bytes are UTF-8.
  Answers answers{data, size};
  lexer::Trace trace;
  trace.call = answer;
  trace.data = &answers;
  lexer::Options traced;
  traced.trace = &trace;
  {
    bool valid = true;
    for (const u8* p = data; p < data + size && valid;) {
      i32 count = static_cast<i32>(data + size - p);
      i32 cp = -1;
      if (*p < 0x80) {
        cp = *p;
        count = 1;
      } else {
        // The strict decoder raises on a broken sequence: decode with the table decoder instead.
        std::string tail(reinterpret_cast<const char*>(p), std::min<size_t>(4, data + size - p));
        tail.push_back('\0');
        const u8* next = unicode::decode_utf8_next(reinterpret_cast<const u8*>(tail.data()), cp);
        count = static_cast<i32>(next - reinterpret_cast<const u8*>(tail.data()));
        if (cp < 0 || count > static_cast<i32>(data + size - p)) valid = false;
      }
      if (cp == 0 || cp == 0xFFFE) valid = false;
      p += count;
    }
    if (valid) {
      Cell* text = stack::push_cell();
      string::make_from_utf8(text, std::string_view(reinterpret_cast<const char*>(data), size));
      Cell* result = stack::push_cell();
      try {
        i32 end = -1;
        lexer::scan_string(result, text, -1, traced, &end);
        check(end >= 0);
      } catch (const LanguageError& e) {
        check_syntax_error(e);
      }
    }
  }
  try {
    Cell* result = stack::push_cell();
    lexer::scan_buffer(result, data, length, traced, nullptr);
  } catch (const LanguageError& e) {
    check_syntax_error(e);
  }
  check(lexer::active_scans() == 0);
  return 0;
}
