#include "galaxy_file.h"

// Built without toml++: galaxy files say what to install.

bool galaxy_files_available() { return false; }

bool parse_galaxy_text(const std::string &, const std::string &, galaxy_description *, std::string *why) {
  *why = "galaxy files need toml++: install libtomlplusplus-dev, then configure again";
  return false;
}

bool read_galaxy_file(const std::string &path, galaxy_description *galaxy, std::string *why) {
  return parse_galaxy_text(std::string(), path, galaxy, why);
}

bool names_an_encounter(const std::string &) { return false; }

bool parse_encounter_text(const std::string &, const std::string &, encounter_description *, std::string *why,
                          const std::vector<std::string> *) {
  *why = "galaxy files need toml++: install libtomlplusplus-dev, then configure again";
  return false;
}

bool read_encounter_file(const std::string &path, encounter_description *encounter, std::string *why) {
  return parse_encounter_text(std::string(), path, encounter, why);
}

bool read_galaxy_text(const std::string &, std::string *, std::string *why) {
  *why = "galaxy files need toml++: install libtomlplusplus-dev, then configure again";
  return false;
}
