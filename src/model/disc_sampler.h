// Drawing an exponential disc's particles in its galaxy's joint potential
// (model units, G = 1): positions by inverting its cumulative distributions
// in R (its interpolated mass), z and phi; (v_R, v_phi) from the planar
// distribution function of the radial action and L_z whose Sigma(R) and
// sigma_R(R) are the disc's (disc_planar.h), in the radial pull averaged
// over the layer; v_z normal of the vertical equilibrium's dispersion;
// below the escape speed.
//   sigma_z^2(R, z) = (1 / h(z)) int_z^inf h(z') dPhi/dz' dz'   (vertical equilibrium)
//   sigma_R = sigma_R0 exp(-R / 2 R_d), Q = sigma_R kappa / (3.36 Sigma) at q_radius
// Phi is the disc's own (axisymmetric) plus the spheroids' and the black
// hole's (spherical, from their tables). The epicyclic Jeans moments,
//   vbar_phi^2 = v_c^2 + sigma_R^2 (1 - kappa^2 / (4 Omega^2) + dln Sigma / dln R - R / R_d),
// only judge whether the disc is too hot to rotate.
#ifndef DISC_SAMPLER_H
#define DISC_SAMPLER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disc_model.h"
#include "disc_planar.h"
#include "profile_model.h"
#include "random_stream.h"

struct gal_system;

struct disc_sampler {
  const disc_model *disc = nullptr;
  // Everything else's Psi and enclosed mass at the spherical tables' nodes.
  double log_r0 = 0.0, step = 0.0, black_hole = 0.0;
  std::vector<double> psi, mass;
  // The disc's mass within R (of 1) at radii equally spaced up to the
  // truncation, and its slope 2 pi R Sigma / M_d.
  double mass_step = 0.0;
  std::vector<double> cumulative, cumulative_slope;
  // Columns at R_j = R_t ((j + 1/2) / J)^2, heights z_k = z_d top (k / K)^2:
  // ln sigma_z^2 and Phi with their exact z-derivatives, [j * (K + 1) + k].
  int columns = 0, heights = 0;
  double top = 0.0;
  std::vector<double> column_R;
  std::vector<double> log_sigma_z2, log_sigma_z2_slope, potential, potential_slope;
  // Per column: vbar_phi^2 (0 where the Jeans equation makes it negative)
  // and kappa^2 / (4 Omega^2).
  std::vector<double> rotation2, epicyclic;
  double sigma_R0 = 0.0;  // sigma_R at the centre
  double clipped = 0.0;   // the share of the disc's mass the Jeans equation gives no rotation
  // The planar velocities' distribution function.
  std::shared_ptr<planar_df> planar;
  // Set when a draw found no velocity within its cap of trials.
  mutable std::atomic<bool> exhausted{false};
};

// Builds the sampler of a disc from its tables in the joint potential (a
// profile_model whose disc is set, which must outlive the sampler). False
// with the reason when its Q cannot be met (sigma_R at q_radius above the
// circular speed) or more than 1 % of its mass would have no mean rotation.
bool build_disc_sampler(const profile_model &tables, disc_sampler *sampler, std::string *why);

// The joint potential at (R, z) and its forces, exactly (the disc's
// expansion and the spherical tables).
disc_field joint_field(const disc_sampler &sampler, double R, double z);

// The velocity moments at (R, z), from the sampler's tables.
struct disc_moments {
  double mean_phi, sigma_R, sigma_phi, sigma_z;
};
disc_moments disc_moments_at(const disc_sampler &sampler, double R, double z);

// Particle planet of sys (in SI; L and M are sys's typical length and
// total mass): its draws (R, phi, z, then four a planar trial and two for
// v_z once kept, at most a million trials), kept as (R, phi, z) and
// (v_R, v_phi, v_z); then its
// Cartesian components and mass from them, taking no draw.
void draw_disc_particle(gal_system *sys, int32_t planet, random_stream *stream, const disc_sampler &sampler);
void finish_disc_particle(gal_system *sys, int32_t planet);

#endif
