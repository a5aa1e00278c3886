#include "galaxy_description.h"

int default_particle_type(component_role role) {
  switch (role) {
    case role_halo: return 1;
    case role_disc: return 2;
    case role_bulge: return 3;
    case role_stars: return 4;
  }
  return 1;
}

const char *role_name(component_role role) {
  switch (role) {
    case role_halo: return "halo";
    case role_disc: return "disc";
    case role_bulge: return "bulge";
    case role_stars: return "stars";
  }
  return "halo";
}
