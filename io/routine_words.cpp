#include "io/routine_words.h"

#include "datatypes/routine.h"
#include "datatypes/word.h"
#include "lexer/lexer.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::routine_words {

void define(const char* routine, const char* word, const char* spec_text) {
  Cell spec{type::none, 0, 0, 0};
  RootCell keep_spec(spec);
  lexer::load_text(spec_text, &spec);
  Cell r = *routine::define(routine, &spec, nullptr);
  RootCell keep_r(r);
  stack::drop(1);
  Cell w = word::load(word);
  RootCell keep_w(w);
  word::set(&w, &r);
}

}  // namespace kiv::routine_words
