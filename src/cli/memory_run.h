// A galaxy made in memory for a program that embeds the generator: the run
// a galaxy-ic command line asks for, its arrays holding exactly the values
// that run's file holds, and that file written from them on request.
#ifndef MEMORY_RUN_H
#define MEMORY_RUN_H

#include <atomic>
#include <string>
#include <vector>

#include "galaxy_types.h"
#include "provenance.h"
#include "run_output.h"
#include "units.h"

// One galaxy of an encounter made in memory: its name, its own galaxy
// file's text (empty: inline in the encounter's) and its groups.
struct memory_member {
  std::string name, text;
  std::vector<size_t> groups;  // indices into memory_galaxy::groups
};

struct memory_galaxy {
  gal_system *sys = nullptr;  // owned; arrays in frame's units, shifted
  output_frame frame;         // values_converted
  run_provenance provenance;  // the format is the written file's
  particle_groups groups;     // a galaxy's components (empty: one of type 1)
  std::string galaxy_name;    // the galaxy file's (its text is provenance's)
  std::vector<uint64_t> ids;  // an encounter's, in galaxy order (empty: 1 ... N)
  std::vector<memory_member> members;  // an encounter's two galaxies
  ~memory_galaxy() { free_gal_system(sys); }
  memory_galaxy() = default;
  memory_galaxy(const memory_galaxy &) = delete;
  memory_galaxy &operator=(const memory_galaxy &) = delete;
};

enum memory_status { memory_made, memory_refused, memory_no_memory, memory_cancelled };

// Makes the galaxy of galaxy-ic's argv (its output options are judged, not
// used). Refusals go to report_error; cancel (may be null) stops the run
// between blocks, and nothing is kept.
// galaxy_text, when given, is the galaxy file argv's --galaxy names.
memory_status make_memory_galaxy(int argc, char **argv, const std::atomic<bool> *cancel, memory_galaxy *galaxy,
                                 const std::string *galaxy_text = nullptr);

// Writes galaxy to the file argv's -o, --format and binary options ask for,
// replaced safely as galaxy-ic replaces it, with the masses and IDs extras
// name; argv is the whole command line the file records. Returns galaxy-ic's
// exit status; a cancelled write (extras.policy.cancel) leaves the old file
// and returns 1.
int write_memory_galaxy(const memory_galaxy &galaxy, int argc, char **argv, const write_extras &extras);

#endif
