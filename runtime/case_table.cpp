// Case tables and case changes of characters and strings.
#include "runtime/case_table.h"

#include <cstring>

#include "runtime/hooks.h"
#include "runtime/sys.h"
#include "runtime/unicode.h"

namespace kiv::unicode {

namespace {

constexpr i32 bmp_size = 0x10000;

template <size_t N>
constexpr bool sorted(const CasePair (&pairs)[N]) {
  for (size_t i = 1; i < N; ++i)
    if (pairs[i - 1].key >= pairs[i].key) return false;
  return true;
}
static_assert(sorted(case_data::bmp_to_upper) && sorted(case_data::bmp_to_lower));
static_assert(sorted(case_data::supplementary_to_upper) && sorted(case_data::supplementary_to_lower));

i32* make_table(const CasePair* pairs, size_t n) {
  auto* t = static_cast<i32*>(sys::allocate_zeroed(bmp_size * static_cast<i32>(sizeof(i32))));
  for (size_t i = 0; i < n; ++i) t[pairs[i].key] = pairs[i].mapped;
  return t;
}

template <size_t N>
i32 supplementary_lookup(const CasePair (&pairs)[N], i32 cp) {
  if (cp < pairs[0].key || cp > pairs[N - 1].key) return cp;
  for (const CasePair& p : pairs) {
    if (p.key > cp) break;
    if (p.key == cp) return p.mapped;
  }
  return cp;
}

}  // namespace

void build_case_tables() {
  if (to_upper_table) return;
  to_upper_table = make_table(case_data::bmp_to_upper, std::size(case_data::bmp_to_upper));
  to_lower_table = make_table(case_data::bmp_to_lower, std::size(case_data::bmp_to_lower));
}

i32 change_case_char(i32 cp, bool upper) {
  if (static_cast<u32>(cp) < bmp_size) {
    i32 mapped = (upper ? to_upper_table : to_lower_table)[cp];
    return mapped ? mapped : cp;
  }
  return upper ? supplementary_lookup(case_data::supplementary_to_upper, cp)
               : supplementary_lookup(case_data::supplementary_to_lower, cp);
}

i32 swap_case_char(i32 cp) {
  i32 up = change_case_char(cp, true);
  return up != cp ? up : change_case_char(cp, false);
}

namespace {

bool any_string_type(u32 t) {
  return t == type::string || t == type::file || t == type::url || t == type::tag || t == type::email ||
         t == type::ref;
}

[[noreturn]] void bad_part(const Cell& part) {
  Cell refinement = hooks::part_refinement ? hooks::part_refinement() : Cell{type::none, 0, 0, 0};
  raise_error(ErrorCategory::script, "invalid-refine-arg", refinement, part);
}

u32 read_char(const std::byte* p, u32 unit) {
  switch (unit) {
    case 1: return static_cast<u8>(*p);
    case 2: { u16 v; std::memcpy(&v, p, 2); return v; }
    case 4: { u32 v; std::memcpy(&v, p, 4); return v; }
    default: sys::quit(sys::Fatal::no_switch);
  }
}

}  // namespace

Cell* change_case(Cell* value, i32 part_index, bool upper) {
  if (value->type() == type::char_) {
    value->w2 = static_cast<u32>(change_case_char(static_cast<i32>(value->w2), upper));
    return value;
  }
  if (!any_string_type(value->type())) return value;

  Ref<Node> node(value->w2);
  SeriesBuffer* b = buffer_of(node);
  i32 total = static_cast<i32>(b->used_bytes() / b->unit());
  i32 head = static_cast<i32>(value->w1);
  if (head > total) {
    head = total;
    value->w1 = static_cast<u32>(total);
  }
  if (head < 0) head = 0;
  i32 available = total - head;
  i32 count = available;
  if (part_index) {
    const Cell* part = value + part_index;
    if (part->type() == type::integer) {
      count = part->as_int();
    } else if (part->type() == value->type() && part->w2 == value->w2) {
      count = static_cast<i32>(part->w1) - head;
    } else {
      bad_part(*part);
    }
    if (count < 0) count = 0;
    if (count > available) count = available;
  }

  // Written back as string/poke-char would: 0-255 stay in unit 1, a wider character widens the
  // buffer first (only the characters still to come need re-addressing).
  u32 unit = b->unit();
  for (i32 i = head; i < head + count; ++i) {
    std::byte* at = b->head_ptr() + static_cast<size_t>(i) * unit;
    u32 cp = read_char(at, unit);
    u32 mapped = static_cast<u32>(change_case_char(static_cast<i32>(cp), upper));
    if (mapped == cp) continue;
    if (mapped > 0xFF && unit < 4 && (unit == 1 || mapped > 0xFFFF)) {
      u32 to = mapped > 0xFFFF ? 4 : 2;
      b = to == 2 ? widen_1_to_2(b) : unit == 1 ? widen_1_to_4(b) : widen_2_to_4(b);
      unit = to;
      at = b->head_ptr() + static_cast<size_t>(i) * unit;
    }
    switch (unit) {
      case 1: *at = static_cast<std::byte>(mapped); break;
      case 2: { u16 v = static_cast<u16>(mapped); std::memcpy(at, &v, 2); break; }
      default: std::memcpy(at, &mapped, 4); break;
    }
  }
  if (hooks::case_change_notifier) hooks::case_change_notifier(value, upper, head, count);
  return value;
}

}  // namespace kiv::unicode
