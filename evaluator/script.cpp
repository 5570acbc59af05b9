#include "evaluator/script.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <span>
#include <string>

#include "datatypes/context.h"
#include "datatypes/frame_words.h"
#include "datatypes/none.h"
#include "datatypes/word.h"
#include "evaluator/catch.h"
#include "evaluator/interpreter.h"
#include "lexer/load.h"
#include "runtime/roots.h"

namespace kiv::script {

namespace {

// The value of a global word by name, or null.
const Cell* global_function(const char* name) {
  Cell w;
  word::load_at(name, &w);
  const Cell* v = context::get_value_cell(word::symbol_of(&w), context::global());
  return v && v->type() == type::function ? v : nullptr;
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

void expand(Cell* blk) {
  if (const Cell* expander = global_function("expand-directives")) {
    Cell fn = *expander, out = none::value;
    RootCell keep_fn(fn), keep_out(out);
    interpreter::call_function_or_raise(&fn, std::span<const Cell>(blk, 1), &out);
  }
}

Exit do_file(Cell* file, const Cell* args) {
  (void)args;
  Cell* target = stack::push_value(file);
  Cell* code = stack::push_cell();
  const std::string path = load::script_file(target, code);
  expand(code);
  DirectoryGuard in_folder(load::folder_of(path));
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
