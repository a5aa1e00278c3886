#include "mpi_driver.h"

int main(int argc, char **argv) { return galaxy_ic_mpi_main(argc, argv); }
