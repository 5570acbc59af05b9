// Contexts: the maps from words to values behind the global words, objects, functions and routines.
//
// A context is a series of two cells reached through its node (the "context node"):
// - cell 0, the context cell: header type 14 with the flags below; w1 the node of the word table,
//   a word-table kind hash table whose backing block is the word list; w2 the node of the values
//   block, or (values on the value stack) the arena offset of the running call's first argument,
//   0 while no call runs;
// - cell 1, the owner: unset! when made; the object, function or routine that owns the context.
// The word list holds one word! per word, bound to the context at its own position; the values
// block holds one cell per word at the same position.
//
// The global context holds every word made without a more specific context. Case variants of a
// name share one value slot in it: a variant added by exact lookup keeps its own word-list entry,
// but that entry's index names the slot of the oldest case form, and lookups answer the index of
// the word-list entry they find (not its position) for that reason.
//
// Procedures take the context node, not the context cell: the cell lives in a buffer that moves
// when anything allocates. Cell pointers they answer are valid until the next allocation.
#pragma once
#include "runtime/cell.h"
#include "runtime/stack.h"

namespace kiv::context {

// Header bits of the context cell.
namespace flag {
constexpr u32 kind_shift = 11;
constexpr u32 kind_mask = 3u << kind_shift;
constexpr u32 on_stack = stack::context_on_stack;  // values live on the value stack
constexpr u32 self = 1u << 24;      // `self` in code bound here stands for the owner
}  // namespace flag

// The changed mark on a word-list cell of an object context.
constexpr u32 changed_mark = 1u << 13;

enum Kind : u32 { plain = 0, function = 1, object = 2 };

constexpr i32 global_slots = 4000;

inline Cell* cell_of(Ref<Node> ctx) { return stack::context_cell(ctx); }
inline Cell* owner_of(Ref<Node> ctx) { return buffer_of(ctx)->head_ptr<Cell>() + 1; }
inline u32 kind_of(Ref<Node> ctx) { return (cell_of(ctx)->header & flag::kind_mask) >> flag::kind_shift; }
inline bool on_stack_q(Ref<Node> ctx) { return cell_of(ctx)->header & flag::on_stack; }
inline bool self_q(Ref<Node> ctx) { return cell_of(ctx)->header & flag::self; }
inline Ref<Node> table_of(Ref<Node> ctx) { return Ref<Node>(cell_of(ctx)->w1); }

// The global context's node.
Ref<Node> global();

// Word list (context/words-node, context/words-buffer) and values.
Ref<Node> words_node(Ref<Node> ctx);
SeriesBuffer* words_buffer(Ref<Node> ctx);
i32 word_count(Ref<Node> ctx);
// The word-list cell at the index (context/word-at).
Cell* word_at(Ref<Node> ctx, i32 index);
// The first value cell: through the values block, or the value-stack pointer; null when the context
// has no values (a function context outside a call).
Cell* values_of(Ref<Node> ctx);

// Word-table lookup (hashtable/find-word): with `add`, a missing word is added to the word list
// (and nothing else) and its position stored through `out`, the answer then being -1. Answers the
// word-list position found, or -1.
i32 table_find_word(Ref<Node> ctx, i32 symbol, bool case_insensitive, bool add, i32* out);

// The index of the word in the context, or -1; nothing is added (context/find-word).
i32 find_word(Ref<Node> ctx, i32 symbol, bool case_insensitive);
// Index when found; else the word is added, its index stored through out and -1 answered.
i32 find_or_add_word(Ref<Node> ctx, i32 symbol, bool case_insensitive, i32* out);
// Index of the word's symbol (case-insensitive), adding the word and an unset! value when missing
// (no value is appended when the values live on the value stack).
i32 find_or_add_word_slot(Ref<Node> ctx, const Cell* word);
// Adds the word with a copy of the value when missing (case-insensitive) and answers the new value
// cell; answers null and changes nothing when the word is there.
Cell* add_word(Ref<Node> ctx, const Cell* word, const Cell* value);
// Finds or adds the word (case-insensitive) and copies the value into its slot; answers the slot.
Cell* set_word_value(Ref<Node> ctx, const Cell* word, const Cell* value);
// Adds every set-word! of the block from its head; answers whether the word list grew.
bool collect_set_words(Ref<Node> ctx, Cell* block);
// The value cell of the symbol (found case-insensitively); a context whose values live on the value
// stack is replaced by the global context. Null when the symbol is not there.
Cell* get_value_cell(i32 symbol, Ref<Node> ctx);

// A new context (context/make): room for `slots` words (0 taken as 1), values in a block of unset!
// cells or on the value stack, the self flag and the kind; with a source, the word table and word
// list start as copies of the source's.
Ref<Node> make(i32 slots, bool on_stack, bool self, Ref<Node> source, u32 kind);
// A context holding the words of a spec block (word!, get-word!, lit-word!, refinement!; set-words
// and issues skipped), one slot per distinct word.
Ref<Node> make_from_words(const Cell* spec, bool on_stack, bool self, u32 kind);
// Gives a function! or object! value (context node in w1) a new context with the same words, their
// values unset!; answers the new node.
Ref<Node> clone_for(Cell* value, u32 kind);

// Binds the block deeply (nested any-block values included) to the context; with `self`, the word!
// `self` is bound with index -1 (it reads as the owner). A block met again inside itself is walked
// once. Answers the block.
Cell* bind_block(Cell* block, Ref<Node> ctx, bool self);

// Boot: the global context (4,000 slots, kind plain), recorded in the root block.
void make_global();

// Registers context! (every action slot empty).
void init();

}  // namespace kiv::context
