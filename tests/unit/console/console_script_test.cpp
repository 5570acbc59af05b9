// The executable without a display, seen from outside: `kiv FILE` and the line loop on standard
// input (prompt, results, error reports, multi-line input, output of print and prin).
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct KivOutput {
  int status = -1;
  std::string out;
};

class ConsoleScript : public ::testing::Test {
 protected:
  fs::path dir;

  void SetUp() override {
    char name[] = "/tmp/kiv-console-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
  }
  void TearDown() override { fs::remove_all(dir); }

  void write(const std::string& file, const std::string& text) {
    std::ofstream(dir / file, std::ios::binary) << text;
  }

  // Runs kiv with the arguments, standard input from the text, no display, a fixed width.
  KivOutput run(const std::string& args, const std::string& input = "") {
    write("stdin.txt", input);
    std::string command = "cd '" + dir.string() + "' && DISPLAY= WAYLAND_DISPLAY= COLUMNS=40 '" KIV_EXE "' " +
                          args + " < stdin.txt 2>&1";
    KivOutput r;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
  }

  KivOutput lines(const std::string& input) { return run("", input); }
};

TEST_F(ConsoleScript, LineLoopPrintsResultsAndGoesOnAfterErrors) {
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

TEST_F(ConsoleScript, RunawayRecursionIsAnErrorAndThePromptComesBack) {
  KivOutput r = lines("f: func [][f] f\n1 + 1\ng: func [n] [1 + g n] g 1\n2 + 2\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("*** Internal Error: stack overflow\n*** Where: f\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n>> == 2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n>> == 4\n"), std::string::npos) << r.out;
}

TEST_F(ConsoleScript, OpenConstructsCollectMoreLines) {
  KivOutput r = lines("[1 2\n]\n{a\nb}\nprint (\n1 + 1)\n]\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(">> [    == [1 2]\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">> {    == \"a^/b\"\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">> (    2\n"), std::string::npos) << r.out;
  // A lone closer is a mismatch: reported at once, not waited on.
  EXPECT_NE(r.out.find("*** Syntax Error"), std::string::npos) << r.out;
}

TEST_F(ConsoleScript, EscapeDropsTheCollectedInput) {
  KivOutput r = lines("[1\n2\x1b\n3\n");
  EXPECT_EQ(r.out, ">> [    (escape)\n>> == 3\n>> ");
}

TEST_F(ConsoleScript, LongResultsAreCutToTheWidth) {
  // Width 40: the limit is 37 characters; a longer text keeps 37 - 3 (prompt) - 1 = 33 and "...".
  KivOutput r = lines("append/dup copy \"\" #\"x\" 100\nappend/dup copy \"\" #\"y\" 35\n");
  EXPECT_NE(r.out.find(">> == {" + std::string(32, 'x') + "...\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">> == \"" + std::string(35, 'y') + "\"\n"), std::string::npos) << r.out;
}

TEST_F(ConsoleScript, UnsetResultsPrintNothingAndPrintWritesItsText) {
  KivOutput r = lines("print \"hi\"\nprin \"a\" prin \"b\" print \"\"\nprint [1 + 1 \"x\"]\n"
                "print [\"a\" (print \"inner\" \"c\")]\n");
  EXPECT_EQ(r.out, ">> hi\n>> ab\n>> 2 x\n>> inner\na c\n>> ");
}

TEST_F(ConsoleScript, ScriptRunsAfterItsHeader) {
  write("ok.kiv", "#!/usr/bin/env kiv\nsome preamble\nKiv [Title: \"ok\"]\nprint 1 + 2\nprint \"done\"\n");
  KivOutput r = run("ok.kiv");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3\ndone\n");
}

TEST_F(ConsoleScript, ScriptFolderBecomesTheCurrentDirectory) {
  fs::create_directory(dir / "sub");
  write("sub/lib.kiv", "Kiv []\nlib-value: 42\n");
  write("sub/main.kiv", "Kiv []\ndo %lib.kiv\nprint lib-value\n");
  KivOutput r = run("sub/main.kiv");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "42\n");
}

TEST_F(ConsoleScript, ScriptErrorsEndWithStatus254) {
  write("bad.kiv", "Kiv []\nprint \"before\"\n1 / 0\nprint \"after\"\n");
  KivOutput r = run("bad.kiv");
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out.rfind("before\n*** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : 1 / 0", 0), 0u)
      << r.out;
  EXPECT_EQ(r.out.find("after"), r.out.rfind("after")) << "the script stops at the error";
}

TEST_F(ConsoleScript, ScriptsThatCannotRun) {
  const struct {
    const char* text;
    const char* report;
  } cases[] = {
      {"print 1\n", "*** Error: Kiv header not found!\n"},
      {"kiv [] print 1\n", "*** Error: Kiv header not found!\n"},  // the header is case-sensitive
      {"Kiv/System [] print 1\n", "*** Error: contains Kiv/System code which requires compilation!\n"},
  };
  for (const auto& c : cases) {
    write("s.kiv", c.text);
    KivOutput r = run("s.kiv");
    EXPECT_EQ(r.status, 1) << c.text;
    EXPECT_EQ(r.out, c.report) << c.text;
  }
  KivOutput missing = run("no-such-file.kiv");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("*** Access Error: cannot open: %no-such-file.kiv"), std::string::npos) << missing.out;
  write("syntax.kiv", "Kiv []\nprint [1\n");
  KivOutput syntax = run("syntax.kiv");
  EXPECT_EQ(syntax.status, 254);
  EXPECT_NE(syntax.out.find("*** Syntax Error"), std::string::npos) << syntax.out;
}

TEST_F(ConsoleScript, CatchOptionKeepsTheLoopAfterTheScript) {
  write("s.kiv", "Kiv []\nx: 5\n");
  KivOutput r = run("--catch s.kiv", "x + 1\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ">> == 6\n>> ");
}

TEST_F(ConsoleScript, ExitsThatLeaveTheTopLevelAreErrors) {
  KivOutput r = lines("break\nreturn 1\nthrow 5\nloop 2 [break/return 9]\n");
  EXPECT_NE(r.out.find("*** Throw Error: no loop to break\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Throw Error: return or exit not in function\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("*** Throw Error: no catch for throw: 5\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">> == 9\n"), std::string::npos) << r.out;
}

// The counter of repeat must not wrap at the top of the integer range. Some 2^31 rounds take about
// two minutes: run with KIV_LONG_TESTS=1.
TEST_F(ConsoleScript, RepeatRunsToTheLargestCountAndEnds) {
  if (!std::getenv("KIV_LONG_TESTS")) GTEST_SKIP() << "set KIV_LONG_TESTS=1 to run";
  KivOutput r = lines("repeat i 2147483647 [] i\nn: 0 loop 2147483647.9 [] 'done\n");
  EXPECT_EQ(r.out, ">> == 2147483647\n>> == done\n>> ");
}

}  // namespace
