#include "datatypes/frame_words.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/roots.h"

namespace kiv::stack {

namespace {

// The where answer (get_where returns its address).
Cell where_word{type::none, 0, 0, 0};

bool skipped_symbol(i32 symbol) {
  return symbol != 0 && (symbol == body_symbol || symbol == anonymous_symbol);
}

// Frames whose word names nothing a user wrote: block frames, <body> and <anon>.
bool nameless(const Frame* f) { return f->code() == (kind::block & kind::code_mask) || skipped_symbol(f->symbol()); }

Ref<Node> static_word_context(u32 wid) {
  return static_words::word_roots[wid] ? word::context_of(static_words::word(wid)) : Ref<Node>{};
}
i32 static_word_symbol(u32 wid) {
  return static_words::word_roots[wid] ? word::symbol_of(static_words::word(wid)) : 0;
}

void mark_where() { collector::mark_cell(&where_word); }

}  // namespace

Cell innermost_position() {
  for (Frame* f = frame_top; f > frame_bottom;) {
    --f;
    // Library code is never the place of an error: its caller's expression is.
    if (f->kind() == kind::block && f->word_context && !block::library_q(Ref<Node>(f->word_context))) {
      return Cell{type::block, f->saved_values, f->word_context, 0};
    }
  }
  return none::value;
}

Frame* push_try_frame() {
  return push_frame(kind::try_, static_word_symbol(static_words::wid::try_),
                    static_word_context(static_words::wid::try_).offset());
}
Frame* push_try_all_frame() {
  return push_frame(kind::try_all, static_word_symbol(static_words::wid::try_),
                    static_word_context(static_words::wid::try_).offset());
}
Frame* push_catch_frame() {
  return push_frame(kind::catch_, static_word_symbol(static_words::wid::catch_),
                    static_word_context(static_words::wid::catch_).offset());
}

const Cell* get_where() {
  if (!frame_bottom) return &none::value;
  Frame* f = frame_top;
  // From a throw: the search starts below the throw's own record.
  if (where_frame >= 0 && where_frame < static_cast<i32>(frame_end - frame_bottom)) f = frame_bottom + where_frame;
  where_frame = -1;
  while (f > frame_bottom) {
    --f;
    if (nameless(f)) continue;
    if (f->code() == kind::try_ || f->code() == kind::try_all || f->code() == kind::catch_ || f->code() == kind::loop)
      continue;
    if (f->symbol() == 0) continue;
    Cell w = word::find_in_context(Ref<Node>(f->word_context), f->symbol());
    where_word = w;
    return &where_word;
  }
  if (static_words::word_roots[static_words::wid::not_found]) {
    where_word = *static_words::word(static_words::wid::not_found);
    return &where_word;
  }
  return &none::value;
}

namespace {

// Whether the frame's word is kept in a trace at the level.
bool traced(const Frame* f, i32 level) {
  if (nameless(f) || f->symbol() == 0) return false;
  switch (f->code()) {
    case kind::try_:
    case kind::try_all:
    case kind::catch_:
    case kind::loop:
      return false;
    default:
      break;
  }
  if (level >= 2) return true;
  Ref<Node> ctx(f->word_context);
  if (!ctx) ctx = context::global();
  const Cell* v = context::get_value_cell(f->symbol(), ctx);
  return v && v->type() == type::function;
}

}  // namespace

void collect_frame_words(i32 level, Cell* block, i32 limit) {
  // As in form_trace: records above the live top were reused or hold nodes the collector no longer
  // keeps, whatever position the error recorded.
  i32 n = std::min(limit, frame_depth());
  for (i32 i = 0; i < n; ++i) {
    Frame* f = frame_bottom + i;
    if (!traced(f, level)) continue;
    word::add_to_block(block, f->symbol());
  }
}

i32 form_trace(i32 level, Cell* out, i32 limit_record, i32 limit) {
  // A frame position recorded when the error was raised may lie above the records alive now: those
  // were reused since, so the trace stops at the live top.
  i32 n = std::min(limit_record, frame_depth());
  Cell* scratch = push_cell();
  for (i32 i = 0; i < n && limit > 0; ++i) {
    Frame* f = frame_bottom + i;
    if (!traced(f, level)) continue;
    word::make_at(f->symbol(), scratch);
    limit = word::form(scratch, out, nullptr, limit);
    string::append_char(out, ' ');
    limit -= 1;
  }
  drop(1);
  return limit;
}

void collect_trace(Cell* block) {
  for (Frame* f = frame_top; f > frame_bottom + 1;) {
    --f;
    if (nameless(f) || f->symbol() == 0) continue;
    Ref<Node> ctx = f->function_context ? Ref<Node>(f->function_context) : context::global();
    Cell w = word::find_in_context(ctx, f->symbol());
    RootCell keep(w);
    block::append_value(block, &w);
    Cell pos;
    integer::box(&pos, static_cast<i32>(f->base() - bottom));
    block::append_value(block, &pos);
  }
}

void name_frame_words() {
  body_symbol = word::symbol_of(static_words::word(static_words::wid::body_tag));
  anonymous_symbol = word::symbol_of(static_words::word(static_words::wid::anon));
  static bool registered = false;
  if (!registered) {
    collector::add_root_callback(mark_where);
    registered = true;
  }
}

}  // namespace kiv::stack
