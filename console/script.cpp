#include "console/script.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/frame_words.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/catch.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives_output.h"
#include "lexer/lexer.h"
#include "runtime/roots.h"
#include "runtime/sys.h"

namespace kiv::script {

namespace {

constexpr std::string_view prompt = ">> ";

bool blank_q(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  out = text.str();
  return true;
}

// The folder part of a path ("" when it has none).
std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

void print_line(std::string_view text) { natives::put_text(text, true); }

// Prints an error as the console does: the formed error and a line feed, in one print.
void print_error(const Cell* err) {
  Cell* report = stack::push_cell();
  actions::form_to(err, report);
  string::append_char(report, '\n');
  natives::put_text(report, true);
  stack::drop(1);
}

// A language error caught at this level, as its error! value in *out.
void catch_into(const LanguageError& e, const stack::Mark& m, Cell* out) { stack::catch_error(e, m, out); }

// The value of a global word by name, or null.
const Cell* global_function(const char* name) {
  Cell w;
  word::load_at(name, &w);
  const Cell* v = context::get_value_cell(word::symbol_of(&w), context::global());
  return v && v->type() == type::function ? v : nullptr;
}

// Runs the preprocessor over a loaded block when the library provides it.
void expand(Cell* blk) {
  if (const Cell* expander = global_function("expand-directives")) {
    Cell fn = *expander, out = none::value;
    RootCell keep_fn(fn), keep_out(out);
    interpreter::call_function_or_raise(&fn, std::span<const Cell>(blk, 1), &out);
  }
}

// The position of the header word `Kiv` followed by a block in a loaded block, or -1.
i32 header_index(const Cell* blk) {
  const i32 total = series::total_length(blk);
  for (i32 i = std::max(series::head_index(blk), 0); i + 1 < total; ++i) {
    const Cell* c = block::cell_at(blk, i);
    if (c->type() == type::word && symbol::name(word::symbol_of(c)) == "Kiv" &&
        block::cell_at(blk, i + 1)->type() == type::block)
      return i;
  }
  return -1;
}

bool contains_ci(std::string_view text, std::string_view what) {
  auto it = std::search(text.begin(), text.end(), what.begin(), what.end(),
                        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                    std::tolower(static_cast<unsigned char>(b)); });
  return it != text.end();
}

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

// Restores the current directory when a script run by `do` ends, whichever way it ends.
class DirectoryGuard {
  std::string saved_;
  bool changed_ = false;

 public:
  explicit DirectoryGuard(const std::string& folder) {
    if (folder.empty() || folder == "./") return;
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer)) return;
    saved_ = buffer;
    changed_ = ::chdir(folder.c_str()) == 0;
  }
  ~DirectoryGuard() {
    if (changed_ && ::chdir(saved_.c_str()) != 0) errno = 0;
  }
  DirectoryGuard(const DirectoryGuard&) = delete;
  DirectoryGuard& operator=(const DirectoryGuard&) = delete;
};

}  // namespace

std::size_t find_header(std::string_view text) {
  for (std::size_t at = text.find("Kiv"); at != std::string_view::npos; at = text.find("Kiv", at + 1)) {
    std::size_t i = at + 3;
    if (text.substr(i, 7) == "/System") i += 7;
    while (i < text.size() && blank_q(text[i])) ++i;
    if (i < text.size() && text[i] == '[') return at;
  }
  return std::string_view::npos;
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
    catch_into(e, m, out);
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
    catch_into(e, m2, out);
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

int run_file(const std::string& path) {
  std::string text;
  const bool read = read_file(path, text);
  // The script's folder becomes the current directory, whether or not the file could be read.
  const std::string folder = folder_of(path);
  if (!folder.empty() && folder != "./" && ::chdir(folder.c_str()) != 0) errno = 0;
  if (!read) {
    Cell* file = stack::push_cell();
    string::make_from_utf8(file, path);
    cell::set_type(file, type::file);
    Cell* err = stack::push_cell();
    error::create(ErrorCategory::access, "cannot-open", std::span<const Cell>(file, 1), err);
    print_error(err);
    stack::drop(2);
    return not_run;
  }
  const std::size_t at = find_header(text);
  if (at == std::string::npos) {
    print_line("*** Error: Kiv header not found!");
    return not_run;
  }
  Cell* blk = stack::push_cell();
  Cell* out = stack::push_cell();
  const stack::Mark m = stack::mark();
  try {
    lexer::load_text(std::string_view(text).substr(at), blk);
  } catch (const LanguageError& e) {
    catch_into(e, m, out);
    print_error(out);
    return uncaught;
  }
  const i32 header = header_index(blk);
  if (header < 0) {
    print_line(contains_ci(text, "Kiv/System") ? "*** Error: contains Kiv/System code which requires compilation!"
                                               : "*** Error: not a Kiv program!");
    return not_run;
  }
  try {
    expand(blk);
  } catch (const LanguageError& e) {
    catch_into(e, m, out);
    print_error(out);
    return uncaught;
  }
  series::set_head_index(blk, header + 2);
  if (!interpreter::do_safe(blk, out)) {
    print_error(out);
    return uncaught;
  }
  return 0;
}

int launch(int argc, char** argv) {
  bool keep_console = false;
  int i = 1;
  while (i < argc && std::strncmp(argv[i], "--", 2) == 0 && std::strcmp(argv[i - 1], "--") != 0) {
    if (std::strcmp(argv[i], "--catch") == 0) keep_console = true;
    ++i;
  }
  if (i >= argc) return run_lines(::isatty(STDIN_FILENO));
  const int status = run_file(argv[i]);
  if (keep_console) return run_lines(false);
  return status;
}

Exit do_file(Cell* file, const Cell* args) {
  (void)args;
  Cell* target = stack::push_value(file);
  if (file->type() != type::file) raise_error(ErrorCategory::access, "cannot-open", *target);
  const std::string path = string::to_utf8(target);
  std::string text;
  if (!read_file(path, text)) raise_error(ErrorCategory::access, "cannot-open", *target);
  const std::size_t at = find_header(text);
  if (at == std::string::npos) raise_error(ErrorCategory::syntax, "no-header", *target);
  Cell* code = stack::push_cell();
  lexer::load_text(std::string_view(text).substr(at), code);
  const i32 total = series::total_length(code);
  if (total > 0) {
    const Cell* first = block::cell_at(code, 0);
    if (first->type() == type::path) raise_error(ErrorCategory::internal, "kiv-system");
    if (total > 1 && first->type() == type::word && symbol::name(word::symbol_of(first)) == "Kiv" &&
        block::cell_at(code, 1)->type() == type::block)
      series::set_head_index(code, 2);
  }
  expand(code);
  DirectoryGuard in_folder(folder_of(path));
  // The script runs behind a wall: break, continue, return, exit and throw cannot leave it (each
  // becomes its error), and its errors go on to the caller.
  stack::push_try_all_frame();
  const Exit e = interpreter::eval_block(code, true);
  if (e != Exit::none) {
    stack::pop_frame_reset();
    return e;
  }
  stack::pop_frame_result();
  return Exit::none;
}

}  // namespace kiv::script
