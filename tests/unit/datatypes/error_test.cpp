// error!: making errors from codes, blocks and text, error/create and the conversion of a language
// error in flight, the "*** " report in all its lines, mold, path access, comparison, the trace
// record, and every message of the catalogue against the golden file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "datatypes/context.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/static_words.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/stack.h"
#include "tests/unit/object_fixture.h"

namespace kiv {
namespace {

using Errors = test::ObjectTest;

Cell& make_error(const Cell& spec) {
  Cell proto{}, s = spec;
  RootCell keep(s);
  datatype::make_at(&proto, type::error);
  return *stack::push_value(datatype::row(type::error).make(&proto, &s, type::error));
}

// The text's first characters, as many as the prefix has.
std::string head(const std::string& text, const std::string& prefix) { return text.substr(0, prefix.size()); }

std::string field_text(const Cell& err, i32 index) { return test::mold_text(*error::field_of(&err, index)); }

// The catalogue report of an error made with the fixed arguments the golden file uses.
Cell& fixed_error(ErrorCategory category, const char* id) {
  Cell args[3] = {test::none_cell(), test::none_cell(), test::none_cell()};
  RootCell k0(args[0]), k1(args[1]), k2(args[2]);
  string::make_from_utf8(&args[0], "one");
  args[1] = Errors::word_of("two");
  args[2] = test::int_cell(3);
  Cell* out = stack::push_cell();
  return *error::create(category, id, args, out);
}

// ---- make error! ----

TEST_F(Errors, MakeFromACode) {
  Cell& e = make_error(test::int_cell(300));
  EXPECT_EQ(e.type(), type::error);
  EXPECT_EQ(object::class_of(&e), 1);
  EXPECT_EQ(e.w3, 0u);
  EXPECT_EQ(field_text(e, error::field::type), "script");
  EXPECT_EQ(field_text(e, error::field::id), "no-value");
  EXPECT_EQ(field_text(e, error::field::code), "300");
  EXPECT_EQ(word::context_of(error::field_of(&e, error::field::type)), object::context_of(error::catalog()));
  EXPECT_EQ(field_text(make_error(test::int_cell(913)), error::field::id), "deprecated");
  EXPECT_EQ(field_text(make_error(test::int_cell(0)), error::field::id), "break");

  for (i32 code : {399, -1, 1000, 600, 914}) {
    LanguageError err{};
    EXPECT_EQ(error_id([&] { make_error(test::int_cell(code)); }, &err), "out-of-range") << code;
    EXPECT_EQ(err.args[0].as_int(), code);
  }
}

TEST_F(Errors, MakeFromBlocks) {
  Cell& e = make_error(load("script no-value"));
  EXPECT_EQ(field_text(e, error::field::code), "300");
  e = make_error(load("Math ZERO-DIVIDE extra"));
  EXPECT_EQ(field_text(e, error::field::code), "400");
  EXPECT_EQ(field_text(e, error::field::id), "ZERO-DIVIDE") << "the spec's own word is kept";

  e = make_error(load("type: 'math id: 'zero-divide arg1: 7"));
  EXPECT_EQ(field_text(e, error::field::code), "400");
  EXPECT_EQ(field_text(e, error::field::arg1), "7");

  struct Case {
    const char* spec;
    const char* id;
    const char* arg;  // molded arg1, "" for none
  };
  for (const Case& c : {Case{"nonsense no-value", "invalid-spec-field", "type"},
                        Case{"script", "invalid-spec-field", "id"},
                        Case{"script nonsense", "invalid-spec-field", "id"},
                        Case{"script type", "invalid-spec-field", "id"},
                        Case{"script 3", "invalid-arg", "3"},
                        Case{"type: 'script id: 'nonsense", "invalid-spec-field", "id"},
                        Case{"type: 3 id: 'no-value", "invalid-spec-field", "type"},
                        Case{"3 script", "invalid-error", ""},
                        Case{"", "invalid-error", ""}}) {
    LanguageError err{};
    EXPECT_EQ(error_id([&] { make_error(load(c.spec)); }, &err), c.id) << c.spec;
    if (*c.arg) EXPECT_EQ(test::mold_text(err.args[0]), c.arg) << c.spec;
    else EXPECT_EQ(err.arg_count, 0u) << c.spec;
  }
  LanguageError err{};
  Cell spec = test::logic_cell(true);
  EXPECT_EQ(error_id([&] { make_error(spec); }, &err), "bad-make-arg");
  EXPECT_EQ(test::mold_text(err.args[0]), "error!");
  EXPECT_EQ(test::mold_text(err.args[1]), "true");
}

TEST_F(Errors, MakeFromTextIsAUserMessage) {
  Cell text{type::none, 0, 0, 0};
  string::make_from_utf8(&text, "it broke");
  Cell& e = make_error(text);
  EXPECT_EQ(field_text(e, error::field::code), "800");
  EXPECT_EQ(field_text(e, error::field::type), "user");
  EXPECT_EQ(error::report(&e), "*** User Error: it broke\n*** Where: ???\n*** Near : none");
}

TEST_F(Errors, NearIsTheInterpretersPosition) {
  Cell& code = load("a + b c d");
  stack::Mark m = stack::mark();
  stack::push_block_frame(Ref<Node>(code.w2), 0);
  Cell& e = make_error(test::int_cell(400));
  EXPECT_EQ(field_text(e, error::field::near), "[a + b c d]");
  EXPECT_EQ(error::report(&e), "*** Math Error: attempt to divide by zero\n*** Where: ???\n*** Near : a + b c d");
  stack::unwind_to(m);  // last: it drops e from the value stack too
}

// ---- create and the errors of the run-time ----

TEST_F(Errors, CreateFromARaisedLanguageError) {
  LanguageError raised{};
  try {
    Cell& w = word_of("foo");
    raise_error(ErrorCategory::script, "no-value", w);
  } catch (const LanguageError& e) {
    raised = e;
  }
  Cell* e = stack::push_cell();
  error::from_language_error(raised, e);
  EXPECT_EQ(field_text(*e, error::field::code), "300");
  EXPECT_EQ(error::report(e), "*** Script Error: foo has no value\n*** Where: ???\n*** Near : none");
  EXPECT_EQ(symbol::name(error::get_type(e)), "script");
  EXPECT_EQ(symbol::name(error::get_id(e)), "no-value");

  // An id the category lacks is reported, not lost.
  Cell* bad = stack::push_cell();
  error::create(ErrorCategory::math, "no-such-id", {}, bad);
  EXPECT_EQ(error::report(bad),
            "*** Internal Error: invalid error object field value: no-such-id\n*** Where: ???\n*** Near : none");

  Cell& where = word_of("append");
  error::set_where(e, &where);
  Cell& other = word_of("insert");
  error::set_where(e, &other);
  EXPECT_EQ(field_text(*e, error::field::where), "append") << "the first where stays";
  EXPECT_NE(error::report(e).find("\n*** Where: append\n*** Near : "), std::string::npos);
}

// ---- the report ----

TEST_F(Errors, ADamagedErrorIsReportedAsInvalidAndRepaired) {
  Cell& e = make_error(test::int_cell(300));
  set_global("e", e);
  run("e/type: 'nonsense");
  EXPECT_EQ(error::report(&e),
            "*** Internal Error: invalid error object field value: nonsense\n*** Where: ???\n*** Near : none");
  EXPECT_EQ(field_text(e, error::field::type), "internal");
  EXPECT_EQ(field_text(e, error::field::id), "invalid-error");
  EXPECT_EQ(field_text(e, error::field::arg1), "nonsense");

  run("e/type: 'math e/id: 'bogus");
  EXPECT_EQ(error::report(&e),
            "*** Internal Error: invalid error object field value: bogus\n*** Where: ???\n*** Near : none");
  run("e/type: 'script e/id: 'type");
  EXPECT_EQ(head(error::report(&e), "*** Internal Error: invalid error object field value: type\n"),
            "*** Internal Error: invalid error object field value: type\n")
      << "a category's title is no id";

  // A template that is neither text nor block: the error names its category and writes no message.
  Cell& user = make_error(load("user message"));
  *error::field_of(&user, error::field::arg1) = test::int_cell(5);
  EXPECT_EQ(error::report(&user), "*** User Error: \n*** Where: ???\n*** Near : none");
  EXPECT_EQ(field_text(user, error::field::id), "invalid-error");
  EXPECT_EQ(field_text(user, error::field::arg1), "user");
}

TEST_F(Errors, SyntaxArgumentsAreFormedOthersMolded) {
  Cell& syntax = fixed_error(ErrorCategory::syntax, "no-header");
  Cell& script = fixed_error(ErrorCategory::script, "invalid-arg");
  const std::string s1 = "*** Syntax Error: script is missing a Kiv header: one\n";
  const std::string s2 = "*** Script Error: invalid argument: \"one\"\n";
  const std::string s3 = "*** note: cannot load:  \"one\"\n";
  EXPECT_EQ(head(error::report(&syntax), s1), s1);
  EXPECT_EQ(head(error::report(&script), s2), s2);
  Cell& note = fixed_error(ErrorCategory::note, "no-load");
  EXPECT_EQ(head(error::report(&note), s3), s3);
}

TEST_F(Errors, LongArgumentsAndNearAreCut) {
  std::string long_text(200, 'x');
  Cell args[1] = {test::none_cell()};
  RootCell keep(args[0]);
  string::make_from_utf8(&args[0], long_text);
  Cell* e = stack::push_cell();
  error::create(ErrorCategory::script, "invalid-arg", args, e);
  *error::field_of(e, error::field::near) = load(std::string(100, 'y') + " z");
  std::string report = error::report(e);
  EXPECT_EQ(report, "*** Script Error: invalid argument: {" + std::string(79, 'x') + "\n*** Where: ???\n*** Near : " +
                        std::string(40, 'y'));

  // The remaining limit counts what was kept.
  Cell out{type::none, 0, 0, 0};
  RootCell keep_out(out);
  string::make_at(&out, 16);
  i32 left = error::form(e, &out, nullptr, 1000);
  EXPECT_EQ(left, 1000 - string::total_length(&out));
}

TEST_F(Errors, StackAndFilesLines) {
  // The frames of two calls, f then g, below the error; then outer's, for record-trace.
  stack::Mark m = stack::mark();
  stack::push_call_frame(&word_of("f"));
  stack::push_call_frame(&word_of("g"));
  const i32 raised_at = stack::frame_depth();
  stack::push_call_frame(&word_of("outer"));
  Cell& e = make_error(test::int_cell(402));
  *error::field_of(&e, error::field::stack) = test::int_cell(raised_at);
  static Cell state{type::none, 0, 0, 0};
  RootCell keep_state(state);
  state = make_object("interpreted?: true last-error: none stack-trace: 0 source-files: none callbacks: none GC: none");
  hooks::system_state = [] { return static_cast<const Cell*>(&state); };
  std::string base = "*** Math Error: positive number required\n*** Where: ???\n*** Near : none";
  EXPECT_EQ(error::report(&e), base) << "no Stack line while stack-trace is 0";
  object::get_values(&state)[2] = test::int_cell(2);
  EXPECT_EQ(error::report(&e), base + "\n*** Stack: f g ") << "the frames below the error's position";
  *error::field_of(&e, error::field::stack) = load("f g");
  *error::field_of(&e, error::field::files) = load("a.kiv b.kiv");
  EXPECT_EQ(error::report(&e), base + "\n*** Stack: f g\n*** Files: a.kiv b.kiv");

  // record-trace turns a frame position into the frame words and records the source files.
  object::get_values(&state)[3] = load("main.kiv");
  *error::field_of(&e, error::field::stack) = test::int_cell(stack::frame_depth());
  error::record_trace(&e);
  EXPECT_EQ(field_text(e, error::field::stack), "[f g outer]");
  EXPECT_EQ(field_text(e, error::field::files), "[main.kiv]");
  EXPECT_NE(error::field_of(&e, error::field::files)->w2, object::get_values(&state)[3].w2) << "a copy";
  hooks::system_state = nullptr;
  stack::unwind_to(m);
}

// ---- mold, path access, comparison ----

TEST_F(Errors, MoldPathAccessAndComparison) {
  Cell& e = make_error(test::int_cell(301));
  EXPECT_EQ(test::mold_text(e, false, false, true),
            "make error! [code: 301 type: 'script id: 'need-value arg1: none arg2: none arg3: none near: none "
            "where: none stack: none files: none]");
  std::string molded = test::mold_text(e);
  EXPECT_EQ(head(molded, "make error! [\n    code: 301\n    type: 'script\n"),
            "make error! [\n    code: 301\n    type: 'script\n");
  EXPECT_TRUE(molded.ends_with("\n    files: none\n]")) << molded;

  set_global("e", e);
  EXPECT_EQ(test::mold_text(run("e/id")), "need-value");
  run("e/arg1: 'x");
  EXPECT_EQ(head(error::report(&e), "*** Script Error: x needs a value\n"), "*** Script Error: x needs a value\n");
  EXPECT_EQ(error_id([&] { run("e/nonsense"); }), "invalid-path");

  Cell& same = make_error(test::int_cell(301));
  *error::field_of(&same, error::field::arg1) = word_of("x");
  Cell& other = make_error(test::int_cell(302));
  Cell& plain = make_object("a: 1");
  EXPECT_EQ(actions::compare(&e, &same, compare_op::equal), 1);
  EXPECT_EQ(actions::compare(&e, &other, compare_op::equal), 0);
  EXPECT_EQ(error::compare(&e, &plain, compare_op::equal), -2);
  EXPECT_EQ(same.type(), type::error) << "the second value's type is restored";

  // reflect, copy and select are object!'s.
  Cell& words = word_of("words");
  EXPECT_EQ(test::mold_text(*datatype::row(type::error).reflect(&e, word::symbol_of(&words))),
            "[code type id arg1 arg2 arg3 near where stack files]");
  Cell* c = stack::push_cell();
  datatype::row(type::error).copy(&e, c, nullptr, false, nullptr);
  EXPECT_EQ(c->type(), type::error);
  EXPECT_NE(c->w1, e.w1);
  EXPECT_EQ(datatype::row(type::error).put, nullptr);
}

TEST_F(Errors, MakingAndFormingSurviveACollectionAtEveryAllocation) {
  bool enabled = collector::enabled;
  collector::enabled = true;
  collector::set_torture(1);
  Cell& e = make_error(load("type: 'script id: 'expect-arg arg1: 'append arg2: integer! arg3: 'series"));
  RootCell keep(e);
  std::string report = error::report(&e);
  Cell* created = stack::push_cell();
  Cell args[1] = {test::none_cell()};
  RootCell keep_arg(args[0]);
  string::make_from_utf8(&args[0], "text");
  error::create(ErrorCategory::access, "cannot-open", args, created);
  std::string report2 = error::report(created);
  std::string molded = test::mold_text(e, false, false, true);
  collector::set_torture(0);
  collector::enabled = enabled;
  EXPECT_EQ(report, "*** Script Error: append does not allow integer! for its series argument\n*** Where: ???\n"
                    "*** Near : none");
  EXPECT_EQ(report2, "*** Access Error: cannot open: \"text\"\n*** Where: ???\n*** Near : none");
  EXPECT_EQ(molded.substr(0, 45), "make error! [code: 305 type: 'script id: 'exp");
}

TEST_F(Errors, ArgumentWordsOfTheRunningFunction) {
  // No call frames yet: every argument is anonymous.
  EXPECT_EQ(test::mold_text(*error::get_arg_word(0)), "<anon>");
  EXPECT_EQ(hooks::argument_word.get(), &error::get_arg_word);
}

// ---- the catalogue ----

TEST_F(Errors, TheCatalogueObjectFollowsItsText) {
  Cell errors = *error::catalog();
  RootCell keep_errors(errors);
  ASSERT_EQ(object::word_count(&errors), error::category_count);
  i32 n = 0;
  for (const error::Category& c : error::catalogue_text()) {
    Cell cat = object::get_values(&errors)[n];
    EXPECT_EQ(word::name_of(object::word_at(object::context_of(&errors), n)), c.name);
    EXPECT_EQ(object::get_values(&cat)[0].as_int(), n * 100);
    EXPECT_EQ(string::to_utf8(&object::get_values(&cat)[1]), c.title);
    EXPECT_EQ(object::word_count(&cat), 2 + static_cast<i32>(c.ids.size()));
    ++n;
  }
  Cell user = object::get_values(&errors)[8];
  RootCell keep_user(user);
  EXPECT_EQ(test::mold_text(object::get_values(&user)[2]), "arg1") << "a user message is the word arg1";
  Cell syntax = object::get_values(&errors)[2];
  RootCell keep_syntax(syntax);
  EXPECT_EQ(test::mold_text(object::get_values(&syntax)[2]), "[:arg1 \"invalid\" :arg2 \"at\" :arg3]");
}

// Every message formed with fixed arguments (arg1 the text "one", arg2 the word two, arg3 3), compared
// byte for byte with the golden file. KIV_UPDATE_GOLDEN=1 rewrites the file instead.
TEST_F(Errors, EveryCatalogueMessageMatchesTheGoldenFile) {
  std::string produced;
  i32 category = 0;
  for (const error::Category& c : error::catalogue_text()) {
    i32 position = 0;
    for (const error::Message& m : c.ids) {
      Cell& e = fixed_error(static_cast<ErrorCategory>(category), m.id);
      if (!produced.empty()) produced += "\n";
      produced += "== " + std::to_string(category * 100 + position) + " " + c.name + "/" + m.id + "\n";
      produced += error::report(&e) + "\n";
      EXPECT_EQ(field_text(e, error::field::code), std::to_string(category * 100 + position)) << m.id;
      ++position;
    }
    ++category;
  }
  const std::string path = std::string(KIV_SOURCE_DIR) + "/tests/unit/golden/error_catalogue.txt";
  if (const char* update = std::getenv("KIV_UPDATE_GOLDEN"); update && *update == '1') {
    std::ofstream(path, std::ios::binary) << produced;
    GTEST_SKIP() << "golden file rewritten";
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  std::stringstream golden;
  golden << in.rdbuf();
  EXPECT_EQ(produced, golden.str());
}

}  // namespace
}  // namespace kiv
