// date!: the calendar against <chrono> over every day the packed year can hold (years 1 to 9999 and
// the years around them, below 1 included, which floor division keeps apart), the epoch conversions
// against gmtime_r and timegm, and load/mold round trips of random dates.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <random>
#include <string>

#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "tests/unit/lexer_fixture.h"

namespace kiv {
namespace {

namespace chr = std::chrono;

// The years of 53 ISO weeks within one 400-year cycle (the calendar repeats every 400 years),
// generated with Python: [y for y in range(400) if date(2000 + y, 12, 28).isocalendar()[1] == 53],
// read as y = year mod 400.
constexpr int long_iso_years[] = {4,   9,   15,  20,  26,  32,  37,  43,  48,  54,  60,  65,  71,  76,  82,
                                  88,  93,  99,  105, 111, 116, 122, 128, 133, 139, 144, 150, 156, 161, 167,
                                  172, 178, 184, 189, 195, 201, 207, 212, 218, 224, 229, 235, 240, 246, 252,
                                  257, 263, 268, 274, 280, 285, 291, 296, 303, 308, 314, 320, 325, 331, 336,
                                  342, 348, 353, 359, 364, 370, 376, 381, 387, 392, 398};

bool long_iso_year_q(int year) {
  const int y = ((year % 400) + 400) % 400;
  for (int l : long_iso_years)
    if (l == y) return true;
  return false;
}

TEST(DateCalendar, EveryDayAgainstChrono) {
  const chr::sys_days day0 = chr::year{0} / chr::March / 1;
  const chr::sys_days first = chr::year{date::min_year} / chr::January / 1;
  const chr::sys_days last = chr::year{date::max_year} / chr::December / 31;
  EXPECT_TRUE(date::in_range_q((first - day0).count()));
  EXPECT_FALSE(date::in_range_q((first - day0).count() - 1));
  EXPECT_TRUE(date::in_range_q((last - day0).count()));
  EXPECT_FALSE(date::in_range_q((last - day0).count() + 1));
  for (chr::sys_days d = first; d <= last; d += chr::days{1}) {
    const chr::year_month_day ymd{d};
    const int y = static_cast<int>(ymd.year());
    const int m = static_cast<int>(static_cast<unsigned>(ymd.month()));
    const int dd = static_cast<int>(static_cast<unsigned>(ymd.day()));
    const std::string at = std::to_string(y) + "-" + std::to_string(m) + "-" + std::to_string(dd);

    const i64 n = date::days_of(y, m, dd);
    ASSERT_EQ(n, (d - day0).count()) << at;
    const u32 w = date::from_days(n, 0, false);
    ASSERT_TRUE(date::year_of(w) == y && date::month_of(w) == m && date::day_of(w) == dd) << at;

    const chr::weekday wd{d};
    ASSERT_EQ(date::weekday(n), static_cast<i32>(wd.iso_encoding())) << at;
    const chr::sys_days jan1 = ymd.year() / chr::January / 1;
    const i32 yday = static_cast<i32>((d - jan1).count()) + 1;
    ASSERT_EQ(date::yearday(w), yday) << at;
    // Weeks from 1 January, each beginning on a Sunday.
    ASSERT_EQ(date::week(w), (yday - 1 + static_cast<i32>(chr::weekday{jan1}.c_encoding())) / 7 + 1) << at;

    // The ISO week is the week of the year in which its Thursday falls.
    const chr::sys_days thursday = d - chr::days{wd.iso_encoding() - 1} + chr::days{3};
    const chr::year iso_year = chr::year_month_day{thursday}.year();
    const i32 iso_week = static_cast<i32>((thursday - chr::sys_days{iso_year / chr::January / 1}).count() / 7 + 1);
    ASSERT_EQ(date::isoweek(w), iso_week) << at;
    // 28 December always falls in the last ISO week of its year.
    if (m == 12 && dd == 28) {
      ASSERT_EQ(iso_week, long_iso_year_q(y) ? 53 : 52) << at;
    }
  }
}

// A date's calendar fields and time against a broken-down UTC time.
void expect_utc(const Cell& d, const std::tm& tm, i64 seconds) {
  const u32 w = d.w1;
  EXPECT_TRUE(date::year_of(w) == tm.tm_year + 1900 && date::month_of(w) == tm.tm_mon + 1 &&
              date::day_of(w) == tm.tm_mday && date::has_time_q(w) && date::zone_of(w) == 0)
      << seconds;
  EXPECT_EQ(date::stored_time(&d), tm.tm_hour * 3600.0 + tm.tm_min * 60 + tm.tm_sec) << seconds;
}

TEST(DateCalendar, EpochAgainstTheCLibrary) {
  std::mt19937_64 rng(20200115);
  std::uniform_int_distribution<i64> any(INT32_MIN, INT32_MAX);
  std::uniform_int_distribution<int> zone_bits(0, 127);
  std::vector<i64> cases = {INT32_MIN, INT32_MIN + 1, -86401, -86400, -86399, -1, 0, 1, 86399, 86400, INT32_MAX};
  for (int i = 0; i < 100000; ++i) cases.push_back(any(rng));
  for (i64 n : cases) {
    const std::time_t t = static_cast<std::time_t>(n);
    std::tm tm{};
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    Cell d;
    date::from_epoch(&d, n);
    expect_utc(d, tm, n);
    EXPECT_EQ(date::to_epoch(&d), n);

    // The same instant written in a zone: the local fields move, the epoch count does not.
    const u32 zone = static_cast<u32>(zone_bits(rng));
    const std::time_t local_t = t + date::zone_seconds(zone);
    std::tm local{};
    gmtime_r(&local_t, &local);
    Cell z;
    date::box(&z, date::pack(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, zone, true),
              local.tm_hour * 3600.0 + local.tm_min * 60 + local.tm_sec - date::zone_seconds(zone));
    EXPECT_EQ(date::to_epoch(&z), static_cast<i64>(timegm(&local)) - date::zone_seconds(zone)) << n;
    EXPECT_EQ(date::to_epoch(&z), n);
  }
}

using DateText = test::LexerTest;

// Molded a thousand at a time, so that the run stays short under collector torture too.
TEST_F(DateText, RandomDatesLoadFromTheirMold) {
  std::mt19937 rng(47);
  std::uniform_int_distribution<int> year(-9999, 9999), month(1, 12), second(0, 86399), millis(0, 999);
  std::uniform_int_distribution<int> zone_bits(0, 127), kind(0, 3);
  constexpr int batch = 1000;
  Cell* const top = stack::top;
  for (int round = 0; round < 100; ++round) {
    stack::top = top;
    Cell* dates = block::make_at(stack::push_cell(), batch);
    for (int i = 0; i < batch; ++i) {
      const int y = year(rng), m = month(rng);
      const int d = std::uniform_int_distribution<int>(1, date::month_length(y, m))(rng);
      const int k = kind(rng);  // 0 no time, 1 whole seconds, 2 and 3 milliseconds
      const u32 zone = k ? static_cast<u32>(zone_bits(rng)) : 0;
      const double local = k ? second(rng) + (k > 1 ? millis(rng) / 1000.0 : 0.0) : 0.0;
      Cell v;
      date::box(&v, date::pack(y, m, d, zone, k != 0), k ? local - date::zone_seconds(zone) : 0.0);
      block::append_value(dates, &v);
    }
    const std::string text = test::mold_text(*dates, true);
    ASSERT_EQ(test::mold_text(*dates, true, true), text);
    const Cell back = load(text);
    ASSERT_EQ(count(back), batch);
    for (int i = 0; i < batch; ++i) {
      const Cell v = at(*dates, i), b = at(back, i);
      ASSERT_EQ(b.type(), type::date) << test::mold_text(v);
      ASSERT_EQ(b.w1, v.w1) << test::mold_text(v);
      ASSERT_TRUE(float_::almost_equal_q(date::stored_time(&b), date::stored_time(&v))) << test::mold_text(v);
    }
  }
  stack::top = top;
}

}  // namespace
}  // namespace kiv
