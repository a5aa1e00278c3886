#include "check_cli.h"

int main(int argc, char **argv) { return galaxy_check_main(argc, argv); }
