// The evaluator's own script runner: `do` of a file while the library provides no do-file, and
// the preprocessor pass that a script run makes over its code. The loading itself is lexer/load.
#pragma once
#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kiv::script {

// Runs the preprocessor over a loaded block when the library provides it (expand-directives).
void expand(Cell* blk);

// `do` of a file! or url! without the library's do-file: reads the file, requires its header, runs
// the code after the header in the file's folder and answers its value in the result cell. Errors
// go up to the caller; break, continue, return, exit and throw do not leave the script.
Exit do_file(Cell* file, const Cell* args);

}  // namespace kiv::script
