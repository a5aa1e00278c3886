// What galaxy-ic-mpi's runs share: the ranks, the output files every rank
// writes and rank 0 commits, a share's frame under zero_com.
#ifndef MPI_RUN_H
#define MPI_RUN_H

#include <mpi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binary_output.h"
#include "driver.h"
#include "generation.h"
#include "output_file.h"
#include "progress.h"
#include "run_settings.h"

struct mpi_run {
  int rank = 0, size = 1;
  bool threads_may_call_mpi = true;  // MPI_THREAD_SERIALIZED granted
  bool all(bool mine) const {
    int value = mine ? 1 : 0, result = 0;
    MPI_Allreduce(&value, &result, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
    return result != 0;
  }
};

// The refusals every rank reaches alike (rank 0 alone prints them): a text
// file, and the format and plan galaxy-ic refuses.
bool judge_mpi_options(const run_settings &settings, generation_plan *plan, output_choice *output);

// Rank 0 prepares the file (a temporary beside the target) and tells every
// rank the path to create.
bool share_output_path(const mpi_run &run, const std::string &name, output_file *out, std::string *path);

// Under zero_com every rank makes its share of a galaxy of total particles
// (plan's first_index on) and the means come from one reduction of exact
// sums: the same bits on any number of ranks. Returns the frame to write in.
output_frame place_share_for_frame(gal_system *sys, const galaxy_parameters &galaxy, uint64_t total,
                                   generation_plan *plan, const particle_sink &progress);

// Ends a run whose files every rank wrote: rank 0 puts them in place or
// removes them, and every rank learns the status.
int commit_files(const mpi_run &run, std::vector<output_file> *outs, bool ok, bool close_failed,
                 progress_meter *meter, uint64_t total, bool exhausted);

// A positioned output's write through MPI-IO (context: an MPI_File).
bool mpi_write_at(void *context, uint64_t offset, const void *bytes, size_t length);

// A binary file set opened by every rank for MPI-IO (opened: all of them).
struct mpi_files {
  std::vector<MPI_File> files;
  std::vector<positioned_output> outputs;
  bool opened = true;
  explicit mpi_files(const std::vector<std::string> &paths);
};

// After every rank wrote its rows through writer (released here): the
// files closed, a float32 overflow reported once, and the run committed as
// commit_files does; the same status on every rank.
int finish_binary_files(const mpi_run &run, binary_writer **writer, mpi_files *files, bool written,
                        std::vector<output_file> *outs, progress_meter *meter, uint64_t total, bool exhausted);

// galaxy-ic-mpi's run of an encounter's file (settings.galaxy_inline holds
// its text): each rank makes its share of each galaxy, the pair is placed
// from exact sums over every rank, and each rank writes its rows.
int mpi_encounter_main(const mpi_run &run, const run_settings &settings);

#endif
