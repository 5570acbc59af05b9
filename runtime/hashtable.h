// Hash tables: one open-addressing table serves the whole run-time. It never holds values itself:
// the value-keyed kinds index the cells of a backing block (a hash!'s own block, a map!'s key/value
// block, a context's word list, the symbol block); the pointer-keyed kinds map a series node to a
// few value cells kept in an entry block that the table owns.
//
// Scheme: a power-of-two number of buckets, two flag bits per bucket (2 empty, 1 deleted, 0 live),
// triangular probing (steps 1, 2, 3 ...), a fill limit of 0.77 of the buckets. A full table grows, or
// is rehashed at the same size when at least half its buckets are deleted ones.
//
// The table record is a byte series of its own and a table is referred to by that series' node; all
// its arrays are series too, held by node in the record. Any call here that allocates may move
// every buffer: callers hold tables and blocks through nodes or rooted cells, and pointers returned
// into a buffer are valid until the next allocation.
//
// hashtable.cpp holds the open addressing of the value-keyed kinds and the hashing; pointer_table.cpp
// the pointer-keyed kinds and what the collector does with tables.
#pragma once
#include "runtime/cell.h"
#include "runtime/roots.h"

namespace kiv::hashtable {

// ---- The record ------------------------------------------------------------------------------

enum : i32 {
  kind_hash = 0,     // hash! index: one key per cell, equal keys grouped in chains
  kind_map = 1,      // map!: key/value pairs, two cells per entry, keys strictly distinct
  kind_word = 2,     // context word list, symbol table: keys are symbols
  kind_pointer = 3,  // pointer set or map (weak keys)
  kind_owners = 4,   // owners table of reactivity (weak keys and owners)
};

struct Table {
  i32 size;         // live buckets (a kind-0 chain counts once)
  u32 indexes;      // kind 0: reverse index node (per cell, its 1-based bucket or -1); kinds 3-4: entry width
  u32 chains;       // kind 0: node of the chain list (int32 array of chain nodes, 1-based chain numbers)
  u32 flags;        // node of the flag array: bucket count / 4 bytes
  u32 keys;         // node of the key array: one int32 per bucket (kinds 0-1: then each bucket's hash)
  u32 blk;          // node of the backing block (kinds 0-2) or of the entry block (kinds 3-4)
  i32 n_occupied;   // live plus deleted buckets
  i32 n_buckets;    // a power of two
  i32 upper_bound;  // occupied count at which the table is enlarged or rebuilt
  i32 kind;
  u32 stamp;        // 0, or compaction count + 1 when identities were last hashed
};
static_assert(sizeof(Table) == 44);

// Bucket states (two bits per bucket).
enum : u32 { live_bucket = 0, deleted_bucket = 1, empty_bucket = 2 };

// The type id of a lookup key: a string whose character count (not negative) is in w3; only that
// many characters from the head are hashed and compared (the string unit registers how).
constexpr u32 lookup_key_type = 56;

// Above this count shift_indexes leaves the index alone and asks for a rebuild.
constexpr i32 max_shift = 30000;

constexpr double load_factor = 0.77;

inline Table* record_of(Ref<Node> table) { return buffer_of(table)->head_ptr<Table>(); }
inline u32* flags_of(const Table* t) { return buffer_of(Ref<Node>(t->flags))->head_ptr<u32>(); }
inline i32* keys_of(const Table* t) { return buffer_of(Ref<Node>(t->keys))->head_ptr<i32>(); }
inline Ref<Node> block_of(Ref<Node> table) { return Ref<Node>(record_of(table)->blk); }

inline u32 bucket_flags(const u32* flags, u32 i) { return (flags[i >> 4] >> ((i & 15) << 1)) & 3; }
inline void set_deleted(u32* flags, u32 i) { flags[i >> 4] |= 1u << ((i & 15) << 1); }
// Marks a bucket live and stores its key; the caller counts it (size, and occupied when the bucket
// was empty). For the word-table and pointer kinds only: kinds 0-1 also keep the bucket's hash.
inline void set_live(Table* t, u32 bucket, i32 key) {
  u32* f = flags_of(t);
  f[bucket >> 4] &= ~(3u << ((bucket & 15) << 1));
  keys_of(t)[bucket] = key;
}

// Roots a table held in a C++ local across allocations: the guard's hash!-typed holder cell has the
// collector mark the whole table (records also carry collector::table_record_flag, so a plain node
// root on a table marks it whole too), and the node root keeps the variable up to date when nodes
// move.
class Root {
  Cell holder_;
  RootNode node_;
  RootCell cell_;

 public:
  explicit Root(Ref<Node>& table) : holder_{type::hash, 0, 0, table.offset()}, node_(table), cell_(holder_) {}
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;
};

// The compaction count the stamps are taken against (identities are node addresses, which only
// node compaction changes).
u32 compaction_count();

// Smallest power of two not below x (0 for 0).
u32 pow2(u32 x);

// ---- Hashing -----------------------------------------------------------------------------------

// MurmurHash3 x86_32 of the bytes with the process hash seed.
u32 murmur3_32(const void* bytes, i32 length);
// The same with A-Z taken as a-z (names that compare without case).
u32 murmur3_32_folded(const void* bytes, i32 length);
// The MurmurHash3 finaliser (fmix32), no seed.
u32 hash_pointer(u32 value);
// n characters of `unit` bytes each (1, 2 or 4): each character one 32-bit block, so that every
// width hashes alike; unless case_ each character is first mapped to upper case.
u32 hash_chars(const std::byte* chars, i32 n, u32 unit, bool case_);

// ---- Per-type hashing and key equality ---------------------------------------------------------
// Each type registers how its values hash, as it registers its mark procedure; a type registers
// nothing when its values all hash to 0. The procedures below serve the common cell layouts.

// case_ true: case-sensitive. Values equal under the equal compare-op must hash alike.
using HashProc = u32 (*)(const Cell* value, bool case_);
// Whether a stored key equals a probe under a compare-op. The key is of the probe's type (any
// string type for a lookup key).
using KeyEqualProc = bool (*)(const Cell* key, const Cell* probe, i32 op);

constexpr u32 type_slots = 256;
inline HashProc hash_procedures[type_slots] = {};
inline KeyEqualProc key_equalities[type_slots] = {};
// Types whose hash is a node's or buffer's identity, which node compaction changes.
inline bool identity_hashed[type_slots] = {};

// Sets how values of the type hash (null: 0). identity: the hash depends on a node's or buffer's
// identity; a kind-0 table holding such a key then rebuilds itself after nodes move.
void set_hash_procedure(u32 type_id, HashProc proc, bool identity = false);
// Sets how keys of the type compare (null: through compare_values), for a type whose keys compare
// faster than through its comparison action.
void set_key_equality(u32 type_id, KeyEqualProc proc);

// The hash of any value (case_ true: case-sensitive).
inline u32 hash_value(const Cell* value, bool case_) {
  HashProc p = hash_procedures[value->type()];
  return p ? p(value, case_) : 0;
}

// The common layouts: a 32-bit payload word through the finaliser (an id, a scalar or a node);
// murmur3 of payload words (a series value's head and node, a scalar spread over words).
u32 hash_word1(const Cell* value, bool case_);
u32 hash_word2(const Cell* value, bool case_);
u32 hash_word3(const Cell* value, bool case_);
u32 hash_words12(const Cell* value, bool case_);
u32 hash_words23(const Cell* value, bool case_);
u32 hash_words123(const Cell* value, bool case_);

// The bytes with A-Z changed to a-z, in a process-wide scratch buffer kept and enlarged as needed
// (valid until the next call).
const u8* fold_ascii(const u8* bytes, i32 length);
// Whether `length` bytes are equal, exactly or (fold) with ASCII letters folded. Every byte counts,
// NUL included.
bool compare_names(const u8* a, const u8* b, i32 length, bool fold);

// ---- Value-keyed tables (kinds 0-2) ---------------------------------------------------------

// A new table for `size` entries. With a block value (kinds 0-2) the table indexes that block from
// its head (every cell for kinds 0 and 2, every other cell for kind 1); without one a new backing
// block (or, for kinds 3-4, entry block) of `size` cells is made. n: value cells per entry for
// kinds 3 and 4. Kind 2 with n = 2 and a context! value clones that context's word table.
Ref<Node> make(i32 size, const Cell* blk, i32 kind, i32 n);

// Empties the table, resizes it for n entries and indexes the whole backing block again.
void reset(Ref<Node> table, i32 n);

// Indexes one cell of the backing block; returns the cell (re-read). status: 2 when the table was
// rebuilt instead (the rebuild indexed every cell, this one included), else 0. A kind-0 cell that
// is indexed already is left as it is.
Cell* put(Ref<Node> table, Cell* cell);
Cell* put_with_status(Ref<Node> table, Cell* cell, i32* status);
// The same by position in the backing block.
void put_index(Ref<Node> table, i32 index, i32* status = nullptr);

// Indexes the cells from `first` in steps of `step` (1 for kinds 0 and 2, 2 for kind 1). Kind 1
// merges repeated keys (strict equality): the earlier pair takes the later value and the later pair
// is removed from the block; each new key is normalised through map_normalize_key.
void fill_from_block(Ref<Node> table, i32 first, i32 step);

// Looks a value up; returns the key cell found, or null. head, skip, last and reverse apply to
// kind 0 (the chosen index must lie at a multiple of skip from the head: forward the first at or
// after it, /last the last at or after it, /reverse the last before it). op: the compare-op.
Cell* find(Ref<Node> table, const Cell* value, i32 head, i32 skip, i32 op, bool last, bool reverse);
// The same answering the position in the backing block, or -1.
i32 find_index(Ref<Node> table, const Cell* value, i32 head, i32 skip, i32 op, bool last, bool reverse);

// Saved probe of find_next; start with bucket = -1.
struct ProbeState {
  i32 bucket = -1;
  i32 start = 0;
  i32 step = 0;
};
// The next key cell (kinds 1-2) of the value's type equal (compare-op 0) to it along the probe, or
// null at the end: enumerates every map key equal to a value.
Cell* find_next(Ref<Node> table, const Cell* value, ProbeState* state);

// Removes the index entry of one cell of the backing block (kind 1: marks the pair removed).
void delete_(Ref<Node> table, Cell* cell);
void delete_index(Ref<Node> table, i32 index);
// Removes the entries of `count` cells from `first`.
void remove_range(Ref<Node> table, i32 first, i32 count);
// Kind 0 upkeep after the backing block changed: the indexes of the n cells from c are moved by d
// (with move_reverse the reverse index follows: the d cells before c (d < 0) are dropped first, or
// d empty entries (d > 0) are opened at c). Returns 1, changing nothing, when n exceeds max_shift:
// the caller must reset the table.
i32 shift_indexes(Ref<Node> table, i32 d, i32 c, i32 n, bool move_reverse);
// Kind 0 upkeep after the n cells from c were moved so that they now start at b (the cells between
// the two places shifted the other way).
void move_indexes(Ref<Node> table, i32 b, i32 c, i32 n);

// A copy indexing the given backing block (which holds a copy of the table's cells).
Ref<Node> copy(Ref<Node> table, Ref<Node> blk);
void clear(Ref<Node> table);

// Kinds 1-2: moves every live key to a table of pow2(request) buckets (at least 4), in place. Does
// nothing when the table's size would not fit.
void resize(Ref<Node> table, i32 request);
// Kind 2 growth: (buckets + 1) x 16 buckets, or (buckets - 1) x 16 when fewer than half the buckets
// hold live keys.
void grow_word_table(Ref<Node> table);
// A copy of a word table with a copy of its word list (the copied words keep their binding).
Ref<Node> clone_word_table(Ref<Node> table);

// Live entries.
inline i32 size_of(Ref<Node> table) { return record_of(table)->size; }

// ---- Pointer-keyed tables (kinds 3-4) ---------------------------------------------------------
// An entry is n + 1 cells: the key cell (header 2 while in use, 0 once deleted; w1 the key node)
// then the n value cells.

// The first value cell of the key's entry, made when the key is new; every cell of the entry gets
// header 2 (unset!). The key must be a live node: it is held (and followed when nodes move) while
// the entry block grows.
Cell* put_key(Ref<Node> table, u32 key);
Cell* get_key(Ref<Node> table, u32 key);
// Removes the key; returns its first value cell (which keeps its content), or null when absent.
Cell* delete_key(Ref<Node> table, u32 key);
void rebuild_pointer_table(Ref<Node> table, i32 request);
void rehash_pointer_table(Ref<Node> table);
// Rehashes a table whose identities went stale (kind 0 through reset, kinds 3-4 in place).
void check_compaction(Ref<Node> table);

// ---- The collector's side --------------------------------------------------------------------

struct Marker {
  // Marks the node stored at *slot (rewriting the slot when the node moved); true when newly marked.
  bool (*node)(u32* slot);
  // Marks the block whose node is at *slot, with its cells.
  void (*block)(u32* slot);
  // Marks the cells in [first, last).
  void (*cells)(Cell* first, Cell* last);
};
// Marks a table (the node at *table_slot): its record and arrays; kind 0 also the chains; kinds 0-2
// the backing block with its cells; kind 3 the value cells of live entries. Keys of kinds 3-4 and
// the owners of kind 4 are weak: they are swept, not marked. The arrays are visited even when the
// record was marked already (a node root marks a record without knowing it is a table).
void mark(u32* table_slot, const Marker& m);

// Weak sweep of a kind 3-4 table after marking: every entry whose key node is not alive (kind 4:
// or whose second value cell's w1 names a node that is not alive) is removed and its key cell
// cleared. With remap, the keys of surviving entries are rewritten (moved nodes), and in kind 4
// also the owned series' node (first value cell, w2) and the owner's context (second, w1); any
// other reference in the value cells is the caller's to mark. The stamp then makes the next
// lookup rehash.
void sweep_weak(Ref<Node> table, bool (*alive)(u32 node), u32 (*remap)(u32 node) = nullptr);

// Prints the deleted and the live buckets (diagnostic).
void dump(Ref<Node> table);

}  // namespace kiv::hashtable
