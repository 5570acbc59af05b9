#include "runtime/arena.h"

#include <sys/mman.h>

#include <iterator>
#include <map>

#include "runtime/sys.h"

namespace kiv::arena {
namespace {

// Free ranges below the high-water mark, offset -> length in bytes, coalesced.
std::map<u32, u64> free_ranges;
u64 high_water = page_size;  // the first page stays unmapped so that offset 0 is null
u64 committed_bytes = 0;

u64 round_pages(u64 n) { return (n + page_size - 1) & ~u64{page_size - 1}; }

bool commit(u64 offset, u64 bytes) {
  return mprotect(base + offset, bytes, PROT_READ | PROT_WRITE) == 0;
}

}  // namespace

void init() {
  if (base) return;
  void* p = mmap(nullptr, reserved_bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) sys::quit(sys::Fatal::out_of_memory);
  base = static_cast<std::byte*>(p);
}

u32 take(u32 bytes) {
  init();
  u64 size = round_pages(bytes ? bytes : 1);
  for (auto it = free_ranges.begin(); it != free_ranges.end(); ++it) {
    if (it->second < size) continue;
    u64 offset = it->first;
    if (!commit(offset, size)) return 0;
    u64 rest = it->second - size;
    free_ranges.erase(it);
    if (rest) free_ranges.emplace(static_cast<u32>(offset + size), rest);
    committed_bytes += size;
    return static_cast<u32>(offset);
  }
  if (high_water + size > reserved_bytes) return 0;
  if (!commit(high_water, size)) return 0;
  u64 offset = high_water;
  high_water += size;
  committed_bytes += size;
  return static_cast<u32>(offset);
}

void give_back(u32 offset, u32 bytes) {
  if (!offset) return;
  u64 size = round_pages(bytes ? bytes : 1);
  // Dropping the pages first returns them to the system; PROT_NONE then catches any stale use.
  madvise(base + offset, size, MADV_DONTNEED);
  mprotect(base + offset, size, PROT_NONE);
  committed_bytes -= size;

  u64 start = offset, len = size;
  auto next = free_ranges.lower_bound(offset);
  if (next != free_ranges.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == start) {
      start = prev->first;
      len += prev->second;
      free_ranges.erase(prev);
    }
  }
  if (next != free_ranges.end() && start + len == next->first) {
    len += next->second;
    free_ranges.erase(next);
  }
  if (start + len == high_water) {
    high_water = start;  // the top range shrinks the mark instead of staying listed
  } else {
    free_ranges.emplace(static_cast<u32>(start), len);
  }
}

u64 committed() { return committed_bytes; }

}  // namespace kiv::arena
