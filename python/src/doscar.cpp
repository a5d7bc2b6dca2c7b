// pdsplit.read and pdsplit.Doscar: the header, the classification and the
// blocks of a DOSCAR as numpy arrays, filled by the C++ readers with the GIL
// released.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "doscar.h"

namespace pdsplit_python {

namespace {

py::tuple names(const std::vector<std::string>& v) {
  return py::tuple(py::cast(v));
}

Doscar read(const std::filesystem::path& path,
            const std::optional<std::vector<std::int64_t>>& atoms) {
  Doscar d;
  const bool read_atoms = !atoms || !atoms->empty();
  {
    py::gil_scoped_release unlocked;
    d.path = pds::doscar_file(path.native());
    d.h = pds::load_header(d.path, read_atoms);
  }
  d.kind = pds::classify(d.h.NTCOL, d.h.NPCOL);
  d.slot = pds::atom_slots(atoms ? &*atoms : nullptr, d.h.NATOMS, d.path);
  std::int64_t kept = 0;
  for (std::int64_t s : d.slot) kept += s >= 0;
  const std::int64_t rows = d.points();
  d.total = Array(Shape{static_cast<py::ssize_t>(rows), d.h.NTCOL + 1});
  if (d.kind.known_atoms) d.width = std::int64_t{d.h.NPCOL} + 1;
  d.pdos = Array(Shape{static_cast<py::ssize_t>(kept), static_cast<py::ssize_t>(rows),
                       static_cast<py::ssize_t>(d.width)});
  d.energy1 = Array(Shape{static_cast<py::ssize_t>(read_atoms ? rows : 0)});
  pds::ValueArrays out;
  out.total = d.total.mutable_data();
  out.atoms = read_atoms;
  out.slot = d.slot;
  out.kept = d.pdos.mutable_data();
  out.energy1 = d.energy1.mutable_data();
  py::gil_scoped_release unlocked;
  pds::load_values(d.path, d.h, out);
  return d;
}

constexpr const char* kReadDoc = R"(Read a VASP DOSCAR file into numpy arrays.

path:  the DOSCAR file, or a folder that holds one (str or os.PathLike).
atoms: None for every atom's block; a list of atom numbers (from 1) to keep
       only those blocks (every block is still read and checked); [] for the
       total block only, which also reads a DOSCAR without projected DOS or
       with per-atom columns of no known kind (non-collinear runs).

Every value is exactly the double that the pdsplit command line reads from
its field. The GIL is released while the file is read.

Raises FileNotFoundError, PermissionError (or another OSError) when the file
cannot be opened or read, and DoscarError when its content is not a DOSCAR
that can be read (it ends early, a field is not a number, the column counts
are of no known kind, an atom is not in the file), with the line and field.)";

constexpr const char* kDoscarDoc = R"(The content of a DOSCAR file, as read by pdsplit.read().

Header: natoms, npoints, efermi, emax, emin (line 6), system (line 5).
Kind:   spin, projection ("l", "lm" or None when unknown), f_orbitals,
        total_columns and atom_columns (names of the value columns).
Blocks: total (npoints, 1 + len(total_columns)) and pdos (len(atoms),
        npoints, 1 + len(atom_columns)), the energy first, not shifted;
        atom(n) and sum(atoms) for single atoms and groups.)";

}  // namespace

void bind_doscar(py::module_& m) {
  py::class_<Doscar> cls(m, "Doscar", kDoscarDoc);
  cls.def_property_readonly(
         "path", [](const Doscar& d) { return file_name(d.path); }, "The file that was read.")
      .def_property_readonly("natoms", &Doscar::natoms, "Number of atoms (line 1).")
      .def_property_readonly("npoints", &Doscar::points, "Number of energy grid points (line 6).")
      .def_property_readonly(
          "efermi", [](const Doscar& d) { return d.h.EFERMI; }, "Fermi level in eV (line 6).")
      .def_property_readonly(
          "emax", [](const Doscar& d) { return d.h.EMAX; },
          "Upper end of the energy range in eV (line 6).")
      .def_property_readonly(
          "emin", [](const Doscar& d) { return d.h.EMIN; },
          "Lower end of the energy range in eV (line 6).")
      .def_property_readonly(
          "system", [](const Doscar& d) { return d.h.SYSTEM; },
          "System name: line 5, columns 1-40, without trailing blanks.")
      .def_property_readonly(
          "spin", [](const Doscar& d) { return d.kind.spin; },
          "True for a spin-polarised calculation (4 total columns).")
      .def_property_readonly(
          "projection",
          [](const Doscar& d) -> py::object {
            if (!d.kind.known_atoms) return py::none();
            return py::str(d.kind.lm ? "lm" : "l");
          },
          "\"l\" (l-projected), \"lm\" (l,m-projected) or None when not known.")
      .def_property_readonly(
          "f_orbitals", [](const Doscar& d) { return d.kind.f; },
          "True when the per-atom lines carry f orbitals.")
      .def_property_readonly(
          "total_columns", [](const Doscar& d) { return names(pds::total_columns(d.kind)); },
          "Names of the value columns of total, in file order.")
      .def_property_readonly(
          "atom_columns", [](const Doscar& d) { return names(pds::atom_columns(d.kind)); },
          "Names of the value columns of each atom's block, in file order.")
      .def_readonly("total", &Doscar::total,
                    "float64 array (npoints, 1 + len(total_columns)): the total block, energy "
                    "first.")
      .def_readonly("pdos", &Doscar::pdos,
                    "float64 array (len(atoms), npoints, 1 + len(atom_columns)): the blocks of "
                    "the kept atoms in file order, energy first.")
      .def_property_readonly("atoms", &Doscar::atoms,
                             "The numbers (from 1) of the kept atoms, in the order of pdos.")
      .def("atom", &Doscar::atom, py::arg("n"),
           "The block of atom n (a view into pdos); KeyError when it was not kept or is not "
           "in the file.")
      .def("sum", &Doscar::sum, py::arg("atoms"),
           "A new array: the value columns of the listed atoms added up in the order given "
           "(a repeated atom counts again), with atom 1's energies, exactly as the command "
           "line's -s1 and -s2 add them. KeyError for an atom that was not kept.")
      .def("__repr__", &Doscar::repr);
  bind_select(cls, m);

  m.def("read", &read, py::arg("path"), py::arg("atoms") = py::none(), kReadDoc);
}

}  // namespace pdsplit_python
