#include "datatypes/block.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "datatypes/block_search.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::block {

namespace {

constexpr u32 cell_bytes = sizeof(Cell);

Cell* cells_of(SeriesBuffer* b) { return b->head_ptr<Cell>(); }
i32 total_of(SeriesBuffer* b) { return static_cast<i32>((b->tail - b->head) / cell_bytes); }
i32 total(const Cell* blk) { return total_of(buffer_of(blk)); }

// The head, pulled back to the tail when past it (and never below the start).
i32 clipped_head(Cell* blk) {
  i32 t = total(blk);
  i32 h = head_index(blk);
  if (h > t) {
    series::set_head_index(blk, t);
    h = t;
  }
  return std::max(h, 0);
}

// Makes room for `extra` more cells: grows to `size` bytes (at least what is needed).
SeriesBuffer* ensure_room(Cell* blk, u64 extra_bytes, bool doubled) {
  SeriesBuffer* b = buffer_of(blk);
  u64 needed = u64{b->used_bytes()} + extra_bytes;
  if (u64{b->tail} + extra_bytes <= b->end_offset()) return b;
  u64 size = doubled ? needed * 2 : needed;
  if (size > memory::max_data_size) size = needed;
  if (size > memory::max_data_size) raise_error(ErrorCategory::internal, "no-memory");
  return memory::expand_series(b, static_cast<i32>(size));
}

bool word_family_q(u32 t) { return t >= type::word && t <= type::issue; }
bool number_q(u32 t) { return t == type::integer || t == type::float_ || t == type::percent; }
bool deep_copied_q(u32 t) { return series::series_type_q(t); }

auto appender(Cell* out) {
  return [out](std::string_view text) { string::append_utf8(out, text); };
}

bool ends_with_break(const Cell* out) {
  i32 n = string::total_length(out);
  if (n == 0) return false;
  i32 c = string::char_at(out, n - 1);
  return c == '\t' || c == '\n' || c == '\r';
}

Cell new_block_cell(u32 t, Ref<Node> node) { return Cell{t, 0, node.offset(), 0}; }

}  // namespace

bool any_block_q(u32 t) { return series::any_block_q(t); }

// ---- helpers ----

i32 length(const Cell* blk) { return std::max(total(blk) - std::max(head_index(blk), 0), 0); }
bool step_head(Cell* blk) { return series::move_head(blk, 1); }
Cell* head_pointer(Cell* blk) { return cells_of(buffer_of(blk)) + clipped_head(blk); }
Cell* tail_pointer(const Cell* blk) { return buffer_of(blk)->tail_ptr<Cell>(); }
bool at_tail_q(const Cell* blk) { return head_index(blk) == total(blk); }
Cell* cell_at(const Cell* blk, i32 n) { return cells_of(buffer_of(blk)) + n; }
void set_tail(Cell* blk, i32 n) {
  SeriesBuffer* b = buffer_of(blk);
  b->tail = b->head + static_cast<u32>(n) * cell_bytes;
}
void clear_from_head(Cell* blk) { set_tail(blk, clipped_head(blk)); }

Cell* append_value(Cell* blk, const Cell* value) {
  Cell v = *value;  // before the buffer can move
  RootCell keep(v);
  Cell* slot = cell::reserve_tail_cell(buffer_of(blk));
  *slot = v;
  return slot;
}

Cell* append_values(Cell* target, const Cell* source) {
  i32 n = length(source);
  if (n == 0) return target;
  ensure_room(target, u64{static_cast<u32>(n)} * cell_bytes, true);
  SeriesBuffer* tb = buffer_of(target);
  const i32 old_total = total_of(tb);
  const Cell* from = cells_of(buffer_of(source)) + std::max(head_index(source), 0);
  std::memmove(tb->tail_ptr(), from, static_cast<size_t>(n) * cell_bytes);
  tb->tail += static_cast<u32>(n) * cell_bytes;
  series::hash_changed(target, old_total, 0, n);
  return target;
}

Cell* insert_value(Cell* blk, const Cell* value, bool advance, bool at_start) {
  Cell v = *value;
  RootCell keep(v);
  SeriesBuffer* b = ensure_room(blk, cell_bytes, true);
  i32 pos = at_start ? 0 : clipped_head(blk);
  Cell* at = cells_of(b) + pos;
  std::memmove(at + 1, at, b->tail - b->head - static_cast<u32>(pos) * cell_bytes);
  b->tail += cell_bytes;
  *at = v;
  series::hash_changed(blk, pos, 0, 1);
  if (advance) series::set_head_index(blk, head_index(blk) + 1);
  return cell_at(blk, pos);  // the index upkeep may have moved the buffer
}

Cell* insert_values(Cell* target, const Cell* source) {
  Cell src = *source;
  RootCell keep(src);
  return insert(target, &src, -1, false, 1, false);
}

Cell* insert_frame_result() {
  Cell* blk = stack::arguments - 1;
  return insert_value(blk, stack::arguments, true, false);
}

Cell* append_frame_result() {
  Cell* blk = stack::arguments - 1;
  append_value(blk, stack::arguments);
  series::hash_changed(blk, total(blk) - 1, 0, 1);
  return cell_at(blk, total(blk) - 1);  // the index upkeep may have moved the buffer
}

Cell* append_arg() {
  append_value(stack::arguments, stack::arguments + 1);
  series::hash_changed(stack::arguments, total(stack::arguments) - 1, 0, 1);
  return stack::arguments;
}

Cell* select_value(const Cell* value, Cell* blk) {
  auto cmp = actions::get<action::slot::compare>(value);
  SeriesBuffer* b = buffer_of(blk);
  i32 t = total_of(b);
  for (i32 i = clipped_head(blk); i < t; ++i) {
    if (cmp(value, cells_of(b) + i, compare_op::find) == 0) return i + 1 < t ? cells_of(b) + i + 1 : &none::value;
  }
  return &none::value;
}

i32 remove_value(const Cell* value, Cell* blk, bool from_start) {
  auto cmp = actions::get<action::slot::compare>(value);
  SeriesBuffer* b = buffer_of(blk);
  i32 h = clipped_head(blk);
  i32 t = total_of(b);
  for (i32 i = from_start ? 0 : h; i < t; ++i) {
    if (cmp(value, cells_of(b) + i, compare_op::find) != 0) continue;
    Cell* at = cells_of(b) + i;
    std::memmove(at, at + 1, static_cast<size_t>(t - i - 1) * cell_bytes);
    b->tail -= cell_bytes;
    series::hash_changed(blk, i, 1, 0);
    // 0 means "no match": positions at or after the head answer offset + 1, before it the
    // (negative) offset itself.
    return i >= h ? i - h + 1 : i - h;
  }
  return 0;
}

Cell* select_word(Cell* blk, const Cell* word, bool exact) {
  SeriesBuffer* b = buffer_of(blk);
  i32 t = total_of(b);
  auto sym = static_cast<i32>(word->w2);
  i32 wanted = exact ? sym : series::canonical_symbol(sym);
  for (i32 i = clipped_head(blk); i < t; ++i) {
    const Cell* c = cells_of(b) + i;
    if (c->type() < type::word || c->type() > type::get_word) continue;
    auto s = static_cast<i32>(c->w2);
    if ((exact ? s : series::canonical_symbol(s)) == wanted) return i + 1 < t ? cells_of(b) + i + 1 : &none::value;
  }
  return &none::value;
}

Cell* make_at(Cell* out, i32 n) {
  unset::make_at(out);
  Ref<Node> node = memory::alloc_cells(std::max(n, 1));
  *out = new_block_cell(type::block, node);
  return out;
}

Cell* make_buffer_at(Cell* out, i32 n, bool unmanaged) {
  unset::make_at(out);
  Ref<Node> node = unmanaged ? memory::alloc_unmanaged_series(std::max(n, 1), cell_bytes, 0)
                             : memory::alloc_unset_cells(std::max(n, 1));
  *out = new_block_cell(type::block, node);
  return out;
}

Cell* make_unmanaged_in(Cell* blk) {
  Cell fresh;
  RootCell keep(fresh);
  make_buffer_at(&fresh, 1, true);
  if (!blk) return cell::copy(&fresh, &scratch);
  return append_value(blk, &fresh);
}

Cell* append_new_block(Cell* blk, i32 n) {
  Cell fresh;
  RootCell keep(fresh);
  make_at(&fresh, n);
  if (!blk) return cell::copy(&fresh, &scratch);
  return append_value(blk, &fresh);
}

Cell* push(const Cell* value) { return stack::push_value(value); }

Cell* push_new(i32 n) { return make_at(stack::push_cell(), n ? n : 1); }

Cell* clone(const Cell* blk, bool deep, bool paths) {
  mold::CycleGuard guard(series::node_of(blk));
  i32 n = length(blk);
  Cell* out = push_new(n);
  SeriesBuffer* ob = buffer_of(out);
  std::memcpy(ob->head_ptr(), cells_of(buffer_of(blk)) + std::max(head_index(blk), 0),
              static_cast<size_t>(n) * cell_bytes);
  ob->tail = ob->head + static_cast<u32>(n) * cell_bytes;
  cell::set_type(out, blk->type());
  if (!deep) return out;
  for (i32 i = 0; i < n; ++i) {
    Cell item = *cell_at(out, i);
    RootCell keep(item);
    u32 t = item.type();
    bool nested = t == type::block || (paths && (t == type::paren || (t >= type::path && t <= type::get_path)));
    if (!nested) continue;
    if (mold::find_cycle(series::node_of(&item))) {
      mold::reset_cycles();
      raise_error(ErrorCategory::internal, "no-cycle");
    }
    Cell* copy = clone(&item, deep, paths);
    copy->header = item.header;
    *cell_at(out, i) = *copy;
    stack::drop(1);
  }
  return out;
}

void mark_library(const Cell* blk) {
  SeriesBuffer* b = buffer_of(blk);
  if (b->flags & series_flag::library) return;  // done already (and no cycle is walked twice)
  b->flags |= series_flag::library;
  for (const Cell* c = b->head_ptr<Cell>(); c < b->tail_ptr<Cell>(); ++c) {
    if (c->type() == type::block || c->type() == type::paren) mark_library(c);
  }
}

bool library_q(Ref<Node> node) { return kiv::buffer_of(node)->flags & series_flag::library; }

void copy_typed_series(Cell* blk, i32 start, i32 end, i32 step, bool deep, const Cell* types) {
  if (step < 1) step = 1;
  for (i64 i = start; i < end && i < total(blk); i += step) {  // 64 bits: a step near 2^31 would wrap
    Cell item = *cell_at(blk, static_cast<i32>(i));
    RootCell keep(item);
    u32 t = item.type();
    bool wanted = types->type() == type::datatype ? datatype::id_of(types) == t : cell::typeset_has(types, t);
    bool copyable = series::series_type_q(t) || t == type::bitset || t == type::object || t == type::error ||
                    t == type::map;
    if (!wanted || !copyable) continue;
    Cell fresh;
    RootCell keep_fresh(fresh);
    unset::make_at(&fresh);
    Cell kinds = *types;
    RootCell keep_kinds(kinds);
    Cell* made = actions::dispatch_copy(&item, &fresh, nullptr, deep, deep ? &kinds : nullptr);
    Cell result = *made;
    result.header = (result.header & ~header::new_line) | (item.header & header::new_line);
    *cell_at(blk, static_cast<i32>(i)) = result;
  }
}

// ---- form and mold ----

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  if (mold::emit_cycle(value, appender(out), limit, false)) return limit;
  mold::CycleGuard guard(series::node_of(value));
  for (i32 i = std::max(head_index(value), 0); i < total(value); ++i) {
    if (part && limit < 1) break;
    Cell item = *cell_at(value, i);
    RootCell keep(item);
    limit = actions::dispatch_form(&item, out, part, limit);
    if (i + 1 < total(value) && !ends_with_break(out)) {
      string::append_char(out, ' ');
      --limit;
    }
  }
  return limit;
}

i32 mold_each(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit,
              i32 indent, bool first_on_new_line) {
  mold::CycleGuard guard(series::node_of(value));
  bool multi_line = false;
  i32 first = std::max(head_index(value), 0);
  for (i32 i = first; i < total(value); ++i) {
    if (part && limit <= 0) break;
    Cell item = *cell_at(value, i);
    RootCell keep(item);
    if (!flat && ((item.header & header::new_line) || (i == first && first_on_new_line))) {
      if (i == first && !only) {
        multi_line = true;
        ++indent;
      }
      if (!(i == first && only)) {
        string::append_char(out, '\n');
        --limit;
      }
      limit = mold::indent(appender(out), indent, limit);
    } else if (i != first) {
      string::append_char(out, ' ');
      --limit;
    }
    limit = actions::dispatch_mold(&item, out, false, all, flat, part, limit, indent);
  }
  if (multi_line) {
    --indent;
    string::append_char(out, '\n');
    --limit;
    limit = mold::indent(appender(out), indent, limit);
  }
  return limit;
}

namespace {

i32 mold_bracketed(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit,
                   i32 indent, char open, char close) {
  if (mold::emit_cycle(value, appender(out), limit, true)) return limit;
  if (!only) {
    string::append_char(out, open);
    --limit;
  }
  limit = mold_each(value, out, only, all, flat, part, limit, indent);
  if (!only) {
    string::append_char(out, close);
    --limit;
  }
  return limit;
}

}  // namespace

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  return mold_bracketed(value, out, only, all, flat, part, limit, indent, '[', ']');
}

// ---- comparison ----

i32 compare_cells(const Cell* a, const Cell* b, i32 op) {
  if (a->w2 == b->w2 && head_index(a) == head_index(b)) return 0;
  if (op == compare_op::same) return -1;
  Ref<Node> na = series::node_of(a), nb = series::node_of(b);
  if (mold::find_cycle(na)) return mold::find_cycle(nb) ? 0 : -1;
  i32 la = length(a), lb = length(b);
  switch (op) {
    case compare_op::equal: case compare_op::not_equal: case compare_op::strict_equal:
    case compare_op::parse_match_case: case compare_op::parse_match: case compare_op::find:
      if (la != lb) return 1;
      break;
    default:
      break;
  }
  mold::CycleGuard guard_a(na);
  mold::CycleGuard guard_b(nb);
  i32 ha = std::max(head_index(a), 0), hb = std::max(head_index(b), 0);
  for (i32 i = 0, n = std::min(la, lb); i < n; ++i) {
    // Comparisons do not allocate, but a copy costs nothing and keeps the cells still.
    Cell ca = *cell_at(a, ha + i), cb = *cell_at(b, hb + i);
    u32 ta = ca.type(), tb = cb.type();
    bool comparable = ta == tb || (word_family_q(ta) && word_family_q(tb)) || (number_q(ta) && number_q(tb));
    if (!comparable) return ta < tb ? -1 : 1;
    i32 r = actions::dispatch_compare(&ca, &cb, op);
    if (r != 0) return r;
  }
  return la < lb ? -1 : la > lb ? 1 : 0;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  u32 ta = a->type(), tb = b->type();
  if (ta != tb) {
    bool parse = op == compare_op::parse_match || op == compare_op::parse_match_case;
    bool paths = (ta == type::path || ta == type::lit_path) && (tb == type::path || tb == type::lit_path);
    if (!(parse && paths)) return -2;
  }
  return compare_cells(a, b, op);
}

// ---- make and to ----

namespace {

[[noreturn]] void bad_make(u32 t, const Cell* spec) {
  Cell kind;
  datatype::make_at(&kind, t);
  raise_error(ErrorCategory::script, "bad-make-arg", kind, *spec);
}

// A new block on the stack holding copies of the spec's cells from its head.
Cell* copy_cells(const Cell* spec, u32 t) {
  Cell* out = clone(spec, false, false);
  cell::set_type(out, t);
  return out;
}

Cell* from_body(const Cell* spec, u32 t) {
  auto maker = body_makers[spec->type()];
  if (!maker) return nullptr;
  Cell* out = stack::push_cell();
  maker(spec, out);
  cell::set_type(out, t);
  return out;
}

}  // namespace

Cell* make(Cell*, Cell* spec, u32 t) {
  u32 st = spec->type();
  if (any_block_q(st)) return copy_cells(spec, t);
  if (st == type::integer || st == type::float_) {
    Cell* out = push_new(std::max(cell::to_int32_checked(spec), 1));
    return cell::set_type(out, t);
  }
  if (st == type::object || st == type::map || st == type::vector) {
    if (Cell* out = from_body(spec, t)) return out;
  }
  bad_make(t, spec);
}

Cell* to(Cell*, Cell* spec, u32 t) {
  u32 st = spec->type();
  if (any_block_q(st)) return copy_cells(spec, t);
  if (st == type::object || st == type::map || st == type::vector) {
    if (Cell* out = from_body(spec, t)) return out;
    bad_make(t, spec);
  }
  if (st == type::string) {
    if (!hooks::scan_block) raise_error(ErrorCategory::internal, "not-done");
    Cell* out = stack::push_cell();
    hooks::scan_block(spec, out);
    return cell::set_type(out, t);
  }
  if (st == type::typeset) {
    Cell set = *spec;
    Cell* out = push_new(8);
    for (u32 id = 1; id <= datatype::highest_type_id; ++id) {
      if (cell::typeset_has(&set, id)) datatype::add_to_block(out, id);
    }
    return cell::set_type(out, t);
  }
  Cell* out = push_new(1);
  append_value(out, spec);
  return cell::set_type(out, t);
}

// ---- path access ----

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool case_, bool,
                bool tail, bool) {
  // A get passes none (or nothing) as the value; only the final step of a set-path sets, and there
  // none is a value like any other.
  bool set = value && (value->type() != type::none || (tail && path && path->type() == type::set_path));
  if (element->type() == type::integer) {
    if (set) return series::poke(parent, element->as_int(), value, element);
    return series::pick(parent, element->as_int(), element);
  }
  if (set) {
    Cell probe = *parent;
    RootCell keep(probe);
    Cell* found = actions::dispatch_find(&probe, element, nullptr, false, case_, false, false, nullptr, nullptr,
                                         false, false, false, false);
    if (found->type() == type::none) {
      Cell where = path ? *path : none::value;
      raise_error(ErrorCategory::script, "bad-path-set", where, *element);
    }
    Cell at = *found;
    RootCell keep_at(at);
    return series::poke(&at, 2, value, nullptr);
  }
  if (element->type() == type::word && parent->type() != type::hash) return select_word(parent, element, case_);
  Cell probe = *parent;
  RootCell keep(probe);
  return actions::get<action::slot::select>(parent)(&probe, element, nullptr, true, case_, false, false, nullptr,
                                                   nullptr, false, false);
}

// ---- modification ----

Cell* insert(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append_flag) {
  Cell single = *value;
  RootCell keep(single);
  bool cells = !only && any_block_q(value->type());
  SeriesBuffer* sb = buffer_of(series);
  if (append_flag && !cells && dup == 1 && !(sb->flags & series_flag::owned) && series->type() != type::hash) {
    // The common case, one value at the tail of a plain block: no gap, no reports, no index.
    *cell::reserve_tail_cell(sb) = single;
    series::set_head_index(series, 0);
    return series;
  }
  i32 n, h, count, at;
  // The plan, from the series as it stands (again after the owner's handler, which may change it).
  auto plan = [&] {
    n = 1;
    if (cells) {
      n = std::max(length(value), 0);
      if (part >= 0) n = std::min(n, part);
    }
    h = clipped_head(series);
    i64 total_cells = i64{n} * dup;
    if (total_cells > INT_MAX / static_cast<i32>(cell_bytes)) raise_error(ErrorCategory::internal, "no-memory");
    count = static_cast<i32>(total_cells);
    at = append_flag ? total(series) : h;
  };
  plan();
  if (n <= 0) return series;
  bool owned = series::notify(series, append_flag ? "append" : "insert", value, at, count);
  if (owned) plan();

  u32 bytes = static_cast<u32>(count) * cell_bytes;
  SeriesBuffer* b = ensure_room(series, bytes, dup < 5);
  // From here on nothing allocates: the source cells can be read in place.
  u32 run = static_cast<u32>(n) * cell_bytes;
  std::vector<Cell> same_buffer;  // a source inside the target moves when the gap opens
  const Cell* from = &single;
  if (cells) {
    from = cells_of(buffer_of(value)) + std::max(head_index(value), 0);
    if (value->w2 == series->w2) {
      same_buffer.assign(from, from + n);
      from = same_buffer.data();
    }
  }
  Cell* dest = cells_of(b) + at;
  std::memmove(reinterpret_cast<std::byte*>(dest) + bytes, dest, b->tail - b->head - static_cast<u32>(at) * cell_bytes);
  std::memcpy(dest, from, run);
  if (dup > 1) memory::replicate_bytes(reinterpret_cast<std::byte*>(dest), static_cast<i32>(run), dup);
  b->tail += bytes;
  series::hash_changed(series, at, 0, count);
  if (owned) series::notify(series, append_flag ? "appended" : "inserted", value, at, count);
  series::set_head_index(series, append_flag ? 0 : h + count);
  return series;
}

Cell* change(Cell* series, Cell* value, i32 part, bool only, i32 dup) {
  Cell single = *value;
  RootCell keep(single);
  bool cells = !only && any_block_q(value->type());
  i32 n, h, written, replaced;
  // The plan, from the series as it stands (again after the owner's handler, which may change it).
  auto plan = [&] {
    n = cells ? std::max(length(value), 0) : 1;
    h = clipped_head(series);
    i32 rest = total(series) - h;
    i64 written64 = i64{n} * dup;
    if (written64 > INT_MAX / static_cast<i32>(cell_bytes)) raise_error(ErrorCategory::internal, "no-memory");
    written = static_cast<i32>(written64);
    replaced = std::min(part >= 0 ? part : written, rest);
  };
  plan();
  bool owned = series::notify(series, "change", value, h, written);
  if (owned) plan();

  SeriesBuffer* b = buffer_of(series);
  // Growth doubles, as insert's does: a series grown by repeated changes at its tail must not copy
  // itself at every step.
  if (written > replaced) b = ensure_room(series, static_cast<u64>(written - replaced) * cell_bytes, true);
  std::vector<Cell> source;  // read before the cells move: the value may share the buffer
  const Cell* from = &single;
  if (cells) {
    const Cell* p = cells_of(buffer_of(value)) + std::max(head_index(value), 0);
    source.assign(p, p + n);
    from = source.data();
  }
  Cell* dest = cells_of(b) + h;
  if (written != replaced) {
    i32 after = total_of(b) - h - replaced;
    std::memmove(dest + written, dest + replaced, static_cast<size_t>(after) * cell_bytes);
    b->tail = b->head + static_cast<u32>(h + written + after) * cell_bytes;
  }
  if (n > 0) {
    std::memcpy(dest, from, static_cast<size_t>(n) * cell_bytes);
    if (dup > 1) memory::replicate_bytes(reinterpret_cast<std::byte*>(dest), n * static_cast<i32>(cell_bytes), dup);
  }
  series::hash_changed(series, h, replaced, written);
  if (owned) series::notify(series, "changed", value, h, written);
  series::set_head_index(series, std::min(h + written, total(series)));  // the index upkeep may have moved b
  return series;
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  if (!deep && !types) return series::copy(value, result, part, false, nullptr);
  if (deep && mold::find_cycle(series::node_of(value))) {
    mold::reset_cycles();
    raise_error(ErrorCategory::internal, "no-cycle");
  }
  mold::CycleGuard guard(series::node_of(value));
  series::copy(value, result, part, false, nullptr);
  if (types) {
    copy_typed_series(result, 0, total(result), 1, deep, types);
    return result;
  }
  for (i32 i = 0; i < total(result); ++i) {
    Cell item = *cell_at(result, i);
    RootCell keep(item);
    if (!deep_copied_q(item.type())) continue;
    Cell fresh;
    RootCell keep_fresh(fresh);
    unset::make_at(&fresh);
    Cell made = *actions::dispatch_copy(&item, &fresh, nullptr, true, nullptr);
    made.header = (made.header & ~header::new_line) | (item.header & header::new_line);
    *cell_at(result, i) = made;
  }
  return result;
}

Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
  Cell probe = *series;
  RootCell keep(probe);
  Cell* found = actions::dispatch_find(&probe, key, nullptr, false, case_, false, false, nullptr, nullptr, false,
                                       false, false, false);
  if (found->type() == type::none) {
    bool owned = series::notify(series, "put", value, total(series), 2);
    append_value(series, key);
    append_value(series, value);
    series::hash_changed(series, total(series) - 2, 0, 2);
    if (owned) series::notify(series, "put-ed", value, total(series) - 2, 2);
    return value;
  }
  i32 at = head_index(found) + 1;
  bool owned = series::notify(series, "put", value, at, 1);
  const bool replaced = at < total(series);
  if (replaced) {
    Cell existing = *cell_at(series, at);
    if (actions::dispatch_compare(&existing, value, compare_op::find) != 0) {
      *cell_at(series, at) = *value;
    }
  } else {
    append_value(series, value);
  }
  series::hash_changed(series, at, replaced ? 1 : 0, 1);
  if (owned) series::notify(series, "put-ed", value, at, 1);
  return value;
}

Cell* swap(Cell* s1, Cell* s2) {
  if (!any_block_q(s2->type())) raise_error(ErrorCategory::script, "invalid-arg", *s2);
  if (series::at_tail_q(s1) || series::at_tail_q(s2)) return s1;
  bool owned1 = series::notify(s1, "swap", nullptr, head_index(s1), 1);
  bool owned2 = series::notify(s2, "swap", nullptr, head_index(s2), 1);
  if ((owned1 || owned2) && (series::at_tail_q(s1) || series::at_tail_q(s2))) return s1;  // emptied by a handler
  Cell* a = cell_at(s1, head_index(s1));
  Cell* b = cell_at(s2, head_index(s2));
  std::swap(*a, *b);
  series::hash_changed(s1);
  series::hash_changed(s2);
  if (owned1) series::notify(s1, "swaped", nullptr, head_index(s1), 1);
  if (owned2) series::notify(s2, "swaped", nullptr, head_index(s2), 1);
  return s1;
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
  series::take(series, part, deep, last);
  if (series->type() == type::none) return series;
  if (deep) {
    for (i32 i = 0; i < total(series); ++i) {
      Cell item = *cell_at(series, i);
      RootCell keep(item);
      if (!deep_copied_q(item.type())) continue;
      Cell fresh;
      RootCell keep_fresh(fresh);
      unset::make_at(&fresh);
      Cell made = *actions::dispatch_copy(&item, &fresh, nullptr, true, nullptr);
      made.header = (made.header & ~header::new_line) | (item.header & header::new_line);
      *cell_at(series, i) = made;
    }
  }
  // A plain take answers the one cell itself (copied out of the shared scratch buffer at once).
  if (!part) *series = *cell_at(series, 0);
  return series;
}

Cell* trim(Cell* series, bool, bool, bool, bool, bool, Cell*) {
  i32 h = clipped_head(series);
  bool owned = series::notify(series, "trim", nullptr, h, length(series));
  if (owned) h = clipped_head(series);
  SeriesBuffer* b = buffer_of(series);
  Cell* c = cells_of(b);
  i32 t = total_of(b), kept = h;
  for (i32 i = h; i < t; ++i) {
    if (c[i].type() != type::none) c[kept++] = c[i];
  }
  b->tail = b->head + static_cast<u32>(kept) * cell_bytes;
  series::hash_changed(series);
  if (owned) series::notify(series, "trimmed", nullptr, h, kept - h);
  return series;
}

void init() {
  using action::inherit;
  datatype::register_type(type::block, type::series, "block!",
                          {.make = make,
                           .random = inherit,
                           .reflect = inherit,
                           .to = to,
                           .form = form,
                           .mold = mold,
                           .eval_path = eval_path,
                           .compare = compare,
                           .append = insert,
                           .at = inherit,
                           .back = inherit,
                           .change = change,
                           .clear = inherit,
                           .copy = copy,
                           .find = find,
                           .head = inherit,
                           .head_q = inherit,
                           .index_q = inherit,
                           .insert = insert,
                           .length_q = inherit,
                           .move = inherit,
                           .next = inherit,
                           .pick = inherit,
                           .poke = inherit,
                           .put = put,
                           .remove = inherit,
                           .reverse = inherit,
                           .select = select,
                           .sort = sort,
                           .skip = inherit,
                           .swap = swap,
                           .tail = inherit,
                           .tail_q = inherit,
                           .take = take,
                           .trim = trim,
                           .modify = inherit});
  hashtable::set_hash_procedure(type::block, hashtable::hash_words12, true);
  collector::set_mark_procedure(type::block, collector::mark_any_block);
}

}  // namespace kiv::block
