// What a spheroid beside a disc must look like, reached from the density
// formulas alone: the Jeans equations of its own density in the flattened
// potential, closed by sigma_R = sigma_phi and no mean rotation,
//   rho sigma_z^2 = int_z^inf rho dPhi/dz dz',  rho sigma_R^2 = int_R^inf rho dPhi/dR dR',
// over the isotropic rho sigma0^2 = int_r^inf rho G M(r') / r'^2 dr' of the
// spherically averaged one. The discs' forces come from the quadrature over
// their rings (disc_formula.h), less the monopole of their mass in spheres;
// the integrals run over a graded (R, z) grid, the forces a cubic in each
// cell. The spheroid's velocities divided by these stretches must be its
// spherical distribution function's, which its other lines then test.
#ifndef SPHEROID_STRETCH_H
#define SPHEROID_STRETCH_H

#include <string>
#include <vector>

#include "profile_model.h"
#include "reference.h"

struct spheroid_stretch {
  double scale_R = 0.0, scale_z = 0.0, grade = 0.0;  // R_i = scale_R sinh(grade i), z_k alike
  int columns = 0, rows = 0;
  std::vector<double> stretch_R2, stretch_z2;        // [k * columns + i]
  double largest = 1.0, smallest = 1.0;              // of the squared stretches where the spheroid is
};

// The discs' pull less their monopoles' on the grid, for every spheroid
// of the galaxy of components around a black hole (of M).
struct stretch_forces {
  double scale_R = 0.0, scale_z = 0.0, grade = 0.0;
  int columns = 0, rows = 0;
  std::vector<double> pull_R, pull_z;  // dPhi/dR, dPhi/dz less the monopoles', [k * columns + i]
};
bool build_stretch_forces(const std::vector<component_law> &components, double black_hole, stretch_forces *forces,
                          std::string *why);

// The stretches of component own, an isotropic spheroid.
bool build_spheroid_stretch(const std::vector<component_law> &components, double black_hole, int own,
                            const stretch_forces &forces, spheroid_stretch *out, std::string *why);

// The squared stretches at (R, z) in L: a cubic between the nodes, 1 beyond.
void stretch_at(const spheroid_stretch &s, double R, double z, double *stretch_R2, double *stretch_z2);

#endif
