// The model galaxy-check holds a file against: what the file (or a galaxy
// in memory) states, each model option named on the command line in its
// place, and the report lines that say which model, and from where.
#ifndef CHECK_SETUP_H
#define CHECK_SETUP_H

#include <string>
#include <vector>

#include "check_model.h"
#include "checks.h"
#include "galaxy_parameters.h"
#include "profile_model.h"
#include "units.h"

// The model options of the command line as given, in the units of --units;
// each counts only when given.
struct model_choice {
  unit_system system = units_si;
  bool units_given = false;
  bool mass_given = false, scale_length_given = false, cutoff_given = false;
  double mass = 0.0, scale_length = 0.0, cutoff = 0.0;
  bool centre_given = false, bulk_given = false;
  double centre[3] = {0.0, 0.0, 0.0}, bulk_velocity[3] = {0.0, 0.0, 0.0};
  bool equilibrium = false, zero_com = false;
  std::string profile;  // empty: not given
  bool anisotropy_given = false, strength_given = false;
  double anisotropy = 0.0, strength = 0.0;
};

// The model before the options: what the file states, or the defaults.
struct model_base {
  galaxy_parameters galaxy;  // SI, the centre and motion too
  bool equilibrium = false;
  bool stated = false;  // false: galaxy-ic's defaults
  std::string source;   // "the file's Parameters", ...; for the defaults, why
};

// The model chosen, as galaxy-ic's parameters (SI) and as checked.
struct chosen_model {
  galaxy_parameters galaxy;
  bool equilibrium = false;
  std::vector<std::string> named;  // the options that replaced what base says
};

// Base with each option given in its place, into model (the profile's
// tables built into profile); the usage error, or empty.
std::string choose_model(const model_choice &given, const model_base &base, chosen_model *chosen,
                         check_model *model, profile_model *profile);

// The report's first lines: the model, its size, its frame, where they came
// from, and the units line given.
std::vector<check_line> model_lines(const model_base &base, const chosen_model &chosen, const check_model &model,
                                    const std::string &units);

#endif
