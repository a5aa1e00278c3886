#include "spheroid_stretch.h"

#include <algorithm>
#include <cmath>

#include "two_threads.h"

namespace {

constexpr double gl_x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
constexpr double gl_w[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
constexpr double grade = 0.25;
constexpr double reach = 3.0;  // the grid's top, in truncation radii

double node(double scale, int i) { return scale * std::sinh(grade * i); }

// Catmull-Rom through values at integer u (even or odd about 0 as parity
// says, held flat beyond the last).
double cubic(const double *value, size_t stride, int n, double u, double parity) {
  const int i = std::min(n - 2, std::max(0, static_cast<int>(u)));
  const double t = u - i;
  const auto at = [&](int j) {
    if (j < 0) return parity * value[static_cast<size_t>(-j) * stride];
    return value[static_cast<size_t>(std::min(j, n - 1)) * stride];
  };
  const double p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
  return p1 + 0.5 * t * (p2 - p0 + t * (2 * p0 - 5 * p1 + 4 * p2 - p3 + t * (3 * (p1 - p2) + p3 - p0)));
}

int first_spheroid(const std::vector<component_law> &components) {
  for (size_t c = 0; c < components.size(); ++c) {
    if (!components[c].disc) return static_cast<int>(c);
  }
  return -1;
}

// The integral of rho g along a line of nodes from node k to the last:
// along a column (fixed R) or a row (fixed z), g a cubic in the node index.
std::vector<double> line_integrals(const jeans_reference &ref, const stretch_forces &f, bool column, int at) {
  const int n = column ? f.rows : f.columns;
  const size_t stride = column ? static_cast<size_t>(f.columns) : 1;
  const double *g = (column ? f.pull_z.data() : f.pull_R.data()) + (column ? at : static_cast<size_t>(at) * f.columns);
  const double scale = column ? f.scale_z : f.scale_R, fixed = column ? node(f.scale_R, at) : node(f.scale_z, at);
  std::vector<double> out(n, 0.0);
  for (int k = n - 2; k >= 0; --k) {
    double sum = 0.0;
    for (int q = 0; q < 8; ++q) {
      const double u = k + 0.5 + (q < 4 ? -0.5 : 0.5) * gl_x[q % 4], w = 0.5 * gl_w[q % 4];
      const double x = scale * std::sinh(grade * u), dx = scale * grade * std::cosh(grade * u);
      const double rho = reference_density(ref, std::hypot(fixed, x));
      sum += w * dx * rho * cubic(g, stride, n, u, -1.0);
    }
    out[k] = out[k + 1] + sum;
  }
  return out;
}

}  // namespace

bool build_stretch_forces(const std::vector<component_law> &components, double black_hole, stretch_forces *f,
                          std::string *why) {
  const int some = first_spheroid(components);
  jeans_reference ref;
  if (some < 0 || !build_component_reference(components, black_hole, some, &ref, why)) return false;
  std::vector<int> discs;
  std::vector<disc_formula> formulas;
  double length = HUGE_VAL, height = HUGE_VAL, top = 0.0;
  for (size_t c = 0; c < components.size(); ++c) {
    if (!components[c].disc) continue;
    discs.push_back(static_cast<int>(c));
    formulas.push_back(disc_formula_of(components[c].disc->law));
    length = std::min(length, formulas.back().length), height = std::min(height, formulas.back().height);
    top = std::max(top, reach * formulas.back().truncation);
  }
  f->scale_R = 0.05 * length, f->scale_z = 0.5 * height, f->grade = grade;
  f->columns = static_cast<int>(std::ceil(std::asinh(top / f->scale_R) / grade)) + 1;
  f->rows = static_cast<int>(std::ceil(std::asinh(top / f->scale_z) / grade)) + 1;
  const size_t cells = static_cast<size_t>(f->columns) * f->rows;
  f->pull_R.assign(cells, 0.0), f->pull_z.assign(cells, 0.0);
  in_parallel(static_cast<int>(cells), [&](int at) {
    const double R = node(f->scale_R, at % f->columns), z = node(f->scale_z, at / f->columns);
    const double r = std::hypot(R, z), r3 = r * r * r;
    for (size_t d = 0; d < discs.size(); ++d) {
      const disc_pull pull = formula_disc_force(formulas[d], R, z);
      const double mono = r > 0.0 ? reference_component_mass(ref, discs[d], r) / r3 : 0.0;
      f->pull_R[at] -= pull.R + mono * R, f->pull_z[at] -= pull.z + mono * z;
    }
  });
  return true;
}

bool build_spheroid_stretch(const std::vector<component_law> &components, double black_hole, int own,
                            const stretch_forces &f, spheroid_stretch *s, std::string *why) {
  jeans_reference ref;
  if (!build_component_reference(components, black_hole, own, &ref, why)) return false;
  s->scale_R = f.scale_R, s->scale_z = f.scale_z, s->grade = f.grade, s->columns = f.columns, s->rows = f.rows;
  const size_t cells = static_cast<size_t>(f.columns) * f.rows;
  s->stretch_R2.assign(cells, 1.0), s->stretch_z2.assign(cells, 1.0);
  s->largest = s->smallest = 1.0;
  for (int i = 0; i < f.columns; ++i) {
    const std::vector<double> up = line_integrals(ref, f, true, i);
    for (int k = 0; k < f.rows; ++k) s->stretch_z2[static_cast<size_t>(k) * f.columns + i] = up[k];
  }
  for (int k = 0; k < f.rows; ++k) {
    const std::vector<double> out = line_integrals(ref, f, false, k);
    for (int i = 0; i < f.columns; ++i) s->stretch_R2[static_cast<size_t>(k) * f.columns + i] = out[i];
  }
  for (size_t at = 0; at < cells; ++at) {
    const double r = std::hypot(node(f.scale_R, static_cast<int>(at % f.columns)), node(f.scale_z, static_cast<int>(at / f.columns)));
    const double pressure = reference_density(ref, r) * reference_sigma_r2(ref, r);
    if (!(pressure > 0.0) || !std::isfinite(pressure)) {
      s->stretch_R2[at] = s->stretch_z2[at] = 1.0;
      continue;
    }
    s->stretch_R2[at] = 1.0 + s->stretch_R2[at] / pressure, s->stretch_z2[at] = 1.0 + s->stretch_z2[at] / pressure;
    if (reference_mass_fraction(ref, r) < 0.99) {
      s->largest = std::max({s->largest, s->stretch_R2[at], s->stretch_z2[at]});
      s->smallest = std::min({s->smallest, s->stretch_R2[at], s->stretch_z2[at]});
    }
  }
  return true;
}

void stretch_at(const spheroid_stretch &s, double R, double z, double *stretch_R2, double *stretch_z2) {
  const double u = std::asinh(std::fabs(R) / s.scale_R) / s.grade, v = std::asinh(std::fabs(z) / s.scale_z) / s.grade;
  if (!(u < s.columns - 1) || !(v < s.rows - 1)) {
    *stretch_R2 = *stretch_z2 = 1.0;
    return;
  }
  // Across rows, a cubic of each nearby row's cubic across columns.
  const auto both = [&](const std::vector<double> &t) {
    const int k = static_cast<int>(v);
    double rows[4];
    for (int j = 0; j < 4; ++j) {
      const int row = std::min(s.rows - 1, std::abs(k - 1 + j));
      rows[j] = cubic(t.data() + static_cast<size_t>(row) * s.columns, 1, s.columns, u, 1.0);
    }
    const double t_ = v - k;
    const double p0 = rows[0], p1 = rows[1], p2 = rows[2], p3 = rows[3];
    return p1 + 0.5 * t_ * (p2 - p0 + t_ * (2 * p0 - 5 * p1 + 4 * p2 - p3 + t_ * (3 * (p1 - p2) + p3 - p0)));
  };
  *stretch_R2 = both(s.stretch_R2), *stretch_z2 = both(s.stretch_z2);
}
