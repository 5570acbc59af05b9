// The interpreter's edges with the rest of the system: the top-level entries (do_text, do_safe),
// the hooks other units call the interpreter through (the error maker's position and trace, object
// handlers and bodies, sort comparators), and boot (the collector root of the interpreter's cells
// and caches, the hooks installed).
//
// Invariant: a status that reaches the top level (no loop, function or catch took it) becomes its
// error there (raise_status).
#include <cstring>

#include "datatypes/object.h"
#include "datatypes/string.h"
#include "evaluator/catch.h"
#include "evaluator/interp_internal.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"

namespace kiv::interpreter {

using namespace detail;

namespace {

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

// sort/compare with a function (hooks::call_callback): the function runs on the two records the
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

// ---- Boot -------------------------------------------------------------------------------------

// The interpreter's root callback: its own cells, and the caches of addresses a collection voids.
void trace_root() {
  collector::mark_cell(&trace_callback);
  for (Cell& c : conditional_natives) collector::mark_cell(&c);
  // Buffers and nodes move in this collection: every walk reads its block again, and the caches
  // of addresses start afresh.
  advance_epoch();
  globals = GlobalValues{};
  std::memset(spec_table, 0, sizeof spec_table);
  std::memset(field_table, 0, sizeof field_table);
}

}  // namespace

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

// ---- Boot (public) --------------------------------------------------------------------------------

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
  hooks::on_buffer_replaced = [](const SeriesBuffer* old) {
    if (old == globals.values) globals = GlobalValues{};
  };
  // A new boot starts every cache of addresses afresh, and defines the conditionals again.
  globals = GlobalValues{};
  std::memset(spec_table, 0, sizeof spec_table);
  std::memset(field_table, 0, sizeof field_table);
  advance_epoch();
  for (Cell& c : conditional_natives) c = none::value;
  trace_callback = none::value;
  tracing = false;
  if (!stack::body_symbol && static_words::word_roots[static_words::wid::body_tag]) {
    stack::body_symbol = word::symbol_of(static_words::word(static_words::wid::body_tag));
    stack::anonymous_symbol = word::symbol_of(static_words::word(static_words::wid::anon));
  }
  hooks::eval_block = eval_block_hook;
  hooks::call_handler = call_handler_hook;
  hooks::call_callback = compare_callback_hook;
  hooks::call_positional = call_positional;
}

}  // namespace kiv::interpreter
