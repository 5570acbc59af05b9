// The boot-data decompressor on arbitrary images: no crash, no read or write outside the buffers,
// memory bounded by what the image could produce. The same bytes also make a round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/boot_lz.h"

using namespace kiv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  u32 out_size = 0;
  u8* p = boot_lz::decompress(data, u32(size), &out_size);
  if (p) {
    // A success always accounts for U exactly.
    u32 u = size >= 8 ? u32(data[4]) | u32(data[5]) << 8 | u32(data[6]) << 16 | u32(data[7]) << 24 : 0;
    if (out_size != u) std::abort();
    boot_lz::free_stream(p);
  }
  std::vector<u8> image(size);
  i32 n = boot_lz::compress(data, u32(size), image.data());
  if (n > 0) {
    u8* back = boot_lz::decompress(image.data(), u32(n), &out_size);
    if (!back || out_size != size || std::memcmp(back, data, size) != 0) std::abort();
    boot_lz::free_stream(back);
  }
  return 0;
}
