// tag!: a string written between angle brackets (<div class="x">). It stores its text like string!,
// its parent, and inherits nearly every series action from it; only its text form differs: form and
// mold both write the brackets around the characters, with no quoting or escaping.
//
// Collector contract: as string! (datatypes/string.h).
#pragma once
#include "runtime/cell.h"

namespace kiv::tag {

// Actions. The /part budget counts the two brackets.
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);

// Registers tag! (after string!).
void init();

}  // namespace kiv::tag
