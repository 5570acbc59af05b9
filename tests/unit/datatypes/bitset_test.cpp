// bitset!: the spec walker (ranges, strings, nested blocks, `not`), growth with the complement
// flag, the series actions, comparison, the text, and the set operations checked against a model
// that includes complemented operands.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

namespace slot = action::slot;

Cell Ch(i32 cp) { return Cell{type::char_, 0, static_cast<u32>(cp), 0}; }
Cell I(i32 n) { return test::int_cell(n); }
Cell F(double d) {
  Cell c{type::float_, 0, 0, 0};
  c.set_double(d);
  return c;
}
Cell none() { return test::none_cell(); }
// The builders answer value-stack cells, which the collector keeps and rewrites: hold them by
// reference, or root a copy.
// A string! kept on the value stack for the test.
Cell& S(const char* utf8) {
  Cell* c = stack::push_cell();
  string::make_from_utf8(c, utf8);
  return *c;
}
// A binary! of the bytes, kept on the value stack (the binary unit is not here yet: its layout is the
// plain byte series).
Cell& Bin(std::initializer_list<u8> bytes) {
  Cell* c = stack::push_cell();
  Ref<Node> n = memory::alloc_bytes(static_cast<i32>(bytes.size()));
  SeriesBuffer* b = buffer_of(n);
  for (u8 v : bytes) *b->tail_ptr<u8>() = v, ++b->tail;
  *c = Cell{type::binary, 0, n.offset(), 0};
  return *c;
}
Cell& Word(const char* name) {
  Cell w = word::load(name);
  return *stack::push_value(&w);
}
Cell& B(std::initializer_list<test::Arg> cells) { return test::block_of(cells); }

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "";
}

const action::Row& row() { return datatype::row(type::bitset); }

// make (or to) through the action table; the result stays on the value stack.
Cell& make(const Cell& spec, bool to = false) {
  Cell proto{type::datatype, type::bitset, 0, 0};
  Cell* s = stack::push_value(&spec);
  return *(to ? row().to : row().make)(&proto, s, type::bitset);
}
Cell* on_stack(const Cell& v) { return stack::push_value(&v); }

bool member(const Cell& bits, i32 n) { return bitset::has(&bits, n); }
std::vector<i32> members(const Cell& bits, i32 below) {
  std::vector<i32> out;
  for (i32 n = 0; n < below; ++n) {
    if (member(bits, n)) out.push_back(n);
  }
  return out;
}
std::string text(const Cell& bits) { return test::mold_text(bits); }
// A bitset of the stored bytes and flag, kept on the value stack.
Cell& raw(std::initializer_list<u8> bytes, bool complemented) {
  Cell* c = stack::push_cell();
  bitset::make_at(c, static_cast<i32>(bytes.size()), complemented);
  u8* d = reinterpret_cast<u8*>(bitset::get_data(c));
  for (u8 v : bytes) *d++ = v;
  return *c;
}

class BitsetTest : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

TEST_F(BitsetTest, MakeFromSpecs) {
  Cell &dash = Word("-"), &not_ = Word("not");
  test::Building building;
  struct Case {
    const char* what;
    Cell spec{};
    i32 length;
    const char* text;
    std::vector<i32> in;   // members below 128
    bool beyond;           // 100000 is a member
  } cases[] = {
      {"size 0", I(0), 0, "make bitset! #{}", {}, false},
      {"size 9", I(9), 16, "make bitset! #{0000}", {}, false},
      {"size 16", I(16), 16, "make bitset! #{0000}", {}, false},
      {"size float", F(17.9), 24, "make bitset! #{000000}", {}, false},
      {"char", Ch('a'), 104, "make bitset! #{00000000000000000000000040}", {'a'}, false},
      {"string", S("abc"), 104, "make bitset! #{00000000000000000000000070}", {'a', 'b', 'c'}, false},
      {"integer in block", B({I(0), I(9)}), 16, "make bitset! #{8040}", {0, 9}, false},
      {"float in block", B({F(3.9)}), 8, "make bitset! #{10}", {3}, false},
      {"empty block", B({}), 8, "make bitset! #{00}", {}, false},
      {"char range", B({Ch('a'), dash, Ch('c'), Ch('x')}), 128, "make bitset! #{00000000000000000000000070000080}",
       {'a', 'b', 'c', 'x'}, false},
      {"integer range", B({I(0), dash, I(11)}), 16, "make bitset! #{FFF0}", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, false},
      {"nested", B({B({Ch('A')}), S("B"), B({B({I(2)})})}), 72, "make bitset! #{200000000000000060}", {2, 'A', 'B'},
       false},
      {"not string", B({not_, S("abc")}), 104, "make bitset! [not #{00000000000000000000000070}]", {}, true},
      {"binary", Bin({0xC0, 0x01}), 16, "make bitset! #{C001}", {0, 1, 15}, false},
      {"not binary", B({not_, Bin({0xC0})}), 8, "make bitset! [not #{C0}]", {}, true},
      {"not alone", B({not_}), 8, "make bitset! [not #{00}]", {}, true},
  };
  test::RootCells keep_cases(cases, &Case::spec);
  building.release();
  for (const Case& c : cases) {
    Cell& bits = make(c.spec);
    ASSERT_EQ(bits.type(), u32{type::bitset}) << c.what;
    EXPECT_EQ(row().length_q(&bits), c.length) << c.what;
    EXPECT_EQ(text(bits), c.text) << c.what;
    EXPECT_EQ(test::form_text(bits), c.text) << c.what;
    EXPECT_EQ(member(bits, 100000), c.beyond) << c.what;
    if (!c.beyond) {
      EXPECT_EQ(members(bits, 128), c.in) << c.what;
    }
  }
  // Negated specs hold everything but what they name.
  Cell& neg = make(B({not_, S("abc")}));
  EXPECT_FALSE(member(neg, 'a'));
  EXPECT_FALSE(member(neg, 'c'));
  EXPECT_TRUE(member(neg, 'd'));
  EXPECT_TRUE(member(neg, 0));
  Cell& neg_bin = make(B({not_, Bin({0xC0})}));
  EXPECT_EQ(members(neg_bin, 4), (std::vector<i32>{2, 3}));
  // to takes the same specs except a size.
  Cell& t = make(S("abc"), true);
  EXPECT_EQ(text(t), "make bitset! #{00000000000000000000000070}");
  // A bitset spec is copied: same bytes and flag, a series of its own.
  Cell& copy = make(neg);
  EXPECT_NE(copy.w2, neg.w2);
  EXPECT_EQ(text(copy), text(neg));
}

TEST_F(BitsetTest, MakeErrors) {
  Cell& dash = Word("-");
  test::Building building;
  struct Case {
    const char* what;
    Cell spec{};
    bool to;
    const char* id;
  } cases[] = {
      {"reversed range", B({Ch('c'), dash, Ch('a')}), false, "past-end"},
      {"mixed range", B({Ch('a'), dash, I(5)}), false, "invalid-arg"},
      {"open range", B({Ch('a'), dash}), false, "past-end"},
      {"range to a string", B({Ch('a'), dash, S("c")}), false, "past-end"},
      {"negative range", B({I(-3), dash, I(5)}), false, "out-of-range"},
      {"negative size", I(-1), false, "out-of-range"},
      {"negative member", B({I(-1)}), false, "out-of-range"},
      {"negative float", B({F(-2.5)}), false, "out-of-range"},
      {"huge float", B({F(1e12)}), false, "out-of-range"},
      {"to a size", I(8), true, "bad-to-arg"},
      {"make none", none(), false, "bad-make-arg"},
      {"to none", none(), true, "bad-to-arg"},
      {"none in a block", B({Ch('a'), none()}), false, "bad-make-arg"},
      {"lone dash", B({dash, Ch('a')}), false, "bad-make-arg"},
      {"binary in a block", B({Ch('a'), Bin({1})}), false, "not-done"},
  };
  test::RootCells keep_cases(cases, &Case::spec);
  building.release();
  for (const Case& c : cases) EXPECT_EQ(error_of([&] { make(c.spec, c.to); }), c.id) << c.what;
}

TEST_F(BitsetTest, TestingAndFinding) {
  Cell& bits = make(S("abc"));
  Cell* b = on_stack(bits);
  Cell& dash = Word("-");
  test::Building building;
  struct Case {
    Cell value{};
    bool found;
  } cases[] = {
      {Ch('a'), true},           {Ch('d'), false},           {I(99), true},
      {F(98.5), true},           {I(1000), false},           {I(-1), false},
      {S("cab"), true},          {S("abd"), false},          {S(""), true},
      {B({Ch('a'), dash, Ch('c')}), true},                   {B({Ch('a'), dash, Ch('d')}), false},
      {B({Ch('c'), S("ab")}), true},                         {B({Ch('a'), I(5)}), false},
      {F(1e12), false},
  };
  test::RootCells keep_cases(cases, &Case::value);
  building.release();
  for (Case& c : cases) {
    Cell* v = on_stack(c.value);
    Cell f = *row().find(b, v, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
    EXPECT_EQ(f.type(), c.found ? u32{type::logic} : u32{type::none}) << test::mold_text(c.value);
    Cell p = *row().pick(b, 0, v);
    EXPECT_EQ(p.type(), u32{type::logic});
    EXPECT_EQ(p.w1, c.found ? 1u : 0u) << test::mold_text(c.value);
  }
  EXPECT_EQ(bitset::byte_count(b), 13);  // testing never grows
  Cell& w = Word("a");
  EXPECT_EQ(error_of([&] { row().pick(b, 0, &w); }), "invalid-arg");
  // A complemented bitset holds every number past its bytes, even past the 32-bit range.
  Cell* neg = on_stack(make(B({Word("not"), S("a")})));
  Cell big = F(1e12), far = I(1 << 30);
  EXPECT_EQ(row().pick(neg, 0, &big)->w1, 1u);
  EXPECT_EQ(row().pick(neg, 0, &far)->w1, 1u);
}

TEST_F(BitsetTest, GrowthFollowsTheComplementFlag) {
  // append to a plain bitset stores the new bits.
  Cell* plain = on_stack(raw({0x80}, false));
  Cell v = I(20);
  row().append(plain, &v, -1, false, 1, true);
  EXPECT_EQ(text(*plain), "make bitset! #{800008}");
  // poke false into a complemented one grows it with FF bytes, but for the cleared bit.
  Cell* comp = on_stack(raw({0xFF}, true));
  Cell off = test::logic_cell(false);
  row().poke(comp, 20, &off, &v);
  EXPECT_EQ(bitset::byte_count(comp), 3);
  EXPECT_EQ(text(*comp), "make bitset! [not #{000008}]");
  EXPECT_FALSE(member(*comp, 20));
  EXPECT_TRUE(member(*comp, 19));
  EXPECT_TRUE(member(*comp, 21));
  // Setting in a complemented bitset or clearing in a plain one stores nothing new.
  Cell far = I(1000);
  row().poke(plain, 1000, &off, &far);
  EXPECT_EQ(bitset::byte_count(plain), 3);
  Cell on = test::logic_cell(true);
  row().poke(comp, 1000, &on, &far);
  EXPECT_TRUE(member(*comp, 1000));
  // Ranges and strings grow the stored bytes to their largest member when they must.
  Cell* e = on_stack(raw({}, false));
  Cell& range = B({Ch('a'), Word("-"), Ch('z')});
  row().append(e, &range, -1, false, 1, true);
  EXPECT_EQ(members(*e, 256).size(), 26u);
  EXPECT_EQ(bitset::byte_count(e), ('z' >> 3) + 1);
  Cell* ce = on_stack(raw({}, true));
  Cell& letters = S("\xC3\xA9t\xC3\xA9");  // U+00E9 and t
  Cell* lv = on_stack(letters);
  row().remove(ce, lv, nullptr);
  EXPECT_FALSE(member(*ce, 0xE9));
  EXPECT_FALSE(member(*ce, 't'));
  EXPECT_TRUE(member(*ce, 'u'));
  EXPECT_TRUE(member(*ce, 0x10000));
  // Bytes added by growth take the fill byte, whatever the spare room held.
  Cell* g = on_stack(raw({0xFF, 0xFF}, true));
  std::byte* spare = bitset::get_tail(g);
  std::fill(spare, spare + 8, std::byte{0});
  Cell two = I(2);
  row().remove(g, &two, nullptr);
  for (i32 n = 16; n < 200; ++n) {
    if (!member(*g, n)) ADD_FAILURE() << n;
  }
  Cell big = I(199);
  row().remove(g, &big, nullptr);
  EXPECT_FALSE(member(*g, 199));
  EXPECT_TRUE(member(*g, 198));
  EXPECT_TRUE(member(*g, 150));
}

TEST_F(BitsetTest, SeriesActions) {
  Cell* bits = on_stack(make(S("ab")));
  Cell& dash = Word("-");
  EXPECT_EQ(error_of([&] { row().remove(bits, nullptr, nullptr); }), "missing-arg");
  Cell a = Ch('a');
  row().remove(bits, &a, nullptr);
  EXPECT_EQ(members(*bits, 128), (std::vector<i32>{'b'}));
  Cell& more = B({I(0), dash, I(3), S("z")});
  row().insert(bits, &more, -1, false, 1, false);
  EXPECT_EQ(members(*bits, 128), (std::vector<i32>{0, 1, 2, 3, 'b', 'z'}));
  Cell bad = none();
  EXPECT_EQ(error_of([&] { row().append(bits, &bad, -1, false, 1, true); }), "invalid-arg");
  // poke: none, false, 0 and 0.0 clear; anything else sets.
  test::Building building;
  struct Poke {
    Cell value{};
    bool set;
  } pokes[] = {{none(), false}, {test::logic_cell(false), false}, {I(0), false}, {F(0.0), false},
               {test::logic_cell(true), true}, {I(7), true}, {S(""), true}, {F(-0.0), false}};
  test::RootCells keep_pokes(pokes, &Poke::value);
  building.release();
  for (Poke& p : pokes) {
    Cell idx = Ch('b');
    row().poke(bits, 'b', &p.value, &idx);
    EXPECT_EQ(member(*bits, 'b'), p.set) << test::mold_text(p.value);
  }
  // clear keeps the length: a plain bitset becomes empty, a complemented one full.
  i32 len = row().length_q(bits);
  row().clear(bits);
  EXPECT_EQ(row().length_q(bits), len);
  EXPECT_TRUE(members(*bits, 200).empty());
  Cell* neg = on_stack(make(B({Word("not"), S("abc")})));
  row().clear(neg);
  EXPECT_EQ(members(*neg, 200).size(), 200u);
  // copy duplicates bytes and flag.
  Cell* src = on_stack(make(S("xy")));
  Cell* dup = stack::push_cell();
  row().copy(src, dup, nullptr, false, nullptr);
  Cell y = Ch('y');
  row().remove(src, &y, nullptr);
  EXPECT_TRUE(member(*dup, 'y'));
  EXPECT_FALSE(member(*src, 'y'));
  // complement makes a new value; negate turns its argument into that value.
  Cell* comp = row().complement(dup);
  EXPECT_TRUE(member(*dup, 'x'));
  EXPECT_FALSE(member(*comp, 'x'));
  EXPECT_TRUE(member(*comp, 'a'));
  EXPECT_TRUE(member(*comp, 5000));
  EXPECT_EQ(text(*comp), "make bitset! [not #{000000000000000000000000000000C0}]");
  Cell before = *dup;
  RootCell keep_before(before);
  row().negate(dup);
  EXPECT_NE(dup->w2, before.w2);
  EXPECT_FALSE(member(*dup, 'x'));
  EXPECT_TRUE(member(before, 'x'));
  EXPECT_EQ(actions::compare(dup, comp, compare_op::equal), 1);
}

TEST_F(BitsetTest, PathAccess) {
  Cell* bits = on_stack(make(S("a")));
  Cell a = Ch('a'), n = I(98);
  Cell& name = Word("x");
  EXPECT_EQ(row().eval_path(bits, &a, nullptr, nullptr, nullptr, nullptr, 0, false, false, true, false)->w1, 1u);
  EXPECT_EQ(row().eval_path(bits, &n, nullptr, nullptr, nullptr, nullptr, 0, false, false, true, false)->w1, 0u);
  Cell on = test::logic_cell(true);
  row().eval_path(bits, &n, &on, nullptr, nullptr, nullptr, 0, false, false, true, false);
  EXPECT_TRUE(member(*bits, 98));
  EXPECT_EQ(error_of([&] { row().eval_path(bits, &name, nullptr, nullptr, nullptr, nullptr, 0, false, false, true, false); }),
            "invalid-type");
}

TEST_F(BitsetTest, Compare) {
  Cell &one = raw({0x40}, false), &one_long = raw({0x40, 0x00}, false), &two = raw({0x20}, false);
  Cell &empty = raw({}, false), &all = raw({}, true), &neg = raw({0x40}, true);
  EXPECT_EQ(actions::compare(&one, &one_long, compare_op::equal), 0);  // same members, other length
  EXPECT_EQ(actions::compare(&one, &two, compare_op::equal), 0);
  Cell& again = raw({0x40}, false);
  EXPECT_EQ(actions::compare(&one, &again, compare_op::equal), 1);
  EXPECT_EQ(actions::compare(&one, &again, compare_op::same), 0);
  EXPECT_EQ(actions::compare(&one, &one, compare_op::same), 1);
  EXPECT_EQ(actions::compare(&one, &one_long, compare_op::lesser), 1);  // shorter is lesser
  EXPECT_EQ(actions::compare(&one, &two, compare_op::greater), 1);      // unsigned bytes from the last
  EXPECT_EQ(actions::compare(&neg, &one, compare_op::greater), 1);      // complemented is greater
  EXPECT_EQ(actions::compare(&empty, &all, compare_op::equal), 0);      // nothing is not everything
  EXPECT_EQ(actions::compare(&empty, &all, compare_op::lesser), 1);
  Cell i = I(1);
  EXPECT_EQ(bitset::compare(&one, &i, compare_op::equal), -2);
  EXPECT_EQ(error_of([&] { actions::compare(&one, &i, compare_op::lesser); }), "invalid-compare");
}

TEST_F(BitsetTest, TextWithPart) {
  Cell &plain = raw({0x12, 0xAB, 0xFF}, false), &comp = raw({0x12}, true);
  EXPECT_EQ(text(comp), "make bitset! [not #{ED}]");
  test::Building building;
  struct Case {
    Cell bits{};
    i32 limit;
    i32 left;
    const char* text;
  } cases[] = {
      {plain, 100, 100 - 22, "make bitset! #{12ABFF}"},
      {comp, 100, 100 - 24, "make bitset! [not #{ED}]"},
      {plain, 17, -2, "make bitset! #{12AB"},  // stops after the bytes
      {plain, 15, -2, "make bitset! #{12"},
      {plain, 14, -1, "make bitset! #{"},
      {comp, 21, -1, "make bitset! [not #{ED"},
  };
  test::RootCells keep_cases(cases, &Case::bits);
  building.release();
  for (const Case& c : cases) {
    Cell out{}, part = I(c.limit);
    RootCell keep(out);
    string::make_at(&out, 16);
    EXPECT_EQ(row().mold(&c.bits, &out, false, false, false, &part, c.limit, 0), c.left) << c.text;
    EXPECT_EQ(string::to_utf8(&out), c.text);
  }
  EXPECT_EQ(test::mold_text(plain, false, false, false, 17), "make bitset! #{12");
}

// The result of a set operation on two operands.
Cell set_op(const Cell& a, const Cell& b, i32 code) { return test::call({a, b}, [&] { bitset::do_set_operation(code); }); }

TEST_F(BitsetTest, SetOperationLengths) {
  Cell &one = raw({0xF0}, false), &three = raw({0x0F, 0x01, 0x80}, false);
  struct Case {
    const char* what;
    i32 code;
    i32 bytes;
    const char* text;
  } cases[] = {
      {"or", 5, 3, "make bitset! #{FF0180}"},
      {"union", 9, 3, "make bitset! #{FF0180}"},
      {"and", 6, 1, "make bitset! #{00}"},
      {"intersect", 10, 3, "make bitset! #{000000}"},
      {"xor", 7, 3, "make bitset! #{FF0180}"},
      {"difference", 12, 3, "make bitset! #{FF0180}"},
      {"exclude", 11, 3, "make bitset! #{F00000}"},
  };
  for (const Case& c : cases) {
    Cell r = set_op(one, three, c.code);
    EXPECT_EQ(bitset::byte_count(&r), c.bytes) << c.what;
    EXPECT_EQ(text(r), c.text) << c.what;
  }
  EXPECT_EQ(text(set_op(three, one, 11)), "make bitset! #{0F0180}");  // the longer first keeps its bytes
  EXPECT_EQ(set_op(one, three, 8).w2, one.w2);                        // unique: the first as it is
  Cell i = I(1);
  EXPECT_EQ(error_of([&] { set_op(one, i, 9); }), "invalid-type");
  // The action slots.
  EXPECT_EQ(text(test::call({one, three}, [] { actions::call_stack_style(slot::or_t); })), "make bitset! #{FF0180}");
  EXPECT_EQ(text(test::call({one, three}, [] { actions::call_stack_style(slot::and_t); })), "make bitset! #{00}");
  EXPECT_EQ(text(test::call({one, three}, [] { actions::call_stack_style(slot::xor_t); })), "make bitset! #{FF0180}");
}

// Membership of n in a model set: the listed numbers, complemented or not.
struct Model {
  std::set<i32> listed;
  bool complemented;
  bool has(i32 n) const { return listed.count(n) != complemented; }
};

bool apply(i32 code, bool x, bool y) {
  switch (code) {
    case 5: case 9: return x || y;
    case 6: case 10: return x && y;
    case 7: case 12: return x != y;
    default: return x && !y;  // 11
  }
}

// Random bitsets of 0 to 5 bytes, complemented or not, combined by every code; each result must
// hold exactly the numbers the operation gives on the two memberships, below, across and far past
// the stored bytes.
void check_set_operations(u32 seed, i32 rounds) {
  std::mt19937 rng(seed);
  for (i32 round = 0; round < rounds; ++round) {
    Model m[2];
    Cell* v[2];  // value-stack cells: a collection rewrites them
    for (int k = 0; k < 2; ++k) {
      i32 len = static_cast<i32>(rng() % 6);
      m[k].complemented = rng() & 1;
      Cell* c = stack::push_cell();
      bitset::make_at(c, len, m[k].complemented);
      u8* d = reinterpret_cast<u8*>(bitset::get_data(c));
      for (i32 i = 0; i < len; ++i) {
        d[i] = static_cast<u8>(rng());
        for (i32 bit = 0; bit < 8; ++bit) {
          bool in = d[i] & (0x80 >> bit);
          if (in != m[k].complemented) m[k].listed.insert(i * 8 + bit);
        }
      }
      v[k] = c;
    }
    for (i32 code : {5, 6, 7, 9, 10, 11, 12}) {
      Cell r = set_op(*v[0], *v[1], code);
      for (i32 n : {0, 1, 7, 8, 15, 16, 23, 31, 32, 39, 40, 47, 48, 63, 100, 1000, 1 << 20}) {
        bool want = apply(code, m[0].has(n), m[1].has(n));
        if (member(r, n) != want) {
          ADD_FAILURE() << "round " << round << " code " << code << " n " << n << ": " << text(*v[0]) << " with "
                        << text(*v[1]) << " gives " << text(r);
          return;
        }
      }
      // Exhaustively over the stored range too.
      for (i32 n = 0; n < 64; ++n) {
        if (member(r, n) != apply(code, m[0].has(n), m[1].has(n))) {
          ADD_FAILURE() << "round " << round << " code " << code << " n " << n;
          return;
        }
      }
      stack::drop(1);
    }
    stack::drop(2);
  }
}

TEST_F(BitsetTest, SetOperationsMatchTheModelWithComplementedOperands) {
  check_set_operations(20240611, 400);
  // The cases the plain byte rules got wrong.
  Cell& a = raw({0x7F}, true);         // everything but 0
  Cell& b = raw({0x00, 0x01}, false);  // 15
  Cell u = set_op(a, b, 9);
  EXPECT_TRUE(member(u, 15));
  EXPECT_TRUE(member(u, 5000));
  EXPECT_FALSE(member(u, 0));
  Cell x = set_op(a, b, 10);
  EXPECT_EQ(members(x, 100), (std::vector<i32>{15}));
  EXPECT_FALSE(member(x, 5000));
  Cell e = set_op(b, a, 11);
  EXPECT_TRUE(members(e, 100).empty());
  EXPECT_FALSE(member(e, 5000));
  Cell and_ = set_op(a, b, 6);
  EXPECT_EQ(members(and_, 100), (std::vector<i32>{15}));
}

TEST_F(BitsetTest, SurvivesCollectionsAtEveryAllocation) {
  // The specs are made first and held on the value stack; every C++ copy of a cell goes stale at the
  // next allocation once collections move everything.
  Cell& dash = Word("-");
  Cell* spec = on_stack(B({Ch('a'), dash, Ch('f'), B({S("xyz"), I(300)}), S("\xE2\x82\xAC")}));  // and U+20AC
  Cell* grow = on_stack(B({I(5000), S("q"), Ch('0'), dash, Ch('9')}));
  Cell* negated = on_stack(B({Word("not"), Bin({0x0F})}));
  test::Torture torture;
  u32 cycles = collector::series_cycles;
  Cell* held = on_stack(make(*spec));
  EXPECT_EQ(members(*held, 128), (std::vector<i32>{'a', 'b', 'c', 'd', 'e', 'f', 'x', 'y', 'z'}));
  EXPECT_TRUE(member(*held, 300));
  EXPECT_TRUE(member(*held, 0x20AC));
  row().append(held, grow, -1, false, 1, true);
  EXPECT_TRUE(member(*held, 5000));
  EXPECT_TRUE(member(*held, '5'));
  Cell* neg = row().complement(held);
  Cell u = set_op(*held, *neg, 9);
  EXPECT_EQ(members(u, 6000).size(), 6000u);
  check_set_operations(7, 20);
  EXPECT_EQ(text(make(*negated)), "make bitset! [not #{0F}]");
  EXPECT_GT(collector::series_cycles, cycles + 100);
}

}  // namespace
}  // namespace kiv
