#include "planar_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "smooth_table.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double fine_step = 0.04;   // in ln R
constexpr double coarse_step = 0.06;
constexpr int orbit_points = 48;     // midpoints in the orbit's eccentric angle
constexpr int cells_R = 32, cells_below = 44, cells_above = 28;
constexpr int most_rounds = 80;
constexpr int moment_count = 5;  // Sigma, mean v_phi - v_c, sigma_R^2, sigma_phi^2, v_phi's kurtosis

struct cell {
  float v_R, v_phi, weight;  // v_R, v_phi - v_c and the cell's share of dv_R dv_phi
  float place = -1.0f;       // its guiding radius among the coarse radii; < 0 for none
  float kappa = 0.0f, J = 0.0f;
};

struct planar_work {
  planar_reference *ref;
  std::vector<std::vector<cell>> cells;  // by coarse radius
  std::vector<double> circular;          // v_c at each
};

double pull_at(const planar_reference &ref, double R) { return smooth_at(ref.pull, ref.log_r0, ref.fine_step, std::log(R)); }

double phi_at(const planar_reference &ref, double R) {
  const double x = std::log(R), top = ref.log_r0 + ref.fine_step * (ref.phi.size() - 1);
  if (x < ref.log_r0) return ref.phi.front() + std::exp(ref.log_r0) * ref.pull.front() * (x - ref.log_r0);
  if (x > top) {
    const double r = std::exp(top), M = ref.pull.back() * r * r;
    return ref.phi.back() + M * (1.0 / r - 1.0 / R);
  }
  return smooth_at(ref.phi, ref.log_r0, ref.fine_step, x);
}

double escape_phi(const planar_reference &ref) {
  const double r = std::exp(ref.log_r0 + ref.fine_step * (ref.phi.size() - 1));
  return ref.phi.back() + ref.pull.back() * r;
}

// The radius of the circular orbit of L, by bisection of R^3 g(R) = L^2.
double guiding_radius(const planar_reference &ref, double L) {
  double lo = std::exp(ref.log_r0), hi = std::exp(ref.log_r0 + ref.fine_step * (ref.pull.size() - 1));
  if (lo * lo * lo * pull_at(ref, lo) >= L * L) return -1.0;
  if (hi * hi * hi * pull_at(ref, hi) <= L * L) return -1.0;
  for (int it = 0; it < 60; ++it) {
    const double mid = std::sqrt(lo * hi);
    (mid * mid * mid * pull_at(ref, mid) < L * L ? lo : hi) = mid;
  }
  return std::sqrt(lo * hi);
}

double kappa_at(const planar_reference &ref, double R) {
  const double e = 1e-3, g = pull_at(ref, R);
  const double dg = (pull_at(ref, R * (1 + e)) - pull_at(ref, R * (1 - e))) / (2.0 * e * R);
  return std::sqrt(std::max(0.0, 3.0 * g / R + dg));
}

// J_R of the orbit of energy E and angular momentum L about Rg:
// R = m - h cos(theta), the midpoint rule in theta over (0, pi).
double radial_action(const planar_reference &ref, double E, double L, double Rg) {
  const auto excess = [&](double r) { return E - phi_at(ref, r) - 0.5 * L * L / (r * r); };
  double in_lo = Rg, out_hi = Rg;
  while (excess(in_lo) > 0.0) in_lo *= 0.5;
  while (excess(out_hi) > 0.0) {
    out_hi *= 2.0;
    if (out_hi > 1e6 * Rg) return HUGE_VAL;
  }
  double in_hi = Rg, out_lo = Rg;
  for (int it = 0; it < 60; ++it) {
    const double a = std::sqrt(in_lo * in_hi), b = std::sqrt(out_lo * out_hi);
    (excess(a) > 0.0 ? in_hi : in_lo) = a;
    (excess(b) > 0.0 ? out_lo : out_hi) = b;
  }
  const double peri = std::sqrt(in_lo * in_hi), apo = std::sqrt(out_lo * out_hi);
  const double m = 0.5 * (apo + peri), h = 0.5 * (apo - peri);
  double sum = 0.0;
  for (int k = 0; k < orbit_points; ++k) {
    const double theta = pi * (k + 0.5) / orbit_points;
    sum += std::sqrt(2.0 * std::max(0.0, excess(m - h * std::cos(theta)))) * h * std::sin(theta);
  }
  return sum / orbit_points;  // (1 / pi) * (pi / points) * sum
}

// The cells of radius n: speeds v = c + A (e^xi - 1) graded away from
// v_R = 0 and from v_c on either side; for each, its orbit's J_R.
void make_cells(const planar_reference_law &law, planar_work *w, int n) {
  const planar_reference &ref = *w->ref;
  const double R = std::exp(ref.log_R0 + ref.step * n), s = law.sigma(R), vc = std::sqrt(R * pull_at(ref, R));
  const double here = phi_at(ref, R), escape = std::sqrt(2.0 * std::max(0.0, escape_phi(ref) - here));
  const double reach = std::min(escape, 6.0 * std::max(s, law.sigma(law.inner))), A = 0.4 * s;
  std::vector<double> vR, wR, vp, wp;
  const auto graded = [&](double from, double span, double sign, int count, std::vector<double> *v, std::vector<double> *wt) {
    const double top = std::log1p(span / A), d = top / count;
    for (int k = 0; k < count; ++k) {
      const double xi = (k + 0.5) * d;
      v->push_back(from + sign * A * std::expm1(xi)), wt->push_back(A * std::exp(xi) * d);
    }
  };
  graded(0.0, reach, 1.0, cells_R, &vR, &wR);
  graded(vc, vc, -1.0, cells_below, &vp, &wp);
  graded(vc, std::max(0.0, std::min(reach, escape - vc)), 1.0, cells_above, &vp, &wp);
  std::vector<cell> &out = w->cells[n];
  w->circular[n] = vc;
  for (size_t a = 0; a < vp.size(); ++a) {
    const double L = R * vp[a], Rg = guiding_radius(ref, L);
    const double kappa = Rg > 0.0 ? kappa_at(ref, Rg) : 0.0;
    const double Ec = Rg > 0.0 ? phi_at(ref, Rg) + 0.5 * L * L / (Rg * Rg) : 0.0;
    for (size_t r = 0; r < vR.size(); ++r) {
      cell c;
      c.v_R = static_cast<float>(vR[r]), c.v_phi = static_cast<float>(vp[a] - vc), c.weight = static_cast<float>(wR[r] * wp[a]);
      if (Rg > 0.0) {
        const double E = here + 0.5 * vR[r] * vR[r] + 0.5 * vp[a] * vp[a];
        // Near the circle E - E_c is lost in rounding; the epicycle is exact there.
        const double J = std::fabs(R - Rg) < 1e-4 * Rg
                             ? (0.5 * vR[r] * vR[r] + 0.5 * kappa * kappa * (R - Rg) * (R - Rg)) / kappa
                             : (E - Ec < 1e-9 * vc * vc ? (E - Ec) / kappa : radial_action(ref, E, L, Rg));
        if (std::isfinite(J)) {
          c.place = static_cast<float>((std::log(Rg) - ref.log_R0) / ref.step);
          c.kappa = static_cast<float>(kappa), c.J = static_cast<float>(std::max(0.0, J));
        }
      }
      out.push_back(c);
    }
  }
}

// f's moments at radius n (moment_count of them).
void moments_of(const planar_reference &ref, const std::vector<cell> &cells, double *out) {
  const int last = static_cast<int>(ref.F.size()) - 1;
  double S = 0.0, vR2 = 0.0, vp = 0.0, vp2 = 0.0, vp3 = 0.0, vp4 = 0.0;
  for (const cell &c : cells) {
    if (c.place < 0.0f && c.kappa == 0.0f) continue;
    const double x = std::max(0.0, static_cast<double>(c.place));
    if (x > last) continue;  // guided from beyond the edge, where f is 0
    const int k = std::min(last - 1, static_cast<int>(x));
    const double t = x - k, F = (1 - t) * ref.F[k] + t * ref.F[k + 1], s = (1 - t) * ref.sigma[k] + t * ref.sigma[k + 1];
    const double f = F * c.kappa / (s * s) * std::exp(-c.kappa * c.J / (s * s)) * c.weight;
    const double d = c.v_phi, d2 = d * d;
    S += f, vR2 += f * c.v_R * c.v_R, vp += f * d, vp2 += f * d2, vp3 += f * d2 * d, vp4 += f * d2 * d2;
  }
  if (!(S > 0.0)) {
    for (int k = 0; k < moment_count; ++k) out[k] = 0.0;
    return;
  }
  const double m = vp / S, var = std::max(0.0, vp2 / S - m * m);
  const double fourth = vp4 / S - 4.0 * m * vp3 / S + 6.0 * m * m * vp2 / S - 3.0 * m * m * m * m;
  out[0] = 2.0 * S, out[1] = m, out[2] = vR2 / S, out[3] = var;
  out[4] = var > 0.0 ? std::max(1.0, fourth / (var * var)) : 3.0;
}

}  // namespace

namespace {

// Rounds of F and sigma scaled by the laws over f's own moments, whole
// steps while the misfit falls, half steps once it grew; the best kept.
void iterate(const planar_reference_law &law, const planar_work &w, planar_reference *ref) {
  const int N = static_cast<int>(ref->F.size());
  std::vector<double> m(moment_count * N), best_F, best_sigma;
  double best = HUGE_VAL, previous = HUGE_VAL, step = 1.0;
  for (int round = 0; round <= most_rounds; ++round) {
    in_parallel(N, [&](int n) { moments_of(*ref, w.cells[n], &m[moment_count * n]); });
    double misfit = 0.0;
    for (int n = 0; n < N; ++n) {
      const double R = std::exp(ref->log_R0 + ref->step * n);
      if (R < law.fit_inner || R > law.fit_outer) continue;
      const double *k = &m[moment_count * n];
      misfit = std::max({misfit, std::fabs(k[0] / law.surface(R) - 1.0), std::fabs(std::sqrt(k[2]) / law.sigma(R) - 1.0)});
    }
    if (misfit < best) best = misfit, best_F = ref->F, best_sigma = ref->sigma;
    if (best < 1e-4) break;
    if (misfit > previous) step = 0.5;
    previous = misfit;
    for (int n = 0; n < N; ++n) {
      const double R = std::exp(ref->log_R0 + ref->step * n), S = law.surface(R), s = law.sigma(R);
      const double *k = &m[moment_count * n];
      if (!(k[0] > 0.0) || !(k[2] > 0.0) || !(S > 0.0)) continue;
      ref->F[n] *= std::pow(S / k[0], step);
      ref->sigma[n] = std::clamp(ref->sigma[n] * std::pow(s / std::sqrt(k[2]), step) / s, 0.25, 4.0) * s;
    }
  }
  ref->F = best_F, ref->sigma = best_sigma, ref->misfit = best;
}

}  // namespace

bool build_planar_reference(const planar_reference_law &law, planar_reference *ref, std::string *why) {
  *ref = planar_reference();
  ref->fine_step = fine_step;
  ref->log_r0 = std::log(0.01 * law.inner);
  const int fine = static_cast<int>(std::ceil((std::log(2.0 * law.edge) - ref->log_r0) / fine_step)) + 1;
  ref->pull.assign(fine, 0.0);
  in_parallel(fine, [&](int i) { ref->pull[i] = law.pull(std::exp(ref->log_r0 + fine_step * i)); });
  ref->phi.assign(fine, 0.0);
  for (int i = 1; i < fine; ++i) {
    const double a = std::exp(ref->log_r0 + fine_step * (i - 1)), b = std::exp(ref->log_r0 + fine_step * i);
    ref->phi[i] = ref->phi[i - 1] + 0.5 * fine_step * (a * ref->pull[i - 1] + b * ref->pull[i]);
  }
  ref->log_R0 = std::log(law.inner), ref->step = coarse_step;
  const int N = static_cast<int>(std::floor((std::log(law.edge) - ref->log_R0) / coarse_step)) + 1;
  for (int i = 1; i < fine; ++i) {
    const double a = std::exp(ref->log_r0 + fine_step * (i - 1)), b = std::exp(ref->log_r0 + fine_step * i);
    if (!(b * b * b * ref->pull[i] > a * a * a * ref->pull[i - 1])) {
      *why = "its potential has no circular orbit of every angular momentum";
      return false;
    }
  }
  planar_work w{ref, std::vector<std::vector<cell>>(N), std::vector<double>(N)};
  in_parallel(N, [&](int n) { make_cells(law, &w, n); });
  ref->F.assign(N, 0.0);
  ref->sigma.assign(N, 0.0);
  for (int n = 0; n < N; ++n) {
    const double R = std::exp(ref->log_R0 + ref->step * n), omega = std::sqrt(pull_at(*ref, R) / R);
    ref->F[n] = law.surface(R) / (4.0 * pi * omega), ref->sigma[n] = law.sigma(R);
  }
  iterate(law, w, ref);
  std::vector<double> m(moment_count * N);
  in_parallel(N, [&](int n) { moments_of(*ref, w.cells[n], &m[moment_count * n]); });
  ref->surface.assign(N, 0.0);
  ref->mean_phi = ref->sigma_R2 = ref->sigma_phi2 = ref->kurtosis = ref->surface;
  for (int n = 0; n < N; ++n) {
    const double *k = &m[moment_count * n];
    ref->surface[n] = k[0], ref->mean_phi[n] = w.circular[n] + k[1], ref->sigma_R2[n] = k[2], ref->sigma_phi2[n] = k[3];
    ref->kurtosis[n] = k[4];
  }
  if (ref->misfit > 0.01) {
    char text[200];
    std::snprintf(text, sizeof text, "no distribution function of its actions meets its Sigma and sigma_R (%.2g %% off)",
                  100.0 * ref->misfit);
    *why = text;
    return false;
  }
  return true;
}

planar_reference_moments planar_reference_at(const planar_reference &ref, double R) {
  const double x = std::log(std::max(R, 1e-300));
  return {smooth_at(ref.mean_phi, ref.log_R0, ref.step, x), smooth_at(ref.sigma_R2, ref.log_R0, ref.step, x),
          smooth_at(ref.sigma_phi2, ref.log_R0, ref.step, x), smooth_at(ref.kurtosis, ref.log_R0, ref.step, x)};
}
