#include "datatypes/path.h"

#include <algorithm>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::path {

namespace {

// The values from the head, formed (or molded) with "/" between them.
i32 emit(const Cell* value, Cell* out, bool mold, bool all, bool flat, const Cell* part, i32 limit) {
  auto append = [out](std::string_view text) { string::append_utf8(out, text); };
  if (mold::emit_cycle(value, append, limit, mold)) return limit;
  Cell p = *value;
  RootCell keep(p);
  mold::CycleGuard guard(series::node_of(&p));
  for (i32 i = std::max(block::head_index(&p), 0); i < series::total_length(&p); ++i) {
    Cell item = *block::cell_at(&p, i);
    RootCell keep_item(item);
    // A path has no brackets of its own for /only to drop: its values keep theirs.
    if (mold && item.type() == type::string) limit = string::mold_quoted(&item, out, all, part, limit);
    else if (mold) limit = actions::dispatch_mold(&item, out, false, all, flat, part, limit, 0);
    else limit = actions::dispatch_form(&item, out, part, limit);
    if (part && limit <= 0) return limit;
    if (i + 1 < series::total_length(&p)) {
      string::append_char(out, '/');
      --limit;
    }
  }
  return limit;
}

Cell* retype(Cell* value, u32 type_id) {
  value->header = type_id;
  return stack::push_value(value);
}

// What every path type shares with block!: how it hashes and what the collector marks.
void register_layout(u32 id) {
  hashtable::set_hash_procedure(id, hashtable::hash_words12, true);
  collector::set_mark_procedure(id, collector::mark_any_block);
}

}  // namespace

Cell* make_at(Cell* out, i32 n) {
  block::make_at(out, std::max(n, 1));
  out->header = type::path;
  return out;
}

Cell* push_as(Cell* value) { return retype(value, type::path); }

Cell* make(Cell* proto, Cell* spec_in, u32 t) {
  Cell spec = *spec_in;
  RootCell keep(spec);
  switch (spec.type()) {
    case type::integer:
    case type::float_:
    case type::percent: {
      i32 n;
      if (spec.type() == type::integer) {
        n = integer::get(&spec);
      } else {
        double d = spec.as_double();
        if (!(d <= 2147483647.0 && d >= -2147483648.0)) raise_error(ErrorCategory::script, "out-of-range", spec);
        n = static_cast<i32>(d);  // toward zero
      }
      // A capacity of 0, or below (nothing to reject: no cells are made), is taken as 1.
      Cell* out = block::push_new(std::max(n, 1));
      out->header = t;
      return out;
    }
    case type::block:
    case type::paren:
    case type::hash:
    case type::path:
    case type::lit_path:
    case type::set_path:
    case type::get_path: {
      Cell* out = block::to(proto, &spec, t);
      out->header = t;
      return out;
    }
    default: {
      Cell dt;
      datatype::make_at(&dt, t);
      raise_error(ErrorCategory::script, "bad-make-arg", dt, spec);
    }
  }
}

Cell* to(Cell* proto, Cell* spec_in, u32 t) {
  Cell spec = *spec_in;
  RootCell keep(spec);
  Cell* out;
  if (spec.type() == type::map || spec.type() == type::object || spec.type() == type::typeset) {
    out = block::push_new(1);
    block::append_value(out, &spec);
  } else {
    out = block::to(proto, &spec, t);
  }
  out->header = t;
  return out;
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  return emit(value, out, false, false, false, part, limit);
}

i32 mold(const Cell* value, Cell* out, bool, bool all, bool flat, const Cell* part, i32 limit, i32) {
  return emit(value, out, true, all, flat, part, limit);
}

void init() {
  using action::inherit;
  datatype::register_type(type::path, type::block, "path!",
                          {.make = make,
                           .reflect = inherit,
                           .to = to,
                           .form = form,
                           .mold = mold,
                           .eval_path = inherit,
                           .compare = inherit,
                           .append = inherit,
                           .at = inherit,
                           .back = inherit,
                           .change = inherit,
                           .clear = inherit,
                           .copy = block::copy,
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
                           .skip = inherit,
                           .swap = inherit,
                           .tail = inherit,
                           .tail_q = inherit,
                           .take = inherit,
                           .modify = inherit});
  register_layout(type::path);
}

namespace {

// Every entry of path! but mold.
void register_child(u32 id, const char* name, action::Mold mold) {
  action::Entries e;
#define KIV_PATH_INHERIT(slot, Type) e.slot = action::inherit;
  KIV_ACTION_SLOTS(KIV_PATH_INHERIT)
#undef KIV_PATH_INHERIT
  e.mold = mold;
  datatype::register_type(id, type::path, name, e);
  register_layout(id);
}

}  // namespace

}  // namespace kiv::path

namespace kiv::lit_path {
Cell* push_as(Cell* value) {
  value->header = type::lit_path;
  return stack::push_value(value);
}
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  string::append_char(out, '\'');
  return path::mold(value, out, only, all, flat, part, limit - 1, indent);
}
void init() { path::register_child(type::lit_path, "lit-path!", mold); }
}  // namespace kiv::lit_path

namespace kiv::set_path {
Cell* push_as(Cell* value) {
  value->header = type::set_path;
  return stack::push_value(value);
}
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  limit = path::mold(value, out, only, all, flat, part, limit, indent);
  string::append_char(out, ':');
  return limit - 1;
}
void init() { path::register_child(type::set_path, "set-path!", mold); }
}  // namespace kiv::set_path

namespace kiv::get_path {
Cell* push_as(Cell* value) {
  value->header = type::get_path;
  return stack::push_value(value);
}
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  string::append_char(out, ':');
  return path::mold(value, out, only, all, flat, part, limit - 1, indent);
}
void init() { path::register_child(type::get_path, "get-path!", mold); }
}  // namespace kiv::get_path
