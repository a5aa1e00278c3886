// galaxy_ic.check(): galaxy-check on a file or a galaxy in memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "check_cli.h"
#include "python_galaxy.h"
#include "python_run.h"

namespace {

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
               {"particles", "--particles", 'i'},  {"plot", "--plot", 'p'},
               {"galaxy", "--galaxy", 'p'}};
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
  // A galaxy of components is held against the galaxy file it was made from.
  if (g.made->provenance.galaxy.composite) {
    particles.galaxy_text = g.made->provenance.galaxy_file_text;
    particles.galaxy_name = g.made->galaxy_name;
    for (const memory_member &m : g.made->members) particles.member_texts.push_back(m.text);
  }
  if (!g.made->ids.empty()) particles.ids = g.made->ids.data();
  for (int k = 0; k < 3; ++k) {
    particles.model.centre[k] *= particles.units.length;
    particles.model.bulk_velocity[k] *= particles.units.velocity;
  }
  return particles;
}

// Raises the OSError of a path galaxy-check could not open, found without
// reading it. A FIFO is left alone: opening it, even for a moment, would
// meet its writer.
void refuse_unreadable(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  if (S_ISFIFO(st.st_mode)) return;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  close(fd);
}

}  // namespace

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
    refuse_unreadable(path);
  }
  line.add("--");
  line.words.push_back(path);
  std::vector<char *> argv = line.argv();
  const int argc = static_cast<int>(argv.size()) - 1;
  interruption met;
  const check_outcome outcome = run_interruptible(
      [&](const std::atomic<bool> *cancel) {
        const std::unique_lock<std::mutex> lock = hdf5_lock(true);
        return run_galaxy_check(argc, argv.data(), galaxy ? &particles : nullptr, cancel);
      },
      &met);
  if (met.signal) raise_interruption(&met, "");
  if (outcome.status == 2) {
    // The file could not be opened after all, or the picture not drawn.
    if (outcome.checked || outcome.reason.find(": cannot open: ") != std::string::npos) {
      raise_os_error(EIO, outcome.reason);
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
