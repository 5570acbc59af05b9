// The symbol table: interning, case aliases, name strings and symbol comparison.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/hashtable.h"
#include "runtime/roots.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

class Symbols : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

std::string lower_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

TEST_F(Symbols, InternsOnceAndRecordsTheFirstFormAsAlias) {
  i32 foo = symbol::make("sym-foo");
  EXPECT_EQ(symbol::make("sym-foo"), foo) << "the same name twice";
  EXPECT_EQ(symbol::alias(foo), -1);

  i32 Foo = symbol::make("Sym-Foo");
  EXPECT_NE(Foo, foo) << "a case variant is a symbol of its own";
  EXPECT_EQ(symbol::alias(Foo), foo);
  EXPECT_EQ(symbol::resolve(Foo), foo);
  EXPECT_EQ(symbol::resolve(foo), foo);
  EXPECT_EQ(symbol::name(Foo), "Sym-Foo") << "the written form is kept";

  i32 before = symbol::count();
  EXPECT_EQ(symbol::make_no_alias("SYM-FOO"), foo) << "no-alias answers the existing form";
  EXPECT_EQ(symbol::count(), before) << "and adds nothing";
  i32 fresh = symbol::make_no_alias("sym-no-alias-fresh");
  EXPECT_EQ(symbol::alias(fresh), -1);
  EXPECT_EQ(symbol::count(), before + 1);
}

TEST_F(Symbols, TheFirstInternedFormIsCanonicalWhateverItsCase) {
  i32 upper = symbol::make("SYM-Bar");
  i32 lower = symbol::make("sym-bar");
  EXPECT_EQ(symbol::alias(upper), -1);
  EXPECT_EQ(symbol::alias(lower), upper);
  i32 third = symbol::make("SYM-BAR");
  EXPECT_EQ(symbol::alias(third), upper) << "every variant names the first form, never another variant";
}

TEST_F(Symbols, OnlyAsciiLettersFoldAndLengthsMustMatch) {
  struct Case {
    const char* a;
    const char* b;
  };
  // Pairs that must stay distinct canonical symbols.
  const Case distinct[] = {
      {"sym-\xC3\xA9t\xC3\xA9", "sym-\xC3\x89T\xC3\x89"},  // été / ÉTÉ: only the ASCII T folds
      {"sym-ab", "sym-abc"},
      {"sym-abc", "sym-ab"},
      {"sym-[", "sym-{"},  // 0x5B and 0x7B differ by the case bit but are not letters
  };
  for (const Case& c : distinct) {
    i32 a = symbol::make(c.a), b = symbol::make(c.b);
    EXPECT_NE(a, b) << c.a << " / " << c.b;
    EXPECT_EQ(symbol::resolve(b), b) << c.b << " is canonical";
  }
}

TEST_F(Symbols, NameStringIsMadeOnceAndReadsAsText) {
  i32 id = symbol::make("sym-na\xC3\xAFve");
  EXPECT_EQ(symbol::cell_of(id)->w2, 0u) << "not made before it is needed";
  Ref<Node> first = symbol::get_name_string(id);
  EXPECT_EQ(symbol::get_name_string(id), first);
  EXPECT_EQ(symbol::get(id)->w2, first.offset());
  Cell s{type::string, 0, first.offset(), 0};
  EXPECT_EQ(string::to_utf8(&s), "sym-na\xC3\xAFve");
  // A copy of the cell finds its way back to the same symbol.
  Cell copy = *symbol::cell_of(id);
  EXPECT_EQ(symbol::id_of(&copy), id);
}

TEST_F(Symbols, FromBufferAndFromString) {
  const u8 bytes[] = {'s', 'y', 'm', '-', 'b', 'u', 'f', 'x'};
  i32 id = symbol::make_from_buffer(bytes, 7);
  EXPECT_EQ(symbol::name(id), "sym-buf");
  Cell text{};
  RootCell keep(text);
  string::make_from_utf8(&text, "sym-from-string!");
  EXPECT_EQ(symbol::name(symbol::make_from_string(&text, -1)), "sym-from-string!");
  EXPECT_EQ(symbol::name(symbol::make_from_string(&text, 8)), "sym-from");
}

TEST_F(Symbols, CompareOrdersByName) {
  i32 apple = symbol::make("sym-apple"), banana = symbol::make("sym-Banana");
  Cell a = *symbol::cell_of(apple);
  Cell b = *symbol::cell_of(banana);
  RootCell keep_a(a), keep_b(b);  // comparing makes the name strings
  EXPECT_LT(symbol::compare(&a, &b, compare_op::lesser), 0) << "orderings ignore case";
  EXPECT_GT(symbol::compare(&b, &a, compare_op::sort), 0);
  Cell n = test::int_cell(1);
  EXPECT_EQ(symbol::compare(&a, &n, compare_op::equal), -2);
}

TEST_F(Symbols, TheTableGrowsAndKeepsEveryName) {
  // More names than the boot table's fill limit: the index is rehashed and must still find all.
  hashtable::Table* t = hashtable::record_of(Ref<Node>(symbol::block_cell()->w3));
  i32 buckets_before = t->n_buckets;
  i32 need = t->upper_bound - t->n_occupied + 10;
  std::vector<i32> ids;
  for (i32 i = 0; i < need; ++i) ids.push_back(symbol::make(("sym-grow-" + std::to_string(i)).c_str()));
  EXPECT_GT(hashtable::record_of(Ref<Node>(symbol::block_cell()->w3))->n_buckets, buckets_before);
  for (i32 i = 0; i < need; ++i) {
    std::string n = "sym-grow-" + std::to_string(i);
    ASSERT_EQ(symbol::make(n.c_str()), ids[static_cast<size_t>(i)]) << n;
    ASSERT_EQ(symbol::name(ids[static_cast<size_t>(i)]), n);
  }
}

// The alias invariant on random case variants: every symbol's alias is the id of the first form of
// its name interned ignoring case (-1 for that form). Runs across a rehash of the table. Set
// KIV_SYMBOL_PROPERTY_N for a bigger run.
TEST_F(Symbols, AliasInvariantHoldsForRandomCaseVariants) {
  i32 n = 16000;
  i32 buckets_before = hashtable::record_of(Ref<Node>(symbol::block_cell()->w3))->n_buckets;
  if (const char* env = std::getenv("KIV_SYMBOL_PROPERTY_N")) n = std::atoi(env);
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> len(2, 8), letter(0, 25), coin(0, 1), pick(0, 99);
  std::unordered_map<std::string, i32> first_form;  // folded name -> id of its first form
  std::vector<std::string> bases;
  auto buckets = [] { return hashtable::record_of(Ref<Node>(symbol::block_cell()->w3))->n_buckets; };
  // Draw on until a few thousand names after the table's next rehash when that is near (it is in a
  // fresh process); otherwise n draws.
  hashtable::Table* t = hashtable::record_of(Ref<Node>(symbol::block_cell()->w3));
  const bool cross = t->upper_bound - t->n_occupied < 30000;
  i32 after_rehash = 3000;
  for (i32 i = 0; i < n || (cross && after_rehash > 0 && i < 200000); ++i) {
    if (buckets() > buckets_before) --after_rehash;
    std::string name;
    if (!bases.empty() && pick(rng) < 60) {
      // A random case variant of a name seen before.
      name = bases[static_cast<size_t>(rng() % bases.size())];
      for (char& c : name)
        if (c >= 'a' && c <= 'z' && coin(rng)) c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z' && coin(rng)) c = static_cast<char>(c - 'A' + 'a');
    } else {
      name = "%q";
      for (int k = len(rng); k > 0; --k) name.push_back(static_cast<char>((coin(rng) ? 'a' : 'A') + letter(rng)));
      bases.push_back(name);
    }
    i32 id = symbol::make(name.c_str());
    std::string key = lower_ascii(name);
    auto [it, inserted] = first_form.try_emplace(key, id);
    if (inserted) {
      ASSERT_EQ(symbol::alias(id), -1) << name;
    } else {
      ASSERT_EQ(symbol::resolve(id), it->second) << name;
      ASSERT_EQ(symbol::alias(id), id == it->second ? -1 : it->second) << name;
    }
    ASSERT_EQ(symbol::name(id), name);
  }
  if (cross) {
    EXPECT_GT(buckets(), buckets_before) << "the run must cross a rehash of the table";
  }
}

}  // namespace
}  // namespace kiv
