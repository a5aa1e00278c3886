#include "check_mpi.h"

int main(int argc, char **argv) { return galaxy_check_mpi_main(argc, argv); }
