// Python bindings of pdsplit: one file per topic. They convert types and
// failures; the C++ readers and writer do the work.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace pdsplit_python {

namespace py = pybind11;

// A file name as os.fsencode() made it, back as str.
inline py::str file_name(const std::string& s) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The name of the type of `o`, for TypeError messages.
inline std::string type_name(const py::handle& o) {
  return py::str(py::type::of(o).attr("__name__"));
}

// A file name given as str or os.PathLike, and its bytes as os.fsencode()
// makes them.
inline bool is_path(const py::handle& o) {
  return py::isinstance<py::str>(o) || py::hasattr(o, "__fspath__");
}
inline std::string fs_path(const py::handle& o) {
  return py::module_::import("os").attr("fsencode")(o).cast<std::string>();
}

// pdsplit.Doscar and pdsplit.read (doscar.cpp).
void bind_doscar(py::module_& m);
// pdsplit.write (output.cpp).
void bind_output(py::module_& m);
// _core._collect_batch (collect.cpp).
void bind_collect(py::module_& m);
// pds::Failure raised as pdsplit.DoscarError or OSError (errors.cpp).
void bind_errors(py::module_& m);

}  // namespace pdsplit_python
