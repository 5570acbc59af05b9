// Comparison as the language sees it: the comparison natives (equal? .. greater-or-equal?), same?
// and not. Every comparison goes through actions::compare / actions::dispatch_compare (dispatch.h),
// which dispatch on the first value's datatype; this unit adds identity (same?) and the natives.
#pragma once
#include "runtime/cell.h"

namespace kiv::compare {

// same?: the same type and the same identity (payload, series buffer and index, context ...).
bool same_q(const Cell* a, const Cell* b);

}  // namespace kiv::compare
