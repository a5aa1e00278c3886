// The planar moments a disc made from a distribution function of its
// planar radial action and angular momentum must show,
//   f(J_R, L_z) = F(R_g) kappa / sigma^2 exp(-kappa J_R / sigma^2),  L_z > 0,
// F and sigma fixed by the disc's Sigma(R) and sigma_R(R), reached here on
// a route of the checks' own: the radial pull averaged over the layer from
// the disc's density formula by quadrature, each velocity cell's J_R by
// its own quadrature of the orbit (no table of actions), F and sigma
// iterated on these cells. G = 1, galaxy units.
#ifndef PLANAR_REFERENCE_H
#define PLANAR_REFERENCE_H

#include <functional>
#include <string>
#include <vector>

struct planar_reference_law {
  std::function<double(double)> pull;     // the layer's mean dPhi/dR at R
  std::function<double(double)> surface;  // Sigma(R)
  std::function<double(double)> sigma;    // sigma_R(R)
  double inner = 0.01, edge = 10.0;       // the moments' radii span
  double fit_inner = 0.1, fit_outer = 5.0;  // where Sigma and sigma_R are judged
};

struct planar_reference {
  // Fine nodes equally spaced in ln R out to twice the edge: the pull and
  // Phi (its trapezoid in ln R), interpolated by Catmull-Rom.
  double log_r0 = 0.0, fine_step = 0.0;
  std::vector<double> pull, phi;
  // Coarse radii equally spaced in ln R, inside the edge: F and sigma as
  // functions of the guiding radius, and f's moments at each.
  double log_R0 = 0.0, step = 0.0;
  std::vector<double> F, sigma, surface, mean_phi, sigma_R2, sigma_phi2;
  // <(v_phi - vbar)^4> / sigma_phi^4: v_phi's long low tail (orbits from
  // the warm inside) makes a small sample's sigma_phi^2 scatter far more
  // than a normal's.
  std::vector<double> kurtosis;
  double misfit = 0.0;  // the largest of Sigma's and sigma_R's in the fit span
};

// False with the reason when the moments cannot be reached.
bool build_planar_reference(const planar_reference_law &law, planar_reference *ref, std::string *why);

struct planar_reference_moments {
  double mean_phi, sigma_R2, sigma_phi2, kurtosis;
};
// Between the radii by Catmull-Rom in ln R, held at the ends.
planar_reference_moments planar_reference_at(const planar_reference &ref, double R);

#endif
