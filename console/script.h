// Running without a display: `kiv FILE` runs a script, `kiv` alone reads lines from standard input
// and prints results the way the console does (">> " prompt, "== " before a result, "*** " error
// reports), going on after an error. This is what the console engine does on a terminal until the
// engine itself is written in the language.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kiv::script {

// Exit statuses of a script run: a script that could not run at all (no file, no header, not a
// program) ends with `not_run`; an error nothing caught ends with `uncaught` (the -2 of the error
// box, as Linux reports it).
constexpr int not_run = 1;
constexpr int uncaught = 254;

// The position of the script header in source text: "Kiv", optionally "/System", any white space
// (blank, tab, CR, LF), then "[" (case-sensitive; the first such place). npos when there is none.
std::size_t find_header(std::string_view text);

// The entry from the start-up's launch phase: reads the command line (options beginning with "--"
// before the script name; "--catch" keeps the console loop running after the script), runs the
// script or the line loop. Answers the process exit status.
int launch(int argc, char** argv);

// Runs the script file; answers the exit status.
int run_file(const std::string& path);

// The line loop on standard input until its end; answers the exit status (0).
int run_lines(bool banner);

// The console's evaluation of one complete input: loads it, evaluates it under protection, prints
// the result ("== " and the molded value cut to the console width) or the error. Exposed for tests.
void do_command(std::string_view input);

// Whether collected input is complete: 0 complete (or an error more input cannot mend), otherwise
// the delimiter of the innermost construct still open ('[', '(', '{' or '"').
char open_delimiter(std::string_view input);

// `do` of a file! or url! without the library's do-file: reads the file, requires its header, runs
// the code after the header in the file's folder and answers its value in the result cell. Errors
// go up to the caller; break, continue, return, exit and throw do not leave the script.
Exit do_file(Cell* file, const Cell* args);

// The console width in characters (the terminal's, else COLUMNS, else 80).
int console_width();

}  // namespace kiv::script
