// The system's own DEFLATE compressor and decompressor, with the zlib and gzip framings around them.
//
// Every procedure works between caller-supplied buffers and never allocates the output:
//   result = proc(out, size, in, in_length)
// On entry `size` is the capacity of `out` (which may be null when the capacity is 0); on return it
// is the number of bytes the result needs, also when that is more than the capacity. Nothing is
// ever written at or past out + capacity, so a call with capacity 0 is a size probe.
#pragma once
#include "runtime/base.h"

namespace kiv::deflate {

enum Result : int {
  ok = 0,
  too_small = 1,        // `size` holds the needed size; retry with a buffer that large
  bad_data = 2,         // corrupt, truncated or unsupported data; bad framing or checksum
  stored_too_long = 3,  // a stored block longer than the remaining input
  reserved_block = 4,   // block type 3
  distance_too_far = 5  // a distance reaching before the start of the output
};

// Raw DEFLATE (no framing).
int compress(u8* out, u32& size, const u8* in, u32 length);
int inflate(u8* out, u32& size, const u8* in, u32 length);

// zlib framing: 2-byte header, DEFLATE data, Adler-32 of the data big-endian.
int zlib_compress(u8* out, u32& size, const u8* in, u32 length);
int zlib_uncompress(u8* out, u32& size, const u8* in, u32 length);

// gzip framing: 10-byte header, DEFLATE data, CRC-32 and length of the data little-endian.
// Input that already starts with a gzip header is passed through unchanged.
int gzip(u8* out, u32& size, const u8* in, u32 length);
int gunzip(u8* out, u32& size, const u8* in, u32 length);

}  // namespace kiv::deflate
