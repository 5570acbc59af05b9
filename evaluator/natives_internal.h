// Small helpers shared by the natives' units: the argument type check that compiled-style callers ask
// for, the truth rule, and the result cell.
#pragma once
#include <initializer_list>

#include "datatypes/dispatch.h"
#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kiv::natives::detail {

// A set of type ids as a bit mask (every id is below 64).
using Types = u64;
constexpr Types bit(u32 t) { return Types{1} << t; }
static_assert(type::count < 64);

constexpr Types any_type = ~Types{0};
constexpr Types any_value = any_type & ~bit(type::unset);  // an argument without a type block
constexpr Types any_word = bit(type::word) | bit(type::set_word) | bit(type::lit_word) | bit(type::get_word);
constexpr Types any_path = bit(type::path) | bit(type::set_path) | bit(type::get_path) | bit(type::lit_path);
constexpr Types any_list = bit(type::block) | bit(type::paren) | bit(type::hash);
constexpr Types any_block = any_list | any_path;
constexpr Types any_string = bit(type::string) | bit(type::file) | bit(type::url) | bit(type::tag) |
                             bit(type::email) | bit(type::ref);
constexpr Types series = any_block | any_string | bit(type::binary) | bit(type::image) | bit(type::vector);
constexpr Types any_object = bit(type::object) | bit(type::error) | bit(type::port);
constexpr Types any_function =
    bit(type::native) | bit(type::action) | bit(type::op) | bit(type::function) | bit(type::routine);
constexpr Types number = bit(type::integer) | bit(type::float_);

inline bool has(Types set, u32 t) { return t < 64 && (set >> t & 1); }

// The check a native makes when its caller asks for one: argument n (from the arguments base) must
// have a type in the n-th set; script expect-arg otherwise.
inline void check_args(std::initializer_list<Types> sets) {
  i32 n = 0;
  for (Types set : sets) {
    const Cell* v = stack::arguments + n;
    if (!has(set, v->type())) actions::raise_expect_arg(v->type(), n);
    ++n;
  }
}
// The same for one refinement argument at position n (when the refinement is used).
inline void check_arg_at(i32 n, Types set) {
  if (n < 0) return;
  const Cell* v = stack::arguments + n;
  if (!has(set, v->type())) actions::raise_expect_arg(v->type(), n);
}

// The truth rule: none and a logic! whose flag is not exactly 1 are false; all else is true.
inline bool truth(const Cell* v) {
  const u32 t = v->type();
  return t != type::none && (t != type::logic || v->w1 == 1);
}
// The truth of a condition that must be a value: unset raises script no-return.
inline bool truth_of_value(const Cell* v) {
  if (v->type() == type::unset) [[unlikely]] raise_error(ErrorCategory::script, "no-return");
  return truth(v);
}

// Leaves the value in the result cell.
inline Exit result(const Cell& v) {
  *stack::arguments = v;
  return Exit::none;
}
inline Exit result_none() { return result(Cell{type::none, 0, 0, 0}); }
inline Exit result_unset() { return result(Cell{type::unset, 0, 0, 0}); }

// ---- Words (natives_control.cpp) ----

inline bool settable_word_q(u32 t) {
  return t == type::word || t == type::set_word || t == type::get_word || t == type::lit_word;
}
// Sets a word given as a cell that may lie in a buffer (both cells are copied first).
void set_word(const Cell* word, const Cell* value);
// The words of a word block from its head, checked: each must be a word type, else script
// invalid-arg naming it. Answers their number.
i32 word_block_count(const Cell* words);
// Element k of a series from its head (a block's cell itself, other series through pick), or none
// past the tail, into *out.
void element_of(const Cell* s, i32 k, Cell* out);
// The multiple set behind `set` of a word block and `foreach` with several words: with `spread`
// word i gets element i of the value (none past its tail), else every word gets the value itself.
// Without `any` an unset value raises need-value naming its word; with `some` a none value leaves
// its word alone. The checks run over all the words before any word is set.
void set_words(const Cell* words, const Cell* value, bool any, bool spread, bool some);

}  // namespace kiv::natives::detail
