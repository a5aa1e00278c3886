#include "memory_run.h"

#include <algorithm>
#include <string>

#include "driver.h"
#include "encounter_run.h"
#include "galaxy_file.h"
#include "error_report.h"
#include "generation.h"
#include "run_output.h"

namespace {

bool cancelled(const std::atomic<bool> *cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

}  // namespace

memory_status make_memory_galaxy(int argc, char **argv, const std::atomic<bool> *cancel, memory_galaxy *out,
                                 const std::string *galaxy_text) {
  run_settings settings;
  if (scan_options(argc, argv, &settings) != scan_run) return memory_refused;
  settings.galaxy_inline = galaxy_text;
  // A galaxy file is read once, and an encounter's made as galaxy-ic makes it.
  std::string file_text, unread;
  if (galaxy_text == nullptr && settings.galaxy_text != nullptr &&
      read_galaxy_text(settings.galaxy_text, &file_text, &unread)) {
    settings.galaxy_inline = &file_text;
  }
  if (names_an_encounter_file(settings)) {
    if (make_memory_encounter(settings, cancel, out)) return memory_made;
    return cancelled(cancel) ? memory_cancelled : memory_refused;
  }
  judged_run run;
  galaxy_tables tables;
  if (!judge_run(settings, &run, &tables, cancel)) return cancelled(cancel) ? memory_cancelled : memory_refused;
  gal_system *sys = alloc_run_record(run);
  if (sys == nullptr) return memory_no_memory;
  generation_plan &plan = run.plan;
  output_frame frame = place_for_frame(sys, run.galaxy, &plan, nullptr, cancel);
  if (!plan.already_placed && !cancelled(cancel)) {
    particle_sink nowhere;
    nowhere.cancel = cancel;
    generate_particle_file(sys, plan, nowhere);
  }
  if (cancelled(cancel)) {
    free_gal_system(sys);
    return memory_cancelled;
  }
  if (draws_exhausted(plan)) {
    free_gal_system(sys);
    report_exhausted_draws();
    return memory_refused;
  }
  free_gal_system(out->sys);
  out->sys = sys;
  out->frame = convert_record(sys, frame);
  out->provenance = provenance_of(settings, plan, run.galaxy, run.output,
                                  static_cast<uint64_t>(std::max(run.nb_element, 0)));
  out->provenance.galaxy_file_text = galaxy_file_as_made(settings, run);
  out->groups = run.extras.groups;
  out->galaxy_name = settings.galaxy_text != nullptr ? settings.galaxy_text : "";
  return memory_made;
}

int write_memory_galaxy(const memory_galaxy &galaxy, int argc, char **argv, const write_extras &extras) {
  run_settings settings;
  if (scan_options(argc, argv, &settings) != scan_run) return 1;
  output_choice output;
  if (!judge_format(settings, &output)) return 1;
  const std::string name = settings.output_text != nullptr ? settings.output_text : default_output_name(output);
  generation_plan plan;
  plan.already_placed = true;
  plan.seeded = galaxy.provenance.seeded;
  plan.seed = galaxy.provenance.seed;
  plan.law = galaxy.provenance.law;
  run_provenance provenance = galaxy.provenance;
  provenance.command_line = command_line_of(argc, argv);
  provenance.format = provenance_of(settings, plan, provenance.galaxy, output, provenance.count).format;
  gal_system *sys = galaxy.sys;
  write_extras with = extras;
  if (galaxy.groups.groups.size() > 1) {
    with.groups = galaxy.groups;
    with.columns.row_masses = with.columns.row_masses || (output.kind == output_text && !groups_share_one_mass(galaxy.groups));
  }
  switch (output.kind) {
    case output_text: return write_text_run(sys, plan, galaxy.frame, name, nullptr, with);
    case output_hdf5: return write_hdf5_run(sys, plan, galaxy.frame, provenance, name, nullptr, with);
    case output_binary:
      return write_binary_run(sys, plan, galaxy.frame, output.binary, name, provenance_line(provenance), nullptr,
                              with);
  }
  return 1;
}
