// print and prin.
#include "evaluator/natives_output.h"

#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"
#include "runtime/hooks.h"
#include "runtime/print_hooks.h"
#include "runtime/roots.h"
#include "runtime/sys.h"

namespace kiv::natives {

using namespace detail;

namespace {

bool last_newline = true;

// Cuts the print buffer back to the length it had when a print began, whatever way the print ends.
class BufferMark {
  i32 length_;

 public:
  BufferMark() : length_(series::total_length(print_buffer())) {}
  ~BufferMark() { block::set_tail(print_buffer(), length_); }
  i32 length() const { return length_; }
  BufferMark(const BufferMark&) = delete;
  BufferMark& operator=(const BufferMark&) = delete;
};

// The shared core of print and prin.
Exit print_value(bool newline) {
  Cell* a = stack::arguments;
  BufferMark mark;
  Cell* value = a;
  if (a->type() == type::block) {
    // Reduce into the print buffer after what it holds (an outer print's values, when a print runs
    // inside an expression being printed).
    interpreter::Walk w = interpreter::begin(a);
    while (!interpreter::at_end(w)) {
      const Exit e = interpreter::next(w, false);
      if (e != Exit::none) {
        interpreter::end_reset(w);
        return e;
      }
      block::append_value(print_buffer(), stack::arguments);
    }
    interpreter::end_reset(w);
    value = stack::push_value(print_buffer());
    series::set_head_index(value, mark.length());
  }
  Cell* text = value;
  if (value->type() == type::string) {
    const i32 total = series::total_length(value);
    if (series::head_index(value) > total) series::set_head_index(value, total);
  } else {
    text = stack::push_cell();
    actions::form_to(value, text);
  }
  put_text(text, newline);
  return result_unset();
}

}  // namespace

void put_text(const Cell* text, bool newline) {
  if (print_hooks::value_hooks.count > 0) {
    print_hooks::call_value_hooks(text, newline ? 1 : 0);
  } else {
    std::string utf8 = string::to_utf8(text);
    if (newline) utf8 += '\n';
    sys::write(utf8);
  }
  last_newline = newline;
}

void put_text(std::string_view utf8, bool newline) {
  if (print_hooks::value_hooks.count > 0) {
    Cell* text = stack::push_cell();
    string::make_from_utf8(text, utf8);
    put_text(text, newline);
    stack::drop(1);
    return;
  }
  std::string line(utf8);
  if (newline) line += '\n';
  sys::write(line);
  last_newline = newline;
}

bool last_lf_q() { return last_newline; }

Exit print(bool) { return print_value(true); }

Exit prin(bool) { return print_value(false); }

}  // namespace kiv::natives
