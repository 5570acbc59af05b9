// Fixed-width names used across the run-time, and the assertion macros. Every record that the
// design lays out in 32-bit words keeps that layout here; references into run-time memory are
// 32-bit arena offsets (see arena.h).
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

namespace kiv::sys {
// Reports a failed assertion on standard error (the check's text, the message, file and line) and
// ends the process with the fatal runtime error "assertion failed" (sys.h).
[[noreturn, gnu::cold, gnu::noinline]] void assert_failed(const char* expr, const char* msg, const char* file,
                                                           int line);
}  // namespace kiv::sys

// An invariant checked in every build, Release included: a broken one stops the process with a
// clear report instead of letting it corrupt memory. Keep such checks to a compare or two, and off
// the interpreter's per-call and per-expression paths; KIV_DEBUG_ASSERT serves those.
#define KIV_ASSERT(cond, msg) \
  (__builtin_expect(static_cast<bool>(cond), 1) ? void(0) : ::kiv::sys::assert_failed(#cond, msg, __FILE__, __LINE__))

// A check too costly for Release (it sits on a hot path or walks a structure): compiled only in
// the builds that define KIV_DEBUG_CHECKS (Debug and Sanitize). Elsewhere the condition is not
// evaluated, but it still has to compile.
#ifdef KIV_DEBUG_CHECKS
#define KIV_DEBUG_ASSERT(cond, msg) KIV_ASSERT(cond, msg)
#else
#define KIV_DEBUG_ASSERT(cond, msg) static_cast<void>(sizeof(static_cast<bool>(cond)))
#endif
