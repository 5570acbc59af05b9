// money!: exact decimal amounts. The arithmetic works digit by digit on the 22 decimal digits, as a
// hand calculation would, so that nothing passes through binary fractions; conversions, the
// currencies, the literal and conversion texts, rounding, random amounts and the currency and
// amount fields.
#include "datatypes/money.h"

#include <array>
#include <cmath>
#include <cstring>
#include <deque>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/frame_words.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/float_text.h"
#include "runtime/hooks.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kiv::money {

namespace {

// ---- Digits --------------------------------------------------------------------------------------

// A magnitude: d[k] is the digit of 10^k hundred-thousandths, least significant first (d[5] is the
// units digit, d[21] the cell's first digit).
using Digits = std::array<u8, digit_count>;
// The magnitude with the sign and the currency: what every operation works on.
struct Amount {
  Digits mag{};
  bool negative = false;
  u8 currency = 0;
};

constexpr i32 units_digit = fraction_digits;  // d[5]

Amount read(const Cell* m) {
  Amount a;
  const u8* bcd = digits_of(m);
  for (i32 i = 0; i < digit_bytes; ++i) {
    a.mag[static_cast<size_t>(digit_count - 1 - 2 * i)] = bcd[i] >> 4;
    a.mag[static_cast<size_t>(digit_count - 2 - 2 * i)] = bcd[i] & 0xF;
  }
  a.negative = negative_q(m);
  a.currency = currency_of(m);
  return a;
}

Cell* write(Cell* out, const Amount& a) {
  u8 bcd[digit_bytes];
  for (i32 i = 0; i < digit_bytes; ++i)
    bcd[i] = static_cast<u8>(a.mag[static_cast<size_t>(digit_count - 1 - 2 * i)] << 4 |
                             a.mag[static_cast<size_t>(digit_count - 2 - 2 * i)]);
  return make_at(out, a.negative, a.currency, bcd);
}

bool zero_q(const Digits& a) {
  return std::all_of(a.begin(), a.end(), [](u8 d) { return d == 0; });
}

// The significant digit count: 22 minus the leading zeros, at least 1.
i32 significant(const Digits& a) {
  for (i32 k = digit_count - 1; k > 0; --k)
    if (a[static_cast<size_t>(k)]) return k + 1;
  return 1;
}

i32 compare_digits(const Digits& a, const Digits& b) {
  for (i32 k = digit_count - 1; k >= 0; --k) {
    auto x = a[static_cast<size_t>(k)], y = b[static_cast<size_t>(k)];
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

// a + b; false when the sum passes the first digit.
bool add_digits(const Digits& a, const Digits& b, Digits& out) {
  // Two first digits that reach 10 overflow whatever the rest holds.
  if (a[digit_count - 1] + b[digit_count - 1] >= 10) return false;
  u8 carry = 0;
  for (size_t k = 0; k < digit_count; ++k) {
    u8 s = static_cast<u8>(a[k] + b[k] + carry);
    carry = s >= 10;
    out[k] = static_cast<u8>(carry ? s - 10 : s);
  }
  return carry == 0;
}

// a - b for a >= b.
void subtract_digits(const Digits& a, const Digits& b, Digits& out) {
  u8 borrow = 0;
  for (size_t k = 0; k < digit_count; ++k) {
    i32 d = a[k] - b[k] - borrow;
    borrow = d < 0;
    out[k] = static_cast<u8>(borrow ? d + 10 : d);
  }
}

// a * b with the 5 extra decimals dropped; false when the product does not fit.
bool multiply_digits(const Digits& a, const Digits& b, Digits& out) {
  if (significant(a) + significant(b) > 28) return false;
  std::array<u32, 2 * digit_count> p{};
  for (size_t i = 0; i < digit_count; ++i) {
    if (!a[i]) continue;
    for (size_t j = 0; j < digit_count; ++j) p[i + j] += a[i] * b[j];
  }
  u32 carry = 0;
  for (u32& d : p) {
    d += carry;
    carry = d / 10;
    d %= 10;
  }
  for (size_t k = digit_count + fraction_digits; k < p.size(); ++k)
    if (p[k]) return false;
  for (size_t k = 0; k < digit_count; ++k) out[k] = static_cast<u8>(p[k + fraction_digits]);
  return true;
}

// Long division of `dividend` shifted left by `shift` digits (0 or 5) by a non-zero divisor, one
// quotient digit at a time by repeated subtraction. The quotient's digits past 22 are reported
// through the result (false), the remainder is always exact.
bool divide_digits(const Digits& dividend, i32 shift, const Digits& divisor, Digits& quotient, Digits& rest) {
  // The running remainder stays below the divisor, so it fits 22 digits after each step; one more
  // digit holds it while it is ten times that before the subtraction.
  std::array<u8, digit_count + 1> r{};
  std::array<u8, digit_count + 1> b{};
  std::copy(divisor.begin(), divisor.end(), b.begin());
  auto r_below_b = [&] {
    for (i32 k = digit_count; k >= 0; --k) {
      auto x = r[static_cast<size_t>(k)], y = b[static_cast<size_t>(k)];
      if (x != y) return x < y;
    }
    return false;
  };
  bool fits = true;
  quotient.fill(0);
  const i32 length = digit_count + shift;
  for (i32 k = length - 1; k >= 0; --k) {
    // r = r * 10 + the next dividend digit
    for (i32 j = digit_count; j > 0; --j) r[static_cast<size_t>(j)] = r[static_cast<size_t>(j - 1)];
    r[0] = k >= shift ? dividend[static_cast<size_t>(k - shift)] : 0;
    u8 q = 0;
    while (!r_below_b()) {
      u8 borrow = 0;
      for (size_t j = 0; j <= digit_count; ++j) {
        i32 d = r[j] - b[j] - borrow;
        borrow = d < 0;
        r[j] = static_cast<u8>(borrow ? d + 10 : d);
      }
      ++q;
    }
    if (k >= digit_count) {
      if (q) fits = false;
    } else {
      quotient[static_cast<size_t>(k)] = q;
    }
  }
  std::copy(r.begin(), r.begin() + digit_count, rest.begin());
  return fits;
}

Digits one_unit() {
  Digits d{};
  d[units_digit] = 1;
  return d;
}

// ---- Errors --------------------------------------------------------------------------------------

Cell datatype_arg(u32 type_id) {
  Cell c;
  datatype::make_at(&c, type_id);
  return c;
}

[[noreturn]] void type_limit(u32 type_id = type::money) {
  raise_error(ErrorCategory::script, "type-limit", datatype_arg(type_id));
}
[[noreturn]] void bad_make_arg(const Cell& spec) {
  raise_error(ErrorCategory::script, "bad-make-arg", datatype_arg(type::money), spec);
}
[[noreturn]] void bad_to_arg(const Cell& spec) {
  raise_error(ErrorCategory::script, "bad-to-arg", datatype_arg(type::money), spec);
}
[[noreturn]] void invalid_type(u32 type_id) {
  raise_error(ErrorCategory::script, "invalid-type", datatype_arg(type_id));
}

// ---- Signed arithmetic ---------------------------------------------------------------------------

Amount add(const Amount& a, const Amount& b) {
  if (zero_q(a.mag)) return b;
  if (zero_q(b.mag)) return a;
  Amount r;
  if (a.negative == b.negative) {
    if (!add_digits(a.mag, b.mag, r.mag)) type_limit();
    r.negative = a.negative;
    return r;
  }
  // Different signs: the larger magnitude less the smaller, with the larger one's sign (a zero
  // result is positive).
  i32 c = compare_digits(a.mag, b.mag);
  if (c >= 0) {
    subtract_digits(a.mag, b.mag, r.mag);
    r.negative = c > 0 && a.negative;
  } else {
    subtract_digits(b.mag, a.mag, r.mag);
    r.negative = b.negative;
  }
  return r;
}

Amount subtract(const Amount& a, Amount b) {
  if (zero_q(b.mag)) return a;
  b.negative = !b.negative;
  return add(a, b);
}

Amount multiply(const Amount& a, const Amount& b) {
  Amount r;
  r.negative = a.negative != b.negative;
  if (!multiply_digits(a.mag, b.mag, r.mag)) type_limit();
  return r;
}

Amount divide(const Amount& a, const Amount& b, bool remainder) {
  if (zero_q(b.mag)) raise_error(ErrorCategory::math, "zero-divide");
  if (significant(a.mag) - significant(b.mag) + 6 > digit_count) type_limit();
  Amount q, r;
  if (!divide_digits(a.mag, remainder ? 0 : fraction_digits, b.mag, q.mag, r.mag)) type_limit();
  if (remainder) {
    r.negative = a.negative;
    return r;
  }
  q.negative = a.negative != b.negative;
  return q;
}

// ---- Conversions ---------------------------------------------------------------------------------

Amount integer_amount(i32 n) {
  Amount a;
  a.negative = n < 0;
  u32 m = n < 0 ? 0u - static_cast<u32>(n) : static_cast<u32>(n);
  for (size_t k = units_digit; m; ++k, m /= 10) a.mag[k] = static_cast<u8>(m % 10);
  return a;
}

Amount float_amount(double x, bool strict) {
  Cell c;
  money::from_float(&c, x, strict);
  return read(&c);
}

// An operand of the arithmetic: integer! exactly, float! and percent! with their extra decimals
// dropped, money! as it is.
Amount operand(const Cell* c) {
  switch (c->type()) {
    case type::money: return read(c);
    case type::integer: return integer_amount(c->as_int());
    case type::float_:
    case type::percent: return float_amount(c->as_double(), false);
    default: invalid_type(c->type());
  }
}

bool ascii_letter_q(u8 c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool digit_q(u8 c) { return c >= '0' && c <= '9'; }
u8 upper(u8 c) { return c >= 'a' && c <= 'z' ? static_cast<u8>(c - 'a' + 'A') : c; }

// ---- Currencies ----------------------------------------------------------------------------------

constexpr const char* start_currencies =
    "AED AFN ALL AMD ANG AOA ARS AUD AWG AZN BAM BBD BDT BTC BGN BHD BIF BMD BND BOB BRL BSD BTN BWP BYN BZD "
    "CAD CDF CHF CKD CLP CNY COP CRC CUC CUP CVE CZK DJF DKK DOP DZD EGP ERN ETB ETH EUR FJD FKP FOK GBP GEL "
    "GGP GHS GIP GMD GNF GTQ GYD HKD HNL HRK HTG HUF IDR ILS IMP INR IQD IRR ISK JEP JMD JOD JPY KES KGS KHR "
    "KID KMF KPW KRW KWD KYD KZT LAK LBP LKR LRD LSL LYD MAD MDL MGA MKD MMK MNT MOP MRU MUR MVR MWK MXN MYR "
    "MZN NAD NGN NIO NOK NPR NZD OMR PAB PEN PGK PHP PKR PLN PND PRB PYG QAR KIV RON RSD RUB RWF SAR SBD SCR "
    "SDG SEK SGD SHP SLL SLS SOS SRD SSP STN SYP SZL THB TJS TMT TND TOP TRY TTD TVD TWD TZS UAH UGX USD UYU "
    "UZS VES VND VUV WST CFA XAF XCD XOF CFP XPF YER ZAR ZMW";

// Index i - 1 holds currency i, as written (the list keeps the case it was given). A deque: the
// names stay where they are while the list grows, so the views currency_name gives stay valid.
std::deque<std::string>& currencies() {
  static std::deque<std::string> list = [] {
    std::deque<std::string> l;
    for (const char* p = start_currencies; *p; p += p[3] ? 4 : 3) l.emplace_back(p, 3);
    return l;
  }();
  return list;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upper(static_cast<u8>(a[i])) != upper(static_cast<u8>(b[i]))) return false;
  return true;
}

// The currency index of a word (0 when the word names none).
i32 currency_of_word(const Cell* word) {
  if (!hooks::word_name) return 0;
  return currency_index(hooks::word_name(word));
}

// ---- Text ----------------------------------------------------------------------------------------

// The decimals form and mold show: system/options/money-digits when it is an integer!, else 2.
i32 shown_decimals() { return hooks::money_digits ? hooks::money_digits() : 2; }

// ---- Actions -------------------------------------------------------------------------------------

Cell* to(Cell* proto, Cell* spec, u32) {
  switch (spec->type()) {
    case type::money: *proto = *spec; return proto;
    case type::integer: return write(proto, integer_amount(spec->as_int()));
    case type::float_: return money::from_float(proto, spec->as_double(), true);
    default: {
      Cell c;
      if (!string::any_string_q(spec->type()) || !from_text(string::to_utf8(spec), false, &c)) bad_to_arg(*spec);
      *proto = c;
      return proto;
    }
  }
}

// A block [currency] amount [fraction]: the fraction counts hundred-thousandths and follows an
// integer! amount only.
Cell* make_from_block(Cell* proto, const Cell* spec) {
  Cell b = *spec;
  const i32 n = block::length(&b);
  if (n < 1 || n > 3) bad_make_arg(*spec);
  Cell e[3];
  std::copy_n(block::head_pointer(&b), n, e);
  i32 k = 0;
  u8 currency = 0;
  if (e[0].type() == type::word) {
    currency = static_cast<u8>(currency_of_word(&e[0]));
    if (!currency) bad_make_arg(*spec);
    k = 1;
  }
  if (k == n) bad_make_arg(*spec);
  Amount a;
  const Cell& amount = e[k++];
  if (amount.type() == type::integer) {
    a = integer_amount(amount.as_int());
    if (k < n) {
      const Cell& f = e[k++];
      if (f.type() != type::integer || f.as_int() < 0 || f.as_int() > 99999) bad_make_arg(*spec);
      u32 fraction = static_cast<u32>(f.as_int());
      for (size_t i = 0; i < fraction_digits; ++i, fraction /= 10) a.mag[i] = static_cast<u8>(fraction % 10);
    }
  } else if (amount.type() == type::float_) {
    a = float_amount(amount.as_double(), true);
  } else {
    bad_make_arg(*spec);
  }
  if (k != n) bad_make_arg(*spec);
  a.currency = currency;
  return write(proto, a);
}

Cell* make(Cell* proto, Cell* spec, u32 t) {
  switch (spec->type()) {
    case type::word: {
      Amount a;
      a.currency = static_cast<u8>(currency_of_word(spec));
      if (!a.currency) bad_make_arg(*spec);
      return write(proto, a);
    }
    case type::block: return make_from_block(proto, spec);
    default: return to(proto, spec, t);
  }
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  std::string text = to_text(value, true, false);
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

i32 mold(const Cell* value, Cell* out, bool, bool all, bool, const Cell*, i32 limit, i32) {
  std::string text = to_text(value, false, all);
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

// 1 code, 2 amount, 0 another selector.
i32 field_of(const Cell* selector) {
  if (selector->type() == type::integer) {
    i32 n = selector->as_int();
    return n == 1 || n == 2 ? n : 0;
  }
  if (selector->type() == type::word && hooks::word_name) {
    std::string name = hooks::word_name(selector);
    if (same_name(name, "code")) return 1;
    if (same_name(name, "amount")) return 2;
  }
  return 0;
}

Cell* push_field(const Cell* value, i32 field) {
  Cell* out = stack::push_cell();
  if (field == 1) {
    *out = Cell{type::none, 0, 0, 0};
    if (u8 c = currency_of(value); c && hooks::word_named)
      hooks::word_named(std::string(currency_name(c)).c_str(), out);
    return out;
  }
  Amount a = read(value);
  a.currency = 0;
  return write(out, a);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool, bool) {
  const Cell where = path ? *path : Cell{type::none, 0, 0, 0};
  if (value) raise_error(ErrorCategory::script, "bad-path-set", where, *element);
  i32 field = field_of(element);
  if (!field) raise_error(ErrorCategory::script, "invalid-path", where, *element);
  return push_field(parent, field);
}

Cell* pick(Cell* value, i32 index, Cell* boxed) {
  i32 field = boxed ? field_of(boxed) : (index == 1 || index == 2 ? index : 0);
  if (!field) {
    Cell arg;
    raise_error(ErrorCategory::script, "out-of-range", boxed ? *boxed : *integer::box(&arg, index));
  }
  return push_field(value, field);
}

void absolute() { stack::arguments->header &= ~sign_bit; }

Cell* negate(Cell* value) {
  value->header ^= sign_bit;
  return value;
}

bool even_q(const Cell* value) { return read(value).mag[units_digit] % 2 == 0; }
bool odd_q(const Cell* value) { return !even_q(value); }

Cell* round_amount(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling) {
  if (money::zero_q(value)) return value;
  Digits s = one_unit();
  if (scale) {
    switch (scale->type()) {
      case type::money: s = read(scale).mag; break;
      case type::integer: s = integer_amount(scale->as_int()).mag; break;
      case type::float_: s = float_amount(scale->as_double(), true).mag; break;
      default:
        raise_error(ErrorCategory::script, "not-related", *stack::get_where(), datatype_arg(scale->type()));
    }
  }
  if (zero_q(s)) return value;
  Amount m = read(value);
  Digits q, r, u;
  divide_digits(m.mag, 0, s, q, r);
  subtract_digits(s, r, u);
  const i32 c = compare_digits(r, u);
  // Halfway when the remainder is exactly half the scale; /even then keeps an even multiple.
  const bool half = c == 0;
  const bool nearest_down = c < 0;
  const bool positive = !m.negative;
  bool go_down;
  if (down) go_down = true;
  else if (floor) go_down = positive;
  else if (ceiling) go_down = !positive;
  else if (even) go_down = half ? q[0] % 2 == 0 : nearest_down;
  else if (half_down) go_down = half || nearest_down;
  else if (half_ceiling) go_down = half ? !positive : nearest_down;
  else go_down = nearest_down;
  Amount result = m;
  if (go_down) subtract_digits(m.mag, r, result.mag);
  else if (!add_digits(m.mag, u, result.mag)) type_limit();
  return write(value, result);
}

// A digit drawn below its bound f: a draw equal to f is kept only rarely (when two more draws agree
// modulo 1000), so amounts near the bound are as unlikely as the bound itself.
Cell* random_amount(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(static_cast<i32>(value->w1 ^ value->w2 ^ value->w3 ^ (value->header & sign_bit)));
    return unset::make_at(value);
  }
  auto next = [secure] { return static_cast<u32>(secure ? random::secure_next() : random::next()); };
  Amount a = read(value);
  bool bounded = true;
  for (i32 k = significant(a.mag) - 1; k >= 0; --k) {
    u8& d = a.mag[static_cast<size_t>(k)];
    if (!bounded) {
      d = static_cast<u8>(next() % 10);
      continue;
    }
    const u32 f = d;
    for (;;) {
      u32 g = next() % (f + 1);
      if (g == f) {
        if (next() % 1000 == next() % 1000) break;  // kept: the bound still holds for the next digit
        continue;
      }
      d = static_cast<u8>(g);
      bounded = false;
      break;
    }
  }
  return write(value, a);
}

void add_action() { do_math(0); }
void subtract_action() { do_math(1); }
void multiply_action() { do_math(2); }
void divide_action() { do_math(3); }
void remainder_action() { do_math(4); }

// The literal maker of the lexer: the whole token.
bool make_literal(Cell* out, const u8* start, const u8* end, bool load) {
  Cell c;
  std::string_view text(reinterpret_cast<const char*>(start), static_cast<size_t>(end - start));
  if (!from_text(text, true, &c)) return false;
  if (load) *out = c;
  return true;
}

// A number on the left of a comparison with money: the comparison seen from the money side.
i32 compare_number(const Cell* number, const Cell* m, i32 op) {
  if (op == compare_op::strict_equal || op == compare_op::same || op == compare_op::find) return 1;
  i32 r = compare(m, number, op);
  return r == -2 ? -2 : -r;
}

}  // namespace

// ---- Makers --------------------------------------------------------------------------------------

Cell* make_at(Cell* out, bool negative, u8 currency, const u8* bcd) {
  *out = Cell{type::money | (negative ? sign_bit : 0u), 0, 0, 0};
  set_currency(out, currency);
  std::memcpy(digits_of(out), bcd, digit_bytes);
  return out;
}

bool load_digits(Cell* out, bool negative, std::string_view currency, std::string_view integral,
                 std::string_view fraction) {
  i32 index = 0;
  if (!currency.empty() && !(index = currency_index(currency))) return false;
  while (!integral.empty() && integral.front() == '0') integral.remove_prefix(1);
  if (integral.size() > static_cast<size_t>(integral_digits)) return false;
  Amount a;
  a.negative = negative;
  a.currency = static_cast<u8>(index);
  size_t k = units_digit;
  for (auto it = integral.rbegin(); it != integral.rend(); ++it, ++k) a.mag[k] = static_cast<u8>(*it - '0');
  for (size_t i = 0; i < fraction.size() && i < static_cast<size_t>(fraction_digits); ++i)
    a.mag[units_digit - 1 - i] = static_cast<u8>(fraction[i] - '0');
  write(out, a);
  return true;
}

Cell* from_integer(Cell* out, i32 n) { return write(out, integer_amount(n)); }

Cell* from_float(Cell* out, double x, bool strict) {
  const double m = float_::abs(x);
  if (!(m < 1e17) || (x != 0 && m < 1e-5)) {
    Cell arg;
    bad_make_arg(*float_::box(&arg, x));
  }
  if (x == 0) return write(out, Amount{});
  int point, sign, count;
  const char* d = float_text::digits(x, 0, point, sign, count, false);
  std::string integral, fraction;
  if (point > 0) {
    integral.assign(d, static_cast<size_t>(std::min(point, count)));
    if (point > count) integral.append(static_cast<size_t>(point - count), '0');
    else fraction.assign(d + point, static_cast<size_t>(count - point));
  } else {
    fraction.assign(static_cast<size_t>(-point), '0');
    fraction.append(d, static_cast<size_t>(count));
  }
  if (strict && fraction.size() > static_cast<size_t>(fraction_digits)) {
    Cell arg;
    bad_make_arg(*float_::box(&arg, x));
  }
  load_digits(out, sign != 0, {}, integral, fraction);
  return out;
}

double to_float(const Cell* m) {
  if (money::zero_q(m)) return 0.0;
  Amount a = read(m);
  char text[digit_count + 2];
  size_t n = 0;
  for (i32 k = digit_count - 1; k >= 0; --k) {
    if (k == units_digit - 1) text[n++] = '.';
    text[n++] = static_cast<char>('0' + a.mag[static_cast<size_t>(k)]);
  }
  int status = 0;
  double d = float_text::parse_decimal(text, text + n, 0, status);
  if (status != 0) {
    Cell arg = *m;
    raise_error(ErrorCategory::script, "bad-make-arg", datatype_arg(type::float_), arg);
  }
  return a.negative ? -d : d;
}

i32 to_integer(const Cell* m) {
  Amount a = read(m);
  u64 v = 0;
  for (i32 k = digit_count - 1; k >= units_digit; --k) v = v * 10 + a.mag[static_cast<size_t>(k)];
  const bool negative = a.negative && v != 0;
  if (v > (negative ? u64{2147483648} : u64{2147483647})) type_limit(type::integer);
  return negative ? static_cast<i32>(0 - v) : static_cast<i32>(v);
}

bool from_text(std::string_view text, bool literal, Cell* out) {
  const size_t n = text.size();
  auto at = [&](size_t i) { return static_cast<u8>(text[i]); };
  size_t i = 0;
  bool negative = false;
  if (i < n && (at(i) == '-' || at(i) == '+')) negative = at(i++) == '-';
  std::string_view currency;
  const size_t dollar = text.find('$', i);
  if (dollar != std::string_view::npos) {
    currency = text.substr(i, dollar - i);
    if (!currency.empty() && currency.size() != 3) return false;
    if (!literal && !std::all_of(currency.begin(), currency.end(), [](char c) { return ascii_letter_q(static_cast<u8>(c)); }))
      return false;
    i = dollar + 1;
  } else if (literal) {
    return false;
  }
  if (i >= n || !digit_q(at(i))) return false;
  // A literal may lead with zeros and separators freely; one zero stays when nothing else does.
  if (literal)
    while (i < n && (at(i) == '0' || at(i) == '\'')) ++i;
  std::string integral;
  bool separator = false;
  for (; i < n; ++i) {
    const u8 c = at(i);
    if (digit_q(c)) {
      integral += static_cast<char>(c);
      separator = false;
    } else if (c == '\'') {
      if (separator || (!literal && integral.empty())) return false;
      separator = true;
    } else {
      break;
    }
  }
  if (separator) return false;
  std::string_view fraction;
  if (i < n && (at(i) == '.' || (literal && at(i) == ','))) {
    const size_t from = ++i;
    while (i < n && digit_q(at(i))) ++i;
    fraction = text.substr(from, i - from);
    if (fraction.empty() || (literal && fraction.size() > static_cast<size_t>(fraction_digits))) return false;
  }
  if (i != n) return false;
  Cell c;
  if (!load_digits(&c, negative, currency, integral, fraction)) return false;
  *out = c;
  return true;
}

std::string to_text(const Cell* m, bool separators, bool all_decimals) {
  Amount a = read(m);
  std::string s;
  if (a.negative && !zero_q(a.mag)) s += '-';
  if (a.currency) s += currency_name(a.currency);
  s += '$';
  // Position p (1 to 22) of the cell's digits is d[22 - p].
  auto digit = [&](i32 p) { return static_cast<char>('0' + a.mag[static_cast<size_t>(digit_count - p)]); };
  const i32 n = significant(a.mag);
  if (n > fraction_digits) {
    for (i32 p = digit_count + 1 - n; p <= integral_digits; ++p) {
      s += digit(p);
      if (separators && (p + 1) % 3 == 0 && p != integral_digits) s += '\'';
    }
  } else {
    s += '0';
  }
  i32 decimals = all_decimals ? fraction_digits : std::min(shown_decimals(), fraction_digits);
  if (decimals >= 1) {
    s += '.';
    for (i32 p = integral_digits + 1; p <= integral_digits + decimals; ++p) s += digit(p);
  }
  return s;
}

// ---- Currencies ----------------------------------------------------------------------------------

i32 currency_index(std::string_view name) {
  const auto& list = currencies();
  for (size_t i = 0; i < list.size(); ++i)
    if (same_name(list[i], name)) return static_cast<i32>(i + 1);
  return 0;
}

std::string_view currency_name(i32 index) {
  const auto& list = currencies();
  if (index < 1 || index > static_cast<i32>(list.size())) return {};
  return list[static_cast<size_t>(index - 1)];
}

i32 currency_count() { return static_cast<i32>(currencies().size()); }

i32 add_currency(std::string_view name) {
  if (name.size() != 3) return 0;
  if (i32 i = currency_index(name)) return i;
  auto& list = currencies();
  if (list.size() >= static_cast<size_t>(max_currencies)) return 0;
  list.emplace_back(name);
  return static_cast<i32>(list.size());
}

// ---- Arithmetic and comparison -------------------------------------------------------------------

void do_math(i32 op) {
  Cell* left = stack::arguments;
  Cell* right = left + 1;
  const u32 lt = left->type(), rt = right->type();
  if (op > 4) invalid_type(type::money);
  if (op == 2 && lt == type::money && rt == type::money) invalid_type(type::money);
  if ((op == 3 || op == 4) && lt != type::money) invalid_type(lt);
  const Amount a = operand(left), b = operand(right);
  if (a.currency && b.currency && a.currency != b.currency)
    raise_error(ErrorCategory::script, "wrong-denom", *left, *right);
  Amount r;
  switch (op) {
    case 0: r = add(a, b); break;
    case 1: r = subtract(a, b); break;
    case 2: r = multiply(a, b); break;
    default: r = divide(a, b, op == 4); break;
  }
  r.currency = b.currency ? b.currency : a.currency;
  const u32 line = left->header & header::new_line;
  if (op == 3 && rt == type::money) {
    Cell q;
    float_::box(left, to_float(write(&q, r)));
  } else {
    write(left, r);
  }
  left->header |= line;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  const u32 bt = b->type();
  const bool strict = op == compare_op::strict_equal || op == compare_op::same || op == compare_op::find;
  if (strict && bt != type::money) return 1;
  const Amount x = read(a);
  Amount y;
  switch (bt) {
    case type::money: {
      y = read(b);
      const u8 ca = x.currency, cb = y.currency;
      if (ca == cb) break;
      switch (op) {
        case compare_op::lesser:
        case compare_op::lesser_or_equal:
        case compare_op::greater:
        case compare_op::greater_or_equal:
          if (ca && cb) raise_error(ErrorCategory::script, "wrong-denom", *a, *b);
          break;
        case compare_op::sort:
        case compare_op::case_sort:
          // Sorting never raises: amounts of different currencies group by currency.
          if (ca && cb) return ca < cb ? -1 : 1;
          break;
        case compare_op::strict_equal:
        case compare_op::same: return 1;
        case compare_op::find:
          if (cb) return 1;
          break;
        default:
          if (ca && cb) return 1;
          break;
      }
      break;
    }
    case type::integer: y = integer_amount(b->as_int()); break;
    case type::float_: {
      // A float money cannot hold still has a side: its sign tells it.
      const double f = b->as_double();
      if (f != f) return -2;
      const double m = float_::abs(f);
      if (m >= 1e17) return f > 0 ? -1 : 1;
      if (f != 0 && m < 1e-5) return zero_q(x.mag) ? (f > 0 ? -1 : 1) : (x.negative ? -1 : 1);
      y = float_amount(f, true);
      break;
    }
    default: return -2;
  }
  const i32 sa = zero_q(x.mag) ? 0 : x.negative ? -1 : 1;
  const i32 sb = zero_q(y.mag) ? 0 : y.negative ? -1 : 1;
  if (sa != sb) return sa < sb ? -1 : 1;
  const i32 c = compare_digits(x.mag, y.mag);
  return sa < 0 ? -c : c;
}

void init() {
  action::Entries e;
  e.make = make;
  e.random = random_amount;
  e.to = to;
  e.form = form;
  e.mold = mold;
  e.eval_path = eval_path;
  e.compare = compare;
  e.absolute = absolute;
  e.add = add_action;
  e.divide = divide_action;
  e.multiply = multiply_action;
  e.negate = negate;
  e.remainder = remainder_action;
  e.round = round_amount;
  e.subtract = subtract_action;
  e.even_q = even_q;
  e.odd_q = odd_q;
  e.pick = pick;
  datatype::register_type(type::money, 0, "money!", e);
  hashtable::set_hash_procedure(type::money, hash);
  float_::math[type::money] = do_math;
  datatype::makers::money = make_literal;
  hooks::compare_money = compare_number;
  hooks::money_to_float = to_float;
  hooks::money_to_integer = to_integer;
}

}  // namespace kiv::money
