#include "datatypes/ownership.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/path.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/case_table.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/mold.h"
#include "runtime/roots.h"

namespace kiv::ownership {

namespace {

Ref<Node> owners{};

constexpr i32 entry_values = 3;  // series value, owner object, field word
constexpr u32 key_in_use = 2;    // header of a live entry's key cell

bool block_like_q(u32 t) { return t == type::block || t == type::paren || t == type::hash || path::any_path_q(t); }

// The types whose values are series for ownership.
bool owned_type_q(u32 t) {
  return block_like_q(t) || string::any_string_q(t) || t == type::binary || t == type::vector ||
         t == type::image || t == type::bitset;
}

Ref<Node> node_of(const Cell* v) { return Ref<Node>(v->w2); }

// The owned mark: on the buffer, or for an image! on the value's own header.
bool marked_q(const Cell* v) {
  if (v->type() == type::image) return v->header & image_owned_flag;
  return buffer_of(node_of(v))->flags & series_flag::owned;
}

void put_entry(const Cell* value, const Cell* owner, const Cell* word) {
  Cell v = *value, o = *owner, w = word ? *word : none::value;
  RootCell keep_v(v), keep_o(o), keep_w(w);
  Cell* e = hashtable::put_key(owners, node_of(&v).offset());
  e[0] = v;
  e[1] = o;
  e[2] = w;
}

void remove_entry(Ref<Node> node, bool* existed) {
  Cell* e = hashtable::get_key(owners, node.offset());
  *existed = e != nullptr;
  if (!e) return;
  e[0] = e[1] = e[2] = Cell{type::unset, 0, 0, 0};
  hashtable::delete_key(owners, node.offset());
}

// Walks the cells of a block-like value from its head (read one at a time: registering allocates).
template <class Visit>
void each_cell(const Cell* blk_in, Visit&& visit) {
  Cell blk = *blk_in;
  RootCell keep(blk);
  for (i32 i = std::max(series::head_index(&blk), 0); i < series::total_length(&blk); ++i) {
    Cell c = *block::cell_at(&blk, i);
    RootCell keep_c(c);
    visit(&c);
  }
}

// The field words of an object, each walked with its own word.
template <class Visit>
void each_field(const Cell* obj_in, Visit&& visit) {
  Cell obj = *obj_in;
  RootCell keep(obj);
  Ref<Node> ctx = object::context_of(&obj);
  RootNode keep_ctx(ctx);
  for (i32 i = 0; i < context::word_count(ctx); ++i) {
    Cell v = context::values_of(ctx)[i];
    Cell w = *context::word_at(ctx, i);
    w.header = type::word;
    RootCell keep_v(v), keep_w(w);
    visit(&v, &w);
  }
}

bool owner_object_q(const Cell* obj) {
  return context::cell_of(object::context_of(obj))->header & object::owner_flag;
}

// ---- Collector side ----

void mark_root() {
  if (owners) collector::mark_table(reinterpret_cast<u32*>(&owners));
}

template <class Visit>
void each_live_entry(Visit&& visit) {
  hashtable::Table* t = hashtable::record_of(owners);
  SeriesBuffer* eb = buffer_of(Ref<Node>(t->blk));
  const u32 width = t->indexes;
  for (u32 off = 0; off + width <= eb->used_bytes(); off += width) {
    Cell* e = reinterpret_cast<Cell*>(eb->head_ptr() + off);
    if (e->header == key_in_use) visit(e);
  }
}

void sweep_callback() { sweep(collector::alive, collector::remap); }

// ---- Hooks of the series, string and modify units ----

// The static word of an action name, or a word made for it.
Cell action_word(const char* name) {
  struct Named {
    const char* name;
    u32 id;
  };
  static constexpr Named named[] = {
#define KIV_OWN_NAMED(id, name) {name, static_words::wid::id},
      KIV_STATIC_NAMED_WORDS(KIV_OWN_NAMED)
#undef KIV_OWN_NAMED
  };
  std::string_view wanted(name);
  for (const Named& n : named) {
    if (n.name && wanted == n.name && static_words::word_roots[n.id]) return *static_words::word(n.id);
  }
  Cell w{type::none, 0, 0, 0};
  word::load_at(name, &w);
  return w;
}

bool series_notify(Cell* series, const char* name, const Cell* value, i32 index, i32 count) {
  return notify_change(series, name, value, index, count);
}

void case_changed(Cell* series, bool upper, i32 index, i32 count) {
  notify_change(series, upper ? "uppercase" : "lowercase", nullptr, index, count);
}

void owner_of(const Cell* series, Cell* out) {
  Cell* owner = owned_type_q(series->type()) ? find_owner(node_of(series)) : nullptr;
  if (!owner) {
    none::make_at(out);
    return;
  }
  Cell o = owner[0], w = owner[1];
  RootCell keep_o(o), keep_w(w);
  block::make_at(out, 2);
  block::append_value(out, &o);
  block::append_value(out, &w);
}

void modify_owned(Cell* series, const Cell* value) {
  if (value->type() == type::none) {
    unset_owner(series);
    return;
  }
  Cell blk = *value;
  RootCell keep(blk);
  i32 head = std::max(series::head_index(&blk), 0);
  Cell owner = block::length(&blk) > 0 ? *block::cell_at(&blk, head) : none::value;
  Cell word = block::length(&blk) > 1 ? *block::cell_at(&blk, head + 1) : none::value;
  RootCell keep_owner(owner), keep_word(word);
  // The table's sweep reads the owner as an object: anything else would be a dangling reference.
  if (!object::object_like_q(owner.type())) raise_error(ErrorCategory::script, "invalid-arg", blk);
  own(series, &owner, &word);
}

}  // namespace

void init() {
  if (owners) return;
  owners = hashtable::make(64, nullptr, hashtable::kind_owners, entry_values);
  collector::add_root_callback(mark_root);
  collector::add_sweep_callback(sweep_callback);
  hooks::series_notify = series_notify;
  hooks::owner_of = owner_of;
  hooks::modify_owned = modify_owned;
  hooks::case_change_notifier = case_changed;
}

Ref<Node> table() { return owners; }

void set_owner(Cell* value, const Cell* owner_in, const Cell* word_in) {
  const u32 t = value->type();
  if (owned_type_q(t)) {
    // Registering allocates: the arguments may lie in series that move, so work on copies.
    Cell v = *value, o = *owner_in, w = word_in ? *word_in : none::value;
    RootCell keep_v(v), keep_o(o), keep_w(w);
    if (!marked_q(&v)) {
      if (t == type::image) {
        value->header |= image_owned_flag;
        v.header |= image_owned_flag;
      } else {
        buffer_of(node_of(&v))->flags |= series_flag::owned;
      }
      put_entry(&v, &o, &w);
    }
    if (!block_like_q(t)) return;
    Ref<Node> node = node_of(&v);
    if (mold::find_cycle(node)) return;
    mold::CycleGuard guard(node);
    each_cell(&v, [&](Cell* c) { set_owner(c, &o, &w); });
    return;
  }
  if (object::object_like_q(t)) {
    // Another owner's series are its own; an owner walked for itself is registering them anew.
    if (owner_object_q(value) && value->w1 != owner_in->w1) return;
    Cell o = *owner_in;
    RootCell keep_o(o);
    Ref<Node> ctx = object::context_of(value);
    if (mold::find_cycle(ctx)) return;
    mold::CycleGuard guard(ctx);
    each_field(value, [&](Cell* v, Cell* w) {
      if (object::object_like_q(v->type()) && v->w1 == o.w1) return;
      set_owner(v, &o, w);
    });
  }
}

void own(Cell* value, const Cell* owner_in, const Cell* word) {
  Cell o = *owner_in;
  RootCell keep(o);
  set_owner(value, &o, word);
  if (object::object_like_q(o.type())) context::cell_of(object::context_of(&o))->header |= object::owner_flag;
}

void unset_owner(Cell* value) {
  const u32 t = value->type();
  if (owned_type_q(t)) {
    if (t == type::image) value->header &= ~image_owned_flag;
    else buffer_of(node_of(value))->flags &= ~series_flag::owned;
    Cell v = *value;
    RootCell keep_v(v);
    bool existed = false;
    remove_entry(node_of(&v), &existed);
    // The entry is gone before the descent: a block met again finds none and stops there.
    if (existed && block_like_q(t)) each_cell(&v, [](Cell* c) { unset_owner(c); });
    return;
  }
  if (object::object_like_q(t)) {
    Ref<Node> ctx = object::context_of(value);
    if (mold::find_cycle(ctx) || owner_object_q(value)) return;
    mold::CycleGuard guard(ctx);
    each_field(value, [](Cell* v, Cell*) { unset_owner(v); });
  }
}

void unset_owner_range(Cell* block_in, i32 index, i32 count) {
  Cell blk = *block_in;
  RootCell keep(blk);
  for (i32 i = index; i < index + count && i < series::total_length(&blk); ++i) {
    if (i < 0) continue;
    Cell c = *block::cell_at(&blk, i);
    RootCell keep_c(c);
    unset_owner(&c);
  }
}

Cell* find_owner(Ref<Node> series) {
  if (!owners || !series) return nullptr;
  Cell* e = hashtable::get_key(owners, series.offset());
  return e ? e + 1 : nullptr;
}

bool notify_change(Cell* series, const Cell* action, const Cell* value, i32 index, i32 part) {
  if (!owners || !owned_type_q(series->type()) || !marked_q(series)) return false;
  Cell* e = hashtable::get_key(owners, node_of(series).offset());
  if (!e || !e[1].w3) return false;
  Cell owner = e[1], word = e[2], target = *series, act = *action;
  Cell now = value ? *value : none::value;
  RootCell keep_owner(owner), keep_word(word), keep_target(target), keep_act(act), keep_now(now);
  object::fire_on_deep_change(&owner, &word, &target, &act, &now, index, part);
  return true;
}

bool notify_change(Cell* series, const char* action, const Cell* value, i32 index, i32 part) {
  if (!owners || !owned_type_q(series->type()) || !marked_q(series)) return false;
  Cell target = *series, v = value ? *value : none::value;
  RootCell keep_target(target), keep_v(v);
  Cell act = action_word(action);  // may make the word: allocates
  RootCell keep_act(act);
  return notify_change(&target, &act, &v, index, part);
}

void sweep(bool (*alive)(u32 node), u32 (*remap)(u32 node)) {
  if (!owners) return;
  // A series that outlives its owner loses its owned mark with the entry, so another object can
  // take it later (the mark alone would refuse every new owner).
  each_live_entry([&](Cell* e) {
    if (alive(e->w1) && e[2].w1 && !alive(e[2].w1)) {
      Ref<Node> node(remap ? remap(e->w1) : e->w1);
      if (e[1].type() != type::image) buffer_of(node)->flags &= ~series_flag::owned;
    }
  });
  hashtable::sweep_weak(owners, alive);
  // Survivors: keys follow moved nodes, and what the entry's cells refer to (the series value's
  // node, the owner's context, the word's context) is marked and rewritten like any other cell.
  each_live_entry([&](Cell* e) {
    if (remap) e->w1 = remap(e->w1);
    if (collector::collecting) collector::mark_cells(e + 1, e + 1 + entry_values);
  });
}

i32 entry_count() { return owners ? hashtable::size_of(owners) : 0; }

}  // namespace kiv::ownership
