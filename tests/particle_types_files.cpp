// Writes galaxies of several particle groups in every format into a
// directory, through the writers' interfaces (as two ranks' shares, in
// reversed blocks that straddle the groups), with each galaxy's groups
// and values beside them: what particle_types_test.py reads with readers
// of its own. Built with MPI (GALAXY_TYPES_MPI), every rank writes its
// share of each galaxy's HDF5 file through the parallel writer.
//
// usage: particle_types_files DIR
#include <cstdio>
#include <string>
#include <vector>

#include "format_writing.h"
#ifdef GALAXY_TYPES_MPI
#include "particle_hdf5_mpi.h"
#endif

namespace {

struct galaxy_set {
  const char *name;
  std::vector<particle_group> groups;
};

// The text the set's HDF5 file stores as its galaxy file: one longer
// than an attribute of the earliest format holds.
std::string galaxy_text(const galaxy_set &set) {
  std::string text = std::string("# ") + set.name + "\n";
  if (std::string(set.name) == "mixed") {
    for (int k = 0; k < 1300; ++k) text += "# " + std::string(77, 'x') + "\n";
  }
  return text + "seed = 1\n[[component]]\nname = \"halo\"\n";
}

gal_system *record_of(const std::vector<particle_group> &groups, uint64_t first, uint64_t rows, uint64_t total) {
  gal_system *sys = format_writing::formula_record(static_cast<int32_t>(total), first, static_cast<int32_t>(rows));
  for (const particle_group &g : groups) {
    for (uint64_t i = g.first; i < g.first + g.count; ++i) {
      if (i >= first && i < first + rows) sys->mass[i - first] = g.mass;
    }
  }
  return sys;
}

#ifndef GALAXY_TYPES_MPI
// name|type|dark|first|count|mass, a line a group; then the values of
// every particle as little-endian float64: positions, velocities, masses.
bool write_description(const std::string &dir, const galaxy_set &set, const gal_system *sys, uint64_t total) {
  std::FILE *text = std::fopen((dir + "/" + set.name + ".groups").c_str(), "w");
  std::FILE *values = std::fopen((dir + "/" + set.name + ".values").c_str(), "wb");
  bool ok = text != nullptr && values != nullptr;
  for (const particle_group &g : set.groups) {
    ok = ok && std::fprintf(text, "%s|%d|%d|%llu|%llu|%.17g\n", g.name.c_str(), g.type, g.dark ? 1 : 0,
                            static_cast<unsigned long long>(g.first), static_cast<unsigned long long>(g.count),
                            g.mass) > 0;
  }
  ok = ok && std::fwrite(sys->pos, sizeof(double), 3 * total, values) == 3 * total &&
       std::fwrite(sys->vel, sizeof(double), 3 * total, values) == 3 * total &&
       std::fwrite(sys->mass, sizeof(double), total, values) == total;
  if (text != nullptr) ok = std::fclose(text) == 0 && ok;
  if (values != nullptr) ok = std::fclose(values) == 0 && ok;
  return ok;
}

bool write_set(const std::string &dir, const galaxy_set &set) {
  uint64_t total = 0;
  for (const particle_group &g : set.groups) total += g.count;
  const uint64_t split = total / 2 + 13;
  gal_system *whole = record_of(set.groups, 0, total, total);
  gal_system *first = record_of(set.groups, 0, split, total);
  gal_system *second = record_of(set.groups, split, total - split, total);
  const std::vector<const gal_system *> ranks = {first, second};
  const std::vector<uint64_t> offsets = {0, split};
  const std::string base = dir + "/" + set.name;
  std::string why;
  bool ok = write_description(dir, set, whole, total);
  format_writing::binary_job job;
  job.groups.groups = set.groups;
  const struct {
    const char *suffix;
    binary_format format;
    bool wide;
    uint64_t record;
  } binaries[] = {{".gadget1", format_gadget1, false, INT32_MAX},
                  {".gadget2", format_gadget2, false, INT32_MAX},
                  {".double.gadget2", format_gadget2, true, INT32_MAX},
                  // Files of 301 particles: they end inside groups.
                  {".split.gadget2", format_gadget2, false, 12 * 301},
                  {".split.gadget1", format_gadget1, true, 24 * 301},
                  {".tipsy", format_tipsy, false, INT32_MAX}};
  for (const auto &b : binaries) {
    job.options = binary_options();
    job.options.format = b.format;
    job.options.double_precision = job.options.long_ids = b.wide;
    job.options.max_record_bytes = b.record;
    job.options.softening = 0.01;
    ok = ok && format_writing::write_binary(base + b.suffix, ranks, offsets, total, job, &why);
  }
  if (hdf5_available()) {
    run_provenance provenance;
    provenance.count = total;
    provenance.galaxy_file_text = galaxy_text(set);
    format_writing::hdf5_job h;
    h.groups.groups = set.groups;
    h.provenance = &provenance;
    ok = ok && format_writing::write_hdf5(base + ".hdf5", ranks, offsets, total, h, &why);
  }
  if (!ok) std::fprintf(stderr, "%s: %s\n", set.name, why.empty() ? "a write failed" : why.c_str());
  free_gal_system(whole);
  free_gal_system(first);
  free_gal_system(second);
  return ok;
}

#else
// This rank's even share of the set, into base.hdf5 with the others'.
bool write_set_mpi(const std::string &dir, const galaxy_set &set, int rank, int size) {
  uint64_t total = 0;
  for (const particle_group &g : set.groups) total += g.count;
  const uint64_t r = static_cast<uint64_t>(rank), n = static_cast<uint64_t>(size);
  const uint64_t first = r * (total / n) + std::min(r, total % n), rows = total / n + (r < total % n ? 1 : 0);
  gal_system *mine = record_of(set.groups, first, rows, total);
  run_provenance provenance;
  provenance.count = total;
  provenance.galaxy_file_text = galaxy_text(set);
  particle_groups groups;
  groups.groups = set.groups;
  std::string why;
  hdf5_writer *w = open_parallel_hdf5_writer(dir + "/" + set.name + ".hdf5", mine, total, output_frame(), &provenance,
                                             MPI_COMM_WORLD, groups, &why);
  bool ok = w != nullptr;
  for (const auto &[a, b] : format_writing::reversed_blocks(mine->nb_element, 97)) {
    ok = ok && write_hdf5_rows(w, mine, a, b, first);
  }
  if (w != nullptr) ok = close_hdf5_writer(w, ok) == hdf5_written && ok;
  free_gal_system(mine);
  if (!ok) std::fprintf(stderr, "%s, rank %d: %s\n", set.name, rank, why.empty() ? "a write failed" : why.c_str());
  return ok;
}
#endif

}  // namespace

int main(int argc, char **argv) {
#ifdef GALAXY_TYPES_MPI
  MPI_Init(&argc, &argv);
  int rank = 0, size = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
#endif
  if (argc != 2) {
    std::fprintf(stderr, "usage: particle_types_files DIR\n");
    return 2;
  }
  const std::vector<galaxy_set> sets = {
      // A halo, a bulge and a black hole.
      {"three", {{"halo", 1, true, 0, 1000, 1.0}, {"bulge", 3, false, 1000, 200, 0.1},
                 {"black hole", 5, false, 1200, 1, 0.01}}},
      // Two discs of type 4 with masses of their own.
      {"shared", {{"halo", 1, true, 0, 500, 2.0}, {"thin disc", 4, false, 500, 300, 0.5},
                  {"thick disc", 4, false, 800, 100, 0.25}}},
      // The types between with masses that differ, dark ones among them.
      {"mixed", {{"halo", 1, true, 0, 400, 3.0}, {"inner halo", 1, true, 400, 100, 1.5},
                 {"disc", 2, false, 500, 150, 0.5}, {"bulge", 3, false, 650, 150, 0.5},
                 {"stars", 4, false, 800, 99, 0.125}, {"black hole", 5, false, 899, 1, 7.0}}},
  };
  bool ok = true;
  for (const galaxy_set &set : sets) {
#ifdef GALAXY_TYPES_MPI
    ok = write_set_mpi(argv[1], set, rank, size) && ok;
#else
    ok = ok && write_set(argv[1], set);
#endif
  }
#ifdef GALAXY_TYPES_MPI
  MPI_Finalize();
#endif
  return ok ? 0 : 1;
}
