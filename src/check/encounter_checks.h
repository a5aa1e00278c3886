// The checks of two galaxies on an orbit in one file: where the orbit of
// two point masses puts each (found here from Kepler's laws, apart from
// galaxy-ic's construction of it), and the pair's lines from the file's
// own centres of mass: separation, relative speed, angular momentum and
// pericentre against the orbit's invariants, the whole's centre and
// momentum against the pair's frame.
#ifndef ENCOUNTER_CHECKS_H
#define ENCOUNTER_CHECKS_H

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "check_bytes.h"
#include "checks.h"
#include "particle_reader.h"
#include "wide_sum.h"

// The orbit asked for, SI; spins (theta, phi) in radians.
struct pair_orbit {
  double pericentre = 0.0, eccentricity = 1.0, separation = 0.0;
  double mass[2] = {0.0, 0.0};  // each galaxy's, black hole included
  double centre[3] = {0.0, 0.0, 0.0}, bulk_velocity[3] = {0.0, 0.0, 0.0};
  double spin[2][2] = {{0.0, 0.0}, {0.0, 0.0}};
};

// A galaxy's place and motion at the start, and the turn of its own axes
// into the orbit's frame (its z axis to its spin).
struct pair_place {
  double position[3], velocity[3];
  double turn[3][3];
};

// Both galaxies at the start: the second about the first on the relative
// orbit in the x-y plane, angular momentum along +z, pericentre on +x,
// approaching it.
void expected_places(const pair_orbit &orbit, pair_place out[2]);

// The file's rows of each galaxy ([begin, end) ranges, ascending), and the
// sums a pass over the whole file gathers: each galaxy's mass, mass-weighted
// position and velocity, its rows read, and the file's largest coordinate
// and speed component (what float rounding scales with).
struct pair_lane {
  block_sums sums{14};  // per galaxy: m, m x (3), m v (3)
  int64_t block = -1;
  uint64_t rows[2] = {0, 0}, all = 0;
  double largest_x = 0.0, largest_v = 0.0;
};

struct pair_accumulator {
  std::vector<std::pair<uint64_t, uint64_t>> rows[2];
  std::mutex lock;
  pair_lane totals;
};

pair_lane *open_pair_lane(pair_accumulator *acc);
void add_pair_particles(pair_accumulator *acc, pair_lane *lane, const particle_data &chunk, uint64_t first);
void close_pair_lane(pair_accumulator *acc, pair_lane *lane);
void pack_pair_lane(const pair_lane &lane, byte_writer *out);
bool merge_packed_pair_lane(pair_lane *into, byte_reader *in);

// The pair's lines, named "encounter: ...", from the totals (SI) against
// orbit; expected the rows the two galaxies' descriptions give them, the
// file's relative rounding of positions and velocities (0 for doubles).
std::vector<check_line> pair_lines(const pair_orbit &orbit, const pair_lane &totals, const uint64_t expected[2],
                                   double rounding);

#endif
