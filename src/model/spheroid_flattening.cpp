#include "spheroid_flattening.h"

#include <algorithm>
#include <cmath>

#include "galaxy_types.h"
#include "two_threads.h"

namespace {

constexpr double gl_x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
constexpr double gl_w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
constexpr int points = 8;           // a cell's Gauss-Legendre points
constexpr double grade = 0.15;      // nodes at scale sinh(grade i)
constexpr double reach = 20.0;      // the grid's top, in truncation radii: dPhi's pull is long gone
constexpr double least = 0.25, most = 4.0;  // the squared stretches held within

double node(double scale, int i) { return scale * std::sinh(grade * i); }

// The cell's Gauss-Legendre points and weights.
void cell_points(double lo, double hi, double *x, double *w) {
  const double mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
  for (int q = 0; q < 4; ++q) {
    x[2 * q] = mid - half * gl_x[q], x[2 * q + 1] = mid + half * gl_x[q];
    w[2 * q] = w[2 * q + 1] = half * gl_w[q];
  }
}

// The discs' forces less their monopoles'.
void flattening_force(const flattening_forces &f, double R, double z, double *force_R, double *force_z) {
  const double r = std::max(std::hypot(R, z), 1e-300), r3 = r * r * r;
  *force_R = *force_z = 0.0;
  for (size_t d = 0; d < f.discs.size(); ++d) {
    const disc_field own = disc_potential(*f.discs[d]->disc, R, z);
    const double mono = profile_enclosed_mass(*f.disc_models[d], r);
    *force_R += own.force_R + mono * R / r3;
    *force_z += own.force_z + mono * z / r3;
  }
}

// A disc's monopole Psi at r: linear in ln r between its nodes, M / r beyond.
double monopole_psi(const profile_model &m, double r) {
  const int last = static_cast<int>(m.own_psi.size()) - 1;
  const double u = (std::log(r) - m.log_r0) / m.step;
  if (u <= 0.0) return m.own_psi[0];
  if (u >= last) return m.own_psi[last] * std::exp(m.log_r0 + m.step * last) / r;
  const int j = static_cast<int>(u);
  return (1.0 - (u - j)) * m.own_psi[j] + (u - j) * m.own_psi[j + 1];
}

// rho sigma0^2 of Phi0's isotropic Jeans equation at the model's nodes,
// from the top down; beyond the top rho's last slope and all the mass.
std::vector<double> spherical_pressure(const flattening_forces &f, const profile_model &m) {
  const auto total = [&](double r) {
    double mass = f.black_hole;
    for (const profile_model &other : *f.models) mass += profile_enclosed_mass(other, r);
    return mass;
  };
  const int n = static_cast<int>(m.mass.size());
  std::vector<double> p(n, 0.0);
  const double top = std::exp(m.log_r0 + m.step * (n - 1));
  const double slope = std::log(profile_density(m, top * 1.01) / profile_density(m, top)) / std::log(1.01);
  // rho ~ r^slope: int_top^inf rho M / r^2 dr = rho M / (top (1 - slope)).
  p[n - 1] = slope < 0.0 ? profile_density(m, top) * total(top) / (top * (1.0 - slope)) : 0.0;
  for (int j = n - 2; j >= 0; --j) {
    double x[points], w[points], sum = 0.0;
    cell_points(m.log_r0 + m.step * j, m.log_r0 + m.step * (j + 1), x, w);
    for (int q = 0; q < points; ++q) {
      const double r = std::exp(x[q]);
      sum += w[q] * profile_density(m, r) * total(r) / r;
    }
    p[j] = p[j + 1] + sum;
  }
  return p;
}

double pressure_at(const profile_model &m, const std::vector<double> &p, double r) {
  const int last = static_cast<int>(p.size()) - 1;
  const double u = std::min<double>(last, std::max(0.0, (std::log(r) - m.log_r0) / m.step));
  const int j = std::min(last - 1, static_cast<int>(u));
  const double t = u - j;
  if (!(p[j] > 0.0 && p[j + 1] > 0.0)) return (1.0 - t) * p[j] + t * p[j + 1];
  return std::exp((1.0 - t) * std::log(p[j]) + t * std::log(p[j + 1]));
}

// Along column (fixed R_at) or row (fixed z_at) of the [k * columns + i]
// table, the integral of rho dPhi from each node to the grid's top.
void line_integrals(const flattening_forces &f, const profile_model &m, bool column, int at, std::vector<double> *table) {
  const int I = f.columns, K = f.rows, n = column ? K : I;
  const double fixed = column ? node(f.scale_R, at) : node(f.scale_z, at), scale = column ? f.scale_z : f.scale_R;
  const std::vector<double> &pulls = column ? f.column_pull : f.row_pull;
  const auto cell = [&](int c) { return column ? static_cast<size_t>(c) * I + at : static_cast<size_t>(at) * I + c; };
  for (int c = n - 2; c >= 0; --c) {
    double x[points], w[points], sum = 0.0;
    cell_points(node(scale, c), node(scale, c + 1), x, w);
    const double *pull = pulls.data() + (static_cast<size_t>(at) * (n - 1) + c) * points;
    for (int q = 0; q < points; ++q) sum += profile_density(m, column ? std::hypot(fixed, x[q]) : std::hypot(x[q], fixed)) * pull[q];
    (*table)[cell(c)] = (*table)[cell(c + 1)] + sum;
  }
}

}  // namespace

void build_flattening_forces(const std::vector<profile_model> &models, const std::vector<const disc_sampler *> &discs,
                             double black_hole, flattening_forces *f) {
  f->models = &models, f->black_hole = black_hole, f->discs = discs;
  f->disc_models.clear();
  double length = HUGE_VAL, height = HUGE_VAL, top = 0.0;
  for (const disc_sampler *d : discs) {
    for (const profile_model &m : models) {
      if (m.disc.get() == d->disc) f->disc_models.push_back(&m);
    }
    length = std::min(length, d->disc->law.scale_length), height = std::min(height, d->disc->law.scale_height);
    top = std::max(top, reach * d->disc->law.truncation);
  }
  f->scale_R = 0.02 * length, f->scale_z = 0.25 * height, f->grade = grade;
  f->columns = static_cast<int>(std::ceil(std::asinh(top / f->scale_R) / grade)) + 1;
  f->rows = static_cast<int>(std::ceil(std::asinh(top / f->scale_z) / grade)) + 1;
  const int I = f->columns, K = f->rows;
  f->column_pull.assign(static_cast<size_t>(I) * (K - 1) * points, 0.0);
  f->row_pull.assign(static_cast<size_t>(K) * (I - 1) * points, 0.0);
  in_parallel(I + K, [f, I, K](int line) {
    const bool column = line < I;
    const int at = column ? line : line - I, cells = column ? K - 1 : I - 1;
    const double fixed = column ? node(f->scale_R, at) : node(f->scale_z, at);
    const double scale = column ? f->scale_z : f->scale_R;
    double *out = (column ? f->column_pull.data() : f->row_pull.data()) + static_cast<size_t>(at) * cells * points;
    for (int c = 0; c < cells; ++c) {
      double x[points], w[points];
      cell_points(node(scale, c), node(scale, c + 1), x, w);
      for (int q = 0; q < points; ++q) {
        double force_R, force_z;
        flattening_force(*f, column ? fixed : x[q], column ? x[q] : fixed, &force_R, &force_z);
        out[c * points + q] = -(column ? force_z : force_R) * w[q];
      }
    }
  });
  // The ratio is smooth over the nodes' cells; 2 % covers what lies between.
  f->psi_floor = 1.0;
  for (int k = 0; k < K; ++k) {
    for (int i = 0; i < I; ++i) {
      const double R = node(f->scale_R, i), z = node(f->scale_z, k), r = std::hypot(R, z);
      if (r > 0.0) f->psi_floor = std::min(f->psi_floor, flattened_psi(*f, R, z) / profile_potential(models.front(), r));
    }
  }
  f->psi_floor = std::max(0.0, 0.98 * f->psi_floor);
}

void build_spheroid_flattening(const flattening_forces &f, const profile_model &m, spheroid_flattening *out) {
  out->forces = &f, out->model = &m;
  const int I = f.columns, K = f.rows;
  out->stretch_R2.assign(static_cast<size_t>(I) * K, 1.0);
  out->stretch_z2 = out->stretch_R2;
  const std::vector<double> p0 = spherical_pressure(f, m);
  // The integrals of rho dPhi from the top down, along each column and row.
  std::vector<double> up(static_cast<size_t>(I) * K, 0.0), out_R = up;
  for (int i = 0; i < I; ++i) line_integrals(f, m, true, i, &up);
  for (int k = 0; k < K; ++k) line_integrals(f, m, false, k, &out_R);
  for (int k = 0; k < K; ++k) {
    for (int i = 0; i < I; ++i) {
      const size_t at = static_cast<size_t>(k) * I + i;
      const double pressure = pressure_at(m, p0, std::max(std::hypot(node(f.scale_R, i), node(f.scale_z, k)), 1e-300));
      if (!(pressure > 0.0) || !std::isfinite(pressure)) continue;
      out->stretch_z2[at] = std::min(most, std::max(least, 1.0 + up[at] / pressure));
      out->stretch_R2[at] = std::min(most, std::max(least, 1.0 + out_R[at] / pressure));
    }
  }
}

void flattening_at(const spheroid_flattening &s, double R, double z, double *stretch_R2, double *stretch_z2) {
  const flattening_forces &f = *s.forces;
  const double u = std::asinh(std::fabs(R) / f.scale_R) / f.grade, v = std::asinh(std::fabs(z) / f.scale_z) / f.grade;
  if (!(u < f.columns - 1) || !(v < f.rows - 1)) {
    *stretch_R2 = *stretch_z2 = 1.0;
    return;
  }
  const int i = static_cast<int>(u), k = static_cast<int>(v);
  const double a = u - i, b = v - k;
  const auto mix = [&](const std::vector<double> &t) {
    const size_t at = static_cast<size_t>(k) * f.columns + i;
    return (1 - b) * ((1 - a) * t[at] + a * t[at + 1]) + b * ((1 - a) * t[at + f.columns] + a * t[at + f.columns + 1]);
  };
  *stretch_R2 = mix(s.stretch_R2), *stretch_z2 = mix(s.stretch_z2);
}

double flattened_psi(const flattening_forces &f, double R, double z) {
  const double r = std::max(std::hypot(R, z), 1e-300);
  double psi = profile_potential(f.models->front(), r);
  for (size_t d = 0; d < f.discs.size(); ++d) {
    psi += -disc_potential(*f.discs[d]->disc, R, z).potential - monopole_psi(*f.disc_models[d], r);
  }
  return psi;
}

void stretch_spheroid_particle(gal_system *sys, int32_t planet, const spheroid_flattening &s) {
  const double L = sys->typical_length, V = std::sqrt(gravitational_constant * sys->total_mass / L);
  const double *pos = sys->pos + planet * sys->dimension;
  double *vel = sys->vel + planet * sys->dimension;
  const double R = std::hypot(pos[0], pos[1]) / L, z = pos[2] / L;
  double sR2, sz2;
  flattening_at(s, R, z, &sR2, &sz2);
  const double sR = std::sqrt(sR2), sz = std::sqrt(sz2);
  const double v[3] = {vel[0] / V * sR, vel[1] / V * sR, vel[2] / V * sz};
  const double v2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
  const double r = std::max(std::hypot(R, z), 1e-300);
  if (v2 >= 2.0 * s.forces->psi_floor * profile_potential(*s.model, r) && !(v2 < 2.0 * flattened_psi(*s.forces, R, z))) {
    return;
  }
  for (int k = 0; k < 3; ++k) vel[k] = v[k] * V;
}
