// What the language tests cannot pin down of the system natives: the calendar fields of `now` at
// fixed instants (daylight-saving changes, odd zone offsets), `now` in the real executable against
// the system's `date` under several TZ values, what `browse` hands to the desktop's opener, and
// size? on files of known size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "datatypes/string.h"
#include "evaluator/natives.h"
#include "evaluator/natives_system.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

// Sets an environment variable for the scope and puts the old value back.
class ScopedEnv {
  std::string name_;
  std::optional<std::string> saved_;

 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    ::setenv(name, value, 1);
    ::tzset();
  }
  ~ScopedEnv() {
    if (saved_) ::setenv(name_.c_str(), saved_->c_str(), 1);
    else ::unsetenv(name_.c_str());
    ::tzset();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
};

i64 utc_seconds(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<i64>(::timegm(&tm));
}

TEST(NativesSystem, NowFieldsAtFixedInstants) {
  const struct {
    const char* tz;
    i64 instant;
    natives::NowFields expected;  // year month day hour minute second ns weekday yearday zone
  } cases[] = {
      // New York, the spring change: 1:59:59 EST is followed by 3:00:00 EDT.
      {"America/New_York", utc_seconds(2024, 3, 10, 6, 59, 59), {2024, 3, 10, 1, 59, 59, 0, 7, 70, -300}},
      {"America/New_York", utc_seconds(2024, 3, 10, 7, 0, 0), {2024, 3, 10, 3, 0, 0, 0, 7, 70, -240}},
      // ... and the autumn change: 1:59:59 EDT is followed by 1:00:00 EST.
      {"America/New_York", utc_seconds(2024, 11, 3, 5, 59, 59), {2024, 11, 3, 1, 59, 59, 0, 7, 308, -240}},
      {"America/New_York", utc_seconds(2024, 11, 3, 6, 0, 0), {2024, 11, 3, 1, 0, 0, 0, 7, 308, -300}},
      // Quarter and half hours, both signs; the local date runs ahead of or behind UTC.
      {"Asia/Kathmandu", utc_seconds(2023, 12, 31, 23, 30, 0), {2024, 1, 1, 5, 15, 0, 0, 1, 1, 345}},
      {"America/St_Johns", utc_seconds(2024, 1, 15, 2, 0, 0), {2024, 1, 14, 22, 30, 0, 0, 7, 14, -210}},
      {"America/St_Johns", utc_seconds(2024, 7, 1, 12, 0, 0), {2024, 7, 1, 9, 30, 0, 0, 1, 183, -150}},
      // Half-hour daylight saving.
      {"Australia/Lord_Howe", utc_seconds(2024, 1, 15, 0, 0, 0), {2024, 1, 15, 11, 0, 0, 0, 1, 15, 660}},
      {"Australia/Lord_Howe", utc_seconds(2024, 7, 15, 0, 0, 0), {2024, 7, 15, 10, 30, 0, 0, 1, 197, 630}},
      {"Pacific/Chatham", utc_seconds(2024, 7, 15, 0, 0, 0), {2024, 7, 15, 12, 45, 0, 0, 1, 197, 765}},
      {"UTC", utc_seconds(2024, 2, 29, 12, 0, 0), {2024, 2, 29, 12, 0, 0, 0, 4, 60, 0}},
      {"UTC", utc_seconds(2023, 12, 31, 23, 59, 59), {2023, 12, 31, 23, 59, 59, 0, 7, 365, 0}},
  };
  for (const auto& c : cases) {
    ScopedEnv tz("TZ", c.tz);
    const natives::NowFields f = natives::now_fields(c.instant, 0, false);
    const natives::NowFields& e = c.expected;
    const std::string where = std::string(c.tz) + " at " + std::to_string(c.instant);
    EXPECT_EQ(f.year, e.year) << where;
    EXPECT_EQ(f.month, e.month) << where;
    EXPECT_EQ(f.day, e.day) << where;
    EXPECT_EQ(f.hour, e.hour) << where;
    EXPECT_EQ(f.minute, e.minute) << where;
    EXPECT_EQ(f.second, e.second) << where;
    EXPECT_EQ(f.weekday, e.weekday) << where;
    EXPECT_EQ(f.yearday, e.yearday) << where;
    EXPECT_EQ(f.zone_minutes, e.zone_minutes) << where;
    // With utc the zone is ignored.
    const natives::NowFields u = natives::now_fields(c.instant, 123, true);
    const i64 seconds_of_day = ((c.instant % 86400) + 86400) % 86400;
    EXPECT_EQ(u.hour * 3600 + u.minute * 60 + u.second, seconds_of_day) << where;
    EXPECT_EQ(u.zone_minutes, 0) << where;
    EXPECT_EQ(u.nanoseconds, 123) << where;
  }
}

TEST(NativesSystem, ZoneOffsetsInQuarterHours) {
  const struct {
    i32 minutes;
    double seconds;
  } cases[] = {{0, 0.0}, {345, 20700.0}, {-210, -12600.0}, {-150, -9000.0}, {630, 37800.0}, {765, 45900.0},
               {-600, -36000.0}, {840, 50400.0}, {-25, -900.0} /* an old local mean time: to the quarter */};
  for (const auto& c : cases) EXPECT_EQ(natives::zone_seconds(c.minutes), c.seconds) << c.minutes;
}

// ---- now in the executable against date -----------------------------------------------------------

std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// "h:mm:ss" (or "-h:mm:ss") to seconds.
int clock_seconds(const std::string& t) {
  int h = 0, m = 0, s = 0;
  const bool negative = !t.empty() && t[0] == '-';
  std::sscanf(t.c_str() + (negative ? 1 : 0), "%d:%d:%d", &h, &m, &s);
  const int v = h * 3600 + m * 60 + s;
  return negative ? -v : v;
}

// date's "+0545" to minutes.
int zone_minutes(const std::string& z) {
  if (z.size() != 5) return 99999;
  const int v = std::stoi(z.substr(1, 2)) * 60 + std::stoi(z.substr(3, 2));
  return z[0] == '-' ? -v : v;
}

TEST(NativesSystem, NowAgreesWithTheDateCommand) {
  if (run("date +%Y").empty()) GTEST_SKIP() << "no date command";
  char path[] = "/tmp/kiv-now-XXXXXX.kiv";
  const int fd = ::mkstemps(path, 4);
  ASSERT_GE(fd, 0);
  const std::string script =
      "Kiv []\nprint [now/year now/month now/day now/weekday now/yearday now/zone now/time now/utc/time]\n";
  ASSERT_EQ(::write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
  ::close(fd);
  const char* zones[] = {"UTC",          "Asia/Kathmandu",      "America/St_Johns", "America/New_York",
                         "Europe/Paris", "Australia/Lord_Howe", "Pacific/Chatham",
                         // daylight time in force all year but for its first hour
                         "XST3XDT,J1/0,J365/25"};
  for (const char* zone : zones) {
    const std::string env = std::string("TZ='") + zone + "' ";
    const std::string date_cmd = env + "date +'%Y %-m %-d %u %-j %z %H:%M:%S'";
    bool compared = false;
    for (int attempt = 0; attempt < 3 && !compared; ++attempt) {
      const auto before = words(run(date_cmd));
      const auto kiv = words(run(env + KIV_EXE + " " + path));
      const auto after = words(run(date_cmd));
      const auto utc_after = run("date -u +%H:%M:%S");
      ASSERT_EQ(before.size(), 7u) << zone;
      ASSERT_EQ(kiv.size(), 8u) << zone << ": " << (kiv.empty() ? "" : kiv[0]);
      // A day, zone or second boundary between the readings: read again.
      if (!std::equal(before.begin(), before.begin() + 6, after.begin())) continue;
      const int t0 = clock_seconds(before[6]), t1 = clock_seconds(after[6]);
      if (t1 < t0) continue;
      compared = true;
      for (int i = 0; i < 5; ++i) EXPECT_EQ(kiv[i], before[i]) << zone << " field " << i;
      EXPECT_EQ(clock_seconds(kiv[5]) / 60, zone_minutes(before[5])) << zone << ": " << kiv[5];
      const int t = clock_seconds(kiv[6]);
      EXPECT_TRUE(t >= t0 && t <= t1) << zone << ": " << kiv[6] << " not within " << before[6] << ".." << after[6];
      // The local time minus the zone is the UTC time (modulo a day).
      const int utc = clock_seconds(kiv[7]);
      const int diff = ((t - utc - clock_seconds(kiv[5])) % 86400 + 86400) % 86400;
      EXPECT_TRUE(diff <= 2 || diff >= 86398) << zone << ": local " << kiv[6] << " utc " << kiv[7];
      const int apart = std::abs(utc - clock_seconds(utc_after));
      EXPECT_LE(std::min(apart, 86400 - apart), 2) << zone << ": utc " << kiv[7] << " date -u " << utc_after;
    }
    EXPECT_TRUE(compared) << zone << ": the clock kept crossing a boundary";
  }
  // The always-daylight rule really gives daylight time (-2:00), not the standard -3:00.
  {
    ScopedEnv tz("TZ", "XST3XDT,J1/0,J365/25");
    const natives::NowFields f = natives::now_fields(utc_seconds(2024, 6, 1, 12, 0, 0), 0, false);
    EXPECT_EQ(f.zone_minutes, -120);
  }
  ::unlink(path);
}

// ---- browse ------------------------------------------------------------------------------------

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(NativesSystem, BrowseHandsTheAddressToTheOpener) {
  test::boot_core();
  char dir[] = "/tmp/kiv-browse-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string opener = std::string(dir) + "/xdg-open", log = std::string(dir) + "/log";
  {
    std::ofstream o(opener);
    o << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$KIV_BROWSE_LOG\"\n";
  }
  ASSERT_EQ(::chmod(opener.c_str(), 0755), 0);
  {
    ScopedEnv path("PATH", dir);
    ScopedEnv target("KIV_BROWSE_LOG", log.c_str());
    Cell url = test::none_cell(), file = test::none_cell();
    RootCell keep_url(url), keep_file(file);
    string::make_from_utf8(&url, "http://example.com/a b?q=1");
    cell::set_type(&url, type::url);
    string::make_from_utf8(&file, "docs/read me; rm -rf x.txt");
    cell::set_type(&file, type::file);
    EXPECT_EQ(test::call({url}, [] { natives::browse(true); }).type(), type::unset);
    EXPECT_EQ(test::call({file}, [] { natives::browse(true); }).type(), type::unset);
    string::make_from_utf8(&file, "--help");
    cell::set_type(&file, type::file);
    EXPECT_EQ(test::call({file}, [] { natives::browse(true); }).type(), type::unset);
    // The opener runs detached: wait for all three to have written.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read_lines(log).size() < 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::string> lines = read_lines(log);
    std::sort(lines.begin(), lines.end());
    const std::vector<std::string> expected = {"./--help", "docs/read me; rm -rf x.txt",
                                               "http://example.com/a%20b?q=1"};
    EXPECT_EQ(lines, expected);
  }
  ::unlink(opener.c_str());
  ::unlink(log.c_str());
  ::rmdir(dir);
}

// ---- size? and recycle ---------------------------------------------------------------------------

TEST(NativesSystem, SizeOfFiles) {
  test::boot_core();
  char dir[] = "/tmp/kiv-size-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string empty = std::string(dir) + "/empty", some = std::string(dir) + "/some",
                    fifo = std::string(dir) + "/fifo";
  { std::ofstream o(empty); }
  { std::ofstream o(some); o << std::string(12345, 'x'); }
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto size_of = [](const std::string& path) {
    Cell f = test::none_cell();
    RootCell keep(f);
    string::make_from_utf8(&f, path);
    cell::set_type(&f, type::file);
    return test::call({f}, [] { natives::size_q(true); });
  };
  Cell r = size_of(some);
  EXPECT_EQ(r.type(), type::integer);
  EXPECT_EQ(r.as_int(), 12345);
  r = size_of(empty);
  EXPECT_EQ(r.type(), type::integer);
  EXPECT_EQ(r.as_int(), 0);
  EXPECT_EQ(size_of(fifo).type(), type::none);  // and the open does not block
  EXPECT_EQ(size_of(dir).type(), type::none);
  EXPECT_EQ(size_of(std::string(dir) + "/").type(), type::none);
  if (::geteuid() != 0) {  // root reads everything
    ASSERT_EQ(::chmod(some.c_str(), 0), 0);
    EXPECT_EQ(size_of(some).type(), type::none);
  }
  ::unlink(empty.c_str());
  ::unlink(some.c_str());
  ::unlink(fifo.c_str());
  ::rmdir(dir);
}

TEST(NativesSystem, RecycleSwitchesTheCollector) {
  test::boot_core();
  const bool saved = collector::enabled;
  EXPECT_EQ(test::call({}, [] { natives::recycle(true, -1, 0); }).type(), type::unset);
  EXPECT_FALSE(collector::enabled);
  EXPECT_EQ(test::call({}, [] { natives::recycle(true, 0, -1); }).type(), type::unset);
  EXPECT_TRUE(collector::enabled);
  const u32 before = collector::figures.collections;
  const Cell r = test::call({}, [] { natives::recycle(true, -1, -1); });
  EXPECT_EQ(r.type(), type::integer);
  EXPECT_GT(r.as_int(), 0);
  EXPECT_EQ(collector::figures.collections, before + 1);
  collector::enabled = saved;
}

}  // namespace
}  // namespace kiv
