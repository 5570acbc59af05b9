#include "datatypes/words.h"

#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/frame_words.h"
#include "datatypes/issue.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/sys.h"

namespace kiv::words {

namespace {

void make_name_word(u32 type_id) {
  datatype::TypeName& entry = datatype::names[type_id];
  if (!entry.name) return;
  Cell w = word::load(entry.name);
  datatype::names[type_id].word = w;
}

// Error arguments and conversions at run time make words by name without recording them.
void name_word(const char* name, u32 type_id, Cell* out) {
  word::load_at(name, out);
  cell::set_type(out, type_id);
}

void word_named(const char* name, Cell* out) { word::load_at(name, out); }

std::string word_name(const Cell* w) { return word::name_of(w); }

// The name words live in the registry's table, outside any block: marked (and their context
// reference rewritten) from here.
void mark_name_words() {
  for (datatype::TypeName& n : datatype::names) collector::mark_cell(&n.word);
}

}  // namespace

Cell* root_at(i32 index) { return block::cell_at(&root_block, index); }

i32 root_length() { return series::total_length(&root_block); }

i32 record(const Cell* value) {
  Cell v = *value;
  RootCell keep(v);
  i32 at = root_length();
  block::append_value(&root_block, &v);
  return at;
}

i32 record_if_recording(const Cell* value) { return word_recording ? record(value) : -1; }

void make_root_block() {
  block::make_buffer_at(&root_block, root_block_cells, true);
  block::set_tail(&root_block, 0);
  Cell stack_buffer{type::none, 0, 0, 0};
  RootCell keep(stack_buffer);
  block::make_buffer_at(&stack_buffer, stack::value_stack_cells, true);
  record(&stack_buffer);
  block::make_buffer_at(&stack_buffer, stack::frame_stack_cells, true);
  record(&stack_buffer);
  symbol::make_block();
  context::make_global();
  KIV_ASSERT(root_length() == root_index::first_free, "the root block's fixed indexes are wrong");
}

void init_symbol_index() { symbol::make_table(); }

void make_type_names() {
  static bool marked = false;
  if (!marked) {
    marked = true;
    collector::add_root_callback(mark_name_words);
  }
  hooks::make_name_word = make_name_word;
  datatype::make_name_words();
  hooks::name_word = name_word;
  hooks::word_named = word_named;
  hooks::word_name = word_name;
}

void make_static_words() {
  static_words::make_symbols_and_words();
  static_words::make_refinements();
  series::owned_symbol = static_words::symbol(static_words::sym::owned);
  stack::name_frame_words();
  hooks::part_refinement = [] { return *static_words::refinement(static_words::rid::part); };
}

void boot_word_machinery() {
  if (root_ready_q()) return;
  make_root_block();
  init_symbol_index();
  symbol::init();
  context::init();
  word::init();
  issue::init();
  make_type_names();
  make_static_words();
}

}  // namespace kiv::words
