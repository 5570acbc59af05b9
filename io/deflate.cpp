// DEFLATE compression and decompression with the zlib and gzip framings.
//
// The compressor is a lazy-matching hash-chain coder over the whole input (the input is always in
// memory, so the window never slides): symbols are buffered 16,384 at a time and each buffer becomes
// one block coded stored, with the fixed code or with its own dynamic code, whichever is smallest.
// The decompressor is table driven: a 10-bit (literal/length) or 8-bit (distance) first-level table
// with second-level tables for longer codes, and a fast loop that runs without bounds checks while
// plenty of input and output room remain.
#include "io/deflate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "io/checksum_core.h"

namespace kiv::deflate {
namespace {

// ---------------------------------------------------------------------------------------------
// Shared tables

constexpr u16 length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr u8 length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr u16 dist_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                               193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr u8 dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which the code-length code's lengths are sent.
constexpr u8 cl_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr int litlen_symbols = 286;
constexpr int dist_symbols = 30;

inline u32 load_le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
inline u32 load_be32(const u8* p) { return u32(p[0]) << 24 | u32(p[1]) << 16 | u32(p[2]) << 8 | u32(p[3]); }
inline void store_le32(u8* p, u32 v) {
  p[0] = u8(v);
  p[1] = u8(v >> 8);
  p[2] = u8(v >> 16);
  p[3] = u8(v >> 24);
}
inline void store_be32(u8* p, u32 v) {
  p[0] = u8(v >> 24);
  p[1] = u8(v >> 16);
  p[2] = u8(v >> 8);
  p[3] = u8(v);
}
inline u64 load64(const u8* p) {
  u64 v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian host
}

constexpr u32 reverse_bits(u32 code, int len) {
  u32 r = 0;
  for (int i = 0; i < len; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

// Canonical codes for the given lengths, stored bit-reversed for least-significant-first output.
constexpr void build_codes(const u8* lens, u16* codes, int count) {
  u16 bl_count[16] = {};
  for (int i = 0; i < count; ++i) bl_count[lens[i]]++;
  bl_count[0] = 0;
  u16 next[16] = {};
  u32 code = 0;
  for (int len = 1; len < 16; ++len) {
    code = (code + bl_count[len - 1]) << 1;
    next[len] = u16(code);
  }
  for (int i = 0; i < count; ++i) {
    int len = lens[i];
    codes[i] = len ? u16(reverse_bits(next[len]++, len)) : 0;
  }
}

constexpr void fixed_litlen_lengths(u8* lens) {
  for (int i = 0; i < 288; ++i) lens[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
}

// ---------------------------------------------------------------------------------------------
// Compressor

constexpr u32 min_match = 3;
constexpr u32 max_match = 258;
constexpr u32 chain_size = 32768;  // chain links, indexed by position modulo this
constexpr u32 max_distance = 32767;
constexpr u32 sym_capacity = 16384;
constexpr u32 lazy_limit = 16;     // a pending match this long is taken without looking further
constexpr u32 good_length = 8;     // a pending match this long shortens the chain search
constexpr u32 nice_length = 128;   // a match this long ends the search
constexpr u32 chain_long = 128;
constexpr u32 chain_short = 32;
constexpr u32 too_far = 4096;      // 3-byte matches farther than this cost more than literals

struct FixedCodes {
  u8 lit_len[288];
  u16 lit_code[288];
  u16 dist_code[30];
};

constexpr FixedCodes make_fixed_codes() {
  FixedCodes f{};
  fixed_litlen_lengths(f.lit_len);
  build_codes(f.lit_len, f.lit_code, 288);
  u8 dl[30] = {};
  for (auto& l : dl) l = 5;
  build_codes(dl, f.dist_code, 30);
  return f;
}
constexpr FixedCodes fixed = make_fixed_codes();

// Length - 3 (0-255) to length code 0-28.
constexpr u32 length_code_of(u32 v) {
  if (v < 8) return v;
  if (v == 255) return 28;
  int lg = 31 - __builtin_clz(v);
  int k = lg - 2;
  return (v >> k) + 4 * k;
}
struct LengthCodes {
  u8 code[256];
};
constexpr LengthCodes make_length_codes() {
  LengthCodes t{};
  for (u32 v = 0; v < 256; ++v) t.code[v] = u8(length_code_of(v));
  return t;
}
constexpr LengthCodes length_codes = make_length_codes();

// Distance (1-32,768) to distance code 0-29.
inline u32 distance_code(u32 dist) {
  u32 v = dist - 1;
  if (v < 4) return v;
  int k = 31 - __builtin_clz(v) - 1;
  return (v >> k) + 2 * k;
}

// Least-significant-first bit writer. Bytes are stored only below the capacity, but the position
// always advances, so the final position is the full size even when the buffer was too small.
struct BitWriter {
  u8* out;
  u64 cap;
  u64 pos = 0;
  u64 buf = 0;
  u32 cnt = 0;

  void put_byte(u8 b) {
    if (pos < cap) out[pos] = b;
    ++pos;
  }
  void put(u32 value, u32 nbits) {
    buf |= u64(value) << cnt;
    cnt += nbits;
    if (cnt >= 32) {
      if (pos + 4 <= cap) {
        store_le32(out + pos, u32(buf));
        pos += 4;
      } else {
        for (int i = 0; i < 4; ++i) put_byte(u8(buf >> (8 * i)));
      }
      buf >>= 32;
      cnt -= 32;
    }
  }
  // Pads with zero bits to a byte boundary and writes out everything held.
  void align() {
    while (cnt > 0) {
      put_byte(u8(buf));
      buf >>= 8;
      cnt = cnt > 8 ? cnt - 8 : 0;
    }
    buf = 0;
  }
  void put_bytes(const u8* p, u32 n) {
    if (pos < cap) std::memcpy(out + pos, p, std::min<u64>(n, cap - pos));
    pos += n;
  }
};

// Frequencies, lengths and codes of the three alphabets side by side.
constexpr int lit_at = 0;
constexpr int dist_at = 288;
constexpr int cl_at = 320;
constexpr int table_size = 340;

struct Work {
  u32 head[chain_size];   // position + chain_size of the newest string with each hash; 0 = none
  u32 chain[chain_size];  // the same for the previous string with the same hash
  u32 syms[sym_capacity];
  u32 freq[table_size];
  u16 codes[table_size];
  u8 lens[table_size];
};

// A minimum-redundancy code for `n` symbols limited to `max_len` bits (in-place two-queue
// construction over the sorted frequencies, then the over-long lengths folded back).
void build_lengths(const u32* freq, u8* lens, int n, int max_len) {
  u64 keys[288];
  u32 a[288];
  int m = 0;
  for (int i = 0; i < n; ++i) {
    lens[i] = 0;
    if (freq[i]) keys[m++] = u64(freq[i]) << 16 | u32(i);
  }
  if (m < 2) {
    // Complete the code by hand: a one-symbol code still needs two codes of length 1.
    lens[0] = lens[1] = 1;
    if (m == 1 && (keys[0] & 0xFFFF) >= 2) {
      lens[1] = 0;
      lens[keys[0] & 0xFFFF] = 1;
    }
    return;
  }
  std::sort(keys, keys + m);
  for (int i = 0; i < m; ++i) a[i] = u32(keys[i] >> 16);

  // Parent pointers, left to right (a leaf wins a tie).
  a[0] += a[1];
  int root = 0, leaf = 2;
  for (int next = 1; next < m - 1; ++next) {
    if (leaf >= m || a[root] < a[leaf]) {
      a[next] = a[root];
      a[root++] = u32(next);
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= m || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = u32(next);
    } else {
      a[next] += a[leaf++];
    }
  }
  // Internal node depths, right to left.
  a[m - 2] = 0;
  for (int next = m - 3; next >= 0; --next) a[next] = a[a[next]] + 1;
  // Leaf depths counted per length.
  u32 count[290] = {};
  {
    int avail = 1, used = 0, depth = 0;
    root = m - 2;
    int next = m - 1;
    while (avail > 0) {
      while (root >= 0 && int(a[root]) == depth) {
        ++used;
        --root;
      }
      while (avail > used) {
        count[depth]++;
        --next;
        --avail;
      }
      avail = 2 * used;
      ++depth;
      used = 0;
    }
  }
  // Fold lengths above the maximum onto it, then restore the Kraft sum: each step turns one
  // maximum-length code and one shorter code of length k into two codes of length k + 1.
  for (int d = max_len + 1; d < 290; ++d) {
    count[max_len] += count[d];
    count[d] = 0;
  }
  u64 kraft = 0;
  for (int d = 1; d <= max_len; ++d) kraft += u64(count[d]) << (max_len - d);
  while (kraft > (u64(1) << max_len)) {
    count[max_len]--;
    int k = max_len - 1;
    while (k > 0 && count[k] == 0) --k;
    count[k]--;
    count[k + 1] += 2;
    --kraft;
  }
  // The shortest lengths go to the most frequent symbols.
  int idx = m - 1;
  for (int d = 1; d <= max_len; ++d)
    for (u32 c = count[d]; c > 0; --c) lens[keys[idx--] & 0xFFFF] = u8(d);
}

// Run-length codes a sequence of code lengths with the code-length alphabet. Counts the symbols
// in `freq` (at cl_at) when `w` is null, else writes them with `codes`/`lens`.
void send_lengths(const u8* seq, int n, u32* freq, BitWriter* w, const u16* codes, const u8* lens) {
  auto emit = [&](u32 sym, u32 extra, u32 extra_bits) {
    if (!w) {
      freq[cl_at + sym]++;
    } else {
      w->put(codes[cl_at + sym], lens[cl_at + sym]);
      if (extra_bits) w->put(extra, extra_bits);
    }
  };
  int prev = -1;
  int next = seq[0];
  int count = 0;
  int max_count = next == 0 ? 138 : 7;
  int min_count = next == 0 ? 3 : 4;
  for (int i = 0; i < n; ++i) {
    int cur = next;
    next = i + 1 < n ? seq[i + 1] : -1;
    if (++count < max_count && cur == next) continue;
    if (count < min_count) {
      while (count--) emit(u32(cur), 0, 0);
    } else if (cur != 0) {
      if (cur != prev) {
        emit(u32(cur), 0, 0);
        --count;
      }
      emit(16, u32(count - 3), 2);
    } else if (count <= 10) {
      emit(17, u32(count - 3), 3);
    } else {
      emit(18, u32(count - 11), 7);
    }
    count = 0;
    prev = cur;
    if (next == 0) {
      max_count = 138;
      min_count = 3;
    } else if (cur == next) {
      max_count = 6;
      min_count = 3;
    } else {
      max_count = 7;
      min_count = 4;
    }
  }
}

void put_symbols(BitWriter& w, const u32* syms, u32 nsyms, const u16* lit_code, const u8* lit_len,
                 const u16* dist_code, const u8* dist_len) {
  for (u32 i = 0; i < nsyms; ++i) {
    u32 s = syms[i];
    if (s < 256) {
      w.put(lit_code[s], lit_len[s]);
      continue;
    }
    u32 lv = s & 0xFF;
    u32 lc = length_codes.code[lv];
    u32 bits = lit_code[257 + lc], n = lit_len[257 + lc];
    bits |= (lv - (length_base[lc] - 3)) << n;
    n += length_extra[lc];
    w.put(bits, n);
    u32 dist = s >> 8;
    u32 dc = distance_code(dist);
    bits = dist_code[dc];
    n = dist_len[dc];
    bits |= (dist - dist_base[dc]) << n;
    n += dist_extra[dc];
    w.put(bits, n);
  }
  w.put(lit_code[256], lit_len[256]);
}

// Writes the buffered symbols, which cover exactly in[start, end), as one block (or as a run of
// stored blocks when that is smallest), then clears the frequencies.
void write_block(Work& wk, BitWriter& w, const u8* in, u32 start, u32 end, u32 nsyms, bool final) {
  u32* freq = wk.freq;
  u8* lens = wk.lens;
  freq[256] = 1;
  build_lengths(freq + lit_at, lens + lit_at, litlen_symbols, 15);
  build_lengths(freq + dist_at, lens + dist_at, dist_symbols, 15);
  int hlit = litlen_symbols;
  while (hlit > 257 && lens[lit_at + hlit - 1] == 0) --hlit;
  int hdist = dist_symbols;
  while (hdist > 1 && lens[dist_at + hdist - 1] == 0) --hdist;
  for (int i = 0; i < 19; ++i) freq[cl_at + i] = 0;
  send_lengths(lens + lit_at, hlit, freq, nullptr, nullptr, nullptr);
  send_lengths(lens + dist_at, hdist, freq, nullptr, nullptr, nullptr);
  build_lengths(freq + cl_at, lens + cl_at, 19, 7);
  int hclen = 19;
  while (hclen > 4 && lens[cl_at + cl_order[hclen - 1]] == 0) --hclen;

  u64 dyn = 17 + 3 * u64(hclen) + 2 * u64(freq[cl_at + 16]) + 3 * u64(freq[cl_at + 17]) + 7 * u64(freq[cl_at + 18]);
  for (int i = 0; i < 19; ++i) dyn += u64(freq[cl_at + i]) * lens[cl_at + i];
  u64 fix = 3;
  for (int i = 0; i < litlen_symbols; ++i) {
    u64 extra = i > 256 ? length_extra[i - 257] : 0;
    dyn += u64(freq[lit_at + i]) * (lens[lit_at + i] + extra);
    fix += u64(freq[lit_at + i]) * (fixed.lit_len[i] + extra);
  }
  for (int i = 0; i < dist_symbols; ++i) {
    dyn += u64(freq[dist_at + i]) * (lens[dist_at + i] + dist_extra[i]);
    fix += u64(freq[dist_at + i]) * (5 + dist_extra[i]);
  }
  u64 bytes = end - start;
  u64 pieces = bytes == 0 ? 1 : (bytes + 65534) / 65535;
  u64 stored = 3 + (8 - (w.cnt + 3) % 8) % 8 + 32 + 8 * bytes + 40 * (pieces - 1);

  if (stored <= dyn && stored <= fix) {
    const u8* p = in + start;
    for (u64 i = 0; i < pieces; ++i) {
      u32 n = u32(std::min<u64>(bytes, 65535));
      bytes -= n;
      w.put(final && i + 1 == pieces ? 1 : 0, 3);
      w.align();
      w.put(n | (~n & 0xFFFF) << 16, 32);
      w.align();
      w.put_bytes(p, n);
      p += n;
    }
  } else if (dyn < fix) {
    build_codes(lens + lit_at, wk.codes + lit_at, litlen_symbols);
    build_codes(lens + dist_at, wk.codes + dist_at, dist_symbols);
    build_codes(lens + cl_at, wk.codes + cl_at, 19);
    w.put((final ? 1 : 0) | 4, 3);
    w.put(u32(hlit - 257), 5);
    w.put(u32(hdist - 1), 5);
    w.put(u32(hclen - 4), 4);
    for (int i = 0; i < hclen; ++i) w.put(lens[cl_at + cl_order[i]], 3);
    send_lengths(lens + lit_at, hlit, nullptr, &w, wk.codes, lens);
    send_lengths(lens + dist_at, hdist, nullptr, &w, wk.codes, lens);
    put_symbols(w, wk.syms, nsyms, wk.codes + lit_at, lens + lit_at, wk.codes + dist_at, lens + dist_at);
  } else {
    static constexpr u8 five[30] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
                                    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
    w.put((final ? 1 : 0) | 2, 3);
    put_symbols(w, wk.syms, nsyms, fixed.lit_code, fixed.lit_len, fixed.dist_code, five);
  }
  std::memset(freq, 0, sizeof wk.freq);
}

// Length of the common prefix of a and b, known to share their first `from` bytes, up to limit.
inline u32 match_length(const u8* a, const u8* b, u32 from, u32 limit) {
  u32 l = from;
  while (l + 8 <= limit) {
    u64 x = load64(a + l) ^ load64(b + l);
    if (x) return l + (__builtin_ctzll(x) >> 3);
    l += 8;
  }
  while (l < limit && a[l] == b[l]) ++l;
  return l;
}

struct Compressor {
  Work& wk;
  const u8* in;
  u32 n;
  u32 hash_shift;

  u32 hash(u32 pos) const {
    u32 v = u32(in[pos]) | u32(in[pos + 1]) << 8 | u32(in[pos + 2]) << 16;
    return (v * 0x9E3779B1u) >> hash_shift;
  }
  // Enters the string at pos into its hash chain and returns the previous head (0 = none).
  u32 insert(u32 pos) {
    if (pos + min_match > n) return 0;
    u32 h = hash(pos);
    u32 cand = wk.head[h];
    wk.head[h] = pos + chain_size;
    wk.chain[pos & (chain_size - 1)] = cand;
    return cand;
  }

  // Longest match for the string at pos among the chain from `cand`, better than `best`.
  u32 longest_match(u32 pos, u32 cand, u32 best, u32 limit, u32& dist) const {
    if (best >= limit) return best;
    u32 budget = best >= good_length ? chain_short : chain_long;
    u32 nice = std::min(nice_length, limit);
    const u8* scan = in + pos;
    for (;;) {
      u32 d = pos + chain_size - cand;
      if (d > max_distance) break;
      const u8* m = scan - d;
      if (m[best] == scan[best] && m[best - 1] == scan[best - 1] && m[0] == scan[0] && m[1] == scan[1]) {
        u32 len = match_length(scan, m, 2, limit);
        if (len > best) {
          best = len;
          dist = d;
          if (len >= nice) break;
        }
      }
      if (--budget == 0) break;
      u32 next = wk.chain[cand & (chain_size - 1)];
      if (next >= cand) break;
      cand = next;
    }
    return best;
  }
};

}  // namespace

int compress(u8* out, u32& size, const u8* in, u32 length) {
  // Chain entries are positions biased by the chain size in 32 bits; and the output of such an
  // input could not be sized in 32 bits anyway.
  if (length > 0xFFF00000u) {
    size = 0;
    return bad_data;
  }
  BitWriter w{out, out ? size : 0};
  std::unique_ptr<Work, decltype(&std::free)> work(static_cast<Work*>(std::calloc(1, sizeof(Work))), &std::free);
  if (!work) {
    size = 0;
    return bad_data;
  }
  Work& wk = *work;
  u32 bits = 8;
  while (bits < 15 && (u64(1) << bits) < length) ++bits;
  Compressor c{wk, in, length, 32 - bits};

  u32 nsyms = 0, block_start = 0, block_end = 0;
  auto lit = [&](u8 b) {
    wk.syms[nsyms++] = b;
    wk.freq[lit_at + b]++;
    block_end += 1;
  };
  auto match = [&](u32 len, u32 dist) {
    wk.syms[nsyms++] = dist << 8 | (len - min_match);
    wk.freq[lit_at + 257 + length_codes.code[len - min_match]]++;
    wk.freq[dist_at + distance_code(dist)]++;
    block_end += len;
  };

  u32 prev_len = min_match - 1, prev_dist = 0;
  bool literal_pending = false;
  u32 pos = 0;
  while (pos < length) {
    u32 cand = c.insert(pos);
    u32 cur_len = min_match - 1, cur_dist = 0;
    u32 limit = std::min(length - pos, max_match);
    if (cand && pos + chain_size - cand <= max_distance && prev_len < lazy_limit && limit >= min_match) {
      cur_len = c.longest_match(pos, cand, prev_len, limit, cur_dist);
      if (cur_len <= prev_len) {
        cur_len = min_match - 1;  // nothing better than the pending match
      } else if (cur_len == min_match && cur_dist > too_far) {
        cur_len = min_match - 1;
      }
    }
    if (prev_len >= min_match && cur_len <= prev_len) {
      // The pending match (starting at pos - 1) wins; the positions it covers join the chains.
      match(prev_len, prev_dist);
      u32 end = pos - 1 + prev_len;
      for (u32 q = pos + 1; q < end; ++q) c.insert(q);
      pos = end;
      prev_len = min_match - 1;
      literal_pending = false;
    } else {
      if (literal_pending) lit(in[pos - 1]);
      literal_pending = true;
      prev_len = cur_len;
      prev_dist = cur_dist;
      ++pos;
    }
    if (nsyms == sym_capacity) {
      // The block covers exactly the bytes of its symbols: a pending literal or match belongs
      // to the next block.
      write_block(wk, w, in, block_start, block_end, nsyms, false);
      block_start = block_end;
      nsyms = 0;
    }
  }
  if (literal_pending) lit(in[length - 1]);
  write_block(wk, w, in, block_start, block_end, nsyms, true);
  w.align();
  if (w.pos > 0xFFFFFFFFu) {
    size = 0;
    return bad_data;
  }
  size = u32(w.pos);
  return w.pos > w.cap ? too_small : ok;
}

// ---------------------------------------------------------------------------------------------
// Decompressor

namespace {

// Decode table entry: value << 16 | kind << 8 | extra bits << 4 | code length.
// For a sub-table pointer the value is the sub-table's offset and the low 4 bits its index width.
enum Kind : u32 { k_literal = 0, k_base = 1, k_end = 2, k_sub = 3, k_bad = 4 };
constexpr u32 entry(u32 value, u32 kind, u32 extra, u32 len) { return value << 16 | kind << 8 | extra << 4 | len; }
inline u32 e_len(u32 e) { return e & 15; }
inline u32 e_extra(u32 e) { return (e >> 4) & 15; }
inline u32 e_kind(u32 e) { return (e >> 8) & 0xFF; }
inline u32 e_value(u32 e) { return e >> 16; }

constexpr int lit_root = 10;
constexpr int dist_root = 8;
constexpr int cl_root = 7;
constexpr int lit_table_size = (1 << lit_root) + 1024;
constexpr int dist_table_size = (1 << dist_root) + 512;

enum class Alphabet { litlen, dist, codelen };

constexpr u32 symbol_entry(Alphabet a, u32 sym, u32 len) {
  switch (a) {
    case Alphabet::litlen:
      if (sym < 256) return entry(sym, k_literal, 0, len);
      if (sym == 256) return entry(0, k_end, 0, len);
      if (sym < 286) return entry(length_base[sym - 257], k_base, length_extra[sym - 257], len);
      return entry(0, k_bad, 0, len);
    case Alphabet::dist:
      if (sym < 30) return entry(dist_base[sym], k_base, dist_extra[sym], len);
      return entry(0, k_bad, 0, len);
    case Alphabet::codelen:
      return entry(sym, k_literal, 0, len);
  }
  return entry(0, k_bad, 0, 0);
}

// Builds a two-level decode table. Refuses over-subscribed codes and incomplete ones, except a
// code with no symbols or with a single 1-bit code (which a one-symbol alphabet needs); bit
// patterns without a code decode to a bad entry.
bool build_table(const u8* lens, int n, Alphabet a, int root, u32* table, int capacity) {
  int count[16] = {};
  for (int i = 0; i < n; ++i) count[lens[i]]++;
  count[0] = 0;
  int left = 1, codes = 0;
  for (int len = 1; len < 16; ++len) {
    left <<= 1;
    left -= count[len];
    codes += count[len];
    if (left < 0) return false;
  }
  if (left > 0 && !(codes == 0 || (codes == 1 && count[1] == 1 && a != Alphabet::codelen))) return false;

  u32 next_code[16] = {};
  u32 code = 0;
  for (int len = 1; len < 16; ++len) {
    code = (code + u32(count[len - 1])) << 1;
    next_code[len] = code;
  }
  const int root_size = 1 << root;
  const u32 bad = entry(0, k_bad, 0, 0);
  for (int i = 0; i < root_size; ++i) table[i] = bad;

  // Reversed codes; sub-table widths from the longest code under each first-level prefix.
  u16 rev[288] = {};
  u8 sub_bits[1 << lit_root] = {};
  for (int s = 0; s < n; ++s) {
    int len = lens[s];
    if (!len) continue;
    rev[s] = u16(reverse_bits(next_code[len]++, len));
    if (len > root) {
      u32 prefix = rev[s] & (root_size - 1);
      sub_bits[prefix] = u8(std::max<int>(sub_bits[prefix], len - root));
    }
  }
  int used = root_size;
  for (int p = 0; p < root_size; ++p) {
    if (!sub_bits[p]) continue;
    int size = 1 << sub_bits[p];
    if (used + size > capacity) return false;
    table[p] = entry(u32(used), k_sub, 0, sub_bits[p]);
    for (int i = 0; i < size; ++i) table[used + i] = bad;
    used += size;
  }
  for (int s = 0; s < n; ++s) {
    int len = lens[s];
    if (!len) continue;
    u32 e = symbol_entry(a, u32(s), u32(len));
    if (len <= root) {
      for (int i = rev[s]; i < root_size; i += 1 << len) table[i] = e;
    } else {
      u32 ptr = table[rev[s] & (root_size - 1)];
      u32* sub = table + e_value(ptr);
      int size = 1 << e_len(ptr);
      for (int i = rev[s] >> root; i < size; i += 1 << (len - root)) sub[i] = e;
    }
  }
  return true;
}

struct FixedTables {
  u32 lit[lit_table_size];
  u32 dist[dist_table_size];
};

const FixedTables& fixed_tables() {
  static const FixedTables t = [] {
    FixedTables f{};
    u8 lens[288];
    fixed_litlen_lengths(lens);
    build_table(lens, 288, Alphabet::litlen, lit_root, f.lit, lit_table_size);
    u8 dl[32];
    std::memset(dl, 5, sizeof dl);
    build_table(dl, 32, Alphabet::dist, dist_root, f.dist, dist_table_size);
    return f;
  }();
  return t;
}

constexpr u64 max_output = 0xFFFFFFFFu;
constexpr int end_of_block = -1;  // internal: a block ended normally

struct Inflater {
  const u8* in;
  const u8* in_end;
  u8* out;
  u64 cap;
  u64 total = 0;
  u64 buf = 0;
  u32 cnt = 0;
  u32 lit[lit_table_size];
  u32 dist[dist_table_size];

  // Byte-wise refill: never reads past the end; at the end the count simply stays short. The count
  // stays below 64 so that the fast refill can follow.
  void refill() {
    while (cnt < 56 && in < in_end) {
      buf |= u64(*in++) << cnt;
      cnt += 8;
    }
  }
  // Needs at least 8 readable bytes. Bits above `cnt` then hold the next input bits, which a
  // later refill ORs in again at the same place.
  void refill_fast() {
    buf |= load64(in) << cnt;
    in += (63 - cnt) >> 3;
    cnt |= 56;
  }
  bool bits(u32 n, u32& v) {
    refill();
    if (cnt < n) return false;
    v = u32(buf & ((u64(1) << n) - 1));
    buf >>= n;
    cnt -= n;
    return true;
  }
  // Looks up the next code; false when the data is bad or runs out.
  bool decode(const u32* table, int root, u32& e) {
    refill();
    e = table[buf & ((1u << root) - 1)];
    if (e_kind(e) == k_sub) e = table[e_value(e) + ((buf >> root) & ((1u << e_len(e)) - 1))];
    if (e_kind(e) == k_bad || e_len(e) > cnt) return false;
    buf >>= e_len(e);
    cnt -= e_len(e);
    return true;
  }

  int stored_block() {
    u32 drop = cnt & 7;
    buf >>= drop;
    cnt -= drop;
    in -= cnt >> 3;  // whole bytes still held go back to the input
    buf = 0;
    cnt = 0;
    if (in_end - in < 4) return bad_data;
    u32 len = u32(in[0]) | u32(in[1]) << 8;
    u32 nlen = u32(in[2]) | u32(in[3]) << 8;
    in += 4;
    if (len != (~nlen & 0xFFFF)) return bad_data;
    if (u64(in_end - in) < len) return stored_too_long;
    if (total < cap) std::memcpy(out + total, in, std::min<u64>(len, cap - total));
    total += len;
    in += len;
    return ok;
  }

  int dynamic_tables() {
    u32 hlit, hdist, hclen;
    if (!bits(5, hlit) || !bits(5, hdist) || !bits(4, hclen)) return bad_data;
    hlit += 257;
    hdist += 1;
    hclen += 4;
    if (hlit > 286 || hdist > 30) return bad_data;
    u8 cl_lens[19] = {};
    for (u32 i = 0; i < hclen; ++i) {
      u32 v;
      if (!bits(3, v)) return bad_data;
      cl_lens[cl_order[i]] = u8(v);
    }
    u32 cl_table[1 << cl_root];
    if (!build_table(cl_lens, 19, Alphabet::codelen, cl_root, cl_table, 1 << cl_root)) return bad_data;
    u8 lens[286 + 30];
    u32 total_lens = hlit + hdist;
    for (u32 i = 0; i < total_lens;) {
      u32 e;
      if (!decode(cl_table, cl_root, e)) return bad_data;
      u32 sym = e_value(e);
      if (sym < 16) {
        lens[i++] = u8(sym);
        continue;
      }
      u32 rep, val = 0, extra;
      if (sym == 16) {
        if (i == 0) return bad_data;  // nothing to repeat
        if (!bits(2, extra)) return bad_data;
        rep = 3 + extra;
        val = lens[i - 1];
      } else if (sym == 17) {
        if (!bits(3, extra)) return bad_data;
        rep = 3 + extra;
      } else {
        if (!bits(7, extra)) return bad_data;
        rep = 11 + extra;
      }
      if (i + rep > total_lens) return bad_data;
      std::memset(lens + i, int(val), rep);
      i += rep;
    }
    if (lens[256] == 0) return bad_data;  // a block that could never end
    if (!build_table(lens, int(hlit), Alphabet::litlen, lit_root, lit, lit_table_size)) return bad_data;
    if (!build_table(lens + hlit, int(hdist), Alphabet::dist, dist_root, dist, dist_table_size)) return bad_data;
    return ok;
  }

  // Copies a match while counting what does not fit.
  int copy_slow(u32 len, u32 d) {
    if (d > total) return distance_too_far;
    u64 end = total + len;
    if (total < cap) {
      u64 stop = std::min(end, cap);
      u8* p = out + total;
      const u8* src = p - d;
      for (u64 i = total; i < stop; ++i) *p++ = *src++;
    }
    total = end;
    return ok;
  }

  int codes(const u32* lt, const u32* dt) {
    constexpr u32 lit_mask = (1u << lit_root) - 1;
    constexpr u32 dist_mask = (1u << dist_root) - 1;
    for (;;) {
      // Fast loop: one refill gives at least 56 bits, enough for a length, a distance and their
      // extra bits (15 + 5 + 15 + 13); output room covers the longest match plus a word of slack.
      while (in_end - in >= 16 && total < cap && cap - total >= max_match + 16) {
        refill_fast();
        u32 e = lt[buf & lit_mask];
        if (e_kind(e) == k_sub) e = lt[e_value(e) + ((buf >> lit_root) & ((1u << e_len(e)) - 1))];
        buf >>= e_len(e);
        cnt -= e_len(e);
        u32 kind = e_kind(e);
        if (kind == k_literal) {
          out[total++] = u8(e_value(e));
          // A second literal without a refill when the bits are certainly there.
          u32 e2 = lt[buf & lit_mask];
          if (e_kind(e2) == k_literal && cnt >= 15) {
            buf >>= e_len(e2);
            cnt -= e_len(e2);
            out[total++] = u8(e_value(e2));
          }
          continue;
        }
        if (kind != k_base) return kind == k_end ? end_of_block : bad_data;
        u32 len = e_value(e) + u32(buf & ((1u << e_extra(e)) - 1));
        buf >>= e_extra(e);
        cnt -= e_extra(e);
        e = dt[buf & dist_mask];
        if (e_kind(e) == k_sub) e = dt[e_value(e) + ((buf >> dist_root) & ((1u << e_len(e)) - 1))];
        if (e_kind(e) != k_base) return bad_data;
        buf >>= e_len(e);
        cnt -= e_len(e);
        u32 d = e_value(e) + u32(buf & ((1u << e_extra(e)) - 1));
        buf >>= e_extra(e);
        cnt -= e_extra(e);
        if (d > total) return distance_too_far;
        u8* dst = out + total;
        const u8* src = dst - d;
        total += len;
        if (d >= 8) {
          u8* stop = dst + len;
          do {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
          } while (dst < stop);
        } else if (d == 1) {
          std::memset(dst, *src, len);
        } else {
          for (u32 i = 0; i < len; ++i) dst[i] = src[i];
        }
      }
      // Careful path near the ends of the buffers.
      u32 e;
      if (!decode(lt, lit_root, e)) return bad_data;
      u32 kind = e_kind(e);
      if (kind == k_literal) {
        if (total < cap) out[total] = u8(e_value(e));
        ++total;
      } else if (kind == k_end) {
        return end_of_block;
      } else {
        u32 extra, len, d;
        if (!bits(e_extra(e), extra)) return bad_data;
        len = e_value(e) + extra;
        if (!decode(dt, dist_root, e) || e_kind(e) != k_base) return bad_data;
        if (!bits(e_extra(e), extra)) return bad_data;
        d = e_value(e) + extra;
        int r = copy_slow(len, d);
        if (r != ok) return r;
      }
      if (total > max_output) return bad_data;
    }
  }

  int run() {
    for (;;) {
      u32 hdr;
      if (!bits(3, hdr)) return bad_data;  // the input ended before the final block
      bool final = hdr & 1;
      int r = ok;
      switch (hdr >> 1) {
        case 0:
          r = stored_block();
          break;
        case 1: {
          const FixedTables& f = fixed_tables();
          r = codes(f.lit, f.dist);
          break;
        }
        case 2:
          r = dynamic_tables();
          if (r == ok) r = codes(lit, dist);
          break;
        default:
          return reserved_block;
      }
      if (r == end_of_block) r = ok;
      if (r != ok) return r;
      if (total > max_output) return bad_data;
      if (final) return ok;
    }
  }
};

}  // namespace

int inflate(u8* out, u32& size, const u8* in, u32 length) {
  auto s = std::make_unique<Inflater>();
  s->in = in;
  s->in_end = in + length;
  s->out = out;
  s->cap = out ? size : 0;
  int r = s->run();
  size = u32(std::min(s->total, max_output));
  if (r != ok) return r;
  return s->total > s->cap ? too_small : ok;
}

// ---------------------------------------------------------------------------------------------
// zlib framing

int zlib_compress(u8* out, u32& size, const u8* in, u32 length) {
  u32 cap = out ? size : 0;
  if (cap < 6) {
    size = length + 6;
    return bad_data;
  }
  out[0] = 0x78;
  out[1] = 0x01;
  u32 csize = cap - 2;
  int r = compress(out + 2, csize, in, length);
  u64 need = u64(csize) + 6;
  if (need > max_output) {
    size = 0;
    return bad_data;
  }
  size = u32(need);
  if (r == too_small || need > cap) return too_small;
  if (r != ok) return r;
  store_be32(out + 2 + csize, checksum::adler32(in, length));
  return ok;
}

int zlib_uncompress(u8* out, u32& size, const u8* in, u32 length) {
  if (length < 6) {
    size = 0;
    return bad_data;
  }
  u32 cmf = in[0], flg = in[1];
  if ((cmf * 256 + flg) % 31 != 0 || (cmf & 15) != 8 || (cmf & 0x80) || (flg & 0x20)) {
    size = 0;
    return bad_data;
  }
  int r = inflate(out, size, in + 2, length - 6);
  if (r != ok) return r;
  if (checksum::adler32(out, size) != load_be32(in + length - 4)) return bad_data;
  return ok;
}

// ---------------------------------------------------------------------------------------------
// gzip framing

int gzip(u8* out, u32& size, const u8* in, u32 length) {
  u32 cap = out ? size : 0;
  if (length > 2 && in[0] == 0x1F && in[1] == 0x8B && in[2] == 8) {
    size = length;
    if (cap < length) return too_small;
    std::memcpy(out, in, length);
    return ok;
  }
  if (cap < 18) {
    size = u32(std::min<u64>(u64(length) + 18, max_output));
    return bad_data;
  }
  static constexpr u8 header[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4};
  std::memcpy(out, header, 10);
  u32 csize = cap - 10;
  int r = compress(out + 10, csize, in, length);
  u64 need = u64(csize) + 18;
  if (need > max_output) {
    size = 0;
    return bad_data;
  }
  size = u32(need);
  if (r == too_small || need > cap) return too_small;
  if (r != ok) return r;
  store_le32(out + 10 + csize, checksum::crc32(in, length));
  store_le32(out + 14 + csize, length);
  return ok;
}

int gunzip(u8* out, u32& size, const u8* in, u32 length) {
  auto fail = [&] {
    size = 0;
    return bad_data;
  };
  if (length <= 17 || in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 || in[3] >= 32) return fail();
  u32 flags = in[3];
  u32 pos = 10;
  const u32 data_end = length - 8;
  if (flags & 4) {
    if (data_end - pos < 2) return fail();
    u32 xlen = u32(in[pos]) | u32(in[pos + 1]) << 8;
    pos += 2;
    if (xlen > data_end - pos) return fail();
    pos += xlen;
  }
  for (u32 flag : {8u, 16u}) {
    if (!(flags & flag)) continue;
    while (pos < data_end && in[pos] != 0) ++pos;
    if (pos >= data_end) return fail();
    ++pos;
  }
  if (flags & 2) {
    if (data_end - pos < 2) return fail();
    u32 hcrc = u32(in[pos]) | u32(in[pos + 1]) << 8;
    if ((checksum::crc32(in, pos) & 0xFFFF) != hcrc) return fail();
    pos += 2;
  }
  const u32 want_crc = load_le32(in + length - 8);
  const u32 want_size = load_le32(in + length - 4);
  // The trailer's size is trusted only once the data has been seen to produce it: a short buffer
  // still gets the whole stream decoded (counting only), so a forged size cannot make the caller
  // allocate more than the data really holds.
  u32 got = size;
  int r = inflate(out, got, in + pos, data_end - pos);
  if (r == too_small) {
    if (got != want_size) return fail();
    size = want_size;
    return too_small;
  }
  size = got;
  if (r != ok) return r;
  if (got != want_size || checksum::crc32(out, got) != want_crc) return bad_data;
  return ok;
}

}  // namespace kiv::deflate
