// collect: one row of a dataset per VASP run folder. The run's DOS file (a
// DOSCAR, else vasprun.xml, else vaspout.h5), the band edges of its
// eigenvalues, its structure file and INCAR are read; the DOS of the total block, of
// selections, of each element's s p d f orbitals (and of each site) is put
// on a common energy grid that conserves states, and descriptors (gap,
// band edges, DOS at the Fermi level, moments of bands) are computed on the
// run's own grid.
//
// The common grid: bin i covers [emin + i*step, emin + (i+1)*step] relative
// to the alignment energy. The DOS of the file is taken as linear between
// its points; the states in a bin are its integral over the bin (the
// cumulative trapezoid integral evaluated at the bin edges), so that the
// states in any window of bins are the run's to rounding. A bin reports the
// states in it divided by step (states/eV); a bin not wholly inside the
// file's energy window is NaN.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "textio/textio.h"

namespace pds::collect {

// ---------------------------------------------------------------------------
// The common grid (grid.cpp)

struct Grid {
  double emin = -10.0, emax = 10.0, step = 0.05;
  // The one rule for the bin count: (emax - emin) / step in double
  // precision, rounded to the nearest integer with a half rounded up (41
  // bins for -10 10.25 0.5); 0 when that is not a count from 1 to
  // kMaxBins (a step that is not above 0, emax not above emin, NaN).
  std::int64_t bins() const;
  double edge(std::int64_t i) const { return emin + static_cast<double>(i) * step; }
};

// The states of the DOS y (linear between the n points (e[k], y[k]),
// energies ascending) in each bin of `g` shifted by `shift` (absolute bin
// edges: edge(i) + shift), divided by g.step: g.bins() values into `out`.
// A bin that is not wholly inside [e[0], e[n-1]] is NaN. `work` is scratch
// memory (n doubles), kept between calls.
void bin_dos(const double* e, const double* y, std::int64_t n, const Grid& g, double shift,
             double* out, std::vector<double>& work);

// bin_dos() in two steps, for the many curves of a run that share its
// points: where each bin edge falls among the points (once), then the
// states of a curve (each time).
struct BinMap {
  std::int64_t points = 0, bins = 0;
  double step = 0.0;
  std::vector<std::int64_t> piece;  // per edge: e[piece] <= edge < e[piece + 1]
  std::vector<double> dx, t;        // edge - e[piece], and its fraction of the piece
  std::vector<bool> inside;         // per bin
};
void map_bins(const double* e, std::int64_t n, const Grid& g, double shift, BinMap& m);
void bin_mapped(const BinMap& m, const double* e, const double* y, double* out,
                std::vector<double>& work);

// Whether bin i of `g` shifted by `shift` lies wholly inside [lo, hi]
// (edges within 1e-9 eV of the window count as inside).
bool bin_inside(const Grid& g, double shift, std::int64_t i, double lo, double hi);

// The most bins a grid may have: 200,000 (2 eV at 1e-5 eV, 40 eV at 2e-4).
inline constexpr std::int64_t kMaxBins = 200000;

// Gaussian broadening of binned values (states per bin / step) with
// standard deviation `sigma` eV: the states of each bin are spread over the
// bins around it with the weights of a normalised discrete Gaussian (the
// Gaussian's integral over each bin, cut at 5 sigma, scaled to sum 1), so
// that states are conserved. The kernel reaches kernel_bins() bins to each
// side; a bin whose kernel reaches a NaN bin or past either end of the
// array is NaN (every bin when the kernel is wider than half the array,
// which then costs nothing). Nothing changes when sigma <= 0.
// kernel_bins: ceil(5 sigma / step), 0 when sigma or step is not above 0,
// kMaxKernel + 1 when larger than kMaxKernel (sigma infinite too).
inline constexpr std::int64_t kMaxKernel = std::int64_t{1} << 40;
std::int64_t kernel_bins(double step, double sigma);
void broaden(double* values, std::int64_t nbins, double step, double sigma,
             std::vector<double>& work);

// ---------------------------------------------------------------------------
// Descriptors on the run's own grid (descriptors.cpp). Energies e ascending,
// absolute (eV); y a DOS (states/eV). NaN where undefined.

// The DOS below which a point of y counts as empty: tol times the mean of
// y (pymatgen's relative tolerance).
double empty_level(const double* y, std::int64_t n, double tol);

// pymatgen's Dos.get_cbm_vbm (relative tol: tol * mean of y): {cbm, vbm},
// absolute energies; NaN, NaN when E_F is not below the last energy. In a
// metal vbm is the first point above E_F and cbm the one below.
std::pair<double, double> cbm_vbm(const double* e, const double* y, std::int64_t n, double efermi,
                                  double tol);

// The gap around E_F. Points whose DOS is at most empty_level(tol) are
// empty; the gap is the first run of consecutive empty points a..b with
//   e[a-1] - (e[a] - e[a-1]) <= E_F < e[b+1]
// (E_F between the run's occupied neighbours, or up to one step of the
// points below the lower one: a point's DOS stands for the states of about
// a step around it, so E_F that far below the last occupied point is on the
// band edge). vbm = e[a], cbm = e[b], the first and last empty points as
// pymatgen takes them, gap = cbm - vbm. No such run: a metal, vbm and cbm
// NaN, gap 0. A run from the first point (no band below in the file) has
// vbm NaN, one to the last point cbm NaN, and then gap NaN. E_F outside
// [e[0], e[n-1]]: all NaN.
struct BandEdges {
  double vbm, cbm, gap;
};
BandEdges band_edges(const double* e, const double* y, std::int64_t n, double efermi, double tol);

// y linearly interpolated at x between the first point at or above x and
// the one before it (pymatgen's get_linear_interpolated_value); NaN when x
// is not above e[0] or above e[n-1].
double value_at(const double* e, const double* y, std::int64_t n, double x);
// The integral of y (linear between points) from e[0] to x; NaN outside
// [e[0], e[n-1]].
double integral_to(const double* e, const double* y, std::int64_t n, double x);

// Moments of a band as pymatgen's CompleteDos computes them, with energies
// relative to E_F: centre, width, skewness and kurtosis from the points with
// lo <= e - efermi <= hi (trapezoid rule); filling from the same points,
// those below E_F over all (pymatgen's get_band_filling takes every point
// of the file, so that it depends on each run's EMIN and EMAX).
struct Moments {
  double centre, width, skewness, kurtosis, filling;
};
// `work`: scratch memory, kept between calls.
Moments band_moments(const double* e, const double* y, std::int64_t n, double efermi, double lo,
                     double hi, std::vector<double>& work);

// ---------------------------------------------------------------------------
// INCAR (incar.cpp)

// The settings collect reports, in this order.
inline constexpr const char* kIncarTags[] = {"ISPIN", "LORBIT", "LSORBIT",
                                             "NEDOS", "ISMEAR", "SIGMA"};

// The values (as written, blanks around them removed) of those of
// kIncarTags that `incar` sets, in the order of kIncarTags; the last
// statement wins. Tags anywhere in the file, any case; comments after ! or
// #; several statements on a line separated by ';'.
std::vector<std::pair<std::string, std::string>> incar_settings(std::string_view incar);

// The text of the first of INCAR, INCAR.gz, INCAR.xz, INCAR.bz2 in
// `folder` that opens; nullopt when there is none (or it cannot be read).
std::optional<std::string> read_incar(const std::string& folder);

// ---------------------------------------------------------------------------
// Failures (cause.cpp)

// A short machine-readable cause of `f`: the one its refusal carries
// ("truncated", "corrupt-compressed", "not-a-number", "not-vasp-layout",
// "too-many-values", "unknown-columns", "ambiguous-columns", "no-grid-points",
// "atom-not-in-file", "structure-mismatch", "bad-structure", "refused-output",
// "no-pdos", "not-text", "not-a-regular-file"; of a vaspout.h5 also
// "not-hdf5", "no-dos" (no results/electron_dos) and "no-hdf5" (a build
// without libhdf5)), else one from its number and OS error ("no-doscar",
// "permission", "os-error", "failure", ...).
std::string failure_cause(const Failure& f);

// ---------------------------------------------------------------------------
// One run (run.cpp)

struct Options {
  Grid grid;
  bool align_vbm = false;  // align at the VBM where the run has a gap, else E_F
  double sigma = 0.0;      // Gaussian broadening (eV), 0: none
  std::vector<std::string> channels{"all(s)", "all(p)", "all(d)", "all(f)"};
  bool sites = false;
  // Band moments: points with band_lo <= E - E_F <= band_hi. The default
  // holds the valence d bands of transition metals and what lies just above
  // E_F, the same window for every run so that rows compare (pymatgen's
  // default, every point, depends on each run's EMIN and EMAX); semicore d
  // states deeper than 10 eV (Ga 3d, Bi 5d) are left out.
  double band_lo = -10.0, band_hi = 10.0;
  // States in [E_F + window_lo, E_F + window_hi].
  double window_lo = -1.0, window_hi = 0.0;
  double gap_tol = 0.001;
  // How to take 16 values per point (nothing else): 1 non-collinear, 0
  // collinear, -1 INCAR decides, and without INCAR the projected DOS is not
  // read (the run keeps its total DOS).
  int noncollinear = -1;
  // How the caller's front end sets `noncollinear`, for the reason given
  // when neither it nor INCAR decides.
  std::string noncollinear_fix = "noncollinear=True or noncollinear=False";
};

// Throws std::invalid_argument, naming the option and its limit, unless:
// the grid's numbers are finite, step > 0, emax > emin, and it has 1 to
// kMaxBins bins; sigma is finite and >= 0, and its kernel K =
// ceil(5 sigma / step) bins to each side keeps the work of broadening a
// curve, (bins + 2K) * K, at most kMaxBroadening; gap_tol is finite and >=
// 0; band_erange and window are finite with lo < hi; noncollinear is -1, 0
// or 1.
inline constexpr double kMaxBroadening = 5e7;
void check_options(const Options& o);

// The orbitals of element_dos and site_dos, in this order.
inline constexpr const char* kOrbitals[] = {"s", "p", "d", "f"};

// From the total block of the last step, on its own points (NaN where
// undefined): gap, vbm, cbm as band_edges() and the same by pymatgen's rule
// (cbm_vbm(), gap max(cbm - vbm, 0)); the DOS at E_F (value_at()), up and
// down (half the DOS each without spin, NaN where the total block has no
// magnetisation: non-collinear runs) and |up - down| / (up + down), NaN
// where the DOS at E_F is empty (at most empty_level(gap_tol)); the
// magnetic moment, int_up - int_down of the block's integrated columns at
// E_F, linear between the points around it, and the integral of up - down
// from the first point to E_F (both 0 without spin, NaN without
// magnetisation); the states in [E_F + window_lo, E_F + window_hi].
struct Descriptors {
  double gap, vbm, cbm, gap_pymatgen, vbm_pymatgen, cbm_pymatgen;
  double dos_ef, dos_ef_up, dos_ef_down, spin_polarisation;
  double magnetic_moment, magnetic_moment_dos, states_window;
};

// A run is coarse when its points are more than kCoarseSteps grid steps
// apart ((file_emax - file_emin) / (npoints - 1)): its binned DOS is then
// straight lines across that many bins.
inline constexpr double kCoarseSteps = 5.0;

// The band edges of a run's eigenvalues (vasprun.xml's, or an EIGENVAL's
// beside a DOSCAR), as pymatgen's Vasprun.eigenvalue_band_properties: NaN,
// and direct -1, where the run has none or they cannot be read.
struct EigenEdges {
  double gap = std::numeric_limits<double>::quiet_NaN();
  double cbm = std::numeric_limits<double>::quiet_NaN();
  double vbm = std::numeric_limits<double>::quiet_NaN();
  int direct = -1;  // 1 direct, 0 indirect, -1 unknown
};

struct Run {
  bool ok = false;
  // The file read (a DOSCAR, vasprun.xml or vaspout.h5 in any of its
  // forms), its name alone (source), its compression; the structure file
  // read for the symbols ("" where the DOS file names them).
  std::string doscar, source, compression, structure;
  std::optional<std::vector<std::string>> symbols;
  std::string symbols_reason;
  std::int64_t natoms = 0, npoints = 0, nblocks = 0, nbins = 0;
  double efermi = 0, file_emin = 0, file_emax = 0, shift = 0;
  double file_step = 0;  // (file_emax - file_emin) / (npoints - 1)
  bool coarse = false;   // file_step > kCoarseSteps * the grid's step
  // "none", "collinear", "noncollinear", or "unknown" (16 values per point
  // that neither Options::noncollinear nor INCAR decides)
  std::string spin;
  std::vector<std::pair<std::string, std::string>> incar;
  // Channel 0 is the total; then the selections of Options::channels.
  std::vector<double> dos, magnetisation;  // channels x nbins
  std::vector<bool> valid;                 // nbins
  std::vector<std::string> channel_reasons;
  std::vector<std::string> elements;
  std::vector<double> element_dos;  // elements x 4 x nbins
  std::vector<double> site_dos;     // natoms x 4 x nbins, with Options::sites
  Descriptors descriptors{};
  std::vector<Moments> channel_moments;  // channels
  std::vector<Moments> element_d;        // elements: moments of their d band
  EigenEdges eigen;
  // Failure (ok false).
  std::string error_type, error_cause, error_message;
  int error_number = -1;
};

// Reads the run in `folder` (or the DOS file `folder` names: the first of a
// DOSCAR, a vasprun.xml and a vaspout.h5, as read_dos() chooses) and
// computes its row. Never throws: a run that cannot be read is a Run with
// ok false and the error fields set.
Run collect_run(const std::string& folder, const Options& o);

}  // namespace pds::collect
