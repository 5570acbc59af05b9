#include "datatypes/function.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::function {

namespace {

i32 canonical(const Cell* word) { return symbol::resolve(word::symbol_of(word)); }
i32 static_symbol(u32 id) { return symbol::resolve(static_words::symbol(id)); }
i32 refinement_symbol(u32 id) { return symbol::resolve(word::symbol_of(static_words::refinement(id))); }
i32 named_word_symbol(u32 id) { return symbol::resolve(word::symbol_of(static_words::word(id))); }

bool argument_word_q(u32 t) { return t == type::word || t == type::get_word || t == type::lit_word; }
bool word_like_q(u32 t) { return argument_word_q(t) || t == type::refinement; }

// A spec's cells from its head (clipped to the tail) to its tail. Nothing that reads a span
// allocates while it is held.
struct Span {
  const Cell* begin;
  const Cell* end;
  i32 size() const { return static_cast<i32>(end - begin); }
};
Span span_of(const Cell* blk) {
  SeriesBuffer* b = block::buffer_of(blk);
  const Cell* start = b->head_ptr<Cell>();
  const Cell* end = b->tail_ptr<Cell>();
  i32 head = std::clamp(block::head_index(blk), 0, static_cast<i32>(end - start));
  return {start + head, end};
}

// The block's head pulled back into [0, tail].
void clip_head(Cell* blk) {
  i32 total = series::total_length(blk);
  series::set_head_index(blk, std::clamp(block::head_index(blk), 0, total));
}

// The value of a type-block word, or null when it has none.
const Cell* word_value(const Cell* w) {
  if (!word::context_of(w)) return nullptr;
  try {
    const Cell* v = word::get_value(w);
    return v->type() == type::unset ? nullptr : v;
  } catch (const LanguageError&) {
    return nullptr;  // unbound, or a context whose values are not there: no value either way
  }
}

}  // namespace

// ---- Spec checks -----------------------------------------------------------------------------

i32 attribute_flags(const Cell* attributes) {
  i32 flags = 0;
  i32 trace = static_symbol(static_words::sym::trace), no_trace = static_symbol(static_words::sym::no_trace);
  Span s = span_of(attributes);
  for (const Cell* c = s.begin; c < s.end; ++c) {
    if (c->type() != type::word) return -1;
    i32 sym = canonical(c);
    if (sym == trace) flags |= static_cast<i32>(flag::trace);
    else if (sym == no_trace) flags |= static_cast<i32>(flag::no_trace);
  }
  return flags;
}

void check_type_block(const Cell* types) {
  Span s = span_of(types);
  for (const Cell* c = s.begin; c < s.end; ++c) {
    Cell element = *c;
    if (element.type() == type::word) {
      const Cell* v = word_value(&element);
      if (!v) raise_error(ErrorCategory::script, "no-value", element);
      element = *v;
      if (element.type() == type::word) continue;
    }
    if (element.type() != type::datatype && element.type() != type::typeset) {
      raise_error(ErrorCategory::script, "invalid-type-spec", element);
    }
  }
}

void check_duplicates(const Cell* spec) {
  // The answer is the pair a pairwise scan meets first: the earliest word that repeats, named at
  // its second occurrence.
  Span s = span_of(spec);
  struct Seen {
    i32 first, second;
  };
  std::unordered_map<i32, Seen> seen;
  const Cell* best = nullptr;
  i32 best_first = s.size();
  for (const Cell* c = s.begin; c < s.end; ++c) {
    if (!word_like_q(c->type())) continue;
    auto i = static_cast<i32>(c - s.begin);
    auto [it, added] = seen.try_emplace(canonical(c), Seen{i, -1});
    if (!added && it->second.second < 0) {
      it->second.second = i;
      if (it->second.first < best_first) {
        best_first = it->second.first;
        best = c;
      }
    }
  }
  if (best) raise_error(ErrorCategory::script, "dup-vars", *best);
}

u32 validate_spec(const Cell* spec_in) {
  const Cell spec = *spec_in;
  auto bad = [&spec]() { raise_error(ErrorCategory::script, "bad-func-def", spec); };
  i32 return_sym = static_symbol(static_words::sym::return_);
  i32 local_sym = refinement_symbol(static_words::rid::local);
  Span s = span_of(&spec);
  const Cell* c = s.begin;
  u32 flags = 0;
  if (c < s.end && c->type() == type::block) {
    i32 f = attribute_flags(c);
    if (f < 0) bad();
    flags = static_cast<u32>(f);
    ++c;
  }
  bool return_seen = false, local_seen = false;
  auto type_at = [&s](const Cell* p) { return p < s.end ? p->type() : 0u; };  // 0: the end
  while (c < s.end) {
    switch (c->type()) {
      case type::word:
      case type::get_word:
      case type::lit_word: {
        if (local_seen && c->type() != type::word) bad();
        if (return_seen && !local_seen) bad();
        // A doc string belongs after the type block, never between the word and it.
        if (type_at(c + 1) == type::string && type_at(c + 2) == type::block) bad();
        if (type_at(c + 1) == type::block) {
          check_type_block(c + 1);
          c += 2;
        } else {
          ++c;
        }
        break;
      }
      case type::set_word: {
        if (canonical(c) != return_sym || return_seen || local_seen) bad();
        if (type_at(c + 1) != type::block) bad();
        u32 after = type_at(c + 2);
        if (after != 0 && after != type::refinement && after != type::string) bad();
        return_seen = true;
        c += 2;
        break;
      }
      case type::refinement: {
        if (canonical(c) == local_sym) local_seen = true;
        else if (local_seen || return_seen) bad();
        u32 next = type_at(c + 1);
        if (next != 0 && !word_like_q(next) && next != type::set_word && next != type::string) bad();
        ++c;
        break;
      }
      case type::string:
        ++c;
        break;
      default:
        bad();
    }
  }
  check_duplicates(&spec);
  return flags;
}

i32 count_locals(Ref<Node> spec, i32 head, bool strict) {
  Cell blk{type::block, static_cast<u32>(head), spec.offset(), 0};
  Span s = span_of(&blk);
  i32 local_sym = refinement_symbol(static_words::rid::local);
  i32 n = 0;
  bool found = false;
  for (const Cell* c = s.begin; c < s.end; ++c) {
    if (!found) {
      if (c->type() == type::refinement && canonical(c) == local_sym) {
        found = true;
        n = 1;
      }
    } else if (c->type() == type::word) {
      ++n;
    }
  }
  return found ? n : strict ? -1 : 0;
}

void push_unused_refinement(i32 n) {
  stack::push_value(&logic::false_value);
  for (i32 i = 1; i < n; ++i) stack::push_value(&none::value);
}

// ---- Construction ----------------------------------------------------------------------------

Ref<Node> make_value(const Cell* spec_in, const Cell* body_in, Ref<Node> ctx, i32 code, i32 code2, u32 flags) {
  Cell spec = *spec_in;
  Cell body = body_in && body_in->type() == type::block ? *body_in : none::value;
  RootCell keep_spec(spec), keep_body(body);
  RootNode keep_ctx(ctx);
  bool has_body = body.type() == type::block;
  clip_head(&spec);
  if (has_body) clip_head(&body);
  if (block::head_index(&spec) > 0) {
    spec = *block::clone(&spec, false, false);
    stack::drop(1);  // `spec` is rooted
  }
  Ref<Node> more = memory::alloc_unset_cells(more::count);
  RootNode keep_more(more);
  {
    SeriesBuffer* b = buffer_of(more);
    b->tail = b->head + more::count * sizeof(Cell);
  }
  bool made_here = !ctx;
  if (made_here) ctx = context::make_from_words(&spec, true, false, context::function);

  Cell* f = stack::push_cell();  // stays put: the value stack never moves
  f->header = type::function | (flags & ~header::type_mask);
  f->w1 = ctx.offset();
  f->w2 = spec.w2;
  f->w3 = more.offset();
  *context::owner_of(ctx) = *f;

  Cell copy = none::value;
  RootCell keep_copy(copy);
  if (has_body) {
    copy = *block::clone(&body, true, true);
    stack::drop(1);
    // A library function's body stays library code.
    if (block::library_q(Ref<Node>(body.w2))) block::mark_library(&copy);
  }
  Cell* cells = buffer_of(more)->head_ptr<Cell>();
  cells[more::body] = copy;
  if (code != 0) integer::box(&cells[more::code], code);
  cells[more::op_value] = Cell{type::unset, 0, 0, 0};
  if (code2 != 0) integer::box(&cells[more::extra], code2);
  if (made_here && has_body) context::bind_block(&copy, ctx, false);
  return ctx;
}

// ---- The function native's locals --------------------------------------------------------------

namespace {

struct LocalsCollector {
  Cell* result;  // value-stack cells: they stay put
  Cell* ignore;
  i32 foreach_sym, remove_each_sym, repeat_sym;

  bool listed_q(i32 sym) const {
    Span s = span_of(ignore);
    for (const Cell* c = s.begin; c < s.end; ++c) {
      if (c->type() >= type::word && c->type() <= type::refinement && canonical(c) == sym) return true;
    }
    return false;
  }

  void collect(const Cell* w) {
    Cell word = *w;
    word.header = type::word;
    RootCell keep(word);
    if (listed_q(canonical(&word))) return;
    block::append_value(result, &word);
    block::append_value(ignore, &word);
  }

  // Walks a block or paren, entering nested ones; each series once (a body may contain itself).
  void walk(const Cell* blk_in) {
    Cell blk = *blk_in;
    RootCell keep(blk);
    Ref<Node> node = series::node_of(&blk);
    if (mold::find_cycle(node)) return;
    mold::CycleGuard guard(node);
    // Collecting appends (and may move buffers): cells are read by position, one at a time.
    for (i32 i = std::max(block::head_index(&blk), 0); i < series::total_length(&blk); ++i) {
      Cell c = *block::cell_at(&blk, i);
      RootCell keep_c(c);
      u32 t = c.type();
      if (t == type::set_word) {
        collect(&c);
      } else if (t == type::word && i + 1 < series::total_length(&blk)) {
        i32 sym = canonical(&c);
        bool loop = sym == foreach_sym || sym == remove_each_sym;
        if (!loop && sym != repeat_sym) continue;
        Cell next = *block::cell_at(&blk, i + 1);
        RootCell keep_next(next);
        if (loop && next.type() == type::block) {
          for (i32 k = std::max(block::head_index(&next), 0); k < series::total_length(&next); ++k) {
            Cell v = *block::cell_at(&next, k);
            if (argument_word_q(v.type())) collect(&v);
          }
        } else if (next.type() == type::word || next.type() == type::set_word) {
          collect(&next);
        }
      } else if (t == type::block || t == type::paren) {
        walk(&c);
      }
    }
  }
};

}  // namespace

Cell* collect_locals(Cell* spec_in, const Cell* body_in) {
  Cell spec = *spec_in, body = *body_in;
  RootCell keep_spec(spec), keep_body(body);
  clip_head(&spec);
  Cell* result = block::push_new(8);
  Cell* ignore = block::clone(&spec, false, false);

  i32 extern_sym = refinement_symbol(static_words::rid::extern_);
  i32 local_sym = refinement_symbol(static_words::rid::local);
  bool has_extern = false;
  i32 total = series::total_length(&spec);
  for (i32 i = block::head_index(&spec); i < total; ++i) {
    Cell c = *block::cell_at(&spec, i);
    if (c.type() != type::refinement || canonical(&c) != extern_sym) continue;
    has_extern = true;
    i32 j = i + 1;
    while (j < total && block::cell_at(&spec, j)->type() == type::word) ++j;
    if (j < total && block::cell_at(&spec, j)->type() == type::refinement &&
        canonical(block::cell_at(&spec, j)) == local_sym) {
      for (i32 k = j + 1; k < total; ++k) {
        Cell v = *block::cell_at(&spec, k);
        if (v.type() == type::word) block::append_value(result, &v);
      }
    }
    block::set_tail(&spec, i);
    break;
  }

  {
    // Normalising allocates nothing: the span stays valid.
    Span s = span_of(ignore);
    for (Cell* c = const_cast<Cell*>(s.begin); c < s.end; ++c) {
      switch (c->type()) {
        case type::word:
        case type::block:
        case type::string:
          break;
        case type::set_word:
        case type::lit_word:
        case type::get_word:
        case type::refinement:
          cell::set_type(c, type::word);
          break;
        default:
          if (has_extern) raise_error(ErrorCategory::script, "bad-func-extern", *c);
      }
    }
  }

  if (body.type() == type::block || body.type() == type::paren) {
    LocalsCollector collector{result, ignore, static_symbol(static_words::sym::foreach),
                              static_symbol(static_words::sym::remove_each), static_symbol(static_words::sym::repeat)};
    collector.walk(&body);
  }

  if (block::length(result) > 0) {
    if (count_locals(series::node_of(&spec), block::head_index(&spec), true) == -1) {
      Cell local = *static_words::refinement(static_words::rid::local);
      block::append_value(&spec, &local);
    }
    i32 local_word = named_word_symbol(static_words::wid::local);
    SeriesBuffer* rb = block::buffer_of(result);
    Cell* start = rb->head_ptr<Cell>();
    i32 n = static_cast<i32>(rb->used_bytes() / sizeof(Cell));
    for (i32 i = 0; i < n; ++i) {
      if (start[i].type() == type::word && canonical(&start[i]) == local_word) {
        std::memmove(start + i, start + i + 1, static_cast<size_t>(n - i - 1) * sizeof(Cell));
        rb->tail -= sizeof(Cell);
        break;
      }
    }
    block::append_values(&spec, result);
  }
  return result;
}

// ---- Actions ---------------------------------------------------------------------------------

Cell* make(Cell*, Cell* spec_in, u32) {
  Cell arg = *spec_in;
  RootCell keep(arg);
  auto bad = [&arg]() { raise_error(ErrorCategory::script, "bad-func-def", arg); };
  if (arg.type() != type::block || block::length(&arg) < 2) bad();
  i32 head = block::head_index(&arg);
  Cell spec = *block::cell_at(&arg, head), body = *block::cell_at(&arg, head + 1);
  RootCell keep_spec(spec), keep_body(body);
  if (spec.type() != type::block) bad();
  u32 flags = validate_spec(&spec);
  if (body.type() != type::block) bad();
  make_value(&spec, &body, Ref<Node>{}, 0, 0, flags);
  return stack::last_value();
}

Cell* reflect(Cell* value, i32 field) {
  Cell v = *value;
  RootCell keep(v);
  i32 sym = symbol::resolve(field);
  if (sym == static_symbol(static_words::sym::spec)) return native::spec_block(&v, stack::push_cell());
  if (sym == static_symbol(static_words::sym::body)) return stack::push_value(more_cell(&v, more::body));
  if (sym == static_symbol(static_words::sym::words)) {
    i32 n = context::word_count(context_node(&v));
    Cell* out = block::push_new(n);
    for (i32 i = 0; i < n; ++i) {
      // The context node is re-read from the rooted value: appending may move it.
      Cell w = *context::word_at(context_node(&v), i);  // bound to the context at its own index
      w.header = type::word;
      block::append_value(out, &w);
    }
    return out;
  }
  raise_error(ErrorCategory::internal, "not-done");
}

i32 form(const Cell*, Cell* out, const Cell*, i32 limit) {
  string::append_c_string(out, "?function?");
  return limit - 10;
}

i32 mold(const Cell* value, Cell* out, bool, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  Cell v = *value, spec;
  native::spec_block(&v, &spec);
  RootCell keep_v(v), keep_spec(spec);
  string::append_c_string(out, "func ");
  limit = block::mold(&spec, out, false, all, flat, part, limit - 5, indent);
  Cell body = *more_cell(&v, more::body);
  RootCell keep_body(body);
  if (body.type() != type::block) {
    string::append_c_string(out, " none");
    return limit - 5;
  }
  return block::mold(&body, out, false, all, flat, part, limit, indent);
}

i32 compare(const Cell* a, const Cell* b, i32 op) { return native::compare_code(a, b, op); }

void init() {
  datatype::register_type(type::function, type::context, "function!",
                          {.make = make, .reflect = reflect, .form = form, .mold = mold, .compare = compare});
  hashtable::set_hash_procedure(type::function, hashtable::hash_words123, true);
  collector::set_mark_procedure(type::function, collector::mark_function);
}

}  // namespace kiv::function
