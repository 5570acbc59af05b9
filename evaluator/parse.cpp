// The parse engine and the `parse` native.
//
// The loop runs over five states: fetch (take the next rule value and dispatch it), after (a rule
// has answered; a pending command takes the answer, else the block goes on or looks for its next
// alternative), alternative, block-end (leave a rule block), end. Every rule, whether it matches
// or not, leaves the rule position just after itself; a command waiting on the stack therefore
// always finds the rule position at the end of its own rule when the answer comes.
//
// Rule-stack entries live in one fixed array (never reallocated, so a reference to an entry stays
// valid while an action runs a nested parse above it) and the input stack in another; both are
// marked by a collector root callback. Input and rule positions are indexes re-read on every use.
//
// The fast paths (a repetition, `to` or `thru` over a single literal, bitset or `skip`, also as the
// rule of a command such as `keep to ","`) run in one C++ loop without going through the states;
// they are skipped while a trace callback watches, so that every step still reports its events.
#include "evaluator/parse.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "datatypes/string_internal.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/sys.h"
#include "runtime/unicode.h"

namespace kiv::parse {

namespace {

// ---- Keywords ---------------------------------------------------------------------------------

enum Keyword : u8 {
  kw_none_ = 0, kw_bar, kw_skip, kw_any, kw_some, kw_opt, kw_copy, kw_to, kw_thru, kw_end, kw_remove,
  kw_break, kw_keep, kw_pick, kw_fail, kw_ahead, kw_while, kw_into, kw_insert, kw_only, kw_change, kw_if,
  kw_not, kw_quote, kw_collect, kw_after, kw_case, kw_reject, kw_set, kw_none, kw_count
};

// Keywords by canonical symbol id (0: not a keyword), rebuilt when the static symbols change (a new
// boot in the same process).
std::vector<u8> keyword_by_symbol;
i32 keyword_symbols[kw_count] = {};
i32 keywords_built_for = 0;

void build_keywords() {
  namespace sw = static_words;
  const i32 key = sw::symbol(sw::sym::any);
  if (key == keywords_built_for) return;
  keywords_built_for = key;
  const i32 change_symbol = static_cast<i32>(sw::word(sw::wid::change)->w2);
  const struct {
    Keyword k;
    i32 symbol;
  } list[] = {
      {kw_bar, sw::symbol(sw::sym::bar)},       {kw_skip, sw::symbol(sw::sym::skip)},
      {kw_any, sw::symbol(sw::sym::any)},       {kw_some, sw::symbol(sw::sym::some)},
      {kw_opt, sw::symbol(sw::sym::opt)},       {kw_copy, sw::symbol(sw::sym::copy)},
      {kw_to, sw::symbol(sw::sym::to)},         {kw_thru, sw::symbol(sw::sym::thru)},
      {kw_end, sw::symbol(sw::sym::end)},       {kw_remove, sw::symbol(sw::sym::remove)},
      {kw_break, sw::symbol(sw::sym::break_)},  {kw_keep, sw::symbol(sw::sym::keep)},
      {kw_pick, sw::symbol(sw::sym::pick)},     {kw_fail, sw::symbol(sw::sym::fail)},
      {kw_ahead, sw::symbol(sw::sym::ahead)},   {kw_while, sw::symbol(sw::sym::while_)},
      {kw_into, sw::symbol(sw::sym::into)},     {kw_insert, sw::symbol(sw::sym::insert)},
      {kw_only, sw::symbol(sw::sym::only)},     {kw_change, change_symbol},
      {kw_if, sw::symbol(sw::sym::if_)},        {kw_not, sw::symbol(sw::sym::not_)},
      {kw_quote, sw::symbol(sw::sym::quote)},   {kw_collect, sw::symbol(sw::sym::collect)},
      {kw_after, sw::symbol(sw::sym::after)},   {kw_case, sw::symbol(sw::sym::case_)},
      {kw_reject, sw::symbol(sw::sym::reject)}, {kw_set, sw::symbol(sw::sym::set)},
      {kw_none, sw::symbol(sw::sym::none)},
  };
  keyword_by_symbol.assign(1, 0);
  for (const auto& entry : list) {
    const i32 s = symbol::resolve(entry.symbol);
    keyword_symbols[entry.k] = entry.symbol;
    if (s <= 0) continue;
    if (static_cast<size_t>(s) >= keyword_by_symbol.size()) keyword_by_symbol.resize(static_cast<size_t>(s) + 1, 0);
    keyword_by_symbol[static_cast<size_t>(s)] = entry.k;
  }
}

// The keyword a word! names (compared by symbol, any case), or 0.
Keyword keyword_of(const Cell* w) {
  const auto s = static_cast<i32>(w->w2);
  const auto size = static_cast<i32>(keyword_by_symbol.size());
  if (s > 0 && s < size && keyword_by_symbol[static_cast<size_t>(s)]) {
    return static_cast<Keyword>(keyword_by_symbol[static_cast<size_t>(s)]);
  }
  const i32 r = symbol::resolve(s);
  if (r != s && r > 0 && r < size) return static_cast<Keyword>(keyword_by_symbol[static_cast<size_t>(r)]);
  return kw_none_;
}

bool is_keyword(const Cell& c, Keyword k) { return c.type() == type::word && keyword_of(&c) == k; }

// ---- The shared stacks ------------------------------------------------------------------------

// Command codes kept with a rule-stack entry.
enum Code : i32 {
  c_block = 0, c_repeat = -1, c_to = -2, c_thru = -3, c_copy = -4, c_set = -5, c_not = -6, c_into = -7,
  c_remove = -9, c_while = -11, c_collect = -12, c_keep = -13, c_ahead = -16, c_case = -19, c_change = -20,
};

enum CollectMode : i32 { collect_plain = 0, collect_set, collect_into, collect_after };

struct Entry {
  i32 code;
  i32 input_pos;    // input index when pushed (a block: where its alternatives restart)
  i32 rule_pos;     // a block: where the parent resumes; a command: the start of its rule
  i32 keyword;      // the keyword that made it, for the callback's view (0 for blocks and counts)
  i32 min, max;     // repetition bounds
  i32 count;        // repetition: rounds matched; to/thru: the position being tried
  i32 last;         // repetition: the input after the last round
  i32 remaining;    // repetition: the input left after the last round
  i32 flags;        // keep: pick; change: only; collect: its mode; case: the saved mode
  i32 input_depth;  // the input stack's height when pushed
  i32 unused = 0;
  Cell rules;       // a block: the parent block; a command: the block it lives in
  Cell aux;         // a block: the block entered; copy, set, case: the word; collect: the collection
  Cell aux2;        // collect: the word of set/into/after
};

constexpr u32 entry_capacity = 1u << 16;
constexpr u32 input_capacity = 1u << 16;

Entry* entries = nullptr;
u32 entry_top = 0;
Cell* inputs = nullptr;
u32 input_top = 0;

void mark_stacks() {
  for (u32 i = 0; i < entry_top; ++i) {
    collector::mark_cell(&entries[i].rules);
    collector::mark_cell(&entries[i].aux);
    collector::mark_cell(&entries[i].aux2);
  }
  if (input_top) collector::mark_cells(inputs, inputs + input_top);
}

i32 cells_of(i32 code) { return code == c_repeat || code == c_while ? 6 : 3; }

[[noreturn]] void stack_limit() { raise_error(ErrorCategory::script, "parse-stack"); }

// ---- Small helpers ----------------------------------------------------------------------------

enum Kind : u8 { k_block, k_string, k_binary };

Kind kind_of(u32 t) { return t == type::binary ? k_binary : series::any_string_q(t) ? k_string : k_block; }

bool text_type_q(u32 t) {
  return t == type::string || t == type::file || t == type::url || t == type::email || t == type::ref;
}
bool into_type_q(u32 t) {
  return t == type::block || t == type::paren || t == type::hash || t == type::path || t == type::lit_path ||
         t == type::set_path || t == type::get_path;
}
bool path_type_q(u32 t) { return t == type::path || t == type::set_path || t == type::get_path; }

i32 unit_total(const Cell* s) {
  const SeriesBuffer* b = series::buffer_of(s);
  return static_cast<i32>((b->tail - b->head) >> series::shift_of(b));
}
i32 clamp_index(i32 i, i32 total) { return std::clamp(i, 0, total); }

inline i32 fold(i32 cp) { return string::fold_upper(cp); }
inline u8 fold_ascii(u8 c) { return c >= 'a' && c <= 'z' ? static_cast<u8>(c - 32) : c; }

bool bitset_member(const Cell& bits, i32 n) { return string::bitset_has(&bits, n); }

// The value a word holds for use as a rule: false when it is unbound or unset.
bool word_value(const Cell& w, Cell* out) {
  if (word::index_of(&w) < 0) return false;
  *out = *word::get_value(&w);
  return out->type() != type::unset;
}

// An integer given directly or through a word (not a keyword): a repetition bound.
bool integer_value(const Cell& c, i32* out) {
  if (c.type() == type::integer) {
    *out = c.as_int();
    return true;
  }
  if (c.type() != type::word || keyword_of(&c)) return false;
  Cell v;
  if (!word_value(c, &v) || v.type() != type::integer) return false;
  *out = v.as_int();
  return true;
}

Cell keyword_word(Keyword k) {
  Cell w{};  // make_at keeps the header bits it finds
  word::make_at(keyword_symbols[k], &w);
  return w;
}

// A literal matched in one step without side effects (or `skip`): the fast loops run it.
struct Leaf {
  Cell value{type::none, 0, 0, 0};
  Cell named{type::none, 0, 0, 0};  // the rule as written (a word or the value)
  bool skip = false;
  i32 next = 0;  // the rule position after it
};

// ---- The engine -------------------------------------------------------------------------------

enum class State : u8 { go, fetch, after, alternative, block_end, end, stop, exit };

#define KIV_FIRE(event)                            \
  do {                                             \
    if (callback_) {                               \
      const State fired_ = fire(event);            \
      if (fired_ != State::go) return fired_;      \
    }                                              \
  } while (0)

class Engine {
 public:
  Engine(const Request& r, Cell* out)
      : base_(entry_top), input_base_(input_top), limit_(r.limit < 0 ? INT_MAX : r.limit),
        callback_(r.callback), out_(out), case_(r.case_sensitive) {}
  // Whatever way the run ends, the stacks go back to what the runs outside it hold.
  ~Engine() {
    entry_top = base_;
    input_top = input_base_;
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  Exit run(const Request& r);

 private:
  const u32 base_, input_base_;
  Cell rules_{type::none, 0, 0, 0};   // the current rule block
  Cell result_{type::none, 0, 0, 0};  // the collection of a top-level collect
  Cell view_{type::none, 0, 0, 0};    // the callback's view of the rule stack, made once per run
  RootCell keep_rules_{rules_};
  RootCell keep_result_{result_};
  RootCell keep_view_{view_};
  i32 rp_ = 0;  // the next rule value, an index into the rule block's content
  i32 ip_ = 0;  // the input position, an index into the current input's content
  i32 limit_;   // /part on the top-level input (INT_MAX: none)
  i32 cells_ = 0;
  const Cell* callback_;
  Cell* out_;
  Kind kind_ = k_block;
  bool case_;
  bool match_ = false;
  Exit exit_ = Exit::none;

  // -- stacks --
  Entry& top() { return entries[entry_top - 1]; }
  Entry& push(i32 code, i32 keyword = 0) {
    if (cells_ >= stack_limit_cells || entry_top >= entry_capacity) stack_limit();
    Entry& e = entries[entry_top];
    e.code = code;
    e.input_pos = ip_;
    e.rule_pos = rp_;
    e.keyword = keyword;
    e.min = e.max = e.count = 0;
    e.last = ip_;
    e.remaining = 0;
    e.flags = 0;
    e.input_depth = static_cast<i32>(input_top);
    e.rules = rules_;
    e.aux = none::value;
    e.aux2 = none::value;
    ++entry_top;
    cells_ += cells_of(code);
    return e;
  }
  void pop() { cells_ -= cells_of(entries[--entry_top].code); }
  void push_input(const Cell& s) {
    if (input_top - input_base_ >= static_cast<u32>(stack_limit_cells) || input_top >= input_capacity) stack_limit();
    inputs[input_top++] = s;
    kind_ = kind_of(s.type());
  }
  void pop_input() {
    --input_top;
    kind_ = kind_of(input()->type());
  }
  i32 innermost_collect(u32 below) const {
    for (u32 i = below; i > base_; --i) {
      if (entries[i - 1].code == c_collect) return static_cast<i32>(i - 1);
    }
    return -1;
  }

  // -- rules --
  i32 rules_len() const {
    const SeriesBuffer* b = series::buffer_of(&rules_);
    return static_cast<i32>((b->tail - b->head) >> 4);
  }
  Cell rule_at(i32 i) const { return series::buffer_of(&rules_)->head_ptr<Cell>()[i]; }
  [[noreturn]] void end_of_rule(const Cell& after) { raise_error(ErrorCategory::script, "parse-end", after); }
  // The rule after the keyword `w`, which needs one.
  Cell rule_arg(const Cell& w) {
    if (rp_ >= rules_len()) end_of_rule(w);
    return rule_at(rp_);
  }
  [[noreturn]] void bad_rule(const Cell& rule) { raise_error(ErrorCategory::script, "parse-rule", rule); }

  // -- input --
  Cell* input() const { return &inputs[input_top - 1]; }
  bool top_input() const { return input_top - 1 == input_base_; }
  i32 itotal() const { return unit_total(input()); }
  i32 iend() const {
    const i32 t = itotal();
    return top_input() ? std::min(t, limit_) : t;
  }
  void element(i32 at, Cell* out) const;
  void copy_range(i32 from, i32 to, Cell* out);
  void remove_range(i32 from, i32 to);
  i32 insert_at(i32 at, const Cell& value, bool only);
  i32 change_range(i32 from, i32 to, const Cell& value, bool only);
  void adjust_limit(i32 delta) {
    if (top_input() && limit_ != INT_MAX) limit_ = std::max(limit_ + delta, 0);
  }

  // -- matching --
  i32 match_value(const Cell& v, const Cell& named, i32 pos, i32 end, bool quoted);
  i32 match_text(const Cell& text, i32 pos, i32 end) const;
  i32 match_utf8(const Cell& text, i32 pos, i32 end, bool tag) const;
  i32 match_code_point_bytes(i32 cp, i32 pos, i32 end) const;
  i32 match_binary(const Cell& bin, i32 pos, i32 end) const;
  i32 match_token(const Cell& v, i32 pos, i32 end);
  bool leaf_at(i32 at, Leaf& leaf);
  bool leaf_type_q(u32 t) const;
  i32 span_leaf(const Leaf& leaf, i32 pos, i32 end, i32 max, i32* count);
  bool find_leaf(const Leaf& leaf, i32 pos, i32 end, i32* at, i32* after);
  bool quick_rule(i32 at, i32* next, i32* end_pos);
  i32 skip_rule(i32 i) const;
  void spend();

  // -- states --
  State fetch();
  State after();
  State alternative();
  State block_end();
  State finish();
  State dispatch(const Cell& v, const Cell& named, bool via_word);
  State literal(const Cell& v, const Cell& named);
  State enter_block(const Cell& blk, const Cell& named);
  State keyword(Keyword k, const Cell& w);
  State command(i32 code, Keyword k, const Cell& w);
  State command_end();
  State start_rule();
  State repeat(i32 code, Keyword k, const Cell& named, i32 min, i32 max);
  State repeat_end(Entry& e);
  State repeat_leaf(const Leaf& leaf, i32 min, i32 max);
  State to_thru(Keyword k, const Cell& w);
  State to_leaf(const Leaf& leaf, bool thru);
  State copy_set(Keyword k, const Cell& w);
  State remove_rule(const Cell& w);
  State keep_rule(const Cell& w);
  State into_rule(const Cell& w);
  // Steps over an `only` after insert or change; the rule must go on after it.
  bool take_only(const Cell& w);
  State insert_rule(const Cell& w);
  State change_rule(const Cell& w);
  State if_rule(const Cell& w);
  State quote_rule(const Cell& w);
  State collect_rule(const Cell& w);
  State case_rule(const Cell& w);
  State unwind(bool brk);
  void abandon(Entry& e, bool brk);

  // -- actions and results --
  Exit evaluate(const Cell& paren, Cell* out);
  State resolve_value(const Cell& n, Cell* out);
  void keep_range(i32 from, i32 to, bool pick);
  void keep_value(const Cell& value, bool pick);
  void check_target(const Cell& target) const;
  void finalize_collect(Entry& e, bool matched);

  // -- events --
  State fire(u32 event_word);
  void snapshot(Cell* out);
};

// ---- input access and modification ----

void Engine::element(i32 at, Cell* out) const {
  SeriesBuffer* b = series::buffer_of(input());
  switch (kind_) {
    case k_block: *out = b->head_ptr<Cell>()[at]; break;
    case k_string: char_::box(out, string::read_unit(b->head_ptr() + (static_cast<u32>(at) << series::shift_of(b)), b->unit())); break;
    case k_binary: integer::box(out, static_cast<u8>(b->head_ptr()[at])); break;
  }
}

void Engine::copy_range(i32 from, i32 to, Cell* out) {
  const i32 total = itotal();
  from = clamp_index(from, total);
  to = clamp_index(to, total);
  Cell* const saved = stack::top;
  Cell* src = stack::push_value(input());
  series::set_head_index(src, from);
  Cell* part = stack::push_cell();
  integer::box(part, std::max(to - from, 0));
  Cell* made = stack::push_cell();
  actions::dispatch_copy(src, made, part, false, nullptr);
  *out = *made;
  stack::top = saved;
}

void Engine::remove_range(i32 from, i32 to) {
  const i32 total = itotal();
  from = clamp_index(from, total);
  to = clamp_index(to, total);
  if (to <= from) return;
  Cell* const saved = stack::top;
  Cell* s = stack::push_value(input());
  series::set_head_index(s, from);
  Cell* part = stack::push_cell();
  integer::box(part, to - from);
  actions::get<action::slot::remove>(s)(s, part, nullptr);
  stack::top = saved;
  adjust_limit(itotal() - total);
}

i32 Engine::insert_at(i32 at, const Cell& value, bool only) {
  const i32 total = itotal();
  at = clamp_index(at, total);
  Cell* const saved = stack::top;
  Cell* s = stack::push_value(input());
  series::set_head_index(s, at);
  Cell* v = stack::push_value(&value);
  actions::get<action::slot::insert>(s)(s, v, -1, only, 1, false);
  stack::top = saved;
  const i32 added = itotal() - total;
  adjust_limit(added);
  return at + std::max(added, 0);
}

i32 Engine::change_range(i32 from, i32 to, const Cell& value, bool only) {
  const i32 total = itotal();
  from = clamp_index(from, total);
  to = std::max(clamp_index(to, total), from);
  Cell* const saved = stack::top;
  Cell* s = stack::push_value(input());
  series::set_head_index(s, from);
  Cell* v = stack::push_value(&value);
  Cell* r = actions::get<action::slot::change>(s)(s, v, to - from, only, 1);
  const i32 at = series::head_index(r);
  stack::top = saved;
  adjust_limit(itotal() - total);
  return clamp_index(at, itotal());
}

// ---- matching ----

// The rule text (a string-family value from its head) at `pos` of a string input: its end, or -1.
i32 Engine::match_text(const Cell& text, i32 pos, i32 end) const {
  SeriesBuffer* tb = series::buffer_of(&text);
  const u32 tu = tb->unit(), ts = series::shift_of(tb);
  const i32 ttotal = static_cast<i32>((tb->tail - tb->head) >> ts);
  const i32 th = clamp_index(series::head_index(&text), ttotal);
  const i32 n = ttotal - th;
  if (pos > end || n > end - pos) return -1;
  SeriesBuffer* ib = series::buffer_of(input());
  const u32 iu = ib->unit(), is = series::shift_of(ib);
  const std::byte* a = ib->head_ptr() + (static_cast<u32>(pos) << is);
  const std::byte* b = tb->head_ptr() + (static_cast<u32>(th) << ts);
  if (iu == tu) {
    if (std::memcmp(a, b, static_cast<size_t>(n) << is) == 0) return pos + n;
    if (case_) return -1;
  }
  for (i32 k = 0; k < n; ++k) {
    const i32 ca = string::read_unit(a + (static_cast<u32>(k) << is), iu);
    const i32 cb = string::read_unit(b + (static_cast<u32>(k) << ts), tu);
    if (ca != cb && (case_ || fold(ca) != fold(cb))) return -1;
  }
  return pos + n;
}

// The UTF-8 bytes of one code point at `pos` of a binary input (ASCII letters fold unless /case).
i32 Engine::match_code_point_bytes(i32 cp, i32 pos, i32 end) const {
  u8 enc[4];
  const i32 k = unicode::encode_utf8(cp, enc);
  if (pos > end || k > end - pos) return -1;
  const u8* in = series::buffer_of(input())->head_ptr<u8>() + pos;
  for (i32 j = 0; j < k; ++j) {
    if (in[j] != enc[j] && (case_ || fold_ascii(in[j]) != fold_ascii(enc[j]))) return -1;
  }
  return pos + k;
}

// The rule text as UTF-8 at `pos` of a binary input (a tag within its angle brackets).
i32 Engine::match_utf8(const Cell& text, i32 pos, i32 end, bool tag) const {
  if (tag && (pos = match_code_point_bytes('<', pos, end)) < 0) return -1;
  const i32 ttotal = unit_total(&text);
  for (i32 i = clamp_index(series::head_index(&text), ttotal); i < ttotal; ++i) {
    if ((pos = match_code_point_bytes(string::char_at(&text, i), pos, end)) < 0) return -1;
  }
  if (tag) pos = match_code_point_bytes('>', pos, end);
  return pos;
}

// A binary rule at `pos`: its bytes against the bytes of a binary input, or against the character
// codes of a string input.
i32 Engine::match_binary(const Cell& bin, i32 pos, i32 end) const {
  SeriesBuffer* bb = series::buffer_of(&bin);
  const i32 btotal = static_cast<i32>(bb->tail - bb->head);
  const i32 bh = clamp_index(series::head_index(&bin), btotal);
  const i32 n = btotal - bh;
  if (pos > end || n > end - pos) return -1;
  const u8* b = bb->head_ptr<u8>() + bh;
  SeriesBuffer* ib = series::buffer_of(input());
  if (kind_ == k_binary) return std::memcmp(ib->head_ptr<u8>() + pos, b, static_cast<size_t>(n)) == 0 ? pos + n : -1;
  const u32 iu = ib->unit(), is = series::shift_of(ib);
  for (i32 k = 0; k < n; ++k) {
    if (string::read_unit(ib->head_ptr() + (static_cast<u32>(pos + k) << is), iu) != b[k]) return -1;
  }
  return pos + n;
}

// A datatype or typeset on binary input: the next token, scanned by the lexer, must have the type.
i32 Engine::match_token(const Cell& v, i32 pos, i32 end) {
  if (pos >= end) return -1;
  const i32 n = end - pos;
  std::vector<u8> bytes(series::buffer_of(input())->head_ptr<u8>() + pos,
                        series::buffer_of(input())->head_ptr<u8>() + pos + n);
  Cell* const saved = stack::top;
  Cell* out = stack::push_cell();
  lexer::Options options;
  options.scan = true;
  options.one_value = true;
  i32 end_pos = 0;
  const u32 t = lexer::scan_buffer(out, bytes.data(), n, options, &end_pos, nullptr);
  stack::top = saved;
  if (t == 0 || t == type::error || end_pos <= 0) return -1;
  const bool ok = v.type() == type::datatype ? t == datatype::id_of(&v) : cell::typeset_has(&v, t);
  return ok ? pos + std::min(end_pos, n) : -1;
}

// One literal rule value at `pos`: the input position after it, or -1. `quoted` (the rule came
// after `quote`) matches datatypes, typesets and integers as plain values.
i32 Engine::match_value(const Cell& v, const Cell& named, i32 pos, i32 end, bool quoted) {
  const u32 t = v.type();
  if (kind_ == k_block) {
    if (pos >= end) return -1;
    const Cell el = series::buffer_of(input())->head_ptr<Cell>()[pos];
    if (!quoted) {
      if (t == type::datatype) return el.type() == datatype::id_of(&v) ? pos + 1 : -1;
      if (t == type::typeset) return cell::typeset_has(&v, el.type()) ? pos + 1 : -1;
    }
    i32 op = case_ ? compare_op::strict_equal : compare_op::equal;
    if (!quoted && (t == type::lit_word || t == type::lit_path)) {
      op = case_ ? compare_op::parse_match_case : compare_op::parse_match;
    }
    const u32 et = el.type();
    if (et >= datatype::table_rows || !datatype::actions[et].compare) return -1;
    return actions::compare(&el, &v, op) ? pos + 1 : -1;
  }
  if (kind_ == k_string) {
    switch (t) {
      case type::char_: {
        if (pos >= end) return -1;
        SeriesBuffer* b = series::buffer_of(input());
        const i32 c = string::read_unit(b->head_ptr() + (static_cast<u32>(pos) << series::shift_of(b)), b->unit());
        const i32 r = char_::code_point(&v);
        return c == r || (!case_ && fold(c) == fold(r)) ? pos + 1 : -1;
      }
      case type::string: case type::file: case type::url: case type::email: case type::ref:
        return match_text(v, pos, end);
      case type::tag: {
        Cell open, close;
        char_::box(&open, '<');
        char_::box(&close, '>');
        if ((pos = match_value(open, named, pos, end, true)) < 0) return -1;
        if ((pos = match_text(v, pos, end)) < 0) return -1;
        return match_value(close, named, pos, end, true);
      }
      case type::binary: return match_binary(v, pos, end);
      case type::bitset: {
        if (pos >= end) return -1;
        SeriesBuffer* b = series::buffer_of(input());
        const i32 c = string::read_unit(b->head_ptr() + (static_cast<u32>(pos) << series::shift_of(b)), b->unit());
        return bitset_member(v, c) ? pos + 1 : -1;
      }
      case type::datatype: case type::typeset:
        if (!quoted) raise_error(ErrorCategory::script, "parse-unsupported");
        bad_rule(named);
      default:
        bad_rule(named);
    }
  }
  switch (t) {
    case type::binary: return match_binary(v, pos, end);
    case type::string: case type::file: case type::url: case type::email: case type::ref:
      return match_utf8(v, pos, end, false);
    case type::tag: return match_utf8(v, pos, end, true);
    case type::char_: return match_code_point_bytes(char_::code_point(&v), pos, end);
    case type::bitset:
      if (pos >= end) return -1;
      return bitset_member(v, series::buffer_of(input())->head_ptr<u8>()[pos]) ? pos + 1 : -1;
    case type::integer: {
      if (!quoted) bad_rule(named);
      if (pos >= end) return -1;
      const i32 n = v.as_int();
      return n >= 0 && n <= 255 && series::buffer_of(input())->head_ptr<u8>()[pos] == n ? pos + 1 : -1;
    }
    case type::datatype: case type::typeset:
      if (quoted) bad_rule(named);
      return match_token(v, pos, end);
    default:
      bad_rule(named);
  }
}

bool Engine::leaf_type_q(u32 t) const {
  switch (t) {
    case type::char_: case type::string: case type::file: case type::url: case type::email: case type::ref:
    case type::tag: case type::binary:
      return true;
    case type::bitset:
      return kind_ != k_block;
    case type::datatype: case type::typeset: case type::lit_word: case type::lit_path: case type::float_:
    case type::issue:
      return kind_ == k_block;
    default:
      return false;
  }
}

bool Engine::leaf_at(i32 at, Leaf& leaf) {
  if (at >= rules_len()) return false;
  Cell v = rule_at(at);
  leaf.named = v;
  leaf.next = at + 1;
  leaf.skip = false;
  if (v.type() == type::word) {
    const Keyword k = keyword_of(&v);
    if (k == kw_skip) {
      leaf.skip = true;
      return true;
    }
    if (k && k != kw_pick && k != kw_only && k != kw_after) return false;
    if (!word_value(v, &v)) return false;
  }
  if (!leaf_type_q(v.type())) return false;
  leaf.value = v;
  return true;
}

template <u32 Unit>
inline i32 unit_at(const std::byte* base, i32 i) {
  if constexpr (Unit == 1) return static_cast<u8>(base[i]);
  else return string::read_unit(base + static_cast<std::ptrdiff_t>(i) * Unit, Unit);
}

template <u32 Unit>
i32 span_bitset(const std::byte* base, i32 pos, i32 end, i32 max, const u8* bits, u32 nbytes, bool comp,
                i32* count) {
  i32 c = 0;
  while (c < max && pos < end) {
    const i32 ch = unit_at<Unit>(base, pos);
    const u32 byte = static_cast<u32>(ch) >> 3;
    const bool in = byte < nbytes ? (bits[byte] & (0x80u >> (ch & 7))) != 0 : comp;
    if (!in) break;
    ++pos;
    ++c;
  }
  *count = c;
  return pos;
}

// Runs the leaf up to `max` times from `pos`: the position reached, the rounds in *count. A round
// that matched without moving ends the loop (it counts).
i32 Engine::span_leaf(const Leaf& leaf, i32 pos, i32 end, i32 max, i32* count) {
  if (leaf.skip) {
    const i32 n = static_cast<i32>(std::min<i64>(max, std::max(end - pos, 0)));
    *count = n;
    return pos + n;
  }
  const u32 t = leaf.value.type();
  if (kind_ != k_block && t == type::bitset) {
    SeriesBuffer* ib = series::buffer_of(input());
    SeriesBuffer* bb = series::buffer_of(&leaf.value);
    const u8* bits = bb->head_ptr<u8>();
    const u32 nbytes = bb->tail - bb->head;
    const bool comp = bitset::complemented_q(bb);
    switch (ib->unit()) {
      case 1: return span_bitset<1>(ib->head_ptr(), pos, end, max, bits, nbytes, comp, count);
      case 2: return span_bitset<2>(ib->head_ptr(), pos, end, max, bits, nbytes, comp, count);
      default: return span_bitset<4>(ib->head_ptr(), pos, end, max, bits, nbytes, comp, count);
    }
  }
  if (kind_ == k_string && t == type::char_) {
    SeriesBuffer* ib = series::buffer_of(input());
    const u32 unit = ib->unit(), shift = series::shift_of(ib);
    const std::byte* base = ib->head_ptr();
    const i32 r = char_::code_point(&leaf.value), fr = fold(r);
    i32 c = 0;
    while (c < max && pos < end) {
      const i32 ch = string::read_unit(base + (static_cast<u32>(pos) << shift), unit);
      if (ch != r && (case_ || fold(ch) != fr)) break;
      ++pos;
      ++c;
    }
    *count = c;
    return pos;
  }
  i32 c = 0;
  while (c < max) {
    const i32 n = match_value(leaf.value, leaf.named, pos, end, false);
    if (n < 0) break;
    ++c;
    if (n == pos) break;
    pos = n;
  }
  *count = c;
  return pos;
}

// The characters a buffer of `unit` can hold that fold to the same as cp (at most 4 written; the
// count may be higher). The last answer is kept: `to` over one text asks again and again.
int fold_needles(i32 cp, u32 unit, i32* out) {
  static i32 cached_cp = -1;
  static u32 cached_unit = 0;
  static int cached_count = 0;
  static i32 cached[4];
  if (cp != cached_cp || unit != cached_unit) {
    cached_count = string::search::fold_class(cp, unit, cached, 4);
    cached_cp = cp;
    cached_unit = unit;
  }
  std::memcpy(out, cached, sizeof cached);
  return cached_count;
}

// The first position in [pos, end] where the leaf matches: its start in *at, its end in *after.
bool Engine::find_leaf(const Leaf& leaf, i32 pos, i32 end, i32* at, i32* after) {
  if (pos > end) return false;
  if (leaf.skip) {
    if (pos >= end) return false;
    *at = pos;
    *after = pos + 1;
    return true;
  }
  const Cell& v = leaf.value;
  const u32 t = v.type();
  if (kind_ == k_string && (t == type::char_ || text_type_q(t))) {
    i32 first, n;
    if (t == type::char_) {
      first = char_::code_point(&v);
      n = 1;
    } else {
      const i32 total = unit_total(&v);
      const i32 h = clamp_index(series::head_index(&v), total);
      n = total - h;
      if (n == 0) {
        *at = *after = pos;
        return true;
      }
      SeriesBuffer* tb = series::buffer_of(&v);
      first = string::read_unit(tb->head_ptr() + (static_cast<u32>(h) << series::shift_of(tb)), tb->unit());
    }
    if (n > end - pos) return false;
    SeriesBuffer* ib = series::buffer_of(input());
    const u32 unit = ib->unit();
    i32 needles[4];
    int count;
    if (case_) {
      const i32 widest = unit == 1 ? 0xFF : unit == 2 ? 0xFFFF : INT_MAX;
      if (first < 0 || first > widest) return false;
      needles[0] = first;
      count = 1;
    } else {
      count = fold_needles(first, unit, needles);
      if (count == 0) return false;
    }
    if (count <= 4) {
      for (i32 p = pos; p <= end - n;) {
        const i32 hit = string::search::forward_any(series::buffer_of(input())->head_ptr(), p, end - n + 1, unit,
                                                     needles, count);
        if (hit < 0) return false;
        const i32 r = n == 1 ? hit + 1 : match_text(v, hit, end);
        if (r >= 0) {
          *at = hit;
          *after = r;
          return true;
        }
        p = hit + 1;
      }
      return false;
    }
  }
  if (kind_ == k_binary && t == type::binary) {
    SeriesBuffer* bb = series::buffer_of(&v);
    const i32 btotal = static_cast<i32>(bb->tail - bb->head);
    const i32 n = btotal - clamp_index(series::head_index(&v), btotal);
    if (n > 0) {
      const u8 first = bb->head_ptr<u8>()[btotal - n];
      for (i32 p = pos; p <= end - n;) {
        const u8* base = series::buffer_of(input())->head_ptr<u8>();
        const void* hit = std::memchr(base + p, first, static_cast<size_t>(end - n + 1 - p));
        if (!hit) return false;
        const i32 h = static_cast<i32>(static_cast<const u8*>(hit) - base);
        const i32 r = match_binary(v, h, end);
        if (r >= 0) {
          *at = h;
          *after = r;
          return true;
        }
        p = h + 1;
      }
      return false;
    }
  }
  for (i32 p = pos; p <= end; ++p) {
    const i32 r = match_value(v, leaf.named, p, end, false);
    if (r >= 0) {
      *at = p;
      *after = r;
      return true;
    }
  }
  return false;
}

// Runs the rule at `at` at once when it needs no stack: a literal, a bitset, skip, end, none, to or
// thru over end or one of those, or a repetition (any, some, opt, counts) of one of those. The rule
// position after it goes to *next, the input position it matched to to *end_pos (-1: no match).
// Answers false, having done nothing, for any other rule (and for a malformed one, which the
// general path then reports), and always while a callback watches.
bool Engine::quick_rule(i32 at, i32* next, i32* end_pos) {
  if (callback_) return false;
  const i32 len = rules_len();
  if (at >= len) return false;
  const Cell v = rule_at(at);
  i32 min = 1, max = 1, sub = at;
  if (v.type() == type::word) {
    switch (keyword_of(&v)) {
      case kw_end:
        *next = at + 1;
        *end_pos = ip_ >= iend() ? ip_ : -1;
        return true;
      case kw_none:
        *next = at + 1;
        *end_pos = ip_;
        return true;
      case kw_to: case kw_thru: {
        if (at + 1 >= len) return false;
        if (is_keyword(rule_at(at + 1), kw_end)) {
          *next = at + 2;
          *end_pos = iend();
          return true;
        }
        Leaf leaf;
        RootCell keep_value(leaf.value), keep_named(leaf.named);
        if (!leaf_at(at + 1, leaf)) return false;
        i32 a = 0, b = 0;
        const bool found = find_leaf(leaf, ip_, iend(), &a, &b);
        *next = leaf.next;
        *end_pos = !found ? -1 : is_keyword(v, kw_to) ? a : b;
        return true;
      }
      case kw_any: min = 0; max = INT_MAX; sub = at + 1; break;
      case kw_some: min = 1; max = INT_MAX; sub = at + 1; break;
      case kw_opt: min = 0; max = 1; sub = at + 1; break;
      case kw_skip: break;
      case kw_none_: case kw_pick: case kw_only: case kw_after:
        if (integer_value(v, &min)) {
          max = min;
          sub = at + 1;
          if (sub < len && integer_value(rule_at(sub), &max)) ++sub;
        }
        break;
      default:
        return false;
    }
  } else if (v.type() == type::integer) {
    min = max = v.as_int();
    sub = at + 1;
    if (sub < len && integer_value(rule_at(sub), &max)) ++sub;
  }
  if (min < 0 || max < min || max == 0) return false;
  Leaf leaf;
  RootCell keep_value(leaf.value), keep_named(leaf.named);
  if (!leaf_at(sub, leaf)) return false;
  i32 count = 0;
  const i32 pos = span_leaf(leaf, ip_, iend(), max, &count);
  *next = leaf.next;
  *end_pos = count >= min ? pos : -1;
  return true;
}

void Engine::spend() {
  if (step_budget < 0) return;
  if (step_budget == 0) {
    Cell what;
    word::load_at("parse", &what);
    raise_error(ErrorCategory::internal, "limit-hit", what);
  }
  --step_budget;
}

// The rule position after the one rule that starts at i (without running it): for a repetition
// whose maximum is 0, and for `into` at the tail.
i32 Engine::skip_rule(i32 i) const {
  const i32 len = rules_len();
  i32 extra = 0;  // values that follow the rule (the value of `change`)
  for (;;) {
    if (i >= len) return len;
    const Cell c = rule_at(i);
    i32 bound;
    if (c.type() == type::integer) {
      ++i;
      if (i < len && integer_value(rule_at(i), &bound)) ++i;
      continue;
    }
    if (c.type() != type::word) return std::min(i + 1 + extra, len);
    switch (keyword_of(&c)) {
      case kw_any: case kw_some: case kw_opt: case kw_while: case kw_ahead: case kw_not: case kw_into:
      case kw_to: case kw_thru: case kw_remove:
        ++i;
        continue;
      case kw_copy: case kw_set: case kw_case:
        i += 2;
        continue;
      case kw_keep:
        ++i;
        if (i < len && is_keyword(rule_at(i), kw_pick)) ++i;
        continue;
      case kw_insert:
        ++i;
        if (i < len && is_keyword(rule_at(i), kw_only)) ++i;
        return std::min(i + 1 + extra, len);
      case kw_change:
        ++i;
        if (i < len && is_keyword(rule_at(i), kw_only)) ++i;
        ++extra;
        continue;
      case kw_if: case kw_quote:
        return std::min(i + 2 + extra, len);
      case kw_collect: {
        ++i;
        if (i < len) {
          const Cell n = rule_at(i);
          if (is_keyword(n, kw_set) || is_keyword(n, kw_into) || is_keyword(n, kw_after)) i += 2;
        }
        continue;
      }
      default:
        if (integer_value(c, &bound)) {
          ++i;
          if (i < len && integer_value(rule_at(i), &bound)) ++i;
          continue;
        }
        return std::min(i + 1 + extra, len);
    }
  }
}

// ---- states ----

State Engine::fetch() {
  spend();
  if (rp_ >= rules_len()) {
    // A command still waiting here lost its rule (an action shortened the block): it fails.
    if (top().code != c_block) {
      match_ = false;
      return State::after;
    }
    match_ = true;
    return State::block_end;
  }
  KIV_FIRE(static_words::wid::fetch);
  if (rp_ >= rules_len()) return State::fetch;  // the callback shortened the rules
  const Cell v = rule_at(rp_++);
  return dispatch(v, v, false);
}

State Engine::after() {
  if (top().code != c_block) return command_end();
  return match_ ? State::fetch : State::alternative;
}

State Engine::alternative() {
  const i32 len = rules_len();
  const Cell* cells = series::buffer_of(&rules_)->head_ptr<Cell>();
  for (i32 i = rp_; i < len; ++i) {
    const Cell* c = cells + i;
    if (c->type() != type::word) continue;
    const Keyword k = keyword_of(c);
    if (k == kw_quote) {
      ++i;
      continue;
    }
    if (k != kw_bar) continue;
    if (i + 1 >= len) end_of_rule(*c);
    rp_ = i + 1;
    ip_ = top().input_pos;
    return State::fetch;
  }
  match_ = false;
  return State::block_end;
}

State Engine::block_end() {
  Entry& e = top();
  if (!match_) ip_ = e.input_pos;
  const bool bottom = entry_top - 1 == base_;
  if (!bottom) {
    rules_ = e.rules;
    rp_ = e.rule_pos;
  }
  pop();
  KIV_FIRE(static_words::wid::pop);
  return bottom ? State::end : State::after;
}

State Engine::finish() {
  match_ = match_ && ip_ >= iend();
  if (callback_) {
    const State s = fire(static_words::wid::end);
    if (s == State::exit) return s;
  }
  if (result_.type() == type::block) *out_ = result_;
  else logic::box(out_, match_);
  return State::end;
}

State Engine::enter_block(const Cell& blk_in, const Cell& named) {
  Cell blk = blk_in;
  const i32 h = clamp_index(series::head_index(&blk), unit_total(&blk));
  series::set_head_index(&blk, h);
  const auto depth = static_cast<i32>(input_top);
  for (u32 i = base_; i < entry_top; ++i) {
    const Entry& e = entries[i];
    if (e.code == c_block && e.input_pos == ip_ && e.input_depth == depth && e.aux.w2 == blk.w2 &&
        static_cast<i32>(e.aux.w1) == h) {
      raise_error(ErrorCategory::script, "parse-infinite", named);
    }
  }
  Entry& e = push(c_block);
  e.aux = blk;
  rules_ = blk;
  rp_ = h;
  KIV_FIRE(static_words::wid::push);
  return State::fetch;
}

State Engine::dispatch(const Cell& v, const Cell& named, bool via_word) {
  switch (v.type()) {
    case type::word: {
      if (!via_word) {
        const Keyword k = keyword_of(&v);
        if (k && k != kw_pick && k != kw_only && k != kw_after) return keyword(k, v);
        Cell value;
        if (!word_value(v, &value)) bad_rule(v);
        return dispatch(value, v, true);
      }
      return literal(v, named);
    }
    case type::block:
      return enter_block(v, named);
    case type::paren: {
      if (const Exit e = evaluate(v, nullptr); e != Exit::none) {
        exit_ = e;
        return State::exit;
      }
      match_ = true;
      KIV_FIRE(static_words::wid::paren);
      return State::after;
    }
    case type::set_word: {
      Cell position = *input();
      series::set_head_index(&position, ip_);
      natives::detail::set_word(&v, &position);
      match_ = true;
      return State::after;
    }
    case type::get_word: {
      const Cell value = *word::get_value(&v);
      if (!series::series_type_q(value.type()) || value.w2 != input()->w2) {
        raise_error(ErrorCategory::script, "parse-invalid-ref", v);
      }
      ip_ = clamp_index(series::head_index(&value), itotal());
      match_ = true;
      return State::after;
    }
    case type::integer: {
      const i32 min = v.as_int();
      i32 max = min;
      if (rp_ < rules_len() && integer_value(rule_at(rp_), &max)) ++rp_;
      if (min < 0) raise_error(ErrorCategory::script, "out-of-range", v);
      if (max < min) {
        Cell bad;
        integer::box(&bad, max);
        raise_error(ErrorCategory::script, "out-of-range", bad);
      }
      return repeat(c_repeat, kw_none_, named, min, max);
    }
    case type::none:
      match_ = true;
      return State::after;
    case type::logic:
      match_ = v.w1 == 1;
      return State::after;
    case type::path: case type::set_path: case type::get_path: case type::unset: case type::native:
    case type::action: case type::op: case type::function: case type::routine:
      bad_rule(named);
    default:
      return literal(v, named);
  }
}

State Engine::literal(const Cell& v, const Cell& named) {
  const i32 n = match_value(v, named, ip_, iend(), false);
  match_ = n >= 0;
  if (match_) ip_ = n;
  KIV_FIRE(static_words::wid::match);
  return State::after;
}

State Engine::keyword(Keyword k, const Cell& w) {
  switch (k) {
    case kw_bar:
      if (top().code != c_block) bad_rule(w);
      if (rp_ >= rules_len()) end_of_rule(w);
      match_ = true;  // the alternative that just matched ends its block
      return State::block_end;
    case kw_skip:
      match_ = ip_ < iend();
      if (match_) ++ip_;
      KIV_FIRE(static_words::wid::match);
      return State::after;
    case kw_any: return repeat(c_repeat, k, w, 0, INT_MAX);
    case kw_some: return repeat(c_repeat, k, w, 1, INT_MAX);
    case kw_opt: return repeat(c_repeat, k, w, 0, 1);
    case kw_while: return repeat(c_while, k, w, 0, INT_MAX);
    case kw_copy: case kw_set: return copy_set(k, w);
    case kw_to: case kw_thru: return to_thru(k, w);
    case kw_end:
      match_ = ip_ >= iend();
      KIV_FIRE(static_words::wid::match);
      return State::after;
    case kw_remove: return remove_rule(w);
    case kw_break: return unwind(true);
    case kw_reject: return unwind(false);
    case kw_keep: return keep_rule(w);
    case kw_fail:
      match_ = false;
      return State::after;
    case kw_ahead: return command(c_ahead, k, w);
    case kw_not: return command(c_not, k, w);
    case kw_into: return into_rule(w);
    case kw_insert: return insert_rule(w);
    case kw_change: return change_rule(w);
    case kw_if: return if_rule(w);
    case kw_quote: return quote_rule(w);
    case kw_collect: return collect_rule(w);
    case kw_case: return case_rule(w);
    case kw_none:
      match_ = true;
      return State::after;
    default:
      bad_rule(w);
  }
}

State Engine::command(i32 code, Keyword k, const Cell& w) {
  if (rp_ >= rules_len()) end_of_rule(w);
  push(code, k);
  KIV_FIRE(static_words::wid::push);
  return start_rule();
}

// The rule of a command just pushed: at once when it is a quick one, else through the loop.
State Engine::start_rule() {
  i32 next = 0, end = 0;
  if (!quick_rule(rp_, &next, &end)) return State::fetch;
  rp_ = next;
  match_ = end >= 0;
  if (match_) ip_ = end;
  return command_end();
}

State Engine::repeat(i32 code, Keyword k, const Cell& named, i32 min, i32 max) {
  if (rp_ >= rules_len()) end_of_rule(named);
  if (max == 0) {
    rp_ = skip_rule(rp_);
    match_ = true;
    return State::after;
  }
  if (!callback_) {
    Leaf leaf;
    RootCell keep_value(leaf.value), keep_named(leaf.named);
    if (leaf_at(rp_, leaf)) return repeat_leaf(leaf, min, max);
  }
  Entry& e = push(code, k);
  e.min = min;
  e.max = max;
  e.remaining = iend() - ip_;
  KIV_FIRE(static_words::wid::push);
  KIV_FIRE(static_words::wid::iterate);
  i32 next = 0, end = 0;
  if (!quick_rule(rp_, &next, &end)) return State::fetch;
  rp_ = next;
  match_ = end >= 0;
  if (match_) ip_ = end;
  return repeat_end(e);
}

State Engine::repeat_leaf(const Leaf& leaf, i32 min, i32 max) {
  i32 count = 0;
  const i32 pos = span_leaf(leaf, ip_, iend(), max, &count);
  rp_ = leaf.next;
  match_ = count >= min;
  if (match_) ip_ = pos;
  return State::after;
}

State Engine::repeat_end(Entry& e) {
  // Rounds of a quick rule run here, without going through the loop.
  while (match_) {
    ++e.count;
    const i32 end = iend();
    const bool progress = e.code == c_while || ip_ != e.last || end - ip_ < e.remaining;
    if (e.count >= e.max || !progress) break;
    e.last = ip_;
    e.remaining = end - ip_;
    rp_ = e.rule_pos;
    KIV_FIRE(static_words::wid::iterate);
    i32 next = 0, after = 0;
    if (!quick_rule(rp_, &next, &after)) return State::fetch;
    spend();
    rp_ = next;
    match_ = after >= 0;
    if (match_) ip_ = after;
  }
  if (!match_) ip_ = e.last;
  match_ = e.count >= e.min;
  if (!match_) ip_ = e.input_pos;
  pop();
  KIV_FIRE(static_words::wid::pop);
  return State::after;
}

State Engine::to_thru(Keyword k, const Cell& w) {
  if (rp_ >= rules_len()) end_of_rule(w);
  if (is_keyword(rule_at(rp_), kw_end)) {
    ++rp_;
    ip_ = iend();
    match_ = true;
    KIV_FIRE(static_words::wid::match);
    return State::after;
  }
  if (!callback_) {
    Leaf leaf;
    RootCell keep_value(leaf.value), keep_named(leaf.named);
    if (leaf_at(rp_, leaf)) return to_leaf(leaf, k == kw_thru);
  }
  Entry& e = push(k == kw_to ? c_to : c_thru, k);
  e.count = ip_;
  KIV_FIRE(static_words::wid::push);
  return State::fetch;
}

State Engine::to_leaf(const Leaf& leaf, bool thru) {
  i32 at = 0, after = 0;
  match_ = find_leaf(leaf, ip_, iend(), &at, &after);
  if (match_) ip_ = thru ? after : at;
  rp_ = leaf.next;
  return State::after;
}

State Engine::copy_set(Keyword k, const Cell& w) {
  const i32 len = rules_len();
  if (rp_ >= len) end_of_rule(w);
  const Cell target = rule_at(rp_);
  if (target.type() != type::word) bad_rule(target);
  if (++rp_ >= len) end_of_rule(w);
  Entry& e = push(k == kw_copy ? c_copy : c_set, k);
  e.aux = target;
  KIV_FIRE(static_words::wid::push);
  return start_rule();
}

State Engine::remove_rule(const Cell& w) {
  const Cell n = rule_arg(w);
  if (path_type_q(n.type())) bad_rule(n);
  if (n.type() == type::word && !keyword_of(&n)) {
    Cell value;
    if (word_value(n, &value) && series::series_type_q(value.type()) && value.w2 == input()->w2) {
      // remove word: from the position the word holds to the current one.
      ++rp_;
      const i32 at = clamp_index(series::head_index(&value), itotal());
      const i32 from = std::min(at, ip_), to = std::max(at, ip_);
      remove_range(from, to);
      ip_ = from;
      match_ = true;
      return State::after;
    }
  }
  return command(c_remove, kw_remove, w);
}

State Engine::keep_rule(const Cell& w) {
  if (innermost_collect(entry_top) < 0) raise_error(ErrorCategory::script, "parse-keep");
  bool pick = false;
  if (rp_ < rules_len() && is_keyword(rule_at(rp_), kw_pick)) {
    pick = true;
    ++rp_;
  }
  const Cell n = rule_arg(w);
  if (n.type() == type::paren) {
    ++rp_;
    Cell value{type::unset, 0, 0, 0};
    RootCell keep(value);
    if (const Exit e = evaluate(n, &value); e != Exit::none) {
      exit_ = e;
      return State::exit;
    }
    keep_value(value, pick);
    match_ = true;
    KIV_FIRE(static_words::wid::paren);
    return State::after;
  }
  Entry& e = push(c_keep, kw_keep);
  e.flags = pick;
  KIV_FIRE(static_words::wid::push);
  return start_rule();
}

State Engine::into_rule(const Cell& w) {
  if (rp_ >= rules_len()) end_of_rule(w);
  if (ip_ >= iend()) {
    rp_ = skip_rule(rp_);
    match_ = false;
    return State::after;
  }
  Cell el;
  element(ip_, &el);
  if (!into_type_q(el.type())) raise_error(ErrorCategory::script, "parse-block", el);
  push(c_into, kw_into);
  push_input(el);
  ip_ = clamp_index(series::head_index(&el), itotal());
  KIV_FIRE(static_words::wid::push);
  return State::fetch;
}

bool Engine::take_only(const Cell& w) {
  const bool only = rp_ < rules_len() && is_keyword(rule_at(rp_), kw_only);
  if (only) ++rp_;
  if (rp_ >= rules_len()) end_of_rule(w);
  return only;
}

State Engine::insert_rule(const Cell& w) {
  const bool only = take_only(w);
  const Cell n = rule_at(rp_++);
  Cell value{type::unset, 0, 0, 0};
  RootCell keep(value);
  if (const State s = resolve_value(n, &value); s != State::go) return s;
  ip_ = insert_at(ip_, value, only);
  match_ = true;
  return State::after;
}

State Engine::change_rule(const Cell& w) {
  const bool only = take_only(w);
  Entry& e = push(c_change, kw_change);
  e.flags = only;
  KIV_FIRE(static_words::wid::push);
  return start_rule();
}

State Engine::if_rule(const Cell& w) {
  const Cell n = rule_arg(w);
  if (n.type() != type::paren) bad_rule(n);
  ++rp_;
  Cell value{type::unset, 0, 0, 0};
  RootCell keep(value);
  if (const Exit e = evaluate(n, &value); e != Exit::none) {
    exit_ = e;
    return State::exit;
  }
  match_ = natives::detail::truth(&value);
  KIV_FIRE(static_words::wid::paren);
  return State::after;
}

State Engine::quote_rule(const Cell& w) {
  const Cell n = rule_arg(w);
  ++rp_;
  const i32 r = match_value(n, n, ip_, iend(), true);
  match_ = r >= 0;
  if (match_) ip_ = r;
  KIV_FIRE(static_words::wid::match);
  return State::after;
}

State Engine::collect_rule(const Cell& w) {
  i32 mode = collect_plain;
  Cell target_word = none::value;
  if (rp_ < rules_len()) {
    const Cell n = rule_at(rp_);
    if (n.type() == type::word) {
      const Keyword k = keyword_of(&n);
      mode = k == kw_set ? collect_set : k == kw_into ? collect_into : k == kw_after ? collect_after : collect_plain;
    }
    if (mode != collect_plain) {
      if (++rp_ >= rules_len()) end_of_rule(w);
      target_word = rule_at(rp_);
      if (target_word.type() != type::word) bad_rule(target_word);
      ++rp_;
      if (mode != collect_set) {
        Cell target = none::value;
        word_value(target_word, &target);
        check_target(target);
      }
    }
  }
  if (rp_ >= rules_len()) end_of_rule(w);
  Entry& e = push(c_collect, kw_collect);
  e.flags = mode;
  e.aux2 = target_word;
  block::make_at(&e.aux, 8);
  KIV_FIRE(static_words::wid::push);
  return State::fetch;
}

State Engine::case_rule(const Cell& w) {
  const Cell n = rule_arg(w);
  if (n.type() != type::word) bad_rule(n);
  const Cell value = *word::get_value(&n);
  if (++rp_ >= rules_len()) end_of_rule(w);
  Entry& e = push(c_case, kw_case);
  e.flags = case_;
  case_ = natives::detail::truth(&value);
  KIV_FIRE(static_words::wid::push);
  return State::fetch;
}

State Engine::command_end() {
  Entry& e = top();
  switch (e.code) {
    case c_repeat: case c_while:
      return repeat_end(e);
    case c_to: case c_thru:
      if (match_) {
        if (e.code == c_to) ip_ = e.count;
        break;
      }
      if (e.count >= iend()) {
        ip_ = e.input_pos;
        break;
      }
      ip_ = ++e.count;
      rp_ = e.rule_pos;
      return State::fetch;
    case c_copy:
      if (match_) {
        Cell copied = none::value;
        RootCell keep(copied);
        copy_range(e.input_pos, ip_, &copied);
        natives::detail::set_word(&e.aux, &copied);
      }
      break;
    case c_set:
      if (match_) {
        Cell first = none::value;
        if (ip_ > e.input_pos && e.input_pos < itotal()) element(e.input_pos, &first);
        RootCell keep(first);
        natives::detail::set_word(&e.aux, &first);
      }
      break;
    case c_not:
      ip_ = e.input_pos;
      match_ = !match_;
      break;
    case c_ahead:
      ip_ = e.input_pos;
      break;
    case c_into: {
      const bool ok = match_ && ip_ >= iend();
      pop_input();
      ip_ = e.input_pos + (ok ? 1 : 0);
      match_ = ok;
      break;
    }
    case c_remove:
      if (match_) {
        remove_range(e.input_pos, ip_);
        ip_ = e.input_pos;
      }
      break;
    case c_change: {
      if (rp_ >= rules_len()) end_of_rule(keyword_word(kw_change));
      const Cell n = rule_at(rp_++);
      if (match_) {
        Cell value{type::unset, 0, 0, 0};
        RootCell keep(value);
        if (const State s = resolve_value(n, &value); s != State::go) return s;
        ip_ = change_range(e.input_pos, ip_, value, e.flags != 0);
      }
      break;
    }
    case c_collect:
      finalize_collect(e, match_);
      break;
    case c_keep:
      if (match_) keep_range(e.input_pos, ip_, e.flags != 0);
      break;
    case c_case:
      case_ = e.flags != 0;
      break;
    default:
      sys::quit(sys::Fatal::no_switch);
  }
  if (!match_ && e.code != c_not && e.code != c_into) ip_ = e.input_pos;
  pop();
  KIV_FIRE(static_words::wid::pop);
  return State::after;
}

// break and reject: the entries above the nearest repetition are abandoned; without one, those
// above the current block, which then succeeds (break) or fails like `fail` (reject).
State Engine::unwind(bool brk) {
  i32 target = -1, block = -1;
  for (u32 i = entry_top; i > base_; --i) {
    const i32 c = entries[i - 1].code;
    if (c == c_repeat || c == c_while) {
      target = static_cast<i32>(i - 1);
      break;
    }
    if (c == c_block && block < 0) block = static_cast<i32>(i - 1);
  }
  const i32 stop_at = target >= 0 ? target : block;
  while (static_cast<i32>(entry_top) - 1 > stop_at) {
    abandon(top(), brk);
    pop();
    KIV_FIRE(static_words::wid::pop);
  }
  if (target < 0) {
    match_ = brk;
    return brk ? State::block_end : State::alternative;
  }
  Entry& r = top();
  match_ = brk;
  if (!brk) ip_ = r.input_pos;
  pop();
  KIV_FIRE(static_words::wid::pop);
  return State::after;
}

void Engine::abandon(Entry& e, bool brk) {
  switch (e.code) {
    case c_block:
      rules_ = e.rules;
      rp_ = e.rule_pos;
      break;
    case c_into:
      pop_input();
      ip_ = e.input_pos + (brk ? 1 : 0);
      break;
    case c_collect:
      finalize_collect(e, brk);
      break;
    case c_case:
      case_ = e.flags != 0;
      break;
    default:
      break;
  }
}

// ---- actions and results ----

Exit Engine::evaluate(const Cell& paren, Cell* out) {
  Cell* const saved = stack::top;
  const Cell p = paren;
  const Exit e = interpreter::eval_block(&p, false);
  if (e == Exit::none && out) *out = *saved;
  stack::top = saved;
  return e;
}

// The value of insert and change: a paren's result, a word's value, or the value itself.
State Engine::resolve_value(const Cell& n, Cell* out) {
  switch (n.type()) {
    case type::paren:
      if (const Exit e = evaluate(n, out); e != Exit::none) {
        exit_ = e;
        return State::exit;
      }
      return State::go;
    case type::word:
      *out = *word::get_value(&n);
      if (out->type() == type::unset) raise_error(ErrorCategory::script, "no-value", n);
      return State::go;
    case type::path: case type::set_path: case type::get_path:
      bad_rule(n);
    default:
      *out = n;
      return State::go;
  }
}

void Engine::keep_range(i32 from, i32 to, bool pick) {
  const i32 ci = innermost_collect(entry_top - 1);
  if (ci < 0) raise_error(ErrorCategory::script, "parse-keep");
  const i32 total = itotal();
  from = clamp_index(from, total);
  to = std::max(clamp_index(to, total), from);
  Cell* const saved = stack::top;
  Cell* v = stack::push_cell();
  if (to - from == 1 || pick) {
    for (i32 i = from; i < to && i < itotal(); ++i) {
      element(i, v);
      block::append_value(&entries[ci].aux, v);
    }
  } else {
    copy_range(from, to, v);
    block::append_value(&entries[ci].aux, v);
  }
  stack::top = saved;
}

void Engine::keep_value(const Cell& value, bool pick) {
  const i32 ci = innermost_collect(entry_top);
  if (ci < 0) raise_error(ErrorCategory::script, "parse-keep");
  Cell* const saved = stack::top;
  Cell* held = stack::push_value(&value);
  if (pick && block::any_block_q(held->type())) {
    Cell* v = stack::push_cell();
    const i32 head = std::max(series::head_index(held), 0);
    for (i32 i = head; i < unit_total(held); ++i) {
      *v = *block::cell_at(held, i);
      block::append_value(&entries[ci].aux, v);
    }
  } else {
    block::append_value(&entries[ci].aux, held);
  }
  stack::top = saved;
}

// collect into/after: the target must be a series other than the input, of a type that can take
// what this input gives.
void Engine::check_target(const Cell& target) const {
  const u32 t = target.type();
  if (!series::series_type_q(t)) raise_error(ErrorCategory::script, "parse-into-bad");
  for (u32 i = input_base_; i < input_top; ++i) {
    if (inputs[i].w2 == target.w2) raise_error(ErrorCategory::script, "parse-into-bad");
  }
  if (block::any_block_q(t)) return;
  if (series::any_string_q(t) && kind_ != k_block) return;
  if (t == type::binary && kind_ == k_binary) return;
  raise_error(ErrorCategory::script, "parse-into-type");
}

// The end of a collect: its collection goes where the collect says when its rule matched. A
// top-level collect without a target is the result of parse whether it matched or not.
void Engine::finalize_collect(Entry& e, bool matched) {
  const i32 outer = innermost_collect(static_cast<u32>(&e - entries));
  if (e.flags == collect_plain && outer < 0) {
    result_ = e.aux;
    return;
  }
  if (!matched) return;
  switch (e.flags) {
    case collect_plain:
      block::append_value(&entries[outer].aux, &e.aux);
      break;
    case collect_set:
      natives::detail::set_word(&e.aux2, &e.aux);
      break;
    default: {
      Cell* const saved = stack::top;
      Cell* target = stack::push_cell();
      word_value(e.aux2, target);
      check_target(*target);
      Cell* v = stack::push_cell();
      const i32 n = unit_total(&e.aux);
      for (i32 i = 0; i < n; ++i) {
        *v = *block::cell_at(&e.aux, i);
        actions::get<action::slot::insert>(target)(target, v, -1, true, 1, false);
      }
      // after: the word moves past what was inserted; into: it keeps its position.
      if (e.flags == collect_after) natives::detail::set_word(&e.aux2, target);
      stack::top = saved;
      break;
    }
  }
}

// ---- events ----

// The callback's view of the rule stack: per entry the input index, the rule block at the entry's
// position and the keyword (none for a block), then for a repetition its bounds and count. One
// block per run, refilled for each event; what the callback does to it does not reach the engine.
void Engine::snapshot(Cell* out) {
  if (view_.type() != type::block) block::make_at(&view_, std::max(cells_, 8));
  view_.w1 = 0;
  block::set_tail(&view_, 0);
  *out = view_;
  Cell* v = stack::push_cell();
  for (u32 i = base_; i < entry_top; ++i) {
    integer::box(v, entries[i].input_pos + 1);
    block::append_value(out, v);
    const Entry& e = entries[i];
    if (e.code == c_block) {
      *v = e.aux;
    } else {
      *v = e.rules;
      series::set_head_index(v, e.rule_pos);
    }
    block::append_value(out, v);
    // make_at keeps the header bits it finds: the rule block's new-line mark must not come along.
    *v = none::value;
    if (entries[i].keyword) word::make_at(keyword_symbols[entries[i].keyword], v);
    block::append_value(out, v);
    if (entries[i].code == c_repeat || entries[i].code == c_while) {
      integer::box(v, entries[i].min);
      block::append_value(out, v);
      if (entries[i].max == INT_MAX) *v = none::value;
      else integer::box(v, entries[i].max);
      block::append_value(out, v);
      integer::box(v, entries[i].count);
      block::append_value(out, v);
    }
  }
  stack::top = v;
}

State Engine::fire(u32 event_word) {
  Cell* const saved = stack::top;
  Cell* args = stack::push_cell();
  for (int i = 1; i < 5; ++i) stack::push_cell();
  args[0] = *static_words::word(event_word);
  logic::box(&args[1], match_);
  args[2] = rules_;
  series::set_head_index(&args[2], rp_);
  args[3] = *input();
  series::set_head_index(&args[3], ip_);
  snapshot(&args[4]);
  Cell* name = stack::push_value(static_words::word(static_words::wid::parse_callback));
  Cell* out = stack::push_cell();
  const Exit e = interpreter::call_function(callback_, std::span<const Cell>(args, 5), out, name, Ref<Node>{}, 2);
  const bool go_on = e == Exit::none && natives::detail::truth(out);
  stack::top = saved;
  if (e != Exit::none) {
    exit_ = e;
    return State::exit;
  }
  return go_on ? State::go : State::stop;
}

// ---- the loop ----

Exit Engine::run(const Request& r) {
  build_keywords();
  push_input(*r.input);
  ip_ = clamp_index(series::head_index(input()), itotal());
  rules_ = *r.rules;
  State s = enter_block(rules_, rules_);
  for (;;) {
    switch (s) {
      case State::fetch: s = fetch(); break;
      case State::after: s = after(); break;
      case State::alternative: s = alternative(); break;
      case State::block_end: s = block_end(); break;
      case State::end:
        if (finish() == State::exit) return exit_;
        return Exit::none;
      case State::stop:
        logic::box(out_, match_);
        return Exit::none;
      case State::exit:
        return exit_;
      case State::go:
        s = State::fetch;
        break;
    }
  }
}

#undef KIV_FIRE

}  // namespace

void init() {
  if (entries) return;
  entries = static_cast<Entry*>(std::malloc(sizeof(Entry) * entry_capacity));
  inputs = static_cast<Cell*>(std::malloc(sizeof(Cell) * input_capacity));
  if (!entries || !inputs) raise_error(ErrorCategory::internal, "no-memory");
  collector::add_root_callback(mark_stacks);
}

Exit run(const Request& request, Cell* out) {
  init();
  Engine engine(request, out);
  return engine.run(request);
}

u32 rule_stack_depth() { return entry_top; }
u32 input_stack_depth() { return input_top; }

}  // namespace kiv::parse

namespace kiv::natives {

using namespace detail;

Exit parse(bool check, i32 case_, i32 part, i32 trace) {
  if (check) {
    check_args({any_block | any_string | bit(type::binary), bit(type::block)});
    check_arg_at(part, number | series);
    check_arg_at(trace, bit(type::function));
  }
  Cell* a = stack::arguments;
  const i32 total = series::total_length(a);
  const i32 head = std::clamp(series::head_index(a), 0, total);
  i32 limit = -1;
  if (part >= 0) {
    const Cell* p = a + part;
    i64 n;
    if (p->type() == type::integer) n = p->as_int();
    else if (p->type() == a->type() && p->w2 == a->w2) n = i64{series::head_index(p)} - head;
    else actions::raise_invalid_refine_arg("part", p);
    if (n < 1) {
      Cell flag;
      logic::box(&flag, head >= total);
      return result(flag);
    }
    limit = static_cast<i32>(std::min<i64>(i64{head} + n, INT_MAX));
  }
  const parse::Request request{a, a + 1, case_ >= 0, limit, trace >= 0 ? a + trace : nullptr};
  Cell* out = stack::push_cell();
  const Exit e = parse::run(request, out);
  if (e != Exit::none) return e;
  *a = *out;
  return Exit::none;
}

}  // namespace kiv::natives
