#include "datatypes/paren.h"

#include <string_view>

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/mold.h"
#include "runtime/stack.h"

namespace kiv::paren {

Cell* push_as(Cell* value) {
  value->header = type::paren;
  return stack::push_value(value);
}

namespace {

// Whether the text from the ( at `open` reads back as a point literal: the lexer takes a ( as the
// start of one when the run of bytes that can make a point after it stops at a comma.
bool reads_as_point(const Cell* out, i32 open) {
  for (i32 i = open + 1, n = string::total_length(out); i < n; ++i) {
    const i32 c = string::char_at(out, i);
    if (c == ',') return true;
    if (!(c == '\t' || c == ' ' || c == '#' || c == '+' || c == '-' || c == '.' || (c >= '0' && c <= '9') ||
          std::string_view("AEFINaefin").find(static_cast<char>(c)) != std::string_view::npos))
      return false;
  }
  return false;
}

}  // namespace

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  auto append = [out](std::string_view text) { string::append_utf8(out, text); };
  if (mold::emit_cycle(value, append, limit, true)) return limit;
  if (only) return block::mold_each(value, out, only, all, flat, part, limit, indent);
  const i32 open = string::total_length(out);
  string::append_char(out, '(');
  const i32 after_open = --limit;
  limit = block::mold_each(value, out, only, all, flat, part, limit, indent);
  if (!flat && reads_as_point(out, open)) {
    // A paren such as one holding -1 and the issue #a, would reload as a broken point: its first
    // value goes on a line of its own, where a new-line marker would put it.
    string::cut_tail_at(string::buffer_of(out), open + 1);
    limit = block::mold_each(value, out, only, all, flat, part, after_open, indent, true);
  }
  string::append_char(out, ')');
  return limit - 1;
}

void init() {
  using action::inherit;
  datatype::register_type(type::paren, type::block, "paren!",
                          {.make = inherit,
                           .random = inherit,
                           .reflect = inherit,
                           .to = inherit,
                           .form = inherit,
                           .mold = mold,
                           .eval_path = inherit,
                           .compare = inherit,
                           .append = inherit,
                           .at = inherit,
                           .back = inherit,
                           .change = inherit,
                           .clear = inherit,
                           .copy = inherit,
                           .find = inherit,
                           .head = inherit,
                           .head_q = inherit,
                           .index_q = inherit,
                           .insert = inherit,
                           .length_q = inherit,
                           .move = inherit,
                           .next = inherit,
                           .pick = inherit,
                           .poke = inherit,
                           .put = inherit,
                           .remove = inherit,
                           .reverse = inherit,
                           .select = inherit,
                           .sort = inherit,
                           .skip = inherit,
                           .swap = inherit,
                           .tail = inherit,
                           .tail_q = inherit,
                           .take = inherit,
                           .modify = inherit});
  hashtable::set_hash_procedure(type::paren, hashtable::hash_words12, true);
  collector::set_mark_procedure(type::paren, collector::mark_any_block);
}

}  // namespace kiv::paren
