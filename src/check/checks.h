// The checks of galaxy-check: each one a small function from the particles
// to one line of the report; run_checks lists them.
#ifndef CHECKS_H
#define CHECKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "check_ids.h"
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
  // The particles the file holds when known before reading (0: unknown):
  // the checks take their memory at once, and IDs are held against 1 … N.
  uint64_t known_count = 0;
  id_source ids = ids_by_order;
  std::string ids_note = "none stored: a particle is known by its place in the file";
  // The header's box about the origin (SI), for formats that state one.
  bool has_box = false;
  double box_size = 0.0;
};

enum check_verdict { verdict_pass, verdict_fail, verdict_info };

struct check_line {
  std::string name;
  std::string figure;
  check_verdict verdict;
};

// What the picture needs, measured from the model's centre.
struct check_sample {
  std::vector<double> sorted_radii;  // every finite particle, ascending
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

// The checks of a file read a chunk at a time: begin_checks, add_particles
// for each chunk in file order, finish_checks (which releases the
// accumulator), or discard_checks to give up. About 32 bytes a particle
// are kept, not the particles.
struct check_accumulator;
check_accumulator *begin_checks(const check_options &options);
void add_particles(check_accumulator *accumulator, const particle_data &chunk);
check_result finish_checks(check_accumulator *accumulator);
void discard_checks(check_accumulator *accumulator);

// Before finish_checks: the per-axis variance (m^2) of a mean the whole
// galaxy's particles were shifted by, which its centre's test allows.
void set_shift_variance(check_accumulator *accumulator, double variance);

// The most the checks hold at once for each particle, in bytes: what they
// keep, the sorts' copies and the picture's radii at the end; when the count
// is not known before reading, the vectors also grow by doubling.
double check_bytes_per_particle(const check_options &options);

// Runs every check on data at once.
check_result run_checks(const particle_data &data, const check_options &options);

// Per-axis variance of the mean position of n particles under the model's
// direction law, m^2.
void model_centre_variance(const check_model &model, double n, double variance[3]);

#endif
