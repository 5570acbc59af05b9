// The natives that build or transform data without evaluating it: the set operations (union,
// intersect, unique, difference, exclude), complement?, the percent encodings (dehex, enhex), to-hex,
// case conversion, the new-line markers, the coercion `as`, and the entry of `transcode` over the
// lexer.
#include <algorithm>
#include <cstdio>
#include <span>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/block_search.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/issue.h"
#include "datatypes/logic.h"
#include "datatypes/money.h"
#include "datatypes/none.h"
#include "datatypes/path.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/typeset.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"
#include "lexer/lexer.h"
#include "runtime/case_table.h"
#include "runtime/roots.h"

namespace kiv::natives {

using namespace detail;

namespace {

Cell datatype_cell(u32 t) {
  Cell d;
  datatype::make_at(&d, t);
  return d;
}

Exit result_logic(bool v) { return result(v ? logic::true_value : logic::false_value); }

// ---- Set operations ---------------------------------------------------------------------------------

constexpr Types set_types =
    bit(type::block) | bit(type::hash) | bit(type::string) | bit(type::bitset) | bit(type::typeset);

bool list_set_q(u32 t) { return t == type::block || t == type::hash; }

Exit set_operation(bool check, i32 case_, i32 skip, i32 op) {
  const bool two = op != block::set_op::unique;
  if (check) {
    const Types first = op == block::set_op::difference ? set_types | bit(type::date) : set_types;
    if (two) check_args({first, first | bit(type::datatype)});
    else check_args({first});
    check_arg_at(skip, bit(type::integer));
  }
  Cell* a = stack::arguments;
  const u32 t1 = a->type();
  if (two) {
    // Blocks and hashes mix; a typeset takes a datatype as a set of one; every other set needs a
    // second set of its own type.
    const u32 t2 = a[1].type();
    const bool fits = list_set_q(t1) ? list_set_q(t2) : t1 == t2 || (t1 == type::typeset && t2 == type::datatype);
    if (!fits)
      raise_error(ErrorCategory::script, "expect-val", datatype_cell(t1), datatype_cell(t2));
  }
  const Cell* size = skip >= 0 ? a + skip : nullptr;
  switch (t1) {
    case type::block:
    case type::hash:
      block::do_set_operation(case_ >= 0, size, op);
      break;
    case type::string:
      string::do_set_operation(a, two ? a + 1 : nullptr, case_ >= 0, size, op);
      break;
    case type::bitset:
      bitset::do_set_operation(op);
      break;
    case type::typeset:
      typeset::do_set_operation(op);
      break;
    case type::date:
      if (op != block::set_op::difference) actions::raise_expect_arg(a->type(), 0);
      date::difference(a, a + 1);
      break;
    default:
      actions::raise_expect_arg(a->type(), 0);
  }
  return Exit::none;
}

// ---- Lists ------------------------------------------------------------------------------------------

void set_new_line(Cell* c, bool on) {
  if (on) c->header |= header::new_line;
  else c->header &= ~header::new_line;
}

// ---- as -----------------------------------------------------------------------------------------------

bool block_kind_q(u32 t) { return t == type::block || t == type::paren || path::any_path_q(t); }

// ---- transcode -------------------------------------------------------------------------------------

// The number of arguments a function! takes: the words of its spec before the first refinement.
i32 argument_count(const Cell* fn) {
  Cell spec{type::block, 0, function::spec_node(fn).offset(), 0};
  i32 n = 0;
  for (i32 i = 0, total = series::total_length(&spec); i < total; ++i) {
    const u32 t = block::cell_at(&spec, i)->type();
    if (t == type::refinement) break;
    if (t == type::word || t == type::lit_word || t == type::get_word) ++n;
  }
  return n;
}

// The language side of a lexer trace: calls the callback with the five event arguments and reads
// back where it left its `input` argument, so that a callback can move the scan.
bool call_trace(const lexer::Trace* self, Cell* args) {
  Cell fn = self->function;
  Cell answer{type::none, 0, 0, 0};
  RootCell keep_fn(fn), keep_answer(answer);
  // call_function pushes the function at the current top and its arguments above it; a function!
  // keeps its arguments in those cells while it runs, so `input` is left at base + 2.
  Cell* const base = stack::top;
  interpreter::call_function_or_raise(&fn, std::span<const Cell>(args, 5), &answer, nullptr, Ref<Node>{}, 1);
  if (fn.type() == type::function && argument_count(&fn) >= 2) {
    const Cell& moved = base[2];
    if (moved.type() == args[1].type() && moved.w2 == args[1].w2) args[1].w1 = moved.w1;
  }
  return truth(&answer);
}

u32 trace_mask(const Cell* fn) {
  if (fn->type() != type::function) return lexer::event::all;
  return lexer::mask_of_body(function::more_cell(fn, function::more::body));
}

constexpr u8 utf8_bom[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

// ---- Set operations ---------------------------------------------------------------------------------

Exit union_(bool check, i32 case_, i32 skip) { return set_operation(check, case_, skip, block::set_op::union_); }
Exit intersect(bool check, i32 case_, i32 skip) {
  return set_operation(check, case_, skip, block::set_op::intersect);
}
Exit unique(bool check, i32 case_, i32 skip) { return set_operation(check, case_, skip, block::set_op::unique); }
Exit difference(bool check, i32 case_, i32 skip) {
  return set_operation(check, case_, skip, block::set_op::difference);
}
Exit exclude(bool check, i32 case_, i32 skip) { return set_operation(check, case_, skip, block::set_op::exclude); }

Exit complement_q(bool check) {
  if (check) check_args({bit(type::bitset)});
  return result_logic(bitset::complemented_q(stack::arguments));
}

// ---- Encodings ----------------------------------------------------------------------------------------

Exit dehex(bool check) {
  if (check) check_args({any_string});
  Cell* a = stack::arguments;
  Cell* out = stack::push_cell();
  string::make_at(out, string::length(a));
  url::decode(a, out);
  return result(*out);
}

Exit enhex(bool check) {
  if (check) check_args({any_string});
  Cell* a = stack::arguments;
  Cell* out = stack::push_cell();
  string::make_at(out, string::length(a));
  url::encode(a, out, a->type() == type::string ? url::mode_strict : url::mode_url);
  return result(*out);
}

Exit to_hex(bool check, i32 size) {
  if (check) {
    check_args({bit(type::integer)});
    check_arg_at(size, bit(type::integer));
  }
  Cell* a = stack::arguments;
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", a->w2);
  i32 keep = 8;
  if (size >= 0) {
    keep = a[size].as_int();
    if (keep <= 0) raise_error(ErrorCategory::script, "invalid-arg", a[size]);
    keep = std::min(keep, 8);
  }
  Cell* out = stack::push_cell();
  issue::make_at(out, digits + 8 - keep);
  return result(*out);
}

// ---- Case ---------------------------------------------------------------------------------------------

namespace {

Exit change_case(bool check, i32 part, bool upper) {
  if (check) {
    check_args({any_string | bit(type::char_)});
    check_arg_at(part, number | any_string);
  }
  Cell* a = stack::arguments;
  // A float limit counts whole characters.
  if (part >= 0 && a[part].type() == type::float_) integer::box(a + part, cell::to_int32_checked(a + part));
  unicode::change_case(a, part >= 0 ? part : 0, upper);
  return Exit::none;
}

}  // namespace

Exit uppercase(bool check, i32 part) { return change_case(check, part, true); }
Exit lowercase(bool check, i32 part) { return change_case(check, part, false); }

// ---- New-line markers -----------------------------------------------------------------------------------

Exit new_line(bool check, i32 all, i32 skip) {
  if (check) {
    check_args({any_list, bit(type::logic)});
    check_arg_at(skip, bit(type::integer));
  }
  Cell* a = stack::arguments;
  const bool on = truth(a + 1);
  i32 size = 0;
  if (skip >= 0) {
    size = a[skip].as_int();
    if (size <= 0) raise_error(ErrorCategory::script, "out-of-range", a[skip]);
  } else if (all >= 0) {
    size = 1;
  }
  const i32 total = series::total_length(a);
  const i32 head = std::max(block::head_index(a), 0);
  if (size == 0) {
    if (head < total) set_new_line(block::cell_at(a, head), on);
  } else {
    for (i32 i = head, k = 0; i < total; ++i, ++k) set_new_line(block::cell_at(a, i), k % size == 0 ? on : !on);
  }
  return Exit::none;
}

Exit new_line_q(bool check) {
  if (check) check_args({any_list});
  Cell* a = stack::arguments;
  const i32 head = block::head_index(a);
  const bool on = head >= 0 && head < series::total_length(a) && (block::cell_at(a, head)->header & header::new_line);
  return result_logic(on);
}

// ---- as ---------------------------------------------------------------------------------------------------

Exit as(bool check) {
  if (check) {
    check_args({bit(type::datatype) | bit(type::block) | bit(type::paren) | any_path | any_string,
                bit(type::block) | bit(type::paren) | any_path | any_string});
  }
  Cell* a = stack::arguments;
  const u32 to = a->type() == type::datatype ? datatype::id_of(a) : a->type();
  const u32 from = a[1].type();
  const bool same_class = (block_kind_q(to) && block_kind_q(from)) ||
                          (string::any_string_q(to) && string::any_string_q(from));
  if (!same_class) raise_error(ErrorCategory::script, "not-same-class", datatype_cell(from), datatype_cell(to));
  Cell v = a[1];
  cell::set_type(&v, to);
  return result(v);
}

// ---- as-money ---------------------------------------------------------------------------------------------

Exit as_money(bool check) {
  if (check) check_args({bit(type::word), number});
  Cell* a = stack::arguments;
  const i32 currency = money::currency_index(word::name_of(a));
  if (!currency) raise_error(ErrorCategory::script, "bad-denom", *a);
  Cell m;
  if (a[1].type() == type::integer) money::from_integer(&m, a[1].as_int());
  else money::from_float(&m, a[1].as_double(), true);
  money::set_currency(&m, static_cast<u8>(currency));
  return result(m);
}

// ---- transcode --------------------------------------------------------------------------------------------

Exit transcode(bool check, i32 next, i32 one, i32 prescan, i32 scan, i32 part, i32 into_, i32 trace) {
  if (check) {
    check_args({bit(type::binary) | bit(type::string)});
    check_arg_at(part, bit(type::integer) | bit(type::string) | bit(type::binary));
    check_arg_at(into_, bit(type::block));
    check_arg_at(trace, bit(type::function) | bit(type::routine));
  }
  Cell* a = stack::arguments;
  Cell* src = a;
  const bool bytes = src->type() == type::binary;
  const i32 total = series::total_length(src);
  i32 head = std::clamp(series::head_index(src), 0, total);
  series::set_head_index(src, head);
  const i32 available = total - head;
  i32 length = available;
  if (part >= 0) {
    const Cell* limit = a + part;
    if (limit->type() == type::integer) length = limit->as_int();
    else if (limit->type() == src->type()) length = series::head_index(limit) - head;
    else raise_error(ErrorCategory::script, "not-same-type");
    length = std::clamp(length, 0, available);
  }
  i32 skipped = 0;
  if (bytes && length > 2 && std::equal(utf8_bom, utf8_bom + 3, reinterpret_cast<const u8*>(binary::head_pointer(src)))) {
    skipped = 3;
    length -= 3;
  }

  lexer::Options options;
  options.one_value = next >= 0 || one >= 0;
  options.prescan = prescan >= 0;
  options.scan = scan >= 0;
  options.into = into_ >= 0 ? a + into_ : nullptr;
  lexer::Trace tracer;
  if (trace >= 0) {
    tracer.call = call_trace;
    tracer.function = a[trace];
    tracer.mask = trace_mask(a + trace);
    options.trace = &tracer;
  }

  Cell* out = stack::push_cell();
  i32 end = 0;
  u32 found;
  if (bytes) {
    // Callbacks see the source from the first byte scanned.
    Cell* input = stack::push_value(src);
    series::set_head_index(input, head + skipped);
    const u8* text = reinterpret_cast<const u8*>(binary::head_pointer(input));  // copied before anything allocates
    found = lexer::scan_buffer(out, text, length, options, &end, input);
  } else {
    found = lexer::scan_string(out, src, length, options, &end);
  }
  if (options.prescan || options.scan) *out = found ? datatype_cell(found) : none::value;

  if (next >= 0) {
    Cell* pair = stack::push_cell();
    block::make_at(pair, 2);
    block::append_value(pair, out);
    Cell rest = *src;
    series::set_head_index(&rest, head + skipped + end);
    block::append_value(pair, &rest);
    return result(*pair);
  }
  return result(*out);
}

}  // namespace kiv::natives
