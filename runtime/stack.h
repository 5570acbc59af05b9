// The value stack, the call-frame stack, and the non-local exits.
//
// Value stack: arguments are pushed here and results left here. The arguments base is the first
// argument cell of the current call and also its result cell. The buffer is an unmanaged block, so
// the collector never moves it and the registers below may be plain pointers; the collector marks
// the cells from bottom to top.
//
// Frame stack: one 20-byte record per call, block evaluation, loop, try or catch in progress: who
// called whom (for error reports and traces), where each call's arguments begin, and what must be
// restored when a call ends or is unwound. Frames are pushed and popped by the code that owns them;
// destructors never pop frames. After a language error (a C++ exception) the catcher unwinds the
// frame stack to its mark (Mark; the evaluator's catch_error).
//
// Exits: break, continue, return, exit and throw travel as a returned status (Exit) through the
// interpreter and the evaluating natives; each level pops its own frames on the way out. The value
// an exit carries waits in exit_value (break/return) or thrown_value/thrown_name (throw). C++ code
// outside the evaluator that calls back into the language and receives an exit it cannot pass on
// raises it as an ExitSignal exception; the interpreter turns it back into a status where it called
// the native or action that contained that code.
#pragma once
#include "runtime/arena.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kiv {

// The exit status of an evaluation. Ordered as the exit codes: a handler that takes a code takes
// every smaller one too (catch takes throw; the function runner takes exit and return).
enum class Exit : u8 { none = 0, throw_ = 1, exit = 2, return_ = 3, continue_ = 4, break_ = 5 };

// An exit crossing C++ code that cannot return a status (sort comparators, change handlers ...).
struct ExitSignal {
  Exit code;
};

}  // namespace kiv

namespace kiv::stack {

// ---- Value stack ------------------------------------------------------------------------------

constexpr i32 value_stack_cells = 20000;
constexpr i32 frame_stack_cells = 15000;  // 240,000 bytes: 12,000 frame records

inline Ref<Node> value_node{};    // the buffer's node (kept alive through the root block)
inline Cell* bottom = nullptr;    // first cell of the buffer
inline Cell* top = nullptr;       // next free cell
inline Cell* end = nullptr;       // one past the last cell
inline Cell* arguments = nullptr; // the current call's first argument, also its result cell

// Raises the internal error stack-overflow for a full value stack (the top moves 5 cells back
// first, leaving room to report it).
[[noreturn]] void value_overflow();

// A new cell on top, set to unset!. A full stack empties the cycle stack and raises the internal
// error stack-overflow. At most value_stack_cells - 1 cells fit.
inline Cell* push_cell() {
  if (top + 1 >= end) [[unlikely]] value_overflow();
  Cell* c = top++;
  *c = Cell{type::unset, 0, 0, 0};
  return c;
}
// A copy of the value on top; returns the new cell. The value may itself lie on the stack.
inline Cell* push_value(const Cell* value) {
  if (top + 1 >= end) [[unlikely]] value_overflow();
  Cell* c = top;
  *c = *value;
  ++top;
  return c;
}
// The last pushed cell, or the bottom when the stack is empty.
inline Cell* last_value() { return top > bottom ? top - 1 : bottom; }
inline u32 last_type() { return last_value()->type(); }
// Drops n cells, never below the bottom.
void drop(i32 n);
// Copies the value into the result cell at the arguments base and returns that cell.
inline Cell* set_result(const Cell* value) { return cell::copy(value, arguments); }
// top = arguments base; answers the base.
inline Cell* reset_top() { return top = arguments; }
// top = arguments base + 1; answers the base.
inline Cell* keep_one_result() {
  top = arguments + 1;
  return arguments;
}
// top = base + 1, then the value copied into the base cell.
inline Cell* set_only_result(const Cell* value) {
  Cell v = *value;
  top = arguments + 1;
  *arguments = v;
  return arguments;
}

// ---- Frame stack ------------------------------------------------------------------------------

// Frame kinds (the kind byte). Unwinding compares the low four bits (the kind code); bit 4 marks a
// return target (return and exit stop there), bit 7 a frame pushed by the interpreter.
namespace kind {
enum : u32 {
  function = 0x01,         // compiled call of a function with a context (caller side)
  call = 0x02,             // named compiled call of a native, action or function
  try_ = 0x04,
  try_all = 0x05,          // try/all: stops every unwinding and every exit
  catch_ = 0x06,
  loop = 0x08,             // loop body: the target of break and continue
  context = 0x12,          // compiled function body (callee side), a return target
  interp_function = 0x81,  // the interpreter calling a function!
  eval = 0x82,             // the interpreter calling a native!, action! or routine!, or a set-word/-path
  block = 0x87,            // block evaluation by the interpreter (word <body>)
};
constexpr u32 code_mask = 0x0F;
constexpr u32 return_target = 0x10;
constexpr u32 interpreted = 0x80;
}  // namespace kind

// A call-frame record, five 32-bit words.
//  header:           kind << 24 | symbol id of the frame's word (24 bits);
//  saved_base:       the caller's arguments base (arena offset);
//  word_context:     the context the frame's word is bound to; for a block frame (kind code 7)
//                    the node of the block being evaluated;
//  function_context: the function's context node (kind code 1), else 0;
//  saved_values:     kind code 1: that context's value storage at call time; block frame: the
//                    index of the expression being evaluated (the error's near).
struct Frame {
  u32 header;
  u32 saved_base;
  u32 word_context;
  u32 function_context;
  u32 saved_values;

  static constexpr u32 kind_shift = 24;
  static constexpr u32 symbol_mask = 0xFFFFFF;

  u32 kind() const { return header >> kind_shift; }
  u32 code() const { return kind() & kind::code_mask; }
  i32 symbol() const { return static_cast<i32>(header & symbol_mask); }
  // The flag bits of the kind byte (kind::return_target, kind::interpreted).
  bool flagged(u32 bit) const { return header & bit << kind_shift; }
  void flag(u32 bit) { header |= bit << kind_shift; }
  void unflag(u32 bit) { header &= ~(bit << kind_shift); }
  Cell* base() const { return arena::at<Cell>(saved_base); }
  // A block frame's names for the words it reuses: the block being evaluated and the index of the
  // expression being evaluated.
  Ref<Node> block_node() const { return Ref<Node>(word_context); }
  i32 expr_index() const { return static_cast<i32>(saved_values); }
  void set_expr_index(i32 index) { saved_values = static_cast<u32>(index); }
};
static_assert(sizeof(Frame) == 20);

inline Ref<Node> frame_node{};
inline Frame* frame_bottom = nullptr;
inline Frame* frame_top = nullptr;  // next free record
inline Frame* frame_end = nullptr;

// The symbols of the words <body> and <anon>, set once words exist (0 until then).
inline i32 body_symbol = 0;
inline i32 anonymous_symbol = 0;

// Where an uncaught throw was (an index into the frame stack; -1: none): set only while the error
// for it is raised, and cleared by the where lookup, so a throw that a catch took never lends its
// place to a later error.
inline i32 where_frame = -1;

// Raises stack-overflow for a full frame stack (the value top moves 5 cells back first, never
// below the bottom).
[[noreturn]] void frame_overflow();

// Pushes a record: the kind, the word (symbol and context), the current base saved; the new base
// is the current top (the callee's arguments are pushed after it).
inline Frame* push_frame(u32 kind_byte, i32 symbol, u32 word_context) {
  if (frame_top >= frame_end) [[unlikely]] frame_overflow();
  Frame* f = frame_top++;
  f->header = kind_byte << Frame::kind_shift | (static_cast<u32>(symbol) & Frame::symbol_mask);
  f->saved_base = arena::offset_of(arguments);
  f->word_context = word_context;
  f->function_context = 0;
  f->saved_values = 0;
  arguments = top;
  return f;
}
// The same with the word taken from a word cell (its symbol and context).
inline Frame* push_frame(const Cell* word, u32 kind_byte) {
  return push_frame(kind_byte, static_cast<i32>(word->w2), word->w1);
}

Frame* push_call_frame(const Cell* word);      // 0x02
Frame* push_loop_frame();                      // 0x08, word <body>
// try and catch frames (0x04, 0x05, 0x06) carry the words try and catch: frame_words.h.
inline Frame* push_eval_frame(const Cell* word) { return push_frame(word, kind::eval); }  // 0x82
// 0x87, word <body>: the record holds the block's node and the expression's index.
inline Frame* push_block_frame(Ref<Node> block, i32 index) {
  Frame* f = push_frame(kind::block, body_symbol, block.offset());
  f->saved_values = static_cast<u32>(index);
  return f;
}
// 0x01: also records the function context and its current value storage.
Frame* push_function_frame(const Cell* word, Ref<Node> function_context);
// 0x81, the same for the interpreter.
inline Frame* push_interp_function_frame(const Cell* word, Ref<Node> function_context) {
  Frame* f = push_frame(word, kind::interp_function);
  if (function_context) {
    f->function_context = function_context.offset();
    f->saved_values = buffer_of(function_context)->head_ptr<Cell>()->w2;
  }
  return f;
}
// 0x12: points the context's value storage at the current base first.
Frame* push_context_frame(const Cell* word, Ref<Node> function_context);

// A function context whose values live on the value stack. Its context cell is the first cell of
// the context node's buffer; while a call of the function runs, the cell carries this bit and its
// w2 holds the arena offset of the call's first argument (else the node of its values block). The
// context unit names the rest of the cell's layout.
constexpr u32 context_on_stack = 1u << 22;
inline Cell* context_cell(Ref<Node> ctx) { return buffer_of(ctx)->head_ptr<Cell>(); }

// A function context whose values live on the value stack, and where they live now: the
// interpreter reads the words bound to it from running_values without going through the context.
// Whatever points a context's storage elsewhere keeps the pair true or drops it (running_context
// 0): a call sets it, a restore keeps it (the outer call's values) or drops it, a compiled entry
// drops it, and so does every collection (nodes move). The interpreter takes it up again at its
// next look-up in such a context.
inline u32 running_context = 0;
inline Cell* running_values = nullptr;

// Puts a function frame's context storage back; c is the context's cell, read since the last
// collection.
inline void restore_context(const Frame* f, Cell* c) {
  c->w2 = f->saved_values;
  if (f->function_context == running_context) {
    // Back to the values of the call this one was made from, when there is one.
    if (f->saved_values && (c->header & context_on_stack)) running_values = arena::at<Cell>(f->saved_values);
    else running_context = 0;
  }
}
inline void restore_context(const Frame* f) {
  if (f->function_context) restore_context(f, context_cell(Ref<Node>(f->function_context)));
}

// Pops. The plain pops leave the callee's base cell as the caller's last pushed value; *_result
// also copies it into the caller's base cell; *_reset drops everything the callee pushed.
inline void pop_frame() {
  Frame* f = --frame_top;
  top = arguments + 1;
  arguments = f->base();
}
inline void pop_frame_result() {
  Cell* result = arguments;
  pop_frame();
  *arguments = *result;
}
inline void pop_frame_reset() {
  Frame* f = --frame_top;
  top = arguments;
  arguments = f->base();
}
inline void pop_function_frame() {
  restore_context(frame_top - 1);
  pop_frame();
}
inline void pop_function_frame_result() {
  restore_context(frame_top - 1);
  pop_frame_result();
}
inline void pop_function_frame_reset() {
  restore_context(frame_top - 1);
  pop_frame_reset();
}
// Removes the top record whatever it is (restoring a function context); nothing is kept.
void pop_frame_any();

inline Frame* top_frame() { return frame_top > frame_bottom ? frame_top - 1 : nullptr; }
inline void set_frame_top(Frame* f) { frame_top = f; }
inline i32 frame_depth() { return static_cast<i32>(frame_top - frame_bottom); }
void set_return_target(bool flag);
// Marks the record below the top one as a return target; null when it already was one.
Frame* claim_return_target();
void clear_return_target(Frame* f);
void mark_interpreted();
// From below `from` (the frame top when null): whether an interpreter frame is met (only the next
// record with only_next).
bool find_interpreted_frame(const Frame* from, bool only_next);

// The unwinding loop (stack/unwind-to-frame): removes records down to one of the kind code (or a
// try/all frame, or the bottom), restoring function contexts, and sets the value registers.
void unwind_to_frame(u32 kind_code, bool keep);
void unwind_result(u32 kind_code);
inline void unwind_loop(bool keep) { unwind_to_frame(kind::loop, keep); }

// The collector's root marking of the frame stack and of the exit cells.
void mark_frames();

// ---- Exits ------------------------------------------------------------------------------------

// The value a break/return carries to its handler; the value and name (unset without /name) of a
// throw. Collector roots.
inline Cell exit_value{type::unset, 0, 0, 0};
inline Cell thrown_value{type::unset, 0, 0, 0};
inline Cell thrown_name{type::unset, 0, 0, 0};

// The bodies of break (with_value: /return given, its value in the first argument cell) and
// continue. A loop frame must lie below the caller's own frame with no try/all frame between;
// otherwise raises throw break / throw continue with the stacks untouched. Answers the status.
Exit break_exit(bool with_value, bool is_continue);
// The bodies of return (with_value) and exit. The target is the nearest return-target frame below
// the caller's own frame (below the top one with no_own_frame); otherwise throw return.
Exit return_exit(bool with_value, bool no_own_frame);
// The body of throw: the value and the name (none/unset: unnamed) travel to the nearest catch
// frame below; otherwise throw throw with the value, its where the place of the throw. catch, on
// Exit::throw_, reads thrown_value and thrown_name after popping its frames, and either takes the
// throw or passes it on with rethrow().
Exit throw_exit(const Cell* value, const Cell* name);
// catch passing a throw on after popping its own frames: the same search from the frame top (the
// error of a throw no catch takes still names the place of the throw).
Exit rethrow();

// Raises an exit from C++ code that cannot return a status.
[[noreturn]] void raise_exit(Exit code);

// ---- Catching ---------------------------------------------------------------------------------

// The registers a catcher restores.
struct Mark {
  Frame* frames;
  Cell* arguments;
  Cell* top;
};
inline Mark mark() { return {frame_top, arguments, top}; }
// Removes the records above the mark (restoring the function contexts they hold) and restores the
// value registers.
void unwind_to(const Mark& m);

// Raises an error! value as it stands (do of an error!, re-raising a caught error): it waits in
// raised_error (a collector root) while a LanguageError whose id is null travels to the catcher.
inline Cell raised_error{type::none, 0, 0, 0};
[[noreturn]] void raise_error_value(const Cell* error);

// stack/finish-try: when the last pushed value is an error!, it becomes the result; then top =
// base + 1.
void finish_try();

// Sets the registers on the given unmanaged blocks, or on new ones when none are given (the frame
// stack is made once: a later start without a frame buffer keeps the first); registers the
// collector root. The words of the frames (<body>, <anon>) are named by whoever makes words.
void init(Ref<Node> value_buffer = Ref<Node>{}, Ref<Node> frame_buffer = Ref<Node>{});

// Starts a call whose arguments will be pushed from the current top; restores the caller's base and
// leaves exactly one result cell at the callee's base when it ends. Used by C++ code that calls an
// action entry directly (no frame record).
class Call {
  Cell* saved_;

 public:
  Call() : saved_(arguments) { arguments = top; }
  ~Call() {
    top = arguments + 1;
    arguments = saved_;
  }
  Cell* result() const { return arguments; }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
};

}  // namespace kiv::stack
