// block!: the one container of values, and the form code itself takes: a series of 16-byte value
// cells. Header bit 30 of a cell records that the value started a new line in its source; mold
// honours it, copying a cell keeps it, and block! never sets it itself.
//
// paren!, the path types and hash! share this layout and most of these procedures. Positions are in
// cells. Searching, sorting and the set operations live with block! search (a later unit).
//
// Collector contract: the block cells passed in stay where they are across a call (value-stack
// cells, rooted locals, unmanaged cells). A `value` argument may point anywhere, even into the
// block being changed: it is copied before anything allocates. Returned cell pointers into a buffer
// are valid until the next allocation.
#pragma once
#include "datatypes/series.h"
#include "runtime/cell.h"

namespace kiv::block {

bool any_block_q(u32 type_id);

inline SeriesBuffer* buffer_of(const Cell* blk) { return series::buffer_of(blk); }
inline i32 head_index(const Cell* blk) { return series::head_index(blk); }
inline Cell* start_of(SeriesBuffer* b) { return b->head_ptr<Cell>(); }

// Cells from the head to the tail (0 for a head past the tail).
i32 length(const Cell* blk);
// head + 1 unless that passes the tail; true when the new head is at the tail.
bool step_head(Cell* blk);
// The head cell; a head past the tail is first pulled back to the tail in the cell.
Cell* head_pointer(Cell* blk);
Cell* tail_pointer(const Cell* blk);
bool at_tail_q(const Cell* blk);
// Cell n counted from the start of the content (not from the head).
Cell* cell_at(const Cell* blk, i32 n);
void set_tail(Cell* blk, i32 n);
void clear_from_head(Cell* blk);

// Appends a copy of the value (growing the buffer); returns the new cell.
Cell* append_value(Cell* blk, const Cell* value);
// Appends copies of the source's cells from its head; returns the target.
Cell* append_values(Cell* target, const Cell* source);
// Inserts a copy at the head (or at the start), growing the buffer to twice the needed size when
// full; with advance the head moves past the new cell. Returns the new cell.
Cell* insert_value(Cell* blk, const Cell* value, bool advance, bool at_start);
// Inserts the source's cells one by one at the target's head, advancing it.
Cell* insert_values(Cell* target, const Cell* source);
// Compiled code: the result cell of the current call into/onto the block in the cell below it.
Cell* insert_frame_result();
Cell* append_frame_result();
// Appends the current call's second argument to the block in the result cell; returns that cell.
Cell* append_arg();
// Scans from the head for a cell equal to the value (compare-op find); answers the cell after it,
// or the static none cell when none matches or nothing follows.
Cell* select_value(const Cell* value, Cell* blk);
// Removes the first equal cell (from the head, or from the start); answers 0 when nothing matched,
// else 1 + the removed cell's position relative to the head (negative when before it).
i32 remove_value(const Cell* value, Cell* blk, bool from_start);
// Scans from the head for a word-family cell (word!, set-word!, lit-word!, get-word!) of the same
// symbol (exactly, or through canonical aliases); the cell after it, or the static none cell.
Cell* select_word(Cell* blk, const Cell* word, bool exact);
// Pushes a new block of copies of the cells from the head; with deep nested block! cells (and with
// paths also paren! and path cells) are cloned recursively. The new value takes the source's type.
Cell* clone(const Cell* blk, bool deep, bool paths);
// Replaces in place, by copies, the cells in [start, end) (step apart) whose type is the
// datatype!'s or in the typeset! and which are series, bitset!, object!, error! or map!.
void copy_typed_series(Cell* blk, i32 start, i32 end, i32 step, bool deep, const Cell* types);

// The library-code mark (series_flag::library): set on a block and every block and paren inside
// it, read on one block's node.
void mark_library(const Cell* blk);
bool library_q(Ref<Node> node);

// Makes the cell an empty block with room for n cells (at least 1).
Cell* make_at(Cell* out, i32 n);
Cell* make_buffer_at(Cell* out, i32 n, bool unmanaged);
// An empty unmanaged block of one cell, appended to the block or made in the boot scratch cell.
Cell* make_unmanaged_in(Cell* blk);
// An empty block with room for n cells, appended to the block or made in a scratch cell.
Cell* append_new_block(Cell* blk, i32 n);
Cell* push(const Cell* value);
Cell* push_new(i32 n);
inline Cell scratch{type::none, 0, 0, 0};  // the boot scratch cell (kept alive by the boot's roots)

// Molds the cells from the head (the body of mold, without brackets); first_on_new_line molds the
// first cell as if it carried a new-line marker.
i32 mold_each(const Cell* blk, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit,
              i32 indent, bool first_on_new_line = false);
// Element-wise comparison.
i32 compare_cells(const Cell* a, const Cell* b, i32 op);

// Types that can list themselves as a block (object!, map!, vector!, typeset!) register how here;
// make and to of block! call it: fills `out` with a new block and answers it.
inline Cell* (*body_makers[datatype::table_rows])(const Cell* spec, Cell* out) = {};

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* insert(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);
Cell* change(Cell* series, Cell* value, i32 part, bool only, i32 dup);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* put(Cell* series, Cell* key, Cell* value, bool case_);
Cell* swap(Cell* series1, Cell* series2);
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with);

// Registers block!.
void init();

}  // namespace kiv::block
