// The word family: word!, set-word!, lit-word!, get-word! and refinement! (issue! is a sixth child,
// issue.h). Words are the names of the language: a symbol bound to a context at an index.
//
// Cell: header type id (15 to 20) with cell flags above; w1 the context node the word is bound to
// (the global context when nothing else applies; 0 for a static refinement); w2 the symbol id; w3
// the index in that context, 0-based, or -1 while unresolved.
//
// Value cells answered by the get/set procedures point into a values block or the value stack:
// valid until the next allocation.
#pragma once
#include <string>

#include "runtime/cell.h"

namespace kiv::word {

inline bool any_word_q(u32 t) { return t >= type::word && t <= type::issue; }
inline i32 symbol_of(const Cell* w) { return static_cast<i32>(w->w2); }
// The binding of a word. Any other value's words 1 and 3 are no context and no index: read as
// such, they would send a store into some unrelated series.
inline i32 index_of(const Cell* w) {
  KIV_ASSERT(any_word_q(w->type()), "index of a value that is not a word");
  return static_cast<i32>(w->w3);
}
inline Ref<Node> context_of(const Cell* w) {
  KIV_ASSERT(any_word_q(w->type()), "context of a value that is not a word");
  return Ref<Node>(w->w1);
}

inline Cell* init_at(Cell* out, u32 type_id, Ref<Node> ctx, i32 symbol, i32 index) {
  *out = Cell{type_id, ctx.offset(), static_cast<u32>(symbol), static_cast<u32>(index)};
  return out;
}

// ---- Binding and the global words ----------------------------------------------------------

// Looks the word's symbol up case-insensitively in the context; when found the word is bound there.
// Answers the index, or -1 with the word unchanged.
i32 bind(Ref<Node> ctx, Cell* word);

// The global context's word for the symbol, added when missing (word/intern-global). With the case
// flag the lookup ignores case; with keep_form a word found under another case form is answered
// with its own symbol (sharing the found word's slot). A copy made for the form is recorded in the
// root block only while word recording is on.
Cell intern_global(i32 symbol, bool case_insensitive, bool keep_form);
// intern_global with an exact lookup; the word is recorded when word recording is on, its root
// index stored through `recorded` (-1 when not recorded).
Cell from_symbol(i32 symbol, i32* recorded = nullptr);
// The word of a name: interned, then found or added in the global context ignoring case, keeping
// the name's form. Recorded as from_symbol. Every word the start-up makes comes from here.
Cell load(const char* name, i32* recorded = nullptr);
// The same, never recorded (run-time callers: error arguments, conversions).
Cell* load_at(const char* name, Cell* out);
// Makes the cell a word! of the symbol bound to the global context (flags kept); answers the cell.
Cell* make_at(i32 symbol, Cell* out);
// Interns the name and appends its word! to the block; answers the new cell.
Cell* load_in_block(const char* name, Cell* block);

// ---- Reading and writing -------------------------------------------------------------------

// The word's value cell in the context; script no-value (index -1, other than self) or
// not-in-context (the context has no values).
Cell* get_value_in(const Cell* word, Ref<Node> ctx);
Cell* get_value(const Cell* word);
// Stores a copy of the value in the word's slot and answers the slot. With `notify`, an owner with
// a change-event record is told (its handler may set words in turn: the nesting is bounded by the
// native-stack guard, ending in the internal error stack-overflow).
Cell* set_in_context(Cell* word, const Cell* value, Ref<Node> ctx, bool notify);
Cell* set(Cell* word, const Cell* value);
// Pushes a copy of the word's value; an unset! value raises script no-value.
Cell* push_value(const Cell* word);

// Stack-style (arguments base: the word, then the value).
void set_from_args();  // need-value for unset!
void index_q();        // none for an unresolved word, else index + 1

// ---- Slots by index, for compiled code -----------------------------------------------------

Cell* word_at(Ref<Node> ctx, i32 index);
Cell* push_word_at(Ref<Node> ctx, i32 index);
Cell* value_at(Ref<Node> ctx, i32 index);
Cell* push_value_at(Ref<Node> ctx, i32 index);
// Stores the last pushed value into value #index; marks an object's field as changed.
Cell* set_value_at(Ref<Node> ctx, i32 index);
Cell* replace_value_at(Ref<Node> ctx, i32 index);
// The context's own word when the symbol is among its words (exact), else the global word.
Cell find_in_context(Ref<Node> ctx, i32 symbol);

// ---- Making word values --------------------------------------------------------------------

Cell* push(const Cell* value);
Cell* push_symbol(i32 symbol);
Cell* add_to_block(Cell* block, i32 symbol);
// Pushes a copy with the type changed, flags kept.
Cell* push_as(const Cell* word, u32 type_id);
// Pushes the word's name as a string! sharing the symbol's name string.
Cell* push_name(const Cell* word);
Cell* symbol_cell(const Cell* word);
// The datatype id of the token the word's name scans as (the lexer's, or the built-in word
// classifier until the lexer installs scan_hook).
u32 scan_name(const Cell* word);
// The word's name as UTF-8.
std::string name_of(const Cell* word);

// cell/scan-value: the one value a string-family text (from its head) loads to, in `out` (which must
// stay where it is); false when the text holds no value or more than one. Through scan_value_hook,
// so until the lexer installs it only the word family is read. A malformed text raises the lexer's
// syntax error.
bool scan_value(const Cell* text, Cell* out);

// ---- Actions -------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32 type_id);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);
// The hash-table hash of the word family and issue!: the canonical symbol, so that words of any
// case hash alike.
u32 hash(const Cell* value, bool case_);

// Registers word!, set-word!, lit-word!, get-word! and refinement!.
void init();

}  // namespace kiv::word

namespace kiv::get_word {
// Pushes a copy of the word's value with no check: a get-word yields unset! as a value.
Cell* push_value(const Cell* word);
}  // namespace kiv::get_word

namespace kiv::refinement {
// A new refinement in the root block: context 0, the name's symbol, index 0. Answers its root index.
i32 load(const char* name);
}  // namespace kiv::refinement
