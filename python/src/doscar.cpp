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
#include "vasprun/vasprun.h"

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
    return pds::read_dos(path, o);
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
    return pds::read_dos(
        pds::memory_source(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)),
        "<data>", o);
  }
  if (py::hasattr(source, "read")) {
    const std::string name =
        py::str(py::getattr(source, "name", py::str("<stream>"))).cast<std::string>();
    auto file = std::make_unique<FileObjectSource>(source);
    py::gil_scoped_release unlocked;
    return pds::read_dos(std::move(file), name, o);
  }
  throw py::type_error("read(): source must be a path, bytes or a binary file object, not " +
                       type_name(source));
}

// source=: None, "doscar", "vasprun" or "vaspout".
std::string format_of(const py::object& source) {
  if (source.is_none()) return "";
  if (py::isinstance<py::str>(source)) {
    const std::string s = source.cast<std::string>();
    if (s == "doscar" || s == "vasprun" || s == "vaspout") return s;
  }
  throw py::value_error(
      "read(): source must be None, \"doscar\", \"vasprun\" or \"vaspout\", not " +
      py::repr(source).cast<std::string>());
}

bool flag(const py::object& value, const char* name) {
  if (!PyBool_Check(value.ptr())) {
    throw py::type_error(std::string("read(): ") + name + " must be True or False");
  }
  return value.cast<bool>();
}

Doscar read(const py::object& file, const py::object& atoms, const py::object& noncollinear,
            const py::object& structure, const py::object& source, const py::object& kpoints_opt,
            const py::object& eigenvalues) {
  const std::optional<std::vector<std::int64_t>> kept = atom_list(atoms);
  pds::ReadOptions o;
  o.format = format_of(source);
  o.kpoints_opt = flag(kpoints_opt, "kpoints_opt");
  o.eigenvalues = flag(eigenvalues, "eigenvalues");
  o.atoms = !kept || !kept->empty();
  o.kept = kept ? &*kept : nullptr;
  if (!noncollinear.is_none()) {
    if (!PyBool_Check(noncollinear.ptr())) {
      throw py::type_error("read(): noncollinear must be None, True or False");
    }
    o.noncollinear = noncollinear.cast<bool>() ? 1 : 0;
  }
  pds::DoscarData r = read_source(file, o);
  Doscar d;
  d.path = r.file;
  d.folder = r.folder;
  d.h = r.h;
  d.kind = r.kind;
  d.format = r.source;
  d.lattice = std::move(r.lattice);
  d.positions = std::move(r.positions);
  if (r.has_edges) d.edges = r.edges;
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
  if (structure.is_none() && !r.symbols.empty()) {
    // The elements the file itself names.
    d.symbols = std::move(r.symbols);
    d.structure = file_name(d.path);
  } else {
    attach_structure(d, structure);
  }
  return d;
}

// The band edges, read on first use from the file (the EIGENVAL beside a
// DOSCAR) when read() did not read them.
py::tuple band_properties(Doscar& d) {
  if (!d.edges) {
    if (d.folder.empty()) {
      throw py::value_error(d.path +
                            " was read from data: read it with eigenvalues=True for "
                            "its band edges");
    }
    const std::string path = d.path, format = d.format;
    py::gil_scoped_release unlocked;
    d.edges = pds::read_band_edges(path, format);
  }
  return py::make_tuple(d.edges->gap, d.edges->cbm, d.edges->vbm, d.edges->direct);
}

// The cell of a vasprun.xml as (lattice (3, 3), fractional positions
// (natoms, 3)), or None.
py::object cell(const Doscar& d) {
  if (d.lattice.empty()) return py::none();
  Array lattice(Shape{3, 3}, d.lattice.data());
  Array positions(Shape{static_cast<py::ssize_t>(d.positions.size() / 3), 3}, d.positions.data());
  return py::make_tuple(lattice, positions);
}

constexpr const char* kReadDoc =
    R"(Read the DOS of a VASP run (DOSCAR, vasprun.xml, vaspout.h5) into numpy arrays.

file:    a DOSCAR or vasprun.xml file (vaspout.h5 by its name), or a run
         folder (str or os.PathLike): the first there is of DOSCAR,
         DOSCAR.gz, .xz, .bz2, DOSCAR.static (and its compressed forms),
         vasprun.xml, vasprun.xml.gz, .xz, .bz2, vasprun.xml.static (and
         its forms), vaspout.h5; or the bytes of a DOSCAR or vasprun.xml
         (bytes, bytearray, memoryview); or a binary file object
         (open(..., "rb"), a member of a tar archive, a socket's
         makefile("rb")). gzip (several members too), xz and bzip2 data are
         recognised by their first bytes and decompressed as they are read;
         a vasprun.xml by its first character, "<".
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
structure: None (the elements a vasprun.xml names, else CONTCAR or POSCAR
         beside the DOSCAR when there is one), a path, a list of element
         symbols, an ASE Atoms or a pymatgen Structure: the element of each
         atom (Doscar.symbols).
source:  None, "doscar", "vasprun" or "vaspout": in a folder, read that
         file only (None: the order above, a DOSCAR first for its four
         significant digits); for a file, read it as that.
kpoints_opt: True: the DOS of KPOINTS_OPT of a vasprun.xml of VASP 6.3 and
         later (<dos comment="kpoints_opt">) instead of the main one.
eigenvalues: True: read the band edges of the eigenvalues too (a
         vasprun.xml's, or the EIGENVAL beside a DOSCAR), for
         Doscar.eigenvalue_band_properties; else they are read on its first
         use.

A vasprun.xml gives the same arrays as a DOSCAR of the same run: the total
block (energy, DOS, integrated; spin-polarised energy, up, down, integrated
up, integrated down; non-collinear its first spin set), each atom's
orbitals in DOSCAR's order, E_F of its <dos>, and the element of every atom
(symbols). It is scanned up to the end of its <dos> block only; every value
is the double nearest its decimal text (as float() and pymatgen read it; a
field of asterisks is NaN).

Every value is exactly the double of its field. A file whose line 1 says
there is no projected DOS (third number 0) is read with has_pdos False and
every further total block (an MD run's) in totals. A regular file is read
by two threads; a pipe, a file object or compressed data in one pass, its
arrays growing as the blocks arrive. The GIL is released while reading.

Raises FileNotFoundError, PermissionError (or another OSError) when the file
cannot be opened or read, TypeError for arguments of the wrong type, and
DoscarError when the content is not a DOSCAR that can be read (it ends
early, a field is not a number, compressed data is damaged, the column
counts are of no known kind, an atom is not in the file, a vasprun.xml
without a <dos> or with a DTD), with the line and field.)";

constexpr const char* kDoscarDoc =
    R"(The DOS of a DOSCAR (or vasprun.xml, vaspout.h5), as read by pdsplit.read().

Source: path, source (its name), format ("doscar", "vasprun", "vaspout");
        eigenvalue_band_properties (gap, cbm, vbm, is_direct).
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
      .def_property_readonly(
          "source",
          [](const Doscar& d) {
            const std::size_t slash = d.path.rfind('/');
            return file_name(slash == std::string::npos ? d.path : d.path.substr(slash + 1));
          },
          "The name of the file read, without its folder (\"DOSCAR.gz\", \"vasprun.xml\", "
          "\"vaspout.h5\"); for data, the name given to it.")
      .def_property_readonly(
          "format", [](const Doscar& d) { return d.format; },
          "What was read: \"doscar\", \"vasprun\" (vasprun.xml) or \"vaspout\" (vaspout.h5).")
      .def_property_readonly("eigenvalue_band_properties", &band_properties,
                             "(gap, cbm, vbm, is_direct) from the eigenvalues and occupations "
                             "(occupied: above 1e-8), as pymatgen's "
                             "Vasprun.eigenvalue_band_properties: a vasprun.xml's <eigenvalues>, "
                             "or the EIGENVAL beside a DOSCAR, read on first use unless read() "
                             "had eigenvalues=True.")
      .def_property_readonly("_cell", &cell,
                             "vasprun.xml: (lattice, fractional positions) of its last structure "
                             "before the DOS; else None.")
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

  m.def("read", &read, py::arg("file"), py::pos_only(), py::arg("atoms") = py::none(),
        py::arg("noncollinear") = py::none(), py::arg("structure") = py::none(), py::kw_only(),
        py::arg("source") = py::none(), py::arg("kpoints_opt") = false,
        py::arg("eigenvalues") = false, kReadDoc);
}

}  // namespace pdsplit_python
