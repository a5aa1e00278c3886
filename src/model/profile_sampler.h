// Drawing radii and velocities of a tabulated spherical model (model units,
// G = M = a = 1), exactly for the computed functions: radii by inverting the
// interpolated M(r), speeds by rejection under an envelope proven above the
// interpolated f at every radius of a bin.
#ifndef PROFILE_SAMPLER_H
#define PROFILE_SAMPLER_H

#include <atomic>
#include <vector>

#include "profile_model.h"
#include "random_stream.h"

struct profile_sampler {
  const profile_model *model = nullptr;
  std::vector<double> node_r, node_dm;  // radius and dM/du (u the cell fraction) at the nodes
  // Envelope of f(E) sqrt(Psi(r) - E) for the radii of each bin: per bin,
  // one constant height per energy cell, and their cumulative weights.
  int bins = 0, cells = 0;
  double bin_log_r0 = 0.0, bin_step = 0.0;
  std::vector<double> bin_psi;              // Psi at each bin's inner edge
  std::vector<double> height, cumulative;  // bins x cells
  // Set when a draw found nothing within its cap of trials: the run fails.
  mutable std::atomic<bool> exhausted{false};
};

// Builds the sampler of model (which must outlive it).
void build_profile_sampler(const profile_model &model, profile_sampler *sampler);

// The radius whose enclosed mass is u times the tabulated whole (the grid's
// top, which holds all but ~1e-10 of the mass), u in [0, 1].
double sample_profile_radius(const profile_sampler &sampler, double u);

// Psi - E for a draw of E at radius r from f(E) sqrt(Psi(r) - E): half the
// square of the speed (of w = (v_r, v_t sqrt(1 + r^2 / r_a^2)) under
// Osipkov-Merritt). Three draws a trial; after a million trials without
// one accepted, 0 with sampler.exhausted set.
double sample_profile_kinetic(const profile_sampler &sampler, double r, random_stream *stream);

#endif
