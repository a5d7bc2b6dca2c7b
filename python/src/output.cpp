// pdsplit.write: a block of doubles into a DOS column file, by the command
// line's own writer.
#include <pybind11/numpy.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <string>

#include "bindings.h"
#include "doscar/doscar.h"
#include "output/output.h"

namespace pdsplit_python {

namespace {

using Block = py::array_t<double, py::array::c_style | py::array::forcecast>;

void write(const std::filesystem::path& path, const Block& block, double shift) {
  const std::string name = path.native();
  if (block.ndim() != 2 || block.shape(1) < 2 || block.shape(1) > 100) {
    throw py::value_error("write() takes a 2-D array of rows: the energy, then 1 to 99 values");
  }
  if (pds::names_doscar(name)) {
    pds::Failure f(pds::kNothingDone, pds::kUnitOutput, name);
    f.detail().text = name + ": a file named DOSCAR is never written";
    throw f;
  }
  // The writer keeps its spare output buffer between files for the process,
  // so writes stay under the GIL, one at a time.
  pds::writedos(name, shift, block.data(), block.shape(0), static_cast<int>(block.shape(1) - 1));
}

constexpr const char* kWriteDoc = R"(Write a block as pdsplit writes its column files.

path:  the file to write (str or os.PathLike); it is emptied first. A name
       whose last component is DOSCAR is refused with DoscarError.
block: 2-D array of rows, the energy first, then 1 to 99 values (such as
       Doscar.total, Doscar.atom(n) or Doscar.sum(atoms)).
shift: subtracted from every energy; shift=dos.efermi puts the Fermi level
       at zero, as the command line does by default.

Each line is the energy in 11 characters with 3 decimals (F11.3), then each
value in 12 characters with 4 significant digits (E12.4), then LF: the bytes
of pdsplit -t, -p, -s1 and -s2. OSError when the file cannot be written.)";

}  // namespace

void bind_output(py::module_& m) {
  m.def("write", &write, py::arg("path"), py::arg("block"), py::arg("shift") = 0.0, kWriteDoc);
}

}  // namespace pdsplit_python
