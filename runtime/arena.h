// The arena: all run-time memory that a 32-bit field refers to (node frames, series frames, big series,
// unmanaged series) lives in one 4 GiB reservation, so a reference is a 32-bit offset from its base.
// Offset 0 is never handed out and means null.
//
// Blocks are taken first-fit at the lowest free address, committed on demand and returned to the
// operating system when given back; address order inside the arena is therefore the order the
// memory manager and the collector reason about.
#pragma once
#include "runtime/base.h"

namespace kiv::arena {

inline std::byte* base = nullptr;

constexpr u32 page_size = 4096;
constexpr u64 reserved_bytes = u64{1} << 32;

// Reserves the address space. Idempotent. A refused reservation is fatal (runtime error 94).
void init();

// Commits a block of at least `bytes` (rounded up to pages) and returns its offset, or 0 when the
// arena is full or the system refuses to commit. The memory reads as zero.
u32 take(u32 bytes);

// Returns a block obtained from take() to the operating system; `bytes` is the size asked for.
void give_back(u32 offset, u32 bytes);

// Bytes currently committed through take().
u64 committed();

template <class T = std::byte>
inline T* at(u32 offset) { return reinterpret_cast<T*>(base + offset); }

inline u32 offset_of(const void* p) {
  return static_cast<u32>(static_cast<const std::byte*>(p) - base);
}

inline bool contains(const void* p) {
  auto b = static_cast<const std::byte*>(p);
  return b >= base && b < base + reserved_bytes;
}

}  // namespace kiv::arena

namespace kiv {

// A typed 32-bit reference into the arena. It stays valid across collections only where the
// collector knows about it: held in a cell, a node slot, or a registered shadow root (roots.h).
template <class T>
class Ref {
  u32 off_ = 0;

 public:
  constexpr Ref() = default;
  constexpr explicit Ref(u32 offset) : off_(offset) {}
  static Ref of(const T* p) { return Ref(p ? arena::offset_of(p) : 0); }

  T* get() const { return off_ ? arena::at<T>(off_) : nullptr; }
  T* operator->() const { return arena::at<T>(off_); }
  T& operator*() const { return *arena::at<T>(off_); }
  constexpr u32 offset() const { return off_; }
  constexpr explicit operator bool() const { return off_ != 0; }
  constexpr bool operator==(const Ref&) const = default;
};

}  // namespace kiv
