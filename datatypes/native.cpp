#include "datatypes/native.h"

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/native_table.h"
#include "datatypes/op.h"
#include "datatypes/registry.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::native {

namespace {

[[noreturn]] void bad_make_arg(const Cell& proto, const Cell& spec) {
  raise_error(ErrorCategory::script, "bad-make-arg", proto, spec);
}

bool field_is(i32 field, u32 static_symbol) {
  return symbol::resolve(field) == symbol::resolve(static_words::symbol(static_symbol));
}

// The value whose table slot an action!, native! or op! stands for: the type of the wrapped value
// for an operator.
u32 code_type(const Cell* value) {
  return value->type() == type::op ? op::wrapped_type(value) : value->type();
}

}  // namespace

i32 compare_code(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != a->type()) return -2;
  switch (op) {
    case compare_op::equal:
    case compare_op::not_equal:
    case compare_op::strict_equal:
    case compare_op::sort:
    case compare_op::case_sort:
    case compare_op::same:
    case compare_op::find:
      return a->w1 < b->w1 ? -1 : a->w1 > b->w1 ? 1 : 0;
    default:
      return -2;
  }
}

Cell* make(Cell* proto_in, Cell* spec_in, u32 type_id) {
  Cell proto = *proto_in, spec = *spec_in;
  RootCell keep_proto(proto), keep_spec(spec);
  // Everything is checked before anything is made: a refused make leaves nothing behind.
  if (spec.type() != type::block || block::length(&spec) != 2) bad_make_arg(proto, spec);
  i32 head = block::head_index(&spec);
  Cell interface = *block::cell_at(&spec, head);
  Cell index = *block::cell_at(&spec, head + 1);
  RootCell keep_interface(interface);
  // The spec becomes the value's interface: anything but a block would leave word 2 pointing at no
  // series.
  if (interface.type() != type::block || index.type() != type::integer) bad_make_arg(proto, spec);
  bool is_native = type_id == type::native;
  const natives::Slot* slot =
      is_native ? natives::native_slot(integer::get(&index)) : natives::action_slot(integer::get(&index));
  // An empty slot, or one whose procedure is called another way, would make a value that jumps
  // nowhere (or into a procedure that reads its arguments differently).
  natives::Convention wanted = is_native ? natives::Convention::native : natives::Convention::action;
  if (!slot || !slot->code || slot->convention != wanted) bad_make_arg(proto, spec);

  Cell* out = stack::push_cell();  // the value stack does not move: `out` stays valid
  out->header = type_id;
  out->w1 = static_cast<u32>(integer::get(&index));
  out->w2 = interface.w2;
  Ref<Node> more = memory::alloc_unset_cells(2);
  {
    SeriesBuffer* b = buffer_of(more);
    b->tail = b->head + 2 * sizeof(Cell);
  }
  out->w3 = more.offset();
  // The context holds the spec's words, so the interface can be walked by word like a function's.
  Ref<Node> ctx = context::make_from_words(&interface, true, false, context::function);
  Cell* cells = buffer_of(Ref<Node>(out->w3))->head_ptr<Cell>();
  cells[0] = *context::cell_of(ctx);
  cells[1] = Cell{type::none, 0, 0, 0};
  return out;
}

Cell* reflect(Cell* value, i32 field) {
  Cell v = *value;
  if (field_is(field, static_words::sym::spec)) return spec_block(&v, stack::push_cell());
  if (field_is(field, static_words::sym::body)) {
    u32 t = code_type(&v);
    if (t == type::function || t == type::routine) return stack::push_value(function::more_cell(&v, function::more::body));
    // The 1-based position in the natives table (natives) or the actions table (actions).
    return integer::box(stack::push_cell(), slot_of(&v));
  }
  raise_error(ErrorCategory::internal, "not-done");
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  const char* text = value->type() == type::native ? "?native?" : value->type() == type::action ? "?action?" : "?op?";
  string::append_c_string(out, text);
  return limit - static_cast<i32>(std::strlen(text));
}

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  Cell spec;
  spec_block(value, &spec);
  RootCell keep(spec);
  string::append_c_string(out, value->type() == type::action ? "make action! [" : "make native! [");
  limit = block::mold(&spec, out, only, all, flat, part, limit - 14, indent);
  string::append_char(out, ']');
  return limit - 1;
}

i32 compare(const Cell* a, const Cell* b, i32 op) { return compare_code(a, b, op); }

void init() {
  datatype::register_type(type::native, 0, "native!",
                          {.make = make, .reflect = reflect, .form = form, .mold = mold, .compare = compare});
  hashtable::set_hash_procedure(type::native, hashtable::hash_word3, true);
  collector::set_mark_procedure(type::native, collector::mark_native);
}

}  // namespace kiv::native
