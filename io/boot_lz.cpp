#include "io/boot_lz.h"

#include <cstring>
#include <vector>

#include "runtime/sys.h"

namespace kiv::boot_lz {
namespace {

constexpr u32 max_match = 566;          // M + 3 with M up to 563
constexpr u32 window = 1u << 18;        // distances 1 to 262,144
constexpr u32 h3_size = 1u << 19;
constexpr u32 chain_tries = 256;

inline u32 load_le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
inline void store_le32(u8* p, u32 v) {
  p[0] = u8(v);
  p[1] = u8(v >> 8);
  p[2] = u8(v >> 16);
  p[3] = u8(v >> 24);
}

// Reads fields least significant bit first, taking a new byte only when a bit of it is needed, so
// that a block ends right after the last byte it used. Never reads at or past `end`.
struct BitReader {
  const u8* p;
  const u8* end;
  u32 acc = 0;
  u32 cnt = 0;
  bool bad = false;

  u32 get(u32 n) {
    while (cnt < n) {
      if (p >= end) {
        bad = true;
        return 0;
      }
      acc |= u32(*p++) << cnt;
      cnt += 8;
    }
    u32 v = acc & ((1u << n) - 1);
    acc >>= n;
    cnt -= n;
    return v;
  }
};

struct BitWriter {
  u8* out;
  u32 cap;
  u32 pos = 0;
  u32 acc = 0;
  u32 cnt = 0;
  bool overflow = false;

  void put(u32 value, u32 n) {
    acc |= value << cnt;
    cnt += n;
    while (cnt >= 8) {
      byte(u8(acc));
      acc >>= 8;
      cnt -= 8;
    }
  }
  void byte(u8 b) {
    if (pos < cap) out[pos] = b;
    else overflow = true;
    ++pos;
  }
};

// Most bytes one bit of block stream can yield: a 566-byte match costs 22 bits.
constexpr u64 max_bytes_per_22_bits = max_match;

}  // namespace

u8* decompress(const u8* image, u32 length, u32* out_size) {
  if (!image || length < 8) return nullptr;
  const u32 c = load_le32(image);
  const u32 u = load_le32(image + 4);
  if (c > length - 8) return nullptr;
  // What the block area could produce at best bounds the buffer, whatever U claims.
  if (u64(u) > u64(c) * 8 * max_bytes_per_22_bits / 22 || u > 0x7FFFFFF0u) return nullptr;
  u8* buffer = static_cast<u8*>(sys::allocate(i32(u + 8)));
  auto fail = [&]() -> u8* {
    sys::free(buffer);
    return nullptr;
  };
  const u8* p = image + 8;
  const u8* const end = p + c;
  u32 produced = 0;
  while (p < end) {
    if (end - p < 4) return fail();
    const u32 len = load_le32(p);
    p += 4;
    if (len < 1 || len > block_size || len > u - produced) return fail();
    u8* const block = buffer + produced;
    BitReader r{p, end};
    u32 o = 0;
    while (o < len) {
      if (r.get(1) == 0) {
        u32 b = r.get(8);
        if (r.bad) return fail();
        block[o++] = u8(b);
        continue;
      }
      u32 zeros = 0;
      while (zeros < 5 && r.get(1) == 0 && !r.bad) ++zeros;
      u32 m;
      switch (zeros) {
        case 0: m = r.get(2); break;
        case 1: m = 4 + r.get(2); break;
        case 2: m = 8 + r.get(2); break;
        case 3: m = 12 + r.get(3); break;
        case 4: m = 20 + r.get(5); break;
        default: m = 52 + r.get(9); break;
      }
      const u32 n = r.get(4) + 2;
      const u32 d = n == 2 ? r.get(3) : (1u << n) + r.get(n);
      if (r.bad) return fail();
      const u32 count = m + 3;
      if (d + 1 > o || count > len - o) return fail();
      const u8* src = block + o - (d + 1);
      for (u32 i = 0; i < count; ++i) block[o + i] = src[i];
      o += count;
    }
    p = r.p;
    produced += len;
  }
  if (produced != u) return fail();
  if (out_size) *out_size = produced;
  return buffer;
}

void free_stream(u8* buffer) { sys::free(buffer); }

i32 compress(const u8* src, u32 n, u8* dest) {
  if (n <= 127) return -1;
  // Heads hold positions within the current block, -1 for none. The tables are sized to the
  // largest block (the first), so that small inputs do not pay for clearing megabytes.
  u32 bits = 10;
  while (bits < 20 && (1u << bits) < n) ++bits;  // up to 2^20 four-byte heads
  const u32 h3_mask = (bits < 19 ? 1u << bits : h3_size) - 1;
  const u32 h4_mask = (1u << bits) - 1;
  const u32 chain_mask = (bits < 18 ? 1u << bits : window) - 1;
  std::vector<i32> head3(h3_mask + 1), head4(h4_mask + 1), chain(chain_mask + 1);
  BitWriter w{dest + 8, n - 8};
  for (u32 start = 0; start < n && !w.overflow; start += block_size) {
    const u32 len = n - start < block_size ? n - start : block_size;
    const u8* b = src + start;
    w.put(len & 0xFFFF, 16);
    w.put(len >> 16, 16);
    std::memset(head3.data(), 0xFF, head3.size() * sizeof(i32));
    std::memset(head4.data(), 0xFF, head4.size() * sizeof(i32));
    auto hash3 = [&](u32 p) { return (u32(b[p]) << 14 ^ u32(b[p + 1]) << 7 ^ b[p + 2]) & h3_mask; };
    auto hash4 = [&](u32 p) { return (u32(b[p]) << 15 ^ u32(b[p + 1]) << 10 ^ u32(b[p + 2]) << 5 ^ b[p + 3]) & h4_mask; };
    auto match_len = [&](u32 p, u32 c, u32 limit) {
      u32 l = 0;
      while (l < limit && b[p + l] == b[c + l]) ++l;
      return l;
    };
    u32 p = 0;
    while (p < len && !w.overflow) {
      const u32 limit = len - p < max_match ? len - p : max_match;
      u32 best_len = 0, best_dist = 0;
      if (limit >= 3) {
        i32 c = head3[hash3(p)];
        if (c >= 0 && p - u32(c) <= window) {
          best_len = match_len(p, u32(c), limit);
          best_dist = p - u32(c);
        }
      }
      if (limit >= 4 && best_len < limit) {
        i32 c = head4[hash4(p)];
        for (u32 tries = chain_tries; c >= 0 && tries > 0; --tries) {
          const u32 dist = p - u32(c);
          if (dist > window) break;
          if (b[u32(c) + best_len] == b[p + best_len]) {
            const u32 l = match_len(p, u32(c), limit);
            // A farther match has to be longer to pay for its longer distance code.
            u32 penalty = 0;
            for (u32 x = dist >> 4; x > best_dist; x >>= 3) ++penalty;
            if (l > best_len + penalty) {
              best_len = l;
              best_dist = dist;
              if (l == limit) break;
            }
          }
          const i32 next = chain[u32(c) & chain_mask];
          if (next >= c) break;
          c = next;
        }
      }
      if (best_len == 3 && best_dist > 65536) best_len = 0;
      u32 step;
      if (best_len < 3) {
        w.put(u32(b[p]) << 1, 9);
        step = 1;
      } else {
        const u32 m = best_len - 3;
        w.put(1, 1);
        if (m < 4) w.put(1 | m << 1, 3);
        else if (m < 8) w.put(2 | (m - 4) << 2, 4);
        else if (m < 12) w.put(4 | (m - 8) << 3, 5);
        else if (m < 20) w.put(8 | (m - 12) << 4, 7);
        else if (m < 52) w.put(16 | (m - 20) << 5, 10);
        else w.put((m - 52) << 5, 14);
        const u32 d = best_dist - 1;
        u32 nb = 2;
        while (d >= (1u << (nb + 1))) ++nb;
        w.put(nb - 2, 4);
        if (nb == 2) w.put(d, 3);
        else w.put(d - (1u << nb), nb);
        step = best_len;
      }
      for (u32 q = p; q < p + step; ++q) {
        if (q + 3 <= len) head3[hash3(q)] = i32(q);
        if (q + 4 <= len) {
          u32 h = hash4(q);
          chain[q & chain_mask] = head4[h];
          head4[h] = i32(q);
        }
      }
      p += step;
    }
    // Flush the last partial byte; the next block starts on a fresh byte.
    w.put(0, 7);
    w.acc = 0;
    w.cnt = 0;
  }
  if (w.overflow || w.pos >= n - 8) return -1;
  store_le32(dest, w.pos);
  store_le32(dest + 4, n);
  return i32(w.pos + 8);
}

}  // namespace kiv::boot_lz
