#include "ks_histogram.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

namespace {

constexpr size_t page_bins = 4096;

size_t bin_of(double u) {
  const double scaled = std::clamp(u, 0.0, 1.0) * static_cast<double>(ks_bins);
  return std::min(ks_bins - 1, static_cast<size_t>(scaled));
}

}  // namespace

ks_histogram::ks_histogram() : high_(ks_bins / page_bins) {
  // Pages the sample never reaches stay untouched, and cost nothing.
  low_ = static_cast<uint16_t *>(std::calloc(ks_bins, sizeof(uint16_t)));
  if (low_ == nullptr) throw std::bad_alloc();
}

ks_histogram::~ks_histogram() { std::free(low_); }

void ks_histogram::add_to_bin(size_t bin, uint64_t n) {
  const uint64_t total = low_[bin] + n;
  low_[bin] = static_cast<uint16_t>(total & 0xffff);
  if (total >> 16 == 0) return;
  std::unique_ptr<uint32_t[]> &page = high_[bin / page_bins];
  if (page == nullptr) page.reset(new uint32_t[page_bins]());
  page[bin % page_bins] += static_cast<uint32_t>(total >> 16);
}

void ks_histogram::add(const double *values, size_t n) {
  const std::lock_guard<std::mutex> hold(lock_);
  count_ += n;
  if (count_ <= ks_exact_most) {
    values_.insert(values_.end(), values, values + n);
  } else if (!values_.empty()) {
    std::vector<double>().swap(values_);
  }
  for (size_t i = 0; i < n; ++i) {
    const size_t bin = bin_of(values[i]);
    if (++low_[bin] == 0) add_to_bin(bin, uint64_t{1} << 16);
  }
}

uint64_t ks_histogram::bin_count(size_t bin) const {
  const std::unique_ptr<uint32_t[]> &page = high_[bin / page_bins];
  return low_[bin] + (page != nullptr ? static_cast<uint64_t>(page[bin % page_bins]) << 16 : 0);
}

double ks_histogram::distance() const {
  const std::lock_guard<std::mutex> hold(lock_);
  if (count_ <= ks_exact_most) {
    std::vector<double> sorted(values_);
    std::sort(sorted.begin(), sorted.end());
    return ks_distance_of_sorted(sorted);
  }
  std::vector<uint64_t> counts(ks_bins);
  for (size_t b = 0; b < ks_bins; ++b) counts[b] = bin_count(b);
  return ks_distance_of_bins(counts);
}

void ks_histogram::merge(const ks_histogram &other) {
  const std::lock_guard<std::mutex> hold(lock_);
  const std::lock_guard<std::mutex> hold_other(other.lock_);
  count_ += other.count_;
  if (count_ <= ks_exact_most) {
    values_.insert(values_.end(), other.values_.begin(), other.values_.end());
  } else {
    std::vector<double>().swap(values_);
  }
  for (size_t b = 0; b < ks_bins; ++b) {
    const uint64_t n = other.bin_count(b);
    if (n > 0) add_to_bin(b, n);
  }
}

void ks_histogram::pack(byte_writer *out) const {
  const std::lock_guard<std::mutex> hold(lock_);
  out->put(count_);
  out->put_array(values_.data(), values_.size());
  out->put_array(low_, ks_bins);
  for (size_t p = 0; p < high_.size(); ++p) {
    if (high_[p] == nullptr) continue;
    out->put<uint64_t>(p);
    out->put_array(high_[p].get(), page_bins);
  }
  out->put<uint64_t>(UINT64_MAX);
}

bool ks_histogram::unpack_merge(byte_reader *in) {
  uint64_t count = 0;
  std::vector<double> values;
  std::vector<uint16_t> low;
  if (!in->get(&count) || !in->get_array(&values, ks_exact_most) || !in->get_array(&low, ks_bins) ||
      low.size() != ks_bins) {
    return in->ok = false;
  }
  const std::lock_guard<std::mutex> hold(lock_);
  count_ += count;
  if (count_ <= ks_exact_most) {
    values_.insert(values_.end(), values.begin(), values.end());
  } else {
    std::vector<double>().swap(values_);
  }
  for (size_t b = 0; b < ks_bins; ++b) {
    if (low[b] != 0) add_to_bin(b, low[b]);
  }
  for (;;) {
    uint64_t p = 0;
    std::vector<uint32_t> high;
    if (!in->get(&p)) return false;
    if (p == UINT64_MAX) return true;
    if (p >= high_.size() || !in->get_array(&high, page_bins) || high.size() != page_bins) return in->ok = false;
    for (size_t k = 0; k < page_bins; ++k) {
      if (high[k] != 0) add_to_bin(p * page_bins + k, static_cast<uint64_t>(high[k]) << 16);
    }
  }
}

double ks_distance_of_sorted(const std::vector<double> &sorted) {
  const double scale = static_cast<double>(sorted.size());
  double d = 0.0;
  for (size_t i = 0; i < sorted.size(); ++i) {
    const double f = std::clamp(sorted[i], 0.0, 1.0);
    d = std::max({d, f - static_cast<double>(i) / scale, static_cast<double>(i + 1) / scale - f});
  }
  return d;
}

double ks_distance_of_bins(const std::vector<uint64_t> &counts) {
  uint64_t n = 0;
  for (uint64_t c : counts) n += c;
  if (n == 0) return 0.0;
  const double total = static_cast<double>(n), width = 1.0 / static_cast<double>(counts.size());
  // At each edge the empirical law is known exactly; within a bin that
  // holds values it lies between its values at the two edges.
  double least = 0.0, most = 0.0;
  uint64_t below = 0;
  for (size_t b = 0; b < counts.size(); ++b) {
    const double edge = static_cast<double>(b) * width, next = static_cast<double>(b + 1) * width;
    const double before = static_cast<double>(below) / total;
    below += counts[b];
    const double after = static_cast<double>(below) / total;
    least = std::max({least, std::fabs(before - edge), std::fabs(after - next)});
    most = std::max(most, counts[b] > 0 ? std::max(after - edge, next - before) : std::fabs(before - edge));
  }
  return 0.5 * (least + std::max(least, most));
}
