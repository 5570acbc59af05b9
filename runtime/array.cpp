#include "runtime/array.h"

#include <cstring>
#include <vector>

#include "runtime/roots.h"

namespace kiv::array {
namespace {

SeriesBuffer* buf(Ref<Node> a) { return buffer_of(a); }

template <class T>
T* element(Ref<Node> a, i32 p) {
  return reinterpret_cast<T*>(buf(a)->head_ptr() + static_cast<std::ptrdiff_t>(p - 1) * sizeof(T));
}

template <class T>
i32 find(Ref<Node> a, T value) {
  SeriesBuffer* b = buf(a);
  for (u32 off = 0; off + sizeof(T) <= b->used_bytes(); off += sizeof(T)) {
    T x;
    std::memcpy(&x, b->head_ptr() + off, sizeof(T));
    if (x == value) return static_cast<i32>(off);
  }
  return -1;
}

template <class T>
void append(Ref<Node> a, T value) {
  std::memcpy(cell::reserve_tail_bytes(buf(a), sizeof(T)), &value, sizeof(T));
}

}  // namespace

Ref<Node> make(i32 count, i32 size) { return memory::alloc_series(count, size, 0); }

i32 length(Ref<Node> a) {
  SeriesBuffer* b = buf(a);
  return static_cast<i32>(b->used_bytes() / b->unit());
}

void clear(Ref<Node> a) {
  SeriesBuffer* b = buf(a);
  b->tail = b->head;
}

void cut(Ref<Node> a, i32 p) {
  SeriesBuffer* b = buf(a);
  b->tail = b->head + static_cast<u32>(p - 1) * b->unit();
}

Ref<Node> copy(Ref<Node> a) { return memory::copy_series(buf(a)); }

u32 flags(Ref<Node> a) { return buf(a)->flags; }

std::byte* append_byte(Ref<Node> a, u8 byte) {
  std::byte* p = cell::reserve_tail_bytes(buf(a), 1);
  *p = static_cast<std::byte>(byte);
  return p;
}

u8 pick_byte(Ref<Node> a, i32 p) { return *element<u8>(a, p); }

std::byte* append_bytes(Ref<Node> a, const void* source, u32 length) {
  // Growth may move the source when it lies in a series: take a copy of it first.
  std::vector<std::byte> held;
  if (arena::base && arena::contains(source)) {
    held.assign(static_cast<const std::byte*>(source), static_cast<const std::byte*>(source) + length);
    source = held.data();
  }
  std::byte* p = cell::reserve_tail_bytes(buf(a), length);
  if (length) std::memcpy(p, source, length);
  return p;
}

void append_int32(Ref<Node> a, i32 value) { append(a, value); }
void append_int32(const Cell* holder, i32 value) { append(Ref<Node>(holder->w2), value); }

void insert_int32(Ref<Node> a, i32 value, i32 index) {
  RootNode keep(a);  // growth may collect and move the node
  cell::reserve_tail_bytes(buf(a), 4);
  SeriesBuffer* b = buf(a);  // may have moved
  std::byte* at = b->head_ptr() + static_cast<std::ptrdiff_t>(index) * 4;
  std::memmove(at + 4, at, static_cast<size_t>(b->tail_ptr() - 4 - at));
  std::memcpy(at, &value, 4);
}

i32 find_int32(Ref<Node> a, i32 value) { return find(a, value); }
i32 pick_int32(Ref<Node> a, i32 p) {
  i32 v;
  std::memcpy(&v, element<i32>(a, p), 4);
  return v;
}
void poke_int32(Ref<Node> a, i32 p, i32 value) { std::memcpy(element<i32>(a, p), &value, 4); }

void append_pointer(Ref<Node> a, const void* p) { append(a, reinterpret_cast<std::uintptr_t>(p)); }
void* pick_pointer(Ref<Node> a, i32 p) {
  std::uintptr_t v;
  std::memcpy(&v, element<std::uintptr_t>(a, p), sizeof v);
  return reinterpret_cast<void*>(v);
}
i32 find_pointer(Ref<Node> a, const void* p) { return find(a, reinterpret_cast<std::uintptr_t>(p)); }

i32 remove_pointer(Ref<Node> a, const void* p) {
  i32 off = find_pointer(a, p);
  if (off >= 0) remove_bytes(a, off, sizeof(void*));
  return off;
}

void remove_bytes(Ref<Node> a, i32 offset, i32 count) {
  SeriesBuffer* b = buf(a);
  std::byte* at = b->head_ptr() + offset;
  std::memmove(at, at + count, static_cast<size_t>(b->tail_ptr() - (at + count)));
  b->tail -= static_cast<u32>(count);
}

}  // namespace kiv::array
