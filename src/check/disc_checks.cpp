#include "disc_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "check_statistics.h"
#include "check_text.h"
#include "ks_histogram.h"
#include "sample_sketch.h"
#include "wide_sum.h"

namespace {

constexpr int rings = 12;     // of equal model mass, for the moments
constexpr int quarters = 4;   // for the heights
constexpr double fewest = 50;  // a ring with fewer particles is not judged
constexpr size_t pictured = 20000;  // positions kept for the picture


enum moment { rotation, sigma_R, sigma_phi, sigma_z_inner, sigma_z_outer, moments };

const char *const moment_names[moments] = {"mean rotation", "sigma_R", "sigma_phi", "sigma_z (inner half)",
                                           "sigma_z (outer half)"};

// The sums, each summed a block at a time in file order (wide_sum.h): over
// the finite particles their mass, angular momentum and its square by
// axis; by ring, of each moment's normalised quantity w, w^2 and the scale
// its reference error is measured in, then of R, v_R^2, v_phi and v_z^2.
enum slot { s_mass, s_momentum, s_momentum2 = s_momentum + 3, s_rings = s_momentum2 + 3 };
enum ring_slot { r_w, r_w2 = r_w + moments, r_scale = r_w2 + moments, r_R = r_scale + moments, r_vR2, r_vphi, r_vz2,
                 r_phi_spread, ring_slots };
constexpr int slots = s_rings + rings * ring_slots;
constexpr int ks_tests = 1 + quarters;  // R, then z in each quarter of the mass

}  // namespace

struct disc_lane {
  block_sums sums{slots};
  int64_t block = -1;
  uint64_t count = 0, finite = 0, beyond = 0;
  uint64_t n[moments][rings] = {};
  std::vector<double> pending[ks_tests];
  sample_sketch sketch;
  disc_lane() { sketch.most = pictured; }
};

struct disc_accumulator {
  check_options options;
  const disc_reference *ref = nullptr;
  double V = 1.0;  // the speed unit, m/s
  std::unique_ptr<ks_histogram> histograms[ks_tests];
  std::mutex lock;
  disc_lane totals;
};

namespace {

void push_variate(disc_accumulator *acc, disc_lane *lane, int test, double u) {
  std::vector<double> &p = lane->pending[test];
  p.push_back(u);
  if (p.size() < check_block) return;
  acc->histograms[test]->add(p.data(), p.size());
  p.clear();
}

long double *ring_sums(disc_lane *lane, int ring) { return &lane->sums.partial[s_rings + ring * ring_slots]; }

void add_moments(const disc_accumulator &acc, disc_lane *lane, double u_R, double R, const double *d, const double *v) {
  const double L = acc.options.model.typical_length;
  const double c = d[0] / (R * L), s = d[1] / (R * L);
  const double v_R = (v[0] * c + v[1] * s) / acc.V, v_phi = (v[1] * c - v[0] * s) / acc.V, v_z = v[2] / acc.V;
  const disc_expectation e = disc_reference_at(*acc.ref, R);
  const int ring = std::min(rings - 1, static_cast<int>(u_R * rings));
  const double spread = std::sqrt(e.sigma_phi2), lag = (v_phi - e.mean_phi) / spread;
  const bool inner = std::fabs(d[2] / L) < disc_reference_half_height(*acc.ref);
  const double w[moments] = {lag, v_R * v_R / e.sigma_R2, lag * lag, v_z * v_z / e.sigma_z2_inner,
                             v_z * v_z / e.sigma_z2_outer};
  const double scale[moments] = {e.mean_phi / spread, 2.0, 2.0, 2.0, 2.0};
  long double *p = ring_sums(lane, ring);
  for (int m = 0; m < moments; ++m) {
    if ((m == sigma_z_inner && !inner) || (m == sigma_z_outer && inner)) continue;
    ++lane->n[m][ring];
    p[r_w + m] += w[m], p[r_w2 + m] += static_cast<long double>(w[m]) * w[m], p[r_scale + m] += scale[m];
  }
  p[r_R] += R, p[r_vR2] += v_R * v_R, p[r_vphi] += v_phi, p[r_vz2] += v_z * v_z;
  p[r_phi_spread] += e.phi_kurtosis - 1.0;  // the model's variance of lag^2
}

void add_particle(disc_accumulator *acc, disc_lane *lane, uint64_t index, const double *x, const double *moving,
                  double m) {
  const check_model &model = acc->options.model;
  const double L = model.typical_length;
  double d[3], v[3];
  for (int k = 0; k < 3; ++k) d[k] = x[k] - model.centre[k], v[k] = moving[k] - model.bulk_velocity[k];
  ++lane->count;
  if (!std::isfinite(m + d[0] + d[1] + d[2] + v[0] + v[1] + v[2])) return;
  ++lane->finite;
  long double *p = lane->sums.partial.data();
  p[s_mass] += m;
  const double l[3] = {d[1] * v[2] - d[2] * v[1], d[2] * v[0] - d[0] * v[2], d[0] * v[1] - d[1] * v[0]};
  for (int k = 0; k < 3; ++k) {
    p[s_momentum + k] += static_cast<long double>(m) * l[k];
    p[s_momentum2 + k] += static_cast<long double>(m) * m * l[k] * l[k];
  }
  const double R = std::hypot(d[0], d[1]) / L, z = d[2] / L;
  const uint64_t key = sketch_key(index);
  if (sketch_takes(lane->sketch, key)) {
    const double unit = L * acc->ref->disc.length;
    add_to_sketch(&lane->sketch, {key, {d[0] / unit, d[1] / unit, d[2] / unit, 0.0}});
  }
  if (R >= acc->ref->disc.truncation) ++lane->beyond;
  const double u_R = disc_reference_mass_fraction(*acc->ref, R);
  push_variate(acc, lane, 0, u_R);
  push_variate(acc, lane, 1 + std::min(quarters - 1, static_cast<int>(u_R * quarters)),
               formula_height_cdf(acc->ref->disc, z));
  if (R > 0.0) add_moments(*acc, lane, u_R, R, d, v);
}

void merge_lane(disc_lane *into, const disc_lane &from) {
  merge_block_sums(&into->sums, from.sums);
  into->count += from.count, into->finite += from.finite, into->beyond += from.beyond;
  for (int m = 0; m < moments; ++m) {
    for (int r = 0; r < rings; ++r) into->n[m][r] += from.n[m][r];
  }
  merge_sketch(&into->sketch, from.sketch);
}

// A total of the merged sums.
double total(const disc_accumulator &acc, int slot) { return static_cast<double>(wide_value(acc.totals.sums.total[slot])); }
double ring_total(const disc_accumulator &acc, int ring, int slot) { return total(acc, s_rings + ring * ring_slots + slot); }

// The particles of ring r with R > 0.
double ring_count(const disc_accumulator &acc, int r) { return static_cast<double>(acc.totals.n[rotation][r]); }

// A moment over the rings: each ring's mean of w against its expectation
// (0 for the rotation's lag, 1 for the squared ratios) in units of its
// noise and of the reference's accuracy; chi-square over the rings.
check_line moment_line(const disc_accumulator &acc, moment which) {
  if ((which == rotation || which == sigma_phi) && !acc.ref->planar_ok) {
    return {moment_names[which], "no model to hold it against: " + acc.ref->planar_why, verdict_fail};
  }
  const double expected = which == rotation ? 0.0 : 1.0;
  double chi2 = 0.0, worst = 0.0, worst_R = 0.0, worst_excess = 0.0;
  int judged = 0;
  for (int r = 0; r < rings; ++r) {
    const double n = static_cast<double>(acc.totals.n[which][r]);
    if (n < fewest) continue;
    const double mean = ring_total(acc, r, r_w + which) / n;
    double variance = std::max(0.0, ring_total(acc, r, r_w2 + which) / n - mean * mean);
    // A few hundred stars may hold none of v_phi's far tail, and their own
    // scatter then understates how far their sigma_phi^2 can fall: the
    // model's scatter when larger.
    if (which == sigma_phi) variance = std::max(variance, ring_total(acc, r, r_phi_spread) / n);
    const double floor = disc_reference_accuracy * ring_total(acc, r, r_scale + which) / n;
    const double z = (mean - expected) / std::sqrt(variance / n + floor * floor);
    chi2 += z * z;
    ++judged;
    if (std::fabs(z) >= std::fabs(worst)) {
      worst = z, worst_excess = mean - expected;
      worst_R = ring_total(acc, r, r_R) / ring_count(acc, r) / acc.ref->disc.length;
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

check_line heights_line(const disc_accumulator &acc) {
  double worst_p = 1.0, worst_d = 0.0;
  uint64_t n = 0;
  for (int q = 0; q < quarters; ++q) {
    const ks_histogram &u = *acc.histograms[1 + q];
    if (u.count() == 0) continue;
    const double d = u.distance(), p = ks_p_value(d, static_cast<double>(u.count()));
    n += u.count();
    if (p <= worst_p) worst_p = p, worst_d = d;
  }
  if (n == 0) return {"height distribution", "no particle to test", verdict_fail};
  // The least likely of four rings, as likely as that among four.
  const double p = std::min(1.0, quarters * worst_p);
  return {"height distribution",
          format_text("KS in 4 rings, largest D = %.5f, p = %.3g (n = %llu)", worst_d, p, static_cast<unsigned long long>(n)),
          p < acc.options.threshold ? verdict_fail : verdict_pass};
}

// Toomre's Q of the sample's sigma_R in the ring about q_radius, and the
// lowest over the rings.
check_line toomre_line(const disc_accumulator &acc) {
  const disc_reference &ref = *acc.ref;
  const int at = std::min(rings - 1, static_cast<int>(disc_reference_mass_fraction(ref, ref.disc.q_radius) * rings));
  double lowest = HUGE_VAL, lowest_R = 0.0, at_q = 0.0;
  for (int r = 0; r < rings; ++r) {
    const double n = ring_count(acc, r);
    if (n < fewest) continue;
    const double R = ring_total(acc, r, r_R) / n, sigma = std::sqrt(ring_total(acc, r, r_vR2) / n);
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
  const double lx = total(acc, s_momentum), ly = total(acc, s_momentum + 1), lz = total(acc, s_momentum + 2);
  const double chi2 = lx * lx / std::max(1e-300, total(acc, s_momentum2)) +
                      ly * ly / std::max(1e-300, total(acc, s_momentum2 + 1));
  const double p = std::exp(-0.5 * chi2);  // chi-square tail, 2 degrees of freedom
  const double tilt = std::atan2(std::hypot(lx, ly), lz) * 180.0 / 3.14159265358979323846;
  const bool ok = lz > 0.0 && p >= acc.options.threshold;
  return {"angular momentum", format_text("%s, %.3g degrees from +z, p = %.3g", lz > 0.0 ? "along +z" : "NOT along +z", tilt, p),
          ok ? verdict_pass : verdict_fail};
}

std::vector<check_line> count_and_mass(const disc_accumulator &acc) {
  const int64_t expected = acc.options.expected_count;
  const int64_t counted = static_cast<int64_t>(acc.totals.count);
  const bool count_ok = expected >= 0 ? counted == expected : counted > 0;
  std::string count = format_text("%lld particles", static_cast<long long>(counted));
  if (expected >= 0 && expected != counted) count += format_text(", expected %lld", static_cast<long long>(expected));
  const double mass = total(acc, s_mass), model = acc.options.model.component_mass;
  const double allowed = std::max(1e-9, acc.options.mass_rounding * (1.0 + 1e-6));
  const bool mass_ok = std::fabs(mass - model) <= allowed * std::fabs(model);
  const unsigned long long bad = acc.totals.count - acc.totals.finite, beyond = acc.totals.beyond;
  return {{"particle count", count, count_ok ? verdict_pass : verdict_fail},
          {"finite values", format_text("%llu particles with a non-finite value", bad), bad == 0 ? verdict_pass : verdict_fail},
          {"total mass", format_text("%.9g kg, model %.9g kg", mass, model), mass_ok ? verdict_pass : verdict_fail},
          {"beyond the truncation", format_text("%llu particles", beyond), beyond == 0 ? verdict_pass : verdict_fail}};
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
  for (const sketch_entry &e : sketch_entries(acc.totals.sketch)) {
    p.x.push_back(e.value[0]), p.y.push_back(e.value[1]), p.z.push_back(e.value[2]);
  }
  for (int r = 0; r < rings; ++r) {
    const double n = ring_count(acc, r);
    if (n < fewest) continue;
    p.ring_R.push_back(ring_total(acc, r, r_R) / n / R_d);
    p.ring_vphi.push_back(V * ring_total(acc, r, r_vphi) / n);
    p.ring_sigma_R.push_back(V * std::sqrt(ring_total(acc, r, r_vR2) / n));
    p.ring_sigma_z.push_back(V * std::sqrt(ring_total(acc, r, r_vz2) / n));
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
  for (std::unique_ptr<ks_histogram> &h : acc->histograms) h = std::make_unique<ks_histogram>();
  return acc.release();
}

disc_lane *open_disc_lane(disc_accumulator *) { return new disc_lane; }

void add_disc_lane_particles(disc_accumulator *acc, disc_lane *lane, const particle_data &chunk, uint64_t first) {
  for (size_t i = 0; i < static_cast<size_t>(std::max<int64_t>(chunk.nb_element, 0)); ++i) {
    const int64_t block = static_cast<int64_t>((first + i) / check_block);
    if (block != lane->block) {
      fold_block(&lane->sums);
      lane->block = block;
    }
    add_particle(acc, lane, first + i, &chunk.pos[3 * i], &chunk.vel[3 * i], chunk.mass[i]);
  }
}

void close_disc_lane(disc_accumulator *acc, disc_lane *lane) {
  std::unique_ptr<disc_lane> owned(lane);
  fold_block(&lane->sums);
  for (int t = 0; t < ks_tests; ++t) {
    if (!lane->pending[t].empty()) acc->histograms[t]->add(lane->pending[t].data(), lane->pending[t].size());
  }
  const std::lock_guard<std::mutex> hold(acc->lock);
  merge_lane(&acc->totals, *lane);
}

void pack_disc_checks(const disc_accumulator *acc, byte_writer *out) {
  const disc_lane &t = acc->totals;
  pack_block_sums(out, t.sums);
  out->put(t.count), out->put(t.finite), out->put(t.beyond), out->put(t.n);
  pack_sketch(out, t.sketch);
  for (const std::unique_ptr<ks_histogram> &h : acc->histograms) h->pack(out);
}

bool merge_packed_disc_checks(disc_accumulator *acc, byte_reader in) {
  disc_lane other;
  if (!unpack_block_sums(&in, &other.sums) || !in.get(&other.count) || !in.get(&other.finite) ||
      !in.get(&other.beyond) || !in.get(&other.n) || !unpack_merge_sketch(&in, &other.sketch)) {
    return false;
  }
  for (std::unique_ptr<ks_histogram> &h : acc->histograms) {
    if (!h->unpack_merge(&in)) return false;
  }
  merge_lane(&acc->totals, other);
  return in.at == in.end;
}

std::vector<ks_histogram *> disc_checks_histograms(disc_accumulator *acc) {
  std::vector<ks_histogram *> all;
  for (std::unique_ptr<ks_histogram> &h : acc->histograms) all.push_back(h.get());
  return all;
}

check_result finish_disc_checks(disc_accumulator *accumulator) {
  std::unique_ptr<disc_accumulator> acc(accumulator);
  check_result result;
  result.lines = count_and_mass(*acc);
  if (acc->totals.finite > 0) {
    const ks_histogram &u = *acc->histograms[0];
    const double d = u.distance(), p = ks_p_value(d, static_cast<double>(u.count()));
    result.lines.push_back({"radius distribution",
                            format_text("KS D = %.5f, p = %.3g (n = %llu), of Sigma(R)", d, p,
                                        static_cast<unsigned long long>(u.count())),
                            p < acc->options.threshold ? verdict_fail : verdict_pass});
    result.lines.push_back(heights_line(*acc));
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

double disc_check_fixed_bytes(int threads) {
  const double histograms = ks_tests * (ks_bins * sizeof(uint8_t) + ks_exact_most * sizeof(double));
  const double lane = slots * 96.0 + 2 * pictured * sizeof(sketch_entry) + ks_tests * check_block * sizeof(double);
  return histograms + (threads + 1) * lane;
}
