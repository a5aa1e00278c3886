// The virial ratio in the sample's own potential without sorting the
// sample: masses and their moments in 2^15 bins of ln r, summed in fixed
// point (the same bits in any order). Pairs of particles in different bins
// are counted exactly; a pair within one bin (1.1e-3 wide in ln r) is taken
// at the mean of its two 1/r, within 5.5e-4 of its own.
//
// Slots hold the particles of one component each; the potential is that of
// every slot's particles, and the ratio and its sampling error are those of
// one slot (or all) in it.
#ifndef RADIAL_BINS_H
#define RADIAL_BINS_H

#include <cstdint>
#include <vector>

#include "check_bytes.h"
#include "wide_sum.h"

constexpr int radial_bins_log2 = 15;
constexpr int radial_bin_count = 1 << radial_bins_log2;
// ln(r / a) over the bins; the first and the last bins take what lies
// beyond (r = 0 too), with their sums exact.
constexpr double radial_log_lo = -24.0, radial_log_hi = 12.0;

// m, m/r, m^2/r^2, m^2/r, m^2, m^2 v^2/r, m^2 v^2 in each bin.
constexpr int radial_moments = 7;

// Sums for every bin, taken zeroed from the system when first needed: the
// pages no particle reaches cost nothing.
struct fixed_sums {
  __int128 *at = nullptr;
  fixed_sums() = default;
  fixed_sums(fixed_sums &&other) noexcept : at(other.at) { other.at = nullptr; }
  fixed_sums &operator=(fixed_sums &&other) noexcept;
  fixed_sums(const fixed_sums &) = delete;
  fixed_sums &operator=(const fixed_sums &) = delete;
  ~fixed_sums();
  __int128 *get();  // made when first asked for
};

struct radial_slot {
  fixed_sums fixed;                  // interior bins: radial_moments each
  wide_sum ends[2][radial_moments];  // the first and the last bins
  __int128 kinetic = 0, kinetic2 = 0;  // sums of m v^2 and (m v^2)^2
  uint64_t count = 0;
  bool out_of_range = false;  // a value beyond the fixed point's reach
};

// A particle not yet in its bin.
struct radial_entry {
  int slot;
  double r, m, v2;
};

struct radial_bins {
  // The units the sums are kept in: a length (the model's scale), a mass
  // (the first particle's, so that terms are near 1) and a speed squared.
  double length = 1.0, mass = 1.0, speed2 = 1.0;
  std::vector<radial_slot> slots;
  std::vector<radial_entry> pending;  // put in their bins a batch at a time
};

void init_radial_bins(radial_bins *bins, int slots, double length, double mass, double speed2);
// A particle of slot at radius r (>= 0), mass m, squared speed v2, all
// finite (SI).
void add_radial(radial_bins *bins, int slot, double r, double m, double v2);
// Puts the pending particles in their bins. merge_radial does, for both;
// pack_radial and radial_virial take bins with none pending (the totals
// lanes were merged into).
void flush_radial(radial_bins *bins);
void merge_radial(radial_bins *into, const radial_bins &from);
void pack_radial(byte_writer *out, const radial_bins &bins);
bool unpack_merge_radial(byte_reader *in, radial_bins *bins);

// The virial ratio 2K/|W| of one slot (slot < 0: all of them) in the
// potential of all, and its sampling error: to first order 2K and |W| move
// by sums over particles of m v^2 and of each particle's share of |W|.
struct virial_estimate {
  bool defined = false;  // W < 0, and every value within reach
  bool in_range = true;
  double ratio = 0.0, error = 0.0;
  double kinetic2 = 0.0;   // 2K, SI
  double potential = 0.0;  // W, SI (G as the model takes it)
};
virial_estimate radial_virial(const radial_bins &bins, int slot, double gravitational_constant);

#endif
