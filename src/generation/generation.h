// Creating a galaxy's particles and writing their text, on one thread or
// several, always with the bytes of the one-thread run.
#ifndef GENERATION_H
#define GENERATION_H

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "galaxy_types.h"
#include "units.h"
#include "written_columns.h"

#include <vector>

struct disc_sampler;
struct spheroid_flattening;

// A galaxy's component as the generation makes it: a range of global
// indices drawn from its own sampler, each particle of its mass; no
// sampler: the black hole, one particle at rest at the centre.
struct component_run {
  uint64_t first = 0, count = 0;
  const profile_sampler *sampler = nullptr;
  double mass = 0.0;  // SI
  const disc_sampler *disc = nullptr;  // set: a disc, drawn by it instead
  // Set: a spheroid beside a disc, its velocities stretched to the true potential.
  const spheroid_flattening *flattening = nullptr;
};

struct generation_plan {
  bool seeded = false;  // false: the unseeded rand() sequence, in order
  uint64_t seed = 0;    // key of the counter-based stream when seeded
  int threads = 1;      // every thread of the run, the writer's included
  particle_law law = law_defined;
  uint64_t first_index = 0;  // global index of the record's particle 0
  bool already_placed = false;  // the record's particles exist: only write them
  const profile_sampler *sampler = nullptr;  // law_profile's model, when components is empty
  // law_profile's components, in global index order, covering every
  // particle (a lone profile is one of them).
  std::vector<component_run> components;
};

struct binary_writer;
struct hdf5_writer;
struct progress_meter;

// Where the particles go while they are made, in index order, a block at a
// time: the particle file's text, or an HDF5 file's datasets (from the
// record), or a binary file's rows, or nowhere.
struct particle_sink {
  std::FILE *text = nullptr;
  output_frame frame;  // the text's units and shift (an HDF5 writer holds its own)
  written_columns columns;  // the text's masses (the other writers hold their own)
  hdf5_writer *hdf5 = nullptr;
  binary_writer *binary = nullptr;  // GADGET or tipsy rows at their offsets
  // Told of every block written, as a share of progress_total particles
  // (the whole galaxy when the record holds one rank's part of it).
  progress_meter *progress = nullptr;
  uint64_t progress_total = 0;
  // Set by another thread to stop the run at the next block; the run then
  // fails as a failed write does.
  const std::atomic<bool> *cancel = nullptr;
  // Where the errno of a failed write goes (it fails on a worker thread).
  int *write_error = nullptr;
};

// Places every particle of sys (from alloc_unplaced_gal_system), unless
// plan.already_placed, and hands
// each finished block to sink, text formatted through a bounded set of
// block buffers. Particle j of the record is particle first_index + j of the
// galaxy: its seeded draws and its HDF5 row. Returns false when a write failed; the record is then
// incomplete.
bool generate_particle_file(gal_system *sys, const generation_plan &plan,
                            const particle_sink &sink);

// Whether a draw of plan's sampler found nothing within its cap (the run
// then failed for that reason, and says so with report_exhausted_draws).
bool draws_exhausted(const generation_plan &plan);
void report_exhausted_draws();

#endif
