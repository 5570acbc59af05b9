// Runtime services: process preparation, fatal runtime errors and quit, the non-local throw, the
// tracked allocator and the console writer.
//
// The signal handlers share this file's state with the normal paths, so everything they touch is
// written to be read at any instant: the console buffer grows by copying first and publishing the
// new length after, and its flush runs with the termination signals blocked so that a handler
// never writes the same bytes twice.
#include "runtime/sys.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cfenv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/hooks.h"
#include "runtime/print_hooks.h"

// Present only in the training build of a profile-guided build: the process ends without running
// atexit, so its counters are written out here.
extern "C" void __gcov_dump() __attribute__((weak));

namespace kiv::sys {

// ---- Runtime error texts -----------------------------------------------------------------------

const char* runtime_error_text(i32 code) {
  static const char* const processor_faults[] = {
      "access violation",                   // 1
      "invalid alignment",                  // 2
      "breakpoint",                         // 3
      "single step",                        // 4
      "bounds exceeded",                    // 5
      "float denormal operan",              // 6
      "float divide by zero",               // 7
      "float inexact result",               // 8
      "float invalid operation",            // 9
      "float overflow",                     // 10
      "float stack check",                  // 11
      "float underflow",                    // 12
      "integer divide by zero",             // 13
      "integer overflow",                   // 14
      "privileged instruction",             // 15
      "invalid virtual address",            // 16
      "illegal instruction",                // 17
      "non-continuable exception",          // 18
      "stack error or overflow",            // 19
      "invalid disposition",                // 20
      "guard page",                         // 21
      "invalid handle",                     // 22
      "illegal operand",                    // 23
      "illegal addressing mode",            // 24
      "illegal trap",                       // 25
      "coprocessor error",                  // 26
      "non-existent physical address",      // 27
      "object specific hardware error",     // 28
      "hardware memory error consumed AR",  // 29
      "hardware memory error consumed AO",  // 30
      "privileged register",                // 31
      "segmentation fault",                 // 32
      "FPU error",                          // 33
      "Bus error",                          // 34
  };
  if (code >= 1 && code <= 34) return processor_faults[code - 1];
  switch (static_cast<Fatal>(code)) {
    case Fatal::out_of_memory: return "out of memory";
    case Fatal::no_catch: return "no CATCH for THROW";
    case Fatal::assertion: return "assertion failed";
    case Fatal::unknown: return "unknown error";
    case Fatal::no_case: return "no value matched in CASE";
    case Fatal::no_switch: return "no value matched in SWITCH";
    default: return "unknown error code!";
  }
}

namespace {

// Plain byte helpers: the signal handlers format with these, never with the C library.
char* put_text(char* out, const char* s) {
  while (*s) *out++ = *s++;
  return out;
}

char* put_decimal(char* out, i32 value) {
  u32 magnitude = static_cast<u32>(value);
  if (value < 0) {
    *out++ = '-';
    magnitude = 0u - magnitude;
  }
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  while (n) *out++ = digits[--n];
  return out;
}

char* put_hex8(char* out, u32 value) {
  static const char hex[] = "0123456789ABCDEF";
  for (int shift = 28; shift >= 0; shift -= 4) *out++ = hex[(value >> shift) & 15];
  return out;
}

// Writes all of [p, p + n) to fd, retrying interrupted and partial writes; gives up on an error
// (a closed pipe or terminal has nowhere to put the text). Async-signal-safe.
void write_all(int fd, const char* p, std::size_t n) {
  while (n) {
    ssize_t done = ::write(fd, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += done;
    n -= static_cast<std::size_t>(done);
  }
}

}  // namespace

std::size_t format_runtime_error(char* out, i32 code, u32 address) {
  char* p = put_text(out, "*** Runtime Error ");
  p = put_decimal(p, code);
  p = put_text(p, ": ");
  p = put_text(p, runtime_error_text(code));
  p = put_text(p, "\n*** at: ");
  p = put_hex8(p, address);
  p = put_text(p, "h\n");
  return static_cast<std::size_t>(p - out);
}

// ---- Console writer ----------------------------------------------------------------------------

namespace {

constexpr std::size_t console_capacity = 64 * 1024;
char console_buffer[console_capacity];
// Bytes [0, console_length) are complete text waiting for standard output.
volatile std::size_t console_length = 0;
// Set while flush_output() writes the buffer; a fault inside it must not write it again.
volatile sig_atomic_t console_flushing = 0;
bool console_is_terminal = false;
bool console_ready = false;

void termination_signals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}

// Writes text to standard output with the termination signals held back, so that a handler that
// runs meanwhile finds the buffer either still full or already emptied.
void write_stdout_guarded(const char* p, std::size_t n, bool from_buffer) {
  sigset_t block, old;
  termination_signals(&block);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  console_flushing = 1;
  write_all(STDOUT_FILENO, p, n);
  if (from_buffer) console_length = 0;
  console_flushing = 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// The flush of the signal handlers: nothing but write(2).
void flush_console_from_handler() {
  if (console_flushing) return;
  std::size_t n = console_length;
  if (n) write_all(STDOUT_FILENO, console_buffer, n);
  console_length = 0;
}

}  // namespace

void init_console() {
  console_is_terminal = isatty(STDOUT_FILENO) == 1;
  // A process that ends through exit() rather than quit (a test program, say) keeps its text too.
  if (!console_ready) std::atexit(flush_output);
  console_ready = true;
}

void flush_output() {
  if (console_length) write_stdout_guarded(console_buffer, console_length, true);
}

void write(std::string_view utf8) {
  if (utf8.empty()) return;
  if (!console_ready) init_console();
  const char* p = utf8.data();
  std::size_t n = utf8.size();
  if (console_is_terminal) {
    flush_output();
    write_all(STDOUT_FILENO, p, n);
  } else {
    if (n > console_capacity - console_length) flush_output();
    if (n >= console_capacity) {
      write_stdout_guarded(p, n, false);
    } else {
      std::memcpy(console_buffer + console_length, p, n);
      std::atomic_signal_fence(std::memory_order_seq_cst);  // the bytes land before the length
      console_length = console_length + n;
    }
  }
  print_hooks::call_output_hooks(p, static_cast<i32>(n), 0);
}

void write_line(std::string_view utf8) {
  write(utf8);
  write("\n");
}

// ---- Quit --------------------------------------------------------------------------------------

namespace {

void flush_everything() {
  flush_output();
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace

void quit(i32 code, u32 address) {
  flush_everything();
  if (code) {
    char message[160];
    std::size_t n = format_runtime_error(message, code, address);
    write_all(STDERR_FILENO, message, n);
    if (hooks::error_box) {
      message[n - 1] = '\0';  // the box takes the text without its final line end
      hooks::error_box("Kiv App Error", message);
    }
  }
  free_all();
  if (__gcov_dump) __gcov_dump();
  std::_Exit(code & 255);
}

void exit_process(i32 status) {
  flush_everything();
  free_all();
  if (__gcov_dump) __gcov_dump();
  std::_Exit(status & 255);
}

// ---- Failed assertions -------------------------------------------------------------------------

namespace {

// Set once an assertion has failed: a second one on the way out (in the flush, say) ends at once.
bool assertion_failing = false;

void write_text(int fd, const char* s) { write_all(fd, s, std::strlen(s)); }

}  // namespace

void assert_failed(const char* expr, const char* msg, const char* file, int line) {
  // Plain writes only: the broken invariant may be the allocator's or the console writer's.
  char number[16];
  *put_decimal(number, line) = '\0';
  const char* parts[] = {"*** Assertion failed: ", msg, "\n*** check: ", expr, "\n*** in: ", file, ":", number,
                         "\n"};
  for (const char* part : parts) write_text(STDERR_FILENO, part);
  if (assertion_failing) std::_Exit(static_cast<i32>(Fatal::assertion));
  assertion_failing = true;
  quit(Fatal::assertion, address_of(__builtin_return_address(0)));
}

// ---- Non-local throw ---------------------------------------------------------------------------

void throw_code(u32 code) { throw Thrown{code}; }

void top_level_handler(u32 code) {
  if (code == quit_code) quit(0, 0);
  quit(Fatal::no_catch, static_cast<u32>(reinterpret_cast<std::uintptr_t>(&top_level_handler)));
}

// ---- Tracked allocator -------------------------------------------------------------------------

namespace {

u64 tracked_total = 0;
u32 tracked_blocks = 0;

TrackedBlock* block_of(void* p) { return static_cast<TrackedBlock*>(p) - 1; }

[[noreturn]] void out_of_memory(void* caller) { quit(Fatal::out_of_memory, address_of(caller)); }

void* allocate_for(i32 size, void* caller) {
  if (size < 0) out_of_memory(caller);
  auto* b = static_cast<TrackedBlock*>(std::malloc(static_cast<std::size_t>(size) + tracked_header_bytes));
  if (!b) out_of_memory(caller);
  b->prev = root.last_block;
  b->next = nullptr;
  b->size = size;
  b->reserved = 0;
  b->pad = 0;
  if (root.last_block) {
    root.last_block->next = b;
  } else {
    root.first_block = b;
  }
  root.last_block = b;
  tracked_total += static_cast<u64>(size) + tracked_header_bytes;
  ++tracked_blocks;
  return b + 1;
}

}  // namespace

void* allocate(i32 size) { return allocate_for(size, __builtin_return_address(0)); }

void* allocate_zeroed(i32 size) {
  void* p = allocate_for(size, __builtin_return_address(0));
  std::memset(p, 0, static_cast<std::size_t>(size));
  return p;
}

void* resize(void* p, i32 size) {
  void* caller = __builtin_return_address(0);
  if (!p) return allocate_for(size, caller);
  if (size == 0) {
    free(p);
    return nullptr;
  }
  if (size < 0) out_of_memory(caller);
  TrackedBlock* old = block_of(p);
  i32 old_size = old->size;
  // On failure the old block stays valid and linked, and quit releases it with the rest.
  auto* b = static_cast<TrackedBlock*>(std::realloc(old, static_cast<std::size_t>(size) + tracked_header_bytes));
  if (!b) out_of_memory(caller);
  b->size = size;
  if (b->prev) {
    b->prev->next = b;
  } else {
    root.first_block = b;
  }
  if (b->next) {
    b->next->prev = b;
  } else {
    root.last_block = b;
  }
  tracked_total = tracked_total - static_cast<u64>(old_size) + static_cast<u64>(size);
  return b + 1;
}

void free(void* p) {
  if (!p) return;
  TrackedBlock* b = block_of(p);
  if (b->prev) {
    b->prev->next = b->next;
  } else {
    root.first_block = b->next;
  }
  if (b->next) {
    b->next->prev = b->prev;
  } else {
    root.last_block = b->prev;
  }
  tracked_total -= static_cast<u64>(b->size) + tracked_header_bytes;
  --tracked_blocks;
  std::free(b);
}

void free_all() {
  TrackedBlock* b = root.first_block;
  while (b) {
    TrackedBlock* next = b->next;
    std::free(b);
    b = next;
  }
  root.first_block = root.last_block = nullptr;
  tracked_total = 0;
  tracked_blocks = 0;
}

u64 tracked_bytes() { return tracked_total; }
u32 tracked_count() { return tracked_blocks; }

// ---- Stack bounds ------------------------------------------------------------------------------

u64 raise_stack_limit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_STACK, &rl) != 0) return 0;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < wanted_stack_bytes) {
    rlim_t target = wanted_stack_bytes;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < target) target = rl.rlim_max;
    if (target > rl.rlim_cur) {
      rlimit raised = rl;
      raised.rlim_cur = target;
      if (setrlimit(RLIMIT_STACK, &raised) == 0) rl = raised;
    }
  }
  return rl.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<u64>(rl.rlim_cur);
}

namespace {

// The kernel keeps this much unmapped below a stack that has grown up to another mapping.
constexpr std::uintptr_t kernel_stack_gap = std::uintptr_t{1} << 20;
// Room kept below the floor for raising the stack-overflow error, unwinding and library calls.
constexpr std::uintptr_t stack_margin = std::uintptr_t{256} << 10;
// An unlimited stack is still used only to this depth: deeper recursion is a runaway program.
constexpr std::uintptr_t max_usable_stack = std::uintptr_t{1} << 30;

}  // namespace

void init_stack_bounds() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  std::size_t size = 0;
  int got = pthread_attr_getstack(&attr, &addr, &size);
  pthread_attr_destroy(&attr);
  if (got != 0 || !addr || !size) return;

  auto low = reinterpret_cast<std::uintptr_t>(addr);
  std::uintptr_t high = low + size;
  std::uintptr_t margin = stack_margin;
  // The main thread's size is the soft limit cut at the mapping below the stack; when the cut
  // applies, the kernel's gap above that mapping is not usable either.
  rlimit rl{};
  if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && size < rl.rlim_cur &&
      size > 4 * kernel_stack_gap) {
    margin += kernel_stack_gap;
  }
  std::uintptr_t usable_low = size > max_usable_stack ? high - max_usable_stack : low;
  if (margin > (high - usable_low) / 4) margin = (high - usable_low) / 4;
  stack_bounds = {low, high, usable_low + margin};
}

// ---- Signals -----------------------------------------------------------------------------------

i32 fault_code(int signo, int si_code, bool in_stack_guard) {
  switch (signo) {
    case SIGSEGV:
      if (si_code == SEGV_MAPERR || si_code == SEGV_ACCERR) return in_stack_guard ? 19 : 1;
      return 32;  // bound or protection-key violations, or a SIGSEGV sent by a process
    case SIGBUS:
      switch (si_code) {
        case BUS_ADRALN: return 2;
        case BUS_ADRERR: return 27;
        case BUS_OBJERR: return 28;
        case BUS_MCEERR_AR: return 29;
        case BUS_MCEERR_AO: return 30;
        default: return 34;
      }
    case SIGFPE:
      switch (si_code) {
        case FPE_INTDIV: return 13;
        case FPE_INTOVF: return 14;
        case FPE_FLTDIV: return 7;
        case FPE_FLTOVF: return 10;
        case FPE_FLTUND: return 12;
        case FPE_FLTRES: return 8;
        case FPE_FLTINV: return 9;
        case FPE_FLTSUB: return 5;
        default: return 33;
      }
    case SIGILL:
      switch (si_code) {
        case ILL_ILLOPN: return 23;
        case ILL_ILLADR: return 24;
        case ILL_ILLTRP: return 25;
        case ILL_PRVOPC: return 15;
        case ILL_PRVREG: return 31;
        case ILL_COPROC: return 26;
        case ILL_BADSTK: return 19;
        default: return 17;  // ILL_ILLOPC and a SIGILL sent by a process
      }
    case SIGTRAP: return si_code == TRAP_TRACE ? 4 : 3;
    case SIGABRT: return static_cast<i32>(Fatal::assertion);  // abort(), or std::terminate
    default: return static_cast<i32>(Fatal::unknown);
  }
}

namespace {

std::uintptr_t instruction_address(void* context) {
  if (!context) return 0;
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return 0;
#endif
}

bool in_stack_guard(const void* fault_address) {
  if (!stack_bounds.low) return false;
  auto a = reinterpret_cast<std::uintptr_t>(fault_address);
  std::uintptr_t below = stack_bounds.low > 2 * kernel_stack_gap ? stack_bounds.low - 2 * kernel_stack_gap : 0;
  return a >= below && a < stack_bounds.low + 2 * kernel_stack_gap;
}

volatile sig_atomic_t fault_depth = 0;
volatile i32 fault_seen_code = static_cast<i32>(Fatal::unknown);
volatile u32 fault_seen_address = 0;

// Machine faults: the matching runtime error at the faulting instruction. A second fault while
// this one is reported (a broken console buffer, say) skips straight to the message.
extern "C" void on_fault(int signo, siginfo_t* info, void* context) {
  if (fault_depth == 0) {
    fault_depth = 1;
    int si_code = info ? info->si_code : 0;
    bool guard = signo == SIGSEGV && info && in_stack_guard(info->si_addr);
    fault_seen_code = fault_code(signo, si_code, guard);
    fault_seen_address = static_cast<u32>(instruction_address(context));
    flush_console_from_handler();
  }
  char message[160];
  std::size_t n = format_runtime_error(message, fault_seen_code, fault_seen_address);
  write_all(STDERR_FILENO, message, n);
  _exit(fault_seen_code & 255);
}

// SIGINT, SIGTERM, SIGHUP: a requested end, status 0 and no message, as a normal end.
extern "C" void on_terminate(int) {
  flush_console_from_handler();
  _exit(0);
}

void* alternate_stack = nullptr;

}  // namespace

void install_signal_handlers() {
  if (!alternate_stack) {
    std::size_t size = 64 * 1024;
    long wanted = sysconf(_SC_SIGSTKSZ);
    if (wanted > 0 && static_cast<std::size_t>(wanted) * 4 > size) size = static_cast<std::size_t>(wanted) * 4;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      stack_t ss{};
      ss.ss_sp = p;
      ss.ss_size = size;
      if (sigaltstack(&ss, nullptr) == 0) alternate_stack = p;
    }
  }

  struct sigaction sa{};
  sa.sa_sigaction = on_fault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  termination_signals(&sa.sa_mask);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigaction(s, &sa, nullptr);

  struct sigaction st{};
  st.sa_handler = on_terminate;
  st.sa_flags = SA_ONSTACK;
  termination_signals(&st.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &st, nullptr);
}

// ---- Process preparation -----------------------------------------------------------------------

void runtime_start(int argc, char** argv) {
  std::fesetenv(FE_DFL_ENV);  // every exception masked, round to nearest
  raise_stack_limit();
  init_stack_bounds();
  install_signal_handlers();
  root.argc = argc;
  root.argv = argv;
  root.boot_data = nullptr;
}

}  // namespace kiv::sys
