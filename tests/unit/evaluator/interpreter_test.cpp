// The interpreter through the language: expressions, infix order, calls with refinements and the
// argument modes, paths and methods, errors unwinding to try, non-local exits, the native-stack
// guard, balanced stacks, and the inline operator path against the generic one.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"
#include "tests/unit/interp_natives.h"

namespace kiv {
namespace {

class Interp : public ::testing::Test {
 protected:
  void SetUp() override {
    test::interp::boot_language();
    saved_enabled_ = collector::enabled;
    collector::enabled = true;  // KIV_TORTURE then collects as the evaluation allocates
  }
  void TearDown() override { collector::enabled = saved_enabled_; }

  // Evaluates the source with a catcher; the stacks must stand where they stood.
  bool run(const std::string& source, Cell* out) {
    Cell* top = stack::top;
    Cell* args = stack::arguments;
    stack::Frame* frames = stack::frame_top;
    bool ok = interpreter::do_text_safe(source, out);
    EXPECT_EQ(stack::top, top) << source;
    EXPECT_EQ(stack::arguments, args) << source;
    EXPECT_EQ(stack::frame_top, frames) << source;
    return ok;
  }

  // The molded value of the source, or "error: id" when it raised.
  std::string eval(const std::string& source) {
    Cell out = test::none_cell();
    RootCell keep(out);
    if (!run(source, &out)) return "error: " + error_id(out);
    if (out.type() == type::unset) return "unset";
    return test::mold_text(out);
  }

  static std::string error_id(const Cell& err) {
    if (err.type() != type::error) return "?";
    const Cell* id = error::field_of(&err, error::field::id);
    return word::any_word_q(id->type()) ? word::name_of(id) : "?";
  }

  // The error the source raises (none! when it raises nothing).
  Cell error_of(const std::string& source) {
    Cell out = test::none_cell();
    RootCell keep(out);
    if (run(source, &out)) return test::none_cell();
    return out;
  }

  static std::string field_text(const Cell& err, i32 field) {
    const Cell* f = error::field_of(&err, field);
    if (f->type() == type::none) return "none";
    return test::mold_text(*f);
  }

 private:
  bool saved_enabled_ = false;
};

TEST_F(Interp, ExpressionsAndInfixOrder) {
  struct Case {
    const char* source;
    const char* expected;
  } cases[] = {
      {"1 + 2 * 3", "9"},  // strictly left to right
      {"negate 1 + 2", "-3"},  // a prefix call's argument takes the infix expression
      {"(1 + 2) * 3", "9"},
      {"1 + (2 * 3)", "7"},
      {"add 1 2 * 3", "7"},  // the second argument takes the infix expression
      {"10 - 2 - 3", "5"},
      {"x: 5 x * x", "25"},
      {"a: b: 7 a + b", "14"},
      {"2147483647 + 1", "2147483648.0"},
      {"-2147483648 - 1", "-2147483649.0"},
      {"65536 * 65536", "4294967296.0"},
      {"1 + 1.5", "2.5"},
      {"1.5 * 2.0", "3.0"},
      {"7 / 2", "3.5"},
      {"3 < 4", "true"},
      {"4 <= 3", "false"},
      {"2 = 2.0", "true"},
      {"2 == 2.0", "false"},
      {"3 <> 3", "false"},
      {"6 and 3", "2"},
      {"'foo", "foo"},
      {"first-word: 'foo :first-word", "foo"},
      {"[1 + 2]", "[1 + 2]"},
      {"do [1 2 3]", "3"},
      {"do []", "unset"},
      {"if 1 < 2 [10]", "10"},
      {"if 1 > 2 [10]", "none"},
      {"either 1 < 2 [1] [2]", "1"},
      {"'a/b", "a/b"},
  };
  for (const Case& c : cases) EXPECT_EQ(eval(c.source), c.expected) << c.source;
}

TEST_F(Interp, FunctionsRefinementsLocalsAndArgumentModes) {
  eval("f: func [a /twice /plus n] [if twice [a: a * 2] if plus [a: a + n] a]");
  struct Case {
    const char* source;
    const char* expected;
  } cases[] = {
      {"f 5", "5"},
      {"f/twice 5", "10"},
      {"f/plus 5 1", "6"},
      {"f/plus/twice 5 1", "11"},
      {"f/twice/plus 5 1", "11"},
      {"twice: 1 = 1 f/:twice 5", "10"},  // a get-word refinement takes its truth from the word's value
      {"twice: 1 = 2 f/:twice 5", "5"},
      {"g: func [/r x] [x] g", "none"},
      {"g: func [/r x] [r] g", "false"},
      {"g: func [/r x] [x] g/r 4", "4"},
      {"h: func [/local x] [x] h", "none"},
      {"h: func [a /local x] [x: a * 2 x] h 21", "42"},
      {"q: func [:a] [a] q (1 + 2)", "(1 + 2)"},
      {"q: func ['w] [w] q foo", "foo"},
      {"q: func ['w] [w] q (1 + 2)", "3"},
      {"v: 9 q: func ['w] [w] q :v", "9"},
      {"q: func ['w [word! unset!]] [1] q", "1"},  // a lit-word argument accepting unset at the end
      {"p: func [a] [a] (p 1) + 1", "2"},
      {"k: func [a b] [a - b] k 10 3", "7"},
      {"k: func [a b] [a - b] k 10 + 1 3", "8"},
      {"fib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]] fib 15", "610"},
      {"fibr: func [n] [if n < 2 [return n] (fibr n - 1) + (fibr n - 2)] fibr 15", "610"},
      {"e: func [] [exit 1] e", "unset"},
      {"r: func [] [loop 10 [return 7] 8] r", "7"},
      {"r: func [] [do [return 3] 4] r", "3"},
      {"o: make object! [a: 1 get-a: func [] [a] set-a: func [v] [a: v]] o/get-a", "1"},
      {"o/set-a 5 o/a", "5"},
      {"o/a: 8 o/get-a", "8"},
      {"b: [1 2 3] b/2", "2"},
      {"b/2: 9 b", "[1 9 3]"},
      {"i: 3 b/:i", "3"},
      {"b/(1 + 1)", "9"},
      {"m: func [/x] [x] m/x", "true"},
  };
  for (const Case& c : cases) EXPECT_EQ(eval(c.source), c.expected) << c.source;
}

TEST_F(Interp, Errors) {
  struct Case {
    const char* source;
    const char* id;
  } cases[] = {
      {"add [1] 2", "expect-arg"},
      {"x:", "need-value"},
      {"a: print-nothing-undefined-word", "no-value"},
      {"an-unset-word-here", "no-value"},
      {"+ 1", "no-op-arg"},
      {"f: func [a] [a] f", "no-arg"},
      {"f: func [/r] [1] f/q", "no-refine"},
      {"f: func [/r] [1] f/r/r", "dup-refine"},
      {"f: func [/r] [1] f/2", "bad-refine"},
      {"1 / 0", "zero-divide"},
      {"break", "break"},
      {"return 1", "return"},
      {"throw 1", "throw"},
      {"u: func [] [loop 2 [exit]] loop 1 [break] u 1 / 0", "zero-divide"},
      {"f: func [x [integer!]] [x] f \"a\"", "expect-arg"},
      {"#system [1]", "kiv-system"},
      {"(1 +)", "no-arg"},
      {"b: [1] b/x/y", "bad-path-type"},
  };
  for (const Case& c : cases) EXPECT_EQ(eval(c.source), std::string("error: ") + c.id) << c.source;

  // expect-arg names the function, the datatype and the argument.
  Cell err = error_of("add [1] 2");
  RootCell keep(err);
  EXPECT_EQ(field_text(err, error::field::arg1), "add");
  EXPECT_EQ(field_text(err, error::field::arg2), "block!");
  EXPECT_EQ(field_text(err, error::field::arg3), "value1");
  EXPECT_EQ(field_text(err, error::field::where), "add");
  EXPECT_EQ(field_text(err, error::field::near), "[add [1] 2]");

  // The near position is the expression being evaluated, in the innermost block.
  err = error_of("x: 1 g: func [] [y: 2 1 / 0] g");
  EXPECT_EQ(field_text(err, error::field::near), "[1 / 0]");
  EXPECT_EQ(field_text(err, error::field::where), "/");

  // An uncaught throw names the place of the throw; a caught one lends its place to nothing.
  err = error_of("thrower: func [] [throw 1] thrower");
  EXPECT_EQ(field_text(err, error::field::arg1), "1");
  EXPECT_EQ(field_text(err, error::field::where), "thrower");
  err = error_of("thrower: func [] [throw 1] catch [thrower] adder: func [] [add [1] 2] adder");
  EXPECT_EQ(field_text(err, error::field::where), "add");
}

TEST_F(Interp, ErrorsUnwindToTry) {
  struct Case {
    const char* source;
    const char* expected;
  } cases[] = {
      {"try [1]", "1"},
      {"f: func [a] [a / 0] x: try [f 1] 5", "5"},
      // Function contexts are restored by the unwinding: a is the outer call's again.
      {"f: func [a] [if a = 0 [1 / 0] try [f 0] a] f 7", "7"},
      {"f: func [a] [loop 3 [try [1 / 0]] a] f 4", "4"},
      {"catch [throw 1]", "1"},
      {"catch [catch/name [throw/name 2 'a] 'b]", "2"},  // a named throw passes a catch of another name
      {"catch [try [throw 3]]", "3"},                   // a throw passes try
      {"loop 3 [break]", "unset"},
      {"loop 3 [break/return 5]", "5"},
      {"n: 0 loop 5 [n: n + 1 if n = 3 [break]] n", "3"},
      {"g: func [] [break] loop 2 [g 1]", "unset"},  // break reaches the caller's loop
      {"n: 0 while [n < 10] [n: n + 1] n", "10"},
      // Exits raised in a callback that C++ code runs (a change handler) reach their targets.
      {"o: make object! [x: 1 on-change*: func [w old new] [throw 99]] catch [o/x: 2 3]", "99"},
      {"o: make object! [x: 1 on-change*: func [w old new] [break]] loop 3 [o/x: 2 3]", "unset"},
      {"o: make object! [x: 1 on-change*: func [w old new] [if new = 5 [throw 7]]] catch [o/x: 4 o/x: 5 6]", "7"},
  };
  for (const Case& c : cases) EXPECT_EQ(eval(c.source), c.expected) << c.source;
  Cell out = test::none_cell();
  RootCell keep(out);
  ASSERT_TRUE(run("try [1 / 0]", &out));
  EXPECT_EQ(out.type(), u32{type::error});
  EXPECT_EQ(error_id(out), "zero-divide");
}

TEST_F(Interp, MakeNativeRefusesEmptyAndForeignSlots) {
  struct Case {
    const char* source;
    const char* expected;
  } cases[] = {
      {"make native! [[value] 120]", "error: bad-make-arg"},  // an empty slot
      {"make native! [[value] 121]", "error: bad-make-arg"},  // past the table
      {"make action! [[a b] 8]", "error: bad-make-arg"},      // the empty action slot
      {"make action! [[a b] 9]", "error: bad-make-arg"},      // the comparison entry
      {"make action! [[a b] 7]", "error: bad-make-arg"},      // the path step
      {"make native! [[a b] 11]", "make native! [[a b]]"},    // a native slot
      // A spec announcing more refinements than the procedure takes calls it as it is.
      {"n: make native! [[value /a /b /c] 33] n/c 1", "false"},
  };
  for (const Case& c : cases) EXPECT_EQ(eval(c.source), c.expected) << c.source;
}

TEST_F(Interp, RecursionEndsInStackOverflow) {
  Cell err = error_of("f: func [] [f] f");
  RootCell keep(err);
  EXPECT_EQ(error_id(err), "stack-overflow");
  // Catchable, and the system goes on.
  EXPECT_EQ(eval("g: func [n] [g n + 1] e: try [g 1] 1 + 1"), "2");
  EXPECT_EQ(eval("h: func [] [(h)] e: try [h] 3"), "3");
  EXPECT_EQ(eval("f: func [a] [a] f 5"), "5");
}

// The inline operator path gives what the generic action or comparison gives, for every pair of
// representative operands (edges of the 32-bit range, mixed types, incomparable values).
TEST_F(Interp, InlineOperatorsMatchTheGenericPath) {
  collector::enabled = false;  // thousands of small evaluations: a matter of arithmetic, not memory
  const char* operands[] = {"0", "1", "-1", "7", "-7", "2147483647", "-2147483648", "65536", "1.5", "-0.5",
                            "1e308", "#\"a\"", "none", "[1]"};
  const char* ops[][2] = {{"+", "add"},      {"-", "subtract"},      {"*", "multiply"}, {"and", "and~"},
                          {"or", "or~"},     {"xor", "xor~"},        {"=", "equal?"},   {"<>", "not-equal?"},
                          {"==", "strict-equal?"}, {"<", "lesser?"}, {">", "greater?"}, {"<=", "lesser-or-equal?"},
                          {">=", "greater-or-equal?"}};
  for (const auto& op : ops) {
    for (const char* a : operands) {
      for (const char* b : operands) {
        std::string infix = std::string(a) + " " + op[0] + " " + b;
        std::string prefix = std::string(op[1]) + " " + a + " " + b;
        EXPECT_EQ(eval(infix), eval(prefix)) << infix;
      }
    }
  }
}

TEST_F(Interp, StacksBalancedAfterEveryTopLevelExpression) {
  const char* sources[] = {
      "1 + 2",  "f: func [a /r b] [a] f/r 1 2", "try [1 / 0]", "loop 3 [1]", "catch [throw 1]",
      "add [1] 2", "x:", "o: make object! [a: 1] o/a: 2", "b: [1 2] b/1: 3",
  };
  for (const char* s : sources) {
    Cell out = test::none_cell();
    RootCell keep(out);
    run(s, &out);  // run() checks the registers
  }
}

TEST_F(Interp, UnderTortureTheEvaluationStillHolds) {
  u32 every = collector::torture_every;
  collector::set_torture(1);
  EXPECT_EQ(eval("fib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]] fib 10"), "55");
  EXPECT_EQ(eval("o: make object! [a: 1 f: func [x] [a: a + x]] o/f 2 o/f 3 o/a"), "6");
  EXPECT_EQ(eval("b: [] loop 20 [append b [x y]] length? b"), "40");
  EXPECT_EQ(eval("e: try [add [1] 2] 1"), "1");
  collector::set_torture(every);
}

}  // namespace
}  // namespace kiv
