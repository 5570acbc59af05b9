// The shared boot of the core for unit tests: memory, the value stack and every datatype that
// exists, registered in the boot order. Also small builders for the values tests need.
#pragma once
#include <initializer_list>
#include <string>

#include "runtime/cell.h"

namespace kiv::test {

// Boots once per process; later calls only empty the value stack and the cycle stack.
void boot_core();

inline Cell int_cell(i32 n) { return Cell{type::integer, 0, static_cast<u32>(n), 0}; }
inline Cell none_cell() { return Cell{type::none, 0, 0, 0}; }
inline Cell logic_cell(bool f) { return Cell{type::logic, f ? 1u : 0u, 0, 0}; }
// A block! (or another any-block type) holding copies of the cells. The builders also push the new
// value on the value stack, so a collection keeps it for the rest of the test.
Cell block_of(std::initializer_list<Cell> cells, u32 type_id = type::block);
// A block! of the integers.
Cell ints(std::initializer_list<i32> values);
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

#include "evaluator/stack.h"

namespace kiv::test {

template <class Body>
Cell call(std::initializer_list<Cell> args, Body&& body) {
  stack::Call frame;
  for (const Cell& a : args) stack::push_value(&a);
  body();
  return *frame.result();
}

}  // namespace kiv::test
