#include "runtime/roots.h"

namespace kiv::roots {

// More live guards than the registry holds means runaway recursion in C++ code (a change handler
// that assigns its own field, with a native stack deep enough to hold it). The entry is not taken,
// so the registry stays consistent, and the guards of the frames being unwound give theirs back:
// the program gets the same catchable error as when the native stack itself runs low.
void overflow() { raise_error(ErrorCategory::internal, "stack-overflow"); }

}  // namespace kiv::roots
