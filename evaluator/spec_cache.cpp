// Building the argument-spec cache of a function value: one entry per argument and refinement of
// its spec, and the summary the call paths test (the layout, and the table of summaries the walk
// reads inline, are in interp_internal.h).
//
// Invariants: a cache is built on the first call and never changes afterwards, so every copy of the
// value and every operator made from it share it. Building allocates: the function value must be a
// cell that stays put.
#include <algorithm>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/op.h"
#include "datatypes/symbol.h"
#include "evaluator/interp_internal.h"
#include "runtime/collector.h"
#include "runtime/roots.h"

namespace kiv::interpreter::detail {

namespace {

Cell* type_block_typeset(const Cell* types, Cell* out) {
  *out = Cell{type::typeset, 0, 0, 0};
  i32 n = block::length(types);
  i32 head = block::head_index(types);
  for (i32 i = 0; i < n; ++i) {
    Cell e = *block::cell_at(types, head + i);
    if (e.type() == type::word) {
      const Cell* v = peek_value(&e);
      e = v ? *v : none::value;
    }
    if (e.type() == type::datatype) {
      cell::typeset_add(out, datatype::id_of(&e));
    } else if (e.type() == type::typeset) {
      out->w1 |= e.w1;
      out->w2 |= e.w2;
      out->w3 |= e.w3;
    }
  }
  return out;
}

Cell any_value_typeset() {
  Cell ts{type::typeset, ~0u, ~0u, ~0u};
  u8 bytes[12];
  std::memcpy(bytes, &ts.w1, 12);
  bytes[type::unset >> 3] &= static_cast<u8>(~(0x80u >> (type::unset & 7)));
  std::memcpy(&ts.w1, bytes, 12);
  return ts;
}

// A function's context was made from its spec, but the spec is shared and may have been edited
// since: its words are then no longer the context's, one to one and in order. Answers false when
// they still are; otherwise appends to the cache, after its entries, one integer! per entry giving
// the context position of the entry's word (-1 when the context lacks it), which the call uses to
// move the values it fetched to the positions the body reads.
bool map_to_context(const Cell* fn, const Cell* spec, Cell* cache) {
  const i32 entries = block::length(cache);
  const i32 n = block::length(spec);
  // The context position of each word the spec names, in spec order (one per cache entry).
  auto for_each_word = [&](auto&& visit) {
    for (i32 i = 0, k = 0; i < n && k < entries; ++i) {
      const Cell* e = block::cell_at(spec, i);
      const u32 t = e->type();
      if (t != type::word && t != type::get_word && t != type::lit_word && t != type::refinement) continue;
      visit(k++, context::find_word(function::context_node(fn), word::symbol_of(e), true));
    }
  };
  bool same = entries == context::word_count(function::context_node(fn));
  for_each_word([&](i32 k, i32 at) { same = same && at == k; });
  if (same) return false;
  for_each_word([&](i32, i32 at) {
    Cell position{type::none, 0, 0, 0};
    integer::box(&position, at);
    block::append_value(cache, &position);
  });
  return true;
}

// The caches kept for the table slots: natives 1-120, then actions 1-62 (none: nothing kept).
Cell interfaces[natives::slot_count + natives::action_slot_count];

Cell* interface_of(u32 fn_type, u32 slot) {
  if (fn_type == type::native && slot >= 1 && slot <= natives::slot_count) return &interfaces[slot - 1];
  if (fn_type == type::action && slot >= 1 && slot <= natives::action_slot_count)
    return &interfaces[natives::slot_count + slot - 1];
  return nullptr;
}

void mark_interfaces() {
  for (Cell& c : interfaces) {
    if (c.type() == type::block) collector::mark_cell(&c);
  }
}

// A native or action made with a spec of its own is called by that spec, but its procedure reads
// the arguments its table slot's interface names: an argument both name takes only the types both
// accept, and the arguments (and refinement arguments) the spec lacks are added from the interface.
// Refinements pair up by number. Replaces the cache's entries; answers the mandatory count.
i32 conform(Cell* cache, i32 mandatory, const Cell* kept) {
  Cell interface{type::block, 0, kept->w2, 0};
  RootCell keep_interface(interface);
  const i32 kept_mandatory = static_cast<i32>(kept->w3 & spec_cache::count_mask);
  const i32 length = block::length(cache), kept_length = block::length(&interface);
  Cell merged{type::none, 0, 0, 0};
  RootCell keep_merged(merged);
  block::make_at(&merged, length + kept_length);
  // Appends the entries [0, max(own, theirs)) of two runs of argument entries from `own_at` in the
  // cache and `their_at` in the interface.
  auto merge = [&](i32 own_at, i32 own, i32 their_at, i32 theirs) {
    for (i32 j = 0; j < std::max(own, theirs); ++j) {
      Cell e = *block::cell_at(j < own ? cache : &interface, (j < own ? own_at : their_at) + j);
      if (j < own && j < theirs) {
        const Cell* t = block::cell_at(&interface, their_at + j);
        e.w1 &= t->w1;
        e.w2 &= t->w2;
        e.w3 &= t->w3;
      }
      block::append_value(&merged, &e);
    }
  };
  auto arguments_after = [](const Cell* entries, i32 at, i32 end) {
    i32 n = 0;
    while (at + n < end && block::cell_at(entries, at + n)->type() == type::typeset) ++n;
    return n;
  };
  merge(0, mandatory, 0, kept_mandatory);
  for (i32 i = mandatory; i < length;) {
    Cell r = *block::cell_at(cache, i++);
    block::append_value(&merged, &r);
    const i32 own = arguments_after(cache, i, length);
    const i32 number = r.header & spec_cache::local_flag ? 0 : refinement_number(&r);
    i32 at = kept_length;
    for (i32 j = kept_mandatory; number > 0 && j < kept_length; ++j) {
      const Cell* c = block::cell_at(&interface, j);
      if (c->type() == type::refinement && refinement_number(c) == number) {
        at = j + 1;
        break;
      }
    }
    merge(i, own, at, arguments_after(&interface, at, kept_length));
    i += own;
  }
  *cache = merged;
  return std::max(mandatory, kept_mandatory);
}

// Builds the cache for a function value (a cell that stays put) and answers its summary.
u32 build_cache(const Cell* fn) {
  const u32 fn_type = fn->type() == type::op ? op::wrapped_type(fn) : fn->type();
  Cell spec{type::block, 0, fn->w2, 0};
  RootCell keep_spec(spec);
  Cell out{type::none, 0, 0, 0};
  RootCell keep_out(out);
  block::make_at(&out, 8);
  const Cell any = any_value_typeset();
  i32 n = block::length(&spec);
  i32 mandatory = 0, refinements = 0, position = 0;
  bool in_refinement = false;
  i32 last_index = -1;
  for (i32 i = 0; i < n; ++i) {
    Cell e = *block::cell_at(&spec, i);
    u32 t = e.type();
    if (t == type::word || t == type::get_word || t == type::lit_word) {
      Cell ts = any;
      u32 mode = t == type::word ? 0 : t == type::get_word ? 1 : 2;
      ts.header = type::typeset | mode << spec_cache::mode_shift;
      block::append_value(&out, &ts);
      last_index = block::length(&out) - 1;
      if (!in_refinement) ++mandatory;
      ++position;
    } else if (t == type::refinement) {
      const bool local = static_words::refinement_roots[static_words::rid::local] &&
              symbol::resolve(word::symbol_of(&e)) ==
                  symbol::resolve(word::symbol_of(static_words::refinement(static_words::rid::local)));
      Cell r{type::refinement | (local ? spec_cache::local_flag : 0), 0, e.w2, static_cast<u32>(position)};
      if (!local) r.header |= static_cast<u32>(++refinements & 0xFF) << spec_cache::number_shift;
      block::append_value(&out, &r);
      last_index = -1;
      in_refinement = true;
      ++position;
    } else if (t == type::block) {
      if (last_index >= 0) {
        Cell ts;
        type_block_typeset(&e, &ts);
        Cell* c = block::cell_at(&out, last_index);
        if (block::length(&e) > 0) {
          ts.header = c->header;
          *c = ts;
        }
      }
      last_index = -1;
    } else if (t == type::set_word) {
      // return: and its type block describe the result only.
      if (symbol::resolve(word::symbol_of(&e)) != symbol::resolve(static_symbol(static_words::sym::return_)))
        script_error("bad-func-def", e);
      last_index = -1;
      if (i + 1 < n && block::cell_at(&spec, i + 1)->type() == type::block) ++i;
    } else {
      last_index = -1;  // doc strings, the attribute block's neighbours
    }
  }
  if (const Cell* kept = interface_of(fn_type, fn->w1); kept && kept->type() == type::block)
    mandatory = conform(&out, mandatory, kept);
  // Summary: the mandatory count, whether more cells follow, and the operator fast path's test.
  u32 summary = spec_cache::built | static_cast<u32>(std::min(mandatory, 0xFFFF));
  if (block::length(&out) > mandatory) summary |= spec_cache::has_more;
  bool evaluated = true;
  for (i32 k = 0; k < mandatory; ++k)
    evaluated = evaluated && (block::cell_at(&out, k)->header >> spec_cache::mode_shift & 3) == 0;
  if (evaluated && !(summary & spec_cache::has_more)) summary |= spec_cache::plain;
  if (fn_type == type::function && map_to_context(fn, &spec, &out)) {
    summary |= spec_cache::remapped | spec_cache::has_more;
    summary &= ~spec_cache::plain;
  }
  if (mandatory >= 2 && !(summary & spec_cache::remapped)) {
    const Cell* c = block::cell_at(&out, 0);
    bool ok = true;
    for (i32 k = 0; k < 2; ++k, ++c) {
      ok = ok && (c->header >> spec_cache::mode_shift & 3) == 0 && cell::typeset_has(c, type::integer) &&
           cell::typeset_has(c, type::float_);
    }
    if (ok) summary |= spec_cache::fast_numeric;
  }
  Cell* slot = more_cells(fn) + 1;
  *slot = out;
  slot->w3 = summary;
  return summary;
}

}  // namespace

u32 cache_summary_slow(const Cell* fn) {
  const Cell* c = more_cells(fn) + 1;
  if (c->type() == type::block && (c->w3 & spec_cache::built)) [[likely]] return c->w3;
  return build_cache(fn);
}

}  // namespace kiv::interpreter::detail

namespace kiv::interpreter {

using namespace detail;

void keep_interface(const Cell* value) {
  Cell* kept = interface_of(value->type(), value->w1);
  if (!kept || kept->type() == type::block) return;
  // A few small blocks per boot value: not worth a collection each under torture.
  collector::Suspend no_collection;
  cache_summary_slow(value);
  *kept = more_cells(value)[1];
}

void forget_interfaces() {
  static bool registered = false;
  if (!registered) {
    collector::add_root_callback(mark_interfaces);
    registered = true;
  }
  for (Cell& c : interfaces) c = none::value;
}

}  // namespace kiv::interpreter
