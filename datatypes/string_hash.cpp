// The string family in hash tables: hashing from the head and key equality, each character taken
// as a whole code point so that every unit width hashes and compares alike.
#include <algorithm>

#include "datatypes/string_internal.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"

namespace kiv::string {

namespace {

// fold_upper with the ASCII letters done inline: keys are mostly ASCII.
inline u32 fold_char(u32 c) {
  if (c < 0x80) return c - 'a' < 26 ? c - 32 : c;
  return static_cast<u32>(unicode::to_upper_char(static_cast<i32>(c)));
}

// Two string-family values from their heads (a head past the tail reads as empty), exactly or with
// case folded.
bool strings_equal(const Cell* a, const Cell* b, bool fold) {
  SeriesBuffer* ba = buffer_of(a);
  SeriesBuffer* bb = buffer_of(b);
  const u32 ua = ba->unit(), ub = bb->unit();
  const u32 sa = unit_shift(ua), sb = unit_shift(ub);
  const i32 ta = static_cast<i32>(ba->used_bytes() >> sa), tb = static_cast<i32>(bb->used_bytes() >> sb);
  const i32 ha = std::clamp(head_index(a), 0, ta), hb = std::clamp(head_index(b), 0, tb);
  const i32 n = ta - ha;
  if (n != tb - hb) return false;
  const std::byte* pa = ba->head_ptr() + (static_cast<u32>(ha) << sa);
  const std::byte* pb = bb->head_ptr() + (static_cast<u32>(hb) << sb);
  if (ua == ub) {
    if (std::memcmp(pa, pb, static_cast<size_t>(n) << sa) == 0) return true;
    if (!fold) return false;
  }
  for (i32 i = 0; i < n; ++i) {
    u32 ca = static_cast<u32>(read_unit(pa + (static_cast<u32>(i) << sa), ua));
    u32 cb = static_cast<u32>(read_unit(pb + (static_cast<u32>(i) << sb), ub));
    if (ca != cb && (!fold || fold_char(ca) != fold_char(cb))) return false;
  }
  return true;
}

}  // namespace

u32 hash(const Cell* s, bool case_) {
  SeriesBuffer* b = buffer_of(s);
  u32 unit = b->unit();
  u32 shift = unit_shift(unit);
  i32 total = static_cast<i32>(b->used_bytes() >> shift);
  i32 head = std::clamp(head_index(s), 0, total);
  i32 n = total - head;
  if (s->type() == hashtable::lookup_key_type) n = std::min(n, std::max(static_cast<i32>(s->w3), 0));
  return hashtable::hash_chars(b->head_ptr() + (static_cast<u32>(head) << shift), n, unit, case_);
}

bool key_equal(const Cell* key, const Cell* probe, i32 op) {
  if (op == compare_op::equal || op == compare_op::find) return strings_equal(key, probe, true);
  if (op == compare_op::strict_equal) return strings_equal(key, probe, false);
  return compare_strings(key, probe, op, false) == 0;
}

bool lookup_key_equal(const Cell* key, const Cell* probe, i32 op) {
  if (!any_string_q(key->type())) return false;
  i32 count = static_cast<i32>(probe->w3);
  Cell k = *key;
  if (length(&k) != count) return false;
  SeriesBuffer* bk = buffer_of(&k);
  SeriesBuffer* bp = buffer_of(probe);
  u32 uk = bk->unit(), up = bp->unit();
  const std::byte* pk = bk->head_ptr() + (static_cast<u32>(std::max(head_index(&k), 0)) << unit_shift(uk));
  const std::byte* pp = bp->head_ptr() + (static_cast<u32>(std::max(head_index(probe), 0)) << unit_shift(up));
  bool fold = op != compare_op::strict_equal && op != compare_op::case_sort && op != compare_op::parse_match_case;
  for (i32 i = 0; i < count; ++i) {
    u32 a = static_cast<u32>(read_unit(pk + i * uk, uk));
    u32 b = static_cast<u32>(read_unit(pp + i * up, up));
    if (a != b && (!fold || fold_char(a) != fold_char(b))) return false;
  }
  return true;
}

void register_family_type(u32 type_id) {
  hashtable::set_hash_procedure(type_id, hash);
  hashtable::set_key_equality(type_id, key_equal);
  collector::set_mark_procedure(type_id, collector::mark_any_string);
}

}  // namespace kiv::string
