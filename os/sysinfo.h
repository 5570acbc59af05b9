// What system this is: the distribution's name, the processor architecture and the kernel release.
#pragma once
#include <string>
#include <string_view>

#include "api/api.h"

namespace kiv::os::sysinfo {

struct Info {
  std::string name;  // PRETTY_NAME of /etc/os-release, else "Linux"
  std::string arch;  // x86-64, x86-32, ARM, ARM64 or Unknown
  u8 version[3];     // the kernel release's first three numbers
  i64 build;         // the number after the release's first "-", else 0
};

Info info();

// The pieces of info(), from the texts they are made of.
std::string name_from_os_release(std::string_view text);
std::string arch_from_machine(std::string_view machine);
void version_from_release(std::string_view release, u8 version[3], i64& build);

// Pushes the block [name arch version build] (a string!, a word!, a tuple! and an integer!), the
// values of the os-info object in its word order.
i32 push_info();

}  // namespace kiv::os::sysinfo
