#include "tests/unit/api/api_natives.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace kiv::test::api_natives {

using api::Type;

Exit collect(bool, i32 scale) {
  if (api::type_of(0) != Type::string && api::type_of(0) != Type::file) api::raise_expect_arg(0);
  api::expect(1, Type::integer);
  api::expect(2, Type::binary);
  const i32 out = api::push_block(2);  // grows as the values come
  std::string text;
  api::text_of(0, text);
  const i64 n = api::integer_of(1);
  api::append(out, api::push_string(text + "-" + std::to_string(n)));
  api::append(out, api::push_integer(api::length_of(0)));
  std::string bytes = api::bytes_of(2);
  std::reverse(bytes.begin(), bytes.end());
  api::append(out, api::push_binary(bytes));
  api::append(out, api::push_word(text));
  api::append(out, scale >= 0 ? api::push_float(static_cast<double>(n) * api::float_of(scale)) : api::push_none());
  api::append(out, api::push_logic(api::length_of(2) == 0));
  return api::result(out);
}

namespace {

// One item of a block as text; what it pushes goes with the scope.
std::string describe_item(i32 items, i32 index) {
  api::Scope temporaries;
  const i32 item = api::push_element(items, index);
  switch (api::type_of(item)) {
    case Type::none: return "none";
    case Type::logic: return api::logic_of(item) ? "yes" : "no";
    case Type::integer: return std::to_string(api::integer_of(item));
    case Type::float_: {
      char text[32];
      std::snprintf(text, sizeof text, "%g", api::float_of(item));
      return text;
    }
    case Type::string: return "\"" + api::text_of(item) + "\"";
    case Type::word: return api::word_name(item);
    case Type::block: return "[" + std::to_string(api::length_of(item)) + "]";
    default: return api::type_name(item);
  }
}

}  // namespace

Exit describe(bool) {
  const i32 before = api::slot_count();
  std::string text;
  for (i32 i = 0, n = api::length_of(0); i < n; ++i) {
    if (i) text += ' ';
    text += describe_item(0, i);
  }
  if (api::slot_count() != before) text = "a scope left slots behind";
  return api::result(api::push_string(text));
}

Exit open(bool) { api::raise(ErrorCategory::access, "cannot-open", 0); }

namespace {

// Stands for a C library: it calls back once per item and stops at the first non-zero answer. No
// C++ exception may pass through it.
int walk(int count, int (*callback)(int index, void* user), void* user) {
  for (int i = 0; i < count; ++i)
    if (callback(i, user) != 0) return i;
  return count;
}

struct Walk {
  i32 items;
  i32 totals;
  i64 sum = 0;
  i32 error = -1;
};

int add_item(int index, void* user) {
  auto* w = static_cast<Walk*>(user);
  w->error = api::protect([&] {
    api::Scope temporaries;
    w->sum += api::integer_of(api::push_element(w->items, index));  // a misuse for a non-integer
    api::append(w->totals, api::push_integer(w->sum));               // math overflow past 32 bits
  });
  return w->error < 0 ? 0 : 1;
}

}  // namespace

Exit totals(bool) {
  Walk w{0, api::push_block(4)};
  walk(api::length_of(w.items), add_item, &w);
  if (w.error >= 0) api::raise_value(w.error);
  return api::result(w.totals);
}

}  // namespace kiv::test::api_natives
