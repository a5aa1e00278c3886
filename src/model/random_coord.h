// Samplers of the truncated Hernquist galaxy. Every compute_random_* call
// takes the number of draws noted from its stream; without a stream, from the
// process-wide rand() sequence.
#ifndef RANDOM_COORD_H
#define RANDOM_COORD_H

#include "galaxy_types.h"
#include "random_stream.h"

// rand() / 2147483647.0, in [0, 1]. One draw.
double compute_random_uniform();

// Radius in m whose truncated enclosed-mass fraction is the uniform value u
// in [0, 1]: 0 gives 0, 1 gives radius_max up to rounding. No draw.
double compute_inverse_mass_fraction_function(const gal_system *sys, double u);

// Enclosed-mass fraction of the truncated profile at radius r (m): 0 at the
// centre, 1 at radius_max. No draw.
double compute_enclosed_mass_fraction_function(const gal_system *sys, double radius);

// Radius in m, in [0, radius_max] up to rounding. One draw.
double compute_random_radius(const gal_system *sys);
double compute_random_radius(const gal_system *sys, random_stream *stream);

// Azimuth in rad, in [0, 2 * 3.14159265]. One draw.
double compute_random_phi();
double compute_random_phi(random_stream *stream);

// Polar angle in rad, uniform in [0, 3.14159265]. One draw.
double compute_random_theta();
double compute_random_theta(random_stream *stream);

// Unnormalised distribution function f(q), 0 <= q < 1. No draw.
double compute_hernquist_probability_density_function(double normalized_energy);

// Straight line through the origin meeting f at normalized_energy_max.
double compute_linear_envelop_probability_function(double normalized_energy,
                                                   double normalized_energy_max,
                                                   double density_function_max);

// Escape speed in m/s at radius (m) in the potential -G M / (r + a).
double compute_escape_velocity_function(const gal_system *sys, double radius);

// Speed in m/s at radius (m), in [0, escape speed]. Two draws per trial.
double compute_random_velocity_norm(const gal_system *sys, double radius);
double compute_random_velocity_norm(const gal_system *sys, double radius,
                                    random_stream *stream);

#endif
