// The OS layer's pieces that the language reaches only later (folder making, os-info) or only in
// part (the text rules behind paths, commands and headers).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "api/api.h"
#include "datatypes/error.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "os/files.h"
#include "os/http.h"
#include "os/process.h"
#include "os/sysinfo.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"
#include "tests/unit/interp_natives.h"

namespace kiv {
namespace {

TEST(OsText, FolderPathsAreToldByTheirFormAlone) {
  const std::pair<const char*, bool> cases[] = {
      {"", false},      {"a", false},       {"a/", true},     {"a\\", true},   {".", true},
      {"..", true},     {"...", false},     {"a/.", true},    {"a/..", true},  {"a/...", false},
      {"a.", false},    {"a..", false},     {"/", true},      {"x/.b", false}, {"\\..", true},
  };
  for (const auto& [path, folder] : cases) EXPECT_EQ(os::files::dir_path_q(path), folder) << path;
}

TEST(OsText, LineEndsFoldToLf) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\r\nb", "a\nb"}, {"a\rb", "a\nb"}, {"\r\r\n", "\n\n"}, {"\n\r", "\n\n"}, {"\r", "\n"}, {"", ""},
  };
  for (auto [in, out] : cases) {
    std::string text = in;
    os::files::fold_line_ends(text);
    EXPECT_EQ(text, out);
  }
}

TEST(OsText, CommandsSplitAtBlanksOutsideQuotes) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"ls -l  /tmp", {"ls", "-l", "/tmp"}},
      {"\tprog\t a ", {"prog", "a"}},
      {R"(echo "a b" c)", {"echo", "a b", "c"}},
      {R"(x"y z"w)", {"xy zw"}},
      {R"(a "" b)", {"a", "", "b"}},
      {R"("unclosed quote)", {"unclosed quote"}},
      {"", {}},
      {"   ", {}},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(os::process::split_command(line), words) << line;
}

TEST(OsText, ResponseHeaderLinesAndWireUrls) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(os::http::parse_header_lines("A: 1\r\nB:2\r\nno colon\r\n: empty name\r\nC:  x: y \r\n\r\n"),
            (Pairs{{"A", "1"}, {"B", "2"}, {"C", "x: y "}}));
  EXPECT_EQ(os::http::parse_header_lines("Bad Name: 1\nGood: 2\n"), (Pairs{{"Good", "2"}}));
  EXPECT_EQ(os::http::wire_url("http://h/a b?q=\"é\"&r=%41"), "http://h/a%20b?q=%22%C3%A9%22&r=%41");
}

TEST(OsText, SystemDescriptionFromItsSources) {
  EXPECT_EQ(os::sysinfo::name_from_os_release("NAME=x\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(os::sysinfo::name_from_os_release("PRETTY_NAME='A \\\"q\\\"'"), "A \"q\"");
  EXPECT_EQ(os::sysinfo::name_from_os_release("PRETTY_NAME=Plain"), "Plain");
  EXPECT_EQ(os::sysinfo::name_from_os_release("ID=x\n"), "Linux");
  const std::pair<const char*, const char*> arches[] = {{"x86_64", "x86-64"}, {"aarch64", "ARM64"},
                                                        {"i686", "x86-32"},   {"armv7l", "ARM"},
                                                        {"riscv64", "Unknown"}};
  for (const auto& [machine, arch] : arches) EXPECT_EQ(os::sysinfo::arch_from_machine(machine), arch);
  const struct {
    const char* release;
    std::array<u8, 3> version;
    i64 build;
  } releases[] = {
      {"6.1.0-18-amd64", {6, 1, 0}, 18}, {"5.15.153.1-microsoft-standard-WSL2", {5, 15, 153}, 0},
      {"4.19", {4, 19, 0}, 0}, {"6.8.0-1015-gcp", {6, 8, 0}, 1015}, {"300.2.1", {255, 2, 1}, 0},
  };
  for (const auto& r : releases) {
    u8 version[3];
    i64 build = -1;
    os::sysinfo::version_from_release(r.release, version, build);
    EXPECT_EQ((std::array<u8, 3>{version[0], version[1], version[2]}), r.version) << r.release;
    EXPECT_EQ(build, r.build) << r.release;
  }
}

// Folder making and the os-info values, reached from the language through test natives.
Exit make_dir_native(bool) { return api::result(api::push_logic(os::files::make_dir(0))); }
Exit os_info_native(bool) { return api::result(os::sysinfo::push_info()); }

TEST(OsServices, MakeDirAndOsInfoFromTheLanguage) {
  test::interp::boot_language();
  std::array<natives::Slot, natives::slot_count> saved{};
  std::copy(std::begin(natives::table), std::end(natives::table), saved.begin());
  const i32 saved_next = natives::next_free;
  natives::next_free = natives::slot_count - 2;
  test::interp::define_native("os-make-dir", natives::entry(&make_dir_native), "path [file!]");
  test::interp::define_native("os-info-values", natives::entry(&os_info_native), "");
  auto eval = [](const std::string& source) {
    Cell out = test::none_cell();
    RootCell keep(out);
    if (interpreter::do_text_safe(source, &out)) return test::mold_text(out);
    const std::string report = error::report(&out);
    return report.substr(0, report.find('\n'));
  };
  const std::string dir = "/tmp/kiv-make-dir-" + std::to_string(::getpid());
  EXPECT_EQ(eval("os-make-dir %" + dir), "true");
  struct stat st {};
  EXPECT_TRUE(::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_EQ(eval("os-make-dir %" + dir), "false");  // it is there already
  EXPECT_EQ(eval("os-make-dir %/nonexistent-folder/x"), "false");
  ::rmdir(dir.c_str());
  const std::string info = eval("os-info-values");
  const os::sysinfo::Info expected = os::sysinfo::info();
  EXPECT_EQ(info.substr(0, expected.name.size() + 3), "[\"" + expected.name + "\"") << info;
  std::copy(saved.begin(), saved.end(), std::begin(natives::table));
  natives::next_free = saved_next;
}

}  // namespace
}  // namespace kiv
