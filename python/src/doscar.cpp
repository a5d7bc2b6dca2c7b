// pdsplit.read and pdsplit.Doscar: the header, the classification and the
// blocks of a DOSCAR as numpy arrays, filled by the C++ readers with the GIL
// released.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "py_doscar.h"

namespace pdsplit_python {

namespace {

py::tuple names(const std::vector<std::string>& v) {
  return py::tuple(py::cast(v));
}

// An array of numpy that owns the memory of `d` (mapped for it alone).
Array adopt(pds::Doubles& d, Shape shape) {
  struct Mapping {
    double* data;
    std::size_t bytes;
  };
  auto* m = new Mapping{nullptr, 0};
  m->data = d.release(m->bytes);
  if (m->data == nullptr) {
    delete m;
    return Array(shape);
  }
  py::capsule owner(m, [](void* p) {
    auto* mapping = static_cast<Mapping*>(p);
    pds::free_doubles(mapping->data, mapping->bytes);
    delete mapping;
  });
  return Array(shape, m->data, owner);
}

py::ssize_t ext(std::int64_t n) {
  return static_cast<py::ssize_t>(n);
}

// The bytes of a Python file object, read with its read(n) under the GIL
// (the reader runs without it, maybe in a second thread).
class FileObjectSource : public pds::ByteSource {
 public:
  explicit FileObjectSource(py::object file) : read_(file.attr("read")) {}
  ~FileObjectSource() override {
    py::gil_scoped_acquire locked;
    read_ = py::object();
  }
  std::size_t read(char* buf, std::size_t n) override {
    py::gil_scoped_acquire locked;
    const py::object chunk = read_(n);
    if (!py::isinstance<py::bytes>(chunk) && !py::isinstance<py::bytearray>(chunk)) {
      throw py::type_error("read(): the file object must be opened in binary mode ('rb')");
    }
    const std::string_view bytes =
        py::isinstance<py::bytes>(chunk)
            ? std::string_view(chunk.cast<py::bytes>())
            : std::string_view(PyByteArray_AsString(chunk.ptr()), PyByteArray_Size(chunk.ptr()));
    if (bytes.size() > n) throw py::value_error("read(): the file object returned too much");
    std::copy(bytes.begin(), bytes.end(), buf);
    return bytes.size();
  }

 private:
  py::object read_;
};

// atoms=: None, or integers only (numpy integers too): no bools, no floats.
std::optional<std::vector<std::int64_t>> atom_list(const py::object& atoms) {
  if (atoms.is_none()) return std::nullopt;
  std::vector<std::int64_t> list;
  for (const py::handle item : py::iter(atoms)) {
    const std::string type = type_name(item);
    if (PyBool_Check(item.ptr()) || type == "bool_" || !PyIndex_Check(item.ptr())) {
      throw py::type_error("read(): atoms must hold integers (atom numbers from 1), not " + type);
    }
    list.push_back(py::int_(py::reinterpret_borrow<py::object>(item)).cast<std::int64_t>());
  }
  return list;
}

// Reads `source`: a path (str, os.PathLike), data (bytes, bytearray,
// memoryview) or a binary file object.
pds::DoscarData read_source(const py::object& source, const pds::ReadOptions& o) {
  if (is_path(source)) {
    const std::string path = fs_path(source);
    py::gil_scoped_release unlocked;
    return pds::read_doscar(path, o);
  }
  if (PyObject_CheckBuffer(source.ptr())) {
    // Contiguous bytes only (a memoryview with steps raises BufferError);
    // the buffer is given back with the GIL held again.
    Py_buffer view;
    if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
      throw py::error_already_set();
    }
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};
    py::gil_scoped_release unlocked;
    return pds::read_doscar(
        pds::memory_source(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)),
        "<data>", o);
  }
  if (py::hasattr(source, "read")) {
    const std::string name =
        py::str(py::getattr(source, "name", py::str("<stream>"))).cast<std::string>();
    auto file = std::make_unique<FileObjectSource>(source);
    py::gil_scoped_release unlocked;
    return pds::read_doscar(std::move(file), name, o);
  }
  throw py::type_error("read(): source must be a path, bytes or a binary file object, not " +
                       type_name(source));
}

Doscar read(const py::object& source, const py::object& atoms, const py::object& noncollinear,
            const py::object& structure) {
  const std::optional<std::vector<std::int64_t>> kept = atom_list(atoms);
  pds::ReadOptions o;
  o.atoms = !kept || !kept->empty();
  o.kept = kept ? &*kept : nullptr;
  if (!noncollinear.is_none()) {
    if (!PyBool_Check(noncollinear.ptr())) {
      throw py::type_error("read(): noncollinear must be None, True or False");
    }
    o.noncollinear = noncollinear.cast<bool>() ? 1 : 0;
  }
  pds::DoscarData r = read_source(source, o);
  Doscar d;
  d.path = r.file;
  d.folder = r.folder;
  d.h = r.h;
  d.kind = r.kind;
  d.has_pdos = r.has_pdos;
  d.compression = r.compression;
  d.slot = r.slot;
  d.width = r.width;
  std::int64_t count = 0;
  for (std::int64_t s : d.slot) count += s >= 0;
  py::list totals;
  for (std::size_t b = 0; b < r.totals.size(); ++b) {
    totals.append(adopt(r.totals[b], Shape{ext(r.total_rows[b]), ext(d.h.NTCOL + 1)}));
  }
  d.totals = py::tuple(totals);
  d.total = d.totals[0].cast<Array>();
  d.efermis = r.efermis;
  d.pdos = adopt(r.pdos, Shape{ext(count), ext(d.points()), ext(d.width)});
  const auto energies = ext(static_cast<std::int64_t>(r.energy1.size()));
  d.energy1 = adopt(r.energy1, Shape{energies});
  attach_structure(d, structure);
  return d;
}

constexpr const char* kReadDoc = R"(Read a VASP DOSCAR into numpy arrays.

source:  a DOSCAR file, or a folder that holds one (str or os.PathLike): the
         first of DOSCAR, DOSCAR.gz, DOSCAR.xz, DOSCAR.bz2 in it; or the
         file's bytes (bytes, bytearray, memoryview); or a binary file
         object (open(..., "rb"), a member of a tar archive, a socket's
         makefile("rb")). gzip (several members too), xz and bzip2 data are
         recognised by their first bytes and decompressed as they are read.
atoms:   None for every atom's block; a list of atom numbers (integers from
         1) to keep only those blocks (every block is still read and
         checked); [] for the total block only, which also reads a DOSCAR
         whose per-atom lines are of no known kind.
noncollinear: None, True or False. A per-atom line of 16 values is written
         both by a collinear l,m-projected run with f orbitals and by a
         non-collinear l-projected one with f orbitals; None asks INCAR
         beside the DOSCAR (LNONCOLLINEAR or LSORBIT set true) and refuses
         the file when there is no INCAR. 12, 36 and 64 values (64 written on
         two lines per grid point) are non-collinear in any case.
structure: None (CONTCAR or POSCAR beside the DOSCAR when there is one), a
         path, a list of element symbols, an ASE Atoms or a pymatgen
         Structure: the element of each atom (Doscar.symbols).

Every value is exactly the double of its field. A file whose line 1 says
there is no projected DOS (third number 0) is read with has_pdos False and
every further total block (an MD run's) in totals. A regular file is read
by two threads; a pipe, a file object or compressed data in one pass, its
arrays growing as the blocks arrive. The GIL is released while reading.

Raises FileNotFoundError, PermissionError (or another OSError) when the file
cannot be opened or read, TypeError for arguments of the wrong type, and
DoscarError when the content is not a DOSCAR that can be read (it ends
early, a field is not a number, compressed data is damaged, the column
counts are of no known kind, an atom is not in the file), with the line and
field.)";

constexpr const char* kDoscarDoc = R"(The content of a DOSCAR file, as read by pdsplit.read().

Header: natoms, npoints, efermi, emax, emin (line 6), system (line 5).
Kind:   spin, noncollinear, projection ("l", "lm" or None when unknown),
        f_orbitals, has_pdos, total_columns and atom_columns (names of the
        value columns), compression.
Blocks: total (npoints, 1 + len(total_columns)) and pdos (len(atoms),
        npoints, 1 + len(atom_columns)), the energy first, not shifted;
        atom(n) and sum(atoms) for single atoms and groups; totals and
        efermis for every total block of the file.)";

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
          "system",
          [](const Doscar& d) {
            const std::size_t first = d.h.SYSTEM.find_first_not_of(" \t");
            return first == std::string::npos ? std::string() : d.h.SYSTEM.substr(first);
          },
          "System name: line 5, columns 1-40, without leading and trailing blanks.")
      .def_property_readonly(
          "spin", [](const Doscar& d) { return d.kind.spin; },
          "True for a spin-polarised calculation (4 total columns).")
      .def_property_readonly(
          "noncollinear", [](const Doscar& d) { return d.kind.noncollinear; },
          "True for a non-collinear run: each orbital has the columns of its DOS and of the "
          "magnetisation mx, my, mz.")
      .def_property_readonly(
          "has_pdos", [](const Doscar& d) { return d.has_pdos; },
          "True when the per-atom blocks were read; False for atoms=[] and for a file without "
          "projected DOS.")
      .def_property_readonly(
          "compression", [](const Doscar& d) { return d.compression; },
          "\"gzip\", \"xz\", \"bzip2\" or \"\" (plain text).")
      .def_readonly("totals", &Doscar::totals,
                    "Every total block of the file, in order, as arrays like total (the first is "
                    "total); an MD run's DOSCAR has one per step.")
      .def_property_readonly(
          "efermis", [](const Doscar& d) { return py::tuple(py::cast(d.efermis)); },
          "The Fermi level of each total block, in eV.")
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

  m.def("read", &read, py::arg("source"), py::arg("atoms") = py::none(),
        py::arg("noncollinear") = py::none(), py::arg("structure") = py::none(), kReadDoc);
}

}  // namespace pdsplit_python
