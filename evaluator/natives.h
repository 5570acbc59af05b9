// The natives: the 107 procedures of the natives table's boot slots, in slot order, with their
// words and refinement counts. The table itself and the native calling convention are
// datatypes/native_table.h.
#pragma once
#include <span>

#include "datatypes/native_table.h"

namespace kiv::natives {

// ---- The natives, in slot order: (procedure name, word, refinement count) ----
//
// Each is declared here with its exact type; the units that implement them define
// `Exit kiv::natives::NAME(bool check, ...)`.
#define KIV_NATIVES(X)                                                                                        \
  X(if_, "if", 0) X(unless, "unless", 0) X(either, "either", 0) X(any, "any", 0) X(all, "all", 0)              \
  X(while_, "while", 0) X(until, "until", 0) X(loop, "loop", 0) X(repeat, "repeat", 0)                         \
  X(forever, "forever", 0) X(foreach, "foreach", 0) X(forall, "forall", 0) X(remove_each, "remove-each", 0)   \
  X(func, "func", 0) X(function, "function", 1) X(does, "does", 0) X(has, "has", 0) X(switch_, "switch", 1)   \
  X(case_, "case", 1) X(do_, "do", 4) X(get, "get", 2) X(set, "set", 4) X(print, "print", 0)                   \
  X(prin, "prin", 0) X(equal_q, "equal?", 0) X(not_equal_q, "not-equal?", 0)                                   \
  X(strict_equal_q, "strict-equal?", 0) X(lesser_q, "lesser?", 0) X(greater_q, "greater?", 0)                \
  X(lesser_or_equal_q, "lesser-or-equal?", 0) X(greater_or_equal_q, "greater-or-equal?", 0)                   \
  X(same_q, "same?", 0) X(not_, "not", 0) X(type_q, "type?", 1) X(reduce, "reduce", 1)                         \
  X(compose, "compose", 3) X(stats, "stats", 2) X(bind, "bind", 1) X(in, "in", 0) X(parse, "parse", 3)         \
  X(union_, "union", 2) X(intersect, "intersect", 2) X(unique, "unique", 2) X(difference, "difference", 2)    \
  X(exclude, "exclude", 2) X(complement_q, "complement?", 0) X(dehex, "dehex", 0) X(enhex, "enhex", 0)        \
  X(negative_q, "negative?", 0) X(positive_q, "positive?", 0) X(max, "max", 0) X(min, "min", 0)               \
  X(shift, "shift", 2) X(to_hex, "to-hex", 1) X(sine, "sine", 1) X(cosine, "cosine", 1)                        \
  X(tangent, "tangent", 1) X(arcsine, "arcsine", 1) X(arccosine, "arccosine", 1)                               \
  X(arctangent, "arctangent", 1) X(arctangent2, "arctangent2", 1) X(nan_q, "NaN?", 0) X(log_2, "log-2", 0)    \
  X(log_10, "log-10", 0) X(log_e, "log-e", 0) X(exp, "exp", 0) X(square_root, "square-root", 0)               \
  X(construct, "construct", 2) X(value_q, "value?", 0) X(try_, "try", 2) X(uppercase, "uppercase", 1)          \
  X(lowercase, "lowercase", 1) X(as_pair, "as-pair", 0) X(as_point2d, "as-point2D", 0)                        \
  X(as_point3d, "as-point3D", 0) X(as_money, "as-money", 0) X(break_, "break", 1) X(continue_, "continue", 0) \
  X(exit_, "exit", 0) X(return_, "return", 0) X(throw_, "throw", 1) X(catch_, "catch", 1)                      \
  X(extend, "extend", 1) X(debase, "debase", 1) X(to_local_file, "to-local-file", 1) X(wait, "wait", 1)       \
  X(checksum, "checksum", 1) X(unset, "unset", 0) X(new_line, "new-line", 2) X(new_line_q, "new-line?", 0)    \
  X(enbase, "enbase", 1) X(context_q, "context?", 0) X(set_env, "set-env", 0) X(get_env, "get-env", 0)        \
  X(list_env, "list-env", 0) X(now, "now", 10) X(sign_q, "sign?", 0) X(as, "as", 0) X(call, "call", 7)        \
  X(zero_q, "zero?", 0) X(size_q, "size?", 0) X(browse, "browse", 0) X(compress, "compress", 0)               \
  X(decompress, "decompress", 1) X(recycle, "recycle", 2) X(transcode, "transcode", 7) X(apply, "apply", 2)

#define KIV_NATIVE_DECLARE(name, word, refinements) Proc<refinements> name;
KIV_NATIVES(KIV_NATIVE_DECLARE)
#undef KIV_NATIVE_DECLARE

// Slot numbers by procedure name: id::if_ == 1 ... id::apply == 107.
namespace id {
enum : i32 {
  none_ = 0,
#define KIV_NATIVE_ID(name, word, refinements) name,
  KIV_NATIVES(KIV_NATIVE_ID)
#undef KIV_NATIVE_ID
};
}  // namespace id

// The word of a boot native by slot (1..107), e.g. "if"; null outside.
const char* word_of(i32 slot);
// The refinement count a boot native's procedure takes; -1 outside 1..107.
i32 refinements_of(i32 slot);

// ---- Registration ----

// natives/init: empties the table, registers the given procedures (the 107 natives, in slot order:
// next_free then reads 108) and makes the print buffer. Runs once at boot, after actions::init.
// The natives are written in the layers whose services they need, so only the start-up, which
// sees every layer, lists them (KIV_NATIVE_ENTRY).
void init(std::span<const Entry> procedures);
#define KIV_NATIVE_ENTRY(name, word, refinements) ::kiv::natives::entry(&::kiv::natives::name),

// Defines the core vocabulary until the boot data does: the datatype words, the core typesets
// (any-type!, number!, series! ...), the 59 action words, the native words of the filled slots and
// the operators (+ - * / // ** = <> == < > <= >= =? and or xor), each value made from its table slot
// with its interface spec. After actions::init and natives::init.
void define_words();

// The block of 32 cells into which print and prin reduce a block argument (an unmanaged block!
// cell, kept for the whole run).
Cell* print_buffer();

}  // namespace kiv::natives
