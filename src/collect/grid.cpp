// The common energy grid: states per bin from the DOS taken as linear
// between the file's points, and Gaussian broadening that keeps them.
#include <algorithm>
#include <cmath>
#include <limits>

#include "collect/collect.h"

namespace pds::collect {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Bin edges this close to the file's first or last energy count as on it:
// edges are sums of a step and an alignment energy, which round.
constexpr double kEdgeSlack = 1e-9;

}  // namespace

std::int64_t Grid::bins() const {
  if (!(step > 0.0) || !(emax > emin)) return 0;
  // std::round takes a half away from zero: up, for a positive quotient.
  const double n = std::round((emax - emin) / step);
  return n >= 1.0 && n <= static_cast<double>(kMaxBins) ? static_cast<std::int64_t>(n) : 0;
}

bool bin_inside(const Grid& g, double shift, std::int64_t i, double lo, double hi) {
  return g.edge(i) + shift >= lo - kEdgeSlack && g.edge(i + 1) + shift <= hi + kEdgeSlack;
}

void map_bins(const double* e, std::int64_t n, const Grid& g, double shift, BinMap& m) {
  m.points = n;
  m.bins = g.bins();
  m.step = g.step;
  const auto edges = static_cast<std::size_t>(m.bins + 1);
  m.piece.assign(edges, 0);
  m.dx.assign(edges, 0.0);
  m.t.assign(edges, 0.0);
  m.inside.assign(static_cast<std::size_t>(m.bins), false);
  if (n < 2) return;
  // Edges ascend, so the piece of each is found from the last one's on. An
  // edge outside the points is clamped to them (its bins are NaN anyway).
  std::int64_t j = 0;
  for (std::size_t i = 0; i < edges; ++i) {
    const double x = std::clamp(g.edge(static_cast<std::int64_t>(i)) + shift, e[0], e[n - 1]);
    while (j + 2 < n && e[j + 1] <= x) ++j;
    const double h = e[j + 1] - e[j];
    m.piece[i] = j;
    m.dx[i] = std::max(x - e[j], 0.0);
    m.t[i] = h > 0.0 ? m.dx[i] / h : 0.0;
  }
  for (std::int64_t i = 0; i < m.bins; ++i) {
    m.inside[static_cast<std::size_t>(i)] = bin_inside(g, shift, i, e[0], e[n - 1]);
  }
}

void bin_mapped(const BinMap& m, const double* e, const double* y, double* out,
                std::vector<double>& work) {
  const std::int64_t n = m.points;
  if (n < 2) {
    std::fill(out, out + m.bins, kNaN);
    return;
  }
  // The cumulative trapezoid integral at the points, then at each edge the
  // piece's linear DOS integrated from its first point to the edge.
  work.resize(static_cast<std::size_t>(n));
  double* c = work.data();
  c[0] = 0.0;
  for (std::int64_t k = 0; k + 1 < n; ++k) {
    c[k + 1] = c[k] + (e[k + 1] - e[k]) * (y[k] + y[k + 1]) * 0.5;
  }
  auto at = [&](std::size_t i) {
    const std::int64_t j = m.piece[i];
    const double yx = y[j] + (y[j + 1] - y[j]) * m.t[i];
    return c[j] + m.dx[i] * (y[j] + yx) * 0.5;
  };
  double before = at(0);
  for (std::int64_t i = 0; i < m.bins; ++i) {
    const double after = at(static_cast<std::size_t>(i) + 1);
    out[i] = m.inside[static_cast<std::size_t>(i)] ? (after - before) / m.step : kNaN;
    before = after;
  }
}

void bin_dos(const double* e, const double* y, std::int64_t n, const Grid& g, double shift,
             double* out, std::vector<double>& work) {
  BinMap m;
  map_bins(e, n, g, shift, m);
  bin_mapped(m, e, y, out, work);
}

std::int64_t kernel_bins(double step, double sigma) {
  if (!(sigma > 0.0) || !(step > 0.0)) return 0;
  const double k = std::ceil(5.0 * sigma / step);
  // Compared as a double first: an infinite or huge quotient has no int64.
  return k <= static_cast<double>(kMaxKernel) ? static_cast<std::int64_t>(k) : kMaxKernel + 1;
}

void broaden(double* values, std::int64_t nbins, double step, double sigma,
             std::vector<double>& work) {
  const std::int64_t half = kernel_bins(step, sigma);
  if (half == 0 || nbins <= 0) return;
  if (nbins <= 2 * half) {  // every bin's kernel reaches past an end
    std::fill(values, values + nbins, kNaN);
    return;
  }
  // Weights w[k] for offsets -half..half: the Gaussian's mass over the bin
  // at offset k, then scaled so that they add up to 1.
  work.assign(static_cast<std::size_t>(nbins + half + 1), 0.0);
  double* w = work.data() + nbins;
  const double scale = 1.0 / (sigma * std::sqrt(2.0));
  double total = 0.0;
  for (std::int64_t k = 0; k <= half; ++k) {
    const double lo = (static_cast<double>(k) - 0.5) * step * scale;
    const double hi = (static_cast<double>(k) + 0.5) * step * scale;
    w[k] = k == 0 ? std::erf(hi) : 0.5 * (std::erfc(lo) - std::erfc(hi));
    total += k == 0 ? w[k] : 2.0 * w[k];
  }
  for (std::int64_t k = 0; k <= half; ++k) w[k] /= total;
  double* in = work.data();
  std::copy(values, values + nbins, in);
  for (std::int64_t i = 0; i < nbins; ++i) {
    if (i < half || i + half >= nbins) {
      values[i] = kNaN;
      continue;
    }
    double s = w[0] * in[i];
    for (std::int64_t k = 1; k <= half; ++k) s += w[k] * (in[i - k] + in[i + k]);
    values[i] = s;
  }
}

}  // namespace pds::collect
