// The particle file's text: one nine-line section per particle, numbers as
// "%lf" writes them.
#ifndef PARTICLE_TEXT_H
#define PARTICLE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "galaxy_types.h"
#include "units.h"
#include "written_columns.h"

// A growable byte buffer that the formatter appends to.
struct text_buffer {
  std::unique_ptr<char[]> bytes;
  size_t capacity = 0;
  size_t length = 0;
};

// Appends the sections of particles [first, last) of sys to out, growing it
// as needed. Values in frame: SI ones as "%lf" writes them, any other
// system's in the shortest text that reads back to the same double (six
// decimals would turn a mass of 1/N into 0.000001 or 0.000000). Masses as
// columns say; the text has no IDs.
void format_particle_sections(const gal_system *sys, int32_t first, int32_t last,
                              const output_frame &frame, text_buffer *out,
                              const written_columns &columns = written_columns());

// Writes every section to file through a bounded buffer. Returns false as
// soon as a write fails.
bool write_particle_file(std::FILE *file, const gal_system *sys, const output_frame &frame);

// The same in SI, as the record holds the values.
bool write_particle_file(std::FILE *file, const gal_system *sys);

#endif
