// Boot initialisation: brings the run-time from nothing to the point where values can be made,
// words exist, the boot literals are decoded and the interpreter can run. Its order is fixed: each
// step relies on the steps before it.
#pragma once
#include "runtime/base.h"

namespace kiv::boot {

// Runs the 27 boot steps once, in order. Called by start_up.
void init_runtime();

// Boot step 16: fills the natives table with the 107 natives. They are written in the layers whose
// services they need (the evaluator's, the codecs' ...): only here are they all in reach.
void init_natives();

// Releases the memory frames and the tracked blocks. No path of the program calls it: the process
// always ends through sys::quit or sys::exit_process.
void shut_down();

}  // namespace kiv::boot
