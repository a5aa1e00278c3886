// The checks of galaxy-check: each one a small function from the particles
// to one line of the report; run_checks lists them.
#ifndef CHECKS_H
#define CHECKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "check_bytes.h"
#include "check_ids.h"
#include "ks_histogram.h"
#include "check_model.h"
#include "particle_reader.h"

struct check_options {
  check_model model;
  double threshold = 1e-3;      // p-values below it fail
  int64_t expected_count = -1;  // -1: any count but 0 passes
  // Relative rounding of the stored values (2^-24 for float32), which the
  // tolerances of the mass and the bounds allow; 0 for doubles and text.
  double position_rounding = 0.0;
  double mass_rounding = 0.0;
  // A galaxy read moved back from where a file stores it: the distance and
  // speed (m, m/s) of that place, about which its values were rounded.
  double stored_about[2] = {0.0, 0.0};
  // The particles the file holds when known before reading (0: unknown):
  // the checks take their memory at once, and IDs are held against 1 … N.
  uint64_t known_count = 0;
  id_source ids = ids_by_order;
  std::string ids_note = "none stored: a particle is known by its place in the file";
  // The header's box about the origin (SI), for formats that state one.
  bool has_box = false;
  double box_size = 0.0;
  // Under zero_com, the scatter of the subtracted mean (m, m/s), from a
  // first pass over the file (begin_recentring): the bounds and direction
  // tests allow for it.
  bool recentring_known = false;
  double recentring_sigma_r = 0.0, recentring_sigma_v = 0.0;
};

enum check_verdict { verdict_pass, verdict_fail, verdict_info };

struct check_line {
  std::string name;
  std::string figure;
  check_verdict verdict;
};

// What the picture needs, measured from the model's centre: a subsample
// chosen by a hash of each particle's place in the file.
struct check_sample {
  std::vector<double> sorted_radii;  // at most 65 536 particles', ascending
  double largest_radius = 0.0;       // of every finite particle
  std::vector<double> speed_radii;   // a subsample of at most 20 000
  std::vector<double> speeds;        // speeds of that subsample, m/s
  std::vector<double> pos_cos_theta; // cosines of the polar angles of that
  std::vector<double> vel_cos_theta; // subsample's positions and velocities
};

// What the picture of a disc needs: a subsample's positions, each ring's
// sample moments and the model's curves (lengths in R_d, speeds in km/s).
struct disc_picture {
  bool present = false;
  double truncation = 0.0;
  std::vector<double> x, y, z;
  std::vector<double> ring_R, ring_vphi, ring_sigma_R, ring_sigma_z;
  std::vector<double> curve_R, curve_vc, curve_disc, curve_rest, curve_vphi, curve_sigma_R, curve_sigma_z;
};

struct check_result {
  std::vector<check_line> lines;
  check_sample sample;
  disc_picture disc;
  bool passed = false;  // no line failed
};

// The checks of a file read a chunk at a time: begin_checks, then its
// particles, then finish_checks (which releases the accumulator), or
// discard_checks to give up. What is kept does not grow with the file:
// histograms, exact sums, binned moments and a bounded subsample.
struct check_accumulator;
check_accumulator *begin_checks(const check_options &options);
// The next chunk in file order, from the file's first particle on.
void add_particles(check_accumulator *accumulator, const particle_data &chunk);
check_result finish_checks(check_accumulator *accumulator);
void discard_checks(check_accumulator *accumulator);

// Several threads fill one accumulator, each through a lane of its own,
// with the particles of any blocks of the file: chunk holds particles
// first … of the file. Blocks of check_block particles (from the file's
// first) are each summed in file order, so that the same file gives the
// same bits however it is shared out; a block must not be split between
// lanes. The mass of the file's first particle must be given first.
constexpr uint64_t check_block = uint64_t{1} << 16;
struct check_lane;
check_lane *open_check_lane(check_accumulator *accumulator);
void add_lane_particles(check_accumulator *accumulator, check_lane *lane, const particle_data &chunk,
                        uint64_t first);
// Merges the lane into the accumulator and releases it.
void close_check_lane(check_accumulator *accumulator, check_lane *lane);
void set_first_mass(check_accumulator *accumulator, double mass);

// Another process's accumulator, as bytes, merged into this one (after
// every lane closed): the same totals as one process's of both shares.
// Its histograms, in an order every process shares.
std::vector<ks_histogram *> checks_histograms(check_accumulator *accumulator);
void pack_checks(const check_accumulator *accumulator, byte_writer *out);
bool merge_packed_checks(check_accumulator *accumulator, byte_reader bytes);

// Under zero_com, the first pass: an accumulator of the sums the scatter of
// the subtracted mean needs (filled as above), and that scatter, which the
// second pass's options take (recentring_*). Releases the accumulator.
check_accumulator *begin_recentring(const check_options &options);
void finish_recentring(check_accumulator *accumulator, check_options *options);

// Before finish_checks: the per-axis variance (m^2) of a mean the whole
// galaxy's particles were shifted by, which its centre's test allows.
void set_shift_variance(check_accumulator *accumulator, double variance);

// The memory the checks take whatever the count (the histograms, a
// thread's bins and subsample), and for each particle (the IDs' bitmap,
// should they be out of order), in bytes.
double check_fixed_bytes(const check_options &options, int threads);
double check_bytes_per_particle(const check_options &options);

// Runs every check on data at once (the first pass too, under zero_com).
check_result run_checks(const particle_data &data, const check_options &options);

// Per-axis variance of the mean position of n particles under the model's
// direction law, m^2.
void model_centre_variance(const check_model &model, double n, double variance[3]);

#endif
