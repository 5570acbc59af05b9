// What the language cannot reach of the control, word and output natives: the argument check that
// compiled-style callers ask for, and the print path through the value print hooks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/natives.h"
#include "evaluator/natives_output.h"
#include "runtime/hooks.h"
#include "runtime/print_hooks.h"
#include "runtime/roots.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

std::string raised_id(auto&& body) {
  try {
    body();
  } catch (const LanguageError& e) {
    return e.id ? e.id : "";
  }
  return "";
}

TEST(NativesControl, CheckedCallsRefuseArgumentsOfOtherTypes) {
  test::boot_core();
  Cell blk = test::ints({1}), text;
  RootCell keep_blk(blk), keep_text(text);
  string::make_from_utf8(&text, "x");
  const Cell yes = test::logic_cell(true), one = test::int_cell(1);
  // Pointers to the rooted cells: a collection during the calls moves what they refer to.
  const struct {
    const char* what;
    std::vector<const Cell*> args;
    Exit (*call)(bool);
  } cases[] = {
      {"if: a body that is no block", {&yes, &one}, [](bool c) { return natives::if_(c); }},
      {"loop: a count that is no number", {&text, &blk}, [](bool c) { return natives::loop(c); }},
      {"while: a condition that is no block", {&one, &blk}, [](bool c) { return natives::while_(c); }},
      {"any: no block", {&one}, [](bool c) { return natives::any(c); }},
      {"func: a spec that is no block", {&text, &blk}, [](bool c) { return natives::func(c); }},
  };
  for (const auto& c : cases) {
    stack::Call call;
    for (const Cell* a : c.args) stack::push_value(a);
    EXPECT_EQ(raised_id([&] { (void)c.call(true); }), "expect-arg") << c.what;
    stack::top = stack::arguments;
  }
  // Unchecked, the same if is the caller's business; checked with the right types it runs.
  stack::Call call;
  const Cell no = test::logic_cell(false);
  stack::push_value(&no);
  stack::push_value(&blk);
  EXPECT_EQ(natives::if_(true), Exit::none);
  EXPECT_EQ(stack::arguments->type(), type::none);
}

struct Printed {
  std::string text;
  i32 newline;
};
std::vector<Printed> printed;
void hook(const Cell* text, i32 newline) { printed.push_back({string::to_utf8(text), newline}); }

TEST(NativesOutput, PrintGoesToTheValueHooksWithItsNewlineFlag) {
  test::boot_core();
  printed.clear();
  print_hooks::register_(hook, nullptr);
  Cell blk = test::ints({1, 2, 3}), hello;
  RootCell keep_blk(blk), keep_hello(hello);
  string::make_from_utf8(&hello, "hello");
  {
    stack::Call call;
    stack::push_value(&hello);
    EXPECT_EQ(natives::prin(false), Exit::none);
    EXPECT_EQ(stack::arguments->type(), type::unset);
  }
  EXPECT_FALSE(natives::last_lf_q());
  {
    stack::Call call;
    stack::push_value(&blk);
    EXPECT_EQ(natives::print(false), Exit::none);
  }
  EXPECT_TRUE(natives::last_lf_q()) << "prin then print leaves the last-newline state at print's";
  {
    stack::Call call;
    Cell n = test::int_cell(42);
    stack::push_value(&n);
    EXPECT_EQ(natives::print(false), Exit::none);
  }
  print_hooks::unregister(hook, nullptr);
  ASSERT_EQ(printed.size(), 3u);
  EXPECT_EQ(printed[0].text, "hello");
  EXPECT_EQ(printed[0].newline, 0);
  EXPECT_EQ(printed[1].text, "1 2 3");  // a block is reduced and formed
  EXPECT_EQ(printed[1].newline, 1);
  EXPECT_EQ(printed[2].text, "42");
  EXPECT_EQ(series::total_length(natives::print_buffer()), 0) << "the print buffer is cut back";
}

}  // namespace
}  // namespace kiv
