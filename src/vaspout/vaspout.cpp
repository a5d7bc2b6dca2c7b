// read_vaspout: the arrays of results/electron_dos laid out as the blocks of
// a DOSCAR of the same run (see vaspout.h for what the file holds).
#include <algorithm>
#include <string>
#include <vector>

#include "vaspout/vaspout.h"

namespace pds {

namespace {

const std::string kDos = "results/electron_dos/";

// What the arrays of results/electron_dos hold, checked against each other.
struct Layout {
  std::int64_t points = 0;   // NEDOS
  std::int64_t atoms = 0;    // NATOMS
  std::int64_t totals = 1;   // components of dos and dosi
  std::int64_t partial = 0;  // components of dospar; 0 without it
  std::int64_t projectors = 0;
  bool noncollinear = false;
  std::vector<std::int64_t> order;  // DOSCAR's orbital k -> projector of dospar
};

std::string str(std::int64_t n) {
  return std::to_string(n);
}

// The one value of the scalar dataset `path`.
double scalar(const Hdf5File& f, const std::string& path) {
  const std::vector<double> v = f.doubles(path);
  if (v.size() != 1) {
    f.refuse(kNothingDone, path + " holds " + str(std::ssize(v)) + " values, not one");
  }
  return v[0];
}

// An extent `have` of `path` that should be `want`: shorter is a file cut
// short (24), anything else a layout that VASP does not write.
void check_extent(const Hdf5File& f, const std::string& path, const std::string& what,
                  std::int64_t have, std::int64_t want) {
  if (have == want) return;
  f.refuse(have < want ? kEndOfFile : kNothingDone, path + " holds " + str(have) + " " + what +
                                                        " where the file declares " + str(want) +
                                                        (have < want ? ": it is truncated" : ""));
}

// The extents of `path`, which must have `rank` dimensions.
std::vector<std::int64_t> shape_of(const Hdf5File& f, const std::string& path, std::size_t rank) {
  std::vector<std::int64_t> s = f.shape(path);
  if (s.size() != rank) {
    f.refuse(kNothingDone, path + " has " + str(std::ssize(s)) + " dimensions; VASP writes " +
                               str(static_cast<std::int64_t>(rank)));
  }
  return s;
}

// A logical of input/incar: absent is false; VASP stores it as an integer,
// a text ("T", ".TRUE.") is taken as INCAR would take it.
bool incar_flag(const Hdf5File& f, const std::string& tag) {
  const std::string path = "input/incar/" + tag;
  if (!f.has(path)) return false;
  if (!f.holds_texts(path)) {
    const std::vector<std::int64_t> v = f.integers(path);
    return !v.empty() && v[0] != 0;
  }
  const std::vector<std::string> t = f.texts(path);
  return !t.empty() && incar_noncollinear(tag + " = " + t[0]);
}

// Spin from the components: 1 or 2 in a collinear run; 4 in dospar of a
// non-collinear one, whose total DOS holds 1 or 4 (the first is the DOS).
void read_spin(const Hdf5File& f, Layout& l) {
  const bool ncdij4 =
      f.has(kDos + "ncdij") && f.integers(kDos + "ncdij") == std::vector<std::int64_t>{4};
  l.noncollinear = l.totals == 4 || l.partial == 4 || ncdij4 || incar_flag(f, "LNONCOLLINEAR") ||
                   incar_flag(f, "LSORBIT");
  const bool ok =
      l.noncollinear
          ? (l.totals == 1 || l.totals == 4) && (l.partial == 0 || l.partial == 4)
          : (l.totals == 1 || l.totals == 2) && (l.partial == 0 || l.partial == l.totals);
  if (ok) return;
  f.refuse(kNothingDone,
           "its DOS has " + str(l.totals) + " spin components and its projected DOS " +
               str(l.partial) + (l.noncollinear ? " in a non-collinear run" : "") +
               ": VASP writes 1 and 1 (no spin), 2 and 2 (spin-polarised), or 1 or 4 and 4 "
               "(non-collinear)");
}

// "x2-y2" under the other names it goes by.
std::string orbital_name(std::string label) {
  if (label == "dx2-y2" || label == "dx2") return "x2-y2";
  return label;
}

// DOSCAR's orbitals found among the projector labels, by name.
void read_order(const Hdf5File& f, Layout& l) {
  const std::string path = "results/projectors/lchar";
  DoscarKind k = classify(2, static_cast<int>(std::min<std::int64_t>(l.projectors, 99)));
  if (!k.known_atoms) {
    f.refuse(kNothingDone, kDos + "dospar has " + str(l.projectors) +
                               " projectors per ion; VASP writes 3 or 4 (s p d f) or 9 or 16 "
                               "(s py pz px dxy ... fx3)");
  }
  if (!f.has(path)) f.refuse(kNothingDone, "has no " + path + " to name its projectors");
  std::vector<std::string> labels = f.texts(path);
  if (std::ssize(labels) < l.projectors) {
    f.refuse(kNothingDone, path + " names " + str(std::ssize(labels)) + " projectors, " + kDos +
                               "dospar has " + str(l.projectors));
  }
  labels.resize(static_cast<std::size_t>(l.projectors));
  std::string named;
  for (std::string& s : labels) named += " " + (s = orbital_name(s));
  for (const std::string& orbital : atom_columns(k)) {
    const auto at = std::find(labels.begin(), labels.end(), orbital);
    if (at == labels.end()) {
      f.refuse(kNothingDone, path + " names the projectors" + named + ", without " + orbital +
                                 ": not a layout that DOSCAR writes");
    }
    l.order.push_back(at - labels.begin());
  }
}

// The element of every atom, in atom order, from the ion types and their
// counts: of the final positions, else of the input.
std::vector<std::string> read_symbols(const Hdf5File& f) {
  for (const std::string group : {"results/positions/", "input/poscar/"}) {
    if (!f.has(group + "ion_types") || !f.has(group + "number_ion_types")) continue;
    const std::vector<std::string> types = f.texts(group + "ion_types");
    const std::vector<std::int64_t> counts = f.integers(group + "number_ion_types");
    if (types.size() != counts.size()) {
      f.refuse(kNothingDone, group + "ion_types names " + str(std::ssize(types)) +
                                 " elements and number_ion_types counts " +
                                 str(std::ssize(counts)));
    }
    std::vector<std::string> symbols;
    for (std::size_t t = 0; t < types.size(); ++t) {
      if (counts[t] < 0 || counts[t] > 10'000'000) {
        f.refuse(kNothingDone, group + "number_ion_types holds " + str(counts[t]));
      }
      const std::string symbol = element_symbol(types[t]);
      symbols.insert(symbols.end(), static_cast<std::size_t>(counts[t]),
                     symbol.empty() ? types[t] : symbol);
    }
    return symbols;
  }
  return {};
}

// The grid, the components and the atoms, from the shapes of the arrays.
Layout read_layout(const Hdf5File& f, std::int64_t structure_atoms) {
  Layout l;
  const std::int64_t energies = shape_of(f, kDos + "energies", 1)[0];
  l.points =
      f.has(kDos + "nedos") ? static_cast<std::int64_t>(scalar(f, kDos + "nedos")) : energies;
  check_extent(f, kDos + "energies", "energies", energies, l.points);
  if (l.points <= 0 || l.points > 100'000'000) {
    f.refuse(kNothingDone, "its DOS has " + str(l.points) + " grid points");
  }
  const std::vector<std::int64_t> dos = shape_of(f, kDos + "dos", 2);
  const std::vector<std::int64_t> dosi = shape_of(f, kDos + "dosi", 2);
  check_extent(f, kDos + "dos", "grid points", dos[1], l.points);
  check_extent(f, kDos + "dosi", "grid points", dosi[1], l.points);
  check_extent(f, kDos + "dosi", "spin components", dosi[0], dos[0]);
  l.totals = dos[0];
  l.atoms = structure_atoms >= 0    ? structure_atoms
            : f.has(kDos + "nions") ? static_cast<std::int64_t>(scalar(f, kDos + "nions"))
                                    : 0;
  if (f.has(kDos + "dospar")) {
    const std::vector<std::int64_t> s = shape_of(f, kDos + "dospar", 4);
    if (structure_atoms < 0) l.atoms = s[1];
    check_extent(f, kDos + "dospar", "ions", s[1], l.atoms);
    check_extent(f, kDos + "dospar", "grid points", s[3], l.points);
    l.partial = s[0];
    l.projectors = s[2];
  }
  if (l.atoms < 0 || l.atoms > 10'000'000) {
    f.refuse(kNothingDone, "it has " + str(l.atoms) + " ions");
  }
  read_spin(f, l);
  if (l.partial > 0) read_order(f, l);
  return l;
}

// Line 1 and line 6 of the DOSCAR of the run, and its column counts.
DoscarHeader header(const Hdf5File& f, const Layout& l, const std::vector<double>& energies) {
  DoscarHeader h;
  h.NATOMS = static_cast<std::int32_t>(l.atoms);
  h.NPOINTS = static_cast<std::int32_t>(l.points);
  h.EFERMI = scalar(f, kDos + "efermi");
  h.EMIN = f.has(kDos + "emin") ? scalar(f, kDos + "emin") : energies.front();
  h.EMAX = f.has(kDos + "emax") ? scalar(f, kDos + "emax") : energies.back();
  h.NTCOL = !l.noncollinear && l.totals == 2 ? 4 : 2;
  h.NPCOL = static_cast<std::int32_t>(l.projectors * l.partial);
  h.has_atoms = l.partial > 0;
  h.pdos_flag = h.has_atoms ? 1 : 0;
  if (f.has(kDos + "system") && f.holds_texts(kDos + "system")) {
    const std::vector<std::string> system = f.texts(kDos + "system");
    if (!system.empty()) h.SYSTEM = std::string(trimmed(fixed(system[0], 40)));
  }
  return h;
}

DoscarKind kind_of(const DoscarHeader& h, const Layout& l) {
  if (l.partial == 0) return classify(h.NTCOL, -1);
  if (!l.noncollinear) return classify(h.NTCOL, h.NPCOL);
  DoscarKind k = classify(h.NTCOL, static_cast<int>(l.projectors));
  k.noncollinear = true;
  return k;
}

// The total block: the energy, then dos and dosi of each component (the
// first only in a non-collinear run): dos, int or up, down, int_up, int_down.
Doubles total_block(const Hdf5File& f, const DoscarHeader& h, const std::vector<double>& energies) {
  const std::vector<double> dos = f.doubles(kDos + "dos");
  const std::vector<double> dosi = f.doubles(kDos + "dosi");
  const std::size_t n = energies.size(), w = static_cast<std::size_t>(h.NTCOL) + 1;
  const std::size_t spins = h.NTCOL / 2;
  Doubles block;
  block.resize(n * w);
  for (std::size_t j = 0; j < n; ++j) {
    double* row = block.data() + j * w;
    row[0] = energies[j];
    for (std::size_t c = 0; c < spins; ++c) {
      row[1 + c] = dos[c * n + j];
      row[1 + spins + c] = dosi[c * n + j];
    }
  }
  return block;
}

// The block of one atom from its slab of dospar (components x projectors x
// points): the energy, then per orbital in DOSCAR's order its components
// (up, down; or the DOS, mx, my, mz) side by side.
void atom_block(double* out, const std::vector<double>& slab, const Layout& l,
                const std::vector<double>& energies, std::int64_t width) {
  const std::int64_t n = l.points;
  for (std::int64_t j = 0; j < n; ++j) {
    double* row = out + j * width;
    row[0] = energies[static_cast<std::size_t>(j)];
    std::int64_t col = 1;
    for (std::int64_t q : l.order) {
      for (std::int64_t c = 0; c < l.partial; ++c) {
        row[col++] = slab[static_cast<std::size_t>((c * l.projectors + q) * n + j)];
      }
    }
  }
}

// The per-atom blocks of the atoms kept.
void read_atoms(const Hdf5File& f, DoscarData& d, const Layout& l,
                const std::vector<double>& energies) {
  std::int64_t kept = 0;
  for (std::int64_t s : d.slot) kept += s >= 0;
  d.has_pdos = true;
  d.pdos.resize(static_cast<std::size_t>(kept * l.points * d.width));
  d.energy1.resize(energies.size());
  std::copy(energies.begin(), energies.end(), d.energy1.data());
  for (std::int64_t a = 1; a <= l.atoms; ++a) {
    const std::int64_t s = d.slot[static_cast<std::size_t>(a)];
    if (s < 0) continue;
    atom_block(d.pdos.data() + s * l.points * d.width, f.slab(kDos + "dospar", 1, a - 1), l,
               energies, d.width);
  }
}

std::string folder_of(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : file.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

DoscarData read_vaspout(const std::string& file, const ReadOptions& o) {
  const Hdf5File f(file);
  if (!f.has("results/electron_dos")) {
    f.refuse(kNothingDone,
             "has no results/electron_dos: VASP writes the DOS of a run there (VASP 6, with "
             "NEDOS grid points); this file holds none",
             "no-dos");
  }
  DoscarData d;
  d.file = file;
  d.folder = folder_of(file);
  d.source = "vaspout";
  d.symbols = read_symbols(f);
  const Layout l = read_layout(f, d.symbols.empty() ? -1 : std::ssize(d.symbols));
  const std::vector<double> energies = f.doubles(kDos + "energies");
  d.h = header(f, l, energies);
  d.kind = kind_of(d.h, l);
  d.totals.push_back(total_block(f, d.h, energies));
  d.total_rows.push_back(l.points);
  d.efermis.push_back(d.h.EFERMI);
  if (o.atoms && o.kept != nullptr && !o.kept->empty() && l.partial == 0) {
    f.refuse(kEndOfFile,
             "has no projected DOS (no " + kDos +
                 "dospar); VASP writes it when LORBIT is set in INCAR (LORBIT = "
                 "11: l,m-projected)",
             "no-pdos");
  }
  const std::vector<std::int64_t> none;
  d.slot = atom_slots(o.atoms ? o.kept : &none, d.h.NATOMS, file);
  if (l.partial > 0) d.width = std::int64_t{d.h.NPCOL} + 1;
  if (o.atoms && l.partial > 0) read_atoms(f, d, l, energies);
  return d;
}

}  // namespace pds
