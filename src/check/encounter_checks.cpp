#include "encounter_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "galaxy_types.h"

namespace {

double norm(const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

void cross(const double a[3], const double b[3], double out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

std::string format(const char *pattern, double a, double b = 0.0, double c = 0.0, double d = 0.0) {
  char text[320];
  std::snprintf(text, sizeof text, pattern, a, b, c, d);
  return text;
}

// Index of the per-galaxy sums: m, m x, m v.
constexpr int sum_mass = 0, sum_moment = 1, sum_momentum = 4, sums_per_galaxy = 7;

// The galaxy row index belongs to, or -1.
int galaxy_of(const pair_accumulator &acc, uint64_t index) {
  for (int k = 0; k < 2; ++k) {
    const auto &rows = acc.rows[k];
    auto at = std::upper_bound(rows.begin(), rows.end(), index,
                               [](uint64_t i, const std::pair<uint64_t, uint64_t> &r) { return i < r.second; });
    if (at != rows.end() && at->first <= index) return k;
  }
  return -1;
}

}  // namespace

void expected_places(const pair_orbit &orbit, pair_place out[2]) {
  const double q = orbit.pericentre, e = orbit.eccentricity, r = orbit.separation;
  const double total = orbit.mass[0] + orbit.mass[1];
  const double mu = gravitational_constant * total, p = q * (1.0 + e);
  // r = p / (1 + e cos f): 1 - cos f and 1 + cos f each from terms of one
  // sign, or (bound) from r - q, exact near a circle; near apocentre the
  // orbit itself leaves f uncertain.
  double one_minus = 0.0, one_plus = 2.0;
  if (e > 0.0 && r != q) {
    one_minus = std::max(0.0, (1.0 + e) * (r - q) / (e * r));
    one_plus = std::max(0.0, (e < 1.0 ? (q - r) + e * (q + r) : (1.0 + e) * q + (e - 1.0) * r) / (e * r));
  }
  const double cos_f = 0.5 * (one_plus - one_minus), sin_f = -std::sqrt(one_minus * one_plus);  // approaching
  // e + cos f = (p / r - 1) / e + e, as (1 + e) (q - (1 - e) r) / (e r).
  const double e_cos = e > 0.0 ? (1.0 + e) / e * ((e < 1.0 ? (q - r) + e * r : q + (e - 1.0) * r) / r) : 1.0;
  const double speed = std::sqrt(mu) / std::sqrt(p);  // no overflow of mu / p
  const double rel_x[3] = {r * cos_f, r * sin_f, 0.0}, rel_v[3] = {-speed * sin_f, speed * e_cos, 0.0};
  const double share[2] = {-orbit.mass[1] / total, orbit.mass[0] / total};
  for (int k = 0; k < 2; ++k) {
    for (int c = 0; c < 3; ++c) {
      out[k].position[c] = orbit.centre[c] + share[k] * rel_x[c];
      out[k].velocity[c] = orbit.bulk_velocity[c] + share[k] * rel_v[c];
    }
    // R_z(phi) R_y(theta): its third column the spin axis.
    const double st = std::sin(orbit.spin[k][0]), ct = std::cos(orbit.spin[k][0]);
    const double sp = std::sin(orbit.spin[k][1]), cp = std::cos(orbit.spin[k][1]);
    const double turn[3][3] = {{cp * ct, -sp, cp * st}, {sp * ct, cp, sp * st}, {-st, 0.0, ct}};
    std::copy(&turn[0][0], &turn[0][0] + 9, &out[k].turn[0][0]);
  }
}

pair_lane *open_pair_lane(pair_accumulator *) { return new pair_lane; }

void add_pair_particles(pair_accumulator *acc, pair_lane *lane, const particle_data &chunk, uint64_t first) {
  for (int64_t i = 0; i < chunk.nb_element; ++i) {
    const uint64_t index = first + static_cast<uint64_t>(i);
    const double *x = &chunk.pos[3 * i], *v = &chunk.vel[3 * i];
    ++lane->all;
    for (int c = 0; c < 3; ++c) {
      lane->largest_x = std::max(lane->largest_x, std::fabs(x[c]));
      lane->largest_v = std::max(lane->largest_v, std::fabs(v[c]));
    }
    const int k = galaxy_of(*acc, index);
    if (k < 0) continue;
    ++lane->rows[k];
    const int64_t block = static_cast<int64_t>(index / check_block);
    if (block != lane->block) fold_block(&lane->sums), lane->block = block;
    long double *s = &lane->sums.partial[static_cast<size_t>(k * sums_per_galaxy)];
    const long double m = chunk.mass[i];
    s[sum_mass] += m;
    for (int c = 0; c < 3; ++c) s[sum_moment + c] += m * x[c], s[sum_momentum + c] += m * v[c];
  }
}

namespace {

void merge_pair_lane(pair_lane *into, const pair_lane &from) {
  merge_block_sums(&into->sums, from.sums);
  for (int k = 0; k < 2; ++k) into->rows[k] += from.rows[k];
  into->all += from.all;
  into->largest_x = std::max(into->largest_x, from.largest_x);
  into->largest_v = std::max(into->largest_v, from.largest_v);
}

}  // namespace

void close_pair_lane(pair_accumulator *acc, pair_lane *lane) {
  std::unique_ptr<pair_lane> owned(lane);
  fold_block(&lane->sums);
  const std::lock_guard<std::mutex> hold(acc->lock);
  merge_pair_lane(&acc->totals, *lane);
}

void pack_pair_lane(const pair_lane &lane, byte_writer *out) {
  pack_block_sums(out, lane.sums);
  out->put(lane.rows), out->put(lane.all), out->put(lane.largest_x), out->put(lane.largest_v);
}

bool merge_packed_pair_lane(pair_lane *into, byte_reader *in) {
  pair_lane other;
  if (!unpack_block_sums(in, &other.sums) || !in->get(&other.rows) || !in->get(&other.all) ||
      !in->get(&other.largest_x) || !in->get(&other.largest_v)) {
    return false;
  }
  merge_pair_lane(into, other);
  return true;
}

namespace {

struct measured_pair {
  double mass[2], position[2][3], velocity[2][3];
  double separation[3], relative[3];  // the second about the first
};

measured_pair measure(const pair_lane &totals) {
  measured_pair m;
  for (int k = 0; k < 2; ++k) {
    const long double mass = wide_value(totals.sums.total[static_cast<size_t>(k * sums_per_galaxy + sum_mass)]);
    m.mass[k] = static_cast<double>(mass);
    for (int c = 0; c < 3; ++c) {
      const size_t at = static_cast<size_t>(k * sums_per_galaxy);
      m.position[k][c] = static_cast<double>(wide_value(totals.sums.total[at + sum_moment + c]) / mass);
      m.velocity[k][c] = static_cast<double>(wide_value(totals.sums.total[at + sum_momentum + c]) / mass);
    }
  }
  for (int c = 0; c < 3; ++c) {
    m.separation[c] = m.position[1][c] - m.position[0][c];
    m.relative[c] = m.velocity[1][c] - m.velocity[0][c];
  }
  return m;
}

check_line judged(const char *name, const std::string &figure, double off, double allowed) {
  return {name, figure + format(" (off %.3g, rounding allows %.3g)", off, allowed),
          off <= allowed ? verdict_pass : verdict_fail};
}

}  // namespace

std::vector<check_line> pair_lines(const pair_orbit &orbit, const pair_lane &totals, const uint64_t expected[2],
                                   double rounding) {
  std::vector<check_line> lines;
  const bool counted = totals.rows[0] == expected[0] && totals.rows[1] == expected[1] &&
                       totals.all == expected[0] + expected[1];
  lines.push_back({"encounter: particles",
                   std::to_string(totals.rows[0]) + " and " + std::to_string(totals.rows[1]) + " of " +
                       std::to_string(totals.all) + " (the galaxies' descriptions: " + std::to_string(expected[0]) +
                       " and " + std::to_string(expected[1]) + ")",
                   counted ? verdict_pass : verdict_fail});
  if (!(totals.rows[0] > 0 && totals.rows[1] > 0)) return lines;
  const measured_pair m = measure(totals);
  const double q = orbit.pericentre, e = orbit.eccentricity, r = orbit.separation;
  const double mu = gravitational_constant * (orbit.mass[0] + orbit.mass[1]);
  const double speed = std::sqrt(mu) * std::sqrt(2.0 / r - (1.0 - e) / q), h = std::sqrt(mu) * std::sqrt(q * (1.0 + e));
  // The centres of mass are means of rounded values: within the largest
  // rounding (four ulps of the largest value; six decimals of SI text).
  const double tol_x = 1e-10 + (4.0 * rounding * totals.largest_x + 1e-6) / r;
  const double tol_v = 1e-10 + (4.0 * rounding * totals.largest_v + 1e-6) / speed;
  const double measured_r = norm(m.separation), measured_v = norm(m.relative);
  lines.push_back(judged("encounter: separation", format("%.10g m, the orbit's %.10g m", measured_r, r),
                         std::fabs(measured_r / r - 1.0), tol_x));
  lines.push_back(judged("encounter: relative speed", format("%.10g m/s, the orbit's %.10g m/s", measured_v, speed),
                         std::fabs(measured_v / speed - 1.0), tol_v));
  double L[3];
  cross(m.separation, m.relative, L);
  const double dL[3] = {L[0], L[1], L[2] - h};
  // The cross product's rounding is of r v, which a nearly radial orbit
  // makes far larger than h.
  lines.push_back(judged("encounter: angular momentum",
                         format("(%.6g, %.6g, %.10g) m^2/s, the orbit's (0, 0, %.10g)", L[0], L[1], L[2], h),
                         norm(dL) / h, 2.0 * (tol_x + tol_v) * std::max(1.0, r * speed / h)));
  // The pericentre is where the eccentricity vector points; on a circular
  // orbit, which has none, the start is.
  double vxL[3], A[3];
  cross(m.relative, L, vxL);
  for (int c = 0; c < 3; ++c) A[c] = e > 0.0 ? vxL[c] / mu - m.separation[c] / measured_r : m.separation[c] / measured_r;
  const double dA[3] = {A[0] - (e > 0.0 ? e : 1.0), A[1], A[2]};
  const double approach = (m.separation[0] * m.relative[0] + m.separation[1] * m.relative[1] +
                           m.separation[2] * m.relative[2]) / (measured_r * measured_v);
  const double tol_A = 4.0 * (tol_x + tol_v) * std::max(1.0, e) * std::max(1.0, r * speed / h);
  check_line peri = judged("encounter: pericentre",
                           format(e > 0.0 ? "eccentricity vector (%.10g, %.3g, %.3g), the orbit's (%.10g, 0, 0)"
                                          : "start direction (%.10g, %.3g, %.3g), the orbit's (%.10g, 0, 0)",
                                  A[0], A[1], A[2], e > 0.0 ? e : 1.0) +
                               format(", radial speed %.3g of the relative speed", approach),
                           norm(dA), tol_A);
  // Approaching: the radial speed is negative; at the pericentre or the
  // apocentre it is 0, to rounding.
  if (approach > tol_A) peri.verdict = verdict_fail, peri.figure += ": moving away from it";
  lines.push_back(peri);
  const double whole = m.mass[0] + m.mass[1];
  double dc[3], dp[3];
  for (int c = 0; c < 3; ++c) {
    dc[c] = (m.mass[0] * m.position[0][c] + m.mass[1] * m.position[1][c]) / whole - orbit.centre[c];
    dp[c] = (m.mass[0] * m.velocity[0][c] + m.mass[1] * m.velocity[1][c]) / whole - orbit.bulk_velocity[c];
  }
  lines.push_back(judged("encounter: centre of mass", format("%.4g m from the pair's centre", norm(dc)),
                         norm(dc) / r, tol_x));
  lines.push_back(judged("encounter: net momentum",
                         format("mean velocity %.4g m/s from the pair's bulk velocity", norm(dp)), norm(dp) / speed,
                         tol_v));
  return lines;
}
