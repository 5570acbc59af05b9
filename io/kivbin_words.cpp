// The codec's entries as the language calls them: the routines "kivbin/encode*" (the value and the
// compact? flag) and "kivbin/decode" (a binary!, or a file or url read as one). Until the library
// puts them under the codecs object, define_words binds them to the global words kivbin-encode*
// and kivbin-decode; this is the one place that names those words.
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/routine.h"
#include "datatypes/url.h"
#include "io/kivbin.h"
#include "io/routine_words.h"
#include "runtime/stack.h"

namespace kiv::kivbin {

namespace {

// The smallest payload that can hold a value: the header, two counts and one record.
constexpr i32 min_payload = 11;

Cell* encode_entry(Cell* data, Cell* compact) {
  const bool as_compact = compact->type() == type::logic && compact->w1 == 1;
  return encode(data, as_compact, stack::push_cell());
}

[[noreturn]] void invalid_data(const Cell* payload) { raise_error(ErrorCategory::script, "invalid-data", *payload); }

Cell* decode_entry(Cell* payload) {
  const Cell* bytes = payload;
  if (payload->type() == type::file) bytes = file::read(payload, nullptr, nullptr, true, false, false, nullptr);
  else if (payload->type() == type::url) bytes = url::read(payload, nullptr, nullptr, true, false, false, nullptr);
  if (bytes->type() != type::binary) invalid_data(payload);
  const i32 n = binary::length_of(bytes);
  if (n < min_payload) invalid_data(payload);
  // Copied out: the decoder allocates, and the binary would move under it.
  const u8* head = reinterpret_cast<const u8*>(binary::head_pointer(bytes));
  const std::vector<u8> data(head, head + n);
  Cell* out = stack::push_cell();
  block::make_at(out, 1);
  try {
    decode(data.data(), data.size(), out, Mode::user);
  } catch (const BadInput&) {
    invalid_data(payload);
  }
  if (block::length(out) == 1) *out = *block::cell_at(out, 0);
  return out;
}

struct Entry {
  const char* routine;
  const char* word;
  const char* spec;
};
constexpr Entry entries[] = {
    {"kivbin/encode*", "kivbin-encode*", "data [any-type!] compact? [logic!]"},
    {"kivbin/decode", "kivbin-decode", "payload [any-type!]"},
};

}  // namespace

void define_words() {
  routine::add(entries[0].routine, encode_entry);
  routine::add(entries[1].routine, decode_entry);
  for (const Entry& e : entries) routine_words::define(e.routine, e.word, e.spec);
}

}  // namespace kiv::kivbin
