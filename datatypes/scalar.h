// What the compound scalars held in the cell (pair!, point2D!, point3D!, tuple!) share: their error
// arguments, field words read ignoring case, `to` from text through the lexer, and the change
// report after a path writes into a value that sits in an object or a series.
#pragma once
#include <initializer_list>
#include <string>

#include "datatypes/registry.h"
#include "runtime/cell.h"

namespace kiv::scalar {

Cell datatype_arg(u32 type_id);
// The word of that name (none until the words exist).
Cell word_arg(const char* name);

[[noreturn]] void bad_to_arg(u32 type_id, const Cell& spec);
// script invalid-type naming the value's datatype.
[[noreturn]] void invalid_type(const Cell& value);
// syntax malconstruct: the datatype and the spec it could not be made from.
[[noreturn]] void malconstruct(u32 type_id, const Cell& spec);

// 1-based position of the word's name among `names`, compared ignoring case; 0 for another name
// or a value that is not a word.
i32 field_named(const Cell* word, std::initializer_list<const char*> names);

// The one value of type `type_id` that a string-family text (from its head) loads to, into `out`;
// bad-to-arg for any other text, syntax errors included.
void scan_text_as(const Cell* text, u32 type_id, Cell* out);

// The cells of a block-family value from its head.
const Cell* block_cells(const Cell* block, i32& count);

// After a path wrote into `now` (which was `old`): the owner of the slot hears of it, an object
// through its change handler, a series through its owner's notification. No-op without gparent.
void report_change(Cell* gparent, Cell* p_item, const Cell* old, const Cell* now);

// Appends the text to the string `out`; answers the limit less the characters written.
i32 append_text(Cell* out, const std::string& text, i32 limit);

// The mold entry of a type whose mold is its form.
template <action::Form Form>
i32 mold_as_form(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  return Form(value, out, part, limit);
}

// A stack-style arithmetic entry: the type's shared arithmetic with one operator code.
template <void (*Math)(i32), i32 Op>
void math_entry() {
  Math(Op);
}

}  // namespace kiv::scalar
