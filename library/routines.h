// The C++ procedures behind the routines the library modules define, in the routine registry.
#pragma once
#include <string>

namespace kiv::library {

// The whole command line as one string, as system/script/args starts (set by the start-up before
// the modules run).
inline std::string command_line;

// Registers every routine of the modules (once; later calls do nothing).
void register_routines();

// The system object's own routines (library/system.cpp); register_routines calls it.
void register_system_routines();

// Sets system/options/path to the current folder after C++ code changed folders (the launch of a
// script).
void follow_current_dir();

// Installs the hooks through which the run-time reads the system object.
void install_system_hooks();

}  // namespace kiv::library
