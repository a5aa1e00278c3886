#include "check_model.h"

#include <algorithm>
#include <cmath>

#include "equilibrium_law.h"
#include "random_coord.h"

namespace {

// f evaluated where its two terms do not cancel: long double, and the
// leading term of its series below 1e-3 (relative error under 1e-6).
long double accurate_density(long double q) {
  if (q < 1e-3L) return 25.6L * q * q * q * q * q;
  const long double s = 1.0L - q * q;
  return (3.0L * asinl(q) +
          (8.0L * q * q * q * q - 8.0L * q * q - 3.0L) * sqrtl(s) * q * (1.0L - 2.0L * q * q)) /
         (s * s);
}

}  // namespace

gal_system model_record(const check_model &model) {
  gal_system sys{};
  sys.typical_length = model.typical_length;
  sys.radius_max = model.radius_max;
  sys.total_mass = model.total_mass;
  return sys;
}

double model_escape_speed(const check_model &model, const gal_system &sys, double r) {
  if (model.profile != nullptr) {
    const double a = model.typical_length;
    return std::sqrt(2.0 * profile_potential(*model.profile, r / a) * model_gravitational_constant *
                     model.total_mass / a);
  }
  return model.equilibrium ? compute_equilibrium_escape_velocity_function(&sys, r)
                           : compute_escape_velocity_function(&sys, r);
}

double model_mass_fraction(const check_model &model, const gal_system &sys, double r) {
  if (model.profile != nullptr) {
    const profile_model &p = *model.profile;
    return std::min(1.0, profile_enclosed_mass(p, r / model.typical_length) / p.mass.back());
  }
  return compute_enclosed_mass_fraction_function(&sys, std::min(r, model.radius_max));
}

// G(S) = int_0^S 2 s^2 f(Psi - s^2) ds is P(|w| <= sqrt(2) S) up to its
// whole G(sqrt Psi): E = Psi - s^2 (s = w / sqrt 2). 32-point Gauss-Legendre
// on four panels.
double profile_speed_cdf(const profile_model &model, double r, double w) {
  static const double x[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267, 0.9602898564975363};
  static const double wt[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745, 0.1012285362903763};
  const double psi = profile_potential(model, r), top = std::sqrt(psi);
  const auto integral = [&](double upper) {
    double sum = 0.0;
    for (int panel = 0; panel < 4; ++panel) {
      const double lo = upper * panel / 4, hi = upper * (panel + 1) / 4, mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
      for (int k = 0; k < 4; ++k) {
        for (double s : {mid - half * x[k], mid + half * x[k]}) sum += half * wt[k] * 2 * s * s * profile_df(model, psi - s * s);
      }
    }
    return sum;
  };
  const double whole = integral(top);
  if (!(whole > 0.0)) return -1.0;
  return std::min(1.0, integral(std::min(top, w / std::sqrt(2.0))) / whole);
}

double model_second_radial_moment(const check_model &model) {
  if (model.profile != nullptr) {
    // From the tables: sum of r^2 dM over the cells, in m^2.
    const profile_model &p = *model.profile;
    long double moment = 0.0L;
    for (size_t i = 1; i < p.mass.size(); ++i) {
      const double r = std::exp(p.log_r0 + p.step * (i - 0.5));
      moment += static_cast<long double>(r) * r * (p.mass[i] - p.mass[i - 1]);
    }
    return static_cast<double>(moment / p.mass.back()) * model.typical_length * model.typical_length;
  }
  // <r^2> = ∫ r^2 dM / M over [0, r_max], dM/dr ∝ 2 a r / (r + a)^3;
  // Simpson's rule on 2^14 intervals.
  const double a = model.typical_length, r_max = model.radius_max;
  const int steps = 1 << 14;
  const double h = r_max / steps;
  auto density = [a](double r) { return 2.0 * a * r / ((r + a) * (r + a) * (r + a)); };
  long double moment = 0.0L, mass = 0.0L;
  for (int i = 0; i < steps; ++i) {
    const double lo = i * h, mid = lo + h / 2, hi = lo + h;
    const long double w[3] = {density(lo), 4.0L * density(mid), density(hi)};
    mass += w[0] + w[1] + w[2];
    moment += w[0] * lo * lo + w[1] * mid * mid + w[2] * hi * hi;
  }
  return static_cast<double>(moment / mass);
}

speed_cdf::speed_cdf(double q_max) {
  constexpr int nodes = 1 << 16;
  step_ = std::max(q_max, 1e-9) / (nodes - 1);
  nodes_.assign(nodes, speed_node{0.0, 0.0});
  long double total = 0.0L;
  for (int i = 1; i < nodes; ++i) {
    // Simpson's rule on each interval.
    const long double lo = (i - 1) * static_cast<long double>(step_);
    const long double hi = i * static_cast<long double>(step_);
    total += (hi - lo) / 6.0L *
             (accurate_density(lo) + 4.0L * accurate_density((lo + hi) / 2.0L) + accurate_density(hi));
    nodes_[i] = {static_cast<double>(total), static_cast<double>(accurate_density(hi))};
  }
}

double speed_cdf::integral(double q) const {
  // Cubic Hermite interpolation: the integral's slope at the nodes is f.
  const double position = q / step_;
  const size_t i = node_of(q);
  const double t = std::clamp(position - static_cast<double>(i), 0.0, 1.0);
  const double t2 = t * t, t3 = t2 * t;
  const speed_node &a = nodes_[i], &b = nodes_[i + 1];
  return (2 * t3 - 3 * t2 + 1) * a.integral + (t3 - 2 * t2 + t) * step_ * a.density + (-2 * t3 + 3 * t2) * b.integral +
         (t3 - t2) * step_ * b.density;
}

double speed_cdf::operator()(double v, double e_max, double v_esc) const {
  return of_energy(energy(v, e_max, v_esc), e_max);
}

namespace {

constexpr size_t equilibrium_rows = 160;
constexpr size_t equilibrium_columns = 1024;
constexpr double equilibrium_c_min = 1e-4;

// The integrand in s: h(q) 3 s^2, with q^2 = psi (1 - s^2) / (1 - psi s^2).
double equilibrium_integrand(double s, double c) {
  const double psi = 1.0 - c;
  const double s2 = s * s;
  const double q2 = psi * (1.0 - s2) / (1.0 - s2 + c * s2);
  return compute_equilibrium_bracket_function(std::sqrt(std::max(0.0, q2))) * 3.0 * s2;
}

}  // namespace

equilibrium_speed_cdf::equilibrium_speed_cdf(double c_max) {
  log_c_min_ = std::log(equilibrium_c_min);
  const double log_c_max = std::log(std::max(c_max, 2.0 * equilibrium_c_min));
  log_c_step_ = (log_c_max - log_c_min_) / (equilibrium_rows - 1);
  table_.assign(equilibrium_rows * (equilibrium_columns + 1), 0.0);
  const double h = 1.0 / equilibrium_columns;
  for (size_t i = 0; i < equilibrium_rows; ++i) {
    const double c = std::exp(log_c_min_ + static_cast<double>(i) * log_c_step_);
    double *out = &table_[i * (equilibrium_columns + 1)];
    long double total = 0.0L;
    for (size_t j = 1; j <= equilibrium_columns; ++j) {
      const double lo = static_cast<double>(j - 1) * h;
      total += h / 6.0 * (equilibrium_integrand(lo, c) + 4.0 * equilibrium_integrand(lo + h / 2, c) +
                          equilibrium_integrand(lo + h, c));
      out[j] = static_cast<double>(total);
    }
    for (size_t j = 1; j <= equilibrium_columns; ++j) out[j] /= static_cast<double>(total);
  }
}

double equilibrium_speed_cdf::row(size_t i, double s) const {
  const double position = s * equilibrium_columns;
  const size_t j = std::min(equilibrium_columns - 1, static_cast<size_t>(position));
  const double t = position - static_cast<double>(j);
  const double *values = &table_[i * (equilibrium_columns + 1)];
  return values[j] + t * (values[j + 1] - values[j]);
}

double equilibrium_speed_cdf::operator()(double x, double c) const {
  const double clamped_x = std::clamp(x, 0.0, 1.0);
  const double s = std::cbrt(compute_equilibrium_envelope_cdf_function(clamped_x, 1.0 - c, c));
  const double position =
      std::clamp((std::log(std::max(c, equilibrium_c_min)) - log_c_min_) / log_c_step_, 0.0,
                 static_cast<double>(equilibrium_rows - 1));
  const size_t i = std::min(equilibrium_rows - 2, static_cast<size_t>(position));
  const double t = position - static_cast<double>(i);
  return std::clamp((1.0 - t) * row(i, s) + t * row(i + 1, s), 0.0, 1.0);
}
