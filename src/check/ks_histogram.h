// The Kolmogorov-Smirnov distance of a sample of u in [0, 1] from the
// uniform law, without keeping the sample: its values while there are at
// most ks_exact_most of them (the distance is then exact), and always a
// histogram of 2^22 equal bins, whose distance is within half a bin's width
// (1.2e-7) of the exact one. Threads add values under the histogram's lock
// a batch at a time; histograms of several processes merge exactly.
#ifndef KS_HISTOGRAM_H
#define KS_HISTOGRAM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "check_bytes.h"

constexpr int ks_bins_log2 = 22;
constexpr size_t ks_bins = size_t{1} << ks_bins_log2;
constexpr size_t ks_exact_most = size_t{1} << 16;
constexpr double ks_bin_width = 1.0 / static_cast<double>(ks_bins);

class ks_histogram {
 public:
  ks_histogram();
  ~ks_histogram();
  ks_histogram(const ks_histogram &) = delete;
  ks_histogram &operator=(const ks_histogram &) = delete;

  // Adds n values (each clamped to [0, 1]; NaN is not a value: the caller
  // leaves it out). Safe from several threads at once.
  void add(const double *values, size_t n);
  uint64_t count() const { return count_; }
  // The distance: exact for a sample of at most ks_exact_most, else from
  // the bins (error at most ks_bin_width / 2).
  double distance() const;
  // Adds another histogram's counts (and its values, while both samples
  // together stay small enough to keep them).
  void merge(const ks_histogram &other);
  // Its counts as bytes; once given away, nothing; once settled, its
  // count and distance alone, which the receiver takes for its own.
  void pack(byte_writer *out) const;
  bool unpack_merge(byte_reader *in);
  // Under several processes each histogram is whole on one of them: the
  // others give theirs to it, and it settles its distance there.
  void give_away() { state_ = given; }
  void settle();

 private:
  enum state { own, given, settled };
  state state_ = own;
  double settled_distance_ = 0.0;

  void add_to_bin(size_t bin, uint64_t n);
  // Another histogram's counts mod 2^8, then the rest of a page's.
  void add_lows(const uint8_t *lows);
  void add_highs(size_t page, const uint64_t *highs);
  mutable std::mutex lock_;
  uint64_t count_ = 0;
  std::vector<double> values_;  // while count_ <= ks_exact_most
  // Each bin's count mod 2^8: a byte a bin keeps every test's table of a
  // galaxy in the processor's last cache, where increments cost least.
  uint8_t *low_ = nullptr;
  // The rest of each count, in units of 2^8, by pages of 4096 bins, made
  // for a page whose bins pass 255.
  std::vector<std::unique_ptr<uint64_t[]>> high_;
};

// The distance of sorted values in [0, 1] (clamped) from the uniform law.
double ks_distance_of_sorted(const std::vector<double> &sorted);

// The distance from the bins' counts: the midpoint of the least and the
// most the sample's distance can be given those counts.
double ks_distance_of_bins(const std::vector<uint64_t> &counts);

#endif
