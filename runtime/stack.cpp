#include "runtime/stack.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/mold.h"
#include "runtime/roots.h"

namespace kiv::stack {

namespace {

// The where answer (get_where returns its address).
Cell where_word{type::none, 0, 0, 0};

bool skipped_symbol(i32 symbol) {
  return symbol != 0 && (symbol == body_symbol || symbol == anonymous_symbol);
}

// Frames whose word names nothing a user wrote: block frames, <body> and <anon>.
bool nameless(const Frame* f) { return f->code() == (kind::block & kind::code_mask) || skipped_symbol(f->symbol()); }

void cache_symbols() {
  if (body_symbol || !static_words::word_roots[static_words::wid::body_tag]) return;
  body_symbol = word::symbol_of(static_words::word(static_words::wid::body_tag));
  anonymous_symbol = word::symbol_of(static_words::word(static_words::wid::anon));
}

Ref<Node> static_word_context(u32 wid) {
  return static_words::word_roots[wid] ? word::context_of(static_words::word(wid)) : Ref<Node>{};
}
i32 static_word_symbol(u32 wid) {
  return static_words::word_roots[wid] ? word::symbol_of(static_words::word(wid)) : 0;
}

[[noreturn]] void raise_throw(const char* id) {
  raise_error(ErrorCategory::throw_, id);
}

void root_callback() {
  running_context = 0;  // nodes move
  mark_frames();
  collector::mark_cell(&exit_value);
  collector::mark_cell(&thrown_value);
  collector::mark_cell(&thrown_name);
  collector::mark_cell(&raised_error);
  collector::mark_cell(&where_word);
  if (frame_node) collector::mark_node(&frame_node);
}

}  // namespace

// ---- Value stack ----

void value_overflow() {
  top = std::max(bottom, top - 4);
  mold::reset_cycles();
  raise_error(ErrorCategory::internal, "stack-overflow");
}

void drop(i32 n) {
  if (n <= 0) return;
  top = (top - bottom > n) ? top - n : bottom;
}

// ---- Frames ----

void frame_overflow() {
  top = std::max(bottom, top - 5);
  mold::reset_cycles();
  raise_error(ErrorCategory::internal, "stack-overflow");
}

Frame* push_call_frame(const Cell* w) { return push_frame(w, kind::call); }
Frame* push_try_frame() {
  return push_frame(kind::try_, static_word_symbol(static_words::wid::try_),
                    static_word_context(static_words::wid::try_).offset());
}
Frame* push_try_all_frame() {
  return push_frame(kind::try_all, static_word_symbol(static_words::wid::try_),
                    static_word_context(static_words::wid::try_).offset());
}
Frame* push_catch_frame() {
  return push_frame(kind::catch_, static_word_symbol(static_words::wid::catch_),
                    static_word_context(static_words::wid::catch_).offset());
}
Frame* push_loop_frame() { return push_frame(kind::loop, body_symbol, 0); }

Frame* push_function_frame(const Cell* w, Ref<Node> ctx) {
  Frame* f = push_frame(w, kind::function);
  if (ctx) {
    f->function_context = ctx.offset();
    f->saved_values = context::cell_of(ctx)->w2;
  }
  return f;
}

Frame* push_context_frame(const Cell* w, Ref<Node> ctx) {
  if (ctx.offset() == running_context) running_context = 0;
  context::cell_of(ctx)->w2 = arena::offset_of(arguments);
  return push_frame(w, kind::context);
}

void pop_frame_any() {
  if (frame_top <= frame_bottom) return;
  Frame* f = --frame_top;
  if (f->code() == kind::function) restore_context(f);
  top = arguments;
  arguments = f->base();
  if (frame_top == frame_bottom) arguments = top = bottom;
}

void set_return_target(bool flag) {
  Frame* f = top_frame();
  if (!f) return;
  if (flag) f->header |= kind::return_target << 24;
  else f->header &= ~(kind::return_target << 24);
}

Frame* claim_return_target() {
  if (frame_top - frame_bottom < 2) return nullptr;
  Frame* f = frame_top - 2;
  if (f->header & (kind::return_target << 24)) return nullptr;
  f->header |= kind::return_target << 24;
  return f;
}

void clear_return_target(Frame* f) {
  if (f) f->header &= ~(kind::return_target << 24);
}

void mark_interpreted() {
  if (Frame* f = top_frame()) f->header |= kind::interpreted << 24;
}

bool find_interpreted_frame(const Frame* from, bool only_next) {
  const Frame* f = from ? from : frame_top;
  while (f > frame_bottom) {
    --f;
    if (f->kind() & kind::interpreted) return true;
    if (only_next) return false;
  }
  return false;
}

void unwind_to_frame(u32 kind_code, bool keep) {
  Frame* start = frame_top;
  Frame* f = nullptr;
  while (frame_top > frame_bottom) {
    f = --frame_top;
    if (f->code() == kind::function) restore_context(f);
    if (f->code() == kind_code || f->code() == kind::try_all) break;
  }
  if (frame_top == start) {
    top = arguments + 1;
    return;
  }
  if (frame_top == frame_bottom && (!f || (f->code() != kind_code && f->code() != kind::try_all))) {
    arguments = top = bottom;
    return;
  }
  top = arguments + 1;
  // The found record stays on the stack in both modes; keep decides which base becomes current.
  ++frame_top;
  arguments = keep ? (f + 1 < start ? (f + 1)->base() : arguments) : f->base();
}

void unwind_result(u32 kind_code) {
  Cell value = *arguments;
  Frame* start = frame_top;
  unwind_to_frame(kind_code, false);
  Frame* found = frame_top - 1;
  Cell* target = found + 1 < start ? (found + 1)->base() : arguments;
  *target = value;
  arguments = target;
  top = target;
}

void mark_frames() {
  for (Frame* f = frame_bottom; f && f < frame_top; ++f) {
    if (f->word_context) {
      if (f->code() == (kind::block & kind::code_mask)) collector::mark_block(&f->word_context);
      else collector::mark_context(&f->word_context);
    }
    if (f->code() == kind::function && f->function_context) {
      collector::mark_context(&f->function_context);
      const Cell* c = context::cell_of(Ref<Node>(f->function_context));
      if (f->saved_values && !(c->header & context::flag::on_stack)) collector::mark_block(&f->saved_values);
    }
  }
}

// ---- Exits ----

Exit break_exit(bool with_value, bool is_continue) {
  Frame* f = top_frame();
  if (f && (f->code() == kind::call)) --f;  // the native's own frame
  for (; f && f >= frame_bottom; --f) {
    if (f->code() == kind::loop) {
      if (with_value && !is_continue) exit_value = *arguments;
      else exit_value = Cell{type::unset, 0, 0, 0};
      return is_continue ? Exit::continue_ : Exit::break_;
    }
    if (f->code() == kind::try_all) break;
  }
  raise_throw(is_continue ? "continue" : "break");
}

Exit return_exit(bool with_value, bool no_own_frame) {
  Frame* f = top_frame();
  if (f && !no_own_frame) --f;
  for (; f && f >= frame_bottom; --f) {
    if (f->header & (kind::return_target << 24)) {
      if (with_value) exit_value = *arguments;
      else exit_value = Cell{type::unset, 0, 0, 0};
      return with_value ? Exit::return_ : Exit::exit;
    }
    if (f->code() == kind::try_all) break;
  }
  raise_throw("return");
}

namespace {

// The frame position of the throw in flight (the throw native's own record), for the where of the
// error raised when no catch takes it; -1 without one.
i32 throw_origin = -1;

Exit throw_from(Frame* f) {
  for (; f && f >= frame_bottom; --f) {
    if (f->code() == kind::catch_) return Exit::throw_;
    if (f->code() == kind::try_all) break;
  }
  // Uncaught: the error names the place of the throw. The register is set only for this raise, so
  // a throw that a catch took never lends its place to a later error.
  where_frame = throw_origin;
  throw_origin = -1;
  Cell value = thrown_value;
  RootCell keep(value);
  raise_error(ErrorCategory::throw_, "throw", value);
}

}  // namespace

Exit throw_exit(const Cell* value, const Cell* name) {
  thrown_value = *value;
  thrown_name = name && name->type() != type::none ? *name : Cell{type::unset, 0, 0, 0};
  throw_origin = frame_depth() - 1;
  Frame* f = top_frame();
  if (f && f->code() == kind::call) --f;
  return throw_from(f);
}

Exit rethrow() { return throw_from(top_frame()); }

void raise_exit(Exit code) { throw ExitSignal{code}; }

// ---- Catching ----

void unwind_to(const Mark& m) {
  while (frame_top > m.frames) {
    Frame* f = --frame_top;
    if (f->code() == kind::function) restore_context(f);
  }
  arguments = m.arguments;
  top = m.top;
}

namespace {

// The innermost block being evaluated, at the expression, as a block! cell; none without one.
Cell innermost_position() {
  for (Frame* f = frame_top; f > frame_bottom;) {
    --f;
    if (f->kind() == kind::block && f->word_context) {
      return Cell{type::block, f->saved_values, f->word_context, 0};
    }
  }
  return none::value;
}

}  // namespace

void raise_error_value(const Cell* error) {
  raised_error = *error;
  throw LanguageError{ErrorCategory::internal, nullptr, 0, {}};
}

void catch_error(const LanguageError& e, const Mark& m, Cell* out) {
  // Everything the report needs is read from the frames before they go.
  Cell args[3] = {e.args[0], e.args[1], e.args[2]};
  RootCell k0(args[0]), k1(args[1]), k2(args[2]);
  Cell near = innermost_position();
  RootCell keep_near(near);
  i32 depth = frame_depth();
  // Building the report pushes cells: the region above the catcher's mark is dead already.
  if (top > m.top) top = m.top;
  Cell where = *get_where();
  RootCell keep_where(where);
  Cell err{type::none, 0, 0, 0};
  RootCell keep_err(err);
  if (!e.id) {
    err = raised_error;
    raised_error = none::value;
  } else {
    LanguageError copy = e;
    for (int i = 0; i < 3; ++i) copy.args[i] = args[i];
    error::from_language_error(copy, &err);
    if (near.type() == type::block) *error::field_of(&err, error::field::near) = near;
  }
  if (err.type() == type::error) {
    error::set_where(&err, &where);
    Cell* st = error::field_of(&err, error::field::stack);
    if (st->type() != type::block) integer::make_at(st, depth);
    if (interpreter::tracing) {
      Cell report = err;
      RootCell keep_report(report);
      Exit ignored = interpreter::fire_event(interpreter::event::error, nullptr, -1, nullptr, &report);
      (void)ignored;
    }
  }
  unwind_to(m);
  *out = err;
}

void finish_try() {
  Cell* last = last_value();
  if (last->type() == type::error) *arguments = *last;
  top = arguments + 1;
}

// ---- Where and traces ----

const Cell* get_where() {
  if (!frame_bottom) return &none::value;
  Frame* f = frame_top;
  // From a throw: the search starts below the throw's own record.
  if (where_frame >= 0 && where_frame < static_cast<i32>(frame_end - frame_bottom)) f = frame_bottom + where_frame;
  where_frame = -1;
  while (f > frame_bottom) {
    --f;
    if (nameless(f)) continue;
    if (f->code() == kind::try_ || f->code() == kind::try_all || f->code() == kind::catch_ || f->code() == kind::loop)
      continue;
    if (f->symbol() == 0) continue;
    Cell w = word::find_in_context(Ref<Node>(f->word_context), f->symbol());
    where_word = w;
    return &where_word;
  }
  if (static_words::word_roots[static_words::wid::not_found]) {
    where_word = *static_words::word(static_words::wid::not_found);
    return &where_word;
  }
  return &none::value;
}

namespace {

// Whether the frame's word is kept in a trace at the level.
bool traced(const Frame* f, i32 level) {
  if (nameless(f) || f->symbol() == 0) return false;
  switch (f->code()) {
    case kind::try_:
    case kind::try_all:
    case kind::catch_:
    case kind::loop:
      return false;
    default:
      break;
  }
  if (level >= 2) return true;
  Ref<Node> ctx(f->word_context);
  if (!ctx) ctx = context::global();
  const Cell* v = context::get_value_cell(f->symbol(), ctx);
  return v && v->type() == type::function;
}

}  // namespace

void collect_frame_words(i32 level, Cell* block, i32 limit) {
  // As in form_trace: records above the live top were reused or hold nodes the collector no longer
  // keeps, whatever position the error recorded.
  i32 n = std::min(limit, frame_depth());
  for (i32 i = 0; i < n; ++i) {
    Frame* f = frame_bottom + i;
    if (!traced(f, level)) continue;
    word::add_to_block(block, f->symbol());
  }
}

i32 form_trace(i32 level, Cell* out, i32 limit_record, i32 limit) {
  // A frame position recorded when the error was raised may lie above the records alive now: those
  // were reused since, so the trace stops at the live top.
  i32 n = std::min(limit_record, frame_depth());
  Cell* scratch = push_cell();
  for (i32 i = 0; i < n && limit > 0; ++i) {
    Frame* f = frame_bottom + i;
    if (!traced(f, level)) continue;
    word::make_at(f->symbol(), scratch);
    limit = word::form(scratch, out, nullptr, limit);
    string::append_char(out, ' ');
    limit -= 1;
  }
  drop(1);
  return limit;
}

void collect_trace(Cell* block) {
  for (Frame* f = frame_top; f > frame_bottom + 1;) {
    --f;
    if (nameless(f) || f->symbol() == 0) continue;
    Ref<Node> ctx = f->function_context ? Ref<Node>(f->function_context) : context::global();
    Cell w = word::find_in_context(ctx, f->symbol());
    RootCell keep(w);
    block::append_value(block, &w);
    Cell pos;
    integer::box(&pos, static_cast<i32>(f->base() - bottom));
    block::append_value(block, &pos);
  }
}

// ---- Boot ----

void init(Ref<Node> value_buffer, Ref<Node> frame_buffer) {
  if (!value_buffer) value_buffer = memory::alloc_unmanaged_series(value_stack_cells, sizeof(Cell), 0);
  value_node = value_buffer;
  SeriesBuffer* b = buffer_of(value_buffer);
  bottom = reinterpret_cast<Cell*>(b->data());
  top = arguments = bottom;
  end = reinterpret_cast<Cell*>(b->data() + b->size);

  // The frame stack is made once: a second start (a test world of its own) keeps the first one.
  // The boot made its buffer in the root block.
  if (!frame_buffer && !frame_bottom && words::root_ready_q())
    frame_buffer = Ref<Node>(words::root_at(words::root_index::call_stack)->w2);
  if (frame_buffer || !frame_bottom) {
    if (!frame_buffer) frame_buffer = memory::alloc_unmanaged_series(frame_stack_cells, sizeof(Cell), 0);
    frame_node = frame_buffer;
    SeriesBuffer* fb = buffer_of(frame_buffer);
    frame_bottom = reinterpret_cast<Frame*>(fb->data());
    frame_end = frame_bottom + fb->size / sizeof(Frame);
  }
  frame_top = frame_bottom;
  where_frame = -1;
  exit_value = thrown_value = thrown_name = Cell{type::unset, 0, 0, 0};
  raised_error = none::value;

  static bool registered = false;
  if (!registered) {
    collector::add_root_callback(root_callback);
    registered = true;
  }
  cache_symbols();
}

}  // namespace kiv::stack
