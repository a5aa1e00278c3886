// The generator's entry point: options, run sequence, particle file.
#ifndef DRIVER_H
#define DRIVER_H

#include <cstdint>
#include <cstdio>

#include "galaxy_types.h"

// Writes the usage text to standard output, without a line feed.
void print_usage();

// Whether a converted -p value can become the record's count.
enum count_verdict {
  count_ok,
  count_not_a_number,
  count_out_of_range,          // infinite, beyond int32_t, or 3 * count beyond it
  count_exceeds_memory,        // the arrays would not fit in physical memory
};

// Judges a -p value before any conversion to an integer. physical_memory is
// the machine's memory in bytes.
count_verdict check_particle_count(double value, double physical_memory);

// The machine's physical memory in bytes.
double physical_memory_bytes();

// Writes one nine-line section per particle to file. Returns false as soon
// as a write fails.
bool write_particle_file(std::FILE *file, const gal_system *sys);

// The whole program: returns the process exit status (0 or 1).
int galaxy_ic_main(int argc, char **argv);

#endif
