// Selections by element, atom numbers and orbitals (Doscar.select), and the
// structure that names the element of every atom (Doscar.symbols). The
// language and the sums are the C++ library's; this file converts.
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "doscar.h"

namespace pdsplit_python {

namespace {

// The symbols of an ASE Atoms, a pymatgen Structure or a sequence of str.
std::vector<std::string> symbols_of_object(const py::object& structure) {
  py::object list;
  if (py::hasattr(structure, "get_chemical_symbols")) {
    list = structure.attr("get_chemical_symbols")();
  } else if (py::hasattr(structure, "sites")) {
    list = py::list();
    for (const py::handle site : structure.attr("sites")) {
      list.attr("append")(site.attr("specie").attr("symbol"));
    }
  } else {
    list = structure;
  }
  if (py::isinstance<py::str>(list) || !py::isinstance<py::sequence>(list)) {
    throw py::type_error(
        "read(): structure must be a path, a list of element symbols, an ASE Atoms or a "
        "pymatgen Structure, not " +
        type_name(structure));
  }
  std::vector<std::string> symbols;
  for (const py::handle item : list) {
    if (!py::isinstance<py::str>(item)) {
      throw py::type_error("read(): structure: element symbols are str, not " + type_name(item));
    }
    symbols.push_back(pds::element_symbol(item.cast<std::string>()));
    if (symbols.back().empty()) {
      throw py::value_error("read(): structure: \"" + item.cast<std::string>() +
                            "\" is not an element symbol");
    }
  }
  return symbols;
}

// Takes the symbols of the structure file beside the DOSCAR, checked, into
// d; false when there is none.
bool discover(Doscar& d) {
  if (d.folder.empty()) return false;
  std::string file;
  {
    py::gil_scoped_release unlocked;
    file = pds::find_structure(d.folder);
  }
  if (file.empty()) return false;
  std::vector<std::string> symbols = pds::read_structure(file);
  pds::check_structure(symbols.size(), file, d.natoms(), d.path);
  d.symbols = std::move(symbols);
  d.structure = file_name(file);
  return true;
}

// The symbols, for a selection that names an element. When read() found no
// usable structure file, it is looked for again so that the error says why.
const std::vector<std::string>& needed_symbols(Doscar& d) {
  if (d.symbols || discover(d)) return *d.symbols;
  const std::string where = d.folder.empty() ? "read from data, so no structure file is looked for"
                                             : "no CONTCAR or POSCAR beside " + d.path;
  throw py::value_error(
      "naming an element needs the element of every atom: " + where +
      "; give read(..., structure=...) a POSCAR, a list of symbols, an ASE Atoms or a pymatgen "
      "Structure");
}

// The columns that `text` adds up in d; the symbols only for an element.
pds::SelectionPlan plan_of(Doscar& d, const std::string& text) {
  const pds::Selection s = pds::parse_selection(text);
  const bool element = s.target == pds::Selection::Target::kElement;
  return pds::plan_selection(s, d.kind, d.natoms(), element ? &needed_symbols(d) : nullptr);
}

Array select(Doscar& d, const std::string& text) {
  const pds::SelectionPlan plan = plan_of(d, text);
  pds::SelectionBlocks in;
  in.rows = d.points();
  if (plan.total) {
    in.energy = d.total.data();
    in.energy_stride = d.total.shape(1);
    in.width = d.total.shape(1);
    in.blocks.push_back(d.total.data());
  } else {
    for (std::int64_t a : plan.atoms) {
      if (d.slot[static_cast<std::size_t>(a)] < 0) {
        throw py::key_error("selection \"" + text + "\" needs atom " + std::to_string(a) +
                            ", which was not kept: read() keeps the atoms listed in atoms=");
      }
      in.blocks.push_back(d.pdos.data() + d.place(a) * d.points() * d.width);
    }
    in.energy = d.energy1.data();
    in.width = d.width;
  }
  Array out(
      Shape{static_cast<py::ssize_t>(in.rows), static_cast<py::ssize_t>(plan.channels.size() + 1)});
  double* o = out.mutable_data();
  py::gil_scoped_release unlocked;
  pds::add_selection(o, in, plan.channels);
  return out;
}

py::tuple select_columns(Doscar& d, const std::string& text) {
  const pds::SelectionPlan plan = plan_of(d, text);
  std::string label;
  for (char c : text) {
    if (c != ' ' && c != '\t') label += c;
  }
  py::list names;
  for (const std::string& suffix : plan.suffixes) names.append(label + suffix);
  return py::tuple(names);
}

py::object elements(const Doscar& d) {
  if (!d.symbols) return py::none();
  std::vector<std::string> once;
  for (const std::string& s : *d.symbols) {
    if (std::find(once.begin(), once.end(), s) == once.end()) once.push_back(s);
  }
  return py::tuple(py::cast(once));
}

constexpr const char* kSelectDoc = R"doc(The DOS of a selection, added up: a new float64 array.

selection: an element ("O"), atom numbers and ranges ("1-8", "1,3,5",
    "1-3,7"), each optionally with orbitals in parentheses ("Fe(t2g,eg)",
    "O(p)", "1-8(d)"), or "total" (grammar: help(pdsplit)).

Columns: the energy, then one column per channel: the DOS (non-spin), up
and down (spin-polarised; down positive, as in the file), or the DOS, mx,
my and mz (non-collinear); select_columns() names them. The energies are
the total block's for "total", else atom 1's block's, as sum() uses. Each
value is added from 0.0 in one order: atoms ascending, and within an atom
the channel's orbital columns in file order, so results are the same to the
bit on every run and machine.

ValueError for a selection that is not in the language or not in the file
(an element the structure does not have, an orbital or group the file's
columns cannot give, an atom above natoms, no structure for an element);
KeyError for an atom that read(atoms=...) did not keep.)doc";

}  // namespace

void attach_structure(Doscar& d, const py::object& structure) {
  if (structure.is_none()) {
    // Nothing but a named element needs it: a file that cannot be used is
    // reported by the selection that names one.
    try {
      discover(d);
    } catch (const pds::Failure&) {
    }
    return;
  }
  std::vector<std::string> symbols;
  std::string name = "the structure given";
  if (is_path(structure)) {
    name = fs_path(structure);
    py::gil_scoped_release unlocked;
    symbols = pds::read_structure(name);
  } else {
    symbols = symbols_of_object(structure);
  }
  pds::check_structure(symbols.size(), name, d.natoms(), d.path);
  d.symbols = std::move(symbols);
  d.structure = is_path(structure) ? py::object(file_name(name)) : structure;
}

void bind_select(py::class_<Doscar>& cls, py::module_&) {
  cls.def_property_readonly(
         "symbols",
         [](const Doscar& d) -> py::object {
           if (!d.symbols) return py::none();
           return py::tuple(py::cast(*d.symbols));
         },
         "The element of every atom (a tuple of str, atom 1 first), from the structure given "
         "to read() or the CONTCAR or POSCAR beside the DOSCAR; None when there is none.")
      .def_property_readonly("elements", &elements,
                             "Each element of symbols once, in the order of first appearance; "
                             "None without a structure.")
      .def_property_readonly(
          "structure", [](const Doscar& d) { return d.structure ? d.structure : py::none(); },
          "Where symbols came from: the structure file's path (str), or the object given to "
          "read(structure=...); None without a structure.")
      .def("select", &select, py::arg("selection"), kSelectDoc)
      .def("select_columns", &select_columns, py::arg("selection"),
           "The names of the value columns of select(selection): the selection as written "
           "(without blanks), then nothing, \"_up\" and \"_down\", or nothing, \"_mx\", \"_my\" "
           "and \"_mz\": (\"O(p)\",), (\"O(p)_up\", \"O(p)_down\").");
}

}  // namespace pdsplit_python
