// Binary particle files written at computed offsets: the GADGET formats 1
// and 2 and tipsy. Each knows where every row of each block lies, so rows
// can be written in any order, by any thread or rank.
#ifndef BINARY_OUTPUT_H
#define BINARY_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "galaxy_types.h"
#include "particle_groups.h"
#include "units.h"
#include "written_columns.h"

enum binary_format { format_gadget1, format_gadget2, format_tipsy };

struct binary_options {
  binary_format format = format_gadget2;
  bool double_precision = false;  // GADGET: float64 positions and velocities
  bool long_ids = false;          // GADGET: 64-bit IDs even below 2^32 particles
  double softening = 0.0;         // tipsy: every particle's eps, in the file's units
  // GADGET: the largest block a record length may frame; beyond it the
  // particles are split over files FILE.0, FILE.1, ...
  uint64_t max_record_bytes = INT32_MAX;
};

// Particles [first_row, first_row + rows) of the galaxy in one file.
struct binary_file_part {
  uint64_t first_row = 0, rows = 0;
  uint64_t type_rows[6] = {0, 0, 0, 0, 0, 0};  // GADGET: its npart
  bool mass_block = false;  // GADGET: a MASS block follows its IDs
  uint64_t mass_rows = 0;   // the masses it holds
};

// How a galaxy of total particles is laid out.
struct binary_layout {
  binary_options options;
  uint64_t total = 0;
  int value_bytes = 4;  // of each position, velocity (and tipsy mass)
  int id_bytes = 4;     // GADGET IDs
  bool mass_block = false;  // GADGET: some file has a MASS block
  std::vector<binary_file_part> files;  // one, or the GADGET split
  // The particles' groups and types; without groups given, one group of
  // type 1 whose mass the record's mass_element gives.
  bool groups_given = false;
  particle_groups groups;
  type_shares types;
  // GADGET: the types whose masses differ (or were edited): their mass
  // table entry is 0 and their particles' masses are in MASS blocks.
  bool in_mass_block[6] = {false, false, false, false, false, false};
  uint64_t dark = 0;  // tipsy: the dark particles, before the stars
};

// Plans the files for total particles with columns' masses and IDs, as
// groups (none: one group of type 1); false with the reason in why when
// the format cannot hold them, or the groups are not in the order files
// hold them (groups_are_ordered).
bool plan_binary_layout(uint64_t total, const binary_options &options, binary_layout *layout,
                        std::string *why, const written_columns &columns = written_columns(),
                        const particle_groups &groups = particle_groups());

// The names of the files: name itself, or name.0, name.1, ... when split.
std::vector<std::string> binary_file_names(const binary_layout &layout, const std::string &name);

// Where a writer puts bytes: offset from the start of one file.
struct positioned_output {
  void *context = nullptr;
  bool (*write_at)(void *context, uint64_t offset, const void *bytes, size_t length) = nullptr;
};

// A binary file set being written; holds the frame and a block's bytes.
struct binary_writer;

// Starts writing layout's files to outputs (one per file). with_headers:
// this writer also writes every header and block frame (one rank of an MPI
// run does). provenance: free text for the GADGET header's unused bytes.
// columns: the masses and IDs, as plan_binary_layout was given them.
// Null only when an output fails.
binary_writer *open_binary_writer(const binary_layout &layout, const gal_system *sys,
                                  const output_frame &frame, const std::vector<positioned_output> &outputs,
                                  bool with_headers, const std::string &provenance,
                                  const written_columns &columns = written_columns());

// Writes particles [first, last) of sys as global rows offset + first, ...
// False when a write fails or a value lies beyond float32's range.
bool write_binary_rows(binary_writer *writer, const gal_system *sys, int32_t first, int32_t last,
                       uint64_t offset);

// Whether a write failed only because a value did not fit float32.
bool binary_value_overflowed(const binary_writer *writer);

// Releases the writer (the outputs are the caller's). Accepts null.
void close_binary_writer(binary_writer *writer);

// The positioned output of a file open for writing (pwrite on its
// descriptor).
positioned_output file_output(std::FILE *file);

// Parses "gadget1", "gadget2", "tipsy"; false for anything else.
bool parse_binary_format(const char *text, binary_format *format);

const char *binary_format_name(binary_format format);

#endif
