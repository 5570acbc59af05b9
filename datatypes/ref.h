// ref!: a string written with a leading "@" (@name), a reference for the layout dialect. It is a
// string! (its parent) in every respect but its molded form and the actions it drops: random, path
// access, arithmetic, append, put, sort, trim and the port actions other than modify.
//
// Collector contract: as string! (datatypes/string.h).
#pragma once
#include "runtime/cell.h"

namespace kiv::ref {

// "@" and the characters as string!'s form writes them; the /part budget counts the "@".
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);

// Registers ref! (after string!).
void init();

}  // namespace kiv::ref
