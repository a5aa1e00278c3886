// The Python module galaxy_ic: galaxies made in memory as numpy arrays by
// the generator's own engine, written and checked as the programs do.
// Keyword arguments become the equivalent galaxy-ic (or galaxy-check)
// command line, so that every value is judged, refused and recorded exactly
// as the programs judge, refuse and record it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "check_cli.h"
#include "driver.h"
#include "error_report.h"
#include "memory_run.h"
#include "particle_hdf5.h"
#include "provenance.h"
#include "units.h"

namespace py = pybind11;

namespace {

// How often a waiting call looks for Ctrl-C.
constexpr auto signal_poll = std::chrono::milliseconds(50);

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

[[noreturn]] void type_error(const char *name, const char *wanted, const py::handle &value) {
  throw py::type_error(std::string(name) + " must be " + wanted + ", not " +
                       std::string(py::str(py::type::of(value).attr("__name__"))));
}

bool is_integer(const py::handle &value) {
  return !py::isinstance<py::bool_>(value) && PyIndex_Check(value.ptr());
}

// An integer argument's decimal text; the programs judge its range.
std::string integer_text(const char *name, const py::handle &value) {
  if (!is_integer(value)) type_error(name, "an int", value);
  return py::str(py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr())));
}

// A real argument's text: an int's digits, a float's shortest round-trip
// form (repr), which strtod reads back to the same double.
std::string real_text(const char *name, const py::handle &value) {
  if (is_integer(value)) return integer_text(name, value);
  // float and what converts to one (numpy's float32, Fraction, Decimal).
  if (py::isinstance<py::bool_>(value) || py::isinstance<py::str>(value) || !PyNumber_Check(value.ptr())) {
    type_error(name, "a real number", value);
  }
  PyObject *converted = PyNumber_Float(value.ptr());
  if (converted == nullptr) {
    PyErr_Clear();
    type_error(name, "a real number", value);
  }
  return py::repr(py::reinterpret_steal<py::object>(converted));
}

std::string string_text(const char *name, const py::handle &value) {
  if (!py::isinstance<py::str>(value)) type_error(name, "a str", value);
  std::string text = value.cast<std::string>();
  if (text.find('\0') != std::string::npos) throw py::value_error(std::string(name) + " holds a NUL character");
  return text;
}

// Three reals as "X,Y,Z" (any other count is left for the programs to refuse).
std::string vector_text(const char *name, const py::handle &value) {
  if (py::isinstance<py::str>(value) || !py::isinstance<py::sequence>(value)) {
    type_error(name, "a sequence of three real numbers", value);
  }
  std::string text;
  for (const py::handle item : py::reinterpret_borrow<py::sequence>(value)) {
    text += (text.empty() ? "" : ",") + real_text(name, item);
  }
  return text;
}

bool flag_value(const char *name, const py::handle &value) {
  if (!py::isinstance<py::bool_>(value)) type_error(name, "a bool", value);
  return value.cast<bool>();
}

// A path argument: str or os.PathLike.
std::string path_text(const py::handle &value) {
  const py::object path = py::module_::import("os").attr("fspath")(value);
  return string_text("path", path);
}

// A refusal collected from report_error, without its "erreur: ".
std::string refusal_text(const std::string &messages) {
  const std::string prefix = "erreur: ";
  return messages.compare(0, prefix.size(), prefix) == 0 ? messages.substr(prefix.size()) : messages;
}

// Runs work(cancel) on a thread of its own while the calling thread, without
// the GIL, waits and looks for Ctrl-C; a signal's exception (KeyboardInterrupt)
// sets cancel and is raised once work has stopped. work's report_error
// messages go to *messages.
template <class Work>
auto run_interruptible(Work work, std::string *messages) -> decltype(work(nullptr)) {
  using result_type = decltype(work(nullptr));
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false, interrupted = false;
  result_type result{};
  std::exception_ptr failure;  // bad_alloc from the worker, raised here
  auto body = [&]() {
    error_capture capture(messages);
    try {
      result = work(&cancel);
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
  };
  {
    py::gil_scoped_release unlocked;
    std::thread worker;
    try {
      worker = std::thread(body);
    } catch (const std::system_error &) {
      body();  // no thread to be had: run here, uninterruptible
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!done) {
      if (finished.wait_for(lock, signal_poll, [&] { return done; })) break;
      lock.unlock();
      {
        py::gil_scoped_acquire locked;
        if (!interrupted && PyErr_CheckSignals() != 0) {
          interrupted = true;
          cancel.store(true);
        }
      }
      lock.lock();
    }
    lock.unlock();
    if (worker.joinable()) worker.join();
  }
  if (interrupted) throw py::error_already_set();
  if (failure) std::rethrow_exception(failure);
  return result;
}

// Serializes HDF5 use when the library cannot take two threads at once.
std::mutex hdf5_mutex;
std::unique_lock<std::mutex> hdf5_lock(bool uses_hdf5) {
  return uses_hdf5 && !hdf5_thread_safe() ? std::unique_lock<std::mutex>(hdf5_mutex)
                                          : std::unique_lock<std::mutex>();
}

// Memory this process can still take, in bytes (RAM and swap available);
// 0 when unknown.
double memory_available() {
  std::FILE *info = std::fopen("/proc/meminfo", "r");
  if (info == nullptr) return 0.0;
  char line[256];
  double total = 0.0;
  bool found = false;
  while (std::fgets(line, sizeof line, info) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1 || std::sscanf(line, "SwapFree: %llu kB", &kib) == 1) {
      total += static_cast<double>(kib) * 1024.0;
      found = true;
    }
  }
  std::fclose(info);
  return found ? total : 0.0;
}

// A galaxy the machine cannot hold now is refused before it is taken:
// touched, its pages would bring the out-of-memory killer to the
// interpreter.
void refuse_beyond_memory(const std::string &count) {
  const double n = std::strtod(count.c_str(), nullptr);
  const double needed = 7.0 * sizeof(double) * n, available = memory_available();
  // Beyond the machine's memory galaxy-ic refuses the count itself.
  if (available > 0.0 && needed > available && needed <= physical_memory_bytes()) {
    const std::string text = "particle count " + count + " needs " + std::to_string(static_cast<long long>(needed / 1048576.0)) +
                             " MiB, and this machine has " + std::to_string(static_cast<long long>(available / 1048576.0)) +
                             " MiB available";
    PyErr_SetString(PyExc_MemoryError, text.c_str());
    throw py::error_already_set();
  }
}

// A galaxy made by make(): the record, shared with every array handed out.
struct galaxy_handle {
  std::unique_ptr<memory_galaxy> made;
  command_line options;  // the galaxy-ic options that made it
  py::object ids;        // made on first use
};

size_t particle_count(const galaxy_handle &g) {
  return g.made->sys->nb_element > 0 ? static_cast<size_t>(g.made->sys->nb_element) : 0;
}

// A view of n rows of columns doubles at data, kept alive by owner.
py::array_t<double> record_view(double *data, size_t n, size_t columns, const py::object &owner) {
  std::vector<py::ssize_t> shape = {static_cast<py::ssize_t>(n)}, strides = {static_cast<py::ssize_t>(columns * sizeof(double))};
  if (columns > 1) {
    shape.push_back(static_cast<py::ssize_t>(columns));
    strides.push_back(sizeof(double));
  }
  static double none;
  return py::array_t<double>(shape, strides, data != nullptr ? data : &none, owner);
}

// The galaxy-ic options make()'s keyword arguments stand for.
command_line make_options(const py::handle &n, const py::dict &model) {
  command_line line;
  line.add("galaxy-ic");
  const std::string count = integer_text("n", n);
  if (count[0] == '-') throw py::value_error("particle count " + count + " is below 0");
  line.add("-p", count);
  refuse_beyond_memory(count);
  const struct {
    const char *name, *option;
    char kind;  // i integer, r real, s str, v vector, f flag
  } options[] = {{"seed", "--seed", 'i'},          {"equilibrium", "--equilibrium", 'f'},
                 {"profile", "--profile", 's'},    {"mass", "--mass", 'r'},
                 {"scale_length", "--scale-length", 'r'}, {"cutoff", "--cutoff", 'r'},
                 {"cutoff_strength", "--cutoff-strength", 'r'},
                 {"anisotropy_radius", "--anisotropy-radius", 'r'},
                 {"units", "--units", 's'},        {"centre", "--centre", 'v'},
                 {"bulk_velocity", "--bulk-velocity", 'v'}, {"zero_com", "--zero-com", 'f'},
                 {"threads", "--threads", 'i'}};
  for (const auto &o : options) {
    const py::object value = model[o.name];
    if (value.is_none()) continue;
    switch (o.kind) {
      case 'i': line.add(o.option, integer_text(o.name, value)); break;
      case 'r': line.add(o.option, real_text(o.name, value)); break;
      case 's': {
        const std::string text = string_text(o.name, value);
        if (std::strcmp(o.name, "units") != 0 || text != "si") line.add(o.option, text);  // si is the default
        break;
      }
      case 'v': line.add(o.option, vector_text(o.name, value)); break;
      case 'f': if (flag_value(o.name, value)) line.add(o.option); break;
    }
  }
  return line;
}

std::shared_ptr<galaxy_handle> make_galaxy(const py::object &n, const py::dict &model) {
  auto handle = std::make_shared<galaxy_handle>();
  handle->options = make_options(n, model);
  handle->made.reset(new memory_galaxy);
  std::vector<char *> argv = handle->options.argv();
  const int argc = static_cast<int>(argv.size()) - 1;
  memory_galaxy *made = handle->made.get();
  std::string messages;
  const memory_status status = run_interruptible(
      [&](const std::atomic<bool> *cancel) { return make_memory_galaxy(argc, argv.data(), cancel, made); },
      &messages);
  switch (status) {
    case memory_made: return handle;
    case memory_no_memory: throw std::bad_alloc();
    case memory_refused:
    case memory_cancelled: break;
  }
  throw py::value_error(refusal_text(messages));
}

// A Parameters field as a plain Python value.
py::object field_value(const provenance_field &f) {
  switch (f.kind) {
    case provenance_field::text: return py::str(f.words);
    case provenance_field::number: return py::int_(f.count);
    case provenance_field::real: return py::float_(f.values[0]);
    case provenance_field::triple: return py::make_tuple(f.values[0], f.values[1], f.values[2]);
    case provenance_field::flag: return py::bool_(f.set);
  }
  return py::none();
}

py::dict galaxy_parameters_of(const galaxy_handle &g) {
  py::dict parameters;
  for (const provenance_field &f : parameter_fields(g.made->provenance)) {
    if (std::strcmp(f.name, "Format") != 0) parameters[f.name] = field_value(f);
  }
  return parameters;
}

py::dict galaxy_units_of(const galaxy_handle &g) {
  const output_frame &frame = g.made->frame;
  py::dict units;
  units["system"] = unit_system_name(frame.system);
  units["length"] = frame.scale.length;
  units["mass"] = frame.scale.mass;
  units["velocity"] = frame.scale.velocity;
  units["time"] = frame.scale.time;
  return units;
}

// Whether a write's failure is the file system's rather than the options'.
bool is_file_failure(const std::string &why) {
  for (const char *call : {"fopen ", "fwrite ", "fclose ", "rename "}) {
    if (why.compare(0, std::strlen(call), call) == 0) return true;
  }
  return why.find("needs a regular file") != std::string::npos;
}

void write_galaxy(galaxy_handle &g, const py::object &path, const py::object &format, bool double_precision,
                  bool long_ids, const py::object &softening, const py::object &max_record) {
  command_line line = g.options;
  line.add("--format", string_text("format", format));
  line.add("-o", path_text(path));
  if (double_precision) line.add("--double");
  if (long_ids) line.add("--long-ids");
  if (!softening.is_none()) line.add("--softening", real_text("softening", softening));
  if (!max_record.is_none()) line.add("--max-record", integer_text("max_record", max_record));
  std::vector<char *> argv = line.argv();
  const int argc = static_cast<int>(argv.size()) - 1;
  const memory_galaxy *made = g.made.get();
  std::string messages;
  const bool uses_hdf5 = string_text("format", format) == "hdf5";
  const int status = run_interruptible(
      [&](const std::atomic<bool> *cancel) {
        const std::unique_lock<std::mutex> lock = hdf5_lock(uses_hdf5);
        return write_memory_galaxy(*made, argc, argv.data(), cancel);
      },
      &messages);
  if (status == 0) return;
  const std::string why = refusal_text(messages);
  if (is_file_failure(why)) {
    PyErr_SetString(PyExc_OSError, why.c_str());
    throw py::error_already_set();
  }
  throw py::value_error(why);
}

}  // namespace

namespace {

// What check() returns: galaxy-check's report of one file or galaxy.
struct check_report {
  std::vector<std::tuple<std::string, std::string, std::string>> lines;
  bool passed = false;
  std::string text;  // as galaxy-check prints it
};

// The galaxy-check options check()'s keyword arguments stand for; unknown
// names are refused as Python refuses them.
void add_check_options(command_line *line, const py::kwargs &options) {
  const struct {
    const char *name, *option;
    char kind;  // i integer, r real, s str, v vector, f flag, p path
  } known[] = {{"units", "--units", 's'},          {"mass", "--mass", 'r'},
               {"scale_length", "--scale-length", 'r'}, {"cutoff", "--cutoff", 'r'},
               {"centre", "--centre", 'v'},        {"bulk_velocity", "--bulk-velocity", 'v'},
               {"zero_com", "--zero-com", 'f'},    {"equilibrium", "--equilibrium", 'f'},
               {"profile", "--profile", 's'},      {"anisotropy_radius", "--anisotropy-radius", 'r'},
               {"cutoff_strength", "--cutoff-strength", 'r'}, {"threshold", "--threshold", 'r'},
               {"particles", "--particles", 'i'},  {"plot", "--plot", 'p'}};
  for (const auto &item : options) {
    const std::string name = py::str(item.first);
    const py::handle value = item.second;
    bool found = false;
    for (const auto &o : known) {
      if (name != o.name) continue;
      found = true;
      if (value.is_none()) break;
      // NAME=VALUE, so that a value that starts with '-' stays a value.
      const std::string option = o.option;
      switch (o.kind) {
        case 'i': line->add((option + "=" + integer_text(o.name, value)).c_str()); break;
        case 'r': line->add((option + "=" + real_text(o.name, value)).c_str()); break;
        case 's': line->add((option + "=" + string_text(o.name, value)).c_str()); break;
        case 'v': line->add((option + "=" + vector_text(o.name, value)).c_str()); break;
        case 'p': line->add((option + "=" + path_text(value)).c_str()); break;
        case 'f': if (flag_value(o.name, value)) line->add(o.option); break;
      }
    }
    if (!found) throw py::type_error("check() got an unexpected keyword argument '" + name + "'");
  }
}

// The model a galaxy was made from, as an HDF5 file of it states it.
memory_particles particles_of(const galaxy_handle &g) {
  memory_particles particles;
  particles.sys = g.made->sys;
  particles.units = g.made->frame.scale;
  particles.model = g.made->provenance.galaxy;
  particles.equilibrium = g.made->provenance.law == law_equilibrium;
  for (int k = 0; k < 3; ++k) {
    particles.model.centre[k] *= particles.units.length;
    particles.model.bulk_velocity[k] *= particles.units.velocity;
  }
  return particles;
}

check_report check_target(const py::object &target, const py::kwargs &options) {
  command_line line;
  line.add("galaxy-check");
  add_check_options(&line, options);
  std::shared_ptr<galaxy_handle> galaxy;
  memory_particles particles;
  std::string path;
  if (py::isinstance<galaxy_handle>(target)) {
    galaxy = target.cast<std::shared_ptr<galaxy_handle>>();
    particles = particles_of(*galaxy);
    path = "<galaxy>";
  } else {
    path = path_text(target);
  }
  line.add("--");
  line.words.push_back(path);
  std::vector<char *> argv = line.argv();
  check_outcome outcome;
  {
    py::gil_scoped_release unlocked;
    const std::unique_lock<std::mutex> lock = hdf5_lock(true);
    outcome = run_galaxy_check(static_cast<int>(argv.size()) - 1, argv.data(), galaxy ? &particles : nullptr);
  }
  if (outcome.status == 2) {
    if (outcome.checked || outcome.reason.find(": cannot open: ") != std::string::npos) {
      PyErr_SetString(PyExc_OSError, outcome.reason.c_str());
      throw py::error_already_set();
    }
    throw py::value_error(outcome.reason);
  }
  check_report report;
  for (const check_line &l : outcome.result.lines) {
    report.lines.emplace_back(l.name, l.figure, check_verdict_name(l.verdict));
  }
  report.passed = outcome.result.passed;
  report.text = check_report_lines(outcome) + (report.passed ? "PASS\n" : "FAIL\n");
  return report;
}

const char make_doc[] = R"(make(n: int, *, seed: int | None = None, equilibrium: bool = False,
     profile: str | None = None, mass: float | None = None,
     scale_length: float | None = None, cutoff: float | None = None,
     cutoff_strength: float | None = None, anisotropy_radius: float | None = None,
     units: str = "si", centre: Sequence[float] | None = None,
     bulk_velocity: Sequence[float] | None = None, zero_com: bool = False,
     threads: int | None = None) -> Galaxy

Makes a galaxy in memory, as galaxy-ic makes it.

The arrays hold exactly the values galaxy-ic writes to an HDF5 file for
the same options (galaxy-ic -p N --format hdf5 ...), bit for bit. Without
seed and equilibrium, the particles follow the program's one default
sequence, the same on every call.

Parameters (each None means galaxy-ic's default):
  n                  number of particles, 0 or more
  seed               0 to 2**64 - 1: an independent, reproducible
                     realization (counter-based streams)
  equilibrium        speeds and directions from the Hernquist distribution
                     function (needs seed or not; excludes profile)
  profile            "hernquist", "plummer", "jaffe", "dehnen:G", "nfw" or
                     "zhao:A,B,G": a tabulated model in equilibrium
  mass, scale_length, cutoff
                     total mass, scale length and cut-off (profiles: taper
                     radius), in units
  cutoff_strength    the taper's strength (profiles)
  anisotropy_radius  Osipkov-Merritt radius, in units (profiles)
  units              "si" (default), "cgs", "astro", "gadget" or "model"
  centre, bulk_velocity
                     three numbers each, in units
  zero_com           make the sample's own mean position and velocity
                     the centre and the bulk velocity
  threads            threads to use (default: every core this process may use)

Returns a Galaxy. Raises ValueError with galaxy-ic's message for a value
it refuses, TypeError for an argument of the wrong type, MemoryError when
the particles do not fit, KeyboardInterrupt on Ctrl-C (nothing is kept).
)";

const char write_doc[] = R"(write(path: str | os.PathLike, format: str = "hdf5", *,
      double_precision: bool = False, long_ids: bool = False,
      softening: float | None = None, max_record: int | None = None) -> None

Writes the file galaxy-ic writes for this galaxy's options.

format is "hdf5" (default), "ini", "gadget1", "gadget2" or "tipsy";
double_precision (--double), long_ids (--long-ids), softening and
max_record are the binary formats' options. The file is replaced safely:
written beside the old one and renamed over it once complete, so a failure
or Ctrl-C leaves the old file as it was. The file holds the arrays as they
are now, and records the equivalent galaxy-ic command line.

Raises ValueError for refused options, OSError when the file cannot be
written, KeyboardInterrupt on Ctrl-C.
)";

const char check_doc[] = R"(check(target: str | os.PathLike | Galaxy, **options) -> Report

Checks a particle file, or a Galaxy, as galaxy-check does.

target is a path (any format galaxy-check reads) or a Galaxy from make().
Keyword options are galaxy-check's: units, mass, scale_length, cutoff,
centre, bulk_velocity, zero_com, equilibrium, profile, anisotropy_radius,
cutoff_strength, threshold, particles, plot (a PNG path). Without model
options a Galaxy, like an HDF5 file, is held against the model it was made
from.

Returns a Report: lines, a list of (check, figure, verdict) with verdict
"PASS", "FAIL" or "INFO"; verdict, "PASS" or "FAIL"; passed; str() gives
galaxy-check's text. Raises ValueError for refused options or a file that
is not a particle file, OSError for one that cannot be read.
)";

}  // namespace

namespace {

void bind_galaxy(py::module_ &m) {
  py::class_<galaxy_handle, std::shared_ptr<galaxy_handle>>(m, "Galaxy",
                                                             "A galaxy made by make(); its arrays share one record.")
      .def_property_readonly(
          "pos", [](py::object self) { auto &g = self.cast<galaxy_handle &>();
            return record_view(g.made->sys->pos, particle_count(g), 3, self); },
          "Positions, n x 3 float64, in units (a view of the record: writable, no copy).")
      .def_property_readonly(
          "vel", [](py::object self) { auto &g = self.cast<galaxy_handle &>();
            return record_view(g.made->sys->vel, particle_count(g), 3, self); },
          "Velocities, n x 3 float64, in units.")
      .def_property_readonly(
          "mass", [](py::object self) { auto &g = self.cast<galaxy_handle &>();
            return record_view(g.made->sys->mass, particle_count(g), 1, self); },
          "Masses, n float64, in units.")
      .def_property_readonly(
          "ids", [](galaxy_handle &g) {
            if (!g.ids) {
              g.ids = py::module_::import("numpy").attr("arange")(1, particle_count(g) + 1, py::arg("dtype") = "uint64");
            }
            return g.ids; },
          "Particle IDs 1 to n, uint64, as the files number them (made on first use).")
      .def_property_readonly("units", &galaxy_units_of,
                             "The unit system: {'system': name, 'length': m, 'mass': kg, 'velocity': m/s, 'time': s}.")
      .def_property_readonly("parameters", &galaxy_parameters_of,
                             "How the galaxy was made: the HDF5 file's Parameters, as plain values.")
      .def_property_readonly(
          "command_line", [](const galaxy_handle &g) {
            std::string text;
            for (const std::string &w : g.options.words) text += (text.empty() ? "" : " ") + w;
            return text; },
          "The galaxy-ic command line that makes the same particles.")
      .def("__len__", &particle_count)
      .def("__repr__", [](const galaxy_handle &g) {
        return "<galaxy_ic.Galaxy of " + std::to_string(particle_count(g)) + " particles, units " +
               unit_system_name(g.made->frame.system) + ">"; })
      .def("write", &write_galaxy, write_doc, py::arg("path"), py::arg("format") = "hdf5", py::kw_only(),
           py::arg("double_precision") = false, py::arg("long_ids") = false, py::arg("softening") = py::none(),
           py::arg("max_record") = py::none());
}

void bind_report(py::module_ &m) {
  py::class_<check_report>(m, "Report", "galaxy-check's report: lines, verdict, passed.")
      .def_readonly("lines", &check_report::lines, "(check, figure, verdict) for each line of the report.")
      .def_readonly("passed", &check_report::passed, "True when no line fails.")
      .def_property_readonly("verdict", [](const check_report &r) { return r.passed ? "PASS" : "FAIL"; },
                             "\"PASS\" or \"FAIL\", as galaxy-check's last line.")
      .def("__bool__", [](const check_report &r) { return r.passed; })
      .def("__str__", [](const check_report &r) { return r.text; })
      .def("__repr__", [](const check_report &r) {
        return "<galaxy_ic.Report " + std::string(r.passed ? "PASS" : "FAIL") + ", " +
               std::to_string(r.lines.size()) + " lines>"; });
}

}  // namespace

PYBIND11_MODULE(galaxy_ic, m) {
  m.doc() = "Initial conditions of spherical galaxies as numpy arrays, from galaxy-ic's engine.";
  m.attr("__version__") = GALAXY_VERSION;
  // The signatures are written in the docstrings: every argument is taken
  // as a Python object and judged by hand.
  py::options options;
  options.disable_function_signatures();

  bind_galaxy(m);
  bind_report(m);
  m.def("make", [](const py::object &n, const py::object &seed, const py::object &equilibrium,
                   const py::object &profile, const py::object &mass, const py::object &scale_length,
                   const py::object &cutoff, const py::object &cutoff_strength,
                   const py::object &anisotropy_radius, const py::object &units, const py::object &centre,
                   const py::object &bulk_velocity, const py::object &zero_com, const py::object &threads) {
          py::dict model;
          model["seed"] = seed; model["equilibrium"] = equilibrium; model["profile"] = profile;
          model["mass"] = mass; model["scale_length"] = scale_length; model["cutoff"] = cutoff;
          model["cutoff_strength"] = cutoff_strength; model["anisotropy_radius"] = anisotropy_radius;
          model["units"] = units; model["centre"] = centre; model["bulk_velocity"] = bulk_velocity;
          model["zero_com"] = zero_com; model["threads"] = threads;
          return make_galaxy(n, model); },
        make_doc, py::arg("n"), py::kw_only(), py::arg("seed") = py::none(), py::arg("equilibrium") = false,
        py::arg("profile") = py::none(), py::arg("mass") = py::none(), py::arg("scale_length") = py::none(),
        py::arg("cutoff") = py::none(), py::arg("cutoff_strength") = py::none(),
        py::arg("anisotropy_radius") = py::none(), py::arg("units") = "si", py::arg("centre") = py::none(),
        py::arg("bulk_velocity") = py::none(), py::arg("zero_com") = false, py::arg("threads") = py::none());

  m.def("check", &check_target, check_doc, py::arg("target"));
}
