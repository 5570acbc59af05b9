// Catching language errors: a raised LanguageError becomes an error! value, with its near, where
// and stack read off the frames before the catcher unwinds them, and the trace hears of it.
#pragma once
#include "runtime/stack.h"

namespace kiv::stack {

// After catching a language error: makes its error! value (near from the innermost block being
// evaluated, where from the frames still on the stack, stack = the frame depth), fires the trace
// error event, then unwind_to(m) and copies the error into *out (a cell that stays put).
void catch_error(const LanguageError& e, const Mark& m, Cell* out);

// Runs body() (answering Exit) under a catcher: a language error raised inside is caught, the
// stacks are unwound to `m` and the error! value is stored in *error_out; then *caught is set and
// Exit::none answered. Statuses pass through untouched.
template <class Body>
Exit catching(const Mark& m, Cell* error_out, bool* caught, Body&& body) {
  try {
    *caught = false;
    return body();
  } catch (const LanguageError& e) {
    catch_error(e, m, error_out);
  }
  *caught = true;
  return Exit::none;
}

}  // namespace kiv::stack
