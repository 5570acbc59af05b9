// The word family and issue!: reading and writing with their errors, form and mold, comparison,
// make/to, the type name words and the static words.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/issue.h"
#include "datatypes/registry.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

class Words : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    lexer::init();  // text becomes a word through the lexer, as in the running system
  }
};

// The builders answer value-stack cells, which the collector keeps and rewrites: hold them by
// reference, or root a copy.
Cell& global_word(const char* name, u32 t = type::word) {
  Cell w{};
  word::load_at(name, &w);
  cell::set_type(&w, t);
  return *stack::push_value(&w);
}

Cell& issue_of(const char* name) {
  Cell c{};
  return *stack::push_value(issue::make_at(&c, name));
}

// The id of the language error the body raises ("" when none).
template <class Body>
std::string error_id(Body&& body, LanguageError* out = nullptr) {
  try {
    body();
  } catch (const LanguageError& e) {
    if (out) *out = e;
    return e.id;
  }
  return "";
}

// An object-like context: kind object, with an owner cell that may carry an event record.
Ref<Node> object_context(std::initializer_list<const char*> names) {
  Ref<Node> ctx = context::make(static_cast<i32>(names.size()), false, false, Ref<Node>{}, context::object);
  RootNode keep(ctx);
  for (const char* n : names) {
    Cell w{};
    word::init_at(&w, type::word, Ref<Node>{}, symbol::make(n), -1);
    context::find_or_add_word_slot(ctx, &w);
  }
  *context::owner_of(ctx) = Cell{type::object, ctx.offset(), 0, 0};
  return ctx;
}

TEST_F(Words, GetAndSetWithTheirErrors) {
  Cell& w = global_word("wt-value");
  Cell v = test::int_cell(9);
  EXPECT_EQ(word::get_value(&w)->type(), u32{type::unset}) << "a new global word is unset";
  EXPECT_EQ(error_id([&] { word::push_value(&w); }), "no-value");
  EXPECT_EQ(get_word::push_value(&w)->type(), u32{type::unset}) << "a get-word reads unset! quietly";
  stack::drop(1);

  EXPECT_EQ(word::set(&w, &v)->as_int(), 9);
  EXPECT_EQ(word::push_value(&w)->as_int(), 9);
  stack::drop(1);

  LanguageError e{};
  Cell unset{type::unset, 0, 0, 0};
  EXPECT_EQ(error_id([&] { test::call({w, unset}, word::set_from_args); }, &e), "need-value");
  EXPECT_EQ(e.category, ErrorCategory::script);
  EXPECT_EQ(e.args[0].w2, w.w2) << "the error names the word";
  EXPECT_EQ(word::get_value(&w)->as_int(), 9) << "nothing changed";
  Cell ten = test::int_cell(10);
  Cell r = test::call({w, ten}, word::set_from_args);
  EXPECT_EQ(r.as_int(), 10) << "the value is the result";
  EXPECT_EQ(word::get_value(&w)->as_int(), 10);
}

TEST_F(Words, UnresolvedAndContextlessWords) {
  Cell loose{};
  word::init_at(&loose, type::word, context::global(), symbol::make("wt-loose"), -1);
  EXPECT_EQ(error_id([&] { word::get_value(&loose); }), "no-value");

  Ref<Node> obj = object_context({"wt-a"});
  RootNode keep(obj);
  Cell self{};
  word::init_at(&self, type::word, obj, symbol::make("self"), -1);
  EXPECT_EQ(word::get_value(&self)->type(), u32{type::object}) << "self reads as the owner";

  Ref<Node> fn = context::make(1, true, false, Ref<Node>{}, context::function);
  RootNode keep_fn(fn);
  Cell arg{};
  word::init_at(&arg, type::word, Ref<Node>{}, symbol::make("wt-arg"), -1);
  i32 index = context::find_or_add_word_slot(fn, &arg);
  word::init_at(&arg, type::word, fn, symbol::make("wt-arg"), index);
  Cell v = test::int_cell(1);
  EXPECT_EQ(error_id([&] { word::get_value(&arg); }), "not-in-context") << "no call is running";
  EXPECT_EQ(error_id([&] { word::set(&arg, &v); }), "not-defined");
  EXPECT_EQ(error_id([&] { word::push_value_at(fn, 0); }), "not-defined");
  Cell static_ref = *words::root_at(static_words::refinement_roots[static_words::rid::part]);
  EXPECT_EQ(error_id([&] { word::get_value(&static_ref); }), "not-in-context");

  // With a call running, the values are the call's arguments on the value stack.
  Cell* args = stack::push_value(&v);
  context::cell_of(fn)->w2 = arena::offset_of(args);
  EXPECT_EQ(word::get_value(&arg)->as_int(), 1);
  Cell seven = test::int_cell(7);
  word::set(&arg, &seven);
  EXPECT_EQ(args->as_int(), 7);
  context::cell_of(fn)->w2 = 0;
  stack::drop(1);
}

TEST_F(Words, SettingAnUnresolvedWordResolvesOrAddsIt) {
  Ref<Node> obj = object_context({"wt-p"});
  RootNode keep(obj);
  Cell w{};
  RootCell keep_w(w);
  word::init_at(&w, type::word, obj, symbol::make("wt-q"), -1);
  Cell v = test::int_cell(4);
  word::set_in_context(&w, &v, obj, false);
  EXPECT_EQ(word::index_of(&w), 1);
  EXPECT_EQ(context::word_count(obj), 2);
  EXPECT_EQ(word::get_value(&w)->as_int(), 4);
  EXPECT_TRUE(context::word_at(obj, 1)->header & context::changed_mark) << "an object field is marked changed";
  EXPECT_FALSE(context::word_at(obj, 0)->header & context::changed_mark);
}

TEST_F(Words, IndexQ) {
  Ref<Node> obj = object_context({"wt-first", "wt-second"});
  RootNode keep(obj);
  Cell w = *context::word_at(obj, 0);
  EXPECT_EQ(test::call({w}, word::index_q).as_int(), 1);
  word::init_at(&w, type::word, obj, symbol::make("wt-first"), -1);
  EXPECT_EQ(test::call({w}, word::index_q).type(), u32{type::none});
  EXPECT_EQ(datatype::actions[type::refinement].index_q, nullptr) << "refinement! has no index?";
  EXPECT_EQ(datatype::actions[type::get_word].index_q, word::index_q);
}

TEST_F(Words, SlotsByIndex) {
  Ref<Node> obj = object_context({"wt-s0", "wt-s1"});
  RootNode keep(obj);
  Cell v = test::int_cell(11);
  stack::push_value(&v);
  EXPECT_EQ(word::set_value_at(obj, 1)->as_int(), 11);
  EXPECT_TRUE(context::word_at(obj, 1)->header & context::changed_mark);
  EXPECT_EQ(word::push_value_at(obj, 1)->as_int(), 11);
  Cell twelve = test::int_cell(12);
  stack::push_value(&twelve);
  word::replace_value_at(obj, 1);
  EXPECT_EQ(stack::last_value()->as_int(), 11) << "the previous value is pushed";
  EXPECT_EQ(word::value_at(obj, 1)->as_int(), 12);
  Cell own = word::find_in_context(obj, symbol::make("wt-s0"));
  EXPECT_EQ(own.w1, obj.offset());
  Cell other = word::find_in_context(obj, symbol::make("wt-elsewhere"));
  EXPECT_EQ(other.w1, context::global().offset());
  stack::top = stack::arguments = stack::bottom;
}

// The mend: an on-change* handler that sets its own field recurses through the change
// notification; the native-stack guard must turn that into the catchable stack-overflow.
TEST_F(Words, SelfAssigningChangeHandlerEndsInStackOverflow) {
  auto saved_bounds = sys::stack_bounds;
  sys::init_stack_bounds();
  Ref<Node> obj = object_context({"wt-field"});
  RootNode keep(obj);
  context::owner_of(obj)->w3 = 1;  // the owner has an event record
  static Ref<Node> target;
  static i32 depth, max_depth;
  target = obj;
  depth = max_depth = 0;
  auto saved_hook = hooks::fire_on_change.get();
  hooks::fire_on_change = [](Cell*, Cell* w, Cell*, Cell* value) {
    volatile char frame[2048];  // what a real handler's interpretation costs in native stack
    frame[0] = 1;
    ++depth;
    max_depth = std::max(max_depth, depth);
    Cell field = *w;
    Cell next = test::int_cell(value->as_int() + 1 + frame[0] - 1);
    word::set_in_context(&field, &next, target, true);
    --depth;
  };
  Cell field = *context::word_at(obj, 0);
  Cell v = test::int_cell(0);
  LanguageError e{};
  std::string id = error_id([&] { word::set(&field, &v); }, &e);
  hooks::fire_on_change = saved_hook;
  sys::stack_bounds = saved_bounds;
  EXPECT_EQ(id, "stack-overflow");
  EXPECT_EQ(e.category, ErrorCategory::internal);
  EXPECT_GT(max_depth, 100);
  EXPECT_LT(max_depth, stack::value_stack_cells) << "the native guard stopped it, not the value stack";
  stack::top = stack::arguments = stack::bottom;
}

TEST_F(Words, ChangeHandlerSeesOldAndNewValueOnce) {
  Ref<Node> obj = object_context({"wt-watched"});
  RootNode keep(obj);
  context::owner_of(obj)->w3 = 1;
  static i32 calls, old_seen, new_seen;
  calls = 0;
  auto saved_hook = hooks::fire_on_change.get();
  hooks::fire_on_change = [](Cell* owner, Cell*, Cell* old_value, Cell* value) {
    EXPECT_EQ(owner->type(), u32{type::object});
    ++calls;
    old_seen = old_value->type() == type::integer ? old_value->as_int() : -1;
    new_seen = value->as_int();
  };
  Cell field = *context::word_at(obj, 0);
  Cell one = test::int_cell(1), two = test::int_cell(2);
  Cell* top = stack::top;
  word::set(&field, &one);
  word::set(&field, &two);
  hooks::fire_on_change = saved_hook;
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(old_seen, 1);
  EXPECT_EQ(new_seen, 2);
  EXPECT_EQ(stack::top, top) << "the old value's copy is dropped";
  Cell three = test::int_cell(3);
  word::set_in_context(&field, &three, obj, false);
  EXPECT_EQ(calls, 2) << "no notification when not asked";
}

TEST_F(Words, FormAndMold) {
  test::Building building;
  struct Case {
    Cell value{};
    const char* mold;
  };
  const Case cases[] = {
      {global_word("a"), "a"},
      {global_word("a", type::set_word), "a:"},
      {global_word("a", type::get_word), ":a"},
      {global_word("a", type::lit_word), "'a"},
      {global_word("a", type::refinement), "/a"},
      {issue_of("a"), "#a"},
      {global_word("\xC3\xA9t\xC3\xA9", type::lit_word), "'\xC3\xA9t\xC3\xA9"},
  };
  test::RootCells keep_cases(cases, &Case::value);
  building.release();
  for (const Case& c : cases) {
    EXPECT_EQ(test::mold_text(c.value), c.mold);
    std::string bare = test::form_text(c.value);
    EXPECT_EQ(bare, std::string(symbol::name(word::symbol_of(&c.value))));
  }
  // The budget: what is left after the name (and its mark).
  Cell out{type::none, 0, 0, 0};
  RootCell keep(out);
  string::make_at(&out, 8);
  Cell& sw = global_word("abc", type::set_word);
  EXPECT_EQ(word::mold(&sw, &out, false, false, false, nullptr, 10, 0), 6);
  EXPECT_EQ(word::form(&sw, &out, nullptr, 10), 7);
  Cell& e = global_word("\xC3\xA9", type::word);
  EXPECT_EQ(word::form(&e, &out, nullptr, 10), 9) << "characters, not bytes";
}

TEST_F(Words, Comparison) {
  Cell &a = global_word("a"), &A = global_word("A");
  Cell &lit_a = global_word("a", type::lit_word), &lit_A = global_word("A", type::lit_word);
  Cell& set_a = global_word("a", type::set_word);
  Cell& b = global_word("b");
  Cell &iss_a = issue_of("a"), &iss_A = issue_of("A");
  Cell n = test::int_cell(1);
  struct Case {
    const Cell* x;
    const Cell* y;
    i32 op;
    i32 want;
  };
  const Case cases[] = {
      {&lit_a, &lit_A, compare_op::equal, 0},
      {&lit_a, &lit_A, compare_op::strict_equal, 1},
      {&a, &lit_a, compare_op::equal, 0},
      {&a, &lit_a, compare_op::strict_equal, 1},
      {&a, &set_a, compare_op::find, 0},
      {&a, &A, compare_op::same, 1},
      {&a, &a, compare_op::same, 0},
      {&a, &lit_A, compare_op::parse_match, 0},
      {&a, &lit_A, compare_op::parse_match_case, 1},
      {&lit_a, &a, compare_op::parse_match_case, 0},
      {&set_a, &A, compare_op::parse_match, 1},
      {&a, &iss_a, compare_op::equal, -2},
      {&iss_a, &a, compare_op::equal, -2},
      {&iss_a, &iss_A, compare_op::equal, 0},
      {&iss_a, &iss_A, compare_op::strict_equal, 1},
      {&a, &n, compare_op::equal, -2},
  };
  for (const Case& c : cases)
    EXPECT_EQ(actions::dispatch_compare(c.x, c.y, c.op), c.want)
        << test::mold_text(*c.x) << " vs " << test::mold_text(*c.y) << " op " << c.op;
  EXPECT_LT(actions::dispatch_compare(&a, &b, compare_op::lesser), 0);
  EXPECT_GT(actions::dispatch_compare(&b, &A, compare_op::sort), 0);
}

TEST_F(Words, MakeAndTo) {
  auto to = [](const Cell& spec, u32 t) {
    Cell proto{type::datatype, t, 0, 0}, s = spec;
    RootCell keep_p(proto), keep_s(s);
    return *actions::get<action::slot::to>(t, &proto)(&proto, &s, t);
  };
  auto text = [](const char* utf8) {
    Cell* s = stack::push_cell();
    return *string::make_from_utf8(s, utf8);
  };

  Cell w = to(text("a:"), type::word);
  RootCell keep_w(w);
  EXPECT_EQ(w.type(), u32{type::word});
  EXPECT_EQ(symbol::name(word::symbol_of(&w)), "a");
  EXPECT_EQ(w.w1, context::global().offset());
  EXPECT_EQ(error_id([&] { to(text("1"), type::word); }), "invalid-chars");
  EXPECT_EQ(error_id([&] { to(text("a b"), type::word); }), "invalid-chars") << "one value, nothing after it";

  Cell from_issue = to(issue_of("wt-iss"), type::word);
  RootCell keep_from_issue(from_issue);
  EXPECT_EQ(from_issue.type(), u32{type::word});
  EXPECT_EQ(from_issue.w1, context::global().offset());
  EXPECT_GE(word::index_of(&from_issue), 0) << "bound in the global context, even when new there";
  Cell nine = test::int_cell(9);
  word::set(&from_issue, &nine);
  Cell& same = global_word("wt-iss");
  EXPECT_EQ(word::get_value(&same)->as_int(), 9);
  Cell from_static = to(*words::root_at(static_words::refinement_roots[static_words::rid::with]), type::word);
  EXPECT_EQ(from_static.w1, context::global().offset()) << "a static refinement has no context of its own";
  EXPECT_EQ(error_id([&] { to(issue_of("1"), type::word); }), "bad-to-arg");
  Cell r = to(global_word("wt-ref", type::refinement), type::set_word);
  EXPECT_EQ(r.type(), u32{type::set_word});

  Cell t = to(test::logic_cell(true), type::word);
  EXPECT_EQ(symbol::name(word::symbol_of(&t)), "true");
  Cell dt{};
  datatype::make_at(&dt, type::integer);
  Cell iw = to(dt, type::lit_word);
  EXPECT_EQ(iw.type(), u32{type::lit_word});
  EXPECT_EQ(symbol::name(word::symbol_of(&iw)), "integer!");
  Cell ch{type::char_, 0, 'x', 0};
  EXPECT_EQ(symbol::name(word::symbol_of(&(w = to(ch, type::get_word)))), "x");
  EXPECT_EQ(error_id([&] { to(test::int_cell(3), type::word); }), "bad-to-arg");

  // issue!: any text, never scanned.
  Cell blank = to(text("a b"), type::issue);
  EXPECT_EQ(blank.type(), u32{type::issue});
  EXPECT_EQ(symbol::name(word::symbol_of(&blank)), "a b");
  EXPECT_EQ(word::index_of(&blank), -1);
  Cell foo = to(global_word("foo"), type::issue);
  RootCell keep_foo(foo);
  EXPECT_EQ(test::mold_text(foo), "#foo");
  EXPECT_EQ(test::form_text(foo), "foo");
  EXPECT_EQ(error_id([&] { to(test::int_cell(3), type::issue); }), "bad-to-arg");
}

TEST_F(Words, IssueMakersAndRecording) {
  Cell& blk = test::block_of({});
  RootCell keep(blk);
  Cell* c = issue::load_in_block("wt-issue", &blk);
  EXPECT_EQ(c->type(), u32{type::issue});
  EXPECT_EQ(block::length(&blk), 1);
  Cell* pushed = issue::load("wt-issue-2");
  EXPECT_EQ(pushed, stack::last_value()) << "without recording the issue goes on the stack";
  stack::drop(1);
}

TEST_F(Words, TypeNameWordsExistAfterBoot) {
  for (u32 id = 1; id <= datatype::highest_type_id; ++id) {
    const datatype::TypeName& n = datatype::names[id];
    if (!n.name) continue;
    ASSERT_EQ(n.word.type(), u32{type::word}) << n.name;
    EXPECT_EQ(symbol::name(word::symbol_of(&n.word)), n.name);
    EXPECT_EQ(n.word.w1, context::global().offset());
  }
  EXPECT_EQ(std::string(datatype::names[type::word].name), "word!");
  EXPECT_EQ(std::string(datatype::names[type::issue].name), "issue!");
  EXPECT_EQ(std::string(datatype::names[type::refinement].name), "refinement!");
}

TEST_F(Words, StaticWordsAreTheLanguagesWords) {
  namespace sw = static_words;
  EXPECT_EQ(sw::symbol(sw::sym::code), symbol::make("code")) << "interned twice, one symbol";
  EXPECT_EQ(symbol::name(sw::symbol(sw::sym::bar)), "|");
  Cell* changed = sw::word(sw::wid::changed);
  Cell& same = global_word("changed");
  EXPECT_EQ(changed->w1, same.w1);
  EXPECT_EQ(changed->w3, same.w3) << "one word per symbol in the global context";
  EXPECT_EQ(symbol::name(word::symbol_of(sw::word(sw::wid::put_ed))), "put-ed");
  EXPECT_EQ(symbol::name(word::symbol_of(sw::word(sw::wid::end))), "end");
  EXPECT_EQ(sw::word(sw::wid::sym_collect)->w3, global_word("collect").w3);
  Cell* part = sw::refinement(sw::rid::part);
  EXPECT_EQ(part->type(), u32{type::refinement});
  EXPECT_EQ(part->w1, 0u);
  EXPECT_EQ(test::mold_text(*part), "/part");
  for (u32 i = 0; i < sw::sym::count; ++i) EXPECT_TRUE(symbol::valid_q(sw::symbols[i])) << i;
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

TEST_F(Words, TheMachinerySurvivesCollectionsThatMoveEverything) {
  test::Torture torture;
  // Symbols and their name strings.
  i32 a = symbol::make("tt-alpha");
  i32 A = symbol::make("TT-Alpha");
  EXPECT_EQ(symbol::alias(A), a);
  Ref<Node> name = symbol::get_name_string(A);
  Cell text{type::string, 0, name.offset(), 0};
  RootCell keep_text(text);
  symbol::make("tt-beta");
  EXPECT_EQ(string::to_utf8(&text), "TT-Alpha");

  // A context from a spec, values set through its words.
  Cell& spec = test::block_of({});
  RootCell keep_spec(spec);
  for (const char* n : {"tt-x", "tt-y", "TT-X", "tt-z"}) word::load_in_block(n, &spec);
  Cell obj{type::object, 0, 0, 0};
  RootCell keep_obj(obj);
  obj.w1 = context::make_from_words(&spec, false, false, context::object).offset();
  EXPECT_EQ(context::word_count(Ref<Node>(obj.w1)), 3);
  Cell& body = test::block_of({});
  RootCell keep_body(body);
  for (i32 i = 0; i < 50; ++i) {
    word::load_in_block(i % 2 ? "TT-Y" : "tt-z", &body);
    Cell& inner = test::block_of({});
    RootCell keep_inner(inner);
    word::load_in_block("tt-x", &inner);
    block::append_value(&body, &inner);
  }
  context::bind_block(&body, Ref<Node>(obj.w1), false);
  Cell w = *block::cell_at(&body, 2);  // TT-Y
  RootCell keep_w(w);
  EXPECT_EQ(w.w1, obj.w1);
  Cell v = test::int_cell(77);
  word::set(&w, &v);
  Cell first = *context::word_at(Ref<Node>(obj.w1), 1);
  RootCell keep_first(first);
  EXPECT_EQ(word::get_value(&first)->as_int(), 77);
  Cell nested = *block::cell_at(block::cell_at(&body, 3), 0);
  RootCell keep_nested(nested);
  EXPECT_EQ(nested.w1, obj.w1) << "nested blocks are bound too";

  // Global words: many of them (the global word table grows), case variants sharing slots.
  Cell g{type::none, 0, 0, 0};
  RootCell keep_g(g);
  word::load_at("tt-global", &g);
  Cell seven = test::int_cell(7);
  word::set(&g, &seven);
  for (i32 i = 0; i < 200; ++i) {
    Cell other{type::none, 0, 0, 0};
    RootCell keep_other(other);
    word::load_at(("tt-many-" + std::to_string(i)).c_str(), &other);
  }
  Cell variant{type::none, 0, 0, 0};
  RootCell keep_variant(variant);
  word::load_at("TT-GLOBAL", &variant);
  EXPECT_EQ(word::get_value(&variant)->as_int(), 7);
  EXPECT_EQ(test::mold_text(variant), "TT-GLOBAL");
  Cell clone_of{type::object, obj.w1, 0, 0};
  RootCell keep_clone(clone_of);
  context::clone_for(&clone_of, context::object);
  EXPECT_EQ(context::word_count(Ref<Node>(clone_of.w1)), 3);
}

TEST_F(Words, SettingAWordThatLiesInABlockWhileItsContextGrows) {
  Ref<Node> obj = object_context({"wt-held"});
  RootNode keep(obj);
  Cell& blk = test::block_of({});
  Cell w{};
  word::init_at(&w, type::word, obj, symbol::make("wt-grown"), -1);
  block::append_value(&blk, &w);
  Cell v = test::int_cell(6);
  {
    test::Torture torture;  // adding the slot collects and moves the block that holds the word
    word::set_in_context(block::cell_at(&blk, 0), &v, obj, false);
  }
  EXPECT_EQ(word::index_of(block::cell_at(&blk, 0)), 1) << "the word in the block learnt its slot";
  EXPECT_EQ(word::get_value(block::cell_at(&blk, 0))->as_int(), 6);
}

}  // namespace
}  // namespace kiv
