// The print path shared by `print`, `prin` and the console's own output: text goes to every
// registered value print hook, or to standard output (the console writer) when none is registered.
#pragma once
#include <string_view>

#include "runtime/cell.h"

namespace kiv::natives {

// Puts out a string! value from its head (newline: 1 for print, 0 for prin) and records the
// newline flag as the last-newline state.
void put_text(const Cell* text, bool newline);
// The same for UTF-8 text from C++.
void put_text(std::string_view utf8, bool newline);

// The newline flag of the most recent print (true) or prin (false): the console's `last-lf?`.
bool last_lf_q();

}  // namespace kiv::natives
