#include "check_cli.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "available_memory.h"
#include "binary_reader.h"
#include "check_pass.h"
#include "check_plot.h"
#include "check_setup.h"
#include "checks.h"
#include "driver.h"
#include "encounter_checks.h"
#include "galaxy_checks.h"
#include "galaxy_file.h"
#include "galaxy_plan.h"
#include "particle_hdf5.h"
#include "particle_reader.h"
#include "particle_source.h"
#include "wide_sum.h"
#include "progress.h"
#include "profile_model.h"
#include "units.h"

namespace {

const char usage[] =
    "usage: galaxy-check FILE [options]\n"
    "Checks a particle file written by galaxy-ic (text, HDF5, GADGET 1 or 2, tipsy)\n"
    "against the galaxy model; a GADGET file split over FILE.0, FILE.1, ... is named FILE.0.\n"
    "  --units U          units of the options and of a text, GADGET or tipsy file's values:\n"
    "                     si, cgs, astro, gadget or model (default si); HDF5 states its own\n"
    "  --mass M           total mass (default 1.9891e39 kg); also --total-mass\n"
    "  --scale-length A   Hernquist scale length (default 1e18 m)\n"
    "  --cutoff R         cut-off radius (default 8 A)\n"
    "  --centre X,Y,Z     the model's centre (default 0,0,0)\n"
    "  --bulk-velocity VX,VY,VZ  the galaxy's motion (default 0,0,0)\n"
    "  --zero-com         the file's mean position and velocity were made the centre\n"
    "                     and the bulk velocity (galaxy-ic --zero-com)\n"
    "  Each model option replaces only its own part of the model an HDF5 file's Parameters\n"
    "  name (or of the defaults, for files that name none); the report's first lines say\n"
    "  which model and units, and where they came from.\n"
    "  --equilibrium      hold the file against galaxy-ic --equilibrium's laws\n"
    "  --profile NAME     hold it against galaxy-ic --profile NAME (with --cutoff as its\n"
    "                     taper, --cutoff-strength XI, --anisotropy-radius RA)\n"
    "  --galaxy FILE.toml hold it against a galaxy file's components, black hole and frame\n"
    "                     (its units those of a text, GADGET or tipsy file's values)\n"
    "  --threshold P      p-values below P fail, 0 < P < 1 (default 0.001)\n"
    "  --particles N      the count the file must hold, 0 or more (default: any but 0);\n"
    "                     with --galaxy, the galaxy's count, as galaxy-ic -p gives it\n"
    "  --plot FILE.png    also draw the radius, density, speed and direction panels\n"
    "  --progress         report the particles read on standard error\n"
  "  --threads T        read and check on T threads (1 ... 1024; at most 8 fill the\n"
  "                     checks; default: the cores this process may run on); the\n"
  "                     report is the same for every T\n"
    "  -h, --help         print this text\n"
    "Exit status: 0 every check passes, 1 a check fails, 2 unreadable input, a usage\n"
    "error, or a report or picture that cannot be written.\n";

// The run's outcome for a usage error: status 2, the reason and the text
// for standard error.
int usage_error(const std::string &what, check_outcome *outcome) {
  outcome->reason = what;
  outcome->message = "galaxy-check: " + what + "\n" + usage;
  return outcome->status = 2;
}

// A whole-argument number, finite and positive.
bool parse_positive(const std::string &text, double *value) {
  char *end = nullptr;
  errno = 0;
  *value = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && errno == 0 && std::isfinite(*value) && *value > 0.0;
}

// CLI11 validators: an empty string accepts.
CLI::Validator positive_number() {
  return CLI::Validator(
      [](std::string &text) {
        double value;
        return parse_positive(text, &value) ? std::string()
                                            : "needs a finite positive number, not \"" + text + "\"";
      },
      "POSITIVE");
}

struct cli_settings {
  std::string path, plot_file, centre, bulk_velocity, particles, units;
  std::string galaxy;  // a galaxy file: the file is held against its components
  std::string galaxy_text, galaxy_unread;  // its text, read once, or why it could not be
  std::string threads_text;
  int threads = 1;
  bool particles_given = false, plot_given = false;
  bool progress = false;
  model_choice model;
};

// The options, through CLI11; returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, check_options *options, cli_settings *settings, check_outcome *outcome) {
  CLI::App app("galaxy-check", "galaxy-check");
  app.set_help_flag();  // -h is handled below, with our own text
  bool help = false;
  app.add_flag("-h,--help", help);
  app.add_option("file", settings->path);
  model_choice &model = settings->model;
  CLI::Option *scale_length = app.add_option("--scale-length", model.scale_length)->check(positive_number());
  CLI::Option *cutoff = app.add_option("--cutoff", model.cutoff)->check(positive_number());
  CLI::Option *mass = app.add_option("--mass,--total-mass", model.mass)->check(positive_number());
  CLI::Option *units = app.add_option("--units", settings->units);
  app.add_option("--threshold", options->threshold)
      ->check(positive_number() & CLI::Validator(
                                      [](std::string &text) {
                                        return std::strtod(text.c_str(), nullptr) < 1.0
                                                   ? std::string()
                                                   : "needs a value below 1, not " + text;
                                      },
                                      "BELOW_ONE"));
  CLI::Option *centre = app.add_option("--centre", settings->centre);
  CLI::Option *bulk = app.add_option("--bulk-velocity", settings->bulk_velocity);
  app.add_flag("--zero-com", model.zero_com);
  app.add_option("--profile", model.profile);
  app.add_option("--galaxy", settings->galaxy);
  CLI::Option *anisotropy = app.add_option("--anisotropy-radius", model.anisotropy)->check(positive_number());
  CLI::Option *strength = app.add_option("--cutoff-strength", model.strength)->check(positive_number());
  CLI::Option *particles = app.add_option("--particles", settings->particles);
  CLI::Option *plot = app.add_option("--plot", settings->plot_file);
  app.add_flag("--equilibrium", model.equilibrium);
  app.add_flag("--progress", settings->progress);
  CLI::Option *threads = app.add_option("--threads", settings->threads_text);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) help = true;
    }
    if (!help) return usage_error(e.what(), outcome);
  }
  if (help) {
    outcome->help = usage;
    return outcome->status = 0;
  }
  model.mass_given = mass->count() > 0;
  model.scale_length_given = scale_length->count() > 0;
  model.cutoff_given = cutoff->count() > 0;
  model.centre_given = centre->count() > 0;
  model.bulk_given = bulk->count() > 0;
  model.units_given = units->count() > 0;
  model.anisotropy_given = anisotropy->count() > 0;
  model.strength_given = strength->count() > 0;
  settings->particles_given = particles->count() > 0;
  settings->plot_given = plot->count() > 0;
  settings->threads = default_thread_count();
  if (threads->count() > 0 && !parse_thread_count(settings->threads_text.c_str(), &settings->threads)) {
    return usage_error("option --threads needs a whole number from 1 to " + std::to_string(max_threads) + ", not \"" +
                           settings->threads_text + "\"",
                       outcome);
  }
  return -1;
}

// What can be judged of the model options before the file is read: their
// units and spelling; the usage error's text, or empty.
std::string judge_model(cli_settings *settings) {
  model_choice &model = settings->model;
  if (!settings->units.empty() && !parse_unit_system(settings->units.c_str(), &model.system)) {
    return "option --units needs si, cgs, astro, gadget or model, not \"" + settings->units + "\"";
  }
  if (model.system == units_model && (model.mass_given || model.scale_length_given)) {
    return std::string("option --") + (model.mass_given ? "mass" : "scale-length") +
           " has no meaning with --units model, whose units are the galaxy's own mass and scale length";
  }
  if (model.centre_given && !parse_vector3(settings->centre.c_str(), model.centre)) {
    return "option --centre needs three finite numbers X,Y,Z, not \"" + settings->centre + "\"";
  }
  if (model.bulk_given && !parse_vector3(settings->bulk_velocity.c_str(), model.bulk_velocity)) {
    return "option --bulk-velocity needs three finite numbers VX,VY,VZ, not \"" + settings->bulk_velocity + "\"";
  }
  if (!model.profile.empty()) {
    density_law law;
    std::string why;
    if (!parse_density_law(model.profile, &law, &why)) return why;
    if (model.equilibrium) return "options --profile and --equilibrium contradict";
  }
  return std::string();
}

// What CLI11 leaves to us: compound and whole-number values, the file.
int judge_settings(cli_settings &settings, check_options *options, check_outcome *outcome) {
  if (settings.path.empty()) return usage_error("no file named", outcome);
  const std::string model_error = judge_model(&settings);
  if (!model_error.empty()) return usage_error(model_error, outcome);
  if (settings.particles_given) {
    const std::string &text = settings.particles;
    char *end = nullptr;
    errno = 0;
    const unsigned long long count = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || count > INT64_MAX) {
      return usage_error("option --particles needs a count of 0 or more, not \"" + text + "\"", outcome);
    }
    options->expected_count = static_cast<int64_t>(count);
  }
  if (settings.plot_given && settings.plot_file.empty()) {
    return usage_error("option --plot needs a file name, not an empty one", outcome);
  }
  return -1;
}

// The header's report line of a file that has one, after its data was read.
bool header_line(const particle_source &source, check_line *line) {
  std::vector<std::string> disagreements;
  std::string layout;
  if (source.binary != nullptr) {
    disagreements = binary_header_disagreements(source.binary);
    layout = binary_layout_description(source.binary);
  } else if (source.hdf5 != nullptr) {
    disagreements = hdf5_header_disagreements(source.hdf5);
    layout = hdf5_layout_description(source.hdf5);
  } else {
    return false;
  }
  std::string text = "agrees with the data (" + layout + ")";
  if (!disagreements.empty()) {
    text.clear();
    for (const std::string &one : disagreements) text += (text.empty() ? "" : "; ") + one;
  }
  *line = {"header", text, disagreements.empty() ? verdict_pass : verdict_fail};
  return true;
}

// tipsy's softening line: every eps a length of 0 or more, and none so
// large that it softens every pair of the galaxy (beyond the farthest
// particle from the centre; radius in SI, eps in units).
check_line softening_line(uint64_t bad, double least, double largest, double radius, const unit_scale &units) {
  char text[200];
  bool ok = bad == 0;
  if (bad > 0) {
    std::snprintf(text, sizeof text, "%llu not a finite length of 0 or more", static_cast<unsigned long long>(bad));
  } else if (!(least <= largest)) {
    std::snprintf(text, sizeof text, "no particle");
  } else if (largest * units.length > radius) {
    ok = false;
    std::snprintf(text, sizeof text, "up to %.6g (file units): beyond every particle, so every pair is softened",
                  largest);
  } else {
    std::snprintf(text, sizeof text, "every eps finite, %.6g to %.6g (file units)", least, largest);
  }
  return {"softening", text, ok ? verdict_pass : verdict_fail};
}

// The lines only a binary file has, after its data was read: tipsy's
// softenings, and the records the codes skip.
std::vector<check_line> binary_lines(const particle_source &source, const check_result &result,
                                     const unit_scale &units) {
  std::vector<check_line> lines;
  if (source.binary == nullptr) return lines;
  uint64_t bad = 0;
  double least = 0.0, largest = 0.0;
  if (binary_softening(source.binary, &bad, &least, &largest)) {
    lines.push_back(softening_line(bad, least, largest, result.sample.largest_radius, units));
  }
  const std::vector<std::string> skipped = binary_skipped_records(source.binary);
  if (!skipped.empty()) {
    std::string text = skipped[0];
    if (skipped.size() > 1) text += " and " + std::to_string(skipped.size() - 1) + " more";
    lines.push_back({"skipped records", text + ": the codes do not read them", verdict_info});
  }
  return lines;
}

// What the source stores beyond the values: their rounding (float32 values
// are within 2^-24 of the doubles they were made from), the count, the
// IDs, the box.
void describe_source(const particle_source &source, const unit_scale &units, check_options *options) {
  constexpr double float_rounding = 0x1p-24;
  options->known_count = known_particles(source);
  double box = 0.0;
  std::string why;
  if (source.binary != nullptr) {
    if (binary_value_bytes(source.binary) == 4) options->position_rounding = float_rounding;
    if (binary_mass_bytes(source.binary) == 4) options->mass_rounding = float_rounding;
    options->ids = binary_stores_ids(source.binary) ? ids_stored : ids_by_order;
    if (options->ids == ids_by_order) options->ids_note = "none: tipsy knows a particle by its place";
    options->has_box = binary_box_size(source.binary, &box);
  } else if (source.hdf5 != nullptr) {
    int position_bytes = 8, mass_bytes = 8;
    hdf5_value_bytes(source.hdf5, &position_bytes, &mass_bytes);
    if (position_bytes == 4) options->position_rounding = float_rounding;
    if (mass_bytes == 4) options->mass_rounding = float_rounding;
    options->ids = hdf5_stores_ids(source.hdf5, &why) ? ids_stored : ids_missing;
    options->ids_note = why;
    options->has_box = hdf5_box_size(source.hdf5, &box);
  } else if (source.memory != nullptr) {
    // The box its files get: about the origin, holding the cut-off around
    // the centre.
    const double *c = source.memory->model.centre;
    box = 2.0 * (source.memory->sys->radius_max + std::max({std::fabs(c[0]), std::fabs(c[1]), std::fabs(c[2])}));
    options->has_box = true;
    options->ids = ids_stored;
  } else {
    options->ids_note = "none: [elementJ] is particle J";
  }
  options->box_size = source.memory != nullptr ? box : box * units.length;
}

// The model the source states before any option: a galaxy in memory its
// own, an HDF5 file its Parameters; the rest none.
model_base base_of(const particle_source &source) {
  model_base base;
  base.stated = true;
  if (source.memory != nullptr) {
    base.galaxy = source.memory->model;
    base.equilibrium = source.memory->equilibrium;
    base.source = "the galaxy's own parameters";
  } else if (source.hdf5 != nullptr && hdf5_stored_model(source.hdf5, &base.galaxy, &base.equilibrium)) {
    base.source = "the file's Parameters";
  } else {
    base = model_base();
    base.source = source.hdf5 != nullptr ? "the file has no Parameters of galaxy-ic's"
                  : source.binary != nullptr ? std::string(source.format) + " files do not state their model"
                                             : "text files do not state their model";
  }
  return base;
}

// Whether the system a file's Parameters name is the one its /Units state
// (files of earlier versions may name none).
bool same_units(const galaxy_parameters &stored, const unit_scale &units) {
  const unit_scale named = scale_of(stored.units, stored.total_mass, stored.typical_length);
  const auto near = [](double x, double y) { return std::fabs(x - y) <= 1e-12 * std::fabs(y); };
  return near(named.length, units.length) && near(named.mass, units.mass) && near(named.velocity, units.velocity);
}

// The units the values are read in, and the report's line saying which.
unit_scale read_units(const particle_source &source, const model_choice &given, const check_model &model,
                      std::string *line) {
  const unit_scale named = scale_of(given.system, model.total_mass, model.typical_length);
  const std::string name = unit_system_name(given.system);
  if (source.memory != nullptr) {
    *line = std::string(unit_system_name(source.memory->model.units)) + ", the galaxy's own";
    return source.memory->units;
  }
  bool stated = false;
  if (source.hdf5 != nullptr) {
    const unit_scale file_units = hdf5_file_units(source.hdf5, &stated);
    galaxy_parameters stored;
    bool equilibrium = false;
    if (stated) {
      char text[160];
      std::snprintf(text, sizeof text, "U_L %.6g cm, U_M %.6g g, U_t %.6g s, the file's /Units", file_units.length * 100.0,
                    file_units.mass * 1000.0, file_units.time);
      *line = hdf5_stored_model(source.hdf5, &stored, &equilibrium) && same_units(stored, file_units)
                  ? std::string(unit_system_name(stored.units)) + ", the file's /Units"
                  : text;
      return file_units;
    }
  }
  const std::string format = source.hdf5 != nullptr ? "the file has no /Units"
                             : source.binary != nullptr ? std::string(source.format) + " files do not state them"
                                                        : "text files do not state them";
  *line = given.units_given ? name + ", --units (" + format + ")" : name + ", the default (" + format + ")";
  return named;
}

// The refusal of a file whose checks need more memory than there is; a
// text file's count is known only as far as it was read.
std::string memory_refusal(uint64_t particles, bool at_least, double needed, double available) {
  char text[256];
  if (particles == 0 && !at_least) {
    // A count not known before reading: what the checks take whatever it is.
    std::snprintf(text, sizeof text,
                  "checking needs %.0f MiB whatever the count, and %.0f MiB are available (memory and swap, within "
                  "this process's limits)",
                  needed / 1048576.0, available / 1048576.0);
    return text;
  }
  std::snprintf(text, sizeof text,
                "checking %s%llu particles needs %s%.0f MiB, and %.0f MiB are available (memory and swap, "
                "within this process's limits)",
                at_least ? "at least " : "", static_cast<unsigned long long>(particles), at_least ? "at least " : "",
                needed / 1048576.0, available / 1048576.0);
  return text;
}

// What the checks need beyond their accumulators: the blocks being read
// and checked, the tables, the libraries.
constexpr double fixed_check_bytes = 64.0 * 1048576.0;

// The lines of the file's own fields, placed after the count and the IDs.
void add_file_lines(const particle_source &source, const unit_scale &units, check_result *result) {
  std::vector<check_line> lines;
  check_line header;
  if (header_line(source, &header)) lines.push_back(header);
  for (check_line &line : binary_lines(source, *result, units)) lines.push_back(line);
  result->lines.insert(result->lines.begin() + 1, lines.begin(), lines.end());
  for (const check_line &line : lines) result->passed = result->passed && line.verdict != verdict_fail;
}

int report_read_error(const char *path, const read_error &error, check_outcome *outcome) {
  std::string where = path;
  if (error.line < 0) {
    outcome->reason = where + ": cannot open: " + error.what;
  } else if (error.line > 0) {
    outcome->reason = where + ":" + std::to_string(error.line) + ": expected " + error.what;
  } else {
    outcome->reason = where + ": expected " + error.what;
  }
  outcome->message = "galaxy-check: " + outcome->reason + "\n";
  return outcome->status = 2;
}

int refuse(const std::string &reason, check_outcome *outcome) {
  outcome->reason = reason;
  outcome->message = "galaxy-check: " + reason + "\n";
  return outcome->status = 2;
}

// The whole check of path (or of the galaxy in memory) once the options
// are judged; the exit status, or -1 when the report is ready.
// The radius (in L) holding fraction q of a component's mass, from its
// tables: only which particles find the centre depends on it.
double reference_free_radius(const profile_model &m, double q) {
  double lo = std::log(1e-30), hi = std::log(1e30);
  for (int k = 0; k < 200; ++k) {
    const double mid = 0.5 * (lo + hi);
    (profile_enclosed_mass(m, std::exp(mid)) < q * m.mass.back() ? lo : hi) = mid;
  }
  return std::exp(0.5 * (lo + hi));
}

// What a galaxy's checks need: its components' tables, their laws, and the
// plan of the checks; the reason it cannot be made, or empty.
struct galaxy_check_setup {
  galaxy_description description;
  galaxy_parameters galaxy;
  std::vector<component_law> laws;
  std::vector<profile_model> models;
  std::vector<std::unique_ptr<disc_reference>> discs;  // a disc's, else null
  stretch_forces flattening;                            // beside a disc
  std::vector<std::unique_ptr<spheroid_stretch>> stretches;  // an isotropic spheroid's beside one, else null
  galaxy_check_plan plan;
  std::string units_line;
  unit_scale units;
};

// Beside a disc, each isotropic spheroid's stretches, from the formulas.
bool set_up_stretches(const galaxy_description &d, const galaxy_parameters &g, galaxy_check_setup *setup,
                      std::string *why) {
  setup->stretches.clear();
  setup->stretches.resize(d.components.size());
  bool disc = false;
  for (const component_law &law : setup->laws) disc = disc || law.disc;
  if (!disc) return true;
  const double black_hole = d.black_hole_mass / g.total_mass;
  bool forces = false;
  for (size_t c = 0; c < d.components.size(); ++c) {
    if (setup->laws[c].disc || setup->laws[c].anisotropy_radius > 0.0) continue;
    if (!forces && !build_stretch_forces(setup->laws, black_hole, &setup->flattening, why)) return false;
    forces = true;
    setup->stretches[c] = std::make_unique<spheroid_stretch>();
    if (!build_spheroid_stretch(setup->laws, black_hole, static_cast<int>(c), setup->flattening,
                                setup->stretches[c].get(), why)) {
      *why = "component " + d.components[c].name + ": " + *why;
      return false;
    }
  }
  return true;
}

// The checks of a galaxy described by setup->description, over source.
std::string set_up_described(const particle_source &source, const check_options &base, galaxy_check_setup *setup) {
  std::string why;
  galaxy_description &d = setup->description;
  // As galaxy-ic -p does, --particles replaces the galaxy's count.
  if (base.expected_count >= 0) {
    d.particles = base.expected_count;
    d.particle_mass = 0.0;
  }
  std::vector<int64_t> counts;
  if (!count_components(d, &counts, &why)) return "galaxy file " + d.path + ": " + why;
  setup->galaxy = parameters_of(d);
  const galaxy_parameters &g = setup->galaxy;
  setup->laws = component_laws(d, g);
  int failed = -1;
  if (!build_discs(d, g, &setup->laws, &failed, &why) ||
      !build_galaxy_model(setup->laws, d.black_hole_mass / g.total_mass, &setup->models, &failed, &why)) {
    return "galaxy file " + d.path + ": its galaxy cannot be made: " + why;
  }
  // A disc is held against what its formula alone implies.
  for (size_t c = 0; c < d.components.size(); ++c) {
    setup->discs.emplace_back();
    if (!setup->laws[c].disc) continue;
    setup->discs.back() = std::make_unique<disc_reference>();
    if (!build_disc_reference(setup->laws, d.black_hole_mass / g.total_mass, static_cast<int>(c),
                              setup->discs.back().get(), &why)) {
      return "galaxy file " + d.path + ": component " + d.components[c].name + ": " + why;
    }
  }
  if (!set_up_stretches(d, g, setup, &why)) return "galaxy file " + d.path + ": " + why;
  // The file's units: an HDF5 file states its own, the others are the galaxy file's.
  const unit_scale named = scale_of(d.units, g.total_mass, g.typical_length);
  bool stated = false;
  const unit_scale file_units = source.hdf5 != nullptr ? hdf5_file_units(source.hdf5, &stated) : named;
  setup->units = stated ? file_units : named;
  setup->units_line = std::string(unit_system_name(d.units)) + (stated ? ", the file's /Units" : ", the galaxy file's");
  check_options whole = base;
  whole.expected_count = -1;
  check_model &m = whole.model;
  m = check_model();
  m.typical_length = g.typical_length, m.total_mass = g.total_mass, m.zero_com = d.zero_com;
  for (int k = 0; k < 3; ++k) m.centre[k] = d.centre[k] * named.length, m.bulk_velocity[k] = d.bulk_velocity[k] * named.velocity;
  if (d.zero_com) m.centre_radius = centre_radius_of(setup->models, g.typical_length);
  uint64_t first = 0;
  for (size_t c = 0; c < d.components.size(); ++c) {
    galaxy_check_part part;
    part.name = d.components[c].name;
    part.first = first, part.count = static_cast<uint64_t>(counts[c]);
    part.options = whole;
    part.disc = setup->discs[c].get();
    part.stretch = setup->stretches[c].get();
    check_model &pm = part.options.model;
    pm.centre_radius = 0.0;
    pm.profile = &setup->models[c];
    pm.component_mass = d.components[c].mass;
    pm.components = &setup->laws;
    pm.component = static_cast<int>(c);
    pm.black_hole = d.black_hole_mass / g.total_mass;
    pm.part_of_whole = d.zero_com;
    pm.radius_max = std::exp(setup->models[c].log_r0 + setup->models[c].step * (setup->models[c].mass.size() - 1)) *
                    g.typical_length;
    part.options.expected_count = counts[c];
    part.options.known_count = part.count;
    part.options.ids = ids_by_order;
    part.options.ids_note = "held for the whole galaxy below";
    part.options.has_box = false;
    first += part.count;
    setup->plan.parts.push_back(part);
  }
  setup->plan.black_hole = d.black_hole_mass > 0.0;
  setup->plan.black_hole_mass = d.black_hole_mass;
  setup->plan.whole = whole;
  return std::string();
}

// The galaxy's description: the --galaxy file (read once, as it may be a
// pipe), or the one a galaxy in memory was made from.
bool describe_galaxy(const particle_source &source, const cli_settings &settings, galaxy_description *d,
                     std::string *why) {
  if (!settings.galaxy.empty()) {
    if (!settings.galaxy_unread.empty()) return *why = settings.galaxy_unread, false;
    return parse_galaxy_text(settings.galaxy_text, settings.galaxy, d, why);
  }
  if (source.memory != nullptr) return parse_galaxy_text(source.memory->galaxy_text, source.memory->galaxy_name, d, why);
  return parse_galaxy_text(hdf5_galaxy_file_text(source.hdf5), settings.path + "'s Parameters/GalaxyFile", d, why);
}

std::string set_up_galaxy(const particle_source &source, const cli_settings &settings, const check_options &base,
                          galaxy_check_setup *setup) {
  std::string why;
  if (!describe_galaxy(source, settings, &setup->description, &why)) return "galaxy file " + why;
  return set_up_described(source, base, setup);
}

// What every pass of a check shares: where the particles come from, on how
// many threads and processes they are checked.
struct pass_context {
  const char *path = "";
  const memory_particles *memory = nullptr;
  const std::atomic<bool> *cancel = nullptr;
  const check_parallel *parallel = nullptr;
  int threads = 1;
  progress_meter *meter = nullptr;
  unit_scale units;
  const source_view *view = nullptr;  // one galaxy of an encounter's file
};

// The source again from its first particle, for another pass.
bool reopen(const pass_context &ctx, particle_source *source, read_error *error) {
  source->memory = ctx.memory;
  source->view = ctx.view;
  if (ctx.memory != nullptr) return true;
  return open_particles(ctx.path, source, error, ctx.cancel);
}

// This process's particles: whole blocks, claimed as the rank is ready for
// them or else as many for each rank as can be; a text file, which cannot
// be entered anywhere but at its start, all on rank 0.
pass_share share_of(const pass_context &ctx, const particle_source &source, std::vector<uint64_t> firsts) {
  pass_share share;
  share.firsts = std::move(firsts);
  if (ctx.parallel == nullptr || ctx.parallel->ranks <= 1) return share;
  const uint64_t rank = static_cast<uint64_t>(ctx.parallel->rank), ranks = static_cast<uint64_t>(ctx.parallel->ranks);
  if (source.text != nullptr) {
    if (rank > 0) share.end = 0;
    return share;
  }
  const uint64_t n = known_particles(source), blocks = (n + check_block - 1) / check_block;
  if (ctx.parallel->claim) {
    share.end = n;
    share.claim = [parallel = ctx.parallel](uint64_t *block) {
      *block = parallel->claim();
      return true;
    };
    return share;
  }
  share.first = std::min(n, blocks * rank / ranks * check_block);
  share.end = std::min(n, blocks * (rank + 1) / ranks * check_block);
  return share;
}

// Around every pass, on every rank whatever its source's state.
void begin_claims(const pass_context &ctx) {
  if (ctx.parallel != nullptr && ctx.parallel->ranks > 1 && ctx.parallel->begin_claims) ctx.parallel->begin_claims();
}

void end_claims(const pass_context &ctx) {
  if (ctx.parallel != nullptr && ctx.parallel->ranks > 1 && ctx.parallel->end_claims) ctx.parallel->end_claims();
}

// What a reader counted in the data of its share: the masses off a type's
// table entry, tipsy's softenings.
void pack_reader_tallies(const particle_source &source, byte_writer *out) {
  uint64_t off[6] = {0, 0, 0, 0, 0, 0}, bad = 0;
  double least = HUGE_VAL, largest = -HUGE_VAL;
  if (source.hdf5 != nullptr) hdf5_off_table(source.hdf5, off);
  if (source.binary != nullptr) binary_softening(source.binary, &bad, &least, &largest);
  out->put(off), out->put(bad), out->put(least), out->put(largest);
}

bool merge_reader_tallies(particle_source *source, byte_reader *in) {
  uint64_t off[6], bad = 0;
  double least = 0.0, largest = 0.0;
  if (!in->get(&off) || !in->get(&bad) || !in->get(&least) || !in->get(&largest)) return false;
  if (source->hdf5 != nullptr) hdf5_add_off_table(source->hdf5, off);
  if (source->binary != nullptr) binary_add_softening(source->binary, bad, least, largest);
  return true;
}

// After a pass: every rank's outcome and bytes. False when a rank could not
// read its share (error then the first such rank's); others gets the
// other ranks' bytes, on the ranks that receive them. The outcome travels
// apart from the bytes, which are then never copied.
bool combine_pass(const pass_context &ctx, bool ok, read_error *error, std::vector<unsigned char> mine,
                  bool everyone, std::vector<std::vector<unsigned char>> *others) {
  others->clear();
  if (ctx.parallel == nullptr || ctx.parallel->ranks <= 1) return ok;
  byte_writer outcome;
  outcome.put<uint8_t>(ok ? 1 : 0);
  outcome.put<int64_t>(error->line);
  outcome.put_text(error->what);
  const std::vector<std::vector<unsigned char>> outcomes = ctx.parallel->gather(outcome.bytes, everyone);
  std::vector<std::vector<unsigned char>> all = ctx.parallel->gather(mine, everyone);
  std::vector<unsigned char>().swap(mine);
  bool all_ok = true;
  for (size_t r = 0; r < outcomes.size(); ++r) {
    byte_reader in = byte_reader::of(outcomes[r]);
    uint8_t rank_ok = 0;
    int64_t line = 0;
    std::string what;
    if (!in.get(&rank_ok) || !in.get(&line) || !in.get_text(&what) || all.size() != outcomes.size()) {
      rank_ok = 0, line = 0, what = "a rank's checks whole (a message was cut short)";
    }
    if (!rank_ok && all_ok) error->line = line, error->what = what;
    all_ok = all_ok && rank_ok;
    if (static_cast<int>(r) != ctx.parallel->rank && r < all.size()) others->push_back(std::move(all[r]));
  }
  return outcomes.empty() ? ok : all_ok;
}

// A pass of one kind of accumulator over the share, then combined: Acc's
// checks made lanes of Lane.
template <class Acc, class Lane>
pass_checks checks_of(Acc *acc, Lane *(*open)(Acc *), void (*add)(Acc *, Lane *, const particle_data &, uint64_t),
                      void (*close)(Acc *, Lane *), std::function<void(const particle_data &, uint64_t)> note) {
  pass_checks checks;
  checks.note = std::move(note);
  checks.open = [acc, open]() -> void * { return open(acc); };
  checks.add = [acc, add](void *lane, const particle_data &chunk, uint64_t first) {
    add(acc, static_cast<Lane *>(lane), chunk, first);
  };
  checks.close = [acc, close](void *lane) { close(acc, static_cast<Lane *>(lane)); };
  return checks;
}

// The first particles' masses, noted as they are read.
void note_model_first(check_accumulator *acc, const particle_data &chunk, uint64_t first) {
  if (first == 0 && chunk.nb_element > 0) set_first_mass(acc, chunk.mass[0]);
}

// The centre a zero_com galaxy's components were made about, in a pass of
// its own: the black hole's place, or the mass-weighted mean of the most
// compact component's particles within its r90, its height the disc's
// mean (a thin disc's midplane is known far better than a bulge's centre).
struct centre_lane {
  block_sums sums{6};  // sum of m x (3) and of m; of a disc's m z and m
  int64_t block = -1;
  bool hole_seen = false;
  double hole[3] = {0, 0, 0};
};

struct centre_finder {
  uint64_t first = 0, end = 0, hole = UINT64_MAX;
  uint64_t disc_first = 0, disc_end = 0;  // a disc's particles, when one has them
  double origin[3] = {0, 0, 0}, r90 = 0.0;
  std::mutex lock;
  centre_lane totals;
};

centre_lane *open_centre_lane(centre_finder *) { return new centre_lane; }

void add_to_centre(centre_finder *f, centre_lane *lane, const particle_data &chunk, uint64_t first) {
  for (int64_t i = 0; i < chunk.nb_element; ++i) {
    const uint64_t index = first + static_cast<uint64_t>(i);
    const double *x = &chunk.pos[3 * i];
    if (index == f->hole) {
      lane->hole_seen = true;
      for (int k = 0; k < 3; ++k) lane->hole[k] = x[k];
    }
    const double d[3] = {x[0] - f->origin[0], x[1] - f->origin[1], x[2] - f->origin[2]};
    const bool disc = index >= f->disc_first && index < f->disc_end && std::isfinite(x[2]);
    const bool compact = index >= f->first && index < f->end && std::hypot(d[0], d[1], d[2]) < f->r90;
    if (!disc && !compact) continue;
    const int64_t block = static_cast<int64_t>(index / check_block);
    if (block != lane->block) fold_block(&lane->sums), lane->block = block;
    if (disc) {
      lane->sums.partial[4] += static_cast<long double>(chunk.mass[i]) * x[2];
      lane->sums.partial[5] += chunk.mass[i];
    }
    if (!compact) continue;
    for (int k = 0; k < 3; ++k) lane->sums.partial[k] += static_cast<long double>(chunk.mass[i]) * x[k];
    lane->sums.partial[3] += chunk.mass[i];
  }
}

void merge_centre(centre_lane *into, const centre_lane &from) {
  merge_block_sums(&into->sums, from.sums);
  if (from.hole_seen) {
    into->hole_seen = true;
    for (int k = 0; k < 3; ++k) into->hole[k] = from.hole[k];
  }
}

void close_centre_lane(centre_finder *f, centre_lane *lane) {
  std::unique_ptr<centre_lane> owned(lane);
  fold_block(&lane->sums);
  const std::lock_guard<std::mutex> hold(f->lock);
  merge_centre(&f->totals, *lane);
}

std::vector<unsigned char> pack_centre(const centre_lane &lane) {
  byte_writer out;
  pack_block_sums(&out, lane.sums);
  out.put(lane.hole_seen), out.put(lane.hole);
  return std::move(out.bytes);
}

bool merge_packed_centre(centre_lane *into, const std::vector<unsigned char> &bytes) {
  byte_reader in{bytes.data(), bytes.data() + bytes.size()};
  centre_lane other;
  if (!unpack_block_sums(&in, &other.sums) || !in.get(&other.hole_seen) || !in.get(&other.hole)) return false;
  merge_centre(into, other);
  return true;
}

bool find_made_centre(const pass_context &ctx, const galaxy_check_setup &setup, double centre[3], read_error *error) {
  const galaxy_check_plan &plan = setup.plan;
  size_t compact = 0;
  double smallest = HUGE_VAL;
  for (size_t c = 0; c < setup.models.size(); ++c) {
    const double r50 = reference_free_radius(setup.models[c], 0.5);
    if (r50 < smallest) smallest = r50, compact = c;
  }
  centre_finder f;
  f.first = plan.parts[compact].first, f.end = f.first + plan.parts[compact].count;
  f.r90 = reference_free_radius(setup.models[compact], 0.9) * setup.galaxy.typical_length;
  if (plan.black_hole) f.hole = plan.parts.back().first + plan.parts.back().count;
  for (const galaxy_check_part &part : plan.parts) {
    if (part.disc != nullptr) f.disc_first = part.first, f.disc_end = part.first + part.count;
  }
  for (int k = 0; k < 3; ++k) f.origin[k] = plan.whole.model.centre[k];
  particle_source source;
  progress_meter quiet;
  bool ok = reopen(ctx, &source, error);
  begin_claims(ctx);
  ok = ok && run_check_pass(&source,
                            checks_of(&f, open_centre_lane, add_to_centre, close_centre_lane,
                                      [](const particle_data &, uint64_t) {}),
                            ctx.units, share_of(ctx, source, {}), ctx.threads, error, &quiet, ctx.cancel);
  end_claims(ctx);
  std::vector<std::vector<unsigned char>> others;
  if (!combine_pass(ctx, ok, error, pack_centre(f.totals), true, &others)) return false;
  for (const std::vector<unsigned char> &bytes : others) {
    if (!merge_packed_centre(&f.totals, bytes)) return false;
  }
  const long double weight = wide_value(f.totals.sums.total[3]), disc = wide_value(f.totals.sums.total[5]);
  for (int k = 0; k < 3; ++k) {
    centre[k] = f.totals.hole_seen ? f.totals.hole[k]
                : weight > 0.0L    ? static_cast<double>(wide_value(f.totals.sums.total[k]) / weight)
                                   : plan.whole.model.centre[k];
  }
  if (!f.totals.hole_seen && disc > 0.0L) centre[2] = static_cast<double>(wide_value(f.totals.sums.total[4]) / disc);
  return true;
}

// A pass of a model's checks, or of a galaxy's, over this process's share
// of source (reopened first unless given), combined with the other ranks':
// into every rank's accumulator (everyone), or into rank 0's. False when a
// rank could not read its share.
template <class Acc>
struct pass_kind {
  pass_checks (*checks)(Acc *);
  std::vector<ks_histogram *> (*histograms)(Acc *);
  void (*pack)(const Acc *, byte_writer *);
  bool (*merge)(Acc *, byte_reader);
};

pass_checks model_pass_checks(check_accumulator *acc) {
  return checks_of(acc, open_check_lane, add_lane_particles, close_check_lane,
                   [acc](const particle_data &chunk, uint64_t first) { note_model_first(acc, chunk, first); });
}

pass_checks galaxy_pass_checks(galaxy_accumulator *acc) {
  return checks_of(acc, open_galaxy_lane, add_galaxy_lane_particles, close_galaxy_lane,
                   [acc](const particle_data &chunk, uint64_t first) { note_galaxy_firsts(acc, chunk, first); });
}

// Each histogram made whole on one rank, histogram i on rank i mod ranks,
// and its distance settled there: the ranks share that work and what
// travels to rank 0 is a distance, not 2^22 counts. False when a message
// was cut short.
bool settle_histograms(const pass_context &ctx, const std::vector<ks_histogram *> &all, read_error *error) {
  if (!ctx.parallel->exchange) return true;
  const size_t ranks = static_cast<size_t>(ctx.parallel->ranks), me = static_cast<size_t>(ctx.parallel->rank);
  std::vector<std::vector<unsigned char>> to_each(ranks);
  for (size_t r = 0; r < ranks; ++r) {
    if (r == me) continue;
    byte_writer out;
    out.bytes.reserve((all.size() / ranks + 1) * (ks_bins + 64));
    for (size_t i = r; i < all.size(); i += ranks) all[i]->pack(&out), all[i]->give_away();
    to_each[r] = std::move(out.bytes);
  }
  std::vector<std::vector<unsigned char>> from_each = ctx.parallel->exchange(to_each);
  std::vector<std::vector<unsigned char>>().swap(to_each);
  bool whole = from_each.size() == ranks;
  for (size_t r = 0; whole && r < ranks; ++r) {
    if (r == me) continue;
    byte_reader in = byte_reader::of(from_each[r]);
    for (size_t i = me; whole && i < all.size(); i += ranks) whole = all[i]->unpack_merge(&in);
    whole = whole && in.at == in.end;
    std::vector<unsigned char>().swap(from_each[r]);
  }
  for (size_t i = me; i < all.size(); i += ranks) all[i]->settle();
  if (!whole) error->line = 0, error->what = "every rank's checks whole (a message was cut short)";
  return whole;
}

template <class Acc>
bool run_pass(const pass_context &ctx, const pass_kind<Acc> &kind, Acc *acc, particle_source *source, bool reopened,
              const std::vector<uint64_t> &firsts, bool everyone, progress_meter *meter, read_error *error,
              uint64_t *read = nullptr) {
  bool ok = !reopened || reopen(ctx, source, error);
  begin_claims(ctx);
  ok = ok && run_check_pass(source, kind.checks(acc), ctx.units, share_of(ctx, *source, firsts), ctx.threads, error,
                            meter, ctx.cancel, read);
  end_claims(ctx);
  if (ctx.parallel == nullptr || ctx.parallel->ranks <= 1) return ok;
  if (!everyone && !settle_histograms(ctx, kind.histograms(acc), error)) ok = false;
  // The accumulator's bytes (its histograms settled by now, a few bytes
  // each), the reader's tallies, then the accumulator's length. Rank 0
  // merges the others' into its own: its own need not travel.
  byte_writer mine;
  if (everyone || ctx.parallel->rank != 0) kind.pack(acc, &mine);
  const uint64_t packed = mine.bytes.size();
  pack_reader_tallies(*source, &mine);
  mine.put(packed);
  std::vector<std::vector<unsigned char>> others;
  if (!combine_pass(ctx, ok, error, std::move(mine.bytes), everyone, &others)) return false;
  for (std::vector<unsigned char> &bytes : others) {
    byte_reader in = byte_reader::of(bytes), tail = in;
    uint64_t n = UINT64_MAX;
    if (bytes.size() >= sizeof n) {
      std::memcpy(&n, bytes.data() + bytes.size() - sizeof n, sizeof n);
      in.end -= sizeof n;
    }
    const bool whole = n <= static_cast<uint64_t>(in.end - in.at);
    if (whole) tail = byte_reader{in.at + n, in.end}, in.end = in.at + n;
    if (!whole || !merge_reader_tallies(source, &tail) || tail.at != tail.end || !kind.merge(acc, in)) {
      error->line = 0, error->what = "every rank's checks whole (a message was cut short)";
      return false;
    }
    std::vector<unsigned char>().swap(bytes);  // each rank's held only while merged
  }
  return true;
}

const pass_kind<check_accumulator> model_kind = {model_pass_checks, checks_histograms, pack_checks,
                                                  merge_packed_checks};
const pass_kind<galaxy_accumulator> galaxy_kind = {galaxy_pass_checks, galaxy_checks_histograms, pack_galaxy_checks,
                                                   merge_packed_galaxy_checks};

// The particles every rank read in a whole pass: the file's (rank 0 reads
// a text file alone), as rank 0's progress showed them while claimed.
uint64_t read_by_all(const pass_context &ctx, const particle_source &source, uint64_t read) {
  if (ctx.parallel == nullptr || ctx.parallel->ranks <= 1 || source.text != nullptr) return read;
  return known_particles(source);
}

// Whether this process, one rank of several but not the first, has done
// its share: its outcome is rank 0's to give.
bool share_only(const pass_context &ctx, check_outcome *outcome) {
  if (ctx.parallel == nullptr || ctx.parallel->rank == 0) return false;
  outcome->status = 0;
  return true;
}

// The refusal of a file whose checks need more memory than there is.
bool refuse_for_memory(const cli_settings &settings, double per_particle, uint64_t known, double fixed,
                       check_outcome *outcome) {
  const double needed = per_particle * static_cast<double>(known) + fixed + fixed_check_bytes;
  const double available = available_memory_bytes();
  if (!(needed > available)) return false;
  outcome->out_of_memory = true;
  refuse(settings.path + ": " + memory_refusal(known, false, needed, available), outcome);
  return true;
}

// Under zero_com a first pass finds what the second allows for: a galaxy's
// centre its components were made about, then each one's scatter of the
// subtracted mean. A FIFO cannot be read twice.
bool zero_com_passes(const pass_context &ctx, const cli_settings &settings, const particle_source &source,
                     galaxy_check_setup *setup, check_options *options, check_outcome *outcome) {
  if (!source.regular && source.memory == nullptr) {
    refuse(settings.path + (ctx.view != nullptr
                                ? ": an encounter's file is read several times (each galaxy's rows, then the pair), "
                                  "and a FIFO can be read only once"
                                : ": --zero-com reads the file twice (the scatter of its subtracted mean first), and "
                                  "a FIFO can be read only once"),
           outcome);
    return false;
  }
  read_error error;
  progress_meter quiet;
  particle_source again;
  if (setup == nullptr) {
    check_accumulator *acc = begin_recentring(*options);
    if (!run_pass(ctx, model_kind, acc, &again, true, {0}, true, &quiet, &error)) {
      discard_checks(acc);
      report_read_error(ctx.path, error, outcome);
      return false;
    }
    finish_recentring(acc, options);
    return true;
  }
  double centre[3];
  if (!find_made_centre(ctx, *setup, centre, &error)) {
    report_read_error(ctx.path, error, outcome);
    return false;
  }
  for (galaxy_check_part &part : setup->plan.parts) {
    for (int k = 0; k < 3; ++k) part.options.model.centre[k] = centre[k];
  }
  galaxy_accumulator *acc = begin_galaxy_recentring(setup->plan);
  if (!run_pass(ctx, galaxy_kind, acc, &again, true, galaxy_first_indices(setup->plan), true, &quiet, &error)) {
    discard_galaxy_checks(acc);
    report_read_error(ctx.path, error, outcome);
    return false;
  }
  finish_galaxy_recentring(acc, &setup->plan);
  return true;
}

// The refusal of model options beside a galaxy file, or empty.
bool model_options_given(const model_choice &c) {
  return c.mass_given || c.scale_length_given || c.cutoff_given || c.centre_given || c.bulk_given || c.equilibrium ||
         c.zero_com || !c.profile.empty() || c.anisotropy_given || c.strength_given || c.units_given;
}

// A galaxy's checks over source (a file, or one galaxy of an encounter's
// seen alone): its lines, without the file's own; the status when it
// cannot go on, else -1.
int run_galaxy_checks(particle_source *source, const cli_settings &settings, galaxy_check_setup *setup,
                      pass_context ctx, check_outcome *outcome) {
  describe_source(*source, setup->units, &setup->plan.whole);
  if (ctx.view != nullptr) setup->plan.whole.has_box = false;  // the box is the pair's
  if (refuse_for_memory(settings, galaxy_check_bytes_per_particle(setup->plan), setup->plan.whole.known_count,
                        galaxy_check_fixed_bytes(setup->plan, std::min(ctx.threads, check_threads_most)), outcome)) {
    return outcome->status;
  }
  ctx.units = setup->units;
  for (galaxy_check_part &part : setup->plan.parts) {
    part.options.position_rounding = setup->plan.whole.position_rounding;
    part.options.mass_rounding = setup->plan.whole.mass_rounding;
    for (int k = 0; k < 2; ++k) part.options.stored_about[k] = setup->plan.whole.stored_about[k];
  }
  const bool zero_com = setup->description.zero_com;
  if (zero_com && !zero_com_passes(ctx, settings, *source, setup, nullptr, outcome)) return outcome->status;
  read_error error;
  particle_source again;
  particle_source *final_source = zero_com ? &again : source;
  galaxy_accumulator *acc = begin_galaxy_checks(setup->plan);
  uint64_t read = 0;
  if (!run_pass(ctx, galaxy_kind, acc, final_source, zero_com, galaxy_first_indices(setup->plan), false, ctx.meter,
                &error, &read)) {
    discard_galaxy_checks(acc);
    return report_read_error(ctx.path, error, outcome);
  }
  if (share_only(ctx, outcome)) {
    discard_galaxy_checks(acc);
    return outcome->status;
  }
  outcome->result = finish_galaxy_checks(acc);
  if (ctx.view == nullptr) {
    const uint64_t all = read_by_all(ctx, *final_source, read);
    finish_progress(ctx.meter, all, all);
    // The file's own lines go with the galaxy's, after its count and IDs.
    check_result file_lines;
    file_lines.lines = {{"galaxy", "", verdict_info}};
    file_lines.sample.largest_radius = outcome->result.sample.largest_radius;
    add_file_lines(*final_source, setup->units, &file_lines);
    std::vector<check_line> &lines = outcome->result.lines;
    auto at = std::find_if(lines.begin(), lines.end(), [](const check_line &l) { return l.name == "galaxy: ids"; });
    if (at != lines.end()) ++at;
    lines.insert(at, file_lines.lines.begin() + 1, file_lines.lines.end());
    for (const check_line &line : file_lines.lines) outcome->result.passed = outcome->result.passed && line.verdict != verdict_fail;
  }
  return -1;
}

// What the galaxy is: its components and black hole.
std::string galaxy_names(const galaxy_check_setup &setup) {
  std::string names;
  for (const component_description &part : setup.description.components) {
    names += (names.empty() ? "" : ", ") + part.name + " (" + role_name(part.role) + ", " + part.profile + ")";
  }
  if (setup.plan.black_hole) names += " and a black hole";
  return names;
}

// A galaxy of components: the file held against a galaxy file's.
int check_galaxy_source(particle_source *source, const cli_settings &settings, check_options options,
                        pass_context ctx, check_outcome *outcome) {
  if (model_options_given(settings.model)) {
    return usage_error("the model options have no place beside --galaxy, whose file describes the galaxy", outcome);
  }
  galaxy_check_setup setup;
  std::string why = set_up_galaxy(*source, settings, options, &setup);
  if (!why.empty()) return usage_error(why, outcome);
  const int status = run_galaxy_checks(source, settings, &setup, ctx, outcome);
  if (status >= 0) return status;
  const std::vector<check_line> heading = {{"model", "galaxy of " + galaxy_names(setup), verdict_info},
                                           {"model from", "the galaxy file " + setup.description.path, verdict_info},
                                           {"units", setup.units_line, verdict_info}};
  outcome->result.lines.insert(outcome->result.lines.begin(), heading.begin(), heading.end());
  outcome->checked = true;
  if (settings.plot_given) {
    // A galaxy's picture is its disc's; the spherical panels draw one model.
    std::string reason = "the picture of a galaxy file's galaxy is its disc's, and this one has none";
    if (!outcome->result.disc.present ||
        !write_disc_plot(outcome->result.disc, outcome->result.passed, ctx.path, settings.plot_file, &reason)) {
      return refuse(settings.plot_file + ": cannot draw: " + reason, outcome);
    }
  }
  return outcome->status = outcome->result.passed ? 0 : 1;
}

// The encounter a file is held against: the --galaxy file's, or the one
// an HDF5 file stores with its galaxies' own files.
bool describe_encounter(const particle_source &source, const cli_settings &settings, encounter_description *e,
                        std::string *why) {
  if (!settings.galaxy.empty()) {
    if (!settings.galaxy_unread.empty()) return *why = settings.galaxy_unread, false;
    return parse_encounter_text(settings.galaxy_text, settings.galaxy, e, why);
  }
  if (source.memory != nullptr) {
    return parse_encounter_text(source.memory->galaxy_text, source.memory->galaxy_name, e, why,
                                &source.memory->member_texts);
  }
  std::vector<std::string> own;
  for (const char *key : {"Galaxy1GalaxyFile", "Galaxy2GalaxyFile"}) own.push_back(hdf5_parameter_text(source.hdf5, key));
  return parse_encounter_text(hdf5_galaxy_file_text(source.hdf5), settings.path + "'s Parameters/GalaxyFile", e, why,
                              &own);
}

// Each galaxy's rows of the file: its groups (its components, then its
// black hole) by particle type, the first galaxy's before the second's
// within a type, as galaxy-ic writes them.
void lay_out_pair(const std::vector<galaxy_check_setup> &setups, std::vector<std::pair<uint64_t, uint64_t>> rows[2]) {
  struct group {
    int type;
    size_t galaxy;
    uint64_t count;
  };
  std::vector<group> groups;
  for (size_t k = 0; k < 2; ++k) {
    const galaxy_description &d = setups[k].description;
    for (size_t c = 0; c < d.components.size(); ++c) {
      const int type = d.components[c].type > 0 ? d.components[c].type : default_particle_type(d.components[c].role);
      groups.push_back({type, k, setups[k].plan.parts[c].count});
    }
    if (setups[k].plan.black_hole) groups.push_back({black_hole_particle_type, k, 1});
  }
  std::stable_sort(groups.begin(), groups.end(), [](const group &a, const group &b) { return a.type < b.type; });
  uint64_t at = 0;
  for (const group &g : groups) {
    auto &mine = rows[g.galaxy];
    if (g.count == 0) continue;
    if (!mine.empty() && mine.back().second == at) {
      mine.back().second += g.count;
    } else {
      mine.push_back({at, at + g.count});
    }
    at += g.count;
  }
}

// The orbit as the check finds it, in SI.
pair_orbit orbit_of(const encounter_description &e, const std::vector<galaxy_check_setup> &setups) {
  pair_orbit orbit;
  orbit.pericentre = e.orbit.pericentre, orbit.eccentricity = e.orbit.eccentricity, orbit.separation = e.orbit.separation;
  const unit_scale named = scale_of(e.units, setups[0].galaxy.total_mass, setups[0].galaxy.typical_length);
  for (int c = 0; c < 3; ++c) {
    orbit.centre[c] = e.centre[c] * named.length, orbit.bulk_velocity[c] = e.bulk_velocity[c] * named.velocity;
  }
  for (int k = 0; k < 2; ++k) {
    orbit.mass[k] = setups[static_cast<size_t>(k)].galaxy.total_mass;
    orbit.spin[k][0] = e.members[static_cast<size_t>(k)].spin_theta, orbit.spin[k][1] = e.members[static_cast<size_t>(k)].spin_phi;
  }
  return orbit;
}

// The pass over the whole file that finds each galaxy's centre of mass
// and motion; the file's own lines from its source after it.
bool measure_pair(const pass_context &ctx, pair_accumulator *acc, check_result *file_lines, read_error *error) {
  particle_source source;
  pass_context whole = ctx;
  whole.view = nullptr;
  bool ok = reopen(whole, &source, error);
  begin_claims(whole);
  ok = ok && run_check_pass(&source,
                            checks_of(acc, open_pair_lane, add_pair_particles, close_pair_lane,
                                      [](const particle_data &, uint64_t) {}),
                            whole.units, share_of(whole, source, {}), whole.threads, error, whole.meter, whole.cancel);
  end_claims(whole);
  byte_writer mine;
  pack_pair_lane(acc->totals, &mine);
  pack_reader_tallies(source, &mine);
  std::vector<std::vector<unsigned char>> others;
  if (!combine_pass(whole, ok, error, std::move(mine.bytes), true, &others)) return false;
  for (const std::vector<unsigned char> &bytes : others) {
    byte_reader in = byte_reader::of(bytes);
    if (!merge_packed_pair_lane(&acc->totals, &in) || !merge_reader_tallies(&source, &in)) {
      error->line = 0, error->what = "every rank's checks whole (a message was cut short)";
      return false;
    }
  }
  add_file_lines(source, whole.units, file_lines);
  return true;
}

// Galaxy k seen alone: its rows moved and turned back from its place,
// its IDs less those before it; its checks told where its values were
// stored about.
source_view view_of(const std::vector<std::pair<uint64_t, uint64_t>> &rows, const pair_place &place, uint64_t before,
                    const unit_scale &units, check_options *whole) {
  source_view view;
  view.rows = rows;
  view.id_offset = before;
  std::copy(&place.turn[0][0], &place.turn[0][0] + 9, &view.turn[0][0]);
  for (int c = 0; c < 3; ++c) {
    view.position[c] = place.position[c] / units.length;
    view.velocity[c] = place.velocity[c] / units.velocity;
  }
  whole->stored_about[0] = std::hypot(place.position[0], place.position[1], place.position[2]);
  whole->stored_about[1] = std::hypot(place.velocity[0], place.velocity[1], place.velocity[2]);
  return view;
}

// Galaxy k's lines, named for it, after a line that says what it is and
// how it was seen.
void add_member_lines(const encounter_member &m, const galaxy_check_setup &setup, const pair_place &place,
                      const check_result &result, std::vector<check_line> *lines) {
  char seen[400];
  std::snprintf(seen, sizeof seen,
                "galaxy of %s; seen in its own frame: its rows moved back from (%.6g, %.6g, %.6g) m and turned back "
                "from its spin (theta %.6g, phi %.6g degrees)",
                galaxy_names(setup).c_str(), place.position[0], place.position[1], place.position[2],
                m.spin_theta * 180.0 / M_PI, m.spin_phi * 180.0 / M_PI);
  lines->push_back({m.name, seen, verdict_info});
  for (const check_line &line : result.lines) lines->push_back({m.name + ": " + line.name, line.figure, line.verdict});
}

// The options an encounter's check has no place for, or empty.
std::string encounter_options_refusal(const cli_settings &settings, const check_options &options) {
  if (model_options_given(settings.model)) {
    return "the model options have no place beside --galaxy, whose file describes the galaxies";
  }
  if (options.expected_count >= 0) {
    return "--particles has no place beside an encounter's file: each galaxy's description gives its count";
  }
  if (settings.plot_given) return "--plot draws one galaxy's disc, and an encounter's file holds two";
  return std::string();
}

// Two galaxies on an orbit: each seen alone in its own frame (its rows,
// moved and turned back by the orbit found here), then the pair's lines
// from the file's own centres of mass.
int check_encounter_source(particle_source *source, const cli_settings &settings, const check_options &options,
                           const pass_context &ctx, check_outcome *outcome) {
  const std::string refusal = encounter_options_refusal(settings, options);
  if (!refusal.empty()) return usage_error(refusal, outcome);
  encounter_description e;
  std::string why;
  if (!describe_encounter(*source, settings, &e, &why)) return usage_error("galaxy file " + why, outcome);
  std::vector<galaxy_check_setup> setups(2);
  std::string refused[2];
  // The two galaxies' tables are built at once, on a thread each.
  const auto set_up = [&](size_t k) {
    galaxy_description &d = setups[k].description;
    d = e.members[k].galaxy;
    // The orbit places its mean position and velocity, as --zero-com
    // places a galaxy's, of all its particles.
    d.units = e.units, d.zero_com = true;
    refused[k] = set_up_described(*source, options, &setups[k]);
    setups[k].plan.whole.model.centre_radius = 0.0;
  };
  std::thread second(set_up, 1);
  set_up(0);
  second.join();
  for (size_t k = 0; k < 2; ++k) {
    if (!refused[k].empty()) return usage_error("galaxy " + e.members[k].name + ": " + refused[k], outcome);
  }
  const pair_orbit orbit = orbit_of(e, setups);
  pair_place places[2];
  expected_places(orbit, places);
  pair_accumulator pair;
  lay_out_pair(setups, pair.rows);
  source_view views[2];
  uint64_t counts[2];
  for (size_t k = 0; k < 2; ++k) {
    views[k] = view_of(pair.rows[k], places[k], k == 0 ? 0 : counts[0], setups[0].units, &setups[k].plan.whole);
    counts[k] = view_particles(views[k]);
  }
  std::vector<check_line> lines;
  bool passed = true;
  progress_meter quiet;
  for (size_t k = 0; k < 2; ++k) {
    pass_context seen = ctx;
    seen.view = &views[k], seen.meter = &quiet;
    particle_source alone;
    read_error error;
    if (!reopen(seen, &alone, &error)) return report_read_error(ctx.path, error, outcome);
    check_outcome part;
    const int status = run_galaxy_checks(&alone, settings, &setups[k], seen, &part);
    // Another rank than the first has only given its share: it goes on.
    const bool share_given = status == 0 && ctx.parallel != nullptr && ctx.parallel->rank != 0;
    if (status >= 0 && !share_given) return *outcome = part, status;
    add_member_lines(e.members[k], setups[k], places[k], part.result, &lines);
    passed = passed && part.result.passed;
  }
  check_result file_lines;
  file_lines.lines = {{"encounter", "", verdict_info}};
  read_error error;
  pass_context whole = ctx;
  whole.units = setups[0].units;
  if (!measure_pair(whole, &pair, &file_lines, &error)) return report_read_error(ctx.path, error, outcome);
  if (share_only(ctx, outcome)) return outcome->status;
  const uint64_t all = pair.totals.all;
  finish_progress(ctx.meter, all, all);
  const double rounding = std::max(setups[0].plan.whole.position_rounding, setups[0].plan.whole.mass_rounding);
  const std::vector<check_line> pair_part = pair_lines(orbit, pair.totals, counts, rounding);
  char figure[300];
  std::snprintf(figure, sizeof figure, "encounter of %s and %s: pericentre %.6g m, eccentricity %.6g, separation %.6g m",
                e.members[0].name.c_str(), e.members[1].name.c_str(), orbit.pericentre, orbit.eccentricity,
                orbit.separation);
  std::vector<check_line> &out = outcome->result.lines;
  out = {{"model", figure, verdict_info},
         {"model from", "the galaxy file " + e.path, verdict_info},
         {"units", setups[0].units_line, verdict_info}};
  out.insert(out.end(), file_lines.lines.begin() + 1, file_lines.lines.end());
  out.insert(out.end(), lines.begin(), lines.end());
  out.insert(out.end(), pair_part.begin(), pair_part.end());
  for (const check_line &line : out) passed = passed && line.verdict != verdict_fail;
  outcome->result.passed = passed;
  outcome->checked = true;
  return outcome->status = passed ? 0 : 1;
}

int check_source(const cli_settings &settings, check_options options, const pass_context &base_context,
                 check_outcome *outcome) {
  pass_context ctx = base_context;
  particle_source source;
  source.memory = ctx.memory;
  read_error error;
  if (ctx.memory == nullptr && !open_particles(ctx.path, &source, &error, ctx.cancel)) {
    return report_read_error(ctx.path, error, outcome);
  }
  if (!settings.galaxy.empty() || (ctx.memory != nullptr && !ctx.memory->galaxy_text.empty())) {
    // The galaxy file is read once: it may be a pipe.
    cli_settings read = settings;
    if (!settings.galaxy.empty() && !read_galaxy_text(settings.galaxy, &read.galaxy_text, &read.galaxy_unread)) {
      if (read.galaxy_unread.empty()) read.galaxy_unread = settings.galaxy + ": cannot be read";
    }
    const bool encounter = settings.galaxy.empty() ? names_an_encounter(ctx.memory->galaxy_text)
                                                   : read.galaxy_unread.empty() && names_an_encounter(read.galaxy_text);
    if (encounter) return check_encounter_source(&source, read, options, ctx, outcome);
    return check_galaxy_source(&source, read, options, ctx, outcome);
  }
  // A galaxy of components is held against the galaxy file it stores.
  if (source.hdf5 != nullptr && hdf5_stored_galaxy(source.hdf5)) {
    const std::string stored = hdf5_galaxy_file_text(source.hdf5);
    if (stored.empty()) {
      return usage_error(settings.path + " holds a galaxy of several components and not its galaxy file: name "
                         "that with --galaxy", outcome);
    }
    if (names_an_encounter(stored)) return check_encounter_source(&source, settings, options, ctx, outcome);
    return check_galaxy_source(&source, settings, options, ctx, outcome);
  }
  const model_base base = base_of(source);
  chosen_model chosen;
  profile_model profile;
  const std::string why = choose_model(settings.model, base, &chosen, &options.model, &profile);
  if (!why.empty()) return usage_error(why, outcome);
  std::string units_line;
  ctx.units = read_units(source, settings.model, options.model, &units_line);
  describe_source(source, ctx.units, &options);
  if (refuse_for_memory(settings, check_bytes_per_particle(options), options.known_count,
                        check_fixed_bytes(options, std::min(ctx.threads, check_threads_most)), outcome)) {
    return outcome->status;
  }
  const bool zero_com = options.model.zero_com;
  if (zero_com && !zero_com_passes(ctx, settings, source, nullptr, &options, outcome)) return outcome->status;
  particle_source again;
  particle_source *final_source = zero_com ? &again : &source;
  check_accumulator *acc = begin_checks(options);
  uint64_t read = 0;
  if (!run_pass(ctx, model_kind, acc, final_source, zero_com, {0}, false, ctx.meter, &error, &read)) {
    discard_checks(acc);
    return report_read_error(ctx.path, error, outcome);
  }
  if (share_only(ctx, outcome)) {
    discard_checks(acc);
    return outcome->status;
  }
  outcome->result = finish_checks(acc);
  const uint64_t all = read_by_all(ctx, *final_source, read);
  finish_progress(ctx.meter, all, all);
  add_file_lines(*final_source, ctx.units, &outcome->result);
  const std::vector<check_line> heading = model_lines(base, chosen, options.model, units_line);
  outcome->result.lines.insert(outcome->result.lines.begin(), heading.begin(), heading.end());
  outcome->checked = true;
  if (settings.plot_given) {
    std::string reason;
    if (!write_check_plot(outcome->result, options.model, ctx.path, settings.plot_file, &reason)) {
      return refuse(settings.plot_file + ": cannot draw: " + reason, outcome);
    }
  }
  return outcome->status = outcome->result.passed ? 0 : 1;
}

}  // namespace

const char *check_verdict_name(check_verdict verdict) {
  switch (verdict) {
    case verdict_pass: return "PASS";
    case verdict_fail: return "FAIL";
    case verdict_info: return "INFO";
  }
  return "";
}

bool check_options_available() { return true; }

check_outcome run_galaxy_check(int argc, char **argv, const memory_particles *memory,
                               const std::atomic<bool> *cancel, const check_parallel *parallel) {
  check_outcome outcome;
  check_options options;
  cli_settings settings;
  int status = parse_options(argc, argv, &options, &settings, &outcome);
  if (status < 0) status = judge_settings(settings, &options, &outcome);
  if (status >= 0) return outcome;
  outcome.path = settings.path;
  progress_meter meter;
  // Under MPI rank 0 reports the progress: its claims' places in the file.
  start_progress(&meter, "galaxy-check", settings.progress && (parallel == nullptr || parallel->rank == 0));
  pass_context ctx;
  ctx.path = settings.path.c_str();
  ctx.memory = memory;
  ctx.cancel = cancel;
  ctx.parallel = parallel;
  ctx.threads = settings.threads;
  ctx.meter = &meter;
  // No allocation failure ends the run by a signal: it is a refusal.
  try {
    check_source(settings, options, ctx, &outcome);
  } catch (const std::bad_alloc &) {
    outcome = check_outcome();
    outcome.path = settings.path;
    outcome.out_of_memory = true;
    refuse(settings.path + ": cannot allocate the memory its checks need", &outcome);
  } catch (const std::system_error &e) {
    outcome = check_outcome();
    outcome.path = settings.path;
    refuse(settings.path + ": cannot start the threads of the checks (" + e.what() + ")", &outcome);
  }
  return outcome;
}

std::string check_report_lines(const check_outcome &outcome) {
  const check_result &result = outcome.result;
  // Columns as wide as their widest entry, so that no figure breaks them.
  int name_width = 22, figure_width = 58;
  for (const check_line &line : result.lines) {
    name_width = std::max(name_width, static_cast<int>(line.name.size()));
    figure_width = std::max(figure_width, static_cast<int>(line.figure.size()));
  }
  std::string text = "galaxy-check " + outcome.path + "\n";
  for (const check_line &line : result.lines) {
    text += "  " + line.name + std::string(static_cast<size_t>(name_width) - line.name.size(), ' ') + " " +
            line.figure + std::string(static_cast<size_t>(figure_width) - line.figure.size(), ' ') + " " +
            check_verdict_name(line.verdict) + "\n";
  }
  return text;
}

int galaxy_check_main(int argc, char **argv) { return print_check_outcome(run_galaxy_check(argc, argv, nullptr)); }

int print_check_outcome(const check_outcome &outcome) {
  if (!outcome.help.empty()) {
    std::fputs(outcome.help.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2;
  }
  if (!outcome.checked) {
    std::fputs(outcome.message.c_str(), stderr);
    return 2;
  }
  std::fputs(check_report_lines(outcome).c_str(), stdout);
  if (outcome.status == 2) {  // the picture could not be drawn
    std::fflush(stdout);
    std::fputs(outcome.message.c_str(), stderr);
    return 2;
  }
  std::printf("%s\n", outcome.result.passed ? "PASS" : "FAIL");
  // A report that cannot be written is no verdict.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return 2;
  return outcome.status;
}
