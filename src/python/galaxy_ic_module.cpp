// The Python module galaxy_ic: galaxies made in memory as numpy arrays by
// the generator's own engine, written and checked as the programs do.
// Keyword arguments become the equivalent galaxy-ic (or galaxy-check)
// command line, so that every value is judged, refused and recorded exactly
// as the programs judge, refuse and record it.
#include <algorithm>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver.h"
#include "memory_run.h"
#include "particle_groups.h"
#include "python_galaxy_file.h"
#include "provenance.h"
#include "python_arguments.h"
#include "python_galaxy.h"
#include "python_run.h"
#include "units.h"

namespace py = pybind11;

namespace {

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

[[noreturn]] void raise_memory_error(const std::string &text) {
  PyErr_SetString(PyExc_MemoryError, text.c_str());
  throw py::error_already_set();
}

// A galaxy the machine cannot hold now is refused before it is taken:
// touched, its pages would bring the out-of-memory killer to the
// interpreter. A count beyond int32 is galaxy-ic's refusal (ValueError).
void refuse_beyond_memory(const std::string &count) {
  const double n = std::strtod(count.c_str(), nullptr);
  switch (check_particle_count(n, physical_memory_bytes())) {
    case count_ok: break;
    case count_exceeds_memory: raise_memory_error("particle count " + count + " needs more memory than this machine has");
    case count_not_a_number:
    case count_out_of_range: return;
  }
  const double needed = 7.0 * sizeof(double) * n, available = memory_available();
  if (available > 0.0 && needed > available) {
    raise_memory_error("particle count " + count + " needs " + std::to_string(static_cast<long long>(needed / 1048576.0)) +
                       " MiB, and this machine has " + std::to_string(static_cast<long long>(available / 1048576.0)) +
                       " MiB available");
  }
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
command_line make_options(const py::handle &n, const py::dict &model, bool inline_galaxy) {
  command_line line;
  line.add("galaxy-ic");
  const bool galaxy = inline_galaxy || !model["galaxy"].is_none();
  if (!n.is_none() || !galaxy) {
    const std::string count = integer_text("n", n);
    if (count[0] == '-') throw py::value_error("particle count " + count + " is below 0");
    line.add("-p", count);
    refuse_beyond_memory(count);
  }
  if (galaxy) line.add("--galaxy", inline_galaxy ? std::string("<components>") : path_text(model["galaxy"]));
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

// make(components=...): the galaxy file they make, named "<components>",
// with the galaxy's own keys in it (the options that describe a galaxy
// have no place beside a galaxy file).
void take_components(const py::object &n, py::dict *model, galaxy_handle *handle) {
  const py::object components = (*model)["components"], hole = (*model)["black_hole"];
  if (components.is_none()) {
    if (!hole.is_none()) throw py::value_error("black_hole needs components, or a galaxy file");
    return;
  }
  if (!(*model)["galaxy"].is_none()) throw py::value_error("components and galaxy contradict: give one of them");
  py::dict top;
  for (const char *key : {"units", "seed", "centre", "bulk_velocity"}) {
    if (!(*model)[key].is_none()) top[key] = (*model)[key];
    (*model)[key] = py::none();
  }
  if (flag_value("zero_com", (*model)["zero_com"])) top["zero_com"] = py::bool_(true);
  (*model)["zero_com"] = py::bool_(false);
  if (!n.is_none()) top["particles"] = n;
  handle->galaxy_text = galaxy_file_text(components, hole, top);
}

std::shared_ptr<galaxy_handle> make_galaxy(const py::object &n, py::dict model) {
  auto handle = std::make_shared<galaxy_handle>();
  take_components(n, &model, handle.get());
  const bool inline_galaxy = !handle->galaxy_text.empty();
  handle->options = make_options(inline_galaxy ? py::none().cast<py::object>() : n, model, inline_galaxy);
  handle->made.reset(new memory_galaxy);
  std::vector<char *> argv = handle->options.argv();
  const int argc = static_cast<int>(argv.size()) - 1;
  memory_galaxy *made = handle->made.get();
  const std::string &text = handle->galaxy_text;
  interruption met;
  const memory_status status = run_interruptible(
      [&](const std::atomic<bool> *cancel) {
        return make_memory_galaxy(argc, argv.data(), cancel, made, text.empty() ? nullptr : &text);
      },
      &met);
  if (met.signal) raise_interruption(&met, "");
  switch (status) {
    case memory_made: return handle;
    case memory_no_memory: throw std::bad_alloc();
    case memory_refused:
    case memory_cancelled: break;
  }
  throw py::value_error(refusal_text(met.messages));
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
    if (f.name != "Format") parameters[f.name.c_str()] = field_value(f);
  }
  return parameters;
}

// G in a unit system: 1 in model units, by their making.
double gravitational_constant_in(unit_system system, const unit_scale &scale) {
  if (system == units_model) return 1.0;
  return gravitational_constant * scale.mass / (scale.length * scale.velocity * scale.velocity);
}

py::dict galaxy_units_of(const galaxy_handle &g) {
  const output_frame &frame = g.made->frame;
  py::dict units;
  units["system"] = unit_system_name(frame.system);
  units["length"] = frame.scale.length;
  units["mass"] = frame.scale.mass;
  units["velocity"] = frame.scale.velocity;
  units["time"] = frame.scale.time;
  units["G"] = gravitational_constant_in(frame.system, frame.scale);
  return units;
}

// G in each unit system's units, as the engine uses it.
py::dict gravitational_constants() {
  py::dict constants;
  for (unit_system system : {units_si, units_cgs, units_astro, units_gadget, units_model}) {
    constants[unit_system_name(system)] = gravitational_constant_in(system, scale_of(system, 1.0, 1.0));
  }
  return constants;
}

}  // namespace

namespace {

// Each docstring starts with the signature inspect reads (up to "--"); the
// types are in galaxy_ic.pyi.
const char make_doc[] = R"(make(n=None, *, seed=None, equilibrium=False, profile=None, mass=None,
     scale_length=None, cutoff=None, cutoff_strength=None, anisotropy_radius=None,
     units="si", centre=None, bulk_velocity=None, zero_com=False, threads=None,
     galaxy=None, components=None, black_hole=None)
--

Makes a galaxy in memory, as galaxy-ic makes it.

The arrays hold exactly the values galaxy-ic writes to an HDF5 file for
the same options (galaxy-ic -p N --format hdf5 ...), bit for bit. Without
seed and equilibrium, the particles follow the program's one default
sequence, the same on every call.

Parameters (each None means galaxy-ic's default):
  n                  number of particles, 0 or more (an int, a numpy
                     integer or a 0-d integer array; never a bool)
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
  galaxy             a galaxy file (TOML): a galaxy of several components
                     around an optional black hole; n, when given, is its
                     particle count and seed its seed
  components         the same given here: a list of dicts of a galaxy
                     file's component keys (name, role, profile, mass,
                     scale_length, cutoff, cutoff_strength,
                     anisotropy_radius, particles, type); n, seed, units,
                     centre, bulk_velocity and zero_com are the galaxy's
  black_hole         with components: its mass, in units

A galaxy of components has g.components (their names), g["name"] (a
component's views of the arrays), g.type and g.galaxy_file. An encounter's
file ([[galaxy]] tables) makes both galaxies on their orbit: g.galaxies
names them, g["mw"] gives one's particles (copies: its components lie
apart, by type) and g["mw halo"] a component's views.

Returns a Galaxy. Raises ValueError with galaxy-ic's message for a value
it refuses, TypeError for an argument of the wrong type, MemoryError when
the particles do not fit, KeyboardInterrupt on Ctrl-C (nothing is kept).
)";

const char write_doc[] = R"(write(self, path, format=None, *, double_precision=False, long_ids=False,
      softening=None, max_record=None)
--

Writes the file galaxy-ic writes for this galaxy's options.

format is "hdf5", "ini", "gadget1", "gadget2" or "tipsy"; None takes it
from the name's extension (.hdf5 or .h5, .ini, .gadget1, .gadget2, .tipsy
or .std) and refuses any other. double_precision (--double), long_ids
(--long-ids), softening and max_record are the binary formats' options.

The file holds the arrays as they are now: edited masses (each finite and
above 0) go in the mass table when they are all equal, else one for each
particle (HDF5 Masses with MassTable 0, a GADGET MASS block, tipsy's
per-particle mass); edited IDs (unique, from 1) are written as they are,
and refused for ini and tipsy, which hold none. The file records the
galaxy-ic command line that made the galaxy.

A file is only ever replaced whole: written beside the old one and renamed
over it once complete, so a failure, Ctrl-C, SIGTERM or SIGHUP leaves the
old file as it was and no temporary file. A file that cannot be replaced so
(no temporary file allowed beside it, hard links, another user's) is
refused with OSError. A FIFO or device is written as it comes; waiting for
its reader can be interrupted.

Raises ValueError for refused options, arrays or names, an OSError
subclass with errno set (FileNotFoundError, PermissionError ...) when the
file cannot be written, KeyboardInterrupt on Ctrl-C, whose message says
whether the file was left as it was or already written whole.
)";

const char check_doc[] = R"(check(target, *, units=None, mass=None, scale_length=None, cutoff=None,
      centre=None, bulk_velocity=None, zero_com=False, equilibrium=False,
      profile=None, anisotropy_radius=None, cutoff_strength=None,
      threshold=None, particles=None, plot=None, galaxy=None)
--

Checks a particle file, or a Galaxy, as galaxy-check does.

target is a path (any format galaxy-check reads) or a Galaxy from make().
Keyword options are galaxy-check's: units, mass, scale_length, cutoff,
centre, bulk_velocity, zero_com, equilibrium, profile, anisotropy_radius,
cutoff_strength, threshold, particles, plot (a PNG path), galaxy (a
galaxy file). Without model options a Galaxy, like an HDF5 file, is held
against the model (or galaxy file) it was made from.

Returns a Report: lines, a list of (check, figure, verdict) with verdict
"PASS", "FAIL" or "INFO"; verdict, "PASS" or "FAIL"; passed; str() gives
galaxy-check's text. Raises ValueError for refused options or a file that
is not a particle file, an OSError subclass with errno set for one that
cannot be read, KeyboardInterrupt on Ctrl-C (also while a FIFO waits for
its writer).
)";

}  // namespace

namespace {

// The galaxy's groups: its components, or one for a galaxy of options.
particle_groups groups_of(const galaxy_handle &g) {
  if (!g.made->groups.groups.empty()) return g.made->groups;
  particle_groups one;
  particle_group all;
  all.name = "galaxy";
  all.count = particle_count(g);
  one.groups.push_back(all);
  return one;
}

py::object particle_types(const galaxy_handle &g) {
  py::array_t<uint8_t> types(static_cast<py::ssize_t>(particle_count(g)));
  uint8_t *out = types.mutable_data();
  for (const particle_group &group : groups_of(g).groups) {
    std::fill(out + group.first, out + group.first + group.count, static_cast<uint8_t>(group.type));
  }
  return std::move(types);
}

py::list component_names(const galaxy_handle &g) {
  py::list names;
  for (const particle_group &group : groups_of(g).groups) names.append(group.name);
  return names;
}

py::list member_names(const galaxy_handle &g) {
  py::list names;
  for (const memory_member &m : g.made->members) names.append(m.name);
  return names;
}

// g["name"]: a component's particles, as views of the galaxy's arrays; an
// encounter's galaxy's, whose groups lie apart in the arrays (by type), as
// copies of its rows.
struct component_view {
  py::object galaxy;
  std::string name;
  int type = 1;  // 0: a galaxy of several types
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // [first, first + count)
  uint64_t count() const {
    uint64_t n = 0;
    for (const auto &r : ranges) n += r.second;
    return n;
  }
  py::object rows(const char *array) const {
    py::list parts;
    for (const auto &[first, n] : ranges) {
      parts.append(galaxy.attr(array)[py::slice(static_cast<py::ssize_t>(first), static_cast<py::ssize_t>(first + n), 1)]);
    }
    if (ranges.size() == 1) return parts[0];
    return py::module_::import("numpy").attr("concatenate")(parts);
  }
};

component_view component_of_galaxy(py::object self, const py::object &name) {
  const galaxy_handle &g = self.cast<galaxy_handle &>();
  const std::string wanted = string_text("name", name);
  const particle_groups groups = groups_of(g);
  for (const particle_group &group : groups.groups) {
    if (group.name == wanted) return {self, group.name, group.type, {{group.first, group.count}}};
  }
  for (const memory_member &m : g.made->members) {
    if (m.name != wanted) continue;
    component_view view{self, m.name, 0, {}};
    for (const size_t k : m.groups) view.ranges.push_back({groups.groups[k].first, groups.groups[k].count});
    return view;
  }
  std::string known = std::string(py::str(component_names(g)));
  if (!g.made->members.empty()) known += " and its galaxies " + std::string(py::str(member_names(g)));
  throw py::key_error("no component named " + wanted + " (the galaxy's are " + known + ")");
}

void bind_component(py::module_ &m) {
  py::class_<component_view>(m, "Component", "A component of a galaxy, g[\"name\"]: views of the galaxy's arrays.")
      .def_readonly("name", &component_view::name)
      .def_property_readonly(
          "particle_type", [](const component_view &c) -> py::object {
            return c.type > 0 ? py::object(py::int_(c.type)) : py::none(); },
          "Its particle type in the files (None for an encounter's galaxy, of several).")
      .def_property_readonly("pos", [](const component_view &c) { return c.rows("pos"); })
      .def_property_readonly("vel", [](const component_view &c) { return c.rows("vel"); })
      .def_property_readonly("mass", [](const component_view &c) { return c.rows("mass"); })
      .def_property_readonly("ids", [](const component_view &c) { return c.rows("ids"); })
      .def_property_readonly("type", [](const component_view &c) { return c.rows("type"); })
      .def("__len__", [](const component_view &c) { return c.count(); })
      .def("__repr__", [](const component_view &c) {
        return "<galaxy_ic.Component " + c.name + " of " + std::to_string(c.count()) + " particles>"; });
}

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
          "Masses, n float64, in units; write() writes them as edited.")
      .def_property_readonly(
          "ids", [](galaxy_handle &g) {
            if (!g.ids && !g.made->ids.empty()) {
              py::array_t<uint64_t> ids(static_cast<py::ssize_t>(g.made->ids.size()));
              std::copy(g.made->ids.begin(), g.made->ids.end(), ids.mutable_data());
              g.ids = std::move(ids);
            }
            if (!g.ids) {
              g.ids = py::module_::import("numpy").attr("arange")(1, particle_count(g) + 1, py::arg("dtype") = "uint64");
            }
            return g.ids; },
          "Particle IDs, uint64: 1 to n as made (an encounter's in galaxy order), on first use; write() writes "
          "them as edited.")
      .def_property_readonly("units", &galaxy_units_of,
                             "The unit system: {'system': name, 'length': m, 'mass': kg, 'velocity': m/s, 'time': s, "
                             "'G': G in these units}.")
      .def_property_readonly("parameters", &galaxy_parameters_of,
                             "How the galaxy was made: the HDF5 file's Parameters, as plain values.")
      .def_property_readonly(
          "command_line", [](const galaxy_handle &g) {
            std::string text;
            for (const std::string &w : g.options.words) text += (text.empty() ? "" : " ") + w;
            return text; },
          "The galaxy-ic command line that makes the same particles.")
      .def_property_readonly(
          "type", [](galaxy_handle &g) {
            if (!g.types) g.types = particle_types(g);
            return g.types; },
          "Each particle's type, uint8, as the files write it (1 for a galaxy of one component).")
      .def_property_readonly("components", &component_names,
                             "The names of the galaxy's components, in order (its black hole's \"black hole\" last).")
      .def_property_readonly("galaxies", &member_names,
                             "An encounter's two galaxies' names (g[\"name\"] gives one's particles), else [].")
      .def_property_readonly(
          "galaxy_file", [](const galaxy_handle &g) -> py::object {
            const std::string &text = g.made->provenance.galaxy_file_text;
            return text.empty() ? py::none() : py::object(py::str(text)); },
          "The galaxy file it was made from, as text (None for a galaxy of options).")
      .def("__getitem__", &component_of_galaxy, py::arg("name"))
      .def("__len__", &particle_count)
      .def("__repr__", [](const galaxy_handle &g) {
        return "<galaxy_ic.Galaxy of " + std::to_string(particle_count(g)) + " particles, units " +
               unit_system_name(g.made->frame.system) + ">"; })
      .def("write",
           [](galaxy_handle &g, const py::object &path, const py::object &format, const py::object &double_precision,
              const py::object &long_ids, const py::object &softening, const py::object &max_record) {
             write_galaxy(g, path, format, flag_value("double_precision", double_precision),
                          flag_value("long_ids", long_ids), softening, max_record);
           },
           write_doc, py::arg("path"), py::arg("format") = py::none(), py::kw_only(),
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
  m.attr("G") = gravitational_constants();
  // The signatures are written in the docstrings: every argument is taken
  // as a Python object and judged by hand.
  py::options options;
  options.disable_function_signatures();

  bind_component(m);
  bind_galaxy(m);
  bind_report(m);
  m.def("make", [](const py::object &n, const py::object &seed, const py::object &equilibrium,
                   const py::object &profile, const py::object &mass, const py::object &scale_length,
                   const py::object &cutoff, const py::object &cutoff_strength,
                   const py::object &anisotropy_radius, const py::object &units, const py::object &centre,
                   const py::object &bulk_velocity, const py::object &zero_com, const py::object &threads,
                   const py::object &galaxy, const py::object &components, const py::object &black_hole) {
          py::dict model;
          model["seed"] = seed; model["equilibrium"] = equilibrium; model["profile"] = profile;
          model["mass"] = mass; model["scale_length"] = scale_length; model["cutoff"] = cutoff;
          model["cutoff_strength"] = cutoff_strength; model["anisotropy_radius"] = anisotropy_radius;
          model["units"] = units; model["centre"] = centre; model["bulk_velocity"] = bulk_velocity;
          model["zero_com"] = zero_com; model["threads"] = threads; model["galaxy"] = galaxy;
          model["components"] = components; model["black_hole"] = black_hole;
          return make_galaxy(n, model); },
        make_doc, py::arg("n") = py::none(), py::kw_only(), py::arg("seed") = py::none(), py::arg("equilibrium") = false,
        py::arg("profile") = py::none(), py::arg("mass") = py::none(), py::arg("scale_length") = py::none(),
        py::arg("cutoff") = py::none(), py::arg("cutoff_strength") = py::none(),
        py::arg("anisotropy_radius") = py::none(), py::arg("units") = "si", py::arg("centre") = py::none(),
        py::arg("bulk_velocity") = py::none(), py::arg("zero_com") = false, py::arg("threads") = py::none(),
        py::arg("galaxy") = py::none(), py::arg("components") = py::none(), py::arg("black_hole") = py::none());

  m.def("check", &check_target, check_doc, py::arg("target"));
}
