// symbol!: the interned names behind every word. A symbol is identified by its id, the 1-based
// position of its cell in the symbol block; symbols are never removed, so an id stays valid for the
// life of the process.
//
// Names keep their written form: foo, Foo and FOO are three symbols. The first form of a name to be
// interned is canonical (alias -1); every later case variant records that first form's id as its
// alias, so resolving is one step and case-insensitive comparisons compare resolved ids, never text.
//
// symbol! cell (type 13), found only in the symbol block: w1 the alias (signed, -1 for a canonical
// form), w2 the node of the name as a string! (0 until first needed), w3 the node of a byte series
// holding the UTF-8 name and a NUL after it (the tail stands before the NUL).
//
// Storage: the symbol block lives in the root block (words.h) as a hash! cell whose index (w3) is the
// symbol table, a word-table kind hash table. Cells of the symbol block move when it grows: reach a
// symbol through its id, never through a cell address held across an allocation.
#pragma once
#include <string_view>

#include "runtime/cell.h"

namespace kiv::symbol {

constexpr i32 boot_symbols = 4000;

// Interning modes.
enum : i32 {
  with_alias = 0,  // an exact pass, then a case-insensitive one: a new case variant is added
  no_alias = 1,    // only the case-insensitive pass: an existing case variant is returned
};

// The symbol block's cell in the root block (a hash! cell: w2 the block node, w3 the table node).
Cell* block_cell();
// Number of symbols interned so far (the highest id).
i32 count();
// The symbol! cell of an id, without making its name string. Valid until the next allocation.
Cell* cell_of(i32 id);
// Whether the id names an interned symbol.
inline bool valid_q(i32 id) { return id > 0 && id <= count(); }

// Interns UTF-8 bytes (hashtable/intern-name): the symbol's id, adding it when needed.
i32 intern_name(const u8* bytes, i32 length, i32 mode);
i32 make(const char* name);
i32 make_no_alias(const char* name);
i32 make_from_buffer(const u8* bytes, i32 length);
i32 make(std::string_view name);
// The text of a string-family value from its head (`count` characters, or all for -1), as UTF-8.
i32 make_from_string(const Cell* text, i32 count);

// The canonical id: the alias when there is one, else the id itself.
i32 resolve(i32 id);
// The raw alias (-1 for a canonical form).
i32 alias(i32 id);

// The UTF-8 name (without the NUL); the view is valid until the next allocation.
std::string_view name(i32 id);

// The symbol's cell after making sure its name string exists (symbol/get).
Cell* get(i32 id);
// The node of the name as a string!, made on the first request and kept (symbol/get-name-string).
Ref<Node> get_name_string(i32 id);
// The same for a symbol! cell (one of the symbol block or a copy of one).
Ref<Node> get_name_string(const Cell* symbol);
// The id of a symbol! cell (one of the symbol block or a copy of one).
i32 id_of(const Cell* symbol);

// The names of two symbols compared as strings under a compare-op (symbol/compare).
i32 compare(const Cell* a, const Cell* b, i32 op);

// Boot: the symbol block, appended to the root block with room for 4,000 symbols (step 11), and
// the symbol table's index over it (step 13). Also installs the symbol hooks of other units.
void make_block();
void make_table();

// Registers symbol! (only its comparison slot is filled).
void init();

}  // namespace kiv::symbol
