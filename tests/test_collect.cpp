// The dataset core: states on the common grid, broadening, descriptors on a
// run's own points, INCAR settings and the causes of read failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "collect/collect.h"
#include "doscar/doscar.h"
#include "gzip_data.h"

namespace {

namespace pc = pds::collect;

// The integral over [x1, x2] of y, linear between the points: each piece's
// overlap with [x1, x2] by the trapezoid of its interpolated ends.
double exact_states(const std::vector<double>& e, const std::vector<double>& y, double x1,
                    double x2) {
  double s = 0.0;
  for (std::size_t k = 0; k + 1 < e.size(); ++k) {
    const double a = std::max(x1, e[k]), b = std::min(x2, e[k + 1]);
    if (b <= a) continue;
    auto at = [&](double x) { return y[k] + (y[k + 1] - y[k]) * (x - e[k]) / (e[k + 1] - e[k]); };
    s += (b - a) * (at(a) + at(b)) / 2;
  }
  return s;
}

// A run's points from lo in steps of h, with an irregular positive DOS.
void run_points(int n, double lo, double h, std::vector<double>& e, std::vector<double>& y) {
  e.clear(), y.clear();
  for (int k = 0; k < n; ++k) {
    e.push_back(lo + h * k);
    y.push_back(1.0 + std::sin(1.7 * k) * std::sin(1.7 * k) + (k % 7 == 3 ? 5.0 : 0.0));
  }
}

struct GridRow {
  const char* name;
  int points;
  double lo, h;  // the run's points
  pc::Grid grid;
  double shift;
};

// Bins wholly inside the run's window hold states; the others are NaN. Any
// window of valid bins holds the run's states over it.
TEST(CollectGrid, StatesConservedOverWindows) {
  const GridRow rows[] = {
      {"same step, shifted", 101, -5.0, 0.1, {-4.0, 4.0, 0.1}, 0.037},
      {"finer: empty bins", 101, -5.0, 0.1, {-4.5, 4.5, 0.013}, 0.0},
      {"coarser", 101, -5.0, 0.1, {-4.0, 4.0, 0.37}, -0.21},
      {"straddles both ends", 101, -5.0, 0.1, {-6.0, 6.0, 0.3}, 0.05},
      {"two points", 2, -1.0, 2.0, {-1.5, 1.5, 0.25}, 0.0},
      {"grid beyond the window", 11, 0.0, 0.1, {2.0, 3.0, 0.1}, 0.0},
  };
  for (const GridRow& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<double> e, y, work;
    run_points(r.points, r.lo, r.h, e, y);
    const std::int64_t nb = r.grid.bins();
    std::vector<double> out(static_cast<std::size_t>(nb));
    pc::bin_dos(e.data(), y.data(), r.points, r.grid, r.shift, out.data(), work);
    std::int64_t first = -1, last = -1;
    for (std::int64_t i = 0; i < nb; ++i) {
      const double a = r.grid.edge(i) + r.shift, b = r.grid.edge(i + 1) + r.shift;
      const bool inside = a >= e.front() - 1e-12 && b <= e.back() + 1e-12;
      ASSERT_EQ(std::isnan(out[i]), !inside) << "bin " << i;
      if (inside && first < 0) first = i;
      if (inside) last = i;
    }
    if (first < 0) continue;  // no bin inside: every one NaN
    // Every valid window starting and ending at a few places.
    for (std::int64_t i = first; i <= last; i += std::max<std::int64_t>(1, (last - first) / 5)) {
      for (std::int64_t j = i; j <= last; j += std::max<std::int64_t>(1, (last - i) / 4)) {
        double sum = 0.0;
        for (std::int64_t k = i; k <= j; ++k) sum += out[k] * r.grid.step;
        const double want =
            exact_states(e, y, r.grid.edge(i) + r.shift, r.grid.edge(j + 1) + r.shift);
        EXPECT_NEAR(sum, want, 1e-11 * std::max(1.0, want)) << "bins " << i << "-" << j;
      }
    }
  }
}

// One rule for the bin count (rounded, a half up) and the kernel (ceil).
TEST(CollectGrid, BinAndKernelCounts) {
  EXPECT_EQ((pc::Grid{-10, 10.25, 0.5}.bins()), 41);
  EXPECT_EQ((pc::Grid{0, 1.7, 1}.bins()), 2);
  EXPECT_EQ((pc::Grid{0, 2e5, 1}.bins()), 200000);
  EXPECT_EQ((pc::Grid{0, 200001, 1}.bins()), 0);
  EXPECT_EQ(pc::kernel_bins(0.05, 0.105), 11);  // 10.5 bins
  EXPECT_EQ(pc::kernel_bins(0.05, INFINITY), pc::kMaxKernel + 1);
  std::vector<double> v(8, 1.0), work;
  pc::broaden(v.data(), 8, 0.05, INFINITY, work);  // nothing allocated, every bin NaN
  EXPECT_TRUE(std::isnan(v[0]) && std::isnan(v[7]));
}

// Refused before any run is read, naming the limit; a run given them
// directly fails alone.
TEST(CollectOptions, BoundedBeforeAnyRunIsRead) {
  pc::Options o;
  o.grid = {-10, 10.25, 0.5}, o.sigma = 49;  // kernel 4900 bins: (41 + 9800) * 4900
  EXPECT_NO_THROW(pc::check_options(o));
  o.grid = {-10, 10, 0.05}, o.sigma = 49.01;  // 4901 bins: (400 + 9802) * 4901
  EXPECT_THROW(pc::check_options(o), std::invalid_argument);
  o.sigma = INFINITY;
  EXPECT_EQ(pc::collect_run("/nonexistent", o).error_message.substr(0, 22),
            "sigma: a finite number");
  o.sigma = 0, o.gap_tol = std::nan("");
  EXPECT_EQ(pc::collect_run("/nonexistent", o).error_cause, "bad-options");
  o.gap_tol = 0, o.grid = {-1, 1, 1e-7};
  EXPECT_NE(pc::collect_run("/nonexistent", o).error_message.find("1 to 200000 bins"),
            std::string::npos);
}

// The mass of each bin spreads symmetrically, adds up to what it was, and a
// bin whose kernel reaches a NaN or the end of the array is NaN.
TEST(CollectGrid, BroadeningKeepsStates) {
  const double step = 0.05, sigma = 0.1;
  const std::int64_t half = pc::kernel_bins(step, sigma);
  ASSERT_EQ(half, 10);
  std::vector<double> v(60, 0.0), work;
  v[30] = 1.0, v[33] = 2.0;
  pc::broaden(v.data(), 60, step, sigma, work);
  double sum = 0.0;
  for (std::int64_t i = half; i < 60 - half; ++i) sum += v[i];
  EXPECT_NEAR(sum, 3.0, 1e-14);
  EXPECT_TRUE(std::isnan(v[half - 1]) && std::isnan(v[60 - half]) && !std::isnan(v[half]));
  EXPECT_GT(v[31], v[29]);  // nearer the larger peak
  std::vector<double> w(60, 1.0);
  w[5] = std::nan("");
  w[30] = 0.0;
  pc::broaden(w.data(), 60, step, sigma, work);
  EXPECT_TRUE(std::isnan(w[15]));   // its kernel reaches bin 5
  EXPECT_FALSE(std::isnan(w[16]));  // its kernel does not
  EXPECT_DOUBLE_EQ(w[40], w[20]);   // the hole at 30 reaches both alike
  EXPECT_LT(w[30], 1.0);
  std::vector<double> same{1.0, 2.0};
  pc::broaden(same.data(), 2, step, 0.0, work);
  EXPECT_EQ(same, (std::vector<double>{1.0, 2.0}));
}

struct EdgeRow {
  const char* name;
  std::vector<double> y;  // at energies 0, 1, 2, ...
  double efermi;
  double pm_cbm, pm_vbm;  // pymatgen's get_cbm_vbm
  double vbm, cbm, gap;   // band_edges(); NaN: undefined
};

// pymatgen's rule: the zero window around the first point above E_F; in a
// metal the points around E_F the other way round; numpy's -1 (the last
// point) where the walk ends before the first point. band_edges(): the
// empty run around E_F (E_F up to a step below its occupied edge).
TEST(CollectDescriptors, BandEdges) {
  const double nan = std::nan("");
  const std::vector<double> nacl{2, 2, 2, 0.23, 0, 0, 0, 0, 1.5, 1.5};
  const std::vector<double> gap{1, 1, 1, 1, 0, 0, 0, 1, 1, 1};
  const EdgeRow rows[] = {
      {"gap", gap, 4.5, 6, 4, 4, 6, 2},
      {"E_F on the first point above", gap, 7.0, 7, 8, nan, nan, 0},
      {"E_F a step below it", nacl, 2.0, 2, 3, 4, 7, 3},
      {"E_F more than a step below: a metal", nacl, 1.9, 1, 2, nan, nan, 0},
      {"E_F below the first point: cbm the last", {1, 1, 0}, -0.5, 2, 0, nan, nan, nan},
      {"empty up to the last point", {1, 1, 0, 0}, 1.5, 3, 2, 2, nan, nan},
      {"the gap of E_F, not the one above", {1, 0, 0, 1, 0, 0, 1}, 1.5, 2, 1, 1, 2, 1},
  };
  auto same = [](double got, double want) {
    return std::isnan(want) ? std::isnan(got) : got == want;
  };
  for (const EdgeRow& r : rows) {
    std::vector<double> e;
    for (std::size_t k = 0; k < r.y.size(); ++k) e.push_back(static_cast<double>(k));
    const auto n = static_cast<std::int64_t>(e.size());
    const auto [cbm, vbm] = pc::cbm_vbm(e.data(), r.y.data(), n, r.efermi, 0.001);
    const pc::BandEdges got = pc::band_edges(e.data(), r.y.data(), n, r.efermi, 0.001);
    EXPECT_TRUE(same(cbm, r.pm_cbm) && same(vbm, r.pm_vbm)) << r.name << ": " << cbm << " " << vbm;
    EXPECT_TRUE(same(got.vbm, r.vbm) && same(got.cbm, r.cbm) && same(got.gap, r.gap))
        << r.name << ": " << got.vbm << " " << got.cbm << " " << got.gap;
  }
}

TEST(CollectDescriptors, ValuesIntegralsAndMoments) {
  const std::vector<double> e{-2, -1, 0, 1, 2}, y{0, 1, 2, 1, 0};
  EXPECT_DOUBLE_EQ(pc::value_at(e.data(), y.data(), 5, -0.25), 1.75);
  EXPECT_TRUE(std::isnan(pc::value_at(e.data(), y.data(), 5, -2.0)));  // first point
  EXPECT_TRUE(std::isnan(pc::value_at(e.data(), y.data(), 5, 2.5)));
  EXPECT_DOUBLE_EQ(pc::integral_to(e.data(), y.data(), 5, 2.0), 4.0);
  EXPECT_DOUBLE_EQ(pc::integral_to(e.data(), y.data(), 5, -1.5), 0.125);
  EXPECT_TRUE(std::isnan(pc::integral_to(e.data(), y.data(), 5, 2.01)));
  // A symmetric band around 0: centre 0, no skew; the range drops the tails.
  std::vector<double> work;
  const pc::Moments m = pc::band_moments(e.data(), y.data(), 5, 0.0, -10.0, 10.0, work);
  EXPECT_NEAR(m.centre, 0.0, 1e-15);
  EXPECT_NEAR(m.skewness, 0.0, 1e-15);
  EXPECT_DOUBLE_EQ(m.width, std::sqrt(0.5));  // 2 / 4
  EXPECT_DOUBLE_EQ(m.filling, 0.125);         // over the points below 0 only: -2 and -1
  // Filling within the range too: points -1.5 ... 1.5 relative (DOS 1 2 1 0),
  // 1.5 states below E_F of 3.5 (over every point: 2 of 4).
  const pc::Moments ranged = pc::band_moments(e.data(), y.data(), 5, 0.5, -2.0, 10.0, work);
  EXPECT_DOUBLE_EQ(ranged.filling, 1.5 / 3.5);
  const pc::Moments shifted = pc::band_moments(e.data(), y.data(), 5, 1.0, -1.5, 10.0, work);
  EXPECT_DOUBLE_EQ(shifted.centre, -0.5);  // points -1, 0, 1 relative: DOS 2, 1, 0
  const pc::Moments empty = pc::band_moments(e.data(), y.data(), 5, 0.0, 5.0, 6.0, work);
  EXPECT_TRUE(std::isnan(empty.centre) && std::isnan(empty.width));
}

TEST(CollectIncar, SixSettings) {
  const std::string incar =
      "SYSTEM = Fe # ISPIN = 1 in a comment\n"
      "  ispin=2 ; LORBIT = 11 ! l,m\n"
      "NEDOS = 3001\r\n"
      "ISMEAR = -5; SIGMA = 0.05 ; LSORBIT = .TRUE.\n"
      "ISPIN = 1\n"
      "MAGMOM = 5*1.0";
  const std::vector<std::pair<std::string, std::string>> want{
      {"ISPIN", "1"},    {"LORBIT", "11"}, {"LSORBIT", ".TRUE."},
      {"NEDOS", "3001"}, {"ISMEAR", "-5"}, {"SIGMA", "0.05"}};
  EXPECT_EQ(pc::incar_settings(incar), want);
  EXPECT_TRUE(pc::incar_settings("# nothing\n\nENCUT = 520").empty());
}

// The lines of the 4-atom sample (10 points: atom k's data lines 18 + 11(k-1)
// to 27 + 11(k-1)), LF-terminated, and a text made of them.
std::vector<std::string> sample_lines() {
  std::ifstream in(PDSPLIT_SAMPLES "/nonspin-lm-4atoms-nedos10.DOSCAR");
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l + "\n");
  return lines;
}
std::string joined(const std::vector<std::string>& lines, std::size_t first, std::size_t n) {
  std::string out;
  for (std::size_t k = first; k < first + n && k < lines.size(); ++k) out += lines[k];
  return out;
}

struct ReadCauseRow {
  const char* name;
  std::string text, file = "run/DOSCAR";
  std::vector<std::int64_t> atoms;  // kept; empty: all
  int number;
  const char* cause;
  const char* words;  // of the message
};

// Each refusal of the reader carries its cause, whatever words the message
// holds (file names that read like another refusal).
TEST(CollectFailures, CausesCarriedByTheRefusal) {
  const std::vector<std::string> l = sample_lines();
  const std::string all = joined(l, 0, l.size()), nul(3000, '\0');
  auto with = [&](std::size_t line, std::string text) {
    std::vector<std::string> m = l;
    m[line - 1] = std::move(text);
    return joined(m, 0, m.size());
  };
  std::string lines45 = joined(l, 0, 44), flag0 = l[0];
  flag0.replace(8, 4, "   0");
  const ReadCauseRow rows[] = {
      {"cut after the E of a number",
       lines45 + l[44].substr(0, 32),
       {},
       {},
       64,
       "truncated",
       "ends inside line 45, in the number"},
      {"cut after E-",
       lines45 + l[44].substr(0, 23) + "  0.1000E-",
       {},
       {},
       64,
       "truncated",
       "'0.1000E-' at columns 24-35 (in the block of atom 3; a complete file has 60 lines)"},
      {"a damaged last field",
       with(60, l[59].substr(0, 107) + "  0.1x00E+00\n"),
       {},
       {},
       64,
       "not-a-number",
       "'0.1x00E+00' is not a number"},
      {"NUL bytes after column 23",
       lines45 + l[44].substr(0, 23) + nul,
       {},
       {},
       24,
       "truncated",
       "ends inside line 45, after column 23"},
      {"NUL bytes from line 30 on",
       joined(l, 0, 29) + nul,
       {},
       {},
       24,
       "truncated",
       "ends at line 29, inside the block of atom 2"},
      {"only NUL bytes", nul, {}, {}, 24, "truncated", "holds only NUL bytes"},
      {"NUL bytes amid a line",
       with(12, l[11].substr(0, 15) + '\0' + l[11].substr(16)),
       {},
       {},
       64,
       "not-a-number",
       "\\x00"},
      {"a NUL byte in line 3",
       with(3, std::string("ab\0cd\n", 6)),
       {},
       {},
       1,
       "not-text",
       "line 3 is not text"},
      {"a line of 2 MiB",
       with(2, std::string(2 << 20, ' ') + "\n"),
       {},
       {},
       1,
       "not-text",
       "line 2 is not text"},
      {"a blank data line", with(8, "   \n"), {}, {}, 24, "truncated", "line 8 is blank"},
      {"a data line of CR alone", with(8, "\r\r\n"), {}, {}, 24, "truncated", "line 8 is blank"},
      {"11 values per atom, in a folder named like another refusal",
       with(18, l[17].substr(0, l[17].size() - 1) + "  0.1E+01  0.1E+01\n"),
       "no INCAR beside it tells which/DOSCAR",
       {},
       1,
       "unknown-columns",
       "11 values"},
      {"no grid points",
       with(6, l[5].substr(0, 32) + "    0" + l[5].substr(37)),
       {},
       {},
       1,
       "no-grid-points",
       "grid points"},
      {"an atom not in the file", all, {}, {9}, 1, "atom-not-in-file", "atom 9 is not in"},
      {"atoms asked of a file without projected DOS",
       flag0 + joined(l, 1, 15),
       {},
       {1},
       24,
       "no-pdos",
       "has no projected DOS"},
      {"cut, in a folder named like another refusal",
       joined(l, 0, 30),
       "has no projected DOS (line 1/DOSCAR",
       {},
       24,
       "truncated",
       "ends at line 30"},
      {"gzip data cut", pds::gzip(all).substr(0, 400), {}, {}, 24, "truncated", "ends early"},
  };
  for (const ReadCauseRow& r : rows) {
    SCOPED_TRACE(r.name);
    pds::ReadOptions o;
    if (!r.atoms.empty()) o.kept = &r.atoms;
    try {
      pds::read_doscar(pds::memory_source(r.text.data(), r.text.size()), r.file, o);
      ADD_FAILURE() << "read";
    } catch (const pds::Failure& f) {
      EXPECT_EQ(f.number(), r.number);
      EXPECT_EQ(pc::failure_cause(f), r.cause);
      EXPECT_NE(f.detail().text.find(r.words), std::string::npos) << f.detail().text;
      EXPECT_EQ(f.detail().text.find('\0'), std::string::npos);
    }
  }
}

struct CauseRow {
  int number, unit, os_error;
  const char* text;
  const char* want;
};

// A failure that carries no cause is told by its number (and OS error)
// alone, never by the words of its message.
TEST(CollectFailures, CausesOfFailuresWithoutOne) {
  const CauseRow rows[] = {
      {29, pds::kUnitDoscar, ENOENT, "", "no-doscar"},
      {9, pds::kUnitDoscar, EACCES, "", "permission"},
      {24, pds::kUnitDoscar, 0, "x has no projected DOS (line 1", "truncated"},
      {64, pds::kUnitDoscar, 0, "", "not-a-number"},
      {1, pds::kUnitDoscar, 0, "16 values; no INCAR beside it", "failure"},
      {1, pds::kUnitOutput, 0, "", "refused-output"},
  };
  for (const CauseRow& r : rows) {
    pds::Failure f(r.number, r.unit, "DOSCAR", r.os_error);
    f.detail().text = r.text;
    EXPECT_EQ(pc::failure_cause(f), r.want) << r.number << " " << r.text;
  }
}

}  // namespace
