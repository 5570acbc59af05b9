#include "datatypes/scalar.h"

#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"

namespace kiv::scalar {

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

void bad_to_arg(u32 type_id, const Cell& spec) {
  raise_error(ErrorCategory::script, "bad-to-arg", datatype_arg(type_id), spec);
}

void invalid_type(const Cell& value) {
  raise_error(ErrorCategory::script, "invalid-type", datatype_arg(value.type()));
}

void malconstruct(u32 type_id, const Cell& spec) {
  raise_error(ErrorCategory::syntax, "malconstruct", datatype_arg(type_id), spec);
}

i32 field_named(const Cell* word, std::initializer_list<const char*> names) {
  if (!word || word->type() != type::word) return 0;
  const std::string name = word::name_of(word);
  i32 position = 0;
  for (const char* wanted : names) {
    ++position;
    if (name.size() != std::strlen(wanted)) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char c = name[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      same = c == wanted[i];
    }
    if (same) return position;
  }
  return 0;
}

void scan_text_as(const Cell* text, u32 type_id, Cell* out) {
  Cell scanned{type::none, 0, 0, 0};
  RootCell keep(scanned);
  bool one = false;
  try {
    one = word::scan_value(text, &scanned);
  } catch (const LanguageError& e) {
    if (e.category != ErrorCategory::syntax) throw;
  }
  if (!one || scanned.type() != type_id) bad_to_arg(type_id, *text);
  *out = scanned;
}

const Cell* block_cells(const Cell* block, i32& count) {
  Cell b = *block;
  count = block::length(&b);
  return block::head_pointer(&b);
}

void report_change(Cell* gparent, Cell* p_item, const Cell* old, const Cell* now) {
  if (gparent && hooks::time_changed) hooks::time_changed(gparent, p_item, old, now);
}

i32 append_text(Cell* out, const std::string& text, i32 limit) {
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

}  // namespace kiv::scalar
