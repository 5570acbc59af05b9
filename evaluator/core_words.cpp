// The core vocabulary made from C++ until the boot data defines it: the datatype words, the core
// typesets, the action and native words (values made from their table slots with their interface
// specs) and the operators.
#include <initializer_list>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/op.h"
#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "lexer/lexer.h"
#include "runtime/roots.h"
#include "runtime/stack.h"

namespace kiv::natives {

namespace {

struct Definition {
  const char* word;
  i32 slot;
  const char* spec;
};

// Interface specs: argument words with their type blocks and the refinements, in the order the
// procedures take them.
constexpr Definition action_definitions[] = {
    {"make", 1, "type [any-type!] spec [any-type!]"},
    {"random", 2, "value /seed /secure /only"},
    {"reflect", 3, "value [any-type!] field [word!]"},
    {"to", 4, "type [any-type!] spec [any-type!]"},
    {"form", 5, "value [any-type!] /part limit [integer!]"},
    {"mold", 6, "value [any-type!] /only /all /flat /part limit [integer!]"},
    {"absolute", 10, "value [number! char! pair! money! time! point2D! point3D!]"},
    {"add", 11, "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"divide", 12, "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"multiply", 13, "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"negate", 14, "number [number! bitset! pair! money! time! point2D! point3D!]"},
    {"power", 15, "number [number!] exponent [integer! float!]"},
    {"remainder", 16, "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"round", 17,
     "n [number! money! time! pair! point2D! point3D!] /to scale [number! money! time! pair! point2D! point3D!] "
     "/even /down "
     "/half-down /floor /ceiling /half-ceiling"},
    {"subtract", 18, "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"even?", 19, "number [number! char! time! money!]"},
    {"odd?", 20, "number [number! char! time! money!]"},
    {"and~", 21,
     "value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] "
     "value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]"},
    {"complement", 22, "value [logic! integer! bitset! typeset! binary! tuple!]"},
    {"or~", 23,
     "value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] "
     "value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]"},
    {"xor~", 24,
     "value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] "
     "value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]"},
    {"append", 25,
     "series [series! port! bitset!] value [any-type!] /part length [number! series!] /only /dup count [integer!]"},
    {"at", 26, "series [series! port!] index [integer! pair!]"},
    {"back", 27, "series [series! port!]"},
    {"change", 28,
     "series [series! port!] value [any-type!] /part range [number! series!] /only /dup count [integer!]"},
    {"clear", 29, "series [series! port! bitset! map! none!]"},
    {"copy", 30,
     "value [series! any-object! bitset! map!] /part length [number! series! pair!] /deep /types kind "
     "[datatype! typeset!]"},
    {"find", 31,
     "series [series! bitset! typeset! any-object! map! none!] value [any-type!] /part length [number! series!] "
     "/only /case /same /any /with wild [string!] /skip size [integer!] /last /reverse /tail /match"},
    {"head", 32, "series [series! port!]"},
    {"head?", 33, "series [series! port!]"},
    {"index?", 34, "series [series! port! any-word!]"},
    {"insert", 35,
     "series [series! port! bitset!] value [any-type!] /part length [number! series!] /only /dup count [integer!]"},
    {"length?", 36, "series [series! port! bitset! map! tuple! none!]"},
    {"move", 37, "origin [series! port!] target [series! port!] /part length [integer!]"},
    {"next", 38, "series [series! port!]"},
    {"pick", 39,
     "series [series! port! bitset! pair! tuple! money! date! time! point2D! point3D!] index [scalar! any-string! "
     "any-word! block! logic! time!]"},
    {"poke", 40,
     "series [series! port! bitset!] index [scalar! any-string! any-word! block! logic!] value [any-type!]"},
    {"put", 41,
     "series [series! port! map! object!] key [scalar! any-string! any-word! binary!] value [any-type!] /case"},
    {"remove", 42,
     "series [series! port! bitset! map! none!] /part length [number! char! series!] /key key-arg [scalar! "
     "any-string! any-word! binary! block!]"},
    {"reverse", 43, "series [series! port! pair! tuple! point2D! point3D!] /part length [number! series!] /skip size [integer!]"},
    {"select", 44,
     "series [series! any-object! map! none!] value [any-type!] /part length [number! series!] /only /case /same "
     "/any /with wild [string!] /skip size [integer!] /last /reverse"},
    {"sort", 45,
     "series [series! port!] /case /skip size [integer!] /compare comparator [integer! any-function!] /part length "
     "[number! series!] /all /reverse /stable"},
    {"skip", 46, "series [series! port!] offset [integer! pair!]"},
    {"swap", 47, "series1 [series! port!] series2 [series! port!]"},
    {"tail", 48, "series [series! port!]"},
    {"tail?", 49, "series [series! port!]"},
    {"take", 50, "series [series! port! none!] /part length [number! series!] /deep /last"},
    {"trim", 51, "series [series! port!] /head /tail /auto /lines /all /with str [char! string! binary! integer!]"},
    {"create", 52, "port [port! file! url! block!]"},
    {"close", 53, "port [port!]"},
    {"delete", 54, "port [port! file! url!]"},
    {"modify", 55, "target [object! series! port!] field [word!] value [any-type!] /case"},
    {"open", 56, "port [port! file! url! block!] /new /read /write /seek /allow access [block!]"},
    {"open?", 57, "port [port!]"},
    {"query", 58, "target [port! file! url!]"},
    {"read", 59,
     "source [port! file! url!] /part length [number!] /seek index [number!] /binary /lines /info /as encoding "
     "[word!]"},
    {"rename", 60, "from [port! file! url!] to [port! file! url!]"},
    {"update", 61, "port [port!]"},
    {"write", 62,
     "destination [port! file! url!] data [any-type!] /binary /lines /info /append /part length [number!] /seek "
     "index [number!] /allow access [block!] /as encoding [word!]"},
};

constexpr Definition native_definitions[] = {
    {"if", 1, "cond [any-type!] then-blk [block!]"},
    {"unless", 2, "cond [any-type!] then-blk [block!]"},
    {"either", 3, "cond [any-type!] true-blk [block!] false-blk [block!]"},
    {"any", 4, "conds [block!]"},
    {"all", 5, "conds [block!]"},
    {"while", 6, "cond [block!] body [block!]"},
    {"until", 7, "body [block!]"},
    {"loop", 8, "count [integer! float!] body [block!]"},
    {"repeat", 9, "'word [word!] value [integer! float!] body [block!]"},
    {"forever", 10, "body [block!]"},
    {"foreach", 11, "'word [word! block!] series [series! map!] body [block!]"},
    {"forall", 12, "'word [word!] body [block!]"},
    {"remove-each", 13, "'word [word! block!] data [series!] body [block!]"},
    {"func", 14, "spec [block!] body [block!]"},
    {"function", 15, "spec [block!] body [block!] /extern"},
    {"does", 16, "body [block!]"},
    {"has", 17, "vars [block!] body [block!]"},
    {"switch", 18, "value [any-type!] cases [block!] /default case [block!]"},
    {"case", 19, "cases [block!] /all"},
    {"do", 20, "value [any-type!] /expand /args arg /next position [word!] /trace callback [function!]"},
    {"get", 21, "word [any-word! any-path! object!] /any /case"},
    {"set", 22, "word [any-word! block! object! any-path!] value [any-type!] /any /case /only /some"},
    {"print", 23, "value [any-type!]"},
    {"prin", 24, "value [any-type!]"},
    {"equal?", 25, "value1 [any-type!] value2 [any-type!]"},
    {"not-equal?", 26, "value1 [any-type!] value2 [any-type!]"},
    {"strict-equal?", 27, "value1 [any-type!] value2 [any-type!]"},
    {"lesser?", 28, "value1 [any-type!] value2 [any-type!]"},
    {"greater?", 29, "value1 [any-type!] value2 [any-type!]"},
    {"lesser-or-equal?", 30, "value1 [any-type!] value2 [any-type!]"},
    {"greater-or-equal?", 31, "value1 [any-type!] value2 [any-type!]"},
    {"same?", 32, "value1 [any-type!] value2 [any-type!]"},
    {"not", 33, "value [any-type!]"},
    {"type?", 34, "value [any-type!] /word"},
    {"reduce", 35, "value [any-type!] /into out [any-block!]"},
    {"compose", 36, "value [block!] /deep /only /into out [any-block!]"},
    {"stats", 37, "/show /info"},
    {"bind", 38, "word [block! any-word!] context [any-word! any-object! function!] /copy"},
    {"in", 39, "object [any-object! any-function!] word [any-word! refinement!]"},
    {"parse", 40,
     "input [binary! any-block! any-string!] rules [block!] /case /part length [number! series!] /trace callback "
     "[function!]"},
    {"union", 41,
     "set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset! datatype!] /case "
     "/skip size [integer!]"},
    {"intersect", 42,
     "set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset! datatype!] /case "
     "/skip size [integer!]"},
    {"unique", 43, "set [block! hash! string! bitset! typeset!] /case /skip size [integer!]"},
    {"difference", 44,
     "set1 [block! hash! string! bitset! typeset! date!] set2 [block! hash! string! bitset! typeset! date! datatype!] "
     "/case /skip size [integer!]"},
    {"exclude", 45,
     "set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset! datatype!] /case "
     "/skip size [integer!]"},
    {"complement?", 46, "bits [bitset!]"},
    {"dehex", 47, "value [any-string!]"},
    {"enhex", 48, "value [any-string!]"},
    {"negative?", 49, "number [number! money! time!]"},
    {"positive?", 50, "number [number! money! time!]"},
    {"max", 51, "value1 [scalar! series!] value2 [scalar! series!]"},
    {"min", 52, "value1 [scalar! series!] value2 [scalar! series!]"},
    {"shift", 53, "data [integer!] bits [integer!] /left /logical"},
    {"to-hex", 54, "value [integer!] /size length [integer!]"},
    {"sine", 55, "angle [float! integer!] /radians"},
    {"cosine", 56, "angle [float! integer!] /radians"},
    {"tangent", 57, "angle [float! integer!] /radians"},
    {"arcsine", 58, "value [float! integer!] /radians"},
    {"arccosine", 59, "value [float! integer!] /radians"},
    {"arctangent", 60, "value [float! integer!] /radians"},
    {"arctangent2", 61, "y [float! integer!] x [float! integer!] /radians"},
    {"NaN?", 62, "value [number!]"},
    {"log-2", 63, "value [float! integer! percent!]"},
    {"log-10", 64, "value [float! integer! percent!]"},
    {"log-e", 65, "value [float! integer! percent!]"},
    {"exp", 66, "value [float! integer! percent!]"},
    {"square-root", 67, "value [float! integer! percent!]"},
    {"construct", 68, "block [block!] /with object [object!] /only"},
    {"value?", 69, "value [any-type!]"},
    {"try", 70, "block [block!] /all /keep"},
    {"uppercase", 71, "string [any-string! char!] /part limit [number! any-string!]"},
    {"lowercase", 72, "string [any-string! char!] /part limit [number! any-string!]"},
    {"as-pair", 73, "x [integer! float!] y [integer! float!]"},
    {"as-point2D", 74, "x [integer! float!] y [integer! float!]"},
    {"as-point3D", 75, "x [integer! float!] y [integer! float!] z [integer! float!]"},
    {"as-money", 76, "currency [word!] amount [integer! float!]"},
    {"break", 77, "/return value [any-type!]"},
    {"continue", 78, ""},
    {"exit", 79, ""},
    {"return", 80, "value [any-type!]"},
    {"throw", 81, "value [any-type!] /name word [word!]"},
    {"catch", 82, "block [block!] /name word [word! block!]"},
    {"extend", 83, "obj [object! map!] spec [block! hash! map!] /case"},
    {"debase", 84, "value [string!] /base base-value [integer!]"},
    {"to-local-file", 85, "path [file! string!] /full"},
    {"wait", 86, "value [number! time! block! none!] /all"},
    {"checksum", 87, "data [binary! string! file!] method [word!] /with spec [any-string! binary! integer!]"},
    {"unset", 88, "word [word! block!]"},
    {"new-line", 89, "position [any-list!] value [logic!] /all /skip size [integer!]"},
    {"new-line?", 90, "position [any-list!]"},
    {"enbase", 91, "value [binary! string!] /base base-value [integer!]"},
    {"context?", 92, "word [any-word!]"},
    {"set-env", 93, "var [any-string! any-word!] value [string! none!]"},
    {"get-env", 94, "var [any-string! any-word!]"},
    {"list-env", 95, ""},
    {"now", 96, "/year /month /day /time /zone /date /weekday /yearday /precise /utc"},
    {"sign?", 97, "number [number! money! time!]"},
    {"as", 98, "type [datatype! block! paren! any-path! any-string!] spec [block! paren! any-path! any-string!]"},
    {"call", 99,
     "cmd [string! file!] /wait /show /console /shell /input in [string! file! binary!] /output out [string! file! "
     "binary!] /error err [string! file! binary!]"},
    {"zero?", 100, "value [number! money! pair! time! char! tuple! any-point!]"},
    {"size?", 101, "file [file!]"},
    {"browse", 102, "url [url! file!]"},
    {"compress", 103, "data [any-string! binary!] method [word!]"},
    {"decompress", 104, "data [binary!] method [word!] /size sz [integer!]"},
    {"recycle", 105, "/on /off"},
    {"transcode", 106,
     "src [binary! string!] /next /one /prescan /scan /part length [integer! string! binary!] /into dst [block!] "
     "/trace callback [function! routine!]"},
    {"apply", 107, "func [word! path! any-function!] args [block!] /all /safer"},
};

struct OperatorDefinition {
  const char* word;
  const char* of;
};
constexpr OperatorDefinition operator_definitions[] = {
    {"+", "add"},       {"-", "subtract"},    {"*", "multiply"},       {"/", "divide"},       {"//", "remainder"},
    {"**", "power"},    {"=", "equal?"},      {"<>", "not-equal?"},    {"==", "strict-equal?"},
    {"<", "lesser?"},   {">", "greater?"},    {"<=", "lesser-or-equal?"}, {">=", "greater-or-equal?"},
    {"=?", "same?"},    {"and", "and~"},      {"or", "or~"},           {"xor", "xor~"},
};

void set_global(const char* name, const Cell* value) {
  Cell w = word::load(name);
  RootCell keep(w);
  word::set(&w, value);
}

Cell typeset_of(std::initializer_list<u32> types) {
  Cell ts{type::typeset, 0, 0, 0};
  for (u32 t : types) cell::typeset_add(&ts, t);
  return ts;
}

void define(const Definition& d, u32 value_type) {
  Cell spec = none::value;
  RootCell keep_spec(spec);
  lexer::load_text(d.spec, &spec);
  Cell proto{type::datatype, value_type, 0, 0};
  Cell make_spec = none::value;
  RootCell keep_make_spec(make_spec);
  block::make_at(&make_spec, 2);
  block::append_value(&make_spec, &spec);
  Cell slot{type::integer, 0, static_cast<u32>(d.slot), 0};
  block::append_value(&make_spec, &slot);
  Cell value = *native::make(&proto, &make_spec, value_type);
  RootCell keep_value(value);
  stack::drop(1);
  set_global(d.word, &value);
  interpreter::note_conditional(&value);
  interpreter::keep_interface(&value);
}

void define_typesets() {
  namespace t = kiv::type;
  const Cell any_word = typeset_of({t::word, t::set_word, t::lit_word, t::get_word});
  Cell all_word = any_word;
  cell::typeset_add(&all_word, t::refinement);
  cell::typeset_add(&all_word, t::issue);
  const Cell any_path = typeset_of({t::path, t::lit_path, t::set_path, t::get_path});
  const Cell any_list = typeset_of({t::block, t::paren, t::hash});
  Cell any_block = any_list;
  for (u32 x : {t::path, t::lit_path, t::set_path, t::get_path}) cell::typeset_add(&any_block, x);
  const Cell any_function = typeset_of({t::native, t::action, t::op, t::function, t::routine});
  const Cell any_object = typeset_of({t::object, t::error, t::port});
  const Cell any_string = typeset_of({t::string, t::file, t::url, t::tag, t::email, t::ref});
  Cell series = any_block;
  for (u32 x : {t::string, t::file, t::url, t::tag, t::email, t::ref, t::binary, t::image, t::vector})
    cell::typeset_add(&series, x);
  const Cell number = typeset_of({t::integer, t::float_, t::percent});
  const Cell any_point = typeset_of({t::point2D, t::point3D});
  const Cell planar = typeset_of({t::pair, t::point2D});
  const Cell scalar = typeset_of({t::char_, t::integer, t::float_, t::pair, t::percent, t::tuple, t::time, t::date,
                                  t::money, t::point2D, t::point3D});
  Cell immediate = scalar;
  for (u32 x : {t::none, t::logic, t::datatype, t::typeset, t::handle, t::word, t::set_word, t::lit_word, t::get_word,
                t::refinement, t::issue})
    cell::typeset_add(&immediate, x);
  const Cell any_type{t::typeset, ~0u, ~0u, ~0u};
  set_global("any-word!", &any_word);
  set_global("all-word!", &all_word);
  set_global("any-path!", &any_path);
  set_global("any-list!", &any_list);
  set_global("any-block!", &any_block);
  set_global("any-function!", &any_function);
  set_global("any-object!", &any_object);
  set_global("any-string!", &any_string);
  set_global("series!", &series);
  set_global("number!", &number);
  set_global("any-point!", &any_point);
  set_global("planar!", &planar);
  set_global("scalar!", &scalar);
  set_global("immediate!", &immediate);
  set_global("any-type!", &any_type);
}

}  // namespace

void define_words() {
  lexer::init();
  Cell* const saved_top = stack::top;
  for (u32 t = 1; t < datatype::table_rows; ++t) {
    const datatype::TypeName& n = datatype::names[t];
    if (!n.name) continue;
    const Cell dt{type::datatype, t, 0, 0};
    set_global(n.name, &dt);
  }
  const Cell yes{type::logic, 1, 0, 0}, no{type::logic, 0, 0, 0};
  set_global("true", &yes);
  set_global("false", &no);
  set_global("none", &none::value);
  define_typesets();
  interpreter::forget_interfaces();
  for (const Definition& d : action_definitions) define(d, type::action);
  for (const Definition& d : native_definitions) {
    const Slot* s = native_slot(d.slot);
    if (s && s->code && s->convention == Convention::native) define(d, type::native);
  }
  for (const OperatorDefinition& o : operator_definitions) {
    Cell w = word::load(o.of);
    RootCell keep(w);
    Cell f = *word::get_value(&w);
    RootCell keep_f(f);
    if (f.type() != type::action && f.type() != type::native) continue;
    Cell proto{type::datatype, type::op, 0, 0};
    Cell value = *op::make(&proto, &f, type::op);
    RootCell keep_value(value);
    stack::drop(1);
    set_global(o.word, &value);
  }
  stack::top = saved_top;
}

}  // namespace kiv::natives
