#include "datatypes/op.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/registry.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::op {

namespace {

i32 static_refinement_symbol(u32 id) { return symbol::resolve(static_cast<i32>(static_words::refinement(id)->w2)); }

}  // namespace

bool spec_ok_q(Ref<Node> spec) {
  SeriesBuffer* b = buffer_of(spec);
  const Cell* c = b->head_ptr<Cell>();
  const Cell* end = b->tail_ptr<Cell>();
  i32 count = 0;
  bool plain_seen = false;
  for (; c < end; ++c) {
    switch (c->type()) {
      case type::word:
        ++count;
        plain_seen = true;
        break;
      case type::lit_word:
      case type::get_word:
        // The left argument is evaluated before the operator is seen: it cannot be quoted.
        if (!plain_seen) return false;
        ++count;
        break;
      case type::set_word:  // return: ends the arguments
        return count == 2;
      case type::refinement: {
        i32 s = symbol::resolve(static_cast<i32>(c->w2));
        bool locals = s == static_refinement_symbol(static_words::rid::local) ||
                      s == static_refinement_symbol(static_words::rid::extern_);
        return locals && count == 2;
      }
      default:
        break;
    }
  }
  return count == 2;
}

Cell* make(Cell*, Cell* spec, u32) {
  Cell v = *spec;
  RootCell keep(v);
  u32 t = v.type();
  if (t != type::action && t != type::native && t != type::function && t != type::routine) {
    Cell dt;
    datatype::make_at(&dt, t);
    raise_error(ErrorCategory::script, "invalid-type", dt);
  }
  if (!spec_ok_q(native::spec_node(&v))) raise_error(ErrorCategory::script, "bad-op-spec");
  if (t == type::function || t == type::routine) *function::more_cell(&v, function::more::op_value) = v;
  Cell* out = stack::push_value(&v);
  out->header = type::op | (t << wrapped_shift);
  return out;
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) { return native::form(value, out, part, limit); }

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  Cell v = *value, spec;
  native::spec_block(&v, &spec);
  RootCell keep_v(v), keep_spec(spec);
  bool func = wrapped_type(&v) == type::function;
  string::append_c_string(out, "make op! ");
  limit -= 9;
  string::append_c_string(out, func ? "func " : "[");
  limit -= func ? 5 : 1;
  limit = block::mold(&spec, out, only, all, flat, part, limit, indent);
  if (!func) {
    string::append_char(out, ']');
    return limit - 1;
  }
  Cell body = *function::more_cell(&v, function::more::body);
  RootCell keep_body(body);
  if (body.type() != type::block) {
    // A function without a body (compiled code only): as function! mold shows it.
    string::append_c_string(out, " none");
    return limit - 5;
  }
  return block::mold(&body, out, false, all, flat, part, limit, indent);
}

i32 compare(const Cell* a, const Cell* b, i32 op) { return native::compare_code(a, b, op); }

namespace {

// native!'s blocks, and the context of a wrapped function! or routine!, whose words 1-3 it carries.
void mark(Cell* c) {
  collector::mark_native(c);
  if (u32 wrapped = wrapped_type(c); wrapped == type::function || wrapped == type::routine)
    collector::mark_context(&c->w1);
}

}  // namespace

void init() {
  datatype::register_type(type::op, type::native, "op!",
                          {.make = make, .reflect = action::inherit, .form = form, .mold = mold, .compare = compare});
  hashtable::set_hash_procedure(type::op, hashtable::hash_words123, true);
  collector::set_mark_procedure(type::op, mark);
}

}  // namespace kiv::op
