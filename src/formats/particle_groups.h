// What a particle file holds, group by group: a galaxy's components (and
// its black hole), each a range of the record's particles written as one
// particle type. A galaxy of one component is one group of type 1.
#ifndef PARTICLE_GROUPS_H
#define PARTICLE_GROUPS_H

#include <cstdint>
#include <string>
#include <vector>

struct particle_group {
  std::string name;     // the component's ("galaxy" for a lone one, "black hole")
  int type = 1;         // GADGET's numbering, 1 to 5 (HDF5 PartTypeN, massarr[N])
  bool dark = true;     // tipsy: a dark particle (else a star)
  uint64_t first = 0;   // its first particle's global index (IDs first + 1 ...)
  uint64_t count = 0;
  double mass = 0.0;    // each of its particles' mass, SI
};

// In global index order, contiguous, types never decreasing (GADGET's
// files hold types in order), dark groups before star groups (tipsy's
// order). Empty: one group of type 1 of every particle, of the record's
// mass_element.
struct particle_groups {
  std::vector<particle_group> groups;
};

// Whether groups meet the order above and cover [0, total); false with the
// reason.
bool groups_are_ordered(const particle_groups &groups, uint64_t total, std::string *why);

// The group holding global index i (groups non-empty, i < their total).
const particle_group &group_of(const particle_groups &groups, uint64_t i);

// The groups a file of total particles holds: groups, or when there are
// none the one group of type 1 of them all, each of mass_element.
particle_groups file_groups(const particle_groups &groups, uint64_t total, double mass_element);

// What the groups of one type hold together: a contiguous range of global
// indices (types never decrease), their particles' one mass when every
// group of the type has the same, and the groups' names.
struct type_share {
  bool present = false;  // some group is of this type (perhaps of no particle)
  uint64_t first = 0, count = 0;
  bool one_mass = true;
  double mass = 0.0;     // SI, when one_mass
  std::string names;     // comma-separated
};

// Types 0 to 5 (0, gas, is never present) of ordered groups.
struct type_shares {
  type_share type[6];
};
type_shares shares_of(const particle_groups &groups);

// How many of the particles [first, last) are of type t.
uint64_t type_rows_in(const type_share &share, uint64_t first, uint64_t last);

// The particles of the dark groups (all before the star groups).
uint64_t dark_count(const particle_groups &groups);

// Whether every group's particles have the same mass (none: true). When
// they do not, a file without types (text) writes each particle's own:
// written_columns.row_masses.
bool groups_share_one_mass(const particle_groups &groups);

#endif
