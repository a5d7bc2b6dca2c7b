// The Python object pdsplit.Doscar: what read() found in a DOSCAR, as numpy
// arrays, and the helpers the binding files share.
#pragma once

#include <pybind11/numpy.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "doscar/doscar.h"

namespace pdsplit_python {

using Array = py::array_t<double, py::array::c_style>;
using Shape = std::vector<py::ssize_t>;

struct Doscar {
  std::string path;
  std::string
      folder;  // the folder of the file, where INCAR and CONTCAR are looked for; "" for data
  std::optional<std::vector<std::string>> symbols;  // element of each atom, when known
  py::object structure;  // where symbols came from: the file name (str) or the object given
  // Without symbols: why there are none ("there is no CONTCAR or POSCAR
  // beside ..."), and the failure of the structure file found, if any.
  std::string symbols_reason;
  std::optional<pds::Failure> symbols_failure;
  pds::DoscarHeader h;
  pds::DoscarKind kind;
  std::string format = "doscar";           // "doscar", "vasprun" or "vaspout"
  std::vector<double> lattice, positions;  // vasprun.xml: the cell, when it has one
  std::optional<pds::BandEdges> edges;     // read, or looked up on first use
  bool has_pdos = false;
  std::string compression;
  std::vector<std::int64_t> slot;  // atom -> its block in pdos, or -1
  std::int64_t width = 1;          // values of a row of pdos, the energy included
  Array total, pdos, energy1;      // energy1: atom 1's energies, for sums
  py::tuple totals;                // every total block; the first is `total`
  std::vector<double> efermis;

  std::int64_t natoms() const { return pds::extent(h.NATOMS); }
  std::int64_t points() const { return pds::extent(h.NPOINTS); }

  py::tuple atoms() const {
    py::list kept;
    for (std::size_t a = 1; a < slot.size(); ++a) {
      if (slot[a] >= 0) kept.append(a);
    }
    return py::tuple(kept);
  }

  // The block of `atom` in pdos, or KeyError.
  std::int64_t place(std::int64_t atom) const {
    if (atom < 1 || atom > natoms()) {
      throw py::key_error("atom " + std::to_string(atom) + " is not in the file, which has " +
                          std::to_string(natoms()) + " atoms");
    }
    const std::int64_t s = slot[static_cast<std::size_t>(atom)];
    if (s < 0) {
      throw py::key_error("atom " + std::to_string(atom) +
                          " was not kept: read() keeps the atoms listed in atoms=");
    }
    return s;
  }

  py::object atom(std::int64_t a) const { return pdos[py::int_(place(a))]; }

  Array sum(const std::vector<std::int64_t>& atoms) const {
    if (atoms.empty()) throw py::value_error("sum() needs at least one atom");
    std::vector<const double*> blocks;
    for (std::int64_t a : atoms) blocks.push_back(pdos.data() + place(a) * points() * width);
    Array out(Shape{static_cast<py::ssize_t>(points()), static_cast<py::ssize_t>(width)});
    double* o = out.mutable_data();
    const double* energy = energy1.data();
    py::gil_scoped_release unlocked;
    pds::add_blocks(o, energy, blocks, points(), width - 1);
    return out;
  }

  py::str repr() const {
    return "<pdsplit.Doscar: " + std::to_string(natoms()) + " atoms, " + std::to_string(points()) +
           " points" + (kind.spin ? ", spin-polarised" : "") + ">";
  }
};

// Binds pdsplit.Doscar's selection methods and the structure attributes
// (select.cpp).
void bind_select(py::class_<Doscar>& cls, py::module_& m);
// Sets d.symbols from `structure` (None: the structure files beside the
// DOSCAR, when there are any; a path; a list of symbols; an ASE Atoms or a
// pymatgen Structure). Raises DoscarError for a count that differs from the
// DOSCAR's (select.cpp).
void attach_structure(Doscar& d, const py::object& structure);

}  // namespace pdsplit_python
