// The dataset core: states on the common grid, broadening, descriptors on a
// run's own points, INCAR settings and the causes of read failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

#include "collect/collect.h"
#include "vaspout/vaspout.h"

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
  double cbm, vbm;  // NaN: undefined
};

// pymatgen's get_cbm_vbm: the zero window around E_F, its edge points; in
// a metal the points around E_F the other way round.
TEST(CollectDescriptors, BandEdges) {
  const double nan = std::nan("");
  const EdgeRow rows[] = {
      {"gap", {1, 1, 1, 1, 0, 0, 0, 1, 1, 1}, 4.5, 6.0, 4.0},
      {"gap, E_F on a point", {1, 1, 1, 1, 0, 0, 0, 1, 1, 1}, 5.0, 6.0, 4.0},
      {"metal", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 4.5, 4.0, 5.0},
      {"E_F above the last point", {1, 1, 0}, 2.0, nan, nan},
  };
  for (const EdgeRow& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<double> e;
    for (std::size_t k = 0; k < r.y.size(); ++k) e.push_back(static_cast<double>(k));
    const auto [cbm, vbm] =
        pc::cbm_vbm(e.data(), r.y.data(), static_cast<std::int64_t>(e.size()), r.efermi, 0.001);
    if (std::isnan(r.cbm)) {
      EXPECT_TRUE(std::isnan(cbm) && std::isnan(vbm));
    } else {
      EXPECT_EQ(cbm, r.cbm);
      EXPECT_EQ(vbm, r.vbm);
    }
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

struct CauseRow {
  int number, unit, os_error;
  std::int64_t line;
  const char* cause;  // detail().cause of a byte source
  const char* text;
  const char* want;
};

TEST(CollectFailures, Causes) {
  const CauseRow rows[] = {
      {29, pds::kUnitDoscar, ENOENT, 0, "", "", "no-doscar"},
      {9, pds::kUnitDoscar, EACCES, 0, "", "", "permission"},
      {39, pds::kUnitDoscar, EIO, 0, "", "", "os-error"},
      {24, pds::kUnitDoscar, 0, 310, "", "ends", "truncated"},
      {24, pds::kUnitDoscar, 0, 40, "the gzip data ends early", "", "truncated"},
      {24, pds::kUnitDoscar, 0, 1, "", "x has no projected DOS (line 1", "no-pdos"},
      {64, pds::kUnitDoscar, 0, 9, "", "", "not-a-number"},
      {64, pds::kUnitDoscar, 0, 9, "the xz data is corrupt", "", "corrupt-compressed"},
      {62, pds::kUnitDoscar, 0, 7, "", "", "not-vasp-layout"},
      {66, pds::kUnitDoscar, 0, 7, "", "", "too-many-values"},
      {1, pds::kUnitDoscar, 0, 7, "", "", "unknown-columns"},
      {1, pds::kUnitDoscar, 0, 308, "", "36 values", "unknown-columns"},
      {1, pds::kUnitDoscar, 0, 308, "", "16 values; no INCAR beside it", "ambiguous-columns"},
      {1, pds::kUnitDoscar, 0, 6, "", "", "no-grid-points"},
      {1, pds::kUnitDoscar, 0, 0, "", "atom 9 is not in", "atom-not-in-file"},
      {1, 12, 0, 0, "", "POSCAR has 3 atoms", "structure-mismatch"},
      {1, 12, 0, 6, "", "", "bad-structure"},
      {1, pds::kUnitOutput, 0, 0, "", "", "refused-output"},
      {1, pds::kUnitVaspout, 0, 0, "", "v.h5: is not an HDF5 file", "not-hdf5"},
      {1, pds::kUnitVaspout, 0, 0, "", "v.h5: has no results/electron_dos", "no-dos"},
      {1, pds::kUnitVaspout, 0, 0, "", "v.h5: this build was built without HDF5", "no-hdf5"},
      {1, pds::kUnitVaspout, 0, 0, "", "v.h5: dospar has 7 projectors", "unknown-columns"},
  };
  for (const CauseRow& r : rows) {
    pds::Failure f(r.number, r.unit, "DOSCAR", r.os_error);
    f.detail().line = r.line;
    f.detail().cause = r.cause;
    f.detail().text = r.text;
    EXPECT_EQ(pc::failure_cause(f), r.want) << r.number << " " << r.text;
  }
}

}  // namespace
