// datatype!: a value naming a type; payload word 1 holds the type id it names. Its only actions
// are form (the name without "!"), mold (the full name, "#(name!)" with /all) and comparison.
#pragma once
#include "datatypes/registry.h"
#include "runtime/cell.h"

namespace kiv::datatype {

inline Cell* make_at(Cell* out, u32 type_id) {
  *out = Cell{type::datatype, type_id, 0, 0};
  return out;
}
inline u32 id_of(const Cell* value) { return value->w1; }

// A new datatype! cell naming the id on the value stack.
Cell* push(u32 type_id);
// A new datatype! cell at the block's tail; returns it.
Cell* add_to_block(Cell* block, u32 type_id);

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers datatype!.
void init();

}  // namespace kiv::datatype
