// The slot API: how code outside the core (the OS layer, codecs over C libraries, the GUI backends)
// reaches values. This is the only core header such code includes.
//
// ---- Slots ----
//
// A slot is an integer index on the value stack, counted from the first argument of the running
// native: argument n of the native is slot n (a refinement's position, the i32 the native receives
// for it, is the slot of its first argument). Each push_* answers the slot of the value it pushed,
// the next one above the last. A slot index stays valid however much is allocated meanwhile: the
// value stack never moves, and the collector marks and updates every value on it. So code here
// never holds a value, only slot numbers, and the moving collector cannot pull anything from under
// it. Bytes and text are always copied out into C++ memory the caller owns. Only the thread that
// runs the language may use the API.
//
// ---- Lifetime ----
//
// A slot lives until the native returns, or until a Scope it was pushed under ends (Scope drops
// everything pushed since it began). Values appended to a block live as long as the block.
//
// ---- Allocation ----
//
// Every push_* and append may allocate, and so collect; reading (type_of, integer_of, text_of ...)
// does not. As slots are indexes, that only matters for speed.
//
// ---- Errors ----
//
// Language errors are C++ exceptions. raise, expect and every misused accessor throw one; so may
// any procedure that allocates (out of memory, a full value stack). Inside a native that is all
// there is to it: the error travels to the nearest try, and the stacks are unwound there.
//
// A language error must never cross a C library frame (a curl or GTK callback, a libpng error
// handler): the library's own state would be left half-way. Code called back from C runs its work
// under protect(), which catches the error at that boundary and keeps it in a slot; the callback
// reports failure to the library by its own means (a status, a short count), and once the library
// has returned, the native raises the kept error again with raise_value (so try and the error
// report see it as if the callback had raised it directly):
//
//   struct Download { i32 chunks; i32 error = -1; };
//   size_t on_data(char* bytes, size_t size, size_t count, void* user) {  // called by the library
//     auto* d = static_cast<Download*>(user);
//     d->error = api::protect([&] { api::append(d->chunks, api::push_binary(bytes, size * count)); });
//     return d->error < 0 ? size * count : 0;                            // 0 stops the transfer
//   }
//   ...                                          // in the native, once the library has returned:
//   if (d.error >= 0) api::raise_value(d.error);
//
// Misusing a slot (an index outside 0 .. slot_count() - 1, or a value of another type than the
// accessor reads) raises script bad-bad naming the accessor, the slot and what it holds: a bug in
// the calling code, reported where it happened instead of a crash. Check arguments with expect
// first: their mismatch is the user's error, reported as the core reports it (expect-arg).
//
// ---- Natives ----
//
// A native written on this API has the core's native signature, Exit name(bool check, i32 ...) (one
// i32 per refinement: -1 when unused, else the slot of its first argument). It checks its
// arguments with expect whatever `check` says, and ends with `return api::result(slot);`.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "runtime/base.h"

namespace kiv {
enum class Exit : u8;  // a native's status (runtime/stack.h); result() answers the normal one
struct Cell;           // only to take values from a hook's caller and give its result back
}  // namespace kiv

namespace kiv::api {

// The types the API reads and makes; every other datatype is `other` (type_name tells them apart).
enum class Type : u8 { other, unset, none, logic, integer, float_, string, file, url, binary, block, word, error };

// The number of slots: the slot the next push takes.
i32 slot_count();

// ---- Reading ----

Type type_of(i32 slot);
// The datatype's name, e.g. "set-word!" (a static text).
const char* type_name(i32 slot);
bool none_q(i32 slot);
i64 integer_of(i32 slot);  // integer!
double float_of(i32 slot); // float!
bool logic_of(i32 slot);   // logic!
// The text of a string!, file!, url!, tag!, email! or ref! from its head, as UTF-8 (it may hold
// NUL characters: check before handing it to C as a name). The view form writes it into `buffer`
// and answers a view of it (valid as long as the buffer is untouched).
std::string text_of(i32 slot);
std::string_view text_of(i32 slot, std::string& buffer);
// The bytes of a binary! from its head, likewise.
std::string bytes_of(i32 slot);
std::string_view bytes_of(i32 slot, std::string& buffer);
// Elements from the head of a string (characters), binary! (bytes) or block (values).
i32 length_of(i32 slot);
// Pushes element `index` (0-based, from the head) of the block in `block`; answers its slot.
i32 push_element(i32 block, i32 index);
// The name of a word!, set-word!, lit-word!, get-word!, refinement! or issue!, as UTF-8.
std::string word_name(i32 slot);

// ---- Pushing (each answers the new slot) ----

i32 push_none();
i32 push_logic(bool flag);
// Integers of the language are 32-bit: a value outside raises math overflow.
i32 push_integer(i64 value);
i32 push_float(double value);
// A string! of the UTF-8 text; each byte that does not belong to a valid sequence becomes U+FFFD.
i32 push_string(std::string_view utf8);
i32 push_binary(const void* bytes, std::size_t length);
inline i32 push_binary(std::string_view bytes) { return push_binary(bytes.data(), bytes.size()); }
// An empty block! with room for `capacity` values (it grows past that as needed).
i32 push_block(i32 capacity);
// Appends a copy of the value in `value` to the block in `block`.
void append(i32 block, i32 value);
// The word! of the name, bound to the global context (which gains the word when it is new). A
// name that is not UTF-8 raises access invalid-utf8; an empty one is a misuse.
i32 push_word(std::string_view name);

// A file! of a name as the OS gives it (bytes): valid UTF-8 decodes as text, and each byte outside
// a valid sequence becomes U+DC80 - 0x80 + byte (U+DC80..U+DCFF), so that the name can be handed
// back to the OS unchanged (os_name_of).
i32 push_file(std::string_view os_name);
// The OS name of the text in a string!, file! or url! from its head: UTF-8, each U+DC80..U+DCFF
// back to the byte it stands for. A NUL in it raises script invalid-arg with the value (no OS name
// holds one).
std::string os_name_of(i32 slot);

// The text of a value as form / mold make it.
std::string form_of(i32 slot);
std::string mold_of(i32 slot);

// Inserts the value of `value` at the head of the series in `series`: text into a string-family
// series, the bytes of a binary! into a binary!.
void insert_at_head(i32 series, i32 value);

// ---- Values of types that register after the core ----
//
// Each raises internal not-done while its type cannot be made yet.

// A tuple! of the 3 to 12 bytes.
i32 push_tuple(const u8* bytes, i32 length);
// A date! of a UTC calendar time (month 1-12, day 1-31, nanoseconds past the second).
i32 push_date_utc(i32 year, i32 month, i32 day, i32 hour, i32 minute, i32 second, i32 nanoseconds);
// Turns the block of keys and values in the slot into a map! in place. While map! cannot be made
// the block stays as it is and the answer is false (select and paths read both alike).
bool to_map(i32 block);

// ---- Bytes in place ----
//
// For data too large to copy through C++ memory: the callbacks get the bytes where the value keeps
// them, and must not use the API (nothing may allocate while they run).

namespace detail {
i32 push_binary_filled(std::size_t capacity, std::size_t (*fill)(void*, char*, std::size_t), void* body);
void see_bytes(i32 slot, void (*see)(void*, const char*, std::size_t), void* body);
}  // namespace detail
// A binary! of at most `capacity` bytes, written by fill(char* bytes, size_t capacity), which
// answers how many it wrote (the binary keeps that many).
template <class Fill>
i32 push_binary_filled(std::size_t capacity, Fill&& fill) {
  using F = std::remove_reference_t<Fill>;
  void* p = const_cast<void*>(static_cast<const void*>(&fill));
  return detail::push_binary_filled(
      capacity, [](void* f, char* bytes, std::size_t n) { return (*static_cast<F*>(f))(bytes, n); }, p);
}
// Lends the bytes of the binary! in the slot, from its head, to see(const char* bytes, size_t length).
template <class See>
void see_bytes(i32 slot, See&& see) {
  using S = std::remove_reference_t<See>;
  void* p = const_cast<void*>(static_cast<const void*>(&see));
  detail::see_bytes(slot, [](void* s, const char* bytes, std::size_t n) { (*static_cast<S*>(s))(bytes, n); }, p);
}

// ---- Hooks ----
//
// A hook that the core calls (runtime/hooks.h) receives its values as cells of its caller, which
// stay put for the call. The provider copies each into a slot at once and works on slots from there.

// A copy of the value in a new slot; a null cell pushes none.
i32 push_cell(const Cell* value);
// Copies the value of the slot into the cell the caller gave for the result.
void store(i32 slot, Cell* out);

// ---- Ending a native ----

// Makes the value in `slot` the native's result (it goes into slot 0, the result cell, so argument
// 0 is overwritten) and answers the status a native returns when it ends normally.
Exit result(i32 slot);

// ---- Errors ----

constexpr i32 no_slot = -1;
// Raises the catalogue's error `id` of the category (e.g. ErrorCategory::access, "cannot-open")
// with the values of up to three slots as its arguments: the same error! the core raises. The id
// travels as it is given: a static text (a literal), never one built for the call.
[[noreturn]] void raise(ErrorCategory category, const char* id, i32 arg1 = no_slot, i32 arg2 = no_slot,
                        i32 arg3 = no_slot);
// Raises script expect-arg for argument n of the running native (its word, the value's datatype,
// the argument's word: the nth word of its spec, so n is a mandatory argument's slot), as the
// core's own argument checks do.
[[noreturn]] void raise_expect_arg(i32 n);
// raise_expect_arg(n) unless argument n is of type t.
void expect(i32 n, Type t);
// Raises the error! value in the slot as it stands (one that protect caught).
[[noreturn]] void raise_value(i32 slot);

namespace detail {
i32 protect(void (*run)(void*), void* body);
}
// Runs body() (no arguments, no result) and answers -1 when it returns (what it pushed stays).
// When a language error is raised inside, the stacks are cut back to where they stood at the call
// (the body's pushes are gone) and the error! value is pushed: its slot is answered. For code that
// C calls back. Other C++ exceptions pass: the body must not throw them.
template <class Body>
i32 protect(Body&& body) {
  using B = std::remove_reference_t<Body>;
  void* p = const_cast<void*>(static_cast<const void*>(&body));
  return detail::protect([](void* b) { (*static_cast<B*>(b))(); }, p);
}

// Drops, when it ends, every slot pushed since it began: for helper code that pushes temporaries.
class Scope {
  i32 saved_;

 public:
  Scope();
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

}  // namespace kiv::api
