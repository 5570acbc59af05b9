// Minimal runtime services; completed with the start-up sequence.
#include "runtime/sys.h"

#include <cstdio>
#include <cstdlib>

namespace kiv::sys {

const char* runtime_error_text(i32 code) {
  switch (code) {
    case 94: return "out of memory";
    case 95: return "no CATCH for THROW";
    default: return "unknown error code!";
  }
}

void quit(i32 code, u32 address) {
  std::fflush(stdout);
  if (code) std::fprintf(stderr, "*** Runtime Error %d: %s\n*** at: %08Xh\n", code, runtime_error_text(code), address);
  std::fflush(stderr);
  std::_Exit(code & 255);
}

}  // namespace kiv::sys
