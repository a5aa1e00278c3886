// An exponential disc's density and potential, in a galaxy's units (G = 1,
// lengths in L, masses in M):
//   rho_d(R, z) = Sigma(R) h(z),  Sigma(R) = Sigma0 exp(-R / R_d) T(R),
// h(z) = sech^2(z / z_d) / (2 z_d) (or exp(-|z| / z_d) / (2 z_d)), T a
// smooth truncation from 1 inside R_t - w to 0 at R_t. Its potential is
// split (Kuijken and Dubinski 1995; Dehnen and Binney 1998) into an
// analytic part that holds the thin structure,
//   Phi_a(R, z) = 4 pi Sigma(r) H(z),  r = sqrt(R^2 + z^2),  H'' = h,
// and the potential of the residual density rho_d - lap(Phi_a) / 4 pi,
// which is smooth, by a multipole expansion to order 32 on a log-radial
// grid. The split is exact; only the residual's expansion approximates.
#ifndef DISC_MODEL_H
#define DISC_MODEL_H

#include <string>
#include <vector>

enum disc_vertical { vertical_sech2, vertical_exponential };

struct disc_law {
  double mass = 1.0;                 // of M
  double scale_length = 1.0;         // R_d, in L
  double scale_height = 0.1;         // z_d, in L
  disc_vertical vertical = vertical_sech2;
  double truncation = 10.0;          // R_t, in L: no mass beyond it
  double truncation_width = 2.0;     // w, in L: the edge falls over it
  // Its kinematics: sigma_R ~ exp(-R / 2 R_d), set by Toomre's Q at q_radius.
  double toomre_q = 1.5;
  double q_radius = 2.4;             // in L
};

struct disc_model {
  disc_law law;
  double surface0 = 0.0;  // Sigma0, so that the mass is law.mass
  // The residual's multipoles Phi_l(r), l = 0, 2, ..., on nodes equally
  // spaced in ln r, with their radial derivatives.
  int orders = 0;
  double log_r0 = 0.0, step = 0.0;
  std::vector<std::vector<double>> phi, dphi;  // [l / 2][node]
  // The spherically averaged density, ln of it on the same nodes, and its
  // log-slope, for the spherical tables.
  std::vector<double> spherical_log_rho, spherical_slope;
};

// Builds the disc's potential; false with the reason when the law is not
// one (a width above the truncation radius, a height above the length...).
bool build_disc_model(const disc_law &law, disc_model *model, std::string *why);

// Sigma(R), the truncation included.
double disc_surface_density(const disc_model &m, double R);
// d ln Sigma / d ln R (-inf from the truncation radius on).
double disc_surface_log_slope(const disc_model &m, double R);
// rho_d(R, z).
double disc_density(const disc_model &m, double R, double z);
// The disc's mass within cylindrical radius R, of its mass (of 1).
double disc_mass_within(const disc_model &m, double R);

// The disc's own potential at (R, z) (negative, 0 at infinity) and its
// forces -dPhi/dR, -dPhi/dz.
struct disc_field {
  double potential, force_R, force_z;
};
disc_field disc_potential(const disc_model &m, double R, double z);

// The spherically averaged density of the disc at spherical radius r (the
// monopole's, which spherical components feel as the disc's part of their
// potential).
double disc_spherical_density(const disc_model &m, double r);

// The same from its table (a cubic Hermite in ln r of ln rho, 0 beyond the
// nodes' reach), with its first two logarithmic slopes: what the spherical
// tables take the disc's monopole from.
struct disc_shape {
  double value, g1, g2;
};
disc_shape disc_spherical_shape(const disc_model &m, double r);

#endif
