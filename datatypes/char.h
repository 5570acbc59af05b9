// char!: one Unicode code point (0 to 0x10FFFF) in w2 of the cell; w1 and w3 are 0. It is compared as
// a number, takes part in integer arithmetic while staying a character, forms as itself and molds as
// #"c" with the caret escapes of string mold.
#pragma once
#include "runtime/cell.h"

namespace kiv::char_ {

constexpr i32 max_code_point = 0x10FFFF;

inline Cell* box(Cell* out, i32 cp) {
  out->header = type::char_;
  out->w1 = 0;
  out->w2 = static_cast<u32>(cp);
  out->w3 = 0;
  return out;
}
inline i32 code_point(const Cell* c) { return static_cast<i32>(c->w2); }

Cell* push(i32 cp);
Cell* add_to_block(Cell* block, i32 cp);

Cell* make(Cell* proto, Cell* spec, u32 type);  // also `to`
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Stack-style math on the current call's two arguments (the first a char!); the result, still a
// char!, is left in the first argument's cell. op: 0 add, 1 subtract, 2 multiply, 3 divide,
// 4 remainder, 5 or, 6 and, 7 xor.
void do_math(i32 op);
void add();
void subtract();
void multiply();
void divide();
void remainder();
void and_t();
void or_t();
void xor_t();

void init();

}  // namespace kiv::char_
