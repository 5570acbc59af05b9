#include "runtime/case_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/unicode.h"

using namespace kiv;
namespace uc = kiv::unicode;
namespace cd = kiv::unicode::case_data;

namespace {

TEST(CaseTables, PairListsHaveTheUnicode11Shape) {
  EXPECT_EQ(std::size(cd::bmp_to_upper), 1250u);
  EXPECT_EQ(std::size(cd::bmp_to_lower), 1158u);
  EXPECT_EQ(std::size(cd::supplementary_to_upper), 225u);
  EXPECT_EQ(std::size(cd::supplementary_to_lower), 225u);
  EXPECT_EQ(cd::bmp_to_upper[0].key, 0x61);
  EXPECT_EQ(cd::bmp_to_upper[0].mapped, 0x41);
  EXPECT_EQ(cd::bmp_to_upper[1249].key, 0xFF5A);
  EXPECT_EQ(cd::bmp_to_lower[0].key, 0x41);
  EXPECT_EQ(cd::bmp_to_lower[1157].mapped, 0xFF5A);
  EXPECT_EQ(cd::supplementary_to_upper[0].key, 0x10428);
  EXPECT_EQ(cd::supplementary_to_upper[224].key, 0x1E943);
  EXPECT_EQ(cd::supplementary_to_lower[0].key, 0x10400);
  EXPECT_EQ(cd::supplementary_to_lower[224].key, 0x1E921);
}

TEST(CaseTables, Mappings) {
  uc::build_case_tables();
  // (code point, uppercase, lowercase)
  const std::tuple<i32, i32, i32> cases[] = {
      {'a', 'A', 'a'},           {'Z', 'Z', 'z'},           {'1', '1', '1'},
      {0xDF, 0x53, 0xDF},        {0x149, 0x2BC, 0x149},     {0x1F80, 0x1F08, 0x1F80},
      {0x1F88, 0x1F08, 0x1F80},  {0x131, 0x49, 0x131},      {0x17F, 0x53, 0x17F},
      {0x1C5, 0x1C4, 0x1C6},     {0xB5, 0x39C, 0xB5},       {0xFF, 0x178, 0xFF},
      {0x130, 0x130, 0x69},      {0x1E9E, 0x1E9E, 0xDF},    {0x2126, 0x2126, 0x3C9},
      {0x212A, 0x212A, 0x6B},    {0xFB00, 0x46, 0xFB00},    {0x10D0, 0x1C90, 0x10D0},
      {0x1C90, 0x1C90, 0x10D0},  {0xFF41, 0xFF21, 0xFF41},
      // Encoded after 11.0 (or their counterpart was): no mapping.
      {0xA7BA, 0xA7BA, 0xA7BA},  {0xA7BB, 0xA7BB, 0xA7BB},  {0xA7BF, 0xA7BF, 0xA7BF},
      {0x282, 0x282, 0x282},
      // Supplementary planes.
      {0x1E922, 0x1E900, 0x1E922}, {0x1E943, 0x1E921, 0x1E943}, {0x1E921, 0x1E921, 0x1E943},
      {0x10428, 0x10400, 0x10428}, {0x10400, 0x10400, 0x10428}, {0x118C0, 0x118A0, 0x118C0},
      // No entry at all.
      {0x4E00, 0x4E00, 0x4E00},  {0x20000, 0x20000, 0x20000}, {0x10FFFF, 0x10FFFF, 0x10FFFF},
      {0x110000, 0x110000, 0x110000}, {-5, -5, -5},
  };
  for (auto [cp, up, down] : cases) {
    EXPECT_EQ(uc::change_case_char(cp, true), up) << std::hex << cp;
    EXPECT_EQ(uc::to_upper_char(cp), up) << std::hex << cp;
    EXPECT_EQ(uc::change_case_char(cp, false), down) << std::hex << cp;
  }
  for (const auto& p : cd::bmp_to_upper) ASSERT_EQ(uc::change_case_char(p.key, true), p.mapped);
  for (const auto& p : cd::bmp_to_lower) ASSERT_EQ(uc::change_case_char(p.key, false), p.mapped);
  for (const auto& p : cd::supplementary_to_lower) ASSERT_EQ(uc::change_case_char(p.key, false), p.mapped);

  EXPECT_EQ(uc::swap_case_char('a'), 'A');
  EXPECT_EQ(uc::swap_case_char('A'), 'a');
  EXPECT_EQ(uc::swap_case_char('7'), '7');
  EXPECT_EQ(uc::swap_case_char(0x130), 0x69);
}

class CaseChange : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = memory::manager;
    saved_fixups_ = std::move(memory::fixups);
    saved_enabled_ = collector::enabled;
    saved_notifier_ = hooks::case_change_notifier.get();  // the ownership unit's, when the process booted
    hooks::case_change_notifier = nullptr;
    collector::enabled = false;
    memory::init();
    uc::build_case_tables();
  }
  void TearDown() override {
    hooks::case_change_notifier = saved_notifier_;
    memory::free_all();
    memory::manager = saved_;
    memory::fixups = std::move(saved_fixups_);
    collector::enabled = saved_enabled_;
  }

  static Cell make_string(const std::u32string& text, u32 unit) {
    Ref<Node> node = memory::alloc_string_buffer(static_cast<i32>(text.size() + 1), static_cast<i32>(unit));
    SeriesBuffer* b = buffer_of(node);
    for (size_t i = 0; i < text.size(); ++i) {
      u32 c = text[i];
      std::memcpy(b->head_ptr() + i * unit, &c, unit);
    }
    b->tail = b->head + static_cast<u32>(text.size()) * unit;
    return Cell{type::string, 0, node.offset(), 0};
  }
  static std::u32string text_of(const Cell& s) {
    SeriesBuffer* b = buffer_of(Ref<Node>(s.w2));
    std::u32string out;
    for (u32 o = b->head; o < b->tail; o += b->unit()) {
      u32 c = 0;
      std::memcpy(&c, arena::at(o), b->unit());
      out += static_cast<char32_t>(c);
    }
    return out;
  }
  static u32 unit_of(const Cell& s) { return buffer_of(Ref<Node>(s.w2))->unit(); }

 private:
  MemoryManager saved_;
  decltype(memory::fixups) saved_fixups_;
  bool saved_enabled_;
  decltype(hooks::case_change_notifier)::Fn saved_notifier_ = nullptr;
};

TEST_F(CaseChange, StringsKeepTheirLengthAndWidenWhenNeeded) {
  Cell s = make_string(U"stra\u00DFe", 1);
  uc::change_case(&s, 0, true);
  EXPECT_EQ(text_of(s), U"STRASE");

  Cell micro = make_string(U"\u00B5\u00B5a\u00FF", 1);
  uc::change_case(&micro, 0, true);
  EXPECT_EQ(text_of(micro), U"\u039C\u039CA\u0178");
  EXPECT_EQ(unit_of(micro), 2u);

  Cell wide = make_string(U"a\U0001E922\u0130", 4);
  uc::change_case(&wide, 0, true);
  EXPECT_EQ(text_of(wide), U"A\U0001E900\u0130");
  uc::change_case(&wide, 0, false);
  EXPECT_EQ(text_of(wide), U"a\U0001E922i");

  Cell c{type::char_, 0, 0x130, 0};
  uc::change_case(&c, 0, false);
  EXPECT_EQ(c.w2, 0x69u);
}

TEST_F(CaseChange, PartLimitsTheCharacters) {
  struct Case {
    Cell part{};
    const char32_t* result;
  };
  Cell base = make_string(U"abcdef", 1);
  Cell later = base;
  later.w1 = 4;
  Cell before = base;
  before.w1 = 0;
  const Case cases[] = {
      {Cell{type::integer, 0, 3, 0}, U"aBCDef"},
      {Cell{type::integer, 0, 10, 0}, U"aBCDEF"},
      {Cell{type::integer, 0, static_cast<u32>(-2), 0}, U"abcdef"},
      {later, U"aBCDef"},
      {before, U"abcdef"},
  };
  for (const Case& c : cases) {
    Cell args[2] = {make_string(U"abcdef", 1), c.part};
    args[0].w1 = 1;
    if (c.part.type() == type::string) args[1].w2 = args[0].w2;  // a position in the same series
    uc::change_case(&args[0], 1, true);
    EXPECT_EQ(text_of(args[0]), c.result);
  }

  Cell args[2] = {make_string(U"abc", 1), make_string(U"abc", 1)};  // another series
  try {
    uc::change_case(&args[0], 1, true);
    ADD_FAILURE() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::script);
    EXPECT_STREQ(e.id, "invalid-refine-arg");
    EXPECT_EQ(e.args[1].w2, args[1].w2);
  }
  EXPECT_EQ(text_of(args[0]), U"abc");
}

TEST_F(CaseChange, HeadPastTailAndNotification) {
  static std::vector<std::tuple<bool, i32, i32>> seen;
  seen.clear();
  hooks::case_change_notifier = [](Cell*, bool upper, i32 index, i32 count) { seen.emplace_back(upper, index, count); };
  Cell s = make_string(U"abc", 1);
  s.w1 = 7;
  uc::change_case(&s, 0, true);
  EXPECT_EQ(s.w1, 3u);
  EXPECT_EQ(text_of(s), U"abc");
  s.w1 = 1;
  uc::change_case(&s, 0, false);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_tuple(true, 3, 0));
  EXPECT_EQ(seen[1], std::make_tuple(false, 1, 2));
}

}  // namespace
