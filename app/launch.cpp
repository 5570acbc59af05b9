#include "app/launch.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <span>
#include <string_view>

#include "console/line_loop.h"
#include "datatypes/error.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/catch.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives_output.h"
#include "evaluator/script.h"
#include "lexer/lexer.h"
#include "lexer/load.h"
#include "library/routines.h"
#include "runtime/stack.h"

namespace kiv::boot {

namespace {

void print_line(std::string_view text) { natives::put_text(text, true); }

bool contains_ci(std::string_view text, std::string_view what) {
  auto it = std::search(text.begin(), text.end(), what.begin(), what.end(),
                        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                    std::tolower(static_cast<unsigned char>(b)); });
  return it != text.end();
}

}  // namespace

int run_file(const std::string& path) {
  std::string text;
  const bool read = load::read_file(path, text);
  // The script's folder becomes the current directory, whether or not the file could be read.
  const std::string folder = load::folder_of(path);
  if (!folder.empty() && folder != "./" && ::chdir(folder.c_str()) != 0) errno = 0;
  library::follow_current_dir();
  if (!read) {
    Cell* file = stack::push_cell();
    string::make_from_utf8(file, path);
    cell::set_type(file, type::file);
    Cell* err = stack::push_cell();
    error::create(ErrorCategory::access, "cannot-open", std::span<const Cell>(file, 1), err);
    console::print_error(err);
    stack::drop(2);
    return not_run;
  }
  const std::size_t at = load::find_header(text);
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
    stack::catch_error(e, m, out);
    console::print_error(out);
    return uncaught;
  }
  const i32 header = load::header_index(blk);
  if (header < 0) {
    print_line(contains_ci(text, "Kiv/System") ? "*** Error: contains Kiv/System code which requires compilation!"
                                               : "*** Error: not a Kiv program!");
    return not_run;
  }
  try {
    script::expand(blk);
  } catch (const LanguageError& e) {
    stack::catch_error(e, m, out);
    console::print_error(out);
    return uncaught;
  }
  series::set_head_index(blk, header + 2);
  if (!interpreter::do_safe(blk, out)) {
    console::print_error(out);
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
  if (i >= argc) return console::run_lines(::isatty(STDIN_FILENO));
  const int status = run_file(argv[i]);
  if (keep_console) return console::run_lines(false);
  return status;
}

}  // namespace kiv::boot
