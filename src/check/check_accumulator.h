// What the checks of one model (or one component of a galaxy) keep: the
// accumulator shared by the threads that fill it, each thread's lane, and
// their totals. Used by checks.cpp, which fills them, and check_lines.cpp,
// which turns the totals into the report's lines.
#ifndef CHECK_ACCUMULATOR_H
#define CHECK_ACCUMULATOR_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "checks.h"
#include "ks_histogram.h"
#include "radial_bins.h"
#include "reference.h"
#include "sample_sketch.h"
#include "wide_sum.h"

// The Jeans test's radial bins: fine ones of equal model mass, grouped at
// the end into as many as the sample fills.
constexpr int jeans_fine_bins = 64;
constexpr int jeans_bins_max = 16;
constexpr double jeans_bin_least = 500.0;  // particles a group holds at least

// The sums of the checks, each summed in long double over a block of the
// file in file order and then folded into an exact total.
enum sum_slot {
  sum_mass,  // of every particle; the rest of the finite ones
  sum_weight,
  sum_centre,  // 3
  sum_momentum = sum_centre + 3,  // 3
  sum_speed2 = sum_momentum + 3,
  sum_radius2,
  sum_model_potential,
  sum_inner_weight,
  sum_inner,  // 3
  sum_inner_r2 = sum_inner + 3,
  sum_shell_vr2,  // 4 each
  sum_shell_vt2 = sum_shell_vr2 + 4,
  sum_shell_r2 = sum_shell_vt2 + 4,  // the model's r^2 / (r^2 + r_a^2)
  // Per fine Jeans bin: a = v_r^2 - sigma_r^2 and b = v_t^2 - sigma_t^2
  // (model units), their products, the radius, the model's sigmas.
  sum_jeans = sum_shell_r2 + 4,
  jeans_a = 0, jeans_b, jeans_aa, jeans_bb, jeans_ab, jeans_r, jeans_s_r, jeans_s_t, jeans_sums_each,
  sum_slots = sum_jeans + jeans_fine_bins * jeans_sums_each
};

// Counts, largest values and what else one thread gathers.
struct check_lane {
  block_sums sums{sum_slots};
  int64_t block = -1;  // the block of the file the partial sums are of
  uint64_t count = 0, finite = 0, unequal = 0, beyond = 0, too_fast = 0, inner_count = 0;
  uint64_t shell_count[4] = {0, 0, 0, 0}, jeans_count[jeans_fine_bins] = {};
  double widest = 0.0, fastest = 0.0, largest_offset = 0.0, largest_velocity = 0.0, largest_radius = 0.0;
  radial_bins own;  // the sample's own potential (a model of its own only)
  sample_sketch sketch;
  // Variates waiting to go into the shared histograms, a batch at a time.
  std::vector<double> pending[6];
};

enum ks_test { ks_radius, ks_speed, ks_pos_azimuth, ks_pos_polar, ks_vel_azimuth, ks_vel_polar, ks_tests };

struct check_accumulator {
  check_options options;
  bool prepass = false;  // the centre's scatter only, for a zero-com file's second pass
  gal_system sys{};
  std::unique_ptr<speed_cdf> defined_speeds;
  std::unique_ptr<equilibrium_speed_cdf> equilibrium_speeds;
  // Under a profile, the Jeans equation's dispersions from the density
  // formula alone, and the bins of the test against them.
  std::unique_ptr<jeans_reference> reference;
  std::string reference_failure;
  double shell_edges[3] = {0, 0, 0};
  // A model whose mean square radius diverges has its centre judged from
  // the particles within centre_radius (m) of it.
  double centre_radius = 0.0;
  bool own_potential = false;  // the virial ratio in the sample's own potential
  double first_mass = 0.0;
  bool first_mass_known = false;
  // Shared by the lanes: the histograms, the IDs and the totals.
  std::unique_ptr<ks_histogram> histograms[ks_tests];
  std::mutex lock;
  id_tally ids;
  check_lane totals;
  std::unique_ptr<check_lane> own_lane;  // add_particles'
  uint64_t next_index = 0;
};

// The model's enclosed-mass fraction at r (m): a profile's from the
// density alone, not from the tables the particles were drawn from.
double accumulator_mass_fraction(const check_accumulator &acc, double r);

// The report's lines, from the totals.
check_result check_lines(check_accumulator *acc);

// The scatter of a mean the zero-com subtraction moved every particle by.
void recentring_scatter(const check_accumulator &acc, double *sigma_r, double *sigma_v);

// A total as a long double.
inline long double total_of(const check_lane &lane, int slot) { return wide_value(lane.sums.total[slot]); }

#endif
