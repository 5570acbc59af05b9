#include "runtime/unicode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "runtime/collector.h"

using namespace kiv;
namespace uc = kiv::unicode;

namespace {

using Bytes = std::vector<u8>;

// A memory manager of its own for each test (the collector off), as the memory tests do.
class Unicode : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = memory::manager;
    saved_fixups_ = std::move(memory::fixups);
    saved_enabled_ = collector::enabled;
    collector::enabled = false;
    memory::init();
  }
  void TearDown() override {
    memory::free_all();
    memory::manager = saved_;
    memory::fixups = std::move(saved_fixups_);
    collector::enabled = saved_enabled_;
  }

  // A string! cell over a new buffer of the given unit holding the code points.
  static Cell make_string(const std::u32string& text, u32 unit, u32 capacity = 0) {
    u32 n = std::max<u32>(capacity, static_cast<u32>(text.size()));
    Ref<Node> node = memory::alloc_string_buffer(static_cast<i32>(n ? n : 1), static_cast<i32>(unit));
    SeriesBuffer* b = buffer_of(node);
    for (size_t i = 0; i < text.size(); ++i) {
      u32 c = text[i];
      std::memcpy(b->head_ptr() + i * unit, &c, unit);  // little-endian: the low bytes
    }
    b->tail = b->head + static_cast<u32>(text.size()) * unit;
    return Cell{type::string, 0, node.offset(), 0};
  }

  static std::u32string chars_of(Ref<Node> node) {
    SeriesBuffer* b = buffer_of(node);
    std::u32string out;
    for (u32 o = b->head; o < b->tail; o += b->unit()) {
      u32 c = 0;
      std::memcpy(&c, arena::at(o), b->unit());
      out += static_cast<char32_t>(c);
    }
    return out;
  }
  static u32 unit_of(Ref<Node> node) { return buffer_of(node)->unit(); }

  static Bytes utf8(const std::u32string& text) {
    Bytes out;
    for (char32_t c : text) {
      u8 seq[4];
      i32 n = uc::encode_utf8(static_cast<i32>(c), seq);
      out.insert(out.end(), seq, seq + n);
    }
    return out;
  }

  static Ref<Node> load(const Bytes& in, i32* unconsumed = nullptr, bool crlf = false) {
    return uc::load_utf8(in.data(), static_cast<i32>(in.size()), nullptr, unconsumed, crlf);
  }

  template <class F>
  static LanguageError error_of(F&& f) {
    try {
      f();
    } catch (const LanguageError& e) {
      return e;
    }
    ADD_FAILURE() << "no error raised";
    return LanguageError{};
  }

  static Bytes binary_arg(const LanguageError& e) {
    EXPECT_EQ(e.arg_count, 1u);
    EXPECT_EQ(e.args[0].type(), type::binary);
    SeriesBuffer* b = buffer_of(Ref<Node>(e.args[0].w2));
    return Bytes(b->head_ptr<u8>(), b->tail_ptr<u8>());
  }

 private:
  MemoryManager saved_;
  decltype(memory::fixups) saved_fixups_;
  bool saved_enabled_;
};

// ---- the table-driven decoder ----

// Well-formedness by the book: the byte ranges of each position of a sequence. Returns the length
// of a well-formed sequence, or minus the number of bytes the automaton consumes before it fails.
int reference_sequence(const u8* s, u32& cp) {
  u8 b = s[0];
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  int n;
  u8 lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) n = 2;
  else if (b >= 0xE0 && b <= 0xEF) n = 3, lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
  else if (b >= 0xF0 && b <= 0xF4) n = 4, lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
  else return -1;
  cp = b & (0x7F >> n);
  for (int i = 1; i < n; ++i) {
    u8 c = s[i];
    if (c < lo || c > hi) return -(i + 1);
    lo = 0x80, hi = 0xBF;
    cp = (cp << 6) | (c & 0x3F);
  }
  return n;
}

void check_sequence(const u8* s) {
  u32 expected_cp;
  int expected = reference_sequence(s, expected_cp);
  i32 cp;
  int used = static_cast<int>(uc::decode_utf8_next(s, cp) - s);
  if (expected > 0) {
    ASSERT_EQ(cp, static_cast<i32>(expected_cp)) << std::hex << int(s[0]) << " " << int(s[1]) << " " << int(s[2]);
    ASSERT_EQ(used, expected);
  } else {
    ASSERT_EQ(cp, -1) << std::hex << int(s[0]) << " " << int(s[1]) << " " << int(s[2]) << " " << int(s[3]);
    ASSERT_EQ(used, -expected);
  }
}

TEST_F(Unicode, TableDecoderAcceptsExactlyWellFormedUtf8) {
  u8 s[8] = {};
  for (u32 a = 0; a < 256; ++a)
    for (u32 b = 0; b < 256; ++b)
      for (u32 c = 0; c < 256; ++c) {
        s[0] = static_cast<u8>(a), s[1] = static_cast<u8>(b), s[2] = static_cast<u8>(c), s[3] = 0;
        if (a < 0xE0 && c > 0) break;  // the third byte matters only after a 3- or 4-byte lead
        check_sequence(s);
      }
  const u8 probes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xE0, 0xFF};
  for (u32 a = 0xF0; a < 0x100; ++a)
    for (u8 b : probes)
      for (u8 c : probes)
        for (u8 d : probes) {
          s[0] = static_cast<u8>(a), s[1] = b, s[2] = c, s[3] = d, s[4] = 0;
          check_sequence(s);
        }
}

TEST_F(Unicode, CountingAndSkipping) {
  Bytes text = utf8(U"a\u00E9\u20AC\U0001F600b");
  const u8* end = text.data() + text.size();
  EXPECT_EQ(uc::count_codepoints(text.data(), end), 5);
  EXPECT_EQ(uc::skip_codepoints(text.data(), end, 2) - text.data(), 3);
  EXPECT_EQ(uc::skip_codepoints(text.data(), end, 99), end);
  // A long ASCII run takes the word-at-a-time path and then a multi-byte tail.
  Bytes long_text(1000, 'x');
  Bytes euro = utf8(U"\u20AC");
  long_text.insert(long_text.end(), euro.begin(), euro.end());
  EXPECT_EQ(uc::count_codepoints(long_text.data(), long_text.data() + long_text.size()), 1001);
  EXPECT_EQ(uc::skip_codepoints(long_text.data(), long_text.data() + long_text.size(), 1000) - long_text.data(),
            1000);
  // A sequence cut by the end counts once and is never read past the end.
  Bytes cut = {'a', 0xE2, 0x82};
  EXPECT_EQ(uc::count_codepoints(cut.data(), cut.data() + 3), 2);
  EXPECT_EQ(uc::skip_codepoints(cut.data(), cut.data() + 3, 5), cut.data() + 3);
  EXPECT_EQ(uc::count_codepoints(cut.data(), cut.data()), 0);
}

TEST_F(Unicode, SequenceLength) {
  const std::pair<u8, i32> cases[] = {{0x41, 0}, {0x80, 0}, {0xBF, 0}, {0xC0, 2}, {0xC3, 2},
                                      {0xE2, 3}, {0xEF, 3}, {0xF0, 4}, {0xFF, 4}};
  for (auto [lead, n] : cases) EXPECT_EQ(uc::utf8_sequence_length(lead), n) << int(lead);
}

// ---- the strict decoder ----

TEST_F(Unicode, StrictDecoderQuirks) {
  struct Case {
    Bytes in;
    i32 cp;
    i32 used;
  };
  const Case accepted[] = {
      {{0x41}, 0x41, 1},
      {{0xC0, 0x80}, 0, 2},                   // overlong, accepted
      {{0xC3, 0xA9}, 0xE9, 2},
      {{0xE0, 0x80, 0x80}, 0, 3},             // overlong, accepted
      {{0xED, 0xA0, 0x80}, 0xD800, 3},        // high surrogate, accepted
      {{0xED, 0xBF, 0xBF}, 0xDFFF, 3},        // only U+DC00-U+DCFF are refused
      {{0xEF, 0xBF, 0xBF}, 0xFFFF, 3},
      {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
      {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF, 4},
      {{0xF0, 0x80, 0x80, 0x80}, 0, 4},       // overlong, accepted
      {{0xC3}, -1, 0},                        // fewer bytes than announced
      {{0xE2, 0x82}, -1, 0},
      {{0xF0, 0x9F, 0x98}, -1, 0},
  };
  for (const Case& c : accepted) {
    i32 count = static_cast<i32>(c.in.size());
    EXPECT_EQ(uc::decode_utf8_char(c.in.data(), count), c.cp) << std::hex << int(c.in[0]);
    EXPECT_EQ(count, c.used) << std::hex << int(c.in[0]);
  }
  struct Refused {
    Bytes in;
    Bytes argument;
  };
  const Refused refused[] = {
      {{0xED, 0xB0, 0x80, 0x41, 0x42}, {0xED, 0xB0, 0x80, 0x41}},
      {{0xEF, 0xBF, 0xBE}, {0xEF, 0xBF, 0xBE}},      // U+FFFE
      {{0xF4, 0x90, 0x80, 0x80}, {0xF4, 0x90, 0x80, 0x80}},
      {{0x80, 0x41}, {0x80, 0x41}},
      {{0xF8, 0x88, 0x80, 0x80, 0x80}, {0xF8, 0x88, 0x80, 0x80}},
      {{0xC3, 0x41}, {0xC3, 0x41}},
  };
  for (const Refused& r : refused) {
    LanguageError e = error_of([&] {
      i32 count = static_cast<i32>(r.in.size());
      uc::decode_utf8_char(r.in.data(), count);
    });
    EXPECT_EQ(e.category, ErrorCategory::access);
    EXPECT_STREQ(e.id, "invalid-utf8");
    EXPECT_EQ(binary_arg(e), r.argument);
  }
}

// ---- lengths and encoders ----

TEST_F(Unicode, EncodersAndLengths) {
  for (i32 cp : {0, 0x7F, 0x80, 0x7FF, 0x800, 0xD800, 0xFFFF, 0x10000, 0x10FFFF}) {
    u8 seq[4];
    i32 n = uc::encode_utf8(cp, seq);
    EXPECT_EQ(n, uc::utf8_length_of(cp));
    i32 count = n;
    EXPECT_EQ(uc::decode_utf8_char(seq, count), cp);
    EXPECT_EQ(count, n);
  }
  u8 out[4] = {};
  EXPECT_EQ(uc::encode_utf8_bounded(0x20AC, out, 2), 2);
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{0xE2, 0x82, 0x00}));
  EXPECT_EQ(uc::encode_utf8_bounded(0x41, out, 0), 0);

  u16 units[3] = {};
  EXPECT_EQ(uc::encode_utf16(0x1F600, units), 2);
  EXPECT_EQ(units[0], 0xD83D);
  EXPECT_EQ(units[1], 0xDE00);
  EXPECT_EQ(uc::encode_utf16(0xE9, units), 1);
  units[0] = 0x1234;
  EXPECT_EQ(uc::encode_utf16(0x110000, units), 0);
  EXPECT_EQ(units[0], 0x1234);

  u16 wide[4];
  uc::ascii_to_utf16("ab!", wide);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(wide), 4), std::u16string(u"ab!\0", 4));

  for (i32 bad : {0x110000, -1}) {
    LanguageError e = error_of([&] { uc::encode_utf8(bad, out); });
    EXPECT_EQ(e.category, ErrorCategory::script);
    EXPECT_STREQ(e.id, "invalid-char");
    EXPECT_EQ(e.args[0].type(), type::integer);
    EXPECT_EQ(e.args[0].as_int(), bad);
    EXPECT_STREQ(error_of([&] { uc::utf8_length_of(bad); }).id, "invalid-char");
  }

  Cell s1 = make_string(U"A\u00E9", 1);
  Cell s2 = make_string(std::u32string{U'A', 0x20AC, 0xD800}, 2);
  Cell s4 = make_string(U"A\U0001F600", 4);
  for (auto [cell, bytes] : {std::pair{&s1, 3}, {&s2, 7}, {&s4, 5}}) {
    SeriesBuffer* b = buffer_of(Ref<Node>(cell->w2));
    EXPECT_EQ(uc::utf8_length_of_range(b->head_ptr(), b->tail_ptr(), b->unit()), bytes);
  }
}

// ---- widening ----

TEST_F(Unicode, WideningKeepsCharactersAndNode) {
  const std::u32string text = U"A\u00E9z\u00FF";
  for (auto [from, to] : {std::pair{1u, 2u}, {1u, 4u}, {2u, 4u}}) {
    Cell s = make_string(text, from);  // exactly full: widening must grow the buffer
    Ref<Node> node(s.w2);
    SeriesBuffer* before = buffer_of(node);
    SeriesBuffer* b = from == 2 ? uc::widen_2_to_4(before) : to == 2 ? uc::widen_1_to_2(before) : uc::widen_1_to_4(before);
    EXPECT_EQ(b, buffer_of(node));
    EXPECT_EQ(b->unit(), to);
    EXPECT_EQ(chars_of(node), text);
    EXPECT_GE(b->size, (text.size() + 1) * to);
  }
  // With room to spare the buffer stays where it is.
  Cell roomy = make_string(U"xyz", 1, 64);
  SeriesBuffer* b = buffer_of(Ref<Node>(roomy.w2));
  EXPECT_EQ(uc::widen_1_to_4(b), b);
  EXPECT_EQ(chars_of(Ref<Node>(roomy.w2)), U"xyz");
}

// ---- loading UTF-8 ----

TEST_F(Unicode, LoadUtf8ChoosesTheNarrowestUnit) {
  struct Case {
    std::u32string text;
    u32 unit;
  };
  const Case cases[] = {
      {U"A\u00E9", 1},
      {U"A\u00E9\u20AC", 2},
      {U"A\u00E9\u20AC\U0001F600", 4},
      {U"\U0001F600A", 4},
      {U"", 1},
  };
  for (const Case& c : cases) {
    Ref<Node> n = load(utf8(c.text));
    EXPECT_EQ(chars_of(n), c.text);
    EXPECT_EQ(unit_of(n), c.unit);
  }
}

TEST_F(Unicode, LoadUtf8EdgeCases) {
  i32 left = -1;
  Ref<Node> n = load({0xEF, 0xBB, 0xBF}, &left);
  EXPECT_EQ(chars_of(n), U"");
  EXPECT_EQ(left, 0);
  EXPECT_EQ(chars_of(load({0xEF, 0xBB, 0xBF, 0x41})), U"A");
  n = load({0x41, 0xE2, 0x82}, &left);
  EXPECT_EQ(chars_of(n), U"A");
  EXPECT_EQ(left, 2);
  EXPECT_EQ(chars_of(load({'a', '\r', '\n', 'b', '\r', 'c'}, nullptr, true)), U"a\nb\nc");
  EXPECT_EQ(chars_of(load({'a', '\r', '\n', 'b', '\r', 'c'}, nullptr, false)), U"a\r\nb\rc");
  // A CR ending a chunk becomes LF: the next chunk cannot be looked at.
  EXPECT_EQ(chars_of(load({'a', '\r'}, nullptr, true)), U"a\n");
  LanguageError e = error_of([&] { load({'a', 'b', 0xFF, 'c'}); });
  EXPECT_STREQ(e.id, "invalid-utf8");
  EXPECT_EQ(binary_arg(e), (Bytes{0xFF, 'c'}));
}

TEST_F(Unicode, LoadUtf8IntoAStringKeepsItsUnit) {
  Cell s = make_string(U"\u20AC\u20AC\u20AC", 2);
  s.w1 = 1;
  i32 left = -1;
  Bytes in(100, 'q');
  Ref<Node> n = uc::load_utf8_into(in.data(), 100, &s, &left);
  EXPECT_EQ(n.offset(), s.w2);
  EXPECT_EQ(unit_of(n), 2u);
  EXPECT_EQ(chars_of(n), std::u32string(100, U'q'));
  EXPECT_EQ(left, 0);
  EXPECT_EQ(s.w1, 1u);
}

// Long texts of random characters exercise the ASCII runs, every widening and every growth.
TEST_F(Unicode, LoadUtf8RandomTexts) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    std::u32string text;
    int length = static_cast<int>(rng() % 3000);
    int mix = round % 4;  // how wide the characters may get
    for (int i = 0; i < length; ++i) {
      u32 r = rng() % 100;
      char32_t c = static_cast<char32_t>('a' + rng() % 26);
      if (r < 3 && mix >= 1) c = static_cast<char32_t>(0x80 + rng() % 0x80);
      if (r < 2 && mix >= 2) c = static_cast<char32_t>(0x100 + rng() % 0xD000);
      if (r < 1 && mix >= 3) c = static_cast<char32_t>(0x10000 + rng() % 0xFFFFF);
      if (rng() % 50 == 0) c = U'\r';
      text += c;
    }
    u32 need = 1;
    for (char32_t c : text) need = std::max<u32>(need, c > 0xFFFF ? 4 : c > 0xFF ? 2 : 1);
    for (bool crlf : {false, true}) {
      std::u32string expected;
      for (size_t i = 0; i < text.size(); ++i) {
        if (crlf && text[i] == U'\r') {
          if (i + 1 < text.size() && text[i + 1] == U'\n') continue;
          expected += U'\n';
        } else {
          expected += text[i];
        }
      }
      Ref<Node> n = load(utf8(text), nullptr, crlf);
      ASSERT_EQ(chars_of(n), expected) << round;
      ASSERT_EQ(unit_of(n), need) << round;
    }
  }
}

// ---- loading UTF-16 and Windows-1251 ----

TEST_F(Unicode, Utf16UnitWidth) {
  const std::pair<std::u16string, u32> cases[] = {
      {u"abc", 1}, {u"a\u00FF", 1}, {u"a\u0100", 2}, {u"\u20AC\xDC00", 4}, {u"x\xD83D", 4}, {u"", 1}};
  for (const auto& [text, unit] : cases)
    EXPECT_EQ(uc::utf16_unit_width(reinterpret_cast<const u16*>(text.data()), static_cast<i32>(text.size())), unit);
}

TEST_F(Unicode, LoadUtf16) {
  auto load16 = [](const std::u16string& text, Cell* target = nullptr, bool crlf = false) {
    return uc::load_utf16(reinterpret_cast<const u16*>(text.data()), static_cast<i32>(text.size()), target, crlf);
  };
  Ref<Node> n = load16(u"\xD83D\xDE00");
  EXPECT_EQ(chars_of(n), U"\U0001F600");
  EXPECT_EQ(unit_of(n), 4u);
  n = load16(u"ab\u00E9");
  EXPECT_EQ(chars_of(n), U"ab\u00E9");
  EXPECT_EQ(unit_of(n), 1u);
  EXPECT_EQ(unit_of(load16(u"a\u20AC")), 2u);
  EXPECT_EQ(chars_of(load16(u"a\r\nb\u20AC\r", nullptr, true)), U"a\nb\u20AC");
  EXPECT_EQ(chars_of(load16(u"\xD83D\xDE00\r\n", nullptr, true)), U"\U0001F600\n");
  // A lone low surrogate is kept as it is, like any other unit.
  EXPECT_EQ(chars_of(load16(u"\xDC00z")), U"\xDC00z");
  n = load16(u"");
  EXPECT_EQ(chars_of(n), U"");
  EXPECT_EQ(unit_of(n), 2u);

  // Into a cell: its unit becomes the one the text needs, narrower included.
  Cell s = make_string(U"\U0001F600\U0001F600", 4);
  n = load16(u"xyz", &s);
  EXPECT_EQ(n.offset(), s.w2);
  EXPECT_EQ(chars_of(n), U"xyz");
  EXPECT_EQ(unit_of(n), 1u);
  n = load16(u"\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC", &s);
  EXPECT_EQ(chars_of(n), U"\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC\u20AC");
  EXPECT_EQ(unit_of(n), 2u);

  // A null source reads the cell's work buffer, where an outside call has written its text.
  auto* work = reinterpret_cast<u16*>(uc::reserve_work_buffer(&s, 8));
  work[0] = 'h', work[1] = 0xD83D, work[2] = 0xDE00, work[3] = 'i';
  n = uc::load_utf16(nullptr, 4, &s, false);
  EXPECT_EQ(chars_of(n), U"h\U0001F600i");
}

TEST_F(Unicode, MalformedUtf16BecomesReplacementCharacters) {
  auto load16 = [](const std::u16string& text) {
    return uc::load_utf16(reinterpret_cast<const u16*>(text.data()), static_cast<i32>(text.size()), nullptr, false);
  };
  EXPECT_EQ(chars_of(load16(u"\xD83D\x0041")), U"\uFFFD" U"A");
  EXPECT_EQ(chars_of(load16(u"ab\xD83D")), U"ab\uFFFD");
  EXPECT_EQ(chars_of(load16(u"\xD83D\xD83D\xDE00")), U"\uFFFD\U0001F600");
}

TEST_F(Unicode, LoadCp1251) {
  Bytes in = {'A', 0xC0, 0xE0, 0x88, 0x98, 0xA8, 0xFF};
  Ref<Node> n = uc::load_cp1251(in.data(), static_cast<i32>(in.size()), nullptr, false);
  EXPECT_EQ(chars_of(n), U"A\u0410\u0430\u20AC\u0098\u0401\u044F");
  EXPECT_EQ(unit_of(n), 2u);
  Bytes plain = {'a', '\r', '\n', 'b', '\r', 0xA0};
  n = uc::load_cp1251(plain.data(), static_cast<i32>(plain.size()), nullptr, true);
  EXPECT_EQ(chars_of(n), U"a\nb\n\u00A0");
  EXPECT_EQ(unit_of(n), 1u);
  // Into a small unit-4 cell: its unit is kept and the buffer grows.
  Cell s = make_string(U"\U0001F600", 4);
  Bytes many(300, 0xC1);
  n = uc::load_cp1251(many.data(), 300, &s, false);
  EXPECT_EQ(chars_of(n), std::u32string(300, U'\u0411'));
  EXPECT_EQ(unit_of(n), 4u);
}

// ---- converting string values ----

TEST_F(Unicode, ToUtf8UsesAndKeepsTheWorkBuffer) {
  Cell s = make_string(U"a\nb\u20AC\U0001F600", 4);
  i32 length = -1;
  char* text = uc::to_utf8(&s, length);
  EXPECT_EQ(std::string(text, length + 1), std::string("a\nb\xE2\x82\xAC\xF0\x9F\x98\x80", 11));
  u32 work = s.w3;
  ASSERT_NE(work, 0u);
  length = -1;
  text = uc::to_utf8_crlf(&s, length);
  EXPECT_EQ(std::string(text), "a\r\nb\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(length, 11);
  length = 2;
  EXPECT_EQ(std::string(uc::to_utf8(&s, length)), "a\n");
  EXPECT_EQ(length, 2);
  EXPECT_EQ(s.w3, work);

  // A longer text expands the same work buffer; the head index counts.
  Cell big = make_string(std::u32string(500, U'\u00E9'), 1);
  big.w3 = s.w3;
  big.w1 = 100;
  length = -1;
  text = uc::to_utf8(&big, length);
  EXPECT_EQ(length, 800);
  EXPECT_EQ(big.w3, work);
  EXPECT_EQ(static_cast<u8>(text[0]), 0xC3);
  EXPECT_EQ(text[800], 0);

  // A head past the tail reads as empty and is clipped.
  big.w1 = 999;
  length = -1;
  EXPECT_STREQ(uc::to_utf8(&big, length), "");
  EXPECT_EQ(length, 0);
  EXPECT_EQ(big.w1, 500u);
}

TEST_F(Unicode, ToUtf16) {
  Cell s = make_string(U"a\nb", 1);
  u16* out = uc::to_utf16(&s);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out), 5), std::u16string(u"a\r\nb\0", 5));
  i32 count = -1;
  uc::to_utf16_part(&s, count, true);
  EXPECT_EQ(count, 4);
  count = -1;
  uc::to_utf16_part(&s, count, false);
  EXPECT_EQ(count, 3);

  Cell wide = make_string(U"\U0001F600\n\u20AC", 4);
  count = -1;
  out = uc::to_utf16_part(&wide, count, true);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(out), 6), std::u16string(u"\xD83D\xDE00\r\n\u20AC\0", 6));

  Cell two = make_string(U"x\ny", 2);
  count = 2;
  out = uc::to_utf16_part(&two, count, false);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(out[2], 0);

  Cell bad = make_string(U"ok", 4);
  *reinterpret_cast<u32*>(buffer_of(Ref<Node>(bad.w2))->head_ptr() + 4) = 0x110000;
  count = -1;
  EXPECT_EQ(uc::to_utf16_part(&bad, count, false), nullptr);
}

TEST_F(Unicode, StringToUtf8IntoCallerBuffers) {
  Cell s = make_string(U"\u20AC\u20ACx", 2);
  u8 out[16];
  std::memset(out, 0xAA, sizeof out);
  EXPECT_EQ(uc::string_to_utf8(&s, out, -1, true), 7);
  EXPECT_EQ(out[7], 0);
  EXPECT_EQ(uc::string_to_utf8(&s, out, 1, false), 3);
  EXPECT_EQ(uc::string_to_utf8(&s, out, 50, false), 7);

  std::memset(out, 0xAA, sizeof out);
  EXPECT_EQ(uc::string_to_utf8_bounded(&s, out, 4, -1, true), 4);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{0xE2, 0x82, 0xAC, 0xE2, 0x00, 0xAA}));
  EXPECT_EQ(uc::string_to_utf8_bounded(&s, out, 16, 2, false), 6);
  EXPECT_EQ(uc::string_to_utf8_bounded(&s, out, 16, 3, false), 7);  // not below the length: all
  EXPECT_EQ(uc::string_to_utf8_bounded(&s, out, 16, 0, false), 7);
}

}  // namespace
