#include "driver.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fixed_format.h"
#include "output_file.h"

namespace {

// Fixed physical parameters of the galaxy (SI units).
constexpr double default_typical_length = 1e18;
constexpr double default_total_mass = 1.9891e39;
constexpr int32_t default_nb_step = 1000;
constexpr double default_duration = 1000.0;

// vel, pos (3 doubles each) and mass (1 double) per particle.
constexpr double bytes_per_particle = 7.0 * sizeof(double);

bool is_option(const char *arg, const char *short_name, const char *long_name) {
  return std::strcmp(arg, short_name) == 0 || std::strcmp(arg, long_name) == 0;
}

}  // namespace

void print_usage() {
  std::printf(
      "Usage:\t-p --nbparticles\tSet the number of particles in the .ini file "
      "(default: 512)\t-o --output\t\tSet the name of the .ini file\t-h --help\t\t"
      "Print this screen");
}

count_verdict check_particle_count(double value, double physical_memory) {
  if (std::isnan(value)) return count_not_a_number;
  // Truncation toward zero must land within +-nb_element_limit; testing the
  // double first keeps the conversion defined.
  const double bound = static_cast<double>(nb_element_limit) + 1.0;
  if (!(value > -bound && value < bound)) return count_out_of_range;
  const int32_t count = static_cast<int32_t>(value);
  if (count > 0 && static_cast<double>(count) * bytes_per_particle > physical_memory) {
    return count_exceeds_memory;
  }
  return count_ok;
}

double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return HUGE_VAL;  // unknown: let malloc decide
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

bool write_particle_file(std::FILE *file, const gal_system *sys) {
  // Sections are formatted into a bounded buffer and handed to the file in
  // large chunks: the file is never held whole in memory, and the numbers
  // come out as "%lf" writes them without the cost of printf.
  constexpr size_t buffer_size = size_t{1} << 18;
  constexpr size_t key_length = 6;  // "x_0 = "
  constexpr size_t number_line_max = key_length + fixed6_max_length + format_slack + 1;
  constexpr size_t section_max = sizeof "[element2147483647]\n" + 7 * number_line_max + 1;
  static const char *const pos_keys[3] = {"x_0 = ", "x_1 = ", "x_2 = "};
  static const char *const vel_keys[3] = {"v_0 = ", "v_1 = ", "v_2 = "};

  // Every particle has the same mass line.
  char mass_line[7 + fixed6_max_length + format_slack + 1];
  std::memcpy(mass_line, "mass = ", 7);
  size_t mass_line_length = 7 + format_fixed6(sys->mass_element, mass_line + 7);
  mass_line[mass_line_length++] = '\n';

  std::unique_ptr<char[]> buffer(new char[buffer_size]);
  char *const begin = buffer.get();
  char *p = begin;
  const auto flush = [&]() {
    const size_t length = static_cast<size_t>(p - begin);
    p = begin;
    return std::fwrite(begin, 1, length, file) == length;
  };
  const auto put_number_line = [&](const char *key, double value) {
    std::memcpy(p, key, key_length);
    p += key_length;
    p += format_fixed6(value, p);
    *p++ = '\n';
  };

  for (int32_t j = 0; j < sys->nb_element; ++j) {
    if (static_cast<size_t>(begin + buffer_size - p) < section_max && !flush()) return false;
    const double *pos = sys->pos + j * sys->dimension;
    const double *vel = sys->vel + j * sys->dimension;
    std::memcpy(p, "[element", 8);
    p += 8;
    p += format_unsigned(static_cast<uint64_t>(j), p);
    *p++ = ']';
    *p++ = '\n';
    std::memcpy(p, mass_line, mass_line_length);
    p += mass_line_length;
    for (int k = X; k <= Z; ++k) put_number_line(pos_keys[k], pos[k]);
    for (int k = X; k <= Z; ++k) put_number_line(vel_keys[k], vel[k]);
    *p++ = '\n';
  }
  return flush();
}

int galaxy_ic_main(int argc, char **argv) {
  install_output_signal_handlers();
  int32_t nb_element = 512;
  std::string output_name = "galaxy.ini";
  const double typical_length = default_typical_length;
  const double radius_max = 8.0 * typical_length;
  const double total_mass = default_total_mass;
  const int32_t nb_step = default_nb_step;
  const double duration = default_duration;
  const double step = duration / nb_step;

  // The last -p wins; its value is judged only after the scan, so a later
  // -p or -h still takes effect as it would with a valid value.
  const char *count_text = nullptr;
  double count_value = 0.0;

  int i = 1;
  while (i < argc) {
    const char *arg = argv[i];
    const bool takes_count = is_option(arg, "-p", "--nbparticles");
    const bool takes_name = is_option(arg, "-o", "--output");
    if (takes_count || takes_name) {
      if (i + 1 >= argc) {
        std::printf("erreur: option %s needs a value", arg);
        return 1;
      }
      if (takes_count) {
        count_text = argv[i + 1];
        count_value = std::strtod(count_text, nullptr);
      } else {
        output_name = argv[i + 1];
      }
      i += 2;
    } else if (is_option(arg, "-h", "--help")) {
      print_usage();
      // Lost usage text is no success.
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    } else {
      ++i;  // unknown arguments are skipped silently
    }
  }

  if (count_text != nullptr) {
    switch (check_particle_count(count_value, physical_memory_bytes())) {
      case count_ok:
        nb_element = static_cast<int32_t>(count_value);
        break;
      case count_not_a_number:
        std::printf("erreur: particle count %s is not a number", count_text);
        return 1;
      case count_out_of_range:
        std::printf("erreur: particle count %s is out of range", count_text);
        return 1;
      case count_exceeds_memory:
        std::printf("erreur: particle count %s needs more memory than this machine has",
                    count_text);
        return 1;
    }
  }

  // Every draw happens here, before the output file is touched.
  gal_system *sys =
      alloc_gal_system(nb_element, typical_length, radius_max, total_mass, step, duration);
  if (sys == nullptr) {
    std::printf("erreur: cannot allocate memory for %d particles", nb_element);
    return 1;
  }

  output_file out;
  if (!open_output_file(&out, output_name)) {
    free_gal_system(sys);
    std::printf("erreur: fopen cannot open %s", output_name.c_str());
    return 1;
  }
  const output_result result = commit_output_file(&out, write_particle_file(out.file, sys));
  free_gal_system(sys);
  if (result != output_committed) {
    print_output_error(result, &out);
    return 1;
  }
  return 0;
}
