// A particle file of any layout (or particles in memory), read a block at
// a time from any particle on, for galaxy-check.
#ifndef PARTICLE_SOURCE_H
#define PARTICLE_SOURCE_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "binary_reader.h"
#include "check_cli.h"
#include "particle_hdf5.h"
#include "particle_reader.h"
#include "units.h"

// One galaxy of an encounter's file seen as the file of that galaxy alone:
// its rows (ranges of the file, ascending), moved back into its own frame
// (x = R^T (x_file - X), v likewise, in the file's units) and its IDs less
// the IDs before its own.
struct source_view {
  std::vector<std::pair<uint64_t, uint64_t>> rows;  // [begin, end) of the file's
  double turn[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // its own axes into the file's
  double position[3] = {0, 0, 0}, velocity[3] = {0, 0, 0};
  uint64_t id_offset = 0;
};

// The particles a view holds.
uint64_t view_particles(const source_view &view);

struct particle_source {
  std::FILE *text_file = nullptr;
  double file_bytes = 0.0;  // of a text file, to estimate its count while reading
  bool regular = true;      // a file that can be opened and read again
  text_particle_reader *text = nullptr;
  hdf5_particle_reader *hdf5 = nullptr;
  binary_particle_reader *binary = nullptr;
  const memory_particles *memory = nullptr;  // instead of a file
  uint64_t memory_next = 0;
  const char *format = "";  // of a binary file
  const source_view *view = nullptr;  // when set, what is read is the view's
  uint64_t view_next = 0, file_next = 0;
  particle_source() = default;
  particle_source(const particle_source &) = delete;
  particle_source &operator=(const particle_source &) = delete;
  ~particle_source();
};

// Opens path, told apart by content: a regular file that starts with the
// HDF5 signature is read as HDF5, one that starts as a GADGET or tipsy file
// does as that. An unopenable file gets error.line -1 and the system's reason.
// With cancel, a FIFO's waits for its writer and data end when it is set.
bool open_particles(const char *path, particle_source *source, read_error *error, const std::atomic<bool> *cancel);

// The next particles, up to want of them, into chunk (replaced): as many as
// want unless the file ends first.
read_status read_block(particle_source *source, particle_data *chunk, size_t want, read_error *error);

// Makes particle index the next one read; false when the source cannot
// (a text file, but for its start) or holds fewer.
bool seek_particles(particle_source *source, uint64_t index);

// The particles the source holds: known for all but text, 0 then.
uint64_t known_particles(const particle_source &source);

// The particles the source holds, estimated from the bytes read so far for
// text.
uint64_t expected_particles(const particle_source &source, uint64_t read);

// A chunk's values in SI, from the file's units.
void convert_to_si(particle_data *chunk, const unit_scale &units);

#endif
