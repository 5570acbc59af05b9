#include "evaluator/interpreter.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/frame_words.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/path.h"
#include "datatypes/routine.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "evaluator/catch.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/sys.h"

namespace kiv::interpreter {

using stack::Frame;

namespace {

// ---- Small helpers ----------------------------------------------------------------------------

[[noreturn]] void script_error(const char* id, const Cell& a1) { raise_error(ErrorCategory::script, id, a1); }
[[noreturn]] void script_error(const char* id, const Cell& a1, const Cell& a2) {
  raise_error(ErrorCategory::script, id, a1, a2);
}
[[noreturn]] void stack_overflow() {
  mold::reset_cycles();
  raise_error(ErrorCategory::internal, "stack-overflow");
}

inline void check_native_stack() {
  if (!sys::stack_ok()) [[unlikely]] stack_overflow();
}

const Cell& static_word(u32 wid) {
  return static_words::word_roots[wid] ? *static_words::word(wid) : none::value;
}
i32 static_symbol(u32 sym) { return static_words::symbol(sym); }

bool function_type_q(u32 t) {
  return t == type::native || t == type::action || t == type::function || t == type::routine;
}

// Whether a typeset! holds type t: bit 0x80 >> (t & 7) of byte t >> 3 of the 12 bytes from word 1,
// read from the words themselves (a byte copy of the cell stalls the load that follows it).
[[gnu::always_inline]] inline bool accepts(const Cell* typeset, u32 t) {
  if (t >= 96) [[unlikely]] return false;
  const u32 word = t < 32 ? typeset->w1 : t < 64 ? typeset->w2 : typeset->w3;
  return word >> (((t >> 3) & 3) * 8 + 7 - (t & 7)) & 1;
}

// The cells of a block frame's block, re-read after anything that may allocate.
struct View {
  Cell* cells;
  i32 tail;
};
inline View view(const Frame* f) {
  SeriesBuffer* b = buffer_of(Ref<Node>(f->word_context));
  return {b->head_ptr<Cell>(), static_cast<i32>((b->tail - b->head) / sizeof(Cell))};
}
// The evaluation epoch (see Walk): advanced by every collection and by every call that may change
// a series (the only ways a block being walked can change or move): an action, a routine, a path
// step, a native that is not known to leave series alone. A function! call changes nothing by
// itself: what its body calls advances the epoch where needed.
u32 epoch = 1;
inline void advance_epoch() {
  if (++epoch == 0) epoch = 1;
}
// The natives that change no series themselves (they evaluate blocks, compare, or set words).
constexpr std::array<bool, natives::slot_count + 1> series_neutral_natives = [] {
  std::array<bool, natives::slot_count + 1> m{};
  for (i32 id : {natives::id::if_, natives::id::unless, natives::id::either, natives::id::any, natives::id::all,
                 natives::id::while_, natives::id::until, natives::id::loop, natives::id::repeat,
                 natives::id::forever, natives::id::switch_, natives::id::case_, natives::id::equal_q,
                 natives::id::not_equal_q, natives::id::strict_equal_q, natives::id::lesser_q,
                 natives::id::greater_q, natives::id::lesser_or_equal_q, natives::id::greater_or_equal_q,
                 natives::id::same_q, natives::id::not_, natives::id::type_q, natives::id::negative_q,
                 natives::id::positive_q, natives::id::max, natives::id::min, natives::id::value_q})
    m[id] = true;
  return m;
}();
// Before calling a function value of type t (an operator's wrapped type) with table slot `slot`.
[[gnu::always_inline]] inline void before_call(u32 t, u32 slot) {
  if (t == type::function) return;
  if (t == type::native && slot < series_neutral_natives.size() && series_neutral_natives[slot]) return;
  advance_epoch();
}
[[gnu::always_inline]] inline void sync_now(Walk& w) {
  const SeriesBuffer* b = buffer_of(Ref<Node>(w.frame->word_context));
  w.cells = arena::at<Cell>(b->head);
  w.tail = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
  w.epoch = epoch;
}
[[gnu::noinline]] void resync(Walk& w) { sync_now(w); }
// The walk's block as it stands now.
[[gnu::always_inline]] inline Walk& synced(Walk& w) {
  if (w.epoch != epoch) sync_now(w);
  return w;
}
[[gnu::always_inline]] inline View view(Walk& w) {
  synced(w);
  return {const_cast<Cell*>(w.cells), w.tail};
}
inline bool more_q(Walk* c) { return c && c->index < view(*c).tail; }

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

// ---- Words ------------------------------------------------------------------------------------

// Most words are global: the global context's node and values buffer are kept here until a
// collection (which drops them: nodes and buffers move) or until growth replaces the buffer (the
// memory manager tells, and they are dropped then too).
struct GlobalValues {
  u32 context = 0;  // 0: not read yet, or dropped
  u32 count = 0;    // values the buffer held when read: values are only ever added, so a lower bound
  SeriesBuffer* values = nullptr;
  Cell* cells = nullptr;
};
GlobalValues globals;

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
// The global context's values buffer when ctx is the global context, else null.
[[gnu::always_inline]] inline SeriesBuffer* global_values(u32 ctx) {
  if (ctx == globals.context) [[likely]] return globals.values;
  return globals.context ? nullptr : read_globals(ctx);
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

// The value cell of a word in a context that has values; null when it cannot be read directly.
// A global word, or a word of the function running, is read from what the caches above hold.
[[gnu::always_inline]] inline Cell* direct_value(const Cell* w) {
  const u32 ctx = w->w1;
  const u32 index = w->w3;
  if (ctx == globals.context && index < globals.count) [[likely]] return globals.cells + index;
  if (ctx == stack::running_context && ctx && static_cast<i32>(index) >= 0) return stack::running_values + index;
  return context_value(ctx, static_cast<i32>(index));
}

// The value cell of a bound word (valid until the next allocation); raises like word::get_value.
inline Cell* value_of(const Cell* w) {
  if (Cell* v = direct_value(w)) [[likely]] return v;
  return word::get_value(w);
}

// The value of a word when it can be read without an error (infix look-ahead), else null.
[[gnu::always_inline]] inline const Cell* peek_value(const Cell* w) { return direct_value(w); }

// Sets a word (a cell that stays put) to a value (another cell that stays put). Function and
// plain contexts are written directly; object fields go through word::set (changed mark, events).
inline void set_word(Cell* w, const Cell* value) {
  const u32 ctx = w->w1;
  const i32 index = static_cast<i32>(w->w3);
  if (ctx && index >= 0) [[likely]] {
    // The global context is a plain one: its slots are written directly.
    if (SeriesBuffer* gv = global_values(ctx)) [[likely]] {
      if (static_cast<u32>(index) < (gv->tail - gv->head) / sizeof(Cell)) {
        gv->head_ptr<Cell>()[index] = *value;
        return;
      }
    }
    const Cell* cc = buffer_of(Ref<Node>(ctx))->head_ptr<Cell>();
    const u32 values = cc->w2;
    const u32 k = (cc->header & context::flag::kind_mask) >> context::flag::kind_shift;
    if (values && k != context::object) {
      if (cc->header & context::flag::on_stack) {
        arena::at<Cell>(values)[index] = *value;
        return;
      }
      SeriesBuffer* vb = buffer_of(Ref<Node>(values));
      if (static_cast<u32>(index) < (vb->tail - vb->head) / sizeof(Cell)) {
        vb->head_ptr<Cell>()[index] = *value;
        return;
      }
    }
  }
  word::set(w, value);
}

// ---- The argument-spec cache ------------------------------------------------------------------
//
// Kept as a block in cell 1 of the function value's auxiliary block (shared by every copy of the
// value and by operators made from it), built on the first call. Entries, in spec order:
// - a typeset! per argument, the accepted types, with the argument's mode in header bits 20-21
//   (0 evaluated, 1 get-word: as it stands, 2 lit-word: as it stands but parens, get-words and
//   get-paths evaluated);
// - a refinement! per refinement: w1 0 (no context: the collector reads w1 of word cells), w2 its
//   symbol, w3 its position among the argument cells of a function! call; header bit 20 marks /local
//   (never a path refinement), bits 21-28 hold its number (1-based); the typesets of its arguments
//   follow it.
// The cache cell's w3 summarises: bits 0-15 the mandatory argument count, then the flags below.
namespace spec_cache {
constexpr u32 mode_shift = 20;
constexpr u32 local_flag = 1u << 20;
constexpr u32 number_shift = 21;
constexpr u32 count_mask = 0xFFFF;
constexpr u32 has_more = 1u << 16;      // refinements or locals follow the mandatory arguments
constexpr u32 fast_numeric = 1u << 17;  // the first two arguments take integer! and float!, evaluated
constexpr u32 plain = 1u << 18;         // mandatory arguments only, every one evaluated
constexpr u32 built = 1u << 31;
}  // namespace spec_cache

inline i32 refinement_number(const Cell* entry) {
  return static_cast<i32>(entry->header >> spec_cache::number_shift & 0xFF);
}

inline Cell* more_cells(const Cell* fn) { return buffer_of(Ref<Node>(fn->w3))->head_ptr<Cell>(); }

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

inline u32 cache_summary_slow(const Cell* fn) {
  const Cell* c = more_cells(fn) + 1;
  if (c->type() == type::block && (c->w3 & spec_cache::built)) [[likely]] return c->w3;
  return build_cache(fn);
}

// A direct-mapped table from auxiliary-block node to summary and cache cells, emptied by every
// collection (nodes and the cache's cells move only then, and a cache never changes).
struct SpecSlot {
  u32 more;  // 0: empty
  u32 summary;
  const Cell* entries;
};
SpecSlot spec_table[256];
inline u32 spec_hash(u32 node) { return (node * 0x9E3779B1u) >> 24; }

inline u32 cache_summary(const Cell* fn, const Cell** entries = nullptr) {
  SpecSlot& slot = spec_table[spec_hash(fn->w3)];
  if (slot.more == fn->w3) [[likely]] {
    if (entries) *entries = slot.entries;
    return slot.summary;
  }
  const u32 summary = cache_summary_slow(fn);
  const Cell* c = more_cells(fn) + 1;
  const Cell* cells = buffer_of(Ref<Node>(c->w2))->head_ptr<Cell>();
  SpecSlot& fresh = spec_table[spec_hash(fn->w3)];
  fresh = {fn->w3, summary, cells};
  if (entries) *entries = cells;
  return summary;
}
// Entry k of the cache (the cache exists); valid until the next allocation.
inline Cell* cache_entry(const Cell* fn, i32 k) {
  const Cell* c = more_cells(fn) + 1;
  return buffer_of(Ref<Node>(c->w2))->head_ptr<Cell>() + k;
}
inline i32 cache_length(const Cell* fn) {
  const Cell* c = more_cells(fn) + 1;
  SeriesBuffer* b = buffer_of(Ref<Node>(c->w2));
  return static_cast<i32>((b->tail - b->head) / sizeof(Cell));
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

// ---- Forward declarations -------------------------------------------------------------------------

// The walk's own steps come in two builds: T false for a walk that began untraced (tracing, which
// only a call turns on, and which every call restores on the way out, stays off through it), T
// true for every other caller, which tests the tracing flag at each event.
template <bool T = true> Exit eval_expr(Walk& w, bool no_infix);
template <bool T = true> bool push_simple(Walk& w);
template <bool T = true> Exit after_value(Walk& w, Cell* start);
Exit call_value(Walk* c, const Cell* fn, const Cell* name, i32 present, const Cell* path, i32 path_from,
                Ref<Node> object_ctx);
Exit eval_path_at(Walk* c, const Cell* path, PathMode mode, const Cell* value, bool case_);

// ---- Tracing helpers --------------------------------------------------------------------------

Cell trace_callback{type::none, 0, 0, 0};

// The values if, unless and either were made with (roots: the collector keeps their nodes
// current). A value sharing one's auxiliary block shares its spec, the condition and the blocks:
// its calls need neither the spec's cache nor the value on the stack.
Cell conditional_natives[3] = {none::value, none::value, none::value};

void trace_root() {
  collector::mark_cell(&trace_callback);
  for (Cell& c : conditional_natives) collector::mark_cell(&c);
  // Buffers and nodes move in this collection: every walk reads its block again, and the caches
  // of addresses start afresh.
  advance_epoch();
  globals = GlobalValues{};
  std::memset(spec_table, 0, sizeof spec_table);
}

void fire(u32 event, const Walk* w, i32 index, const Cell* reference, const Cell* value) {
  Cell blk = none::value;
  if (w) blk = Cell{type::block, 0, w->frame->word_context, 0};
  RootCell keep(blk);
  Exit e = fire_event(event, w ? &blk : nullptr, index, reference, value);
  if (e != Exit::none) stack::raise_exit(e);
}

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
    Exit e = eval_expr(*c, infix);
    if (e != Exit::none) return e;
  } else {
    View v = view(*c);
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
  u32 cycles = collector::series_cycles;
  for (i32 k = present; k < mandatory; ++k) {
    const u32 mode = entries[k].header >> spec_cache::mode_shift & 3;
    if (mode == 0 && c && c->index < synced(*c).tail) [[likely]] {
      Cell* const at = stack::top;
      Exit e = push_simple(*c) ? (infix ? Exit::none : after_value(*c, at)) : eval_expr(*c, infix);
      if (e != Exit::none) [[unlikely]] return e;
      if (cycles != collector::series_cycles) [[unlikely]] {
        cycles = collector::series_cycles;
        entries = cache_entry(fn, 0);
      }
      const Cell* value = stack::top - 1;
      if (!accepts(entries + k, value->type())) [[unlikely]] raise_expect(f, fn, k, value);
      continue;
    }
    const Cell entry = entries[k];
    Exit e = fetch_one(c, entry, infix, f, fn, word_index_of_entry(k));
    if (e != Exit::none) [[unlikely]] return e;
    if (cycles != collector::series_cycles) [[unlikely]] {
      cycles = collector::series_cycles;
      entries = cache_entry(fn, 0);
    }
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

// Evaluates the body of a function whose frame is on top (its base cell `base`) into that base
// cell; return and exit end it with their value.
[[gnu::always_inline]] inline Exit run_body(const Cell* fn, Cell* base) {
  const Cell* body = function::more_cell(fn, function::more::body);
  Exit e = Exit::none;
  if (body->type() == type::block) [[likely]] {
    e = eval_block(body, true);
  } else {
    *base = unset::value;
    stack::top = base + 1;
  }
  if (e == Exit::return_ || e == Exit::exit) {
    *base = stack::exit_value;
    e = Exit::none;
  }
  return e;
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
      if (tracing) {
        Cell nm = frame_word(f);
        fire(event::call, c, c ? c->index : -1, &nm, fn);
      }
      Cell* base = stack::arguments;
      // The frame's copy of the context node is the one the collector keeps up to date.
      context::cell_of(Ref<Node>(f->function_context))->w2 = arena::offset_of(base);
      stack::running_context = f->function_context;
      stack::running_values = base;
      f->header |= stack::kind::return_target << 24;
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
        stack::top = base + std::max(routine::get_arity(r), 1);
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
  u32 cycles = collector::series_cycles;
  for (i32 k = from; k < mandatory; ++k) {
    if (w.index >= synced(w).tail) [[unlikely]] raise_no_arg(f, fn, k);
    Cell* const at = stack::top;
    Exit e = push_simple<T>(w) ? after_value<T>(w, at) : eval_expr<T>(w, false);
    if (e != Exit::none) [[unlikely]] {
      *status = e;
      return;
    }
    if (cycles != collector::series_cycles) [[unlikely]] {
      cycles = collector::series_cycles;
      entries = cache_entry(fn, 0);
    }
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
    u32 cycles = collector::series_cycles;
    fetch_plain<T>(w, slot, f, entries, mandatory, &e);
    if (e != Exit::none) [[unlikely]] {
      stack::pop_function_frame();
      return e;
    }
    Cell* const base = stack::arguments;
    if (cycles != collector::series_cycles) [[unlikely]] {
      cycles = collector::series_cycles;
      // The frame's copy of the context node is the one the collector keeps up to date.
      cc = context::cell_of(Ref<Node>(f->function_context));
    }
    cc->w2 = arena::offset_of(base);
    stack::running_context = f->function_context;
    stack::running_values = base;
    f->header |= stack::kind::return_target << 24;
    e = run_body(slot, base);
    if (cycles != collector::series_cycles) [[unlikely]] {
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

template <bool T>
Exit eval_expr(Walk& w, bool no_infix) { return eval_expr_inline<T>(w, no_infix); }

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

// ---- Paths ----------------------------------------------------------------------------------------

// The element of a path at i, resolved: get-words by their value, parens evaluated (pushed).
// Answers whether code ran.
Exit resolve_element(Walk* c, const Cell* p, i32 i, Cell* out, bool* evaluated) {
  *out = *block::cell_at(p, i);
  *evaluated = false;
  if (out->type() == type::get_word) {
    *out = *value_of(out);
  } else if (out->type() == type::paren) {
    Cell paren = *out;
    RootCell keep(paren);
    (void)c;
    Exit e = eval_block(&paren, false);
    if (e != Exit::none) return e;
    *out = *stack::last_value();
    stack::drop(1);
    *evaluated = true;
  }
  return Exit::none;
}

Exit eval_path_at(Walk* c, const Cell* path_in, PathMode mode, const Cell* set_value, bool case_) {
  advance_epoch();  // a step may store into a series
  Cell p = *path_in;
  RootCell keep_p(p);
  const i32 head = std::max(block::head_index(&p), 0);
  const i32 total = series::total_length(&p);
  if (head >= total) script_error("empty-path", p);
  Cell first = *block::cell_at(&p, head);
  RootCell keep_first(first);
  if (first.type() != type::word) script_error("word-first", p);
  if (tracing) fire(event::enter, c, c ? c->index : -1, nullptr, &p);
  Cell value = *value_of(&first);
  RootCell keep_value(value);
  if (value.type() == type::unset) raise_error(ErrorCategory::script, "unset-path", p, first);
  if (function_type_q(value.type()) || value.type() == type::op) {
    if (mode == PathMode::set) script_error("invalid-path-set", p);
    if (mode == PathMode::get) script_error("invalid-path-get", p);
    Cell* slot = stack::push_value(&value);
    Exit e = call_value(c, slot, &first, 0, &p, head + 1, Ref<Node>{});
    if (e != Exit::none) return e;
    *slot = slot[1];
    stack::top = slot + 1;
    return Exit::none;
  }
  // The walk keeps each resolved element in a cell of its own on the stack (rooted, and there for a
  // walk again); steps may push temporaries above them.
  Cell* const mark = stack::top;
  for (i32 i = head + 1; i < total; ++i) stack::push_cell();
  Cell set_path = p;
  if (mode == PathMode::set) cell::set_type(&set_path, type::set_path);
  RootCell keep_set_path(set_path);
  Cell* live = word::get_value(&first);  // the storage of the current value, while valid
  Cell gparent = none::value, p_item = none::value;
  RootCell keep_gp(gparent), keep_item(p_item);
  for (i32 i = head + 1; i < total; ++i) {
    Cell element{type::none, 0, 0, 0};
    bool evaluated;
    RootCell keep_element(element);
    Exit e = resolve_element(c, &p, i, &element, &evaluated);
    if (e != Exit::none) {
      stack::top = mark;
      return e;
    }
    if (element.type() == type::unset) raise_error(ErrorCategory::script, "invalid-path", p, element);
    mark[i - head - 1] = element;
    const bool last = i + 1 == total;
    if (evaluated || !live) {
      // Code ran: storage addresses may have moved. Walk again to the current parent (get steps
      // only, with the elements already resolved).
      live = word::get_value(&first);
      Cell again = *live;
      RootCell keep_again(again);
      for (i32 k = head + 1; k < i; ++k) {
        Cell el = mark[k - head - 1];
        auto step = actions::get_path_action(live, &p, &el, k - head);
        live = step(live, &el, nullptr, &p, nullptr, nullptr, k, case_, false, false, false);
      }
    }
    gparent = value;
    Cell* storing = (mode == PathMode::set && last) ? const_cast<Cell*>(set_value) : nullptr;
    auto step = actions::get_path_action(live, &p, mark + (i - head - 1), i - head);
    advance_epoch();  // a step may store into a series
    Cell* result = step(live, mark + (i - head - 1), storing, mode == PathMode::set ? &set_path : &p, &gparent,
                        &p_item, i, case_, false, last, mode == PathMode::set);
    p_item = element;
    if (!result) result = const_cast<Cell*>(&none::value);
    value = *result;
    live = result;
    if (mode == PathMode::plain && !last && (function_type_q(value.type()) || value.type() == type::op) ) {
      // A method: the rest of the path are its refinements; called through the object.
      Ref<Node> object_ctx = object::object_like_q(gparent.type()) ? object::context_of(&gparent) : Ref<Node>{};
      Cell name = *block::cell_at(&p, i);
      if (name.type() != type::word) name = static_word(static_words::wid::anon);
      stack::top = mark;
      Cell* slot = stack::push_value(&value);
      Exit e2 = call_value(c, slot, &name, 0, &p, i + 1, object_ctx);
      if (e2 != Exit::none) return e2;
      *slot = slot[1];
      stack::top = slot + 1;
      return Exit::none;
    }
    if (mode == PathMode::plain && last && (function_type_q(value.type()))) {
      Ref<Node> object_ctx = object::object_like_q(gparent.type()) ? object::context_of(&gparent) : Ref<Node>{};
      Cell name = *block::cell_at(&p, i);
      if (name.type() != type::word) name = static_word(static_words::wid::anon);
      stack::top = mark;
      Cell* slot = stack::push_value(&value);
      Exit e2 = call_value(c, slot, &name, 0, nullptr, 0, object_ctx);
      if (e2 != Exit::none) return e2;
      *slot = slot[1];
      stack::top = slot + 1;
      return Exit::none;
    }
  }
  stack::top = mark;
  if (mode == PathMode::set) stack::push_value(set_value);
  else stack::push_value(&value);
  if (tracing) fire(event::exit, c, c ? c->index : -1, nullptr, stack::last_value());
  return Exit::none;
}

// ---- Status at a boundary -------------------------------------------------------------------------

[[noreturn]] void raise_status(Exit e) {
  switch (e) {
    case Exit::break_: raise_error(ErrorCategory::throw_, "break");
    case Exit::continue_: raise_error(ErrorCategory::throw_, "continue");
    case Exit::return_:
    case Exit::exit: raise_error(ErrorCategory::throw_, "return");
    default: {
      Cell v = stack::thrown_value;
      RootCell keep(v);
      raise_error(ErrorCategory::throw_, "throw", v);
    }
  }
}

// error! hooks.
void current_position_hook(Cell* out) {
  for (Frame* f = stack::frame_top; f > stack::frame_bottom;) {
    --f;
    if (f->kind() == stack::kind::block && f->word_context) {
      *out = Cell{type::block, f->saved_values, f->word_context, 0};
      return;
    }
  }
}

void eval_block_hook(Cell* block) {
  Cell b = *block;
  RootCell keep(b);
  Exit e = eval_block(&b, false);
  if (e != Exit::none) stack::raise_exit(e);
  stack::drop(1);
}

void call_handler_hook(const Cell* handler, const Cell* name, Ref<Node> owner_ctx, i32 count, i32 kind) {
  // The arguments are the last `count` pushed cells.
  Cell fn = *handler;
  RootCell keep(fn);
  // The arguments stay where they are: value-stack cells are roots and never move, and the call
  // pushes its own copies above them (every one of them, however many the handler takes).
  const Cell* args = stack::top - count;
  Cell result = none::value;
  RootCell keep_result(result);
  call_function_or_raise(&fn, std::span<const Cell>(args, static_cast<size_t>(count)), &result, name, owner_ctx,
                         kind);
}

// sort/compare with a function (string::call_callback): the function runs on the two records the
// sort pushed last, under a <compare-callback> frame. Its answer goes to a value-stack cell that
// the sort reads before it drops what it pushed. An exit the function raises crosses the sort as an
// ExitSignal (the sort puts its records back on the way) and becomes a status again where the
// interpreter called the sort.
const Cell* compare_callback_hook(const Cell* function, i32 count) {
  const Cell* args = stack::top - count;
  Cell* out = stack::push_cell();
  call_function_or_raise(function, std::span<const Cell>(args, static_cast<size_t>(count)), out,
                         &static_word(static_words::wid::compare_callback), Ref<Node>{}, 4);
  return out;
}

i32 form_trace_hook(i32 level, i32 position, Cell* out, i32 limit) {
  return stack::form_trace(level, out, position, limit);
}
void collect_frame_words_hook(i32 level, Cell* block, i32 position) {
  stack::collect_frame_words(level, block, position);
}

}  // namespace

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
        f->saved_values = static_cast<u32>(w.index);
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
  w.frame->saved_values = static_cast<u32>(w.index);
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
  *out = Cell{type::block, static_cast<u32>(w.index), w.frame->word_context, 0};
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

Exit eval_path(const Cell* path, PathMode mode, const Cell* value, bool case_) {
  Cell v = value ? *value : none::value;
  RootCell keep(v);
  return eval_path_at(nullptr, path, mode, value ? &v : nullptr, case_);
}

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
  const u32 summary = cache_summary(fn);
  const i32 mandatory = static_cast<i32>(summary & spec_cache::count_mask);
  const i32 given = std::min<i32>(static_cast<i32>(args.size()), mandatory);
  for (i32 i = 0; i < given; ++i) stack::push_value(&args[i]);
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

Exit apply(const Cell* fn_in, const Cell* name, const Cell* args_block, bool all, bool safer) {
  (void)safer;
  Cell fn = *fn_in;
  RootCell keep(fn);
  if (fn.type() == type::op) fn.header = op::wrapped_type(fn_in);
  if (!function_type_q(fn.type())) script_error("invalid-arg", fn);
  Cell* const slot = stack::push_value(&fn);
  Cell call_name = name && word::any_word_q(name->type()) ? *name : static_word(static_words::wid::applied);
  cell::set_type(&call_name, type::word);
  RootCell keep_name(call_name);
  const u32 summary = cache_summary(slot);
  const i32 mandatory = static_cast<i32>(summary & spec_cache::count_mask);
  const i32 length = cache_length(slot);
  const u32 t = slot->type();
  const bool numbered = t == type::native || t == type::action;
  // Every cell by position, from the block's values (evaluated unless /all).
  Walk w = begin(args_block);
  i32 k = 0;
  Cell* args_base = stack::top;  // the values accumulate above the walk's base
  while (!at_end(w) && k < length) {
    Exit e;
    if (all) {
      stack::push_value(view(w).cells + w.index++);
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

// ---- Top level ------------------------------------------------------------------------------------

void do_text(std::string_view source, Cell* out) {
  Cell blk = none::value;
  RootCell keep(blk);
  lexer::load_text(source, &blk);
  Cell* const saved_top = stack::top;
  Exit e = eval_block(&blk, false);
  if (e != Exit::none) raise_status(e);
  *out = *stack::last_value();
  stack::top = saved_top;
}

bool do_safe(const Cell* block, Cell* out) {
  Cell blk = *block;
  RootCell keep(blk);
  const stack::Mark m = stack::mark();
  Cell err = none::value;
  RootCell keep_err(err);
  try {
    try {
      Exit e = eval_block(&blk, false);
      if (e != Exit::none) raise_status(e);
    } catch (const ExitSignal& s) {
      stack::unwind_to(m);
      raise_status(s.code);
    }
    // The stacks stand where they stood, plus the value.
    if (stack::frame_top != m.frames || stack::top != m.top + 1) sys::quit(sys::Fatal::no_switch);
    *out = *stack::last_value();
    stack::top = m.top;
    return true;
  } catch (const LanguageError& x) {
    stack::catch_error(x, m, &err);
  }
  *out = err;
  return false;
}

bool do_text_safe(std::string_view source, Cell* out) {
  Cell blk = none::value;
  RootCell keep(blk);
  const stack::Mark m = stack::mark();
  try {
    lexer::load_text(source, &blk);
  } catch (const LanguageError& x) {
    Cell err = none::value;
    RootCell keep_err(err);
    stack::catch_error(x, m, &err);
    *out = err;
    return false;
  }
  return do_safe(&blk, out);
}

// ---- Tracing --------------------------------------------------------------------------------------

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

// ---- Boot -----------------------------------------------------------------------------------------

void note_conditional(const Cell* native) {
  const u32 i = native->w1 - 1;
  if (native->type() == type::native && i < std::size(conditional_natives)) conditional_natives[i] = *native;
}

void init() {
  static bool registered = false;
  if (!registered) {
    collector::add_root_callback(trace_root);
    registered = true;
  }
  memory::on_buffer_replaced = [](const SeriesBuffer* old) {
    if (old == globals.values) globals = GlobalValues{};
  };
  // A new boot starts every cache of addresses afresh, and defines the conditionals again.
  globals = GlobalValues{};
  std::memset(spec_table, 0, sizeof spec_table);
  advance_epoch();
  for (Cell& c : conditional_natives) c = none::value;
  trace_callback = none::value;
  tracing = false;
  if (!stack::body_symbol && static_words::word_roots[static_words::wid::body_tag]) {
    stack::body_symbol = word::symbol_of(static_words::word(static_words::wid::body_tag));
    stack::anonymous_symbol = word::symbol_of(static_words::word(static_words::wid::anon));
  }
  error::hooks::current_position = current_position_hook;
  error::hooks::form_trace = form_trace_hook;
  error::hooks::collect_frame_words = collect_frame_words_hook;
  object::eval_block_hook = eval_block_hook;
  object::call_handler_hook = call_handler_hook;
  string::call_callback = compare_callback_hook;
}

}  // namespace kiv::interpreter
