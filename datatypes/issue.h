// issue!: a word written with a leading "#". It carries a symbol but is never looked up: it is made
// bound to the global context with index -1, and nothing resolves that index. Its name may be any
// text, blanks and punctuation included. The word! cell layout (word.h).
#pragma once
#include "runtime/cell.h"

namespace kiv::issue {

// Makes the cell an issue! of the name (global context, index -1); answers the cell.
Cell* make_at(Cell* out, const char* name);
// Appends such an issue to the block; answers the new cell.
Cell* load_in_block(const char* name, Cell* block);
// While word recording is on, appends the issue to the root block (answering that cell); otherwise
// pushes it on the value stack.
Cell* load(const char* name);
// Pushes a copy of a word value with the type changed to issue!, flags kept.
Cell* push_as(const Cell* word);

Cell* make(Cell* proto, Cell* spec, u32 type_id);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers issue!.
void init();

}  // namespace kiv::issue
