#include "datatypes/static_words.h"

#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/words.h"

namespace kiv::static_words {

namespace {

// A static word stays in the root block whether or not word recording is on (unit tests build the
// words without the boot's recording).
i32 keep(const Cell& w, i32 recorded) { return recorded >= 0 ? recorded : words::record(&w); }

i32 from_symbol(u32 s) {
  i32 at = -1;
  Cell w = kiv::word::from_symbol(symbols[s], &at);
  return keep(w, at);
}

i32 by_name(const char* name) {
  if (!name) return from_symbol(sym::end);
  i32 at = -1;
  Cell w = kiv::word::load(name, &at);
  return keep(w, at);
}

}  // namespace

Cell* word(u32 id) { return words::root_at(word_roots[id]); }
Cell* refinement(u32 id) { return words::root_at(refinement_roots[id]); }

void make_symbols_and_words() {
#define KIV_SW_INTERN(id, name)                      \
  symbols[sym::id] = symbol::make(name);             \
  if (sym::id == sym::timezone) symbol::make("code"); \
  if (sym::id == sym::system_global) symbol::make("stack");
  KIV_STATIC_SYMBOLS(KIV_SW_INTERN)
#undef KIV_SW_INTERN

#define KIV_SW_SYMWORD(id) word_roots[wid::sym_##id] = from_symbol(sym::id);
  KIV_STATIC_SYMBOL_WORDS(KIV_SW_SYMWORD)
#undef KIV_SW_SYMWORD

#define KIV_SW_NAMED(id, name) word_roots[wid::id] = by_name(name);
  KIV_STATIC_NAMED_WORDS(KIV_SW_NAMED)
#undef KIV_SW_NAMED
}

void make_refinements() {
#define KIV_SW_REF(id, name) refinement_roots[rid::id] = kiv::refinement::load(name);
  KIV_STATIC_REFINEMENTS(KIV_SW_REF)
#undef KIV_SW_REF
}

}  // namespace kiv::static_words
