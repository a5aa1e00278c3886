#include "check_cli.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <initializer_list>
#include <string>

#include "check_plot.h"
#include "checks.h"
#include "binary_reader.h"
#include "particle_hdf5.h"
#include "particle_reader.h"
#include "waiting_stream.h"
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
    "  Without these, an HDF5 file is held against the model its Parameters group names.\n"
    "  --equilibrium      hold the file against galaxy-ic --equilibrium's laws\n"
    "  --profile NAME     hold it against galaxy-ic --profile NAME (with --cutoff as its\n"
    "                     taper, --cutoff-strength XI, --anisotropy-radius RA)\n"
    "  --threshold P      p-values below P fail, 0 < P < 1 (default 0.001)\n"
    "  --particles N      the count the file must hold, 0 or more (default: any but 0)\n"
    "  --plot FILE.png    also draw the radius, density, speed and direction panels\n"
    "  --progress         report the particles read on standard error\n"
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
  double mass = 0.0, scale_length = 0.0, cutoff = 0.0;  // as given, in units
  bool mass_given = false, scale_length_given = false, cutoff_given = false;
  bool centre_given = false, bulk_given = false, particles_given = false, plot_given = false;
  bool progress = false;
  unit_system system = units_si;
  std::string profile, anisotropy, cutoff_strength;  // empty: not given
};

// A model's tables, built for a profile named by an option or by the file.
// The model points at profile; radius_max becomes the tables' top (the
// largest radius the generator draws).
std::string use_profile(const density_law &law, double anisotropy_radius, profile_model *profile,
                        check_model *model) {
  std::string why;
  if (!build_profile_model(law, anisotropy_radius, profile, &why)) return "the profile cannot be made: " + why;
  model->profile = profile;
  model->radius_max = std::exp(profile->log_r0 + profile->step * (profile->mass.size() - 1)) * model->typical_length;
  return std::string();
}

// The options, through CLI11; returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, check_options *options, cli_settings *settings, check_outcome *outcome) {
  CLI::App app("galaxy-check", "galaxy-check");
  app.set_help_flag();  // -h is handled below, with our own text
  bool help = false;
  app.add_flag("-h,--help", help);
  app.add_option("file", settings->path);
  check_model &model = options->model;
  CLI::Option *scale_length = app.add_option("--scale-length", settings->scale_length)->check(positive_number());
  CLI::Option *cutoff = app.add_option("--cutoff", settings->cutoff)->check(positive_number());
  CLI::Option *mass = app.add_option("--mass,--total-mass", settings->mass)->check(positive_number());
  app.add_option("--units", settings->units);
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
  app.add_option("--profile", settings->profile);
  app.add_option("--anisotropy-radius", settings->anisotropy)->check(positive_number());
  app.add_option("--cutoff-strength", settings->cutoff_strength)->check(positive_number());
  CLI::Option *particles = app.add_option("--particles", settings->particles);
  CLI::Option *plot = app.add_option("--plot", settings->plot_file);
  app.add_flag("--equilibrium", model.equilibrium);
  app.add_flag("--progress", settings->progress);
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
  settings->mass_given = mass->count() > 0;
  settings->scale_length_given = scale_length->count() > 0;
  settings->cutoff_given = cutoff->count() > 0;
  settings->centre_given = centre->count() > 0;
  settings->bulk_given = bulk->count() > 0;
  settings->particles_given = particles->count() > 0;
  settings->plot_given = plot->count() > 0;
  return -1;
}

// The model's parameters and frame in SI, from values given in the chosen
// units; the usage error's text, or empty.
std::string judge_model(cli_settings *settings, check_model *model) {
  if (!settings->units.empty() && !parse_unit_system(settings->units.c_str(), &settings->system)) {
    return "option --units needs si, cgs, astro, gadget or model, not \"" + settings->units + "\"";
  }
  if (settings->system == units_model && (settings->mass_given || settings->scale_length_given)) {
    return std::string("option --") + (settings->mass_given ? "mass" : "scale-length") +
           " has no meaning with --units model, whose units are the galaxy's own mass and scale length";
  }
  const unit_scale scale = scale_of(settings->system, model->total_mass, model->typical_length);
  if (settings->mass_given) model->total_mass = settings->mass * scale.mass;
  if (settings->scale_length_given) model->typical_length = settings->scale_length * scale.length;
  model->radius_max = 8.0 * model->typical_length;
  if (settings->cutoff_given) model->radius_max = settings->cutoff * scale.length;
  for (double value : {model->total_mass, model->typical_length, model->radius_max}) {
    if (!std::isfinite(value) || !(value > 0.0)) return "a model value lies beyond the range of a double in SI units";
  }
  if (settings->centre_given && !parse_vector3(settings->centre.c_str(), model->centre)) {
    return "option --centre needs three finite numbers X,Y,Z, not \"" + settings->centre + "\"";
  }
  if (settings->bulk_given && !parse_vector3(settings->bulk_velocity.c_str(), model->bulk_velocity)) {
    return "option --bulk-velocity needs three finite numbers VX,VY,VZ, not \"" + settings->bulk_velocity + "\"";
  }
  for (int k = 0; k < 3; ++k) {
    model->centre[k] *= scale.length;
    model->bulk_velocity[k] *= scale.velocity;
  }
  if (settings->profile.empty() && (!settings->anisotropy.empty() || !settings->cutoff_strength.empty())) {
    return "options --anisotropy-radius and --cutoff-strength need --profile";
  }
  return std::string();
}

// --profile and its options into a law; the usage error's text, or empty.
std::string judge_profile(const cli_settings &settings, const check_model &model, density_law *law,
                          double *anisotropy_radius) {
  std::string why;
  if (!parse_density_law(settings.profile, law, &why)) return why;
  if (model.equilibrium) return "options --profile and --equilibrium contradict";
  const double a = model.typical_length;
  const unit_scale scale = scale_of(settings.system, model.total_mass, a);
  if (settings.cutoff_given) law->taper_radius = model.radius_max / a;
  if (!settings.cutoff_strength.empty()) law->taper_strength = std::strtod(settings.cutoff_strength.c_str(), nullptr);
  *anisotropy_radius = settings.anisotropy.empty() ? 0.0 : std::strtod(settings.anisotropy.c_str(), nullptr) * scale.length / a;
  return std::string();
}

// What CLI11 leaves to us: compound and whole-number values, the file.
int judge_settings(cli_settings &settings, check_options *options, check_outcome *outcome) {
  if (settings.path.empty()) return usage_error("no file named", outcome);
  const std::string model_error = judge_model(&settings, &options->model);
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

// Particles read and checked at a time.
constexpr size_t chunk_particles = size_t{1} << 16;

// A particle file of any layout, read a chunk at a time.
struct particle_source {
  std::FILE *text_file = nullptr;
  double file_bytes = 0.0;  // of a text file, to estimate its count while reading
  text_particle_reader *text = nullptr;
  hdf5_particle_reader *hdf5 = nullptr;
  binary_particle_reader *binary = nullptr;
  const memory_particles *memory = nullptr;  // instead of a file
  size_t memory_next = 0;
  ~particle_source() {
    if (text != nullptr) end_text_read(text);
    if (hdf5 != nullptr) end_hdf5_read(hdf5);
    if (binary != nullptr) end_binary_read(binary);
    if (text_file != nullptr) std::fclose(text_file);
  }
};

// Opens path, told apart by content: a regular file that starts with the
// HDF5 signature is read as HDF5, one that starts as a GADGET or tipsy file
// does as that. An unopenable file gets error.line -1 and the system's reason.
// With cancel, a FIFO's waits for its writer and data end when it is set.
bool open_particles(const char *path, particle_source *source, read_error *error,
                    const std::atomic<bool> *cancel) {
  std::FILE *in = cancel != nullptr && is_fifo(path) ? open_fifo_for_reading(path, cancel) : std::fopen(path, "rb");
  if (in == nullptr) {
    error->line = -1;
    error->what = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode)) {
    unsigned char head[16];
    const size_t got = std::fread(head, 1, sizeof head, in);
    binary_format format;
    if (has_hdf5_signature(head, got)) {
      std::fclose(in);
      source->hdf5 = begin_hdf5_read(path, error);
      return source->hdf5 != nullptr;
    }
    if (detect_binary_format(head, got, static_cast<uint64_t>(st.st_size), &format)) {
      std::fclose(in);
      source->binary = begin_binary_read(path, format, error);
      return source->binary != nullptr;
    }
    std::rewind(in);
  }
  source->text_file = in;
  if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode)) source->file_bytes = static_cast<double>(st.st_size);
  source->text = begin_text_read(in);
  return true;
}

// The next chunk of particles held in memory.
read_status read_memory_chunk(particle_source *source, particle_data *chunk) {
  const gal_system *sys = source->memory->sys;
  const size_t n = sys->nb_element > 0 ? static_cast<size_t>(sys->nb_element) : 0;
  const size_t first = source->memory_next, last = std::min(n, first + chunk_particles);
  chunk->pos.assign(sys->pos + 3 * first, sys->pos + 3 * last);
  chunk->vel.assign(sys->vel + 3 * first, sys->vel + 3 * last);
  chunk->mass.assign(sys->mass + first, sys->mass + last);
  chunk->nb_element = static_cast<int64_t>(last - first);
  source->memory_next = last;
  return last == n ? read_done : read_more;
}

read_status read_chunk(particle_source *source, particle_data *chunk, read_error *error) {
  chunk->pos.clear();
  chunk->vel.clear();
  chunk->mass.clear();
  chunk->nb_element = 0;
  if (source->memory != nullptr) return read_memory_chunk(source, chunk);
  if (source->hdf5 != nullptr) return read_hdf5_chunk(source->hdf5, chunk, chunk_particles, error);
  if (source->binary != nullptr) return read_binary_chunk(source->binary, chunk, chunk_particles, error);
  return read_text_chunk(source->text, chunk, chunk_particles, error);
}

// The particles the source holds: known for HDF5, estimated from the bytes
// read so far for text, 0 when unknown.
uint64_t expected_particles(const particle_source &source, uint64_t read) {
  if (source.memory != nullptr) return static_cast<uint64_t>(std::max(source.memory->sys->nb_element, 0));
  if (source.hdf5 != nullptr) return hdf5_row_count(source.hdf5);
  if (source.binary != nullptr) return binary_row_count(source.binary);
  const long at = source.file_bytes > 0.0 ? std::ftell(source.text_file) : -1;
  if (at <= 0) return 0;
  return static_cast<uint64_t>(static_cast<double>(read) * source.file_bytes / static_cast<double>(at));
}

// A chunk's values in SI, from the file's units.
void convert_to_si(particle_data *chunk, const unit_scale &units) {
  if (units.length == 1.0 && units.mass == 1.0 && units.velocity == 1.0) return;
  for (double &x : chunk->pos) x *= units.length;
  for (double &v : chunk->vel) v *= units.velocity;
  for (double &m : chunk->mass) m *= units.mass;
}

// Reads the file and feeds the checks, the reading of one chunk overlapping
// the checking of the one before. Only two chunks are held at a time. A
// text file's values are in text_units; an HDF5 file states its own.
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

// The relative rounding of what the source stores: float32 values are
// within 2^-24 of the doubles they were made from.
void stored_rounding(const particle_source &source, check_options *options) {
  constexpr double float_rounding = 0x1p-24;
  if (source.binary != nullptr && binary_value_bytes(source.binary) == 4) {
    options->position_rounding = options->mass_rounding = float_rounding;
  }
  if (source.hdf5 != nullptr) {
    int position_bytes = 8, mass_bytes = 8;
    hdf5_value_bytes(source.hdf5, &position_bytes, &mass_bytes);
    if (position_bytes == 4) options->position_rounding = float_rounding;
    if (mass_bytes == 4) options->mass_rounding = float_rounding;
  }
}

// The model an HDF5 file says it was made from, when no option named one.
void take_stored_model(const particle_source &source, check_model *model, profile_model *profile) {
  galaxy_parameters stored;
  bool equilibrium = false;
  if (source.memory != nullptr) {
    stored = source.memory->model;
    equilibrium = source.memory->equilibrium;
  } else if (source.hdf5 == nullptr || !hdf5_stored_model(source.hdf5, &stored, &equilibrium)) {
    return;
  }
  check_model taken = *model;
  taken.total_mass = stored.total_mass;
  taken.typical_length = stored.typical_length;
  if (stored.profile && !use_profile(stored.law, stored.anisotropy_radius, profile, &taken).empty()) return;
  *model = taken;
  if (!stored.profile) model->radius_max = stored.radius_max;
  model->equilibrium = equilibrium;
  model->zero_com = stored.zero_com;
  for (int k = 0; k < 3; ++k) {
    model->centre[k] = stored.centre[k];
    model->bulk_velocity[k] = stored.bulk_velocity[k];
  }
}

bool check_file(const char *path, const memory_particles *memory, check_options options, bool model_given,
                const unit_scale &text_units, check_result *result, read_error *error, progress_meter *meter,
                profile_model *profile, const std::atomic<bool> *cancel) {
  particle_source source;
  source.memory = memory;
  if (memory == nullptr && !open_particles(path, &source, error, cancel)) return false;
  stored_rounding(source, &options);
  if (!model_given) take_stored_model(source, &options.model, profile);
  bool stated = false;
  unit_scale units = memory != nullptr ? memory->units : text_units;
  if (source.hdf5 != nullptr) {
    const unit_scale file_units = hdf5_file_units(source.hdf5, &stated);
    if (stated) units = file_units;
  }
  check_accumulator *acc = begin_checks(options);
  particle_data chunks[2];
  std::future<void> checking;
  read_status status = read_more;
  uint64_t read = 0;
  for (int k = 0; status == read_more; k ^= 1) {
    status = cancel != nullptr && cancel->load() ? read_failed : read_chunk(&source, &chunks[k], error);
    read += static_cast<uint64_t>(chunks[k].nb_element);
    report_progress(meter, read, status == read_done ? read : expected_particles(source, read));
    if (checking.valid()) checking.get();
    if (status == read_failed) break;
    convert_to_si(&chunks[k], units);
    checking = std::async(std::launch::async, [acc, &chunks, k] { add_particles(acc, chunks[k]); });
  }
  if (checking.valid()) checking.get();
  *result = finish_checks(acc);
  check_line header;
  if (status == read_done && header_line(source, &header)) {
    result->lines.insert(result->lines.begin() + 1, header);
    result->passed = result->passed && header.verdict != verdict_fail;
  }
  if (status == read_done) finish_progress(meter, read, read);
  if (meter->terminal && meter->shown && status != read_done) std::fputc('\n', stderr);
  return status == read_done;
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
                               const std::atomic<bool> *cancel) {
  check_outcome outcome;
  check_options options;
  cli_settings settings;
  int status = parse_options(argc, argv, &options, &settings, &outcome);
  if (status < 0) status = judge_settings(settings, &options, &outcome);
  if (status >= 0) return outcome;
  const char *path = settings.path.c_str();

  read_error error;
  progress_meter meter;
  start_progress(&meter, "galaxy-check", settings.progress);
  const unit_scale text_units =
      scale_of(settings.system, options.model.total_mass, options.model.typical_length);
  const bool model_given = settings.mass_given || settings.scale_length_given || settings.cutoff_given ||
                           settings.centre_given || settings.bulk_given || options.model.equilibrium ||
                           options.model.zero_com || !settings.profile.empty();
  profile_model profile;
  if (!settings.profile.empty()) {
    density_law law;
    double anisotropy_radius = 0.0;
    std::string why = judge_profile(settings, options.model, &law, &anisotropy_radius);
    if (why.empty()) why = use_profile(law, anisotropy_radius, &profile, &options.model);
    if (!why.empty()) {
      usage_error(why, &outcome);
      return outcome;
    }
  }
  outcome.path = settings.path;
  if (!check_file(path, memory, options, model_given, text_units, &outcome.result, &error, &meter, &profile,
                  cancel)) {
    report_read_error(path, error, &outcome);
    return outcome;
  }
  outcome.checked = true;
  if (settings.plot_given) {
    std::string why;
    if (!write_check_plot(outcome.result, options.model, path, settings.plot_file, &why)) {
      outcome.reason = settings.plot_file + ": cannot draw: " + why;
      outcome.message = "galaxy-check: " + outcome.reason + "\n";
      outcome.status = 2;
      return outcome;
    }
  }
  outcome.status = outcome.result.passed ? 0 : 1;
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

int galaxy_check_main(int argc, char **argv) {
  const check_outcome outcome = run_galaxy_check(argc, argv, nullptr);
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
