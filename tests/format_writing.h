// Writing a record straight through the writers' interfaces, as the
// generation does: blocks of rows in any order, from records that hold one
// rank's share. For the tests of the formats and the files the Python
// readers are given.
#ifndef FORMAT_WRITING_H
#define FORMAT_WRITING_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "binary_output.h"
#include "galaxy_types.h"
#include "particle_groups.h"
#include "particle_hdf5.h"
#include "particle_text.h"
#include "units.h"
#include "written_columns.h"

namespace format_writing {

// A record of n particles of total mass 1.9891e39 kg whose values follow a
// formula of their index alone (so that a record of a share of them holds
// the same values as the whole).
inline void fill_particle(gal_system *sys, int32_t j, uint64_t global) {
  const double i = static_cast<double>(global);
  const double k = static_cast<double>((global * 7919) % 1000);
  double *p = sys->pos + 3 * j, *v = sys->vel + 3 * j;
  p[0] = (k - 499.5) * 1.5e16;
  p[1] = std::sin(0.37 * i) * 4e18;
  p[2] = (i - 600.0) * 3.1e15;
  v[0] = std::cos(1.3 * i) * 1e5;
  v[1] = (k - 500.0) * 123.25;
  v[2] = -0.5 * i;
  sys->mass[j] = sys->mass_element;
}

inline gal_system *formula_record(int32_t n, uint64_t first = 0, int32_t share = -1) {
  const int32_t rows = share < 0 ? n : share;
  gal_system *sys = alloc_unplaced_gal_system(rows, 1e18, 8e18, 1.9891e39, 1.0, 1000.0);
  // A share holds the whole galaxy's particle mass.
  sys->mass_element = sys->total_mass / n;
  for (int32_t j = 0; j < rows; ++j) fill_particle(sys, j, first + static_cast<uint64_t>(j));
  return sys;
}

// The row blocks a writer is handed: of block rows, last first.
inline std::vector<std::pair<int32_t, int32_t>> reversed_blocks(int32_t n, int32_t block) {
  std::vector<std::pair<int32_t, int32_t>> blocks;
  for (int32_t first = 0; first < n; first += block) blocks.push_back({first, std::min(n, first + block)});
  return {blocks.rbegin(), blocks.rend()};
}

// The whole of sys as path in format, the rows of records[k] at global
// offsets[k] (one record and offset 0 for a single process).
struct binary_job {
  binary_options options;
  written_columns columns;
  output_frame frame;
  particle_groups groups;
  std::string provenance = "galaxy-ic test";
};

inline bool write_binary(const std::string &path, const std::vector<const gal_system *> &records,
                         const std::vector<uint64_t> &offsets, uint64_t total, const binary_job &job,
                         std::string *why) {
  binary_layout layout;
  if (!plan_binary_layout(total, job.options, &layout, why, job.columns, job.groups)) return false;
  std::vector<std::FILE *> files;
  std::vector<positioned_output> outputs;
  for (const std::string &name : binary_file_names(layout, path)) {
    files.push_back(std::fopen(name.c_str(), "wb"));
    outputs.push_back(file_output(files.back()));
  }
  binary_writer *w = open_binary_writer(layout, records[0], job.frame, outputs, true, job.provenance, job.columns);
  bool ok = w != nullptr;
  for (size_t r = 0; ok && r < records.size(); ++r) {
    for (const auto &[first, last] : reversed_blocks(records[r]->nb_element, 97)) {
      ok = ok && write_binary_rows(w, records[r], first, last, offsets[r]);
    }
  }
  close_binary_writer(w);
  for (std::FILE *f : files) ok = std::fclose(f) == 0 && ok;
  if (!ok && why->empty()) *why = "a write failed";
  return ok;
}

struct hdf5_job {
  written_columns columns;
  output_frame frame;
  particle_groups groups;
  const run_provenance *provenance = nullptr;
};

inline bool write_hdf5(const std::string &path, const std::vector<const gal_system *> &records,
                       const std::vector<uint64_t> &offsets, uint64_t total, const hdf5_job &job,
                       std::string *why) {
  hdf5_writer *w = open_hdf5_writer(path, records[0], total, job.frame, job.provenance, job.columns, job.groups, why);
  if (w == nullptr) return false;
  bool ok = true;
  for (size_t r = 0; ok && r < records.size(); ++r) {
    for (const auto &[first, last] : reversed_blocks(records[r]->nb_element, 97)) {
      ok = ok && write_hdf5_rows(w, records[r], first, last, offsets[r]);
    }
  }
  return close_hdf5_writer(w, ok) == hdf5_written;
}

inline std::string text_of(const gal_system *sys, const output_frame &frame, const written_columns &columns) {
  text_buffer out;
  format_particle_sections(sys, 0, sys->nb_element, frame, &out, columns);
  return std::string(out.bytes.get(), out.length);
}

}  // namespace format_writing

#endif
