// The equilibrium galaxy: the same truncated Hernquist radii, isotropic
// directions, and speeds from the isotropic distribution function of the
// untruncated Hernquist sphere whose part inside radius_max holds the
// galaxy's mass. Formulas and their source in equilibrium_law.cpp.
#ifndef EQUILIBRIUM_LAW_H
#define EQUILIBRIUM_LAW_H

#include "galaxy_types.h"
#include "random_stream.h"

// Mass parameter M_h = M (r_max + a)^2 / r_max^2 of that sphere, kg.
double compute_equilibrium_mass_function(const gal_system *sys);

// Escape speed sqrt(2 G M_h / (r + a)) at radius r (m), m/s: 9/8 of the
// defined law's at every radius for r_max = 8a.
double compute_equilibrium_escape_velocity_function(const gal_system *sys, double radius);

// h(q) = 3 asin q + q sqrt(1 - q^2) (1 - 2q^2) (8q^4 - 8q^2 - 3), the bracket
// of the distribution function, q in [0, 1]: increasing from 0 to 3 pi / 2,
// accurate where the closed form cancels (small q).
double compute_equilibrium_bracket_function(double q);

// Envelope variable of a speed: w = x^3 / (c + psi x^2)^(3/2), with
// x = v / v_esc, psi = a / (r + a), c = r / (r + a). w is uniform under the
// proposal the sampler draws from, and in [0, 1].
double compute_equilibrium_envelope_cdf_function(double x, double psi, double c);

// Speed in m/s at radius (m) from the isotropic distribution function,
// below the escape speed. Two draws per trial.
double compute_random_equilibrium_speed(const gal_system *sys, double radius,
                                        random_stream *stream);

// Azimuth in rad, uniform in [0, 2 pi] (full-precision pi). One draw.
double compute_random_isotropic_phi(random_stream *stream);

// Cosine of the polar angle, uniform in [-1, 1]. One draw.
double compute_random_cos_theta(random_stream *stream);

#endif
