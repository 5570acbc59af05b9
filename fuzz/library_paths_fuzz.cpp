// The library's text-taking path functions on arbitrary text: the URL parser (decode-url), to-kiv-file,
// clean-path (plain, /only and /dir, on files, strings and URLs) and split-path (files and URLs).
// The first byte picks the function, the rest is the text, given as the bytes of a binary! turned
// into a string (invalid UTF-8 ends the case with a language error, which is no finding).
//
// Findings: a crash or sanitizer report, an internal error, a hang (libFuzzer's -timeout), or the
// value stack, the call frames or the shadow roots left unbalanced.
//   fuzz-library_paths_fuzz -timeout=10 -max_len=200 -detect_leaks=0 corpus/
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/startup.h"
#include "datatypes/error.h"
#include "evaluator/interpreter.h"
#include "fuzz/fuzz_support.h"
#include "lexer/lexer.h"
#include "runtime/roots.h"
#include "runtime/sys.h"

using namespace kiv;

namespace {

const char* const calls[] = {
    "decode-url text",
    "decode-url to url! text",
    "url-parser/parse-url/throw-error text",
    "to-kiv-file text",
    "clean-path to file! text",
    "clean-path/only to file! text",
    "clean-path/dir text",
    "clean-path/only to url! text",
    "split-path to file! text",
    "split-path to url! text",
    "encode-url decode-url text",
};
constexpr u32 call_count = sizeof(calls) / sizeof(calls[0]);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool booted = false;
  if (!booted) {
    booted = true;
    sys::init_stack_bounds();
    boot::start_language();
  }
  if (size < 1) return 0;
  fuzz::StackMark mark;
  static const char hex[] = "0123456789ABCDEF";
  std::string code = "text: to string! #{";
  for (size_t i = 1; i < size; ++i) {
    code += hex[data[i] >> 4];
    code += hex[data[i] & 15];
  }
  code += "} ";
  code += calls[data[0] % call_count];
  {
    Cell out{type::none, 0, 0, 0}, block{type::none, 0, 0, 0};
    RootCell keep(out), keep_block(block);
    lexer::load_text(code, &block);
    if (!interpreter::do_safe(&block, &out)) {
      const Cell* c = out.type() == type::error ? error::field_of(&out, error::field::code) : nullptr;
      const i32 err = c && c->type() == type::integer ? c->as_int() : -1;
      if (err < 0 || err >= 900) {
        std::fprintf(stderr, "%s\n", code.c_str());
        fuzz::finding("library_paths_fuzz", "an internal error");
      }
    }
  }
  mark.check("library_paths_fuzz");
  return 0;
}
