// routine!: a procedure written in C++ and built into the program, which the language calls like a
// function, passing its arguments as machine values and boxing its result.
//
// Routines are C++ functions registered by name in the routine registry (below). A library
// module's `routine` definition names its registry entry; define() binds the definition to it, and
// a name that no entry carries is refused with a clear error: a routine never points nowhere.
//
// Cell (type 29), laid out as a function!'s (function.h):
// - header: the type id; bit 15 when the procedure takes the argument cells themselves and returns
//   the result cell; bits 25-29 the arity (the spec's word! count); bit 30 the new-line flag;
// - w1: the node of the routine's context (function kind, values on the value stack, made from the
//   spec; its owner cell stays unset!);
// - w2: the node of the spec block (the series given; its head index is not applied);
// - w3: the node of its function-more block: 0 the body (the source text, or none; not copied),
//   1 unset!, 2 integer! the registry index of the procedure, 3 unset! (or a copy of the routine
//   once an operator is made from it), 4 integer! the result kind (type id of the boxed result:
//   logic!, integer! or float!; 0 or less for none).
#pragma once
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "runtime/cell.h"

namespace kiv::routine {

namespace flag {
constexpr u32 cells = 0x8000;  // takes the argument cells, returns the result cell
constexpr u32 arity_shift = 25;
constexpr u32 arity_mask = 31u << arity_shift;
}  // namespace flag

constexpr i32 max_arity = 31;
constexpr i32 no_result = -1;

// ---- The registry ------------------------------------------------------------------------------

// Calls the procedure `code` with the arguments in `args` (arity cells) and leaves its result in
// `result` (unset! for a procedure without result).
using Thunk = void (*)(void (*code)(), Cell* args, Cell* result);

struct Entry {
  std::string name;
  void (*code)();
  Thunk thunk;
  i32 arity;
  i32 result_kind;  // type::logic, type::integer, type::float_, or no_result
  bool cells;       // takes the argument cells and returns the result cell
};

// The entries, index 0 unused (an index 0 means "no procedure").
inline std::vector<Entry>& registry() {
  static std::vector<Entry> entries(1);
  return entries;
}

// The registry index of a name, 0 when nothing is registered under it.
i32 find(std::string_view name);
// The entry of an index, or null.
const Entry* entry(i32 index);
// Adds an entry and answers its index; a name registered twice keeps its first entry and answers
// its index (the program registers each routine once, at start-up).
i32 add_entry(const Entry& e);

namespace detail {

template <class T>
constexpr bool cell_pointer_v = std::is_same_v<T, Cell*> || std::is_same_v<T, const Cell*>;
template <class T>
constexpr bool value_v = std::is_same_v<T, i32> || std::is_same_v<T, double> || std::is_same_v<T, bool>;

// An argument cell as the C++ parameter type; a cell of another type raises expect-arg.
i32 arg_i32(Cell* c, i32 position);
double arg_double(Cell* c, i32 position);
bool arg_bool(Cell* c, i32 position);

template <class T>
T arg(Cell* c, i32 position) {
  if constexpr (std::is_same_v<T, i32>) return arg_i32(c, position);
  else if constexpr (std::is_same_v<T, double>) return arg_double(c, position);
  else if constexpr (std::is_same_v<T, bool>) return arg_bool(c, position);
  else return c;
}

void box_i32(Cell* out, i32 v);
void box_double(Cell* out, double v);
void box_bool(Cell* out, bool v);
void box_cell(Cell* out, const Cell* v);  // null gives unset!
void box_none(Cell* out);                 // unset!

template <class R>
constexpr i32 result_kind() {
  if constexpr (std::is_same_v<R, bool>) return type::logic;
  else if constexpr (std::is_same_v<R, i32>) return type::integer;
  else if constexpr (std::is_same_v<R, double>) return type::float_;
  else return no_result;
}

template <class R, class... A, std::size_t... I>
void call(R (*fn)(A...), Cell* args, Cell* result, std::index_sequence<I...>) {
  if constexpr (std::is_void_v<R>) {
    fn(arg<A>(args + I, static_cast<i32>(I))...);
    box_none(result);
  } else {
    R r = fn(arg<A>(args + I, static_cast<i32>(I))...);
    if constexpr (std::is_same_v<R, i32>) box_i32(result, r);
    else if constexpr (std::is_same_v<R, double>) box_double(result, r);
    else if constexpr (std::is_same_v<R, bool>) box_bool(result, r);
    else box_cell(result, r);
  }
}

template <class R, class... A>
void thunk(void (*code)(), Cell* args, Cell* result) {
  call(reinterpret_cast<R (*)(A...)>(code), args, result, std::index_sequence_for<A...>{});
}

}  // namespace detail

// Registers a C++ function under a name. Parameters: i32 (integer!, char!), double (float!,
// percent!, integer!), bool (logic!), or Cell* for the argument cell itself. Result: void, i32,
// double or bool, boxed as none, integer!, float! or logic!; or Cell* (the procedure takes only
// cells and returns the result cell: the routine's calling flag).
template <class R, class... A>
i32 add(std::string_view name, R (*fn)(A...)) {
  constexpr bool cells = detail::cell_pointer_v<R>;
  static_assert(sizeof...(A) <= max_arity, "a routine takes at most 31 arguments");
  static_assert(std::is_void_v<R> || detail::value_v<R> || cells, "unsupported routine result type");
  static_assert(((detail::value_v<A> || detail::cell_pointer_v<A>) && ...), "unsupported routine argument type");
  static_assert(!cells || (detail::cell_pointer_v<A> && ...), "a routine returning a cell takes only cells");
  return add_entry({std::string(name), reinterpret_cast<void (*)()>(fn), &detail::thunk<R, A...>, static_cast<i32>(sizeof...(A)),
                    detail::result_kind<R>(), cells});
}

// ---- Values ------------------------------------------------------------------------------------

inline i32 get_arity(const Cell* r) { return static_cast<i32>((r->header & flag::arity_mask) >> flag::arity_shift); }
// Counts the word! cells of the whole spec series into header bits 25-29, keeping the other bits.
// A spec of more than 31 words raises script bad-func-def (the bits would spill into the new-line
// flag).
void set_arity(Cell* r);

// Builds a routine: pushes it on the value stack and answers it. `code` is a registry index.
Cell* make_value(const Cell* spec, const Cell* body, i32 code, i32 result_kind, bool cells);

// A library module's routine definition: the routine named `name` with its spec and source text,
// bound to its registry entry. An unregistered name raises internal error not-here naming it; a
// spec whose arity differs from the procedure's raises script bad-func-def with the spec.
Cell* define(std::string_view name, const Cell* spec, const Cell* body);

// The registry entry of a routine value (or of an operator made from one); null when its index
// names none.
const Entry* entry_of(const Cell* r);

// Calls a routine with its arity's argument cells at `args`; the result replaces args[0] (the
// arguments base is the result cell). Raises expect-arg for an argument of the wrong type.
Cell* invoke(const Cell* r, Cell* args);

// Actions; reflect is function!'s. There is no make and no to.
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers routine! (parent function!).
void init();

}  // namespace kiv::routine
