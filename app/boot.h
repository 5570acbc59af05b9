// Boot initialisation: brings the run-time from nothing to the point where values can be made,
// words exist, the boot literals are decoded and the interpreter can run. Its order is fixed: each
// step relies on the steps before it.
#pragma once
#include "runtime/base.h"

namespace kiv::boot {

// While on, every word made by name is also copied into a fresh cell of the root block and the
// copy is used, so that it can never be collected. On from the start of init_runtime until the
// start-up has fetched the boot literals.
inline bool word_recording = false;

// Runs the 27 boot steps once, in order. Called by start_up.
void init_runtime();

// Releases the memory frames and the tracked blocks. No path of the program calls it: the process
// always ends through sys::quit or sys::exit_process.
void shut_down();

}  // namespace kiv::boot
