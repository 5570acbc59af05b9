// The datatype registry, datatype! values, the value stack and the generic action entries.
#include <gtest/gtest.h>
#include <unistd.h>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/paren.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/hooks.h"
#include "runtime/mold.h"
#include "runtime/stack.h"
#include "runtime/sys.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

using test::boot_core;

// Rows 55 and 56 exist but no real type registers them: tests may use them freely.
constexpr u32 spare = 55;
constexpr u32 spare_raw = 56;

template <class F>
std::string error_id(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return e.id;
  }
  return "(no error)";
}

TEST(Registry, InheritanceIsResolvedAtRegistration) {
  boot_core();
  const action::Row& series = datatype::row(type::series);
  const action::Row& block = datatype::row(type::block);
  const action::Row& paren = datatype::row(type::paren);
  EXPECT_EQ(block.next, series.next);
  EXPECT_EQ(block.remove, series.remove);
  EXPECT_NE(block.copy, series.copy);  // block! has its own
  EXPECT_EQ(paren.copy, block.copy);
  EXPECT_EQ(paren.find, block.find);
  EXPECT_NE(paren.mold, block.mold);
  EXPECT_EQ(paren.trim, nullptr);  // the one block! action a paren lacks
  EXPECT_NE(block.trim, nullptr);
  EXPECT_EQ(block.add, nullptr);
  EXPECT_GE(datatype::highest_type_id, u32{type::paren});
  EXPECT_STREQ(datatype::names[type::block].name, "block!");
  EXPECT_EQ(datatype::names[type::block].length, 5u);

  // A copy of the parent's row as it stood: changing the parent afterwards does not reach the child.
  datatype::register_type(spare, type::block, "spare!", {.next = action::inherit, .trim = action::inherit});
  EXPECT_EQ(datatype::row(spare).next, series.next);
  EXPECT_EQ(datatype::row(spare).trim, block.trim);
  EXPECT_EQ(datatype::row(spare).copy, nullptr);
  auto saved = datatype::actions[type::block].trim;
  datatype::actions[type::block].trim = nullptr;
  EXPECT_EQ(datatype::row(spare).trim, saved);
  datatype::actions[type::block].trim = saved;
}

TEST(Registry, RawRegistrationTakesSixtyFiveWords) {
  boot_core();
  const void* words[65] = {};
  words[0] = reinterpret_cast<const void*>(std::uintptr_t{spare_raw});
  words[1] = reinterpret_cast<const void*>(std::uintptr_t{type::block});
  words[2] = "raw!";
  for (int i = 3; i < 65; ++i) words[i] = datatype::raw_inherit;
  words[3 + action::slot::mold - 1] = nullptr;  // refused even though the parent has one
  datatype::register_raw(65, words);
  EXPECT_EQ(datatype::entry(spare_raw, action::slot::next), datatype::entry(type::block, action::slot::next));
  EXPECT_EQ(datatype::entry(spare_raw, action::slot::mold), nullptr);
  EXPECT_STREQ(datatype::names[spare_raw].name, "raw!");
  EXPECT_EQ(datatype::entry(type::block, 0), nullptr);
  EXPECT_EQ(datatype::entry(type::block, 63), nullptr);
}

void register_with_a_missing_slot() {
  dup2(2, 1);  // the report goes to the console (stdout): make it visible to the matcher
  const void* words[64] = {reinterpret_cast<const void*>(std::uintptr_t{spare}), nullptr, "bad!"};
  datatype::register_raw(64, words);
}

TEST(RegistryDeathTest, WrongCountIsReportedAndFailsTheProcess) {
  // A build fault must never end the process as a success.
  EXPECT_EXIT(register_with_a_missing_slot(), testing::ExitedWithCode(static_cast<int>(sys::Fatal::assertion)),
              "\\*\\*\\* Datatype Error: invalid actions count for type: 55\n"
              "\\*\\*\\* Found: 61\n\\*\\*\\* Expected: 62\n");
}

TEST(Registry, EmptyEntryRaisesExpectArgWithTheDatatype) {
  boot_core();
  Cell& blk = test::ints({1, 2});
  try {
    actions::get<action::slot::add>(&blk);
    FAIL() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::script);
    EXPECT_STREQ(e.id, "expect-arg");
    EXPECT_EQ(e.args[1].type(), u32{type::datatype});
    EXPECT_EQ(datatype::id_of(&e.args[1]), u32{type::block});
  }
  EXPECT_EQ(error_id([&] { actions::get_action_of_value(&blk, action::slot::subtract); }), "expect-arg");
}

namespace {
Cell argument_word_cell{type::word, 0, 4242, 0};
const Cell* fake_argument_word(i32 position) {
  argument_word_cell.w3 = static_cast<u32>(position);
  return &argument_word_cell;
}
}  // namespace

TEST(Actions, TypeChecksRaiseExpectArg) {
  boot_core();
  Cell ts{type::typeset, 0, 0, 0};
  cell::typeset_add(&ts, type::integer);
  cell::typeset_add(&ts, type::block);
  cell::typeset_add(&ts, type::event);

  auto saved = hooks::argument_word.get();
  hooks::argument_word = fake_argument_word;
  Cell ok = test::int_cell(5), bad{type::string, 0, 0, 0};
  EXPECT_EQ(actions::check_type(&ts, 1, &ok), &ok);
  try {
    actions::check_type(&ts, 2, &bad);
    ADD_FAILURE() << "string! accepted";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::script);
    EXPECT_STREQ(e.id, "expect-arg");
    ASSERT_EQ(e.arg_count, 3u);
    EXPECT_EQ(e.args[0].type(), type::word) << "no call frame: the where is the word <not-found>";
    EXPECT_EQ(e.args[1].type(), type::datatype);
    EXPECT_EQ(e.args[1].w1, type::string);
    EXPECT_EQ(e.args[2].w2, 4242u);
    EXPECT_EQ(e.args[2].w3, 2u) << "the word of the argument's position";
  }

  // A refinement that was not used is not checked.
  Cell unused{type::logic, 0, 0, 0}, used{type::logic, 1, 0, 0};
  EXPECT_EQ(actions::check_refinement_arg(&unused, &ts, 3, &bad), &bad);
  EXPECT_THROW(actions::check_refinement_arg(&used, &ts, 3, &bad), LanguageError);

  Cell unset{type::unset, 0, 0, 0};
  EXPECT_EQ(actions::check_arg_set(1, &ok), &ok);
  try {
    actions::check_arg_set(1, &unset);
    ADD_FAILURE();
  } catch (const LanguageError& e) {
    EXPECT_STREQ(e.id, "expect-arg");
    EXPECT_EQ(e.args[1].w1, type::unset);
  }
  hooks::argument_word = saved;

  // check_arg reads the current call's arguments; a negative position is an absent argument.
  Cell r = test::call({test::int_cell(1), bad}, [&] {
    EXPECT_EQ(actions::check_arg(-1, &ts), -1);
    EXPECT_EQ(actions::check_arg(0, &ts), 0);
    EXPECT_THROW(actions::check_arg(1, &ts), LanguageError);
  });
  (void)r;
}

TEST(Datatype, FormMoldAndCompare) {
  boot_core();
  Cell b, p, n = test::int_cell(5);
  datatype::make_at(&b, type::block);
  datatype::make_at(&p, type::paren);
  EXPECT_EQ(test::form_text(b), "block");
  EXPECT_EQ(test::mold_text(b), "block!");
  EXPECT_EQ(test::mold_text(b, false, true), "#(block!)");
  EXPECT_EQ(test::mold_text(b, false, false, false, 3), "blo");

  EXPECT_EQ(actions::compare(&b, &b, compare_op::equal), 1);
  EXPECT_EQ(actions::compare(&b, &p, compare_op::equal), 0);
  EXPECT_EQ(actions::compare(&b, &n, compare_op::equal), 0);
  EXPECT_EQ(actions::compare(&b, &n, compare_op::not_equal), 1);
  EXPECT_EQ(error_id([&] { actions::compare(&b, &p, compare_op::lesser); }), "invalid-compare");
  EXPECT_EQ(datatype::compare(&b, &p, compare_op::sort), -2);

  // A datatype! naming a type nobody registered (or no type at all) still forms and molds.
  for (u32 id : {0u, 200u}) {
    Cell none_such{type::datatype, id, 0, 0};
    EXPECT_EQ(test::mold_text(none_such), "unknown-type!") << id;
    EXPECT_EQ(test::form_text(none_such), "unknown-type") << id;
  }
}

TEST(Datatype, PushAndAddToBlock) {
  boot_core();
  Cell* c = datatype::push(type::logic);
  EXPECT_EQ(stack::last_value(), c);
  EXPECT_EQ(datatype::id_of(c), u32{type::logic});
  Cell& blk = test::ints({});
  datatype::add_to_block(&blk, type::none);
  EXPECT_EQ(test::mold_text(blk), "[none!]");
}

TEST(Stack, PushDropAndOverflow) {
  boot_core();
  stack::top = stack::arguments = stack::bottom;
  EXPECT_EQ(stack::last_value(), stack::bottom);  // empty: the bottom
  Cell v = test::int_cell(7);
  Cell* a = stack::push_value(&v);
  EXPECT_EQ(a->as_int(), 7);
  EXPECT_EQ(stack::push_cell()->type(), u32{type::unset});
  stack::drop(100);
  EXPECT_EQ(stack::top, stack::bottom);
  stack::set_result(&v);
  EXPECT_EQ(stack::arguments->as_int(), 7);

  // A full stack raises stack-overflow and leaves the cycle stack empty, so the error can be molded.
  mold::push_cycle(Ref<Node>(16));
  stack::top = stack::end - 2;
  stack::push_cell();  // the last cell that fits: one cell of the buffer always stays free
  Cell* full = stack::top;
  EXPECT_EQ(error_id([] { stack::push_cell(); }), "stack-overflow");
  EXPECT_EQ(mold::cycle_depth(), 0u);
  EXPECT_EQ(stack::top, full - 4) << "the failed push leaves room to report the error";
  stack::top = stack::bottom;
}

TEST(Actions, CompareMapsThreeWayAnswersToTruth) {
  boot_core();
  Cell one = test::int_cell(1), two = test::int_cell(2);
  struct Case {
    i32 op;
    i32 expected;  // compare(1, 2, op)
  } cases[] = {
      {compare_op::equal, 0},   {compare_op::not_equal, 1},     {compare_op::strict_equal, 0},
      {compare_op::lesser, 1},  {compare_op::lesser_or_equal, 1}, {compare_op::greater, 0},
      {compare_op::greater_or_equal, 0}, {compare_op::same, 0},   {compare_op::find, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(actions::compare(&one, &two, c.op), c.expected) << "op " << c.op;
  EXPECT_EQ(actions::compare(&two, &two, compare_op::lesser_or_equal), 1);
  EXPECT_EQ(actions::compare(&two, &two, compare_op::greater_or_equal), 1);

  // Incomparable: unequal under equality, an error under ordering.
  Cell& blk = test::ints({1});
  EXPECT_EQ(actions::compare(&one, &blk, compare_op::equal), 0);
  EXPECT_EQ(actions::compare(&one, &blk, compare_op::not_equal), 1);
  EXPECT_EQ(error_id([&] { actions::compare(&blk, &one, compare_op::lesser); }), "invalid-compare");

  Cell t = test::logic_cell(true), f = test::logic_cell(false);
  EXPECT_EQ(actions::dispatch_compare(&t, &f, compare_op::sort), 1);
}

// A form that must never run.
bool spare_form_ran = false;
i32 spare_form(const Cell*, Cell* out, const Cell*, i32 limit) {
  spare_form_ran = true;
  string::append_c_string(out, "abcdef");
  return limit - 6;
}

TEST(Actions, FormAndMoldEntriesCutToTheLimit) {
  boot_core();
  datatype::register_type(spare, 0, "spare!", {.form = spare_form});
  Cell v{spare, 0, 0, 0};
  Cell r = test::call({v, test::int_cell(0)}, [] { actions::form(1); });
  EXPECT_EQ(r.type(), u32{type::string});
  EXPECT_EQ(string::to_utf8(&r), "");
  EXPECT_FALSE(spare_form_ran);  // a limit of 0 never reaches the type

  r = test::call({v, test::int_cell(4)}, [] { actions::form(1); });
  EXPECT_EQ(string::to_utf8(&r), "abcd");
  EXPECT_TRUE(spare_form_ran);
  Cell* before = stack::top;
  r = test::call({v}, [] { actions::form(-1); });
  EXPECT_EQ(string::to_utf8(&r), "abcdef");
  EXPECT_EQ(stack::top, before + 1);  // the call leaves its result cell only

  Cell& blk = test::ints({1, 2, 3});
  r = test::call({blk, test::int_cell(4)}, [] { actions::mold(-1, -1, -1, 1); });
  EXPECT_EQ(string::to_utf8(&r), "[1 2");
  r = test::call({blk}, [] { actions::mold(1, -1, -1, -1); });
  EXPECT_EQ(string::to_utf8(&r), "1 2 3");
}

TEST(Actions, PickIndexConversion) {
  boot_core();
  Cell& blk = test::ints({10, 20});
  EXPECT_EQ(test::call({blk, test::logic_cell(true)}, [] { actions::pick(); }).as_int(), 10);
  EXPECT_EQ(test::call({blk, test::logic_cell(false)}, [] { actions::pick(); }).as_int(), 20);
  EXPECT_EQ(test::call({blk, test::int_cell(3)}, [] { actions::pick(); }).type(), u32{type::none});
  EXPECT_EQ(test::call({blk, test::none_cell()}, [] { actions::pick(); }).type(), u32{type::none});
}

TEST(Actions, AppendPartAndDupNormalisation) {
  boot_core();
  Cell& src = test::ints({1, 2, 3, 4});
  series::set_head_index(&src, 2);  // at 3
  struct Case {
    const char* what;
    Cell part;  // integer! count, or none for no /part
    i32 dup;    // 0: no /dup
    const char* expected;
  } cases[] = {
      {"no part", test::none_cell(), 0, "[9 3 4]"},
      {"part 1", test::int_cell(1), 0, "[9 3]"},
      {"part 0 leaves it", test::int_cell(0), 0, "[9]"},
      {"negative part takes the values before", test::int_cell(-2), 0, "[9 1 2]"},
      {"negative part past the start", test::int_cell(-5), 0, "[9 1 2]"},
      {"dup 2", test::none_cell(), 2, "[9 3 4 3 4]"},
      {"dup 0 leaves it", test::none_cell(), -1, "[9]"},
  };
  for (const Case& c : cases) {
    Cell& target = test::ints({9});
    Cell value = src;
    i32 part = c.part.type() == type::none ? -1 : 2;
    Cell dup = test::int_cell(c.dup);
    Cell r = c.part.type() == type::none
                 ? test::call({target, value, dup}, [&] { actions::append(-1, -1, c.dup ? 2 : -1); })
                 : test::call({target, value, c.part, dup}, [&] { actions::append(part, -1, c.dup ? 3 : -1); });
    EXPECT_EQ(test::mold_text(r), c.expected) << c.what;
  }
  // A series length of another buffer is refused; a value that is no series refuses /part.
  Cell& other = test::ints({1});
  Cell& target = test::ints({9});
  EXPECT_EQ(error_id([&] { test::call({target, src, other}, [] { actions::append(2, -1, -1); }); }),
            "invalid-refine-arg");
  EXPECT_EQ(error_id([&] {
              test::call({target, test::int_cell(1), test::int_cell(1)}, [] { actions::append(2, -1, -1); });
            }),
            "invalid-part");
  // With a same-buffer series as length: the values between the two positions.
  Cell end = src;
  series::set_head_index(&end, 3);
  Cell r = test::call({target, src, end}, [] { actions::append(2, -1, -1); });
  EXPECT_EQ(test::mold_text(r), "[9 3]");
}

TEST(Actions, LengthAndCopyEntries) {
  boot_core();
  Cell& blk = test::ints({1, 2, 3});
  EXPECT_EQ(test::call({blk}, [] { actions::length_q(); }).as_int(), 3);
  EXPECT_EQ(test::call({test::none_cell()}, [] { actions::length_q(); }).type(), u32{type::none});
  Cell r = test::call({blk, test::int_cell(2)}, [] { actions::copy(1, -1, -1); });
  EXPECT_EQ(test::mold_text(r), "[1 2]");
  EXPECT_NE(r.w2, blk.w2);
  EXPECT_EQ(error_id([&] { test::call({blk, test::int_cell(2)}, [] { actions::copy(-1, -1, 1); }); }),
            "expect-arg");
}

}  // namespace
}  // namespace kiv
