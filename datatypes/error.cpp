#include "datatypes/error.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/frame_words.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/mold.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::error {

// ---- The catalogue ---------------------------------------------------------------------------------

namespace {

constexpr Message throw_ids[] = {
    {"break", "no loop to break"},
    {"return", "return or exit not in function"},
    {"throw", "no catch for throw:|:arg1"},
    {"continue", "no loop to continue"},
    {"while-cond", "BREAK/CONTINUE cannot be used in WHILE condition block"},
};
constexpr Message note_ids[] = {
    {"no-load", "cannot load: |:arg1"},
};
constexpr Message syntax_ids[] = {
    {"invalid", ":arg1|invalid|:arg2|at|:arg3"},
    {"missing", ":arg1|missing|:arg2|at|:arg3"},
    {"no-header", "script is missing a Kiv header:|:arg1"},
    {"no-ks-header", "script is missing a Kiv/System header:|:arg1"},
    {"bad-header", "script header is not valid:|:arg1"},
    {"malconstruct", ":arg1|invalid construction spec at|:arg2"},
    {"bad-char", ":arg1|invalid character at|:arg2"},
};
constexpr Message script_ids[] = {
    {"no-value", ":arg1|has no value"},
    {"need-value", ":arg1|needs a value"},
    {"not-defined", ":arg1|word is not bound to a context"},
    {"not-in-context", "context for|:arg1|is not available"},
    {"no-arg", ":arg1|is missing its|:arg2|argument"},
    {"expect-arg", ":arg1|does not allow|:arg2|for its|:arg3|argument"},
    {"expect-val", "expected|:arg1|not|:arg2"},
    {"expect-type", ":arg1|:arg2|field must be of type|:arg3"},
    {"cannot-use", "cannot use|:arg1|on|:arg2|value"},
    {"invalid-arg", "invalid argument:|:arg1"},
    {"invalid-type", ":arg1|type is not allowed here"},
    {"invalid-type-spec", "invalid type specifier:|:arg1"},
    {"invalid-key-type", "invalid key type:|:arg1"},
    {"invalid-op", "invalid operator:|:arg1"},
    {"no-op-arg", ":arg1|operator is missing an argument"},
    {"bad-op-spec", "making an op! requires a function with only 2 arguments and no lit/get-word on left argument"},
    {"invalid-data", "data not in correct format:|:arg1"},
    {"invalid-part", "invalid /part count:|:arg1"},
    {"not-same-type", "values must be of the same type"},
    {"not-same-class", "cannot coerce|:arg1|to|:arg2"},
    {"not-related", "incompatible argument for|:arg1|of|:arg2"},
    {"bad-func-def", "invalid function definition:|:arg1"},
    {"bad-func-arg", "function argument|:arg1|is not valid"},
    {"bad-func-extern", "invalid /extern value:|:arg1"},
    {"no-refine", ":arg1|has no refinement called|:arg2"},
    {"bad-refines", "incompatible or invalid refinements"},
    {"bad-refine", "invalid refinement value:|:arg1"},
    {"dup-refine", "duplicate refinement usage in:|:arg1"},
    {"word-first", "path must start with a word:|:arg1"},
    {"empty-path", "cannot evaluate an empty path value"},
    {"unset-path", ":arg2|is unset in path|:arg1"},
    {"invalid-path", "cannot access|:arg2|in path|:arg1"},
    {"invalid-path-set", "unsupported type in|:arg1|set-path"},
    {"invalid-path-get", "unsupported type in|:arg1|get-path"},
    {"bad-path-type", ":arg3|returned a|:arg2|value, so|:arg1|could not be accessed"},
    {"bad-path-type2", "path element >|:arg1|< does not apply to|:arg2|type"},
    {"bad-path-set", "cannot set|:arg2|in path|:arg1"},
    {"bad-field-set", "cannot set|:arg1|field to|:arg2|datatype"},
    {"dup-vars", "duplicate variable specified:|:arg1"},
    {"past-end", "out of range or past end"},
    {"missing-arg", "missing a required argument or refinement"},
    {"out-of-range", "value out of range:|:arg1"},
    {"invalid-chars", "contains invalid characters"},
    {"invalid-compare", "cannot compare|:arg1|with|:arg2"},
    {"wrong-type", "datatype assertion failed for:|:arg1"},
    {"invalid-refine-arg", "invalid|:arg1|argument:|:arg2"},
    {"type-limit", ":arg1|overflow/underflow"},
    {"size-limit", "maximum limit reached:|:arg1"},
    {"no-return", "block did not return a value"},
    {"throw-usage", "invalid use of a thrown error value"},
    {"locked-word", "protected word - cannot modify:|:arg1"},
    {"protected", "protected value or series - cannot modify"},
    {"bad-bad", ":arg1|error:|:arg2"},
    {"bad-make-arg", "cannot MAKE|:arg1|from:|:arg2"},
    {"bad-to-arg", "cannot MAKE/TO|:arg1|from:|:arg2"},
    {"invalid-months", "invalid system/locale/month list"},
    {"invalid-spec-field", "invalid|:arg1|field in spec block"},
    {"missing-spec-field", ":arg1|not found in spec block"},
    {"move-bad", "Cannot MOVE elements from|:arg1|to|:arg2"},
    {"too-long", "Content too long"},
    {"invalid-char", "Invalid char! value:|:arg1"},
    {"bad-loop-series", "Loop series changed to invalid value:|:arg1"},
    {"wrong-denom", ":arg1|not same denomination as|:arg2"},
    {"bad-denom", "invalid denomination:|:arg1"},
    {"invalid-obj-evt", "invalid object event handler:|:arg1"},
    {"parse-rule", "PARSE - invalid rule or usage of rule:|:arg1"},
    {"parse-end", "PARSE - unexpected end of rule after:|:arg1"},
    {"parse-invalid-ref", "PARSE - get-word refers to a different series!|:arg1"},
    {"parse-block", "PARSE - input must be of any-block! type:|:arg1"},
    {"parse-unsupported", "PARSE - matching by datatype not supported for any-string! input"},
    {"parse-infinite", "PARSE - infinite recursion at rule: [|:arg1|]"},
    {"parse-stack", "PARSE - stack limit reached"},
    {"parse-keep", "PARSE - KEEP is used without a wrapping COLLECT"},
    {"parse-into-bad", "PARSE - COLLECT INTO/AFTER invalid series! argument"},
    {"parse-into-type", "PARSE - COLLECT INTO/AFTER expects a series! of compatible datatype"},
    {"draw-invalid", "DRAW - invalid input at:|:arg1"},
    {"draw-infinite", "DRAW - infinite recursion at:|:arg1"},
    {"invalid-data-facet", "invalid DATA facet content|:arg1"},
    {"face-type", "VIEW - invalid face type:|:arg1"},
    {"not-window", "VIEW - expected a window root face"},
    {"bad-window", "VIEW - a window face cannot be nested in another window"},
    {"not-linked", "VIEW - face not linked to a window"},
    {"not-event-type", "VIEW - not a valid event type|:arg1"},
    {"invalid-facet-type", "VIEW - invalid rate value:|:arg1"},
    {"vid-invalid-syntax", "VID - invalid syntax at:|:arg1"},
    {"rtd-invalid-syntax", "RTD - invalid syntax at:|:arg1"},
    {"rtd-no-match", "RTD - opening/closing tag not matching for:|:arg1"},
    {"react-bad-func", "REACT - /LINK option requires a function! as argument"},
    {"react-not-enough", "REACT - reactive functions must accept at least 2 arguments"},
    {"react-no-match", "REACT - objects block length must match reaction function arg count"},
    {"react-bad-obj", "REACT - target can only contain object values"},
    {"react-gctx", "REACT - word|:arg1|is not a reactor's field"},
    {"lib-invalid-arg", "LIBKIV - invalid argument for|:arg1"},
    {"kb-invalid-record", "KIVBIN - invalid record at index|:arg1"},
};
constexpr Message math_ids[] = {
    {"zero-divide", "attempt to divide by zero"},
    {"overflow", "math or number overflow"},
    {"positive", "positive number required"},
};
constexpr Message access_ids[] = {
    {"cannot-open", "cannot open:|:arg1"},
    {"cannot-close", "cannot close:|:arg1"},
    {"invalid-utf8", "invalid UTF-8 encoding:|:arg1"},
    {"not-open", "port is not open:|:arg1"},
    {"no-connect", "cannot connect:|:arg1|reason: timeout"},
    {"no-scheme", "missing port scheme:|:arg1"},
    {"unknown-scheme", "scheme is unknown:|:arg1"},
    {"invalid-spec", "invalid spec or options:|:arg1"},
    {"invalid-port", "invalid port object (invalid field values)"},
    {"invalid-actor", "invalid port actor (must be handle or object)"},
    {"no-port-action", "port action not supported"},
    {"no-create", "cannot create:|:arg1"},
    {"no-codec", "cannot decode or encode (no codec):|:arg1"},
    {"bad-media", "bad media data (corrupt image, sound, video)"},
    {"invalid-cmd", "invalid port command:|:arg1"},
};
constexpr Message user_ids[] = {
    {"message", "arg1"},
};
constexpr Message internal_ids[] = {
    {"bad-path", "bad path:|arg1"},
    {"not-here", "arg1|not supported on your system"},
    {"no-memory", "not enough memory"},
    {"wrong-mem", "failed to release memory"},
    {"stack-overflow", "stack overflow"},
    {"limit-hit", "internal limit reached:|:arg1"},
    {"too-deep", "block or paren series is too deep to process"},
    {"no-cycle", "circular reference not allowed"},
    {"feature-na", "feature not available"},
    {"not-done", "reserved for future use (or not yet implemented)"},
    {"invalid-error", "invalid error object field value:|:arg1"},
    {"routines", "routines require compilation, from OS shell: `kiv -r <script.kiv>`"},
    {"kiv-system", "contains Kiv/System code which requires compilation"},
    {"deprecated", "arg1|is DEPRECATED, please use|arg2|instead"},
};

constexpr Category categories[category_count] = {
    {"throw", "Throw Error", throw_ids},
    {"note", "note", note_ids},
    {"syntax", "Syntax Error", syntax_ids},
    {"script", "Script Error", script_ids},
    {"math", "Math Error", math_ids},
    {"access", "Access Error", access_ids},
    {"reserved1", "Reserved1 Error", {}},
    {"reserved2", "Reserved2 Error", {}},
    {"user", "User Error", user_ids},
    {"internal", "Internal Error", internal_ids},
};

constexpr const char* field_names[field::count] = {"code", "type", "id",    "arg1",  "arg2",
                                                    "arg3", "near", "where", "stack", "files"};

constexpr i32 syntax_category = 2;
constexpr i32 user_category = 8;
constexpr i32 internal_category = 9;
// Ids come after `code` and `type` in a category object.
constexpr i32 first_id_index = 2;

i32 catalog_root = -1;   // root-block index of the catalogue object
i32 template_root = -1;  // root-block index of the template error

bool field_part_q(std::string_view part) {
  return part.starts_with(':') || part == "arg1" || part == "arg2" || part == "arg3";
}

// A part of a template as a value: text, or the word (get-word for ":argN") naming a field.
void part_value(std::string_view part, Cell* out) {
  if (!field_part_q(part)) {
    string::make_from_utf8(out, part);
    return;
  }
  bool get = part.starts_with(':');
  std::string name(get ? part.substr(1) : part);
  word::load_at(name.c_str(), out);
  if (get) cell::set_type(out, type::get_word);
}

// The message template of a catalogue entry.
void template_value(const char* text, Cell* out) {
  std::string_view all(text);
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t bar = all.find('|', start);
    parts.push_back(all.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  if (parts.size() == 1) {
    part_value(parts[0], out);
    if (out->type() == type::get_word) cell::set_type(out, type::word);
    return;
  }
  block::make_at(out, static_cast<i32>(parts.size()));
  for (std::string_view p : parts) {
    Cell c{type::none, 0, 0, 0};
    RootCell keep(c);
    part_value(p, &c);
    block::append_value(out, &c);
  }
}

void set_field(Cell* obj, const char* name, const Cell* value) {
  Cell w, v = *value;
  RootCell keep_v(v);
  word::load_at(name, &w);
  RootCell keep_w(w);
  context::set_word_value(object::context_of(obj), &w, &v);
}

void build_catalog() {
  Cell errors{type::none, 0, 0, 0};
  RootCell keep_errors(errors);
  object::make_at(&errors, category_count);
  catalog_root = words::record(&errors);
  for (i32 n = 0; n < category_count; ++n) {
    const Category& c = categories[n];
    Cell cat{type::none, 0, 0, 0};
    RootCell keep_cat(cat);
    object::make_at(&cat, first_id_index + static_cast<i32>(c.ids.size()));
    cat.w2 = object::error_class;
    *context::owner_of(object::context_of(&cat)) = cat;
    set_field(&errors, c.name, &cat);
    Cell v{type::none, 0, 0, 0};
    RootCell keep_v(v);
    integer::make_at(&v, n * 100);
    set_field(&cat, "code", &v);
    string::make_from_utf8(&v, c.title);
    set_field(&cat, "type", &v);
    for (const Message& m : c.ids) {
      template_value(m.parts, &v);
      set_field(&cat, m.id, &v);
    }
  }
  Cell standard{type::none, 0, 0, 0};
  RootCell keep_standard(standard);
  object::make_at(&standard, field::count);
  for (const char* name : field_names) set_field(&standard, name, &none::value);
  template_root = words::record(&standard);
}

Cell* catalog_cell() { return words::root_at(catalog_root); }
Ref<Node> catalog_ctx() { return object::context_of(catalog_cell()); }

// The category number of a word (case-insensitive), or -1.
i32 category_of(const Cell* w) {
  if (!word::any_word_q(w->type())) return -1;
  return context::find_word(catalog_ctx(), word::symbol_of(w), true);
}

// The category object of a number.
Cell category_object(i32 n) { return context::values_of(catalog_ctx())[n]; }

// The word index of an id in its category object (at least first_id_index), or -1.
i32 id_index(i32 category, const Cell* w) {
  if (!word::any_word_q(w->type())) return -1;
  Cell cat = category_object(category);
  if (!object::object_like_q(cat.type())) return -1;
  i32 i = context::find_word(object::context_of(&cat), word::symbol_of(w), true);
  return i >= first_id_index ? i : -1;
}

Cell catalog_word(i32 category) {
  Cell w = *context::word_at(catalog_ctx(), category);
  w.header = type::word;
  return w;
}

Cell id_word(i32 category, i32 index) {
  Cell cat = category_object(category);
  Cell w = *context::word_at(object::context_of(&cat), index);
  w.header = type::word;
  return w;
}

Cell field_word(i32 index) {
  Cell w{type::none, 0, 0, 0};
  word::load_at(field_names[index], &w);
  return w;
}

void set(Cell* err, i32 index, const Cell* value) { context::values_of(object::context_of(err))[index] = *value; }

[[noreturn]] void invalid_spec_field(i32 index) {
  Cell w = field_word(index);
  raise_error(ErrorCategory::script, "invalid-spec-field", w);
}

// A new error value from the template, type error!, class 1, no record.
void fresh_error(Cell* out) {
  Cell standard = *error_template();
  RootCell keep(standard);
  object::copy_object(&standard, out, false, nullptr, true);
  out->header = type::error;
  out->w2 = object::error_class;
  out->w3 = 0;
  *context::owner_of(object::context_of(out)) = *out;
}

void set_code(Cell* err, i32 category, i32 index) {
  Cell code{type::none, 0, 0, 0};
  integer::make_at(&code, category * 100 + index - first_id_index);
  set(err, field::code, &code);
}

void set_near(Cell* err) {
  Cell near = stack::innermost_position();
  RootCell keep(near);
  set(err, field::near, &near);
}

// The error of a category number and id index with the arguments; out must stay put.
void fill(Cell* out, i32 category, i32 index, std::span<const Cell> args) {
  fresh_error(out);
  Cell t = catalog_word(category);
  set(out, field::type, &t);
  Cell i = id_word(category, index);
  set(out, field::id, &i);
  set_code(out, category, index);
  for (size_t k = 0; k < args.size() && k < 3; ++k) set(out, field::arg1 + static_cast<i32>(k), &args[k]);
  set_near(out);
}

}  // namespace

std::span<const Category> catalogue_text() { return categories; }

const Cell* catalog() { return catalog_cell(); }
const Cell* error_template() { return words::root_at(template_root); }
void set_catalog(const Cell* errors) { *words::root_at(catalog_root) = *errors; }
void set_template(const Cell* error) { *words::root_at(template_root) = *error; }

Cell* field_of(const Cell* err, i32 index) { return context::values_of(object::context_of(err)) + index; }

// ---- Making errors -----------------------------------------------------------------------------------

Cell* create_from_words(const Cell* category_in, const Cell* id_in, std::span<const Cell> args, Cell* out) {
  Cell category = *category_in, id = *id_in;
  RootCell keep_category(category), keep_id(id);
  i32 c = category_of(&category);
  i32 i = c < 0 ? -1 : id_index(c, &id);
  if (i < 0) {
    // A raiser naming an error the catalogue lacks: reported as such rather than lost.
    Cell bad = c < 0 ? category : id;
    RootCell keep_bad(bad);
    Cell invalid{type::none, 0, 0, 0};
    word::load_at("invalid-error", &invalid);
    fill(out, internal_category, id_index(internal_category, &invalid), std::span<const Cell>(&bad, 1));
    return out;
  }
  fill(out, c, i, args);
  return out;
}

Cell* create(ErrorCategory category, const char* id, std::span<const Cell> args, Cell* out) {
  Cell cat = catalog_word(static_cast<i32>(category));
  Cell w{type::none, 0, 0, 0};
  RootCell keep_cat(cat), keep_w(w);  // before load_at, which may allocate
  word::load_at(id, &w);
  return create_from_words(&cat, &w, args, out);
}

Cell* from_language_error(const LanguageError& e, Cell* out) {
  // Copied first: the arguments are cells of the exception, which no root covers.
  const u32 n = std::min<u32>(e.arg_count, 3);
  Cell args[3] = {none::value, none::value, none::value};
  for (u32 k = 0; k < n; ++k) args[k] = e.args[k];
  RootCell k0(args[0]), k1(args[1]), k2(args[2]);
  return create(e.category, e.id ? e.id : "", std::span<const Cell>(args, n), out);
}

Cell* make(Cell*, Cell* spec_in, u32) {
  Cell spec = *spec_in;
  RootCell keep_spec(spec);
  Cell* out = stack::push_cell();
  fresh_error(out);
  const u32 st = spec.type();
  if (st == type::integer) {
    i32 code = spec.as_int();
    set(out, field::code, &spec);
    i32 c = code / 100;
    Cell catalog_copy = *catalog_cell();
    if (code < 0 || c >= object::word_count(&catalog_copy)) raise_error(ErrorCategory::script, "out-of-range", spec);
    Cell t = catalog_word(c);
    set(out, field::type, &t);
    Cell cat = category_object(c);
    i32 index = code % 100 + first_id_index;
    if (!object::object_like_q(cat.type()) || index >= object::word_count(&cat))
      raise_error(ErrorCategory::script, "out-of-range", spec);
    Cell i = id_word(c, index);
    set(out, field::id, &i);
  } else if (st == type::block) {
    i32 head = std::max(series::head_index(&spec), 0);
    i32 len = block::length(&spec);
    u32 first = len > 0 ? block::cell_at(&spec, head)->type() : type::none;
    i32 c = -1, index = -1;
    if (first == type::word) {
      Cell w = *block::cell_at(&spec, head);
      c = category_of(&w);
      if (c < 0) invalid_spec_field(field::type);
      set(out, field::type, &w);
      if (len < 2) invalid_spec_field(field::id);
      Cell i = *block::cell_at(&spec, head + 1);
      if (i.type() != type::word) raise_error(ErrorCategory::script, "invalid-arg", i);
      index = id_index(c, &i);
      if (index < 0) invalid_spec_field(field::id);
      set(out, field::id, &i);
    } else if (first == type::set_word) {
      context::bind_block(&spec, object::context_of(out), false);
      if (!hooks::eval_block) raise_error(ErrorCategory::internal, "not-done");
      hooks::eval_block(&spec);
      Cell t = *field_of(out, field::type);
      c = t.type() == type::word ? category_of(&t) : -1;
      if (c < 0) invalid_spec_field(field::type);
      Cell i = *field_of(out, field::id);
      index = i.type() == type::word ? id_index(c, &i) : -1;
      if (index < 0) invalid_spec_field(field::id);
    } else {
      raise_error(ErrorCategory::internal, "invalid-error");
    }
    set_code(out, c, index);
  } else if (st == type::string) {
    Cell id{type::none, 0, 0, 0};
    word::load_at("message", &id);
    RootCell keep_id(id);
    Cell user = catalog_word(user_category);
    RootCell keep_user(user);
    create_from_words(&user, &id, std::span<const Cell>(&spec, 1), out);
    return out;
  } else {
    Cell t{type::none, 0, 0, 0};
    datatype::make_at(&t, type::error);
    raise_error(ErrorCategory::script, "bad-make-arg", t, spec);
  }
  set_near(out);
  return out;
}

// ---- Fields for the evaluator ------------------------------------------------------------------------

void set_where(Cell* err, const Cell* w) {
  if (field_of(err, field::where)->type() == type::none) set(err, field::where, w);
}

i32 get_type(const Cell* err) {
  const Cell* t = field_of(err, field::type);
  return word::any_word_q(t->type()) ? word::symbol_of(t) : 0;
}

i32 get_id(const Cell* err) {
  const Cell* i = field_of(err, field::id);
  return word::any_word_q(i->type()) ? word::symbol_of(i) : 0;
}

namespace {

// Field `index` of system/state, or none.
Cell state_field(i32 index) {
  const Cell* state = hooks::system_state ? hooks::system_state() : nullptr;
  if (!state || !object::object_like_q(state->type()) || index >= object::word_count(state)) return none::value;
  return object::get_values(state)[index];
}

constexpr i32 state_stack_trace = 2;
constexpr i32 state_source_files = 3;

}  // namespace

void record_trace(Cell* err_in) {
  if (err_in->type() != type::error) return;
  Cell err = *err_in;
  RootCell keep(err);
  Cell position = *field_of(&err, field::stack);
  if (position.type() != type::integer) return;
  Cell level_cell = state_field(state_stack_trace);
  i32 level = level_cell.type() == type::integer && level_cell.as_int() > 0 ? level_cell.as_int() : 1;
  Cell trace{type::none, 0, 0, 0};
  RootCell keep_trace(trace);
  block::make_at(&trace, 20);
  stack::collect_frame_words(level, &trace, position.as_int());
  set(&err, field::stack, &trace);
  Cell files = state_field(state_source_files);
  RootCell keep_files(files);
  if (files.type() == type::block && !series::at_tail_q(&files)) {
    Cell copy = *block::clone(&files, false, false);
    stack::drop(1);
    set(&err, field::files, &copy);
  }
}

const Cell* get_arg_word(i32 n) {
  const Cell* anon = static_words::word_roots[static_words::wid::anon] ? static_words::word(static_words::wid::anon)
                                                                        : &none::value;
  const Cell* where = stack::get_where();
  if (!word::any_word_q(where->type())) return anon;
  Ref<Node> ctx = word::context_of(where);
  i32 index = word::index_of(where);
  const Cell* values = ctx ? context::values_of(ctx) : nullptr;
  if (!values || index < 0 || index >= context::word_count(ctx)) return anon;
  const Cell* f = values + index;
  switch (f->type()) {
    case type::native: case type::action: case type::op: case type::function: case type::routine: break;
    default: return anon;
  }
  if (!f->w2) return anon;
  SeriesBuffer* b = buffer_of(Ref<Node>(f->w2));
  i32 seen = 0;
  for (Cell *c = b->head_ptr<Cell>(), *end = b->tail_ptr<Cell>(); c < end; ++c) {
    u32 t = c->type();
    if (t != type::word && t != type::lit_word && t != type::get_word && t != type::refinement) continue;
    if (seen++ == n) return c;
  }
  return anon;
}

// ---- Form and mold -----------------------------------------------------------------------------------

namespace {

void text(Cell* out, std::string_view s) { string::append_utf8(out, s); }

// Writes through `write` (which answers the remaining limit from its own limit) at most `max`
// characters, cutting what went past; answers the characters kept.
template <class Write>
i32 bounded(Cell* out, i32 max, Write&& write) {
  i32 before = string::total_length(out);
  // Given as the /part limit, so that the walk stops there however large or deep the value is.
  const Cell part{type::integer, 0, static_cast<u32>(max), 0};
  write(max, &part);
  i32 written = string::total_length(out) - before;
  if (written > max) {
    string::cut_tail_at(string::buffer_of(out), before + max);
    written = max;
  }
  return written;
}

// The error turned into internal invalid-error naming the bad value.
void make_invalid(Cell* err, const Cell* bad_in) {
  Cell bad = *bad_in;
  set(err, field::arg1, &bad);
  Cell t = catalog_word(internal_category);
  set(err, field::type, &t);
  Cell invalid{type::none, 0, 0, 0};
  word::load_at("invalid-error", &invalid);
  i32 index = id_index(internal_category, &invalid);
  Cell i = id_word(internal_category, index);
  set(err, field::id, &i);
}

}  // namespace

i32 form(const Cell* value, Cell* out, const Cell*, i32 limit) {
  Cell err = *value;
  RootCell keep_err(err);
  i32 L = limit;
  text(out, "*** ");
  L -= 4;

  // The category and the message, repairing what names no catalogue entry.
  Cell t = *field_of(&err, field::type);
  i32 c = category_of(&t);
  if (c < 0) {
    make_invalid(&err, &t);
    c = internal_category;
  }
  Cell cat = category_object(c);
  RootCell keep_cat(cat);
  Cell id = *field_of(&err, field::id);
  i32 index = id_index(c, &id);
  if (index < 0) {
    make_invalid(&err, &id);
    c = internal_category;
    cat = category_object(c);
    Cell fixed = *field_of(&err, field::id);
    index = id_index(c, &fixed);
  }
  Cell message = object::get_values(&cat)[index];
  RootCell keep_message(message);
  if (message.type() == type::word) {
    Cell w = message;
    message = *object::get_word_value(&err, &w);
  }

  Cell title = object::get_values(&cat)[1];
  RootCell keep_title(title);
  if (string::any_string_q(title.type())) L = actions::dispatch_form(&title, out, nullptr, L);
  text(out, ": ");
  L -= 2;

  if (string::any_string_q(message.type())) {
    L = actions::dispatch_form(&message, out, nullptr, L);
  } else if (message.type() == type::block) {
    const bool formed = c == syntax_category;
    const i32 head = std::max(series::head_index(&message), 0);
    const i32 n = series::total_length(&message);
    for (i32 k = head; k < n; ++k) {
      Cell part = *block::cell_at(&message, k);
      RootCell keep_part(part);
      if (string::any_string_q(part.type())) {
        L = actions::dispatch_form(&part, out, nullptr, L);
      } else if (part.type() == type::word || part.type() == type::get_word) {
        Cell arg = *object::get_word_value(&err, &part);
        RootCell keep_arg(arg);
        L -= bounded(out, 80, [&](i32 max, const Cell* part) {
          if (formed) actions::dispatch_form(&arg, out, part, max);
          else actions::dispatch_mold(&arg, out, false, false, true, part, max, 0);
        });
      }
      if (k < n - 1) {
        text(out, " ");
        --L;
      }
    }
  } else {
    Cell bad = *field_of(&err, field::type);
    make_invalid(&err, &bad);
  }

  text(out, "\n*** Where: ");
  L -= 12;
  Cell where = *field_of(&err, field::where);
  RootCell keep_where(where);
  if (word::any_word_q(where.type())) {
    L = word::form(&where, out, nullptr, L);
  } else if (string::any_string_q(where.type())) {
    L = actions::dispatch_form(&where, out, nullptr, L);
  } else {
    text(out, "???");
    L -= 3;
  }

  text(out, "\n*** Near : ");
  L -= 12;
  Cell near = *field_of(&err, field::near);
  RootCell keep_near(near);
  L -= bounded(out, 40, [&](i32 max, const Cell* part) {
    actions::dispatch_mold(&near, out, true, false, true, part, max, 0);
  });

  Cell level = state_field(state_stack_trace);
  if (level.type() == type::integer && level.as_int() > 0) {
    Cell stack_field = *field_of(&err, field::stack);
    RootCell keep_stack(stack_field);
    if (stack_field.type() == type::integer) {
      text(out, "\n*** Stack: ");
      L -= 12;
      L = stack::form_trace(level.as_int(), out, stack_field.as_int(), L);
    } else if (stack_field.type() == type::block) {
      text(out, "\n*** Stack: ");
      L -= 12;
      L = actions::dispatch_form(&stack_field, out, nullptr, L);
    }
  }

  Cell files = *field_of(&err, field::files);
  RootCell keep_files(files);
  if (files.type() == type::block) {
    text(out, "\n*** Files: ");
    L -= 12;
    L -= bounded(out, 40, [&](i32 max, const Cell* part) {
      actions::dispatch_mold(&files, out, true, false, true, part, max, 0);
    });
  }
  return L;
}

i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent) {
  Cell err = *value;
  RootCell keep(err);
  if (!only) {
    text(out, "make error! [");
    limit -= 13;
  }
  limit = object::serialize(&err, out, only, all, flat, part, limit, true, indent + 1, true);
  if (indent > 0) limit = mold::indent([out](std::string_view s) { text(out, s); }, indent, limit);
  if (!only) {
    text(out, "]");
    --limit;
  }
  return limit;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt) {
  return object::eval_path(parent, element, value, path, gparent, p_item, index, case_, lenient, tail, evt);
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::error) return -2;
  Cell other = *b;
  cell::set_type(&other, type::object);
  return object::compare(a, &other, op);
}

std::string report(const Cell* err) {
  Cell e = *err, out = none::value;
  RootCell keep_e(e), keep_out(out);
  string::make_at(&out, 64);
  form(&e, &out, nullptr, 0x7FFFFFFF);
  return string::to_utf8(&out);
}

void init() {
  datatype::register_type(type::error, type::object, "error!",
                          {.make = make,
                           .reflect = action::inherit,
                           .form = form,
                           .mold = mold,
                           .eval_path = eval_path,
                           .compare = compare,
                           .copy = action::inherit,
                           .find = action::inherit,
                           .select = action::inherit});
  if (catalog_root < 0 && words::root_ready_q()) build_catalog();
  hooks::argument_word = get_arg_word;
  hashtable::set_hash_procedure(type::error, hashtable::hash_word1, true);
  collector::set_mark_procedure(type::error, collector::mark_object);
}

}  // namespace kiv::error
