// Tracing: the events a callback selects, installing and removing the callback, and reporting
// events to it (fire for the interpreter's own steps, fire_event for everyone).
//
// Invariant: the callback runs untraced; tracing comes back on only when it returns normally.
#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/symbol.h"
#include "evaluator/interp_internal.h"
#include "runtime/roots.h"

namespace kiv::interpreter {

using namespace detail;

namespace detail {

void fire(u32 event, const Walk* w, i32 index, const Cell* reference, const Cell* value) {
  Cell blk = none::value;
  if (w) blk = Cell{type::block, 0, w->frame->block_node().offset(), 0};
  RootCell keep(blk);
  Exit e = fire_event(event, w ? &blk : nullptr, index, reference, value);
  if (e != Exit::none) stack::raise_exit(e);
}

}  // namespace detail

u32 trace_mask_of(const Cell* callback) {
  if (callback->type() != type::function) return event::all;
  Cell body = *function::more_cell(callback, function::more::body);
  if (body.type() != type::block || block::length(&body) == 0) return event::all;
  const Cell* first = block::cell_at(&body, block::head_index(&body));
  if (first->type() != type::block) return event::all;
  static const struct {
    u32 wid;
    u32 bit;
  } names[] = {
      {static_words::wid::init, event::init},       {static_words::wid::end, event::end},
      {static_words::wid::prolog, event::prolog},   {static_words::wid::epilog, event::epilog},
      {static_words::wid::enter, event::enter},     {static_words::wid::exit, event::exit},
      {static_words::wid::open, event::open},       {static_words::wid::return_, event::return_},
      {static_words::wid::fetch, event::fetch},     {static_words::wid::push, event::push},
      {static_words::wid::sym_set, event::set},     {static_words::wid::call, event::call},
      {static_words::wid::error, event::error},     {static_words::wid::throw_, event::throw_},
      {static_words::wid::catch_, event::catch_},   {static_words::wid::expr, event::expr},
  };
  u32 mask = 0;
  Cell events = *first;
  for (i32 i = 0, n = block::length(&events); i < n; ++i) {
    const Cell* e = block::cell_at(&events, block::head_index(&events) + i);
    if (e->type() != type::word) continue;
    const i32 s = symbol::resolve(word::symbol_of(e));
    for (const auto& nm : names) {
      if (static_words::word_roots[nm.wid] && symbol::resolve(word::symbol_of(static_words::word(nm.wid))) == s)
        mask |= nm.bit;
    }
  }
  return mask;
}

TraceState install_trace(const Cell* callback) {
  TraceState saved{tracing, trace_master, trace_mask};
  if (tracing) return saved;  // tracing that is already on is left as it is
  trace_callback = *callback;
  trace_mask = trace_mask_of(callback);
  trace_master = true;
  tracing = true;
  return saved;
}

void uninstall_trace(const TraceState& saved) {
  tracing = saved.tracing;
  trace_master = saved.master;
  trace_mask = saved.mask;
}

Exit fire_event(u32 ev, const Cell* block, i32 index, const Cell* reference, const Cell* value) {
  if (!tracing || !(trace_mask & ev)) return Exit::none;
  if (trace_callback.type() != type::function) return Exit::none;
  static const u32 words[] = {
      static_words::wid::init,   static_words::wid::end,    static_words::wid::prolog, static_words::wid::epilog,
      static_words::wid::enter,  static_words::wid::exit,   static_words::wid::open,   static_words::wid::return_,
      static_words::wid::fetch,  static_words::wid::push,   static_words::wid::sym_set, static_words::wid::call,
      static_words::wid::error,  static_words::wid::throw_, static_words::wid::catch_, static_words::wid::expr,
  };
  u32 bit = 0;
  while ((1u << bit) != ev && bit < 16) ++bit;
  Cell args[6]{};  // zeroed: make_at keeps the header bits it finds
  args[0] = bit < 16 ? static_word(words[bit]) : none::value;
  args[1] = block ? *block : none::value;
  i32 length = block ? series::total_length(block) : 0;
  integer::make_at(&args[2], block && index >= 0 && index <= length ? index : -1);
  args[3] = value ? *value : none::value;
  args[4] = reference ? *reference : none::value;
  // The stack registers as cell indexes: a pair! of the arguments base and the value top.
  args[5] = Cell{type::pair, 0, static_cast<u32>(stack::arguments - stack::bottom),
                 static_cast<u32>(stack::top - stack::bottom)};
  RootCell k0(args[0]), k1(args[1]), k3(args[3]), k4(args[4]);
  Cell fn = trace_callback;
  RootCell keep_fn(fn);
  Cell* const saved_top = stack::top;
  Frame* const saved_frames = stack::frame_top;
  Cell result = none::value;
  RootCell keep_result(result);
  // The callback runs untraced; an error or an exit it raises passes on with tracing left off.
  tracing = false;
  const Exit e = call_function(&fn, std::span<const Cell>(args, 6), &result, nullptr, Ref<Node>{}, 0);
  if (e != Exit::none) return e;
  tracing = true;
  stack::top = saved_top;
  stack::frame_top = saved_frames;
  return Exit::none;
}

}  // namespace kiv::interpreter
