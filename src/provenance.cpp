#include "provenance.h"

std::string command_line_of(int argc, char **argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i > 0 ? " " : "") + std::string(argv[i]);
  return line;
}

std::string provenance_line(const run_provenance &p) {
  std::string line = p.program + " " + p.version + " seed " + (p.seeded ? std::to_string(p.seed) : "none");
  line += p.law == law_equilibrium ? " equilibrium " : " defined ";
  // The program's own name is in front already.
  const size_t space = p.command_line.find(' ');
  if (space != std::string::npos) line += p.command_line.substr(space + 1);
  return line;
}
