// Helpers shared by the test files: running the program in a scratch
// directory, reading files, and the Kolmogorov-Smirnov statistic.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "galaxy_types.h"
#include "particle_text.h"

#ifndef GALAXY_REQUIRE_FEATURES
#define GALAXY_REQUIRE_FEATURES 0
#endif

// The optional libraries, as a test that needs one names it.
constexpr const char *lib_random123 = "Random123 (librandom123-dev)";
constexpr const char *lib_hdf5 = "HDF5 (libhdf5-dev)";
constexpr const char *lib_cli11 = "CLI11 (libcli11-dev), which galaxy-check's options need";
constexpr const char *lib_plplot = "PLplot (libplplot-dev plplot-driver-cairo)";
constexpr const char *lib_toml = "toml++ (libtomlplusplus-dev), which galaxy files need";

// A test needing a feature the build lacks: skipped with the library's name,
// or failed where every feature is required (./test.sh installs them all).
#define NEEDS_FEATURE(available, library)                                       \
  do {                                                                          \
    if (!(available)) {                                                         \
      if (GALAXY_REQUIRE_FEATURES) FAIL() << "this build lacks " << (library);  \
      GTEST_SKIP() << "this build lacks " << (library);                         \
    }                                                                           \
  } while (0)

namespace test_support {


#if defined(__SANITIZE_ADDRESS__)
constexpr bool under_address_sanitizer = true;
#else
constexpr bool under_address_sanitizer = false;
#endif

// A fresh directory, removed with everything in it at scope exit.
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "galaxy-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  scratch_dir(const scratch_dir &) = delete;
  scratch_dir &operator=(const scratch_dir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct run_result {
  bool exited = false;  // false when a signal ended it
  int status = -1;
  int signal = 0;       // the signal that ended it, or 0
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error
};

// Starts the program with args in directory dir, its standard output on
// out_fd and standard error in err_path; in_child runs in the child just
// before exec (limits, umask). Returns the child's pid.
inline pid_t start_program(const std::string &program, const std::vector<std::string> &args,
                           const std::string &dir, int out_fd, const std::string &err_path,
                           const std::function<void()> &in_child = {}) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(out_fd, STDOUT_FILENO);
  if (out_fd != STDOUT_FILENO) close(out_fd);
  FILE *err = std::fopen(err_path.c_str(), "w");
  if (err != nullptr) dup2(fileno(err), STDERR_FILENO);
  if (chdir(dir.c_str()) != 0) _exit(127);
  if (in_child) in_child();
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Sets a resource limit of the calling process (for in_child).
inline std::function<void()> limit_resource(int resource, rlim_t value) {
  return [=]() {
    rlimit limit{value, value};
    setrlimit(resource, &limit);
  };
}

// Runs the program with args in directory dir to its end; in_child as for
// start_program.
inline run_result run_program(const std::string &program, const std::vector<std::string> &args,
                              const std::string &dir, const std::function<void()> &in_child = {}) {
  // Standard error goes to a file so that neither pipe can fill and block.
  const std::string err_path = dir + "/.stderr";
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = start_program(program, args, dir, fds[1], err_path, [&]() {
    close(fds[0]);
    if (in_child) in_child();
  });
  close(fds[1]);
  run_result result;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, got);
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  result.exited = WIFEXITED(wstatus);
  result.status = result.exited ? WEXITSTATUS(wstatus) : -1;
  result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
  std::ifstream err(err_path, std::ios::binary);
  std::ostringstream err_text;
  err_text << err.rdbuf();
  result.err = err_text.str();
  std::remove(err_path.c_str());
  return result;
}

inline bool physical_memory_is_at_least(double bytes) {
  return static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) >= bytes;
}

inline bool file_exists(const std::string &path) { return std::filesystem::exists(path); }

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void write_file(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The particle file's text for sys, as the writer writes it, in memory.
inline std::string render_particle_file(const gal_system *sys) {
  char *data = nullptr;
  size_t size = 0;
  std::FILE *file = open_memstream(&data, &size);
  const bool written = write_particle_file(file, sys);
  std::fclose(file);
  std::string text(data, size);
  std::free(data);
  return written ? text : std::string("(the writer failed)");
}

// The generator's fixed parameters, as the program passes them.
inline gal_system *alloc_default_galaxy(int32_t nb_element) {
  return alloc_gal_system(nb_element, 1e18, 8.0 * 1e18, 1.9891e39, 1000.0 / 1000, 1000.0);
}

// A record holding only the generator's physical parameters, for the
// samplers' formulas.
inline gal_system default_record() {
  gal_system sys{};
  sys.typical_length = 1e18;
  sys.radius_max = 8.0 * 1e18;
  sys.total_mass = 1.9891e39;
  return sys;
}

// Kolmogorov-Smirnov statistic D of a sample against the continuous CDF.
inline double ks_statistic(std::vector<double> sample, const std::function<double(double)> &cdf) {
  std::sort(sample.begin(), sample.end());
  const double n = static_cast<double>(sample.size());
  double d = 0.0;
  for (size_t i = 0; i < sample.size(); ++i) {
    const double f = cdf(sample[i]);
    d = std::max({d, f - i / n, (i + 1) / n - f});
  }
  return d;
}

// sqrt(n) D beyond this rejects at the 0.1 % level (Kolmogorov distribution):
// a correct sampler fails once in a thousand seeds, and the seeds are fixed.
constexpr double ks_critical_sqrt_n = 1.95;

}  // namespace test_support

#endif
