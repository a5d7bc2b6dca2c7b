// pdsplit.write: a block of doubles into a DOS column file, by the command
// line's own writer.
#include <pybind11/numpy.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bindings.h"
#include "doscar/doscar.h"
#include "output/output.h"

namespace pdsplit_python {

namespace {

using Block = py::array_t<double, py::array::c_style | py::array::forcecast>;

// shift: any real number (int, float, numpy scalars), else a one-line
// TypeError instead of pybind11's listing of every argument.
double shift_value(const py::object& shift) {
  const py::object real = py::module_::import("numbers").attr("Real");
  if (!py::isinstance(shift, real)) {
    throw py::type_error("write(): shift must be a real number, not " + type_name(shift));
  }
  return py::float_(shift).cast<double>();
}

// header: None, or one column name (str) per column of the block.
std::vector<std::string> header_names(const py::object& header) {
  if (py::isinstance<py::str>(header) || !py::isinstance<py::sequence>(header)) {
    throw py::type_error("write(): header must be a sequence of column names (str), not " +
                         type_name(header));
  }
  std::vector<std::string> names;
  for (const py::handle name : header) {
    if (!py::isinstance<py::str>(name)) {
      throw py::type_error("write(): header names are str, not " + type_name(name));
    }
    names.push_back(name.cast<std::string>());
  }
  return names;
}

void write(const std::filesystem::path& path, const Block& block, const py::object& shift_arg,
           const py::object& header) {
  const std::string name = path.native();
  const double shift = shift_value(shift_arg);
  if (block.ndim() != 2 || block.shape(1) < 2 || block.shape(1) > 100) {
    throw py::value_error("write() takes a 2-D array of rows: the energy, then 1 to 99 values");
  }
  pds::refuse_output(name);
  const int n = static_cast<int>(block.shape(1) - 1);
  // The writer keeps its spare output buffer between files for the process,
  // so writes stay under the GIL, one at a time.
  if (header.is_none()) {
    pds::writedos(name, shift, block.data(), block.shape(0), n);
  } else {
    pds::write_labelled(name, header_names(header), shift, block.data(), block.shape(0), n);
  }
}

constexpr const char* kWriteDoc = R"doc(Write a block as pdsplit writes its column files.

path:  the file to write (str or os.PathLike); it is emptied first.
       DoscarError (number 1) for an empty name, a name whose last
       component is DOSCAR, DOSCAR.gz, DOSCAR.xz or DOSCAR.bz2, and an
       existing file that is such a DOSCAR under another name (a symbolic
       link to one, or a hard link to one in its folder).
block: 2-D array of rows, the energy first, then 1 to 99 values (such as
       Doscar.total, Doscar.atom(n) or Doscar.sum(atoms)).
shift: subtracted from every energy; shift=dos.efermi puts the Fermi level
       at zero, as the command line does by default.

Each line is the energy in 11 characters with 3 decimals (F11.3), then each
value in 12 characters with 4 significant digits (E12.4), then LF: the bytes
of pdsplit -t, -p, -s1 and -s2. OSError when the file cannot be written.

header: None, or one name per column of block, the energy included, such
       as ("energy",) + dos.select_columns("O(p)"). The file then starts
       with one line: "#", the first name right-aligned to column 11, and
       each further name after a blank, right-aligned in 12 columns, so
       that names of up to 10 and 11 characters stand over their columns
       (a longer one moves those after it). Names are single words: no
       blanks, no control characters (ValueError).)doc";

}  // namespace

void bind_output(py::module_& m) {
  m.def("write", &write, py::arg("path"), py::arg("block"), py::arg("shift") = 0.0,
        py::arg("header") = py::none(), kWriteDoc);
  m.def(
      "_refuse_output",
      [](const std::filesystem::path& path, const std::filesystem::path& input) {
        pds::refuse_output(path.native(), input.native());
      },
      py::arg("path"), py::arg("input"),
      "DoscarError (number 1) when write() refuses `path`, or when it is the file `input` "
      "(the DOSCAR being read) under any name; for python3 -m pdsplit.");
}

}  // namespace pdsplit_python
