#include "evaluator/compare.h"

#include <cstring>

#include "datatypes/dispatch.h"
#include "datatypes/logic.h"
#include "datatypes/op.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "evaluator/natives.h"
#include "runtime/stack.h"

namespace kiv::compare {

bool same_q(const Cell* a, const Cell* b) {
  const u32 t = a->type();
  if (t != b->type()) return false;
  switch (t) {
    case type::none:
    case type::unset:
      return true;
    case type::datatype:
    case type::logic:
    case type::object:
      return a->w1 == b->w1;
    case type::char_:
    case type::integer:
    case type::bitset:
      return a->w2 == b->w2;
    case type::float_:
    case type::percent:
    case type::time:
      return a->w2 == b->w2 && a->w3 == b->w3;
    case type::pair:
    case type::point2D:
      return a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3;
    case type::tuple: {
      // The length byte sits in the header's upper bits; the bytes fill the payload.
      return (a->header & ~header::new_line) == (b->header & ~header::new_line) && a->w1 == b->w1 &&
             a->w2 == b->w2 && a->w3 == b->w3;
    }
    case type::money:
      return actions::dispatch_compare(a, b, compare_op::same) == 0;
    case type::native:
    case type::action:
      return a->w1 == b->w1 && a->w2 == b->w2;
    case type::op:
      return a->w1 == b->w1 && op::wrapped_type(a) == op::wrapped_type(b);
    default:
      if (series::series_type_q(t)) return a->w2 == b->w2 && a->w1 == b->w1;
      return a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3;
  }
}

}  // namespace kiv::compare

namespace kiv::natives {

namespace {

Exit comparison(i32 op) {
  Cell* a = stack::arguments;
  bool r = actions::compare(a, a + 1, op);
  logic::box(a, r);
  return Exit::none;
}

}  // namespace

Exit equal_q(bool) { return comparison(compare_op::equal); }
Exit not_equal_q(bool) { return comparison(compare_op::not_equal); }
Exit strict_equal_q(bool) { return comparison(compare_op::strict_equal); }
Exit lesser_q(bool) { return comparison(compare_op::lesser); }
Exit greater_q(bool) { return comparison(compare_op::greater); }
Exit lesser_or_equal_q(bool) { return comparison(compare_op::lesser_or_equal); }
Exit greater_or_equal_q(bool) { return comparison(compare_op::greater_or_equal); }

Exit same_q(bool) {
  Cell* a = stack::arguments;
  logic::box(a, compare::same_q(a, a + 1));
  return Exit::none;
}

Exit not_(bool) {
  Cell* a = stack::arguments;
  logic::box(a, !logic::true_q(a));
  return Exit::none;
}

}  // namespace kiv::natives
