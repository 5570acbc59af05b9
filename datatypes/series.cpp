#include "datatypes/series.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/random.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::series {

// ---- groups and positions ----

bool any_block_q(u32 t) {
  switch (t) {
    case type::block: case type::paren: case type::path: case type::lit_path: case type::set_path:
    case type::get_path: case type::hash:
      return true;
    default:
      return false;
  }
}

bool any_string_q(u32 t) {
  switch (t) {
    case type::string: case type::file: case type::url: case type::tag: case type::email: case type::ref:
      return true;
    default:
      return false;
  }
}

bool series_type_q(u32 t) {
  return any_block_q(t) || any_string_q(t) || t == type::binary || t == type::vector || t == type::image;
}

i32 total_length(const Cell* s) {
  SeriesBuffer* b = buffer_of(s);
  return static_cast<i32>((b->tail - b->head) >> shift_of(b));
}

bool at_tail_q(const Cell* s) { return head_index(s) >= total_length(s); }

bool move_head(Cell* s, i32 n) {
  i64 h = i64{head_index(s)} + n;
  i32 total = total_length(s);
  if (h <= total) set_head_index(s, static_cast<i32>(h));
  return h >= total;
}

i32 length_from_head(Cell* s, bool from_start) {
  i32 total = total_length(s);
  i32 h = from_start ? 0 : head_index(s);
  if (h < 0) h = 0;
  if (h > total) {
    set_head_index(s, total);
    return 0;
  }
  return total - h;
}

i32 target_index(bool at) {
  Cell* s = stack::arguments;
  const Cell* offset = s + 1;
  if (offset->type() != type::integer) raise_error(ErrorCategory::script, "invalid-arg", *offset);
  i64 n = offset->as_int();
  i64 h = head_index(s);
  i64 target = (at && n >= 1) ? h + n - 1 : h + n;
  i64 total = total_length(s);
  return static_cast<i32>(std::clamp<i64>(target, 0, total));
}

// ---- hooks ----

bool notify(Cell* s, const char* word, const Cell* value, i32 index, i32 count) {
  if (!hooks::series_notify || !(buffer_of(s)->flags & series_flag::owned)) return false;
  return hooks::series_notify(s, word, value, index, count);
}

void hash_changed(Cell* s, i32 at, i32 removed, i32 inserted) {
  if (s->type() == type::hash && hooks::hash_changed) hooks::hash_changed(s, at, removed, inserted);
}

i32 canonical_symbol(i32 symbol) { return hooks::symbol_resolve ? hooks::symbol_resolve(symbol) : symbol; }

namespace {

// The /part count against a series: an integer!, or a series of the same type and buffer giving the
// difference of heads; anything else raises invalid-refine-arg.
i32 part_count(const Cell* s, const Cell* part) {
  if (part->type() == type::integer) return part->as_int();
  if (part->type() == s->type() && part->w2 == s->w2) return head_index(part) - head_index(s);
  actions::raise_invalid_refine_arg("part", part);
}

// Reads one element as a value: cells by copy, bytes as integer!, characters as char!.
void element_at(const Cell* s, i32 pos, Cell* out) {
  SeriesBuffer* b = buffer_of(s);
  u32 t = s->type();
  if (any_block_q(t)) {
    *out = b->head_ptr<Cell>()[pos];
  } else if (t == type::vector) {
    if (hooks::vector_get) hooks::vector_get(s, pos, out);
    else none::make_at(out);
  } else if (t == type::binary) {
    integer::box(out, static_cast<i32>(std::to_integer<u8>(*unit_at(b, pos))));
  } else if (any_string_q(t)) {
    char_::box(out, string::get_char(unit_at(b, pos), b->unit()));
  } else {
    none::make_at(out);
  }
}

void swap_units(std::byte* a, std::byte* b, u32 bytes, std::byte* scratch) {
  std::memcpy(scratch, a, bytes);
  std::memcpy(a, b, bytes);
  std::memcpy(b, scratch, bytes);
}

// Opens a gap of `bytes` at byte offset `at` of the content (the buffer has the room).
void open_gap(SeriesBuffer* b, u32 at, u32 bytes) {
  std::byte* p = b->head_ptr() + at;
  std::memmove(p + bytes, p, b->tail - b->head - at);
  b->tail += bytes;
}

void close_gap(SeriesBuffer* b, u32 at, u32 bytes) {
  std::byte* p = b->head_ptr() + at;
  std::memmove(p, p + bytes, b->tail - b->head - at - bytes);
  b->tail -= bytes;
}

// The shared buffer of a plain take: one 16-byte unit, unmanaged, made on first use.
Ref<Node> take_scratch{};

// The take buffer and the boot's scratch block live in globals: the collector keeps them alive
// and rewrites them when their nodes move.
void mark_scratch() {
  collector::mark_node(&take_scratch);
  collector::mark_cell(&block::scratch);
}

}  // namespace

Ref<Node> take_scratch_node() { return take_scratch; }

// ---- navigation (stack-style) ----

void head() { set_head_index(stack::arguments, 0); }
void tail() { set_head_index(stack::arguments, total_length(stack::arguments)); }

void next() {
  Cell* s = stack::arguments;
  if (head_index(s) < total_length(s)) set_head_index(s, head_index(s) + 1);
}

void back() {
  Cell* s = stack::arguments;
  if (head_index(s) > 0) set_head_index(s, head_index(s) - 1);
}

void skip() { set_head_index(stack::arguments, target_index(false)); }
void at() { set_head_index(stack::arguments, target_index(true)); }

void head_q() { logic::set_result(head_index(stack::arguments) == 0); }
void tail_q() { logic::set_result(at_tail_q(stack::arguments)); }
void index_q() { integer::set_result(head_index(stack::arguments) + 1); }

i32 length_q(const Cell* s) { return length_from_head(const_cast<Cell*>(s)); }

// ---- element access ----

Cell* pick(Cell* s, i32 n, Cell*) {
  if (n == 0) return &none::value;
  i64 pos = i64{head_index(s)} + (n > 0 ? n - 1 : n);
  if (pos < 0 || pos >= total_length(s)) return &none::value;
  if (any_block_q(s->type())) return buffer_of(s)->head_ptr<Cell>() + pos;
  Cell* out = stack::push_cell();
  element_at(s, static_cast<i32>(pos), out);
  return out;
}

Cell* poke(Cell* s_in, i32 n, Cell* data_in, Cell* boxed) {
  // Copies: the cells given may lie in buffers that the owner's handler moves.
  Cell series = *s_in, element = *data_in;
  RootCell keep_series(series), keep_element(element);
  Cell* s = &series;
  Cell* data = &element;
  i64 pos = i64{head_index(s)} + (n > 0 ? n - 1 : n);
  if (n == 0 || pos < 0 || pos >= total_length(s)) {
    Cell index;
    if (boxed) index = *boxed;
    else integer::box(&index, n);
    raise_error(ErrorCategory::script, "out-of-range", index);
  }
  u32 t = s->type();
  auto at = static_cast<i32>(pos);
  // Check the element before telling the owner anything.
  if (t == type::vector && data->type() != s->w3) raise_error(ErrorCategory::script, "invalid-arg", *data);
  if (t == type::binary && data->type() != type::integer && data->type() != type::char_)
    raise_error(ErrorCategory::script, "invalid-arg", *data);
  if (any_string_q(t) && data->type() != type::char_) raise_error(ErrorCategory::script, "invalid-arg", *data);

  bool owned = notify(s, "poke", data, at, 1);
  if (owned && at >= total_length(s)) {  // the owner's handler shortened the series
    Cell index;
    integer::box(&index, n);
    raise_error(ErrorCategory::script, "out-of-range", index);
  }
  SeriesBuffer* b = buffer_of(s);
  if (any_block_q(t)) {
    b->head_ptr<Cell>()[at] = *data;
    hash_changed(s, at, 1, 1);
  } else if (t == type::vector) {
    if (hooks::vector_set) hooks::vector_set(s, at, data);
  } else if (t == type::binary) {
    *unit_at(b, at) = static_cast<std::byte>(data->w2 & 0xFF);
  } else if (any_string_q(t)) {
    string::poke_char_at(b, at, char_::code_point(data));
  }
  if (owned) notify(s, "poked", data, at, 1);
  return data_in;
}

// ---- modification ----

Cell* clear(Cell* s) {
  i32 n = length_from_head(s);
  if (n < 1) return s;
  notify(s, "clear", nullptr, head_index(s), n);
  if (length_from_head(s) < 1) return s;  // the owner's handler left nothing past the head
  SeriesBuffer* b = buffer_of(s);
  b->tail = static_cast<u32>(unit_at(b, std::max(head_index(s), 0)) - arena::base);
  hash_changed(s, std::max(head_index(s), 0), n, 0);
  notify(s, "cleared", nullptr, head_index(s), 0);
  return s;
}

Cell* remove(Cell* s, Cell* part, Cell* key) {
  i32 count = part ? part_count(s, part) : 1;
  if (count < 1) return s;
  i32 pos = std::max(head_index(s), 0);
  if (key) {
    // Search a copy: a find leaves its answer in the cell it was given, and the series must answer
    // at its own position.
    Cell probe = *s;
    RootCell keep(probe);
    Cell* found = actions::dispatch_find(&probe, key, nullptr, false, true, false, false, nullptr, nullptr, false,
                                         false, false, false);
    if (found->type() == type::none) return &none::value;
    pos = head_index(found);
    count += 1;
  }
  i32 total = total_length(s);
  if (pos >= total) return s;
  if (notify(s, "remove", nullptr, pos, count)) {
    total = total_length(s);  // the owner's handler may have changed the series
    if (pos >= total) return s;
  }
  SeriesBuffer* b = buffer_of(s);
  u32 shift = shift_of(b);
  if (i64{pos} + count >= total) {
    b->tail = b->head + (static_cast<u32>(pos) << shift);
  } else {
    close_gap(b, static_cast<u32>(pos) << shift, static_cast<u32>(count) << shift);
  }
  hash_changed(s, pos, static_cast<i32>(std::min<i64>(count, total - pos)), 0);
  notify(s, "removed", nullptr, pos, count);
  return s;
}

Cell* reverse(Cell* s, Cell* part, Cell* skip) {
  if (at_tail_q(s)) return s;
  i32 available = length_from_head(s);
  i32 len = available;
  if (part) {
    len = part_count(s, part);
    if (len < 1) return s;
    len = std::min(len, available);  // never past the tail
  }
  i32 record = 1;
  if (skip) {
    if (skip->type() != type::integer) actions::raise_invalid_refine_arg("skip", skip);
    record = skip->as_int();
    if (record == len) return s;
    if (record < 1) raise_error(ErrorCategory::script, "out-of-range", *skip);
    if (len < record || len % record) actions::raise_invalid_refine_arg("skip", skip);
  }
  i32 h = head_index(s);
  bool owned = notify(s, "reverse", nullptr, h, len);
  if (owned) {  // the owner's handler may have shortened the series
    len = std::min(len, length_from_head(s));
    len -= len % record;
    if (len < 1) return s;
  }
  SeriesBuffer* b = buffer_of(s);
  u32 shift = shift_of(b);
  u32 bytes = static_cast<u32>(record) << shift;
  std::byte local[16];
  std::vector<std::byte> heap;
  std::byte* scratch = local;
  if (bytes > sizeof local) {
    heap.resize(bytes);
    scratch = heap.data();
  }
  std::byte* lo = unit_at(b, h);
  std::byte* hi = unit_at(b, h + len - record);
  while (lo < hi) {
    swap_units(lo, hi, bytes, scratch);
    lo += bytes;
    hi -= bytes;
  }
  hash_changed(s);
  if (owned) notify(s, "reversed", nullptr, h, len);
  return s;
}

Cell* move(Cell* origin, Cell* target, Cell* part) {
  u32 ot = origin->type(), tt = target->type();
  if (!series_type_q(tt)) actions::raise_expect_arg(tt, 1);
  if (at_tail_q(origin)) return target;
  i32 count = 1;
  if (part) {
    if (part->type() != type::integer) actions::raise_invalid_refine_arg("part", part);
    count = part->as_int();
    if (count < 1) return target;
  }
  count = std::min(count, length_from_head(origin));
  i32 from = std::max(head_index(origin), 0);
  // After the owner's handler, which may have changed either series: the run and the destination
  // again, within what is left.
  auto replan = [&](i32* to) {
    count = std::max(std::min(count, length_from_head(origin)), 0);
    from = std::max(head_index(origin), 0);
    *to = std::clamp(*to, 0, total_length(target));
  };

  if (origin->w2 != target->w2) {
    SeriesBuffer* ob = buffer_of(origin);
    SeriesBuffer* tb = buffer_of(target);
    bool mixed = any_block_q(ot) != any_block_q(tt);
    bool raw = ot == type::binary || ot == type::vector || tt == type::binary || tt == type::vector;
    if (mixed || (ob->unit() != tb->unit() && raw)) {
      Cell a, b;
      datatype::make_at(&a, ot);
      datatype::make_at(&b, tt);
      raise_error(ErrorCategory::script, "move-bad", a, b);
    }
    i32 to = std::clamp(head_index(target), 0, total_length(target));
    if (ob->unit() != tb->unit()) {  // strings of different widths: converting move
      if (notify(target, "move", nullptr, to, count)) replan(&to);
      string::move_chars(origin, target, count << shift_of(ob));
      notify(target, "moved", nullptr, to, count);
      return target;
    }
    if (notify(target, "move", nullptr, to, count)) {
      replan(&to);
      ob = buffer_of(origin);
      tb = buffer_of(target);
    }
    u32 shift = shift_of(ob);
    u32 bytes = static_cast<u32>(count) << shift;
    if (u64{tb->tail} + bytes > tb->end_offset()) {
      // The origin and target cells stay put; their buffers are re-read after the growth.
      tb = memory::expand_series(tb, static_cast<i32>(std::min<u64>(u64{tb->used_bytes() + bytes} * 2,
                                                                    memory::max_data_size)));
      ob = buffer_of(origin);
    }
    open_gap(tb, static_cast<u32>(to) << shift, bytes);
    std::memcpy(tb->head_ptr() + (static_cast<u32>(to) << shift), ob->head_ptr() + (static_cast<u32>(from) << shift),
                bytes);
    close_gap(ob, static_cast<u32>(from) << shift, bytes);
    hash_changed(origin);
    hash_changed(target);
    notify(target, "moved", nullptr, to, count);
    return target;
  }

  // Within one buffer.
  i32 total = total_length(origin);
  i32 to = head_index(target);
  if (to == from) return target;
  if (to > total) to = total;
  if (to > from && to != total && total - to < count) return origin;
  if (notify(target, "move", nullptr, to, count)) {
    replan(&to);
    total = total_length(origin);
    if (to == from || count < 1 || (to > from && to != total && total - to < count)) return target;
  }
  SeriesBuffer* b = buffer_of(origin);
  u32 shift = shift_of(b);
  u32 bytes = static_cast<u32>(count) << shift;
  std::vector<std::byte> run(b->head_ptr() + (static_cast<u32>(from) << shift),
                             b->head_ptr() + (static_cast<u32>(from) << shift) + bytes);
  close_gap(b, static_cast<u32>(from) << shift, bytes);
  i32 insert_at = to == total ? total - count : to;
  open_gap(b, static_cast<u32>(insert_at) << shift, bytes);
  std::memcpy(b->head_ptr() + (static_cast<u32>(insert_at) << shift), run.data(), bytes);
  hash_changed(target);
  notify(target, "moved", nullptr, to, count);
  return target;
}

Cell* take(Cell* s, Cell* part, bool, bool last) {
  i32 available = length_from_head(s);
  // Nothing to take: a plain take answers none; with /part the answer is always a series (empty).
  if (available < 1 && !part) return none::make_at(s);
  i32 h = std::max(head_index(s), 0);
  i32 total = total_length(s);
  i32 count = 1;
  if (part) {
    if (part->type() == type::integer) {
      count = part->as_int();
    } else if (part->type() == s->type() && part->w2 == s->w2) {
      i32 ph = head_index(part);
      count = ph < h ? 0 : last ? std::max(total - ph, 0) : ph - h;
    } else {
      actions::raise_invalid_refine_arg("part", part);
    }
  }
  // The run [from, from + count) in units from the start.
  i32 from;
  if (count < 0) {
    if (last) count = 0;
    count = static_cast<i32>(std::min(-i64{count}, i64{h}));  // -(-2147483648) needs 64 bits
    from = h - count;
  } else {
    count = std::min(count, available);
    from = last ? total - count : h;
  }

  bool owned = notify(s, "take", nullptr, from, count);
  if (owned) {  // the owner's handler may have shortened the series
    total = total_length(s);
    from = std::min(from, total);
    count = std::min(count, total - from);
  }
  u32 t = s->type();
  u32 aux = t == type::vector ? s->w3 : 0;  // a taken hash! gets an index of its own
  u32 unit = buffer_of(s)->unit();
  Ref<Node> fresh;
  if (part) {
    fresh = memory::alloc_series(std::max(count, 1), static_cast<i32>(unit), 0);
  } else {
    if (!take_scratch) take_scratch = memory::alloc_unmanaged_series(1, 16, 0);
    fresh = take_scratch;
    SeriesBuffer* sb = kiv::buffer_of(fresh);
    sb->flags = (sb->flags & ~series_flag::unit_mask) | unit;
    sb->tail = sb->head;
  }
  SeriesBuffer* b = buffer_of(s);  // after the allocation
  SeriesBuffer* nb = kiv::buffer_of(fresh);
  u32 shift = shift_of(b);
  u32 bytes = static_cast<u32>(count) << shift;
  if (bytes) std::memcpy(nb->head_ptr(), b->head_ptr() + (static_cast<u32>(from) << shift), bytes);
  nb->tail = nb->head + bytes;
  if (bytes) {
    if (from + count >= total) b->tail = b->head + (static_cast<u32>(from) << shift);
    else close_gap(b, static_cast<u32>(from) << shift, bytes);
  }
  hash_changed(s, from, count, 0);
  Cell original = *s;
  *s = Cell{t, 0, fresh.offset(), aux};
  hash_changed(s);
  if (owned) notify(&original, "taken", nullptr, from, count);
  return s;
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool, Cell*) {
  i32 h = std::max(head_index(value), 0);
  i32 total = total_length(value);
  h = std::min(h, total);
  i64 from = h, count = total - h;
  if (part) {
    if (part->type() == type::integer) {
      count = part->as_int();
    } else if (part->type() == type::pair) {
      i64 x = static_cast<i32>(part->w2), y = static_cast<i32>(part->w3);
      from = std::max<i64>(x < 0 ? h + x : h + x - 1, 0);
      count = std::max<i64>(y - x, 0);
    } else if (part->type() == value->type() && part->w2 == value->w2) {
      count = head_index(part) - h;
    } else {
      actions::raise_invalid_refine_arg("part", part);
    }
    if (count < 0) {
      from = std::max<i64>(from + count, 0);
      count = h - from;
    }
  }
  from = std::clamp<i64>(from, 0, total);
  count = std::clamp<i64>(count, 0, total - from);

  u32 header = value->header;
  u32 aux = value->type() == type::vector ? value->w3 : 0;
  if (result != value) unset::make_at(result);
  SeriesBuffer* b = buffer_of(value);
  u32 unit = b->unit();
  Ref<Node> fresh = memory::alloc_series(std::max<i32>(static_cast<i32>(count), 1), static_cast<i32>(unit), 0);
  b = buffer_of(value);  // the allocation may have moved it
  SeriesBuffer* nb = kiv::buffer_of(fresh);
  constexpr u32 dropped = series_flag::owned | series_flag::mark | series_flag::head_inside |
                          series_flag::unmanaged | series_flag::big;
  nb->flags = (b->flags & ~dropped) | (nb->flags & series_flag::big);
  u32 shift = shift_of(b);
  u32 bytes = static_cast<u32>(count) << shift;
  if (bytes) std::memcpy(nb->head_ptr(), b->head_ptr() + (static_cast<u32>(from) << shift), bytes);
  nb->tail = nb->head + bytes;
  *result = Cell{header & (header::type_mask | header::new_line), 0, fresh.offset(), aux};
  return result;
}

Cell* random(Cell* value, bool seed, bool secure, bool only) {
  if (seed) {
    SeriesBuffer* b = buffer_of(value);
    i32 h = std::clamp(head_index(value), 0, total_length(value));
    std::byte* start = unit_at(b, h);
    kiv::random::seed(static_cast<i32>(hashtable::murmur3_32(start, static_cast<i32>(b->tail_ptr() - start))));
    return unset::make_at(value);
  }
  i32 len = length_from_head(value);
  if (only) {
    if (len < 1) return none::make_at(value);
    i32 pos = std::max(head_index(value), 0) + kiv::random::integer(secure, len) - 1;
    Cell element;
    element_at(value, pos, &element);
    *value = element;
    return value;
  }
  if (len < 2) return value;
  i32 h = std::max(head_index(value), 0);
  bool owned = notify(value, "random", nullptr, h, len);
  if (owned) len = std::min(len, length_from_head(value));  // the owner's handler may have shortened it
  SeriesBuffer* b = buffer_of(value);
  u32 bytes = 1u << shift_of(b);
  std::byte scratch[16];
  for (i32 pos = h, k = len; k > 1; ++pos, --k) {
    i32 r = kiv::random::integer(secure, k);
    if (r != 1) swap_units(unit_at(b, pos), unit_at(b, pos + r - 1), bytes, scratch);
  }
  hash_changed(value);
  if (owned) notify(value, "randomized", nullptr, h, len);
  return value;
}

Cell* reflect(Cell* value, i32 field) {
  if (owned_symbol >= 0 && canonical_symbol(field) == canonical_symbol(owned_symbol) && hooks::owner_of) {
    Cell* out = stack::push_cell();
    hooks::owner_of(value, out);
    return out;
  }
  raise_error(ErrorCategory::internal, "not-done");
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool) {
  bool word = field->type() >= type::word && field->type() <= type::issue;
  if (word && owned_symbol >= 0 && hooks::modify_owned &&
      canonical_symbol(static_cast<i32>(field->w2)) == canonical_symbol(owned_symbol)) {
    if (value->type() == type::none || value->type() == type::block) hooks::modify_owned(target, value);
  }
  return value;
}

void init() {
  static bool rooted = false;
  if (!rooted) {
    rooted = true;
    collector::add_root_callback(mark_scratch);
  }
  datatype::register_type(type::series, 0, "series!",
                          {.random = random,
                           .reflect = reflect,
                           .at = at,
                           .back = back,
                           .clear = clear,
                           .copy = copy,
                           .head = head,
                           .head_q = head_q,
                           .index_q = index_q,
                           .length_q = length_q,
                           .move = move,
                           .next = next,
                           .pick = pick,
                           .poke = poke,
                           .remove = remove,
                           .reverse = reverse,
                           .skip = skip,
                           .tail = tail,
                           .tail_q = tail_q,
                           .take = take,
                           .modify = modify});
}

}  // namespace kiv::series
