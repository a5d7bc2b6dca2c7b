// The bounds of a collection's options, checked before any run is read, so
// that one run costs what its own size and the grid's allow: a grid of at
// most kMaxBins bins, a broadening kernel whose work is bounded.
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "collect/collect.h"

namespace pds::collect {

namespace {

// Throws the refusal made of `parts` (numbers with up to 17 digits).
template <typename... T>
[[noreturn]] void refuse(const T&... parts) {
  std::ostringstream s;
  s.precision(17);
  (s << ... << parts);
  throw std::invalid_argument(s.str());
}

void check_grid(const Grid& g) {
  const auto [lo, hi, step] = g;
  if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(step)) {
    refuse("grid: emin, emax and step must be finite numbers, not (", lo, ", ", hi, ", ", step,
           ")");
  }
  if (!(step > 0.0) || !(hi > lo)) {
    refuse("grid: (emin, emax, step) needs emax > emin and step > 0, not (", lo, ", ", hi, ", ",
           step, ")");
  }
  if (g.bins() < 1) {
    refuse("grid: (", lo, ", ", hi, ", ", step, ") makes ", std::round((hi - lo) / step),
           " bins ((emax - emin) / step rounded); a grid has 1 to ", kMaxBins, " bins");
  }
}

void check_sigma(const Options& o) {
  if (!std::isfinite(o.sigma) || o.sigma < 0.0) {
    refuse("sigma: a finite number of eV, 0 or more, not ", o.sigma);
  }
  const double bins = static_cast<double>(o.grid.bins());
  const double k = static_cast<double>(kernel_bins(o.grid.step, o.sigma));
  if ((bins + 2.0 * k) * k > kMaxBroadening) {
    refuse("sigma: ", o.sigma, " eV reaches K = ", k, " bins to each side (ceil(5 sigma / step)); ",
           "with ", bins, " bins the broadening's work (bins + 2K) * K is ", (bins + 2.0 * k) * k,
           ", over the limit of ", kMaxBroadening, ": take a smaller sigma or a larger step");
  }
}

void check_range(double lo, double hi, const char* name) {
  if (!std::isfinite(lo) || !std::isfinite(hi) || !(lo < hi)) {
    refuse(name, ": (lo, hi) finite with lo < hi, not (", lo, ", ", hi, ")");
  }
}

}  // namespace

void check_options(const Options& o) {
  check_grid(o.grid);
  check_sigma(o);
  if (!std::isfinite(o.gap_tol) || o.gap_tol < 0.0) {
    refuse("gap_tol: a finite number, 0 or more, not ", o.gap_tol);
  }
  check_range(o.band_lo, o.band_hi, "band_erange");
  check_range(o.window_lo, o.window_hi, "window");
  if (o.noncollinear < -1 || o.noncollinear > 1) {
    refuse("noncollinear: -1, 0 or 1, not ", o.noncollinear);
  }
}

}  // namespace pds::collect
