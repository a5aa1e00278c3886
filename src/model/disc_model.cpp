#include "disc_model.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "two_threads.h"

// The residual density of the split, for Phi_a = 4 pi Sigma(r) H(z):
//   lap(Phi_a) / 4 pi = Sigma(r) h(z) + H(z) (Sigma''(r) + 2 Sigma'(r) / r)
//                       + 2 Sigma'(r) z H'(z) / r,
//   rho_res = Sigma(R) h(z) - lap(Phi_a) / 4 pi,
// whose thin part, (Sigma(R) - Sigma(r)) h(z), is of order (z_d / R)^2 of
// the disc's own, the rest smooth in angle but for a kink of |z| at the
// plane. Its even multipoles
//   rho_l(r) = (2l + 1) int_0^1 rho_res(r sqrt(1 - mu^2), r mu) P_l(mu) dmu
// (panels graded towards the plane, at the disc's scale height) give
//   Phi_l(r) = -4 pi / (2l + 1) [r^-(l+1) int_0^r rho_l r'^(l+2) dr'
//                                + r^l int_r^inf rho_l r'^(1-l) dr'],
// accumulated as ratios of powers of r so that no power overflows.

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int max_order = 64;
constexpr double gl_x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
constexpr double gl_w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};

// The truncation T(R) and its first two derivatives: 1, then a quintic
// smooth step to 0 over [R_t - w, R_t].
void truncation(const disc_law &l, double R, double t[3]) {
  const double start = l.truncation - l.truncation_width;
  if (R <= start) {
    t[0] = 1.0, t[1] = t[2] = 0.0;
    return;
  }
  if (R >= l.truncation) {
    t[0] = t[1] = t[2] = 0.0;
    return;
  }
  const double w = l.truncation_width, x = (R - start) / w;
  t[0] = 1.0 - x * x * x * (10.0 - 15.0 * x + 6.0 * x * x);
  t[1] = -30.0 * x * x * (1.0 - x) * (1.0 - x) / w;
  t[2] = -60.0 * x * (1.0 - x) * (1.0 - 2.0 * x) / (w * w);
}

// Sigma and its first two derivatives at R.
void surface(const disc_model &m, double R, double s[3]) {
  double t[3];
  truncation(m.law, R, t);
  const double a = m.law.scale_length, e = m.surface0 * std::exp(-R / a);
  s[0] = e * t[0];
  s[1] = e * (t[1] - t[0] / a);
  s[2] = e * (t[2] - 2.0 * t[1] / a + t[0] / (a * a));
}

// h(z), H(z) and H'(z): H'' = h, H(0) = H'(0) = 0.
void vertical(const disc_law &l, double z, double v[3]) {
  const double d = l.scale_height, x = std::fabs(z) / d, sign = z < 0.0 ? -1.0 : 1.0;
  if (l.vertical == vertical_sech2) {
    const double e = std::exp(-2.0 * x), sech = 2.0 * std::exp(-x) / (1.0 + e);
    v[0] = sech * sech / (2.0 * d);
    v[1] = 0.5 * d * (x + std::log1p(e) - std::log(2.0));  // (d / 2) ln cosh x
    v[2] = 0.5 * sign * (1.0 - e) / (1.0 + e);
  } else {
    const double e = std::exp(-x);
    v[0] = e / (2.0 * d);
    v[1] = 0.5 * d * (e - 1.0 + x);
    v[2] = 0.5 * sign * (1.0 - e);
  }
}

double residual_density(const disc_model &m, double R, double z) {
  const double r = std::hypot(R, z);
  double s_R[3], s_r[3], v[3];
  surface(m, R, s_R);
  surface(m, r, s_r);
  vertical(m.law, z, v);
  const double laplacian = s_r[0] * v[0] + v[1] * (s_r[2] + 2.0 * s_r[1] / r) + 2.0 * s_r[1] * z * v[2] / r;
  return s_R[0] * v[0] - laplacian;
}

// Angular panels for radius r: edges graded geometrically from the plane at
// the scale height, then even up to the pole.
std::vector<double> angle_edges(const disc_law &l, double r) {
  std::vector<double> edges = {0.0};
  for (double mu = 0.25 * l.scale_height / r; mu < 0.125; mu *= 2.0) edges.push_back(mu);
  const double from = edges.back();
  for (int k = 1; k <= 24; ++k) edges.push_back(from + (1.0 - from) * k / 24.0);
  return edges;
}

// The Legendre recurrence's P_(l+2) = a_l mu P_(l+1) - b_l P_l, its
// coefficients taken once: a division in the loop would set its pace.
struct legendre_steps {
  double a[max_order + 1], b[max_order + 1];
  legendre_steps() {
    for (int l = 0; l <= max_order; ++l) a[l] = (2.0 * l + 3.0) / (l + 2.0), b[l] = (l + 1.0) / (l + 2.0);
  }
};

// rho_l at r for every even l.
void residual_multipoles(const disc_model &m, double r, std::vector<double> *rho) {
  static const legendre_steps steps;
  rho->assign(m.orders, 0.0);
  const std::vector<double> edges = angle_edges(m.law, r);
  for (size_t p = 0; p + 1 < edges.size(); ++p) {
    const double mid = 0.5 * (edges[p] + edges[p + 1]), half = 0.5 * (edges[p + 1] - edges[p]);
    for (int k = 0; k < 4; ++k) {
      for (const double mu : {mid - half * gl_x[k], mid + half * gl_x[k]}) {
        const double value = half * gl_w[k] * residual_density(m, r * std::sqrt(std::max(0.0, 1.0 - mu * mu)), r * mu);
        double p0 = 1.0, p1 = mu;  // Legendre recurrence
        for (int l = 0; l <= max_order; ++l) {
          if (l % 2 == 0) (*rho)[l / 2] += (2 * l + 1) * value * p0;
          const double p2 = steps.a[l] * mu * p1 - steps.b[l] * p0;
          p0 = p1, p1 = p2;
        }
      }
    }
  }
}

double node_radius(const disc_model &m, int k) { return std::exp(m.log_r0 + m.step * k); }

// The multipoles' potentials and their radial derivatives at the nodes.
void solve_multipoles(disc_model *m) {
  const int n = static_cast<int>(std::ceil((std::log(m->law.truncation + 30.0 * m->law.scale_height) - m->log_r0) / m->step)) + 1;
  m->phi.assign(m->orders, std::vector<double>(n, 0.0));
  m->dphi = m->phi;
  // rho_l at the four Gauss points of each cell (cell k: nodes k - 1 .. k).
  std::vector<std::vector<double>> cell(n, std::vector<double>(8 * m->orders, 0.0));
  in_parallel(n - 1, [&](int j) {
    const int k = j + 1;
    const double mid = m->log_r0 + m->step * (k - 0.5), half = 0.5 * m->step;
    std::vector<double> rho;
    for (int q = 0; q < 8; ++q) {
      const double x = mid + (q % 2 == 0 ? -1.0 : 1.0) * half * gl_x[q / 2];
      residual_multipoles(*m, std::exp(x), &rho);
      for (int o = 0; o < m->orders; ++o) cell[k][q * m->orders + o] = rho[o];
    }
  });
  std::vector<double> rho;
  residual_multipoles(*m, node_radius(*m, 0), &rho);
  for (int o = 0; o < m->orders; ++o) {
    const int l = 2 * o;
    std::vector<double> a(n, 0.0), b(n, 0.0);  // A_l / r^(l+1) and B_l r^l at the nodes
    const double r0 = node_radius(*m, 0);
    a[0] = rho[o] * r0 * r0 / (l + 3);
    for (int k = 1; k < n; ++k) {
      const double rk = node_radius(*m, k), ratio = node_radius(*m, k - 1) / rk;
      double sum = 0.0;
      for (int q = 0; q < 8; ++q) {
        const double x = m->log_r0 + m->step * (k - 0.5) + (q % 2 == 0 ? -1.0 : 1.0) * 0.5 * m->step * gl_x[q / 2];
        const double r = std::exp(x);
        sum += gl_w[q / 2] * cell[k][q * m->orders + o] * std::pow(r / rk, l + 1) * r * r;
      }
      a[k] = a[k - 1] * std::pow(ratio, l + 1) + 0.5 * m->step * sum;
    }
    for (int k = n - 2; k >= 0; --k) {
      const double rk = node_radius(*m, k), ratio = rk / node_radius(*m, k + 1);
      double sum = 0.0;
      for (int q = 0; q < 8; ++q) {
        const double x = m->log_r0 + m->step * (k + 0.5) + (q % 2 == 0 ? -1.0 : 1.0) * 0.5 * m->step * gl_x[q / 2];
        const double r = std::exp(x);
        sum += gl_w[q / 2] * cell[k + 1][q * m->orders + o] * std::pow(rk / r, l) * r * r;
      }
      b[k] = b[k + 1] * std::pow(ratio, l) + 0.5 * m->step * sum;
    }
    for (int k = 0; k < n; ++k) {
      const double c = -4.0 * pi / (2 * l + 1), rk = node_radius(*m, k);
      m->phi[o][k] = c * (a[k] + b[k]);
      m->dphi[o][k] = c * (-(l + 1) * a[k] + l * b[k]) / rk;
    }
  }
}

// Phi_l(r) and dPhi_l/dr, between nodes a cubic Hermite in ln r.
void multipole_at(const disc_model &m, int o, double r, double *phi, double *dphi) {
  const int n = static_cast<int>(m.phi[o].size()), l = 2 * o;
  const double u = (std::log(r) - m.log_r0) / m.step;
  if (u >= n - 1) {  // outside every residual mass: the exterior solution
    const double top = node_radius(m, n - 1), f = m.phi[o][n - 1] * std::pow(top / r, l + 1);
    *phi = f, *dphi = -(l + 1) * f / r;
    return;
  }
  if (u <= 0.0) {  // inside: the interior solution
    const double r0 = node_radius(m, 0), f = m.phi[o][0] * (l > 0 ? std::pow(r / r0, l) : 1.0);
    *phi = f, *dphi = l > 0 ? l * f / r : m.dphi[o][0] * r / r0;
    return;
  }
  const int k = static_cast<int>(u);
  const double t = u - k, h = m.step, r0 = node_radius(m, k), r1 = node_radius(m, k + 1);
  const double y0 = m.phi[o][k], y1 = m.phi[o][k + 1], d0 = m.dphi[o][k] * r0 * h, d1 = m.dphi[o][k + 1] * r1 * h;
  *phi = (1 + 2 * t) * (1 - t) * (1 - t) * y0 + t * (1 - t) * (1 - t) * d0 + t * t * (3 - 2 * t) * y1 + t * t * (t - 1) * d1;
  const double slope = 6 * t * (t - 1) * y0 + (1 - t) * (1 - 3 * t) * d0 + 6 * t * (1 - t) * y1 + t * (3 * t - 2) * d1;
  *dphi = slope / (h * r);
}

// The mass 2 pi int Sigma R dR of Sigma0 = 1, by Gauss-Legendre on panels.
double unit_mass(const disc_model &m) {
  const int panels = 400;
  const double top = m.law.truncation;
  double sum = 0.0;
  for (int p = 0; p < panels; ++p) {
    const double lo = top * p / panels, hi = top * (p + 1) / panels, mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
    for (int k = 0; k < 4; ++k) {
      for (const double R : {mid - half * gl_x[k], mid + half * gl_x[k]}) {
        double t[3];
        truncation(m.law, R, t);
        sum += half * gl_w[k] * 2.0 * pi * R * std::exp(-R / m.law.scale_length) * t[0];
      }
    }
  }
  return sum;
}

double spherical_density_of(const disc_model &m, double r);

// ln rho_0 at the nodes and its log-slope (centred differences of the
// exact averages at half a step).
void tabulate_spherical_density(disc_model *m) {
  const size_t n = m->phi.front().size();
  m->spherical_log_rho.assign(n, 0.0);
  m->spherical_slope.assign(n, 0.0);
  for (size_t k = 0; k < n; ++k) {
    const double x = m->log_r0 + m->step * static_cast<double>(k), h = 0.25 * m->step;
    const double lo = spherical_density_of(*m, std::exp(x - h)), hi = spherical_density_of(*m, std::exp(x + h));
    const double mid = spherical_density_of(*m, std::exp(x));
    m->spherical_log_rho[k] = mid > 0.0 ? std::log(mid) : -HUGE_VAL;
    m->spherical_slope[k] = lo > 0.0 && hi > 0.0 ? (std::log(hi) - std::log(lo)) / (2.0 * h) : 0.0;
  }
}

}  // namespace

bool build_disc_model(const disc_law &law, disc_model *m, std::string *why) {
  *m = disc_model();
  m->law = law;
  if (!(law.mass > 0.0) || !(law.scale_length > 0.0) || !(law.scale_height > 0.0) || !std::isfinite(law.mass)) {
    *why = "its mass, scale length and scale height must be finite numbers above 0";
    return false;
  }
  if (!(law.truncation_width > 0.0) || !(law.truncation > law.truncation_width)) {
    *why = "its truncation width must be above 0 and below its truncation radius";
    return false;
  }
  if (!(law.scale_height < law.scale_length)) {
    *why = "its scale height must be below its scale length: a disc is flat";
    return false;
  }
  m->surface0 = 1.0;
  m->surface0 = law.mass / unit_mass(*m);
  m->orders = max_order / 2 + 1;
  m->log_r0 = std::log(1e-4 * std::min(law.scale_length, law.scale_height * 10.0));
  m->step = 0.02;
  solve_multipoles(m);
  tabulate_spherical_density(m);
  return true;
}

double disc_surface_density(const disc_model &m, double R) {
  double s[3];
  surface(m, std::fabs(R), s);
  return s[0];
}

double disc_surface_log_slope(const disc_model &m, double R) {
  double s[3];
  surface(m, std::fabs(R), s);
  return s[0] > 0.0 ? s[1] * std::fabs(R) / s[0] : -HUGE_VAL;
}

double disc_density(const disc_model &m, double R, double z) {
  double v[3];
  vertical(m.law, z, v);
  return disc_surface_density(m, R) * v[0];
}

double disc_mass_within(const disc_model &m, double R) {
  const int panels = 200;
  const double top = std::min(R, m.law.truncation);
  double sum = 0.0;
  for (int p = 0; p < panels; ++p) {
    const double lo = top * p / panels, hi = top * (p + 1) / panels, mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
    for (int k = 0; k < 4; ++k) {
      for (const double x : {mid - half * gl_x[k], mid + half * gl_x[k]}) {
        sum += half * gl_w[k] * 2.0 * pi * x * disc_surface_density(m, x);
      }
    }
  }
  return sum / m.law.mass;
}

disc_field disc_potential(const disc_model &m, double R, double z) {
  const double r = std::hypot(R, z);
  double s[3], v[3];
  surface(m, r, s);
  vertical(m.law, z, v);
  disc_field f;
  // The analytic part.
  f.potential = 4.0 * pi * s[0] * v[1];
  f.force_R = r > 0.0 ? -4.0 * pi * s[1] * (R / r) * v[1] : 0.0;
  f.force_z = -4.0 * pi * ((r > 0.0 ? s[1] * (z / r) * v[1] : 0.0) + s[0] * v[2]);
  // The residual's multipoles: P_l and dP_l/dmu by their recurrences.
  const double mu = r > 0.0 ? z / r : 0.0;
  double p0 = 1.0, p1 = mu, d0 = 0.0, d1 = 1.0;
  double dphi_dr = 0.0, dphi_dmu = 0.0;
  for (int l = 0; l <= max_order; ++l) {
    if (l % 2 == 0) {
      double phi, dphi;
      multipole_at(m, l / 2, std::max(r, 1e-300), &phi, &dphi);
      f.potential += phi * p0;
      dphi_dr += dphi * p0;
      dphi_dmu += phi * d0;
    }
    const double p2 = ((2 * l + 3) * mu * p1 - (l + 1) * p0) / (l + 2);
    const double d2 = d0 + (2 * l + 3) * p1;  // P'_{l+2} = P'_l + (2l + 3) P_{l+1}
    p0 = p1, p1 = p2, d0 = d1, d1 = d2;
  }
  if (r > 0.0) {
    f.force_R -= dphi_dr * R / r - dphi_dmu * z * R / (r * r * r);
    f.force_z -= dphi_dr * z / r + dphi_dmu * R * R / (r * r * r);
  }
  return f;
}

disc_shape disc_spherical_shape(const disc_model &m, double r) {
  const int n = static_cast<int>(m.spherical_log_rho.size());
  const double x = std::log(std::max(r, 1e-300)), u = (x - m.log_r0) / m.step;
  if (u >= n - 1) return {0.0, -HUGE_VAL, 0.0};
  if (u <= 0.0) return {std::exp(m.spherical_log_rho[0]), 0.0, 0.0};
  const int k = static_cast<int>(u);
  const double t = u - k, h = m.step, y0 = m.spherical_log_rho[k], y1 = m.spherical_log_rho[k + 1];
  if (!std::isfinite(y0) || !std::isfinite(y1)) return {0.0, -HUGE_VAL, 0.0};
  const double d0 = m.spherical_slope[k] * h, d1 = m.spherical_slope[k + 1] * h;
  const double value = (1 + 2 * t) * (1 - t) * (1 - t) * y0 + t * (1 - t) * (1 - t) * d0 + t * t * (3 - 2 * t) * y1 + t * t * (t - 1) * d1;
  const double slope = 6 * t * (t - 1) * y0 + (1 - t) * (1 - 3 * t) * d0 + 6 * t * (1 - t) * y1 + t * (3 * t - 2) * d1;
  const double curve = (12 * t - 6) * y0 + (6 * t - 4) * d0 + (6 - 12 * t) * y1 + (6 * t - 2) * d1;
  return {std::exp(value), slope / h, curve / (h * h)};
}

double disc_spherical_density(const disc_model &m, double r) { return spherical_density_of(m, r); }

namespace {

double spherical_density_of(const disc_model &m, double r) {
  if (!(r > 0.0)) return disc_density(m, 0.0, 0.0);
  // (1 / r) int_0^r Sigma(sqrt(r^2 - z^2)) h(z) dz, with u the height's
  // cumulative share (h dz = du / 2), in which the integrand is smooth.
  const double d = m.law.scale_height;
  const bool sech2 = m.law.vertical == vertical_sech2;
  const double top = sech2 ? std::tanh(r / d) : -std::expm1(-r / d);
  const int panels = 32;
  double sum = 0.0;
  for (int p = 0; p < panels; ++p) {
    const double lo = top * p / panels, hi = top * (p + 1) / panels, mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
    for (int k = 0; k < 4; ++k) {
      for (const double u : {mid - half * gl_x[k], mid + half * gl_x[k]}) {
        const double z = sech2 ? d * std::atanh(u) : -d * std::log1p(-u);
        sum += half * gl_w[k] * 0.5 * disc_surface_density(m, std::sqrt(std::max(0.0, r * r - z * z)));
      }
    }
  }
  return sum / r;
}

}  // namespace
