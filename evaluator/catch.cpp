#include "evaluator/catch.h"

#include "datatypes/error.h"
#include "datatypes/frame_words.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "evaluator/interpreter.h"
#include "runtime/roots.h"

namespace kiv::stack {

void catch_error(const LanguageError& e, const Mark& m, Cell* out) {
  // Everything the report needs is read from the frames before they go.
  Cell args[3] = {e.args[0], e.args[1], e.args[2]};
  RootCell k0(args[0]), k1(args[1]), k2(args[2]);
  Cell near = innermost_position();
  RootCell keep_near(near);
  i32 depth = frame_depth();
  // Building the report pushes cells: the region above the catcher's mark is dead already.
  if (top > m.top) top = m.top;
  Cell where = *get_where();
  RootCell keep_where(where);
  Cell err{type::none, 0, 0, 0};
  RootCell keep_err(err);
  if (!e.id) {
    err = raised_error;
    raised_error = none::value;
  } else {
    LanguageError copy = e;
    for (int i = 0; i < 3; ++i) copy.args[i] = args[i];
    error::from_language_error(copy, &err);
    if (near.type() == type::block) *error::field_of(&err, error::field::near) = near;
  }
  if (err.type() == type::error) {
    error::set_where(&err, &where);
    Cell* st = error::field_of(&err, error::field::stack);
    if (st->type() != type::block) integer::make_at(st, depth);
    if (interpreter::tracing) {
      Cell report = err;
      RootCell keep_report(report);
      Exit ignored = interpreter::fire_event(interpreter::event::error, nullptr, -1, nullptr, &report);
      (void)ignored;
    }
  }
  unwind_to(m);
  *out = err;
}

}  // namespace kiv::stack
