// date!: a calendar date with an optional time of day and an optional zone, held wholly in the cell
// (type id 47, no parent).
//
// Cell: header 47; w1 the packed date word; w2-w3 one double, the stored time in seconds.
// Packed word (signed 32 bits): year in bits 17-31 (read with an arithmetic shift), the has-time
// flag in bit 16, month 1-12 in bits 12-15, day 1-31 in bits 7-11, and the zone in bits 0-6: bit 6
// its sign, bits 2-5 whole hours, bits 0-1 quarter hours. A zone of 0 is UTC and is not shown.
//
// Year, month and day are the local calendar date in the date's zone; the stored time is the local
// time of day minus the zone offset. Every normalising operation keeps 0 <= local time < 86400 s;
// the stored time itself may be negative or pass 24 h by up to the offset. Without the has-time
// flag the stored time is 0.
//
// Day numbers count days from 1 March of year 0 (day 0) in the proleptic Gregorian calendar, with
// floor division throughout, so years 0 and below have day numbers of their own too.
#pragma once
#include "runtime/cell.h"

namespace kiv::date {

constexpr u32 has_time_bit = 1u << 16;
constexpr u32 zone_mask = 0x7F;
constexpr u32 zone_sign_bit = 0x40;
constexpr i32 year_shift = 17;
constexpr i32 month_shift = 12;
constexpr i32 day_shift = 7;
constexpr i32 min_year = -16384;
constexpr i32 max_year = 16383;
constexpr i32 day_seconds = 86400;

inline i32 year_of(u32 w) { return static_cast<i32>(w) >> year_shift; }
inline i32 month_of(u32 w) { return static_cast<i32>(w >> month_shift & 15); }
inline i32 day_of(u32 w) { return static_cast<i32>(w >> day_shift & 31); }
inline u32 zone_of(u32 w) { return w & zone_mask; }
inline bool has_time_q(u32 w) { return (w & has_time_bit) != 0; }

inline u32 word_of(const Cell* d) { return d->w1; }
inline double stored_time(const Cell* d) { return d->as_double(); }

constexpr u32 pack(i32 year, i32 month, i32 day, u32 zone, bool has_time) {
  return static_cast<u32>(year) << year_shift | static_cast<u32>(month & 15) << month_shift |
         static_cast<u32>(day & 31) << day_shift | (has_time ? has_time_bit : 0) | (zone & zone_mask);
}

// The zone word of a sign, whole hours and minutes (quarters taken, the rest dropped).
constexpr u32 zone_word(bool negative, i32 hours, i32 minutes) {
  const i32 h = hours < 0 ? -hours : hours;
  const i32 m = minutes < 0 ? -minutes : minutes;
  return ((negative ? zone_sign_bit : 0) | static_cast<u32>(h) << 2 | static_cast<u32>(m / 15 & 3)) & zone_mask;
}
// The zone's offset from UTC in seconds, east positive.
constexpr i32 zone_seconds(u32 zone) {
  const i32 s = static_cast<i32>(zone >> 2 & 15) * 3600 + static_cast<i32>(zone & 3) * 900;
  return (zone & zone_sign_bit) ? -s : s;
}

// The English month names: literals read them, and dates form with them while the system has no
// list of its own.
inline constexpr const char* month_names[12] = {"January", "February", "March",     "April",
                                                "May",     "June",     "July",      "August",
                                                "September", "October", "November", "December"};

// ---- The calendar --------------------------------------------------------------------------------

bool leap_year_q(i32 year);
i32 month_length(i32 year, i32 month);
// The day number of a year, month and day (a day of 0 or past the month's end counts on from the
// month's first day, so day 0 is the last day of the month before).
i64 days_of(i32 year, i32 month, i32 day);
inline i64 days_of(u32 w) { return days_of(year_of(w), month_of(w), day_of(w)); }
// The packed word of a day number with the zone and has-time flag given. The year is not checked:
// see in_range_q.
u32 from_days(i64 days, u32 zone, bool has_time);
// Whether the day number's year fits the packed word.
bool in_range_q(i64 days);
// 1 Monday ... 7 Sunday.
i32 weekday(i64 days);
i64 jan1_days(i32 year);
i32 yearday(u32 w);
// The Monday that starts ISO week 1 of the year; `jan1_weekday` gets the weekday (1-7) of 1 January.
i64 isoweek_start(i32 year, i32* jan1_weekday = nullptr);
// The ISO week (1-53) and the week counted from 1 January with weeks that begin on Sunday.
i32 isoweek(u32 w);
i32 week(u32 w);
// Moves whole days of the local time (stored time + zone offset) from the time into the day number
// so that 0 <= local time < 86400; false when the time is not finite or too large for any date.
bool normalize(i64& days, double& stored, u32 zone);

// ---- Makers ----------------------------------------------------------------------------------------

// A fresh date! cell (whole header written).
inline Cell* box(Cell* out, u32 w, double stored) {
  out->header = type::date;
  out->w1 = w;
  out->set_double(stored);
  return out;
}
// A date from its parts: with `has_time` the time is the local time of day, stored less the zone
// offset; without it the time is 0. The zone's sign is that of the hours. No normalisation.
Cell* make_at(Cell* out, i32 year, i32 month, i32 day, double time, i32 zone_hours, i32 zone_minutes,
              bool has_time);
// A UTC date with a time of day (file times).
Cell* make_at_hms(Cell* out, i32 year, i32 month, i32 day, i32 hours, i32 minutes, i32 seconds,
                  i32 nanoseconds);
Cell* push(u32 w, double stored);
Cell* add_to_block(Cell* block, u32 w, double stored);

// The lexer's forms: ISO week n (its Monday), weekday n of the same Monday-based week, day n of the
// year. Each keeps the zone, the has-time flag and the stored time.
void set_isoweek(Cell* d, i32 n);
void set_weekday(Cell* d, i32 n);
void set_yearday(Cell* d, i32 n);

// Seconds since 1970-01-01 UTC, and the UTC date of such a count. The stored time is rounded half up
// (toward plus infinity, so that a negative stored time, which a zone east of UTC gives, counts the
// same second as the instant it stands for).
i64 to_epoch(const Cell* d);
Cell* from_epoch(Cell* out, i64 seconds);
// Turns `a` into the time! a - b.
void difference(Cell* a, const Cell* b);

// Field 1-14 (date year month day zone time hour minute second weekday yearday timezone week
// isoweek) of a date.
Cell* get_field(const Cell* d, i32 field, Cell* out);

// Reads a date literal; false when the bytes are not exactly one valid date.
bool read_text(const u8* start, const u8* end, Cell* out);

// ---- Action entries ----------------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
i32 compare(const Cell* a, const Cell* b, i32 op);
// op 0 add, 1 subtract, with the date first at the arguments base.
void do_math(i32 op);
void add();
void subtract();
Cell* pick(Cell* value, i32 index, Cell* boxed);

void init();

}  // namespace kiv::date
