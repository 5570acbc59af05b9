#include "datatypes/native_table.h"

namespace kiv::natives {

i32 register_natives(std::span<const Entry> procedures) {
  i32 stored = 0;
  for (const Entry& e : procedures) {
    if (next_free > slot_count) break;
    table[next_free - 1] = {e.code, Convention::native, e.refinements};
    ++next_free;
    ++stored;
  }
  return stored;
}

i32 register_natives(std::span<const Procedure> procedures) {
  i32 stored = 0;
  for (Procedure p : procedures) {
    if (next_free > slot_count) break;
    table[next_free - 1] = {p, Convention::native, 0};
    ++next_free;
    ++stored;
  }
  return stored;
}

Exit invoke(const Slot& slot, bool check, const i32* r) {
  switch (slot.refinements) {
    case 0: return reinterpret_cast<Proc<0>*>(slot.code)(check);
    case 1: return reinterpret_cast<Proc<1>*>(slot.code)(check, r[0]);
    case 2: return reinterpret_cast<Proc<2>*>(slot.code)(check, r[0], r[1]);
    case 3: return reinterpret_cast<Proc<3>*>(slot.code)(check, r[0], r[1], r[2]);
    case 4: return reinterpret_cast<Proc<4>*>(slot.code)(check, r[0], r[1], r[2], r[3]);
    case 5: return reinterpret_cast<Proc<5>*>(slot.code)(check, r[0], r[1], r[2], r[3], r[4]);
    case 6: return reinterpret_cast<Proc<6>*>(slot.code)(check, r[0], r[1], r[2], r[3], r[4], r[5]);
    case 7: return reinterpret_cast<Proc<7>*>(slot.code)(check, r[0], r[1], r[2], r[3], r[4], r[5], r[6]);
    case 8: return reinterpret_cast<Proc<8>*>(slot.code)(check, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
    case 9:
      return reinterpret_cast<Proc<9>*>(slot.code)(check, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8]);
    case 10:
      return reinterpret_cast<Proc<10>*>(slot.code)(check, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8],
                                                    r[9]);
    case 11:
      return reinterpret_cast<Proc<11>*>(slot.code)(check, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8],
                                                    r[9], r[10]);
    default:
      return reinterpret_cast<Proc<12>*>(slot.code)(check, r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8],
                                                    r[9], r[10], r[11]);
  }
}

}  // namespace kiv::natives
