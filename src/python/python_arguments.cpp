#include "python_arguments.h"

#include <pybind11/numpy.h>

namespace {

bool is_bool(const py::handle &value) {
  if (PyBool_Check(value.ptr())) return true;
  static PyObject *numpy_bool = nullptr;  // the module holds numpy for its life
  if (numpy_bool == nullptr) numpy_bool = py::object(py::module_::import("numpy").attr("bool_")).release().ptr();
  return PyObject_IsInstance(value.ptr(), numpy_bool) == 1;
}

// A 0-d array stands for its one value; any other array is no scalar.
py::object scalar_of(const char *name, const char *wanted, const py::handle &value) {
  if (py::isinstance<py::array>(value)) {
    if (py::reinterpret_borrow<py::array>(value).ndim() != 0) type_error(name, wanted, value);
    return value.attr("item")();
  }
  return py::reinterpret_borrow<py::object>(value);
}

// value's integer, or a null object (no exception set) when it has none.
py::object index_of(const py::object &value) {
  if (is_bool(value) || !PyIndex_Check(value.ptr())) return py::object();
  PyObject *index = PyNumber_Index(value.ptr());
  if (index == nullptr) PyErr_Clear();
  return py::reinterpret_steal<py::object>(index);
}

}  // namespace

[[noreturn]] void type_error(const char *name, const char *wanted, const py::handle &value) {
  throw py::type_error(std::string(name) + " must be " + wanted + ", not " +
                       std::string(py::str(py::type::of(value).attr("__name__"))));
}

std::string integer_text(const char *name, const py::handle &given) {
  const py::object index = index_of(scalar_of(name, "an int", given));
  if (!index) type_error(name, "an int", given);
  return py::str(index);
}

std::string real_text(const char *name, const py::handle &given) {
  const py::object value = scalar_of(name, "a real number", given);
  if (const py::object index = index_of(value)) return py::str(index);
  if (is_bool(value) || py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value) ||
      !PyNumber_Check(value.ptr())) {
    type_error(name, "a real number", given);
  }
  PyObject *converted = PyNumber_Float(value.ptr());
  if (converted == nullptr) {
    PyErr_Clear();
    type_error(name, "a real number", given);
  }
  return py::repr(py::reinterpret_steal<py::object>(converted));
}

std::string string_text(const char *name, const py::handle &given) {
  const py::object value = scalar_of(name, "a str", given);
  if (!py::isinstance<py::str>(value)) type_error(name, "a str", given);
  std::string text = value.cast<std::string>();
  if (text.find('\0') != std::string::npos) throw py::value_error(std::string(name) + " holds a NUL character");
  return text;
}

std::string vector_text(const char *name, const py::handle &value) {
  const char *wanted = "a sequence of three real numbers";
  if (py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value) || !py::isinstance<py::sequence>(value) ||
      (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() != 1)) {
    type_error(name, wanted, value);
  }
  std::string text;
  // Each item is owned while it is read: a sequence may make it afresh
  // (array.array, numpy) and free it once let go.
  for (const py::handle item : py::iter(value)) {
    const py::object owned = py::reinterpret_borrow<py::object>(item);
    text += (text.empty() ? "" : ",") + real_text(name, owned);
  }
  return text;
}

bool flag_value(const char *name, const py::handle &given) {
  const py::object value = scalar_of(name, "a bool", given);
  if (!is_bool(value)) type_error(name, "a bool", given);
  return PyObject_IsTrue(value.ptr()) == 1;
}

std::string path_text(const py::handle &value) {
  const py::object path = py::module_::import("os").attr("fspath")(value);
  return string_text("path", path);
}
