// Minimal control natives for testing and benchmarking the interpreter on its own: registered in
// the free slots of the natives table (from 108) and bound to the words if, either, while, loop,
// func, return, exit, break, try, catch, throw and do. They follow the native convention and the
// exit rules exactly, so the interpreter's statuses, frames and catchers are exercised as the real
// natives will exercise them.
#pragma once
#include "datatypes/block.h"
#include "datatypes/frame_words.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/symbol.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "evaluator/catch.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "lexer/lexer.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"
#include "tests/unit/core_fixture.h"

namespace kiv::test::interp {

inline Exit t_if(bool) {
  Cell* a = stack::arguments;
  if (logic::true_q(a)) return interpreter::eval_block(a + 1, true);
  none::make_at(a);
  return Exit::none;
}

inline Exit t_either(bool) {
  Cell* a = stack::arguments;
  if (a->type() == type::unset) raise_error(ErrorCategory::script, "no-return");
  return interpreter::eval_block(logic::true_q(a) ? a + 1 : a + 2, true);
}

inline Exit t_loop(bool) {
  Cell* a = stack::arguments;
  i32 n = cell::to_int32_checked(a);
  const Cell* body = a + 1;  // a value-stack cell: it stays put and the collector updates it
  if (n <= 0) {
    none::make_at(a);
    return Exit::none;
  }
  stack::push_loop_frame();
  Cell* base = stack::arguments;
  for (i32 i = 0; i < n; ++i) {
    stack::top = base;
    Exit e = interpreter::eval_block(body, false);
    if (e == Exit::none) continue;
    if (e == Exit::continue_) continue;
    stack::pop_frame_reset();
    if (e == Exit::break_) {
      *a = stack::exit_value;
      return Exit::none;
    }
    return e;
  }
  Cell last = *base;
  stack::pop_frame_reset();
  *a = last;
  return Exit::none;
}

inline Exit t_while(bool) {
  Cell* a = stack::arguments;
  const Cell* cond = a;
  const Cell* body = a + 1;
  stack::push_loop_frame();
  Cell* base = stack::arguments;
  for (;;) {
    stack::top = base;
    Exit e = interpreter::eval_block(cond, false);
    if (e == Exit::break_ || e == Exit::continue_) raise_error(ErrorCategory::throw_, "while-cond");
    if (e != Exit::none) {
      stack::pop_frame_reset();
      return e;
    }
    if (!logic::true_q(stack::last_value())) break;
    stack::top = base;
    e = interpreter::eval_block(body, false);
    if (e == Exit::none || e == Exit::continue_) continue;
    if (e == Exit::break_) break;
    stack::pop_frame_reset();
    return e;
  }
  stack::pop_frame_reset();
  unset::make_at(stack::arguments);
  return Exit::none;
}

inline Exit t_func(bool) {
  Cell* a = stack::arguments;
  u32 flags = function::validate_spec(a);
  function::make_value(a, a + 1, Ref<Node>{}, 0, 0, flags);
  *a = *stack::last_value();
  stack::top = a + 1;
  return Exit::none;
}

inline Exit t_return(bool) { return stack::return_exit(true, false); }
inline Exit t_exit(bool) { return stack::return_exit(false, false); }
inline Exit t_break(bool, i32 value) { return stack::break_exit(value != -1, false); }

inline Exit t_try(bool) {
  Cell* a = stack::arguments;
  Cell block = *a;
  RootCell keep(block);
  const stack::Mark m = stack::mark();
  stack::push_try_frame();
  bool caught = false;
  Exit e = stack::catching(m, a, &caught, [&] {
    Exit r = interpreter::eval_block(&block, true);
    stack::pop_frame_result();
    return r;
  });
  stack::top = a + 1;
  return e;
}

inline Exit t_throw(bool, i32 name) {
  Cell* a = stack::arguments;
  return stack::throw_exit(a, name >= 0 ? a + name : nullptr);
}

inline Exit t_catch(bool, i32 name) {
  Cell* a = stack::arguments;
  Cell block = *a;
  RootCell keep(block);
  stack::push_catch_frame();
  Exit e = interpreter::eval_block(&block, true);
  stack::pop_frame_result();
  stack::top = a + 1;
  if (e != Exit::throw_) return e;
  if (name >= 0) {
    const Cell& n = stack::thrown_name;
    bool match = n.type() == type::word &&
                 symbol::resolve(word::symbol_of(&n)) == symbol::resolve(word::symbol_of(a + name));
    if (!match) return stack::rethrow();
  }
  stack::where_frame = -1;  // the throw was taken: its place is no error's where
  *a = stack::thrown_value;
  return Exit::none;
}

inline Exit t_do(bool) {
  Cell* a = stack::arguments;
  Cell v = *a;
  RootCell keep(v);
  Exit e = interpreter::eval_value(&v);
  if (e != Exit::none) return e;
  *a = *stack::last_value();
  stack::top = a + 1;
  return Exit::none;
}

// Registers a native in the next free slot of the natives table and binds the word to a native!
// value of that slot with the interface spec.
inline void define_native(const char* word_name, natives::Entry entry, const char* spec_text) {
  const i32 slot = natives::next_free;
  natives::register_natives(std::span<const natives::Entry>(&entry, 1));
  Cell spec = none_cell(), make_spec = none_cell();
  RootCell keep_spec(spec), keep_make(make_spec);
  lexer::load_text(spec_text, &spec);
  block::make_at(&make_spec, 2);
  block::append_value(&make_spec, &spec);
  Cell n = int_cell(slot);
  block::append_value(&make_spec, &n);
  Cell proto{type::datatype, type::native, 0, 0};
  Cell value = *native::make(&proto, &make_spec, type::native);
  RootCell keep_value(value);
  stack::drop(1);
  Cell w = word::load(word_name);
  RootCell keep_w(w);
  word::set(&w, &value);
}

// Registers the natives in the free slots and binds their words. Once per process.
inline void define_test_natives() {
  static bool done = false;
  if (done) return;
  done = true;
  struct Def {
    const char* word;
    natives::Entry entry;
    const char* spec;
  };
  const Def defs[] = {
      {"if", natives::entry(&t_if), "cond [any-type!] then-blk [block!]"},
      {"either", natives::entry(&t_either), "cond [any-type!] true-blk [block!] false-blk [block!]"},
      {"loop", natives::entry(&t_loop), "count [integer! float!] body [block!]"},
      {"while", natives::entry(&t_while), "cond [block!] body [block!]"},
      {"func", natives::entry(&t_func), "spec [block!] body [block!]"},
      {"return", natives::entry(&t_return), "value [any-type!]"},
      {"exit", natives::entry(&t_exit), ""},
      {"break", natives::entry(&t_break), "/return value [any-type!]"},
      {"try", natives::entry(&t_try), "block [block!]"},
      {"throw", natives::entry(&t_throw), "value [any-type!] /name word [word!]"},
      {"catch", natives::entry(&t_catch), "block [block!] /name word [word!]"},
      {"do", natives::entry(&t_do), "value [any-type!]"},
  };
  natives::next_free = 108;
  for (const Def& d : defs) define_native(d.word, d.entry, d.spec);
}

// The core boot plus the vocabulary and the test natives; the native-stack guard armed.
inline void boot_language() {
  boot_core();
  interpreter::init();  // other tests replace the hooks the interpreter installs
  static bool done = false;
  if (!done) {
    done = true;
    sys::init_stack_bounds();
    natives::define_words();
    define_test_natives();
  }
}

}  // namespace kiv::test::interp
