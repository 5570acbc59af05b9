// handle!: the cell, its texts and comparison, and the table that turns objects into 32-bit values.
#include "datatypes/handle.h"

#include <cstdio>
#include <unordered_map>
#include <vector>

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace kiv::handle {

namespace {

// Value v (from 1) stands for objects[v - 1]; a forgotten object leaves a null entry, so its value
// is never reused for another object.
struct Table {
  std::vector<const void*> objects;
  std::unordered_map<const void*, i32> values;
};

Table& table() {
  static Table t;
  return t;
}

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  std::string text = form_text(value);
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

i32 mold(const Cell* value, Cell* out, bool, bool all, bool, const Cell*, i32 limit, i32) {
  std::string text = "handle!";
  if (all) {
    text = "#[handle! " + form_text(value);
    if (const char* name = kind_name(kind_of(value)); *name) (text += ' ') += name;
    text += ']';
  }
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

// Handles order by their values as signed numbers under every operator; anything else is unequal.
i32 compare(const Cell* a, const Cell* b, i32) {
  if (b->type() != type::handle) return 1;
  i32 x = value_of(a), y = value_of(b);
  return (x > y) - (x < y);
}

u32 hash(const Cell* h, bool) {
  u32 v = h->w2;
  return hashtable::murmur3_32(&v, sizeof v);
}

}  // namespace

const char* kind_name(u32 kind) {
  static const char* const names[kind_count] = {"", "fd", "monitor", "window", "font", "rich-text"};
  return kind < kind_count ? names[kind] : "";
}

Cell* box(i32 value, u32 kind) { return make_at(stack::arguments, value, kind); }

Cell* make_in(Cell* block, i32 value, u32 kind) { return make_at(cell::append_slot(block), value, kind); }

Cell* push(i32 value, u32 kind) { return make_at(stack::push_cell(), value, kind); }

Cell* push_null() { return push(0, kind::null); }

i32 enter(const void* object) {
  if (!object) return 0;
  Table& t = table();
  auto [it, added] = t.values.try_emplace(object, static_cast<i32>(t.objects.size() + 1));
  if (added) t.objects.push_back(object);
  return it->second;
}

void* object_of(i32 value) {
  const Table& t = table();
  if (value < 1 || static_cast<size_t>(value) > t.objects.size()) return nullptr;
  return const_cast<void*>(t.objects[static_cast<size_t>(value - 1)]);
}

void forget(const void* object) {
  Table& t = table();
  auto it = t.values.find(object);
  if (it == t.values.end()) return;
  t.objects[static_cast<size_t>(it->second - 1)] = nullptr;
  t.values.erase(it);
}

std::string form_text(const Cell* h) {
  char text[16];
  std::snprintf(text, sizeof text, "%08Xh", h->w2);
  return text;
}

void init() {
  datatype::register_type(type::handle, type::integer, "handle!",
                          {.form = form, .mold = mold, .compare = compare});
  hashtable::set_hash_procedure(type::handle, hash);
  collector::set_mark_procedure(type::handle, collector::mark_handle);
}

}  // namespace kiv::handle
