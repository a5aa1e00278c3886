// What an exponential disc in equilibrium must look like, reached from its
// density formula alone (disc_formula.h): its forces by a direct
// quadrature over its rings, the spheroids' and the black hole's from
// their own formulas' masses (reference.h), and from those forces the
// moments the disc is defined by:
//   sigma_R = sigma_R0 exp(-R / 2 R_d), Q = sigma_R kappa / (3.36 Sigma) at q_radius,
//   vbar_phi and sigma_phi of the planar distribution function of the
//   radial action and L_z whose Sigma(R) and sigma_R(R) these are
//   (planar_reference.h),
//   rho sigma_z^2 = int_z^inf rho dPhi/dz' dz'  (vertical equilibrium),
// the last as its means over the half of each column's mass nearest the
// plane and the half beyond. Nothing here reads the generator's tables.
#ifndef DISC_REFERENCE_H
#define DISC_REFERENCE_H

#include <string>
#include <vector>

#include "profile_model.h"
#include "disc_formula.h"
#include "planar_reference.h"
#include "reference.h"

struct disc_reference {
  disc_formula disc;
  double black_hole = 0.0;
  jeans_reference spheroids;  // everything else's mass; empty when there is none
  bool has_spheroids = false;
  // The disc's M(< R), of its mass, at R = k dR up to the truncation.
  double mass_step = 0.0;
  std::vector<double> cumulative;
  // Radial nodes equally spaced in ln R: v_c^2, kappa^2 / 4 Omega^2.
  double log_R0 = 0.0, log_step = 0.0;
  std::vector<double> vc2, ratio;
  double sigma_R0 = 0.0, kappa_q = 0.0;
  // Columns at the same kind of nodes, coarser: ln of the mean sigma_z^2
  // of the inner and outer halves of each column's mass.
  double column_log_R0 = 0.0, column_step = 0.0;
  std::vector<double> log_inner, log_outer;
  // The planar velocities' distribution function, its moments; when none
  // meets the disc's laws, why.
  planar_reference planar;
  bool planar_ok = false;
  std::string planar_why;
};

// The reference of component own (a disc) of a galaxy of components around
// a black hole (of M); false with the reason.
bool build_disc_reference(const std::vector<component_law> &components, double black_hole, int own,
                          disc_reference *ref, std::string *why);

// The disc's M(< R), of its mass.
double disc_reference_mass_fraction(const disc_reference &ref, double R);

// The defined moments at R (the vertical ones as their half-column means).
struct disc_expectation {
  double mean_phi, sigma_R2, sigma_phi2, sigma_z2_inner, sigma_z2_outer, kappa, surface, circular2;
  double phi_kurtosis;  // <(v_phi - vbar)^4> / sigma_phi^4
};
disc_expectation disc_reference_at(const disc_reference &ref, double R);

// The height splitting each column's mass in halves, |z| below or above.
double disc_reference_half_height(const disc_reference &ref);

#endif
