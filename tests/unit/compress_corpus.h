// A deterministic corpus for the compression tests, made at run time: text, structured binary,
// random bytes, runs, a mix that alternates compressible and incompressible stretches, and sizes
// around the 1 MiB block size of the boot-data format.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kiv::test {

struct CorpusItem {
  std::string name;
  std::vector<std::uint8_t> data;
  bool big;  // over 1 MiB: the slowest cross-checks skip it
};

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t next() {
    s_ ^= s_ << 13;
    s_ ^= s_ >> 7;
    s_ ^= s_ << 17;
    return s_;
  }
  std::uint32_t below(std::uint32_t n) { return std::uint32_t(next() % n); }

 private:
  std::uint64_t s_;
};

inline void append_text(std::vector<std::uint8_t>& out, std::size_t n, std::uint64_t seed) {
  static const char* const words[] = {
      "the", "of", "and", "a", "to", "in", "is", "you", "that", "it", "he", "was", "for", "on", "are",
      "as", "with", "his", "they", "at", "be", "this", "have", "from", "or", "one", "had", "by",
      "word", "but", "not", "what", "all", "were", "we", "when", "your", "can", "said", "there",
      "block", "series", "value", "function", "argument", "returns", "error", "string", "binary",
      "compression", "memory", "collector", "evaluator", "interpreter", "window", "console",
      "integer", "decimal", "refinement", "context", "object", "native", "action", "datatype",
      "position", "length", "index", "buffer", "result", "output", "input", "header", "table"};
  constexpr std::size_t nwords = sizeof words / sizeof *words;
  Rng r(seed);
  std::size_t line = 0;
  while (out.size() < n) {
    // Zipf-like: small indexes far more often.
    std::size_t i = r.below(nwords);
    i = i * r.below(nwords) / nwords;
    std::string w = words[i];
    if (r.below(20) == 0) w[0] = char(w[0] - 32);
    if (r.below(12) == 0) w += r.below(3) ? "," : ".";
    for (char ch : w) out.push_back(std::uint8_t(ch));
    line += w.size() + 1;
    if (line > 70 + r.below(10)) {
      out.push_back('\n');
      line = 0;
    } else {
      out.push_back(' ');
    }
  }
  out.resize(n);
}

inline void append_random(std::vector<std::uint8_t>& out, std::size_t n, std::uint64_t seed) {
  Rng r(seed);
  for (std::size_t i = 0; i < n; ++i) out.push_back(std::uint8_t(r.next() >> 24));
}

inline void append_binary(std::vector<std::uint8_t>& out, std::size_t n, std::uint64_t seed) {
  Rng r(seed);
  std::uint32_t id = 1000, v = 0;
  std::size_t start = out.size();
  while (out.size() - start < n) {
    // Records of little-endian fields with small deltas, like a table dump.
    id += 1 + r.below(3);
    v += r.below(200) - 100;
    std::uint8_t rec[16] = {std::uint8_t(id), std::uint8_t(id >> 8), std::uint8_t(id >> 16), 0,
                            std::uint8_t(v), std::uint8_t(v >> 8), 0, 0,
                            std::uint8_t(r.below(4)), 0x7F, 0xFF, std::uint8_t(r.below(256)),
                            0, 0, 0x80, 0x3F};
    for (auto b : rec) out.push_back(b);
  }
  out.resize(start + n);
}

inline void append_runs(std::vector<std::uint8_t>& out, std::size_t n, std::uint64_t seed) {
  Rng r(seed);
  std::size_t start = out.size();
  while (out.size() - start < n) {
    std::uint8_t b = std::uint8_t(r.below(4) == 0 ? r.below(256) : 'a' + r.below(3));
    std::size_t len = r.below(5) == 0 ? 1 + r.below(2000) : 1 + r.below(12);
    out.insert(out.end(), len, b);
  }
  out.resize(start + n);
}

// Alternating compressible and incompressible stretches, long enough that block boundaries fall
// at both kinds of data.
inline void append_mixed(std::vector<std::uint8_t>& out, std::size_t n, std::uint64_t seed) {
  Rng r(seed);
  std::size_t start = out.size();
  while (out.size() - start < n) {
    std::size_t len = 20000 + r.below(90000);
    switch (r.below(4)) {
      case 0: append_text(out, out.size() + len, r.next()); break;
      case 1: append_random(out, len, r.next()); break;
      case 2: append_binary(out, len, r.next()); break;
      default: append_runs(out, len, r.next()); break;
    }
  }
  out.resize(start + n);
}

inline std::vector<CorpusItem> make_corpus() {
  std::vector<CorpusItem> c;
  auto add = [&](std::string name, std::vector<std::uint8_t> d) {
    bool big = d.size() > (1u << 20) - 2;
    c.push_back({std::move(name), std::move(d), big});
  };
  add("empty", {});
  add("one byte", {0x42});
  add("abc", {'a', 'b', 'c'});
  std::vector<std::uint8_t> d;
  append_text(d, 150000, 1);
  add("text", d);
  d.clear();
  append_binary(d, 80000, 2);
  add("binary", d);
  d.clear();
  append_random(d, 80000, 3);
  add("random", d);
  d.clear();
  append_runs(d, 100000, 4);
  add("runs", d);
  add("one long run", std::vector<std::uint8_t>(100000, 'z'));
  d.clear();
  append_mixed(d, 300000, 5);
  add("mixed", d);
  for (std::size_t size : {(1u << 20) - 1, 1u << 20, (1u << 20) + 1}) {
    d.clear();
    append_mixed(d, size, 6);
    add("mixed " + std::to_string(size), d);
  }
  return c;
}

}  // namespace kiv::test
