#include "runtime/random.h"

#include <sys/random.h>

#include <cerrno>

#include "runtime/sys.h"

namespace kiv::random {

namespace {

i32 state[state_words];
i32 index = state_words;
bool seeded = false;

// The generator's right shift: the sign bit is copied in.
inline i32 sar(i32 x, int n) { return x >> n; }
inline i32 shl(i32 x, int n) { return static_cast<i32>(static_cast<u32>(x) << n); }

void regenerate() {
  constexpr i32 upper = static_cast<i32>(0x80000000u);
  constexpr i32 lower = 0x7FFFFFFF;
  constexpr i32 matrix = static_cast<i32>(0x9908B0DFu);
  for (i32 k = 0; k < state_words; ++k) {
    i32 y = (state[k] & upper) | (state[(k + 1) % state_words] & lower);
    state[k] = state[(k + 397) % state_words] ^ sar(y, 1) ^ ((y & 1) ? matrix : 0);
  }
  index = 0;
}

}  // namespace

void seed(i32 n) {
  state[0] = n;
  for (i32 i = 1; i < state_words; ++i) {
    u32 prev = static_cast<u32>(state[i - 1] ^ sar(state[i - 1], 30));
    state[i] = static_cast<i32>(1812433253u * prev + static_cast<u32>(i));
  }
  index = 0;
  seeded = true;
}

void init() {
  seed(boot_seed);
  hash_seed = 0x5BD1E995u;
}

i32 next() {
  if (!seeded) seed(boot_seed);
  if (index >= state_words) regenerate();
  i32 y = state[index++];
  y ^= sar(y, 11);
  y ^= shl(y, 7) & static_cast<i32>(0x9D2C5680u);
  y ^= shl(y, 15) & static_cast<i32>(0xEFC60000u);
  y ^= sar(y, 18);
  return y;
}

i32 secure_next() {
  u32 word = 0;
  auto* p = reinterpret_cast<unsigned char*>(&word);
  std::size_t got = 0;
  while (got < sizeof word) {
    ssize_t n = getrandom(p + got, sizeof word - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      // The kernel's generator is gone (no getrandom, seccomp): there is no secure source to fall
      // back on, and handing out predictable numbers as secure ones would be worse than stopping.
      sys::quit(sys::Fatal::unknown);
    }
  }
  return static_cast<i32>(word & 0x7FFFFFFF);
}

i32 integer(bool secure, i32 n) {
  auto draw = [secure] { return secure ? secure_next() : next(); };
  if (n == 0) return 0;
  if (n == -2147483647 - 1) return -1 - draw();
  bool negative = n < 0;
  if (negative) n = -n;
  const i32 limit = (2147483647 / n) * n;
  i32 d;
  do d = draw();
  while (d >= limit);
  i32 r = d % n + 1;
  return negative ? -r : r;
}

}  // namespace kiv::random
