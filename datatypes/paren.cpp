#include "datatypes/paren.h"

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

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  auto append = [out](std::string_view text) { string::append_utf8(out, text); };
  if (mold::emit_cycle(value, append, limit, true)) return limit;
  if (!only) {
    string::append_char(out, '(');
    --limit;
  }
  limit = block::mold_each(value, out, only, all, flat, part, limit, indent);
  if (!only) {
    string::append_char(out, ')');
    --limit;
  }
  return limit;
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
