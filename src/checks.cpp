#include "checks.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <future>
#include <utility>

#include "check_statistics.h"
#include "equilibrium_law.h"
#include "random_coord.h"

namespace {

constexpr double pi = 3.14159265358979323846;

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

// A figure that may be beyond the range of a double: said, not "inf".
std::string figure(const char *pattern, double value) {
  if (std::isnan(value)) return "not computable";
  if (std::isinf(value)) return value > 0 ? "beyond the range of a double" : "below it";
  return format(pattern, value);
}

// Length of a vector, finite for every finite vector whose length a double
// can hold: squares overflow from 1.3e154.
double length_of(double x, double y, double z) {
  const double squares = x * x + y * y + z * z;
  if (std::isfinite(squares) && squares > 1e-300) return std::sqrt(squares);
  return std::hypot(x, y, z);
}

// What several checks share, measured once from the model's centre over the
// particles whose every value is finite.
struct measured {
  std::vector<size_t> finite;
  std::vector<double> radii, speeds, escapes;
  long double weight = 0.0L, speed2_sum = 0.0L;
  long double centre_sum[3] = {0, 0, 0}, momentum_sum[3] = {0, 0, 0};
};

measured measure(const particle_data &data, const check_model &model) {
  measured m;
  const size_t n = static_cast<size_t>(data.nb_element);
  for (size_t i = 0; i < n; ++i) {
    bool ok = std::isfinite(data.mass[i]);
    for (int k = 0; k < 3; ++k) ok = ok && std::isfinite(data.pos[3 * i + k]) && std::isfinite(data.vel[3 * i + k]);
    if (ok) m.finite.push_back(i);
  }
  const gal_system sys = model_record(model);
  const double *c0 = model.centre;
  for (const size_t i : m.finite) {
    const double *x = &data.pos[3 * i], *v = &data.vel[3 * i], mass = data.mass[i];
    const double r = length_of(x[0] - c0[0], x[1] - c0[1], x[2] - c0[2]);
    m.radii.push_back(r);
    m.speeds.push_back(length_of(v[0], v[1], v[2]));
    m.escapes.push_back(model.equilibrium ? compute_equilibrium_escape_velocity_function(&sys, r)
                                          : compute_escape_velocity_function(&sys, r));
    m.weight += mass;
    for (int k = 0; k < 3; ++k) {
      m.centre_sum[k] += static_cast<long double>(mass) * (x[k] - c0[k]);
      m.momentum_sum[k] += static_cast<long double>(mass) * v[k];
      m.speed2_sum += static_cast<long double>(mass) * v[k] * v[k];
    }
  }
  return m;
}

check_line ks_line_for(const std::string &name, double d, size_t count, double threshold) {
  const double n = static_cast<double>(count);
  const double p = ks_p_value(d, n);
  return {name, format("KS D = %.5f, p = %.3g (n = %.0f)", d, p, n),
          p < threshold ? verdict_fail : verdict_pass};
}

check_line ks_line(const std::string &name, const std::vector<double> &u, double threshold) {
  if (u.empty()) return {name, "no particle to test", verdict_fail};
  return ks_line_for(name, ks_uniform_statistic(u), u.size(), threshold);
}

check_line check_count(const particle_data &data, const check_options &options) {
  const int64_t n = data.nb_element;
  std::string text = format("%lld particle%s", static_cast<long long>(n), n == 1 ? "" : "s");
  if (options.expected_count >= 0 && options.expected_count != n) {
    text += format(", expected %lld", static_cast<long long>(options.expected_count));
  }
  // No galaxy follows the model with no particle, unless none was asked for.
  const bool ok = options.expected_count >= 0 ? options.expected_count == n : n > 0;
  if (n == 0 && !ok) text += ": no galaxy";
  return {"particle count", text, ok ? verdict_pass : verdict_fail};
}

check_line check_total_mass(const particle_data &data, const check_model &model) {
  long double sum = 0.0L;
  for (double m : data.mass) sum += m;
  const double total = static_cast<double>(sum);
  return {"total mass", figure("%.6g kg", total) + format(", model %.6g kg", model.total_mass),
          std::fabs(total - model.total_mass) <= 1e-9 * std::fabs(model.total_mass) ? verdict_pass
                                                                                  : verdict_fail};
}

check_line check_equal_masses(const particle_data &data) {
  size_t unequal = 0;
  for (double m : data.mass) unequal += !(m == data.mass[0]);
  return {"equal masses", format("%zu differ from the first", unequal),
          unequal == 0 ? verdict_pass : verdict_fail};
}

check_line check_finite(const particle_data &data, const measured &m) {
  const size_t bad = static_cast<size_t>(data.nb_element) - m.finite.size();
  return {"finite values", format("%zu particle%s with a non-finite value", bad, bad == 1 ? "" : "s"),
          bad == 0 ? verdict_pass : verdict_fail};
}

// The offset of the centre of mass against the model's own scatter of a
// mean of n positions: one outlier cannot inflate it and hide itself.
check_line check_centre(const measured &m, const check_options &options) {
  const check_model &model = options.model;
  double variance[3];
  model_centre_variance(model, static_cast<double>(m.finite.size()), variance);
  double chi_square = 0.0, offset2 = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double centre = static_cast<double>(m.centre_sum[k] / m.weight);
    chi_square += centre * centre / variance[k];
    offset2 += centre * centre;
  }
  if (std::isnan(chi_square) || !(m.weight > 0.0L)) {
    return {"centre of mass", "not computable", verdict_fail};
  }
  const double p = chi_square_3_upper_tail(chi_square);
  return {"centre of mass",
          "offset " + figure("%.4g a", std::sqrt(offset2) / model.typical_length) +
              format(", p = %.3g", p),
          p < options.threshold ? verdict_fail : verdict_pass};
}

check_line check_cut_off(const measured &m, const check_model &model) {
  const double allowed = model.radius_max * (1.0 + 1e-12) + 1e-5;
  size_t beyond = 0;
  double widest = 0.0;
  for (const double r : m.radii) {
    widest = std::max(widest, r / model.radius_max);
    beyond += r > allowed;
  }
  return {"within cut-off", "largest radius " + figure("%.6f r_max", widest) + format(", %zu beyond", beyond),
          beyond == 0 ? verdict_pass : verdict_fail};
}

check_line check_escape(const measured &m) {
  size_t too_fast = 0;
  double fastest = 0.0;
  for (size_t j = 0; j < m.speeds.size(); ++j) {
    fastest = std::max(fastest, m.speeds[j] / m.escapes[j]);
    too_fast += m.speeds[j] > m.escapes[j] * (1.0 + 1e-12) + 1e-5;
  }
  return {"below escape speed", "largest speed " + figure("%.6f v_esc", fastest) + format(", %zu above", too_fast),
          too_fast == 0 ? verdict_pass : verdict_fail};
}

// Radii through the truncated enclosed-mass fraction: uniform variates, and
// their order, which the virial ratio and the picture reuse.
check_line check_radii(const measured &m, const check_options &options,
                       std::vector<keyed_index> *order) {
  const gal_system sys = model_record(options.model);
  std::vector<double> u(m.radii.size());
  for (size_t j = 0; j < u.size(); ++j) {
    u[j] = compute_enclosed_mass_fraction_function(&sys, std::min(m.radii[j], options.model.radius_max));
  }
  *order = ascending_order(u);
  if (order->empty()) return {"radius distribution", "no particle to test", verdict_fail};
  return ks_line_for("radius distribution", ks_statistic_of_order(*order), order->size(),
                     options.threshold);
}

// Speeds, each mapped through the speed law at its own radius.
check_line check_speeds(const measured &m, const check_options &options) {
  const double a = options.model.typical_length;
  std::vector<double> u;
  u.reserve(m.radii.size());
  if (options.model.equilibrium) {
    double c_max = 0.0;
    for (const double r : m.radii) c_max = std::max(c_max, r / (r + a));
    const equilibrium_speed_cdf cdf(std::min(c_max, 1.0));
    for (size_t j = 0; j < m.radii.size(); ++j) {
      const double r = m.radii[j];
      if (m.escapes[j] > 0.0 && std::isfinite(r)) u.push_back(cdf(m.speeds[j] / m.escapes[j], r / (r + a)));
    }
    return ks_line("speed distribution", u, options.threshold);
  }
  double q_max = 0.0;
  for (const double r : m.radii) q_max = std::max(q_max, std::sqrt(r / (r + a)));
  const speed_cdf cdf(std::min(q_max, 1.0 - 1e-9));
  for (size_t j = 0; j < m.radii.size(); ++j) {
    const double r = m.radii[j];
    const double e_max = std::sqrt(r / (r + a));
    if (e_max > 0.0 && m.escapes[j] > 0.0) u.push_back(cdf(m.speeds[j], e_max, m.escapes[j]));
  }
  return ks_line("speed distribution", u, options.threshold);
}

// Azimuth and polar angle of a vector as uniform variates of the direction
// law (polar angle uniform in the angle, or in its cosine), skipped for the
// zero vector.
void push_angles(const double *v, const double *c0, bool isotropic, std::vector<double> *azimuths,
                 std::vector<double> *polars) {
  const double x = v[0] - c0[0], y = v[1] - c0[1], z = v[2] - c0[2];
  const double length = length_of(x, y, z);
  if (!(length > 0.0) || !std::isfinite(length)) return;
  const double cos_theta = std::clamp(z / length, -1.0, 1.0);
  azimuths->push_back((std::atan2(y, x) + pi) / (2.0 * pi));
  polars->push_back(isotropic ? (cos_theta + 1.0) / 2.0 : std::acos(cos_theta) / pi);
}

std::vector<check_line> check_directions(const particle_data &data, const measured &m,
                                         const check_options &options) {
  const bool isotropic = options.model.equilibrium;
  const double origin[3] = {0.0, 0.0, 0.0};
  std::vector<double> pos_azimuth, pos_polar, vel_azimuth, vel_polar;
  for (const size_t i : m.finite) {
    push_angles(&data.pos[3 * i], options.model.centre, isotropic, &pos_azimuth, &pos_polar);
    push_angles(&data.vel[3 * i], origin, isotropic, &vel_azimuth, &vel_polar);
  }
  const char *polar = isotropic ? "cos polar angle" : "polar angle";
  return {ks_line("position azimuth", pos_azimuth, options.threshold),
          ks_line(std::string("position ") + polar, pos_polar, options.threshold),
          ks_line("velocity azimuth", vel_azimuth, options.threshold),
          ks_line(std::string("velocity ") + polar, vel_polar, options.threshold)};
}

check_line info_momentum(const measured &m) {
  const double rms = std::sqrt(static_cast<double>(m.speed2_sum / m.weight));
  const long double *p = m.momentum_sum;
  const double momentum = std::sqrt(static_cast<double>(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]));
  if (!(rms > 0.0)) return {"net momentum", "no motion: every particle at rest", verdict_info};
  return {"net momentum",
          figure("%.4g M v_rms", momentum / (static_cast<double>(m.weight) * rms)) +
              figure(" (v_rms %.4g m/s)", rms),
          verdict_info};
}

std::string virial_figure(double kinetic, long double potential) {
  if (!(potential < 0.0L)) return "undefined (no potential energy)";
  return figure("%.4f", 2.0 * kinetic / std::fabs(static_cast<double>(potential)));
}

// W of the spherically averaged particles: each feels the mass inside its
// radius as a point at the centre.
check_line info_particle_virial(const particle_data &data, const measured &m,
                                const std::vector<keyed_index> &order) {
  long double potential = 0.0L, inside = 0.0L;
  for (const keyed_index &entry : order) {
    const double r = m.radii[entry.index], mass = data.mass[m.finite[entry.index]];
    if (r > 0.0 && inside > 0.0L) potential -= model_gravitational_constant * mass * inside / r;
    inside += mass;
  }
  return {"virial ratio 2K/|W|", virial_figure(0.5 * static_cast<double>(m.speed2_sum), potential),
          verdict_info};
}

// W in the truncated sphere's own field: each particle feels the model's
// mass inside its radius.
check_line info_model_virial(const particle_data &data, const measured &m, const check_model &model) {
  const gal_system sys = model_record(model);
  long double potential = 0.0L;
  for (size_t j = 0; j < m.radii.size(); ++j) {
    const double r = m.radii[j];
    if (!(r > 0.0)) continue;
    const double inside = model.total_mass * compute_enclosed_mass_fraction_function(&sys, std::min(r, model.radius_max));
    potential -= model_gravitational_constant * data.mass[m.finite[j]] * inside / r;
  }
  return {"virial ratio, model W", virial_figure(0.5 * static_cast<double>(m.speed2_sum), potential),
          verdict_info};
}

void fill_sample(const particle_data &data, const measured &m, const std::vector<keyed_index> &order,
                 check_sample *sample) {
  sample->sorted_radii.reserve(order.size());
  for (const keyed_index &entry : order) sample->sorted_radii.push_back(m.radii[entry.index]);
  const size_t stride = (m.finite.size() + 19999) / 20000;
  for (size_t j = 0; j < m.finite.size(); j += stride) {
    sample->speed_radii.push_back(m.radii[j]);
    sample->speeds.push_back(m.speeds[j]);
    const double *x = &data.pos[3 * m.finite[j]], *v = &data.vel[3 * m.finite[j]];
    if (m.radii[j] > 0.0) sample->pos_cos_theta.push_back(std::clamp(x[2] / m.radii[j], -1.0, 1.0));
    if (m.speeds[j] > 0.0) sample->vel_cos_theta.push_back(std::clamp(v[2] / m.speeds[j], -1.0, 1.0));
  }
}

}  // namespace

void model_centre_variance(const check_model &model, double n, double variance[3]) {
  // Shares of <r^2> on each axis: 1/4, 1/4, 1/2 when the polar angle is
  // uniform in the angle (<cos^2> = 1/2), a third each when isotropic.
  const double share[3] = {model.equilibrium ? 1.0 / 3.0 : 0.25, model.equilibrium ? 1.0 / 3.0 : 0.25,
                           model.equilibrium ? 1.0 / 3.0 : 0.5};
  const double second_moment = model_second_radial_moment(model);
  for (int k = 0; k < 3; ++k) variance[k] = second_moment * share[k] / n;
}

check_result run_checks(const particle_data &data, const check_options &options) {
  check_result result;
  std::vector<check_line> &lines = result.lines;
  lines.push_back(check_count(data, options));
  if (data.nb_element > 0) {
    lines.push_back(check_total_mass(data, options.model));
    lines.push_back(check_equal_masses(data));
    const measured m = measure(data, options.model);
    lines.push_back(check_finite(data, m));
    if (m.finite.empty()) {
      lines.push_back({"statistics", "no particle with finite values", verdict_fail});
    } else {
      // The direction tests run on a second thread while this one checks
      // radii and speeds: the angles and their sorts take most of the time.
      auto directions = std::async(std::launch::async, [&] { return check_directions(data, m, options); });
      lines.push_back(check_centre(m, options));
      lines.push_back(check_cut_off(m, options.model));
      lines.push_back(check_escape(m));
      std::vector<keyed_index> order;
      lines.push_back(check_radii(m, options, &order));
      lines.push_back(check_speeds(m, options));
      for (check_line &line : directions.get()) lines.push_back(std::move(line));
      lines.push_back(info_momentum(m));
      lines.push_back(info_particle_virial(data, m, order));
      lines.push_back(info_model_virial(data, m, options.model));
      fill_sample(data, m, order, &result.sample);
    }
  }
  result.passed = std::none_of(lines.begin(), lines.end(),
                               [](const check_line &line) { return line.verdict == verdict_fail; });
  return result;
}
