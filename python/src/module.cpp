// The extension module pdsplit._core; the package pdsplit re-exports it.
#include "bindings.h"

PYBIND11_MODULE(_core, m) {
  m.doc() = "Exact, fast reader and writer of VASP DOSCAR files (the C++ core of pdsplit).";
  pdsplit_python::bind_errors(m);
  pdsplit_python::bind_doscar(m);
  pdsplit_python::bind_output(m);
  pdsplit_python::bind_collect(m);
}
