// binary!: what the language cannot reach yet: the literal loader's refusals, the byte helpers other
// units build on, the parse byte tests, and the base decoders over 2- and 4-byte text units.
#include "datatypes/binary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/file.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

using namespace kiv;

namespace {

class Binary : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    lexer::init();
  }
  static Cell* one(std::string_view text) {
    Cell* out = stack::push_cell();
    lexer::load_one(text, out);
    return out;
  }
  static Cell* bin(std::string_view bytes) { return binary::load(bytes.data(), static_cast<i32>(bytes.size())); }
  static std::string text_error(std::string_view text) {
    try {
      one(text);
    } catch (const LanguageError& e) {
      return e.id;
    }
    return "(no error)";
  }
};

// Text in a given unit width, as the decoders read it.
std::vector<std::byte> units(std::u32string_view text, u32 unit) {
  std::vector<std::byte> out(text.size() * unit);
  for (std::size_t i = 0; i < text.size(); ++i)
    string::write_unit(out.data() + i * unit, unit, static_cast<i32>(text[i]));
  return out;
}

bool decode(i32 base, std::u32string_view text, u32 unit, std::string& out) {
  std::vector<std::byte> t = units(text, unit);
  std::vector<u8> bytes;
  bool ok = base == 2    ? binary::decode_2(t.data(), static_cast<i32>(text.size()), unit, bytes)
            : base == 16 ? binary::decode_16(t.data(), static_cast<i32>(text.size()), unit, bytes)
            : base == 58 ? binary::decode_58(t.data(), static_cast<i32>(text.size()), unit, bytes)
                         : binary::decode_64(t.data(), static_cast<i32>(text.size()), unit, bytes);
  out.assign(bytes.begin(), bytes.end());
  return ok;
}

}  // namespace

TEST_F(Binary, LiteralsLoadAndBadOnesAreSyntaxErrors) {
  EXPECT_EQ(binary::to_std_string(one("#{0a1B}")), "\x0A\x1B");
  EXPECT_EQ(binary::to_std_string(one("2#{01000001 ; A\n 01000010}")), "AB");
  EXPECT_EQ(binary::to_std_string(one("64#{QQ==}")), "A");
  EXPECT_EQ(binary::to_std_string(one("64#{YWJjZA==}")), "abcd");
  EXPECT_EQ(one("#{}")->type(), type::binary);
  for (const char* bad : {"#{0A1}", "2#{0101}", "64#{QQ}", "64#{Q===}", "#{0G}", "8#{00}", "#{00"})
    EXPECT_NE(text_error(bad), "(no error)") << bad;
  // What mold writes loads back as the same bytes, long binaries with their line breaks included.
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<char>(i * 7));
  std::string text = test::mold_text(*bin(bytes));
  EXPECT_NE(text.find('\n'), std::string::npos);
  EXPECT_EQ(binary::to_std_string(one(text)), bytes);
}

TEST_F(Binary, ByteHelpersSurviveMovingBuffers) {
  Cell b{type::unset, 0, 0, 0};
  RootCell keep(b);
  binary::make_at(&b, 0);
  for (int i = 0; i < 300; ++i) {
    binary::append_int32_be(&b, 0x01020304u);
    collector::collect();  // the buffer moves; the cell follows it
  }
  ASSERT_EQ(binary::length_of(&b), 1200);
  EXPECT_EQ(binary::byte_at(&b, 4), 1);
  EXPECT_EQ(binary::byte_at(&b, 1199), 4);
  binary::insert_bytes(&b, 2, "xy", 2);
  EXPECT_EQ(binary::to_std_string(&b).substr(0, 6), std::string("\x01\x02xy\x03\x04", 6));
  binary::insert_bytes(&b, 1202, "z", 1);  // at the tail
  EXPECT_EQ(binary::to_std_string(&b).back(), 'z');
  binary::set_head_index(&b, 5000);  // a head past the tail reads as empty
  EXPECT_EQ(binary::length_of(&b), 0);
  EXPECT_TRUE(binary::bytes_of(&b).empty());

  std::byte at{};
  Cell n = test::int_cell(0x1FF);
  binary::value_to_byte(&at, &n);
  EXPECT_EQ(at, std::byte{0xFF});
  Cell f{type::float_, 0, 0, 0};
  EXPECT_THROW(binary::value_to_byte(&at, &f), LanguageError);
}

TEST_F(Binary, ParseByteTests) {
  Cell* b = bin("\xC3\xA9z");
  Cell* text = stack::push_cell();
  string::make_from_utf8(text, "é");
  EXPECT_TRUE(binary::match_value_q(b, text, true));  // a text matches its UTF-8 bytes
  EXPECT_TRUE(binary::match_value_q(b, bin("\xC3"), true));
  EXPECT_FALSE(binary::match_value_q(b, bin("\xC3\xA9z!"), true));
  Cell c{type::char_, 0, 0xC3, 0};
  EXPECT_TRUE(binary::match_value_q(b, &c, true));
  Cell* ab = bin("aB");
  string::make_from_utf8(text, "Ab");
  EXPECT_TRUE(binary::match_value_q(ab, text, false));
  EXPECT_FALSE(binary::match_value_q(ab, text, true));
  Cell number = test::int_cell(1);
  EXPECT_EQ(binary::compare_bytes(ab, &number, 0, false), -2);

  // A bitset: bit set, bit clear, and past its stored bytes the complement flag decides.
  Cell* bits = stack::push_cell();
  bitset::make_at(bits, 1, false);
  bitset::ensure_bit(bits, 0x61);
  bitset::process_range(bits, 0x61, 0x61, bitset::set_bits);
  EXPECT_TRUE(binary::match_bitset_q(ab, bits));
  EXPECT_FALSE(binary::match_bitset_q(bin("b"), bits));
  EXPECT_FALSE(binary::match_bitset_q(bin("\xF0"), bits));
  Cell* all = stack::push_cell();
  bitset::make_at(all, 1, true);
  EXPECT_TRUE(binary::match_bitset_q(bin("\xF0"), all));
  EXPECT_FALSE(binary::match_bitset_q(bin(""), all));
}

TEST_F(Binary, DecodersReadEveryUnitWidth) {
  for (u32 unit : {1u, 2u, 4u}) {
    std::string out;
    EXPECT_TRUE(decode(16, U"41 42 ; \u00E9 comment\n43", unit, out)) << unit;
    EXPECT_EQ(out, "ABC");
    EXPECT_TRUE(decode(2, U"0100 0001", unit, out));
    EXPECT_EQ(out, "A");
    EXPECT_TRUE(decode(64, U"YWJj\nZA==", unit, out));
    EXPECT_EQ(out, "abcd");
    EXPECT_TRUE(decode(58, U"2NEpo7TZRRrLZSi2U", unit, out));
    EXPECT_EQ(out, "Hello World!");
    // A wide character ends base-58 input; elsewhere it is refused.
    EXPECT_TRUE(decode(58, U"112\u00E9zzz", unit, out));
    EXPECT_EQ(out, std::string("\0\0\x01", 3));
    EXPECT_FALSE(decode(64, U"YW\u00E9Jj", unit, out));
    EXPECT_FALSE(decode(2, U"0100000\u00E9", unit, out));
  }
  std::string out;
  // A character whose low seven bits spell a digit is still no digit.
  EXPECT_FALSE(decode(16, U"\u00C1\u00C2", 2, out));
  EXPECT_FALSE(decode(16, U"\u0141\u0142", 2, out));
  EXPECT_FALSE(decode(16, U"\U00010041", 4, out));
}

TEST_F(Binary, ChecksumReadsAFileWholeThroughTheFileLayer) {
  // The file layer arrives with its own unit: a stand-in read hook serves the bytes here.
  static bool asked_binary = false;
  auto saved = hooks::file_read.get();
  hooks::file_read = [](Cell*, Cell* part, Cell*, bool binary, bool, Cell* out) {
    asked_binary = binary && !part;
    return binary::make_from(out, "abc", 3);
  };
  Cell f{type::unset, 0, 0, 0};
  RootCell keep_f(f);
  string::make_from_utf8(&f, "data.bin");
  cell::set_type(&f, type::file);
  Cell method = word::load("crc32");
  RootCell keep_method(method);
  Cell r = test::call({f, method}, [] { natives::checksum(true, -1); });
  hooks::file_read = saved;
  EXPECT_TRUE(asked_binary);
  EXPECT_EQ(r.type(), type::integer);
  EXPECT_EQ(static_cast<u32>(r.as_int()), 0x352441C2u);
}
