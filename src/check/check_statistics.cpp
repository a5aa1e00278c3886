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

double chi_square_upper_tail(double x, int dof) {
  if (std::isnan(x) || dof < 1) return std::nan("");
  if (!(x > 0.0)) return 1.0;
  if (std::isinf(x)) return 0.0;
  // Q(a, y) = Gamma(a, y) / Gamma(a), a = dof / 2, y = x / 2: the series of
  // P below a + 1, Lentz's continued fraction of Q above.
  const double a = 0.5 * dof, y = 0.5 * x, log_prefix = a * std::log(y) - y - std::lgamma(a);
  if (y < a + 1.0) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n < 100000 && std::fabs(term) > 1e-17 * std::fabs(sum); ++n) {
      term *= y / (a + n);
      sum += term;
    }
    return std::clamp(1.0 - sum * std::exp(log_prefix), 0.0, 1.0);
  }
  constexpr double tiny = 1e-300;
  double b = y + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int n = 1; n < 100000; ++n) {
    const double an = -n * (n - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < 1e-16) break;
  }
  return std::clamp(std::exp(log_prefix) * h, 0.0, 1.0);
}

double normal_two_sided_p(double z) { return std::isnan(z) ? z : std::erfc(std::fabs(z) / std::sqrt(2.0)); }

double chi_square_3_upper_tail(double x) {
  if (std::isnan(x)) return x;
  if (!(x > 0.0)) return 1.0;
  if (std::isinf(x)) return 0.0;  // erf's tail would give inf * 0
  return 1.0 - (std::erf(std::sqrt(x / 2.0)) - std::sqrt(2.0 * x / pi) * std::exp(-x / 2.0));
}

