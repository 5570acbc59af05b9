// The shared boot of the core for unit tests: memory, the value stack and every datatype that
// exists, registered in the boot order. Also small builders for the values tests need.
#pragma once
#include <initializer_list>
#include <string>

#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/roots.h"

namespace kiv::test {

// Every allocation in its scope collects and moves every live buffer and node, whatever
// KIV_TORTURE says; the previous collector state comes back at its end.
class Torture {
  bool enabled_ = collector::enabled;
  u32 every_ = collector::torture_every;

 public:
  Torture() {
    collector::enabled = true;
    collector::set_torture(1);
  }
  ~Torture() {
    collector::set_torture(every_);
    collector::enabled = enabled_;
    collector::release_quarantine();
  }
  Torture(const Torture&) = delete;
  Torture& operator=(const Torture&) = delete;
};

// Roots several cells for its scope (the cells stay where they are): test locals, or a table of
// cases built before the test allocates. Every value a test keeps across an allocation must be
// rooted, or the collector moves its series and nodes away under it.
class RootCells {
  u32 count_ = 0;
  void add(const Cell* c) {
    roots::push(const_cast<Cell*>(c), roots::Kind::cell);
    ++count_;
  }

 public:
  RootCells(std::initializer_list<Cell*> cells) {
    for (Cell* c : cells) add(c);
  }
  RootCells(const Cell* first, size_t n) {
    for (size_t i = 0; i < n; ++i) add(first + i);
  }
  // Each element's cell member, e.g. RootCells keep(cases, &Case::value).
  template <class Range, class Element>
  RootCells(Range& range, Cell Element::*member) {
    for (auto& e : range) add(&(e.*member));
  }
  ~RootCells() { roots::top -= count_; }
  RootCells(const RootCells&) = delete;
  RootCells& operator=(const RootCells&) = delete;
};

// Holds collections off while a test builds a table of values, until release() (once the table's
// cells are rooted, e.g. with RootCells).
class Building {
  bool saved_;
  bool held_ = true;

 public:
  Building() : saved_(collector::enabled) { collector::enabled = false; }
  void release() {
    if (held_) collector::enabled = saved_;
    held_ = false;
  }
  ~Building() { release(); }
  Building(const Building&) = delete;
  Building& operator=(const Building&) = delete;
};

// Boots once per process; later calls only empty the value stack and the cycle stack.
void boot_core();

inline Cell int_cell(i32 n) { return Cell{type::integer, 0, static_cast<u32>(n), 0}; }
inline Cell none_cell() { return Cell{type::none, 0, 0, 0}; }
inline Cell logic_cell(bool f) { return Cell{type::logic, f ? 1u : 0u, 0, 0}; }
// A cell handed to a builder, read when the builder uses it: a builder's result on the value stack,
// a rooted local or a temporary (rooted by the builder while it allocates). Values that hold nodes
// must come from the value stack or a root: a plain copy goes stale at the next allocation.
struct Arg {
  const Cell* cell;
  Arg(const Cell& c) : cell(&c) {}  // NOLINT: implicit on purpose
};
// A block! (or another any-block type) holding copies of the cells. The builders push the new value
// on the value stack, so a collection keeps it (and rewrites it) for the rest of the test, and
// answer that stack cell: keep it by reference (Cell& b = ...), or root a copy.
Cell& block_of(std::initializer_list<Arg> cells, u32 type_id = type::block);
// A block! of the integers.
Cell& ints(std::initializer_list<i32> values);
// The value with the new-line flag set.
inline Cell nl(Cell c) {
  c.header |= header::new_line;
  return c;
}

// Block search arrives with its own unit; until then, tests that need `find` on blocks (remove/key,
// put, path set) install this plain equality search for their scope.
class PlainBlockFind {
  void* saved_[2];

 public:
  PlainBlockFind();
  ~PlainBlockFind();
  PlainBlockFind(const PlainBlockFind&) = delete;
  PlainBlockFind& operator=(const PlainBlockFind&) = delete;
};

// Mold and form through the generic entries' C++ forms.
std::string mold_text(const Cell& value, bool only = false, bool all = false, bool flat = false, i32 limit = -1);
std::string form_text(const Cell& value, i32 limit = -1);

// Runs `body` as a call whose arguments are the given cells pushed from the current top; answers
// the result cell the call left at its arguments base.
template <class Body>
Cell call(std::initializer_list<Cell> args, Body&& body);

}  // namespace kiv::test

#include "runtime/stack.h"

namespace kiv::test {

template <class Body>
Cell call(std::initializer_list<Cell> args, Body&& body) {
  stack::Call frame;
  for (const Cell& a : args) stack::push_value(&a);
  body();
  return *frame.result();
}

}  // namespace kiv::test
