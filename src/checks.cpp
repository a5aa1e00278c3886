#include "checks.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <future>
#include <memory>
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

// A figure that may be beyond the range of a double: said, not "inf"; a
// huge one in exponent form, so that it cannot stretch the report.
std::string figure(const char *pattern, double value) {
  if (std::isnan(value)) return "not computable";
  if (std::isinf(value)) return value > 0 ? "beyond the range of a double" : "below the range of a double";
  if (std::fabs(value) >= 1e6) {
    std::string exponent_form = pattern;
    const size_t at = exponent_form.find("%.");
    exponent_form.replace(at, exponent_form.find_first_of("fg", at) - at + 1, "%.4e");
    return format(exponent_form.c_str(), value);
  }
  return format(pattern, value);
}

// Length of a vector, finite for every finite vector whose length a double
// can hold: squares overflow from 1.3e154.
double length_of(double x, double y, double z) {
  const double squares = x * x + y * y + z * z;
  if (std::isfinite(squares) && squares > 1e-300) return std::sqrt(squares);
  return std::hypot(x, y, z);
}

check_line ks_line_for(const std::string &name, double d, size_t count, double threshold) {
  const double n = static_cast<double>(count);
  const double p = ks_p_value(d, n);
  return {name, format("KS D = %.5f, p = %.3g (n = %.0f)", d, p, n),
          p < threshold ? verdict_fail : verdict_pass};
}

std::string virial_figure(double kinetic, long double potential) {
  if (!(potential < 0.0L)) return "undefined (no potential energy)";
  return figure("%.4f", 2.0 * kinetic / std::fabs(static_cast<double>(potential)));
}

// A particle's radius, its key (the enclosed-mass fraction) and its mass:
// one sort by key serves the radius test, the virial ratio and the picture.
struct radius_entry {
  float key, radius, mass;
};

}  // namespace

struct check_accumulator {
  check_options options;
  gal_system sys{};
  std::unique_ptr<speed_cdf> defined_speeds;
  std::unique_ptr<equilibrium_speed_cdf> equilibrium_speeds;

  int64_t count = 0;
  long double mass_sum = 0.0L;
  double first_mass = 0.0;
  size_t unequal = 0;

  // Over the particles whose every value is finite:
  size_t finite = 0;
  long double weight = 0.0L, speed2_sum = 0.0L, model_potential = 0.0L;
  long double centre_sum[3] = {0, 0, 0}, momentum_sum[3] = {0, 0, 0};
  double widest = 0.0, fastest = 0.0;
  size_t beyond = 0, too_fast = 0;
  std::vector<radius_entry> radii;
  std::vector<float> speed_u, pos_azimuth, pos_polar, vel_azimuth, vel_polar;
  // Every stride-th finite particle, for the picture: at most 20 000.
  size_t stride = 1;
  check_sample sample;
};

namespace {

// Azimuth and polar angle of a vector as uniform variates of the direction
// law (polar angle uniform in the angle, or in its cosine), skipped for the
// zero vector.
void push_angles(double x, double y, double z, bool isotropic, std::vector<float> *azimuths,
                 std::vector<float> *polars) {
  const double length = length_of(x, y, z);
  if (!(length > 0.0) || !std::isfinite(length)) return;
  const double cos_theta = std::clamp(z / length, -1.0, 1.0);
  azimuths->push_back(static_cast<float>((std::atan2(y, x) + pi) / (2.0 * pi)));
  polars->push_back(static_cast<float>(isotropic ? (cos_theta + 1.0) / 2.0 : std::acos(cos_theta) / pi));
}

// The speed's probability under the speed law at radius r, or -1 where the
// law gives none (the centre).
double speed_variate(const check_accumulator &acc, double r, double speed, double escape) {
  const double a = acc.options.model.typical_length;
  if (!(escape > 0.0)) return -1.0;
  if (acc.options.model.equilibrium) return (*acc.equilibrium_speeds)(speed / escape, r / (r + a));
  const double e_max = std::sqrt(r / (r + a));
  return e_max > 0.0 ? (*acc.defined_speeds)(speed, e_max, escape) : -1.0;
}

void keep_for_picture(check_accumulator *acc, double r, double speed, const double *x, const double *v) {
  check_sample &s = acc->sample;
  if (acc->finite % acc->stride != 0) return;
  s.speed_radii.push_back(r);
  s.speeds.push_back(speed);
  s.pos_cos_theta.push_back(r > 0.0 ? std::clamp((x[2] - acc->options.model.centre[2]) / r, -1.0, 1.0) : 0.0);
  s.vel_cos_theta.push_back(speed > 0.0 ? std::clamp(v[2] / speed, -1.0, 1.0) : 0.0);
  if (s.speeds.size() < 20000) return;
  // Keep every other one and take half as many from now on.
  for (std::vector<double> *values : {&s.speed_radii, &s.speeds, &s.pos_cos_theta, &s.vel_cos_theta}) {
    for (size_t i = 0; 2 * i < values->size(); ++i) (*values)[i] = (*values)[2 * i];
    values->resize((values->size() + 1) / 2);
  }
  acc->stride *= 2;
}

// Everything the checks keep of one particle with finite values.
void add_finite(check_accumulator *acc, const double *x, const double *v, double mass) {
  const check_model &model = acc->options.model;
  const double *c0 = model.centre;
  const double dx = x[0] - c0[0], dy = x[1] - c0[1], dz = x[2] - c0[2];
  const double r = length_of(dx, dy, dz), speed = length_of(v[0], v[1], v[2]);
  const double escape = model.equilibrium ? compute_equilibrium_escape_velocity_function(&acc->sys, r)
                                          : compute_escape_velocity_function(&acc->sys, r);
  acc->weight += mass;
  for (int k = 0; k < 3; ++k) {
    acc->centre_sum[k] += static_cast<long double>(mass) * (x[k] - c0[k]);
    acc->momentum_sum[k] += static_cast<long double>(mass) * v[k];
    acc->speed2_sum += static_cast<long double>(mass) * v[k] * v[k];
  }
  acc->widest = std::max(acc->widest, r / model.radius_max);
  acc->beyond += r > model.radius_max * (1.0 + 1e-12) + 1e-5;
  acc->fastest = std::max(acc->fastest, speed / escape);
  acc->too_fast += speed > escape * (1.0 + 1e-12) + 1e-5;
  const double fraction = compute_enclosed_mass_fraction_function(&acc->sys, std::min(r, model.radius_max));
  if (r > 0.0) acc->model_potential -= model_gravitational_constant * mass * model.total_mass * fraction / r;
  acc->radii.push_back({static_cast<float>(fraction), static_cast<float>(std::min(r, 3e38)),
                        static_cast<float>(mass)});
  const double u = speed_variate(*acc, r, speed, escape);
  if (u >= 0.0) acc->speed_u.push_back(static_cast<float>(u));
  push_angles(dx, dy, dz, model.equilibrium, &acc->pos_azimuth, &acc->pos_polar);
  push_angles(v[0], v[1], v[2], model.equilibrium, &acc->vel_azimuth, &acc->vel_polar);
  keep_for_picture(acc, r, speed, x, v);
  ++acc->finite;
}

check_line ks_line_of(const std::string &name, std::vector<float> *u, double threshold) {
  if (u->empty()) return {name, "no particle to test", verdict_fail};
  return ks_line_for(name, ks_statistic_sorting(u), u->size(), threshold);
}

check_line check_count(const check_accumulator &acc) {
  const int64_t n = acc.count, expected = acc.options.expected_count;
  std::string text = format("%lld particle%s", static_cast<long long>(n), n == 1 ? "" : "s");
  if (expected >= 0 && expected != n) text += format(", expected %lld", static_cast<long long>(expected));
  // No galaxy follows the model with no particle, unless none was asked for.
  const bool ok = expected >= 0 ? expected == n : n > 0;
  if (n == 0 && !ok) text += ": no galaxy";
  return {"particle count", text, ok ? verdict_pass : verdict_fail};
}

check_line check_masses(const check_accumulator &acc, check_line *equal) {
  const double total = static_cast<double>(acc.mass_sum), model = acc.options.model.total_mass;
  *equal = {"equal masses", format("%zu differ from the first", acc.unequal),
            acc.unequal == 0 ? verdict_pass : verdict_fail};
  return {"total mass", figure("%.6g kg", total) + format(", model %.6g kg", model),
          std::fabs(total - model) <= 1e-9 * std::fabs(model) ? verdict_pass : verdict_fail};
}

check_line check_finite(const check_accumulator &acc) {
  const size_t bad = static_cast<size_t>(acc.count) - acc.finite;
  return {"finite values", format("%zu particle%s with a non-finite value", bad, bad == 1 ? "" : "s"),
          bad == 0 ? verdict_pass : verdict_fail};
}

// The offset of the centre of mass against the model's own scatter of a
// mean of n positions: one outlier cannot inflate it and hide itself.
check_line check_centre(const check_accumulator &acc) {
  double variance[3];
  model_centre_variance(acc.options.model, static_cast<double>(acc.finite), variance);
  double chi_square = 0.0, centre[3];
  for (int k = 0; k < 3; ++k) {
    centre[k] = static_cast<double>(acc.centre_sum[k] / acc.weight);
    chi_square += centre[k] * centre[k] / variance[k];
  }
  const double offset = length_of(centre[0], centre[1], centre[2]);
  const double p = chi_square_3_upper_tail(chi_square);
  if (std::isnan(p) || !(acc.weight > 0.0L)) return {"centre of mass", "not computable", verdict_fail};
  return {"centre of mass",
          "offset " + figure("%.4g a", offset / acc.options.model.typical_length) +
              format(", p = %.3g", p),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

std::vector<check_line> check_bounds(const check_accumulator &acc) {
  return {{"within cut-off", "largest radius " + figure("%.6f r_max", acc.widest) + format(", %zu beyond", acc.beyond),
           acc.beyond == 0 ? verdict_pass : verdict_fail},
          {"below escape speed",
           "largest speed " + figure("%.6f v_esc", acc.fastest) + format(", %zu above", acc.too_fast),
           acc.too_fast == 0 ? verdict_pass : verdict_fail}};
}

std::vector<check_line> check_directions(check_accumulator *acc) {
  const double threshold = acc->options.threshold;
  const std::string polar = acc->options.model.equilibrium ? "cos polar angle" : "polar angle";
  return {ks_line_of("position azimuth", &acc->pos_azimuth, threshold),
          ks_line_of("position " + polar, &acc->pos_polar, threshold),
          ks_line_of("velocity azimuth", &acc->vel_azimuth, threshold),
          ks_line_of("velocity " + polar, &acc->vel_polar, threshold)};
}

// Radii in order of their enclosed-mass fraction: the KS test, W of the
// spherically averaged particles (each feels the mass inside its radius as
// a point at the centre), and the picture's radii.
std::vector<check_line> check_radii_and_virial(check_accumulator *acc) {
  std::vector<radius_entry> &radii = acc->radii;
  bucket_sort(&radii, [](const radius_entry &e) { return static_cast<double>(e.key); });
  const double d = ks_statistic_of_sorted(radii, [](const radius_entry &e) { return static_cast<double>(e.key); });
  long double potential = 0.0L, inside = 0.0L;
  for (const radius_entry &e : radii) {
    if (e.radius > 0.0f && inside > 0.0L) potential -= model_gravitational_constant * e.mass * inside / e.radius;
    inside += e.mass;
    acc->sample.sorted_radii.push_back(e.radius);
  }
  const double kinetic = 0.5 * static_cast<double>(acc->speed2_sum);
  return {ks_line_for("radius distribution", d, radii.size(), acc->options.threshold),
          {"virial ratio 2K/|W|", virial_figure(kinetic, potential), verdict_info},
          {"virial ratio, model W", virial_figure(kinetic, acc->model_potential), verdict_info}};
}

check_line info_momentum(const check_accumulator &acc) {
  const double rms = std::sqrt(static_cast<double>(acc.speed2_sum / acc.weight));
  const long double *p = acc.momentum_sum;
  const double momentum = std::sqrt(static_cast<double>(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]));
  if (!(rms > 0.0)) return {"net momentum", "no motion: every particle at rest", verdict_info};
  return {"net momentum",
          figure("%.4g M v_rms", momentum / (static_cast<double>(acc.weight) * rms)) + figure(" (v_rms %.4g m/s)", rms),
          verdict_info};
}

void push_lines(std::vector<check_line> *lines, std::vector<check_line> more) {
  for (check_line &line : more) lines->push_back(std::move(line));
}

}  // namespace

check_accumulator *begin_checks(const check_options &options) {
  auto acc = std::make_unique<check_accumulator>();
  acc->options = options;
  acc->sys = model_record(options.model);
  const double a = options.model.typical_length, r_max = options.model.radius_max;
  if (options.model.equilibrium) {
    acc->equilibrium_speeds = std::make_unique<equilibrium_speed_cdf>(r_max / (r_max + a));
  } else {
    acc->defined_speeds = std::make_unique<speed_cdf>(std::min(std::sqrt(r_max / (r_max + a)), 1.0 - 1e-9));
  }
  return acc.release();
}

void add_particles(check_accumulator *acc, const particle_data &chunk) {
  for (size_t i = 0; i < static_cast<size_t>(chunk.nb_element); ++i) {
    const double mass = chunk.mass[i];
    const double *x = &chunk.pos[3 * i], *v = &chunk.vel[3 * i];
    if (acc->count++ == 0) acc->first_mass = mass;
    acc->mass_sum += mass;
    acc->unequal += !(mass == acc->first_mass);
    bool finite = std::isfinite(mass);
    for (int k = 0; k < 3; ++k) finite = finite && std::isfinite(x[k]) && std::isfinite(v[k]);
    // Statistics use the finite particles only: one bad value fails its own
    // check and no other.
    if (finite) add_finite(acc, x, v, mass);
  }
}

check_result finish_checks(check_accumulator *accumulator) {
  std::unique_ptr<check_accumulator> acc(accumulator);
  check_result result;
  std::vector<check_line> &lines = result.lines;
  lines.push_back(check_count(*acc));
  if (acc->count > 0) {
    check_line equal;
    lines.push_back(check_masses(*acc, &equal));
    lines.push_back(equal);
    lines.push_back(check_finite(*acc));
    if (acc->finite == 0) {
      lines.push_back({"statistics", "no particle with finite values", verdict_fail});
    } else {
      // The sorts behind the tests take most of this time: the direction
      // tests and the speed test sort on threads of their own while this one
      // sorts the radii.
      auto directions = std::async(std::launch::async, [&] { return check_directions(acc.get()); });
      auto speeds = std::async(std::launch::async, [&] {
        return ks_line_of("speed distribution", &acc->speed_u, acc->options.threshold);
      });
      lines.push_back(check_centre(*acc));
      push_lines(&lines, check_bounds(*acc));
      std::vector<check_line> radii = check_radii_and_virial(acc.get());
      lines.push_back(radii[0]);
      lines.push_back(speeds.get());
      push_lines(&lines, directions.get());
      lines.push_back(info_momentum(*acc));
      lines.push_back(radii[1]);
      lines.push_back(radii[2]);
      result.sample = std::move(acc->sample);
    }
  }
  result.passed = std::none_of(lines.begin(), lines.end(),
                               [](const check_line &line) { return line.verdict == verdict_fail; });
  return result;
}

check_result run_checks(const particle_data &data, const check_options &options) {
  check_accumulator *acc = begin_checks(options);
  add_particles(acc, data);
  return finish_checks(acc);
}

void model_centre_variance(const check_model &model, double n, double variance[3]) {
  // Shares of <r^2> on each axis: 1/4, 1/4, 1/2 when the polar angle is
  // uniform in the angle (<cos^2> = 1/2), a third each when isotropic.
  const double share[3] = {model.equilibrium ? 1.0 / 3.0 : 0.25, model.equilibrium ? 1.0 / 3.0 : 0.25,
                           model.equilibrium ? 1.0 / 3.0 : 0.5};
  const double second_moment = model_second_radial_moment(model);
  for (int k = 0; k < 3; ++k) variance[k] = second_moment * share[k] / n;
}
