// hash!: a block whose cells are all indexed by a hash table, so that find and select answer
// without a scan. Every block action works on it; the block code reports each change of a hash!'s
// cells (series::hash_changed) and this unit brings the index up to date: the entries of the run
// that changed are replaced and those after it renumbered; a change that is not described indexes
// the block again.
//
// Cell: header type 36; w1 the head index and w2 the block node, as a block!; w3 the node of a hash
// table of the hash! kind over the whole block (every cell, whatever the head), or 0 while none has
// been made (the block code then scans, and the next change makes one).
#pragma once
#include "runtime/cell.h"

namespace kiv::hash {

// Makes `out` a hash! over the block in the cell (which it takes as its own), indexing every cell.
Cell* make_at(Cell* out, const Cell* blk);

// Registers hash! and the index upkeep hook.
void init();

}  // namespace kiv::hash
