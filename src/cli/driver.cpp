#include "driver.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "encounter_run.h"
#include "error_report.h"
#include "galaxy_file.h"
#include "exact_sum.h"
#include "generation.h"
#include "output_file.h"
#include "particle_hdf5.h"
#include "profile_sampler.h"
#include "progress.h"
#include "random_stream.h"
#include "run_output.h"

namespace {

// vel, pos (3 doubles each) and mass (1 double) per particle.
constexpr double bytes_per_particle = 7.0 * sizeof(double);

bool is_option(const char *arg, const char *short_name, const char *long_name) {
  return std::strcmp(arg, short_name) == 0 || std::strcmp(arg, long_name) == 0;
}

// The value slot of a model or frame option, or null.
const char **model_option_value(const char *arg, run_settings *settings) {
  const struct {
    const char *name;
    const char **value;
  } options[] = {{"--mass", &settings->mass_text},
                 {"--scale-length", &settings->scale_length_text},
                 {"--cutoff", &settings->cutoff_text},
                 {"--units", &settings->units_text},
                 {"--centre", &settings->centre_text},
                 {"--bulk-velocity", &settings->bulk_velocity_text},
                 {"--softening", &settings->softening_text},
                 {"--profile", &settings->profile_text},
                 {"--anisotropy-radius", &settings->anisotropy_text},
                 {"--cutoff-strength", &settings->cutoff_strength_text},
                 {"--galaxy", &settings->galaxy_text},
                 {"--max-record", &settings->max_record_text}};
  for (const auto &option : options) {
    if (std::strcmp(arg, option.name) == 0) return option.value;
  }
  return nullptr;
}

// The setting of an option that takes no value, or null.
bool *flag_option(const char *arg, run_settings *settings) {
  if (std::strcmp(arg, "--equilibrium") == 0) return &settings->equilibrium;
  if (std::strcmp(arg, "--progress") == 0) return &settings->progress;
  if (std::strcmp(arg, "--zero-com") == 0) return &settings->zero_com;
  if (std::strcmp(arg, "--double") == 0) return &settings->double_precision;
  if (std::strcmp(arg, "--long-ids") == 0) return &settings->long_ids;
  return nullptr;
}

}  // namespace

void print_usage() {
  std::printf(
      "Usage:\t-p --nbparticles\tSet the number of particles in the .ini file "
      "(default: 512)\t-o --output\t\tSet the name of the .ini file\t-h --help\t\t"
      "Print this screen");
}

count_verdict check_particle_count(double value, double physical_memory) {
  if (std::isnan(value)) return count_not_a_number;
  // Truncation toward zero must land within +-nb_element_limit; testing the
  // double first keeps the conversion defined.
  const double bound = static_cast<double>(nb_element_limit) + 1.0;
  if (!(value > -bound && value < bound)) return count_out_of_range;
  const int32_t count = static_cast<int32_t>(value);
  if (count > 0 && static_cast<double>(count) * bytes_per_particle > physical_memory) {
    return count_exceeds_memory;
  }
  return count_ok;
}

double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return HUGE_VAL;  // unknown: let malloc decide
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

scan_outcome scan_options(int argc, char **argv, run_settings *settings) {
  settings->argc = argc;
  settings->argv = argv;
  int i = 1;
  while (i < argc) {
    const char *arg = argv[i];
    const char **value = nullptr;
    if (is_option(arg, "-p", "--nbparticles")) {
      value = &settings->count_text;
    } else if (std::strcmp(arg, "--seed") == 0) {
      value = &settings->seed_text;
    } else if (std::strcmp(arg, "--threads") == 0) {
      value = &settings->threads_text;
    } else if (std::strcmp(arg, "--format") == 0) {
      value = &settings->format_text;
    } else if (is_option(arg, "-o", "--output")) {
      value = &settings->output_text;
    } else if (const char **model_value = model_option_value(arg, settings)) {
      value = model_value;
    } else if (bool *flag = flag_option(arg, settings)) {
      *flag = true;
      ++i;
      continue;
    } else if (is_option(arg, "-h", "--help")) {
      return scan_help;
    } else {
      ++i;  // unknown arguments are skipped silently
      continue;
    }
    if (i + 1 >= argc) break;
    *value = argv[i + 1];
    i += 2;
  }
  if (i < argc) {
    report_error("erreur: option %s needs a value", argv[i]);
    return scan_missing_value;
  }
  if (settings->count_text != nullptr) {
    settings->count_value = std::strtod(settings->count_text, nullptr);
  }
  return scan_run;
}

namespace {

// Judges the -p value; prints the refusal and returns false when unusable.
bool judge_count(const run_settings &settings, int32_t *nb_element) {
  if (settings.count_text == nullptr) return true;
  const char *text = settings.count_text;
  switch (check_particle_count(settings.count_value, physical_memory_bytes())) {
    case count_ok:
      *nb_element = static_cast<int32_t>(settings.count_value);
      return true;
    case count_not_a_number:
      report_error("erreur: particle count %s is not a number", text);
      return false;
    case count_out_of_range:
      report_error("erreur: particle count %s is out of range", text);
      return false;
    case count_exceeds_memory:
      report_error("erreur: particle count %s needs more memory than this machine has", text);
      return false;
  }
  return false;
}

}  // namespace

bool judge_plan(const run_settings &settings, generation_plan *plan) {
  plan->threads = default_thread_count();
  plan->law = settings.equilibrium ? law_equilibrium : law_defined;
  if (settings.threads_text != nullptr &&
      !parse_thread_count(settings.threads_text, &plan->threads)) {
    report_error("erreur: thread count %s is not an integer from 1 to %d", settings.threads_text,
                max_threads);
    return false;
  }
  if (settings.seed_text == nullptr) return true;
  if (!parse_seed(settings.seed_text, &plan->seed)) {
    report_error("erreur: seed %s is not a decimal integer from 0 to 18446744073709551615",
                settings.seed_text);
    return false;
  }
  if (!counter_based_stream_available()) {
    report_error("erreur: --seed needs Random123 (Debian package librandom123-dev): install it "
                "and configure the build again");
    return false;
  }
  plan->seeded = true;
  return true;
}

bool parse_seed(const char *text, uint64_t *seed) {
  if (*text == '\0') return false;
  uint64_t value = 0;
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(*c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *seed = value;
  return true;
}

bool parse_thread_count(const char *text, int *threads) {
  uint64_t value = 0;
  if (!parse_seed(text, &value) || value < 1 || value > static_cast<uint64_t>(max_threads)) {
    return false;
  }
  *threads = static_cast<int>(value);
  return true;
}

int default_thread_count() {
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  return std::max(1, std::min(CPU_COUNT(&cpus), max_threads));
}

namespace {

// Reads --max-record: a decimal byte count from 24 to 2^31 - 1.
bool parse_max_record(const char *text, uint64_t *bytes) {
  return parse_seed(text, bytes) && *bytes >= 24 && *bytes <= static_cast<uint64_t>(INT32_MAX);
}

}  // namespace

bool judge_format(const run_settings &settings, output_choice *choice) {
  *choice = output_choice();
  const char *text = settings.format_text;
  if (text == nullptr || std::strcmp(text, "ini") == 0) {
    choice->kind = output_text;
  } else if (std::strcmp(text, "hdf5") == 0) {
    choice->kind = output_hdf5;
  } else if (parse_binary_format(text, &choice->binary.format)) {
    choice->kind = output_binary;
  } else {
    report_error("erreur: format %s is not ini, hdf5, gadget1, gadget2 or tipsy", text);
    return false;
  }
  if (choice->kind == output_hdf5 && !hdf5_available()) {
    report_error("erreur: --format hdf5 needs HDF5 (Debian package libhdf5-dev): install it and "
                "configure the build again");
    return false;
  }
  binary_options &binary = choice->binary;
  binary.double_precision = settings.double_precision;
  binary.long_ids = settings.long_ids;
  if (settings.softening_text != nullptr) {
    char *end = nullptr;
    binary.softening = std::strtod(settings.softening_text, &end);
    if (end == settings.softening_text || *end != '\0' || !std::isfinite(binary.softening) ||
        binary.softening < 0.0) {
      report_error("erreur: softening %s is not a finite number of 0 or more", settings.softening_text);
      return false;
    }
  }
  if (settings.max_record_text != nullptr && !parse_max_record(settings.max_record_text, &binary.max_record_bytes)) {
    report_error("erreur: record limit %s is not a byte count from 24 to 2147483647", settings.max_record_text);
    return false;
  }
  return true;
}

output_frame place_for_frame(gal_system *sys, const galaxy_parameters &galaxy, generation_plan *plan,
                             progress_meter *meter, const std::atomic<bool> *cancel) {
  if (!galaxy.zero_com || sys->nb_element <= 0) return frame_of(galaxy, nullptr, nullptr);
  particle_sink sink = progress_sink(meter, sys);
  sink.cancel = cancel;
  if (!generate_particle_file(sys, *plan, sink)) return output_frame();
  plan->already_placed = true;
  // Particles of several masses (a galaxy's components) are weighted; one
  // mass is the plain mean, whose bits files made before rely on.
  const bool weighted = plan->components.size() > 1;
  exact_sum sums[7];
  add_record_sums(sys, weighted, sums);
  double mean_position[3], mean_velocity[3];
  means_of_sums(sums, mean_position, mean_velocity);
  if (galaxy.centre_radius > 0.0) trimmed_centre(sys, galaxy.centre_radius, weighted, nullptr, mean_position);
  return frame_of(galaxy, mean_position, mean_velocity);
}

const char *default_output_name(const output_choice &choice) {
  switch (choice.kind) {
    case output_text: return "galaxy.ini";
    case output_hdf5: return "galaxy.hdf5";
    case output_binary: return choice.binary.format == format_tipsy ? "galaxy.tipsy" : "galaxy.gadget";
  }
  return "galaxy.ini";
}

run_provenance provenance_of(const run_settings &settings, const generation_plan &plan,
                             const galaxy_parameters &galaxy, const output_choice &output, uint64_t count) {
  run_provenance p;
  p.command_line = command_line_of(settings.argc, settings.argv);
  p.count = count;
  p.seeded = plan.seeded;
  p.seed = plan.seed;
  p.law = plan.law;
  p.galaxy = galaxy;
  switch (output.kind) {
    case output_text: p.format = "ini"; break;
    case output_hdf5: p.format = "hdf5"; break;
    case output_binary: p.format = binary_format_name(output.binary.format); break;
  }
  return p;
}

void choose_centre_radius(const std::vector<profile_model> &models, galaxy_parameters *galaxy,
                          const std::vector<component_description> &components, bool say) {
  if (!galaxy->zero_com) return;
  galaxy->centre_radius = centre_radius_of(models, galaxy->typical_length);
  if (!(galaxy->centre_radius > 0.0)) return;
  const double r90 = galaxy->centre_radius / galaxy->typical_length;
  if (!say) return;
  std::string names;
  for (size_t i = 0; i < models.size(); ++i) {
    if (!models[i].disc && mean_square_radius_diverges(models[i].law)) names += (names.empty() ? "" : ", ") + components[i].profile;
  }
  std::fprintf(stderr,
               "galaxy-ic: --zero-com: the mean square radius of profile %s diverges without a taper, so the "
               "centre of mass of all particles is set by the farthest few; the centre is taken from the "
               "particles within %.6g a (90 %% of the mass) and the mean velocity from all\n",
               names.c_str(), r90);
}

namespace {

// Where the epicyclic asymmetric drift leaves a disc no rotation (a hot
// centre, the truncation's edge), the run says how much of it that is: its
// planar distribution function is warm there.
void note_clipped_rotation(const galaxy_tables &tables, const std::vector<component_description> &components) {
  for (size_t i = 0; i < tables.discs.size(); ++i) {
    if (tables.discs[i] == nullptr || !(tables.discs[i]->clipped >= 1e-4)) continue;
    std::fprintf(stderr,
                 "galaxy-ic: component %s: the radial Jeans equation gives no real mean rotation for %.3g %% of the "
                 "disc's mass (where its dispersion exceeds what the potential holds); their velocities come from "
                 "the disc's distribution function all the same\n",
                 components[i].name.c_str(), 100.0 * tables.discs[i]->clipped);
  }
}

// A normal, finite double: neither beyond the range nor lost below it.
bool representable(double value) { return std::isfinite(value) && std::fabs(value) >= DBL_MIN; }

}  // namespace

bool judge_derived_scales(const galaxy_parameters &galaxy, double radius_max, const profile_model *model,
                          double count) {
  const double a = galaxy.typical_length, mass = galaxy.total_mass;
  const double speed = std::sqrt(gravitational_constant * mass / a);
  // The escape speed at the centre: the defined law's sqrt(2), a profile's sqrt(2 Psi(0)).
  const double fastest = speed * std::sqrt(2.0 * (model != nullptr && !model->psi.empty() ? model->psi[0] : 1.0));
  const unit_scale units = scale_of(galaxy.units, mass, a);
  const double particle = count >= 1.0 ? mass / count : mass;
  const struct {
    const char *what;
    double value;
  } derived[] = {{"G M / a", gravitational_constant * mass / a},
                 {"velocity unit sqrt(G M / a)", speed},
                 {"time unit sqrt(a^3 / (G M))", a / speed},
                 {"largest speed", fastest},
                 {"largest radius", radius_max},
                 {"scale length in --units", a / units.length},
                 {"largest radius in --units", radius_max / units.length},
                 {"largest speed in --units", fastest / units.velocity},
                 {"particle mass in --units", particle / units.mass}};
  for (const auto &d : derived) {
    if (!representable(d.value)) {
      report_error("erreur: the galaxy's %s is %.3g, beyond what a double holds: choose another mass, scale "
                   "length or cut-off",
                   d.what, d.value);
      return false;
    }
  }
  return true;
}

namespace {

}  // namespace

bool judge_galaxy_file_alone(const run_settings &settings) {
  const struct {
    const char *name;
    bool given;
  } options[] = {{"--mass", settings.mass_text != nullptr},         {"--scale-length", settings.scale_length_text != nullptr},
                 {"--cutoff", settings.cutoff_text != nullptr},     {"--units", settings.units_text != nullptr},
                 {"--centre", settings.centre_text != nullptr},     {"--bulk-velocity", settings.bulk_velocity_text != nullptr},
                 {"--profile", settings.profile_text != nullptr},   {"--anisotropy-radius", settings.anisotropy_text != nullptr},
                 {"--cutoff-strength", settings.cutoff_strength_text != nullptr},
                 {"--equilibrium", settings.equilibrium},           {"--zero-com", settings.zero_com}};
  for (const auto &option : options) {
    if (option.given) {
      report_error("erreur: %s has no place beside --galaxy, whose file describes the galaxy", option.name);
      return false;
    }
  }
  return true;
}

namespace {

// The galaxy of a galaxy file: -p and --seed, when given, replace its count
// and seed.
bool judge_galaxy_file(const run_settings &settings, galaxy_description *description, generation_plan *plan,
                       std::vector<int64_t> *counts, int64_t *total) {
  std::string why;
  if (!judge_galaxy_file_alone(settings)) return false;
  const bool read = settings.galaxy_inline != nullptr
                        ? parse_galaxy_text(*settings.galaxy_inline, settings.galaxy_text, description, &why)
                        : read_galaxy_file(settings.galaxy_text, description, &why);
  if (!read) {
    report_error("erreur: galaxy file %s", why.c_str());
    return false;
  }
  if (settings.count_text != nullptr) {
    description->particles = static_cast<int64_t>(std::max(0.0, settings.count_value));
    description->particle_mass = 0.0;
  }
  if (settings.seed_text == nullptr && description->seeded) {
    if (!counter_based_stream_available()) {
      report_error("erreur: the galaxy file's seed needs Random123 (install librandom123-dev, then configure again)");
      return false;
    }
    plan->seeded = true;
    plan->seed = description->seed;
  }
  if (description->units == units_model) {
    double sum = description->black_hole_mass;
    for (const component_description &c : description->components) sum += c.mass;
    if (std::fabs(sum / default_total_mass - 1.0) > 1e-9) {
      report_error("erreur: galaxy file %s: in model units the masses are shares of the whole and sum to 1, not %.9g",
                   settings.galaxy_text, sum / default_total_mass);
      return false;
    }
  }
  if (!count_components(*description, counts, &why)) {
    report_error("erreur: galaxy file %s: %s", settings.galaxy_text, why.c_str());
    return false;
  }
  *total = description->black_hole_mass > 0.0 ? 1 : 0;
  for (const int64_t n : *counts) *total += n;
  return true;
}

}  // namespace

bool judge_galaxy_run(const run_settings &settings, int64_t count, galaxy_parameters *galaxy, generation_plan *plan,
                      galaxy_tables *tables, galaxy_description *description, double *radius_max, int64_t *total,
                      const std::atomic<bool> *cancel, bool say) {
  std::vector<int64_t> counts;
  if (settings.galaxy_text != nullptr) {
    if (!judge_galaxy_file(settings, description, plan, &counts, total)) return false;
    *galaxy = parameters_of(*description);
  } else {
    if (!judge_galaxy(settings, galaxy)) return false;
    *total = count;
    *radius_max = galaxy->radius_max;
    if (!galaxy->profile) return judge_derived_scales(*galaxy, *radius_max, nullptr, static_cast<double>(count));
    *description = profile_description(*galaxy, count);
    counts = {std::max<int64_t>(count, 0)};
  }
  return judge_described_galaxy(*description, counts, *total, galaxy, plan, tables, radius_max, cancel, say);
}

void say_galaxy_notes(const galaxy_tables &tables, const galaxy_description &description, galaxy_parameters galaxy) {
  choose_centre_radius(tables.models, &galaxy, description.components, true);
  note_clipped_rotation(tables, description.components);
}

bool judge_described_galaxy(const galaxy_description &description, const std::vector<int64_t> &counts, int64_t total,
                            galaxy_parameters *galaxy, generation_plan *plan, galaxy_tables *tables, double *radius_max,
                            const std::atomic<bool> *cancel, bool say) {
  if (!prepare_galaxy(description, *galaxy, counts, plan, tables, radius_max, cancel)) return false;
  if (!judge_derived_scales(*galaxy, *radius_max, &tables->models.front(), static_cast<double>(total))) return false;
  choose_centre_radius(tables->models, galaxy, description.components, say);
  if (say) note_clipped_rotation(*tables, description.components);
  return true;
}

bool judge_run(const run_settings &settings, judged_run *run, galaxy_tables *tables, const std::atomic<bool> *cancel) {
  if (!judge_count(settings, &run->nb_element) || !judge_plan(settings, &run->plan) ||
      !judge_format(settings, &run->output)) {
    return false;
  }
  int64_t total = run->nb_element;
  if (!judge_galaxy_run(settings, run->nb_element, &run->galaxy, &run->plan, tables, &run->description,
                        &run->radius_max, &total, cancel, true)) {
    return false;
  }
  if (total != run->nb_element) {
    const char *what = nullptr;
    switch (check_particle_count(static_cast<double>(total), physical_memory_bytes())) {
      case count_ok: break;
      case count_not_a_number:
      case count_out_of_range: what = "is out of range"; break;
      case count_exceeds_memory: what = "needs more memory than this machine has"; break;
    }
    if (what != nullptr) {
      report_error("erreur: the galaxy's particle count %lld %s", static_cast<long long>(total), what);
      return false;
    }
    run->nb_element = static_cast<int32_t>(total);
  }
  // A galaxy of components: each as its type; a text file holds each
  // particle's own mass.
  if (tables->groups.groups.size() > 1) {
    run->extras.groups = tables->groups;
    run->extras.columns.row_masses = run->output.kind == output_text && !groups_share_one_mass(tables->groups);
  }
  return true;
}

std::string galaxy_file_as_made(const run_settings &settings, const judged_run &run) {
  if (settings.galaxy_text == nullptr) return std::string();
  return galaxy_text_as_made(run.description.text, settings.count_text != nullptr ? run.description.particles : -1,
                             settings.seed_text != nullptr, run.plan.seed);
}

gal_system *alloc_run_record(const judged_run &run) {
  const int32_t nb_step = default_nb_step;
  const double duration = default_duration;
  const double step = duration / nb_step;
  const galaxy_parameters &galaxy = run.galaxy;
  gal_system *sys = alloc_unplaced_gal_system(run.nb_element, galaxy.typical_length, run.radius_max,
                                              galaxy.total_mass, step, duration);
  if (sys == nullptr) report_error("erreur: cannot allocate memory for %d particles", run.nb_element);
  return sys;
}

bool names_an_encounter_file(const run_settings &settings) {
  return settings.galaxy_inline != nullptr && names_an_encounter(*settings.galaxy_inline);
}

int galaxy_ic_main(int argc, char **argv) {
  install_output_signal_handlers();

  run_settings settings;
  switch (scan_options(argc, argv, &settings)) {
    case scan_help:
      print_usage();
      // Lost usage text is no success.
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    case scan_missing_value:
      return 1;
    case scan_run:
      break;
  }
  // The galaxy file is read once (it may be a pipe) and parsed as the kind
  // it is; one that cannot be read is refused where its parse would be.
  std::string galaxy_file, unread;
  if (settings.galaxy_text != nullptr && read_galaxy_text(settings.galaxy_text, &galaxy_file, &unread)) {
    settings.galaxy_inline = &galaxy_file;
  }
  if (names_an_encounter_file(settings)) return encounter_main(settings);
  judged_run run;
  galaxy_tables tables;
  if (!judge_run(settings, &run, &tables)) return 1;
  generation_plan &plan = run.plan;
  const output_choice &output = run.output;
  const int32_t nb_element = run.nb_element;
  const std::string output_name =
      settings.output_text != nullptr ? settings.output_text : default_output_name(output);

  // The arrays are taken before the output file is touched; the draws fill
  // them while the file is written.
  gal_system *sys = alloc_run_record(run);
  if (sys == nullptr) return 1;
  progress_meter meter;
  start_progress(&meter, "galaxy-ic", settings.progress);
  const output_frame frame = place_for_frame(sys, run.galaxy, &plan, &meter);
  // Particles made already were reported as they were made.
  progress_meter *writing = plan.already_placed ? nullptr : &meter;
  run_provenance provenance =
      provenance_of(settings, plan, run.galaxy, output, static_cast<uint64_t>(std::max(nb_element, 0)));
  provenance.galaxy_file_text = galaxy_file_as_made(settings, run);
  int status = 1;
  switch (output.kind) {
    case output_text:
      status = write_text_run(sys, plan, frame, output_name, writing, run.extras);
      break;
    case output_hdf5:
      status = write_hdf5_run(sys, plan, frame, provenance, output_name, writing, run.extras);
      break;
    case output_binary:
      status = write_binary_run(sys, plan, frame, output.binary, output_name,
                                provenance_line(provenance), writing, run.extras);
      break;
  }
  const uint64_t total = nb_element > 0 ? static_cast<uint64_t>(nb_element) : 0;
  if (status == 0) finish_progress(&meter, total, total);
  if (meter.terminal && meter.shown && status != 0) std::fputc('\n', stderr);  // end the line

  free_gal_system(sys);
  return status;
}
