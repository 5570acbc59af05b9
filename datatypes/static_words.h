// Static words: the run-time's own fixed vocabulary, made once during boot initialisation and kept
// for the life of the process. Static symbols are compared against words' symbols (parse keywords,
// accessors, event facets, reflect targets); static words are passed to language-level code
// (change-notification action names, trace events, error categories); static refinements are
// ready-made refinement! cells.
//
// Words and refinements are root-block cells, held here by root index (the root block's buffer
// changes when it grows).
#pragma once
#include "runtime/cell.h"

namespace kiv::static_words {

// The interned names, in interning order: (identifier, name). `code` is interned a second time
// (same id) and `stack` is interned without a global, both in their place in the order.
#define KIV_STATIC_SYMBOLS(X)                                                                               \
  X(spec, "spec") X(body, "body") X(words, "words") X(class_, "class") X(logic_t, "logic!")                  \
  X(integer_t, "integer!") X(char_t, "char!") X(float_t, "float!") X(percent_t, "percent!")                 \
  X(any_type_t, "any-type!") X(exit, "exit") X(return_, "return") X(windows, "Windows")                     \
  X(syllable, "Syllable") X(macos, "macOS") X(linux_, "Linux") X(netbsd, "NetBSD") X(repeat, "repeat")      \
  X(foreach, "foreach") X(map_each, "map-each") X(remove_each, "remove-each") X(any, "any")                  \
  X(break_, "break") X(copy, "copy") X(end, "end") X(fail, "fail") X(into, "into") X(opt, "opt")            \
  X(not_, "not") X(quote, "quote") X(case_, "case") X(reject, "reject") X(set, "set") X(skip, "skip")        \
  X(some, "some") X(thru, "thru") X(to, "to") X(none, "none") X(bar, "|") X(minus, "-") X(if_, "if")         \
  X(remove, "remove") X(while_, "while") X(insert, "insert") X(only, "only") X(collect, "collect")           \
  X(keep, "keep") X(pick, "pick") X(ahead, "ahead") X(after, "after") X(x, "x") X(y, "y") X(z, "z")         \
  X(self, "self") X(values, "values") X(owner, "owner") X(owned, "owned") X(events_q, "events?")            \
  X(true_, "true") X(false_, "false") X(yes, "yes") X(no, "no") X(on, "on") X(off, "off") X(type, "type")   \
  X(face, "face") X(window, "window") X(offset, "offset") X(key, "key") X(flag, "flag") X(code, "code")     \
  X(picked, "picked") X(flags, "flags") X(away_q, "away?") X(ctrl_q, "ctrl?") X(shift_q, "shift?")          \
  X(down_q, "down?") X(mid_down_q, "mid-down?") X(alt_down_q, "alt-down?") X(aux_down_q, "aux-down?")       \
  X(orientation, "orientation") X(get, "get") X(put, "put") X(post, "post") X(head, "head")                 \
  X(size, "size") X(rgb, "rgb") X(alpha, "alpha") X(argb, "argb") X(date, "date") X(year, "year")           \
  X(month, "month") X(day, "day") X(zone, "zone") X(isoweek, "isoweek") X(week, "week")                    \
  X(weekday, "weekday") X(yearday, "yearday") X(julian, "julian") X(time, "time") X(hour, "hour")           \
  X(minute, "minute") X(second, "second") X(timezone, "timezone") X(amount, "amount") X(user, "user")       \
  X(host, "host") X(system, "system") X(system_global, "system-global") X(trace, "trace")                  \
  X(no_trace, "no-trace")

// Words made from static symbols (word/from-symbol), in order.
#define KIV_STATIC_SYMBOL_WORDS(X)                                                                          \
  X(windows) X(syllable) X(macos) X(linux_) X(netbsd) X(to) X(thru) X(not_) X(remove) X(while_) X(collect)   \
  X(keep) X(ahead) X(bar) X(any) X(some) X(copy) X(opt) X(into) X(insert) X(if_) X(quote) X(set) X(case_)

// Words made by name (word/load), in order; `end` comes from its symbol, in its place.
#define KIV_STATIC_NAMED_WORDS(X)                                                                           \
  X(at, "at") X(back, "back") X(find, "find") X(head, "head") X(head_q, "head?") X(index_q, "index?")        \
  X(length_q, "length?") X(next, "next") X(pick, "pick") X(skip, "skip") X(select, "select") X(tail, "tail") \
  X(tail_q, "tail?") X(change, "change") X(changed, "changed") X(clear, "clear") X(cleared, "cleared")       \
  X(set_path, "set-path") X(append, "append") X(appended, "appended") X(move, "move") X(moved, "moved")     \
  X(poke, "poke") X(poked, "poked") X(put, "put") X(put_ed, "put-ed") X(removed, "removed")                 \
  X(random, "random") X(randomized, "randomized") X(reverse, "reverse") X(reversed, "reversed")             \
  X(sort, "sort") X(sorted, "sorted") X(swap, "swap") X(swaped, "swaped") X(take, "take") X(taken, "taken") \
  X(trim, "trim") X(trimmed, "trimmed") X(inserted, "inserted") X(uppercase, "uppercase")                  \
  X(lowercase, "lowercase") X(checksum, "checksum") X(push, "push") X(pop, "pop") X(fetch, "fetch")         \
  X(match, "match") X(iterate, "iterate") X(paren, "paren") X(anon, "<anon>") X(body_tag, "<body>")         \
  X(not_found, "<not-found>") X(end, nullptr) X(add, "add") X(subtract, "subtract") X(divide, "divide")     \
  X(on_parse_event, "on-parse-event") X(on_change, "on-change*") X(on_deep_change, "on-deep-change*")       \
  X(type, "type") X(id, "id") X(try_, "try") X(catch_, "catch") X(name, "name") X(multiply, "multiply")      \
  X(browse, "browse") X(open, "open") X(create, "create") X(close, "close") X(delete_, "delete")            \
  X(modify, "modify") X(query, "query") X(read, "read") X(rename, "rename") X(update, "update")             \
  X(write, "write") X(prescan, "prescan") X(scan, "scan") X(load, "load") X(error, "error")                 \
  X(comment, "comment") X(init, "init") X(exec, "exec") X(call, "call") X(return_, "return")                \
  X(enter, "enter") X(exit, "exit") X(prolog, "prolog") X(epilog, "epilog") X(throw_, "throw")              \
  X(expr, "expr") X(interp_callback, "<interp-callback>") X(lexer_callback, "<lexer-callback>")             \
  X(parse_callback, "<parse-callback>") X(compare_callback, "<compare-callback>") X(note, "note")           \
  X(syntax, "syntax") X(script, "script") X(math, "math") X(access, "access") X(user, "user")               \
  X(internal, "internal") X(invalid_error, "invalid-error") X(local, "local") X(applied, "<applied>")

#define KIV_STATIC_REFINEMENTS(X) \
  X(local, "local") X(extern_, "extern") X(compare, "compare") X(part, "part") X(skip, "skip") X(with, "with")

namespace sym {
enum : u32 {
#define KIV_SW_ENUM(id, name) id,
  KIV_STATIC_SYMBOLS(KIV_SW_ENUM)
#undef KIV_SW_ENUM
  count
};
}  // namespace sym

// Static words: those made from symbols first, then those made by name (one enumeration; the
// symbol-made words carry the `sym_` prefix where a named word of the same spelling could exist).
namespace wid {
enum : u32 {
#define KIV_SW_SYMWORD(id) sym_##id,
  KIV_STATIC_SYMBOL_WORDS(KIV_SW_SYMWORD)
#undef KIV_SW_SYMWORD
#define KIV_SW_NAMED(id, name) id,
  KIV_STATIC_NAMED_WORDS(KIV_SW_NAMED)
#undef KIV_SW_NAMED
  count
};
}  // namespace wid

namespace rid {
enum : u32 {
#define KIV_SW_ENUM(id, name) id,
  KIV_STATIC_REFINEMENTS(KIV_SW_ENUM)
#undef KIV_SW_ENUM
  count
};
}  // namespace rid

// Symbol ids, and root-block indexes of the words and refinements (0 until made).
inline i32 symbols[sym::count] = {};
inline i32 word_roots[wid::count] = {};
inline i32 refinement_roots[rid::count] = {};

inline i32 symbol(u32 id) { return symbols[id]; }
// The word's root-block cell; valid until the root block grows.
Cell* word(u32 id);
Cell* refinement(u32 id);

// Boot step 15, in this order.
void make_symbols_and_words();
void make_refinements();

}  // namespace kiv::static_words
