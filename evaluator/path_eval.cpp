// Path evaluation: get, set and plain paths. A function met along a plain path is called with the
// rest of the path as its refinements (through the object it was found in, for a method).
//
// Invariants:
// - Every step may store into a series: each one advances the evaluation epoch first.
// - The resolved elements stay on the value stack (rooted, and there for a second walk): once code
//   ran (a paren element), the storage is walked to again from the first word.
#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/path.h"
#include "evaluator/interp_internal.h"
#include "runtime/roots.h"

namespace kiv::interpreter {

using namespace detail;

namespace {

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

}  // namespace

namespace detail {

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
  // A step gets the value that holds its parent and the element that picked the parent there, so
  // that a scalar changed in place (a date's month, a time's hour) can tell its owner.
  Cell gparent = none::value, owner = none::value, p_item = none::value;
  RootCell keep_gp(gparent), keep_owner(owner), keep_item(p_item);
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
    Cell* result = step(live, mark + (i - head - 1), storing, mode == PathMode::set ? &set_path : &p, &owner,
                        &p_item, i, case_, false, last, mode == PathMode::set);
    owner = gparent;
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

}  // namespace detail

Exit eval_path(const Cell* path, PathMode mode, const Cell* value, bool case_) {
  Cell v = value ? *value : none::value;
  RootCell keep(v);
  return eval_path_at(nullptr, path, mode, value ? &v : nullptr, case_);
}

}  // namespace kiv::interpreter
