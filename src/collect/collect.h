// collect: one row of a dataset per VASP run folder. The run's DOSCAR, its
// structure file and INCAR are read; the DOS of the total block, of
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
  // round((emax - emin) / step), at least 0.
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

// Gaussian broadening of binned values (states per bin / step) with
// standard deviation `sigma` eV: the states of each bin are spread over the
// bins around it with the weights of a normalised discrete Gaussian (the
// Gaussian's integral over each bin, cut at 5 sigma, scaled to sum 1), so
// that states are conserved. The kernel reaches kernel_bins() bins to each
// side; a bin whose kernel reaches a NaN bin or past either end of the
// array is NaN. Nothing changes when sigma <= 0.
std::int64_t kernel_bins(double step, double sigma);
void broaden(double* values, std::int64_t nbins, double step, double sigma,
             std::vector<double>& work);

// ---------------------------------------------------------------------------
// Descriptors on the run's own grid (descriptors.cpp). Energies e ascending,
// absolute (eV); y a DOS (states/eV). NaN where undefined.

// pymatgen's Dos.get_cbm_vbm (relative tol: tol * mean of y): {cbm, vbm},
// absolute energies; NaN, NaN when E_F is not below the last energy.
std::pair<double, double> cbm_vbm(const double* e, const double* y, std::int64_t n, double efermi,
                                  double tol);
// y linearly interpolated at x between the first point at or above x and
// the one before it (pymatgen's get_linear_interpolated_value); NaN when x
// is not above e[0] or above e[n-1].
double value_at(const double* e, const double* y, std::int64_t n, double x);
// The integral of y (linear between points) from e[0] to x; NaN outside
// [e[0], e[n-1]].
double integral_to(const double* e, const double* y, std::int64_t n, double x);

// Moments of a band as pymatgen's CompleteDos computes them, with energies
// relative to E_F: centre, width, skewness and kurtosis from the points with
// lo <= e - efermi <= hi (trapezoid rule); filling over all points (the
// points below E_F over all, pymatgen's get_band_filling, which takes no
// range).
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

// A short machine-readable cause of `f`, from its number and where it came
// from: "truncated", "corrupt-compressed", "not-a-number", "not-vasp-layout",
// "too-many-values", "unknown-columns", "ambiguous-columns", "no-grid-points",
// "atom-not-in-file", "structure-mismatch", "bad-structure", "refused-output",
// "no-pdos", "no-doscar", "permission", "os-error", "failure"; for vaspout.h5
// also "not-hdf5", "no-dos" (no results/electron_dos) and "no-hdf5" (a build
// without libhdf5).
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
  int noncollinear = -1;  // 1, 0, or -1: INCAR decides
};

// The orbitals of element_dos and site_dos, in this order.
inline constexpr const char* kOrbitals[] = {"s", "p", "d", "f"};

// From the total block of the last step, on its own points (NaN where
// undefined): gap, vbm, cbm as cbm_vbm() (absolute eV; in a metal vbm is
// the first point above E_F and cbm the one below, gap 0); the up and down
// DOS at E_F (value_at(); half the DOS each without spin, NaN non-collinear:
// the total block has no magnetisation) and |up - down| / (up + down); the
// magnetic moment, the integral of up - down from the first point to E_F (0
// without spin, NaN non-collinear); the states in [E_F + window_lo, E_F +
// window_hi].
struct Descriptors {
  double gap, vbm, cbm, dos_ef_up, dos_ef_down, spin_polarisation, magnetic_moment, states_window;
};

struct Run {
  bool ok = false;
  std::string doscar, compression, structure;
  std::optional<std::vector<std::string>> symbols;
  std::string symbols_reason;
  std::int64_t natoms = 0, npoints = 0, nblocks = 0, nbins = 0;
  double efermi = 0, file_emin = 0, file_emax = 0, shift = 0;
  std::string spin;  // "none", "collinear", "noncollinear"
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
  // Failure (ok false).
  std::string error_type, error_cause, error_message;
  int error_number = -1;
};

// Reads the run in `folder` (or the DOSCAR file `folder` names) and
// computes its row. Never throws: a run that cannot be read is a Run with
// ok false and the error fields set.
Run collect_run(const std::string& folder, const Options& o);

}  // namespace pds::collect
