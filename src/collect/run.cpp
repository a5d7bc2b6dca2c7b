// One run folder as one row: read, resolve channels, bin, describe.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "collect/collect.h"
#include "doscar/doscar.h"
#include "vasprun/vasprun.h"

namespace pds::collect {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Moments kNoMoments{kNaN, kNaN, kNaN, kNaN, kNaN};

// A DOS on the run's own points: spin-summed, and its magnetisation (up -
// down; mz for non-collinear runs; 0 without spin).
struct Curve {
  std::vector<double> dos, mag;
};

// Energy points that curves are given on, and where the bin edges of the
// (widened) grid fall among them.
struct Points {
  const double* e = nullptr;
  std::int64_t n = 0;
  BinMap map;
};

// The run as read, and what binning needs of it.
struct Context {
  Context(const DoscarData& data, const Options& options, Run& run,
          const std::vector<std::string>* names, std::string why)
      : d(data), o(options), r(run), symbols(names), no_pdos(std::move(why)) {}
  const DoscarData& d;
  const Options& o;
  Run& r;
  const std::vector<std::string>* symbols;
  std::string no_pdos;    // why the run has no projected DOS ("": it has one)
  Points total, atoms;    // of the total block and of the per-atom blocks
  std::int64_t half = 0;  // broadening kernel, bins to each side
  std::vector<double> work, binned, moments;
};

std::string folder_of(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);
}

// The symbols of the <atominfo> of the vasprun.xml beside a DOSCAR, when
// they are as many as its atoms; else why the run has none.
void symbols_of_vasprun(Run& r, const DoscarData& d) {
  r.symbols_reason = "no CONTCAR, POSCAR or vasprun.xml in " + d.folder;
  if (d.source != "doscar" || d.folder.empty()) return;
  try {
    std::vector<std::string> symbols = vasprun_symbols(d.folder);
    if (symbols.empty()) return;
    if (std::cmp_equal(symbols.size(), d.h.NATOMS)) {
      r.symbols = std::move(symbols);
      r.symbols_reason.clear();
    } else {
      r.symbols_reason += ", and the vasprun.xml there names " + std::to_string(symbols.size()) +
                          " atoms, not the DOSCAR's " + std::to_string(d.h.NATOMS);
    }
  } catch (const Failure& f) {
    r.symbols_reason += ", and the vasprun.xml there cannot be read: " +
                        (f.detail().text.empty() ? f.file() + ": " + f.what() : f.detail().text);
  }
}

// The symbols of the run: a vasprun.xml's or vaspout.h5's own; for a
// DOSCAR (and a vasprun.xml that names none: one trimmed to its
// <calculation>) those of the structure file beside it, else of the
// vasprun.xml beside it. Else why there are none.
void attach_symbols(Run& r, const DoscarData& d) {
  if (d.source != "doscar" && !d.symbols.empty()) {
    r.symbols = d.symbols;
    return;
  }
  r.structure = d.folder.empty() ? "" : find_structure(d.folder);
  if (r.structure.empty()) {
    symbols_of_vasprun(r, d);
    return;
  }
  try {
    std::vector<std::string> symbols = read_structure(r.structure);
    check_structure(symbols.size(), r.structure, d.h.NATOMS, d.file);
    r.symbols = std::move(symbols);
  } catch (const Failure& f) {
    r.symbols_reason = f.detail().text.empty() ? r.structure + ": " + f.what() : f.detail().text;
  }
}

// The total block of the last step on its own points: the DOS (up +
// down), up and down apart, the magnetisation and int_up - int_down of the
// integrated columns (0 without spin; NaN where the block has no
// magnetisation: `no_mag`).
struct Total {
  Curve c;
  std::vector<double> e, up, down, int_mag;
};

void total_curve(const DoscarData& d, bool no_mag, Total& t) {
  const double* block = d.totals.back().data();
  const std::int64_t w = d.h.NTCOL + 1;
  const auto n = static_cast<std::size_t>(d.total_rows.back());
  for (auto* v : {&t.c.dos, &t.c.mag, &t.e, &t.up, &t.down, &t.int_mag}) v->resize(n);
  const bool spin = d.kind.spin;
  for (std::size_t k = 0; k < n; ++k) {
    const double* row = block + static_cast<std::int64_t>(k) * w;
    t.e[k] = row[0];
    t.up[k] = spin ? row[1] : row[1] / 2;
    t.down[k] = spin ? row[2] : row[1] / 2;
    t.c.dos[k] = spin ? row[1] + row[2] : row[1];
    t.c.mag[k] = no_mag ? kNaN : spin ? row[1] - row[2] : 0.0;
    t.int_mag[k] = no_mag ? kNaN : spin ? row[3] - row[4] : 0.0;
  }
}

// Adds `column` (every `width` doubles, n of them) times `sign` to `to`.
void add_column(double* to, const double* column, std::int64_t n, std::int64_t width, double sign) {
  for (std::int64_t k = 0; k < n; ++k) to[k] += sign * column[k * width];
}

// Adds up the columns of `plan` over its atoms into c, column by column
// (the magnetisation only `with_mag`). Channels: the DOS; up and down (the
// DOS is their sum, the magnetisation up - down); the DOS, mx, my, mz (the
// magnetisation is mz).
void sum_plan(const DoscarData& d, const SelectionPlan& plan, std::int64_t n, Curve& c,
              bool with_mag = true) {
  c.dos.assign(static_cast<std::size_t>(n), 0.0);
  c.mag.assign(with_mag ? static_cast<std::size_t>(n) : 0, 0.0);
  const std::size_t channels = plan.channels.size();
  for (std::int64_t a : plan.atoms) {
    const double* block = d.pdos.data() + d.slot[static_cast<std::size_t>(a)] * n * d.width + 1;
    for (std::size_t ch = 0; ch < channels; ++ch) {
      for (std::int64_t col : plan.channels[ch]) {
        if (ch == 0 || channels == 2) add_column(c.dos.data(), block + col, n, d.width, 1.0);
        if (with_mag && (channels == 2 || ch == 3)) {
          add_column(c.mag.data(), block + col, n, d.width, ch == 1 ? -1.0 : 1.0);
        }
      }
    }
  }
}

// The elements of `s` that `symbols` lack, removed from it: the run has no
// states of them. A note naming them ("" when there are none).
std::string drop_absent(Selection& s, const std::vector<std::string>& symbols) {
  std::string absent;
  std::erase_if(s.elements, [&](const std::string& e) {
    if (std::find(symbols.begin(), symbols.end(), e) != symbols.end()) return false;
    absent += (absent.empty() ? "" : ", ") + e;
    return true;
  });
  return absent.empty() ? absent
                        : "no atom of element " + absent + " in the structure: counted as 0 states";
}

// The curve of selection `text` into c (curve true; the total's: is_total
// too), or why the run has none (curve false). An element the structure
// lacks adds 0 states, with a note returned beside the curve.
std::string resolve(Context& x, const std::string& text, Curve& c, bool& is_total, bool& curve) {
  try {
    Selection s = parse_selection(text);
    is_total = curve = s.target == Selection::Target::kTotal;
    if (is_total) return {};
    if (!x.no_pdos.empty()) return x.no_pdos;
    std::string note;
    if (s.target == Selection::Target::kElements && x.symbols != nullptr) {
      note = drop_absent(s, *x.symbols);
    }
    sum_plan(x.d, plan_selection(s, x.d.kind, x.d.h.NATOMS, x.symbols), x.atoms.n, c);
    curve = true;
    return note;
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

// `values` (x.r.nbins) from the curve y on points p, broadened: binned on
// the grid widened by the kernel, so that the grid's own bins near its ends
// get the states from beyond them.
void bin_into(Context& x, const Points& p, const std::vector<double>& y, double* values) {
  if (x.half == 0) {
    bin_mapped(p.map, p.e, y.data(), values, x.work);
    return;
  }
  const std::int64_t wide = p.map.bins;
  x.binned.resize(static_cast<std::size_t>(wide));
  bin_mapped(p.map, p.e, y.data(), x.binned.data(), x.work);
  broaden(x.binned.data(), wide, x.o.grid.step, x.o.sigma, x.work);
  std::copy(x.binned.begin() + x.half, x.binned.begin() + x.half + x.r.nbins, values);
}

void bin_curve(Context& x, const Points& p, const Curve& c, double* dos, double* mag) {
  bin_into(x, p, c.dos, dos);
  if (mag != nullptr) bin_into(x, p, c.mag, mag);
}

void map_points(Context& x, const double* e, std::int64_t n, Points& p) {
  Grid wide = x.o.grid;
  wide.emin -= static_cast<double>(x.half) * wide.step;
  wide.emax = wide.emin + static_cast<double>(x.r.nbins + 2 * x.half) * wide.step;
  p.e = e;
  p.n = n;
  map_bins(e, n, wide, x.r.shift, p.map);
}

void describe_total(Run& r, const Options& o, const Total& t, bool no_mag) {
  const double* e = t.e.data();
  const double ef = r.efermi;
  const auto n = static_cast<std::int64_t>(t.e.size());
  Descriptors& s = r.descriptors;
  const BandEdges edges = band_edges(e, t.c.dos.data(), n, ef, o.gap_tol);
  s.vbm = edges.vbm, s.cbm = edges.cbm, s.gap = edges.gap;
  const auto [cbm, vbm] = cbm_vbm(e, t.c.dos.data(), n, ef, o.gap_tol);
  s.cbm_pymatgen = cbm, s.vbm_pymatgen = vbm;
  s.gap_pymatgen = std::isnan(cbm) ? kNaN : std::max(cbm - vbm, 0.0);
  s.dos_ef = value_at(e, t.c.dos.data(), n, ef);
  s.dos_ef_up = no_mag ? kNaN : value_at(e, t.up.data(), n, ef);
  s.dos_ef_down = no_mag ? kNaN : value_at(e, t.down.data(), n, ef);
  const bool empty = !(s.dos_ef > empty_level(t.c.dos.data(), n, o.gap_tol));
  s.spin_polarisation =
      empty ? kNaN : std::abs(s.dos_ef_up - s.dos_ef_down) / (s.dos_ef_up + s.dos_ef_down);
  s.magnetic_moment = value_at(e, t.int_mag.data(), n, ef);
  s.magnetic_moment_dos = integral_to(e, t.c.mag.data(), n, ef);
  s.states_window = integral_to(e, t.c.dos.data(), n, ef + o.window_hi) -
                    integral_to(e, t.c.dos.data(), n, ef + o.window_lo);
}

// Channel 0 (the total) and the selections.
void channels(Context& x, const Curve& total) {
  Run& r = x.r;
  const std::size_t count = 1 + x.o.channels.size();
  const auto nb = static_cast<std::size_t>(r.nbins);
  r.dos.assign(count * nb, kNaN);
  r.magnetisation.assign(count * nb, kNaN);
  r.channel_reasons.assign(count, "");
  r.channel_moments.assign(count, kNoMoments);
  const Points& t = x.total;
  bin_curve(x, t, total, r.dos.data(), r.magnetisation.data());
  r.channel_moments[0] =
      band_moments(t.e, total.dos.data(), t.n, r.efermi, x.o.band_lo, x.o.band_hi, x.moments);
  Curve c;
  for (std::size_t ch = 1; ch < count; ++ch) {
    bool is_total = false, curve = false;
    r.channel_reasons[ch] = resolve(x, x.o.channels[ch - 1], c, is_total, curve);
    if (!curve) continue;
    const Curve& src = is_total ? total : c;
    const Points& p = is_total ? x.total : x.atoms;
    bin_curve(x, p, src, r.dos.data() + ch * nb, r.magnetisation.data() + ch * nb);
    r.channel_moments[ch] =
        band_moments(p.e, src.dos.data(), p.n, r.efermi, x.o.band_lo, x.o.band_hi, x.moments);
  }
}

// The columns of orbital `orb` in every atom's block (those of atom 1), or
// false when the file has none.
bool orbital_plan(const Context& x, std::size_t orb, SelectionPlan& plan) {
  if (!x.no_pdos.empty() || x.d.h.NATOMS < 1 || (orb == 3 && !x.d.kind.f)) return false;
  try {
    plan = plan_selection(parse_selection(std::string("1(") + kOrbitals[orb] + ")"), x.d.kind,
                          x.d.h.NATOMS, nullptr);
  } catch (const std::invalid_argument&) {
    return false;
  }
  return true;
}

// site_dos of orbital `orb` (columns of `plan`) for every atom, and the
// curves of the elements (element_of: each atom's, empty when symbols are
// not known) added up from the atoms'.
void sites_of_orbital(Context& x, SelectionPlan& plan, std::size_t orb,
                      const std::vector<std::size_t>& element_of, std::vector<Curve>& per_element) {
  Run& r = x.r;
  const auto nb = static_cast<std::size_t>(r.nbins);
  for (Curve& e : per_element) e.dos.assign(static_cast<std::size_t>(x.atoms.n), 0.0);
  Curve c;
  for (std::int64_t a = 1; a <= r.natoms; ++a) {
    plan.atoms.assign(1, a);
    sum_plan(x.d, plan, x.atoms.n, c, false);
    const auto site = static_cast<std::size_t>(a - 1);
    bin_curve(x, x.atoms, c, r.site_dos.data() + (site * 4 + orb) * nb, nullptr);
    if (element_of.empty()) continue;
    std::vector<double>& to = per_element[element_of[site]].dos;
    for (std::size_t k = 0; k < to.size(); ++k) to[k] += c.dos[k];
  }
}

// element_dos and the moments of each element's d band; site_dos. Each
// orbital's columns are planned once and summed over the atoms wanted (with
// sites: each atom's, then the elements' from them).
void elements(Context& x) {
  Run& r = x.r;
  const auto nb = static_cast<std::size_t>(r.nbins);
  std::vector<std::vector<std::int64_t>> members;  // per element, its atoms
  std::vector<std::size_t> element_of;             // per atom, its element
  for (std::size_t a = 0; x.symbols != nullptr && a < x.symbols->size(); ++a) {
    const std::string& s = (*x.symbols)[a];
    const auto at = static_cast<std::size_t>(std::find(r.elements.begin(), r.elements.end(), s) -
                                             r.elements.begin());
    if (at == r.elements.size()) {
      r.elements.push_back(s);
      members.emplace_back();
    }
    members[at].push_back(static_cast<std::int64_t>(a) + 1);
    element_of.push_back(at);
  }
  r.element_dos.assign(r.elements.size() * 4 * nb, kNaN);
  r.element_d.assign(r.elements.size(), kNoMoments);
  if (x.o.sites) r.site_dos.assign(static_cast<std::size_t>(r.natoms) * 4 * nb, kNaN);
  SelectionPlan plan;
  std::vector<Curve> per_element(r.elements.size());
  for (std::size_t orb = 0; orb < 4; ++orb) {
    if (!orbital_plan(x, orb, plan)) continue;
    if (x.o.sites) {
      sites_of_orbital(x, plan, orb, element_of, per_element);
    } else {
      for (std::size_t el = 0; el < r.elements.size(); ++el) {
        plan.atoms = members[el];
        sum_plan(x.d, plan, x.atoms.n, per_element[el], false);
      }
    }
    for (std::size_t el = 0; el < r.elements.size(); ++el) {
      const Curve& e = per_element[el];
      bin_curve(x, x.atoms, e, r.element_dos.data() + (el * 4 + orb) * nb, nullptr);
      if (orb == 2) {
        r.element_d[el] = band_moments(x.atoms.e, e.dos.data(), x.atoms.n, r.efermi, x.o.band_lo,
                                       x.o.band_hi, x.moments);
      }
    }
  }
}

// The run's own step and whether it is coarse for the grid.
void resolution(Run& r, const Options& o) {
  r.file_step =
      r.npoints > 1 ? (r.file_emax - r.file_emin) / static_cast<double>(r.npoints - 1) : kNaN;
  r.coarse = !(r.file_step <= kCoarseSteps * o.grid.step);
}

// `no_pdos`: why the run has no projected DOS ("" when it has one, or
// when the file has none); then its kind of run is not known either.
void compute(Run& r, const DoscarData& d, const Options& o, const std::string& no_pdos) {
  r.doscar = d.file;
  r.source = d.file.substr(d.file.rfind('/') + 1);
  r.compression = d.compression;
  if (d.has_edges) {
    r.eigen = {d.edges.gap, d.edges.cbm, d.edges.vbm, d.edges.direct ? 1 : 0};
  }
  r.natoms = extent(d.h.NATOMS);
  r.npoints = extent(d.h.NPOINTS);
  r.nblocks = static_cast<std::int64_t>(d.totals.size());
  r.efermi = d.efermis.back();
  const bool unknown = !no_pdos.empty();
  r.spin = unknown               ? "unknown"
           : d.kind.noncollinear ? "noncollinear"
           : d.kind.spin         ? "collinear"
                                 : "none";
  attach_symbols(r, d);
  Total total;
  total_curve(d, unknown || d.kind.noncollinear, total);
  const std::vector<double>& te = total.e;
  r.file_emin = te.empty() ? kNaN : te.front();
  r.file_emax = te.empty() ? kNaN : te.back();
  resolution(r, o);
  describe_total(r, o, total, unknown || d.kind.noncollinear);
  r.shift = o.align_vbm && r.descriptors.gap > 0.0 ? r.descriptors.vbm : r.efermi;

  Context x(d, o, r, r.symbols ? &*r.symbols : nullptr,
            unknown      ? no_pdos
            : d.has_pdos ? ""
                         : "the file has no projected DOS");
  x.half = kernel_bins(o.grid.step, o.sigma);
  map_points(x, te.data(), static_cast<std::int64_t>(te.size()), x.total);
  if (d.energy1.size() >= static_cast<std::size_t>(r.npoints) && r.npoints > 0) {
    map_points(x, d.energy1.data(), r.npoints, x.atoms);
  } else {
    x.atoms = x.total;
  }
  channels(x, total.c);
  // A bin is valid where the total (always resolved) has a value.
  r.valid.resize(static_cast<std::size_t>(r.nbins));
  for (std::int64_t i = 0; i < r.nbins; ++i) r.valid[i] = !std::isnan(r.dos[i]);
  elements(x);
}

void fail(Run& r, std::string type, int number, std::string cause, std::string message) {
  Run fresh;
  fresh.doscar = r.doscar;
  fresh.nbins = r.nbins;
  r = std::move(fresh);
  r.error_type = std::move(type);
  r.error_number = number;
  r.error_cause = std::move(cause);
  r.error_message = std::move(message);
}

void fail(Run& r, const Failure& f) {
  if (f.os_error() != 0) {
    const std::string text =
        f.detail().text.empty() ? std::string(std::strerror(f.os_error())) : f.detail().text;
    fail(r, "OSError", -1, failure_cause(f), text + ": " + f.file());
    return;
  }
  const std::string text = f.detail().text.empty()
                               ? f.file() + ": " + std::string(failure_message(f.number()))
                               : f.detail().text;
  fail(r, "DoscarError", f.number(), failure_cause(f), text);
}

// read_dos() of `path` (which names `file`), with the band edges of the
// eigenvalues where they can be read: a damaged EIGENVAL or <eigenvalues>
// costs the run its edges alone (the file is read again without them). A
// DOSCAR's own refusal is final.
DoscarData read_with_edges(const std::string& path, const std::string& file, ReadOptions ro) {
  try {
    return read_dos(path, ro);
  } catch (const Failure& f) {
    const bool doscar = file.substr(file.rfind('/') + 1).starts_with("DOSCAR");
    if (failure_cause(f) == "ambiguous-columns" || (f.file() == file && doscar)) throw;
  }
  ro.eigenvalues = false;
  return read_dos(path, ro);
}

// The run's DOS file (a DOSCAR, vasprun.xml or vaspout.h5: read_dos()).
// Only a DOSCAR's 16 values per point are ambiguous (a collinear
// l,m-projected run with f orbitals, or a non-collinear l-projected one):
// Options::noncollinear decides them, else INCAR (also compressed), else
// the file is read with no atom's block kept (every block checked, every
// total block of an MD run read) and `no_pdos` says why.
DoscarData read_run(const std::string& path, const std::string& file, const Options& o, Run& r,
                    std::string& no_pdos) {
  const std::optional<std::string> incar = read_incar(folder_of(file));
  if (incar) r.incar = incar_settings(*incar);
  ReadOptions ro;
  ro.second_thread = false;  // the runs of a collection are spread over the threads instead
  ro.regular_only = true;    // a FIFO or device named DOSCAR is never opened
  ro.eigenvalues = true;
  try {
    return read_with_edges(path, file, ro);
  } catch (const Failure& f) {
    if (failure_cause(f) != "ambiguous-columns") throw;
  }
  ro.format = "doscar";
  ro.noncollinear = o.noncollinear;
  if (ro.noncollinear == -1 && incar) ro.noncollinear = incar_noncollinear(*incar) ? 1 : 0;
  const std::vector<std::int64_t> none;
  if (ro.noncollinear == -1) {
    ro.noncollinear = 0;  // either reading takes the lines; no value of them is kept
    ro.kept = &none;
    no_pdos =
        "projected DOS not read: 16 values per grid point are written by a collinear "
        "l,m-projected run with f orbitals and by a non-collinear l-projected one, and no "
        "INCAR tells which: put the run's INCAR beside its DOSCAR, or collect with " +
        o.noncollinear_fix;
  }
  return read_with_edges(path, file, ro);
}

}  // namespace

Run collect_run(const std::string& folder, const Options& o) {
  Run r;
  try {
    check_options(o);
  } catch (const std::invalid_argument& e) {
    fail(r, "ValueError", -1, "bad-options", e.what());
    return r;
  }
  r.nbins = o.grid.bins();
  try {
    r.doscar = dos_file(folder, "");
    // The path as given, resolved by the reader: a folder named DOSCAR is
    // refused as such, not looked into.
    std::string no_pdos;
    const DoscarData d = read_run(folder, r.doscar, o, r, no_pdos);
    compute(r, d, o, no_pdos);
    r.ok = true;
  } catch (const Failure& f) {
    fail(r, f);
  } catch (const std::bad_alloc&) {
    fail(r, "MemoryError", -1, "out-of-memory", r.doscar + ": out of memory");
  } catch (const std::exception& e) {
    fail(r, "RuntimeError", -1, "failure", r.doscar + ": " + e.what());
  }
  return r;
}

}  // namespace pds::collect
