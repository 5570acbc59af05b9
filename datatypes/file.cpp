#include "datatypes/file.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "datatypes/dispatch.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "datatypes/url.h"
#include "runtime/hooks.h"
#include "runtime/stack.h"

namespace kiv::file {

namespace {

[[noreturn]] void not_done() { raise_error(ErrorCategory::internal, "not-done"); }

// Whether a character forces the quoted form. The bare literal is percent-decoded and ends at a
// delimiter, which ( ) : and @ are there although a URL may hold them; the control characters
// (C0, DEL and C1) are written as caret escapes, which only the quoted form reads.
// A lone surrogate has no UTF-8 form the lexer reads: it is written as its code, quoted too.
bool surrogate_q(i32 c) { return c >= 0xD800 && c <= 0xDFFF; }
bool needs_quotes(i32 c) {
  return (c < 160 && !url::safe_q(c)) || c == '(' || c == ')' || c == ':' || c == '@' || surrogate_q(c);
}

}  // namespace

i32 mold(const Cell* value, Cell* out, bool, bool, bool, const Cell* part, i32 limit, i32) {
  Cell v = *value;
  i32 head = std::max(string::head_index(&v), 0);
  i32 total = string::total_length(&v);
  head = std::min(head, total);
  i32 end = total;
  if (part && part->type() == type::integer && part->as_int() != 0) {
    end = limit < 0 ? head : static_cast<i32>(std::min<i64>(i64{head} + limit, total));
  }
  // The characters are read before writing: out may be the same series.
  std::vector<i32> text;
  text.reserve(static_cast<size_t>(end - head));
  for (i32 i = head; i < end; ++i) text.push_back(string::char_at(&v, i));
  i32 before = string::total_length(out);
  string::append_char(out, '%');
  bool quoted = text.empty() || std::any_of(text.begin(), text.end(), needs_quotes);
  if (quoted) {
    // Inside the quotes the caret escapes apply, so that "^" and a double quote load back too.
    string::append_char(out, '"');
    // The quoted literal ends at the first double quote, even after a caret: it is written as
    // its code, as is a lone surrogate.
    for (i32 c : text) {
      if (c == '"' || surrogate_q(c)) {
        string::append_utf8(out, "^(");
        string::append_utf8(out, string::int_to_hex(c, true));
        string::append_char(out, ')');
      } else {
        string::append_escaped_char(out, c, true, false);
      }
    }
    string::append_char(out, '"');
  } else {
    for (i32 c : text) string::append_char(out, c);
  }
  return limit - (string::total_length(out) - before);
}

Cell* to_local_path(const Cell* file, Cell* target, bool prefix) {
  Cell f = *file;
  bool absolute = string::length(&f) > 0 && string::char_at(&f, string::head_index(&f)) == '/';
  if (prefix && !absolute) {
    Cell* dir = get_current_dir(stack::push_cell());
    string::append_string(target, dir);
    stack::drop(1);
  }
  string::append_string(target, file);
  return target;
}

std::string to_os_path(const Cell* file) {
  std::string path = string::to_utf8(file);
  if (path.find('\0') != std::string::npos) raise_error(ErrorCategory::script, "invalid-arg", *file);
  return path;
}

Cell* get_current_dir(Cell* out) {
  std::vector<char> buffer(4096);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) {
      buffer.assign({'.', '\0'});
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  std::string dir(buffer.data());
  if (dir.empty() || dir.back() != '/') dir.push_back('/');
  return string::make_from_utf8(out, dir);
}

Cell* push(const Cell* value) { return stack::push_value(value); }

// ---- I/O ----

Cell* read(Cell* file, Cell* part, Cell* seek, bool binary, bool lines, bool, Cell* as) {
  if (as || !hooks::file_read) not_done();
  return hooks::file_read(file, part, seek, binary, lines, stack::push_cell());
}

Cell* write(Cell* file, Cell* data, bool binary, bool lines, bool, bool append, Cell* part, Cell* seek, Cell* allow,
            Cell* as) {
  if (allow || as || !hooks::file_write) not_done();
  hooks::file_write(file, data, part, seek, binary, append, lines);
  return &unset::value;
}

Cell* query(Cell* file) {
  if (!hooks::file_query) not_done();
  return hooks::file_query(file, stack::push_cell());
}

Cell* delete_(Cell* file) {
  if (!hooks::file_delete) not_done();
  return logic::push(hooks::file_delete(file));
}

Cell* rename(Cell* from, Cell* to) {
  if (!hooks::file_rename) not_done();
  return logic::push(hooks::file_rename(from, to));
}

void init() {
  using action::inherit;
  datatype::register_type(type::file, type::url, "file!",
                          {
                              .make = inherit,
                              .to = inherit,
                              .form = inherit,
                              .mold = mold,
                              .eval_path = inherit,
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
                              .delete_ = delete_,
                              .modify = inherit,
                              .query = query,
                              .read = read,
                              .rename = rename,
                              .write = write,
                          });
  string::register_family_type(type::file);
}

}  // namespace kiv::file
