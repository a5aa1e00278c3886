#include "checks.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "check_accumulator.h"
#include "check_statistics.h"
#include "equilibrium_law.h"
#include "random_coord.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// Length of a vector, finite for every finite vector whose length a double
// can hold: squares overflow from 1.3e154.
double length_of(double x, double y, double z) {
  const double squares = x * x + y * y + z * z;
  if (std::isfinite(squares) && squares > 1e-300) return std::sqrt(squares);
  return std::hypot(x, y, z);
}

// Azimuth and polar angle of a vector as uniform variates of the direction
// law (polar angle uniform in the angle, or in its cosine); NaN for the
// zero vector.
void direction_variates(double x, double y, double z, bool isotropic, double *azimuth, double *polar) {
  const double length = length_of(x, y, z);
  if (!(length > 0.0) || !std::isfinite(length)) {
    *azimuth = *polar = std::nan("");
    return;
  }
  const double cos_theta = std::clamp(z / length, -1.0, 1.0);
  *azimuth = (std::atan2(y, x) + pi) / (2.0 * pi);
  *polar = isotropic ? (cos_theta + 1.0) / 2.0 : std::acos(cos_theta) / pi;
}

void flush_pending(check_accumulator *acc, check_lane *lane) {
  for (int t = 0; t < ks_tests; ++t) {
    std::vector<double> &p = lane->pending[t];
    if (!p.empty()) acc->histograms[t]->add(p.data(), p.size());
    p.clear();
  }
}

void push_variate(check_accumulator *acc, check_lane *lane, int test, double u) {
  std::vector<double> &p = lane->pending[test];
  p.push_back(u);
  if (p.size() >= check_block) {
    acc->histograms[test]->add(p.data(), p.size());
    p.clear();
  }
}

void add_to_shells(const check_accumulator &acc, check_lane *lane, double r, const double *v, const double *d) {
  int shell = 0;
  while (shell < 3 && r >= acc.shell_edges[shell]) ++shell;
  double v_r = 0.0, v2 = 0.0;
  for (int k = 0; k < 3; ++k) {
    v_r += r > 0.0 ? v[k] * d[k] / r : 0.0;
    v2 += v[k] * v[k];
  }
  long double *p = lane->sums.partial.data();
  p[sum_shell_vr2 + shell] += v_r * v_r;
  p[sum_shell_vt2 + shell] += v2 - v_r * v_r;
  // The model's beta at this radius, averaged over the shell's particles.
  const double r_a = acc.options.model.profile->anisotropy_radius * acc.options.model.typical_length;
  p[sum_shell_r2 + shell] += r_a > 0.0 ? r * r / (r * r + r_a * r_a) : 0.0;
  ++lane->shell_count[shell];
}

// Under a profile, the velocity in the frame of the position (unit d): its
// speed variable w (model units) and the uniform variates of its direction
// in w-space, where it is isotropic: (cos + 1) / 2 of the angle to the
// radius, and the angle of its tangential part about it.
void profile_velocity(const check_accumulator &acc, const double *d, double r, const double *v, double *w,
                      double angles[2], double *radial_speed, double *tangential2) {
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
  angles[0] = std::atan2(v_a, v_p) / (2.0 * pi) + 0.5;
  angles[1] = *w > 0.0 ? (std::clamp(v_r / *w, -1.0, 1.0) + 1.0) / 2.0 : std::nan("");
  if (!(*w > 0.0)) angles[0] = std::nan("");
}

// A particle's energy under the defined speed law, worked out as soon as
// its speed and escape speed are known, so that the table lines its
// variate reads are asked for early and the rest of its work hides their
// wait. No energy (e < 0) under the other laws or where the law gives none.
struct speed_energy {
  double e = -1.0, e_max = 0.0;
};

speed_energy defined_speed_energy(const check_accumulator &acc, double r, double speed, double escape) {
  speed_energy q;
  if (acc.defined_speeds == nullptr || !(escape > 0.0)) return q;
  q.e_max = std::sqrt(r / (r + acc.options.model.typical_length));
  if (!(q.e_max > 0.0)) return q;
  q.e = acc.defined_speeds->energy(speed, q.e_max, escape);
  acc.defined_speeds->prefetch(q.e), acc.defined_speeds->prefetch(q.e_max);
  return q;
}

// The speed's probability under the speed law at radius r, or -1 where the
// law gives none (the centre).
double speed_variate(const check_accumulator &acc, double r, double speed, double escape, speed_energy q) {
  const double a = acc.options.model.typical_length;
  if (!(escape > 0.0)) return -1.0;
  if (acc.options.model.equilibrium) return (*acc.equilibrium_speeds)(speed / escape, r / (r + a));
  return q.e >= 0.0 ? acc.defined_speeds->of_energy(q.e, q.e_max) : -1.0;
}

// One particle's squared speeds against the Jeans equation's, in the fine
// bin of its enclosed-mass fraction (model units).
void add_to_jeans(const check_accumulator &acc, check_lane *lane, double r, double fraction, double v_r2,
                  double v_t2) {
  const int bin = std::clamp(static_cast<int>(fraction * jeans_fine_bins), 0, jeans_fine_bins - 1);
  const double s_r = reference_sigma_r2(*acc.reference, r), s_t = reference_sigma_t2(*acc.reference, r);
  const long double a = v_r2 - s_r, b = v_t2 - s_t;
  long double *j = &lane->sums.partial[sum_jeans + bin * jeans_sums_each];
  ++lane->jeans_count[bin];
  j[jeans_a] += a, j[jeans_b] += b, j[jeans_aa] += a * a, j[jeans_bb] += b * b, j[jeans_ab] += a * b;
  j[jeans_r] += r, j[jeans_s_r] += s_r, j[jeans_s_t] += s_t;
}

// The sums of the centre and of the scatter of a subtracted mean.
void add_moments(const check_accumulator &acc, check_lane *lane, const double *offsets, double r, const double *v,
                 const double *x, double mass) {
  long double *p = lane->sums.partial.data();
  const check_model &model = acc.options.model;
  p[sum_weight] += mass;
  for (int k = 0; k < 3; ++k) {
    p[sum_centre + k] += static_cast<long double>(mass) * offsets[k];
    p[sum_momentum + k] += static_cast<long double>(mass) * v[k];
    p[sum_speed2] += static_cast<long double>(mass) * v[k] * v[k];
    lane->largest_offset = std::max(lane->largest_offset, std::fabs(x[k]));
    lane->largest_velocity = std::max(lane->largest_velocity, std::fabs(v[k] + model.bulk_velocity[k]));
  }
  p[sum_radius2] += static_cast<long double>(r) * r;
  if (r < acc.centre_radius) {
    p[sum_inner_weight] += mass;
    for (int k = 0; k < 3; ++k) p[sum_inner + k] += static_cast<long double>(mass) * offsets[k];
    p[sum_inner_r2] += static_cast<long double>(mass) * r * r;
    ++lane->inner_count;
  }
}

// The cut-off and the escape speed, allowing under zero_com for what the
// subtracted mean moved (6 of its sigma; the escape speed the one at the
// radius before).
void add_bounds(const check_accumulator &acc, check_lane *lane, double r, double speed, double escape) {
  const check_model &model = acc.options.model;
  lane->widest = std::max(lane->widest, r / model.radius_max);
  lane->fastest = std::max(lane->fastest, speed / escape);
  if (model.zero_com) {
    const double slack_r = 6.0 * acc.options.recentring_sigma_r, slack_v = 6.0 * acc.options.recentring_sigma_v;
    const double before = std::max(r - slack_r, 0.0);
    lane->beyond += r > model.radius_max + slack_r;
    lane->too_fast += speed > model_escape_speed(model, acc.sys, before) + slack_v;
    return;
  }
  const double rounding = 1.0 + std::max(1e-12, 4.0 * acc.options.position_rounding);
  lane->beyond += r > model.radius_max * rounding + 1e-5;
  lane->too_fast += speed > escape * rounding + 1e-5;
}

// The direction tests' variates: under zero_com a particle's polar angle
// about the centre turned by up to sigma / r and its azimuth by sigma /
// r_xy, which the tests see in the cusp and near the axis: each is tested
// only where that is below 1/20.
void add_directions(check_accumulator *acc, check_lane *lane, const double angles[4], const double *d, double r,
                    const double *v, double speed) {
  if (std::isnan(angles[0])) return;
  const bool zero_com = acc->options.model.zero_com;
  // The spans only under zero_com: otherwise their hypot is wasted.
  const double far_r = std::max(20.0 * acc->options.recentring_sigma_r, acc->options.model.typical_length);
  const double far_v = 20.0 * acc->options.recentring_sigma_v;
  if (!zero_com || std::hypot(d[0], d[1]) > far_r) push_variate(acc, lane, ks_pos_azimuth, angles[0]);
  if (!zero_com || r > far_r) push_variate(acc, lane, ks_pos_polar, angles[1]);
  if (std::isnan(angles[2])) return;
  if (!zero_com || std::hypot(v[0], v[1]) > far_v) push_variate(acc, lane, ks_vel_azimuth, angles[2]);
  if (!zero_com || speed > far_v) push_variate(acc, lane, ks_vel_polar, angles[3]);
}

void keep_for_picture(check_lane *lane, uint64_t index, double r, double speed, const double *d, const double *v) {
  const uint64_t key = sketch_key(index);
  if (!sketch_takes(lane->sketch, key)) return;
  // Its radius, speed and the cosines of its position's and velocity's polar angles.
  add_to_sketch(&lane->sketch, {key, {r, speed, r > 0.0 ? std::clamp(d[2] / r, -1.0, 1.0) : 0.0,
                                      speed > 0.0 ? std::clamp(v[2] / speed, -1.0, 1.0) : 0.0}});
}

// Everything the checks keep of one particle with finite values.
void add_finite(check_accumulator *acc, check_lane *lane, uint64_t index, const double *x, const double *v,
                double mass) {
  const check_model &model = acc->options.model;
  const double offsets[3] = {x[0] - model.centre[0], x[1] - model.centre[1], x[2] - model.centre[2]};
  const double r = length_of(offsets[0], offsets[1], offsets[2]), speed = length_of(v[0], v[1], v[2]);
  add_moments(*acc, lane, offsets, r, v, x, mass);
  ++lane->finite;
  if (acc->prepass) return;
  lane->largest_radius = std::max(lane->largest_radius, r);
  const double escape = model_escape_speed(model, acc->sys, r);
  const speed_energy energy = defined_speed_energy(*acc, r, speed, escape);
  add_bounds(*acc, lane, r, speed, escape);
  const double fraction = accumulator_mass_fraction(*acc, r);
  if (r > 0.0) {
    lane->sums.partial[sum_model_potential] -= model_gravitational_constant * mass * model.total_mass * fraction / r;
  }
  push_variate(acc, lane, ks_radius, fraction);
  if (acc->own_potential) add_radial(&lane->own, 0, r, mass, speed * speed);
  const bool isotropic = model.equilibrium || model.profile != nullptr;
  double angles[4];
  direction_variates(offsets[0], offsets[1], offsets[2], isotropic, &angles[0], &angles[1]);
  double u = -1.0;
  if (model.profile != nullptr) {
    double w = 0.0, v_r = 0.0, v_t2 = 0.0;
    profile_velocity(*acc, offsets, r, v, &w, &angles[2], &v_r, &v_t2);
    u = r > 0.0 ? profile_speed_cdf(*model.profile, r / model.typical_length, w) : -1.0;
    add_to_shells(*acc, lane, r, v, offsets);
    if (acc->reference != nullptr) add_to_jeans(*acc, lane, r / model.typical_length, fraction, v_r * v_r, v_t2);
  } else {
    u = speed_variate(*acc, r, speed, escape, energy);
    direction_variates(v[0], v[1], v[2], model.equilibrium, &angles[2], &angles[3]);
  }
  if (u >= 0.0) push_variate(acc, lane, ks_speed, u);
  add_directions(acc, lane, angles, offsets, r, v, speed);
  keep_for_picture(lane, index, r, speed, offsets, v);
}

// The radii of the model's quartiles of mass, by bisection.
void set_shell_edges(check_accumulator *acc) {
  const check_model &model = acc->options.model;
  for (int k = 0; k < 3; ++k) {
    double lo = 0.0, hi = model.radius_max;
    for (int i = 0; i < 200; ++i) {
      const double mid = 0.5 * (lo + hi);
      (accumulator_mass_fraction(*acc, mid) < 0.25 * (k + 1) ? lo : hi) = mid;
    }
    acc->shell_edges[k] = 0.5 * (lo + hi);
  }
}

void merge_lane(check_lane *into, const check_lane &from) {
  merge_block_sums(&into->sums, from.sums);
  into->count += from.count, into->finite += from.finite, into->unequal += from.unequal;
  into->beyond += from.beyond, into->too_fast += from.too_fast, into->inner_count += from.inner_count;
  for (int k = 0; k < 4; ++k) into->shell_count[k] += from.shell_count[k];
  for (int k = 0; k < jeans_fine_bins; ++k) into->jeans_count[k] += from.jeans_count[k];
  into->widest = std::max(into->widest, from.widest), into->fastest = std::max(into->fastest, from.fastest);
  into->largest_offset = std::max(into->largest_offset, from.largest_offset);
  into->largest_velocity = std::max(into->largest_velocity, from.largest_velocity);
  into->largest_radius = std::max(into->largest_radius, from.largest_radius);
  merge_radial(&into->own, from.own);
  merge_sketch(&into->sketch, from.sketch);
}

std::unique_ptr<check_lane> new_lane(const check_accumulator &acc) {
  auto lane = std::make_unique<check_lane>();
  if (acc.own_potential) {
    const check_model &m = acc.options.model;
    const double unit_mass = acc.first_mass_known && acc.first_mass > 0.0 && std::isfinite(acc.first_mass)
                                 ? acc.first_mass
                                 : m.total_mass;
    init_radial_bins(&lane->own, 1, m.typical_length, unit_mass,
                     model_gravitational_constant * m.total_mass / m.typical_length);
  }
  return lane;
}

// The model's laws and the reference the checks hold the file against.
void set_up_model(check_accumulator *acc) {
  const check_options &options = acc->options;
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
    set_shell_edges(acc);
  } else if (acc->prepass) {
    return;
  } else if (options.model.equilibrium) {
    acc->equilibrium_speeds = std::make_unique<equilibrium_speed_cdf>(r_max / (r_max + a));
  } else {
    acc->defined_speeds = std::make_unique<speed_cdf>(std::min(std::sqrt(r_max / (r_max + a)), 1.0 - 1e-9));
  }
}

check_accumulator *begin_accumulator(const check_options &options, bool prepass) {
  auto acc = std::make_unique<check_accumulator>();
  acc->options = options;
  acc->prepass = prepass;
  acc->sys = model_record(options.model);
  // A component's virial ratio needs the whole galaxy's potential: the
  // galaxy's checks hold it.
  acc->own_potential = !prepass && options.model.components == nullptr;
  set_up_model(acc.get());
  if (!prepass) {
    for (std::unique_ptr<ks_histogram> &h : acc->histograms) h = std::make_unique<ks_histogram>();
  }
  acc->ids.expected = options.known_count;
  acc->totals = std::move(*new_lane(*acc));
  return acc.release();
}

}  // namespace

double accumulator_mass_fraction(const check_accumulator &acc, double r) {
  if (acc.reference != nullptr) return reference_mass_fraction(*acc.reference, r / acc.options.model.typical_length);
  return model_mass_fraction(acc.options.model, acc.sys, r);
}

check_accumulator *begin_checks(const check_options &options) { return begin_accumulator(options, false); }

check_accumulator *begin_recentring(const check_options &options) { return begin_accumulator(options, true); }

void set_first_mass(check_accumulator *acc, double mass) {
  const std::lock_guard<std::mutex> hold(acc->lock);
  if (acc->first_mass_known) return;
  acc->first_mass = mass;
  acc->first_mass_known = true;
  // The sums of the own potential are kept in units of this mass.
  if (acc->own_potential && acc->totals.own.slots[0].count == 0) acc->totals = std::move(*new_lane(*acc));
}

check_lane *open_check_lane(check_accumulator *acc) {
  const std::lock_guard<std::mutex> hold(acc->lock);
  return new_lane(*acc).release();
}

void add_lane_particles(check_accumulator *acc, check_lane *lane, const particle_data &chunk, uint64_t first) {
  if (acc->options.ids == ids_stored && !acc->prepass) {
    const std::lock_guard<std::mutex> hold(acc->lock);
    tally_ids(&acc->ids, chunk.ids.data(), chunk.ids.size(), first);
  }
  const double *bulk = acc->options.model.bulk_velocity;
  for (size_t i = 0; i < static_cast<size_t>(chunk.nb_element); ++i) {
    const uint64_t index = first + i;
    const int64_t block = static_cast<int64_t>(index / check_block);
    if (block != lane->block) {
      fold_block(&lane->sums);
      lane->block = block;
    }
    const double mass = chunk.mass[i];
    const double *x = &chunk.pos[3 * i], *moving = &chunk.vel[3 * i];
    // Velocities in the galaxy's own frame.
    const double v[3] = {moving[0] - bulk[0], moving[1] - bulk[1], moving[2] - bulk[2]};
    ++lane->count;
    lane->sums.partial[sum_mass] += mass;
    lane->unequal += !(mass == acc->first_mass);
    bool finite = std::isfinite(mass);
    for (int k = 0; k < 3; ++k) finite = finite && std::isfinite(x[k]) && std::isfinite(v[k]);
    // Statistics use the finite particles only: one bad value fails its own
    // check and no other.
    if (finite) add_finite(acc, lane, index, x, v, mass);
  }
}

void close_check_lane(check_accumulator *acc, check_lane *lane) {
  std::unique_ptr<check_lane> owned(lane);
  fold_block(&lane->sums);
  if (!acc->prepass) flush_pending(acc, lane);
  const std::lock_guard<std::mutex> hold(acc->lock);
  merge_lane(&acc->totals, *lane);
}

void add_particles(check_accumulator *acc, const particle_data &chunk) {
  if (acc->next_index == 0 && chunk.nb_element > 0) set_first_mass(acc, chunk.mass[0]);
  if (acc->own_lane == nullptr) acc->own_lane.reset(open_check_lane(acc));
  add_lane_particles(acc, acc->own_lane.get(), chunk, acc->next_index);
  acc->next_index += static_cast<uint64_t>(std::max<int64_t>(chunk.nb_element, 0));
}

void discard_checks(check_accumulator *accumulator) { delete accumulator; }

std::vector<ks_histogram *> checks_histograms(check_accumulator *acc) {
  std::vector<ks_histogram *> all;
  if (acc->prepass) return all;
  for (std::unique_ptr<ks_histogram> &h : acc->histograms) all.push_back(h.get());
  return all;
}

void set_shift_variance(check_accumulator *accumulator, double variance) {
  accumulator->options.model.shift_variance = variance;
}

check_result finish_checks(check_accumulator *accumulator) {
  std::unique_ptr<check_accumulator> acc(accumulator);
  if (acc->own_lane != nullptr) close_check_lane(acc.get(), acc->own_lane.release());
  finish_ids(&acc->ids);
  return check_lines(acc.get());
}

void finish_recentring(check_accumulator *accumulator, check_options *options) {
  std::unique_ptr<check_accumulator> acc(accumulator);
  if (acc->own_lane != nullptr) close_check_lane(acc.get(), acc->own_lane.release());
  recentring_scatter(*acc, &options->recentring_sigma_r, &options->recentring_sigma_v);
  options->recentring_known = true;
}

check_result run_checks(const particle_data &data, const check_options &given) {
  check_options options = given;
  if (options.model.zero_com && !options.recentring_known) {
    check_accumulator *first = begin_recentring(options);
    add_particles(first, data);
    finish_recentring(first, &options);
  }
  check_accumulator *acc = begin_checks(options);
  add_particles(acc, data);
  return finish_checks(acc);
}

namespace {

void pack_lane(byte_writer *out, const check_lane &lane) {
  pack_block_sums(out, lane.sums);
  out->put(lane.count), out->put(lane.finite), out->put(lane.unequal), out->put(lane.beyond);
  out->put(lane.too_fast), out->put(lane.inner_count);
  out->put(lane.shell_count), out->put(lane.jeans_count);
  out->put(lane.widest), out->put(lane.fastest), out->put(lane.largest_offset), out->put(lane.largest_velocity);
  out->put(lane.largest_radius);
  pack_radial(out, lane.own);
  pack_sketch(out, lane.sketch);
}

bool unpack_lane(byte_reader *in, check_lane *lane) {
  if (!unpack_block_sums(in, &lane->sums)) return false;
  in->get(&lane->count), in->get(&lane->finite), in->get(&lane->unequal), in->get(&lane->beyond);
  in->get(&lane->too_fast), in->get(&lane->inner_count);
  in->get(&lane->shell_count), in->get(&lane->jeans_count);
  in->get(&lane->widest), in->get(&lane->fastest), in->get(&lane->largest_offset), in->get(&lane->largest_velocity);
  in->get(&lane->largest_radius);
  return in->ok && unpack_merge_radial(in, &lane->own) && unpack_merge_sketch(in, &lane->sketch);
}

}  // namespace

void pack_checks(const check_accumulator *acc, byte_writer *out) {
  pack_lane(out, acc->totals);
  pack_ids(out, acc->ids);
  out->put<uint8_t>(acc->prepass ? 0 : 1);
  if (!acc->prepass) {
    for (const std::unique_ptr<ks_histogram> &h : acc->histograms) h->pack(out);
  }
}

bool merge_packed_checks(check_accumulator *acc, byte_reader in) {
  std::unique_ptr<check_lane> other = new_lane(*acc);
  uint8_t histograms = 0;
  if (!unpack_lane(&in, other.get()) || !unpack_merge_ids(&in, &acc->ids) || !in.get(&histograms) ||
      histograms != (acc->prepass ? 0 : 1)) {
    return false;
  }
  if (!acc->prepass) {
    for (std::unique_ptr<ks_histogram> &h : acc->histograms) {
      if (!h->unpack_merge(&in)) return false;
    }
  }
  merge_lane(&acc->totals, *other);
  return in.ok && in.at == in.end;
}

double check_fixed_bytes(const check_options &options, int threads) {
  // The histograms (a byte a bin, more only for bins past 255), a
  // lane's sums, bins, subsample and batches of variates for each thread
  // and the totals'.
  const double histograms = ks_tests * (ks_bins * sizeof(uint8_t) + ks_exact_most * sizeof(double));
  const double bins = options.model.components == nullptr
                          ? static_cast<double>(radial_bin_count) * radial_moments * sizeof(__int128)
                          : 0.0;
  const double lane = bins + sum_slots * 96.0 + (2 << 16) * sizeof(sketch_entry) + ks_tests * check_block * sizeof(double);
  return histograms + (threads + 1) * lane;
}

double check_bytes_per_particle(const check_options &options) {
  // Only IDs out of order take memory for each particle: a bit.
  return options.ids == ids_stored && options.known_count <= id_bitmap_most ? 1.0 / 8.0 : 0.0;
}
