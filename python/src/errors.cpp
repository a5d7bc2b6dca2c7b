// Failures of the C++ readers and writer as Python exceptions: an open, read
// or write refused by the system as OSError (so FileNotFoundError,
// PermissionError, ... by its errno), anything else as pdsplit.DoscarError
// with the failure's number, file, line and field.
#include <cstring>
#include <exception>

#include "bindings.h"
#include "collect/collect.h"
#include "textio/textio.h"

namespace pdsplit_python {

namespace {

py::object line_or_none(std::int64_t line) {
  return line > 0 ? py::object(py::int_(line)) : py::none();
}

// Texts hold bytes of the file and of its name: whatever is not UTF-8 shows
// as a replacement character instead of failing.
py::str text_of(const std::string& s) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

void set_python_error(const pds::Failure& f) {
  if (f.os_error() != 0) {
    // OSError(errno, text, filename) becomes the subclass of the errno.
    // A sentence of the reader (a folder without any DOSCAR) stands for the
    // system's text.
    const std::string text =
        f.detail().text.empty() ? std::strerror(f.os_error()) : f.detail().text;
    const py::tuple args = py::make_tuple(f.os_error(), text_of(text), file_name(f.file()));
    PyErr_SetObject(PyExc_OSError, args.ptr());
    return;
  }
  const pds::FailureDetail& d = f.detail();
  const py::object error_type = py::module_::import("pdsplit").attr("DoscarError");
  const std::string text =
      d.text.empty() ? f.file() + ": " + std::string(pds::failure_message(f.number())) : d.text;
  py::object columns = py::none(), field = py::none();
  if (d.first_column > 0) {
    columns = py::make_tuple(d.first_column, d.last_column);
    field = text_of(d.field);
  }
  const py::object error =
      error_type(text_of(text), f.number(), file_name(f.file()), line_or_none(d.line), columns,
                 field, pds::collect::failure_cause(f));
  PyErr_SetObject(error_type.ptr(), error.ptr());
}

}  // namespace

void bind_errors(py::module_&) {
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const pds::Failure& f) {
      set_python_error(f);
    }
  });
}

}  // namespace pdsplit_python
