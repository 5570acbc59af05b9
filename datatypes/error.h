// error!: every failure inside the language, an object of ten fixed fields identified by a category
// and an id of the error catalogue; and the catalogue itself, the system's error texts.
//
// An error cell is an object cell (object.h) with type 34, class id 1 and no event record. Its
// fields, in order: code type id arg1 arg2 arg3 near where stack files.
//
// The catalogue is an object whose fields are the ten categories in order (the position is the
// category number); each category is an object of `code` (number x 100), `type` (the title) and one
// field per id whose value is the message template: a string!, a block! of strings and argument
// words, or a word!. An error code is category x 100 + the id's position among the ids.
//
// Formed, an error is the "*** " report: the title and message, then the Where and Near lines, and,
// when enabled, the Stack and Files lines.
#pragma once
#include <span>
#include <string>

#include "runtime/cell.h"
#include "runtime/hooks.h"

namespace kiv::error {

namespace field {
enum : i32 { code = 0, type, id, arg1, arg2, arg3, near, where, stack, files, count };
}

constexpr i32 category_count = 10;

// The catalogue's content, in order: each id with its message template, the parts separated by
// '|'. A part that starts with ':' or is arg1, arg2 or arg3 names a field; every other part is text.
// A template of one text part is a string!, of one field name a word!, else a block!.
struct Message {
  const char* id;
  const char* parts;
};
struct Category {
  const char* name;
  const char* title;
  std::span<const Message> ids;
};
std::span<const Category> catalogue_text();

// The catalogue object (system/catalog/errors) and the template error (system/standard/error).
// Built from catalogue_text() at init; the system object may take them over with set_catalog and
// set_template.
const Cell* catalog();
const Cell* error_template();
void set_catalog(const Cell* errors);
void set_template(const Cell* error);

// The error value of a category and id (named by its text), each given argument copied into arg1,
// arg2, arg3. An id the category does not have gives internal invalid-error naming it. Answers out.
Cell* create(ErrorCategory category, const char* id, std::span<const Cell> args, Cell* out);
// The same from the category and id words (error/create).
Cell* create_from_words(const Cell* category, const Cell* id, std::span<const Cell> args, Cell* out);
// The error value of a language error in flight.
Cell* from_language_error(const LanguageError& e, Cell* out);

// `make error!` from a spec (integer code, block, string); pushes and answers the error.
Cell* make(Cell* proto, Cell* spec, u32 type_id);

// Stores the word in `where` when that field is none.
void set_where(Cell* err, const Cell* word);
// Symbol ids of the type and id fields (0 when not words).
i32 get_type(const Cell* err);
i32 get_id(const Cell* err);
constexpr i32 stack_field_index() { return field::stack; }
// After try caught it: the stack field's frame position becomes a block of frame words, and the
// source files are recorded.
void record_trace(Cell* err);
// The word naming argument n (0-based) of the function being called, or the static word <anon>.
const Cell* get_arg_word(i32 n);

// The field cell of an error (valid until the next allocation).
Cell* field_of(const Cell* err, i32 index);
// The "*** " report of an error as UTF-8 (C++ callers and tests).
std::string report(const Cell* err);

// Actions.
i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit);
i32 mold(const Cell* value, Cell* out, bool only, bool all, bool flat, const Cell* part, i32 limit, i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* gparent, Cell* p_item, i32 index,
                bool case_, bool lenient, bool tail, bool evt);
i32 compare(const Cell* a, const Cell* b, i32 op);

// Registers error! (parent object!), builds the catalogue and the template, installs the argument
// word lookup of hooks::argument_word. Needs object::init.
void init();

}  // namespace kiv::error
