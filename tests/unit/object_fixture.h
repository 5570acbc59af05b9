// What the object, ownership and error tests share: values loaded from text, a small evaluator of
// set-words and values standing in for the interpreter (make object! bodies, make error! specs), and
// a recorder in place of the interpreter's handler calls.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/dispatch.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/path.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv::test {

// A handler call as the interpreter would make it: the handler's frame name and its arguments
// molded (objects as "object").
struct HandlerCall {
  std::string name;
  std::vector<std::string> args;
};

class ObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boot_core();
    lexer::init();
    calls().clear();
    on_call() = nullptr;
    hooks::eval_block = evaluate;
    hooks::call_handler = record_call;
    set_global("none", none_cell());
    set_global("true", logic_cell(true));
    set_global("false", logic_cell(false));
  }
  void TearDown() override {
    hooks::eval_block = nullptr;
    hooks::call_handler = nullptr;
    on_call() = nullptr;
    collector::set_torture(0);
  }

 public:
  static std::vector<HandlerCall>& calls() {
    static std::vector<HandlerCall> list;
    return list;
  }
  // Runs after a handler call is recorded, with the handler and its argument cells.
  static std::function<void(const Cell* handler, Cell* args, i32 count)>& on_call() {
    static std::function<void(const Cell*, Cell*, i32)> f;
    return f;
  }

  // The builders answer value-stack cells, which the collector keeps and rewrites: hold them by
  // reference (Cell& v = ...), or root a copy.
  // All values of the text as a block (kept on the value stack for the test).
  static Cell& load(std::string_view text) {
    Cell* out = stack::push_cell();
    lexer::load_text(text, out);
    return *out;
  }
  static Cell& word_of(const char* name, u32 t = type::word) {
    Cell c{type::none, 0, 0, 0};
    word::load_at(name, &c);
    cell::set_type(&c, t);
    return *stack::push_value(&c);
  }
  static void set_global(const char* name, Cell value) {
    RootCell keep(value);
    Cell w = word_of(name);
    RootCell keep_w(w);
    word::set(&w, &value);
  }
  // Evaluates the text with the test evaluator; answers the last value (kept on the value stack).
  static Cell& run(std::string_view text) {
    Cell blk = load(text);
    RootCell keep(blk);
    Cell* out = stack::push_cell();
    i32 i = std::max(block::head_index(&blk), 0);
    while (i < series::total_length(&blk)) i = eval_expr(&blk, i, out);
    return *out;
  }
  // make object! from the text of a body.
  static Cell& make_object(std::string_view body) { return run(std::string("make object! [") + std::string(body) + "]"); }
  // The field's value (a copy).
  static Cell& field(const Cell& obj, const char* name) {
    Cell& w = word_of(name);  // made first: making a word may allocate
    Cell o = obj;
    return *stack::push_value(object::get_word_value(&o, &w));
  }
  static std::string mold(const Cell& v, bool only = false, bool all = false, bool flat = false) {
    return mold_text(v, only, all, flat);
  }
  static std::string form(const Cell& v) { return form_text(v); }

  template <class Body>
  static std::string error_id(Body&& body, LanguageError* out = nullptr) {
    try {
      body();
    } catch (const LanguageError& e) {
      if (out) *out = e;
      return e.id ? e.id : "";
    }
    return "";
  }

  // ---- The stand-in evaluator ----

  static void evaluate(Cell* blk_in) {
    Cell blk = *blk_in;
    RootCell keep(blk);
    Cell* out = stack::push_cell();
    i32 i = std::max(block::head_index(&blk), 0);
    while (i < series::total_length(&blk)) i = eval_expr(&blk, i, out);
  }

  static u32 type_named(std::string_view name) {
    for (u32 t = 1; t < datatype::table_rows; ++t) {
      if (datatype::names[t].name && name == datatype::names[t].name) return t;
    }
    return 0;
  }

  // Evaluates one expression from position i into out (a cell that stays put); answers the next
  // position. Set-words, set-paths, words, get-words, lit-words, paths, `func spec body`,
  // `make type spec` and literal values.
  static i32 eval_expr(Cell* blk, i32 i, Cell* out) {
    Cell c = *block::cell_at(blk, i);
    RootCell keep(c);
    switch (c.type()) {
      case type::set_word: {
        i32 next = eval_expr(blk, i + 1, out);
        Cell v = *out;
        RootCell keep_v(v);
        word::set(&c, &v);
        return next;
      }
      case type::set_path: {
        i32 next = eval_expr(blk, i + 1, out);
        Cell v = *out;
        RootCell keep_v(v);
        walk_path(&c, &v);
        return next;
      }
      case type::path:
        walk_path(&c, nullptr, out);
        return i + 1;
      case type::lit_word:
        *out = c;
        cell::set_type(out, type::word);
        return i + 1;
      case type::get_word: {
        Cell w = c;
        cell::set_type(&w, type::word);
        *out = *word::get_value(&w);
        return i + 1;
      }
      case type::word: {
        std::string name = word::name_of(&c);
        if (name == "func") {
          Cell spec = *block::cell_at(blk, i + 1), body = *block::cell_at(blk, i + 2);
          RootCell keep_spec(spec), keep_body(body);
          Cell* arg = stack::push_cell();
          block::make_at(arg, 2);
          block::append_value(arg, &spec);
          block::append_value(arg, &body);
          Cell proto{type::none, 0, 0, 0};
          datatype::make_at(&proto, type::function);
          *out = *datatype::row(type::function).make(&proto, arg, type::function);
          return i + 3;
        }
        if (name == "make") {
          Cell* proto = stack::push_cell();
          i32 next = eval_expr(blk, i + 1, proto);
          Cell* spec = stack::push_cell();
          next = eval_expr(blk, next, spec);
          u32 t = proto->type() == type::datatype ? datatype::id_of(proto) : proto->type();
          *out = *datatype::row(t).make(proto, spec, t);
          return next;
        }
        if (u32 t = type_named(name)) {
          datatype::make_at(out, t);
          return i + 1;
        }
        *out = *word::get_value(&c);
        return i + 1;
      }
      default:
        *out = c;
        return i + 1;
    }
  }

  // Reads (value null) or sets a path of words through objects.
  static void walk_path(const Cell* path_in, const Cell* value, Cell* out = nullptr) {
    Cell path = *path_in;
    RootCell keep(path);
    i32 head = std::max(block::head_index(&path), 0), n = series::total_length(&path);
    Cell* parent = stack::push_cell();
    Cell first = *block::cell_at(&path, head);
    cell::set_type(&first, type::word);
    *parent = *word::get_value(&first);
    for (i32 k = head + 1; k < n; ++k) {
      Cell* element = block::cell_at(&path, k);
      bool last = k == n - 1;
      Cell v = value && last ? *value : none_cell();
      RootCell keep_v(v);
      Cell e = *element;
      RootCell keep_e(e);
      Cell* r = actions::get<action::slot::eval_path>(parent)(parent, &e, value && last ? &v : nullptr, &path,
                                                              nullptr, nullptr, k, false, false, last, true);
      if (!(value && last)) *parent = *r;
    }
    if (out) *out = *parent;
  }

  static void record_call(const Cell* handler, const Cell* name, Ref<Node>, i32 count, i32) {
    HandlerCall call;
    call.name = word::name_of(name);
    Cell* args = stack::top - count;
    for (i32 k = 0; k < count; ++k) {
      call.args.push_back(object::object_like_q(args[k].type()) ? "object" : mold_text(args[k]));
    }
    calls().push_back(call);
    if (on_call()) on_call()(handler, args, count);
  }
};

}  // namespace kiv::test
