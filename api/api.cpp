// The slot API over the value stack. Every slot is re-read from its index at each call, so nothing
// here holds a cell or a buffer address across an allocation.
#include "api/api.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
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

namespace {
// The code point of the well-formed UTF-8 sequence at p (no overlong form, no surrogate, nothing
// above U+10FFFF) and its length through `count`; -1 when the bytes there are not one.
i32 well_formed_utf8(const u8* p, const u8* end, i32& count) {
  const u8 lead = *p;
  if (lead < 0x80) return count = 1, lead;
  const i32 n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (n == 0 || lead > 0xF4 || end - p < n) return -1;
  i32 cp = lead & (0x7F >> n);
  for (i32 i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return -1;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  static constexpr i32 lowest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < lowest[n] || cp > unicode::max_code_point || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  count = n;
  return cp;
}
}  // namespace

i32 push_file(std::string_view os_name) {
  if (os_name.size() > memory::max_data_size) raise_error(ErrorCategory::internal, "no-memory");
  Cell* f = stack::push_cell();
  string::make_at(f, static_cast<i32>(os_name.size()));
  const u8* p = reinterpret_cast<const u8*>(os_name.data());
  const u8* end = p + os_name.size();
  while (p < end) {
    i32 count = 1;
    i32 cp = well_formed_utf8(p, end, count);
    if (cp < 0) cp = 0xDC00 + *p;  // a stray byte, kept as itself
    string::append_char(f, cp);
    p += count;
  }
  cell::set_type(f, type::file);
  return slot_of(f);
}

std::string os_name_of(i32 slot) {
  const Cell* s = typed(slot, "os-name-of", series::any_string_q, "text");
  std::string out;
  const i32 head = std::max(string::head_index(s), 0);
  const i32 end = string::total_length(s);
  out.reserve(static_cast<std::size_t>(std::max(end - head, 0)));
  for (i32 i = head; i < end; ++i) {
    const i32 cp = string::char_at(s, i);
    if (cp == 0) raise(ErrorCategory::script, "invalid-arg", slot);
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
      out.push_back(static_cast<char>(cp - 0xDC00));
      continue;
    }
    u8 bytes[4];
    out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(unicode::encode_utf8(cp, bytes)));
  }
  return out;
}

namespace {
std::string text_form(i32 slot, bool mold) {
  Cell* out = stack::push_cell();
  string::make_at(out, 64);
  const Cell v = *at(slot, mold ? "mold-of" : "form-of");
  RootCell keep(const_cast<Cell&>(v));
  if (mold) {
    actions::dispatch_mold(&v, out, false, false, false, nullptr, 0, 0);
  } else {
    actions::dispatch_form(&v, out, nullptr, 0);
  }
  std::string text = string::to_utf8(out);
  stack::drop(1);
  return text;
}
}  // namespace

std::string form_of(i32 slot) { return text_form(slot, false); }
std::string mold_of(i32 slot) { return text_form(slot, true); }

void insert_at_head(i32 series, i32 value) {
  Cell* target = at(series, "insert-at-head");
  const Cell* v = at(value, "insert-at-head");
  if (target->type() == type::binary) {
    if (v->type() != type::binary) misuse("insert-at-head", "a binary! takes only a binary!");
    const std::string bytes = bytes_of(value);
    binary::insert_bytes(target, std::max(binary::head_index(target), 0), bytes.data(),
                         static_cast<i32>(bytes.size()));
    return;
  }
  typed(series, "insert-at-head", series::any_string_q, "text or a binary!");
  typed(value, "insert-at-head", series::any_string_q, "text");
  string::concatenate(target, v, -1, true, 1);
}

// ---- Values of types that register after the core ----

namespace {
bool registered(u32 type_id) { return datatype::actions[type_id].mold != nullptr; }
[[noreturn]] void not_done() { raise_error(ErrorCategory::internal, "not-done"); }
}  // namespace

i32 push_tuple(const u8* bytes, i32 length) {
  if (length < tuple::min_length || length > tuple::max_length)
    misuse("push-tuple", "a tuple holds 3 to 12 bytes, not " + std::to_string(length));
  if (!registered(type::tuple)) not_done();
  Cell* t = stack::push_cell();
  *t = Cell{tuple::header_for(length), 0, 0, 0};
  std::memcpy(tuple::bytes_of(t), bytes, static_cast<std::size_t>(length));
  return slot_of(t);
}

i32 push_date_utc(i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second, i32 nanoseconds) {
  if (!registered(type::date)) not_done();
  Cell* d = stack::push_cell();
  date::make_at_hms(d, year, month, day, hour, minute, second, nanoseconds);
  return slot_of(d);
}

bool to_map(i32 block) {
  Cell* b = typed(block, "to-map", type::block);
  if (!registered(type::map) || !datatype::makers::map) return false;
  if (!datatype::makers::map(b)) misuse("to-map", "the block is not a map's keys and values");
  return true;
}

// ---- Bytes in place ----

i32 detail::push_binary_filled(std::size_t capacity, std::size_t (*fill)(void*, char*, std::size_t), void* body) {
  if (capacity > memory::max_data_size) raise_error(ErrorCategory::internal, "no-memory");
  Cell* b = binary::make_at(stack::push_cell(), static_cast<i32>(capacity));
  SeriesBuffer* buffer = binary::buffer_of(b);
  auto* bytes = reinterpret_cast<char*>(cell::reserve_tail_bytes(buffer, static_cast<u32>(capacity)));
  const std::size_t written = std::min(fill(body, bytes, capacity), capacity);
  buffer->tail -= static_cast<u32>(capacity - written);
  return slot_of(b);
}

void detail::see_bytes(i32 slot, void (*see)(void*, const char*, std::size_t), void* body) {
  const Cell* b = typed(slot, "see-bytes", type::binary);
  see(body, reinterpret_cast<const char*>(binary::head_pointer(b)), static_cast<std::size_t>(binary::length_of(b)));
}

// ---- Hooks ----

i32 push_cell(const Cell* value) {
  if (!value) return push_none();
  return slot_of(stack::push_value(value));
}

void store(i32 slot, Cell* out) { *out = *at(slot, "store"); }

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
