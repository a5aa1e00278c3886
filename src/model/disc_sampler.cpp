#include "disc_sampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "disc_planar.h"
#include "galaxy_types.h"
#include "two_threads.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double gl_x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
constexpr double gl_w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
constexpr int mass_nodes = 4096;
constexpr int column_count = 192;
constexpr int height_cells = 64;
constexpr double height_top = 40.0;  // in z_d: beyond any height a draw reaches
constexpr long max_trials = 1000000;

// ln h(z) and d ln h / dz of the vertical profile (of unit integral).
double log_height(const disc_law &l, double z) {
  const double x = std::fabs(z) / l.scale_height;
  if (l.vertical == vertical_exponential) return -x - std::log(2.0 * l.scale_height);
  return -2.0 * (x + std::log1p(std::exp(-2.0 * x)) - std::log(2.0)) - std::log(2.0 * l.scale_height);
}

double log_height_slope(const disc_law &l, double z) {
  const double sign = z < 0.0 ? -1.0 : 1.0;
  if (l.vertical == vertical_exponential) return -sign / l.scale_height;
  return -2.0 * std::tanh(z / l.scale_height) / l.scale_height;
}

// Everything but the disc: Psi(r) a cubic Hermite in ln r with slopes
// -M / r, M's logarithm linear in ln r; the black hole's inside the nodes.
void spheroids_at(const disc_sampler &s, double r, double *psi, double *mass) {
  const int last = static_cast<int>(s.psi.size()) - 1;
  const double u = (std::log(r) - s.log_r0) / s.step;
  if (u <= 0.0) {
    const double r0 = std::exp(s.log_r0), inside = std::max(0.0, s.mass[0] - s.black_hole);
    *psi = s.psi[0] + s.black_hole * (1.0 / r - 1.0 / r0) + 0.5 * inside / r0 * (1.0 - (r / r0) * (r / r0));
    *mass = s.black_hole + inside * (r / r0) * (r / r0) * (r / r0);
    return;
  }
  if (u >= last) {
    *mass = s.mass[last];
    *psi = s.psi[last] * std::exp(s.log_r0 + s.step * last) / r;
    return;
  }
  const int j = static_cast<int>(u);
  const double t = u - j, rj = std::exp(s.log_r0 + s.step * j), rk = std::exp(s.log_r0 + s.step * (j + 1));
  const double h00 = (1 + 2 * t) * (1 - t) * (1 - t), h10 = t * (1 - t) * (1 - t), h01 = t * t * (3 - 2 * t),
               h11 = t * t * (t - 1);
  *psi = h00 * s.psi[j] - h10 * s.mass[j] / rj * s.step + h01 * s.psi[j + 1] - h11 * s.mass[j + 1] / rk * s.step;
  *mass = s.mass[j] > 0.0 && s.mass[j + 1] > 0.0 ? std::exp((1 - t) * std::log(s.mass[j]) + t * std::log(s.mass[j + 1]))
                                                  : (1 - t) * s.mass[j] + t * s.mass[j + 1];
}

// dPhi/dR in the plane, exact.
double radial_gradient(const disc_sampler &s, double R) { return -joint_field(s, R, 0.0).force_R; }

// The disc's cumulative mass on its nodes.
void tabulate_cumulative(disc_sampler *s) {
  const disc_model &d = *s->disc;
  s->mass_step = d.law.truncation / (mass_nodes - 1);
  s->cumulative.assign(mass_nodes, 0.0);
  s->cumulative_slope.assign(mass_nodes, 0.0);
  for (int i = 1; i < mass_nodes; ++i) {
    const double lo = s->mass_step * (i - 1), mid = lo + 0.5 * s->mass_step, half = 0.5 * s->mass_step;
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) {
      for (const double R : {mid - half * gl_x[k], mid + half * gl_x[k]}) {
        sum += half * gl_w[k] * 2.0 * pi * R * disc_surface_density(d, R);
      }
    }
    s->cumulative[i] = s->cumulative[i - 1] + sum / d.law.mass;
  }
  const double whole = s->cumulative.back();
  for (int i = 0; i < mass_nodes; ++i) {
    const double R = s->mass_step * i;
    s->cumulative[i] /= whole;
    s->cumulative_slope[i] = 2.0 * pi * R * disc_surface_density(d, R) / (d.law.mass * whole);
  }
}

// Column j's ln sigma_z^2 and Phi at its heights, from the top down: the
// pressure's integral over each cell by Gauss-Legendre, relative to h at
// the cell's foot so that nothing underflows; above the top, h's own tail.
void tabulate_column(disc_sampler *s, int j) {
  const disc_law &l = s->disc->law;
  const double R = s->column_R[j];
  const int K = s->heights;
  const auto height = [&](int k) { return l.scale_height * s->top * (static_cast<double>(k) / K) * (static_cast<double>(k) / K); };
  const auto gradient = [&](double z, double *phi) {
    const disc_field f = joint_field(*s, R, z);
    if (phi != nullptr) *phi = f.potential;
    return -f.force_z;
  };
  const size_t at = static_cast<size_t>(j) * (K + 1);
  double sigma2 = 0.0;
  for (int k = K; k >= 0; --k) {
    const double z = height(k);
    double phi;
    const double g = gradient(z, &phi);
    if (k == K) {
      sigma2 = g * (l.vertical == vertical_exponential ? l.scale_height : 0.5 * l.scale_height);
    } else {
      const double z1 = height(k + 1), mid = 0.5 * (z + z1), half = 0.5 * (z1 - z), foot = log_height(l, z);
      double sum = 0.0;
      for (int q = 0; q < 4; ++q) {
        for (const double x : {mid - half * gl_x[q], mid + half * gl_x[q]}) {
          sum += half * gl_w[q] * std::exp(log_height(l, x) - foot) * gradient(x, nullptr);
        }
      }
      sigma2 = std::exp(log_height(l, z1) - foot) * sigma2 + sum;
    }
    s->log_sigma_z2[at + k] = std::log(sigma2);
    s->log_sigma_z2_slope[at + k] = (-g - sigma2 * log_height_slope(l, z)) / sigma2;
    s->potential[at + k] = phi;
    s->potential_slope[at + k] = g;
  }
}

// sigma_R0 from Q at q_radius, then each column's rotation and epicyclic
// ratio; false with the reason when Q cannot be met.
bool set_radial_moments(disc_sampler *s, std::string *why) {
  const disc_law &l = s->disc->law;
  const auto kappa2_of = [&](double R, double *vc2, double *ratio) {
    // A fourth-order difference over 2 % of R, wider than the expansion's
    // nodes so that the kinks of its interpolated force average out.
    const double g = radial_gradient(*s, R), d = 0.02 * R;
    const double dg = (8.0 * (radial_gradient(*s, R + d) - radial_gradient(*s, R - d)) -
                       (radial_gradient(*s, R + 2.0 * d) - radial_gradient(*s, R - 2.0 * d))) /
                      (12.0 * d);
    const double kappa2 = 3.0 * g / R + dg;
    *vc2 = R * g;
    *ratio = kappa2 / (4.0 * g / R);
    return kappa2;
  };
  double vc2_q, ratio_q;
  const double kappa2_q = kappa2_of(l.q_radius, &vc2_q, &ratio_q);
  char text[400];
  if (!(kappa2_q > 0.0) || !(vc2_q > 0.0)) {
    std::snprintf(text, sizeof text, "the joint potential has no stable circular orbit at q_radius %.4g", l.q_radius);
    *why = text;
    return false;
  }
  const double sigma_q = 3.36 * l.toomre_q * disc_surface_density(*s->disc, l.q_radius) / std::sqrt(kappa2_q);
  if (!(sigma_q * sigma_q < vc2_q)) {
    std::snprintf(text, sizeof text,
                  "toomre_q %.4g at q_radius %.4g needs a radial dispersion of %.4g, above the circular speed "
                  "there (%.4g): a lower toomre_q",
                  l.toomre_q, l.q_radius, sigma_q, std::sqrt(vc2_q));
    *why = text;
    return false;
  }
  s->sigma_R0 = sigma_q * std::exp(0.5 * l.q_radius / l.scale_length);
  const int J = s->columns;
  s->rotation2.assign(J, 0.0);
  s->epicyclic.assign(J, 0.0);
  s->clipped = 0.0;
  for (int j = 0; j < J; ++j) {
    const double R = s->column_R[j];
    double vc2, ratio;
    kappa2_of(R, &vc2, &ratio);
    const double sigma_R2 = s->sigma_R0 * s->sigma_R0 * std::exp(-R / l.scale_length);
    const double v2 = vc2 + sigma_R2 * (1.0 - ratio + disc_surface_log_slope(*s->disc, R) - R / l.scale_length);
    s->epicyclic[j] = ratio;
    s->rotation2[j] = std::max(0.0, v2);
    if (!(v2 >= 0.0)) {
      const double lo = l.truncation * (static_cast<double>(j) / J) * (static_cast<double>(j) / J);
      const double hi = l.truncation * (static_cast<double>(j + 1) / J) * (static_cast<double>(j + 1) / J);
      s->clipped += disc_mass_within(*s->disc, hi) - disc_mass_within(*s->disc, lo);
    }
  }
  if (s->clipped > 0.01) {
    std::snprintf(text, sizeof text,
                  "its rotation from the radial Jeans equation would be imaginary for %.3g %% of its mass (its "
                  "dispersion exceeds what the potential holds): a lower toomre_q",
                  100.0 * s->clipped);
    *why = text;
    return false;
  }
  return true;
}

// Where (R, z) falls among the columns and heights.
struct grid_place {
  int j, k;
  double w, t, dz;  // weight of column j + 1, fraction within the height cell, its size
};

grid_place place_of(const disc_sampler &s, double R, double z) {
  const disc_law &l = s.disc->law;
  grid_place p;
  const double v = s.columns * std::sqrt(std::max(0.0, R) / l.truncation) - 0.5;
  p.j = std::min(s.columns - 2, std::max(0, static_cast<int>(std::floor(v))));
  p.w = std::min(1.0, std::max(0.0, (R - s.column_R[p.j]) / (s.column_R[p.j + 1] - s.column_R[p.j])));
  const double x = std::min(s.top, std::fabs(z) / l.scale_height);
  const int K = s.heights;
  p.k = std::min(K - 1, static_cast<int>(K * std::sqrt(x / s.top)));
  const double z0 = l.scale_height * s.top * (static_cast<double>(p.k) / K) * (static_cast<double>(p.k) / K);
  const double z1 = l.scale_height * s.top * (static_cast<double>(p.k + 1) / K) * (static_cast<double>(p.k + 1) / K);
  p.dz = z1 - z0;
  p.t = std::min(1.0, std::max(0.0, (x * l.scale_height - z0) / p.dz));
  return p;
}

// A tabulated function of height at place p: a cubic Hermite in z with its
// slopes in each of the two columns, linear between them in R.
double at_place(const disc_sampler &s, const grid_place &p, const std::vector<double> &value,
                const std::vector<double> &slope) {
  const double t = p.t, h00 = (1 + 2 * t) * (1 - t) * (1 - t), h10 = t * (1 - t) * (1 - t), h01 = t * t * (3 - 2 * t),
               h11 = t * t * (t - 1);
  double out = 0.0;
  for (int c = 0; c < 2; ++c) {
    const size_t a = static_cast<size_t>(p.j + c) * (s.heights + 1) + p.k;
    const double y = h00 * value[a] + h10 * slope[a] * p.dz + h01 * value[a + 1] + h11 * slope[a + 1] * p.dz;
    out += (c == 0 ? 1.0 - p.w : p.w) * y;
  }
  return out;
}

// The radius of cumulative share u: the cell by bisection of the nodes,
// within it the Hermite cubic's root by bisection.
double radius_of_share(const disc_sampler &s, double u) {
  const auto upper = std::upper_bound(s.cumulative.begin(), s.cumulative.end(), u);
  const int i = std::min(mass_nodes - 2, std::max(0, static_cast<int>(upper - s.cumulative.begin()) - 1));
  const double y0 = s.cumulative[i], y1 = s.cumulative[i + 1];
  const double d0 = s.cumulative_slope[i] * s.mass_step, d1 = s.cumulative_slope[i + 1] * s.mass_step;
  // Newton's method on the cell's cubic from the chord's guess, held inside
  // the bracket by bisection: the cubic rises, so the bracket always holds
  // the root, and a few steps reach it to rounding.
  double lo = 0.0, hi = 1.0, t = y1 > y0 ? std::min(1.0, std::max(0.0, (u - y0) / (y1 - y0))) : 0.5;
  for (int it = 0; it < 100; ++it) {
    const double y = (1 + 2 * t) * (1 - t) * (1 - t) * y0 + t * (1 - t) * (1 - t) * d0 + t * t * (3 - 2 * t) * y1 +
                     t * t * (t - 1) * d1;
    const double dy = 6 * t * (t - 1) * y0 + (1 - t) * (1 - 3 * t) * d0 + 6 * t * (1 - t) * y1 + t * (3 * t - 2) * d1;
    (y < u ? lo : hi) = t;
    double next = t - (y - u) / dy;
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    const bool done = std::fabs(next - t) <= 1e-15 || hi - lo <= 1e-15;
    t = next;
    if (done) break;
  }
  return s.mass_step * (i + t);
}

// A uniform draw moved into (0, 1), for the sources that can give 0 or 1.
double open_uniform(random_stream *stream) { return (next_uniform(stream) + 0x1p-32) / (1.0 + 0x1p-31); }

double height_of_share(const disc_law &l, double u) {
  if (l.vertical == vertical_sech2) return l.scale_height * std::atanh(2.0 * u - 1.0);
  return u < 0.5 ? l.scale_height * std::log(2.0 * u) : -l.scale_height * std::log(2.0 * (1.0 - u));
}

// The radial pull averaged over the layer's mass at R: in the mass
// coordinate u = P(|Z| <= z), three panels of eight Gauss-Legendre points.
double layer_pull(const disc_sampler &s, double R) {
  const disc_law &l = s.disc->law;
  const double edges[4] = {0.0, 0.5, 0.9, 1.0};
  double sum = 0.0;
  for (int p = 0; p < 3; ++p) {
    const double mid = 0.5 * (edges[p] + edges[p + 1]), half = 0.5 * (edges[p + 1] - edges[p]);
    for (int k = 0; k < 4; ++k) {
      for (const double u : {mid - half * gl_x[k], mid + half * gl_x[k]}) {
        sum += half * gl_w[k] * -joint_field(s, R, height_of_share(l, 0.5 + 0.5 * u)).force_R;
      }
    }
  }
  return sum;
}

bool build_planar(disc_sampler *s, std::string *why) {
  const disc_law &l = s->disc->law;
  planar_law law;
  law.pull = [s](double R) { return layer_pull(*s, R); };
  law.surface = [s](double R) { return disc_surface_density(*s->disc, R); };
  law.sigma = [s](double R) { return s->sigma_R0 * std::exp(-0.5 * R / s->disc->law.scale_length); };
  law.inner = 1e-3 * l.scale_length, law.outer = 2.0 * l.truncation, law.edge = l.truncation;
  law.fit_inner = 0.1 * l.scale_length;
  // Short of the truncation, where no orbit from beyond fills the edge in.
  law.fit_outer = std::min(5.0 * l.scale_length, 0.75 * (l.truncation - l.truncation_width));
  s->planar = std::make_shared<planar_df>();
  if (build_planar_df(law, s->planar.get(), why)) return true;
  *why = "its planar velocities: " + *why;
  return false;
}

}  // namespace

bool build_disc_sampler(const profile_model &tables, disc_sampler *s, std::string *why) {
  s->disc = tables.disc.get();
  s->log_r0 = tables.log_r0, s->step = tables.step, s->black_hole = tables.black_hole;
  const size_t n = tables.psi.size();
  s->psi.assign(n, 0.0);
  s->mass.assign(n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    s->psi[i] = tables.psi[i] - tables.own_psi[i];
    s->mass[i] = std::max(0.0, tables.total_mass[i] - tables.mass[i]);
  }
  tabulate_cumulative(s);
  const disc_law &l = s->disc->law;
  s->columns = column_count, s->heights = height_cells, s->top = height_top;
  s->column_R.assign(column_count, 0.0);
  for (int j = 0; j < column_count; ++j) {
    const double f = (j + 0.5) / column_count;
    s->column_R[j] = l.truncation * f * f;
  }
  const size_t cells = static_cast<size_t>(column_count) * (height_cells + 1);
  s->log_sigma_z2.assign(cells, 0.0);
  s->log_sigma_z2_slope = s->potential = s->potential_slope = s->log_sigma_z2;
  in_parallel(column_count, [s](int j) { tabulate_column(s, j); });
  return set_radial_moments(s, why) && build_planar(s, why);
}

disc_field joint_field(const disc_sampler &s, double R, double z) {
  disc_field f = disc_potential(*s.disc, R, z);
  const double r = std::max(std::hypot(R, z), 1e-300);
  double psi, mass;
  spheroids_at(s, r, &psi, &mass);
  f.potential -= psi;
  f.force_R -= mass * R / (r * r * r);
  f.force_z -= mass * z / (r * r * r);
  return f;
}

disc_moments disc_moments_at(const disc_sampler &s, double R, double z) {
  const grid_place p = place_of(s, R, z);
  disc_moments m;
  m.sigma_z = std::sqrt(std::exp(at_place(s, p, s.log_sigma_z2, s.log_sigma_z2_slope)));
  const planar_moments planar = planar_df_moments(*s.planar, R);
  m.sigma_R = planar.sigma_R, m.sigma_phi = planar.sigma_phi, m.mean_phi = planar.mean_phi;
  return m;
}

void draw_disc_particle(gal_system *sys, int32_t planet, random_stream *stream, const disc_sampler &s) {
  const double L = sys->typical_length, V = std::sqrt(gravitational_constant * sys->total_mass / L);
  double *pos = sys->pos + planet * sys->dimension, *vel = sys->vel + planet * sys->dimension;
  const double R = radius_of_share(s, next_uniform(stream));
  const double phi = 2.0 * pi * next_uniform(stream);
  const double z = height_of_share(s.disc->law, open_uniform(stream));
  pos[0] = R * L, pos[1] = phi, pos[2] = z * L;
  const grid_place p = place_of(s, R, z);
  const double sigma_z = std::sqrt(std::exp(at_place(s, p, s.log_sigma_z2, s.log_sigma_z2_slope)));
  const planar_proposal proposal = planar_df_proposal(*s.planar, R);
  const double escape2 = -2.0 * at_place(s, p, s.potential, s.potential_slope);
  for (long trial = 0; trial < max_trials; ++trial) {
    // (v_R, v_phi) from the proposal (a Box-Muller pair, its side, the
    // rejection's uniform); once kept, v_z normal (a second pair, its sine
    // unused).
    const double a = std::sqrt(-2.0 * std::log(open_uniform(stream))), b = 2.0 * pi * next_uniform(stream);
    const double side = next_uniform(stream), keep = next_uniform(stream);
    double v_R, v_phi;
    planar_df_trial(proposal, a * std::cos(b), a * std::sin(b), side, &v_R, &v_phi);
    if (!planar_df_accepts(*s.planar, proposal, R, v_R, v_phi, keep)) continue;
    const double c = std::sqrt(-2.0 * std::log(open_uniform(stream))), e = 2.0 * pi * next_uniform(stream);
    const double v_z = sigma_z * c * std::cos(e);
    const double v2 = v_R * v_R + v_phi * v_phi + v_z * v_z;
    // Near the tables' escape speed the exact potential decides.
    if (v2 > 0.98 * escape2 && !(v2 < -2.0 * joint_field(s, R, z).potential)) continue;
    vel[0] = v_R * V, vel[1] = v_phi * V, vel[2] = v_z * V;
    return;
  }
  s.exhausted.store(true, std::memory_order_relaxed);
  vel[0] = vel[1] = vel[2] = 0.0;
}

void finish_disc_particle(gal_system *sys, int32_t planet) {
  double *pos = sys->pos + planet * sys->dimension, *vel = sys->vel + planet * sys->dimension;
  const double R = pos[0], c = std::cos(pos[1]), s = std::sin(pos[1]), z = pos[2];
  const double v_R = vel[0], v_phi = vel[1], v_z = vel[2];
  pos[0] = R * c, pos[1] = R * s, pos[2] = z;
  vel[0] = v_R * c - v_phi * s, vel[1] = v_R * s + v_phi * c, vel[2] = v_z;
}
