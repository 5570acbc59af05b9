// What the line loop and launch tests share: the real executable run without a display, in a
// fresh folder, with standard input from a text and a fixed console width.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kiv::test {

struct KivOutput {
  int status = -1;
  std::string out;
};

class NoDisplayRun : public ::testing::Test {
 protected:
  std::filesystem::path dir;

  void SetUp() override {
    char name[] = "/tmp/kiv-console-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

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

}  // namespace kiv::test
