// make()'s components and black hole as the text of a galaxy file, which
// the generator then reads as it reads any: every key and value is judged
// there, and refused with its line in that text.
#ifndef PYTHON_GALAXY_FILE_H
#define PYTHON_GALAXY_FILE_H

#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

// The galaxy file of components (a sequence of dicts of the galaxy file's
// component keys), black_hole (None, a mass, or a dict {"mass": m}) and
// top, the galaxy's keys that are not None (units, seed, particles,
// centre, bulk_velocity, zero_com). TypeError for a value no key takes.
std::string galaxy_file_text(const py::handle &components, const py::handle &black_hole, const py::dict &top);

#endif
