// Runtime services: process preparation (stack bounds, fault signals), fatal runtime errors, quit,
// the non-local throw of run-time codes, the tracked allocator for memory that holds no values, and
// the run-time's own console writer.
//
// Every way out of the process goes through here: quit() for normal ends and fatal runtime errors,
// exit_process() for ends that carry a plain status, and the signal handlers for machine faults and
// termination requests.
#pragma once
#include <cstdint>
#include <string_view>

#include "runtime/base.h"

namespace kiv::sys {

// ---- The root record ---------------------------------------------------------------------------

struct TrackedBlock;

// What the start-up keeps about the process: the command line as the system handed it over, the
// boot blob and the list of tracked blocks.
struct RuntimeRoot {
  int argc = 0;
  char** argv = nullptr;
  const std::byte* boot_data = nullptr;
  TrackedBlock* first_block = nullptr;
  TrackedBlock* last_block = nullptr;
};
inline RuntimeRoot root{};

// ---- Process preparation -----------------------------------------------------------------------

// Prepares the process before anything else runs: floating-point environment (all exceptions
// masked, round to nearest), a raised soft stack limit, the stack bounds for stack_ok(), the fault
// and termination signal handlers on an alternate stack, and the command line in root.
void runtime_start(int argc, char** argv);

// The machine-stack size the start-up asks for; the soft limit is raised towards it when the hard
// limit allows, never lowered.
constexpr u64 wanted_stack_bytes = u64{64} << 20;

// Raises the soft RLIMIT_STACK towards wanted_stack_bytes when it is lower and the hard limit
// allows. Returns the soft limit in force afterwards (RLIM_INFINITY as UINT64_MAX).
u64 raise_stack_limit();

// Records the current thread's stack bounds and the floor that stack_ok() compares with: the
// lowest usable address plus a safety margin that leaves room to raise an error and unwind.
// Until it runs, stack_ok() answers true.
void init_stack_bounds();

struct StackBounds {
  std::uintptr_t low = 0;    // lowest address the stack may grow to
  std::uintptr_t high = 0;   // one past its top
  std::uintptr_t floor = 0;  // stack_ok() turns false below it: low (or 1 GiB below the top of
                             // an unlimited stack) plus a margin
};
inline StackBounds stack_bounds{};

// True while the machine stack is above the safe floor. The interpreter, molder, comparator,
// copier and encoder call it at each nesting level and raise the internal error stack-overflow
// when it turns false, so deep recursion never reaches the guard gap.
[[gnu::always_inline]] inline bool stack_ok() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) > stack_bounds.floor;
}

// Installs the handlers for machine faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT) and
// for termination requests (SIGINT, SIGTERM, SIGHUP), all running on an alternate signal stack.
void install_signal_handlers();

// The runtime error a machine fault maps onto, from the signal, its si_code and, for SIGSEGV,
// whether the faulting address lies in the stack's guard region.
i32 fault_code(int signo, int si_code, bool in_stack_guard);

// ---- Fatal runtime errors and quit -------------------------------------------------------------

// The fatal runtime errors the run-time itself raises through quit(), each ending the process with
// its number as the status; the machine faults (1 to 34) come from fault_code(). Scripts and the
// tests outside see these numbers, so they never change.
enum class Fatal : i32 {
  out_of_memory = 94,  // "out of memory": the system, the arena or the tracked allocator refused
  no_catch = 95,       // "no CATCH for THROW": a run-time code that no catcher took
  assertion = 98,      // "assertion failed": a broken invariant (KIV_ASSERT, the collector, abort)
  unknown = 99,        // "unknown error": a failure of no known kind, or a system service gone
  no_case = 100,       // "no value matched in CASE": a request outside the cases one procedure handles
  no_switch = 101,     // "no value matched in SWITCH": a dispatch over a closed set met another value
};

// The code whose throw ends the process like a normal end (status 0, no message).
constexpr u32 quit_code = 0x0BADCAFE;

// Text of a fatal runtime error code ("unknown error code!" for codes without one).
const char* runtime_error_text(i32 code);

// Formats "*** Runtime Error %d: %s\n*** at: %08Xh\n" into out (at least 128 bytes) without any
// library call, so that the signal handlers can use it too. Returns the length.
std::size_t format_runtime_error(char* out, i32 code, u32 address);

// Ends the process. A non-zero code first writes the runtime-error message to standard error (and
// hands it to the error box when the GUI set one). Output written so far is flushed and every
// tracked block is released before the exit. The exit status is code & 255.
[[noreturn]] void quit(i32 code, u32 address);
[[noreturn]] inline void quit(Fatal code, u32 address = 0) { quit(static_cast<i32>(code), address); }

// Ends the process with a plain status (status & 255) and no message, after flushing output and
// releasing the tracked blocks: the end of an uncaught language error and of quit/return.
[[noreturn]] void exit_process(i32 status);

// The low 32 bits of a code or data address, as the runtime-error message shows it.
inline u32 address_of(const void* p) { return static_cast<u32>(reinterpret_cast<std::uintptr_t>(p)); }

// assert_failed (declared in base.h beside KIV_ASSERT) writes
//   *** Assertion failed: MESSAGE
//   *** check: EXPRESSION
//   *** in: FILE:LINE
// to standard error, then ends as quit(Fatal::assertion) at the address of the failed check.

// ---- Non-local throw ---------------------------------------------------------------------------

// A run-time code travelling to the first catcher whose catch code is at least the thrown code.
struct Thrown {
  u32 code;
};
[[noreturn]] void throw_code(u32 code);

// What the outermost catcher does with a code nobody took: quit_code ends with status 0,
// anything else is Fatal::no_catch at the handler's own address.
[[noreturn]] void top_level_handler(u32 code);

// ---- Tracked allocator -------------------------------------------------------------------------

// Blocks outside the arena, all released at quit. A failed allocation (or a negative size) is
// Fatal::out_of_memory. Sizes are in bytes. The memory is 16-byte aligned.
//
// Each block carries a header in front of it: the list links, the size and padding up to 32 bytes
// (two 64-bit links do not fit the 16 bytes a 32-bit layout would take; the data stays 16-byte
// aligned).
struct TrackedBlock {
  TrackedBlock* prev;
  TrackedBlock* next;
  i32 size;
  u32 reserved;
  u64 pad;
};
static_assert(sizeof(TrackedBlock) == 32);
constexpr u32 tracked_header_bytes = sizeof(TrackedBlock);

void* allocate(i32 size);
void* allocate_zeroed(i32 size);
void* resize(void* p, i32 size);  // null allocates, 0 frees (and returns null)
void free(void* p);               // null is ignored
void free_all();
// Sum over live tracked blocks of (size + header), the figure memory statistics report.
u64 tracked_bytes();
// Number of live tracked blocks.
u32 tracked_count();

// ---- Console writer ----------------------------------------------------------------------------

// UTF-8 text to standard output, then the output print hooks with (text, length, 0). Output is
// buffered when standard output is not a terminal; it is flushed by flush_output(), before reading
// standard input, at quit and on every way out of the process, including faults and termination
// signals. On a terminal every write goes out at once.
void write(std::string_view utf8);
void write_line(std::string_view utf8);
void flush_output();

// Prepares the console writer (terminal or not); the operating-system layer calls it at boot.
void init_console();

}  // namespace kiv::sys
