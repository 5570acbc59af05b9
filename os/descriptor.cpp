#include "os/descriptor.h"

#include <unistd.h>

#include <cerrno>

namespace kiv::os {

Descriptor::~Descriptor() {
  if (fd >= 0) ::close(fd);
}

bool read_fully(int fd, char* into, std::size_t count, std::size_t& got) {
  got = 0;
  while (got < count) {
    const ssize_t n = ::read(fd, into + got, count - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool write_fully(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

std::size_t utf8_prefix_length(std::string_view text, i64 characters) {
  std::size_t i = 0;
  for (; characters > 0 && i < text.size(); --characters) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return i;
}

}  // namespace kiv::os
