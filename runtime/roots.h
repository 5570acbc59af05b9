// Shadow roots: C++ has no stack maps, so a local that holds a node, a cell or a raw pointer into a
// series buffer across a call that may allocate registers its address here. The collector marks
// what registered nodes and cells reach and rewrites them when it moves things; a registered
// interior pointer is moved along with the buffer it points into.
//
// Guards nest strictly (LIFO), as C++ scopes do.
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

inline void push(void* address, Kind kind) {
  if (top == capacity) overflow();
  entries[top++] = {address, kind};
}
inline void pop() { --top; }

}  // namespace kiv::roots

namespace kiv {

class RootNode {
 public:
  explicit RootNode(Ref<Node>& n) { roots::push(&n, roots::Kind::node); }
  ~RootNode() { roots::pop(); }
  RootNode(const RootNode&) = delete;
  RootNode& operator=(const RootNode&) = delete;
};

class RootCell {
 public:
  explicit RootCell(Cell& c) { roots::push(&c, roots::Kind::cell); }
  ~RootCell() { roots::pop(); }
  RootCell(const RootCell&) = delete;
  RootCell& operator=(const RootCell&) = delete;
};

// For a raw pointer into a series buffer (e.g. a cursor while a loop calls back into the language).
template <class T>
class RootInterior {
 public:
  explicit RootInterior(T*& p) { roots::push(&p, roots::Kind::interior); }
  ~RootInterior() { roots::pop(); }
  RootInterior(const RootInterior&) = delete;
  RootInterior& operator=(const RootInterior&) = delete;
};

}  // namespace kiv
