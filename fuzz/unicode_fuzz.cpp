// The text decoders on arbitrary bytes: the lexer's table decoder, code point counting and
// skipping, the strict decoder, and loading UTF-8, UTF-16LE and Windows-1251 into string series
// (with and without line-end conversion), then converting the strings back. Checks that nothing
// reads outside its input, that counts agree, and that well-formed UTF-16 survives the round trip.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

using namespace kiv;
namespace uc = kiv::unicode;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void table_decoder(const u8* data, size_t size) {
  // The lexer's buffers end with NUL: the decoder looks at no end pointer.
  std::vector<u8> text(data, data + size);
  text.push_back(0);
  const u8* p = text.data();
  const u8* end = p + size;
  i32 sequences = 0;
  while (p < end) {
    i32 cp;
    const u8* next = uc::decode_utf8_next(p, cp);
    check(next > p && next <= end + 1);
    check(cp >= -1 && cp <= 0x10FFFF);
    p = next;
    ++sequences;
  }
  check(uc::count_codepoints(data, data + size) == sequences);
  check(uc::skip_codepoints(data, data + size, sequences) == data + size);
}

void strict_decoder(const u8* data, size_t size) {
  size_t at = 0;
  try {
    while (at < size) {
      i32 count = static_cast<i32>(size - at);
      i32 cp = uc::decode_utf8_char(data + at, count);
      if (cp < 0) break;
      check(count >= 1 && count <= 4 && cp <= 0x10FFFF);
      at += static_cast<size_t>(count);
    }
  } catch (const LanguageError&) {
  }
}

u32 unit_of(Ref<Node> n) { return buffer_of(n)->unit(); }

void loaders(const u8* data, size_t size) {
  i32 n = static_cast<i32>(size);
  for (bool crlf : {false, true}) {
    try {
      i32 left = -1;
      Ref<Node> node = uc::load_utf8(data, n, nullptr, &left, crlf);
      check(left >= 0 && left <= n);
      Cell s{type::string, 0, node.offset(), 0};
      i32 length = -1;
      char* text = uc::to_utf8(&s, length);
      check(length >= 0 && text[length] == 0);
    } catch (const LanguageError&) {
    }

    // The same bytes as UTF-16LE units.
    std::vector<u16> units(size / 2);
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
    Ref<Node> node = uc::load_utf16(units.data(), static_cast<i32>(units.size()), nullptr, crlf);
    Cell s{type::string, 0, node.offset(), 0};
    check(unit_of(node) == uc::utf16_unit_width(units.data(), static_cast<i32>(units.size())) ||
          (units.empty() && unit_of(node) == 2));
    i32 count = -1;
    u16* back = uc::to_utf16_part(&s, count, false);
    check(back != nullptr && back[count] == 0);
    bool well_formed = !crlf;
    for (size_t i = 0; i < units.size() && well_formed; ++i) {
      if (units[i] >= 0xD800 && units[i] <= 0xDBFF) {
        if (i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) ++i;
        else well_formed = false;
      }
    }
    if (well_formed) {
      check(count == static_cast<i32>(units.size()));
      check(std::memcmp(back, units.data(), units.size() * 2) == 0);
    }

    Ref<Node> cp = uc::load_cp1251(data, n, nullptr, crlf);
    check(unit_of(cp) == 1 || unit_of(cp) == 2);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 16)) return 0;
  collector::enabled = false;
  memory::init();
  table_decoder(data, size);
  strict_decoder(data, size);
  loaders(data, size);
  memory::free_all();
  return 0;
}
