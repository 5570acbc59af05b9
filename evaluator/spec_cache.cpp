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
#include "datatypes/op.h"
#include "datatypes/symbol.h"
#include "evaluator/interp_internal.h"
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

// Builds the cache for a function value (a cell that stays put) and answers its summary.
u32 build_cache(const Cell* fn) {
  const u32 fn_type = fn->type() == type::op ? op::wrapped_type(fn) : fn->type();
  (void)fn_type;
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
  // Summary: the mandatory count, whether more cells follow, and the operator fast path's test.
  u32 summary = spec_cache::built | static_cast<u32>(std::min(mandatory, 0xFFFF));
  if (block::length(&out) > mandatory) summary |= spec_cache::has_more;
  bool evaluated = true;
  for (i32 k = 0; k < mandatory; ++k)
    evaluated = evaluated && (block::cell_at(&out, k)->header >> spec_cache::mode_shift & 3) == 0;
  if (evaluated && !(summary & spec_cache::has_more)) summary |= spec_cache::plain;
  if (mandatory >= 2) {
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
