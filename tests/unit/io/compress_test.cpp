// DEFLATE, zlib and gzip: cross-checked against an independent implementation (zlib, used here as
// an oracle only) in both directions, plus the buffer protocol and the handling of bad data.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "io/checksum_core.h"
#include "io/deflate.h"
#include "tests/unit/compress_corpus.h"

using namespace kiv;
// zlib.h declares a function named deflate, so the unit goes by a short alias here.
namespace dz = kiv::deflate;
using Bytes = std::vector<u8>;
using Proc = int (*)(u8*, u32&, const u8*, u32);

namespace {

const std::vector<test::CorpusItem>& corpus() {
  static const auto c = test::make_corpus();
  return c;
}

// Runs a procedure into a buffer of the given capacity; fails the test on a non-zero result.
Bytes run(Proc proc, const Bytes& in, std::size_t capacity, int expect = dz::ok) {
  Bytes out(capacity);
  u32 size = u32(capacity);
  int r = proc(out.data(), size, in.data(), u32(in.size()));
  EXPECT_EQ(r, expect);
  if (r == dz::ok) out.resize(size);
  return out;
}

Bytes compressed(Proc proc, const Bytes& in) { return run(proc, in, in.size() + in.size() / 1000 + 64); }

// windowBits: -15 raw, 15 zlib, 31 gzip.
Bytes zlib_compress(const Bytes& in, int level, int strategy, int window_bits) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, window_bits, 8, strategy), Z_OK);
  Bytes out(deflateBound(&s, uLong(in.size())));
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = uInt(in.size());
  s.next_out = out.data();
  s.avail_out = uInt(out.size());
  EXPECT_EQ(::deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

bool zlib_decompress(const Bytes& in, int window_bits, Bytes& out, std::size_t expected) {
  z_stream s{};
  if (inflateInit2(&s, window_bits) != Z_OK) return false;
  out.assign(expected + 1, 0);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = uInt(in.size());
  s.next_out = out.data();
  s.avail_out = uInt(out.size());
  int r = ::inflate(&s, Z_FINISH);
  out.resize(s.total_out);
  bool whole = r == Z_STREAM_END && s.avail_in == 0;
  inflateEnd(&s);
  return whole;
}

struct Framing {
  const char* name;
  Proc pack;
  Proc unpack;
  int window_bits;
};
const Framing framings[] = {
    {"raw", dz::compress, dz::inflate, -15},
    {"zlib", dz::zlib_compress, dz::zlib_uncompress, 15},
    {"gzip", dz::gzip, dz::gunzip, 31},
};

}  // namespace

TEST(Deflate, OurOutputDecompressesWithZlibAndWithOurs) {
  std::size_t index = 0;
  for (const auto& item : corpus()) {
    ++index;
    for (const auto& f : framings) {
      // Each 1 MiB item goes through one framing, in turn, to keep the suite fast.
      if (item.big && &f != &framings[index % 3]) continue;
      SCOPED_TRACE(item.name + " / " + f.name);
      Bytes packed = compressed(f.pack, item.data);
      Bytes back;
      ASSERT_TRUE(zlib_decompress(packed, f.window_bits, back, item.data.size()));
      ASSERT_TRUE(back == item.data);
      ASSERT_TRUE(run(f.unpack, packed, item.data.size()) == item.data);
      if (item.name == "text" && &f == &framings[0]) {
        // Not a benchmark: guards against a compressor that silently stops finding matches.
        Bytes theirs = zlib_compress(item.data, 6, Z_DEFAULT_STRATEGY, -15);
        EXPECT_LE(packed.size(), theirs.size() * 102 / 100);
      }
    }
  }
}

TEST(Deflate, ZlibOutputAtEveryLevelAndStrategyDecompresses) {
  // Huffman-only and RLE streams do not depend on the level beyond 0 (stored) and 1-9 (coded),
  // so those two take levels 0 and 1; the other strategies take every level.
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE};
  std::size_t index = 0;
  for (const auto& item : corpus()) {
    ++index;
    for (int level = 0; level <= 9; ++level) {
      for (int strategy : strategies) {
        if ((strategy == Z_HUFFMAN_ONLY || strategy == Z_RLE) && level > 1) continue;
        // The 1 MiB items take the default settings only.
        if (item.big && !(level == 6 && strategy == Z_DEFAULT_STRATEGY)) continue;
        SCOPED_TRACE(item.name + " level " + std::to_string(level) + " strategy " + std::to_string(strategy));
        // Rotate the framing so that each gets every kind of stream.
        const Framing& f = framings[(index + std::size_t(level + strategy)) % 3];
        // Beyond 120 KB the smaller items add time, not kinds of stream.
        Bytes data = item.big ? item.data : Bytes(item.data.begin(), item.data.begin() + std::min<std::size_t>(item.data.size(), 120000));
        Bytes packed = zlib_compress(data, level, strategy, f.window_bits);
        ASSERT_TRUE(run(f.unpack, packed, data.size()) == data) << f.name;
      }
    }
  }
}

TEST(Deflate, SizeProbeAndShortBuffersNeverWritePastTheCapacity) {
  Bytes text;
  test::append_mixed(text, 150000, 9);
  for (const auto& f : framings) {
    SCOPED_TRACE(f.name);
    Bytes packed = compressed(f.pack, text);
    for (auto [proc, in, need] : {std::tuple{f.pack, &text, packed.size()}, std::tuple{f.unpack, &packed, text.size()}}) {
      // A probe with no buffer gives the exact size (compressing into <6 or <18 bytes is
      // refused by the framings, which still report a size to retry with).
      u32 size = 0;
      int r = proc(nullptr, size, in->data(), u32(in->size()));
      if (proc == f.pack && f.pack != dz::compress) {
        EXPECT_EQ(r, dz::bad_data);
      } else {
        EXPECT_EQ(r, dz::too_small);
        EXPECT_EQ(size, need);
      }
      for (std::size_t cap : {need - 1, need / 2, std::size_t(20)}) {
        Bytes out(cap + 64, 0xA5);
        size = u32(cap);
        r = proc(out.data(), size, in->data(), u32(in->size()));
        EXPECT_EQ(r, dz::too_small) << cap;
        EXPECT_EQ(size, need) << cap;
        for (std::size_t i = cap; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << "wrote past capacity " << cap;
      }
    }
  }
}

TEST(Deflate, KnownEncodings) {
  EXPECT_EQ(compressed(dz::compress, {}), (Bytes{0x03, 0x00}));
  EXPECT_EQ(compressed(dz::zlib_compress, {}), (Bytes{0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  // A run is a literal and matches at distance 1.
  Bytes run_of_a(100000, 'a');
  EXPECT_LT(compressed(dz::compress, run_of_a).size(), 250u);

  // Incompressible data: stored blocks of at most 65,535 bytes, the final flag on the last only.
  Bytes noise;
  test::append_random(noise, 200000, 11);
  Bytes packed = compressed(dz::compress, noise);
  std::size_t pos = 0, total = 0;
  bool final = false;
  while (!final) {
    ASSERT_LT(pos + 5, packed.size());
    ASSERT_EQ(packed[pos] & 6, 0) << "block at " << pos << " is not stored";
    final = packed[pos] & 1;
    u32 len = packed[pos + 1] | packed[pos + 2] << 8;
    EXPECT_LE(len, 65535u);
    EXPECT_EQ(len ^ 0xFFFF, u32(packed[pos + 3] | packed[pos + 4] << 8));
    pos += 5 + len;
    total += len;
  }
  EXPECT_EQ(pos, packed.size());
  EXPECT_EQ(total, noise.size());
}

TEST(Deflate, TruncatedStreamsAreNeverSuccess) {
  // Stored, fixed and dynamic blocks, truncated at every length.
  Bytes text, noise;
  test::append_text(text, 3000, 12);
  test::append_random(noise, 700, 13);
  Bytes mixed = text;
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  std::vector<Bytes> streams = {zlib_compress(text, 6, Z_DEFAULT_STRATEGY, -15),
                                zlib_compress(text, 6, Z_FIXED, -15), zlib_compress(noise, 0, 0, -15),
                                compressed(dz::compress, mixed), compressed(dz::compress, {'x'})};
  for (const Bytes& s : streams) {
    for (std::size_t cut = 0; cut < s.size(); ++cut) {
      Bytes out(5000);
      u32 size = u32(out.size());
      int r = dz::inflate(out.data(), size, s.data(), u32(cut));
      ASSERT_NE(r, dz::ok) << "cut at " << cut << " of " << s.size();
      ASSERT_NE(r, dz::too_small);
    }
  }
  // The framings as well (their trailers are checked too).
  for (const auto& f : framings) {
    Bytes s = compressed(f.pack, text);
    for (std::size_t cut = 0; cut < s.size(); ++cut) {
      Bytes out(5000);
      u32 size = u32(out.size());
      ASSERT_EQ(f.unpack(out.data(), size, s.data(), u32(cut)), dz::bad_data) << f.name << " cut " << cut;
    }
  }
}

namespace {

// Least-significant-first bit packer for hand-made streams.
struct Bits {
  Bytes out;
  u32 acc = 0, n = 0;
  Bits& put(u32 v, u32 count) {
    for (u32 i = 0; i < count; ++i) {
      acc |= (i < 32 ? (v >> i) & 1 : 0) << n;  // counts above 32 pad with zeros
      if (++n == 8) {
        out.push_back(u8(acc));
        acc = n = 0;
      }
    }
    return *this;
  }
  // Huffman codes go most significant bit first.
  Bits& code(u32 c, u32 len) {
    for (u32 i = len; i-- > 0;) put((c >> i) & 1, 1);
    return *this;
  }
  Bytes done() {
    Bytes b = out;
    if (n) b.push_back(u8(acc));
    return b;
  }
};

int inflate_bytes(const Bytes& in, u32& size) {
  static Bytes out(1 << 16);
  size = u32(out.size());
  return dz::inflate(out.data(), size, in.data(), u32(in.size()));
}

// The start of a dynamic block header with the given HLIT and HDIST.
Bits dynamic_header(u32 hlit, u32 hdist) {
  Bits b;
  b.put(1, 1).put(2, 2).put(hlit - 257, 5).put(hdist - 1, 5).put(19 - 4, 4);
  return b;
}

}  // namespace

TEST(Deflate, BadDataIsRefused) {
  u32 size;
  struct Case {
    const char* what;
    Bytes stream;
    int expect;
  };
  std::vector<Case> cases;
  // Fixed block: literal 'a' (code 0x30 + 0x61, 8 bits) then symbols that must be refused.
  auto fixed_prefix = [] {
    Bits b;
    b.put(1, 1).put(1, 2).code(0x30 + 'a', 8);
    return b;
  };
  cases.push_back({"reserved block type", Bits().put(1, 1).put(3, 2).done(), dz::reserved_block});
  cases.push_back({"length symbol 286", fixed_prefix().code(0xC0 + 6, 8).put(0, 16).done(), dz::bad_data});
  cases.push_back({"length symbol 287", fixed_prefix().code(0xC0 + 7, 8).put(0, 16).done(), dz::bad_data});
  // Length 3 (symbol 257, 7-bit code 1), then distance code 30 / 31.
  cases.push_back({"distance symbol 30", fixed_prefix().code(1, 7).code(30, 5).put(0, 16).done(), dz::bad_data});
  cases.push_back({"distance symbol 31", fixed_prefix().code(1, 7).code(31, 5).put(0, 16).done(), dz::bad_data});
  cases.push_back({"distance before the output", fixed_prefix().code(1, 7).code(1, 5).code(0, 7).done(),
                   dz::distance_too_far});
  cases.push_back({"stored block past the input", Bytes{0x01, 0x10, 0x00, 0xEF, 0xFF, 'a', 'b'},
                   dz::stored_too_long});
  cases.push_back({"stored block with a bad complement", Bytes{0x01, 0x02, 0x00, 0xFD, 0xFE, 'a', 'b'},
                   dz::bad_data});
  cases.push_back({"HLIT of 287", dynamic_header(287, 1).put(0, 64).done(), dz::bad_data});
  cases.push_back({"HDIST of 31", dynamic_header(257, 31).put(0, 64).done(), dz::bad_data});
  {
    // Code-length code: symbols 16, 17, 18 and 0 with 2 bits each (complete); then a first
    // symbol 16 (repeat previous) with nothing before it.
    Bits b;
    b.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(0, 4);
    b.put(2, 3).put(2, 3).put(2, 3).put(2, 3);
    b.code(1, 2).put(0, 2).put(0, 64);  // symbol 16 has the code 01
    cases.push_back({"repeat with no previous length", b.done(), dz::bad_data});
  }
  {
    // 18 (11-138 zeros) running past HLIT + HDIST = 258 entries.
    Bits b;
    b.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(0, 4);
    b.put(2, 3).put(2, 3).put(2, 3).put(2, 3);
    b.code(3, 2).put(127, 7).code(3, 2).put(127, 7).put(0, 32);  // 138 + 138 > 258
    cases.push_back({"repeat past the end of the lengths", b.done(), dz::bad_data});
  }
  {
    // Code-length code over-subscribed: three symbols of length 1.
    Bits b;
    b.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(0, 4);
    b.put(1, 3).put(1, 3).put(1, 3).put(0, 3).put(0, 64);
    cases.push_back({"over-subscribed code", b.done(), dz::bad_data});
  }
  {
    // Every literal/length symbol gets length 0 through zeros runs, so end-of-block has no code.
    Bits b;
    b.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(0, 4);
    b.put(2, 3).put(2, 3).put(2, 3).put(2, 3);
    b.code(3, 2).put(127, 7).code(3, 2).put(109, 7).put(0, 32);  // 138 + 120 = 258
    cases.push_back({"no end-of-block code", b.done(), dz::bad_data});
  }
  {
    // The control: the same kind of hand-made header, valid. Code-length code: symbols 1 and 18
    // with 1 bit each; 256 zero lengths, then length 1 for end-of-block and for distance 0; the
    // block holds only its end (one bit).
    Bits b;
    b.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(18 - 4, 4);
    for (int i = 0; i < 18; ++i) b.put(i == 2 || i == 17 ? 1 : 0, 3);
    b.code(1, 1).put(127, 7).code(1, 1).put(107, 7).code(0, 1).code(0, 1);
    b.code(0, 1);
    cases.push_back({"valid hand-made dynamic block", b.done(), dz::ok});
  }
  for (const auto& c : cases) {
    EXPECT_EQ(inflate_bytes(c.stream, size), c.expect) << c.what;
  }
  // The distance error reports the bytes produced before it.
  inflate_bytes(cases[5].stream, size);
  EXPECT_EQ(size, 1u);
}

TEST(Deflate, ZlibFraming) {
  Bytes text;
  test::append_text(text, 5000, 14);
  Bytes z = compressed(dz::zlib_compress, text);
  u32 size;
  Bytes out(6000);
  auto unpack = [&](const Bytes& in) {
    size = u32(out.size());
    return dz::zlib_uncompress(out.data(), size, in.data(), u32(in.size()));
  };
  EXPECT_EQ(unpack(z), dz::ok);
  EXPECT_EQ(size, text.size());
  // A header byte pair with a valid check for the given CMF and FLG bits.
  auto with_header = [&](u8 cmf, u8 flg) {
    Bytes b = z;
    b[0] = cmf;
    b[1] = u8(flg + (31 - (cmf * 256 + flg) % 31) % 31);
    return b;
  };
  Bytes bad_check = z, bad_adler = z;
  bad_check[1] ^= 1;
  bad_adler.back() ^= 1;
  struct Case {
    const char* what;
    Bytes stream;
  };
  for (const auto& c : {Case{"check bits", bad_check}, Case{"method 7", with_header(0x77, 0)},
                        Case{"window over 32K", with_header(0x88, 0)}, Case{"preset dictionary", with_header(0x78, 0x20)},
                        Case{"Adler-32", bad_adler}}) {
    EXPECT_EQ(unpack(c.stream), dz::bad_data) << c.what;
  }
  EXPECT_EQ(unpack(with_header(0x78, 0xC0)), dz::ok) << "the level bits are only a hint";
  EXPECT_EQ(unpack(Bytes{0x78, 0x01, 0x03, 0x00, 0x00}), dz::bad_data) << "shorter than 6 bytes";
  // Compressing into fewer than 6 bytes is refused with a size to retry with.
  size = 5;
  EXPECT_EQ(dz::zlib_compress(out.data(), size, text.data(), u32(text.size())), dz::bad_data);
  EXPECT_EQ(size, text.size() + 6);
}

TEST(Deflate, GzipFraming) {
  Bytes text;
  test::append_text(text, 4000, 15);
  Bytes raw = compressed(dz::compress, text);
  auto member = [&](u8 flags, const Bytes& extras) {
    Bytes g = {0x1F, 0x8B, 8, flags, 1, 2, 3, 4, 0, 3};
    g.insert(g.end(), extras.begin(), extras.end());
    if (flags & 2) {
      u32 crc = checksum::crc32(g.data(), g.size());
      g.push_back(u8(crc));
      g.push_back(u8(crc >> 8));
    }
    g.insert(g.end(), raw.begin(), raw.end());
    u32 crc = checksum::crc32(text.data(), text.size()), n = u32(text.size());
    for (u32 v : {crc, n})
      for (int i = 0; i < 4; ++i) g.push_back(u8(v >> (8 * i)));
    return g;
  };
  Bytes out(5000);
  u32 size;
  auto unpack = [&](const Bytes& in, u32 cap) {
    size = cap;
    return dz::gunzip(cap ? out.data() : nullptr, size, in.data(), u32(in.size()));
  };
  const Bytes name_comment = {'f', '.', 't', 'x', 't', 0, 'h', 'i', 0};
  const Bytes extra = {4, 0, 'a', 'b', 'c', 'd'};
  for (u8 flags : {0, 8, 16, 8 | 16, 4, 2, 2 | 4 | 8 | 16}) {
    Bytes extras;
    if (flags & 4) extras.insert(extras.end(), extra.begin(), extra.end());
    if (flags & 8) extras.insert(extras.end(), name_comment.begin(), name_comment.begin() + 6);
    if (flags & 16) extras.insert(extras.end(), name_comment.begin() + 6, name_comment.end());
    Bytes g = member(flags, extras);
    EXPECT_EQ(unpack(g, u32(out.size())), dz::ok) << int(flags);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + size), text) << int(flags);
    Bytes back;
    EXPECT_TRUE(zlib_decompress(g, 31, back, text.size())) << "the test's member is valid";
  }
  EXPECT_EQ(unpack(member(32, {}), u32(out.size())), dz::bad_data) << "reserved flag";
  Bytes g = member(2, {});
  g[10] ^= 1;
  EXPECT_EQ(unpack(g, u32(out.size())), dz::bad_data) << "header CRC";
  g = member(4, {0xFF, 0xFF});
  EXPECT_EQ(unpack(g, u32(out.size())), dz::bad_data) << "extra field past the end";
  g = member(8, {});
  g.resize(12);
  g.insert(g.end(), 8, 'x');  // a name that never ends
  EXPECT_EQ(unpack(g, u32(out.size())), dz::bad_data) << "unterminated name";
  g = member(0, {});
  g[g.size() - 8] ^= 1;
  EXPECT_EQ(unpack(g, u32(out.size())), dz::bad_data) << "data CRC";

  // Data that is already gzip passes through unchanged.
  g = member(0, {});
  EXPECT_EQ(run(dz::gzip, g, g.size()), g);
  size = u32(g.size() - 1);
  EXPECT_EQ(dz::gzip(out.data(), size, g.data(), u32(g.size())), dz::too_small);
  EXPECT_EQ(size, g.size());
}

TEST(Deflate, ForgedSizesDoNotInflateTheNeededSize) {
  Bytes text;
  test::append_text(text, 4000, 16);
  Bytes g = compressed(dz::gzip, text);
  u32 size;
  // A true trailer: a probe gives the real size.
  size = 0;
  EXPECT_EQ(dz::gunzip(nullptr, size, g.data(), u32(g.size())), dz::too_small);
  EXPECT_EQ(size, text.size());
  // A trailer claiming 4 GB (or just one byte more) is refused, not passed on as a size to allocate.
  for (u32 claim : {0xFFFFFFF0u, u32(text.size() + 1), u32(text.size() - 1)}) {
    Bytes bad = g;
    for (int i = 0; i < 4; ++i) bad[bad.size() - 4 + i] = u8(claim >> (8 * i));
    size = 0;
    EXPECT_EQ(dz::gunzip(nullptr, size, bad.data(), u32(bad.size())), dz::bad_data) << claim;
    Bytes out(text.size() + 10);
    size = u32(out.size());
    EXPECT_EQ(dz::gunzip(out.data(), size, bad.data(), u32(bad.size())), dz::bad_data) << claim;
  }
  // A tiny stream that really expands a lot reports exactly what it holds.
  Bytes zeros(3 << 20, 0);
  Bytes z = compressed(dz::zlib_compress, zeros);
  EXPECT_LT(z.size(), 4000u);
  size = 0;
  EXPECT_EQ(dz::zlib_uncompress(nullptr, size, z.data(), u32(z.size())), dz::too_small);
  EXPECT_EQ(size, zeros.size());
}

TEST(Deflate, InteroperatesWithTheGzipTool) {
  if (std::system("gzip --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "gzip is not on PATH";
  Bytes data;
  test::append_mixed(data, 400000, 17);
  char dir_template[] = "/tmp/kiv-gzip-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::string dir = dir_template;
  auto write_file = [](const std::string& path, const Bytes& b) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
  };
  auto read_command = [](const std::string& cmd) {
    Bytes out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    u8 buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
    EXPECT_EQ(pclose(p), 0) << cmd;
    return out;
  };
  // Ours to the tool.
  write_file(dir + "/ours.gz", compressed(dz::gzip, data));
  EXPECT_TRUE(read_command("gzip -dc " + dir + "/ours.gz") == data);
  // The tool (with a file name in the header) to ours.
  write_file(dir + "/data.bin", data);
  for (const char* level : {"-1", "-6", "-9"}) {
    Bytes g = read_command(std::string("gzip -c -N ") + level + " " + dir + "/data.bin");
    ASSERT_FALSE(g.empty());
    EXPECT_TRUE(run(dz::gunzip, g, data.size()) == data) << level;
  }
  std::system(("rm -rf " + dir).c_str());
}
