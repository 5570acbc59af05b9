#include "runtime/hooks.h"

#include <cstdio>

#include "runtime/sys.h"

namespace kiv::hooks {

Entry*& entries() {
  static Entry* first = nullptr;
  return first;
}

void check() {
  std::string missing;
  for (const Entry* e = entries(); e; e = e->next) {
    if (e->need == Need::required && !e->installed)
      missing += std::string("*** Boot Error: hook ") + e->name + " is not set (" + e->provider + " sets it)\n";
  }
  if (missing.empty()) return;
  std::fputs(missing.c_str(), stderr);
  sys::quit(sys::Fatal::assertion, 0);
}

}  // namespace kiv::hooks
