#include "disc_formula.h"

#include <algorithm>
#include <cmath>

#include "gauss_legendre.h"

namespace {

constexpr double pi = 3.14159265358979323846;

double step_down(const disc_formula &d, double R) {
  const double start = d.truncation - d.width;
  if (R <= start) return 1.0;
  if (R >= d.truncation) return 0.0;
  const double x = (R - start) / d.width;
  return 1.0 - x * x * x * (10.0 - 15.0 * x + 6.0 * x * x);
}

// The vertical law's mass coordinate u = P(|Z| <= |z|) sign z and back.
double height_share(const disc_formula &d, double z) {
  const double x = std::fabs(z) / d.height, s = z < 0.0 ? -1.0 : 1.0;
  return s * (d.exponential ? -std::expm1(-x) : std::tanh(x));
}

double height_of(const disc_formula &d, double u) {
  const double s = u < 0.0 ? -1.0 : 1.0, a = std::fabs(u);
  return s * d.height * (d.exponential ? -std::log1p(-a) : std::atanh(a));
}

double height_density(const disc_formula &d, double z) {
  const double x = std::fabs(z) / d.height;
  if (d.exponential) return std::exp(-x) / (2.0 * d.height);
  const double c = 2.0 * std::exp(-x) / (1.0 + std::exp(-2.0 * x));
  return c * c / (2.0 * d.height);
}

// K(m) and E(m) of the parameter m = k^2, from k'^2 = 1 - m, by the
// arithmetic-geometric mean.
void elliptic(double m, double k_prime, double *K, double *E) {
  double a = 1.0, b = k_prime, sum = 0.5 * m, power = 0.5;
  for (int it = 0; it < 40 && a - b > 1e-15 * a; ++it) {
    const double c = 0.5 * (a - b);
    const double next = 0.5 * (a + b);
    b = std::sqrt(a * b);
    a = next;
    power *= 2.0;
    sum += power * c * c;
  }
  *K = pi / (2.0 * a);
  *E = *K * (1.0 - sum);
}

// The force on (R, z) of a ring of unit mass at radius a, height zeta.
void ring_pull(double R, double z, double a, double zeta, double *fR, double *fz) {
  const double dz = z - zeta, p2 = (R + a) * (R + a) + dz * dz, q2 = (R - a) * (R - a) + dz * dz;
  if (!(q2 > 0.0)) {
    *fR = *fz = 0.0;
    return;
  }
  const double p = std::sqrt(p2);
  double K, E;
  elliptic(4.0 * R * a / p2, std::sqrt(q2) / p, &K, &E);
  *fz = -2.0 / pi * dz * E / (q2 * p);
  *fR = R > 0.0 ? -(K - E * (a * a - R * R + dz * dz) / q2) / (pi * R * p) : 0.0;
}

// Breakpoints graded geometrically (ratio 4) away from centre on both sides
// from the scale first, within [lo, hi].
std::vector<double> graded(double centre, double first, double lo, double hi) {
  std::vector<double> edges = {lo, hi};
  if (centre > lo && centre < hi) edges.push_back(centre);
  for (double s = first; s < hi - lo; s *= 4.0) {
    // A centre outside [lo, hi] (a point above the layer) grades its near edge.
    if (centre - s > lo && centre - s < hi) edges.push_back(centre - s);
    if (centre + s < hi && centre + s > lo) edges.push_back(centre + s);
  }
  std::sort(edges.begin(), edges.end());
  return edges;
}

}  // namespace

double formula_surface(const disc_formula &d, double R) { return d.surface0 * std::exp(-R / d.length) * step_down(d, R); }

double formula_surface_log_slope(const disc_formula &d, double R) {
  const double start = d.truncation - d.width;
  double slope = -R / d.length;
  if (R > start && R < d.truncation) {
    const double x = (R - start) / d.width;
    slope -= R * 30.0 * x * x * (1.0 - x) * (1.0 - x) / d.width / step_down(d, R);
  }
  return slope;
}

double formula_height_cdf(const disc_formula &d, double z) { return 0.5 * (1.0 + height_share(d, z)); }

disc_formula disc_formula_of(const disc_law &law) {
  disc_formula d;
  d.share = law.mass, d.length = law.scale_length, d.height = law.scale_height;
  d.truncation = law.truncation, d.width = law.truncation_width;
  d.exponential = law.vertical == vertical_exponential;
  d.toomre_q = law.toomre_q, d.q_radius = law.q_radius;
  d.surface0 = 1.0;
  double whole = 0.0;
  const double start = d.truncation - d.width;
  for (int k = 0; k < 512; ++k) {
    const double lo = start * k / 512.0, hi = start * (k + 1) / 512.0;
    whole += gauss6(lo, hi, [&](double R) { return 2.0 * pi * R * formula_surface(d, R); });
  }
  for (int k = 0; k < 64; ++k) {
    const double lo = start + d.width * k / 64.0, hi = start + d.width * (k + 1) / 64.0;
    whole += gauss6(lo, hi, [&](double R) { return 2.0 * pi * R * formula_surface(d, R); });
  }
  d.surface0 = d.share / whole;
  return d;
}

double formula_spherical_mass_slope(const disc_formula &d, double r) {
  // 4 pi r^3 int_0^1 Sigma(r sqrt(1 - mu^2)) h(r mu) dmu, panels graded
  // from the plane at the scale height.
  const auto f = [&](double mu) { return formula_surface(d, r * std::sqrt(std::max(0.0, 1.0 - mu * mu))) * height_density(d, r * mu); };
  // Beyond 40 z_d from the plane or the truncation radius from the axis
  // lies less than 1e-34 of the mass.
  const double top = std::min(1.0, 40.0 * d.height / r);
  if (r > d.truncation && r * r * (1.0 - top * top) > d.truncation * d.truncation) return 0.0;
  double sum = 0.0, lo = 0.0;
  for (double hi = 0.25 * d.height / r; lo < top; hi *= 2.0) {
    hi = std::min(hi, top);
    sum += gauss6(lo, hi, f);
    lo = hi;
  }
  return 4.0 * pi * r * r * r * sum;
}

disc_pull formula_disc_force(const disc_formula &d, double R, double z) {
  const double sign = z < 0.0 ? -1.0 : 1.0;
  z = std::fabs(z);
  // Beyond top lies 3e-15 of the mass (and its mass coordinate stays below 1).
  const double smallest = 1e-3 * d.height, top = (d.exponential ? 33.0 : 16.5) * d.height;
  const std::vector<double> rings = graded(R, smallest, 0.0, d.truncation);
  disc_pull pull = {0.0, 0.0};
  for (size_t i = 0; i + 1 < rings.size(); ++i) {
    const double lo = rings[i], hi = rings[i + 1];
    if (lo >= d.truncation) break;
    const double mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
    for (int q = 0; q < 6; ++q) {
      const double a = mid + (q < 3 ? -1.0 : 1.0) * half * gauss6_x[q % 3], w = half * gauss6_w[q % 3];
      const double ring_mass = 2.0 * pi * a * formula_surface(d, a);
      if (!(ring_mass > 0.0)) continue;
      // Heights graded from the field point's at the ring's distance.
      // In the plane the layer's halves pull alike: one of them, twice.
      const bool plane = z == 0.0;
      const std::vector<double> heights = graded(z, std::max(0.5 * std::fabs(a - R), smallest), plane ? 0.0 : -top, top);
      for (size_t j = 0; j + 1 < heights.size(); ++j) {
        const double u0 = height_share(d, heights[j]), u1 = height_share(d, heights[j + 1]);
        if (!(u1 > u0)) continue;
        const double m = 0.5 * (u0 + u1), h = 0.5 * (u1 - u0);
        for (int p = 0; p < 6; ++p) {
          const double u = m + (p < 3 ? -1.0 : 1.0) * h * gauss6_x[p % 3];
          double r, v;
          ring_pull(R, z, a, height_of(d, u), &r, &v);
          const double weight = w * ring_mass * (plane ? 1.0 : 0.5) * h * gauss6_w[p % 3];
          pull.R += weight * r, pull.z += weight * v;
        }
      }
    }
  }
  pull.z = z == 0.0 ? 0.0 : sign * pull.z;
  return pull;
}
