// KIVBIN encode and decode of a large value graph: a block of records, each a block of an integer,
// a string, a word and an object (an id, a name, a block of words and a nested object). Run by
// bench/kivbin_bench.py beside Python's pickle and marshal on the same graph; on its own:
//
//   bench-kivbin_bench [MB]     (the size of the compact encoding to aim at, 50 by default)
//
// Prints one line per measurement: form, operation, best seconds of three, bytes encoded.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "io/kivbin.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.cpp"  // the shared boot of the core

using namespace kiv;

namespace {

// Every record encodes to about this many bytes in the compact form.
constexpr i32 record_bytes = 80;

Cell word_of(const char* name) {
  Cell w{type::unset, 0, 0, 0};
  word::make_at(symbol::make(name), &w);
  return w;
}

Cell text(const std::string& s) {
  Cell c;
  string::make_from_utf8(&c, s);
  return c;
}

void field(Cell* obj, const char* name, const Cell& value) {
  Cell w = word_of(name);
  context::set_word_value(Ref<Node>(obj->w1), &w, &value);
}

// Built with collections off: nothing moves while the cells are copied around.
void build(Cell* root, i32 records) {
  static const char* names[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};
  block::make_at(root, records);
  for (i32 i = 0; i < records; ++i) {
    Cell rec;
    block::make_at(&rec, 4);
    Cell n{type::integer, 0, static_cast<u32>(i), 0};
    block::append_value(&rec, &n);
    Cell s = text("name-" + std::to_string(i));
    block::append_value(&rec, &s);
    Cell w = word_of(names[i % 8]);
    block::append_value(&rec, &w);
    Cell obj;
    object::make_at(&obj, 4);
    field(&obj, "id", n);
    Cell item = text("item-" + std::to_string(i));
    field(&obj, "name", item);
    Cell tags;
    block::make_at(&tags, 3);
    for (i32 k = 0; k < 3; ++k) {
      Cell t = word_of(names[(i + k) % 8]);
      block::append_value(&tags, &t);
    }
    field(&obj, "tags", tags);
    Cell child;
    object::make_at(&child, 2);
    field(&child, "x", n);
    Cell leaf = text("leaf");
    field(&child, "y", leaf);
    field(&obj, "child", child);
    block::append_value(&rec, &obj);
    block::append_value(root, &rec);
  }
}

template <class F>
double seconds(F run) {
  auto t0 = std::chrono::steady_clock::now();
  run();
  std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
  return d.count();
}

template <class F>
double best_of_three(F run) {
  return std::min({seconds(run), seconds(run), seconds(run)});
}

}  // namespace

int main(int argc, char** argv) {
  const i32 mb = argc > 1 ? std::atoi(argv[1]) : 50;
  test::boot_core();
  lexer::init();
  Cell* root = stack::push_cell();
  collector::enabled = false;
  build(root, static_cast<i32>((i64{mb} << 20) / record_bytes));
  for (bool compact : {true, false}) {
    const char* form = compact ? "compact" : "fixed";
    Cell* bin = stack::push_cell();
    double encode = best_of_three([&] { kivbin::encode(root, compact, bin); });
    const u8* p = reinterpret_cast<const u8*>(binary::head_pointer(bin));
    std::vector<u8> bytes(p, p + binary::length_of(bin));
    Cell* out = stack::push_cell();
    double decode = 1e300;
    for (int k = 0; k < 3; ++k) {
      block::make_at(out, 1);
      decode = std::min(decode, seconds([&] {
        kivbin::decode(bytes.data(), bytes.size(), out, kivbin::Mode::user);
      }));
      *out = Cell{type::none, 0, 0, 0};
      collector::collect();  // the decoded graph goes before the next run
    }
    std::printf("kivbin-%s encode %.4f %zu\n", form, encode, bytes.size());
    std::printf("kivbin-%s decode %.4f %zu\n", form, decode, bytes.size());
    stack::top = bin;
  }
  return 0;
}
