// The <dos> block of vasprun.xml into the arrays of a DOSCAR of the same
// run: the total block from <total>, each atom's block from its set of
// <partial>, the rows parsed straight into place.
#include <algorithm>
#include <optional>
#include <string>
#include <thread>

#include "vasprun/vasprun.h"

namespace pds {

namespace {

constexpr const char* kDos = "<dos>";
constexpr const char* kTotal = "<total> of <dos>";
constexpr const char* kPartial = "<partial> of <dos>";
constexpr int kMaxFields = 17;  // energy and 16 orbitals

// The <field> names of the <array> at the position, up to and with its
// first <set>.
std::vector<std::string> fields(XmlScan& s, const char* what) {
  std::vector<std::string> names;
  s.expect("array", false, what);
  for (XmlTag t = s.tag(what); t.name != "set" || t.closing; t = s.tag(what)) {
    if (t.name == "field" && !t.closing && !t.empty) {
      names.emplace_back(s.text(what));
      s.expect("field", true, what);
    } else {
      s.skip_element(t, what);
    }
  }
  return names;
}

void close_array(XmlScan& s, const char* block, const char* what) {
  s.expect("array", true, what);
  s.expect(block, true, what);
}

// <total>: rows of (energy, DOS, integrated) of each spin set, set after set.
struct Totals {
  std::vector<double> rows;
  int sets = 0;
  std::int64_t points = 0;
};

Totals read_totals(XmlScan& s) {
  if (fields(s, kTotal).size() != 3) {
    s.fail(kConversion, "malformed-xml",
           "<total> has other <field>s than energy, total, integrated");
  }
  Totals t;
  double v[3];
  while (!s.tag(kTotal).closing) {
    std::int64_t n = 0;
    for (int k; (k = s.row(v, 3, kTotal)) >= 0; ++n) {
      if (k != 3)
        s.fail(kConversion, "malformed-xml",
               "a row of <total> with " + std::to_string(k) + " of its 3 values");
      t.rows.insert(t.rows.end(), v, v + 3);
    }
    if (t.sets > 0 && n != t.points) {
      s.fail(kConversion, "malformed-xml",
             "spin set " + std::to_string(t.sets + 1) + " of <total> has " + std::to_string(n) +
                 " rows, spin set 1 " + std::to_string(t.points));
    }
    t.points = n;
    ++t.sets;
  }
  close_array(s, "total", kTotal);
  if (t.sets != 1 && t.sets != 2 && t.sets != 4) {
    s.fail(kConversion, "malformed-xml",
           "<total> has " + std::to_string(t.sets) + " spin sets (1, 2 or 4 are written)");
  }
  return t;
}

// The total block as a DOSCAR has it: (energy, DOS, integrated), or
// (energy, up, down, integrated up, integrated down); a non-collinear run's
// first set (its DOS, not the magnetisation).
void put_totals(const Totals& t, DoscarData& d) {
  const int cols = t.sets == 2 ? 5 : 3;
  const auto rows = static_cast<std::size_t>(t.points);
  d.totals.emplace_back();
  d.totals[0].resize(rows * cols);
  double* out = d.totals[0].data();
  const double* up = t.rows.data();
  const double* down = up + rows * 3;
  for (std::size_t j = 0; j < rows; ++j, out += cols) {
    out[0] = up[j * 3];
    if (cols == 3) {
      out[1] = up[j * 3 + 1];
      out[2] = up[j * 3 + 2];
    } else {
      out[1] = up[j * 3 + 1];
      out[2] = down[j * 3 + 1];
      out[3] = up[j * 3 + 2];
      out[4] = down[j * 3 + 2];
    }
  }
  d.total_rows.push_back(t.points);
  d.h.NTCOL = cols - 1;
  d.h.NPOINTS = static_cast<std::int32_t>(t.points);
  if (rows > 0) {
    d.h.EMIN = up[0];
    d.h.EMAX = up[(rows - 1) * 3];
  }
}

// The DOSCAR column (from 1, after the energy) of each <field> of
// <partial> (from 1, after energy) for spin set 0, and the orbital count.
std::vector<int> partial_columns(XmlScan& s, const std::vector<std::string>& names, int sets,
                                 bool& lm) {
  const int orbitals = static_cast<int>(names.size()) - 1;
  lm = orbitals >= 9;
  std::vector<int> column(names.size(), 0);
  std::vector<bool> seen(static_cast<std::size_t>(std::max(orbitals, 0)), false);
  bool known = orbitals == 3 || orbitals == 4 || orbitals == 9 || orbitals == 16;
  for (std::size_t k = 1; known && k < names.size(); ++k) {
    bool field_lm = lm;
    const int o = orbital_of_field(names[k], field_lm);
    known = o >= 0 && o < orbitals && field_lm == lm && !seen[static_cast<std::size_t>(o)];
    if (known) seen[static_cast<std::size_t>(o)] = true;
    column[k] = 1 + o * sets;
  }
  if (!known) {
    std::string list;
    for (std::size_t k = 1; k < names.size(); ++k) {
      if (k > 1) list += ' ';
      list += names[k];
    }
    Failure f(kNothingDone, kUnitDoscar, s.name());
    f.detail().line = s.line();
    f.set_cause("unknown-columns");
    f.detail().text = s.name() + ": line " + std::to_string(s.line()) + ": the <field>s of " +
                      "<partial> (" + list + ") are no known set of orbitals (s p d, s p d f, " +
                      "s py pz px dxy dyz dz2 dxz x2-y2, and the f's)";
    throw f;
  }
  return column;
}

// Where the atoms' rows go: the place of each atom kept among those kept.
struct AtomSink {
  const std::vector<std::int64_t>* kept = nullptr;  // sorted, unique; null: all
  std::int64_t place(std::int64_t atom) const {
    if (kept == nullptr) return atom - 1;
    const auto at = std::lower_bound(kept->begin(), kept->end(), atom);
    return at != kept->end() && *at == atom ? at - kept->begin() : -1;
  }
  // The places of atoms 1 ... natoms.
  std::int64_t places(std::int64_t natoms) const {
    if (kept == nullptr) return natoms;
    return std::upper_bound(kept->begin(), kept->end(), natoms) - kept->begin();
  }
};

// Where the rows of one spin set of one atom go.
struct SetPlace {
  std::int64_t atom = 0;
  int set = 0;
  double* block = nullptr;    // the atom's block; null when it is not kept
  double* energy1 = nullptr;  // atom 1's energies (its first set), else null
};

// The rows of a spin set of <partial> after its <set> tag, through its
// </set>; `points` of them, each of column.size() values.
void read_set(XmlScan& s, const std::vector<int>& column, std::int64_t width, std::int64_t points,
              const SetPlace& at) {
  const int values = static_cast<int>(column.size());
  double v[kMaxFields];
  std::int64_t j = 0;
  for (int n; (n = s.row(v, values, kPartial)) >= 0; ++j) {
    if (n != values || j == points) {
      s.fail(kConversion, "malformed-xml",
             j == points ? "a spin set of atom " + std::to_string(at.atom) +
                               " of <partial> has more rows than <total>"
                         : "a row of <partial> with " + std::to_string(n) + " of its " +
                               std::to_string(values) + " values");
    }
    if (at.energy1 != nullptr) at.energy1[j] = v[0];
    if (at.block == nullptr) continue;
    double* row = at.block + j * width;
    if (at.set == 0) row[0] = v[0];
    for (int k = 1; k < values; ++k) row[column[static_cast<std::size_t>(k)] + at.set] = v[k];
  }
  if (j != points) {
    s.fail(kConversion, "malformed-xml",
           "a spin set of atom " + std::to_string(at.atom) + " of <partial> has " +
               std::to_string(j) + " rows, <total> " + std::to_string(points));
  }
}

// Whether the sets of <partial> are read by more threads than the calling
// one: for a file of many rows whose atom count is known (so that the
// arrays are made whole beforehand and never move), when the caller allows.
int piece_workers(const VasprunRun& r, std::int64_t values, const ReadOptions& o) {
  static const int cores = static_cast<int>(std::thread::hardware_concurrency());
  constexpr std::int64_t kMinValues = std::int64_t{1} << 16;
  if (!o.second_thread || cores < 2 || r.natoms < 2 || r.natoms * values < kMinValues) return 0;
  return std::min(cores - 1, 3);
}

// The sets of <partial>: for each atom, `sets` spin sets of `points` rows,
// read here or, for a large file, as pieces on worker threads. Returns the
// number of atoms.
std::int64_t read_atoms(XmlScan& s, const std::vector<int>& column, int sets, std::int64_t points,
                        const VasprunRun& r, const ReadOptions& o, DoscarData& d) {
  const AtomSink sink{o.kept};
  const std::int64_t width = d.width;
  const int workers =
      piece_workers(r, std::int64_t{sets} * points * static_cast<std::int64_t>(column.size()), o);
  std::optional<PieceReaders> pieces;
  const auto room = [&](std::int64_t places) {
    const auto n = static_cast<std::size_t>(places * points * width);
    if (n <= d.pdos.size()) return;
    if (pieces) pieces->finish();  // the pieces queued write where the arrays are now
    d.pdos.resize(n);
  };
  if (workers > 0) {
    pieces.emplace(workers, s.name());
    room(sink.places(r.natoms));
  }
  std::int64_t atom = 0;
  try {
    while (!s.tag(kPartial).closing) {
      ++atom;
      const std::int64_t place = sink.place(atom);
      if (place >= 0) room(place + 1);
      if (atom == 1) d.energy1.resize(static_cast<std::size_t>(points));
      double* block = place >= 0 ? d.pdos.data() + place * points * width : nullptr;
      for (int set = 0; set < sets; ++set) {
        const XmlTag t = s.tag(kPartial);
        if (t.closing || t.name != "set") {
          s.fail(kConversion, "malformed-xml",
                 "atom " + std::to_string(atom) + " of <partial> has " + std::to_string(set) +
                     " spin sets, <total> " + std::to_string(sets));
        }
        const SetPlace at{atom, set, block, atom == 1 && set == 0 ? d.energy1.data() : nullptr};
        XmlPiece piece;
        if (pieces && s.take("</set>", piece)) {
          pieces->add(std::move(piece), [&column, width, points, at](XmlScan& p) {
            read_set(p, column, width, points, at);
          });
        } else {
          if (pieces) pieces->finish();  // a failure before this set comes first
          read_set(s, column, width, points, at);
        }
      }
      s.expect("set", true, kPartial);
    }
    close_array(s, "partial", kPartial);
  } catch (...) {
    if (pieces) pieces->finish();  // throws a failure of a piece before this one
    throw;
  }
  if (pieces) pieces->finish();
  return atom;
}

// Passes over the atoms' sets of <partial>: `natoms` of them when known
// (one search for the end), else counted.
std::int64_t pass_atoms(XmlScan& s, std::int64_t natoms) {
  std::int64_t atoms = 0;
  const int end = natoms >= 0 ? 0 : 1;
  for (int hit; (hit = natoms >= 0 ? s.find({"</partial>"})
                                   : s.find({"<set comment=\"ion", "</partial>"})) != end;
       ++atoms) {
    if (hit < 0) s.truncated(kPartial);
    s.advance(1);
  }
  s.advance(10);
  return natoms >= 0 ? natoms : atoms;
}

double read_efermi(XmlScan& s) {
  const std::string_view t = s.text(kDos);
  double v = 0.0;
  if (!parse_xml_number(t, v)) s.not_a_number(t.data(), t.size(), kDos);
  s.expect("i", true, kDos);
  return v;
}

}  // namespace

int orbital_of_field(std::string_view name, bool& lm) {
  static constexpr std::string_view kLm[] = {"s",   "py",   "pz",    "px",    "dxy",  "dyz",
                                             "dz2", "dxz",  "x2-y2", "fy3x2", "fxyz", "fyz2",
                                             "fz3", "fxz2", "fzx2",  "fx3"};
  static constexpr std::string_view kOldF[] = {"f-3", "f-2", "f-1", "f0", "f1", "f2", "f3"};
  static constexpr std::string_view kL[] = {"s", "p", "d", "f"};
  const std::size_t first = name.find_first_not_of(" \t");
  if (first == std::string_view::npos) return -1;
  name = name.substr(first, name.find_last_not_of(" \t") - first + 1);
  if (name == "s") return 0;
  if (name == "dx2" || name == "dx2-y2") name = "x2-y2";
  for (int i = 1; i < 4; ++i) {
    if (name == kL[i]) return lm = false, i;
  }
  for (int i = 1; i < 16; ++i) {
    if (name == kLm[i]) return lm = true, i;
  }
  for (int i = 0; i < 7; ++i) {
    if (name == kOldF[i]) return lm = true, 9 + i;
  }
  return -1;
}

void read_dos_block(XmlScan& s, const VasprunRun& r, DoscarData& d, const ReadOptions& o) {
  const XmlTag open = s.expect("dos", false, kDos);
  bool has_efermi = false;
  Totals totals;
  std::int64_t atoms = -1;
  for (XmlTag t = s.tag(kDos); !(t.closing && t.name == "dos"); t = s.tag(kDos)) {
    if (t.name == "i" && !t.closing && t.attributes.find("\"efermi\"") != std::string_view::npos) {
      d.h.EFERMI = read_efermi(s);
      has_efermi = true;
    } else if (t.name == "total" && !t.closing) {
      totals = read_totals(s);
      if (r.spin_sets != 0 && r.spin_sets != totals.sets) {
        s.fail(kConversion, "malformed-xml",
               "<total> has " + std::to_string(totals.sets) + " spin sets where <parameters> " +
                   "says " + std::to_string(r.spin_sets));
      }
      put_totals(totals, d);
    } else if (t.name == "partial" && !t.closing && totals.sets > 0) {
      const std::vector<std::string> names = fields(s, kPartial);
      bool lm = false;
      const std::vector<int> column = partial_columns(s, names, totals.sets, lm);
      const int orbitals = static_cast<int>(names.size()) - 1;
      d.h.NPCOL = orbitals * totals.sets;
      d.kind = classify(totals.sets == 4 ? 2 : d.h.NTCOL, totals.sets == 4 ? orbitals : d.h.NPCOL);
      d.kind.noncollinear = totals.sets == 4;
      d.width = d.h.NPCOL + 1;
      if (o.atoms) {
        atoms = read_atoms(s, column, totals.sets, totals.points, r, o, d);
      } else {
        atoms = pass_atoms(s, r.natoms);
      }
    } else if (t.closing) {
      s.fail(kConversion, "malformed-xml", "</" + excerpt(t.name) + "> inside <dos>");
    } else {
      s.skip_element(t, kDos);
    }
  }
  (void)open;
  if (totals.sets == 0 || !has_efermi) {
    s.fail(kConversion, "malformed-xml",
           std::string("the <dos> block has no ") + (has_efermi ? "<total>" : "efermi"));
  }
  d.efermis.push_back(d.h.EFERMI);
  d.h.pdos_flag = atoms >= 0 ? 1 : 0;
  d.h.has_atoms = atoms >= 0;
  if (atoms < 0) d.kind = classify(d.h.NTCOL, -1);
  if (r.natoms >= 0 && atoms >= 0 && atoms != r.natoms) {
    s.fail(kConversion, "malformed-xml",
           "<partial> has " + std::to_string(atoms) + " atoms, <atominfo> " +
               std::to_string(r.natoms));
  }
  d.h.NATOMS = static_cast<std::int32_t>(atoms >= 0 ? atoms : std::max<std::int64_t>(r.natoms, 0));
  d.has_pdos = atoms >= 0 && o.atoms;
}

}  // namespace pds
