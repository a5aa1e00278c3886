// galaxy-check's command line: options, reading the file, the report.
#ifndef CHECK_CLI_H
#define CHECK_CLI_H

// The whole program: returns 0 when every check passes, 1 when one fails,
// 2 for unreadable input, a usage error, or a report or picture that cannot
// be written.
int galaxy_check_main(int argc, char **argv);

// Whether this build reads galaxy-check's options (CLI11).
bool check_options_available();

#endif
