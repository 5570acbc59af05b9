// block! search, sort and set operations: find and select with every refinement (also through a
// hash! index, checked against the linear scan), sort with every option (checked against
// std::stable_sort with the same comparator on random mixed-type blocks), comparison functions
// through the callback hook, and the set operations against a std::set model.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_search.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

using test::int_cell;
using test::mold_text;

template <class F>
std::string error_id(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "(no error)";
}

class BlockSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    lexer::init();
  }

 public:
  // The values of the text as a block (kept on the value stack for the test).
  static Cell* load(std::string_view text) {
    Cell* out = stack::push_cell();
    lexer::load_text(text, out);
    return out;
  }
  // The first value of the text, on the value stack.
  static Cell* one(std::string_view text) {
    Cell* out = stack::push_cell();
    lexer::load_one(text, out);
    return out;
  }
  static Cell* at(Cell* s, i32 head) {
    Cell* c = stack::push_value(s);
    series::set_head_index(c, head);
    return c;
  }
  static Cell* num(i32 n) {
    Cell c = int_cell(n);
    return stack::push_value(&c);
  }
  // hash! molds as a block here (its own unit registers it later).
  static std::string text(const Cell* value) { return mold_text(as_block(*value), true); }
  static Cell as_block(Cell c) {
    if (c.type() == type::hash) cell::set_type(&c, type::block);
    return c;
  }
  // A hash! holding a copy of the block's cells, with its index.
  static Cell* hashed(std::string_view text) {
    Cell* b = load(text);
    cell::set_type(b, type::hash);
    b->w3 = hashtable::make(block::length(b), b, hashtable::kind_hash, 0).offset();
    return b;
  }
};

// ---- find and select ----

struct FindCase {
  const char* series;
  i32 head;
  const char* value;
  i32 expected;       // head index of the result, -1 for none
  std::string flags;  // refinements: O only, C case, L last, R reverse, T tail, M match
  i32 skip = 0;       // 0: no /skip
  i32 part = 0;       // 0: no /part
  bool has(char f) const { return flags.find(f) != std::string::npos; }
};

Cell* run_find(Cell* s, Cell* v, const FindCase& c) {
  Cell* skip = c.skip ? BlockSearch::num(c.skip) : nullptr;
  Cell* part = c.part ? BlockSearch::num(c.part) : nullptr;
  return block::find(s, v, part, c.has('O'), c.has('C'), false, false, nullptr, skip, c.has('L'), c.has('R'),
                     c.has('T'), c.has('M'));
}

TEST_F(BlockSearch, FindWithEveryRefinement) {
  const FindCase cases[] = {
      {"a b c", 0, "b", 1, ""},
      {"a b c", 0, "b", 2, "T"},
      {"a b c", 0, "d", -1, ""},
      {"a b c", 0, "[b c]", 1, ""},
      {"a b c", 0, "[b c]", 3, "T"},
      {"a b c", 0, "[b d]", -1, ""},
      {"a b c", 0, "[]", -1, ""},
      {"a [b c] b c", 0, "[b c]", 2, ""},
      {"a [b c] b c", 0, "[b c]", 1, "O"},
      {"a b a c", 0, "c", -1, "", 2},
      {"a b c d", 0, "c", 2, "", 2},
      {"a b c d", 0, "c", 4, "T", 2},
      {"a b a c", 0, "a", 2, "L"},
      {"a b a c", 1, "a", 2, "L"},
      {"a b a c", 3, "a", -1, "L"},
      {"a b a", 3, "a", 2, "R"},
      {"a b a", 2, "a", 0, "R"},
      {"a b a", 0, "a", -1, "R"},
      {"a b a", 2, "a", 1, "RT"},
      {"a b c", 0, "[a b]", 0, "M"},
      {"a b c", 0, "[a b]", 2, "TM"},
      {"a b c", 0, "[b c]", -1, "M"},
      {"a b c", 0, "c", -1, "", 0, 2},
      {"a b c", 0, "b", 1, "", 0, 2},
      {"a b c a", 0, "a", 0, "L", 0, 3},
      {"a b c", 3, "a", -1, "R", 0, 2},
      {"a b c", 3, "b", 1, "R", 0, 2},
      {"A", 0, "a", -1, "C"},
      {"A", 0, "a", 0, ""},
      {"a b c", 5, "a", -1, ""},
      {"", 0, "a", -1, ""},
      {"x 1 y 2 x 3", 0, "x", 4, "L", 2},
      {"x 1 y 2 z 3", 6, "y", 2, "R", 2},
      {"x 1 y 2 z 3", 6, "2", -1, "R", 2},
      {"x 1 y 2 z", 0, "z", 4, "L", 2},
      {"x 1 y 2 z", 0, "z", 5, "T", 2},
      {"1 2.0 \"s\"", 0, "2", -1, ""},
      {"\"abc\" \"ABC\"", 0, "\"ABC\"", 0, ""},
      {"\"abc\" \"ABC\"", 0, "\"ABC\"", 1, "C"},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(std::string(c.series) + " / " + c.value);
    Cell* s = at(load(c.series), c.head);
    Cell* r = run_find(s, one(c.value), c);
    if (c.expected < 0) {
      EXPECT_EQ(r->type(), type::none);
      continue;
    }
    ASSERT_EQ(r->type(), type::block);
    EXPECT_EQ(series::head_index(r), c.expected);
    EXPECT_EQ(r->w2, s->w2);
  }
}

TEST_F(BlockSearch, FindByTypeAndTypeset) {
  Cell* s = load("a \"t\" 1 2.5");
  Cell* kind = stack::push_cell();
  datatype::make_at(kind, type::integer);
  EXPECT_EQ(series::head_index(block::find(s, kind, nullptr, false, false, false, false, nullptr, nullptr, false,
                                           false, false, false)),
            2);
  Cell set{type::typeset, 0, 0, 0};
  cell::typeset_add(&set, type::float_);
  cell::typeset_add(&set, type::string);
  Cell* ts = stack::push_value(&set);
  EXPECT_EQ(series::head_index(block::find(s, ts, nullptr, false, false, false, false, nullptr, nullptr, false, false,
                                           false, false)),
            1);
  EXPECT_EQ(series::head_index(block::find(s, ts, nullptr, false, false, false, false, nullptr, nullptr, true, false,
                                           false, false)),
            3);
  // With /only a datatype is looked for as a value.
  Cell* with_type = load("1 a");
  block::append_value(with_type, kind);
  EXPECT_EQ(series::head_index(block::find(with_type, kind, nullptr, true, false, false, false, nullptr, nullptr,
                                           false, false, false, false)),
            2);
}

TEST_F(BlockSearch, FindSameAsksForTheVeryValue) {
  Cell* s = load("\"x\" \"x\"");
  Cell second = *block::cell_at(s, 1);
  Cell* v = stack::push_value(&second);
  Cell* r = block::find(s, v, nullptr, false, false, true, false, nullptr, nullptr, false, false, false, false);
  EXPECT_EQ(series::head_index(r), 1);
  r = block::find(s, v, nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
  EXPECT_EQ(series::head_index(r), 0);
}

TEST_F(BlockSearch, FindRefinementErrors) {
  Cell* s = load("a b c");
  Cell* v = one("a");
  Cell* zero = num(0);
  Cell* word = one("x");
  Cell* other = load("a b c");
  EXPECT_EQ(error_id([&] { block::find(s, v, nullptr, false, false, false, false, nullptr, zero, false, false, false, false); }),
            "out-of-range");
  EXPECT_EQ(error_id([&] { block::find(s, v, nullptr, false, false, false, false, nullptr, word, false, false, false, false); }),
            "invalid-refine-arg");
  EXPECT_EQ(error_id([&] { block::find(s, v, other, false, false, false, false, nullptr, nullptr, false, false, false, false); }),
            "invalid-refine-arg");
  // A /part position in the series itself bounds the range (before, not including, it).
  Cell* end = at(s, 2);
  Cell* c = one("c");
  EXPECT_EQ(block::find(s, c, end, false, false, false, false, nullptr, nullptr, false, false, false, false)->type(),
            type::none);
}

TEST_F(BlockSearch, SelectAnswersTheValueAfterTheMatch) {
  struct Case {
    const char* series;
    const char* value;
    const char* expected;  // molded, or "none"
    bool only = false;
    i32 skip = 0;
    bool last = false;
  } cases[] = {
      {"a 1 b 2", "b", "2"},
      {"a 1 b", "b", "none"},
      {"a b c d", "[a b]", "c"},
      {"a b c d", "[c d]", "none"},
      {"[a b] x a b y", "[a b]", "x", true},
      {"a 1 b 2 1 c", "1", "c", false, 2},
      {"a 1 b 2 1 c", "1", "b", false, 0},
      {"a 1 a 2", "a", "2", false, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.series) + " / " + c.value);
    Cell* skip = c.skip ? num(c.skip) : nullptr;
    Cell* r = block::select(load(c.series), one(c.value), nullptr, c.only, false, false, false, nullptr, skip, c.last,
                            false);
    EXPECT_EQ(r->type() == type::none ? "none" : mold_text(*r), c.expected);
  }
}

TEST_F(BlockSearch, ParenAndPathsInheritTheSearch) {
  Cell* p = load("a b c");
  cell::set_type(p, type::paren);
  Cell* r = actions::get<action::slot::find>(p)(p, one("b"), nullptr, false, false, false, false, nullptr, nullptr,
                                                 false, false, false, false);
  EXPECT_EQ(r->type(), type::paren);
  EXPECT_EQ(series::head_index(r), 1);
  Cell* path = load("a b c");
  cell::set_type(path, type::path);
  r = actions::get<action::slot::select>(path)(path, one("a"), nullptr, false, false, false, false, nullptr, nullptr,
                                              false, false);
  EXPECT_EQ(mold_text(*r), "b");
}

// The index of a hash! must answer as the linear scan does, whatever the refinements.
TEST_F(BlockSearch, HashIndexAgreesWithTheLinearScan) {
  std::mt19937 rng(7);
  const char* atoms[] = {"a", "A", "b", "1", "2", "\"x\"", "\"X\"", "3.5", "none", "[a]"};
  int rounds = 300;
  for (int round = 0; round < rounds; ++round) {
    Cell* mark = stack::top;
    std::string src;
    int n = static_cast<int>(rng() % 24);
    for (int i = 0; i < n; ++i) src += std::string(atoms[rng() % 10]) + " ";
    Cell* plain = load(src);
    Cell* hash = hashed(src);
    FindCase c{"", 0, "", 0, ""};
    if (rng() % 2) c.flags += 'C';
    if (rng() % 3 == 0) c.flags += 'L';
    else if (rng() % 3 == 0) c.flags += 'R';
    if (rng() % 2) c.flags += 'T';
    if (rng() % 2) c.flags += 'O';
    c.skip = rng() % 3 == 0 ? 1 + static_cast<i32>(rng() % 3) : 0;
    c.part = rng() % 4 == 0 ? 1 + static_cast<i32>(rng() % 8) : 0;
    i32 head = n ? static_cast<i32>(rng() % (n + 1)) : 0;
    const char* value = atoms[rng() % 10];
    SCOPED_TRACE(src + "/ " + value + " head " + std::to_string(head));
    Cell* a = run_find(at(plain, head), one(value), c);
    Cell* b = run_find(at(hash, head), one(value), c);
    ASSERT_EQ(a->type() == type::none, b->type() == type::none);
    if (a->type() != type::none) {
      EXPECT_EQ(series::head_index(a), series::head_index(b));
    }
    stack::top = mark;
  }
}

// ---- sort ----

std::string sorted(Cell* s, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable) {
  Cell* r = block::sort(s, case_, skip, compare, part, all, reverse, stable);
  Cell whole = *r;
  series::set_head_index(&whole, 0);
  return mold_text(whole, true);
}

TEST_F(BlockSearch, SortWithEveryOption) {
  struct Case {
    const char* series;
    const char* expected;
    bool case_ = false;
    i32 skip = 0;
    i32 compare = 0;  // an integer /compare
    bool all = false, reverse = false, stable = false;
  } cases[] = {
      {"3 1 2", "1 2 3"},
      {"3 1 2", "3 2 1", false, 0, 0, false, true},
      {"b \"s\" 2 a 1", "\"s\" 1 2 a b"},
      {"b 2 a 1", "a 1 b 2", false, 2},
      {"b 2 a 1", "b 2 a 1", false, 2, 0, false, true},
      {"x 2 y 1 z 3", "y 1 x 2 z 3", false, 2, 2},
      {"a 2 a 1 a 3", "a 1 a 2 a 3", false, 2, 0, true},
      {"a 2 a 1 a 3", "a 2 a 1 a 3", false, 2, 0, false, false, true},
      {"a 2 a 1 a 3", "a 3 a 2 a 1", false, 2, 0, true, true, true},
      {"\"b\" \"A\" \"a\" \"B\"", "\"A\" \"a\" \"b\" \"B\"", false, 0, 0, false, false, true},
      {"\"b\" \"A\" \"a\" \"B\"", "\"A\" \"B\" \"a\" \"b\"", true},
      {"c B a", "a B c"},
      {"2.5 1 3 -1.5", "-1.5 1 2.5 3"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.series);
    Cell* skip = c.skip ? num(c.skip) : nullptr;
    Cell* cmp = c.compare ? num(c.compare) : nullptr;
    EXPECT_EQ(sorted(load(c.series), c.case_, skip, cmp, nullptr, c.all, c.reverse, c.stable), c.expected);
  }
}

TEST_F(BlockSearch, SortPartAndHead) {
  EXPECT_EQ(sorted(load("3 2 1"), false, nullptr, nullptr, num(2), false, false, false), "2 3 1");
  Cell* s = load("5 4 3 2 1");
  EXPECT_EQ(sorted(at(s, 1), false, nullptr, nullptr, num(10), false, false, false), "5 1 2 3 4");
  // A negative part sorts the cells before the head and moves the head back to them.
  s = load("5 4 3 2 1");
  Cell* from = at(s, 3);
  Cell* r = block::sort(from, false, nullptr, nullptr, num(-2), false, false, false);
  EXPECT_EQ(series::head_index(r), 1);
  EXPECT_EQ(text(s), "5 3 4 2 1");
  s = load("3 2 1");
  from = at(s, 1);
  r = block::sort(from, false, nullptr, nullptr, num(-5), false, false, false);
  EXPECT_EQ(series::head_index(r), 0);
  EXPECT_EQ(text(s), "3 2 1");
  // A position in the same series.
  s = load("4 3 2 1");
  EXPECT_EQ(sorted(s, false, nullptr, nullptr, at(s, 3), false, false, false), "2 3 4 1");
}

TEST_F(BlockSearch, SortRefinementErrorsChangeNothing) {
  Cell* s = load("b 2 a 1");
  Cell* fn = one("x");
  struct Case {
    Cell* skip;
    Cell* compare;
    Cell* part;
    bool all;
    const char* id;
  } cases[] = {
      {nullptr, nullptr, nullptr, true, "bad-refines"},
      {num(3), nullptr, nullptr, false, "invalid-refine-arg"},
      {num(0), nullptr, nullptr, false, "invalid-refine-arg"},
      {num(8), nullptr, nullptr, false, "invalid-refine-arg"},
      {nullptr, num(1), nullptr, false, "bad-refines"},
      {num(2), num(1), nullptr, true, "bad-refines"},
      {num(2), num(3), nullptr, false, "out-of-range"},
      {num(2), num(0), nullptr, false, "out-of-range"},
      {num(2), fn, nullptr, false, "invalid-refine-arg"},
      {nullptr, nullptr, one("x"), false, "invalid-refine-arg"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_id([&] { block::sort(s, false, c.skip, c.compare, c.part, c.all, false, false); }), c.id);
    EXPECT_EQ(text(s), "b 2 a 1");
  }
}

// A comparison function called through the interpreter's hook: the test's C++ comparator sees the
// two arguments the function would.
class Callback {
  decltype(hooks::call_callback)::Fn saved_ = hooks::call_callback.get();

 public:
  static inline std::function<Cell(Cell*, Cell*)> body;
  static inline i32 calls = 0;
  explicit Callback(std::function<Cell(Cell*, Cell*)> f) {
    body = std::move(f);
    calls = 0;
    hooks::call_callback = [](const Cell*, i32 count) -> const Cell* {
      EXPECT_EQ(count, 2);
      ++calls;
      static Cell result;
      Cell* x = stack::top - 2;
      Cell* y = stack::top - 1;
      auto f = body;  // the body may replace itself meanwhile (nested sorts)
      result = f(x, y);
      return &result;
    };
  }
  ~Callback() { hooks::call_callback = saved_; }
  static Cell* function() {
    Cell fn{type::function, 0, 0, 0};
    return stack::push_value(&fn);
  }
};

i32 int_of(const Cell* c) { return c->as_int(); }

TEST_F(BlockSearch, SortCompareFunctionConventions) {
  Cell* fn = Callback::function();
  {
    // true: the first argument comes first.
    Callback cb([](Cell* x, Cell* y) { return test::logic_cell(int_of(x) > int_of(y)); });
    EXPECT_EQ(sorted(load("3 1 4 1 5 9 2 6"), false, nullptr, fn, nullptr, false, false, false), "9 6 5 4 3 2 1 1");
    EXPECT_EQ(sorted(load("3 1 4 1 5 9 2 6"), false, nullptr, fn, nullptr, false, true, true), "1 1 2 3 4 5 6 9");
    EXPECT_GT(Callback::calls, 0);
  }
  {
    // A number: negative when the first argument comes first.
    Callback cb([](Cell* x, Cell* y) { return int_cell(int_of(x) - int_of(y)); });
    EXPECT_EQ(sorted(load("3 1 2"), false, nullptr, fn, nullptr, false, false, true), "1 2 3");
  }
  {
    Callback cb([](Cell* x, Cell* y) {
      Cell r{type::float_, 0, 0, 0};
      r.set_double((int_of(y) - int_of(x)) * 0.5);
      return r;
    });
    EXPECT_EQ(sorted(load("3 1 2"), false, nullptr, fn, nullptr, false, false, false), "3 2 1");
  }
  {
    // With /skip the function sees the records' first cells; with /all/skip whole records as blocks.
    Callback cb([](Cell* x, Cell* y) { return test::logic_cell(mold_text(*x) < mold_text(*y)); });
    EXPECT_EQ(sorted(load("c 1 a 2 b 3"), false, num(2), fn, nullptr, false, false, true), "a 2 b 3 c 1");
  }
  {
    Callback cb([](Cell* x, Cell* y) {
      EXPECT_EQ(x->type(), type::block);
      EXPECT_EQ(block::length(x), 2);
      Cell* a = block::cell_at(x, 1);
      Cell* b = block::cell_at(y, 1);
      return test::logic_cell(int_of(a) < int_of(b));
    });
    EXPECT_EQ(sorted(load("c 3 a 2 b 1"), false, num(2), fn, nullptr, true, false, false), "b 1 a 2 c 3");
  }
}

TEST_F(BlockSearch, NestedSortsKeepTheirOwnRecords) {
  Cell* fn = Callback::function();
  Cell* inner = load("q 2 p 1");
  // The comparison itself sorts another block by records before answering from its arguments.
  Callback cb([&](Cell* x, Cell* y) {
    Cell a = *block::cell_at(x, 1), b = *block::cell_at(y, 1);
    auto outer_body = Callback::body;
    Callback::body = [](Cell* p, Cell* q) { return test::logic_cell(int_of(block::cell_at(p, 1)) < int_of(block::cell_at(q, 1))); };
    block::sort(inner, false, num(2), fn, nullptr, true, false, false);
    Callback::body = outer_body;
    return test::logic_cell(int_of(&a) < int_of(&b) && int_of(block::cell_at(x, 1)) == int_of(&a));
  });
  EXPECT_EQ(sorted(load("c 30 a 20 b 10"), false, num(2), fn, nullptr, true, false, false), "b 10 a 20 c 30");
  EXPECT_EQ(text(inner), "p 1 q 2");
}

TEST_F(BlockSearch, CompareFunctionErrorsLeaveAPermutation) {
  Cell* fn = Callback::function();
  i32 n = 0;
  Callback cb([&](Cell* x, Cell* y) {
    if (++n == 20) raise_error(ErrorCategory::user, "message");
    return test::logic_cell(int_of(x) < int_of(y));
  });
  for (bool stable : {false, true}) {
    n = 0;
    Cell* s = load("9 3 7 1 8 2 6 4 5 0 19 13 17 11 18 12 16 14 15 10");
    Cell* mark = stack::top;
    EXPECT_EQ(error_id([&] { block::sort(s, false, nullptr, fn, nullptr, false, false, stable); }), "message");
    stack::top = mark;
    std::vector<i32> got;
    for (i32 i = 0; i < block::length(s); ++i) got.push_back(int_of(block::cell_at(s, i)));
    std::sort(got.begin(), got.end());
    for (i32 i = 0; i < 20; ++i) EXPECT_EQ(got[static_cast<size_t>(i)], i);
  }
}

TEST_F(BlockSearch, SortRebuildsAHashIndex) {
  Cell* h = hashed("c b a");
  block::sort(h, false, nullptr, nullptr, nullptr, false, false, false);
  EXPECT_EQ(text(h), "a b c");
  Cell* r = block::find(h, one("c"), nullptr, false, false, false, false, nullptr, nullptr, false, false, false, false);
  // Without the hash! unit's upkeep hook the index still lists the old positions; with it the
  // answer is the new one. Either way the linear answer is what a search must give.
  if (hooks::hash_changed) {
    ASSERT_EQ(r->type(), type::hash);
    EXPECT_EQ(series::head_index(r), 2);
  }
}

// Random mixed-type blocks: the merge sort must give exactly std::stable_sort's order under the
// same comparator, the quicksort an ordered permutation. KIV_SORT_DIFF_COUNT sets the number of
// blocks (100,000 for the long run).
TEST_F(BlockSearch, SortMatchesStableSortOnRandomBlocks) {
  int count = 300;
  if (const char* env = std::getenv("KIV_SORT_DIFF_COUNT")) count = std::atoi(env);
  std::mt19937 rng(2024);
  const char* words[] = {"alpha", "Beta", "beta", "gamma", "ALPHA", "d"};
  const char* texts[] = {"\"x\"", "\"X\"", "\"abc\"", "\"ab\"", "\"\"", "\"Abd\""};
  for (int round = 0; round < count; ++round) {
    Cell* mark = stack::top;
    std::string src;
    int n = static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      switch (rng() % 7) {
        case 0: src += std::to_string(static_cast<int>(rng() % 21) - 10); break;
        case 1: src += std::to_string(static_cast<int>(rng() % 11) - 5) + ".5"; break;
        case 2: src += words[rng() % 6]; break;
        case 3: src += texts[rng() % 6]; break;
        case 4: src += rng() % 2 ? "true" : "none"; break;
        default: src += std::to_string(rng() % 5); break;
      }
      src += ' ';
    }
    bool case_ = rng() % 2, reverse = rng() % 2, stable = rng() % 2, all = false;
    i32 size = 1 + static_cast<i32>(rng() % 3);
    i32 offset = 0;
    if (n % size != 0) size = 1;
    if (size > 1) {
      if (rng() % 2) all = true;
      else offset = static_cast<i32>(rng() % size);
    }
    Cell* s = load(src);
    // The words load in the block as word! with the literal's own case; false loads as a word too.
    i32 op = case_ ? compare_op::case_sort : compare_op::sort;
    std::vector<std::vector<Cell>> records;
    for (i32 i = 0; i < n; i += size) {
      std::vector<Cell> rec;
      for (i32 k = 0; k < size; ++k) rec.push_back(*block::cell_at(s, i + k));
      records.push_back(rec);
    }
    auto cmp = [&](const std::vector<Cell>& a, const std::vector<Cell>& b) {
      const std::vector<Cell>& x = reverse ? b : a;
      const std::vector<Cell>& y = reverse ? a : b;
      if (!all) return block::sort_compare_cells(&x[static_cast<size_t>(offset)], &y[static_cast<size_t>(offset)], op) < 0;
      for (size_t k = 0; k < x.size(); ++k) {
        i32 r = block::sort_compare_cells(&x[k], &y[k], op);
        if (r != 0) return r < 0;
      }
      return false;
    };
    std::vector<std::vector<Cell>> expected = records;
    // The copies must follow the nodes the sort's collections move (their arrays stay put).
    std::vector<std::unique_ptr<test::RootCells>> keep;
    for (auto* set : {&records, &expected})
      for (auto& rec : *set) keep.push_back(std::make_unique<test::RootCells>(rec.data(), rec.size()));
    std::stable_sort(expected.begin(), expected.end(), cmp);
    Cell* skip = size > 1 ? num(size) : nullptr;
    Cell* compare = size > 1 && !all ? num(offset + 1) : nullptr;
    SCOPED_TRACE(src + (stable ? " stable" : "") + (reverse ? " reverse" : "") + (all ? " all" : "") +
                 " skip " + std::to_string(size) + " offset " + std::to_string(offset));
    block::sort(s, case_, skip, compare, nullptr, all, reverse, stable);
    std::vector<std::vector<Cell>> got;
    for (i32 i = 0; i < n; i += size) {
      std::vector<Cell> rec;
      for (i32 k = 0; k < size; ++k) rec.push_back(*block::cell_at(s, i + k));
      got.push_back(rec);
    }
    auto same = [](const std::vector<Cell>& a, const std::vector<Cell>& b) {
      return std::equal(a.begin(), a.end(), b.begin(), [](const Cell& x, const Cell& y) {
        return x.header == y.header && x.w1 == y.w1 && x.w2 == y.w2 && x.w3 == y.w3;
      });
    };
    ASSERT_EQ(got.size(), expected.size());
    if (stable) {
      for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(same(got[i], expected[i])) << "record " << i;
    } else {
      // Ordered, and the same records (each expected run of equal keys holds the same multiset).
      for (size_t i = 1; i < got.size(); ++i) ASSERT_FALSE(cmp(got[i], got[i - 1])) << "record " << i;
      std::vector<bool> used(got.size(), false);
      for (const auto& rec : expected) {
        bool found = false;
        for (size_t i = 0; i < got.size() && !found; ++i) {
          if (!used[i] && same(got[i], rec)) used[i] = found = true;
        }
        ASSERT_TRUE(found);
      }
    }
    stack::top = mark;
  }
}

// ---- set operations ----

std::string set_op(Cell* a, Cell* b, i32 op, bool case_ = false, i32 skip = 0, Cell* result = nullptr) {
  Cell* skip_cell = skip ? BlockSearch::num(skip) : nullptr;
  Cell r = b ? test::call({*a, *b}, [&] { block::do_set_operation(case_, skip_cell, op); })
             : test::call({*a}, [&] { block::do_set_operation(case_, skip_cell, op); });
  RootCell keep(r);
  std::string text = BlockSearch::text(&r);
  if (result) *result = r;
  return text;
}

TEST_F(BlockSearch, SetOperations) {
  struct Case {
    const char* a;
    const char* b;
    i32 op;
    const char* expected;
    bool case_ = false;
    i32 skip = 0;
  } cases[] = {
      {"a b a c", nullptr, block::set_op::unique, "a b c"},
      {"a b", "b c", block::set_op::union_, "a b c"},
      {"a b c", "b c d", block::set_op::intersect, "b c"},
      {"a b c", "b", block::set_op::exclude, "a c"},
      {"a b", "b c", block::set_op::difference, "a c"},
      {"a A b", nullptr, block::set_op::unique, "a b"},
      {"a A b", nullptr, block::set_op::unique, "a A b", true},
      {"\"x\" \"X\" 1 1.0 1", nullptr, block::set_op::unique, "\"x\" 1 1.0"},
      {"[1] [1] [2] (1)", nullptr, block::set_op::unique, "[1] [2] (1)"},
      {"[1] [2]", "[2] [3]", block::set_op::intersect, "[2]"},
      {"a 1 a 2 b 3", nullptr, block::set_op::unique, "a 1 b 3", false, 2},
      {"a 1 b 2 c 3", "b 9 1 a", block::set_op::exclude, "a 1 c 3", false, 2},
      {"a 1 b 2", "b 7 c 8", block::set_op::difference, "a 1 c 8", false, 2},
      {"a 1 b", nullptr, block::set_op::unique, "a 1 b", false, 2},
      {"", "", block::set_op::union_, ""},
      {"a b", "", block::set_op::intersect, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + (c.b ? c.b : "-"));
    Cell* b = c.b ? load(c.b) : nullptr;
    EXPECT_EQ(set_op(load(c.a), b, c.op, c.case_, c.skip), c.expected);
  }
  Cell* a = load("a b");
  EXPECT_EQ(error_id([&] { set_op(a, nullptr, block::set_op::unique, false, -1); }), "invalid-refine-arg");
  // A head past the tail reads as an empty series.
  Cell* past = at(load("a b"), 5);
  EXPECT_EQ(set_op(past, load("c"), block::set_op::union_), "c");
}

TEST_F(BlockSearch, SetOperationsOnHashKeepAnIndex) {
  Cell result{};
  RootCell keep_result(result);
  EXPECT_EQ(set_op(hashed("a b a c"), nullptr, block::set_op::unique, false, 0, &result), "a b c");
  ASSERT_EQ(result.type(), type::hash);
  Cell* r = stack::push_value(&result);
  EXPECT_EQ(series::head_index(block::find(r, one("c"), nullptr, false, false, false, false, nullptr, nullptr, false,
                                           false, false, false)),
            2);
  // A hash! second argument makes the result a hash!; records index every cell.
  EXPECT_EQ(set_op(load("x 1 y 2"), hashed("y 5"), block::set_op::exclude, false, 2, &result), "x 1");
  ASSERT_EQ(result.type(), type::hash);
  r = stack::push_value(&result);
  EXPECT_EQ(series::head_index(block::find(r, num(1), nullptr, false, false, false, false, nullptr, nullptr, false,
                                           false, false, false)),
            1);
  // A plain block keeps its type.
  EXPECT_EQ(set_op(load("a"), load("b"), block::set_op::union_, false, 0, &result), "a b");
  EXPECT_EQ(result.type(), type::block);
  EXPECT_EQ(result.w3, 0u);
}

// Random blocks of integers and texts against a std::set model (first appearance order kept).
TEST_F(BlockSearch, SetOperationsMatchASetModel) {
  std::mt19937 rng(99);
  using Key = std::pair<int, std::string>;
  for (int round = 0; round < 200; ++round) {
    Cell* mark = stack::top;
    bool case_ = rng() % 2;
    auto make = [&](std::vector<std::string>& items) {
      int n = static_cast<int>(rng() % 30);
      std::string src;
      for (int i = 0; i < n; ++i) {
        std::string item = rng() % 2 ? std::to_string(rng() % 12) : std::string("\"") + "aAbB"[rng() % 4] + "\"";
        items.push_back(item);
        src += item + " ";
      }
      return src;
    };
    auto key = [&](const std::string& item) {
      if (item[0] != '"') return Key{0, item};
      std::string t = item;
      if (!case_) std::transform(t.begin(), t.end(), t.begin(), [](char c) { return std::tolower(c); });
      return Key{1, t};
    };
    std::vector<std::string> xa, xb;
    std::string sa = make(xa), sb = make(xb);
    std::set<Key> in_a, in_b;
    for (auto& i : xa) in_a.insert(key(i));
    for (auto& i : xb) in_b.insert(key(i));
    for (i32 op = block::set_op::unique; op <= block::set_op::difference; ++op) {
      std::set<Key> taken;
      std::string expected;
      auto take = [&](const std::vector<std::string>& items, const std::set<Key>* other, bool keep_members) {
        for (auto& i : items) {
          Key k = key(i);
          if (other && (other->count(k) > 0) != keep_members) continue;
          if (!taken.insert(k).second) continue;
          expected += (expected.empty() ? "" : " ") + i;
        }
      };
      switch (op) {
        case block::set_op::unique: take(xa, nullptr, false); break;
        case block::set_op::union_: take(xa, nullptr, false); take(xb, nullptr, false); break;
        case block::set_op::intersect: take(xa, &in_b, true); break;
        case block::set_op::exclude: take(xa, &in_b, false); break;
        default: take(xa, &in_b, false); take(xb, &in_a, false); break;
      }
      SCOPED_TRACE(sa + "| " + sb + " op " + std::to_string(op) + (case_ ? " case" : ""));
      Cell* b = op == block::set_op::unique ? nullptr : load(sb);
      ASSERT_EQ(set_op(load(sa), b, op, case_), expected);
    }
    stack::top = mark;
  }
}

// ---- collections at every allocation ----

TEST_F(BlockSearch, SurviveCollectionsAtEveryAllocation) {
  Cell* words = load("delta Alpha charlie bravo echo alpha \"z\" 3 [b] [a] 2.5");
  Cell* texts = load("\"b\" \"a\" \"c\" \"a\"");
  Cell* records = load("c 3 a 1 b 2");
  Cell* fn = Callback::function();
  Cell* hash = hashed("k 1 j 2 k 3");
  test::Torture torture;
  u32 cycles = collector::series_cycles;
  block::sort(words, false, nullptr, nullptr, nullptr, false, false, true);
  EXPECT_EQ(text(words), "[a] [b] \"z\" 2.5 3 Alpha alpha bravo charlie delta echo");
  {
    // The function allocates (it makes a string for each argument) and so collects at every call.
    Callback cb([](Cell* x, Cell* y) {
      Cell* sx = stack::push_cell();
      actions::mold_to(x, sx);
      Cell* sy = stack::push_cell();
      actions::mold_to(y, sy);
      return test::logic_cell(string::to_utf8(sx) > string::to_utf8(sy));
    });
    block::sort(texts, false, nullptr, fn, nullptr, false, false, true);
    EXPECT_EQ(text(texts), "\"c\" \"b\" \"a\" \"a\"");
    block::sort(records, false, num(2), fn, nullptr, true, false, false);
    EXPECT_EQ(text(records), "c 3 b 2 a 1");
  }
  EXPECT_EQ(set_op(load("a b a [x] [x] c"), load("c d"), block::set_op::difference), "a b [x] d");
  EXPECT_EQ(set_op(hash, nullptr, block::set_op::unique, false, 2), "k 1 j 2");
  EXPECT_EQ(mold_text(*block::select(words, one("bravo"), nullptr, false, false, false, false, nullptr, nullptr,
                                     false, false)),
            "charlie");
  EXPECT_GT(collector::series_cycles, cycles + 20);
}

}  // namespace
}  // namespace kiv
