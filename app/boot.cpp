// The boot steps, one procedure each, in the order init_runtime runs them. A step whose subsystem
// is not built yet is an empty procedure with a line on what lands there.
#include "app/boot.h"

#include "datatypes/action.h"
#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
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
#include "datatypes/issue.h"
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
#include "datatypes/port.h"
#include "datatypes/ref.h"
#include "datatypes/routine.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tag.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/unset.h"
#include "datatypes/url.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "lexer/lexer.h"
#include "os/services.h"
#include "runtime/case_table.h"
#include "runtime/collector.h"
#include "runtime/external.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "runtime/platform.h"
#include "runtime/print_hooks.h"
#include "runtime/random.h"
#include "runtime/slot_table.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

namespace kiv::boot {
namespace {

// 1
void start_word_recording() { words::word_recording = true; }

// 2
void init_print_hooks() { print_hooks::init(); }

// 3
void init_os() { os::init(); }

// 4: the random generator's state, seeded, and the hash seed fixed before the first hash table.
void init_random() { random::init(); }

// 5
void init_memory() { memory::init(); }

// 6
void init_externals() { externals::init(); }

// 7: the type-name table (57 entries) and the type-action table (57 x 256), tracked blocks.
void init_type_tables() {}

// 8: the 53 datatype registrations, parents before children, the imaging factory just before image!.
// The word family registers as one unit (word!, lit-word!, set-word!, get-word!, refinement!).
void register_datatypes() {
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
  symbol::init();
  context::init();
  word::init();
  char_::init();
  native::init();
  action::init();
  op::init();
  path::init();
  lit_path::init();
  set_path::init();
  get_path::init();
  function::init();
  routine::init();
  paren::init();
  issue::init();
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
}

// 9: the actions table (62 entries in slot order).
void init_actions() { actions::init(); }

// 10
void init_frames() {
  memory::new_node_frame(memory::node_frame_slots);
  memory::new_series_frame();
}

// 11: the root block (9,764 cells, unmanaged) with the value-stack (20,000 cells) and call-frame
// (15,000 cells) buffers, the symbol block (4,000 cells) and the global context (4,000 words).
void make_root_block() { words::make_root_block(); }

// 12
void init_case_tables() { unicode::build_case_tables(); }

// 13: the symbol table's hash index over the symbol block (4,000 entries, kind 2).
void init_symbol_index() { words::init_symbol_index(); }

// 14: the name word of every registered type (and the hooks through which other units make words).
void make_type_names() { words::make_type_names(); }

// 15: the static symbols, words and refinements.
void make_static_words() { words::make_static_words(); }

// 17: the parse engine's input and rule stacks.
void init_parse() {}

// 18: the owners table of series ownership. object! and error! register here, once words exist:
// the error catalogue is made of words.
void init_ownership() {
  object::init();
  error::init();
  port::init();
  ownership::init();
}

// 19: the checksum method words.
void init_checksum_words() {}

// 20: the compression method words.
void init_compression_words() {}

// 21: the buffers of the call facility; with them the OS services' hooks.
void init_call_buffers() { os::install_services(); }

// 22: the value stack and the call-frame stack on the two buffers of step 11.
void init_stacks() {
  // The frame stack is made once: a later boot in the same process (a test world) keeps it.
  Ref<Node> frames = stack::frame_bottom ? Ref<Node>{} : Ref<Node>(words::root_at(words::root_index::call_stack)->w2);
  stack::init(Ref<Node>(words::root_at(words::root_index::value_stack)->w2), frames);
}

// 23: the lexer's tables.
void init_lexer() { lexer::init(); }

// 24: the boot blob (sys::root.boot_data) decoded into the root block in boot mode, which fixes the
// base of the literal numbering.
void decode_boot_data() {}

// 25: the interpreter's trace-callback cell.
void init_interpreter() { interpreter::init(); }

// 26
void init_slots() { slots::init(); }

// 27: the collector (inactive until the start-up switches it on).
void init_collector() { collector::init(); }

}  // namespace

// 16: the natives table (120 slots, 107 filled).
void init_natives() {
  const natives::Entry procedures[] = {KIV_NATIVES(KIV_NATIVE_ENTRY)};
  natives::init(procedures);
}

void init_runtime() {
  start_word_recording();    // 1
  init_print_hooks();        // 2
  init_os();                 // 3
  init_random();             // 4
  init_memory();             // 5
  init_externals();          // 6
  init_type_tables();        // 7
  register_datatypes();      // 8
  init_actions();            // 9
  init_frames();             // 10
  make_root_block();         // 11
  init_case_tables();        // 12
  init_symbol_index();       // 13
  make_type_names();         // 14
  make_static_words();       // 15
  init_natives();            // 16
  init_parse();              // 17
  init_ownership();          // 18
  init_checksum_words();     // 19
  init_compression_words();  // 20
  init_call_buffers();       // 21
  init_stacks();             // 22
  init_lexer();              // 23
  decode_boot_data();        // 24
  init_interpreter();        // 25
  init_slots();              // 26
  init_collector();          // 27
  hooks::check();
}

void shut_down() {
  memory::free_all();
  sys::free_all();
}

}  // namespace kiv::boot
