#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "binary_output.h"
#include "encounter_plan.h"
#include "error_report.h"
#include "exact_sum.h"
#include "mpi_run.h"
#include "particle_hdf5_mpi.h"
#include "provenance.h"

namespace {

// This rank's share of count particles: [first, first + n), the first
// count % size ranks one more.
void rank_share(uint64_t count, const mpi_run &run, uint64_t *first, uint64_t *n) {
  const uint64_t size = static_cast<uint64_t>(run.size), rank = static_cast<uint64_t>(run.rank);
  const uint64_t base = count / size, extra = count % size;
  *first = rank * base + std::min(rank, extra);
  *n = base + (rank < extra ? 1 : 0);
}

// This rank's share of a galaxy, made in its own frame (SI) as its run
// alone makes those particles; its centre of mass and mean velocity from
// one reduction of exact sums: the bits one process finds.
bool make_member_share(const mpi_run &run, member_run *m, const std::string &name, uint64_t first, uint64_t n,
                       owned_record *out) {
  gal_system *sys = alloc_unplaced_gal_system(static_cast<int32_t>(n), m->galaxy.typical_length, m->radius_max,
                                              m->galaxy.total_mass, default_duration / default_nb_step,
                                              default_duration);
  if (!run.all(sys != nullptr)) {
    report_error("erreur: cannot allocate memory for %lld particles", static_cast<long long>(m->total));
    free_gal_system(sys);
    return false;
  }
  out->reset(sys);
  generation_plan plan = m->plan;
  plan.first_index = first;
  const particle_sink nowhere;
  const output_frame frame = place_share_for_frame(sys, m->galaxy, static_cast<uint64_t>(m->total), &plan, nowhere);
  if (!plan.already_placed) generate_particle_file(sys, plan, nowhere);
  if (!run.all(!draws_exhausted(plan))) {
    report_exhausted_draws();
    return false;
  }
  shift_by_frame(sys, frame);
  exact_sum mine[7], all[7];
  add_record_sums(sys, true, mine);
  for (exact_sum &sum : mine) normalise_exact(&sum);
  MPI_Allreduce(mine, all, static_cast<int>(7 * (exact_sum_limbs + 1)), MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
  means_of_sums(all, m->centre, m->drift);
  double body[4], whole[4];
  body_offset_sums(*sys, *m, body);
  MPI_Allreduce(body, whole, 4, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  if (run.rank == 0) warn_of_stray_centre(*m, name, whole);
  return true;
}

// Rows [first, last) of this rank's record, written as the file's rows
// offset + first, ...
struct row_piece {
  int32_t first, last;
  uint64_t offset;
};

// Where this rank's rows go: each placed group's rows of the galaxy
// shares it holds (galaxy k's at base[k] of its record).
std::vector<row_piece> pieces_of(const std::vector<placed_group> &order, const particle_groups &groups,
                                 const uint64_t first[2], const uint64_t count[2], const uint64_t base[2]) {
  std::vector<row_piece> pieces;
  for (size_t p = 0; p < order.size(); ++p) {
    const size_t k = order[p].galaxy;
    const particle_group &g = order[p].group;
    const uint64_t lo = std::max(g.first, first[k]), hi = std::min(g.first + g.count, first[k] + count[k]);
    if (lo >= hi) continue;
    const uint64_t local = base[k] + (lo - first[k]);
    pieces.push_back({static_cast<int32_t>(local), static_cast<int32_t>(local + (hi - lo)),
                      groups.groups[p].first + (lo - g.first) - local});
  }
  return pieces;
}

int write_hdf5_pieces(const mpi_run &run, gal_system *mine, uint64_t total, const output_frame &frame,
                      const run_provenance &provenance, const particle_groups &groups, const written_columns &columns,
                      const std::vector<row_piece> &pieces, std::vector<output_file> *outs,
                      const std::vector<std::string> &paths, progress_meter *meter) {
  hdf5_writer *writer = open_parallel_hdf5_writer(paths[0], mine, total, frame, &provenance, MPI_COMM_WORLD, groups,
                                                  nullptr, columns);
  if (!run.all(writer != nullptr)) {
    if (run.rank == 0) {
      discard_output_file(&(*outs)[0]);
      report_error("erreur: fopen cannot open %s", (*outs)[0].name.c_str());
    }
    close_hdf5_writer(writer, false);
    return 1;
  }
  bool ok = true;
  for (const row_piece &p : pieces) {
    for (int32_t at = p.first; ok && at < p.last; at += 65536) {
      ok = write_hdf5_rows(writer, mine, at, std::min(p.last, at + 65536), p.offset);
    }
  }
  const bool written = run.all(ok);
  const bool closed = run.all(close_hdf5_writer(writer, written) == hdf5_written);
  return commit_files(run, outs, closed, written && !closed, meter, total, false);
}

int write_binary_pieces(const mpi_run &run, gal_system *mine, const output_frame &frame, const binary_layout &layout,
                        const run_provenance &provenance, const written_columns &columns,
                        const std::vector<row_piece> &pieces, std::vector<output_file> *outs,
                        const std::vector<std::string> &paths, progress_meter *meter) {
  mpi_files files(paths);
  binary_writer *writer = files.opened ? open_binary_writer(layout, mine, frame, files.outputs, run.rank == 0,
                                                            provenance_line(provenance), columns)
                                       : nullptr;
  bool ok = writer != nullptr;
  for (const row_piece &p : pieces) {
    for (int32_t at = p.first; ok && at < p.last; at += 65536) {
      ok = write_binary_rows(writer, mine, at, std::min(p.last, at + 65536), p.offset);
    }
  }
  return finish_binary_files(run, &writer, &files, run.all(ok), outs, meter, layout.total, false);
}

// The files of the encounter, every rank writing its pieces.
int write_encounter(const mpi_run &run, const run_settings &settings, const output_choice &output, gal_system *mine,
                    uint64_t total, const output_frame &frame, const run_provenance &provenance,
                    const particle_groups &groups, const written_columns &columns,
                    const std::vector<row_piece> &pieces) {
  std::vector<std::string> names = {settings.output_text != nullptr ? settings.output_text : default_output_name(output)};
  binary_layout layout;
  if (output.kind == output_binary) {
    std::string why;
    if (!plan_binary_layout(total, output.binary, &layout, &why, columns, groups)) {
      report_error("erreur: %s cannot hold %lld particles: %s", binary_format_name(output.binary.format),
                   static_cast<long long>(total), why.c_str());
      return 1;
    }
    names = binary_file_names(layout, names[0]);
  }
  std::vector<output_file> outs(names.size());
  std::vector<std::string> paths(names.size());
  size_t shared = 0;
  while (shared < names.size() && share_output_path(run, names[shared], &outs[shared], &paths[shared])) ++shared;
  if (shared < names.size()) {
    if (run.rank == 0) {
      for (size_t k = 0; k < shared; ++k) discard_output_file(&outs[k]);
    }
    return 1;
  }
  progress_meter meter;
  start_progress(&meter, "galaxy-ic-mpi", settings.progress && run.rank == 0);
  if (output.kind == output_binary) {
    return write_binary_pieces(run, mine, frame, layout, provenance, columns, pieces, &outs, paths, &meter);
  }
  return write_hdf5_pieces(run, mine, total, frame, provenance, groups, columns, pieces,
                           &outs, paths, &meter);
}

}  // namespace

int mpi_encounter_main(const mpi_run &run, const run_settings &settings) {
  generation_plan plan;
  output_choice output;
  encounter_description e;
  if (!judge_mpi_options(settings, &plan, &output) || !judge_encounter(settings, &e, &plan, &output)) return 1;
  if (settings.format_text == nullptr) output.kind = output_hdf5;
  std::vector<member_run> runs;
  int64_t total = 0;
  const int64_t most = static_cast<int64_t>(run.size) * (nb_element_limit / 2);
  if (!judge_members(e, plan, &runs, &total, run.rank == 0, most)) return 1;
  const galaxy_parameters pair = pair_parameters(e, runs);
  const std::vector<placed_group> order = file_order(runs);
  const particle_groups groups = placed_groups(order, e);
  // Each galaxy's share, made on this rank; then this rank's rows of both,
  // moved onto the orbit, the first galaxy's share before the second's.
  uint64_t first[2], count[2], base[2] = {0, 0};
  owned_record own[2];
  for (size_t k = 0; k < 2; ++k) {
    rank_share(static_cast<uint64_t>(runs[k].total), run, &first[k], &count[k]);
    if (!make_member_share(run, &runs[k], e.members[k].name, first[k], count[k], &own[k])) return 1;
  }
  base[1] = count[0];
  if (run.rank == 0) {
    const double half[2] = {half_mass_radius(runs[0]), half_mass_radius(runs[1])};
    warn_of_overlap(e, half);
  }
  double reach = 0.0;  // the record's cut-off, as galaxy-ic's record has it
  for (const member_run &r : runs) {
    reach = std::max(reach, std::hypot(r.motion.position[0], r.motion.position[1], r.motion.position[2]) + r.radius_max);
  }
  owned_record mine(alloc_unplaced_gal_system(static_cast<int32_t>(count[0] + count[1]), pair.typical_length, reach,
                                              pair.total_mass, default_duration / default_nb_step, default_duration));
  if (!run.all(mine != nullptr)) {
    report_error("erreur: cannot allocate memory for %lld particles", static_cast<long long>(total));
    return 1;
  }
  mine->mass_element = pair.total_mass / static_cast<double>(total);
  std::vector<uint64_t> ids(count[0] + count[1]);
  for (size_t k = 0; k < 2; ++k) {
    for (uint64_t i = 0; i < count[k]; ++i) {
      move_into_file(runs[k], *own[k], i, mine.get(), base[k] + i);
      ids[base[k] + i] = runs[k].first_id + first[k] + i + 1;
    }
    own[k].reset();
  }
  written_columns columns;
  columns.ids = ids.data();
  columns.largest_id = static_cast<uint64_t>(total);
  const std::vector<row_piece> pieces = pieces_of(order, groups, first, count, base);
  const output_frame frame = frame_of(pair, nullptr, nullptr);
  generation_plan written = plan;
  written.already_placed = true;
  written.components.clear();
  run_provenance provenance = provenance_of(settings, written, pair, output, static_cast<uint64_t>(total));
  provenance.program = "galaxy-ic-mpi";
  provenance.galaxy_file_text = e.text;
  provenance.extra = encounter_fields(e, runs, frame);
  return write_encounter(run, settings, output, mine.get(), static_cast<uint64_t>(total), frame, provenance, groups,
                         columns, pieces);
}
