// char!: arithmetic that stays a character, comparison, make and to, form and mold.
#include <gtest/gtest.h>

#include <climits>

#include "datatypes/dispatch.h"
#include "datatypes/float.h"
#include "datatypes/registry.h"
#include "tests/unit/string_fixture.h"

namespace kiv {
namespace {

using namespace test;
using Char = StringFixture;

Cell char_cell(i32 cp) { return Cell{type::char_, 0, static_cast<u32>(cp), 0}; }
Cell float_cell(double d) {
  Cell c{type::float_, 0, 0, 0};
  c.set_double(d);
  return c;
}

TEST_F(Char, Math) {
  struct Case {
    i32 cp;
    Cell arg{};
    void (*op)();
    i32 want;  // -1: an error, named by `error`
    const char* error;
  } cases[] = {
      {'a', int_cell(1), char_::add, 'b', nullptr},
      {'a', int_cell(97), char_::subtract, 0, nullptr},
      {'a', int_cell(98), char_::subtract, -1, "overflow"},
      {0x10FFFF, int_cell(1), char_::add, -1, "overflow"},
      {'a', float_cell(1.9), char_::add, 'b', nullptr},
      {'a', int_cell(2), char_::multiply, 194, nullptr},
      {'a', int_cell(95), char_::and_t, 'A', nullptr},
      {'A', int_cell(32), char_::or_t, 'a', nullptr},
      {'a', int_cell(32), char_::xor_t, 'A', nullptr},
      {'d', int_cell(2), char_::divide, '2', nullptr},
      {'e', int_cell(2), char_::remainder, 1, nullptr},
      {'a', char_cell(1), char_::add, 'b', nullptr},
      {'a', int_cell(0), char_::divide, -1, "zero-divide"},
      {'a', int_cell(INT_MAX), char_::add, -1, "overflow"},
      {'a', float_cell(1e10), char_::add, -1, "overflow"},
      {'a', none_cell(), char_::add, -1, "invalid-type"},
  };
  for (const Case& c : cases) {
    Cell result{type::unset, 0, 0, 0};
    std::string err = error_id([&] { result = call({char_cell(c.cp), c.arg}, c.op); });
    if (c.error) {
      EXPECT_EQ(err, c.error) << c.cp;
      continue;
    }
    EXPECT_EQ(err, "(no error)") << c.cp;
    EXPECT_EQ(result.type(), u32{type::char_}) << c.cp;
    EXPECT_EQ(char_::code_point(&result), c.want) << c.cp;
  }
}

TEST_F(Char, Compare) {
  Cell a = char_cell('a'), b = char_cell('b'), A = char_cell('A'), n97 = int_cell(97);
  EXPECT_EQ(char_::compare(&a, &n97, compare_op::equal), 0);
  EXPECT_NE(char_::compare(&a, &n97, compare_op::strict_equal), 0);
  EXPECT_NE(char_::compare(&a, &A, compare_op::equal), 0);  // no case folding
  EXPECT_LT(char_::compare(&a, &b, compare_op::lesser), 0);
  EXPECT_EQ(char_::compare(&a, str("a"), compare_op::equal), -2);
  EXPECT_EQ(error_id([&] { actions::compare(&a, str("a"), compare_op::lesser); }), "invalid-compare");
  EXPECT_EQ(actions::compare(&a, &n97, compare_op::equal), 1);
}

TEST_F(Char, MakeAndTo) {
  auto to_char = [](Cell spec) {
    Cell* proto = stack::push_cell();
    Cell* s = stack::push_value(&spec);
    char_::make(proto, s, type::char_);
    return *proto;
  };
  Cell r = to_char(int_cell(65));
  EXPECT_EQ(r.type(), u32{type::char_});
  EXPECT_EQ(char_::code_point(&r), 'A');
  r = to_char(float_cell(65.7));
  EXPECT_EQ(char_::code_point(&r), 'A');
  r = to_char(*str("\u20acx"));
  EXPECT_EQ(char_::code_point(&r), 0x20AC);
  EXPECT_EQ(error_id([&] { to_char(int_cell(-1)); }), "out-of-range");
  EXPECT_EQ(error_id([&] { to_char(int_cell(0x110000)); }), "out-of-range");
  EXPECT_EQ(error_id([&] { to_char(float_cell(-0.5 - 1)); }), "out-of-range");
  EXPECT_EQ(error_id([&] { to_char(*str("")); }), "bad-to-arg");
  EXPECT_EQ(error_id([&] { to_char(none_cell()); }), "bad-to-arg");

  auto binary = [](std::string_view bytes) {
    Ref<Node> n = memory::alloc_bytes(static_cast<i32>(bytes.size()));
    SeriesBuffer* b = kiv::buffer_of(n);
    std::memcpy(b->head_ptr(), bytes.data(), bytes.size());
    b->tail = b->head + static_cast<u32>(bytes.size());
    return Cell{type::binary, 0, n.offset(), 0};
  };
  r = to_char(binary("\xE2\x82\xAC!"));
  EXPECT_EQ(char_::code_point(&r), 0x20AC);
  r = to_char(binary("A"));
  EXPECT_EQ(char_::code_point(&r), 'A');
  EXPECT_EQ(error_id([&] { to_char(binary("")); }), "bad-to-arg");
  EXPECT_EQ(error_id([&] { to_char(binary("\xE2\x82")); }), "bad-to-arg");  // cut short
  EXPECT_EQ(error_id([&] { to_char(binary("\x80")); }), "invalid-utf8");
  // Registered for both make and to.
  EXPECT_EQ(datatype::row(type::char_).make, datatype::row(type::char_).to);
  EXPECT_EQ(datatype::row(type::char_).even_q, datatype::row(type::integer).even_q);
  EXPECT_EQ(datatype::row(type::char_).negate, nullptr);
}

TEST_F(Char, FormAndMold) {
  struct Case {
    i32 cp;
    bool all;
    const char* mold;
  } cases[] = {
      {'a', false, "#\"a\""},        {10, false, "#\"^/\""},  {30, false, "#\"^(1E)\""},
      {127, false, "#\"^~\""},       {233, false, "#\"\u00e9\""}, {233, true, "#\"^(E9)\""},
      {'"', false, "#\"^\"\""},      {0, false, "#\"^@\""},   {0x1F600, false, "#\"\U0001F600\""},
  };
  for (const Case& c : cases) {
    Cell v = char_cell(c.cp);
    Cell* out = str("");
    EXPECT_EQ(char_::mold(&v, out, false, c.all, false, nullptr, 10, 0), 6);
    EXPECT_EQ(txt(out), c.mold) << c.cp;
  }
  Cell v = char_cell(0x20AC);
  Cell* out = str("");
  EXPECT_EQ(char_::form(&v, out, nullptr, 10), 9);
  EXPECT_EQ(txt(out), "\u20ac");
  EXPECT_EQ(form_text(char_cell('x')), "x");
  EXPECT_EQ(mold_text(char_cell('x')), "#\"x\"");
}

}  // namespace
}  // namespace kiv
