#include "encounter_run.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "encounter_plan.h"
#include "exact_sum.h"
#include "error_report.h"
#include "galaxy_file.h"
#include "galaxy_options.h"
#include "galaxy_plan.h"
#include "progress.h"
#include "run_output.h"

namespace {

constexpr double degree = 3.14159265358979323846 / 180.0;

bool judge_member(const encounter_member &m, const generation_plan &base, member_run *run) {
  std::vector<int64_t> counts;
  std::string why;
  if (!count_components(m.galaxy, &counts, &why)) {
    report_error("erreur: galaxy %s: %s", m.name.c_str(), why.c_str());
    return false;
  }
  run->total = m.galaxy.black_hole_mass > 0.0 ? 1 : 0;
  for (const int64_t n : counts) run->total += n;
  run->galaxy = parameters_of(m.galaxy);
  run->plan = base;
  run->plan.seeded = true, run->plan.seed = m.seed;
  return judge_described_galaxy(m.galaxy, counts, run->total, &run->galaxy, &run->plan, &run->tables,
                                &run->radius_max, nullptr, false);
}

}  // namespace

double half_mass_radius(const member_run &run) {
  const profile_model &m = run.tables.models.front();
  const std::vector<double> &M = m.total_mass;
  if (M.empty()) return 0.0;
  const double half = 0.5 * M.back();
  size_t i = 0;
  while (i + 1 < M.size() && M[i + 1] < half) ++i;
  const double t = i + 1 < M.size() && M[i + 1] > M[i] ? std::clamp((half - M[i]) / (M[i + 1] - M[i]), 0.0, 1.0) : 0.0;
  return std::exp(m.log_r0 + m.step * (static_cast<double>(i) + t)) * run.galaxy.typical_length;
}

void shift_by_frame(gal_system *sys, const output_frame &frame) {
  if (!frame.shifted) return;
  const size_t n = static_cast<size_t>(sys->nb_element);
  for (size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 3; ++k) {
      sys->pos[3 * i + k] += frame.position_offset[k] * frame.scale.length;
      sys->vel[3 * i + k] += frame.velocity_offset[k] * frame.scale.velocity;
    }
  }
}

void body_offset_sums(const gal_system &sys, const member_run &run, double sums[4]) {
  const double radius = centre_radius_of(run.tables.models, run.galaxy.typical_length);
  for (int k = 0; k < 4; ++k) sums[k] = 0.0;
  if (!(radius > 0.0)) return;
  const double *c = run.centre;
  for (int32_t i = 0; i < sys.nb_element; ++i) {
    const double *x = sys.pos + 3 * i;
    if (std::hypot(x[0] - c[0], x[1] - c[1], x[2] - c[2]) >= radius) continue;
    for (int k = 0; k < 3; ++k) sums[k] += sys.mass[i] * (x[k] - c[k]);
    sums[3] += sys.mass[i];
  }
}

void warn_of_stray_centre(const member_run &run, const std::string &name, const double sums[4]) {
  const double off = sums[3] > 0.0 ? std::hypot(sums[0], sums[1], sums[2]) / sums[3] : 0.0;
  const double half = half_mass_radius(run);
  if (off > 0.01 * half) {
    std::fprintf(stderr, "galaxy-ic: galaxy %s: its centre of mass, which the orbit places, is %.3g of its half-mass "
                 "radius from the centre of its particles within 90 %% of its mass (a profile's mean square radius "
                 "diverges without a taper: a cutoff, or more particles, brings them together)\n",
                 name.c_str(), off / half);
  }
}

void move_into_file(const member_run &run, const gal_system &own, uint64_t from, gal_system *all, uint64_t to) {
  double x[3], v[3];
  for (int c = 0; c < 3; ++c) x[c] = own.pos[3 * from + c] - run.centre[c], v[c] = own.vel[3 * from + c] - run.drift[c];
  move_into_pair(run.motion, x, v);
  for (int c = 0; c < 3; ++c) all->pos[3 * to + c] = x[c], all->vel[3 * to + c] = v[c];
  all->mass[to] = own.mass[from];
}

namespace {

// The galaxy's particles in its own frame (its zero_com's, else as drawn),
// SI, as its run alone would have them before their units.
bool make_member(member_run *run, const std::string &name, progress_meter *meter, const std::atomic<bool> *cancel,
                 owned_record *out) {
  gal_system *sys = alloc_unplaced_gal_system(static_cast<int32_t>(run->total), run->galaxy.typical_length,
                                              run->radius_max, run->galaxy.total_mass,
                                              default_duration / default_nb_step, default_duration);
  if (sys == nullptr) {
    report_error("erreur: cannot allocate memory for %lld particles", static_cast<long long>(run->total));
    return false;
  }
  out->reset(sys);
  const output_frame frame = place_for_frame(sys, run->galaxy, &run->plan, meter, cancel);
  bool made = run->plan.already_placed;
  if (!made && !run->galaxy.zero_com && !(cancel != nullptr && cancel->load())) {
    particle_sink sink = progress_sink(meter, sys);
    sink.cancel = cancel;
    made = generate_particle_file(sys, run->plan, sink);
  }
  if (cancel != nullptr && cancel->load()) return false;
  if (!made) {
    if (draws_exhausted(run->plan)) report_exhausted_draws();
    return false;
  }
  shift_by_frame(sys, frame);
  exact_sum sums[7];
  add_record_sums(sys, true, sums);
  means_of_sums(sums, run->centre, run->drift);
  // A mean square radius that diverges leaves the centre of mass to the
  // farthest few particles: said when it strays from the body's centre
  // (that of the particles within 90 % of the mass, as --zero-com takes it).
  double body[4];
  body_offset_sums(*sys, *run, body);
  warn_of_stray_centre(*run, name, body);
  return true;
}

}  // namespace

std::vector<placed_group> file_order(const std::vector<member_run> &runs) {
  std::vector<placed_group> order;
  for (size_t k = 0; k < runs.size(); ++k) {
    for (const particle_group &g : runs[k].tables.groups.groups) order.push_back({k, g});
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const placed_group &a, const placed_group &b) { return a.group.type < b.group.type; });
  return order;
}

particle_groups placed_groups(const std::vector<placed_group> &order, const encounter_description &e) {
  particle_groups groups;
  uint64_t at = 0;
  for (const placed_group &p : order) {
    particle_group placed = p.group;
    placed.name = e.members[p.galaxy].name + " " + p.group.name;
    placed.first = at;
    groups.groups.push_back(placed);
    at += p.group.count;
  }
  return groups;
}

namespace {

// Copies galaxy k's groups into the file's record, turned and moved, with
// their IDs.
void place_member(const gal_system &own, const member_run &run, size_t k, const std::vector<placed_group> &order,
                  const particle_groups &groups, gal_system *all, std::vector<uint64_t> *ids) {
  for (size_t p = 0; p < order.size(); ++p) {
    if (order[p].galaxy != k) continue;
    const particle_group &g = order[p].group;
    const uint64_t at = groups.groups[p].first;
    const auto copy = [&](uint64_t begin, uint64_t end) {
      for (uint64_t j = begin; j < end; ++j) {
        move_into_file(run, own, g.first + j, all, at + j);
        (*ids)[at + j] = run.first_id + g.first + j + 1;
      }
    };
    // Each particle on its own: two threads give the same bytes as one.
    std::thread other(copy, g.count / 2, g.count);
    copy(0, g.count / 2);
    other.join();
  }
}

void add_member_fields(const encounter_member &m, const member_run &run, const output_frame &frame, int k,
                       std::vector<provenance_field> *fields) {
  const std::string key = "Galaxy" + std::to_string(k + 1);
  fields->push_back(text_field(key + "Name", m.name));
  fields->push_back(text_field(key + "File", m.file.empty() ? "inline" : m.file));
  fields->push_back(text_field(key + "Seed", std::to_string(m.seed)));
  provenance_field first, count;
  first.kind = count.kind = provenance_field::number;
  first.name = key + "FirstID", first.count = run.first_id + 1;
  count.name = key + "Count", count.count = static_cast<uint64_t>(run.total);
  fields->push_back(first);
  fields->push_back(count);
  fields->push_back(real_field(key + "SpinTheta", m.spin_theta / degree));
  fields->push_back(real_field(key + "SpinPhi", m.spin_phi / degree));
  double x[3], v[3];
  for (int c = 0; c < 3; ++c) {
    x[c] = run.motion.position[c] / frame.scale.length + (frame.shifted ? frame.position_offset[c] : 0.0);
    v[c] = run.motion.velocity[c] / frame.scale.velocity + (frame.shifted ? frame.velocity_offset[c] : 0.0);
  }
  fields->push_back(triple_field(key + "Position", x));
  fields->push_back(triple_field(key + "Velocity", v));
  for (int c = 0; c < 3; ++c) x[c] = run.centre[c] / frame.scale.length, v[c] = run.drift[c] / frame.scale.velocity;
  fields->push_back(triple_field(key + "OwnCentre", x));
  fields->push_back(triple_field(key + "OwnVelocity", v));
  // Its own file as this run made it (its seed the galaxy's), so that the
  // file says how to make the galaxy alone.
  const std::string own = galaxy_text_as_made(m.galaxy.text, -1, true, m.seed, "the encounter");
  if (!m.file.empty() && own.size() <= 60000) fields->push_back(text_field(key + "GalaxyFile", own));
}

}  // namespace

std::vector<provenance_field> encounter_fields(const encounter_description &e, const std::vector<member_run> &runs,
                                               const output_frame &frame) {
  std::vector<provenance_field> fields;
  for (size_t k = 0; k < runs.size(); ++k) add_member_fields(e.members[k], runs[k], frame, static_cast<int>(k), &fields);
  const double mu = gravitational_constant * (runs[0].galaxy.total_mass + runs[1].galaxy.total_mass);
  fields.push_back(real_field("OrbitPericentre", e.orbit.pericentre / frame.scale.length));
  fields.push_back(real_field("OrbitEccentricity", e.orbit.eccentricity));
  fields.push_back(real_field("OrbitSeparation", e.orbit.separation / frame.scale.length));
  fields.push_back(real_field("OrbitTimeToPericentre",
                              time_to_pericentre(e.orbit, mu) * frame.scale.velocity / frame.scale.length));
  return fields;
}

// The encounter's file as read, with --seed (when given) in place of its
// seed for the galaxies that have none of their own.
bool judge_encounter(const run_settings &settings, encounter_description *e, generation_plan *plan,
                     output_choice *output) {
  if (!judge_galaxy_file_alone(settings)) return false;
  if (settings.count_text != nullptr) {
    report_error("erreur: -p has no place beside an encounter's file: each galaxy's description gives its count");
    return false;
  }
  if (!judge_plan(settings, plan) || !judge_format(settings, output)) return false;
  std::string why;
  if (!parse_encounter_text(*settings.galaxy_inline, settings.galaxy_text, e, &why)) {
    report_error("erreur: galaxy file %s", why.c_str());
    return false;
  }
  if (!counter_based_stream_available()) {
    report_error("erreur: an encounter's galaxies are made from seeded streams, which need Random123 (install "
                 "librandom123-dev, then configure again)");
    return false;
  }
  if (plan->seeded) e->seeded = true, e->seed = plan->seed;
  for (size_t k = 0; k < e->members.size(); ++k) {
    encounter_member &m = e->members[k];
    if (!m.own_seed && !e->seeded) {
      report_error("erreur: galaxy file %s: galaxy %s has no seed, nor has the file: each galaxy of an encounter is "
                   "made from its own seeded stream (give the file a seed, its [[galaxy]] table one, or --seed)",
                   settings.galaxy_text, m.name.c_str());
      return false;
    }
    if (!m.own_seed) m.seed = m.galaxy.seed = e->seed + k;  // modulo 2^64
  }
  plan->seeded = e->seeded, plan->seed = e->seed;
  return true;
}

// Each galaxy judged as alone; their places on the orbit and ID ranges.
bool judge_members(const encounter_description &e, const generation_plan &plan, std::vector<member_run> *runs,
                   int64_t *total, bool say, int64_t most) {
  runs->resize(e.members.size());
  // Their tables are built on one thread each, at once; what either says
  // is said in galaxy order.
  std::string said[2];
  bool judged[2];
  const auto judge = [&](size_t k) {
    error_capture capture(&said[k], nullptr);
    judged[k] = judge_member(e.members[k], plan, &(*runs)[k]);
  };
  std::thread second(judge, 1);
  judge(0);
  second.join();
  *total = 0;
  for (size_t k = 0; k < runs->size(); ++k) {
    if (!judged[k]) {
      report_error("%s", said[k].c_str());
      return false;
    }
    if (say) say_galaxy_notes((*runs)[k].tables, e.members[k].galaxy, (*runs)[k].galaxy);
    (*runs)[k].first_id = static_cast<uint64_t>(*total);
    *total += (*runs)[k].total;
  }
  if (most > 0 ? *total > most : check_particle_count(static_cast<double>(*total), physical_memory_bytes()) != count_ok) {
    report_error("erreur: the encounter's particle count %lld is out of range or needs more memory than this "
                 "machine has", static_cast<long long>(*total));
    return false;
  }
  const double spin[2][2] = {{e.members[0].spin_theta, e.members[0].spin_phi},
                             {e.members[1].spin_theta, e.members[1].spin_phi}};
  galaxy_motion motion[2];
  place_pair(e.orbit, (*runs)[0].galaxy.total_mass, (*runs)[1].galaxy.total_mass, spin[0], spin[1], motion);
  for (const galaxy_motion &m : motion) {
    for (int c = 0; c < 3; ++c) {
      if (std::isfinite(m.position[c]) && std::isfinite(m.velocity[c])) continue;
      report_error("erreur: galaxy file %s: the orbit's start (its pericentre, eccentricity and separation) leaves "
                   "the range of a double", e.path.c_str());
      return false;
    }
  }
  // Beyond light's speed no Newtonian orbit describes them (and their own
  // motions would be lost in the digits of the orbit's).
  const double relative = std::hypot(motion[1].velocity[0] - motion[0].velocity[0],
                                     motion[1].velocity[1] - motion[0].velocity[1]);
  if (relative > 299792458.0) {
    report_error("erreur: galaxy file %s: the galaxies would start %.4g times as fast as light relative to each "
                 "other: a lower eccentricity, a larger pericentre or separation", e.path.c_str(), relative / 299792458.0);
    return false;
  }
  (*runs)[0].motion = motion[0], (*runs)[1].motion = motion[1];
  return true;
}

// The whole file's parameters: its units and frame, the mass and reach of both.
galaxy_parameters pair_parameters(const encounter_description &e, const std::vector<member_run> &runs) {
  galaxy_parameters g = runs[0].galaxy;
  g.units = e.units;
  g.centre_given = e.centre_given, g.bulk_given = e.bulk_given;
  for (int c = 0; c < 3; ++c) g.centre[c] = e.centre[c], g.bulk_velocity[c] = e.bulk_velocity[c];
  g.zero_com = false, g.centre_radius = 0.0, g.composite = true;
  g.total_mass = 0.0, g.radius_max = 0.0;
  for (const member_run &r : runs) {
    g.total_mass += r.galaxy.total_mass;
    g.radius_max = std::max(g.radius_max, std::hypot(r.motion.position[0], r.motion.position[1],
                                                     r.motion.position[2]) + r.galaxy.radius_max);
  }
  return g;
}

void warn_of_overlap(const encounter_description &e, const double half[2]) {
  if (e.orbit.separation < half[0] + half[1]) {
    std::fprintf(stderr,
                 "galaxy-ic: the galaxies overlap at the start: their separation is below the sum of their half-mass "
                 "radii (%.4g of it), so the orbit of two point masses no longer describes them\n",
                 e.orbit.separation / (half[0] + half[1]));
  }
  // A double keeps about 16 digits of a coordinate, the galaxy's own size
  // then fewer than 10.
  if (e.orbit.separation > 1e6 * std::min(half[0], half[1])) {
    std::fprintf(stderr,
                 "galaxy-ic: the separation is %.3g times a galaxy's half-mass radius: its coordinates keep fewer "
                 "than 10 digits of its own size, even in doubles\n",
                 e.orbit.separation / std::min(half[0], half[1]));
  }
}

namespace {

int write_pair(const run_settings &settings, gal_system *all, generation_plan plan, const output_choice &output,
               const galaxy_parameters &pair, const write_extras &extras, const std::string &text,
               const std::vector<provenance_field> &fields) {
  const output_frame frame = frame_of(pair, nullptr, nullptr);
  const std::string name = settings.output_text != nullptr ? settings.output_text : default_output_name(output);
  plan.already_placed = true;
  plan.components.clear();
  run_provenance provenance = provenance_of(settings, plan, pair, output, static_cast<uint64_t>(all->nb_element));
  provenance.galaxy_file_text = text;
  provenance.extra = fields;
  switch (output.kind) {
    case output_text: return write_text_run(all, plan, frame, name, nullptr, extras);
    case output_hdf5: return write_hdf5_run(all, plan, frame, provenance, name, nullptr, extras);
    case output_binary:
      return write_binary_run(all, plan, frame, output.binary, name, provenance_line(provenance), nullptr, extras);
  }
  return 1;
}

}  // namespace

namespace {

// The encounter made: every particle in the file's order, its IDs, groups
// and Parameters.
struct encounter_made {
  encounter_description e;
  generation_plan plan;
  output_choice output;
  galaxy_parameters pair;
  owned_record all;
  std::vector<uint64_t> ids;
  write_extras extras;
  std::vector<provenance_field> fields;
  std::vector<size_t> group_galaxy;  // the galaxy of each of extras' groups
};

bool make_encounter(const run_settings &settings, progress_meter *meter, const std::atomic<bool> *cancel,
                    encounter_made *made) {
  encounter_description &e = made->e;
  if (!judge_encounter(settings, &e, &made->plan, &made->output)) return false;
  std::vector<member_run> runs;
  int64_t total = 0;
  if (!judge_members(e, made->plan, &runs, &total, true, 0)) return false;
  made->pair = pair_parameters(e, runs);
  double reach = 0.0;  // the record's cut-off, as each galaxy's record has its own
  for (const member_run &r : runs) {
    reach = std::max(reach, std::hypot(r.motion.position[0], r.motion.position[1], r.motion.position[2]) + r.radius_max);
  }
  made->all.reset(alloc_unplaced_gal_system(static_cast<int32_t>(total), made->pair.typical_length, reach,
                                            made->pair.total_mass, default_duration / default_nb_step,
                                            default_duration));
  if (made->all == nullptr) {
    report_error("erreur: cannot allocate memory for %lld particles", static_cast<long long>(total));
    return false;
  }
  const std::vector<placed_group> order = file_order(runs);
  write_extras &extras = made->extras;
  extras.groups = placed_groups(order, e);
  for (const placed_group &g : order) made->group_galaxy.push_back(g.galaxy);
  made->ids.resize(static_cast<size_t>(total));
  double half[2];
  for (size_t k = 0; k < runs.size(); ++k) {
    owned_record own;
    if (!make_member(&runs[k], e.members[k].name, meter, cancel, &own)) return false;
    half[k] = half_mass_radius(runs[k]);
    place_member(*own, runs[k], k, order, extras.groups, made->all.get(), &made->ids);
  }
  warn_of_overlap(e, half);
  std::string why;
  if (!groups_are_ordered(extras.groups, static_cast<uint64_t>(total), &why)) {
    report_error("erreur: galaxy file %s: the galaxies' particle types cannot be written in one file: %s",
                 settings.galaxy_text, why.c_str());
    return false;
  }
  extras.columns.ids = made->ids.data();
  extras.columns.largest_id = static_cast<uint64_t>(total);
  extras.columns.row_masses = made->output.kind == output_text && !groups_share_one_mass(extras.groups);
  made->fields = encounter_fields(e, runs, frame_of(made->pair, nullptr, nullptr));
  return true;
}

}  // namespace

int encounter_main(const run_settings &settings) {
  progress_meter meter;
  start_progress(&meter, "galaxy-ic", settings.progress);
  encounter_made made;
  if (!make_encounter(settings, &meter, nullptr, &made)) return 1;
  const uint64_t total = static_cast<uint64_t>(made.all->nb_element);
  const int status = write_pair(settings, made.all.get(), made.plan, made.output, made.pair, made.extras, made.e.text,
                                made.fields);
  if (status == 0) finish_progress(&meter, total, total);
  if (meter.terminal && meter.shown && status != 0) std::fputc('\n', stderr);
  return status;
}

bool make_memory_encounter(const run_settings &settings, const std::atomic<bool> *cancel, memory_galaxy *out) {
  encounter_made made;
  if (!make_encounter(settings, nullptr, cancel, &made)) return false;
  const output_frame frame = frame_of(made.pair, nullptr, nullptr);
  generation_plan plan = made.plan;
  plan.already_placed = true;
  plan.components.clear();
  free_gal_system(out->sys);
  out->sys = made.all.release();
  out->frame = convert_record(out->sys, frame);
  out->provenance = provenance_of(settings, plan, made.pair, made.output, static_cast<uint64_t>(out->sys->nb_element));
  out->provenance.galaxy_file_text = made.e.text;
  out->provenance.extra = made.fields;
  out->groups = made.extras.groups;
  out->galaxy_name = settings.galaxy_text != nullptr ? settings.galaxy_text : "";
  out->ids = std::move(made.ids);
  out->members.clear();
  for (size_t k = 0; k < made.e.members.size(); ++k) {
    memory_member m;
    m.name = made.e.members[k].name;
    m.text = made.e.members[k].file.empty() ? std::string() : made.e.members[k].galaxy.text;
    for (size_t g = 0; g < out->groups.groups.size(); ++g) {
      if (made.group_galaxy[g] == k) m.groups.push_back(g);
    }
    out->members.push_back(m);
  }
  return true;
}
