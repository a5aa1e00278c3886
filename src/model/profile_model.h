// A spherical galaxy model as data, in model units (G = M = a = 1): a
// density of the double-power-law family with an optional taper, its
// enclosed mass and potential, and the distribution function Eddington's
// inversion gives (isotropic, or Osipkov-Merritt), tabulated once.
#ifndef PROFILE_MODEL_H
#define PROFILE_MODEL_H

#include <atomic>
#include <string>
#include <vector>

// rho(r) = rho0 r^-gamma (1 + r^alpha)^((gamma - beta) / alpha) exp(-(r / r_c)^xi)
struct density_law {
  double alpha = 1.0, beta = 4.0, gamma = 1.0;
  double taper_radius = 0.0;  // r_c in a; 0: no taper
  double taper_strength = 2.0;  // xi
};

// Reads hernquist, plummer, jaffe, dehnen:G, nfw, zhao:A,B,G; false with
// the reason in why.
bool parse_density_law(const std::string &name, density_law *law, std::string *why);

// Whether the law's mass is finite (beta > 3 or a taper) and its density
// integrable at the centre (gamma < 3); false with the reason in why.
bool density_law_is_proper(const density_law &law, std::string *why);

// Whether the law's mean square radius diverges (no taper, beta <= 5): the
// centre of mass of its sample is then set by its farthest few particles.
bool mean_square_radius_diverges(const density_law &law);

struct profile_model {
  density_law law;
  double anisotropy_radius = 0.0;  // r_a in a; 0: isotropic
  double density_scale = 0.0;      // rho0, so that the total mass is 1
  // Nodes equally spaced in ln r.
  double log_r0 = 0.0, step = 0.0;
  std::vector<double> mass, psi;   // M(r) and Psi(r) = -Phi(r) at the nodes
  std::vector<double> df;          // f(E = psi[i]) (of Q under Osipkov-Merritt)
  std::vector<double> df_slope;    // d ln f / d ln E at the nodes, for the interpolant
  // Under Osipkov-Merritt f = df_density + df_weighted / r_a^2: the parts of
  // rho and of r^2 rho, kept to find the smallest r_a that keeps f >= 0.
  std::vector<double> df_density, df_weighted;
};

// Builds the tables; false with the reason in why (an improper law, or a
// distribution function that is negative somewhere: the energy, radius and
// the smallest anisotropy radius that works are said).
// Checked every few nodes, cancel (when given and set) ends the build with
// why "cancelled".
bool build_profile_model(const density_law &law, double anisotropy_radius, profile_model *model,
                         std::string *why, const std::atomic<bool> *cancel = nullptr);

// The model's functions at any radius or energy, from the tables (the
// density from its formula).
double profile_density(const profile_model &model, double r);
double profile_enclosed_mass(const profile_model &model, double r);
double profile_potential(const profile_model &model, double r);  // Psi, >= 0
// f at energy: ln f a monotone cubic in ln E between nodes (never beyond
// the two nodes' values), the last nodes' power law below the grid's
// energies, 0 outside (0, Psi(0)).
double profile_df(const profile_model &model, double energy);

#endif
