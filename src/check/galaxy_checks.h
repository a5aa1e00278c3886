// The checks of a galaxy of several components: each component's own
// lines (its count, mass, radii, speeds, Jeans equation in the joint mass),
// then the whole galaxy's (count, IDs, centre of mass, momentum, the black
// hole, the virial ratio of the whole and of each component in the
// potential of all the particles), then a verdict for each.
#ifndef GALAXY_CHECKS_H
#define GALAXY_CHECKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "checks.h"
#include "disc_reference.h"

// One component: the file's particles first … first + count - 1, held
// against options (whose model is the component's).
struct galaxy_check_part {
  std::string name;
  uint64_t first = 0, count = 0;
  check_options options;
  // Set: a disc, held against its reference (which outlives the checks).
  const disc_reference *disc = nullptr;
};

struct galaxy_check_plan {
  std::vector<galaxy_check_part> parts;
  // The black hole: one particle, the last, at rest at the centre.
  bool black_hole = false;
  double black_hole_mass = 0.0;  // kg
  // The whole galaxy: its frame, units, rounding, IDs and threshold (its
  // model's total_mass the whole mass, black hole included).
  check_options whole;
};

struct galaxy_accumulator;
galaxy_accumulator *begin_galaxy_checks(const galaxy_check_plan &plan);
// The next chunk of the file, in file order.
void add_galaxy_particles(galaxy_accumulator *accumulator, const particle_data &chunk);
check_result finish_galaxy_checks(galaxy_accumulator *accumulator);
void discard_galaxy_checks(galaxy_accumulator *accumulator);

// The most the checks hold at once for each particle, in bytes.
double galaxy_check_bytes_per_particle(const galaxy_check_plan &plan);

#endif
