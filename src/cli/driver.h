// The generator's entry point: options, run sequence, particle file.
#ifndef DRIVER_H
#define DRIVER_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "binary_output.h"
#include "galaxy_options.h"
#include "galaxy_types.h"
#include "generation.h"
#include "galaxy_file.h"
#include "galaxy_plan.h"
#include "profile_sampler.h"
#include "run_output.h"
#include "provenance.h"
#include "run_settings.h"

// Writes the usage text to standard output, without a line feed.
void print_usage();

// Whether a converted -p value can become the record's count.
enum count_verdict {
  count_ok,
  count_not_a_number,
  count_out_of_range,          // infinite, beyond int32_t, or 3 * count beyond it
  count_exceeds_memory,        // the arrays would not fit in physical memory
};

// Judges a -p value before any conversion to an integer. physical_memory is
// the machine's memory in bytes.
count_verdict check_particle_count(double value, double physical_memory);

// The machine's physical memory in bytes.
double physical_memory_bytes();

enum scan_outcome { scan_run, scan_help, scan_missing_value };

// The option scan: whole arguments only, value options take the next
// argument whatever it is, unknown arguments are skipped. Prints the
// message for a value option given last.
scan_outcome scan_options(int argc, char **argv, run_settings *settings);

// Judges --seed, --threads and --equilibrium into plan; prints the refusal
// and returns false.
bool judge_plan(const run_settings &settings, generation_plan *plan);

// What --format and the binary formats' options ask for.
enum output_kind { output_text, output_hdf5, output_binary };
struct output_choice {
  output_kind kind = output_text;
  binary_options binary;
};

// Judges --format, --double, --long-ids, --softening and --max-record;
// prints the refusal and returns false.
bool judge_format(const run_settings &settings, output_choice *choice);

// Under --zero-com, a model whose mean square radius diverges has its
// centre of mass set by its few farthest particles (10^5 a and more out for
// a Hernquist sphere of a million): its centre is taken from the particles
// within the radius holding 90 % of the components' mass instead (the mean
// velocity still from all), and the run says so on standard error when say.
void choose_centre_radius(const std::vector<profile_model> &models, galaxy_parameters *galaxy,
                          const std::vector<component_description> &components, bool say);

// Refuses (erreur:, false) a galaxy whose derived quantities leave the
// range of a double (overflow, or underflow below its normal numbers): G M
// / a, its velocity and time units, its largest speed and radius (the
// record's cut-off, SI), and its scale, largest values and particle mass
// (count particles) in the file's units. model: a profile's tables, or null.
bool judge_derived_scales(const galaxy_parameters &galaxy, double radius_max, const profile_model *model,
                          double count);

// galaxy.ini, galaxy.hdf5, galaxy.gadget or galaxy.tipsy.
const char *default_output_name(const output_choice &choice);

// How the run's file is made, for the file itself.
run_provenance provenance_of(const run_settings &settings, const generation_plan &plan,
                             const galaxy_parameters &galaxy, const output_choice &output, uint64_t count);

// Most threads --threads accepts.
constexpr int max_threads = 1024;

// Reads a --seed value: plain decimal digits, 0 to 2^64 - 1, nothing else.
bool parse_seed(const char *text, uint64_t *seed);

// Reads a --threads value: plain decimal digits, 1 to max_threads.
bool parse_thread_count(const char *text, int *threads);

// The cores this process may run on, at least 1 and at most max_threads.
int default_thread_count();

// Every value of a run's command line, judged.
struct judged_run {
  int32_t nb_element = 512;  // every particle, a galaxy's black hole's too
  generation_plan plan;
  output_choice output;
  galaxy_parameters galaxy;
  galaxy_description description;  // a profile's or a galaxy file's components
  write_extras extras;
  double radius_max = 0.0;  // the record's cut-off
};

// The galaxy of a run (of count particles, when no galaxy file gives them):
// its parameters, and for a profile or a galaxy file the tables of every
// component, the plan's component ranges and the whole count (total).
// Reports the refusal and returns false; say: the notes on standard error.
bool judge_galaxy_run(const run_settings &settings, int64_t count, galaxy_parameters *galaxy, generation_plan *plan,
                      galaxy_tables *tables, galaxy_description *description, double *radius_max, int64_t *total,
                      const std::atomic<bool> *cancel, bool say);

// The same from a galaxy's description and its components' counts (total
// with its black hole's): the tables, plan ranges and parameters.
bool judge_described_galaxy(const galaxy_description &description, const std::vector<int64_t> &counts, int64_t total,
                            galaxy_parameters *galaxy, generation_plan *plan, galaxy_tables *tables, double *radius_max,
                            const std::atomic<bool> *cancel, bool say);

// The notes judge_described_galaxy says when told to.
void say_galaxy_notes(const galaxy_tables &tables, const galaxy_description &description, galaxy_parameters galaxy);

// False, with the refusal reported, when an option that describes the
// galaxy is given beside --galaxy, whose file describes it instead.
bool judge_galaxy_file_alone(const run_settings &settings);

// Judges count, plan, format and galaxy, and builds a profile's or a galaxy
// file's tables into tables (which plan then points at); reports the
// refusal and returns false. A set cancel ends the tables' build, without a
// message.
bool judge_run(const run_settings &settings, judged_run *run, galaxy_tables *tables,
               const std::atomic<bool> *cancel = nullptr);

// The galaxy file a run was given, as the run made it (empty for none):
// what its files store.
std::string galaxy_file_as_made(const run_settings &settings, const judged_run &run);

// The run's record, arrays taken but no particle placed; null, reported,
// when memory runs out.
gal_system *alloc_run_record(const judged_run &run);

// Under --zero-com every particle is made before the first is written, to
// know the sample's means (plan then says they are placed); returns the
// frame to write in. A cancelled run leaves plan as it was.
output_frame place_for_frame(gal_system *sys, const galaxy_parameters &galaxy, generation_plan *plan,
                             progress_meter *meter, const std::atomic<bool> *cancel = nullptr);

// The whole program: returns the process exit status (0 or 1).
// Whether the galaxy file's text (settings.galaxy_inline) is an encounter's
// (its [[galaxy]] tables).
bool names_an_encounter_file(const run_settings &settings);

int galaxy_ic_main(int argc, char **argv);

#endif
