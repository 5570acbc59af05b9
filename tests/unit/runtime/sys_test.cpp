// Runtime services in-process: the runtime-error table and message, the fault mapping, the tracked
// allocator, quit, the console writer, the print hooks, the stack guard and the command line.
#include "runtime/sys.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "runtime/hooks.h"
#include "runtime/print_hooks.h"

using namespace kiv;

TEST(RuntimeError, TextTable) {
  struct Case {
    i32 code;
    const char* text;
  };
  const Case cases[] = {
      {1, "access violation"},       {2, "invalid alignment"},
      {6, "float denormal operan"},  {13, "integer divide by zero"},
      {19, "stack error or overflow"}, {22, "invalid handle"},
      {23, "illegal operand"},       {29, "hardware memory error consumed AR"},
      {32, "segmentation fault"},    {33, "FPU error"},
      {34, "Bus error"},             {94, "out of memory"},
      {95, "no CATCH for THROW"},    {98, "assertion failed"},
      {99, "unknown error"},         {100, "no value matched in CASE"},
      {101, "no value matched in SWITCH"},
      {0, "unknown error code!"},    {35, "unknown error code!"},
      {96, "unknown error code!"},   {102, "unknown error code!"},
      {-1, "unknown error code!"},
  };
  for (const Case& c : cases) EXPECT_STREQ(sys::runtime_error_text(c.code), c.text) << c.code;
}

TEST(RuntimeError, MessageFormat) {
  char out[160];
  std::size_t n = sys::format_runtime_error(out, 95, 0x0012ABCD);
  EXPECT_EQ(std::string(out, n), "*** Runtime Error 95: no CATCH for THROW\n*** at: 0012ABCDh\n");
  n = sys::format_runtime_error(out, -2147483647 - 1, 0xFFFFFFFF);
  EXPECT_EQ(std::string(out, n), "*** Runtime Error -2147483648: unknown error code!\n*** at: FFFFFFFFh\n");
}

TEST(RuntimeError, FaultMapping) {
  struct Case {
    int signo, si_code;
    bool in_stack_guard;
    i32 code;
  };
  const Case cases[] = {
      {SIGSEGV, SEGV_MAPERR, false, 1},  {SIGSEGV, SEGV_ACCERR, false, 1},
      {SIGSEGV, SEGV_MAPERR, true, 19},  {SIGSEGV, SI_USER, false, 32},
      {SIGSEGV, SI_USER, true, 32},      {SIGBUS, BUS_ADRALN, false, 2},
      {SIGBUS, BUS_ADRERR, false, 27},   {SIGBUS, BUS_MCEERR_AO, false, 30},
      {SIGBUS, SI_USER, false, 34},      {SIGFPE, FPE_INTDIV, false, 13},
      {SIGFPE, FPE_INTOVF, false, 14},   {SIGFPE, FPE_FLTDIV, false, 7},
      {SIGFPE, FPE_FLTOVF, false, 10},   {SIGFPE, FPE_FLTUND, false, 12},
      {SIGFPE, FPE_FLTRES, false, 8},    {SIGFPE, FPE_FLTINV, false, 9},
      {SIGFPE, FPE_FLTSUB, false, 5},    {SIGFPE, SI_USER, false, 33},
      {SIGILL, ILL_ILLOPC, false, 17},   {SIGILL, ILL_ILLOPN, false, 23},
      {SIGILL, ILL_PRVOPC, false, 15},   {SIGILL, ILL_BADSTK, false, 19},
      {SIGILL, SI_USER, false, 17},      {SIGTRAP, TRAP_BRKPT, false, 3},
      {SIGTRAP, TRAP_TRACE, false, 4},   {SIGABRT, SI_TKILL, false, 98},
      {SIGUSR1, SI_USER, false, 99},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sys::fault_code(c.signo, c.si_code, c.in_stack_guard), c.code) << c.signo << "/" << c.si_code;
  }
}

// ---- Tracked allocator -------------------------------------------------------------------------

namespace {

// Walks the list both ways and checks the links agree; returns the blocks in order.
std::vector<sys::TrackedBlock*> tracked_list() {
  std::vector<sys::TrackedBlock*> blocks;
  sys::TrackedBlock* prev = nullptr;
  for (sys::TrackedBlock* b = sys::root.first_block; b; b = b->next) {
    EXPECT_EQ(b->prev, prev);
    blocks.push_back(b);
    prev = b;
  }
  EXPECT_EQ(sys::root.last_block, prev);
  EXPECT_EQ(blocks.size(), sys::tracked_count());
  return blocks;
}

bool listed(void* p) {
  for (auto* b : tracked_list()) {
    if (b + 1 == p) return true;
  }
  return false;
}

}  // namespace

TEST(TrackedAllocator, KeepsTheListAndTheTotal) {
  u64 bytes0 = sys::tracked_bytes();
  u32 count0 = sys::tracked_count();
  void* a = sys::allocate(10);
  void* b = sys::allocate(0);
  void* c = sys::allocate(1000);
  for (void* p : {a, b, c}) EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
  EXPECT_EQ(sys::tracked_count(), count0 + 3);
  EXPECT_EQ(sys::tracked_bytes(), bytes0 + 1010 + 3 * sys::tracked_header_bytes);
  EXPECT_EQ(sys::root.last_block + 1, c);

  sys::free(b);  // from the middle
  EXPECT_FALSE(listed(b));
  EXPECT_TRUE(listed(a));
  EXPECT_TRUE(listed(c));
  sys::free(c);  // the last
  EXPECT_FALSE(listed(c));
  sys::free(nullptr);
  sys::free(a);
  EXPECT_EQ(sys::tracked_count(), count0);
  EXPECT_EQ(sys::tracked_bytes(), bytes0);
  tracked_list();
}

TEST(TrackedAllocator, ResizeMovesTheBlockAndKeepsItListed) {
  u64 bytes0 = sys::tracked_bytes();
  auto* first = static_cast<char*>(sys::allocate(16));
  auto* p = static_cast<char*>(sys::resize(nullptr, 8));  // null allocates
  auto* last = static_cast<char*>(sys::allocate(16));
  std::memcpy(p, "kiv-text", 8);
  p = static_cast<char*>(sys::resize(p, 1 << 20));  // large enough to move
  EXPECT_EQ(std::memcmp(p, "kiv-text", 8), 0);
  EXPECT_TRUE(listed(p));
  EXPECT_EQ(sys::tracked_bytes(), bytes0 + 32 + (1 << 20) + 3 * sys::tracked_header_bytes);
  p = static_cast<char*>(sys::resize(p, 4));
  EXPECT_EQ(std::memcmp(p, "kiv-", 4), 0);
  EXPECT_EQ(sys::resize(p, 0), nullptr);  // 0 frees
  EXPECT_FALSE(listed(p));
  // The neighbours' links survived the moves.
  EXPECT_TRUE(listed(first));
  EXPECT_TRUE(listed(last));
  sys::free(last);  // the list's tail: resizing it must have kept last_block right
  auto* tail = static_cast<char*>(sys::allocate(16));
  tail = static_cast<char*>(sys::resize(tail, 1 << 20));
  EXPECT_EQ(sys::root.last_block + 1, static_cast<void*>(tail));
  sys::free(tail);
  sys::free(first);
  EXPECT_EQ(sys::tracked_bytes(), bytes0);
}

TEST(TrackedAllocator, AllocateZeroedClears) {
  auto* dirty = static_cast<unsigned char*>(sys::allocate(4096));
  std::memset(dirty, 0xAB, 4096);
  sys::free(dirty);
  auto* p = static_cast<unsigned char*>(sys::allocate_zeroed(4096));
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0) << i;
  sys::free(p);
}

TEST(TrackedAllocatorDeathTest, FreeAllReleasesEveryBlock) {
  EXPECT_EXIT(
      {
        for (int i = 0; i < 5; ++i) sys::allocate(100 * i);
        sys::free_all();
        bool empty = !sys::root.first_block && !sys::root.last_block && sys::tracked_bytes() == 0 &&
                     sys::tracked_count() == 0;
        void* again = sys::allocate(8);  // the list works after being emptied
        empty = empty && sys::root.first_block == sys::root.last_block && sys::root.first_block + 1 == again;
        _exit(empty ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(TrackedAllocatorDeathTest, FailureIsRuntimeError94) {
  EXPECT_EXIT(sys::allocate(-1), ::testing::ExitedWithCode(94),
              "\\*\\*\\* Runtime Error 94: out of memory\n\\*\\*\\* at: [0-9A-F]{8}h");
  EXPECT_EXIT(sys::resize(sys::allocate(8), -8), ::testing::ExitedWithCode(94), "out of memory");
#if !defined(__SANITIZE_ADDRESS__)
  // A real refusal from the heap: no address space left to grow into.
  EXPECT_EXIT(
      {
        rlimit rl{};
        getrlimit(RLIMIT_AS, &rl);
        rl.rlim_cur = 0;
        setrlimit(RLIMIT_AS, &rl);
        sys::allocate(256 << 20);
      },
      ::testing::ExitedWithCode(94), "out of memory");
#endif
}

// ---- Quit --------------------------------------------------------------------------------------

TEST(QuitDeathTest, StatusIsTheLow8BitsAndZeroIsSilent) {
  EXPECT_EXIT(sys::quit(0, 0x1234), ::testing::ExitedWithCode(0), "^$");
  EXPECT_EXIT(sys::quit(96, 0xABC), ::testing::ExitedWithCode(96),
              "^\\*\\*\\* Runtime Error 96: unknown error code!\n\\*\\*\\* at: 00000ABCh\n$");
  EXPECT_EXIT(sys::quit(300, 0), ::testing::ExitedWithCode(300 & 255), "Runtime Error 300");
  EXPECT_EXIT(sys::exit_process(-2), ::testing::ExitedWithCode(254), "^$");
  EXPECT_EXIT(sys::top_level_handler(sys::quit_code), ::testing::ExitedWithCode(0), "^$");
  EXPECT_EXIT(sys::top_level_handler(0x7FFFFFF0), ::testing::ExitedWithCode(95), "no CATCH for THROW");
}

TEST(QuitDeathTest, ErrorBoxGetsTheMessage) {
  static std::string shown;
  EXPECT_EXIT(
      {
        hooks::error_box = [](const char* caption, const char* text) {
          shown = std::string(caption) + "|" + text;
          // The box runs before the exit: leave with a status that proves what it saw.
          _exit(shown == "Kiv App Error|*** Runtime Error 94: out of memory\n*** at: 00000010h" ? 42 : 43);
        };
        sys::quit(94, 16);
      },
      ::testing::ExitedWithCode(42), "");
}

// ---- Console writer ----------------------------------------------------------------------------

namespace {

std::vector<std::string> output_seen;
void capture_output(const char* text, i32 length, i32 flag) {
  output_seen.push_back(std::string(text, static_cast<std::size_t>(length)) + "/" + std::to_string(flag));
}

// Standard output redirected into a pipe for the scope.
class StdoutPipe {
 public:
  StdoutPipe() {
    std::fflush(stdout);
    sys::flush_output();
    EXPECT_EQ(pipe2(fds_, O_NONBLOCK), 0);
    fcntl(fds_[0], F_SETPIPE_SZ, 1 << 20);
    saved_ = dup(STDOUT_FILENO);
    dup2(fds_[1], STDOUT_FILENO);
    sys::init_console();  // a pipe: buffered
  }
  ~StdoutPipe() {
    sys::flush_output();
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    close(fds_[0]);
    close(fds_[1]);
    sys::init_console();
  }
  std::string drain() {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds_[0], buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    return s;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

}  // namespace

TEST(ConsoleWriter, BuffersUntilFlushedAndCallsOutputHooks) {
  StdoutPipe out;
  output_seen.clear();
  print_hooks::register_(nullptr, capture_output);
  sys::write("abc");
  sys::write_line("déf");
  sys::write("");
  EXPECT_EQ(out.drain(), "") << "text on a pipe waits in the buffer";
  sys::flush_output();
  EXPECT_EQ(out.drain(), "abcdéf\n");
  EXPECT_EQ(output_seen, (std::vector<std::string>{"abc/0", "déf/0", "\n/0"}));

  // Text larger than the buffer goes out directly, after what was buffered before it.
  std::string big(100000, 'x');
  sys::write("head");
  sys::write(big);
  sys::write("tail");
  sys::flush_output();
  EXPECT_EQ(out.drain(), "head" + big + "tail");
  print_hooks::unregister(nullptr, capture_output);
}

// ---- Print hooks -------------------------------------------------------------------------------

namespace {

std::vector<int> value_calls;
const Cell* value_text = nullptr;
template <int N>
void value_hook(const Cell* text, i32 newline) {
  value_calls.push_back(N * 10 + newline);
  value_text = text;
}

}  // namespace

TEST(PrintHooks, ListsGrowByFiveAndCallInRegistrationOrder) {
  print_hooks::init();
  EXPECT_EQ(print_hooks::value_hooks.capacity, 5);
  EXPECT_EQ(print_hooks::output_hooks.capacity, 5);
  print_hooks::ValueHook hooks[] = {value_hook<1>, value_hook<2>, value_hook<3>,
                                    value_hook<4>, value_hook<5>, value_hook<6>};
  for (auto h : hooks) print_hooks::register_(h, nullptr);
  EXPECT_EQ(print_hooks::value_hooks.count, 6);
  EXPECT_EQ(print_hooks::value_hooks.capacity, 10);
  EXPECT_EQ(print_hooks::output_hooks.count, 0) << "a null output hook is not registered";

  value_calls.clear();
  auto* cell = reinterpret_cast<const Cell*>(&value_calls);  // any address: hooks pass it through
  print_hooks::call_value_hooks(cell, 1);
  EXPECT_EQ(value_calls, (std::vector<int>{11, 21, 31, 41, 51, 61}));
  EXPECT_EQ(value_text, cell);

  // Only an output hook: the value list is unchanged.
  print_hooks::register_(nullptr, capture_output);
  EXPECT_EQ(print_hooks::value_hooks.count, 6);
  EXPECT_EQ(print_hooks::output_hooks.count, 1);

  // A hook registered twice is called twice; removal takes its latest registration.
  print_hooks::register_(value_hook<1>, nullptr);
  print_hooks::unregister(value_hook<3>, capture_output);
  value_calls.clear();
  print_hooks::call_value_hooks(cell, 0);
  EXPECT_EQ(value_calls, (std::vector<int>{10, 20, 40, 50, 60, 10}));
  print_hooks::unregister(value_hook<1>, nullptr);
  value_calls.clear();
  print_hooks::call_value_hooks(cell, 0);
  EXPECT_EQ(value_calls, (std::vector<int>{10, 20, 40, 50, 60}));
  EXPECT_EQ(print_hooks::output_hooks.count, 0);

  print_hooks::init();  // leaves both lists empty for other tests
  EXPECT_EQ(print_hooks::value_hooks.count, 0);
}

// ---- Stack guard -------------------------------------------------------------------------------

namespace {

[[gnu::noinline]] int depth_until_guard(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (!sys::stack_ok()) return depth;
  int reached = depth_until_guard(depth + 1);
  asm volatile("" ::: "memory");
  return reached + (frame[0] & 0);
}

}  // namespace

TEST(StackGuard, TurnsFalseBeforeTheStackRunsOut) {
  auto saved = sys::stack_bounds;
  u64 limit = sys::raise_stack_limit();
  EXPECT_GE(limit, std::min<u64>(sys::wanted_stack_bytes, 8u << 20));
  sys::init_stack_bounds();
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  EXPECT_LT(sys::stack_bounds.low, here);
  EXPECT_GT(sys::stack_bounds.high, here);
  EXPECT_GT(sys::stack_bounds.floor, sys::stack_bounds.low);
  EXPECT_TRUE(sys::stack_ok());
  // Recursing until the guard answers false must neither crash nor stop early.
  int depth = depth_until_guard(0);
  EXPECT_GT(static_cast<u64>(depth) * 1024, (sys::stack_bounds.high - sys::stack_bounds.floor) / 2);
  EXPECT_GT(static_cast<u64>(depth) * 1024, u64{4} << 20);
  sys::stack_bounds = saved;
}

// ---- Command line ------------------------------------------------------------------------------

namespace {

// The splitting rule of extract-boot-args: a double quote flips splitting; while splitting, a run
// of blanks and tabs ends an argument; a quote at each end of an argument is dropped; empty
// arguments are not kept.
std::vector<std::string> split_command_line(const std::string& line) {
  std::vector<std::string> args;
  bool splitting = true;
  std::size_t start = 0, i = 0;
  auto take = [&](std::size_t end) {
    std::string a = line.substr(start, end - start);
    if (!a.empty() && a.front() == '"') a.erase(0, 1);
    if (!a.empty() && a.back() == '"' && end - start >= 2) a.pop_back();
    if (!a.empty()) args.push_back(a);
  };
  while (i < line.size()) {
    char c = line[i];
    if (c == '"') splitting = !splitting;
    if (splitting && (c == ' ' || c == '\t')) {
      take(i);
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      start = i;
      continue;
    }
    ++i;
  }
  take(line.size());
  return args;
}

}  // namespace

TEST(CommandLine, JoinsAndQuotesArgumentsWithBlanks) {
  struct Case {
    std::vector<const char*> argv;
    const char* line;
  };
  const Case cases[] = {
      {{}, ""},
      {{"/usr/bin/kiv"}, "/usr/bin/kiv"},
      {{"/usr/bin/kiv", "script.kiv", "--catch"}, "/usr/bin/kiv script.kiv --catch"},
      {{"/opt/my kiv/kiv", "a b", "c"}, "\"/opt/my kiv/kiv\" \"a b\" c"},
      {{"kiv", "tab\there"}, "kiv \"tab\there\""},
      {{"kiv", "", "x"}, "kiv \"\" x"},
      {{"kiv", "naïve", "日本"}, "kiv naïve 日本"},
  };
  for (const Case& c : cases) {
    std::string line = boot::join_arguments(static_cast<int>(c.argv.size()), c.argv.data());
    EXPECT_EQ(line, c.line);
    // Splitting gives the arguments back (empty ones are not kept by the splitter).
    std::vector<std::string> expected;
    for (const char* a : c.argv) {
      if (*a) expected.emplace_back(a);
    }
    EXPECT_EQ(split_command_line(line), expected) << line;
  }
}

TEST(CommandLine, RebuildsFromTheRootRecord) {
  const char* argv[] = {"kiv", "my script.kiv", nullptr};
  auto saved = sys::root;
  sys::root.argc = 2;
  sys::root.argv = const_cast<char**>(argv);
  EXPECT_EQ(boot::command_line(), "kiv \"my script.kiv\"");
  sys::root = saved;
}
