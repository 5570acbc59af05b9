// The lexer: structure (blocks, parens, paths, braced strings), new-line marks and line numbers, the
// syntax errors with their texts and positions, the trace callback and its events, the scan modes,
// the hooks the datatypes call, the round trip of mold and load, and loading while the collector
// moves everything.
#include <cstdlib>
#include <random>
#include <vector>

#include "datatypes/char.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/issue.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "lexer/lexer_internal.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "tests/unit/lexer_fixture.h"

namespace kiv {
namespace {

using Lexer = test::LexerTest;

bool line_flag(const Cell& c) { return c.header & header::new_line; }

TEST_F(Lexer, LoadsNestedStructureAsWritten) {
  struct Case {
    const char* text;
    const char* mold;
  } cases[] = {
      {"", ""},
      {"   \t\r ", ""},
      {"a b c", "a b c"},
      {"[]", "[]"},
      {"()", "()"},
      {"a [b [c]] (d (e)) f", "a [b [c]] (d (e)) f"},
      {"[a][b](c)", "[a] [b] (c)"},
      {"a;comment\tb", "a"},
      {"a ; comment [ ( {\r\nb", "a\nb"},
      {"x\x01y\x1Fz", "x y z"},  // control bytes separate like blanks
      {"a\0b", "a"},             // NUL ends the input
      {"\"a\"b", "\"a\" b"},
      {"{a}{b}", "\"a\" \"b\""},
      {"[\"]\" {]} %{]}%]", "[\"]\" \"]\" \"]\"]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(remold(std::string_view(c.text, c.text == std::string_view("a\0b", 1) ? 3 : std::strlen(c.text))),
              c.mold);
  }
  EXPECT_EQ(remold(std::string_view("a\0b", 3)), "a");
}

TEST_F(Lexer, Paths) {
  Cell v = load("a/b/c 'a/b :a/b a/b: a/(b c)/d a/1/\"x\"/:g/#i x/y:");
  ASSERT_EQ(count(v), 7);
  u32 kinds[] = {type::path, type::lit_path, type::get_path, type::set_path, type::path, type::path, type::set_path};
  for (i32 i = 0; i < 7; ++i) EXPECT_EQ(at(v, i).type(), kinds[i]) << i;
  Cell a_bc = at(v, 4);
  EXPECT_EQ(count(a_bc), 3);
  EXPECT_EQ(at(a_bc, 1).type(), type::paren);  // a/(b c)/d keeps the paren as its second element
  EXPECT_EQ(count(at(a_bc, 1)), 2);
  Cell mixed = at(v, 5);
  u32 elements[] = {type::word, type::integer, type::string, type::get_word, type::issue};
  ASSERT_EQ(count(mixed), 5);
  for (i32 i = 0; i < 5; ++i) EXPECT_EQ(at(mixed, i).type(), elements[i]) << i;
  // The first element is a plain word whatever the path's prefix.
  EXPECT_EQ(at(at(v, 1), 0).type(), type::word);
  EXPECT_EQ(at(at(v, 2), 0).type(), type::word);
  EXPECT_EQ(remold("a/b/c 'a/b :a/b a/b: a/(b c)/d"), "a/b/c 'a/b :a/b a/b: a/(b c)/d");
  // A path ends at a blank, a bracket or the end; in a block or a paren.
  EXPECT_EQ(remold("[a/b] (c/d)"), "[a/b] (c/d)");
  // Nested paths inside a paren of a path.
  EXPECT_EQ(remold("a/(b/c)/d"), "a/(b/c)/d");
  // Only a / goes on to another element: any other byte after an element ends the path.
  EXPECT_EQ(remold("a/\"x\"b a/\"y\"'z a/b\x01" "c"), "a/\"x\" b a/\"y\" 'z a/b c");
}

TEST_F(Lexer, NewLineMarksAndLineNumbers) {
  Cell v = load("a\nb c\r\n\n[d\ne] {x\ny} z");
  ASSERT_EQ(count(v), 6);
  bool marks[] = {false, true, false, true, false, false};
  for (i32 i = 0; i < 6; ++i) EXPECT_EQ(line_flag(at(v, i)), marks[i]) << i;
  Cell inner = at(v, 3);
  EXPECT_FALSE(line_flag(at(inner, 0)));
  EXPECT_TRUE(line_flag(at(inner, 1)));
  // A braced string starts a line only when its opening brace does; the line count goes on after it.
  EXPECT_EQ(error_of("a\n{x\ny\n} ]").line, "(line 4)");
  EXPECT_EQ(error_of("\n\n\"abc").line, "(line 3)");
  EXPECT_EQ(error_of("a\r\rb ]").line, "(line 1)");  // only LF counts
  EXPECT_EQ(error_of("%%{\n}%\n}%% ]").line, "(line 3)");
}

TEST_F(Lexer, SyntaxErrorsCarryTextAndPosition) {
  struct Case {
    const char* text;
    const char* id;
    i32 missing;        // for missing: the character
    u32 type_id;        // for invalid: the datatype
    const char* near;
  } cases[] = {
      {"[a (b] c)", "missing", ')', 0, "] c)"},
      {"]", "missing", '[', 0, "]"},
      {"a )", "missing", '(', 0, ")"},
      {"[a )", "missing", ']', 0, ")"},
      {"(a ]", "missing", ')', 0, "]"},
      {"x [a", "missing", ']', 0, "[a"},         // an open scope at the end: from its opener
      {"x [a [b]", "missing", ']', 0, "[a [b]"},
      {"(a", "missing", ')', 0, "(a"},
      {"#[a", "missing", ']', 0, "#[a"},
      {"}", "bad-char", -1, 0, "}"},
      {"a \\b", "bad-char", -1, 0, "\\b"},
      {"a/b/", "bad-char", -1, 0, "b/"},          // inside a path every error is a bad character
      {"'a/b:", "bad-char", -1, 0, ":"},
      {"a/b:c", "bad-char", -1, 0, "b:c"},
      {"a/", "bad-char", -1, 0, "a/"},
      {"\"abc", "invalid", -1, type::string, "\"abc"},
      {"x\xC0y", "invalid", -1, type::word, "x\xEF\xBF\xBDy"},
      {"12a", "invalid", -1, type::integer, "12a"},
      {"'a:", "invalid", -1, type::lit_word, "'a:"},
      {"(1, 2, 3, 4)", "invalid", -1, type::point3D, "(1, 2, 3, 4)"},
      {"(x y, 1)", "invalid", -1, type::word, "y, 1)"},
      {"(a, b)", "invalid", -1, type::float_, "(a, b)"},
      {"[a, b]", "invalid", -1, type::word, "a, b]"},
      {"1 , 2", "invalid", -1, type::point2D, ", 2"},
      {"#[a 1 b]", "invalid", -1, type::map, "#[a 1 b]"},
      {"#(foo)", "malconstruct", -1, 0, "#(foo)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Syntax e = error_of(c.text);
    ASSERT_TRUE(e.raised);
    EXPECT_EQ(e.category, ErrorCategory::syntax);
    EXPECT_EQ(e.id, c.id);
    EXPECT_EQ(e.line, "(line 1)");
    if (c.missing >= 0) {
      EXPECT_EQ(e.missing, c.missing);
    }
    if (c.type_id) {
      EXPECT_EQ(e.type_id, c.type_id);
    }
    EXPECT_EQ(e.near, c.near);
  }
  // The near text stops at a line end, or at the first character starting 30 bytes on.
  EXPECT_EQ(error_of("\"abc\ndef\"").near, "\"abc");
  EXPECT_EQ(error_of("\"" + std::string(40, 'x')).near, "\"" + std::string(29, 'x'));
  EXPECT_EQ(error_of("\"" + std::string(28, 'x') + "\xE2\x82\xAC" + "yyy").near,
            "\"" + std::string(28, 'x') + "\xE2\x82\xAC");
}

// ---- The trace callback -------------------------------------------------------------------------------

struct Event {
  std::string event;
  std::string type;  // the datatype id, the word, or "none"
  i32 line;
  std::string token;  // the loaded value molded, or "start,end"
};

struct Recorder {
  std::vector<Event> events;
  std::function<bool(const Event&, Cell* args)> answer = [](const Event&, Cell*) { return true; };
};

std::string describe_type(const Cell& c) {
  if (c.type() == type::datatype) return std::to_string(c.w1);
  if (c.type() == type::word) return word::name_of(&c);
  return "none";
}

bool record(const lexer::Trace* trace, Cell* args) {
  auto* r = static_cast<Recorder*>(trace->data);
  Event e;
  e.event = word::name_of(&args[0]);
  e.type = describe_type(args[2]);
  e.line = static_cast<i32>(args[3].w2);
  if (args[4].type() == type::pair) e.token = std::to_string(args[4].w2) + "," + std::to_string(args[4].w3);
  else e.token = test::mold_text(args[4]);
  r->events.push_back(e);
  return r->answer(e, args);
}

struct Traced {
  Recorder recorder;
  lexer::Trace trace;
  Traced(u32 mask = lexer::event::all) {
    trace.call = record;
    trace.data = &recorder;
    trace.mask = mask;
  }
  std::string sequence() const {
    std::string s;
    for (const Event& e : recorder.events) s += e.event + ":" + e.type + ":" + e.token + " ";
    return s;
  }
};

Cell load_traced(std::string_view text, const lexer::Trace& trace, lexer::Options o = {}) {
  o.trace = &trace;
  Cell* out = stack::push_cell();
  lexer::scan_buffer(out, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()), o, nullptr);
  return *out;
}

TEST_F(Lexer, TraceSeesEveryEvent) {
  Traced t;
  Cell v = load_traced("a [b]\n1", t.trace);
  EXPECT_EQ(test::mold_text(v, true), "a [b]\n1");
  std::string word = std::to_string(type::word), integer = std::to_string(type::integer);
  EXPECT_EQ(t.sequence(),
            "prescan:" + word + ":1,2 scan:" + word + ":1,2 load:" + word + ":a "
            "prescan:block!:3,3 open:" + std::to_string(type::block) + ":3,3 "
            "prescan:" + word + ":4,5 scan:" + word + ":4,5 load:" + word + ":b "
            "prescan:block!:5,5 close:" + std::to_string(type::block) + ":3,5 "
            "prescan:" + integer + ":7,8 scan:" + integer + ":7,8 load:" + integer + ":1 ");
  EXPECT_EQ(t.recorder.events.back().line, 2);
}

TEST_F(Lexer, APointLiteralIsOneTokenFromItsParen) {
  Traced t;
  lexer::Options o;
  o.scan = true;
  load_traced("(1, 2) x", t.trace, o);
  std::string point = std::to_string(type::point2D);
  EXPECT_EQ(t.sequence(), "prescan:" + point + ":1,6 scan:" + point + ":1,6 ");
}

TEST_F(Lexer, TraceMaskAndAnswersSteerTheLoad) {
  // Only load events; false drops the value.
  Traced only_load(lexer::event::load);
  only_load.recorder.answer = [](const Event& e, Cell*) { return e.token != "2"; };
  Cell v = load_traced("1 2 [2 3]", only_load.trace);
  EXPECT_EQ(test::mold_text(v, true), "1 [3]");
  for (const Event& e : only_load.recorder.events) EXPECT_EQ(e.event, "load");
  // false from prescan skips the token, scope openers included.
  Traced skip(lexer::event::prescan);
  skip.recorder.answer = [](const Event& e, Cell*) { return e.token != "3,4"; };
  EXPECT_EQ(test::mold_text(load_traced("a b c", skip.trace), true), "a c");
  // false from error: the values loaded so far, open scopes closed.
  Traced stop(lexer::event::error);
  stop.recorder.answer = [](const Event&, Cell*) { return false; };
  EXPECT_EQ(test::mold_text(load_traced("a [b (c ] d", stop.trace), true), "a [b (c)]");
  ASSERT_EQ(stop.recorder.events.size(), 1u);
  EXPECT_EQ(stop.recorder.events[0].type, std::to_string(type::paren));
  // true from error: the error is raised.
  Traced go_on(lexer::event::error);
  EXPECT_THROW(load_traced("a ]", go_on.trace), LanguageError);
}

TEST_F(Lexer, TraceOnStringInputCountsCharactersAndCanMoveTheInput) {
  Traced t(lexer::event::load);
  // After loading `skip`, move the input's index past the next token.
  t.recorder.answer = [](const Event& e, Cell* args) {
    if (e.token == "skip") args[1].w1 += 5;
    return true;
  };
  Cell text{};
  RootCell keep(text);
  string::make_from_utf8(&text, "\xC3\xA9t\xC3\xA9 skip gone kept");
  Cell* out = stack::push_cell();
  lexer::Options o;
  o.trace = &t.trace;
  i32 end = 0;
  lexer::scan_string(out, &text, -1, o, &end);
  EXPECT_EQ(test::mold_text(*out, true), "\xC3\xA9t\xC3\xA9 skip kept");
  EXPECT_EQ(end, 18);  // characters, not bytes
  // Positions of a token after wide characters, in characters.
  Traced positions(lexer::event::scan);
  o.trace = &positions.trace;
  string::make_from_utf8(&text, "\xC3\xA9\xC3\xA9 ab");
  lexer::scan_string(out, &text, -1, o, &end);
  ASSERT_EQ(positions.recorder.events.size(), 2u);
  EXPECT_EQ(positions.recorder.events[1].token, "4,6");
}

TEST_F(Lexer, ACallbackMayStartANestedScan) {
  Traced t(lexer::event::load);
  std::string inner;
  t.recorder.answer = [&](const Event& e, Cell*) {
    if (e.token == "outer") {
      Cell* out = stack::push_cell();
      lexer::load_text("x [y {z}] " + std::string(3000, ' ') + "w", out);  // big enough to leave the work buffer
      inner = test::mold_text(*out, true);
      EXPECT_EQ(lexer::active_scans(), 1);
    }
    return true;
  };
  Cell v = load_traced("[a outer b] c", t.trace);
  EXPECT_EQ(inner, "x [y \"z\"] w");
  EXPECT_EQ(test::mold_text(v, true), "[a outer b] c");
  EXPECT_EQ(lexer::active_scans(), 0);
}

// ---- Modes, entries and hooks ---------------------------------------------------------------------------

u32 scan_type(std::string_view text) {
  return lexer::scan_type(reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()));
}

TEST_F(Lexer, ScanAnswersTheTypeOfOneToken) {
  struct Case {
    const char* text;
    u32 type_id;
  } cases[] = {
      {"a", type::word},         {"a:", type::set_word},  {":a", type::get_word},     {"'a", type::lit_word},
      {"/a", type::refinement},  {"#a", type::issue},     {"12", type::integer},      {"1.5", type::float_},
      {"\"s\"", type::string},   {"{s}", type::string},   {"#\"c\"", type::char_},    {"1:00", type::time},
      {"[a b]", type::block},    {"(a)", type::paren},    {"a/b", type::path},        {"a/b:", type::set_path},
      {" a ", type::word},       {"a b", 0},              {"[a", 0},                  {"\"a", 0},
      {"", 0},                   {"12a", 0},              {"]", 0},                   {"2147483648", type::float_},
  };
  for (const Case& c : cases) EXPECT_EQ(scan_type(c.text), c.type_id) << c.text;
}

TEST_F(Lexer, OneValueAndInto) {
  Cell* out = stack::push_cell();
  lexer::Options o;
  o.one_value = true;
  i32 end = 0;
  std::string_view text = "  [a b] c";
  lexer::scan_buffer(out, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()), o, &end);
  EXPECT_EQ(test::mold_text(*out), "[a b]");
  EXPECT_EQ(end, 7);
  EXPECT_FALSE(lexer::load_one("   ", out));
  // /into appends to a block that has values already.
  Cell* into = stack::push_value(&*stack::push_cell());
  block::make_at(into, 1);
  Cell one_cell = test::int_cell(0);
  block::append_value(into, &one_cell);
  lexer::Options append;
  append.into = into;
  text = "1 [2]";
  lexer::scan_buffer(out, reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()), append, nullptr);
  EXPECT_EQ(test::mold_text(*into), "[0 1 [2]]");
  EXPECT_EQ(out->w2, into->w2);
}

TEST_F(Lexer, HooksOfTheDatatypes) {
  Cell text{};
  RootCell keep(text);
  // to block! of a string
  string::make_from_utf8(&text, "a 1 [b]");
  Cell* out = stack::push_cell();
  ASSERT_TRUE(hooks::scan_block);
  hooks::scan_block(&text, out);
  EXPECT_EQ(test::mold_text(*out), "[a 1 [b]]");
  // cell/scan-value: the one value of the text; nothing for no value or more than one.
  struct Case {
    const char* text;
    u32 type_id;  // 0: no one value
  } cases[] = {{"", 0}, {"  ", 0}, {" 12 ", type::integer}, {"1:30", type::time}, {"1 2", 0}, {"a b", 0},
               {"[a b]", type::block}};
  for (const Case& c : cases) {
    string::make_from_utf8(&text, c.text);
    EXPECT_EQ(word::scan_value(&text, out) ? out->type() : 0, c.type_id) << c.text;
  }
  // make word! of a string goes through the lexer.
  Cell spec{};
  RootCell keep_spec(spec);
  string::make_from_utf8(&spec, " abc ");
  Cell* made = stack::push_cell();
  EXPECT_EQ(word::name_of(word::make(made, &spec, type::word)), "abc");
  string::make_from_utf8(&spec, "a b");
  EXPECT_THROW(word::make(made, &spec, type::word), LanguageError);
}

// ---- Round trip ----------------------------------------------------------------------------------

class Values {
  std::mt19937 rng_;

  i32 pick(i32 n) { return static_cast<i32>(rng_() % static_cast<u32>(n)); }
  Cell keep(const Cell& c) { return *stack::push_value(&c); }

  // A name that reads back as a word (not, say, the hexadecimal integer D2h).
  std::string name() {
    static const char first[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ?!*_&|~";
    static const char rest[] = "abcdefghijklmnopqrstuvwxyz0123456789-?!*_.=&+ABCDEFh";
    for (;;) {
      std::string n(1, first[pick(sizeof(first) - 1)]);
      for (i32 i = pick(8); i > 0; --i) n += rest[pick(sizeof(rest) - 1)];
      if (pick(10) == 0) n += "\xC3\xA9";
      if (lexer::scan_type(reinterpret_cast<const u8*>(n.data()), static_cast<i32>(n.size())) == type::word) return n;
    }
  }
  i32 code_point() {
    switch (pick(6)) {
      case 0: return pick(32);
      case 1: return 32 + pick(95);
      case 2: return 127 + pick(200);
      case 3: return 0x100 + pick(0xD800 - 0x100);
      case 4: return 0xE000 + pick(0x10000 - 0xE000 - 2);
      default: return 0x10000 + pick(0x100000);
    }
  }
  Cell word_of(u32 kind) {
    Cell w{type::none, 0, 0, 0};
    std::string n = name();
    if (kind == type::issue) {
      issue::make_at(&w, n.c_str());
    } else {
      word::make_at(symbol::make(std::string_view(n)), &w);
      cell::set_type(&w, kind);
    }
    return keep(w);
  }

 public:
  explicit Values(u32 seed) : rng_(seed) {}

  Cell scalar() {
    switch (pick(10)) {
      case 0: {
        i32 extremes[] = {0, 1, -1, integer::max_value, integer::min_value};
        return test::int_cell(pick(3) ? static_cast<i32>(rng_()) : extremes[pick(5)]);
      }
      case 1: {
        double d;
        do d = std::bit_cast<double>((u64{rng_()} << 32) | rng_());
        while (d != d);
        if (pick(4) == 0) d = static_cast<double>(pick(2000000) - 1000000) / 8;
        Cell c{type::float_, 0, 0, 0};
        c.set_double(d);
        return c;
      }
      case 2: {
        Cell c{type::time, 0, 0, 0};
        c.set_double((pick(2) ? -1 : 1) * (pick(500000) + pick(1000) / 8.0));
        return c;
      }
      case 3: return Cell{type::char_, 0, static_cast<u32>(code_point()), 0};
      case 4: {
        std::u32string text;
        for (i32 i = pick(20); i > 0; --i) text.push_back(static_cast<char32_t>(code_point()));
        Cell s{type::none, 0, 0, 0};
        RootCell k(s);
        string::make_at(&s, 1);
        for (char32_t c : text) string::append_char(&s, static_cast<i32>(c));
        return keep(s);
      }
      case 5: return word_of(type::word);
      case 6: return word_of(type::set_word);
      case 7: return word_of(type::get_word);
      case 8: return word_of(type::lit_word);
      default: return word_of(pick(2) ? type::issue : type::refinement);
    }
  }

  Cell path() {
    Cell p{type::none, 0, 0, 0};
    RootCell k(p);
    block::make_at(&p, 3);
    Cell first = word_of(type::word);
    block::append_value(&p, &first);
    for (i32 i = pick(3) + 1; i > 0; --i) {
      Cell e = pick(3) ? word_of(type::word) : test::int_cell(pick(100));
      if (pick(6) == 0) e = value(1);
      if (e.type() != type::paren) e.header = e.type() == type::integer || e.type() == type::word ? e.header : 0;
      if (e.type() == 0) e = word_of(type::word);
      block::append_value(&p, &e);
    }
    u32 kinds[] = {type::path, type::lit_path, type::get_path, type::set_path};
    cell::set_type(&p, kinds[pick(4)]);
    return keep(p);
  }

  Cell value(i32 depth) {
    if (depth > 0 && pick(4) == 0) {
      Cell b{type::none, 0, 0, 0};
      RootCell k(b);
      block::make_at(&b, 4);
      for (i32 i = pick(6); i > 0; --i) {
        Cell e = pick(8) == 0 ? path() : value(depth - 1);
        if (pick(5) == 0) e.header |= header::new_line;
        block::append_value(&b, &e);
      }
      cell::set_type(&b, pick(3) ? type::block : type::paren);
      return keep(b);
    }
    return scalar();
  }
};

bool same_value(const Cell& a, const Cell& b) {
  if (a.type() != b.type()) return false;
  if (a.type() == type::float_ || a.type() == type::time)
    return std::bit_cast<u64>(a.as_double()) == std::bit_cast<u64>(b.as_double());
  Cell x = a, y = b;
  return actions::compare(&x, &y, compare_op::strict_equal) == 1;
}

TEST_F(Lexer, LoadOfMoldGivesTheValueBack) {
  i32 rounds = std::getenv("KIV_LEXER_ROUNDS") ? std::atoi(std::getenv("KIV_LEXER_ROUNDS")) : 400;
  Values gen(2024);
  for (i32 i = 0; i < rounds; ++i) {
    Cell* base = stack::top;
    Cell v = gen.value(3), back{};
    RootCell keep_v(v), keep_back(back);
    std::string text = test::mold_text(v);
    SCOPED_TRACE(text);
    if (std::getenv("KIV_LEXER_SHOW")) std::printf("%s\n", text.c_str());
    back = one(text);
    ASSERT_TRUE(same_value(v, back)) << test::mold_text(back);
    EXPECT_EQ(test::mold_text(back), text);
    stack::top = base;
  }
}

// ---- Big inputs and the collector ---------------------------------------------------------------

TEST_F(Lexer, DeepNestingAndLongInputs) {
  std::string deep = std::string(5000, '[') + "x" + std::string(5000, ']');
  Cell v = load(deep);
  Cell c = at(v, 0);
  i32 depth = 1;
  while (count(c) == 1 && at(c, 0).type() == type::block) {
    c = at(c, 0);
    ++depth;
  }
  EXPECT_EQ(depth, 5000);
  std::string flat;
  for (i32 i = 0; i < 100000; ++i) flat += "w" + std::to_string(i % 500) + " " + std::to_string(i) + " ";
  Cell many = load(flat);
  EXPECT_EQ(count(many), 200000);
  EXPECT_EQ(at(many, 199999).as_int(), 99999);
}

const char* const sample =
    "Kiv [title: \"sample\" date: none]\n"
    "f: func [a [integer!] /local b] [\n"
    "    b: a * 2 + 1.5e3\n"
    "    either b > 10 [print {big\n  number}] [print \"small^/\"]\n"
    "    foreach x [1 2 3] [append list/items x]\n"
    "    #issue 'lit :get /ref #\"c\" 12:30:00 -2147483648 FFh %{raw}% 1.#INF\n"
    "]\n"
    "data: [a/b/c 'p/q :r/s t/(u + 1)/v: \"\xC3\xA9t\xC3\xA9\" \"\xF0\x9F\x98\x80\"]\n";

TEST_F(Lexer, LoadsTheSameWhileTheCollectorMovesEverything) {
  std::string expected = test::mold_text(load(sample));
  bool saved = collector::enabled;
  u32 every = collector::torture_every;
  collector::enabled = true;
  collector::set_torture(1);
  std::string moved;
  try {
    for (i32 i = 0; i < 3; ++i) moved = test::mold_text(load(sample));
  } catch (...) {
    collector::set_torture(every);
    collector::enabled = saved;
    throw;
  }
  collector::set_torture(every);
  collector::enabled = saved;
  EXPECT_EQ(moved, expected);
}

}  // namespace
}  // namespace kiv
