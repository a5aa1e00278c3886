#include "galaxy_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>

#include "check_statistics.h"
#include "disc_checks.h"
#include "radial_bins.h"
#include "wide_sum.h"

namespace {

// The whole galaxy's sums (over finite particles; the centre's within
// centre_radius when set).
enum whole_slot {
  whole_weight,
  whole_centre,  // 3
  whole_momentum = whole_centre + 3,  // 3
  whole_momentum_square = whole_momentum + 3,
  whole_centre_weight,
  whole_centre_moment,  // 3
  whole_centre_square = whole_centre_moment + 3,
  whole_slots
};

std::string text_of(const char *pattern, double value) {
  char text[160];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

double length_of(const double v[3]) { return std::hypot(v[0], v[1], v[2]); }

}  // namespace

struct galaxy_lane {
  block_sums sums{whole_slots};
  int64_t block = -1;
  uint64_t count = 0, finite = 0, centre_count = 0;
  double largest_offset = 0.0, largest_velocity = 0.0;
  bool hole_seen = false;
  double hole_offset[3] = {0, 0, 0}, hole_velocity[3] = {0, 0, 0}, hole_mass = 0.0;
  // The potential of all the particles: a slot for each component, and
  // one for the black hole (and whatever lies beyond the galaxy's count).
  radial_bins potential;
  std::vector<check_lane *> parts;  // null for a disc
  std::vector<disc_lane *> discs;   // null but for a disc
};

struct galaxy_accumulator {
  galaxy_check_plan plan;
  bool prepass = false;
  std::vector<check_accumulator *> parts;  // null for a disc
  std::vector<disc_accumulator *> discs;   // null but for a disc (and in the first pass)
  uint64_t hole_index = 0;  // the black hole's place, after the components'
  double first_mass = 0.0;
  bool first_mass_known = false;
  std::mutex lock;
  id_tally ids;
  std::unique_ptr<galaxy_lane> totals;
  galaxy_lane *own_lane = nullptr;  // add_galaxy_particles'
  uint64_t next = 0;
};

namespace {

uint32_t part_of(const galaxy_accumulator &acc, uint64_t index) {
  const std::vector<galaxy_check_part> &parts = acc.plan.parts;
  for (uint32_t p = 0; p < parts.size(); ++p) {
    if (index >= parts[p].first && index < parts[p].first + parts[p].count) return p;
  }
  return static_cast<uint32_t>(parts.size());  // the black hole, or beyond the galaxy
}

// Particles [from, to) of chunk as a chunk of their own.
particle_data slice(const particle_data &chunk, size_t from, size_t to) {
  particle_data part;
  part.nb_element = static_cast<int64_t>(to - from);
  part.pos.assign(chunk.pos.begin() + 3 * from, chunk.pos.begin() + 3 * to);
  part.vel.assign(chunk.vel.begin() + 3 * from, chunk.vel.begin() + 3 * to);
  part.mass.assign(chunk.mass.begin() + from, chunk.mass.begin() + to);
  if (chunk.ids.size() == chunk.mass.size()) part.ids.assign(chunk.ids.begin() + from, chunk.ids.begin() + to);
  return part;
}

// A spheroid's velocities beside a disc divided by its stretches, about
// the model's centre and bulk velocity; what is not finite left as it is.
void unstretch(const galaxy_check_part &part, particle_data *run) {
  const check_model &m = part.options.model;
  for (int64_t i = 0; i < run->nb_element; ++i) {
    const double *x = &run->pos[3 * i];
    double *v = &run->vel[3 * i];
    const double R = std::hypot(x[0] - m.centre[0], x[1] - m.centre[1]) / m.typical_length;
    const double z = (x[2] - m.centre[2]) / m.typical_length;
    if (!std::isfinite(R) || !std::isfinite(z)) continue;
    double R2, z2;
    stretch_at(*part.stretch, R, z, &R2, &z2);
    if (!(R2 > 0.0) || !(z2 > 0.0)) continue;
    const double by[3] = {std::sqrt(R2), std::sqrt(R2), std::sqrt(z2)};
    for (int k = 0; k < 3; ++k) v[k] = m.bulk_velocity[k] + (v[k] - m.bulk_velocity[k]) / by[k];
  }
}

std::unique_ptr<galaxy_lane> new_galaxy_lane(const galaxy_accumulator &acc) {
  auto lane = std::make_unique<galaxy_lane>();
  const check_model &m = acc.plan.whole.model;
  const double unit = acc.first_mass_known && acc.first_mass > 0.0 && std::isfinite(acc.first_mass) ? acc.first_mass
                                                                                                   : m.total_mass;
  if (!acc.prepass) {
    init_radial_bins(&lane->potential, static_cast<int>(acc.plan.parts.size()) + 1, m.typical_length, unit,
                     model_gravitational_constant * m.total_mass / m.typical_length);
  }
  return lane;
}

void add_to_whole(galaxy_accumulator *acc, galaxy_lane *lane, uint64_t index, uint32_t part, const double *x,
                  const double *moving, double mass) {
  const check_model &model = acc->plan.whole.model;
  double d[3], v[3];
  bool finite = std::isfinite(mass);
  for (int k = 0; k < 3; ++k) {
    d[k] = x[k] - model.centre[k];
    v[k] = moving[k] - model.bulk_velocity[k];
    finite = finite && std::isfinite(d[k]) && std::isfinite(v[k]);
  }
  if (index == acc->hole_index && acc->plan.black_hole) {
    lane->hole_seen = true;
    lane->hole_mass = mass;
    for (int k = 0; k < 3; ++k) lane->hole_offset[k] = d[k], lane->hole_velocity[k] = v[k];
  }
  if (!finite) return;
  ++lane->finite;
  const double r = length_of(d), speed2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
  long double *p = lane->sums.partial.data();
  p[whole_weight] += mass;
  for (int k = 0; k < 3; ++k) {
    p[whole_centre + k] += static_cast<long double>(mass) * d[k];
    p[whole_momentum + k] += static_cast<long double>(mass) * v[k];
    lane->largest_offset = std::max(lane->largest_offset, std::fabs(x[k]));
    lane->largest_velocity = std::max(lane->largest_velocity, std::fabs(moving[k]));
  }
  p[whole_momentum_square] += static_cast<long double>(mass) * mass * speed2;
  if (!(model.centre_radius > 0.0) || r < model.centre_radius) {
    p[whole_centre_weight] += mass;
    for (int k = 0; k < 3; ++k) p[whole_centre_moment + k] += static_cast<long double>(mass) * d[k];
    p[whole_centre_square] += static_cast<long double>(mass) * mass * r * r;
    ++lane->centre_count;
  }
  // The potential about the centre the components were made about (under
  // zero_com not the mean's place, which the subtracted mean moved off it):
  // a compact bulge's virial ratio needs its own centre.
  const double *made = acc->plan.parts.empty() ? model.centre : acc->plan.parts.front().options.model.centre;
  const double about[3] = {x[0] - made[0], x[1] - made[1], x[2] - made[2]};
  add_radial(&lane->potential, static_cast<int>(part), length_of(about), mass, speed2);
}

void merge_galaxy_lane(galaxy_lane *into, const galaxy_lane &from) {
  merge_block_sums(&into->sums, from.sums);
  into->count += from.count, into->finite += from.finite, into->centre_count += from.centre_count;
  into->largest_offset = std::max(into->largest_offset, from.largest_offset);
  into->largest_velocity = std::max(into->largest_velocity, from.largest_velocity);
  if (from.hole_seen) {
    into->hole_seen = true, into->hole_mass = from.hole_mass;
    for (int k = 0; k < 3; ++k) into->hole_offset[k] = from.hole_offset[k], into->hole_velocity[k] = from.hole_velocity[k];
  }
  merge_radial(&into->potential, from.potential);
}

galaxy_accumulator *begin_galaxy(const galaxy_check_plan &plan, bool prepass) {
  auto acc = std::make_unique<galaxy_accumulator>();
  acc->plan = plan;
  acc->prepass = prepass;
  acc->ids.expected = plan.whole.known_count;
  for (const galaxy_check_part &part : plan.parts) {
    // A disc's checks need no first pass: its frame is the galaxy's.
    const bool disc = part.disc != nullptr;
    acc->parts.push_back(disc ? nullptr : prepass ? begin_recentring(part.options) : begin_checks(part.options));
    acc->discs.push_back(disc && !prepass ? begin_disc_checks(part.options, part.disc) : nullptr);
    acc->hole_index = std::max(acc->hole_index, part.first + part.count);
  }
  acc->totals = new_galaxy_lane(*acc);
  return acc.release();
}

}  // namespace

galaxy_accumulator *begin_galaxy_checks(const galaxy_check_plan &plan) { return begin_galaxy(plan, false); }

galaxy_accumulator *begin_galaxy_recentring(const galaxy_check_plan &plan) { return begin_galaxy(plan, true); }

std::vector<uint64_t> galaxy_first_indices(const galaxy_check_plan &plan) {
  std::vector<uint64_t> firsts = {0};
  for (const galaxy_check_part &part : plan.parts) {
    if (part.count > 0) firsts.push_back(part.first);
  }
  return firsts;
}

void note_galaxy_firsts(galaxy_accumulator *acc, const particle_data &chunk, uint64_t first) {
  const uint64_t n = static_cast<uint64_t>(std::max<int64_t>(chunk.nb_element, 0));
  if (first == 0 && n > 0 && !acc->first_mass_known) {
    acc->first_mass = chunk.mass[0];
    acc->first_mass_known = true;
    acc->totals = new_galaxy_lane(*acc);  // its sums in units of this mass
  }
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    const uint64_t at = acc->plan.parts[p].first;
    if (acc->parts[p] != nullptr && acc->plan.parts[p].count > 0 && at >= first && at < first + n) {
      set_first_mass(acc->parts[p], chunk.mass[at - first]);
    }
  }
}

galaxy_lane *open_galaxy_lane(galaxy_accumulator *acc) {
  std::unique_ptr<galaxy_lane> lane;
  {
    const std::lock_guard<std::mutex> hold(acc->lock);
    lane = new_galaxy_lane(*acc);
  }
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    lane->parts.push_back(acc->parts[p] != nullptr ? open_check_lane(acc->parts[p]) : nullptr);
    lane->discs.push_back(acc->discs[p] != nullptr ? open_disc_lane(acc->discs[p]) : nullptr);
  }
  return lane.release();
}

void add_galaxy_lane_particles(galaxy_accumulator *acc, galaxy_lane *lane, const particle_data &chunk, uint64_t first) {
  const size_t n = static_cast<size_t>(chunk.nb_element);
  if (acc->plan.whole.ids == ids_stored && !acc->prepass) {
    const std::lock_guard<std::mutex> hold(acc->lock);
    tally_ids(&acc->ids, chunk.ids.data(), chunk.ids.size(), first);
  }
  size_t from = 0;
  uint32_t current = n > 0 ? part_of(*acc, first) : 0;
  for (size_t i = 0; i <= n; ++i) {
    const uint32_t part = i < n ? part_of(*acc, first + i) : static_cast<uint32_t>(-1);
    if (i < n && !acc->prepass) {
      const int64_t block = static_cast<int64_t>((first + i) / check_block);
      if (block != lane->block) {
        fold_block(&lane->sums);
        lane->block = block;
      }
      add_to_whole(acc, lane, first + i, part, &chunk.pos[3 * i], &chunk.vel[3 * i], chunk.mass[i]);
    }
    // Each run of one part's particles goes to that part's checks.
    if (part != current) {
      if (current < acc->parts.size() && i > from) {
        particle_data run = slice(chunk, from, i);
        if (acc->plan.parts[current].stretch != nullptr) unstretch(acc->plan.parts[current], &run);
        if (lane->parts[current] != nullptr) add_lane_particles(acc->parts[current], lane->parts[current], run, first + from);
        if (lane->discs[current] != nullptr) add_disc_lane_particles(acc->discs[current], lane->discs[current], run, first + from);
      }
      from = i;
      current = part;
    }
  }
  lane->count += n;
}

void close_galaxy_lane(galaxy_accumulator *acc, galaxy_lane *lane) {
  std::unique_ptr<galaxy_lane> owned(lane);
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    if (lane->parts[p] != nullptr) close_check_lane(acc->parts[p], lane->parts[p]);
    if (lane->discs[p] != nullptr) close_disc_lane(acc->discs[p], lane->discs[p]);
  }
  lane->parts.clear(), lane->discs.clear();
  fold_block(&lane->sums);
  const std::lock_guard<std::mutex> hold(acc->lock);
  merge_galaxy_lane(acc->totals.get(), *lane);
}

void add_galaxy_particles(galaxy_accumulator *acc, const particle_data &chunk) {
  note_galaxy_firsts(acc, chunk, acc->next);
  if (acc->own_lane == nullptr) acc->own_lane = open_galaxy_lane(acc);
  add_galaxy_lane_particles(acc, acc->own_lane, chunk, acc->next);
  acc->next += static_cast<uint64_t>(std::max<int64_t>(chunk.nb_element, 0));
}

void discard_galaxy_checks(galaxy_accumulator *acc) {
  if (acc == nullptr) return;
  if (acc->own_lane != nullptr) close_galaxy_lane(acc, acc->own_lane);
  for (check_accumulator *part : acc->parts) discard_checks(part);
  for (disc_accumulator *disc : acc->discs) discard_disc_checks(disc);
  delete acc;
}

namespace {

long double whole_total(const galaxy_accumulator &acc, int slot) { return wide_value(acc.totals->sums.total[slot]); }

// The virial ratios of the whole and of each part in the potential of all
// the particles: W_c = -sum over c's particles of G m M(< r) / r, 2K_c =
// sum of m v^2. Each ratio is held against 1 in units of its sampling
// error, from the first-order terms of every particle: m v^2 (when in c)
// and m G M(< r) / r (when in c) + G m times the sum over c's particles
// beyond it of m / r.
std::vector<check_line> virial_lines(const galaxy_accumulator &acc) {
  const size_t parts = acc.plan.parts.size();
  std::vector<check_line> lines;
  const bool has_disc = std::any_of(acc.plan.parts.begin(), acc.plan.parts.end(),
                                    [](const galaxy_check_part &p) { return p.disc != nullptr; });
  // part == parts stands for the whole galaxy.
  for (size_t c = 0; c <= parts; ++c) {
    const std::string name = c == parts ? "galaxy: virial ratio 2K/|W|" : acc.plan.parts[c].name + ": virial ratio 2K/|W|";
    const virial_estimate v =
        radial_virial(acc.totals->potential, c == parts ? -1 : static_cast<int>(c), model_gravitational_constant);
    if (!v.in_range) {
      lines.push_back({name, "not computable: values beyond the reach of its sums", verdict_fail});
      continue;
    }
    if (!v.defined) {
      lines.push_back({name, "undefined (no potential energy)", verdict_fail});
      continue;
    }
    const double p = normal_two_sided_p((v.ratio - 1.0) / v.error);
    char figure[240];
    std::snprintf(figure, sizeof figure, "%.4f +- %.4f in the potential of all the particles, p = %.3g", v.ratio,
                  v.error, p);
    // W from M(< r) / r is exact, on average, for a spherical part in any
    // potential (Gauss), not for a disc or a whole holding one.
    const bool flat = c == parts ? has_disc : acc.plan.parts[c].disc != nullptr;
    if (flat) std::strncat(figure, " (a disc's W is not its spherical average's)", sizeof figure - std::strlen(figure) - 1);
    lines.push_back({name, figure, flat ? verdict_info : p < acc.plan.whole.threshold ? verdict_fail : verdict_pass});
  }
  return lines;
}

// The rounding a stored value of size largest allows: a few ulps (of
// float32 when stored so) of it and of the place it was stored about, and
// the six decimals of an SI text file.
double rounding_of(const galaxy_accumulator &acc, double largest, int of_velocity) {
  return std::max(1e-12, 4.0 * acc.plan.whole.position_rounding) * (largest + acc.plan.whole.stored_about[of_velocity]) +
         1e-6;
}

check_line centre_line(const galaxy_accumulator &acc) {
  const check_model &model = acc.plan.whole.model;
  const long double weight = whole_total(acc, whole_centre_weight);
  double centre[3];
  for (int k = 0; k < 3; ++k) centre[k] = static_cast<double>(whole_total(acc, whole_centre_moment + k) / weight);
  const double offset = length_of(centre), radius = model.centre_radius;
  const std::string basis =
      radius > 0.0 ? text_of(" (of the particles within %.4g a, 90 %% of the mass)", radius / model.typical_length) : "";
  if (!(weight > 0.0L)) return {"galaxy: centre of mass", "no particle to take it from", verdict_fail};
  if (model.zero_com) {
    const double n = static_cast<double>(acc.totals->centre_count);
    const double bound =
        radius > 0.0 ? rounding_of(acc, radius, 0) + 2.0 * radius / n : rounding_of(acc, acc.totals->largest_offset, 0);
    return {"galaxy: centre of mass", text_of("offset %.4g m", offset) + text_of(", rounding allows %.4g m", bound) + basis,
            offset <= bound ? verdict_pass : verdict_fail};
  }
  // The mass-weighted mean's scatter from the sample: sum m^2 r^2 / 3 a axis.
  const double variance = static_cast<double>(whole_total(acc, whole_centre_square) / (weight * weight)) / 3.0;
  double chi2 = 0.0;
  for (const double x : centre) chi2 += x * x / variance;
  const double p = chi_square_3_upper_tail(chi2);
  return {"galaxy: centre of mass",
          text_of("offset %.4g a", offset / model.typical_length) + text_of(", p = %.3g", p) + basis,
          p < acc.plan.whole.threshold ? verdict_fail : verdict_pass};
}

check_line momentum_line(const galaxy_accumulator &acc) {
  const long double weight = whole_total(acc, whole_weight);
  double mean[3];
  for (int k = 0; k < 3; ++k) mean[k] = static_cast<double>(whole_total(acc, whole_momentum + k) / weight);
  const double speed = length_of(mean);
  if (acc.plan.whole.model.zero_com) {
    const double bound = rounding_of(acc, acc.totals->largest_velocity, 1);
    return {"galaxy: net momentum", text_of("mean velocity %.4g m/s", speed) + text_of(", rounding allows %.4g m/s", bound),
            speed <= bound ? verdict_pass : verdict_fail};
  }
  const double scatter = std::sqrt(static_cast<double>(whole_total(acc, whole_momentum_square))) / static_cast<double>(weight);
  return {"galaxy: net momentum", text_of("mean velocity %.4g m/s", speed) + text_of(" (its scatter %.4g m/s)", scatter),
          verdict_info};
}

// The black hole: its mass, at the centre and at rest, up to rounding and,
// under zero_com, to what the subtracted mean moved it (six of its scatter).
check_line hole_line(const galaxy_accumulator &acc) {
  const galaxy_lane &t = *acc.totals;
  if (!t.hole_seen) return {"black hole", "missing: the galaxy's last particle is not there", verdict_fail};
  const double model = acc.plan.black_hole_mass, allowed = std::max(1e-9, acc.plan.whole.mass_rounding * 1.000001);
  const double offset = length_of(t.hole_offset), speed = length_of(t.hole_velocity);
  double slack_r = rounding_of(acc, t.largest_offset, 0), slack_v = rounding_of(acc, t.largest_velocity, 1);
  if (acc.plan.whole.model.zero_com) {
    slack_r += 6.0 * std::sqrt(static_cast<double>(whole_total(acc, whole_centre_square))) /
               static_cast<double>(whole_total(acc, whole_centre_weight));
    slack_v += 6.0 * std::sqrt(static_cast<double>(whole_total(acc, whole_momentum_square))) /
               static_cast<double>(whole_total(acc, whole_weight));
  }
  const bool ok = std::fabs(t.hole_mass - model) <= allowed * model && offset <= slack_r && speed <= slack_v;
  return {"black hole",
          text_of("mass %.6g kg", t.hole_mass) + text_of(" (model %.6g kg)", model) + text_of(", %.3g m", offset) +
              text_of(" from the centre (allowed %.3g m)", slack_r) + text_of(", speed %.3g m/s", speed),
          ok ? verdict_pass : verdict_fail};
}

check_line count_line(const galaxy_accumulator &acc) {
  uint64_t expected = acc.plan.black_hole ? 1 : 0;
  for (const galaxy_check_part &p : acc.plan.parts) expected += p.count;
  char text[160];
  std::snprintf(text, sizeof text, "%llu particles, the galaxy's %llu", static_cast<unsigned long long>(acc.totals->count),
                static_cast<unsigned long long>(expected));
  return {"galaxy: particle count", text, acc.totals->count == expected ? verdict_pass : verdict_fail};
}

bool any_failed(const std::vector<check_line> &lines) {
  return std::any_of(lines.begin(), lines.end(), [](const check_line &l) { return l.verdict == verdict_fail; });
}

void close_own_lane(galaxy_accumulator *acc) {
  if (acc->own_lane != nullptr) close_galaxy_lane(acc, acc->own_lane);
  acc->own_lane = nullptr;
}

// Each component's lines, under its name, and its verdict.
void part_lines(galaxy_accumulator *acc, check_result *result, std::vector<check_line> *verdicts) {
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    check_result part = acc->parts[p] != nullptr ? finish_checks(acc->parts[p]) : finish_disc_checks(acc->discs[p]);
    acc->parts[p] = nullptr;
    acc->discs[p] = nullptr;
    const std::string &name = acc->plan.parts[p].name;
    for (check_line &line : part.lines) result->lines.push_back({name + ": " + line.name, line.figure, line.verdict});
    if (const spheroid_stretch *s = acc->plan.parts[p].stretch) {
      char figure[200];
      std::snprintf(figure, sizeof figure,
                    "velocities held after division by the disc's stretch of sigma^2, %.3f to %.3f within r99",
                    s->smallest, s->largest);
      result->lines.push_back({name + ": flattened Jeans stretch", figure, verdict_info});
    }
    const double largest = std::max(result->sample.largest_radius, part.sample.largest_radius);
    if (result->sample.sorted_radii.empty()) result->sample = std::move(part.sample);
    result->sample.largest_radius = largest;
    if (!result->disc.present) result->disc = std::move(part.disc);
    verdicts->push_back({name + ": verdict", "its own lines", part.passed ? verdict_pass : verdict_fail});
  }
}

}  // namespace

std::vector<ks_histogram *> galaxy_checks_histograms(galaxy_accumulator *acc) {
  std::vector<ks_histogram *> all;
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    const std::vector<ks_histogram *> part = acc->parts[p] != nullptr ? checks_histograms(acc->parts[p])
                                             : acc->discs[p] != nullptr ? disc_checks_histograms(acc->discs[p])
                                                                        : std::vector<ks_histogram *>();
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

check_result finish_galaxy_checks(galaxy_accumulator *accumulator) {
  std::unique_ptr<galaxy_accumulator> acc(accumulator);
  close_own_lane(acc.get());
  finish_ids(&acc->ids);
  check_result result;
  std::vector<check_line> verdicts;
  // Under zero_com every part moved with the whole's subtracted mean.
  const long double centre_weight = whole_total(*acc, whole_centre_weight);
  if (acc->plan.whole.model.zero_com && centre_weight > 0.0L) {
    const double shift = static_cast<double>(whole_total(*acc, whole_centre_square) / (centre_weight * centre_weight)) / 3.0;
    for (check_accumulator *part : acc->parts) {
      if (part != nullptr) set_shift_variance(part, shift);
    }
  }
  part_lines(acc.get(), &result, &verdicts);
  std::vector<check_line> whole = {count_line(*acc)};
  const id_verdict ids = judge_ids(acc->ids, acc->plan.whole.ids, acc->plan.whole.ids_note);
  whole.push_back({"galaxy: ids", ids.figure, ids.informative ? verdict_info : ids.passed ? verdict_pass : verdict_fail});
  if (acc->totals->finite > 0) {
    whole.push_back(centre_line(*acc));
    whole.push_back(momentum_line(*acc));
    if (acc->plan.black_hole) whole.push_back(hole_line(*acc));
    for (check_line &line : virial_lines(*acc)) whole.push_back(line);
  } else {
    whole.push_back({"galaxy: statistics", "no particle with finite values", verdict_fail});
  }
  // The virial ratio of a component belongs with its verdict too.
  for (size_t p = 0; p < verdicts.size(); ++p) {
    for (const check_line &line : whole) {
      if (line.name == acc->plan.parts[p].name + ": virial ratio 2K/|W|" && line.verdict == verdict_fail) {
        verdicts[p].verdict = verdict_fail;
      }
    }
  }
  for (check_line &line : whole) result.lines.push_back(line);
  for (check_line &line : verdicts) result.lines.push_back(line);
  result.passed = !any_failed(result.lines);
  result.lines.push_back({"galaxy: verdict", "every line above", result.passed ? verdict_pass : verdict_fail});
  return result;
}

void finish_galaxy_recentring(galaxy_accumulator *accumulator, galaxy_check_plan *plan) {
  std::unique_ptr<galaxy_accumulator> acc(accumulator);
  close_own_lane(acc.get());
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    if (acc->parts[p] != nullptr) finish_recentring(acc->parts[p], &plan->parts[p].options);
    acc->parts[p] = nullptr;
  }
}

void pack_galaxy_checks(const galaxy_accumulator *acc, byte_writer *out) {
  const galaxy_lane &t = *acc->totals;
  pack_block_sums(out, t.sums);
  out->put(t.count), out->put(t.finite), out->put(t.centre_count), out->put(t.largest_offset);
  out->put(t.largest_velocity);
  out->put(t.hole_seen), out->put(t.hole_offset), out->put(t.hole_velocity), out->put(t.hole_mass);
  out->put<uint8_t>(acc->prepass ? 0 : 1);
  if (!acc->prepass) pack_radial(out, t.potential);
  pack_ids(out, acc->ids);
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    const size_t start = out->begin_bytes();
    if (acc->parts[p] != nullptr) pack_checks(acc->parts[p], out);
    if (acc->discs[p] != nullptr) pack_disc_checks(acc->discs[p], out);
    out->end_bytes(start);
  }
}

bool merge_packed_galaxy_checks(galaxy_accumulator *acc, byte_reader in) {
  std::unique_ptr<galaxy_lane> other = new_galaxy_lane(*acc);
  galaxy_lane &t = *other;
  uint8_t radial = 0;
  if (!unpack_block_sums(&in, &t.sums) || !in.get(&t.count) || !in.get(&t.finite) || !in.get(&t.centre_count) ||
      !in.get(&t.largest_offset) || !in.get(&t.largest_velocity) || !in.get(&t.hole_seen) || !in.get(&t.hole_offset) ||
      !in.get(&t.hole_velocity) || !in.get(&t.hole_mass) || !in.get(&radial) || radial != (acc->prepass ? 0 : 1)) {
    return false;
  }
  if (!acc->prepass && !unpack_merge_radial(&in, &t.potential)) return false;
  if (!unpack_merge_ids(&in, &acc->ids)) return false;
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    byte_reader part_bytes;
    if (!in.get_bytes(&part_bytes)) return false;
    if (acc->parts[p] != nullptr && !merge_packed_checks(acc->parts[p], part_bytes)) return false;
    if (acc->discs[p] != nullptr && !merge_packed_disc_checks(acc->discs[p], part_bytes)) return false;
  }
  merge_galaxy_lane(acc->totals.get(), t);
  return in.at == in.end;
}

double galaxy_check_fixed_bytes(const galaxy_check_plan &plan, int threads) {
  double bytes = 0.0;
  for (const galaxy_check_part &part : plan.parts) {
    bytes += part.disc != nullptr ? disc_check_fixed_bytes(threads) : check_fixed_bytes(part.options, threads);
  }
  const double potential = (plan.parts.size() + 1.0) * radial_bin_count * radial_moments * sizeof(__int128);
  return bytes + (threads + 1) * potential;
}

double galaxy_check_bytes_per_particle(const galaxy_check_plan &plan) { return check_bytes_per_particle(plan.whole); }
