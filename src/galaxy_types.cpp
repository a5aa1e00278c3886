#include "galaxy_types.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <initializer_list>

#include "equilibrium_law.h"
#include "random_coord.h"

namespace {

// malloc of a zero count may return null; that is not a failure here.
double *alloc_doubles(int32_t count) {
  if (count <= 0) return nullptr;
  return static_cast<double *>(std::malloc(sizeof(double) * static_cast<size_t>(count)));
}

// Truncation toward zero, with 0 for what int32_t cannot hold (a zero step
// gives an infinite quotient): converting such a double is undefined.
int32_t truncate_to_int32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return 0;
  return static_cast<int32_t>(value);
}

}  // namespace

gal_system *alloc_unplaced_gal_system(int32_t nb_element, double typical_length,
                                      double radius_max, double total_mass,
                                      double step, double duration) {
  const int32_t dim = 3;
  if (nb_element > nb_element_limit || nb_element < -nb_element_limit) return nullptr;

  gal_system *sys = static_cast<gal_system *>(std::malloc(sizeof(gal_system)));
  if (sys == nullptr) return nullptr;
  // The samplers read typical_length, radius_max and total_mass from the
  // record, so every scalar is set before the first particle is placed.
  sys->dimension = dim;
  sys->nb_element = nb_element;
  sys->typical_length = typical_length;
  sys->radius_max = radius_max;
  sys->total_mass = total_mass;
  sys->mass_element = total_mass / static_cast<double>(nb_element);
  sys->duration = duration;
  sys->stepsize = step;
  sys->nbstep = truncate_to_int32(duration / step + 1.0);
  sys->output_name = nullptr;

  sys->vel = alloc_doubles(dim * nb_element);
  sys->pos = alloc_doubles(dim * nb_element);
  sys->mass = alloc_doubles(nb_element);
  if (nb_element > 0 && (sys->vel == nullptr || sys->pos == nullptr || sys->mass == nullptr)) {
    free_gal_system(sys);
    return nullptr;
  }
  return sys;
}

gal_system *alloc_gal_system(int32_t nb_element, double typical_length,
                             double radius_max, double total_mass,
                             double step, double duration) {
  gal_system *sys = alloc_unplaced_gal_system(nb_element, typical_length, radius_max,
                                              total_mass, step, duration);
  if (sys == nullptr) return nullptr;
  random_stream stream;
  init_c_library_stream(&stream);
  for (int32_t planet = 0; planet < nb_element; ++planet) place_particle(sys, planet, &stream);
  return sys;
}

// Draw order per particle: radius, phi, theta, speed trials, phi, theta.
// Every number of the particle file depends on it.
void draw_particle(gal_system *sys, int32_t planet, random_stream *stream, particle_law law) {
  double *pos = sys->pos + planet * sys->dimension;
  double *vel = sys->vel + planet * sys->dimension;
  pos[0] = compute_random_radius(sys, stream);
  if (law == law_equilibrium) {
    pos[1] = compute_random_isotropic_phi(stream);
    pos[2] = compute_random_cos_theta(stream);
    vel[0] = compute_random_equilibrium_speed(sys, pos[0], stream);
    vel[1] = compute_random_isotropic_phi(stream);
    vel[2] = compute_random_cos_theta(stream);
    return;
  }
  pos[1] = compute_random_phi(stream);
  pos[2] = compute_random_theta(stream);
  vel[0] = compute_random_velocity_norm(sys, pos[0], stream);
  vel[1] = compute_random_phi(stream);
  vel[2] = compute_random_theta(stream);
}

void finish_particle(gal_system *sys, int32_t planet, particle_law law) {
  for (double *v : {sys->pos + planet * sys->dimension, sys->vel + planet * sys->dimension}) {
    const double norm = v[0];
    const double phi = v[1];
    if (law == law_equilibrium) {
      const double cos_theta = v[2];
      const double sin_theta = std::sqrt(std::max(0.0, 1.0 - cos_theta * cos_theta));
      v[X] = norm * sin_theta * std::cos(phi);
      v[Y] = norm * sin_theta * std::sin(phi);
      v[Z] = norm * cos_theta;
      continue;
    }
    const double theta = v[2];
    v[X] = std::cos(phi) * (std::sin(theta) * norm);
    v[Y] = std::sin(phi) * (std::sin(theta) * norm);
    v[Z] = std::cos(theta) * norm;
  }
  sys->mass[planet] = sys->mass_element;
}

void place_particle(gal_system *sys, int32_t planet, random_stream *stream, particle_law law) {
  draw_particle(sys, planet, stream, law);
  finish_particle(sys, planet, law);
}

void free_gal_system(gal_system *sys) {
  if (sys == nullptr) return;
  std::free(sys->pos);
  std::free(sys->vel);
  std::free(sys->mass);
  std::free(sys);
}
