// Action lookup and dispatch: finding a datatype's procedure for an action slot, the comparison
// entry, and the direct dispatch helpers that run-time code uses to form, mold, copy, find, poke
// or compare a value of any type. The generic entries (the procedures behind the action words) read
// their arguments on the value stack from the arguments base; a refinement is passed as -1 when it
// was not used, else as the position, in cells from the arguments base, of its first argument (any
// other value than -1 for a refinement without argument).
#pragma once
#include "datatypes/native_table.h"
#include "datatypes/registry.h"
#include "runtime/cell.h"
#include "runtime/hooks.h"

namespace kiv::actions {

namespace slot = action::slot;

Cell* name_word(const char* name, u32 type, Cell* out);

// Raises script error expect-arg: where, a datatype! of type_id, the word of the callee's argument n
// (0-based).
[[noreturn]] void raise_expect_arg(u32 type_id, i32 n);

// The argument checks of natives: each answers the value, or raises expect-arg with its type.
// The value's type must be in the typeset.
Cell* check_type(const Cell* typeset, i32 position, Cell* value);
// Argument #n of the current call (arguments base + n) checked against the typeset; a negative n
// (argument absent) is returned as it is.
i32 check_arg(i32 n, const Cell* typeset);
// Checks only when the refinement was used (its word 1 is not 0).
Cell* check_refinement_arg(const Cell* refinement, const Cell* typeset, i32 position, Cell* value);
// The value must not be unset!.
Cell* check_arg_set(i32 position, Cell* value);

// Raises script error invalid-refine-arg with the refinement (e.g. "part") and its argument.
[[noreturn]] void raise_invalid_refine_arg(const char* refinement, const Cell* arg);

// Raises script error expect-arg (where, the datatype, the first argument's word).
[[noreturn]] void unsupported(u32 type_id, const Cell* value, u32 slot);

// The path step of the parent's type (slot 7). A type without one raises script bad-path-type2
// (element, datatype) when there is no path, else bad-path-type (the path, the datatype, a copy of
// the path's first `index` elements: the part that produced the parent).
action::EvalPath get_path_action(const Cell* parent, const Cell* path, const Cell* element, i32 index);

// The procedure of a slot for a type, as an untyped address; an empty entry raises expect-arg.
void* get_action_of_type(u32 type_id, const Cell* value, u32 slot);
void* get_action_of_value(const Cell* value, u32 slot);

// Typed lookups: actions::get<slot::form>(type_id, value) returns an action::Form.
template <u32 Slot>
struct SlotOf;
#define KIV_SLOT_TRAITS(name, Type)                                   \
  template <>                                                         \
  struct SlotOf<slot::name> {                                         \
    using F = action::Type;                                           \
    static F read(const action::Row& r) { return r.name; }            \
  };
KIV_ACTION_SLOTS(KIV_SLOT_TRAITS)
#undef KIV_SLOT_TRAITS

template <u32 Slot>
typename SlotOf<Slot>::F get(u32 type_id, const Cell* value) {
  if constexpr (Slot >= slot::append) {
    if (hooks::port_actor && value && value->type() == type::port) {
      if (void* p = hooks::port_actor(value, Slot)) return reinterpret_cast<typename SlotOf<Slot>::F>(p);
    }
  }
  auto fn = type_id < datatype::table_rows ? SlotOf<Slot>::read(datatype::actions[type_id]) : nullptr;
  if (!fn) unsupported(type_id, value, Slot);
  return fn;
}
template <u32 Slot>
typename SlotOf<Slot>::F get(const Cell* value) {
  return get<Slot>(value->type(), value);
}

// The dispatch helpers take value cells that stay put across allocation (value-stack cells, rooted
// locals, unmanaged cells), never a cell inside a collected series buffer: the procedures they call
// may allocate, and a collection may move buffers.

// The raw three-way comparison: below 0, 0, above 0, or -2 when not comparable.
i32 dispatch_compare(const Cell* a, const Cell* b, i32 op);
// The comparison as a truth value (1 or 0). -2 under an ordering operator raises invalid-compare;
// under an equality operator it reads as "not equal".
i32 compare(const Cell* a, const Cell* b, i32 op);

// Appends the value's text to the string `out` and returns the remaining budget (negative when the
// limit was passed; the caller cuts the excess).
i32 dispatch_form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 dispatch_mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit,
                  i32 indent);
Cell* dispatch_copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* dispatch_find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                    Cell* with, Cell* skip, bool last, bool reverse, bool tail, bool match);
Cell* dispatch_poke(Cell* series, i32 index, Cell* value, Cell* boxed);

// Convenience for C++ callers: a new string in `out` holding the form or mold of the value, cut to
// `limit` characters (no cut for a negative limit).
Cell* form_to(const Cell* value, Cell* out, i32 limit = -1);
Cell* mold_to(const Cell* value, Cell* out, bool only = false, bool all = false, bool flat = false,
              i32 limit = -1);

// The index of pick and poke as an integer: integer! and char! by value, true 1, false 2, else 0.
i32 index_of(const Cell* index);

// Generic entries. Arguments at the arguments base; the result is left there.
void form(i32 part);
void mold(i32 only, i32 all, i32 flat, i32 part);
void append(i32 part, i32 only, i32 dup);
void insert(i32 part, i32 only, i32 dup);
void change(i32 part, i32 only, i32 dup);
void copy(i32 part, i32 deep, i32 types);
void length_q();
void pick();
void poke();
void remove(i32 part, i32 key);
void take(i32 part, i32 deep, i32 last);
void clear();
void reverse(i32 part, i32 skip);
void move(i32 part);
void swap();
void trim(i32 head, i32 tail, i32 auto_, i32 lines, i32 all, i32 with);
void random(i32 seed, i32 secure, i32 only);
// Stack-style entries call the type's procedure with no arguments.
void call_stack_style(u32 slot);
void make();
void to();
void reflect();
// The path-step entry (slot 7): parent and element at the base, the value to set above them when
// `set` is not 0.
void path_step(i32 set);
// The comparison entry (slot 9): a logic! of the two values under the compare-op.
void compare_entry(i32 op);
void negate();
void round(i32 to, i32 even, i32 down, i32 half_down, i32 floor, i32 ceiling, i32 half_ceiling);
void even_q();
void odd_q();
void complement();
void find(i32 part, i32 only, i32 case_, i32 same, i32 any, i32 with, i32 skip, i32 last, i32 reverse, i32 tail,
          i32 match);
void select(i32 part, i32 only, i32 case_, i32 same, i32 any, i32 with, i32 skip, i32 last, i32 reverse);
void put(i32 case_);
void sort(i32 case_, i32 skip, i32 compare, i32 part, i32 all, i32 reverse, i32 stable);
void modify(i32 case_);
void open(i32 new_, i32 read, i32 write, i32 seek, i32 allow);
void read(i32 part, i32 seek, i32 binary, i32 lines, i32 info, i32 as);
void rename();
void write(i32 binary, i32 lines, i32 info, i32 append, i32 part, i32 seek, i32 allow, i32 as);
void create();
void close();
void delete_();
void open_q();
void query();
void update();

// actions/init: fills the actions table with the 62 generic entries in slot order (slot 8 stays
// empty). Runs once at boot, after every datatype has registered and before natives::init.
void init();
// Calls the generic entry in a slot with its refinement positions (-1 for unused; at least as many
// as the slot takes); the arguments are on the value stack from stack::arguments.
void invoke(const natives::Slot& slot, const i32* refinements);

}  // namespace kiv::actions
