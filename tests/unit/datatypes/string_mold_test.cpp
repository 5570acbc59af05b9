// string! form and mold: delimiters, caret escapes, brace balancing and the budget.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "runtime/roots.h"
#include "tests/unit/string_fixture.h"

namespace kiv {
namespace {

using namespace test;
using StringMold = StringFixture;

std::string molded(Cell* s, bool all = false) {
  Cell* out = stack::push_cell();
  string::make_at(out, 16);
  string::mold(s, out, false, all, false, nullptr, INT_MAX, 0);
  return txt(out);
}

TEST_F(StringMold, Delimiters) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"abc", "\"abc\""},
      {"", "\"\""},
      {"a\"b", "{a\"b}"},                      // a double quote chooses braces
      {"a\nb\nc", "\"a^/b^/c\""},             // two line feeds keep double quotes
      {"a\nb\nc\nd", "{a^/b^/c^/d}"},         // three choose braces, still escaped
      {"a^b", "\"a^^b\""},
      {"tab\there", "\"tab^-here\""},
      {"{a}", "\"{a}\""},                      // braces need no escape between double quotes
      {"x\u00e9\u20ac", "\"x\u00e9\u20ac\""},
  };
  for (const Case& c : cases) EXPECT_EQ(molded(str(c.in)), c.want) << c.in;
  EXPECT_EQ(molded(str(std::string(49, 'x'))), "\"" + std::string(49, 'x') + "\"");
  EXPECT_EQ(molded(str(std::string(50, 'x'))), "{" + std::string(50, 'x') + "}");
  EXPECT_EQ(molded(str("a\"b^c")), "{a\"b^^c}");
}

TEST_F(StringMold, BraceBalancing) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"\"{a}", "{\"{a}}"},          // a matched pair stays as it is
      {"\"{a", "{\"^{a}"},           // an unmatched '{' is escaped
      {"\"a}", "{\"a^}}"},           // a '}' with no open brace before it is escaped
      {"\"{{a}", "{\"^{^{a^}}"},     // the first '{' has no partner: escaped, and so is every later one
      {"\"{a}{", "{\"{a}^{}"},
      {"\"}{", "{\"^}^{}"},
  };
  for (const Case& c : cases) EXPECT_EQ(molded(str(c.in)), c.want) << c.in;
}

// The brace rule as it reads: brace_closes_q asked at every '{' while no '{' was refused yet.
std::string reference_braces(const std::string& in) {
  std::string out = "{";
  int depth = 0;
  bool balanced = true;
  Cell* s = str(in);
  const std::byte* base = string::head_pointer(s);
  u32 unit = unit_of(s);
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '{') {
      if (balanced && !string::brace_closes_q(base + i * unit, base + in.size() * unit, unit)) balanced = false;
      if (balanced) {
        ++depth;
        out += '{';
      } else {
        out += "^{";
      }
    } else if (c == '}') {
      if (depth > 0) {
        --depth;
        out += '}';
      } else {
        out += "^}";
      }
    } else {
      out += c;
    }
  }
  return out + "}";
}

TEST_F(StringMold, BraceBalancingMatchesTheRuleOnRandomTexts) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    std::string in = "\"";  // forces braces
    for (int n = static_cast<int>(rng() % 30); n > 0; --n) in += "{}{}x"[rng() % 5];
    EXPECT_EQ(molded(str(in)), reference_braces(in)) << in;
    stack::top = stack::bottom;
  }
}

TEST_F(StringMold, Escapes) {
  struct Case {
    i32 cp;
    bool all;
    const char* want;
  } cases[] = {
      {0, false, "^@"},     {1, false, "^A"},      {8, false, "^H"},    {9, false, "^-"},
      {10, false, "^/"},    {11, false, "^K"},     {26, false, "^Z"},   {27, false, "^["},
      {28, false, "^\\"},   {29, false, "^]"},     {30, false, "^(1E)"}, {31, false, "^_"},
      {34, false, "^\""},   {94, false, "^^"},     {127, false, "^~"},  {128, false, "^(80)"},
      {159, false, "^(9F)"}, {160, false, "\u00a0"}, {233, false, "\u00e9"}, {233, true, "^(E9)"},
      {945, true, "^(3B1)"}, {0x1F600, true, "^(1F600)"}, {'a', true, "a"},
  };
  for (const Case& c : cases) {
    Cell* out = stack::push_cell();
    string::make_at(out, 4);
    string::append_escaped_char(out, c.cp, true, c.all);
    EXPECT_EQ(txt(out), c.want) << c.cp;
  }
  Cell* out = stack::push_cell();
  string::make_at(out, 4);
  string::append_escaped_char(out, 10, false, false);  // without the table: the character itself
  EXPECT_EQ(txt(out), "\n");
  // /all in a whole string: the output holds ASCII only, so it stays 1-byte.
  Cell* o = stack::push_cell();
  string::make_at(o, 16);
  string::mold(str("caf\u00e9"), o, false, true, false, nullptr, INT_MAX, 0);
  EXPECT_EQ(txt(o), "\"caf^(E9)\"");
  EXPECT_EQ(unit_of(o), 1u);
  EXPECT_EQ(molded(str("caf\u00e9")), "\"caf\u00e9\"");
}

TEST_F(StringMold, Budget) {
  Cell* s = str("abcdefghij");
  Cell* out = stack::push_cell();
  string::make_at(out, 16);
  Cell* part = num(5);
  i32 left = string::mold(s, out, false, false, false, part, 5, 0);
  EXPECT_EQ(txt(out), "\"abcde\"");
  EXPECT_EQ(left, -2);
  // The length rule looks at the whole string from its head, not at the molded range.
  Cell* out1 = stack::push_cell();
  string::make_at(out1, 16);
  EXPECT_EQ(string::mold(str(std::string(60, 'a')), out1, false, false, false, part, 5, 0), -2);
  EXPECT_EQ(txt(out1), "{aaaaa}");
  Cell* out2 = stack::push_cell();
  string::make_at(out2, 16);
  EXPECT_EQ(string::mold(s, out2, false, false, false, nullptr, 100, 0), 88);
  // Escapes count as one character each.
  Cell* out3 = stack::push_cell();
  string::make_at(out3, 16);
  EXPECT_EQ(string::mold(str("a\nb"), out3, false, false, false, nullptr, 100, 0), 95);
}

TEST_F(StringMold, Form) {
  Cell* s = str("h\u00e9llo");
  string::set_head_index(s, 1);
  Cell* out = str("<");
  EXPECT_EQ(string::form(s, out, nullptr, 100), 96);
  EXPECT_EQ(txt(out), "<\u00e9llo");
  Cell* out2 = str("");
  Cell* part = num(2);
  EXPECT_EQ(string::form(s, out2, part, 2), -2);  // what remains is the full length taken from the budget
  EXPECT_EQ(txt(out2), "\u00e9l");
  // Forming never widens the source.
  Cell* narrow = str("ab");
  Cell* wide = str("\U0001F600");
  string::form(narrow, wide, nullptr, 100);
  EXPECT_EQ(unit_of(narrow), 1u);
  // Through the generic entries.
  Cell v = *str("a\"b");
  RootCell keep(v);
  EXPECT_EQ(mold_text(v), "{a\"b}");
  EXPECT_EQ(form_text(v), "a\"b");
  EXPECT_EQ(mold_text(v, false, false, false, 2), "{a");
}

TEST_F(StringMold, LongTextsMoldInChunks) {
  // Long enough to cross the writer's batches, with escapes and every width.
  std::string in;
  for (int i = 0; i < 3000; ++i) in += (i % 97 == 0) ? "\n" : (i % 89 == 0) ? "\xE2\x82\xAC" : "x";
  std::string want = "{";
  for (char c : in) want += c == '\n' ? std::string("^/") : std::string(1, c);
  // the euro sign's three bytes were copied one by one above: that is its UTF-8 again
  want += "}";
  EXPECT_EQ(molded(str(in)), want);
}

}  // namespace
}  // namespace kiv
