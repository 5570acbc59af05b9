// The interpreter: evaluates blocks of values expression by expression on the value stack, looks
// words up, calls native!, action!, op!, function! and routine! values with their arguments and
// refinements, applies infix operators strictly left to right, evaluates paths through the
// datatypes' path action, and reports each step to an optional trace callback.
//
// Conventions (stack.h):
// - A block being evaluated is held by a block frame (kind 0x87), whose record keeps the block's
//   node and the index of the expression being evaluated: the collector keeps and updates it, the
//   error maker reads it for `near`, and nothing else needs rooting.
// - Evaluation answers an Exit status; anything but Exit::none must be passed on by the caller
//   after popping the frames it pushed (loops, functions, catch take theirs). Errors are C++
//   exceptions.
// - "Result mode" leaves the value in the cell at stack::arguments with top = arguments + 1; "push
//   mode" pushes it on top.
#pragma once
#include <span>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kiv::interpreter {

// ---- Blocks ----------------------------------------------------------------------------------

// Evaluates an any-block (block!, paren!, hash!) from its index under a block frame. chain true:
// the value is copied into the caller's result cell (stack::arguments); false: it is left pushed as
// the caller's last value. An empty block gives unset. The block cell may be anywhere.
Exit eval_block(const Cell* block, bool chain);

// Expression-by-expression walking (any, all, case, reduce, do/next, parse ...). begin pushes a
// block frame (the caller's base is saved in it; stack::arguments becomes the walk's own base) and
// end* pops it. Keep the caller's argument pointers in locals before begin.
struct Walk {
  stack::Frame* frame;
  i32 index;  // the next expression, counted from the start of the block's content
  // The block's cells and length as last read, and the evaluation epoch then. Only a native, an
  // action, a routine or a path step can change a block (each advances the epoch when it may), and
  // only a collection or growth moves it (a collection advances it too; growth is an action's), so
  // the view holds while the epoch stands.
  const Cell* cells = nullptr;
  i32 tail = 0;
  u32 epoch = 0;  // 0: never read
};
Walk begin(const Cell* block);
bool at_end(const Walk& w);
// One expression with infix look-ahead. Result mode (push false): the value is in the walk's base
// cell, stack::arguments[0]; push mode: pushed on top (values accumulate, e.g. reduce).
Exit next(Walk& w, bool push = false);
// The block at the walk's position, in `out` (do/next's new position).
Cell* position(const Walk& w, Cell* out);
// Pops the walk's frame: end leaves the walk's base cell as the caller's last pushed value,
// end_result copies it into the caller's result cell too, end_reset drops everything.
void end(const Walk& w);
void end_result(const Walk& w);
void end_reset(const Walk& w);

// ---- Values, paths and calls ---------------------------------------------------------------------

// Evaluates one value as the start of an expression with nothing after it (do of a word, a
// function value with no arguments, a path ...), pushing the result.
Exit eval_value(const Cell* value);

// Sets a word as a set-word in a walk does when that is only a store (a plain or function context,
// or an object field nobody hears of); false, having done nothing, otherwise (word::set does the
// rest). Loops set their words through it.
bool assign_directly(const Cell* word, const Cell* value);

enum class PathMode : u8 { plain, get, set };
// Evaluates a path value: plain (a function met is called with the rest of the path as
// refinements), get (no call), set (stores *value at the end). Pushes the value (set: the value
// stored). `case_` is get/set's /case.
Exit eval_path(const Cell* path, PathMode mode, const Cell* value, bool case_);

// Calls a function value (native!, action!, op!, function!, routine!) with the given argument
// values for its mandatory arguments; every refinement unused. The result is left in *out (a cell
// that stays put). `name` (a word or null) names the call in traces and errors; `object_context`
// (or 0) is the object a method is called through; `callback_kind` is the trace callback bit
// (1 lexer, 2 parse, 4 sort, 8 change, 16 deep change, 32 port; 0 none).
Exit call_function(const Cell* fn, std::span<const Cell> args, Cell* out, const Cell* name = nullptr,
                   Ref<Node> object_context = Ref<Node>{}, i32 callback_kind = 0);
// The same for C++ code outside the evaluator: an exit status is raised as an ExitSignal.
void call_function_or_raise(const Cell* fn, std::span<const Cell> args, Cell* out, const Cell* name = nullptr,
                            Ref<Node> object_context = Ref<Node>{}, i32 callback_kind = 0);

// apply: calls the function with the arguments taken from the block (from its index). Without
// /all the block holds argument expressions, evaluated in order (missing ones become none); with
// /all every argument and refinement value is given by position (refinements as truth values).
// The result is pushed.
Exit apply(const Cell* fn, const Cell* name, const Cell* args_block, bool all, bool safer);

// The same by position for C++ code outside the evaluator: the last `count` cells of the value
// stack are the values (dropped by the call); the result goes to *out. An exit status is raised.
void call_positional(const Cell* fn, const Cell* name, i32 count, Cell* out);

// ---- Top level ------------------------------------------------------------------------------------

// Loads UTF-8 source text (the lexer) and evaluates it; the value goes to *out. Errors propagate.
// A status that reaches the top is turned into its error (no loop, no function, no catch).
void do_text(std::string_view source, Cell* out);
// Evaluates a block at top level with a catcher: true with its value in *out, or false with the
// error! value in *out. The stacks are balanced afterwards (checked in debug builds).
bool do_safe(const Cell* block, Cell* out);
bool do_text_safe(std::string_view source, Cell* out);

// ---- Tracing ----------------------------------------------------------------------------------

// trace-event bits.
namespace event {
enum : u32 {
  init = 1, end = 2, prolog = 4, epilog = 8, enter = 16, exit = 32, open = 64, return_ = 128, fetch = 256,
  push = 512, set = 1024, call = 2048, error = 4096, throw_ = 8192, catch_ = 16384, expr = 32768,
  all = 0x1FFFF,
};
}  // namespace event

inline bool tracing = false;      // the tracing flag (tested before every event)
inline bool trace_master = false;  // what functions marked `trace` set the flag to
inline u32 trace_mask = event::all;

// The event mask of a callback: a body whose first value is a block of event words selects them,
// anything else all events.
u32 trace_mask_of(const Cell* callback);
// Installs a trace callback (a function!) and switches tracing on; uninstall restores the previous
// state (do/trace wraps its evaluation in the pair and fires init/end around it).
struct TraceState {
  bool tracing, master;
  u32 mask;
};
TraceState install_trace(const Cell* callback);
void uninstall_trace(const TraceState& saved);
// Reports one event (when tracing and its bit is in the mask). The callback's exit statuses pass.
Exit fire_event(u32 event, const Cell* block, i32 index, const Cell* reference, const Cell* value);

// ---- Boot ----------------------------------------------------------------------------------------

// Takes note of the value if, unless or either is defined with (any other value is ignored): a
// call through a value sharing its spec evaluates the branch straight from the walk.
void note_conditional(const Cell* native);

// Takes the argument cache of a boot native or action (a cell that stays put, made from its
// interface spec) as the one of its table slot: every value made from that slot is called with it,
// whatever spec it was made with or whatever later becomes of its spec, so the procedure always
// receives the arguments its code reads. forget_interfaces empties the table (a new boot).
void keep_interface(const Cell* value);
void forget_interfaces();

// interpreter/init: the trace callback's root, the hooks other units call the interpreter through
// (object handlers and bodies, error near, lexer callbacks). After stack::init and the words.
void init();

}  // namespace kiv::interpreter
