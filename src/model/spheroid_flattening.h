// A spheroid's velocities in a galaxy with a disc (model units, G = 1).
// Its distribution function is made in the spherically averaged potential
// Phi0(r); the disc flattens the true one, Phi = Phi0 + dPhi, and a
// spheroid left with Phi0's pressure sinks towards the plane (a bulge
// inside the disc most). Its velocities are stretched to the Jeans
// equations of its own density in Phi, closed by sigma_R = sigma_phi and
// no mean rotation:
//   rho sigma_z^2 = int_z^inf rho dPhi/dz dz',  rho sigma_R^2 = int_R^inf rho dPhi/dR dR',
// each of which is Phi0's isotropic rho sigma0^2 = int_r^inf rho dPhi0/dr dr'
// plus the same integral of dPhi. The stretch of v_z is
// sqrt(1 + D_z / sigma0^2), of (v_R, v_phi) sqrt(1 + D_R / sigma0^2),
// tabulated on a grid graded towards the centre and the plane.
#ifndef SPHEROID_FLATTENING_H
#define SPHEROID_FLATTENING_H

#include <vector>

#include "disc_sampler.h"
#include "profile_model.h"

// dPhi's forces, on the Gauss-Legendre points along each column (in z at
// the grid's R_i) and each row (in R at its z_k): shared by the spheroids.
struct flattening_forces {
  std::vector<const disc_sampler *> discs;
  std::vector<const profile_model *> disc_models;  // their monopoles
  double black_hole = 0.0;
  const std::vector<profile_model> *models = nullptr;  // every component's tables
  double scale_R = 0.0, scale_z = 0.0, grade = 0.0;  // R_i = scale_R sinh(grade i), z_k alike
  int rows = 0, columns = 0;                         // the nodes: R_0..R_columns-1, z_0..z_rows-1
  std::vector<double> column_pull, row_pull;         // -dPhi/dz along columns, -dPhi/dR along rows
  // Below the true Psi over the spherical one's anywhere: a speed under
  // sqrt(2 psi_floor Psi(r)) is bound without the discs' exact potential.
  double psi_floor = 0.0;
};

struct spheroid_flattening {
  const flattening_forces *forces = nullptr;
  const profile_model *model = nullptr;
  // The squared stretches at the nodes, [k * columns + i].
  std::vector<double> stretch_R2, stretch_z2;
};

// dPhi's forces for the galaxy whose tables are models and whose discs'
// samplers are discs (the samplers, models must outlive it).
void build_flattening_forces(const std::vector<profile_model> &models, const std::vector<const disc_sampler *> &discs,
                             double black_hole, flattening_forces *forces);

// The stretches of the spheroid whose tables are model (an isotropic one).
void build_spheroid_flattening(const flattening_forces &forces, const profile_model &model, spheroid_flattening *out);

// The squared stretches at (R, z), between the nodes bilinear, beyond them 1.
void flattening_at(const spheroid_flattening &f, double R, double z, double *stretch_R2, double *stretch_z2);

// The true Psi = -Phi at (R, z): the spherical tables' plus the discs' dPhi.
double flattened_psi(const flattening_forces &forces, double R, double z);

// A spheroid particle of sys (SI, Cartesian, about the origin) stretched;
// left as drawn when the stretch would carry it beyond the true escape
// speed. Takes no draw.
void stretch_spheroid_particle(gal_system *sys, int32_t planet, const spheroid_flattening &f);

#endif
