#include "datatypes/datatype.h"

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/stack.h"

namespace kiv::datatype {

Cell* push(u32 type_id) { return make_at(stack::push_cell(), type_id); }

Cell* add_to_block(Cell* block, u32 type_id) {
  Cell v;
  make_at(&v, type_id);
  return block::append_value(block, &v);
}

namespace {

// The name of the type a datatype! value names; an id no type has registered (such a value can be
// made) gets a stand-in rather than a read through a null name.
const TypeName& name_of(const Cell* value) {
  static const TypeName unknown{"unknown-type!", 12, Cell{}};
  u32 id = id_of(value);
  return id < table_rows && names[id].name ? names[id] : unknown;
}

}  // namespace

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  const TypeName& n = name_of(value);
  string::append_bytes(out, n.name, static_cast<i32>(n.length));
  return limit - static_cast<i32>(n.length);
}

i32 mold(const Cell* value, Cell* out, bool, bool all, bool, const Cell*, i32 limit, i32) {
  const TypeName& n = name_of(value);
  auto full = static_cast<i32>(n.length) + 1;
  if (all) string::append_c_string(out, "#(");
  string::append_bytes(out, n.name, full);
  if (all) string::append_c_string(out, ")");
  return limit - full - (all ? 3 : 0);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  switch (op) {
    case compare_op::equal:
    case compare_op::not_equal:
    case compare_op::strict_equal:
    case compare_op::same:
    case compare_op::find:
      return (b->type() == type::datatype && id_of(b) == id_of(a)) ? 0 : 1;
    default:
      return -2;
  }
}

void init() {
  register_type(type::datatype, 0, "datatype!", {.form = form, .mold = mold, .compare = compare});
  hashtable::set_hash_procedure(type::datatype, hashtable::hash_word1);
  // datatype! registers first in every boot: from then on keys without an equality of their own
  // compare through the registry.
  hooks::compare_values = actions::dispatch_compare;
}

}  // namespace kiv::datatype
