#include "console/line_loop.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/string.h"
#include "evaluator/catch.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives_output.h"
#include "lexer/lexer.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

namespace kiv::console {

namespace {

constexpr std::string_view prompt = ">> ";

void print_line(std::string_view text) { natives::put_text(text, true); }

// Code points to UTF-8.
std::string utf8_of(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

void print_error(const Cell* err) {
  Cell* report = stack::push_cell();
  actions::form_to(err, report);
  string::append_char(report, '\n');
  natives::put_text(report, true);
  stack::drop(1);
}

int console_width() {
  winsize ws{};
  if (::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int n = std::atoi(columns);
    if (n > 0) return n;
  }
  return 80;
}

char open_delimiter(std::string_view s) {
  std::string open;  // the constructs open, innermost last
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const char inner = open.empty() ? 0 : open.back();
    if (inner == '{') {  // inside a braced string: braces nest, ^ escapes
      if (c == '^') ++i;
      else if (c == '{') open += '{';
      else if (c == '}') open.pop_back();
      continue;
    }
    if (inner == '"') {  // a quoted string ends at its quote or its line
      if (c == '^') ++i;
      else if (c == '"' || c == '\n') open.pop_back();
      continue;
    }
    switch (c) {
      case ';':
        while (i < s.size() && s[i] != '\n') ++i;
        break;
      case '[':
      case '(':
      case '{':
      case '"':
        open += c;
        break;
      case ']':
      case ')':
        if (open.empty() || open.back() != (c == ']' ? '[' : '(')) return 0;  // a mismatch: report it now
        open.pop_back();
        break;
      default:
        break;
    }
  }
  return open.empty() ? 0 : open.back();
}

void do_command(std::string_view input) {
  Cell* blk = stack::push_cell();
  Cell* out = stack::push_cell();
  const stack::Mark m = stack::mark();
  try {
    lexer::load_text(input, blk);
  } catch (const LanguageError& e) {
    stack::catch_error(e, m, out);
    print_error(out);
    stack::drop(2);
    return;
  }
  if (block::length(blk) == 0) {
    stack::drop(2);
    return;
  }
  // An error, raised or given back as the value, is reported the same way.
  if (!interpreter::do_safe(blk, out) || out->type() == type::error) {
    print_error(out);
    stack::drop(2);
    return;
  }
  if (out->type() == type::unset) {
    stack::drop(2);
    return;
  }
  const stack::Mark m2 = stack::mark();
  try {
    const i32 limit = console_width() - 3;
    Cell* text = stack::push_cell();
    if (out->type() == type::float_) actions::form_to(out, text, limit + 5);
    else actions::mold_to(out, text, false, false, false, limit + 5);
    std::u32string chars = string::to_u32(text);
    if (static_cast<i32>(chars.size()) > limit) {
      const i32 keep = std::max<i32>(limit - static_cast<i32>(prompt.size()) - 1, 0);
      chars.resize(static_cast<std::size_t>(keep));
      chars += U"...";
    }
    print_line("== " + utf8_of(chars));
  } catch (const LanguageError& e) {
    stack::catch_error(e, m2, out);
    print_error(out);
  }
  stack::top = m.top - 2;
}

int run_lines(bool banner) {
  if (banner) print_line("--== Kiv ==--\nType HELP for starting information.\n");
  std::string buffer;
  char cue = 0;
  for (;;) {
    if (cue) natives::put_text(std::string(1, cue) + "    ", false);
    else natives::put_text(prompt, false);
    sys::flush_output();
    std::string line;
    if (!std::getline(std::cin, line)) {
      if (::isatty(STDIN_FILENO)) print_line("");
      sys::flush_output();
      return 0;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!cue && line.empty()) continue;
    if (!line.empty() && line.back() == '\x1b') {
      cue = 0;
      buffer.clear();
      print_line("(escape)");
      continue;
    }
    buffer += line;
    buffer += '\n';
    cue = open_delimiter(buffer);
    if (cue) continue;
    do_command(buffer);
    buffer.clear();
  }
}

}  // namespace kiv::console
