// An exponential disc's density formula, written out again for the
// checks so that they share no code with the generator's model:
//   rho(R, z) = Sigma0 exp(-R / R_d) T(R) h(z),
// T the quintic step to 0 over [R_t - w, R_t], h = sech^2(z / z_d) / 2 z_d
// or exp(-|z| / z_d) / 2 z_d; galaxy units (G = 1, lengths in L, masses
// in M).
#ifndef DISC_FORMULA_H
#define DISC_FORMULA_H

#include "disc_model.h"

struct disc_formula {
  double share = 1.0;  // of M
  double length = 1.0, height = 0.1, truncation = 10.0, width = 2.0;  // R_d, z_d, R_t, w in L
  bool exponential = false;                                          // h = exp(-|z| / z_d) / 2 z_d
  double toomre_q = 1.5, q_radius = 2.4;
  double surface0 = 0.0;  // so that the mass is share
};

// The formula of a disc's law, its Sigma0 by quadrature.
disc_formula disc_formula_of(const disc_law &law);

double formula_surface(const disc_formula &d, double R);
// dln Sigma / dln R, inside the truncation radius.
double formula_surface_log_slope(const disc_formula &d, double R);
// P(Z <= z) of the vertical law.
double formula_height_cdf(const disc_formula &d, double z);
// dM / dln r of the mass in spheres: what a spherical component feels of it.
double formula_spherical_mass_slope(const disc_formula &d, double r);

// The disc's own force at (R, z), by quadrature over its rings.
struct disc_pull {
  double R, z;
};
disc_pull formula_disc_force(const disc_formula &d, double R, double z);

#endif
