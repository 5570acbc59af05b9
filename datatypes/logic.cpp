#include "datatypes/logic.h"

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kiv::logic {

Cell* set_result(bool flag) { return box(stack::arguments, flag); }
Cell* push(bool flag) { return box(stack::push_cell(), flag); }
Cell* add_to_block(Cell* block, bool flag) {
  Cell v;
  box(&v, flag);
  return block::append_value(block, &v);
}

bool true_q(const Cell* value, bool check_unset, const Cell* word) {
  u32 t = value->type();
  if (check_unset && t == type::unset) {
    Cell name = word ? *word : Cell{type::none, 0, 0, 0};
    raise_error(ErrorCategory::script, "no-value", name);
  }
  if (t == type::none) return false;
  if (t == type::logic) return value->w1 == 1;
  return true;
}

bool top_true_q() { return true_q(stack::last_value()); }
bool top_false_q() { return !true_q(stack::last_value()); }

bool true_result_q() {
  if (stack::arguments->type() == type::unset) raise_error(ErrorCategory::script, "no-return");
  return true_q(stack::arguments);
}
bool false_result_q() { return !true_q(stack::arguments); }

Cell* to(Cell*, Cell* spec, u32) {
  switch (spec->type()) {
    case type::logic: return spec;
    case type::none: return &false_value;
    default: return &true_value;
  }
}

Cell* make(Cell* proto, Cell* spec, u32 t) {
  switch (spec->type()) {
    case type::integer: return box(proto, spec->as_int() != 0);
    case type::float_:
    case type::percent: return box(proto, spec->as_double() != 0.0);  // NaN is not 0.0: true
    default: return to(proto, spec, t);
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    kiv::random::seed(static_cast<i32>(value->w1));
    return unset::make_at(value);
  }
  i32 n = secure ? kiv::random::secure_next() : kiv::random::next();
  return box(value, n > 0x3FFFFFFF);
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  bool flag = value->w1 != 0;
  string::append_c_string(out, flag ? "true" : "false");
  return limit - (flag ? 4 : 5);
}

i32 mold(const Cell* value, Cell* out, bool, bool all, bool, const Cell*, i32 limit, i32) {
  if (!all) return form(value, out, nullptr, limit);
  bool flag = value->w1 != 0;
  string::append_c_string(out, flag ? "#(true)" : "#(false)");
  return limit - (flag ? 7 : 8);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::logic) return -2;
  switch (op) {
    case compare_op::equal:
    case compare_op::not_equal:
    case compare_op::strict_equal:
    case compare_op::sort:
    case compare_op::case_sort:
    case compare_op::same:
    case compare_op::find:
      return static_cast<i32>(a->w1) - static_cast<i32>(b->w1);
    default:
      return -2;
  }
}

Cell* complement(Cell* value) {
  value->w1 ^= 1;
  return value;
}

namespace {
void combine(int op) {
  Cell* a = stack::arguments;
  const Cell* b = a + 1;
  if (b->type() != type::logic) actions::raise_expect_arg(b->type(), 1);
  switch (op) {
    case 0: a->w1 &= b->w1; break;
    case 1: a->w1 |= b->w1; break;
    default: a->w1 ^= b->w1; break;
  }
}
}  // namespace

void and_t() { combine(0); }
void or_t() { combine(1); }
void xor_t() { combine(2); }

void init() {
  true_value = Cell{type::logic, 1, 0, 0};
  false_value = Cell{type::logic, 0, 0, 0};
  datatype::register_type(type::logic, 0, "logic!",
                          {.make = make,
                           .random = random,
                           .to = to,
                           .form = form,
                           .mold = mold,
                           .compare = compare,
                           .and_t = and_t,
                           .complement = complement,
                           .or_t = or_t,
                           .xor_t = xor_t});
  hashtable::set_hash_procedure(type::logic, hashtable::hash_word1);
}

}  // namespace kiv::logic
