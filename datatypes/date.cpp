// date!: the calendar (day numbers and their inverse, weeks, normalisation), the fields through
// paths and pick, make and to, arithmetic, comparison, random, and the text of a date.
#include "datatypes/date.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/unset.h"
#include "datatypes/word.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kiv::date {

namespace {

constexpr i64 floor_div(i64 a, i64 b) {
  const i64 q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}
constexpr i64 floor_mod(i64 a, i64 b) { return a - floor_div(a, b) * b; }

// Days from day 0 to 1 March of the year y (March-based years).
constexpr i64 year_days(i64 y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }

constexpr i64 day_number(i64 year, i64 month, i64 day) {
  const i64 m = floor_mod(month + 9, 12);  // March 0 ... February 11
  const i64 y = year - m / 10;             // January and February count in the year before
  return year_days(y) + (m * 306 + 5) / 10 + (day - 1);
}

// The datatype! value of a type, for error arguments.
Cell datatype_of(u32 type_id) {
  Cell c;
  return *datatype::make_at(&c, type_id);
}

[[noreturn]] void bad_to_arg(const Cell& spec) {
  raise_error(ErrorCategory::script, "bad-to-arg", datatype_of(type::date), spec);
}
[[noreturn]] void overflow() { raise_error(ErrorCategory::math, "overflow"); }

// The date's word rebuilt from a day number, keeping its zone and has-time flag; the stored time
// set. A year the packed word cannot hold is a math overflow.
void rebuild(Cell* d, i64 days, double stored) {
  if (!in_range_q(days)) overflow();
  d->w1 = from_days(days, zone_of(d->w1), has_time_q(d->w1));
  d->set_double(stored);
}
void rebuild(Cell* d, i64 days) { rebuild(d, days, stored_time(d)); }

// The time s (local with `convert`) stored, whole days carried into the date.
void set_time(Cell* d, double s, bool convert) {
  if (convert) s -= zone_seconds(zone_of(d->w1));
  i64 days = days_of(d->w1);
  if (!normalize(days, s, zone_of(d->w1))) overflow();
  rebuild(d, days, s);
}

// Month n of the date's year, counting on into later or earlier years; a day past the new month's
// end runs into the month after.
void set_month(Cell* d, i64 n) {
  const i64 year = year_of(d->w1) + floor_div(n - 1, 12);
  if (year < min_year || year > max_year) overflow();
  rebuild(d, days_of(static_cast<i32>(year), static_cast<i32>(floor_mod(n - 1, 12) + 1), day_of(d->w1)));
}

// The local time of day (midnight for a date without time).
double local_time(const Cell* d) {
  return has_time_q(d->w1) ? stored_time(d) + zone_seconds(zone_of(d->w1)) : 0.0;
}

// The zone word of a zone field's new value: integer! hours (kept within 15) or a time!.
u32 zone_from(const Cell* v) {
  if (v->type() == type::integer) {
    const i32 hours = v->as_int() % 16;
    return zone_word(hours < 0, hours, 0);
  }
  const double s = std::fmod(v->as_double(), 57600.0);
  if (!std::isfinite(s)) raise_error(ErrorCategory::script, "invalid-arg", *v);
  return zone_word(s < 0, time::hours_of(s), time::minutes_of(s));
}

// ---- Fields ----

struct FieldName {
  u32 symbol;
  i32 field;
};
constexpr FieldName field_names[] = {
    {static_words::sym::date, 1},     {static_words::sym::year, 2},      {static_words::sym::month, 3},
    {static_words::sym::day, 4},      {static_words::sym::zone, 5},      {static_words::sym::time, 6},
    {static_words::sym::hour, 7},     {static_words::sym::minute, 8},    {static_words::sym::second, 9},
    {static_words::sym::weekday, 10}, {static_words::sym::yearday, 11},  {static_words::sym::julian, 11},
    {static_words::sym::timezone, 12}, {static_words::sym::week, 13},    {static_words::sym::isoweek, 14},
};
constexpr i32 field_count = 14;

// The field an integer! or word! names, 0 for anything else.
i32 field_of(const Cell* e) {
  if (e->type() == type::integer) {
    const i32 n = e->as_int();
    return n >= 1 && n <= field_count ? n : 0;
  }
  if (e->type() != type::word) return 0;
  const i32 id = symbol::resolve(word::symbol_of(e));
  for (const FieldName& f : field_names)
    if (symbol::resolve(static_words::symbol(f.symbol)) == id) return f.field;
  return 0;
}

void require(const Cell* v, u32 t) {
  if (v->type() != t) raise_error(ErrorCategory::script, "invalid-arg", *v);
}

void set_field(Cell* d, i32 field, const Cell* v) {
  const u32 w = d->w1;
  const i64 days = days_of(w);
  switch (field) {
    case 1:
      require(v, type::date);
      rebuild(d, days_of(v->w1));
      return;
    case 5:
    case 12: {
      if (v->type() != type::integer && v->type() != type::time)
        raise_error(ErrorCategory::script, "invalid-arg", *v);
      const u32 zone = zone_from(v);
      const double local = local_time(d);
      const double stored = stored_time(d);
      d->w1 = (w & ~zone_mask) | has_time_bit | zone;
      // zone keeps the local time and moves the instant; timezone keeps the instant.
      if (field == 5) d->set_double(local - zone_seconds(zone));
      else set_time(d, stored, false);
      return;
    }
    case 6:
      if (v->type() == type::none) {
        d->w1 = w & ~has_time_bit;
        d->set_double(0.0);
        return;
      }
      require(v, type::time);
      d->w1 = w | has_time_bit;
      set_time(d, v->as_double(), true);
      return;
    case 7:
    case 8:
    case 9: {
      if (!(v->type() == type::integer || (field == 9 && v->type() == type::float_)))
        raise_error(ErrorCategory::script, "invalid-arg", *v);
      const double n = v->type() == type::integer ? v->as_int() : v->as_double();
      const double local = time::with_field(local_time(d), field - 6, n);
      d->w1 = w | has_time_bit;
      set_time(d, local, true);
      return;
    }
    default: break;
  }
  require(v, type::integer);
  const i64 n = v->as_int();
  const i32 year = year_of(w);
  switch (field) {
    case 2:
      if (n < min_year || n > max_year) overflow();
      rebuild(d, days_of(static_cast<i32>(n), month_of(w), day_of(w)));
      return;
    case 3: set_month(d, n); return;
    case 4: rebuild(d, days_of(year, month_of(w), 0) + n); return;
    case 10: rebuild(d, days + (n - 1) - floor_mod(days + 2, 7)); return;
    case 11: rebuild(d, jan1_days(year) + n - 1); return;
    case 13: {
      const i64 j = jan1_days(year);
      rebuild(d, n <= 1 ? j : j + 7 * n - floor_mod(j + 3, 7) - 7);
      return;
    }
    default: rebuild(d, isoweek_start(year) + 7 * (n - 1)); return;
  }
}

// ---- make and to ----

// The block grammar: per state and value class (integer!, time!, float!), the next state and the
// slot the value goes to; a negative state refuses the value.
enum Slot : u8 { s_day, s_month, s_year, s_hour, s_minute, s_second, s_zone_hour, s_zone_minute, s_second_f,
                 s_time, s_zone };
struct Route {
  i8 next;
  Slot slot;
};
constexpr Route no{-1, s_day};
constexpr Route grammar[14][3] = {
    {{1, s_day}, no, no},
    {{2, s_month}, no, no},
    {{3, s_year}, no, no},
    {{8, s_hour}, {4, s_time}, no},
    {{6, s_zone_hour}, {5, s_zone}, no},
    {no, no, no},
    {{7, s_zone_minute}, no, no},
    {no, no, no},
    {{9, s_minute}, no, no},
    {{10, s_second}, no, {10, s_second_f}},
    {{12, s_zone_hour}, {11, s_zone}, no},
    {no, no, no},
    {{13, s_zone_minute}, no, no},
    {no, no, no},
};

Cell* from_block(Cell* out, const Cell* spec, bool check) {
  Cell b = *spec;
  const i32 count = block::length(&b);
  const Cell* v = block::head_pointer(&b);
  i64 ints[s_zone_minute + 1] = {};
  double second_f = 0.0, time_value = 0.0, zone_value = 0.0;
  bool zone_given = false;
  i32 state = 0;
  for (i32 i = 0; i < count; ++i) {
    const u32 t = v[i].type();
    const i32 cls = t == type::integer ? 0 : t == type::time ? 1 : t == type::float_ ? 2 : -1;
    if (cls < 0 || state < 0) bad_to_arg(*spec);
    const Route r = grammar[state][cls];
    if (r.next < 0) bad_to_arg(*spec);
    state = r.next;
    switch (r.slot) {
      case s_second_f: second_f = v[i].as_double(); break;
      case s_time: time_value = v[i].as_double(); break;
      case s_zone:
        zone_value = v[i].as_double();
        zone_given = true;
        break;
      default: ints[r.slot] = v[i].as_int(); break;
    }
  }
  if (count < 3) bad_to_arg(*spec);
  // Year first: [2020 1 15] reads like [15 1 2020].
  if (ints[s_day] >= 100 && ints[s_day] > ints[s_year]) std::swap(ints[s_day], ints[s_year]);

  // The zone: whole quarters of at most 15 hours, or the value cannot be held.
  bool zone_negative;
  i64 zone_hours, zone_minutes;
  if (zone_given) {
    if (!(std::fabs(zone_value) < 57600.0) || std::fmod(zone_value, 900.0) != 0.0) bad_to_arg(*spec);
    zone_negative = zone_value < 0;
    zone_hours = time::hours_of(zone_value);
    zone_minutes = time::minutes_of(zone_value);
  } else {
    zone_negative = ints[s_zone_hour] < 0;
    zone_hours = ints[s_zone_hour];
    zone_minutes = ints[s_zone_minute];
    if (zone_hours < -15 || zone_hours > 15 || zone_minutes < 0 || zone_minutes > 59 || zone_minutes % 15)
      bad_to_arg(*spec);
  }
  const u32 zone = zone_hours || zone_minutes ? zone_word(zone_negative, static_cast<i32>(zone_hours),
                                                          static_cast<i32>(zone_minutes))
                                              : 0;

  const bool by_parts = state >= 8;
  double time = time_value;
  if (by_parts) {
    const double second = second_f != 0.0 ? second_f : static_cast<double>(ints[s_second]);
    time = static_cast<double>(ints[s_hour]) * 3600 + static_cast<double>(ints[s_minute]) * 60 + second;
  }
  const i64 year = ints[s_year], month = ints[s_month], day = ints[s_day];
  if (year < min_year || year > max_year) bad_to_arg(*spec);
  const i64 shifted_year = year + floor_div(month - 1, 12);
  if (shifted_year < min_year || shifted_year > max_year) bad_to_arg(*spec);
  i64 days = days_of(static_cast<i32>(shifted_year), static_cast<i32>(floor_mod(month - 1, 12) + 1), 0) + day;
  double stored = time;
  if (!normalize(days, stored, 0) || !in_range_q(days)) bad_to_arg(*spec);
  Cell d;
  box(&d, from_days(days, 0, count > 3), stored);

  if (check) {
    const bool same_date = year_of(d.w1) == year && month_of(d.w1) == month && day_of(d.w1) == day;
    bool time_ok;
    if (time != 0.0) {
      const double hours = std::trunc(time / 3600);
      const i64 minutes = by_parts && state > 8 ? ints[s_minute] : time::minutes_of(time);
      time_ok = hours >= 0 && hours <= 23 && time::minutes_of(stored) == minutes;
    } else {
      time_ok = ints[s_hour] == 0 && ints[s_minute] == 0;
    }
    if (!same_date || !time_ok) bad_to_arg(*spec);
  }
  d.w1 = (d.w1 & ~zone_mask) | zone;
  set_time(&d, stored, true);
  *out = d;
  return out;
}

// ---- Text ----

// The first three characters of month m's name: from system/locale/months when the system has
// one, else English.
void append_month(Cell* out, i32 m) {
  const Cell* months = hooks::locale_months ? hooks::locale_months() : nullptr;
  if (!months) {
    string::append_bytes(out, month_names[m - 1], 3);
    return;
  }
  Cell list = *months;
  if (block::length(&list) < m) raise_error(ErrorCategory::script, "invalid-months");
  Cell name = *block::cell_at(&list, block::head_index(&list) + m - 1);
  if (name.type() != type::string) raise_error(ErrorCategory::script, "invalid-months");
  const i32 n = std::min(string::length(&name), 3);
  for (i32 i = 0; i < n; ++i) string::append_char(out, string::char_at(&name, string::head_index(&name) + i));
}

i32 append_text(const Cell* d, Cell* out) {
  const Cell v = *d;  // the value may sit in a buffer that moves while the text grows
  const u32 w = v.w1;
  const i32 year = year_of(w);
  const char* sep = year < 0 ? "/" : "-";
  std::string head = integer::to_decimal(day_of(w));
  head += sep;
  string::append_bytes(out, head.data(), static_cast<i32>(head.size()));
  append_month(out, month_of(w));
  std::string tail = sep;
  if (year < 0) tail += '-';
  std::string digits = integer::to_decimal(year < 0 ? -year : year);
  if (year > -100 && year < 100) digits.insert(0, 4 - digits.size(), '0');
  tail += digits;
  if (has_time_q(w)) {
    tail += '/';
    tail += time::to_text(local_time(&v));
    const u32 zone = zone_of(w);
    if (zone) {
      const i32 hours = static_cast<i32>(zone >> 2 & 15), minutes = static_cast<i32>(zone & 3) * 15;
      tail += (zone & zone_sign_bit) ? '-' : '+';
      tail += static_cast<char>('0' + hours / 10);
      tail += static_cast<char>('0' + hours % 10);
      tail += ':';
      tail += static_cast<char>('0' + minutes / 10);
      tail += static_cast<char>('0' + minutes % 10);
    }
  }
  string::append_bytes(out, tail.data(), static_cast<i32>(tail.size()));
  return static_cast<i32>(head.size() + 3 + tail.size());
}

i32 compare_key(u32 w) { return static_cast<i32>(w & ~has_time_bit) >> day_shift; }

u32 hash(const Cell* d, bool) {
  // Equal dates share the calendar date; their times are equal only within a tolerance, so only the
  // date is hashed.
  const i32 key = compare_key(d->w1);
  return hashtable::murmur3_32(&key, sizeof key);
}

}  // namespace

// ---- The calendar ----

bool leap_year_q(i32 year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

i32 month_length(i32 year, i32 month) {
  constexpr i32 lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap_year_q(year) ? 29 : lengths[month - 1];
}

i64 days_of(i32 year, i32 month, i32 day) { return day_number(year, month, day); }

u32 from_days(i64 days, u32 zone, bool has_time) {
  i64 y = floor_div(10000 * days + 14780, 3652425);
  i64 r = days - year_days(y);
  if (r < 0) {
    --y;
    r = days - year_days(y);
  }
  const i64 mi = (100 * r + 52) / 3060;
  const i64 month = (mi + 2) % 12 + 1;
  const i64 year = y + (mi + 2) / 12;
  const i64 day = r - (mi * 306 + 5) / 10 + 1;
  return pack(static_cast<i32>(year), static_cast<i32>(month), static_cast<i32>(day), zone, has_time);
}

bool in_range_q(i64 days) {
  constexpr i64 first = day_number(min_year, 1, 1), last = day_number(max_year, 12, 31);
  return days >= first && days <= last;
}

i32 weekday(i64 days) { return static_cast<i32>(floor_mod(days + 2, 7)) + 1; }

i64 jan1_days(i32 year) { return days_of(year, 1, 1); }

i32 yearday(u32 w) { return static_cast<i32>(days_of(w) - jan1_days(year_of(w)) + 1); }

i64 isoweek_start(i32 year, i32* jan1_weekday) {
  const i64 j = jan1_days(year);
  const i64 b = floor_mod(j + 2, 7);  // 0 Monday
  if (jan1_weekday) *jan1_weekday = static_cast<i32>(b) + 1;
  return b <= 3 ? j - b : j + 7 - b;
}

i32 isoweek(u32 w) {
  const i32 year = year_of(w);
  const i64 m = days_of(w);
  i32 jan1;
  const i64 start = isoweek_start(year, &jan1);
  if (m < start) {
    // The last week of the year before, which has 53 weeks when it began on a Thursday, or on a
    // Wednesday in a leap year (this year then begins on a Friday, or a Saturday).
    if (jan1 == 5) return 53;
    if (jan1 == 6) return leap_year_q(year - 1) ? 53 : 52;
    return 52;
  }
  return m < isoweek_start(year + 1) ? static_cast<i32>((m - start) / 7 + 1) : 1;
}

i32 week(u32 w) {
  const i64 e = floor_mod(jan1_days(year_of(w)) + 3, 7);  // 0 Sunday
  const i32 n = yearday(w);
  return n <= 7 - e ? 1 : static_cast<i32>((n + e - 1) / 7 + 1);
}

bool normalize(i64& days, double& stored, u32 zone) {
  const double offset = zone_seconds(zone);
  const double k = std::trunc((stored + offset) / day_seconds);
  if (!(std::fabs(k) < 1e8)) return false;
  stored -= k * day_seconds;
  days += static_cast<i64>(k);
  if (stored + offset < 0) {
    // A local time a hair below midnight would read as 24:00 once a day is added back: it is midnight.
    if (stored + offset + day_seconds < day_seconds) {
      --days;
      stored += day_seconds;
    } else {
      stored = -offset;
    }
  }
  return true;
}

// ---- Makers ----

Cell* make_at(Cell* out, i32 year, i32 month, i32 day, double time, i32 zone_hours, i32 zone_minutes,
              bool has_time) {
  const u32 zone = zone_word(zone_hours < 0, zone_hours, zone_minutes);
  return box(out, pack(year, month, day, zone, has_time), has_time ? time - zone_seconds(zone) : 0.0);
}

Cell* make_at_hms(Cell* out, i32 year, i32 month, i32 day, i32 hours, i32 minutes, i32 seconds, i32 nanoseconds) {
  const double time = hours * 3600.0 + minutes * 60.0 + seconds + nanoseconds * 1e-9;
  return box(out, pack(year, month, day, 0, true), time);
}

Cell* push(u32 w, double stored) { return box(stack::push_cell(), w, stored); }

Cell* add_to_block(Cell* block, u32 w, double stored) { return box(cell::append_slot(block), w, stored); }

void set_isoweek(Cell* d, i32 n) { rebuild(d, isoweek_start(year_of(d->w1)) + 7 * (i64{n} - 1)); }

void set_weekday(Cell* d, i32 n) {
  const i64 days = days_of(d->w1);
  rebuild(d, days + (n - 1) - floor_mod(days + 2, 7));
}

void set_yearday(Cell* d, i32 n) { rebuild(d, jan1_days(year_of(d->w1)) + n - 1); }

i64 to_epoch(const Cell* d) {
  return (days_of(d->w1) - days_of(1970, 1, 1)) * day_seconds +
         static_cast<i64>(std::floor(stored_time(d) + 0.5));
}

Cell* from_epoch(Cell* out, i64 seconds) {
  const i64 days = days_of(1970, 1, 1) + floor_div(seconds, day_seconds);
  return box(out, from_days(days, 0, true), static_cast<double>(floor_mod(seconds, day_seconds)));
}

void difference(Cell* a, const Cell* b) {
  const double s = static_cast<double>(days_of(a->w1) - days_of(b->w1)) * day_seconds +
                   (stored_time(a) - stored_time(b));
  time::box(a, s);
}

Cell* get_field(const Cell* d, i32 field, Cell* out) {
  const u32 w = d->w1;
  const double local = local_time(d);
  switch (field) {
    case 1: return box(out, w & ~(zone_mask | has_time_bit), 0.0);
    case 2: return integer::box(out, year_of(w));
    case 3: return integer::box(out, month_of(w));
    case 4: return integer::box(out, day_of(w));
    case 5:
    case 12: return has_time_q(w) ? time::box(out, zone_seconds(zone_of(w))) : none::make_at(out);
    case 6: return has_time_q(w) ? time::box(out, local) : none::make_at(out);
    case 7:
    case 8:
    case 9: return time::field_value(local, field - 6, out);
    case 10: return integer::box(out, weekday(days_of(w)));
    case 11: return integer::box(out, yearday(w));
    case 13: return integer::box(out, week(w));
    default: return integer::box(out, isoweek(w));
  }
}

// ---- Action entries ----

Cell* make(Cell* proto, Cell* spec, u32) {
  switch (spec->type()) {
    case type::block:
    case type::paren:
    case type::hash: return from_block(proto, spec, true);
    default: bad_to_arg(*spec);
  }
}

Cell* to(Cell* proto, Cell* spec, u32) {
  switch (spec->type()) {
    case type::block:
    case type::paren:
    case type::hash: return from_block(proto, spec, false);
    case type::date: *proto = *spec; return proto;
    case type::integer: return from_epoch(proto, spec->as_int());
    default: bad_to_arg(*spec);
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(static_cast<i32>(value->w1 + static_cast<u32>(static_cast<i64>(stored_time(value)))));
    return unset::make_at(value);
  }
  const i64 days = days_of(value->w1);
  const i32 d = static_cast<i32>(days);
  const i64 drawn = d > 0 ? random::integer(secure, d) - 1 : d < 0 ? random::integer(secure, d) + 1 : 0;
  rebuild(value, drawn);
  if (has_time_q(value->w1)) {
    const u32 zone = static_cast<u32>(secure ? random::secure_next() : random::next()) & zone_mask;
    double x;
    if (secure) {
      const double a = random::secure_next(), b = random::secure_next();
      x = (a / 2147483647.0 + b) / (2147483648.0 / 3600);
    } else {
      x = random::next() / 2147483647.0 * 3600;
    }
    value->w1 = (value->w1 & ~zone_mask) | zone;
    set_time(value, std::floor(x) * 24, true);
  }
  return value;
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) { return limit - append_text(value, out); }

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell*, i32 limit, i32) {
  return limit - append_text(value, out);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32, bool,
                bool, bool, bool) {
  const i32 field = field_of(element);
  if (!field) raise_error(ErrorCategory::script, "invalid-path", path ? *path : none::value, *element);
  if (!value) return get_field(parent, field, stack::push_cell());
  const Cell old = *parent;
  set_field(parent, field, value);
  if (gparent && hooks::time_changed) hooks::time_changed(gparent, p_item, &old, parent);
  return value;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::date) return -2;
  const i32 ka = compare_key(a->w1), kb = compare_key(b->w1);
  const double ta = stored_time(a), tb = stored_time(b);
  const bool equal = ka == kb && float_::almost_equal_q(ta, tb);
  switch (op) {
    case 0:
    case 1:
    case 2:
    case 10:
    case 11:
    case 12: return equal ? 0 : 1;
    case 9: return equal || (a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3) ? 0 : 1;
    default:
      if (ka != kb) return ka < kb ? -1 : 1;
      return (ta > tb) - (ta < tb);
  }
}

void do_math(i32 op) {
  Cell* a = stack::arguments;
  const Cell* b = a + 1;
  i64 days = 0;
  double seconds = 0.0;
  bool with_time = false;
  switch (b->type()) {
    case type::integer: days = b->as_int(); break;
    case type::time:
      seconds = b->as_double();
      with_time = true;
      break;
    case type::date: {
      if (op == 0)
        raise_error(ErrorCategory::script, "not-related", *static_words::word(static_words::wid::add),
                    datatype_of(type::date));
      // Whole days between the two instants, counted down to the day.
      i64 apart = days_of(a->w1) - days_of(b->w1);
      double rest = stored_time(a) - stored_time(b);
      if (!normalize(apart, rest, 0) || integer::out_of_range_q(static_cast<double>(apart))) overflow();
      integer::box(a, static_cast<i32>(apart));
      return;
    }
    default: raise_error(ErrorCategory::script, "invalid-type", datatype_of(b->type()));
  }
  if (op == 1) {
    days = -days;
    seconds = -seconds;
  }
  i64 result_days = days_of(a->w1) + days;
  double stored = stored_time(a) + seconds;
  if (!normalize(result_days, stored, zone_of(a->w1))) overflow();
  if (with_time) a->w1 |= has_time_bit;
  rebuild(a, result_days, stored);
}

void add() { do_math(0); }
void subtract() { do_math(1); }

Cell* pick(Cell* value, i32 index, Cell* boxed) {
  const i32 field = boxed && boxed->type() == type::word ? field_of(boxed) : index;
  if (field < 1 || field > field_count) {
    Cell arg;
    raise_error(ErrorCategory::script, "out-of-range", boxed ? *boxed : *integer::box(&arg, index));
  }
  return get_field(value, field, stack::push_cell());
}

namespace {

bool load_token(Cell* out, const u8* start, const u8* end, bool) { return read_text(start, end, out); }

}  // namespace

void init() {
  datatype::register_type(type::date, 0, "date!",
                          {.make = make,
                           .random = random,
                           .to = to,
                           .form = form,
                           .mold = mold,
                           .eval_path = eval_path,
                           .compare = compare,
                           .add = add,
                           .subtract = subtract,
                           .pick = pick});
  hashtable::set_hash_procedure(type::date, hash);
  float_::math[type::date] = do_math;
  datatype::makers::date = load_token;
}

}  // namespace kiv::date
