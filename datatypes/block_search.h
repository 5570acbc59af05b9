// block! search, sort and the set operations: find and select (also behind put, path access and
// remove/key), sort with its two comparators, and the core of unique, union, intersect, exclude and
// difference. They serve paren!, the path types and hash! too; a hash! is searched through its key
// index (w3) wherever the index can answer.
//
// Operators: find and select compare with compare-op find (12), strict-equal (2) with /case, same
// (9) with /same; sort with sort (7), or case-sort (8) with /case.
//
// Collector contract: the series cells passed in stay where they are across a call (value-stack
// cells, rooted locals, unmanaged cells). Results are pushed on the value stack (or are the static
// none cell). Comparisons may allocate: nothing here holds a buffer address across one.
#pragma once
#include "runtime/cell.h"

namespace kiv::block {

// The series positioned at the match (pushed on the value stack), or the static none cell. /any and
// /with are accepted and not used.
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
// The value after the match (after the whole matched run for a run of cells), pushed, or none.
Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse);
// Sorts in place and answers the series.
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable);

// Set operation codes (arith-op).
namespace set_op {
enum : i32 { unique = 8, union_ = 9, intersect = 10, exclude = 11, difference = 12 };
}
// Works on the current call's arguments (the first series at the arguments base, the second after
// it except for unique) and leaves the result in the first argument. skip: the /skip argument or
// null.
void do_set_operation(bool case_, const Cell* skip, i32 op);

// The comparison of the default sort comparator for two cells under a compare-op (sort or
// case-sort): the first cell's type's comparison, values that cannot be compared ordered by type id.
i32 sort_compare_cells(const Cell* a, const Cell* b, i32 op);

}  // namespace kiv::block
