#include "disc_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "gauss_legendre.h"
#include "smooth_table.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int mass_cells = 2048;
constexpr double radial_step = 0.04;  // in ln R
constexpr int column_count = 40;

double spheroid_mass(const disc_reference &ref, double r) {
  return ref.has_spheroids ? reference_total_mass(ref.spheroids, r) : ref.black_hole;
}

// The whole galaxy's force at (R, z).
disc_pull total_force(const disc_reference &ref, double R, double z) {
  disc_pull f = formula_disc_force(ref.disc, R, z);
  const double r = std::hypot(R, z);
  if (r > 0.0) {
    const double m = spheroid_mass(ref, r) / (r * r * r);
    f.R -= m * R, f.z -= m * z;
  }
  return f;
}

void tabulate_cumulative(disc_reference *ref) {
  const disc_formula &d = ref->disc;
  ref->mass_step = d.truncation / mass_cells;
  ref->cumulative.assign(mass_cells + 1, 0.0);
  for (int k = 1; k <= mass_cells; ++k) {
    const double lo = ref->mass_step * (k - 1), hi = ref->mass_step * k;
    ref->cumulative[k] = ref->cumulative[k - 1] + gauss6(lo, hi, [&](double R) { return 2.0 * pi * R * formula_surface(d, R); });
  }
  const double whole = ref->cumulative.back();
  for (double &c : ref->cumulative) c /= whole;
}

// v_c^2 and kappa^2 / 4 Omega^2 on the radial nodes: the midplane's
// gradient g at each (two more beyond each end), kappa^2 = 3 g / R + dg/dR
// by fourth-order differences in ln R.
void tabulate_rotation(disc_reference *ref) {
  const disc_formula &d = ref->disc;
  ref->log_R0 = std::log(0.01 * d.length);
  const int n = static_cast<int>(std::ceil((std::log(d.truncation) - ref->log_R0) / radial_step)) + 1;
  ref->log_step = (std::log(d.truncation) - ref->log_R0) / (n - 1);
  std::vector<double> g(n + 4);
  in_parallel(n + 4, [&](int i) { g[i] = -total_force(*ref, std::exp(ref->log_R0 + ref->log_step * (i - 2)), 0.0).R; });
  ref->vc2.assign(n, 0.0);
  ref->ratio.assign(n, 0.0);
  for (int j = 0; j < n; ++j) {
    const int i = j + 2;
    const double R = std::exp(ref->log_R0 + ref->log_step * j);
    const double dg = (8.0 * (g[i + 1] - g[i - 1]) - (g[i + 2] - g[i - 2])) / (12.0 * ref->log_step) / R;
    const double kappa2 = 3.0 * g[i] / R + dg;
    ref->vc2[j] = R * g[i];
    ref->ratio[j] = kappa2 * R / (4.0 * g[i]);
  }
}

// A column's mean sigma_z^2 over the inner and the outer half of its mass,
// in the mass coordinate u = P(|Z| <= z), h dz = du / 2:
//   A = int_0^1/2 z g du/2, B = int_1/2^1 z g du/2, P = int_1/2^1 g du/2
// (P = h sigma_z^2 at the half-mass height z_h), and by parts
//   inner 4 (z_h P + A), outer 4 (B - z_h P).
void tabulate_column(disc_reference *ref, int j) {
  const disc_formula &d = ref->disc;
  const double R = std::exp(ref->column_log_R0 + ref->column_step * j);
  const auto height = [&](double u) { return d.height * (d.exponential ? -std::log1p(-u) : std::atanh(u)); };
  const auto pull = [&](double z) { return -total_force(*ref, R, z).z; };
  double A = 0.0, B = 0.0, P = 0.0;
  for (const double edge : {0.0, 0.25}) {
    A += 0.5 * gauss6(edge, edge + 0.25, [&](double u) { const double z = height(u); return z * pull(z); });
  }
  // Beyond, in v = -ln(1 - u): du = e^-v dv.
  const double edges[4] = {std::log(2.0), 3.0, 8.0, 20.0};
  for (int p = 0; p < 3; ++p) {
    const double mid = 0.5 * (edges[p] + edges[p + 1]), half = 0.5 * (edges[p + 1] - edges[p]);
    for (int q = 0; q < 6; ++q) {
      const double v = mid + (q < 3 ? -1.0 : 1.0) * half * gauss6_x[q % 3];
      const double u = -std::expm1(-v), z = height(u), gz = pull(z), w = half * gauss6_w[q % 3] * 0.5 * std::exp(-v);
      P += w * gz, B += w * z * gz;
    }
  }
  const double z_h = height(0.5);
  ref->log_inner[j] = std::log(4.0 * (z_h * P + A));
  ref->log_outer[j] = std::log(4.0 * (B - z_h * P));
}

// The radial pull averaged over the layer's mass at R, in the mass
// coordinate u = P(|Z| <= z): six-point rules on panels that close in on
// u = 1.
double layer_pull(const disc_reference &ref, double R) {
  const disc_formula &d = ref.disc;
  const auto height = [&](double u) { return d.height * (d.exponential ? -std::log1p(-u) : std::atanh(u)); };
  double sum = 0.0;
  const double edges[4] = {0.0, 0.6, 0.9, 1.0};
  for (int p = 0; p < 3; ++p) {
    sum += gauss6(edges[p], edges[p + 1], [&](double u) { return -total_force(ref, R, height(u)).R; });
  }
  return sum;
}

bool build_planar(disc_reference *ref, std::string *why) {
  const disc_formula &d = ref->disc;
  planar_reference_law law;
  law.pull = [ref](double R) { return layer_pull(*ref, R); };
  law.surface = [ref](double R) { return formula_surface(ref->disc, R); };
  law.sigma = [ref](double R) { return ref->sigma_R0 * std::exp(-0.5 * R / ref->disc.length); };
  law.inner = 0.01 * d.length, law.edge = d.truncation;
  law.fit_inner = 0.1 * d.length, law.fit_outer = std::min(5.0 * d.length, 0.75 * (d.truncation - d.width));
  ref->planar_ok = build_planar_reference(law, &ref->planar, why);
  if (!ref->planar_ok) ref->planar_why = *why;
  return true;
}

}  // namespace

bool build_disc_reference(const std::vector<component_law> &components, double black_hole, int own,
                          disc_reference *ref, std::string *why) {
  *ref = disc_reference();
  ref->disc = disc_formula_of(components[static_cast<size_t>(own)].disc->law);
  ref->black_hole = black_hole;
  std::vector<component_law> others;
  for (size_t c = 0; c < components.size(); ++c) {
    if (static_cast<int>(c) != own) others.push_back(components[c]);
  }
  // The others' mass in spheres: a second disc's too, as the generator feels it.
  std::sort(others.begin(), others.end(), [](const component_law &a, const component_law &b) { return !a.disc && b.disc; });
  ref->has_spheroids = !others.empty();
  if (ref->has_spheroids && !build_component_reference(others, black_hole, 0, &ref->spheroids, why)) return false;
  tabulate_cumulative(ref);
  tabulate_rotation(ref);
  const disc_formula &d = ref->disc;
  char text[300];
  // kappa at q_radius by the same differences, about it.
  const double q = d.q_radius, h = 0.01 * q;
  double g[5];
  in_parallel(5, [&](int i) { g[i] = -total_force(*ref, q + h * (i - 2), 0.0).R; });
  const double kappa2 = 3.0 * g[2] / q + (8.0 * (g[3] - g[1]) - (g[4] - g[0])) / (12.0 * h);
  if (!(kappa2 > 0.0) || !(g[2] > 0.0)) {
    std::snprintf(text, sizeof text, "its potential has no stable circular orbit at q_radius %.4g", q);
    *why = text;
    return false;
  }
  ref->kappa_q = std::sqrt(kappa2);
  ref->sigma_R0 = 3.36 * d.toomre_q * formula_surface(d, q) / ref->kappa_q * std::exp(0.5 * q / d.length);
  ref->column_log_R0 = std::log(0.02 * d.length);
  ref->column_step = (std::log(d.truncation) - ref->column_log_R0) / (column_count - 1);
  ref->log_inner.assign(column_count, 0.0);
  ref->log_outer.assign(column_count, 0.0);
  in_parallel(column_count, [&](int j) { tabulate_column(ref, j); });
  return build_planar(ref, why);
}

double disc_reference_mass_fraction(const disc_reference &ref, double R) {
  if (!(R > 0.0)) return 0.0;
  const double u = R / ref.mass_step;
  if (u >= mass_cells) return 1.0;
  const int k = static_cast<int>(u);
  // Within a cell, the exact integral of 2 pi R Sigma by its own quadrature.
  const double lo = ref.mass_step * k;
  const double part = gauss6(lo, R, [&](double x) { return 2.0 * pi * x * formula_surface(ref.disc, x); });
  const double cell = gauss6(lo, lo + ref.mass_step, [&](double x) { return 2.0 * pi * x * formula_surface(ref.disc, x); });
  return ref.cumulative[k] + (ref.cumulative[k + 1] - ref.cumulative[k]) * (cell > 0.0 ? part / cell : 0.0);
}

disc_expectation disc_reference_at(const disc_reference &ref, double R) {
  const disc_formula &d = ref.disc;
  const double x = std::log(std::max(R, 1e-300));
  const double vc2 = smooth_at(ref.vc2, ref.log_R0, ref.log_step, x);
  const double ratio = smooth_at(ref.ratio, ref.log_R0, ref.log_step, x);
  disc_expectation e;
  e.sigma_R2 = ref.sigma_R0 * ref.sigma_R0 * std::exp(-R / d.length);
  if (ref.planar_ok) {
    const planar_reference_moments planar = planar_reference_at(ref.planar, R);
    e.sigma_phi2 = planar.sigma_phi2, e.mean_phi = planar.mean_phi, e.phi_kurtosis = planar.kurtosis;
  } else {
    // Finite stand-ins for the sums; the lines they would judge fail.
    const double slope = R < d.truncation ? formula_surface_log_slope(d, R) : -R / d.length;
    e.sigma_phi2 = e.sigma_R2 * ratio, e.phi_kurtosis = 3.0;
    e.mean_phi = std::sqrt(std::max(0.0, vc2 + e.sigma_R2 * (1.0 - ratio + slope - R / d.length)));
  }
  e.sigma_z2_inner = std::exp(smooth_at(ref.log_inner, ref.column_log_R0, ref.column_step, x));
  e.sigma_z2_outer = std::exp(smooth_at(ref.log_outer, ref.column_log_R0, ref.column_step, x));
  e.kappa = R > 0.0 ? std::sqrt(std::max(0.0, 4.0 * ratio * vc2)) / R : 0.0;
  e.surface = formula_surface(d, R);
  e.circular2 = vc2;
  return e;
}

double disc_reference_half_height(const disc_reference &ref) {
  return ref.disc.height * (ref.disc.exponential ? std::log(2.0) : std::atanh(0.5));
}
