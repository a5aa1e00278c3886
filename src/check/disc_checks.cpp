#include "disc_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "check_statistics.h"
#include "check_text.h"

namespace {

constexpr int rings = 12;     // of equal model mass, for the moments
constexpr int quarters = 4;   // for the heights
constexpr double fewest = 50;  // a ring with fewer particles is not judged
constexpr size_t pictured = 20000;  // positions kept for the picture


// Sums of a normalised quantity w over a ring, and of the scale its
// reference error is measured in.
struct moment_sums {
  long double n = 0, w = 0, w2 = 0, scale = 0;
  void add(double value, double error_scale) {
    n += 1, w += value, w2 += static_cast<long double>(value) * value, scale += error_scale;
  }
};

enum moment { rotation, sigma_R, sigma_phi, sigma_z_inner, sigma_z_outer, moments };

const char *const moment_names[moments] = {"mean rotation", "sigma_R", "sigma_phi", "sigma_z (inner half)",
                                           "sigma_z (outer half)"};

}  // namespace

struct disc_accumulator {
  check_options options;
  const disc_reference *ref = nullptr;
  double V = 1.0;  // the speed unit, m/s
  int64_t count = 0;
  size_t finite = 0, beyond = 0;
  long double mass = 0, momentum[3] = {0, 0, 0}, momentum2[3] = {0, 0, 0};
  std::vector<float> radius_u;
  std::vector<float> height_u[quarters];
  moment_sums sums[moments][rings];
  long double ring_R[rings] = {}, ring_vR2[rings] = {}, ring_vphi[rings] = {}, ring_vz2[rings] = {};
  uint64_t stride = 1;
  std::vector<double> picture_x, picture_y, picture_z;
};

namespace {

void add_particle(disc_accumulator *acc, const double *x, const double *moving, double m) {
  const check_model &model = acc->options.model;
  const double L = model.typical_length;
  double d[3], v[3];
  for (int k = 0; k < 3; ++k) d[k] = x[k] - model.centre[k], v[k] = moving[k] - model.bulk_velocity[k];
  ++acc->count;
  if (!std::isfinite(m + d[0] + d[1] + d[2] + v[0] + v[1] + v[2])) return;
  ++acc->finite;
  acc->mass += m;
  const double l[3] = {d[1] * v[2] - d[2] * v[1], d[2] * v[0] - d[0] * v[2], d[0] * v[1] - d[1] * v[0]};
  for (int k = 0; k < 3; ++k) {
    acc->momentum[k] += static_cast<long double>(m) * l[k];
    acc->momentum2[k] += static_cast<long double>(m) * m * l[k] * l[k];
  }
  const double R = std::hypot(d[0], d[1]) / L, z = d[2] / L;
  if ((acc->finite - 1) % acc->stride == 0 && acc->picture_x.size() < pictured) {
    const double unit = L * acc->ref->disc.length;
    acc->picture_x.push_back(d[0] / unit), acc->picture_y.push_back(d[1] / unit), acc->picture_z.push_back(d[2] / unit);
  }
  if (R >= acc->ref->disc.truncation) ++acc->beyond;
  const double u_R = disc_reference_mass_fraction(*acc->ref, R);
  acc->radius_u.push_back(static_cast<float>(u_R));
  acc->height_u[std::min(quarters - 1, static_cast<int>(u_R * quarters))].push_back(
      static_cast<float>(formula_height_cdf(acc->ref->disc, z)));
  if (!(R > 0.0)) return;
  const double c = d[0] / (R * L), s = d[1] / (R * L);
  const double v_R = (v[0] * c + v[1] * s) / acc->V, v_phi = (v[1] * c - v[0] * s) / acc->V, v_z = v[2] / acc->V;
  const disc_expectation e = disc_reference_at(*acc->ref, R);
  const int ring = std::min(rings - 1, static_cast<int>(u_R * rings));
  const double spread = std::sqrt(e.sigma_phi2), lag = (v_phi - e.mean_phi) / spread;
  acc->sums[rotation][ring].add(lag, e.mean_phi / spread);
  acc->sums[sigma_R][ring].add(v_R * v_R / e.sigma_R2, 2.0);
  acc->sums[sigma_phi][ring].add(lag * lag, 2.0);
  const bool inner = std::fabs(z) < disc_reference_half_height(*acc->ref);
  acc->sums[inner ? sigma_z_inner : sigma_z_outer][ring].add(v_z * v_z / (inner ? e.sigma_z2_inner : e.sigma_z2_outer), 2.0);
  acc->ring_R[ring] += R;
  acc->ring_vR2[ring] += v_R * v_R;
  acc->ring_vphi[ring] += v_phi;
  acc->ring_vz2[ring] += v_z * v_z;
}

// A moment over the rings: each ring's mean of w against its expectation
// (0 for the rotation's lag, 1 for the squared ratios) in units of its
// noise and of the reference's accuracy; chi-square over the rings.
check_line moment_line(const disc_accumulator &acc, moment which) {
  const double expected = which == rotation ? 0.0 : 1.0;
  double chi2 = 0.0, worst = 0.0, worst_R = 0.0, worst_excess = 0.0;
  int judged = 0;
  for (int r = 0; r < rings; ++r) {
    const moment_sums &s = acc.sums[which][r];
    if (s.n < fewest) continue;
    const double n = static_cast<double>(s.n), mean = static_cast<double>(s.w / s.n);
    const double variance = std::max(0.0, static_cast<double>(s.w2 / s.n) - mean * mean);
    const double floor = disc_reference_accuracy * static_cast<double>(s.scale / s.n);
    const double z = (mean - expected) / std::sqrt(variance / n + floor * floor);
    chi2 += z * z;
    ++judged;
    if (std::fabs(z) >= std::fabs(worst)) {
      worst = z, worst_excess = mean - expected;
      worst_R = static_cast<double>(acc.ring_R[r] / acc.sums[rotation][r].n) / acc.ref->disc.length;
    }
  }
  const std::string name = moment_names[which];
  if (judged == 0) return {name, "too few particles in every ring to judge", verdict_info};
  const double p = chi_square_upper_tail(chi2, judged);
  const std::string unit = which == rotation ? "sigma_phi" : "of the model's square";
  return {name,
          format_text("chi2 %.1f over %d rings, p = %.3g; largest %+.1f sigma (%+.3g %s) at R = %.3g R_d", chi2, judged, p,
                 worst, worst_excess, unit.c_str(), worst_R),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

check_line heights_line(disc_accumulator *acc) {
  double worst_p = 1.0, worst_d = 0.0;
  size_t n = 0;
  for (std::vector<float> &u : acc->height_u) {
    if (u.empty()) continue;
    const double d = ks_statistic_sorting(&u), p = ks_p_value(d, static_cast<double>(u.size()));
    n += u.size();
    if (p <= worst_p) worst_p = p, worst_d = d;
  }
  if (n == 0) return {"height distribution", "no particle to test", verdict_fail};
  // The least likely of four rings, as likely as that among four.
  const double p = std::min(1.0, quarters * worst_p);
  return {"height distribution", format_text("KS in 4 rings, largest D = %.5f, p = %.3g (n = %zu)", worst_d, p, n),
          p < acc->options.threshold ? verdict_fail : verdict_pass};
}

// Toomre's Q of the sample's sigma_R in the ring about q_radius, and the
// lowest over the rings.
check_line toomre_line(const disc_accumulator &acc) {
  const disc_reference &ref = *acc.ref;
  const int at = std::min(rings - 1, static_cast<int>(disc_reference_mass_fraction(ref, ref.disc.q_radius) * rings));
  double lowest = HUGE_VAL, lowest_R = 0.0, at_q = 0.0;
  for (int r = 0; r < rings; ++r) {
    const long double n = acc.sums[rotation][r].n;
    if (n < fewest) continue;
    const double R = static_cast<double>(acc.ring_R[r] / n), sigma = std::sqrt(static_cast<double>(acc.ring_vR2[r] / n));
    const disc_expectation e = disc_reference_at(ref, R);
    const double Q = sigma * e.kappa / (3.36 * e.surface);
    if (r == at) at_q = Q;
    if (Q < lowest) lowest = Q, lowest_R = R;
  }
  if (!std::isfinite(lowest)) return {"Toomre Q", "too few particles", verdict_info};
  return {"Toomre Q", format_text("%.3f in the ring about q_radius (model %.3f there), lowest %.3f at R = %.3g R_d", at_q,
                             ref.disc.toomre_q, lowest, lowest_R / ref.disc.length),
          verdict_info};
}

// Along +z, its tilt within what its scatter allows.
check_line spin_line(const disc_accumulator &acc) {
  const double lx = static_cast<double>(acc.momentum[0]), ly = static_cast<double>(acc.momentum[1]);
  const double lz = static_cast<double>(acc.momentum[2]);
  const double chi2 = lx * lx / std::max(1e-300, static_cast<double>(acc.momentum2[0])) +
                      ly * ly / std::max(1e-300, static_cast<double>(acc.momentum2[1]));
  const double p = std::exp(-0.5 * chi2);  // chi-square tail, 2 degrees of freedom
  const double tilt = std::atan2(std::hypot(lx, ly), lz) * 180.0 / 3.14159265358979323846;
  const bool ok = lz > 0.0 && p >= acc.options.threshold;
  return {"angular momentum", format_text("%s, %.3g degrees from +z, p = %.3g", lz > 0.0 ? "along +z" : "NOT along +z", tilt, p),
          ok ? verdict_pass : verdict_fail};
}

std::vector<check_line> count_and_mass(const disc_accumulator &acc) {
  const int64_t expected = acc.options.expected_count;
  const bool count_ok = expected >= 0 ? acc.count == expected : acc.count > 0;
  std::string count = format_text("%lld particles", static_cast<long long>(acc.count));
  if (expected >= 0 && expected != acc.count) count += format_text(", expected %lld", static_cast<long long>(expected));
  const double total = static_cast<double>(acc.mass), model = acc.options.model.component_mass;
  const double allowed = std::max(1e-9, acc.options.mass_rounding * (1.0 + 1e-6));
  const bool mass_ok = std::fabs(total - model) <= allowed * std::fabs(model);
  const size_t bad = static_cast<size_t>(acc.count) - acc.finite;
  return {{"particle count", count, count_ok ? verdict_pass : verdict_fail},
          {"finite values", format_text("%zu particles with a non-finite value", bad), bad == 0 ? verdict_pass : verdict_fail},
          {"total mass", format_text("%.9g kg, model %.9g kg", total, model), mass_ok ? verdict_pass : verdict_fail},
          {"beyond the truncation", format_text("%zu particles", acc.beyond), acc.beyond == 0 ? verdict_pass : verdict_fail}};
}

// The picture's sample moments by ring and the model's curves: v_c of the
// whole, of the disc (its own quadrature) and of the rest, the mean
// rotation and the dispersions.
disc_picture picture_of(const disc_accumulator &acc) {
  const disc_reference &ref = *acc.ref;
  const double V = acc.V / 1e3, R_d = ref.disc.length;
  disc_picture p;
  p.present = true;
  p.truncation = ref.disc.truncation / R_d;
  p.x = acc.picture_x, p.y = acc.picture_y, p.z = acc.picture_z;
  for (int r = 0; r < rings; ++r) {
    const double n = static_cast<double>(acc.sums[rotation][r].n);
    if (n < fewest) continue;
    p.ring_R.push_back(static_cast<double>(acc.ring_R[r]) / n / R_d);
    p.ring_vphi.push_back(V * static_cast<double>(acc.ring_vphi[r]) / n);
    p.ring_sigma_R.push_back(V * std::sqrt(static_cast<double>(acc.ring_vR2[r]) / n));
    p.ring_sigma_z.push_back(V * std::sqrt(static_cast<double>(acc.ring_vz2[r]) / n));
  }
  for (int k = 1; k <= 60; ++k) {
    const double R = ref.disc.truncation * k / 60.0;
    const disc_expectation e = disc_reference_at(ref, R);
    const double own = std::max(0.0, -R * formula_disc_force(ref.disc, R, 0.0).R);
    const double vc2 = std::max(0.0, e.circular2);
    p.curve_R.push_back(R / R_d);
    p.curve_vc.push_back(V * std::sqrt(vc2));
    p.curve_disc.push_back(V * std::sqrt(own));
    p.curve_rest.push_back(V * std::sqrt(std::max(0.0, vc2 - own)));
    p.curve_vphi.push_back(V * e.mean_phi);
    p.curve_sigma_R.push_back(V * std::sqrt(e.sigma_R2));
    p.curve_sigma_z.push_back(V * std::sqrt(0.5 * (e.sigma_z2_inner + e.sigma_z2_outer)));
  }
  return p;
}

}  // namespace

disc_accumulator *begin_disc_checks(const check_options &options, const disc_reference *reference) {
  auto acc = std::make_unique<disc_accumulator>();
  acc->options = options;
  acc->ref = reference;
  acc->V = std::sqrt(model_gravitational_constant * options.model.total_mass / options.model.typical_length);
  if (options.known_count > 0) {
    acc->radius_u.reserve(options.known_count);
    acc->stride = std::max<uint64_t>(1, (options.known_count + pictured - 1) / pictured);
  }
  return acc.release();
}

void add_disc_particles(disc_accumulator *acc, const particle_data &chunk) {
  for (int64_t i = 0; i < chunk.nb_element; ++i) add_particle(acc, &chunk.pos[3 * i], &chunk.vel[3 * i], chunk.mass[i]);
}

check_result finish_disc_checks(disc_accumulator *accumulator) {
  std::unique_ptr<disc_accumulator> acc(accumulator);
  check_result result;
  result.lines = count_and_mass(*acc);
  if (acc->finite > 0) {
    std::vector<float> &u = acc->radius_u;
    const double d = ks_statistic_sorting(&u), p = ks_p_value(d, static_cast<double>(u.size()));
    result.lines.push_back({"radius distribution", format_text("KS D = %.5f, p = %.3g (n = %zu), of Sigma(R)", d, p, u.size()),
                            p < acc->options.threshold ? verdict_fail : verdict_pass});
    result.lines.push_back(heights_line(acc.get()));
    for (int m = 0; m < moments; ++m) result.lines.push_back(moment_line(*acc, static_cast<moment>(m)));
    result.lines.push_back(toomre_line(*acc));
    result.lines.push_back(spin_line(*acc));
    result.disc = picture_of(*acc);
  }
  result.passed = std::none_of(result.lines.begin(), result.lines.end(),
                               [](const check_line &l) { return l.verdict == verdict_fail; });
  return result;
}

void discard_disc_checks(disc_accumulator *accumulator) { delete accumulator; }

double disc_check_bytes_per_particle() { return 2.0 * sizeof(float); }
