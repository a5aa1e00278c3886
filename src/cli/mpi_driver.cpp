#include "mpi_driver.h"
#include "mpi_run.h"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver.h"
#include "error_report.h"
#include "exact_sum.h"
#include "galaxy_file.h"
#include "galaxy_options.h"
#include "generation.h"
#include "binary_output.h"
#include "output_file.h"
#include "particle_hdf5_mpi.h"
#include "provenance.h"
#include "progress.h"

namespace {

void print_mpi_usage() {
  std::printf(
      "Usage:\tmpirun -n R galaxy-ic-mpi --seed S -p N [-o FILE] [--threads T] [--equilibrium] [--progress]"
      " [model and frame options]"
      "\t--seed\t\tSeed of the counter-based stream (required)\t-p --nbparticles\tSet the "
      "number of particles (default: 512)\t-o --output\t\tSet the name of the HDF5 file "
      "(default: galaxy.hdf5)\t--format F\t\thdf5 (default), gadget1, gadget2 or tipsy\t--threads\t\tThreads per rank\t--equilibrium\t\tA galaxy in "
      "equilibrium\t--progress\t\tRank 0 reports the run's progress on standard error"
      "\t--mass M\t\tTotal mass (default 1.9891e39 kg)\t--scale-length A\tScale length (default 1e18 m)"
      "\t--cutoff R\t\tCut-off radius (default 8 A)\t--units U\t\tUnits of these values and of the file: "
      "si, cgs, astro, gadget or model (default si)\t--centre X,Y,Z\t\tPlace the galaxy there"
      "\t--bulk-velocity VX,VY,VZ\tMove it\t--zero-com\t\tSubtract the sample's mean position and velocity"
      "\t--profile NAME\t\tAnother density in equilibrium (--anisotropy-radius RA, --cutoff-strength XI)"
      "\t-h --help\t\tPrint this screen");
}


// The global count: strtod and truncation as galaxy-ic reads -p, then up to
// size shares of what one record holds.
bool judge_global_count(const run_settings &settings, int size, uint64_t *count) {
  if (settings.count_text == nullptr) {
    *count = 512;
    return true;
  }
  const double value = settings.count_value;
  const double limit = static_cast<double>(size) * nb_element_limit;
  if (std::isnan(value)) {
    report_error("erreur: particle count %s is not a number", settings.count_text);
    return false;
  }
  if (!(value < limit + 1.0) || !(value > -static_cast<double>(nb_element_limit) - 1.0)) {
    report_error("erreur: particle count %s is out of range", settings.count_text);
    return false;
  }
  *count = value >= 1.0 ? static_cast<uint64_t>(value) : 0;
  return true;
}

}  // namespace

// The refusals every rank reaches alike; rank 0 alone prints them.
bool judge_mpi_options(const run_settings &settings, generation_plan *plan, output_choice *output) {
  if (settings.format_text != nullptr && std::strcmp(settings.format_text, "ini") == 0) {
    report_error("erreur: galaxy-ic-mpi writes hdf5, gadget1, gadget2 or tipsy, not ini: a text file has no "
                "place for each rank's rows");
    return false;
  }
  if (!judge_format(settings, output)) return false;
  if (settings.format_text == nullptr) output->kind = output_hdf5;
  if (!judge_plan(settings, plan)) return false;
  // A galaxy file's seed is judged with its galaxy.
  if (!plan->seeded && settings.galaxy_text == nullptr) {
    report_error("erreur: galaxy-ic-mpi needs --seed S: the default sequence is one sequence, "
                "drawn in order, and cannot be split over ranks");
    return false;
  }
  return true;
}

// Rank 0 prepares the file (a temporary beside the target) and tells every
// rank the path to create.
bool share_output_path(const mpi_run &run, const std::string &name, output_file *out,
                       std::string *path) {
  int verdict = 0;
  if (run.rank == 0) {
    verdict = prepare_output_path(out, name);
    if (verdict == path_cannot_open) report_error("erreur: fopen cannot open %s", name.c_str());
    if (verdict == path_not_regular) {
      report_error("erreur: galaxy-ic-mpi needs a regular file to seek in, and %s is not one", name.c_str());
    }
    if (verdict == path_ready) *path = output_write_path(out);
  }
  MPI_Bcast(&verdict, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (verdict != path_ready) return false;
  int length = static_cast<int>(path->size());
  MPI_Bcast(&length, 1, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<char> bytes(path->begin(), path->end());
  bytes.resize(static_cast<size_t>(length));
  MPI_Bcast(bytes.data(), length, MPI_CHAR, 0, MPI_COMM_WORLD);
  path->assign(bytes.begin(), bytes.end());
  return true;
}

// A trimmed centre's sums and weight over every rank.
void reduce_over_ranks(exact_sum sums[4]) {
  exact_sum all[4];
  for (int k = 0; k < 4; ++k) normalise_exact(&sums[k]);
  MPI_Allreduce(sums, all, static_cast<int>(4 * (exact_sum_limbs + 1)), MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
  for (int k = 0; k < 4; ++k) sums[k] = all[k];
}

// Under --zero-com every rank makes its particles first and the sample's
// means come from one reduction of exact sums: the same bits on any number
// of ranks. Returns the frame to write in.
output_frame place_share_for_frame(gal_system *sys, const galaxy_parameters &galaxy, uint64_t total,
                                   generation_plan *plan, const particle_sink &progress) {
  if (!galaxy.zero_com || total == 0) return frame_of(galaxy, nullptr, nullptr);
  generate_particle_file(sys, *plan, progress);
  plan->already_placed = true;
  const bool weighted = plan->components.size() > 1;
  exact_sum mine[7], all[7];
  add_record_sums(sys, weighted, mine);
  for (exact_sum &sum : mine) normalise_exact(&sum);
  static_assert(sizeof(exact_sum) == sizeof(int64_t) * (exact_sum_limbs + 1), "no padding");
  MPI_Allreduce(mine, all, static_cast<int>(7 * (exact_sum_limbs + 1)), MPI_INT64_T, MPI_SUM,
                MPI_COMM_WORLD);
  double mean_position[3], mean_velocity[3];
  means_of_sums(all, mean_position, mean_velocity);
  if (galaxy.centre_radius > 0.0) {
    trimmed_centre(sys, galaxy.centre_radius, weighted, reduce_over_ranks, mean_position);
  }
  return frame_of(galaxy, mean_position, mean_velocity);
}

// Ends a run whose files every rank wrote: rank 0 puts them in place or
// removes them, and every rank learns the status.
int commit_files(const mpi_run &run, std::vector<output_file> *outs, bool ok, bool close_failed,
                 progress_meter *meter, uint64_t total, bool exhausted) {
  int status = ok ? 0 : 1;
  if (run.rank == 0) {
    output_result result = output_committed;
    const output_file *failed = outs->empty() ? nullptr : &(*outs)[0];
    for (output_file &out : *outs) {
      if (result != output_committed) {
        discard_output_file(&out);
        continue;
      }
      result = commit_output_file(&out, ok);
      if (!ok) result = close_failed ? output_close_failed : output_write_failed;
      if (result != output_committed) {
        discard_output_file(&out);
        failed = &out;
      }
    }
    if (exhausted && result != output_committed) {
      report_exhausted_draws();
    } else if (failed != nullptr) {
      print_output_error(result, failed);
    }
    status = result == output_committed ? 0 : 1;
  }
  MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (run.rank == 0 && status == 0) finish_progress(meter, total, total);
  return status;
}

bool mpi_write_at(void *context, uint64_t offset, const void *bytes, size_t length) {
  MPI_Status status;
  return MPI_File_write_at(*static_cast<MPI_File *>(context), static_cast<MPI_Offset>(offset), bytes,
                           static_cast<int>(length), MPI_BYTE, &status) == MPI_SUCCESS;
}

mpi_files::mpi_files(const std::vector<std::string> &paths) : files(paths.size(), MPI_FILE_NULL) {
  for (size_t k = 0; k < paths.size(); ++k) {
    opened = MPI_File_open(MPI_COMM_WORLD, paths[k].c_str(), MPI_MODE_CREATE | MPI_MODE_WRONLY, MPI_INFO_NULL,
                           &files[k]) == MPI_SUCCESS && opened;
  }
  for (MPI_File &file : files) outputs.push_back({&file, mpi_write_at});
}

int finish_binary_files(const mpi_run &run, binary_writer **writer, mpi_files *files, bool written,
                        std::vector<output_file> *outs, progress_meter *meter, uint64_t total, bool exhausted) {
  const bool overflowed = !run.all(*writer == nullptr || !binary_value_overflowed(*writer));
  close_binary_writer(*writer);
  *writer = nullptr;
  bool closed = true;
  for (MPI_File &file : files->files) {
    if (file != MPI_FILE_NULL) closed = MPI_File_close(&file) == MPI_SUCCESS && closed;
  }
  // Every rank ends here alike: rank 0 alone reports and removes the files.
  if (overflowed) {
    if (run.rank == 0) {
      report_error("erreur: a value lies beyond the range of float32 in %s: write it with --double, or in "
                   "other --units", (*outs)[0].name.c_str());
      for (output_file &out : *outs) discard_output_file(&out);
    }
    return 1;
  }
  const bool all_closed = run.all(closed);
  return commit_files(run, outs, written && all_closed, written && !all_closed, meter, total, exhausted);
}

namespace {

// A GADGET or tipsy file set, every rank writing its rows through MPI-IO.
int write_binary_files(const mpi_run &run, gal_system *sys, const generation_plan &plan,
                       const output_frame &frame, const binary_layout &layout, const run_provenance &provenance,
                       std::vector<output_file> *outs, const std::vector<std::string> &paths,
                       particle_sink sink, progress_meter *meter) {
  mpi_files files(paths);
  if (files.opened) {
    sink.binary = open_binary_writer(layout, sys, frame, files.outputs, run.rank == 0, provenance_line(provenance));
  }
  const bool written = run.all(files.opened && sink.binary != nullptr && generate_particle_file(sys, plan, sink));
  return finish_binary_files(run, &sink.binary, &files, written, outs, meter, layout.total,
                             !run.all(!draws_exhausted(plan)));
}

// Creates this rank's particles and writes them; every rank together.
int generate_and_write(const mpi_run &run, gal_system *sys, generation_plan plan,
                       const galaxy_parameters &galaxy, const output_choice &output, const run_provenance &provenance,
                       uint64_t total, std::vector<output_file> *outs, const std::vector<std::string> &paths,
                       progress_meter *meter, const particle_groups &groups) {
  // Rank 0 reports for all: every rank makes an equal share at about the
  // same rate, so its own share stands for the whole run's.
  particle_sink sink;
  sink.progress = run.rank == 0 ? meter : nullptr;
  sink.progress_total = total;
  const output_frame frame = place_share_for_frame(sys, galaxy, total, &plan, sink);
  if (plan.already_placed) sink.progress = nullptr;
  if (output.kind == output_binary) {
    binary_layout layout;
    std::string why;
    plan_binary_layout(total, output.binary, &layout, &why, written_columns(), groups);  // judged before the files were made
    return write_binary_files(run, sys, plan, frame, layout, provenance, outs, paths, sink, meter);
  }
  output_file *out = &(*outs)[0];
  const std::string &name = out->name, &path = paths[0];
  sink.hdf5 = open_parallel_hdf5_writer(path, sys, total, frame, &provenance, MPI_COMM_WORLD, groups);
  if (!run.all(sink.hdf5 != nullptr)) {
    // Collective creation fails on every rank alike.
    if (run.rank == 0) {
      discard_output_file(out);
      report_error("erreur: fopen cannot open %s", name.c_str());
    }
    return 1;
  }
  const bool written = run.all(generate_particle_file(sys, plan, sink));
  const hdf5_result closed = close_hdf5_writer(sink.hdf5, written);
  const bool ok = run.all(closed == hdf5_written);
  return commit_files(run, outs, ok, written && !ok, meter, total, !run.all(!draws_exhausted(plan)));
}

int run_ranks(const mpi_run &run, int argc, char **argv) {
  run_settings settings;
  switch (scan_options(argc, argv, &settings)) {
    case scan_help:
      print_mpi_usage();
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    case scan_missing_value:
      return 1;
    case scan_run:
      break;
  }
  // The galaxy file is read once on every rank, and an encounter's made
  // by its own run.
  std::string galaxy_file, unread;
  if (settings.galaxy_text != nullptr && read_galaxy_text(settings.galaxy_text, &galaxy_file, &unread)) {
    settings.galaxy_inline = &galaxy_file;
  }
  if (names_an_encounter_file(settings)) return mpi_encounter_main(run, settings);
  generation_plan plan;
  uint64_t total = 0;
  galaxy_parameters galaxy;
  output_choice output;
  if (!judge_mpi_options(settings, &plan, &output) || !judge_global_count(settings, run.size, &total)) return 1;
  // Every rank builds the same tables: they are a pure function of the options.
  galaxy_tables tables;
  galaxy_description description;
  double radius_max = 0.0;
  int64_t whole = static_cast<int64_t>(total);
  if (!judge_galaxy_run(settings, whole, &galaxy, &plan, &tables, &description, &radius_max, &whole, nullptr,
                        run.rank == 0)) {
    return 1;
  }
  if (whole > static_cast<int64_t>(run.size) * nb_element_limit) {
    report_error("erreur: the galaxy's particle count %lld is out of range", static_cast<long long>(whole));
    return 1;
  }
  total = static_cast<uint64_t>(whole);
  if (!plan.seeded) {
    report_error("erreur: galaxy-ic-mpi needs a seed (--seed S, or the galaxy file's): the default sequence is one "
                 "sequence, drawn in order, and cannot be split over ranks");
    return 1;
  }
  std::vector<std::string> names = {settings.output_text != nullptr ? settings.output_text
                                                                    : default_output_name(output)};
  if (output.kind == output_binary) {
    binary_layout layout;
    std::string why;
    if (!plan_binary_layout(total, output.binary, &layout, &why, written_columns(), tables.groups)) {
      report_error("erreur: %s cannot hold %llu particles: %s", binary_format_name(output.binary.format),
                  static_cast<unsigned long long>(total), why.c_str());
      return 1;
    }
    names = binary_file_names(layout, names[0]);
  }
  run_provenance provenance = provenance_of(settings, plan, galaxy, output, total);
  provenance.program = "galaxy-ic-mpi";
  if (settings.galaxy_text != nullptr) {
    provenance.galaxy_file_text = galaxy_text_as_made(description.text, settings.count_text != nullptr ? description.particles : -1,
                                                      settings.seed_text != nullptr, plan.seed);
  }
  // The writer's role moves between threads: without that grant, one thread.
  if (!run.threads_may_call_mpi) plan.threads = 1;

  // An even split: the first total % size ranks take one particle more.
  const uint64_t base = total / static_cast<uint64_t>(run.size);
  const uint64_t extra = total % static_cast<uint64_t>(run.size);
  const uint64_t rank = static_cast<uint64_t>(run.rank);
  plan.first_index = rank * base + std::min(rank, extra);
  const int32_t mine = static_cast<int32_t>(base + (rank < extra ? 1 : 0));
  const double duration = default_duration;
  gal_system *sys = alloc_unplaced_gal_system(mine, galaxy.typical_length, radius_max,
                                              galaxy.total_mass, duration / default_nb_step, duration);
  if (!run.all(sys != nullptr)) {
    report_error("erreur: cannot allocate memory for %llu particles", static_cast<unsigned long long>(total));
    free_gal_system(sys);
    return 1;
  }
  // Every particle weighs M / N of the whole galaxy, as galaxy-ic's do.
  sys->mass_element = galaxy.total_mass / static_cast<double>(total);

  std::vector<output_file> outs(names.size());
  std::vector<std::string> paths(names.size());
  size_t shared = 0;
  while (shared < names.size() && share_output_path(run, names[shared], &outs[shared], &paths[shared])) ++shared;
  int status = 1;
  if (shared == names.size()) {
    progress_meter meter;
    start_progress(&meter, "galaxy-ic-mpi", settings.progress && run.rank == 0);
    status = generate_and_write(run, sys, plan, galaxy, output, provenance, total, &outs, paths, &meter, tables.groups);
  } else if (run.rank == 0) {
    for (size_t k = 0; k < shared; ++k) discard_output_file(&outs[k]);
  }
  free_gal_system(sys);
  return status;
}

}  // namespace

int galaxy_ic_mpi_main(int argc, char **argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
  mpi_run run;
  MPI_Comm_rank(MPI_COMM_WORLD, &run.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &run.size);
  run.threads_may_call_mpi = provided >= MPI_THREAD_SERIALIZED;
  // Every rank reaches the same refusals; rank 0 alone reports them.
  if (run.rank != 0 && std::freopen("/dev/null", "w", stdout) == nullptr) std::fclose(stdout);
  install_output_signal_handlers();
  const int status = run_ranks(run, argc, argv);
  std::fflush(stdout);
  MPI_Finalize();
  return status;
}
