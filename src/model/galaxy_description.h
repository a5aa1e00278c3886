// A galaxy of several components in one potential, as a plain record: what
// a galaxy file (or the Python bindings) describes, in SI, before it is
// judged into counts and tables.
#ifndef GALAXY_DESCRIPTION_H
#define GALAXY_DESCRIPTION_H

#include <cstdint>
#include <string>
#include <vector>

#include "disc_model.h"
#include "encounter.h"
#include "profile_model.h"
#include "units.h"

enum component_role { role_halo, role_bulge, role_stars, role_disc };

// The particle type a role is written as by default (GADGET's numbering):
// halo 1, disc 2, bulge 3, stars 4; the black hole is 5.
int default_particle_type(component_role role);
constexpr int black_hole_particle_type = 5;

// halo, bulge, stars or disc.
const char *role_name(component_role role);

struct component_description {
  std::string name;
  component_role role = role_halo;
  std::string profile = "hernquist";  // a --profile name
  density_law law;                    // its law; taper_radius in scale lengths
  double mass = 0.0;                  // kg
  double scale_length = 0.0;          // m
  double cutoff = 0.0;                // the taper radius, m; 0: none
  double cutoff_strength = 2.0;
  double anisotropy_radius = 0.0;     // m; 0: isotropic
  int64_t particles = -1;             // -1: from the galaxy's count or particle mass
  int type = -1;                      // -1: by role
  // A disc's (profile "disc"; its scale length is R_d): lengths in m.
  double scale_height = 0.0;
  disc_vertical vertical = vertical_sech2;
  double truncation = 0.0, truncation_width = 0.0;  // 0: 10 and 2 scale lengths
  double toomre_q = 1.5;
  double q_radius = 0.0;  // 0: 2.4 scale lengths
  int line = 0;                       // where the galaxy file says it
};

struct galaxy_description {
  unit_system units = units_si;
  bool seeded = false;
  uint64_t seed = 0;
  int64_t particles = -1;      // the components' particles in all; -1: not given
  double particle_mass = 0.0;  // kg; 0: not given
  bool centre_given = false, bulk_given = false, zero_com = false;
  double centre[3] = {0.0, 0.0, 0.0};         // in units
  double bulk_velocity[3] = {0.0, 0.0, 0.0};  // in units
  std::vector<component_description> components;
  double black_hole_mass = 0.0;  // kg; 0: none
  std::string path;              // the file's name, for messages
  std::string text;              // the file itself, stored with the particles
};

// One galaxy of an encounter: described as a galaxy file describes one
// (from its own file or inline), the orientation of its spin in the
// orbital frame, and the seed it is made with.
struct encounter_member {
  std::string name;
  galaxy_description galaxy;
  double spin_theta = 0.0, spin_phi = 0.0;  // radians
  uint64_t seed = 0;
  bool own_seed = false;  // its table gives its seed (else the encounter's + its index)
  std::string file;  // as named (relative to the encounter's file); empty: inline
  int line = 0;      // where the encounter's file names it
};

// Two galaxies on a Keplerian orbit (a galaxy file of [[galaxy]] tables).
struct encounter_description {
  unit_system units = units_si;
  bool seeded = false;  // the file's seed, of the galaxies without their own
  uint64_t seed = 0;
  bool centre_given = false, bulk_given = false;
  double centre[3] = {0.0, 0.0, 0.0};         // in units
  double bulk_velocity[3] = {0.0, 0.0, 0.0};  // in units
  encounter_orbit orbit;                       // SI
  std::vector<encounter_member> members;
  std::string path, text;
};

#endif
