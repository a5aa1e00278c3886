// galaxy-check: statistics of a particle file against the galaxy model.
#ifndef GALAXY_CHECK_H
#define GALAXY_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "particle_reader.h"

// The model a file is held against; defaults are galaxy-ic's.
struct check_model {
  double typical_length = 1e18;  // m
  double radius_max = 8e18;      // m
  double total_mass = 1.9891e39; // kg
  double centre[3] = {0.0, 0.0, 0.0};  // m; galaxy-ic builds at the origin
};

struct check_options {
  check_model model;
  double threshold = 1e-3;      // p-values below it fail
  int64_t expected_count = -1;  // -1: any count passes
  std::string plot_file;        // empty: no picture
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
};

struct check_result {
  std::vector<check_line> lines;
  check_sample sample;
};

struct keyed_index {
  double key;
  uint32_t index;
};

// Keys with their indices in ascending order, for keys in [0, 1] (others
// sort as the nearest end). O(n) for keys spread over the interval.
std::vector<keyed_index> ascending_order(const std::vector<double> &keys);

// Kolmogorov-Smirnov statistic of values against the uniform law on [0, 1].
double ks_uniform_statistic(const std::vector<double> &values);

// Asymptotic p-value of the statistic d for a sample of n.
double ks_p_value(double d, double n);

// Cumulative distribution of the speed law at one radius: the normalised
// energy e has density proportional to f(e) on [0, e_max], and the speed is
// sqrt(1 - (e / e_max)^2) times the escape speed.
class speed_cdf {
 public:
  // Tabulates the integral of f up to q_max (< 1).
  explicit speed_cdf(double q_max);
  // P(speed <= v) at a radius whose e_max and escape speed are given.
  double operator()(double v, double e_max, double v_esc) const;
  // Integral of f from 0 to q, q in [0, q_max].
  double integral(double q) const;

 private:
  double step_;
  std::vector<double> integral_;  // at the nodes
  std::vector<double> density_;   // f at the nodes
};

// Runs every check on data.
check_result run_checks(const particle_data &data, const check_options &options);

// Writes the three-panel picture to options.plot_file (PNG). Returns false
// with a reason when it cannot.
bool write_check_plot(const check_sample &sample, const check_model &model,
                      const std::string &file, std::string *why);

// The whole program: returns 0 when every check passes, 1 when one fails,
// 2 for unreadable input or a usage error.
int galaxy_check_main(int argc, char **argv);

#endif
