// The laws galaxy-check holds a file against: the model's parameters, its
// speed laws as cumulative distributions, and its moments.
#ifndef CHECK_MODEL_H
#define CHECK_MODEL_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "galaxy_types.h"
#include "profile_model.h"

// The model a file is held against; defaults are galaxy-ic's.
struct check_model {
  double typical_length = 1e18;         // m
  double radius_max = 8e18;             // m
  double total_mass = 1.9891e39;        // kg
  double centre[3] = {0.0, 0.0, 0.0};   // m; galaxy-ic builds at the origin
  double bulk_velocity[3] = {0.0, 0.0, 0.0};  // m/s, the galaxy's motion
  bool equilibrium = false;             // the laws of galaxy-ic --equilibrium
  // The sample's own mean position and velocity were subtracted (galaxy-ic
  // --zero-com): they must be the centre and the bulk velocity to rounding.
  bool zero_com = false;
  // A tabulated model (galaxy-ic --profile), in model units; the caller
  // owns it. Radii and speeds are then held against it.
  const profile_model *profile = nullptr;
  // A component of a galaxy (profile its tables in the joint potential,
  // total_mass the galaxy's, the unit of the tables): its own mass (kg),
  // which the total-mass line holds the sample against, and the galaxy's
  // components (galaxy units) and black hole (of the galaxy's mass), in
  // whose joint mass its Jeans equation is solved.
  double component_mass = 0.0;  // 0: a galaxy of one component, of total_mass
  const std::vector<component_law> *components = nullptr;
  int component = -1;
  double black_hole = 0.0;
  // Under zero_com, the whole galaxy's mean was subtracted, not this
  // component's: its centre is then held against its scatter.
  bool part_of_whole = false;
  double shift_variance = 0.0;  // m^2 an axis: the scatter of the whole's subtracted mean
  // The centre judged is that of the particles within this radius (m; 0:
  // of all), for a model whose mean square radius diverges.
  double centre_radius = 0.0;
};

// The model's escape speed at radius r (m), m/s: the Hernquist law's, or the
// profile's sqrt(2 Psi).
double model_escape_speed(const check_model &model, const gal_system &sys, double r);

// The model's enclosed-mass fraction at r (m), of the mass its sample holds.
double model_mass_fraction(const check_model &model, const gal_system &sys, double r);

// Under a profile: P(|w| <= w_value) at radius r, both in model units, w
// the speed (of (v_r, v_t sqrt(1 + r^2 / r_a^2)) under Osipkov-Merritt).
double profile_speed_cdf(const profile_model &model, double r, double w);

// G as galaxy-ic's escape speed uses it, m^3 kg^-1 s^-2.
constexpr double model_gravitational_constant = 6.673e-11;

// A record holding the model's parameters, for the samplers' formulas.
gal_system model_record(const check_model &model);

// <r^2> of the truncated Hernquist radii, m^2.
double model_second_radial_moment(const check_model &model);

// Cumulative distribution of the defined speed law at one radius: the
// normalised energy e has density proportional to f(e) on [0, e_max], and
// the speed is sqrt(1 - (e / e_max)^2) times the escape speed.
class speed_cdf {
 public:
  // Tabulates the integral of f up to q_max (< 1).
  explicit speed_cdf(double q_max);
  // P(speed <= v) at a radius whose e_max and escape speed are given.
  double operator()(double v, double e_max, double v_esc) const;
  // Integral of f from 0 to q, q in [0, q_max].
  double integral(double q) const;
  // The normalised energy of speed v at that radius.
  double energy(double v, double e_max, double v_esc) const {
    const double x = std::min(1.0, v / v_esc);
    return e_max * std::sqrt(std::max(0.0, 1.0 - x * x));
  }
  // P(speed <= v) from its energy e and e_max.
  double of_energy(double e, double e_max) const {
    // Low energies are high speeds: P(speed <= v) = P(energy >= e).
    return 1.0 - integral(e) / integral(e_max);
  }
  // Asks for the table's lines that integral(q) will read: the table is
  // larger than a core's cache, and a lookup at a random speed otherwise
  // waits on memory.
  void prefetch(double q) const {
    const speed_node *node = &nodes_[node_of(q)];
    __builtin_prefetch(node), __builtin_prefetch(node + 1);
  }

 private:
  // Side by side: a lookup at a random speed then reads one cache line.
  struct speed_node {
    double integral, density;  // f's integral and f at the node
  };
  // The interval's first node, 0 for q <= 0 or NaN. Written without
  // std::min and std::max: through them GCC 12 drops a prefetch of the
  // node it gives.
  size_t node_of(double q) const {
    const double position = q / step_;
    const size_t i = position > 0.0 ? static_cast<size_t>(position) : 0, last = nodes_.size() - 2;
    return i < last ? i : last;
  }
  double step_;
  std::vector<speed_node> nodes_;
};

// Cumulative distribution of the equilibrium speed law at one radius, as a
// function of x = v / v_esc (this law's escape speed), tabulated over
// c = r / (r + a) in [1e-4, c_max] (log-spaced) and s = W(x)^(1/3), W the
// sampler's envelope CDF, in which it is smooth. Error below 1e-6 but for
// radii under 0.01 a.
class equilibrium_speed_cdf {
 public:
  explicit equilibrium_speed_cdf(double c_max);
  double operator()(double x, double c) const;

 private:
  double row(size_t i, double s) const;
  double log_c_min_, log_c_step_;
  std::vector<double> table_;  // rows of columns_ + 1 values
};

#endif
