// Series ownership: an object with an on-deep-change* handler owns the series reachable from its
// fields and hears of their in-place changes; self-containing series, shared series, nested owners,
// the series hooks (reflect/modify owned, case changes, time fields) and the weak sweep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "runtime/case_table.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "tests/unit/object_fixture.h"

namespace kiv {
namespace {

using Ownership = test::ObjectTest;
using Strings = std::vector<std::string>;

Cell& reflect_owner(const Cell& o) {
  Cell v = o;
  RootCell keep(v);
  Cell& w = test::ObjectTest::word_of("owner");
  return *stack::push_value(object::reflect(&v, word::symbol_of(&w)));
}

bool owned_q(const Cell& series) { return series::buffer_of(&series)->flags & series_flag::owned; }

Cell* owner_of(const Cell& series) { return ownership::find_owner(series::node_of(&series)); }

// An object with a deep handler over the fields given.
Cell& reactive(std::string_view fields) {
  return test::ObjectTest::make_object(std::string(fields) +
                                       " on-deep-change*: func [owner word target action new index part] []");
}

TEST_F(Ownership, AppendingToAFieldsBlockReportsBeforeAndAfter) {
  Cell& o = reactive("b: [1 2] s: \"ab\" n: 5");
  set_global("o", o);
  Cell& b = field(o, "b");
  ASSERT_TRUE(owned_q(b));
  ASSERT_NE(owner_of(b), nullptr);
  EXPECT_EQ(owner_of(b)->w1, o.w1);
  EXPECT_EQ(mold(owner_of(b)[1]), "b") << "the field word travels with the entry";
  EXPECT_TRUE(owned_q(field(o, "s")));

  Cell three = test::int_cell(3);
  datatype::row(type::block).append(&b, &three, -1, false, 1, true);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[0].name, "on-deep-change*");
  EXPECT_EQ(calls()[0].args, (Strings{"object", "b", "[1 2]", "append", "3", "2", "1"}));
  EXPECT_EQ(calls()[1].args, (Strings{"object", "b", "[1 2 3]", "appended", "3", "2", "1"}));

  // A change of case reaches the owner of a string too.
  calls().clear();
  Cell& s = field(o, "s");
  test::call({s}, [] { unicode::change_case(stack::arguments, 0, true); });
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].args, (Strings{"object", "s", "\"AB\"", "uppercase", "none", "0", "2"}));

  // A series nobody owns reports nothing.
  calls().clear();
  Cell& loose = load("1");
  EXPECT_FALSE(ownership::notify_change(&loose, "append", nullptr, 0, 1));
  EXPECT_TRUE(calls().empty());
}

TEST_F(Ownership, SelfContainingBlocksAreOwnedAndDisownedOnce) {
  Cell& blk = load("1 [2]");
  Cell inner = *block::cell_at(&blk, 1);
  RootCell keep_inner(inner);
  block::append_value(&blk, &blk);          // blk holds itself
  block::append_value(&inner, &blk);        // and its inner block holds it too
  set_global("looped", blk);
  Cell& o = reactive("x: looped");
  EXPECT_TRUE(owned_q(blk));
  EXPECT_TRUE(owned_q(inner));
  i32 before = ownership::entry_count();
  Cell none = test::none_cell();
  Cell& owned = word_of("owned");
  datatype::row(type::block).modify(&blk, &owned, &none, false);
  EXPECT_FALSE(owned_q(blk));
  EXPECT_FALSE(owned_q(inner));
  EXPECT_EQ(ownership::entry_count(), before - 2);
  EXPECT_EQ(owner_of(blk), nullptr);

  // Owned again, then released through the owner object itself.
  Cell& owner = word_of("owner");
  object::modify(&o, &owner, &none, false);
  EXPECT_TRUE(owned_q(blk));
  EXPECT_TRUE(owned_q(inner));
  object::modify(&o, &owned, &none, false);
  EXPECT_FALSE(owned_q(blk));
  EXPECT_EQ(ownership::entry_count(), before - 2);
  EXPECT_EQ(mold(reflect_owner(o)), "false");
}

TEST_F(Ownership, TheFirstOwnerKeepsASharedSeriesAndNestedOwnersKeepTheirs) {
  Cell& shared = load("s");
  set_global("shared", shared);
  Cell& first = reactive("a: shared");
  reactive("b: shared");
  EXPECT_EQ(owner_of(shared)->w1, first.w1);
  EXPECT_EQ(mold(owner_of(shared)[1]), "a");

  // An inner owner keeps its own series; a plain inner object's series go to the outer owner.
  Cell& inner = reactive("i: [1]");
  set_global("inner", inner);
  Cell& plain = make_object("p: [2]");
  set_global("plain", plain);
  Cell& outer = reactive("in: inner pl: plain");
  EXPECT_EQ(owner_of(field(inner, "i"))->w1, inner.w1);
  EXPECT_EQ(owner_of(field(plain, "p"))->w1, outer.w1);
  EXPECT_EQ(mold(owner_of(field(plain, "p"))[1]), "p") << "reached through the inner object's own field";
}

TEST_F(Ownership, SeriesReflectAndModifyOwned) {
  Cell& o = make_object("a: 1 on-deep-change*: func [o w t a n i p] []");
  Cell& s = load("1 2");
  Cell& owned = word_of("owned");
  auto reflect_owned = [&] {
    Cell v = s;
    return mold(*datatype::row(type::block).reflect(&v, word::symbol_of(&owned)));
  };
  EXPECT_EQ(reflect_owned(), "none");
  Cell& spec = test::block_of({o, word_of("a")});
  datatype::row(type::block).modify(&s, &owned, &spec, false);
  EXPECT_EQ(reflect_owned().substr(0, 14), "[make object! ");
  EXPECT_EQ(owner_of(s)->w1, o.w1);
  Cell two = test::int_cell(2);
  datatype::row(type::block).poke(&s, 1, &two, nullptr);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[0].args[1], "a");
  EXPECT_EQ(calls()[0].args[3], "poke");

  Cell none = test::none_cell();
  datatype::row(type::block).modify(&s, &owned, &none, false);
  EXPECT_EQ(reflect_owned(), "none");
  Cell& bad = test::block_of({test::int_cell(1), word_of("a")});
  EXPECT_EQ(error_id([&] { datatype::row(type::block).modify(&s, &owned, &bad, false); }), "invalid-arg");
}

TEST_F(Ownership, ATimeFieldChangedThroughAPathTellsItsObject) {
  Cell& o = make_object("t: 0 on-change*: func [w o n] []");
  Cell t{type::none, 0, 0, 0};
  Cell proto{type::none, 0, 0, 0};
  datatype::make_at(&proto, type::time);
  Cell secs = test::int_cell(3600);
  t = *datatype::row(type::time).make(&proto, &secs, type::time);
  object::get_values(&o)[0] = t;
  Cell* slot = object::get_values(&o);
  Cell &hour = word_of("hour"), &w = word_of("t"), two = test::int_cell(2);
  Cell parent = *slot;
  RootCell keep_parent(parent);
  datatype::row(type::time).eval_path(&parent, &hour, &two, nullptr, &o, &w, 1, false, false, true, true);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].args, (Strings{"t", "1:00:00", "2:00:00"}));
}

TEST_F(Ownership, EntriesDieWithTheirOwnerAndSurviveCompaction) {
  bool enabled = collector::enabled;
  collector::enabled = true;
  Cell& kept = load("k");
  set_global("kept", kept);
  Cell& survivor = reactive("k: kept");
  set_global("survivor", survivor);
  reactive("d: [gone]");
  stack::top = stack::arguments;  // drops everything the test pushed: only the globals hold values
  i32 before = ownership::entry_count();
  collector::collect();
  collector::set_torture(1);
  collector::collect();
  collector::set_torture(0);
  collector::enabled = enabled;
  EXPECT_LT(ownership::entry_count(), before) << "the dropped object's series left the table";

  // The survivor's entries followed the moved nodes: a change still reaches its handler.
  Cell &kw = word_of("kept"), &sw = word_of("survivor");
  Cell k = *word::get_value(&kw);
  Cell obj = *word::get_value(&sw);
  RootCell keep_k(k), keep_obj(obj);
  ASSERT_NE(owner_of(k), nullptr);
  EXPECT_EQ(owner_of(k)->w1, obj.w1);
  calls().clear();
  Cell one = test::int_cell(1);
  datatype::row(type::block).append(&k, &one, -1, false, 1, true);
  EXPECT_EQ(calls().size(), 2u);
}

TEST_F(Ownership, OwningAndReportingSurviveACollectionAtEveryAllocation) {
  bool enabled = collector::enabled;
  collector::enabled = true;
  collector::set_torture(1);
  Cell& o = reactive("b: [1 [2 \"s\"] (3)] n: make object! [c: [4]]");
  RootCell keep(o);
  i32 entries = ownership::entry_count();
  Cell& b = field(o, "b");
  Cell inner = *block::cell_at(&b, 1);
  RootCell keep_inner(inner);
  Cell five = test::int_cell(5);
  datatype::row(type::block).append(&inner, &five, -1, false, 1, true);
  collector::set_torture(0);
  collector::enabled = enabled;
  EXPECT_GE(entries, 5) << "b, its block, its string, its paren and n's block";
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[1].args, (Strings{"object", "b", "[2 \"s\" 5]", "appended", "5", "2", "1"}));
  Cell& c = field(field(o, "n"), "c");
  EXPECT_EQ(mold(owner_of(c)[1]), "c");
}

TEST_F(Ownership, ASeriesOutlivingItsOwnerCanBeOwnedAgain) {
  bool enabled = collector::enabled;
  collector::enabled = true;
  Cell& s = load("s");
  set_global("lonely", s);
  reactive("a: lonely");
  EXPECT_TRUE(owned_q(s));
  stack::top = stack::arguments;
  collector::collect();
  collector::enabled = enabled;
  Cell& lw = word_of("lonely");
  Cell again = *word::get_value(&lw);
  RootCell keep_again(again);
  EXPECT_EQ(owner_of(again), nullptr);
  EXPECT_FALSE(owned_q(again)) << "the owned mark went with the entry";
  Cell& second = reactive("b: lonely");
  ASSERT_NE(owner_of(again), nullptr);
  EXPECT_EQ(owner_of(again)->w1, second.w1);
}

}  // namespace
}  // namespace kiv
