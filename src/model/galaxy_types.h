// The galaxy record: physical parameters, time-integration parameters and
// the per-particle arrays.
#ifndef GALAXY_TYPES_H
#define GALAXY_TYPES_H

#include <cstdint>

struct random_stream;
struct profile_sampler;

// G, m^3 kg^-1 s^-2, as the samplers use it.
constexpr double gravitational_constant = 6.673e-11;

// Offset of a component inside a particle's triple.
enum coord_name { X = 0, Y = 1, Z = 2 };

// Arrays are particle after particle: component k of particle i is at
// index i * dimension + k. SI units throughout.
struct gal_system {
  double typical_length;  // Hernquist scale length a, m
  double radius_max;      // cut-off radius, m
  double mass_element;    // mass of one particle, kg
  double total_mass;      // kg
  int32_t nb_element;
  int32_t dimension;      // always 3
  double duration;        // carried for a later simulation run
  double stepsize;        // carried for a later simulation run
  int32_t nbstep;         // carried for a later simulation run
  char *output_name;      // carried for later users; creation sets it null
  double *vel;            // dimension * nb_element, m/s
  double *pos;            // dimension * nb_element, m
  double *mass;           // nb_element, kg
};

// Largest count whose arrays (3 * count doubles) stay indexable by int32_t.
constexpr int32_t nb_element_limit = INT32_MAX / 3;

// Builds a galaxy of nb_element particles, consuming rand() draws in a fixed
// order. Note the order: step before duration. Counts of 0 or below give
// empty arrays. Returns null, having taken nothing, when nb_element exceeds
// nb_element_limit, is below -nb_element_limit, or memory runs out. The
// caller owns the result.
gal_system *alloc_gal_system(int32_t nb_element, double typical_length,
                             double radius_max, double total_mass,
                             double step, double duration);

// The same record with its arrays, but no particle placed and no draw
// taken: particles are then placed one by one, in any order, by the
// functions below. Null as for alloc_gal_system.
gal_system *alloc_unplaced_gal_system(int32_t nb_element, double typical_length,
                                      double radius_max, double total_mass,
                                      double step, double duration);

// The laws a particle can follow: the defined one (polar angle uniform in
// the angle, the defined speed law), or the equilibrium one (isotropic
// directions, speeds from the isotropic distribution function), whose radii
// are the same; or a tabulated model's (profile_sampler), in equilibrium.
enum particle_law { law_defined, law_equilibrium, law_profile };

// Places particle planet: its draws from stream in the fixed order, then
// its Cartesian components and mass. draw_particle followed by
// finish_particle.
void place_particle(gal_system *sys, int32_t planet, random_stream *stream,
                    particle_law law = law_defined, const profile_sampler *sampler = nullptr);

// Takes all of particle planet's draws (radius, phi, theta, speed trials,
// phi, theta) and keeps radius, phi, theta (its cosine under the equilibrium
// law) of its position, and the same of its velocity, in its pos and vel
// slots. Under law_profile (sampler given): radius, phi, cos theta of the
// position, then the speed trials and the velocity's direction, keeping
// v_r, v_t and the tangential angle.
void draw_particle(gal_system *sys, int32_t planet, random_stream *stream,
                   particle_law law = law_defined, const profile_sampler *sampler = nullptr);

// Turns what draw_particle kept into Cartesian components (bit for bit what
// place_particle gives) and sets the particle's mass. Takes no draw, so it
// may run on another thread than the draws.
void finish_particle(gal_system *sys, int32_t planet, particle_law law = law_defined);

// Releases the arrays, then the record. Accepts null.
void free_gal_system(gal_system *sys);

#endif
