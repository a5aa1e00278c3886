// The galaxy a generator makes (mass, size, cut-off, SI) and the frame its
// file is written in (units, place, motion), from the command line.
#ifndef GALAXY_OPTIONS_H
#define GALAXY_OPTIONS_H

#include "exact_sum.h"
#include "galaxy_parameters.h"
#include "galaxy_types.h"
#include "run_settings.h"

// Judges --mass, --scale-length, --cutoff, --units, --centre,
// --bulk-velocity, --zero-com, --profile, --anisotropy-radius and
// --cutoff-strength into galaxy; prints the refusal (erreur:, no line feed)
// and returns false.
bool judge_galaxy(const run_settings &settings, galaxy_parameters *galaxy);

// The frame galaxy's file is written in. mean_position and mean_velocity
// (SI) are the sample's own, subtracted under zero_com; null otherwise.
output_frame frame_of(const galaxy_parameters &galaxy, const double *mean_position,
                      const double *mean_velocity);

// Adds the position components of every particle of sys to sums[0..2],
// the velocity components to sums[3..5] and the weights to sums[6]: each
// times its mass when weighted (particles of several masses), else plainly
// (the count); the same sums for any split.
void add_record_sums(const gal_system *sys, bool weighted, exact_sum sums[7]);

// Merges sums of three components and the weight across the run's parts
// (a no-op for one process).
using reduce_centre_sums = void (*)(exact_sum sums[4]);

// The centre c at which the (mass-weighted, when weighted) mean position of
// the particles within radius of c is c, iterated from the origin (at most
// 100 times: a particle that enters as another leaves can keep two sets in
// turn); the same bits for any split, through reduce.
void trimmed_centre(const gal_system *sys, double radius, bool weighted, reduce_centre_sums reduce, double centre[3]);

// The means of the particles whose sums those are.
void means_of_sums(const exact_sum sums[7], double mean_position[3], double mean_velocity[3]);

#endif
