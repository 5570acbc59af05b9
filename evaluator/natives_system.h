// The natives that reach outside the evaluator (natives_system.cpp): memory statistics and the
// collector switch, waiting, the clock, the environment, file sizes, local file names, opening a
// document or address, and child processes. What other units and the tests reach here.
#pragma once
#include "runtime/cell.h"

namespace kiv::natives {

// The calendar fields of an instant (seconds and nanoseconds since 1970-01-01 UTC): in UTC, or in
// the local zone as TZ describes it at the time of the call (daylight saving included).
struct NowFields {
  i32 year, month, day;       // month 1-12, day 1-31
  i32 hour, minute, second;   // of the local (or UTC) time of day
  i32 nanoseconds;            // past the second
  i32 weekday;                // 1 Monday ... 7 Sunday
  i32 yearday;                // 1-based
  i32 zone_minutes;           // offset from UTC, east positive; 0 in UTC
};
NowFields now_fields(i64 epoch_seconds, i32 nanoseconds, bool utc);

// The zone offset as date! keeps it: whole hours 0-15 and quarter hours, in seconds.
double zone_seconds(i32 zone_minutes);

}  // namespace kiv::natives
