#include "python_run.h"

#include <cstring>

#include "particle_hdf5.h"

void raise_interruption(interruption *met, const std::string &what) {
  py::error_already_set error = *met->signal;
  if (!what.empty()) {
    const py::object value = error.value();
    if (PyErr_GivenExceptionMatches(error.type().ptr(), PyExc_KeyboardInterrupt) &&
        py::len(value.attr("args")) == 0) {
      value.attr("args") = py::make_tuple(what);
    } else if (py::hasattr(value, "add_note")) {
      value.attr("add_note")(what);
    }
  }
  throw error;
}

void raise_os_error(int error_number, const std::string &text) {
  const std::string words = std::strerror(error_number);
  const std::string message = text.find(words) == std::string::npos ? text + " (" + words + ")" : text;
  // OSError(errno, text) is made the subclass of errno.
  const py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(error_number, message);
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

std::string refusal_text(const std::string &messages) {
  const std::string prefix = "erreur: ";
  return messages.compare(0, prefix.size(), prefix) == 0 ? messages.substr(prefix.size()) : messages;
}

std::unique_lock<std::mutex> hdf5_lock(bool uses_hdf5) {
  static std::mutex hdf5_mutex;
  return uses_hdf5 && !hdf5_thread_safe() ? std::unique_lock<std::mutex>(hdf5_mutex)
                                          : std::unique_lock<std::mutex>();
}
