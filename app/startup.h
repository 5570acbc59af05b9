// The program's start-up: prepares the process, runs the boot initialisation, makes the program's
// words, runs the top-level code of the language-level modules in order and launches the console.
// It never returns: every end of the process goes through sys::quit or sys::exit_process.
#pragma once
#include <cstdint>
#include <string>

#include "runtime/base.h"

namespace kiv::boot {

[[noreturn]] void start_up(int argc, char** argv);

// The start-up without the process set-up and the launch: from nothing to a run-time whose language
// is ready to evaluate. For programs that embed the run-time (benchmarks, fuzz targets); they set
// the stack bounds first.
void start_language();

// The machine stack pointer just before boot initialisation: nothing the run-time made lies in
// frames above it.
inline std::uintptr_t startup_stack_limit = 0;

// The whole command line as one string (system/script/args): the arguments joined with single
// spaces, an argument that holds a blank or a tab (or is empty) wrapped in double quotes, so that
// splitting at blanks and tabs outside quotes gives the arguments back.
std::string command_line();
std::string join_arguments(int argc, const char* const* argv);

}  // namespace kiv::boot
