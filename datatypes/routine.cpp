#include "datatypes/routine.h"

#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::routine {

namespace {

// word! cells of the whole spec series, its head index not applied.
i32 count_words(const Cell* spec) {
  SeriesBuffer* b = block::buffer_of(spec);
  i32 n = 0;
  for (const Cell *c = b->head_ptr<Cell>(), *end = b->tail_ptr<Cell>(); c < end; ++c) n += c->type() == type::word;
  return n;
}

}  // namespace

// ---- The registry ------------------------------------------------------------------------------

i32 find(std::string_view name) {
  const auto& r = registry();
  for (size_t i = 1; i < r.size(); ++i) {
    if (r[i].name == name) return static_cast<i32>(i);
  }
  return 0;
}

const Entry* entry(i32 index) {
  const auto& r = registry();
  return index > 0 && static_cast<size_t>(index) < r.size() ? &r[static_cast<size_t>(index)] : nullptr;
}

i32 add_entry(const Entry& e) {
  if (i32 known = find(e.name)) return known;
  registry().push_back(e);
  return static_cast<i32>(registry().size() - 1);
}

namespace detail {

i32 arg_i32(Cell* c, i32 position) {
  if (c->type() != type::integer && c->type() != type::char_) actions::raise_expect_arg(c->type(), position);
  return integer::get(c);
}

double arg_double(Cell* c, i32 position) {
  switch (c->type()) {
    case type::float_:
    case type::percent: return float_::get(c);
    case type::integer: return integer::get(c);
    default: actions::raise_expect_arg(c->type(), position);
  }
}

bool arg_bool(Cell* c, i32 position) {
  if (c->type() != type::logic) actions::raise_expect_arg(c->type(), position);
  return logic::get(c) != 0;
}

void box_i32(Cell* out, i32 v) { integer::box(out, v); }
void box_double(Cell* out, double v) { float_::box(out, v); }
void box_bool(Cell* out, bool v) { logic::box(out, v); }
void box_cell(Cell* out, const Cell* v) { *out = v ? *v : Cell{type::unset, 0, 0, 0}; }
void box_none(Cell* out) { *out = Cell{type::unset, 0, 0, 0}; }

}  // namespace detail

// ---- Values ------------------------------------------------------------------------------------

void set_arity(Cell* r) {
  Cell spec;
  native::spec_block(r, &spec);
  i32 n = count_words(&spec);
  if (n > max_arity) raise_error(ErrorCategory::script, "bad-func-def", spec);
  r->header = (r->header & ~flag::arity_mask) | (static_cast<u32>(n) << flag::arity_shift);
}

Cell* make_value(const Cell* spec_in, const Cell* body_in, i32 code, i32 result_kind, bool cells) {
  Cell spec = *spec_in;
  Cell body = body_in ? *body_in : none::value;
  RootCell keep_spec(spec), keep_body(body);
  // Checked before anything is made.
  if (spec.type() != type::block) raise_error(ErrorCategory::script, "bad-func-def", spec);
  if (count_words(&spec) > max_arity) raise_error(ErrorCategory::script, "bad-func-def", spec);
  Ref<Node> ctx = context::make_from_words(&spec, true, false, context::function);
  RootNode keep_ctx(ctx);
  Cell* out = stack::push_cell();  // stays put: the value stack never moves
  out->header = type::routine | (cells ? flag::cells : 0);
  out->w1 = ctx.offset();
  out->w2 = spec.w2;
  Ref<Node> more = memory::alloc_unset_cells(function::more::count);
  out->w3 = more.offset();
  SeriesBuffer* b = buffer_of(more);
  b->tail = b->head + function::more::count * sizeof(Cell);
  Cell* m = b->head_ptr<Cell>();
  m[function::more::body] = body;
  integer::box(&m[function::more::code], code);
  integer::box(&m[function::more::extra], result_kind);
  set_arity(out);
  return out;
}

Cell* define(std::string_view name, const Cell* spec_in, const Cell* body_in) {
  Cell spec = *spec_in;
  Cell body = body_in ? *body_in : none::value;
  RootCell keep_spec(spec), keep_body(body);
  i32 index = find(name);
  const Entry* e = entry(index);
  if (!e) {
    Cell w;
    word::load_at(std::string(name).c_str(), &w);
    raise_error(ErrorCategory::internal, "not-here", w);
  }
  if (spec.type() != type::block || count_words(&spec) != e->arity) {
    raise_error(ErrorCategory::script, "bad-func-def", spec);
  }
  return make_value(&spec, &body, index, e->result_kind, e->cells);
}

const Entry* entry_of(const Cell* r) {
  const Cell* code = function::more_cell(r, function::more::code);
  return code->type() == type::integer ? entry(integer::get(code)) : nullptr;
}

Cell* invoke(const Cell* r, Cell* args) {
  const Entry* e = entry_of(r);
  if (!e) raise_error(ErrorCategory::internal, "not-done");
  Cell result{type::unset, 0, 0, 0};
  RootCell keep(result);
  e->thunk(e->code, args, &result);
  *args = result;
  return args;
}

// ---- Actions -----------------------------------------------------------------------------------

i32 form(const Cell*, Cell* out, const Cell*, i32 limit) {
  string::append_c_string(out, "?routine?");
  return limit - 9;
}

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  Cell v = *value, spec;
  native::spec_block(&v, &spec);
  RootCell keep_v(v), keep_spec(spec);
  string::append_c_string(out, "routine ");
  limit = block::mold(&spec, out, only, all, flat, part, limit - 8, indent);
  Cell body = *function::more_cell(&v, function::more::body);
  RootCell keep_body(body);
  if (body.type() == type::block) return block::mold(&body, out, only, all, flat, part, limit, indent);
  string::append_char(out, ' ');
  return actions::dispatch_mold(&body, out, only, all, flat, part, limit - 1, indent);
}

i32 compare(const Cell* a, const Cell* b, i32 op) { return native::compare_code(a, b, op); }

void init() {
  datatype::register_type(type::routine, type::function, "routine!",
                          {.reflect = action::inherit, .form = form, .mold = mold, .compare = compare});
  collector::set_mark_procedure(type::routine, collector::mark_function);
}

}  // namespace kiv::routine
