// function! and routine!: the spec grammar and its errors, construction (sharing, deep copy,
// binding), the function native's locals, reflection, form, mold and comparison; the routine
// registry, routine definitions and calls.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/op.h"
#include "datatypes/registry.h"
#include "datatypes/routine.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

class Functions : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }
};

// The builders answer value-stack cells, which the collector keeps and rewrites: hold them by
// reference, or root a copy.
Cell& w(const char* name, u32 t = type::word) {
  Cell c{};
  word::load_at(name, &c);
  cell::set_type(&c, t);
  return *stack::push_value(&c);
}
Cell& ref(const char* name) { return w(name, type::refinement); }
Cell dt(u32 t) {
  Cell c{};
  return *datatype::make_at(&c, t);
}
Cell& str(const char* text) {
  Cell c{};
  RootCell keep(c);
  string::make_from_utf8(&c, text);
  return *stack::push_value(&c);  // kept for the test
}
Cell& blk(std::initializer_list<test::Arg> cells, u32 t = type::block) { return test::block_of(cells, t); }
Cell typeset_of(std::initializer_list<u32> types) {
  Cell t{type::typeset, 0, 0, 0};
  for (u32 id : types) cell::typeset_add(&t, id);
  return t;
}

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

i32 sym_of(const char* name) { return symbol::make(name); }
i32 field(u32 static_symbol) { return static_words::symbol(static_symbol); }

Cell& make_function(Cell spec, Cell body) {
  Cell& arg = blk({spec, body});
  Cell proto = dt(type::function);
  Cell f = *datatype::row(type::function).make(&proto, &arg, type::function);
  return *stack::push_value(&f);
}

void set_global(const char* name, Cell value) {
  RootCell keep(value);
  Cell& c = w(name);
  word::set(&c, &value);
}

// ---- The spec grammar ----

TEST_F(Functions, ValidateSpecAcceptsTheGrammarAndRefusesTheRest) {
  Cell& types = blk({dt(type::integer), typeset_of({type::block, type::paren})});
  Cell& doc = str("doc");
  set_global("ft-int-type", dt(type::integer));
  set_global("ft-word-type", w("ft-int-type"));
  set_global("ft-five", test::int_cell(5));
  struct Case {
    std::vector<Cell> spec;
    const char* error;  // "" when valid
    const char* why;
  };
  std::vector<Case> cases;
  const bool enabled = collector::enabled;
  collector::enabled = false;  // the table's cells are rooted below, once they all exist
  cases = {
      {{}, "", "an empty spec"},
      {{w("a"), types}, "", "an argument and its type block"},
      {{w("a"), doc, types}, "bad-func-def", "a doc string between an argument and its type block"},
      {{w("a"), types, doc}, "", "a doc string after the type block"},
      {{doc, w("a"), w("b", type::get_word), w("c", type::lit_word)}, "", "the three argument kinds"},
      {{w("a"), ref("only"), w("b"), doc, ref("part"), ref("dup")}, "", "refinements"},
      {{ref("only"), types}, "bad-func-def", "a type block after a refinement"},
      {{ref("only"), test::int_cell(1)}, "bad-func-def", "a refinement followed by an integer"},
      {{w("return", type::set_word), types}, "", "a return type"},
      {{w("return", type::set_word), dt(type::integer)}, "bad-func-def", "return: without a block"},
      {{w("return", type::set_word)}, "bad-func-def", "return: at the end"},
      {{w("return", type::set_word), types, w("return", type::set_word), types}, "bad-func-def", "two returns"},
      {{w("return", type::set_word), types, w("a")}, "bad-func-def", "an argument after return:"},
      {{w("return", type::set_word), types, types}, "bad-func-def", "return: [] followed by a block"},
      {{w("return", type::set_word), types, ref("only")}, "bad-func-def", "a refinement after return:"},
      {{w("return", type::set_word), types, doc, ref("local"), w("x")}, "", "/local after return:"},
      {{ref("local"), w("x"), w("return", type::set_word), types}, "bad-func-def", "return: after /local"},
      {{ref("local"), w("x"), ref("only")}, "bad-func-def", "a refinement after /local"},
      {{ref("local"), w("x", type::lit_word)}, "bad-func-def", "a lit-word after /local"},
      {{ref("local"), w("x", type::get_word)}, "bad-func-def", "a get-word after /local"},
      {{ref("local"), w("x"), w("y")}, "", "locals"},
      {{w("a", type::set_word), types}, "bad-func-def", "a set-word other than return:"},
      {{w("a"), test::int_cell(5)}, "bad-func-def", "an integer in the spec"},
      {{w("a"), types, types}, "bad-func-def", "two type blocks"},
      {{blk({w("trace")}), w("a")}, "", "an attribute block"},
      {{blk({w("trace"), test::int_cell(1)}), w("a")}, "bad-func-def", "a non-word attribute"},
      {{w("a"), blk({w("trace")})}, "no-value", "a block after an argument is its type block"},
      {{w("a"), blk({test::int_cell(1)})}, "invalid-type-spec", "an integer in a type block"},
      {{w("a"), blk({w("ft-int-type")})}, "", "a word whose value is a datatype"},
      {{w("a"), blk({w("ft-word-type")})}, "", "a word whose value is a word"},
      {{w("a"), blk({w("ft-five")})}, "invalid-type-spec", "a word whose value is an integer"},
      {{w("a"), blk({w("ft-never-set")})}, "no-value", "a word without value"},
      {{w("a"), w("A")}, "dup-vars", "a repeated argument, ignoring case"},
      {{w("a"), ref("a")}, "dup-vars", "an argument and a refinement of one name"},
      {{w("a"), ref("local"), w("a")}, "dup-vars", "a local named like an argument"},
  };
  std::vector<std::unique_ptr<test::RootCells>> keep_cases;
  for (Case& c : cases) keep_cases.push_back(std::make_unique<test::RootCells>(c.spec.data(), c.spec.size()));
  collector::enabled = enabled;
  for (const Case& c : cases) {
    Cell& spec = blk({});
    for (const Cell& v : c.spec) block::append_value(&spec, &v);
    LanguageError e{};
    EXPECT_EQ(error_id([&] { function::validate_spec(&spec); }, &e), c.error) << c.why;
    if (std::string(c.error) == "bad-func-def") {
      EXPECT_EQ(e.args[0].w2, spec.w2) << c.why << ": the error shows the whole spec";
    }
  }
}

TEST_F(Functions, SpecErrorsNameTheOffendingValue) {
  set_global("ft-seven", test::int_cell(7));
  LanguageError e{};
  Cell& spec = blk({w("a"), w("b"), w("c"), w("B"), w("A")});
  ASSERT_EQ(error_id([&] { function::check_duplicates(&spec); }, &e), "dup-vars");
  EXPECT_EQ(word::symbol_of(&e.args[0]), sym_of("A")) << "the earliest repeated word, at its second place";

  Cell& types = blk({dt(type::block), w("ft-seven")});
  ASSERT_EQ(error_id([&] { function::check_type_block(&types); }, &e), "invalid-type-spec");
  EXPECT_EQ(e.args[0].type(), u32{type::integer}) << "the word's value stands in its place";
  EXPECT_EQ(e.args[0].as_int(), 7);

  Cell& unset_types = blk({w("ft-unset-type")});
  ASSERT_EQ(error_id([&] { function::check_type_block(&unset_types); }, &e), "no-value");
  EXPECT_EQ(word::symbol_of(&e.args[0]), sym_of("ft-unset-type"));

  Cell loose{};  // an unbound word has no value either
  word::init_at(&loose, type::word, Ref<Node>{}, sym_of("ft-loose"), -1);
  Cell& loose_types = blk({loose});
  EXPECT_EQ(error_id([&] { function::check_type_block(&loose_types); }), "no-value");
}

TEST_F(Functions, AttributeFlags) {
  Cell& empty = blk({});
  EXPECT_EQ(function::attribute_flags(&empty), 0);
  Cell &traced = blk({w("trace")}), &quiet = blk({w("no-trace")}), &both = blk({w("NO-TRACE"), w("foo"), w("trace")});
  EXPECT_EQ(function::attribute_flags(&traced), 0x400);
  EXPECT_EQ(function::attribute_flags(&quiet), 0x200);
  EXPECT_EQ(function::attribute_flags(&both), 0x600) << "case-insensitive; other words ignored";
  Cell& bad = blk({w("trace"), str("x")});
  EXPECT_EQ(function::attribute_flags(&bad), -1);

  Cell& f = make_function(blk({blk({w("trace")}), w("a")}), blk({}));
  EXPECT_EQ(f.header & 0x600, 0x400u) << "the flags go to the header";
  EXPECT_EQ(f.type(), u32{type::function});
}

// ---- make function! ----

TEST_F(Functions, MakeRefusesMalformedArgumentsBeforeMakingAnything) {
  Cell &spec = blk({w("a")}), &body = blk({w("a")});
  Cell proto = dt(type::function);
  const Cell one = test::int_cell(1);
  const Cell* bad_args[] = {
      &one, &blk({spec}), &blk({test::int_cell(1), body}), &blk({spec, test::int_cell(1)}),
      &blk({blk({w("a"), w("a")}), body}),
  };
  const char* ids[] = {"bad-func-def", "bad-func-def", "bad-func-def", "bad-func-def", "dup-vars"};
  for (size_t i = 0; i < std::size(bad_args); ++i) {
    Cell arg = *bad_args[i];
    RootCell keep_arg(arg);
    Cell* top = stack::top;
    EXPECT_EQ(error_id([&] { datatype::row(type::function).make(&proto, &arg, type::function); }), ids[i]) << i;
    EXPECT_EQ(stack::top, top) << i << ": nothing pushed";
  }
}

TEST_F(Functions, TheSpecIsSharedAtHeadZeroAndTheBodyIsAlwaysADeepCopy) {
  Cell& inner = blk({w("x")});
  Cell& paren = blk({w("a")}, type::paren);
  Cell& body = blk({w("a"), inner, paren, w("b"), w("outside")});
  Cell& spec = blk({w("a"), ref("opt"), w("b")});
  Cell& f = make_function(spec, body);
  RootCell keep(f);
  EXPECT_EQ(f.w2, spec.w2) << "a spec at head 0 is shared";
  Cell more_body = *function::more_cell(&f, function::more::body);
  EXPECT_NE(more_body.w2, body.w2);
  EXPECT_NE(block::cell_at(&more_body, 1)->w2, inner.w2) << "nested blocks are copied";
  EXPECT_NE(block::cell_at(&more_body, 2)->w2, paren.w2) << "so are parens";
  EXPECT_EQ(block::cell_at(&more_body, 2)->type(), u32{type::paren});

  // The copy is bound to the function's context; the original is not touched.
  Ref<Node> ctx = function::context_node(&f);
  EXPECT_EQ(word::context_of(block::cell_at(&more_body, 0)), ctx);
  EXPECT_EQ(word::index_of(block::cell_at(&more_body, 3)), 2) << "b comes after a and opt";
  EXPECT_EQ(word::context_of(block::cell_at(block::cell_at(&more_body, 2), 0)), ctx) << "bound deeply";
  EXPECT_EQ(word::context_of(block::cell_at(&more_body, 4)), context::global()) << "other words keep theirs";
  EXPECT_EQ(word::context_of(block::cell_at(&body, 0)), context::global());

  // The context: function kind, values on the stack, owned by the function.
  EXPECT_EQ(context::kind_of(ctx), u32{context::function});
  EXPECT_TRUE(context::on_stack_q(ctx));
  EXPECT_EQ(context::owner_of(ctx)->type(), u32{type::function});
  EXPECT_EQ(context::owner_of(ctx)->w3, f.w3);

  // Later changes to a shared spec show in spec-of.
  Cell& extra = w("c");
  block::append_value(&spec, &extra);
  Cell* spec_of = datatype::row(type::function).reflect(&f, field(static_words::sym::spec));
  EXPECT_EQ(block::length(spec_of), 4);

  // A spec past its head is copied from the head.
  Cell& later = blk({w("skipped"), w("a")});
  series::set_head_index(&later, 1);
  Cell& g = make_function(later, blk({}));
  EXPECT_NE(g.w2, later.w2);
  Cell g_spec{type::block, 0, g.w2, 0};
  ASSERT_EQ(block::length(&g_spec), 1);
  EXPECT_EQ(word::symbol_of(block::cell_at(&g_spec, 0)), sym_of("a"));
}

TEST_F(Functions, MakeValueStoresCodesAndMayGoWithoutBody) {
  Cell& spec = blk({w("a")});
  function::make_value(&spec, nullptr, Ref<Node>{}, 1234, 0, function::flag::no_trace);
  Cell f = *stack::last_value();
  RootCell keep(f);
  EXPECT_EQ(f.header & 0xFFFF, type::function | function::flag::no_trace);
  EXPECT_EQ(function::more_cell(&f, function::more::body)->type(), u32{type::none});
  EXPECT_EQ(function::more_cell(&f, function::more::reserved)->type(), u32{type::unset});
  EXPECT_EQ(integer::get(function::more_cell(&f, function::more::code)), 1234);
  EXPECT_EQ(function::more_cell(&f, function::more::op_value)->type(), u32{type::unset});
  EXPECT_EQ(function::more_cell(&f, function::more::extra)->type(), u32{type::unset});
  EXPECT_EQ(test::mold_text(f), "func [a] none");

  // A context given by the caller is used as it is, and the body is not bound to it.
  Ref<Node> ctx = context::make(1, true, false, Ref<Node>{}, context::function);
  RootNode keep_ctx(ctx);
  Cell& body = blk({w("a")});
  EXPECT_EQ(function::make_value(&spec, &body, ctx, 0, 77, 0), ctx);
  Cell g = *stack::last_value();
  EXPECT_EQ(g.w1, ctx.offset());
  EXPECT_EQ(integer::get(function::more_cell(&g, function::more::extra)), 77);
  EXPECT_EQ(function::more_cell(&g, function::more::code)->type(), u32{type::unset});
  EXPECT_EQ(word::context_of(block::cell_at(function::more_cell(&g, function::more::body), 0)), context::global());
}

TEST_F(Functions, ReflectSpecBodyAndWords) {
  Cell& body = blk({w("a")});
  Cell& f = make_function(blk({w("a"), ref("ref"), w("b"), ref("local"), w("c")}), body);
  RootCell keep(f);
  Cell* words = datatype::row(type::function).reflect(&f, field(static_words::sym::words));
  ASSERT_EQ(block::length(words), 5);
  const char* names[] = {"a", "ref", "b", "local", "c"};
  for (i32 i = 0; i < 5; ++i) {
    Cell* c = block::cell_at(words, i);
    EXPECT_EQ(c->type(), u32{type::word}) << names[i];
    EXPECT_EQ(word::symbol_of(c), sym_of(names[i]));
    EXPECT_EQ(word::context_of(c), function::context_node(&f));
    EXPECT_EQ(word::index_of(c), i);
  }
  Cell* b = datatype::row(type::function).reflect(&f, field(static_words::sym::body));
  EXPECT_EQ(b->w2, function::more_cell(&f, function::more::body)->w2) << "body-of shares the stored copy";
  EXPECT_EQ(error_id([&] { datatype::row(type::function).reflect(&f, sym_of("owner")); }), "not-done");
}

TEST_F(Functions, FormMoldAndCompare) {
  Cell& f = make_function(blk({w("a"), blk({dt(type::integer)}), str("doc")}), blk({w("a"), test::int_cell(1)}));
  EXPECT_EQ(test::form_text(f), "?function?");
  EXPECT_EQ(test::mold_text(f), "func [a [integer!] \"doc\"][a 1]");
  EXPECT_EQ(test::mold_text(f, true), "func [a [integer!] \"doc\"][a 1]") << "/only keeps the brackets";
  EXPECT_EQ(test::mold_text(f, false, false, false, 8), "func [a ");

  Cell out{};
  RootCell keep(out);
  string::make_at(&out, 16);
  EXPECT_EQ(datatype::row(type::function).form(&f, &out, nullptr, 50), 40);

  Cell& g = make_function(blk({w("a")}), blk({w("a"), test::int_cell(1)}));
  EXPECT_EQ(actions::dispatch_compare(&f, &f, compare_op::equal), 0);
  EXPECT_NE(actions::dispatch_compare(&f, &g, compare_op::equal), 0) << "equal only for the same function";
  EXPECT_EQ(actions::dispatch_compare(&f, &g, compare_op::sort), -actions::dispatch_compare(&g, &f, compare_op::sort));
  EXPECT_EQ(datatype::row(type::function).compare(&f, &g, compare_op::greater), -2) << "the type's own comparison";
  EXPECT_EQ(datatype::row(type::function).compare(&f, &g, compare_op::equal), f.w1 < g.w1 ? -1 : 1);
  Cell n = test::int_cell(1);
  EXPECT_EQ(actions::dispatch_compare(&f, &n, compare_op::equal), -2);
}

// ---- Locals ----

TEST_F(Functions, CountLocalsAndUnusedRefinements) {
  Cell& with_locals = blk({w("a"), ref("local"), w("x"), w("y")});
  Cell& without = blk({w("a"), ref("only"), w("b")});
  Cell& later = blk({ref("local"), w("x"), ref("more"), w("y"), str("doc")});
  EXPECT_EQ(function::count_locals(series::node_of(&with_locals), 0, false), 3);
  EXPECT_EQ(function::count_locals(series::node_of(&with_locals), 3, true), -1) << "from the head";
  EXPECT_EQ(function::count_locals(series::node_of(&without), 0, false), 0);
  EXPECT_EQ(function::count_locals(series::node_of(&without), 0, true), -1);
  EXPECT_EQ(function::count_locals(series::node_of(&later), 0, true), 3) << "later refinements are passed over";

  Cell* top = stack::top;
  function::push_unused_refinement(3);
  ASSERT_EQ(stack::top - top, 3);
  EXPECT_EQ(top[0].type(), u32{type::logic});
  EXPECT_EQ(logic::get(&top[0]), 0u);
  EXPECT_EQ(top[1].type(), u32{type::none});
  EXPECT_EQ(top[2].type(), u32{type::none});
}

std::vector<std::string> names_of(const Cell* b) {
  std::vector<std::string> out;
  for (i32 i = 0; i < block::length(b); ++i) {
    const Cell* c = block::cell_at(b, block::head_index(b) + i);
    std::string prefix = c->type() == type::refinement ? "/" : "";
    out.push_back(word::any_word_q(c->type()) ? prefix + word::name_of(c) : "?");
  }
  return out;
}

using Names = std::vector<std::string>;

TEST_F(Functions, CollectLocalsFindsSetWordsAndLoopWords) {
  Cell& spec = blk({w("a"), str("doc")});
  Cell& nested = blk({w("y", type::set_word), test::int_cell(2), w("x", type::set_word)});
  Cell& paren = blk({w("z", type::set_word)}, type::paren);
  Cell& body = blk({w("x", type::set_word), test::int_cell(1), w("foreach"), blk({w("k"), w("v", type::lit_word)}),
                   w("data"), nested, w("repeat"), w("i"), test::int_cell(10), paren, w("remove-each"),
                   w("e"), w("a", type::set_word), w("local", type::set_word)});
  Cell* result = function::collect_locals(&spec, &body);
  EXPECT_EQ(names_of(result), (Names{"x", "k", "v", "y", "i", "z", "e"}))
      << "each once; the argument a and the word local are not added";
  EXPECT_EQ(names_of(&spec), (Names{"a", "?", "/local", "x", "k", "v", "y", "i", "z", "e"}));

  // A spec with /local already gets the words without a second /local.
  Cell& spec2 = blk({w("a"), ref("local"), w("t")});
  Cell& body2 = blk({w("t", type::set_word), w("u", type::set_word)});
  function::collect_locals(&spec2, &body2);
  EXPECT_EQ(names_of(&spec2), (Names{"a", "/local", "t", "u"}));

  // Nothing to add leaves the spec alone.
  Cell& spec3 = blk({w("a")});
  Cell& body3 = blk({w("a"), w("b")});
  EXPECT_EQ(block::length(function::collect_locals(&spec3, &body3)), 0);
  EXPECT_EQ(names_of(&spec3), (Names{"a"}));
}

TEST_F(Functions, CollectLocalsHonoursExtern) {
  Cell& spec = blk({w("a"), ref("extern"), w("g"), w("h"), ref("local"), w("q")});
  Cell& body = blk({w("g", type::set_word), w("n", type::set_word), w("h", type::set_word)});
  Cell* result = function::collect_locals(&spec, &body);
  EXPECT_EQ(names_of(result), (Names{"q", "n"})) << "the locals after /extern first, then the new words";
  EXPECT_EQ(names_of(&spec), (Names{"a", "/local", "q", "n"})) << "/extern and its words are gone";

  LanguageError e{};
  Cell& bad = blk({w("a"), test::int_cell(5), ref("extern"), w("g")});
  EXPECT_EQ(error_id([&] { function::collect_locals(&bad, &body); }, &e), "bad-func-extern");
  EXPECT_EQ(e.args[0].as_int(), 5);
  Cell& fine = blk({w("a"), test::int_cell(5)});
  EXPECT_EQ(error_id([&] { function::collect_locals(&fine, &body); }), "") << "only with /extern";
}

TEST_F(Functions, CollectLocalsWalksASelfContainingBodyOnce) {
  Cell& body = blk({w("x", type::set_word)});
  block::append_value(&body, &body);
  Cell& spec = blk({});
  Cell* result = function::collect_locals(&spec, &body);
  EXPECT_EQ(names_of(result), (Names{"x"}));
}

// Functions made while every allocation collects and moves every buffer and node. (The values are
// built before: the test builders hold cells in unrooted temporaries.)
TEST_F(Functions, MakingSurvivesACollectionAtEveryAllocation) {
  Cell& spec = blk({w("a"), blk({dt(type::integer)}), ref("opt"), w("b")});
  Cell& body = blk({w("a"), blk({w("b"), blk({w("a")}, type::paren)}), w("x", type::set_word)});
  Cell& arg = blk({spec, body});
  Cell& spec2 = blk({w("a")});
  Cell proto = dt(type::function);
  RootCell keep_body(body), keep_arg(arg), keep_spec2(spec2);
  bool enabled = collector::enabled;
  u32 torture = collector::torture_every;
  collector::enabled = true;
  collector::set_torture(1);
  Cell f = *datatype::row(type::function).make(&proto, &arg, type::function);
  RootCell keep(f);
  Cell locals = *function::collect_locals(&spec2, &body);
  RootCell keep_locals(locals);
  std::string molded = test::mold_text(f);
  collector::set_torture(torture);
  collector::enabled = enabled;
  EXPECT_EQ(molded, "func [a [integer!] /opt b][a [b (a)] x:]");
  EXPECT_EQ(names_of(&locals), (Names{"x"}));
  EXPECT_EQ(names_of(&spec2), (Names{"a", "/local", "x"}));
  Cell* inner = block::cell_at(block::cell_at(function::more_cell(&f, function::more::body), 1), 1);
  EXPECT_EQ(word::context_of(block::cell_at(inner, 0)), function::context_node(&f));
}

// ---- routine! ----

i32 ft_add(i32 a, i32 b) { return a + b; }
double ft_half(double d) { return d / 2; }
bool ft_not(bool b) { return !b; }
i32 ft_calls = 0;
void ft_count() { ++ft_calls; }
Cell* ft_second(Cell*, Cell* b) { return b; }

class Routines : public Functions {
 protected:
  void SetUp() override {
    Functions::SetUp();
    routine::add("ft-add", ft_add);
    routine::add("ft-half", ft_half);
    routine::add("ft-not", ft_not);
    routine::add("ft-count", ft_count);
    routine::add("ft-second", ft_second);
  }
};

TEST_F(Routines, TheRegistryKnowsEachProcedureOnce) {
  i32 index = routine::find("ft-add");
  ASSERT_GT(index, 0);
  EXPECT_EQ(routine::add("ft-add", ft_add), index) << "registering again keeps the first entry";
  const routine::Entry* e = routine::entry(index);
  EXPECT_EQ(e->arity, 2);
  EXPECT_EQ(e->result_kind, i32{type::integer});
  EXPECT_FALSE(e->cells);
  EXPECT_EQ(routine::entry(routine::find("ft-half"))->result_kind, i32{type::float_});
  EXPECT_EQ(routine::entry(routine::find("ft-not"))->result_kind, i32{type::logic});
  EXPECT_EQ(routine::entry(routine::find("ft-count"))->result_kind, routine::no_result);
  EXPECT_TRUE(routine::entry(routine::find("ft-second"))->cells);
  EXPECT_EQ(routine::find("ft-nothing-here"), 0);
  EXPECT_EQ(routine::entry(0), nullptr);
  EXPECT_EQ(routine::entry(1 << 20), nullptr);
}

TEST_F(Routines, ADefinitionBindsToItsEntry) {
  Cell& spec = blk({w("a"), blk({dt(type::integer)}), str("first"), w("b"), blk({dt(type::integer)})});
  Cell& source = str("a + b");
  Cell r = *routine::define("ft-add", &spec, &source);
  RootCell keep(r);
  EXPECT_EQ(r.type(), u32{type::routine});
  EXPECT_EQ(routine::get_arity(&r), 2);
  EXPECT_FALSE(r.header & routine::flag::cells);
  EXPECT_EQ(r.w2, spec.w2);
  EXPECT_EQ(function::more_cell(&r, function::more::body)->w2, source.w2) << "the source is kept, not copied";
  EXPECT_EQ(integer::get(function::more_cell(&r, function::more::code)), routine::find("ft-add"));
  EXPECT_EQ(integer::get(function::more_cell(&r, function::more::extra)), i32{type::integer});
  EXPECT_EQ(context::owner_of(function::context_node(&r))->type(), u32{type::unset}) << "a routine owns no context cell";

  EXPECT_EQ(test::form_text(r), "?routine?");
  EXPECT_EQ(test::mold_text(r), "routine [a [integer!] \"first\" b [integer!]] \"a + b\"");
  Cell* words = datatype::row(type::routine).reflect(&r, field(static_words::sym::words));
  EXPECT_EQ(names_of(words), (Names{"a", "b"}));

  Cell& cells_spec = blk({w("x"), w("y")});
  Cell c = *routine::define("ft-second", &cells_spec, nullptr);
  RootCell keep_c(c);
  EXPECT_TRUE(c.header & routine::flag::cells);
  EXPECT_EQ(test::mold_text(c), "routine [x y] none");
  Cell& block_body = blk({w("x")});
  Cell d = *routine::define("ft-second", &cells_spec, &block_body);
  RootCell keep_d(d);
  EXPECT_EQ(test::mold_text(d), "routine [x y][x]");

  EXPECT_EQ(actions::dispatch_compare(&r, &r, compare_op::equal), 0);
  EXPECT_NE(actions::dispatch_compare(&r, &c, compare_op::equal), 0);
  EXPECT_EQ(datatype::row(type::routine).compare(&r, &r, compare_op::lesser), -2);
  EXPECT_EQ(datatype::row(type::routine).compare(&r, &r, compare_op::same), 0);
  EXPECT_EQ(datatype::row(type::routine).make, nullptr) << "make routine! is not available";
  EXPECT_EQ(datatype::row(type::routine).to, nullptr);
}

TEST_F(Routines, UnresolvedOrMismatchedDefinitionsAreRefused) {
  Cell& spec = blk({w("a")});
  LanguageError e{};
  Cell* top = stack::top;
  EXPECT_EQ(error_id([&] { routine::define("ft-missing", &spec, nullptr); }, &e), "not-here");
  EXPECT_EQ(e.category, ErrorCategory::internal);
  EXPECT_EQ(word::name_of(&e.args[0]), "ft-missing") << "the error names the routine";
  EXPECT_EQ(error_id([&] { routine::define("ft-add", &spec, nullptr); }, &e), "bad-func-def") << "arity 1 for 2";
  EXPECT_EQ(stack::top, top);

  Cell& wide = blk({});
  for (i32 i = 0; i < 32; ++i) {
    Cell& v = w(("ft-arg" + std::to_string(i)).c_str());
    block::append_value(&wide, &v);
  }
  EXPECT_EQ(error_id([&] { routine::make_value(&wide, nullptr, 0, -1, false); }), "bad-func-def")
      << "32 arguments would spill into the new-line bit";
}

TEST_F(Routines, ArityCountsTheWordsOfTheWholeSpec) {
  Cell& spec = blk({w("skipped"), w("a"), str("doc"), blk({dt(type::integer)}), w("b", type::lit_word)});
  series::set_head_index(&spec, 1);
  Cell r = *routine::make_value(&spec, nullptr, 0, -1, false);
  EXPECT_EQ(routine::get_arity(&r), 2) << "the head index is not applied; only word! counts";
  r.header |= header::new_line;
  routine::set_arity(&r);
  EXPECT_TRUE(r.header & header::new_line) << "other header bits are kept";
  EXPECT_EQ(r.type(), u32{type::routine});
}

TEST_F(Routines, InvokeConvertsArgumentsAndBoxesResults) {
  auto run = [](const char* name, std::initializer_list<Cell> args, i32 arity) {
    Cell& spec = blk({});
    for (i32 i = 0; i < arity; ++i) {
      Cell& v = w(("ft-p" + std::to_string(i)).c_str());
      block::append_value(&spec, &v);
    }
    Cell r = *routine::define(name, &spec, nullptr);
    RootCell keep(r);
    Cell* base = stack::top;
    for (const Cell& a : args) stack::push_value(&a);
    if (arity == 0) stack::push_cell();
    Cell result = *routine::invoke(&r, base);
    stack::top = base;
    return result;
  };
  Cell sum = run("ft-add", {test::int_cell(2), test::int_cell(3)}, 2);
  EXPECT_EQ(sum.type(), u32{type::integer});
  EXPECT_EQ(sum.as_int(), 5);
  Cell half = run("ft-half", {test::int_cell(3)}, 1);
  EXPECT_EQ(half.type(), u32{type::float_});
  EXPECT_EQ(half.as_double(), 1.5);
  Cell no = run("ft-not", {test::logic_cell(true)}, 1);
  EXPECT_EQ(no.type(), u32{type::logic});
  EXPECT_EQ(logic::get(&no), 0u);
  ft_calls = 0;
  EXPECT_EQ(run("ft-count", {}, 0).type(), u32{type::unset});
  EXPECT_EQ(ft_calls, 1);
  Cell second = run("ft-second", {test::int_cell(8), test::int_cell(9)}, 2);
  EXPECT_EQ(second.as_int(), 9) << "the procedure's own result cell";
  EXPECT_EQ(error_id([&] { run("ft-add", {test::int_cell(2), test::none_cell()}, 2); }), "expect-arg");
  EXPECT_EQ(error_id([&] { run("ft-not", {test::int_cell(1)}, 1); }), "expect-arg");
}

TEST_F(Routines, AnOperatorOnARoutineStillReachesItsProcedure) {
  Cell& spec = blk({w("a"), w("b")});
  Cell r = *routine::define("ft-add", &spec, nullptr);
  RootCell keep(r);
  Cell proto = dt(type::op);
  Cell o = *datatype::row(type::op).make(&proto, &r, type::op);
  RootCell keep_o(o);
  EXPECT_EQ(op::wrapped_type(&o), u32{type::routine});
  EXPECT_EQ(routine::entry_of(&o), routine::entry(routine::find("ft-add")));
  Cell kept = *function::more_cell(&o, function::more::op_value);
  EXPECT_EQ(routine::get_arity(&kept), 2) << "the routine's copy keeps what the operator's header lost";
  Cell twenty = test::int_cell(20), twenty_two = test::int_cell(22);
  Cell* base = stack::push_value(&twenty);
  stack::push_value(&twenty_two);
  EXPECT_EQ(routine::invoke(&o, base)->as_int(), 42);
}

}  // namespace
}  // namespace kiv
