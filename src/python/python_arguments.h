// Python values as the text of galaxy-ic and galaxy-check options: each
// argument is converted by hand, so that the programs judge every value
// and a wrong type is a TypeError, never a crash.
#ifndef PYTHON_ARGUMENTS_H
#define PYTHON_ARGUMENTS_H

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace py = pybind11;

// A command line being built from keyword arguments.
struct command_line {
  std::vector<std::string> words;
  void add(const char *option) { words.emplace_back(option); }
  void add(const char *option, const std::string &value) {
    words.emplace_back(option);
    words.push_back(value);
  }
  std::vector<char *> argv() {
    std::vector<char *> pointers;
    for (std::string &w : words) pointers.push_back(&w[0]);
    pointers.push_back(nullptr);
    return pointers;
  }
};

[[noreturn]] void type_error(const char *name, const char *wanted, const py::handle &value);

// An integer argument's decimal text (int, numpy integers, a 0-d integer
// array; never a bool); the programs judge its range.
std::string integer_text(const char *name, const py::handle &value);

// A real argument's text: an integer's digits, else the shortest text that
// reads back to its float (float, numpy floats, Fraction, Decimal, a 0-d
// array; never a bool or a str).
std::string real_text(const char *name, const py::handle &value);

// A str (or 0-d str array) without NUL.
std::string string_text(const char *name, const py::handle &value);

// Three reals as "X,Y,Z" (any other count is left for the programs to refuse).
std::string vector_text(const char *name, const py::handle &value);

// A bool, numpy bool or 0-d bool array.
bool flag_value(const char *name, const py::handle &value);

// A path argument: str or os.PathLike.
std::string path_text(const py::handle &value);

#endif
