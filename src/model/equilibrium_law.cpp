// Isotropic distribution function of the Hernquist sphere (Hernquist 1990,
// ApJ 356, 359, eq. 17), with mass parameter M_h, scale length a,
// v_g = sqrt(G M_h / a), binding energy eps = -Phi - v^2 / 2 and
// q = sqrt(a eps / (G M_h)):
//
//   f(eps) = M_h / (8 sqrt(2) pi^3 a^3 v_g^3) (1 - q^2)^(-5/2) h(q),
//   h(q)   = 3 asin q + q (1 - q^2)^(1/2) (1 - 2q^2) (8q^4 - 8q^2 - 3),
//
// in the potential Phi(r) = -G M_h / (r + a). The galaxy's particles all lie
// inside r_max and hold its mass M, so M_h = M (r_max + a)^2 / r_max^2.
//
// Speeds at radius r have density v^2 f(eps(r, v)) on [0, v_esc), v_esc =
// sqrt(2 G M_h / (r + a)). With x = v / v_esc, psi = a / (r + a) and
// c = 1 - psi = r / (r + a): q^2 = psi (1 - x^2), 1 - q^2 = c + psi x^2, so
//
//   p(x) dx  ∝  x^2 (c + psi x^2)^(-5/2) h(q) dx.
//
// h is increasing, h'(q) = 128 q^4 (1 - q^2)^(3/2), hence h(q) <= h(sqrt(psi))
// and the envelope x^2 (c + psi x^2)^(-5/2) h(sqrt(psi)) bounds p. Its CDF is
// W(x) = x^3 / (c + psi x^2)^(3/2) (W(1) = 1 since c + psi = 1), inverted by
// x^2 = c t / (1 - psi t) with t = W^(2/3). A trial draws W, then accepts
// when u h(sqrt(psi)) < h(q). Near the centre proposals crowd where p does
// (x ~ sqrt(c)) and nearly all are accepted; at r_max = 8a about one in
// five is. Nothing divides by zero: at r = 0 the speed is 0.
#include "equilibrium_law.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double two_pi = 6.283185307179586476925286766559;

// Below this q, h comes from its series: the closed form's terms cancel.
constexpr double series_limit = 0.1;

}  // namespace

double compute_equilibrium_mass_function(const gal_system *sys) {
  const double r_max = sys->radius_max;
  const double a = sys->typical_length;
  return sys->total_mass * ((r_max + a) * (r_max + a)) / (r_max * r_max);
}

double compute_equilibrium_escape_velocity_function(const gal_system *sys, double radius) {
  return std::sqrt(2.0 * gravitational_constant * compute_equilibrium_mass_function(sys) /
                   (radius + sys->typical_length));
}

double compute_equilibrium_bracket_function(double q) {
  if (q < series_limit) {
    // h(q) = 128 ∫0^q t^4 (1 - t^2)^(3/2) dt, the binomial series of
    // (1 - t^2)^(3/2) integrated term by term; seven terms reach 1e-15.
    static const double coefficient[] = {1.0,         -3.0 / 2.0,   3.0 / 8.0,   1.0 / 16.0,
                                         3.0 / 128.0, 3.0 / 256.0, 7.0 / 1024.0};
    const double q2 = q * q;
    double sum = 0.0, power = 1.0;
    for (int k = 0; k < 7; ++k) {
      sum += coefficient[k] * power / (5.0 + 2.0 * k);
      power *= q2;
    }
    return 128.0 * sum * q2 * q2 * q;
  }
  const double p = std::min(q, 1.0);
  const double p2 = p * p;
  const double s = std::sqrt(1.0 - p2);
  return 3.0 * std::asin(p) + p * s * (1.0 - 2.0 * p2) * (8.0 * p2 * p2 - 8.0 * p2 - 3.0);
}

double compute_equilibrium_envelope_cdf_function(double x, double psi, double c) {
  const double d = c + psi * x * x;
  if (!(d > 0.0)) return 1.0;  // r = 0: all speeds are 0
  return std::min(1.0, x * x * x / (d * std::sqrt(d)));
}

double compute_random_equilibrium_speed(const gal_system *sys, double radius,
                                        random_stream *stream) {
  const double a = sys->typical_length;
  const double psi = a / (radius + a);
  const double c = radius / (radius + a);
  const double v_esc = compute_equilibrium_escape_velocity_function(sys, radius);
  const double h_max = compute_equilibrium_bracket_function(std::sqrt(psi));
  for (;;) {
    const double w = next_uniform(stream);
    const double test = next_uniform(stream);
    const double t = std::cbrt(w * w);
    const double x2 = c > 0.0 ? c * t / (1.0 - psi * t) : 0.0;
    const double q = std::sqrt(std::max(0.0, psi * (1.0 - x2)));
    const double speed = std::sqrt(x2) * v_esc;
    // Strict: a proposal with h(q) = 0 (speed v_esc) is never taken, and a
    // speed that rounds up to v_esc is drawn again.
    if (test * h_max < compute_equilibrium_bracket_function(q) && speed < v_esc) return speed;
  }
}

double compute_random_isotropic_phi(random_stream *stream) { return two_pi * next_uniform(stream); }

double compute_random_cos_theta(random_stream *stream) { return 2.0 * next_uniform(stream) - 1.0; }
