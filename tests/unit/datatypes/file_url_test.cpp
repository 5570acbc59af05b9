// file! and url!: mold (and that a molded file loads back as the same file), path joining, make and
// to from a block, percent-encoding and decoding, local paths, and the I/O actions' hand-over.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <random>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/file.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/url.h"
#include "lexer/lexer.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

using test::mold_text;
using test::form_text;

template <class F>
std::string error_id(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "(no error)";
}

class FileUrl : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    lexer::init();
  }

 public:
  static Cell* text_of(u32 type_id, std::string_view utf8) {
    Cell* s = stack::push_cell();
    string::make_from_utf8(s, utf8);
    cell::set_type(s, type_id);
    return s;
  }
  static Cell* file(std::string_view utf8) { return text_of(type::file, utf8); }
  static Cell* url(std::string_view utf8) { return text_of(type::url, utf8); }
  static Cell* load(std::string_view text) {
    Cell* out = stack::push_cell();
    lexer::load_text(text, out);
    return out;
  }
  static Cell* one(std::string_view text) {
    Cell* out = stack::push_cell();
    lexer::load_one(text, out);
    return out;
  }
  static std::string utf8(const Cell* s) { return string::to_utf8(s); }
};

TEST_F(FileUrl, TypesAndInheritance) {
  EXPECT_STREQ(datatype::names[type::url].name, "url!");
  EXPECT_STREQ(datatype::names[type::file].name, "file!");
  // Series actions come from string!.
  Cell* f = file("dir/name.txt");
  Cell ch{type::char_, 0, '.', 0};
  Cell* dot = stack::push_value(&ch);
  Cell* r = actions::get<action::slot::find>(f)(f, dot, nullptr, false, false, false, false, nullptr, nullptr, false,
                                                 false, false, false);
  EXPECT_EQ(r->type(), type::file);
  EXPECT_EQ(series::head_index(r), 8);
  EXPECT_EQ(form_text(*url("http://a b")), "http://a b");
  EXPECT_EQ(actions::dispatch_compare(file("abc"), file("ABC"), compare_op::equal), 0);
  // Slots file! and url! do not have.
  EXPECT_EQ(datatype::actions[type::file].sort, nullptr);
  EXPECT_EQ(datatype::actions[type::url].trim, nullptr);
  EXPECT_EQ(datatype::actions[type::file].open, nullptr);
  EXPECT_EQ(datatype::actions[type::url].delete_, nullptr);
}

TEST_F(FileUrl, FileMold) {
  struct Case {
    const char* text;
    const char* molded;
  } cases[] = {
      {"dir/name-1_2.txt", "%dir/name-1_2.txt"},
      {"/", "%/"},
      {"", "%\"\""},
      {"a b", "%\"a b\""},
      {"caf\u00e9", "%caf\u00e9"},
      {"100%", "%\"100%\""},
      {"say \"hi\"", "%\"say ^(22)hi^(22)\""},
      {"a:b@c(d)", "%\"a:b@c(d)\""},
      {"del\x7f", "%\"del^~\""},
      {"a^b", "%\"a^^b\""},
      {"tab\there", "%\"tab^-here\""},
      {"semi;colon", "%\"semi;colon\""},
      {"a[1]", "%\"a[1]\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mold_text(*file(c.text)), c.molded) << c.text;
  }
  // /part: the limit counts the characters written.
  EXPECT_EQ(mold_text(*file("abcdef"), false, false, false, 4), "%abc");
}

// Whatever a file! holds, its mold loads back as the same file.
TEST_F(FileUrl, FileMoldLoadsBack) {
  std::vector<std::string> texts = {"a b", "100%", "%41", "q\"q", "^", "x^/y", "a;b", "{x}", "a\\b", "<t>",
                                    "a(b)c", "x]y", "tab\t", "new\nline", "\x7f", "\xc2\x80", "\xc2\xa0", "\xe2\x82\xac",
                                    "#x", "a:b", "@", "a=b?c&d", "~/x", "'q", "a,b", ".", "..", "/a/b/",
                                    "\xed\xa0\x80", "\xf0\x9f\x98\x80 x"};
  std::mt19937 rng(5);
  const char alphabet[] = "ab/%\" ^;[](){}<>\\#.:'`|,=~\t@$&*+-_?!";
  for (int i = 0; i < 300; ++i) {
    std::string t;
    int n = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < n; ++k) t += alphabet[rng() % (sizeof alphabet - 1)];
    texts.push_back(t);
  }
  for (const std::string& t : texts) {
    Cell* f = file(t);
    std::string molded = mold_text(*f);
    Cell* back = stack::push_cell();
    try {
      ASSERT_TRUE(lexer::load_one(molded, back)) << molded;
    } catch (const LanguageError& e) {
      ADD_FAILURE() << "mold " << molded << " does not load: " << e.id;
      continue;
    }
    ASSERT_EQ(back->type(), type::file) << molded;
    EXPECT_EQ(utf8(back), t) << molded;
  }
}

TEST_F(FileUrl, UrlMold) {
  EXPECT_EQ(mold_text(*url("http://host/a b")), "http://host/a%20b");
  EXPECT_EQ(mold_text(*url("http://h/caf\u00e9")), "http://h/caf%C3%A9");
  EXPECT_EQ(mold_text(*url("mailto:x@y.z?a=1&b=(2)")), "mailto:x@y.z?a=1&b=(2)");
  EXPECT_EQ(mold_text(*url("")), "");
  EXPECT_EQ(mold_text(*url("http://x/%")), "http://x/%25");
  EXPECT_EQ(mold_text(*url("http://abc"), false, false, false, 5), "http:");
  // A molded url! loads back as the same URL.
  for (const char* t : {"http://host/a b", "ftp://h/caf\u00e9", "http://x/100%25"}) {
    Cell* back = one(mold_text(*url(t)));
    EXPECT_EQ(back->type(), type::url) << t;
    EXPECT_EQ(utf8(back), t);
  }
}

TEST_F(FileUrl, PathJoiningPutsExactlyOneSlash) {
  struct Case {
    Cell* parent;
    Cell* element;
    const char* joined;
  } cases[] = {
      {url("http://a.b"), one("page"), "http://a.b/page"},
      {url("http://a.b/"), one("page"), "http://a.b/page"},
      {url("http://a.b/"), text_of(type::string, "/page"), "http://a.b/page"},
      {url("http://a.b"), text_of(type::string, "/page"), "http://a.b/page"},
      {file("dir"), one("1"), "dir/1"},
      {file("/"), one("x"), "/x"},
      {file(""), one("x"), "/x"},
      {file("d\u20ac/"), one("f"), "d\u20ac/f"},
  };
  for (const Case& c : cases) {
    std::string before = utf8(c.parent);
    Cell* r = actions::get<action::slot::eval_path>(c.parent)(c.parent, c.element, nullptr, nullptr, nullptr,
                                                              nullptr, 0, false, false, true, false);
    EXPECT_EQ(r->type(), c.parent->type());
    EXPECT_EQ(utf8(r), c.joined);
    EXPECT_EQ(utf8(c.parent), before) << "the parent is not changed";
  }
  Cell* u = url("http://a");
  Cell* set = one("x");
  EXPECT_EQ(error_id([&] { url::eval_path(u, one("p"), set, nullptr, nullptr, nullptr, 0, false, false, true, false); }),
            "bad-path-set");
}

TEST_F(FileUrl, MakeAndToFromABlock) {
  struct Case {
    const char* spec;
    const char* made;
  } cases[] = {
      {"http host 8080", "http://host:8080"},
      {"http host", "http://host"},
      {"http", "http://"},
      {"http host 80 a b #frag", "http://host:80/a/b#frag"},
      {"http host a \"b c\"", "http://host/a/b c"},
      {"ftp host.com 21 pub", "ftp://host.com:21/pub"},
  };
  for (const Case& c : cases) {
    for (auto action : {url::make, url::to}) {
      Cell* out = stack::push_cell();
      Cell* r = action(out, load(c.spec), type::url);
      EXPECT_EQ(r->type(), type::url);
      EXPECT_EQ(utf8(r), c.made) << c.spec;
    }
  }
  Cell* empty = load("");
  EXPECT_EQ(error_id([&] { url::to(stack::push_cell(), empty, type::url); }), "bad-to-arg");
  // file! takes the string! path from a block, and a string converts as text to both.
  Cell* out = stack::push_cell();
  Cell* r = actions::get<action::slot::to>(type::file, nullptr)(out, load("a b"), type::file);
  EXPECT_EQ(r->type(), type::file);
  EXPECT_EQ(utf8(r), "ab");
  r = url::to(stack::push_cell(), text_of(type::string, "http://x"), type::url);
  EXPECT_EQ(r->type(), type::url);
  EXPECT_EQ(utf8(r), "http://x");
}

TEST_F(FileUrl, PercentEncoding) {
  struct Case {
    const char* text;
    i32 mode;
    const char* encoded;
  } cases[] = {
      {"a b/c", url::mode_strict, "a%20b%2Fc"},
      {"a b/c", url::mode_url, "a%20b/c"},
      {"caf\u00e9~-._", url::mode_strict, "caf%C3%A9~-._"},
      {"?x=1&y=(2)", url::mode_url, "?x=1&y=(2)"},
      {"?x=1", url::mode_strict, "%3Fx%3D1"},
      {"100%", url::mode_url, "100%25"},
  };
  for (const Case& c : cases) {
    Cell* target = text_of(type::string, "");
    url::encode(text_of(type::string, c.text), target, c.mode);
    EXPECT_EQ(utf8(target), c.encoded) << c.text;
    // Into a byte series.
    Cell* bytes = stack::push_cell();
    *bytes = Cell{type::binary, 0, memory::alloc_bytes(4).offset(), 0};
    url::encode(text_of(type::string, c.text), bytes, c.mode);
    SeriesBuffer* b = series::buffer_of(bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b->head_ptr()), b->used_bytes()), c.encoded);
  }
}

TEST_F(FileUrl, PercentDecoding) {
  struct Case {
    const char* text;
    std::string decoded;
  } cases[] = {
      {"a%20b", "a b"},
      {"%C3%A9", "\u00e9"},
      {"%c3%a9", "\u00e9"},
      {"%A9", "\u00a9"},
      {"%E9", "%E9"},
      {"%E9x", "%E9x"},
      {"%C3%41", "%C3A"},
      {"%", "%"},
      {"%4", "%4"},
      {"%zz", "%zz"},
      {"50%-off", "50%-off"},
      {"%E2%82%AC%F0%9F%98%80", "\u20ac\U0001F600"},
      {"caf\u00e9%21", "caf\u00e9!"},
      {"%00", std::string(1, '\0')},
  };
  for (const Case& c : cases) {
    Cell* target = text_of(type::string, "");
    url::decode(text_of(type::string, c.text), target);
    EXPECT_EQ(utf8(target), c.decoded) << c.text;
  }
  u8 byte = 0;
  const u8 pair[] = {'%', 'f', 'F'};
  EXPECT_TRUE(url::decode_hex_pair(pair, pair + 3, &byte));
  EXPECT_EQ(byte, 0xFF);
  EXPECT_FALSE(url::decode_hex_pair(pair, pair + 2, &byte)) << "the pair must lie inside the text";
  const u8 wide[] = {'%', 0xC3, 0xA9};
  EXPECT_FALSE(url::decode_hex_pair(wide, wide + 3, &byte));
}

TEST_F(FileUrl, LocalPaths) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::string dir = std::string(cwd) + (std::string(cwd) == "/" ? "" : "/");
  struct Case {
    const char* file;
    bool full;
    std::string local;
  } cases[] = {
      {"/c/x.txt", false, "/c/x.txt"},
      {"/", false, "/"},
      {"/home/u/a b", true, "/home/u/a b"},
      {"a/b", false, "a/b"},
      {"a/b", true, dir + "a/b"},
      {"", true, dir},
      {"caf\u00e9/%41", false, "caf\u00e9/%41"},
  };
  for (const Case& c : cases) {
    Cell* target = text_of(type::string, "");
    file::to_local_path(file(c.file), target, c.full);
    EXPECT_EQ(utf8(target), c.local) << c.file;
  }
  Cell* d = file::get_current_dir(stack::push_cell());
  EXPECT_EQ(utf8(d), dir);
  EXPECT_EQ(file::to_os_path(file("rel/x")), "rel/x");
  EXPECT_EQ(error_id([&] { file::to_os_path(file(std::string_view("ok\0../etc", 9))); }), "invalid-arg");
}

TEST_F(FileUrl, InputOutputHandsOver) {
  Cell* f = file("x.txt");
  Cell* u = url("http://example.com");
  Cell* other = url("ftp://example.com");
  Cell* data = text_of(type::string, "body");
  // No file layer, HTTP client or port yet.
  EXPECT_EQ(error_id([&] { file::read(f, nullptr, nullptr, false, false, false, nullptr); }), "not-done");
  EXPECT_EQ(error_id([&] { file::query(f); }), "not-done");
  EXPECT_EQ(error_id([&] { url::read(u, nullptr, nullptr, false, false, false, nullptr); }), "not-done");
  EXPECT_EQ(error_id([&] { url::read(other, nullptr, nullptr, false, false, false, nullptr); }), "not-done");

  struct Seen {
    std::string method, headers, body;
  };
  static Seen seen;
  static bool connect;
  auto saved = hooks::http_request.get();
  hooks::http_request = [](const Cell* method, const Cell*, const Cell* headers, const Cell* body, bool, bool,
                                bool, Cell* out) -> Cell* {
    seen = {mold_text(*method), mold_text(*headers), mold_text(*body)};
    *out = connect ? *body : none::value;
    if (connect && body->type() == type::none) *out = Cell{type::logic, 1, 0, 0};
    return out;
  };
  connect = true;
  url::read(u, nullptr, nullptr, false, false, false, nullptr);
  EXPECT_EQ(seen.method, "get");
  EXPECT_EQ(seen.body, "none");
  struct Case {
    Cell* value;
    const char* method;
    const char* headers;
    const char* body;
  } cases[] = {
      {data, "post", "none", "\"body\""},
      {load(""), "get", "none", "[]"},
      {load("put [Accept: \"*\"] \"b\""), "put", "[Accept: \"*\"]", "\"b\""},
      {load("delete"), "delete", "none", "none"},
  };
  for (const Case& c : cases) {
    url::write(u, c.value, false, false, false, false, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(seen.method, c.method);
    EXPECT_EQ(seen.headers, c.headers);
    EXPECT_EQ(seen.body, c.body);
  }
  for (const char* bad : {"\"get\" x", "get \"h\"", "post [] 12"}) {
    EXPECT_EQ(error_id([&] { url::write(u, load(bad), false, false, false, false, nullptr, nullptr, nullptr, nullptr); }),
              "invalid-arg")
        << bad;
  }
  Cell* seek = stack::push_cell();
  EXPECT_EQ(error_id([&] { url::read(u, nullptr, seek, false, false, false, nullptr); }), "not-done");
  connect = false;
  EXPECT_EQ(error_id([&] { url::read(u, nullptr, nullptr, false, false, false, nullptr); }), "no-connect");
  hooks::http_request = saved;
}

}  // namespace
}  // namespace kiv
