// The start-up phases, in order. Phases whose subsystems are not built yet are empty procedures
// with a line on what lands there.
#include "app/startup.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "app/boot.h"
#include "app/launch.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "evaluator/natives.h"
#include "io/image_entries.h"
#include "io/kivbin.h"
#include "library/libio_routines.h"
#include "library/modules.h"
#include "library/routines.h"
#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/platform.h"
#include "runtime/sys.h"

namespace kiv::boot {

std::string join_arguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i] ? argv[i] : "";
    if (i) line += ' ';
    bool quote = arg.empty() || arg.find_first_of(" \t") != std::string_view::npos;
    if (quote) line += '"';
    line += arg;
    if (quote) line += '"';
  }
  return line;
}

std::string command_line() { return join_arguments(sys::root.argc, sys::root.argv); }

namespace {

// ---- Test tooling ------------------------------------------------------------------------------
// KIV_TEST_EXIT=WHAT makes the start-up leave the process one particular way, so that the process
// tests can check every exit path of the real executable. Each first writes "before WHAT" through
// the console writer (left in its buffer) to show that no output is lost on the way out.
//   print      a normal end, after text through the console writer and through stdio
//   fault      a store to an unmapped address (SIGSEGV)       -> runtime error 1
//   fpe        an integer division by zero (SIGFPE)           -> 13
//   ill        an undefined instruction (SIGILL)              -> 23
//   stack      unbounded recursion into the stack guard       -> 19
//   abort      abort(), as a failed assertion does            -> 98
//   throw      an uncaught run-time code                      -> 95
//   quit-code  an uncaught throw of the quit code             -> status 0, no message
//   oom        a tracked allocation that fails                -> 94
//   langerr    an uncaught language error                     -> status 254, "*** " report
//   sleep      buffers "pending", writes "ready" straight to standard output, then waits up to
//              20 s for a signal (status 3 if none came)

// The sleep trigger's own ends.
constexpr i32 no_signal_status = 3;
constexpr i32 ready_unwritten_status = 4;

[[gnu::noinline]] void fault_store() {
#if defined(__x86_64__)
  asm volatile("movl $1, 16" ::: "memory");
#else
  volatile std::uintptr_t address = 16;
  *reinterpret_cast<volatile int*>(address) = 1;
#endif
}

[[gnu::noinline]] int divide_by_zero() {
#if defined(__x86_64__)
  int a = 1, d = 0, zero = 0;
  asm volatile("idivl %2" : "+a"(a), "+d"(d) : "r"(zero));
  return a;
#else
  volatile int zero = 0;
  return 1 / zero;
#endif
}

volatile int recursion_stop = -1;  // never reached: the recursion runs into the stack guard

[[gnu::noinline]] int recurse_forever(int depth) {
  if (depth == recursion_stop) return 0;
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  int below = recurse_forever(depth + 1);
  asm volatile("" ::: "memory");  // keeps the call from becoming a loop
  return below + frame[0];
}

void run_test_exit(std::string_view what) {
  std::string before = "before ";
  before += what;
  sys::write_line(before);
  if (what == "print") {
    std::printf("stdio text\n");
  } else if (what == "fault") {
    fault_store();
  } else if (what == "fpe") {
    divide_by_zero();
  } else if (what == "ill") {
    __builtin_trap();
  } else if (what == "stack") {
    // An unlimited stack would grow until memory runs out: give the run a limit first.
    rlimit rl{};
    if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur == RLIM_INFINITY) {
      rl.rlim_cur = sys::wanted_stack_bytes;
      setrlimit(RLIMIT_STACK, &rl);
      sys::init_stack_bounds();
    }
    recurse_forever(0);
  } else if (what == "abort") {
    std::abort();
  } else if (what == "throw") {
    sys::throw_code(0x1234);
  } else if (what == "quit-code") {
    sys::throw_code(sys::quit_code);
  } else if (what == "oom") {
#if !defined(__SANITIZE_ADDRESS__)
    // Leave no room for the heap to grow, so that the allocation below really fails.
    rlimit none{0, 0};
    getrlimit(RLIMIT_AS, &none);
    none.rlim_cur = 0;
    setrlimit(RLIMIT_AS, &none);
    sys::allocate(256 << 20);
#endif
    sys::allocate(-1);  // a size no allocator can give
  } else if (what == "langerr") {
    throw LanguageError{ErrorCategory::script, "test-error", 0, {}};
  } else if (what == "sleep") {
    // "ready" goes out at once, past the buffer that still holds the text before it.
    sys::write_line("pending");
    if (::write(STDOUT_FILENO, "ready\n", 6) != 6) sys::exit_process(ready_unwritten_status);
    platform::sleep(20.0);
    sys::exit_process(no_signal_status);
  }
}

// ---- Phases ------------------------------------------------------------------------------------

// 2: the runtime units' initial values (float-text constants, external list heads, the mold cycle
// stack, the case-table and string scratch sizes, the lexer and KIVBIN list heads, the collector's
// root-callback list), and the command line the system object starts from.
void init_unit_values() { library::command_line = command_line(); }

// 3
[[gnu::noinline]] void record_stack_limit() {
  startup_stack_limit = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// 5: the program's words made from their names, each kept in its own global.
void make_program_words() {}

// 6: further globals that copy word references made in phase 5.
void make_word_aliases() {}

// 7: the globals that hold boot literals and context literals.
void fetch_literals() {}

// 8: the collector's active flag set (the program's values exist from here on); word recording off.
void collector_on() {
  collector::enabled = true;
  words::word_recording = false;
}

// 9-21: the top-level code of the language-level modules, in source order: each phase's C++ part,
// then the modules of library/modules.list listed for it (run_modules).
// 9: datatype!, none, true, false; until the boot data defines them, the core vocabulary too (the
// datatype words, typesets, actions, natives and operators).
void make_core_words() {
  natives::define_words();
  const struct {
    const char* name;
    Cell value;
  } constants[] = {{"none", Cell{type::none, 0, 0, 0}},
                   {"true", Cell{type::logic, 1, 0, 0}},
                   {"false", Cell{type::logic, 0, 0, 0}}};
  for (const auto& c : constants) {
    Cell w = word::load(c.name);
    word::set(&w, &c.value);
  }
}
// 10: the routines the modules name, from quit-return on; the hooks that read the system object.
void bind_boot_routines() {
  library::register_routines();
  kivbin::register_routines();
  image::register_routines();
  library::install_system_hooks();
}
void make_constants() {}           // 11: constants, typesets, colour words
void make_general_functions() { library::libio::init(); }  // 12: load/save, files and the URL hook
void make_system_object() {}       // 13: the system object
void make_reactivity() {}          // 14
void make_schemes() {}             // 15: register-scheme, the URL parser
void make_preprocessor() {}        // 16
void make_tools() {}               // 17: debugger, tracers, profiler
void set_options() {}              // 18: system/options/cache, extract-boot-args
void make_gui_engine() {}          // 19: event!, view, VID, the platform context
void make_codecs_and_help() {}     // 20: JSON, CSV, help
void make_console() {}             // 21: system/console, gui-console-ctx

// Runs a phase: its C++ part, then its modules. The modules are the same on every start, and
// under collector torture every process would spend minutes in them: they run with torture held
// off unless KIV_TORTURE_BOOT is set (the library's own tests then exercise its functions under
// torture once started).
void run_phase(i32 phase, void (*part)()) {
  part();
  const u32 torture = collector::torture_every;
  if (torture && !std::getenv("KIV_TORTURE_BOOT")) collector::set_torture(0);
  library::run_phase(phase);
  if (torture) collector::set_torture(torture);
}

// 22: the console's launch; when it returns the program ends with status 0.
void launch_console() {
  // The test trigger takes the launch's place.
  if (const char* what = std::getenv("KIV_TEST_EXIT")) {
    run_test_exit(what);
    return;
  }
  const int status = launch(sys::root.argc, sys::root.argv);
  if (status != 0) sys::exit_process(status);
}

const char* category_title(ErrorCategory c) {
  switch (c) {
    case ErrorCategory::throw_: return "Throw Error";
    case ErrorCategory::note: return "note";
    case ErrorCategory::syntax: return "Syntax Error";
    case ErrorCategory::script: return "Script Error";
    case ErrorCategory::math: return "Math Error";
    case ErrorCategory::access: return "Access Error";
    case ErrorCategory::user: return "User Error";
    default: return "Internal Error";
  }
}

// A language error that no try took. The evaluator will print the formed error here; until then
// one line names it.
[[noreturn]] void report_uncaught(const LanguageError& e) {
  std::string line = "*** ";
  line += category_title(e.category);
  line += ": ";
  line += e.id ? e.id : "";
  sys::write_line(line);
  sys::exit_process(uncaught);
}

}  // namespace

void start_language() {
  init_unit_values();        // 2
  record_stack_limit();      // 3
  init_runtime();            // 4
  make_program_words();      // 5
  make_word_aliases();       // 6
  fetch_literals();          // 7
  collector_on();            // 8
  run_phase(9, make_core_words);
  run_phase(10, bind_boot_routines);
  run_phase(11, make_constants);
  run_phase(12, make_general_functions);
  run_phase(13, make_system_object);
  run_phase(14, make_reactivity);
  run_phase(15, make_schemes);
  run_phase(16, make_preprocessor);
  run_phase(17, make_tools);
  run_phase(18, set_options);
  run_phase(19, make_gui_engine);
  run_phase(20, make_codecs_and_help);
  run_phase(21, make_console);
}

void start_up(int argc, char** argv) {
  sys::runtime_start(argc, argv);  // 1
  // The outermost catcher: every thrown code ends here at the latest.
  try {
    start_language();          // 2-21
    launch_console();          // 22
  } catch (const sys::Thrown& t) {
    sys::top_level_handler(t.code);
  } catch (const LanguageError& e) {
    report_uncaught(e);
  } catch (const std::bad_alloc&) {
    sys::quit(sys::Fatal::out_of_memory);
  } catch (...) {
    sys::quit(sys::Fatal::unknown);
  }
  sys::quit(0, 0);
}

}  // namespace kiv::boot
