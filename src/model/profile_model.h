// Spherical galaxy models as data, in model units (G = 1, and the galaxy's
// mass and length unit): densities of the double-power-law family with an
// optional taper, alone or as components around a black hole, their
// enclosed masses and joint potential, and the distribution function
// Eddington's inversion gives each in it (isotropic, or Osipkov-Merritt),
// tabulated once.
#ifndef PROFILE_MODEL_H
#define PROFILE_MODEL_H

#include <atomic>
#include <memory>
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

struct disc_model;

// One spherical component of a galaxy, in the galaxy's units (G = 1,
// lengths in L, masses in M, the whole galaxy's mass, black hole included).
struct component_law {
  density_law law;                 // in the component's own scale length
  double mass = 1.0;               // of M
  double scale = 1.0;              // its scale length, in L
  double anisotropy_radius = 0.0;  // in L; 0: isotropic
  // Set: a disc, whose spherically averaged density takes part in the
  // joint potential the spheroids' distribution functions are made in (it
  // has none of its own); law and scale are then unused.
  std::shared_ptr<const disc_model> disc;
};

// One component's tables in the galaxy's joint potential. A lone profile
// is the galaxy of one component, M = L = its mass and scale length.
struct profile_model {
  density_law law;
  double anisotropy_radius = 0.0;  // r_a in L; 0: isotropic
  double scale = 1.0;              // the component's scale length, in L
  double density_scale = 0.0;      // rho(r) = density_scale x the law's shape at r / scale
  double black_hole = 0.0;         // the central point mass, of M
  std::shared_ptr<const disc_model> disc;  // set: a disc's monopole (no f)
  // Nodes equally spaced in ln r, shared by every component.
  double log_r0 = 0.0, step = 0.0;
  std::vector<double> mass;        // this component's M(r) at the nodes
  std::vector<double> total_mass;  // everything's, black hole included: the potential's slope
  std::vector<double> psi;         // the joint Psi(r) = -Phi(r) at the nodes
  std::vector<double> own_psi;     // this component's part of it
  std::vector<double> df;          // f(E = psi[i]) (of Q under Osipkov-Merritt)
  std::vector<double> df_slope;    // d ln f / d ln E at the nodes, for the interpolant
  // Under Osipkov-Merritt f = df_density + df_weighted / r_a^2: the parts of
  // rho and of r^2 rho, kept to find the smallest r_a that keeps f >= 0.
  std::vector<double> df_density, df_weighted;
};

// Builds the tables of every component in the joint potential of all of
// them and a central black hole (of M, 0: none): each component's f by
// Eddington's inversion of its own density in the total Psi. False with the
// reason in why, and in *failed the component it concerns (-1: none): an
// improper law, a model the tables cannot hold, or a distribution function
// that is negative somewhere (the energy, radius and the smallest
// anisotropy radius that works are said). Checked every few nodes, cancel
// (when given and set) ends the build with why "cancelled".
bool build_galaxy_model(const std::vector<component_law> &components, double black_hole,
                        std::vector<profile_model> *models, int *failed, std::string *why,
                        const std::atomic<bool> *cancel = nullptr);

// The galaxy of one component and no black hole.
bool build_profile_model(const density_law &law, double anisotropy_radius, profile_model *model,
                         std::string *why, const std::atomic<bool> *cancel = nullptr);

// The model's functions at any radius or energy, from the tables (the
// density from its formula): the component's density and enclosed mass,
// the joint potential (the black hole's 1 / r below the nodes).
double profile_density(const profile_model &model, double r);
double profile_enclosed_mass(const profile_model &model, double r);
double profile_potential(const profile_model &model, double r);  // Psi, >= 0
// f at energy: ln f a monotone cubic in ln E between nodes (never beyond
// the two nodes' values), the last nodes' power law below the grid's
// energies and, around a black hole, the first nodes' above them; 0
// outside (0, Psi(0)).
double profile_df(const profile_model &model, double energy);

#endif
