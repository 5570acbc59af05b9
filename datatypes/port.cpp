#include "datatypes/port.h"

#include <initializer_list>

#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::port {

namespace {

Cell word_named(const char* name) {
  Cell w;
  actions::name_word(name, type::word, &w);
  return w;
}

// The value cell of an object's field, null when the object has no such field; valid until the
// next allocation.
Cell* field_slot(const Cell* obj, const Cell* word) {
  i32 i = object::find_word(obj, word);
  return i < 0 ? nullptr : object::get_values(obj) + i;
}

// A copy of a field's value: none when the value is no object or has no such field.
Cell field(const Cell* obj, const char* name) {
  if (!object::object_like_q(obj->type())) return none::value;
  Cell w = word_named(name);
  Cell* v = field_slot(obj, &w);
  return v ? *v : none::value;
}

void set_field(Cell* obj, const char* name, const Cell* value) {
  Cell w = word_named(name);
  if (Cell* v = field_slot(obj, &w)) *v = *value;
}

// system/<names...>, none when a step is missing.
Cell system_field(std::initializer_list<const char*> names) {
  Cell w = word_named("system");
  Cell v = word::context_of(&w) ? *word::get_value(&w) : none::value;
  RootCell keep(v);
  for (const char* name : names) v = field(&v, name);
  return v;
}

Cell system_object(std::initializer_list<const char*> names) {
  Cell v = system_field(names);
  if (v.type() != type::object) raise_error(ErrorCategory::internal, "not-done");
  return v;
}

// ---- forwarding ----

// A forwarded call: the port and the arguments are pushed from `base` on; call() runs the actor's
// function of the action on them and leaves its result in `out`.
Cell* begin(const Cell* port) { return stack::push_value(port); }
void pass(const Cell* value) { stack::push_value(value); }
void pass_flag(bool used) { logic::box(stack::push_cell(), used); }
// A refinement with its argument: the argument, or none when the refinement was not used.
void pass_refinement(const Cell* argument) {
  pass_flag(argument != nullptr);
  pass(argument ? argument : &none::value);
}
void pass_count(bool used, i32 count) {
  Cell n = none::value;
  if (used) integer::box(&n, count);
  pass_refinement(used ? &n : nullptr);
}

Cell* call(const char* action, Cell* base, Cell* out) {
  Cell name = word_named(action), fn = none::value;
  RootCell keep_name(name), keep_fn(fn);
  Cell actor = field(base, "actor");
  RootCell keep_actor(actor);
  if (actor.type() != type::object) raise_error(ErrorCategory::access, "invalid-port");
  fn = field(&actor, action);
  if (fn.type() != type::function) raise_error(ErrorCategory::access, "no-port-action");
  hooks::call_positional(&fn, &name, static_cast<i32>(stack::top - base), out);
  return out;
}

// The result cell of a forwarded action that answers a value, below the call's cells.
Cell* result_cell() { return stack::push_cell(); }

// ---- the forwarded actions ----

// The stack-style actions: the port at the arguments base, their one argument (if any) above it,
// the result back in the base.
void stack_style(const char* action, i32 arguments) {
  Cell* const args = stack::arguments;
  Cell* base = begin(args);
  for (i32 i = 1; i <= arguments; ++i) pass(args + i);
  call(action, base, args);
}
#define KIV_PORT_STACK_STYLE(name, word, arguments) \
  void name() { stack_style(word, arguments); }
KIV_PORT_STACK_STYLE(at, "at", 1)
KIV_PORT_STACK_STYLE(back, "back", 0)
KIV_PORT_STACK_STYLE(head, "head", 0)
KIV_PORT_STACK_STYLE(head_q, "head?", 0)
KIV_PORT_STACK_STYLE(index_q, "index?", 0)
KIV_PORT_STACK_STYLE(next, "next", 0)
KIV_PORT_STACK_STYLE(skip, "skip", 1)
KIV_PORT_STACK_STYLE(tail, "tail", 0)
KIV_PORT_STACK_STYLE(tail_q, "tail?", 0)
#undef KIV_PORT_STACK_STYLE

// The actions of the port alone.
Cell* alone(const char* action, Cell* port) {
  Cell* out = result_cell();
  return call(action, begin(port), out);
}
#define KIV_PORT_ALONE(name, word) \
  Cell* name(Cell* port) { return alone(word, port); }
KIV_PORT_ALONE(clear, "clear")
KIV_PORT_ALONE(create, "create")
KIV_PORT_ALONE(close, "close")
KIV_PORT_ALONE(delete_, "delete")
KIV_PORT_ALONE(query, "query")
KIV_PORT_ALONE(update, "update")
#undef KIV_PORT_ALONE

// length? answers a count: an integer! from the actor, or none for anything else.
i32 length_q(const Cell* port) {
  Cell* out = alone("length?", const_cast<Cell*>(port));
  return out->type() == type::integer ? out->as_int() : -1;
}

Cell* insertion(const char* action, Cell* port, Cell* value, i32 part, bool only, i32 dup) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass(value);
  pass_count(part >= 0, part);
  pass_flag(only);
  pass_count(dup > 1, dup);
  return call(action, base, out);
}
Cell* append(Cell* port, Cell* value, i32 part, bool only, i32 dup, bool) {
  return insertion("append", port, value, part, only, dup);
}
Cell* insert(Cell* port, Cell* value, i32 part, bool only, i32 dup, bool) {
  return insertion("insert", port, value, part, only, dup);
}
Cell* change(Cell* port, Cell* value, i32 part, bool only, i32 dup) {
  return insertion("change", port, value, part, only, dup);
}

Cell* copy(Cell* port, Cell* result, Cell* part, bool deep, Cell* types) {
  Cell* base = begin(port);
  pass_refinement(part);
  pass_flag(deep);
  pass_refinement(types);
  return call("copy", base, result);
}

// find and select share their arguments up to /reverse.
Cell* begin_search(Cell* port, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
                   Cell* skip, bool last, bool reverse) {
  Cell* base = begin(port);
  pass(value);
  pass_refinement(part);
  for (bool f : {only, case_, same, any}) pass_flag(f);
  pass_refinement(with);
  pass_refinement(skip);
  pass_flag(last);
  pass_flag(reverse);
  return base;
}
Cell* find(Cell* port, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
  Cell* out = result_cell();
  Cell* base = begin_search(port, value, part, only, case_, same, any, with, skip, last, reverse);
  pass_flag(tail);
  pass_flag(match);
  return call("find", base, out);
}
Cell* select(Cell* port, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse) {
  Cell* out = result_cell();
  return call("select", begin_search(port, value, part, only, case_, same, any, with, skip, last, reverse), out);
}

Cell* move(Cell* port, Cell* target, Cell* part) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass(target);
  pass_refinement(part);
  return call("move", base, out);
}

Cell* pick(Cell* port, i32, Cell* index) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass(index);
  return call("pick", base, out);
}

Cell* poke(Cell* port, i32, Cell* data, Cell* index) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass(index);
  pass(data);
  return call("poke", base, out);
}

Cell* put(Cell* port, Cell* key, Cell* value, bool case_) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass(key);
  pass(value);
  pass_flag(case_);
  return call("put", base, out);
}

Cell* remove(Cell* port, Cell* part, Cell*) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass_refinement(part);
  return call("remove", base, out);
}

Cell* reverse(Cell* port, Cell* part, Cell*) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass_refinement(part);
  return call("reverse", base, out);
}

Cell* sort(Cell* port, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass_flag(case_);
  pass_refinement(skip);
  pass_refinement(compare);
  pass_refinement(part);
  for (bool f : {all, reverse, stable}) pass_flag(f);
  return call("sort", base, out);
}

Cell* swap(Cell* port, Cell* other) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass(other);
  return call("swap", base, out);
}

Cell* take(Cell* port, Cell* part, bool deep, bool last) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass_refinement(part);
  pass_flag(deep);
  pass_flag(last);
  return call("take", base, out);
}

Cell* trim(Cell* port, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  for (bool f : {head, tail, auto_, lines, all}) pass_flag(f);
  pass_refinement(with);
  return call("trim", base, out);
}

Cell* modify(Cell* port, Cell* field_word, Cell* value, bool case_) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass(field_word);
  pass(value);
  pass_flag(case_);
  return call("modify", base, out);
}

Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  for (bool f : {new_, read, write, seek}) pass_flag(f);
  pass_refinement(allow);
  return call("open", base, out);
}

Cell* rename(Cell* port, Cell* to) {
  Cell* out = result_cell();
  Cell* base = begin(port);
  pass(to);
  return call("rename", base, out);
}

// read: open (with /seek when asked), copy (with /part when given), close; the copy is the result.
Cell* read(Cell* port, Cell* part, Cell* seek, bool, bool, bool, Cell*) {
  Cell* out = result_cell();
  open(port, false, false, false, seek != nullptr, nullptr);
  copy(port, out, part, false, nullptr);
  close(port);
  return out;
}

// write: open/write (with /seek when asked), insert the data (with /part when the length is an
// integer!), copy, close; the copy is the result.
Cell* write(Cell* port, Cell* data, bool, bool, bool, bool, Cell* part, Cell* seek, Cell*, Cell*) {
  Cell* out = result_cell();
  open(port, false, false, true, seek != nullptr, nullptr);
  bool counted = part && part->type() == type::integer;
  insert(port, data, counted ? part->as_int() : -1, false, 1, false);
  copy(port, out, nullptr, false, nullptr);
  close(port);
  return out;
}

Cell* make_from_spec(const Cell* spec, Cell* out) {
  Cell s = *spec;
  RootCell keep(s);
  *out = *make(nullptr, &s, type::port);
  return out;
}

}  // namespace

// ---- make, form and mold ----

Cell* make(Cell*, Cell* spec_in, u32) {
  Cell spec = *spec_in;
  RootCell keep_spec(spec);
  if (spec.type() == type::block) {
    Cell parts = system_object({"standard", "url-parts"});
    RootCell keep_parts(parts);
    spec = *object::make(&parts, &spec, type::object);
  } else if (spec.type() != type::object) {
    Cell kind;
    datatype::make_at(&kind, type::port);
    raise_error(ErrorCategory::script, "bad-make-arg", kind, spec);
  }
  Cell scheme = field(&spec, "scheme");
  RootCell keep_scheme(scheme);
  if (scheme.type() != type::word) raise_error(ErrorCategory::access, "no-scheme", spec);
  Cell standard = system_object({"standard", "port"});
  RootCell keep_standard(standard);
  Cell* port = stack::push_cell();
  object::copy_object(&standard, port, false, nullptr, false);
  cell::set_type(port, type::port);
  *context::owner_of(object::context_of(port)) = *port;
  set_field(port, "spec", &spec);
  set_field(port, "scheme", &scheme);
  Cell schemes = system_field({"schemes"});
  RootCell keep_schemes(schemes);
  Cell* entry = object::object_like_q(schemes.type()) ? field_slot(&schemes, &scheme) : nullptr;
  Cell found = entry ? *entry : none::value;
  RootCell keep_found(found);
  if (found.type() != type::object) raise_error(ErrorCategory::access, "unknown-scheme", scheme);
  Cell actor = field(&found, "actor");
  RootCell keep_actor(actor);
  if (actor.type() != type::object && actor.type() != type::handle)
    raise_error(ErrorCategory::access, "invalid-actor");
  set_field(port, "actor", &actor);
  return port;
}

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  return object::mold_as(value, out, "make port! [", only, all, flat, part, limit, indent);
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  return mold(value, out, false, false, false, part, limit, 0);
}

// object!'s comparison, which takes an object as its second value (so a port never equals an object).
i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::port) return -2;
  Cell other = *b;
  cell::set_type(&other, type::object);
  return object::compare(a, &other, op);
}

void init() {
  using action::inherit;
  datatype::register_type(type::port, type::object, "port!",
                          {
                              .make = make,
                              .reflect = inherit,
                              .form = form,
                              .mold = mold,
                              .eval_path = inherit,
                              .compare = compare,
                              .append = append,
                              .at = at,
                              .back = back,
                              .change = change,
                              .clear = clear,
                              .copy = copy,
                              .find = find,
                              .head = head,
                              .head_q = head_q,
                              .index_q = index_q,
                              .insert = insert,
                              .length_q = length_q,
                              .move = move,
                              .next = next,
                              .pick = pick,
                              .poke = poke,
                              .put = put,
                              .remove = remove,
                              .reverse = reverse,
                              .select = select,
                              .sort = sort,
                              .skip = skip,
                              .swap = swap,
                              .tail = tail,
                              .tail_q = tail_q,
                              .take = take,
                              .trim = trim,
                              .create = create,
                              .close = close,
                              .delete_ = delete_,
                              .modify = modify,
                              .open = open,
                              .query = query,
                              .read = read,
                              .rename = rename,
                              .update = update,
                              .write = write,
                          });
  collector::set_mark_procedure(type::port, collector::mark_object);
  hashtable::set_hash_procedure(type::port, hashtable::hash_word1, true);
  hooks::make_port = make_from_spec;
}

}  // namespace kiv::port
