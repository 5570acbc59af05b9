// The OS layer's start: installs the hooks through which the core reaches files and HTTP, and
// readies the process for children.
#pragma once

namespace kiv::os {

void install_services();

}  // namespace kiv::os
