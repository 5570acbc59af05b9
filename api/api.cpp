// The slot API over the value stack. Every slot is re-read from its index at each call, so nothing
// here holds a cell or a buffer address across an allocation.
#include "api/api.h"

#include <string>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/catch.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kiv::api {

namespace {

const char* name_of_type(u32 t) {
  const char* name = t < datatype::table_rows ? datatype::names[t].name : nullptr;
  return name ? name : "?";
}

// script bad-bad: `api error: "<accessor>: <what>"`.
[[noreturn]] void misuse(const char* accessor, const std::string& what) {
  Cell* text = stack::push_cell();
  string::make_from_utf8(text, std::string(accessor) + ": " + what);
  Cell api = *word::load_at("api", stack::push_cell());
  raise_error(ErrorCategory::script, "bad-bad", api, *text);
}

// The cell of a slot that must exist.
Cell* at(i32 slot, const char* accessor) {
  const i32 count = slot_count();
  if (slot < 0 || slot >= count)
    misuse(accessor, "slot " + std::to_string(slot) + " is out of range (" + std::to_string(count) + " slots)");
  return stack::arguments + slot;
}

// The cell of a slot whose type must pass the test; `wanted` names it for the report.
template <class Test>
Cell* typed(i32 slot, const char* accessor, Test&& test, const char* wanted) {
  Cell* c = at(slot, accessor);
  if (!test(c->type()))
    misuse(accessor, "slot " + std::to_string(slot) + " holds " + name_of_type(c->type()) + ", not " + wanted);
  return c;
}
Cell* typed(i32 slot, const char* accessor, u32 type_id) {
  return typed(slot, accessor, [type_id](u32 t) { return t == type_id; }, name_of_type(type_id));
}

i32 slot_of(const Cell* c) { return static_cast<i32>(c - stack::arguments); }

}  // namespace

i32 slot_count() { return static_cast<i32>(stack::top - stack::arguments); }

// ---- Reading ----

Type type_of(i32 slot) {
  switch (at(slot, "type-of")->type()) {
    case type::unset: return Type::unset;
    case type::none: return Type::none;
    case type::logic: return Type::logic;
    case type::integer: return Type::integer;
    case type::float_: return Type::float_;
    case type::string: return Type::string;
    case type::file: return Type::file;
    case type::url: return Type::url;
    case type::binary: return Type::binary;
    case type::block: return Type::block;
    case type::word: return Type::word;
    case type::error: return Type::error;
    default: return Type::other;
  }
}

const char* type_name(i32 slot) { return name_of_type(at(slot, "type-name")->type()); }

bool none_q(i32 slot) { return at(slot, "none?")->type() == type::none; }

i64 integer_of(i32 slot) { return integer::get(typed(slot, "integer-of", type::integer)); }

double float_of(i32 slot) { return float_::get(typed(slot, "float-of", type::float_)); }

bool logic_of(i32 slot) { return logic::get(typed(slot, "logic-of", type::logic)) == 1; }

std::string text_of(i32 slot) { return string::to_utf8(typed(slot, "text-of", series::any_string_q, "text")); }

std::string_view text_of(i32 slot, std::string& buffer) { return buffer = text_of(slot); }

std::string bytes_of(i32 slot) { return binary::to_std_string(typed(slot, "bytes-of", type::binary)); }

std::string_view bytes_of(i32 slot, std::string& buffer) { return buffer = bytes_of(slot); }

i32 length_of(i32 slot) {
  auto series_q = [](u32 t) { return series::any_string_q(t) || t == type::binary || series::any_block_q(t); };
  Cell s = *typed(slot, "length-of", series_q, "a string, binary! or block");
  return series::length_from_head(&s);  // a copy: the clipping of a head past the tail stays here
}

i32 push_element(i32 block, i32 index) {
  const Cell* b = typed(block, "push-element", series::any_block_q, "a block");
  const i32 length = block::length(b);
  if (index < 0 || index >= length)
    misuse("push-element", "index " + std::to_string(index) + " is outside the " + std::to_string(length) +
                               " values of slot " + std::to_string(block));
  return slot_of(stack::push_value(block::cell_at(b, block::head_index(b) + index)));
}

std::string word_name(i32 slot) { return word::name_of(typed(slot, "word-name", word::any_word_q, "a word")); }

// ---- Pushing ----

i32 push_none() { return slot_of(none::make_at(stack::push_cell())); }

i32 push_logic(bool flag) { return slot_of(logic::box(stack::push_cell(), flag)); }

i32 push_integer(i64 value) {
  if (value < integer::min_value || value > integer::max_value) raise_error(ErrorCategory::math, "overflow");
  return slot_of(integer::box(stack::push_cell(), static_cast<i32>(value)));
}

i32 push_float(double value) { return slot_of(float_::box(stack::push_cell(), value)); }

i32 push_string(std::string_view utf8) {
  if (utf8.size() > memory::max_data_size) raise_error(ErrorCategory::internal, "no-memory");
  Cell* s = stack::push_cell();
  string::make_at(s, static_cast<i32>(utf8.size()));
  string::append_utf8(s, utf8);
  return slot_of(s);
}

i32 push_binary(const void* bytes, std::size_t length) {
  if (length > memory::max_data_size) raise_error(ErrorCategory::internal, "no-memory");
  return slot_of(binary::make_from(stack::push_cell(), bytes, static_cast<i32>(length)));
}

i32 push_block(i32 capacity) {
  if (capacity < 0) misuse("push-block", "capacity " + std::to_string(capacity) + " is negative");
  return slot_of(block::make_at(stack::push_cell(), capacity));
}

void append(i32 block, i32 value) {
  const Cell* v = at(value, "append");
  block::append_value(typed(block, "append", series::any_block_q, "a block"), v);
}

i32 push_word(std::string_view name) {
  if (name.empty()) misuse("push-word", "the name is empty");
  // The name must decode (the decoder raises invalid-utf8 on a bad sequence) to the last byte.
  const u8* p = reinterpret_cast<const u8*>(name.data());
  for (i32 left = static_cast<i32>(name.size()); left > 0;) {
    i32 count = left;
    if (unicode::decode_utf8_char(p, count) < 0) {
      const i32 bad = push_binary(p, static_cast<std::size_t>(left));
      raise(ErrorCategory::access, "invalid-utf8", bad);
    }
    p += count;
    left -= count;
  }
  Cell* w = stack::push_cell();
  *w = word::intern_global(symbol::make(name), true, true);
  return slot_of(w);
}

// ---- Ending a native ----

Exit result(i32 slot) {
  stack::set_result(at(slot, "result"));
  return Exit::none;
}

// ---- Errors ----

void raise(ErrorCategory category, const char* id, i32 arg1, i32 arg2, i32 arg3) {
  const i32 slots[3] = {arg1, arg2, arg3};
  Cell args[3];
  i32 n = 0;
  while (n < 3 && slots[n] != no_slot) {
    args[n] = *at(slots[n], "raise");
    ++n;
  }
  switch (n) {
    case 0: raise_error(category, id);
    case 1: raise_error(category, id, args[0]);
    case 2: raise_error(category, id, args[0], args[1]);
    default: raise_error(category, id, args[0], args[1], args[2]);
  }
}

void raise_expect_arg(i32 n) { actions::raise_expect_arg(at(n, "expect")->type(), n); }

void expect(i32 n, Type t) {
  if (type_of(n) != t) raise_expect_arg(n);
}

void raise_value(i32 slot) { stack::raise_error_value(typed(slot, "raise-value", type::error)); }

i32 detail::protect(void (*run)(void*), void* body) {
  const stack::Mark m = stack::mark();
  try {
    run(body);
    return -1;
  } catch (const LanguageError& e) {
    Cell err{type::none, 0, 0, 0};
    RootCell keep(err);
    stack::catch_error(e, m, &err);  // leaves the stacks as they stood at the mark
    return slot_of(stack::push_value(&err));
  }
}

// ---- Scope ----

Scope::Scope() : saved_(static_cast<i32>(stack::top - stack::bottom)) {}

Scope::~Scope() {
  // Never raises the top: below the mark (an error unwound past it) the cells are dead.
  if (stack::top > stack::bottom + saved_) stack::top = stack::bottom + saved_;
}

}  // namespace kiv::api
