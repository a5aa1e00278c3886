// Galaxy.write(): the file galaxy-ic writes for the galaxy's options, from
// its arrays as they are now, masses and IDs included.
#include <pybind11/numpy.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "output_file.h"
#include "python_galaxy.h"
#include "python_run.h"

namespace {

// The format a file name's extension names; refused when it names none, or
// could mean two.
std::string format_of_name(const std::string &path) {
  const size_t slash = path.rfind('/');
  const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t dot = base.rfind('.');
  std::string extension = dot == std::string::npos || dot == 0 ? "" : base.substr(dot + 1);
  for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const struct {
    const char *extension, *format;
  } known[] = {{"hdf5", "hdf5"},       {"h5", "hdf5"},         {"ini", "ini"}, {"gadget1", "gadget1"},
               {"gadget2", "gadget2"}, {"tipsy", "tipsy"}, {"std", "tipsy"}};
  for (const auto &k : known) {
    if (extension == k.extension) return k.format;
  }
  if (extension == "gadget") {
    throw py::value_error(path + " may be a gadget1 or a gadget2 file: say which with format=");
  }
  throw py::value_error("the format of " + path +
                        " cannot be told from its name: give format= (hdf5, ini, gadget1, gadget2 or tipsy)");
}

// Edited IDs, judged and copied into *ids for the write (another thread may
// change the array meanwhile); nothing when they are still 1 ... n.
void take_edited_ids(const galaxy_handle &g, const std::string &format, std::vector<uint64_t> *ids,
                     written_columns *columns) {
  const size_t n = particle_count(g);
  // An encounter's IDs, as made, are in galaxy order, not the rows'.
  const std::vector<uint64_t> &made = g.made->ids;
  if (!made.empty() && made.size() == n) {
    columns->ids = made.data();
    columns->largest_id = n;
  }
  if (!g.ids) return;
  const py::array array = py::reinterpret_borrow<py::array>(g.ids);
  if (array.ndim() != 1 || static_cast<size_t>(array.shape(0)) != n || array.dtype().kind() != 'u' ||
      array.itemsize() != 8 || !array.dtype().attr("isnative").cast<bool>() ||
      !(array.flags() & py::array::c_style)) {
    throw py::value_error("ids is no longer " + std::to_string(n) + " uint64 values (resized or retyped in place)");
  }
  const uint64_t *given = static_cast<const uint64_t *>(array.data());
  size_t i = 0;
  while (i < n && given[i] == (made.empty() ? i + 1 : made[i])) ++i;
  if (i == n) return;
  if (format == "ini" || format == "tipsy") {
    throw py::value_error(format + " files hold no IDs, and ids was edited: write hdf5, gadget1 or gadget2");
  }
  ids->assign(given, given + n);
  std::vector<uint64_t> sorted(*ids);
  {
    py::gil_scoped_release unlocked;  // a copy of ours: no other thread sees it
    std::sort(sorted.begin(), sorted.end());
  }
  if (sorted[0] == 0) throw py::value_error("ids holds 0: IDs start at 1, as the codes reserve 0");
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice != sorted.end()) throw py::value_error("ids holds " + std::to_string(*twice) + " more than once");
  columns->ids = ids->data();
  columns->largest_id = sorted.back();
}

// The masses and IDs of g's arrays as they are now, judged: every mass
// finite and above 0, IDs unique and from 1.
written_columns edited_columns(const galaxy_handle &g, const std::string &format, std::vector<uint64_t> *ids) {
  written_columns columns;
  const gal_system *sys = g.made->sys;
  const size_t n = particle_count(g);
  const particle_groups &groups = g.made->groups;
  // As made, each particle has its component's mass (the record's
  // mass_element for a galaxy of one).
  const auto usual_of = [&](size_t i) {
    return (groups.groups.size() > 1 ? group_of(groups, i).mass : sys->mass_element) / g.made->frame.scale.mass;
  };
  bool all_usual = true, all_equal = true;
  for (size_t i = 0; i < n; ++i) {
    const double m = sys->mass[i], usual = usual_of(i);
    if (!std::isfinite(m) || !(m > 0.0)) {
      throw py::value_error("mass[" + std::to_string(i) + "] is " + std::string(py::repr(py::float_(m))) +
                            ": every mass must be a finite number above 0");
    }
    all_usual = all_usual && m == usual;
    all_equal = all_equal && m == sys->mass[0];
  }
  if (groups.groups.size() > 1) {
    // A galaxy's components keep their types; edited masses go row by row.
    columns.row_masses = !all_usual;
    take_edited_ids(g, format, ids, &columns);
    return columns;
  }
  if (!all_usual && all_equal) {
    columns.own_shared_mass = true;
    columns.shared_mass = sys->mass[0];
  }
  columns.row_masses = !all_equal;
  take_edited_ids(g, format, ids, &columns);
  return columns;
}

// Whether a write's failure is the file system's rather than the options'.
bool is_file_failure(const std::string &why) {
  for (const char *call : {"fopen ", "fwrite ", "fclose ", "rename "}) {
    if (why.compare(0, std::strlen(call), call) == 0) return true;
  }
  return why.find("needs a regular file") != std::string::npos ||
         why.find("cannot be replaced whole") != std::string::npos;
}

// A FIFO or device: it gets the bytes as they come, with no old file to keep.
bool is_stream(const std::string &name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// What an interrupted write left, for its exception.
std::string interrupted_write(const std::string &name, int status, bool stream) {
  if (status == 0) return "write() was interrupted once " + name + " was written whole: it holds the new file";
  if (stream) return "write() was interrupted: " + name + " got part of the file";
  return "write() was interrupted: " + name + " was left as it was";
}

}  // namespace

void write_galaxy(galaxy_handle &g, const py::object &path, const py::object &format, bool double_precision,
                  bool long_ids, const py::object &softening, const py::object &max_record) {
  const std::string name = path_text(path);
  const std::string kind = format.is_none() ? format_of_name(name) : string_text("format", format);
  command_line line = g.options;
  line.add("--format", kind);
  line.add("-o", name);
  if (double_precision) line.add("--double");
  if (long_ids) line.add("--long-ids");
  if (!softening.is_none()) line.add("--softening", real_text("softening", softening));
  if (!max_record.is_none()) line.add("--max-record", integer_text("max_record", max_record));
  std::vector<uint64_t> ids;
  write_extras extras;
  extras.columns = edited_columns(g, kind, &ids);
  extras.policy.whole_files_only = true;
  std::vector<char *> argv = line.argv();
  const int argc = static_cast<int>(argv.size()) - 1;
  const memory_galaxy *made = g.made.get();
  const bool stream = is_stream(name);
  // SIGTERM and SIGHUP (SIGINT too, when Python lets it end the process)
  // take the temporary with them.
  const temporaries_removed_on_signal cleanup;
  interruption met;
  const int status = run_interruptible(
      [&](const std::atomic<bool> *cancel) {
        write_extras interruptible = extras;
        interruptible.policy.cancel = cancel;
        const std::unique_lock<std::mutex> lock = hdf5_lock(kind == "hdf5");
        return write_memory_galaxy(*made, argc, argv.data(), interruptible);
      },
      &met);
  if (met.signal) raise_interruption(&met, interrupted_write(name, status, stream));
  if (status == 0) return;
  const std::string why = refusal_text(met.messages);
  if (met.error_number != 0) raise_os_error(met.error_number, why);
  if (is_file_failure(why)) raise_os_error(EIO, why);
  throw py::value_error(why);
}
