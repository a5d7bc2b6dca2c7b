// Selections by element and orbital, and the structure beside a DOSCAR.
#include "doscar.h"

namespace pdsplit_python {

void bind_select(py::class_<Doscar>&, py::module_&) {}

void attach_structure(Doscar&, const py::object&) {}

}  // namespace pdsplit_python
