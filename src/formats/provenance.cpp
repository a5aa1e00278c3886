#include "provenance.h"

std::string command_line_of(int argc, char **argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i > 0 ? " " : "") + std::string(argv[i]);
  return line;
}

const char *law_name(particle_law law) {
  switch (law) {
    case law_defined: return "defined";
    case law_equilibrium: return "equilibrium";
    case law_profile: return "profile";
  }
  return "";
}

std::string provenance_line(const run_provenance &p) {
  std::string line = p.program + " " + p.version + " seed " + (p.seeded ? std::to_string(p.seed) : "none");
  line += std::string(" ") + law_name(p.law) + " ";
  // The program's own name is in front already.
  const size_t space = p.command_line.find(' ');
  if (space != std::string::npos) line += p.command_line.substr(space + 1);
  return line;
}
