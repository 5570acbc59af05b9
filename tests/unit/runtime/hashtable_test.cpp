// Hash tables: sizing and growth, rehashing, deletion, each kind's put/find/remove, the kind-0 index
// upkeep after block edits (checked against a model), copies, and the pointer-keyed tables with their
// weak sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/array.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"
#include "tests/unit/string_fixture.h"

namespace kiv {
namespace {

namespace ht = hashtable;
using test::int_cell;

class HashTable : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

// A block! of strings, in a rooted cell owned by the caller.
Cell strings(std::initializer_list<const char*> texts) {
  Cell b{};
  RootCell keep(b);
  block::make_at(&b, static_cast<i32>(texts.size()));
  for (const char* t : texts) {
    Cell* s = string::make_from_utf8(stack::push_cell(), t);
    block::append_value(&b, s);
    stack::drop(1);
  }
  return b;
}

// A string! on the value stack (kept until the next test).
Cell* str_at(const char* text) { return string::make_from_utf8(stack::push_cell(), text); }

i32 length_of(Ref<Node> table) { return static_cast<i32>(buffer_of(ht::block_of(table))->used_bytes() / 16); }
Cell* cells(Ref<Node> table) { return buffer_of(ht::block_of(table))->head_ptr<Cell>(); }
// Appends a copy of the value to the table's own backing block and indexes it; answers its position.
i32 add(Ref<Node>& table, Cell value) {  // table: a rooted variable
  RootCell keep(value);
  Cell* c = cell::reserve_tail_cell(buffer_of(ht::block_of(table)));
  *c = value;
  i32 p = length_of(table) - 1;
  ht::put_index(table, p);
  return p;
}

// The same for a map! pair: both cells appended, the key indexed.
i32 add_pair(Ref<Node>& table, Cell key, Cell value) {
  RootCell keep(value);
  i32 p = add(table, key);
  *cell::reserve_tail_cell(buffer_of(ht::block_of(table))) = value;
  return p;
}

TEST_F(HashTable, SizingFollowsTheWantedSize) {
  struct Case {
    i32 size, kind, buckets, upper;
  };
  const Case cases[] = {
      {0, ht::kind_map, 8, 6},       {4, ht::kind_map, 8, 6},         {5, ht::kind_hash, 8, 6},
      {6, ht::kind_map, 8, 6},       {7, ht::kind_map, 16, 12},       {100, ht::kind_hash, 256, 197},
      {3999, ht::kind_word, 8192, 6307}, {4000, ht::kind_word, 16384, 12615}, {4000, ht::kind_map, 8192, 6307},
      {-5, ht::kind_pointer, 8, 6},
  };
  for (const Case& c : cases) {
    Ref<Node> t = ht::make(c.size, nullptr, c.kind, 1);
    ht::Table* r = ht::record_of(t);
    EXPECT_EQ(r->n_buckets, c.buckets) << "size " << c.size << " kind " << c.kind;
    EXPECT_EQ(r->upper_bound, c.upper) << "size " << c.size << " kind " << c.kind;
    EXPECT_EQ(r->size, 0);
    EXPECT_EQ(r->kind, c.kind);
    // Every bucket starts empty.
    for (i32 i = 0; i < r->n_buckets; ++i) ASSERT_EQ(ht::bucket_flags(ht::flags_of(r), static_cast<u32>(i)), ht::empty_bucket);
  }
  EXPECT_EQ(ht::pow2(0), 0u);
  EXPECT_EQ(ht::pow2(1), 1u);
  EXPECT_EQ(ht::pow2(5), 8u);
  EXPECT_EQ(ht::pow2(8), 8u);
  EXPECT_EQ(ht::pow2(0x40000001), 0x80000000u);
}

TEST_F(HashTable, KnownHashes) {
  u32 saved = random::hash_seed;
  struct Case {
    const char* text;
    u32 seed, hash;
  };
  const Case cases[] = {
      {"", 0, 0},
      {"", 1, 0x514E28B7},
      {"", 0xFFFFFFFF, 0x81F16F39},
      {"aaaa", 0x9747B28C, 0x5A97808A},
      {"abc", 0, 0xB3DD93FA},
      {"Hello, world!", 0x9747B28C, 0x24884CBA},
      {"The quick brown fox jumps over the lazy dog", 0x9747B28C, 0x2FA826CD},
  };
  for (const Case& c : cases) {
    random::hash_seed = c.seed;
    EXPECT_EQ(ht::murmur3_32(c.text, static_cast<i32>(std::strlen(c.text))), c.hash) << c.text;
  }
  random::hash_seed = saved;
  EXPECT_EQ(ht::hash_pointer(0), 0u);
  EXPECT_EQ(ht::hash_pointer(1), 0x514E28B7u);  // fmix32(1), the empty-input hash with seed 1
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ht::fold_ascii(reinterpret_cast<const u8*>("AbZ@[é"), 7)), 7),
            "abz@[é");
}

TEST_F(HashTable, EqualValuesHashAlike) {
  using test::str_unit;
  // Case folding, and the same text in every unit width.
  Cell* a = test::str("abc\u00e9");
  Cell* b = test::str("ABC\u00c9");
  Cell* a2 = str_unit(U"abc\u00e9", 2);
  Cell* a4 = str_unit(U"abc\u00e9", 4);
  EXPECT_EQ(ht::hash_value(a, false), ht::hash_value(b, false));
  EXPECT_NE(ht::hash_value(a, true), ht::hash_value(b, true));
  EXPECT_EQ(ht::hash_value(a, true), ht::hash_value(a2, true));
  EXPECT_EQ(ht::hash_value(a, true), ht::hash_value(a4, true));
  // The head counts: "xabcé" from index 1 hashes as "abcé".
  Cell* x = test::str("xabc\u00e9");
  string::set_head_index(x, 1);
  EXPECT_EQ(ht::hash_value(x, true), ht::hash_value(a, true));
  // A lookup key hashes only its counted characters.
  Cell key = *test::str("abc\u00e9 and more");
  key.header = ht::lookup_key_type;
  key.w3 = 4;
  EXPECT_EQ(ht::hash_value(&key, false), ht::hash_value(a, false));

  // 0.0 and -0.0 are equal, so they hash alike (float!, percent!, time!).
  for (u32 ty : {type::float_, type::percent, type::time}) {
    Cell z, nz;
    float_::box(&z, 0.0, ty);
    float_::box(&nz, -0.0, ty);
    EXPECT_EQ(ht::hash_value(&z, false), ht::hash_value(&nz, false)) << "type " << ty;
  }
  Cell one, two;
  float_::box(&one, 1.0);
  float_::box(&two, 2.0);
  EXPECT_NE(ht::hash_value(&one, false), ht::hash_value(&two, false));
  // Fixed answers and scalars.
  Cell none = test::none_cell(), unset{type::unset, 0, 0, 0};
  EXPECT_EQ(ht::hash_value(&none, false), static_cast<u32>(-1));
  EXPECT_EQ(ht::hash_value(&unset, false), static_cast<u32>(-2));
  Cell i = int_cell(65), c{type::char_, 0, 65, 0};
  // An integer and a character of one value hash alike; neighbours share a run of buckets.
  EXPECT_EQ(ht::hash_value(&i, false), ht::hash_value(&c, false));
  Cell next = int_cell(66);
  EXPECT_EQ(ht::hash_value(&next, false), ht::hash_value(&i, false) + 1);
}

TEST_F(HashTable, NamesCompareWholeBytes) {
  const u8* a = reinterpret_cast<const u8*>("Foo\0x");
  const u8* b = reinterpret_cast<const u8*>("fOO\0y");
  EXPECT_TRUE(ht::compare_names(a, b, 3, true));
  EXPECT_FALSE(ht::compare_names(a, b, 3, false));
  EXPECT_FALSE(ht::compare_names(a, b, 5, true)) << "a NUL does not end the comparison";
  const u8* e1 = reinterpret_cast<const u8*>("\xC3\xA9");  // é
  const u8* e2 = reinterpret_cast<const u8*>("\xC3\x89");  // É: only ASCII letters fold
  EXPECT_FALSE(ht::compare_names(e1, e2, 2, true));
}

// ---- Kind 1 (map!) --------------------------------------------------------------------------

TEST_F(HashTable, MapKeysAreStrictlyDistinctAndFoundWithOrWithoutCase) {
  Cell blk = strings({"abc", "v1", "ABC", "v2", "b", "v3"});
  RootCell keep(blk);
  Ref<Node> t = ht::make(3, &blk, ht::kind_map, 0);
  RootNode keep_t(t);
  EXPECT_EQ(ht::size_of(t), 3);
  Cell* abc = str_at("abc");
  Cell* ABC = str_at("ABC");
  Cell* Abc = str_at("Abc");
  Cell* zz = str_at("zz");
  EXPECT_EQ(ht::find_index(t, abc, 0, 1, compare_op::strict_equal, false, false), 0);
  EXPECT_EQ(ht::find_index(t, ABC, 0, 1, compare_op::strict_equal, false, false), 2);
  EXPECT_EQ(ht::find_index(t, Abc, 0, 1, compare_op::strict_equal, false, false), -1);
  EXPECT_GE(ht::find_index(t, Abc, 0, 1, compare_op::equal, false, false), 0);
  EXPECT_EQ(ht::find(t, zz, 0, 1, compare_op::equal, false, false), nullptr);

  // Every key equal to "Abc" without case, through the saved probe.
  std::set<i32> seen;
  ht::ProbeState st;
  while (Cell* k = ht::find_next(t, Abc, &st)) seen.insert(static_cast<i32>(k - cells(t)));
  EXPECT_EQ(seen, (std::set<i32>{0, 2}));
  EXPECT_EQ(ht::find_next(t, Abc, &st), nullptr) << "an ended probe stays ended";

  // A lookup key: the first three characters of "ABCdef".
  Cell* key = str_at("ABCdef");
  key->header = ht::lookup_key_type;
  key->w3 = 3;
  EXPECT_EQ(ht::find_index(t, key, 0, 1, compare_op::strict_equal, false, false), 2);
  key->w3 = 2;
  EXPECT_EQ(ht::find_index(t, key, 0, 1, compare_op::equal, false, false), -1);

  // Removing a pair marks its value cell; the key stays indexed.
  ht::delete_index(t, 2);
  EXPECT_EQ(cells(t)[3].header, 0u);
  EXPECT_EQ(ht::size_of(t), 2);
  ht::delete_index(t, 2);
  EXPECT_EQ(ht::size_of(t), 2) << "removing twice counts once";
  EXPECT_EQ(ht::find_index(t, ABC, 0, 1, compare_op::strict_equal, false, false), 2);
}

TEST_F(HashTable, MapFromBlockMergesRepeatedKeys) {
  Cell blk = test::block_of({int_cell(1), int_cell(10), int_cell(2), int_cell(20), int_cell(1), int_cell(11),
                       int_cell(3), int_cell(30), int_cell(1), int_cell(12)});
  RootCell keep(blk);
  Ref<Node> t = ht::make(5, &blk, ht::kind_map, 0);
  RootNode keep_t(t);
  std::vector<i32> got;
  for (i32 i = 0; i < block::length(&blk); ++i) got.push_back(block::cell_at(&blk, i)->as_int());
  EXPECT_EQ(got, (std::vector<i32>{1, 12, 2, 20, 3, 30})) << "first position, last value";
  EXPECT_EQ(ht::size_of(t), 3);
  for (i32 k : {1, 2, 3}) {
    Cell v = int_cell(k);
    EXPECT_EQ(ht::find_index(t, &v, 0, 1, compare_op::strict_equal, false, false), (k - 1) * 2);
  }
}

TEST_F(HashTable, MapGrowsAndKeepsEveryKey) {
  Ref<Node> t = ht::make(4, nullptr, ht::kind_map, 0);
  RootNode keep(t);
  for (i32 k = 0; k < 6; ++k) add_pair(t, int_cell(k), int_cell(k * 100));
  EXPECT_EQ(ht::record_of(t)->n_buckets, 8);
  EXPECT_EQ(ht::record_of(t)->n_occupied, 6);
  add_pair(t, int_cell(6), int_cell(600));  // the seventh key doubles the table
  EXPECT_EQ(ht::record_of(t)->n_buckets, 16);
  for (i32 k = 7; k < 500; ++k) add_pair(t, int_cell(k), int_cell(k * 100));
  ht::Table* r = ht::record_of(t);
  EXPECT_EQ(r->size, 500);
  EXPECT_LT(r->n_occupied, r->upper_bound);
  EXPECT_EQ(r->n_buckets, 1024);
  for (i32 k = 0; k < 500; ++k) {
    Cell v = int_cell(k);
    ASSERT_EQ(ht::find_index(t, &v, 0, 1, compare_op::equal, false, false), 2 * k) << k;
  }
  // An explicit resize moves the keys in place, up and back down.
  for (i32 request : {5000, 700, 1, 1025}) {
    ht::resize(t, request);
    r = ht::record_of(t);
    EXPECT_EQ(r->n_buckets, request == 1 ? 1024 : static_cast<i32>(ht::pow2(static_cast<u32>(request))))
        << "a table too small for the keys is left alone";
    for (i32 k = 0; k < 500; ++k) {
      Cell v = int_cell(k);
      ASSERT_EQ(ht::find_index(t, &v, 0, 1, compare_op::equal, false, false), 2 * k) << k << " after " << request;
    }
  }
}

// ---- Kind 2 (word tables) ---------------------------------------------------------------------

TEST_F(HashTable, WordTablesGrowSixteenOrThirtyTwoFold) {
  for (bool with_deletions : {false, true}) {
    Ref<Node> t = ht::make(4, nullptr, ht::kind_word, 0);
    RootNode keep(t);
    for (i32 k = 1; k <= 6; ++k) add(t, int_cell(k));
    if (with_deletions)
      for (i32 p = 0; p < 4; ++p) ht::delete_index(t, p);
    EXPECT_EQ(ht::record_of(t)->n_occupied, 6);
    EXPECT_EQ(ht::size_of(t), with_deletions ? 2 : 6);
    add(t, int_cell(7));
    EXPECT_EQ(ht::record_of(t)->n_buckets, with_deletions ? 128 : 256);
    EXPECT_EQ(ht::record_of(t)->n_occupied, ht::size_of(t));
    for (i32 k = with_deletions ? 5 : 1; k <= 7; ++k) {
      Cell v = int_cell(k);
      EXPECT_EQ(ht::find_index(t, &v, 0, 1, compare_op::strict_equal, false, false), k - 1);
    }
    Cell gone = int_cell(1);
    if (with_deletions) {
      EXPECT_EQ(ht::find_index(t, &gone, 0, 1, compare_op::strict_equal, false, false), -1);
    }
  }
}

TEST_F(HashTable, ClonedWordTableIsIndependent) {
  Ref<Node> t = ht::make(4, nullptr, ht::kind_word, 0);
  RootNode keep(t);
  for (i32 k = 1; k <= 5; ++k) add(t, int_cell(k * 3));
  Ref<Node> c = ht::clone_word_table(t);
  RootNode keep_c(c);
  EXPECT_NE(ht::block_of(c), ht::block_of(t));
  EXPECT_EQ(ht::size_of(c), 5);
  add(c, int_cell(99));
  Cell v = int_cell(99), w = int_cell(12);
  EXPECT_EQ(ht::find_index(c, &v, 0, 1, compare_op::strict_equal, false, false), 5);
  EXPECT_EQ(ht::find_index(t, &v, 0, 1, compare_op::strict_equal, false, false), -1);
  EXPECT_EQ(ht::find_index(c, &w, 0, 1, compare_op::strict_equal, false, false), 3);
  // A context! value given to make with n = 2 clones its word table.
  Cell ctx{type::context, t.offset(), 0, 0};
  Ref<Node> d = ht::make(0, &ctx, ht::kind_word, 2);
  EXPECT_EQ(ht::size_of(d), 5);
  EXPECT_EQ(length_of(d), 5);
}

// ---- Kind 0 (hash!) -------------------------------------------------------------------------

TEST_F(HashTable, HashIndexChainsEqualKeys) {
  Cell blk = strings({"abc", "x", "ABC", "abc", "y"});
  RootCell keep(blk);
  Ref<Node> t = ht::make(5, &blk, ht::kind_hash, 0);
  RootNode keep_t(t);
  EXPECT_EQ(ht::size_of(t), 3) << "a chain counts once";
  const Cell& abc = *str_at("abc");
  const Cell& ABC = *str_at("ABC");
  auto find = [&](const Cell& v, i32 head, i32 op) { return ht::find_index(t, &v, head, 1, op, false, false); };
  EXPECT_EQ(find(abc, 0, compare_op::equal), 0);
  EXPECT_EQ(find(ABC, 0, compare_op::equal), 0);
  EXPECT_EQ(find(ABC, 0, compare_op::strict_equal), 2) << "find/case tells them apart";
  EXPECT_EQ(find(abc, 1, compare_op::strict_equal), 3);
  EXPECT_EQ(find(abc, 4, compare_op::equal), -1);

  ht::delete_index(t, 0);
  EXPECT_EQ(find(abc, 0, compare_op::equal), 2);
  EXPECT_EQ(ht::size_of(t), 3);
  ht::delete_index(t, 2);
  ht::delete_index(t, 3);
  EXPECT_EQ(find(abc, 0, compare_op::equal), -1);
  EXPECT_EQ(ht::size_of(t), 2) << "an emptied chain frees its bucket";
  ht::delete_index(t, 3);  // nothing left to remove
  EXPECT_EQ(ht::size_of(t), 2);
  ht::put_index(t, 3);
  EXPECT_EQ(find(ABC, 0, compare_op::equal), 3);
}

TEST_F(HashTable, HashFindHonoursSkipLastAndReverse) {
  // 7 at positions 0, 2, 4, 6.
  Cell blk = test::ints({7, 1, 7, 2, 7, 3, 7});
  RootCell keep(blk);
  Ref<Node> t = ht::make(7, &blk, ht::kind_hash, 0);
  RootNode keep_t(t);
  struct Case {
    i32 head, skip;
    bool last, reverse;
    i32 want;
  };
  const Case cases[] = {
      {0, 1, false, false, 0}, {1, 1, false, false, 2}, {1, 2, false, false, -1}, {0, 2, false, false, 0},
      {3, 3, false, false, 6}, {7, 1, false, false, -1}, {0, 1, true, false, 6}, {3, 1, true, false, 6},
      {1, 2, true, false, 6},  {0, 2, true, false, -1}, {5, 1, false, true, 4}, {0, 1, false, true, -1},
      {5, 2, false, true, 4},  {6, 2, false, true, -1},  {7, 3, false, true, 6}, {6, 3, false, true, 2},
  };
  Cell seven = int_cell(7);
  for (const Case& c : cases)
    EXPECT_EQ(ht::find_index(t, &seven, c.head, c.skip, compare_op::equal, c.last, c.reverse), c.want)
        << "head " << c.head << " skip " << c.skip << (c.last ? " /last" : "") << (c.reverse ? " /reverse" : "");
}

TEST_F(HashTable, HashIndexAlwaysAtLeastDoubles) {
  Ref<Node> t = ht::make(4, nullptr, ht::kind_hash, 0);
  RootNode keep(t);
  for (i32 k = 0; k < 6; ++k) add(t, int_cell(k));
  EXPECT_EQ(ht::record_of(t)->n_buckets, 8);
  // Deleting most keys still doubles on the next fill: the rebuild is sized from the request.
  for (i32 p = 0; p < 5; ++p) ht::delete_index(t, p);
  Cell* c = cell::reserve_tail_cell(buffer_of(ht::block_of(t)));
  *c = int_cell(6);
  i32 status = -1;
  ht::put_with_status(t, cells(t) + 6, &status);
  EXPECT_EQ(status, 2) << "rebuilt";
  EXPECT_EQ(ht::record_of(t)->n_buckets, 16);
  // The rebuild indexed the whole block again, the deleted cells included.
  for (i32 k = 0; k <= 6; ++k) {
    Cell v = int_cell(k);
    EXPECT_EQ(ht::find_index(t, &v, 0, 1, compare_op::equal, false, false), k);
  }
  EXPECT_EQ(ht::size_of(t), 7);
}

// The model of a kind-0 index: for every position the first equal value at or after it is itself,
// values never stored are not found, and every reverse entry names a bucket holding its position.
void expect_index_matches(Ref<Node> t, const std::vector<i32>& model, const char* step) {
  ASSERT_EQ(length_of(t), static_cast<i32>(model.size())) << step;
  std::set<i32> distinct(model.begin(), model.end());
  EXPECT_EQ(ht::size_of(t), static_cast<i32>(distinct.size())) << step;
  for (i32 p = 0; p < static_cast<i32>(model.size()); ++p) {
    ASSERT_EQ(cells(t)[p].as_int(), model[static_cast<size_t>(p)]) << step;
    Cell v = int_cell(model[static_cast<size_t>(p)]);
    ASSERT_EQ(ht::find_index(t, &v, p, 1, compare_op::equal, false, false), p) << step << " at " << p;
    i32 before = -1;
    for (i32 q = p - 1; q >= 0; --q)
      if (model[static_cast<size_t>(q)] == model[static_cast<size_t>(p)]) {
        before = q;
        break;
      }
    ASSERT_EQ(ht::find_index(t, &v, p, 1, compare_op::equal, false, true), before) << step << " reverse at " << p;
  }
  Cell missing = int_cell(-1);
  EXPECT_EQ(ht::find_index(t, &missing, 0, 1, compare_op::equal, false, false), -1);
}

TEST_F(HashTable, HashIndexFollowsBlockEdits) {
  std::mt19937 rng(1234);
  std::vector<i32> model;
  Ref<Node> t = ht::make(4, nullptr, ht::kind_hash, 0);
  RootNode keep(t);
  for (i32 i = 0; i < 40; ++i) {
    model.push_back(static_cast<i32>(rng() % 12));
    add(t, int_cell(model.back()));
  }
  expect_index_matches(t, model, "built");
  for (int op = 0; op < 400; ++op) {
    const i32 len = static_cast<i32>(model.size());
    const int kind = static_cast<int>(rng() % 4);
    if (kind == 0 || len < 4) {  // insert k cells at c
      i32 c = static_cast<i32>(rng() % static_cast<u32>(len + 1)), k = 1 + static_cast<i32>(rng() % 3);
      ASSERT_EQ(ht::shift_indexes(t, k, c, len - c, true), 0);
      for (i32 j = 0; j < k; ++j) cell::reserve_tail_cell(buffer_of(ht::block_of(t)));
      Cell* cs = cells(t);
      std::memmove(cs + c + k, cs + c, static_cast<size_t>(len - c) * sizeof(Cell));
      for (i32 j = 0; j < k; ++j) {
        i32 v = static_cast<i32>(rng() % 12);
        model.insert(model.begin() + c + j, v);
        cells(t)[c + j] = int_cell(v);
      }
      for (i32 j = 0; j < k; ++j) ht::put_index(t, c + j);  // after a rebuild the rest are indexed already
    } else if (kind == 1) {  // remove k cells at c
      i32 k = 1 + static_cast<i32>(rng() % 3);
      i32 c = static_cast<i32>(rng() % static_cast<u32>(len - k + 1));
      ht::remove_range(t, c, k);
      Cell* cs = cells(t);
      std::memmove(cs + c, cs + c + k, static_cast<size_t>(len - c - k) * sizeof(Cell));
      buffer_of(ht::block_of(t))->tail -= static_cast<u32>(k) * sizeof(Cell);
      model.erase(model.begin() + c, model.begin() + c + k);
      ASSERT_EQ(ht::shift_indexes(t, -k, c + k, len - c - k, true), 0);
    } else if (kind == 2) {  // move n cells from c to start at b
      i32 n = 1 + static_cast<i32>(rng() % 4);
      i32 c = static_cast<i32>(rng() % static_cast<u32>(len - n + 1));
      i32 b = static_cast<i32>(rng() % static_cast<u32>(len - n + 1));
      std::vector<i32> run(model.begin() + c, model.begin() + c + n);
      model.erase(model.begin() + c, model.begin() + c + n);
      model.insert(model.begin() + b, run.begin(), run.end());
      for (i32 p = 0; p < len; ++p) cells(t)[p] = int_cell(model[static_cast<size_t>(p)]);
      ht::move_indexes(t, b, c, n);
    } else {  // the removal path without the reverse index: delete, then renumber what follows
      i32 c = static_cast<i32>(rng() % static_cast<u32>(len));
      ht::delete_index(t, c);
      ht::shift_indexes(t, -1, c + 1, len - c - 1, true);
      Cell* cs = cells(t);
      std::memmove(cs + c, cs + c + 1, static_cast<size_t>(len - c - 1) * sizeof(Cell));
      buffer_of(ht::block_of(t))->tail -= sizeof(Cell);
      model.erase(model.begin() + c);
    }
    expect_index_matches(t, model, ("op " + std::to_string(op)).c_str());
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(ht::shift_indexes(t, 1, 0, ht::max_shift + 1, true), 1) << "too many to shift: the caller resets";
  ht::remove_range(t, 0, static_cast<i32>(model.size()) + 5);
  EXPECT_EQ(ht::size_of(t), 0);
  EXPECT_EQ(ht::record_of(t)->n_occupied, 0);
}

TEST_F(HashTable, CopiedHashIndexOwnsItsChains) {
  Cell blk = test::ints({5, 5, 6});
  RootCell keep(blk);
  Ref<Node> t = ht::make(3, &blk, ht::kind_hash, 0);
  RootNode keep_t(t);
  Ref<Node> nb = memory::copy_series(series::buffer_of(&blk));
  RootNode keep_nb(nb);
  Ref<Node> c = ht::copy(t, nb);
  RootNode keep_c(c);
  EXPECT_EQ(ht::block_of(c), nb);
  // A third 5 joins the source's chain only.
  add(t, int_cell(5));
  ht::delete_index(t, 0);
  ht::delete_index(t, 1);
  Cell five = int_cell(5);
  EXPECT_EQ(ht::find_index(t, &five, 0, 1, compare_op::equal, false, false), 3);
  EXPECT_EQ(ht::find_index(c, &five, 0, 1, compare_op::equal, false, false), 0);
  EXPECT_EQ(ht::find_index(c, &five, 1, 1, compare_op::equal, false, false), 1);
  EXPECT_EQ(ht::find_index(c, &five, 2, 1, compare_op::equal, false, false), -1);
  ht::clear(c);
  EXPECT_EQ(ht::find_index(c, &five, 0, 1, compare_op::equal, false, false), -1);
  EXPECT_EQ(ht::size_of(c), 0);
  ht::reset(c, 3);
  EXPECT_EQ(ht::size_of(c), 2);
  EXPECT_EQ(ht::find_index(c, &five, 1, 1, compare_op::equal, false, false), 1);
}

TEST_F(HashTable, StaleIdentitiesAreRehashedBeforeLookup) {
  // Blocks hash by identity; a node compaction would change identities, so a kind-0 table holding
  // one records the compaction count and rebuilds when it moves on.
  Cell inner = test::ints({1});
  RootCell keep_inner(inner);
  Cell* blk = block::make_at(stack::push_cell(), 2);
  Cell three = int_cell(3);
  block::append_value(blk, &three);
  block::append_value(blk, &inner);
  Ref<Node> t = ht::make(2, blk, ht::kind_hash, 0);
  RootNode keep_t(t);
  EXPECT_EQ(ht::record_of(t)->stamp, ht::compaction_count() + 1);
  u32 saved = collector::nodes_cycles;
  ++collector::nodes_cycles;
  EXPECT_EQ(ht::find_index(t, &inner, 0, 1, compare_op::same, false, false), 1);
  EXPECT_EQ(ht::record_of(t)->stamp, ht::compaction_count() + 1) << "rebuilt under the new count";
  collector::nodes_cycles = saved;
  Ref<Node> plain = ht::make(2, nullptr, ht::kind_hash, 0);
  EXPECT_EQ(ht::record_of(plain)->stamp, 0u) << "no identities, never rebuilt for this";
}

// ---- Kinds 3-4 (pointer-keyed) ------------------------------------------------------------

TEST_F(HashTable, PointerKeyedPutGetDelete) {
  collector::Suspend no_collection;  // fake node numbers: no collection may look at them
  Ref<Node> t = ht::make(4, nullptr, ht::kind_pointer, 2);
  RootNode keep(t);
  EXPECT_EQ(ht::record_of(t)->indexes, 48u) << "entry width: key cell and two value cells";
  Cell* v = ht::put_key(t, 0x1000);
  v[0] = int_cell(1);
  v[1] = int_cell(2);
  Cell* again = ht::put_key(t, 0x1000);
  EXPECT_EQ(again, v) << "the same entry (a known key needs no room)";
  EXPECT_EQ(again[0].header, type::unset);
  EXPECT_EQ(again[1].header, type::unset);
  EXPECT_EQ(ht::size_of(t), 1);
  again[0] = int_cell(11);
  EXPECT_EQ(ht::get_key(t, 0x1000)[0].as_int(), 11);
  EXPECT_EQ(ht::get_key(t, 0x2000), nullptr);

  i32 before = static_cast<i32>(reinterpret_cast<std::byte*>(ht::get_key(t, 0x1000)) -
                                buffer_of(ht::block_of(t))->head_ptr());
  Cell* gone = ht::delete_key(t, 0x1000);
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone[0].as_int(), 11) << "the value cells keep their content";
  EXPECT_EQ(gone[-1].header, 0u);
  EXPECT_EQ(ht::delete_key(t, 0x1000), nullptr);
  EXPECT_EQ(ht::get_key(t, 0x1000), nullptr);
  EXPECT_EQ(ht::size_of(t), 0);
  Cell* back = ht::put_key(t, 0x1000);
  i32 after = static_cast<i32>(reinterpret_cast<std::byte*>(back) - buffer_of(ht::block_of(t))->head_ptr());
  EXPECT_EQ(after, before) << "a deleted key put again reuses its entry storage";
  EXPECT_EQ(ht::record_of(t)->n_occupied, 1);
}

TEST_F(HashTable, PointerKeyedGrowthAndRehashInPlace) {
  collector::Suspend no_collection;  // fake node numbers: no collection may look at them
  Ref<Node> t = ht::make(4, nullptr, ht::kind_owners, 2);
  RootNode keep(t);
  auto key = [](i32 i) { return static_cast<u32>(0x10000 + i * 16); };
  for (i32 i = 0; i < 6; ++i) ht::put_key(t, key(i))[0] = int_cell(i);
  for (i32 i = 0; i < 5; ++i) ht::delete_key(t, key(i));
  // Half the buckets deleted: the seventh occupied bucket rebuilds at the same size.
  ht::put_key(t, key(6))[0] = int_cell(6);
  ht::Table* r = ht::record_of(t);
  EXPECT_EQ(r->n_buckets, 8);
  EXPECT_EQ(r->size, 2);
  EXPECT_EQ(r->n_occupied, 2);
  EXPECT_EQ(ht::get_key(t, key(5))[0].as_int(), 5);
  EXPECT_EQ(ht::get_key(t, key(6))[0].as_int(), 6);
  EXPECT_EQ(ht::get_key(t, key(0)), nullptr);
  // Growth: many keys, all found with their values.
  for (i32 i = 7; i < 3000; ++i) ht::put_key(t, key(i))[0] = int_cell(i);
  r = ht::record_of(t);
  EXPECT_EQ(r->size, 2995);
  EXPECT_EQ(r->n_buckets, 4096);
  for (i32 i = 5; i < 3000; ++i) ASSERT_EQ(ht::get_key(t, key(i))[0].as_int(), i);
  ht::clear(t);
  EXPECT_EQ(ht::get_key(t, key(5)), nullptr);
  ht::rehash_pointer_table(t);
  EXPECT_EQ(ht::get_key(t, key(5)), nullptr) << "cleared entries do not come back";
}

// The collector's view: a sweep with a liveness test and a node map, then the stale stamp.
std::set<u32>* live_nodes = nullptr;
bool is_alive(u32 node) { return live_nodes->count(node) != 0; }
u32 moved(u32 node) { return node + 0x100000; }

TEST_F(HashTable, WeakSweepDropsDeadKeysAndOwners) {
  collector::Suspend no_collection;  // fake node numbers: no collection may look at them
  // The owners table's entries: the owned series value, the owner object, the field word.
  Ref<Node> t = ht::make(8, nullptr, ht::kind_owners, 3);
  RootNode keep(t);
  std::set<u32> alive{0x1000, 0x2000, 0x3000, 0xA000};
  live_nodes = &alive;
  for (u32 k : {0x1000u, 0x2000u, 0x3000u, 0x4000u}) {
    Cell* v = ht::put_key(t, k);
    v[0] = Cell{type::block, 2, k, 0};                                  // head index 2, node k
    v[1] = Cell{type::object, k == 0x3000 ? 0xB000u : 0xA000u, 0, 0};  // the owner's context
    v[2] = Cell{type::word, 0xA000, 1, 0};
  }
  ht::sweep_weak(t, is_alive, moved);
  EXPECT_EQ(ht::size_of(t), 2) << "0x4000 died, 0x3000's owner context died";
  // The survivors' keys were rewritten; the next lookup (outside a collection) rehashes.
  ++collector::nodes_cycles;
  Cell* v = ht::get_key(t, moved(0x1000));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v[0].w1, 2u) << "the head index is no node";
  EXPECT_EQ(v[0].w2, moved(0x1000));
  EXPECT_EQ(v[1].w1, moved(0xA000));
  EXPECT_NE(ht::get_key(t, moved(0x2000)), nullptr);
  EXPECT_EQ(ht::get_key(t, 0x1000), nullptr);
  EXPECT_EQ(ht::get_key(t, moved(0x3000)), nullptr);
  EXPECT_EQ(ht::record_of(t)->stamp, ht::compaction_count() + 1);
  --collector::nodes_cycles;
  live_nodes = nullptr;
}

// A recording marker: which node slots and blocks a table hands to the collector.
std::vector<u32> marked_nodes, marked_blocks;
i32 marked_cells = 0;
bool mark_node(u32* slot) {
  bool fresh = std::find(marked_nodes.begin(), marked_nodes.end(), *slot) == marked_nodes.end();
  if (fresh) marked_nodes.push_back(*slot);
  return fresh;
}
void mark_block(u32* slot) { marked_blocks.push_back(*slot); }
void mark_cells(Cell* first, Cell* last) { marked_cells += static_cast<i32>(last - first); }

TEST_F(HashTable, MarkingHandsOverEveryArray) {
  collector::Suspend no_collection;  // fake node numbers: no collection may look at them
  const ht::Marker m{mark_node, mark_block, mark_cells};
  Cell blk = test::ints({1, 1, 2});
  RootCell keep(blk);
  Ref<Node> t = ht::make(3, &blk, ht::kind_hash, 0);
  RootNode keep_t(t);
  // The record is marked already (a node root saw it as a plain byte series): the arrays still go.
  marked_nodes = {t.offset()};
  marked_blocks.clear();
  u32 slot = t.offset();
  ht::mark(&slot, m);
  ht::Table* r = ht::record_of(t);
  Ref<Node> chain(static_cast<u32>(array::pick_int32(Ref<Node>(r->chains), 1)));
  EXPECT_EQ(marked_nodes, (std::vector<u32>{t.offset(), r->flags, r->keys, r->indexes, r->chains, chain.offset()}));
  EXPECT_EQ(marked_blocks, (std::vector<u32>{r->blk}));
  ht::mark(&slot, m);
  EXPECT_EQ(marked_nodes.size(), 6u) << "nothing is marked twice";

  // Pointer sets: the entry block and the value cells of live entries, never the keys.
  Ref<Node> p = ht::make(4, nullptr, ht::kind_pointer, 1);
  RootNode keep_p(p);
  ht::put_key(p, 0x5000);
  ht::put_key(p, 0x6000);
  ht::delete_key(p, 0x6000);
  marked_nodes.clear();
  marked_blocks.clear();
  marked_cells = 0;
  slot = p.offset();
  ht::mark(&slot, m);
  r = ht::record_of(p);
  EXPECT_EQ(marked_nodes, (std::vector<u32>{p.offset(), r->flags, r->keys, r->blk}));
  EXPECT_TRUE(marked_blocks.empty());
  EXPECT_EQ(marked_cells, 1);
}

// ---- Under collections that move every buffer and node --------------------------------------

Cell* new_string(const std::string& text) { return string::make_from_utf8(stack::push_cell(), text); }

TEST_F(HashTable, EveryKindSurvivesCollectionsThatMoveEverything) {
  test::Torture torture;
  u32 collections = collector::series_cycles;

  // Kind 0 over strings, with chains of case variants.
  Cell* blk = block::make_at(stack::push_cell(), 4);
  for (i32 i = 0; i < 30; ++i) {
    block::append_value(blk, new_string((i % 2 ? "K" : "k") + std::to_string(i / 2)));
    stack::drop(1);
  }
  Ref<Node> t = ht::make(4, blk, ht::kind_hash, 0);
  ht::Root keep(t);
  for (i32 i = 30; i < 40; ++i) {
    add(t, *new_string("k" + std::to_string(i)));
    stack::drop(1);
  }
  for (i32 i = 0; i < 15; ++i) {
    Cell* lower = new_string("k" + std::to_string(i));
    Cell* upper = new_string("K" + std::to_string(i));
    ASSERT_EQ(ht::find_index(t, lower, 0, 1, compare_op::equal, false, false), 2 * i) << i;
    ASSERT_EQ(ht::find_index(t, upper, 0, 1, compare_op::strict_equal, false, false), 2 * i + 1) << i;
    stack::drop(2);
  }
  for (i32 i = 30; i < 40; ++i) {
    Cell* v = new_string("K" + std::to_string(i));
    ASSERT_EQ(ht::find_index(t, v, 0, 1, compare_op::equal, false, false), i) << i;
    stack::drop(1);
  }

  // Kind 0 with blocks as keys: identities change at every collection, so lookups rebuild.
  Cell* holder = block::make_at(stack::push_cell(), 4);
  for (i32 i = 0; i < 6; ++i) {
    Cell* inner = block::make_at(stack::push_cell(), 1);
    block::append_value(holder, inner);
    stack::drop(1);
  }
  Ref<Node> bt = ht::make(6, holder, ht::kind_hash, 0);
  ht::Root keep_bt(bt);
  memory::alloc_cells(4);  // a collection: every node moves
  for (i32 i = 0; i < 6; ++i) {
    Cell inner = *block::cell_at(holder, i);
    ASSERT_EQ(ht::find_index(bt, &inner, 0, 1, compare_op::same, false, false), i) << i;
  }

  // Kind 1 from a block with repeated keys.
  Cell* pairs = block::make_at(stack::push_cell(), 4);
  for (i32 i = 0; i < 24; ++i) {
    block::append_value(pairs, new_string("key" + std::to_string(i % 8)));
    Cell v = int_cell(i);
    block::append_value(pairs, &v);
    stack::drop(1);
  }
  Ref<Node> mt = ht::make(12, pairs, ht::kind_map, 0);
  ht::Root keep_mt(mt);
  EXPECT_EQ(ht::size_of(mt), 8);
  EXPECT_EQ(block::length(pairs), 16);
  for (i32 k = 0; k < 8; ++k) {
    Cell* key = new_string("KEY" + std::to_string(k));
    Cell* found = ht::find(mt, key, 0, 1, compare_op::equal, false, false);
    ASSERT_NE(found, nullptr) << k;
    EXPECT_EQ(found[1].as_int(), 16 + k) << "the last value";
    stack::drop(1);
  }

  // Kind 2 growing through word-table resizes.
  Ref<Node> wt = ht::make(4, nullptr, ht::kind_word, 0);
  ht::Root keep_wt(wt);
  for (i32 k = 0; k < 200; ++k) add(wt, int_cell(k * 7));
  for (i32 k = 0; k < 200; ++k) {
    Cell v = int_cell(k * 7);
    ASSERT_EQ(ht::find_index(wt, &v, 0, 1, compare_op::strict_equal, false, false), k);
  }
  EXPECT_GT(collector::series_cycles - collections, 100u);
}

// A weak pointer table kept by a unit: marked by a root callback, swept by a sweep callback.
u32 weak_table = 0;
void mark_weak_table() { collector::mark_table(&weak_table); }
void sweep_weak_table() { ht::sweep_weak(Ref<Node>(weak_table), collector::alive, collector::remap); }

TEST_F(HashTable, WeakPointerTableFollowsMovesAndDropsDeadKeys) {
  test::Torture torture;
  collector::add_root_callback(mark_weak_table);
  collector::add_sweep_callback(sweep_weak_table);
  weak_table = ht::make(4, nullptr, ht::kind_pointer, 1).offset();
  Cell* keys = block::make_at(stack::push_cell(), 4);
  for (i32 i = 0; i < 40; ++i) {
    block::append_value(keys, new_string("series " + std::to_string(i)));
    stack::drop(1);
    ht::put_key(Ref<Node>(weak_table), block::cell_at(keys, i)->w2)[0] = int_cell(i);
  }
  EXPECT_EQ(ht::size_of(Ref<Node>(weak_table)), 40);
  for (i32 i = 0; i < 40; ++i) {
    Cell* v = ht::get_key(Ref<Node>(weak_table), block::cell_at(keys, i)->w2);
    ASSERT_NE(v, nullptr) << i;
    ASSERT_EQ(v->as_int(), i);
  }
  // The last 25 series die: their entries go at the next collection.
  block::set_tail(keys, 15);
  collector::collect();
  EXPECT_EQ(ht::size_of(Ref<Node>(weak_table)), 15);
  for (i32 i = 0; i < 15; ++i) {
    Cell* v = ht::get_key(Ref<Node>(weak_table), block::cell_at(keys, i)->w2);
    ASSERT_NE(v, nullptr) << i;
    ASSERT_EQ(v->as_int(), i);
  }
  collector::remove_sweep_callback(sweep_weak_table);
  collector::remove_root_callback(mark_weak_table);
  weak_table = 0;
}

}  // namespace
}  // namespace kiv
