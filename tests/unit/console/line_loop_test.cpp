// The line loop without a display, seen from outside: the prompt, results, error reports,
// multi-line input, and the output of print and prin.
#include <cstdlib>
#include <string>

#include "tests/unit/no_display_fixture.h"

namespace kiv {
namespace {

using test::KivOutput;
using LineLoop = test::NoDisplayRun;

TEST_F(LineLoop, LineLoopPrintsResultsAndGoesOnAfterErrors) {
  KivOutput r = lines("1 + 2\nadd [1] 2\n\"abc\"\n1.5\nx: 10\nx * 2\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            ">> == 3\n"
            ">> *** Script Error: add does not allow block! for its value1 argument\n"
            "*** Where: add\n"
            "*** Near : add [1] 2\n"
            "\n"
            ">> == \"abc\"\n"
            ">> == 1.5\n"          // a float is formed
            ">> == 10\n"
            ">> == 20\n"
            ">> ");
}

TEST_F(LineLoop, RunawayRecursionIsAnErrorAndThePromptComesBack) {
  KivOutput r = lines("f: func [][f] f\n1 + 1\ng: func [n] [1 + g n] g 1\n2 + 2\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("*** Internal Error: stack overflow\n*** Where: f\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n>> == 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n>> == 4\n"), std::string::npos) << r.out;
}

TEST_F(LineLoop, OpenConstructsCollectMoreLines) {
  KivOutput r = lines("[1 2\n]\n{a\nb}\nprint (\n1 + 1)\n]\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(">> [    == [1 2]\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">> {    == \"a^/b\"\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">> (    2\n"), std::string::npos) << r.out;
  // A lone closer is a mismatch: reported at once, not waited on.
  EXPECT_NE(r.out.find("*** Syntax Error"), std::string::npos) << r.out;
}

TEST_F(LineLoop, EscapeDropsTheCollectedInput) {
  KivOutput r = lines("[1\n2\x1b\n3\n");
  EXPECT_EQ(r.out, ">> [    (escape)\n>> == 3\n>> ");
}

TEST_F(LineLoop, LongResultsAreCutToTheWidth) {
  // Width 40: the limit is 37 characters; a longer text keeps 37 - 3 (prompt) - 1 = 33 and "...".
  KivOutput r = lines("append/dup copy \"\" #\"x\" 100\nappend/dup copy \"\" #\"y\" 35\n");
  EXPECT_NE(r.out.find(">> == {" + std::string(32, 'x') + "...\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">> == \"" + std::string(35, 'y') + "\"\n"), std::string::npos) << r.out;
}

TEST_F(LineLoop, DeepResultsAndErrorsHoldingThemPrintCut) {
  // Nested past the depth a whole mold can reach: the cut text needs only what it shows.
  KivOutput r = lines("b: [] loop 3000 [b: reduce [b]] b\nto integer! b\n1 + 1\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(">> == [[[[[[[[[["), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Script Error: cannot MAKE/TO integer! from: [[[[[["), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n>> == 2\n"), std::string::npos) << r.out;
}

TEST_F(LineLoop, UnsetResultsPrintNothingAndPrintWritesItsText) {
  KivOutput r = lines("print \"hi\"\nprin \"a\" prin \"b\" print \"\"\nprint [1 + 1 \"x\"]\n"
                "print [\"a\" (print \"inner\" \"c\")]\n");
  EXPECT_EQ(r.out, ">> hi\n>> ab\n>> 2 x\n>> inner\na c\n>> ");
}

TEST_F(LineLoop, ExitsThatLeaveTheTopLevelAreErrors) {
  KivOutput r = lines("break\nreturn 1\nthrow 5\nloop 2 [break/return 9]\n");
  EXPECT_NE(r.out.find("*** Throw Error: no loop to break\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Throw Error: return or exit not in function\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Throw Error: no catch for throw: 5\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">> == 9\n"), std::string::npos) << r.out;
}

// The counter of repeat must not wrap at the top of the integer range. Some 2^31 rounds take about
// two minutes: run with KIV_LONG_TESTS=1.
TEST_F(LineLoop, RepeatRunsToTheLargestCountAndEnds) {
  if (!std::getenv("KIV_LONG_TESTS")) GTEST_SKIP() << "set KIV_LONG_TESTS=1 to run";
  KivOutput r = lines("repeat i 2147483647 [] i\nn: 0 loop 2147483647.9 [] 'done\n");
  EXPECT_EQ(r.out, ">> == 2147483647\n>> == done\n>> ");
}

}  // namespace
}  // namespace kiv
