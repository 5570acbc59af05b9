// The non-cryptographic checksums computed by the system itself: CRC-32, Adler-32 and the Internet
// checksum over plain bytes. The `checksum` native and the DEFLATE framings both call these, so
// the tables live here.
#pragma once
#include <cstddef>

#include "runtime/base.h"

namespace kiv::checksum {

// CRC-32 with the reflected polynomial 0xEDB88320: initial value 0xFFFFFFFF, result complemented.
// crc32("abc") == 0x352441C2, crc32 of nothing == 0.
u32 crc32(const u8* bytes, std::size_t length);

// Continues a CRC-32: crc32_update(crc32(a), b) == crc32(a followed by b). Start from 0.
u32 crc32_update(u32 crc, const u8* bytes, std::size_t length);

// Adler-32: sums modulo 65521, result (b << 16) | a. adler32("abc") == 0x024D0127, of nothing == 1.
u32 adler32(const u8* bytes, std::size_t length);

// Continues an Adler-32 from a previous result (start from 1).
u32 adler32_update(u32 adler, const u8* bytes, std::size_t length);

// The 16-bit Internet checksum: the data as big-endian 16-bit words (an odd last byte is the high
// byte of a final word), summed with end-around carry, complemented. tcp of nothing == 0xFFFF, of
// the byte 0x01 == 0xFEFF.
u32 tcp(const u8* bytes, std::size_t length);

}  // namespace kiv::checksum
