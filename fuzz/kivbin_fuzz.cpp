// The KIVBIN decoder on arbitrary bytes, in user mode and in boot mode (into a block of its own,
// not the root block). The only ways out are values or kb-invalid-record, invalid-data (a wrong
// magic or a failed expansion) and no-codec; anything else traps. What decodes must encode again in
// both forms, and each of those must decode. fuzz/kivbin.dict holds the lead bytes of every type
// with a codec and the headers (run with -dict=fuzz/kivbin.dict).
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "fuzz/fuzz_support.h"
#include "io/kivbin.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"
#include "tests/unit/core_fixture.cpp"  // the shared boot of the core

using namespace kiv;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool allowed(const LanguageError& e) {
  std::string_view id = e.id;
  return (e.category == ErrorCategory::script && id == "kb-invalid-record") ||
         (e.category == ErrorCategory::access && id == "no-codec");
}

// Decodes into a new block on the value stack; answers it, or null when the data was refused.
Cell* decode(const u8* data, size_t size, kivbin::Mode mode) {
  Cell* out = stack::push_cell();
  block::make_at(out, 1);
  try {
    kivbin::decode(data, size, out, mode);
  } catch (const kivbin::BadInput&) {
    return nullptr;
  } catch (const LanguageError& e) {
    check(allowed(e));
    check(block::length(out) == 0 || mode == kivbin::Mode::boot);
    return nullptr;
  }
  return out;
}

void encode_again(const Cell* values) {
  for (bool compact : {true, false}) {
    Cell* bin = stack::push_cell();
    try {
      kivbin::encode(values, compact, bin);
    } catch (const LanguageError&) {
      check(false);
    }
    const u8* p = reinterpret_cast<const u8*>(binary::head_pointer(bin));
    std::vector<u8> bytes(p, p + binary::length_of(bin));
    check(decode(bytes.data(), bytes.size(), kivbin::Mode::user) != nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::start_core_case([] {
    test::boot_core();
    sys::init_stack_bounds();
  });
  fuzz::StackMark mark;
  for (kivbin::Mode mode : {kivbin::Mode::user, kivbin::Mode::boot}) {
    Cell* values = decode(data, size, mode);
    if (values && mode == kivbin::Mode::user) encode_again(values);
  }
  stack::top = mark.top;
  mark.check("kivbin");
  return 0;
}
