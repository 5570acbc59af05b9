#include "runtime/roots.h"

#include "runtime/sys.h"

namespace kiv::roots {

// More live guards than the registry holds means runaway recursion in C++ code: nothing can be
// marked safely past this point.
void overflow() { sys::quit(98, 0); }

}  // namespace kiv::roots
