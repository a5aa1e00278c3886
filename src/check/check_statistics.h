// Statistics of the checks: Kolmogorov-Smirnov statistics and p-values,
// the chi-square tail, and the bucket sort that orders a million keys in
// linear time.
#ifndef CHECK_STATISTICS_H
#define CHECK_STATISTICS_H

#include <algorithm>
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

// Upper tail of the chi-square law with dof degrees of freedom.
double chi_square_upper_tail(double x, int dof);

// P(|Z| >= |z|) for a standard normal Z.
double normal_two_sided_p(double z);

// Sorting and KS statistics of any items with a key in [0, 1].

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

// Sorts values in place (keys in [0, 1]) and returns their KS statistic
// against the uniform law.
template <class T>
double ks_statistic_sorting(std::vector<T> *values) {
  const auto identity = [](T x) { return static_cast<double>(x); };
  bucket_sort(values, identity);
  return ks_statistic_of_sorted(*values, identity);
}

#endif
