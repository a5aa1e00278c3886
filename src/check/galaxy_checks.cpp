#include "galaxy_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "check_statistics.h"
#include "disc_checks.h"

namespace {

// A particle as the whole galaxy's virial ratio needs it: radius, mass,
// squared speed, and its part (the black hole's is parts.size()).
struct galaxy_entry {
  float radius, mass, speed2;
  uint32_t part;
};

std::string text_of(const char *pattern, double value) {
  char text[160];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

double length_of(const double v[3]) { return std::hypot(v[0], v[1], v[2]); }

}  // namespace

struct galaxy_accumulator {
  galaxy_check_plan plan;
  std::vector<check_accumulator *> parts;  // null for a disc
  std::vector<disc_accumulator *> discs;   // null but for a disc
  uint64_t next = 0;  // the global index of the next particle
  id_tally ids;
  uint64_t count = 0, finite = 0;
  // Over finite particles (within centre_radius for the centre, when set):
  long double weight = 0.0L, centre_sum[3] = {0, 0, 0}, momentum_sum[3] = {0, 0, 0};
  long double centre_weight = 0.0L, centre_moment[3] = {0, 0, 0}, centre_square = 0.0L, momentum_square = 0.0L;
  size_t centre_count = 0;
  double largest_offset = 0.0, largest_velocity = 0.0;
  std::vector<galaxy_entry> entries;
  bool hole_seen = false;
  double hole_offset[3] = {0, 0, 0}, hole_velocity[3] = {0, 0, 0}, hole_mass = 0.0;
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

void add_to_whole(galaxy_accumulator *acc, uint32_t part, const double *x, const double *moving, double mass) {
  const check_model &model = acc->plan.whole.model;
  double d[3], v[3];
  bool finite = std::isfinite(mass);
  for (int k = 0; k < 3; ++k) {
    d[k] = x[k] - model.centre[k];
    v[k] = moving[k] - model.bulk_velocity[k];
    finite = finite && std::isfinite(d[k]) && std::isfinite(v[k]);
  }
  if (part == acc->plan.parts.size() && acc->plan.black_hole && !acc->hole_seen) {
    acc->hole_seen = true;
    acc->hole_mass = mass;
    for (int k = 0; k < 3; ++k) acc->hole_offset[k] = d[k], acc->hole_velocity[k] = v[k];
  }
  if (!finite) return;
  ++acc->finite;
  const double r = length_of(d), speed2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
  acc->weight += mass;
  for (int k = 0; k < 3; ++k) {
    acc->centre_sum[k] += static_cast<long double>(mass) * d[k];
    acc->momentum_sum[k] += static_cast<long double>(mass) * v[k];
    acc->largest_offset = std::max(acc->largest_offset, std::fabs(x[k]));
    acc->largest_velocity = std::max(acc->largest_velocity, std::fabs(moving[k]));
  }
  acc->momentum_square += static_cast<long double>(mass) * mass * speed2;
  if (!(model.centre_radius > 0.0) || r < model.centre_radius) {
    acc->centre_weight += mass;
    for (int k = 0; k < 3; ++k) acc->centre_moment[k] += static_cast<long double>(mass) * d[k];
    acc->centre_square += static_cast<long double>(mass) * mass * r * r;
    ++acc->centre_count;
  }
  acc->entries.push_back({static_cast<float>(std::min(r, 3e38)), static_cast<float>(mass),
                          static_cast<float>(std::min(speed2, 3e38)), part});
}

// The virial ratios of the whole and of each part in the potential of all
// the particles: W_c = -sum over c's particles of G m M(< r) / r (exact for
// the spherically averaged sample), 2K_c = sum of m v^2. Each ratio is held
// against 1 in units of its sampling error, from the first-order terms of
// every particle: a_q = m v^2 (when in c) and d_q = m G M(< r_q) / r_q
// (when in c) + G m_q sum over c's particles beyond it of m / r.
std::vector<check_line> virial_lines(galaxy_accumulator *acc) {
  std::vector<galaxy_entry> &e = acc->entries;
  std::sort(e.begin(), e.end(), [](const galaxy_entry &x, const galaxy_entry &y) { return x.radius < y.radius; });
  const size_t n = e.size(), parts = acc->plan.parts.size();
  const double G = model_gravitational_constant, threshold = acc->plan.whole.threshold;
  std::vector<double> inside(n);  // G M(< r_i) / r_i
  long double mass = 0.0L;
  for (size_t i = 0; i < n; ++i) {
    inside[i] = e[i].radius > 0.0f ? G * static_cast<double>(mass) / e[i].radius : 0.0;
    mass += e[i].mass;
  }
  std::vector<check_line> lines;
  const bool has_disc = std::any_of(acc->plan.parts.begin(), acc->plan.parts.end(),
                                    [](const galaxy_check_part &p) { return p.disc != nullptr; });
  // part == parts stands for the whole galaxy.
  for (size_t c = 0; c <= parts; ++c) {
    const auto in_c = [&](size_t i) { return c == parts || e[i].part == c; };
    long double a = 0.0L, b = 0.0L;
    for (size_t i = 0; i < n; ++i) {
      if (!in_c(i)) continue;
      a += static_cast<long double>(e[i].mass) * e[i].speed2;
      b += static_cast<long double>(e[i].mass) * inside[i];
    }
    const std::string name = c == parts ? "galaxy: virial ratio 2K/|W|" : acc->plan.parts[c].name + ": virial ratio 2K/|W|";
    if (!(b > 0.0L)) {
      lines.push_back({name, "undefined (no potential energy)", verdict_fail});
      continue;
    }
    const double ratio = static_cast<double>(a / b);
    std::vector<double> term(n);
    long double outer = 0.0L, sum = 0.0L;
    for (size_t i = n; i-- > 0;) {
      const double d = (in_c(i) ? e[i].mass * inside[i] : 0.0) + G * e[i].mass * static_cast<double>(outer);
      term[i] = (in_c(i) ? static_cast<double>(e[i].mass) * e[i].speed2 : 0.0) - ratio * d;
      sum += term[i];
      if (in_c(i) && e[i].radius > 0.0f) outer += e[i].mass / e[i].radius;
    }
    const double mean = static_cast<double>(sum / n);
    long double spread = 0.0L;
    for (size_t i = 0; i < n; ++i) spread += static_cast<long double>(term[i] - mean) * (term[i] - mean);
    const double error = std::sqrt(static_cast<double>(spread)) / static_cast<double>(b);
    const double p = normal_two_sided_p((ratio - 1.0) / error);
    char figure[240];
    std::snprintf(figure, sizeof figure, "%.4f +- %.4f in the potential of all the particles, p = %.3g", ratio, error, p);
    // W from M(< r) / r is exact, on average, for a spherical part in any
    // potential (Gauss), not for a disc or a whole holding one.
    const bool flat = c == parts ? has_disc : acc->plan.parts[c].disc != nullptr;
    if (flat) std::strncat(figure, " (a disc's W is not its spherical average's)", sizeof figure - std::strlen(figure) - 1);
    lines.push_back({name, figure, flat ? verdict_info : p < threshold ? verdict_fail : verdict_pass});
  }
  return lines;
}

// The rounding a stored value of size largest allows: a few ulps (of
// float32 when stored so), and the six decimals of an SI text file.
double rounding_of(const galaxy_accumulator &acc, double largest) {
  return std::max(1e-12, 4.0 * acc.plan.whole.position_rounding) * largest + 1e-6;
}

check_line centre_line(const galaxy_accumulator &acc) {
  const check_model &model = acc.plan.whole.model;
  double centre[3];
  for (int k = 0; k < 3; ++k) centre[k] = static_cast<double>(acc.centre_moment[k] / acc.centre_weight);
  const double offset = length_of(centre), radius = model.centre_radius;
  const std::string basis =
      radius > 0.0 ? text_of(" (of the particles within %.4g a, 90 %% of the mass)", radius / model.typical_length) : "";
  if (!(acc.centre_weight > 0.0L)) return {"galaxy: centre of mass", "no particle to take it from", verdict_fail};
  if (model.zero_com) {
    const double n = static_cast<double>(acc.centre_count);
    const double bound = radius > 0.0 ? rounding_of(acc, radius) + 2.0 * radius / n : rounding_of(acc, acc.largest_offset);
    return {"galaxy: centre of mass", text_of("offset %.4g m", offset) + text_of(", rounding allows %.4g m", bound) + basis,
            offset <= bound ? verdict_pass : verdict_fail};
  }
  // The mass-weighted mean's scatter from the sample: sum m^2 r^2 / 3 a axis.
  const double variance = static_cast<double>(acc.centre_square / (acc.centre_weight * acc.centre_weight)) / 3.0;
  double chi2 = 0.0;
  for (const double x : centre) chi2 += x * x / variance;
  const double p = chi_square_3_upper_tail(chi2);
  return {"galaxy: centre of mass",
          text_of("offset %.4g a", offset / model.typical_length) + text_of(", p = %.3g", p) + basis,
          p < acc.plan.whole.threshold ? verdict_fail : verdict_pass};
}

check_line momentum_line(const galaxy_accumulator &acc) {
  double mean[3];
  for (int k = 0; k < 3; ++k) mean[k] = static_cast<double>(acc.momentum_sum[k] / acc.weight);
  const double speed = length_of(mean);
  if (acc.plan.whole.model.zero_com) {
    const double bound = rounding_of(acc, acc.largest_velocity);
    return {"galaxy: net momentum", text_of("mean velocity %.4g m/s", speed) + text_of(", rounding allows %.4g m/s", bound),
            speed <= bound ? verdict_pass : verdict_fail};
  }
  const double scatter = std::sqrt(static_cast<double>(acc.momentum_square)) / static_cast<double>(acc.weight);
  return {"galaxy: net momentum", text_of("mean velocity %.4g m/s", speed) + text_of(" (its scatter %.4g m/s)", scatter),
          verdict_info};
}

// The black hole: its mass, at the centre and at rest, up to rounding and,
// under zero_com, to what the subtracted mean moved it (six of its scatter).
check_line hole_line(const galaxy_accumulator &acc) {
  if (!acc.hole_seen) return {"black hole", "missing: the galaxy's last particle is not there", verdict_fail};
  const double model = acc.plan.black_hole_mass, allowed = std::max(1e-9, acc.plan.whole.mass_rounding * 1.000001);
  const double offset = length_of(acc.hole_offset), speed = length_of(acc.hole_velocity);
  double slack_r = rounding_of(acc, acc.largest_offset), slack_v = rounding_of(acc, acc.largest_velocity);
  if (acc.plan.whole.model.zero_com) {
    slack_r += 6.0 * std::sqrt(static_cast<double>(acc.centre_square)) / static_cast<double>(acc.centre_weight);
    slack_v += 6.0 * std::sqrt(static_cast<double>(acc.momentum_square)) / static_cast<double>(acc.weight);
  }
  const bool ok = std::fabs(acc.hole_mass - model) <= allowed * model && offset <= slack_r && speed <= slack_v;
  return {"black hole",
          text_of("mass %.6g kg", acc.hole_mass) + text_of(" (model %.6g kg)", model) + text_of(", %.3g m", offset) +
              text_of(" from the centre (allowed %.3g m)", slack_r) + text_of(", speed %.3g m/s", speed),
          ok ? verdict_pass : verdict_fail};
}

check_line count_line(const galaxy_accumulator &acc) {
  uint64_t expected = acc.plan.black_hole ? 1 : 0;
  for (const galaxy_check_part &p : acc.plan.parts) expected += p.count;
  char text[160];
  std::snprintf(text, sizeof text, "%llu particles, the galaxy's %llu", static_cast<unsigned long long>(acc.count),
                static_cast<unsigned long long>(expected));
  return {"galaxy: particle count", text, acc.count == expected ? verdict_pass : verdict_fail};
}

bool any_failed(const std::vector<check_line> &lines) {
  return std::any_of(lines.begin(), lines.end(), [](const check_line &l) { return l.verdict == verdict_fail; });
}

}  // namespace

galaxy_accumulator *begin_galaxy_checks(const galaxy_check_plan &plan) {
  auto acc = std::make_unique<galaxy_accumulator>();
  acc->plan = plan;
  acc->ids.expected = plan.whole.known_count;
  for (const galaxy_check_part &part : plan.parts) {
    acc->parts.push_back(part.disc == nullptr ? begin_checks(part.options) : nullptr);
    acc->discs.push_back(part.disc != nullptr ? begin_disc_checks(part.options, part.disc) : nullptr);
  }
  if (plan.whole.known_count > 0) acc->entries.reserve(plan.whole.known_count);
  return acc.release();
}

void add_galaxy_particles(galaxy_accumulator *acc, const particle_data &chunk) {
  const size_t n = static_cast<size_t>(chunk.nb_element);
  if (acc->plan.whole.ids == ids_stored) tally_ids(&acc->ids, chunk.ids.data(), chunk.ids.size());
  size_t from = 0;
  uint32_t current = n > 0 ? part_of(*acc, acc->next) : 0;
  for (size_t i = 0; i <= n; ++i) {
    const uint32_t part = i < n ? part_of(*acc, acc->next + i) : static_cast<uint32_t>(-1);
    if (i < n) add_to_whole(acc, part, &chunk.pos[3 * i], &chunk.vel[3 * i], chunk.mass[i]);
    // Each run of one part's particles goes to that part's checks.
    if (part != current) {
      if (current < acc->parts.size() && i > from) {
        if (acc->parts[current] != nullptr) add_particles(acc->parts[current], slice(chunk, from, i));
        if (acc->discs[current] != nullptr) add_disc_particles(acc->discs[current], slice(chunk, from, i));
      }
      from = i;
      current = part;
    }
  }
  acc->next += n;
  acc->count += n;
}

void discard_galaxy_checks(galaxy_accumulator *acc) {
  if (acc == nullptr) return;
  for (check_accumulator *part : acc->parts) discard_checks(part);
  for (disc_accumulator *disc : acc->discs) discard_disc_checks(disc);
  delete acc;
}

check_result finish_galaxy_checks(galaxy_accumulator *accumulator) {
  std::unique_ptr<galaxy_accumulator> acc(accumulator);
  check_result result;
  std::vector<check_line> verdicts;
  // Under zero_com every part moved with the whole's subtracted mean.
  if (acc->plan.whole.model.zero_com && acc->centre_weight > 0.0L) {
    const double shift = static_cast<double>(acc->centre_square / (acc->centre_weight * acc->centre_weight)) / 3.0;
    for (check_accumulator *part : acc->parts) {
      if (part != nullptr) set_shift_variance(part, shift);
    }
  }
  for (size_t p = 0; p < acc->parts.size(); ++p) {
    check_result part = acc->parts[p] != nullptr ? finish_checks(acc->parts[p]) : finish_disc_checks(acc->discs[p]);
    acc->parts[p] = nullptr;
    acc->discs[p] = nullptr;
    const std::string &name = acc->plan.parts[p].name;
    for (check_line &line : part.lines) result.lines.push_back({name + ": " + line.name, line.figure, line.verdict});
    if (result.sample.sorted_radii.empty()) result.sample = std::move(part.sample);
    if (!result.disc.present) result.disc = std::move(part.disc);
    verdicts.push_back({name + ": verdict", "its own lines", part.passed ? verdict_pass : verdict_fail});
  }
  std::vector<check_line> whole = {count_line(*acc)};
  const id_verdict ids = judge_ids(acc->ids, acc->plan.whole.ids, acc->plan.whole.ids_note);
  whole.push_back({"galaxy: ids", ids.figure, ids.informative ? verdict_info : ids.passed ? verdict_pass : verdict_fail});
  if (acc->finite > 0) {
    whole.push_back(centre_line(*acc));
    whole.push_back(momentum_line(*acc));
    if (acc->plan.black_hole) whole.push_back(hole_line(*acc));
    for (check_line &line : virial_lines(acc.get())) whole.push_back(line);
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

double galaxy_check_bytes_per_particle(const galaxy_check_plan &plan) {
  double most = 0.0;
  for (const galaxy_check_part &part : plan.parts) {
    most = std::max(most, part.disc != nullptr ? disc_check_bytes_per_particle() : check_bytes_per_particle(part.options));
  }
  // The entries, and the virial ratios' potential and terms at the end.
  return most + sizeof(galaxy_entry) * (plan.whole.known_count > 0 ? 1.0 : 3.0) + 2 * sizeof(double);
}
