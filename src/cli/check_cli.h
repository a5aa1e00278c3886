// galaxy-check's command line: options, reading the file, the report.
#ifndef CHECK_CLI_H
#define CHECK_CLI_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "checks.h"
#include "galaxy_parameters.h"
#include "galaxy_types.h"
#include "units.h"

// Particles held in memory, checked in place of the file argv names (the
// name is then only the report's label), as an HDF5 file of them would be.
struct memory_particles {
  const gal_system *sys = nullptr;  // values in units
  unit_scale units;
  galaxy_parameters model;  // made from: SI, centre and motion too
  bool equilibrium = false;
  const uint64_t *ids = nullptr;  // null: 1 … N, as its files number them
  // A galaxy of components: the text of the galaxy file it was made from
  // (empty: model says it all), and its name for messages.
  std::string galaxy_text, galaxy_name;
  // An encounter's galaxies' own galaxy files (empty: inline in its text).
  std::vector<std::string> member_texts;
};

// What a galaxy-check run found.
struct check_outcome {
  int status = 2;        // the exit status
  bool checked = false;  // result holds the report of path
  std::string path;
  check_result result;
  std::string help;      // -h: the usage text for standard output
  std::string reason;    // status 2: why, in one line
  std::string message;   // status 2: galaxy-check's text for standard error
  bool out_of_memory = false;  // status 2 because the checks need more memory than there is
};

// A check shared by several processes (galaxy-check-mpi's ranks): each
// reads its share of the file, and gather brings every rank's bytes, in
// rank order, to every rank (everyone) or to rank 0 only (the others get
// nothing back). Every rank calls it at the same points.
struct check_parallel {
  int rank = 0, ranks = 1;
  std::function<std::vector<std::vector<unsigned char>>(const std::vector<unsigned char> &mine, bool everyone)> gather;
  // A count every rank draws blocks from during a pass (begin_claims and
  // end_claims around it on every rank; claim the next, from 0), so that
  // a rank slowed by its neighbours reads less. Without it, equal shares.
  std::function<void()> begin_claims, end_claims;
  std::function<uint64_t()> claim;
  // Every rank's bytes for each rank (its own empty), on every rank.
  std::function<std::vector<std::vector<unsigned char>>(const std::vector<std::vector<unsigned char>> &to_each)>
      exchange;
};

// galaxy-check on argv, reporting nothing itself; memory (may be null)
// stands in for the file. cancel (may be null), set by another thread,
// stops the reading between chunks: the outcome is then unchecked. With
// parallel, this process checks its share, and rank 0's outcome is the
// whole file's (the others' hold only their status).
check_outcome run_galaxy_check(int argc, char **argv, const memory_particles *memory,
                               const std::atomic<bool> *cancel = nullptr, const check_parallel *parallel = nullptr);

// The report's heading and lines as galaxy-check prints them, without the
// verdict.
std::string check_report_lines(const check_outcome &outcome);

// PASS, FAIL or INFO.
const char *check_verdict_name(check_verdict verdict);

// What galaxy-check prints of an outcome (the report, or the message on
// standard error), and its exit status.
int print_check_outcome(const check_outcome &outcome);

// The whole program: returns 0 when every check passes, 1 when one fails,
// 2 for unreadable input, a usage error, or a report or picture that cannot
// be written.
int galaxy_check_main(int argc, char **argv);

// Whether this build reads galaxy-check's options (CLI11).
bool check_options_available();

#endif
