// KIVBIN where the language cannot reach: random value graphs with sharing and cycles through both
// forms, compressed and not, compared as graphs (a node met twice must come back as one node); the
// boot mode (definitions, root-index binding, the literal base, its fatal messages); reference
// paths that count from the first cell a decode appends; fixed-form doubles at any alignment; and
// the encoder's symbol lookup, which must stay linear in the number of symbols.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/hash.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "datatypes/words.h"
#include "io/boot_lz.h"
#include "io/kivbin.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/roots.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

using namespace kiv;
using Bytes = std::vector<u8>;

namespace {

class Kivbin : public ::testing::Test {
 protected:
  void SetUp() override {
    test::boot_core();
    lexer::init();
  }
};

Bytes bytes_of(const Cell& bin) {
  const u8* p = reinterpret_cast<const u8*>(binary::head_pointer(&bin));
  return Bytes(p, p + binary::length_of(&bin));
}

Bytes encoded(const Cell& value, bool compact) {
  Cell v = value, out{type::none, 0, 0, 0};
  RootCell kv(v), ko(out);
  kivbin::encode(&v, compact, &out);
  return bytes_of(out);
}

// The same data with everything after the flags compressed; empty when it does not compress.
Bytes compressed(const Bytes& data) {
  Bytes out(data.size());
  i32 n = boot_lz::compress(data.data() + kivbin::header_bytes, u32(data.size() - kivbin::header_bytes), out.data());
  if (n < 0) return {};
  Bytes file(data.begin(), data.begin() + kivbin::header_bytes);
  file[7] |= kivbin::flag::compressed;
  file.insert(file.end(), out.begin(), out.begin() + n);
  return file;
}

// Decodes into a new block (kept on the value stack); answers the block.
Cell& decoded(const Bytes& data, kivbin::Mode mode = kivbin::Mode::user) {
  Cell* out = stack::push_cell();
  block::make_at(out, 1);
  kivbin::decode(data.data(), data.size(), out, mode);
  return *out;
}

Cell cell_at(const Cell& blk, i32 i) { return buffer_of(Ref<Node>(blk.w2))->head_ptr<Cell>()[i]; }
i32 cells(const Cell& blk) { return i32(buffer_of(Ref<Node>(blk.w2))->used_bytes() / sizeof(Cell)); }

// ---- Graphs compared node for node ---------------------------------------------------------------

// Two value graphs are alike when a bijection between their nodes (series and contexts) makes every
// cell equal: shared nodes come back shared, distinct ones distinct, cycles where they were.
struct Alike {
  std::unordered_map<u32, u32> to, from;
  std::string why;

  bool pair(u32 a, u32 b) {
    auto [i, new_a] = to.try_emplace(a, b);
    auto [j, new_b] = from.try_emplace(b, a);
    if (i->second != b || j->second != a) return fail("sharing differs"), false;
    return new_a;  // true: first meeting, compare the contents
  }
  void fail(const std::string& what) {
    if (why.empty()) why = what;
  }
  bool context(u32 a, u32 b) {
    if (a == b && Ref<Node>(a) == context::global()) return true;
    if (Ref<Node>(a) == context::global() || Ref<Node>(b) == context::global()) return fail("binding differs"), false;
    if (!pair(a, b)) return why.empty();
    Ref<Node> ca(a), cb(b);
    i32 n = context::word_count(ca);
    if (n != context::word_count(cb)) return fail("word count differs"), false;
    for (i32 i = 0; i < n; ++i)
      if (word::symbol_of(context::word_at(ca, i)) != word::symbol_of(context::word_at(cb, i)))
        return fail("words differ"), false;
    Cell oa = *context::owner_of(ca), ob = *context::owner_of(cb);
    if (oa.type() != ob.type()) return fail("owner differs"), false;
    if (context::on_stack_q(ca)) return true;
    for (i32 i = 0; i < n; ++i)
      if (!value(context::values_of(ca)[i], context::values_of(cb)[i])) return false;
    return true;
  }
  bool value(const Cell& a, const Cell& b) {
    const u32 t = a.type();
    if (a.header != b.header && t != type::object)
      return fail(("header differs: " + std::to_string(a.header) + " and " + std::to_string(b.header)).c_str()), false;
    switch (t) {
      case type::block: case type::paren: case type::path: case type::lit_path: case type::set_path:
      case type::get_path: case type::hash: {
        if (a.w1 != b.w1) return fail("head differs"), false;
        if (!pair(a.w2, b.w2)) return why.empty();
        i32 n = cells(a);
        if (n != cells(b)) return fail("length differs"), false;
        for (i32 i = 0; i < n; ++i)
          if (!value(cell_at(a, i), cell_at(b, i))) return false;
        return true;
      }
      case type::map: {
        // The live entries in order: removed ones are not written.
        if (!pair(a.w2, b.w2)) return why.empty();
        i32 j = 0;
        for (i32 i = 0; i + 1 < cells(a); i += 2) {
          if (!cell_at(a, i + 1).type()) continue;
          if (j + 1 >= cells(b)) return fail("entries differ"), false;
          if (!value(cell_at(a, i), cell_at(b, j)) || !value(cell_at(a, i + 1), cell_at(b, j + 1))) return false;
          j += 2;
        }
        if (j != cells(b)) return fail("entries differ"), false;
        return true;
      }
      case type::string: case type::file: case type::url: case type::tag: case type::email: case type::ref:
      case type::binary: case type::bitset: case type::vector: {
        if (a.w1 != b.w1 || a.w3 != b.w3) return fail("head or element type differs"), false;
        if (!pair(a.w2, b.w2)) return why.empty();
        SeriesBuffer* x = buffer_of(Ref<Node>(a.w2));
        SeriesBuffer* y = buffer_of(Ref<Node>(b.w2));
        if (x->flags % 32 != y->flags % 32 || (x->flags ^ y->flags) & series_flag::complement ||
            x->used_bytes() != y->used_bytes() || std::memcmp(x->head_ptr(), y->head_ptr(), x->used_bytes()))
          return fail("series content differs"), false;
        return true;
      }
      case type::word: case type::set_word: case type::get_word: case type::lit_word:
        if (a.w2 != b.w2 || a.w3 != b.w3) return fail("word differs"), false;
        return context(a.w1, b.w1);
      case type::object:
        if ((a.header & ~header::new_line) != (b.header & ~header::new_line)) return fail("header differs"), false;
        return context(a.w1, b.w1);
      default:
        if (a.w1 != b.w1 || a.w2 != b.w2 || a.w3 != b.w3) return fail("scalar differs"), false;
        return true;
    }
  }
};

// Random graphs: scalars of the core types, strings of every unit, and containers (blocks, parens,
// paths, objects) whose elements are now and then an earlier container (sharing) or one still being
// filled (a cycle), and words bound to the objects made so far.
struct Generator {
  std::mt19937 rng;
  Cell* pool;  // the containers and strings made so far (a value-stack block)
  std::vector<i32> names;

  explicit Generator(u32 seed) : rng(seed) {
    pool = stack::push_cell();
    block::make_at(pool, 16);
    for (const char* n : {"alpha", "beta", "Gamma", "delta", "x", "y"}) names.push_back(symbol::make(n));
  }
  u32 pick(u32 n) { return std::uniform_int_distribution<u32>(0, n - 1)(rng); }
  i32 pooled() { return cells(*pool); }
  Cell from_pool() { return cell_at(*pool, i32(pick(u32(pooled())))); }

  Cell text() {
    static const char32_t samples[] = {U'a', U'z', U'\u00e9', U'\u4e2d', U'\U0001F600', U'^'};
    std::u32string s;
    for (u32 n = pick(6); n; --n) s.push_back(samples[pick(6)]);
    std::string utf8;
    for (char32_t c : s) {
      if (c < 0x80) utf8 += char(c);
      else if (c < 0x800) utf8 += {char(0xC0 | c >> 6), char(0x80 | (c & 63))};
      else if (c < 0x10000) utf8 += {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 63)), char(0x80 | (c & 63))};
      else utf8 += {char(0xF0 | c >> 18), char(0x80 | (c >> 12 & 63)), char(0x80 | (c >> 6 & 63)), char(0x80 | (c & 63))};
    }
    Cell s_cell;
    string::make_from_utf8(&s_cell, utf8);
    static const u32 kinds[] = {type::file, type::url, type::tag, type::email, type::ref};
    if (pick(3) == 0) s_cell.header = kinds[pick(5)];
    block::append_value(pool, &s_cell);
    return s_cell;
  }

  // Elements of every kind a vector holds, within their range (characters are code points).
  Cell vector_value() {
    static const u32 shapes[][2] = {{type::integer, 1}, {type::integer, 2}, {type::integer, 4}, {type::char_, 1},
                                    {type::char_, 2},   {type::char_, 4},   {type::float_, 4},  {type::float_, 8}};
    const auto& [et, width] = shapes[pick(8)];
    const u32 n = pick(5);
    Cell v;
    vector::make_at(&v, i32(n), et, width);
    SeriesBuffer* b = buffer_of(Ref<Node>(v.w2));
    for (u32 i = 0; i < n * width; i += width) {
      u64 x = u64(rng()) << 32 | rng();
      if (et == type::char_ && width == 4) x = pick(0x110000);
      std::memcpy(b->head_ptr<u8>() + i, &x, width);
    }
    b->tail = b->head + n * width;
    if (n && pick(3) == 0) v.w1 = pick(n + 1);
    block::append_value(pool, &v);
    return v;
  }

  // A date as the date code keeps them: a day of its month, a local time within the day.
  Cell a_date() {
    const i32 year = i32(pick(20001)) - 10000, month = i32(pick(12)) + 1;
    const i32 day = i32(pick(u32(date::month_length(year, month)))) + 1;
    const u32 zone = pick(2) ? 0 : date::zone_word(pick(2), i32(pick(16)), i32(pick(4)) * 15);
    const bool timed = pick(2);
    const double local = pick(86400 * 2) / 2.0;
    Cell d;
    return *date::box(&d, date::pack(year, month, day, zone, timed), timed ? local - date::zone_seconds(zone) : 0);
  }

  Cell scalar() {
    switch (pick(19)) {
      case 0: return Cell{type::none, 0, 0, 0};
      case 1: return Cell{type::logic, pick(2), 0, 0};
      case 2: return Cell{type::integer, 0, u32(pick(200)), 0};
      case 3: return Cell{type::integer, 0, u32(rng()), 0};
      case 4: {
        static const double d[] = {0.0, -0.0, 1.0, 0.5, -3.0, 1e300, 2147483648.0, std::nan("")};
        Cell c{pick(4) ? type::float_ : type::time, 0, 0, 0};
        c.set_double(d[pick(8)]);
        return c;
      }
      case 5: return Cell{type::char_, 0, pick(0x110000), 0};
      case 6: {
        Cell w{type::unset, 0, 0, 0};
        word::make_at(names[pick(u32(names.size()))], &w);
        return w;
      }
      case 7: return Cell{type::typeset, u32(rng()), u32(rng()), u32(rng())};
      case 8: {
        Cell b;
        u8 raw[5] = {u8(rng()), 1, 2, 3, u8(rng())};
        binary::make_from(&b, raw, i32(pick(6)));
        block::append_value(pool, &b);
        return b;
      }
      case 9: {
        Cell b;
        bitset::make_at(&b, i32(pick(4)), pick(2));
        block::append_value(pool, &b);
        return b;
      }
      case 10: return Cell{type::datatype, type::integer, 0, 0};
      case 11: {
        Cell p;
        return *pair::box(&p, i32(rng()), i32(pick(7)) - 3);
      }
      case 12: {
        u8 raw[12];
        for (u8& b : raw) b = u8(rng());
        Cell t{type::tuple, 0, 0, 0};
        return *tuple::make_at(&t, raw, i32(pick(10)) + 3);
      }
      case 13: return a_date();
      case 14: {
        u8 bcd[money::digit_bytes];
        for (u8& b : bcd) b = u8(pick(10) << 4 | pick(10));
        Cell m;
        return *money::make_at(&m, pick(2), u8(pick(4)), bcd);
      }
      case 15: {
        static const float f[] = {0.0f, -0.0f, 1.5f, -3e38f, 1e-40f, std::nanf("")};
        Cell p{type::none, 0, 0, 0};
        return *point::make_at(&p, pick(2) ? type::point2D : type::point3D, f[pick(6)], f[pick(6)], f[pick(6)]);
      }
      case 16: {
        static const double d[] = {0.0, -0.0, 0.5, 0.125, 12.34, -1e-300};
        Cell c{type::percent, 0, 0, 0};
        c.set_double(d[pick(6)]);
        return c;
      }
      case 17: return vector_value();
      default: return text();
    }
  }

  // A word bound to one of the objects made so far, when there is one.
  bool bound_word(Cell& out) {
    for (i32 tries = 0; tries < 4 && pooled(); ++tries) {
      Cell c = from_pool();
      if (c.type() != type::object) continue;
      Ref<Node> ctx(c.w1);
      i32 n = context::word_count(ctx);
      if (!n) continue;
      i32 i = i32(pick(u32(n)));
      out = *context::word_at(ctx, i);
      out.header = pick(2) ? type::word : type::get_word;
      return true;
    }
    return false;
  }

  Cell element(int depth) {
    u32 k = pick(10);
    if (k == 0 && pooled()) return from_pool();
    Cell w;
    if (k == 1 && bound_word(w)) return w;
    if (k <= 4 && depth > 0) return container(depth - 1);
    Cell c = scalar();
    if (pick(5) == 0) c.header |= header::new_line;
    return c;
  }

  // Keys of every kind a map takes; repeated keys replace the earlier value.
  Cell a_map(int depth) {
    Cell m;
    map::make_at(&m, nullptr, 4);
    block::append_value(pool, &m);
    for (u32 n = pick(5); n; --n) {
      Cell key = scalar();
      if (!map::valid_key_type_q(key.type())) continue;
      Cell v = element(depth);
      map::set_key(&m, &key, &v, pick(2));
    }
    return m;
  }

  Cell container(int depth) {
    if (pick(6) == 0) return a_map(depth);
    if (pick(4) == 0) {
      Cell o;
      object::make_at(&o, 4);
      block::append_value(pool, &o);
      Ref<Node> ctx(o.w1);
      for (u32 n = pick(4); n; --n) {
        Cell field{type::unset, 0, 0, 0};
        word::make_at(names[pick(u32(names.size()))], &field);
        Cell v = element(depth);
        context::set_word_value(ctx, &field, &v);
      }
      return o;
    }
    static const u32 kinds[] = {type::block, type::block, type::paren, type::path, type::hash};
    Cell b;
    block::make_at(&b, 4);
    b.header = kinds[pick(5)];
    block::append_value(pool, &b);
    u32 n = pick(6);
    for (u32 i = 0; i < n; ++i) {
      Cell e = element(depth);
      block::append_value(&b, &e);
    }
    if (b.type() == type::hash) hash::make_at(&b, &b);
    if (n && pick(3) == 0) b.w1 = pick(n + 1);
    return b;
  }
};

void round_trips(i32 graphs) {
  for (i32 g = 0; g < graphs; ++g) {
    Cell* const top = stack::top;
    Cell value;
    {
      test::Building quiet;  // graphs are built without collections, then rooted
      Generator gen{u32(g)};
      value = gen.container(3);
    }
    Cell* kept = stack::push_value(&value);
    for (bool compact : {true, false}) try {
      Bytes plain = encoded(*kept, compact);
      EXPECT_EQ(plain, encoded(*kept, compact)) << "graph " << g << ": the output is not reproducible";
      Bytes packed = compressed(plain);
      for (const Bytes* data : {&plain, &packed}) {
        if (data->empty()) continue;
        Cell& out = decoded(*data);
        ASSERT_EQ(cells(out), 1);
        Alike alike;
        EXPECT_TRUE(alike.value(*kept, cell_at(out, 0)))
            << "graph " << g << (compact ? " compact" : " fixed") << (data == &packed ? " compressed" : "") << ": "
            << alike.why;
      }
    } catch (const LanguageError& e) {
      ADD_FAILURE() << "graph " << g << (compact ? " compact" : " fixed") << ": " << e.id << " "
                    << (e.arg_count ? test::mold_text(e.args[0]) : "") << " in " << test::mold_text(*kept);
    }
    stack::top = top;
  }
}

TEST_F(Kivbin, RandomGraphsComeBackAlikeInEveryForm) {
  // Under collector torture every allocation of the decoder collects: a small run says enough.
  round_trips(collector::torture_every ? 150 : 10000);
}

TEST_F(Kivbin, ValuesWithoutACodecAreRefusedInBothForms) {
  // The types the language cannot make, inside a block: the refusal comes from anywhere in the graph.
  const Cell refused[] = {{type::triple, 1, 2, 3}, {type::handle, 0, 0, ~0u}, {type::event, 0, 0, 0}};
  for (const Cell& v : refused) {
    Cell* blk = stack::push_cell();
    block::make_at(blk, 2);
    Cell one{type::integer, 0, 1, 0};
    block::append_value(blk, &one);
    block::append_value(blk, &v);
    for (bool compact : {true, false}) {
      try {
        encoded(*blk, compact);
        ADD_FAILURE() << "type " << v.type() << " was encoded";
      } catch (const LanguageError& e) {
        EXPECT_EQ(e.category, ErrorCategory::access);
        EXPECT_STREQ(e.id, "no-codec");
      }
    }
  }
}

// ---- Boot mode --------------------------------------------------------------------------------

// A compact boot blob with the symbols given and the records.
Bytes boot_blob(std::initializer_list<const char*> symbols, const Bytes& records) {
  Bytes names, offsets;
  for (const char* s : symbols) {
    u32 at = u32(names.size());
    for (int k = 0; k < 4; ++k) offsets.push_back(u8(at >> (8 * k)));
    names.insert(names.end(), s, s + std::strlen(s) + 1);
  }
  Bytes b = {'K', 'I', 'V', 'B', 'I', 'N', 1, u8(kivbin::flag::compact | kivbin::flag::symbols), 1,
             u8(records.size()), u8(symbols.size()), u8(names.size())};
  b.insert(b.end(), offsets.begin(), offsets.end());
  b.insert(b.end(), names.begin(), names.end());
  b.insert(b.end(), records.begin(), records.end());
  return b;
}

Cell global_value(const char* name) {
  Cell w = word::load(name);
  return *word::get_value(&w);
}

TEST_F(Kivbin, BootDataDefinesWordsBindsThroughRootsAndNumbersLiterals) {
  // Roots: an object [kb-field: 0]; then definitions: kb-field (bound through root 0, looked up by
  // symbol) set to 5, the global kb-global set to 7; then the literal 9 and a word bound to
  // root 0's second field by index.
  Bytes records = {0x20, 0x00, 0x0E, 0x0A, 0x02, 0x00, 0x02,  // object!: class 0, a self context of 2 words
                   0xC4, 0x4F, 0x00, 0x00, 0x01,              // define kb-field (root 0, index -1)
                   0x85,                                      // ... to 5
                   0xC4, 0x0F, 0x01,                          // define kb-global (global)
                   0x87,                                      // ... to 7
                   0x89,                                      // the literal 9
                   0x4F, 0x02, 0x00, 0x02};                   // kb-other, bound to root 0 at index 1
  Bytes blob = boot_blob({"kb-field", "kb-global", "kb-other"}, records);
  Cell& target = decoded(blob, kivbin::Mode::boot);
  ASSERT_EQ(cells(target), 3) << "the object, the literal and the word: definitions leave nothing";
  Cell obj = cell_at(target, 0);
  ASSERT_EQ(obj.type(), type::object);
  EXPECT_EQ(object::class_of(&obj), 0) << "the boot data keeps class ids";
  EXPECT_EQ(context::values_of(Ref<Node>(obj.w1))[0].as_int(), 5);
  EXPECT_EQ(global_value("kb-global").as_int(), 7);
  EXPECT_EQ(cell_at(target, 1).as_int(), 9);
  Cell w = cell_at(target, 2);
  EXPECT_EQ(w.w1, obj.w1);
  EXPECT_EQ(i32(w.w3), 1);

  // The same blob as the boot data: the literal base is its first literal in the root block.
  kivbin::decode_boot_data(blob.data(), blob.size());
  EXPECT_EQ(kivbin::literal_at(0)->type(), type::object);
  EXPECT_EQ(kivbin::literal_at(1)->as_int(), 9);
  EXPECT_EQ(kivbin::literal_at(2)->type(), type::word);
}

TEST_F(Kivbin, RootPathsCountFromTheFirstCellTheDecodeAppended) {
  // Two roots: "ab" and a string sharing root 0. The target already holds cells; the path must not
  // reach them, in either mode.
  Bytes blob = {'K', 'I', 'V', 'B', 'I', 'N', 2, kivbin::flag::compact, 1, 8,
                0x07, 0x08, 'a', 'b', 0xC1, 0x07, 0x01, 0x00};
  for (auto mode : {kivbin::Mode::user, kivbin::Mode::boot}) {
    Cell* target = stack::push_cell();
    block::make_at(target, 4);
    Cell filler;
    RootCell keep(filler);
    string::make_from_utf8(&filler, "old");
    block::append_value(target, &filler);
    block::append_value(target, &filler);
    EXPECT_EQ(kivbin::decode(blob.data(), blob.size(), target, mode), 2);
    ASSERT_EQ(cells(*target), 4);
    Cell shared = cell_at(*target, 3);
    EXPECT_EQ(shared.w2, cell_at(*target, 2).w2);
    EXPECT_EQ(string::to_utf8(&shared), "ab");
  }
}

TEST_F(Kivbin, BootModeEndsTheProcessOnDataThatIsNotKivbin) {
  const Bytes not_kivbin = {'K', 'I', 'V', 'B', 'I', 'X', 1, 1, 1, 1, 0x80};
  const Bytes corrupted = {'K', 'I', 'V', 'B', 'I', 'N', 1, 3, 0, 0, 0, 0, 9, 0, 0, 0};
  // The messages go to standard output: the death test reads standard error.
  auto boot = [](const Bytes& b) {
    dup2(2, 1);
    kivbin::decode_boot_data(b.data(), b.size());
  };
  EXPECT_EXIT(boot(not_kivbin), ::testing::ExitedWithCode(0), "Error: Not a Kivbin file!");
  EXPECT_EXIT(boot(corrupted), ::testing::ExitedWithCode(0), "Error: Kivbin compressed data corrupted!");
}

// ---- Fixed-form doubles, symbol lookup ------------------------------------------------------------

TEST_F(Kivbin, FixedFormReadsDoublesAtAnyAlignment) {
  // [1 1.5] without the padding word before the float: the double is not 8-aligned in the records.
  const Bytes fixed = {'K', 'I', 'V', 'B', 'I', 'N', 2, 0, 1, 0, 0, 0, 32, 0, 0, 0,
                       5, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 11, 0, 0, 0, 1, 0, 0, 0,
                       12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F};
  // Each start address: the reader must not care where the buffer lies either.
  for (std::size_t shift = 0; shift < 8; ++shift) {
    Bytes buffer(shift, 0);
    buffer.insert(buffer.end(), fixed.begin(), fixed.end());
    Cell* out = stack::push_cell();
    block::make_at(out, 1);
    kivbin::decode(buffer.data() + shift, fixed.size(), out, kivbin::Mode::user);
    Cell blk = cell_at(*out, 0);
    ASSERT_EQ(cells(blk), 2);
    EXPECT_EQ(cell_at(blk, 1).as_double(), 1.5);
  }
}

TEST_F(Kivbin, SymbolLookupStaysLinear) {
  // Distinct words: a search through the symbols written so far would take 16 times as long for 4
  // times as many words. (Timings mean nothing when every allocation collects.)
  if (collector::torture_every) GTEST_SKIP();
  auto seconds_for = [](i32 n) {
    Cell* blk = stack::push_cell();
    block::make_at(blk, n);
    for (i32 i = 0; i < n; ++i) {
      Cell w{type::unset, 0, 0, 0};
      word::make_at(symbol::make("kb-sym-" + std::to_string(i)), &w);
      block::append_value(blk, &w);
    }
    auto t0 = std::chrono::steady_clock::now();
    Bytes out = encoded(*blk, true);
    std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    Cell& back = decoded(out);
    EXPECT_EQ(cells(cell_at(back, 0)), n);
    return d.count();
  };
  seconds_for(1000);  // warm up
  double small = seconds_for(20000), large = seconds_for(80000);
  EXPECT_LT(large, small * 8 + 0.05) << small << " s for 20,000 words, " << large << " s for 80,000";
}

}  // namespace
