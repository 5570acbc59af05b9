#include "datatypes/object.h"

#include <algorithm>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/ownership.h"
#include "datatypes/path.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

namespace kiv::object {

namespace {

i32 class_counter = first_class_base;

Cell* values_at(Ref<Node> ctx) { return context::values_of(ctx); }

i32 static_symbol(u32 id) { return symbol::resolve(static_words::symbol(id)); }
i32 static_word_symbol(u32 id) {
  return static_words::word_roots[id] ? symbol::resolve(word::symbol_of(static_words::word(id))) : -1;
}
i32 resolved(const Cell* w) { return symbol::resolve(word::symbol_of(w)); }

bool lookup_word_type_q(u32 t) {
  return t == type::word || t == type::set_word || t == type::get_word || t == type::lit_word;
}

// Series values that a new object gets fresh copies of (make from a prototype, extension).
bool make_copied_q(u32 t) {
  switch (t) {
    case type::block: case type::paren: case type::hash: case type::string: case type::file: case type::url:
    case type::tag: case type::email: case type::ref: case type::vector: case type::binary: case type::image:
      return true;
    default:
      return path::any_path_q(t);
  }
}

// Series values that copy/deep copies (binary!, vector!, hash! and image! stay shared).
bool copy_deep_q(u32 t) {
  switch (t) {
    case type::block: case type::paren: case type::string: case type::file: case type::url: case type::tag:
    case type::email: case type::ref:
      return true;
    default:
      return path::any_path_q(t);
  }
}

bool bindable_q(u32 t) { return t == type::block || t == type::paren || t == type::hash || path::any_path_q(t); }

Cell* append_text(Cell* out, std::string_view text) { return string::append_utf8(out, text); }

// A deep copy of a value through its type's copy action, left in *out.
void deep_copy_value(const Cell* value, Cell* out) {
  Cell v = *value;
  RootCell keep(v);
  Cell fresh{type::unset, 0, 0, 0};
  RootCell keep_fresh(fresh);
  Cell made = *actions::dispatch_copy(&v, &fresh, nullptr, true, nullptr);
  made.header = (made.header & ~header::new_line) | (v.header & header::new_line);
  *out = made;
}

// Restores the value stack's top on every exit (handler calls and path writes push temporaries).
class StackMark {
  Cell* top_;

 public:
  StackMark() : top_(stack::top) {}
  ~StackMark() {
    if (stack::top > top_) stack::top = top_;
  }
  StackMark(const StackMark&) = delete;
  StackMark& operator=(const StackMark&) = delete;
};

}  // namespace

i32 next_class_id() { return ++class_counter; }

// ---- Fields ----------------------------------------------------------------------------------------

Cell* word_at(Ref<Node> ctx, i32 index) { return context::word_at(ctx, index); }

i32 find_word(const Cell* obj, const Cell* word) {
  return context::find_word(context_of(obj), word::symbol_of(word), true);
}

Cell* get_word_value(const Cell* obj, const Cell* word) {
  i32 index = find_word(obj, word);
  if (index < 0) return &none::value;
  return values_at(context_of(obj)) + index;
}

Cell* get_values(const Cell* obj) { return values_at(context_of(obj)); }
Cell* first_word(const Cell* obj) { return context::word_at(context_of(obj), 0); }
i32 word_count(const Cell* obj) { return context::word_count(context_of(obj)); }

Cell* word_of_value(Ref<Node> ctx, const Cell* address) {
  Cell* values = values_at(ctx);
  if (!values) return nullptr;
  i32 n = context::word_count(ctx);
  if (address < values || address >= values + n) return nullptr;
  return context::word_at(ctx, static_cast<i32>(address - values));
}

bool slot_has_class_q(Ref<Node> ctx, i32 index, i32 class_id) {
  if (!ctx || index < 0 || index >= context::word_count(ctx)) return false;
  const Cell* values = values_at(ctx);
  if (!values) return false;
  const Cell* v = values + index;
  return v->type() == type::object && class_of(v) == class_id;
}

bool word_has_class_q(const Cell* word, i32 class_id) {
  return slot_has_class_q(word::context_of(word), word::index_of(word), class_id);
}

// ---- Making ----------------------------------------------------------------------------------------

Cell* make_at(Cell* out, i32 n) {
  Ref<Node> ctx = context::make(n, false, true, Ref<Node>{}, context::object);
  *out = Cell{type::object, ctx.offset(), 0, 0};
  *context::owner_of(ctx) = *out;
  return out;
}

namespace {

// The values of a context built by compiled code: one slot per word.
void size_values(Ref<Node> ctx) {
  RootNode keep(ctx);
  i32 n = context::word_count(ctx);
  Ref<Node> values(context::cell_of(ctx)->w2);
  if (!values || n == 0 || buffer_of(values)->used_bytes() != 0) return;
  SeriesBuffer* b = buffer_of(values);
  u32 bytes = static_cast<u32>(n) * sizeof(Cell);
  if (b->size < bytes + (b->head - b->data_offset())) b = memory::expand_series(b, static_cast<i32>(bytes));
  Cell* c = b->head_ptr<Cell>();
  for (i32 i = 0; i < n; ++i) c[i] = Cell{type::unset, 0, 0, 0};
  b->tail = b->head + bytes;
}

}  // namespace

Cell* push_with_events(Ref<Node> ctx, i32 class_id, Ref<Node> events) {
  size_values(ctx);
  Cell* o = stack::push_cell();
  *o = Cell{type::object, ctx.offset(), static_cast<u32>(class_id), events.offset()};
  *context::owner_of(ctx) = *o;
  return o;
}

Cell* push_new(Ref<Node> ctx, i32 class_id) { return push_with_events(ctx, class_id, Ref<Node>{}); }

void attach_events(Ref<Node> ctx, i32 change_slot, i32 change_locals, i32 deep_slot, i32 deep_locals) {
  RootNode keep(ctx);
  Ref<Node> record = make_event_record(0, 0, change_slot, change_locals, deep_slot, deep_locals);
  Cell* o = stack::last_value();
  o->w3 = record.offset();
  if (deep_slot != -1) ownership::own(o, o, &none::value);
  *context::owner_of(context_of(o)) = *o;
}

void clear_new_lines(SeriesBuffer* b) {
  for (Cell *c = b->head_ptr<Cell>(), *end = b->tail_ptr<Cell>(); c < end; ++c) cell::clear_line_flag(c);
}

void clear_changed(Ref<Node> ctx) {
  for (i32 i = 0, n = context::word_count(ctx); i < n; ++i) context::word_at(ctx, i)->header &= ~context::changed_mark;
}

void rebind_function(Ref<Node> obj_ctx, i32 index) {
  RootNode keep_ctx(obj_ctx);
  Cell f = values_at(obj_ctx)[index];
  RootCell keep_f(f);
  Cell body = *function::more_cell(&f, function::more::body);
  RootCell keep_body(body);
  if (body.type() != type::block) raise_error(ErrorCategory::script, "bad-func-def", f);
  Cell fc = f;
  RootCell keep_fc(fc);
  Ref<Node> fctx = context::clone_for(&fc, context::function);
  RootNode keep_fctx(fctx);
  Cell copy = *block::clone(&body, true, true);
  stack::drop(1);
  RootCell keep_copy(copy);
  context::bind_block(&copy, obj_ctx, context::self_q(obj_ctx));
  context::bind_block(&copy, fctx, false);
  Cell spec{type::block, 0, f.w2, 0};
  RootCell keep_spec(spec);
  StackMark mark;
  function::make_value(&spec, &copy, fctx, 0, 0, f.header & ~header::type_mask & ~header::new_line);
  Cell made = *stack::last_value();
  // The rebound body runs through the interpreter, never through the compiled code.
  *function::more_cell(&made, function::more::code) = Cell{type::unset, 0, 0, 0};
  made.header |= f.header & header::new_line;
  values_at(obj_ctx)[index] = made;
}

Cell* copy_object(const Cell* src_in, Cell* out, bool deep, const Cell* types_in, bool keep_events) {
  Cell src = *src_in;
  RootCell keep_src(src);
  Cell types = types_in ? *types_in : none::value;
  RootCell keep_types(types);
  Ref<Node> sctx = context_of(&src);
  RootNode keep_sctx(sctx);
  i32 n = context::word_count(sctx);

  Cell made = src;
  RootCell keep_made(made);
  Ref<Node> nctx = context::clone_for(&made, context::object);
  RootNode keep_nctx(nctx);
  if (n > 0) std::memcpy(values_at(nctx), values_at(sctx), static_cast<size_t>(n) * sizeof(Cell));
  made.w3 = keep_events ? src.w3 : 0;
  *context::owner_of(nctx) = made;

  const bool typed = types_in && (types.type() == type::datatype || types.type() == type::typeset);
  if (deep && !typed) {
    for (i32 i = 0; i < n; ++i) {
      u32 t = values_at(nctx)[i].type();
      if (copy_deep_q(t)) {
        Cell fresh{type::none, 0, 0, 0};
        RootCell keep_fresh(fresh);
        deep_copy_value(values_at(nctx) + i, &fresh);
        values_at(nctx)[i] = fresh;
      } else if (t == type::function) {
        rebind_function(nctx, i);
      }
    }
  } else {
    for (i32 i = 0; i < n; ++i) {
      if (values_at(nctx)[i].type() == type::function) rebind_function(nctx, i);
    }
    if (typed) {
      Cell values{type::block, 0, context::cell_of(nctx)->w2, 0};
      RootCell keep_values(values);
      if (deep) {
        if (mold::find_cycle(sctx)) {
          mold::reset_cycles();
          raise_error(ErrorCategory::internal, "no-cycle");
        }
        mold::CycleGuard guard(sctx);
        block::copy_typed_series(&values, 0, n, 1, true, &types);
      } else {
        block::copy_typed_series(&values, 0, n, 1, false, &types);
      }
    }
  }
  *out = made;
  if (!keep_events) finish(out);
  return out;
}

bool extend(Cell* obj, const Cell* spec_in) {
  Cell spec = *spec_in;
  RootCell keep_spec(spec);
  Ref<Node> ctx = context_of(obj);
  RootNode keep(ctx);
  Ref<Node> sctx = context_of(&spec);
  RootNode keep_sctx(sctx);
  i32 before = context::word_count(ctx);
  for (i32 i = 0, n = context::word_count(sctx); i < n; ++i) {
    Cell w = *context::word_at(sctx, i);
    Cell v = values_at(sctx)[i];
    RootCell keep_w(w), keep_v(v);
    context::set_word_value(ctx, &w, &v);
  }
  for (i32 i = 0, n = context::word_count(ctx); i < n; ++i) {
    u32 t = values_at(ctx)[i].type();
    if (make_copied_q(t)) {
      Cell fresh{type::none, 0, 0, 0};
      RootCell keep_fresh(fresh);
      deep_copy_value(values_at(ctx) + i, &fresh);
      values_at(ctx)[i] = fresh;
    } else if (t == type::function) {
      rebind_function(ctx, i);
    }
  }
  return context::word_count(ctx) > before;
}

// ---- make and construct --------------------------------------------------------------------------

Cell* make(Cell* proto_in, Cell* spec_in, u32 type_id) {
  Cell proto = *proto_in, spec = *spec_in;
  RootCell keep_proto(proto), keep_spec(spec);
  const bool has_proto = object_like_q(proto.type());
  Cell* out = stack::push_cell();
  if (has_proto) {
    copy_object(&proto, out, true, nullptr, true);
  } else {
    make_at(out, 4);
  }
  cell::set_type(out, type_id == type::object || !has_proto ? type::object : proto.type());
  Ref<Node> ctx = context_of(out);
  RootNode keep_ctx(ctx);

  if (object_like_q(spec.type())) {
    bool grew = extend(out, &spec);
    out->w2 = static_cast<u32>(grew || !has_proto ? next_class_id() : class_of(&proto));
  } else if (spec.type() == type::block) {
    bool grew = context::collect_set_words(ctx, &spec);
    context::bind_block(&spec, ctx, context::self_q(ctx));
    if (has_proto) {
      Ref<Node> pctx = context_of(&proto);
      RootNode keep_pctx(pctx);
      for (i32 i = 0, n = context::word_count(pctx); i < n; ++i) {
        if (!make_copied_q(values_at(pctx)[i].type())) continue;
        Cell fresh{type::none, 0, 0, 0};
        RootCell keep_fresh(fresh);
        deep_copy_value(values_at(pctx) + i, &fresh);
        if (bindable_q(fresh.type())) context::bind_block(&fresh, ctx, context::self_q(ctx));
        values_at(ctx)[i] = fresh;
      }
    }
    if (block::length(&spec) > 0) {
      if (!hooks::eval_block) raise_error(ErrorCategory::internal, "not-done");
      hooks::eval_block(&spec);
    }
    clear_changed(ctx);
    clear_new_lines(buffer_of(Ref<Node>(context::cell_of(ctx)->w2)));
    out->w2 = static_cast<u32>(grew || !has_proto ? next_class_id() : class_of(&proto));
  } else {
    raise_error(ErrorCategory::syntax, "malconstruct", spec);
  }
  finish(out);
  return out;
}

Cell* construct(const Cell* spec_in, const Cell* proto_in, bool only) {
  Cell spec = *spec_in;
  Cell proto = proto_in ? *proto_in : none::value;
  RootCell keep_spec(spec), keep_proto(proto);
  Cell* out = stack::push_cell();
  if (object_like_q(proto.type())) {
    copy_object(&proto, out, true, nullptr, false);
  } else {
    make_at(out, 4);
    out->w2 = static_cast<u32>(next_class_id());
    *context::owner_of(context_of(out)) = *out;
  }
  Ref<Node> ctx = context_of(out);
  RootNode keep_ctx(ctx);
  const i32 truths[] = {static_symbol(static_words::sym::true_), static_symbol(static_words::sym::yes),
                        static_symbol(static_words::sym::on)};
  const i32 lies[] = {static_symbol(static_words::sym::false_), static_symbol(static_words::sym::no),
                      static_symbol(static_words::sym::off)};
  const i32 none_sym = static_symbol(static_words::sym::none);
  i32 i = std::max(block::head_index(&spec), 0);
  while (i < series::total_length(&spec)) {
    if (block::cell_at(&spec, i)->type() != type::set_word) {
      ++i;
      continue;
    }
    i32 j = i;
    while (j < series::total_length(&spec) && block::cell_at(&spec, j)->type() == type::set_word) ++j;
    Cell value = j < series::total_length(&spec) ? *block::cell_at(&spec, j) : none::value;
    RootCell keep_value(value);
    if (!only && value.type() == type::word) {
      i32 s = resolved(&value);
      if (std::find(std::begin(truths), std::end(truths), s) != std::end(truths)) {
        logic::box(&value, true);
      } else if (std::find(std::begin(lies), std::end(lies), s) != std::end(lies)) {
        logic::box(&value, false);
      } else if (s == none_sym) {
        none::make_at(&value);
      }
    }
    for (i32 k = i; k < j; ++k) {
      Cell w = *block::cell_at(&spec, k);
      RootCell keep_w(w);
      context::set_word_value(ctx, &w, &value);
    }
    i = j + 1;
  }
  return out;
}

// ---- set ---------------------------------------------------------------------------------------------

namespace {

// One assignment of the set native: marks the field changed and tells the handler, except for the
// handler fields themselves.
void assign_field(Cell* obj, i32 index, const Cell* value_in) {
  Cell value = *value_in;
  RootCell keep_value(value);
  Ref<Node> ctx = context_of(obj);
  RootNode keep(ctx);
  bool notify = false;
  if (obj->w3) {
    Ref<Node> record = events_of(obj);
    notify = index != handler_of(record, on_change_entry).slot && index != handler_of(record, on_deep_change_entry).slot;
  }
  StackMark mark;
  Cell* old = notify ? stack::push_value(values_at(ctx) + index) : nullptr;
  values_at(ctx)[index] = value;
  context::word_at(ctx, index)->header |= context::changed_mark;
  if (notify) {
    Cell word = *context::word_at(ctx, index);
    word.header &= ~context::changed_mark;
    RootCell keep_word(word);
    fire_on_change(obj, &word, old, &value);
  }
}

[[noreturn]] void need_value(Ref<Node> ctx, i32 index) {
  Cell w = *context::word_at(ctx, index);
  w.header = type::word;
  raise_error(ErrorCategory::script, "need-value", w);
}

}  // namespace

void set_many(Cell* target, const Cell* value_in, bool any, bool only, bool some) {
  Cell obj = *target, value = *value_in;
  RootCell keep_obj(obj), keep_value(value);
  Ref<Node> ctx = context_of(&obj);
  RootNode keep_ctx(ctx);
  const i32 n = context::word_count(ctx);
  if (!only && value.type() == type::block) {
    const i32 head = std::max(block::head_index(&value), 0);
    const i32 len = block::length(&value);
    if (!some && !any) {
      for (i32 i = 0; i < std::min(n, len); ++i) {
        if (block::cell_at(&value, head + i)->type() == type::unset) need_value(ctx, i);
      }
    }
    for (i32 i = 0; i < n; ++i) {
      Cell v = i < len ? *block::cell_at(&value, head + i) : none::value;
      if (some && v.type() == type::none) continue;
      assign_field(&obj, i, &v);
    }
  } else if (!only && object_like_q(value.type())) {
    Ref<Node> sctx = context_of(&value);
    RootNode keep_sctx(sctx);
    if (!some && !any) {
      for (i32 i = 0, m = std::min(n, context::word_count(sctx)); i < m; ++i) {
        if (values_at(sctx)[i].type() == type::unset) need_value(ctx, i);
      }
    }
    for (i32 i = 0; i < n; ++i) {
      i32 j = context::find_word(sctx, word::symbol_of(context::word_at(ctx, i)), true);
      if (j < 0) continue;
      Cell v = values_at(sctx)[j];
      if (some && v.type() == type::none) continue;
      assign_field(&obj, i, &v);
    }
  } else {
    for (i32 i = 0; i < n; ++i) assign_field(&obj, i, &value);
  }
}

// ---- Change events ---------------------------------------------------------------------------------

namespace {

constexpr u32 pack(i32 slot, i32 locals) {
  return (static_cast<u32>(static_cast<u16>(slot)) << 16) | static_cast<u16>(locals);
}

Cell* entry_cell(Ref<Node> record, i32 entry) { return buffer_of(record)->head_ptr<Cell>() + entry; }

// The handler's function, re-counting its locals when it was redefined since the count was taken.
i32 refresh_locals(Ref<Node> record, i32 entry, const Cell* handler) {
  Cell* e = entry_cell(record, entry);
  Handler h = handler_of(record, entry);
  if (handler->w2 != h.spec) {
    i32 locals = function::count_locals(function::spec_node(handler), 0, false);
    e = entry_cell(record, entry);
    e->w1 = pack(h.slot, locals);
    e->w2 = handler->w2;
    return locals;
  }
  return h.locals;
}

void check_stack() {
  if (!sys::stack_ok()) {
    mold::reset_cycles();
    raise_error(ErrorCategory::internal, "stack-overflow");
  }
}

Cell handler_name(u32 wid) {
  if (static_words::word_roots[wid]) return *static_words::word(wid);
  Cell w{type::none, 0, 0, 0};
  word::load_at(wid == static_words::wid::on_change ? "on-change*" : "on-deep-change*", &w);
  return w;
}

}  // namespace

Handler handler_of(Ref<Node> record, i32 entry) {
  const Cell* e = entry_cell(record, entry);
  return Handler{static_cast<i16>(e->w1 >> 16), static_cast<i32>(e->w1 & 0xFFFF), e->w2};
}

Ref<Node> make_event_record(u32 change_spec, u32 deep_spec, i32 change_slot, i32 change_locals, i32 deep_slot,
                            i32 deep_locals) {
  Ref<Node> record = memory::alloc_cells(2);
  SeriesBuffer* b = buffer_of(record);
  Cell* c = b->head_ptr<Cell>();
  c[0] = Cell{0, pack(change_slot, change_slot < 0 ? 0 : change_locals), change_slot < 0 ? 0 : change_spec, 0};
  c[1] = Cell{0, pack(deep_slot, deep_slot < 0 ? 0 : deep_locals), deep_slot < 0 ? 0 : deep_spec, 0};
  b->tail = b->head + 2 * sizeof(Cell);
  return record;
}

Ref<Node> build_event_record(const Cell* obj) {
  Ref<Node> ctx = context_of(obj);
  const i32 change_sym = static_word_symbol(static_words::wid::on_change);
  const i32 deep_sym = static_word_symbol(static_words::wid::on_deep_change);
  i32 slots[2] = {-1, -1};
  for (i32 i = 0, n = context::word_count(ctx); i < n; ++i) {
    i32 s = resolved(context::word_at(ctx, i));
    if (s == change_sym && slots[0] < 0) slots[0] = i;
    else if (s == deep_sym && slots[1] < 0) slots[1] = i;
  }
  if (slots[0] < 0 && slots[1] < 0) return Ref<Node>{};
  for (i32 k = 0; k < 2; ++k) {
    if (slots[k] < 0) continue;
    const Cell* v = values_at(ctx) + slots[k];
    if (v->type() != type::function && v->type() != type::routine) {
      Cell w = *context::word_at(ctx, slots[k]);
      w.header = type::word;
      Cell t{type::none, 0, 0, 0};
      datatype::make_at(&t, v->type());
      raise_error(ErrorCategory::script, "bad-field-set", w, t);
    }
  }
  RootNode keep(ctx);
  Ref<Node> record = make_event_record(0, 0, slots[0], 0, slots[1], 0);
  // The spec nodes are read once the record exists: making it may move nodes.
  for (i32 k = 0; k < 2; ++k) {
    if (slots[k] < 0) continue;
    const Cell* v = values_at(ctx) + slots[k];
    Cell* e = entry_cell(record, k);
    e->w1 = pack(slots[k], function::count_locals(function::spec_node(v), 0, false));
    e->w2 = v->w2;
  }
  return record;
}

bool has_deep_handler_q(const Cell* obj) {
  return obj->w3 != 0 && handler_of(events_of(obj), on_deep_change_entry).slot != -1;
}

void finish(Cell* obj) {
  Ref<Node> record = build_event_record(obj);
  obj->w3 = record.offset();
  if (has_deep_handler_q(obj)) ownership::own(obj, obj, &none::value);
  *context::owner_of(context_of(obj)) = *obj;
}

void fire_on_change(Cell* obj_in, Cell* word_in, Cell* old_in, Cell* new_in) {
  if (!obj_in->w3) return;
  Cell name = handler_name(static_words::wid::on_change);  // before any node is read: it may allocate
  RootCell keep_name(name);
  Cell obj = *obj_in;
  Ref<Node> record = events_of(&obj);
  Handler h = handler_of(record, on_change_entry);
  if (h.slot == -1) return;
  Ref<Node> ctx = context_of(&obj);
  Cell handler = values_at(ctx)[h.slot];
  if (handler.type() != type::function) raise_error(ErrorCategory::script, "invalid-obj-evt", handler);
  check_stack();
  StackMark mark;
  // Arguments first: the cells given may live in buffers that move once anything allocates.
  Cell* args = stack::push_value(word_in);
  stack::push_value(old_in);
  stack::push_value(new_in);
  args->header = type::word;  // a set-word or any other form arrives as the plain word
  if (word::context_of(args) != ctx) word::bind(ctx, args);
  RootCell keep_obj(obj), keep_handler(handler);
  i32 locals = refresh_locals(record, on_change_entry, &handler);
  if (!hooks::call_handler) return;
  if (locals > 0) function::push_unused_refinement(locals);
  hooks::call_handler(&handler, &name, ctx, static_cast<i32>(stack::top - args), on_change_callback);
}

void fire_on_change_top(Cell* obj, Cell* word) {
  Cell* last = stack::last_value();
  fire_on_change(obj, word, last, last - 1);
}

void fire_on_change_of_word(Cell* holder, Cell* word) {
  Cell obj = *word::get_value(holder);
  RootCell keep(obj);
  if (!object_like_q(obj.type())) return;
  fire_on_change_top(&obj, word);
}

void fire_on_deep_change(Cell* owner_in, Cell* word, Cell* target, Cell* action, Cell* new_value, i32 index,
                         i32 part) {
  if (!owner_in->w3) raise_error(ErrorCategory::script, "invalid-obj-evt", *owner_in);
  Cell name = handler_name(static_words::wid::on_deep_change);  // before any node is read
  RootCell keep_name(name);
  Cell owner = *owner_in;
  Ref<Node> record = events_of(&owner);
  Handler h = handler_of(record, on_deep_change_entry);
  if (h.slot == -1) return;
  Ref<Node> ctx = context_of(&owner);
  Cell handler = values_at(ctx)[h.slot];
  if (handler.type() != type::function) return;
  check_stack();
  StackMark mark;
  Cell* args = stack::push_value(&owner);
  stack::push_value(word);
  stack::push_value(target);
  stack::push_value(action);
  stack::push_value(new_value ? new_value : &none::value);
  integer::box(stack::push_cell(), index);
  integer::box(stack::push_cell(), part);
  RootCell keep_handler(handler);
  i32 locals = refresh_locals(record, on_deep_change_entry, &handler);
  if (!hooks::call_handler) return;
  if (locals > 0) function::push_unused_refinement(locals);
  hooks::call_handler(&handler, &name, ctx, static_cast<i32>(stack::top - args), on_deep_change_callback);
}

// ---- Path access, select, put ----------------------------------------------------------------------

Cell* access_field(Cell* obj_in, Cell* element, const Cell* value_in, const Cell* path_in, bool lenient,
                   bool tail) {
  Cell path = path_in ? *path_in : none::value;
  if (!lookup_word_type_q(element->type())) raise_error(ErrorCategory::script, "invalid-path", path, *element);
  Cell obj = *obj_in;
  Ref<Node> ctx = context_of(&obj);
  i32 index = word::index_of(element);
  if (word::context_of(element) != ctx || index < 0) {
    index = context::find_word(ctx, word::symbol_of(element), true);
    // The path keeps the binding for its next evaluation.
    if (index >= 0) {
      element->w1 = ctx.offset();
      element->w3 = static_cast<u32>(index);
    }
  }
  auto missing = [&]() -> Cell* {
    if (lenient && tail) return stack::push_cell();
    raise_error(ErrorCategory::script, tail ? "invalid-path" : "unset-path", path, *element);
  };
  if (index < 0) return missing();
  if (!value_in) {
    Cell* v = values_at(ctx) + index;
    return v->type() == type::unset ? missing() : v;
  }
  Cell value = *value_in, field = *element;
  RootCell keep_obj(obj), keep_value(value), keep_field(field);
  RootNode keep_ctx(ctx);
  const bool events = obj.w3 != 0;
  StackMark mark;
  Cell* old = nullptr;
  Cell* named = &field;
  if (events) {
    old = stack::push_value(values_at(ctx) + index);
    if (field.type() != type::word) {
      named = stack::push_value(context::word_at(ctx, index));
      named->header &= ~context::changed_mark;
    }
  }
  Cell setter = field;
  RootCell keep_setter(setter);
  word::set_in_context(&setter, &value, ctx, false);
  if (events) fire_on_change(&obj, named, old, &value);
  return const_cast<Cell*>(value_in);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool lenient,
                bool tail, bool) {
  // A read passes nothing or none; only the final step of a set-path sets none.
  bool set = value && (value->type() != type::none || (tail && path && path->type() == type::set_path));
  return access_field(parent, element, set ? value : nullptr, path, lenient, tail);
}

Cell* select(Cell* series, Cell* value, Cell*, bool, bool, bool, bool, Cell*, Cell*, bool, bool) {
  if (!lookup_word_type_q(value->type())) {
    Cell t{type::none, 0, 0, 0};
    datatype::make_at(&t, value->type());
    raise_error(ErrorCategory::script, "invalid-type", t);
  }
  return get_word_value(series, value);
}

Cell* put(Cell* series, Cell* key, Cell* value, bool) {
  if (key->type() != type::word) {
    Cell t{type::none, 0, 0, 0};
    datatype::make_at(&t, key->type());
    raise_error(ErrorCategory::script, "invalid-key-type", t);
  }
  Cell none_path = none::value;
  return access_field(series, key, value, &none_path, false, true);
}

// ---- reflect, modify ---------------------------------------------------------------------------------

namespace {

Cell* reflect_body(const Cell* obj_in, Cell* out) {
  Cell obj = *obj_in;
  RootCell keep(obj);
  Ref<Node> ctx = context_of(&obj);
  RootNode keep_ctx(ctx);
  i32 n = context::word_count(ctx);
  block::make_at(out, 2 * n);
  for (i32 i = 0; i < n; ++i) {
    Cell w = *context::word_at(ctx, i);
    w.header = type::set_word | header::new_line;
    block::append_value(out, &w);
    Cell v = values_at(ctx)[i];
    if (v.type() == type::word) cell::set_type(&v, type::lit_word);
    else if (v.type() == type::path) cell::set_type(&v, type::lit_path);
    block::append_value(out, &v);
  }
  return out;
}

Cell* block_body_maker(const Cell* spec, Cell* out) { return reflect_body(spec, out); }

}  // namespace

Cell* reflect(Cell* value, i32 field) {
  Cell obj = *value;
  RootCell keep(obj);
  Ref<Node> ctx = context_of(&obj);
  RootNode keep_ctx(ctx);
  const i32 f = symbol::resolve(field);
  const i32 n = context::word_count(ctx);
  if (f == static_word_symbol(static_words::wid::changed)) {
    Cell* out = block::push_new(n);
    for (i32 i = 0; i < n; ++i) {
      Cell w = *context::word_at(ctx, i);
      if (!(w.header & context::changed_mark)) continue;
      w.header = type::word;
      block::append_value(out, &w);
    }
    return out;
  }
  if (f == static_symbol(static_words::sym::class_)) return integer::push(class_of(&obj));
  if (f == static_symbol(static_words::sym::words)) {
    Cell* out = block::push_new(n);
    for (i32 i = 0; i < n; ++i) {
      Cell w = *context::word_at(ctx, i);
      w.header = type::word;
      block::append_value(out, &w);
    }
    return out;
  }
  if (f == static_symbol(static_words::sym::values)) {
    Cell* out = block::push_new(n);
    for (i32 i = 0; i < n; ++i) {
      Cell v = values_at(ctx)[i];
      block::append_value(out, &v);
    }
    return out;
  }
  if (f == static_symbol(static_words::sym::body)) return reflect_body(&obj, stack::push_cell());
  if (f == static_symbol(static_words::sym::owner)) {
    return logic::push(context::cell_of(ctx)->header & owner_flag);
  }
  if (f == static_symbol(static_words::sym::events_q)) return logic::push(obj.w3 != 0);
  raise_error(ErrorCategory::internal, "not-done");
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool) {
  if (!word::any_word_q(field->type())) return value;
  Cell obj = *target;
  RootCell keep(obj);
  const i32 f = resolved(field);
  if (f == static_word_symbol(static_words::wid::changed)) {
    if (value->type() != type::none) raise_error(ErrorCategory::script, "invalid-arg", *value);
    clear_changed(context_of(&obj));
  } else if (f == static_symbol(static_words::sym::owner)) {
    ownership::own(&obj, &obj, &none::value);
  } else if (f == static_symbol(static_words::sym::owned)) {
    if (value->type() == type::none) {
      // An owner object's walk stops at itself: its own fields are released here, and it owns
      // nothing afterwards.
      Ref<Node> ctx = context_of(&obj);
      RootNode keep_ctx(ctx);
      mold::CycleGuard guard(ctx);
      for (i32 i = 0; i < context::word_count(ctx); ++i) {
        Cell v = values_at(ctx)[i];
        RootCell keep_v(v);
        ownership::unset_owner(&v);
      }
      context::cell_of(ctx)->header &= ~owner_flag;
    } else if (value->type() == type::block) {
      Cell blk = *value;
      RootCell keep_blk(blk);
      Cell owner = block::length(&blk) > 0 ? *block::cell_at(&blk, block::head_index(&blk)) : none::value;
      Cell word = block::length(&blk) > 1 ? *block::cell_at(&blk, block::head_index(&blk) + 1) : none::value;
      RootCell keep_owner(owner), keep_word(word);
      if (!object_like_q(owner.type())) raise_error(ErrorCategory::script, "invalid-arg", blk);
      ownership::own(&obj, &owner, &word);
    }
  }
  return value;
}

// ---- Comparison --------------------------------------------------------------------------------------

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::object) return -2;
  Ref<Node> ca = context_of(a), cb = context_of(b);
  if (ca == cb) return 0;
  if (op == compare_op::same) return -1;
  if (mold::find_cycle(ca)) return mold::find_cycle(cb) ? 0 : -1;
  i32 na = context::word_count(ca), nb = context::word_count(cb);
  if (na != nb) return na > nb ? 1 : -1;
  if (na == 0) return 0;
  RootNode keep_a(ca), keep_b(cb);
  mold::CycleGuard guard_a(ca);
  mold::CycleGuard guard_b(cb);
  auto sign = [](i32 x, i32 y) { return x < y ? -1 : 1; };
  auto number_q = [](u32 t) { return t == type::integer || t == type::float_ || t == type::percent; };
  for (i32 i = 0; i < na; ++i) {
    i32 sa = resolved(context::word_at(ca, i)), sb = resolved(context::word_at(cb, i));
    if (sa != sb) return sign(sa, sb);
    Cell va = values_at(ca)[i], vb = values_at(cb)[i];
    RootCell keep_va(va), keep_vb(vb);
    u32 ta = va.type(), tb = vb.type();
    if (ta != tb && !(word::any_word_q(ta) && word::any_word_q(tb)) && !(number_q(ta) && number_q(tb))) {
      return sign(static_cast<i32>(ta), static_cast<i32>(tb));
    }
    i32 r = actions::dispatch_compare(&va, &vb, op);
    if (r != 0) return r;
  }
  return 0;
}

// ---- Form and mold -----------------------------------------------------------------------------------

i32 serialize(const Cell* obj_in, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit,
              bool per_line, i32 indent, bool mold_flag) {
  Cell obj = *obj_in;
  RootCell keep(obj);
  Ref<Node> ctx = context_of(&obj);
  RootNode keep_ctx(ctx);
  const i32 n = context::word_count(ctx);
  if (n == 0) return limit;
  const char* separator = flat ? " " : "\n";
  if (flat) {
    per_line = false;
  } else if (mold_flag) {
    if (only) {
      per_line = false;
    } else {
      append_text(out, "\n");
      --limit;
    }
  }
  const i32 change_sym = static_word_symbol(static_words::wid::on_change);
  const i32 deep_sym = static_word_symbol(static_words::wid::on_deep_change);
  auto skipped = [&](i32 i) {
    if (all) return false;
    i32 s = resolved(context::word_at(ctx, i));
    return s == change_sym || s == deep_sym;
  };
  // The separator follows every field but the last one written (a skipped handler field at the end
  // must not leave one behind).
  i32 last = n - 1;
  while (last >= 0 && skipped(last)) --last;
  mold::CycleGuard guard(ctx);
  auto append = [out](std::string_view text) { string::append_utf8(out, text); };
  for (i32 i = 0; i < n; ++i) {
    if (limit <= 0) break;
    if (skipped(i)) continue;
    if (per_line) limit = mold::indent(append, indent, limit);
    Cell name = *context::word_at(ctx, i);
    name.header = type::word;
    limit = word::mold(&name, out, false, false, false, nullptr, limit, 0);
    append_text(out, ": ");
    limit -= 2;
    Cell* slot = values_at(ctx) + i;
    if (slot->type() == 0) *slot = Cell{type::unset, 0, 0, 0};
    Cell value = *slot;
    RootCell keep_value(value);
    if (value.type() == type::word) {
      append_text(out, "'");
      --limit;
    }
    limit = actions::dispatch_mold(&value, out, false, all, flat, part, limit, indent);
    if (per_line || i < last) {
      append_text(out, separator);
      --limit;
    }
  }
  return limit;
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  auto append = [out](std::string_view text) { string::append_utf8(out, text); };
  if (mold::emit_cycle(value, append, limit, false)) return limit;
  return serialize(value, out, false, false, false, part, limit, false, 0, false);
}

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  return mold_as(value, out, "make object! [", only, all, flat, part, limit, indent);
}

i32 mold_as(const Cell* value, Cell* out, std::string_view opening, bool only, bool all, bool flat, const Cell* part,
            i32 limit, i32 indent) {
  auto append = [out](std::string_view text) { string::append_utf8(out, text); };
  if (mold::emit_cycle(value, append, limit, true)) return limit;
  if (!only) {
    append(opening);
    limit -= static_cast<i32>(opening.size());
  }
  Cell obj = *value;
  RootCell keep(obj);
  limit = serialize(&obj, out, only, all, flat, part, limit, true, indent + 1, true);
  // Closing bracket under the opening line, after the fields' own lines (an empty object has none).
  if (!flat && indent > 0 && word_count(&obj) > 0) limit = mold::indent(append, indent, limit);
  if (!only) {
    append_text(out, "]");
    --limit;
  }
  return limit;
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  if (part) {
    Cell refinement{type::none, 0, 0, 0};
    if (static_words::refinement_roots[static_words::rid::part]) {
      refinement = *static_words::refinement(static_words::rid::part);
    } else {
      none::make_at(&refinement);
    }
    raise_error(ErrorCategory::script, "invalid-refine-arg", refinement, *part);
  }
  return copy_object(value, result, deep, types, false);
}

// ---- Registration ----------------------------------------------------------------------------------

namespace {

// The object's own mark: besides the context and the record, the spec nodes the record caches, so
// that a cached node can never be reused by another spec while the record compares against it.
void mark_object_cell(Cell* c) {
  collector::mark_object(c);
  if (!c->w3) return;
  Cell* e = buffer_of(Ref<Node>(c->w3))->head_ptr<Cell>();
  for (i32 k = 0; k < 2; ++k) {
    if (e[k].w2) collector::mark_block(&e[k].w2);  // a spec holds words: marked with its cells
  }
}

// A time! changed through a path reports to the slot's owner: an object through its on-change*
// handler, a series through its owner.
void report_time_change(Cell* gparent, Cell* p_item, const Cell* old_value, const Cell* new_value) {
  Cell old = *old_value, now = *new_value;
  RootCell keep_old(old), keep_now(now);
  if (gparent->type() == type::object) {
    if (!gparent->w3 || !p_item || !word::any_word_q(p_item->type())) return;
    Cell obj = *gparent, w = *p_item;
    RootCell keep_obj(obj), keep_w(w);
    fire_on_change(&obj, &w, &old, &now);
  } else if (series::series_type_q(gparent->type())) {
    i32 index = series::head_index(gparent);
    if (p_item && p_item->type() == type::integer) index += p_item->as_int() - 1;
    Cell s = *gparent;
    RootCell keep_s(s);
    ownership::notify_change(&s, static_words::word_roots[static_words::wid::set_path]
                                     ? static_words::word(static_words::wid::set_path)
                                     : &none::value,
                             &now, index, 1);
  }
}

}  // namespace

void init() {
  datatype::register_type(type::object, 0, "object!",
                          {.make = make,
                           .reflect = reflect,
                           .form = form,
                           .mold = mold,
                           .eval_path = eval_path,
                           .compare = compare,
                           .copy = copy,
                           .put = put,
                           .select = select,
                           .modify = modify});
  collector::set_mark_procedure(type::object, mark_object_cell);
  hashtable::set_hash_procedure(type::object, hashtable::hash_word1, true);
  block::body_makers[type::object] = block_body_maker;
  hooks::fire_on_change = fire_on_change;
  hooks::time_changed = report_time_change;
}

}  // namespace kiv::object
