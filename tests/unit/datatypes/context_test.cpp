// Contexts: word lookups, making contexts from specs, deep binding and the global context.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "runtime/hashtable.h"
#include "runtime/roots.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

class Contexts : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

// A word of the given type, bound to nothing yet.
Cell loose(const char* name, u32 t = type::word) {
  Cell w{};
  return *word::init_at(&w, t, Ref<Node>{}, symbol::make(name), -1);
}

i32 values_count(Ref<Node> ctx) {
  return static_cast<i32>(buffer_of(Ref<Node>(context::cell_of(ctx)->w2))->used_bytes() / sizeof(Cell));
}

TEST_F(Contexts, FindWordIgnoresCaseOnlyWhenAsked) {
  Ref<Node> ctx = context::make(4, false, false, Ref<Node>{}, context::object);
  RootNode keep(ctx);
  Cell foo = loose("ctx-foo");
  EXPECT_EQ(context::find_or_add_word_slot(ctx, &foo), 0);
  i32 Foo = symbol::make("Ctx-Foo");
  EXPECT_EQ(context::find_word(ctx, Foo, true), 0);
  EXPECT_EQ(context::find_word(ctx, Foo, false), -1);
  EXPECT_EQ(context::find_word(ctx, symbol::make("ctx-other"), true), -1);
  EXPECT_EQ(context::word_count(ctx), 1) << "lookups add nothing";
  // The word-list cell is bound to the context at its own position.
  Cell* w = context::word_at(ctx, 0);
  EXPECT_EQ(w->type(), u32{type::word});
  EXPECT_EQ(w->w1, ctx.offset());
  EXPECT_EQ(word::index_of(w), 0);
}

TEST_F(Contexts, MakeFromWordsKeepsOneSlotPerDistinctWord) {
  Cell spec = test::block_of({loose("a"), loose("b", type::get_word), loose("A"), loose("c", type::set_word),
                              loose("d", type::issue), loose("e", type::lit_word), loose("f", type::refinement),
                              loose("a")});
  RootCell keep_spec(spec);
  Ref<Node> ctx = context::make_from_words(&spec, false, false, context::object);
  RootNode keep(ctx);
  // a (and A), b, e, f: set-words and issues are skipped, duplicates counted once.
  EXPECT_EQ(context::word_count(ctx), 4);
  EXPECT_EQ(values_count(ctx), 4) << "no value slot without a word";
  for (i32 i = 0; i < 4; ++i) EXPECT_EQ(context::values_of(ctx)[i].type(), u32{type::unset});
  EXPECT_EQ(context::find_word(ctx, symbol::make("c"), true), -1);
  EXPECT_EQ(context::find_word(ctx, symbol::make("d"), true), -1);
  EXPECT_EQ(context::find_word(ctx, symbol::make("f"), true), 3);
}

TEST_F(Contexts, ZeroSlotsStillMakeAUsableContext) {
  Ref<Node> ctx = context::make(0, false, false, Ref<Node>{}, context::object);
  RootNode keep(ctx);
  Cell x = loose("ctx-x"), v = test::int_cell(7);
  Cell* slot = context::set_word_value(ctx, &x, &v);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->as_int(), 7);
  EXPECT_EQ(context::get_value_cell(symbol::make("CTX-X"), ctx)->as_int(), 7);
  EXPECT_EQ(context::add_word(ctx, &x, &v), nullptr) << "already there: nothing changes";
  Cell y = loose("ctx-y"), w = test::int_cell(8);
  EXPECT_EQ(context::add_word(ctx, &y, &w)->as_int(), 8);
  EXPECT_EQ(context::word_count(ctx), 2);
  EXPECT_EQ(values_count(ctx), 2);
}

TEST_F(Contexts, GrowingWordTablesKeepEveryWord) {
  Ref<Node> ctx = context::make(2, false, false, Ref<Node>{}, context::object);
  RootNode keep(ctx);
  for (i32 i = 0; i < 300; ++i) {
    Cell w = loose(("ctx-grow-" + std::to_string(i)).c_str());
    ASSERT_EQ(context::find_or_add_word_slot(ctx, &w), i);
  }
  for (i32 i = 0; i < 300; ++i)
    ASSERT_EQ(context::find_word(ctx, symbol::make(("CTX-GROW-" + std::to_string(i)).c_str()), true), i);
  EXPECT_EQ(values_count(ctx), 300);
}

TEST_F(Contexts, CollectSetWordsAddsOnlySetWords) {
  Ref<Node> ctx = context::make(2, false, false, Ref<Node>{}, context::object);
  RootNode keep(ctx);
  Cell body = test::block_of({loose("s1", type::set_word), loose("w1"), test::int_cell(1),
                              loose("S1", type::set_word), loose("s2", type::set_word)});
  RootCell keep_body(body);
  EXPECT_TRUE(context::collect_set_words(ctx, &body));
  EXPECT_EQ(context::word_count(ctx), 2);
  EXPECT_FALSE(context::collect_set_words(ctx, &body)) << "nothing new the second time";
  series::set_head_index(&body, 99);  // a head past the tail reads as empty
  EXPECT_FALSE(context::collect_set_words(ctx, &body));
}

TEST_F(Contexts, BindBlockBindsDeeplyAndLeavesStrangersAlone) {
  Ref<Node> ctx = context::make(4, false, false, Ref<Node>{}, context::object);
  RootNode keep(ctx);
  for (const char* n : {"bx", "by"}) {
    Cell w = loose(n);
    context::find_or_add_word_slot(ctx, &w);
  }
  Cell stranger{};
  RootCell keep_stranger(stranger);
  word::load_at("bz", &stranger);  // bound to the global context
  Cell inner = test::block_of({loose("BY", type::get_word), stranger}, type::paren);
  RootCell keep_inner(inner);
  Cell path = test::block_of({loose("bx"), loose("by", type::refinement)}, type::path);
  RootCell keep_path(path);
  Cell issue = loose("bx", type::issue);
  Cell outer = test::block_of({loose("bx", type::set_word), inner, path, issue});
  RootCell keep_outer(outer);
  context::bind_block(&outer, ctx, false);

  auto at = [](const Cell& blk, i32 i) { return *block::cell_at(&blk, i); };
  EXPECT_EQ(at(outer, 0).w1, ctx.offset());
  EXPECT_EQ(static_cast<i32>(at(outer, 0).w3), 0);
  Cell in = at(outer, 1);
  EXPECT_EQ(at(in, 0).w1, ctx.offset()) << "nested paren, case ignored";
  EXPECT_EQ(static_cast<i32>(at(in, 0).w3), 1);
  EXPECT_EQ(at(in, 1).w1, stranger.w1) << "a word not in the context keeps its binding";
  EXPECT_EQ(at(in, 1).w3, stranger.w3);
  Cell p = at(outer, 2);
  EXPECT_EQ(at(p, 1).w1, ctx.offset()) << "paths and refinements are bound";
  EXPECT_EQ(at(outer, 3).w1, 0u) << "issues are never bound";
}

TEST_F(Contexts, BindBlockHandlesSelfAndCycles) {
  Ref<Node> ctx = context::make(2, false, true, Ref<Node>{}, context::object);
  RootNode keep(ctx);
  Cell blk = test::block_of({loose("self"), loose("self", type::set_word), loose("self", type::get_word)});
  RootCell keep_blk(blk);
  block::append_value(&blk, &blk);  // the block holds itself
  context::bind_block(&blk, ctx, true);
  Cell* c = block::cell_at(&blk, 0);
  EXPECT_EQ(c[0].w1, ctx.offset());
  EXPECT_EQ(word::index_of(&c[0]), -1) << "self as a word stands for the owner";
  EXPECT_EQ(c[1].w1, 0u) << "a set-word self is an ordinary word, absent here";
  EXPECT_EQ(c[2].w1, 0u);
  Cell s = loose("self");
  context::find_or_add_word_slot(ctx, &s);
  context::bind_block(&blk, ctx, true);
  c = block::cell_at(&blk, 0);
  EXPECT_EQ(word::index_of(&c[1]), 0) << "now it has a slot";
  EXPECT_EQ(word::index_of(&c[0]), -1);
}

TEST_F(Contexts, CloneForGivesANewContextWithTheSameWords) {
  Cell spec = test::block_of({loose("ca"), loose("cb")});
  RootCell keep_spec(spec);
  Cell owner{type::object, 0, 0, 0};
  RootCell keep_owner(owner);
  owner.w1 = context::make_from_words(&spec, false, false, context::object).offset();
  Ref<Node> old(owner.w1);
  RootNode keep_old(old);
  Cell v = test::int_cell(5);
  context::set_word_value(old, context::word_at(old, 0), &v);

  Ref<Node> fresh = context::clone_for(&owner, context::object);
  RootNode keep_fresh(fresh);
  EXPECT_NE(fresh, old);
  EXPECT_EQ(owner.w1, fresh.offset());
  ASSERT_EQ(context::word_count(fresh), 2);
  for (i32 i = 0; i < 2; ++i) {
    EXPECT_EQ(context::word_at(fresh, i)->w1, fresh.offset());
    EXPECT_EQ(context::values_of(fresh)[i].type(), u32{type::unset});
  }
  EXPECT_EQ(context::word_at(old, 0)->w1, old.offset()) << "the old words stay with the old context";
  EXPECT_EQ(context::find_word(fresh, symbol::make("CB"), true), 1);
  Cell cc = loose("cc");
  context::find_or_add_word_slot(fresh, &cc);
  EXPECT_EQ(context::word_count(old), 2) << "the clone's word list is its own";
}

TEST_F(Contexts, GlobalCaseVariantsShareOneSlot) {
  i32 foo = symbol::make("glob-foo");
  i32 Foo = symbol::make("Glob-Foo");
  Cell a = word::from_symbol(foo), b{}, c{};
  RootCell keep_a(a), keep_b(b), keep_c(c);
  b = word::from_symbol(Foo);  // an exact lookup adds the variant's own word
  EXPECT_EQ(word::symbol_of(&b), Foo);
  EXPECT_EQ(word::index_of(&b), word::index_of(&a));
  word::load_at("GLOB-FOO", &c);
  EXPECT_EQ(word::symbol_of(&c), symbol::make("GLOB-FOO")) << "load keeps the written form";
  EXPECT_EQ(word::index_of(&c), word::index_of(&a));
  Cell v = test::int_cell(42);
  word::set(&b, &v);
  EXPECT_EQ(word::get_value(&a)->as_int(), 42);
  EXPECT_EQ(word::get_value(&c)->as_int(), 42);
  EXPECT_EQ(context::find_word(context::global(), Foo, false), word::index_of(&a))
      << "an exact lookup of the variant answers the shared slot";
}

TEST_F(Contexts, RunTimeVariantLookupsDoNotGrowTheRootBlock) {
  ASSERT_FALSE(words::word_recording);
  word::from_symbol(symbol::make("root-probe"));
  i32 before = words::root_length();
  for (i32 i = 0; i < 1000; ++i) {
    Cell w = word::load(i % 2 ? "ROOT-PROBE" : "Root-Probe");
    EXPECT_EQ(w.type(), u32{type::word});
  }
  EXPECT_EQ(words::root_length(), before);
  words::word_recording = true;
  i32 at = -1;
  Cell w = word::load("ROOT-PROBE", &at);
  words::word_recording = false;
  EXPECT_EQ(words::root_length(), before + 1) << "under word recording the word is kept";
  EXPECT_EQ(at, before);
  EXPECT_EQ(std::memcmp(words::root_at(at), &w, sizeof(Cell)), 0);
}

TEST_F(Contexts, ValuesOnTheStackNeedARunningCall) {
  Ref<Node> ctx = context::make(2, true, false, Ref<Node>{}, context::function);
  RootNode keep(ctx);
  Cell a = loose("fa");
  EXPECT_EQ(context::find_or_add_word_slot(ctx, &a), 0);
  EXPECT_TRUE(context::on_stack_q(ctx));
  EXPECT_EQ(context::values_of(ctx), nullptr);
  EXPECT_EQ(context::kind_of(ctx), u32{context::function});
  // get_value_cell reads such a context through the global one.
  Cell g{};
  word::load_at("fa", &g);
  Cell v = test::int_cell(3);
  word::set(&g, &v);
  EXPECT_EQ(context::get_value_cell(symbol::make("fa"), ctx)->as_int(), 3);
}

}  // namespace
}  // namespace kiv
