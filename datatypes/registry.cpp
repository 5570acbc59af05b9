// Registration of datatypes into the action table. Inheritance is resolved here, once: a child's
// entry is a copy of its parent's entry as the parent's row stands at this moment, so the lookup at
// call time is one read.
#include "datatypes/registry.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/hooks.h"
#include "runtime/sys.h"

namespace kiv::datatype {

namespace {

void** slots_of(action::Row& row) { return reinterpret_cast<void**>(&row); }

void set_name(u32 id, const char* name) {
  if (id > highest_type_id) highest_type_id = id;
  auto length = static_cast<u32>(std::strlen(name));
  names[id].name = name;
  names[id].length = length ? length - 1 : 0;
  if (hooks::make_name_word) hooks::make_name_word(id);
}

void check_id(u32 id, u32 parent) {
  // Ids come from the program itself; a bad one is a build fault, reported like a bad count.
  if (id == 0 || id >= table_rows || parent >= table_rows) {
    std::string text = "*** Datatype Error: invalid type id: " + std::to_string(id) + "\n";
    sys::write(text);
    sys::quit(sys::Fatal::assertion);
  }
}

}  // namespace

static_assert(sizeof(action::Row) == action::slot_count * sizeof(void*));

void* entry(u32 type_id, u32 slot) {
  if (type_id >= table_rows || slot == 0 || slot > action::slot_count) return nullptr;
  return slots_of(actions[type_id])[slot - 1];
}

void register_type(u32 id, u32 parent, const char* name, const action::Entries& e) {
  check_id(id, parent);
  set_name(id, name);
  const action::Row& from = actions[parent];  // row 0 is never registered: all null
  action::Row& row = actions[id];
#define KIV_RESOLVE(slot, Type) row.slot = e.slot.inherits ? (parent ? from.slot : nullptr) : e.slot.fn;
  KIV_ACTION_SLOTS(KIV_RESOLVE)
#undef KIV_RESOLVE
}

void register_raw(u32 count, const void* const* words) {
  auto id = static_cast<u32>(reinterpret_cast<std::uintptr_t>(words[0]));
  auto parent = static_cast<u32>(reinterpret_cast<std::uintptr_t>(words[1]));
  check_id(id, parent);
  set_name(id, static_cast<const char*>(words[2]));
  if (count != 3 + action::slot_count) {
    std::string text = "*** Datatype Error: invalid actions count for type: " + std::to_string(id) + "\n";
    text += "*** Found: " + std::to_string(static_cast<i64>(count) - 3) + "\n";
    text += "*** Expected: " + std::to_string(action::slot_count) + "\n";
    sys::write(text);
    sys::quit(sys::Fatal::assertion);
  }
  void** row = slots_of(actions[id]);
  void* const* from = slots_of(actions[parent]);
  for (u32 s = 0; s < action::slot_count; ++s) {
    const void* given = words[3 + s];
    if (given == raw_inherit) row[s] = parent ? from[s] : nullptr;
    else row[s] = const_cast<void*>(given);
  }
}

void make_name_words() {
  if (!hooks::make_name_word) return;
  for (u32 id = 1; id <= highest_type_id; ++id)
    if (names[id].name) hooks::make_name_word(id);
}

void reset_registry() {
  for (auto& r : actions) r = action::Row{};
  for (auto& n : names) n = TypeName{};
  highest_type_id = 0;
}

}  // namespace kiv::datatype
