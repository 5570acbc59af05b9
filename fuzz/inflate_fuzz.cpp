// Inflate, zlib and gzip decoding of arbitrary bytes: no crash, no read or write outside the
// buffers, bounded time and memory. The first byte picks the framing and the output capacity;
// the rest is the stream. The same bytes also go through a compress/decompress round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/deflate.h"

using namespace kiv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const u8 mode = data[0];
  const u8* in = data + 1;
  const u32 len = u32(size - 1);
  using Proc = int (*)(u8*, u32&, const u8*, u32);
  static const Proc unpackers[] = {deflate::inflate, deflate::zlib_uncompress, deflate::gunzip};
  static const Proc packers[] = {deflate::compress, deflate::zlib_compress, deflate::gzip};
  const int which = (mode & 3) % 3;
  // Capacities: none (a size probe), small, or generous.
  static const u32 capacities[] = {0, 1, 100, 1 << 16};
  const u32 cap = capacities[(mode >> 2) & 3];

  std::vector<u8> out(cap);
  u32 got = cap;
  int r = unpackers[which](cap ? out.data() : nullptr, got, in, len);
  if (r < 0 || r > 5) std::abort();
  if (r == deflate::ok && got > cap) std::abort();
  if (r == deflate::too_small) {
    if (got <= cap) std::abort();
    // The size reported must be exactly what a large enough buffer then receives; only the
    // framings' checksums, which need the data, can still fail then.
    if (got <= (1u << 22)) {
      std::vector<u8> big(got);
      u32 again = got;
      int r2 = unpackers[which](big.data(), again, in, len);
      if (r2 == deflate::ok) {
        if (again != got) std::abort();
      } else if (which == 0 || r2 != deflate::bad_data) {
        std::abort();
      }
      if (cap && std::memcmp(big.data(), out.data(), cap) != 0) std::abort();
    }
  }

  // Round trip of the input as plain data.
  if (mode & 0x10) {
    u32 need = 0;
    std::vector<u8> packed(len + len / 8 + 64);
    need = u32(packed.size());
    if (packers[which](packed.data(), need, in, len) != deflate::ok) std::abort();
    packed.resize(need);
    bool passthrough = which == 2 && len > 2 && in[0] == 0x1F && in[1] == 0x8B && in[2] == 8;
    if (!passthrough) {
      std::vector<u8> back(len);
      u32 n = len;
      if (unpackers[which](back.data(), n, packed.data(), need) != deflate::ok || n != len ||
          (len && std::memcmp(back.data(), in, len) != 0))
        std::abort();
    }
  }
  return 0;
}
