// The HDF5 layout written by every rank of an MPI run into one file.
#ifndef PARTICLE_HDF5_MPI_H
#define PARTICLE_HDF5_MPI_H

#include <mpi.h>

#include <string>

#include "particle_hdf5.h"

// open_hdf5_writer through MPI-IO: every rank of communicator calls it
// together with the same path, record scalars and total; each then writes
// its own rows with write_hdf5_rows, and all close together. groups, why
// and columns as for open_hdf5_writer (the same groups on every rank; the
// IDs columns give are this rank's record's).
hdf5_writer *open_parallel_hdf5_writer(const std::string &path, const gal_system *sys,
                                       uint64_t total, const output_frame &frame,
                                       const run_provenance *provenance, MPI_Comm communicator,
                                       const particle_groups &groups = particle_groups(),
                                       std::string *why = nullptr,
                                       const written_columns &columns = written_columns());

#endif
