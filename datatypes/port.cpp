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

// One argument passed after the port: a value, a flag refinement (its truth), a refinement with its
// argument (the truth, then the argument or none), or a refinement whose argument is a count.
struct Arg {
  enum Kind : u8 { value, flag, refinement, count } kind;
  const Cell* cell = nullptr;  // value; refinement's argument, null when not used
  bool on = false;             // flag; count used
  i32 n = 0;                   // count
};
Arg value(const Cell* c) { return {Arg::value, c}; }
Arg flag(bool on) { return {Arg::flag, nullptr, on}; }
Arg refinement(const Cell* argument) { return {Arg::refinement, argument}; }
Arg count(bool used, i32 n) { return {Arg::count, nullptr, used, n}; }

void push_truth(bool on) { logic::box(stack::push_cell(), on); }

// Calls the actor's function for the action with the port and the arguments; its result goes to
// `out`, a cell below the call's (a new value-stack cell when null). Answers out.
Cell* forward(const char* action, const Cell* port, std::initializer_list<Arg> args, Cell* out = nullptr) {
  if (!out) out = stack::push_cell();
  Cell* base = stack::push_value(port);
  for (const Arg& a : args) {
    switch (a.kind) {
      case Arg::value: stack::push_value(a.cell); break;
      case Arg::flag: push_truth(a.on); break;
      case Arg::refinement:
        push_truth(a.cell != nullptr);
        stack::push_value(a.cell ? a.cell : &none::value);
        break;
      case Arg::count:
        push_truth(a.on);
        if (a.on) integer::box(stack::push_cell(), a.n);
        else none::make_at(stack::push_cell());
        break;
    }
  }
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

// ---- the forwarded actions ----

// The stack-style actions: the port at the arguments base, their one argument (if any) above it,
// the result back in the base.
#define KIV_PORT_STACK_STYLE(name, word) \
  void name() { forward(word, stack::arguments, {}, stack::arguments); }
#define KIV_PORT_STACK_STYLE_1(name, word) \
  void name() { forward(word, stack::arguments, {value(stack::arguments + 1)}, stack::arguments); }
KIV_PORT_STACK_STYLE_1(at, "at")
KIV_PORT_STACK_STYLE(back, "back")
KIV_PORT_STACK_STYLE(head, "head")
KIV_PORT_STACK_STYLE(head_q, "head?")
KIV_PORT_STACK_STYLE(index_q, "index?")
KIV_PORT_STACK_STYLE(next, "next")
KIV_PORT_STACK_STYLE_1(skip, "skip")
KIV_PORT_STACK_STYLE(tail, "tail")
KIV_PORT_STACK_STYLE(tail_q, "tail?")
#undef KIV_PORT_STACK_STYLE
#undef KIV_PORT_STACK_STYLE_1

// The actions of the port alone.
#define KIV_PORT_ALONE(name, word) \
  Cell* name(Cell* port) { return forward(word, port, {}); }
KIV_PORT_ALONE(clear, "clear")
KIV_PORT_ALONE(create, "create")
KIV_PORT_ALONE(close, "close")
KIV_PORT_ALONE(delete_, "delete")
KIV_PORT_ALONE(query, "query")
KIV_PORT_ALONE(update, "update")
#undef KIV_PORT_ALONE

// length? answers a count: an integer! from the actor, or none for anything else.
i32 length_q(const Cell* port) {
  Cell* out = forward("length?", port, {});
  return out->type() == type::integer ? out->as_int() : -1;
}

// append, insert and change: /part with the count, /only, /dup with a count above one.
Cell* append(Cell* port, Cell* data, i32 part, bool only, i32 dup, bool) {
  return forward("append", port, {value(data), count(part >= 0, part), flag(only), count(dup > 1, dup)});
}
Cell* insert(Cell* port, Cell* data, i32 part, bool only, i32 dup, bool) {
  return forward("insert", port, {value(data), count(part >= 0, part), flag(only), count(dup > 1, dup)});
}
Cell* change(Cell* port, Cell* data, i32 part, bool only, i32 dup) {
  return forward("change", port, {value(data), count(part >= 0, part), flag(only), count(dup > 1, dup)});
}

Cell* copy(Cell* port, Cell* result, Cell* part, bool deep, Cell* types) {
  return forward("copy", port, {refinement(part), flag(deep), refinement(types)}, result);
}

Cell* find(Cell* port, Cell* data, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
  return forward("find", port,
                 {value(data), refinement(part), flag(only), flag(case_), flag(same), flag(any), refinement(with),
                  refinement(skip), flag(last), flag(reverse), flag(tail), flag(match)});
}
Cell* select(Cell* port, Cell* data, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse) {
  return forward("select", port,
                 {value(data), refinement(part), flag(only), flag(case_), flag(same), flag(any), refinement(with),
                  refinement(skip), flag(last), flag(reverse)});
}

Cell* move(Cell* port, Cell* target, Cell* part) { return forward("move", port, {value(target), refinement(part)}); }
Cell* pick(Cell* port, i32, Cell* index) { return forward("pick", port, {value(index)}); }
Cell* poke(Cell* port, i32, Cell* data, Cell* index) { return forward("poke", port, {value(index), value(data)}); }
Cell* put(Cell* port, Cell* key, Cell* data, bool case_) {
  return forward("put", port, {value(key), value(data), flag(case_)});
}
Cell* remove(Cell* port, Cell* part, Cell*) { return forward("remove", port, {refinement(part)}); }
Cell* reverse(Cell* port, Cell* part, Cell*) { return forward("reverse", port, {refinement(part)}); }
Cell* sort(Cell* port, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable) {
  return forward("sort", port,
                 {flag(case_), refinement(skip), refinement(compare), refinement(part), flag(all), flag(reverse),
                  flag(stable)});
}
Cell* swap(Cell* port, Cell* other) { return forward("swap", port, {value(other)}); }
Cell* take(Cell* port, Cell* part, bool deep, bool last) {
  return forward("take", port, {refinement(part), flag(deep), flag(last)});
}
Cell* trim(Cell* port, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
  return forward("trim", port, {flag(head), flag(tail), flag(auto_), flag(lines), flag(all), refinement(with)});
}
Cell* modify(Cell* port, Cell* field_word, Cell* data, bool case_) {
  return forward("modify", port, {value(field_word), value(data), flag(case_)});
}
Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
  return forward("open", port, {flag(new_), flag(read), flag(write), flag(seek), refinement(allow)});
}
Cell* rename(Cell* port, Cell* to) { return forward("rename", port, {value(to)}); }

// read: open (with /seek when asked), copy (with /part when given), close; the copy is the result.
Cell* read(Cell* port, Cell* part, Cell* seek, bool, bool, bool, Cell*) {
  Cell* out = stack::push_cell();
  open(port, false, false, false, seek != nullptr, nullptr);
  copy(port, out, part, false, nullptr);
  close(port);
  return out;
}

// write: open/write (with /seek when asked), insert the data (with /part when the length is an
// integer!), copy, close; the copy is the result.
Cell* write(Cell* port, Cell* data, bool, bool, bool, bool, Cell* part, Cell* seek, Cell*, Cell*) {
  Cell* out = stack::push_cell();
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
