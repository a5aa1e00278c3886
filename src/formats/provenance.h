// How a particle file was made, for the files that have room to say so:
// HDF5's Parameters and Code groups, the GADGET header's unused bytes.
#ifndef PROVENANCE_H
#define PROVENANCE_H

#include <cstdint>
#include <string>
#include <vector>

#include "galaxy_parameters.h"
#include "galaxy_types.h"

// One generation parameter of a file's Parameters group.
struct provenance_field {
  enum kind_t { text, number, real, triple, flag } kind = text;
  std::string name;
  std::string words;                // text
  uint64_t count = 0;               // number
  double values[3] = {0, 0, 0};     // real (values[0]) and triple
  bool set = false;                 // flag
};

struct run_provenance {
  std::string program = "galaxy-ic";
  std::string version = GALAXY_VERSION;
  std::string command_line;  // every argument, separated by spaces
  uint64_t count = 0;
  bool seeded = false;
  uint64_t seed = 0;
  particle_law law = law_defined;
  galaxy_parameters galaxy;  // SI model; centre and motion in its units
  std::string format;        // "hdf5", "gadget2, float32, 32-bit IDs", ...
  // The galaxy file the run was given, as its text (HDF5 stores it so that
  // the file says what it is); empty: none.
  std::string galaxy_file_text;
  // Fields of the run's own after the common ones (an encounter's galaxies).
  std::vector<provenance_field> extra;
};

// The Parameters of a run, in their stored order: count, seed, law,
// profile, anisotropy, the model (SI), units, centre and motion (in those
// units), zero-com, format.
std::vector<provenance_field> parameter_fields(const run_provenance &provenance);

// One field of each kind.
provenance_field text_field(const std::string &name, const std::string &words);
provenance_field real_field(const std::string &name, double value);
provenance_field triple_field(const std::string &name, const double values[3]);

// The arguments of argv after the program's name, separated by spaces.
std::string command_line_of(int argc, char **argv);

// "defined", "equilibrium" or "profile".
const char *law_name(particle_law law);

// One line: program, version, seed, law, then the command line.
std::string provenance_line(const run_provenance &provenance);

#endif
