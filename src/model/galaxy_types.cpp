#include "galaxy_types.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <initializer_list>

#include "equilibrium_law.h"
#include "profile_sampler.h"
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
namespace {

// A tabulated model's particle in model units, scaled by a and
// sqrt(G M / a). Under Osipkov-Merritt w = (v_r, v_t sqrt(1 + r^2 / r_a^2))
// is isotropic: its direction is drawn, then v_t shrunk back.
void draw_profile_particle(gal_system *sys, double *pos, double *vel, random_stream *stream,
                           const profile_sampler &sampler) {
  const double a = sys->typical_length;
  const double velocity = std::sqrt(gravitational_constant * sys->total_mass / a);
  const double r = sample_profile_radius(sampler, next_uniform(stream));
  pos[0] = r * a;
  pos[1] = compute_random_isotropic_phi(stream);
  pos[2] = compute_random_cos_theta(stream);
  const double w = std::sqrt(2.0 * sample_profile_kinetic(sampler, r, stream));
  const double c = compute_random_cos_theta(stream);
  const double r_a = sampler.model->anisotropy_radius;
  const double stretch = r_a > 0.0 ? 1.0 + (r / r_a) * (r / r_a) : 1.0;
  vel[0] = w * c * velocity;
  vel[1] = w * std::sqrt(std::max(0.0, 1.0 - c * c)) / std::sqrt(stretch) * velocity;
  vel[2] = compute_random_isotropic_phi(stream);
}

// v_r r^ + v_t (cos psi theta^ + sin psi phi^) at the position (r, phi, cos theta).
void finish_profile_particle(double *pos, double *vel) {
  const double r = pos[0], cos_phi = std::cos(pos[1]), sin_phi = std::sin(pos[1]), cos_theta = pos[2];
  const double sin_theta = std::sqrt(std::max(0.0, 1.0 - cos_theta * cos_theta));
  const double radial[3] = {sin_theta * cos_phi, sin_theta * sin_phi, cos_theta};
  const double polar[3] = {cos_theta * cos_phi, cos_theta * sin_phi, -sin_theta};
  const double azimuthal[3] = {-sin_phi, cos_phi, 0.0};
  const double v_r = vel[0], v_t = vel[1], cos_psi = std::cos(vel[2]), sin_psi = std::sin(vel[2]);
  for (int k = 0; k < 3; ++k) {
    pos[k] = r * radial[k];
    vel[k] = v_r * radial[k] + v_t * (cos_psi * polar[k] + sin_psi * azimuthal[k]);
  }
}

}  // namespace

void draw_particle(gal_system *sys, int32_t planet, random_stream *stream, particle_law law,
                   const profile_sampler *sampler) {
  double *pos = sys->pos + planet * sys->dimension;
  double *vel = sys->vel + planet * sys->dimension;
  if (law == law_profile) {
    draw_profile_particle(sys, pos, vel, stream, *sampler);
    return;
  }
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
  if (law == law_profile) {
    finish_profile_particle(sys->pos + planet * sys->dimension, sys->vel + planet * sys->dimension);
    sys->mass[planet] = sys->mass_element;
    return;
  }
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

void place_particle(gal_system *sys, int32_t planet, random_stream *stream, particle_law law,
                    const profile_sampler *sampler) {
  draw_particle(sys, planet, stream, law, sampler);
  finish_particle(sys, planet, law);
}

void free_gal_system(gal_system *sys) {
  if (sys == nullptr) return;
  std::free(sys->pos);
  std::free(sys->vel);
  std::free(sys->mass);
  std::free(sys);
}
