// object!: the language's record of named fields, and the change events of its fields.
//
// An object is a thin cell over a context (context.h): the context holds the field words and their
// values, the cell adds a class id and the object's change-handler record.
//
// Cell (type 32; error! and port! share the layout):
// - w1: the context node (kind object, self flag); the context's owner cell always holds a copy of
//   the finished object cell (its `self`);
// - w2: the class id (signed): objects made from one spec share it, so compiled code can check a
//   value's kind cheaply; run-time ids come from a counter starting above 1,000,000;
// - w3: the node of the event record, or 0 when the object has neither `on-change*` nor
//   `on-deep-change*`.
//
// Event record: a series of two cells, entry 0 for `on-change*`, entry 1 for `on-deep-change*`. In
// each entry cell w1 packs the handler's field index (signed, upper 16 bits; -1 when absent) and
// the cells its /local refinement takes (lower 16 bits), and w2 holds the spec node the count was
// taken from (0 without a handler). The type byte of an entry is 0: it is no value.
//
// Collector contract: object cells passed in stay where they are across a call (value-stack cells,
// rooted locals, unmanaged cells). Cell pointers answered into a values block are valid until the
// next allocation.
#pragma once
#include <string_view>

#include "runtime/cell.h"

namespace kiv::object {

// Header bit of an object's context cell: the object owns its series (ownership.h).
constexpr u32 owner_flag = 0x10000;
// The class id of error! values and of the catalogue's objects.
constexpr i32 error_class = 1;
// Run-time class ids start above this.
constexpr i32 first_class_base = 1000000;

// object!, error! and port! share the layout.
inline bool object_like_q(u32 t) { return t == type::object || t == type::error || t == type::port; }

inline Ref<Node> context_of(const Cell* o) {
  KIV_ASSERT(object_like_q(o->type()), "context of a value that is not an object");
  return Ref<Node>(o->w1);
}
inline i32 class_of(const Cell* o) {
  KIV_ASSERT(object_like_q(o->type()), "class of a value that is not an object");
  return static_cast<i32>(o->w2);
}
inline Ref<Node> events_of(const Cell* o) {
  KIV_ASSERT(object_like_q(o->type()), "events of a value that is not an object");
  return Ref<Node>(o->w3);
}

// The next run-time class id (the first one drawn is 1,000,001).
i32 next_class_id();

// ---- Fields ------------------------------------------------------------------------------------

// Word cell number index (0-based) of the context's word list.
Cell* word_at(Ref<Node> ctx, i32 index);
// The value cell of the field named by the word (case-insensitive), or the static none cell.
Cell* get_word_value(const Cell* obj, const Cell* word);
// The 0-based field index of the word (case-insensitive), or -1.
i32 find_word(const Cell* obj, const Cell* word);
Cell* get_values(const Cell* obj);
Cell* first_word(const Cell* obj);
i32 word_count(const Cell* obj);
// The word cell naming the slot at the address when it lies within the context's values; else null.
Cell* word_of_value(Ref<Node> ctx, const Cell* address);
// 1 when the value is an object! (exactly) of that class id.
bool word_has_class_q(const Cell* word, i32 class_id);
bool slot_has_class_q(Ref<Node> ctx, i32 index, i32 class_id);

// ---- Making --------------------------------------------------------------------------------------

// Makes the cell an empty object: a fresh object context with room for n words, class id 0, no
// event record, self stored. Answers the cell.
Cell* make_at(Cell* out, i32 n);
// Pushes an object cell for a context built by compiled code (its values tail first moved to one
// slot per word when the values are still empty). Answers the pushed cell.
Cell* push_new(Ref<Node> ctx, i32 class_id);
Cell* push_with_events(Ref<Node> ctx, i32 class_id, Ref<Node> events);
// Completes the object on the value stack's top with a record made from these numbers (no cached
// spec), makes it own its series when it has an on-deep-change* slot, stores self.
void attach_events(Ref<Node> ctx, i32 change_slot, i32 change_locals, i32 deep_slot, i32 deep_locals);

// Clears the new-line marker on every cell between head and tail.
void clear_new_lines(SeriesBuffer* b);
// Clears the changed mark of every word of the context's word list.
void clear_changed(Ref<Node> ctx);

// The object copy (copy action core). `out` may be `src` itself. keep_events gives the copy the
// source's record node (a prototype for make); otherwise the copy is finished with its own record.
Cell* copy_object(const Cell* src, Cell* out, bool deep, const Cell* types, bool keep_events);
// Gives the function! in field `index` a fresh context and a body copy bound to the object (make,
// copy, extend); the new function replaces it. Script bad-func-def for a function kept without a body.
void rebind_function(Ref<Node> obj_ctx, i32 index);
// Adds or sets each field of the spec object in the new object; answers whether words were added.
bool extend(Cell* obj, const Cell* spec);

// construct: pushes and answers the new object. proto may be null or none.
Cell* construct(const Cell* spec, const Cell* proto, bool only);
// The `set` native's object case.
void set_many(Cell* target, const Cell* value, bool any, bool only, bool some);

// ---- Change events -----------------------------------------------------------------------------

// Record entries.
constexpr i32 on_change_entry = 0;
constexpr i32 on_deep_change_entry = 1;
struct Handler {
  i32 slot;    // -1: no such handler field
  i32 locals;  // cells of the unused /local refinement
  u32 spec;    // spec node the count was taken from
};
Handler handler_of(Ref<Node> record, i32 entry);

Ref<Node> make_event_record(u32 change_spec, u32 deep_spec, i32 change_slot, i32 change_locals, i32 deep_slot,
                            i32 deep_locals);
// The record for the object's current fields, or 0 without handler fields. Script bad-field-set
// when a handler field holds neither function! nor routine!.
Ref<Node> build_event_record(const Cell* obj);
// Stores the record, makes the object own its series when it has an on-deep-change* handler, and
// stores self. obj must stay put (a rooted or value-stack cell).
void finish(Cell* obj);
bool has_deep_handler_q(const Cell* obj);

// Calls on-change* with (word, old, new). Nothing when the object has no on-change* slot.
void fire_on_change(Cell* obj, Cell* word, Cell* old_value, Cell* new_value);
// The same with the old value the last pushed cell of the value stack and the new one below it.
void fire_on_change_top(Cell* obj, Cell* word);
// The same with the object the value of a word.
void fire_on_change_of_word(Cell* holder, Cell* word);
// Calls on-deep-change* with (owner, word, target, action, new or none, index, part).
void fire_on_deep_change(Cell* owner, Cell* word, Cell* target, Cell* action, Cell* new_value, i32 index,
                         i32 part);

// Callback kinds of the two handlers.
constexpr i32 on_change_callback = 8;
constexpr i32 on_deep_change_callback = 16;

// ---- Actions -------------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32 type_id);
Cell* reflect(Cell* value, i32 field);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
// The mold of an object-like value opened by another text than "make object! [" (port!).
i32 mold_as(const Cell* value, Cell* out, std::string_view opening, bool only, bool all, bool flat, const Cell* part,
            i32 limit, i32 indent);
// The field writer shared by form and mold of object!, error! and port!.
i32 serialize(const Cell* obj, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit,
              bool per_line, i32 indent, bool mold_flag);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
// Path access with an explicit write (value null: read).
Cell* access_field(Cell* obj, Cell* element, const Cell* value, const Cell* path, bool lenient, bool tail);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* put(Cell* series, Cell* key, Cell* value, bool case_);
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
Cell* modify(Cell* target, Cell* field, Cell* value, bool case_);

// Registers object! (no parent), its mark procedure, and the hooks of the word and time units.
void init();

}  // namespace kiv::object
