#include "datatypes/url.h"

#include <climits>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kiv::url {

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

struct Classes {
  bool safe[128] = {};
  bool unreserved[128] = {};
  constexpr Classes() {
    for (int c = 0; c < 128; ++c) {
      bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      unreserved[c] = alnum || c == '-' || c == '.' || c == '_' || c == '~';
      safe[c] = unreserved[c];
    }
    for (char c : std::string_view("@!#$&'()*+,/:=?")) safe[static_cast<int>(c)] = true;
  }
};
constexpr Classes classes;

[[noreturn]] void not_done() { raise_error(ErrorCategory::internal, "not-done"); }

bool text_begins_http(const Cell* s) {
  Cell v = *s;
  return string::starts_with_q(&v, "http");
}

// Appends one ASCII character to a target that holds bytes or characters.
void put_byte(Cell* target, u8 c) {
  if (string::any_string_q(target->type())) {
    string::append_char(target, c);
    return;
  }
  *cell::reserve_tail_bytes(series::buffer_of(target), 1) = static_cast<std::byte>(c);
}

Cell word_named(const char* name) {
  Cell w;
  actions::name_word(name, type::word, &w);
  return w;
}

// A port! for a URL of a scheme without its own client: the library's parser makes the spec.
Cell* port_for(Cell* url) {
  if (!hooks::parse_url || !hooks::make_port) not_done();
  Cell* spec = stack::push_cell();
  hooks::parse_url(url, spec);
  if (spec->type() != type::object) raise_error(ErrorCategory::script, "invalid-arg", *url);
  Cell* port = stack::push_cell();
  hooks::make_port(spec, port);
  return port;
}

Cell* http_call(const Cell& method, Cell* url, const Cell& headers, const Cell& body, bool binary, bool lines,
                bool info) {
  if (!hooks::http_request) not_done();
  Cell m = method, h = headers, b = body;
  RootCell keep_m(m), keep_h(h), keep_b(b);
  Cell* out = stack::push_cell();
  hooks::http_request(&m, url, &h, &b, binary, lines, info, out);
  if (out->type() == type::none) raise_error(ErrorCategory::access, "no-connect", *url);
  return out;
}

// make/to url! of a block: scheme "://" host [":" port] ["/" path values joined by "/", "#" before
// an issue!].
Cell* from_block(Cell* proto, Cell* spec) {
  i32 n = block::length(spec);
  if (n == 0) {
    Cell kind;
    datatype::make_at(&kind, type::url);
    raise_error(ErrorCategory::script, "bad-to-arg", kind, *spec);
  }
  Cell* out = stack::push_cell();
  string::make_at(out, 16);
  i32 head = std::max(series::head_index(spec), 0);
  // Each value is copied out before forming: forming may allocate and move the block's buffer.
  auto item = [&](i32 i) { return *block::cell_at(spec, head + i); };
  auto form = [&](i32 i) {
    Cell v = item(i);
    RootCell keep(v);
    actions::dispatch_form(&v, out, nullptr, INT_MAX);
  };
  form(0);
  string::append_utf8(out, "://");
  i32 i = 1;
  if (i < n) form(i++);
  if (i < n && item(i).type() == type::integer) {
    string::append_char(out, ':');
    form(i++);
  }
  if (i < n) {
    string::append_char(out, '/');
    for (; i < n; ++i) {
      form(i);
      if (i + 1 < n) string::append_char(out, item(i + 1).type() == type::issue ? '#' : '/');
    }
  }
  cell::set_type(out, type::url);
  *proto = *out;
  return proto;
}

}  // namespace

bool safe_q(i32 c) { return c >= 0 && c < 128 && classes.safe[c]; }
bool unreserved_q(i32 c) { return c >= 0 && c < 128 && classes.unreserved[c]; }
i32 hex_digit_value(i32 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool decode_hex_pair(const u8* p, const u8* end, u8* out) {
  if (end - p < 3 || p[0] != '%') return false;
  i32 hi = hex_digit_value(p[1]), lo = hex_digit_value(p[2]);
  if (hi < 0 || lo < 0) return false;
  *out = static_cast<u8>(hi * 16 + lo);
  return true;
}

void encode(const Cell* s, Cell* target, i32 mode) {
  std::string text = string::to_utf8(s);
  for (char ch : text) {
    auto c = static_cast<u8>(ch);
    if (c < 0x80 && (mode == mode_strict ? unreserved_q(c) : safe_q(c))) {
      put_byte(target, c);
    } else {
      put_byte(target, '%');
      put_byte(target, static_cast<u8>(hex_digits[c >> 4]));
      put_byte(target, static_cast<u8>(hex_digits[c & 15]));
    }
  }
}

void decode_utf8(std::string_view text, Cell* target) {
  // The decoders stop at a byte that cannot continue a sequence: work on a NUL-terminated copy.
  std::string bytes(text);
  auto* p = reinterpret_cast<const u8*>(bytes.c_str());
  const u8* end = p + bytes.size();
  while (p < end) {
    u8 b;
    if (decode_hex_pair(p, end, &b)) {
      i32 n = (b & 0xF8) == 0xF0 ? 4 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xE0) == 0xC0 ? 2 : 0;
      if (n == 0) {
        string::append_char(target, b);
        p += 3;
        continue;
      }
      // A lead byte: the whole sequence must follow as escapes and decode to one valid character.
      u8 seq[5] = {b, 0, 0, 0, 0};
      bool whole = true;
      for (i32 i = 1; i < n && whole; ++i) whole = decode_hex_pair(p + 3 * i, end, &seq[i]);
      if (whole) {
        i32 cp;
        const u8* after = unicode::decode_utf8_next(seq, cp);
        if (cp >= 0 && after == seq + n) {
          string::append_char(target, cp);
          p += 3 * n;
          continue;
        }
      }
      // Not a sequence: the "%" is plain text.
    }
    i32 cp;
    const u8* next = unicode::decode_utf8_next(p, cp);
    if (cp < 0 || next > end) {
      cp = *p;
      next = p + 1;
    }
    string::append_char(target, cp);
    p = next;
  }
}

void decode(const Cell* s, Cell* target) { decode_utf8(string::to_utf8(s), target); }

// ---- actions ----

Cell* make(Cell* proto, Cell* spec, u32 t) {
  u32 st = spec->type();
  if (t == type::url && (st == type::block || st == type::paren || st == type::hash)) return from_block(proto, spec);
  return string::make(proto, spec, t);
}

Cell* to(Cell* proto, Cell* spec, u32 t) {
  u32 st = spec->type();
  if (t == type::url && (st == type::block || st == type::paren || st == type::hash)) return from_block(proto, spec);
  return string::to(proto, spec, t);
}

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  std::string text = string::to_utf8(value);
  i32 written = 0;
  auto put = [&](char c) {
    if (part && written >= limit) return false;
    string::append_char(out, static_cast<u8>(c));
    ++written;
    return true;
  };
  for (char ch : text) {
    auto c = static_cast<u8>(ch);
    if (c < 0x80 && safe_q(c)) {
      if (!put(ch)) break;
    } else if (!put('%') || !put(hex_digits[c >> 4]) || !put(hex_digits[c & 15])) {
      break;
    }
  }
  return limit - written;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool tail,
                bool) {
  bool set = value && (value->type() != type::none || (tail && path && path->type() == type::set_path));
  if (set) {
    Cell where = path ? *path : none::value;
    raise_error(ErrorCategory::script, "bad-path-set", where, *element);
  }
  Cell* out = stack::push_cell();
  i32 parent_length = string::length(parent);
  string::make_at(out, parent_length + 16, static_cast<i32>(string::buffer_of(parent)->unit()));
  Cell item = *element;
  RootCell keep_item(item);
  actions::dispatch_form(&item, out, nullptr, INT_MAX);
  bool parent_slash = parent_length > 0 &&
                      string::char_at(parent, string::head_index(parent) + parent_length - 1) == '/';
  bool element_slash = string::total_length(out) > 0 && string::char_at(out, 0) == '/';
  // Exactly one slash between the two texts.
  i32 kept = parent_length;
  if (parent_slash && element_slash) --kept;
  else if (!parent_slash && !element_slash) string::insert_char_at(string::buffer_of(out), 0, '/');
  if (kept > 0) string::concatenate(out, parent, kept, true, 1);
  cell::set_type(out, parent->type());
  return out;
}

Cell* open(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow) {
  Cell* port = port_for(url);
  actions::get<action::slot::open>(port)(port, new_, read, write, seek, allow);
  return port;
}

Cell* read(Cell* url, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
  if (text_begins_http(url)) {
    if (part || seek || as) not_done();
    return http_call(word_named("get"), url, none::value, none::value, binary, lines, info);
  }
  Cell* port = port_for(url);
  return actions::get<action::slot::read>(port)(port, part, seek, binary, lines, info, as);
}

Cell* write(Cell* url, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as) {
  if (!text_begins_http(url)) {
    Cell* port = port_for(url);
    return actions::get<action::slot::write>(port)(port, data, binary, lines, info, append, part, seek, allow, as);
  }
  if (seek || allow || as) not_done();
  Cell method, headers = none::value, body;
  RootCell keep_m(method), keep_h(headers), keep_b(body);
  u32 dt = data->type();
  if (dt == type::block && block::length(data) == 0) {
    method = word_named("get");
    body = *data;
  } else if (dt == type::block) {
    i32 n = block::length(data);
    i32 head = std::max(series::head_index(data), 0);
    Cell first = *block::cell_at(data, head);
    if (first.type() != type::word) raise_error(ErrorCategory::script, "invalid-arg", first);
    method = first;
    body = none::value;
    i32 i = 1;
    if (i < n) {
      Cell second = *block::cell_at(data, head + i);
      if (second.type() != type::block) raise_error(ErrorCategory::script, "invalid-arg", second);
      headers = second;
      ++i;
    }
    if (i < n) body = *block::cell_at(data, head + i);
  } else {
    method = word_named("post");
    body = *data;
  }
  u32 bt = body.type();
  if (bt != type::none && bt != type::block && bt != type::string && bt != type::binary)
    raise_error(ErrorCategory::script, "invalid-arg", body);
  return http_call(method, url, headers, body, binary, lines, info);
}

void init() {
  using action::inherit;
  datatype::register_type(type::url, type::string, "url!",
                          {
                              .make = make,
                              .to = to,
                              .form = inherit,
                              .mold = mold,
                              .eval_path = eval_path,
                              .compare = inherit,
                              .append = inherit,
                              .at = inherit,
                              .back = inherit,
                              .change = inherit,
                              .clear = inherit,
                              .copy = inherit,
                              .find = inherit,
                              .head = inherit,
                              .head_q = inherit,
                              .index_q = inherit,
                              .insert = inherit,
                              .length_q = inherit,
                              .move = inherit,
                              .next = inherit,
                              .pick = inherit,
                              .poke = inherit,
                              .remove = inherit,
                              .reverse = inherit,
                              .select = inherit,
                              .skip = inherit,
                              .swap = inherit,
                              .tail = inherit,
                              .tail_q = inherit,
                              .take = inherit,
                              .modify = inherit,
                              .open = open,
                              .read = read,
                              .write = write,
                          });
  string::register_family_type(type::url);
}

}  // namespace kiv::url
