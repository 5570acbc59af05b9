// The hooks: every call a unit makes into a procedure it cannot name, because its provider sits in
// a layer above it or is a type that registers later. The provider installs the procedure at boot
// (hooks::name = procedure); the caller tests the hook when it may be unset and calls it like a
// function. They are all in this one table, each with who provides it and whether it must be there:
//
//   required  its provider exists: the boot ends with check(), which stops the start-up naming a
//             required hook left unset.
//   pending   its provider is not written yet (a type, a service or the system object to come):
//             callers fall back as each comment says. The unit that provides it marks it required.
//
// Per-type procedures (mark, hash, lexer makers, arithmetic) are not hooks: each type registers
// those in its own table (collector, hashtable, registry).
#pragma once
#include <string>
#include <vector>

#include "runtime/cell.h"

namespace kiv::hooks {

enum class Need : u8 { required, pending };

// What check() knows of a hook.
struct Entry {
  const char* name;
  const char* provider;
  Need need;
  bool installed = false;
  Entry* next = nullptr;
};

// Every hook, in declaration order within each unit that includes this header.
Entry*& entries();

template <class F>
class Hook;

template <class R, class... A>
class Hook<R (*)(A...)> : public Entry {
 public:
  using Fn = R (*)(A...);
  Hook(const char* name, Need need, const char* provider) : Entry{name, provider, need} {
    next = entries();
    entries() = this;
  }
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;
  Hook& operator=(Fn fn) {
    fn_ = fn;
    installed = fn != nullptr;
    return *this;
  }
  explicit operator bool() const { return fn_ != nullptr; }
  Fn get() const { return fn_; }
  R operator()(A... args) const { return fn_(args...); }

 private:
  Fn fn_ = nullptr;
};

// Stops the start-up when a required hook is unset, naming it and its provider.
void check();

constexpr Need required = Need::required;
constexpr Need pending = Need::pending;

// ---- Called by the run-time --------------------------------------------------------------------

// The comparison of two values under a compare-op, 0 when equal: hash keys without an equality of
// their own compare through it.
inline Hook<i32 (*)(const Cell* a, const Cell* b, i32 op)> compare_values{"compare_values", required,
                                                                           "datatypes/dispatch"};
// How map! stores a new key (copying series keys, words as set-words), the key being cell `index`
// of the block; and the form a probe is looked up in (a word as the set-word stored for it).
inline Hook<void (*)(Ref<Node> block, i32 index)> map_normalize_key{"map_normalize_key", required, "map!"};
inline Hook<void (*)(Cell* probe)> map_normalize_probe{"map_normalize_probe", required, "map!"};
// Called when growth has moved a series to a new buffer, with the buffer it left: a cache of
// buffer addresses that the collector does not update drops what it holds of that buffer.
inline Hook<void (*)(const SeriesBuffer* old)> on_buffer_replaced{"on_buffer_replaced", required,
                                                                   "evaluator/interpreter"};
// Tells an owning object that a string changed case in place (ownership/notify-change with the word
// uppercase or lowercase, the head index and the count).
inline Hook<void (*)(Cell* series, bool upper, i32 index, i32 count)> case_change_notifier{
    "case_change_notifier", required, "datatypes/ownership"};
// The refinement! /part for the invalid-refine-arg error of a case change.
inline Hook<Cell (*)()> part_refinement{"part_refinement", required, "datatypes/words"};
// Shows a fatal message in a dialog: quit() calls it with the caption "Kiv App Error" and the
// runtime-error message (the fault handlers do not: a dialog cannot be run from a signal handler).
inline Hook<void (*)(const char* caption, const char* text)> error_box{"error_box", pending, "the GUI backend"};

// ---- Called by the datatypes -------------------------------------------------------------------

// Change reports to a series' owning object, asked only for owned buffers; answers whether an
// owner was found.
inline Hook<bool (*)(Cell* series, const char* word, const Cell* value, i32 index, i32 count)> series_notify{
    "series_notify", required, "datatypes/ownership"};
// The owner record of a series (none when unowned), and modify's owned field (none unowns, a block
// of object and word owns).
inline Hook<void (*)(const Cell* series, Cell* out)> owner_of{"owner_of", required, "datatypes/ownership"};
inline Hook<void (*)(Cell* series, const Cell* value)> modify_owned{"modify_owned", required,
                                                                     "datatypes/ownership"};
// hash! keeps an index over its cells: the common actions call this after every change of a hash!'s
// cells, and it brings the index up to date. When the change was one run (`removed` cells at `at`
// replaced by `inserted` new ones) only that run is indexed again; at -1 asks for the whole block.
inline Hook<void (*)(Cell* hash, i32 at, i32 removed, i32 inserted)> hash_changed{"hash_changed", required,
                                                                                  "hash!"};
// vector! elements: read one into a cell / write one (its type already checked against the
// element type).
inline Hook<void (*)(const Cell* vector, i32 index, Cell* out)> vector_get{"vector_get", required, "vector!"};
inline Hook<void (*)(Cell* vector, i32 index, const Cell* value)> vector_set{"vector_set", required, "vector!"};
// The canonical alias of a symbol; identity while unset.
inline Hook<i32 (*)(i32 symbol)> symbol_resolve{"symbol_resolve", required, "datatypes/symbol"};
// How a symbol! is read as text: its cached name string (a string-family cell read from position 0);
// while unset a symbol given as text raises internal not-done.
inline Hook<const Cell* (*)(const Cell* symbol)> symbol_name{"symbol_name", required, "datatypes/symbol"};
// The word! of a name, for error arguments such as the `divide` of not-related, and the name of a
// word! or issue! as UTF-8; until the words exist those arguments are none and words name nothing.
inline Hook<void (*)(const char* name, Cell* out)> word_named{"word_named", required, "datatypes/words"};
inline Hook<std::string (*)(const Cell* word)> word_name{"word_name", required, "datatypes/words"};
// Error arguments that are words, by name and type; none until the words exist.
inline Hook<void (*)(const char* name, u32 type, Cell* out)> name_word{"name_word", required, "datatypes/words"};
// Gives a type registered after the boot's registrations (event!) its name word at once.
inline Hook<void (*)(u32 type_id)> make_name_word{"make_name_word", required, "datatypes/words"};
// The word naming argument #position of the running function; until set, expect-arg carries none
// in its place.
inline Hook<const Cell* (*)(i32 position)> argument_word{"argument_word", required, "datatypes/error"};
// The owner's change notification (object/fire-on-change): owner, word, old value, new value.
inline Hook<void (*)(Cell* owner, Cell* word, Cell* old_value, Cell* new_value)> fire_on_change{
    "fire_on_change", required, "datatypes/object"};
// Reports a changed time to the owner of the slot it sits in (object change events, series owners).
inline Hook<void (*)(Cell* gparent, Cell* p_item, const Cell* old_value, const Cell* new_value)> time_changed{
    "time_changed", required, "datatypes/object"};
// The binary! conversion behind make binary! of a non-number.
inline Hook<Cell* (*)(Cell* proto, Cell* spec, u32 type)> binary_to{"binary_to", required, "datatypes/binary"};
// port! values whose actor is a handle route action slots 25 and above to the actor's own table:
// answers the procedure, null when the port has no handle actor (the type's row then applies);
// raises no-port-action for an empty actor entry.
inline Hook<void* (*)(const Cell* port, u32 slot)> port_actor{"port_actor", pending,
                                                                  "port! with handle! actors"};
// A number (integer!, float!) compared with a money! under a compare-op; money! to float! and to
// integer! (the integral digits; type-limit beyond 32 bits).
inline Hook<i32 (*)(const Cell* number, const Cell* money, i32 op)> compare_money{"compare_money", required,
                                                                                   "datatypes/money"};
inline Hook<double (*)(const Cell* money)> money_to_float{"money_to_float", required, "datatypes/money"};
inline Hook<i32 (*)(const Cell* money)> money_to_integer{"money_to_integer", required, "datatypes/money"};
// The raw 32-bit pixel words of an image (4 bytes per pixel, memory order B G R A), for `to binary!`.
inline Hook<bool (*)(const Cell* image, std::vector<u8>& out)> image_bytes{"image_bytes", required, "image!"};

// The lexer, for the datatypes: the type of the one token UTF-8 text scans to (0 when it is not a
// single token); the scan of a text into one value in `out` (false when it is not one value); and
// to block! of a string, the scan into a new block.
inline Hook<u32 (*)(const u8* text, i32 length)> scan_type{"scan_type", required, "lexer"};
inline Hook<bool (*)(const u8* text, i32 length, Cell* out)> scan_value{"scan_value", required, "lexer"};
inline Hook<Cell* (*)(const Cell* text, Cell* out)> scan_block{"scan_block", required, "lexer"};

// The interpreter, for the datatypes. Evaluates a block in its bindings (`make object!` bodies and
// `make error!` set-word specs); while unset a non-empty body raises internal not-done.
inline Hook<void (*)(Cell* block)> eval_block{"eval_block", required, "evaluator/interpreter"};
// Calls a handler function with its `count` arguments pushed last on the value stack, under a
// function frame named by `name` for the owner's context; the result is not used (the caller drops
// everything it pushed). While unset no handler can run and firing does nothing.
inline Hook<void (*)(const Cell* handler, const Cell* name, Ref<Node> owner_ctx, i32 count, i32 kind)> call_handler{
    "call_handler", required, "evaluator/interpreter"};
// Calls a function value on the last `count` cells of the value stack and answers its result cell,
// under a <compare-callback> frame; while unset sort/compare with a function raises internal
// not-done.
inline Hook<const Cell* (*)(const Cell* function, i32 count)> call_callback{"call_callback", required,
                                                                             "evaluator/interpreter"};
// Calls a function value by position on the last `count` cells of the value stack (every argument
// and refinement of its spec in order, a refinement as its truth value followed by its arguments)
// under a call frame named by `name`; the result goes to *out and the cells are dropped. Port
// actions reach the functions of their actor through it.
inline Hook<void (*)(const Cell* function, const Cell* name, i32 count, Cell* out)> call_positional{
    "call_positional", required, "evaluator/interpreter"};

// The system object, for the datatypes: system/state (null while there is none), and the base form
// and mold write binaries in (system/options/binary-base: 2, 16 or 64; anything else is 16; 16 while
// unset).
inline Hook<const Cell* (*)()> system_state{"system_state", pending, "the system object"};
inline Hook<i32 (*)()> binary_base{"binary_base", pending, "the system object"};
// The decimals money! forms and molds with: system/options/money-digits when it is an integer!, else
// 2; 2 while unset.
inline Hook<i32 (*)()> money_digits{"money_digits", pending, "the system object"};
// system/locale/months (a block), whose names date! forms and molds; English names while unset.
inline Hook<const Cell* (*)()> locale_months{"locale_months", pending, "the system object"};
// url-parser/parse-url, called inside a function frame: the parsed spec in `out`; and make port!
// from a parsed spec object. The URL actions raise internal not-done while unset.
inline Hook<Cell* (*)(const Cell* url, Cell* out)> parse_url{"parse_url", pending, "the library's URL parser"};
inline Hook<Cell* (*)(const Cell* spec, Cell* out)> make_port{"make_port", required, "port!"};

// The OS layer, for the I/O actions of file! and url!.
// The HTTP client: method (a word!), the URL, headers (a block! or none), body (none, block!,
// string! or binary!) and the flags; answers the result in `out`, none when no connection was made.
inline Hook<Cell* (*)(const Cell* method, const Cell* url, const Cell* headers, const Cell* body, bool binary,
                      bool lines, bool info, Cell* out)>
    http_request{"http_request", required, "os/http"};
inline Hook<Cell* (*)(Cell* file, Cell* part, Cell* seek, bool binary, bool lines, Cell* out)> file_read{
    "file_read", required, "os/files"};
inline Hook<void (*)(Cell* file, Cell* data, Cell* part, Cell* seek, bool binary, bool append, bool lines)>
    file_write{"file_write", required, "os/files"};
inline Hook<Cell* (*)(Cell* file, Cell* out)> file_query{"file_query", required, "os/files"};  // date! or none
inline Hook<bool (*)(Cell* file)> file_delete{"file_delete", required, "os/files"};
inline Hook<bool (*)(Cell* from, Cell* to)> file_rename{"file_rename", required, "os/files"};

// ---- Called by the lexer and the evaluator -----------------------------------------------------

// Element `n` (0-based) of system/lexer/exit-states; the lexer uses its own words while unset.
inline Hook<bool (*)(i32 n, Cell* out)> exit_state{"exit_state", pending, "the system object"};
// The GUI's message pump (with no_wait: dispatches at most one pending message and answers whether
// one came): `wait` calls it after sleeping; unset while no GUI is up.
inline Hook<bool (*)(bool no_wait)> gui_do_events{"gui_do_events", pending, "the GUI backend"};

}  // namespace kiv::hooks
