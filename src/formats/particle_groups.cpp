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

particle_groups file_groups(const particle_groups &groups, uint64_t total, double mass_element) {
  if (!groups.groups.empty()) return groups;
  particle_groups one;
  one.groups.push_back({"galaxy", 1, true, 0, total, mass_element});
  return one;
}

type_shares shares_of(const particle_groups &groups) {
  type_shares shares;
  for (const particle_group &g : groups.groups) {
    if (g.type < 0 || g.type > 5) continue;  // refused by groups_are_ordered
    type_share &s = shares.type[g.type];
    if (!s.present) {
      s.present = true;
      s.first = g.first;
      s.mass = g.mass;
    } else {
      s.one_mass = s.one_mass && g.mass == s.mass;
      s.names += ",";
    }
    s.count += g.count;
    s.names += g.name;
  }
  for (type_share &s : shares.type) {
    if (!s.one_mass) s.mass = 0.0;
  }
  return shares;
}

uint64_t type_rows_in(const type_share &share, uint64_t first, uint64_t last) {
  const uint64_t begin = std::max(first, share.first), end = std::min(last, share.first + share.count);
  return end > begin ? end - begin : 0;
}

uint64_t dark_count(const particle_groups &groups) {
  uint64_t dark = 0;
  for (const particle_group &g : groups.groups) dark += g.dark ? g.count : 0;
  return dark;
}

bool groups_share_one_mass(const particle_groups &groups) {
  for (const particle_group &g : groups.groups) {
    if (!(g.mass == groups.groups[0].mass)) return false;
  }
  return true;
}
