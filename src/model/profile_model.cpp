#include "profile_model.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

// Model units: G = M = a = 1. Radii are tabulated at nodes equally spaced
// in ln r; between nodes M and Psi are cubic Hermite interpolants whose
// slopes (dM/dln r = 4 pi rho r^3, dPsi/dln r = -M / r) are exact, so both
// are good to ~h^4. Cell integrals use 8-point Gauss-Legendre in ln r.
//
// Eddington: f(E) = 1/(sqrt 8 pi^2) int_0^E (d^2 rho / dPsi^2) dPsi / sqrt(E - Psi)
// (the boundary term (drho/dPsi)(0) / sqrt E vanishes for these laws). With
// h = drho/dPsi = -rho g1 r / M (g1 = dln rho / dln r), the integral is
// int_{r(E)}^inf (-dh/dln r) dln r / sqrt(E - Psi(r)), and ln r = ln r(E) + t^2
// takes the inverse square root away. Energies are the nodes' Psi.

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int base_nodes = 1200;
constexpr int max_nodes = 4800;
constexpr double gl_x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
constexpr double gl_w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};

// The unnormalised density at r and its first two logarithmic slopes.
struct shape_at {
  double value, g1, g2, log_value;
};

shape_at shape(const density_law &l, double r) {
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

// 8-point Gauss-Legendre of f over [a, b].
template <typename F>
double gauss(F f, double a, double b) {
  const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
  double sum = 0.0;
  for (int k = 0; k < 4; ++k) sum += gl_w[k] * (f(mid - half * gl_x[k]) + f(mid + half * gl_x[k]));
  return sum * half;
}

// Cubic Hermite basis at u in [0, 1].
struct hermite {
  double h00, h10, h01, h11;
  explicit hermite(double u)
      : h00((1 + 2 * u) * (1 - u) * (1 - u)), h10(u * (1 - u) * (1 - u)), h01(u * u * (3 - 2 * u)),
        h11(u * u * (u - 1)) {}
};

// Where the mass lies, from a coarse scan of dM/dln r over ln r in
// [ln 1e-30, ln 1e30]: the grid runs from the radius holding 1e-10 of the
// mass to ten times the one beyond which 1e-10 of it lies, so that every
// energy a particle can have is reached by Eddington's integral with a
// decade of room (the potential falls as 1/r there). Mass beyond the scan
// is allowed only where the density is a power law, whose analytic
// continuation the tables use. False with the reason otherwise.
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

struct tables {
  const profile_model *m;
  std::vector<double> log_r, r, rho, g1, g2, drop;  // drop[j] = psi[j] - psi[j+1]
  std::vector<double> outer;  // 4 pi int_r^inf rho r dr at the nodes
  int good = 0;               // the last node whose f is Eddington's integral
};

double ln_r(const profile_model &m, int i) { return m.log_r0 + m.step * i; }

// M and Psi - Psi[j] at ln r inside cell j.
void interpolate(const tables &t, int j, double lnr, double *mass, double *psi_below_node) {
  const profile_model &m = *t.m;
  const hermite h((lnr - t.log_r[j]) / m.step);
  const double dm0 = 4 * pi * t.rho[j] * t.r[j] * t.r[j] * t.r[j] * m.step;
  const double dm1 = 4 * pi * t.rho[j + 1] * t.r[j + 1] * t.r[j + 1] * t.r[j + 1] * m.step;
  *mass = h.h00 * m.mass[j] + h.h10 * dm0 + h.h01 * m.mass[j + 1] + h.h11 * dm1;
  // Psi[j] - Psi(r), without cancellation near the node.
  *psi_below_node = h.h01 * t.drop[j] + h.h10 * m.mass[j] / t.r[j] * m.step +
                    h.h11 * m.mass[j + 1] / t.r[j + 1] * m.step;
}

// The two parts of f at the energy Psi(r0) of a radius r0 in cell i (a
// node's, or any): of the density rho and, when weighted, of r^2 rho.
struct df_parts {
  double density = 0.0, weighted = 0.0;
};

// Beyond the grid rho r^(2 weight) ~ C Psi^n, n its slope there: the
// integral over Psi in [0, Psi_hi], in powers of Psi_hi / E.
double eddington_tail(const tables &t, double e, int weight) {
  const int last = static_cast<int>(t.r.size()) - 1;
  const double psi_hi = t.m->psi[last];
  const double n = -(t.g1[last] + 2.0 * weight), rho_hi = t.rho[last] * std::pow(t.r[last], 2.0 * weight);
  if (!(e > 2.0 * psi_hi && n > 1.0)) return 0.0;
  return rho_hi / std::sqrt(e) *
         (n / psi_hi + (n - 1.0) / (2.0 * e) + 3.0 * n * (n - 1.0) * psi_hi / (8.0 * e * e * (n + 1.0)));
}

df_parts eddington_from(const tables &t, double ln_r0, int i, bool weighted) {
  const profile_model &m = *t.m;
  const int last = static_cast<int>(m.mass.size()) - 1;
  double unused, below0 = 0.0;
  if (i < last) interpolate(t, i, ln_r0, &unused, &below0);
  const double t_max = std::sqrt(std::max(0.0, t.log_r[last] - ln_r0));
  // Panels of 0.2 in s, finer for a density that turns within less than a
  // quarter of an e-fold (a large alpha, a sharp taper).
  const double sharpness = std::min(8.0, std::max({1.0, m.law.alpha / 4.0, m.law.taper_radius > 0.0 ? m.law.taper_strength / 4.0 : 1.0}));
  const int panels = std::max(1, static_cast<int>(std::ceil(t_max / 0.2 * sharpness)));
  // Both integrands at s: -dh/dln r / sqrt(E - Psi) dln r/ds, h = d(rho r^2w)/dPsi.
  const auto integrand = [&](double s, double *density, double *weighted_part) {
    *density = *weighted_part = 0.0;
    const double lnr = ln_r0 + s * s;
    const int j = std::min(last - 1, std::max(i, static_cast<int>((lnr - m.log_r0) / m.step)));
    double mass, below;
    interpolate(t, j, lnr, &mass, &below);
    const double r = std::exp(lnr);
    const shape_at sh = shape(m.law, r);
    const double rho = m.density_scale * sh.value;
    // E - Psi(r), from the nodes' values without cancellation near r0.
    const double gap = (m.psi[i] - m.psi[j]) + (below - below0);
    if (!(rho > 0.0) || !(gap > 0.0)) return;  // beyond the taper's reach: nothing, even where g1 overflows
    const double dlnm = 4 * pi * rho * r * r * r / mass, common = 2.0 * s * rho * r / (mass * std::sqrt(gap));
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
  const double e = m.psi[i] - below0, norm = std::sqrt(8.0) * pi * pi;
  sum.density = (sum.density + eddington_tail(t, e, 0)) / norm;
  sum.weighted = weighted ? (sum.weighted + eddington_tail(t, e, 1)) / norm : 0.0;
  return sum;
}

// Mass, potential and the cell drops of Psi, at every node.
void tabulate_mass_and_potential(profile_model *m, tables *t) {
  const int n = static_cast<int>(t->r.size());
  const auto mass_integrand = [&](double lnr) {
    const double r = std::exp(lnr);
    return 4 * pi * m->density_scale * shape(m->law, r).value * r * r * r;
  };
  m->mass.assign(n, 0.0);
  m->mass[0] = 4 * pi * t->rho[0] * t->r[0] * t->r[0] * t->r[0] / (3.0 + t->g1[0]);
  for (int i = 1; i < n; ++i) m->mass[i] = m->mass[i - 1] + gauss(mass_integrand, t->log_r[i - 1], t->log_r[i]);
  // Psi(r) = M(r)/r + 4 pi int_r^inf rho r dr; the drop over a cell is
  // int M / r dln r, M Hermite-interpolated.
  const auto outer_integrand = [&](double lnr) {
    const double r = std::exp(lnr);
    return 4 * pi * m->density_scale * shape(m->law, r).value * r * r;
  };
  const double tail = t->g1[n - 1] < -2.0 ? 4 * pi * t->rho[n - 1] * t->r[n - 1] * t->r[n - 1] / -(2.0 + t->g1[n - 1]) : 0.0;
  std::vector<double> &outer = t->outer;
  outer.assign(n, 0.0);
  outer[n - 1] = tail;
  for (int i = n - 2; i >= 0; --i) outer[i] = outer[i + 1] + gauss(outer_integrand, t->log_r[i], t->log_r[i + 1]);
  m->psi.assign(n, 0.0);
  for (int i = 0; i < n; ++i) m->psi[i] = m->mass[i] / t->r[i] + outer[i];
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

// The tables' own error: at the middle of cells, the interpolated M, Psi
// and f against the integrals done there directly, relative (f to the sum
// of its parts' sizes under Osipkov-Merritt), over the cells
// whose radii hold the middle 1 - 2e-9 of the mass (f on every fourth
// cell, where it is positive at both ends).
struct table_error {
  double mass = 0.0, potential = 0.0, df = 0.0;
  double mass_at = 0.0, potential_at = 0.0, df_at = 0.0;  // radii, in a
};

table_error measure_table_error(const profile_model &m, const tables &t) {
  table_error worst;
  const int n = static_cast<int>(m.mass.size());
  const double whole = m.mass[n - 1], ra2 = m.anisotropy_radius * m.anisotropy_radius;
  const auto mass_integrand = [&](double lnr) { return 4 * pi * profile_density(m, std::exp(lnr)) * std::exp(3 * lnr); };
  const auto outer_integrand = [&](double lnr) { return 4 * pi * profile_density(m, std::exp(lnr)) * std::exp(2 * lnr); };
  for (int j = 0; j + 1 < n; ++j) {
    if (m.mass[j + 1] < 1e-9 * whole || m.mass[j] > (1 - 1e-9) * whole) continue;
    const double mid = t.log_r[j] + 0.5 * m.step, r = std::exp(mid);
    double mass, below;
    interpolate(t, j, mid, &mass, &below);
    const double mass_direct = m.mass[j] + gauss(mass_integrand, t.log_r[j], mid);
    const double psi_direct = mass_direct / r + t.outer[j + 1] + gauss(outer_integrand, mid, t.log_r[j + 1]);
    const double e_mass = std::fabs(mass / mass_direct - 1.0), e_psi = std::fabs((m.psi[j] - below) / psi_direct - 1.0);
    if (e_mass > worst.mass) worst.mass = e_mass, worst.mass_at = r;
    if (e_psi > worst.potential) worst.potential = e_psi, worst.potential_at = r;
    if (j % 4 != 1 || !(m.df[j] > 0.0 && m.df[j + 1] > 0.0) || j + 1 > t.good) continue;
    const df_parts parts = eddington_from(t, mid, j, m.anisotropy_radius > 0.0);
    const double weighted = m.anisotropy_radius > 0.0 ? parts.weighted / ra2 : 0.0;
    // Relative to the parts' size: where they nearly cancel, f is small
    // beside its neighbours and so is what an error there can do.
    const double e_df =
        std::fabs(profile_df(m, m.psi[j] - below) - (parts.density + weighted)) / (std::fabs(parts.density) + std::fabs(weighted));
    if (e_df > worst.df) worst.df = e_df, worst.df_at = r;
  }
  return worst;
}

// The tables' accuracy: M and Psi to 1e-6, f to 1e-4 between nodes.
bool table_error_acceptable(const table_error &e) { return e.mass <= 1e-6 && e.potential <= 1e-6 && e.df <= 1e-4; }

// A model the tables cannot hold to their accuracy is refused, not made
// slightly wrong.
bool judge_table_error(const table_error &e, std::string *why) {
  char text[320];
  if (e.mass > 1e-6 || e.potential > 1e-6) {
    const bool mass = e.mass > 1e-6;
    std::snprintf(text, sizeof text,
                  "its density turns too sharply for the tables: between their nodes the %s is off by %.2g "
                  "(at radius %.4g a; they hold it to 1e-06)",
                  mass ? "enclosed mass" : "potential", mass ? e.mass : e.potential, mass ? e.mass_at : e.potential_at);
    *why = text;
    return false;
  }
  if (e.df > 1e-4) {
    std::snprintf(text, sizeof text,
                  "its distribution function changes too sharply for the tables: between their nodes it is off by "
                  "%.2g (at radius %.4g a; they hold it to 1e-04)",
                  e.df, e.df_at);
    *why = text;
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
                m.psi[first], t.r[first]);
  *why = text;
  if (isotropic_negative) {
    *why += ", even without anisotropy: no anisotropy radius makes this model";
  } else {
    std::snprintf(text, sizeof text, ": the smallest anisotropy radius that works is %.6g a", std::sqrt(ra_min2) * 1.000001);
    *why += text;
  }
  return false;
}

}  // namespace

bool parse_density_law(const std::string &name, density_law *law, std::string *why) {
  *law = density_law();
  double a = 0, b = 0, g = 0;
  char tail = 0;
  if (name == "hernquist") return true;
  if (name == "plummer") {
    law->alpha = 2, law->beta = 5, law->gamma = 0;
  } else if (name == "jaffe") {
    law->gamma = 2;
  } else if (name == "nfw") {
    law->beta = 3;
  } else if (name.rfind("dehnen:", 0) == 0 && std::sscanf(name.c_str() + 7, "%lf%c", &g, &tail) == 1 &&
             std::isfinite(g)) {
    if (!(g >= 0.0 && g < 3.0)) {
      *why = "dehnen:G needs 0 <= G < 3";
      return false;
    }
    law->gamma = g;
  } else if (name.rfind("zhao:", 0) == 0 &&
             std::sscanf(name.c_str() + 5, "%lf,%lf,%lf%c", &a, &b, &g, &tail) == 3 && std::isfinite(a + b + g)) {
    if (!(a > 0.0)) {
      *why = "zhao:A,B,G needs A > 0";
      return false;
    }
    law->alpha = a, law->beta = b, law->gamma = g;
  } else {
    *why = "profile " + name + " is not hernquist, plummer, jaffe, dehnen:G, nfw or zhao:A,B,G";
    return false;
  }
  return true;
}

bool mean_square_radius_diverges(const density_law &law) { return !(law.taper_radius > 0.0) && law.beta <= 5.0; }

bool density_law_is_proper(const density_law &law, std::string *why) {
  if (!(law.gamma < 3.0)) {
    *why = "its density is not integrable at the centre (gamma >= 3)";
    return false;
  }
  if (!(law.beta > 3.0) && !(law.taper_radius > 0.0)) {
    *why = "its mass diverges (beta <= 3): give it a taper with --cutoff";
    return false;
  }
  return true;
}

namespace {

// The tables on count nodes from lo to hi; false when cancelled.
bool tabulate(double lo, double hi, int count, const std::atomic<bool> *cancel, profile_model *m, tables *t) {
  const density_law &law = m->law;
  const double anisotropy_radius = m->anisotropy_radius;
  m->log_r0 = std::log(lo);
  m->step = (std::log(hi) - m->log_r0) / (count - 1);
  *t = tables();
  t->m = m;
  for (int i = 0; i < count; ++i) {
    t->log_r.push_back(ln_r(*m, i));
    t->r.push_back(std::exp(t->log_r.back()));
    const shape_at sh = shape(law, t->r.back());
    t->rho.push_back(sh.value);
    t->g1.push_back(sh.g1);
    t->g2.push_back(sh.g2);
  }
  // Normalise to a total mass of 1: the mass beyond the grid from the last
  // node's slope (or none under a taper).
  m->density_scale = 1.0;
  tabulate_mass_and_potential(m, t);
  const int n = count - 1;
  const double beyond = t->g1[n] < -3.0 ? 4 * pi * t->rho[n] * t->r[n] * t->r[n] * t->r[n] / -(3.0 + t->g1[n]) : 0.0;
  m->density_scale = 1.0 / (m->mass[n] + beyond);
  for (double &rho : t->rho) rho *= m->density_scale;
  tabulate_mass_and_potential(m, t);
  m->df_density.assign(count, 0.0);
  m->df_weighted.assign(count, 0.0);
  m->df.assign(count, 0.0);
  // The integral needs room beyond r(E): the outermost decade of nodes
  // (E below ten times the grid's last Psi, beyond the radius outside which
  // 1e-10 of the mass lies) carries on the power law of the last nodes
  // where it is good.
  int good = count - 1;
  while (good > 1 && !(m->psi[good] > 10.0 * m->psi[count - 1])) --good;
  t->good = good;
  for (int i = 0; i <= good; ++i) {
    if (i % 64 == 0 && cancel != nullptr && cancel->load(std::memory_order_relaxed)) return false;
    const df_parts parts = eddington_from(*t, t->log_r[i], i, anisotropy_radius > 0.0);
    m->df_density[i] = parts.density;
    m->df_weighted[i] = parts.weighted;
  }
  for (std::vector<double> *df : {&m->df_density, &m->df_weighted}) {
    const double inner = (*df)[good - 1], outer = (*df)[good];
    const bool power_law = inner * outer > 0.0;
    const double p = power_law ? std::log(inner / outer) / std::log(m->psi[good - 1] / m->psi[good]) : 0.0;
    for (int i = good + 1; i < count; ++i) (*df)[i] = power_law ? outer * std::pow(m->psi[i] / m->psi[good], p) : 0.0;
  }
  const double ra2 = anisotropy_radius * anisotropy_radius;
  for (int i = 0; i < count; ++i) {
    m->df[i] = m->df_density[i] + (anisotropy_radius > 0.0 ? m->df_weighted[i] / ra2 : 0.0);
  }
  set_df_slopes(m);
  return true;
}

}  // namespace

bool build_profile_model(const density_law &law, double anisotropy_radius, profile_model *m, std::string *why,
                         const std::atomic<bool> *cancel) {
  if (!density_law_is_proper(law, why)) return false;
  m->law = law;
  m->anisotropy_radius = anisotropy_radius;
  double lo, hi;
  if (!grid_span(law, &lo, &hi, why)) return false;
  // A density that turns sharply (a large alpha) gets finer nodes until the
  // tables hold it, within a bound on the work.
  tables t;
  table_error error;
  for (int count = base_nodes;; count *= 2) {
    if (!tabulate(lo, hi, count, cancel, m, &t)) {
      *why = "cancelled";
      return false;
    }
    error = measure_table_error(*m, t);
    if (table_error_acceptable(error) || 2 * count > max_nodes) break;
  }
  return judge_positive_df(*m, t, why) && judge_table_error(error, why);
}

double profile_density(const profile_model &m, double r) { return m.density_scale * shape(m.law, r).value; }

double profile_enclosed_mass(const profile_model &m, double r) {
  if (!(r > 0.0)) return 0.0;
  const int last = static_cast<int>(m.mass.size()) - 1;
  const double lnr = std::log(r), u = (lnr - m.log_r0) / m.step;
  if (u <= 0.0) {
    const shape_at sh = shape(m.law, r);
    return 4 * pi * m.density_scale * sh.value * r * r * r / (3.0 + sh.g1);
  }
  if (u >= last) return m.mass[last];
  const int j = static_cast<int>(u);
  const double rj = std::exp(ln_r(m, j)), rk = std::exp(ln_r(m, j + 1));
  const hermite h(u - j);
  return h.h00 * m.mass[j] + h.h10 * 4 * pi * profile_density(m, rj) * rj * rj * rj * m.step +
         h.h01 * m.mass[j + 1] + h.h11 * 4 * pi * profile_density(m, rk) * rk * rk * rk * m.step;
}

double profile_potential(const profile_model &m, double r) {
  const int last = static_cast<int>(m.psi.size()) - 1;
  if (!(r > 0.0)) return m.psi[0];
  const double u = (std::log(r) - m.log_r0) / m.step;
  if (u <= 0.0) return m.psi[0];
  if (u >= last) return m.psi[last] * std::exp(ln_r(m, last)) / r;
  const int j = static_cast<int>(u);
  const double rj = std::exp(ln_r(m, j)), rk = std::exp(ln_r(m, j + 1));
  const hermite h(u - j);
  return h.h00 * m.psi[j] - h.h10 * m.mass[j] / rj * m.step + h.h01 * m.psi[j + 1] - h.h11 * m.mass[j + 1] / rk * m.step;
}

double profile_df(const profile_model &m, double energy) {
  const size_t last = m.psi.size() - 1;
  if (!(energy > 0.0) || !(energy < m.psi[0])) return 0.0;
  if (energy <= m.psi[last]) {
    // Below the grid's energies (beyond its radii): the last nodes' power law,
    // never falling as E grows.
    if (!(m.df[last] > 0.0) || !(m.df[last - 1] > 0.0)) return 0.0;
    const double p = std::max(0.0, std::log(m.df[last - 1] / m.df[last]) / std::log(m.psi[last - 1] / m.psi[last]));
    return m.df[last] * std::pow(energy / m.psi[last], p);
  }
  // Nodes' energies fall with i: find the cell, interpolate ln f in ln E by
  // the cell's monotone cubic, which stays between its two end values.
  const auto at = std::lower_bound(m.psi.rbegin(), m.psi.rend(), energy);
  const size_t k = static_cast<size_t>(m.psi.rend() - at) - 1;  // psi[k] >= energy > psi[k + 1]
  if (!(m.df[k] > 0.0) || !(m.df[k + 1] > 0.0)) return m.df[k];
  const double x0 = std::log(m.psi[k]), h = std::log(m.psi[k + 1]) - x0;
  const hermite basis((std::log(energy) - x0) / h);
  return std::exp(basis.h00 * std::log(m.df[k]) + basis.h10 * h * m.df_slope[k] + basis.h01 * std::log(m.df[k + 1]) +
                  basis.h11 * h * m.df_slope[k + 1]);
}
