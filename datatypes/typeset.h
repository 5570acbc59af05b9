// typeset!: a set of datatypes held in the cell itself, no series. The three payload words form one
// array of 12 bytes (byte 0 the low byte of w1 ... byte 11 the high byte of w3); type id t is a
// member when bit 0x80 >> (t & 7) of byte t >> 3 is set, so the most significant bit of a byte is
// its lowest id. Room for ids 0 to 95; only ids 1 to the highest registered one are ever shown, but
// the others may be set (the any-value typeset, complement).
#pragma once
#include "datatypes/registry.h"
#include "runtime/cell.h"

namespace kiv::typeset {

inline Cell* make_at(Cell* out) {
  *out = Cell{type::typeset, 0, 0, 0};
  return out;
}
inline bool has(const Cell* ts, u32 type_id) { return cell::typeset_has(ts, type_id); }
inline void add(Cell* ts, u32 type_id) { cell::typeset_add(ts, type_id); }

// Zeroes the three words; answers the cell.
Cell* clear(Cell* ts);
// Members from 1 to the highest registered id.
i32 count(const Cell* ts);

// Appends a typeset! cell made of the three words (the boot-data decoder).
Cell* add_to_block(Cell* block, u32 w1, u32 w2, u32 w3);
// Appends the any-value typeset: every one of the 96 bits but unset!'s.
Cell* add_any_value(Cell* block);
// Appends the typeset a spec block describes (the loader): each element, a word! replaced by its
// value first, adds a datatype! or ORs in a typeset!; a block! is skipped; a word whose value is a
// word adds object!; anything else raises invalid-type-spec.
Cell* add_from_spec(Cell* block, const Cell* spec);

// Adds a member: a word! is replaced by its value (an unset word raises no-value), a typeset! is
// ORed in, a datatype! sets its bit; anything else raises invalid-arg with the value as given.
void set_type(Cell* ts, const Cell* value);

// Appends to the block the word naming each member, in increasing id order.
void to_block(const Cell* ts, Cell* block);

// "make typeset! [name! ...]", or with /only just the names; returns the remaining limit.
i32 mold_text(const Cell* ts, Cell* out, bool only, const Cell* part, i32 limit);

// The set operations on the current call's two operands (a typeset!, then a typeset! or datatype!):
// arith-op codes 5 or 9 OR, 6 or 10 AND, 7 or 12 XOR, 11 AND NOT, 8 the first operand as it is. The
// result is left at the arguments base.
void do_set_operation(i32 code);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);  // also `to`
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);
void and_t();
void or_t();
void xor_t();
Cell* complement(Cell* value);  // in place: all 96 bits inverted
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);

// Registers typeset!.
void init();

}  // namespace kiv::typeset
