#include <cstdio>

#include "check_cli.h"

bool check_options_available() { return false; }

check_outcome run_galaxy_check(int, char **, const memory_particles *, const std::atomic<bool> *,
                               const check_parallel *) {
  check_outcome outcome;
  outcome.reason = "built without CLI11 (install libcli11-dev, then configure the build again)";
  outcome.message = "galaxy-check: " + outcome.reason + "\n";
  return outcome;
}

std::string check_report_lines(const check_outcome &outcome) { return "galaxy-check " + outcome.path + "\n"; }

const char *check_verdict_name(check_verdict verdict) {
  return verdict == verdict_pass ? "PASS" : verdict == verdict_fail ? "FAIL" : "INFO";
}

// Built when CLI11 is not installed: galaxy-check says what it needs.
int galaxy_check_main(int, char **) {
  std::fputs("galaxy-check: built without CLI11 (install libcli11-dev, then configure the build "
             "again)\n", stderr);
  return 2;
}
