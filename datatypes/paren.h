// paren!: a block written in parentheses, which the interpreter evaluates in place. In storage and
// in every action but mold (and trim, which it lacks) it is a block!.
#pragma once
#include "runtime/cell.h"

namespace kiv::paren {

// Replaces the cell's whole header by paren! and pushes a copy on the value stack.
Cell* push_as(Cell* value);

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);

// Registers paren!.
void init();

}  // namespace kiv::paren
