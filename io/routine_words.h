// Stand-in words for codec routines: until the library's codec objects hold them, a codec binds
// its routines to global words of its own through this.
#pragma once

namespace kiv::routine_words {

// Defines the registered routine `routine` with the spec text and sets the global word to it.
void define(const char* routine, const char* word, const char* spec);

}  // namespace kiv::routine_words
