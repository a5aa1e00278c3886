#include "ks_histogram.h"

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr size_t page_bins = 4096;

size_t bin_of(double u) {
  const double scaled = std::clamp(u, 0.0, 1.0) * static_cast<double>(ks_bins);
  return std::min(ks_bins - 1, static_cast<size_t>(scaled));
}

// The least and the most the distance can be over one page of counts, the
// empirical law at each bin's upper edge (after) given, two bins at a time
// where the processor has two-lane doubles. The term at a bin's lower edge
// is its neighbour's at the upper (the same product b * width), and an
// empty bin's terms for the most are its terms for the least: none is
// taken twice, and the maxima are those of every term, bit for bit.
void scan_page(size_t first, size_t m, const double *after, double width, double *before, double *least,
               double *most) {
  size_t k = 0;
#if defined(__SSE2__)
  const __m128d w = _mm_set1_pd(width), sign = _mm_set1_pd(-0.0);
  __m128d lo = _mm_set1_pd(*least), hi = _mm_set1_pd(*most);
  for (; k + 1 < m && first + k + 2 <= INT_MAX; k += 2) {
    const int b = static_cast<int>(first + k);
    const __m128d edge = _mm_mul_pd(_mm_cvtepi32_pd(_mm_set_epi32(0, 0, b + 1, b)), w);
    const __m128d next = _mm_mul_pd(_mm_cvtepi32_pd(_mm_set_epi32(0, 0, b + 2, b + 1)), w);
    const __m128d a = _mm_loadu_pd(after + k);
    const __m128d prior = k == 0 ? _mm_set_pd(after[0], *before) : _mm_loadu_pd(after + k - 1);
    lo = _mm_max_pd(lo, _mm_andnot_pd(sign, _mm_sub_pd(a, next)));
    hi = _mm_max_pd(hi, _mm_max_pd(_mm_sub_pd(a, edge), _mm_sub_pd(next, prior)));
  }
  double l[2], h[2];
  _mm_storeu_pd(l, lo), _mm_storeu_pd(h, hi);
  *least = std::max(l[0], l[1]), *most = std::max(h[0], h[1]);
  if (k > 0) *before = after[k - 1];
#endif
  for (; k < m; ++k) {
    const size_t b = first + k;
    const double edge = static_cast<double>(b) * width, next = static_cast<double>(b + 1) * width;
    *least = std::max(*least, std::fabs(after[k] - next));
    *most = std::max({*most, after[k] - edge, next - *before});
    *before = after[k];
  }
}

// The distance from the counts of bins bins, n in all, a page at a time as
// fill(first bin, count, out) gives them: read in order, and no table of
// 2^22 counts made.
template <class Fill>
double distance_of_counts(size_t bins, uint64_t n, Fill fill) {
  uint64_t page[page_bins];
  if (n == 0) return 0.0;
  const double total = static_cast<double>(n), width = 1.0 / static_cast<double>(bins);
  // At each edge the empirical law is known exactly; within a bin that
  // holds values it lies between its values at the two edges.
  double least = 0.0, most = 0.0, before = 0.0;
  uint64_t below = 0;
  double after[page_bins];
  for (size_t first = 0; first < bins; first += page_bins) {
    const size_t m = std::min(page_bins, bins - first);
    fill(first, m, page);
    for (size_t k = 0; k < m; ++k) below += page[k], after[k] = static_cast<double>(below);
    for (size_t k = 0; k < m; ++k) after[k] /= total;
    scan_page(first, m, after, width, &before, &least, &most);
  }
  return 0.5 * (least + std::max(least, most));
}

}  // namespace

ks_histogram::ks_histogram() : high_(ks_bins / page_bins) {
  // Values land anywhere in the table: on pages of 4 KiB nearly every
  // increment would miss the address cache too. Huge pages where the
  // system grants them on request.
  constexpr size_t huge_page = size_t{2} << 20, bytes = ks_bins * sizeof(uint8_t);
  low_ = static_cast<uint8_t *>(std::aligned_alloc(huge_page, bytes));
  if (low_ == nullptr) throw std::bad_alloc();
  madvise(low_, bytes, MADV_HUGEPAGE);
  std::memset(low_, 0, bytes);
}

ks_histogram::~ks_histogram() { std::free(low_); }

void ks_histogram::add_to_bin(size_t bin, uint64_t n) {
  const uint64_t total = low_[bin] + n;
  low_[bin] = static_cast<uint8_t>(total & 0xff);
  if (total >> 8 == 0) return;
  std::unique_ptr<uint64_t[]> &page = high_[bin / page_bins];
  if (page == nullptr) page.reset(new uint64_t[page_bins]());
  page[bin % page_bins] += total >> 8;
}

void ks_histogram::add_lows(const uint8_t *lows) {
  // A carry is rare: a run of bins without one is added as bytes, many at
  // once.
  constexpr size_t run = 64;
  for (size_t first = 0; first < ks_bins; first += run) {
    uint8_t *low = low_ + first;
    const uint8_t *other = lows + first;
    uint8_t carries = 0;
    for (size_t k = 0; k < run; ++k) carries |= static_cast<uint8_t>(static_cast<uint8_t>(low[k] + other[k]) < low[k]);
    if (carries == 0) {
      for (size_t k = 0; k < run; ++k) low[k] = static_cast<uint8_t>(low[k] + other[k]);
      continue;
    }
    for (size_t k = 0; k < run; ++k) {
      const unsigned total = unsigned{low[k]} + other[k];
      low[k] = static_cast<uint8_t>(total);
      if (total > 0xff) add_to_bin(first + k, 0x100);  // the carry alone
    }
  }
}

void ks_histogram::add_highs(size_t page, const uint64_t *highs) {
  std::unique_ptr<uint64_t[]> &mine = high_[page];
  if (mine == nullptr) mine.reset(new uint64_t[page_bins]());
  for (size_t k = 0; k < page_bins; ++k) mine[k] += highs[k];
}

void ks_histogram::add(const double *values, size_t n) {
  const std::lock_guard<std::mutex> hold(lock_);
  count_ += n;
  if (count_ <= ks_exact_most) {
    values_.insert(values_.end(), values, values + n);
  } else if (!values_.empty()) {
    std::vector<double>().swap(values_);
  }
  // The increments miss the cache: their bins are found first and fetched
  // ahead, so that many misses are under way at once.
  constexpr size_t batch = 256, ahead = 16;
  uint32_t bins[batch];
  for (size_t start = 0; start < n; start += batch) {
    const size_t m = std::min(batch, n - start);
    for (size_t i = 0; i < m; ++i) bins[i] = static_cast<uint32_t>(bin_of(values[start + i]));
    for (size_t i = 0; i < m; ++i) {
      if (i + ahead < m) __builtin_prefetch(low_ + bins[i + ahead], 1);
      if (++low_[bins[i]] == 0) add_to_bin(bins[i], uint64_t{1} << 8);
    }
  }
}

double ks_histogram::distance() const {
  const std::lock_guard<std::mutex> hold(lock_);
  if (state_ == settled) return settled_distance_;
  if (count_ <= ks_exact_most) {
    std::vector<double> sorted(values_);
    std::sort(sorted.begin(), sorted.end());
    return ks_distance_of_sorted(sorted);
  }
  // Every value counted is in a bin: the bins' total is the count.
  return distance_of_counts(ks_bins, count_, [this](size_t first, size_t m, uint64_t *out) {
    const std::unique_ptr<uint64_t[]> &high = high_[first / page_bins];
    for (size_t k = 0; k < m; ++k) out[k] = low_[first + k];
    if (high != nullptr) {
      for (size_t k = 0; k < m; ++k) out[k] += high[k] << 8;
    }
  });
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
  add_lows(other.low_);
  for (size_t p = 0; p < high_.size(); ++p) {
    if (other.high_[p] != nullptr) add_highs(p, other.high_[p].get());
  }
}

void ks_histogram::settle() {
  const double d = distance();
  const std::lock_guard<std::mutex> hold(lock_);
  settled_distance_ = d;
  state_ = settled;
}

void ks_histogram::pack(byte_writer *out) const {
  const std::lock_guard<std::mutex> hold(lock_);
  out->put(static_cast<uint8_t>(state_));
  if (state_ == given) return;
  if (state_ == settled) {
    out->put(count_), out->put(settled_distance_);
    return;
  }
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
  uint8_t sent = 0;
  if (!in->get(&sent) || sent > settled) return in->ok = false;
  if (sent == given) return true;
  uint64_t count = 0;
  if (sent == settled) {
    double d = 0.0;
    if (!in->get(&count) || !in->get(&d)) return false;
    const std::lock_guard<std::mutex> hold(lock_);
    count_ = count, settled_distance_ = d, state_ = settled;
    return true;
  }
  std::vector<double> values;
  byte_reader low;
  if (!in->get(&count) || !in->get_array(&values, ks_exact_most) || !in->get_bytes(&low) ||
      static_cast<size_t>(low.end - low.at) != ks_bins) {
    return in->ok = false;
  }
  const std::lock_guard<std::mutex> hold(lock_);
  count_ += count;
  if (count_ <= ks_exact_most) {
    values_.insert(values_.end(), values.begin(), values.end());
  } else {
    std::vector<double>().swap(values_);
  }
  add_lows(low.at);
  for (;;) {
    uint64_t p = 0;
    std::vector<uint64_t> high;
    if (!in->get(&p)) return false;
    if (p == UINT64_MAX) return true;
    if (p >= high_.size() || !in->get_array(&high, page_bins) || high.size() != page_bins) return in->ok = false;
    add_highs(static_cast<size_t>(p), high.data());
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
  for (const uint64_t c : counts) n += c;
  return distance_of_counts(counts.size(), n, [&counts](size_t first, size_t m, uint64_t *out) {
    std::copy(counts.begin() + static_cast<std::ptrdiff_t>(first), counts.begin() + static_cast<std::ptrdiff_t>(first + m), out);
  });
}
