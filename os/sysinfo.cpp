#include "os/sysinfo.h"

#include <sys/utsname.h>

#include <fstream>
#include <sstream>

namespace kiv::os::sysinfo {

std::string name_from_os_release(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.substr(0, 12) != "PRETTY_NAME=") continue;
    line.remove_prefix(12);
    // The value may be quoted, with backslash escapes inside the quotes.
    if (line.size() >= 2 && (line.front() == '"' || line.front() == '\'') && line.back() == line.front()) {
      std::string value;
      for (std::size_t i = 1; i + 1 < line.size(); ++i) {
        if (line[i] == '\\' && i + 2 < line.size()) ++i;
        value += line[i];
      }
      return value.empty() ? "Linux" : value;
    }
    return line.empty() ? "Linux" : std::string(line);
  }
  return "Linux";
}

std::string arch_from_machine(std::string_view machine) {
  if (machine == "x86_64") return "x86-64";
  if (machine == "aarch64" || machine == "arm64") return "ARM64";
  if (machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686") return "x86-32";
  if (machine.substr(0, 3) == "arm") return "ARM";
  return "Unknown";
}

void version_from_release(std::string_view release, u8 version[3], i64& build) {
  // "6.1.0-18-amd64": up to three numbers before the first "-", then the build number after it.
  std::size_t i = 0;
  for (i32 part = 0; part < 3; ++part) {
    i64 n = 0;
    while (i < release.size() && release[i] >= '0' && release[i] <= '9') n = n * 10 + (release[i++] - '0');
    version[part] = static_cast<u8>(std::min<i64>(n, 255));
    if (i < release.size() && release[i] == '.') ++i;
    else {
      for (i32 rest = part + 1; rest < 3; ++rest) version[rest] = 0;
      break;
    }
  }
  build = 0;
  const std::size_t dash = release.find('-');
  if (dash == std::string_view::npos) return;
  for (std::size_t j = dash + 1; j < release.size() && release[j] >= '0' && release[j] <= '9'; ++j)
    build = std::min<i64>(build * 10 + (release[j] - '0'), 0x7FFFFFFF);
}

Info info() {
  Info result{};
  std::ifstream file("/etc/os-release");
  std::stringstream text;
  if (file) text << file.rdbuf();
  result.name = name_from_os_release(text.str());
  utsname u{};
  if (::uname(&u) == 0) {
    result.arch = arch_from_machine(u.machine);
    version_from_release(u.release, result.version, result.build);
  } else {
    result.arch = "Unknown";
  }
  return result;
}

i32 push_info() {
  const Info i = info();
  const i32 block = api::push_block(4);
  api::Scope values;
  api::append(block, api::push_string(i.name));
  api::append(block, api::push_word(i.arch));
  api::append(block, api::push_tuple(i.version, 3));
  api::append(block, api::push_integer(i.build));
  return block;
}

}  // namespace kiv::os::sysinfo
