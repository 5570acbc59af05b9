// The launch from the command line, seen from outside: `kiv FILE` runs the script after its header
// in its folder, the exit statuses of a script that fails or cannot run, and --catch.
#include <filesystem>
#include <string>

#include "tests/unit/no_display_fixture.h"

namespace kiv {
namespace {

namespace fs = std::filesystem;
using test::KivOutput;
using Launch = test::NoDisplayRun;

TEST_F(Launch, ScriptRunsAfterItsHeader) {
  write("ok.kiv", "#!/usr/bin/env kiv\nsome preamble\nKiv [Title: \"ok\"]\nprint 1 + 2\nprint \"done\"\n");
  KivOutput r = run("ok.kiv");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3\ndone\n");
}

TEST_F(Launch, ScriptFolderBecomesTheCurrentDirectory) {
  fs::create_directory(dir / "sub");
  write("sub/lib.kiv", "Kiv []\nlib-value: 42\n");
  write("sub/main.kiv", "Kiv []\ndo %lib.kiv\nprint lib-value\n");
  KivOutput r = run("sub/main.kiv");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "42\n");
}

TEST_F(Launch, ScriptErrorsEndWithStatus254) {
  write("bad.kiv", "Kiv []\nprint \"before\"\n1 / 0\nprint \"after\"\n");
  KivOutput r = run("bad.kiv");
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out.rfind("before\n*** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : 1 / 0", 0), 0u)
      << r.out;
  EXPECT_EQ(r.out.find("after"), r.out.rfind("after")) << "the script stops at the error";
}

TEST_F(Launch, ScriptsThatCannotRun) {
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

TEST_F(Launch, CatchOptionKeepsTheLoopAfterTheScript) {
  write("s.kiv", "Kiv []\nx: 5\n");
  KivOutput r = run("--catch s.kiv", "x + 1\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ">> == 6\n>> ");
}

}  // namespace
}  // namespace kiv
