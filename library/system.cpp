// The run-time's side of the system object: the routines its module defines and the hooks through
// which the datatypes and the lexer read its fields.
#include <initializer_list>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/handle.h"
#include "datatypes/money.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/routine.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "library/routines.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::library {

namespace {

bool float_full = false;  // system/options/float/full?: kept, read by nothing yet

bool truth(const Cell* v) { return v->type() == type::logic && v->w1 == 1; }

Cell* null_handle() { return handle::push_null(); }

// system/words: the global context seen as an object, which becomes the context's owner.
Cell* system_words() {
  Ref<Node> ctx = context::global();
  Cell* obj = object::push_new(ctx, -1);
  *context::owner_of(context::global()) = *obj;
  return obj;
}

Cell* catalog_errors() { return stack::push_value(error::catalog()); }
Cell* standard_error() { return stack::push_value(error::error_template()); }

Cell* currency_list() {
  const i32 n = money::currency_count();
  Cell* list = stack::push_cell();
  block::make_at(list, n);
  for (i32 i = 1; i <= n; ++i) {
    Cell w = word::load(std::string(money::currency_name(i)).c_str());
    block::append_value(list, &w);
  }
  return list;
}

Cell* add_currency(Cell* name) {
  money::add_currency(word::name_of(name));
  return nullptr;
}

Cell* set_pretty(Cell* on) {
  float_::pretty = truth(on);
  return nullptr;
}
Cell* set_full(Cell* on) {
  float_full = truth(on);
  return nullptr;
}

Cell* script_args() { return string::make_from_utf8(stack::push_cell(), command_line); }

// A field of the system object by its path of names; null when the system object or a field on
// the way is missing. Valid until the next allocation: the walk itself allocates nothing once the
// names' symbols exist.
const Cell* field(std::initializer_list<const char*> path) {
  static const i32 system_symbol = symbol::make("system");
  Ref<Node> ctx = context::global();
  i32 symbol = system_symbol;
  auto name = path.begin();
  for (;;) {
    const Cell* at = context::get_value_cell(symbol, ctx);
    if (!at) return nullptr;
    if (name == path.end()) return at;
    if (at->type() != type::object) return nullptr;
    ctx = object::context_of(at);
    symbol = symbol::make(*name++);
  }
}

i32 integer_field(std::initializer_list<const char*> path, i32 otherwise) {
  const Cell* v = field(path);
  return v && v->type() == type::integer ? v->as_int() : otherwise;
}

}  // namespace

void register_system_routines() {
  routine::add("handle/null", null_handle);
  routine::add("system/words", system_words);
  routine::add("system/catalog/errors", catalog_errors);
  routine::add("system/standard/error", standard_error);
  routine::add("system/locale/currencies/list", currency_list);
  routine::add("system/locale/currencies/add", add_currency);
  routine::add("system/options/float/pretty?", set_pretty);
  routine::add("system/options/float/full?", set_full);
  routine::add("system/script/args", script_args);
}

void follow_current_dir() {
  if (!field({"options", "path"})) return;
  Cell out = none::value;
  RootCell keep(out);
  if (!interpreter::do_text_safe("system/options/path: to file! get-current-dir", &out)) {
    KIV_ASSERT(false, "system/options/path refused the current folder");
  }
}

void install_system_hooks() {
  hooks::system_state = [] { return field({"state"}); };
  hooks::binary_base = [] {
    const i32 base = integer_field({"options", "binary-base"}, 16);
    return base == 2 || base == 64 ? base : 16;
  };
  hooks::money_digits = [] { return integer_field({"options", "money-digits"}, 2); };
  hooks::locale_months = [] {
    const Cell* months = field({"locale", "months"});
    return months && months->type() == type::block ? months : nullptr;
  };
  hooks::exit_state = [](i32 n, Cell* out) {
    const Cell* states = field({"lexer", "exit-states"});
    if (!states || states->type() != type::block || n < 0 || n >= block::length(states)) return false;
    *out = *block::cell_at(states, n);
    return true;
  };
}

}  // namespace kiv::library
