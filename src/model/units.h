// Unit systems of the values a user gives and a file holds. The galaxy is
// made in SI; a writer converts each value once, value / unit, and a reader
// converts back, value * unit.
#ifndef UNITS_H
#define UNITS_H

#include <cstddef>

#include "galaxy_types.h"

enum unit_system { units_si, units_cgs, units_astro, units_gadget, units_model };

// The constants the conversions use, SI.
constexpr double kiloparsec = 3.0856775814913673e19;     // m
constexpr double solar_mass = 1.98841e30;                // kg

// One unit of each quantity, in SI.
struct unit_scale {
  double length = 1.0;    // m
  double mass = 1.0;      // kg
  double velocity = 1.0;  // m/s
  double time = 1.0;      // s
};

// Reads si, cgs, astro, gadget or model; false for anything else.
bool parse_unit_system(const char *text, unit_system *system);

// The name parse_unit_system reads.
const char *unit_system_name(unit_system system);

// The scale of system; model units (G = 1) take the galaxy's total mass
// (kg) and scale length (m) as their units.
unit_scale scale_of(unit_system system, double total_mass, double scale_length);

// The symbols of a system's length, mass and velocity units, for messages.
struct unit_symbols {
  const char *length, *mass, *velocity;
};
unit_symbols symbols_of(unit_system system);

// The frame a file's values are written in: units, then a shift of every
// position and velocity (in those units) that places and moves the galaxy.
struct output_frame {
  unit_system system = units_si;
  unit_scale scale;
  bool shifted = false;  // false: no offset is added at all, not even 0
  double position_offset[3] = {0.0, 0.0, 0.0};
  double velocity_offset[3] = {0.0, 0.0, 0.0};
  // The record's position, velocity and mass arrays already hold the
  // written values (converted and shifted once, in place); its scalars stay SI.
  bool values_converted = false;
};

// A box about the origin, in the frame's units, that holds a galaxy of
// cut-off radius_max (m) where the frame places it.
double box_size(double radius_max, const output_frame &frame);

// Whether frame writes the record's own SI values untouched.
bool is_identity_frame(const output_frame &frame);

// Written values of particles: n triples of SI in, n triples out (which
// may be the same array), converted by unit and shifted by offset when
// frame.shifted.
void convert_triples(const double *si, size_t n, double unit, bool shifted, const double offset[3],
                     double *out);

// The written values of n position (velocity) triples of a record: as
// stored when frame.values_converted, else converted by convert_triples.
void written_positions(const output_frame &frame, const double *record, size_t n, double *out);
void written_velocities(const output_frame &frame, const double *record, size_t n, double *out);

// Converts a record's arrays in place to the values frame writes (masses
// too); returns frame marked values_converted.
output_frame convert_record(gal_system *sys, const output_frame &frame);

// Reads "X,Y,Z": three finite numbers (strtod) separated by commas,
// nothing else.
bool parse_vector3(const char *text, double out[3]);

#endif
