#include "datatypes/map.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::map {

namespace {

Cell* cells_of(Ref<Node> blk) { return buffer_of(blk)->head_ptr<Cell>(); }
i32 cell_count(Ref<Node> blk) {
  SeriesBuffer* b = buffer_of(blk);
  return static_cast<i32>((b->tail - b->head) / sizeof(Cell));
}
// A removed entry's value cell has no type.
bool live_q(const Cell* value) { return value->type() != 0; }

Cell block_cell(const Cell* m) { return Cell{type::block, 0, m->w2, 0}; }

bool word_key_q(u32 t) { return t >= type::word && t <= type::get_word; }
bool copied_key_q(u32 t) { return string::any_string_q(t) || t == type::binary; }

// A stored key as the language sees it: set-word keys come back as word!.
Cell shown_key(Cell key) {
  if (key.type() == type::set_word) cell::set_type(&key, type::word);
  key.header &= ~header::new_line;
  return key;
}

Cell datatype_arg() {
  Cell c;
  datatype::make_at(&c, type::map);
  return c;
}

[[noreturn]] void bad_key(const Cell* key) { raise_error(ErrorCategory::script, "invalid-path", datatype_arg(), *key); }

void check_keys(const Cell* blk) {
  const i32 head = std::max(block::head_index(blk), 0);
  for (i32 i = 0, n = block::length(blk); i < n; i += 2) {
    const Cell* key = block::cell_at(blk, head + i);
    if (!valid_key_type_q(key->type())) bad_key(key);
  }
}

// The table's hooks: how a new key is stored, and how a probe is looked up.
void normalize_key(Ref<Node> blk, i32 index) {
  RootNode keep(blk);
  Cell key = cells_of(blk)[index];
  u32 t = key.type();
  if (word_key_q(t)) {
    cells_of(blk)[index].header = type::set_word;
    return;
  }
  if (!copied_key_q(t)) return;
  RootCell keep_key(key);
  Cell fresh = unset::value;
  RootCell keep_fresh(fresh);
  actions::dispatch_copy(&key, &fresh, nullptr, false, nullptr);
  fresh.header = t;
  cells_of(blk)[index] = fresh;
}

void normalize_probe(Cell* probe) {
  if (word_key_q(probe->type())) cell::set_type(probe, type::set_word);
}

i32 key_op(bool case_) { return case_ ? compare_op::strict_equal : compare_op::equal; }

// The position of the key's cell in the entry block (live or removed), or -1.
i32 find_key(const Cell* m, const Cell* key, i32 op) {
  if (!valid_key_type_q(key->type())) return -1;
  return hashtable::find_index(table_of(m), key, 0, 1, op, false, false);
}

// The cells of a new map over the block in `blk` (a block that the map may own): its new-line marks
// cleared, its keys indexed.
Cell* build(Cell* blk, i32 pairs) {
  SeriesBuffer* b = block::buffer_of(blk);
  for (Cell* c = b->head_ptr<Cell>(); c < b->tail_ptr<Cell>(); ++c) cell::clear_line_flag(c);
  Ref<Node> table = hashtable::make(std::max(pairs, 1), blk, hashtable::kind_map, 0);
  *blk = Cell{type::map, 0, blk->w2, table.offset()};
  return blk;
}

// The entry cells of a map from its block, live entries only: calls f(key, value) with rooted
// copies (f must use them in place: a copy of its own would not follow a collection).
template <class F>
void each_entry(const Cell* m, F&& f) {
  Ref<Node> blk = block_of(m);
  RootNode keep(blk);
  for (i32 i = 0; i + 1 < cell_count(blk); i += 2) {
    Cell key = cells_of(blk)[i], value = cells_of(blk)[i + 1];
    if (!live_q(&value)) continue;
    RootCell keep_key(key), keep_value(value);
    f(key, value);
  }
}

Cell* make_or_to(Cell* spec, bool to) {
  u32 st = spec->type();
  if (st == type::block || st == type::paren || st == type::hash) {
    i32 n = block::length(spec);
    if (n % 2) raise_error(ErrorCategory::script, "invalid-arg", *spec);
    check_keys(spec);
    Cell* out = block::clone(spec, false, false);
    cell::set_type(out, type::block);
    return build(out, n / 2);
  }
  if (!to && (st == type::integer || st == type::float_)) {
    i32 n = cell::to_int32_checked(spec);
    if (n < 0) raise_error(ErrorCategory::script, "out-of-range", *spec);
    return make_at(stack::push_cell(), nullptr, n);
  }
  if (st == type::map) {
    Cell* out = stack::push_cell();
    return actions::dispatch_copy(spec, out, nullptr, false, nullptr);
  }
  raise_error(ErrorCategory::script, "bad-to-arg", datatype_arg(), *spec);
}

Cell* make(Cell*, Cell* spec, u32) { return make_or_to(spec, false); }
Cell* to(Cell*, Cell* spec, u32) { return make_or_to(spec, true); }

// A block of the live entries: keys (as stored, or as the language shows them), values or both;
// with lines each key starts a new line.
Cell* body_of(const Cell* m, Cell* out, bool keys, bool values, bool stored, bool lines) {
  Cell src = *m;
  RootCell keep(src);
  block::make_at(out, std::max(pair_count(&src) * ((keys ? 1 : 0) + (values ? 1 : 0)), 1));
  each_entry(&src, [&](Cell& key, Cell& value) {
    if (keys) {
      if (!stored) key = shown_key(key);
      if (lines) key.header |= header::new_line;
      block::append_value(out, &key);
    }
    if (values) block::append_value(out, &value);
  });
  return out;
}

Cell* body_maker(const Cell* spec, Cell* out) { return body_of(spec, out, true, true, true, false); }

Cell* reflect(Cell* value, i32 field) {
  const i32 f = symbol::resolve(field);
  auto is = [&](u32 id) { return f == symbol::resolve(static_words::symbol(id)); };
  Cell* out = stack::push_cell();
  if (is(static_words::sym::words)) return body_of(value, out, true, false, false, false);
  if (is(static_words::sym::values)) return body_of(value, out, false, true, false, false);
  if (is(static_words::sym::body)) return body_of(value, out, true, true, true, true);
  raise_error(ErrorCategory::internal, "not-done");
}

auto appender(Cell* out) {
  return [out](std::string_view text) { string::append_utf8(out, text); };
}

// The entry lines of mold and form: key, a space, the value; on lines of their own at one more
// indentation, or (flat) separated by single spaces.
i32 entries(const Cell* m, Cell* out, bool molded, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  bool first = true;
  each_entry(m, [&](Cell& key, Cell& value) {
    if (part && limit <= 0) return;
    if (flat) {
      if (!first) {
        string::append_char(out, ' ');
        --limit;
      }
    } else {
      limit = mold::indent(appender(out), indent, limit);
    }
    first = false;
    limit = actions::dispatch_mold(&key, out, false, all, flat, part, limit, indent);
    string::append_char(out, ' ');
    --limit;
    limit = molded ? actions::dispatch_mold(&value, out, false, all, flat, part, limit, indent)
                   : actions::dispatch_form(&value, out, part, limit);
    if (!flat) {
      string::append_char(out, '\n');
      --limit;
    }
  });
  return limit;
}

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  if (mold::emit_cycle(value, appender(out), limit, true)) return limit;
  mold::CycleGuard guard(block_of(value));
  const bool lines = !flat && pair_count(value) > 0;
  if (!only) {
    string::append_utf8(out, lines ? "#[\n" : "#[");
    limit -= lines ? 3 : 2;
  }
  limit = entries(value, out, true, all, flat, part, limit, only ? indent : indent + 1);
  if (!only) {
    if (lines) limit = mold::indent(appender(out), indent, limit);
    string::append_char(out, ']');
    --limit;
  }
  return limit;
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  if (mold::emit_cycle(value, appender(out), limit, false)) return limit;
  mold::CycleGuard guard(block_of(value));
  return entries(value, out, false, false, false, part, limit, 0);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool case_, bool,
                bool tail, bool) {
  // A get passes none (or nothing); only the final step of a set-path sets, and there none is stored.
  bool set = value && (value->type() != type::none || (tail && path && path->type() == type::set_path));
  if (!set) return get_key(parent, element, case_);
  set_key(parent, element, value, case_);
  return value;
}

// Whether the second map holds an entry equal to the key with a value equal to `value` under op.
bool holds(const Cell* m, const Cell* key, const Cell* value, i32 op) {
  auto value_equal = [&](i32 at) {
    Cell v = cells_of(block_of(m))[at + 1];
    if (!live_q(&v)) return false;
    RootCell keep(v);
    return actions::dispatch_compare(value, &v, op) == 0;
  };
  if (op == compare_op::strict_equal) {
    i32 at = find_key(m, key, op);
    return at >= 0 && value_equal(at);
  }
  // Without case several stored keys may equal the key: any of them will do.
  Ref<Node> table = table_of(m);
  hashtable::Root keep(table);
  hashtable::ProbeState state;
  while (Cell* found = hashtable::find_next(table, key, &state)) {
    if (value_equal(static_cast<i32>(found - cells_of(block_of(m))))) return true;
  }
  return false;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::map) return -2;
  if (a->w2 == b->w2) return 0;
  if (op == compare_op::same) return 1;
  if (op == compare_op::sort || op == compare_op::case_sort || op == compare_op::find)
    return a->w2 < b->w2 ? -1 : 1;
  if (mold::find_cycle(block_of(a))) return mold::find_cycle(block_of(b)) ? 0 : -1;
  i32 na = pair_count(a), nb = pair_count(b);
  if (na != nb) return na < nb ? -1 : 1;
  Cell ma = *a, mb = *b;
  RootCell keep_a(ma), keep_b(mb);
  mold::CycleGuard guard_a(block_of(&ma));
  mold::CycleGuard guard_b(block_of(&mb));
  const i32 value_op = op == compare_op::strict_equal ? op : compare_op::equal;
  bool equal = true;
  each_entry(&ma, [&](Cell& key, Cell& value) {
    if (equal && !holds(&mb, &key, &value, value_op)) equal = false;
  });
  return equal ? 0 : 1;
}

Cell* clear(Cell* m) {
  hashtable::clear(table_of(m));
  SeriesBuffer* b = buffer_of(block_of(m));
  b->tail = b->head;
  return m;
}

Cell* copy(Cell* value, Cell* result, Cell*, bool deep, Cell*) {
  Cell src = *value, blk = block_cell(value), fresh = unset::value;
  RootCell keep_src(src), keep_blk(blk), keep_fresh(fresh);
  actions::get<action::slot::copy>(type::block, &blk)(&blk, &fresh, nullptr, deep, nullptr);
  Ref<Node> table = hashtable::copy(table_of(&src), Ref<Node>(fresh.w2));
  *result = Cell{type::map, 0, fresh.w2, table.offset()};
  return result;
}

Cell* find(Cell* m, Cell* value, Cell*, bool, bool case_, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
  i32 at = find_key(m, value, key_op(case_));
  if (at < 0 || !live_q(cells_of(block_of(m)) + at + 1)) return &none::value;
  Cell key = shown_key(cells_of(block_of(m))[at]);
  return stack::push_value(&key);
}

i32 length_q(const Cell* m) { return pair_count(m); }

Cell* put(Cell* m, Cell* key, Cell* value, bool case_) {
  set_key(m, key, value, case_);
  return value;
}

Cell* remove(Cell* m, Cell*, Cell* key) {
  if (!key) raise_error(ErrorCategory::script, "missing-arg");
  // Unlike every other look-up, removal matches the key's case exactly.
  i32 at = find_key(m, key, compare_op::strict_equal);
  if (at >= 0) hashtable::delete_index(table_of(m), at);
  return m;
}

Cell* select(Cell* m, Cell* value, Cell*, bool, bool case_, bool, bool, Cell*, Cell*, bool, bool) {
  return get_key(m, value, case_);
}

bool make_from_lexer(Cell* blk) {
  build(blk, block::length(blk) / 2);
  return true;
}

}  // namespace

bool valid_key_type_q(u32 t) {
  switch (t) {
    case type::string: case type::file: case type::url: case type::char_: case type::integer: case type::float_:
    case type::word: case type::set_word: case type::lit_word: case type::get_word: case type::refinement:
    case type::issue: case type::pair: case type::percent: case type::tuple: case type::binary: case type::time:
    case type::tag: case type::email: case type::date: case type::money: case type::ref: case type::point2D:
    case type::point3D:
      return true;
    default:
      return false;
  }
}

Cell* make_at(Cell* out, const Cell* blk, i32 size) {
  if (blk) {
    *out = *blk;
    return build(out, block::length(out) / 2);
  }
  block::make_at(out, std::max(size, 1) * 2);
  return build(out, size);
}

i32 pair_count(const Cell* m) { return hashtable::size_of(table_of(m)); }

void set_key(Cell* m, const Cell* key_in, const Cell* value_in, bool case_) {
  Cell key = *key_in, value = *value_in;
  RootCell keep_key(key), keep_value(value);
  if (!valid_key_type_q(key.type())) bad_key(&key);
  value.header &= ~header::new_line;
  Ref<Node> table = table_of(m);
  hashtable::Root keep_table(table);
  i32 at = find_key(m, &key, key_op(case_));
  if (at >= 0) {
    Cell* slot = cells_of(block_of(m)) + at + 1;
    if (!live_q(slot)) ++hashtable::record_of(table)->size;
    *slot = value;
    return;
  }
  Cell blk = block_cell(m);
  RootCell keep_blk(blk);
  key.header &= ~header::new_line;
  block::append_value(&blk, &key);
  block::append_value(&blk, &value);
  const i32 index = cell_count(block_of(&blk)) - 2;
  normalize_key(block_of(&blk), index);
  hashtable::put_index(table, index);
}

Cell* get_key(Cell* m, const Cell* key, bool case_) {
  i32 at = find_key(m, key, key_op(case_));
  if (at < 0) return &none::value;
  const Cell* value = cells_of(block_of(m)) + at + 1;
  return live_q(value) ? stack::push_value(value) : &none::value;
}

void extend(Cell* m, const Cell* blk_in, bool case_) {
  Cell blk = *blk_in;
  RootCell keep(blk);
  const i32 n = block::length(&blk);
  if (n % 2) raise_error(ErrorCategory::script, "invalid-arg", blk);
  check_keys(&blk);
  const i32 head = std::max(block::head_index(&blk), 0);
  for (i32 i = 0; i < n; i += 2) {
    Cell key = *block::cell_at(&blk, head + i), value = *block::cell_at(&blk, head + i + 1);
    set_key(m, &key, &value, case_);
  }
}

Cell* push(const Cell* m) { return stack::push_value(m); }

bool foreach_next(Cell* iter, const Cell* words, i32 count) {
  Ref<Node> blk = block_of(iter);
  RootNode keep(blk);
  i32 at = static_cast<i32>(iter->w1);
  // The entries read as one run of cells, key then value, removed entries left out.
  auto more = [&] {
    if (at % 2 == 0)
      while (at + 1 < cell_count(blk) && !live_q(cells_of(blk) + at + 1)) at += 2;
    return at + (at % 2 == 0 ? 1 : 0) < cell_count(blk);
  };
  if (!more()) return false;
  const bool many = words->type() == type::block;
  const i32 head = many ? std::max(block::head_index(words), 0) : 0;
  for (i32 i = 0; i < count; ++i) {
    Cell v = more() ? shown_key(cells_of(blk)[at++]) : none::value;
    Cell w = many ? *block::cell_at(words, head + i) : *words;
    RootCell keep_v(v), keep_w(w);
    word::set(&w, &v);
  }
  iter->w1 = static_cast<u32>(at);
  return true;
}

void init() {
  datatype::register_type(type::map, 0, "map!",
                          {.make = make,
                           .reflect = reflect,
                           .to = to,
                           .form = form,
                           .mold = mold,
                           .eval_path = eval_path,
                           .compare = compare,
                           .clear = clear,
                           .copy = copy,
                           .find = find,
                           .length_q = length_q,
                           .put = put,
                           .remove = remove,
                           .select = select});
  collector::set_mark_procedure(type::map, collector::mark_hash);
  hashtable::set_hash_procedure(type::map, hashtable::hash_word2, true);
  hooks::map_normalize_key = normalize_key;
  hooks::map_normalize_probe = normalize_probe;
  datatype::makers::map = make_from_lexer;
  block::body_makers[type::map] = body_maker;
}

}  // namespace kiv::map
