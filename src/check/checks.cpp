#include "checks.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <future>
#include <memory>
#include <utility>

#include "check_statistics.h"
#include "check_text.h"
#include "equilibrium_law.h"
#include "random_coord.h"
#include "reference.h"

// Outside the namespace below: the disc's checks write their lines with it too.
std::string format_text(const char *pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

namespace {

constexpr double pi = 3.14159265358979323846;


// A figure that may be beyond the range of a double: said, not "inf"; a
// huge one in exponent form, so that it cannot stretch the report.
std::string figure(const char *pattern, double value) {
  if (std::isnan(value)) return "not computable";
  if (std::isinf(value)) return value > 0 ? "beyond the range of a double" : "below the range of a double";
  if (std::fabs(value) >= 1e6) {
    std::string exponent_form = pattern;
    const size_t at = exponent_form.find("%.");
    exponent_form.replace(at, exponent_form.find_first_of("fg", at) - at + 1, "%.4e");
    return format_text(exponent_form.c_str(), value);
  }
  return format_text(pattern, value);
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
  return {name, format_text("KS D = %.5f, p = %.3g (n = %.0f)", d, p, n),
          p < threshold ? verdict_fail : verdict_pass};
}

std::string virial_figure(double kinetic, long double potential) {
  if (!(potential < 0.0L)) return "undefined (no potential energy)";
  return figure("%.4f", 2.0 * kinetic / std::fabs(static_cast<double>(potential)));
}

// A particle's radius, its key (the enclosed-mass fraction), its mass and
// its squared speed: one sort by key serves the radius test, the virial
// ratio in the sample's own potential and the picture.
struct radius_entry {
  float key, radius, mass, speed2;
};

// The Jeans test's radial bins: fine ones of equal model mass, grouped at
// the end into as many as the sample fills.
constexpr int jeans_fine_bins = 64;
constexpr int jeans_bins_max = 16;
constexpr double jeans_bin_least = 500.0;  // particles a group holds at least

// Sums over a bin's particles of a = v_r^2 - sigma_r^2(r) and b = v_t^2 -
// sigma_t^2(r) (model units): their means are 0 in the model, and the
// sample's own second moments give the means' covariance.
struct jeans_sums {
  double n = 0.0;
  long double a = 0, b = 0, aa = 0, bb = 0, ab = 0, r = 0, s_r = 0, s_t = 0;  // s: the model's sigma^2
};

// A particle's radius, speed, their parts off the z axis, and the uniform
// variates of its position's and velocity's directions (NaN for a zero
// vector).
struct recentred_entry {
  float radius, speed, radius_xy, speed_xy, angles[4];
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
  long double centre_sum[3] = {0, 0, 0}, momentum_sum[3] = {0, 0, 0}, radius2_sum = 0.0L;
  double widest = 0.0, fastest = 0.0;
  double largest_offset = 0.0, largest_velocity = 0.0;  // components, for rounding bounds
  // Under zero_com, what the bounds and direction tests need of each
  // particle: they allow for the subtracted mean, known only at the end.
  std::vector<recentred_entry> recentred;
  // Under a profile, v_r^2, v_t^2 and r^2 summed in four shells split at the
  // model's quartiles of mass, for the anisotropy against the model's.
  double shell_edges[3] = {0, 0, 0};
  long double shell_vr2[4] = {0, 0, 0, 0}, shell_vt2[4] = {0, 0, 0, 0}, shell_r2[4] = {0, 0, 0, 0};  // r2: model beta
  double shell_count[4] = {0, 0, 0, 0};
  size_t beyond = 0, too_fast = 0;
  // Under a profile, the Jeans equation's dispersions from the density
  // formula alone, and the bins of the test against them.
  std::unique_ptr<jeans_reference> reference;
  std::string reference_failure;
  // A model whose mean square radius diverges has its centre judged from
  // the particles within centre_radius (m) of it, as galaxy-ic --zero-com
  // takes it: their mass, mass-weighted offsets and squared radii.
  double centre_radius = 0.0;
  long double inner_weight = 0.0L, inner_sum[3] = {0, 0, 0}, inner_r2 = 0.0L;
  size_t inner_count = 0;
  jeans_sums jeans[jeans_fine_bins];
  id_tally ids;
  // What each of these costs a particle, check_bytes_per_particle counts:
  // keep it in step.
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
void direction_variates(double x, double y, double z, bool isotropic, float *azimuth, float *polar) {
  const double length = length_of(x, y, z);
  if (!(length > 0.0) || !std::isfinite(length)) {
    *azimuth = *polar = std::nanf("");
    return;
  }
  const double cos_theta = std::clamp(z / length, -1.0, 1.0);
  *azimuth = static_cast<float>((std::atan2(y, x) + pi) / (2.0 * pi));
  *polar = static_cast<float>(isotropic ? (cos_theta + 1.0) / 2.0 : std::acos(cos_theta) / pi);
}

void push_angles(const float variates[2], std::vector<float> *azimuths, std::vector<float> *polars) {
  if (std::isnan(variates[0])) return;
  azimuths->push_back(variates[0]);
  polars->push_back(variates[1]);
}

void add_to_shells(check_accumulator *acc, double r, const double *v, const double *d) {
  int shell = 0;
  while (shell < 3 && r >= acc->shell_edges[shell]) ++shell;
  double v_r = 0.0, v2 = 0.0;
  for (int k = 0; k < 3; ++k) {
    v_r += r > 0.0 ? v[k] * d[k] / r : 0.0;
    v2 += v[k] * v[k];
  }
  acc->shell_vr2[shell] += v_r * v_r;
  acc->shell_vt2[shell] += v2 - v_r * v_r;
  // The model's beta at this radius, averaged over the shell's particles.
  const double r_a = acc->options.model.profile->anisotropy_radius * acc->options.model.typical_length;
  acc->shell_r2[shell] += r_a > 0.0 ? r * r / (r * r + r_a * r_a) : 0.0;
  acc->shell_count[shell] += 1.0;
}

// Under a profile, the velocity in the frame of the position (unit d): its
// speed variable w (model units) and the uniform variates of its direction
// in w-space, where it is isotropic: (cos + 1) / 2 of the angle to the
// radius, and the angle of its tangential part about it.
void profile_velocity(const check_accumulator &acc, const double *d, double r, const double *v, double *w,
                      float angles[2], double *radial_speed, double *tangential2) {
  const check_model &model = acc.options.model;
  const double a = model.typical_length, unit = std::sqrt(model_gravitational_constant * model.total_mass / a);
  const double cos_theta = r > 0.0 ? std::clamp(d[2] / r, -1.0, 1.0) : 1.0, phi = std::atan2(d[1], d[0]);
  const double sin_theta = std::sqrt(1.0 - cos_theta * cos_theta);
  const double radial[3] = {sin_theta * std::cos(phi), sin_theta * std::sin(phi), cos_theta};
  const double polar[3] = {cos_theta * std::cos(phi), cos_theta * std::sin(phi), -sin_theta};
  const double azimuthal[3] = {-std::sin(phi), std::cos(phi), 0.0};
  double v_r = 0.0, v_p = 0.0, v_a = 0.0;
  for (int k = 0; k < 3; ++k) {
    v_r += v[k] * radial[k] / unit;
    v_p += v[k] * polar[k] / unit;
    v_a += v[k] * azimuthal[k] / unit;
  }
  const double r_a = model.profile->anisotropy_radius, x = r / a;
  const double stretch = r_a > 0.0 ? std::sqrt(1.0 + (x / r_a) * (x / r_a)) : 1.0;
  *w = std::sqrt(v_r * v_r + stretch * stretch * (v_p * v_p + v_a * v_a));
  *radial_speed = v_r;
  *tangential2 = v_p * v_p + v_a * v_a;
  angles[0] = static_cast<float>(std::atan2(v_a, v_p) / (2.0 * pi) + 0.5);
  angles[1] = static_cast<float>(*w > 0.0 ? (std::clamp(v_r / *w, -1.0, 1.0) + 1.0) / 2.0 : std::nan(""));
  if (!(*w > 0.0)) angles[0] = std::nanf("");
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

// The model's enclosed-mass fraction at r (m): a profile's from the
// density alone, not from the tables the particles were drawn from.
double mass_fraction(const check_accumulator &acc, double r) {
  if (acc.reference != nullptr) return reference_mass_fraction(*acc.reference, r / acc.options.model.typical_length);
  return model_mass_fraction(acc.options.model, acc.sys, r);
}

// One particle's squared speeds against the Jeans equation's, in the fine
// bin of its enclosed-mass fraction (model units).
void add_to_jeans(check_accumulator *acc, double r, double fraction, double v_r2, double v_t2) {
  const int bin = std::clamp(static_cast<int>(fraction * jeans_fine_bins), 0, jeans_fine_bins - 1);
  const double s_r = reference_sigma_r2(*acc->reference, r), s_t = reference_sigma_t2(*acc->reference, r);
  const long double a = v_r2 - s_r, b = v_t2 - s_t;
  jeans_sums &sums = acc->jeans[bin];
  sums.n += 1.0;
  sums.a += a, sums.b += b, sums.aa += a * a, sums.bb += b * b, sums.ab += a * b, sums.r += r;
  sums.s_r += s_r, sums.s_t += s_t;
}

// Everything the checks keep of one particle with finite values.
void add_finite(check_accumulator *acc, const double *x, const double *v, double mass) {
  const check_model &model = acc->options.model;
  const double *c0 = model.centre;
  const double dx = x[0] - c0[0], dy = x[1] - c0[1], dz = x[2] - c0[2];
  const double r = length_of(dx, dy, dz), speed = length_of(v[0], v[1], v[2]);
  const double escape = model_escape_speed(model, acc->sys, r);
  acc->weight += mass;
  const double offsets[3] = {dx, dy, dz};
  for (int k = 0; k < 3; ++k) {
    acc->centre_sum[k] += static_cast<long double>(mass) * offsets[k];
    acc->momentum_sum[k] += static_cast<long double>(mass) * v[k];
    acc->speed2_sum += static_cast<long double>(mass) * v[k] * v[k];
    acc->largest_offset = std::max(acc->largest_offset, std::fabs(x[k]));
    acc->largest_velocity = std::max(acc->largest_velocity, std::fabs(v[k] + model.bulk_velocity[k]));
  }
  acc->radius2_sum += static_cast<long double>(r) * r;
  if (r < acc->centre_radius) {
    acc->inner_weight += mass;
    for (int k = 0; k < 3; ++k) acc->inner_sum[k] += static_cast<long double>(mass) * offsets[k];
    acc->inner_r2 += static_cast<long double>(mass) * r * r;
    ++acc->inner_count;
  }
  acc->widest = std::max(acc->widest, r / model.radius_max);
  const double rounding = 1.0 + std::max(1e-12, 4.0 * acc->options.position_rounding);
  acc->beyond += r > model.radius_max * rounding + 1e-5;
  acc->fastest = std::max(acc->fastest, speed / escape);
  acc->too_fast += speed > escape * rounding + 1e-5;
  const double fraction = mass_fraction(*acc, r);
  if (r > 0.0) acc->model_potential -= model_gravitational_constant * mass * model.total_mass * fraction / r;
  acc->radii.push_back({static_cast<float>(fraction), static_cast<float>(std::min(r, 3e38)),
                        static_cast<float>(mass), static_cast<float>(std::min(speed * speed, 3e38))});
  recentred_entry entry{static_cast<float>(r), static_cast<float>(speed), static_cast<float>(std::hypot(dx, dy)),
                        static_cast<float>(std::hypot(v[0], v[1])), {}};
  const bool isotropic = model.equilibrium || model.profile != nullptr;
  direction_variates(dx, dy, dz, isotropic, &entry.angles[0], &entry.angles[1]);
  double u = -1.0;
  if (model.profile != nullptr) {
    double w = 0.0;
    double v_r = 0.0, v_t2 = 0.0;
    profile_velocity(*acc, offsets, r, v, &w, &entry.angles[2], &v_r, &v_t2);
    u = r > 0.0 ? profile_speed_cdf(*model.profile, r / model.typical_length, w) : -1.0;
    add_to_shells(acc, r, v, offsets);
    if (acc->reference != nullptr) add_to_jeans(acc, r / model.typical_length, fraction, v_r * v_r, v_t2);
  } else {
    u = speed_variate(*acc, r, speed, escape);
    direction_variates(v[0], v[1], v[2], model.equilibrium, &entry.angles[2], &entry.angles[3]);
  }
  if (u >= 0.0) acc->speed_u.push_back(static_cast<float>(u));
  if (model.zero_com) {
    acc->recentred.push_back(entry);
  } else {
    push_angles(entry.angles, &acc->pos_azimuth, &acc->pos_polar);
    push_angles(entry.angles + 2, &acc->vel_azimuth, &acc->vel_polar);
  }
  keep_for_picture(acc, r, speed, x, v);
  ++acc->finite;
}

// The radii of the model's quartiles of mass, by bisection.
void set_shell_edges(check_accumulator *acc) {
  const check_model &model = acc->options.model;
  for (int k = 0; k < 3; ++k) {
    double lo = 0.0, hi = model.radius_max;
    for (int i = 0; i < 200; ++i) {
      const double mid = 0.5 * (lo + hi);
      (mass_fraction(*acc, mid) < 0.25 * (k + 1) ? lo : hi) = mid;
    }
    acc->shell_edges[k] = 0.5 * (lo + hi);
  }
}

check_line ks_line_of(const std::string &name, std::vector<float> *u, double threshold) {
  if (u->empty()) return {name, "no particle to test", verdict_fail};
  return ks_line_for(name, ks_statistic_sorting(u), u->size(), threshold);
}

check_line check_count(const check_accumulator &acc) {
  const int64_t n = acc.count, expected = acc.options.expected_count;
  std::string text = format_text("%lld particle%s", static_cast<long long>(n), n == 1 ? "" : "s");
  if (expected >= 0 && expected != n) text += format_text(", expected %lld", static_cast<long long>(expected));
  // No galaxy follows the model with no particle, unless none was asked for.
  const bool ok = expected >= 0 ? expected == n : n > 0;
  if (n == 0 && !ok) text += ": no galaxy";
  return {"particle count", text, ok ? verdict_pass : verdict_fail};
}

// The total within what the stored masses allow: each float32 mass is
// within 2^-24 of the model's, so their sum within 2^-24 of its total.
check_line check_masses(const check_accumulator &acc, check_line *equal) {
  const double total = static_cast<double>(acc.mass_sum);
  const double model = acc.options.model.component_mass > 0.0 ? acc.options.model.component_mass : acc.options.model.total_mass;
  *equal = {"equal masses", format_text("%zu differ from the first", acc.unequal),
            acc.unequal == 0 ? verdict_pass : verdict_fail};
  const double allowed = std::max(1e-9, acc.options.mass_rounding * (1.0 + 1e-6));
  const double difference = std::fabs(total - model) / std::fabs(model);
  const bool ok = std::fabs(total - model) <= allowed * std::fabs(model);
  std::string text = figure("%.6g kg", total) + format_text(", model %.6g kg", model);
  // A failing figure shows the digits it failed on.
  if (!ok && std::isfinite(total)) {
    text = format_text("%.12g kg, model %.12g kg, relative difference %.3g, allowed %.3g", total, model, difference, allowed);
  }
  return {"total mass", text, ok ? verdict_pass : verdict_fail};
}

check_line check_finite(const check_accumulator &acc) {
  const size_t bad = static_cast<size_t>(acc.count) - acc.finite;
  return {"finite values", format_text("%zu particle%s with a non-finite value", bad, bad == 1 ? "" : "s"),
          bad == 0 ? verdict_pass : verdict_fail};
}

// The most a subtracted mean can leave by rounding: a few ulps of the
// largest component (of float32 when stored so), and the six decimals of
// an SI text file.
double rounding_bound(const check_accumulator &acc, double largest) {
  return std::max(1e-12, 4.0 * acc.options.position_rounding) * largest + 1e-6;
}

// Under zero_com: the centre of mass is the centre to rounding.
// The centre the checks judge, m: the mean offset of every particle, or of
// those within centre_radius.
void judged_centre(const check_accumulator &acc, double centre[3]) {
  const bool inner = acc.centre_radius > 0.0;
  for (int k = 0; k < 3; ++k) {
    centre[k] = static_cast<double>(inner ? acc.inner_sum[k] / acc.inner_weight : acc.centre_sum[k] / acc.weight);
  }
}

// What the centre's line says of the particles it is taken from.
std::string centre_basis(const check_accumulator &acc) {
  if (!(acc.centre_radius > 0.0)) return std::string();
  return figure(" (of the particles within %.4g a, 90 %% of the mass: the mean square radius diverges)",
                acc.centre_radius / acc.options.model.typical_length);
}

// Under zero_com the centre is the model's to rounding; within a radius,
// also to a particle or two whose rounded radius crosses it.
check_line check_zero_centre(const check_accumulator &acc) {
  double centre[3];
  judged_centre(acc, centre);
  const double offset = length_of(centre[0], centre[1], centre[2]);
  // Within a radius: values up to it, and two particles' rounding across it.
  const bool inner = acc.centre_radius > 0.0;
  const double bound = inner ? rounding_bound(acc, acc.centre_radius) +
                                   2.0 * acc.centre_radius / std::max<double>(1.0, static_cast<double>(acc.inner_count))
                             : rounding_bound(acc, acc.largest_offset);
  if (acc.centre_radius > 0.0 && acc.inner_count == 0) return {"centre of mass", "no particle within the centre's radius", verdict_fail};
  return {"centre of mass",
          "offset " + figure("%.4g m", offset) + figure(", rounding allows %.4g m", bound) + centre_basis(acc),
          offset <= bound ? verdict_pass : verdict_fail};
}

// The offset of the centre of mass against the model's own scatter of a
// mean of n positions: one outlier cannot inflate it and hide itself.
check_line check_centre(const check_accumulator &acc) {
  if (acc.options.model.zero_com && !acc.options.model.part_of_whole) return check_zero_centre(acc);
  double variance[3], centre[3];
  judged_centre(acc, centre);
  if (acc.centre_radius > 0.0) {
    // An isotropic mean of inner_count offsets: <r^2> / 3 of theirs each axis.
    const double n = static_cast<double>(acc.inner_count);
    for (double &v : variance) v = static_cast<double>(acc.inner_r2 / acc.inner_weight) / (3.0 * n);
  } else {
    model_centre_variance(acc.options.model, static_cast<double>(acc.finite), variance);
  }
  double chi_square = 0.0;
  // A component of a galaxy whose whole mean was subtracted moved with it.
  for (int k = 0; k < 3; ++k) chi_square += centre[k] * centre[k] / (variance[k] + acc.options.model.shift_variance);
  const double offset = length_of(centre[0], centre[1], centre[2]);
  const double p = chi_square_3_upper_tail(chi_square);
  if (std::isnan(p) || !(acc.weight > 0.0L)) return {"centre of mass", "not computable", verdict_fail};
  return {"centre of mass",
          "offset " + figure("%.4g a", offset / acc.options.model.typical_length) + format_text(", p = %.3g", p) +
              centre_basis(acc),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

// The subtracted mean moved every particle by the sample's own offset from
// the model, a mean of n whose scatter is sigma_r, sigma_v (the root mean
// square over the three axes).
void recentring_scatter(const check_accumulator &acc, double *sigma_r, double *sigma_v) {
  const double n = static_cast<double>(acc.finite), inner = static_cast<double>(acc.inner_count);
  *sigma_r = acc.centre_radius > 0.0 && inner > 0.0
                 ? std::sqrt(static_cast<double>(acc.inner_r2 / acc.inner_weight) / inner)
                 : std::sqrt(static_cast<double>(acc.radius2_sum / n) / n);
  *sigma_v = std::sqrt(static_cast<double>(acc.speed2_sum / acc.weight) / n);
}

// Radii may then have moved by up to 6 sigma_r, speeds by 6 sigma_v, and
// the escape speed is the one at the radius before.
std::vector<check_line> check_bounds_after_zero_com(check_accumulator *acc) {
  double sigma_r, sigma_v;
  recentring_scatter(*acc, &sigma_r, &sigma_v);
  const double slack_r = 6.0 * sigma_r, slack_v = 6.0 * sigma_v;
  const double r_max = acc->options.model.radius_max;
  size_t beyond = 0, too_fast = 0;
  for (const recentred_entry &entry : acc->recentred) {
    const double r = entry.radius, speed = entry.speed, before = std::max(r - slack_r, 0.0);
    const double escape = model_escape_speed(acc->options.model, acc->sys, before);
    beyond += r > r_max + slack_r;
    too_fast += speed > escape + slack_v;
  }
  const std::string allowing = " (the subtracted mean allows " + figure("%.3g r_max", slack_r / r_max);
  return {{"within cut-off",
           "largest radius " + figure("%.6f r_max", acc->widest) + format_text(", %zu beyond", beyond) + allowing + ")",
           beyond == 0 ? verdict_pass : verdict_fail},
          {"below escape speed",
           "largest speed " + figure("%.6f v_esc", acc->fastest) + format_text(", %zu above", too_fast) + allowing +
               figure(" and %.4g m/s)", slack_v),
           too_fast == 0 ? verdict_pass : verdict_fail}};
}

std::vector<check_line> check_bounds(check_accumulator *accumulator) {
  if (accumulator->options.model.zero_com) return check_bounds_after_zero_com(accumulator);
  const check_accumulator &acc = *accumulator;
  return {{"within cut-off", "largest radius " + figure("%.6f r_max", acc.widest) + format_text(", %zu beyond", acc.beyond),
           acc.beyond == 0 ? verdict_pass : verdict_fail},
          {"below escape speed",
           "largest speed " + figure("%.6f v_esc", acc.fastest) + format_text(", %zu above", acc.too_fast),
           acc.too_fast == 0 ? verdict_pass : verdict_fail}};
}

// Under zero_com a particle's polar angle about the centre turned by up to
// sigma / r and its azimuth by sigma / r_xy, which the tests see in the cusp
// and near the axis: each is tested only where that is below 1/20.
void push_recentred_angles(check_accumulator *acc) {
  double sigma_r, sigma_v;
  recentring_scatter(*acc, &sigma_r, &sigma_v);
  for (std::vector<float> *angles : {&acc->pos_azimuth, &acc->pos_polar, &acc->vel_azimuth, &acc->vel_polar}) {
    angles->reserve(acc->recentred.size());
  }
  const double far_r = std::max(20.0 * sigma_r, acc->options.model.typical_length), far_v = 20.0 * sigma_v;
  for (const recentred_entry &e : acc->recentred) {
    if (std::isnan(e.angles[0])) continue;
    if (e.radius_xy > far_r) acc->pos_azimuth.push_back(e.angles[0]);
    if (e.radius > far_r) acc->pos_polar.push_back(e.angles[1]);
    if (std::isnan(e.angles[2])) continue;
    if (e.speed_xy > far_v) acc->vel_azimuth.push_back(e.angles[2]);
    if (e.speed > far_v) acc->vel_polar.push_back(e.angles[3]);
  }
}

std::vector<check_line> check_directions(check_accumulator *acc) {
  if (acc->options.model.zero_com) push_recentred_angles(acc);
  const double threshold = acc->options.threshold;
  const bool profile = acc->options.model.profile != nullptr;
  const std::string polar = acc->options.model.equilibrium || profile ? "cos polar angle" : "polar angle";
  return {ks_line_of("position azimuth", &acc->pos_azimuth, threshold),
          ks_line_of("position " + polar, &acc->pos_polar, threshold),
          ks_line_of(profile ? "velocity tangential angle" : "velocity azimuth", &acc->vel_azimuth, threshold),
          ks_line_of(profile ? "velocity radial cosine" : "velocity " + polar, &acc->vel_polar, threshold)};
}

// beta = 1 - <v_t^2> / 2 <v_r^2> in each shell, against the mean of the
// model's r^2 / (r^2 + r_a^2) over the shell's particles.
check_line info_anisotropy(const check_accumulator &acc) {
  std::string measured, model;
  for (int k = 0; k < 4; ++k) {
    const double beta = acc.shell_vr2[k] > 0.0L ? 1.0 - static_cast<double>(acc.shell_vt2[k] / (2.0L * acc.shell_vr2[k]))
                                                : std::nan("");
    measured += (k ? " " : "") + figure("%.3f", beta);
    model += (k ? " " : "") + figure("%.3f", static_cast<double>(acc.shell_r2[k]) / acc.shell_count[k]);
  }
  return {"anisotropy beta", "by mass quartile " + measured + ", model " + model, verdict_info};
}

// 2K/|W| in the sample's own potential, with W the exact monopole of the
// sorted radii (each pair counted once, at the outer radius), against 1
// in units of its sampling error. That error comes from the sample: to
// first order 2K and |W| move by sums over particles of m v^2 and m Psi_i,
// Psi_i the sample's potential at particle i, so
//   var(2K/|W|) = sum ((m v^2 - <m v^2>) - R (m Psi - <m Psi>))^2 / |W|^2.
check_line check_own_virial(const check_accumulator &acc, double kinetic, long double potential) {
  const std::vector<radius_entry> &radii = acc.radii;
  const size_t n = radii.size();
  const double w = -static_cast<double>(potential), ratio = 2.0 * kinetic / w;
  if (!(w > 0.0) || n < 2) return {"virial ratio 2K/|W|", "undefined (no potential energy)", verdict_fail};
  // Psi_i = G (M(< r_i) / r_i + sum over outer particles of m / r).
  std::vector<double> psi(n);
  long double outer = 0.0L;
  for (size_t i = n; i-- > 0;) {
    psi[i] = static_cast<double>(outer);
    if (radii[i].radius > 0.0f) outer += radii[i].mass / radii[i].radius;
  }
  long double inside = 0.0L, sum_a = 0.0L, sum_c = 0.0L;
  for (size_t i = 0; i < n; ++i) {
    const radius_entry &e = radii[i];
    if (e.radius > 0.0f) psi[i] += static_cast<double>(inside / e.radius);
    psi[i] *= model_gravitational_constant;
    inside += e.mass;
    sum_a += static_cast<long double>(e.mass) * e.speed2;
    sum_c += static_cast<long double>(e.mass) * psi[i];
  }
  const double mean_a = static_cast<double>(sum_a / n), mean_c = static_cast<double>(sum_c / n);
  long double spread = 0.0L;
  for (size_t i = 0; i < n; ++i) {
    const double deviation = (static_cast<double>(radii[i].mass) * radii[i].speed2 - mean_a) -
                             ratio * (static_cast<double>(radii[i].mass) * psi[i] - mean_c);
    spread += static_cast<long double>(deviation) * deviation;
  }
  const double error = std::sqrt(static_cast<double>(spread)) / w, p = normal_two_sided_p((ratio - 1.0) / error);
  return {"virial ratio 2K/|W|",
          figure("%.4f", ratio) + figure(" +- %.4f in the sample's own potential", error) + format_text(", p = %.3g", p),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

// In groups of equal model mass (as many as hold jeans_bin_least particles
// each, up to jeans_bins_max), the means of a and b against 0 in units of
// their covariance estimated from the sample: chi-square over the groups,
// two degrees of freedom each.
check_line check_jeans(const check_accumulator &acc) {
  int groups = jeans_bins_max;
  while (groups > 1 && static_cast<double>(acc.finite) < groups * jeans_bin_least) groups /= 2;
  const int per = jeans_fine_bins / groups;
  double chi2 = 0.0, worst = 0.0, worst_r = 0.0, worst_share = 0.0;
  int dof = 0;
  const char *worst_what = "v_r^2";
  for (int g = 0; g < groups; ++g) {
    jeans_sums t;
    long double s_r = 0.0L, s_t = 0.0L;
    for (int k = g * per; k < (g + 1) * per; ++k) {
      const jeans_sums &f = acc.jeans[k];
      t.n += f.n, t.a += f.a, t.b += f.b, t.aa += f.aa, t.bb += f.bb, t.ab += f.ab, t.r += f.r;
      s_r += f.s_r, s_t += f.s_t;
    }
    if (t.n < 3.0) continue;
    const double n = t.n, ma = static_cast<double>(t.a / n), mb = static_cast<double>(t.b / n);
    // Covariance of the two means.
    const double caa = (static_cast<double>(t.aa / n) - ma * ma) / (n - 1.0);
    const double cbb = (static_cast<double>(t.bb / n) - mb * mb) / (n - 1.0);
    const double cab = (static_cast<double>(t.ab / n) - ma * mb) / (n - 1.0);
    const double det = caa * cbb - cab * cab;
    if (!(caa > 0.0 && cbb > 0.0)) continue;
    chi2 += det > 0.0 ? (ma * ma * cbb - 2.0 * ma * mb * cab + mb * mb * caa) / det : ma * ma / caa + mb * mb / cbb;
    dof += 2;
    for (int part = 0; part < 2; ++part) {
      const double z = part == 0 ? ma / std::sqrt(caa) : mb / std::sqrt(cbb);
      if (std::fabs(z) > std::fabs(worst)) {
        worst = z, worst_r = static_cast<double>(t.r / n), worst_what = part == 0 ? "v_r^2" : "v_t^2";
        worst_share = part == 0 ? ma / static_cast<double>(s_r / n) : mb / static_cast<double>(s_t / n);
      }
    }
  }
  if (dof == 0) return {"Jeans equation", "too few particles to test", verdict_fail};
  const double p = chi_square_upper_tail(chi2, dof);
  return {"Jeans equation",
          format_text("chi2 = %.1f, %d dof, p = %.3g; worst %+.1f sigma (%+.2f %%) in <%s> at ", chi2, dof, p, worst,
                 100.0 * worst_share, worst_what) +
              figure("%.3g a", worst_r),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

// Radii in order of their enclosed-mass fraction: the KS test, W of the
// spherically averaged particles (each feels the mass inside its radius as
// a point at the centre), and the picture's radii.
std::vector<check_line> check_radii_and_virial(check_accumulator *acc) {
  std::vector<radius_entry> &radii = acc->radii;
  bucket_sort(&radii, [](const radius_entry &e) { return static_cast<double>(e.key); });
  const double d = ks_statistic_of_sorted(radii, [](const radius_entry &e) { return static_cast<double>(e.key); });
  long double potential = 0.0L, inside = 0.0L;
  acc->sample.sorted_radii.reserve(radii.size());
  for (const radius_entry &e : radii) {
    if (e.radius > 0.0f && inside > 0.0L) potential -= model_gravitational_constant * e.mass * inside / e.radius;
    inside += e.mass;
    acc->sample.sorted_radii.push_back(e.radius);
  }
  const double kinetic = 0.5 * static_cast<double>(acc->speed2_sum);
  // A component's virial ratio needs the whole galaxy's potential: the
  // galaxy's checks hold it.
  const bool equilibrium = acc->options.model.profile != nullptr && acc->options.model.components == nullptr;
  return {ks_line_for("radius distribution", d, radii.size(), acc->options.threshold),
          equilibrium ? check_own_virial(*acc, kinetic, potential)
                      : check_line{"virial ratio 2K/|W|", virial_figure(kinetic, potential), verdict_info},
          {"virial ratio, model W", virial_figure(kinetic, acc->model_potential), verdict_info}};
}

check_line info_momentum(const check_accumulator &acc) {
  const double rms = std::sqrt(static_cast<double>(acc.speed2_sum / acc.weight));
  const long double *p = acc.momentum_sum;
  const double momentum = std::sqrt(static_cast<double>(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]));
  if (acc.options.model.zero_com && !acc.options.model.part_of_whole) {
    // The mean velocity was made the bulk velocity: zero to rounding.
    const double mean = momentum / static_cast<double>(acc.weight), bound = rounding_bound(acc, acc.largest_velocity);
    return {"net momentum", "mean velocity " + figure("%.4g m/s", mean) + figure(", rounding allows %.4g m/s", bound),
            mean <= bound ? verdict_pass : verdict_fail};
  }
  if (!(rms > 0.0)) return {"net momentum", "no motion: every particle at rest", verdict_info};
  return {"net momentum",
          figure("%.4g M v_rms", momentum / (static_cast<double>(acc.weight) * rms)) + figure(" (v_rms %.4g m/s)", rms),
          verdict_info};
}

// A value of the header said in words when it is no number.
std::string header_value(double value) {
  if (std::isnan(value)) return "not a number";
  if (std::isinf(value)) return value > 0 ? "infinite" : "minus infinity";
  return format_text("%.6g", value);
}

// The header's box about the origin holds every particle, to the rounding
// of the stored values and, under zero_com, what the subtracted mean moved.
check_line check_box(const check_accumulator &acc) {
  const double box = acc.options.box_size;
  if (!std::isfinite(box) || !(box > 0.0)) {
    return {"box", "BoxSize is " + header_value(box) + ", not a finite size above 0", verdict_fail};
  }
  double slack = 0.0, sigma_r = 0.0, sigma_v = 0.0;
  if (acc.options.model.zero_com) {
    recentring_scatter(acc, &sigma_r, &sigma_v);
    slack = 6.0 * sigma_r;
  }
  const double half = box / 2.0, rounding = 1.0 + std::max(1e-12, 4.0 * acc.options.position_rounding);
  const bool ok = acc.largest_offset <= half * rounding + slack + 1e-5;
  return {"box", "largest |coordinate| " + figure("%.6f BoxSize/2", acc.largest_offset / half) + format_text(" (BoxSize %.4g m)", box),
          ok ? verdict_pass : verdict_fail};
}

check_line check_ids(const check_accumulator &acc) {
  const id_verdict v = judge_ids(acc.ids, acc.options.ids, acc.options.ids_note);
  return {"ids", v.figure, v.informative ? verdict_info : v.passed ? verdict_pass : verdict_fail};
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
  if (options.model.profile != nullptr) {
    // The law's parameters only: the reference reads no table of the model.
    acc->reference = std::make_unique<jeans_reference>();
    const bool built = options.model.components != nullptr
                           ? build_component_reference(*options.model.components, options.model.black_hole,
                                                       options.model.component, acc->reference.get(),
                                                       &acc->reference_failure)
                           : build_jeans_reference(options.model.profile->law, options.model.profile->anisotropy_radius,
                                                   acc->reference.get(), &acc->reference_failure);
    if (!built) acc->reference.reset();
    if (options.model.centre_radius > 0.0) {
      acc->centre_radius = options.model.centre_radius;
    } else if (acc->reference != nullptr && mean_square_radius_diverges(options.model.profile->law)) {
      acc->centre_radius = reference_radius_of_fraction(*acc->reference, 0.9) * a;
    }
    set_shell_edges(acc.get());
  } else if (options.model.equilibrium) {
    acc->equilibrium_speeds = std::make_unique<equilibrium_speed_cdf>(r_max / (r_max + a));
  } else {
    acc->defined_speeds = std::make_unique<speed_cdf>(std::min(std::sqrt(r_max / (r_max + a)), 1.0 - 1e-9));
  }
  // A known count takes the memory at once, without the copies of growing
  // vectors.
  const size_t n = static_cast<size_t>(options.known_count);
  acc->ids.expected = options.known_count;
  acc->radii.reserve(n);
  acc->speed_u.reserve(n);
  if (options.model.zero_com) {
    acc->recentred.reserve(n);
  } else {
    for (std::vector<float> *angles : {&acc->pos_azimuth, &acc->pos_polar, &acc->vel_azimuth, &acc->vel_polar}) {
      angles->reserve(n);
    }
  }
  return acc.release();
}

void set_shift_variance(check_accumulator *accumulator, double variance) {
  accumulator->options.model.shift_variance = variance;
}

void discard_checks(check_accumulator *accumulator) { delete accumulator; }

double check_bytes_per_particle(const check_options &options) {
  // Kept: a radius entry, a speed variate, four angles (or, under
  // zero_com, a recentred entry, then the angles taken from it).
  const double kept = sizeof(radius_entry) + sizeof(float) +
                      (options.model.zero_com ? sizeof(recentred_entry) + 4 * sizeof(float) : 4 * sizeof(float));
  // At the end, on three threads: the sorts' copies of the radii, of the
  // speeds and of one angle at a time; the picture's sorted radii; and under
  // a profile, the sample's potential at each particle for the virial test.
  const double sorting = sizeof(radius_entry) + 2 * sizeof(float) + sizeof(double) +
                         (options.model.profile != nullptr ? sizeof(double) : 0.0);
  const double ids = options.ids == ids_stored ? 1.0 / 8.0 : 0.0;
  // Vectors that grow by doubling hold up to twice their size, three times
  // while they move.
  return (options.known_count > 0 ? kept : 3.0 * kept) + sorting + ids;
}

void add_particles(check_accumulator *acc, const particle_data &chunk) {
  if (acc->options.ids == ids_stored) tally_ids(&acc->ids, chunk.ids.data(), chunk.ids.size());
  for (size_t i = 0; i < static_cast<size_t>(chunk.nb_element); ++i) {
    const double mass = chunk.mass[i];
    const double *x = &chunk.pos[3 * i], *moving = &chunk.vel[3 * i];
    // Velocities in the galaxy's own frame.
    const double *bulk = acc->options.model.bulk_velocity;
    const double v[3] = {moving[0] - bulk[0], moving[1] - bulk[1], moving[2] - bulk[2]};
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
  lines.push_back(check_ids(*acc));
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
      push_lines(&lines, check_bounds(acc.get()));
      if (acc->options.has_box) lines.push_back(check_box(*acc));
      std::vector<check_line> radii = check_radii_and_virial(acc.get());
      lines.push_back(radii[0]);
      lines.push_back(speeds.get());
      push_lines(&lines, directions.get());
      lines.push_back(info_momentum(*acc));
      if (acc->options.model.profile != nullptr) {
        lines.push_back(info_anisotropy(*acc));
        lines.push_back(acc->reference != nullptr
                            ? check_jeans(*acc)
                            : check_line{"Jeans equation", "the density gives no reference: " + acc->reference_failure,
                                         verdict_fail});
      }
      // A galaxy's component: its virial ratio is the galaxy's checks', in
      // the whole potential.
      if (acc->options.model.components == nullptr) {
        lines.push_back(radii[1]);
        lines.push_back(radii[2]);
      }
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
  const bool isotropic = model.equilibrium || model.profile != nullptr;
  const double share[3] = {isotropic ? 1.0 / 3.0 : 0.25, isotropic ? 1.0 / 3.0 : 0.25, isotropic ? 1.0 / 3.0 : 0.5};
  const double second_moment = model_second_radial_moment(model);
  for (int k = 0; k < 3; ++k) variance[k] = second_moment * share[k] / n;
}
