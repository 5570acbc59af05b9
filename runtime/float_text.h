// Float text: correctly rounded conversion between doubles and decimal text.
//
// The digits themselves come from std::to_chars / std::from_chars (shortest round-trip and
// fixed-precision forms, both correctly rounded, ties to even); this unit fixes what the system
// adds around them: the special texts, the decimal and exponent layout, the parser's syntax and
// status, and the six output kinds used by float!, percent!, time!, vector! and the point types.
//
// Returned texts live in process-wide buffers, valid until the next call of the same procedure;
// the run-time has a single thread, and callers copy the text.
#pragma once
#include "runtime/base.h"

namespace kiv::float_text {

// Positions that mark the special results of digits().
constexpr int special_position = 9999;  // infinity or NaN
constexpr int zero_position = 9998;     // zero of either sign

// Largest precision digits() honours; asking for more gives this many digits.
constexpr int max_precision = 40;

// The decimal digits of x. precision 0 asks for the shortest digit string that reads back to x;
// n > 0 for at most n significant digits, correctly rounded, trailing zeros removed. On return
// point is p such that x = 0.d1d2...dn x 10^p, sign is 1 for a negative x (never for a NaN) and
// count the number of digits. Infinity and NaN give the texts "1.#INF", "-1.#INF", "1.#NaN" with
// point 9999; zero gives "0" / "-0" ("0.0" / "-0.0" with dot_zero) with point 9998; count is then
// the length of that text.
const char* digits(double x, int precision, int& point, int& sign, int& count, bool dot_zero);

// NUL-terminated text of x: the digits of digits() in decimal layout when the point lies in
// -6 .. 17, otherwise d.ddd e exponent. A text ending in the point gets "0" after it with dot_zero,
// else loses the point. mold uses precision 0 with dot_zero (0.1 + 0.2 gives
// 0.30000000000000004, 1e17 gives 1.0e17).
const char* form_float(double x, int precision, bool dot_zero);

// Reads [+|-] digits [. digits] [(e|E) [+|-] digits] from start, not past end, with extra_exponent
// added to the decimal exponent (-2 reads a percent literal). "d.#I..." gives an infinity and
// "d.#N..." a NaN, so the special texts read back. Out of range values give a signed infinity or
// zero; everything else is rounded to nearest, ties to even. status receives the number of
// characters left unread before end (0 when all were used; end - start when no number was found,
// the result then being 0). Exponents far beyond the double range saturate instead of wrapping.
double parse_decimal(const char* start, const char* end, int extra_exponent, int& status);

// The float literal syntax of the lexer: sign, digits with ' separators, point, exponent (no special
// texts); at most 312 bytes.
bool literal_syntax_q(const char* text, i32 length);
// A literal of that syntax read without its ' separators, extra_exponent added as in parse_decimal;
// false when the text is not one.
bool parse_literal(const char* start, const char* end, int extra_exponent, double& out);

// The float text kinds (float-text-kind).
namespace kind {
constexpr int float32 = 0;    // 32-bit float elements of vector!
constexpr int float64 = 1;    // float! form and 64-bit elements
constexpr int percent32 = 2;  // 32-bit percent elements
constexpr int percent = 3;    // percent!
constexpr int seconds = 4;    // seconds of time!
constexpr int point = 5;      // coordinates of point2D! and point3D!
}  // namespace kind

// The text of x for one of the six kinds (any other kind behaves as float64); pretty is the
// process-wide float-pretty setting. float/to-cstring is this with that flag.
const char* to_cstring(double x, int kind, bool pretty);

}  // namespace kiv::float_text
