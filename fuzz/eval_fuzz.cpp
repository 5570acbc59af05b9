// The interpreter on random code. The bytes choose a program, token by token, from a vocabulary of
// literals, words and set-words, operators, conditionals, loops with counts, the exits (break,
// continue, return, exit, throw), calls of functions with refinements and of an object's methods,
// paths, series actions that change the blocks being walked, and nested blocks and parens; specs and
// bodies changed through reflect after their functions were made, natives and actions made from
// any slot with specs of their own, change handlers that clear, shrink, grow or allocate while a
// series action on their series runs, /part and /skip counts from one end of the integer range to
// the other, and limited forms and molds of deep and huge values and of errors carrying them. The
// text is loaded and evaluated under a catcher.
//
// A case may end with a value or with a language error (random code mostly fails). Findings: a
// crash or sanitizer report, an internal error that random code must not meet (no-memory,
// invalid-error ...), a hang (libFuzzer's -timeout), or any stack left unbalanced afterwards: the
// value stack, the call frames, the shadow roots.
//
// The first byte's five top bits all set run the case under torture mode (every allocation collects
// and moves every buffer and node): such a run is slow.
//   fuzz-eval_fuzz -timeout=20 -max_len=200 -len_control=0 -detect_leaks=0 corpus/
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/startup.h"
#include "datatypes/error.h"
#include "evaluator/interpreter.h"
#include "fuzz/fuzz_support.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

using namespace kiv;

namespace {

using fuzz::Input;
[[noreturn]] void finding(const char* what) { fuzz::finding("eval_fuzz", what); }

// Words the programs use, set again before every case: a case may have changed any of them.
constexpr const char* setup =
    "x: 1 y: 2 n: 0 s: \"ab\" blk: [1 2 3] code: [n: n + 1] "
    "f: func [a] [a + 1] "
    "g: func [a /r b] [either r [a + b] [a]] "
    "h: func [a] [if a > 1 [return a * 2] a] "
    "k: func [a] [loop 2 [if a [break/return a]] 0] "
    "rec: func [a] [either a > 0 [rec a - 1] [a]] "
    "o: make object! [v: 1 m: func [q] [v: v + q]] "
    "w: make object! [a: 1 on-change*: func [word old new] [if new = 3 [break]]] "
    "cmp: func [a b] [if a = 2 [throw 8] a < b] "
    "sp: [a b] fs: func sp [reduce [a b]] "
    "hb: make object! [b: [1 2 3] s: \"abc\" n: #{010203} mode: 0 busy: false "
    "  on-deep-change*: func [o w t a n i p] [unless busy [busy: true switch mode [1 [clear t] "
    "  2 [clear skip t 1] 3 [append t copy t] 4 [t: copy t recycle]] busy: false]]] "
    "dp: [] loop 1200 [dp: reduce [dp]] hg: append/dup copy [] 1 20000 ";

const char* const tokens[] = {
    // values and words
    "1", "2", "0", "-1", "1.5", "\"a\"", "#\"a\"", "none", "true", "false", "'x", "x", "y", "n", "s", "blk",
    ":x", ":f", "x:", "y:", "n:", "[]", "[x]", "[1 + 2]", "()",
    // operators
    "+", "-", "*", "/", "<", ">", "=", "<>", "and",
    // conditionals and blocks of code
    "if", "unless", "either", "any", "all", "not", "do", "reduce", "compose", "do code", "do blk",
    // loops, bounded
    "loop 2", "repeat i 2", "foreach v [1 2]", "until [true]", "while [n < 2] [n: n + 1]",
    // exits and their catchers
    "break", "break/return 3", "continue", "return 4", "exit", "throw 5", "throw/name 6 'a", "catch",
    "catch/name [throw/name 7 'a] 'a", "try", "attempt",
    // calls
    "f", "g", "g/r", "h", "k", "rec 3", "o/m", "o/v", "o/v:", "f x", "g/r 1 2",
    // series, some changing the block being walked
    "append blk 4", "insert blk 0", "remove blk", "clear blk", "change blk 9", "copy blk", "pick blk 1",
    "poke blk 1 5", "length? blk", "head blk", "next blk", "append code [n: n + 1]", "clear code",
    "blk/1", "blk/1:", "s/1", "type? x", "set 'x", "get 'x",
    // callbacks from C++ code that exit, nested walks, functions made on the way
    "sort/compare blk :cmp", "w/a: 3", "w/a:", "do/next blk 'z", "reduce blk", "compose [(x) y]",
    "func [a] [a]", "does [x]", "has [q] [q: x]", "make object! [z: x]", "parse [1 2] [some [integer! (n: n + 1)]]",
    "apply :g [1 true 2]",
    // edited specs and bodies
    "fs", "fs 1 2", "clear sp", "append sp 'c", "reverse sp", "remove sp", "insert sp /r", "fs: func sp [a]",
    "clear reflect :f 'spec", "append reflect :g 'spec 'z", "clear reflect :f 'body", "insert reflect :h 'body [x]",
    "clear next reflect :all 'spec", "change next reflect :any 'spec [any-type!]", "reflect :g 'words",
    // natives and actions from any slot, with specs of their own
    "nat: make native! reduce [[a b c d e f g h] x]", "nat", "act: make action! reduce [[a /b c] x]", "act",
    "make native! reduce [sp x]", "make op! :fs", "120", "62", "107",
    // change handlers at work while a series action runs
    "hb/mode:", "append hb/b 4", "insert hb/s \"x\"", "remove hb/b", "take hb/s", "take/part hb/n 2",
    "move hb/b tail hb/b", "change/part hb/b [7 8] 2", "sort hb/s", "sort hb/n", "hb/s/2: #\"Z\"",
    "hb/b/1: 0", "poke hb/n 1 9", "reverse hb/b", "remove/part hb/s 2", "move/part hb/s tail hb/s 2",
    // /part and /skip counts across the integer range
    "2147483647", "-2147483648", "2147483646", "-2147483647",
    "take/part s", "take/part/last blk", "copy/part blk", "copy/part s", "remove/part blk", "reverse/part s",
    "change/part s \"x\"", "insert/part blk [1 2]", "find/part blk 2", "find/skip blk 1", "select/skip blk 1",
    "find/reverse/skip tail blk [2 3]", "find/last/skip blk 1", "unique/skip s", "unique/skip blk",
    "union/skip s \"cd\"", "intersect/skip blk [1]", "exclude/skip s \"a\"", "difference/skip blk [2]",
    "sort/skip blk", "reverse/skip blk", "move/part blk tail blk", "at s", "skip blk",
    // limited forms and molds over deep and huge values, and errors carrying them
    "form/part dp", "mold/part dp", "form/part hg", "mold/part hg", "form try [to integer! dp]",
    "form try [to integer! hg]", "e: try [do dp]", "form e", "mold/part e", "form/part reduce [dp hg]",
};
constexpr u32 token_count = sizeof(tokens) / sizeof(tokens[0]);

std::string make_code(Input& in) {
  std::string code;
  std::string closers;  // what each open level needs to close it
  u32 count = 0;
  while (in.more() && count < 80) {
    const u8 b = in.next();
    ++count;
    if (b >= 0xF0 && closers.size() < 10) {
      const bool paren = b & 1;
      code += paren ? "(" : "[";
      closers += paren ? ')' : ']';
    } else if (b >= 0xE0 && !closers.empty()) {
      code += closers.back();
      closers.pop_back();
    } else {
      code += tokens[b % token_count];
    }
    code += ' ';
  }
  while (!closers.empty()) {
    code += closers.back();
    closers.pop_back();
  }
  return code;
}

bool allowed_internal(i32 code) {
  switch (code) {
    case 900:  // bad-path
    case 904:  // stack-overflow
    case 905:  // limit-hit
    case 906:  // too-deep
    case 907:  // no-cycle
    case 909:  // not-done
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool booted = false;
  if (!booted) {
    booted = true;
    sys::init_stack_bounds();
    boot::start_language();
  }
  if (size < 2) return 0;
  Input in{data, data + size};
  const u8 mode = in.next();
  const bool torture = (mode & 0xF8) == 0xF8;
  const std::string code = make_code(in);

  static const bool show = std::getenv("EVAL_FUZZ_SHOW") != nullptr;  // prints each case's code
  if (show) std::fprintf(stderr, "%s%s\n", torture ? "[torture] " : "", code.c_str());

  const fuzz::StackMark mark;

  Cell out{type::none, 0, 0, 0};
  Cell block{type::none, 0, 0, 0};
  {
    RootCell keep(out), keep_block(block);
    if (!interpreter::do_text_safe(setup, &out)) finding("the setup failed");
    lexer::load_text(code, &block);  // loaded before torture starts: only the evaluation runs under it
    if (torture) collector::set_torture(1);
    if (!interpreter::do_safe(&block, &out)) {
      if (out.type() != type::error) finding("a failure without an error value");
      const Cell* c = error::field_of(&out, error::field::code);
      const i32 err = c->type() == type::integer ? c->as_int() : -1;
      if (err >= 900 && !allowed_internal(err)) {
        std::fprintf(stderr, "%s\n%s\n", code.c_str(), error::report(&out).c_str());
        finding("an internal error");
      }
    }
    if (torture) collector::set_torture(0);
  }

  mark.check("eval_fuzz");
  return 0;
}
