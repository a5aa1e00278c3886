#include "driver.h"

int main(int argc, char **argv) { return galaxy_ic_main(argc, argv); }
