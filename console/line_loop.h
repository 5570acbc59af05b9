// The line loop: without a display, `kiv` reads lines from standard input and prints results the
// way the console does (">> " prompt, "== " before a result, "*** " error reports), going on after
// an error. This is what the console engine does on a terminal until the engine itself is written
// in the language; the GUI console replaces it.
#pragma once
#include <string_view>

#include "runtime/cell.h"

namespace kiv::console {

// The line loop on standard input until its end; answers the exit status (0).
int run_lines(bool banner);

// The console's evaluation of one complete input: loads it, evaluates it under protection, prints
// the result ("== " and the molded value cut to the console width) or the error. Exposed for tests.
void do_command(std::string_view input);

// Whether collected input is complete: 0 complete (or an error more input cannot mend), otherwise
// the delimiter of the innermost construct still open ('[', '(', '{' or '"').
char open_delimiter(std::string_view input);

// Prints an error as the console does: the formed error and a line feed, in one print.
void print_error(const Cell* err);

// The console width in characters (the terminal's, else COLUMNS, else 80).
int console_width();

}  // namespace kiv::console
