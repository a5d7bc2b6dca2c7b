// Descriptors of a run on its own energy points: band edges and gap, the DOS
// and its integral at an energy, and the moments of a band. Each follows the
// arithmetic of pymatgen's Dos and CompleteDos (trapezoid rule, relative
// tolerance), so that the values agree with theirs to rounding.
#include <algorithm>
#include <cmath>
#include <limits>

#include "collect/collect.h"

namespace pds::collect {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The trapezoid rule over points first..last-1 of f (numpy.trapz).
template <typename F>
double trapz(const double* x, std::int64_t first, std::int64_t last, F f) {
  double s = 0.0;
  for (std::int64_t k = first; k + 1 < last; ++k) {
    s += (x[k + 1] - x[k]) * (f(k + 1) + f(k)) / 2.0;
  }
  return s;
}

double ratio(double num, double den) {
  return den != 0.0 ? num / den : kNaN;
}

}  // namespace

double empty_level(const double* y, std::int64_t n, double tol) {
  double sum = 0.0;
  for (std::int64_t k = 0; k < n; ++k) sum += y[k];
  return n > 0 ? tol * sum / static_cast<double>(n) : kNaN;
}

std::pair<double, double> cbm_vbm(const double* e, const double* y, std::int64_t n, double efermi,
                                  double tol) {
  if (n < 1) return {kNaN, kNaN};
  tol = empty_level(y, n, tol);
  std::int64_t fermi = 0;
  while (fermi < n && e[fermi] <= efermi) ++fermi;
  if (fermi == n) return {kNaN, kNaN};
  // Backwards from the first point above E_F while the DOS is within the
  // tolerance, then forwards from there.
  std::int64_t start = fermi;
  while (start - 1 >= 0 && y[start - 1] <= tol) --start;
  std::int64_t end = start;
  while (end < n && y[end] <= tol) ++end;
  --end;
  // -1 indexes the last point, as numpy does.
  return {e[end < 0 ? n - 1 : end], e[start]};
}

BandEdges band_edges(const double* e, const double* y, std::int64_t n, double efermi, double tol) {
  if (n < 2 || !(efermi >= e[0] && efermi <= e[n - 1])) return {kNaN, kNaN, kNaN};
  const double level = empty_level(y, n, tol);
  for (std::int64_t a = 0; a < n; ++a) {
    if (y[a] > level) continue;
    std::int64_t b = a;  // the run of empty points a..b
    while (b + 1 < n && y[b + 1] <= level) ++b;
    const double lower = a > 0 ? e[a - 1] - (e[a] - e[a - 1]) : e[0];
    const bool last = b + 1 == n;
    if (efermi >= lower && (last || efermi < e[b + 1])) {
      const double vbm = a > 0 ? e[a] : kNaN, cbm = last ? kNaN : e[b];
      return {vbm, cbm, cbm - vbm};
    }
    if (!last && efermi < e[b + 1]) break;  // later runs are all above E_F
    a = b;
  }
  return {kNaN, kNaN, 0.0};
}

double value_at(const double* e, const double* y, std::int64_t n, double x) {
  const std::int64_t i = std::lower_bound(e, e + n, x) - e;
  if (i == 0 || i == n) return kNaN;
  return y[i - 1] + (y[i] - y[i - 1]) / (e[i] - e[i - 1]) * (x - e[i - 1]);
}

double integral_to(const double* e, const double* y, std::int64_t n, double x) {
  if (n < 1 || !(x >= e[0] && x <= e[n - 1])) return kNaN;
  double s = 0.0;
  std::int64_t k = 0;
  for (; k + 1 < n && e[k + 1] <= x; ++k) s += (e[k + 1] - e[k]) * (y[k] + y[k + 1]) * 0.5;
  if (k + 1 >= n || x <= e[k]) return s;
  const double dx = x - e[k];
  const double yx = y[k] + (y[k + 1] - y[k]) * (dx / (e[k + 1] - e[k]));
  return s + dx * (y[k] + yx) * 0.5;
}

Moments band_moments(const double* e, const double* y, std::int64_t n, double efermi, double lo,
                     double hi, std::vector<double>& work) {
  // Energies relative to E_F, as pymatgen subtracts them (ascending too).
  std::vector<double>& x = work;
  x.resize(static_cast<std::size_t>(n));
  for (std::int64_t k = 0; k < n; ++k) x[static_cast<std::size_t>(k)] = e[k] - efermi;
  const double* px = x.data();
  auto dos = [&](std::int64_t k) { return y[k]; };
  Moments m{};
  const std::int64_t first = std::lower_bound(px, px + n, lo) - px;
  const std::int64_t last = std::upper_bound(px, px + n, hi) - px;
  const std::int64_t below = std::clamp(std::lower_bound(px, px + n, 0.0) - px, first, last);
  const double norm = trapz(px, first, last, dos);
  m.filling = ratio(trapz(px, first, below, dos), norm);
  m.centre = ratio(trapz(px, first, last, [&](std::int64_t k) { return px[k] * y[k]; }), norm);
  const double c = m.centre;
  auto central = [&](auto power) {
    return ratio(trapz(px, first, last, [&](std::int64_t k) { return power(px[k] - c) * y[k]; }),
                 norm);
  };
  const double m2 = central([](double p) { return p * p; });
  m.width = std::sqrt(m2);
  m.skewness = central([](double p) { return p * p * p; }) / std::pow(m2, 1.5);
  m.kurtosis = central([](double p) { return p * p * p * p; }) / (m2 * m2);
  return m;
}

}  // namespace pds::collect
