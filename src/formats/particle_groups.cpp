#include "particle_groups.h"

#include <algorithm>

bool groups_are_ordered(const particle_groups &groups, uint64_t total, std::string *why) {
  uint64_t next = 0;
  int type = 0;
  bool stars = false;
  for (const particle_group &g : groups.groups) {
    if (g.first != next) {
      *why = "group " + g.name + " does not follow the one before it";
      return false;
    }
    if (g.type < 1 || g.type > 5 || g.type < type) {
      *why = "group " + g.name + "'s type " + std::to_string(g.type) + " comes out of order (types 1 to 5, rising)";
      return false;
    }
    if (g.dark && stars) {
      *why = "group " + g.name + " is dark after star particles (tipsy holds dark ones first)";
      return false;
    }
    stars = stars || !g.dark;
    type = g.type;
    next += g.count;
  }
  if (!groups.groups.empty() && next != total) {
    *why = "the groups hold " + std::to_string(next) + " particles, not " + std::to_string(total);
    return false;
  }
  return true;
}

const particle_group &group_of(const particle_groups &groups, uint64_t i) {
  const auto after = std::upper_bound(groups.groups.begin(), groups.groups.end(), i,
                                      [](uint64_t index, const particle_group &g) { return index < g.first; });
  return *(after - 1);
}
