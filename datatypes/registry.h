// The datatype registry: one row of 62 action entries per type id, filled once at boot in a fixed
// order (a parent before its children) and read-only afterwards. Inheritance is resolved when a
// type registers, so looking an action up is a single table read.
//
// Each slot has its own procedure type. Refinement arguments that were not given are null; flag
// refinements are bools. Stack-style procedures take no arguments: they work on the current call's
// arguments at the value stack's arguments base and leave the result in that cell.
#pragma once
#include "runtime/cell.h"

namespace kiv::action {

using StackStyle = void (*)();
using Make = Cell* (*)(Cell* proto, Cell* spec, u32 type);
using Random = Cell* (*)(Cell* value, bool seed, bool secure, bool only);
using Reflect = Cell* (*)(Cell* value, i32 field);
using Form = i32 (*)(const Cell* value, Cell* out, const Cell* part, i32 limit);
using Mold = i32 (*)(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit,
                     i32 indent);
using EvalPath = Cell* (*)(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item,
                           i32 index, bool case_, bool lenient, bool tail, bool evt);
using Compare = i32 (*)(const Cell* a, const Cell* b, i32 op);
using Unary = Cell* (*)(Cell* value);
using Round = Cell* (*)(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
                        bool half_ceiling);
using Predicate = bool (*)(const Cell* value);
using Append = Cell* (*)(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);
using Change = Cell* (*)(Cell* series, Cell* value, i32 part, bool only, i32 dup);
using Copy = Cell* (*)(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
using Find = Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                       Cell* with, Cell* skip, bool last, bool reverse, bool tail, bool match);
using Length = i32 (*)(const Cell* series);  // -1 answers none
using Move = Cell* (*)(Cell* origin, Cell* target, Cell* part);
using Pick = Cell* (*)(Cell* series, i32 index, Cell* boxed);
using Poke = Cell* (*)(Cell* series, i32 index, Cell* data, Cell* boxed);
using Put = Cell* (*)(Cell* series, Cell* key, Cell* value, bool case_);
using Remove = Cell* (*)(Cell* series, Cell* part, Cell* key);
using Reverse = Cell* (*)(Cell* series, Cell* part, Cell* skip);
using Select = Cell* (*)(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any,
                         Cell* with, Cell* skip, bool last, bool reverse);
using Sort = Cell* (*)(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse,
                       bool stable);
using Swap = Cell* (*)(Cell* series1, Cell* series2);
using Take = Cell* (*)(Cell* series, Cell* part, bool deep, bool last);
using Trim = Cell* (*)(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);
using Modify = Cell* (*)(Cell* target, Cell* field, Cell* value, bool case_);
using Open = Cell* (*)(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
using Read = Cell* (*)(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
using Rename = Cell* (*)(Cell* from, Cell* to);
using Write = Cell* (*)(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append,
                        Cell* part, Cell* seek, Cell* allow, Cell* as);

// The 62 slots in order. The field order IS the slot order (slot = field position + 1).
#define KIV_ACTION_SLOTS(X)                                                                                   \
  X(make, Make) X(random, Random) X(reflect, Reflect) X(to, Make) X(form, Form) X(mold, Mold)                \
  X(eval_path, EvalPath) X(empty_slot, StackStyle) X(compare, Compare) X(absolute, StackStyle)              \
  X(add, StackStyle) X(divide, StackStyle) X(multiply, StackStyle) X(negate, Unary) X(power, StackStyle)    \
  X(remainder, StackStyle) X(round, Round) X(subtract, StackStyle) X(even_q, Predicate) X(odd_q, Predicate) \
  X(and_t, StackStyle) X(complement, Unary) X(or_t, StackStyle) X(xor_t, StackStyle) X(append, Append)     \
  X(at, StackStyle) X(back, StackStyle) X(change, Change) X(clear, Unary) X(copy, Copy) X(find, Find)      \
  X(head, StackStyle) X(head_q, StackStyle) X(index_q, StackStyle) X(insert, Append) X(length_q, Length)   \
  X(move, Move) X(next, StackStyle) X(pick, Pick) X(poke, Poke) X(put, Put) X(remove, Remove)              \
  X(reverse, Reverse) X(select, Select) X(sort, Sort) X(skip, StackStyle) X(swap, Swap) X(tail, StackStyle) \
  X(tail_q, StackStyle) X(take, Take) X(trim, Trim) X(create, Unary) X(close, Unary) X(delete_, Unary)      \
  X(modify, Modify) X(open, Open) X(open_q, Unary) X(query, Unary) X(read, Read) X(rename, Rename)         \
  X(update, Unary) X(write, Write)

// Slot numbers, 1 to 62, in row order.
namespace slot {
enum : u32 {
  none_ = 0,
#define KIV_SLOT_ENUM(name, Type) name,
  KIV_ACTION_SLOTS(KIV_SLOT_ENUM)
#undef KIV_SLOT_ENUM
};
}  // namespace slot

// A registered row: plain procedure pointers, null where the type does not support the action.
struct Row {
#define KIV_ROW_FIELD(name, Type) Type name = nullptr;
  KIV_ACTION_SLOTS(KIV_ROW_FIELD)
#undef KIV_ROW_FIELD
};

constexpr u32 slot_count = 62;
static_assert(sizeof(Row) == slot_count * sizeof(void*), "an action row has exactly 62 slots");

// One entry of a registration: a procedure, unsupported (the default), or inherited from the parent
// as the parent's row stands when this type registers.
struct InheritTag {};
inline constexpr InheritTag inherit{};

template <class F>
struct Entry {
  F fn = nullptr;
  bool inherits = false;
  constexpr Entry() = default;
  constexpr Entry(F f) : fn(f) {}
  constexpr Entry(InheritTag) : inherits(true) {}
};

struct Entries {
#define KIV_ENTRY_FIELD(name, Type) Entry<Type> name = {};
  KIV_ACTION_SLOTS(KIV_ENTRY_FIELD)
#undef KIV_ENTRY_FIELD
};

}  // namespace kiv::action

namespace kiv::datatype {

constexpr u32 table_rows = 57;

struct TypeName {
  const char* name;  // with its final "!"
  u32 length;        // characters without the final "!"
  Cell word;         // the name word, once made
};

inline action::Row actions[table_rows];
inline TypeName names[table_rows];
inline u32 highest_type_id = 0;

// Registers a type from its typed entries (inheritance resolved now).
void register_type(u32 id, u32 parent, const char* name, const action::Entries& entries);

// The untyped path for registrations made at run time: `count` must be 65 (id, parent, name and the
// 62 entries); a wrong count prints the "*** Datatype Error" report and ends the process with status
// sys::Fatal::assertion (a build fault must never look like a clean exit). Words 0 and 1 carry the id and
// the parent id as integers; an entry equal to raw_inherit takes the parent's entry.
void register_raw(u32 count, const void* const* words);
inline const void* const raw_inherit = reinterpret_cast<const void*>(~std::uintptr_t{0});

inline const action::Row& row(u32 type_id) { return actions[type_id]; }

// Slot s (1 to 62) of a row as an untyped procedure address, null when the type does not support it.
void* entry(u32 type_id, u32 slot);

// Makes the name word of every registered type (the boot calls it once the symbol table is up).
void make_name_words();

// Forgets every registration (tests that boot the core more than once).
void reset_registry();

// ---- The lexer's makers --------------------------------------------------------------------------
// How the lexer makes the literals of the types that arrive after it: such a type sets its maker here
// when it registers, and the lexer reads them at each load. A loader whose type is not registered
// yet, or whose maker is not set, raises the syntax error for its type (`invalid`), never a wrong
// value. Each maker answers false for a value it cannot make (the loader then raises the same error).
namespace makers {
// binary!: the decoded bytes.
inline bool (*binary)(Cell* out, const u8* bytes, i32 length) = nullptr;
// point2D! / point3D!: the coordinates (z unused for 2-D).
inline bool (*point)(Cell* out, u32 type_id, float x, float y, float z) = nullptr;
// date!: the whole token (the date unit reads it); with load false it only checks.
inline bool (*date)(Cell* out, const u8* start, const u8* end, bool load) = nullptr;
// money!: the whole token, likewise.
inline bool (*money)(Cell* out, const u8* start, const u8* end, bool load) = nullptr;
// map!: turns the block cell (keys already checked) into a map! in place.
inline bool (*map)(Cell* block) = nullptr;
}  // namespace makers

}  // namespace kiv::datatype
