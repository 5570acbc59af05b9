// map!: an associative table from keys to values, written #[key value ...]. Not a series: no
// position, no order of its own beyond insertion, no parent type.
//
// Cell: header type 40; w1 always 0 (a foreach copy uses it as its cursor); w2 the node of the entry
// block; w3 the node of a hash table of the map kind over that block.
//
// Entry block: two cells per entry, key then value, in insertion order. A removed entry keeps its
// key in the block and in the index, its value cell's header set to 0 (no type): every reader skips
// it, and setting the key again re-uses the entry. The table counts the live entries.
//
// Keys: words of the four kinds are stored as set-word!, series keys as copies (later changes to
// the caller's series do not reach the map), scalars, refinement! and issue! as they are. Look-ups
// ignore case unless asked (/case, strict equality); remove/key always matches the key's case.
//
// Collector contract: map cells passed in stay where they are across a call (value-stack cells,
// rooted locals). Results are pushed on the value stack (or are the static none cell).
#pragma once
#include "runtime/cell.h"

namespace kiv::map {

inline Ref<Node> block_of(const Cell* m) { return Ref<Node>(m->w2); }
inline Ref<Node> table_of(const Cell* m) { return Ref<Node>(m->w3); }

// Whether values of the type can be keys.
bool valid_key_type_q(u32 type_id);

// Makes `out` a map over the block (key/value cells from its start; the map takes the block's buffer
// as its own), or, with a null block, an empty map with room for `size` entries.
Cell* make_at(Cell* out, const Cell* blk, i32 size);
// Live entries.
i32 pair_count(const Cell* m);
// Adds or replaces the pairs of a block of keys and values; an odd count raises invalid-arg.
void extend(Cell* m, const Cell* blk, bool case_);
// Sets one key (the key type checked); none is a value like any other.
void set_key(Cell* m, const Cell* key, const Cell* value, bool case_);
// The value of a live entry, pushed, or the static none cell.
Cell* get_key(Cell* m, const Cell* key, bool case_);
Cell* push(const Cell* m);
// One round of foreach: the words take the next cells of the live entries (keys given back as
// word!), none past the last. `iter` is the loop's own copy of the map; its w1 is the cursor.
bool foreach_next(Cell* iter, const Cell* words, i32 count);

// Registers map!, its lexer maker and the table's key hooks.
void init();

}  // namespace kiv::map
