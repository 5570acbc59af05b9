// Shadow roots: C++ has no stack maps, so a local that holds a node, a cell or a raw pointer into a
// series buffer across a call that may allocate registers its address here. The collector marks
// what registered nodes and cells reach and rewrites them when it moves things; a registered
// interior pointer is moved along with the buffer it points into.
//
// Guards nest strictly (LIFO), as C++ scopes do. A guard released while a younger one still holds
// its entry would leave the younger guard's entry behind, pointing at a dead local that the
// collector then rewrites: every release checks that its entry is the last one, in every build.
#pragma once
#include "runtime/cell.h"

namespace kiv::roots {

enum class Kind : u8 { node, cell, interior };

struct Entry {
  void* address;  // Ref<Node>*, Cell* or std::byte**
  Kind kind;
};

constexpr u32 capacity = 1u << 16;
inline Entry entries[capacity];
inline u32 top = 0;

[[noreturn]] void overflow();

// Registers the address; answers the entry's index, which the matching release hands back.
inline u32 push(void* address, Kind kind) {
  if (top == capacity) overflow();
  entries[top] = {address, kind};
  return top++;
}
// Gives back entry `index`, which must be the last one taken.
inline void pop(u32 index) {
  KIV_ASSERT(top == index + 1, "root guards released out of order");
  top = index;
}

}  // namespace kiv::roots

namespace kiv {

class RootNode {
 public:
  explicit RootNode(Ref<Node>& n) : index_(roots::push(&n, roots::Kind::node)) {}
  ~RootNode() { roots::pop(index_); }
  RootNode(const RootNode&) = delete;
  RootNode& operator=(const RootNode&) = delete;

 private:
  u32 index_;
};

class RootCell {
 public:
  explicit RootCell(Cell& c) : index_(roots::push(&c, roots::Kind::cell)) {}
  ~RootCell() { roots::pop(index_); }
  RootCell(const RootCell&) = delete;
  RootCell& operator=(const RootCell&) = delete;

 private:
  u32 index_;
};

// For a raw pointer into a series buffer (e.g. a cursor while a loop calls back into the language).
template <class T>
class RootInterior {
 public:
  explicit RootInterior(T*& p) : index_(roots::push(&p, roots::Kind::interior)) {}
  ~RootInterior() { roots::pop(index_); }
  RootInterior(const RootInterior&) = delete;
  RootInterior& operator=(const RootInterior&) = delete;

 private:
  u32 index_;
};

}  // namespace kiv
