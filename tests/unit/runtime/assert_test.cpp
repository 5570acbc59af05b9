// Failed invariants in every build: the report names the broken check, and the process ends with
// the fatal runtime error "assertion failed" (status 98) rather than running on corrupted state.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "runtime/roots.h"
#include "runtime/sys.h"

using namespace kiv;

namespace {

std::string quoted(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

// The whole of standard error after a failed check.
std::string report(const char* message, const char* check, const char* file, int line) {
  return "^\\*\\*\\* Assertion failed: " + quoted(message) + "\n\\*\\*\\* check: " + quoted(check) +
         "\n\\*\\*\\* in: " + quoted(file) + ":" + std::to_string(line) +
         "\n\\*\\*\\* Runtime Error 98: assertion failed\n\\*\\*\\* at: [0-9A-F]{8}h\n$";
}

[[gnu::noinline]] void check_sum(int two) { KIV_ASSERT(two + two == 5, "sums differ"); }
constexpr int check_sum_line = __LINE__ - 1;

}  // namespace

TEST(AssertDeathTest, FailedCheckReportsItsTextFileAndLine) {
  EXPECT_EXIT(check_sum(2), ::testing::ExitedWithCode(98),
              report("sums differ", "two + two == 5", __FILE__, check_sum_line));
}

// An older guard released while a younger one is live would leave the younger one's entry behind,
// pointing at a dead local for the collector to rewrite.
TEST(AssertDeathTest, RootGuardReleasedOutOfOrderStopsTheProcess) {
  EXPECT_EXIT(
      {
        Cell a{};
        Cell b{};
        auto older = std::make_unique<RootCell>(a);
        RootCell younger(b);
        older.reset();
      },
      ::testing::ExitedWithCode(98), "^\\*\\*\\* Assertion failed: root guards released out of order\n");
}
