#include "lexer/load.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "lexer/lexer.h"

namespace kiv::load {

namespace {

bool blank_q(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool kiv_word_q(const Cell* c) { return c->type() == type::word && symbol::name(word::symbol_of(c)) == "Kiv"; }

}  // namespace

std::size_t find_header(std::string_view text) {
  for (std::size_t at = text.find("Kiv"); at != std::string_view::npos; at = text.find("Kiv", at + 1)) {
    std::size_t i = at + 3;
    if (text.substr(i, 7) == "/System") i += 7;
    while (i < text.size() && blank_q(text[i])) ++i;
    if (i < text.size() && text[i] == '[') return at;
  }
  return std::string_view::npos;
}

i32 header_index(const Cell* blk) {
  const i32 total = series::total_length(blk);
  for (i32 i = std::max(series::head_index(blk), 0); i + 1 < total; ++i) {
    if (kiv_word_q(block::cell_at(blk, i)) && block::cell_at(blk, i + 1)->type() == type::block) return i;
  }
  return -1;
}

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  out = text.str();
  return true;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string script_file(const Cell* file, Cell* code) {
  if (file->type() != type::file) raise_error(ErrorCategory::access, "cannot-open", *file);
  std::string path = string::to_utf8(file);
  std::string text;
  if (!read_file(path, text)) raise_error(ErrorCategory::access, "cannot-open", *file);
  const std::size_t at = find_header(text);
  if (at == std::string::npos) raise_error(ErrorCategory::syntax, "no-header", *file);
  lexer::load_text(std::string_view(text).substr(at), code);
  const i32 total = series::total_length(code);
  if (total > 0) {
    const Cell* first = block::cell_at(code, 0);
    if (first->type() == type::path) raise_error(ErrorCategory::internal, "kiv-system");
    if (total > 1 && kiv_word_q(first) && block::cell_at(code, 1)->type() == type::block)
      series::set_head_index(code, 2);
  }
  return path;
}

}  // namespace kiv::load
