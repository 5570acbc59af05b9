// The LZ77-style format of compressed boot data (the collector's stack-map table and compressed
// KIVBIN payloads), with its decompressor and the matching compressor.
//
// Image: C (4 bytes, size of the block area), U (4 bytes, decompressed size), then blocks back to
// back. A block is its decompressed length L (4 bytes, 1 to 1,048,576) followed by a bit stream
// of tokens that produce exactly L bytes; matches refer only to the same block. All integers are
// little-endian; bits are read least significant first.
#pragma once
#include "runtime/base.h"

namespace kiv::boot_lz {

constexpr u32 block_size = 1u << 20;

// Decompresses the image of `length` bytes at `image`. Returns a buffer from the tracked allocator
// of U + 8 bytes holding the U decompressed bytes (its size also goes to *out_size when given), or
// null when the image is corrupt: a header or block that runs past `length`, a block length out of
// range, a match outside its block, blocks that do not add up to U, or a U that the image could
// not possibly produce.
u8* decompress(const u8* image, u32 length, u32* out_size = nullptr);

// Releases a buffer returned by decompress.
void free_stream(u8* buffer);

// Compresses n bytes into `dest`, which must hold n bytes. Returns the image size (C + 8), or -1
// when n is at most 127 or the image would not be smaller than the input.
i32 compress(const u8* src, u32 n, u8* dest);

}  // namespace kiv::boot_lz
