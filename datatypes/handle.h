// handle!: an operating-system handle that the language passes around but never interprets
// (windows, monitors, fonts, rich-text layouts of the GUI, descriptors). Made only by the run-time;
// the language compares, forms and molds it.
//
// Cell: header type 46; w1 the kind; w2 the 32-bit handle value; w3 -1 (no external-resource
// slot). A 64-bit object does not fit w2, so its value is an index into the handle table below;
// an `fd` handle keeps the descriptor number itself. Value 0 is the null handle.
#pragma once
#include <string>

#include "runtime/cell.h"

namespace kiv::handle {

// Kinds, numbered from 0; mold/all shows the name of every kind above null.
namespace kind {
enum : u32 { null = 0, fd, monitor, window, font, rich_text };
}  // namespace kind
constexpr u32 kind_count = 6;
// The name mold/all shows for a kind ("" for null and kinds beyond the table).
const char* kind_name(u32 kind);

inline u32 kind_of(const Cell* h) { return h->w1; }
inline i32 value_of(const Cell* h) { return static_cast<i32>(h->w2); }

// handle/make-at: a fresh handle cell.
inline Cell* make_at(Cell* out, i32 value, u32 kind) {
  *out = Cell{type::handle, kind, static_cast<u32>(value), ~0u};
  return out;
}
// handle/box: the current call's result cell.
Cell* box(i32 value, u32 kind);
// handle/make-in: appended at the block's tail; returns the new cell.
Cell* make_in(Cell* block, i32 value, u32 kind);
// handle/push and handle/push-null: on the value stack.
Cell* push(i32 value, u32 kind);
Cell* push_null();

// ---- The handle table ---------------------------------------------------------------------------
// Gives each object a stable 32-bit value: the same object always gets the same value, so handles
// of one object compare equal. Null gives 0.
i32 enter(const void* object);
// The object a value stands for (null for 0 and for values never given out).
void* object_of(i32 value);
// Forgets an object whose resource is gone; its value is never given out again.
void forget(const void* object);

// The text of form: eight upper-case hexadecimal digits and "h".
std::string form_text(const Cell* h);

void init();

}  // namespace kiv::handle
