#include "datatypes/percent.h"

#include <cstring>

#include "datatypes/float.h"
#include "datatypes/registry.h"
#include "datatypes/scalar.h"
#include "datatypes/string.h"
#include "runtime/float_text.h"

namespace kiv::percent {

Cell* make_in(Cell* block, double fraction) {
  Cell* c = cell::append_slot(block);
  c->header = type::percent;
  return make_at(c, fraction);
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  const char* text = float_::to_cstring(value->as_double() * 100.0, float_text::kind::percent);
  string::append_c_string(out, text);
  return limit - static_cast<i32>(std::strlen(text));
}


void init() {
  using action::inherit;
  action::Entries e;
  e.make = inherit;
  e.random = inherit;
  e.to = inherit;
  e.form = form;
  e.mold = scalar::mold_as_form<form>;
  e.compare = inherit;
  e.absolute = inherit;
  e.add = inherit;
  e.divide = inherit;
  e.multiply = inherit;
  e.negate = inherit;
  e.power = inherit;
  e.remainder = inherit;
  e.round = inherit;
  e.subtract = inherit;
  e.even_q = inherit;
  e.odd_q = inherit;
  datatype::register_type(type::percent, type::float_, "percent!", e);
}

}  // namespace kiv::percent
