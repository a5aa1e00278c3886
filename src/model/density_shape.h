// What the model's tables and their readers share: the density's shape and
// its logarithmic slopes, the cubic Hermite basis and the quadrature.
#ifndef DENSITY_SHAPE_H
#define DENSITY_SHAPE_H

#include <cmath>

#include "profile_model.h"

namespace density_shape {

constexpr double pi = 3.14159265358979323846;

// The unnormalised density at r (in the law's own scale length), ln of it,
// and its first two logarithmic slopes.
struct shape_at {
  double value, g1, g2, log_value;
};

inline shape_at shape(const density_law &l, double r) {
  // r^alpha as exp(alpha ln r), and log1p(r^alpha), r^alpha / (1 + r^alpha)
  // in forms that neither overflow nor lose the small side, for any alpha.
  const double x = std::log(r), ax = l.alpha * x;
  double log_sum, share, share_product;  // ln(1 + r^a), r^a / (1 + r^a), r^a / (1 + r^a)^2
  if (ax > 0.0) {
    const double inverse = std::exp(-ax);
    log_sum = ax + std::log1p(inverse);
    share = 1.0 / (1.0 + inverse);
    share_product = inverse / ((1.0 + inverse) * (1.0 + inverse));
  } else {
    const double ra = std::exp(ax);
    log_sum = std::log1p(ra);
    share = ra / (1.0 + ra);
    share_product = ra / ((1.0 + ra) * (1.0 + ra));
  }
  double log_value = -l.gamma * x + (l.gamma - l.beta) / l.alpha * log_sum;
  double g1 = -l.gamma + (l.gamma - l.beta) * share;
  double g2 = (l.gamma - l.beta) * l.alpha * share_product;
  if (l.taper_radius > 0.0) {
    const double xi = l.taper_strength, t = std::exp(xi * (x - std::log(l.taper_radius)));
    log_value -= t;
    g1 -= xi * t;
    g2 -= xi * xi * t;
  }
  return {std::exp(log_value), g1, g2, log_value};
}

// Cubic Hermite basis at u in [0, 1].
// A component's density at r (in L, normalised) and its shape's slopes:
// its law's, or a disc's spherical average.
shape_at component_shape(const profile_model &m, double r);

struct hermite {
  double h00, h10, h01, h11;
  explicit hermite(double u)
      : h00((1 + 2 * u) * (1 - u) * (1 - u)), h10(u * (1 - u) * (1 - u)), h01(u * u * (3 - 2 * u)),
        h11(u * u * (u - 1)) {}
};

constexpr double gl_x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
constexpr double gl_w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};

// 8-point Gauss-Legendre of f over [a, b].
template <typename F>
double gauss(F f, double a, double b) {
  const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
  double sum = 0.0;
  for (int k = 0; k < 4; ++k) sum += gl_w[k] * (f(mid - half * gl_x[k]) + f(mid + half * gl_x[k]));
  return sum * half;
}

}  // namespace density_shape

#endif
