#include "datatypes/hash.h"

#include <algorithm>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/block_search.h"
#include "datatypes/dispatch.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/unset.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::hash {

namespace {

i32 total_of(const Cell* h) { return series::total_length(h); }

// A new index over every cell of the hash!'s block.
void index_all(Cell* h) {
  Cell whole{type::block, 0, h->w2, 0};
  RootCell keep(whole);
  Ref<Node> table = hashtable::make(std::max(total_of(&whole), 1), &whole, hashtable::kind_hash, 0);
  h->w3 = table.offset();
}

// Brings the index up to date with one change of the block: the entries of the removed cells go,
// those after them are renumbered, the inserted cells are added. A change too far from the tail to
// renumber cheaply, or one the caller did not describe, indexes the whole block again.
void changed(Cell* h, i32 at, i32 removed, i32 inserted) {
  if (h->w3 == 0) return index_all(h);
  Ref<Node> table(h->w3);
  hashtable::Root keep(table);
  const i32 total = total_of(h);
  if (at < 0) return hashtable::reset(table, total);
  for (i32 i = at; i < at + removed; ++i) hashtable::delete_index(table, i);
  const i32 after = total - inserted - at;
  if (inserted != removed && hashtable::shift_indexes(table, inserted - removed, at + removed, after, true) != 0)
    return hashtable::reset(table, total);
  for (i32 i = at; i < at + inserted; ++i) {
    i32 status;
    hashtable::put_index(table, i, &status);
    if (status == 2) return;  // rebuilt: every cell is indexed
  }
}

Cell* make_or_to(Cell* spec, bool to) {
  const u32 st = spec->type();
  if (st == type::hash) return actions::dispatch_copy(spec, stack::push_cell(), nullptr, false, nullptr);
  Cell* out;
  if (!to && (st == type::integer || st == type::float_)) {
    out = block::push_new(std::max(cell::to_int32_checked(spec), 1));
  } else if (!to && st == type::block) {
    out = block::clone(spec, false, false);
  } else {
    out = block::to(nullptr, spec, type::block);
  }
  return make_at(out, out);
}

Cell* make(Cell*, Cell* spec, u32) { return make_or_to(spec, false); }
Cell* to(Cell*, Cell* spec, u32) { return make_or_to(spec, true); }

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  if (!only) {
    constexpr std::string_view prefix = "make hash! ";
    string::append_utf8(out, prefix);
    limit -= static_cast<i32>(prefix.size());
  }
  return block::mold(value, out, false, all, flat, part, limit, indent);
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  Cell src = *value;
  RootCell keep(src);
  block::copy(value, result, part, deep, types);
  cell::set_type(result, type::hash);
  // A whole shallow copy holds the same cells at the same places: the source's index serves as it
  // is. Deep copies hold new series, which hash by identity, so they are indexed anew.
  const bool same_cells = !part && !deep && !types && series::head_index(&src) <= 0;
  if (same_cells && src.w3) {
    Ref<Node> table = hashtable::copy(Ref<Node>(src.w3), series::node_of(result));
    result->w3 = table.offset();
  } else {
    result->w3 = 0;
    index_all(result);
  }
  return result;
}

}  // namespace

Cell* make_at(Cell* out, const Cell* blk) {
  if (out != blk) *out = *blk;
  out->header = type::hash;
  out->w3 = 0;
  index_all(out);
  return out;
}

void init() {
  using action::inherit;
  // sort and trim are block!'s: they report their change like every block action, and the index
  // is rebuilt from it.
  datatype::register_type(type::hash, type::block, "hash!",
                          {.make = make,
                           .reflect = inherit,
                           .to = to,
                           .form = inherit,
                           .mold = mold,
                           .eval_path = inherit,
                           .compare = inherit,
                           .append = inherit,
                           .at = inherit,
                           .back = inherit,
                           .change = inherit,
                           .clear = inherit,
                           .copy = copy,
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
                           .put = inherit,
                           .remove = inherit,
                           .reverse = inherit,
                           .select = inherit,
                           .sort = inherit,
                           .skip = inherit,
                           .swap = inherit,
                           .tail = inherit,
                           .tail_q = inherit,
                           .take = inherit,
                           .trim = inherit,
                           .modify = inherit});
  hashtable::set_hash_procedure(type::hash, hashtable::hash_words12, true);
  hooks::hash_changed = changed;
}

}  // namespace kiv::hash
