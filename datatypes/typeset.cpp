#include "datatypes/typeset.h"

#include <bit>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

namespace kiv::typeset {

namespace {

Cell datatype_arg(u32 type_id) {
  Cell c;
  datatype::make_at(&c, type_id);
  return c;
}

// The value a spec element stands for: a word! is replaced by its value, an unset one raising
// no-value with the word.
Cell resolve(const Cell* value) {
  if (value->type() != type::word) return *value;
  Cell v = *word::get_value(value);
  if (v.type() == type::unset) raise_error(ErrorCategory::script, "no-value", *value);
  return v;
}

void or_in(Cell* ts, const Cell* other) {
  ts->w1 |= other->w1;
  ts->w2 |= other->w2;
  ts->w3 |= other->w3;
}

// A member that can be shown: ids 1 to the highest registered one that name a registered type.
bool shown(const Cell* ts, u32 id) { return has(ts, id) && datatype::names[id].name; }

}  // namespace

Cell* clear(Cell* ts) {
  ts->w1 = ts->w2 = ts->w3 = 0;
  return ts;
}

i32 count(const Cell* ts) {
  i32 n = 0;
  for (u32 id = 1; id <= datatype::highest_type_id; ++id) n += shown(ts, id) ? 1 : 0;
  return n;
}

Cell* add_to_block(Cell* block, u32 w1, u32 w2, u32 w3) {
  Cell ts{type::typeset, w1, w2, w3};
  return block::append_value(block, &ts);
}

Cell* add_any_value(Cell* block) {
  Cell ts{type::typeset, ~0u, ~0u, ~0u};
  u8 bytes[12];
  std::memcpy(bytes, &ts.w1, 12);
  bytes[type::unset >> 3] &= static_cast<u8>(~(0x80u >> (type::unset & 7)));
  std::memcpy(&ts.w1, bytes, 12);
  return block::append_value(block, &ts);
}

Cell* add_from_spec(Cell* block, const Cell* spec) {
  Cell ts;
  make_at(&ts);
  // Nothing below allocates until the final append, so the spec's cells may be read in place.
  for (i32 i = block::head_index(spec), n = series::total_length(spec); i < n; ++i) {
    Cell v = resolve(block::cell_at(spec, i));
    switch (v.type()) {
      case type::datatype: add(&ts, datatype::id_of(&v)); break;
      case type::typeset: or_in(&ts, &v); break;
      case type::block: break;
      // A word naming a word: taken as an object-like argument.
      case type::word: add(&ts, type::object); break;
      default: raise_error(ErrorCategory::script, "invalid-type-spec", v);
    }
  }
  return block::append_value(block, &ts);
}

void set_type(Cell* ts, const Cell* value) {
  Cell v = resolve(value);
  switch (v.type()) {
    case type::datatype: add(ts, datatype::id_of(&v)); break;
    case type::typeset: or_in(ts, &v); break;
    default: raise_error(ErrorCategory::script, "invalid-arg", *value);
  }
}

void to_block(const Cell* ts, Cell* block) {
  Cell set = *ts;  // the typeset may live in a buffer that the appends move
  for (u32 id = 1; id <= datatype::highest_type_id; ++id) {
    if (!shown(&set, id)) continue;
    const datatype::TypeName& name = datatype::names[id];
    if (name.word.type() == type::word) {
      Cell w = name.word;
      block::append_value(block, &w);
    } else {
      word::load_in_block(name.name, block);
    }
  }
}

i32 mold_text(const Cell* ts, Cell* out, bool only, const Cell* part, i32 limit) {
  Cell set = *ts;
  if (!only) {
    string::append_c_string(out, "make typeset! [");
    limit -= 15;
  }
  bool written = false;
  for (u32 id = 1; id <= datatype::highest_type_id; ++id) {
    if (!shown(&set, id)) continue;
    if (part && limit < 0) return limit;
    const datatype::TypeName& name = datatype::names[id];
    string::append_c_string(out, name.name);
    string::append_char(out, ' ');
    limit -= static_cast<i32>(name.length) + 2;  // the name with its "!", and the space
    written = true;
  }
  if (written) {
    string::cut_tail_at(string::buffer_of(out), string::total_length(out) - 1);
    if (only) return limit + 1;
    string::append_char(out, ']');  // in place of the trailing space
    return limit;
  }
  if (!only) {
    string::append_char(out, ']');
    --limit;
  }
  return limit;
}

void do_set_operation(i32 code) {
  if (code == 8) return;  // unique: the first operand as it is
  Cell* args = stack::arguments;
  Cell a = args[0], b = args[1];
  if (b.type() == type::datatype) {
    u32 id = datatype::id_of(&b);
    make_at(&b);
    add(&b, id);
  } else if (b.type() != type::typeset) {
    raise_error(ErrorCategory::script, "invalid-arg", b);
  }
  Cell r;
  make_at(&r);
  switch (code) {
    case 5: case 9:
      r.w1 = a.w1 | b.w1, r.w2 = a.w2 | b.w2, r.w3 = a.w3 | b.w3;
      break;
    case 6: case 10:
      r.w1 = a.w1 & b.w1, r.w2 = a.w2 & b.w2, r.w3 = a.w3 & b.w3;
      break;
    case 7: case 12:
      r.w1 = a.w1 ^ b.w1, r.w2 = a.w2 ^ b.w2, r.w3 = a.w3 ^ b.w3;
      break;
    case 11:
      r.w1 = a.w1 & ~b.w1, r.w2 = a.w2 & ~b.w2, r.w3 = a.w3 & ~b.w3;
      break;
    default: sys::quit(sys::Fatal::no_switch);
  }
  stack::set_result(&r);
}

Cell* make(Cell*, Cell* spec, u32) {
  if (spec->type() == type::typeset) return spec;
  if (spec->type() != type::block) raise_error(ErrorCategory::script, "bad-to-arg", datatype_arg(type::typeset), *spec);
  Cell* ts = make_at(stack::push_cell());
  for (i32 i = block::head_index(spec), n = series::total_length(spec); i < n; ++i) {
    Cell element = *block::cell_at(spec, i);
    set_type(ts, &element);
  }
  return ts;
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) { return mold_text(value, out, false, part, limit); }

i32 mold(const Cell* value, Cell* out, bool only, bool, bool, const Cell* part, i32 limit, i32) {
  return mold_text(value, out, only, part, limit);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::typeset) return -2;
  switch (op) {
    case compare_op::equal:
    case compare_op::not_equal:
    case compare_op::strict_equal:
    case compare_op::same:
    case compare_op::find:
      return a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3 ? 0 : 1;
    case compare_op::sort:
    case compare_op::case_sort: {
      i32 ca = count(a), cb = count(b);
      return (ca > cb) - (ca < cb);
    }
    default:
      return -2;
  }
}

void and_t() { do_set_operation(6); }
void or_t() { do_set_operation(5); }
void xor_t() { do_set_operation(7); }

Cell* complement(Cell* value) {
  value->w1 = ~value->w1;
  value->w2 = ~value->w2;
  value->w3 = ~value->w3;
  return value;
}

Cell* find(Cell* series, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool, bool, bool) {
  if (value->type() != type::datatype) raise_error(ErrorCategory::script, "invalid-arg", *value);
  return has(series, datatype::id_of(value)) ? &logic::true_value : &logic::false_value;
}

void init() {
  datatype::register_type(type::typeset, 0, "typeset!",
                          {.make = make,
                           .to = make,
                           .form = form,
                           .mold = mold,
                           .compare = compare,
                           .and_t = and_t,
                           .complement = complement,
                           .or_t = or_t,
                           .xor_t = xor_t,
                           .find = find});
  hashtable::set_hash_procedure(type::typeset, hashtable::hash_words123);
}

}  // namespace kiv::typeset
