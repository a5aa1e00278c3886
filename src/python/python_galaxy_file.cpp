#include "python_galaxy_file.h"

#include <cstdio>

#include "python_arguments.h"

namespace {

// A TOML string: quoted, with its quotes, backslashes and control
// characters escaped.
std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// One value as TOML: a bool, a whole number, a real, a string, or three
// reals for a vector key.
std::string value_text(const std::string &key, const py::handle &value) {
  const py::module_ numpy = py::module_::import("numpy");
  const char *name = key.c_str();
  if (py::isinstance<py::bool_>(value) || py::isinstance(value, numpy.attr("bool_"))) {
    return flag_value(name, value) ? "true" : "false";
  }
  if (py::isinstance<py::str>(value)) return quoted(string_text(name, value));
  if (key == "centre" || key == "bulk_velocity") return "[" + vector_text(name, value) + "]";
  if (py::isinstance<py::int_>(value) || py::isinstance(value, numpy.attr("integer"))) return integer_text(name, value);
  return real_text(name, value);
}

void add_table(std::string *text, const std::string &header, const py::handle &table, const char *what) {
  if (!py::isinstance<py::dict>(table)) type_error(what, "a dict of a galaxy file's keys", table);
  *text += header + "\n";
  for (const auto &item : table.cast<py::dict>()) {
    if (!py::isinstance<py::str>(item.first)) type_error(what, "str keys", item.first);
    const std::string key = item.first.cast<std::string>();
    // A key the file does not know is written as it is: the reader refuses it.
    *text += key + " = " + value_text(key, item.second) + "\n";
  }
}

}  // namespace

std::string galaxy_file_text(const py::handle &components, const py::handle &black_hole, const py::dict &top) {
  std::string text;
  for (const auto &item : top) {
    const std::string key = item.first.cast<std::string>();
    text += key + " = " + value_text(key, item.second) + "\n";
  }
  if (py::isinstance<py::dict>(components) || py::isinstance<py::str>(components) || !py::isinstance<py::sequence>(components)) {
    type_error("components", "a list of dicts, one a component", components);
  }
  for (const py::handle &component : components.cast<py::sequence>()) add_table(&text, "[[component]]", component, "components");
  if (!black_hole.is_none()) {
    if (py::isinstance<py::dict>(black_hole)) {
      add_table(&text, "[black_hole]", black_hole, "black_hole");
    } else {
      text += "[black_hole]\nmass = " + real_text("black_hole", black_hole) + "\n";
    }
  }
  return text;
}
