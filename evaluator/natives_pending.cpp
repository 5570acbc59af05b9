// Placeholders for the natives not written yet: each raises internal not-done. Whoever writes a
// native deletes its line here (the declaration in natives.h fixes its type).
#include "evaluator/natives.h"

namespace kiv::natives {

namespace {
[[noreturn]] Exit pending() { raise_error(ErrorCategory::internal, "not-done"); }
}  // namespace

Exit stats(bool, i32, i32) { pending(); }
Exit parse(bool, i32, i32, i32) { pending(); }
Exit union_(bool, i32, i32) { pending(); }
Exit intersect(bool, i32, i32) { pending(); }
Exit unique(bool, i32, i32) { pending(); }
Exit difference(bool, i32, i32) { pending(); }
Exit exclude(bool, i32, i32) { pending(); }
Exit complement_q(bool) { pending(); }
Exit dehex(bool) { pending(); }
Exit enhex(bool) { pending(); }
Exit negative_q(bool) { pending(); }
Exit positive_q(bool) { pending(); }
Exit max(bool) { pending(); }
Exit min(bool) { pending(); }
Exit shift(bool, i32, i32) { pending(); }
Exit to_hex(bool, i32) { pending(); }
Exit sine(bool, i32) { pending(); }
Exit cosine(bool, i32) { pending(); }
Exit tangent(bool, i32) { pending(); }
Exit arcsine(bool, i32) { pending(); }
Exit arccosine(bool, i32) { pending(); }
Exit arctangent(bool, i32) { pending(); }
Exit arctangent2(bool, i32) { pending(); }
Exit nan_q(bool) { pending(); }
Exit log_2(bool) { pending(); }
Exit log_10(bool) { pending(); }
Exit log_e(bool) { pending(); }
Exit exp(bool) { pending(); }
Exit square_root(bool) { pending(); }
Exit uppercase(bool, i32) { pending(); }
Exit lowercase(bool, i32) { pending(); }
Exit as_pair(bool) { pending(); }
Exit as_point2d(bool) { pending(); }
Exit as_point3d(bool) { pending(); }
Exit as_money(bool) { pending(); }
Exit debase(bool, i32) { pending(); }
Exit to_local_file(bool, i32) { pending(); }
Exit wait(bool, i32) { pending(); }
Exit checksum(bool, i32) { pending(); }
Exit new_line(bool, i32, i32) { pending(); }
Exit new_line_q(bool) { pending(); }
Exit enbase(bool, i32) { pending(); }
Exit set_env(bool) { pending(); }
Exit get_env(bool) { pending(); }
Exit list_env(bool) { pending(); }
Exit now(bool, i32, i32, i32, i32, i32, i32, i32, i32, i32, i32) { pending(); }
Exit sign_q(bool) { pending(); }
Exit as(bool) { pending(); }
Exit call(bool, i32, i32, i32, i32, i32, i32, i32) { pending(); }
Exit zero_q(bool) { pending(); }
Exit size_q(bool) { pending(); }
Exit browse(bool) { pending(); }
Exit compress(bool) { pending(); }
Exit decompress(bool, i32) { pending(); }
Exit recycle(bool, i32, i32) { pending(); }
Exit transcode(bool, i32, i32, i32, i32, i32, i32, i32) { pending(); }

}  // namespace kiv::natives
