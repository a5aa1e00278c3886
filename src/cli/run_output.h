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
#include "provenance.h"
#include "units.h"

struct progress_meter;

// A sink that reports the whole galaxy's progress to meter (may be null).
particle_sink progress_sink(progress_meter *meter, const gal_system *sys);

// Each returns the exit status (0 or 1). cancel (may be null) stops the
// run between blocks as a failed write would: the old file stays.
int write_text_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                   const std::string &name, progress_meter *meter,
                   const std::atomic<bool> *cancel = nullptr);
int write_hdf5_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                   const run_provenance &provenance, const std::string &name, progress_meter *meter,
                   const std::atomic<bool> *cancel = nullptr);
// A GADGET or tipsy file (name.0, name.1, ... when the layout splits it);
// provenance goes where the format has room for it.
int write_binary_run(gal_system *sys, const generation_plan &plan, const output_frame &frame,
                     const binary_options &options, const std::string &name,
                     const std::string &provenance, progress_meter *meter,
                     const std::atomic<bool> *cancel = nullptr);

#endif
