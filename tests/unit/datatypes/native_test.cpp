// native!, action! and op!: making them from the tables and from callables, the refusals, the
// operator spec check, reflection, form, mold and comparison.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "datatypes/action.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/native.h"
#include "datatypes/op.h"
#include "datatypes/registry.h"
#include "datatypes/routine.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "runtime/hashtable.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

void a_native() {}
void another_native() {}
void an_action() {}
void a_path_step() {}

// The tables as a booted system has them: natives in slots 1, 2 and 120 (108..119 free), generic
// action entries everywhere but the path-step (7), empty (8) and comparison (9) slots.
class Natives : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    std::copy(std::begin(natives::table), std::end(natives::table), saved_natives_);
    std::copy(std::begin(natives::actions_table), std::end(natives::actions_table), saved_actions_);
    for (auto& s : natives::table) s = {};
    natives::table[0] = {a_native, natives::Convention::native};
    natives::table[1] = {another_native, natives::Convention::native};
    natives::table[119] = {a_native, natives::Convention::native};
    natives::table[3] = {an_action, natives::Convention::action};  // a slot of the wrong convention
    for (auto& s : natives::actions_table) s = {an_action, natives::Convention::action};
    natives::actions_table[6] = {a_path_step, natives::Convention::path_step};
    natives::actions_table[7] = {};
    natives::actions_table[8] = {a_path_step, natives::Convention::comparison};
  }
  void TearDown() override {
    std::copy(std::begin(saved_natives_), std::end(saved_natives_), natives::table);
    std::copy(std::begin(saved_actions_), std::end(saved_actions_), natives::actions_table);
  }

 private:
  natives::Slot saved_natives_[natives::slot_count];
  natives::Slot saved_actions_[natives::action_slot_count];
};

// The builders answer value-stack cells, which the collector keeps and rewrites: hold them by
// reference, or root a copy.
Cell& w(const char* name, u32 t = type::word) {
  Cell c{};
  word::load_at(name, &c);
  cell::set_type(&c, t);
  return *stack::push_value(&c);
}

Cell dt(u32 t) {
  Cell c{};
  return *datatype::make_at(&c, t);
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

// make native! / make action! with [spec index].
Cell& make_from_table(u32 t, Cell spec_arg) {
  RootCell keep(spec_arg);
  Cell proto = dt(t);
  return *stack::push_value(datatype::row(t).make(&proto, &spec_arg, t));
}

Cell& make_native(i32 index, Cell spec) {
  return make_from_table(type::native, test::block_of({spec, test::int_cell(index)}));
}

Cell& make_function(Cell spec, Cell body) {
  Cell& arg = test::block_of({spec, body});
  Cell proto = dt(type::function);
  return *stack::push_value(datatype::row(type::function).make(&proto, &arg, type::function));
}

Cell& make_op(Cell callable) {
  Cell proto = dt(type::op);
  Cell v = callable;
  RootCell keep(v);
  return *stack::push_value(datatype::row(type::op).make(&proto, &v, type::op));
}

TEST_F(Natives, TheIndexMustNameAFilledSlotOfTheRightConvention) {
  Cell& spec = test::block_of({w("value")});
  struct Case {
    u32 type;
    Cell index{};
    bool accepted;
    const char* why;
  };
  const Case cases[] = {
      {type::native, test::int_cell(1), true, "first native"},
      {type::native, test::int_cell(120), true, "last slot"},
      {type::native, test::int_cell(0), false, "below the table"},
      {type::native, test::int_cell(121), false, "past the table"},
      {type::native, test::int_cell(-5), false, "negative"},
      {type::native, test::none_cell(), false, "not an integer"},
      {type::native, test::int_cell(110), false, "an empty slot"},
      {type::native, test::int_cell(4), false, "a slot holding an action entry"},
      {type::action, test::int_cell(1), true, "make"},
      {type::action, test::int_cell(62), true, "write"},
      {type::action, test::int_cell(63), false, "past the actions"},
      {type::action, test::int_cell(7), false, "the path-step entry"},
      {type::action, test::int_cell(8), false, "the empty slot"},
      {type::action, test::int_cell(9), false, "the comparison entry"},
  };
  for (const Case& c : cases) {
    Cell* before = stack::top;
    Cell& arg = test::block_of({spec, c.index});
    Cell* after_arg = stack::top;
    LanguageError e{};
    std::string id = error_id([&] { make_from_table(c.type, arg); }, &e);
    if (c.accepted) {
      EXPECT_EQ(id, "") << c.why;
      Cell made = *stack::last_value();
      EXPECT_EQ(made.type(), c.type) << c.why;
      EXPECT_EQ(native::slot_of(&made), integer::get(&c.index)) << c.why;
      EXPECT_EQ(made.w2, spec.w2) << c.why << ": the spec block is the interface";
    } else {
      EXPECT_EQ(id, "bad-make-arg") << c.why;
      EXPECT_EQ(e.args[0].type(), u32{type::datatype}) << c.why;
      EXPECT_EQ(e.args[1].w2, arg.w2) << c.why << ": the error shows the spec";
      EXPECT_EQ(stack::top, after_arg) << c.why << ": a refused make pushes nothing";
    }
    stack::top = before;
  }
}

TEST_F(Natives, TheMakeSpecMustBeASpecBlockAndAnIndex) {
  Cell& spec = test::block_of({w("value")});
  const Cell one = test::int_cell(1);
  const Cell* bad_args[] = {
      &one,                                                                // not a block
      &test::block_of({spec}),                                             // one value
      &test::block_of({spec, test::int_cell(1), test::int_cell(2)}),       // three values
      &test::block_of({test::int_cell(3), test::int_cell(1)}),             // the spec is no block
      &test::block_of({test::none_cell(), test::int_cell(1)}),
  };
  for (const Cell* arg : bad_args) {
    EXPECT_EQ(error_id([&] { make_from_table(type::native, *arg); }), "bad-make-arg");
  }
  // The spec and index are read from the block's head.
  Cell& at_one = test::block_of({test::int_cell(9), spec, test::int_cell(2)});
  series::set_head_index(&at_one, 1);
  Cell& n = make_from_table(type::native, at_one);
  EXPECT_EQ(native::slot_of(&n), 2);
}

TEST_F(Natives, ANativeCarriesItsSpecAndAContextOfItsWords) {
  Cell& spec = test::block_of({w("series"), test::block_of({dt(type::block)}), w("value"), w("part", type::refinement)});
  Cell& n = make_native(2, spec);
  Cell more{type::block, 0, n.w3, 0};
  ASSERT_EQ(block::length(&more), 2);
  Cell ctx_cell = *block::cell_at(&more, 0);
  EXPECT_EQ(ctx_cell.type(), u32{type::context});
  EXPECT_EQ(block::cell_at(&more, 1)->type(), u32{type::none});
  EXPECT_TRUE(ctx_cell.header & context::flag::on_stack) << "values live on the value stack";
  Cell words{type::block, 0, hashtable::block_of(Ref<Node>(ctx_cell.w1)).offset(), 0};
  ASSERT_EQ(block::length(&words), 3) << "the interface's words: series, value, part";
  EXPECT_EQ(word::symbol_of(block::cell_at(&words, 2)), symbol::make("part"));
}

TEST_F(Natives, ReflectGivesTheSharedSpecAndTheTableSlot) {
  Cell& spec = test::block_of({w("value")});
  Cell& n = make_native(120, spec);
  RootCell keep(n);
  Cell* got = datatype::row(type::native).reflect(&n, static_words::symbol(static_words::sym::spec));
  EXPECT_EQ(got->type(), u32{type::block});
  EXPECT_EQ(got->w2, spec.w2) << "spec-of shares the spec series";
  EXPECT_EQ(series::head_index(got), 0);
  got = datatype::row(type::native).reflect(&n, static_words::symbol(static_words::sym::body));
  EXPECT_EQ(got->type(), u32{type::integer});
  EXPECT_EQ(integer::get(got), 120) << "a native's body is its position in the natives table";

  Cell& a = make_from_table(type::action, test::block_of({spec, test::int_cell(31)}));
  got = datatype::row(type::action).reflect(&a, static_words::symbol(static_words::sym::body));
  EXPECT_EQ(integer::get(got), 31);
  EXPECT_EQ(error_id([&] { datatype::row(type::native).reflect(&n, static_words::symbol(static_words::sym::words)); }),
            "not-done");
}

TEST_F(Natives, FormAndMold) {
  Cell& spec = test::block_of({w("value"), test::block_of({dt(type::integer)})});
  Cell& n = make_native(1, spec);
  Cell& a = make_from_table(type::action, test::block_of({spec, test::int_cell(5)}));
  EXPECT_EQ(test::form_text(n), "?native?");
  EXPECT_EQ(test::form_text(a), "?action?");
  EXPECT_EQ(test::mold_text(n), "make native! [[value [integer!]]]");
  EXPECT_EQ(test::mold_text(a), "make action! [[value [integer!]]]");
  EXPECT_EQ(test::mold_text(n, true), "make native! [value [integer!]]") << "/only reaches the spec";

  // The remaining budget: form takes 8, mold 14 + the spec + 1.
  Cell out{};
  RootCell keep(out);
  string::make_at(&out, 16);
  EXPECT_EQ(datatype::row(type::native).form(&n, &out, nullptr, 100), 92);
  string::make_at(&out, 16);
  i32 left = datatype::row(type::native).mold(&n, &out, false, false, false, nullptr, 100, 0);
  EXPECT_EQ(left, 100 - string::length(&out));
}

TEST_F(Natives, NativesCompareByTheirSlot) {
  Cell& spec = test::block_of({w("value")});
  Cell &one = make_native(1, spec), &one_again = make_native(1, test::block_of({w("other")}));
  Cell& two = make_native(2, spec);
  Cell& act = make_from_table(type::action, test::block_of({spec, test::int_cell(1)}));
  EXPECT_EQ(actions::dispatch_compare(&one, &one_again, compare_op::equal), 0) << "same code, same native";
  EXPECT_EQ(actions::dispatch_compare(&one, &two, compare_op::equal), -1);
  EXPECT_EQ(actions::dispatch_compare(&two, &one, compare_op::sort), 1);
  EXPECT_EQ(actions::dispatch_compare(&one, &act, compare_op::equal), -2) << "a native never compares with an action";
  EXPECT_EQ(datatype::row(type::native).compare(&one, &two, compare_op::lesser), -2) << "the type's own comparison";
  EXPECT_EQ(error_id([&] { actions::compare(&one, &two, compare_op::lesser); }), "invalid-compare");
  EXPECT_EQ(actions::compare(&one, &act, compare_op::equal), 0);
}

// ---- op! ----

TEST_F(Natives, TheOperatorSpecCheck) {
  struct Case {
    std::vector<Cell> spec;
    bool ok;
    const char* why;
  };
  Cell& types = test::block_of({dt(type::integer)});
  Cell& doc = *stack::push_cell();
  string::make_from_utf8(&doc, "doc");
  test::Building building;
  const std::vector<Case> cases = {
      {{w("a"), w("b")}, true, "two words"},
      {{w("a")}, false, "one word"},
      {{w("a"), w("b"), w("c")}, false, "three words"},
      {{w("a", type::lit_word), w("b")}, false, "a quoted left argument"},
      {{w("a", type::get_word), w("b")}, false, "a get-word left argument"},
      {{w("a"), w("b", type::lit_word)}, true, "a quoted right argument"},
      {{w("a"), w("b", type::get_word)}, true, "a get-word right argument"},
      {{w("a"), w("b"), w("local", type::refinement), w("c")}, true, "locals"},
      {{w("a"), w("b"), w("extern", type::refinement), w("c")}, true, "externals"},
      {{w("a"), w("b"), w("only", type::refinement)}, false, "another refinement"},
      {{w("a"), w("only", type::refinement), w("b")}, false, "a refinement before the second argument"},
      {{w("a"), w("b"), w("return", type::set_word), types}, true, "a return type"},
      {{w("a"), w("return", type::set_word), w("b")}, false, "return: ends the arguments"},
      {{doc, w("a"), types, doc, w("b"), types}, true, "doc strings and type blocks are skipped"},
  };
  std::vector<std::unique_ptr<test::RootCells>> keep_cases;
  for (const Case& c : cases) keep_cases.push_back(std::make_unique<test::RootCells>(c.spec.data(), c.spec.size()));
  building.release();
  for (const Case& c : cases) {
    Cell& spec = test::block_of({});
    for (const Cell& v : c.spec) block::append_value(&spec, &v);
    EXPECT_EQ(op::spec_ok_q(series::node_of(&spec)), c.ok) << c.why;
    if (error_id([&] { function::validate_spec(&spec); }) != "") continue;  // no function to wrap
    Cell& f = make_function(spec, test::block_of({}));
    EXPECT_EQ(error_id([&] { make_op(f); }), c.ok ? "" : "bad-op-spec") << c.why;
  }
}

TEST_F(Natives, OperatorsWrapNativesActionsFunctionsAndRoutines) {
  Cell& spec = test::block_of({w("value1"), w("value2")});
  Cell& n = make_native(2, spec);
  Cell& o = make_op(n);
  EXPECT_EQ(o.type(), u32{type::op});
  EXPECT_EQ(op::wrapped_type(&o), u32{type::native});
  EXPECT_EQ(o.w1, n.w1);
  EXPECT_EQ(o.w2, n.w2);
  EXPECT_EQ(o.w3, n.w3);
  EXPECT_EQ(test::form_text(o), "?op?");
  EXPECT_EQ(test::mold_text(o), "make op! [[value1 value2]]");
  Cell* body = datatype::row(type::op).reflect(&o, static_words::symbol(static_words::sym::body));
  EXPECT_EQ(integer::get(body), 2) << "an operator on a native answers the natives-table slot";
  EXPECT_EQ(actions::dispatch_compare(&o, &o, compare_op::equal), 0);
  EXPECT_EQ(actions::dispatch_compare(&o, &n, compare_op::equal), -2);

  Cell& a = make_from_table(type::action, test::block_of({spec, test::int_cell(11)}));
  Cell& oa = make_op(a);
  EXPECT_EQ(op::wrapped_type(&oa), u32{type::action});
  EXPECT_EQ(integer::get(datatype::row(type::op).reflect(&oa, static_words::symbol(static_words::sym::body))), 11);

  Cell& fbody = test::block_of({w("a"), w("b")});
  Cell& f = make_function(test::block_of({w("a"), w("b")}), fbody);
  Cell& of = make_op(f);
  EXPECT_EQ(op::wrapped_type(&of), u32{type::function});
  Cell kept = *function::more_cell(&f, function::more::op_value);
  EXPECT_EQ(kept.type(), u32{type::function}) << "the function keeps a copy of itself for the operator";
  EXPECT_EQ(kept.w1, f.w1);
  body = datatype::row(type::op).reflect(&of, static_words::symbol(static_words::sym::body));
  EXPECT_EQ(body->type(), u32{type::block});
  EXPECT_EQ(body->w2, function::more_cell(&f, function::more::body)->w2) << "the wrapped function's body";
  EXPECT_EQ(test::mold_text(of), "make op! func [a b][a b]");

  Cell& r_spec = test::block_of({w("x"), w("y")});
  Cell r = *routine::make_value(&r_spec, nullptr, 0, routine::no_result, false);
  RootCell keep_r(r);
  Cell& orr = make_op(r);
  EXPECT_EQ(op::wrapped_type(&orr), u32{type::routine});
  EXPECT_EQ(function::more_cell(&r, function::more::op_value)->type(), u32{type::routine});
  EXPECT_EQ(test::mold_text(orr), "make op! [[x y]]");

  LanguageError e{};
  EXPECT_EQ(error_id([&] { make_op(test::int_cell(5)); }, &e), "invalid-type");
  EXPECT_EQ(e.args[0].type(), u32{type::datatype});
  EXPECT_EQ(datatype::id_of(&e.args[0]), u32{type::integer});
  EXPECT_EQ(error_id([&] { make_op(o); }), "invalid-type") << "an operator does not wrap an operator";
}

TEST_F(Natives, RegisteringFillsSlotsInOrderAndStopsAtTheEnd) {
  i32 saved_next = natives::next_free;
  natives::next_free = 118;
  const natives::Procedure procs[] = {a_native, another_native, a_native, another_native};
  EXPECT_EQ(natives::register_natives(procs), 3) << "slots 118, 119 and 120";
  EXPECT_EQ(natives::next_free, 121);
  EXPECT_EQ(natives::table[117].code, a_native);
  EXPECT_EQ(natives::table[118].code, another_native);
  EXPECT_EQ(natives::table[118].convention, natives::Convention::native);
  EXPECT_EQ(natives::native_slot(121), nullptr);
  EXPECT_EQ(natives::action_slot(0), nullptr);
  natives::next_free = saved_next;
}

TEST_F(Natives, TheRegistrations) {
  const auto& native_row = datatype::row(type::native);
  const auto& action_row = datatype::row(type::action);
  const auto& op_row = datatype::row(type::op);
  EXPECT_EQ(action_row.reflect, native_row.reflect) << "action! takes reflect from native!";
  EXPECT_EQ(op_row.reflect, native_row.reflect);
  EXPECT_NE(op_row.make, native_row.make);
  EXPECT_EQ(native_row.to, nullptr);
  EXPECT_EQ(native_row.copy, nullptr);
  EXPECT_STREQ(datatype::names[type::action].name, "action!");
  EXPECT_STREQ(datatype::names[type::op].name, "op!");
}

}  // namespace
}  // namespace kiv
