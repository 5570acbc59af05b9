// email!: an e-mail address (ann@site) as a string with its own literal syntax. It stores its text like
// string!, its parent, and inherits form, comparison and the series actions from it; it molds without
// quotes, and its path access reaches the two halves around the first at sign: e/user and e/host
// read them as new strings and e/user: and e/host: replace them in place. An integer selector is
// string!'s path access.
//
// Collector contract: as string! (datatypes/string.h).
#pragma once
#include "runtime/cell.h"

namespace kiv::email {

// Actions.
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);

// Registers email! (after string!).
void init();

}  // namespace kiv::email
