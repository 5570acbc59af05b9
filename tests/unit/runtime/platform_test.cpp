#include "runtime/platform.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

#include "runtime/sys.h"

using namespace kiv;

TEST(Platform, SleepRoundsToWholeMillisecondsAtLeastOne) {
  struct Case {
    double seconds;
    i64 ms;
  };
  const Case cases[] = {{0.0, 1},      {-5.0, 1},     {0.0004, 1}, {0.0015, 1},
                        {1.5, 1500},   {0.0999, 99},  {NAN, 1},    {-INFINITY, 1}};
  for (const Case& c : cases) EXPECT_EQ(platform::sleep_milliseconds(c.seconds), c.ms) << c.seconds;
  double t0 = platform::clock();
  platform::sleep(0.02);
  EXPECT_GE(platform::clock() - t0, 0.019);
}

TEST(Platform, PackedDateAndZone) {
  struct Case {
    i32 minutes;
    u32 bits;
  };
  const Case cases[] = {{0, 0}, {330, 22}, {-210, 78}, {60, 4}, {-60, 0x44}, {345, 5 << 2 | 3}, {840, 14 << 2}};
  for (const Case& c : cases) EXPECT_EQ(platform::zone_bits(c.minutes), c.bits) << c.minutes;
  EXPECT_EQ(platform::pack_date(2024, 2, 29, -210), 2024u << 17 | 2u << 12 | 29u << 7 | 78u);
}

namespace {

// Sets TZ for the scope and restores the previous value.
class ZoneScope {
 public:
  explicit ZoneScope(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

}  // namespace

TEST(Platform, NowDateCarriesTheLocalZone) {
  struct Case {
    const char* tz;
    u32 zone;
  };
  const Case cases[] = {{"IST-5:30", 22}, {"NST3:30", 78}, {"UTC0", 0}, {"CET-1", 4}};
  for (const Case& c : cases) {
    ZoneScope zone(c.tz);
    u32 local = platform::now_date(false);
    EXPECT_EQ(local & 0x7F, c.zone) << c.tz;
    EXPECT_EQ(platform::now_date(true) & 0x7F, 0u) << "UTC has zone 0 whatever the local zone";
    EXPECT_GE(local >> 17, 2024u);
    u32 month = local >> 12 & 31, day = local >> 7 & 31;
    EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31);
  }
}

TEST(Platform, NowUtcTime) {
  double whole = platform::now_utc_time(false);
  EXPECT_EQ(whole, std::floor(whole));
  EXPECT_GE(whole, 0.0);
  EXPECT_LT(whole, 86400.0);
  double precise = platform::now_utc_time(true);
  EXPECT_GE(precise, 0.0);
  EXPECT_LT(precise, 86400.0);
}

TEST(Platform, EnvironmentGetAndSet) {
  const char* name = "KIV_PLATFORM_TEST_VAR";
  ASSERT_TRUE(platform::set_env(name, "välue"));
  char buffer[32];
  EXPECT_EQ(platform::get_env(name, buffer, sizeof buffer), 6);
  EXPECT_STREQ(buffer, "välue");
  char small[4] = "abc";
  EXPECT_EQ(platform::get_env(name, small, sizeof small), 7) << "the size needed, NUL included";
  EXPECT_STREQ(small, "abc") << "nothing copied into a buffer too small";
  EXPECT_EQ(platform::get_env(name, buffer, 7), 6);
  EXPECT_EQ(platform::get_env(name, buffer, 6), 7);
  ASSERT_TRUE(platform::set_env(name, nullptr));
  EXPECT_EQ(platform::get_env(name, buffer, sizeof buffer), 0);
  EXPECT_FALSE(platform::set_env("A=B", "x"));
  EXPECT_FALSE(platform::set_env("", "x"));
}

TEST(Platform, CurrentDirectory) {
  char expected[PATH_MAX];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  i32 length = -1;
  char* dir = platform::get_current_dir(&length);
  ASSERT_NE(dir, nullptr);
  EXPECT_STREQ(dir, expected);
  EXPECT_EQ(length, static_cast<i32>(std::string(expected).size()));
  sys::free(dir);

  char temp[] = "/tmp/kiv-platform-XXXXXX";
  ASSERT_NE(mkdtemp(temp), nullptr);
  ASSERT_TRUE(platform::set_current_dir(temp));
  dir = platform::get_current_dir(&length);
  EXPECT_STREQ(dir, temp);
  sys::free(dir);
  EXPECT_FALSE(platform::set_current_dir("/nonexistent/kiv/dir"));
  ASSERT_TRUE(platform::set_current_dir(expected));
  rmdir(temp);
}
