#include "datatypes/email.h"

#include <algorithm>

#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::email {

namespace {

enum class Half { none, user, host };

Half half_named(const Cell* element) {
  if (element->type() != type::word) return Half::none;
  i32 sym = symbol::resolve(word::symbol_of(element));
  if (sym == symbol::resolve(static_words::symbol(static_words::sym::user))) return Half::user;
  if (sym == symbol::resolve(static_words::symbol(static_words::sym::host))) return Half::host;
  return Half::none;
}

}  // namespace

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  return string::form(value, out, part, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt) {
  if (element->type() == type::integer)
    return string::eval_path(parent, element, value, path, gparent, p_item, index, case_, lenient, tail, evt);
  Half half = half_named(element);
  if (half == Half::none) {
    Cell where = path ? *path : none::value;
    raise_error(ErrorCategory::script, "invalid-path", where, *element);
  }
  // The halves split at the first at sign after the head; without one the user is the whole text.
  i32 total = string::total_length(parent);
  i32 head = std::clamp(string::head_index(parent), 0, total);
  i32 at = string::find_char(parent, '@');
  i32 split = at < 0 ? total : head + at;
  i32 from = half == Half::user ? head : std::min(split + 1, total);
  i32 count = half == Half::user ? split - head : total - from;
  Cell piece = *parent;
  RootCell keep(piece);
  string::set_head_index(&piece, from);
  if (value) {
    string::change(&piece, value, count, false, 1);
    return value;
  }
  Cell* out = stack::push_cell();
  string::make_at(out, count, static_cast<i32>(string::buffer_of(parent)->unit()));
  string::concatenate(out, &piece, count, true, 0);
  return out;
}

void init() {
  action::Entries entries = string::kind_entries();
  entries.mold = mold;
  entries.eval_path = eval_path;
  datatype::register_type(type::email, type::string, "email!", entries);
  string::register_family_type(type::email);
}

}  // namespace kiv::email
