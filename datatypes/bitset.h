// bitset!: a set of non-negative integers, above all a set of characters. The members are bits of a
// byte series (1-byte units): number n is a member when bit 0x80 >> (n & 7) of byte n >> 3 is set.
// The complement flag of the buffer (series_flag::complement) says whether the numbers beyond the
// stored bytes are members too, which makes the set infinite; bytes added by growth take the fill
// byte of the flag (FF when set, 00 when clear). The stored bits are the membership itself either
// way, so a byte beyond the stored ones reads as the fill byte.
//
// Cell: header type 30, w2 the series node; w1 and w3 are 0 (a bitset is always taken whole).
//
// Collector contract: the bitset and spec cells passed in stay where they are across a call
// (value-stack cells, rooted locals, unmanaged cells); buffers are re-read after every allocation.
#pragma once
#include "datatypes/registry.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kiv::bitset {

inline Ref<Node> node_of(const Cell* bits) { return Ref<Node>(bits->w2); }
inline SeriesBuffer* buffer_of(const Cell* bits) { return kiv::buffer_of(node_of(bits)); }
inline bool complemented_q(const SeriesBuffer* b) { return (b->flags & series_flag::complement) != 0; }
inline bool complemented_q(const Cell* bits) { return complemented_q(buffer_of(bits)); }
inline u8 fill_of(const SeriesBuffer* b) { return complemented_q(b) ? 0xFF : 0x00; }
// Stored bytes.
inline i32 byte_count(const Cell* bits) {
  SeriesBuffer* b = buffer_of(bits);
  return static_cast<i32>(b->tail - b->head);
}

// The walker's operations.
enum Operation : i32 { measure = 0, set_bits = 1, test_bits = 2, clear_bits = 3 };
// What a walker failure raises: bad-make-arg, bad-to-arg, or invalid-arg (the series actions).
enum ErrorMode : i32 { make_error = 0, to_error = 1, action_error = 2 };

// Makes `out` a bitset! of `bytes` stored bytes filled with the fill byte of the flag.
Cell* make_at(Cell* out, i32 bytes, bool complemented);

// Whether n is a member (testing never grows the bitset).
bool has(const Cell* bits, i32 n);

std::byte* get_data(const Cell* bits);
std::byte* get_tail(const Cell* bits);
// Grows the stored bytes to cover bit n (n >= 0), new bytes taking the fill byte; answers the data
// address (the buffer may have moved).
std::byte* ensure_bit(Cell* bits, i32 n);
// True when n < 0 or bit n is not stored.
bool out_of_range_q(const Cell* bits, i32 n);
// Inverts every byte of the buffer's data area.
void invert_bytes(SeriesBuffer* b);
// Appends two uppercase hexadecimal digits per stored byte (of 255 - byte with invert), 2 off the
// limit each; with part it stops once the limit is below 0. Returns the limit.
i32 form_hex(const Cell* bits, Cell* out, bool part, i32 limit, bool invert);

// Sets, tests or clears low .. high inclusive (0 <= low <= high); a test answers whether all are
// members. Set grows a plain bitset and clear a complemented one to cover high.
bool process_range(Cell* bits, i32 low, i32 high, i32 op);
// The operation on each code point of a string! from its head; measure only answers the largest
// code point (-1 for an empty string), test whether all are members (1 or 0).
i32 process_string(const Cell* str, Cell* bits, i32 op);
// The spec walker over char!, integer!, float!, string! and block! specs (ranges `a - b` and nested
// blocks). Measure answers the byte count (largest number >> 3) + 1, set the same after making the
// stored bytes cover it (unless no_resize); test answers 1 when every member given is in.
i32 process(const Cell* spec, Cell* bits, i32 op, bool no_resize, i32 error_mode);

// make (mode 0) or to (mode 1) from a spec: a bitset copies, an integer gives that many zero bits
// (make only), a binary gives its bytes, [not ...] negates, anything else is walked. Writes `result`.
Cell* make_from_spec(Cell* result, Cell* spec, i32 mode);

// The set operations on the current call's two bitset operands: arith-op codes 5 or 9 OR, 6 and~,
// 10 intersect, 7 or 12 XOR, 11 AND NOT, 8 the first operand as it is. The result, a new bitset, is
// left at the arguments base.
void do_set_operation(i32 code);

// Actions.
Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* reflect(Cell* value, i32 field);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* negate(Cell* value);      // the argument becomes the complemented copy
Cell* complement(Cell* value);  // a new complemented copy, pushed
void and_t();
void or_t();
void xor_t();
Cell* append(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);  // also insert
Cell* clear(Cell* series);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
           Cell* skip, bool last, bool reverse, bool tail, bool match);
i32 length_q(const Cell* series);
Cell* pick(Cell* series, i32 index, Cell* boxed);
Cell* poke(Cell* series, i32 index, Cell* data, Cell* boxed);
Cell* remove(Cell* series, Cell* part, Cell* key);
Cell* modify(Cell* target, Cell* field, Cell* value, bool case_);

// Registers bitset!.
void init();

}  // namespace kiv::bitset
