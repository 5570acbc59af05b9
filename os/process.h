// Child processes: the body of the native `call`. A program starts through /bin/sh -c (asked for,
// or when it is not found as a program) or directly with its arguments split from the command;
// its input, output and error go to files, to the null device or through pipes, which one poll
// loop writes and drains together, so no child's output can block it.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "api/api.h"

namespace kiv::os::process {

// A command split as the start-up splits its own command line: at blanks and tabs; a double quote
// switches splitting off until the next one, and the quotes are dropped.
std::vector<std::string> split_command(std::string_view line);

// Reaps the children started without waiting that have ended since; answers how many still run.
// Each `call` starts with it; an event loop calls it in its idle time.
i32 reap();

}  // namespace kiv::os::process
