#include "disc_planar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "fixed_point_mixing.h"
#include "two_threads.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double node_step = 0.04;   // in ln R
constexpr int energy_cells = 80;
// The action table's reach in sigma^2 of the law above each circle: f is
// below e^-20 there wherever the tuning warms it by less than 1.7 x.
// Inside the fit band's inner edge, where the law is not judged and the
// tuning may warm f to its clamp (4 x), the reach is 16 x as far.
constexpr double energy_top = 60.0;
constexpr int quadrature = 32;       // Gauss-Legendre points over an orbit
constexpr int radial_cells = 40, azimuthal_cells = 176;
constexpr double widen = 1.2, widen_low = 1.4;  // the proposal's widths over f's dispersions
constexpr double margin = 1.15;      // the envelope's over its largest ratio on the grid
constexpr double wide_share = 0.1;   // of the proposal's mass in its wide part
constexpr int most_rounds = 80, patience = 8;  // rounds with no better one
constexpr int remembered = 8;                  // rounds the mixing keeps
constexpr double unbound = 1e300;    // J of an orbit that never turns
constexpr double epicyclic_below = 1e-8;  // u over v_c^2

// Gauss-Legendre nodes and weights on (-1, 1), by Newton's method on P_n.
struct legendre_rule {
  double x[quadrature], w[quadrature];
  legendre_rule() {
    for (int i = 0; i < quadrature; ++i) {
      double t = std::cos(pi * (i + 0.75) / (quadrature + 0.5)), dp = 1.0;
      for (int it = 0; it < 100; ++it) {
        double p0 = 1.0, p1 = t;
        for (int k = 2; k <= quadrature; ++k) {
          const double p2 = ((2.0 * k - 1.0) * t * p1 - (k - 1.0) * p0) / k;
          p0 = p1, p1 = p2;
        }
        dp = quadrature * (t * p1 - p0) / (t * t - 1.0);
        const double dt = p1 / dp;
        t -= dt;
        if (std::fabs(dt) < 1e-16) break;
      }
      x[i] = t, w[i] = 2.0 / ((1.0 - t * t) * dp * dp);
    }
  }
};

const legendre_rule &rule() {
  static const legendre_rule r;
  return r;
}

// Phi(R): a cubic Hermite in ln R with slopes R dPhi/dR; inside the first
// node a flat rotation curve, beyond the last Kepler's. s is R's place
// among the nodes, (ln R - ln x_0) / step, for the callers that know it.
double potential_in(const planar_df &df, double R, double s) {
  const int last = static_cast<int>(df.x.size()) - 1;
  if (s <= 0.0) return df.phi[0] + df.x[0] * df.pull[0] * df.log_step * s;
  if (s >= last) return df.phi[last] + df.pull[last] * df.x[last] * df.x[last] * (1.0 / df.x[last] - 1.0 / R);
  const int j = static_cast<int>(s);
  const double t = s - j, h00 = (1 + 2 * t) * (1 - t) * (1 - t), h10 = t * (1 - t) * (1 - t),
               h01 = t * t * (3 - 2 * t), h11 = t * t * (t - 1);
  return h00 * df.phi[j] + h10 * df.x[j] * df.pull[j] * df.log_step + h01 * df.phi[j + 1] +
         h11 * df.x[j + 1] * df.pull[j + 1] * df.log_step;
}

double place_of(const planar_df &df, double R) { return (std::log(R) - df.log_x0) / df.log_step; }
double potential_at(const planar_df &df, double R) { return potential_in(df, R, place_of(df, R)); }

// dPhi/dR of the same interpolant.
double slope_in(const planar_df &df, double R, double s) {
  const int last = static_cast<int>(df.x.size()) - 1;
  if (s <= 0.0) return df.x[0] * df.pull[0] / R;
  if (s >= last) return df.pull[last] * df.x[last] * df.x[last] / (R * R);
  const int j = static_cast<int>(s);
  const double t = s - j, d00 = 6 * t * (t - 1), d10 = (1 - t) * (1 - 3 * t), d01 = -d00, d11 = t * (3 * t - 2);
  const double dphi = d00 * df.phi[j] + d10 * df.x[j] * df.pull[j] * df.log_step + d01 * df.phi[j + 1] +
                      d11 * df.x[j + 1] * df.pull[j + 1] * df.log_step;
  return dphi / (df.log_step * R);
}

double effective(const planar_df &df, double R, double L) { return potential_at(df, R) + 0.5 * L * L / (R * R); }

// The turning point of energy E on one side of the guiding radius Rg, by
// bisection in ln R; 0 when the orbit never turns outwards.
double turning_point(const planar_df &df, double Rg, double L, double E, bool outer) {
  double near = Rg, far = outer ? 2.0 * Rg : 0.5 * Rg;
  while (effective(df, far, L) < E) {
    near = far;
    far = outer ? 2.0 * far : 0.5 * far;
    if (far > 1e8 * df.x.back() || far < 1e-30) return 0.0;
  }
  for (int it = 0; it < 80; ++it) {
    const double mid = std::sqrt(near * far);
    (effective(df, mid, L) < E ? near : far) = mid;
  }
  return std::sqrt(near * far);
}

// J_R and dJ/dE of the orbit of L and E about node i, R = m + h sin(theta).
void action_of(const planar_df &df, int i, double u, double *J, double *slope) {
  const double L = df.Lc[i], E = df.Ec[i] + u;
  const double lo = turning_point(df, df.x[i], L, E, false), hi = turning_point(df, df.x[i], L, E, true);
  if (!(hi > 0.0) || !(lo > 0.0)) {
    *J = unbound, *slope = 0.0;
    return;
  }
  const double m = 0.5 * (hi + lo), h = 0.5 * (hi - lo);
  double a = 0.0, b = 0.0;
  for (int q = 0; q < quadrature; ++q) {
    const double theta = 0.5 * pi * rule().x[q], c = std::cos(theta);
    const double excess = std::max(0.0, E - effective(df, m + h * std::sin(theta), L));
    const double v = std::sqrt(2.0 * excess), w = 0.5 * pi * rule().w[q] * h * c;
    a += w * v;
    if (v > 0.0) b += w / v;
  }
  *J = a / pi, *slope = b / pi;
}

// J_R at node i's L_c and energy u above its circle: a cubic Hermite on
// the node's energies.
double node_action(const planar_df &df, int i, double u) {
  const double top = df.top[static_cast<size_t>(i)];
  if (!(u < top)) return unbound;
  const int K = df.energies;
  const double s = K * std::sqrt(std::max(0.0, u) / top);
  const int k = std::min(K - 1, static_cast<int>(s));
  const double u0 = top * k * k / (K * K), u1 = top * (k + 1.0) * (k + 1.0) / (K * K), d = u1 - u0;
  const double t = (u - u0) / d;
  const size_t at = static_cast<size_t>(i) * (K + 1) + k;
  if (df.J[at + 1] >= unbound) return unbound;
  const double h00 = (1 + 2 * t) * (1 - t) * (1 - t), h10 = t * (1 - t) * (1 - t), h01 = t * t * (3 - 2 * t),
               h11 = t * t * (t - 1);
  const double J = h00 * df.J[at] + h10 * df.dJ[at] * d + h01 * df.J[at + 1] + h11 * df.dJ[at + 1] * d;
  // Near the escape energy J's slope grows without bound and the cubic
  // can overshoot; J rises with u.
  return std::min(df.J[at + 1], std::max(df.J[at], J));
}

// Where L falls among the nodes' L_c: node i and the weight t of i + 1
// (linear in ln L); i < 0 beyond the last.
struct guide {
  int i;
  double t, Rg, s;  // s: Rg's place among the nodes
};

guide guide_of(const planar_df &df, double L) {
  const int n = static_cast<int>(df.Lc.size());
  if (!(L > df.Lc[0])) {
    const double Rg = df.x[0] * std::max(0.0, L) / df.Lc[0];
    return {0, 0.0, Rg, Rg > 0.0 ? place_of(df, Rg) : -HUGE_VAL};
  }
  if (!(L < df.Lc[n - 1])) return {-1, 0.0, 0.0, 0.0};
  const int i = static_cast<int>(std::upper_bound(df.Lc.begin(), df.Lc.end(), L) - df.Lc.begin()) - 1;
  const double t = (std::log(L) - df.log_Lc[i]) / (df.log_Lc[i + 1] - df.log_Lc[i]);
  // Two Newton steps on the interpolant's dPhi/dR = L^2 / R^3, so that a
  // cold orbit's E - E_c is not swamped by the guess's error.
  const double kappa2 = (1.0 - t) * df.kappa[i] * df.kappa[i] + t * df.kappa[i + 1] * df.kappa[i + 1];
  double Rg = df.x[i] * std::exp(t * df.log_step), s = i + t;
  // The guess is good to about 1e-8 v_c^2 in E_c: enough unless the disc
  // is that cold here.
  if (df.top[i] > 1e-4 * df.x[i] * df.pull[i]) return {i, t, Rg, s};
  for (int it = 0; it < 2; ++it) {
    const double d = -(slope_in(df, Rg, s) - L * L / (Rg * Rg * Rg)) / kappa2 / Rg;
    Rg *= 1.0 + d, s += (d - d * d / 2.0 + d * d * d / 3.0) / df.log_step;  // ln(1 + d), d small
  }
  return {i, t, Rg, s};
}

// The orbit's J_R at (R, v_R, v_phi) and its guide; J unbound when none.
double action_at(const planar_df &df, double R, double potential, double v_R, double v_phi, guide *g) {
  const double L = R * v_phi;
  *g = guide_of(df, L);
  if (g->i < 0 || !(L > 0.0)) return unbound;
  const double Rg = std::max(g->Rg, 1e-300);
  double u = 0.5 * v_R * v_R;
  if (std::fabs(R - Rg) < 1e-4 * Rg) {
    const double k = (1.0 - g->t) * df.kappa[g->i] + g->t * df.kappa[std::min(g->i + 1, static_cast<int>(df.x.size()) - 1)];
    u += 0.5 * k * k * (R - Rg) * (R - Rg);
  } else {
    u = std::max(0.0, u + potential + 0.5 * L * L / (R * R) - potential_in(df, Rg, g->s) - 0.5 * L * L / (Rg * Rg));
  }
  const double a = node_action(df, g->i, u);
  if (g->t == 0.0) return a;
  const double b = node_action(df, g->i + 1, u);
  return a >= unbound || b >= unbound ? unbound : (1.0 - g->t) * a + g->t * b;
}

double value_of(const planar_df &df, const guide &g, double J) {
  if (J >= unbound || g.i < 0) return 0.0;
  const int j = std::min(g.i + 1, static_cast<int>(df.x.size()) - 1);
  const double F = (1.0 - g.t) * df.F[g.i] + g.t * df.F[j];
  const double s = (1.0 - g.t) * df.sigma[g.i] + g.t * df.sigma[j];
  const double k = (1.0 - g.t) * df.kappa[g.i] + g.t * df.kappa[j];
  if (!(F > 0.0)) return 0.0;
  return F * k / (s * s) * std::exp(-k * J / (s * s));
}

// The nodes' pull, potential, L_c, E_c and kappa (4th-order differences
// of the pull in ln R, two nodes beyond each end).
void tabulate_potential(const planar_law &law, planar_df *df) {
  df->log_x0 = std::log(law.inner);
  const int n = static_cast<int>(std::ceil((std::log(law.outer) - df->log_x0) / node_step)) + 1;
  df->log_step = (std::log(law.outer) - df->log_x0) / (n - 1);
  std::vector<double> g(n + 4), mid(n);
  for (int i = 0; i < n + 4; ++i) g[i] = law.pull(std::exp(df->log_x0 + df->log_step * (i - 2)));
  for (int i = 0; i + 1 < n; ++i) mid[i] = law.pull(std::exp(df->log_x0 + df->log_step * (i + 0.5)));
  df->x.assign(n, 0.0);
  df->pull = df->phi = df->Lc = df->Ec = df->kappa = df->x;
  for (int i = 0; i < n; ++i) {
    const double R = std::exp(df->log_x0 + df->log_step * i);
    const double *p = &g[i + 2];
    const double dg = (8.0 * (p[1] - p[-1]) - (p[2] - p[-2])) / (12.0 * df->log_step) / R;
    df->x[i] = R, df->pull[i] = p[0];
    df->kappa[i] = std::sqrt(std::max(0.0, 3.0 * p[0] / R + dg));
    df->Lc[i] = R * std::sqrt(std::max(0.0, R * p[0]));
    if (i > 0) {
      // Simpson in ln R of R g.
      const double Rm = std::exp(df->log_x0 + df->log_step * (i - 0.5));
      df->phi[i] = df->phi[i - 1] + df->log_step / 6.0 * (df->x[i - 1] * g[i + 1] + 4.0 * Rm * mid[i - 1] + R * p[0]);
    }
  }
  for (int i = 0; i < n; ++i) df->Ec[i] = df->phi[i] + 0.5 * df->x[i] * df->pull[i];
  df->log_Lc.assign(n, 0.0);
  for (int i = 0; i < n; ++i) df->log_Lc[i] = std::log(df->Lc[i]);
}

void tabulate_actions(const planar_law &law, planar_df *df) {
  const int n = static_cast<int>(df->x.size()), K = energy_cells;
  df->energies = K;
  df->top.assign(n, 0.0);
  df->J.assign(static_cast<size_t>(n) * (K + 1), 0.0);
  df->dJ = df->J;
  in_parallel(n, [&](int i) {
    const double s = law.sigma(df->x[i]) * (df->x[i] < law.fit_inner ? 4.0 : 1.0);
    df->top[i] = energy_top * s * s;
    const size_t at = static_cast<size_t>(i) * (K + 1);
    df->dJ[at] = 1.0 / df->kappa[i];
    for (int k = 1; k <= K; ++k) {
      const double u = df->top[i] * k * k / (K * K);
      // So near the circle that E - Phi_eff is lost in rounding, the
      // epicycle is exact to far better than that.
      if (u < epicyclic_below * df->x[i] * df->pull[i]) {
        df->J[at + k] = u / df->kappa[i], df->dJ[at + k] = 1.0 / df->kappa[i];
      } else {
        action_of(*df, i, u, &df->J[at + k], &df->dJ[at + k]);
      }
    }
  });
}

// The fixed velocity grid of each moment node, v = centre + A sinh(xi)
// in each direction (fine about the centre, wide enough for the orbits
// the warm inside sends out): for each cell its guide and J_R, so that a
// round of the iteration takes only f's exponentials.
struct moment_grid {
  std::vector<double> v_R, w_R, v_phi, w_phi;  // [node * cells + c], the cells' speeds and widths
  std::vector<double> centre;                  // v_c at each node
  std::vector<int> index;
  std::vector<float> weight, action;
};

size_t cell_of(int n, int a, int r) { return (static_cast<size_t>(n) * azimuthal_cells + a) * radial_cells + r; }

void sinh_cells(double centre, double A, double lo, double hi, int cells, double *v, double *w) {
  const double a = std::asinh((lo - centre) / A), b = std::asinh((hi - centre) / A), d = (b - a) / cells;
  for (int c = 0; c < cells; ++c) {
    const double xi = a + (c + 0.5) * d;
    v[c] = centre + A * std::sinh(xi), w[c] = A * std::cosh(xi) * d;
  }
}

void build_grid(const planar_law &law, const planar_df &df, moment_grid *grid) {
  const int N = df.moment_nodes;
  grid->v_R.assign(static_cast<size_t>(N) * radial_cells, 0.0);
  grid->w_R = grid->v_R;
  grid->v_phi.assign(static_cast<size_t>(N) * azimuthal_cells, 0.0);
  grid->w_phi = grid->v_phi;
  grid->centre.assign(N, 0.0);
  const size_t cells = static_cast<size_t>(N) * azimuthal_cells * radial_cells;
  grid->index.assign(cells, -1);
  grid->weight.assign(cells, 0.0f);
  grid->action.assign(cells, 0.0f);
  const int last = static_cast<int>(df.x.size()) - 1;
  const double ceiling = df.phi[last] + df.pull[last] * df.x[last];  // Phi at infinity
  in_parallel(N, [&](int n) {
    const double R = df.x[n], s = law.sigma(R), vc = std::sqrt(R * df.pull[n]);
    const double here = potential_at(df, R), escape = std::sqrt(2.0 * std::max(0.0, ceiling - here));
    const double hot = 6.0 * std::max(s, df.hot[n]);
    double *vR = &grid->v_R[static_cast<size_t>(n) * radial_cells], *wR = &grid->w_R[static_cast<size_t>(n) * radial_cells];
    double *vp = &grid->v_phi[static_cast<size_t>(n) * azimuthal_cells];
    double *wp = &grid->w_phi[static_cast<size_t>(n) * azimuthal_cells];
    sinh_cells(0.0, 0.5 * s, 0.0, std::min(hot, escape), radial_cells, vR, wR);
    sinh_cells(vc, 0.5 * s, 0.0, std::min(vc + hot, escape), azimuthal_cells, vp, wp);
    grid->centre[n] = vc;
    for (int a = 0; a < azimuthal_cells; ++a) {
      for (int r = 0; r < radial_cells; ++r) {
        guide g;
        const double J = action_at(df, R, here, vR[r], vp[a], &g);
        if (J >= unbound || g.i < 0) continue;
        const size_t c = cell_of(n, a, r);
        grid->index[c] = g.i, grid->weight[c] = static_cast<float>(g.t), grid->action[c] = static_cast<float>(J);
      }
    }
  });
}

// The proposal's unnormalised density: its core and, weighted, its wide part.
double proposal_density(const planar_proposal &p, double v_R, double v_phi) {
  const double x = v_R / p.spread_R, y = (v_phi - p.mean_phi) / (v_phi < p.mean_phi ? p.spread_low : p.spread_high);
  const double core = std::exp(-0.5 * (x * x + y * y));
  if (!(p.share > 0.0)) return core;
  const double X = v_R / p.wide, Y = (v_phi - p.mean_phi) / p.wide;
  const double weight = p.share / (1.0 - p.share) * p.spread_R * (p.spread_low + p.spread_high) / (2.0 * p.wide * p.wide);
  return core + weight * std::exp(-0.5 * (X * X + Y * Y));
}

// f's moments at node n on its grid; with a proposal, the largest f / g.
planar_moments grid_moments(const planar_df &df, const moment_grid &grid, int n, const planar_proposal *p,
                            double *ratio) {
  double S = 0.0, sR = 0.0, sp = 0.0, sp2 = 0.0, most = 0.0;
  const double *vR = &grid.v_R[static_cast<size_t>(n) * radial_cells], *wR = &grid.w_R[static_cast<size_t>(n) * radial_cells];
  for (int a = 0; a < azimuthal_cells; ++a) {
    const double v_phi = grid.v_phi[static_cast<size_t>(n) * azimuthal_cells + a];
    const double w_phi = grid.w_phi[static_cast<size_t>(n) * azimuthal_cells + a];
    for (int r = 0; r < radial_cells; ++r) {
      const size_t c = cell_of(n, a, r);
      if (grid.index[c] < 0) continue;
      const double f = value_of(df, {grid.index[c], grid.weight[c], 0.0, 0.0}, grid.action[c]), w = f * w_phi * wR[r];
      // About v_c: a cold disc's sigma_phi is far below its rotation.
      const double d = v_phi - grid.centre[n];
      S += w, sR += w * vR[r] * vR[r], sp += w * d, sp2 += w * d * d;
      if (p != nullptr) most = std::max(most, f / proposal_density(*p, vR[r], v_phi));
    }
  }
  if (ratio != nullptr) *ratio = most;
  if (!(S > 0.0)) return {0.0, 0.0, 0.0, 0.0};
  const double mean = sp / S;
  return {2.0 * S, grid.centre[n] + mean, std::sqrt(sR / S), std::sqrt(std::max(0.0, sp2 / S - mean * mean))};
}

// One round's scales of F and sigma by the laws over f's own moments, and
// the largest misfits in the fit band (1 where f has no mass).
double round_scales(const planar_law &law, const moment_grid &grid, const planar_df &df, std::vector<double> *scale_F,
                    std::vector<double> *scale_s, double *worst_S, double *worst_s) {
  *worst_S = *worst_s = 0.0;
  std::vector<planar_moments> moments(df.moment_nodes);
  in_parallel(df.moment_nodes, [&](int i) { moments[i] = grid_moments(df, grid, i, nullptr, nullptr); });
  for (int i = 0; i < df.moment_nodes; ++i) {
    const planar_moments &m = moments[i];
    const double R = df.x[i], S = law.surface(R), s = law.sigma(R);
    const bool judged = R >= law.fit_inner && R <= law.fit_outer;
    (*scale_F)[i] = (*scale_s)[i] = 1.0;
    if (!(S > 0.0)) continue;
    if (!(m.surface > 0.0) || !(m.sigma_R > 0.0)) {
      if (judged) *worst_S = *worst_s = 1.0;
      continue;
    }
    (*scale_F)[i] = S / m.surface, (*scale_s)[i] = s / m.sigma_R;
    if (judged) {
      *worst_S = std::max(*worst_S, std::fabs(m.surface / S - 1.0));
      *worst_s = std::max(*worst_s, std::fabs(m.sigma_R / s - 1.0));
    }
  }
  return std::max(*worst_S, *worst_s);
}

// ln F and ln(sigma / law) at the moment nodes, the iteration's unknowns.
void unknowns_of(const planar_law &law, const planar_df &df, std::vector<double> *x) {
  const int N = df.moment_nodes;
  x->assign(2 * static_cast<size_t>(N), 0.0);
  for (int i = 0; i < N; ++i)
    (*x)[i] = df.F[i] > 0.0 ? std::log(df.F[i]) : 0.0, (*x)[N + i] = std::log(df.sigma[i] / law.sigma(df.x[i]));
}

void set_unknowns(const planar_law &law, const std::vector<double> &x, planar_df *df) {
  const int N = df->moment_nodes, n = static_cast<int>(df->x.size());
  for (int i = 0; i < N; ++i) {
    if (df->F[i] > 0.0) df->F[i] = std::exp(x[i]);
    df->sigma[i] = std::min(4.0, std::max(0.25, std::exp(x[N + i]))) * law.sigma(df->x[i]);
  }
  // Beyond the moment nodes f holds the last one's scale.
  for (int i = N; i < n; ++i) df->sigma[i] = df->sigma[N - 1] / law.sigma(df->x[N - 1]) * law.sigma(df->x[i]);
}

// F and sigma scaled node by node until the laws are met, the rounds
// mixed and the mixing steered by the fit band's residuals alone (beyond it
// the laws need not be met, and their misfits would lead it astray). The
// best round is kept; the search ends when a few rounds bring no better.
void iterate(const planar_law &law, const moment_grid &grid, planar_df *df) {
  const int N = df->moment_nodes;
  std::vector<double> best_F, best_sigma, scale_F(N), scale_s(N), x, g(2 * static_cast<size_t>(N)), r(g.size());
  double best = HUGE_VAL;
  fixed_point_mixing mix;
  for (int round = 0; round <= most_rounds && round - df->rounds <= patience; ++round) {
    double worst_S, worst_s;
    const double misfit = round_scales(law, grid, *df, &scale_F, &scale_s, &worst_S, &worst_s);
    if (misfit < best) {
      best = misfit, best_F = df->F, best_sigma = df->sigma;
      df->misfit_surface = worst_S, df->misfit_sigma = worst_s, df->rounds = round;
    }
    if (best < 5e-4) break;
    unknowns_of(law, *df, &x);
    for (int i = 0; i < N; ++i) {
      g[i] = x[i] + std::log(scale_F[i]);
      g[N + i] = std::min(std::log(4.0), std::max(std::log(0.25), x[N + i] + std::log(scale_s[i])));
      const bool judged = df->x[i] >= law.fit_inner && df->x[i] <= law.fit_outer;
      r[i] = judged ? g[i] - x[i] : 0.0, r[N + i] = judged ? g[N + i] - x[N + i] : 0.0;
    }
    set_unknowns(law, mixing_next(&mix, g, r, remembered), df);
  }
  df->F = best_F, df->sigma = best_sigma;
}

// The proposal at node i from f's moments there: a core of f's dispersions
// widened and, when it takes fewer trials, a tenth of its mass in a wide
// normal of the warmest dispersion inside, for the orbits a warm centre
// sends out.
planar_proposal node_proposal(const planar_df &df, const moment_grid &grid, int i) {
  planar_proposal p{df.mean_phi[i], widen * df.sigma_R[i], widen_low * df.sigma_phi[i], widen * df.sigma_phi[i],
                    widen * std::max(df.hot[i], df.sigma_R[i]), 0.0, 0.0};
  p.spread_low = std::max(p.spread_low, 1e-3 * p.spread_R), p.spread_high = std::max(p.spread_high, 1e-3 * p.spread_R);
  double alone, mixed;
  grid_moments(df, grid, i, &p, &alone);
  planar_proposal q = p;
  q.share = wide_share;
  grid_moments(df, grid, i, &q, &mixed);
  // The expected trials go as the envelope times the proposal's mass.
  if (mixed / (1.0 - wide_share) < alone) {
    q.envelope = mixed;
    return q;
  }
  p.envelope = alone;
  return p;
}

}  // namespace

bool build_planar_df(const planar_law &law, planar_df *df, std::string *why) {
  *df = planar_df();
  tabulate_potential(law, df);
  char text[300];
  const int n = static_cast<int>(df->x.size());
  for (int i = 1; i < n; ++i) {
    if (!(df->Lc[i] > df->Lc[i - 1]) || !(df->kappa[i] > 0.0)) {
      std::snprintf(text, sizeof text, "the potential has no stable circular orbits about R = %.4g", df->x[i]);
      *why = text;
      return false;
    }
  }
  tabulate_actions(law, df);
  df->moment_nodes = static_cast<int>(std::upper_bound(df->x.begin(), df->x.end(), law.edge) - df->x.begin());
  df->F.assign(n, 0.0);
  df->sigma.assign(n, 0.0);
  for (int i = 0; i < n; ++i) {
    // The epicyclic limit's Sigma = 4 pi F Omega.
    const double omega = df->Lc[i] / (df->x[i] * df->x[i]);
    df->F[i] = i < df->moment_nodes ? law.surface(df->x[i]) / (4.0 * pi * omega) : 0.0;
    df->sigma[i] = law.sigma(df->x[i]);
  }
  df->hot.assign(n, 0.0);
  for (int i = 0; i < n; ++i) df->hot[i] = std::max(i > 0 ? df->hot[i - 1] : 0.0, law.sigma(df->x[i]));
  moment_grid grid;
  build_grid(law, *df, &grid);
  iterate(law, grid, df);
  const int N = df->moment_nodes;
  df->surface.assign(N, 0.0);
  df->mean_phi = df->sigma_R = df->sigma_phi = df->surface;
  df->proposals.assign(N, planar_proposal());
  in_parallel(N, [&](int i) {
    const planar_moments m = grid_moments(*df, grid, i, nullptr, nullptr);
    df->surface[i] = m.surface, df->mean_phi[i] = m.mean_phi, df->sigma_R[i] = m.sigma_R, df->sigma_phi[i] = m.sigma_phi;
  });
  in_parallel(N, [&](int i) { df->proposals[i] = node_proposal(*df, grid, i); });
  if (std::max(df->misfit_surface, df->misfit_sigma) > 0.01) {
    std::snprintf(text, sizeof text,
                  "no distribution function of its actions has its Sigma(R) and sigma_R(R) (%.2g %% and %.2g %% off "
                  "between %.4g and %.4g): a lower toomre_q",
                  100.0 * df->misfit_surface, 100.0 * df->misfit_sigma, law.fit_inner, law.fit_outer);
    *why = text;
    return false;
  }
  return true;
}

double planar_df_value(const planar_df &df, double R, double v_R, double v_phi) {
  guide g;
  const double J = action_at(df, R, potential_at(df, R), v_R, v_phi, &g);
  return value_of(df, g, J);
}

namespace {

// Node j and the weight of j + 1 at R among the moment nodes.
int moment_node(const planar_df &df, double R, double *t) {
  const double s = (std::log(std::max(R, 1e-300)) - df.log_x0) / df.log_step;
  const int j = std::min(df.moment_nodes - 2, std::max(0, static_cast<int>(std::floor(s))));
  *t = std::min(1.0, std::max(0.0, s - j));
  return j;
}

}  // namespace

planar_moments planar_df_moments(const planar_df &df, double R) {
  double t;
  const int j = moment_node(df, R, &t);
  // Geometric between the nodes: Sigma and the dispersions fall exponentially.
  const auto at = [&](const std::vector<double> &y) {
    return y[j] > 0.0 && y[j + 1] > 0.0 ? y[j] * std::pow(y[j + 1] / y[j], t) : (1.0 - t) * y[j] + t * y[j + 1];
  };
  return {at(df.surface), at(df.mean_phi), at(df.sigma_R), at(df.sigma_phi)};
}

planar_proposal planar_df_proposal(const planar_df &df, double R) {
  double t;
  const int j = moment_node(df, R, &t);
  const planar_proposal &a = df.proposals[j], &b = df.proposals[j + 1];
  const auto at = [t](double x, double y) { return (1.0 - t) * x + t * y; };
  return {at(a.mean_phi, b.mean_phi), at(a.spread_R, b.spread_R), at(a.spread_low, b.spread_low),
          at(a.spread_high, b.spread_high), at(a.wide, b.wide), at(a.share, b.share),
          margin * std::max(a.envelope, b.envelope), potential_at(df, R)};
}

void planar_df_trial(const planar_proposal &p, double normal_R, double normal_phi, double side, double *v_R,
                     double *v_phi) {
  if (side < p.share) {
    *v_R = p.wide * normal_R, *v_phi = p.mean_phi + p.wide * normal_phi;
    return;
  }
  *v_R = p.spread_R * normal_R;
  const bool low = (side - p.share) / (1.0 - p.share) * (p.spread_low + p.spread_high) < p.spread_low;
  *v_phi = p.mean_phi + (low ? -p.spread_low : p.spread_high) * std::fabs(normal_phi);
}

bool planar_df_accepts(const planar_df &df, const planar_proposal &p, double R, double v_R, double v_phi, double u) {
  if (!(v_phi > 0.0)) return false;
  const double g = u * p.envelope * proposal_density(p, v_R, v_phi);
  guide where;
  const double J = action_at(df, R, p.potential, v_R, v_phi, &where);
  return g < value_of(df, where, J);
}

double planar_df_bound(const planar_proposal &p, double v_R, double v_phi) {
  return p.envelope * proposal_density(p, v_R, v_phi);
}

double planar_df_action(const planar_df &df, double R, double v_R, double v_phi) {
  guide g;
  const double J = action_at(df, R, potential_at(df, R), v_R, v_phi, &g);
  return J >= unbound ? HUGE_VAL : J;
}
