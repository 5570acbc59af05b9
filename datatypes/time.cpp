// time!: seconds in a double. Makers from numbers, blocks and text; the arithmetic rules that differ
// from plain floats; the hour, minute and second fields through paths and pick; rounding; h:mm:ss.
#include "datatypes/time.h"

#include <cmath>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/frame_words.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/float_text.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::time {

namespace {

Cell datatype_arg(u32 type_id) {
  Cell c;
  datatype::make_at(&c, type_id);
  return c;
}

Cell word_arg(const char* name) {
  Cell c{type::none, 0, 0, 0};
  if (hooks::word_named) hooks::word_named(name, &c);
  return c;
}

Cell none_arg() { return Cell{type::none, 0, 0, 0}; }

[[noreturn]] void bad_to_arg(const Cell& spec) {
  raise_error(ErrorCategory::script, "bad-to-arg", datatype_arg(type::time), spec);
}

bool name_is(const std::string& name, const char* field) {
  std::size_t n = std::strlen(field);
  if (name.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != field[i]) return false;
  }
  return true;
}

// The cells of a block from its head.
const Cell* block_cells(const Cell* block, i32& count) {
  Cell b = *block;
  count = block::length(&b);
  return block::head_pointer(&b);
}

// Digits with ' separators skipped, at least one digit; false past `limit`.
bool read_number(std::u32string_view text, std::size_t& i, i64 limit, i64& out) {
  i64 v = 0;
  bool digits = false;
  for (; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c == '\'') continue;
    if (c < '0' || c > '9') break;
    v = v * 10 + (c - '0');
    if (v > limit) return false;
    digits = true;
  }
  out = v;
  return digits;
}

// Non-negative decimal seconds: digits, then optionally '.' or ',' and digits.
bool read_seconds(std::u32string_view text, double& out) {
  if (text.empty() || text.size() > 312) return false;
  char buffer[313];
  std::size_t n = 0, digits = 0;
  bool point = false;
  for (char32_t c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if ((c == '.' || c == ',') && !point) {
      point = true;
      c = '.';
    } else {
      return false;
    }
    buffer[n++] = static_cast<char>(c);
  }
  if (!digits) return false;
  int status = 0;
  out = float_text::parse_decimal(buffer, buffer + n, 0, status);
  return status == 0;
}

// The h:mm:ss text of a finite, non-negative number of seconds.
std::string clock_text(double s) {
  std::string text;
  double hours = std::floor(s / 3600);
  double sec = std::fmod(s, 60);
  std::string sec_text;
  if (sec >= 1e-06) {
    sec_text = float_text::to_cstring(sec, float_text::kind::seconds, float_::pretty);
    // Seconds just below a whole minute round up to "60" at six digits: carry into the minute.
    if (sec_text == "60") {
      s = std::floor(s / 60) * 60 + 60;
      hours = std::floor(s / 3600);
      sec_text.clear();
    }
  }
  if (hours < 2147483648.0) {
    text += integer::to_decimal(static_cast<i32>(hours));
  } else {
    // Beyond 32 bits the hours are still a whole number: its digits are the shortest form's.
    int point, sign, count;
    const char* d = float_text::digits(hours, 0, point, sign, count, false);
    text.append(d, static_cast<std::size_t>(count));
    if (point > count) text.append(static_cast<std::size_t>(point - count), '0');
  }
  int minutes = static_cast<int>(std::floor(std::fmod(s, 3600) / 60));
  text += ':';
  if (minutes < 10) text += '0';
  text += std::to_string(minutes);
  text += ':';
  if (sec_text.empty()) {
    text += "00";
  } else {
    if (sec_text.size() == 1 || sec_text[1] == '.') text += '0';
    text += sec_text;
  }
  return text;
}

}  // namespace

Cell* push(double seconds) { return box(stack::push_cell(), seconds); }

Cell* add_to_block(Cell* block, u32 high, u32 low) {
  Cell* c = box(cell::append_slot(block), 0.0);
  c->w2 = low;
  c->w3 = high;
  return c;
}

i32 hours_of(double seconds) {
  double h = std::trunc(seconds / 3600);
  if (h != h) return 0;
  if (h >= 2147483647.0) return integer::max_value;
  if (h <= -2147483648.0) return integer::min_value;
  return static_cast<i32>(h);
}

i32 minutes_of(double seconds) {
  double m = std::floor(std::fmod(float_::abs(seconds), 3600) / 60);
  return m == m ? static_cast<i32>(m) : 0;
}

i32 field_of(const Cell* word, const Cell* value) {
  if (hooks::word_name) {
    std::string name = hooks::word_name(word);
    if (name_is(name, "hour")) return 1;
    if (name_is(name, "minute")) return 2;
    if (name_is(name, "second")) return 3;
  }
  if (value && value->type() == type::time) raise_error(ErrorCategory::script, "cannot-use", *word, *value);
  return -1;
}

Cell* field_value(double seconds, i32 field, Cell* out) {
  switch (field) {
    case 1: {
      double h = std::trunc(seconds / 3600);
      if (integer::out_of_range_q(h)) return float_::box(out, h);
      return integer::box(out, static_cast<i32>(h));
    }
    case 2: return integer::box(out, minutes_of(seconds));
    default: return float_::box(out, std::fmod(seconds, 60));
  }
}

Cell* push_field(const Cell* time, i32 field) {
  double s = time->as_double();
  return field_value(s, field, stack::push_cell());
}

double with_field(double s, i32 field, double value) {
  // Each field is replaced by subtracting its own contribution as it reads, so setting a field to
  // the value it has leaves the time unchanged, negative times included (their minutes count
  // toward minus infinity, their hours and seconds carry the sign).
  switch (field) {
    case 1: return s - (std::trunc(s / 3600) - value) * 3600;
    case 2: return s - (s < 0 ? -1.0 : 1.0) * (minutes_of(s) - value) * 60;
    default: return s - (std::fmod(s, 60) - value);
  }
}

std::string to_text(double seconds) {
  if (!std::isfinite(seconds)) return float_::to_cstring(seconds, float_text::kind::float64);
  if (seconds < 0) return "-" + clock_text(-seconds);
  return clock_text(seconds);
}

i32 form_text(double seconds, Cell* out, i32 limit) {
  std::string text = to_text(seconds);
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

bool text_to_seconds(std::u32string_view text, double& out) {
  auto blank = [](char32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  i64 hours, minutes;
  if (!read_number(text, i, negative ? i64{2147483648} : i64{2147483647}, hours)) return false;
  if (i >= text.size() || text[i] != ':') return false;
  const std::size_t minutes_start = ++i;
  if (!read_number(text, i, i64{2147483647}, minutes)) return false;
  double seconds = 0;
  if (i < text.size()) {
    char32_t sep = text[i];
    if (sep == ':') {
      if (!read_seconds(text.substr(i + 1), seconds)) return false;
    } else if (sep == '.' || sep == ',') {
      // h:m.f reads as minutes and seconds: the second number, with its fraction, is the seconds.
      if (!read_seconds(text.substr(minutes_start), seconds)) return false;
      minutes = hours;
      hours = 0;
    } else {
      return false;
    }
  }
  double s = static_cast<double>(hours) * 3600 + static_cast<double>(minutes) * 60 + seconds;
  out = negative ? -s : s;
  return true;
}

Cell* make(Cell* proto, Cell* spec, u32) {
  double s;
  switch (spec->type()) {
    case type::time:
    case type::float_:
    case type::percent: s = spec->as_double(); break;
    case type::integer: s = spec->as_int(); break;
    case type::block:
    case type::paren:
    case type::hash: {
      i32 n;
      const Cell* e = block_cells(spec, n);
      if (n > 3) bad_to_arg(*spec);
      double parts[3] = {0, 0, 0};
      bool negative = false;
      for (i32 i = 0; i < n; ++i) {
        u32 t = e[i].type();
        if (t == type::integer) parts[i] = e[i].as_int();
        else if (t == type::float_ && i == 2) parts[i] = e[i].as_double();
        else bad_to_arg(*spec);
        if (parts[i] < 0 || parts[i] != parts[i]) {
          if (i != 0 || parts[i] != parts[i]) bad_to_arg(*spec);
          negative = true;
          parts[i] = -parts[i];
        }
      }
      s = parts[0] * 3600 + parts[1] * 60 + parts[2];
      if (negative) s = -s;
      break;
    }
    case type::string:
    case type::file:
    case type::url:
    case type::tag:
    case type::email:
    case type::ref: {
      // The one value the text loads to, a time!.
      Cell scanned{type::none, 0, 0, 0};
      RootCell keep(scanned);
      bool one = false;
      try {
        one = word::scan_value(spec, &scanned);
      } catch (const LanguageError& e) {
        if (e.category != ErrorCategory::syntax) throw;
      }
      if (!one || scanned.type() != type::time) bad_to_arg(*spec);
      s = scanned.as_double();
      break;
    }
    default: bad_to_arg(*spec);
  }
  return make_at(s, proto);
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) { return form_text(value->as_double(), out, limit); }

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell*, i32 limit, i32) {
  return form_text(value->as_double(), out, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32, bool,
                bool, bool, bool) {
  i32 field = -1;
  if (element->type() == type::integer) {
    i32 n = element->as_int();
    if (n >= 1 && n <= 3) field = n;
  } else if (element->type() == type::word) {
    field = field_of(element, nullptr);
  }
  if (field < 0) raise_error(ErrorCategory::script, "invalid-path", path ? *path : none_arg(), *element);
  if (!value) return push_field(parent, field);

  u32 vt = value->type();
  if (!(vt == type::integer || (field == 3 && vt == type::float_)))
    raise_error(ErrorCategory::script, "invalid-arg", *value);
  double v = vt == type::integer ? static_cast<double>(value->as_int()) : value->as_double();
  Cell old = *parent;
  parent->set_double(with_field(parent->as_double(), field, v));
  if (gparent && hooks::time_changed) hooks::time_changed(gparent, p_item, &old, parent);
  return value;
}

void add() {
  Cell* right = stack::arguments + 1;
  if (right->type() == type::date) {
    auto fn = float_::math[type::date];
    if (!fn) raise_error(ErrorCategory::script, "invalid-type", datatype_arg(type::date));
    Cell t = *stack::arguments;
    *stack::arguments = *right;
    *right = t;
    fn(0);
    return;
  }
  float_::do_math(0);
}

void subtract() {
  if (stack::arguments[1].type() == type::date)
    raise_error(ErrorCategory::script, "not-related", word_arg("subtract"), datatype_arg(type::time));
  float_::do_math(1);
}

void multiply() {
  if (stack::arguments[1].type() == type::time)
    raise_error(ErrorCategory::script, "not-related", word_arg("multiply"), datatype_arg(type::time));
  float_::do_math(2);
}

void divide() {
  bool by_time = stack::arguments[1].type() == type::time;
  float_::do_math(3);
  if (by_time) cell::set_type(stack::arguments, type::float_);
}

Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
            bool half_ceiling) {
  if (scale && scale->type() == type::money)
    raise_error(ErrorCategory::script, "not-related", *stack::get_where(), datatype_arg(type::money));
  // An integer! scale counts seconds; rounding it as a float keeps times beyond 32 bits of seconds
  // from overflowing on the way back.
  Cell as_float;
  if (scale && scale->type() == type::integer) scale = float_::box(&as_float, scale->as_int());
  float_::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
  cell::set_type(value, type::time);
  return value;
}

bool even_q(const Cell* value) {
  double s = value->as_double();
  s = s >= 0 ? s + 1e-06 : s - 1e-06;
  double sec = std::trunc(std::fmod(s, 60));
  if (sec != sec) return true;
  return (static_cast<i32>(sec) & 1) == 0;
}

bool odd_q(const Cell* value) { return !even_q(value); }

Cell* pick(Cell* value, i32 index, Cell* boxed) {
  if (boxed && boxed->type() == type::word) index = field_of(boxed, value);
  if (index < 1 || index > 3) {
    Cell arg;
    raise_error(ErrorCategory::script, "out-of-range", boxed ? *boxed : *integer::box(&arg, index));
  }
  return push_field(value, index);
}

void init() {
  using action::inherit;
  action::Entries e;
  e.make = make;
  e.random = inherit;
  e.to = make;
  e.form = form;
  e.mold = mold;
  e.eval_path = eval_path;
  e.compare = inherit;
  e.absolute = inherit;
  e.add = add;
  e.divide = divide;
  e.multiply = multiply;
  e.negate = inherit;
  e.remainder = inherit;
  e.round = round;
  e.subtract = subtract;
  e.even_q = even_q;
  e.odd_q = odd_q;
  e.pick = pick;
  datatype::register_type(type::time, type::float_, "time!", e);
  hashtable::set_hash_procedure(type::time, float_::hash);
}

}  // namespace kiv::time
