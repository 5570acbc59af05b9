// What the interpreter's own units share, and no other unit includes: the small always-inline
// helpers of the walk, the caches of addresses the fast paths read, the layout of the argument-spec
// cache, and the entries each unit offers the others.
//
// The units:
// - eval.cpp: the block walk, expressions and infix operators (the hot loop);
// - call.cpp: argument fetching, native calls and the call entries (call_function, apply);
// - spec_cache.cpp: building the argument-spec cache;
// - path_eval.cpp: path evaluation;
// - trace.cpp: the trace callback and its events;
// - interpreter.cpp: the top level, the hooks other units call the interpreter through, and boot.
//
// Invariants every unit keeps:
// - A walk's view of its block (Walk::cells, tail) holds while the evaluation epoch stands: whatever
//   may change or move a series advances it first (advance_epoch, before_call).
// - The caches of addresses (the global values, the spec-cache table) hold only until the next
//   collection or boot, which empties them; the cells of a spec cache move only in a collection.
// - A cell read out of a buffer is valid until the next allocation: values that must outlive one
//   are copied into rooted cells or onto the value stack first.
#pragma once
#include <array>

#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/none.h"
#include "datatypes/static_words.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/sys.h"

namespace kiv::interpreter::detail {

using stack::Frame;

// ---- Small helpers ----------------------------------------------------------------------------

[[noreturn]] void script_error(const char* id, const Cell& a1);
[[noreturn]] void script_error(const char* id, const Cell& a1, const Cell& a2);
[[noreturn]] void stack_overflow();

inline void check_native_stack() {
  if (!sys::stack_ok()) [[unlikely]] stack_overflow();
}

inline const Cell& static_word(u32 wid) {
  return static_words::word_roots[wid] ? *static_words::word(wid) : none::value;
}
inline i32 static_symbol(u32 sym) { return static_words::symbol(sym); }

inline bool function_type_q(u32 t) {
  return t == type::native || t == type::action || t == type::function || t == type::routine;
}

// Whether a typeset! holds type t: bit 0x80 >> (t & 7) of byte t >> 3 of the 12 bytes from word 1,
// read from the words themselves (a byte copy of the cell stalls the load that follows it).
[[gnu::always_inline]] inline bool accepts(const Cell* typeset, u32 t) {
  if (t >= 96) [[unlikely]] return false;
  const u32 word = t < 32 ? typeset->w1 : t < 64 ? typeset->w2 : typeset->w3;
  return word >> (((t >> 3) & 3) * 8 + 7 - (t & 7)) & 1;
}

// ---- The walk's view of its block -------------------------------------------------------------

// The cells of a block frame's block, re-read after anything that may allocate.
struct View {
  Cell* cells;
  i32 tail;
};
inline View view(const Frame* f) {
  SeriesBuffer* b = buffer_of(f->block_node());
  return {b->head_ptr<Cell>(), static_cast<i32>((b->tail - b->head) / sizeof(Cell))};
}
// The evaluation epoch (see Walk) belongs to eval.cpp, whose steps compare a walk's copy with it at
// every turn. The other units advance it, and read a walk's block, only through these two calls:
// were it a variable they could write, the walk would have to load it again after every store
// through a pointer.
void advance_epoch();
// The walk's block as it stands now (read again when the epoch moved since the walk last read it).
View walk_view(Walk& w);
inline bool more_q(Walk* c) { return c && c->index < walk_view(*c).tail; }

// The natives that change no series themselves (they evaluate blocks, compare, or set words).
inline constexpr std::array<bool, natives::slot_count + 1> series_neutral_natives = [] {
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

// ---- Words (eval.cpp) -------------------------------------------------------------------------

// Most words are global: the global context's node and values buffer are kept here until a
// collection (which drops them: nodes and buffers move) or until growth replaces the buffer (the
// memory manager tells, and they are dropped then too).
struct GlobalValues {
  u32 context = 0;  // 0: not read yet, or dropped
  u32 count = 0;    // values the buffer held when read: values are only ever added, so a lower bound
  SeriesBuffer* values = nullptr;
  Cell* cells = nullptr;
};
inline GlobalValues globals;

[[gnu::noinline]] SeriesBuffer* read_globals(u32 ctx);
// The global context's values buffer when ctx is the global context, else null.
[[gnu::always_inline]] inline SeriesBuffer* global_values(u32 ctx) {
  if (ctx == globals.context) [[likely]] return globals.values;
  return globals.context ? nullptr : read_globals(ctx);
}

[[gnu::noinline]] Cell* context_value(u32 ctx, i32 index);

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

// Where a word names a field of an object's context: found once per context and symbol by the
// paths of a walk (eval.cpp). A context only gains words, and a word keeps its position, so an
// answer holds until a collection, which may give the node to another context, empties the table.
struct FieldSlot {
  u32 context;  // 0: empty
  u32 symbol;
  u32 index;
};
inline FieldSlot field_table[256];

// ---- The argument-spec cache (spec_cache.cpp) -------------------------------------------------
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
// The spec was edited between making the function and its first call: an integer! per entry
// follows the entries, the context position of its word (-1 for none), and the call moves the
// values it fetched there (move_to_context).
constexpr u32 remapped = 1u << 19;
constexpr u32 built = 1u << 31;
}  // namespace spec_cache

inline i32 refinement_number(const Cell* entry) {
  return static_cast<i32>(entry->header >> spec_cache::number_shift & 0xFF);
}

inline Cell* more_cells(const Cell* fn) { return buffer_of(Ref<Node>(fn->w3))->head_ptr<Cell>(); }

// The summary of a function value's cache (a cell that stays put), building the cache first if
// there is none yet.
u32 cache_summary_slow(const Cell* fn);

// A direct-mapped table from auxiliary-block node to summary and cache cells, emptied by every
// collection (nodes and the cache's cells move only then, and a cache never changes).
struct SpecSlot {
  u32 more;  // 0: empty
  u32 summary;
  const Cell* entries;
};
inline SpecSlot spec_table[256];
// Forced inline: a helper shared between units is weighed otherwise by the compiler, and left to
// it this one cost the walk's loop registers.
[[gnu::always_inline]] inline u32 spec_hash(u32 node) { return (node * 0x9E3779B1u) >> 24; }

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
  const i32 cells = static_cast<i32>((b->tail - b->head) / sizeof(Cell));
  return c->w3 & spec_cache::remapped ? cells / 2 : cells;
}

// ---- The walk's steps (eval.cpp) --------------------------------------------------------------

// One evaluated argument of a call, pushed (the walk is synced and has a value left); with `infix`
// (an operator's right operand) without the infix look-ahead after it.
Exit eval_argument(Walk& w, bool infix);

// The values if, unless and either were made with (roots: the collector keeps their nodes
// current). A value sharing one's auxiliary block shares its spec, the condition and the blocks:
// its calls need neither the spec's cache nor the value on the stack.
extern Cell conditional_natives[3];

// ---- Calls (call.cpp) -------------------------------------------------------------------------

// Calls the function value `fn` met in walk c (or null) under the word `name`, `present` leading
// arguments being pushed already; path: its refinements from element path_from on; object_ctx: the
// object a method is called through. The result replaces the arguments.
Exit call_value(Walk* c, const Cell* fn, const Cell* name, i32 present, const Cell* path, i32 path_from,
                Ref<Node> object_ctx);
// Runs a native or action whose frame `f` is on top with its arguments fetched; an ExitSignal from
// C++ code inside becomes the status here.
Exit run_native(const Cell* fn, u32 fn_type, Frame* f, Cell* base, const i32* refs);
// The argument errors: the value of a type the spec does not take, a missing argument (word_index:
// the position of the argument among the spec's words).
[[noreturn]] void raise_expect(const Frame* f, const Cell* fn, i32 word_index, const Cell* value);
[[noreturn]] void raise_no_arg(const Frame* f, const Cell* fn, i32 word_index);

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

// ---- Paths (path_eval.cpp) --------------------------------------------------------------------

// Evaluates a path (a cell that stays put) met in walk c (or null); see eval_path.
Exit eval_path_at(Walk* c, const Cell* path, PathMode mode, const Cell* value, bool case_);

// ---- Tracing (trace.cpp) ----------------------------------------------------------------------

inline Cell trace_callback{type::none, 0, 0, 0};
// Reports an event met in walk w (or null) at `index`; an exit the callback raises is raised on.
void fire(u32 event, const Walk* w, i32 index, const Cell* reference, const Cell* value);

}  // namespace kiv::interpreter::detail
