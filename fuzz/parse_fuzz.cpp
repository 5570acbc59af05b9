// parse on random rules over random input. The bytes choose the input (text, binary or block, with
// its content), the refinements (/case, /part, /trace with a callback that answers true) and then
// the rules, token by token from a vocabulary of every keyword, literals, charsets, datatypes,
// counts, set-words and get-words, actions (some modifying the input), words holding rules
// (recursive ones among them) and nested blocks. The text is loaded and evaluated as
// `parse ... [...]` under a catcher.
//
// A case may end with a value or with a language error (malformed rules raise by design). Findings:
// a crash or sanitizer report, an internal error other than the step limit, a hang (libFuzzer's
// -timeout), or any stack left unbalanced afterwards: the parse stacks, the value stack, the call
// frames. Rules that never end by design (`while` over a rule that always matches, `any [insert
// "x"]`) are stopped by parse::step_budget.
//
// The first byte's five top bits all set run the case under torture mode (every allocation collects
// and moves every buffer and node), with a smaller step budget: such a run is slow.
//   fuzz-parse_fuzz -timeout=20 -max_len=256 -len_control=0 -detect_leaks=0 corpus/
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/startup.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/parse.h"
#include "fuzz/fuzz_support.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"

using namespace kiv;

namespace {

using fuzz::Input;
[[noreturn]] void finding(const char* what) { fuzz::finding("parse_fuzz", what); }

void start() {
  sys::init_stack_bounds();
  boot::start_language();
  Cell out{type::none, 0, 0, 0};
  RootCell keep(out);
  const bool ok = interpreter::do_text_safe(
      "cs: make bitset! [#\"a\" - #\"c\"] up: make bitset! \"AB,\" yes: true no: false n: 0 "
      "r: [\"a\" r | \"b\" | end] r2: [skip r2 | end] s: none x: none y: none "
      "out: copy [] sout: copy \"\" bout: copy #{} cb: func [e m r i s] [true] "
      "loop-rule: [r2 r2]",
      &out);
  if (!ok) finding("the setup failed");
}

const char* const tokens[] = {
    // keywords
    "|", "skip", "any", "some", "opt", "copy x", "set y", "to", "thru", "end", "remove", "break", "keep",
    "keep pick", "fail", "ahead", "while", "into", "insert", "insert only", "change", "change only", "if",
    "not", "quote", "collect", "collect set x", "collect into out", "collect after sout",
    "collect into bout", "case yes", "case no", "reject", "none",
    // literals and classes
    "\"a\"", "\"b\"", "\"ab\"", "\"\"", "\"A\"", "#\"a\"", "#\"B\"", "#\",\"", "cs", "up", "#{61}", "#{00}",
    "integer!", "word!", "block!", "string!", "char!", "'a", "'b", "a", "1", "2", "0", "3", "-1", "x:", ":x",
    "s:", ":s",
    // actions and rule words
    "(n: n + 1)", "(true)", "(none)", "(x: 1)", "(append s \"x\")", "(clear s)", "(remove s)", "(1 / 0)",
    "(parse \"ab\" [some skip])", "(\"z\")", "([a b])", "r", "r2", "loop-rule", "yes",
};
constexpr u32 token_count = sizeof(tokens) / sizeof(tokens[0]);

std::string make_input(Input& in, u8 mode) {
  const u32 n = in.next() % 24;
  std::string text;
  switch (mode % 3) {
    case 0: {  // text
      static const char alphabet[] = "abAB,c1 ";
      text = "s: copy \"";
      for (u32 i = 0; i < n; ++i) text += alphabet[in.next() % 8];
      text += "\"";
      break;
    }
    case 1: {  // binary
      static const char* const bytes[] = {"61", "62", "41", "00", "FF", "2C", "31", "20"};
      text = "s: copy #{";
      for (u32 i = 0; i < n; ++i) text += bytes[in.next() % 8];
      text += "}";
      break;
    }
    default: {  // block
      static const char* const values[] = {"a", "b", "1", "\"a\"", "[a b]", "[1 [2]]", "(x)", "a/b", "#\"a\"", "none"};
      text = "s: copy/deep [";
      for (u32 i = 0; i < n; ++i) {
        text += values[in.next() % 10];
        text += ' ';
      }
      text += "]";
      break;
    }
  }
  return text;
}

std::string make_rules(Input& in) {
  std::string rules = "[";
  i32 depth = 0;
  u32 count = 0;
  while (in.more() && count < 96) {
    const u8 b = in.next();
    ++count;
    if (b >= 0xF0 && depth < 12) {
      rules += "[";
      ++depth;
    } else if (b >= 0xE0 && depth > 0) {
      rules += "]";
      --depth;
    } else {
      rules += tokens[b % token_count];
    }
    rules += ' ';
  }
  while (depth-- > 0) rules += "]";
  rules += "]";
  return rules;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool booted = false;
  if (!booted) {
    booted = true;
    start();
  }
  if (size < 2) return 0;
  Input in{data, data + size};
  const u8 mode = in.next();
  const bool torture = (mode & 0xF8) == 0xF8;

  std::string code = make_input(in, mode);
  code += " n: 0 x: none clear out clear sout clear bout parse";
  if (mode & 0x04) code += "/case";
  if (mode & 0x08) code += "/part";
  if (mode & 0x10) code += "/trace";
  code += " s ";
  code += make_rules(in);
  if (mode & 0x08) code += " " + std::to_string(static_cast<i32>(mode >> 5) - 1);
  if (mode & 0x10) code += " :cb";

  static const bool show = std::getenv("PARSE_FUZZ_SHOW") != nullptr;  // prints each case's code
  if (show) std::fprintf(stderr, "%s%s\n", torture ? "[torture] " : "", code.c_str());

  const fuzz::StackMark mark;

  parse::step_budget = torture ? 200 : 1000;
  Cell out{type::none, 0, 0, 0};
  Cell block{type::none, 0, 0, 0};
  {
    RootCell keep(out), keep_block(block);
    lexer::load_text(code, &block);  // loaded before torture starts: only parse runs under it
    if (torture) collector::set_torture(1);
    if (!interpreter::do_safe(&block, &out)) {
      if (out.type() != type::error) finding("a failure without an error value");
      const Cell* c = error::field_of(&out, error::field::code);
      const i32 err = c->type() == type::integer ? c->as_int() : -1;
      // Internal errors are findings, except the step limit (905, limit-hit) and running out of
      // memory (902, no-memory), the clean end of a rule that doubles its input at every step.
      if (err >= 900 && err != 905 && err != 902) {
        std::fprintf(stderr, "%s\n%s\n", code.c_str(), error::report(&out).c_str());
        finding("an internal error");
      }
    }
  }
  if (torture) collector::set_torture(0);
  parse::step_budget = -1;

  if (parse::rule_stack_depth() != 0 || parse::input_stack_depth() != 0) finding("parse stacks left non-empty");
  mark.check("parse_fuzz");
  return 0;
}
