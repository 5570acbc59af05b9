// The C++ side of the load/save, URL and file modules: the hook through which url!'s actions reach
// the URL parser written in the language, and the directory routines the file functions stand on.
#include "library/libio_routines.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "datatypes/context.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/routine.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::library::libio {

namespace {

Cell word_named(const char* name) {
  Cell w;
  word::load_at(name, &w);
  return w;
}

// url-parser/parse-url of the url; none while the URL module has not run.
Cell* parse_url(const Cell* url, Cell* out) {
  *out = none::value;
  Cell parser_word = word_named("url-parser"), field = word_named("parse-url");
  RootCell keep_word(parser_word), keep_field(field);
  const Cell* parser = context::get_value_cell(word::symbol_of(&parser_word), context::global());
  if (!parser || parser->type() != type::object) return out;
  Cell owner = *parser;
  RootCell keep_owner(owner);
  const Cell* fn = object::get_word_value(&owner, &field);
  if (!fn || fn->type() != type::function) return out;
  Cell callee = *fn, arg = *url;
  RootCell keep_callee(callee), keep_arg(arg);
  interpreter::call_function_or_raise(&callee, std::span<const Cell>(&arg, 1), out, &field);
  return out;
}

// ---- the directory routines ----------------------------------------------------------------------
// provided by the bootstrap; remove when merged (the module binds them only while their words are
// unset, and the registry keeps the first entry of a name)

std::string os_path(const Cell* path) { return string::to_utf8(path); }

Cell* file_value(std::string text) {
  Cell* out = stack::push_cell();
  string::make_from_utf8(out, text);
  cell::set_type(out, type::file);
  return out;
}

bool exists(Cell* path) {
  struct stat st;
  const std::string p = os_path(path);
  return !p.empty() && ::stat(p.c_str(), &st) == 0;
}

Cell* get_current_dir() {
  char buffer[PATH_MAX];
  std::string dir = ::getcwd(buffer, sizeof buffer) ? buffer : "/";
  if (dir.back() != '/') dir += '/';
  return file_value(dir);
}

void set_current_dir(Cell* path) {
  if (::chdir(os_path(path).c_str()) != 0) raise_error(ErrorCategory::access, "cannot-open", *path);
}

void create_dir(Cell* path) {
  std::string p = os_path(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (::mkdir(p.c_str(), 0777) != 0) raise_error(ErrorCategory::access, "no-create", *path);
}

}  // namespace

void init() {
  hooks::parse_url = parse_url;
  routine::add("exists?", exists);
  routine::add("get-current-dir", get_current_dir);
  routine::add("set-current-dir", set_current_dir);
  routine::add("create-dir", create_dir);
}

}  // namespace kiv::library::libio
