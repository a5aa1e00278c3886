// galaxy-check-mpi: one file checked by every rank of an MPI run, each its
// share of the particles, the accumulators merged and reported by rank 0.
#ifndef CHECK_MPI_H
#define CHECK_MPI_H

// The whole program, on every rank: returns the process exit status, the
// same on all ranks.
int galaxy_check_mpi_main(int argc, char **argv);

#endif
