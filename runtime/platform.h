// Platform wrappers: the few operating-system services the core needs outside any datatype
// (start of the OS layer, current directory, sleeping, environment variables, the clock and the
// current date and time in the packed forms of date! and time!). Each is one or two system calls
// and a conversion of units; none keeps state. Text is UTF-8 throughout.
#pragma once
#include "runtime/base.h"

namespace kiv::os {

// Starts the operating-system layer at boot: the console writer's buffers. (Crypto needs no
// provider here: secure random numbers come from getrandom(2).)
void init();

}  // namespace kiv::os

namespace kiv::platform {

// The current directory as a NUL-terminated UTF-8 tracked block, its length in bytes without the
// NUL through `length`; the caller frees it with sys::free. Null (length 0) when the directory
// cannot be read (it was removed, or is not reachable).
char* get_current_dir(i32* length);

// Changes the current directory; true on success.
bool set_current_dir(const char* path);

// Sleeps for the given seconds in whole milliseconds (truncated); anything below 1 ms, zero and
// negative included, sleeps 1 ms. An interrupting signal does not cut the sleep short.
void sleep(double seconds);
i64 sleep_milliseconds(double seconds);

// Sets an environment variable; a null value removes it. True on success (a name that is empty or
// holds '=' is refused).
bool set_env(const char* name, const char* value);

// Copies the variable's value, NUL-terminated, into buffer (size bytes) and returns its length
// without the NUL. When the buffer is too small nothing is copied and the result is the size
// needed, NUL included. 0 when the variable does not exist (or is empty).
i32 get_env(const char* name, char* buffer, i32 size);

// Seconds since midnight UTC; with `precise` the sub-second part to 100 ns, else whole seconds.
double now_utc_time(bool precise);

// Packed date: year << 17 | month << 12 | day << 7 | zone. The zone is 7 bits: bit 6 the sign
// (set west of UTC), bits 2-5 whole hours, bits 0-1 quarter hours of the offset from UTC.
u32 pack_date(i32 year, i32 month, i32 day, i32 zone_minutes);
u32 zone_bits(i32 zone_minutes);

// Today's packed date: with `utc` the UTC date and zone 0, else the local date with the local
// offset (daylight saving included).
u32 now_date(bool utc);

// Seconds from an arbitrary fixed point, monotonic, for measuring durations.
double clock();

}  // namespace kiv::platform
