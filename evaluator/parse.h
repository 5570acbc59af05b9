// The parse engine: matches a series (any string, binary! or any block) against a block of rules in
// the parse dialect, running actions, copying, setting, collecting, inserting, removing and
// changing on the way.
//
// One loop over a small state machine: nested rule blocks, repetitions and pending commands live
// on an explicit rule stack and the inputs entered with `into` on an explicit input stack, so deep
// rules cost stack entries, not native stack. Both stacks are process-wide and shared by nested
// runs (an action or a trace callback may call parse again): a run works above what the runs
// outside it hold and leaves both stacks as it found them, also when an error or an exit passes
// through it.
//
// Collector contract: the engine keeps no buffer address across anything that may allocate or
// evaluate; positions are indexes, re-read from the series on every use, so actions may grow,
// shrink or move the input and the rules. The stacks are collector roots.
#pragma once
#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kiv::parse {

// A run refuses to push once its rule stack (or its input stack) holds this many cells: script
// parse-stack. Rule-stack entries count three cells each, a repetition six.
constexpr i32 stack_limit_cells = 10001;

struct Request {
  const Cell* input;     // any-block!, any-string! or binary!, from its index
  const Cell* rules;     // block!
  bool case_sensitive;   // /case
  i32 limit;             // the index in the input where matching stops (/part), or -1 for its tail
  const Cell* callback;  // the /trace function!, or null
};

// Runs the engine. The cells of the request and `out` must stay put (value-stack cells). Leaves
// in *out logic true when the rules matched and used the input up to its tail (or the limit), else
// false; a collect at the top level without a target makes the result its collected block.
// Errors raised by malformed rules, actions or the callback pass through; an exit status raised
// by an action or by the callback is answered.
Exit run(const Request& request, Cell* out);

// The stacks and their collector root. Idempotent; run() calls it.
void init();

// Entries on the shared stacks (0 when no run is active): for tests and the fuzzer.
u32 rule_stack_depth();
u32 input_stack_depth();

// Test tooling for the fuzzer: when not negative, every rule fetched costs one step and a run that
// exhausts it raises internal limit-hit (rules such as `any [insert "x"]` never end by design).
inline i64 step_budget = -1;

}  // namespace kiv::parse
