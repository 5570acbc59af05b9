// Fixed-width names used across the run-time. Every record that the design lays out in 32-bit words
// keeps that layout here; references into run-time memory are 32-bit arena offsets (see arena.h).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kiv {
using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i8 = std::int8_t;
using i16 = std::int16_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

// Language error categories, in catalogue order. Here rather than beside LanguageError (cell.h) so
// that code seeing only the slot API (api/api.h) can name them too.
enum class ErrorCategory : u8 { throw_, note, syntax, script, math, access, reserved1, reserved2, user, internal };
}  // namespace kiv
