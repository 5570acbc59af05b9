// The C++ side of the load/save, URL and file modules.
#pragma once

namespace kiv::library::libio {

// Installs the URL parser hook and registers the modules' routines; runs before the modules of
// the general functions are prepared.
void init();

}  // namespace kiv::library::libio
