#include "runtime/stack.h"

#include <algorithm>

#include "runtime/collector.h"
#include "runtime/mold.h"
#include "runtime/roots.h"

namespace kiv::stack {

namespace {

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
Frame* push_loop_frame() { return push_frame(kind::loop, body_symbol, 0); }

Frame* push_function_frame(const Cell* w, Ref<Node> ctx) {
  Frame* f = push_frame(w, kind::function);
  if (ctx) {
    f->function_context = ctx.offset();
    f->saved_values = context_cell(ctx)->w2;
  }
  return f;
}

Frame* push_context_frame(const Cell* w, Ref<Node> ctx) {
  if (ctx.offset() == running_context) running_context = 0;
  context_cell(ctx)->w2 = arena::offset_of(arguments);
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
  if (flag) f->flag(kind::return_target);
  else f->unflag(kind::return_target);
}

Frame* claim_return_target() {
  if (frame_top - frame_bottom < 2) return nullptr;
  Frame* f = frame_top - 2;
  if (f->flagged(kind::return_target)) return nullptr;
  f->flag(kind::return_target);
  return f;
}

void clear_return_target(Frame* f) {
  if (f) f->unflag(kind::return_target);
}

void mark_interpreted() {
  if (Frame* f = top_frame()) f->flag(kind::interpreted);
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
      const Cell* c = context_cell(Ref<Node>(f->function_context));
      if (f->saved_values && !(c->header & context_on_stack)) collector::mark_block(&f->saved_values);
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
    if (f->flagged(kind::return_target)) {
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

void raise_error_value(const Cell* error) {
  raised_error = *error;
  throw LanguageError{ErrorCategory::internal, nullptr, 0, {}};
}

void finish_try() {
  Cell* last = last_value();
  if (last->type() == type::error) *arguments = *last;
  top = arguments + 1;
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
  raised_error = Cell{type::none, 0, 0, 0};

  static bool registered = false;
  if (!registered) {
    collector::add_root_callback(root_callback);
    registered = true;
  }
}

}  // namespace kiv::stack
