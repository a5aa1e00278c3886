// What an equilibrium must look like, reached from its density formulas
// alone: each component's enclosed mass and the Jeans equation's velocity
// dispersions in the total mass of all of them (and a central black hole),
// by quadratures of their own. Nothing here reads the generator's tables
// or its distribution functions, so a fault there cannot hide itself.
#ifndef REFERENCE_H
#define REFERENCE_H

#include <string>
#include <vector>

#include "disc_formula.h"
#include "profile_model.h"

// One component's formula, in the galaxy's units (G = 1, lengths in L,
// masses in M, the whole galaxy's).
struct reference_component {
  double alpha = 1.0, beta = 4.0, gamma = 1.0, taper_radius = 0.0, taper_strength = 2.0;  // in its scale
  double scale = 1.0;              // its scale length, in L
  double share = 1.0;              // its mass, of M
  double anisotropy_radius = 0.0;  // in L; 0: isotropic
  double log_rho0 = 0.0;           // so that its mass is share
  // A disc: its mass in spheres, from its own formula (never the own
  // component, whose dispersions a disc's reference gives).
  bool is_disc = false;
  disc_formula disc;
  std::vector<double> node_slope;  // its dM/dln r at the nodes, computed once
};

struct jeans_reference {
  std::vector<reference_component> components;
  double black_hole = 0.0;  // of M
  int own = 0;              // the component whose mass and dispersions these are
  // Nodes equally spaced in ln r; below the first and beyond the last the
  // densities are power laws (or nothing, beyond a taper's reach).
  double log_r0 = 0.0, step = 0.0;
  std::vector<std::vector<double>> masses;  // each component's M(r), of its own mass
  std::vector<double> sigma;                // the own component's sigma_r^2(r)
};

// The reference of a lone law (alpha, beta, gamma, taper read from law)
// with Osipkov-Merritt radius r_a (0: isotropic); false with the reason.
bool build_jeans_reference(const density_law &law, double anisotropy_radius, jeans_reference *ref,
                           std::string *why);

// The reference of component own of a galaxy of components around a
// black hole (of M), in their joint mass.
bool build_component_reference(const std::vector<component_law> &components, double black_hole, int own,
                               jeans_reference *ref, std::string *why);

// The own component's rho(r), from its formula.
double reference_density(const jeans_reference &ref, double r);

// Its M(r) as a fraction of its whole, in [0, 1].
double reference_mass_fraction(const jeans_reference &ref, double r);

// Component c's M(r), of M.
double reference_component_mass(const jeans_reference &ref, int c, double r);
// The galaxy's M(r), of M, black hole included.
double reference_total_mass(const jeans_reference &ref, double r);

// The radius holding fraction q of the own component's mass, q in (0, 1).
double reference_radius_of_fraction(const jeans_reference &ref, double q);

// Its <v_r^2> and <v_t^2> (both tangential components) at radius r.
double reference_sigma_r2(const jeans_reference &ref, double r);
double reference_sigma_t2(const jeans_reference &ref, double r);

#endif
