// The particle file written with one fprintf per line: the yardstick the
// shipped writer is measured and checked against.
#ifndef BASELINE_WRITER_H
#define BASELINE_WRITER_H

#include <cstdio>

#include "galaxy_types.h"

// Same bytes as write_particle_file. Returns false when a write fails.
bool write_particle_file_baseline(std::FILE *file, const gal_system *sys);

#endif
