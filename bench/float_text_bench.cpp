// Float text in both directions: mold text (shortest digits) of random doubles and reading it
// back, with the C library's printf("%.17g") and strtod beside them on the same values.
// Counter: items_per_second = conversions per second.
#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/float_text.h"

namespace {

namespace ft = kiv::float_text;

// Doubles from random bit patterns (every binade), and "everyday" ones with few digits.
const std::vector<double>& values(bool everyday) {
  static std::vector<double> wide, plain;
  if (wide.empty()) {
    std::mt19937_64 rng(42);
    while (wide.size() < 4096) {
      double x = std::bit_cast<double>(rng());
      if (std::isfinite(x)) wide.push_back(x);
    }
    for (int i = 0; i < 4096; ++i) plain.push_back(static_cast<double>(rng() % 100000) / 100.0);
  }
  return everyday ? plain : wide;
}

const std::vector<std::string>& texts(bool everyday) {
  static std::vector<std::string> t[2];
  auto& out = t[everyday];
  if (out.empty())
    for (double x : values(everyday)) out.emplace_back(ft::form_float(x, 0, true));
  return out;
}

void BM_FormFloat(benchmark::State& state) {
  const auto& v = values(state.range(0));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ft::form_float(v[i++ & 4095], 0, true));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormFloat)->Arg(0)->Arg(1)->ArgName("everyday");

void BM_Printf17g(benchmark::State& state) {
  const auto& v = values(state.range(0));
  char buf[40];
  size_t i = 0;
  for (auto _ : state) {
    std::snprintf(buf, sizeof buf, "%.17g", v[i++ & 4095]);
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Printf17g)->Arg(0)->Arg(1)->ArgName("everyday");

void BM_ToCstringFloat64(benchmark::State& state) {
  const auto& v = values(false);
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ft::to_cstring(v[i++ & 4095], ft::kind::float64, true));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ToCstringFloat64);

void BM_ParseDecimal(benchmark::State& state) {
  const auto& t = texts(state.range(0));
  size_t i = 0;
  int status;
  for (auto _ : state) {
    const std::string& s = t[i++ & 4095];
    benchmark::DoNotOptimize(ft::parse_decimal(s.data(), s.data() + s.size(), 0, status));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseDecimal)->Arg(0)->Arg(1)->ArgName("everyday");

void BM_Strtod(benchmark::State& state) {
  const auto& t = texts(state.range(0));
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(std::strtod(t[i++ & 4095].c_str(), nullptr));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Strtod)->Arg(0)->Arg(1)->ArgName("everyday");

}  // namespace

BENCHMARK_MAIN();
