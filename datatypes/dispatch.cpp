#include "datatypes/dispatch.h"

#include <algorithm>
#include <climits>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/frame_words.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native_table.h"
#include "datatypes/none.h"
#include "runtime/mold.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::actions {

// ---- error helpers ----

Cell* name_word(const char* name, u32 type, Cell* out) {
  if (hooks::name_word) hooks::name_word(name, type, out);
  else none::make_at(out);
  return out;
}

void raise_expect_arg(u32 type_id, i32 n) {
  Cell where = *stack::get_where();
  Cell kind;
  datatype::make_at(&kind, type_id);
  Cell word = hooks::argument_word ? *hooks::argument_word(n) : none::value;
  raise_error(ErrorCategory::script, "expect-arg", where, kind, word);
}

Cell* check_type(const Cell* typeset, i32 position, Cell* value) {
  if (!cell::typeset_has(typeset, value->type())) raise_expect_arg(value->type(), position);
  return value;
}

i32 check_arg(i32 n, const Cell* typeset) {
  if (n < 0) return n;
  check_type(typeset, n, stack::arguments + n);
  return n;
}

Cell* check_refinement_arg(const Cell* refinement, const Cell* typeset, i32 position, Cell* value) {
  if (refinement->w1 != 0) check_type(typeset, position, value);
  return value;
}

Cell* check_arg_set(i32 position, Cell* value) {
  if (value->type() == type::unset) raise_expect_arg(value->type(), position);
  return value;
}

void raise_invalid_refine_arg(const char* refinement, const Cell* arg) {
  Cell word;
  name_word(refinement, type::refinement, &word);
  raise_error(ErrorCategory::script, "invalid-refine-arg", word, *arg);
}

// ---- lookup ----

void unsupported(u32 type_id, const Cell*, u32) { raise_expect_arg(type_id, 0); }

void* get_action_of_type(u32 type_id, const Cell* value, u32 s) {
  if (s >= slot::append && hooks::port_actor && value && value->type() == type::port) {
    if (void* p = hooks::port_actor(value, s)) return p;
  }
  void* fn = datatype::entry(type_id, s);
  if (!fn) unsupported(type_id, value, s);
  return fn;
}

void* get_action_of_value(const Cell* value, u32 s) { return get_action_of_type(value->type(), value, s); }

action::EvalPath get_path_action(const Cell* parent, const Cell* path, const Cell* element, i32 index) {
  const u32 t = parent->type();
  action::EvalPath fn = t < datatype::table_rows ? datatype::actions[t].eval_path : nullptr;
  if (fn) [[likely]] return fn;
  Cell kind;
  datatype::make_at(&kind, t);
  if (!path || !block::any_block_q(path->type())) raise_error(ErrorCategory::script, "bad-path-type2", *element, kind);
  Cell p = *path, part{type::none, 0, 0, 0};
  RootCell keep_p(p), keep_part(part);
  block::make_at(&part, index > 0 ? index : 1);
  const i32 head = std::max(block::head_index(&p), 0);
  for (i32 i = 0; i < index && head + i < series::total_length(&p); ++i) {
    Cell e = *block::cell_at(&p, head + i);
    block::append_value(&part, &e);
  }
  cell::set_type(&part, type::path);
  Cell whole = p;
  cell::set_type(&whole, type::path);
  raise_error(ErrorCategory::script, "bad-path-type", whole, kind, part);
}

// ---- comparison ----

i32 dispatch_compare(const Cell* a, const Cell* b, i32 op) {
  auto fn = get<slot::compare>(a);
  const u32 t = a->type();
  if (t == type::logic && b->type() == type::logic) return static_cast<i32>(a->w1) - static_cast<i32>(b->w1);
  if (t == b->type()) {
    // Code values order by their procedure (table slot), function values by their body (the
    // auxiliary block holding it).
    auto order = [](i32 x, i32 y) { return (x > y) - (x < y); };
    switch (t) {
      case type::native:
      case type::action:
      case type::op:
        return order(static_cast<i32>(a->w1), static_cast<i32>(b->w1));
      case type::function:
      case type::routine:
        return order(static_cast<i32>(a->w3), static_cast<i32>(b->w3));
      default:
        break;
    }
  }
  return fn(a, b, op);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  i32 r = get<slot::compare>(a)(a, b, op);
  switch (op) {
    case compare_op::equal:
    case compare_op::strict_equal:
    case compare_op::same:
    case compare_op::parse_match_case:
    case compare_op::parse_match:
    case compare_op::find:
      return r == 0;
    case compare_op::not_equal:
      return r != 0;
    default:
      break;
  }
  if (r == -2) raise_error(ErrorCategory::script, "invalid-compare", *a, *b);
  switch (op) {
    case compare_op::lesser_or_equal: return r <= 0;
    case compare_op::greater: return r > 0;
    case compare_op::greater_or_equal: return r >= 0;
    default: return r < 0;  // lesser and the two sort orders
  }
}

// ---- dispatch helpers ----

namespace {

// A limited form or mold stops once its limit is used up, and a walk nested too deep for the cycle
// stack ends there too (its text is cut anyway): it costs time in proportion to the limit, whatever
// the size or depth of the value, and never fails for depth.
inline bool limit_reached(const Cell* part, i32 limit) {
  return part && (limit <= 0 || mold::cycle_depth() + 1 >= mold::cycle_capacity);
}

}  // namespace

i32 dispatch_form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  if (limit_reached(part, limit)) return std::min(limit, 0);
  return get<slot::form>(value)(value, out, part, limit);
}

i32 dispatch_mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit,
                  i32 indent) {
  if (limit_reached(part, limit)) return std::min(limit, 0);
  return get<slot::mold>(value)(value, out, only, all, flat, part, limit, indent);
}

Cell* dispatch_copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  return get<slot::copy>(value)(value, result, part, deep, types);
}

Cell* dispatch_find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                    Cell* with, Cell* skip, bool last, bool reverse, bool tail, bool match) {
  return get<slot::find>(series)(series, value, part, only, case_, same, any, with, skip, last, reverse, tail,
                                  match);
}

Cell* dispatch_poke(Cell* series, i32 index, Cell* value, Cell* boxed) {
  return get<slot::poke>(series)(series, index, value, boxed);
}

namespace {

// Cuts the output string, made empty by the caller, to `limit` characters.
void cut_to(Cell* out, i32 limit) {
  if (limit < 0) return;
  SeriesBuffer* b = series::buffer_of(out);
  u32 shift = series::shift_of(b);
  u64 start = b->head + (u64{static_cast<u32>(std::max(series::head_index(out), 0))} << shift);
  u64 end = start + (u64{static_cast<u32>(limit)} << shift);
  if (end < b->tail) b->tail = static_cast<u32>(end);
}

}  // namespace

Cell* form_to(const Cell* value, Cell* out, i32 limit) {
  string::make_at(out, 16);
  if (limit == 0) return out;
  const Cell part{type::integer, 0, static_cast<u32>(limit), 0};
  dispatch_form(value, out, limit < 0 ? nullptr : &part, limit < 0 ? INT_MAX : limit);
  cut_to(out, limit);
  return out;
}

Cell* mold_to(const Cell* value, Cell* out, bool only, bool all, bool flat, i32 limit) {
  string::make_at(out, 16);
  if (limit == 0) return out;
  const Cell part{type::integer, 0, static_cast<u32>(limit), 0};
  dispatch_mold(value, out, only, all, flat, limit < 0 ? nullptr : &part, limit < 0 ? INT_MAX : limit, 0);
  cut_to(out, limit);
  return out;
}

i32 index_of(const Cell* index) {
  switch (index->type()) {
    case type::integer:
    case type::char_: return index->as_int();
    case type::logic: return index->w1 ? 1 : 2;
    default: return 0;
  }
}

// ---- generic entries ----

namespace {

Cell* arg(i32 position) { return position >= 0 ? stack::arguments + position : nullptr; }
bool flag(i32 position) { return position != -1; }

// The result is the cell the type answered; the stack keeps the result cell only.
void finish(const Cell* result) {
  stack::set_result(result);
  stack::top = stack::arguments + 1;
}

// The /part limit of form and mold: INT_MAX without /part; 0 or less makes an empty string at once.
bool text_limit(i32 part, i32* limit) {
  *limit = INT_MAX;
  if (part < 0) return true;
  *limit = cell::to_int32_checked(arg(part));
  if (*limit > 0) return true;
  string::make_at(stack::arguments, 1);
  stack::top = stack::arguments + 1;
  return false;
}

bool series_with_buffer_q(const Cell* v) {
  u32 t = v->type();
  return (series::series_type_q(t) || t == type::map) && v->w2 != 0;
}

void clamp_to_tail(Cell* v) {
  i32 total = series::total_length(v);
  if (series::head_index(v) > total) series::set_head_index(v, total);
}

// The /part count of append and insert, from the value's side. Answers false when the call ends
// with the series unchanged.
bool insert_part_count(Cell* value, i32 part, i32* count) {
  *count = -1;
  if (part < 0) return true;
  Cell* length = arg(part);
  if (!series_with_buffer_q(value)) raise_error(ErrorCategory::script, "invalid-part", *length);
  clamp_to_tail(value);
  i32 head = series::head_index(value);
  if (length->type() == type::integer) {
    *count = length->as_int();
  } else if (length->type() == value->type() && length->w2 == value->w2 && value->type() != type::port) {
    *count = series::head_index(length) - head;
  } else {
    raise_invalid_refine_arg("part", length);
  }
  if (*count == 0 || (*count < 0 && head == 0)) return false;
  if (*count < 0) {
    i32 from = head + *count < 0 ? 0 : head + *count;
    *count = head - from;
    series::set_head_index(value, from);
  }
  return true;
}

bool dup_count(i32 dup, i32* count) {
  *count = 1;
  if (dup < 0) return true;
  *count = cell::to_int32_checked(arg(dup));
  return *count >= 1;
}

void insert_entry(bool append_flag, i32 part, i32 only, i32 dup) {
  Cell* series = stack::arguments;
  Cell* value = series + 1;
  i32 count, times;
  if (!insert_part_count(value, part, &count) || !dup_count(dup, &times)) return finish(series);
  auto fn = append_flag ? get<slot::append>(series) : get<slot::insert>(series);
  finish(fn(series, value, count, flag(only), times, append_flag));
}

}  // namespace

void form(i32 part) {
  i32 limit;
  if (!text_limit(part, &limit)) return;
  Cell* out = stack::push_cell();
  string::make_at(out, 16);
  dispatch_form(stack::arguments, out, arg(part), limit);
  if (part >= 0) cut_to(out, limit);
  finish(out);
}

void mold(i32 only, i32 all, i32 flat, i32 part) {
  i32 limit;
  if (!text_limit(part, &limit)) return;
  Cell* out = stack::push_cell();
  string::make_at(out, 16);
  dispatch_mold(stack::arguments, out, flag(only), flag(all), flag(flat), arg(part), limit, 0);
  if (part >= 0) cut_to(out, limit);
  finish(out);
}

void append(i32 part, i32 only, i32 dup) { insert_entry(true, part, only, dup); }
void insert(i32 part, i32 only, i32 dup) { insert_entry(false, part, only, dup); }

void change(i32 part, i32 only, i32 dup) {
  Cell* series = stack::arguments;
  Cell* value = series + 1;
  u32 t = series->type();
  bool fixed = t == type::port || t == type::image;
  i32 count = -1;
  if (!fixed) clamp_to_tail(series);
  if (part >= 0) {
    Cell* range = arg(part);
    if (range->type() == type::integer) {
      count = range->as_int();
    } else if (range->type() == t && range->w2 == series->w2 && !fixed) {
      count = series::head_index(range) - series::head_index(series);
    } else {
      raise_invalid_refine_arg("part", range);
    }
    if (count < 0) {
      if (fixed) {
        count = 0;
      } else {
        i32 head = series::head_index(series);
        i32 from = head + count < 0 ? 0 : head + count;
        count = head - from;
        series::set_head_index(series, from);
      }
    }
  }
  i32 times;
  if (!dup_count(dup, &times)) return finish(series);
  finish(get<slot::change>(series)(series, value, count, flag(only), times));
}

void copy(i32 part, i32 deep, i32 types) {
  Cell* kind = arg(types);
  if (kind && kind->type() != type::datatype && kind->type() != type::typeset) raise_expect_arg(kind->type(), 5);
  Cell* fresh = stack::push_cell();
  finish(dispatch_copy(stack::arguments, fresh, arg(part), flag(deep), kind));
}

void length_q() {
  i32 n = get<slot::length_q>(stack::arguments)(stack::arguments);
  Cell r;
  if (n < 0) none::make_at(&r);
  else integer::box(&r, n);
  finish(&r);
}

void pick() {
  Cell* series = stack::arguments;
  finish(get<slot::pick>(series)(series, index_of(series + 1), series + 1));
}

void poke() {
  Cell* series = stack::arguments;
  get<slot::poke>(series)(series, index_of(series + 1), series + 2, series + 1);
  finish(series + 2);
}

void remove(i32 part, i32 key) {
  Cell* series = stack::arguments;
  finish(get<slot::remove>(series)(series, arg(part), arg(key)));
}

void take(i32 part, i32 deep, i32 last) {
  Cell* series = stack::arguments;
  finish(get<slot::take>(series)(series, arg(part), flag(deep), flag(last)));
}

void clear() { finish(get<slot::clear>(stack::arguments)(stack::arguments)); }

void reverse(i32 part, i32 skip) {
  finish(get<slot::reverse>(stack::arguments)(stack::arguments, arg(part), arg(skip)));
}

void move(i32 part) { finish(get<slot::move>(stack::arguments)(stack::arguments, stack::arguments + 1, arg(part))); }

void swap() { finish(get<slot::swap>(stack::arguments)(stack::arguments, stack::arguments + 1)); }

void trim(i32 head, i32 tail, i32 auto_, i32 lines, i32 all, i32 with) {
  finish(get<slot::trim>(stack::arguments)(stack::arguments, flag(head), flag(tail), flag(auto_), flag(lines),
                                           flag(all), arg(with)));
}

void random(i32 seed, i32 secure, i32 only) {
  finish(get<slot::random>(stack::arguments)(stack::arguments, flag(seed), flag(secure), flag(only)));
}

void call_stack_style(u32 s) {
  auto fn = reinterpret_cast<action::StackStyle>(get_action_of_value(stack::arguments, s));
  fn();
  stack::top = stack::arguments + 1;
}

}  // namespace kiv::actions

// ---- the remaining generic entries ----

namespace kiv::actions {

namespace {

Cell* arg_at(i32 position) { return position >= 0 ? stack::arguments + position : nullptr; }
bool used(i32 position) { return position != -1; }

void finish_result(const Cell* result) {
  stack::set_result(result);
  stack::top = stack::arguments + 1;
}

// make and to run the implementation of the type their first argument names.
u32 target_type(const Cell* first) {
  return first->type() == type::datatype ? datatype::id_of(first) : first->type();
}

template <u32 Slot>
void stack_style_entry() {
  call_stack_style(Slot);
}

}  // namespace

void make() {
  Cell* proto = stack::arguments;
  u32 t = target_type(proto);
  finish_result(get<slot::make>(t, proto)(proto, proto + 1, t));
}

void to() {
  Cell* proto = stack::arguments;
  u32 t = target_type(proto);
  finish_result(get<slot::to>(t, proto)(proto, proto + 1, t));
}

void reflect() {
  Cell* v = stack::arguments;
  Cell* field = v + 1;
  if (!word::any_word_q(field->type())) raise_expect_arg(field->type(), 1);
  finish_result(get<slot::reflect>(v)(v, word::symbol_of(field)));
}

void path_step(i32 set) {
  Cell* parent = stack::arguments;
  Cell* r = get<slot::eval_path>(parent)(parent, parent + 1, set ? parent + 2 : nullptr, nullptr, nullptr, nullptr,
                                         -1, false, false, true, set != 0);
  finish_result(r ? r : &none::value);
}

void compare_entry(i32 op) {
  Cell r;
  logic::box(&r, compare(stack::arguments, stack::arguments + 1, op));
  finish_result(&r);
}

void negate() { finish_result(get<slot::negate>(stack::arguments)(stack::arguments)); }

void round(i32 to, i32 even, i32 down, i32 half_down, i32 floor, i32 ceiling, i32 half_ceiling) {
  finish_result(get<slot::round>(stack::arguments)(stack::arguments, arg_at(to), used(even), used(down),
                                                   used(half_down), used(floor), used(ceiling), used(half_ceiling)));
}

void even_q() {
  Cell r;
  logic::box(&r, get<slot::even_q>(stack::arguments)(stack::arguments));
  finish_result(&r);
}

void odd_q() {
  Cell r;
  logic::box(&r, get<slot::odd_q>(stack::arguments)(stack::arguments));
  finish_result(&r);
}

void complement() { finish_result(get<slot::complement>(stack::arguments)(stack::arguments)); }

void find(i32 part, i32 only, i32 case_, i32 same, i32 any, i32 with, i32 skip, i32 last, i32 reverse, i32 tail,
          i32 match) {
  Cell* s = stack::arguments;
  finish_result(get<slot::find>(s)(s, s + 1, arg_at(part), used(only), used(case_), used(same), used(any),
                                   arg_at(with), arg_at(skip), used(last), used(reverse), used(tail), used(match)));
}

void select(i32 part, i32 only, i32 case_, i32 same, i32 any, i32 with, i32 skip, i32 last, i32 reverse) {
  Cell* s = stack::arguments;
  finish_result(get<slot::select>(s)(s, s + 1, arg_at(part), used(only), used(case_), used(same), used(any),
                                     arg_at(with), arg_at(skip), used(last), used(reverse)));
}

void put(i32 case_) {
  Cell* s = stack::arguments;
  finish_result(get<slot::put>(s)(s, s + 1, s + 2, used(case_)));
}

void sort(i32 case_, i32 skip, i32 compare_, i32 part, i32 all, i32 reverse, i32 stable) {
  Cell* s = stack::arguments;
  finish_result(get<slot::sort>(s)(s, used(case_), arg_at(skip), arg_at(compare_), arg_at(part), used(all),
                                   used(reverse), used(stable)));
}

void modify(i32 case_) {
  Cell* s = stack::arguments;
  get<slot::modify>(s)(s, s + 1, s + 2, used(case_));
  finish_result(s);
}

void open(i32 new_, i32 read, i32 write, i32 seek, i32 allow) {
  Cell* s = stack::arguments;
  finish_result(get<slot::open>(s)(s, used(new_), used(read), used(write), used(seek), arg_at(allow)));
}

void read(i32 part, i32 seek, i32 binary, i32 lines, i32 info, i32 as) {
  Cell* s = stack::arguments;
  finish_result(get<slot::read>(s)(s, arg_at(part), arg_at(seek), used(binary), used(lines), used(info), arg_at(as)));
}

void rename() {
  Cell* s = stack::arguments;
  finish_result(get<slot::rename>(s)(s, s + 1));
}

void write(i32 binary, i32 lines, i32 info, i32 append, i32 part, i32 seek, i32 allow, i32 as) {
  Cell* s = stack::arguments;
  finish_result(get<slot::write>(s)(s, s + 1, used(binary), used(lines), used(info), used(append), arg_at(part),
                                    arg_at(seek), arg_at(allow), arg_at(as)));
}

#define KIV_UNARY_ENTRY(name)                                              \
  void name() {                                                            \
    finish_result(get<slot::name>(stack::arguments)(stack::arguments));    \
  }
KIV_UNARY_ENTRY(create)
KIV_UNARY_ENTRY(close)
KIV_UNARY_ENTRY(delete_)
KIV_UNARY_ENTRY(open_q)
KIV_UNARY_ENTRY(query)
KIV_UNARY_ENTRY(update)
#undef KIV_UNARY_ENTRY

void init() {
  using natives::Convention;
  auto set = [](u32 s, auto fn, Convention c = Convention::action) {
    natives::Entry e = natives::action_entry(fn);
    natives::actions_table[s - 1] = {e.code, c, e.refinements};
  };
  std::fill(std::begin(natives::actions_table), std::end(natives::actions_table), natives::Slot{});
  set(slot::make, make);
  set(slot::random, random);
  set(slot::reflect, reflect);
  set(slot::to, to);
  set(slot::form, form);
  set(slot::mold, mold);
  set(slot::eval_path, path_step, Convention::path_step);
  set(slot::compare, compare_entry, Convention::comparison);
  set(slot::absolute, stack_style_entry<slot::absolute>);
  set(slot::add, stack_style_entry<slot::add>);
  set(slot::divide, stack_style_entry<slot::divide>);
  set(slot::multiply, stack_style_entry<slot::multiply>);
  set(slot::negate, negate);
  set(slot::power, stack_style_entry<slot::power>);
  set(slot::remainder, stack_style_entry<slot::remainder>);
  set(slot::round, round);
  set(slot::subtract, stack_style_entry<slot::subtract>);
  set(slot::even_q, even_q);
  set(slot::odd_q, odd_q);
  set(slot::and_t, stack_style_entry<slot::and_t>);
  set(slot::complement, complement);
  set(slot::or_t, stack_style_entry<slot::or_t>);
  set(slot::xor_t, stack_style_entry<slot::xor_t>);
  set(slot::append, append);
  set(slot::at, stack_style_entry<slot::at>);
  set(slot::back, stack_style_entry<slot::back>);
  set(slot::change, change);
  set(slot::clear, clear);
  set(slot::copy, copy);
  set(slot::find, find);
  set(slot::head, stack_style_entry<slot::head>);
  set(slot::head_q, stack_style_entry<slot::head_q>);
  set(slot::index_q, stack_style_entry<slot::index_q>);
  set(slot::insert, insert);
  set(slot::length_q, length_q);
  set(slot::move, move);
  set(slot::next, stack_style_entry<slot::next>);
  set(slot::pick, pick);
  set(slot::poke, poke);
  set(slot::put, put);
  set(slot::remove, remove);
  set(slot::reverse, reverse);
  set(slot::select, select);
  set(slot::sort, sort);
  set(slot::skip, stack_style_entry<slot::skip>);
  set(slot::swap, swap);
  set(slot::tail, stack_style_entry<slot::tail>);
  set(slot::tail_q, stack_style_entry<slot::tail_q>);
  set(slot::take, take);
  set(slot::trim, trim);
  set(slot::create, create);
  set(slot::close, close);
  set(slot::delete_, delete_);
  set(slot::modify, modify);
  set(slot::open, open);
  set(slot::open_q, open_q);
  set(slot::query, query);
  set(slot::read, read);
  set(slot::rename, rename);
  set(slot::update, update);
  set(slot::write, write);
}

void invoke(const natives::Slot& s, const i32* r) {
  using natives::ActionProc;
  switch (s.refinements) {
    case 0: return reinterpret_cast<ActionProc<0>*>(s.code)();
    case 1: return reinterpret_cast<ActionProc<1>*>(s.code)(r[0]);
    case 2: return reinterpret_cast<ActionProc<2>*>(s.code)(r[0], r[1]);
    case 3: return reinterpret_cast<ActionProc<3>*>(s.code)(r[0], r[1], r[2]);
    case 4: return reinterpret_cast<ActionProc<4>*>(s.code)(r[0], r[1], r[2], r[3]);
    case 5: return reinterpret_cast<ActionProc<5>*>(s.code)(r[0], r[1], r[2], r[3], r[4]);
    case 6: return reinterpret_cast<ActionProc<6>*>(s.code)(r[0], r[1], r[2], r[3], r[4], r[5]);
    case 7: return reinterpret_cast<ActionProc<7>*>(s.code)(r[0], r[1], r[2], r[3], r[4], r[5], r[6]);
    case 8: return reinterpret_cast<ActionProc<8>*>(s.code)(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
    case 9: return reinterpret_cast<ActionProc<9>*>(s.code)(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8]);
    case 10:
      return reinterpret_cast<ActionProc<10>*>(s.code)(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9]);
    case 11:
      return reinterpret_cast<ActionProc<11>*>(s.code)(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9],
                                                       r[10]);
    default:
      return reinterpret_cast<ActionProc<12>*>(s.code)(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9],
                                                       r[10], r[11]);
  }
}

}  // namespace kiv::actions
