// What an equilibrium must look like, reached from its density formula
// alone: the enclosed mass and the Jeans equation's velocity dispersions,
// by quadratures of their own. Nothing here reads the generator's tables
// or its distribution function, so a fault there cannot hide itself.
#ifndef REFERENCE_H
#define REFERENCE_H

#include <string>
#include <vector>

#include "profile_model.h"

// Model units G = M = a = 1, M the whole mass, taper included.
struct jeans_reference {
  double alpha = 1.0, beta = 4.0, gamma = 1.0, taper_radius = 0.0, taper_strength = 2.0;
  double anisotropy_radius = 0.0;  // 0: isotropic
  double log_rho0 = 0.0;           // ln rho0, so that the whole mass is 1
  // Nodes equally spaced in ln r; below the first and beyond the last the
  // density is a power law (or nothing, beyond a taper's reach).
  double log_r0 = 0.0, step = 0.0;
  std::vector<double> mass;   // M(r), of 1
  std::vector<double> sigma;  // sigma_r^2(r)
};

// Builds the reference of a law (alpha, beta, gamma, taper read from law)
// with Osipkov-Merritt radius r_a (0: isotropic); false with the reason.
bool build_jeans_reference(const density_law &law, double anisotropy_radius, jeans_reference *ref,
                           std::string *why);

// rho(r), from the formula.
double reference_density(const jeans_reference &ref, double r);

// M(r) as a fraction of the whole, in [0, 1].
double reference_mass_fraction(const jeans_reference &ref, double r);

// The radius holding fraction q of the mass, q in (0, 1).
double reference_radius_of_fraction(const jeans_reference &ref, double q);

// <v_r^2> and <v_t^2> (both tangential components) at radius r.
double reference_sigma_r2(const jeans_reference &ref, double r);
double reference_sigma_t2(const jeans_reference &ref, double r);

#endif
