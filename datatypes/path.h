// The path family: path!, lit-path!, set-path! and get-path!. Series of values written with
// slashes (a word followed by refinements or indexes). In storage and in most actions they are
// blocks (block.h layout: w1 the head index, w2 the series node); they differ from block! in how
// they are made, converted, formed and molded, and they have no random, sort or trim. Evaluating
// them belongs to the interpreter.
#pragma once
#include "runtime/cell.h"

namespace kiv::path {

inline bool any_path_q(u32 t) { return t >= type::path && t <= type::get_path; }

// Makes the cell an empty path! (head 0) with room for n cells (at least 1); answers the cell.
Cell* make_at(Cell* out, i32 n);
// Replaces the cell's whole header by path! and pushes a copy on the value stack.
Cell* push_as(Cell* value);

// Actions (path! entries; the other three types inherit them but mold).
Cell* make(Cell* proto, Cell* spec, u32 type_id);
Cell* to(Cell* proto, Cell* spec, u32 type_id);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);

// Registers path!.
void init();

}  // namespace kiv::path

namespace kiv::lit_path {
Cell* push_as(Cell* value);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
void init();
}  // namespace kiv::lit_path

namespace kiv::set_path {
Cell* push_as(Cell* value);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
void init();
}  // namespace kiv::set_path

namespace kiv::get_path {
Cell* push_as(Cell* value);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
void init();
}  // namespace kiv::get_path
