// Runtime services: fatal runtime errors, quit, the non-local throw of run-time codes, the tracked
// allocator for memory that holds no values, and the run-time's own console writer.
#pragma once
#include <string_view>

#include "runtime/base.h"

namespace kiv::sys {

// The code whose throw ends the process like a normal end (status 0, no message).
constexpr u32 quit_code = 0x0BADCAFE;

// Text of a fatal runtime error code ("unknown error code!" for codes without one).
const char* runtime_error_text(i32 code);

// Ends the process. A non-zero code first writes "*** Runtime Error %d: %s\n*** at: %08Xh" to
// standard error (and to the error box when the GUI is up). Output written so far is flushed and
// every tracked block is released before the exit.
[[noreturn]] void quit(i32 code, u32 address);

// A run-time code travelling to the first catcher whose catch code is at least the thrown code.
struct Thrown {
  u32 code;
};
[[noreturn]] void throw_code(u32 code);

// What the outermost catcher does with a code nobody took: quit_code ends with status 0,
// anything else is runtime error 95 "no CATCH for THROW".
[[noreturn]] void top_level_handler(u32 code);

// Tracked allocator: blocks outside the arena, all released at quit. A failed allocation is runtime
// error 94 "out of memory". Sizes are in bytes.
void* allocate(i32 size);
void* allocate_zeroed(i32 size);
void* resize(void* p, i32 size);  // null allocates, 0 frees
void free(void* p);
void free_all();
// Sum over live tracked blocks of (size + header), the figure memory statistics report.
u64 tracked_bytes();

// The console writer: UTF-8 text to standard output, then the output print hooks.
void write(std::string_view utf8);
void write_line(std::string_view utf8);

}  // namespace kiv::sys
