// logic!: true and false. Payload word 1 is the flag, always stored as 0 or 1.
//
// The truth rule of every conditional: a value is false when it is none, or a logic! whose flag is
// not exactly 1; every other value is true (zero, empty series and, unless asked to check, unset).
#pragma once
#include "runtime/cell.h"

namespace kiv::logic {

// The preset true and false cells that procedures return by reference. Read them; never write
// through them.
inline Cell true_value{type::logic, 1, 0, 0};
inline Cell false_value{type::logic, 0, 0, 0};

inline Cell* box(Cell* out, bool flag) {
  *out = Cell{type::logic, flag ? 1u : 0u, 0, 0};
  return out;
}
inline u32 get(const Cell* value) { return value->w1; }

Cell* set_result(bool flag);
Cell* push(bool flag);
Cell* add_to_block(Cell* block, bool flag);

// The truth rule. With check_unset an unset value raises script error no-value naming `word`.
bool true_q(const Cell* value, bool check_unset = false, const Cell* word = nullptr);
bool top_true_q();
bool top_false_q();
// The result cell at the arguments base; true_result_q raises no-return for unset.
bool true_result_q();
bool false_result_q();

Cell* make(Cell* proto, Cell* spec, u32 type);
Cell* to(Cell* proto, Cell* spec, u32 type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);
Cell* complement(Cell* value);
void and_t();
void or_t();
void xor_t();

void init();

}  // namespace kiv::logic
