// The galaxy make() returns, and what write() and check() do with it.
#ifndef PYTHON_GALAXY_H
#define PYTHON_GALAXY_H

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "memory_run.h"
#include "python_arguments.h"

namespace py = pybind11;

// A galaxy made by make(): the record, shared with every array handed out.
struct galaxy_handle {
  std::unique_ptr<memory_galaxy> made;
  command_line options;  // the galaxy-ic options that made it
  std::string galaxy_text;  // the galaxy file of make(components=...), for them
  py::object ids;        // made on first use
  py::object types;      // the same
};

inline size_t particle_count(const galaxy_handle &g) {
  return g.made->sys->nb_element > 0 ? static_cast<size_t>(g.made->sys->nb_element) : 0;
}

// Writes the galaxy-ic file of g's options from g's arrays as they are now
// (Galaxy.write); format None: the file name's extension says.
void write_galaxy(galaxy_handle &g, const py::object &path, const py::object &format, bool double_precision,
                  bool long_ids, const py::object &softening, const py::object &max_record);

// What check() returns: galaxy-check's report of one file or galaxy.
struct check_report {
  std::vector<std::tuple<std::string, std::string, std::string>> lines;
  bool passed = false;
  std::string text;  // as galaxy-check prints it
};

// galaxy-check on a path or a Galaxy, options as keyword arguments.
check_report check_target(const py::object &target, const py::kwargs &options);

#endif
