#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <initializer_list>

#include "density_shape.h"
#include "disc_model.h"
#include "profile_model.h"

// Model units: G = 1, the galaxy's mass M and length L (a lone profile's
// own). Radii are tabulated at nodes equally spaced in ln r, shared by
// every component; between nodes M and Psi are cubic Hermite interpolants
// whose slopes (dM/dln r = 4 pi rho r^3, dPsi/dln r = -M / r, M and rho
// everything's) are exact, so both are good to ~h^4. Cell integrals use
// 8-point Gauss-Legendre in ln r.
//
// Eddington, for component c in the joint potential:
//   f_c(E) = 1/(sqrt 8 pi^2) int_0^E (d^2 rho_c / dPsi^2) dPsi / sqrt(E - Psi)
// (the boundary term (drho_c/dPsi)(0) / sqrt E vanishes for these laws).
// With h = drho_c/dPsi = -rho_c g1 r / M (g1 = dln rho_c / dln r, M the
// total mass), the integral is int_{r(E)}^inf (-dh/dln r) dln r /
// sqrt(E - Psi(r)), and ln r = ln r(E) + s^2 takes the inverse square root
// away. Energies are the nodes' Psi.

using density_shape::gauss;
using density_shape::gl_w;
using density_shape::gl_x;
using density_shape::hermite;
using density_shape::component_shape;
using density_shape::pi;
using density_shape::shape;
using density_shape::shape_at;

namespace {

constexpr int base_nodes = 1200;
constexpr int max_nodes = 4800;

// Where the mass lies, from a coarse scan of dM/dln r over ln r in
// [ln 1e-30, ln 1e30] (in the law's own scale length): the grid runs from
// the radius holding 1e-10 of the mass to ten times the one beyond which
// 1e-10 of it lies, so that every energy a particle can have is reached by
// Eddington's integral with a decade of room (the potential falls as 1/r
// there). Mass beyond the scan is allowed only where the density is a
// power law, whose analytic continuation the tables use. False with the
// reason otherwise.
bool grid_span(const density_law &l, double *lo, double *hi, std::string *why) {
  constexpr double x0 = -69.07755278982137, x1 = 69.07755278982137, dx = 0.05;  // ln 1e-30, ln 1e30
  constexpr int points = static_cast<int>((x1 - x0) / dx) + 1;
  std::vector<double> log_dm(points);
  double peak = -HUGE_VAL;
  for (int k = 0; k < points; ++k) {
    log_dm[k] = shape(l, std::exp(x0 + dx * k)).log_value + 3.0 * (x0 + dx * k);
    if (std::isnan(log_dm[k])) {
      *why = "its density is not a number at some radius";
      return false;
    }
    peak = std::max(peak, log_dm[k]);
  }
  if (!std::isfinite(peak)) {
    *why = "its density is zero or beyond the range of a double at every radius from 1e-30 a to 1e30 a";
    return false;
  }
  const shape_at first = shape(l, std::exp(x0)), last = shape(l, std::exp(x1));
  // Beyond the scan, dM/dln r ~ r^s with s its local slope, if a power law.
  const double s_in = 3.0 + first.g1, s_out = 3.0 + last.g1;
  const bool in_power_law = s_in > 0.0 && std::fabs(first.g2) < 1e-6 * s_in;
  const bool out_power_law = s_out < 0.0 && std::fabs(last.g2) < 1e-6 * -s_out;
  // Cumulative masses from either end, in units of the peak's dM/dln r.
  std::vector<double> inside(points, 0.0), outside(points, 0.0);
  const auto dm = [&](int k) { return std::exp(log_dm[k] - peak); };
  inside[0] = in_power_law ? dm(0) / s_in : 0.0;
  for (int k = 1; k < points; ++k) inside[k] = inside[k - 1] + 0.5 * dx * (dm(k - 1) + dm(k));
  outside[points - 1] = out_power_law ? dm(points - 1) / -s_out : 0.0;
  for (int k = points - 2; k >= 0; --k) outside[k] = outside[k + 1] + 0.5 * dx * (dm(k) + dm(k + 1));
  // The tables' potential and distribution function stop at their ends, so
  // more than 1e-10 of the mass beyond them (a cusp near gamma = 3, a fall
  // near beta = 3) would be drawn in the wrong potential.
  const double total = inside[points - 1] + outside[points - 1];
  if ((in_power_law ? inside[0] : dm(0)) > 1e-10 * total) {
    *why = "more than 1e-10 of its mass lies inside 1e-30 a, where the tables end";
    return false;
  }
  if ((out_power_law ? outside[points - 1] : dm(points - 1)) > 1e-10 * total) {
    *why = "more than 1e-10 of its mass lies beyond 1e30 a, where the tables end";
    return false;
  }
  int k_in = 0, k_out = points - 1;
  while (k_in + 1 < points && inside[k_in + 1] < 1e-10 * total) ++k_in;
  while (k_out > 0 && outside[k_out - 1] < 1e-10 * total) --k_out;
  *lo = std::exp(x0 + dx * k_in);
  *hi = std::min(1e30, 10.0 * std::exp(x0 + dx * k_out));
  if (!(*hi > 100.0 * *lo)) *hi = 100.0 * *lo;
  return true;
}

// A disc's span (in L): 1e-10 of its mass lies within ~1e-3 of its scales,
// and all of it inside its truncation and forty scale heights.
void disc_span(const disc_model &d, double *lo, double *hi) {
  *lo = 1e-4 * std::min(d.law.scale_length, d.law.scale_height);
  *hi = 10.0 * (d.law.truncation + 40.0 * d.law.scale_height);
}

// The build's working state: the shared grid, the joint mass and
// potential, and each component's density and slopes at the nodes.
struct tables {
  std::vector<profile_model> *models = nullptr;
  double black_hole = 0.0;
  double log_r0 = 0.0, step = 0.0;
  std::vector<double> log_r, r;
  std::vector<double> total_mass, total_rho, psi, drop;  // drop[j] = psi[j] - psi[j+1]
  std::vector<std::vector<double>> rho, g1, g2;        // each component's, rho normalised
  std::vector<std::vector<double>> outer;              // 4 pi int_r^inf rho r dr, each component's
  int good = 0;  // the last node whose f is Eddington's integral
};

int node_count(const tables &t) { return static_cast<int>(t.r.size()); }

// Everything's density at r: the components' from their formulas.
double total_density(const tables &t, double r) {
  double sum = 0.0;
  for (const profile_model &m : *t.models) sum += component_shape(m, r).value;
  return sum;
}

// The total M and Psi - Psi[j] at ln r inside cell j.
void interpolate(const tables &t, int j, double lnr, double *mass, double *psi_below_node) {
  const hermite h((lnr - t.log_r[j]) / t.step);
  const double dm0 = 4 * pi * t.total_rho[j] * t.r[j] * t.r[j] * t.r[j] * t.step;
  const double dm1 = 4 * pi * t.total_rho[j + 1] * t.r[j + 1] * t.r[j + 1] * t.r[j + 1] * t.step;
  *mass = h.h00 * t.total_mass[j] + h.h10 * dm0 + h.h01 * t.total_mass[j + 1] + h.h11 * dm1;
  // Psi[j] - Psi(r), without cancellation near the node.
  *psi_below_node = h.h01 * t.drop[j] + h.h10 * t.total_mass[j] / t.r[j] * t.step +
                    h.h11 * t.total_mass[j + 1] / t.r[j + 1] * t.step;
}

// The two parts of f at the energy Psi(r0) of a radius r0 in cell i (a
// node's, or any): of the density rho and, when weighted, of r^2 rho.
struct df_parts {
  double density = 0.0, weighted = 0.0;
};

// The density of every component but c at ln r in cell j: ln rho a cubic
// Hermite interpolant with its exact slopes g1 at the nodes (good to h^4,
// far below the tables' accuracy), where the integrands of c need it.
double others_density(const tables &t, int c, int j, double lnr) {
  const hermite h((lnr - t.log_r[j]) / t.step);
  double sum = 0.0;
  for (size_t k = 0; k < t.rho.size(); ++k) {
    if (static_cast<int>(k) == c || !(t.rho[k][j] > 0.0 && t.rho[k][j + 1] > 0.0)) continue;
    sum += std::exp(h.h00 * std::log(t.rho[k][j]) + h.h10 * t.g1[k][j] * t.step + h.h01 * std::log(t.rho[k][j + 1]) +
                    h.h11 * t.g1[k][j + 1] * t.step);
  }
  return sum;
}

// Beyond the grid rho_c r^(2 weight) ~ C Psi^n, n its slope there (the
// potential Keplerian): the integral over Psi in [0, Psi_hi], in powers of
// Psi_hi / E.
double eddington_tail(const tables &t, int c, double e, int weight) {
  const int last = node_count(t) - 1;
  const double psi_hi = t.psi[last];
  const double n = -(t.g1[c][last] + 2.0 * weight), rho_hi = t.rho[c][last] * std::pow(t.r[last], 2.0 * weight);
  if (!(e > 2.0 * psi_hi && n > 1.0)) return 0.0;
  return rho_hi / std::sqrt(e) *
         (n / psi_hi + (n - 1.0) / (2.0 * e) + 3.0 * n * (n - 1.0) * psi_hi / (8.0 * e * e * (n + 1.0)));
}

// Panels of 0.2 in s, finer for a density that turns within less than a
// quarter of an e-fold (a large alpha, a sharp taper), of any component.
double sharpness(const tables &t) {
  double sharp = 1.0;
  for (const profile_model &m : *t.models) {
    if (m.disc) continue;  // no f of its own; its monopole is smooth
    sharp = std::max({sharp, m.law.alpha / 4.0, m.law.taper_radius > 0.0 ? m.law.taper_strength / 4.0 : 1.0});
  }
  return std::min(8.0, sharp);
}

df_parts eddington_from(const tables &t, int c, double ln_r0, int i, bool weighted) {
  const profile_model &m = (*t.models)[c];
  const bool alone = t.models->size() == 1;
  const int last = node_count(t) - 1;
  double unused, below0 = 0.0;
  if (i < last) interpolate(t, i, ln_r0, &unused, &below0);
  const double t_max = std::sqrt(std::max(0.0, t.log_r[last] - ln_r0));
  const int panels = std::max(1, static_cast<int>(std::ceil(t_max / 0.2 * sharpness(t))));
  // Both integrands at s: -dh/dln r / sqrt(E - Psi) dln r/ds, h = d(rho r^2w)/dPsi.
  const auto integrand = [&](double s, double *density, double *weighted_part) {
    *density = *weighted_part = 0.0;
    const double lnr = ln_r0 + s * s;
    const int j = std::min(last - 1, std::max(i, static_cast<int>((lnr - t.log_r0) / t.step)));
    double mass, below;
    interpolate(t, j, lnr, &mass, &below);
    const double r = std::exp(lnr);
    const shape_at sh = component_shape(m, r);
    const double rho = sh.value;
    // E - Psi(r), from the nodes' values without cancellation near r0.
    const double gap = (t.psi[i] - t.psi[j]) + (below - below0);
    if (!(rho > 0.0) || !(gap > 0.0)) return;  // beyond the taper's reach: nothing, even where g1 overflows
    const double rho_total = alone ? rho : rho + others_density(t, c, j, lnr);
    const double dlnm = 4 * pi * rho_total * r * r * r / mass, common = 2.0 * s * rho * r / (mass * std::sqrt(gap));
    *density = common * (sh.g1 * (sh.g1 + 1.0 - dlnm) + sh.g2);
    if (weighted) {
      const double g1 = sh.g1 + 2.0;
      *weighted_part = common * r * r * (g1 * (g1 + 1.0 - dlnm) + sh.g2);
    }
  };
  df_parts sum;
  for (int p = 0; p < panels; ++p) {
    const double lo = t_max * p / panels, hi = t_max * (p + 1) / panels, mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
    for (int k = 0; k < 4; ++k) {
      for (const double s : {mid - half * gl_x[k], mid + half * gl_x[k]}) {
        double density, weighted_part;
        integrand(s, &density, &weighted_part);
        sum.density += half * gl_w[k] * density;
        sum.weighted += half * gl_w[k] * weighted_part;
      }
    }
  }
  const double e = t.psi[i] - below0, norm = std::sqrt(8.0) * pi * pi;
  sum.density = (sum.density + eddington_tail(t, c, e, 0)) / norm;
  sum.weighted = weighted ? (sum.weighted + eddington_tail(t, c, e, 1)) / norm : 0.0;
  return sum;
}

// Each component's mass and outer integral, then the joint mass, density,
// potential and the cell drops of Psi, at every node.
void tabulate_mass_and_potential(tables *t) {
  const int n = node_count(*t);
  std::vector<profile_model> &models = *t->models;
  t->total_mass.assign(n, t->black_hole);
  t->total_rho.assign(n, 0.0);
  t->outer.assign(models.size(), std::vector<double>(n, 0.0));
  std::vector<double> outer_sum(n, 0.0);
  for (size_t c = 0; c < models.size(); ++c) {
    profile_model &m = models[c];
    const std::vector<double> &rho = t->rho[c], &g1 = t->g1[c];
    const auto mass_integrand = [&](double lnr) { return 4 * pi * component_shape(m, std::exp(lnr)).value * std::exp(3 * lnr); };
    const auto outer_integrand = [&](double lnr) { return 4 * pi * component_shape(m, std::exp(lnr)).value * std::exp(2 * lnr); };
    m.mass.assign(n, 0.0);
    m.mass[0] = 4 * pi * rho[0] * t->r[0] * t->r[0] * t->r[0] / (3.0 + g1[0]);
    for (int i = 1; i < n; ++i) m.mass[i] = m.mass[i - 1] + gauss(mass_integrand, t->log_r[i - 1], t->log_r[i]);
    // Psi(r) = M(r)/r + 4 pi int_r^inf rho r dr.
    std::vector<double> &outer = t->outer[c];
    outer[n - 1] = g1[n - 1] < -2.0 ? 4 * pi * rho[n - 1] * t->r[n - 1] * t->r[n - 1] / -(2.0 + g1[n - 1]) : 0.0;
    for (int i = n - 2; i >= 0; --i) outer[i] = outer[i + 1] + gauss(outer_integrand, t->log_r[i], t->log_r[i + 1]);
    m.own_psi.assign(n, 0.0);
    for (int i = 0; i < n; ++i) m.own_psi[i] = m.mass[i] / t->r[i] + outer[i];
    for (int i = 0; i < n; ++i) {
      t->total_mass[i] += m.mass[i];
      t->total_rho[i] += rho[i];
      outer_sum[i] += outer[i];
    }
  }
  t->psi.assign(n, 0.0);
  for (int i = 0; i < n; ++i) t->psi[i] = t->total_mass[i] / t->r[i] + outer_sum[i];
  // The drop over a cell is int M / r dln r, M Hermite-interpolated.
  t->drop.assign(n, 0.0);
  for (int j = 0; j + 1 < n; ++j) {
    t->drop[j] = gauss(
        [&](double lnr) {
          double mass, unused;
          interpolate(*t, j, lnr, &mass, &unused);
          return mass / std::exp(lnr);
        },
        t->log_r[j], t->log_r[j + 1]);
  }
}

// d ln f / d ln E at the nodes for the monotone cubic (Fritsch and Butland's
// weighted harmonic mean of the neighbouring secants; 0 at an extremum or
// where f is not positive), so that f between two nodes lies between them.
void set_df_slopes(profile_model *m) {
  const int n = static_cast<int>(m->df.size());
  m->df_slope.assign(n, 0.0);
  std::vector<double> x(n), y(n, 0.0);
  std::vector<bool> positive(n);
  for (int i = 0; i < n; ++i) {
    x[i] = std::log(m->psi[i]);
    positive[i] = m->df[i] > 0.0;
    if (positive[i]) y[i] = std::log(m->df[i]);
  }
  const auto secant = [&](int i) { return (y[i + 1] - y[i]) / (x[i + 1] - x[i]); };
  for (int i = 0; i < n; ++i) {
    const bool left = i > 0 && positive[i - 1] && positive[i] && x[i] != x[i - 1];
    const bool right = i + 1 < n && positive[i] && positive[i + 1] && x[i + 1] != x[i];
    if (left && right) {
      const double d0 = secant(i - 1), d1 = secant(i), h0 = x[i] - x[i - 1], h1 = x[i + 1] - x[i];
      if (d0 * d1 > 0.0) {
        const double w0 = 2.0 * h1 + h0, w1 = h1 + 2.0 * h0;
        m->df_slope[i] = (w0 + w1) / (w0 / d0 + w1 / d1);
      }
    } else if (left != right) {
      m->df_slope[i] = left ? secant(i - 1) : secant(i);
    }
  }
}

// The tables' own error: at the middle of cells, the interpolated M (of
// each component), Psi and f (each component's) against the integrals done
// there directly, relative (f to the sum of its parts' sizes under
// Osipkov-Merritt), over the cells whose radii hold the middle 1 - 2e-9 of
// the component's mass (f on every fourth cell, where it is positive at
// both ends).
struct table_error {
  double mass = 0.0, potential = 0.0, df = 0.0;
  double mass_at = 0.0, potential_at = 0.0, df_at = 0.0;  // radii, in L
  int mass_of = -1, df_of = -1;                            // the components
};

void measure_component_error(const tables &t, int c, table_error *worst) {
  const profile_model &m = (*t.models)[c];
  const int n = node_count(t);
  const double whole = m.mass[n - 1], ra2 = m.anisotropy_radius * m.anisotropy_radius;
  const auto mass_integrand = [&](double lnr) { return 4 * pi * component_shape(m, std::exp(lnr)).value * std::exp(3 * lnr); };
  const auto outer_integrand = [&](double lnr) { return 4 * pi * total_density(t, std::exp(lnr)) * std::exp(2 * lnr); };
  for (int j = 0; j + 1 < n; ++j) {
    if (m.mass[j + 1] < 1e-9 * whole || m.mass[j] > (1 - 1e-9) * whole) continue;
    const double mid = t.log_r[j] + 0.5 * t.step, r = std::exp(mid);
    double mass, below;
    interpolate(t, j, mid, &mass, &below);
    const double own = profile_enclosed_mass(m, r), own_direct = m.mass[j] + gauss(mass_integrand, t.log_r[j], mid);
    double total_direct = t.black_hole, outer_direct = 0.0;
    for (size_t k = 0; k < t.models->size(); ++k) {
      const profile_model &other = (*t.models)[k];
      total_direct += other.mass[j] + gauss([&](double x) { return 4 * pi * component_shape(other, std::exp(x)).value * std::exp(3 * x); },
                                           t.log_r[j], mid);
      outer_direct += t.outer[k][j + 1];
    }
    const double psi_direct = total_direct / r + outer_direct + gauss(outer_integrand, mid, t.log_r[j + 1]);
    const double e_mass = std::fabs(own / own_direct - 1.0), e_psi = std::fabs((t.psi[j] - below) / psi_direct - 1.0);
    if (e_mass > worst->mass) worst->mass = e_mass, worst->mass_at = r, worst->mass_of = c;
    if (e_psi > worst->potential) worst->potential = e_psi, worst->potential_at = r;
    if (m.disc || j % 4 != 1 || !(m.df[j] > 0.0 && m.df[j + 1] > 0.0) || j + 1 > t.good) continue;
    const df_parts parts = eddington_from(t, c, mid, j, m.anisotropy_radius > 0.0);
    const double weighted = m.anisotropy_radius > 0.0 ? parts.weighted / ra2 : 0.0;
    // Relative to the parts' size: where they nearly cancel, f is small
    // beside its neighbours and so is what an error there can do.
    const double e_df = std::fabs(profile_df(m, t.psi[j] - below) - (parts.density + weighted)) /
                        (std::fabs(parts.density) + std::fabs(weighted));
    if (e_df > worst->df) worst->df = e_df, worst->df_at = r, worst->df_of = c;
  }
}

table_error measure_table_error(const tables &t) {
  table_error worst;
  for (size_t c = 0; c < t.models->size(); ++c) measure_component_error(t, static_cast<int>(c), &worst);
  return worst;
}

// The tables' accuracy: M and Psi to 1e-6, f to 1e-4 between nodes.
bool table_error_acceptable(const table_error &e) { return e.mass <= 1e-6 && e.potential <= 1e-6 && e.df <= 1e-4; }

// A model the tables cannot hold to their accuracy is refused, not made
// slightly wrong.
bool judge_table_error(const table_error &e, int *failed, std::string *why) {
  char text[320];
  if (e.mass > 1e-6 || e.potential > 1e-6) {
    const bool mass = e.mass > 1e-6;
    std::snprintf(text, sizeof text,
                  "its density turns too sharply for the tables: between their nodes the %s is off by %.2g "
                  "(at radius %.4g a; they hold it to 1e-06)",
                  mass ? "enclosed mass" : "potential", mass ? e.mass : e.potential, mass ? e.mass_at : e.potential_at);
    *why = text;
    *failed = mass ? e.mass_of : -1;
    return false;
  }
  if (e.df > 1e-4) {
    std::snprintf(text, sizeof text,
                  "its distribution function changes too sharply for the tables: between their nodes it is off by "
                  "%.2g (at radius %.4g a; they hold it to 1e-04)",
                  e.df, e.df_at);
    *why = text;
    *failed = e.df_of;
    return false;
  }
  return true;
}

// A model is refused where its f < 0 (never clamped to 0): the first such
// energy and its radius, and the smallest r_a for which f_rho + f_w / r_a^2
// >= 0 at every node (none when f_rho itself is negative).
bool judge_positive_df(const profile_model &m, const tables &t, std::string *why) {
  double ra_min2 = 0.0;
  int first = -1;
  bool isotropic_negative = false;
  for (size_t i = 0; i < m.df.size(); ++i) {
    if (m.df_density[i] < 0.0) isotropic_negative = true;
    if (m.df_weighted[i] < 0.0 && m.df_density[i] > 0.0) ra_min2 = std::max(ra_min2, -m.df_weighted[i] / m.df_density[i]);
    if (m.df[i] < 0.0 && first < 0) first = static_cast<int>(i);
  }
  if (first < 0) return true;
  char text[320];
  std::snprintf(text, sizeof text, "the distribution function is negative at energy %.6g (the potential at radius %.6g a)",
                t.psi[first], t.r[first]);
  *why = text;
  if (isotropic_negative) {
    *why += ", even without anisotropy: no anisotropy radius makes this model";
  } else {
    std::snprintf(text, sizeof text, ": the smallest anisotropy radius that works is %.6g a", std::sqrt(ra_min2) * 1.000001);
    *why += text;
  }
  return false;
}

// A component's whole mass with rho0 = 1 on the grid: inside the first
// node as its power law, Gauss-Legendre over the cells, beyond the last
// node from its slope (none under a taper).
double unit_mass(const tables &t, const profile_model &m) {
  profile_model unit = m;
  unit.density_scale = 1.0;
  const auto mass_integrand = [&](double lnr) { return 4 * pi * component_shape(unit, std::exp(lnr)).value * std::exp(3 * lnr); };
  const int n = node_count(t);
  const shape_at first = component_shape(unit, t.r[0]), last = component_shape(unit, t.r[n - 1]);
  double mass = 4 * pi * first.value * t.r[0] * t.r[0] * t.r[0] / (3.0 + first.g1);
  for (int i = 1; i < n; ++i) mass += gauss(mass_integrand, t.log_r[i - 1], t.log_r[i]);
  if (last.g1 < -3.0) mass += 4 * pi * last.value * t.r[n - 1] * t.r[n - 1] * t.r[n - 1] / -(3.0 + last.g1);
  return mass;
}

// The grid of count nodes from lo to hi, every component's density on it,
// scaled to its mass, and the joint mass and potential.
void tabulate_potential(double lo, double hi, int count, const std::vector<double> &masses, tables *t) {
  std::vector<profile_model> &models = *t->models;
  t->log_r0 = std::log(lo);
  t->step = (std::log(hi) - t->log_r0) / (count - 1);
  t->log_r.assign(count, 0.0);
  t->r.assign(count, 0.0);
  for (int i = 0; i < count; ++i) {
    t->log_r[i] = t->log_r0 + t->step * i;
    t->r[i] = std::exp(t->log_r[i]);
  }
  t->rho.assign(models.size(), std::vector<double>(count));
  t->g1 = t->g2 = t->rho;
  for (size_t c = 0; c < models.size(); ++c) {
    models[c].density_scale = masses[c] / unit_mass(*t, models[c]);
    for (int i = 0; i < count; ++i) {
      const shape_at sh = component_shape(models[c], t->r[i]);
      t->rho[c][i] = sh.value, t->g1[c][i] = sh.g1, t->g2[c][i] = sh.g2;
    }
  }
  tabulate_mass_and_potential(t);
}

// Component c's function at every node: Eddington's integral up to the
// last node with room beyond it, the power law of the last good nodes
// after. False when cancelled.
bool tabulate_df(tables *t, int c, const std::atomic<bool> *cancel) {
  profile_model &m = (*t->models)[c];
  const int count = node_count(*t), good = t->good;
  m.df_density.assign(count, 0.0);
  m.df_weighted.assign(count, 0.0);
  m.df.assign(count, 0.0);
  for (int i = 0; i <= good; ++i) {
    if (i % 64 == 0 && cancel != nullptr && cancel->load(std::memory_order_relaxed)) return false;
    const df_parts parts = eddington_from(*t, c, t->log_r[i], i, m.anisotropy_radius > 0.0);
    m.df_density[i] = parts.density;
    m.df_weighted[i] = parts.weighted;
  }
  for (std::vector<double> *df : {&m.df_density, &m.df_weighted}) {
    const double inner = (*df)[good - 1], outer = (*df)[good];
    const bool power_law = inner * outer > 0.0;
    const double p = power_law ? std::log(inner / outer) / std::log(t->psi[good - 1] / t->psi[good]) : 0.0;
    for (int i = good + 1; i < count; ++i) (*df)[i] = power_law ? outer * std::pow(t->psi[i] / t->psi[good], p) : 0.0;
  }
  const double ra2 = m.anisotropy_radius * m.anisotropy_radius;
  for (int i = 0; i < count; ++i) m.df[i] = m.df_density[i] + (m.anisotropy_radius > 0.0 ? m.df_weighted[i] / ra2 : 0.0);
  set_df_slopes(&m);
  return true;
}

// Every table on count nodes from lo to hi; false when cancelled.
bool tabulate(double lo, double hi, int count, const std::vector<double> &masses, const std::atomic<bool> *cancel,
              tables *t) {
  tabulate_potential(lo, hi, count, masses, t);
  // The integral needs room beyond r(E): the outermost decade of nodes
  // (E below ten times the grid's last Psi, beyond the radius outside which
  // 1e-10 of the mass lies) carries on the power law of the last nodes
  // where it is good.
  int good = count - 1;
  while (good > 1 && !(t->psi[good] > 10.0 * t->psi[count - 1])) --good;
  t->good = good;
  for (profile_model &m : *t->models) {
    m.log_r0 = t->log_r0, m.step = t->step, m.black_hole = t->black_hole;
    m.total_mass = t->total_mass;
    m.psi = t->psi;
  }
  for (size_t c = 0; c < t->models->size(); ++c) {
    if ((*t->models)[c].disc) continue;
    if (!tabulate_df(t, static_cast<int>(c), cancel)) return false;
  }
  return true;
}

}  // namespace

bool build_galaxy_model(const std::vector<component_law> &components, double black_hole,
                        std::vector<profile_model> *models, int *failed, std::string *why,
                        const std::atomic<bool> *cancel) {
  *failed = -1;
  models->assign(components.size(), profile_model());
  double lo = HUGE_VAL, hi = 0.0;
  for (size_t c = 0; c < components.size(); ++c) {
    const component_law &law = components[c];
    profile_model &m = (*models)[c];
    m.law = law.law, m.scale = law.scale, m.anisotropy_radius = law.anisotropy_radius;
    m.disc = law.disc;
    double own_lo, own_hi;
    if (law.disc) {
      disc_span(*law.disc, &own_lo, &own_hi);
      m.scale = 1.0;
    } else if (!density_law_is_proper(law.law, why) || !grid_span(law.law, &own_lo, &own_hi, why)) {
      *failed = static_cast<int>(c);
      return false;
    }
    lo = std::min(lo, own_lo * law.scale);
    hi = std::max(hi, own_hi * law.scale);
  }
  std::vector<double> masses;
  for (const component_law &law : components) masses.push_back(law.mass);
  tables t;
  t.models = models;
  t.black_hole = black_hole;
  // A density that turns sharply (a large alpha) gets finer nodes until the
  // tables hold it, within a bound on the work.
  table_error error;
  for (int count = base_nodes;; count *= 2) {
    if (!tabulate(lo, hi, count, masses, cancel, &t)) {
      *why = "cancelled";
      return false;
    }
    // A function negative somewhere is refused as it is: finer nodes
    // would not make it an equilibrium.
    for (size_t c = 0; c < components.size(); ++c) {
      if (!judge_positive_df((*models)[c], t, why)) {
        *failed = static_cast<int>(c);
        return false;
      }
    }
    error = measure_table_error(t);
    if (table_error_acceptable(error) || 2 * count > max_nodes) break;
  }
  return judge_table_error(error, failed, why);
}

bool build_profile_model(const density_law &law, double anisotropy_radius, profile_model *model,
                         std::string *why, const std::atomic<bool> *cancel) {
  std::vector<profile_model> models;
  component_law one;
  one.law = law;
  one.anisotropy_radius = anisotropy_radius;
  int failed = -1;
  const bool built = build_galaxy_model({one}, 0.0, &models, &failed, why, cancel);
  if (!models.empty()) *model = std::move(models[0]);
  return built;
}
