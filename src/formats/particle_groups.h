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

#endif
