// object!: making from specs and prototypes, class ids, copying, construct, path access, select and
// put, the set native's object case, reflection, modify, comparison, form and mold; and the change
// events on-change* and on-deep-change* with their record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/static_words.h"
#include "runtime/collector.h"
#include "runtime/sys.h"
#include "tests/unit/object_fixture.h"

namespace kiv {
namespace {

using test::ObjectTest;
using Objects = ObjectTest;
using Events = ObjectTest;

Cell* values(const Cell& o) { return object::get_values(&o); }
Ref<Node> ctx_of(const Cell& o) { return object::context_of(&o); }

Cell& reflect(const Cell& o, const char* field) {
  Cell v = o;
  RootCell keep(v);
  Cell& w = ObjectTest::word_of(field);
  return *stack::push_value(object::reflect(&v, word::symbol_of(&w)));
}

Cell& copy_of(const Cell& o, bool deep, const Cell* types = nullptr) {
  Cell* out = stack::push_cell();
  Cell v = o;
  RootCell keep(v);
  Cell t = types ? *types : Cell{type::none, 0, 0, 0};
  RootCell keep_t(t);
  return *object::copy(&v, out, nullptr, deep, types ? &t : nullptr);
}

// ---- make ----

TEST_F(Objects, MakeFromABlockCollectsTheSetWordsAndEvaluatesTheBody) {
  Cell& o = make_object("a: 1 b: \"x\" a: 2");
  EXPECT_EQ(o.type(), type::object);
  EXPECT_EQ(object::word_count(&o), 2);  // a word set twice is one field, holding the last value
  EXPECT_EQ(mold(field(o, "a")), "2");
  EXPECT_GT(object::class_of(&o), 1000000);
  EXPECT_EQ(o.w3, 0u) << "no handlers, no event record";
  EXPECT_EQ(context::owner_of(ctx_of(o))->w1, o.w1) << "self is stored";
  EXPECT_EQ(mold(reflect(o, "changed")), "[]") << "changed marks are cleared at the end of make";

  EXPECT_EQ(mold(o), "make object! [\n    a: 2\n    b: \"x\"\n]");
  EXPECT_EQ(mold(o, false, false, true), "make object! [a: 2 b: \"x\"]");
  EXPECT_EQ(mold(o, true), "a: 2\nb: \"x\"");
  EXPECT_EQ(form(o), "a: 2\nb: \"x\"");

  Cell& empty = make_object("");
  EXPECT_EQ(mold(empty), "make object! []");
  EXPECT_EQ(form(empty), "");
  EXPECT_GT(object::class_of(&empty), object::class_of(&o));
}

TEST_F(Objects, MakeClearsNewLineMarkersAndRefusesOtherSpecs) {
  Cell& o = make_object("a:\n1 b: [x\ny]");
  EXPECT_FALSE(values(o)[0].header & header::new_line);
  // Only the field cells lose the marker, not what a block holds.
  Cell& b = field(o, "b");
  EXPECT_TRUE(block::cell_at(&b, 1)->header & header::new_line);

  Cell proto{type::none, 0, 0, 0};
  datatype::make_at(&proto, type::object);
  Cell spec = test::int_cell(3);
  LanguageError e{};
  EXPECT_EQ(error_id([&] { object::make(&proto, &spec, type::object); }, &e), "malconstruct");
  EXPECT_EQ(e.category, ErrorCategory::syntax);
  EXPECT_EQ(e.args[0].as_int(), 3);
}

TEST_F(Objects, PrototypesShareTheirClassUntilWordsAreAddedAndGiveFreshSeries) {
  Cell& p = run("p: make object! [a: 1 b: [a] s: \"t\" f: func [] [a]]");
  Cell& same = run("make p [a: 5]");
  Cell& more = run("make p [c: 3]");
  EXPECT_EQ(object::class_of(&same), object::class_of(&p));
  EXPECT_NE(object::class_of(&more), object::class_of(&p));
  EXPECT_EQ(mold(field(same, "a")), "5");
  EXPECT_EQ(mold(field(p, "a")), "1") << "the prototype is untouched";

  Cell& b = field(same, "b");
  EXPECT_NE(b.w2, field(p, "b").w2) << "a fresh copy of the prototype's block";
  EXPECT_EQ(word::context_of(block::cell_at(&b, 0)), ctx_of(same)) << "bound to the new object";
  EXPECT_NE(field(same, "s").w2, field(p, "s").w2);

  // The function is rebound: its body reads the new object's field and runs interpreted.
  Cell& f = field(same, "f");
  Cell* body = function::more_cell(&f, function::more::body);
  EXPECT_EQ(word::context_of(block::cell_at(body, 0)), ctx_of(same));
  EXPECT_EQ(function::more_cell(&f, function::more::code)->type(), type::unset);
  Cell& pf = field(p, "f");
  EXPECT_NE(function::context_node(&f), function::context_node(&pf));
}

TEST_F(Objects, MakeFromAnObjectSpecExtendsAndCopies) {
  Cell& p = run("p: make object! [a: 1 b: [1]]");
  Cell& spec = run("q: make object! [B: [2] c: 3]");
  Cell& o = run("make p q");
  EXPECT_EQ(object::word_count(&o), 3);
  EXPECT_EQ(mold(o, false, false, true), "make object! [a: 1 b: [2] c: 3]");
  EXPECT_NE(field(o, "b").w2, field(spec, "b").w2) << "series of the extension are copied";
  EXPECT_NE(object::class_of(&o), object::class_of(&p));
  Cell& same = run("make p make object! [a: 9]");
  EXPECT_EQ(object::class_of(&same), object::class_of(&p)) << "no word added: the prototype's class";
}

TEST_F(Objects, AFunctionKeptWithoutItsBodyCannotBeRebound) {
  Cell& o = make_object("f: none");
  Cell& spec = load("[]");
  function::make_value(block::cell_at(&spec, 0), nullptr, Ref<Node>{}, 7, 0, 0);
  values(o)[0] = *stack::last_value();
  set_global("o", o);
  EXPECT_EQ(error_id([&] { run("make o []"); }), "bad-func-def");
  EXPECT_EQ(error_id([&] { copy_of(o, false); }), "bad-func-def");
}

// ---- copy and construct ----

TEST_F(Objects, CopyDeepCopiesBlocksAndStringsButSharesObjects) {
  Cell& o = make_object("b: [1 [2]] s: \"t\" n: make object! [x: 1] i: 5");
  Cell& shallow = copy_of(o, false);
  EXPECT_EQ(field(shallow, "b").w2, field(o, "b").w2);
  EXPECT_NE(shallow.w1, o.w1);
  EXPECT_EQ(object::class_of(&shallow), object::class_of(&o));

  Cell& deep = copy_of(o, true);
  Cell &b = field(deep, "b"), &ob = field(o, "b");
  EXPECT_NE(b.w2, ob.w2);
  EXPECT_NE(block::cell_at(&b, 1)->w2, block::cell_at(&ob, 1)->w2) << "deeply";
  EXPECT_NE(field(deep, "s").w2, field(o, "s").w2);
  EXPECT_EQ(field(deep, "n").w1, field(o, "n").w1) << "nested objects stay shared";
  EXPECT_EQ(mold(deep), mold(o));
  EXPECT_EQ(word::context_of(context::word_at(ctx_of(deep), 0)), ctx_of(deep)) << "words rebound";

  Cell strings{type::typeset, 0, 0, 0};
  cell::typeset_add(&strings, type::string);
  Cell &typed = copy_of(o, false, &strings);
  EXPECT_NE(field(typed, "s").w2, field(o, "s").w2);
  EXPECT_EQ(field(typed, "b").w2, field(o, "b").w2);

  Cell part = test::int_cell(1), v = o, out = test::none_cell();
  RootCell keep(out);
  LanguageError e{};
  EXPECT_EQ(error_id([&] { object::copy(&v, &out, &part, false, nullptr); }, &e), "invalid-refine-arg");
  EXPECT_EQ(e.args[0].type(), type::refinement);
}

TEST_F(Objects, CopyInPlaceAndUnderTortureKeepsEverything) {
  Cell& o = make_object("a: [1 2] s: \"text\" f: func [x] [x a]");
  RootCell keep(o);
  set_global("o", o);
  bool enabled = collector::enabled;
  collector::enabled = true;
  collector::set_torture(1);
  Cell* c = stack::push_value(&o);
  object::copy(c, c, nullptr, true, nullptr);  // as the generic copy of a block does
  Cell& made = run("make o [b: 3]");
  RootCell keep_made(made);
  std::string text = mold(*c, false, false, true);
  std::string text2 = mold(made, false, false, true);
  collector::set_torture(0);
  collector::enabled = enabled;
  EXPECT_EQ(text, "make object! [a: [1 2] s: \"text\" f: func [x][x a]]");
  EXPECT_EQ(text2, "make object! [a: [1 2] s: \"text\" f: func [x][x a] b: 3]");
  EXPECT_NE(c->w1, o.w1);
}

TEST_F(Objects, ConstructTakesValuesLiterallyAndReadsLogicWords) {
  Cell& spec = load("a: b: on c: off d: none e: foo f: (1 + 2) g:");
  Cell* o = object::construct(&spec, nullptr, false);
  EXPECT_EQ(mold(*o, false, false, true),
            "make object! [a: true b: true c: false d: none e: 'foo f: (1 + 2) g: none]");
  EXPECT_GT(object::class_of(o), 1000000);
  EXPECT_EQ(o->w3, 0u);

  Cell only = *object::construct(&spec, nullptr, true);
  RootCell keep_only(only);
  EXPECT_EQ(mold(field(only, "a")), "on");
  EXPECT_EQ(mold(field(only, "d")), "none");
  EXPECT_EQ(field(only, "d").type(), type::word);

  Cell& p = make_object("x: 1 a: 0");
  Cell with = *object::construct(&spec, &p, false);
  RootCell keep_with(with);
  EXPECT_EQ(object::class_of(&with), object::class_of(&p));
  EXPECT_EQ(mold(field(with, "x")), "1");
  EXPECT_EQ(mold(field(with, "a")), "true");
  EXPECT_EQ(mold(field(p, "a")), "0");
}

// ---- path access, select, put ----

TEST_F(Objects, PathAccessIsCaseInsensitiveAndCachesTheBinding) {
  Cell& o = run("o: make object! [a: 1 u: #(unset) n: make object! [x: 2]]");
  EXPECT_EQ(mold(run("o/A")), "1");
  EXPECT_EQ(mold(run("o/n/x")), "2");
  run("o/N/X: 5");
  EXPECT_EQ(mold(run("o/n/x")), "5");

  Cell& w = word_of("A");  // bound to the global context
  Cell* r = object::eval_path(&o, &w, nullptr, nullptr, nullptr, nullptr, 1, false, false, true, false);
  EXPECT_EQ(r->as_int(), 1);
  EXPECT_EQ(word::context_of(&w), ctx_of(o));
  EXPECT_EQ(word::index_of(&w), 0);

  struct Case {
    const char* element;
    bool lenient, tail;
    const char* id;  // "" for an unset! result
  };
  for (const Case& c : {Case{"zz", false, true, "invalid-path"}, Case{"zz", false, false, "unset-path"},
                        Case{"u", false, true, "invalid-path"}, Case{"u", true, false, "unset-path"},
                        Case{"zz", true, true, ""}}) {
    Cell& e = word_of(c.element);
    Cell& path = load("o/x");
    LanguageError err{};
    Cell* got = nullptr;
    EXPECT_EQ(error_id([&] { got = object::access_field(&o, &e, nullptr, &path, c.lenient, c.tail); }, &err), c.id)
        << c.element << c.lenient << c.tail;
    if (*c.id) {
      EXPECT_EQ(err.args[0].type(), type::block);
      EXPECT_EQ(mold(err.args[1]), c.element);
    } else {
      EXPECT_EQ(got->type(), type::unset);
    }
  }
  Cell one = test::int_cell(1);
  EXPECT_EQ(error_id([&] { object::access_field(&o, &one, nullptr, nullptr, false, true); }), "invalid-path");
}

TEST_F(Objects, SelectAndPut) {
  Cell& o = make_object("a: 1 u: #(unset)");
  const action::Row& row = datatype::row(type::object);
  Cell &a = word_of("a"), &zz = word_of("zz"), &u = word_of("u"), &lit = word_of("a", type::lit_word);
  Cell nine = test::int_cell(9), one = test::int_cell(1);
  auto select = [&](Cell* key) {
    return *row.select(&o, key, nullptr, false, false, false, false, nullptr, nullptr, false, false);
  };
  EXPECT_EQ(select(&lit).as_int(), 1);
  EXPECT_EQ(select(&zz).type(), type::none);
  EXPECT_EQ(select(&u).type(), type::unset);
  EXPECT_EQ(error_id([&] { select(&one); }), "invalid-type");

  EXPECT_EQ(row.put(&o, &a, &nine, false)->as_int(), 9);
  EXPECT_EQ(field(o, "a").as_int(), 9);
  Cell none = test::none_cell();
  row.put(&o, &a, &none, false);
  EXPECT_EQ(field(o, "a").type(), type::none) << "put sets none like any value";
  LanguageError e{};
  EXPECT_EQ(error_id([&] { row.put(&o, &zz, &nine, false); }, &e), "invalid-path");
  EXPECT_EQ(e.args[0].type(), type::none);
  EXPECT_EQ(error_id([&] { row.put(&o, &lit, &nine, false); }), "invalid-key-type");
}

// ---- set, reflect, modify ----

TEST_F(Objects, SetSpreadsBlocksAndObjectsOverTheFields) {
  Cell& o = make_object("a: 1 b: 2 c: 3");
  auto set = [&](std::string_view text, bool any = false, bool only = false, bool some = false) {
    Cell& v = run(text);
    object::set_many(&o, &v, any, only, some);
    return mold(o, false, false, true);
  };
  EXPECT_EQ(set("[7 8]"), "make object! [a: 7 b: 8 c: none]");
  EXPECT_EQ(set("[#(none) 9 #(none)]", false, false, true), "make object! [a: 7 b: 9 c: none]");
  EXPECT_EQ(set("make object! [c: 30 A: 10 zz: 1]"), "make object! [a: 10 b: 9 c: 30]");
  EXPECT_EQ(set("[x y]", false, true), "make object! [a: [x y] b: [x y] c: [x y]]");
  EXPECT_EQ(set("0"), "make object! [a: 0 b: 0 c: 0]");

  LanguageError e{};
  EXPECT_EQ(error_id([&] { set("[1 #(unset)]"); }, &e), "need-value");
  EXPECT_EQ(mold(e.args[0]), "b");
  EXPECT_EQ(mold(o, false, false, true), "make object! [a: 0 b: 0 c: 0]") << "checked before anything is set";
  set("[1 #(unset)]", true);
  EXPECT_EQ(field(o, "b").type(), type::unset);
  EXPECT_EQ(mold(reflect(o, "changed")), "[a b c]");
}

TEST_F(Objects, ReflectAndModify) {
  Cell& o = make_object("a: 1 b: 'w c: none");
  Cell& xy = load("x/y");
  values(o)[2] = *block::cell_at(&xy, 0);
  Cell& words = reflect(o, "words");
  EXPECT_EQ(mold(words), "[a b c]");
  EXPECT_EQ(word::context_of(block::cell_at(&words, 0)), ctx_of(o));
  EXPECT_EQ(mold(reflect(o, "values")), "[1 w x/y]");
  Cell& body = reflect(o, "body");
  EXPECT_EQ(mold(body, false, false, true), "[a: 1 b: 'w c: 'x/y]");
  EXPECT_TRUE(block::cell_at(&body, 0)->header & header::new_line);
  EXPECT_EQ(mold(body), "[\n    a: 1\n    b: 'w\n    c: 'x/y\n]");
  EXPECT_EQ(reflect(o, "class").as_int(), object::class_of(&o));
  EXPECT_EQ(mold(reflect(o, "owner")), "false");
  EXPECT_EQ(mold(reflect(o, "events?")), "false");
  EXPECT_EQ(error_id([&] { reflect(o, "spec"); }), "not-done");

  set_global("o", o);
  run("o/b: 2");
  EXPECT_EQ(mold(reflect(o, "changed")), "[b]");
  Cell& changed = word_of("changed"), none = test::none_cell(), one = test::int_cell(1);
  EXPECT_EQ(error_id([&] { object::modify(&o, &changed, &one, false); }), "invalid-arg");
  object::modify(&o, &changed, &none, false);
  EXPECT_EQ(mold(reflect(o, "changed")), "[]");
  Cell& owner = word_of("owner");
  object::modify(&o, &owner, &none, false);
  EXPECT_EQ(mold(reflect(o, "owner")), "true");

  // to block! of an object lists its body.
  Cell proto{type::none, 0, 0, 0};
  datatype::make_at(&proto, type::block);
  Cell v = o;
  EXPECT_EQ(mold(*datatype::row(type::block).to(&proto, &v, type::block), false, false, true),
            "[a: 1 b: 2 c: 'x/y]");
}

// ---- comparison ----

TEST_F(Objects, ComparisonWalksFieldsInOrder) {
  Cell &a = make_object("a: 1 b: \"x\""), &same = make_object("A: 1.0 b: \"X\""), &swapped = make_object("b: \"x\" a: 1");
  Cell &fewer = make_object("a: 1"), &other_type = make_object("a: \"1\" b: \"x\"");
  auto eq = [](const Cell& x, const Cell& y, i32 op = compare_op::equal) {
    Cell p = x, q = y;
    return actions::compare(&p, &q, op);
  };
  EXPECT_EQ(eq(a, same), 1) << "numbers compare across types, strings without case";
  EXPECT_EQ(eq(a, same, compare_op::strict_equal), 0);
  EXPECT_EQ(eq(a, swapped), 0) << "the same fields in another order";
  EXPECT_EQ(eq(a, a, compare_op::same), 1);
  EXPECT_EQ(eq(a, same, compare_op::same), 0);
  Cell x = a, y = fewer, s = other_type, i = test::int_cell(1);
  EXPECT_EQ(object::compare(&x, &y, compare_op::equal), 1);
  EXPECT_EQ(object::compare(&y, &x, compare_op::equal), -1);
  EXPECT_EQ(object::compare(&x, &s, compare_op::equal), type::integer < type::string ? -1 : 1);
  EXPECT_EQ(object::compare(&x, &i, compare_op::equal), -2);

  // Objects holding themselves compare without end.
  Cell& r1 = run("r1: make object! [me: none n: 1] r1/me: r1 r1");
  Cell& r2 = run("r2: make object! [me: none n: 1] r2/me: r2 r2");
  EXPECT_EQ(eq(r1, r2), 1);
  EXPECT_EQ(mold(r1, false, false, true), "make object! [me: make object! [...] n: 1]");
  EXPECT_EQ(form(r1), "me: make object! [...]\nn: 1");
}

// ---- form and mold ----

TEST_F(Objects, MoldQuotesWordsIndentsNestedObjectsAndRepairsUnwrittenCells) {
  Cell& o = make_object("w: 'foo n: make object! [x: 1 e: make object! []] u: 0");
  values(o)[2].header = 0;  // a slot never written
  EXPECT_EQ(mold(o),
            "make object! [\n"
            "    w: 'foo\n"
            "    n: make object! [\n"
            "        x: 1\n"
            "        e: make object! []\n"
            "    ]\n"
            "    u: unset\n"
            "]");
  EXPECT_EQ(values(o)[2].type(), type::unset);
  EXPECT_EQ(mold(o, true, false, true), "w: 'foo n: make object! [x: 1 e: make object! []] u: unset");

  // Handler fields are left out unless /all; no separator is left behind for them.
  Cell& h = make_object("a: 1 on-change*: func [w o n] []");
  EXPECT_EQ(mold(h, false, false, true), "make object! [a: 1]");
  EXPECT_EQ(mold(h, false, true, true), "make object! [a: 1 on-change*: func [w o n][]]");

  // A limit stops before the next field.
  Cell v = o, out = test::none_cell();
  RootCell keep(out), keep_v(v);
  string::make_at(&out, 16);
  i32 left = object::mold(&v, &out, false, false, true, nullptr, 20, 0);
  EXPECT_EQ(string::to_utf8(&out), "make object! [w: 'foo ]");
  EXPECT_EQ(left, -3);
}

// ---- change events ----

TEST_F(Events, OnChangeFiresForEachWayOfAssigningAField) {
  Cell& o = run("o: make object! [a: 1 b: 2 on-change*: func [word old new] []]");
  ASSERT_NE(o.w3, 0u);
  EXPECT_EQ(object::handler_of(object::events_of(&o), object::on_change_entry).slot, 2);
  EXPECT_EQ(object::handler_of(object::events_of(&o), object::on_deep_change_entry).slot, -1);
  EXPECT_TRUE(calls().empty()) << "setting fields while making fires nothing: the record comes last";
  EXPECT_EQ(mold(reflect(o, "events?")), "true");

  run("o/a: 10");
  Cell& key = word_of("b"), v = test::int_cell(20);
  object::put(&o, &key, &v, false);
  Cell w = *context::word_at(ctx_of(o), 0), three = test::int_cell(3);
  word::set(&w, &three);
  Cell& spread = load("4 5 #(none)");
  object::set_many(&o, &spread, false, false, false);
  ASSERT_EQ(calls().size(), 5u) << "the set native does not fire for the handler's own field";
  std::vector<std::vector<std::string>> want = {{"a", "1", "10"}, {"b", "2", "20"}, {"a", "10", "3"},
                                                {"a", "3", "4"},  {"b", "20", "5"}};
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(calls()[i].name, "on-change*");
    EXPECT_EQ(calls()[i].args, want[i]) << i;
  }
  EXPECT_EQ(mold(field(o, "on-change*")), "none");
  calls().clear();
  EXPECT_EQ(error_id([&] { run("o/a: 1"); }), "invalid-obj-evt");
  EXPECT_EQ(field(o, "a").as_int(), 1) << "the value is stored before the handler is looked at";
}

TEST_F(Events, TheWordPassedIsBoundToTheObject) {
  Cell& o = make_object("a: 1 on-change*: func [word old new] []");
  Ref<Node> seen{};
  on_call() = [&](const Cell*, Cell* args, i32) { seen = word::context_of(args); };
  Cell& global = word_of("A"), old = test::int_cell(0), now = test::int_cell(1);
  object::fire_on_change(&o, &global, &old, &now);
  EXPECT_EQ(seen, ctx_of(o));
  EXPECT_EQ(word::context_of(&global), context::global()) << "the caller's word is left alone";
  // A set-word path element is replaced by the object's own word.
  Cell& sw = word_of("a", type::set_word);
  object::access_field(&o, &sw, &now, nullptr, false, true);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[1].args[0], "a");
}

TEST_F(Events, OnlyADeepHandlerLeavesAssignmentsSilent) {
  Cell& o = run("o: make object! [a: 1 on-deep-change*: func [o w t a n i p] []]");
  EXPECT_TRUE(object::has_deep_handler_q(&o));
  EXPECT_EQ(object::handler_of(object::events_of(&o), object::on_change_entry).slot, -1);
  EXPECT_EQ(object::events_of(&o) ? buffer_of(object::events_of(&o))->head_ptr<Cell>()[0].w1 : 0u, 0xFFFF0000u);
  run("o/a: 2");
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(mold(reflect(o, "owner")), "true") << "a deep handler makes the object own its series";
}

TEST_F(Events, LocalsArePassedUnsetAndRecountedWhenTheHandlerChanges) {
  Cell& o = run("o: make object! [a: 1 on-change*: func [w o n /local x y] []]");
  EXPECT_EQ(object::handler_of(object::events_of(&o), object::on_change_entry).locals, 3);
  run("o/a: 2");
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].args, (std::vector<std::string>{"a", "1", "2", "false", "none", "none"}));
  // Redefined through a set-path: that assignment fires too, already with the new handler.
  run("o/on-change*: func [w o n /local x y z] []");
  run("o/a: 3");
  ASSERT_EQ(calls().size(), 3u);
  EXPECT_EQ(calls()[1].args.size(), 7u);
  EXPECT_EQ(calls()[2].args, (std::vector<std::string>{"a", "2", "3", "false", "none", "none", "none"}));
  EXPECT_EQ(object::handler_of(object::events_of(&o), object::on_change_entry).locals, 4);
}

TEST_F(Events, RecordErrors) {
  LanguageError e{};
  EXPECT_EQ(error_id([&] { make_object("on-change*: 5"); }, &e), "bad-field-set");
  EXPECT_EQ(mold(e.args[0]), "on-change*");
  EXPECT_EQ(mold(e.args[1]), "integer!");
  EXPECT_EQ(error_id([&] { make_object("ON-DEEP-CHANGE*: \"x\""); }, &e), "bad-field-set");

  Cell& plain = make_object("a: 1");
  Cell &w = word_of("a"), &act = word_of("append"), &t = load("[]");
  EXPECT_EQ(error_id([&] { object::fire_on_deep_change(&plain, &w, &t, &act, nullptr, 0, 1); }, &e),
            "invalid-obj-evt");
  EXPECT_EQ(e.args[0].type(), type::object);
}

TEST_F(Events, DeepChangePassesItsSevenArgumentsAndNoneForAnAbsentValue) {
  Cell& o = make_object("b: [] on-deep-change*: func [owner word target action new index part] []");
  Cell &w = word_of("b"), &act = word_of("append"), &target = field(o, "b");
  object::fire_on_deep_change(&o, &w, &target, &act, nullptr, 2, 3);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].name, "on-deep-change*");
  EXPECT_EQ(calls()[0].args, (std::vector<std::string>{"object", "b", "[]", "append", "none", "2", "3"}));
  // A deep handler field replaced by a non-function is skipped silently.
  values(o)[1] = test::int_cell(0);
  object::fire_on_deep_change(&o, &w, &target, &act, nullptr, 2, 3);
  EXPECT_EQ(calls().size(), 1u);
}

TEST_F(Events, AHandlerAssigningItsOwnFieldEndsInStackOverflow) {
  sys::init_stack_bounds();
  Cell& o = run("o: make object! [a: 0 on-change*: func [w o n] []]");
  RootCell keep(o);
  i32 depth = 0;
  on_call() = [&](const Cell*, Cell*, i32) {
    ++depth;
    calls().clear();
    Cell& e = word_of("a"), v = test::int_cell(depth);
    object::access_field(&o, &e, &v, nullptr, false, true);
  };
  Cell* top = stack::top;
  LanguageError err{};
  EXPECT_EQ(error_id([&] { run("o/a: 1"); }, &err), "stack-overflow");
  EXPECT_EQ(err.category, ErrorCategory::internal);
  EXPECT_GT(depth, 10);
  EXPECT_LE(stack::top, top + 8) << "the temporaries are dropped as the error unwinds";
}

TEST_F(Events, HandlersRunWhileACollectionMovesEverything) {
  bool enabled = collector::enabled;
  collector::enabled = true;
  collector::set_torture(1);
  Cell& o = run("o: make object! [a: [1] b: \"x\" on-change*: func [w o n /local t] []]");
  RootCell keep(o);
  run("o/a: [2 3] o/b: \"y\"");
  Cell& spread = load("9 8");
  RootCell keep_spread(spread);
  object::set_many(&o, &spread, false, false, true);  // /some: the handler field stays
  Cell& copy = copy_of(o, true);
  RootCell keep_copy(copy);
  set_global("c", copy);
  run("c/a: 0");
  collector::set_torture(0);
  collector::enabled = enabled;
  ASSERT_EQ(calls().size(), 5u);
  EXPECT_EQ(calls()[0].args, (std::vector<std::string>{"a", "[1]", "[2 3]", "false", "none"}));
  EXPECT_EQ(calls()[1].args, (std::vector<std::string>{"b", "\"x\"", "\"y\"", "false", "none"}));
  EXPECT_EQ(calls()[3].args[2], "8");
  EXPECT_EQ(calls()[4].args, (std::vector<std::string>{"a", "9", "0", "false", "none"}));
  EXPECT_NE(copy.w3, o.w3) << "a copy has a record of its own";
}

TEST_F(Events, CompiledCodeHelpersAndAttachedRecords) {
  Cell& f = run("func [w o n] []");
  RootCell keep_f(f);
  // A context as compiled code builds it, completed with push_new and attach_events.
  Ref<Node> ctx = context::make(3, false, true, Ref<Node>{}, context::object);
  RootNode keep(ctx);
  for (const char* name : {"a", "on-change*", "b"}) {
    Cell& w = word_of(name);
    i32 n;
    context::find_or_add_word(ctx, word::symbol_of(&w), true, &n);
  }
  Cell* o = object::push_new(ctx, 7);
  EXPECT_EQ(object::word_count(o), 3);
  EXPECT_EQ(object::get_values(o)[2].type(), type::unset);
  object::get_values(o)[1] = f;
  object::attach_events(ctx, 1, 0, -1, 0);
  EXPECT_EQ(object::handler_of(object::events_of(o), 0).spec, 0u) << "no cached spec";
  EXPECT_EQ(context::owner_of(ctx)->w3, o->w3) << "self stored with the record";

  set_global("o", *o);
  Cell& holder = word_of("o");
  EXPECT_TRUE(object::word_has_class_q(&holder, 7));
  EXPECT_FALSE(object::word_has_class_q(&holder, 8));
  EXPECT_TRUE(object::slot_has_class_q(context::global(), word::index_of(&holder), 7));
  EXPECT_EQ(object::word_of_value(ctx, object::get_values(o) + 2), context::word_at(ctx, 2));
  EXPECT_EQ(object::word_of_value(ctx, object::get_values(o) + 3), nullptr);

  // Compiled set-path code pushes the new value, then the old one.
  Cell& w = word_of("b"), now = test::int_cell(2), old = test::int_cell(1);
  stack::push_value(&now);
  stack::push_value(&old);
  object::fire_on_change_of_word(&holder, &w);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0].args, (std::vector<std::string>{"b", "1", "2"}));
  EXPECT_NE(object::handler_of(object::events_of(o), 0).spec, 0u) << "counted at the first call";
}

}  // namespace
}  // namespace kiv
