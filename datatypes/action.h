// action!: one of the 62 generic actions of the actions table, which dispatch on the datatype of
// their first argument. The cell is laid out as a native!'s (native.h), word 1 holding the slot in
// the actions table (evaluator/natives.h); reflect is native!'s.
//
// (This is the datatype. The generic entries and the dispatch itself are datatypes/dispatch.h.)
#pragma once
#include "runtime/cell.h"

namespace kiv::action {

// Actions. make is native!'s maker reading the actions table.
Cell* make(Cell* proto, Cell* spec, u32 type_id);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers action! (parent native!).
void init();

}  // namespace kiv::action
