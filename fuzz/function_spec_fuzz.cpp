// The function maker on random spec blocks: `make function!` with a spec built from the input's
// bytes (words of every kind over a small vocabulary that includes return, local, extern, trace;
// strings, integers, type blocks, attribute blocks, nested blocks, other values) and a small body.
// A spec is either refused with one of the spec errors, or it makes a function that reflects,
// molds, forms, and can be offered to `make op!` and to the function native's local collection.
// Anything else (a crash, a sanitizer report, another error) is a finding.
//
// The first byte's two top bits both set run the making with the collector moving every buffer and node at
// every allocation (torture mode), so that a value held across an allocation without a root shows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "datatypes/action.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/op.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/registry.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "fuzz/fuzz_support.h"
#include "runtime/case_table.h"
#include "runtime/collector.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

using namespace kiv;

namespace {

using fuzz::Input;
[[noreturn]] void finding(const char* what) { fuzz::finding("function_spec_fuzz", what); }

const char* const vocabulary[] = {"a", "b", "A", "c", "return", "local", "extern", "trace",
                                  "no-trace", "foreach", "fz-int", "fz-word", "fz-five", "fz-unset", "self", "x"};
constexpr u32 vocabulary_size = sizeof(vocabulary) / sizeof(vocabulary[0]);

void boot() {
  memory::init();
  memory::new_node_frame(memory::node_frame_slots);
  memory::new_series_frame();
  stack::init();
  unicode::build_case_tables();
  datatype::init();
  unset::init();
  none::init();
  logic::init();
  series::init();
  block::init();
  string::init();
  integer::init();
  char_::init();
  paren::init();
  float_::init();
  time::init();
  words::boot_word_machinery();
  native::init();
  action::init();
  op::init();
  function::init();
  path::init();
  lit_path::init();
  set_path::init();
  get_path::init();
  routine::init();
  // Type-block words with values of every kind that matters.
  auto set = [](const char* name, Cell value) {
    Cell w;
    word::load_at(name, &w);
    word::set(&w, &value);
  };
  Cell dt;
  set("fz-int", *datatype::make_at(&dt, type::integer));
  Cell w;
  set("fz-word", *word::load_at("fz-int", &w));
  set("fz-five", Cell{type::integer, 0, 5, 0});
  for (const char* name : vocabulary) word::load_at(name, &w);  // every name interned up front
}

Cell word_of(u32 index, u32 t) {
  Cell w;
  word::load_at(vocabulary[index % vocabulary_size], &w);
  cell::set_type(&w, t);
  return w;
}

// Appends one value chosen by the input to the block held in `blk` (a value-stack cell).
void append_value(Cell* blk, Input& in, i32 depth) {
  u8 b = in.next();
  u32 name = b >> 4;
  Cell v{type::none, 0, 0, 0};
  switch (b & 15) {
    case 0: case 1: v = word_of(name, type::word); break;
    case 2: v = word_of(name, type::set_word); break;
    case 3: v = word_of(name, type::lit_word); break;
    case 4: v = word_of(name, type::get_word); break;
    case 5: case 6: v = word_of(name, type::refinement); break;
    case 7: string::make_from_utf8(&v, "doc"); break;
    case 8: v = Cell{type::integer, 0, name, 0}; break;
    case 9: case 10: {  // a block: a type block, an attribute block or any block, by what it holds
      if (depth > 6) break;
      Cell* inner = block::push_new(4);
      for (u32 i = 0, n = name % 4; i < n && in.more(); ++i) append_value(inner, in, depth + 1);
      v = *inner;
      break;
    }
    case 11: {  // a registered type (a datatype! never names another)
      u32 id = 1 + name % type::count;
      while (!datatype::names[id].name) id = id % type::count + 1;
      datatype::make_at(&v, id);
      break;
    }
    case 12: {
      v = Cell{type::typeset, 0, 0, 0};
      cell::typeset_add(&v, 1 + name % type::count);
      break;
    }
    case 13: v = word_of(name, type::issue); break;
    case 14: logic::box(&v, name & 1); break;
    default: break;  // none
  }
  RootCell keep(v);
  block::append_value(blk, &v);
}

const std::set<std::string>& allowed_make_errors() {
  static const std::set<std::string> ids = {"bad-func-def", "dup-vars", "invalid-type-spec", "no-value"};
  return ids;
}

template <class Body>
void expect_only(Body&& body, const std::set<std::string>& allowed) {
  try {
    body();
  } catch (const LanguageError& e) {
    if (!allowed.count(e.id)) {
      std::fprintf(stderr, "unexpected error: %s\n", e.id);
      finding("an error outside the listed ones");
    }
  }
}

i32 word_like_count(const Cell* spec) {
  i32 n = 0;
  for (i32 i = std::max(block::head_index(spec), 0); i < series::total_length(spec); ++i) {
    u32 t = block::cell_at(spec, i)->type();
    n += t == type::word || t == type::get_word || t == type::lit_word || t == type::refinement;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool booted = false;
  if (!booted) {
    booted = true;
    boot();
  }
  stack::top = stack::arguments = stack::bottom;
  mold::reset_cycles();
  if (size == 0) return 0;
  Input in{data, data + size};
  u8 mode = in.next();

  Cell* spec = block::push_new(8);
  Cell* body = block::push_new(4);
  i32 count = 0;
  while (in.more() && count < 64) {
    if (in.p[0] == 0xFF) {  // the rest goes to the body
      ++in.p;
      break;
    }
    append_value(spec, in, 0);
    ++count;
  }
  while (in.more()) append_value(body, in, 1);
  if (mode & 1) series::set_head_index(spec, std::min<i32>(1, series::total_length(spec)));
  Cell* arg = block::push_new(2);
  block::append_value(arg, spec);
  block::append_value(arg, body);
  Cell proto;
  datatype::make_at(&proto, type::function);

  bool torture = (mode & 0xC0) == 0xC0;
  if (torture) {
    collector::enabled = true;
    collector::set_torture(1);
  }
  Cell* function_cell = stack::push_cell();
  bool made = false;
  expect_only([&] { *function_cell = *datatype::row(type::function).make(&proto, arg, type::function); made = true; },
              allowed_make_errors());
  if (made) {
    Cell f = *function_cell;
    RootCell keep(f);
    if (f.type() != type::function) finding("make function! made something else");
    // A valid spec has no repeated word: the context holds one word per word-like value.
    if (context::word_count(function::context_node(&f)) != word_like_count(spec)) finding("context size");
    Cell* words = datatype::row(type::function).reflect(&f, static_words::symbol(static_words::sym::words));
    if (block::length(words) != word_like_count(spec)) finding("words-of size");
    datatype::row(type::function).reflect(&f, static_words::symbol(static_words::sym::body));
    datatype::row(type::function).reflect(&f, static_words::symbol(static_words::sym::spec));
    Cell out{type::none, 0, 0, 0};
    RootCell keep_out(out);
    // Until typeset! registers, a typeset in a spec cannot be molded (expect-arg).
    std::set<std::string> mold_errors;
    if (!datatype::row(type::typeset).mold) mold_errors.insert("expect-arg");
    expect_only([&] { actions::mold_to(&f, &out); }, mold_errors);
    expect_only([&] { actions::form_to(&f, &out); }, mold_errors);
    Cell op_proto;
    datatype::make_at(&op_proto, type::op);
    bool op_ok = op::spec_ok_q(function::spec_node(&f));
    bool op_made = false;
    expect_only([&] { datatype::row(type::op).make(&op_proto, &f, type::op); op_made = true; }, {"bad-op-spec"});
    if (op_made != op_ok) finding("make op! disagrees with the operator spec check");
    function::count_locals(function::spec_node(&f), 0, true);
    // The function native edits its spec: give it a copy.
    Cell* copy = block::clone(spec, false, false);
    expect_only([&] { function::collect_locals(copy, body); }, {"bad-func-extern"});
    expect_only([&] { function::validate_spec(copy); }, allowed_make_errors());
  }
  // A routine made from the same spec (any block is accepted up to 31 words).
  expect_only([&] { routine::make_value(spec, body, 0, routine::no_result, mode & 2); }, {"bad-func-def"});
  if (torture) {
    collector::set_torture(0);
    collector::enabled = false;
  }
  return 0;
}
