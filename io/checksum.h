// The methods of the `checksum` native: the nine method words, and the digests that go through the
// cryptographic library (MD5, SHA-1, SHA-256, SHA-384, SHA-512 and their HMAC forms). CRC-32,
// Adler-32 and the Internet checksum are the system's own (checksum_core.h).
#pragma once
#include <cstddef>
#include <string_view>

#include "io/checksum_core.h"
#include "runtime/cell.h"

namespace kiv::checksum {

// Algorithm indexes: tcp 0, crc32 1, md5 2, sha1 3, sha256 4, sha384 5, sha512 6. adler32 and hash
// have no index of their own in the digest layer; they get 7 and 8 here so that every method word
// maps to one number.
enum Method : i32 {
  unknown = -1, tcp_method = 0, crc32_method = 1, md5 = 2, sha1 = 3, sha256 = 4, sha384 = 5, sha512 = 6,
  adler32_method = 7, hash = 8,
};

constexpr std::size_t max_digest = 64;

// The method a name stands for (compared without regard to case, as words are), or unknown.
Method method_named(std::string_view name);
// The method of a word! cell, or unknown for any other word or value.
Method method_of(const Cell* word);
inline bool known_method_q(const Cell* word) { return method_of(word) != unknown; }

// Bytes of the digest of a method: 16, 20, 32, 48, 64 for md5 .. sha512, 0 for any other.
std::size_t digest_size(i32 index);

// The digest of the bytes into out (max_digest bytes of room); answers its size. An index without
// a digest raises script invalid-arg with the index.
std::size_t crypto_hash(const u8* bytes, std::size_t length, i32 index, u8* out);

// HMAC (RFC 2104) of the message under the key with a digest method; answers the digest size. For
// the methods without a digest it prints "The selected algorithm doesn't support HMAC calculation"
// on a line of the run-time's output and answers 0.
std::size_t hmac(const u8* message, std::size_t length, const u8* key, std::size_t key_length, i32 index,
                 u8* out);

// The hash method's computation: not settled yet; prints "** /hash support not yet implemented;
// algorithm TBD." on a line of the run-time's output and answers 0.
i32 hash_placeholder();

}  // namespace kiv::checksum
