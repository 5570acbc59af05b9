// map! and hash! against a model: random inserts, look-ups and removes of string keys (in random
// case) and integer keys, checked step by step against std::unordered_map keyed by the case-folded
// text. The map takes 10^6 steps and the hash! 2 x 10^5 (each of its removals moves the cells after
// it, and renumbers their index entries); KIV_MODEL_STEPS sets one count for both. Under collector
// torture the runs are short, and one short run always goes under torture.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>

#include "datatypes/block.h"
#include "datatypes/block_search.h"
#include "datatypes/dispatch.h"
#include "datatypes/hash.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/stack.h"
#include "tests/unit/core_fixture.h"

namespace kiv {
namespace {

using test::int_cell;

i32 steps(i32 wanted) {
  if (const char* n = std::getenv("KIV_MODEL_STEPS")) return std::atoi(n);
  return collector::torture_every ? 3000 : wanted;
}

// A key: "k" and a number with its letters in random case, or the number as an integer!.
struct Key {
  std::string text;  // empty for an integer key
  i32 number;
  std::string folded() const {
    if (text.empty()) return "#" + std::to_string(number);
    std::string f = text;
    for (char& c : f) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return f;
  }
};

Key random_key(std::mt19937& rng, i32 space) {
  const i32 n = static_cast<i32>(rng() % static_cast<u32>(space));
  if (rng() % 4 == 0) return {"", n};
  std::string t = "key" + std::to_string(n);
  for (char& c : t)
    if (rng() % 2) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return {t, n};
}

Cell* push_key(const Key& k) {
  if (k.text.empty()) {
    Cell c = int_cell(k.number);
    return stack::push_value(&c);
  }
  return string::make_from_utf8(stack::push_cell(), k.text);
}

class MapHashModel : public ::testing::Test {
 protected:
  void SetUp() override { test::boot_core(); }

  // The map's entries: the key as first stored (a look-up without case keeps it), the value, and
  // whether the entry is live (remove/key leaves the key in place).
  struct Entry {
    std::string spelling;
    i32 value;
    bool live;
  };

  static void run_map(i32 count, u32 seed) {
    std::mt19937 rng(seed);
    std::unordered_map<std::string, Entry> model;
    Cell* m = map::make_at(stack::push_cell(), nullptr, 0);
    Cell* const mark = stack::top;
    const i32 space = std::max(count / 8, 16);
    i32 live = 0;
    for (i32 step = 0; step < count; ++step) {
      stack::top = mark;
      const Key k = random_key(rng, space);
      const std::string f = k.folded();
      auto it = model.find(f);
      Cell* key = push_key(k);
      switch (rng() % 3) {
        case 0: {  // put
          Cell v = int_cell(step);
          Cell* value = stack::push_value(&v);
          actions::get<action::slot::put>(type::map, m)(m, key, value, false);
          if (it == model.end()) {
            model[f] = {k.text.empty() ? f : k.text, step, true};
            ++live;
          } else {
            if (!it->second.live) ++live;
            it->second.value = step;
            it->second.live = true;
          }
          break;
        }
        case 1: {  // select
          Cell* got = actions::get<action::slot::select>(type::map, m)(m, key, nullptr, false, false, false, false,
                                                                        nullptr, nullptr, false, false);
          const bool present = it != model.end() && it->second.live;
          ASSERT_EQ(got->type(), present ? type::integer : type::none) << "step " << step << " key " << k.text;
          if (present) {
            ASSERT_EQ(got->as_int(), it->second.value) << "step " << step;
          }
          break;
        }
        default: {  // remove/key: only the key's own spelling removes it
          actions::get<action::slot::remove>(type::map, m)(m, nullptr, key);
          const bool exact = it != model.end() && (k.text.empty() || it->second.spelling == k.text);
          if (exact && it->second.live) {
            it->second.live = false;
            --live;
          }
          break;
        }
      }
      ASSERT_EQ(map::pair_count(m), live) << "step " << step;
    }
  }

  // hash! of keys: append, find (the first match ignoring case, checked against a scan now and
  // then) and remove of that match.
  static void run_hash(i32 count, u32 seed) {
    std::mt19937 rng(seed);
    std::unordered_map<std::string, i32> model;  // folded key -> occurrences
    Cell* h = hash::make_at(block::push_new(1), block::push_new(1));
    Cell* const mark = stack::top;
    const i32 space = 500;
    for (i32 step = 0; step < count; ++step) {
      stack::top = mark;
      const Key k = random_key(rng, space);
      const std::string f = k.folded();
      Cell* key = push_key(k);
      // Removals slightly outnumber appends, so the block stays short however long the run.
      const u32 op = rng() % 10 < 3 ? 0 : rng() % 10 < 4 ? 1 : 2;
      if (op == 0) {
        block::insert(h, key, -1, false, 1, true);
        ++model[f];
        continue;
      }
      Cell probe = *h;
      Cell* found = stack::push_value(&probe);
      found = block::find(found, key, nullptr, false, false, false, false, nullptr, nullptr, false, false, false,
                          false);
      const i32 expected = model.count(f) ? model[f] : 0;
      ASSERT_EQ(found->type() != type::none, expected > 0) << "step " << step << " key " << k.text;
      if (found->type() == type::none) continue;
      const i32 at = series::head_index(found);
      Cell hit = *block::cell_at(h, at);
      ASSERT_EQ(actions::dispatch_compare(&hit, key, compare_op::find), 0) << "step " << step;
      if (step % 997 == 0) {
        // The index answers the first match: the linear scan agrees.
        i32 first = -1;
        for (i32 i = 0; i < block::length(h) && first < 0; ++i) {
          Cell c = *block::cell_at(h, i);
          if (c.type() == key->type() && actions::dispatch_compare(&c, key, compare_op::find) == 0) first = i;
        }
        ASSERT_EQ(at, first) << "step " << step;
      }
      if (op == 2) {
        series::remove(found, nullptr, nullptr);
        if (--model[f] == 0) model.erase(f);
      }
    }
    i32 total = 0;
    for (auto& [f, n] : model) total += n;
    ASSERT_EQ(block::length(h), total);
  }
};

TEST_F(MapHashModel, MapAgreesWithTheModel) { run_map(steps(1000000), 7); }
TEST_F(MapHashModel, HashAgreesWithTheModel) { run_hash(steps(200000), 11); }

TEST_F(MapHashModel, ShortRunsUnderTorture) {
  test::Torture torture;
  run_map(400, 3);
  run_hash(400, 5);
}

}  // namespace
}  // namespace kiv
