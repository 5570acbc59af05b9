// The natives that make functions and work on words and contexts: func, function, does, has, get,
// set, unset, value?, type?, bind, in, context?, construct, extend and apply.
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/path.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"
#include "runtime/roots.h"

namespace kiv::natives {

using namespace detail;

namespace {

// Makes a function from a spec and a body lying in cells that stay put; the result cell gets it.
Exit make_function(const Cell* spec, const Cell* body) {
  const u32 flags = function::validate_spec(spec);
  function::make_value(spec, body, Ref<Node>{}, 0, 0, flags);
  return result(*stack::last_value());
}

// The context a value stands for (bind's target, in's source): a word's, an object's, a function's.
Ref<Node> context_of_value(const Cell* v) {
  const u32 t = v->type();
  if (word::any_word_q(t)) return word::context_of(v);
  if (object::object_like_q(t)) return object::context_of(v);
  if (t == type::function || t == type::routine) return function::context_node(v);
  return Ref<Node>{};
}

// The types whose elements a multiple set spreads over the words.
bool spreads_q(u32 t) { return t == type::block || t == type::hash || path::any_path_q(t) || t == type::map; }

}  // namespace

// ---- Function makers ------------------------------------------------------------------------------

Exit func(bool check) {
  if (check) check_args({bit(type::block), bit(type::block)});
  Cell* a = stack::arguments;
  return make_function(a, a + 1);
}

Exit function(bool check, i32) {
  if (check) check_args({bit(type::block), bit(type::block)});
  Cell* a = stack::arguments;
  // The spec is edited (locals appended, /extern dropped): work on a shallow copy from its head.
  Cell* spec = block::clone(a, false, false);
  function::collect_locals(spec, a + 1);
  return make_function(spec, a + 1);
}

Exit does(bool check) {
  if (check) check_args({bit(type::block)});
  Cell* a = stack::arguments;
  Cell* spec = block::push_new(0);
  return make_function(spec, a);
}

Exit has(bool check) {
  if (check) check_args({bit(type::block), bit(type::block)});
  Cell* a = stack::arguments;
  Cell* spec = block::clone(a, false, false);
  const Cell local = *static_words::refinement(static_words::rid::local);
  block::insert_value(spec, &local, false, true);
  return make_function(spec, a + 1);
}

// ---- Variables --------------------------------------------------------------------------------------

Exit get(bool check, i32 any, i32 case_) {
  if (check) check_args({any_word | any_path | bit(type::object)});
  Cell* a = stack::arguments;
  const u32 t = a->type();
  if (path::any_path_q(t)) {
    Cell* const saved = stack::top;
    const Exit e = interpreter::eval_path(a, interpreter::PathMode::get, nullptr, case_ >= 0);
    if (e != Exit::none) return e;
    *a = *stack::last_value();
    stack::top = saved;
    return Exit::none;
  }
  if (t == type::object) {
    const Cell* values = actions::get<action::slot::reflect>(a)(a, static_words::symbol(static_words::sym::values));
    return result(*values);
  }
  if (!word::any_word_q(t)) actions::raise_expect_arg(a->type(), 0);
  const Cell v = *word::get_value(a);
  if (v.type() == type::unset && any < 0) raise_error(ErrorCategory::script, "no-value", *a);
  return result(v);
}

Exit set(bool check, i32 any, i32 case_, i32 only, i32 some) {
  if (check) check_args({any_word | bit(type::block) | bit(type::object) | any_path, any_type});
  Cell* a = stack::arguments;
  const u32 t = a->type();
  if (a[1].type() == type::unset && any < 0) raise_error(ErrorCategory::script, "need-value", a[0]);
  if (word::any_word_q(t)) {
    word::set(a, a + 1);
  } else if (path::any_path_q(t)) {
    Cell* const saved = stack::top;
    const Exit e = interpreter::eval_path(a, interpreter::PathMode::set, a + 1, case_ >= 0);
    if (e != Exit::none) return e;
    stack::top = saved;
  } else if (object::object_like_q(t)) {
    object::set_many(a, a + 1, any >= 0, only >= 0, some >= 0);
  } else if (t == type::block) {
    set_words(a, a + 1, any >= 0, only < 0 && spreads_q(a[1].type()), some >= 0);
  } else {
    actions::raise_expect_arg(a->type(), 0);
  }
  return result(a[1]);
}

Exit unset(bool check) {
  if (check) check_args({bit(type::word) | bit(type::block)});
  Cell* a = stack::arguments;
  if (a->type() == type::word) {
    word::set(a, &unset::value);
  } else {
    const i32 head = std::max(block::head_index(a), 0);
    for (i32 i = 0, n = block::length(a); i < n; ++i) {
      const Cell* w = block::cell_at(a, head + i);
      if (w->type() == type::word) set_word(w, &unset::value);
    }
  }
  return result_unset();
}

Exit value_q(bool) {
  Cell* a = stack::arguments;
  const bool set = word::any_word_q(a->type()) ? word::get_value(a)->type() != type::unset : a->type() != type::unset;
  return result(set ? logic::true_value : logic::false_value);
}

Exit type_q(bool, i32 word_) {
  Cell* a = stack::arguments;
  const u32 t = a->type();
  if (word_ >= 0) {
    const Cell name = t < datatype::table_rows ? datatype::names[t].word : none::value;
    return result(name.type() == type::word ? name : none::value);
  }
  Cell d;
  datatype::make_at(&d, t);
  return result(d);
}

// ---- Binding ----------------------------------------------------------------------------------------

Exit bind(bool check, i32 copy) {
  if (check) check_args({bit(type::block) | any_word, any_word | any_object | bit(type::function)});
  Cell* a = stack::arguments;
  Ref<Node> ctx = context_of_value(a + 1);
  RootNode keep_ctx(ctx);
  if (!ctx) raise_error(ErrorCategory::script, "not-defined", a[1]);
  if (word::any_word_q(a->type())) {
    word::bind(ctx, a);
    return Exit::none;
  }
  Cell* target = a;
  if (copy >= 0) target = block::clone(a, true, true);
  context::bind_block(target, ctx, context::self_q(ctx));
  return result(*target);
}

Exit in(bool check) {
  if (check) check_args({any_object | any_function, any_word | bit(type::refinement)});
  Cell* a = stack::arguments;
  const Ref<Node> ctx = context_of_value(a);
  if (!ctx) return result_none();
  const i32 index = context::find_word(ctx, word::symbol_of(a + 1), true);
  if (index < 0) return result_none();
  Cell w;
  word::init_at(&w, a[1].type() == type::refinement ? type::word : a[1].type(), ctx, word::symbol_of(a + 1), index);
  return result(w);
}

Exit context_q(bool check) {
  if (check) check_args({any_word});
  Cell* a = stack::arguments;
  const Ref<Node> ctx = word::context_of(a);
  if (!ctx) return result_none();
  return result(*context::owner_of(ctx));
}

// ---- Objects ------------------------------------------------------------------------------------------

Exit construct(bool check, i32 with, i32 only) {
  if (check) {
    check_args({bit(type::block)});
    check_arg_at(with, bit(type::object));
  }
  Cell* a = stack::arguments;
  object::construct(a, with >= 0 ? a + with : nullptr, only >= 0);
  return result(*stack::last_value());
}

Exit extend(bool check, i32 case_) {
  if (check) check_args({bit(type::object) | bit(type::map), bit(type::block) | bit(type::hash) | bit(type::map)});
  Cell* a = stack::arguments;
  if (a->type() != type::map) raise_error(ErrorCategory::internal, "not-done");
  Cell* spec = a + 1;
  if (spec->type() == type::map) spec = actions::get<action::slot::reflect>(spec)(spec, static_words::symbol(static_words::sym::body));
  map::extend(a, spec, case_ >= 0);
  return result(*a);
}

// ---- Apply ---------------------------------------------------------------------------------------------

Exit apply(bool check, i32 all, i32 safer) {
  if (check) check_args({bit(type::word) | bit(type::path) | any_function, bit(type::block)});
  Cell* a = stack::arguments;
  Cell* fn = a;
  const Cell* name = nullptr;
  if (a->type() == type::word) {
    fn = stack::push_value(word::get_value(a));
    name = a;
  } else if (a->type() == type::path) {
    const Exit e = interpreter::eval_path(a, interpreter::PathMode::get, nullptr, false);
    if (e != Exit::none) return e;
    fn = stack::last_value();
  }
  if (!has(any_function, fn->type())) raise_error(ErrorCategory::script, "invalid-arg", *fn);
  const Exit e = interpreter::apply(fn, name, a + 1, all >= 0, safer >= 0);
  if (e != Exit::none) return e;
  return result(*stack::last_value());
}

}  // namespace kiv::natives
