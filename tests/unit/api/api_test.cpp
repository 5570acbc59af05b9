// The slot API: natives written only on it (api_natives.cpp), called from the language, with every
// allocation collecting and moving memory under them; and the errors its misuse raises.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>

#include "api/api.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/api/api_natives.h"
#include "tests/unit/core_fixture.h"
#include "tests/unit/interp_natives.h"

namespace kiv {
namespace {

class Api : public ::testing::Test {
 protected:
  // The natives take the last slots of the table for the test; whatever held them comes back after.
  void SetUp() override {
    test::interp::boot_language();
    std::copy(std::begin(natives::table), std::end(natives::table), saved_table_.begin());
    saved_next_ = natives::next_free;
    natives::next_free = natives::slot_count - 3;
    using namespace test::api_natives;
    test::interp::define_native("api-collect", natives::entry(&collect),
                                "text [any-type!] n [any-type!] data [any-type!] /scale factor [float!]");
    test::interp::define_native("api-describe", natives::entry(&describe), "items [block!]");
    test::interp::define_native("api-open", natives::entry(&open), "target [any-type!]");
    test::interp::define_native("api-totals", natives::entry(&totals), "items [block!]");
    saved_enabled_ = collector::enabled;
    collector::enabled = true;  // KIV_TORTURE then collects as the evaluation allocates
  }
  void TearDown() override {
    collector::enabled = saved_enabled_;
    std::copy(saved_table_.begin(), saved_table_.end(), std::begin(natives::table));
    natives::next_free = saved_next_;
  }

  // The molded value of the source, or the first line of the error's report; the stacks must stand
  // where they stood.
  static std::string eval(const std::string& source) {
    Cell* top = stack::top;
    stack::Frame* frames = stack::frame_top;
    Cell out = test::none_cell();
    RootCell keep(out);
    const bool ok = interpreter::do_text_safe(source, &out);
    EXPECT_EQ(stack::top, top) << source;
    EXPECT_EQ(stack::frame_top, frames) << source;
    if (ok) return test::mold_text(out);
    const std::string report = error::report(&out);
    return report.substr(0, report.find('\n'));
  }

 private:
  std::array<natives::Slot, natives::slot_count> saved_table_{};
  i32 saved_next_ = 0;
  bool saved_enabled_ = false;
};

TEST_F(Api, NativesWrittenOnTheApiWorkFromTheLanguageWhileTheCollectorMovesEverything) {
  const struct {
    const char* source;
    const char* expected;
  } cases[] = {
      {"api-collect {héllo} 21 #{010203}", R"(["héllo-21" 5 #{030201} héllo none false])"},
      {"api-collect/scale %a.txt -4 #{} 0.5", R"(["a.txt--4" 5 #{} a.txt -2.0 true])"},
      {"api-collect 1 2 #{}", "*** Script Error: api-collect does not allow integer! for its text argument"},
      {"api-collect {x} 2 {y}", "*** Script Error: api-collect does not allow string! for its data argument"},
      {"api-describe [1 2.5 {x} w [a b] %f]", R"({1 2.5 "x" w [2] file!})"},
      {"api-describe api-collect {ab} 3 #{}", R"({"ab-3" 2 binary! ab none yes})"},
      {"api-open %nowhere.txt", "*** Access Error: cannot open: %nowhere.txt"},
      {"api-totals [1 2 3]", "[1 3 6]"},
      {"api-totals []", "[]"},
      {"api-totals [1 {x} 3]", R"(*** Script Error: api error: "integer-of: slot 2 holds string!, not integer!")"},
      {"api-totals [2147483647 1]", "*** Math Error: math or number overflow"},
  };
  for (const auto& c : cases) EXPECT_EQ(eval(c.source), c.expected) << c.source;
  test::Torture torture;
  for (const auto& c : cases) EXPECT_EQ(eval(c.source), c.expected) << "under torture: " << c.source;
}

// The error a body raises: its id and, for a misuse, the text naming it.
std::string raised(const std::function<void()>& body) {
  try {
    body();
  } catch (const LanguageError& e) {
    std::string text = e.id ? e.id : "?";
    if (e.arg_count == 2 && string::any_string_q(e.args[1].type())) text += ": " + string::to_utf8(&e.args[1]);
    return text;
  }
  return "nothing raised";
}

TEST_F(Api, MisuseRaisesAnErrorNamingTheAccessorAndTheSlot) {
  Cell text;
  RootCell keep(text);
  string::make_from_utf8(&text, "x");
  const Cell n = test::int_cell(1);
  const struct {
    const char* expected;
    std::function<void()> body;
  } cases[] = {
      {"bad-bad: integer-of: slot 0 holds string!, not integer!", [] { api::integer_of(0); }},
      {"bad-bad: text-of: slot 1 holds integer!, not text", [] { api::text_of(1); }},
      {"bad-bad: text-of: slot 2 is out of range (2 slots)", [] { api::text_of(2); }},
      {"bad-bad: type-of: slot -1 is out of range (2 slots)", [] { api::type_of(-1); }},
      {"bad-bad: push-element: slot 0 holds string!, not a block", [] { api::push_element(0, 0); }},
      {"bad-bad: push-element: index 1 is outside the 1 values of slot 2",
       [] {
         const i32 b = api::push_block(1);
         api::append(b, 1);
         api::push_element(b, 1);
       }},
      {"bad-bad: append: slot 1 holds integer!, not a block", [] { api::append(1, 0); }},
      {"bad-bad: raise-value: slot 0 holds string!, not error!", [] { api::raise_value(0); }},
      {"bad-bad: push-word: the name is empty", [] { api::push_word(""); }},
      {"expect-arg", [] { api::expect(0, api::Type::integer); }},
      {"overflow", [] { api::push_integer(i64{1} << 31); }},
      {"invalid-utf8", [] { api::push_word("a\xFF"); }},
      {"invalid-utf8", [] { api::push_word("a\xC3"); }},
  };
  for (const auto& c : cases) {
    test::call({text, n}, [&] { EXPECT_EQ(raised(c.body), c.expected); });
  }
}

TEST_F(Api, ValuesReadBackAsPushedAndScopesAndProtectCutTheStack) {
  test::Torture torture;
  test::call({}, [] {
    EXPECT_EQ(api::text_of(api::push_string("a\xFF" "b\xE2\x82")), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD")
        << "each stray byte becomes U+FFFD";
    const std::string bytes("\0\xFFz", 3);
    EXPECT_EQ(api::bytes_of(api::push_binary(bytes)), bytes);
    EXPECT_EQ(api::word_name(api::push_word("naïve")), "naïve");
    EXPECT_EQ(api::float_of(api::push_float(-0.25)), -0.25);
    EXPECT_EQ(api::integer_of(api::push_integer(-2147483648LL)), -2147483648LL);
    EXPECT_TRUE(api::none_q(api::push_none()));
    EXPECT_FALSE(api::logic_of(api::push_logic(false)));
    const i32 count = api::slot_count();
    {
      api::Scope scope;
      api::push_block(3);
      api::push_string("dropped");
    }
    EXPECT_EQ(api::slot_count(), count);
    const i32 err = api::protect([] {
      api::push_string("dropped too");
      api::raise(ErrorCategory::script, "invalid-arg", api::push_integer(7));
    });
    EXPECT_EQ(err, count) << "the error takes the first slot the body had";
    EXPECT_EQ(api::type_of(err), api::Type::error);
    EXPECT_EQ(api::protect([] { api::push_none(); }), -1);
    const i32 again = api::protect([err] { api::raise_value(err); });
    EXPECT_EQ(std::memcmp(stack::arguments + again, stack::arguments + err, sizeof(Cell)), 0)
        << "the error! value itself travels";
  });
}

}  // namespace
}  // namespace kiv
