// The hot loop: the block walk, expressions, word look-up and assignment, the calls a walk makes
// in one piece (a native, action or function of a plain spec, and if, unless and either with their
// blocks in place), and infix operators with their inline arithmetic. What is less common leaves
// through call.cpp (call_value), path_eval.cpp and trace.cpp.
//
// Invariants:
// - A walk's view of its block is read only through synced() or right after a sync: whatever may
//   change or move a series advances the evaluation epoch (below) first.
// - A cell read from the block stays valid only until the next allocation: the value is pushed, and
//   a call takes the word into its frame, before anything else runs.
// - Every expression leaves exactly its value and pops every frame it pushed; a status other than
//   Exit::none is returned only after they are popped.
// - The walk's steps come in two builds (T: traced or not, see the declaration of eval_expr); an
//   edit to one path of a step holds for both.
#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/op.h"
#include "datatypes/symbol.h"
#include "evaluator/interp_internal.h"
#include "evaluator/natives_internal.h"
#include "runtime/collector.h"
#include "runtime/mold.h"
#include "runtime/roots.h"

namespace kiv::interpreter {

using namespace detail;

namespace {

// The evaluation epoch (see Walk): advanced by every collection and by every call that may change
// a series (the only ways a block being walked can change or move): an action, a routine, a path
// step, a native that is not known to leave series alone. A function! call changes nothing by
// itself: what its body calls advances the epoch where needed.
u32 epoch = 1;

[[gnu::always_inline]] inline void sync_now(Walk& w) {
  const SeriesBuffer* b = buffer_of(w.frame->block_node());
  w.cells = arena::at<Cell>(b->head);
  w.tail = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
  w.epoch = epoch;
}
// The walk's block as it stands now.
[[gnu::always_inline]] inline Walk& synced(Walk& w) {
  if (w.epoch != epoch) sync_now(w);
  return w;
}
[[gnu::always_inline]] inline View view(Walk& w) {
  synced(w);
  return {const_cast<Cell*>(w.cells), w.tail};
}

}  // namespace

namespace detail {

void advance_epoch() {
  if (++epoch == 0) epoch = 1;
}
View walk_view(Walk& w) { return interpreter::view(w); }

// ---- Small helpers ----------------------------------------------------------------------------

[[noreturn]] void script_error(const char* id, const Cell& a1) { raise_error(ErrorCategory::script, id, a1); }
[[noreturn]] void script_error(const char* id, const Cell& a1, const Cell& a2) {
  raise_error(ErrorCategory::script, id, a1, a2);
}
[[noreturn]] void stack_overflow() {
  mold::reset_cycles();
  raise_error(ErrorCategory::internal, "stack-overflow");
}

// ---- Words ------------------------------------------------------------------------------------

[[gnu::noinline]] SeriesBuffer* read_globals(u32 ctx) {
  globals.context = 0;
  globals.count = 0;
  const Ref<Node> g = context::global();
  if (!g) return nullptr;
  const Cell* cc = context::cell_of(g);
  if (!cc->w2 || (cc->header & context::flag::on_stack)) return nullptr;
  SeriesBuffer* vb = buffer_of(Ref<Node>(cc->w2));
  globals = {g.offset(), static_cast<u32>((vb->tail - vb->head) / sizeof(Cell)), vb, vb->head_ptr<Cell>()};
  return ctx == globals.context ? globals.values : nullptr;
}

[[gnu::noinline]] Cell* context_value(u32 ctx, i32 index) {
  if (!ctx || index < 0) return nullptr;
  SeriesBuffer* vb = global_values(ctx);
  if (!vb) {
    const Cell* cc = buffer_of(Ref<Node>(ctx))->head_ptr<Cell>();
    const u32 values = cc->w2;
    if (!values) return nullptr;
    if (cc->header & context::flag::on_stack) {
      stack::running_context = ctx;
      stack::running_values = arena::at<Cell>(values);
      return stack::running_values + index;
    }
    vb = buffer_of(Ref<Node>(values));
  }
  if (static_cast<u32>(index) >= (vb->tail - vb->head) / sizeof(Cell)) return nullptr;
  return vb->head_ptr<Cell>() + index;
}

Cell conditional_natives[3] = {none::value, none::value, none::value};

}  // namespace detail

namespace {

// The walk's own steps come in two builds: T false for a walk that began untraced (tracing, which
// only a call turns on, and which every call restores on the way out, stays off through it), T
// true for every other caller, which tests the tracing flag at each event.
template <bool T = true> Exit eval_expr(Walk& w, bool no_infix);
template <bool T = true> bool push_simple(Walk& w);
template <bool T = true> Exit after_value(Walk& w, Cell* start);

[[gnu::noinline]] void resync(Walk& w) { sync_now(w); }

// Function and plain contexts are written directly, and so are the fields of an object without
// change events; false, having done nothing, for the rest (word::set: events, unbound words ...).
[[gnu::always_inline]] inline bool set_directly(const Cell* w, const Cell* value) {
  const u32 ctx = w->w1;
  const i32 index = static_cast<i32>(w->w3);
  if (ctx && index >= 0) [[likely]] {
    // The global context is a plain one: its slots are written directly.
    if (SeriesBuffer* gv = global_values(ctx)) [[likely]] {
      if (static_cast<u32>(index) < (gv->tail - gv->head) / sizeof(Cell)) {
        gv->head_ptr<Cell>()[index] = *value;
        return true;
      }
    }
    const Cell* cc = buffer_of(Ref<Node>(ctx))->head_ptr<Cell>();
    const u32 values = cc->w2;
    const u32 k = (cc->header & context::flag::kind_mask) >> context::flag::kind_shift;
    if (values && k != context::object) {
      if (cc->header & context::flag::on_stack) {
        arena::at<Cell>(values)[index] = *value;
        return true;
      }
      SeriesBuffer* vb = buffer_of(Ref<Node>(values));
      if (static_cast<u32>(index) < (vb->tail - vb->head) / sizeof(Cell)) {
        vb->head_ptr<Cell>()[index] = *value;
        return true;
      }
    } else if (values && !(cc->header & context::flag::on_stack) && !context::owner_of(Ref<Node>(ctx))->w3) {
      // An object field whose owner hears of no change: the changed mark, and the value.
      SeriesBuffer* vb = buffer_of(Ref<Node>(values));
      if (static_cast<u32>(index) < (vb->tail - vb->head) / sizeof(Cell)) {
        context::word_at(Ref<Node>(ctx), index)->header |= context::changed_mark;
        vb->head_ptr<Cell>()[index] = *value;
        return true;
      }
    }
  }
  return false;
}

// Sets a word (a cell that stays put) to a value (another cell that stays put).
inline void set_word(Cell* w, const Cell* value) {
  if (!set_directly(w, value)) word::set(w, value);
}

// ---- Infix operators ------------------------------------------------------------------------------

// Arithmetic and comparison on two integers or two floats, inline; false when the generic path
// must run. The operands are the two cells at `left`; the result replaces the left one.
// `wrapped` and `code` are the operator's wrapped type and table slot.
[[gnu::always_inline]] inline bool fast_op(u32 wrapped, u32 code, Cell* left) {
  const Cell* right = left + 1;
  const u32 lt = left->type(), rt = right->type();
  if (lt == type::integer && rt == type::integer) {
    const i32 a = left->as_int(), b = right->as_int();
    if (wrapped == type::action) {
      i32 r;
      switch (code) {
        case action::slot::add:
          if (__builtin_add_overflow(a, b, &r)) float_::make_at(left, double(a) + double(b));
          else left->w2 = static_cast<u32>(r);
          return true;
        case action::slot::subtract:
          if (__builtin_sub_overflow(a, b, &r)) float_::make_at(left, double(a) - double(b));
          else left->w2 = static_cast<u32>(r);
          return true;
        case action::slot::multiply:
          if (__builtin_mul_overflow(a, b, &r)) float_::make_at(left, double(a) * double(b));
          else left->w2 = static_cast<u32>(r);
          return true;
        case action::slot::or_t: left->w2 = static_cast<u32>(a | b); return true;
        case action::slot::and_t: left->w2 = static_cast<u32>(a & b); return true;
        case action::slot::xor_t: left->w2 = static_cast<u32>(a ^ b); return true;
        default: return false;
      }
    }
    if (wrapped == type::native) {
      bool r;
      switch (static_cast<i32>(code)) {
        case natives::id::equal_q:
        case natives::id::strict_equal_q: r = a == b; break;
        case natives::id::not_equal_q: r = a != b; break;
        case natives::id::lesser_q: r = a < b; break;
        case natives::id::greater_q: r = a > b; break;
        case natives::id::lesser_or_equal_q: r = a <= b; break;
        case natives::id::greater_or_equal_q: r = a >= b; break;
        default: return false;
      }
      logic::box(left, r);
      return true;
    }
    return false;
  }
  if (lt == type::float_ && rt == type::float_ && wrapped == type::action) {
    const double a = left->as_double(), b = right->as_double();
    switch (code) {
      case action::slot::add: left->w1 = 0; left->set_double(a + b); return true;
      case action::slot::subtract: left->w1 = 0; left->set_double(a - b); return true;
      case action::slot::multiply: left->w1 = 0; left->set_double(a * b); return true;
      default: return false;
    }
  }
  return false;
}

// Whether an operator may take the inline path: an action or native with a numeric spec. The
// first call builds the operator's cache, which allocates: `op` (a word's slot) is read first.
[[gnu::noinline]] bool fast_candidate_slow(const Cell* op) {
  Cell copy = *op;
  RootCell keep(copy);
  return cache_summary(&copy) & spec_cache::fast_numeric;
}
// The walk is read again after building the cache (a collection may have moved its block).
[[gnu::always_inline]] inline bool fast_candidate(Walk& w, u32 wrapped, const Cell* op) {
  if (wrapped != type::action && wrapped != type::native) return false;
  const u32 more = op->w3;
  const SpecSlot& slot = spec_table[spec_hash(more)];
  if (slot.more == more) [[likely]]
    return slot.summary & spec_cache::fast_numeric;
  const bool fast = fast_candidate_slow(op);
  sync_now(w);
  return fast;
}

// Which kinds eval_other takes: everything that is not simply its own value.
constexpr bool evaluates(u32 t) {
  switch (t) {
    case type::word: case type::set_word: case type::paren: case type::lit_word: case type::get_word:
    case type::path: case type::get_path: case type::lit_path: case type::set_path: case type::native:
    case type::action: case type::function: case type::routine: case type::op: case type::issue:
      return true;
    default:
      return false;
  }
}
constexpr u64 evaluating_types = [] {
  u64 m = 0;
  for (u32 t = 0; t < 64; ++t)
    if (evaluates(t)) m |= u64{1} << t;
  return m;
}();

// The value of a cell when it needs no evaluation of its own: a literal is itself, a word whose
// value is neither a function, an operator nor unset is that value; null for everything else.
constexpr u64 not_simple_values = u64{1} << type::unset | u64{1} << type::op | u64{1} << type::native |
                                  u64{1} << type::action | u64{1} << type::function | u64{1} << type::routine;
[[gnu::always_inline]] inline const Cell* simple_value(const Cell* cur) {
  const u32 t = cur->type();
  if (t >= 64 || !((evaluating_types >> t) & 1)) return cur;
  if (t != type::word) return nullptr;
  const Cell* value = direct_value(cur);
  if (!value) return nullptr;
  const u32 vt = value->type();
  return vt >= 64 || ((not_simple_values >> vt) & 1) ? nullptr : value;
}

// Pushes the value at the walk's position when it is a simple value (above). Answers false
// (nothing done) for everything else, and always while tracing. The walk is synced: its callers
// read it just before, with no code run since.
template <bool T>
[[gnu::always_inline]] inline bool push_simple(Walk& w) {
  if (w.index >= w.tail || (T && tracing)) return false;
  const Cell* value = simple_value(w.cells + w.index);
  if (!value) return false;
  stack::push_value(value);
  ++w.index;
  return true;
}

// The generic call of the operator at op_index, its left operand at `start` (present 1) or both
// operands there (present 2): for what the inline path does not take (tracing, an operator without
// the numeric spec, a missing right operand, operands of other types).
[[gnu::noinline]] Exit infix_call(Walk& w, Cell* start, i32 op_index, i32 present) {
  // The operator is read again, its word from the block: building its cache or evaluating the
  // operand may have moved both.
  Cell name = view(w).cells[op_index];
  RootCell keep_name(name);
  const Cell* again = peek_value(&name);
  if (!again || again->type() != type::op) script_error("no-op-arg", name);
  Cell op = *again;
  RootCell keep_op(op);
  if (present == 1) {
    if (tracing) fire(event::fetch, &w, op_index, nullptr, &op);
    stack::top = start + 1;
  }
  return call_value(&w, &op, &name, present, nullptr, 0, Ref<Node>{});
}

// The infix look-ahead after a value was pushed at `start`, from an operator that after_value's
// inline steps do not take.
[[gnu::noinline]] Exit infix(Walk& w, Cell* start) {
  for (;;) {
    synced(w);
    if (w.index >= w.tail) return Exit::none;
    const Cell* next = w.cells + w.index;
    if (next->type() != type::word) return Exit::none;
    const Cell* value = peek_value(next);
    if (!value || value->type() != type::op) return Exit::none;
    const i32 op_index = w.index++;
    // The operator's wrapped type and table slot are all the inline path reads after the operand:
    // no node, so a collection meanwhile does not matter.
    const u32 wrapped = op::wrapped_type(value);
    const u32 code = value->w1;
    Exit e;
    if (!tracing && fast_candidate(w, wrapped, value) && w.index < w.tail) [[likely]] {
      stack::top = start + 1;
      // The right operand is one value or a prefix call, never a further infix chain.
      if (!push_simple(w)) {
        e = eval_expr(w, true);
        if (e != Exit::none) return e;
      }
      if (fast_op(wrapped, code, start)) [[likely]] {
        stack::top = start + 1;
        continue;
      }
      e = infix_call(w, start, op_index, 2);
    } else {
      e = infix_call(w, start, op_index, 1);
    }
    if (e != Exit::none) return e;
  }
}

// ---- Expressions ----------------------------------------------------------------------------------

// Fetches the arguments of a plain spec (spec_cache::plain) from the walk, checking each.
template <bool T = true>
[[gnu::always_inline]] inline void fetch_plain(Walk& w, const Cell* fn, const Frame* f, const Cell* entries,
                                               i32 mandatory, Exit* status, i32 from = 0) {
  // The cache's cells move only in a collection: their address is read again after one.
  collector::Epoch gc;
  for (i32 k = from; k < mandatory; ++k) {
    if (w.index >= synced(w).tail) [[unlikely]] raise_no_arg(f, fn, k);
    Cell* const at = stack::top;
    Exit e = push_simple<T>(w) ? after_value<T>(w, at) : eval_expr<T>(w, false);
    if (e != Exit::none) [[unlikely]] {
      *status = e;
      return;
    }
    if (gc.moved()) [[unlikely]] entries = cache_entry(fn, 0);
    const Cell* value = stack::top - 1;
    if (!accepts(entries + k, value->type())) [[unlikely]] raise_expect(f, fn, k, value);
  }
}

Exit call_pushed(Walk* c, const Cell* name);

// Runs a native or action of a plain spec whose frame `f` is on top with its arguments fetched.
[[gnu::always_inline]] inline Exit run_plain_native(const Cell* fn, u32 t, Frame* f) {
  const natives::Slot* s =
      t == type::native ? natives::native_slot(static_cast<i32>(fn->w1)) : natives::action_slot(static_cast<i32>(fn->w1));
  if (t == type::native && s && s->code && s->convention == natives::Convention::native && s->refinements == 0) {
    // Now, with the arguments taken (their evaluation may have read the walks again).
    before_call(t, fn->w1);
    Cell* const base = stack::arguments;
    try {
      return reinterpret_cast<natives::Proc<0>*>(s->code)(false);
    } catch (const ExitSignal& x) {
      // Back to the native's own registers: its frame is the top one again.
      stack::unwind_to(stack::Mark{f + 1, base, base + 1});
      return x.code;
    }
  }
  i32 refs[natives::max_refinements];
  std::fill(std::begin(refs), std::end(refs), -1);
  return run_native(fn, t, f, stack::arguments, refs);
}

// if, unless and either (call_conditional): with their condition fetched (the frame's base cell)
// and their blocks written in place, the branch taken runs straight from the walk, without the
// native's call and without copying the blocks as arguments. Answers false, having done nothing, for blocks that are
// not there as they stand (the native then takes its arguments as usual).
[[gnu::always_inline]] inline bool conditional(Walk& w, u32 id, Exit* status) {
  const i32 blocks = id == natives::id::either ? 2 : 1;
  synced(w);
  if (w.index + blocks > w.tail) return false;
  const Cell* const at = w.cells + w.index;
  if (at[0].type() != type::block || (blocks == 2 && at[1].type() != type::block)) return false;
  // An operator after the last block takes that block as its left operand.
  if (w.index + blocks < w.tail && at[blocks].type() == type::word) {
    const Cell* next = peek_value(at + blocks);
    if (next && next->type() == type::op) return false;
  }
  Cell* const base = stack::arguments;
  i32 taken;
  if (id == natives::id::either) taken = natives::detail::truth_of_value(base) ? 0 : 1;
  else taken = natives::detail::truth(base) == (id == natives::id::if_) ? 0 : -1;
  w.index += blocks;
  if (taken < 0) {
    *base = none::value;
    stack::top = base + 1;
    return true;
  }
  // eval_block reads the block's node and index before anything can move the walk's cells.
  *status = eval_block(at + taken, true);
  return true;
}

// A call met in a walk: the function value was pushed as the last cell and `name` is its word in
// the block (read before anything allocates). The common calls (a native, action or function with
// a plain spec, untraced) run here in one piece; every other call goes through call_value.
template <bool T>
[[gnu::noinline]] Exit call_word(Walk& w, const Cell* name) {
  Cell* const slot = stack::top - 1;
  const u32 t = slot->type();
  const SpecSlot& cached = spec_table[spec_hash(slot->w3)];
  if ((T && tracing) || cached.more != slot->w3 ||
      !(cached.summary & spec_cache::plain) || t == type::routine ||
      (t == type::function && (slot->header & (function::flag::trace | function::flag::no_trace)))) [[unlikely]]
    return call_pushed(&w, name);
  const i32 mandatory = static_cast<i32>(cached.summary & spec_cache::count_mask);
  // Copied now: the table's slot may be taken by another function while the arguments run.
  const Cell* const entries = cached.entries;
  Exit e = Exit::none;
  if (t == type::function) {
    // The context's cell is read once, and again only after a collection (which alone moves it):
    // each look-up is a chain of dependent loads.
    const Ref<Node> ctx = function::context_node(slot);
    Cell* cc = context::cell_of(ctx);
    Frame* f = stack::push_frame(name, stack::kind::interp_function);
    f->function_context = ctx.offset();
    f->saved_values = cc->w2;
    collector::Epoch gc;
    fetch_plain<T>(w, slot, f, entries, mandatory, &e);
    if (e != Exit::none) [[unlikely]] {
      stack::pop_function_frame();
      return e;
    }
    Cell* const base = stack::arguments;
    if (gc.moved()) [[unlikely]] {
      // The frame's copy of the context node is the one the collector keeps up to date.
      cc = context::cell_of(Ref<Node>(f->function_context));
    }
    cc->w2 = arena::offset_of(base);
    stack::running_context = f->function_context;
    stack::running_values = base;
    f->flag(stack::kind::return_target);
    e = run_body(slot, base);
    if (gc.moved()) [[unlikely]] {
      stack::pop_function_frame();
    } else {
      stack::restore_context(f, cc);
      stack::pop_frame();
    }
  } else {
    Frame* f = stack::push_eval_frame(name);
    fetch_plain<T>(w, slot, f, entries, mandatory, &e);
    if (e == Exit::none) [[likely]] e = run_plain_native(slot, t, f);
    stack::pop_frame();
  }
  if (e != Exit::none) [[unlikely]] return e;
  *slot = slot[1];
  stack::top = slot + 1;
  return Exit::none;
}

[[gnu::always_inline]] inline Exit call_pushed(Walk* c, const Cell* name) {
  // The function value was pushed as the last cell: it keeps the value alive during the call, and
  // the result moves down over it.
  Cell* slot = stack::top - 1;
  Exit e = call_value(c, slot, name, 0, nullptr, 0, Ref<Node>{});
  if (e != Exit::none) return e;
  *slot = slot[1];
  stack::top = slot + 1;
  return Exit::none;
}

[[gnu::always_inline]] inline const Cell* conditional_native(const Cell* value) {
  const u32 i = value->w1 - 1;
  return i < std::size(conditional_natives) && value->w3 == conditional_natives[i].w3 ? &conditional_natives[i] : nullptr;
}

// A call of if, unless or either met in a walk (`fn` its value above, `name` its word in the
// block, read before anything allocates), untraced. The branch taken runs straight from the walk
// when the blocks are written in place; otherwise the native is called as usual.
template <bool T>
[[gnu::noinline]] Exit call_conditional(Walk& w, const Cell* name, const Cell* fn) {
  Frame* f = stack::push_eval_frame(name);
  Cell* const base = stack::arguments;
  if (w.index >= w.tail) [[unlikely]] raise_no_arg(f, fn, 0);
  // The condition takes any type: nothing to check.
  Exit e = push_simple<T>(w) ? after_value<T>(w, base) : eval_expr<T>(w, false);
  if (e == Exit::none && !conditional(w, fn->w1, &e)) [[unlikely]] {
    const Cell* entries = nullptr;
    const i32 mandatory = static_cast<i32>(cache_summary(fn, &entries) & spec_cache::count_mask);
    fetch_plain<T>(w, fn, f, entries, mandatory, &e, 1);
    if (e == Exit::none) e = run_plain_native(fn, type::native, f);
  }
  stack::pop_frame();
  return e;
}

// A set-word at the start of an expression (the cell in the block at `at`, read before anything
// allocates): the value of the expression that follows is assigned and is the expression's value.
template <bool T = true>
[[gnu::always_inline]] inline Exit eval_set_word(Walk& w, const Cell* at) {
  stack::push_eval_frame(at);
  Cell* const base = stack::arguments;
  stack::push_value(at);
  // From here on the set-word is read from the stack, where it stays put.
  if (w.index >= synced(w).tail) [[unlikely]] script_error("need-value", *base);
  Exit e = push_simple<T>(w) ? after_value<T>(w, base + 1) : eval_expr<T>(w, false);
  if (e != Exit::none) [[unlikely]] {
    stack::pop_frame();
    return e;
  }
  if (T && tracing) [[unlikely]] fire(event::set, &w, w.index, base, base + 1);
  if (base[1].type() == type::unset) [[unlikely]] script_error("need-value", base[0]);
  set_word(base, base + 1);
  base[0] = base[1];
  stack::pop_frame();
  return Exit::none;
}

// ---- Common paths ------------------------------------------------------------------------------

[[gnu::noinline]] u32 find_field(u32 ctx, const Cell* element, FieldSlot* slot) {
  const i32 index = context::find_word(Ref<Node>(ctx), static_cast<i32>(element->w2), true);
  if (index >= 0) *slot = {ctx, element->w2, static_cast<u32>(index)};
  return static_cast<u32>(index);
}

// The value cell of the field that a word names in an object's context (its index in *index), or
// null when there is none to read directly. A word bound to that context names its own slot.
[[gnu::always_inline]] inline Cell* field_of(u32 ctx, const Cell* element, u32* index) {
  if (element->w1 == ctx && static_cast<i32>(element->w3) >= 0) {
    *index = element->w3;
  } else {
    FieldSlot& slot = field_table[(ctx * 0x9E3779B1u ^ element->w2 * 0x85EBCA77u) >> 24];
    *index = slot.context == ctx && slot.symbol == element->w2 ? slot.index : find_field(ctx, element, &slot);
  }
  const Cell* cc = buffer_of(Ref<Node>(ctx))->head_ptr<Cell>();
  if (!cc->w2 || (cc->header & context::flag::on_stack)) return nullptr;
  SeriesBuffer* vb = buffer_of(Ref<Node>(cc->w2));
  if (*index >= (vb->tail - vb->head) / sizeof(Cell)) return nullptr;
  return vb->head_ptr<Cell>() + *index;
}

// A path met in a walk, untraced (a cell that stays put): a function called with refinements, or
// two elements, a word naming a field of an object (read, written, or called as a method) or an
// integer picking from a block (read). It does what
// eval_path_at does for them, without walking the general way; false, having done nothing, for
// every other path and for whatever ends in an error or an event (eval_path_at takes those).
bool fast_path(Walk& w, const Cell* path, PathMode mode, const Cell* set_value, Exit* status) {
  SeriesBuffer* pb = buffer_of(Ref<Node>(path->w2));
  const i32 head = static_cast<i32>(path->w1);
  const i32 length = static_cast<i32>((pb->tail - pb->head) / sizeof(Cell)) - head;
  if (head < 0 || length < 2) return false;
  const Cell* const first = pb->head_ptr<Cell>() + head;
  const Cell* const element = first + 1;
  if (first->type() != type::word) return false;
  const Cell* holder = direct_value(first);
  if (!holder) return false;
  if (mode == PathMode::plain && function_type_q(holder->type())) {
    // A call with refinements: the rest of the path names them (the path cell stays put).
    const Cell name = *first;
    Cell* slot = stack::push_value(holder);
    *status = call_value(&w, slot, &name, 0, path, head + 1, Ref<Node>{});
    if (*status == Exit::none) {
      *slot = slot[1];
      stack::top = slot + 1;
    }
    return true;
  }
  if (length != 2) return false;
  if (holder->type() == type::object && element->type() == type::word) {
    const u32 ctx = holder->w1;
    u32 index;
    Cell* field = field_of(ctx, element, &index);
    if (!field) return false;
    if (mode == PathMode::set) {
      // An object with change events hears of the change: the general way.
      if (holder->w3) return false;
      context::word_at(Ref<Node>(ctx), static_cast<i32>(index))->header |= context::changed_mark;
      *field = *set_value;
      stack::push_value(set_value);
      return true;
    }
    const u32 t = field->type();
    if (t == type::unset) return false;
    if (mode == PathMode::plain && function_type_q(t)) {
      // A method, called through its object: the frame's word is bound to the object.
      Cell name = *element;
      if (Ref<Node>(ctx) != context::global()) name.w1 = ctx;
      stack::push_value(field);
      *status = call_word<true>(w, &name);
      return true;
    }
    stack::push_value(field);
    return true;
  }
  if (holder->type() == type::block && element->type() == type::integer && mode != PathMode::set) {
    const i32 n = element->as_int();
    SeriesBuffer* b = buffer_of(Ref<Node>(holder->w2));
    const i64 at = i64{static_cast<i32>(holder->w1)} + (n > 0 ? n - 1 : n);
    const Cell* value = &none::value;
    if (n != 0 && at >= 0 && at < static_cast<i64>((b->tail - b->head) / sizeof(Cell))) value = b->head_ptr<Cell>() + at;
    if (mode == PathMode::plain && function_type_q(value->type())) return false;
    stack::push_value(value);
    return true;
  }
  return false;
}

// The less common kinds of value at the start of an expression (the cell in the block at `at`);
// pushes the value.
[[gnu::noinline]] Exit eval_other(Walk& w, const Cell* at) {
  Cell cur = *at;
  switch (cur.type()) {
    case type::word: {
      // Unbound, unset, or an operator without its left operand.
      RootCell keep(cur);
      const Cell* value = value_of(&cur);
      const u32 t = value->type();
      if (t == type::unset) script_error("no-value", cur);
      if (t == type::op) script_error("no-op-arg", cur);
      stack::push_value(value);
      if (function_type_q(t)) return call_pushed(&w, &cur);
      return Exit::none;
    }
    case type::set_word:
      return eval_set_word(w, &cur);
    case type::paren:
      return eval_block(&cur, false);
    case type::lit_word:
      cell::set_type(&cur, type::word);
      stack::push_value(&cur);
      return Exit::none;
    case type::get_word:
      stack::push_value(value_of(&cur));
      return Exit::none;
    case type::path: {
      RootCell keep(cur);
      Exit e = Exit::none;
      if (!tracing && fast_path(w, &cur, PathMode::plain, nullptr, &e)) return e;
      return eval_path_at(&w, &cur, PathMode::plain, nullptr, false);
    }
    case type::get_path: {
      RootCell keep(cur);
      return eval_path_at(&w, &cur, PathMode::get, nullptr, false);
    }
    case type::lit_path:
      cur.header = (cur.header & ~header::type_mask) | type::path;
      stack::push_value(&cur);
      return Exit::none;
    case type::set_path: {
      RootCell keep(cur);
      stack::push_eval_frame(&static_word(static_words::wid::set_path));
      Cell* base = stack::arguments;
      if (!more_q(&w)) script_error("need-value", cur);
      Exit e = eval_expr(w, false);
      if (e == Exit::none) {
        if (tracing) fire(event::set, &w, w.index, &cur, base);
        if (tracing || !fast_path(w, &cur, PathMode::set, base, &e))
          e = eval_path_at(nullptr, &cur, PathMode::set, base, false);
      }
      if (e != Exit::none) {
        stack::pop_frame();
        return e;
      }
      stack::top = base + 1;
      stack::pop_frame();
      return Exit::none;
    }
    case type::native:
    case type::action:
    case type::function:
    case type::routine:
      stack::push_value(&cur);
      return call_pushed(&w, &static_word(static_words::wid::anon));
    case type::op:
      raise_error(ErrorCategory::internal, "not-done");
    case type::issue: {
      if (more_q(&w) && view(w).cells[w.index].type() == type::block) {
        i32 sym = symbol::resolve(word::symbol_of(&cur));
        if (sym == symbol::resolve(static_symbol(static_words::sym::system)) ||
            sym == symbol::resolve(static_symbol(static_words::sym::system_global)))
          raise_error(ErrorCategory::internal, "kiv-system");
      }
      stack::push_value(&cur);
      return Exit::none;
    }
    default:
      stack::push_value(&cur);
      return Exit::none;
  }
}

// The walk is synced on entry: every caller has just read it (and found an expression there).
template <bool T>
[[gnu::always_inline]] inline Exit eval_expr_inline(Walk& w, bool no_infix) {
  Cell* const start = stack::top;
  const Cell* cur = w.cells + w.index++;
  if (T && tracing) [[unlikely]] {
    Cell copy = *cur;
    fire(event::fetch, &w, w.index - 1, nullptr, &copy);
    cur = view(w).cells + w.index - 1;
  }
  const u32 t = cur->type();
  if (t == type::word) [[likely]] {
    // The word's cell stays valid until something allocates: the value is pushed first, and a
    // call takes the word into its frame before anything else.
    const Cell* value = direct_value(cur);
    const u32 vt = value ? value->type() : type::unset;
    if (vt != type::unset && vt != type::op) [[likely]] {
      const Cell* fn = vt == type::native && !(T && tracing) ? conditional_native(value) : nullptr;
      if (fn) {
        Exit e = call_conditional<T>(w, cur, fn);
        if (e != Exit::none) return e;
      } else {
        stack::push_value(value);
        if (function_type_q(vt)) {
          Exit e = call_word<T>(w, cur);
          if (e != Exit::none) return e;
        }
      }
    } else {
      Exit e = eval_other(w, cur);
      if (e != Exit::none) return e;
    }
  } else if (t == type::set_word) {
    Exit e = eval_set_word<T>(w, cur);
    if (e != Exit::none) return e;
  } else if (t == type::paren) {
    // eval_block reads the paren's node and index before anything can move the cell.
    Exit e = eval_block(cur, false);
    if (e != Exit::none) return e;
  } else if (t < 64 && ((evaluating_types >> t) & 1)) {
    Exit e = eval_other(w, cur);
    if (e != Exit::none) return e;
  } else {
    stack::push_value(cur);
  }
  if (T && tracing) [[unlikely]] fire(event::push, &w, w.index, nullptr, start);
  if (no_infix) return Exit::none;
  return after_value<T>(w, start);
}

// The infix look-ahead after a value was pushed at `start`. The common steps (an operator with the
// numeric spec, untraced, on two integers or two floats) run inline here; infix() takes the rest.
template <bool T>
[[gnu::always_inline]] inline Exit after_value(Walk& w, Cell* start) {
  for (;;) {
    synced(w);
    if (w.index >= w.tail) return Exit::none;
    const Cell* next = w.cells + w.index;
    if (next->type() != type::word) return Exit::none;
    const Cell* value = peek_value(next);
    if (!value || value->type() != type::op) return Exit::none;
    const u32 wrapped = op::wrapped_type(value);
    const u32 code = value->w1;
    if ((T && tracing) || !fast_candidate(w, wrapped, value) || w.index + 1 >= w.tail) [[unlikely]]
      return infix(w, start);
    const i32 op_index = w.index++;
    stack::top = start + 1;
    // The right operand is one value or a prefix call, never a further infix chain.
    if (!push_simple<T>(w)) {
      const Exit e = eval_expr<T>(w, true);
      if (e != Exit::none) return e;
    }
    if (fast_op(wrapped, code, start)) [[likely]] {
      stack::top = start + 1;
      continue;
    }
    const Exit e = infix_call(w, start, op_index, 2);
    if (e != Exit::none) return e;
  }
}

template <bool T>
Exit eval_expr(Walk& w, bool no_infix) { return eval_expr_inline<T>(w, no_infix); }

}  // namespace

namespace detail {

Exit eval_argument(Walk& w, bool infix) {
  Cell* const at = stack::top;
  return push_simple(w) ? (infix ? Exit::none : after_value(w, at)) : eval_expr(w, infix);
}

}  // namespace detail

bool assign_directly(const Cell* word, const Cell* value) { return set_directly(word, value); }

// ---- Public entries ------------------------------------------------------------------------------

// The value of a block holding one simple value, else null. Such a block needs no frame: nothing
// in it can fail, allocate or be traced.
[[gnu::always_inline]] inline const Cell* lone_simple_value(const Cell* cells, i32 index, i32 tail) {
  if (tail - index != 1 || tracing) return nullptr;
  return simple_value(cells + index);
}

// eval_block's walk (T: see the forward declarations of eval_expr and its steps).
template <bool T>
[[gnu::always_inline]] inline Exit walk_block(Ref<Node> node, i32 index, const Cell* cells, i32 tail, bool chain) {
  check_native_stack();
  Frame* f = stack::push_block_frame(node, index);
  Walk w{f, index, cells, tail, epoch};
  Cell* const base = stack::arguments;
  if (T && tracing) fire(event::enter, &w, index, nullptr, nullptr);
  if (w.index >= synced(w).tail) {
    *base = unset::value;
    stack::top = base + 1;
  } else {
    try {
      for (;;) {
        f->set_expr_index(w.index);
        stack::top = base;
        Exit e = eval_expr_inline<T>(w, false);
        if (e != Exit::none) [[unlikely]] {
          stack::pop_frame();
          return e;
        }
#ifdef KIV_DEBUG_CHECKS
        // Every expression leaves exactly its value, and every frame it pushed is gone.
        KIV_DEBUG_ASSERT(stack::top == base + 1 && stack::frame_top == f + 1, "stacks unbalanced after an expression");
#endif
        if (T && tracing) fire(event::expr, &w, w.index, nullptr, base);
        if (w.index >= synced(w).tail) break;
      }
    } catch (const ExitSignal& x) {
      // An exit from a callback that C++ code ran (a change handler, a comparator ...) becomes a
      // status again here, with this block's frame on top.
      stack::unwind_to(stack::Mark{f + 1, base, base + 1});
      stack::pop_frame();
      return x.code;
    }
  }
  if (T && tracing) fire(event::exit, &w, w.index, nullptr, base);
  if (chain) stack::pop_frame_result();
  else stack::pop_frame();
  return Exit::none;
}

[[gnu::noinline]] Exit walk_block_traced(Ref<Node> node, i32 index, const Cell* cells, i32 tail, bool chain) {
  return walk_block<true>(node, index, cells, tail, chain);
}

Exit eval_block(const Cell* block, bool chain) {
  const i32 index = std::max(block::head_index(block), 0);
  const Ref<Node> node(block->w2);
  const SeriesBuffer* b = buffer_of(node);
  const Cell* const cells = arena::at<Cell>(b->head);
  const i32 tail = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
  if (const Cell* v = lone_simple_value(cells, index, tail)) {
    Cell* const at = stack::push_value(v);
    if (chain) *stack::arguments = *at;
    return Exit::none;
  }
  if (tracing) [[unlikely]] return walk_block_traced(node, index, cells, tail, chain);
  return walk_block<false>(node, index, cells, tail, chain);
}

Walk begin(const Cell* block) {
  check_native_stack();
  const i32 index = std::max(block::head_index(block), 0);
  Frame* f = stack::push_block_frame(Ref<Node>(block->w2), index);
  return Walk{f, index};
}

// The natives walking a block may do anything between two steps: the block is read afresh.
bool at_end(const Walk& w) { return w.index >= view(w.frame).tail; }

Exit next(Walk& w, bool push) {
  resync(w);
  w.frame->set_expr_index(w.index);
  Cell* const base = stack::arguments;
  Cell* const top = push ? stack::top : base;
  stack::top = top;
  try {
    return eval_expr(w, false);
  } catch (const ExitSignal& x) {
    stack::unwind_to(stack::Mark{w.frame + 1, base, top});
    return x.code;
  }
}

Cell* position(const Walk& w, Cell* out) {
  *out = Cell{type::block, static_cast<u32>(w.index), w.frame->block_node().offset(), 0};
  return out;
}

void end(const Walk&) { stack::pop_frame(); }
void end_result(const Walk&) { stack::pop_frame_result(); }
void end_reset(const Walk&) { stack::pop_frame_reset(); }

Exit eval_value(const Cell* value_in) {
  Cell v = *value_in;
  RootCell keep(v);
  switch (v.type()) {
    case type::block:
    case type::paren:
    case type::hash:
      return eval_block(&v, false);
    case type::path:
      return eval_path_at(nullptr, &v, PathMode::plain, nullptr, false);
    case type::get_path:
      return eval_path_at(nullptr, &v, PathMode::get, nullptr, false);
    case type::lit_path:
      cell::set_type(&v, type::path);
      stack::push_value(&v);
      return Exit::none;
    case type::word: {
      const Cell* value = value_of(&v);
      if (function_type_q(value->type())) {
        stack::push_value(value);
        return call_pushed(nullptr, &v);
      }
      if (value->type() == type::unset) script_error("no-value", v);
      if (value->type() == type::op) script_error("no-op-arg", v);
      stack::push_value(value);
      return Exit::none;
    }
    case type::get_word:
      stack::push_value(value_of(&v));
      return Exit::none;
    case type::lit_word:
      cell::set_type(&v, type::word);
      stack::push_value(&v);
      return Exit::none;
    case type::set_word:
    case type::set_path:
      script_error("need-value", v);
    case type::native:
    case type::action:
    case type::function:
    case type::routine:
      stack::push_value(&v);
      return call_pushed(nullptr, &static_word(static_words::wid::anon));
    default:
      stack::push_value(&v);
      return Exit::none;
  }
}

}  // namespace kiv::interpreter
