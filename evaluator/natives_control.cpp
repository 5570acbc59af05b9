// The natives that decide what is evaluated: conditionals, loops, do, reduce and compose, and the
// non-local exits seen from the language (break, continue, exit, return, throw, catch, try).
//
// Exits arrive here as returned statuses (stack.h). Every native pops the frames it pushed before
// it passes a status on; a loop takes break and continue, catch takes throw, and the rest travel on
// unchanged. The loop bodies run under a loop frame with the value stack reset to that frame's base,
// so the arguments below the frame (the body block, the iteration's series and words) stay put and
// need no other rooting.
#include <cmath>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/frame_words.h"
#include "datatypes/integer.h"
#include "datatypes/map.h"
#include "datatypes/none.h"
#include "datatypes/path.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "evaluator/catch.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"
#include "evaluator/script.h"
#include "lexer/lexer.h"
#include "runtime/roots.h"

namespace kiv::natives {

using namespace detail;

namespace detail {

void set_word(const Cell* word, const Cell* value) {
  Cell w = *word, v = *value;
  RootCell keep_w(w), keep_v(v);
  word::set(&w, &v);
}

i32 word_block_count(const Cell* words) {
  const i32 n = block::length(words);
  const i32 head = std::max(block::head_index(words), 0);
  for (i32 i = 0; i < n; ++i) {
    const Cell* w = block::cell_at(words, head + i);
    if (!settable_word_q(w->type())) raise_error(ErrorCategory::script, "invalid-arg", *w);
  }
  return n;
}

void element_of(const Cell* s, i32 k, Cell* out) {
  const i32 at = series::head_index(s) + k;
  if (at < 0 || at >= series::total_length(s)) {
    *out = none::value;
    return;
  }
  if (block::any_block_q(s->type())) {
    *out = *block::cell_at(s, at);
    return;
  }
  Cell probe = *s;
  Cell* const saved = stack::top;
  Cell* slot = stack::push_value(&probe);
  Cell* v = actions::get<action::slot::pick>(slot)(slot, k + 1, nullptr);
  *out = *v;
  stack::top = saved;
}

void set_words(const Cell* words_in, const Cell* value_in, bool any, bool spread, bool some) {
  Cell words = *words_in, value = *value_in;
  RootCell keep_words(words), keep_value(value);
  const i32 n = word_block_count(&words);
  const i32 head = std::max(block::head_index(&words), 0);
  for (i32 i = 0; i < n && !any; ++i) {
    Cell v;
    if (spread) element_of(&value, i, &v);
    else v = value;
    if (v.type() == type::unset) raise_error(ErrorCategory::script, "need-value", *block::cell_at(&words, head + i));
  }
  for (i32 i = 0; i < n; ++i) {
    Cell v;
    if (spread) element_of(&value, i, &v);
    else v = value;
    if (some && v.type() == type::none) continue;
    RootCell keep_v(v);
    set_word(block::cell_at(&words, head + i), &v);
  }
}

}  // namespace detail

namespace {

Exit eval(const Cell* block) { return interpreter::eval_block(block, true); }

// ---- Loop frames ----------------------------------------------------------------------------------

// Pushes the loop frame; answers its base, the cell each round's value lands in (unset to start).
Cell* open_loop() {
  stack::push_loop_frame();
  Cell* base = stack::arguments;
  *base = unset::value;
  stack::top = base + 1;
  return base;
}
// The normal end: the last round's value becomes the native's result.
Exit close_loop() {
  stack::pop_frame_result();
  return Exit::none;
}
// A status the loop does not take: its frame goes, the status travels on.
Exit leave_loop(Exit e) {
  stack::pop_frame_reset();
  return e;
}

// One round of a loop body. Answers true to go on with the next round, false to stop the loop
// (break: *stop is Exit::none and the loop's value is the break's), or false with the status to pass
// on in *stop.
inline bool run_body(const Cell* body, Cell* base, Exit* stop) {
  stack::top = base;
  const Exit e = eval(body);
  if (e == Exit::none) [[likely]] return true;
  if (e == Exit::continue_) {
    *base = unset::value;
    stack::top = base + 1;
    return true;
  }
  if (e == Exit::break_) {
    *base = stack::exit_value;
    stack::top = base + 1;
    *stop = Exit::none;
    return false;
  }
  *stop = e;
  return false;
}

// The round count of loop and repeat: an integer as it is; a float truncated toward zero. A float
// beyond the integer range (or NaN) is refused rather than wrapped into a count nobody asked for.
i64 loop_count(const Cell* v) {
  if (v->type() == type::integer) return integer::get(v);
  const double d = v->as_double();
  if (std::isnan(d) || d >= 2147483648.0) raise_error(ErrorCategory::script, "out-of-range", *v);
  if (d < 1.0) return 0;
  return static_cast<i64>(d);
}

// ---- Words of the iterating natives ---------------------------------------------------------------

// Sets the n words (a word, or a block of n words) from the series at its index; answers false at
// the tail. The index is advanced by n.
bool foreach_next(Cell* series, const Cell* words, i32 n) {
  const i32 at = series::head_index(series);
  if (at >= series::total_length(series) || at < 0) return false;
  if (words->type() != type::block) {
    Cell v;
    element_of(series, 0, &v);
    RootCell keep(v);
    set_word(words, &v);
  } else if (block::any_block_q(series->type())) {
    set_words(words, series, false, true, false);
  } else {
    const i32 head = std::max(block::head_index(words), 0);
    for (i32 i = 0; i < n; ++i) {
      Cell v;
      element_of(series, i, &v);
      RootCell keep(v);
      set_word(block::cell_at(words, head + i), &v);
    }
  }
  series::set_head_index(series, at + n);
  return true;
}

// The number of words each round of foreach or remove-each sets: 1 for a word; a word block must
// hold words only, and at least one.
i32 iteration_words(const Cell* words) {
  if (words->type() != type::block) return 1;
  const i32 n = word_block_count(words);
  if (n == 0) raise_error(ErrorCategory::script, "invalid-arg", *words);
  return n;
}

// ---- Switch ----------------------------------------------------------------------------------------

// The first block! of the cases block from index i on, or -1.
i32 next_block(const Cell* cases, i32 i) {
  for (const i32 n = series::total_length(cases); i < n; ++i)
    if (block::cell_at(cases, i)->type() == type::block) return i;
  return -1;
}

// ---- Catch ------------------------------------------------------------------------------------------

i32 canonical(const Cell* w) { return symbol::resolve(word::symbol_of(w)); }

// Whether a catch/name takes the throw's name: a word names it (ignoring case); a block must hold
// only words, one of which names it.
bool name_matches(const Cell* names, const Cell* thrown) {
  if (!word::any_word_q(thrown->type())) return false;
  const i32 sym = canonical(thrown);
  if (names->type() != type::block) return canonical(names) == sym;
  bool found = false;
  const i32 head = std::max(block::head_index(names), 0);
  for (i32 i = 0, n = block::length(names); i < n; ++i) {
    const Cell* w = block::cell_at(names, head + i);
    if (w->type() != type::word) actions::raise_invalid_refine_arg("name", names);
    if (canonical(w) == sym) found = true;
  }
  return found;
}

// ---- Do ----------------------------------------------------------------------------------------------

// The global value of a word by name, or null when it has none.
const Cell* global_value(const char* name) {
  Cell w;
  word::load_at(name, &w);
  const Cell* v = context::get_value_cell(word::symbol_of(&w), context::global());
  return v && v->type() != type::unset ? v : nullptr;
}

// Clamps a block cell's index to its tail.
void clamp_to_tail(Cell* blk) {
  const i32 total = series::total_length(blk);
  if (series::head_index(blk) > total) series::set_head_index(blk, total);
}

// do of a file or url: the library's do-file when it exists, else the script runner's own.
Exit do_file(Cell* a, const Cell* args) {
  Cell args_value = args ? *args : none::value;
  RootCell keep(args_value);
  if (const Cell* runner = global_value("do-file"); runner && runner->type() == type::function) {
    Cell fn = *runner;
    RootCell keep_fn(fn);
    Cell out = none::value, name;
    RootCell keep_out(out), keep_name(name);
    word::load_at("do-file", &name);
    // Made after the last allocation before the call: these copies are not roots.
    const Cell call_args[] = {*a, none::value, args_value};
    const Exit e = interpreter::call_function(&fn, call_args, &out, &name);
    if (e != Exit::none) return e;
    return result(out);
  }
  return script::do_file(a, &args_value);
}

// The value given to do, by its type.
Exit do_value(Cell* a, i32 expand, i32 args, i32 next) {
  switch (a->type()) {
    case type::block:
    case type::paren:
    case type::hash: {
      clamp_to_tail(a);
      if (expand >= 0) {
        if (const Cell* expander = global_value("expand-directives"); expander && expander->type() == type::function) {
          Cell fn = *expander, out = none::value;
          RootCell keep_fn(fn), keep_out(out);
          const Exit e = interpreter::call_function(&fn, std::span<const Cell>(a, 1), &out);
          if (e != Exit::none) return e;
        }
      }
      if (next < 0) return eval(a);
      // One expression; the word named by /next gets the block after it.
      const u32 kind = a->type();
      interpreter::Walk w = interpreter::begin(a);
      Cell value = unset::value;
      if (!interpreter::at_end(w)) {
        const Exit e = interpreter::next(w, false);
        if (e != Exit::none) {
          interpreter::end_reset(w);
          return e;
        }
        value = *stack::arguments;
      }
      Cell position;
      interpreter::position(w, &position);
      cell::set_type(&position, kind);
      interpreter::end_reset(w);
      *a = value;  // the block is no longer needed: its node lives on in `position`
      Cell* pos = stack::push_value(&position);
      set_word(stack::arguments + next, pos);
      return Exit::none;
    }
    case type::path: {
      Cell* const saved = stack::top;
      const Exit e = interpreter::eval_path(a, interpreter::PathMode::plain, nullptr, false);
      if (e != Exit::none) return e;
      *a = *stack::last_value();
      stack::top = saved;
      return Exit::none;
    }
    case type::string: {
      Cell* blk = stack::push_cell();
      lexer::scan_string(blk, a, -1, lexer::Options{}, nullptr);
      return eval(blk);
    }
    case type::file:
    case type::url:
      return do_file(a, args >= 0 ? stack::arguments + args : nullptr);
    case type::error:
      stack::raise_error_value(a);
    default: {
      Cell* const saved = stack::top;
      const Exit e = interpreter::eval_value(a);
      if (e != Exit::none) return e;
      *a = *stack::last_value();
      stack::top = saved;
      return Exit::none;
    }
  }
}

// ---- Compose ----------------------------------------------------------------------------------------

// Composes the block's cells from its head into the block `out` (a cell that stays put).
Exit compose_into(const Cell* source, Cell* out, bool deep, bool only) {
  const i32 head = std::max(block::head_index(source), 0);
  for (i32 i = 0; i < block::length(source); ++i) {
    Cell c = *block::cell_at(source, head + i);
    RootCell keep(c);
    if (c.type() == type::block && deep) {
      Cell* inner = stack::push_cell();
      block::make_at(inner, block::length(&c));
      const Exit e = compose_into(&c, inner, deep, only);
      if (e != Exit::none) return e;
      block::append_value(out, inner);
      stack::drop(1);
    } else if (c.type() == type::paren) {
      if (block::length(&c) == 0) continue;
      Cell* const saved = stack::top;
      const Exit e = interpreter::eval_block(&c, false);  // leaves the value pushed
      if (e != Exit::none) return e;
      Cell v = *stack::last_value();
      stack::top = saved;
      RootCell keep_v(v);
      if (v.type() == type::unset) continue;
      if (v.type() == type::block && !only) {
        block::append_values(out, &v);
      } else {
        block::append_value(out, &v);
      }
    } else {
      block::append_value(out, &c);
    }
  }
  return Exit::none;
}

// Puts the values of a finished block into out (/into): appended at its tail, else inserted at its
// position; the result is out.
void into(Cell* out, const Cell* values) {
  const bool at_tail = series::head_index(out) >= series::total_length(out);
  Cell v = *values, target = *out;
  RootCell keep(v), keep_target(target);
  actions::get<action::slot::insert>(&target)(&target, &v, -1, false, 1, at_tail);
}

// The call trace (the stack field's block of frame words) and the source files of an error in
// flight, recorded now, before its catcher unwinds the frames they are read from.
void record_trace(const LanguageError& e, Cell* trace, Cell* files) {
  Cell err = none::value;
  RootCell keep(err);
  if (e.id) error::from_language_error(e, &err);
  else err = stack::raised_error;  // an error! value raised as it stands: its own fields
  if (err.type() != type::error) return;
  Cell* st = error::field_of(&err, error::field::stack);
  if (st->type() != type::block) integer::make_at(st, stack::frame_depth());
  error::record_trace(&err);
  *trace = *error::field_of(&err, error::field::stack);
  *files = *error::field_of(&err, error::field::files);
}

}  // namespace

// ---- Conditionals ---------------------------------------------------------------------------------

Exit if_(bool check) {
  if (check) check_args({any_type, bit(type::block)});
  Cell* a = stack::arguments;
  if (truth(a)) return eval(a + 1);
  return result_none();
}

Exit unless(bool check) {
  if (check) check_args({any_type, bit(type::block)});
  Cell* a = stack::arguments;
  if (!truth(a)) return eval(a + 1);
  return result_none();
}

Exit either(bool check) {
  if (check) check_args({any_type, bit(type::block), bit(type::block)});
  Cell* a = stack::arguments;
  return eval(truth_of_value(a) ? a + 1 : a + 2);
}

Exit any(bool check) {
  if (check) check_args({bit(type::block)});
  interpreter::Walk w = interpreter::begin(stack::arguments);
  while (!interpreter::at_end(w)) {
    const Exit e = interpreter::next(w, false);
    if (e != Exit::none) {
      interpreter::end_reset(w);
      return e;
    }
    if (truth(stack::arguments)) {
      interpreter::end_result(w);
      return Exit::none;
    }
  }
  interpreter::end_reset(w);
  return result_none();
}

Exit all(bool check) {
  if (check) check_args({bit(type::block)});
  interpreter::Walk w = interpreter::begin(stack::arguments);
  if (interpreter::at_end(w)) {
    interpreter::end_reset(w);
    return result_none();
  }
  while (!interpreter::at_end(w)) {
    const Exit e = interpreter::next(w, false);
    if (e != Exit::none) {
      interpreter::end_reset(w);
      return e;
    }
    if (!truth(stack::arguments)) {
      interpreter::end_reset(w);
      return result_none();
    }
  }
  interpreter::end_result(w);
  return Exit::none;
}

Exit switch_(bool check, i32 default_) {
  if (check) {
    check_args({any_value, bit(type::block)});
    check_arg_at(default_, bit(type::block));
  }
  Cell* a = stack::arguments;
  if (a->type() != type::block) {
    Cell* probe = stack::push_cell();
    const i32 n = series::total_length(a + 1);
    for (i32 i = std::max(series::head_index(a + 1), 0); i < n; ++i) {
      *probe = *block::cell_at(a + 1, i);
      if (probe->type() != a->type()) continue;
      if (actions::dispatch_compare(a, probe, compare_op::equal) != 0) continue;
      const i32 at = next_block(a + 1, i + 1);
      if (at < 0) break;
      *probe = *block::cell_at(a + 1, at);
      return eval(probe);
    }
  }
  if (default_ >= 0) return eval(a + default_);
  return result_none();
}

Exit case_(bool check, i32 all_) {
  if (check) check_args({bit(type::block)});
  Cell* a = stack::arguments;
  if (block::length(a) == 0) return result_none();
  const bool every = all_ >= 0;
  stack::push_call_frame(static_words::word(static_words::wid::anon));
  interpreter::Walk w = interpreter::begin(a);
  Cell last = none::value;
  bool matched = false;
  Exit e = Exit::none;
  while (!interpreter::at_end(w)) {
    matched = false;
    e = interpreter::next(w, false);
    if (e != Exit::none) break;
    if (interpreter::at_end(w)) {
      Cell name;
      word::load_at("case", &name);
      raise_error(ErrorCategory::script, "need-value", name);
    }
    if (!truth_of_value(stack::arguments)) {  // an unset condition raises no-return, as for either
      ++w.index;  // a false condition skips exactly one value
      continue;
    }
    matched = true;
    const Cell body = *block::cell_at(a, w.index);
    if (body.type() == type::block) {
      ++w.index;
      Cell* base = stack::arguments;
      stack::top = base;
      e = eval(&body);  // the walk's frame keeps the block, and with it `body`
      if (e != Exit::none) break;
    } else {
      e = interpreter::next(w, false);
      if (e != Exit::none) break;
    }
    last = *stack::arguments;
    if (!every) break;
  }
  interpreter::end_reset(w);
  stack::pop_frame_reset();
  if (e != Exit::none) return e;
  return result(matched ? last : none::value);
}

// ---- Loops ------------------------------------------------------------------------------------------

Exit while_(bool check) {
  if (check) check_args({bit(type::block), bit(type::block)});
  Cell* a = stack::arguments;
  Cell* base = open_loop();
  for (;;) {
    stack::top = base;
    const Exit e = eval(a);
    if (e != Exit::none) {
      stack::pop_frame_reset();
      if (e == Exit::break_ || e == Exit::continue_) raise_error(ErrorCategory::throw_, "while-cond");
      return e;
    }
    if (!truth_of_value(base)) break;
    Exit stop;
    if (!run_body(a + 1, base, &stop)) {
      if (stop != Exit::none) return leave_loop(stop);
      break;
    }
  }
  stack::pop_frame_reset();
  return result_unset();
}

Exit until(bool check) {
  if (check) check_args({bit(type::block)});
  Cell* a = stack::arguments;
  Cell* base = open_loop();
  for (;;) {
    stack::top = base;
    const Exit e = eval(a);
    if (e == Exit::none) [[likely]] {
      if (truth_of_value(base)) break;
      continue;
    }
    if (e == Exit::continue_) continue;
    if (e == Exit::break_) {
      *base = stack::exit_value;
      break;
    }
    return leave_loop(e);
  }
  return close_loop();
}

Exit loop(bool check) {
  if (check) check_args({number, bit(type::block)});
  Cell* a = stack::arguments;
  const i64 n = loop_count(a);
  if (n <= 0) return result_none();
  Cell* base = open_loop();
  for (i64 i = 0; i < n; ++i) {
    Exit stop;
    if (!run_body(a + 1, base, &stop)) {
      if (stop != Exit::none) return leave_loop(stop);
      break;
    }
  }
  return close_loop();
}

Exit repeat(bool check) {
  if (check) check_args({bit(type::word), number, bit(type::block)});
  Cell* a = stack::arguments;
  const i64 n = loop_count(a + 1);
  if (n <= 0) return result_none();
  Cell* base = open_loop();
  // The counter runs in 64 bits so that a count of 2147483647 ends.
  for (i64 i = 1; i <= n; ++i) {
    const Cell counter{type::integer, 0, static_cast<u32>(static_cast<i32>(i)), 0};
    word::set(a, &counter);
    Exit stop;
    if (!run_body(a + 2, base, &stop)) {
      if (stop != Exit::none) return leave_loop(stop);
      break;
    }
  }
  return close_loop();
}

Exit forever(bool check) {
  if (check) check_args({bit(type::block)});
  Cell* a = stack::arguments;
  Cell* base = open_loop();
  for (;;) {
    Exit stop;
    if (!run_body(a, base, &stop)) {
      if (stop != Exit::none) return leave_loop(stop);
      break;
    }
  }
  return close_loop();
}

Exit foreach(bool check) {
  if (check) check_args({any_word | bit(type::block), series | bit(type::map), bit(type::block)});
  Cell* a = stack::arguments;
  const i32 n = iteration_words(a);
  Cell* series = stack::push_value(a + 1);
  clamp_to_tail(series);
  const Cell* words = stack::push_value(a);
  Cell* base = open_loop();
  const bool map = series->type() == type::map;
  while (map ? map::foreach_next(series, words, n) : foreach_next(series, words, n)) {
    Exit stop;
    if (!run_body(a + 2, base, &stop)) {
      if (stop != Exit::none) return leave_loop(stop);
      break;
    }
  }
  return close_loop();
}

Exit forall(bool check) {
  if (check) check_args({bit(type::word), bit(type::block)});
  Cell* a = stack::arguments;
  Cell* series = stack::push_value(word::get_value(a));
  if (!has(detail::series, series->type())) actions::raise_expect_arg(series->type(), 0);
  const Cell* original = stack::push_value(series);
  Cell* base = open_loop();
  for (;;) {
    if (series::head_index(series) >= series::total_length(series)) {
      // A normal end: the word goes back to where it started.
      word::set(a, original);
      break;
    }
    Exit stop;
    if (!run_body(a + 1, base, &stop)) {
      if (stop != Exit::none) return leave_loop(stop);
      return close_loop();  // after break the word keeps the position reached
    }
    const Cell* now = word::get_value(a);
    if (!has(detail::series, now->type()) || now->w2 != series->w2) {
      raise_error(ErrorCategory::script, "bad-loop-series", *now);
    }
    *series = *now;
    series::set_head_index(series, series::head_index(series) + 1);
    word::set(a, series);
  }
  return close_loop();
}

Exit remove_each(bool check) {
  if (check) check_args({bit(type::word) | bit(type::block), series, bit(type::block)});
  Cell* a = stack::arguments;
  const i32 n = iteration_words(a);
  Cell* series = stack::push_value(a + 1);
  clamp_to_tail(series);
  const Cell* words = stack::push_value(a);
  Cell* base = open_loop();
  Exit status = Exit::none;
  const bool map = series->type() == type::map;
  while (map ? map::foreach_next(series, words, n) : foreach_next(series, words, n)) {
    stack::top = base;
    const Exit e = eval(a + 2);
    if (e == Exit::continue_) continue;
    if (e == Exit::break_) break;
    if (e != Exit::none) {
      status = e;
      break;
    }
    if (!truth(base)) continue;
    // Remove the n values just visited (fewer at the tail).
    const i32 at = series::head_index(series) - n;
    const i32 count = std::min(n, series::total_length(series) - at);
    Cell* target = stack::push_value(series);
    series::set_head_index(target, at);
    Cell* part = stack::push_cell();
    integer::box(part, count);
    actions::get<action::slot::remove>(target)(target, part, nullptr);
    series::set_head_index(series, at);
  }
  if (status != Exit::none) return leave_loop(status);
  stack::pop_frame_reset();
  return result(a[1]);
}

// ---- Do, reduce, compose ---------------------------------------------------------------------------

Exit do_(bool check, i32 expand, i32 args, i32 next, i32 trace) {
  if (check) {
    check_args({any_value});
    check_arg_at(next, bit(type::word));
  }
  Cell* a = stack::arguments;
  const bool traced = trace >= 0 && !interpreter::tracing;
  interpreter::TraceState saved{};
  if (traced) {
    saved = interpreter::install_trace(a + trace);
    if (const Exit e = interpreter::fire_event(interpreter::event::init, nullptr, -1, nullptr, a); e != Exit::none) {
      interpreter::uninstall_trace(saved);
      return e;
    }
  }
  Exit e;
  try {
    e = do_value(a, expand, args, next);
  } catch (...) {
    if (traced) interpreter::uninstall_trace(saved);
    throw;
  }
  if (traced) {
    Cell* keep_top = stack::top;
    stack::top = std::max(stack::top, a + 1);
    const Exit end = interpreter::fire_event(interpreter::event::end, nullptr, -1, nullptr, a);
    stack::top = keep_top;
    interpreter::uninstall_trace(saved);
    if (e == Exit::none) e = end;
  }
  return e;
}

Exit reduce(bool check, i32 into_) {
  if (check) {
    check_args({any_value});
    check_arg_at(into_, any_block);
  }
  Cell* a = stack::arguments;
  const u32 t = a->type();
  if (has(any_function, t)) return Exit::none;  // a function value is not called
  if (t != type::block) {
    Cell* const saved = stack::top;
    const Exit e = interpreter::eval_value(a);
    if (e != Exit::none) return e;
    Cell* v = stack::last_value();
    if (into_ < 0) {
      *a = *v;
      stack::top = saved;
      return Exit::none;
    }
    Cell* one = stack::push_cell();
    block::make_at(one, 1);
    block::append_value(one, v);
    into(a + into_, one);
    *a = a[into_];
    return Exit::none;
  }
  Cell* out = stack::push_cell();
  block::make_at(out, block::length(a));
  interpreter::Walk w = interpreter::begin(a);
  while (!interpreter::at_end(w)) {
    const Exit e = interpreter::next(w, false);
    if (e != Exit::none) {
      interpreter::end_reset(w);
      return e;
    }
    block::append_value(out, stack::arguments);
  }
  interpreter::end_reset(w);
  if (into_ >= 0) {
    into(a + into_, out);
    *a = a[into_];
  } else {
    *a = *out;
  }
  return Exit::none;
}

Exit compose(bool check, i32 deep, i32 only, i32 into_) {
  if (check) check_arg_at(into_, any_block);
  Cell* a = stack::arguments;
  if (a->type() != type::block) {
    Cell expected, got;
    datatype::make_at(&expected, type::block);
    datatype::make_at(&got, a->type());
    raise_error(ErrorCategory::script, "expect-val", expected, got);
  }
  Cell* out = stack::push_cell();
  block::make_at(out, block::length(a));
  const Exit e = compose_into(a, out, deep >= 0, only >= 0);
  if (e != Exit::none) return e;
  if (into_ >= 0) {
    into(a + into_, out);
    *a = a[into_];
  } else {
    *a = *out;
  }
  return Exit::none;
}

// ---- Exits and their handlers ----------------------------------------------------------------------

Exit break_(bool, i32 return_) { return stack::break_exit(return_ >= 0, false); }

Exit continue_(bool) { return stack::break_exit(false, true); }

Exit exit_(bool) { return stack::return_exit(false, false); }

Exit return_(bool) { return stack::return_exit(true, false); }

Exit throw_(bool check, i32 name) {
  if (check) {
    check_args({any_value});
    check_arg_at(name, bit(type::word));
  }
  Cell* a = stack::arguments;
  if (interpreter::tracing) {
    const Exit e = interpreter::fire_event(interpreter::event::throw_, nullptr, -1, name >= 0 ? a + name : nullptr, a);
    if (e != Exit::none) return e;
  }
  return stack::throw_exit(a, name >= 0 ? a + name : nullptr);
}

Exit catch_(bool check, i32 name) {
  if (check) {
    check_args({bit(type::block)});
    check_arg_at(name, bit(type::word) | bit(type::block));
  }
  Cell* a = stack::arguments;
  stack::push_catch_frame();
  const Exit e = eval(a);
  if (e == Exit::none) {
    stack::pop_frame_result();
    return Exit::none;
  }
  stack::pop_frame_reset();
  if (e != Exit::throw_) return e;
  if (name >= 0) {
    if (stack::thrown_name.type() == type::unset || !name_matches(a + name, &stack::thrown_name)) {
      return stack::rethrow();
    }
  }
  *a = stack::thrown_value;
  stack::thrown_value = unset::value;
  stack::thrown_name = unset::value;
  stack::where_frame = -1;
  if (interpreter::tracing) {
    const Exit te = interpreter::fire_event(interpreter::event::catch_, nullptr, -1, nullptr, a);
    if (te != Exit::none) return te;
  }
  return Exit::none;
}

Exit try_(bool check, i32 all_, i32 keep) {
  if (check) check_args({bit(type::block)});
  Cell* a = stack::arguments;
  const stack::Mark m = stack::mark();
  try {
    if (all_ >= 0) stack::push_try_all_frame();
    else stack::push_try_frame();
    const Exit e = eval(a);
    if (e == Exit::none) stack::pop_frame_result();
    else stack::pop_frame_reset();
    return e;
  } catch (const LanguageError& e) {
    // /keep: the call trace is taken while the frames of the failed code are still there.
    Cell trace = none::value, files = none::value;
    RootCell keep_trace(trace), keep_files(files);
    if (keep >= 0) record_trace(e, &trace, &files);
    stack::catch_error(e, m, a);
    if (a->type() == type::error && trace.type() == type::block) {
      *error::field_of(a, error::field::stack) = trace;
      if (files.type() == type::block) *error::field_of(a, error::field::files) = files;
    }
  }
  stack::top = a + 1;
  return Exit::none;
}

}  // namespace kiv::natives
