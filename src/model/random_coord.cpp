#include "random_coord.h"

#include <cmath>
#include <cstdlib>

// Every expression below is evaluated in the order written: the particle
// file is defined bit for bit by these roundings, so none may be simplified.

namespace {

// The eight-decimal value both angle samplers use, not M_PI.
constexpr double pi_approx = 3.14159265;

// 2 G, with G = 6.673e-11 m^3 kg^-1 s^-2.
constexpr double two_g = 1.3346e-10;

random_stream *c_library_stream() {
  static random_stream stream;  // default-initialised to rand()
  return &stream;
}

}  // namespace

double compute_random_uniform() { return next_uniform(c_library_stream()); }

// Enclosed-mass fraction M(<r)/M = r^2 / (r + a)^2, truncated at radius_max:
// u is scaled to the fraction at the cut-off, then the fraction inverted,
// r = a sqrt(v) / (1 - sqrt(v)). No clamp: the top draw may pass the cut-off
// by a few km.
double compute_inverse_mass_fraction_function(const gal_system *sys, double u) {
  const double radius_max = sys->radius_max;
  const double a = sys->typical_length;
  // Computed on every call from the record: a stored 64/81 differs in the
  // last bit.
  const double uniform_rand_max =
      (radius_max * radius_max) / ((radius_max + a) * (radius_max + a));
  const double uniform_rand_var = u * uniform_rand_max;
  return (std::sqrt(uniform_rand_var) * a) / (1.0 - std::sqrt(uniform_rand_var));
}

double compute_enclosed_mass_fraction_function(const gal_system *sys, double radius) {
  const double a = sys->typical_length;
  const double radius_max = sys->radius_max;
  return ((radius * radius) / ((radius + a) * (radius + a))) /
         ((radius_max * radius_max) / ((radius_max + a) * (radius_max + a)));
}

double compute_random_radius(const gal_system *sys) {
  return compute_random_radius(sys, c_library_stream());
}

double compute_random_radius(const gal_system *sys, random_stream *stream) {
  return compute_inverse_mass_fraction_function(sys, next_uniform(stream));
}

double compute_random_phi() { return compute_random_phi(c_library_stream()); }

double compute_random_phi(random_stream *stream) {
  return (2.0 * next_uniform(stream)) * pi_approx;
}

double compute_random_theta() { return compute_random_theta(c_library_stream()); }

// Uniform in the angle, not in its cosine: the model's directions crowd the
// poles on purpose.
double compute_random_theta(random_stream *stream) { return next_uniform(stream) * pi_approx; }

// f(q) = [3 asin(q) + (8q^4 - 8q^2 - 3) sqrt(1 - q^2) q (1 - 2q^2)] / (1 - q^2)^2
// No normalising factor: only ratios are used. Below q ~ 1e-4 the two terms
// cancel and the value is rounding noise; it is used as evaluated.
double compute_hernquist_probability_density_function(double normalized_energy) {
  const double q = normalized_energy;
  const double asin_term = std::asin(q) * 3.0;
  double product = std::sqrt(1.0 - q * q) * q;
  product = product * (1.0 - (q * q + q * q));
  const double polynomial = std::pow(q, 4.0) * 8.0 - (q * q) * 8.0 - 3.0;
  const double numerator = asin_term + polynomial * product;
  return numerator / std::pow(1.0 - q * q, 2.0);
}

double compute_linear_envelop_probability_function(double normalized_energy,
                                                   double normalized_energy_max,
                                                   double density_function_max) {
  return (density_function_max * normalized_energy) / normalized_energy_max;
}

double compute_escape_velocity_function(const gal_system *sys, double radius) {
  return std::sqrt((two_g * sys->total_mass) / (radius + sys->typical_length));
}

// Rejection sampling of the normalised energy e on [0, e_max], e_max =
// sqrt(r / (r + a)), with density proportional to f. Proposals come from the
// linear envelope g (e = sqrt(u1) e_max has density rising linearly), and are
// accepted when u2 <= f(e) / g(e). Since f(q)/q grows with q, f <= g on the
// interval. The speed is then v = sqrt(1 - (e/e_max)^2) v_esc.
double compute_random_velocity_norm(const gal_system *sys, double radius) {
  return compute_random_velocity_norm(sys, radius, c_library_stream());
}

double compute_random_velocity_norm(const gal_system *sys, double radius,
                                    random_stream *stream) {
  const double a = sys->typical_length;
  const double normalized_energy_max = std::sqrt(radius / (radius + a));
  const double density_function_max =
      compute_hernquist_probability_density_function(normalized_energy_max);

  double random_normalized_energy = 0.0;
  if (density_function_max > 0.0) {
    bool rejected = true;
    while (rejected) {
      random_normalized_energy =
          std::sqrt(next_uniform(stream)) * normalized_energy_max;
      const double random_test_value = next_uniform(stream);
      const double test_value_max =
          compute_hernquist_probability_density_function(random_normalized_energy) /
          compute_linear_envelop_probability_function(
              random_normalized_energy, normalized_energy_max, density_function_max);
      // A NaN ratio (a proposal of exactly 0 gives 0/0) fails and draws again.
      if (random_test_value <= test_value_max) {
        rejected = false;
      }
    }
  } else {
    // At radius 0 (and wherever rounding leaves f(e_max) <= 0) every ratio
    // above is 0/0 or meaningless and the loop would never end. Take instead
    // the limit of that loop as r -> 0: f(q) ~ (128/5) q^5 near 0, so with
    // x = e / e_max the ratio f/g tends to x^4. Same proposal and the same two
    // draws per trial, accepted when u2 <= x^4: x gets density 6 x^5, the law
    // the speeds of the innermost particles converge to, and the speed lies
    // in [0, v_esc] as everywhere else.
    bool rejected = true;
    double x = 0.0;
    while (rejected) {
      x = std::sqrt(next_uniform(stream));
      const double random_test_value = next_uniform(stream);
      if (random_test_value <= std::pow(x, 4.0)) {
        rejected = false;
      }
    }
    const double vel_max = compute_escape_velocity_function(sys, radius);
    return std::sqrt(1.0 - x * x) * vel_max;
  }

  const double vel_max = compute_escape_velocity_function(sys, radius);
  const double e = random_normalized_energy;
  return std::sqrt(1.0 - (e / normalized_energy_max) * (e / normalized_energy_max)) *
         vel_max;
}
