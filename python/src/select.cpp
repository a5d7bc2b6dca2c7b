// Selections by element, atom numbers and orbitals (Doscar.select), and the
// structure that names the element of every atom (Doscar.symbols). The
// language and the sums are the C++ library's; this file converts.
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "py_doscar.h"

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
// d; false when there is none or it names no elements, d.symbols_reason then
// saying why.
bool discover(Doscar& d) {
  d.symbols_failure.reset();
  if (d.folder.empty()) {
    d.symbols_reason = d.path + " was read from data, so no structure file is looked for";
    return false;
  }
  std::string file;
  {
    py::gil_scoped_release unlocked;
    file = pds::find_structure(d.folder);
  }
  if (file.empty()) {
    d.symbols_reason = "there is no CONTCAR or POSCAR beside " + d.path;
    return false;
  }
  try {
    std::vector<std::string> symbols = pds::read_structure(file);
    pds::check_structure(symbols.size(), file, d.natoms(), d.path);
    d.symbols = std::move(symbols);
    d.structure = file_name(file);
    d.symbols_reason.clear();
    return true;
  } catch (const pds::Failure& f) {
    const std::string why =
        f.detail().text.empty() ? f.file() + ": " + std::strerror(f.os_error()) : f.detail().text;
    d.symbols_reason = "the structure file beside the DOSCAR cannot be used: " + why;
    d.symbols_failure = f;
    return false;
  }
}

// The symbols, for a selection that names an element. When read() found no
// usable structure file, it is looked for again; the error says why there
// are none and what to do.
const std::vector<std::string>& needed_symbols(Doscar& d, const std::string& text) {
  if (d.symbols || discover(d)) return *d.symbols;
  const std::string why =
      "selection \"" + pds::selection_excerpt(text) +
      "\" names an element, which needs the element of every atom: " + d.symbols_reason +
      ". Give read(..., structure=...) a list of symbols, an ASE Atoms, a "
      "pymatgen Structure or a POSCAR with element symbols" +
      (d.symbols_failure ? "; put the run's POTCAR beside a POSCAR without "
                           "element symbols (VASP 4)"
                         : "") +
      "; or select atom numbers (1-3,7) or all";
  if (d.symbols_failure) {
    pds::Failure f = *d.symbols_failure;
    f.detail().text = why;
    throw f;
  }
  throw py::value_error(why);
}

// Why a selection of atoms finds no per-atom blocks in a file read with
// them; "" when the reason is another (atoms=[], columns of no known kind).
std::string missing_pdos(const Doscar& d) {
  if (d.has_pdos || d.kind.known_atoms) return "";
  if (d.h.pdos_flag == 0) {
    return d.path +
           " has no projected DOS (line 1 says so: its third number is 0); VASP writes the "
           "per-atom blocks when LORBIT is set in INCAR (LORBIT = 11: l,m-projected)";
  }
  if (!d.h.has_atoms) {
    return d.path +
           " has no per-atom blocks: it ends after its total block; VASP writes them when "
           "LORBIT is set in INCAR (LORBIT = 11: l,m-projected)";
  }
  return "";
}

// The selection's text as UTF-8: TypeError for other than str, ValueError
// for a str without a UTF-8 form (a lone surrogate, as os.fsdecode() makes
// of bytes that are not UTF-8: those bytes are shown).
std::string selection_text(const py::handle& selection, const char* method) {
  if (!py::isinstance<py::str>(selection)) {
    throw py::type_error(std::string(method) + "(): the selection is a str, not " +
                         type_name(selection));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(selection.ptr(), &size);
  if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  PyErr_Clear();
  std::string shown;
  try {
    shown = selection.attr("encode")("utf-8", "surrogateescape").cast<std::string>();
  } catch (const py::error_already_set&) {
    shown = selection.attr("encode")("utf-8", "replace").cast<std::string>();
  }
  throw py::value_error("selection \"" + pds::selection_excerpt(shown) +
                        "\": not text (bytes that are not UTF-8, or a lone surrogate)");
}

// The columns that `text` adds up in d; the symbols only for elements.
pds::SelectionPlan plan_of(Doscar& d, const std::string& text) {
  const pds::Selection s = pds::parse_selection(text);
  if (s.target != pds::Selection::Target::kTotal) {
    const std::string missing = missing_pdos(d);
    if (!missing.empty()) {
      throw py::value_error("selection \"" + pds::selection_excerpt(text) +
                            "\" needs per-atom blocks: " + missing);
    }
  }
  const bool element = s.target == pds::Selection::Target::kElements;
  return pds::plan_selection(s, d.kind, d.natoms(), element ? &needed_symbols(d, text) : nullptr);
}

Array select(Doscar& d, const py::object& selection) {
  const std::string text = selection_text(selection, "select");
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
        throw py::key_error("selection \"" + pds::selection_excerpt(text) + "\" needs atom " +
                            std::to_string(a) +
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

py::tuple select_columns(Doscar& d, const py::object& selection) {
  const std::string text = selection_text(selection, "select_columns");
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

selection: an element or several ("O", "Fe,Co"), atom numbers and ranges
    ("1-8", "1,3,5", "1-3,7") or "all" (every atom), each optionally with
    orbitals in parentheses ("Fe(t2g,eg)", "Fe,Co(d)", "1-8(d)",
    "all(p)"), or "total" (grammar: help(pdsplit)).

Columns: the energy, then one column per channel: the DOS (non-spin), up
and down (spin-polarised; down positive, as in the file), or the DOS, mx,
my and mz (non-collinear); select_columns() names them. The energies are
the total block's for "total", else atom 1's block's, as sum() uses. Each
value is added from 0.0 in one order: atoms ascending, and within an atom
the channel's orbital columns in file order, so results are the same to the
bit on every run and machine.

ValueError for a selection that is not in the language or not in the file
(an element the structure does not have, an orbital or group the file's
columns cannot give, an atom above natoms, no structure for an element: the
message says why there is none, a file without projected DOS) or is not
text; TypeError for other than str; KeyError for an atom that
read(atoms=...) did not keep. Messages quote at most 40 bytes of the
selection, control characters escaped.)doc";

}  // namespace

void attach_structure(Doscar& d, const py::object& structure) {
  if (structure.is_none()) {
    // Nothing but a named element needs it: a file that cannot be used is
    // reported by the selection that names one, and by to_pymatgen().
    discover(d);
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
      .def_property_readonly(
          "_symbols_reason",
          [](const Doscar& d) -> py::object {
            if (d.symbols) return py::none();
            return py::reinterpret_steal<py::str>(
                PyUnicode_DecodeUTF8(d.symbols_reason.data(),
                                     static_cast<Py_ssize_t>(d.symbols_reason.size()), "replace"));
          },
          "Without symbols: why read() found none (for messages); else None.")
      .def("select", &select, py::arg("selection"), kSelectDoc)
      .def("select_columns", &select_columns, py::arg("selection"),
           "The names of the value columns of select(selection): the selection as written "
           "(without blanks), then nothing, \"_up\" and \"_down\", or nothing, \"_mx\", \"_my\" "
           "and \"_mz\": (\"O(p)\",), (\"O(p)_up\", \"O(p)_down\").");
}

}  // namespace pdsplit_python
