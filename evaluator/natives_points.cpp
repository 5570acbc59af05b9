// The coercions that build a pair or a point from separate numbers: as-pair, as-point2D, as-point3D.
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"

namespace kiv::natives {

using namespace detail;

namespace {

float coordinate(i32 n) {
  const Cell* c = stack::arguments + n;
  return point::to_float32(c->type() == type::integer ? c->as_int() : c->as_double());
}

}  // namespace

Exit as_pair(bool check) {
  if (check) check_args({number, number});
  const i32 x = pair::coordinate_from(stack::arguments), y = pair::coordinate_from(stack::arguments + 1);
  Cell p;
  return result(*pair::box(&p, x, y));
}

Exit as_point2d(bool check) {
  if (check) check_args({number, number});
  Cell p{type::point2D, 0, 0, 0};
  return result(*point2D::make_at(&p, coordinate(0), coordinate(1)));
}

Exit as_point3d(bool check) {
  if (check) check_args({number, number, number});
  Cell p{type::point3D, 0, 0, 0};
  return result(*point3D::make_at(&p, coordinate(0), coordinate(1), coordinate(2)));
}

}  // namespace kiv::natives
