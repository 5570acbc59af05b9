// time!: a duration or time of day held as a number of seconds in a double (type id 43, parent
// float!), at byte offset 8 of the cell like a float!. Negative times are negative numbers of
// seconds; hours are not reduced modulo 24.
//
// Fields of a time s: hours = s / 3600 truncated toward zero (integer!); minutes = the whole minutes
// of |s| past the hour, 0-59 (integer!); seconds = fmod(s, 60) with the sign of s (float!). So a
// negative time is -(|h| hours + m minutes + |sec| seconds) and forms as -h:mm:ss.
#pragma once
#include <string>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/hooks.h"

namespace kiv::time {

// A fresh time! cell (whole header written).
inline Cell* box(Cell* out, double seconds) {
  out->header = type::time;
  out->w1 = 0;
  out->set_double(seconds);
  return out;
}
// Turns the cell into time! keeping its other header flags.
inline Cell* make_at(double seconds, Cell* out) {
  cell::set_type(out, type::time);
  out->w1 = 0;
  out->set_double(seconds);
  return out;
}
// The same with the cell first, as the lexer and the other makers call it.
inline Cell* make_at(Cell* out, double seconds) { return make_at(seconds, out); }

Cell* push(double seconds);
Cell* add_to_block(Cell* block, u32 high, u32 low);

// The hour field (saturated to the 32-bit range; NaN gives 0) and the minute field.
i32 hours_of(double seconds);
i32 minutes_of(double seconds);
// 1 hour, 2 minute, 3 second for the words of those names; -1 for another word, except that with a
// time! `value` (the pick case) another word raises script cannot-use with the word and the time.
// The word's name is read through hooks::word_name.
i32 field_of(const Cell* word, const Cell* value);
// Pushes the field (1 hours, 2 minutes, 3 seconds) of a time on the value stack.
Cell* push_field(const Cell* time, i32 field);
// The value of a field: the hour field of a time too large for 32 bits is a float!.
Cell* field_value(double seconds, i32 field, Cell* out);
// The seconds after setting a field to a number so that only that field changes.
double with_field(double seconds, i32 field, double value);

// Appends the h:mm:ss text; returns the limit minus the characters appended.
i32 form_text(double seconds, Cell* out, i32 limit);
// h:mm:ss text as UTF-8 (tests and C++ callers).
std::string to_text(double seconds);
// Reads a time literal ([-]h:mm[:ss[.fff]], also h:mm.fff for minutes:seconds); false when the
// text is not exactly one time.
bool text_to_seconds(std::u32string_view text, double& out);

// Action entries.
Cell* make(Cell* proto, Cell* spec, u32 type);  // also `to`
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
void add();
void subtract();
void divide();
void multiply();
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling);
bool even_q(const Cell* value);
bool odd_q(const Cell* value);
Cell* pick(Cell* value, i32 index, Cell* boxed);

void init();

}  // namespace kiv::time
