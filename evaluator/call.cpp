// Calls: fetching arguments by the spec's cache (evaluated, as they stand, and the refinements a
// path names), running natives and actions, the generic call routine (call_value) that takes every
// call the walk's fast paths leave (traced calls, refinements, routines, operators, methods), and
// the call entries for C++ code: call_function and apply.
//
// Invariants:
// - A call's arguments are pushed above the function value, which keeps the value alive; the result
//   is left in the arguments base, and the caller moves it down over the value.
// - The cells of a spec cache move only in a collection: their address is read again after one.
// - An exit that C++ code inside a native or action raised (an ExitSignal) becomes the native's
//   status here, with the native's frame on top again.
#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/op.h"
#include "datatypes/routine.h"
#include "datatypes/symbol.h"
#include "evaluator/interp_internal.h"
#include "runtime/collector.h"
#include "runtime/roots.h"

namespace kiv::interpreter {

using namespace detail;

namespace {

// The frame's word as a word! cell (its symbol bound to its context), for error arguments.
Cell frame_word(const Frame* f) {
  Cell w{type::word, f->word_context, static_cast<u32>(f->symbol()), 0};
  Ref<Node> ctx(f->word_context);
  if (f->code() == (stack::kind::block & stack::kind::code_mask)) ctx = Ref<Node>{};
  if (ctx) {
    i32 index = context::find_word(ctx, f->symbol(), true);
    if (index >= 0) {
      w.w3 = static_cast<u32>(index);
      return w;
    }
  }
  word::make_at(f->symbol(), &w);
  return w;
}

// The word of argument n (0-based, counting word!, get-word!, lit-word!, refinement!) of the spec.
Cell spec_word(const Cell* fn, i32 n) {
  Cell spec{type::block, 0, fn->w2, 0};
  i32 len = block::length(&spec);
  for (i32 i = 0, seen = 0; i < len; ++i) {
    const Cell* c = block::cell_at(&spec, i);
    u32 t = c->type();
    if (t == type::word || t == type::get_word || t == type::lit_word || t == type::refinement) {
      if (seen++ == n) {
        Cell w = *c;
        return w;
      }
    }
  }
  return static_word(static_words::wid::anon);
}

}  // namespace

namespace detail {

// The position among the spec's words of mandatory argument k (= k) or of refinement entry e.
[[noreturn]] void raise_expect(const Frame* f, const Cell* fn, i32 word_index, const Cell* value) {
  Cell name = frame_word(f);
  Cell kind;
  datatype::make_at(&kind, value->type());
  Cell arg = spec_word(fn, word_index);
  raise_error(ErrorCategory::script, "expect-arg", name, kind, arg);
}

[[noreturn]] void raise_no_arg(const Frame* f, const Cell* fn, i32 word_index) {
  Cell name = frame_word(f);
  Cell arg = spec_word(fn, word_index);
  script_error("no-arg", name, arg);
}

}  // namespace detail

namespace {

// ---- Arguments ----------------------------------------------------------------------------------

// Fetches one argument by the cache entry (mode and typeset, copied by the caller) and pushes it.
Exit fetch_one(Walk* c, const Cell& entry, bool infix, const Frame* f, const Cell* fn, i32 word_index) {
  const u32 mode = entry.header >> spec_cache::mode_shift & 3;
  if (!more_q(c)) [[unlikely]] {
    if (mode == 2 && cell::typeset_has(&entry, type::unset)) {
      stack::push_cell();
      return Exit::none;
    }
    raise_no_arg(f, fn, word_index);
  }
  if (mode == 0) [[likely]] {
    Exit e = eval_argument(*c, infix);
    if (e != Exit::none) return e;
  } else {
    View v = walk_view(*c);
    Cell next = v.cells[c->index++];
    if (tracing) fire(event::fetch, c, c->index - 1, nullptr, &next);
    if (mode == 2 && next.type() == type::paren) {
      RootCell keep(next);
      Frame* pf = stack::push_eval_frame(&static_word(static_words::wid::anon));
      (void)pf;
      Exit e = eval_block(&next, true);
      if (e != Exit::none) {
        stack::pop_frame();
        return e;
      }
      stack::pop_frame();
    } else if (mode == 2 && next.type() == type::get_word) {
      stack::push_value(value_of(&next));
    } else if (mode == 2 && next.type() == type::get_path) {
      RootCell keep(next);
      Exit e = eval_path_at(nullptr, &next, PathMode::get, nullptr, false);
      if (e != Exit::none) return e;
    } else {
      stack::push_value(&next);
    }
    if (tracing) fire(event::push, c, c->index, nullptr, stack::last_value());
  }
  const Cell* value = stack::top - 1;
  if (!accepts(&entry, value->type())) [[unlikely]] raise_expect(f, fn, word_index, value);
  return Exit::none;
}

// Index among the spec's words of cache entry k (entries and spec words correspond one to one).
inline i32 word_index_of_entry(i32 k) { return k; }

// Fetches every argument of the call whose frame is `f` (base = stack::arguments), `present`
// leading ones being there already; handles path refinements. refs: one slot per refinement of a
// native or action (set here), null for functions and routines (whose refinement and local cells
// are pushed).
Exit fetch_args(Walk* c, const Cell* fn, const Frame* f, i32 present, bool infix, const Cell* path, i32 path_from,
                i32* refs) {
  Cell* base = stack::arguments;
  const Cell* entries;
  const u32 summary = cache_summary(fn, &entries);
  const i32 mandatory = static_cast<i32>(summary & spec_cache::count_mask);
  for (i32 k = 0; k < present && k < mandatory; ++k) {
    if (!accepts(entries + k, base[k].type())) [[unlikely]] raise_expect(f, fn, k, base + k);
  }
  // The cache's cells move only in a collection: their address is read again after one.
  collector::Epoch gc;
  for (i32 k = present; k < mandatory; ++k) {
    const u32 mode = entries[k].header >> spec_cache::mode_shift & 3;
    if (mode == 0 && c && c->index < walk_view(*c).tail) [[likely]] {
      Exit e = eval_argument(*c, infix);
      if (e != Exit::none) [[unlikely]] return e;
      if (gc.moved()) [[unlikely]] entries = cache_entry(fn, 0);
      const Cell* value = stack::top - 1;
      if (!accepts(entries + k, value->type())) [[unlikely]] raise_expect(f, fn, k, value);
      continue;
    }
    const Cell entry = entries[k];
    Exit e = fetch_one(c, entry, infix, f, fn, word_index_of_entry(k));
    if (e != Exit::none) [[unlikely]] return e;
    if (gc.moved()) [[unlikely]] entries = cache_entry(fn, 0);
  }
  if (!(summary & spec_cache::has_more) && !path) return Exit::none;

  // Refinement and local cells of functions and routines, in spec order.
  const i32 length = cache_length(fn);
  if (!refs) {
    for (i32 k = std::max(mandatory, present); k < length; ++k) {
      const Cell* entry = cache_entry(fn, k);
      if (entry->type() == type::refinement) *stack::push_cell() = logic::false_value;
      else *stack::push_cell() = none::value;
    }
  }
  if (!path) return Exit::none;

  // Refinements named by the path, in the path's order.
  Cell p = *path;
  RootCell keep_path(p);
  bool used[64] = {};
  const i32 path_length = series::total_length(&p);
  for (i32 pi = path_from; pi < path_length; ++pi) {
    Cell element = *block::cell_at(&p, pi);
    bool active = true;
    if (element.type() == type::get_word) {
      active = logic::true_q(value_of(&element));
    } else if (element.type() != type::word) {
      script_error("bad-refine", element);
    }
    const i32 sym = symbol::resolve(word::symbol_of(&element));
    i32 k = mandatory, found = -1;
    for (; k < length; ++k) {
      const Cell* entry = cache_entry(fn, k);
      if (entry->type() == type::refinement && !(entry->header & spec_cache::local_flag) &&
          symbol::resolve(static_cast<i32>(entry->w2)) == sym) {
        found = k;
        break;
      }
    }
    if (found < 0) {
      Cell name = frame_word(f);
      Cell as_word = element;
      cell::set_type(&as_word, type::word);
      script_error("no-refine", name, as_word);
    }
    if (found < 64) {
      if (used[found]) script_error("dup-refine", p);
      used[found] = true;
    }
    const Cell ref = *cache_entry(fn, found);
    if (!refs) {
      const i32 position = static_cast<i32>(ref.w3);
      base[position] = Cell{type::logic, active ? 1u : 0u, 0, 0};
      i32 j = 0;
      for (i32 k2 = found + 1; k2 < length; ++k2, ++j) {
        Cell entry = *cache_entry(fn, k2);
        if (entry.type() != type::typeset) break;
        Exit e = fetch_one(c, entry, false, f, fn, static_cast<i32>(ref.w3) + 1 + j);
        if (e != Exit::none) return e;
        if (active) base[position + 1 + j] = stack::top[-1];
        stack::drop(1);
      }
    } else {
      Cell* first = stack::top;
      i32 j = 0;
      for (i32 k2 = found + 1; k2 < length; ++k2, ++j) {
        Cell entry = *cache_entry(fn, k2);
        if (entry.type() != type::typeset) break;
        Exit e = fetch_one(c, entry, false, f, fn, static_cast<i32>(ref.w3) + 1 + j);
        if (e != Exit::none) return e;
      }
      const i32 number = refinement_number(&ref);
      if (active) {
        if (number >= 1 && number <= natives::max_refinements) refs[number - 1] = static_cast<i32>(first - base);
      } else {
        stack::top = first;
      }
    }
  }
  return Exit::none;
}

// The call of a function whose spec was edited after it was made (spec_cache::remapped): the
// values fetched, one per cache entry from `base`, go to the context positions its body reads, and
// every word of the context the spec no longer names is unset.
void move_to_context(const Cell* fn, Cell* base) {
  const i32 length = cache_length(fn);
  const i32 words = context::word_count(function::context_node(fn));
  KIV_ASSERT(stack::top == base + length, "a call fetched other than its spec's cells");
  Cell* const moved = stack::top;  // value-stack cells stay put
  for (i32 i = 0; i < words; ++i) *stack::push_cell() = Cell{type::unset, 0, 0, 0};
  for (i32 k = 0; k < length; ++k) {
    const i32 at = integer::get(cache_entry(fn, length + k));
    if (at >= 0 && at < words) moved[at] = base[k];
  }
  std::copy(moved, moved + words, base);
  stack::top = base + words;
}

}  // namespace

namespace detail {

// ---- Calls ------------------------------------------------------------------------------------------

// Runs a native or action whose frame `f` is on top with its arguments fetched; an ExitSignal from
// C++ code inside becomes the status here.
Exit run_native(const Cell* fn, u32 fn_type, Frame* f, Cell* base, const i32* refs) {
  const i32 slot = static_cast<i32>(fn->w1);
  // Now, with the arguments taken (their evaluation may have read the walks again).
  before_call(fn_type, fn->w1);
  try {
    if (fn_type == type::native) {
      const natives::Slot* s = natives::native_slot(slot);
      if (!s || !s->code || s->convention != natives::Convention::native) [[unlikely]]
        raise_error(ErrorCategory::internal, "not-done");
      // Most natives take no refinement: called straight, without the table of shapes.
      if (s->refinements == 0) return reinterpret_cast<natives::Proc<0>*>(s->code)(false);
      return natives::invoke(*s, false, refs);
    }
    const natives::Slot* s = natives::action_slot(slot);
    if (!s || !s->code || s->convention != natives::Convention::action) [[unlikely]]
      raise_error(ErrorCategory::internal, "not-done");
    if (s->refinements == 0) reinterpret_cast<natives::ActionProc<0>*>(s->code)();
    else actions::invoke(*s, refs);
    return Exit::none;
  } catch (const ExitSignal& x) {
    // Back to the native's own registers: its frame is the top one again.
    stack::unwind_to(stack::Mark{f + 1, base, base + 1});
    return x.code;
  }
}

Exit call_value(Walk* c, const Cell* fn, const Cell* name, i32 present, const Cell* path, i32 path_from,
                Ref<Node> object_ctx) {
  // An operator calls the value it wraps: it carries that value's words 1-3 (table slot or context,
  // spec, auxiliary block), so only the type differs.
  const u32 fn_type = fn->type() == type::op ? op::wrapped_type(fn) : fn->type();
  if (tracing) fire(event::open, c, c ? c->index : -1, name, fn);
  Cell* const start = stack::top - present;
  stack::top = start;
  switch (fn_type) {
    case type::native:
    case type::action: {
      Frame* f = stack::push_eval_frame(name);
      stack::top = start + present;
      // One position per refinement the procedure takes, all absent to begin with.
      const i32 slot = static_cast<i32>(fn->w1);
      const natives::Slot* s = fn_type == type::native ? natives::native_slot(slot) : natives::action_slot(slot);
      i32 refs[natives::max_refinements];
      const i32 used = s ? std::min<i32>(s->refinements, natives::max_refinements) : 0;
      for (i32 r = 0; r < used; ++r) refs[r] = -1;
      Exit e = fetch_args(c, fn, f, present, present > 0, path, path_from, refs);
      if (e == Exit::none) [[likely]] {
        if (tracing) {
          Cell nm = frame_word(f);
          fire(event::call, c, c ? c->index : -1, &nm, fn);
        }
        e = run_native(fn, fn_type, f, stack::arguments, refs);
      }
      stack::pop_frame();
      if (tracing && e == Exit::none) {
        Cell nm = frame_word(f);
        fire(event::return_, c, c ? c->index : -1, &nm, stack::last_value());
      }
      return e;
    }
    case type::function: {
      Frame* f;
      if (object_ctx && object_ctx != context::global()) [[unlikely]] {
        Cell frame_name = *name;
        frame_name.w1 = object_ctx.offset();
        f = stack::push_interp_function_frame(&frame_name, function::context_node(fn));
      } else {
        f = stack::push_interp_function_frame(name, function::context_node(fn));
      }
      stack::top = start + present;
      Exit e = fetch_args(c, fn, f, present, present > 0, path, path_from, nullptr);
      if (e != Exit::none) [[unlikely]] {
        stack::pop_function_frame();
        return e;
      }
      if (cache_summary(fn) & spec_cache::remapped) [[unlikely]] move_to_context(fn, stack::arguments);
      if (tracing) {
        Cell nm = frame_word(f);
        fire(event::call, c, c ? c->index : -1, &nm, fn);
      }
      Cell* base = stack::arguments;
      // The frame's copy of the context node is the one the collector keeps up to date.
      context::cell_of(Ref<Node>(f->function_context))->w2 = arena::offset_of(base);
      stack::running_context = f->function_context;
      stack::running_values = base;
      f->flag(stack::kind::return_target);
      const u32 flags = fn->type() == type::function ? fn->header : 0;
      {
        // A function marked trace or no-trace sets tracing for its body; whatever way the body
        // ends, an error included, the caller's setting comes back.
        struct Restore {
          bool saved = tracing;
          ~Restore() { tracing = saved; }
        } restore;
        if (flags & (function::flag::trace | function::flag::no_trace)) [[unlikely]] {
          tracing = (flags & function::flag::trace) ? trace_master : false;
        }
        if (tracing) fire(event::prolog, c, -1, fn, nullptr);
        e = run_body(fn, base);
        if (tracing) fire(event::epilog, c, -1, fn, base);
      }
      stack::pop_function_frame();
      if (tracing && e == Exit::none) {
        Cell nm = frame_word(f);
        fire(event::return_, c, c ? c->index : -1, &nm, stack::last_value());
      }
      return e;
    }
    case type::routine: {
      Frame* f = stack::push_eval_frame(name);
      stack::top = start + present;
      Exit e = fetch_args(c, fn, f, present, present > 0, path, path_from, nullptr);
      if (e == Exit::none) {
        Cell* base = stack::arguments;
        // An operator keeps the routine itself (its arity and calling flag) in its auxiliary block.
        const Cell* r = fn->type() == type::op ? function::more_cell(fn, function::more::op_value) : fn;
        // The routine reads as many cells as it has arguments, whatever its spec says now.
        Cell* const end = base + std::max(routine::get_arity(r), 1);
        while (stack::top < end) *stack::push_cell() = Cell{type::unset, 0, 0, 0};
        stack::top = end;
        advance_epoch();  // C++ code: it may change any series
        Cell routine_value = *r;
        RootCell keep(routine_value);
        routine::invoke(&routine_value, base);
        stack::top = base + 1;
      }
      stack::pop_frame();
      return e;
    }
    default:
      sys::quit(sys::Fatal::no_switch);
  }
}

}  // namespace detail

// ---- Call entries -----------------------------------------------------------------------------

Exit call_function(const Cell* fn_in, std::span<const Cell> args, Cell* out, const Cell* name,
                   Ref<Node> object_context, i32 callback_kind) {
  check_native_stack();
  RootNode keep_context(object_context);  // building the spec cache below may collect
  Cell* const slot = stack::push_value(fn_in);
  const Cell* fn = slot;
  if (fn->type() == type::op) {
    *slot = *fn_in;
    slot->header = op::wrapped_type(fn_in);
  }
  if (!function_type_q(fn->type())) script_error("invalid-arg", *fn);
  Cell call_name = name && word::any_word_q(name->type()) ? *name : static_word(static_words::wid::anon);
  cell::set_type(&call_name, type::word);
  RootCell keep_name(call_name);
  // The arguments go on the stack first: building the spec cache may collect, and the caller's
  // copies are not roots.
  for (const Cell& arg : args) stack::push_value(&arg);
  const u32 summary = cache_summary(fn);
  const i32 mandatory = static_cast<i32>(summary & spec_cache::count_mask);
  const i32 given = std::min<i32>(static_cast<i32>(args.size()), mandatory);
  stack::top = slot + 1 + given;
  for (i32 i = given; i < mandatory; ++i) *stack::push_cell() = none::value;
  const bool saved_tracing = tracing;
  if (tracing && callback_kind) tracing = false;  // the run-time's callbacks run untraced
  Exit e = Exit::none;
  try {
    e = call_value(nullptr, fn, &call_name, mandatory, nullptr, 0, object_context);
  } catch (...) {
    tracing = saved_tracing;
    throw;
  }
  tracing = saved_tracing;
  if (e == Exit::none) *out = slot[1];
  stack::top = slot;
  return e;
}

void call_function_or_raise(const Cell* fn, std::span<const Cell> args, Cell* out, const Cell* name,
                            Ref<Node> object_context, i32 callback_kind) {
  Exit e = call_function(fn, args, out, name, object_context, callback_kind);
  if (e != Exit::none) stack::raise_exit(e);
}

namespace {

// The function cell pushed on the value stack for a call by position, with the name of its frame.
Cell* push_positional(const Cell* fn_in, const Cell* name, Cell* call_name) {
  Cell fn = *fn_in;
  if (fn.type() == type::op) fn.header = op::wrapped_type(fn_in);
  if (!function_type_q(fn.type())) script_error("invalid-arg", fn);
  *call_name = name && word::any_word_q(name->type()) ? *name : static_word(static_words::wid::applied);
  cell::set_type(call_name, type::word);
  return stack::push_value(&fn);
}

// Calls the function cell `slot`, the value stack's top, with `given` values by position: every
// argument and refinement of its spec in order, a refinement as its truth value followed by its
// arguments (apply/all). The values must lie outside the cells the call pushes. The result is left
// in *slot, the stack's top.
Exit apply_values(Cell* slot, const Cell* call_name, const Cell* values, i32 given);

}  // namespace

Exit apply(const Cell* fn_in, const Cell* name, const Cell* args_block, bool all, bool safer) {
  (void)safer;
  Cell call_name;
  Cell* const slot = push_positional(fn_in, name, &call_name);
  RootCell keep_name(call_name);
  cache_summary(slot);  // builds the spec cache (which may collect) before the values are gathered
  const i32 length = cache_length(slot);
  // Every cell by position, from the block's values (evaluated unless /all).
  Walk w = begin(args_block);
  i32 k = 0;
  Cell* args_base = stack::top;  // the values accumulate above the walk's base
  while (!at_end(w) && k < length) {
    Exit e;
    if (all) {
      stack::push_value(walk_view(w).cells + w.index++);
      e = Exit::none;
    } else {
      e = next(w, true);
    }
    if (e != Exit::none) {
      end(w);
      stack::top = slot;
      return e;
    }
    ++k;
  }
  i32 given = static_cast<i32>(stack::top - args_base);
  // Move the values down over the walk's frame region: pop the frame keeping them.
  Cell values[64];
  given = std::min(given, 64);
  for (i32 i = 0; i < given; ++i) values[i] = args_base[i];
  end_reset(w);
  stack::top = slot + 1;
  return apply_values(slot, &call_name, values, given);
}

namespace {

Exit apply_values(Cell* slot, const Cell* call_name_in, const Cell* values, i32 given) {
  Cell call_name = *call_name_in;
  RootCell keep_name(call_name);
  const u32 summary = cache_summary(slot);
  const i32 mandatory = static_cast<i32>(summary & spec_cache::count_mask);
  const i32 length = cache_length(slot);
  const u32 t = slot->type();
  const bool numbered = t == type::native || t == type::action;
  // Lay out the call: mandatory from the values; refinements by their truth (all) / positions.
  i32 refs[natives::max_refinements];
  std::fill(std::begin(refs), std::end(refs), -1);
  stack::top = slot + 1;
  for (i32 i = 0; i < mandatory; ++i) *stack::push_cell() = i < given ? values[i] : none::value;
  Cell* base = slot + 1;
  i32 i = mandatory;
  for (i32 e = mandatory; e < length; ++e) {
    const Cell entry = *cache_entry(slot, e);
    const Cell v = i < given ? values[i] : none::value;
    ++i;
    if (entry.type() == type::refinement) {
      const bool on = logic::true_q(&v) && !(entry.header & spec_cache::local_flag);
      if (numbered) {
        const i32 number = refinement_number(&entry);
        if (on && number >= 1 && number <= natives::max_refinements) {
          refs[number - 1] = static_cast<i32>(stack::top - base);
        }
        // a native's refinement arguments follow only when used
        i32 e2 = e + 1;
        for (; e2 < length && cache_entry(slot, e2)->type() == type::typeset; ++e2) {
          const Cell a = i < given ? values[i] : none::value;
          ++i;
          if (on) stack::push_value(&a);
        }
        e = e2 - 1;
      } else {
        *stack::push_cell() = Cell{type::logic, on ? 1u : 0u, 0, 0};
      }
    } else {
      stack::push_value(&v);
    }
  }
  // Run it with every argument present.
  const i32 present = static_cast<i32>(stack::top - base);
  Exit e;
  if (numbered) {
    stack::top = base;
    Frame* f = stack::push_eval_frame(&call_name);
    stack::top = base + present;
    for (i32 m = 0; m < mandatory; ++m) {
      const Cell* entry = cache_entry(slot, m);
      if (!cell::typeset_has(entry, base[m].type())) raise_expect(f, slot, m, base + m);
    }
    e = run_native(slot, t, f, base, refs);
    stack::pop_frame();
  } else {
    e = call_value(nullptr, slot, &call_name, present, nullptr, 0, Ref<Node>{});
  }
  if (e != Exit::none) return e;
  *slot = slot[1];
  stack::top = slot + 1;
  return Exit::none;
}

}  // namespace

void call_positional(const Cell* fn, const Cell* name, i32 count, Cell* out) {
  Cell* const args = stack::top - count;
  Cell call_name;
  Cell* const slot = push_positional(fn, name, &call_name);
  // The values stay below the function cell, where the call's own cells cannot overlap them.
  const Exit e = apply_values(slot, &call_name, args, count);
  if (e != Exit::none) stack::raise_exit(e);
  const Cell result = *slot;
  stack::top = args;
  *out = result;
}

}  // namespace kiv::interpreter
