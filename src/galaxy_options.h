// The galaxy a generator makes (mass, size, cut-off, SI) and the frame its
// file is written in (units, place, motion), from the command line.
#ifndef GALAXY_OPTIONS_H
#define GALAXY_OPTIONS_H

#include <cstdint>

#include <string>

#include "exact_sum.h"
#include "profile_model.h"
#include "galaxy_types.h"
#include "run_settings.h"
#include "units.h"

// The galaxy's parameters when no option changes them (SI).
constexpr double default_typical_length = 1e18;
constexpr double default_total_mass = 1.9891e39;
constexpr int32_t default_nb_step = 1000;
constexpr double default_duration = 1000.0;

struct galaxy_parameters {
  double typical_length = default_typical_length;  // m
  double radius_max = 8.0 * default_typical_length;  // m
  double total_mass = default_total_mass;  // kg
  unit_system units = units_si;
  bool centre_given = false, bulk_given = false;
  double centre[3] = {0.0, 0.0, 0.0};         // in units
  double bulk_velocity[3] = {0.0, 0.0, 0.0};  // in units
  bool zero_com = false;  // subtract the sample's own mean position and velocity
  // --profile: a tabulated model; its taper (from --cutoff) and anisotropy
  // radius in scale lengths (0: none).
  bool profile = false;
  std::string profile_name;
  density_law law;
  double anisotropy_radius = 0.0;  // in a; 0: isotropic
  bool cutoff_given = false;
};

// Judges --mass, --scale-length, --cutoff, --units, --centre,
// --bulk-velocity, --zero-com, --profile, --anisotropy-radius and
// --cutoff-strength into galaxy; prints the refusal (erreur:, no line feed)
// and returns false.
bool judge_galaxy(const run_settings &settings, galaxy_parameters *galaxy);

// The frame galaxy's file is written in. mean_position and mean_velocity
// (SI) are the sample's own, subtracted under zero_com; null otherwise.
output_frame frame_of(const galaxy_parameters &galaxy, const double *mean_position,
                      const double *mean_velocity);

// Adds the position components of every particle of sys to sums[0..2] and
// the velocity components to sums[3..5]: the same sums for any split.
void add_record_sums(const gal_system *sys, exact_sum sums[6]);

// The means of count (> 0) particles whose sums those are.
void means_of_sums(const exact_sum sums[6], double count, double mean_position[3],
                   double mean_velocity[3]);

#endif
