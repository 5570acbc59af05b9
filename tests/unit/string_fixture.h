// Builders shared by the string!, string mold and char! tests. Values live on the value stack (the
// collector's roots); each test starts from an empty stack.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "datatypes/char.h"
#include "datatypes/string.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv::test {

class StringFixture : public ::testing::Test {
 protected:
  void SetUp() override { boot_core(); }
};

// A string! pushed on the value stack, loaded from UTF-8 (each character in the narrowest unit).
inline Cell* str(std::string_view utf8) { return string::make_from_utf8(stack::push_cell(), utf8); }

// A string! with exactly this unit, holding the code points (written by index, so no widening).
inline Cell* str_unit(std::u32string_view cps, u32 unit) {
  Cell* c = stack::push_cell();
  string::make_at(c, static_cast<i32>(cps.size()) + 1, static_cast<i32>(unit));
  for (size_t i = 0; i < cps.size(); ++i)
    string::put_char_at(string::buffer_of(c), static_cast<i32>(i), static_cast<i32>(cps[i]));
  EXPECT_EQ(string::buffer_of(c)->unit(), unit);
  return c;
}

inline Cell* chr(i32 cp) { return char_::push(cp); }
inline Cell* num(i32 n) {
  Cell c = int_cell(n);
  return stack::push_value(&c);
}

inline std::string txt(const Cell* s) { return string::to_utf8(s); }
inline u32 unit_of(const Cell* s) { return string::buffer_of(s)->unit(); }

template <class F>
std::string error_id(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "(no error)";
}

}  // namespace kiv::test
