// Statistics of the checks: Kolmogorov-Smirnov statistics and p-values,
// the chi-square tail, and the bucket sort that orders a million keys in
// linear time.
#ifndef CHECK_STATISTICS_H
#define CHECK_STATISTICS_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct keyed_index {
  double key;
  uint32_t index;
};

// Keys with their indices in ascending order, for keys in [0, 1] (others
// sort as the nearest end). O(n) for keys spread over the interval.
std::vector<keyed_index> ascending_order(const std::vector<double> &keys);

// Kolmogorov-Smirnov statistic of values against the uniform law on [0, 1].
double ks_uniform_statistic(const std::vector<double> &values);

// The same for keys already in ascending order.
double ks_statistic_of_order(const std::vector<keyed_index> &order);

// Asymptotic p-value of the statistic d for a sample of n.
double ks_p_value(double d, double n);

// Upper tail of the chi-square law with 3 degrees of freedom.
double chi_square_3_upper_tail(double x);

#endif
