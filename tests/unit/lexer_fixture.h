// What the lexer and loader tests share: the boot, loading text into a block that stays alive for the
// test, molding it back, and catching the syntax error a text raises.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "lexer/lexer.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv::test {

class LexerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boot_core();
    lexer::init();
  }

 public:

  // All values of the text as a block (kept on the value stack for the test).
  static Cell load(std::string_view text) {
    Cell* out = stack::push_cell();
    lexer::load_text(text, out);
    return *out;
  }
  // The first value of the text.
  static Cell one(std::string_view text) {
    Cell* out = stack::push_cell();
    lexer::load_one(text, out);
    return *out;
  }
  // The loaded values molded back, without the outer brackets.
  static std::string remold(std::string_view text) { return mold_text(load(text), true); }
  static Cell at(const Cell& blk, i32 n) {
    Cell b = blk;
    return *block::cell_at(&b, n);
  }
  static i32 count(const Cell& blk) {
    Cell b = blk;
    return block::length(&b);
  }

  struct Syntax {
    bool raised = false;
    std::string id;       // invalid, missing, bad-char, malconstruct (or the id of another error)
    std::string line;     // "(line n)"
    u32 type_id = 0;      // invalid: the datatype named
    i32 missing = -1;     // missing: the character
    std::string near;     // the text at the error
    ErrorCategory category = ErrorCategory::syntax;
  };
  static Syntax error_of(std::string_view text) {
    Syntax r;
    try {
      load(text);
    } catch (const LanguageError& e) {
      r.raised = true;
      r.category = e.category;
      r.id = e.id;
      auto text_of = [](const Cell& c) {
        Cell s = c;
        return string::any_string_q(s.type()) ? string::to_utf8(&s) : std::string();
      };
      if (e.arg_count > 0) r.line = text_of(e.args[0]);
      if (r.id == "invalid" && e.arg_count > 2) {
        r.type_id = e.args[1].w1;
        r.near = text_of(e.args[2]);
      } else if (r.id == "missing" && e.arg_count > 2) {
        r.missing = static_cast<i32>(e.args[1].w2);
        r.near = text_of(e.args[2]);
      } else if (e.arg_count > 1) {
        r.near = text_of(e.args[1]);
      }
    }
    return r;
  }
};

}  // namespace kiv::test
