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
#include "spheroid_stretch.h"

// One component: the file's particles first … first + count - 1, held
// against options (whose model is the component's).
struct galaxy_check_part {
  std::string name;
  uint64_t first = 0, count = 0;
  check_options options;
  // Set: a disc, held against its reference (which outlives the checks).
  const disc_reference *disc = nullptr;
  // Set: a spheroid beside a disc, whose velocities are divided by these
  // stretches before its lines hold them to its spherical function.
  const spheroid_stretch *stretch = nullptr;
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

// The checks of a file's galaxy, filled as a model's are (see checks.h):
// in order through add_galaxy_particles, or by threads through lanes, each
// with whole blocks of the file; the mass of each component's first
// particle noted first (note_galaxy_firsts with the chunks that hold them).
struct galaxy_accumulator;
galaxy_accumulator *begin_galaxy_checks(const galaxy_check_plan &plan);
// Under zero_com, the first pass: each component's scatter of the
// subtracted mean, into the plan's options (recentring_*).
galaxy_accumulator *begin_galaxy_recentring(const galaxy_check_plan &plan);
void finish_galaxy_recentring(galaxy_accumulator *accumulator, galaxy_check_plan *plan);
// The next chunk of the file, in file order.
void add_galaxy_particles(galaxy_accumulator *accumulator, const particle_data &chunk);
void note_galaxy_firsts(galaxy_accumulator *accumulator, const particle_data &chunk, uint64_t first);
struct galaxy_lane;
galaxy_lane *open_galaxy_lane(galaxy_accumulator *accumulator);
void add_galaxy_lane_particles(galaxy_accumulator *accumulator, galaxy_lane *lane, const particle_data &chunk,
                               uint64_t first);
void close_galaxy_lane(galaxy_accumulator *accumulator, galaxy_lane *lane);
std::vector<ks_histogram *> galaxy_checks_histograms(galaxy_accumulator *accumulator);
void pack_galaxy_checks(const galaxy_accumulator *accumulator, byte_writer *out);
bool merge_packed_galaxy_checks(galaxy_accumulator *accumulator, byte_reader bytes);
check_result finish_galaxy_checks(galaxy_accumulator *accumulator);
void discard_galaxy_checks(galaxy_accumulator *accumulator);

// The indices of the particles whose masses the checks need first.
std::vector<uint64_t> galaxy_first_indices(const galaxy_check_plan &plan);

// The memory the checks take whatever the count, and for each particle.
double galaxy_check_fixed_bytes(const galaxy_check_plan &plan, int threads);
double galaxy_check_bytes_per_particle(const galaxy_check_plan &plan);

#endif
