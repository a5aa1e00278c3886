#include <cstdio>

#include "check_cli.h"

bool check_options_available() { return false; }

// Built when CLI11 is not installed: galaxy-check says what it needs.
int galaxy_check_main(int, char **) {
  std::fputs("galaxy-check: built without CLI11 (install libcli11-dev, then configure the build "
             "again)\n", stderr);
  return 2;
}
