// Reading date literals: day, month (a number or a name) and year in either order, the ISO week and
// year-day forms, and the compact ISO form, each with an optional time of day and zone.
#include <cmath>

#include "datatypes/date.h"
#include "runtime/float_text.h"

namespace kiv::date {

namespace {

struct Text {
  const u8* p;
  const u8* end;

  bool at(u8 c) const { return p < end && *p == c; }
  bool take(u8 c) {
    if (!at(c)) return false;
    ++p;
    return true;
  }
  bool digit_at(const u8* q) const { return q < end && *q >= '0' && *q <= '9'; }
  // At most `most` digits; how many were read.
  i32 number(i64& v, i32 most) {
    v = 0;
    i32 n = 0;
    while (n < most && digit_at(p)) {
      v = v * 10 + (*p++ - '0');
      ++n;
    }
    return n;
  }
  bool exactly(i64& v, i32 n) { return number(v, n) == n; }
  i32 digits_ahead(const u8* q) const {
    i32 n = 0;
    while (digit_at(q + n)) ++n;
    return n;
  }
};

// Seconds: whole digits with an optional fraction after '.' or ','; whole digits only in
// `whole_digits` (0 for any count).
bool read_seconds(Text& t, i32 whole_digits, double& out) {
  char buffer[64];
  std::size_t n = 0;
  i32 whole = 0;
  while (t.digit_at(t.p) && n < sizeof buffer - 1) {
    buffer[n++] = static_cast<char>(*t.p++);
    ++whole;
  }
  if (whole == 0 || (whole_digits && whole != whole_digits)) return false;
  if (t.at('.') || t.at(',')) {
    ++t.p;
    buffer[n++] = '.';
    const std::size_t fraction = n;
    while (t.digit_at(t.p) && n < sizeof buffer - 1) buffer[n++] = static_cast<char>(*t.p++);
    if (n == fraction || t.digit_at(t.p)) return false;
  }
  int status = 0;
  out = float_text::parse_decimal(buffer, buffer + n, 0, status);
  return status == 0;
}

// The time of day after '/' or 'T': h:mm[:ss[.f]], or hhmm[ss[.f]] in the compact form.
bool read_clock(Text& t, bool compact, double& out) {
  i64 hours, minutes;
  double seconds = 0;
  if (compact) {
    if (!t.exactly(hours, 2) || !t.exactly(minutes, 2)) return false;
    if (t.digit_at(t.p) && !read_seconds(t, 2, seconds)) return false;
  } else {
    if (!t.number(hours, 2) || !t.take(':') || !t.number(minutes, 2)) return false;
    if (t.take(':') && !read_seconds(t, 0, seconds)) return false;
  }
  if (hours > 23 || minutes > 59 || !(seconds < 60)) return false;
  out = static_cast<double>(hours * 3600 + minutes * 60) + seconds;
  return true;
}

// An optional zone: Z, or a sign, hours and optional minutes (hh:mm or hhmm) in whole quarters.
bool read_zone(Text& t, u32& zone) {
  zone = 0;
  if (t.take('Z')) return true;
  if (!t.at('+') && !t.at('-')) return true;
  const bool negative = *t.p++ == '-';
  i64 hours, minutes = 0;
  if (!t.number(hours, 2)) return false;
  if (t.take(':')) {
    if (!t.exactly(minutes, 2)) return false;
  } else if (t.digit_at(t.p) && !t.exactly(minutes, 2)) {
    return false;
  }
  if (hours > 15 || minutes > 45 || minutes % 15) return false;
  zone = zone_word(negative, static_cast<i32>(hours), static_cast<i32>(minutes));
  return true;
}

// A month name of 3 to 9 letters, the start of one of the English names in any case; 0 if none.
i32 read_month_name(Text& t) {
  const u8* s = t.p;
  while (t.p < t.end && ((*t.p | 0x20) >= 'a' && (*t.p | 0x20) <= 'z')) ++t.p;
  const auto n = static_cast<std::size_t>(t.p - s);
  if (n < 3 || n > 9) return 0;
  for (i32 m = 0; m < 12; ++m) {
    const char* name = month_names[m];
    std::size_t i = 0;
    while (i < n && name[i] && (s[i] | 0x20) == (name[i] | 0x20)) ++i;
    if (i == n) return m + 1;
  }
  return 0;
}

}  // namespace

bool read_text(const u8* start, const u8* end, Cell* out) {
  Text t{start, end};
  i64 year = 0, month = 1, day = 1;
  i64 week_number = 0, week_day = 1, year_day = 0;
  double time = 0;
  bool has_time = false;
  u32 zone = 0;
  const i32 leading = t.digits_ahead(t.p);
  if (leading > 4) {
    // The compact form: yyyymmddThhmm[ss[.f]] and Z or a zone.
    if (!t.exactly(year, 4) || !t.exactly(month, 2) || !t.exactly(day, 2) || !t.take('T')) return false;
    if (!read_clock(t, true, time) || !read_zone(t, zone)) return false;
    has_time = true;
  } else {
    i64 first;
    const i32 first_digits = t.number(first, 4);
    if (!first_digits) return false;
    if (first_digits == 4 && t.at('-') && t.p + 1 < t.end && t.p[1] == 'W') {
      t.p += 2;
      year = first;
      if (!t.number(week_number, 2)) return false;
      t.take('-');
      if (t.digit_at(t.p)) t.number(week_day, 1);
      if (week_number < 1 || week_number > 53 || week_day < 1 || week_day > 7) return false;
    } else if (t.at('-') && t.digits_ahead(t.p + 1) == 3) {
      ++t.p;
      year = first;
      t.number(year_day, 3);
      if (year_day < 1 || year_day > (leap_year_q(static_cast<i32>(year)) ? 366 : 365)) return false;
    } else {
      const u8 sep = t.at('-') || t.at('/') ? *t.p++ : 0;
      if (!sep) return false;
      if (!t.number(month, 2) && !(month = read_month_name(t))) return false;
      if (!t.take(sep)) return false;
      const bool negative = sep == '/' && t.take('-');
      i64 last;
      const i32 last_digits = t.number(last, 5);
      if (!last_digits) return false;
      i32 year_digits;
      if (!negative && first > 99 && last <= 31) {
        year = first;
        day = last;
        year_digits = first_digits;
      } else {
        day = first;
        year = negative ? -last : last;
        year_digits = last_digits;
      }
      if (year_digits <= 2 && !negative) year += year > 49 ? 1900 : 2000;
    }
    if (t.take('/') || t.take('T')) {
      if (!read_clock(t, false, time) || !read_zone(t, zone)) return false;
      has_time = true;
    }
  }
  if (t.p != t.end) return false;
  if (year < -9999 || year > 9999 || month < 1 || month > 12) return false;
  const i32 y = static_cast<i32>(year);
  if (day < 1 || day > month_length(y, static_cast<i32>(month))) return false;
  box(out, pack(y, static_cast<i32>(month), static_cast<i32>(day), zone, has_time),
      has_time ? time - zone_seconds(zone) : 0.0);
  if (week_number) {
    set_isoweek(out, static_cast<i32>(week_number));
    set_weekday(out, static_cast<i32>(week_day));
    // Week 53 of a year of 52 weeks is the next year's first.
    if (isoweek(out->w1) != week_number) return false;
  } else if (year_day) {
    set_yearday(out, static_cast<i32>(year_day));
  }
  return true;
}

}  // namespace kiv::date
