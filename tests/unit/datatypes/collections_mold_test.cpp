// Molded vector!, map! and hash! values load back equal: random values (every element type and width
// of vectors; maps keyed by every loadable key type, nested; hashes of mixed values) are made from
// generated text, molded, loaded again and compared strictly, and the second mold must be the
// first. 10^5 values (KIV_MOLD_ROUNDS sets another count; a few hundred under collector torture).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

i32 rounds() {
  if (const char* n = std::getenv("KIV_MOLD_ROUNDS")) return std::atoi(n);
  return collector::torture_every ? 300 : 100000;
}

class Gen {
  std::mt19937 rng_;

 public:
  explicit Gen(u32 seed) : rng_(seed) {}
  i32 below(i32 n) { return static_cast<i32>(rng_() % static_cast<u32>(n)); }
  i64 range(i64 lo, i64 hi) { return lo + static_cast<i64>(rng_() % static_cast<u64>(hi - lo + 1)); }
  // A finite double; `single` keeps it within the float range.
  double real(bool single = false) {
    switch (below(single ? 3 : 4)) {
      case 0: return static_cast<double>(range(-1000, 1000)) / 8;
      case 1: return std::ldexp(static_cast<double>(range(-(1 << 30), 1 << 30)), below(120) - 60);
      case 3: {  // any mantissa and sign, an exponent short of infinity
        const u64 bits = (u64{rng_()} << 32 | rng_()) & ~(u64{0x7FF} << 52);
        return std::bit_cast<double>(bits | static_cast<u64>(below(2000) + 24) << 52);
      }
      default: return 0.1 * below(100);
    }
  }
  std::string float_text(double d) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    std::string s = buf;
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return s;
  }
  // A code point a char! can hold (no surrogate halves), below n.
  i32 code_point(i32 n) {
    const i32 cp = below(n);
    return cp >= 0xD800 && cp < 0xE000 ? cp - 0x800 : cp;
  }
  std::string char_text(i32 cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#\"^(%X)\"", cp);
    return buf;
  }

  std::string vector() {
    static const char* kinds[] = {"integer! 8", "integer! 16", "integer! 32", "char! 8", "char! 16", "char! 32",
                                  "float! 32", "float! 64"};
    const i32 k = below(8);
    std::string s = "make vector! [" + std::string(kinds[k]) + " [";
    for (i32 i = 0, n = below(8); i < n; ++i) {
      if (i) s += ' ';
      switch (k) {
        case 0: s += std::to_string(range(-128, 127)); break;
        case 1: s += std::to_string(range(-32768, 32767)); break;
        case 2: s += std::to_string(range(-2147483647, 2147483647)); break;
        case 3: s += char_text(below(256)); break;
        case 4: s += char_text(code_point(0x10000)); break;
        case 5: s += char_text(code_point(0x110000)); break;
        case 6: s += float_text(static_cast<float>(real(true))); break;
        default: s += float_text(real()); break;
      }
    }
    return s + "]]";
  }

  std::string key() {
    static const char* words[] = {"a", "B", "word", "Word", "x-y", "z?"};
    switch (below(12)) {
      case 0: return words[below(6)];
      case 1: return std::string(words[below(6)]) + ":";
      case 2: return "'" + std::string(words[below(6)]);
      case 3: return ":" + std::string(words[below(6)]);
      case 4: return std::to_string(range(-100, 100));
      case 5: return float_text(real());
      case 6: return "\"t" + std::to_string(below(50)) + (below(2) ? "^/\"" : "\"");
      case 7: return char_text(below(300));
      case 8: return "#i" + std::to_string(below(20));
      case 9: return "%f" + std::to_string(below(20));
      case 10: return "#{" + std::string(below(2) ? "00FF" : "") + "}";
      default: return std::to_string(below(24)) + ":" + std::to_string(10 + below(50));
    }
  }

  std::string value(i32 depth) {
    switch (below(depth > 2 ? 4 : 7)) {
      case 0: return std::to_string(range(-5, 5));
      case 1: return "\"v\"";
      case 2: return "none";
      case 3: return float_text(real());
      case 4: return "[a " + value(depth + 1) + "]";
      case 5: return map(depth + 1);
      default: return "(1 + 2)";
    }
  }

  std::string map(i32 depth) {
    std::string s = "#[";
    for (i32 i = 0, n = below(5); i < n; ++i) s += key() + " " + value(depth) + " ";
    return s + "]";
  }

  std::string hash() {
    std::string s = "make hash! [";
    for (i32 i = 0, n = below(6); i < n; ++i) s += key() + " " + value(1) + " ";
    return s + "]";
  }
};

class CollectionsMold : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    lexer::init();
  }

  // The value the text stands for: a literal, or `make type! spec` made through the type's make.
  static Cell* value_of(const std::string& text) {
    Cell* b = stack::push_cell();
    lexer::load_text(text, b);
    Cell first = *block::cell_at(b, 0);
    if (block::length(b) == 1) return stack::push_value(&first);
    EXPECT_EQ(block::length(b), 3) << text;
    Cell kind = *block::cell_at(b, 1);
    Cell spec = *block::cell_at(b, 2);
    Cell* s = stack::push_value(&spec);
    const u32 t = hooks::word_name(&kind) == "vector!" ? type::vector : type::hash;
    return actions::get<action::slot::make>(t, s)(nullptr, s, t);
  }
};

TEST_F(CollectionsMold, MoldedValuesLoadBackEqual) {
  Gen gen(2024);
  Cell* const mark = stack::top;
  for (i32 round = 0, n = rounds(); round < n; ++round) {
    stack::top = mark;
    const i32 pick = round % 3;
    const std::string text = pick == 0 ? gen.vector() : pick == 1 ? gen.map(0) : gen.hash();
    std::string molded;
    try {
      Cell* first = value_of(text);
      molded = test::mold_text(*first);
      Cell* again = value_of(molded);
      ASSERT_EQ(actions::compare(first, again, compare_op::strict_equal), 1) << text << "\n" << molded;
      ASSERT_EQ(test::mold_text(*again), molded) << text;
    } catch (const LanguageError& e) {
      FAIL() << e.id << " in " << text << "\n" << molded;
    }
  }
}

}  // namespace
}  // namespace kiv
