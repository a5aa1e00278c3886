#include "check_statistics.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

}  // namespace

std::vector<keyed_index> ascending_order(const std::vector<double> &keys) {
  std::vector<keyed_index> items(keys.size());
  for (uint32_t i = 0; i < keys.size(); ++i) items[i] = {keys[i], i};
  bucket_sort(&items, [](const keyed_index &item) { return item.key; });
  return items;
}

double ks_uniform_statistic(const std::vector<double> &values) {
  std::vector<double> sorted(values);
  const auto identity = [](double x) { return x; };
  bucket_sort(&sorted, identity);
  return ks_statistic_of_sorted(sorted, identity);
}

double ks_p_value(double d, double n) {
  const double root = std::sqrt(n);
  const double lambda = (root + 0.12 + 0.11 / root) * d;
  if (lambda < 0.2) return 1.0;
  double sum = 0.0, sign = 1.0;
  for (int k = 1; k <= 100; ++k) {
    const double term = sign * std::exp(-2.0 * k * k * lambda * lambda);
    sum += term;
    if (std::fabs(term) < 1e-16) break;
    sign = -sign;
  }
  return std::clamp(2.0 * sum, 0.0, 1.0);
}

double ks_statistic_of_order(const std::vector<keyed_index> &order) {
  return ks_statistic_of_sorted(order, [](const keyed_index &item) { return item.key; });
}

double chi_square_3_upper_tail(double x) {
  if (std::isnan(x)) return x;
  if (!(x > 0.0)) return 1.0;
  if (std::isinf(x)) return 0.0;  // erf's tail would give inf * 0
  return 1.0 - (std::erf(std::sqrt(x / 2.0)) - std::sqrt(2.0 * x / pi) * std::exp(-x / 2.0));
}

