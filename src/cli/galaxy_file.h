// Galaxy files: a TOML description of a galaxy of several components
// (halo, bulge, stars) around an optional black hole, read into the plain
// record model/ defines. Every key is checked; an unknown key, a wrong
// type or a value out of range is refused with the file's line and the key.
#ifndef GALAXY_FILE_H
#define GALAXY_FILE_H

#include <string>
#include <vector>

#include "galaxy_description.h"

// Whether this build reads galaxy files (toml++ was found).
bool galaxy_files_available();

// Reads the galaxy file at path into galaxy, values in SI. False with the
// message in why ("FILE:LINE: key K: reason", or what to install).
bool read_galaxy_file(const std::string &path, galaxy_description *galaxy, std::string *why);

// The text of the galaxy file at path (at most 1 MiB), read once; false
// with the reason.
bool read_galaxy_text(const std::string &path, std::string *text, std::string *why);

// The same from text, named path in messages.
bool parse_galaxy_text(const std::string &text, const std::string &path, galaxy_description *galaxy,
                       std::string *why);

// Whether text (a galaxy file's) holds [[galaxy]] tables: two galaxies on
// an orbit, read by the functions below.
bool names_an_encounter(const std::string &text);

// An encounter's file: [[galaxy]] tables (each naming its galaxy file,
// relative to this one, or holding its components), their spins in
// degrees, an [orbit] and a seed. Values in SI, angles in radians; false
// with the message in why. With member_texts, galaxy k's file is the k-th
// text (as a particle file stores it), not the file it names.
bool parse_encounter_text(const std::string &text, const std::string &path, encounter_description *encounter,
                          std::string *why, const std::vector<std::string> *member_texts = nullptr);
bool read_encounter_file(const std::string &path, encounter_description *encounter, std::string *why);

#endif
