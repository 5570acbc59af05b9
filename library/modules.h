// The language-level modules: Kiv source files built into the executable and evaluated by the
// start-up, each at its phase, in the order of library/modules.list. Their words are bound in the
// global context, as a script's are.
//
// A module defines a routine! as `name: routine spec body`. The body names the routine's registry
// entry (routine.h) as its first value, a string, a word or a path; an empty body names the entry
// after the word (or path) being set. A definition that no word or path is set to is replaced by
// the routine itself, which is then called where it stands (`(routine [] ["name"])` gives the
// routine's result; inside a function body it runs at each call with the arguments after it). Every name is resolved before the module runs: a module naming an entry
// that no C++ code registered stops the start-up with a message naming both.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "runtime/cell.h"

namespace kiv::library {

struct Module {
  std::string_view name;  // its file, from the top of the source tree
  std::string_view text;  // its source
  i32 phase;
};

// The modules, in evaluation order.
const std::vector<Module>& modules();

// Loads a module's source into `out` (a cell that stays put), positioned after its header.
void load(const Module& m, Cell* out);

// Makes a loaded module ready to run: every routine definition in it (at any depth) is checked
// against the registry and made to build its routine. Answers the registry names no entry carries.
std::vector<std::string> prepare(Cell* code);

// Evaluates every module of a start-up phase.
void run_phase(i32 phase);

}  // namespace kiv::library
