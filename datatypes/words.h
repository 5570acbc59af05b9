// The root block and start-up word making.
//
// The root block is the unmanaged block! that holds the collector's permanent roots: the two stack
// buffers, the symbol block with its index, the global context, every word recorded while word
// recording is on, the static refinements and (later) the decoded boot literals. Its buffer is
// unmanaged, so the collector never moves it; growing it past its capacity gives it a new buffer,
// so globals refer to its cells by index, never by address.
#pragma once
#include "runtime/cell.h"
#include "runtime/collector.h"

namespace kiv::words {

constexpr i32 root_block_cells = 9764;
constexpr i32 value_stack_cells = 20000;
constexpr i32 call_stack_cells = 15000;

// The fixed cells at the start of the root block.
namespace root_index {
enum : i32 {
  value_stack = 0,     // block! over the value stack's unmanaged buffer
  call_stack = 1,      // block! over the call-frame stack's unmanaged buffer
  symbols = 2,         // the symbol block, a hash! cell whose w3 is the symbol table
  global_context = 3,  // an object!-shaped cell whose w1 is the global context's node
  first_free = 4,
};
}  // namespace root_index

// The root block (none until make_root_block); the collector marks it first.
using collector::root_block;

inline bool root_ready_q() { return root_block.type() == type::block; }

// Boot step 11: the root block with the two stack buffers, the symbol block and the global context.
void make_root_block();

// Cell #index of the root block. Valid until the root block grows.
Cell* root_at(i32 index);
// Cells in the root block.
i32 root_length();

// Appends a copy of the value to the root block and answers its index.
i32 record(const Cell* value);

// A copy of the value recorded when word recording is on; answers the root index, or -1 when
// recording is off (the value is then left where it is).
i32 record_if_recording(const Cell* value);

// Boot steps 13 to 15: the symbol table's index, the type name words and the static words, and the
// hooks through which other units reach words.
void init_symbol_index();
void make_type_names();
void make_static_words();

// Everything the word machinery needs, in boot order, for code that does not run the whole boot
// (unit tests): root block, symbol index, the registrations of symbol!, context!, the word types and
// issue!, type names and static words. The memory frames must exist. Idempotent.
void boot_word_machinery();

}  // namespace kiv::words
