// Case tables: case mapping of single code points and of strings in place, the ground of every
// case-insensitive comparison, of the case folding before hashing, and of uppercase / lowercase.
//
// Each code point maps to the first code point of its full, unconditional Unicode 11.0 mapping
// (U+00DF goes up to U+0053, U+0130 down to U+0069), so a string keeps its length. The Basic
// Multilingual Plane is looked up in two 64K tables built once at boot; code points above 0xFFFF in
// short sorted lists.
#pragma once
#include "runtime/cell.h"

namespace kiv::unicode {

struct CasePair {
  i32 key;
  i32 mapped;
};

// The pair lists (runtime/case_table_data.inc, made by tools/gen-case-tables.py).
namespace case_data {
#include "runtime/case_table_data.inc"
}  // namespace case_data

// The BMP tables: 65,536 entries each, 0 meaning "maps to itself". Null until built.
inline i32* to_upper_table = nullptr;
inline i32* to_lower_table = nullptr;

// Allocates and fills both tables (tracked memory, kept for the life of the process). Called once by
// the boot sequence before any case mapping; calling it again changes nothing.
void build_case_tables();

// The mapped code point: upper selects to-upper, else to-lower. A code point without a mapping
// (negative ones included) maps to itself.
i32 change_case_char(i32 cp, bool upper);
inline i32 to_upper_char(i32 cp) { return change_case_char(cp, true); }
// The uppercase of cp, or its lowercase when the uppercase is cp itself.
i32 swap_case_char(i32 cp);

// Changes a char! value's code point in its cell, or the characters of a string-family value from
// its head in place (widening the buffer when a mapped character needs a wider unit: U+00B5 goes up
// to U+039C). part_index 0 means all characters; otherwise the cell part_index positions after
// `value` (an argument of the current call) limits them: an integer! count, or a position in the
// same series. Another value raises script invalid-refine-arg. Returns value.
Cell* change_case(Cell* value, i32 part_index, bool upper);

}  // namespace kiv::unicode
