// The module table comes from the build (the generated assembler file that embeds each module's
// source, see CMakeLists.txt); this unit loads, prepares and evaluates the modules.
#include "library/modules.h"

#include <algorithm>
#include <string>

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/none.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "lexer/load.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

// One record per module, ending with a record whose name is null.
struct EmbeddedModule {
  const char* name;
  const char* text;
  kiv::u64 size;
  kiv::i64 phase;
};
extern "C" const EmbeddedModule kiv_library_modules[];

namespace kiv::library {

namespace {

// The registry entry that builds a module's routines: (spec, body) -> the routine! its body names.
constexpr const char* maker_name = "library/routine";

// Cell i of a block counted from its head.
Cell* at(const Cell* blk, i32 i) { return block::cell_at(blk, series::head_index(blk) + i); }

// The form of a word, path, set-word or set-path, without a set-word's colon. The value may lie in
// a series: forming allocates.
std::string name_of(const Cell* value) {
  if (value->type() == type::word || value->type() == type::set_word) return word::name_of(value);
  Cell copy = *value, text = none::value;
  RootCell keep_copy(copy), keep(text);
  actions::form_to(&copy, &text);
  std::string name = string::to_utf8(&text);
  if (!name.empty() && name.back() == ':') name.pop_back();
  return name;
}

std::string entry_name(const Cell* body) {
  if (block::length(body) == 0) return {};
  const Cell* first = at(body, 0);
  if (first->type() == type::string) return string::to_utf8(first);
  if (first->type() == type::word || first->type() == type::path) return name_of(first);
  return {};
}

Cell* make_routine(Cell* spec, Cell* body) {
  return routine::define(entry_name(body), spec, body);
}

struct Preparer {
  i32 routine_symbol = symbol::resolve(symbol::make("routine"));
  Cell maker = none::value;
  std::vector<std::string> missing;

  bool is_definition(const Cell* blk, i32 i) {
    const Cell* c = at(blk, i);
    return c->type() == type::word && symbol::resolve(word::symbol_of(c)) == routine_symbol &&
           i + 2 < block::length(blk) &&
           at(blk, i + 1)->type() == type::block && at(blk, i + 2)->type() == type::block;
  }

  void walk(Cell* blk) {
    for (i32 i = 0; i < block::length(blk); ++i) {
      if (is_definition(blk, i)) {
        i += define_at(blk, i) - 1;  // a named definition's spec and body are data
        continue;
      }
      Cell inner = *at(blk, i);
      if (inner.type() == type::block || inner.type() == type::paren) {
        RootCell keep(inner);
        walk(&inner);
      }
    }
  }

  // Answers the cells the definition leaves in the block: 3 for a named one, 1 for one in place.
  i32 define_at(Cell* blk, i32 i) {
    Cell body = *at(blk, i + 2);
    RootCell keep(body);
    std::string name = entry_name(&body);
    const u32 before = i > 0 ? at(blk, i - 1)->type() : type::none;
    const bool named = before == type::set_word || before == type::set_path;
    if (name.empty() && block::length(&body) == 0 && named) {
      Cell target = *at(blk, i - 1);
      RootCell keep_target(target);
      name = name_of(&target);
      Cell text = none::value;
      RootCell keep_text(text);
      string::make_from_utf8(&text, name);
      block::make_at(&body, 1);
      block::append_value(&body, &text);
      *at(blk, i + 2) = body;
    }
    if (name.empty() || !routine::find(name)) {
      missing.push_back(name.empty() ? "(unnamed)" : name);
      return 3;
    }
    if (named) {
      *at(blk, i) = maker;
      return 3;
    }
    // In place: the routine itself stands where its definition was, and is called there.
    Cell spec = *at(blk, i + 1);
    RootCell keep_spec(spec);
    Cell r = *routine::define(name, &spec, &body);
    stack::drop(1);
    Cell* cells = at(blk, 0);
    const i32 n = block::length(blk);
    cells[i] = r;
    std::copy(cells + i + 3, cells + n, cells + i + 1);
    block::set_tail(blk, series::head_index(blk) + n - 2);
    return 1;
  }
};

void fail(std::string_view module, std::string_view what) {
  std::string line = "*** Start-up: library module ";
  line += module;
  line += ": ";
  line += what;
  sys::write_line(line);
  sys::exit_process(1);
}

}  // namespace

const std::vector<Module>& modules() {
  static const std::vector<Module> list = [] {
    std::vector<Module> v;
    for (const EmbeddedModule* m = kiv_library_modules; m->name; ++m)
      v.push_back({m->name, std::string_view(m->text, m->size), static_cast<i32>(m->phase)});
    return v;
  }();
  return list;
}

void load(const Module& m, Cell* out) {
  lexer::load_text(m.text, out);
  block::mark_library(out);
  if (load::header_index(out) == 0) series::set_head_index(out, series::head_index(out) + 2);
}

std::vector<std::string> prepare(Cell* code) {
  if (!routine::find(maker_name)) routine::add(maker_name, make_routine);
  Preparer p;
  RootCell keep(p.maker);
  Cell spec = none::value;
  RootCell keep_spec(spec);
  lexer::load_text("spec [block!] body [block!]", &spec);
  p.maker = *routine::define(maker_name, &spec, nullptr);
  stack::drop(1);
  p.walk(code);
  return p.missing;
}

void run_phase(i32 phase) {
  for (const Module& m : modules()) {
    if (m.phase != phase) continue;
    Cell code = none::value;
    RootCell keep(code);
    load(m, &code);
    std::vector<std::string> missing = prepare(&code);
    if (!missing.empty()) {
      std::string what = "no routine registered as";
      for (const std::string& name : missing) what += " " + name;
      fail(m.name, what);
    }
    Cell result = none::value;
    RootCell keep_result(result);
    if (!interpreter::do_safe(&code, &result)) {
      Cell text = none::value;
      RootCell keep_text(text);
      actions::form_to(&result, &text);
      fail(m.name, "\n" + string::to_utf8(&text));
    }
  }
}

}  // namespace kiv::library
