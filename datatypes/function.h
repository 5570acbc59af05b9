// function!: a user function, a spec block naming its arguments, refinements and locals, a body
// block, and a context in which those words live.
//
// Cell (type 24):
// - header: the type id; bit 9 set by the attribute word no-trace, bit 10 by trace; other flag bits
//   as the maker passes them;
// - w1: the node of the function's context: function kind, values on the value stack (the
//   interpreter points it at the arguments of the running call); its owner cell holds a copy of
//   the function value;
// - w2: the node of the spec block, read from head 0;
// - w3: the node of the function-more block (cells below).
//
// routine! (routine.h) has the same layout.
#pragma once
#include "runtime/cell.h"

namespace kiv::function {

// The function-more block: five cells.
namespace more {
enum : i32 {
  body = 0,      // a deep copy of the body block, or none
  reserved = 1,  // unset!
  code = 2,      // integer!: the compiled body's code (a routine's registry index), or unset!
  op_value = 3,  // unset!; a copy of the value itself once an operator is made from it
  extra = 4,     // integer!: a second code given by the maker (a routine's result kind), or unset!
  count = 5,
};
}  // namespace more

namespace flag {
constexpr u32 no_trace = 0x200;
constexpr u32 trace = 0x400;
}  // namespace flag

// A function!, a routine! or an operator made from one. The interpreter reads these on every call,
// so the check runs only in the builds with the loop-level checks.
inline bool layout_q(const Cell* f) {
  return f->type() == type::function || f->type() == type::routine || f->type() == type::op;
}
inline Ref<Node> context_node(const Cell* f) {
  KIV_DEBUG_ASSERT(layout_q(f), "context of a value that is not a function");
  return Ref<Node>(f->w1);
}
inline Ref<Node> spec_node(const Cell* f) {
  KIV_DEBUG_ASSERT(layout_q(f), "spec of a value that is not a function");
  return Ref<Node>(f->w2);
}
inline Ref<Node> more_node(const Cell* f) {
  KIV_DEBUG_ASSERT(layout_q(f), "function-more block of a value that is not a function");
  return Ref<Node>(f->w3);
}
// Cell i of the function-more block; valid until the next allocation.
inline Cell* more_cell(const Cell* f, i32 i) { return buffer_of(more_node(f))->head_ptr<Cell>() + i; }

// Builds a function: pushes the new function! on the value stack and answers its context node.
// A spec at a head above 0 is copied from its head; at head 0 it is shared. The body (a block, or
// null / none for none) is copied deeply and, when the context is made here (ctx null), bound to
// it. `code` and `code2` (0 for none) go to cells 2 and 4 of the function-more block as integers.
Ref<Node> make_value(const Cell* spec, const Cell* body, Ref<Node> ctx, i32 code, i32 code2, u32 flags);

// Checks a spec against the spec grammar; answers the attribute flags (0, no_trace, trace or both).
// Raises script bad-func-def (the spec), invalid-type-spec, no-value or dup-vars. Allocates nothing.
u32 validate_spec(const Cell* spec);
// The flags of an attribute block's words, or -1 when it holds a value that is not a word!.
i32 attribute_flags(const Cell* attributes);
// Each element must be a datatype!, a typeset!, or a word! whose value is one of those or a word!;
// else script invalid-type-spec naming the element (a word's value in its place); a word without a
// value raises script no-value.
void check_type_block(const Cell* types);
// Script dup-vars naming the later occurrence when a word!, get-word!, lit-word! or refinement!
// repeats (by canonical symbol).
void check_duplicates(const Cell* spec);
// From the head: 0 until /local; then 1 for /local and 1 for each word! after it. With strict, -1
// when the spec has no /local.
i32 count_locals(Ref<Node> spec, i32 head, bool strict);
// Pushes false and then n - 1 none cells: an unused refinement's flag and arguments.
void push_unused_refinement(i32 n);
// The words the `function` native adds as locals: pushes and answers the block of them, and edits
// the spec (drops /extern and what follows it; appends /local and the words). Script
// bad-func-extern for a spec value that cannot name a word when the spec holds /extern.
Cell* collect_locals(Cell* spec, const Cell* body);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type_id);
Cell* reflect(Cell* value, i32 field);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
// By context node: equal only for the same function; -2 against another type. Also routine!'s.
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers function! (parent context!).
void init();

}  // namespace kiv::function
