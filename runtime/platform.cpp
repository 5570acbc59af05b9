#include "runtime/platform.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "runtime/sys.h"

namespace kiv::os {

void init() { sys::init_console(); }

}  // namespace kiv::os

namespace kiv::platform {

char* get_current_dir(i32* length) {
  i32 size = 256;
  for (;;) {
    auto* buffer = static_cast<char*>(sys::allocate(size));
    if (::getcwd(buffer, static_cast<std::size_t>(size))) {
      if (length) *length = static_cast<i32>(std::strlen(buffer));
      return buffer;
    }
    int error = errno;
    sys::free(buffer);
    if (error != ERANGE || size > (1 << 24)) break;
    size *= 2;
  }
  if (length) *length = 0;
  return nullptr;
}

bool set_current_dir(const char* path) { return path && ::chdir(path) == 0; }

i64 sleep_milliseconds(double seconds) {
  double ms = seconds * 1000.0;
  if (!(ms >= 1.0)) return 1;  // NaN too
  if (ms >= 9.0e15) return static_cast<i64>(9.0e15);
  return static_cast<i64>(ms);
}

void sleep(double seconds) {
  i64 ms = sleep_milliseconds(seconds);
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec left{};
  while (::nanosleep(&wait, &left) != 0 && errno == EINTR) wait = left;
}

bool set_env(const char* name, const char* value) {
  if (!name) return false;
  if (!value) return ::unsetenv(name) == 0;
  return ::setenv(name, value, 1) == 0;
}

i32 get_env(const char* name, char* buffer, i32 size) {
  const char* value = name ? std::getenv(name) : nullptr;
  if (!value) return 0;
  std::size_t n = std::strlen(value);
  if (n > 0x7FFFFFFE) return 0;
  if (!buffer || static_cast<std::size_t>(size) <= n || size <= 0) return static_cast<i32>(n + 1);
  std::memcpy(buffer, value, n + 1);
  return static_cast<i32>(n);
}

double now_utc_time(bool precise) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  double seconds = static_cast<double>(ts.tv_sec % 86400);
  if (precise) seconds += static_cast<double>(ts.tv_nsec / 100 * 100) / 1e9;
  return seconds;
}

u32 zone_bits(i32 zone_minutes) {
  u32 sign = zone_minutes < 0 ? 0x40u : 0u;
  u32 magnitude = static_cast<u32>(zone_minutes < 0 ? -zone_minutes : zone_minutes);
  u32 hours = magnitude / 60;
  u32 quarters = (magnitude % 60) / 15;
  return sign | (hours & 15) << 2 | quarters;
}

u32 pack_date(i32 year, i32 month, i32 day, i32 zone_minutes) {
  return static_cast<u32>(year) << 17 | static_cast<u32>(month) << 12 | static_cast<u32>(day) << 7 |
         zone_bits(zone_minutes);
}

u32 now_date(bool utc) {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  if (utc) {
    ::gmtime_r(&now, &t);
    return pack_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, 0);
  }
  ::tzset();  // a TZ changed through set_env applies from the next call on
  ::localtime_r(&now, &t);
  return pack_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, static_cast<i32>(t.tm_gmtoff / 60));
}

double clock() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace kiv::platform
