// Writing a generator run's particle file in each format: the particles
// made (unless the plan says they exist) while the file is written, the
// user's file replaced safely, every failure reported as "erreur: ...".
#ifndef RUN_OUTPUT_H
#define RUN_OUTPUT_H

#include <atomic>
#include <string>

#include "binary_output.h"
#include "galaxy_types.h"
#include "generation.h"
#include "output_file.h"
#include "particle_groups.h"
#include "provenance.h"
#include "units.h"
#include "written_columns.h"

struct progress_meter;

// What a program that embeds the generator adds to a run's write: a cancel
// flag (policy.cancel stops the run between blocks as a failed write would,
// and ends any wait for a reader), whole files only, and the masses and IDs
// of a record it edited.
struct write_extras {
  output_policy policy;
  written_columns columns;
  particle_groups groups;  // a galaxy's components, each as its particle type
};

// A sink that reports the whole galaxy's progress to meter (may be null).
particle_sink progress_sink(progress_meter *meter, const gal_system *sys);

// Each returns the exit status (0 or 1); a failed or cancelled run leaves
// the old file. The errno of a failure goes to report_error_number.
int write_text_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                   const std::string &name, progress_meter *meter,
                   const write_extras &extras = write_extras());
int write_hdf5_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                   const run_provenance &provenance, const std::string &name, progress_meter *meter,
                   const write_extras &extras = write_extras());
// A GADGET or tipsy file (name.0, name.1, ... when the layout splits it);
// provenance goes where the format has room for it.
int write_binary_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                     const binary_options &options, const std::string &name,
                     const std::string &provenance, progress_meter *meter,
                     const write_extras &extras = write_extras());

#endif
