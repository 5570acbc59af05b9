// series!: the abstract parent of every series type. No value has this type; its entries are the
// navigation and the generic modification of all series, working on raw units whatever their size
// (1, 2, 4, 8 or 16 bytes), and switching on the value's type only where one element is read or
// written.
//
// A series cell: w1 the head index in units from the start of the buffer's content (signed; may lie
// past the tail after another reference shortened the series), w2 the series node, w3 type-specific
// (a vector's element type, a hash!'s index, else 0).
//
// Collector contract: the series cells passed in stay where they are across the call (value-stack
// cells, rooted locals, unmanaged cells); buffers are re-read from the cell after any allocation.
#pragma once
#include "datatypes/registry.h"
#include "runtime/cell.h"

namespace kiv::series {

inline Ref<Node> node_of(const Cell* s) { return Ref<Node>(s->w2); }
inline SeriesBuffer* buffer_of(const Cell* s) { return kiv::buffer_of(node_of(s)); }
inline i32 head_index(const Cell* s) { return static_cast<i32>(s->w1); }
inline void set_head_index(Cell* s, i32 i) { s->w1 = static_cast<u32>(i); }
// log2 of the unit: the index of the highest set bit of the unit bits.
inline u32 shift_of(const SeriesBuffer* b) {
  u32 u = b->unit();
  return u >= 16 ? 4 : u >= 8 ? 3 : u >= 4 ? 2 : u >= 2 ? 1 : 0;
}
// Address of unit `index` counted from the start of the content.
inline std::byte* unit_at(SeriesBuffer* b, i32 index) {
  return b->head_ptr() + (static_cast<std::ptrdiff_t>(index) << shift_of(b));
}

// Type groups.
bool any_block_q(u32 type_id);   // block! paren! the paths hash!
bool any_string_q(u32 type_id);  // string! file! url! tag! email! ref!
bool series_type_q(u32 type_id); // any-block, any-string, binary!, vector!, image!

bool at_tail_q(const Cell* s);
i32 total_length(const Cell* s);
// Adds n to the head unless that would pass the tail; true when head + n is at or past the tail.
bool move_head(Cell* s, i32 n);
// The clamped head index for at (true) or skip (false) from the current call's two arguments.
i32 target_index(bool at);
// Units from the head (from the start with from_start); a head past the tail is pulled back to it.
i32 length_from_head(Cell* s, bool from_start = false);

bool notify(Cell* series, const char* word, const Cell* value, i32 index, i32 count);

// A hash!'s index catches up with a change of its cells: the run of `removed` cells at `at` replaced
// by `inserted` new ones, or (at -1) anything.
void hash_changed(Cell* s, i32 at = -1, i32 removed = 0, i32 inserted = 0);

// The symbol id of the word `owned` (modify's owned field), set by the static words.
inline i32 owned_symbol = -1;
// The canonical alias of a symbol (hooks::symbol_resolve); identity until the symbol table is up.
i32 canonical_symbol(i32 symbol);

// Actions.
Cell* random(Cell* value, bool seed, bool secure, bool only);
Cell* reflect(Cell* value, i32 field);
void at();
void back();
Cell* clear(Cell* series);
// The copy core: units only (no /deep, no /types).
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
void head();
void head_q();
void index_q();
i32 length_q(const Cell* series);
Cell* move(Cell* origin, Cell* target, Cell* part);
void next();
Cell* pick(Cell* series, i32 index, Cell* boxed);
Cell* poke(Cell* series, i32 index, Cell* data, Cell* boxed);
Cell* remove(Cell* series, Cell* part, Cell* key);
Cell* reverse(Cell* series, Cell* part, Cell* skip);
void skip();
void tail();
void tail_q();
// The take core: the series cell becomes a new series of the same type holding the taken units.
// A plain take of an empty remainder answers none; with /part the answer is always a series, empty
// when nothing is taken (a count of 0, a position behind the head, or nothing left). Without /part
// the new series lives in a shared one-unit scratch buffer: the caller copies the element out at
// once.
Cell* take(Cell* series, Cell* part, bool deep, bool last);
// The shared scratch buffer of a plain take (unmanaged; a collector root once made), or null.
Ref<Node> take_scratch_node();
Cell* modify(Cell* target, Cell* field, Cell* value, bool case_);

// Registers series!.
void init();

}  // namespace kiv::series
