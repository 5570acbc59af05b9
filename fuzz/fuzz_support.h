// What the fuzz targets share: the reader of a case's bytes, the report of a finding, and the
// check that a case left the value stack, the call frames and the shadow roots as it found them.
#pragma once
#include <cstdio>
#include <cstdlib>

#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::fuzz {

// The case's bytes, read one at a time; past the end they read as 0.
struct Input {
  const u8* p;
  const u8* end;
  bool more() const { return p < end; }
  u8 next() { return p < end ? *p++ : 0; }
};

// Reports a finding of the target and stops (libFuzzer keeps the case).
[[noreturn]] inline void finding(const char* target, const char* what) {
  std::fprintf(stderr, "%s: %s\n", target, what);
  std::abort();
}

// The stacks as a case found them; check() is a finding when the case left them elsewhere.
struct StackMark {
  Cell* top = stack::top;
  Cell* arguments = stack::arguments;
  i32 frames = stack::frame_depth();
  u32 roots = roots::top;

  void check(const char* target) const {
    if (stack::top != top || stack::arguments != arguments) finding(target, "value stack unbalanced");
    if (stack::frame_depth() != frames) finding(target, "frame stack unbalanced");
    if (roots::top != roots) finding(target, "shadow roots unbalanced");
  }
};

// The start of each case of a target over the core without the start-up: the core booted once by
// `boot`, with the lexer and the collector on; a full collection every 2,000 cases; the value stack
// emptied.
template <class Boot>
void start_core_case(Boot boot) {
  static bool booted = false;
  if (!booted) {
    booted = true;
    boot();
    lexer::init();
    collector::enabled = true;
  }
  static u32 runs = 0;
  if (++runs % 2000 == 0) collector::collect();
  stack::top = stack::arguments = stack::bottom;
}

}  // namespace kiv::fuzz
