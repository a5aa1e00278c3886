#include "baseline_writer.h"

bool write_particle_file_baseline(std::FILE *file, const gal_system *sys) {
  for (int j = 0; j < sys->nb_element; ++j) {
    const double *pos = sys->pos + j * sys->dimension;
    const double *vel = sys->vel + j * sys->dimension;
    bool ok = std::fprintf(file, "[element%d]\n", j) >= 0 &&
              std::fprintf(file, "mass = %lf\n", sys->mass_element) >= 0;
    for (int k = X; ok && k <= Z; ++k) ok = std::fprintf(file, "x_%d = %lf\n", k, pos[k]) >= 0;
    for (int k = X; ok && k <= Z; ++k) ok = std::fprintf(file, "v_%d = %lf\n", k, vel[k]) >= 0;
    if (!ok || std::fprintf(file, "\n") < 0) return false;
  }
  return true;
}
