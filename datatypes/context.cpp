#include "datatypes/context.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/mold.h"
#include "runtime/roots.h"

namespace kiv::context {

namespace {

inline Cell* list_cells(Ref<Node> ctx) { return words_buffer(ctx)->head_ptr<Cell>(); }

bool word_type_q(u32 t) { return t >= type::word && t <= type::refinement; }

bool bindable_block_q(u32 t) {
  switch (t) {
    case type::block:
    case type::paren:
    case type::path:
    case type::lit_path:
    case type::set_path:
    case type::get_path:
    case type::hash:
      return true;
    default:
      return false;
  }
}

// The symbol of `self`, interned on first use (before any walk takes raw pointers).
i32 self_symbol() {
  static i32 id = 0;
  if (id == 0 || !symbol::valid_q(id) || symbol::name(id) != "self") id = symbol::make("self");
  return id;
}

void bind_cells(Cell* blk, Ref<Node> ctx, bool self, i32 self_sym) {
  Ref<Node> node = series::node_of(blk);
  if (mold::find_cycle(node)) return;
  mold::CycleGuard guard(node);
  // Binding allocates nothing, so the buffer stays where it is for the whole walk.
  SeriesBuffer* b = buffer_of(node);
  Cell* c = b->head_ptr<Cell>() + std::max(block::head_index(blk), 0);
  Cell* end = b->tail_ptr<Cell>();
  for (; c < end; ++c) {
    u32 t = c->type();
    if (word_type_q(t)) {
      if (self && t == type::word && symbol::resolve(word::symbol_of(c)) == self_sym) {
        c->w1 = ctx.offset();
        c->w3 = static_cast<u32>(-1);
      } else {
        word::bind(ctx, c);
      }
    } else if (bindable_block_q(t)) {
      bind_cells(c, ctx, self, self_sym);
    }
  }
}

}  // namespace

Ref<Node> global() { return Ref<Node>(words::root_at(words::root_index::global_context)->w1); }

Ref<Node> words_node(Ref<Node> ctx) { return hashtable::block_of(table_of(ctx)); }
SeriesBuffer* words_buffer(Ref<Node> ctx) { return buffer_of(words_node(ctx)); }
i32 word_count(Ref<Node> ctx) { return static_cast<i32>(words_buffer(ctx)->used_bytes() / sizeof(Cell)); }
Cell* word_at(Ref<Node> ctx, i32 index) { return list_cells(ctx) + index; }

Cell* values_of(Ref<Node> ctx) {
  const Cell* c = cell_of(ctx);
  if (c->w2 == 0) return nullptr;
  if (c->header & flag::on_stack) return arena::at<Cell>(c->w2);
  return buffer_of(Ref<Node>(c->w2))->head_ptr<Cell>();
}

i32 table_find_word(Ref<Node> ctx, i32 sym, bool case_insensitive, bool add, i32* out) {
  RootNode keep(ctx);
  Ref<Node> table = table_of(ctx);
  hashtable::Table* t = hashtable::record_of(table);
  if (add && t->n_occupied >= t->upper_bound) {
    hashtable::grow_word_table(table);
    t = hashtable::record_of(table_of(ctx));
  }
  const i32 canonical = symbol::resolve(sym);
  const i32 key = case_insensitive ? canonical : sym;
  const u32 mask = t->n_buckets - 1;
  const u32 start = hashtable::hash_pointer(static_cast<u32>(canonical)) & mask;
  const u32* flags = hashtable::flags_of(t);
  const i32* keys = hashtable::keys_of(t);
  const Cell* list = list_cells(ctx);
  i32 empty = -1;
  u32 i = start;
  for (u32 step = 1;; ++step) {
    u32 f = hashtable::bucket_flags(flags, i);
    if (f == hashtable::empty_bucket) {
      empty = static_cast<i32>(i);
      break;
    }
    if (f == hashtable::live_bucket) {
      i32 pos = keys[i];
      i32 s = word::symbol_of(list + pos);
      if ((case_insensitive ? symbol::resolve(s) : s) == key) {
        if (add && out) *out = pos;
        return pos;
      }
    }
    i = (i + step) & mask;
    if (i == start) break;
  }
  if (!add) return -1;
  if (empty < 0) {
    // Unreachable while the fill limit holds; grow and place it anyway rather than lose the word.
    hashtable::grow_word_table(table_of(ctx));
    return table_find_word(ctx, sym, case_insensitive, add, out);
  }
  i32 n = word_count(ctx);
  Cell* w = cell::reserve_tail_cell(words_buffer(ctx));
  word::init_at(w, type::word, ctx, sym, n);
  t = hashtable::record_of(table_of(ctx));
  hashtable::set_live(t, static_cast<u32>(empty), n);
  ++t->size;
  ++t->n_occupied;
  if (out) *out = n;
  return -1;
}

i32 find_word(Ref<Node> ctx, i32 sym, bool case_insensitive) {
  i32 pos = table_find_word(ctx, sym, case_insensitive, false, nullptr);
  return pos < 0 ? -1 : word::index_of(word_at(ctx, pos));
}

i32 find_or_add_word(Ref<Node> ctx, i32 sym, bool case_insensitive, i32* out) {
  i32 pos = table_find_word(ctx, sym, case_insensitive, true, out);
  return pos < 0 ? -1 : word::index_of(word_at(ctx, pos));
}

i32 find_or_add_word_slot(Ref<Node> ctx, const Cell* word) {
  RootNode keep(ctx);
  i32 n = -1;
  i32 index = find_or_add_word(ctx, word::symbol_of(word), true, &n);
  if (index >= 0) return index;
  if (!on_stack_q(ctx)) {
    Cell* v = cell::reserve_tail_cell(buffer_of(Ref<Node>(cell_of(ctx)->w2)));
    *v = Cell{type::unset, 0, 0, 0};
  }
  return n;
}

Cell* add_word(Ref<Node> ctx, const Cell* word, const Cell* value) {
  Cell w = *word, v = *value;
  RootCell keep_w(w), keep_v(v);
  RootNode keep(ctx);
  if (find_word(ctx, word::symbol_of(&w), true) >= 0) return nullptr;
  i32 index = find_or_add_word_slot(ctx, &w);
  Cell* values = values_of(ctx);
  if (!values) return nullptr;
  values[index] = v;
  return values + index;
}

Cell* set_word_value(Ref<Node> ctx, const Cell* word, const Cell* value) {
  Cell w = *word, v = *value;
  RootCell keep_w(w), keep_v(v);
  RootNode keep(ctx);
  i32 index = find_or_add_word_slot(ctx, &w);
  Cell* values = values_of(ctx);
  if (!values) return nullptr;
  values[index] = v;
  return values + index;
}

bool collect_set_words(Ref<Node> ctx, Cell* blk) {
  RootNode keep(ctx);
  if (block::head_index(blk) > series::total_length(blk)) series::set_head_index(blk, series::total_length(blk));
  i32 before = word_count(ctx);
  for (i32 i = std::max(block::head_index(blk), 0); i < series::total_length(blk); ++i) {
    Cell c = *block::cell_at(blk, i);
    if (c.type() == type::set_word) find_or_add_word_slot(ctx, &c);
  }
  return word_count(ctx) > before;
}

Cell* get_value_cell(i32 sym, Ref<Node> ctx) {
  if (on_stack_q(ctx)) ctx = global();
  i32 index = find_word(ctx, sym, true);
  if (index < 0) return nullptr;
  Cell* values = values_of(ctx);
  return values ? values + index : nullptr;
}

Ref<Node> make(i32 slots, bool on_stack, bool self, Ref<Node> source, u32 kind) {
  if (slots <= 0) slots = 1;
  RootNode keep_source(source);
  Ref<Node> ctx = memory::alloc_cells(2);
  RootNode keep(ctx);
  {
    SeriesBuffer* b = buffer_of(ctx);
    Cell* c = b->head_ptr<Cell>();
    c[0] = Cell{type::unset, 0, 0, 0};
    c[1] = Cell{type::unset, 0, 0, 0};
    b->tail = b->head + 2 * sizeof(Cell);
  }
  Ref<Node> table = source ? hashtable::clone_word_table(table_of(source))
                           : hashtable::make(slots, nullptr, hashtable::kind_word, 0);
  RootNode keep_table(table);
  Ref<Node> values{};
  if (!on_stack) {
    values = memory::alloc_unset_cells(slots);
    SeriesBuffer* vb = buffer_of(values);
    vb->tail = vb->head;
  }
  Cell* c = cell_of(ctx);
  c->header = type::context | (on_stack ? flag::on_stack : 0) | (self ? flag::self : 0) |
              ((kind << flag::kind_shift) & flag::kind_mask);
  c->w1 = table.offset();
  c->w2 = values.offset();
  c->w3 = 0;
  return ctx;
}

Ref<Node> make_from_words(const Cell* spec_in, bool on_stack, bool self, u32 kind) {
  Cell spec = *spec_in;
  RootCell keep_spec(spec);
  Ref<Node> ctx = make(block::length(&spec), on_stack, self, Ref<Node>{}, kind);
  RootNode keep(ctx);
  for (i32 i = std::max(block::head_index(&spec), 0); i < series::total_length(&spec); ++i) {
    Cell c = *block::cell_at(&spec, i);
    u32 t = c.type();
    if (t == type::word || t == type::get_word || t == type::lit_word || t == type::refinement) {
      i32 n;
      find_or_add_word(ctx, word::symbol_of(&c), true, &n);
    }
  }
  // One value per distinct word: a spec naming a word twice must not leave a value slot that no
  // word reaches (reflection and copying walk words and values in step).
  if (!on_stack) {
    SeriesBuffer* vb = buffer_of(Ref<Node>(cell_of(ctx)->w2));
    vb->tail = vb->head + static_cast<u32>(word_count(ctx)) * sizeof(Cell);
  }
  return ctx;
}

Ref<Node> clone_for(Cell* value, u32 kind) {
  Ref<Node> old = Ref<Node>(value->w1);
  RootNode keep_old(old);
  i32 n = word_count(old);
  Ref<Node> ctx = make(n, on_stack_q(old), self_q(old), old, kind);
  Cell* list = list_cells(ctx);
  for (i32 i = 0; i < n; ++i) list[i].w1 = ctx.offset();
  if (!on_stack_q(ctx)) {
    SeriesBuffer* vb = buffer_of(Ref<Node>(cell_of(ctx)->w2));
    vb->tail = vb->head + static_cast<u32>(n) * sizeof(Cell);
  }
  value->w1 = ctx.offset();
  return ctx;
}

Cell* bind_block(Cell* blk, Ref<Node> ctx, bool self) {
  i32 self_sym = self ? self_symbol() : 0;
  bind_cells(blk, ctx, self, self_sym);
  return blk;
}

void make_global() {
  Ref<Node> ctx = make(global_slots, false, false, Ref<Node>{}, plain);
  // Kept as an object!-shaped handle (context in w1, no class, no event record): the collector
  // marks a context! cell as the context cell itself, which would not keep the node alive.
  Cell c{type::object, ctx.offset(), 0, 0};
  words::record(&c);
}

namespace {

// The word table in w1; the values block in w2 unless the values live on the value stack.
void mark(Cell* c) {
  collector::mark_table(&c->w1);
  if (!(c->header & flag::on_stack)) collector::mark_block(&c->w2);
}

}  // namespace

void init() {
  datatype::register_type(type::context, 0, "context!", {});
  collector::set_mark_procedure(type::context, mark);
}

}  // namespace kiv::context
