// What a file holds of each particle besides its position and velocity. A
// run's own record gives every particle its mass_element and the IDs 1 … N;
// a record its owner edited in memory may hold others, written as they are.
#ifndef WRITTEN_COLUMNS_H
#define WRITTEN_COLUMNS_H

#include <cstdint>

struct written_columns {
  // Each row's own mass from the record (the mass table then holds 0); else
  // one mass for all: shared_mass (in the file's units) when own_shared_mass,
  // else the record's mass_element.
  bool row_masses = false;
  bool own_shared_mass = false;
  double shared_mass = 0.0;
  // Row j's ID, or its global index + 1 when null; largest_id is the
  // largest of them (GADGET takes 64-bit IDs beyond 2^32 - 1).
  const uint64_t *ids = nullptr;
  uint64_t largest_id = 0;
};

// The one mass of every particle, in the frame's units, as the columns say
// (mass_element_in_units: the record's mass_element converted).
inline double one_mass(const written_columns &columns, double mass_element_in_units) {
  return columns.own_shared_mass ? columns.shared_mass : mass_element_in_units;
}

#endif
