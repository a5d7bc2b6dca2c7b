// _core._collect_batch: run folders as rows of a dataset. The C++ core
// (src/collect) reads and computes every run with the GIL released; this
// file converts the options and builds the result dicts afterwards.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bindings.h"
#include "collect/collect.h"

namespace pdsplit_python {

namespace {

namespace pc = pds::collect;
using Array = py::array_t<double, py::array::c_style>;

std::pair<double, double> pair_of(const py::handle& v, const char* name) {
  const auto t = py::reinterpret_borrow<py::sequence>(v);
  if (py::isinstance<py::str>(v) || t.size() != 2) {
    throw py::value_error(std::string("_collect_batch(): ") + name + " must be (lo, hi)");
  }
  return {t[0].cast<double>(), t[1].cast<double>()};
}

pc::Options options_of(const py::dict& d) {
  pc::Options o;
  for (const auto& [key, value] : d) {
    const std::string k = py::str(key);
    if (value.is_none()) continue;
    if (k == "grid") {
      const auto t = py::reinterpret_borrow<py::sequence>(value);
      if (py::isinstance<py::str>(value) || t.size() != 3) {
        throw py::value_error("_collect_batch(): grid must be (emin, emax, step)");
      }
      o.grid = {t[0].cast<double>(), t[1].cast<double>(), t[2].cast<double>()};
    } else if (k == "align") {
      const std::string a = value.cast<std::string>();
      if (a != "efermi" && a != "vbm") {
        throw py::value_error("_collect_batch(): align must be \"efermi\" or \"vbm\"");
      }
      o.align_vbm = a == "vbm";
    } else if (k == "sigma") {
      o.sigma = value.cast<double>();
    } else if (k == "channels") {
      if (py::isinstance<py::str>(value)) {
        throw py::type_error("_collect_batch(): channels must be a list of str");
      }
      o.channels = value.cast<std::vector<std::string>>();
    } else if (k == "sites") {
      o.sites = value.cast<bool>();
    } else if (k == "band_erange") {
      std::tie(o.band_lo, o.band_hi) = pair_of(value, "band_erange");
    } else if (k == "window") {
      std::tie(o.window_lo, o.window_hi) = pair_of(value, "window");
    } else if (k == "gap_tol") {
      o.gap_tol = value.cast<double>();
    } else if (k == "noncollinear") {
      o.noncollinear = value.cast<int>();
    } else {
      throw py::value_error("_collect_batch(): unknown option \"" + k + "\"");
    }
  }
  pc::check_options(o);  // std::invalid_argument: ValueError
  return o;
}

// Every string of a result as str. A run's files may hold any bytes (an
// INCAR value, a field quoted in a message, a folder's name): bytes that are
// not UTF-8 are kept as os.fsdecode keeps them, as the surrogates
// U+DC80-U+DCFF, and the dataset stores them escaped (never raises).
py::str text(const std::string& s) {
  PyObject* o =
      PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

py::list texts(const std::vector<std::string>& v) {
  py::list out;
  for (const std::string& s : v) out.append(text(s));
  return out;
}

Array array_of(const std::vector<double>& v, std::vector<py::ssize_t> shape) {
  Array a(shape);
  std::copy(v.begin(), v.end(), a.mutable_data());
  return a;
}

// An array that takes over the memory of `v` (no copy).
Array adopt(std::vector<double>&& v, std::vector<py::ssize_t> shape) {
  auto* owned = new std::vector<double>(std::move(v));
  py::capsule base(owned, [](void* p) { delete static_cast<std::vector<double>*>(p); });
  return Array(shape, owned->data(), base);
}

py::dict moments_dict(const std::vector<pc::Moments>& m, const char* prefix) {
  const std::string p(prefix);
  std::vector<double> centre, width, filling, skewness, kurtosis;
  for (const pc::Moments& x : m) {
    centre.push_back(x.centre), width.push_back(x.width), filling.push_back(x.filling);
    skewness.push_back(x.skewness), kurtosis.push_back(x.kurtosis);
  }
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(m.size())};
  py::dict d;
  d[py::str(p + "band_centre")] = array_of(centre, shape);
  d[py::str(p + "band_width")] = array_of(width, shape);
  d[py::str(p + "band_filling")] = array_of(filling, shape);
  d[py::str(p + "band_skewness")] = array_of(skewness, shape);
  d[py::str(p + "band_kurtosis")] = array_of(kurtosis, shape);
  return d;
}

py::dict failure_dict(const pc::Run& r) {
  py::dict d;
  d["ok"] = false;
  d["doscar"] = text(r.doscar);
  d["error_type"] = text(r.error_type);
  d["error_number"] = r.error_number;
  d["error_cause"] = text(r.error_cause);
  d["error_message"] = text(r.error_message);
  return d;
}

py::dict run_dict(pc::Run& r, bool sites) {
  if (!r.ok) return failure_dict(r);
  const auto nb = static_cast<py::ssize_t>(r.nbins);
  const auto nch = static_cast<py::ssize_t>(r.channel_reasons.size());
  const auto nel = static_cast<py::ssize_t>(r.elements.size());
  py::dict d;
  d["ok"] = true;
  d["doscar"] = text(r.doscar);
  d["source"] = text(r.source);
  d["compression"] = text(r.compression);
  d["structure"] = text(r.structure);
  d["symbols"] = r.symbols ? py::object(texts(*r.symbols)) : py::none();
  d["symbols_reason"] = text(r.symbols_reason);
  d["natoms"] = r.natoms;
  d["npoints"] = r.npoints;
  d["efermi"] = r.efermi;
  d["nblocks"] = r.nblocks;
  d["spin"] = text(r.spin);
  d["file_emin"] = r.file_emin;
  d["file_emax"] = r.file_emax;
  d["shift"] = r.shift;
  d["file_step"] = r.file_step;
  d["coarse"] = r.coarse;
  py::dict incar;
  for (const auto& [tag, value] : r.incar) incar[text(tag)] = text(value);
  d["incar"] = incar;
  d["dos"] = adopt(std::move(r.dos), {nch, nb});
  d["magnetisation"] = adopt(std::move(r.magnetisation), {nch, nb});
  py::array_t<bool> valid(nb);
  std::copy(r.valid.begin(), r.valid.end(), valid.mutable_data());
  d["valid"] = valid;
  d["channel_reasons"] = texts(r.channel_reasons);
  d["elements"] = texts(r.elements);
  d["element_dos"] = adopt(std::move(r.element_dos), {nel, 4, nb});
  d["site_dos"] = sites ? py::object(adopt(std::move(r.site_dos), {r.natoms, 4, nb})) : py::none();
  const pc::Descriptors& s = r.descriptors;
  py::dict desc;
  desc["gap"] = s.gap, desc["vbm"] = s.vbm, desc["cbm"] = s.cbm;
  desc["gap_pymatgen"] = s.gap_pymatgen, desc["vbm_pymatgen"] = s.vbm_pymatgen;
  desc["cbm_pymatgen"] = s.cbm_pymatgen;
  desc["dos_ef"] = s.dos_ef, desc["dos_ef_up"] = s.dos_ef_up, desc["dos_ef_down"] = s.dos_ef_down;
  desc["spin_polarisation"] = s.spin_polarisation, desc["magnetic_moment"] = s.magnetic_moment;
  desc["magnetic_moment_dos"] = s.magnetic_moment_dos, desc["states_window"] = s.states_window;
  desc["eigenvalue_gap"] = r.eigen.gap, desc["eigenvalue_vbm"] = r.eigen.vbm;
  desc["eigenvalue_cbm"] = r.eigen.cbm;
  d["descriptors"] = desc;
  d["eigenvalue_direct"] = r.eigen.direct;
  d["channel_descriptors"] = moments_dict(r.channel_moments, "");
  d["element_descriptors"] = moments_dict(r.element_d, "d_");
  return d;
}

py::list collect_batch(const py::iterable& folders, const py::dict& options,
                       const std::string& noncollinear_fix) {
  pc::Options o = options_of(options);
  o.noncollinear_fix = noncollinear_fix;
  if (py::isinstance<py::str>(folders) || py::isinstance<py::bytes>(folders)) {
    throw py::type_error("_collect_batch(): folders must be a list of paths, not one path");
  }
  std::vector<std::string> paths;
  for (const py::handle f : folders) {
    if (!is_path(f)) {
      throw py::type_error("_collect_batch(): folders must be str or os.PathLike, not " +
                           type_name(f));
    }
    paths.push_back(fs_path(f));
  }
  std::vector<pc::Run> runs(paths.size());
  {
    py::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < paths.size(); ++i) runs[i] = pc::collect_run(paths[i], o);
  }
  py::list out;
  for (pc::Run& r : runs) out.append(run_dict(r, o.sites));
  return out;
}

constexpr const char* kCollectDoc = R"(Rows of a dataset, one per run folder (see pdsplit.collect).

folders: run folders (or DOSCAR files), str or os.PathLike.
options: dict; keys grid (emin, emax, step), align ("efermi" or "vbm"),
         sigma, channels (list of selections), sites, band_erange (lo, hi),
         window (lo, hi), gap_tol, noncollinear (-1, 0, 1), bounded as
         _check_collect_options() says.
noncollinear_fix: how the caller sets noncollinear, named in the reason of a
         run with 16 values per point that neither noncollinear nor INCAR
         decides (the command: "--noncollinear yes or --noncollinear no").

Returns one dict per folder, in order: ok True with the run's metadata (doscar:
the DOS file read, source: its name alone), DOS on the common grid and
descriptors (eigenvalue_gap, _vbm, _cbm among them, NaN without eigenvalues;
eigenvalue_direct 1, 0 or -1 beside them), or ok False with error_type,
error_number, error_cause and error_message. A bad run never raises; bad
options raise TypeError or ValueError. The GIL is released while the runs
are read and computed.)";

constexpr const char* kCheckDoc = R"(Checks the options of _collect_batch without reading a run.

Raises ValueError naming the option and its limit: grid numbers finite,
step > 0, emax > emin, 1 to 200000 bins; sigma finite and >= 0, with its
kernel K = ceil(5 sigma / step) bins to each side keeping (bins + 2K) * K
at most 5e7; gap_tol finite and >= 0; band_erange and window finite with
lo < hi; noncollinear -1, 0 or 1. TypeError for values of the wrong type.)";

constexpr const char* kGridBinsDoc = R"(The bin count of the grid (emin, emax, step).

(emax - emin) / step in double precision, rounded to the nearest integer
with a half rounded up: 41 for (-10, 10.25, 0.5). Raises ValueError as
_check_collect_options() does for a grid.)";

std::int64_t grid_bins(double emin, double emax, double step) {
  pc::Options o;
  o.grid = {emin, emax, step};
  pc::check_options(o);
  return o.grid.bins();
}

}  // namespace

void bind_collect(py::module_& m) {
  m.def("_collect_batch", &collect_batch, py::arg("folders"), py::arg("options") = py::dict(),
        py::arg("noncollinear_fix") = pc::Options().noncollinear_fix, kCollectDoc);
  m.def(
      "_check_collect_options", [](const py::dict& options) { options_of(options); },
      py::arg("options"), kCheckDoc);
  m.def("_grid_bins", &grid_bins, py::arg("emin"), py::arg("emax"), py::arg("step"), kGridBinsDoc);
}

}  // namespace pdsplit_python
