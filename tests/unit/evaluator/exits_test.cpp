// What the language cannot reach of errors that outlive their frames: an error caught deep in a
// recursion keeps the frame position it was raised at, and forming its trace later, when the
// records up there are dead (or reused), must read the live records only.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/frame_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"
#include "tests/unit/interp_natives.h"

namespace kiv {
namespace {

class ErrorTraces : public ::testing::Test {
 protected:
  void SetUp() override { test::interp::boot_language(); }

  // The trace of an error whose stack field says `position`, formed now (level 2: every word).
  static std::string formed(i32 position) {
    Cell out{type::none, 0, 0, 0};
    RootCell keep(out);
    string::make_at(&out, 64);
    stack::form_trace(2, &out, position, 1000);
    return test::form_text(out);
  }
  static std::string collected(i32 position) {
    Cell out{type::none, 0, 0, 0};
    RootCell keep(out);
    block::make_at(&out, 8);
    stack::collect_frame_words(2, &out, position);
    return test::mold_text(out);
  }
};

TEST_F(ErrorTraces, AnErrorFormedAfterItsFramesAreGoneTracesOnlyTheLiveOnes) {
  Cell err{type::none, 0, 0, 0};
  RootCell keep(err);
  ASSERT_TRUE(interpreter::do_text_safe("deep: func [n] [either n = 0 [try [1 / 0]] [deep n - 1]] deep 30", &err));
  ASSERT_EQ(err.type(), u32{type::error});
  const Cell* st = error::field_of(&err, error::field::stack);
  ASSERT_EQ(st->type(), u32{type::integer});
  const i32 position = st->as_int();
  ASSERT_GT(position, 30) << "raised under every call of deep";
  // The records up to that position are dead now; some get reused by a shallower evaluation.
  Cell other{type::none, 0, 0, 0};
  RootCell keep_other(other);
  ASSERT_TRUE(interpreter::do_text_safe("shallow: func [] [1] shallow", &other));

  const stack::Frame* saved = stack::frame_top;
  stack::push_frame(stack::kind::call, symbol::make("outer"), 0);
  EXPECT_EQ(formed(position), "outer ");
  EXPECT_EQ(collected(position), "[outer]");
  // Under every allocation collecting and moving, the dead records' nodes are long gone.
  const u32 every = collector::torture_every;
  const bool enabled = collector::enabled;
  collector::enabled = true;
  collector::set_torture(1);
  EXPECT_EQ(formed(position), "outer ");
  EXPECT_EQ(collected(position), "[outer]");
  collector::set_torture(every);
  collector::enabled = enabled;
  stack::pop_frame_reset();
  EXPECT_EQ(stack::frame_top, saved);
  EXPECT_EQ(formed(position), "");
}

}  // namespace
}  // namespace kiv
