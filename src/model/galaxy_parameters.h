// The galaxy a generator makes, as a plain record: its mass, size and
// cut-off (SI), the unit system and frame of its file, and the tabulated
// model it follows, if any.
#ifndef GALAXY_PARAMETERS_H
#define GALAXY_PARAMETERS_H

#include <cstdint>
#include <string>

#include "profile_model.h"
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
  // Under zero_com, a model whose mean square radius diverges takes its
  // centre from the particles within this radius of it (m; 0: from all).
  double centre_radius = 0.0;
  // --profile: a tabulated model; its taper (from --cutoff) and anisotropy
  // radius in scale lengths (0: none).
  bool profile = false;
  std::string profile_name;
  density_law law;
  double anisotropy_radius = 0.0;  // in a; 0: isotropic
  bool cutoff_given = false;
  // A galaxy of several components (or one around a black hole), from a
  // galaxy file: the profile fields above are then its first component's.
  bool composite = false;
};

#endif
