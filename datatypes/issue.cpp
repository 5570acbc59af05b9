#include "datatypes/issue.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kiv::issue {

namespace {

Cell* make_symbol_at(Cell* out, i32 sym) {
  return word::init_at(out, type::issue, context::global(), sym, -1);
}

}  // namespace

Cell* make_at(Cell* out, const char* name) {
  i32 sym = symbol::make(name);
  return make_symbol_at(out, sym);
}

Cell* load_in_block(const char* name, Cell* blk) {
  Cell c;
  make_at(&c, name);
  return block::append_value(blk, &c);
}

Cell* load(const char* name) {
  Cell c;
  make_at(&c, name);
  if (words::word_recording) return words::root_at(words::record(&c));
  return stack::push_value(&c);
}

Cell* push_as(const Cell* w) { return word::push_as(w, type::issue); }

Cell* make(Cell* proto, Cell* spec_in, u32 type_id) {
  Cell spec = *spec_in;
  RootCell keep(spec);
  Cell result;
  switch (spec.type()) {
    case type::word:
    case type::set_word:
    case type::lit_word:
    case type::get_word:
    case type::refinement:
    case type::issue:
      result = spec;
      break;
    case type::string:
      // Any text names an issue: it is interned as it is, never scanned.
      make_symbol_at(&result, symbol::make_from_string(&spec, -1));
      break;
    case type::char_: {
      u8 buf[4];
      i32 n = unicode::encode_utf8(static_cast<i32>(spec.w2), buf);
      make_symbol_at(&result, symbol::make_from_buffer(buf, n));
      break;
    }
    default:
      return word::make(proto, &spec, type_id);
  }
  result.header = type_id;
  return cell::copy(&result, proto);
}

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  return word::mold(value, out, only, all, flat, part, limit, indent);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::issue) return -2;
  return word::compare(a, b, op);
}

void init() {
  datatype::register_type(type::issue, type::word, "issue!",
                          {.make = make, .to = make, .form = action::inherit, .mold = mold, .compare = compare});
  hashtable::set_hash_procedure(type::issue, word::hash);
  // issue! carries the global context like every word: a reference the collector must rewrite.
  collector::set_mark_procedure(type::issue, collector::mark_any_word);
}

}  // namespace kiv::issue
