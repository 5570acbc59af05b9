// The process-wide pseudo-random generator behind every datatype's `random` action and
// `random/seed`, and the secure source behind `random/secure`.
//
// The generator is MT19937 with one twist of its own: its state words are signed 32-bit numbers and
// every right shift (seeding, regeneration, tempering) copies the sign bit in. The sequence thus
// differs from the published generator's, and the final shift of the tempering leaves every output
// non-negative (0 .. 2147483647), which the draws below rely on.
#pragma once
#include "runtime/base.h"

namespace kiv::random {

constexpr i32 state_words = 624;
constexpr i32 boot_seed = 19650218;

// The hash seed of the hash tables (murmur3 and string hashes): fixed for the life of the process.
inline u32 hash_seed = 0;

// Seeds the generator with the boot seed and fixes the hash seed.
void init();
// Re-seeds: word 0 = n, word i = 1812433253 * (w[i-1] ^ (w[i-1] >> 30)) + i; the next output
// tempers word 0.
void seed(i32 n);
// The next output, 0 .. 2147483647.
i32 next();
// 31 bits from the operating system's cryptographic generator, 0 .. 2147483647.
i32 secure_next();
// A uniformly distributed integer in 1 .. n (n .. -1 for a negative n; 0 for 0), drawn from next() or,
// with secure, from secure_next(); rejection sampling, so no modulo bias.
i32 integer(bool secure, i32 n);

}  // namespace kiv::random
