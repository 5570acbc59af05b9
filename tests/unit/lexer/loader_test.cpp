// Token loaders: the value each literal form loads to, the literal forms that are malformed and the
// forms of the datatypes that arrive later.
#include <bit>
#include <cmath>

#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/word.h"
#include "lexer/lexer_internal.h"
#include "tests/unit/lexer_fixture.h"

namespace kiv {
namespace {

using Loaders = test::LexerTest;

struct Literal {
  const char* text;
  u32 type_id;
  const char* mold;
};

void expect_literals(std::initializer_list<Literal> cases) {
  for (const Literal& c : cases) {
    SCOPED_TRACE(c.text);
    Cell v = test::LexerTest::one(c.text);
    EXPECT_EQ(v.type(), c.type_id);
    EXPECT_EQ(test::mold_text(v), c.mold);
  }
}

TEST_F(Loaders, Integers) {
  expect_literals({
      {"0", type::integer, "0"},
      {"-7", type::integer, "-7"},
      {"+7", type::integer, "7"},
      {"1'000'000", type::integer, "1000000"},
      {"2147483647", type::integer, "2147483647"},
      {"-2147483648", type::integer, "-2147483648"},
      {"-2'147'483'648", type::integer, "-2147483648"},
      {"1'", type::integer, "1"},
      // Beyond 32 bits, or more than ten digits: a float.
      {"2147483648", type::float_, "2147483648.0"},
      {"-2147483649", type::float_, "-2147483649.0"},
      {"12345678901", type::float_, "12345678901.0"},
      {"00000000001", type::float_, "1.0"},
      {"FFh", type::integer, "255"},
      {"0Ah", type::integer, "10"},
      {"7FFFFFFFh", type::integer, "2147483647"},
      {"FFFFFFFFh", type::integer, "-1"},
  });
}

TEST_F(Loaders, Floats) {
  expect_literals({
      {"1.5", type::float_, "1.5"},
      {"-0.25", type::float_, "-0.25"},
      {".5", type::float_, "0.5"},
      {"-.5", type::float_, "-0.5"},
      {"1.", type::float_, "1.0"},
      {"1e10", type::float_, "10000000000.0"},
      {"1.5e-7", type::float_, "0.00000015"},
      {"1.5e-8", type::float_, "1.5e-8"},
      {"2E+3", type::float_, "2000.0"},
      {"1'000.5", type::float_, "1000.5"},
      {"0.1", type::float_, "0.1"},
      {"1.#INF", type::float_, "1.#INF"},
      {"-1.#inf", type::float_, "-1.#INF"},
      {"+1.#Inf", type::float_, "1.#INF"},
      {"1.#NaN", type::float_, "1.#NaN"},
      {"-1.#nan", type::float_, "1.#NaN"},
      // Exponents far out of range saturate: never a wrong finite value.
      {"1e400", type::float_, "1.#INF"},
      {"-1e99999999999999999999", type::float_, "-1.#INF"},
      {"1e-400", type::float_, "0.0"},
      {"1e-99999999999999999999", type::float_, "0.0"},
  });
  // The NaN is the quiet one, whatever the sign written.
  EXPECT_EQ(std::bit_cast<u64>(one("-1.#NaN").as_double()), u64{0x7FF8000000000000});
  // A long digit run is a float as long as it is at most 312 bytes.
  std::string digits(300, '7');
  Cell big = one(digits);
  EXPECT_EQ(big.type(), type::float_);
  EXPECT_DOUBLE_EQ(big.as_double(), 7.777777777777778e299);
  std::string too_long(313, '1');
  EXPECT_EQ(error_of(too_long).type_id, type::float_);
}

TEST_F(Loaders, Times) {
  expect_literals({
      {"1:30", type::time, "1:30:00"},
      {"1:30.5", type::time, "0:01:30.5"},  // minutes and seconds
      {"10:00:61", type::time, "10:01:01"},
      {"-1:00", type::time, "-1:00:00"},
      {"+2:05", type::time, "2:05:00"},
      {"1:2:3.5", type::time, "1:02:03.5"},
      {"100:00", type::time, "100:00:00"},
      {"1'000:00", type::time, "1000:00:00"},
  });
  EXPECT_DOUBLE_EQ(one("1:30.5").as_double(), 90.5);
  EXPECT_DOUBLE_EQ(one("-2147483648:00").as_double(), -2147483648.0 * 3600);
}

TEST_F(Loaders, Chars) {
  struct Case {
    const char* text;
    i32 cp;
  } cases[] = {
      {"#\"a\"", 'a'},           {"#\"^(line)\"", '\n'},  {"#\"^(41)\"", 'A'},     {"#\"^(1F600)\"", 0x1F600},
      {"#\"^\"\"", '"'},         {"#\"^^\"", '^'},        {"#\"^/\"", '\n'},       {"#\"^-\"", '\t'},
      {"#\"^@\"", 0},            {"#\"^~\"", 127},        {"#\"^a\"", 1},          {"#\"^[\"", 27},
      {"#\"\xC3\xA9\"", 0xE9},   {"#\"\xF0\x9F\x98\x80\"", 0x1F600},              {"#\"^(TAB)\"", '\t'},
      {"#\"^(10FFFF)\"", 0x10FFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Cell v = one(c.text);
    EXPECT_EQ(v.type(), type::char_);
    EXPECT_EQ(static_cast<i32>(v.w2), c.cp);
  }
  for (const char* bad : {"#\"\"", "#\"ab\"", "#\"^\"", "#\"^(110000)\"", "#\"^(zz)\"", "#\"^()\"", "#\"\xC3\""}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(error_of(bad).type_id, type::char_);
  }
}

// The text of a string value and its unit.
struct Text {
  std::string utf8;
  u32 unit;
};
Text text_of(const Cell& v) {
  Cell s = v;
  return {string::to_utf8(&s), string::buffer_of(&s)->unit()};
}

TEST_F(Loaders, Strings) {
  struct Case {
    const char* source;
    const char* text;
    u32 unit;
  } cases[] = {
      {"\"abc\"", "abc", 1},
      {"\"\"", "", 1},
      {"{}", "", 1},
      {"\"\xC3\xA9\"", "\xC3\xA9", 2},
      {"\"^(E9)\"", "\xC3\xA9", 1},  // two hex digits fit one byte
      {"\"^(3A9)\"", "\xCE\xA9", 2},
      {"\"^(1F600)\"", "\xF0\x9F\x98\x80", 4},
      {"\"\xF0\x9F\x98\x80\"", "\xF0\x9F\x98\x80", 4},
      {"\"^(line)^(Tab)\"", "\n\t", 1},
      {"\"^\"^-^/^^^{^}^~\"", "\"\t\n^{}\x7F", 1},
      {"\"^a^z^A^Z^[^\\^]^_\"", "\x01\x1A\x01\x1A\x1B\x1C\x1D\x1F", 1},
      {"\"^1^ \"", "1 ", 1},
      {"{a {b} c}", "a {b} c", 1},
      {"{a^{b}", "a{b", 1},
      {"{a^}b}", "a}b", 1},
      {"{multi\nline}", "multi\nline", 1},
      {"{\"quoted\"}", "\"quoted\"", 1},
      {"%{raw ^/ text}%", "raw ^/ text", 1},
      {"%%{a}%b}%%", "a}%b", 1},
      {"%%{x}% y}%%", "x}% y", 1},
      {"%{a\"b}%", "a\"b", 1},
      {"%%{}%%", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    Cell v = one(c.source);
    ASSERT_EQ(v.type(), type::string);
    Text t = text_of(v);
    EXPECT_EQ(t.utf8, c.text);
    EXPECT_EQ(t.unit, c.unit);
  }
  // A stray continuation byte in a text without wide characters is kept as the character of its value.
  Cell stray = one("\"a\x80\"");
  EXPECT_EQ(string::total_length(&stray), 2);
  EXPECT_EQ(string::char_at(&stray, 1), 0x80);
}

TEST_F(Loaders, MalformedStrings) {
  for (const char* bad : {"\"abc", "\"a\nb\"", "\"^(xyz)\"", "\"^(1234567)\"", "\"^(110000)\"", "\"^(\"",
                          "\"\xC3\xA9\xC3\"", "\"\xE2\x82\"", "{abc", "{a {b}", "%%{a}%", "%{a}%%", "%{a"}) {
    SCOPED_TRACE(bad);
    Syntax e = error_of(bad);
    EXPECT_TRUE(e.raised);
    EXPECT_EQ(e.id, "invalid");
    EXPECT_EQ(e.type_id, type::string);
  }
  // An open braced string is reported at its outermost brace.
  EXPECT_EQ(error_of("x {a {b} c").near, "{a {b} c");
}

TEST_F(Loaders, Words) {
  struct Case {
    const char* text;
    u32 type_id;
    const char* name;
  } cases[] = {
      {"abc", type::word, "abc"},         {"abc:", type::set_word, "abc"},   {":abc", type::get_word, "abc"},
      {"'abc", type::lit_word, "abc"},    {"/abc", type::refinement, "abc"}, {"#abc", type::issue, "abc"},
      {"/", type::word, "/"},             {"//", type::word, "//"},          {"'/", type::lit_word, "/"},
      {"+", type::word, "+"},             {"-", type::word, "-"},            {"<", type::word, "<"},
      {"<=", type::word, "<="},           {">", type::word, ">"},            {"=", type::word, "="},
      {"==", type::word, "=="},           {"%", type::word, "%"},            {"a.b", type::word, "a.b"},
      {"a-1", type::word, "a-1"},         {"ABC", type::word, "ABC"},        {"DEADh-x", type::word, "DEADh-x"},
      {"caf\xC3\xA9", type::word, "caf\xC3\xA9"},                            {"#a-b", type::issue, "a-b"},
      {"#123", type::issue, "123"},       {"?", type::word, "?"},            {"a?", type::word, "a?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Cell v = one(c.text);
    EXPECT_EQ(v.type(), c.type_id);
    EXPECT_EQ(word::name_of(&v), c.name);
  }
  // Words are bound to the global context; the same name gives the same binding.
  Cell a = one("abc"), b = one("abc:");
  EXPECT_EQ(a.w1, b.w1);
  EXPECT_EQ(a.w2, b.w2);
  EXPECT_EQ(a.w3, b.w3);
  EXPECT_NE(static_cast<i32>(a.w3), -1);
  // An issue is never looked up.
  EXPECT_EQ(static_cast<i32>(one("#abc").w3), -1);
  for (auto [text, t] : {std::pair{"'a:", type::lit_word}, {":a:", type::word}, {"#", type::issue},
                        {"a\x80", type::word}, {"\xC3\xA9\xC3", type::word}}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(error_of(text).type_id, t);
  }
}

TEST_F(Loaders, MalformedNumbers) {
  struct Case {
    const char* text;
    u32 type_id;
  } cases[] = {
      {"1''000", type::integer}, {"Ah", type::word},        {"123456789h", type::integer}, {"0h", type::integer},
      {"1.#FOO", type::float_},  {"1.#INFINITY", type::float_}, {"1e", type::float_},     {"1.5e+", type::float_},
      {"12a", type::integer},    {"1:30:", type::time},     {"1:", type::time},            {"1:2:3:4", type::time},
      {"1:30.5.6", type::time},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Syntax e = error_of(c.text);
    EXPECT_EQ(e.id, "invalid");
    EXPECT_EQ(e.type_id, c.type_id);
    EXPECT_EQ(e.near, c.text);
  }
}

// The literal forms of datatypes that arrive later: a scan recognises them (and checks the forms the
// lexer reads itself); a load makes the value once the type and its maker exist, and until then
// raises the syntax error naming the type.
TEST_F(Loaders, LaterTypes) {
  struct Case {
    const char* text;
    u32 type_id;
  } cases[] = {
      {"1.2.3", type::tuple},     {"1.2.3.4.5.6.7.8.9.10.11.12", type::tuple}, {"1x2", type::pair},
      {"-1X-20", type::pair},     {"12.5%", type::percent},  {"$1.50", type::money},  {"USD$1'234.56", type::money},
      {"1-Jan-2000", type::date}, {"2000-01-01", type::date}, {"#{00FF}", type::binary}, {"64#{QQ==}", type::binary},
      {"2#{00000001}", type::binary}, {"#{0A 0b ; a comment\n 1C}", type::binary}, {"%foo", type::file},
      {"%\"a b\"", type::file},   {"http://a.b/c", type::url}, {"a@b.c", type::email},  {"<a b>", type::tag},
      {"@ref", type::ref},        {"(1, 2)", type::point2D},   {"(1.5, -2, 3e2)", type::point3D},
      {"( 1 , 1.#INF )", type::point2D},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(lexer::scan_type(reinterpret_cast<const u8*>(c.text), static_cast<i32>(std::strlen(c.text))),
              c.type_id);
    Syntax e = error_of(c.text);
    if (e.raised) {
      EXPECT_EQ(e.id, "invalid");
      EXPECT_EQ(e.type_id, c.type_id);
    } else {
      EXPECT_EQ(one(c.text).type(), c.type_id);
    }
  }
  // Malformed forms of the types the lexer checks itself: a scan answers 0 (error!).
  for (const char* bad : {"1.2.3.4.5.6.7.8.9.10.11.12.13", "256.1.1", "1..2.3", "1.5x2", "1x", "2#{0101}",
                          "64#{Q}", "#{ABC}", "#{GG}", "3#{00}", "(1, 2, 3, 4)", "(a, b)", "(1,)",
                          "%\"abc", "%%{a}%"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(lexer::scan_type(reinterpret_cast<const u8*>(bad), static_cast<i32>(std::strlen(bad))), 0u);
  }
}

TEST_F(Loaders, PercentTupleAndPairCells) {
  // These three are laid out by the lexer itself: check the cells once their types are registered.
  if (lexer::type_ready(type::percent)) {
    EXPECT_DOUBLE_EQ(one("12.5%").as_double(), 0.125);
  }
  if (lexer::type_ready(type::pair)) {
    Cell p = one("-3x4");
    EXPECT_EQ(static_cast<i32>(p.w2), -3);
    EXPECT_EQ(static_cast<i32>(p.w3), 4);
  }
  if (lexer::type_ready(type::tuple)) {
    Cell t = one("1.2.255.");
    EXPECT_EQ(t.header >> 19 & 0xFF, 4u);
    u8 bytes[12];
    std::memcpy(bytes, &t.w1, 12);
    EXPECT_EQ(bytes[2], 255);
    EXPECT_EQ(bytes[3], 0);  // a trailing point adds a component 0
  }
}

TEST_F(Loaders, ConstructionSyntax) {
  EXPECT_EQ(one("#(true)").type(), type::logic);
  EXPECT_EQ(one("#(TRUE)").w1, 1u);
  EXPECT_EQ(one("#(false)").w1, 0u);
  EXPECT_EQ(one("#(none)").type(), type::none);
  EXPECT_EQ(one("#(unset)").type(), type::unset);
  Cell dt = one("#(integer!)");
  EXPECT_EQ(dt.type(), type::datatype);
  EXPECT_EQ(dt.w1, type::integer);
  EXPECT_EQ(one("#(Block!)").w1, type::block);
  for (const char* bad : {"#(foo)", "#(tru)", "#(integer)", "#()", "#(true"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(error_of(bad).id, "malconstruct");
  }
}

}  // namespace
}  // namespace kiv
