// File descriptors: an owner that closes one, and whole reads and writes that go on through
// interruptions and short transfers.
#pragma once
#include <cstddef>
#include <string_view>

#include "runtime/base.h"

namespace kiv::os {

// Closes its descriptor (when it holds one, not below 0) at the end of its scope.
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int d) : fd(d) {}
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

// Reads until `count` bytes came, the end of the file, or an error other than EINTR; `got` says
// how many came. False on an error.
bool read_fully(int fd, char* into, std::size_t count, std::size_t& got);
// Writes all the bytes, going on after EINTR and short writes; false on an error.
bool write_fully(int fd, const char* bytes, std::size_t count);

// The length in bytes of the first `characters` characters of UTF-8 text (all of it when it has
// fewer); a byte outside a sequence counts as one character.
std::size_t utf8_prefix_length(std::string_view text, i64 characters);

}  // namespace kiv::os
