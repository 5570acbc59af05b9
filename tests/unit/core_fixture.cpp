#include "tests/unit/core_fixture.h"

#include <algorithm>

#include "app/boot.h"
#include "datatypes/action.h"
#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/image.h"
#include "datatypes/dispatch.h"
#include "datatypes/email.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/hash.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/op.h"
#include "datatypes/ownership.h"
#include "datatypes/pair.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/ref.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/tag.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/unset.h"
#include "datatypes/url.h"
#include "datatypes/vector.h"
#include "datatypes/words.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/case_table.h"
#include "runtime/collector.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::test {

void boot_core() {
  static bool booted = false;
  if (!booted) {
    booted = true;
    memory::init();
    memory::new_node_frame(memory::node_frame_slots);
    memory::new_series_frame();
    stack::init();
    unicode::build_case_tables();
    // The boot's registration order (parents before children).
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    series::init();
    block::init();
    string::init();
    url::init();
    file::init();
    tag::init();
    email::init();
    ref::init();
    integer::init();
    char_::init();
    paren::init();
    float_::init();
    time::init();
    bitset::init();
    typeset::init();
    binary::init();
    handle::init();
    money::init();
    triple::init();
    pair::init();
    percent::init();
    tuple::init();
    point::init();
    hash::init();
    map::init();
    vector::init();
    date::init();
    image::init();
    // The word machinery: root block, symbol table, global context, word types, static words.
    words::boot_word_machinery();
    // The callable types (function! needs context!, registered with the words) and the paths.
    native::init();
    action::init();
    op::init();
    function::init();
    path::init();
    lit_path::init();
    set_path::init();
    get_path::init();
    routine::init();
    // Objects, errors with their catalogue, and the owners table.
    object::init();
    error::init();
    ownership::init();
    // The evaluator: the actions and natives tables, the interpreter's hooks.
    actions::init();
    boot::init_natives();
    interpreter::init();
    // Under KIV_TORTURE the collector runs as the start-up leaves it: on.
    if (collector::torture_every) collector::enabled = true;
  }
  stack::top = stack::arguments = stack::bottom;
  // A test runs as the body of a call: entries that answer in the arguments base (the call's
  // result cell) write there, not over the values the test keeps on the stack.
  stack::push_cell();
  mold::reset_cycles();
}

Cell& block_of(std::initializer_list<Arg> cells, u32 type_id) {
  // The given cells may be copies the collector does not know of: root them while the block grows.
  u32 rooted = 0;
  for (const Arg& a : cells) {
    roots::push(const_cast<Cell*>(a.cell), roots::Kind::cell);
    ++rooted;
  }
  Cell b{};
  {
    RootCell keep(b);
    block::make_at(&b, static_cast<i32>(cells.size()));
    for (const Arg& a : cells) block::append_value(&b, a.cell);
    cell::set_type(&b, type_id);
  }
  roots::top -= rooted;
  return *stack::push_value(&b);  // keeps the block alive for the test (the next boot_core drops it)
}

Cell& ints(std::initializer_list<i32> values) {
  Cell b{};
  RootCell keep(b);
  block::make_at(&b, static_cast<i32>(values.size()));
  for (i32 v : values) {
    Cell c = int_cell(v);
    block::append_value(&b, &c);
  }
  return *stack::push_value(&b);  // keeps the block alive for the test (the next boot_core drops it)
}

namespace {

// Finds a value equal under find (strict with case); answers the series at the match or none.
Cell* plain_find(Cell* series, Cell* value, Cell*, bool, bool case_, bool, bool, Cell*, Cell*, bool, bool, bool,
                 bool) {
  i32 op = case_ ? compare_op::strict_equal : compare_op::find;
  for (i32 i = std::max(block::head_index(series), 0), n = series::total_length(series); i < n; ++i) {
    Cell c = *block::cell_at(series, i);
    if (c.type() == value->type() && actions::dispatch_compare(&c, value, op) == 0) {
      series::set_head_index(series, i);
      return series;
    }
  }
  return &none::value;
}

}  // namespace

PlainBlockFind::PlainBlockFind() {
  saved_[0] = reinterpret_cast<void*>(datatype::actions[type::block].find);
  saved_[1] = reinterpret_cast<void*>(datatype::actions[type::paren].find);
  datatype::actions[type::block].find = plain_find;
  datatype::actions[type::paren].find = plain_find;
}

PlainBlockFind::~PlainBlockFind() {
  datatype::actions[type::block].find = reinterpret_cast<action::Find>(saved_[0]);
  datatype::actions[type::paren].find = reinterpret_cast<action::Find>(saved_[1]);
}

std::string mold_text(const Cell& value, bool only, bool all, bool flat, i32 limit) {
  Cell v = value, out = none_cell();
  RootCell keep_v(v), keep_out(out);
  actions::mold_to(&v, &out, only, all, flat, limit);
  return string::to_utf8(&out);
}

std::string form_text(const Cell& value, i32 limit) {
  Cell v = value, out = none_cell();
  RootCell keep_v(v), keep_out(out);
  actions::form_to(&v, &out, limit);
  return string::to_utf8(&out);
}

}  // namespace kiv::test
