// The checks of a disc component, against its reference (disc_reference.h):
// its count and mass; R against the cumulative mass of its surface density
// and z against its vertical law in four rings (Kolmogorov-Smirnov); in
// twelve rings of equal mass its mean rotation, sigma_R, sigma_phi and
// sigma_z (in the inner and outer half of each column's mass) in units of
// their sampling errors and of the reference's stated accuracy; Toomre's Q
// (informative); the direction of its angular momentum.
#ifndef DISC_CHECKS_H
#define DISC_CHECKS_H

#include <cstdint>
#include <vector>

#include "checks.h"
#include "disc_reference.h"

// The reference's accuracy in each speed, relative: what the sampled
// moments are allowed besides their noise.
constexpr double disc_reference_accuracy = 5e-3;

// Filled as a model's checks are (checks.h): by lanes, each with whole
// blocks of the file (chunk holds particles first ... of the file), so that
// the report is the same bits however the file is shared out.
struct disc_accumulator;
struct disc_lane;
// options' model: the galaxy's frame, units (typical_length, total_mass)
// and the disc's own mass (component_mass); reference outlives it.
disc_accumulator *begin_disc_checks(const check_options &options, const disc_reference *reference);
disc_lane *open_disc_lane(disc_accumulator *accumulator);
void add_disc_lane_particles(disc_accumulator *accumulator, disc_lane *lane, const particle_data &chunk, uint64_t first);
// Merges the lane into the accumulator and releases it.
void close_disc_lane(disc_accumulator *accumulator, disc_lane *lane);
std::vector<ks_histogram *> disc_checks_histograms(disc_accumulator *accumulator);
void pack_disc_checks(const disc_accumulator *accumulator, byte_writer *out);
bool merge_packed_disc_checks(disc_accumulator *accumulator, byte_reader bytes);
check_result finish_disc_checks(disc_accumulator *accumulator);
void discard_disc_checks(disc_accumulator *accumulator);

// The memory the checks take whatever the count, in bytes.
double disc_check_fixed_bytes(int threads);

#endif
