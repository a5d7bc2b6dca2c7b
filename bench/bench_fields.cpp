// Field renderers and parsers against the standard conversions, on the values
// a DOSCAR holds: densities with 4 significant digits between 1e-8 and 1e3 in
// size, either sign, and energies between -30 and 30.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "textio/textio.h"

namespace {

constexpr std::size_t kCount = 4096;  // a power of two: index with a mask

// Decimal texts converted as a reader would: the nearest doubles.
std::vector<double> make_values(bool energies) {
  std::mt19937_64 rng(12345);
  std::vector<double> vs;
  char text[32];
  for (std::size_t i = 0; i < kCount; ++i) {
    const long digits = static_cast<long>(rng() % 9000) + 1000;
    const char* sign = rng() % 2 ? "-" : "";
    if (energies)
      std::snprintf(text, sizeof text, "%s%ld.%03ld", sign, digits % 30, digits % 1000);
    else
      std::snprintf(text, sizeof text, "%s0.%lde%d", sign, digits,
                    static_cast<int>(rng() % 12) - 7);
    // Energies are written shifted by the Fermi energy.
    vs.push_back(std::strtod(text, nullptr) - (energies ? 5.43217 : 0.0));
  }
  return vs;
}

const std::vector<double>& densities() {
  static const std::vector<double> vs = make_values(false);
  return vs;
}

const std::vector<double>& energies() {
  static const std::vector<double> vs = make_values(true);
  return vs;
}

// The densities as E12.4 fields, and where each field's number starts.
struct Fields {
  std::vector<std::string> text;
  std::vector<std::size_t> body;
};

const Fields& fields() {
  static const Fields f = [] {
    Fields r;
    for (double v : densities()) {
      std::string s(12, ' ');
      pds::put_e(s.data(), v, 12, 4);
      r.body.push_back(s.find_first_not_of(' '));
      r.text.push_back(std::move(s));
    }
    return r;
  }();
  return f;
}

void BM_put_e_12_4(benchmark::State& state) {
  const auto& vs = densities();
  char buf[16];
  std::size_t i = 0;
  for (auto _ : state) {
    pds::put_e(buf, vs[i++ & (kCount - 1)], 12, 4);
    benchmark::DoNotOptimize(buf);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_to_chars_scientific_3(benchmark::State& state) {
  const auto& vs = densities();
  char buf[32];
  std::size_t i = 0;
  for (auto _ : state) {
    std::to_chars(buf, buf + sizeof buf, vs[i++ & (kCount - 1)], std::chars_format::scientific, 3);
    benchmark::DoNotOptimize(buf);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_snprintf_3e(benchmark::State& state) {
  const auto& vs = densities();
  char buf[32];
  std::size_t i = 0;
  for (auto _ : state) {
    std::snprintf(buf, sizeof buf, "%.3e", vs[i++ & (kCount - 1)]);
    benchmark::DoNotOptimize(buf);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_put_f_11_3(benchmark::State& state) {
  const auto& vs = energies();
  char buf[16];
  std::size_t i = 0;
  for (auto _ : state) {
    pds::put_f(buf, vs[i++ & (kCount - 1)], 11, 3);
    benchmark::DoNotOptimize(buf);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_parse_real_12(benchmark::State& state) {
  const auto& f = fields();
  std::size_t i = 0;
  double v;
  for (auto _ : state) {
    pds::parse_real(f.text[i++ & (kCount - 1)], 4, v);
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
}

// from_chars gets the number alone, the leading blanks already skipped.
void BM_from_chars_12(benchmark::State& state) {
  const auto& f = fields();
  std::size_t i = 0;
  double v;
  for (auto _ : state) {
    const std::size_t k = i++ & (kCount - 1);
    const std::string& s = f.text[k];
    std::from_chars(s.data() + f.body[k], s.data() + s.size(), v);
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_put_e_12_4);
BENCHMARK(BM_to_chars_scientific_3);
BENCHMARK(BM_snprintf_3e);
BENCHMARK(BM_put_f_11_3);
BENCHMARK(BM_parse_real_12);
BENCHMARK(BM_from_chars_12);

}  // namespace

BENCHMARK_MAIN();
