#include "check_statistics.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

// Kolmogorov-Smirnov statistic against the uniform law of items already in
// ascending order of key_of(item).
template <class T, class KeyOf>
double ks_statistic_of_sorted(const std::vector<T> &sorted, KeyOf key_of) {
  const double scale = static_cast<double>(sorted.size());
  double d = 0.0;
  for (size_t i = 0; i < sorted.size(); ++i) {
    const double f = std::clamp(key_of(sorted[i]), 0.0, 1.0);
    d = std::max({d, f - static_cast<double>(i) / scale, static_cast<double>(i + 1) / scale - f});
  }
  return d;
}

// Bucket of key in [0, 1] among count equal buckets over [lo, lo + count /
// scale).
inline size_t bucket_of(double key, double lo, double scale, size_t count) {
  const double b = (std::clamp(key, 0.0, 1.0) - lo) * scale;
  if (!(b > 0.0)) return 0;  // NaN included
  return b >= static_cast<double>(count) ? count - 1 : static_cast<size_t>(b);
}

// Counting sort of length items from `from` into `to` by bucket.
template <class T, class Bucket>
void distribute(const T *from, T *to, size_t length, size_t count, std::vector<uint32_t> *starts,
                Bucket bucket) {
  std::vector<uint32_t> &start = *starts;
  start.assign(count + 1, 0);
  for (size_t i = 0; i < length; ++i) ++start[bucket(from[i]) + 1];
  for (size_t b = 0; b < count; ++b) start[b + 1] += start[b];
  std::vector<uint32_t> fill(start.begin(), start.end() - 1);
  for (size_t i = 0; i < length; ++i) to[fill[bucket(from[i])]++] = from[i];
}

// Sorts items by key_of(item), a key in [0, 1] (others sort as the nearest
// end). Two rounds of counting sort: first into about a thousand coarse
// buckets (a few streams of writes, kind to the cache), then each coarse
// bucket, small enough for the cache, into as many fine buckets as it has
// items, each sorted on its own (nearly always a handful). O(n) for keys
// spread over [0, 1]; a plain sort of a million keys, or one round of
// scattered writes, took most of the statistics' time.
template <class T, class KeyOf>
void bucket_sort(std::vector<T> *items, KeyOf key_of) {
  std::vector<T> &out = *items;
  const size_t n = out.size();
  std::vector<T> scratch(out);
  const size_t coarse = std::max<size_t>(1, std::min<size_t>(1024, n / 64));
  std::vector<uint32_t> coarse_start, fine_start;
  const double coarse_scale = static_cast<double>(coarse);
  distribute(scratch.data(), out.data(), n, coarse, &coarse_start,
             [&](const T &item) { return bucket_of(key_of(item), 0.0, coarse_scale, coarse); });
  const auto less = [&](const T &x, const T &y) { return key_of(x) < key_of(y); };
  const double width = 1.0 / coarse_scale;
  for (size_t c = 0; c < coarse; ++c) {
    const size_t begin = coarse_start[c], length = coarse_start[c + 1] - begin;
    if (length < 2) continue;
    const double lo = static_cast<double>(c) * width;
    const double scale = static_cast<double>(length) / width;
    T *const part = scratch.data() + begin;
    distribute(out.data() + begin, part, length, length, &fine_start,
               [&](const T &item) { return bucket_of(key_of(item), lo, scale, length); });
    for (size_t f = 0; f < length; ++f) {
      const size_t from = fine_start[f], to = fine_start[f + 1];
      if (to - from > 16) {
        std::sort(part + from, part + to, less);
      } else {
        for (size_t i = from + 1; i < to; ++i) {  // insertion sort of a handful
          const T item = part[i];
          size_t j = i;
          for (; j > from && key_of(item) < key_of(part[j - 1]); --j) part[j] = part[j - 1];
          part[j] = item;
        }
      }
    }
    std::copy(part, part + length, out.data() + begin);
  }
}

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
  if (!(x > 0.0)) return 1.0;
  return 1.0 - (std::erf(std::sqrt(x / 2.0)) - std::sqrt(2.0 * x / pi) * std::exp(-x / 2.0));
}

