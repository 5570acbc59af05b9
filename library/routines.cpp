// The C++ side of the library's routines: the boot routines, the type predicates and the routines of
// the system object, each registered under the name its module's definition gives.
#include "library/routines.h"

#include <cstdlib>
#include <utility>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/file.h"
#include "datatypes/frame_words.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/routine.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives_output.h"
#include "os/files.h"
#include "os/sysinfo.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/platform.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "runtime/sys.h"
#include "runtime/unicode.h"

namespace kiv::library {

namespace {

[[noreturn]] void expect_arg(const char* expected, const Cell* value) {
  Cell type_word = none::value;
  RootCell keep(type_word);
  hooks::word_named(expected, &type_word);
  raise_error(ErrorCategory::script, "expect-arg", type_word, *value);
}

// ---- Boot routines -----------------------------------------------------------------------------

void quit_return(i32 status) { sys::exit_process(status); }

Cell* set_quiet(Cell* word, Cell* value) {
  if (!word::any_word_q(word->type())) expect_arg("any-word!", word);
  word::set_in_context(word, value, word::context_of(word), false);
  return value;
}

Cell* set_slot_quiet(Cell* series, Cell* value) {
  if (!block::any_block_q(series->type())) expect_arg("block!", series);
  if (!block::at_tail_q(series)) *block::head_pointer(series) = *value;
  return nullptr;
}

// The machine's shifts: the count is taken modulo 32, as the processor takes it.
i32 shift(i32 data, i32 bits, bool left, bool logical) {
  const u32 n = static_cast<u32>(bits) & 31;
  if (left) return static_cast<i32>(static_cast<u32>(data) << n);
  if (logical) return static_cast<i32>(static_cast<u32>(data) >> n);
  return data >> n;
}
i32 shift_right(i32 data, i32 bits) { return shift(data, bits, false, false); }
i32 shift_left(i32 data, i32 bits) { return shift(data, bits, true, false); }
i32 shift_logical(i32 data, i32 bits) { return shift(data, bits, false, true); }

bool last_lf_q() { return natives::last_lf_q(); }

Cell* get_current_dir() { return file::get_current_dir(stack::push_cell()); }

Cell* set_current_dir(Cell* path) {
  if (path->type() != type::file) expect_arg("file!", path);
  if (!platform::set_current_dir(file::to_os_path(path).c_str()))
    raise_error(ErrorCategory::access, "cannot-open", *path);
  return nullptr;
}

Cell* create_dir(Cell* path) {
  if (path->type() != type::file) expect_arg("file!", path);
  if (!os::files::make_dir(static_cast<i32>(path - stack::arguments)))
    raise_error(ErrorCategory::access, "no-create", *path);
  return nullptr;
}

bool exists_q(Cell* path) {
  if (path->type() != type::file) return false;
  Cell out = none::value;
  RootCell keep(out);
  return hooks::file_query(path, &out)->type() != type::none;
}

// The object [name arch version build] of the operating system.
Cell* os_info() {
  const i32 slot = os::sysinfo::push_info();
  Cell values = stack::arguments[slot];
  RootCell keep_values(values);
  Cell spec = none::value;
  RootCell keep_spec(spec);
  block::make_at(&spec, 8);
  const char* names[] = {"name", "arch", "version", "build"};
  for (i32 i = 0; i < 4; ++i) {
    Cell w = word::load(names[i]);
    cell::set_type(&w, type::set_word);
    block::append_value(&spec, &w);
    Cell v = *block::cell_at(&values, i);
    block::append_value(&spec, &v);
  }
  return object::construct(&spec, nullptr, true);
}

Cell* tuple_of(const i32* parts, i32 count, bool wrap) {
  for (i32 i = 0; i < count; ++i) {
    if (parts[i] < 0) {
      Cell bad{type::integer, 0, static_cast<u32>(parts[i]), 0};
      raise_error(ErrorCategory::script, "invalid-arg", bad);
    }
  }
  u8 bytes[4];
  for (i32 i = 0; i < count; ++i) bytes[i] = static_cast<u8>(wrap ? parts[i] % 256 : parts[i]);
  return tuple::make_at(stack::push_cell(), bytes, count);
}
Cell* as_color(Cell* r, Cell* g, Cell* b) {
  const i32 parts[] = {cell::to_int32_checked(r), cell::to_int32_checked(g), cell::to_int32_checked(b)};
  return tuple_of(parts, 3, true);
}
// The four bytes of a OR b << 8 OR c << 16 OR d << 24: each part keeps only its low byte.
Cell* as_ipv4(Cell* a, Cell* b, Cell* c, Cell* d) {
  const i32 parts[] = {cell::to_int32_checked(a), cell::to_int32_checked(b), cell::to_int32_checked(c),
                       cell::to_int32_checked(d)};
  for (i32 p : parts) {
    if (p < 0) tuple_of(parts, 4, false);  // raises for the first negative one
  }
  const u32 word = static_cast<u32>(parts[0]) | static_cast<u32>(parts[1]) << 8 | static_cast<u32>(parts[2]) << 16 |
                   static_cast<u32>(parts[3]) << 24;
  const i32 bytes[] = {static_cast<i32>(word & 0xFF), static_cast<i32>(word >> 8 & 0xFF),
                       static_cast<i32>(word >> 16 & 0xFF), static_cast<i32>(word >> 24)};
  return tuple_of(bytes, 4, false);
}

i32 count_chars(Cell* start, Cell* pos) {
  if (start->type() != type::binary) expect_arg("binary!", start);
  if (pos->type() != type::binary) expect_arg("binary!", pos);
  const u8* from = reinterpret_cast<const u8*>(binary::head_pointer(start));
  const u8* to = reinterpret_cast<const u8*>(binary::head_pointer(pos));
  i32 n = 0;
  for (const u8* p = from; p < to; ++p) n += (*p & 0xC0) != 0x80;
  return n;
}

i32 stack_size_q() { return static_cast<i32>(stack::top - stack::bottom); }

Cell* pick_stack(Cell* idx) {
  const i32 index = cell::to_int32_checked(idx);
  if (index > 0 && index < stack_size_q()) return stack::bottom + (index - 1);
  return const_cast<Cell*>(&none::value);
}

i32 frame_index_q() { return static_cast<i32>(stack::arguments - stack::bottom); }

Cell* collect_calls(Cell* blk) {
  if (blk->type() != type::block) expect_arg("block!", blk);
  stack::collect_frame_words(1, blk, stack::frame_depth());
  return nullptr;
}

bool tracing_q() { return interpreter::tracing; }

// No clipboard service exists on this system yet: reading and writing fail, as they do when the
// clipboard cannot be opened.
bool read_clipboard() { return false; }
bool write_clipboard(Cell*) { return false; }

Cell* write_stdout(Cell* data) {
  if (data->type() == type::string) {
    natives::put_text(data, false);
  } else {
    Cell text = none::value;
    RootCell keep(text);
    actions::form_to(data, &text);
    natives::put_text(&text, false);
  }
  return nullptr;
}

// ---- Type predicates ---------------------------------------------------------------------------

template <u32 T>
bool is_type(Cell* value) {
  return value->type() == T;
}

struct Exact {
  const char* name;
  bool (*test)(Cell*);
};
#define KIV_EXACT(word, id) {word, &is_type<type::id>}
constexpr Exact exact_predicates[] = {
    KIV_EXACT("bitset?", bitset),       KIV_EXACT("binary?", binary),       KIV_EXACT("block?", block),
    KIV_EXACT("char?", char_),          KIV_EXACT("email?", email),         KIV_EXACT("file?", file),
    KIV_EXACT("float?", float_),        KIV_EXACT("get-path?", get_path),   KIV_EXACT("get-word?", get_word),
    KIV_EXACT("hash?", hash),           KIV_EXACT("integer?", integer),     KIV_EXACT("issue?", issue),
    KIV_EXACT("lit-path?", lit_path),   KIV_EXACT("lit-word?", lit_word),   KIV_EXACT("logic?", logic),
    KIV_EXACT("map?", map),             KIV_EXACT("none?", none),           KIV_EXACT("pair?", pair),
    KIV_EXACT("paren?", paren),         KIV_EXACT("path?", path),           KIV_EXACT("percent?", percent),
    KIV_EXACT("refinement?", refinement), KIV_EXACT("set-path?", set_path), KIV_EXACT("set-word?", set_word),
    KIV_EXACT("string?", string),       KIV_EXACT("tag?", tag),             KIV_EXACT("time?", time),
    KIV_EXACT("typeset?", typeset),     KIV_EXACT("tuple?", tuple),         KIV_EXACT("unset?", unset),
    KIV_EXACT("url?", url),             KIV_EXACT("word?", word),           KIV_EXACT("image?", image),
    KIV_EXACT("date?", date),           KIV_EXACT("money?", money),         KIV_EXACT("ref?", ref),
    KIV_EXACT("point2D?", point2D),     KIV_EXACT("point3D?", point3D),     KIV_EXACT("handle?", handle),
    KIV_EXACT("error?", error),         KIV_EXACT("action?", action),       KIV_EXACT("native?", native),
    KIV_EXACT("datatype?", datatype),   KIV_EXACT("function?", function),   KIV_EXACT("object?", object),
    KIV_EXACT("op?", op),               KIV_EXACT("routine?", routine),     KIV_EXACT("vector?", vector),
};
#undef KIV_EXACT

// The typeset predicates read the typeset bound to their word at each call, so redefining the
// word changes what they answer.
constexpr const char* typeset_words[] = {
    "any-list!", "any-block!", "any-function!", "any-object!", "any-path!", "any-string!", "any-word!",
    "series!",   "number!",    "immediate!",    "scalar!",     "all-word!", "any-point!",  "planar!",
};

template <std::size_t K>
bool in_typeset(Cell* value) {
  Cell w = word::load(typeset_words[K]);
  const Cell* set = word::get_value(&w);
  return set->type() == type::typeset && cell::typeset_has(set, value->type());
}

template <std::size_t... K>
void add_typeset_predicates(std::index_sequence<K...>) {
  (routine::add(std::string(typeset_words[K]).replace(std::string_view(typeset_words[K]).size() - 1, 1, "?"),
                &in_typeset<K>),
   ...);
}

// ---- The system object -------------------------------------------------------------------------

bool gc_active_q() { return collector::enabled; }
i32 gc_series_cycles() { return static_cast<i32>(collector::series_cycles); }
i32 gc_nodes_cycles() { return static_cast<i32>(collector::nodes_cycles); }

// Every function is called by the interpreter here: there is no compiled code.
bool interpreted_q() { return true; }

}  // namespace

void register_routines() {
  if (routine::find("quit-return")) return;
  routine::add("quit-return", quit_return);
  routine::add("set-quiet", set_quiet);
  routine::add("set-slot-quiet", set_slot_quiet);
  routine::add("shift-right", shift_right);
  routine::add("shift-left", shift_left);
  routine::add("shift-logical", shift_logical);
  routine::add("last-lf?", last_lf_q);
  routine::add("get-current-dir", get_current_dir);
  routine::add("set-current-dir", set_current_dir);
  routine::add("create-dir", create_dir);
  routine::add("exists?", exists_q);
  routine::add("os-info", os_info);
  routine::add("as-color", as_color);
  routine::add("as-ipv4", as_ipv4);
  routine::add("as-rgba", as_ipv4);
  routine::add("count-chars", count_chars);
  routine::add("stack-size?", stack_size_q);
  routine::add("pick-stack", pick_stack);
  routine::add("frame-index?", frame_index_q);
  routine::add("collect-calls", collect_calls);
  routine::add("tracing?", tracing_q);
  routine::add("read-clipboard", read_clipboard);
  routine::add("write-clipboard", write_clipboard);
  routine::add("write-stdout", write_stdout);
  for (const Exact& e : exact_predicates) routine::add(e.name, e.test);
  add_typeset_predicates(std::make_index_sequence<std::size(typeset_words)>{});
  routine::add("system/state/GC/active?", gc_active_q);
  routine::add("system/state/GC/series-cycles", gc_series_cycles);
  routine::add("system/state/GC/nodes-cycles", gc_nodes_cycles);
  routine::add("system/state/interpreted?", interpreted_q);
  register_system_routines();
}

}  // namespace kiv::library
