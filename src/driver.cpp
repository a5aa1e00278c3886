#include "driver.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

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
  for (int32_t j = 0; j < sys->nb_element; ++j) {
    const double *pos = sys->pos + j * sys->dimension;
    const double *vel = sys->vel + j * sys->dimension;
    if (std::fprintf(file,
                     "[element%d]\nmass = %lf\n"
                     "x_0 = %lf\nx_1 = %lf\nx_2 = %lf\n"
                     "v_0 = %lf\nv_1 = %lf\nv_2 = %lf\n\n",
                     j, sys->mass_element, pos[X], pos[Y], pos[Z], vel[X], vel[Y],
                     vel[Z]) < 0) {
      return false;
    }
  }
  return true;
}

int galaxy_ic_main(int argc, char **argv) {
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
      return 0;
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

  std::FILE *file = std::fopen(output_name.c_str(), "w");
  if (file == nullptr) {
    free_gal_system(sys);
    std::printf("erreur: fopen cannot open %s", output_name.c_str());
    return 1;
  }
  const bool written = write_particle_file(file, sys) && std::fflush(file) == 0;
  const bool closed = std::fclose(file) == 0;
  free_gal_system(sys);
  if (!written) {
    std::printf("erreur: fwrite cannot write %s", output_name.c_str());
    return 1;
  }
  if (!closed) {
    std::printf("erreur: fclose cannot close %s", output_name.c_str());
    return 1;
  }
  return 0;
}
