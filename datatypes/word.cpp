#include "datatypes/word.h"

#include <algorithm>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/words.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"
#include "runtime/unicode.h"

namespace kiv::word {

namespace {

[[noreturn]] void script_error(const char* id, const Cell* word) {
  Cell w = *word;
  raise_error(ErrorCategory::script, id, w);
}

i32 symbol_named(const char* name, i32& cache) {
  if (cache == 0 || !symbol::valid_q(cache) || symbol::name(cache) != name) cache = symbol::make(name);
  return cache;
}

bool self_q(const Cell* w) {
  static i32 self = 0;
  return symbol::resolve(symbol_of(w)) == symbol::resolve(symbol_named("self", self));
}

// ---- The built-in word classifier ------------------------------------------------------------
//
// What a text scans to when it holds one word-like token, used until the lexer installs its hooks.
// It recognises the word family and tells apart the other token classes only as far as deciding
// "not a word" needs.

bool delimiter_q(u8 c) {
  return c <= ' ' || c == '[' || c == ']' || c == '(' || c == ')' || c == '{' || c == '}' || c == '"' ||
         c == ';';
}

bool digit_q(u8 c) { return c >= '0' && c <= '9'; }

// The class of a bare word body (after any prefix and before any suffix): word! or 0.
bool word_body_q(const u8* p, i32 n) {
  if (n == 0) return false;
  if (digit_q(p[0])) return false;
  if ((p[0] == '+' || p[0] == '-' || p[0] == '.') && n > 1 && digit_q(p[1])) return false;
  if (p[0] == '\'' || p[0] == ':' || p[0] == '#' || p[0] == '$' || p[0] == '%' || p[0] == '@') return false;
  if (p[0] == '<' && n > 2 && p[n - 1] == '>') return false;  // a tag
  for (i32 i = 0; i < n; ++i) {
    u8 c = p[i];
    if (delimiter_q(c) || c == '/' || c == ':' || c == '@' || c == '\\' || c == ',') return false;
  }
  return true;
}

// Finds the first token of the text: [start, start + length).
void first_token(const u8*& p, i32& n) {
  const u8* end = p + n;
  while (p < end && *p <= ' ') ++p;
  const u8* q = p;
  while (q < end && !delimiter_q(*q)) ++q;
  n = static_cast<i32>(q - p);
}

// The type of the single token, or 0 when it is not of the word family. `body` receives the name.
u32 classify(const u8* p, i32 n, const u8*& body, i32& body_n) {
  body = p;
  body_n = n;
  if (n == 0) return 0;
  auto as = [&](u32 t, i32 skip_front, i32 skip_back) -> u32 {
    body = p + skip_front;
    body_n = n - skip_front - skip_back;
    return word_body_q(body, body_n) ? t : 0;
  };
  switch (p[0]) {
    case '\'': return as(type::lit_word, 1, 0);
    case ':': return as(type::get_word, 1, 0);
    case '#': {
      body = p + 1;
      body_n = n - 1;
      return body_n > 0 ? u32{type::issue} : 0u;
    }
    case '/':
      if (n == 1) return type::word;  // the word `/`
      if (n == 2 && p[1] == '/') return type::word;
      return as(type::refinement, 1, 0);
    default: break;
  }
  if (n > 1 && p[n - 1] == ':') return as(type::set_word, 0, 1);
  if (digit_q(p[0])) return type::integer;
  return as(type::word, 0, 0);
}

u32 builtin_scan_type(const u8* text, i32 length) {
  const u8* body;
  i32 body_n;
  const u8* p = text;
  i32 n = length;
  first_token(p, n);
  return classify(p, n, body, body_n);
}

// Scans the first token of the text into `out` when it belongs to the word family.
bool builtin_scan_value(const u8* text, i32 length, Cell* out) {
  const u8* p = text;
  i32 n = length;
  first_token(p, n);
  const u8* body;
  i32 body_n;
  u32 t = classify(p, n, body, body_n);
  if (!any_word_q(t)) return false;
  std::string name(reinterpret_cast<const char*>(body), static_cast<size_t>(body_n));
  i32 sym = symbol::make(std::string_view(name));
  if (t == type::issue) {
    init_at(out, type::issue, context::global(), sym, -1);
  } else {
    Cell w{type::word, 0, 0, 0};
    make_at(sym, &w);
    w.header = t;
    *out = w;
  }
  return true;
}

u32 scan_type(const std::string& text) {
  auto* p = reinterpret_cast<const u8*>(text.data());
  auto n = static_cast<i32>(text.size());
  return hooks::scan_type ? hooks::scan_type(p, n) : builtin_scan_type(p, n);
}

bool scan_value(const std::string& text, Cell* out) {
  auto* p = reinterpret_cast<const u8*>(text.data());
  auto n = static_cast<i32>(text.size());
  return hooks::scan_value ? hooks::scan_value(p, n, out) : builtin_scan_value(p, n, out);
}

// Appends the name, `prefix` before it and `suffix` after it; answers the characters appended.
i32 append_name(const Cell* word, Cell* out, char prefix, char suffix) {
  std::string text;
  if (prefix) text.push_back(prefix);
  text += symbol::name(symbol_of(word));  // copied: appending may move the name's series
  if (suffix) text.push_back(suffix);
  string::append_utf8(out, text);
  auto* p = reinterpret_cast<const u8*>(text.data());
  return unicode::count_codepoints(p, p + text.size());
}

Cell* value_cell_at(Ref<Node> ctx, i32 index) {
  Cell* values = context::values_of(ctx);
  return values ? values + index : nullptr;
}

}  // namespace

bool scan_value(const Cell* text, Cell* out) {
  Cell src = *text;
  i32 n = string::length(&src);
  u32 unit = string::buffer_of(&src)->unit();
  size_t per_char = unit == 1 ? 2 : unit == 2 ? 3 : 4;
  if (size_t{static_cast<u32>(n)} * per_char > 0x7FFFFFF0u) raise_error(ErrorCategory::script, "too-long");
  std::string utf8(static_cast<size_t>(n) * per_char, '\0');
  i32 bytes = unicode::string_to_utf8(&src, reinterpret_cast<u8*>(utf8.data()), n, false);
  utf8.resize(static_cast<size_t>(bytes));
  return scan_value(utf8, out);
}

// ---- Binding and the global words ------------------------------------------------------------

i32 bind(Ref<Node> ctx, Cell* w) {
  i32 index = context::find_word(ctx, symbol_of(w), true);
  if (index >= 0) {
    w->w1 = ctx.offset();
    w->w3 = static_cast<u32>(index);
  }
  return index;
}

Cell intern_global(i32 sym, bool case_insensitive, bool keep_form) {
  Ref<Node> g = context::global();
  RootNode keep(g);
  i32 added = -1;
  i32 pos = context::table_find_word(g, sym, case_insensitive, true, &added);
  if (pos >= 0) {
    Cell w = *context::word_at(g, pos);
    // A word found under another case form answers with its own form and the found word's slot.
    // Such a copy is recorded only under word recording (by the caller): looking variants up at
    // run time must not grow the root block.
    if (case_insensitive && keep_form && symbol_of(&w) != sym) w.w2 = static_cast<u32>(sym);
    return w;
  }
  if (symbol::alias(sym) > 0) {
    // A new case variant shares the slot of the oldest case form already here.
    i32 shared = context::find_word(g, sym, true);
    context::word_at(g, added)->w3 = static_cast<u32>(shared);
  }
  Cell* v = cell::reserve_tail_cell(buffer_of(Ref<Node>(context::cell_of(g)->w2)));
  *v = Cell{type::unset, 0, 0, 0};
  return *context::word_at(g, added);
}

Cell from_symbol(i32 sym, i32* recorded) {
  Cell w = intern_global(sym, false, false);
  RootCell keep(w);
  i32 at = words::record_if_recording(&w);
  if (recorded) *recorded = at;
  return w;
}

Cell load(const char* name, i32* recorded) {
  Cell w = intern_global(symbol::make(name), true, true);
  RootCell keep(w);
  i32 at = words::record_if_recording(&w);
  if (recorded) *recorded = at;
  return w;
}

Cell* load_at(const char* name, Cell* out) {
  *out = intern_global(symbol::make(name), true, true);
  return out;
}

Cell* make_at(i32 sym, Cell* out) {
  Ref<Node> g = context::global();
  RootNode keep(g);
  Cell probe{type::word, g.offset(), static_cast<u32>(sym), 0};
  i32 index = context::find_or_add_word_slot(g, &probe);
  cell::set_type(out, type::word);
  out->w1 = g.offset();
  out->w2 = static_cast<u32>(sym);
  out->w3 = static_cast<u32>(index);
  return out;
}

Cell* load_in_block(const char* name, Cell* blk) { return add_to_block(blk, symbol::make(name)); }

// ---- Reading and writing ---------------------------------------------------------------------

Cell* get_value_in(const Cell* w, Ref<Node> ctx) {
  i32 index = index_of(w);
  if (index == -1) {
    if (self_q(w) && context_of(w)) return context::owner_of(context_of(w));
    script_error("no-value", w);
  }
  if (!ctx) script_error("not-in-context", w);
  const Cell* c = context::cell_of(ctx);
  if (c->w2 == 0) script_error("not-in-context", w);
  if (c->header & context::flag::on_stack) return arena::at<Cell>(c->w2) + index;
  SeriesBuffer* vb = buffer_of(Ref<Node>(c->w2));
  // A slot past the values would read another series' memory.
  if (index < 0 || static_cast<u32>(index) >= vb->used_bytes() / sizeof(Cell)) script_error("not-in-context", w);
  return vb->head_ptr<Cell>() + index;
}

Cell* get_value(const Cell* w) { return get_value_in(w, context_of(w)); }

Cell* set_in_context(Cell* w, const Cell* value, Ref<Node> ctx, bool notify) {
  Cell v = *value;
  RootCell keep_v(v);
  RootNode keep_ctx(ctx);
  if (!ctx) script_error("not-defined", w);
  if (index_of(w) == -1) {
    // The word may lie in a series that adding the slot moves: w follows its buffer.
    RootInterior<Cell> keep_w(w);
    i32 index = context::find_word(ctx, symbol_of(w), false);
    w->w3 = static_cast<u32>(index);
    if (index < 0) {
      Cell probe = *w;
      index = context::find_or_add_word_slot(ctx, &probe);
      w->w3 = static_cast<u32>(index);
    }
  }
  i32 index = index_of(w);
  Cell* c = context::cell_of(ctx);
  if (c->w2 == 0) script_error("not-defined", w);
  if (c->header & context::flag::on_stack) {
    Cell* slot = arena::at<Cell>(c->w2) + index;
    *slot = v;
    return slot;
  }
  Cell* slot = buffer_of(Ref<Node>(c->w2))->head_ptr<Cell>() + index;
  if (context::kind_of(ctx) == context::object) {
    context::word_at(ctx, index)->header |= context::changed_mark;
    Cell owner = *context::owner_of(ctx);
    if (notify && owner.w3 != 0 && hooks::fire_on_change) {
      // The handler may set words of the same object in turn; each nesting costs native stack,
      // so a handler that assigns its own field must end in a catchable error, not a crash.
      if (!sys::stack_ok()) {
        mold::reset_cycles();
        raise_error(ErrorCategory::internal, "stack-overflow");
      }
      Cell* saved_top = stack::top;
      RootCell keep_owner(owner);
      Cell word = *w;
      RootCell keep_word(word);
      Cell* old = stack::push_value(slot);
      cell::copy(&v, slot);
      hooks::fire_on_change(&owner, &word, old, &v);
      stack::top = saved_top;
      return buffer_of(Ref<Node>(context::cell_of(ctx)->w2))->head_ptr<Cell>() + index;
    }
  }
  *slot = v;
  return slot;
}

Cell* set(Cell* w, const Cell* value) { return set_in_context(w, value, context_of(w), true); }

Cell* push_value(const Cell* w) {
  Cell* v = get_value(w);
  if (v->type() == type::unset) script_error("no-value", w);
  return stack::push_value(v);
}

void set_from_args() {
  Cell* args = stack::arguments;
  if (args[1].type() == type::unset) script_error("need-value", args);
  Cell v = args[1];
  RootCell keep(v);
  set(args, &v);
  stack::set_result(&v);
}

void index_q() {
  Cell* w = stack::arguments;
  if (index_of(w) == -1) none::make_at(w);
  else integer::box(w, index_of(w) + 1);
}

// ---- Slots by index --------------------------------------------------------------------------

Cell* word_at(Ref<Node> ctx, i32 index) { return context::word_at(ctx, index); }

Cell* push_word_at(Ref<Node> ctx, i32 index) { return stack::push_value(word_at(ctx, index)); }

Cell* value_at(Ref<Node> ctx, i32 index) {
  return buffer_of(Ref<Node>(context::cell_of(ctx)->w2))->head_ptr<Cell>() + index;
}

Cell* push_value_at(Ref<Node> ctx, i32 index) {
  Cell* v = value_cell_at(ctx, index);
  if (!v) script_error("not-defined", word_at(ctx, index));
  return stack::push_value(v);
}

Cell* set_value_at(Ref<Node> ctx, i32 index) {
  if (context::kind_of(ctx) == context::object) word_at(ctx, index)->header |= context::changed_mark;
  return cell::copy(stack::last_value(), value_at(ctx, index));
}

Cell* replace_value_at(Ref<Node> ctx, i32 index) {
  Cell v = *stack::last_value();
  stack::push_value(value_at(ctx, index));
  if (context::kind_of(ctx) == context::object) word_at(ctx, index)->header |= context::changed_mark;
  return cell::copy(&v, value_at(ctx, index));
}

Cell find_in_context(Ref<Node> ctx, i32 sym) {
  i32 pos = context::table_find_word(ctx, sym, false, false, nullptr);
  if (pos >= 0) return *context::word_at(ctx, pos);
  return from_symbol(sym);
}

// ---- Making word values ----------------------------------------------------------------------

Cell* push(const Cell* value) { return stack::push_value(value); }

Cell* push_symbol(i32 sym) {
  Cell w{type::word, 0, 0, 0};
  make_at(sym, &w);
  return stack::push_value(&w);
}

Cell* add_to_block(Cell* blk, i32 sym) {
  Cell w{type::word, 0, 0, 0};
  RootCell keep(w);
  make_at(sym, &w);
  return block::append_value(blk, &w);
}

Cell* push_as(const Cell* w, u32 type_id) {
  Cell c = *w;
  cell::set_type(&c, type_id);
  return stack::push_value(&c);
}

Cell* push_name(const Cell* w) {
  Ref<Node> s = symbol::get_name_string(symbol_of(w));
  Cell c{type::string, 0, s.offset(), 0};
  return stack::push_value(&c);
}

Cell* symbol_cell(const Cell* w) { return symbol::get(symbol_of(w)); }

u32 scan_name(const Cell* w) { return scan_type(std::string(symbol::name(symbol_of(w)))); }

std::string name_of(const Cell* w) { return std::string(symbol::name(symbol_of(w))); }

// ---- Actions ---------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec_in, u32 type_id) {
  Cell spec = *spec_in;
  RootCell keep(spec);
  Cell result{type::none, 0, 0, 0};
  RootCell keep_result(result);
  auto bad_to_arg = [&]() {
    Cell dt;
    datatype::make_at(&dt, type_id);
    raise_error(ErrorCategory::script, "bad-to-arg", dt, spec);
  };
  auto scan_text = [&](const std::string& text) {
    if (!scan_value(text, &result) || !any_word_q(result.type())) raise_error(ErrorCategory::script, "invalid-chars");
  };
  switch (spec.type()) {
    case type::word:
    case type::set_word:
    case type::lit_word:
    case type::get_word:
      result = spec;
      break;
    case type::refinement:
    case type::issue: {
      u32 t = scan_name(&spec);
      if (t < type::word || t > type::get_word) bad_to_arg();
      // Bound in the global context, added there when missing: a word that could be neither read
      // as unset nor set (a static refinement has no context at all) would be no word.
      result = spec;
      make_at(symbol_of(&spec), &result);
      break;
    }
    case type::string:
      scan_text(string::to_utf8(&spec));
      break;
    case type::char_: {
      u8 buf[4];
      i32 n = unicode::encode_utf8(static_cast<i32>(spec.w2), buf);
      scan_text(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(n)));
      break;
    }
    case type::datatype: {
      u32 id = datatype::id_of(&spec);
      if (id >= datatype::table_rows || datatype::names[id].word.type() != type::word) bad_to_arg();
      result = datatype::names[id].word;
      break;
    }
    case type::logic: {
      static i32 true_sym = 0, false_sym = 0;
      make_at(logic::get(&spec) ? symbol_named("true", true_sym) : symbol_named("false", false_sym), &result);
      break;
    }
    default:
      bad_to_arg();
  }
  result.header = type_id;
  return cell::copy(&result, proto);
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) { return limit - append_name(value, out, 0, 0); }

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell*, i32 limit, i32) {
  switch (value->type()) {
    case type::set_word: return limit - append_name(value, out, 0, ':');
    case type::lit_word: return limit - append_name(value, out, '\'', 0);
    case type::get_word: return limit - append_name(value, out, ':', 0);
    case type::refinement: return limit - append_name(value, out, '/', 0);
    case type::issue: return limit - append_name(value, out, '#', 0);
    default: return limit - append_name(value, out, 0, 0);
  }
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  u32 ta = a->type(), tb = b->type();
  if ((tb == type::issue && ta != type::issue) || !any_word_q(tb)) return -2;
  i32 sa = symbol_of(a), sb = symbol_of(b);
  auto word_vs_lit = [&]() {
    return (ta == type::word && tb == type::lit_word) || (ta == type::lit_word && tb == type::word);
  };
  switch (op) {
    case compare_op::equal:
    case compare_op::not_equal:
    case compare_op::find:
      return symbol::resolve(sa) == symbol::resolve(sb) ? 0 : 1;
    case compare_op::strict_equal:
      return ta == tb && sa == sb ? 0 : 1;
    case compare_op::same:
      return ta == tb && sa == sb && a->w1 == b->w1 ? 0 : 1;
    case compare_op::parse_match_case:
      if (word_vs_lit()) return sa == sb ? 0 : 1;
      return ta == tb && sa == sb ? 0 : 1;
    case compare_op::parse_match:
      if (word_vs_lit()) return symbol::resolve(sa) == symbol::resolve(sb) ? 0 : 1;
      return ta == tb && symbol::resolve(sa) == symbol::resolve(sb) ? 0 : 1;
    default: {
      // Orderings compare the names as text.
      Cell na{type::string, 0, symbol::get_name_string(sa).offset(), 0};
      RootCell keep_a(na);
      Cell nb{type::string, 0, symbol::get_name_string(sb).offset(), 0};
      return string::compare_strings(&na, &nb, op, false);
    }
  }
}

u32 hash(const Cell* value, bool) {
  return hashtable::hash_pointer(static_cast<u32>(series::canonical_symbol(symbol_of(value))));
}

void init() {
  using action::inherit;
  datatype::register_type(type::word, type::symbol, "word!",
                          {.make = make, .to = make, .form = form, .mold = mold, .compare = compare,
                           .index_q = index_q});
  action::Entries child{.make = inherit, .to = inherit, .form = inherit, .mold = mold, .compare = inherit,
                        .index_q = inherit};
  datatype::register_type(type::lit_word, type::word, "lit-word!", child);
  datatype::register_type(type::set_word, type::word, "set-word!", child);
  datatype::register_type(type::get_word, type::word, "get-word!", child);
  child.index_q = {};
  datatype::register_type(type::refinement, type::word, "refinement!", child);
  for (u32 t : {type::word, type::lit_word, type::set_word, type::get_word, type::refinement}) {
    hashtable::set_hash_procedure(t, hash);
    collector::set_mark_procedure(t, collector::mark_any_word);
  }
}

}  // namespace kiv::word

namespace kiv::get_word {

Cell* push_value(const Cell* w) { return stack::push_value(word::get_value(w)); }

}  // namespace kiv::get_word

namespace kiv::refinement {

i32 load(const char* name) {
  Cell r{type::refinement, 0, static_cast<u32>(symbol::make(name)), 0};
  return words::record(&r);
}

}  // namespace kiv::refinement
