// The launch from the command line without a display: `kiv FILE` runs a script, `kiv` alone runs
// the console's line loop on standard input. Reading the arguments and choosing the exit status
// are the program's; loading the script is lexer/load, the loop is console/line_loop.
#pragma once
#include <string>

namespace kiv::boot {

// Exit statuses of a script run: a script that could not run at all (no file, no header, not a
// program) ends with `not_run`; an error nothing caught ends with `uncaught` (the -2 of the error
// box, as Linux reports it).
constexpr int not_run = 1;
constexpr int uncaught = 254;

// The entry from the start-up's launch phase: reads the command line (options beginning with "--"
// before the script name; "--catch" keeps the console loop running after the script), runs the
// script or the line loop. Answers the process exit status.
int launch(int argc, char** argv);

// Runs the script file, reporting errors as the console does; answers the exit status.
int run_file(const std::string& path);

}  // namespace kiv::boot
