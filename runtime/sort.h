// Sorting of fixed-width records driven by a comparison procedure: a stable natural merge sort
// (powersort merge policy) and an unstable quicksort. Both sort in place, move whole records and
// never look inside them; the record width is the caller's (a cell times the /skip size for
// blocks, one character unit for strings).
//
// Both keep the array a permutation of what it was whatever the comparison does: when it throws,
// every record is still there exactly once (the merge sort puts back what its work buffer held and
// frees the buffer), and the exception goes on to the caller.
#pragma once
#include <cstdint>

#include "runtime/memory.h"

namespace kiv::sorting {

// Above 0 when the record at a must come after the one at b, 0 when they are equal for sorting,
// below 0 otherwise. `context` and `flags` are handed through untouched (a comparison kind, a
// pointer to the caller's state, packed refinements ...).
using Compare = i32 (*)(const void* a, const void* b, std::uintptr_t context, u32 flags);

// Stable. Takes a work buffer of count / 2 records: script too-long when its size does not fit a
// signed 32-bit integer, internal no-memory when it cannot be had; the array is then unchanged.
void merge_sort(void* base, u32 count, u32 width, std::uintptr_t context, u32 flags, Compare compare);

// Not stable; allocates nothing. Depth stays logarithmic whatever the input: the recursion takes
// the smaller part, and a range that keeps partitioning badly is finished by heapsort.
void quick_sort(void* base, u32 count, u32 width, std::uintptr_t context, u32 flags, Compare compare);

// Exchanges two records, 32 bits at a time when the width allows it.
void swap(void* a, void* b, u32 width);

// Sorts `count` records of `width` bytes starting `offset` bytes after the head of the series, in
// place, for comparisons that run language code (sort/compare with a function): such a comparison
// may allocate, collect, move the series' buffer and even change the series.
//
// The sort therefore holds no address across a comparison: it keeps the series by its node (a
// shadow root), and every record address is derived afresh from the node after each comparison
// returns. The comparison receives addresses into the buffer that stay valid only until it
// allocates: it copies the records (onto the value stack) before running any code. The merge
// sort's work buffer is a series of the arena held the same way, cells when the series holds
// cells, so the collector marks and rewrites the values that sit in it mid-merge.
//
// A comparison that shortens the series below the sorted range raises script past-end; a sort
// stopped by an error leaves the range a permutation of its records (unless the comparison itself
// changed them).
void sort_series(Ref<Node> series, u32 offset, u32 count, u32 width, std::uintptr_t context, u32 flags,
                 Compare compare, bool stable);

}  // namespace kiv::sorting
