// The scanners behind find of one character: a character and the few others that fold to the same
// upper case are looked for 16 bytes at a time (SSE2, part of the x86-64 baseline), so that find
// without /case costs about what a plain byte search costs.
#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "datatypes/string_internal.h"

namespace kiv::string::search {

namespace {

// ---- folding classes ----

// fold_upper of every Latin-1 character, made on first use (the case tables exist by then).
const i32* latin1_folds() {
  static i32 table[256];
  static bool made = false;
  if (!made) {
    for (i32 c = 0; c < 256; ++c) table[c] = fold_upper(c);
    made = true;
  }
  return table;
}

// Folded value -> the other code points that fold to it, from the to-upper pair lists (which hold
// every code point whose mapping differs from itself).
const std::unordered_map<i32, std::vector<i32>>& reverse_folds() {
  static std::unordered_map<i32, std::vector<i32>> map;
  static bool made = false;
  if (!made) {
    for (const auto& p : unicode::case_data::bmp_to_upper) map[p.mapped].push_back(p.key);
    for (const auto& p : unicode::case_data::supplementary_to_upper) map[p.mapped].push_back(p.key);
    made = true;
  }
  return map;
}

// ---- vector scanning ----

template <u32 Unit>
inline __m128i splat(i32 v) {
  if constexpr (Unit == 1) return _mm_set1_epi8(static_cast<char>(v));
  else if constexpr (Unit == 2) return _mm_set1_epi16(static_cast<short>(v));
  else return _mm_set1_epi32(v);
}

template <u32 Unit>
inline __m128i equal(__m128i a, __m128i b) {
  if constexpr (Unit == 1) return _mm_cmpeq_epi8(a, b);
  else if constexpr (Unit == 2) return _mm_cmpeq_epi16(a, b);
  else return _mm_cmpeq_epi32(a, b);
}

template <u32 Unit, int N>
struct Needles {
  __m128i v[N];
  explicit Needles(const i32* nd) {
    for (int i = 0; i < N; ++i) v[i] = splat<Unit>(nd[i]);
  }
  inline __m128i match(const std::byte* p) const {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i m = equal<Unit>(x, v[0]);
    for (int i = 1; i < N; ++i) m = _mm_or_si128(m, equal<Unit>(x, v[i]));
    return m;
  }
};

template <u32 Unit>
inline bool scalar_match(const std::byte* p, const i32* nd, int count) {
  i32 c = read_unit(p, Unit);
  for (int i = 0; i < count; ++i)
    if (c == nd[i]) return true;
  return false;
}

template <u32 Unit, int N>
i32 forward(const std::byte* base, i32 from, i32 to, const i32* nd) {
  const Needles<Unit, N> needles(nd);
  const std::byte* p = base + static_cast<size_t>(from) * Unit;
  const std::byte* end = base + static_cast<size_t>(to) * Unit;
  auto index = [&](const std::byte* q) { return static_cast<i32>((q - base) / Unit); };
  while (end - p >= 64) {
    __m128i a = needles.match(p), b = needles.match(p + 16), c = needles.match(p + 32), d = needles.match(p + 48);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)))) {
      const __m128i parts[4] = {a, b, c, d};
      for (int k = 0; k < 4; ++k)
        if (int mask = _mm_movemask_epi8(parts[k])) return index(p + k * 16 + __builtin_ctz(static_cast<u32>(mask)));
    }
    p += 64;
  }
  while (end - p >= 16) {
    if (int mask = _mm_movemask_epi8(needles.match(p))) return index(p + __builtin_ctz(static_cast<u32>(mask)));
    p += 16;
  }
  for (; p < end; p += Unit)
    if (scalar_match<Unit>(p, nd, N)) return index(p);
  return -1;
}

template <u32 Unit, int N>
i32 backward(const std::byte* base, i32 from, i32 to, const i32* nd) {
  const Needles<Unit, N> needles(nd);
  const std::byte* start = base + static_cast<size_t>(from) * Unit;
  const std::byte* p = base + static_cast<size_t>(to) * Unit;  // one past the last candidate
  auto index = [&](const std::byte* q) { return static_cast<i32>((q - base) / Unit); };
  auto last_in = [&](const std::byte* block, int mask) {
    int bit = 31 - __builtin_clz(static_cast<u32>(mask));
    return index(block + (bit / static_cast<int>(Unit)) * static_cast<int>(Unit));
  };
  while (p - start >= 64) {
    p -= 64;
    __m128i a = needles.match(p), b = needles.match(p + 16), c = needles.match(p + 32), d = needles.match(p + 48);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)))) {
      const __m128i parts[4] = {a, b, c, d};
      for (int k = 3; k >= 0; --k)
        if (int mask = _mm_movemask_epi8(parts[k])) return last_in(p + k * 16, mask);
    }
  }
  while (p - start >= 16) {
    p -= 16;
    if (int mask = _mm_movemask_epi8(needles.match(p))) return last_in(p, mask);
  }
  while (p > start) {
    p -= Unit;
    if (scalar_match<Unit>(p, nd, N)) return index(p);
  }
  return -1;
}

template <u32 Unit>
i32 forward_n(const std::byte* base, i32 from, i32 to, const i32* nd, int count) {
  switch (count) {
    case 1: return forward<Unit, 1>(base, from, to, nd);
    case 2: return forward<Unit, 2>(base, from, to, nd);
    case 3: return forward<Unit, 3>(base, from, to, nd);
    default: return forward<Unit, 4>(base, from, to, nd);
  }
}

template <u32 Unit>
i32 backward_n(const std::byte* base, i32 from, i32 to, const i32* nd, int count) {
  switch (count) {
    case 1: return backward<Unit, 1>(base, from, to, nd);
    case 2: return backward<Unit, 2>(base, from, to, nd);
    case 3: return backward<Unit, 3>(base, from, to, nd);
    default: return backward<Unit, 4>(base, from, to, nd);
  }
}

// Needles a buffer of the unit cannot hold never match; drop them (and pad nothing: count 0 means
// no match is possible).
int usable(u32 unit, const i32* nd, int count, i32* out) {
  i64 max = unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : 0x7FFFFFFF;
  int n = 0;
  for (int i = 0; i < count && i < 4; ++i)
    if (nd[i] >= 0 && nd[i] <= max) out[n++] = nd[i];
  return n;
}

}  // namespace

int fold_class(i32 cp, u32 unit, i32* out, int capacity) {
  i32 folded = fold_upper(cp);
  int n = 0;
  auto add = [&](i32 c) {
    if (n < capacity) out[n] = c;
    ++n;
  };
  if (unit == 1) {
    const i32* folds = latin1_folds();
    for (i32 c = 0; c < 256; ++c)
      if (folds[c] == folded) add(c);
    return n;
  }
  i64 max = unit == 2 ? 0xFFFF : 0x7FFFFFFF;
  if (fold_upper(folded) == folded && folded <= max) add(folded);
  if (cp >= 0x20000 && folded == cp) return n;
  auto& map = reverse_folds();
  auto it = map.find(folded);
  if (it != map.end())
    for (i32 c : it->second)
      if (c <= max) add(c);
  return n;
}

i32 forward_any(const std::byte* base, i32 from, i32 to, u32 unit, const i32* needles, int count) {
  if (from >= to) return -1;
  i32 nd[4];
  count = usable(unit, needles, count, nd);
  if (count == 0) return -1;
  switch (unit) {
    case 1:
      if (count == 1) {
        const void* hit = std::memchr(base + from, nd[0], static_cast<size_t>(to - from));
        return hit ? static_cast<i32>(static_cast<const std::byte*>(hit) - base) : -1;
      }
      return forward_n<1>(base, from, to, nd, count);
    case 2: return forward_n<2>(base, from, to, nd, count);
    case 4: return forward_n<4>(base, from, to, nd, count);
    default: bad_unit();
  }
}

i32 backward_any(const std::byte* base, i32 from, i32 to, u32 unit, const i32* needles, int count) {
  if (from >= to) return -1;
  i32 nd[4];
  count = usable(unit, needles, count, nd);
  if (count == 0) return -1;
  switch (unit) {
    case 1:
      if (count == 1) {
        const void* hit = memrchr(base + from, nd[0], static_cast<size_t>(to - from));
        return hit ? static_cast<i32>(static_cast<const std::byte*>(hit) - base) : -1;
      }
      return backward_n<1>(base, from, to, nd, count);
    case 2: return backward_n<2>(base, from, to, nd, count);
    case 4: return backward_n<4>(base, from, to, nd, count);
    default: bad_unit();
  }
}

}  // namespace kiv::string::search
