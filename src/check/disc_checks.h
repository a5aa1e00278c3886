// The checks of a disc component, against its reference (disc_reference.h):
// its count and mass; R against the cumulative mass of its surface density
// and z against its vertical law in four rings (Kolmogorov-Smirnov); in
// twelve rings of equal mass its mean rotation, sigma_R, sigma_phi and
// sigma_z (in the inner and outer half of each column's mass) in units of
// their sampling errors and of the reference's stated accuracy; Toomre's Q
// (informative); the direction of its angular momentum.
#ifndef DISC_CHECKS_H
#define DISC_CHECKS_H

#include "checks.h"
#include "disc_reference.h"

// The reference's accuracy in each speed, relative: what the sampled
// moments are allowed besides their noise.
constexpr double disc_reference_accuracy = 2e-3;

struct disc_accumulator;
// options' model: the galaxy's frame, units (typical_length, total_mass)
// and the disc's own mass (component_mass); reference outlives it.
disc_accumulator *begin_disc_checks(const check_options &options, const disc_reference *reference);
void add_disc_particles(disc_accumulator *accumulator, const particle_data &chunk);
check_result finish_disc_checks(disc_accumulator *accumulator);
void discard_disc_checks(disc_accumulator *accumulator);

// What the checks keep of each particle, in bytes.
double disc_check_bytes_per_particle();

#endif
