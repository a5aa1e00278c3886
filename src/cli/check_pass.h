// One pass of galaxy-check over a file: this thread reads it a block at a
// time while worker threads fill the checks' accumulators, each through a
// lane of its own.
#ifndef CHECK_PASS_H
#define CHECK_PASS_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "particle_source.h"
#include "progress.h"

// At most this many threads fill the accumulators (each holds a lane).
constexpr int check_threads_most = 8;

// The accumulators a pass fills: note sees every chunk as it is read, in
// file order, before any thread adds it; open gives a thread its lane,
// add adds a chunk (of particles first …) through it, close merges it.
struct pass_checks {
  std::function<void(const particle_data &, uint64_t)> note;
  std::function<void *()> open;
  std::function<void(void *, const particle_data &, uint64_t)> add;
  std::function<void(void *)> close;
};

// The particles a process reads: [first, end) of the file, and the
// indices of those whose masses the checks need before any other (given
// to note on their own when the share starts after them). With claim, the
// blocks of check_block particles of [first, end) that claim gives, one at
// a time until it gives none: processes that share a counter then share
// the file as their speeds allow, and every first is given to note first.
struct pass_share {
  uint64_t first = 0, end = UINT64_MAX;
  std::vector<uint64_t> firsts;
  std::function<bool(uint64_t *block)> claim;
};

// Reads the share of source (in the source's units, converted to SI) and
// fills checks on threads workers; read counts the particles read. False
// on a read error (in error) or when cancel is set; an exception of a
// worker is thrown here.
bool run_check_pass(particle_source *source, const pass_checks &checks, const unit_scale &units,
                    const pass_share &share, int threads, read_error *error, progress_meter *meter,
                    const std::atomic<bool> *cancel, uint64_t *read = nullptr);

#endif
