// galaxy-ic-mpi: one seeded galaxy made by every rank of an MPI run, each
// its share of the particles, written together into one HDF5 file.
#ifndef MPI_DRIVER_H
#define MPI_DRIVER_H

// The whole program, on every rank: returns the process exit status, the
// same on all ranks.
int galaxy_ic_mpi_main(int argc, char **argv);

#endif
