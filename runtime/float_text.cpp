// Float text. std::to_chars and std::from_chars produce and read the digits (they are correctly
// rounded, ties to even, in both directions); the layout, the special texts and the parser's
// syntax and status are the system's own and live here.
#include "runtime/float_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace kiv::float_text {

namespace {

// The digit buffer starts with "-" so that a negative text can be returned one byte earlier.
char digit_buffer[max_precision + 24] = {'-'};
char form_buffer[160];
char kind_buffer[64];

constexpr u64 exponent_bits = 0x7FF0000000000000ull;
constexpr u64 mantissa_bits = 0x000FFFFFFFFFFFFFull;

inline bool is_special(double x) { return (std::bit_cast<u64>(x) & exponent_bits) == exponent_bits; }

const char* special_text(double x) {
  u64 bits = std::bit_cast<u64>(x);
  if (bits & mantissa_bits) return "1.#NaN";
  return (bits >> 63) ? "-1.#INF" : "1.#INF";
}

// A fixed length for copying digit runs: longer than any run, so that the copies compile to a few
// wide moves; the buffers leave room for the bytes copied beyond a run.
constexpr int copy_span = max_precision + 8;

// The digits of a positive finite magnitude as std::to_chars writes them, d[.ddd]e(+|-)xx[x]:
// the first digit, the run after the point (trailing zeros dropped) and the decimal exponent.
struct Scientific {
  char text[max_precision + 24] = {};
  char first;
  const char* rest;
  int rest_length;
  int exponent10;
};
static_assert(sizeof(Scientific::text) >= 2 + copy_span);

void scientific(double magnitude, int precision, Scientific& s) {
  char* b = s.text;
  char* limit = b + sizeof s.text;
  char* end = precision <= 0 ? std::to_chars(b, limit, magnitude, std::chars_format::scientific).ptr
                             : std::to_chars(b, limit, magnitude, std::chars_format::scientific, precision - 1).ptr;
  const char* e = end[-4] == 'e' ? end - 4 : end - 5;  // the exponent has two or three digits
  int v = (e[2] - '0') * 10 + (e[3] - '0');
  if (e + 4 < end) v = v * 10 + (e[4] - '0');
  s.exponent10 = e[1] == '-' ? -v : v;
  s.first = b[0];
  s.rest = b + 2;
  int r = b[1] == '.' ? static_cast<int>(e - s.rest) : 0;
  while (r > 0 && s.rest[r - 1] == '0') --r;
  s.rest_length = r;
}

}  // namespace

const char* digits(double x, int precision, int& point, int& sign, int& count, bool dot_zero) {
  if (is_special(x)) {
    const char* text = special_text(x);
    point = special_position;
    sign = text[0] == '-';
    count = static_cast<int>(std::strlen(text));
    return text;
  }
  sign = std::signbit(x) ? 1 : 0;
  if (x == 0.0) {
    static const char* const zero_texts[2][2] = {{"0", "-0"}, {"0.0", "-0.0"}};
    const char* text = zero_texts[dot_zero][sign];
    point = zero_position;
    count = static_cast<int>(std::strlen(text));
    return text;
  }
  if (precision > max_precision) precision = max_precision;
  Scientific s;
  scientific(std::fabs(x), precision, s);
  char* out = digit_buffer + 1;
  out[0] = s.first;
  std::memcpy(out + 1, s.rest, static_cast<size_t>(s.rest_length));
  out[1 + s.rest_length] = 0;
  count = 1 + s.rest_length;
  point = s.exponent10 + 1;
  return out;
}

const char* form_float(double x, int precision, bool dot_zero) {
  if (is_special(x) || x == 0.0) {
    int point, sign, n;
    return digits(x, precision, point, sign, n, dot_zero);
  }
  if (precision > max_precision) precision = max_precision;
  Scientific s;
  scientific(std::fabs(x), precision, s);
  int n = 1 + s.rest_length;
  int point = s.exponent10 + 1;

  char* out = form_buffer;
  if (std::signbit(x)) *out++ = '-';
  if (point >= 18 || point < -6) {
    *out++ = s.first;
    *out++ = '.';
    if (s.rest_length) {
      std::memcpy(out, s.rest, copy_span);
      out += s.rest_length;
    } else if (dot_zero) {
      *out++ = '0';
    } else {
      --out;
    }
    *out++ = 'e';
    out = std::to_chars(out, out + 8, point - 1).ptr;
  } else {
    char d[copy_span + 24];
    d[0] = s.first;
    std::memcpy(d + 1, s.rest, copy_span);
    if (point < 1) {
      *out++ = '0';
      *out++ = '.';
      std::memset(out, '0', 8);
      out += -point;
      std::memcpy(out, d, copy_span);
      out += n;
    } else if (n <= point) {
      std::memcpy(out, d, 24);
      for (int i = n; i < point; ++i) out[i] = '0';
      out += point;
      if (dot_zero) {
        *out++ = '.';
        *out++ = '0';
      }
    } else {
      std::memcpy(out, d, 24);
      out += point;
      *out++ = '.';
      std::memcpy(out, d + point, copy_span);
      out += n - point;
    }
  }
  *out = 0;
  return form_buffer;
}

namespace {

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
inline char lower(char c) { return static_cast<char>(c | 0x20); }

// Beyond this the exponent no longer changes the outcome: it only has to stay far outside the
// double range after every digit and point shift a text can hold.
constexpr i64 exponent_cap = i64{1} << 40;

// Reads "d.#INF" or "d.#NaN" (the letters after the first one are optional); p is after the sign.
bool parse_special(const char*& p, const char* end, bool negative, double& result) {
  if (end - p < 4 || !is_digit(p[0]) || p[1] != '.' || p[2] != '#') return false;
  char c = lower(p[3]);
  const char* word;
  if (c == 'i') {
    result = negative ? -HUGE_VAL : HUGE_VAL;
    word = "inf";
  } else if (c == 'n') {
    result = std::bit_cast<double>(u64{0x7FF8000000000000});
    word = "nan";
  } else {
    return false;
  }
  p += 3;
  for (int i = 0; i < 3 && p < end && lower(*p) == word[i]; ++i) ++p;
  return true;
}

}  // namespace

double parse_decimal(const char* start, const char* end, int extra_exponent, int& status) {
  const char* p = start;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';

  double special;
  if (parse_special(p, end, negative, special)) {
    status = static_cast<int>(end - p);
    return special;
  }

  // The syntax is checked here; the digits are then read by std::from_chars.
  const char* mantissa = p;
  while (p < end && *p == '0') ++p;
  const char* int_first = p;  // first significant digit of the integer part
  while (p < end && is_digit(*p)) ++p;
  const char* int_end = p;
  const char* frac_begin = p;
  const char* frac_end = p;
  bool any_digit = int_end > mantissa;
  if (p < end && *p == '.') {
    const char* q = p + 1;
    while (q < end && is_digit(*q)) ++q;
    if (any_digit || q > p + 1) {
      any_digit = true;
      frac_begin = p + 1;
      frac_end = q;
      p = q;
    }
  }
  if (!any_digit) {
    status = static_cast<int>(end - start);
    return 0.0;
  }
  i64 exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    bool exp_negative = false;
    if (q < end && (*q == '+' || *q == '-')) exp_negative = *q++ == '-';
    if (q < end && is_digit(*q)) {
      for (; q < end && is_digit(*q); ++q)
        if (exponent < exponent_cap) exponent = exponent * 10 + (*q - '0');
      if (exp_negative) exponent = -exponent;
      p = q;
    }
  }
  status = static_cast<int>(end - p);
  exponent += extra_exponent;

  // The value lies in [10^(magnitude-1), 10^magnitude): far outside the double range it is an
  // infinity or zero without reading the digits.
  i64 magnitude;
  if (int_end > int_first) {
    magnitude = (int_end - int_first) + exponent;
  } else {
    const char* f = frac_begin;
    while (f < frac_end && *f == '0') ++f;
    if (f == frac_end) return negative ? -0.0 : 0.0;
    magnitude = exponent - (f - frac_begin);
  }
  double result;
  if (magnitude > 310) {
    result = HUGE_VAL;
  } else if (magnitude < -330) {
    result = 0.0;
  } else {
    std::from_chars_result r;
    if (extra_exponent == 0) {
      r = std::from_chars(mantissa, p, result, std::chars_format::general);
    } else {
      // The extra exponent goes into a copy: digits, then "e" and the combined exponent.
      size_t int_digits = static_cast<size_t>(int_end - int_first);
      size_t frac_digits = static_cast<size_t>(frac_end - frac_begin);
      static std::string copy;
      copy.assign(int_first, int_digits);
      copy.append(frac_begin, frac_digits);
      copy += 'e';
      copy += std::to_string(exponent - static_cast<i64>(frac_digits));
      r = std::from_chars(copy.data(), copy.data() + copy.size(), result, std::chars_format::scientific);
    }
    if (r.ec == std::errc::result_out_of_range) result = magnitude > 0 ? HUGE_VAL : 0.0;
  }
  return negative ? -result : result;
}

bool literal_syntax_q(const char* text, i32 length) {
  if (length > 312) return false;
  // Columns: other, sign, digit, e, point, '; the last column marks accepting rows.
  static constexpr u8 table[11][7] = {
      {10, 0, 1, 10, 4, 10, 10},  // start
      {10, 10, 1, 6, 5, 2, 9},    // integral digits
      {10, 10, 1, 10, 10, 10, 9}, // after '
      {10, 10, 3, 6, 10, 4, 9},   // fraction digits
      {10, 10, 3, 10, 10, 10, 9}, // after a leading point, or a ' in the fraction
      {10, 10, 3, 10, 10, 10, 9}, // after digits and point
      {10, 7, 8, 10, 10, 10, 10}, // after e
      {10, 10, 8, 10, 10, 10, 10},// after the exponent's sign
      {10, 10, 8, 10, 10, 10, 9}, // exponent digits
      {9, 9, 9, 9, 9, 9, 9},
      {10, 10, 10, 10, 10, 10, 10},
  };
  u8 row = 0;
  for (i32 i = 0; i < length; ++i) {
    char c = text[i];
    u32 column = c == '+' || c == '-' ? 1
                 : c >= '0' && c <= '9' ? 2
                 : c == 'e' || c == 'E' ? 3
                 : c == '.' ? 4
                 : c == '\'' ? 5 : 0;
    row = table[row][column];
  }
  return table[row][6] == 9;
}

bool parse_literal(const char* start, const char* end, int extra_exponent, double& out) {
  i64 n = end - start;
  if (n <= 0 || n > 312) return false;
  if (!literal_syntax_q(start, static_cast<i32>(n))) return false;
  char buffer[313];
  i32 m = 0;
  for (const char* p = start; p < end; ++p)
    if (*p != '\'') buffer[m++] = *p;
  int status = 0;
  out = parse_decimal(buffer, buffer + m, extra_exponent, status);
  return status == 0;
}

namespace {

struct KindFormat {
  int first;           // %.Ng precision of the first format; 0 for the shortest-digits routine
  int redo;            // %.Ng precision of the pretty redo
  const char* tiny;    // pretty text of a value below the double epsilon
  bool point_suffix;   // ".0" when the text has no point
  bool percent_sign;   // "%" at the end
};

constexpr KindFormat kind_formats[6] = {
    {7, 5, "0.0", true, false},    // float32
    {16, 14, "0.0", true, false},  // float64
    {7, 14, "0%", false, true},    // percent32
    {13, 14, "0%", false, true},   // percent
    {0, 5, "0.0", false, false},   // seconds
    {7, 5, "0", false, false},     // point
};

// Writes x as C's "%.{precision}g" would (precision 0: the seconds form); returns the end.
char* format_kind(double x, int precision, char* out, char* end) {
  if (precision == 0) {
    const char* text = form_float(x, 6, false);
    size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return out + n;
  }
  return std::to_chars(out, end, x, std::chars_format::general, precision).ptr;
}

}  // namespace

const char* to_cstring(double x, int kind, bool pretty) {
  if (is_special(x)) return special_text(x);
  const KindFormat& f = kind_formats[kind >= 0 && kind < 6 ? kind : kind::float64];
  if (pretty && std::fabs(x) < 2.220446049250313e-16) return f.tiny;

  char text[48];
  char* end = format_kind(x, f.first, text, text + sizeof text);
  char* e = static_cast<char*>(std::memchr(text, 'e', end - text));
  if (pretty) {
    // Text that ends in ...01 or ...99 at the edge of the precision is noise from the binary
    // representation (0.1 + 0.7 is 0.7999999999999999): a shorter format gives the intended value.
    const char* digits_start = text + (text[0] == '-');
    long body = (e ? e : end) - text;
    long limit = (!e && digits_start[0] == '0') ? 17 : 16;
    if (body > limit) {
      const char* last = (e ? e : end) - 2;
      if ((last[0] == '0' && last[1] == '1') || (last[0] == '9' && last[1] == '9')) {
        end = format_kind(x, f.redo, text, text + sizeof text);
        e = static_cast<char*>(std::memchr(text, 'e', end - text));
      }
    }
  }
  bool has_point = std::memchr(text, '.', (e ? e : end) - text) != nullptr;

  char* out = kind_buffer;
  const char* mantissa_end = e ? e : end;
  std::memcpy(out, text, mantissa_end - text);
  out += mantissa_end - text;
  if (f.point_suffix && !has_point) {
    *out++ = '.';
    *out++ = '0';
  }
  if (e) {
    // The exponent loses its "+" and its leading zeros: 1e+020 reads 1e20, 1e-005 reads 1e-5.
    *out++ = 'e';
    const char* q = e + 1;
    if (*q == '+') ++q;
    else if (*q == '-') *out++ = *q++;
    while (q + 1 < end && *q == '0') ++q;
    std::memcpy(out, q, end - q);
    out += end - q;
  }
  if (f.percent_sign) *out++ = '%';
  *out = 0;
  return kind_buffer;
}

}  // namespace kiv::float_text
