#include "evaluator/natives.h"

#include <algorithm>

#include "datatypes/block.h"
#include "runtime/collector.h"

namespace kiv::natives {

namespace {

struct BootNative {
  const char* word;
  i32 refinements;
};

constexpr BootNative boot_natives[] = {
#define KIV_NATIVE_BOOT(name, word, refinements) {word, refinements},
    KIV_NATIVES(KIV_NATIVE_BOOT)
#undef KIV_NATIVE_BOOT
};
static_assert(std::size(boot_natives) == boot_native_count);

// The print buffer: an unmanaged block made once; its cell is marked by this unit's root callback.
Cell print_block{type::none, 0, 0, 0};

void mark_print_block() {
  if (print_block.type() == type::block) collector::mark_cell(&print_block);
}

}  // namespace

const char* word_of(i32 slot) {
  return slot >= 1 && slot <= boot_native_count ? boot_natives[slot - 1].word : nullptr;
}

i32 refinements_of(i32 slot) {
  return slot >= 1 && slot <= boot_native_count ? boot_natives[slot - 1].refinements : -1;
}

void init(std::span<const Entry> procedures) {
  std::fill(std::begin(table), std::end(table), Slot{});
  next_free = 1;
  register_natives(procedures);
  if (print_block.type() != type::block) {
    static bool registered = false;
    if (!registered) {
      collector::add_root_callback(mark_print_block);
      registered = true;
    }
    block::make_buffer_at(&print_block, 32, true);
  }
}

Cell* print_buffer() { return &print_block; }

}  // namespace kiv::natives
